#include "QN_HttpTransfer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include <strings.h>

#include "QN_Log.h"
#include "repair_test_hooks.h"

std::atomic<QN_PFN_KDOWNLOAD_GET_SERVICE> g_pfnKDownloadGetService{nullptr};

namespace {

constexpr uint32_t kRequestBufferSize = 16384;
constexpr uint32_t kPollIntervalMs = 20;
constexpr size_t kSyncUrlBufferSize = 1024;
// How long an aborted session may take to end before the download gives up waiting for it.
constexpr uint32_t kAbortWaitLimitMs = 30000;
// A ranged request run under a stop test is waited for in slices of this length, with the
// stop test between them; a cancelled one may take the limit to end before it is handed to
// the service.
constexpr uint32_t kStopSliceMs = 20;
constexpr uint32_t kCancelWaitLimitMs = 30000;

bool IsSuccessStatus(int nStatus) { return nStatus == 200 || nStatus == 206; }

// A decimal number of digits only, that fits in 64 bits; *ppsz moves past it.
bool ReadDecimal(const char** ppsz, uint64_t* pullRet) {
    const char* p = *ppsz;
    uint64_t v = 0;
    if (*p < '0' || *p > '9') return false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint64_t d = (uint64_t)(*p - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    *ppsz = p;
    *pullRet = v;
    return true;
}

// "bytes S-E/T" or "bytes S-E/*", blanks allowed around the value.
bool ParseContentRange(const std::string& strValue, uint64_t* pullStart, uint64_t* pullEnd) {
    const char* p = strValue.c_str();
    uint64_t ullTotal = 0;
    while (*p == ' ' || *p == '\t') ++p;
    if (strncasecmp(p, "bytes ", 6) != 0) return false;
    p += 6;
    while (*p == ' ') ++p;
    if (!ReadDecimal(&p, pullStart) || *p++ != '-' || !ReadDecimal(&p, pullEnd) || *p++ != '/') return false;
    if (*p == '*') {
        ++p;
    } else if (!ReadDecimal(&p, &ullTotal) || *pullEnd >= ullTotal) {
        return false;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return *p == '\0' && *pullStart <= *pullEnd;
}

std::atomic<uint32_t> g_uRunLimitOverride{0};

uint32_t RunLimit() {
    uint32_t u = g_uRunLimitOverride.load(std::memory_order_relaxed);
    return u ? u : QN_HttpBlockDownloader::kMaxRunSize;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SimpleHttpHandler

SimpleHttpHandler::SimpleHttpHandler(uint8_t* pbyBuffer, uint32_t uBufferSize)
    : m_nHttpStatus(0),
      m_pbyBuffer(pbyBuffer),
      m_uBufferSize(uBufferSize),
      m_uReceivedSize(0),
      m_bRequestFailed(false),
      m_pbyOwnedBuffer(nullptr) {}

SimpleHttpHandler::~SimpleHttpHandler() { delete[] m_pbyOwnedBuffer; }

void SimpleHttpHandler::AdoptBuffer() { m_pbyOwnedBuffer = m_pbyBuffer; }

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
    if (uNameLen == 13 && strncasecmp(pszName, "Content-Range", 13) == 0) m_strContentRange.assign(pszValue, uValueLen);
    return 0;
}

bool SimpleHttpHandler::RangeIs(uint64_t ullStart, uint32_t uSize) const {
    uint64_t ullFirst = 0, ullLast = 0;
    return ParseContentRange(m_strContentRange, &ullFirst, &ullLast) && ullFirst == ullStart &&
           ullLast == ullStart + uSize - 1;
}

int32_t SimpleHttpHandler::onBody(const uint8_t* pbyData, uint32_t uLen) {
    if (!IsSuccessStatus(m_nHttpStatus)) return 0;
    if ((uint64_t)m_uReceivedSize + uLen > m_uBufferSize) return E_FAIL;
    if (uLen > 0) std::memcpy(m_pbyBuffer + m_uReceivedSize, pbyData, uLen);
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
    BlockInfo block = {ullOffset, uSize, pvRetBuffer};

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

int QN_HttpBlockDownloader::_SyncDownloadBlock(uint32_t* puBlockIndex) {
    int nResult = 0;
    int nRetCode = 0;
    HRESULT hrRetCode = E_FAIL;
    uint32_t uHeadIndex = 0;
    uint32_t uNextIndex = 0;
    uint64_t ullStart = 0;
    uint32_t uRunSize = 0;
    uint8_t* pbyRecvBuffer = nullptr;
    SimpleHttpHandler* pHandler = nullptr;
    IKHttpClient* piClient = nullptr;
    std::string strRefreshTail;
    std::string strRefreshURL;
    char szRange[64];
    bool bSucceeded = false;
    // With a stop test the request runs asynchronously, so that a stop cuts it short.
    const bool bCuttable = (bool)m_fnStop;
    size_t uPos = 0;

    QNLOG_PROCESS_ERROR(puBlockIndex);
    uHeadIndex = *puBlockIndex;
    QNLOG_PROCESS_ERROR(uHeadIndex < (unsigned)m_BlockInfoVector.size());
    // Without a successful Init there is no service to ask.
    QNLOG_PROCESS_ERROR(m_repairDlService);

    // The run: the blocks that follow each other byte for byte, up to the size limit.
    ullStart = m_BlockInfoVector[uHeadIndex].ullOffset;
    uRunSize = m_BlockInfoVector[uHeadIndex].uSize;
    uNextIndex = uHeadIndex + 1;
    while (uNextIndex < (uint32_t)m_BlockInfoVector.size()) {
        const BlockInfo& next = m_BlockInfoVector[uNextIndex];
        if (next.ullOffset != ullStart + uRunSize) break;
        if ((uint64_t)uRunSize + next.uSize > RunLimit()) break;
        uRunSize += next.uSize;
        ++uNextIndex;
    }

    pbyRecvBuffer = new (std::nothrow) uint8_t[uRunSize];
    if (!pbyRecvBuffer) {
        QNLog_Printf(3, "_SyncDownloadBlock alloc recv buffer failed : size=%llu", (unsigned long long)uRunSize);
        goto Exit0;
    }

    nRetCode = _GenerateRefreshEveryTimeString(&strRefreshTail);
    QNLOG_PROCESS_ERROR(nRetCode);
    strRefreshURL = m_strFileURL + strRefreshTail;

    QN_snprintf(szRange, sizeof(szRange), "bytes=%llu-%llu", (unsigned long long)ullStart,
                (unsigned long long)(ullStart + uRunSize - 1));

    for (uint32_t uAttempt = 0; uAttempt < kMaxAttempts; ++uAttempt) {
        // A stop request ends the run before the next request is sent.
        QNLOG_PROCESS_ERROR(!_StopRequested());

        pHandler = new (std::nothrow) SimpleHttpHandler(pbyRecvBuffer, uRunSize);
        QNLOG_PROCESS_ERROR(pHandler);
        pHandler->AddRef();

        hrRetCode = m_repairDlService->createClient(kRequestBufferSize, KHTTP_METHOD_GET,
                                                    uAttempt == 0 ? strRefreshURL.c_str() : m_strFileURL.c_str(),
                                                    pHandler, bCuttable, &piClient);
        if (FAILED(hrRetCode)) goto Exit0;

        piClient->addHeader("Range", szRange);
        hrRetCode = piClient->execute();
        if (bCuttable && SUCCEEDED(hrRetCode)) {
            nRetCode = _WaitForRequest(piClient);
            if (!nRetCode) {
                // Stopped. A request that did not end after its cancel still writes into the
                // handler's buffer: the handler takes the buffer over and the service holds
                // the request until it ends, so both go only with it.
                if (!piClient->wait(0)) {
                    QNLog_Printf(3, "_SyncDownloadBlock cancelled request did not end");
                    pHandler->AdoptBuffer();
                    pbyRecvBuffer = nullptr;
                    if (SUCCEEDED(m_repairDlService->addClient(piClient))) piClient = nullptr;
                }
                goto Exit0;
            }
        }

        // A whole-file answer (200) holds the requested bytes only when the run starts at 0;
        // a partial one (206) only when its Content-Range is the run. An answer longer than
        // the run fails the request once the buffer is full; the bytes that filled it are then
        // not the answer to the range asked for.
        bSucceeded = SUCCEEDED(hrRetCode) && !pHandler->m_bRequestFailed &&
                     ((pHandler->m_nHttpStatus == 206 && pHandler->RangeIs(ullStart, uRunSize)) ||
                      (pHandler->m_nHttpStatus == 200 && ullStart == 0)) &&
                     pHandler->m_uReceivedSize == uRunSize;
        if (bSucceeded) break;

        if (uAttempt + 1 == kMaxAttempts) {
            QNLog_Printf(3, "_SyncDownloadBlock download session execute failed");
            goto Exit0;
        }
        piClient->Release();
        piClient = nullptr;
        pHandler->Release();
        pHandler = nullptr;
    }

    for (uint32_t i = uHeadIndex; i < uNextIndex; ++i) {
        std::memcpy(m_BlockInfoVector[i].pvRetBuffer, pbyRecvBuffer + uPos, m_BlockInfoVector[i].uSize);
        uPos += m_BlockInfoVector[i].uSize;
    }
    *puBlockIndex = uNextIndex;

    nResult = 1;
Exit0:
    // The request first, then its handler and buffer.
    if (piClient) piClient->Release();
    if (pHandler) pHandler->Release();
    delete[] pbyRecvBuffer;
    return nResult;
}

int QN_HttpBlockDownloader::_WaitForRequest(IKHttpClient* piClient) {
    int nResult = 0;

    while (!piClient->wait(kStopSliceMs)) {
        if (_StopRequested()) {
            QNLog_Printf(3, "_SyncDownloadBlock stopped while a request was running");
            piClient->cancel();
            piClient->wait(kCancelWaitLimitMs);
            goto Exit0;
        }
    }

    nResult = 1;
Exit0:
    return nResult;
}

namespace qn::testing {
void SetBlockDownloadRunLimit(uint32_t uBytes) { g_uRunLimitOverride.store(uBytes, std::memory_order_relaxed); }
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
    std::memcpy(szURL, cszFileURL, uURLLength + 1);
    std::replace(szURL, szURL + uURLLength, '\\', '/');

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
