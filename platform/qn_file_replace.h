// What replacing one file by another needs beyond rename: an existence test, the permission
// bits of a file, and a whole-file copy, all on UTF-8 paths with '/' (callers convert '\\').
// Every call sets the thread-local last error (and its errno) on failure.
#pragma once

#include <cstdint>

// True when the name exists and can be reached (a file, a folder, or a link to one).
bool QN_PathExists(const char* cszPath);

// The permission bits (07777) of a regular file. 0 when it is missing or not a regular file
// (the last error then tells which: 2 missing, 1006 not a regular file).
int QN_GetRegularFileMode(const char* cszPath, uint32_t* puRetMode);
// Sets the permission bits. 1 or 0.
int QN_SetFileMode(const char* cszPath, uint32_t uMode);

// Copies the regular file cszFrom onto cszTo, creating or truncating it, and flushes the copy
// to the disk. A folder at cszTo fails (EISDIR). A failed copy may leave a partial cszTo;
// callers copy to a name of their own and rename it into place. 1 or 0.
int QN_CopyFileReplace(const char* cszFrom, const char* cszTo);

// Moves a file over an existing one (rename; MoveFileEx with REPLACE_EXISTING). A running
// program may be moved and replaced. 1 or 0 with the last error.
int QN_MoveFileReplaceA(const char* cszFrom, const char* cszTo);
// Copies a regular file, replacing cszTo unless bFailIfExists, with the source's permission
// bits. The same file under two names is refused (32), and so is a running program at cszTo
// (ETXTBSY, 32). 1 or 0 with the last error.
int QN_CopyFileA(const char* cszFrom, const char* cszTo, int bFailIfExists);
