// The ordinary-file repair information "qel_repair.info": its 76-byte header, the file-check
// table (every ordinary file with its CRC-32), the folder table (the server folders holding the
// good copies) and the file-repair table (the folder of each file). The repairer fetches each
// piece by byte range; these functions decode and check them. Every field is a little-endian
// u32 read by offset.
//
// A failed check writes the QNLOG_PROCESS_ERROR line with the condition's text under the name of
// the repairer's function that reads the piece (given by the caller), and returns 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

inline constexpr uint32_t QN_REPAIR_INFO_FILE_TYPE = 0x46495251;  // "QRIF" in file order
inline constexpr uint32_t QN_REPAIR_INFO_FILE_VERSION = 0;
inline constexpr uint32_t QN_REPAIR_INFO_HEADER_SIZE = 76;
// A name field holds at most 259 bytes, its terminating zero included.
inline constexpr uint32_t QN_REPAIR_INFO_MAX_NAME_SIZE = 260;

// The header as fetched (byRaw) and its fields decoded from it.
struct QN_REPAIR_INFO_FILE_HEADER {
    uint8_t byRaw[QN_REPAIR_INFO_HEADER_SIZE];
    uint32_t uType;
    uint32_t uVersion;
    uint32_t uHeaderCRC;
    uint32_t uFileCheckInfoOffset;
    uint32_t uFileCheckInfoSize;
    uint32_t uFileCheckInfoCRC;
    uint32_t uDirInfoOffset;
    uint32_t uDirInfoSize;
    uint32_t uDirInfoCRC;
    uint32_t uFileRepairInfoOffset;
    uint32_t uFileRepairInfoSize;
};

// One record of the file-check table: the name as stored (the bytes up to its first zero, '\\'
// separators) and the CRC-32 of the good file.
struct QN_REPAIR_FILE_CHECK_INFO {
    std::string strFileName;
    uint32_t uCRC;
};

// True when the reader's owner has asked it to stop; the parsers test it before each record.
typedef std::function<bool()> QN_RepairInfoAbortTest;

// Decodes byRaw into the fields (no checks).
void QN_DecodeRepairInfoHeader(QN_REPAIR_INFO_FILE_HEADER* pHeader);

// Checks, in this order, the header CRC (bytes 8..11 taken as zero), the type and the version.
// 1 or 0.
int QN_CheckRepairInfoHeader(const QN_REPAIR_INFO_FILE_HEADER& header, const char* cszFunction);

// Verifies the table's CRC and reads every record. A record whose name is not a safe relative
// path below the client folder (empty, absolute, or with a ".." part) makes the table
// malformed. Bytes after the last record are ignored. 1 or 0; *pRetList holds the records on
// success and is emptied first.
int QN_ParseFileCheckTable(const uint8_t* pbyBuffer, uint32_t uSize, uint32_t uExpectedCRC,
                           const QN_RepairInfoAbortTest& fnAborted, const char* cszFunction,
                           std::vector<QN_REPAIR_FILE_CHECK_INFO>* pRetList);

// The same for the folder table; the names go to *pRetDirNames in table order.
int QN_ParseDirTable(const uint8_t* pbyBuffer, uint32_t uSize, uint32_t uExpectedCRC,
                     const QN_RepairInfoAbortTest& fnAborted, const char* cszFunction,
                     std::vector<std::string>* pRetDirNames);

// The folder index of file uFileIndex from the whole file-repair table (4 bytes a file). 0 when
// the table is too short to hold it.
int QN_GetFileRepairDirID(const uint8_t* pbyTable, uint32_t uTableSize, uint32_t uFileIndex, uint32_t* puRetDirID);

// Reads a little-endian u32 at pby.
inline uint32_t QN_ReadU32LE(const uint8_t* pby) {
    return (uint32_t)pby[0] | ((uint32_t)pby[1] << 8) | ((uint32_t)pby[2] << 16) | ((uint32_t)pby[3] << 24);
}
