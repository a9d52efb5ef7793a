#include "qn_folder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "qn_platform.h"
#include "qn_test_hooks.h"

namespace {

std::mutex& SandboxLock() {
    static std::mutex* s_p = new std::mutex;
    return *s_p;
}
std::string& Sandbox() {
    static std::string* s_p = new std::string;
    return *s_p;
}

std::atomic<qn::testing::DeleteFileHook> g_pfnDeleteHook{nullptr};

std::string Native(const char* csz) {
    std::string s = csz ? csz : "";
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

// A test program that set a sandbox ends at once when anything outside it would be deleted.
void CheckSandbox(const std::string& strPath) {
    std::string strSandbox;
    {
        std::lock_guard<std::mutex> lock(SandboxLock());
        strSandbox = Sandbox();
    }
    if (strSandbox.empty()) return;
    std::string strAbsolute = strPath;
    if (strAbsolute.empty() || strAbsolute[0] != '/') {
        char szCwd[4096];
        strAbsolute = std::string(::getcwd(szCwd, sizeof(szCwd)) ? szCwd : "") + "/" + strAbsolute;
    }
    // The folder the name is removed from, with its links resolved: a name inside a link to a
    // folder elsewhere is a deletion elsewhere. The name itself is not followed.
    while (strAbsolute.size() > 1 && strAbsolute.back() == '/') strAbsolute.pop_back();
    {
        const size_t uSlash = strAbsolute.find_last_of('/');
        const std::string strParent = uSlash == 0 ? "/" : strAbsolute.substr(0, uSlash);
        char* pszReal = ::realpath(strParent.c_str(), nullptr);
        if (pszReal) {
            const std::string strReal = pszReal;
            std::free(pszReal);
            strAbsolute = (strReal == "/" ? "" : strReal) + strAbsolute.substr(uSlash);
        }
    }
    {
        // The sandbox is compared by its real path as well.
        char* pszReal = ::realpath(strSandbox.c_str(), nullptr);
        if (pszReal) {
            strSandbox = pszReal;
            std::free(pszReal);
        }
    }
    // The sandbox folder itself may go as well.
    bool bInside = (strAbsolute == strSandbox || strAbsolute.compare(0, strSandbox.size() + 1, strSandbox + "/") == 0) &&
                   strAbsolute.find("/../") == std::string::npos &&
                   (strAbsolute.size() < 3 || strAbsolute.compare(strAbsolute.size() - 3, 3, "/..") != 0);
    if (!bInside) {
        std::fprintf(stderr, "deletion outside the test sandbox %s: %s\n", strSandbox.c_str(), strAbsolute.c_str());
        std::abort();
    }
}

// Removes every entry of a folder as QN_RemoveTree does, going on past failures: *pnResult
// becomes 0 and *puFirstError takes the last error of the first failure. 0 with the last error
// set when the folder cannot be listed, else 1.
int RemoveFolderContents(const std::string& strPath, int* pnResult, uint32_t* puFirstError) {
    DIR* pDir = ::opendir(strPath.c_str());
    if (!pDir) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    std::vector<std::string> names;
    while (struct dirent* pEntry = ::readdir(pDir)) {
        const std::string strName = pEntry->d_name;
        if (strName != "." && strName != "..") names.push_back(strName);
    }
    ::closedir(pDir);
    for (const std::string& strName : names) {
        if (!QN_RemoveTree((strPath + "/" + strName).c_str()) && *pnResult) {
            *puFirstError = QN_GetLastError();
            *pnResult = 0;
        }
    }
    return 1;
}

// Removes every symbolic link below a folder, entering only real folders; what cannot be
// removed or listed is added to *pLeft.
void RemoveLinksBelow(const std::string& strPath, std::vector<QN_FOLDER_ENTRY_LEFT>* pLeft) {
    DIR* pDir = ::opendir(strPath.c_str());
    if (!pDir) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        if (pLeft) pLeft->push_back({strPath, QN_GetLastError()});
        return;
    }
    std::vector<std::string> names;
    while (struct dirent* pEntry = ::readdir(pDir)) {
        const std::string strName = pEntry->d_name;
        if (strName != "." && strName != "..") names.push_back(strName);
    }
    ::closedir(pDir);
    for (const std::string& strName : names) {
        const std::string strEntry = strPath + "/" + strName;
        struct stat st;
        if (::lstat(strEntry.c_str(), &st) != 0) continue;  // gone meanwhile
        if (S_ISLNK(st.st_mode)) {
            if (!QN_DeleteFileA(strEntry.c_str()) && pLeft) pLeft->push_back({strEntry, QN_GetLastError()});
        } else if (S_ISDIR(st.st_mode)) {
            RemoveLinksBelow(strEntry, pLeft);
        }
    }
}

}  // namespace

int QN_RemoveDirectoryA(const char* cszPath) {
    std::string strPath = Native(cszPath);
    CheckSandbox(strPath);
    if (::rmdir(strPath.c_str()) != 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    return 1;
}

int QN_DeleteFileA(const char* cszPath) {
    std::string strPath = Native(cszPath);
    CheckSandbox(strPath);
    if (qn::testing::DeleteFileHook pfnHook = g_pfnDeleteHook.load()) {
        if (int nErrno = pfnHook(strPath.c_str())) {
            errno = nErrno;
            QN_SetLastErrorFromErrno();
            return 0;
        }
    }
    if (::unlink(strPath.c_str()) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int QN_SetFileAttributesNormalA(const char* cszPath) {
    std::string strPath = Native(cszPath);
    struct stat st;
    if (::lstat(strPath.c_str(), &st) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    // Folders and links keep their modes; a link's target is never touched.
    if (!S_ISREG(st.st_mode)) return 1;
    if (::chmod(strPath.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

bool QN_IsSymbolicLinkA(const char* cszPath) {
    struct stat st;
    std::string strPath = Native(cszPath);
    while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
    return !strPath.empty() && ::lstat(strPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int QN_RemoveTree(const char* cszPath) {
    std::string strPath = Native(cszPath);
    struct stat st;
    int nResult = 1;
    uint32_t uFirstError = 0;
    if (strPath.empty()) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
    if (::lstat(strPath.c_str(), &st) != 0) {
        if (errno == ENOENT) return 1;
        QN_SetLastErrorFromErrno();
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) return QN_DeleteFileA(strPath.c_str());
    if (!RemoveFolderContents(strPath, &nResult, &uFirstError)) return 0;
    if (!QN_RemoveDirectoryA(strPath.c_str()) && nResult) {
        uFirstError = QN_GetLastError();
        nResult = 0;
    }
    if (!nResult) QN_SetLastError(uFirstError);
    return nResult;
}

int QN_MakeEmptyFolder(const char* cszPath) {
    std::string strPath = Native(cszPath);
    struct stat st;
    if (strPath.empty()) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
    if (::lstat(strPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            // The folder stays; what an earlier run left in it goes.
            int nResult = 1;
            uint32_t uFirstError = 0;
            if (!RemoveFolderContents(strPath, &nResult, &uFirstError)) return 0;
            if (!nResult) QN_SetLastError(uFirstError);
            return nResult;
        }
        if (!S_ISLNK(st.st_mode)) {
            // A file of the player's (or anything else but a folder) at the name stays as it
            // is: the folder cannot be made there.
            errno = EEXIST;
            QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
            return 0;
        }
        // A link at the name is removed itself, never what it points to.
        if (!QN_DeleteFileA(strPath.c_str())) return 0;
    }
    if (::mkdir(strPath.c_str(), 0777) != 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    return 1;
}

int QN_MakeFolderWithoutLinks(const char* cszPath, std::vector<QN_FOLDER_ENTRY_LEFT>* pRetLeft) {
    std::string strPath = Native(cszPath);
    struct stat st;
    if (strPath.empty()) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
    if (::lstat(strPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            // The folder and what an earlier run left in it stay (a killed run's downloads
            // resume from their progress and data files); only links go, so that nothing is
            // written through one.
            RemoveLinksBelow(strPath, pRetLeft);
            QN_SetLastError(ERROR_SUCCESS);
            return 1;
        }
        if (!S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
            return 0;
        }
        if (!QN_DeleteFileA(strPath.c_str())) return 0;
    }
    if (::mkdir(strPath.c_str(), 0777) != 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    return 1;
}

namespace qn::testing {
void SetDeleteFileHook(DeleteFileHook pfnHook) { g_pfnDeleteHook.store(pfnHook); }
void SetDeletionSandbox(const char* cszFolder) {
    std::lock_guard<std::mutex> lock(SandboxLock());
    Sandbox() = cszFolder ? cszFolder : "";
    while (Sandbox().size() > 1 && Sandbox().back() == '/') Sandbox().pop_back();
}
std::string GetDeletionSandbox() {
    std::lock_guard<std::mutex> lock(SandboxLock());
    return Sandbox();
}
}  // namespace qn::testing
