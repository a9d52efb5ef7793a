#include "QN_HttpTransfer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "KHttpFields.h"
#include "QN_Log.h"
#include "qn_file.h"
#include "repair_test_hooks.h"

std::atomic<QN_PFN_KDOWNLOAD_GET_SERVICE> g_pfnKDownloadGetService{nullptr};

namespace {

constexpr uint32_t kRequestBufferSize = 16384;
constexpr uint32_t kPollIntervalMs = 20;
constexpr size_t kSyncUrlBufferSize = 1024;
// How long an aborted session may take to end before the download gives up waiting for it.
constexpr uint32_t kAbortWaitLimitMs = 30000;
// A ranged request is waited for in slices of this length, with the stop test and the
// no-progress limit between them; a cancelled one may take the limit to end before it is
// handed to the service.
constexpr uint32_t kStopSliceMs = 20;
constexpr uint32_t kCancelWaitLimitMs = 30000;

bool IsSuccessStatus(int nStatus) { return nStatus == 200 || nStatus == 206; }

std::atomic<uint32_t> g_uRunLimitOverride{0};
std::atomic<uint32_t> g_uNoProgressLimitOverride{0};

uint32_t RunLimit() {
    uint32_t u = g_uRunLimitOverride.load(std::memory_order_relaxed);
    return u ? u : QN_HttpBlockDownloader::kMaxRunSize;
}

uint32_t NoProgressLimitMs() {
    uint32_t u = g_uNoProgressLimitOverride.load(std::memory_order_relaxed);
    return u ? u : QN_SYNC_DOWNLOAD_NO_PROGRESS_LIMIT_MS;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A vector target's first room: its whole size up to this bound, taken with the answer's first
// bytes, so that a table of ordinary size is one allocation of its exact size (no chain of
// freed smaller copies). A larger size grows from there by doubling as the bytes arrive.
constexpr size_t kFirstGrowth = 4 * 1024 * 1024;

}  // namespace

// ---------------------------------------------------------------------------------------------
// SimpleHttpHandler

SimpleHttpHandler::SimpleHttpHandler(uint8_t* pbyBuffer, uint32_t uBufferSize)
    : SimpleHttpHandler(std::vector<Target>{Target{pbyBuffer, uBufferSize, nullptr}}) {}

SimpleHttpHandler::SimpleHttpHandler(std::vector<Target> targets)
    : m_nHttpStatus(0),
      m_uBufferSize(0),
      m_uReceivedSize(0),
      m_bRequestFailed(false),
      m_Targets(std::move(targets)),
      m_uTarget(0),
      m_uTargetFilled(0),
      m_bExpectRange(false),
      m_ullExpectedStart(0),
      m_bAnswerChecked(false),
      m_llContentLength(-1),
      m_bDetached(false) {
    for (const Target& t : m_Targets) m_uBufferSize += t.uSize;
}

SimpleHttpHandler::~SimpleHttpHandler() = default;

HRESULT SimpleHttpHandler::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject || riid != IID_IKHttpResponseHandler) return E_NOINTERFACE;
    *ppvObject = static_cast<IKHttpResponseHandler*>(this);
    AddRef();
    return S_OK;
}

uint32_t SimpleHttpHandler::AddRef() { return addRefImpl(); }

uint32_t SimpleHttpHandler::Release() {
    uint32_t uCount = releaseImpl();
    if (uCount == 0) delete this;
    return uCount;
}

int32_t SimpleHttpHandler::onError() {
    m_bRequestFailed = true;
    return 0;
}

int32_t SimpleHttpHandler::onStatus(int nStatusCode) {
    m_nHttpStatus = nStatusCode;
    return 0;
}

int32_t SimpleHttpHandler::onHeader(const char* pszName, uint32_t uNameLen, const char* pszValue, uint32_t uValueLen) {
    if (KHttpNameIs({pszName, uNameLen}, "Content-Range")) m_strContentRange.assign(pszValue, uValueLen);
    if (KHttpNameIs({pszName, uNameLen}, "Content-Length")) {
        uint64_t ullLength = 0;
        const bool bNumber = KHttpParseDecimal({pszValue, uValueLen}, &ullLength) && ullLength <= (uint64_t)INT64_MAX;
        // A value that is no plain number counts as a length no range has.
        m_llContentLength = bNumber ? (int64_t)ullLength : INT64_MAX;
    }
    return 0;
}

void SimpleHttpHandler::ExpectRange(uint64_t ullStart) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bExpectRange = true;
    m_ullExpectedStart = ullStart;
}

bool SimpleHttpHandler::RangeIs(uint64_t ullStart, uint32_t uSize) const {
    KHttpContentRange r;
    return KHttpParseContentRange(m_strContentRange, &r) && r.ullFirst == ullStart && r.ullLast == ullStart + uSize - 1;
}

void SimpleHttpHandler::Detach() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bDetached = true;
}

uint32_t SimpleHttpHandler::ReceivedSize() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_uReceivedSize;
}

bool SimpleHttpHandler::_AnswerIsTheRange() const {
    if (m_nHttpStatus == 206) return RangeIs(m_ullExpectedStart, m_uBufferSize);
    // A whole-file answer holds the range only when the range is the whole file.
    return m_nHttpStatus == 200 && m_ullExpectedStart == 0 &&
           (m_llContentLength < 0 || m_llContentLength == (int64_t)m_uBufferSize);
}

bool SimpleHttpHandler::_Store(const uint8_t* pbyData, uint32_t uLen) {
    while (uLen > 0 && m_uTarget < m_Targets.size()) {
        const Target& t = m_Targets[m_uTarget];
        const uint32_t uPart = std::min(uLen, t.uSize - m_uTargetFilled);
        if (t.pGrowing) {
            // The vector grows with what arrives, geometrically, never past the target's size.
            std::vector<uint8_t>& v = *t.pGrowing;
            const size_t uNeed = v.size() + uPart;
            if (uNeed > v.capacity()) {
                size_t uCapacity = std::max(uNeed, std::max(v.capacity() * 2, kFirstGrowth));
                uCapacity = std::min(uCapacity, (size_t)t.uSize);
                try {
                    v.reserve(uCapacity);
                } catch (const std::bad_alloc&) {
                    return false;
                }
            }
            v.insert(v.end(), pbyData, pbyData + uPart);
        } else if (uPart > 0) {
            std::memcpy(t.pbyBuffer + m_uTargetFilled, pbyData, uPart);
        }
        m_uTargetFilled += uPart;
        pbyData += uPart;
        uLen -= uPart;
        if (m_uTargetFilled == t.uSize) {
            ++m_uTarget;
            m_uTargetFilled = 0;
        }
    }
    return uLen == 0;
}

int32_t SimpleHttpHandler::onBody(const uint8_t* pbyData, uint32_t uLen) {
    if (!IsSuccessStatus(m_nHttpStatus)) return 0;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_bDetached) return E_FAIL;
    // The answer is looked at once, before its first byte is stored: bytes of another range
    // never reach the targets.
    if (!m_bAnswerChecked) {
        if (m_bExpectRange && !_AnswerIsTheRange()) {
            m_bRequestFailed = true;
            return E_FAIL;
        }
        m_bAnswerChecked = true;
    }
    if ((uint64_t)m_uReceivedSize + uLen > m_uBufferSize) {
        m_bRequestFailed = true;
        return E_FAIL;
    }
    if (!_Store(pbyData, uLen)) {
        QNLog_Printf(3, "SimpleHttpHandler cannot hold %u more bytes", uLen);
        m_bRequestFailed = true;
        return E_FAIL;
    }
    m_uReceivedSize += uLen;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// QN_HttpBlockDownloader

QN_HttpBlockDownloader::QN_HttpBlockDownloader() : m_repairDlService(nullptr) {}

QN_HttpBlockDownloader::~QN_HttpBlockDownloader() { ReleaseService(); }

void QN_HttpBlockDownloader::ReleaseService() {
    if (m_repairDlService) {
        m_repairDlService->Release();
        m_repairDlService = nullptr;
    }
}

int QN_HttpBlockDownloader::Init(const char* cszFileURL) {
    int nResult = 0;
    QN_PFN_KDOWNLOAD_GET_SERVICE pfnGetService = nullptr;

    QNLOG_PROCESS_ERROR(cszFileURL);
    QNLOG_PROCESS_ERROR(cszFileURL[0]);

    m_strFileURL = cszFileURL;
    m_BlockInfoVector.clear();

    // A second Init would otherwise leave the reference of the first one behind.
    ReleaseService();
    pfnGetService = g_pfnKDownloadGetService.load(std::memory_order_acquire);
    if (pfnGetService) pfnGetService(IID_IKHttpService, (void**)&m_repairDlService);
    QNLOG_PROCESS_ERROR(m_repairDlService);

    nResult = 1;
Exit0:
    return nResult;
}

int QN_HttpBlockDownloader::AddBlock(uint64_t ullOffset, uint32_t uSize, void* pvRetBuffer) {
    int nResult = 0;
    BlockInfo block = {ullOffset, uSize, pvRetBuffer, nullptr};

    QNLOG_PROCESS_ERROR(uSize);
    QNLOG_PROCESS_ERROR(pvRetBuffer);

    m_BlockInfoVector.push_back(block);

    nResult = 1;
Exit0:
    return nResult;
}

int QN_HttpBlockDownloader::Download() {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uIndex = 0;

    std::sort(m_BlockInfoVector.begin(), m_BlockInfoVector.end(),
              [](const BlockInfo& a, const BlockInfo& b) { return a.ullOffset < b.ullOffset; });

    while (uIndex < (uint32_t)m_BlockInfoVector.size()) {
        nRetCode = _SyncDownloadBlock(&uIndex);
        QNLOG_PROCESS_ERROR_TEXT(nRetCode, "nRetCode && \"_DownloadContinuousBlock()\"");
    }

    nResult = 1;
Exit0:
    return nResult;
}

QN_HttpBlockDownloader::TableFetch QN_HttpBlockDownloader::FetchTable(uint64_t ullOffset, uint32_t uSize,
                                                                      std::vector<uint8_t>* pRetBytes) {
    TableFetch eResult = TableFetch::Refused;
    int nRetCode = 0;

    m_BlockInfoVector.clear();
    QNLOG_PROCESS_ERROR(uSize);
    QNLOG_PROCESS_ERROR(pRetBytes);

    pRetBytes->clear();
    m_BlockInfoVector.push_back({ullOffset, uSize, nullptr, pRetBytes});
    eResult = TableFetch::Failed;
    nRetCode = Download();
    if (!nRetCode) goto Exit0;

    eResult = TableFetch::Fetched;
Exit0:
    if (eResult == TableFetch::Failed) {
        pRetBytes->clear();
        pRetBytes->shrink_to_fit();
    }
    return eResult;
}

QN_HttpBlockDownloader::Run QN_HttpBlockDownloader::_FormRun(uint32_t uHeadIndex) const {
    // The blocks that follow each other byte for byte, up to the size limit.
    Run run = {uHeadIndex, uHeadIndex + 1, m_BlockInfoVector[uHeadIndex].ullOffset, m_BlockInfoVector[uHeadIndex].uSize};
    while (run.uNextIndex < (uint32_t)m_BlockInfoVector.size()) {
        const BlockInfo& next = m_BlockInfoVector[run.uNextIndex];
        if (next.ullOffset != run.ullStart + run.uSize) break;
        if ((uint64_t)run.uSize + next.uSize > RunLimit()) break;
        run.uSize += next.uSize;
        ++run.uNextIndex;
    }
    return run;
}

std::vector<SimpleHttpHandler::Target> QN_HttpBlockDownloader::_RunTargets(const Run& run) {
    std::vector<SimpleHttpHandler::Target> targets;
    targets.reserve(run.uNextIndex - run.uHeadIndex);
    for (uint32_t i = run.uHeadIndex; i < run.uNextIndex; ++i) {
        const BlockInfo& block = m_BlockInfoVector[i];
        targets.push_back({static_cast<uint8_t*>(block.pvRetBuffer), block.uSize, block.pGrowing});
    }
    return targets;
}

void QN_HttpBlockDownloader::_ResetGrowingBlocks(const Run& run, bool bRelease) {
    for (uint32_t i = run.uHeadIndex; i < run.uNextIndex; ++i) {
        std::vector<uint8_t>* pGrowing = m_BlockInfoVector[i].pGrowing;
        if (!pGrowing) continue;
        pGrowing->clear();
        if (bRelease) pGrowing->shrink_to_fit();
    }
}

int QN_HttpBlockDownloader::_SyncDownloadBlock(uint32_t* puBlockIndex) {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uHeadIndex = 0;
    Run run = {0, 0, 0, 0};
    Attempt eAttempt = Attempt::Failed;
    ProgressClock clock = {NowMs(), 0};
    std::string strRefreshTail;
    char szRange[64];

    QNLOG_PROCESS_ERROR(puBlockIndex);
    uHeadIndex = *puBlockIndex;
    QNLOG_PROCESS_ERROR(uHeadIndex < (unsigned)m_BlockInfoVector.size());
    // Without a successful Init there is no service to ask.
    QNLOG_PROCESS_ERROR(m_repairDlService);

    run = _FormRun(uHeadIndex);

    nRetCode = _GenerateRefreshEveryTimeString(&strRefreshTail);
    QNLOG_PROCESS_ERROR(nRetCode);

    QN_snprintf(szRange, sizeof(szRange), "bytes=%llu-%llu", (unsigned long long)run.ullStart,
                (unsigned long long)(run.ullStart + run.uSize - 1));

    // The first attempt carries the cache-defeating tail, the others ask for the plain URL.
    for (uint32_t uAttempt = 0; uAttempt < kMaxAttempts && eAttempt == Attempt::Failed; ++uAttempt) {
        // A stop request ends the run before the next request is sent.
        QNLOG_PROCESS_ERROR(!_StopRequested());
        eAttempt = _RunAttempt(run, uAttempt == 0 ? m_strFileURL + strRefreshTail : m_strFileURL, szRange, &clock);
    }
    if (eAttempt == Attempt::Failed) {
        QNLog_Printf(3, "_SyncDownloadBlock download session execute failed");
        goto Exit0;
    }
    if (eAttempt == Attempt::GivenUp) goto Exit0;

    *puBlockIndex = run.uNextIndex;
    nResult = 1;
Exit0:
    // A failed run keeps no table bytes.
    if (!nResult && run.uNextIndex > run.uHeadIndex) _ResetGrowingBlocks(run, true);
    return nResult;
}

QN_HttpBlockDownloader::Attempt QN_HttpBlockDownloader::_RunAttempt(const Run& run, const std::string& strURL,
                                                                    const char* cszRange, ProgressClock* pClock) {
    Attempt eResult = Attempt::GivenUp;
    int nRetCode = 0;
    HRESULT hrRetCode = E_FAIL;
    SimpleHttpHandler* pHandler = nullptr;
    IKHttpClient* piClient = nullptr;

    // Each attempt fills the blocks again from their start.
    _ResetGrowingBlocks(run, false);
    pHandler = new (std::nothrow) SimpleHttpHandler(_RunTargets(run));
    QNLOG_PROCESS_ERROR(pHandler);
    pHandler->AddRef();
    pHandler->ExpectRange(run.ullStart);
    pClock->uLastReceived = 0;

    // Every request runs asynchronously, so that a stop or a silent server cuts it short. A
    // client that cannot be made ends the run without a further attempt.
    hrRetCode = m_repairDlService->createClient(kRequestBufferSize, KHTTP_METHOD_GET, strURL.c_str(), pHandler, true,
                                                &piClient);
    if (FAILED(hrRetCode)) {
        piClient = nullptr;
        goto Exit0;
    }

    piClient->addHeader("Range", cszRange);
    hrRetCode = piClient->execute();
    if (SUCCEEDED(hrRetCode)) {
        nRetCode = _WaitForRequest(&piClient, pHandler, pClock);
        if (!nRetCode) goto Exit0;
    }

    // The handler stored only an answer that names the run (a 206 with its Content-Range, or a
    // 200 for a run at 0); a body longer than the run failed the request.
    eResult = SUCCEEDED(hrRetCode) && !pHandler->m_bRequestFailed &&
                      ((pHandler->m_nHttpStatus == 206 && pHandler->RangeIs(run.ullStart, run.uSize)) ||
                       (pHandler->m_nHttpStatus == 200 && run.ullStart == 0)) &&
                      pHandler->m_uReceivedSize == run.uSize
                  ? Attempt::Fetched
                  : Attempt::Failed;
Exit0:
    // The request first, then its handler.
    if (piClient) piClient->Release();
    if (pHandler) pHandler->Release();
    return eResult;
}

int QN_HttpBlockDownloader::_WaitForRequest(IKHttpClient** ppiClient, SimpleHttpHandler* pHandler,
                                            ProgressClock* pClock) {
    int nResult = 0;
    IKHttpClient* piClient = *ppiClient;
    const uint32_t uLimitMs = NoProgressLimitMs();

    while (!piClient->wait(kStopSliceMs)) {
        const uint32_t uReceived = pHandler->ReceivedSize();
        const int64_t llNow = NowMs();
        if (uReceived != pClock->uLastReceived) {
            pClock->uLastReceived = uReceived;
            pClock->llLastProgressMs = llNow;
        }
        if (_StopRequested()) {
            QNLog_Printf(3, "_SyncDownloadBlock stopped while a request was running");
            goto Exit0;
        }
        if (llNow - pClock->llLastProgressMs >= (int64_t)uLimitMs) {
            QNLog_Printf(3, "_SyncDownloadBlock no progress for %u ms. cszFileURL=%s", uLimitMs, m_strFileURL.c_str());
            goto Exit0;
        }
    }
    // Bytes of an attempt that ended between two looks still count as progress of the run.
    if (pHandler->ReceivedSize() != pClock->uLastReceived) pClock->llLastProgressMs = NowMs();

    nResult = 1;
Exit0:
    if (!nResult) {
        // Given up. From here on the handler stores nothing, so the blocks are the caller's
        // again; a request that does not end after its cancel is handed to the service, which
        // holds it (and its handler) until it ends.
        pHandler->Detach();
        piClient->cancel();
        if (!piClient->wait(kCancelWaitLimitMs)) {
            QNLog_Printf(3, "_SyncDownloadBlock cancelled request did not end");
            if (SUCCEEDED(m_repairDlService->addClient(piClient))) *ppiClient = nullptr;
        }
    }
    return nResult;
}

namespace qn::testing {
void SetBlockDownloadRunLimit(uint32_t uBytes) { g_uRunLimitOverride.store(uBytes, std::memory_order_relaxed); }
void SetBlockDownloadNoProgressLimit(uint32_t uMilliseconds) {
    g_uNoProgressLimitOverride.store(uMilliseconds, std::memory_order_relaxed);
}
}  // namespace qn::testing

// ---------------------------------------------------------------------------------------------
// Whole-file download

namespace {

// Polls the session until it has ended (4 or 5). Returns the final status. A stop request or
// a run of uNoProgressLimitMs without new bytes aborts the session first; *pbGaveUp tells.
uint32_t WaitForSession(IKDownloadSession* piSession, const QN_TransferStopTest& fnStop, uint32_t uNoProgressLimitMs,
                        const char* cszFileURL, bool* pbGaveUp) {
    using Clock = std::chrono::steady_clock;
    uint32_t uStatus = 0, uSpeedAvg = 0, uSpeedCur = 0;
    uint64_t ullFileSize = 0, ullBytesDone = 0, ullLastBytes = 0;
    Clock::time_point tLastProgress = Clock::now();
    Clock::time_point tAborted;
    bool bAborted = false;
    *pbGaveUp = false;
    for (;;) {
        piSession->getProgress(&uStatus, &ullFileSize, &ullBytesDone, &uSpeedAvg, &uSpeedCur);
        if (uStatus == KDS_STATUS_SUCCEEDED || uStatus == KDS_STATUS_FAILED) break;
        if (bAborted && Clock::now() - tAborted >= std::chrono::milliseconds(kAbortWaitLimitMs)) {
            QNLog_Printf(3, "_QN_HttpSyncDownloadFile aborted session did not end. cszFileURL=%s", cszFileURL);
            break;
        }
        if (!bAborted) {
            if (ullBytesDone != ullLastBytes) {
                ullLastBytes = ullBytesDone;
                tLastProgress = Clock::now();
            }
            if (fnStop && fnStop()) {
                QNLog_Printf(3, "_QN_HttpSyncDownloadFile stopped. cszFileURL=%s", cszFileURL);
                bAborted = true;
            } else if (Clock::now() - tLastProgress >= std::chrono::milliseconds(uNoProgressLimitMs)) {
                QNLog_Printf(3, "_QN_HttpSyncDownloadFile no progress for %u ms. cszFileURL=%s", uNoProgressLimitMs,
                             cszFileURL);
                bAborted = true;
            }
            if (bAborted) {
                piSession->abort();
                tAborted = Clock::now();
                *pbGaveUp = true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
    }
    return uStatus;
}

}  // namespace

int _QN_HttpSyncDownloadFile(const char* cszFileURL, const wchar_t* cwszSaveDir, const wchar_t* cwszFileName,
                             const QN_TransferStopTest& fnStop, uint32_t uNoProgressLimitMs) {
    int nResult = 0;
    int nRetCode = 0;
    HRESULT hrRetCode = E_FAIL;
    char szURL[kSyncUrlBufferSize];
    size_t uURLLength = 0;
    std::string strRefreshTail;
    std::string strEscapedURL;
    std::string strRefreshURL;
    IKDownloadService* pDownloadService = nullptr;
    IKDownloadSession* piSession = nullptr;
    QN_PFN_KDOWNLOAD_GET_SERVICE pfnGetService = nullptr;
    uint32_t uStatus = 0;
    uint32_t uErrCode = 0, uErrExtCode = 0;
    bool bGaveUp = false;
    std::wstring wsFileName;

    QNLOG_PROCESS_ERROR(cszFileURL);
    // A longer URL would be cut; it is refused instead.
    uURLLength = std::strlen(cszFileURL);
    QNLOG_PROCESS_ERROR(uURLLength < sizeof(szURL));
    std::memcpy(szURL, QN_NativePath(cszFileURL).c_str(), uURLLength + 1);

    nRetCode = _GenerateRefreshEveryTimeString(&strRefreshTail);
    QNLOG_PROCESS_ERROR(nRetCode);

    strEscapedURL = _EscapeURL(szURL);
    strRefreshURL = strEscapedURL + strRefreshTail;

    // The name comes from the repair server's tables: a path below the save folder with the
    // client's '\\' separators. The table-name helper turns it into a local path and refuses a
    // name that is empty, absolute or climbs out of the save folder.
    if (cwszFileName) {
        QNLOG_PROCESS_ERROR(QN_LocalPathFromTableNameW(cwszFileName, &wsFileName));
    }

    pfnGetService = g_pfnKDownloadGetService.load(std::memory_order_acquire);
    if (pfnGetService) pfnGetService(IID_IKDownloadService, (void**)&pDownloadService);
    QNLOG_PROCESS_ERROR(pDownloadService);

    for (int nAttempt = 1; nAttempt <= 2; ++nAttempt) {
        const std::string& strURL = nAttempt == 1 ? strRefreshURL : strEscapedURL;
        hrRetCode = pDownloadService->createSession(strURL.c_str(), nullptr, cwszSaveDir,
                                                    cwszFileName ? wsFileName.c_str() : nullptr, &piSession);
        if (FAILED(hrRetCode)) {
            piSession = nullptr;
            QNLog_Printf(3, "DownloadService->createSession error! cszFileURL=%s \n", szURL);
            goto Exit0;
        }
        piSession->start();
        uStatus = WaitForSession(piSession, fnStop, uNoProgressLimitMs, szURL, &bGaveUp);
        if (bGaveUp) goto Exit0;
        if (uStatus == KDS_STATUS_SUCCEEDED) break;
        if (nAttempt == 2) {
            piSession->getError(&uErrCode, &uErrExtCode);
            QNLog_Printf(3, "error in _QN_HttpSyncDownloadFile errCode=%d, errExtCode=%d\n", (int)uErrCode,
                         (int)uErrExtCode);
            goto Exit0;
        }
        piSession->Release();
        piSession = nullptr;
    }

    nResult = 1;
Exit0:
    if (piSession) piSession->Release();
    if (pDownloadService) pDownloadService->Release();
    return nResult;
}

// ---------------------------------------------------------------------------------------------
// String helpers

std::string _EscapeURL(const std::string& strIn) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string strOut;
    strOut.reserve(strIn.size() * 3);
    for (unsigned char c : strIn) {
        bool bPlain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || c == '.' || c == '~' || c == ':' || c == '\\' || c == '/';
        // Everything else, a blank included, is escaped: a blank as "%20", since a "+" in a
        // URL path is a plus sign to the server.
        if (bPlain) {
            strOut.push_back((char)c);
        } else {
            strOut.push_back('%');
            strOut.push_back(kHex[c >> 4]);
            strOut.push_back(kHex[c & 0x0F]);
        }
    }
    return strOut;
}

int _GenerateRefreshEveryTimeString(std::string* pRetString) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(pRetString);

    *pRetString = "/" + std::to_string((int32_t)time(nullptr)) + ".RefreshEveryTime";

    nResult = 1;
Exit0:
    return nResult;
}
