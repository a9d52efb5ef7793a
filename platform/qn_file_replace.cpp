#include "qn_file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "qn_platform.h"

bool QN_PathExists(const char* cszPath) {
    if (!cszPath || !cszPath[0]) return false;
    return ::access(cszPath, F_OK) == 0;
}

int QN_GetRegularFileMode(const char* cszPath, uint32_t* puRetMode) {
    struct stat st;
    if (!cszPath || !puRetMode) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (::stat(cszPath, &st) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        QN_SetLastError(ERROR_FILE_INVALID);
        return 0;
    }
    *puRetMode = (uint32_t)(st.st_mode & 07777);
    return 1;
}

int QN_SetFileMode(const char* cszPath, uint32_t uMode) {
    if (!cszPath || ::chmod(cszPath, (mode_t)(uMode & 07777)) != 0) {
        if (!cszPath) errno = EINVAL;
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int QN_CopyFileReplace(const char* cszFrom, const char* cszTo) {
    int nResult = 0;
    int nIn = -1, nOut = -1;
    struct stat st;
    char buf[65536];
    if (!cszFrom || !cszTo) {
        errno = EINVAL;
        goto Exit0;
    }
    nIn = ::open(cszFrom, O_RDONLY | O_CLOEXEC);
    if (nIn < 0) goto Exit0;
    if (::fstat(nIn, &st) != 0) goto Exit0;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        goto Exit0;
    }
    nOut = ::open(cszTo, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (nOut < 0) goto Exit0;
    for (;;) {
        ssize_t nGot = ::read(nIn, buf, sizeof(buf));
        if (nGot < 0 && errno == EINTR) continue;
        if (nGot < 0) goto Exit0;
        if (nGot == 0) break;
        for (ssize_t nDone = 0; nDone < nGot;) {
            ssize_t nPut = ::write(nOut, buf + nDone, (size_t)(nGot - nDone));
            if (nPut < 0 && errno == EINTR) continue;
            if (nPut < 0) goto Exit0;
            nDone += nPut;
        }
    }
    if (::fdatasync(nOut) != 0) goto Exit0;
    if (::close(nOut) != 0) {
        nOut = -1;
        goto Exit0;
    }
    nOut = -1;
    nResult = 1;
Exit0:
    if (!nResult) QN_SetLastErrorFromErrno();
    {
        int nSaved = errno;
        if (nIn >= 0) ::close(nIn);
        if (nOut >= 0) ::close(nOut);
        errno = nSaved;
    }
    return nResult;
}

int QN_MoveFileReplaceA(const char* cszFrom, const char* cszTo) {
    if (!cszFrom || !cszTo) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (::rename(cszFrom, cszTo) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int QN_CopyFileA(const char* cszFrom, const char* cszTo, int bFailIfExists) {
    struct stat stFrom, stTo;
    uint32_t uMode = 0;
    if (!cszFrom || !cszTo) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (::stat(cszFrom, &stFrom) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    if (::stat(cszTo, &stTo) == 0) {
        if (bFailIfExists) {
            QN_SetLastError(ERROR_FILE_EXISTS);
            return 0;
        }
        // A copy onto itself would empty the source.
        if (stTo.st_dev == stFrom.st_dev && stTo.st_ino == stFrom.st_ino) {
            QN_SetLastError(ERROR_SHARING_VIOLATION);
            return 0;
        }
    }
    if (!QN_GetRegularFileMode(cszFrom, &uMode)) return 0;
    if (!QN_CopyFileReplace(cszFrom, cszTo)) {
        if (errno == ETXTBSY) QN_SetLastError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    return QN_SetFileMode(cszTo, uMode);
}
