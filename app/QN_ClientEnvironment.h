// The client's environment: removal of folder trees and of the client's leftover files.
#pragma once

#include <cstdint>
#include <string>

// True for "/", "\", "//", "X:", "X:\" and "X:/": the root of a file system.
bool QN_IsFileSystemRoot(const char* cszPath);
// True when the path is the folder cszWithin or lies below it. Both are compared as the file
// system resolves them (links followed, exact letter case), except the path's own last part,
// which is not followed: a link named there is judged by where the link itself lies. A path
// with a "." or ".." part is never within.
bool QN_IsPathWithin(const char* cszPath, const char* cszWithin);

// Removes a folder tree: files are made writable and deleted, sub-folders removed the same
// way, then the folder itself. Folders whose names begin with '.' are left, and with them
// their parents; symbolic links are removed, never followed, and a link given as the folder
// itself is removed as a link (what it points to is left as it is). An empty path, a file-system root
// and a path outside cszWithin (the client or temporary folder the caller names) are refused
// with a failure line. A folder that does not exist counts as removed. 1 or 0.
int _RemoveDirectory(const char* cszPath, const char* cszWithin);

// Whether the game platform is still downloading this client: looked at only when the tool's
// start-up path contains "Qel_FN"; *pnFlag is 1 when the platform's client is installed and its
// status file does not say 100 % cached. 1, or 0 (a null flag, no start-up path).
int QN_IsFNInstallingQel(int* pnFlag);
// The platform's client folder from the registry ("path" of its application key, else
// "package_dir" of its options plus the application id), whether it exists, and whether its
// status file says "CachePercentage" 100.
void _IsFNAppInstalledAndComplete(unsigned char* pbInstalled, unsigned char* pbComplete);

// Whether the client in the bin folder is an unfinished micro-client: "Drennit.exe" in that
// folder, started by its full path with "--check" and the bin folder as its working folder,
// exits with 1. No program, or one that cannot run, gives 0. The process's own current folder
// is never changed. 1, or 0 for a null flag or a bin folder that is not a folder.
int QN_GetClientMPakFlag(const char* cszClientBinPath, int* pnFlag);
// Runs the check program and reads its exit code; a program that runs longer than the time
// limit (120 s) is ended and gives 0. 1 or 0.
int _RunCheckProcess(const char* cszProgram, const char* cszWorkingFolder, uint32_t* puExitCode);

// Removes the leftovers below the client's bin folder: "QelClient.memory" and the folders
// "update" and "update_extend". 1, or 0 for a null or empty argument.
int QN_RemoveClientFiles(const char* cszClientBinPath);
