#include "QN_CRC.h"

#include <algorithm>
#include <cstring>

#include "QN_FileMapping.h"
#include "QN_Log.h"
#include "qn_file_mapping.h"

uint32_t QN_CRC32Update(uint32_t uCRC, const void* pvData, uint64_t uSize) {
    const Bytef* pb = (const Bytef*)pvData;
    if (!pb) return uCRC;
    while (uSize > 0) {
        // Whole 1 GiB pieces keep every call well inside zlib's uInt length.
        uInt uPiece = (uInt)std::min<uint64_t>(uSize, 0x40000000u);
        uCRC = (uint32_t)crc32((uLong)uCRC, pb, uPiece);
        pb += uPiece;
        uSize -= uPiece;
    }
    return uCRC;
}

int QN_CRC32OfStream(std::FILE* pFile, uint32_t* puRetCRC, uint64_t* puRetSize) {
    unsigned char abyBuffer[64 * 1024];
    uint32_t uCRC = 0;
    uint64_t uTotal = 0;
    if (!pFile || !puRetCRC) return 0;
    for (;;) {
        size_t uRead = std::fread(abyBuffer, 1, sizeof(abyBuffer), pFile);
        uCRC = QN_CRC32Update(uCRC, abyBuffer, uRead);
        uTotal += uRead;
        if (uRead < sizeof(abyBuffer)) break;
    }
    if (std::ferror(pFile)) return 0;
    *puRetCRC = uCRC;
    if (puRetSize) *puRetSize = uTotal;
    return 1;
}

namespace {

// An empty file has nothing to map, and its CRC is that of nothing: 0. The test is quiet, so
// that every other case keeps the failure lines of the mapping.
bool IsEmptyRegularFile(const char* cszFileName) {
    uint64_t uSize = 1;
    QN_FILE hFile = QN_CreateFileA(cszFileName, GENERIC_READ, OPEN_EXISTING);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    int nRetCode = QN_GetFileSizeEx(hFile, &uSize);
    QN_CloseFile(hFile);
    return nRetCode && uSize == 0;
}

}  // namespace

int QN_GetFileCRC(const char* cszFileName, uint32_t* puRetCRC) {
    int nResult = 0;
    int nRetCode = 0;
    QN_FileMapping FileMapping;
    uint32_t uCRC = 0;
    uint32_t uFileSize = 0;
    uint32_t uWindow = 0;
    uint32_t uOffset = 0;
    const uint8_t* pbyData = nullptr;

    QNLOG_PROCESS_ERROR(cszFileName);
    QNLOG_PROCESS_ERROR(cszFileName[0]);
    QNLOG_PROCESS_ERROR(puRetCRC);

    if (IsEmptyRegularFile(cszFileName)) {
        *puRetCRC = 0;
        nResult = 1;
        goto Exit0;
    }

    nRetCode = FileMapping.Init(cszFileName, nullptr);
    QNLOG_PROCESS_ERROR(nRetCode && "FileMapping.Init()");

    // Window by window, so that a file larger than one view is still read whole. Each window
    // starts at a multiple of the view size, which is a multiple of the granularity.
    uFileSize = FileMapping.GetFileSize();
    uWindow = FileMapping.GetWindowSize();
    while (uOffset < uFileSize) {
        uint32_t uSize = std::min(uFileSize - uOffset, uWindow);
        nRetCode = FileMapping.GetData(uOffset, uSize, &pbyData);
        QNLOG_PROCESS_ERROR(nRetCode && "FileMapping.GetData()");
        uCRC = QN_CRC32Update(uCRC, pbyData, uSize);
        uOffset += uSize;
    }

    *puRetCRC = uCRC;
    nResult = 1;
Exit0:
    FileMapping.UnInit();
    return nResult;
}

int QN_GetRepairFileHeaderCRC(const void* header, uint32_t* puRetCRC) {
    int nResult = 0;
    uint32_t auHeader[QN_REPAIR_FILE_HEADER_SIZE / 4];

    QNLOG_PROCESS_ERROR(puRetCRC);
    QNLOG_PROCESS_ERROR(header);

    std::memcpy(auHeader, header, sizeof(auHeader));
    auHeader[QN_REPAIR_FILE_HEADER_CRC_OFFSET / 4] = 0;
    *puRetCRC = QN_CRC32Update(0, auHeader, sizeof(auHeader));
    nResult = 1;
Exit0:
    return nResult;
}
