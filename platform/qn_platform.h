// The small Linux layer in place of the Windows base API: Win32-style constants, the
// thread-local last error in Win32 numbering, thread ids, sleeping and folder creation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qn_com.h"

#ifndef _countof
#define _countof(a) (sizeof(a) / sizeof((a)[0]))
#endif
#ifndef _T
#define _T(x) x
#endif

#define INVALID_HANDLE_VALUE (-1)

// Win32 error numbers used by the program.
#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_EOF 38
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_PENDING 997
#define ERROR_FILE_INVALID 1006
#define ERROR_DIRECTORY 267
#define ERROR_TIMEOUT 1460

// What a failed call was acting on: errno values whose Win32 meaning depends on it.
enum QN_ErrorObject {
    QN_ERROR_OBJECT_FILE = 0,    // ENOENT -> 2, EEXIST -> 80
    QN_ERROR_OBJECT_FOLDER = 1,  // ENOENT -> 3, EEXIST -> 183
};

// The Win32 number for an errno value; 31 (general failure) when there is no better one.
uint32_t QN_Win32ErrorFromErrno(int nErrno, QN_ErrorObject eObject = QN_ERROR_OBJECT_FILE);

// The calling thread's last error, in Win32 numbering, and the errno it came from (0 when it
// was set directly).
uint32_t QN_GetLastError();
void QN_SetLastError(uint32_t uError);
int QN_GetLastErrno();
// The last error as a COM result: HRESULT_FROM_WIN32 of it, E_FAIL when none is set.
HRESULT QN_LastErrorResult();
// Restores a last error saved with QN_GetLastError and QN_GetLastErrno.
void QN_RestoreLastError(uint32_t uError, int nErrno);

// Keeps the calling thread's last error (and errno) across work that must not change it, such
// as writing a log line between a failed call and the report of its error number.
class QN_LastErrorKeeper {
public:
    QN_LastErrorKeeper();
    ~QN_LastErrorKeeper();
    QN_LastErrorKeeper(const QN_LastErrorKeeper&) = delete;
    QN_LastErrorKeeper& operator=(const QN_LastErrorKeeper&) = delete;

private:
    uint32_t m_uError;
    int m_nLastErrno;
    int m_nErrno;
};
// Sets the last error from errno as it stands and returns the Win32 number.
uint32_t QN_SetLastErrorFromErrno(QN_ErrorObject eObject = QN_ERROR_OBJECT_FILE);

// The kernel id of the calling thread.
uint32_t QN_GetCurrentThreadId();

void QN_Sleep(uint32_t uMilliseconds);

// Creates one folder with mode 0777. An existing folder counts as success. 1 on success, 0
// on failure with the last error set (80 when a non-folder of that name exists).
int QN_mkdir(const char* cszPath);

// True for '/' and '\\': every test for a trailing or last separator accepts both.
inline bool QN_IsPathSeparator(char c) { return c == '/' || c == '\\'; }
inline bool QN_IsPathSeparatorW(wchar_t c) { return c == L'/' || c == L'\\'; }
