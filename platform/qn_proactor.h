// The completion port of the event loop: an epoll proactor.
//
// Operations start now and complete later. Connect, send and receive are tried at once; what
// finishes at once, and what finishes on a later readiness edge, becomes an entry that a later
// dequeue hands out, so a completion never runs inside the call that started it. Posted entries
// (wake-ups of async handles and the stop request) travel through one FIFO in posting order.
// Closing a socket with an operation still waiting in the kernel turns that operation into a
// cancelled completion (Winsock 10004).
//
// post() may be called from any thread; everything else belongs to the thread that dequeues.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

enum QN_PortOpKind : uint32_t {
    QN_PORT_OP_NONE = 0,
    QN_PORT_OP_CONNECT = 1,
    QN_PORT_OP_SEND = 2,
    QN_PORT_OP_RECV = 3,
    QN_PORT_OP_WAKE = 4,
};

// One operation slot (the stand-in for an OVERLAPPED). A socket has a receive slot and one
// shared by connect and send.
struct QN_PortOp {
    uint32_t uKind = QN_PORT_OP_NONE;
    bool bInKernel = false;  // waiting for a readiness edge
    char* pBuf = nullptr;
    uint32_t uLen = 0;
};

// A socket known to the port. pvKey is handed back in every entry of its operations.
struct QN_PortSocket {
    int fd = -1;
    void* pvKey = nullptr;
    QN_PortOp* pRecvOp = nullptr;
    QN_PortOp* pSendOp = nullptr;
};

// A completion: the key and operation it belongs to, the bytes moved and a Winsock error.
// A null operation is the stop request.
struct QN_PortEntry {
    void* pvKey = nullptr;
    QN_PortOp* pOp = nullptr;
    uint32_t uBytes = 0;
    int32_t nWsaError = 0;
};

class QN_Port {
public:
    static constexpr int kMaxEntries = 128;
    static constexpr int kInfinite = -1;

    QN_Port() = default;
    ~QN_Port();
    QN_Port(const QN_Port&) = delete;
    QN_Port& operator=(const QN_Port&) = delete;

    // Creates the epoll set and the wake-up eventfd. False with errno set on failure.
    bool open();
    // Closes both; entries still queued are dropped (take them first with takeQueued).
    void close();
    bool isOpen() const { return m_epfd >= 0; }

    // Any thread: appends an entry to the posted FIFO and wakes the dequeuing thread.
    void post(void* pvKey, QN_PortOp* pOp, uint32_t uBytes);

    // Hands out up to nMax entries: completions already made, then posted entries, then what
    // readiness produces. Blocks up to nTimeoutMs (kInfinite for no limit) only when nothing
    // was at hand. Returns the number of entries, 0 for a time-out (an interrupted wait counts
    // as one), or -1 with *pnRetErrno set when the wait itself fails.
    int dequeue(QN_PortEntry* pOut, int nMax, int nTimeoutMs, int* pnRetErrno);

    // Puts entries handed out by dequeue back in front of everything, in their order (the
    // rest of a batch behind a stop request).
    void requeueFront(const QN_PortEntry* pEntries, int nCount);
    // Every entry still queued (ready and posted), in order, for the owner's final clean-up.
    std::vector<QN_PortEntry> takeQueued();

    // Socket operations. Each returns 0 when the operation started (its completion follows) or
    // the Winsock error of a call that failed at once (not started). Connect creates the
    // socket (non-blocking, close-on-exec) and registers it; -1 means the registration failed.
    int32_t connect(QN_PortSocket* pSocket, uint32_t uAddress, uint16_t uPortNet);
    int32_t send(QN_PortSocket* pSocket, const char* pBuf, uint32_t uLen);
    int32_t receive(QN_PortSocket* pSocket, char* pBuf, uint32_t uLen);
    // Closes the descriptor; operations waiting in the kernel complete as cancelled (10004).
    void closeSocket(QN_PortSocket* pSocket);
    // Closes the descriptor of a socket whose port is gone (no completions are made).
    static void closeDetached(QN_PortSocket* pSocket);
    int32_t peerName(const QN_PortSocket* pSocket, uint32_t* puRetAddress, uint16_t* puRetPortNet) const;
    int32_t setNoDelay(const QN_PortSocket* pSocket) const;
    // True when bytes, an end of stream or an error wait to be read on a socket with no
    // receive in progress. Nothing is consumed.
    bool hasPendingInput(const QN_PortSocket* pSocket) const;

    // Number of post() calls so far (tests check that wake-ups coalesce).
    uint64_t postCount() const { return m_ullPosts.load(std::memory_order_relaxed); }

private:
    void complete(QN_PortSocket* pSocket, QN_PortOp* pOp, uint32_t uBytes, int32_t nWsaError);
    void onEvents(QN_PortSocket* pSocket, uint32_t uEvents);
    void takePosted();
    // One attempt of a send or receive: true when it finished (entry made), false on EAGAIN.
    bool attempt(QN_PortSocket* pSocket, QN_PortOp* pOp);

    int m_epfd = -1;
    int m_wakefd = -1;
    std::mutex m_lock;                  // guards m_posted
    std::deque<QN_PortEntry> m_posted;  // any thread
    std::deque<QN_PortEntry> m_ready;   // dequeuing thread only
    std::atomic<uint64_t> m_ullPosts{0};
};
