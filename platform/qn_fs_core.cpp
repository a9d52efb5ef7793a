#include "qn_fs_core.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "qn_file_io.h"
#include "qn_file_replace.h"
#include "qn_test_hooks.h"

namespace {

std::mutex& SandboxLock() {
    static std::mutex* s_p = new std::mutex;  // never destroyed
    return *s_p;
}
std::string& Sandbox() {
    static std::string* s_p = new std::string;  // never destroyed
    return *s_p;
}

std::atomic<qn::testing::DeleteFileHook> g_pfnDeleteHook{nullptr};

// A test program that set a sandbox ends at once when anything outside it would be deleted.
// The folder the name is removed from is compared with its links resolved (a name inside a
// link to a folder elsewhere is a deletion elsewhere); the name itself is not followed.
void CheckSandbox(const std::string& strPath) {
    std::string strSandbox;
    {
        std::lock_guard<std::mutex> lock(SandboxLock());
        strSandbox = Sandbox();
    }
    if (strSandbox.empty()) return;
    std::string strAbsolute = strPath;
    if (strAbsolute.empty() || strAbsolute[0] != '/') strAbsolute = QN_GetCurrentDirectory() + "/" + strAbsolute;
    if (!qn::fs::PathLiesWithin(strAbsolute.c_str(), strSandbox.c_str())) {
        std::fprintf(stderr, "deletion outside the test sandbox %s: %s\n", strSandbox.c_str(), strAbsolute.c_str());
        std::abort();
    }
}

int OpenOnce(const char* cszPath, int nFlags) {
    int nFd;
    do {
        nFd = ::open(cszPath, nFlags | O_CLOEXEC, 0666);
    } while (nFd < 0 && errno == EINTR);
    return nFd;
}

// The parts of a path between separators ('/' or '\\'), without empty ones.
std::vector<std::string> PathParts(const char* csz) {
    std::vector<std::string> parts;
    std::string strPart;
    for (const char* p = csz;; ++p) {
        if (!*p || QN_IsPathSeparator(*p)) {
            if (!strPart.empty()) parts.push_back(strPart);
            strPart.clear();
            if (!*p) break;
        } else {
            strPart.push_back(*p);
        }
    }
    return parts;
}

bool PartsStartWith(const std::vector<std::string>& path, const std::vector<std::string>& within) {
    if (within.empty() || path.size() < within.size()) return false;
    for (size_t i = 0; i < within.size(); ++i)
        if (path[i] != within[i]) return false;
    return true;
}

}  // namespace

namespace qn::fs {

int DeleteName(const std::string& strPath) {
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

int RemoveFolder(const std::string& strPath) {
    CheckSandbox(strPath);
    if (::rmdir(strPath.c_str()) != 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    return 1;
}

bool PathExists(const char* cszPath, bool bFollowLink) {
    struct stat st;
    if (!cszPath || !cszPath[0]) return false;
    return (bFollowLink ? ::stat(cszPath, &st) : ::lstat(cszPath, &st)) == 0;
}

QN_NameKind NameKind(const char* cszPath, uint32_t* puRetMode) {
    struct stat st;
    if (puRetMode) *puRetMode = 0;
    if (!cszPath || !cszPath[0]) return QN_NAME_MISSING;
    const int nSaved = errno;
    const int nStat = ::lstat(cszPath, &st);
    errno = nSaved;
    if (nStat != 0) return QN_NAME_MISSING;
    if (puRetMode) *puRetMode = (uint32_t)(st.st_mode & 07777);
    if (S_ISREG(st.st_mode)) return QN_NAME_REGULAR;
    if (S_ISDIR(st.st_mode)) return QN_NAME_FOLDER;
    if (S_ISLNK(st.st_mode)) return QN_NAME_LINK;
    return QN_NAME_OTHER;
}

bool IsLink(const char* cszPath) { return NameKind(cszPath, nullptr) == QN_NAME_LINK; }

int AddOwnerWrite(const char* cszPath, bool bRegularOnly) {
    struct stat st;
    if (::lstat(cszPath, &st) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    if (S_ISLNK(st.st_mode) || (bRegularOnly && !S_ISREG(st.st_mode)) || (st.st_mode & S_IWUSR)) return 1;
    if (::chmod(cszPath, (st.st_mode & 07777) | S_IWUSR) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int OpenFile(const char* cszPath, int nAccessMode, OpenWay eWay, const OpenOptions& crOptions, bool* pbRetExisted) {
    const bool bWrite = nAccessMode != O_RDONLY;
    const bool bEmpties = eWay == OpenWay::kCreateAlways || eWay == OpenWay::kTruncateExisting;
    // A regular-file-only opening never waits on a pipe's other end: O_NONBLOCK, cleared below
    // once the file is known to be a regular one.
    int nFlags = nAccessMode | (crOptions.bRegularOnly ? O_NONBLOCK : 0) | (crOptions.bRefuseLink ? O_NOFOLLOW : 0);
    int nFd = -1;
    bool bExisted = false;

    if (pbRetExisted) *pbRetExisted = false;
    if (bWrite && !crOptions.bRefuseLink && !QN_DetachLinkForWriting(cszPath, !bEmpties)) return -1;
    switch (eWay) {
        case OpenWay::kCreateNew:
            nFd = OpenOnce(cszPath, nFlags | O_CREAT | O_EXCL);
            break;
        case OpenWay::kOpenExisting:
            nFd = OpenOnce(cszPath, nFlags);
            bExisted = true;
            break;
        case OpenWay::kTruncateExisting:
            nFd = OpenOnce(cszPath, nFlags | O_TRUNC);
            bExisted = true;
            break;
        case OpenWay::kCreateAlways:
        case OpenWay::kOpenAlways:
            // Tell "created" from "opened" (Windows reports 183 when the file existed). The
            // file may vanish or appear between the two tries; a few rounds settle it.
            for (int nTry = 0; nTry < 8; ++nTry) {
                nFd = OpenOnce(cszPath, nFlags | O_CREAT | O_EXCL);
                if (nFd >= 0 || errno != EEXIST) break;
                nFd = OpenOnce(cszPath, nFlags | (eWay == OpenWay::kCreateAlways ? O_TRUNC : 0));
                if (nFd >= 0) {
                    bExisted = true;
                    break;
                }
                if (errno != ENOENT) break;
            }
            break;
    }
    if (nFd < 0) {
        if (crOptions.bRefuseLink && errno == ELOOP) {
            QN_SetLastError(ERROR_ACCESS_DENIED);  // a symbolic link at the name
            return -1;
        }
        if (crOptions.bRegularOnly && errno == ENXIO) errno = EACCES;  // a FIFO without a reader
        QN_SetLastErrorFromErrno(crOptions.eErrorObject);
        return -1;
    }
    struct stat st;
    if (::fstat(nFd, &st) != 0) {
        QN_SetLastErrorFromErrno(crOptions.eErrorObject);
        ::close(nFd);
        return -1;
    }
    // Windows opens neither a folder nor a device by a file name as a file.
    if (S_ISDIR(st.st_mode) || (crOptions.bRegularOnly && !S_ISREG(st.st_mode))) {
        ::close(nFd);
        QN_SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    if (crOptions.bRegularOnly && ::fcntl(nFd, F_SETFL, ::fcntl(nFd, F_GETFL) & ~O_NONBLOCK) != 0) {
        QN_SetLastErrorFromErrno(crOptions.eErrorObject);
        ::close(nFd);
        return -1;
    }
    if (pbRetExisted) *pbRetExisted = bExisted;
    return nFd;
}

std::string SlashPath(const char* cszPath) {
    std::string s = cszPath ? cszPath : "";
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

std::string ResolvePath(const char* cszPath, bool bFollowLast) {
    std::string strAbsolute;
    if (!QN_IsPathSeparator(cszPath[0])) {
        strAbsolute = QN_GetCurrentDirectory();
        if (strAbsolute.empty()) return std::string();
    }
    std::vector<std::string> parts = PathParts(cszPath);
    for (const std::string& s : parts)
        if (s == ".." || s == ".") return std::string();
    std::string strLast;
    if (!bFollowLast && !parts.empty()) {
        strLast = parts.back();
        parts.pop_back();
    }
    for (const std::string& s : parts) strAbsolute += "/" + s;
    if (strAbsolute.empty()) strAbsolute = "/";
    // Walk back to the longest part that exists, resolve it, and put the rest back.
    std::string strHead = strAbsolute, strTail;
    for (;;) {
        char* pszReal = ::realpath(strHead.c_str(), nullptr);
        if (pszReal) {
            strHead = pszReal;
            std::free(pszReal);
            break;
        }
        const size_t uSlash = strHead.find_last_of('/');
        if (uSlash == std::string::npos || strHead == "/") break;
        strTail = strHead.substr(uSlash) + strTail;
        strHead = uSlash == 0 ? "/" : strHead.substr(0, uSlash);
    }
    std::string strResult = (strHead == "/" ? std::string() : strHead) + strTail;
    if (!strLast.empty()) strResult += "/" + strLast;
    return strResult.empty() ? "/" : strResult;
}

bool PathLiesWithin(const char* cszPath, const char* cszWithin) {
    if (!cszPath || !cszPath[0] || !cszWithin || !cszWithin[0]) return false;
    // Both must be absolute, or both relative, to be compared at all.
    if (QN_IsPathSeparator(cszPath[0]) != QN_IsPathSeparator(cszWithin[0])) return false;
    // Compared as the file system resolves them, with exact letter case (two names that differ
    // in case are two folders here). The path's own last part is not followed: a link there is
    // the link, which lies where its name is.
    const std::string strPath = ResolvePath(cszPath, false);
    const std::string strWithinReal = ResolvePath(cszWithin, true);
    const std::string strWithinName = ResolvePath(cszWithin, false);
    if (strPath.empty() || strWithinReal.empty() || strWithinName.empty()) return false;
    const std::vector<std::string> path = PathParts(strPath.c_str());
    const std::vector<std::string> withinReal = PathParts(strWithinReal.c_str());
    // The root as the folder: everything would lie in it.
    if (withinReal.empty()) return false;
    // Below the folder it resolves to, or the very name of the folder (a link there included).
    return PartsStartWith(path, withinReal) || path == PathParts(strWithinName.c_str());
}

}  // namespace qn::fs

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
