// Whether two paths name the same file or folder. Names are case-sensitive on this system: two
// names that differ only in letter case are two files, unless the file system itself folds
// case (then they have one identity and count as the same).
#pragma once

// True when the UTF-8 paths are the same text ('\\' read as '/', separators at the end
// ignored), or both exist and have the same device and inode (another spelling, a symbolic
// link on the way, a hard link). A missing path is the same only as its own text.
bool QN_IsSamePath(const char* cszA, const char* cszB);
