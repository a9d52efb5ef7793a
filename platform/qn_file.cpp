#include "qn_file.h"

#include "qn_file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "qn_fs_core.h"
#include "qn_platform.h"
#include "qn_string.h"
#include "qn_time.h"

std::string QN_NativePathFromWide(const wchar_t* cwszPath) {
    if (!cwszPath) return std::string();
    return qn::fs::SlashPath(QN_WideToUtf8(cwszPath).c_str());
}

std::string QN_NativePath(const char* cszPath) { return qn::fs::SlashPath(cszPath); }

namespace {

FILE* OpenStream(const std::string& path, const char* cszMode) {
    if (!cszMode || std::strlen(cszMode) > 8) {
        errno = EINVAL;
        QN_SetLastErrorFromErrno();
        return nullptr;
    }
    // A stream opened for writing never writes through a symbolic link.
    if (cszMode[0] != 'r' || std::strchr(cszMode, '+')) {
        if (!QN_DetachLinkForWriting(path.c_str(), cszMode[0] == 'r' || cszMode[0] == 'a')) return nullptr;
    }
    // "e" asks glibc for O_CLOEXEC.
    char szMode[16];
    std::snprintf(szMode, sizeof(szMode), "%se", cszMode);
    FILE* fp = std::fopen(path.c_str(), szMode);
    if (!fp) {
        QN_SetLastErrorFromErrno();
        return nullptr;
    }
    struct stat st;
    if (::fstat(::fileno(fp), &st) != 0 || S_ISDIR(st.st_mode)) {
        int nErrno = S_ISDIR(st.st_mode) ? EISDIR : errno;
        std::fclose(fp);
        errno = nErrno;
        QN_SetLastErrorFromErrno();
        return nullptr;
    }
    return fp;
}

struct timespec FileTimeToTimespec(uint64_t ullFileTime) {
    uint32_t uNanoseconds = 0;
    int64_t llSeconds = QN_FileTimeToUnixTime(ullFileTime, &uNanoseconds);
    struct timespec ts;
    ts.tv_sec = (time_t)llSeconds;
    ts.tv_nsec = (long)uNanoseconds;
    return ts;
}

uint64_t TimespecToFileTime(const struct timespec& ts) {
    return QN_UnixTimeToFileTime((int64_t)ts.tv_sec, (uint32_t)ts.tv_nsec);
}

}  // namespace

FILE* QN_wfopen(const wchar_t* cwszPath, const char* cszMode) {
    if (!cwszPath) {
        errno = EINVAL;
        QN_SetLastErrorFromErrno();
        return nullptr;
    }
    return OpenStream(QN_NativePathFromWide(cwszPath), cszMode);
}

FILE* QN_fopen(const char* cszPath, const char* cszMode) {
    if (!cszPath) {
        errno = EINVAL;
        QN_SetLastErrorFromErrno();
        return nullptr;
    }
    return OpenStream(QN_NativePath(cszPath), cszMode);
}

int QN_fseeki64(FILE* fp, int64_t llOffset, int nOrigin) {
    static_assert(sizeof(off_t) == 8, "64-bit file offsets are required");
    if (!fp) {
        errno = EINVAL;
        return -1;
    }
    // The stream's buffer is given up first, as the Windows runtime does on every seek: a
    // seek back into bytes read before would otherwise return them as they were then, not
    // as the file holds them now (another handle or a mapping may have written them).
    if (::fflush(fp) != 0) return -1;
    return ::fseeko(fp, (off_t)llOffset, nOrigin) == 0 ? 0 : -1;
}

int64_t QN_ftelli64(FILE* fp) {
    if (!fp) {
        errno = EINVAL;
        return -1;
    }
    return (int64_t)::ftello(fp);
}

int QN_fileno(FILE* fp) { return fp ? ::fileno(fp) : -1; }

int QN_chsize(int nFd, int64_t llLength) {
    struct stat st;
    if (llLength < 0) {
        errno = EINVAL;
        QN_SetLastErrorFromErrno();
        return -1;
    }
    if (::fstat(nFd, &st) != 0) {
        QN_SetLastErrorFromErrno();
        return -1;
    }
    if (llLength < (int64_t)st.st_size) {
        if (::ftruncate(nFd, (off_t)llLength) != 0) {
            QN_SetLastErrorFromErrno();
            return -1;
        }
    } else if (llLength > 0) {
        // Allocates the whole length, holes left by an earlier sparse extension included.
        int nErr = ::posix_fallocate(nFd, 0, (off_t)llLength);
        if (nErr != 0) {
            errno = nErr;
            QN_SetLastErrorFromErrno();
            return -1;
        }
    }
    QN_SetLastError(ERROR_SUCCESS);
    return 0;
}

int QN_AllocateFileSpace(int nFd) {
    struct stat st;
    off_t llPosition = 0;
    off_t llHole = 0;
    if (::fstat(nFd, &st) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    if (st.st_size > 0) {
        // Only a file with holes needs anything: allocating also stamps the file's times,
        // which are then put back, as its content has not changed.
        llPosition = ::lseek(nFd, 0, SEEK_CUR);
        llHole = ::lseek(nFd, 0, SEEK_HOLE);
        if (llPosition >= 0) ::lseek(nFd, llPosition, SEEK_SET);
        if (llHole < 0 || llHole < st.st_size) {
            int nErr = ::posix_fallocate(nFd, 0, st.st_size);
            if (nErr != 0) {
                errno = nErr;
                QN_SetLastErrorFromErrno();
                return 0;
            }
            struct timespec times[2] = {st.st_atim, st.st_mtim};
            ::futimens(nFd, times);
        }
    }
    QN_SetLastError(ERROR_SUCCESS);
    return 1;
}

int QN_OpenExistingFileW(const wchar_t* cwszPath, bool bWrite) {
    if (!cwszPath || !cwszPath[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::string path = QN_NativePathFromWide(cwszPath);
    // Writing keeps the content: a link at the name becomes a copy of what it points to, and
    // the file it points to is never written.
    if (bWrite && !QN_DetachLinkForWriting(path.c_str(), true)) return -1;
    int nFd = ::open(path.c_str(), (bWrite ? O_RDWR | O_NOFOLLOW : O_RDONLY) | O_CLOEXEC);
    if (nFd < 0) {
        QN_SetLastErrorFromErrno();
        return -1;
    }
    struct stat st;
    if (::fstat(nFd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int nErrno = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(nFd);
        errno = nErrno;
        QN_SetLastErrorFromErrno();
        return -1;
    }
    return nFd;
}

int QN_SetFileAttributesNormalW(const wchar_t* cwszPath) {
    if (!cwszPath || !cwszPath[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A link is not followed: what it points to is never changed. A folder gets the
    // permission too, as Windows clears "read-only" on folders as well.
    if (!qn::fs::AddOwnerWrite(QN_NativePathFromWide(cwszPath).c_str(), false)) return 0;
    QN_SetLastError(ERROR_SUCCESS);
    return 1;
}

int QN_SetFileTime(int nFd, const uint64_t* pullCreation, const uint64_t* pullLastAccess,
                   const uint64_t* pullLastWrite) {
    (void)pullCreation;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = times[0];
    if (pullLastAccess) times[0] = FileTimeToTimespec(*pullLastAccess);
    if (pullLastWrite) times[1] = FileTimeToTimespec(*pullLastWrite);
    if (::futimens(nFd, times) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    QN_SetLastError(ERROR_SUCCESS);
    return 1;
}

int QN_GetFileTime(int nFd, uint64_t* pullRetCreation, uint64_t* pullRetLastAccess,
                   uint64_t* pullRetLastWrite) {
    struct statx stx;
    std::memset(&stx, 0, sizeof(stx));
    if (::statx(nFd, "", AT_EMPTY_PATH, STATX_ATIME | STATX_MTIME | STATX_BTIME, &stx) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    if (pullRetCreation) {
        *pullRetCreation = 0;
        if (stx.stx_mask & STATX_BTIME) {
            struct timespec ts = {(time_t)stx.stx_btime.tv_sec, (long)stx.stx_btime.tv_nsec};
            *pullRetCreation = TimespecToFileTime(ts);
        }
    }
    if (pullRetLastAccess) {
        struct timespec ts = {(time_t)stx.stx_atime.tv_sec, (long)stx.stx_atime.tv_nsec};
        *pullRetLastAccess = TimespecToFileTime(ts);
    }
    if (pullRetLastWrite) {
        struct timespec ts = {(time_t)stx.stx_mtime.tv_sec, (long)stx.stx_mtime.tv_nsec};
        *pullRetLastWrite = TimespecToFileTime(ts);
    }
    QN_SetLastError(ERROR_SUCCESS);
    return 1;
}

bool QN_PathExistsW(const wchar_t* cwszPath) {
    if (!cwszPath || !cwszPath[0]) return false;
    return qn::fs::PathExists(QN_NativePathFromWide(cwszPath).c_str(), false);
}

bool QN_PathFileExistsA(const char* cszPath) { return qn::fs::PathExists(QN_NativePath(cszPath).c_str(), true); }

int QN_GetCurrentDirectoryW(wchar_t* pwszBuffer, size_t count) {
    if (!pwszBuffer || count == 0) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    pwszBuffer[0] = L'\0';
    char szCwd[4096];
    if (!::getcwd(szCwd, sizeof(szCwd))) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    if (QN_Utf8ToWideBuf(szCwd, pwszBuffer, count) < 0) {
        pwszBuffer[0] = L'\0';
        QN_SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return 1;
}
