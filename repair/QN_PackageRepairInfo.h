// The repair information of a package ("Repair.REP" on the repair server): a 324-byte header
// with the expected package configuration and five table descriptors, and five tables of
// fixed-size records. Everything is little-endian and packed; the decoders here read each field
// at its offset, so nothing depends on the compiler's layout or on the size of wchar_t.
//
// The decoders also validate what they decode: a table that is empty, not a whole number of
// records, 4 GiB or larger, or holds a name without a terminator or one that would leave the
// package folder is refused as a whole. A folder-file name must also not name a file of the
// package itself (Package.CFG, a data file) or the same file as another record.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "IKHttp.h"

inline constexpr size_t QNPK_REPAIR_FILE_HEADER_SIZE = 324;
inline constexpr size_t QNPK_DATA_CONFIG_FILE_SIZE = 204;
inline constexpr size_t QNPK_DIR_FILE_CHECK_INFO_ITEM_SIZE = 132;
inline constexpr size_t QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE = 20;
inline constexpr size_t QNPK_EMPTY_BLOCK_REGION_ITEM_SIZE = 16;
inline constexpr size_t QNPK_ELEM_FILE_REPAIR_INFO_ITEM_SIZE = 12;
inline constexpr size_t QNPK_DATA_SOURCE_INFO_ITEM_SIZE = 152;
// Names in the tables: 64 UTF-16LE units, terminated inside the field.
inline constexpr size_t QNPK_NAME_UNITS = 64;
// Offset of the header's own CRC field.
inline constexpr size_t QNPK_HEADER_CRC_OFFSET = 208;
// Longest URL the download library sends.
inline constexpr size_t QNPK_MAX_ESCAPED_URL_LENGTH = KHTTP_MAX_URL_LENGTH;

// The package configuration record, also the whole content of Package.CFG. The raw bytes are
// what is compared and written; the four fields are decoded from them.
struct DataConfigFile {
    uint8_t abyRaw[QNPK_DATA_CONFIG_FILE_SIZE];
    uint32_t uDirFilesFolder;   // names the server folder of the folder files
    uint32_t uDataFileCount;
    uint64_t ullDataFileSize;   // exact length of every data file
    uint64_t ullBaseAddress;    // package address of the first byte of data file 0
};

struct QNPK_REPAIR_FILE_HEADER {
    uint8_t abyRaw[QNPK_REPAIR_FILE_HEADER_SIZE];
    DataConfigFile DataFileConfig;
    uint32_t uRepairFileHeaderCRC32;
    uint64_t ullDirFileCheckInfoOffset;
    uint64_t ullDirFileCheckInfoSize;
    uint32_t uDirFileCheckInfoCRC32;
    uint64_t ullElemFileCheckInfoOffset;
    uint64_t ullElemFileCheckInfoSize;
    uint32_t uElemFileCheckInfoCRC32;
    uint64_t ullEmptyBlockRegionInfoOffset;
    uint64_t ullEmptyBlockRegionInfoSize;
    uint32_t uEmptyBlockRegionInfoCRC32;
    uint64_t ullElemFileRepairInfoOffset;
    uint64_t ullElemFileRepairInfoSize;
    uint32_t uElemFileRepairInfoCRC32;
    uint64_t ullDataSourceInfoOffset;
    uint64_t ullDataSourceInfoSize;
    uint32_t uDataSourceInfoCRC32;
};

struct QNPK_DIR_FILE_CHECK_INFO_ITEM {
    std::wstring strFileName;  // relative to the package folder, already checked as safe
    uint32_t uCRC32;           // of the whole file
};

struct QNPK_ELEM_FILE_CHECK_INFO_ITEM {
    uint64_t ullAddress;
    uint64_t ullSize;
    uint32_t uCRC32;  // the block rule: first four bytes taken as zero
};

struct QNPK_EMPTY_BLOCK_REGION_ITEM {
    uint64_t ullAddress;
    uint64_t ullSize;
};

struct QNPK_ELEM_FILE_REPAIR_INFO_ITEM {
    uint32_t uDataSourceID;
    uint64_t ullOffsetInDataSource;
};

struct QNPK_DATA_SOURCE_INFO_ITEM {
    uint32_t uDataSourceFileID;
    std::wstring strFileName;  // relative to the package repair URL, already checked as safe
    uint64_t ullBaseOffset;    // where the source's offset 0 lies in the server file
    uint64_t ullSize;          // length of the source
};

typedef std::map<uint32_t, QNPK_DATA_SOURCE_INFO_ITEM> QNPK_DATA_SOURCE_MAP;

// Decodes the 324 header bytes. The CRC field is decoded as stored.
void QN_DecodeRepairFileHeader(const uint8_t* pbyHeader, QNPK_REPAIR_FILE_HEADER* pRetHeader);
// Decodes the four fields of a 204-byte configuration record and keeps its bytes.
void QN_DecodeDataConfigFile(const uint8_t* pbyRecord, DataConfigFile* pRetConfig);
// CRC-32 of the 324 header bytes with the CRC field taken as zero.
uint32_t QN_GetRepairFileHeaderCRC32(const uint8_t* pbyHeader);

// A name field of 64 UTF-16LE units: 1 and the name when a terminator lies inside the field,
// else 0.
int QN_DecodeTableName(const uint8_t* pbyField, std::wstring* pRetName);

// Table decoders. 1 with the records, or 0 (and the vector emptied) for a table that is empty,
// not a whole number of records, or holds a record that must be refused.
// The folder-file table also refuses a name that, as a local path below the package folder,
// is the same file as Package.CFG, as data file 0 to uDataFileCount - 1 or as another record.
int QN_DecodeDirFileCheckTable(const uint8_t* pbyTable, uint64_t ullSize, uint32_t uDataFileCount,
                               std::vector<QNPK_DIR_FILE_CHECK_INFO_ITEM>* pRetItems);

// The key under which a local path below the package folder names its file: the path of the
// table-name rule (QN_LocalPathFromTableNameW: separators made '/', empty and "." parts
// dropped) with ASCII letters folded to lower case; empty for a name that rule refuses. Two
// names with one key may be one file: the client's package folder can lie on a file system
// that ignores case.
std::wstring QN_PackageNameKey(const std::wstring& strLocalPath);
int QN_DecodeElemFileCheckTable(const uint8_t* pbyTable, uint64_t ullSize,
                                std::vector<QNPK_ELEM_FILE_CHECK_INFO_ITEM>* pRetItems);
int QN_DecodeEmptyBlockRegionTable(const uint8_t* pbyTable, uint64_t ullSize,
                                   std::vector<QNPK_EMPTY_BLOCK_REGION_ITEM>* pRetItems);
int QN_DecodeElemFileRepairTable(const uint8_t* pbyTable, uint64_t ullSize,
                                 std::vector<QNPK_ELEM_FILE_REPAIR_INFO_ITEM>* pRetItems);
// Also refuses a repeated source id.
int QN_DecodeDataSourceTable(const uint8_t* pbyTable, uint64_t ullSize, QNPK_DATA_SOURCE_MAP* pRetMap);

// The size of a table that can be fetched in one piece: a whole number of records, at least
// one, and below 4 GiB. 1 or 0.
int QN_IsTableSizeValid(uint64_t ullSize, size_t uRecordSize);

// The block checksum: CRC-32 of ullSize bytes with the first four (or all, for a shorter
// block) taken as zero. The buffer is not changed.
uint32_t QN_GetElemFileBlockCRC32(const uint8_t* pbyBlock, uint64_t ullSize);

// Where a range of the package lies: position = address - base, data file = position / data
// file size, offset = position % data file size. 1 when the range starts at or after the base,
// is not empty, lies in a data file below uDataFileCount and ends inside that file; else 0.
int QN_GetDataFileLocation(const DataConfigFile& config, uint64_t ullAddress, uint64_t ullSize,
                           uint32_t* puRetFileIndex, uint64_t* pullRetOffset);

// 1 when no two of uCount ranges overlap; fnRange(i) gives range i as (address, size), the size
// at least 1 and the end not past 2^64. The ranges need not be sorted: an index of four bytes
// per range is sorted, so the caller's records are neither copied nor reordered.
template <typename RangeOf>
int QN_RangesAreDisjoint(size_t uCount, RangeOf fnRange) {
    std::vector<uint32_t> order;
    if (uCount > UINT32_MAX) return 0;
    order.resize(uCount);
    for (size_t i = 0; i < uCount; ++i) order[i] = (uint32_t)i;
    std::sort(order.begin(), order.end(), [&fnRange](uint32_t a, uint32_t b) {
        const std::pair<uint64_t, uint64_t> ra = fnRange(a), rb = fnRange(b);
        return ra.first < rb.first || (ra.first == rb.first && ra.second < rb.second);
    });
    for (size_t i = 1; i < uCount; ++i) {
        const std::pair<uint64_t, uint64_t> prev = fnRange(order[i - 1]), cur = fnRange(order[i]);
        if (cur.first - prev.first < prev.second) return 0;
    }
    return 1;
}

// Which test of a data source's record refused a block or a URL.
enum QNPK_SOURCE_CHECK {
    QNPK_SOURCE_OK = 0,
    QNPK_SOURCE_NO_ID,           // the id is 0
    QNPK_SOURCE_NO_RESULT,       // no place for the result
    QNPK_SOURCE_NOT_IN_TABLE,    // the table holds no record under the id
    QNPK_SOURCE_ID_DIFFERS,      // the record under the id names another id
    QNPK_SOURCE_OFFSET_PAST_END, // the offset is not inside the source
    QNPK_SOURCE_BLOCK_PAST_END,  // the block runs past the source's end
    QNPK_SOURCE_OFFSET_WRAPS,    // base offset + offset does not fit 64 bits
    QNPK_SOURCE_BAD_URL,         // no base URL, or the URL is too long
};

// Where a block's bytes lie in the server file of its data source. Without a data-source table
// it is the offset itself. With one, the source must be in the map under its own id and the
// block [offset, offset + size) must lie inside the source. 1 or 0; on 0 *peRetFailed (when
// given) says which test failed.
int QN_GetAbsOffsetInDataSource(const QNPK_DATA_SOURCE_MAP* pMap, uint32_t uDataSourceID,
                                uint64_t ullOffsetInDataSource, uint64_t ullBlockSize,
                                uint64_t* pullRetAbsOffset, QNPK_SOURCE_CHECK* peRetFailed = nullptr);

// The URL of a data source's server file: with a table, URL + "/" + the record's name (UTF-8,
// percent-escaped); without one, URL + "/UpdateFiles/<id-1>-<id>.UPDATE". The URL as the
// server names it, before escaping, holds at most 259 characters; the escaped form only has to
// fit what the download library takes (QNPK_MAX_ESCAPED_URL_LENGTH). 1 or 0; on 0
// *peRetFailed (when given) says which test failed.
int QN_GetDataSourceFileURL(const wchar_t* pcszPackageRepairURL, const QNPK_DATA_SOURCE_MAP* pMap,
                            uint32_t uDataSourceID, std::string* pstrRetURL, QNPK_SOURCE_CHECK* peRetFailed = nullptr);
