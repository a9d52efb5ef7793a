// The client's environment: removal of folder trees and of the client's leftover files.
#pragma once

#include <string>

// True for "/", "\", "//", "X:", "X:\" and "X:/": the root of a file system.
bool QN_IsFileSystemRoot(const char* cszPath);
// True when the path is the folder cszWithin or lies below it, compared part by part after
// both separators are read alike; a path with a ".." part is never within.
bool QN_IsPathWithin(const char* cszPath, const char* cszWithin);

// Removes a folder tree: files are made writable and deleted, sub-folders removed the same
// way, then the folder itself. Folders whose names begin with '.' are left, and with them
// their parents; symbolic links are removed, never followed. An empty path, a file-system root
// and a path outside cszWithin (the client or temporary folder the caller names) are refused
// with a failure line. A folder that does not exist counts as removed. 1 or 0.
int _RemoveDirectory(const char* cszPath, const char* cszWithin);

// Removes the leftovers below the client's bin folder: "QelClient.memory" and the folders
// "update" and "update_extend". 1, or 0 for a null or empty argument.
int QN_RemoveClientFiles(const char* cszClientBinPath);
