// Folder listing and removal for the tree deletions of the application. Entries are looked at
// with lstat: a symbolic link is never a folder, so a walk never leaves its tree through one.
#pragma once

#include <string>
#include <vector>

struct QN_FOLDER_ENTRY {
    std::string strName;
    bool bFolder;
};

// The entries of a folder without "." and "..", in the order the system gives. 1, or 0 with
// the last error (3 when there is no such folder).
int QN_ListFolder(const char* cszFolder, std::vector<QN_FOLDER_ENTRY>* pRetEntries);
// Removes an empty folder; a file; gives a regular file its owner's write permission. 1 or 0
// with the last error. Backslashes are read as '/'.
int QN_RemoveDirectoryA(const char* cszPath);
int QN_DeleteFileA(const char* cszPath);
int QN_SetFileAttributesNormalA(const char* cszPath);
