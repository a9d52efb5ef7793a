#include "speed_limiter.h"

#include <algorithm>
#include <new>

#include "event_loop.h"
#include "qn_time.h"

float SpeedLimiter::perTickFor(uint32_t bytesPerSecond) {
    // Single precision on purpose: the default 0xFFFFFFFF gives 42949676.0f.
    volatile float f = (float)bytesPerSecond;
    f = f / 1000.0f;
    f = f * 10.0f;
    return f;
}

bool SpeedLimiter::setRate(uint32_t bytesPerSecond) {
    if (bytesPerSecond == 0) return false;
    std::lock_guard<std::mutex> g(*m_lock);
    m_rate = bytesPerSecond;
    m_perTick = perTickFor(bytesPerSecond);
    return true;
}

uint32_t SpeedLimiter::rate() const {
    std::lock_guard<std::mutex> g(*m_lock);
    return m_rate;
}

void SpeedLimiter::setCapacity(uint32_t capacity) {
    std::lock_guard<std::mutex> g(*m_lock);
    m_capacity = capacity;
    if (m_tokens > capacity) m_tokens = capacity;
}

uint32_t SpeedLimiter::capacity() const {
    std::lock_guard<std::mutex> g(*m_lock);
    return m_capacity;
}

uint32_t SpeedLimiter::tokens() const {
    std::lock_guard<std::mutex> g(*m_lock);
    return m_tokens;
}

float SpeedLimiter::perTick() const {
    std::lock_guard<std::mutex> g(*m_lock);
    return m_perTick;
}

float SpeedLimiter::remainder() const {
    std::lock_guard<std::mutex> g(*m_lock);
    return m_remainder;
}

uint32_t SpeedLimiter::take(uint32_t max) {
    std::lock_guard<std::mutex> g(*m_lock);
    uint32_t n = std::min(max, m_tokens);
    m_tokens -= n;
    return n;
}

SpeedLimiterModule& SpeedLimiterModule::instance() {
    static SpeedLimiterModule* s_module = new SpeedLimiterModule();
    return *s_module;
}

void SpeedLimiterModule::setCounterForTest(std::function<uint64_t()> counter) {
    std::lock_guard<std::mutex> g(m_lock);
    m_counter = std::move(counter);
}

uint64_t SpeedLimiterModule::readCounter() {
    std::function<uint64_t()> counter;
    {
        std::lock_guard<std::mutex> g(m_lock);
        counter = m_counter;
    }
    return counter ? counter() : QN_MonotonicNanoseconds();
}

void SpeedLimiterModule::resetCounter() {
    uint64_t now = readCounter();
    std::lock_guard<std::mutex> g(m_lock);
    m_frequency = 1000000000ull;
    m_last = now;
}

void SpeedLimiterModule::start() { start(EventLoop::instance()); }

void SpeedLimiterModule::start(EventLoop& loop) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_started) return;
        m_started = true;
        m_loop = &loop;
    }
    loop.post([this](LoopCore* core, bool run) {
        if (!run || !core || m_timer) return;
        m_timer = TimerHandle::create(core, this);
        if (!m_timer) return;
        m_timer->start(true, &SpeedLimiterModule::onTick, 0, kTickMicroseconds);
        resetCounter();
    });
}

void SpeedLimiterModule::stop() {
    EventLoop* loop;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_started) return;
        m_started = false;
        loop = m_loop;
    }
    loop->post([this](LoopCore* core, bool) {
        if (!m_timer) return;
        if (core) m_timer->close();
        else delete m_timer;  // its loop is already gone
        m_timer = nullptr;
    });
}

SpeedLimiter* SpeedLimiterModule::create() {
    SpeedLimiter* r = new (std::nothrow) SpeedLimiter(&m_lock);
    if (!r) return nullptr;
    r->m_perTick = SpeedLimiter::perTickFor(SpeedLimiter::kUnlimited);
    std::lock_guard<std::mutex> g(m_lock);
    try {
        m_limiters.insert(r);
    } catch (...) {
        delete r;
        return nullptr;
    }
    return r;
}

bool SpeedLimiterModule::destroy(SpeedLimiter* limiter) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_limiters.erase(limiter)) return false;
    }
    delete limiter;
    return true;
}

void SpeedLimiterModule::onTick(TimerHandle* timer) { ((SpeedLimiterModule*)timer->context())->tick(); }

void SpeedLimiterModule::tick() {
    uint64_t now = readCounter();
    std::lock_guard<std::mutex> g(m_lock);
    double elapsedMs = (double)(now - m_last) / ((double)m_frequency / 1000.0);
    float ticks = (float)(elapsedMs / 10.0);
    if (!(ticks >= 1.0f)) ticks = 1.0f;
    m_last = now;
    for (SpeedLimiter* r : m_limiters) {
        volatile float rem = r->m_perTick * ticks + r->m_remainder;
        uint32_t n;
        if (rem < 4294967296.0f) {
            n = (uint32_t)rem;
            rem = rem - (float)n;
        } else {
            rem = 0.0f;
            n = 0xFFFFFFFFu;
        }
        r->m_remainder = rem;
        uint32_t tokens = r->m_tokens > 0xFFFFFFFFu - n ? 0xFFFFFFFFu : r->m_tokens + n;
        r->m_tokens = std::min(tokens, r->m_capacity);
    }
}
