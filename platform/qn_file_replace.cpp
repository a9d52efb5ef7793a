#include "qn_file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "qn_fs_core.h"
#include "qn_platform.h"
#include "qn_test_hooks.h"

namespace {

// Bytes a copy may write before its writes fail as on a full disk; 0 when unlimited.
std::atomic<uint64_t> g_ullCopyWriteLimit{0};

// The side name a copy is written under before it is renamed into place.
std::string SideName(const char* cszTo) { return std::string(cszTo) + ".qncopy"; }

// Removes a leftover side file (or a link of that name) without following it.
void RemoveSideName(const std::string& strSide) {
    QN_LastErrorKeeper keep;
    qn::fs::DeleteName(strSide);
}

}  // namespace

namespace qn::testing {
void SetCopyWriteLimit(uint64_t ullBytes) { g_ullCopyWriteLimit.store(ullBytes); }
}  // namespace qn::testing

bool QN_IsSymbolicLink(const char* cszPath) { return qn::fs::IsLink(cszPath); }

bool QN_PathExists(const char* cszPath) { return qn::fs::PathExists(cszPath, true); }

QN_NameKind QN_GetNameKind(const char* cszPath, uint32_t* puRetMode) { return qn::fs::NameKind(cszPath, puRetMode); }

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
    bool bOutputMade = false;
    uint64_t ullWritten = 0;
    const uint64_t ullLimit = g_ullCopyWriteLimit.load();
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
    nOut = ::open(cszTo, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (nOut < 0) goto Exit0;
    bOutputMade = true;
    for (;;) {
        ssize_t nGot = ::read(nIn, buf, sizeof(buf));
        if (nGot < 0 && errno == EINTR) continue;
        if (nGot < 0) goto Exit0;
        if (nGot == 0) break;
        for (ssize_t nDone = 0; nDone < nGot;) {
            size_t uWant = (size_t)(nGot - nDone);
            if (ullLimit && ullWritten + uWant > ullLimit) {
                if (ullWritten >= ullLimit) {
                    errno = ENOSPC;
                    goto Exit0;
                }
                uWant = (size_t)(ullLimit - ullWritten);
            }
            ssize_t nPut = ::write(nOut, buf + nDone, uWant);
            if (nPut < 0 && errno == EINTR) continue;
            if (nPut < 0) goto Exit0;
            nDone += nPut;
            ullWritten += (uint64_t)nPut;
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
        // A partial copy is no use to anyone and may hold the last free space.
        if (!nResult && bOutputMade) {
            QN_LastErrorKeeper keep;
            qn::fs::DeleteName(cszTo);
        }
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

int QN_CopyBesideAndRename(const char* cszFrom, const char* cszTo, const uint32_t* puMode) {
    if (!cszFrom || !cszTo) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string strSide = SideName(cszTo);
    RemoveSideName(strSide);
    // The copy is flushed before the rename, so the name never holds a part of it.
    if (!QN_CopyFileReplace(cszFrom, strSide.c_str())) return 0;
    if ((puMode && !QN_SetFileMode(strSide.c_str(), *puMode)) || !QN_MoveFileReplaceA(strSide.c_str(), cszTo)) {
        QN_LastErrorKeeper keep;
        RemoveSideName(strSide);
        return 0;
    }
    return 1;
}

int QN_RemoveCopySideFile(const char* cszTo) {
    if (!cszTo || !cszTo[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const uint32_t uError = QN_GetLastError();
    const int nErrno = QN_GetLastErrno();
    if (qn::fs::DeleteName(SideName(cszTo))) return 1;
    if (QN_GetLastErrno() != ENOENT) return 0;
    QN_RestoreLastError(uError, nErrno);  // nothing was there: nothing failed
    return 1;
}

int QN_ReplaceLinkByCopy(const char* cszPath) {
    struct stat stLink, stTarget;
    uint32_t uMode = 0;
    if (!cszPath || !cszPath[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (::lstat(cszPath, &stLink) != 0) {
        if (errno == ENOENT) return 1;
        QN_SetLastErrorFromErrno();
        return 0;
    }
    if (!S_ISLNK(stLink.st_mode)) return 1;
    if (::stat(cszPath, &stTarget) != 0 || !S_ISREG(stTarget.st_mode)) {
        // Nothing worth keeping behind it: the link alone goes.
        return qn::fs::DeleteName(cszPath);
    }
    uMode = (uint32_t)(stTarget.st_mode & 07777);
    return QN_CopyBesideAndRename(cszPath, cszPath, &uMode);
}

int QN_DetachLinkForWriting(const char* cszPath, bool bKeepContent) {
    if (!QN_IsSymbolicLink(cszPath)) return 1;
    if (bKeepContent) return QN_ReplaceLinkByCopy(cszPath);
    return qn::fs::DeleteName(cszPath);
}

bool QN_IsRunningProgramFile(const char* cszPath) {
    // The kernel refuses to open a file for writing while a process runs it.
    int nProbe = ::open(cszPath, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (nProbe >= 0) {
        ::close(nProbe);
        return false;
    }
    return errno == ETXTBSY;
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
    if (::lstat(cszTo, &stTo) == 0) {
        if (bFailIfExists) {
            QN_SetLastError(ERROR_FILE_EXISTS);
            return 0;
        }
        // A copy onto itself would empty the source; a link to it counts as the same file.
        if (::stat(cszTo, &stTo) == 0 && stTo.st_dev == stFrom.st_dev && stTo.st_ino == stFrom.st_ino) {
            QN_SetLastError(ERROR_SHARING_VIOLATION);
            return 0;
        }
        if (S_ISDIR(stTo.st_mode) && !QN_IsSymbolicLink(cszTo)) {
            errno = EISDIR;
            QN_SetLastErrorFromErrno();
            return 0;
        }
        // A program that is running cannot be replaced, as on the system the tool came from.
        if (QN_IsRunningProgramFile(cszTo)) {
            QN_SetLastError(ERROR_SHARING_VIOLATION);
            return 0;
        }
    }
    if (!QN_GetRegularFileMode(cszFrom, &uMode)) return 0;
    return QN_CopyBesideAndRename(cszFrom, cszTo, &uMode);
}
