// Special folders and the platform root.
#include "qn_special_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "qn_platform.h"
#include "qn_string.h"
#include "qn_test_hooks.h"

namespace {

std::mutex& RootLock() {
    static std::mutex* s_p = new std::mutex;
    return *s_p;
}
std::string& RootOverride() {
    static std::string* s_p = new std::string;
    return *s_p;
}

std::string Trimmed(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string HomeFolder() {
    const char* csz = std::getenv("HOME");
    if (csz && csz[0] == '/') return Trimmed(csz);
    struct passwd pw;
    struct passwd* pResult = nullptr;
    char szBuf[4096];
    if (::getpwuid_r(::getuid(), &pw, szBuf, sizeof(szBuf), &pResult) == 0 && pResult && pResult->pw_dir &&
        pResult->pw_dir[0] == '/')
        return Trimmed(pResult->pw_dir);
    return "/";
}

// An absolute XDG variable, else the home folder plus the fall-back.
std::string XdgFolder(const char* cszVariable, const char* cszFallback) {
    const char* csz = std::getenv(cszVariable);
    if (csz && csz[0] == '/') return Trimmed(csz);
    return HomeFolder() + cszFallback;
}

const char kSystemData[] = "/var/lib/qelrepair";

int MakeFolders(const std::string& strPath) {
    std::string strPart;
    for (size_t i = 0; i <= strPath.size(); ++i) {
        if (i == strPath.size() || (strPath[i] == '/' && i > 0)) {
            strPart = strPath.substr(0, i);
            if (::mkdir(strPart.c_str(), 0777) != 0 && errno != EEXIST) {
                QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
                return 0;
            }
        }
    }
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        QN_SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    return 1;
}

uint32_t CopyWide(const std::string& str, wchar_t* wszBuf, uint32_t uSize) {
    std::wstring ws = QN_Utf8ToWide(str);
    if (!wszBuf || ws.size() + 1 > uSize) return (uint32_t)ws.size() + 1;
    std::memcpy(wszBuf, ws.c_str(), (ws.size() + 1) * sizeof(wchar_t));
    return (uint32_t)ws.size();
}

}  // namespace

std::string QN_GetPlatformRoot() {
    {
        std::lock_guard<std::mutex> lock(RootLock());
        if (!RootOverride().empty()) return RootOverride();
    }
    const char* csz = std::getenv("QN_PLATFORM_ROOT");
    if (csz && csz[0] == '/') return Trimmed(csz);
    return std::string();
}

int QN_GetSpecialFolderPath(int nCsidl, std::string* pRetPath, bool bCreate) {
    if (!pRetPath) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bCreate = bCreate || (nCsidl & CSIDL_FLAG_CREATE);
    nCsidl &= ~CSIDL_FLAG_CREATE;
    const std::string strRoot = QN_GetPlatformRoot();
    const bool bRoot = !strRoot.empty();
    const std::string strUser = strRoot + "/Users/user";
    std::string strPath;
    switch (nCsidl) {
    case CSIDL_COMMON_APPDATA:
        strPath = bRoot ? strRoot + "/ProgramData" : kSystemData;
        break;
    case CSIDL_APPDATA:
        strPath = bRoot ? strUser + "/AppData/Roaming" : XdgFolder("XDG_CONFIG_HOME", "/.config");
        break;
    case CSIDL_COMMON_DESKTOPDIRECTORY:
        // No desktop is shared by all users here; a folder that does not exist is skipped.
        strPath = bRoot ? strRoot + "/Users/Public/Desktop" : std::string(kSystemData) + "/Desktop";
        break;
    case CSIDL_DESKTOPDIRECTORY:
        strPath = bRoot ? strUser + "/Desktop" : XdgFolder("XDG_DESKTOP_DIR", "/Desktop");
        break;
    case CSIDL_COMMON_STARTMENU:
        strPath = bRoot ? strRoot + "/ProgramData/Microsoft/Windows/Start Menu" : "/usr/share/applications";
        break;
    case CSIDL_STARTMENU:
        strPath = bRoot ? strUser + "/AppData/Roaming/Microsoft/Windows/Start Menu"
                        : XdgFolder("XDG_DATA_HOME", "/.local/share") + "/applications";
        break;
    default:
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (bCreate && !MakeFolders(strPath)) return 0;
    *pRetPath = strPath;
    return 1;
}

int QN_SHGetSpecialFolderPathA(char* szPath, int nCsidl, int bCreate) {
    std::string strPath;
    if (!szPath || !QN_GetSpecialFolderPath(nCsidl, &strPath, bCreate != 0)) return 0;
    if (strPath.size() >= 260) {
        QN_SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    std::memcpy(szPath, strPath.c_str(), strPath.size() + 1);
    return 1;
}

int QN_SHGetSpecialFolderPathW(wchar_t* wszPath, int nCsidl, int bCreate) {
    std::string strPath;
    if (!wszPath || !QN_GetSpecialFolderPath(nCsidl, &strPath, bCreate != 0)) return 0;
    if (CopyWide(strPath, wszPath, 260) >= 260) {
        QN_SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return 1;
}

uint32_t QN_GetWindowsDirectoryW(wchar_t* wszBuf, uint32_t uSize) {
    std::string strRoot = QN_GetPlatformRoot();
    return CopyWide(strRoot.empty() ? std::string(kSystemData) + "/Windows" : strRoot + "/Windows", wszBuf, uSize);
}

uint32_t QN_GetSystemDirectoryW(wchar_t* wszBuf, uint32_t uSize) {
    std::string strRoot = QN_GetPlatformRoot();
    return CopyWide(strRoot.empty() ? std::string("/") : strRoot + "/Windows/System32", wszBuf, uSize);
}

std::string QN_GetRegistryFolder(const char* cszHiveName) {
    std::string strRoot = QN_GetPlatformRoot();
    if (!strRoot.empty()) return strRoot + "/registry";
    if (cszHiveName && QN_StrICmp(cszHiveName, "HKEY_CURRENT_USER") == 0)
        return XdgFolder("XDG_DATA_HOME", "/.local/share") + "/qelrepair/registry";
    return std::string(kSystemData) + "/registry";
}

namespace qn::testing {
void SetPlatformRoot(const char* cszRoot) {
    std::lock_guard<std::mutex> lock(RootLock());
    RootOverride() = cszRoot ? Trimmed(cszRoot) : std::string();
}
}  // namespace qn::testing
