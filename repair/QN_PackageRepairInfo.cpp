#include "QN_PackageRepairInfo.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "QN_CRC.h"
#include "QN_FileManager.h"
#include "QN_HttpTransfer.h"
#include "qn_string.h"

namespace {

uint32_t LoadU32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint64_t LoadU64(const uint8_t* p) { return (uint64_t)LoadU32(p) | ((uint64_t)LoadU32(p + 4) << 32); }

uint32_t Crc32Update(uint32_t uCRC, const uint8_t* pbyData, uint64_t ullSize) {
    return QN_CRC32Update(uCRC, pbyData, ullSize);
}

// A name from a table as a relative local path: terminated inside its field and accepted by
// the one table-name helper (names a file, not absolute, no ".."), in that helper's spelling.
int DecodeSafeName(const uint8_t* pbyField, std::wstring* pRetName) {
    std::wstring strName;
    if (!QN_DecodeTableName(pbyField, &strName)) return 0;
    return QN_LocalPathFromTableNameW(strName.c_str(), pRetName) ? 1 : 0;
}

// The index n of a key "package<n>.dat" written as the data-file name formatter writes it (no
// leading zero, at most ten digits); -1 for any other key.
int64_t DataFileIndexOfKey(const std::wstring& strKey) {
    static const std::wstring kPrefix = L"package", kSuffix = L".dat";
    if (strKey.size() <= kPrefix.size() + kSuffix.size()) return -1;
    if (strKey.compare(0, kPrefix.size(), kPrefix) != 0) return -1;
    if (strKey.compare(strKey.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) return -1;
    const std::wstring strDigits = strKey.substr(kPrefix.size(), strKey.size() - kPrefix.size() - kSuffix.size());
    if (strDigits.size() > 10 || (strDigits.size() > 1 && strDigits[0] == L'0')) return -1;
    int64_t llIndex = 0;
    for (wchar_t c : strDigits) {
        if (c < L'0' || c > L'9') return -1;
        llIndex = llIndex * 10 + (c - L'0');
    }
    return llIndex;
}

}  // namespace

std::wstring QN_PackageNameKey(const std::wstring& strLocalPath) {
    // The table-name rule gives every spelling of a name one path; folding ASCII case on top of
    // it gives the file a case-ignoring folder would open.
    std::wstring strKey;
    if (!QN_LocalPathFromTableNameW(strLocalPath.c_str(), &strKey)) return std::wstring();
    for (wchar_t& c : strKey)
        if (c >= L'A' && c <= L'Z') c = (wchar_t)(c + (L'a' - L'A'));
    return strKey;
}

void QN_DecodeDataConfigFile(const uint8_t* pbyRecord, DataConfigFile* pRetConfig) {
    std::memcpy(pRetConfig->abyRaw, pbyRecord, QNPK_DATA_CONFIG_FILE_SIZE);
    pRetConfig->uDirFilesFolder = LoadU32(pbyRecord + 24);
    pRetConfig->uDataFileCount = LoadU32(pbyRecord + 28);
    pRetConfig->ullDataFileSize = LoadU64(pbyRecord + 32);
    pRetConfig->ullBaseAddress = LoadU64(pbyRecord + 40);
}

void QN_DecodeRepairFileHeader(const uint8_t* pbyHeader, QNPK_REPAIR_FILE_HEADER* pRetHeader) {
    const uint8_t* p = pbyHeader;
    std::memcpy(pRetHeader->abyRaw, p, QNPK_REPAIR_FILE_HEADER_SIZE);
    QN_DecodeDataConfigFile(p + 4, &pRetHeader->DataFileConfig);
    pRetHeader->uRepairFileHeaderCRC32 = LoadU32(p + QNPK_HEADER_CRC_OFFSET);
    pRetHeader->ullDirFileCheckInfoOffset = LoadU64(p + 212);
    pRetHeader->ullDirFileCheckInfoSize = LoadU64(p + 220);
    pRetHeader->uDirFileCheckInfoCRC32 = LoadU32(p + 228);
    pRetHeader->ullElemFileCheckInfoOffset = LoadU64(p + 232);
    pRetHeader->ullElemFileCheckInfoSize = LoadU64(p + 240);
    pRetHeader->uElemFileCheckInfoCRC32 = LoadU32(p + 248);
    pRetHeader->ullEmptyBlockRegionInfoOffset = LoadU64(p + 252);
    pRetHeader->ullEmptyBlockRegionInfoSize = LoadU64(p + 260);
    pRetHeader->uEmptyBlockRegionInfoCRC32 = LoadU32(p + 268);
    pRetHeader->ullElemFileRepairInfoOffset = LoadU64(p + 272);
    pRetHeader->ullElemFileRepairInfoSize = LoadU64(p + 280);
    pRetHeader->uElemFileRepairInfoCRC32 = LoadU32(p + 288);
    pRetHeader->ullDataSourceInfoOffset = LoadU64(p + 292);
    pRetHeader->ullDataSourceInfoSize = LoadU64(p + 300);
    pRetHeader->uDataSourceInfoCRC32 = LoadU32(p + 308);
}

uint32_t QN_GetRepairFileHeaderCRC32(const uint8_t* pbyHeader) {
    static const uint8_t kZero[4] = {0, 0, 0, 0};
    uint32_t uCRC = Crc32Update(0, pbyHeader, QNPK_HEADER_CRC_OFFSET);
    uCRC = Crc32Update(uCRC, kZero, 4);
    return Crc32Update(uCRC, pbyHeader + QNPK_HEADER_CRC_OFFSET + 4,
                       QNPK_REPAIR_FILE_HEADER_SIZE - QNPK_HEADER_CRC_OFFSET - 4);
}

int QN_DecodeTableName(const uint8_t* pbyField, std::wstring* pRetName) {
    size_t uUnits = 0;
    while (uUnits < QNPK_NAME_UNITS && (pbyField[2 * uUnits] | pbyField[2 * uUnits + 1]) != 0) ++uUnits;
    if (uUnits == QNPK_NAME_UNITS) return 0;
    *pRetName = QN_Utf16LEToWide(pbyField, uUnits);
    return 1;
}

int QN_IsTableSizeValid(uint64_t ullSize, size_t uRecordSize) {
    return ullSize > 0 && ullSize <= 0xFFFFFFFFull && ullSize % uRecordSize == 0;
}

int QN_DecodeDirFileCheckTable(const uint8_t* pbyTable, uint64_t ullSize, uint32_t uDataFileCount,
                               std::vector<QNPK_DIR_FILE_CHECK_INFO_ITEM>* pRetItems) {
    std::set<std::wstring> keys;
    pRetItems->clear();
    if (!pbyTable || !QN_IsTableSizeValid(ullSize, QNPK_DIR_FILE_CHECK_INFO_ITEM_SIZE)) return 0;
    const size_t uCount = (size_t)(ullSize / QNPK_DIR_FILE_CHECK_INFO_ITEM_SIZE);
    pRetItems->resize(uCount);
    for (size_t i = 0; i < uCount; ++i) {
        const uint8_t* p = pbyTable + i * QNPK_DIR_FILE_CHECK_INFO_ITEM_SIZE;
        QNPK_DIR_FILE_CHECK_INFO_ITEM& item = (*pRetItems)[i];
        bool bAccepted = DecodeSafeName(p, &item.strFileName);
        if (bAccepted) {
            // A folder file is downloaded over the file its name names: never over the
            // package's own files, and never two records over one file.
            const std::wstring strKey = QN_PackageNameKey(item.strFileName);
            const int64_t llDataFileIndex = DataFileIndexOfKey(strKey);
            bAccepted = !strKey.empty() && strKey != L"package.cfg" &&
                        !(llDataFileIndex >= 0 && llDataFileIndex < (int64_t)uDataFileCount) &&
                        keys.insert(strKey).second;
        }
        if (!bAccepted) {
            pRetItems->clear();
            return 0;
        }
        item.uCRC32 = LoadU32(p + 128);
    }
    return 1;
}

int QN_DecodeElemFileCheckTable(const uint8_t* pbyTable, uint64_t ullSize,
                                std::vector<QNPK_ELEM_FILE_CHECK_INFO_ITEM>* pRetItems) {
    pRetItems->clear();
    if (!pbyTable || !QN_IsTableSizeValid(ullSize, QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE)) return 0;
    const size_t uCount = (size_t)(ullSize / QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE);
    pRetItems->resize(uCount);
    for (size_t i = 0; i < uCount; ++i) {
        const uint8_t* p = pbyTable + i * QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE;
        (*pRetItems)[i] = {LoadU64(p), LoadU64(p + 8), LoadU32(p + 16)};
    }
    return 1;
}

int QN_DecodeEmptyBlockRegionTable(const uint8_t* pbyTable, uint64_t ullSize,
                                   std::vector<QNPK_EMPTY_BLOCK_REGION_ITEM>* pRetItems) {
    pRetItems->clear();
    if (!pbyTable || !QN_IsTableSizeValid(ullSize, QNPK_EMPTY_BLOCK_REGION_ITEM_SIZE)) return 0;
    const size_t uCount = (size_t)(ullSize / QNPK_EMPTY_BLOCK_REGION_ITEM_SIZE);
    pRetItems->resize(uCount);
    for (size_t i = 0; i < uCount; ++i) {
        const uint8_t* p = pbyTable + i * QNPK_EMPTY_BLOCK_REGION_ITEM_SIZE;
        (*pRetItems)[i] = {LoadU64(p), LoadU64(p + 8)};
    }
    return 1;
}

int QN_DecodeElemFileRepairTable(const uint8_t* pbyTable, uint64_t ullSize,
                                 std::vector<QNPK_ELEM_FILE_REPAIR_INFO_ITEM>* pRetItems) {
    pRetItems->clear();
    if (!pbyTable || !QN_IsTableSizeValid(ullSize, QNPK_ELEM_FILE_REPAIR_INFO_ITEM_SIZE)) return 0;
    const size_t uCount = (size_t)(ullSize / QNPK_ELEM_FILE_REPAIR_INFO_ITEM_SIZE);
    pRetItems->resize(uCount);
    for (size_t i = 0; i < uCount; ++i) {
        const uint8_t* p = pbyTable + i * QNPK_ELEM_FILE_REPAIR_INFO_ITEM_SIZE;
        (*pRetItems)[i] = {LoadU32(p), LoadU64(p + 4)};
    }
    return 1;
}

int QN_DecodeDataSourceTable(const uint8_t* pbyTable, uint64_t ullSize, QNPK_DATA_SOURCE_MAP* pRetMap) {
    pRetMap->clear();
    if (!pbyTable || !QN_IsTableSizeValid(ullSize, QNPK_DATA_SOURCE_INFO_ITEM_SIZE)) return 0;
    const size_t uCount = (size_t)(ullSize / QNPK_DATA_SOURCE_INFO_ITEM_SIZE);
    for (size_t i = 0; i < uCount; ++i) {
        const uint8_t* p = pbyTable + i * QNPK_DATA_SOURCE_INFO_ITEM_SIZE;
        QNPK_DATA_SOURCE_INFO_ITEM item;
        item.uDataSourceFileID = LoadU32(p);
        item.ullBaseOffset = LoadU64(p + 136);
        item.ullSize = LoadU64(p + 144);
        if (!DecodeSafeName(p + 8, &item.strFileName) || !pRetMap->emplace(item.uDataSourceFileID, item).second) {
            pRetMap->clear();
            return 0;
        }
    }
    return 1;
}

uint32_t QN_GetElemFileBlockCRC32(const uint8_t* pbyBlock, uint64_t ullSize) {
    static const uint8_t kZero[4] = {0, 0, 0, 0};
    const uint64_t ullHead = ullSize < 4 ? ullSize : 4;
    uint32_t uCRC = Crc32Update(0, kZero, ullHead);
    return Crc32Update(uCRC, pbyBlock + ullHead, ullSize - ullHead);
}

int QN_GetDataFileLocation(const DataConfigFile& config, uint64_t ullAddress, uint64_t ullSize,
                           uint32_t* puRetFileIndex, uint64_t* pullRetOffset) {
    if (config.ullDataFileSize == 0 || ullAddress < config.ullBaseAddress || ullSize == 0) return 0;
    const uint64_t ullPosition = ullAddress - config.ullBaseAddress;
    const uint64_t ullIndex = ullPosition / config.ullDataFileSize;
    const uint64_t ullOffset = ullPosition % config.ullDataFileSize;
    if (ullIndex >= config.uDataFileCount) return 0;
    if (ullSize > config.ullDataFileSize - ullOffset) return 0;
    if (puRetFileIndex) *puRetFileIndex = (uint32_t)ullIndex;
    if (pullRetOffset) *pullRetOffset = ullOffset;
    return 1;
}

namespace {

// Looks the source up under its id: its record, or nullptr with the failed test in *peRetFailed.
const QNPK_DATA_SOURCE_INFO_ITEM* FindSource(const QNPK_DATA_SOURCE_MAP& crMap, uint32_t uDataSourceID,
                                             QNPK_SOURCE_CHECK* peRetFailed) {
    auto it = crMap.find(uDataSourceID);
    if (it == crMap.end()) {
        *peRetFailed = QNPK_SOURCE_NOT_IN_TABLE;
        return nullptr;
    }
    if (it->second.uDataSourceFileID != uDataSourceID) {
        *peRetFailed = QNPK_SOURCE_ID_DIFFERS;
        return nullptr;
    }
    return &it->second;
}

}  // namespace

int QN_GetAbsOffsetInDataSource(const QNPK_DATA_SOURCE_MAP* pMap, uint32_t uDataSourceID,
                                uint64_t ullOffsetInDataSource, uint64_t ullBlockSize,
                                uint64_t* pullRetAbsOffset, QNPK_SOURCE_CHECK* peRetFailed) {
    QNPK_SOURCE_CHECK eIgnored = QNPK_SOURCE_OK;
    QNPK_SOURCE_CHECK& reFailed = peRetFailed ? *peRetFailed : eIgnored;
    const QNPK_DATA_SOURCE_INFO_ITEM* pItem = nullptr;
    reFailed = QNPK_SOURCE_OK;
    if (uDataSourceID == 0) reFailed = QNPK_SOURCE_NO_ID;
    else if (!pullRetAbsOffset) reFailed = QNPK_SOURCE_NO_RESULT;
    if (reFailed != QNPK_SOURCE_OK) return 0;
    if (!pMap) {
        *pullRetAbsOffset = ullOffsetInDataSource;
        return 1;
    }
    pItem = FindSource(*pMap, uDataSourceID, &reFailed);
    if (!pItem) return 0;
    // The whole block must lie inside its source, or the bytes of the next source would be
    // taken for it, and the sum must not wrap.
    if (ullOffsetInDataSource >= pItem->ullSize) reFailed = QNPK_SOURCE_OFFSET_PAST_END;
    else if (ullBlockSize > pItem->ullSize - ullOffsetInDataSource) reFailed = QNPK_SOURCE_BLOCK_PAST_END;
    else if (pItem->ullBaseOffset > UINT64_MAX - ullOffsetInDataSource) reFailed = QNPK_SOURCE_OFFSET_WRAPS;
    if (reFailed != QNPK_SOURCE_OK) return 0;
    *pullRetAbsOffset = pItem->ullBaseOffset + ullOffsetInDataSource;
    return 1;
}

int QN_GetDataSourceFileURL(const wchar_t* pcszPackageRepairURL, const QNPK_DATA_SOURCE_MAP* pMap,
                            uint32_t uDataSourceID, std::string* pstrRetURL, QNPK_SOURCE_CHECK* peRetFailed) {
    QNPK_SOURCE_CHECK eIgnored = QNPK_SOURCE_OK;
    QNPK_SOURCE_CHECK& reFailed = peRetFailed ? *peRetFailed : eIgnored;
    std::wstring strName;
    reFailed = QNPK_SOURCE_OK;
    if (!pstrRetURL) reFailed = QNPK_SOURCE_NO_RESULT;
    else if (uDataSourceID == 0) reFailed = QNPK_SOURCE_NO_ID;
    if (reFailed != QNPK_SOURCE_OK) return 0;
    if (pMap) {
        const QNPK_DATA_SOURCE_INFO_ITEM* pItem = FindSource(*pMap, uDataSourceID, &reFailed);
        if (!pItem) return 0;
        strName = pItem->strFileName;
    } else {
        strName = L"UpdateFiles/" + std::to_wstring(uDataSourceID - 1) + L"-" + std::to_wstring(uDataSourceID) +
                  L".UPDATE";
    }
    reFailed = QNPK_SOURCE_BAD_URL;
    if (!pcszPackageRepairURL) return 0;
    // The limit of 259 characters applies to the URL as the server names the file; escaping
    // turns one character of a Chinese name into nine bytes, which the download library takes.
    const std::wstring strURL = std::wstring(pcszPackageRepairURL) + L"/" + strName;
    if (strURL.size() >= QN_MAX_PATH) return 0;
    // The block downloader sends its URL as given, so the name from the table is escaped here
    // (its '/' separators stay).
    std::string strEscapedURL = QN_WideToUtf8(pcszPackageRepairURL) + "/" + _EscapeURL(QN_WideToUtf8(strName));
    if (strEscapedURL.size() > QNPK_MAX_ESCAPED_URL_LENGTH) return 0;
    *pstrRetURL = std::move(strEscapedURL);
    reFailed = QNPK_SOURCE_OK;
    return 1;
}
