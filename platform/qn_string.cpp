#include "qn_string.h"

#include <langinfo.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>

int QN_vsnprintf(char* buf, size_t count, const char* fmt, va_list args) {
    if (!buf || count == 0 || !fmt) return -1;
    buf[0] = '\0';
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buf, count, fmt, copy);
    va_end(copy);
    if (n < 0) {
        // An encoding error: what the buffer holds is unspecified, so keep nothing of it.
        buf[0] = '\0';
        return -1;
    }
    if ((size_t)n >= count) {
        buf[count - 1] = '\0';
        return -1;
    }
    return n;
}

int QN_snprintf(char* buf, size_t count, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = QN_vsnprintf(buf, count, fmt, args);
    va_end(args);
    return n;
}

int QN_vsnwprintf(wchar_t* buf, size_t count, const wchar_t* fmt, va_list args) {
    if (!buf || count == 0 || !fmt) return -1;
    buf[0] = L'\0';
    va_list copy;
    va_copy(copy, args);
    int n = std::vswprintf(buf, count, fmt, copy);
    va_end(copy);
    // glibc answers -1 both when the text does not fit and on an encoding error; what was
    // written stays, cut and terminated.
    buf[count - 1] = L'\0';
    if (n < 0 || (size_t)n >= count) return -1;
    return n;
}

int QN_snwprintf(wchar_t* buf, size_t count, const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = QN_vsnwprintf(buf, count, fmt, args);
    va_end(args);
    return n;
}

int QN_StrCopyN(char* dst, size_t count, const char* src) {
    if (!dst || count == 0) return 0;
    if (!src) {
        dst[0] = '\0';
        return 0;
    }
    size_t len = std::strlen(src);
    if (len >= count) {
        std::memcpy(dst, src, count - 1);
        dst[count - 1] = '\0';
        return 0;
    }
    std::memcpy(dst, src, len + 1);
    return 1;
}

int QN_WcsCopyN(wchar_t* dst, size_t count, const wchar_t* src) {
    if (!dst || count == 0) return 0;
    if (!src) {
        dst[0] = L'\0';
        return 0;
    }
    size_t len = std::wcslen(src);
    if (len >= count) {
        std::wmemcpy(dst, src, count - 1);
        dst[count - 1] = L'\0';
        return 0;
    }
    std::wmemcpy(dst, src, len + 1);
    return 1;
}

namespace {
constexpr char32_t kReplacement = 0xFFFD;

bool IsValidScalar(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

void AppendUtf8(std::string& out, uint32_t c) {
    if (!IsValidScalar(c)) c = kReplacement;
    if (c < 0x80) {
        out.push_back((char)c);
    } else if (c < 0x800) {
        out.push_back((char)(0xC0 | (c >> 6)));
        out.push_back((char)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back((char)(0xE0 | (c >> 12)));
        out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out.push_back((char)(0x80 | (c & 0x3F)));
    } else {
        out.push_back((char)(0xF0 | (c >> 18)));
        out.push_back((char)(0x80 | ((c >> 12) & 0x3F)));
        out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out.push_back((char)(0x80 | (c & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at s[i..n); advances i. Ill-formed input yields U+FFFD and
// consumes one byte.
uint32_t DecodeUtf8(const unsigned char* s, size_t n, size_t& i) {
    unsigned char b0 = s[i];
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len;
    uint32_t c, minimum;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2; c = b0 & 0x1F; minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3; c = b0 & 0x0F; minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4; c = b0 & 0x07; minimum = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + (size_t)len > n) {
        ++i;
        return kReplacement;
    }
    for (int k = 1; k < len; ++k) {
        unsigned char b = s[i + (size_t)k];
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < minimum || !IsValidScalar(c)) {
        ++i;
        return kReplacement;
    }
    i += (size_t)len;
    return c;
}
}  // namespace

std::string QN_WideToUtf8(const wchar_t* wsz) {
    std::string out;
    if (!wsz) return out;
    for (; *wsz; ++wsz) AppendUtf8(out, (uint32_t)*wsz);
    return out;
}

std::string QN_WideToUtf8(const std::wstring& ws) {
    std::string out;
    out.reserve(ws.size());
    for (wchar_t wc : ws) AppendUtf8(out, (uint32_t)wc);
    return out;
}

std::wstring QN_Utf8ToWide(const char* sz) {
    if (!sz) return std::wstring();
    return QN_Utf8ToWide(std::string(sz));
}

std::wstring QN_Utf8ToWide(const std::string& s) {
    std::wstring out;
    out.reserve(s.size());
    const unsigned char* p = (const unsigned char*)s.data();
    size_t i = 0;
    while (i < s.size()) out.push_back((wchar_t)DecodeUtf8(p, s.size(), i));
    return out;
}

std::wstring QN_Utf16LEToWide(const void* pvBytes, size_t uMaxUnits) {
    std::wstring out;
    if (!pvBytes) return out;
    const unsigned char* p = (const unsigned char*)pvBytes;
    for (size_t i = 0; i < uMaxUnits; ++i) {
        uint32_t u = (uint32_t)p[2 * i] | ((uint32_t)p[2 * i + 1] << 8);
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < uMaxUnits) {
            uint32_t u2 = (uint32_t)p[2 * i + 2] | ((uint32_t)p[2 * i + 3] << 8);
            if (u2 >= 0xDC00 && u2 <= 0xDFFF) {
                out.push_back((wchar_t)(0x10000 + ((u - 0xD800) << 10) + (u2 - 0xDC00)));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = kReplacement;
        out.push_back((wchar_t)u);
    }
    return out;
}

int QN_WideToUtf16LE(const std::wstring& ws, void* pvBytes, size_t uMaxUnits) {
    if (!pvBytes || uMaxUnits == 0) return -1;
    unsigned char* p = (unsigned char*)pvBytes;
    std::memset(p, 0, uMaxUnits * 2);
    size_t n = 0;
    auto put = [&](uint32_t u) {
        p[2 * n] = (unsigned char)(u & 0xFF);
        p[2 * n + 1] = (unsigned char)(u >> 8);
        ++n;
    };
    for (wchar_t wc : ws) {
        uint32_t c = (uint32_t)wc;
        if (!IsValidScalar(c)) c = kReplacement;
        size_t need = c >= 0x10000 ? 2 : 1;
        // Keep one unit for the terminator.
        if (n + need >= uMaxUnits) {
            std::memset(p + 2 * n, 0, (uMaxUnits - n) * 2);
            return -1;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            put(0xD800 + (c >> 10));
            put(0xDC00 + (c & 0x3FF));
        } else {
            put(c);
        }
    }
    return (int)n;
}

int QN_WideToUtf8Buf(const wchar_t* wsz, char* buf, size_t count) {
    if (!buf || count == 0) return -1;
    std::string s = QN_WideToUtf8(wsz);
    if (s.size() >= count) {
        buf[0] = '\0';
        return -1;
    }
    std::memcpy(buf, s.c_str(), s.size() + 1);
    return (int)s.size();
}

int QN_Utf8ToWideBuf(const char* sz, wchar_t* buf, size_t count) {
    if (!buf || count == 0) return -1;
    std::wstring ws = QN_Utf8ToWide(sz);
    if (ws.size() >= count) {
        buf[0] = L'\0';
        return -1;
    }
    std::wmemcpy(buf, ws.c_str(), ws.size() + 1);
    return (int)ws.size();
}

namespace {
template <typename Ch>
bool IsAbsoluteT(const Ch* s) {
    if (!s || !s[0]) return false;
    if (s[0] == Ch('/') || s[0] == Ch('\\')) return true;
    bool bLetter = (s[0] >= Ch('a') && s[0] <= Ch('z')) || (s[0] >= Ch('A') && s[0] <= Ch('Z'));
    return bLetter && s[1] == Ch(':');
}

template <typename Ch>
bool LocalPathFromTableNameT(const Ch* name, std::basic_string<Ch>* pRet) {
    if (!name || !name[0] || !pRet) return false;
    if (IsAbsoluteT(name)) return false;
    std::basic_string<Ch> out;
    std::basic_string<Ch> part;
    // Empty and "." parts (a doubled separator, a leading "." folder) name the folder they
    // stand in and are dropped; a ".." part would climb out of the folder, and a drive ("X:")
    // that those dropped parts stood before still makes the name absolute.
    auto takePart = [&]() {
        if (part.empty() || (part.size() == 1 && part[0] == Ch('.'))) return true;
        if (part.size() == 2 && part[0] == Ch('.') && part[1] == Ch('.')) return false;
        if (out.empty() && IsAbsoluteT(part.c_str())) return false;
        if (!out.empty()) out.push_back(Ch('/'));
        out += part;
        return true;
    };
    for (const Ch* p = name; *p; ++p) {
        if (*p == Ch('\\') || *p == Ch('/')) {
            if (!takePart()) return false;
            part.clear();
        } else {
            part.push_back(*p);
        }
    }
    // The last part names the file: a name that ends in a separator or in "." names a folder.
    const bool bNamesFile = !part.empty() && !(part.size() == 1 && part[0] == Ch('.'));
    if (!bNamesFile || !takePart()) return false;
    *pRet = std::move(out);
    return true;
}

template <typename Ch>
int ICmpT(const Ch* a, const Ch* b) {
    auto lower = [](Ch c) -> uint32_t {
        uint32_t u = (uint32_t)c;
        return (u >= 'A' && u <= 'Z') ? u + 32 : u;
    };
    for (;; ++a, ++b) {
        uint32_t ca = lower(*a), cb = lower(*b);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}
}  // namespace

bool QN_IsAbsolutePath(const char* csz) { return IsAbsoluteT(csz); }
bool QN_IsAbsolutePathW(const wchar_t* wsz) { return IsAbsoluteT(wsz); }

bool QN_LocalPathFromTableName(const char* cszName, std::string* pRetPath) {
    return LocalPathFromTableNameT(cszName, pRetPath);
}
bool QN_LocalPathFromTableNameW(const wchar_t* wszName, std::wstring* pRetPath) {
    return LocalPathFromTableNameT(wszName, pRetPath);
}

bool QN_HasLineBreak(const char* csz) { return csz && (std::strchr(csz, '\r') || std::strchr(csz, '\n')); }

int QN_StrICmp(const char* a, const char* b) { return ICmpT((const unsigned char*)a, (const unsigned char*)b); }
int QN_WcsICmp(const wchar_t* a, const wchar_t* b) { return ICmpT(a, b); }

void QN_SetupLocale() {
    std::setlocale(LC_ALL, "");
    const char* cszCodeset = nl_langinfo(CODESET);
    if (!cszCodeset || std::strcmp(cszCodeset, "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
}

bool QN_IsBareFileName(const char* cszName) {
    std::string strPath;
    if (!cszName || !cszName[0]) return false;
    if (std::strcmp(cszName, ".") == 0 || std::strcmp(cszName, "..") == 0) return false;
    for (const char* p = cszName; *p; ++p) {
        unsigned char c = (unsigned char)*p;
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return false;
    }
    return QN_LocalPathFromTableName(cszName, &strPath) && strPath == cszName;
}
