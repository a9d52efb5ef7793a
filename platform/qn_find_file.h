// Folder listing with the results of the Windows find calls: "." and ".." first, then the
// other names in byte order. Entries are described with lstat, so a symbolic link is never
// reported as a folder and a walk never follows one out of its tree or round a loop.
#pragma once

#include <cstdint>

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u

#define ERROR_NO_MORE_FILES 18

struct WIN32_FIND_DATAA {
    uint32_t dwFileAttributes;  // DIRECTORY for a folder, REPARSE_POINT for a link, else NORMAL;
                                // READONLY without the owner's write permission
    uint64_t ullFileSize;
    char cFileName[260];
};

struct QN_FIND__;
typedef QN_FIND__* QN_HFIND;

// Lists the folder of cszPattern ("<folder>/*" or "<folder>\\*"; "*.*" matches every name too,
// other last parts are matched with '*' and '?'). The first entry, or nullptr with the last
// error 3 (no such folder), 5, 267 (not a folder) or 2 (nothing matches).
QN_HFIND QN_FindFirstFileA(const char* cszPattern, WIN32_FIND_DATAA* pFindData);
// The next entry: 1, or 0 with the last error 18 at the end (or the error of the hook below).
// Names that vanished since the listing was read are passed over; names of 260 bytes or more
// too.
int QN_FindNextFileA(QN_HFIND hFind, WIN32_FIND_DATAA* pFindData);
int QN_FindClose(QN_HFIND hFind);
