// File handles in place of CreateFileW and its kin: open with Windows-style access, share mode
// and disposition, positioned reads and writes that loop over short transfers, size, space
// reservation, flushing, file times, delete and replace-rename, and the folders the download
// library needs (current folder, user application-data folder).
//
// Share modes are emulated with open file description locks on the whole file, taken without
// waiting when the file is opened: a handle with write access, or one that does not share
// reading, takes a write lock; a read-only handle that does not share writing takes a read
// lock; a read-only handle that shares writing takes none. A conflict fails the open with
// ERROR_SHARING_VIOLATION (32). These locks conflict between handles of one process too.
//
// Every call sets the thread-local last error (Win32 numbering) on failure.
#pragma once

#include <cstdint>
#include <string>

#include "qn_platform.h"

enum QN_FileAccess : uint32_t {
    QN_FILE_ACCESS_READ = 1,
    QN_FILE_ACCESS_WRITE = 2,
};

enum QN_FileShare : uint32_t {
    QN_FILE_SHARE_NONE = 0,
    QN_FILE_SHARE_READ = 1,
    QN_FILE_SHARE_WRITE = 2,
};

enum QN_FileDisposition {
    QN_FILE_OPEN_EXISTING = 0,  // fails when the file is missing
    QN_FILE_CREATE_ALWAYS = 1,  // creates, or truncates an existing file once it is locked
    QN_FILE_OPEN_ALWAYS = 2,    // opens, creating it when missing; reports whether it existed
};

enum QN_FileOpenOption : uint32_t {
    // The last component of the path must be a regular file itself: a symbolic link there is
    // not followed and anything but a regular file (folder, pipe, device) is not opened; both
    // fail with ERROR_ACCESS_DENIED before anything is read or written.
    QN_FILE_OPTION_REGULAR_NO_LINK = 1,
};

// Opens path. Returns a descriptor (close-on-exec) or -1 with the last error set. With
// QN_FILE_OPEN_ALWAYS, *pbRetExisted tells whether the file was there before (Windows reports
// that as last error 183). uOptions: QN_FileOpenOption bits.
int QN_FileOpen(const char* cszPath, uint32_t uAccess, uint32_t uShare, QN_FileDisposition eDisposition,
                bool* pbRetExisted = nullptr, uint32_t uOptions = 0);
void QN_FileClose(int nFd);

// Reads up to uLength bytes at ullOffset, looping over short reads and EINTR; stops early only
// at the end of the file. 1 on success (*puRetGot = bytes read), 0 on failure.
int QN_FileReadAt(int nFd, uint64_t ullOffset, void* pvBuffer, uint32_t uLength, uint32_t* puRetGot);
// Writes uLength bytes at ullOffset, looping over short writes and EINTR. 1 when everything was
// written; 0 on failure with *puRetWritten the bytes that did reach the file.
int QN_FileWriteAt(int nFd, uint64_t ullOffset, const void* pvBuffer, uint32_t uLength, uint32_t* puRetWritten);

int QN_FileGetSize(int nFd, uint64_t* pullRetSize);
// Sets the end of file (grows sparse or cuts).
int QN_FileSetSize(int nFd, uint64_t ullSize);
// Reserves the space of [0, ullSize) on the disk. A file system that cannot reserve space counts
// as success; a full disk fails with ERROR_DISK_FULL.
int QN_FileReserve(int nFd, uint64_t ullSize);
// Flushes the file's data to the disk.
int QN_FileFlush(int nFd);
// Sets the last-write time (100 ns units since 1601, UTC); the access time is left alone.
int QN_FileSetLastWriteTime(int nFd, uint64_t ullFileTime);
int QN_FileGetLastWriteTime(int nFd, uint64_t* pullRetFileTime);
// The file's creation time (100 ns units since 1601). Where the file system keeps no creation
// time, a stable stamp made from the file's device and inode numbers stands in for it, so that
// it stays the same for the file and differs for a copy.
int QN_FileGetCreationTime(int nFd, uint64_t* pullRetFileTime);

int QN_DeleteFile(const char* cszPath);
// Renames cszFrom onto cszTo, replacing an existing file atomically.
int QN_MoveFileReplace(const char* cszFrom, const char* cszTo);
// Creates one folder level. 0 with last error 183 when the name exists (file or folder),
// 5 for access denied, 3 for a missing or non-folder parent.
int QN_CreateDirectoryOne(const char* cszPath);

// The current folder, without a trailing separator; empty on failure.
std::string QN_GetCurrentDirectory();
// The user's application-data folder, created when missing; no trailing separator. Under a
// platform root it is the root's (QN_GetSpecialFolderPath with CSIDL_APPDATA); without one
// $XDG_CONFIG_HOME, else $HOME/.config, else the home folder of the user's account + "/.config".
// Tests replace it through qn::testing::SetAppDataFolder. Empty when it cannot be found.
std::string QN_GetAppDataFolder();
