// File helpers of the layer for the runtime's stdio streams and for plain descriptors: opening
// by wide path, 64-bit seeking, changing a length with the space allocated, attributes, file
// times, existence and the working folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// A wide path as a native path: UTF-8, with every '\\' turned into '/'.
std::string QN_NativePathFromWide(const wchar_t* cwszPath);
// A narrow path as a native path: every '\\' turned into '/' (null reads as "").
std::string QN_NativePath(const char* cszPath);

// Opens a stream as fopen does, by wide or narrow path ('\\' is read as '/'), close-on-exec.
// A folder is refused (errno EISDIR). nullptr on failure, with errno and the last error set.
FILE* QN_wfopen(const wchar_t* cwszPath, const char* cszMode);
FILE* QN_fopen(const char* cszPath, const char* cszMode);

// 64-bit seek and tell on a stream: 0 or -1, and the position or -1. A seek drops what the
// stream has buffered, so that the next read gets the file's current bytes.
int QN_fseeki64(FILE* fp, int64_t llOffset, int nOrigin);
int64_t QN_ftelli64(FILE* fp);
// The descriptor under a stream, or -1.
int QN_fileno(FILE* fp);

// Sets the length of an open file. A shorter length cuts the file; a longer one allocates the
// added bytes (they read as zeros), so that a later write through a shared mapping never hits
// a hole on a full disk. 0, or -1 with errno and the last error set (ENOSPC -> 112).
int QN_chsize(int nFd, int64_t llLength);

// Allocates the space of the holes of an open file, without changing its length, content or
// times. 1, or 0 with the last error set (112 on a full disk).
int QN_AllocateFileSpace(int nFd);

// Opens an existing file (never a folder) for reading, or for reading and writing, with
// O_CLOEXEC. For writing, a symbolic link at the name is first replaced by a copy of what it
// points to (QN_DetachLinkForWriting), which is never written. The descriptor, or -1 with the
// last error set. Close it with QN_CloseFd (qn_fd.h).
int QN_OpenExistingFileW(const wchar_t* cwszPath, bool bWrite);

// Clears "read-only": adds the owner's write permission when it is missing. Hidden and system
// attributes have no equivalent here. 1, or 0 with the last error set.
int QN_SetFileAttributesNormalW(const wchar_t* cwszPath);

// File times as 100 ns units since 1601 (UTC). A null pointer leaves that time alone (the
// creation time cannot be set here and is ignored). 1, or 0 with the last error set.
int QN_SetFileTime(int nFd, const uint64_t* pullCreation, const uint64_t* pullLastAccess,
                   const uint64_t* pullLastWrite);
// Reads the times of an open file; the creation time is the birth time where the file system
// records it, else 0. 1, or 0 with the last error set.
int QN_GetFileTime(int nFd, uint64_t* pullRetCreation, uint64_t* pullRetLastAccess,
                   uint64_t* pullRetLastWrite);

// True when anything (file, folder, link, ...) has that name. The path is used as it is.
bool QN_PathExistsW(const wchar_t* cwszPath);
// The same for a narrow path, backslashes read as '/', following symbolic links as the shell's
// existence test does (a link to nothing does not exist).
bool QN_PathFileExistsA(const char* cszPath);

// The working folder as wide text, without a trailing separator (except for "/"). 1, or 0
// when it cannot be read or does not fit into count characters with the terminator.
int QN_GetCurrentDirectoryW(wchar_t* pwszBuffer, size_t count);
