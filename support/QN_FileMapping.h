// Read-only access to a whole file (below 4 GiB) through one mapped view at a time. The view
// covers at most 512 MiB from a multiple of the allocation granularity and moves on demand.
#pragma once

#include <cstdint>

#include "qn_file_mapping.h"

class QN_FileMapping {
public:
    QN_FileMapping();
    // Unmaps and closes whatever is still open.
    ~QN_FileMapping();
    QN_FileMapping(const QN_FileMapping&) = delete;
    QN_FileMapping& operator=(const QN_FileMapping&) = delete;

    // Opens the file (existing files only) and maps its first view. The second argument is
    // ignored. An empty file cannot be mapped and fails. 1 or 0.
    int Init(const char* cszFileName, void* pvReserved);
    // Unmaps the view, closes the mapping and the file; each only if present. May be called
    // any number of times.
    void UnInit();
    // The address of the bytes [uOffset, uOffset + uSize) of the file, remapping the view when
    // the range is outside it. A range that does not fit in one view fails. 1 or 0.
    int GetData(uint32_t uOffset, uint32_t uSize, const uint8_t** ppvRetData);

    uint32_t GetFileSize() const { return m_uFileSize; }
    // The largest view that is tried: 512 MiB (or the test hook's size).
    static uint32_t GetWindowSize();

private:
    int _ReMappingData(uint32_t uOffset);

    QN_FILE m_hFile;
    QN_HMAPPING m_hMapping;
    uint32_t m_uFileSize;
    uint32_t m_uGranularity;
    uint32_t m_uOffset;
    uint32_t m_uMappingSize;
    const uint8_t* m_pbyData;
    uint32_t m_uLastMapError;  // the last error of the last view that _ReMappingData tried
};
