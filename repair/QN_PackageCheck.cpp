// The check phase of the package repairer: the header of the repair information, then
// Package.CFG, the folder files, the block and region tables (fetched and checked against the
// header and each other before any data file is touched), the data files' presence and length
// (set right at once when the disk has room for all of it), every block's checksum and every
// empty region's fill. Findings only fill the lists; failures are downloads (7) and bad
// tables, records and file-system errors (5). A failed check removes the data files it made.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "QNPackageRepair.h"
#include "QN_LogW.h"
#include "qn_file.h"
#include "qn_file_io.h"
#include "qn_machine.h"
#include "qn_platform.h"
#include "qn_string.h"
#include "repair_test_hooks.h"

namespace {

constexpr float kProgressCfg = 0.03f;
constexpr float kCheckProgressDirFiles = 0.06f;
constexpr float kProgressDataFiles = 0.1f;
constexpr float kProgressBlocks = 0.9f;

std::atomic<uint64_t> g_ullFreeSpaceLimit{UINT64_MAX};

// The steps whose names the failure lines of the block and region tables carry.
const char kCheckFileBlockName[] = "QNPackageRepair::_CheckFileBlock";
const char kCheckEmptyBlockName[] = "QNPackageRepair::_CheckEmptyBlock";

// The package's size in bytes; the header check has made sure that it does not overflow.
uint64_t PackageSize(const DataConfigFile& rConfig) { return rConfig.ullDataFileSize * rConfig.uDataFileCount; }

}  // namespace

namespace qn::testing {
void SetPackageFreeSpaceLimit(uint64_t ullBytes) { g_ullFreeSpaceLimit.store(ullBytes); }
}  // namespace qn::testing

HRESULT QNPackageRepair::_CheckFunction() {
    HRESULT hrResult = E_FAIL;
    HRESULT hrRetCode = E_FAIL;
    uint64_t ullDataFileGrowth = 0;

    // A check always starts from empty findings, so that a second check on the same object
    // reports what is broken now.
    m_bCfgFileBroken = 0;
    m_BrokenDirFileList.clear();
    m_BrokenDataFileList.clear();
    m_BrokenFileBlockIndexList.clear();
    m_BrokenEmptyBlockRegionIndexList.clear();
    _PublishBrokenElemFileCount();
    m_bDownloadFailed = false;
    m_CreatedDataFileList.clear();
    // A sound package is never repaired: a configuration side file of a killed run goes here.
    _RemoveStaleCfgSideFile();

    hrRetCode = _InitConnection();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);

    hrRetCode = _CheckCfgFile();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    _PublishBrokenElemFileCount();
    m_fCheckProgress.store(kProgressCfg);

    hrRetCode = _CheckDirFile();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    _PublishBrokenElemFileCount();
    m_fCheckProgress.store(kCheckProgressDirFiles);

    // The data files are created, extended or cut only by a header whose tables fit it.
    hrRetCode = _CheckPackageTables();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);

    hrRetCode = _CheckDataFile(&ullDataFileGrowth);
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    if (!m_BrokenDataFileList.empty()) {
        hrRetCode = _CheckDataFileSpace(ullDataFileGrowth);
        QNLOG_COM_PROCESS_ERROR(hrRetCode);
        _RepairDataFile();
    }
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
    if (FAILED(hrResult)) {
        _RemoveCreatedDataFiles();
        _RaiseStatus(m_bDownloadFailed ? QN_RPS_ERROR_DOWNLOAD : QN_RPS_ERROR_FAILED);
    }
    m_CreatedDataFileList.clear();
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
    // Every position of the package has an address: base + count x size stays within 64 bits.
    QNLOG_PROCESS_ERROR(m_RepairFileHeader.DataFileConfig.ullDataFileSize <=
                        (UINT64_MAX - m_RepairFileHeader.DataFileConfig.ullBaseAddress) /
                            m_RepairFileHeader.DataFileConfig.uDataFileCount);

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

    nRetCode = _FetchTable(QN_CALL_SITE(), m_RepairFileHeader.ullDirFileCheckInfoOffset, ullSize, QNPK_DIR_FILE_CHECK_INFO_ITEM_SIZE,
                           &table);
    if (!nRetCode) goto Exit0;

    uCRC32 = QN_GetBufferCRC32(0, table.data(), table.size());
    if (uCRC32 != m_RepairFileHeader.uDirFileCheckInfoCRC32) {
        QN_LogPrintfW(L"uCRC32 != m_RepairFileHeader.uDirFileCheckInfoCRC32\n");
        QN_LogPrintfW(L"crc32 = %d, uDirFileCheckInfoCRC32 = %d", (int)uCRC32,
                      (int)m_RepairFileHeader.uDirFileCheckInfoCRC32);
        goto Exit0;
    }

    // Names that are not terminated, would leave the package folder, or name Package.CFG, a
    // data file or the file of another record refuse the table.
    nRetCode = QN_DecodeDirFileCheckTable(table.data(), table.size(), m_RepairFileHeader.DataFileConfig.uDataFileCount,
                                          &m_DirFileCheckInfoList);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "QN_DecodeDirFileCheckTable()");
    std::vector<uint8_t>().swap(table);

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

int QNPackageRepair::_FetchCheckedTable(const QN_CallSite& site, uint64_t ullOffset, uint64_t ullSize,
                                        size_t uRecordSize, uint32_t uExpectedCRC,
                                        const std::function<void(uint32_t)>& fnLogMismatch,
                                        const std::function<int(const std::vector<uint8_t>&)>& fnDecode) {
    // The raw table is dropped when this step returns; only the decoded records stay.
    std::vector<uint8_t> table;
    if (!_FetchTable(site, ullOffset, ullSize, uRecordSize, &table)) return 0;
    const uint32_t uCRC32 = QN_GetBufferCRC32(0, table.data(), table.size());
    if (uCRC32 != uExpectedCRC) {
        fnLogMismatch(uCRC32);
        return 0;
    }
    if (!fnDecode(table)) {
        QNLog_ProcessErrorLine(L"nRetCode", site.nLine, site.cszFunction);
        return 0;
    }
    return 1;
}

HRESULT QNPackageRepair::_FetchElemFileCheckTable() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    const uint64_t ullSize = m_RepairFileHeader.ullElemFileCheckInfoSize;
    const uint64_t ullPackageSize = PackageSize(m_RepairFileHeader.DataFileConfig);

    m_CorrectElemFileBlockList.clear();

    // The table belongs to the block check: its failure lines carry that step's name, and they
    // are the only lines of a failure (the callers add none).
    // Blocks do not overlap and are at least a byte long, so the package bounds their number;
    // a larger count is refused before anything is allocated for it.
    if (ullSize / QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE > ullPackageSize) {
        QNLog_ProcessErrorLine(L"ullSize / QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE <= ullPackageSize", __LINE__,
                               kCheckFileBlockName);
        goto Exit0;
    }

    nRetCode = _FetchCheckedTable(
        QN_CallSite{kCheckFileBlockName, __LINE__}, m_RepairFileHeader.ullElemFileCheckInfoOffset,
        ullSize, QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE, m_RepairFileHeader.uElemFileCheckInfoCRC32,
        [this](uint32_t uCRC32) {
            QN_LogPrintfW(L"uCRC32 != m_RepairFileHeader.uElemFileCheckInfoCRC32\n");
            QN_LogPrintfW(L"uCRC32 = %d, m_RepairFileHeader.uElemFileCheckInfoCRC32 = %d \n", (int)uCRC32,
                          (int)m_RepairFileHeader.uElemFileCheckInfoCRC32);
        },
        [this](const std::vector<uint8_t>& crTable) {
            return QN_DecodeElemFileCheckTable(crTable.data(), crTable.size(), &m_CorrectElemFileBlockList);
        });
    if (!nRetCode) goto Exit0;

    hrResult = S_OK;
Exit0:
    return hrResult;
}

HRESULT QNPackageRepair::_FetchEmptyBlockRegionTable() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    const uint64_t ullSize = m_RepairFileHeader.ullEmptyBlockRegionInfoSize;
    const uint64_t ullPackageSize = PackageSize(m_RepairFileHeader.DataFileConfig);
    const uint64_t ullBlockCount = m_CorrectElemFileBlockList.size();

    m_EmptyBlockRegionList.clear();

    // The table belongs to the region check: its failure lines carry that step's name, and they
    // are the only lines of a failure (the callers add none).
    // Regions share no byte with each other or with a block: together they fit the package.
    if (ullSize / QNPK_EMPTY_BLOCK_REGION_ITEM_SIZE > ullPackageSize - ullBlockCount) {
        QNLog_ProcessErrorLine(L"ullSize / QNPK_EMPTY_BLOCK_REGION_ITEM_SIZE <= ullPackageSize - ullBlockCount",
                               __LINE__, kCheckEmptyBlockName);
        goto Exit0;
    }
    nRetCode = _FetchCheckedTable(
        QN_CallSite{kCheckEmptyBlockName, __LINE__}, m_RepairFileHeader.ullEmptyBlockRegionInfoOffset,
        ullSize, QNPK_EMPTY_BLOCK_REGION_ITEM_SIZE, m_RepairFileHeader.uEmptyBlockRegionInfoCRC32,
        [this](uint32_t uCRC32) {
            QN_LogPrintfW(L"uCRC32 != m_RepairFileHeader.uEmptyBlockRegionInfoCRC32\n");
            QN_LogPrintfW(L"uCRC32 = %u, m_RepairFileHeader.uEmptyBlockRegionInfoCRC32 = %u \n", uCRC32,
                          m_RepairFileHeader.uEmptyBlockRegionInfoCRC32);
        },
        [this](const std::vector<uint8_t>& crTable) {
            return QN_DecodeEmptyBlockRegionTable(crTable.data(), crTable.size(), &m_EmptyBlockRegionList);
        });
    if (!nRetCode) goto Exit0;

    hrResult = S_OK;
Exit0:
    return hrResult;
}

int QNPackageRepair::_CheckRecordAddress(const QN_CallSite& site, uint64_t ullAddress, uint64_t ullSize, bool bBlock,
                                         uint32_t* puUsedDataFileCount) {
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;
    uint32_t uDataFileIndex = 0;
    const wchar_t* cwszFailed = nullptr;

    if (ullAddress < rConfig.ullBaseAddress)
        cwszFailed = L"it->ullAddress >= m_RepairFileHeader.DataFileConfig.ullBaseAddress";
    else if (ullSize == 0)
        cwszFailed = L"it->ullSize > 0";
    else if (bBlock && ullSize > 0xFFFFFFFFull)
        cwszFailed = L"rItem.ullSize <= 0xFFFFFFFFull";
    else if (!QN_GetDataFileLocation(rConfig, ullAddress, ullSize, &uDataFileIndex, nullptr))
        cwszFailed = L"uDataFileIndex < uDataFileCount";
    if (cwszFailed) {
        QNLog_ProcessErrorLine(cwszFailed, site.nLine, site.cszFunction);
        return 0;
    }
    *puUsedDataFileCount = std::max(*puUsedDataFileCount, uDataFileIndex + 1);
    return 1;
}

HRESULT QNPackageRepair::_CheckPackageTables() {
    HRESULT hrResult = E_FAIL;
    HRESULT hrRetCode = E_FAIL;
    int nRetCode = 0;
    uint32_t uUsedDataFileCount = 0;
    size_t uBlockCount = 0;
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;

    // The block and region tables are fetched and their records checked here, before any data
    // file is touched, but each is the block or the region check's work: every line of a
    // failure carries that step's name, and a failure adds none in this function's name.
    m_EmptyBlockRegionList.clear();
    hrRetCode = _FetchElemFileCheckTable();
    if (FAILED(hrRetCode)) goto Exit0;
    uBlockCount = m_CorrectElemFileBlockList.size();

    // Every block lies inside one data file the header describes and can be fetched by one
    // range, and no two blocks share a byte.
    for (const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rItem : m_CorrectElemFileBlockList) {
        nRetCode = _CheckRecordAddress(QN_CallSite{kCheckFileBlockName, __LINE__}, rItem.ullAddress, rItem.ullSize,
                                       true, &uUsedDataFileCount);
        if (!nRetCode) goto Exit0;
    }
    nRetCode = QN_RangesAreDisjoint(m_CorrectElemFileBlockList.size(), [this](size_t i) {
        return std::make_pair(m_CorrectElemFileBlockList[i].ullAddress, m_CorrectElemFileBlockList[i].ullSize);
    });
    if (!nRetCode) {
        QNLog_ProcessErrorLine(L"blocks do not overlap", __LINE__, kCheckFileBlockName);
        goto Exit0;
    }

    hrRetCode = _FetchEmptyBlockRegionTable();
    if (FAILED(hrRetCode)) goto Exit0;

    // Regions get the checks blocks get, and share no byte with each other or with a block:
    // a refill would otherwise wipe a block, or a region outside the package would be
    // reported broken by every check.
    for (const QNPK_EMPTY_BLOCK_REGION_ITEM& rItem : m_EmptyBlockRegionList) {
        nRetCode = _CheckRecordAddress(QN_CallSite{kCheckEmptyBlockName, __LINE__}, rItem.ullAddress, rItem.ullSize,
                                       false, &uUsedDataFileCount);
        if (!nRetCode) goto Exit0;
    }
    nRetCode = QN_RangesAreDisjoint(uBlockCount + m_EmptyBlockRegionList.size(), [this, uBlockCount](size_t i) {
        if (i < uBlockCount)
            return std::make_pair(m_CorrectElemFileBlockList[i].ullAddress, m_CorrectElemFileBlockList[i].ullSize);
        return std::make_pair(m_EmptyBlockRegionList[i - uBlockCount].ullAddress,
                              m_EmptyBlockRegionList[i - uBlockCount].ullSize);
    });
    if (!nRetCode) {
        QNLog_ProcessErrorLine(L"regions and blocks do not overlap", __LINE__, kCheckEmptyBlockName);
        goto Exit0;
    }

    // A data file is there because the package's blocks reached into it, and every byte no
    // block holds is an empty region: the last data file holds at least one record. A larger
    // count names data files that no table can fill, and would only take disk space.
    QNLOG_PROCESS_ERROR(rConfig.uDataFileCount <= uUsedDataFileCount);

    hrResult = S_OK;
Exit0:
    return hrResult;
}

HRESULT QNPackageRepair::_CheckDataFile(uint64_t* pullRetGrowth) {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    FILE* fpDataFile = nullptr;
    int64_t llFileSize = 0;
    uint64_t ullGrowth = 0;
    std::wstring strName, strPath;
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;

    m_BrokenDataFileList.clear();

    for (uint32_t i = 0; i < rConfig.uDataFileCount; ++i) {
        nRetCode = _GetDataFileNameAndPath(m_szPackageDirectory, i, &strName, &strPath);
        QNLOG_PROCESS_ERROR(nRetCode);

        if (!QN_PathExistsW(strPath.c_str())) {
            m_BrokenDataFileList.push_back({strName, rConfig.ullDataFileSize});
            ullGrowth += rConfig.ullDataFileSize;
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

        if ((uint64_t)llFileSize != rConfig.ullDataFileSize) {
            m_BrokenDataFileList.push_back({strName, rConfig.ullDataFileSize});
            if ((uint64_t)llFileSize < rConfig.ullDataFileSize) ullGrowth += rConfig.ullDataFileSize - (uint64_t)llFileSize;
        }
    }

    if (pullRetGrowth) *pullRetGrowth = ullGrowth;
    hrResult = S_OK;
Exit0:
    if (fpDataFile) std::fclose(fpDataFile);
    return hrResult;
}

HRESULT QNPackageRepair::_CheckDataFileSpace(uint64_t ullGrowth) {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    uint64_t ullFreeSpace = 0;

    nRetCode = QN_GetDiskFreeSpaceExW(m_szPackageDirectory, &ullFreeSpace, nullptr, nullptr);
    QNLOG_PROCESS_ERROR(nRetCode);
    ullFreeSpace = std::min(ullFreeSpace, g_ullFreeSpaceLimit.load(std::memory_order_relaxed));

    // All data files get their length, or none: a disk that cannot take them all would be
    // filled for a check that then fails.
    if (ullGrowth > ullFreeSpace) {
        QN_LogPrintfW(L"data files need %llu more bytes, %llu bytes are free: error %u",
                      (unsigned long long)ullGrowth, (unsigned long long)ullFreeSpace, (unsigned)ERROR_DISK_FULL);
        QN_SetLastError(ERROR_DISK_FULL);
        hrResult = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    }
    QNLOG_PROCESS_ERROR(ullGrowth <= ullFreeSpace);

    hrResult = S_OK;
Exit0:
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

        QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT);
        QNLOG_PROCESS_ERROR_TEXT(strFullDestFilePath.size() < QN_MAX_PATH, "nRetCode > 0");

        if (QN_PathExistsW(strFullDestFilePath.c_str())) {
            QN_SetFileAttributesNormalW(strFullDestFilePath.c_str());
            fpDataFile = QN_wfopen(strFullDestFilePath.c_str(), "rb+");
        } else {
            fpDataFile = QN_wfopen(strFullDestFilePath.c_str(), "wb");
            // Made by this run: a check that fails removes it again.
            if (fpDataFile) m_CreatedDataFileList.push_back(strFullDestFilePath);
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
        m_fCheckProgress.store(kCheckProgressDirFiles + (kProgressDataFiles - kCheckProgressDirFiles) *
                                                            (float)(k + 1) / (float)uCount);
    }

    hrResult = S_OK;
Exit0:
    if (fpDataFile) std::fclose(fpDataFile);
    return hrResult;
}

void QNPackageRepair::_RemoveCreatedDataFiles() {
    // Only names this run created; a file that was there before the check stays whatever
    // happened. The unlink removes the name itself, never what a link there points to.
    for (const std::wstring& strPath : m_CreatedDataFileList) {
        if (!QN_DeleteFile(QN_NativePathFromWide(strPath.c_str()).c_str()))
            QN_LogPrintfW(L"data file made by the check not removed, error %u: %ls", QN_GetLastError(), strPath.c_str());
    }
    m_CreatedDataFileList.clear();
}

int QNPackageRepair::_IsFileBlockSound(FILE* fpDataFile, uint32_t uDataFileIndex, uint64_t ullOffsetInDataFile,
                                       const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rItem, std::vector<uint8_t>* pFileBuffer,
                                       bool* pbRetSound) {
    int nResult = 0;
    int nRetCode = 0;
    size_t uReadCount = 0;

    nRetCode = QN_fseeki64(fpDataFile, (int64_t)ullOffsetInDataFile, SEEK_SET);
    QNLOG_PROCESS_ERROR(nRetCode == 0);

    // One buffer serves every block; it grows only for a larger block.
    if (pFileBuffer->size() < rItem.ullSize) {
        try {
            pFileBuffer->assign((size_t)rItem.ullSize, 0);
        } catch (const std::bad_alloc&) {
            QNLOG_PROCESS_ERROR_TEXT(false, "pbyFileBuffer");
        }
    }

    uReadCount = std::fread(pFileBuffer->data(), (size_t)rItem.ullSize, 1, fpDataFile);
    if (uReadCount != 1) {
        QN_LogPrintfW(L"_CheckFileBlock error: ullOffsetInDataFile:%llu, ullFileSize:%llu, uDataFileIndex:%d, "
                      L"size:%d \n",
                      (unsigned long long)ullOffsetInDataFile, (unsigned long long)rItem.ullSize, (int)uDataFileIndex,
                      (int)m_CorrectElemFileBlockList.size());
    }
    QNLOG_PROCESS_ERROR(uReadCount == 1);

    *pbRetSound = QN_GetElemFileBlockCRC32(pFileBuffer->data(), rItem.ullSize) == rItem.uCRC32;
    nResult = 1;
Exit0:
    return nResult;
}

HRESULT QNPackageRepair::_CheckFileBlock() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    bool bSound = false;
    uint32_t uDataFileIndex = 0;
    uint64_t ullOffsetInDataFile = 0;
    std::wstring strPath;
    std::vector<FILE*> pfpDataFileArray;
    std::vector<uint8_t> fileBuffer;
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;
    const size_t uCount = m_CorrectElemFileBlockList.size();

    m_BrokenFileBlockIndexList.clear();

    // Every data file stays open for the whole pass.
    pfpDataFileArray.assign(rConfig.uDataFileCount, nullptr);
    for (uint32_t i = 0; i < rConfig.uDataFileCount; ++i) {
        nRetCode = _GetDataFileNameAndPath(m_szPackageDirectory, i, nullptr, &strPath);
        QNLOG_PROCESS_ERROR(nRetCode);
        pfpDataFileArray[i] = QN_wfopen(strPath.c_str(), "rb");
        if (!pfpDataFileArray[i]) QN_LogPrintfW(L"Error: open file failed. szDataFilePath = %ls", strPath.c_str());
        QNLOG_PROCESS_ERROR(pfpDataFileArray[i]);
    }

    // The records were fetched and checked against the header before the data files were
    // touched (_CheckPackageTables): each lies inside its data file.
    for (size_t i = 0; i < uCount; ++i) {
        const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rItem = m_CorrectElemFileBlockList[i];

        QN_PackageRepairStep("check-block", (uint32_t)i);
        QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT);

        QN_GetDataFileLocation(rConfig, rItem.ullAddress, rItem.ullSize, &uDataFileIndex, &ullOffsetInDataFile);
        nRetCode = _IsFileBlockSound(pfpDataFileArray[uDataFileIndex], uDataFileIndex, ullOffsetInDataFile, rItem,
                                     &fileBuffer, &bSound);
        QNLOG_PROCESS_ERROR(nRetCode);
        if (!bSound) m_BrokenFileBlockIndexList.push_back((uint32_t)i);

        m_fCheckProgress.store(kProgressDataFiles + (kProgressBlocks - kProgressDataFiles) * (float)i / (float)uCount);
    }

    hrResult = S_OK;
Exit0:
    for (FILE* fp : pfpDataFileArray)
        if (fp) std::fclose(fp);
    return hrResult;
}

HRESULT QNPackageRepair::_CheckEmptyBlock() {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;
    bool bReaderOpen = false;
    QN_DataFileReader reader;
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;

    m_BrokenEmptyBlockRegionIndexList.clear();

    nRetCode = reader.Init(m_szPackageDirectory, rConfig.ullDataFileSize, rConfig.uDataFileCount);
    QNLOG_PROCESS_ERROR(nRetCode);
    bReaderOpen = true;

    // The regions were fetched and checked with the blocks (_CheckPackageTables).
    for (size_t j = 0; j < m_EmptyBlockRegionList.size(); ++j) {
        const QNPK_EMPTY_BLOCK_REGION_ITEM& rItem = m_EmptyBlockRegionList[j];
        QN_PackageRepairStep("check-region", (uint32_t)j);
        QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT);
        if (reader.IsEmptySpace(rItem.ullAddress - rConfig.ullBaseAddress, rItem.ullSize) != 1)
            m_BrokenEmptyBlockRegionIndexList.push_back((uint32_t)j);
    }

    hrResult = S_OK;
Exit0:
    if (bReaderOpen) reader.Uninit();
    return hrResult;
}
