#include "qn_file_io.h"

#include "qn_file_replace.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "qn_fs_core.h"
#include "qn_special_folder.h"
#include "qn_string.h"
#include "qn_test_hooks.h"
#include "qn_time.h"

namespace {

std::atomic<qn::testing::FileWriteHook> g_pfnWriteHook{nullptr};
std::atomic<qn::testing::FileWriteHook> g_pfnReadHook{nullptr};
std::atomic<qn::testing::FileFlushHook> g_pfnFlushHook{nullptr};

std::mutex& AppDataLock() {
    static std::mutex* s_pLock = new std::mutex;  // never destroyed
    return *s_pLock;
}
std::string& AppDataOverride() {
    static std::string* s_pPath = new std::string;  // never destroyed
    return *s_pPath;
}

// Takes the share-mode lock for a handle; 1 on success, 0 with the last error set.
int TakeShareLock(int nFd, uint32_t uAccess, uint32_t uShare) {
    short sType;
    if ((uAccess & QN_FILE_ACCESS_WRITE) || !(uShare & QN_FILE_SHARE_READ)) {
        sType = F_WRLCK;
    } else if (!(uShare & QN_FILE_SHARE_WRITE)) {
        sType = F_RDLCK;
    } else {
        return 1;
    }
    struct flock fl {};
    fl.l_type = sType;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (::fcntl(nFd, F_OFD_SETLK, &fl) == 0) return 1;
    if (errno == EAGAIN || errno == EACCES) {
        QN_SetLastError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    if (errno == EBADF && sType == F_WRLCK) {
        // A read-only descriptor cannot hold a write lock: deny writers at least.
        fl.l_type = F_RDLCK;
        if (::fcntl(nFd, F_OFD_SETLK, &fl) == 0) return 1;
        if (errno == EAGAIN || errno == EACCES) {
            QN_SetLastError(ERROR_SHARING_VIOLATION);
            return 0;
        }
    }
    QN_SetLastErrorFromErrno();
    return 0;
}

}  // namespace

int QN_FileOpen(const char* cszPath, uint32_t uAccess, uint32_t uShare, QN_FileDisposition eDisposition,
                bool* pbRetExisted, uint32_t uOptions) {
    if (pbRetExisted) *pbRetExisted = false;
    if (!cszPath || !cszPath[0] || !(uAccess & (QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE))) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    const int nMode = (uAccess & QN_FILE_ACCESS_WRITE) ? ((uAccess & QN_FILE_ACCESS_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    qn::fs::OpenOptions options;
    options.bRegularOnly = options.bRefuseLink = (uOptions & QN_FILE_OPTION_REGULAR_NO_LINK) != 0;
    // CREATE_ALWAYS empties the file only once the share lock is taken, so that a file another
    // handle holds is not cut: it opens as OPEN_ALWAYS and is truncated below.
    const qn::fs::OpenWay eWay =
        eDisposition == QN_FILE_OPEN_EXISTING ? qn::fs::OpenWay::kOpenExisting : qn::fs::OpenWay::kOpenAlways;
    bool bExisted = false;
    const int nFd = qn::fs::OpenFile(cszPath, nMode, eWay, options, &bExisted);
    if (nFd < 0) return -1;
    if (!TakeShareLock(nFd, uAccess, uShare)) {
        uint32_t uError = QN_GetLastError();
        ::close(nFd);
        QN_SetLastError(uError);
        return -1;
    }
    if (eDisposition == QN_FILE_CREATE_ALWAYS && ::ftruncate(nFd, 0) != 0) {
        QN_SetLastErrorFromErrno();
        ::close(nFd);
        return -1;
    }
    if (pbRetExisted) *pbRetExisted = bExisted;
    QN_SetLastError(bExisted && eDisposition != QN_FILE_OPEN_EXISTING ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return nFd;
}

void QN_FileClose(int nFd) {
    if (nFd >= 0) ::close(nFd);
}

// A test hook may refuse a read or write with an errno value; the call then fails with it.
static bool HookRefuses(const std::atomic<qn::testing::FileWriteHook>& hook, int nFd, uint64_t ullOffset, uint32_t uLength) {
    qn::testing::FileWriteHook pfnHook = hook.load(std::memory_order_acquire);
    int nErr = pfnHook ? pfnHook(nFd, ullOffset, uLength) : 0;
    if (nErr == 0) return false;
    errno = nErr;
    QN_SetLastErrorFromErrno();
    return true;
}

int QN_FileReadAt(int nFd, uint64_t ullOffset, void* pvBuffer, uint32_t uLength, uint32_t* puRetGot) {
    uint32_t uDone = 0;
    if (puRetGot) *puRetGot = 0;
    if (HookRefuses(g_pfnReadHook, nFd, ullOffset, uLength)) return 0;
    while (uDone < uLength) {
        ssize_t n = ::pread(nFd, (char*)pvBuffer + uDone, uLength - uDone, (off_t)(ullOffset + uDone));
        if (n < 0) {
            if (errno == EINTR) continue;
            QN_SetLastErrorFromErrno();
            if (puRetGot) *puRetGot = uDone;
            return 0;
        }
        if (n == 0) break;
        uDone += (uint32_t)n;
    }
    if (puRetGot) *puRetGot = uDone;
    return 1;
}

int QN_FileWriteAt(int nFd, uint64_t ullOffset, const void* pvBuffer, uint32_t uLength, uint32_t* puRetWritten) {
    uint32_t uDone = 0;
    if (puRetWritten) *puRetWritten = 0;
    if (HookRefuses(g_pfnWriteHook, nFd, ullOffset, uLength)) return 0;
    while (uDone < uLength) {
        ssize_t n = ::pwrite(nFd, (const char*)pvBuffer + uDone, uLength - uDone, (off_t)(ullOffset + uDone));
        if (n < 0) {
            if (errno == EINTR) continue;
            QN_SetLastErrorFromErrno();
            if (puRetWritten) *puRetWritten = uDone;
            return 0;
        }
        if (n == 0) {
            errno = ENOSPC;
            QN_SetLastErrorFromErrno();
            if (puRetWritten) *puRetWritten = uDone;
            return 0;
        }
        uDone += (uint32_t)n;
    }
    if (puRetWritten) *puRetWritten = uDone;
    return 1;
}

int QN_FileGetSize(int nFd, uint64_t* pullRetSize) {
    struct stat st;
    if (::fstat(nFd, &st) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    *pullRetSize = (uint64_t)st.st_size;
    return 1;
}

int QN_FileSetSize(int nFd, uint64_t ullSize) {
    if (ullSize > (uint64_t)INT64_MAX) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (::ftruncate(nFd, (off_t)ullSize) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int QN_FileReserve(int nFd, uint64_t ullSize) {
    if (ullSize == 0) return 1;
    if (ullSize > (uint64_t)INT64_MAX) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int nRet;
    do {
        nRet = ::fallocate(nFd, 0, 0, (off_t)ullSize);
    } while (nRet != 0 && errno == EINTR);
    if (nRet == 0) return 1;
    if (errno == EOPNOTSUPP || errno == ENOSYS) return 1;
    QN_SetLastErrorFromErrno();
    return 0;
}

int QN_FileFlush(int nFd) {
    qn::testing::FileFlushHook pfnHook = g_pfnFlushHook.load(std::memory_order_acquire);
    if (int nErr = pfnHook ? pfnHook(nFd) : 0) {
        errno = nErr;
        QN_SetLastErrorFromErrno();
        return 0;
    }
    if (::fdatasync(nFd) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int QN_FileSetLastWriteTime(int nFd, uint64_t ullFileTime) {
    uint32_t uNs = 0;
    int64_t llSec = QN_FileTimeToUnixTime(ullFileTime, &uNs);
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_sec = (time_t)llSec;
    ts[1].tv_nsec = (long)uNs;
    if (::futimens(nFd, ts) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int QN_FileGetLastWriteTime(int nFd, uint64_t* pullRetFileTime) {
    struct stat st;
    if (::fstat(nFd, &st) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    *pullRetFileTime = QN_UnixTimeToFileTime(st.st_mtim.tv_sec, (uint32_t)st.st_mtim.tv_nsec);
    return 1;
}

int QN_FileGetCreationTime(int nFd, uint64_t* pullRetFileTime) {
    struct statx stx {};
    if (::statx(nFd, "", AT_EMPTY_PATH, STATX_BTIME | STATX_INO, &stx) == 0 && (stx.stx_mask & STATX_BTIME)) {
        *pullRetFileTime = QN_UnixTimeToFileTime(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
        return 1;
    }
    struct stat st;
    if (::fstat(nFd, &st) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    *pullRetFileTime = (uint64_t)st.st_ino ^ ((uint64_t)st.st_dev << 32);
    return 1;
}

int QN_DeleteFile(const char* cszPath) {
    if (!cszPath || !cszPath[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return qn::fs::DeleteName(cszPath);
}

int QN_MoveFileReplace(const char* cszFrom, const char* cszTo) { return QN_MoveFileReplaceA(cszFrom, cszTo); }

int QN_CreateDirectoryOne(const char* cszPath) {
    if (!cszPath || !cszPath[0]) {
        QN_SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (::mkdir(cszPath, 0777) == 0) {
        QN_SetLastError(ERROR_SUCCESS);
        return 1;
    }
    QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
    return 0;
}

std::string QN_GetCurrentDirectory() {
    char szBuf[4096];
    if (!::getcwd(szBuf, sizeof(szBuf))) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return std::string();
    }
    std::string s(szBuf);
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string QN_GetAppDataFolder() {
    std::string sFolder;
    {
        std::lock_guard<std::mutex> lock(AppDataLock());
        sFolder = AppDataOverride();
    }
    if (sFolder.empty() && !QN_GetPlatformRoot().empty()) {
        // Under a platform root the folder is the root's, like every other special folder.
        if (!QN_GetSpecialFolderPath(CSIDL_APPDATA, &sFolder, true)) sFolder.clear();
        return sFolder;
    }
    if (sFolder.empty()) {
        const char* csz = std::getenv("XDG_CONFIG_HOME");
        if (csz && csz[0] == '/') {
            sFolder = csz;
        } else {
            csz = std::getenv("HOME");
            if (csz && csz[0] == '/') {
                sFolder = std::string(csz) + "/.config";
            } else {
                struct passwd pw;
                struct passwd* pResult = nullptr;
                char szBuf[4096];
                if (::getpwuid_r(::getuid(), &pw, szBuf, sizeof(szBuf), &pResult) == 0 && pResult &&
                    pResult->pw_dir && pResult->pw_dir[0]) {
                    sFolder = std::string(pResult->pw_dir) + "/.config";
                }
            }
        }
    }
    if (sFolder.empty()) {
        QN_SetLastError(ERROR_PATH_NOT_FOUND);
        return sFolder;
    }
    while (sFolder.size() > 1 && sFolder.back() == '/') sFolder.pop_back();
    // Created when missing, one level (its parent is the home folder or a test folder).
    if (::mkdir(sFolder.c_str(), 0700) != 0 && errno != EEXIST) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
    }
    return sFolder;
}

namespace qn::testing {

void SetFileWriteHook(FileWriteHook pfnHook) { g_pfnWriteHook.store(pfnHook, std::memory_order_release); }
void SetFileReadHook(FileWriteHook pfnHook) { g_pfnReadHook.store(pfnHook, std::memory_order_release); }
void SetFileFlushHook(FileFlushHook pfnHook) { g_pfnFlushHook.store(pfnHook, std::memory_order_release); }

void SetAppDataFolder(const char* cszFolder) {
    std::lock_guard<std::mutex> lock(AppDataLock());
    AppDataOverride() = cszFolder ? cszFolder : "";
}

std::string PathOfFd(int nFd) {
    char szLink[64];
    char szBuf[4096];
    QN_snprintf(szLink, sizeof(szLink), "/proc/self/fd/%d", nFd);
    ssize_t n = ::readlink(szLink, szBuf, sizeof(szBuf) - 1);
    if (n < 0) return std::string();
    return std::string(szBuf, (size_t)n);
}

}  // namespace qn::testing
