#include "event_loop.h"

#include <climits>
#include <new>

#include "download_test_hooks.h"
#include "qn_platform.h"
#include "qn_time.h"

namespace {
std::atomic<uint64_t> g_handleReleases{0};

constexpr uint64_t kUsecPerSec = 1000000ull;

uint64_t toUsec(uint32_t sec, uint32_t usec) { return (uint64_t)sec * kUsecPerSec + usec; }
}  // namespace

uint64_t qn::testing::LoopHandleReleaseCount() { return g_handleReleases.load(std::memory_order_acquire); }

// ---- tasks ----------------------------------------------------------------------------------

void breakLoopTask::Run(LoopCore* core, bool run) {
    if (!run || !core) return;
    core->addPending();
    core->port().post(LoopCore::stopKey(), nullptr, 0);
}

// ---- handles --------------------------------------------------------------------------------

LoopHandle::~LoopHandle() = default;

SocketHandle::SocketHandle(LoopCore* core, void* context) : LoopHandle(HandleKind::Socket, core, context) {
    m_socket.pvKey = this;
    m_socket.pRecvOp = &m_recvOp;
    m_socket.pSendOp = &m_sendOp;
}

SocketHandle::~SocketHandle() { QN_Port::closeDetached(&m_socket); }

SocketHandle* SocketHandle::create(LoopCore* core, void* context) {
    if (!core) return nullptr;
    return new (std::nothrow) SocketHandle(core, context);
}

int SocketHandle::fail(int32_t error) {
    m_lastError = error;
    m_flags |= kHandleError;
    return kOpSystemError;
}

int SocketHandle::connect(uint32_t address, uint16_t port) {
    if (m_socket.fd >= 0 || (m_flags & kHandleClosed)) return kOpWrongState;
    int32_t r = m_core->m_port.connect(&m_socket, address, port);
    if (r != 0) return fail(r);
    m_core->addPending();
    m_flags |= kHandleConnectOrSend;
    return kOpStarted;
}

int SocketHandle::checkTransfer(const char* buf, uint32_t len, uint32_t busyBit) const {
    if (!buf || len == 0) return kOpBadArgument;
    if (m_socket.fd < 0 || (m_flags & (kHandleError | kHandleClosed)) || !(m_flags & kHandleReady) ||
        (m_flags & busyBit))
        return kOpWrongState;
    return kOpStarted;
}

int SocketHandle::send(const char* buf, uint32_t len) {
    int r = checkTransfer(buf, len, kHandleConnectOrSend);
    if (r != kOpStarted) return r;
    int32_t e = m_core->m_port.send(&m_socket, buf, len);
    if (e != 0) return fail(e);
    m_core->addPending();
    m_flags |= kHandleConnectOrSend;
    return kOpStarted;
}

int SocketHandle::receive(char* buf, uint32_t len) {
    int r = checkTransfer(buf, len, kHandleReceive);
    if (r != kOpStarted) return r;
    int32_t e = m_core->m_port.receive(&m_socket, buf, len);
    if (e != 0) return fail(e);
    m_core->addPending();
    m_flags |= kHandleReceive;
    return kOpStarted;
}

int SocketHandle::peerAddress(uint32_t* address, uint16_t* port) {
    if (m_socket.fd < 0 || (m_flags & (kHandleError | kHandleClosed)) || !(m_flags & kHandleReady))
        return kOpWrongState;
    int32_t e = m_core->m_port.peerName(&m_socket, address, port);
    if (e != 0) return fail(e);
    return kOpStarted;
}

bool SocketHandle::hasPendingInput() const {
    if (m_socket.fd < 0 || (m_flags & kHandleClosed) || (m_flags & kHandleReceive)) return false;
    return m_core->m_port.hasPendingInput(&m_socket);
}

int SocketHandle::setNoDelay() {
    if (m_socket.fd < 0 || (m_flags & kHandleClosed)) return kOpWrongState;
    int32_t e = m_core->m_port.setNoDelay(&m_socket);
    if (e != 0) return fail(e);
    return kOpStarted;
}

void SocketHandle::close() {
    m_core->m_port.closeSocket(&m_socket);
    if (m_flags & (kHandleConnectOrSend | kHandleReceive)) {
        if (!(m_flags & kHandleClosed)) {
            m_flags |= kHandleClosed;
            m_core->deferRelease(this);
        }
    } else {
        LoopCore::release(this);
    }
}

void SocketHandle::onCompletion(const QN_PortEntry& entry) {
    int32_t error = entry.nWsaError;
    if (error != 0) {
        m_flags |= kHandleError;
        m_lastError = error;
    }
    bool closed = (m_flags & kHandleClosed) != 0;
    if (m_flags & kHandleReady) {
        if (entry.pOp == &m_recvOp) {
            m_flags &= ~kHandleReceive;
            if (!closed && m_recvDone) m_recvDone(this, error, m_recvOp.pBuf, entry.uBytes);
        } else {
            m_flags &= ~kHandleConnectOrSend;
            if (!closed && m_sendDone) m_sendDone(this, error, m_sendOp.pBuf, entry.uBytes);
        }
    } else {
        m_flags &= ~kHandleConnectOrSend;
        if (error == 0 && !closed) m_flags |= kHandleReady;
        if (!closed && m_connectDone) m_connectDone(this, error);
    }
    // The callback may have released the handle: nothing may follow.
}

AsyncHandle* AsyncHandle::create(LoopCore* core, void* context) {
    if (!core) return nullptr;
    AsyncHandle* h = new (std::nothrow) AsyncHandle(core, context);
    if (h) h->m_op.uKind = QN_PORT_OP_WAKE;
    return h;
}

void AsyncHandle::arm(Callback callback) {
    m_callback = callback;
    if (!m_armed) {
        m_armed = true;
        m_core->addPending();
    }
}

void AsyncHandle::signal() {
    uint32_t expected = 0;
    if (m_posted.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        m_core->addPending();
        m_core->m_port.post(this, &m_op, 0);
    }
}

void AsyncHandle::close() {
    if (m_armed) {
        m_armed = false;
        m_core->subPending();
    }
    if (m_posted.load(std::memory_order_acquire) != 0) {
        // The queued wake-up still names this handle: its completion (or the core's final
        // clean-up) releases it. It never goes on the closed list, whose walk does not know
        // about queued wake-ups.
        m_flags |= kHandleClosed;
    } else {
        LoopCore::release(this);
    }
}

void AsyncHandle::onCompletion(const QN_PortEntry&) {
    m_posted.store(0, std::memory_order_release);
    if (m_flags & kHandleClosed) {
        LoopCore::release(this);
        return;
    }
    if (m_callback) m_callback(this);
}

TimerHandle* TimerHandle::create(LoopCore* core, void* context) {
    if (!core) return nullptr;
    return new (std::nothrow) TimerHandle(core, context);
}

int TimerHandle::start(bool repeat, Callback callback, uint32_t seconds, uint32_t microseconds) {
    if (m_heapIndex >= 0) return kTimerAlreadyStarted;
    if (m_flags & kHandleClosed) return kOpWrongState;
    m_intervalSec = seconds + microseconds / 1000000u;
    m_intervalUsec = microseconds % 1000000u;
    m_repeat = repeat;
    m_callback = callback;
    uint32_t baseSec, baseUsec;
    m_core->cachedNow(&baseSec, &baseUsec);
    if (baseSec == 0 && baseUsec == 0) m_core->now(&baseSec, &baseUsec);
    uint64_t due = toUsec(baseSec, baseUsec) + toUsec(m_intervalSec, m_intervalUsec);
    m_dueSec = (uint32_t)(due / kUsecPerSec);
    m_dueUsec = (uint32_t)(due % kUsecPerSec);
    return m_core->heapInsert(this);
}

void TimerHandle::close() {
    if (m_heapIndex >= 0) m_core->heapRemove(this);
    if (m_flags & kHandleReady) {
        m_flags |= kHandleClosed;  // inside its callback: released when the callback returns
    } else {
        LoopCore::release(this);
    }
}

// ---- core -----------------------------------------------------------------------------------

LoopCore::LoopCore(EventLoop* loop) : m_loop(loop) {}

LoopCore::~LoopCore() {
    // Wake-ups still queued name async handles that were closed while they waited.
    if (m_port.isOpen()) {
        for (const QN_PortEntry& e : m_port.takeQueued()) {
            if (!e.pOp || e.pvKey == stopKey()) continue;
            LoopHandle* h = (LoopHandle*)e.pvKey;
            if (h->m_kind == HandleKind::Async && (h->m_flags & kHandleClosed)) release(h);
        }
    }
    while (m_closed) {
        LoopHandle* h = m_closed;
        m_closed = h->m_closedNext;
        release(h);
    }
    m_port.close();
}

bool LoopCore::open() {
    if (!m_port.open()) {
        m_lastError = (uint32_t)QN_GetLastErrno();
        return false;
    }
    return true;
}

void LoopCore::release(LoopHandle* handle) {
    delete handle;
    g_handleReleases.fetch_add(1, std::memory_order_acq_rel);
}

void LoopCore::deferRelease(LoopHandle* handle) {
    handle->m_closedNext = m_closed;
    m_closed = handle;
}

void LoopCore::releaseClosed() {
    LoopHandle** link = &m_closed;
    while (*link) {
        LoopHandle* h = *link;
        if (h->m_flags & (kHandleConnectOrSend | kHandleReceive)) {
            link = &h->m_closedNext;
        } else {
            *link = h->m_closedNext;
            release(h);
        }
    }
}

void LoopCore::readClock(uint32_t* seconds, uint32_t* microseconds) const {
    uint64_t us = m_clock ? m_clock() : QN_MonotonicNanoseconds() / 1000ull;
    *seconds = (uint32_t)(us / kUsecPerSec);
    *microseconds = (uint32_t)(us % kUsecPerSec);
}

void LoopCore::now(uint32_t* seconds, uint32_t* microseconds) const { readClock(seconds, microseconds); }

void LoopCore::updateClock() {
    uint32_t s, us;
    readClock(&s, &us);
    uint64_t reading = toUsec(s, us);
    uint64_t cached = toUsec(m_cachedSec, m_cachedUsec);
    if (reading < cached) {
        // The clock went back: move every due time back by the same step, so that each
        // timer's remaining time stays as it was.
        uint64_t step = cached - reading;
        for (int32_t i = 0; i < m_heapCount; ++i) {
            TimerHandle* t = m_heap[i];
            uint64_t due = toUsec(t->m_dueSec, t->m_dueUsec);
            due = due > step ? due - step : 0;
            t->m_dueSec = (uint32_t)(due / kUsecPerSec);
            t->m_dueUsec = (uint32_t)(due % kUsecPerSec);
        }
    }
    m_cachedSec = s;
    m_cachedUsec = us;
}

uint32_t LoopCore::waitTimeMs(uint32_t dueSec, uint32_t dueUsec, uint32_t nowSec, uint32_t nowUsec) {
    uint64_t due = toUsec(dueSec, dueUsec);
    uint64_t now = toUsec(nowSec, nowUsec);
    if (due <= now) return 0;
    // Rounded up: a timer fires at most 1 ms late, and the loop never polls with a zero wait
    // for a timer that is still a fraction of a millisecond away.
    uint64_t ms = (due - now + 999) / 1000;
    return ms >= kInfinite ? kInfinite - 1 : (uint32_t)ms;
}

int LoopCore::heapInsert(TimerHandle* timer) {
    if ((size_t)m_heapCount == m_heap.size()) {
        size_t need = (size_t)m_heapCount + 1;
        size_t cap = (need + 63) / 64 * 64;
        try {
            m_heap.resize(cap, nullptr);
        } catch (const std::bad_alloc&) {
            return kOpOutOfMemory;
        }
    }
    timer->m_armPass = m_pass;
    place(timer, m_heapCount++);
    siftUp(timer->m_heapIndex);
    return kOpStarted;
}

void LoopCore::heapRemove(TimerHandle* timer) {
    int32_t hole = timer->m_heapIndex;
    if (hole < 0) return;
    timer->m_heapIndex = -1;
    --m_heapCount;
    TimerHandle* last = m_heap[m_heapCount];
    m_heap[m_heapCount] = nullptr;
    if (hole == m_heapCount) return;
    place(last, hole);
    if (hole > 0 && last->earlierThan(m_heap[(hole - 1) / 2]))
        siftUp(hole);
    else
        siftDown(hole);
}

void LoopCore::siftUp(int32_t index) {
    TimerHandle* t = m_heap[index];
    while (index > 0) {
        int32_t parent = (index - 1) / 2;
        if (!t->earlierThan(m_heap[parent])) break;
        place(m_heap[parent], index);
        index = parent;
    }
    place(t, index);
}

void LoopCore::siftDown(int32_t index) {
    TimerHandle* t = m_heap[index];
    for (;;) {
        int32_t left = 2 * index + 1;
        if (left >= m_heapCount) break;
        int32_t right = left + 1;
        int32_t child = left;
        // The smaller child; the right one when the two are equal.
        if (right < m_heapCount && !m_heap[left]->earlierThan(m_heap[right])) child = right;
        if (!m_heap[child]->earlierThan(t)) break;  // move down only while strictly later
        place(m_heap[child], index);
        index = child;
    }
    place(t, index);
}

void LoopCore::runDueTimers() {
    while (m_heapCount > 0) {
        TimerHandle* t = m_heap[0];
        if (t->m_dueSec > m_cachedSec || (t->m_dueSec == m_cachedSec && t->m_dueUsec > m_cachedUsec)) break;
        // A timer armed during this pass's timer run waits for the next pass, so a zero
        // interval cannot keep this loop from ending.
        if (t->m_armPass == m_pass) break;
        heapRemove(t);
        t->m_flags |= kHandleReady;
        if (t->m_callback) t->m_callback(t);
        t->m_flags &= ~kHandleReady;
        if (t->m_flags & kHandleClosed) {
            release(t);
        } else if (t->m_repeat && t->m_heapIndex < 0) {
            // Re-armed from this pass's clock; a callback that restarted it already did so.
            uint64_t due = toUsec(m_cachedSec, m_cachedUsec) + toUsec(t->m_intervalSec, t->m_intervalUsec);
            t->m_dueSec = (uint32_t)(due / kUsecPerSec);
            t->m_dueUsec = (uint32_t)(due % kUsecPerSec);
            heapInsert(t);
        }
    }
}

int LoopCore::runPass(uint32_t maxWaitMs) {
    ++m_pass;
    updateClock();
    runDueTimers();
    releaseClosed();
    uint32_t wait = kInfinite;
    if (m_heapCount > 0) wait = waitTimeMs(m_heap[0]->m_dueSec, m_heap[0]->m_dueUsec, m_cachedSec, m_cachedUsec);
    if (maxWaitMs < wait) wait = maxWaitMs;
    int timeout = wait == kInfinite ? QN_Port::kInfinite : (wait > (uint32_t)INT_MAX ? INT_MAX : (int)wait);
    QN_PortEntry entries[QN_Port::kMaxEntries];
    int err = 0;
    int n = m_port.dequeue(entries, QN_Port::kMaxEntries, timeout, &err);
    if (n < 0) {
        m_lastError = (uint32_t)err;
        return kOpSystemError;
    }
    // The wait may have lasted long; timers started by the completions below count from now,
    // not from the start of the pass, or they would fire early by the time spent waiting.
    if (n > 0) updateClock();
    for (int i = 0; i < n; ++i) {
        const QN_PortEntry& e = entries[i];
        if (!e.pOp) {
            subPending();
            // What stands behind the stop request is kept for the final clean-up.
            m_port.requeueFront(entries + i + 1, n - i - 1);
            return 0;
        }
        ((LoopHandle*)e.pvKey)->onCompletion(e);
        subPending();
    }
    return 1;
}

int LoopCore::run() {
    m_threadId.store(QN_GetCurrentThreadId(), std::memory_order_release);
    readClock(&m_cachedSec, &m_cachedUsec);
    int result = 0;
    while (pending() != 0 || m_heapCount != 0) {
        int r = runPass();
        if (r != 1) {
            result = r;
            break;
        }
    }
    m_threadId.store(0, std::memory_order_release);
    return result;
}

// ---- loop -----------------------------------------------------------------------------------

EventLoop& EventLoop::instance() {
    static EventLoop* s_loop = new EventLoop();
    return *s_loop;
}

EventLoop::~EventLoop() { stop(); }

void EventLoop::setClockForTest(std::function<uint64_t()> clock) {
    std::lock_guard<std::mutex> g(m_startStopLock);
    m_clock = std::move(clock);
}

bool EventLoop::isLoopThread() const {
    uint32_t id = threadId();
    return id != 0 && id == QN_GetCurrentThreadId();
}

void EventLoop::onWake(AsyncHandle* handle) { ((EventLoop*)handle->context())->drainTasks(true); }

void EventLoop::threadMain() {
    m_threadId.store(QN_GetCurrentThreadId(), std::memory_order_release);
    m_core->run();
    m_threadId.store(0, std::memory_order_release);
}

bool EventLoop::start() {
    std::lock_guard<std::mutex> g(m_startStopLock);
    if (m_threadStarted.load(std::memory_order_acquire) || m_core) return false;
    LoopCore* core = new (std::nothrow) LoopCore(this);
    if (!core) return false;
    if (!core->open()) {
        delete core;
        return false;
    }
    if (m_clock) core->setClock(m_clock);
    AsyncHandle* wake = AsyncHandle::create(core, this);
    if (!wake) {
        delete core;
        return false;
    }
    wake->arm(&EventLoop::onWake);
    {
        std::lock_guard<std::mutex> t(m_taskLock);
        m_core = core;
        m_wake = wake;
        m_stopped = false;
    }
    try {
        m_thread = std::thread(&EventLoop::threadMain, this);
    } catch (...) {
        {
            std::lock_guard<std::mutex> t(m_taskLock);
            m_stopped = true;
            m_wake = nullptr;
        }
        drainTasks(false);
        wake->close();
        delete core;
        m_core = nullptr;
        return false;
    }
    m_threadStarted.store(true, std::memory_order_release);
    return true;
}

void EventLoop::stop() {
    if (isLoopThread()) return;  // it would wait for itself
    std::lock_guard<std::mutex> g(m_startStopLock);
    if (!m_core) return;
    if (m_threadStarted.load(std::memory_order_acquire)) {
        post(new breakLoopTask());
        m_thread.join();
        m_threadStarted.store(false, std::memory_order_release);
    }
    AsyncHandle* wake;
    {
        // From here on a post runs its task at once with run = false and never touches the
        // wake handle, which is closed below.
        std::lock_guard<std::mutex> t(m_taskLock);
        m_stopped = true;
        wake = m_wake;
        m_wake = nullptr;
    }
    drainTasks(false);
    if (wake) wake->close();
    delete m_core;
    m_core = nullptr;
    std::vector<StopHook> hooks;
    {
        std::lock_guard<std::mutex> h(m_hookLock);
        hooks = m_stopHooks;
    }
    for (StopHook hook : hooks) hook();
}

void EventLoop::addStopHook(StopHook hook) {
    if (!hook) return;
    std::lock_guard<std::mutex> h(m_hookLock);
    for (StopHook known : m_stopHooks) {
        if (known == hook) return;
    }
    m_stopHooks.push_back(hook);
}

void EventLoop::post(EventTask* task) {
    if (!task) return;  // a task that could not be allocated
    std::unique_lock<std::mutex> g(m_taskLock);
    if (m_stopped) {
        g.unlock();
        task->Run(nullptr, false);
        delete task;
        return;
    }
    m_tasks.push_back(task);
    // Signalled under the task lock: stop closes the wake handle only after it has set the
    // stopped flag under this lock.
    m_wake->signal();
}

void EventLoop::post(EventTaskFn fn, void* context) { post(new (std::nothrow) SimpleEventTask(fn, context)); }

void EventLoop::post(std::function<void(LoopCore*, bool)> fn) {
    post(new (std::nothrow) FunctionEventTask(std::move(fn)));
}

void EventLoop::drainTasks(bool run) {
    for (;;) {
        EventTask* task;
        {
            std::lock_guard<std::mutex> g(m_taskLock);
            if (m_tasks.empty()) return;
            task = m_tasks.front();
            m_tasks.pop_front();
        }
        task->Run(m_core, run);
        delete task;
    }
}
