// The speed limiter: a token bucket per download, refilled by one module-wide 10-ms tick on the
// event loop's thread.
//
// Every field of a limiter is read and written under the module's lock: the tick and the
// request engine's draws on the loop thread, setRate, setCapacity, create and destroy on the
// sessions' threads.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>

class EventLoop;
class TimerHandle;
class SpeedLimiterModule;

class SpeedLimiter {
public:
    static constexpr uint32_t kUnlimited = 0xFFFFFFFFu;
    static constexpr uint32_t kDefaultCapacity = 0x20000;
    static constexpr uint32_t kRetryDelayMs = 10;

    // The bytes of one 10-ms tick at a rate, in single precision as the refill uses it.
    static float perTickFor(uint32_t bytesPerSecond);

    // 0 is refused (false, nothing changes). Tokens and capacity are kept.
    bool setRate(uint32_t bytesPerSecond);
    uint32_t rate() const;
    // Sets the most tokens the bucket holds; tokens above it are dropped.
    void setCapacity(uint32_t capacity);
    uint32_t capacity() const;
    uint32_t tokens() const;
    float perTick() const;
    float remainder() const;
    // Takes up to max tokens and returns how many were taken.
    uint32_t take(uint32_t max);
    // How long a receiver waits for tokens, in milliseconds (the same for every rate).
    uint32_t retryDelayMs() const { return kRetryDelayMs; }

private:
    explicit SpeedLimiter(std::mutex* lock) : m_lock(lock) {}

    std::mutex* m_lock;
    uint32_t m_rate = kUnlimited;
    uint32_t m_capacity = kDefaultCapacity;
    uint32_t m_tokens = 0;
    float m_perTick;
    float m_remainder = 0.0f;

    friend class SpeedLimiterModule;
};

class SpeedLimiterModule {
public:
    static constexpr uint32_t kTickMicroseconds = 10000;

    // The process-wide module. Never destroyed.
    static SpeedLimiterModule& instance();

    SpeedLimiterModule() = default;
    SpeedLimiterModule(const SpeedLimiterModule&) = delete;
    SpeedLimiterModule& operator=(const SpeedLimiterModule&) = delete;

    // Starts the tick on the loop. Does nothing when started.
    void start(EventLoop& loop);
    void start();
    // Posts the task that closes the tick timer. Does nothing when stopped.
    void stop();

    // A limiter with the defaults (unlimited, capacity 131 072, no tokens). Null when out of
    // memory.
    SpeedLimiter* create();
    // False when the limiter is not one of the module's.
    bool destroy(SpeedLimiter* limiter);

    // One refill (loop thread; tests call it directly).
    void tick();
    // Replaces the counter (nanoseconds, frequency 1e9); empty restores the monotonic clock.
    void setCounterForTest(std::function<uint64_t()> counter);
    // Re-reads the counter as the start of the next tick's interval (the start task does this).
    void resetCounter();

private:
    static void onTick(TimerHandle* timer);
    uint64_t readCounter();

    std::mutex m_lock;
    std::set<SpeedLimiter*> m_limiters;
    EventLoop* m_loop = nullptr;
    TimerHandle* m_timer = nullptr;
    uint64_t m_frequency = 1000000000ull;
    uint64_t m_last = 0;
    std::function<uint64_t()> m_counter;
    bool m_started = false;  // guarded by m_lock
};
