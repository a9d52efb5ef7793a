// The platform root and the special folders under it. When a platform root is set (the
// environment variable QN_PLATFORM_ROOT, or a test hook), every special folder, the registry
// hives and the Windows folders lie under it in a Windows-like layout; without one they follow
// the XDG conventions and /var/lib/qelrepair.
#pragma once

#include <cstdint>
#include <string>

// Special folder ids.
#define CSIDL_STARTMENU 0x000b
#define CSIDL_DESKTOPDIRECTORY 0x0010
#define CSIDL_COMMON_STARTMENU 0x0016
#define CSIDL_COMMON_DESKTOPDIRECTORY 0x0019
#define CSIDL_APPDATA 0x001a
#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_FLAG_CREATE 0x8000

// The platform root without a trailing separator, or "" when none is set.
std::string QN_GetPlatformRoot();

// The folder of a special folder id, without a trailing separator. The lookup gives a path
// even when the folder does not exist; with bCreate the folder and its parents are made.
// 1 or 0 (an unknown id: last error 87; a folder that could not be made: the error of mkdir).
int QN_GetSpecialFolderPath(int nCsidl, std::string* pRetPath, bool bCreate);
// The same into a buffer of 260 bytes (or wide characters), as the shell call does.
int QN_SHGetSpecialFolderPathA(char* szPath, int nCsidl, int bCreate);
int QN_SHGetSpecialFolderPathW(wchar_t* wszPath, int nCsidl, int bCreate);

// The Windows and system folders: the length written, or the size needed (with the
// terminator) when uSize is too small.
uint32_t QN_GetWindowsDirectoryW(wchar_t* wszBuf, uint32_t uSize);
uint32_t QN_GetSystemDirectoryW(wchar_t* wszBuf, uint32_t uSize);

// The folder that holds the registry hive files of a hive name ("HKEY_LOCAL_MACHINE").
std::string QN_GetRegistryFolder(const char* cszHiveName);
