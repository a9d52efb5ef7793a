// A waitable event, manual-reset or auto-reset.
//
// set() wakes the waiters while it still holds the mutex, so a waiter that wakes, returns and
// destroys the event cannot find set() still touching it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class Event {
public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

    explicit Event(bool bManualReset) : m_bManualReset(bManualReset) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_bSignalled = true;
        m_cv.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_bSignalled = false;
    }
    // True when the event was signalled within uMilliseconds (kInfinite: no limit). An
    // auto-reset event is cleared again by the wait that sees it.
    bool wait(uint32_t uMilliseconds = kInfinite) {
        std::unique_lock<std::mutex> g(m_mutex);
        if (uMilliseconds == kInfinite) {
            m_cv.wait(g, [this] { return m_bSignalled; });
        } else if (!m_cv.wait_for(g, std::chrono::milliseconds(uMilliseconds), [this] { return m_bSignalled; })) {
            return false;
        }
        if (!m_bManualReset) m_bSignalled = false;
        return true;
    }
    bool isSet() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_bSignalled;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bSignalled = false;
    const bool m_bManualReset;
};
