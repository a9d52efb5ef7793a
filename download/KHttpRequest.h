// The library's HTTP/1.1 client for one request at a time over plain TCP.
//
// Building (init, open, addHeader, setBody, setServerAddress, send, cancel) runs on the
// owner's thread; everything from the start task to finish runs on the event-loop thread,
// including every handler and status-callback call. The owner learns the end through the
// handler, the done event, the state (5) and the client error.
//
// The engine never asks for a coding, so it hands over only plain bytes: an answer whose
// Transfer-Encoding is anything but absent or exactly "chunked", or whose Content-Encoding is
// anything but absent or "identity", ends with client error 5 before its body is delivered;
// so does an interim (1xx) answer that announces a body, which could never reach the handler
// without shifting the framing of the answer after it.
//
// Request targets: bytes outside the request-target set are percent-escaped, the fragment is
// not sent, the scheme is compared without regard to case, and IPv6 literal hosts are refused
// (the client connects over IPv4 only).
//
// Lifetime rules:
// - finish ends with the done event, and that is the loop thread's last access to the request
//   on its path; a task's or the resolver callback's "tasks in flight - 1" comes after it as
//   the very last statement.
// - Parser callbacks only record a refusal; finish runs after http_parser_execute returns.
// - Destroying a running request cancels it, waits for the done event and then for tasks in
//   flight to reach 0. Never destroy a running request on the loop thread.
// - A request still running when the loop stops under it ends as cancelled during that stop,
//   on the stopping thread: nothing is left to wait for a loop that is gone.
#pragma once

#include <http_parser.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "IKHttp.h"
#include "event.h"

class EventLoop;
class LoopCore;
class SocketHandle;
class TimerHandle;
class ConnectionCache;
class HostResolver;
class SpeedLimiter;

// The client error of a finished request.
enum KHttpClientError : int32_t {
    KHTTP_CE_OK = 0,
    KHTTP_CE_NAME = 1,       // name not resolved
    KHTTP_CE_CONNECT = 2,    // connect failed
    KHTTP_CE_SEND = 3,       // send failed
    KHTTP_CE_RECEIVE = 4,    // receive failed or connection closed early
    KHTTP_CE_PARSE = 5,      // response not parseable
    KHTTP_CE_REFUSED = 6,    // response handler refused
    KHTTP_CE_TIMEOUT = 7,    // inactivity time-out
    KHTTP_CE_CANCELLED = 8,  // cancelled
};

enum KHttpRequestState : int32_t {
    KHTTP_STATE_EMPTY = 0,
    KHTTP_STATE_INITIALISED = 1,
    KHTTP_STATE_REQUEST_LINE = 2,  // headers may be added
    KHTTP_STATE_HEADERS_CLOSED = 3,
    KHTTP_STATE_RUNNING = 4,
    KHTTP_STATE_FINISHED = 5,
};

class KHttpRequest {
public:
    static constexpr uint32_t kReceiveBufferSize = 16384;
    static constexpr uint32_t kDefaultTimeoutSeconds = 120;
    static constexpr uint32_t kMaxClientErrorExt = 128;
    static constexpr size_t kMaxUrlLength = KHTTP_MAX_URL_LENGTH;
    // At or above this rate (bytes/s) the limiter is not consulted.
    static constexpr uint32_t kLimiterBypassRate = 0x1400000;
    // On a new connection the first byte of the request goes out alone, the rest this long after.
    static constexpr uint32_t kFirstSendPauseMs = 100;

    KHttpRequest();
    ~KHttpRequest();
    KHttpRequest(const KHttpRequest&) = delete;
    KHttpRequest& operator=(const KHttpRequest&) = delete;

    // Allocates the request buffer and the receive buffer, sets the time-out to 120 s, takes
    // the library's loop, connection cache and resolver and one reference on the handler and
    // the status callback (both may be null). State 1.
    bool init(uint32_t uRequestBufferSize, SpeedLimiter* pLimiter, IKHttpResponseHandler* pHandler,
              IKHttpStatusCallback* pStatusCallback);
    // Resets the request and writes the request line and Host header. Refused before init and
    // while running. On failure the request is left initialised (state 1).
    bool open(int32_t nMethod, const char* pszUrl);
    bool addHeader(const char* pszName, const char* pszValue);
    // Appends Content-Length, the end of the headers and the body. State 3.
    bool setBody(const void* pvData, uint32_t uLen);
    // Connects to this IPv4 address (network order) instead of the host's; 0 = the host.
    bool setServerAddress(uint32_t uAddress);
    // Closes the headers when needed and posts the start task. State 4.
    bool send();
    // Running requests only: posts the cancel task (the request ends with client error 8).
    bool cancel();

    int32_t getState() const { return m_nState.load(std::memory_order_acquire); }
    bool isRunning() const { return getState() == KHTTP_STATE_RUNNING; }
    // True when the done event is set within uMilliseconds (Event::kInfinite for no limit).
    bool waitDone(uint32_t uMilliseconds) { return m_done.wait(uMilliseconds); }
    int32_t tasksInFlight() const { return m_nTasksInFlight.load(std::memory_order_acquire); }
    int32_t getClientError() const { return m_nClientError.load(std::memory_order_acquire); }
    // Valid once the request has finished.
    const std::string& getClientErrorExt() const { return m_strClientErrorExt; }
    // The request text built so far.
    std::string requestText() const { return std::string(m_pRequestBuffer.get(), m_uRequestLength); }
    // Inactivity limit in seconds (tests use short ones). Takes effect at the next send.
    void setTimeout(uint32_t uSeconds) { m_uTimeoutSeconds = uSeconds; }

private:
    class RequestTask;
    enum TaskKind { kStartTask, kCancelTask };

    void reset();
    bool append(const char* pData, size_t uLen);
    bool appendText(const std::string& s) { return append(s.data(), s.size()); }
    bool parseUrl(const char* pszUrl);
    bool postTask(TaskKind eKind);

    // Loop thread.
    void runStart(LoopCore* pCore, bool bRun);
    void runCancel(LoopCore* pCore, bool bRun, uint32_t uGeneration);
    // Stop hook of the loop: ends every request that the stopped loop left running.
    static void endStranded();
    // Off the loop thread, under the lock of the running list: ends the request as cancelled
    // when it is still running. Without a core its handles are freed directly.
    void endOffLoop(LoopCore* pCore);
    void start(bool bReuse);
    void connectTo(uint32_t uAddress);
    void sendRest(int nLine);
    void receiveNext(int nLine);
    uint32_t allowance();
    // A kept-alive connection that the server closed or reset before any byte of the answer
    // is dropped silently and the request goes on over a new one. This happens at most once
    // per start: a new connection is never retried.
    bool staleReused() const;
    void dropConnectionAndRestart();
    void closeTimers();
    void touch();
    void finish(int32_t nCode, const char* pszFormat = nullptr, ...) __attribute__((format(printf, 3, 4)));
    void finishOk(bool bPark);
    void complete(int32_t nCode, bool bPark);
    void onReceiveDone(int32_t nError, uint32_t uBytes);
    void onReceiveEof();
    // Feeds bytes to the parser: 1 go on reading, 0 the request has finished.
    int parse(const char* pData, size_t uLen);

    static void onConnectDone(SocketHandle* pHandle, int32_t nError);
    static void onSendDone(SocketHandle* pHandle, int32_t nError, char* pBuf, uint32_t uBytes);
    static void onRecvDone(SocketHandle* pHandle, int32_t nError, char* pBuf, uint32_t uBytes);
    static void onInactivityTimer(TimerHandle* pTimer);
    static void onLimiterTimer(TimerHandle* pTimer);
    static void onPauseTimer(TimerHandle* pTimer);
    static void onResolved(uint64_t ullId, const std::string& host, void* pvContext, int32_t nStatus,
                           uint32_t uAddress);

    static int onHeaderField(http_parser* p, const char* at, size_t len);
    static int onHeaderValue(http_parser* p, const char* at, size_t len);
    static int onHeadersComplete(http_parser* p);
    static int onBody(http_parser* p, const char* at, size_t len);
    static int onChunkComplete(http_parser* p);
    static int onMessageComplete(http_parser* p);
    // Checks the bytes that must close a chunk's data, from p up to the end of the bytes being
    // parsed; what is not there yet is checked at the start of the next bytes received.
    bool checkChunkEnd(const char* p, const char* pEnd);
    bool reportStatus(int nLine);
    bool deliverHeader(int nLine);
    // Records what a finished header says about the framing and coding of the body.
    void noteHeader();
    void resetAnswer();
    bool refuse(int nLine, int32_t nCode = KHTTP_CE_REFUSED);
    bool interim() const;

    uint32_t m_uRequestBufferSize = 0;
    std::unique_ptr<char[]> m_pRequestBuffer;
    uint32_t m_uRequestLength = 0;
    std::unique_ptr<char[]> m_pReceiveBuffer;

    EventLoop* m_pLoop = nullptr;
    ConnectionCache* m_pCache = nullptr;
    HostResolver* m_pResolver = nullptr;
    SpeedLimiter* m_pLimiter = nullptr;
    IKHttpResponseHandler* m_pHandler = nullptr;
    IKHttpStatusCallback* m_pStatus = nullptr;

    std::atomic<int32_t> m_nState{KHTTP_STATE_EMPTY};
    // Counts opens, so that a task queued for an earlier request does nothing to a later one.
    std::atomic<uint32_t> m_uGeneration{0};
    int32_t m_nMethod = 0;
    std::string m_strUrl;
    http_parser_url m_url{};
    std::string m_strHost;
    uint32_t m_uPort = 0;
    std::string m_strPath;
    uint32_t m_uServerAddress = 0;

    http_parser_settings m_settings{};
    http_parser m_parser{};
    std::string m_strHeaderName;
    std::string m_strHeaderValue;
    int m_nHeaderState = 0;  // 0 none, 1 in a name, 2 in a value
    bool m_bStatusReported = false;
    bool m_bMessageComplete = false;
    bool m_bKeepAlive = false;      // the completed response allows the connection to be kept
    bool m_bSawInterim = false;     // a 1xx answer came on this connection
    int m_nRefusalLine = 0;         // a handler refused (line of the trace), 0 = none
    int32_t m_nRefusalCode = KHTTP_CE_REFUSED;
    // What the headers of the answer being parsed say about its body.
    bool m_bBodyAnnounced = false;     // a Transfer-Encoding, or a Content-Length above 0
    bool m_bForeignCoding = false;     // a coding other than chunked framing or identity
    uint32_t m_uTransferEncodings = 0;  // Transfer-Encoding headers seen
    // The parser takes any two bytes after a chunk's data for its closing CR LF, so a chunk
    // whose size line does not match the data that follows would be read on as data. The
    // closing bytes are checked here: how many of "\r\n" have been checked (2 = none pending).
    uint32_t m_uChunkEndChecked = 2;
    const char* m_pParseEnd = nullptr;  // end of the bytes being parsed

    uint64_t m_ullResolverId = 0;
    bool m_bNoReuse = false;

    SocketHandle* m_pConnection = nullptr;
    bool m_bNewConnection = false;
    uint32_t m_uBytesSent = 0;
    uint64_t m_ullBytesReceived = 0;
    TimerHandle* m_pLimiterTimer = nullptr;
    uint32_t m_uLimiterCredit = 0;
    TimerHandle* m_pInactivityTimer = nullptr;
    uint32_t m_uLastSec = 0;
    uint32_t m_uLastUsec = 0;
    uint32_t m_uTimeoutSeconds = kDefaultTimeoutSeconds;
    uint32_t m_uRunTimeout = kDefaultTimeoutSeconds;
    LoopCore* m_pCore = nullptr;

    std::atomic<int32_t> m_nTasksInFlight{0};
    Event m_done{true};
    std::atomic<int32_t> m_nClientError{0};
    std::string m_strClientErrorExt;

    bool m_bFirstSendPause = true;
    TimerHandle* m_pPauseTimer = nullptr;
};
