// Plain file descriptors for the layers above: opening a file for appending, writing a whole
// buffer, closing, and the C runtime's text for an errno value.
#pragma once

#include <cstddef>

// Opens (creating it when missing, mode 0666 before the umask) a file for writing at its end,
// close-on-exec. Returns the descriptor, or -1 with the last error set (errno kept).
int QN_OpenFileForAppend(const char* cszPath);

// Writes all uSize bytes, retrying after interruptions and partial writes. 1 on success, 0 on
// failure with the last error set.
int QN_WriteAll(int nFd, const void* pvData, size_t uSize);

// Closes a descriptor; a negative one is ignored.
void QN_CloseFd(int nFd);

// The runtime's text for an errno value, thread-safe; always terminated in buf[0..count).
const char* QN_ErrnoText(int nErrno, char* buf, size_t count);
