#include "qn_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "qn_fs_core.h"
#include "qn_platform.h"
#include "qn_test_hooks.h"

namespace {
// The errno every QN_WriteAll fails with, for tests; 0 when writes are real.
std::atomic<int> g_nWriteAllFailure{0};
}  // namespace

namespace qn::testing {
void SetWriteAllFailure(int nErrno) { g_nWriteAllFailure.store(nErrno); }
}  // namespace qn::testing

int QN_OpenFileForAppend(const char* cszPath) {
    if (!cszPath || !cszPath[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    int nFd;
    // A symbolic link at the name is refused (ELOOP), not replaced: the name is the caller's
    // own, a link there was not made by it, and neither copying a foreign file into it nor
    // appending to what it points to is right.
    do {
        nFd = ::open(cszPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    } while (nFd < 0 && errno == EINTR);
    if (nFd < 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FILE);
        return -1;
    }
    QN_SetLastError(ERROR_SUCCESS);
    return nFd;
}

int QN_WriteAll(int nFd, const void* pvData, size_t uSize) {
    const char* p = static_cast<const char*>(pvData);
    if (const int nFailure = g_nWriteAllFailure.load()) {
        errno = nFailure;
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FILE);
        return 0;
    }
    while (uSize > 0) {
        ssize_t n = ::write(nFd, p, uSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FILE);
            return 0;
        }
        if (n == 0) {
            // A write that makes no progress would loop for ever.
            QN_SetLastError(ERROR_WRITE_FAULT);
            return 0;
        }
        p += n;
        uSize -= (size_t)n;
    }
    return 1;
}

int QN_ReplaceFileContents(const char* cszPath, const char* cszTempPattern, const void* pvData, size_t uSize,
                           unsigned uMode) {
    if (!cszPath || !cszTempPattern || (!pvData && uSize)) return EINVAL;
    std::string strTemp = cszTempPattern;
    int nFd = ::mkostemp(strTemp.data(), O_CLOEXEC);
    if (nFd < 0) return errno;
    int nError = 0;
    const char* p = static_cast<const char*>(pvData);
    while (!nError && uSize > 0) {
        ssize_t n = ::write(nFd, p, uSize);
        if (n > 0) {
            p += n;
            uSize -= (size_t)n;
        } else if (n == 0) {
            nError = EIO;
        } else if (errno != EINTR) {
            nError = errno;
        }
    }
    if (!nError && ::fchmod(nFd, (mode_t)uMode) != 0) nError = errno;
    if (!nError && ::fsync(nFd) != 0) nError = errno;
    if (::close(nFd) != 0 && !nError) nError = errno;
    if (!nError && ::rename(strTemp.c_str(), cszPath) != 0) nError = errno;
    if (nError) {
        QN_LastErrorKeeper keep;
        qn::fs::DeleteName(strTemp);
    }
    return nError;
}

void QN_CloseFd(int nFd) {
    if (nFd >= 0) ::close(nFd);
}

const char* QN_ErrnoText(int nErrno, char* buf, size_t count) {
    if (!buf || count == 0) return "";
    buf[0] = '\0';
    // The GNU strerror_r may return a static text instead of filling buf.
    const char* csz = ::strerror_r(nErrno, buf, count);
    if (csz != buf) {
        std::snprintf(buf, count, "%s", csz ? csz : "");
    }
    buf[count - 1] = '\0';
    return buf;
}
