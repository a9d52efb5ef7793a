// The file-backed registry.
#include "qn_registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "qn_fd.h"
#include "qn_platform.h"
#include "qn_special_folder.h"
#include "qn_string.h"

struct QN_HKEY__ {
    int nHive;
    std::string strPath;  // below the hive, '\' between parts, no leading or trailing '\'
    bool bWrite;
};

namespace {

const char* const kHiveNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

std::mutex& HandleLock() {
    static std::mutex* s_p = new std::mutex;
    return *s_p;
}
std::set<HKEY>& Handles() {
    static std::set<HKEY>* s_p = new std::set<HKEY>;
    return *s_p;
}

struct Value {
    bool bRaw = false;  // a line this layer does not understand, kept as it was
    std::string strLine;
    bool bDefault = false;
    std::string strName;
    uint32_t uType = REG_SZ;
    std::string strData;  // REG_SZ: the text; REG_DWORD: 4 bytes little-endian; else the bytes
};

struct Section {
    std::string strName;  // as in the header, hive included
    std::vector<Value> values;
};

struct HiveFile {
    std::vector<Section> sections;
};

bool IEquals(const std::string& a, const std::string& b) { return a.size() == b.size() && QN_StrICmp(a.c_str(), b.c_str()) == 0; }

bool IStartsWith(const std::string& s, const std::string& strPrefix) {
    return s.size() >= strPrefix.size() && QN_StrICmp(s.substr(0, strPrefix.size()).c_str(), strPrefix.c_str()) == 0;
}

std::string NormalizeSubKey(const char* csz) {
    std::string s = csz ? csz : "";
    size_t b = 0, e = s.size();
    while (b < e && s[b] == '\\') ++b;
    while (e > b && s[e - 1] == '\\') --e;
    return s.substr(b, e - b);
}

std::string FullName(int nHive, const std::string& strPath) {
    return strPath.empty() ? std::string(kHiveNames[nHive]) : std::string(kHiveNames[nHive]) + "\\" + strPath;
}

std::string HivePath(int nHive) { return QN_GetRegistryFolder(kHiveNames[nHive]) + "/" + kHiveNames[nHive] + ".reg"; }

// A quoted text starting at s[i] == '"'; i ends after the closing quote. False when unclosed.
bool ParseQuoted(const std::string& s, size_t* pi, std::string* pOut) {
    size_t i = *pi + 1;
    pOut->clear();
    while (i < s.size()) {
        char c = s[i];
        if (c == '"') {
            *pi = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            pOut->push_back(s[i + 1]);
            i += 2;
            continue;
        }
        pOut->push_back(c);
        ++i;
    }
    return false;
}

std::string Quoted(const std::string& s) {
    std::string r = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') r.push_back('\\');
        r.push_back(c);
    }
    r.push_back('"');
    return r;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexBytes(const std::string& s, std::string* pOut) {
    pOut->clear();
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',')) ++i;
        if (i >= s.size()) break;
        if (i + 1 >= s.size()) return false;
        int h = HexDigit(s[i]), l = HexDigit(s[i + 1]);
        if (h < 0 || l < 0) return false;
        pOut->push_back((char)(h * 16 + l));
        i += 2;
    }
    return true;
}

// One value line; false when it is not one this layer understands.
bool ParseValue(const std::string& strLine, Value* pValue) {
    size_t i = 0;
    if (strLine.empty()) return false;
    if (strLine[0] == '@') {
        pValue->bDefault = true;
        i = 1;
    } else if (strLine[0] == '"') {
        if (!ParseQuoted(strLine, &i, &pValue->strName)) return false;
    } else {
        return false;
    }
    if (i >= strLine.size() || strLine[i] != '=') return false;
    std::string strData = strLine.substr(i + 1);
    if (!strData.empty() && strData[0] == '"') {
        size_t j = 0;
        if (!ParseQuoted(strData, &j, &pValue->strData) || j != strData.size()) return false;
        pValue->uType = REG_SZ;
        return true;
    }
    if (strData.compare(0, 6, "dword:") == 0) {
        std::string strDigits = strData.substr(6);
        if (strDigits.empty() || strDigits.size() > 8) return false;
        uint32_t u = 0;
        for (char c : strDigits) {
            int d = HexDigit(c);
            if (d < 0) return false;
            u = u * 16 + (uint32_t)d;
        }
        pValue->uType = REG_DWORD;
        pValue->strData.assign((const char*)&u, 4);
        return true;
    }
    if (strData.compare(0, 4, "hex:") == 0) {
        pValue->uType = REG_BINARY;
        return ParseHexBytes(strData.substr(4), &pValue->strData);
    }
    if (strData.compare(0, 4, "hex(") == 0) {
        size_t uClose = strData.find("):");
        if (uClose == std::string::npos || uClose == 4) return false;
        uint32_t u = 0;
        for (size_t k = 4; k < uClose; ++k) {
            int d = HexDigit(strData[k]);
            if (d < 0) return false;
            u = u * 16 + (uint32_t)d;
        }
        pValue->uType = u;
        return ParseHexBytes(strData.substr(uClose + 2), &pValue->strData);
    }
    return false;
}

// 0, or ERROR_FILE_CORRUPT for a file that is not a registry export.
int32_t ParseHive(const std::string& strText, HiveFile* pHive) {
    pHive->sections.clear();
    std::vector<std::string> lines;
    size_t b = 0;
    if (strText.compare(0, 3, "\xEF\xBB\xBF") == 0) b = 3;
    while (b <= strText.size()) {
        size_t e = strText.find('\n', b);
        if (e == std::string::npos) e = strText.size();
        std::string strLine = strText.substr(b, e - b);
        if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
        lines.push_back(strLine);
        b = e + 1;
    }
    size_t i = 0;
    while (i < lines.size() && lines[i].empty()) ++i;
    if (i == lines.size()) return 0;  // an empty file holds no keys
    if (lines[i] != "REGEDIT4" && lines[i] != "Windows Registry Editor Version 5.00") return ERROR_FILE_CORRUPT;
    for (++i; i < lines.size(); ++i) {
        std::string strLine = lines[i];
        if (strLine.empty()) continue;
        if (strLine[0] == '[' && strLine.back() == ']') {
            pHive->sections.push_back(Section{strLine.substr(1, strLine.size() - 2), {}});
            continue;
        }
        // Continued lines of a long hexadecimal value.
        while (!strLine.empty() && strLine.back() == '\\' && i + 1 < lines.size()) {
            strLine.pop_back();
            std::string strNext = lines[++i];
            size_t k = strNext.find_first_not_of(" \t");
            strLine += k == std::string::npos ? std::string() : strNext.substr(k);
        }
        if (pHive->sections.empty()) return ERROR_FILE_CORRUPT;
        Value v;
        if (!ParseValue(strLine, &v)) {
            v = Value();
            v.bRaw = true;
            v.strLine = lines[i];
        }
        pHive->sections.back().values.push_back(v);
    }
    return 0;
}

std::string FormatHive(const HiveFile& hive) {
    std::string s = "REGEDIT4\r\n";
    for (const Section& sec : hive.sections) {
        s += "\r\n[" + sec.strName + "]\r\n";
        for (const Value& v : sec.values) {
            if (v.bRaw) {
                s += v.strLine + "\r\n";
                continue;
            }
            s += v.bDefault ? std::string("@") : Quoted(v.strName);
            s += "=";
            if (v.uType == REG_SZ) {
                s += Quoted(v.strData);
            } else if (v.uType == REG_DWORD && v.strData.size() == 4) {
                uint32_t u;
                std::memcpy(&u, v.strData.data(), 4);
                char sz[16];
                std::snprintf(sz, sizeof(sz), "dword:%08x", u);
                s += sz;
            } else {
                char sz[24];
                if (v.uType == REG_BINARY)
                    std::snprintf(sz, sizeof(sz), "hex:");
                else
                    std::snprintf(sz, sizeof(sz), "hex(%x):", v.uType);
                s += sz;
                for (size_t k = 0; k < v.strData.size(); ++k) {
                    std::snprintf(sz, sizeof(sz), k ? ",%02x" : "%02x", (unsigned)(unsigned char)v.strData[k]);
                    s += sz;
                }
            }
            s += "\r\n";
        }
    }
    s += "\r\n";
    return s;
}

// The hive file under its lock: read for a query, read and replaced for a change.
class HiveAccess {
public:
    HiveAccess(int nHive, bool bWrite) : m_nHive(nHive), m_bWrite(bWrite) {}
    ~HiveAccess() {
        if (m_nLockFd >= 0) {
            ::flock(m_nLockFd, LOCK_UN);
            ::close(m_nLockFd);
        }
    }
    HiveAccess(const HiveAccess&) = delete;
    HiveAccess& operator=(const HiveAccess&) = delete;

    int32_t Load(HiveFile* pHive) {
        m_strFolder = QN_GetRegistryFolder(kHiveNames[m_nHive]);
        m_strPath = HivePath(m_nHive);
        if (m_bWrite && !MakeFolder(m_strFolder)) return ERROR_ACCESS_DENIED;
        std::string strLock = m_strFolder + "/" + kHiveNames[m_nHive] + ".lock";
        m_nLockFd = ::open(strLock.c_str(), (m_bWrite ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0666);
        if (m_nLockFd < 0 && !m_bWrite && errno == ENOENT) {
            // No lock file: nobody has written this hive through the layer; a read may go on.
        } else if (m_nLockFd < 0) {
            return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        } else {
            while (::flock(m_nLockFd, m_bWrite ? LOCK_EX : LOCK_SH) != 0) {
                if (errno != EINTR) return ERROR_ACCESS_DENIED;
            }
        }
        struct stat st;
        if (::stat(m_strPath.c_str(), &st) != 0) {
            if (errno != ENOENT) return ERROR_ACCESS_DENIED;
            pHive->sections.clear();
            m_uMode = 0644;  // a new hive: writable by its owner only
            return 0;
        }
        m_uMode = st.st_mode & 07777;
        if (m_bWrite && !(st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
        std::string strText;
        int nFd = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (nFd < 0) return ERROR_ACCESS_DENIED;
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(nFd, buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ::close(nFd);
                return ERROR_ACCESS_DENIED;
            }
            if (n == 0) break;
            strText.append(buf, (size_t)n);
        }
        ::close(nFd);
        return ParseHive(strText, pHive);
    }

    int32_t Store(const HiveFile& hive) {
        std::string strText = FormatHive(hive);
        std::string strTemp = m_strPath + ".XXXXXX";
        if (QN_ReplaceFileContents(m_strPath.c_str(), strTemp.c_str(), strText.data(), strText.size(), m_uMode) != 0)
            return ERROR_ACCESS_DENIED;
        return 0;
    }

private:
    static bool MakeFolder(const std::string& strPath) {
        for (size_t i = 1; i <= strPath.size(); ++i) {
            if (i == strPath.size() || strPath[i] == '/') {
                std::string strPart = strPath.substr(0, i);
                if (::mkdir(strPart.c_str(), 0777) != 0 && errno != EEXIST) return false;
            }
        }
        return true;
    }

    int m_nHive;
    bool m_bWrite;
    int m_nLockFd = -1;
    uint32_t m_uMode = 0644;
    std::string m_strFolder;
    std::string m_strPath;
};

Section* FindSection(HiveFile* pHive, const std::string& strFull) {
    for (Section& sec : pHive->sections)
        if (IEquals(sec.strName, strFull)) return &sec;
    return nullptr;
}

bool KeyExists(const HiveFile& hive, int nHive, const std::string& strPath) {
    if (strPath.empty()) return true;
    std::string strFull = FullName(nHive, strPath);
    for (const Section& sec : hive.sections)
        if (IEquals(sec.strName, strFull) || IStartsWith(sec.strName, strFull + "\\")) return true;
    return false;
}

bool HasSubKeys(const HiveFile& hive, int nHive, const std::string& strPath) {
    std::string strPrefix = FullName(nHive, strPath) + "\\";
    for (const Section& sec : hive.sections)
        if (IStartsWith(sec.strName, strPrefix)) return true;
    return false;
}

Value* FindValue(Section* pSec, const char* cszName) {
    if (!pSec) return nullptr;
    bool bDefault = !cszName || !cszName[0];
    for (Value& v : pSec->values) {
        if (v.bRaw) continue;
        if (bDefault ? v.bDefault : (!v.bDefault && IEquals(v.strName, cszName))) return &v;
    }
    return nullptr;
}

// Resolves a handle and a sub-key into a hive and a path; false for a bad handle.
bool Resolve(HKEY hKey, const std::string& strSub, int* pnHive, std::string* pPath, bool* pbWrite) {
    uintptr_t u = (uintptr_t)hKey;
    if (u >= 0x80000000u && u <= 0x80000002u) {
        *pnHive = (int)(u - 0x80000000u);
        *pPath = strSub;
        *pbWrite = true;
        return true;
    }
    std::lock_guard<std::mutex> lock(HandleLock());
    if (!hKey || !Handles().count(hKey)) return false;
    *pnHive = hKey->nHive;
    *pPath = hKey->strPath.empty() ? strSub : (strSub.empty() ? hKey->strPath : hKey->strPath + "\\" + strSub);
    *pbWrite = hKey->bWrite;
    return true;
}

HKEY NewHandle(int nHive, const std::string& strPath, bool bWrite) {
    HKEY h = new QN_HKEY__{nHive, strPath, bWrite};
    std::lock_guard<std::mutex> lock(HandleLock());
    Handles().insert(h);
    return h;
}

bool WantsWrite(REGSAM sam) { return (sam & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x00010000u /*DELETE*/)) != 0; }

int32_t OpenKey(HKEY hKey, const char* cszSubKey, REGSAM sam, HKEY* phkResult, bool bCreate, uint32_t* puDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    int nHive = 0;
    std::string strPath;
    bool bParentWrite = false;
    if (!Resolve(hKey, NormalizeSubKey(cszSubKey), &nHive, &strPath, &bParentWrite)) return ERROR_INVALID_HANDLE;
    bool bWrite = bCreate || WantsWrite(sam);
    HiveAccess access(nHive, bWrite);
    HiveFile hive;
    int32_t nRet = access.Load(&hive);
    if (nRet != 0) return nRet;
    bool bExists = KeyExists(hive, nHive, strPath);
    if (!bExists && !bCreate) return ERROR_FILE_NOT_FOUND;
    if (!bExists) {
        hive.sections.push_back(Section{FullName(nHive, strPath), {}});
        nRet = access.Store(hive);
        if (nRet != 0) return nRet;
    }
    if (puDisposition) *puDisposition = bExists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *phkResult = NewHandle(nHive, strPath, bWrite);
    return 0;
}

int32_t QueryValue(HKEY hKey, const char* cszName, bool bWide, uint32_t* puType, uint8_t* pData, uint32_t* pcbData) {
    int nHive = 0;
    std::string strPath;
    bool bWrite = false;
    if (!Resolve(hKey, "", &nHive, &strPath, &bWrite)) return ERROR_INVALID_HANDLE;
    if (pData && !pcbData) return ERROR_INVALID_PARAMETER;
    HiveAccess access(nHive, false);
    HiveFile hive;
    int32_t nRet = access.Load(&hive);
    if (nRet != 0) return nRet;
    if (!KeyExists(hive, nHive, strPath)) return ERROR_FILE_NOT_FOUND;
    Value* pValue = FindValue(FindSection(&hive, FullName(nHive, strPath)), cszName);
    if (!pValue) return ERROR_FILE_NOT_FOUND;
    std::string strBytes;
    if (pValue->uType == REG_SZ) {
        if (bWide) {
            std::wstring ws = QN_Utf8ToWide(pValue->strData);
            strBytes.assign((const char*)ws.c_str(), (ws.size() + 1) * sizeof(wchar_t));
        } else {
            strBytes = pValue->strData;
            strBytes.push_back(0);
        }
    } else {
        strBytes = pValue->strData;
    }
    if (puType) *puType = pValue->uType;
    if (!pcbData) return 0;
    uint32_t cbHave = *pcbData;
    *pcbData = (uint32_t)strBytes.size();
    if (!pData) return 0;
    if (cbHave < strBytes.size()) return ERROR_MORE_DATA;
    std::memcpy(pData, strBytes.data(), strBytes.size());
    return 0;
}

int32_t SetValue(HKEY hKey, const char* cszName, uint32_t uType, const std::string& strData) {
    int nHive = 0;
    std::string strPath;
    bool bWrite = false;
    if (!Resolve(hKey, "", &nHive, &strPath, &bWrite)) return ERROR_INVALID_HANDLE;
    if (!bWrite) return ERROR_ACCESS_DENIED;
    if (uType == REG_SZ && strData.find_first_of("\r\n") != std::string::npos) return ERROR_INVALID_PARAMETER;
    if (uType == REG_DWORD && strData.size() != 4) return ERROR_INVALID_PARAMETER;
    if (cszName && std::strpbrk(cszName, "\r\n")) return ERROR_INVALID_PARAMETER;
    HiveAccess access(nHive, true);
    HiveFile hive;
    int32_t nRet = access.Load(&hive);
    if (nRet != 0) return nRet;
    if (!KeyExists(hive, nHive, strPath)) return ERROR_FILE_NOT_FOUND;
    std::string strFull = FullName(nHive, strPath);
    Section* pSec = FindSection(&hive, strFull);
    if (!pSec) {
        hive.sections.push_back(Section{strFull, {}});
        pSec = &hive.sections.back();
    }
    Value* pValue = FindValue(pSec, cszName);
    if (!pValue) {
        pSec->values.push_back(Value());
        pValue = &pSec->values.back();
        pValue->bDefault = !cszName || !cszName[0];
        pValue->strName = cszName ? cszName : "";
    }
    pValue->uType = uType;
    pValue->strData = strData;
    return access.Store(hive);
}

int32_t DeleteKey(HKEY hKey, const char* cszSubKey) {
    int nHive = 0;
    std::string strPath;
    bool bWrite = false;
    std::string strSub = NormalizeSubKey(cszSubKey);
    if (!Resolve(hKey, strSub, &nHive, &strPath, &bWrite)) return ERROR_INVALID_HANDLE;
    if (strSub.empty()) return ERROR_ACCESS_DENIED;
    HiveAccess access(nHive, true);
    HiveFile hive;
    int32_t nRet = access.Load(&hive);
    if (nRet != 0) return nRet;
    if (!KeyExists(hive, nHive, strPath)) return ERROR_FILE_NOT_FOUND;
    if (HasSubKeys(hive, nHive, strPath)) return ERROR_ACCESS_DENIED;
    std::string strFull = FullName(nHive, strPath);
    std::vector<Section> kept;
    for (Section& sec : hive.sections)
        if (!IEquals(sec.strName, strFull)) kept.push_back(std::move(sec));
    hive.sections = std::move(kept);
    return access.Store(hive);
}

std::string Narrow(const wchar_t* wsz) { return wsz ? QN_WideToUtf8(wsz) : std::string(); }

}  // namespace

int32_t QN_RegOpenKeyExA(HKEY hKey, const char* cszSubKey, uint32_t /*uOptions*/, REGSAM samDesired, HKEY* phkResult) {
    return OpenKey(hKey, cszSubKey, samDesired, phkResult, false, nullptr);
}

int32_t QN_RegOpenKeyExW(HKEY hKey, const wchar_t* wszSubKey, uint32_t uOptions, REGSAM samDesired, HKEY* phkResult) {
    return QN_RegOpenKeyExA(hKey, Narrow(wszSubKey).c_str(), uOptions, samDesired, phkResult);
}

int32_t QN_RegCreateKeyExA(HKEY hKey, const char* cszSubKey, REGSAM samDesired, HKEY* phkResult,
                           uint32_t* puDisposition) {
    return OpenKey(hKey, cszSubKey, samDesired, phkResult, true, puDisposition);
}

int32_t QN_RegCreateKeyExW(HKEY hKey, const wchar_t* wszSubKey, REGSAM samDesired, HKEY* phkResult,
                           uint32_t* puDisposition) {
    return QN_RegCreateKeyExA(hKey, Narrow(wszSubKey).c_str(), samDesired, phkResult, puDisposition);
}

int32_t QN_RegQueryValueExA(HKEY hKey, const char* cszValueName, uint32_t* puType, uint8_t* pData, uint32_t* pcbData) {
    return QueryValue(hKey, cszValueName, false, puType, pData, pcbData);
}

int32_t QN_RegQueryValueExW(HKEY hKey, const wchar_t* wszValueName, uint32_t* puType, uint8_t* pData,
                            uint32_t* pcbData) {
    std::string strName = Narrow(wszValueName);
    return QueryValue(hKey, wszValueName ? strName.c_str() : nullptr, true, puType, pData, pcbData);
}

int32_t QN_RegSetValueExA(HKEY hKey, const char* cszValueName, uint32_t uType, const uint8_t* pData, uint32_t cbData) {
    if (!pData && cbData) return ERROR_INVALID_PARAMETER;
    std::string strData(pData ? (const char*)pData : "", pData ? cbData : 0);
    if (uType == REG_SZ) strData = strData.substr(0, strData.find('\0'));
    return SetValue(hKey, cszValueName, uType, strData);
}

int32_t QN_RegSetValueExW(HKEY hKey, const wchar_t* wszValueName, uint32_t uType, const uint8_t* pData,
                          uint32_t cbData) {
    if (!pData && cbData) return ERROR_INVALID_PARAMETER;
    std::string strName = Narrow(wszValueName);
    const char* cszName = wszValueName ? strName.c_str() : nullptr;
    if (uType != REG_SZ) return SetValue(hKey, cszName, uType, std::string(pData ? (const char*)pData : "", pData ? cbData : 0));
    std::wstring ws;
    for (uint32_t i = 0; i + sizeof(wchar_t) <= cbData; i += sizeof(wchar_t)) {
        wchar_t wc;
        std::memcpy(&wc, pData + i, sizeof(wchar_t));
        if (wc == 0) break;
        ws.push_back(wc);
    }
    return SetValue(hKey, cszName, uType, QN_WideToUtf8(ws));
}

int32_t QN_RegDeleteKeyA(HKEY hKey, const char* cszSubKey) { return DeleteKey(hKey, cszSubKey); }

int32_t QN_RegDeleteKeyW(HKEY hKey, const wchar_t* wszSubKey) { return DeleteKey(hKey, Narrow(wszSubKey).c_str()); }

int32_t QN_RegCloseKey(HKEY hKey) {
    uintptr_t u = (uintptr_t)hKey;
    if (u >= 0x80000000u && u <= 0x80000002u) return 0;
    std::lock_guard<std::mutex> lock(HandleLock());
    if (!hKey || !Handles().erase(hKey)) return ERROR_INVALID_HANDLE;
    delete hKey;
    return 0;
}
