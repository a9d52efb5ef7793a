// The outside-package file layer: a file manager rooted at a folder opens whole files as
// memory mappings, and a mapping hands out views of byte ranges as buffers. The package data
// files are written through it.
#pragma once

#include <cstdint>

#include "qn_com.h"

// Paths of this layer are wide texts of 260 characters: 259 and the terminator.
#define QN_MAX_PATH 260

// Access modes of a mapping.
enum QN_FILE_MAPPING_MODE {
    QN_FILE_MAPPING_MODE_COPY_ON_WRITE = 0,  // file read, writes stay in the view
    QN_FILE_MAPPING_MODE_READ_WRITE = 1,     // file read and written, writes reach the file
    QN_FILE_MAPPING_MODE_READ_ONLY = 2,
};

struct QN_FILE_INFO {
    uint64_t ullFileSize;       // size when the mapping was opened
    uint64_t ullCreationTime;   // seconds since 1970-01-01 00:00 UTC; 0 when not recorded
    uint64_t ullLastWriteTime;  // seconds since 1970-01-01 00:00 UTC
    uint32_t uMode;             // the mapping's mode
    uint32_t uReserved;         // 0
};
static_assert(sizeof(QN_FILE_INFO) == 32, "QN_FILE_INFO is a 32-byte record");

// A view of a byte range. Its last Release unmaps it.
struct IQN_Buffer : IUnknown {
    virtual uint32_t GetSize() = 0;
    virtual uint8_t* GetData() = 0;

protected:
    ~IQN_Buffer() = default;
};

struct IQN_FileBuffer : IQN_Buffer {
protected:
    ~IQN_FileBuffer() = default;
};

// A mapping of a whole file. Every live view holds a reference to its mapping, so the file
// stays open until the last view and the holder's reference are gone.
struct IQN_FileMapping : IUnknown {
    // A view of [ullOffset, ullOffset + uSize); uSize 0 means up to the end of the file.
    virtual HRESULT MapView(uint64_t ullOffset, uint32_t uSize, IQN_Buffer** ppRetBuffer) = 0;
    virtual HRESULT GetFileInfo(QN_FILE_INFO* pRetFileInfo) = 0;
    virtual HRESULT Init(const wchar_t* cszFilePath, int nMode) = 0;
    virtual HRESULT Uninit() = 0;

protected:
    ~IQN_FileMapping() = default;
};

struct IQN_FileManager : IUnknown {
    // Opens an existing file, a relative path taken from the manager's root, as a mapping in
    // mode nMode; *ppRetFileMapping receives it with one reference.
    virtual HRESULT CreateFileMappingW(const wchar_t* cszFilePath, int nMode,
                                       IQN_FileMapping** ppRetFileMapping) = 0;
    // *pbRetExist = 1 when anything has that name (the path is used as it is), else 0.
    // 1, or 0 on a null argument.
    virtual int IsFileExists(const wchar_t* cszFilePath, int* pbRetExist) = 0;

protected:
    ~IQN_FileManager() = default;
};

// A manager with one reference for the caller. A null root leaves the root empty, so that
// relative paths are taken from the working folder; a root that does not fit fails.
HRESULT QN_CreateOutsidePackageFileManager(const wchar_t* cszRootPath, IQN_FileManager** ppRetManager);

// Copies a wide text into a text of QN_MAX_PATH characters, filling the rest with zeros. A
// source of 260 characters or more is cut to 259, logged, and gives 0; else 1.
int QN_StrCopy(wchar_t* pcszDest, const wchar_t* pcszSource);
