#include "QNPackageRepair.h"

#include <cstring>
#include <new>

#include "QN_LogW.h"
#include "qn_file.h"
#include "qn_string.h"
#include "repair_test_hooks.h"

namespace {

std::atomic<int32_t> g_nLivePackageRepairThreads{0};
std::atomic<qn::testing::PackageRepairStepHook> g_pfnStepHook{nullptr};
std::atomic<uint64_t> g_ullQueueLimitOverride{0};

// Counts a thread of the package repairer while it runs.
struct LiveThreadCounter {
    LiveThreadCounter() { g_nLivePackageRepairThreads.fetch_add(1); }
    ~LiveThreadCounter() { g_nLivePackageRepairThreads.fetch_sub(1); }
};

}  // namespace

namespace qn::testing {
int GetLivePackageRepairThreadCount() { return g_nLivePackageRepairThreads.load(); }
void SetPackageRepairStepHook(PackageRepairStepHook pfnHook) { g_pfnStepHook.store(pfnHook); }
void SetPackageDownloadQueueLimit(uint64_t ullBytes) { g_ullQueueLimitOverride.store(ullBytes); }
}  // namespace qn::testing

void QN_PackageRepairStep(const char* cszStep, uint32_t uIndex) {
    qn::testing::PackageRepairStepHook pfnHook = g_pfnStepHook.load(std::memory_order_acquire);
    if (pfnHook) pfnHook(cszStep, uIndex);
}

uint64_t QN_PackageDownloadQueueLimit() {
    const uint64_t ullOverride = g_ullQueueLimitOverride.load(std::memory_order_relaxed);
    return ullOverride ? ullOverride : QNPackageRepair::DOWNLOAD_QUEUE_HIGH_WATER;
}

HRESULT QN_CreatePackageV3Repair(const wchar_t* pcszPackageDirectory, const wchar_t* pcszPackageRepairURL,
                                 IQN_PackageRepair** ppRetPackageRepair, const wchar_t* pcszTempDirectory) {
    HRESULT hrResult = E_FAIL;
    HRESULT hrRetCode = E_FAIL;
    QNPackageRepair* pPackageRepair = nullptr;

    QN_LogPrintfW(L"The QN_CreatePackageV3Repair is built at %s, %s.", __DATE__, __TIME__);

    QNLOG_PROCESS_ERROR(ppRetPackageRepair);

    pPackageRepair = new (std::nothrow) QNPackageRepair();
    QNLOG_PROCESS_ERROR(pPackageRepair);

    hrRetCode = pPackageRepair->Init(pcszPackageDirectory, pcszPackageRepairURL, pcszTempDirectory);
    QNLOG_COM_PROCESS_ERROR(hrRetCode);

    *ppRetPackageRepair = pPackageRepair;
    pPackageRepair = nullptr;
    hrResult = S_OK;
Exit0:
    delete pPackageRepair;
    return hrResult;
}

QNPackageRepair::QNPackageRepair()
    : m_nRefCount(1),
      m_eStatusCode(QN_RPS_NONE),
      m_fCheckProgress(0.0f),
      m_fRepairProgress(0.0f),
      m_uBrokenElemFileCount(0),
      m_uCanNotRepairElemFileCount(0),
      m_bCfgFileBroken(0),
      m_ullQueuedBytes(0),
      m_bCancelDownload(false),
      m_uWrittenBlockCount(0),
      m_bDownloadFailed(false),
      m_bDataSourceFileMapLoaded(0) {
    std::memset(m_szPackageDirectory, 0, sizeof(m_szPackageDirectory));
    std::memset(m_szPackageRepairURL, 0, sizeof(m_szPackageRepairURL));
    std::memset(m_szRepairFileName, 0, sizeof(m_szRepairFileName));
    std::memset(&m_RepairFileHeader, 0, sizeof(m_RepairFileHeader));
    std::memset(m_abyGapBuffer, 0, sizeof(m_abyGapBuffer));
    for (QNPK_DOWNLOAD_THREAD_PARAM& param : m_DownloadThreadParam) {
        param.pPackageRepair = nullptr;
        param.uBegin = param.uEnd = 0;
        param.nState.store(QNPK_DTS_FINISHED);
    }
}

QNPackageRepair::~QNPackageRepair() {
    // The work thread first: it joins the download thread itself on every way out of the
    // block step, so the second wait finds nothing left in practice. The queue lock is a
    // member destroyed after both.
    m_WorkThread.Wait();
    for (QN_PakThread& thread : m_DownloadThread) thread.Wait();
    for (QNPK_DOWNLOAD_FILE_BLOCK& entry : m_DownloadFileBlockList) {
        delete[] entry.pbyBuffer;
        entry.pbyBuffer = nullptr;
    }
    m_RepairFileHttpSyncBlock.ReleaseService();
}

HRESULT QNPackageRepair::Init(const wchar_t* pcszPackageDirectory, const wchar_t* pcszPackageRepairURL,
                              const wchar_t* pcszTempDirectory) {
    HRESULT hrResult = E_FAIL;
    int nRetCode = 0;

    m_strTempFolder.clear();
    if (pcszTempDirectory && pcszTempDirectory[0]) {
        m_strTempFolder = QN_NativePathFromWide(pcszTempDirectory);
        if (m_strTempFolder.back() != '/') m_strTempFolder.push_back('/');
    }

    m_eStatusCode.store(QN_RPS_NONE);
    for (QNPK_DOWNLOAD_THREAD_PARAM& param : m_DownloadThreadParam) {
        param.pPackageRepair = nullptr;
        param.uBegin = param.uEnd = 0;
        param.nState.store(QNPK_DTS_FINISHED);
    }

    QNLOG_PROCESS_ERROR(pcszPackageDirectory);
    QNLOG_PROCESS_ERROR(pcszPackageRepairURL);

    nRetCode = QN_StrCopy(m_szPackageDirectory, pcszPackageDirectory);
    QNLOG_PROCESS_ERROR(nRetCode);
    nRetCode = QN_StrCopy(m_szPackageRepairURL, pcszPackageRepairURL);
    QNLOG_PROCESS_ERROR(nRetCode);
    nRetCode = QN_StrCopy(m_szRepairFileName, L"Repair.REP");
    QNLOG_PROCESS_ERROR(nRetCode);

    m_bDataSourceFileMapLoaded = 0;

    hrResult = S_OK;
Exit0:
    if (FAILED(hrResult)) m_eStatusCode.store(QN_RPS_ERROR_FAILED);
    return hrResult;
}

HRESULT QNPackageRepair::QueryInterface(REFIID, void**) { return E_FAIL; }

uint32_t QNPackageRepair::AddRef() { return (uint32_t)(m_nRefCount.fetch_add(1) + 1); }

uint32_t QNPackageRepair::Release() {
    const int32_t nCount = m_nRefCount.fetch_sub(1) - 1;
    if (nCount == 0) delete this;
    return (uint32_t)nCount;
}

int QNPackageRepair::_CheckThreadFunction(void* pvParam) {
    LiveThreadCounter counter;
    return (int)static_cast<QNPackageRepair*>(pvParam)->_CheckFunction();
}

int QNPackageRepair::_RepairThreadFunction(void* pvParam) {
    LiveThreadCounter counter;
    return (int)static_cast<QNPackageRepair*>(pvParam)->_RepairFunction();
}

HRESULT QNPackageRepair::StartCheck() {
    HRESULT hrResult = E_FAIL;
    QN_REPAIR_PHASE_START eStart = QN_StartRepairPhase(&m_eStatusCode, QN_RPS_CHECKING, &m_fCheckProgress,
                                                       &m_WorkThread, _CheckThreadFunction, this);

    QNLOG_PROCESS_ERROR_TEXT(eStart == QN_REPAIR_PHASE_START::STARTED, "nRetCode && \"m_WorkThread.Create(_CheckThreadFunction)\"");

    hrResult = S_OK;
Exit0:
    return hrResult;
}

HRESULT QNPackageRepair::StartRepair() {
    HRESULT hrResult = E_FAIL;
    QN_REPAIR_PHASE_START eStart = QN_StartRepairPhase(&m_eStatusCode, QN_RPS_REPAIRING, &m_fRepairProgress,
                                                       &m_WorkThread, _RepairThreadFunction, this);

    QNLOG_PROCESS_ERROR_TEXT(eStart != QN_REPAIR_PHASE_START::REFUSED, "m_eStatusCode == QN_RPS_SUCCESS_FINISH_CHECK");
    QNLOG_PROCESS_ERROR_TEXT(eStart == QN_REPAIR_PHASE_START::STARTED,
                             "nRetCode && \"m_WorkThread.Create(_RepairThreadFunction)\"");

    hrResult = S_OK;
Exit0:
    return hrResult;
}

HRESULT QNPackageRepair::Stop() {
    _RaiseStatus(QN_RPS_ERROR_ABROT);
    m_WorkThread.Wait();
    for (QN_PakThread& thread : m_DownloadThread) thread.Wait();
    return S_OK;
}

int QNPackageRepair::GetStatusCode() { return m_eStatusCode.load(std::memory_order_acquire); }

float QNPackageRepair::GetCheckProgress() { return m_fCheckProgress.load(std::memory_order_acquire); }

float QNPackageRepair::GetRepairProgress() { return m_fRepairProgress.load(std::memory_order_acquire); }

uint32_t QNPackageRepair::GetBrokenElemFileCount() { return m_uBrokenElemFileCount.load(std::memory_order_acquire); }

uint32_t QNPackageRepair::GetCanNotRepairElemFileCount() {
    return m_uCanNotRepairElemFileCount.load(std::memory_order_acquire);
}

void QNPackageRepair::_PublishBrokenElemFileCount() {
    const size_t uCount = m_BrokenDirFileList.size() + m_BrokenFileBlockIndexList.size() +
                          m_BrokenEmptyBlockRegionIndexList.size() + (m_bCfgFileBroken ? 1 : 0);
    m_uBrokenElemFileCount.store((uint32_t)uCount, std::memory_order_release);
}

bool QNPackageRepair::GetBrokenElemFileList(QNPK_BROKEN_ELEM_FILE_LIST* pRetBrokenElemFileList) {
    bool bResult = false;
    const int32_t nStatus = m_eStatusCode.load(std::memory_order_acquire);

    QNLOG_PROCESS_ERROR(pRetBrokenElemFileList);
    // The lists belong to the work thread while a phase runs.
    QNLOG_PROCESS_ERROR(nStatus != QN_RPS_CHECKING && nStatus != QN_RPS_REPAIRING);
    // Every block may be broken (a package folder that was deleted).
    QNLOG_PROCESS_ERROR(m_BrokenFileBlockIndexList.size() <= m_CorrectElemFileBlockList.size());

    pRetBrokenElemFileList->clear();
    for (uint32_t uIndex : m_BrokenFileBlockIndexList) {
        const QNPK_ELEM_FILE_CHECK_INFO_ITEM& rItem = m_CorrectElemFileBlockList[uIndex];
        pRetBrokenElemFileList->push_back({rItem.ullAddress, rItem.ullSize, rItem.uCRC32});
    }

    bResult = true;
Exit0:
    return bResult;
}

std::wstring QNPackageRepair::_PackagePath(const std::wstring& strName) const {
    return std::wstring(m_szPackageDirectory) + L"/" + strName;
}

int QNPackageRepair::_FetchTable(const QN_CallSite& site, uint64_t ullOffset, uint64_t ullSize, size_t uRecordSize,
                                 std::vector<uint8_t>* pRetBytes, const wchar_t* cwszDownloadFailed) {
    int nResult = 0;
    QN_HttpBlockDownloader::TableFetch eFetch = QN_HttpBlockDownloader::TableFetch::Refused;
    // The lines are written in the calling step's name and at its line: the fetch is one of
    // that step's steps.
    auto logFailed = [&site](const wchar_t* cwszCondition) {
        QNLog_ProcessErrorLine(cwszCondition, site.nLine, site.cszFunction);
    };

    // A table is fetched in one piece: at least one whole record, below 4 GiB. Its bytes are
    // received straight into *pRetBytes, which grows with what arrives.
    if (!QN_IsTableSizeValid(ullSize, uRecordSize)) {
        logFailed(L"table size is a whole number of records below 4 GiB");
        goto Exit0;
    }

    eFetch = m_RepairFileHttpSyncBlock.FetchTable(ullOffset, (uint32_t)ullSize, pRetBytes);
    if (eFetch == QN_HttpBlockDownloader::TableFetch::Refused) {
        logFailed(L"nRetCode");
        goto Exit0;
    }
    if (eFetch == QN_HttpBlockDownloader::TableFetch::Failed) {
        m_bDownloadFailed = true;
        logFailed(cwszDownloadFailed ? cwszDownloadFailed : L"false && \"m_RepairFileHttpSyncBlock.Download()\"");
        goto Exit0;
    }

    nResult = 1;
Exit0:
    return nResult;
}
