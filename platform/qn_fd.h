// Plain file descriptors for the layers above: opening a file for appending, writing a whole
// buffer, closing, and the C runtime's text for an errno value.
#pragma once

#include <cstddef>

// Opens (creating it when missing, mode 0666 before the umask) a file for writing at its end,
// close-on-exec. A symbolic link at the name is refused (ELOOP), never written through.
// Returns the descriptor, or -1 with the last error set (errno kept).
int QN_OpenFileForAppend(const char* cszPath);

// Writes all uSize bytes, retrying after interruptions and partial writes. 1 on success, 0 on
// failure with the last error set.
int QN_WriteAll(int nFd, const void* pvData, size_t uSize);

// Replaces the file at cszPath with the uSize bytes given: they are written to a new file made
// from cszTempPattern (a path in the same folder ending in "XXXXXX"), which gets mode uMode, is
// synced and then renamed over cszPath, so that a reader sees the old or the new content, never
// a part of it. 0 on success, else the errno value of the failed step; the temporary file is
// removed on failure.
int QN_ReplaceFileContents(const char* cszPath, const char* cszTempPattern, const void* pvData, size_t uSize,
                           unsigned uMode);

// Closes a descriptor; a negative one is ignored.
void QN_CloseFd(int nFd);

// The runtime's text for an errno value, thread-safe; always terminated in buf[0..count).
const char* QN_ErrnoText(int nErrno, char* buf, size_t count);
