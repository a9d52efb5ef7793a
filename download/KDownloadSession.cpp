#include "KDownloadSession.h"

#include <cstring>
#include <new>
#include <system_error>

#include "KClientIdentity.h"
#include "KDownloadLibrary.h"
#include "KDownloadingReadonlyStream.h"
#include "KHttpDownloader.h"
#include "KHttpRequest.h"
#include "KSessionLog.h"
#include "QN_MD5.h"
#include "download_test_hooks.h"
#include "qn_file_io.h"
#include "qn_platform.h"
#include "qn_socket.h"
#include "qn_string.h"
#include "speed_limiter.h"

namespace {

constexpr uint32_t kRoundSleepMs = 20;
constexpr uint32_t kQueryWaitMs = 50;
constexpr uint32_t kProgressPeriodMs = 100;
constexpr uint32_t kFlushPeriodMs = 1000;
constexpr uint32_t kSpeedPeriodMs = 2000;
// How long a request may bring no body byte (none yet, or none since the last) before its run
// is shared all the same, down to its last piece alone.
constexpr uint32_t kShareAfterSilenceMs = 1000;
constexpr uint32_t kReportPort = 6015;
constexpr uint32_t kReportLimit = 8191;
// What a downloader's poll leaves in the client-error output when it reports none.
constexpr int32_t kNoClientError = 0x7FFFFFFF;

std::string Narrow(const std::wstring& ws) { return QN_WideToUtf8(ws); }

// Prefixes a path-absolute Location with the scheme and authority of the URL it came from.
std::string ResolveLocation(const std::string& sBase, const std::string& sLocation) {
    if (sLocation.empty() || sLocation[0] != '/' || (sLocation.size() > 1 && sLocation[1] == '/')) return sLocation;
    size_t uScheme = sBase.find("://");
    if (uScheme == std::string::npos) return sLocation;
    size_t uPath = sBase.find('/', uScheme + 3);
    return (uPath == std::string::npos ? sBase : sBase.substr(0, uPath)) + sLocation;
}

std::atomic<uint64_t> g_reportPosts{0};

}  // namespace

uint64_t qn::testing::ReportPostCount() { return g_reportPosts.load(std::memory_order_acquire); }

KDownloadSession::KDownloadSession() : m_abort(std::make_shared<std::atomic<bool>>(false)) {}

KDownloadSession::~KDownloadSession() {
    m_abort->store(true, std::memory_order_release);
    if (m_thread.joinable()) m_thread.join();
    m_downloaders.clear();
    if (m_pLimiter) SpeedLimiterModule::instance().destroy(m_pLimiter);
    m_pChecksum.reset();
    releaseStorage();
}

void KDownloadSession::releaseStorage() {
    DataFile* pData = nullptr;
    PieceMap* pMap = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        pData = m_pDataFile;
        pMap = m_pPieceMap;
        m_pDataFile = nullptr;
        m_pPieceMap = nullptr;
    }
    if (pMap) {
        pMap->markEnded();
        pMap->Release();
    }
    if (pData) pData->Release();
}

HRESULT KDownloadSession::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject) return E_INVALIDARG;
    *ppvObject = nullptr;
    if (riid != IID_IKDownloadSession) return E_NOINTERFACE;
    AddRef();
    *ppvObject = static_cast<IKDownloadSession*>(this);
    return S_OK;
}

uint32_t KDownloadSession::Release() {
    uint32_t uRef = releaseImpl();
    if (uRef == 0) delete this;
    return uRef;
}

// ---------------------------------------------------------------------------------------------
// Options

uint32_t KDownloadSession::capacityForRate(uint32_t uRate) const {
    if (uRate >= 0xA00000u) return 0x80000u;
    if (uRate < 0x600000u) return 0x20000u;
    return 0x40000u;
}

HRESULT KDownloadSession::getOption(uint32_t uId, void* pvBuffer, uint32_t* puSize) {
    if (!pvBuffer || !puSize || uId > KDS_OPT_USE_QUERY_SERVER_IP) return E_INVALIDARG;
    uint32_t uValue = 0;
    switch (uId) {
        case KDS_OPT_CONNECTIONS: uValue = m_uConnections.load(); break;
        case KDS_OPT_SPEED_LIMIT:
            if (!m_pLimiter) return E_FAIL;
            uValue = m_pLimiter->rate();
            break;
        case KDS_OPT_NO_RESUME:
            *(uint8_t*)pvBuffer = m_bNoResume.load() ? 1 : 0;
            *puSize = 1;
            return S_OK;
        case KDS_OPT_MAX_CHECKSUM_ERRORS: uValue = m_uMaxChecksumErrors.load(); break;
        case KDS_OPT_USE_QUERY_SERVER_IP:
            *(uint8_t*)pvBuffer = m_bUseQueryServerIP.load() ? 1 : 0;
            *puSize = 1;
            return S_OK;
        default: return E_FAIL;
    }
    if (*puSize < 4) return E_FAIL;
    std::memcpy(pvBuffer, &uValue, 4);
    *puSize = 4;
    return S_OK;
}

HRESULT KDownloadSession::setOption(uint32_t uId, const void* pvBuffer, uint32_t uSize) {
    if (!pvBuffer || uSize == 0 || uId > KDS_OPT_USE_QUERY_SERVER_IP) return E_INVALIDARG;
    if (uId == KDS_OPT_NO_RESUME) {
        m_bNoResume.store(*(const uint8_t*)pvBuffer != 0);
        return S_OK;
    }
    if (uId == KDS_OPT_USE_QUERY_SERVER_IP) {
        m_bUseQueryServerIP.store(*(const uint8_t*)pvBuffer != 0);
        return S_OK;
    }
    if (uId != KDS_OPT_CONNECTIONS && uId != KDS_OPT_SPEED_LIMIT && uId != KDS_OPT_MAX_CHECKSUM_ERRORS) return E_FAIL;
    if (uSize < 4) return E_FAIL;
    uint32_t uValue = 0;
    std::memcpy(&uValue, pvBuffer, 4);
    switch (uId) {
        case KDS_OPT_CONNECTIONS:
            if (uValue == 0) uValue = 1;
            if (uValue > kMaxConnections) uValue = kMaxConnections;
            m_uConnections.store(uValue);
            return S_OK;
        case KDS_OPT_SPEED_LIMIT:
            if (!m_pLimiter) return E_FAIL;
            m_pLimiter->setRate(uValue);  // 0 is refused there; the capacity follows the asked rate
            m_pLimiter->setCapacity(capacityForRate(uValue));
            return S_OK;
        default:
            m_uMaxChecksumErrors.store(uValue);
            return S_OK;
    }
}

// ---------------------------------------------------------------------------------------------
// Creation, start, abort and the polled slots

HRESULT KDownloadSession::init(const char* cszUrl, const wchar_t* wszChecksumFile, const wchar_t* wszSaveDir,
                               const wchar_t* wszFileName) {
    m_sUrl = cszUrl ? cszUrl : "";
    KSessionLog(KLOG_CATEGORY_SESSION, KLOG_LEVEL_INFO,
                "init URL=\"%s\", checksumFile=\"%ls\", saveDir=\"%ls\", fileName=\"%ls\"", m_sUrl.c_str(),
                wszChecksumFile ? wszChecksumFile : L"", wszSaveDir ? wszSaveDir : L"", wszFileName ? wszFileName : L"");
    if (!wszSaveDir) return E_INVALIDARG;
    if (wszChecksumFile && wszChecksumFile[0]) {
        m_pChecksum.reset(new (std::nothrow) ChecksumFile);
        if (!m_pChecksum) return E_OUTOFMEMORY;
        HRESULT hr = m_pChecksum->open(wszChecksumFile);
        if (FAILED(hr)) {
            KSessionLog(KLOG_CATEGORY_SESSION, KLOG_LEVEL_ERROR, "ChecksumFile::open failed: 0x%08X", (unsigned)hr);
            m_pChecksum.reset();
            return E_FAIL;
        }
        m_uPiecesPerBlock = m_pChecksum->blockSize() / kPieceSize;
    }
    std::string sSaveDir = Narrow(wszSaveDir);
    if (!QN_CreateDirectoryOne(sSaveDir.c_str())) {
        uint32_t uError = QN_GetLastError();
        if (uError != ERROR_ALREADY_EXISTS && uError != ERROR_ACCESS_DENIED) {
            KSessionLog(KLOG_CATEGORY_SESSION, KLOG_LEVEL_ERROR, "CreateDirectory failed: %d", (int)uError);
            return HRESULT_FROM_WIN32(uError);
        }
    }
    // The target folder: an absolute save folder as it is, a relative one under the current
    // folder; always with a trailing separator.
    std::wstring wsFolder = wszSaveDir;
    if (!QN_IsAbsolutePathW(wszSaveDir)) {
        std::wstring wsCwd = QN_Utf8ToWide(QN_GetCurrentDirectory());
        if (wsCwd.empty()) return QN_LastErrorResult();
        if (!QN_IsPathSeparatorW(wsCwd.back())) wsCwd += L'/';
        wsFolder = wsCwd + wsFolder;
    }
    if (wsFolder.empty() || !QN_IsPathSeparatorW(wsFolder.back())) wsFolder += L'/';
    if (wsFolder.size() >= kMaxPath) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    m_wsTargetFolder = wsFolder;
    if (wszFileName && wszFileName[0]) {
        m_wsFileName = wszFileName;
        m_wsTargetPath = m_wsTargetFolder + m_wsFileName;
        if (m_wsTargetPath.size() >= kMaxPath) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    m_pLimiter = SpeedLimiterModule::instance().create();
    if (!m_pLimiter) return E_OUTOFMEMORY;
    setStatus(KDS_STATUS_CREATED);
    return S_OK;
}

HRESULT KDownloadSession::start() {
    if (aborted() || m_bStarted.exchange(true)) return E_ACCESSDENIED;
    try {
        m_thread = std::thread([this] {
            threadMain();
            m_bThreadEnded.store(true, std::memory_order_release);
        });
    } catch (const std::system_error& e) {
        m_bStarted.store(false);
        KSessionLog(KLOG_CATEGORY_SESSION, KLOG_LEVEL_ERROR, "start: _beginthreadex failed: %d", e.code().value());
        return E_FAIL;
    }
    return S_OK;
}

HRESULT KDownloadSession::abort() {
    if (!m_bStarted) return E_ACCESSDENIED;
    m_abort->store(true, std::memory_order_release);
    return S_OK;
}

HRESULT KDownloadSession::isFinished(bool* pbFinished) {
    if (pbFinished) *pbFinished = !m_bStarted || m_bThreadEnded.load(std::memory_order_acquire);
    return S_OK;
}

HRESULT KDownloadSession::getProgress(uint32_t* puStatus, uint64_t* pullFileSize, uint64_t* pullBytesDone,
                                      uint32_t* puSpeedAvg, uint32_t* puSpeedCurrent) {
    if (puStatus) *puStatus = m_uStatus.load(std::memory_order_acquire);
    if (pullFileSize) *pullFileSize = m_ullFileSize.load(std::memory_order_relaxed);
    if (pullBytesDone)
        *pullBytesDone = m_ullBytesInherited.load(std::memory_order_relaxed) + m_ullBytesCompleted.load(std::memory_order_relaxed);
    if (puSpeedAvg) *puSpeedAvg = m_uSpeedAvg.load(std::memory_order_relaxed);
    if (puSpeedCurrent) *puSpeedCurrent = m_uSpeedCurrent.load(std::memory_order_relaxed);
    return S_OK;
}

HRESULT KDownloadSession::getError(uint32_t* puError, uint32_t* puErrorExt) {
    if (puError) *puError = m_uError.load(std::memory_order_acquire);
    if (puErrorExt) *puErrorExt = m_uErrorExt.load(std::memory_order_acquire);
    return S_OK;
}

HRESULT KDownloadSession::getInfo(DownloadInfo* pInfo) {
    if (!pInfo) return S_OK;
    std::lock_guard<std::mutex> guard(m_infoLock);
    *pInfo = m_info;
    pInfo->fileSize = m_ullFileSize.load(std::memory_order_relaxed);
    pInfo->bytesInherited = m_ullBytesInherited.load(std::memory_order_relaxed);
    pInfo->bytesCompleted = m_ullBytesCompleted.load(std::memory_order_relaxed);
    pInfo->speedAvg = m_uSpeedAvg.load(std::memory_order_relaxed);
    return S_OK;
}

HRESULT KDownloadSession::getSpeed(uint32_t* puSpeedAvg, uint32_t* puSpeedCurrent, uint32_t* puSpeedSecondary) {
    if (puSpeedAvg) *puSpeedAvg = m_uSpeedAvg.load(std::memory_order_relaxed);
    if (puSpeedCurrent) *puSpeedCurrent = m_uSpeedCurrent.load(std::memory_order_relaxed);
    if (puSpeedSecondary) *puSpeedSecondary = 0;
    return S_OK;
}

HRESULT KDownloadSession::createStream(REFIID riid, void** ppvOut) {
    if (!ppvOut) return E_INVALIDARG;
    *ppvOut = nullptr;
    if (riid != IID_IInStream) return E_FAIL;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (!m_pDataFile || !m_pPieceMap) return E_FAIL;
    KDownloadingReadonlyStream* pStream = new (std::nothrow) KDownloadingReadonlyStream;
    if (!pStream) return E_FAIL;
    pStream->AddRef();
    if (FAILED(pStream->init(m_pDataFile, m_pPieceMap))) {
        pStream->Release();
        return E_FAIL;
    }
    *ppvOut = static_cast<IInStream*>(pStream);
    return S_OK;
}

void KDownloadSession::fail(uint32_t uError, uint32_t uErrorExt) {
    // The codes are published before the status, so that a poller that sees status 5 reads them.
    m_uError.store(uError, std::memory_order_release);
    m_uErrorExt.store(uErrorExt, std::memory_order_release);
    setStatus(KDS_STATUS_FAILED);
}

void KDownloadSession::setClientError(int32_t nClientError, const std::string& sExt) {
    std::lock_guard<std::mutex> guard(m_clientErrorLock);
    m_nClientError = nClientError;
    m_sClientErrorExt = sExt;
}

// ---------------------------------------------------------------------------------------------
// The thread

std::wstring KDownloadSession::fileNameFromURL(const std::string& sUrl) {
    size_t uSlash = sUrl.find_last_of('/');
    if (uSlash == std::string::npos) return L"unnamed";
    std::string sName = sUrl.substr(uSlash + 1);
    size_t uQuery = sName.find('?');
    if (uQuery != std::string::npos) sName.resize(uQuery);
    // A '\\' is a separator on the system this name may be used on: nothing before it counts.
    size_t uBack = sName.find_last_of('\\');
    if (uBack != std::string::npos) sName = sName.substr(uBack + 1);
    if (sName.empty() || sName == "." || sName == "..") return L"unnamed";
    std::wstring ws;
    for (unsigned char c : sName) ws += (wchar_t)c;
    return ws;
}

bool KDownloadSession::isExistingFileGood(uint64_t ullSize) {
    int nFd = QN_FileOpen(Narrow(m_wsTargetPath).c_str(), QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ,
                          QN_FILE_OPEN_EXISTING);
    if (nFd < 0) return false;
    uint64_t ullHave = 0;
    bool bGood = QN_FileGetSize(nFd, &ullHave) && ullHave == ullSize;
    QN_FileClose(nFd);
    return bGood;
}

HRESULT KDownloadSession::createEmptyFile(const SYSTEMTIME* pLastModified) {
    std::string sPath = Narrow(m_wsTargetPath);
    int nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, QN_FILE_CREATE_ALWAYS);
    if (nFd < 0) return QN_LastErrorResult();
    uint64_t ullTime = 0;
    // The stamp is best effort, as for downloaded files: a date that does not convert costs
    // the time stamp only.
    if (!QN_IsSystemTimeZero(pLastModified) && QN_SystemTimeToFileTime(pLastModified, &ullTime)) {
        QN_FileSetLastWriteTime(nFd, ullTime);
    }
    QN_FileClose(nFd);
    return S_OK;
}

HRESULT KDownloadSession::queryFileInfo(QueryResult* pResult) {
    HRESULT hr = E_FAIL;
    std::string sCurrent = m_sUrl;
    uint32_t uRedirects = 0;
    bool bRetried = false;
    QueryFileInfoHandler* pHandler = new (std::nothrow) QueryFileInfoHandler;
    if (!pHandler) return E_OUTOFMEMORY;
    pHandler->AddRef();
    {
        KHttpRequest request;
        if (!request.init(16384, nullptr, pHandler, pHandler)) {
            pHandler->Release();
            return E_FAIL;
        }
        request.setTimeout(qn::testing::PieceRequestTimeoutSeconds());
        for (;;) {
            pHandler->resetAttempt();
            if (request.getState() < KHTTP_STATE_INITIALISED || request.isRunning()) {
                hr = E_FAIL;
                break;
            }
            if (!request.open(KHTTP_METHOD_HEAD, sCurrent.c_str()) || !request.send()) {
                hr = E_FAIL;
                break;
            }
            bool bAborted = false;
            for (;;) {
                if (aborted()) {
                    bAborted = true;
                    request.cancel();
                    if (request.isRunning()) request.waitDone(Event::kInfinite);
                    break;
                }
                if (!request.isRunning()) break;
                request.waitDone(kQueryWaitMs);
            }
            setClientError(request.getClientError(), request.getClientErrorExt());
            if (bAborted) {
                hr = E_ABORT;
                break;
            }
            if (pHandler->m_hrResult == 0) {
                pResult->sServerAddress = pHandler->m_sServerAddress;
                pResult->nStatus = pHandler->m_nStatus;
                pResult->ullSize = pHandler->m_ullContentLength;
                pResult->bHasSize = pHandler->m_bHasContentLength;
                pResult->lastModified = pHandler->m_lastModified;
                pResult->validators.sETag = pHandler->m_sETag;
                pResult->validators.sLastModified = pHandler->m_sLastModifiedText;
                pResult->sFinalUrl = sCurrent;
                pResult->bNoRanges = pHandler->m_bNoRanges;
                if (isRedirectStatus(pHandler->m_nStatus) && !pHandler->m_sLocation.empty() &&
                    uRedirects < kQueryRedirectLimit) {
                    sCurrent = ResolveLocation(sCurrent, pHandler->m_sLocation);
                    ++uRedirects;
                    continue;
                }
                hr = S_OK;
                break;
            }
            hr = pHandler->m_hrResult;
            int32_t nClientError = request.getClientError();
            if (!bRetried && nClientError >= KHTTP_CE_NAME && nClientError <= KHTTP_CE_RECEIVE) {
                bRetried = true;
                uRedirects = 0;
                continue;
            }
            break;
        }
        while (request.tasksInFlight() > 0) QN_Sleep(1);
    }
    pHandler->Release();
    return hr;
}

HRESULT KDownloadSession::allocateStorage(const std::string& sFinalUrl, uint64_t ullSize,
                                          const SYSTEMTIME* pLastModified, bool bRenameAllowed) {
    HRESULT hr = E_FAIL;
    uint32_t uResume = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_pDataFile = new (std::nothrow) DataFile;
        if (m_pDataFile) m_pDataFile->AddRef();
    }
    if (!m_pDataFile) {
        fail(KDS_ERR_INTERNAL, (uint32_t)E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    for (uint32_t n = 0;; ++n) {
        uResume = m_bNoResume.load() ? 0 : 1;
        hr = m_pDataFile->open(m_wsTargetPath.c_str(), ullSize, kPieceSize, pLastModified, nullptr, m_abort, &uResume);
        if (SUCCEEDED(hr)) break;
        if (!bRenameAllowed || hr != HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) || n + 1 >= 10) {
            fail(KDS_ERR_FILE, (uint32_t)hr);
            return hr;
        }
        // Another program holds the data file: try "name(1)", "name(2)", ... after the extension.
        size_t uLen = m_wsTargetPath.size();
        if (uLen > 3 && m_wsTargetPath[uLen - 1] == L')' && m_wsTargetPath[uLen - 2] == (wchar_t)(L'0' + n) &&
            m_wsTargetPath[uLen - 3] == L'(') {
            m_wsTargetPath.resize(uLen - 3);
        }
        m_wsTargetPath += L"(" + std::to_wstring(n + 1) + L")";
        if (m_wsTargetPath.size() >= kMaxPath) {
            hr = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
            fail(KDS_ERR_FILE, (uint32_t)hr);
            return hr;
        }
    }
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_pPieceMap = new (std::nothrow) PieceMap;
        if (m_pPieceMap) m_pPieceMap->AddRef();
    }
    if (!m_pPieceMap) {
        fail(KDS_ERR_INTERNAL, (uint32_t)E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    uint32_t uMapResume = uResume == KDFR_KEPT ? 1 : 0;
    hr = m_pPieceMap->open(m_wsTargetPath.c_str(), sFinalUrl.c_str(), ullSize, pLastModified, kPieceSize, &uMapResume);
    if (FAILED(hr)) {
        fail(KDS_ERR_FILE, (uint32_t)hr);
        return hr;
    }
    m_ullBytesInherited.store(m_pPieceMap->completeBytes());
    if (m_pChecksum) {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_blockQueued.assign(m_pChecksum->blockCount(), 0);
    }
    return S_OK;
}

HRESULT KDownloadSession::finishDownload() {
    HRESULT hr = m_pDataFile->finish();
    if (FAILED(hr)) {
        fail(KDS_ERR_FILE, (uint32_t)hr);
        return hr;
    }
    m_pPieceMap->close(false);
    releaseStorage();
    return S_OK;
}

bool KDownloadSession::acceptQueryResult(HRESULT hrQuery, const QueryResult& q) {
    if (FAILED(hrQuery)) {
        int32_t nCe;
        std::string sCe;
        {
            std::lock_guard<std::mutex> guard(m_clientErrorLock);
            nCe = m_nClientError;
            sCe = m_sClientErrorExt;
        }
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "queryFileInfo failed: 0x%08X, clientError=%d, clientErrorExt=\"%s\"",
                    (unsigned)hrQuery, nCe, sCe.c_str());
        fail(hrQuery == E_ABORT ? KDS_ERR_ABORTED : KDS_ERR_NETWORK, 0);
        return false;
    }
    if (q.nStatus != 200) {
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "queryFileInfo failed: StatusCode=%d", q.nStatus);
        fail(q.nStatus == 404 ? KDS_ERR_NOT_FOUND : KDS_ERR_HTTP, (uint32_t)q.nStatus);
        return false;
    }
    // Without a size there is nothing to download into: an empty file would be a false success.
    if (!q.bHasSize) {
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "queryFileInfo failed: no Content-Length");
        fail(KDS_ERR_INTERNAL, 0);
        return false;
    }
    if (q.ullSize / kPieceSize + (q.ullSize % kPieceSize ? 1 : 0) > 0xFFFFFFFFull) {
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "queryFileInfo failed: fileSize=%llu too large",
                    (unsigned long long)q.ullSize);
        fail(KDS_ERR_INTERNAL, 0);
        return false;
    }
    KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_INFO, "queryFileInfo OK: serverIP=\"%s\", finalURL=\"%s\", fileSize=%llu",
                q.sServerAddress.c_str(), q.sFinalUrl.c_str(), (unsigned long long)q.ullSize);
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_urls.push_back(UrlEntry{q.sFinalUrl, 0, q.bNoRanges});
        m_uUrlCursor = 0;
    }
    if (m_pChecksum && m_pChecksum->fileSize() != q.ullSize) {
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "checksumFile size mismatch: %llu != %llu",
                    (unsigned long long)m_pChecksum->fileSize(), (unsigned long long)q.ullSize);
        fail(KDS_ERR_CHECKSUM, 0);
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_infoLock);
        QN_StrCopyN(m_info.finalUrl, sizeof(m_info.finalUrl), q.sFinalUrl.c_str());
        m_info.lastModified = q.lastModified;
    }
    m_validators = q.validators;
    m_ullFileSize.store(q.ullSize);
    if (m_wsFileName.empty()) {
        m_wsFileName = fileNameFromURL(q.sFinalUrl);
        m_wsTargetPath = m_wsTargetFolder + m_wsFileName;
        if (m_wsTargetPath.size() >= kMaxPath) {
            fail(KDS_ERR_FILE, (uint32_t)HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
            return false;
        }
    }
    return true;
}

void KDownloadSession::succeed() {
    {
        std::lock_guard<std::mutex> guard(m_infoLock);
        QN_WcsCopyN(m_info.filePath, kMaxPath, m_wsTargetPath.c_str());
    }
    setStatus(KDS_STATUS_SUCCEEDED);
}

void KDownloadSession::threadMain() {
    QueryResult q;
    std::string sReportFinalUrl;
    HRESULT hr = S_OK;
    bool bRenameAllowed = m_wsFileName.empty() && !m_bNoResume.load();
    KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG, "start");
    {
        std::lock_guard<std::mutex> guard(m_infoLock);
        QN_GetSystemTime(&m_info.startTime);
    }
    m_uStartTick = QN_GetTickCount();
    setStatus(KDS_STATUS_QUERYING);

    hr = queryFileInfo(&q);
    if (SUCCEEDED(hr)) sReportFinalUrl = q.sFinalUrl;
    if (!acceptQueryResult(hr, q)) goto Exit0;

    // The road: an empty file is created, a good file already in place is kept, anything else
    // is downloaded.
    if (q.ullSize == 0) {
        hr = createEmptyFile(&q.lastModified);
        if (FAILED(hr)) {
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "createEmptyFile failed: 0x%08X", (unsigned)hr);
            fail(KDS_ERR_FILE, (uint32_t)hr);
            goto Exit0;
        }
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_INFO, "createEmptyFile OK");
        succeed();
        goto Exit0;
    }
    if (!m_bNoResume.load() && isExistingFileGood(q.ullSize)) {
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_INFO, "Existing file is Good");
        m_ullBytesCompleted.store(q.ullSize);
        succeed();
        goto Exit0;
    }
    setStatus(KDS_STATUS_ALLOCATING);
    hr = allocateStorage(q.sFinalUrl, q.ullSize, &q.lastModified, bRenameAllowed);
    if (FAILED(hr)) {
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "allocateStorage failed: 0x%08X", (unsigned)hr);
        goto Exit0;
    }
    if (m_bUseQueryServerIP.load()) {
        // A text that is not an address gives no address (not 255.255.255.255): the host is
        // then resolved.
        uint32_t uAddress = 0;
        m_uServerAddress = QN_ParseIPv4(q.sServerAddress.c_str(), &uAddress) ? uAddress : 0;
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_INFO, "use QueryServerIP : \"%s\"", q.sServerAddress.c_str());
    }
    setStatus(KDS_STATUS_DOWNLOADING);
    hr = downloading();
    if (FAILED(hr)) goto Exit0;
    hr = finishDownload();
    if (FAILED(hr)) {
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "finishDownload failed: 0x%08X", (unsigned)hr);
        goto Exit0;
    }
    KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_INFO, "download success");
    succeed();

Exit0:
    {
        std::lock_guard<std::mutex> guard(m_infoLock);
        QN_GetSystemTime(&m_info.endTime);
    }
    uint32_t uElapsed = QN_GetTickCount() - m_uStartTick;
    if (m_uSpeedPeak.load() == 0) m_uSpeedPeak.store(m_uSpeedAvg.load());
    sendReport(sReportFinalUrl, uElapsed);
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (m_pPieceMap) m_pPieceMap->markEnded();
    }
    KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG, "exit, abort=%d", aborted() ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------
// The download loop

bool KDownloadSession::getURL(std::string* psUrl, bool* pbNoRanges) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (size_t i = 0; i < m_urls.size(); ++i) {
        size_t uIndex = (m_uUrlCursor + i) % m_urls.size();
        if (m_urls[uIndex].uFailures <= kUrlFailureLimit) {
            *psUrl = m_urls[uIndex].sUrl;
            *pbNoRanges = m_urls[uIndex].bNoRanges;
            m_uUrlCursor = (uIndex + 1) % m_urls.size();
            return true;
        }
    }
    return false;
}

bool KDownloadSession::nextURLRefusesRanges() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (size_t i = 0; i < m_urls.size(); ++i) {
        size_t uIndex = (m_uUrlCursor + i) % m_urls.size();
        if (m_urls[uIndex].uFailures <= kUrlFailureLimit) return m_urls[uIndex].bNoRanges;
    }
    return false;
}

void KDownloadSession::markRangesRefused(const std::string& sUrl) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (UrlEntry& e : m_urls) {
        if (e.sUrl == sUrl) e.bNoRanges = true;
    }
}

void KDownloadSession::addURLFailure(const std::string& sUrl) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (UrlEntry& e : m_urls) {
        if (e.sUrl == sUrl) {
            ++e.uFailures;
            return;
        }
    }
}

bool KDownloadSession::blockIsDownloaded(uint32_t uBlock) {
    std::lock_guard<std::recursive_mutex> guard(m_pPieceMap->lock());
    uint32_t uFirst = uBlock * m_uPiecesPerBlock;
    uint32_t uCount = m_pPieceMap->pieceCount();
    if (uFirst >= uCount) return false;
    for (uint32_t p = uFirst; p < uFirst + m_uPiecesPerBlock && p < uCount; ++p) {
        uint32_t uState = 0;
        if (!m_pPieceMap->getState(p, &uState, nullptr) || uState != KPIECE_DOWNLOADED) return false;
    }
    return true;
}

void KDownloadSession::queueBlockCheck(uint32_t uPiece) {
    if (!m_pChecksum || m_uPiecesPerBlock == 0) return;
    uint32_t uBlock = uPiece / m_uPiecesPerBlock;
    if (uBlock >= m_pChecksum->blockCount()) return;
    if (!blockIsDownloaded(uBlock)) return;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    // A block is in the queue at most once, so that a piece downloaded twice cannot make its
    // block be verified (and reset) twice.
    if (uBlock >= m_blockQueued.size() || m_blockQueued[uBlock]) return;
    m_blockQueued[uBlock] = 1;
    m_verifyQueue.push_back(uBlock);
}

void KDownloadSession::queueCompletedBlocks() {
    if (!m_pChecksum || m_uPiecesPerBlock == 0) return;
    for (uint32_t b = 0; b < m_pChecksum->blockCount(); ++b) queueBlockCheck(b * m_uPiecesPerBlock);
}

bool KDownloadSession::verifyBlocks(uint32_t uMax, bool bAll) {
    if (!m_pChecksum) return true;
    std::vector<uint8_t> buffer(kPieceSize);
    uint32_t uDone = 0;
    while (bAll || uDone < uMax) {
        if (aborted()) return true;
        uint32_t uBlock;
        {
            std::lock_guard<std::recursive_mutex> guard(m_lock);
            if (m_verifyQueue.empty()) return true;
            uBlock = m_verifyQueue.back();
            m_verifyQueue.pop_back();
            m_blockQueued[uBlock] = 0;
        }
        // Only a block whose pieces are all downloaded (and not yet verified) is checked.
        if (!blockIsDownloaded(uBlock)) continue;
        QN_MD5_CTX ctx;
        uint8_t abDigest[16];
        QN_MD5Init(&ctx);
        uint32_t uFirst = uBlock * m_uPiecesPerBlock;
        bool bReadFailed = false;
        for (uint32_t p = uFirst; p < uFirst + m_uPiecesPerBlock; ++p) {
            std::memset(buffer.data(), 0, kPieceSize);
            uint32_t uSize = kPieceSize;
            if (p < m_pDataFile->pieceCount() && !m_pDataFile->readPiece(p, 0, buffer.data(), &uSize)) bReadFailed = true;
            QN_MD5Update(&ctx, buffer.data(), (int)kPieceSize);
        }
        QN_MD5Final(&ctx, abDigest);
        // An abort cuts the data file's reads short: a block hashed over bytes that were never
        // read gets no verdict, so that its downloaded pieces are not thrown away.
        if (bReadFailed && aborted()) return true;
        uint32_t uLast = uFirst + m_uPiecesPerBlock;
        if (uLast > m_pPieceMap->pieceCount()) uLast = m_pPieceMap->pieceCount();
        if (m_pChecksum->verify(uBlock, abDigest) == S_OK) {
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG, "block %u verified", uBlock);
            for (uint32_t p = uFirst; p < uLast; ++p) m_pPieceMap->markVerified(p);
        } else {
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "block %u checksum mismatch", uBlock);
            for (uint32_t p = uFirst; p < uLast; ++p) m_pPieceMap->reset(p);
            ++m_uChecksumErrors;
            if (!bAll && m_uChecksumErrors >= m_uMaxChecksumErrors.load()) {
                KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "reach maxChecksumErrors(%u)",
                            m_uMaxChecksumErrors.load());
                return false;
            }
        }
        ++uDone;
        if ((bAll || uDone < uMax) && !aborted()) QN_Sleep(1);
    }
    return true;
}

void KDownloadSession::flushStorage() {
    if (!m_pDataFile || !m_pPieceMap) return;
    bool bSynced = false;
    // The data file is synced between the snapshot of the states and their write, so that a
    // state on disk never claims bytes that are not on disk.
    m_pPieceMap->flush([&] { return bSynced = m_pDataFile->flush(); });
    if (!bSynced) m_pDataFile->flush();
}

void KDownloadSession::updateProgress() {
    if (!m_pPieceMap) return;
    uint64_t ullComplete = m_pPieceMap->completeBytes();
    uint64_t ullInherited = m_ullBytesInherited.load();
    // Inherited pieces that fail verification make the difference negative: it stays at 0.
    uint64_t ullDone = ullComplete > ullInherited ? ullComplete - ullInherited : 0;
    m_ullBytesCompleted.store(ullDone);
    uint32_t uElapsed = QN_GetTickCount() - m_uStartTick;
    m_uSpeedAvg.store(uElapsed ? (uint32_t)(ullDone * 1000 / uElapsed) : 0);
}

// The download loop: hand every idle downloader a run of pieces, then poll them in rounds
// (with the periodic progress, flush and speed work and a little verification) until one
// finishes or can be given work; when every piece is complete, verify what is left and end.
HRESULT KDownloadSession::downloading() {
    HRESULT hrResult = createDownloaders();
    if (FAILED(hrResult)) return hrResult;
    LoopState st;
    queueCompletedBlocks();
    st.uProgressTick = st.uFlushTick = st.uSpeedTick = QN_GetTickCount();

    bool bAllComplete = false;
    for (;;) {
        if (allPiecesComplete()) {
            bAllComplete = true;
            break;
        }
        bool bAssigned = false;
        hrResult = assignIdleDownloaders(&st, &bAssigned);
        if (hrResult < 0) break;
        st.uRound = 1;
        if (aborted()) break;
        hrResult = runRounds(&st, bAssigned);
        if (hrResult < 0 || aborted()) break;
    }

    if (bAllComplete && hrResult >= 0) {
        hrResult = verifyAfterLastPiece();
    } else if (hrResult >= 0 && aborted()) {
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG, "abort");
        hrResult = E_ABORT;
    }
    endLoop(hrResult);
    return hrResult;
}

bool KDownloadSession::allPiecesComplete() { return m_pPieceMap->completeCount() == m_pPieceMap->pieceCount(); }

HRESULT KDownloadSession::createDownloaders() {
    uint32_t uCount = m_uConnections.load();
    for (uint32_t i = 0; i < uCount; ++i) {
        std::unique_ptr<KHttpDownloader> p(new (std::nothrow) KHttpDownloader);
        if (!p) {
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "alloc KHttpDownloader failed: Out of memory");
            m_downloaders.clear();
            fail(KDS_ERR_INTERNAL, (uint32_t)E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
        HRESULT hr = p->init(i, this, m_pLimiter);
        if (FAILED(hr)) {
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "init KHttpDownloader failed: 0x%08X", (unsigned)hr);
            m_downloaders.clear();
            fail(KDS_ERR_INTERNAL, (uint32_t)E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
        m_downloaders.push_back(std::move(p));
    }
    return S_OK;
}

void KDownloadSession::stopDownloaders() {
    for (auto& d : m_downloaders) d->stop();
    m_downloaders.clear();
}

HRESULT KDownloadSession::assignIdleDownloaders(LoopState* pState, bool* pbAssigned) {
    bool bAnyBusy = false;
    for (auto& d : m_downloaders) bAnyBusy = bAnyBusy || d->isBusy();
    // A run is shared only when the second connection can be of use: a new connection sends
    // the first byte of its request alone and the rest after a pause, and one whose run is done
    // before the rest is sent is closed with a request cut after its first byte. So a run is
    // not shared while the request that took it has brought no byte (a small file comes whole
    // in that answer), nor when that answer's pace reaches the second half within the pause,
    // and a taken piece with nothing free behind it is fetched a second time only when no
    // request that holds it (or holds the piece before it, and so reaches it next) is
    // bringing bytes. A request that has brought nothing for kShareAfterSilenceMs (its answer
    // has not begun, or has stalled) keeps nothing to itself.
    auto maySplit = [this](uint32_t uTakenPiece, uint32_t uPiecesAhead) {
        uint32_t uNow = QN_GetTickCount();
        for (auto& d : m_downloaders) {
            if (!d->isBusy() || d->silentMs(uNow) >= kShareAfterSilenceMs) continue;
            if (uPiecesAhead == 0) {
                uint32_t uHeld = d->heldPiece();
                if (uHeld != KPIECE_NONE && (uHeld == uTakenPiece || uHeld + 1 == uTakenPiece)) return false;
                continue;
            }
            if (d->awaitsBody(uTakenPiece, kShareAfterSilenceMs)) {
                KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG, "split of piece %u waits for its answer", uTakenPiece);
                return false;
            }
            if (d->reachesWithin(uTakenPiece, (uint64_t)uPiecesAhead * kPieceSize, KHttpRequest::kFirstSendPauseMs)) {
                KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG, "split of piece %u not made: its answer gets there first",
                            uTakenPiece);
                return false;
            }
        }
        if (uPiecesAhead == 0) {
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG, "piece %u fetched again: its request brings nothing",
                        uTakenPiece);
        }
        return true;
    };
    for (auto& d : m_downloaders) {
        if (d->isBusy()) continue;
        // A server that does not serve ranges is read as one stream, and so is the file after
        // a restart: no second connection while one runs.
        if (bAnyBusy && (m_uVersionRestarts > 0 || nextURLRefusesRanges())) break;
        uint32_t uFirst = 0, uLast = 0;
        if (!m_pPieceMap->pickFree(true, &uFirst, &uLast) && !m_pPieceMap->pickSplit(true, &uFirst, &uLast, maySplit) &&
            !m_pPieceMap->pickFree(false, &uFirst, &uLast) && !m_pPieceMap->pickSplit(false, &uFirst, &uLast, maySplit)) {
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG, "all piece downloaded");
            break;
        }
        std::string sUrl;
        bool bNoRanges = false;
        if (!getURL(&sUrl, &bNoRanges)) {
            m_pPieceMap->release(uFirst);
            HRESULT hrResult = pState->hrLastError < 0 ? pState->hrLastError : E_FAIL;
            std::lock_guard<std::mutex> guard(m_clientErrorLock);
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR,
                        "no URL left: result=0x%08X, clientError=%d, clientErrorExt=\"%s\"", (unsigned)hrResult,
                        m_nClientError, m_sClientErrorExt.c_str());
            return hrResult;
        }
        HRESULT hr = d->start(sUrl, m_bUseQueryServerIP.load() ? m_uServerAddress : 0, uFirst, !bNoRanges);
        if (FAILED(hr)) {
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "KHttpDownloader::start failed: 0x%08X", (unsigned)hr);
            pState->hrLastError = hr;
            addURLFailure(sUrl);
        } else {
            *pbAssigned = true;
            bAnyBusy = true;
        }
    }
    return S_OK;
}

HRESULT KDownloadSession::runRounds(LoopState* pState, bool bAssigned) {
    for (;;) {
        // Before the flush, so that the stream's pieces are never recorded under an older
        // version than the one its answer named.
        adoptAcceptedVersion();
        runPeriodicWork(pState);
        if (!verifyBlocks(2, false)) {
            KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "checksum failed");
            return KHR_CHECKSUM_FAILED;
        }
        bool bIdle = false;
        bool bFinished = pollDownloaders(pState, &bIdle);
        if (pState->hrLastError == KHR_REMOTE_FILE_CHANGED) return KHR_REMOTE_FILE_CHANGED;
        if (pState->bOtherVersion) {
            pState->bOtherVersion = false;
            if (m_uVersionRestarts >= kVersionRestartLimit) {
                // Every version the session took was gone again before the file was whole: it
                // ends as for a file that changed, rather than fetching it again for ever.
                KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR,
                            "answer of another file version after %u restarts: the file keeps changing", m_uVersionRestarts);
                return KHR_REMOTE_FILE_CHANGED;
            }
            ++m_uVersionRestarts;
            return restartAsOneStream() ? S_OK : KHR_PIECE_WRITE_FAILED;
        }
        // Back to the assignment as soon as a downloader has finished, an idle one may get
        // work, or the last piece is in.
        if (bFinished || (bIdle && bAssigned)) return S_OK;
        if (bIdle && allPiecesComplete()) return S_OK;
        // Nothing finished and nothing could be handed out: wait a round rather than spin.
        QN_Sleep(kRoundSleepMs);
        ++pState->uRound;
        if (aborted() || bIdle) return S_OK;
    }
}

void KDownloadSession::runPeriodicWork(LoopState* pState) {
    uint32_t uNow = QN_GetTickCount();
    if (uNow - pState->uProgressTick >= kProgressPeriodMs) {
        updateProgress();
        pState->uProgressTick = uNow;
    }
    if (uNow - pState->uFlushTick >= kFlushPeriodMs) {
        // The period counts from the start of a flush, so that a slow disk sync does not
        // stretch the time between two records of the states.
        flushStorage();
        pState->uFlushTick = uNow;
    }
    if (uNow - pState->uSpeedTick >= kSpeedPeriodMs) sampleSpeed(pState);
}

void KDownloadSession::sampleSpeed(LoopState* pState) {
    uint64_t ullTotal = 0;
    for (auto& d : m_downloaders) ullTotal += d->receivedBytes();
    uint32_t uTick = QN_GetTickCount();
    uint32_t uSpan = uTick - pState->uSpeedTick;
    uint32_t uCurrent = uSpan ? (uint32_t)((ullTotal - pState->ullPrevTotal) * 1000 / uSpan) : 0;
    m_uSpeedCurrent.store(uCurrent);
    pState->ullPrevTotal = ullTotal;
    if (uCurrent > m_uSpeedPeak.load()) m_uSpeedPeak.store(uCurrent);
    pState->uSpeedTick = uTick;
    KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG, "check progress, loopCount=%u", pState->uRound);
}

bool KDownloadSession::pollDownloaders(LoopState* pState, bool* pbIdle) {
    bool bFinished = false;
    uint32_t uNow = QN_GetTickCount();
    for (auto& d : m_downloaders) {
        if (!d->isBusy()) {
            *pbIdle = true;
            continue;
        }
        d->noteProgress(uNow);
        HRESULT hr = S_OK;
        std::string sUrl;
        int32_t nCe = kNoClientError;
        std::string sCe;
        if (d->pollBusy(&hr, &sUrl, &nCe, &sCe)) continue;
        bFinished = true;
        // An answer that ended before a round saw its headers taken still names the version.
        if (m_bAdoptVersion && d->answerAccepted()) adoptVersion(d->answerValidators());
        if (hr == KHR_RANGES_REFUSED) {
            markRangesRefused(sUrl);
        } else if (hr == KHR_OTHER_VERSION) {
            // Not a failure of the URL: the answer is of another version of the same file.
            pState->bOtherVersion = true;
        } else if (hr == KHR_REMOTE_FILE_CHANGED) {
            // Not a failure of the URL: the file itself is no longer the one the query measured.
            pState->hrLastError = hr;
        } else if (FAILED(hr)) {
            pState->hrLastError = hr;
            addURLFailure(sUrl);
            if (nCe != kNoClientError) setClientError(nCe, sCe);
        }
    }
    return bFinished;
}

bool KDownloadSession::restartAsOneStream() {
    KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_INFO,
                "answer of another file version: the file is taken again from byte 0 as one stream (restart %u)",
                m_uVersionRestarts);
    // No answer runs while the pieces and the version change.
    for (auto& d : m_downloaders) d->stop();
    for (uint32_t p = 0; p < m_pPieceMap->pieceCount(); ++p) {
        if (m_pPieceMap->isComplete(p)) m_pPieceMap->reset(p);
    }
    m_ullBytesInherited.store(0);
    updateProgress();
    // The freed states are on disk before the header names another version (none until a
    // stream names one), so that a progress file never pairs a version with pieces of
    // another. When they cannot be written the header keeps the version its pieces are of,
    // and the session ends.
    if (!m_pPieceMap->flushSynced()) {
        KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "restart: the progress file could not be written");
        return false;
    }
    SYSTEMTIME none{};
    m_pPieceMap->setLastModified(&none);
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_validators = KRemoteValidators{};
        m_bAdoptVersion = true;
    }
    return true;
}

void KDownloadSession::adoptAcceptedVersion() {
    if (!m_bAdoptVersion) return;
    for (auto& d : m_downloaders) {
        if (d->isBusy() && d->answerAccepted()) {
            adoptVersion(d->answerValidators());
            return;
        }
    }
}

void KDownloadSession::adoptVersion(const KRemoteValidators& v) {
    SYSTEMTIME t{};
    if (!v.sLastModified.empty() && !parseHttpDate(v.sLastModified.c_str(), &t)) t = SYSTEMTIME{};
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_validators = v;
        m_bAdoptVersion = false;
    }
    // The progress file holds no piece of another version now (the restart synced their
    // states away), so it may name this one before the stream's pieces are recorded.
    m_pPieceMap->setLastModified(&t);
    m_pDataFile->setLastModified(&t);
    KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_INFO, "stream version: ETag=\"%s\", Last-Modified=\"%s\"",
                v.sETag.c_str(), v.sLastModified.c_str());
}

HRESULT KDownloadSession::verifyAfterLastPiece() {
    // The handlers queue a block only after its last commit: stop them all first, so that no
    // block is still on its way into the queue, then verify everything.
    stopDownloaders();
    queueCompletedBlocks();
    verifyBlocks(0, true);
    if (aborted()) return E_ABORT;
    if (allPiecesComplete()) return S_OK;
    KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_ERROR, "download complete but checksum failed");
    return KHR_CHECKSUM_FAILED;
}

uint32_t KDownloadSession::errorForLoopResult(HRESULT hrResult) {
    if (hrResult == E_ABORT) return KDS_ERR_ABORTED;
    if (hrResult == KHR_CHECKSUM_FAILED) return KDS_ERR_CHECKSUM;
    if (hrResult == KHR_CONNECTION_FAILED) return KDS_ERR_NETWORK;
    if (hrResult == KHR_PIECE_WRITE_FAILED) return KDS_ERR_FILE;
    // Any other failure, a changed file (KHR_REMOTE_FILE_CHANGED) included.
    return KDS_ERR_INTERNAL;
}

void KDownloadSession::endLoop(HRESULT hrResult) {
    stopDownloaders();
    flushStorage();
    updateProgress();
    if (hrResult == KHR_REMOTE_FILE_CHANGED) {
        // The pieces fetched so far are of a file the server no longer has: the progress file
        // goes, so that no later session resumes them.
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (m_pPieceMap) m_pPieceMap->close(false);
    }
    if (hrResult < 0) fail(errorForLoopResult(hrResult), 0);
    std::lock_guard<std::mutex> guard(m_clientErrorLock);
    KSessionLog(KLOG_CATEGORY_THREAD, KLOG_LEVEL_DEBUG,
                "downloading end: result=0x%08X, status=%u, error=%u, errorExt=%u, clientError=%d, clientErrorExt=\"%s\"",
                (unsigned)hrResult, m_uStatus.load(), m_uError.load(), m_uErrorExt.load(), m_nClientError,
                m_sClientErrorExt.c_str());
}

// ---------------------------------------------------------------------------------------------
// The report

std::string KDownloadSession::urlEscape(const char* csz) {
    std::string s;
    s.reserve(1024);
    static const char s_hex[] = "0123456789ABCDEF";
    for (const unsigned char* p = (const unsigned char*)(csz ? csz : ""); *p; ++p) {
        unsigned char c = *p;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            s += (char)c;
        } else {
            s += '%';
            s += s_hex[c >> 4];
            s += s_hex[c & 15];
        }
    }
    return s;
}

std::string KDownloadSession::formatReport(const ReportFields& f) {
    char szUuid[37];
    char szVersion[32];

    KGetClientUuidText(szUuid);
    QN_snprintf(szVersion, sizeof(szVersion), "%d.%d.%d.%d", 1, 0, 0, 9);
    // A path whose UTF-8 form is longer than 511 bytes is sent empty.
    std::string sPath = QN_WideToUtf8(f.wsFilePath);
    if (sPath.size() > 511) sPath.clear();
    // Formatted into a string of its own: threads of two sessions may report at once.
    std::string sIp = f.uServerAddress ? QN_FormatIPv4(f.uServerAddress) : std::string();
    std::vector<char> body(kReportLimit + 1, '\0');
    int n = QN_snprintf(
        body.data(), body.size(),
        "client_uuid=%s&ver=%s&original_url=%s&final_url=%s&file_path=%s&time_spend=%u&error=%u&error_ext=%u"
        "&client_error=%d&client_error_ext=%s&bytes_total=%lld&bytes_inherited=%lld&bytes_completed=%lld"
        "&speed_avg=%u&speed_peak=%u&server_ip=%s",
        szUuid, szVersion, urlEscape(f.sUrl.c_str()).c_str(), urlEscape(f.sFinalUrl.c_str()).c_str(),
        urlEscape(sPath.c_str()).c_str(), f.uTimeSpent, f.uError, f.uErrorExt, f.nClientError,
        urlEscape(f.sClientErrorExt.c_str()).c_str(), (long long)f.ullFileSize, (long long)f.ullInherited,
        (long long)f.ullCompleted, f.uSpeedAvg, f.uSpeedPeak, sIp.c_str());
    if (n <= 0) return std::string();
    return std::string(body.data(), (size_t)n);
}

void KDownloadSession::sendReport(const std::string& sFinalUrl, uint32_t uElapsed) {
    std::string sEndpoint = KGetReportEndpoint();
    if (sEndpoint.empty()) return;
    ReportFields f;
    f.sUrl = m_sUrl;
    f.sFinalUrl = sFinalUrl;
    f.wsFilePath = m_wsTargetPath;
    f.uTimeSpent = uElapsed;
    f.uError = m_uError.load();
    f.uErrorExt = m_uErrorExt.load();
    {
        std::lock_guard<std::mutex> guard(m_clientErrorLock);
        f.nClientError = m_nClientError;
        f.sClientErrorExt = m_sClientErrorExt;
    }
    f.ullFileSize = m_ullFileSize.load();
    f.ullInherited = m_ullBytesInherited.load();
    f.ullCompleted = m_ullBytesCompleted.load();
    f.uSpeedAvg = m_uSpeedAvg.load();
    f.uSpeedPeak = m_uSpeedPeak.load();
    f.uServerAddress = m_uServerAddress;
    std::string sBody = formatReport(f);
    if (sBody.empty()) return;
    IKHttpService* pService = KAcquireHttpService();
    if (!pService) return;  // the library was stopped before the session ended
    std::string sUrl = "http://" + sEndpoint;
    if (sEndpoint.find(':') == std::string::npos) sUrl += ":" + std::to_string(kReportPort);
    sUrl += "/i/qeldownload";
    IKHttpClient* pClient = nullptr;
    if (SUCCEEDED(pService->createClient(16384, KHTTP_METHOD_POST, sUrl.c_str(), nullptr, true, &pClient)) && pClient) {
        pClient->setBody(sBody.data(), (uint32_t)sBody.size());
        pClient->execute();
        pService->addClient(pClient);
        g_reportPosts.fetch_add(1, std::memory_order_acq_rel);
    }
    pService->Release();
}
