#include "qn_profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qn_fd.h"
#include "qn_file.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

struct ProfileKey {
    std::string name;
    std::string value;
};

struct ProfileSection {
    std::string name;
    std::vector<ProfileKey> keys;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool ReadWholeFile(const char* cszFileName, std::string* pRet) {
    if (!cszFileName || !cszFileName[0]) return false;
    const std::string path = QN_NativePath(cszFileName);
    std::FILE* fp = std::fopen(path.c_str(), "rbe");
    if (!fp) return false;
    char buf[4096];
    size_t n = 0;
    bool bOk = true;
    while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) pRet->append(buf, n);
    if (std::ferror(fp)) bOk = false;
    std::fclose(fp);
    return bOk;
}

std::vector<ProfileSection> Parse(const std::string& text) {
    std::vector<ProfileSection> sections;
    size_t pos = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    bool bInSection = false;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = Trim(line);
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            std::string name = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            sections.push_back({name, {}});
            bInSection = true;
            continue;
        }
        if (!bInSection) continue;
        size_t eq = line.find('=');
        ProfileKey key;
        if (eq == std::string::npos) {
            key.name = line;
        } else {
            key.name = Trim(line.substr(0, eq));
            key.value = Trim(line.substr(eq + 1));
        }
        sections.back().keys.push_back(std::move(key));
    }
    return sections;
}

const ProfileSection* FindSection(const std::vector<ProfileSection>& sections, const char* cszName) {
    for (const ProfileSection& s : sections)
        if (QN_StrICmp(s.name.c_str(), cszName) == 0) return &s;
    return nullptr;
}

const ProfileKey* FindKey(const ProfileSection& section, const char* cszName) {
    for (const ProfileKey& k : section.keys)
        if (QN_StrICmp(k.name.c_str(), cszName) == 0) return &k;
    return nullptr;
}

std::string Unquote(const std::string& value) {
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        return value.substr(1, value.size() - 2);
    return value;
}

// Copies one value; cut to uSize - 1 characters when it does not fit.
uint32_t CopyValue(const std::string& value, char* pszReturned, uint32_t uSize) {
    size_t n = std::min<size_t>(value.size(), (size_t)uSize - 1);
    std::memcpy(pszReturned, value.data(), n);
    pszReturned[n] = '\0';
    return (uint32_t)n;
}

// Copies a list of names, each followed by a zero and the list by one more. A list that does
// not fit is cut and ends in two zeros; the result is then uSize - 2.
uint32_t CopyList(const std::vector<std::string>& names, char* pszReturned, uint32_t uSize) {
    std::string all;
    for (const std::string& n : names) {
        all += n;
        all.push_back('\0');
    }
    if (all.size() + 1 <= uSize) {
        std::memcpy(pszReturned, all.data(), all.size());
        pszReturned[all.size()] = '\0';
        // An empty list is two zeros where there is room for them.
        if (all.empty() && uSize >= 2) pszReturned[1] = '\0';
        return (uint32_t)all.size();
    }
    if (uSize < 2) {
        pszReturned[0] = '\0';
        return 0;
    }
    std::memcpy(pszReturned, all.data(), uSize - 2);
    pszReturned[uSize - 2] = '\0';
    pszReturned[uSize - 1] = '\0';
    return uSize - 2;
}

// The value of a key, or false when the file, the section or the key is missing.
bool LookUp(const char* cszSection, const char* cszKey, const char* cszFileName, std::string* pRetValue) {
    std::string text;
    if (!ReadWholeFile(cszFileName, &text)) return false;
    std::vector<ProfileSection> sections = Parse(text);
    const ProfileSection* pSection = FindSection(sections, cszSection);
    if (!pSection) return false;
    const ProfileKey* pKey = FindKey(*pSection, cszKey);
    if (!pKey) return false;
    *pRetValue = Unquote(pKey->value);
    return true;
}

}  // namespace

uint32_t QN_GetPrivateProfileStringA(const char* cszSection, const char* cszKey, const char* cszDefault,
                                     char* pszReturned, uint32_t uSize, const char* cszFileName) {
    if (!pszReturned || uSize == 0) return 0;
    if (!cszSection || !cszKey) {
        std::string text;
        std::vector<std::string> names;
        if (ReadWholeFile(cszFileName, &text)) {
            std::vector<ProfileSection> sections = Parse(text);
            if (!cszSection) {
                for (const ProfileSection& s : sections) names.push_back(s.name);
            } else if (const ProfileSection* pSection = FindSection(sections, cszSection)) {
                for (const ProfileKey& k : pSection->keys) names.push_back(k.name);
            }
        }
        return CopyList(names, pszReturned, uSize);
    }
    std::string value;
    if (!LookUp(cszSection, cszKey, cszFileName, &value)) {
        value = cszDefault ? cszDefault : "";
        while (!value.empty() && IsBlank(value.back())) value.pop_back();
    }
    return CopyValue(value, pszReturned, uSize);
}

uint32_t QN_GetPrivateProfileIntA(const char* cszSection, const char* cszKey, int32_t nDefault,
                                  const char* cszFileName) {
    std::string value;
    if (!cszSection || !cszKey || !LookUp(cszSection, cszKey, cszFileName, &value)) return (uint32_t)nDefault;
    size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) ++i;
    if (i == value.size()) return (uint32_t)nDefault;
    bool bNegative = false;
    if (value[i] == '+' || value[i] == '-') {
        bNegative = value[i] == '-';
        ++i;
    }
    uint32_t uValue = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) uValue = uValue * 10u + (uint32_t)(value[i] - '0');
    return bNegative ? 0u - uValue : uValue;
}

uint32_t QN_GetPrivateProfileStringW(const wchar_t* cwszSection, const wchar_t* cwszKey, const wchar_t* cwszDefault,
                                     wchar_t* pwszReturned, uint32_t uSize, const wchar_t* cwszFileName) {
    if (!pwszReturned || uSize == 0) return 0;
    pwszReturned[0] = L'\0';
    if (!cwszSection || !cwszKey) return 0;
    const std::string strSection = QN_WideToUtf8(cwszSection);
    const std::string strKey = QN_WideToUtf8(cwszKey);
    const std::string strFile = cwszFileName ? QN_WideToUtf8(cwszFileName) : std::string();
    std::string value;
    if (!LookUp(strSection.c_str(), strKey.c_str(), strFile.c_str(), &value)) {
        value = cwszDefault ? QN_WideToUtf8(cwszDefault) : "";
        while (!value.empty() && IsBlank(value.back())) value.pop_back();
    }
    std::wstring wvalue = QN_Utf8ToWide(value);
    size_t n = std::min<size_t>(wvalue.size(), (size_t)uSize - 1);
    std::wmemcpy(pwszReturned, wvalue.data(), n);
    pwszReturned[n] = L'\0';
    return (uint32_t)n;
}

uint32_t QN_GetPrivateProfileIntW(const wchar_t* cwszSection, const wchar_t* cwszKey, int32_t nDefault,
                                  const wchar_t* cwszFileName) {
    if (!cwszSection || !cwszKey) return (uint32_t)nDefault;
    const std::string strFile = cwszFileName ? QN_WideToUtf8(cwszFileName) : std::string();
    return QN_GetPrivateProfileIntA(QN_WideToUtf8(cwszSection).c_str(), QN_WideToUtf8(cwszKey).c_str(), nDefault,
                                    strFile.c_str());
}

namespace {

// The text with the key set, by the reader's rules for what a section and a key are.
std::string WithKey(const std::string& text, const std::string& strSection, const std::string& strKey,
                    const std::string& strValue) {
    const std::string strLine = strKey + "=" + strValue + "\r\n";
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    bool bInTarget = false;
    bool bFound = false;
    size_t uAfterLastLine = std::string::npos;  // where a new key of the section goes
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(pos, (end == std::string::npos ? text.size() : end) - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = Trim(line);
        if (!line.empty() && line[0] != ';') {
            if (line[0] == '[') {
                if (bInTarget) break;  // the first matching section ends here
                size_t close = line.find(']');
                std::string name = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
                if (!bFound && QN_StrICmp(name.c_str(), strSection.c_str()) == 0) {
                    bInTarget = true;
                    bFound = true;
                    uAfterLastLine = next;
                }
            } else if (bInTarget) {
                size_t eq = line.find('=');
                std::string name = eq == std::string::npos ? line : Trim(line.substr(0, eq));
                if (QN_StrICmp(name.c_str(), strKey.c_str()) == 0) {
                    return text.substr(0, pos) + strLine + text.substr(next);
                }
                uAfterLastLine = next;
            }
        }
        pos = next;
    }
    std::string strHead = text;
    if (!bFound) {
        if (!strHead.empty() && strHead.back() != '\n') strHead += "\r\n";
        return strHead + "[" + strSection + "]\r\n" + strLine;
    }
    strHead = text.substr(0, uAfterLastLine);
    if (!strHead.empty() && strHead.back() != '\n') strHead += "\r\n";
    return strHead + strLine + text.substr(uAfterLastLine);
}

}  // namespace

int QN_WritePrivateProfileStringA(const char* cszSection, const char* cszKey, const char* cszValue,
                                  const char* cszFileName) {
    if (!cszSection || !cszSection[0] || !cszKey || !cszKey[0] || !cszValue || !cszFileName || !cszFileName[0] ||
        QN_HasLineBreak(cszSection) || QN_HasLineBreak(cszKey) || QN_HasLineBreak(cszValue) || std::strchr(cszSection, ']') ||
        std::strchr(cszKey, '=')) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string strPath = QN_NativePath(cszFileName);
    size_t uSlash = strPath.rfind('/');
    const std::string strFolder = uSlash == std::string::npos ? std::string(".") : strPath.substr(0, uSlash + 1);

    int nFolderFd = ::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nFolderFd < 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    int nResult = 0;
    int nError = 0;
    mode_t uMode = 0644;
    std::string text;
    std::string strTemp = strFolder + ".qnini-XXXXXX";
    struct stat st;
    while (::flock(nFolderFd, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (::stat(strPath.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            QN_SetLastError(ERROR_ACCESS_DENIED);
            goto Exit0;
        }
        if (!(st.st_mode & S_IWUSR)) {
            QN_SetLastError(ERROR_ACCESS_DENIED);
            goto Exit0;
        }
        uMode = st.st_mode & 07777;
        if (!ReadWholeFile(strPath.c_str(), &text)) {
            QN_SetLastErrorFromErrno();
            goto Exit0;
        }
    } else if (errno != ENOENT) {
        QN_SetLastErrorFromErrno();
        goto Exit0;
    }
    text = WithKey(text, cszSection, cszKey, cszValue);

    nError = QN_ReplaceFileContents(strPath.c_str(), strTemp.c_str(), text.data(), text.size(), uMode);
    if (nError) {
        errno = nError;
        QN_SetLastErrorFromErrno();
        goto Exit0;
    }
    nResult = 1;
Exit0:
    ::close(nFolderFd);  // releases the lock
    return nResult;
}

int QN_WritePrivateProfileStringW(const wchar_t* cwszSection, const wchar_t* cwszKey, const wchar_t* cwszValue,
                                  const wchar_t* cwszFileName) {
    if (!cwszSection || !cwszKey || !cwszValue || !cwszFileName) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return QN_WritePrivateProfileStringA(QN_WideToUtf8(cwszSection).c_str(), QN_WideToUtf8(cwszKey).c_str(),
                                         QN_WideToUtf8(cwszValue).c_str(), QN_WideToUtf8(cwszFileName).c_str());
}
