// The event loop: one thread that carries every socket operation, timer, async wake-up and
// posted task of the download library.
//
// Other threads only call EventLoop::post and AsyncHandle::signal. Every handle operation
// below belongs to the loop thread (or, for a LoopCore that no EventLoop runs, to the thread
// that drives it). Handle operations return the kOp* codes; a completion never runs inside the
// call that started it, and a closed handle's callbacks are never called.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "qn_proactor.h"

class EventLoop;
class LoopCore;

// Results of the handle operations.
enum : int {
    kOpStarted = 0,
    kOpBadArgument = 1,
    kOpWrongState = 2,
    kOpOutOfMemory = 3,
    kOpSystemError = 4,
};
// TimerHandle::start on a timer that is already in the heap.
inline constexpr int kTimerAlreadyStarted = 4;

// A task run on the loop thread. run is false only when the task is drained at stop, or when it
// was posted to a loop that is not running (it then runs at once on the poster's thread with a
// null core); each task decides what that means. The loop deletes the task after Run.
class EventTask {
public:
    virtual ~EventTask() = default;
    virtual void Run(LoopCore* core, bool run) = 0;
};

using EventTaskFn = void (*)(LoopCore* core, void* context, bool run);

class SimpleEventTask : public EventTask {
public:
    SimpleEventTask(EventTaskFn fn, void* context) : m_fn(fn), m_context(context) {}
    void Run(LoopCore* core, bool run) override {
        if (m_fn) m_fn(core, m_context, run);
    }

private:
    EventTaskFn m_fn;
    void* m_context;
};

// A task holding any callable.
class FunctionEventTask : public EventTask {
public:
    explicit FunctionEventTask(std::function<void(LoopCore*, bool)> fn) : m_fn(std::move(fn)) {}
    void Run(LoopCore* core, bool run) override {
        if (m_fn) m_fn(core, run);
    }

private:
    std::function<void(LoopCore*, bool)> m_fn;
};

// Ends the loop: with run = true it queues the stop request behind everything posted so far.
class breakLoopTask : public EventTask {
public:
    void Run(LoopCore* core, bool run) override;
};

enum class HandleKind : uint32_t { Socket, Async, Timer };

// Handle flag bits.
enum : uint32_t {
    kHandleReady = 1u,           // socket: connected; timer: its callback is running
    kHandleConnectOrSend = 2u,   // a connect or send is in progress
    kHandleReceive = 4u,         // a receive is in progress
    kHandleError = 8u,           // the last error is valid
    kHandleClosed = 16u,         // closed, release deferred
};

// The header shared by every handle.
class LoopHandle {
public:
    virtual ~LoopHandle();
    LoopHandle(const LoopHandle&) = delete;
    LoopHandle& operator=(const LoopHandle&) = delete;

    HandleKind kind() const { return m_kind; }
    uint32_t flags() const { return m_flags; }
    LoopCore* core() const { return m_core; }
    void* context() const { return m_context; }
    void setContext(void* context) { m_context = context; }

protected:
    LoopHandle(HandleKind kind, LoopCore* core, void* context) : m_kind(kind), m_core(core), m_context(context) {}
    // The completion routine the loop calls for an entry keyed by this handle.
    virtual void onCompletion(const QN_PortEntry& entry) = 0;

    HandleKind m_kind;
    uint32_t m_flags = 0;
    LoopCore* m_core;
    void* m_context;
    LoopHandle* m_closedNext = nullptr;

    friend class LoopCore;
};

class SocketHandle : public LoopHandle {
public:
    using ConnectDoneFn = void (*)(SocketHandle* handle, int32_t error);
    using TransferDoneFn = void (*)(SocketHandle* handle, int32_t error, char* buf, uint32_t bytes);

    static SocketHandle* create(LoopCore* core, void* context);
    // Deleting a handle directly is only for handles whose loop has already been destroyed;
    // it closes the descriptor without touching the loop.
    ~SocketHandle() override;
    void setCallbacks(ConnectDoneFn connectDone, TransferDoneFn sendDone, TransferDoneFn recvDone) {
        m_connectDone = connectDone;
        m_sendDone = sendDone;
        m_recvDone = recvDone;
    }

    // Address and port in network order. 2 when the handle already has a socket.
    int connect(uint32_t address, uint16_t port);
    // 1 for a null buffer or zero length; 2 without a socket, in error, closed, not connected,
    // or with the same kind of operation in progress. A send may complete with fewer bytes.
    int send(const char* buf, uint32_t len);
    int receive(char* buf, uint32_t len);
    // 2 without a socket, closed, in error or not connected; 4 when the query fails.
    int peerAddress(uint32_t* address, uint16_t* port);
    int setNoDelay();
    // Connected, with no receive in progress: true when bytes, an end of stream or an error
    // wait to be read (nothing is consumed). False without a socket or when closed.
    bool hasPendingInput() const;
    // Closes the socket. With an operation in progress the handle is released on a later
    // pass; otherwise at once. Either way the handle must not be used again.
    void close();

    int32_t lastError() const { return m_lastError; }
    bool hasSocket() const { return m_socket.fd >= 0; }
    bool isConnected() const { return (m_flags & kHandleReady) != 0; }

private:
    SocketHandle(LoopCore* core, void* context);
    void onCompletion(const QN_PortEntry& entry) override;
    int checkTransfer(const char* buf, uint32_t len, uint32_t busyBit) const;
    int fail(int32_t error);

    QN_PortSocket m_socket;
    QN_PortOp m_recvOp;
    QN_PortOp m_sendOp;
    int32_t m_lastError = 0;
    ConnectDoneFn m_connectDone = nullptr;
    TransferDoneFn m_sendDone = nullptr;
    TransferDoneFn m_recvDone = nullptr;
};

class AsyncHandle : public LoopHandle {
public:
    using Callback = void (*)(AsyncHandle* handle);

    static AsyncHandle* create(LoopCore* core, void* context);
    // Sets the callback and keeps the loop alive until close.
    void arm(Callback callback);
    // Any thread: queues one wake-up; further signals before it is handled coalesce into it.
    void signal();
    // Disarms it. A queued wake-up is still taken off the port; the handle is released then,
    // with no callback, else at once.
    void close();

private:
    AsyncHandle(LoopCore* core, void* context) : LoopHandle(HandleKind::Async, core, context) {}
    void onCompletion(const QN_PortEntry& entry) override;

    QN_PortOp m_op;
    Callback m_callback = nullptr;
    bool m_armed = false;
    std::atomic<uint32_t> m_posted{0};

    friend class LoopCore;
};

class TimerHandle : public LoopHandle {
public:
    using Callback = void (*)(TimerHandle* handle);

    static TimerHandle* create(LoopCore* core, void* context);
    // 0 started, 3 when the heap cannot grow, kTimerAlreadyStarted when it is in the heap.
    int start(bool repeat, Callback callback, uint32_t seconds, uint32_t microseconds);
    // Takes it out of the heap and releases it; inside its own callback the release waits
    // until the callback has returned, and it does not repeat.
    void close();
    bool isStarted() const { return m_heapIndex >= 0; }

private:
    TimerHandle(LoopCore* core, void* context) : LoopHandle(HandleKind::Timer, core, context) {}
    void onCompletion(const QN_PortEntry&) override {}
    bool earlierThan(const TimerHandle* other) const {
        return m_dueSec < other->m_dueSec || (m_dueSec == other->m_dueSec && m_dueUsec < other->m_dueUsec);
    }

    uint32_t m_intervalSec = 0;
    uint32_t m_intervalUsec = 0;
    bool m_repeat = false;
    int32_t m_heapIndex = -1;
    uint64_t m_armPass = 0;  // the pass that put it into the heap
    uint32_t m_dueSec = 0;
    uint32_t m_dueUsec = 0;
    Callback m_callback = nullptr;

    friend class LoopCore;
};

// The loop's state: the port, the timer heap, the closed list, the pending count and the
// cached clock.
class LoopCore {
public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;
    // Key of the stop request.
    static void* stopKey() { return (void*)(uintptr_t)0xFFFFFFFFu; }

    // loop may be null: tests drive a core of their own with runPass.
    explicit LoopCore(EventLoop* loop);
    // Closes the port and releases every handle waiting on the closed list.
    ~LoopCore();
    LoopCore(const LoopCore&) = delete;
    LoopCore& operator=(const LoopCore&) = delete;

    bool open();
    EventLoop* loop() const { return m_loop; }
    QN_Port& port() { return m_port; }

    // Runs passes while something is pending or a timer is in the heap: 0 after the stop
    // request, 4 when the port fails (its errno in lastError()).
    int run();
    // One pass (clock, due timers, closed list, one wait of at most maxWaitMs on top of the
    // timers' wait). 1 to go on, 0 for the stop request, 4 for a port failure.
    int runPass(uint32_t maxWaitMs = kInfinite);

    // The clock in seconds and microseconds (monotonic, from an arbitrary start).
    void now(uint32_t* seconds, uint32_t* microseconds) const;
    // The reading taken at the start of the current pass (0 before the first).
    void cachedNow(uint32_t* seconds, uint32_t* microseconds) const {
        *seconds = m_cachedSec;
        *microseconds = m_cachedUsec;
    }
    // Replaces the clock (microseconds); an empty function restores the real one.
    void setClock(std::function<uint64_t()> clock) { m_clock = std::move(clock); }

    void addPending() { m_pending.fetch_add(1, std::memory_order_acq_rel); }
    void subPending() { m_pending.fetch_sub(1, std::memory_order_acq_rel); }
    uint32_t pending() const { return m_pending.load(std::memory_order_acquire); }
    uint32_t timerCount() const { return (uint32_t)m_heapCount; }
    uint32_t heapCapacity() const { return (uint32_t)m_heap.size(); }
    uint32_t lastError() const { return m_lastError; }
    uint32_t threadId() const { return m_threadId.load(std::memory_order_acquire); }

    // Milliseconds until a timer due at (dueSec, dueUsec), seen at (nowSec, nowUsec), rounded
    // up to whole milliseconds; 0 when due.
    static uint32_t waitTimeMs(uint32_t dueSec, uint32_t dueUsec, uint32_t nowSec, uint32_t nowUsec);

private:
    void readClock(uint32_t* seconds, uint32_t* microseconds) const;
    void updateClock();
    void runDueTimers();
    void releaseClosed();
    void deferRelease(LoopHandle* handle);
    static void release(LoopHandle* handle);
    int heapInsert(TimerHandle* timer);
    void heapRemove(TimerHandle* timer);
    void siftUp(int32_t index);
    void siftDown(int32_t index);
    void place(TimerHandle* timer, int32_t index) {
        m_heap[index] = timer;
        timer->m_heapIndex = index;
    }

    EventLoop* m_loop;
    QN_Port m_port;
    uint32_t m_lastError = 0;
    std::atomic<uint32_t> m_threadId{0};
    LoopHandle* m_closed = nullptr;
    std::atomic<uint32_t> m_pending{0};
    uint32_t m_cachedSec = 0;
    uint32_t m_cachedUsec = 0;
    std::vector<TimerHandle*> m_heap;
    int32_t m_heapCount = 0;
    std::function<uint64_t()> m_clock;
    uint64_t m_pass = 0;

    friend class SocketHandle;
    friend class AsyncHandle;
    friend class TimerHandle;
};

class EventLoop {
public:
    // The process-wide loop. Never destroyed.
    static EventLoop& instance();

    EventLoop() = default;
    // Stops the loop (loops made by tests).
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Creates the core, arms the wake handle and starts the thread. False while a loop thread
    // exists, or when a step fails (what was made is undone).
    bool start();
    // Ends the thread, runs every queued task with run = false, closes the wake handle and
    // destroys the core. Does nothing when stopped. Never call it on the loop thread.
    void stop();
    // Any thread. A null task is skipped. While the loop is stopped the task runs at once, on
    // the calling thread, with a null core and run = false.
    void post(EventTask* task);
    void post(EventTaskFn fn, void* context);
    void post(std::function<void(LoopCore*, bool)> fn);
    // Runs queued tasks, front first, including the ones posted meanwhile.
    void drainTasks(bool run);

    // True from a successful start until stop.
    bool isRunning() const { return m_threadStarted.load(std::memory_order_acquire); }
    uint32_t threadId() const { return m_threadId.load(std::memory_order_acquire); }
    bool isLoopThread() const;
    // The running core (loop thread, or while the loop cannot stop under the caller).
    LoopCore* core() const { return m_core; }
    // Clock for cores created by later starts (tests); empty restores the real clock.
    void setClockForTest(std::function<uint64_t()> clock);
    // Any thread. Every later stop calls hook once, on the stopping thread, after the loop
    // thread has ended, the queued tasks have run with run = false and the core is gone, so
    // that work still waiting on the loop ends instead of waiting for ever. Adding the same
    // hook again does nothing.
    using StopHook = void (*)();
    void addStopHook(StopHook hook);

private:
    static void onWake(AsyncHandle* handle);
    void threadMain();

    std::mutex m_startStopLock;  // serialises start and stop
    std::mutex m_taskLock;       // guards m_tasks, m_stopped and the wake handle's lifetime
    std::deque<EventTask*> m_tasks;
    bool m_stopped = true;
    LoopCore* m_core = nullptr;
    AsyncHandle* m_wake = nullptr;
    std::thread m_thread;
    std::atomic<uint32_t> m_threadId{0};
    std::atomic<bool> m_threadStarted{false};
    std::function<uint64_t()> m_clock;
    std::mutex m_hookLock;  // guards m_stopHooks
    std::vector<StopHook> m_stopHooks;
};
