// The package repairer behind IQN_PackageRepair. The check runs on the work thread
// (QN_PackageCheck.cpp), the repair on the work thread and one download thread
// (QN_PackageBlockRepair.cpp); the object and its lifecycle are in QNPackageRepair.cpp.
//
// Threads and shared values: the status, both progress values, the counts the caller polls and
// the download thread's state are atomics. The write queue is the only structure both threads
// change, always under m_WriteQueueLock. The finding lists and tables are written by the work
// thread only and read by callers after the phase has ended.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "IQN_PackageRepair.h"
#include "QN_DataFile.h"
#include "QN_HttpTransfer.h"
#include "QN_Log.h"
#include "QN_PackageRepairInfo.h"
#include "QN_RepairStatus.h"
#include "QN_Thread.h"

// The package repairer's statuses move by the engine's shared rule.
static_assert(QN_RPS_CHECKING == QN_REPAIR_STATUS_CHECKING && QN_RPS_REPAIRING == QN_REPAIR_STATUS_REPAIRING &&
              QN_RPS_SUCCESS_FINISH_CHECK == QN_REPAIR_STATUS_CHECK_FINISHED &&
              QN_RPS_SUCCESS_FINISH_REPAIR == QN_REPAIR_STATUS_REPAIR_FINISHED &&
              QN_RPS_ERROR_FAILED == QN_REPAIR_STATUS_FAILED && QN_RPS_ERROR_ABROT == QN_REPAIR_STATUS_STOPPED &&
              QN_RPS_ERROR_DOWNLOAD > QN_REPAIR_STATUS_STOPPED);

class QNPackageRepair;

// A calling step's qualified name and line, for the failure lines a helper writes on its behalf.
// QN_CALL_SITE() is used as an argument: the name lives until the call has returned.
struct QN_CallSite {
    const char* cszFunction;
    int nLine;
};
#define QN_CALL_SITE() (QN_CallSite{QN_FUNCTION_NAME(), __LINE__})

// The test hooks of repair_test_hooks.h as the repairer sees them.
void QN_PackageRepairStep(const char* cszStep, uint32_t uIndex);
uint64_t QN_PackageDownloadQueueLimit();

// One broken block to fetch and write.
struct QNPK_DOWNLOAD_FILE_BLOCK {
    uint64_t ullAddress;
    uint64_t ullSize;
    uint32_t uDataSourceID;
    uint64_t ullOffsetInDataSource;
    uint32_t uCRC32;
    uint8_t* pbyBuffer;  // null until downloaded; freed once written or when the step ends
};

// Download-thread states.
enum QNPK_DOWNLOAD_THREAD_STATE {
    QNPK_DTS_RUNNING = 2,
    QNPK_DTS_FINISHED = 4,
    QNPK_DTS_FAILED = 5,
    QNPK_DTS_DOWNLOAD_FAILED = 7,
};

struct QNPK_DOWNLOAD_THREAD_PARAM {
    QNPackageRepair* pPackageRepair;
    size_t uBegin;  // the entry range [uBegin, uEnd) of the repairer's entry list
    size_t uEnd;
    std::atomic<int32_t> nState;
};

struct QNPK_BROKEN_DATA_FILE {
    std::wstring strFileName;
    uint64_t ullFileSize;  // the length it must get
};

class QNPackageRepair final : public IQN_PackageRepair {
public:
    static constexpr int DOWNLOAD_THREAD_COUNT = 1;
    // A batch of pending ranges is fetched once this many bytes are pending.
    static constexpr uint64_t DOWNLOAD_BATCH_SIZE = 0x200000;
    // Gaps up to this size between two blocks of one source are fetched to join the ranges.
    static constexpr uint64_t DOWNLOAD_GAP_BRIDGE_SIZE = 0x200;
    // The download thread waits while this many downloaded bytes are not yet written.
    static constexpr uint64_t DOWNLOAD_QUEUE_HIGH_WATER = 32ull * 1024 * 1024;

    QNPackageRepair();
    ~QNPackageRepair();
    QNPackageRepair(const QNPackageRepair&) = delete;
    QNPackageRepair& operator=(const QNPackageRepair&) = delete;

    HRESULT Init(const wchar_t* pcszPackageDirectory, const wchar_t* pcszPackageRepairURL,
                 const wchar_t* pcszTempDirectory = nullptr);

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    HRESULT StartCheck() override;
    HRESULT StartRepair() override;
    HRESULT Stop() override;
    int GetStatusCode() override;
    float GetCheckProgress() override;
    float GetRepairProgress() override;
    uint32_t GetBrokenElemFileCount() override;
    bool GetBrokenElemFileList(QNPK_BROKEN_ELEM_FILE_LIST* pRetBrokenElemFileList) override;
    uint32_t GetCanNotRepairElemFileCount() override;

private:
    struct BrokenDirFile {
        std::wstring strFileName;
        uint32_t uCRC32;
    };

    static int _CheckThreadFunction(void* pvParam);
    static int _RepairThreadFunction(void* pvParam);
    static int _DownloadThreadFunction(void* pvParam);

    bool _IsAborted() const { return m_eStatusCode.load(std::memory_order_acquire) == QN_RPS_ERROR_ABROT; }
    void _RaiseStatus(int32_t nTarget) { QN_RaiseRepairStatus(&m_eStatusCode, nTarget); }
    void _PublishBrokenElemFileCount();
    // Fetches one table of "Repair.REP" into *pRetBytes (size checked first); a failed
    // download marks the phase as failed by download and is logged with cwszDownloadFailed
    // (nullptr: the block downloader's own condition). The failure lines name the caller
    // (site), and they are the only ones: the caller adds none for a failed fetch.
    int _FetchTable(const QN_CallSite& site, uint64_t ullOffset, uint64_t ullSize, size_t uRecordSize,
                    std::vector<uint8_t>* pRetBytes, const wchar_t* cwszDownloadFailed = nullptr);
    std::wstring _PackagePath(const std::wstring& strName) const;

    // Check (QN_PackageCheck.cpp).
    HRESULT _CheckFunction();
    HRESULT _InitConnection();
    HRESULT _CheckCfgFile();
    HRESULT _CheckDirFile();
    HRESULT _CheckPackageTables();
    HRESULT _FetchElemFileCheckTable();
    HRESULT _FetchEmptyBlockRegionTable();
    // Fetches a table (_FetchTable, lines in site's name), compares its CRC with uExpectedCRC
    // (fnLogMismatch(the CRC taken) writes the lines of a mismatch) and decodes it. 1, or 0
    // once every line of the failure is written.
    int _FetchCheckedTable(const QN_CallSite& site, uint64_t ullOffset, uint64_t ullSize, size_t uRecordSize,
                           uint32_t uExpectedCRC, const std::function<void(uint32_t)>& fnLogMismatch,
                           const std::function<int(const std::vector<uint8_t>&)>& fnDecode);
    // The address checks of one block or region record: at or above the base, not empty
    // (blocks: below 4 GiB), inside one data file, whose index + 1 raises *puUsedDataFileCount.
    // The lines are written in site's name and at its line. 1 or 0.
    int _CheckRecordAddress(const QN_CallSite& site, uint64_t ullAddress, uint64_t ullSize, bool bBlock,
                            uint32_t* puUsedDataFileCount);
    HRESULT _CheckDataFile(uint64_t* pullRetGrowth);
    HRESULT _CheckDataFileSpace(uint64_t ullGrowth);
    HRESULT _RepairDataFile();
    void _RemoveCreatedDataFiles();
    HRESULT _CheckFileBlock();
    int _IsFileBlockSound(FILE* fpDataFile, uint32_t uDataFileIndex, uint64_t ullOffsetInDataFile,
                          const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rItem, std::vector<uint8_t>* pFileBuffer,
                          bool* pbRetSound);
    HRESULT _CheckEmptyBlock();
    int _GetDataFileNameAndPath(const wchar_t* pcszDirectory, uint32_t uIndex, std::wstring* pstrRetName,
                                std::wstring* pstrRetPath);

    // Repair (QN_PackageBlockRepair.cpp).
    HRESULT _RepairFunction();
    // Removes a "Package.CFG.qnwrite" that a run killed while writing the configuration left
    // in the package folder (by name; a link there is removed, never followed).
    void _RemoveStaleCfgSideFile();
    HRESULT _RepairCfgFile();
    int _RepairDirFile();
    int _RepairFileBlock();
    int _RepairEmptyBlock();
    int _DownloadDataSourceMapFile();
    int _DownloadFunction(QNPK_DOWNLOAD_THREAD_PARAM* pDownloadThreadParam);
    // The download thread's walk over its entries, in named steps. Each returns 1 or 0 and,
    // on 0, the failed condition in *ppwszFailed, which _DownloadFunction logs in its own name.
    struct DownloadRun;
    int _SwitchDataSource(DownloadRun* pRun, uint32_t uDataSourceID, const wchar_t** ppwszFailed);
    int _QueueFullBatch(DownloadRun* pRun, size_t uIndex, const wchar_t** ppwszFailed);
    int _WaitForQueueRoom(DownloadRun* pRun, size_t uIndex, const wchar_t** ppwszFailed);
    int _AddEntryBlock(DownloadRun* pRun, QNPK_DOWNLOAD_FILE_BLOCK* pEntry, const wchar_t** ppwszFailed);
    int _QueueLastBatch(DownloadRun* pRun, size_t uEnd, const wchar_t** ppwszFailed);
    int _GetAbsOffsetInDataSource(uint32_t uDataSourceID, uint64_t ullOffsetInDataSource, uint64_t ullBlockSize,
                                  uint64_t* pullRetAbsOffset);
    int _GetDataSourceFileURL(uint32_t uDataSourceID, std::string* pszRetDataSourceFileURL);
    // The folder the folder files are downloaded into: the run's temporary folder's
    // QNPK_DIR_FILE_TEMP_SUBFOLDER when bInRunTemp and the run gave one, else the package
    // folder's ".QelRepairTemp".
    std::string _DirFileTempFolder(bool bInRunTemp) const;
    int _AddFileToWriteQueue(size_t uBegin, size_t uEnd, uint64_t* pullRetQueuedBytes);
    int _GetOneFileBlockFromWriteQueue(QNPK_DOWNLOAD_FILE_BLOCK** ppRetFileBlock);
    int _GetDownloadThreadState();
    int _WriteBlockToFileFromQueue(QN_DataFileWriter* pWriter);
    bool _DownloadMustStop() const;
    void _EndBlockDownload();

    std::atomic<int32_t> m_nRefCount;
    std::atomic<int32_t> m_eStatusCode;
    std::atomic<float> m_fCheckProgress;
    std::atomic<float> m_fRepairProgress;
    std::atomic<uint32_t> m_uBrokenElemFileCount;
    std::atomic<uint32_t> m_uCanNotRepairElemFileCount;

    wchar_t m_szPackageDirectory[QN_MAX_PATH];
    wchar_t m_szPackageRepairURL[QN_MAX_PATH];
    wchar_t m_szRepairFileName[QN_MAX_PATH];
    // The run's temporary folder (native, ending in '/'); empty when none was given.
    std::string m_strTempFolder;

    QN_HttpBlockDownloader m_RepairFileHttpSyncBlock;

    // Findings of the check.
    int m_bCfgFileBroken;
    std::vector<BrokenDirFile> m_BrokenDirFileList;
    std::vector<QNPK_BROKEN_DATA_FILE> m_BrokenDataFileList;
    // Paths of the data files the running check created; removed again when the check fails.
    std::vector<std::wstring> m_CreatedDataFileList;
    std::vector<uint32_t> m_BrokenFileBlockIndexList;
    std::vector<uint32_t> m_BrokenEmptyBlockRegionIndexList;

    // The block step: entries, the write queue and what the download thread has handed over.
    std::mutex m_WriteQueueLock;
    std::list<QNPK_DOWNLOAD_FILE_BLOCK*> m_WriteQueue;
    std::vector<QNPK_DOWNLOAD_FILE_BLOCK> m_DownloadFileBlockList;
    std::atomic<uint64_t> m_ullQueuedBytes;
    std::atomic<bool> m_bCancelDownload;
    uint32_t m_uWrittenBlockCount;
    // Set by the work thread when a fetch of the running phase failed; the phase then ends
    // with 7 rather than 5. The status changes only when the phase has ended, so that a
    // caller who sees a final status also sees the phase's counts.
    bool m_bDownloadFailed;

    QNPK_DATA_SOURCE_MAP m_DataSourceFileMap;
    int m_bDataSourceFileMapLoaded;

    QNPK_REPAIR_FILE_HEADER m_RepairFileHeader;
    std::vector<QNPK_DIR_FILE_CHECK_INFO_ITEM> m_DirFileCheckInfoList;
    std::vector<QNPK_ELEM_FILE_CHECK_INFO_ITEM> m_CorrectElemFileBlockList;
    std::vector<QNPK_EMPTY_BLOCK_REGION_ITEM> m_EmptyBlockRegionList;
    std::vector<QNPK_ELEM_FILE_REPAIR_INFO_ITEM> m_RepairElemFileBlockList;

    // Receives the bytes of bridged gaps; never read.
    uint8_t m_abyGapBuffer[DOWNLOAD_GAP_BRIDGE_SIZE];

    QNPK_DOWNLOAD_THREAD_PARAM m_DownloadThreadParam[DOWNLOAD_THREAD_COUNT];
    QN_PakThread m_DownloadThread[DOWNLOAD_THREAD_COUNT];
    QN_PakThread m_WorkThread;
};
