// CRC-32 (zlib's, reflected IEEE 802.3, initial value 0) over buffers, whole files and the
// 76-byte header of the ordinary-file repair information.
#pragma once

#include <cstdint>
#include <cstdio>

#include <zlib.h>

// Continues a running CRC-32 over any number of bytes (zlib's crc32 takes at most 4 GiB - 1
// bytes per call). Start from 0; the result after the last piece is the CRC of the whole. A
// null buffer leaves the CRC unchanged.
uint32_t QN_CRC32Update(uint32_t uCRC, const void* pvData, uint64_t uSize);

// CRC-32 of everything from the stream's current position to its end, read piece by piece.
// *puRetSize (when given) receives the number of bytes read. 1, or 0 on a read error.
int QN_CRC32OfStream(std::FILE* pFile, uint32_t* puRetCRC, uint64_t* puRetSize);

// CRC-32 of the whole named file, read window by window through QN_FileMapping. An empty file
// has CRC 0. Files of 4 GiB or more are refused. 1 or 0.
int QN_GetFileCRC(const char* cszFileName, uint32_t* puRetCRC);

// The size of the header of the ordinary-file repair information, and where its CRC field is.
inline constexpr uint32_t QN_REPAIR_FILE_HEADER_SIZE = 76;
inline constexpr uint32_t QN_REPAIR_FILE_HEADER_CRC_OFFSET = 8;

// CRC-32 of the 76-byte header with its CRC field (the u32 at byte 8) taken as zero. The
// caller's header is not changed. 1 or 0.
int QN_GetRepairFileHeaderCRC(const void* header, uint32_t* puRetCRC);
