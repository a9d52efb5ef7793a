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
// True when the name itself is a symbolic link (not followed). Backslashes are read as '/'.
bool QN_IsSymbolicLinkA(const char* cszPath);

// Removes what is at the path: a file or a symbolic link is unlinked (a link is never
// followed), a folder is emptied the same way, entry by entry, and then removed. A missing
// path counts as removed. 1 when nothing is left, else 0 with the last error of the first
// failure (the removal goes on past it).
int QN_RemoveTree(const char* cszPath);

// Makes the path a real, empty folder of this run: a symbolic link at the name is removed (not
// followed), the contents of an existing folder are removed as QN_RemoveTree does, and a
// missing folder is made (its parent must exist). A regular file or anything else that is not
// a folder at the name is kept and the call fails. 1 or 0 with the last error.
int QN_MakeEmptyFolder(const char* cszPath);
