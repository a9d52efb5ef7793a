// Files and mapped views in the layer, shaped like the Windows calls they stand in for:
// a file is a descriptor opened close-on-exec, a mapping object keeps its own descriptor and
// the size fixed when it was created, and views are mapped at multiples of the allocation
// granularity and bounds-checked against that size. Every call sets the Win32 last error.
//
// Hazard: a mapped view of a file that another process truncates raises SIGBUS on access, and
// so does a view of a sparse region when the disk is full. Callers extend files with real
// allocation (QN_CreateFileMapping does) and refuse to work on files that others may cut.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qn_platform.h"

typedef int QN_FILE;

// Access rights of QN_CreateFileA / QN_CreateFileW.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u

// Dispositions.
#define CREATE_NEW 1u         // fails (80) when the file exists
#define CREATE_ALWAYS 2u      // creates or truncates; last error 183 when it existed
#define OPEN_EXISTING 3u      // fails (2) when the file is missing
#define OPEN_ALWAYS 4u        // opens or creates; last error 183 when it existed
#define TRUNCATE_EXISTING 5u  // truncates an existing file; needs GENERIC_WRITE

// Protection of a mapping object.
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define PAGE_WRITECOPY 0x08u

// Access of a view.
#define FILE_MAP_COPY 0x01u
#define FILE_MAP_WRITE 0x02u
#define FILE_MAP_READ 0x04u

#define ERROR_INVALID_ADDRESS 487
#define ERROR_MAPPED_ALIGNMENT 1132

struct QN_MappingObject;
typedef QN_MappingObject* QN_HMAPPING;

// Opens or creates a regular file. Folders and other non-regular files are refused (5).
// Returns INVALID_HANDLE_VALUE on failure.
QN_FILE QN_CreateFileA(const char* cszPath, uint32_t uAccess, uint32_t uDisposition);
// The same with a wide path (converted to UTF-8).
QN_FILE QN_CreateFileW(const wchar_t* cwszPath, uint32_t uAccess, uint32_t uDisposition);
// The file's current size. 1 or 0.
int QN_GetFileSizeEx(QN_FILE hFile, uint64_t* puRetSize);
// Closes the file; INVALID_HANDLE_VALUE is ignored.
void QN_CloseFile(QN_FILE hFile);

// Creates a mapping object over the file, which must be open for reading (and for writing with
// PAGE_READWRITE). uMaxSize 0 means the file's size; a larger size extends a writable file and
// is refused (8) for the other protections. A size of 0 fails with 1006. The object keeps its
// own descriptor, so the file may be closed afterwards. Returns nullptr on failure.
QN_HMAPPING QN_CreateFileMapping(QN_FILE hFile, uint32_t uProtect, uint64_t uMaxSize);
// Maps uSize bytes at uOffset (a multiple of the allocation granularity, else 1132); uSize 0
// maps up to the end of the mapping. The range must lie inside the mapping's size (else 5).
// FILE_MAP_READ gives a shared read-only view, FILE_MAP_WRITE a shared writable view (mapping
// created with PAGE_READWRITE), FILE_MAP_COPY a private copy-on-write view. nullptr on failure.
void* QN_MapViewOfFile(QN_HMAPPING hMapping, uint32_t uAccess, uint64_t uOffset, size_t uSize);
// Unmaps a view; uSize is the size that was mapped (the whole rest when 0 was asked for, see
// QN_GetMappingSize). 1 or 0.
int QN_UnmapViewOfFile(void* pvView, size_t uSize);
// Closes the mapping object; views mapped from it stay valid until they are unmapped.
void QN_CloseFileMapping(QN_HMAPPING hMapping);
// The size the mapping object was created with.
uint64_t QN_GetMappingSize(QN_HMAPPING hMapping);

// The alignment of view offsets: 65536 (or the page size when that is larger).
uint32_t QN_GetAllocationGranularity();
