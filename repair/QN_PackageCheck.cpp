// The check phase of the package repairer: the header of the repair information, then
// Package.CFG, the folder files, the data files' presence and length (set right at once), every
// block's checksum and every empty region's fill. Findings only fill the lists; failures are
// downloads (7) and bad tables, records and file-system errors (5).
#include <cstring>
#include <new>

#include "QNPackageRepair.h"
#include "QN_LogW.h"
#include "qn_file.h"
#include "qn_file_io.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

constexpr float kProgressCfg = 0.03f;
constexpr float kProgressDirFiles = 0.06f;
constexpr float kProgressDataFiles = 0.1f;
constexpr float kProgressBlocks = 0.9f;

// The package's size in bytes, saturated.
uint64_t PackageSize(const DataConfigFile& rConfig) {
    if (rConfig.uDataFileCount != 0 && rConfig.ullDataFileSize > UINT64_MAX / rConfig.uDataFileCount) return UINT64_MAX;
    return rConfig.ullDataFileSize * rConfig.uDataFileCount;
}

}  // namespace

HRESULT QNPackageRepair::_CheckFunction() {
    HRESULT hrResult = E_FAIL;
    HRESULT hrRetCode = E_FAIL;

    // A check always starts from empty findings, so that a second check on the same object
    // reports what is broken now.
    m_bCfgFileBroken = 0;
    m_BrokenDirFileList.clear();
    m_BrokenDataFileList.clear();
    m_BrokenFileBlockIndexList.clear();
    m_BrokenEmptyBlockRegionIndexList.clear();
    _PublishBrokenElemFileCount();
    m_bDownloadFailed = false;

    hrRetCode = _InitConnection();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);

    hrRetCode = _CheckCfgFile();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    _PublishBrokenElemFileCount();
    m_fCheckProgress.store(kProgressCfg);

    hrRetCode = _CheckDirFile();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    _PublishBrokenElemFileCount();
    m_fCheckProgress.store(kProgressDirFiles);

    hrRetCode = _CheckDataFile();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    if (!m_BrokenDataFileList.empty()) _RepairDataFile();
    m_fCheckProgress.store(kProgressDataFiles);

    hrRetCode = _CheckFileBlock();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    _PublishBrokenElemFileCount();
    m_fCheckProgress.store(kProgressBlocks);

    hrRetCode = _CheckEmptyBlock();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    _PublishBrokenElemFileCount();
    m_fCheckProgress.store(1.0f);

    _RaiseStatus(QN_RPS_SUCCESS_FINISH_CHECK);
    hrResult = S_OK;
Exit0:
    if (FAILED(hrResult)) _RaiseStatus(m_bDownloadFailed ? QN_RPS_ERROR_DOWNLOAD : QN_RPS_ERROR_FAILED);
    return hrResult;
}

HRESULT QNPackageRepair::_InitConnection() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    bool bInitialized = false;
    uint8_t abyHeader[QNPK_REPAIR_FILE_HEADER_SIZE];
    uint32_t uHeaderCRC32 = 0;
    uint32_t uCorrectHeaderCRC32 = 0;
    const std::string strURL = QN_WideToUtf8(m_szPackageRepairURL) + "/" + QN_WideToUtf8(m_szRepairFileName);

    nRetCode = strURL.size() < QN_MAX_PATH;
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "nRetCode > 0");

    nRetCode = m_RepairFileHttpSyncBlock.Init(strURL.c_str());
    QNLOG_PROCESS_ERROR(nRetCode);
    bInitialized = true;
    m_RepairFileHttpSyncBlock.SetStopTest([this] { return _IsAborted(); });

    std::memset(abyHeader, 0, sizeof(abyHeader));
    nRetCode = m_RepairFileHttpSyncBlock.AddBlock(0, QNPK_REPAIR_FILE_HEADER_SIZE, abyHeader);
    QNLOG_PROCESS_ERROR(nRetCode);
    nRetCode = m_RepairFileHttpSyncBlock.Download();
    if (!nRetCode) m_bDownloadFailed = true;
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "false && \"m_RepairFileHttpSyncBlock.Download()\"");

    QN_DecodeRepairFileHeader(abyHeader, &m_RepairFileHeader);
    uHeaderCRC32 = m_RepairFileHeader.uRepairFileHeaderCRC32;
    uCorrectHeaderCRC32 = QN_GetRepairFileHeaderCRC32(abyHeader);
    m_RepairFileHeader.uRepairFileHeaderCRC32 = 0;
    std::memset(m_RepairFileHeader.abyRaw + QNPK_HEADER_CRC_OFFSET, 0, 4);
    QNLOG_PROCESS_ERROR(uHeaderCRC32 == uCorrectHeaderCRC32);

    // Every address is split by the data-file size, and the data files are counted from it.
    nRetCode = m_RepairFileHeader.DataFileConfig.ullDataFileSize > 0 &&
               m_RepairFileHeader.DataFileConfig.uDataFileCount > 0;
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "DataFileConfig invalid");

    hrResult = S_OK;
Exit0:
    QN_LogPrintfW(L"m_RepairFileHeader.DataFileConfig = %u, m_RepairFileHeader.uRepairFileHeaderCRC32 = %u",
                  m_RepairFileHeader.DataFileConfig.uDirFilesFolder, m_RepairFileHeader.uRepairFileHeaderCRC32);
    if (FAILED(hrResult) && bInitialized) m_RepairFileHttpSyncBlock.ReleaseService();
    return hrResult;
}

HRESULT QNPackageRepair::_CheckCfgFile() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    FILE* fpCfgFile = nullptr;
    int64_t llCfgFileSize = 0;
    size_t uReadCount = 0;
    uint8_t abyCfg[QNPK_DATA_CONFIG_FILE_SIZE];
    const std::wstring strCfgFilePath = _PackagePath(L"Package.CFG");
    int bBroken = 0;

    if (!QN_PathExistsW(m_szPackageDirectory)) {
        QN_LogPrintfW(L"QN_waccess(m_szPackageDirectory, ACCESS_EXISTENCE_ONLY) failed!");
        QN_mkdir(QN_WideToUtf8(m_szPackageDirectory).c_str());
    }

    nRetCode = strCfgFilePath.size() < QN_MAX_PATH;
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "nRetCode != -1");

    if (!QN_PathExistsW(strCfgFilePath.c_str())) {
        QN_LogPrintfW(L"nRetCode = QN_waccess(szCfgFilePath, ACCESS_EXISTENCE_ONLY);!");
        bBroken = 1;
    } else {
        fpCfgFile = QN_wfopen(strCfgFilePath.c_str(), "rb");
        if (!fpCfgFile) QN_LogPrintfW(L"Error: open file failed. szCfgFilePath = %ls", strCfgFilePath.c_str());
        QNLOG_PROCESS_ERROR(fpCfgFile);

        nRetCode = QN_fseeki64(fpCfgFile, 0, SEEK_END);
        QNLOG_PROCESS_ERROR(nRetCode != -1);
        llCfgFileSize = QN_ftelli64(fpCfgFile);
        QNLOG_PROCESS_ERROR(llCfgFileSize >= 0);
        nRetCode = QN_fseeki64(fpCfgFile, 0, SEEK_SET);
        QNLOG_PROCESS_ERROR(nRetCode != -1);

        // Any other length is a finding; the content is read only from a file of the right one.
        if (llCfgFileSize != (int64_t)QNPK_DATA_CONFIG_FILE_SIZE) {
            QN_LogPrintfW(L"llCfgFileSize != sizeof(DataConfigFile)!");
            bBroken = 1;
        } else {
            uReadCount = std::fread(abyCfg, QNPK_DATA_CONFIG_FILE_SIZE, 1, fpCfgFile);
            QNLOG_PROCESS_ERROR(uReadCount == 1);
            if (std::memcmp(abyCfg, m_RepairFileHeader.DataFileConfig.abyRaw, QNPK_DATA_CONFIG_FILE_SIZE) != 0) {
                QN_LogPrintfW(L"memcmp failed!");
                bBroken = 1;
            }
        }
    }

    m_bCfgFileBroken = bBroken;
    hrResult = S_OK;
Exit0:
    QN_LogPrintfW(L"m_RepairFileHeader.DataFileConfig = %u", m_RepairFileHeader.DataFileConfig.uDirFilesFolder);
    if (bBroken) QN_LogPrintfW(L"ConfigFileBroken!");
    if (fpCfgFile) std::fclose(fpCfgFile);
    return hrResult;
}

HRESULT QNPackageRepair::_CheckDirFile() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    uint32_t uCRC32 = 0;
    std::vector<uint8_t> table;
    const uint64_t ullSize = m_RepairFileHeader.ullDirFileCheckInfoSize;
    const uint64_t uDirFileCount = ullSize / QNPK_DIR_FILE_CHECK_INFO_ITEM_SIZE;

    m_DirFileCheckInfoList.clear();
    QNLOG_PROCESS_ERROR(uDirFileCount > 0);

    nRetCode = _FetchTable(QN_CALL_SITE(), m_RepairFileHeader.ullDirFileCheckInfoOffset, ullSize,
                           QNPK_DIR_FILE_CHECK_INFO_ITEM_SIZE, &table);
    QNLOG_PROCESS_ERROR(nRetCode);

    uCRC32 = QN_GetBufferCRC32(0, table.data(), table.size());
    if (uCRC32 != m_RepairFileHeader.uDirFileCheckInfoCRC32) {
        QN_LogPrintfW(L"uCRC32 != m_RepairFileHeader.uDirFileCheckInfoCRC32\n");
        QN_LogPrintfW(L"crc32 = %d, uDirFileCheckInfoCRC32 = %d", (int)uCRC32,
                      (int)m_RepairFileHeader.uDirFileCheckInfoCRC32);
        goto Exit0;
    }

    // Names that are not terminated or would leave the package folder refuse the table.
    nRetCode = QN_DecodeDirFileCheckTable(table.data(), table.size(), &m_DirFileCheckInfoList);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "QN_DecodeDirFileCheckTable()");

    for (const QNPK_DIR_FILE_CHECK_INFO_ITEM& rItem : m_DirFileCheckInfoList) {
        const std::wstring strPath = _PackagePath(rItem.strFileName);
        QNLOG_PROCESS_ERROR_TEXT(strPath.size() < QN_MAX_PATH, "nRetCode > 0");
        if (!QN_PathExistsW(strPath.c_str())) {
            m_BrokenDirFileList.push_back({rItem.strFileName, rItem.uCRC32});
            continue;
        }
        // A folder file that cannot be read is as broken as a wrong one: it is fetched again.
        nRetCode = QN_GetFileCRC32(strPath.c_str(), &uCRC32);
        if (!nRetCode) {
            QN_LogPrintfW(L"folder file cannot be read, marked broken: %ls", strPath.c_str());
            m_BrokenDirFileList.push_back({rItem.strFileName, rItem.uCRC32});
            continue;
        }
        if (uCRC32 != rItem.uCRC32) m_BrokenDirFileList.push_back({rItem.strFileName, rItem.uCRC32});
    }

    hrResult = S_OK;
Exit0:
    return hrResult;
}

int QNPackageRepair::_GetDataFileNameAndPath(const wchar_t* pcszDirectory, uint32_t uIndex, std::wstring* pstrRetName,
                                             std::wstring* pstrRetPath) {
    int nResult = 0;
    int nRetCode = 0;
    wchar_t szName[QN_MAX_PATH];
    wchar_t szPath[QN_MAX_PATH];

    QNLOG_PROCESS_ERROR(pcszDirectory);
    QNLOG_PROCESS_ERROR(pstrRetPath);

    nRetCode = QN_FormatDataFileNameAndPath(pcszDirectory, L"Package", uIndex, szName, szPath);
    QNLOG_PROCESS_ERROR(nRetCode);

    if (pstrRetName) *pstrRetName = szName;
    *pstrRetPath = szPath;
    nResult = 1;
Exit0:
    return nResult;
}

HRESULT QNPackageRepair::_CheckDataFile() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    FILE* fpDataFile = nullptr;
    int64_t llFileSize = 0;
    std::wstring strName, strPath;
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;

    m_BrokenDataFileList.clear();

    for (uint32_t i = 0; i < rConfig.uDataFileCount; ++i) {
        nRetCode = _GetDataFileNameAndPath(m_szPackageDirectory, i, &strName, &strPath);
        QNLOG_PROCESS_ERROR(nRetCode);

        if (!QN_PathExistsW(strPath.c_str())) {
            m_BrokenDataFileList.push_back({strName, rConfig.ullDataFileSize});
            continue;
        }
        fpDataFile = QN_wfopen(strPath.c_str(), "rb");
        if (!fpDataFile) QN_LogPrintfW(L"Error: open file failed. szDataFilePath = %ls", strPath.c_str());
        QNLOG_PROCESS_ERROR(fpDataFile);
        nRetCode = QN_fseeki64(fpDataFile, 0, SEEK_END);
        QNLOG_PROCESS_ERROR(nRetCode != -1);
        llFileSize = QN_ftelli64(fpDataFile);
        QNLOG_PROCESS_ERROR(llFileSize != -1);
        std::fclose(fpDataFile);
        fpDataFile = nullptr;

        if ((uint64_t)llFileSize != rConfig.ullDataFileSize)
            m_BrokenDataFileList.push_back({strName, rConfig.ullDataFileSize});
    }

    hrResult = S_OK;
Exit0:
    if (fpDataFile) std::fclose(fpDataFile);
    return hrResult;
}

HRESULT QNPackageRepair::_RepairDataFile() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    FILE* fpDataFile = nullptr;
    int nDataFileFd = -1;
    const size_t uCount = m_BrokenDataFileList.size();

    for (size_t k = 0; k < uCount; ++k) {
        const QNPK_BROKEN_DATA_FILE& rFile = m_BrokenDataFileList[k];
        const std::wstring strFullDestFilePath = _PackagePath(rFile.strFileName);

        QNLOG_PROCESS_ERROR(m_eStatusCode.load() != QN_RPS_ERROR_ABROT);
        QNLOG_PROCESS_ERROR_TEXT(strFullDestFilePath.size() < QN_MAX_PATH, "nRetCode > 0");

        if (QN_PathExistsW(strFullDestFilePath.c_str())) {
            QN_SetFileAttributesNormalW(strFullDestFilePath.c_str());
            fpDataFile = QN_wfopen(strFullDestFilePath.c_str(), "rb+");
        } else {
            fpDataFile = QN_wfopen(strFullDestFilePath.c_str(), "wb");
        }
        if (!fpDataFile)
            QN_LogPrintfW(L"Error: open file failed. szFullDestFilePath = %ls", strFullDestFilePath.c_str());
        QNLOG_PROCESS_ERROR(fpDataFile);

        nDataFileFd = QN_fileno(fpDataFile);
        QNLOG_PROCESS_ERROR(nDataFileFd != -1);
        // Cut, or extend with allocated zeros (no holes: the repair writes through mappings).
        nRetCode = QN_chsize(nDataFileFd, (int64_t)rFile.ullFileSize);
        if (nRetCode != 0)
            QN_LogPrintfW(L"data file length not set, error %u: %ls", QN_GetLastError(), strFullDestFilePath.c_str());
        QNLOG_PROCESS_ERROR(nRetCode == 0);

        std::fclose(fpDataFile);
        fpDataFile = nullptr;
        m_fCheckProgress.store(kProgressDirFiles + (kProgressDataFiles - kProgressDirFiles) * (float)(k + 1) /
                                                       (float)uCount);
    }

    hrResult = S_OK;
Exit0:
    if (fpDataFile) std::fclose(fpDataFile);
    return hrResult;
}

HRESULT QNPackageRepair::_CheckFileBlock() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    uint32_t uCRC32 = 0;
    uint32_t uDataFileIndex = 0;
    uint64_t ullOffsetInDataFile = 0;
    size_t uReadCount = 0;
    std::vector<uint8_t> table;
    std::vector<FILE*> fpDataFileArray;
    std::vector<uint8_t> fileBuffer;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    std::wstring strPath;
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;
    const uint64_t ullSize = m_RepairFileHeader.ullElemFileCheckInfoSize;
    const uint64_t ullPackageSize = PackageSize(rConfig);
    size_t uCount = 0;

    m_BrokenFileBlockIndexList.clear();
    m_CorrectElemFileBlockList.clear();

    // Blocks do not overlap and are at least a byte long, so the package bounds their number;
    // a larger count is refused before anything is allocated for it.
    QNLOG_PROCESS_ERROR(ullSize / QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE <= ullPackageSize);

    fpDataFileArray.assign(rConfig.uDataFileCount, nullptr);
    for (uint32_t i = 0; i < rConfig.uDataFileCount; ++i) {
        nRetCode = _GetDataFileNameAndPath(m_szPackageDirectory, i, nullptr, &strPath);
        QNLOG_PROCESS_ERROR(nRetCode);
        fpDataFileArray[i] = QN_wfopen(strPath.c_str(), "rb");
        if (!fpDataFileArray[i]) QN_LogPrintfW(L"Error: open file failed. szDataFilePath = %ls", strPath.c_str());
        QNLOG_PROCESS_ERROR(fpDataFileArray[i]);
    }

    nRetCode = _FetchTable(QN_CALL_SITE(), m_RepairFileHeader.ullElemFileCheckInfoOffset, ullSize,
                           QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE, &table);
    QNLOG_PROCESS_ERROR(nRetCode);
    uCRC32 = QN_GetBufferCRC32(0, table.data(), table.size());
    if (uCRC32 != m_RepairFileHeader.uElemFileCheckInfoCRC32) {
        QN_LogPrintfW(L"uCRC32 != m_RepairFileHeader.uElemFileCheckInfoCRC32\n");
        QN_LogPrintfW(L"uCRC32 = %d, m_RepairFileHeader.uElemFileCheckInfoCRC32 = %d \n", (int)uCRC32,
                      (int)m_RepairFileHeader.uElemFileCheckInfoCRC32);
        goto Exit0;
    }
    nRetCode = QN_DecodeElemFileCheckTable(table.data(), table.size(), &m_CorrectElemFileBlockList);
    QNLOG_PROCESS_ERROR(nRetCode);
    uCount = m_CorrectElemFileBlockList.size();

    // Every record is checked before any block is read: a block outside its data file, one
    // that cannot be fetched by one range, or two blocks sharing bytes refuse the table.
    ranges.reserve(uCount);
    for (const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rItem : m_CorrectElemFileBlockList) {
        QNLOG_PROCESS_ERROR_TEXT(rItem.ullAddress >= rConfig.ullBaseAddress,
                                 "it->ullAddress >= m_RepairFileHeader.DataFileConfig.ullBaseAddress");
        QNLOG_PROCESS_ERROR_TEXT(rItem.ullSize > 0, "it->ullSize > 0");
        QNLOG_PROCESS_ERROR(rItem.ullSize <= 0xFFFFFFFFull);
        nRetCode = QN_GetDataFileLocation(rConfig, rItem.ullAddress, rItem.ullSize, &uDataFileIndex,
                                          &ullOffsetInDataFile);
        QNLOG_PROCESS_ERROR_TEXT(nRetCode, "uDataFileIndex < uDataFileCount");
        ranges.emplace_back(rItem.ullAddress, rItem.ullSize);
    }
    nRetCode = QN_RangesAreDisjoint(ranges);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "blocks do not overlap");

    for (size_t i = 0; i < uCount; ++i) {
        const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rItem = m_CorrectElemFileBlockList[i];

        QN_PackageRepairStep("check-block", (uint32_t)i);
        QNLOG_PROCESS_ERROR(m_eStatusCode.load() != QN_RPS_ERROR_ABROT);

        QN_GetDataFileLocation(rConfig, rItem.ullAddress, rItem.ullSize, &uDataFileIndex, &ullOffsetInDataFile);
        nRetCode = QN_fseeki64(fpDataFileArray[uDataFileIndex], (int64_t)ullOffsetInDataFile, SEEK_SET);
        QNLOG_PROCESS_ERROR(nRetCode == 0);

        if (fileBuffer.size() < rItem.ullSize) {
            try {
                fileBuffer.assign((size_t)rItem.ullSize, 0);
            } catch (const std::bad_alloc&) {
                QNLOG_PROCESS_ERROR_TEXT(false, "pbyFileBuffer");
            }
        }

        uReadCount = std::fread(fileBuffer.data(), (size_t)rItem.ullSize, 1, fpDataFileArray[uDataFileIndex]);
        if (uReadCount != 1) {
            QN_LogPrintfW(L"_CheckFileBlock error: ullOffsetInDataFile:%llu, ullFileSize:%llu, uDataFileIndex:%d, "
                          L"size:%d \n",
                          (unsigned long long)ullOffsetInDataFile, (unsigned long long)rItem.ullSize,
                          (int)uDataFileIndex, (int)uCount);
        }
        QNLOG_PROCESS_ERROR(uReadCount == 1);

        if (QN_GetElemFileBlockCRC32(fileBuffer.data(), rItem.ullSize) != rItem.uCRC32)
            m_BrokenFileBlockIndexList.push_back((uint32_t)i);

        m_fCheckProgress.store(kProgressDataFiles + (kProgressBlocks - kProgressDataFiles) * (float)i / (float)uCount);
    }

    hrResult = S_OK;
Exit0:
    for (FILE* fp : fpDataFileArray)
        if (fp) std::fclose(fp);
    return hrResult;
}

HRESULT QNPackageRepair::_CheckEmptyBlock() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    bool bReaderOpen = false;
    uint32_t uCRC32 = 0;
    QN_DataFileReader reader;
    std::vector<uint8_t> table;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;
    const uint64_t ullSize = m_RepairFileHeader.ullEmptyBlockRegionInfoSize;
    const uint64_t ullPackageSize = PackageSize(rConfig);

    m_BrokenEmptyBlockRegionIndexList.clear();
    m_EmptyBlockRegionList.clear();

    nRetCode = reader.Init(m_szPackageDirectory, rConfig.ullDataFileSize, rConfig.uDataFileCount);
    QNLOG_PROCESS_ERROR(nRetCode);
    bReaderOpen = true;

    QNLOG_PROCESS_ERROR(ullSize / QNPK_EMPTY_BLOCK_REGION_ITEM_SIZE <= ullPackageSize);
    nRetCode = _FetchTable(QN_CALL_SITE(), m_RepairFileHeader.ullEmptyBlockRegionInfoOffset, ullSize,
                           QNPK_EMPTY_BLOCK_REGION_ITEM_SIZE, &table);
    QNLOG_PROCESS_ERROR(nRetCode);
    uCRC32 = QN_GetBufferCRC32(0, table.data(), table.size());
    if (uCRC32 != m_RepairFileHeader.uEmptyBlockRegionInfoCRC32) {
        QN_LogPrintfW(L"uCRC32 != m_RepairFileHeader.uEmptyBlockRegionInfoCRC32\n");
        QN_LogPrintfW(L"uCRC32 = %u, m_RepairFileHeader.uEmptyBlockRegionInfoCRC32 = %u \n", uCRC32,
                      m_RepairFileHeader.uEmptyBlockRegionInfoCRC32);
        goto Exit0;
    }
    nRetCode = QN_DecodeEmptyBlockRegionTable(table.data(), table.size(), &m_EmptyBlockRegionList);
    QNLOG_PROCESS_ERROR(nRetCode);

    // Regions get the checks blocks get, and share no byte with each other or with a block:
    // a refill would otherwise wipe a block, or a region outside the package would be
    // reported broken by every check.
    for (const QNPK_EMPTY_BLOCK_REGION_ITEM& rItem : m_EmptyBlockRegionList) {
        QNLOG_PROCESS_ERROR_TEXT(rItem.ullAddress >= rConfig.ullBaseAddress,
                                 "it->ullAddress >= m_RepairFileHeader.DataFileConfig.ullBaseAddress");
        QNLOG_PROCESS_ERROR_TEXT(rItem.ullSize > 0, "it->ullSize > 0");
        nRetCode = QN_GetDataFileLocation(rConfig, rItem.ullAddress, rItem.ullSize, nullptr, nullptr);
        QNLOG_PROCESS_ERROR_TEXT(nRetCode, "uDataFileIndex < uDataFileCount");
        ranges.emplace_back(rItem.ullAddress, rItem.ullSize);
    }
    for (const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rItem : m_CorrectElemFileBlockList)
        ranges.emplace_back(rItem.ullAddress, rItem.ullSize);
    nRetCode = QN_RangesAreDisjoint(ranges);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "regions and blocks do not overlap");

    for (size_t j = 0; j < m_EmptyBlockRegionList.size(); ++j) {
        const QNPK_EMPTY_BLOCK_REGION_ITEM& rItem = m_EmptyBlockRegionList[j];
        QN_PackageRepairStep("check-region", (uint32_t)j);
        QNLOG_PROCESS_ERROR(m_eStatusCode.load() != QN_RPS_ERROR_ABROT);
        if (reader.IsEmptySpace(rItem.ullAddress - rConfig.ullBaseAddress, rItem.ullSize) != 1)
            m_BrokenEmptyBlockRegionIndexList.push_back((uint32_t)j);
    }

    hrResult = S_OK;
Exit0:
    if (bReaderOpen) reader.Uninit();
    return hrResult;
}
