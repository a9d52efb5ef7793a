// The client editions and how a client root tells which one it holds.
#pragma once

#include <cstddef>

// Index of an edition in the table; Invalid for a folder that is no client root.
struct QN_CLIENT_VERSION_TYPE {
    enum : int { Invalid = -1, ZhcnV1 = 0, Zhcn = 1, ZhcnExp = 2, ZhcnHd = 3, Count = 4 };
};

struct QN_CLIENT_VERSION_ROW {
    const char* cszBinSubFolder;  // the folder below "bin" that holds the edition's files
    const char* cszVersionKey;    // the key handed to the repair engine, also the registry sub-key
    const char* cszUrlPart;       // the edition's folder on the repair server
    const char* cszVersionName;   // the name shown to the user
};

// The four editions, indexed by QN_CLIENT_VERSION_TYPE.
extern const QN_CLIENT_VERSION_ROW g_aClientVersionTable[QN_CLIENT_VERSION_TYPE::Count];

// The edition installed under a client root (with or without a trailing separator): the first
// edition, in table order, whose folder root/bin/<sub-folder>/ exists; Invalid when the root or
// its "bin" folder does not exist, or holds none of them.
int QN_GetClientVersionType(const char* cszClientPath);

// Reads the edition's "installPath" under HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane\Qel\<key> into
// a buffer of 260 bytes. 1, or 0 when the key or a text value is missing (not logged).
int QN_GetClientPathInRegister(int nIndex, char* pszPath);
