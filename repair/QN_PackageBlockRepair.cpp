// The repair phase of the package repairer: Package.CFG rewritten, broken folder files fetched
// whole and checked, broken blocks fetched in merged ranges by the download thread and written
// by the work thread from the write queue, broken empty regions refilled.
//
// A block reaches a data file only after its checksum matched. The download thread stops
// fetching as soon as the write loop fails or the repairer is stopped, and waits while too much
// is queued; the block step joins it on every way out.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "QNPackageRepair.h"
#include "QN_FilePlacement.h"
#include "QN_LogW.h"
#include "QN_MakeSureDir.h"
#include "qn_file.h"
#include "qn_file_io.h"
#include "qn_file_replace.h"
#include "qn_folder.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

constexpr float kProgressCfg = 0.03f;
constexpr float kRepairProgressDirFiles = 0.1f;
constexpr float kProgressBlocks = 0.9f;
constexpr int kWriteQueuePollMs = 100;
constexpr int kHighWaterPollMs = 20;

bool IsRealFolder(const std::string& strPath) { return QN_GetNameKind(strPath.c_str()) == QN_NAME_FOLDER; }

bool DownloadFileBlockLess(const QNPK_DOWNLOAD_FILE_BLOCK& a, const QNPK_DOWNLOAD_FILE_BLOCK& b) {
    if (a.uDataSourceID != b.uDataSourceID) return a.uDataSourceID < b.uDataSourceID;
    return a.ullOffsetInDataSource < b.ullOffsetInDataSource;
}

}  // namespace

HRESULT QNPackageRepair::_RepairFunction() {
    HRESULT hrResult = E_FAIL;
    HRESULT hrRetCode = E_FAIL;
    int nRetCode = 0;

    m_uCanNotRepairElemFileCount.store(0);
    m_bDownloadFailed = false;

    hrRetCode = _RepairCfgFile();
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    m_fRepairProgress.store(kProgressCfg);

    _RepairDirFile();
    m_fRepairProgress.store(kRepairProgressDirFiles);

    nRetCode = _RepairFileBlock();
    QNLOG_COM_PROCESS_ERROR(nRetCode ? S_OK : E_FAIL);
    m_fRepairProgress.store(kProgressBlocks);

    _RepairEmptyBlock();
    m_fRepairProgress.store(1.0f);

    _RaiseStatus(QN_RPS_SUCCESS_FINISH_REPAIR);
    hrResult = S_OK;
Exit0:
    if (FAILED(hrResult)) _RaiseStatus(m_bDownloadFailed ? QN_RPS_ERROR_DOWNLOAD : QN_RPS_ERROR_FAILED);
    return hrResult;
}

namespace {
// The name the configuration is written under before it is renamed over Package.CFG.
const wchar_t kCfgSideSuffix[] = L".qnwrite";
}  // namespace

void QNPackageRepair::_RemoveStaleCfgSideFile() {
    const std::wstring strSide = _PackagePath(L"Package.CFG") + kCfgSideSuffix;
    if (strSide.size() >= QN_MAX_PATH) return;
    QN_LastErrorKeeper keep;  // a missing side file is the usual case, not a failure to report
    QN_DeleteFile(QN_NativePathFromWide(strSide.c_str()).c_str());
}

HRESULT QNPackageRepair::_RepairCfgFile() {
    HRESULT hrResult = E_FAIL;
    FILE* fpCfgFile = nullptr;
    size_t uWriteCount = 0;
    int nRetCode = 0;
    const std::wstring strCfgFilePath = _PackagePath(L"Package.CFG");
    // The configuration is written beside its place and renamed over it: the old file stays
    // whole until the new one is, and a symbolic link in its place is replaced, not written
    // through. The side name is its own: the rename's copy fallback writes and clears a side
    // file of its own beside the target, which must not be this source.
    const std::string strCfgNative = QN_NativePathFromWide(strCfgFilePath.c_str());
    const std::string strSideNative = QN_NativePathFromWide((strCfgFilePath + kCfgSideSuffix).c_str());

    // A side file that a killed run left goes also when there is nothing to write.
    _RemoveStaleCfgSideFile();
    if (!m_bCfgFileBroken) return S_OK;

    QNLOG_PROCESS_ERROR_TEXT(strCfgFilePath.size() < QN_MAX_PATH, "nRetCode != -1");
    QN_SetFileAttributesNormalW(strCfgFilePath.c_str());

    fpCfgFile = QN_fopen(strSideNative.c_str(), "wb");
    if (!fpCfgFile) QN_LogPrintfW(L"Error: open file failed. szCfgFilePath = %ls", strCfgFilePath.c_str());
    QNLOG_PROCESS_ERROR(fpCfgFile);

    uWriteCount = std::fwrite(m_RepairFileHeader.DataFileConfig.abyRaw, QNPK_DATA_CONFIG_FILE_SIZE, 1, fpCfgFile);
    QNLOG_PROCESS_ERROR(uWriteCount == 1);

    nRetCode = std::fclose(fpCfgFile) == 0;
    fpCfgFile = nullptr;
    if (!nRetCode) QN_LogPrintfW(L"Package.CFG not written: %ls", strCfgFilePath.c_str());
    QNLOG_PROCESS_ERROR(nRetCode);

    nRetCode = QN_ReplaceFileByRename(strSideNative, strCfgNative, nullptr);
    QNLOG_PROCESS_ERROR(nRetCode);

    hrResult = S_OK;
Exit0:
    if (fpCfgFile) std::fclose(fpCfgFile);
    if (FAILED(hrResult)) QN_DeleteFile(strSideNative.c_str());
    return hrResult;
}

std::string QNPackageRepair::_DirFileTempFolder(bool bInRunTemp) const {
    if (bInRunTemp && !m_strTempFolder.empty()) return m_strTempFolder + QNPK_DIR_FILE_TEMP_SUBFOLDER "/";
    return QN_NativePathFromWide(m_szPackageDirectory) + "/.QelRepairTemp/";
}

int QNPackageRepair::_RepairDirFile() {
    int nResult = 0;
    int nRetCode = 0;
    size_t uDone = 0;
    bool bTempFolderMade = false;
    const std::string strBaseURL = QN_WideToUtf8(m_szPackageRepairURL) + "/DirFiles/" +
                                   std::to_string(m_RepairFileHeader.DataFileConfig.uDirFilesFolder) + "/";
    std::string strTempFolder = _DirFileTempFolder(true);
    auto makeTempFolder = [&] {
        return QN_MakeSureDirForFile((strTempFolder + "x").c_str()) && QN_MakeEmptyFolder(strTempFolder.c_str());
    };
    const std::string strPackageFolder = QN_NativePathFromWide(m_szPackageDirectory) + "/";

    if (m_BrokenDirFileList.empty()) return 1;

    // The downloads go into a real, empty folder of this run, never into the package folder:
    // a folder file is replaced only by a copy whose checksum matched, and nothing of a failed
    // download session is left among the package's files.
    nRetCode = makeTempFolder();
    if (!nRetCode && !m_strTempFolder.empty()) {
        // The subfolder's name holds a ':', which FAT and exFAT file systems refuse, and a
        // player's own entry may stand at its name: the step then works in the package
        // folder's own temporary folder instead.
        QN_LogPrintfW(L"folder files downloaded in the package folder: %s cannot be made", strTempFolder.c_str());
        strTempFolder = _DirFileTempFolder(false);
        nRetCode = makeTempFolder();
    }
    QNLOG_PROCESS_ERROR(nRetCode);
    bTempFolderMade = true;

    for (uDone = 0; uDone < m_BrokenDirFileList.size(); ++uDone) {
        const BrokenDirFile& rFile = m_BrokenDirFileList[uDone];
        const std::string strName = QN_WideToUtf8(rFile.strFileName);
        QN_FILE_PLACEMENT job;

        QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT);

        job.strURL = strBaseURL + strName;
        job.strTempFolder = strTempFolder;
        job.strTempName = strName;
        job.strTempFile = strTempFolder + strName;
        job.strTargetFile = strPackageFolder + strName;
        job.uCRC = rFile.uCRC32;
        job.fnStop = [this] { return _IsAborted(); };
        if (job.strURL.size() >= QN_MAX_PATH || job.strTargetFile.size() >= QN_MAX_PATH) {
            QNLOG_PROCESS_ERROR_LINE("nRetCode > 0");
            m_uCanNotRepairElemFileCount.fetch_add(1);
            continue;
        }
        // A folder in the file's place cannot be replaced by a file: nothing is fetched for it.
        if (IsRealFolder(job.strTargetFile)) {
            QN_LogPrintfW(L"folder file cannot be replaced: %s", job.strTargetFile.c_str());
            m_uCanNotRepairElemFileCount.fetch_add(1);
            continue;
        }
        // Each folder file is placed on its own; one that fails stays as it was and is counted.
        if (QN_PlaceVerifiedDownload(job, nullptr) != QN_PLACEMENT_DONE) {
            QNLOG_PROCESS_ERROR_LINE("nRetCode");
            m_uCanNotRepairElemFileCount.fetch_add(1);
        }
    }

    nResult = m_uCanNotRepairElemFileCount.load() == 0;
Exit0:
    // Folder files not reached after a stop stay broken as well.
    if (uDone < m_BrokenDirFileList.size())
        m_uCanNotRepairElemFileCount.fetch_add((uint32_t)(m_BrokenDirFileList.size() - uDone));
    if (bTempFolderMade) QN_RemoveTree(strTempFolder.c_str());
    return nResult;
}

int QNPackageRepair::_DownloadDataSourceMapFile() {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uCRC32 = 0;
    std::vector<uint8_t> table;

    m_DataSourceFileMap.clear();
    m_bDataSourceFileMapLoaded = 0;

    if (m_RepairFileHeader.ullDataSourceInfoOffset == 0) {
        QNLOG_PROCESS_ERROR(m_RepairFileHeader.ullDataSourceInfoSize == 0);
        return 1;
    }

    QNLOG_PROCESS_ERROR_TEXT(m_RepairFileHeader.ullDataSourceInfoSize % QNPK_DATA_SOURCE_INFO_ITEM_SIZE == 0,
                             "m_RepairFileHeader.ullDataSourceInfoSize % sizeof(QNPK_DATA_SOURCE_INFO_ITEM) == 0");
    nRetCode = _FetchTable(QN_CALL_SITE(), m_RepairFileHeader.ullDataSourceInfoOffset,
                           m_RepairFileHeader.ullDataSourceInfoSize, QNPK_DATA_SOURCE_INFO_ITEM_SIZE, &table,
                           L"false && \"QNPackageRepair._DownloadDataSourceMapFile()\"");
    if (!nRetCode) goto Exit0;

    uCRC32 = QN_GetBufferCRC32(0, table.data(), table.size());
    if (uCRC32 != m_RepairFileHeader.uDataSourceInfoCRC32) {
        QN_LogPrintfW(L"uCRC32 != m_RepairFileHeader.uDataSourceInfoCRC32\n");
        QN_LogPrintfW(L"crc32 = %d, m_RepairFileHeader.uDataSourceInfoCRC32 = %d", (int)uCRC32,
                      (int)m_RepairFileHeader.uDataSourceInfoCRC32);
        goto Exit0;
    }

    // A repeated id, or a name that is not terminated or would leave the server folder,
    // refuses the table.
    nRetCode = QN_DecodeDataSourceTable(table.data(), table.size(), &m_DataSourceFileMap);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "ibRetCode.second");

    m_bDataSourceFileMapLoaded = 1;
    nResult = 1;
Exit0:
    return nResult;
}

int QNPackageRepair::_RepairFileBlock() {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uCRC32 = 0;
    bool bWriterOpen = false;
    bool bThreadStarted = false;
    QN_DataFileWriter writer;
    std::vector<uint8_t> table;
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;
    const uint64_t uRepairElemFileBlockSize = m_RepairFileHeader.ullElemFileRepairInfoSize / QNPK_ELEM_FILE_REPAIR_INFO_ITEM_SIZE;
    const uint64_t uCorrectElemFileBlockSize = m_CorrectElemFileBlockList.size();

    m_uWrittenBlockCount = 0;
    m_DownloadFileBlockList.clear();
    if (m_BrokenFileBlockIndexList.empty()) return 1;

    QNLOG_PROCESS_ERROR(uRepairElemFileBlockSize == uCorrectElemFileBlockSize);

    // The data files are mapped for writing before anything is fetched.
    nRetCode = writer.Init(m_szPackageDirectory, rConfig.ullDataFileSize, rConfig.uDataFileCount);
    QNLOG_PROCESS_ERROR(nRetCode);
    bWriterOpen = true;

    nRetCode = _DownloadDataSourceMapFile();
    QNLOG_PROCESS_ERROR(nRetCode);

    nRetCode = _FetchTable(QN_CALL_SITE(), m_RepairFileHeader.ullElemFileRepairInfoOffset,
                           m_RepairFileHeader.ullElemFileRepairInfoSize, QNPK_ELEM_FILE_REPAIR_INFO_ITEM_SIZE, &table);
    if (!nRetCode) goto Exit0;
    uCRC32 = QN_GetBufferCRC32(0, table.data(), table.size());
    QNLOG_PROCESS_ERROR(uCRC32 == m_RepairFileHeader.uElemFileRepairInfoCRC32);
    nRetCode = QN_DecodeElemFileRepairTable(table.data(), table.size(), &m_RepairElemFileBlockList);
    QNLOG_PROCESS_ERROR(nRetCode);

    m_DownloadFileBlockList.reserve(m_BrokenFileBlockIndexList.size());
    for (uint32_t uBrokenElemFileIndex : m_BrokenFileBlockIndexList) {
        const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rCheck = m_CorrectElemFileBlockList[uBrokenElemFileIndex];
        const QNPK_ELEM_FILE_REPAIR_INFO_ITEM& rRepair = m_RepairElemFileBlockList[uBrokenElemFileIndex];
        QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT);
        QNLOG_PROCESS_ERROR(m_RepairElemFileBlockList[uBrokenElemFileIndex].uDataSourceID != 0);
        m_DownloadFileBlockList.push_back({rCheck.ullAddress, rCheck.ullSize, rRepair.uDataSourceID,
                                           rRepair.ullOffsetInDataSource, rCheck.uCRC32, nullptr});
    }
    std::stable_sort(m_DownloadFileBlockList.begin(), m_DownloadFileBlockList.end(), DownloadFileBlockLess);

    {
        // One download thread takes the whole sorted list.
        const int nThreadNum = 0;
        QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT);
        QNLOG_PROCESS_ERROR(nThreadNum < DOWNLOAD_THREAD_COUNT);
        QNPK_DOWNLOAD_THREAD_PARAM& rParam = m_DownloadThreadParam[nThreadNum];
        rParam.pPackageRepair = this;
        rParam.uBegin = 0;
        rParam.uEnd = m_DownloadFileBlockList.size();
        rParam.nState.store(QNPK_DTS_RUNNING);
        m_bCancelDownload.store(false);
        m_ullQueuedBytes.store(0);
        nRetCode = m_DownloadThread[nThreadNum].Create(_DownloadThreadFunction, &rParam);
        if (!nRetCode) rParam.nState.store(QNPK_DTS_FAILED);
        QNLOG_PROCESS_ERROR(nRetCode);
        bThreadStarted = true;
    }

    nRetCode = _WriteBlockToFileFromQueue(&writer);
    QNLOG_PROCESS_ERROR(nRetCode);

    nResult = 1;
Exit0:
    if (bThreadStarted) {
        if (!nResult) m_bCancelDownload.store(true);
        _EndBlockDownload();
    }
    if (bWriterOpen) writer.Uninit();
    if (!nResult && m_BrokenFileBlockIndexList.size() > m_uWrittenBlockCount)
        m_uCanNotRepairElemFileCount.fetch_add((uint32_t)(m_BrokenFileBlockIndexList.size() - m_uWrittenBlockCount));
    for (QNPK_DOWNLOAD_FILE_BLOCK& entry : m_DownloadFileBlockList) {
        delete[] entry.pbyBuffer;
        entry.pbyBuffer = nullptr;
    }
    return nResult;
}

void QNPackageRepair::_EndBlockDownload() {
    for (QN_PakThread& thread : m_DownloadThread) thread.Wait();
    std::lock_guard<std::mutex> lock(m_WriteQueueLock);
    m_WriteQueue.clear();
    m_ullQueuedBytes.store(0);
}

int QNPackageRepair::_DownloadThreadFunction(void* pvParam) {
    QNPK_DOWNLOAD_THREAD_PARAM* pParam = static_cast<QNPK_DOWNLOAD_THREAD_PARAM*>(pvParam);
    if (!pParam || !pParam->pPackageRepair) return 0;
    return pParam->pPackageRepair->_DownloadFunction(pParam);
}

bool QNPackageRepair::_DownloadMustStop() const { return _IsAborted() || m_bCancelDownload.load(); }

// What the download thread carries from one entry to the next.
struct QNPackageRepair::DownloadRun {
    QN_HttpBlockDownloader HttpDownload;
    uint32_t uCurrentDataSourceID = 0;
    // Bytes of blocks added to the downloader and not yet fetched.
    uint64_t ullPendingSize = 0;
    // The end of the previous block in the current source; all ones when there is none.
    uint64_t ullPrevEnd = UINT64_MAX;
    // The first entry of the batch not yet queued.
    size_t uBatchStart = 0;
    uint64_t ullQueued = 0;
    bool bDownloadFailed = false;
};

int QNPackageRepair::_DownloadFunction(QNPK_DOWNLOAD_THREAD_PARAM* pDownloadThreadParam) {
    int nResult = 0;
    int nRetCode = 0;
    const wchar_t* pwszFailed = L"";
    DownloadRun run;
    size_t uIndex = 0;

    QNLOG_PROCESS_ERROR(pDownloadThreadParam);
    QNLOG_PROCESS_ERROR_TEXT(pDownloadThreadParam->uBegin != pDownloadThreadParam->uEnd, "itBegin != itEnd");
    run.HttpDownload.SetStopTest([this] { return _DownloadMustStop(); });

    run.uBatchStart = pDownloadThreadParam->uBegin;
    for (uIndex = pDownloadThreadParam->uBegin; uIndex < pDownloadThreadParam->uEnd; ++uIndex) {
        QNPK_DOWNLOAD_FILE_BLOCK& rEntry = m_DownloadFileBlockList[uIndex];

        QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT);
        // Set when the write loop failed: fetching more is of no use.
        QNLOG_PROCESS_ERROR(!m_bCancelDownload);

        if (rEntry.uDataSourceID != run.uCurrentDataSourceID) {
            nRetCode = _SwitchDataSource(&run, rEntry.uDataSourceID, &pwszFailed);
            if (!nRetCode) {
                // The step names the condition that failed; the line is this function's.
                QNLog_ProcessErrorLine(pwszFailed, __LINE__, QN_FUNCTION_NAME());
                goto Exit0;
            }
        }

        nRetCode = _QueueFullBatch(&run, uIndex, &pwszFailed);
        if (!nRetCode) {
            // The step names the condition that failed; the line is this function's.
            QNLog_ProcessErrorLine(pwszFailed, __LINE__, QN_FUNCTION_NAME());
            goto Exit0;
        }

        nRetCode = _WaitForQueueRoom(&run, uIndex, &pwszFailed);
        if (!nRetCode) {
            // The step names the condition that failed; the line is this function's.
            QNLog_ProcessErrorLine(pwszFailed, __LINE__, QN_FUNCTION_NAME());
            goto Exit0;
        }

        nRetCode = _AddEntryBlock(&run, &rEntry, &pwszFailed);
        if (!nRetCode) {
            // The step names the condition that failed; the line is this function's.
            QNLog_ProcessErrorLine(pwszFailed, __LINE__, QN_FUNCTION_NAME());
            goto Exit0;
        }
    }

    nRetCode = _QueueLastBatch(&run, pDownloadThreadParam->uEnd, &pwszFailed);
    if (!nRetCode) {
        // The step names the condition that failed; the line is this function's.
        QNLog_ProcessErrorLine(pwszFailed, __LINE__, QN_FUNCTION_NAME());
        goto Exit0;
    }

    pDownloadThreadParam->nState.store(QNPK_DTS_FINISHED, std::memory_order_release);
    nResult = 1;
Exit0:
    if (!nResult && pDownloadThreadParam) {
        // A download that failed while nothing asked the thread to stop ends the repair with 7;
        // the write loop takes it from the state.
        pDownloadThreadParam->nState.store(run.bDownloadFailed && !_DownloadMustStop() ? QNPK_DTS_DOWNLOAD_FAILED
                                                                                       : QNPK_DTS_FAILED,
                                           std::memory_order_release);
    }
    return nResult;
}

// The next entry comes from another data source: the blocks pending for the current one are
// fetched first, then the downloader is pointed at the new source.
int QNPackageRepair::_SwitchDataSource(DownloadRun* pRun, uint32_t uDataSourceID, const wchar_t** ppwszFailed) {
    int nRetCode = 0;
    std::string strURL;

    pRun->uCurrentDataSourceID = uDataSourceID;
    *ppwszFailed = L"uCurrentDataSourceID > 0";
    if (!(pRun->uCurrentDataSourceID > 0)) return 0;
    // No gap is bridged across two sources.
    pRun->ullPrevEnd = UINT64_MAX;
    if (pRun->ullPendingSize > 0) {
        nRetCode = pRun->HttpDownload.Download();
        if (!nRetCode) {
            pRun->bDownloadFailed = true;
            *ppwszFailed = L"false && \"HttpDownload.Download()\"";
            return 0;
        }
    }
    pRun->HttpDownload.ReleaseService();
    nRetCode = _GetDataSourceFileURL(uDataSourceID, &strURL);
    *ppwszFailed = L"nRetCode";
    if (!nRetCode) return 0;
    return pRun->HttpDownload.Init(strURL.c_str());
}

// Once a batch's worth of bytes is pending, it is fetched and handed to the write queue, and
// the next batch starts at this entry.
int QNPackageRepair::_QueueFullBatch(DownloadRun* pRun, size_t uIndex, const wchar_t** ppwszFailed) {
    if (pRun->ullPendingSize < DOWNLOAD_BATCH_SIZE) return 1;
    if (!pRun->HttpDownload.Download()) {
        pRun->bDownloadFailed = true;
        *ppwszFailed = L"false && \"HttpDownload.Download()\"";
        return 0;
    }
    pRun->ullPendingSize = 0;
    pRun->HttpDownload.m_BlockInfoVector.clear();
    *ppwszFailed = L"nRetCode";
    if (!_AddFileToWriteQueue(pRun->uBatchStart, uIndex, &pRun->ullQueued)) return 0;
    pRun->uBatchStart = uIndex;
    return 1;
}

// Downloaded blocks wait in memory until written; while too many bytes wait, the next block
// is not fetched. With nothing queued it is, however large.
int QNPackageRepair::_WaitForQueueRoom(DownloadRun* pRun, size_t uIndex, const wchar_t** ppwszFailed) {
    const uint64_t ullSize = m_DownloadFileBlockList[uIndex].ullSize;
    while (m_ullQueuedBytes.load() > 0 &&
           m_ullQueuedBytes.load() + pRun->ullPendingSize + ullSize > QN_PackageDownloadQueueLimit()) {
        QN_PackageRepairStep("queue-full", (uint32_t)uIndex);
        if (m_eStatusCode == QN_RPS_ERROR_ABROT) {
            *ppwszFailed = L"m_eStatusCode != QN_RPS_ERROR_ABROT";
            return 0;
        }
        if (m_bCancelDownload) {
            *ppwszFailed = L"!m_bCancelDownload";
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kHighWaterPollMs));
    }
    return 1;
}

// Gives the entry its buffer and adds it to the downloader, with the gap before it when the
// gap is small enough to be fetched and thrown away rather than split the request.
int QNPackageRepair::_AddEntryBlock(DownloadRun* pRun, QNPK_DOWNLOAD_FILE_BLOCK* pEntry, const wchar_t** ppwszFailed) {
    uint64_t ullAbsOffset = 0;

    pEntry->pbyBuffer = new (std::nothrow) uint8_t[(size_t)pEntry->ullSize];
    *ppwszFailed = L"it->pbyBuffer";
    if (!pEntry->pbyBuffer) return 0;

    *ppwszFailed = L"nRetCode";
    if (!_GetAbsOffsetInDataSource(pEntry->uDataSourceID, pEntry->ullOffsetInDataSource, pEntry->ullSize,
                                   &ullAbsOffset))
        return 0;

    if (pRun->ullPrevEnd < ullAbsOffset && ullAbsOffset - pRun->ullPrevEnd <= DOWNLOAD_GAP_BRIDGE_SIZE) {
        if (!pRun->HttpDownload.AddBlock(pRun->ullPrevEnd, (uint32_t)(ullAbsOffset - pRun->ullPrevEnd), m_abyGapBuffer))
            return 0;
    }
    if (!pRun->HttpDownload.AddBlock(ullAbsOffset, (uint32_t)pEntry->ullSize, pEntry->pbyBuffer)) return 0;
    pRun->ullPrevEnd = ullAbsOffset + pEntry->ullSize;
    pRun->ullPendingSize += pEntry->ullSize;
    return 1;
}

// After the last entry: the blocks still pending are fetched and the last batch is queued.
int QNPackageRepair::_QueueLastBatch(DownloadRun* pRun, size_t uEnd, const wchar_t** ppwszFailed) {
    if (!pRun->HttpDownload.Download()) {
        pRun->bDownloadFailed = true;
        *ppwszFailed = L"false && \"HttpDownload.Download()\"";
        return 0;
    }
    pRun->HttpDownload.m_BlockInfoVector.clear();
    *ppwszFailed = L"nRetCode";
    return _AddFileToWriteQueue(pRun->uBatchStart, uEnd, &pRun->ullQueued);
}

// The checks of a block's source and of its URL are the shared ones; the lines name the
// condition that failed in this class's terms.
int QNPackageRepair::_GetAbsOffsetInDataSource(uint32_t uDataSourceID, uint64_t ullOffsetInDataSource,
                                               uint64_t ullBlockSize, uint64_t* pullRetAbsOffset) {
    QNPK_SOURCE_CHECK eFailed = QNPK_SOURCE_OK;
    const QNPK_DATA_SOURCE_MAP* pMap = m_bDataSourceFileMapLoaded ? &m_DataSourceFileMap : nullptr;

    if (QN_GetAbsOffsetInDataSource(pMap, uDataSourceID, ullOffsetInDataSource, ullBlockSize, pullRetAbsOffset,
                                    &eFailed))
        return 1;
    switch (eFailed) {
    case QNPK_SOURCE_NO_ID: QNLOG_PROCESS_ERROR_LINE("uDataSourceID > 0"); break;
    case QNPK_SOURCE_NO_RESULT: QNLOG_PROCESS_ERROR_LINE("pullRetAbsOffset"); break;
    case QNPK_SOURCE_NOT_IN_TABLE: QNLOG_PROCESS_ERROR_LINE("it != m_DataSourceFileMap.end()"); break;
    case QNPK_SOURCE_ID_DIFFERS: QNLOG_PROCESS_ERROR_LINE("rDataSourceInfoItem.uDataSourceFileID == uDataSourceID"); break;
    case QNPK_SOURCE_OFFSET_PAST_END: QNLOG_PROCESS_ERROR_LINE("ullOffsetInDataSource < rDataSourceInfoItem.ullSize"); break;
    case QNPK_SOURCE_BLOCK_PAST_END:
        QNLOG_PROCESS_ERROR_LINE("ullBlockSize <= rDataSourceInfoItem.ullSize - ullOffsetInDataSource");
        break;
    default: QNLOG_PROCESS_ERROR_LINE("rDataSourceInfoItem.ullBaseOffset <= UINT64_MAX - ullOffsetInDataSource"); break;
    }
    return 0;
}

int QNPackageRepair::_GetDataSourceFileURL(uint32_t uDataSourceID, std::string* pszRetDataSourceFileURL) {
    QNPK_SOURCE_CHECK eFailed = QNPK_SOURCE_OK;
    const QNPK_DATA_SOURCE_MAP* pMap = m_bDataSourceFileMapLoaded ? &m_DataSourceFileMap : nullptr;

    // The shared formatter escapes the name and bounds the URL's length.
    if (QN_GetDataSourceFileURL(m_szPackageRepairURL, pMap, uDataSourceID, pszRetDataSourceFileURL, &eFailed)) return 1;
    switch (eFailed) {
    case QNPK_SOURCE_NO_RESULT: QNLOG_PROCESS_ERROR_LINE("pszRetDataSourceFileURL"); break;
    case QNPK_SOURCE_NO_ID: QNLOG_PROCESS_ERROR_LINE("uDataSourceID > 0"); break;
    case QNPK_SOURCE_NOT_IN_TABLE: QNLOG_PROCESS_ERROR_LINE("it != m_DataSourceFileMap.end()"); break;
    case QNPK_SOURCE_ID_DIFFERS: QNLOG_PROCESS_ERROR_LINE("rDataSourceInfoItem.uDataSourceFileID == uDataSourceID"); break;
    default: QNLOG_PROCESS_ERROR_LINE("nRetCode > 0"); break;
    }
    return 0;
}

int QNPackageRepair::_AddFileToWriteQueue(size_t uBegin, size_t uEnd, uint64_t* pullRetQueuedBytes) {
    int nResult = 0;
    std::lock_guard<std::mutex> lock(m_WriteQueueLock);

    for (size_t i = uBegin; i < uEnd; ++i) {
        QNPK_DOWNLOAD_FILE_BLOCK* pEntry = &m_DownloadFileBlockList[i];
        QNLOG_PROCESS_ERROR_TEXT(pEntry->pbyBuffer, "it->pbyBuffer");
        m_WriteQueue.push_back(pEntry);
        m_ullQueuedBytes.fetch_add(pEntry->ullSize);
        if (pullRetQueuedBytes) *pullRetQueuedBytes += pEntry->ullSize;
    }

    nResult = 1;
Exit0:
    return nResult;
}

int QNPackageRepair::_GetOneFileBlockFromWriteQueue(QNPK_DOWNLOAD_FILE_BLOCK** ppRetFileBlock) {
    int nResult = 0;
    std::lock_guard<std::mutex> lock(m_WriteQueueLock);

    QNLOG_PROCESS_ERROR(ppRetFileBlock);
    if (!m_WriteQueue.empty()) {
        *ppRetFileBlock = m_WriteQueue.front();
        m_WriteQueue.pop_front();
    }

    nResult = 1;
Exit0:
    return nResult;
}

int QNPackageRepair::_GetDownloadThreadState() {
    for (const QNPK_DOWNLOAD_THREAD_PARAM& rParam : m_DownloadThreadParam) {
        const int nState = rParam.nState.load(std::memory_order_acquire);
        if (nState == QNPK_DTS_RUNNING || nState == QNPK_DTS_FAILED || nState == QNPK_DTS_DOWNLOAD_FAILED)
            return nState;
    }
    return QNPK_DTS_FINISHED;
}

int QNPackageRepair::_WriteBlockToFileFromQueue(QN_DataFileWriter* pWriter) {
    int nResult = 0;
    int nRetCode = 0;
    int nThreadState = QNPK_DTS_RUNNING;
    uint32_t uCRC32 = 0;
    QNPK_DOWNLOAD_FILE_BLOCK* pFileBlock = nullptr;
    const size_t uTotal = m_DownloadFileBlockList.size();
    const uint64_t ullBaseAddress = m_RepairFileHeader.DataFileConfig.ullBaseAddress;

    if (uTotal == 0) return 1;
    QNLOG_PROCESS_ERROR(pWriter);

    while (m_eStatusCode.load() != QN_RPS_ERROR_ABROT) {
        pFileBlock = nullptr;
        nRetCode = _GetOneFileBlockFromWriteQueue(&pFileBlock);
        QNLOG_PROCESS_ERROR(nRetCode);

        if (!pFileBlock) {
            nThreadState = _GetDownloadThreadState();
            if (nThreadState == QNPK_DTS_FINISHED) {
                // The thread queued its last batch before it said so: take what is left.
                nRetCode = _GetOneFileBlockFromWriteQueue(&pFileBlock);
                QNLOG_PROCESS_ERROR(nRetCode);
                if (!pFileBlock) break;
            } else if (nThreadState == QNPK_DTS_FAILED || nThreadState == QNPK_DTS_DOWNLOAD_FAILED) {
                goto Exit0;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(kWriteQueuePollMs));
                continue;
            }
        }

        QNLOG_PROCESS_ERROR(pFileBlock->pbyBuffer);
        QN_PackageRepairStep("write", m_uWrittenBlockCount);
        // The checksum is taken before the write: bytes that are not the block never reach
        // the data file.
        uCRC32 = QN_GetElemFileBlockCRC32(pFileBlock->pbyBuffer, pFileBlock->ullSize);
        if (uCRC32 != pFileBlock->uCRC32) {
            QN_LogPrintfW(L"uCRC32 != pFileBlock->uCRC32\n");
            QN_LogPrintfW(L"crc32 = %d, pFileBlock->uCRC32 = %d", (int)uCRC32, (int)pFileBlock->uCRC32);
            goto Exit0;
        }
        nRetCode = pWriter->WriteData(pFileBlock->ullAddress - ullBaseAddress, pFileBlock->ullSize,
                                      pFileBlock->pbyBuffer);
        QNLOG_PROCESS_ERROR(nRetCode);
        ++m_uWrittenBlockCount;
        m_fRepairProgress.store(kRepairProgressDirFiles +
                                (kProgressBlocks - kRepairProgressDirFiles) * (float)m_uWrittenBlockCount / (float)uTotal);
        delete[] pFileBlock->pbyBuffer;
        pFileBlock->pbyBuffer = nullptr;
        m_ullQueuedBytes.fetch_sub(pFileBlock->ullSize);
    }
    QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT);

    nResult = 1;
Exit0:
    if (!nResult) {
        // Fetching more is pointless now; the phase ends with the more specific download
        // failure when the download thread had one.
        m_bCancelDownload.store(true);
        if (nThreadState == QNPK_DTS_DOWNLOAD_FAILED) m_bDownloadFailed = true;
    }
    return nResult;
}

int QNPackageRepair::_RepairEmptyBlock() {
    int nResult = 0;
    int nRetCode = 0;
    QN_DataFileWriter writer;
    size_t uDone = 0;
    uint32_t uFailed = 0;
    const DataConfigFile& rConfig = m_RepairFileHeader.DataFileConfig;

    if (m_BrokenEmptyBlockRegionIndexList.empty()) return 1;

    nRetCode = writer.Init(m_szPackageDirectory, rConfig.ullDataFileSize, rConfig.uDataFileCount);
    QNLOG_PROCESS_ERROR(nRetCode);

    for (uDone = 0; uDone < m_BrokenEmptyBlockRegionIndexList.size(); ++uDone) {
        const QNPK_EMPTY_BLOCK_REGION_ITEM& rRegion = m_EmptyBlockRegionList[m_BrokenEmptyBlockRegionIndexList[uDone]];
        if (m_eStatusCode == QN_RPS_ERROR_ABROT) {
            QNLOG_PROCESS_ERROR_LINE("m_eStatusCode != QN_RPS_ERROR_ABROT");
            break;
        }
        // Each region is refilled on its own; one that fails stays broken and is counted.
        nRetCode = writer.RemoveData(rRegion.ullAddress - rConfig.ullBaseAddress, rRegion.ullSize);
        if (!nRetCode) {
            QNLOG_PROCESS_ERROR_LINE("nRetCode");
            ++uFailed;
        }
    }
    writer.Uninit();

    nResult = uFailed == 0 && uDone == m_BrokenEmptyBlockRegionIndexList.size();
Exit0:
    m_uCanNotRepairElemFileCount.fetch_add(uFailed + (uint32_t)(m_BrokenEmptyBlockRegionIndexList.size() - uDone));
    return nResult;
}
