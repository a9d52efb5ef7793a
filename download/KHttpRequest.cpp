#include "KHttpRequest.h"

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "connection_cache.h"
#include "event_loop.h"
#include "host_resolver.h"
#include "qn_platform.h"
#include "qn_socket.h"
#include "qn_string.h"
#include "speed_limiter.h"

// Trace lines of the client errors. They travel in download reports, so they are fixed
// numbers, not source lines.
namespace {
enum : int {
    kLineResolverRefused = 511,
    kLineCancelled = 554,
    kLineResolverFailed = 576,
    kLineConnectNotStarted = 597,
    kLineConnectFailed = 611,
    kLineFirstSend = 633,
    kLineSendFailed = 649,
    kLineSendRest = 687,
    kLineFirstReceive = 702,
    kLineReceiveFailed = 717,
    kLineParse = 727,
    kLineNextReceive = 747,
    kLineClosedEarly = 765,
    kLineLimiterReceive = 829,
    kLineTimeout = 845,
    kLineSendAfterPause = 868,
    kLineRefusedHeader = 999,
    kLineRefusedHeadersComplete = 1060,
    kLineRefusedBody = 1087,
};

constexpr uint32_t kPauseMicroseconds = KHttpRequest::kFirstSendPauseMs * 1000;

const char* MethodText(int32_t nMethod) {
    switch (nMethod) {
        case KHTTP_METHOD_GET: return "GET ";
        case KHTTP_METHOD_HEAD: return "HEAD ";
        case KHTTP_METHOD_POST: return "POST ";
        default: return nullptr;
    }
}

unsigned long long AddressOf(const void* p) { return (unsigned long long)(uintptr_t)p; }

// Bytes that may stand as they are in a request target: unreserved, sub-delims, ':', '@',
// '/', '?' and the '%' of an escape already made.
bool InRequestTargetSet(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != 0 && std::strchr("-._~!$&'()*+,;=:@/?%", c) != nullptr;
}

// The URL parser lets through bytes that a request line must not carry raw (TAB, form feed,
// bytes above 0x7F, '"', '<', '>', '\' and others, typically from a server's Location):
// they are percent-escaped.
std::string EscapeTarget(const std::string& s) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        unsigned char c = (unsigned char)ch;
        if (InRequestTargetSet(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

// Header names and single tokens compare without regard to case.
bool EqualsNoCase(const std::string& a, const char* b) { return QN_StrICmp(a.c_str(), b) == 0; }

// The value without the blanks HTTP allows around it.
std::string TrimBlanks(const std::string& s) {
    size_t uBegin = s.find_first_not_of(" \t");
    if (uBegin == std::string::npos) return std::string();
    size_t uEnd = s.find_last_not_of(" \t");
    return s.substr(uBegin, uEnd - uBegin + 1);
}

// Requests between send and the end of finish. Every finish that runs off the loop thread
// (a task drained at stop or posted to a stopped loop, and the loop's stop hook) holds this
// lock, so two of them never run on one request at once. While a request is on the list its
// done event is not set, so nothing destroys it under a holder of the lock.
std::recursive_mutex& RunningLock() {
    static std::recursive_mutex* s_lock = new std::recursive_mutex();
    return *s_lock;
}
std::set<KHttpRequest*>& RunningRequests() {
    static std::set<KHttpRequest*>* s_requests = new std::set<KHttpRequest*>();
    return *s_requests;
}
}  // namespace

// The start and cancel tasks. They carry the generation of the request they were posted for.
class KHttpRequest::RequestTask : public EventTask {
public:
    RequestTask(KHttpRequest* pRequest, TaskKind eKind, uint32_t uGeneration)
        : m_pRequest(pRequest), m_eKind(eKind), m_uGeneration(uGeneration) {}
    void Run(LoopCore* pCore, bool bRun) override {
        if (m_eKind == kStartTask) {
            m_pRequest->runStart(pCore, bRun);
        } else {
            m_pRequest->runCancel(pCore, bRun, m_uGeneration);
        }
    }

private:
    KHttpRequest* m_pRequest;
    TaskKind m_eKind;
    uint32_t m_uGeneration;
};

KHttpRequest::KHttpRequest() {
    http_parser_settings_init(&m_settings);
    m_settings.on_header_field = &KHttpRequest::onHeaderField;
    m_settings.on_header_value = &KHttpRequest::onHeaderValue;
    m_settings.on_headers_complete = &KHttpRequest::onHeadersComplete;
    m_settings.on_body = &KHttpRequest::onBody;
    m_settings.on_chunk_complete = &KHttpRequest::onChunkComplete;
    m_settings.on_message_complete = &KHttpRequest::onMessageComplete;
}

KHttpRequest::~KHttpRequest() {
    // A running request still has sockets and timers whose contexts point here: stop it and
    // wait until the loop thread is done with it.
    if (getState() == KHTTP_STATE_RUNNING) cancel();
    if (getState() >= KHTTP_STATE_RUNNING) m_done.wait(Event::kInfinite);
    while (tasksInFlight() > 0) QN_Sleep(1);
    if (m_pHandler) m_pHandler->Release();
    if (m_pStatus) m_pStatus->Release();
}

bool KHttpRequest::init(uint32_t uRequestBufferSize, SpeedLimiter* pLimiter, IKHttpResponseHandler* pHandler,
                        IKHttpStatusCallback* pStatusCallback) {
    if (getState() != KHTTP_STATE_EMPTY) return false;
    m_pRequestBuffer.reset(new (std::nothrow) char[uRequestBufferSize ? uRequestBufferSize : 1]);
    m_pReceiveBuffer.reset(new (std::nothrow) char[kReceiveBufferSize]);
    if (!m_pRequestBuffer || !m_pReceiveBuffer) {
        m_pRequestBuffer.reset();
        m_pReceiveBuffer.reset();
        return false;
    }
    m_uRequestBufferSize = uRequestBufferSize;
    m_uTimeoutSeconds = kDefaultTimeoutSeconds;
    m_pLoop = &EventLoop::instance();
    m_pCache = &ConnectionCache::instance();
    m_pResolver = &HostResolver::instance();
    m_pLoop->addStopHook(&KHttpRequest::endStranded);
    m_pLimiter = pLimiter;
    m_pHandler = pHandler;
    m_pStatus = pStatusCallback;
    if (m_pHandler) m_pHandler->AddRef();
    if (m_pStatus) m_pStatus->AddRef();
    m_nState.store(KHTTP_STATE_INITIALISED, std::memory_order_release);
    return true;
}

void KHttpRequest::reset() {
    m_uRequestLength = 0;
    m_nMethod = 0;
    m_strUrl.clear();
    http_parser_url_init(&m_url);
    m_strHost.clear();
    m_strPath.clear();
    m_uPort = 0;
    m_uServerAddress = 0;
    std::memset(&m_parser, 0, sizeof(m_parser));
    m_strHeaderName.clear();
    m_strHeaderValue.clear();
    m_nHeaderState = 0;
    m_bStatusReported = false;
    m_bMessageComplete = false;
    m_bKeepAlive = false;
    m_bSawInterim = false;
    m_nRefusalLine = 0;
    m_nRefusalCode = KHTTP_CE_REFUSED;
    resetAnswer();
    m_ullResolverId = 0;
    m_bNoReuse = false;
    m_pConnection = nullptr;
    m_bNewConnection = false;
    m_uBytesSent = 0;
    m_ullBytesReceived = 0;
    m_pLimiterTimer = nullptr;
    m_uLimiterCredit = 0;
    m_pInactivityTimer = nullptr;
    m_uLastSec = m_uLastUsec = 0;
    m_nClientError.store(0, std::memory_order_relaxed);
    m_strClientErrorExt.clear();
    m_bFirstSendPause = true;
    m_pPauseTimer = nullptr;
    m_done.reset();
}

bool KHttpRequest::append(const char* pData, size_t uLen) {
    if (uLen > m_uRequestBufferSize - m_uRequestLength) return false;
    std::memcpy(m_pRequestBuffer.get() + m_uRequestLength, pData, uLen);
    m_uRequestLength += (uint32_t)uLen;
    return true;
}

bool KHttpRequest::parseUrl(const char* pszUrl) {
    size_t uLen = std::strlen(pszUrl);
    if (uLen == 0 || uLen > kMaxUrlLength) return false;
    if (http_parser_parse_url(pszUrl, uLen, 0, &m_url) != 0) return false;
    auto field = [&](int f) { return std::string(pszUrl + m_url.field_data[f].off, m_url.field_data[f].len); };
    auto has = [&](int f) { return (m_url.field_set & (1u << f)) != 0; };
    // Scheme names are case-insensitive.
    if (has(UF_SCHEMA) && QN_StrICmp(field(UF_SCHEMA).c_str(), "http") != 0) return false;
    if (!has(UF_HOST) || m_url.field_data[UF_HOST].len == 0) return false;
    m_strHost = field(UF_HOST);
    // A bracketed IPv6 literal is the only host with a ':' in it; this client connects over
    // IPv4 only.
    if (m_strHost.find(':') != std::string::npos) return false;
    if (has(UF_PORT)) {
        // Port 0 parses, but nothing can be reached there.
        if (m_url.port == 0) return false;
        m_uPort = m_url.port;
    } else {
        m_uPort = 80;
    }
    // The fragment belongs to the client and is never sent.
    m_strPath = has(UF_PATH) ? EscapeTarget(field(UF_PATH)) : "/";
    if (has(UF_QUERY)) m_strPath += "?" + EscapeTarget(field(UF_QUERY));
    m_strUrl = pszUrl;
    return true;
}

bool KHttpRequest::open(int32_t nMethod, const char* pszUrl) {
    int32_t nState = getState();
    if (nState < KHTTP_STATE_INITIALISED || nState == KHTTP_STATE_RUNNING) return false;
    // State 5 is stored just before the done event is set: wait for the set, so that it
    // cannot land on the next request.
    if (nState == KHTTP_STATE_FINISHED) m_done.wait(Event::kInfinite);
    // A task still queued for the previous request must not act on this one.
    m_uGeneration.fetch_add(1, std::memory_order_acq_rel);
    reset();
    m_nState.store(KHTTP_STATE_INITIALISED, std::memory_order_release);
    const char* pszMethod = MethodText(nMethod);
    if (!pszMethod || !pszUrl || !parseUrl(pszUrl)) return false;
    m_nMethod = nMethod;
    std::string line = std::string(pszMethod) + m_strPath + " HTTP/1.1\r\nHost: " + m_strHost;
    if (m_uPort != 80) line += ":" + std::to_string(m_uPort);
    line += "\r\n";
    if (!appendText(line)) {
        m_uRequestLength = 0;
        return false;
    }
    m_bNoReuse = false;
    m_nState.store(KHTTP_STATE_REQUEST_LINE, std::memory_order_release);
    return true;
}

bool KHttpRequest::addHeader(const char* pszName, const char* pszValue) {
    if (getState() != KHTTP_STATE_REQUEST_LINE || !pszName || !pszValue) return false;
    return appendText(std::string(pszName) + ": " + pszValue + "\r\n");
}

bool KHttpRequest::setBody(const void* pvData, uint32_t uLen) {
    if (getState() != KHTTP_STATE_REQUEST_LINE || (!pvData && uLen)) return false;
    std::string head = "Content-Length: " + std::to_string(uLen) + "\r\n\r\n";
    if ((uint64_t)head.size() + uLen > (uint64_t)(m_uRequestBufferSize - m_uRequestLength)) return false;
    appendText(head);
    if (uLen) append(static_cast<const char*>(pvData), uLen);
    m_nState.store(KHTTP_STATE_HEADERS_CLOSED, std::memory_order_release);
    return true;
}

bool KHttpRequest::setServerAddress(uint32_t uAddress) {
    if (getState() != KHTTP_STATE_REQUEST_LINE) return false;
    m_uServerAddress = uAddress;
    return true;
}

bool KHttpRequest::postTask(TaskKind eKind) {
    RequestTask* pTask = new (std::nothrow) RequestTask(this, eKind, m_uGeneration.load(std::memory_order_acquire));
    if (!pTask) return false;
    m_pLoop->post(pTask);
    return true;
}

bool KHttpRequest::send() {
    if (getState() == KHTTP_STATE_REQUEST_LINE) {
        if (!append("\r\n", 2)) return false;
        m_nState.store(KHTTP_STATE_HEADERS_CLOSED, std::memory_order_release);
    }
    if (getState() != KHTTP_STATE_HEADERS_CLOSED) return false;
    http_parser_init(&m_parser, HTTP_RESPONSE);
    m_parser.data = this;
    m_uRunTimeout = m_uTimeoutSeconds;
    {
        std::lock_guard<std::recursive_mutex> g(RunningLock());
        try {
            RunningRequests().insert(this);
        } catch (const std::bad_alloc&) {
            return false;
        }
        m_nState.store(KHTTP_STATE_RUNNING, std::memory_order_release);
    }
    m_nTasksInFlight.fetch_add(1, std::memory_order_acq_rel);
    if (!postTask(kStartTask)) {
        // Nothing was posted: the request is back where it was.
        m_nTasksInFlight.fetch_sub(1, std::memory_order_acq_rel);
        std::lock_guard<std::recursive_mutex> g(RunningLock());
        RunningRequests().erase(this);
        m_nState.store(KHTTP_STATE_HEADERS_CLOSED, std::memory_order_release);
        return false;
    }
    return true;
}

bool KHttpRequest::cancel() {
    if (getState() != KHTTP_STATE_RUNNING) return false;
    m_nTasksInFlight.fetch_add(1, std::memory_order_acq_rel);
    if (!postTask(kCancelTask)) {
        m_nTasksInFlight.fetch_sub(1, std::memory_order_acq_rel);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Loop thread

void KHttpRequest::runStart(LoopCore* pCore, bool bRun) {
    if (!bRun || !pCore) {
        // Drained at shutdown (or posted to a stopped loop): nothing was started yet, so the
        // request just ends as cancelled and its waiters wake.
        endOffLoop(pCore);
    } else {
        m_pCore = pCore;
        start(true);
    }
    m_nTasksInFlight.fetch_sub(1, std::memory_order_acq_rel);
}

void KHttpRequest::runCancel(LoopCore* pCore, bool bRun, uint32_t uGeneration) {
    if (uGeneration == m_uGeneration.load(std::memory_order_acquire)) {
        if (bRun && pCore) {
            finish(KHTTP_CE_CANCELLED, "line=%d", kLineCancelled);
        } else {
            endOffLoop(pCore);
        }
    }
    m_nTasksInFlight.fetch_sub(1, std::memory_order_acq_rel);
}

void KHttpRequest::endOffLoop(LoopCore* pCore) {
    std::lock_guard<std::recursive_mutex> g(RunningLock());
    if (getState() != KHTTP_STATE_RUNNING) return;
    // Drained at stop, the core is the one the request started on and still closes its
    // handles; without one the loop that owned them is gone and they are freed directly.
    m_pCore = pCore;
    finish(KHTTP_CE_CANCELLED, "line=%d", kLineCancelled);
}

void KHttpRequest::endStranded() {
    std::lock_guard<std::recursive_mutex> g(RunningLock());
    // finish takes each request off the list: walk a copy.
    std::vector<KHttpRequest*> stranded(RunningRequests().begin(), RunningRequests().end());
    for (KHttpRequest* pRequest : stranded) pRequest->endOffLoop(nullptr);
}

void KHttpRequest::touch() {
    if (m_pCore) m_pCore->now(&m_uLastSec, &m_uLastUsec);
}

void KHttpRequest::start(bool bReuse) {
    if (m_uRunTimeout) {
        m_pInactivityTimer = TimerHandle::create(m_pCore, this);
        if (m_pInactivityTimer) m_pInactivityTimer->start(true, &KHttpRequest::onInactivityTimer, 1, 0);
    }
    touch();
    if (m_pLimiter) m_pLimiterTimer = TimerHandle::create(m_pCore, this);

    if (bReuse && !m_bNoReuse) {
        // A parked connection with something to read (bytes the server sent after its last
        // answer, or its close) would hand those to this request: it is closed instead.
        while ((m_pConnection = m_pCache->take(m_strHost, (uint16_t)m_uPort, m_uServerAddress)) != nullptr &&
               m_pConnection->hasPendingInput()) {
            m_pConnection->close();
        }
    }
    if (m_pConnection) {
        m_bNewConnection = false;
        m_pConnection->setContext(this);
        m_pConnection->setCallbacks(&KHttpRequest::onConnectDone, &KHttpRequest::onSendDone,
                                    &KHttpRequest::onRecvDone);
        if (m_pStatus) m_pStatus->onConnect(m_strHost.c_str(), false);
        uint32_t uPeer = 0;
        uint16_t uPeerPort = 0;
        if (m_pConnection->peerAddress(&uPeer, &uPeerPort) != kOpStarted) uPeer = 0;
        if (m_pStatus) m_pStatus->onServerAddress(QN_FormatIPv4(uPeer).c_str());
        if (m_pConnection->send(m_pRequestBuffer.get(), m_uRequestLength) == kOpStarted) return;
        dropConnectionAndRestart();
        return;
    }

    m_pConnection = SocketHandle::create(m_pCore, this);
    if (!m_pConnection) {
        finish(KHTTP_CE_CONNECT, "code=%d;line=%d", QN_WSAENOBUFS, kLineConnectNotStarted);
        return;
    }
    m_pConnection->setCallbacks(&KHttpRequest::onConnectDone, &KHttpRequest::onSendDone, &KHttpRequest::onRecvDone);
    m_bNewConnection = true;
    if (m_pStatus) m_pStatus->onConnect(m_strHost.c_str(), true);
    uint32_t uAddress = m_uServerAddress;
    if (uAddress || QN_ParseIPv4(m_strHost.c_str(), &uAddress)) {
        // Known at once: handled as a lookup that resolved to this address.
        if (m_pStatus) m_pStatus->onServerAddress(QN_FormatIPv4(uAddress).c_str());
        connectTo(uAddress);
        return;
    }
    m_nTasksInFlight.fetch_add(1, std::memory_order_acq_rel);
    uint64_t ullId = 0;
    if (!m_pResolver->request(m_strHost, this, &KHttpRequest::onResolved, &ullId)) {
        m_nTasksInFlight.fetch_sub(1, std::memory_order_acq_rel);
        finish(KHTTP_CE_NAME, "line=%d", kLineResolverRefused);
        return;
    }
    m_ullResolverId = ullId;
}

void KHttpRequest::connectTo(uint32_t uAddress) {
    if (m_pConnection->connect(uAddress, QN_HostToNet16((uint16_t)m_uPort)) != kOpStarted) {
        finish(KHTTP_CE_CONNECT, "code=%d;line=%d", m_pConnection->lastError(), kLineConnectNotStarted);
    }
}

void KHttpRequest::onResolved(uint64_t ullId, const std::string&, void* pvContext, int32_t nStatus, uint32_t uAddress) {
    KHttpRequest* self = static_cast<KHttpRequest*>(pvContext);
    if (ullId == self->m_ullResolverId && self->isRunning()) {
        self->touch();
        self->m_ullResolverId = 0;
        if (nStatus != 0) {
            self->finish(KHTTP_CE_NAME, "line=%d", kLineResolverFailed);
        } else {
            if (self->m_pStatus) self->m_pStatus->onServerAddress(QN_FormatIPv4(uAddress).c_str());
            self->connectTo(uAddress);
        }
    }
    self->m_nTasksInFlight.fetch_sub(1, std::memory_order_acq_rel);
}

void KHttpRequest::onConnectDone(SocketHandle* pHandle, int32_t nError) {
    KHttpRequest* self = static_cast<KHttpRequest*>(pHandle->context());
    self->touch();
    if (nError) {
        self->finish(KHTTP_CE_CONNECT, "code=%d;line=%d", nError, kLineConnectFailed);
        return;
    }
    pHandle->setNoDelay();
    uint32_t uLen = self->m_uRequestLength;
    if (self->m_bFirstSendPause) {
        // The first byte of a request on a new connection goes out alone; the rest follows
        // after a pause.
        uLen = 1;
        self->m_pPauseTimer = TimerHandle::create(self->m_pCore, self);
    }
    int nRes = pHandle->send(self->m_pRequestBuffer.get(), uLen);
    if (nRes != kOpStarted) {
        self->finish(KHTTP_CE_SEND, "res=%d;code=%d;buf=%llu;size=%u;line=%d", nRes, pHandle->lastError(),
                     AddressOf(self->m_pRequestBuffer.get()), uLen, kLineFirstSend);
    }
}

void KHttpRequest::sendRest(int nLine) {
    const char* pRest = m_pRequestBuffer.get() + m_uBytesSent;
    uint32_t uLeft = m_uRequestLength - m_uBytesSent;
    int nRes = m_pConnection->send(pRest, uLeft);
    if (nRes != kOpStarted) {
        if (staleReused()) {
            dropConnectionAndRestart();
            return;
        }
        finish(KHTTP_CE_SEND, "res=%d;code=%d;buf=%llu;size=%u;line=%d", nRes, m_pConnection->lastError(),
               AddressOf(pRest), uLeft, nLine);
    }
}

void KHttpRequest::onSendDone(SocketHandle* pHandle, int32_t nError, char* pBuf, uint32_t uBytes) {
    KHttpRequest* self = static_cast<KHttpRequest*>(pHandle->context());
    self->touch();
    if (nError) {
        if (!self->m_bNewConnection) {
            self->dropConnectionAndRestart();
        } else {
            self->finish(KHTTP_CE_SEND, "code=%d;buf=%llu;line=%d", nError, AddressOf(pBuf), kLineSendFailed);
        }
        return;
    }
    if (self->m_pStatus) self->m_pStatus->onSent(uBytes);
    self->m_uBytesSent += uBytes;
    if (self->m_uBytesSent < self->m_uRequestLength) {
        if (self->m_pPauseTimer) {
            if (!self->m_pPauseTimer->isStarted() &&
                self->m_pPauseTimer->start(false, &KHttpRequest::onPauseTimer, 0, kPauseMicroseconds) == kOpStarted) {
                return;
            }
            // The pause cannot be armed: send the rest now.
            self->m_pPauseTimer->close();
            self->m_pPauseTimer = nullptr;
        }
        self->sendRest(kLineSendRest);
        return;
    }
    self->receiveNext(kLineFirstReceive);
}

void KHttpRequest::onPauseTimer(TimerHandle* pTimer) {
    KHttpRequest* self = static_cast<KHttpRequest*>(pTimer->context());
    pTimer->close();
    self->m_pPauseTimer = nullptr;
    self->sendRest(kLineSendAfterPause);
}

uint32_t KHttpRequest::allowance() {
    if (m_pLimiter && m_pLimiter->rate() < kLimiterBypassRate) {
        if (m_uLimiterCredit < 100) {
            m_uLimiterCredit += m_pLimiter->take(kReceiveBufferSize);
            if (m_uLimiterCredit < 100) {
                if (m_pLimiterTimer && !m_pLimiterTimer->isStarted()) {
                    m_pLimiterTimer->start(false, &KHttpRequest::onLimiterTimer, 0, m_pLimiter->retryDelayMs() * 1000);
                }
                return 0;
            }
        }
        return m_uLimiterCredit < kReceiveBufferSize ? m_uLimiterCredit : kReceiveBufferSize;
    }
    return kReceiveBufferSize;
}

bool KHttpRequest::staleReused() const { return !m_bNewConnection && m_ullBytesReceived == 0; }

void KHttpRequest::receiveNext(int nLine) {
    uint32_t uAllowed = allowance();
    if (uAllowed == 0) return;  // the limiter timer calls back
    if (m_pConnection->receive(m_pReceiveBuffer.get(), uAllowed) != kOpStarted) {
        if (staleReused()) {
            dropConnectionAndRestart();
            return;
        }
        finish(KHTTP_CE_RECEIVE, "code=%d;line=%d", m_pConnection->lastError(), nLine);
    }
}

void KHttpRequest::onLimiterTimer(TimerHandle* pTimer) {
    KHttpRequest* self = static_cast<KHttpRequest*>(pTimer->context());
    self->receiveNext(kLineLimiterReceive);
}

void KHttpRequest::onInactivityTimer(TimerHandle* pTimer) {
    KHttpRequest* self = static_cast<KHttpRequest*>(pTimer->context());
    uint32_t uSec = 0, uUsec = 0;
    self->m_pCore->now(&uSec, &uUsec);
    if (uSec > self->m_uLastSec && uSec - self->m_uLastSec >= self->m_uRunTimeout) {
        self->finish(KHTTP_CE_TIMEOUT, "line=%d", kLineTimeout);
    }
}

void KHttpRequest::onRecvDone(SocketHandle* pHandle, int32_t nError, char*, uint32_t uBytes) {
    KHttpRequest* self = static_cast<KHttpRequest*>(pHandle->context());
    self->onReceiveDone(nError, uBytes);
}

void KHttpRequest::onReceiveDone(int32_t nError, uint32_t uBytes) {
    touch();
    if (nError) {
        if (staleReused()) {
            dropConnectionAndRestart();
        } else {
            finish(KHTTP_CE_RECEIVE, "code=%d;line=%d", nError, kLineReceiveFailed);
        }
        return;
    }
    if (m_pStatus) m_pStatus->onReceived(uBytes);
    if (uBytes == 0) {
        onReceiveEof();
        return;
    }
    uint32_t uCredit = m_uLimiterCredit;
    m_uLimiterCredit = uCredit > uBytes ? uCredit - uBytes : 0;
    m_ullBytesReceived += uBytes;
    if (parse(m_pReceiveBuffer.get(), uBytes)) receiveNext(kLineNextReceive);
}

void KHttpRequest::onReceiveEof() {
    // Tell the parser the peer closed; this only completes a body that runs until close.
    http_parser_execute(&m_parser, &m_settings, nullptr, 0);
    if (m_bMessageComplete && !interim()) {
        // The connection is closed: it is not parked.
        complete(KHTTP_CE_OK, false);
        return;
    }
    if (staleReused()) {
        dropConnectionAndRestart();
        return;
    }
    finish(KHTTP_CE_RECEIVE, "code=%d;line=%d", 0, kLineClosedEarly);
}

int KHttpRequest::parse(const char* pData, size_t uLen) {
    size_t uOffset = 0;
    m_pParseEnd = pData + uLen;
    // The end of a chunk's data that the previous bytes left unchecked.
    if (!checkChunkEnd(pData, m_pParseEnd)) {
        finish(KHTTP_CE_PARSE, "line=%d", kLineParse);
        return 0;
    }
    for (;;) {
        size_t uUsed = http_parser_execute(&m_parser, &m_settings, pData + uOffset, uLen - uOffset);
        uOffset += uUsed;
        if (m_nRefusalLine) {
            finish(m_nRefusalCode, "line=%d", m_nRefusalLine);
            return 0;
        }
        if (m_bMessageComplete) {
            if (interim()) {
                // An interim 1xx answer: the real response follows on the same connection.
                http_parser_init(&m_parser, HTTP_RESPONSE);
                m_parser.data = this;
                m_bMessageComplete = false;
                m_bStatusReported = false;
                m_nHeaderState = 0;
                m_strHeaderName.clear();
                m_strHeaderValue.clear();
                resetAnswer();
                m_bSawInterim = true;
                if (uOffset < uLen) continue;
                return 1;
            }
            // Park only a connection whose answer ended exactly at the bytes received, that
            // allows keep-alive and carried no interim answer: anything else could be read as
            // the next request's response.
            complete(KHTTP_CE_OK, uOffset == uLen && m_bKeepAlive && !m_bSawInterim);
            return 0;
        }
        if (HTTP_PARSER_ERRNO(&m_parser) != HPE_OK || uOffset != uLen) {
            finish(KHTTP_CE_PARSE, "line=%d", kLineParse);
            return 0;
        }
        return 1;
    }
}

void KHttpRequest::closeTimers() {
    TimerHandle** timers[] = {&m_pInactivityTimer, &m_pLimiterTimer, &m_pPauseTimer};
    for (TimerHandle** pp : timers) {
        if (*pp) {
            // Without a core the loop that owned the timer is gone: the handle is only freed.
            if (m_pCore) {
                (*pp)->close();
            } else {
                delete *pp;
            }
            *pp = nullptr;
        }
    }
}

void KHttpRequest::dropConnectionAndRestart() {
    if (m_pStatus) m_pStatus->onDisconnect();
    m_pConnection->close();
    m_pConnection = nullptr;
    closeTimers();
    m_uBytesSent = 0;
    start(false);
}

void KHttpRequest::finish(int32_t nCode, const char* pszFormat, ...) {
    if (getState() != KHTTP_STATE_RUNNING) return;
    if (pszFormat) {
        char szTrace[512];
        va_list args;
        va_start(args, pszFormat);
        QN_vsnprintf(szTrace, sizeof(szTrace), pszFormat, args);
        va_end(args);
        m_strClientErrorExt.assign(szTrace, std::min<size_t>(std::strlen(szTrace), kMaxClientErrorExt));
    }
    complete(nCode, false);
}

void KHttpRequest::complete(int32_t nCode, bool bPark) {
    if (getState() != KHTTP_STATE_RUNNING) return;
    m_nClientError.store(nCode, std::memory_order_release);
    closeTimers();
    if (m_ullResolverId) {
        if (m_pResolver->cancel(m_ullResolverId)) m_nTasksInFlight.fetch_sub(1, std::memory_order_acq_rel);
        m_ullResolverId = 0;
    }
    if (m_pConnection) {
        if (m_pStatus) m_pStatus->onDisconnect();
        if (nCode == KHTTP_CE_OK && bPark) {
            m_pCache->put(m_strHost, (uint16_t)m_uPort, m_pConnection);
        } else if (m_pCore) {
            m_pConnection->close();
        } else {
            delete m_pConnection;  // its loop is gone; this closes the descriptor
        }
        m_pConnection = nullptr;
    }
    if (m_pHandler) {
        if (nCode != KHTTP_CE_OK) {
            m_pHandler->onError();
        } else {
            m_pHandler->onEnd();
        }
    }
    {
        std::lock_guard<std::recursive_mutex> g(RunningLock());
        RunningRequests().erase(this);
        m_nState.store(KHTTP_STATE_FINISHED, std::memory_order_release);
    }
    // Last access to the request on this path: a waiter may destroy it as soon as it wakes.
    m_done.set();
}

// ---------------------------------------------------------------------------------------------
// Parser callbacks: they only call the handler and record a refusal; finishing happens after
// http_parser_execute has returned.

bool KHttpRequest::interim() const {
    return m_parser.status_code >= 100 && m_parser.status_code < 200 && m_parser.status_code != 101;
}

bool KHttpRequest::refuse(int nLine, int32_t nCode) {
    m_nRefusalLine = nLine;
    m_nRefusalCode = nCode;
    return false;
}

void KHttpRequest::resetAnswer() {
    m_bBodyAnnounced = false;
    m_bForeignCoding = false;
    m_uTransferEncodings = 0;
    m_uChunkEndChecked = 2;
}

bool KHttpRequest::checkChunkEnd(const char* p, const char* pEnd) {
    static const char kChunkEnd[2] = {'\r', '\n'};
    while (m_uChunkEndChecked < 2 && p < pEnd) {
        if (*p++ != kChunkEnd[m_uChunkEndChecked]) return false;
        ++m_uChunkEndChecked;
    }
    return true;
}

void KHttpRequest::noteHeader() {
    if (EqualsNoCase(m_strHeaderName, "Transfer-Encoding")) {
        m_bBodyAnnounced = true;
        // Only chunked framing alone is undone here; "gzip, chunked" would leave compressed
        // bytes and any coding without chunked last a body read until the connection closes.
        if (++m_uTransferEncodings > 1 || !EqualsNoCase(TrimBlanks(m_strHeaderValue), "chunked")) {
            m_bForeignCoding = true;
        }
    } else if (EqualsNoCase(m_strHeaderName, "Content-Encoding")) {
        if (!EqualsNoCase(TrimBlanks(m_strHeaderValue), "identity")) m_bForeignCoding = true;
    } else if (EqualsNoCase(m_strHeaderName, "Content-Length")) {
        std::string sValue = TrimBlanks(m_strHeaderValue);
        if (sValue.find_first_not_of('0') != std::string::npos) m_bBodyAnnounced = true;
    }
}

bool KHttpRequest::reportStatus(int nLine) {
    if (m_bStatusReported) return true;
    m_bStatusReported = true;
    if (m_pHandler && m_pHandler->onStatus((int)m_parser.status_code) < 0) return refuse(nLine);
    return true;
}

bool KHttpRequest::deliverHeader(int nLine) {
    if (m_nHeaderState != 2) return true;
    noteHeader();
    int32_t nRes = 0;
    if (m_pHandler) {
        nRes = m_pHandler->onHeader(m_strHeaderName.c_str(), (uint32_t)m_strHeaderName.size(),
                                    m_strHeaderValue.c_str(), (uint32_t)m_strHeaderValue.size());
    }
    m_strHeaderName.clear();
    m_strHeaderValue.clear();
    m_nHeaderState = 0;
    return nRes < 0 ? refuse(nLine) : true;
}

int KHttpRequest::onHeaderField(http_parser* p, const char* at, size_t len) {
    KHttpRequest* self = static_cast<KHttpRequest*>(p->data);
    if (!self->interim()) {
        if (!self->reportStatus(kLineRefusedHeader) || !self->deliverHeader(kLineRefusedHeader)) return -1;
    } else if (self->m_nHeaderState == 2) {
        self->noteHeader();
        self->m_strHeaderName.clear();
        self->m_strHeaderValue.clear();
    }
    self->m_strHeaderName.append(at, len);
    self->m_nHeaderState = 1;
    return 0;
}

int KHttpRequest::onHeaderValue(http_parser* p, const char* at, size_t len) {
    KHttpRequest* self = static_cast<KHttpRequest*>(p->data);
    self->m_strHeaderValue.append(at, len);
    self->m_nHeaderState = 2;
    return 0;
}

int KHttpRequest::onHeadersComplete(http_parser* p) {
    KHttpRequest* self = static_cast<KHttpRequest*>(p->data);
    if (self->interim()) {
        if (self->m_nHeaderState == 2) self->noteHeader();
        // An interim answer has no body; one that announces a body cannot be framed.
        if (self->m_bBodyAnnounced) {
            self->refuse(kLineParse, KHTTP_CE_PARSE);
            return -1;
        }
        return 0;
    }
    if (!self->reportStatus(kLineRefusedHeadersComplete) || !self->deliverHeader(kLineRefusedHeadersComplete)) return -1;
    if (self->m_bForeignCoding) {
        // The body would not be the plain bytes of the resource.
        self->refuse(kLineParse, KHTTP_CE_PARSE);
        return -1;
    }
    if (self->m_pHandler && self->m_pHandler->onHeadersComplete() < 0) {
        self->refuse(kLineRefusedHeadersComplete);
        return -1;
    }
    // 1 tells the parser that no body follows: the answer to a HEAD ends with its headers.
    return self->m_nMethod == KHTTP_METHOD_HEAD ? 1 : 0;
}

int KHttpRequest::onBody(http_parser* p, const char* at, size_t len) {
    KHttpRequest* self = static_cast<KHttpRequest*>(p->data);
    if (self->interim()) {
        self->refuse(kLineParse, KHTTP_CE_PARSE);
        return -1;
    }
    if ((p->flags & F_CHUNKED) && p->content_length == 0) {
        // These bytes end a chunk's data: CR LF must follow. A chunk whose data does not end
        // where its size line said is refused before its last bytes reach the handler.
        self->m_uChunkEndChecked = 0;
        if (!self->checkChunkEnd(at + len, self->m_pParseEnd)) {
            self->refuse(kLineParse, KHTTP_CE_PARSE);
            return -1;
        }
    }
    if (self->m_pHandler && self->m_pHandler->onBody(reinterpret_cast<const uint8_t*>(at), (uint32_t)len) < 0) {
        self->refuse(kLineRefusedBody);
        return -1;
    }
    return 0;
}

int KHttpRequest::onChunkComplete(http_parser* p) {
    KHttpRequest* self = static_cast<KHttpRequest*>(p->data);
    if (self->interim()) return 0;
    // The chunk's closing CR LF has been checked: every body byte delivered so far came in
    // chunks that ended where their size lines said.
    if (self->m_pHandler && self->m_pHandler->onChunkComplete() < 0) {
        self->refuse(kLineRefusedBody);
        return -1;
    }
    return 0;
}

int KHttpRequest::onMessageComplete(http_parser* p) {
    KHttpRequest* self = static_cast<KHttpRequest*>(p->data);
    self->m_bMessageComplete = true;
    self->m_bKeepAlive = http_should_keep_alive(p) != 0 && !p->upgrade;
    // Stop here: bytes after the answer are not parsed as another one.
    return 1;
}
