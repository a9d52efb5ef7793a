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
#include "QN_LogW.h"
#include "qn_file.h"
#include "qn_file_io.h"
#include "qn_string.h"

namespace {

constexpr float kProgressCfg = 0.03f;
constexpr float kProgressDirFiles = 0.1f;
constexpr float kProgressBlocks = 0.9f;
constexpr int kWriteQueuePollMs = 100;
constexpr int kHighWaterPollMs = 20;

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
    m_fRepairProgress.store(kProgressDirFiles);

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

HRESULT QNPackageRepair::_RepairCfgFile() {
    HRESULT hrResult = E_FAIL;
    FILE* fpCfgFile = nullptr;
    size_t uWriteCount = 0;
    const std::wstring strCfgFilePath = _PackagePath(L"Package.CFG");

    if (!m_bCfgFileBroken) return S_OK;

    QNLOG_PROCESS_ERROR_TEXT(strCfgFilePath.size() < QN_MAX_PATH, "nRetCode != -1");
    QN_SetFileAttributesNormalW(strCfgFilePath.c_str());

    fpCfgFile = QN_wfopen(strCfgFilePath.c_str(), "wb");
    if (!fpCfgFile) QN_LogPrintfW(L"Error: open file failed. szCfgFilePath = %ls", strCfgFilePath.c_str());
    QNLOG_PROCESS_ERROR(fpCfgFile);

    uWriteCount = std::fwrite(m_RepairFileHeader.DataFileConfig.abyRaw, QNPK_DATA_CONFIG_FILE_SIZE, 1, fpCfgFile);
    QNLOG_PROCESS_ERROR(uWriteCount == 1);

    hrResult = S_OK;
Exit0:
    if (fpCfgFile && std::fclose(fpCfgFile) != 0 && SUCCEEDED(hrResult)) {
        QN_LogPrintfW(L"Package.CFG not written: %ls", strCfgFilePath.c_str());
        hrResult = E_FAIL;
    }
    return hrResult;
}

int QNPackageRepair::_RepairDirFile() {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uCRC32 = 0;
    size_t uDone = 0;
    const std::string strBaseURL = QN_WideToUtf8(m_szPackageRepairURL) + "/DirFiles/" +
                                   std::to_string(m_RepairFileHeader.DataFileConfig.uDirFilesFolder) + "/";
    const QN_TransferStopTest fnStop = [this] { return _IsAborted(); };

    for (uDone = 0; uDone < m_BrokenDirFileList.size(); ++uDone) {
        const BrokenDirFile& rFile = m_BrokenDirFileList[uDone];
        const std::string strURL = strBaseURL + QN_WideToUtf8(rFile.strFileName);
        const std::wstring strPath = _PackagePath(rFile.strFileName);
        bool bRepaired = false;

        QNLOG_PROCESS_ERROR(m_eStatusCode.load() != QN_RPS_ERROR_ABROT);

        if (strURL.size() >= QN_MAX_PATH || strPath.size() >= QN_MAX_PATH) {
            QN_LogPrintfW(L"QNLOG_PROCESS_ERROR(nRetCode > 0) folder file %ls", rFile.strFileName.c_str());
        } else {
            // The download session takes a file of the right size at the target for a finished
            // download, so a stale file must be gone before it starts (its progress files stay,
            // they resume it).
            QN_DeleteFile(QN_WideToUtf8(strPath).c_str());
            if (QN_PathExistsW(strPath.c_str())) {
                QN_LogPrintfW(L"folder file cannot be replaced: %ls", strPath.c_str());
            } else {
                nRetCode = _QN_HttpSyncDownloadFile(strURL.c_str(), m_szPackageDirectory, rFile.strFileName.c_str(),
                                                    fnStop);
                if (!nRetCode) QN_LogPrintfW(L"QNLOG_PROCESS_ERROR(nRetCode) folder file %ls", strPath.c_str());
                // What arrived is used only when it is the file the table describes.
                if (nRetCode && QN_GetFileCRC32(strPath.c_str(), &uCRC32) && uCRC32 == rFile.uCRC32) {
                    bRepaired = true;
                } else if (nRetCode) {
                    QN_LogPrintfW(L"downloaded folder file does not match its record: %ls", strPath.c_str());
                    QN_DeleteFile(QN_WideToUtf8(strPath).c_str());
                }
            }
        }
        if (!bRepaired) m_uCanNotRepairElemFileCount.fetch_add(1);
    }

    nResult = m_uCanNotRepairElemFileCount.load() == 0;
Exit0:
    // Folder files not reached after a stop stay broken as well.
    if (uDone < m_BrokenDirFileList.size())
        m_uCanNotRepairElemFileCount.fetch_add((uint32_t)(m_BrokenDirFileList.size() - uDone));
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
                           m_RepairFileHeader.ullDataSourceInfoSize, QNPK_DATA_SOURCE_INFO_ITEM_SIZE, &table);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "false && \"QNPackageRepair._DownloadDataSourceMapFile()\"");

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
    QNLOG_PROCESS_ERROR(nRetCode);
    uCRC32 = QN_GetBufferCRC32(0, table.data(), table.size());
    QNLOG_PROCESS_ERROR(uCRC32 == m_RepairFileHeader.uElemFileRepairInfoCRC32);
    nRetCode = QN_DecodeElemFileRepairTable(table.data(), table.size(), &m_RepairElemFileBlockList);
    QNLOG_PROCESS_ERROR(nRetCode);

    m_DownloadFileBlockList.reserve(m_BrokenFileBlockIndexList.size());
    for (uint32_t uBrokenElemFileIndex : m_BrokenFileBlockIndexList) {
        const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rCheck = m_CorrectElemFileBlockList[uBrokenElemFileIndex];
        const QNPK_ELEM_FILE_REPAIR_INFO_ITEM& rRepair = m_RepairElemFileBlockList[uBrokenElemFileIndex];
        QNLOG_PROCESS_ERROR(m_eStatusCode.load() != QN_RPS_ERROR_ABROT);
        QNLOG_PROCESS_ERROR(m_RepairElemFileBlockList[uBrokenElemFileIndex].uDataSourceID != 0);
        m_DownloadFileBlockList.push_back({rCheck.ullAddress, rCheck.ullSize, rRepair.uDataSourceID,
                                           rRepair.ullOffsetInDataSource, rCheck.uCRC32, nullptr});
    }
    std::stable_sort(m_DownloadFileBlockList.begin(), m_DownloadFileBlockList.end(), DownloadFileBlockLess);

    {
        // One download thread takes the whole sorted list.
        const int nThreadNum = 0;
        QNLOG_PROCESS_ERROR(m_eStatusCode.load() != QN_RPS_ERROR_ABROT);
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

int QNPackageRepair::_DownloadFunction(QNPK_DOWNLOAD_THREAD_PARAM* pDownloadThreadParam) {
    int nResult = 0;
    int nRetCode = 0;
    bool bDownloadFailed = false;
    QN_HttpBlockDownloader HttpDownload;
    uint32_t uCurrentDataSourceID = 0;
    uint64_t ullPendingSize = 0;
    uint64_t ullPrevEnd = UINT64_MAX;
    uint64_t ullAbsOffset = 0;
    uint64_t ullQueued = 0;
    size_t uBatchStart = 0;
    size_t uIndex = 0;
    std::string strURL;
    const QNPK_DATA_SOURCE_MAP* pMap = m_bDataSourceFileMapLoaded ? &m_DataSourceFileMap : nullptr;

    QNLOG_PROCESS_ERROR(pDownloadThreadParam);
    QNLOG_PROCESS_ERROR_TEXT(pDownloadThreadParam->uBegin != pDownloadThreadParam->uEnd, "itBegin != itEnd");
    HttpDownload.SetStopTest([this] { return _DownloadMustStop(); });

    uBatchStart = pDownloadThreadParam->uBegin;
    for (uIndex = pDownloadThreadParam->uBegin; uIndex < pDownloadThreadParam->uEnd; ++uIndex) {
        QNPK_DOWNLOAD_FILE_BLOCK& rEntry = m_DownloadFileBlockList[uIndex];

        QNLOG_PROCESS_ERROR_TEXT(!_DownloadMustStop(), "m_eStatusCode != QN_RPS_ERROR_ABROT");

        if (rEntry.uDataSourceID != uCurrentDataSourceID) {
            uCurrentDataSourceID = rEntry.uDataSourceID;
            QNLOG_PROCESS_ERROR(uCurrentDataSourceID > 0);
            // No gap is bridged across two sources.
            ullPrevEnd = UINT64_MAX;
            if (ullPendingSize > 0) {
                nRetCode = HttpDownload.Download();
                if (!nRetCode) bDownloadFailed = true;
                QNLOG_PROCESS_ERROR_TEXT(nRetCode, "false && \"HttpDownload.Download()\"");
            }
            HttpDownload.ReleaseService();
            nRetCode = QN_GetDataSourceFileURL(m_szPackageRepairURL, pMap, uCurrentDataSourceID, &strURL);
            QNLOG_PROCESS_ERROR(nRetCode);
            nRetCode = HttpDownload.Init(strURL.c_str());
            QNLOG_PROCESS_ERROR(nRetCode);
        }

        if (ullPendingSize >= DOWNLOAD_BATCH_SIZE) {
            nRetCode = HttpDownload.Download();
            if (!nRetCode) bDownloadFailed = true;
            QNLOG_PROCESS_ERROR_TEXT(nRetCode, "false && \"HttpDownload.Download()\"");
            ullPendingSize = 0;
            HttpDownload.m_BlockInfoVector.clear();
            nRetCode = _AddFileToWriteQueue(uBatchStart, uIndex, &ullQueued);
            QNLOG_PROCESS_ERROR(nRetCode);
            uBatchStart = uIndex;
        }

        // Downloaded blocks wait in memory until written; while too many bytes wait, the next
        // block is not fetched. With nothing queued it is, however large.
        while (m_ullQueuedBytes.load() > 0 &&
               m_ullQueuedBytes.load() + ullPendingSize + rEntry.ullSize > QN_PackageDownloadQueueLimit()) {
            QN_PackageRepairStep("queue-full", (uint32_t)uIndex);
            QNLOG_PROCESS_ERROR_TEXT(!_DownloadMustStop(), "m_eStatusCode != QN_RPS_ERROR_ABROT");
            std::this_thread::sleep_for(std::chrono::milliseconds(kHighWaterPollMs));
        }

        rEntry.pbyBuffer = new (std::nothrow) uint8_t[(size_t)rEntry.ullSize];
        QNLOG_PROCESS_ERROR_TEXT(rEntry.pbyBuffer, "it->pbyBuffer");

        nRetCode = QN_GetAbsOffsetInDataSource(pMap, rEntry.uDataSourceID, rEntry.ullOffsetInDataSource, rEntry.ullSize,
                                               &ullAbsOffset);
        QNLOG_PROCESS_ERROR_TEXT(nRetCode, "ullOffsetInDataSource < rDataSourceInfoItem.ullSize");

        if (ullPrevEnd < ullAbsOffset && ullAbsOffset - ullPrevEnd <= DOWNLOAD_GAP_BRIDGE_SIZE) {
            nRetCode = HttpDownload.AddBlock(ullPrevEnd, (uint32_t)(ullAbsOffset - ullPrevEnd), m_abyGapBuffer);
            QNLOG_PROCESS_ERROR(nRetCode);
        }
        nRetCode = HttpDownload.AddBlock(ullAbsOffset, (uint32_t)rEntry.ullSize, rEntry.pbyBuffer);
        QNLOG_PROCESS_ERROR(nRetCode);
        ullPrevEnd = ullAbsOffset + rEntry.ullSize;
        ullPendingSize += rEntry.ullSize;
    }

    nRetCode = HttpDownload.Download();
    if (!nRetCode) bDownloadFailed = true;
    QNLOG_PROCESS_ERROR_TEXT(nRetCode, "false && \"HttpDownload.Download()\"");
    HttpDownload.m_BlockInfoVector.clear();
    nRetCode = _AddFileToWriteQueue(uBatchStart, pDownloadThreadParam->uEnd, &ullQueued);
    QNLOG_PROCESS_ERROR(nRetCode);

    pDownloadThreadParam->nState.store(QNPK_DTS_FINISHED, std::memory_order_release);
    nResult = 1;
Exit0:
    if (!nResult && pDownloadThreadParam) {
        // A download that failed while nothing asked the thread to stop ends the repair with 7;
        // the write loop takes it from the state.
        pDownloadThreadParam->nState.store(bDownloadFailed && !_DownloadMustStop() ? QNPK_DTS_DOWNLOAD_FAILED
                                                                                   : QNPK_DTS_FAILED,
                                           std::memory_order_release);
    }
    return nResult;
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
        m_fRepairProgress.store(kProgressDirFiles +
                                (kProgressBlocks - kProgressDirFiles) * (float)m_uWrittenBlockCount / (float)uTotal);
        delete[] pFileBlock->pbyBuffer;
        pFileBlock->pbyBuffer = nullptr;
        m_ullQueuedBytes.fetch_sub(pFileBlock->ullSize);
    }
    QNLOG_PROCESS_ERROR(m_eStatusCode.load() != QN_RPS_ERROR_ABROT);

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
        if (m_eStatusCode.load() == QN_RPS_ERROR_ABROT) {
            QN_LogPrintfW(L"QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT) at %u", (unsigned)uDone);
            break;
        }
        // Each region is refilled on its own; one that fails stays broken and is counted.
        nRetCode = writer.RemoveData(rRegion.ullAddress - rConfig.ullBaseAddress, rRegion.ullSize);
        if (!nRetCode) {
            QN_LogPrintfW(L"QNLOG_PROCESS_ERROR(nRetCode) empty region %u", m_BrokenEmptyBlockRegionIndexList[uDone]);
            ++uFailed;
        }
    }
    writer.Uninit();

    nResult = uFailed == 0 && uDone == m_BrokenEmptyBlockRegionIndexList.size();
Exit0:
    m_uCanNotRepairElemFileCount.fetch_add(uFailed + (uint32_t)(m_BrokenEmptyBlockRegionIndexList.size() - uDone));
    return nResult;
}
