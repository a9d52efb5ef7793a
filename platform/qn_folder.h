// Folder and file removal for the tree deletions of the application (the folders are listed
// with the find calls of qn_find_file.h).
#pragma once

#include <string>
#include <vector>

// Removes an empty folder; a file; gives a regular file its owner's write permission. 1 or 0
// with the last error. Backslashes are read as '/'.
int QN_RemoveDirectoryA(const char* cszPath);
int QN_DeleteFileA(const char* cszPath);
int QN_SetFileAttributesNormalA(const char* cszPath);
