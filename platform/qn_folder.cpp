#include "qn_folder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qn_fs_core.h"
#include "qn_platform.h"

namespace {

std::string Native(const char* csz) { return qn::fs::SlashPath(csz); }

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

int QN_RemoveDirectoryA(const char* cszPath) { return qn::fs::RemoveFolder(Native(cszPath)); }

int QN_DeleteFileA(const char* cszPath) { return qn::fs::DeleteName(Native(cszPath)); }

// Folders and links keep their modes; a link's target is never touched.
int QN_SetFileAttributesNormalA(const char* cszPath) { return qn::fs::AddOwnerWrite(Native(cszPath).c_str(), true); }

bool QN_IsSymbolicLinkA(const char* cszPath) {
    std::string strPath = Native(cszPath);
    while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
    return qn::fs::IsLink(strPath.c_str());
}

bool QN_IsPathInFolder(const char* cszPath, const char* cszWithin) { return qn::fs::PathLiesWithin(cszPath, cszWithin); }

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

namespace {
// The two ways of making a folder of the tool's own at a name differ only in what they do with a
// folder already there (fnKeepFolder). Anything else at the name that is not a link (a file of
// the player's, say) stays as it is, and the folder cannot be made there; a link at the name is
// removed itself, never what it points to.
template <typename KeepFolder>
int MakeOwnFolder(const char* cszPath, KeepFolder fnKeepFolder) {
    std::string strPath = Native(cszPath);
    struct stat st;
    if (strPath.empty()) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
    if (::lstat(strPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return fnKeepFolder(strPath);
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
}  // namespace

int QN_MakeEmptyFolder(const char* cszPath) {
    // The folder stays; what an earlier run left in it goes.
    return MakeOwnFolder(cszPath, [](const std::string& strPath) {
        int nResult = 1;
        uint32_t uFirstError = 0;
        if (!RemoveFolderContents(strPath, &nResult, &uFirstError)) return 0;
        if (!nResult) QN_SetLastError(uFirstError);
        return nResult;
    });
}

int QN_MakeFolderWithoutLinks(const char* cszPath, std::vector<QN_FOLDER_ENTRY_LEFT>* pRetLeft) {
    // The folder and what an earlier run left in it stay (a killed run's downloads resume from
    // their progress and data files); only links go, so that nothing is written through one.
    return MakeOwnFolder(cszPath, [pRetLeft](const std::string& strPath) {
        RemoveLinksBelow(strPath, pRetLeft);
        QN_SetLastError(ERROR_SUCCESS);
        return 1;
    });
}
