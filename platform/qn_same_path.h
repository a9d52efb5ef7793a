// Whether two paths name the same file or folder. Names are case-sensitive on this system: two
// names that differ only in letter case are two files, unless the file system itself folds
// case (then they have one identity and count as the same).
#pragma once

// True when the UTF-8 paths are the same text ('\\' read as '/', separators at the end
// ignored), or both exist and have the same device and inode (another spelling, a symbolic
// link on the way, a hard link). A missing path is the same only as its own text.
bool QN_IsSamePath(const char* cszA, const char* cszB);

// True when the folder cszFolder is one of the folders on the way to cszPath (its own folder or
// one above it) by identity: one of them has cszFolder's device and inode. Another spelling of
// the folder, a symbolic link to it or a bind mount of it all count; the file at cszPath itself
// does not. False when cszFolder is no existing folder.
bool QN_IsInFolderByIdentity(const char* cszPath, const char* cszFolder);
