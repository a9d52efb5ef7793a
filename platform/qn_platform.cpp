#include "qn_platform.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace {
thread_local uint32_t t_uLastError = 0;
thread_local int t_nLastErrno = 0;
}  // namespace

uint32_t QN_Win32ErrorFromErrno(int nErrno, QN_ErrorObject eObject) {
    switch (nErrno) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return eObject == QN_ERROR_OBJECT_FOLDER ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return eObject == QN_ERROR_OBJECT_FOLDER ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
        case EBUSY:
        case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case EFBIG: return ERROR_HANDLE_DISK_FULL;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case ETIMEDOUT: return ERROR_TIMEOUT;
        case ECANCELED: return ERROR_OPERATION_ABORTED;
        case ENOSYS:
        case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
        default: return ERROR_GEN_FAILURE;
    }
}

uint32_t QN_GetLastError() { return t_uLastError; }

HRESULT QN_LastErrorResult() { return t_uLastError ? HRESULT_FROM_WIN32(t_uLastError) : E_FAIL; }

void QN_SetLastError(uint32_t uError) {
    t_uLastError = uError;
    t_nLastErrno = 0;
}

int QN_GetLastErrno() { return t_nLastErrno; }

void QN_RestoreLastError(uint32_t uError, int nErrno) {
    t_uLastError = uError;
    t_nLastErrno = nErrno;
}

QN_LastErrorKeeper::QN_LastErrorKeeper()
    : m_uError(t_uLastError), m_nLastErrno(t_nLastErrno), m_nErrno(errno) {}

QN_LastErrorKeeper::~QN_LastErrorKeeper() {
    t_uLastError = m_uError;
    t_nLastErrno = m_nLastErrno;
    errno = m_nErrno;
}

uint32_t QN_SetLastErrorFromErrno(QN_ErrorObject eObject) {
    int nErrno = errno;
    t_uLastError = QN_Win32ErrorFromErrno(nErrno, eObject);
    t_nLastErrno = nErrno;
    return t_uLastError;
}

uint32_t QN_GetCurrentThreadId() { return (uint32_t)::syscall(SYS_gettid); }

void QN_Sleep(uint32_t uMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(uMilliseconds));
}

int QN_mkdir(const char* cszPath) {
    if (!cszPath || !cszPath[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (::mkdir(cszPath, 0777) == 0) {
        QN_SetLastError(ERROR_SUCCESS);
        return 1;
    }
    if (errno == EEXIST) {
        struct stat st;
        if (::stat(cszPath, &st) == 0 && S_ISDIR(st.st_mode)) {
            QN_SetLastError(ERROR_SUCCESS);
            return 1;
        }
        // Something that is not a folder holds the name: a file cannot stand in for it.
        QN_SetLastError(ERROR_FILE_EXISTS);
        return 0;
    }
    QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
    return 0;
}
