// Hooks that tests use to watch and steer the repair engine's file layer. Compiled in always;
// each costs a load or a pointer test on its path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qn_com.h"

struct IQN_PackageRepair;

namespace qn::testing {

// What one of the two object pools of the file layer (mappings, views) has done.
struct FileLayerPoolStats {
    size_t uParked;         // objects parked now
    uint64_t ullCreated;    // objects the pool made because none was parked
    uint64_t ullDestroyed;  // objects destroyed because the pool was full (or drained)
};
FileLayerPoolStats GetFileMappingPoolStats();
FileLayerPoolStats GetFileBufferPoolStats();
// Destroys every parked mapping and view object, so that a test starts from empty pools.
void DrainFileLayerPools();
// While set, taking a mapping or view object fails as if memory were exhausted.
void SetFileLayerObjectShortage(bool bMappings, bool bViews);

// Called with the requested and the mapped size of every view that is mapped (nullptr: none).
using FileViewMappedHook = void (*)(uint64_t ullAlignedOffset, uint32_t uSize, uint32_t uAlignedSize);
void SetFileViewMappedHook(FileViewMappedHook pfnHook);

// Delay between the reader's attempts to open a data file; 0 restores 500 ms.
void SetDataFileOpenRetryDelay(uint32_t uMilliseconds);
// Largest piece the writer fills with the empty byte at once; 0 restores 16 MiB. The fill
// buffer keeps its 16 MiB.
void SetEmptyFillPieceSize(uint32_t uBytes);
// How many fill buffers the writers have allocated so far.
uint64_t GetEmptyFillBufferAllocations();

// Longest run the block downloader joins into one request; 0 restores 64 MiB.
void SetBlockDownloadRunLimit(uint32_t uBytes);
// How long a ranged request of the block downloader may go without a new byte before its run
// is given up; 0 restores the whole-file download's limit.
void SetBlockDownloadNoProgressLimit(uint32_t uMilliseconds);

// Replaces the package repairer's factory that the coordinator calls (nullptr: the real one).
using PackageRepairFactory = HRESULT (*)(const wchar_t* pcszPackageDirectory, const wchar_t* pcszPackageRepairURL,
                                         IQN_PackageRepair** ppRetPackageRepair);
void SetPackageRepairFactory(PackageRepairFactory pfnFactory);

// Threads of package repairers (work and download threads) running now.
int GetLivePackageRepairThreadCount();
// Called by the package repairer at its steps: "check-block" and "check-region" before record
// uIndex is checked, "write" before downloaded block uIndex is written, "queue-full" each time
// the download thread waits for the writer. nullptr: none.
using PackageRepairStepHook = void (*)(const char* cszStep, uint32_t uIndex);
void SetPackageRepairStepHook(PackageRepairStepHook pfnHook);
// Bytes of downloaded blocks that may wait for the writer; 0 restores 32 MiB.
void SetPackageDownloadQueueLimit(uint64_t ullBytes);
// The package check sees at most this much free space on the package folder's file system;
// UINT64_MAX (the default) restores the real free space.
void SetPackageFreeSpaceLimit(uint64_t ullBytes);

}  // namespace qn::testing
