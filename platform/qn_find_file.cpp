#include "qn_find_file.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "qn_file.h"
#include "qn_platform.h"
#include "qn_test_hooks.h"

struct QN_FIND__ {
    std::string strFolder;  // with a trailing '/'
    std::vector<std::string> names;
    size_t uNext = 0;
};

namespace {

std::atomic<qn::testing::FindNextFileHook> g_pfnFindNextHook{nullptr};

bool MatchesAll(const std::string& strPart) { return strPart == "*" || strPart == "*.*"; }

// Fills the find data for the next name that still exists; false at the end.
bool NextEntry(QN_FIND__* pFind, WIN32_FIND_DATAA* pFindData) {
    while (pFind->uNext < pFind->names.size()) {
        const std::string& strName = pFind->names[pFind->uNext++];
        if (strName.size() >= sizeof(pFindData->cFileName)) continue;
        struct stat st;
        if (::lstat((pFind->strFolder + strName).c_str(), &st) != 0) continue;
        std::memset(pFindData, 0, sizeof(*pFindData));
        if (S_ISDIR(st.st_mode)) {
            pFindData->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
        } else if (S_ISLNK(st.st_mode)) {
            pFindData->dwFileAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
        } else {
            pFindData->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
            pFindData->ullFileSize = (uint64_t)st.st_size;
        }
        if (!(st.st_mode & S_IWUSR)) pFindData->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
        std::memcpy(pFindData->cFileName, strName.c_str(), strName.size() + 1);
        return true;
    }
    return false;
}

}  // namespace

namespace qn::testing {
void SetFindNextFileHook(FindNextFileHook pfnHook) { g_pfnFindNextHook.store(pfnHook); }
}  // namespace qn::testing

QN_HFIND QN_FindFirstFileA(const char* cszPattern, WIN32_FIND_DATAA* pFindData) {
    if (!cszPattern || !pFindData) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string strPattern = QN_NativePath(cszPattern);
    size_t uSlash = strPattern.rfind('/');
    std::string strFolder = uSlash == std::string::npos ? std::string("./") : strPattern.substr(0, uSlash + 1);
    std::string strPart = uSlash == std::string::npos ? strPattern : strPattern.substr(uSlash + 1);

    DIR* pDir = ::opendir(strFolder.c_str());
    if (!pDir) {
        QN_SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : errno == ENOTDIR ? ERROR_DIRECTORY
                                                                                   : QN_Win32ErrorFromErrno(errno));
        return nullptr;
    }
    QN_FIND__* pFind = new QN_FIND__;
    pFind->strFolder = strFolder;
    std::vector<std::string> others;
    bool bDot = false, bDotDot = false;
    while (dirent* pEntry = ::readdir(pDir)) {
        std::string strName = pEntry->d_name;
        if (!MatchesAll(strPart) && ::fnmatch(strPart.c_str(), strName.c_str(), 0) != 0) continue;
        if (strName == ".") {
            bDot = true;
        } else if (strName == "..") {
            bDotDot = true;
        } else {
            others.push_back(strName);
        }
    }
    ::closedir(pDir);
    std::sort(others.begin(), others.end());
    if (bDot) pFind->names.push_back(".");
    if (bDotDot) pFind->names.push_back("..");
    pFind->names.insert(pFind->names.end(), others.begin(), others.end());
    if (!NextEntry(pFind, pFindData)) {
        delete pFind;
        QN_SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    QN_SetLastError(0);
    return pFind;
}

int QN_FindNextFileA(QN_HFIND hFind, WIN32_FIND_DATAA* pFindData) {
    if (!hFind || !pFindData) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (qn::testing::FindNextFileHook pfnHook = g_pfnFindNextHook.load()) {
        if (uint32_t uError = pfnHook(hFind->strFolder.c_str())) {
            QN_SetLastError(uError);
            return 0;
        }
    }
    if (!NextEntry(hFind, pFindData)) {
        QN_SetLastError(ERROR_NO_MORE_FILES);
        return 0;
    }
    return 1;
}

int QN_FindClose(QN_HFIND hFind) {
    if (!hFind) {
        QN_SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    delete hFind;
    return 1;
}
