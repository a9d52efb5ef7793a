// Folder and file removal for the tree deletions of the application (the folders are listed
// with the find calls of qn_find_file.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Removes an empty folder; a file; gives a regular file its owner's write permission. 1 or 0
// with the last error. Backslashes are read as '/'.
int QN_RemoveDirectoryA(const char* cszPath);
int QN_DeleteFileA(const char* cszPath);
int QN_SetFileAttributesNormalA(const char* cszPath);
// True when the name itself is a symbolic link (not followed). Backslashes are read as '/'.
bool QN_IsSymbolicLinkA(const char* cszPath);

// True when the path is the folder cszWithin or lies below it. Both are compared as the file
// system resolves them (the longest existing leading part through realpath, links followed,
// exact letter case), except the path's own last part, which is not followed: a link named
// there is judged by where the link itself lies. A path with a "." or ".." part, "/" as the
// folder, and an absolute path against a relative folder (or the other way round) are never
// within. '/' and '\\' both separate.
bool QN_IsPathInFolder(const char* cszPath, const char* cszWithin);

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

// An entry that QN_MakeFolderWithoutLinks could not deal with, and the last error it met.
struct QN_FOLDER_ENTRY_LEFT {
    std::string strPath;
    uint32_t uError = 0;
};

// Makes the path a real folder of this run and keeps what an earlier run left in it, links
// apart: a symbolic link at the name is removed (not followed) and a folder made there; inside
// an existing folder every symbolic link, at any depth, is removed and never entered, and every
// other entry stays as it is. A link that cannot be removed, or a folder inside that cannot be
// listed, is added to *pRetLeft (may be null) and does not fail the call. A regular file or
// anything else that is not a folder at the name is kept and the call fails. 1 or 0 with the
// last error.
int QN_MakeFolderWithoutLinks(const char* cszPath, std::vector<QN_FOLDER_ENTRY_LEFT>* pRetLeft);
