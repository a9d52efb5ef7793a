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

// True when the name itself is a symbolic link (the link is not followed).
bool QN_IsSymbolicLink(const char* cszPath);

// What a name itself is: a link is not followed. A name that cannot be reached counts as
// missing.
enum QN_NameKind { QN_NAME_MISSING, QN_NAME_REGULAR, QN_NAME_FOLDER, QN_NAME_LINK, QN_NAME_OTHER };
// The kind of the name, and its permission bits (07777; 0 when missing) when puRetMode is
// given. The last error is left alone.
QN_NameKind QN_GetNameKind(const char* cszPath, uint32_t* puRetMode = nullptr);

// Copies the regular file cszFrom onto cszTo, creating or truncating it, and flushes the copy
// to the disk. A folder at cszTo fails (EISDIR); a symbolic link at cszTo is not followed and
// fails (ELOOP), so that nothing is ever written through one. A failed copy removes what it
// wrote at cszTo; callers copy to a name of their own and rename it into place. 1 or 0.
int QN_CopyFileReplace(const char* cszFrom, const char* cszTo);

// Copies cszFrom to a side file beside cszTo (its name + ".qncopy"), gives the copy the mode
// *puMode when puMode is given, flushes it and renames it over cszTo, which is replaced (a link
// there included, never what it points to). On failure the side file is removed, cszTo is as
// it was and the last error says why. 1 or 0.
int QN_CopyBesideAndRename(const char* cszFrom, const char* cszTo, const uint32_t* puMode);

// Removes the side file that a copy onto cszTo leaves when it is killed midway (cszTo's name +
// ".qncopy"), by name: a link there is removed, never what it points to. A missing side file
// counts as removed. 1 when nothing is left at that name, else 0 with the last error.
int QN_RemoveCopySideFile(const char* cszTo);

// When cszPath is a symbolic link, puts a regular file of its own in the link's place: a copy
// of the regular file the link points to (permission bits kept), or nothing at all when it
// points to no regular file (the link is then only removed). What the link points to is read,
// never written. A name that is no link is left alone. 1 or 0 with the last error; on failure
// the link stays as it was.
int QN_ReplaceLinkByCopy(const char* cszPath);

// Called by every opening for writing in this layer: a symbolic link at the name is replaced
// by a regular file of its own before the file is opened (QN_ReplaceLinkByCopy when the
// opening keeps the content; the link only removed when it truncates), so that nothing is
// ever written through a link. 1 or 0 with the last error.
int QN_DetachLinkForWriting(const char* cszPath, bool bKeepContent);

// Moves a file over an existing one (rename; MoveFileEx with REPLACE_EXISTING). A running
// program may be moved and replaced. 1 or 0 with the last error.
int QN_MoveFileReplaceA(const char* cszFrom, const char* cszTo);
// Copies a regular file, replacing cszTo unless bFailIfExists, with the source's permission
// bits. The same file under two names is refused (32), and so is a running program at cszTo
// (ETXTBSY, 32). The copy is written beside cszTo and renamed over it, so cszTo is either the
// old file or the whole copy (a symbolic link at cszTo is replaced, not written through), and a
// copy that fails midway (a full disk) leaves no partial file. 1 or 0 with the last error.
int QN_CopyFileA(const char* cszFrom, const char* cszTo, int bFailIfExists);
// True when a process runs the program at this path (not followed when it is a link): it
// cannot be written then. The last error is left alone.
bool QN_IsRunningProgramFile(const char* cszPath);
