// The idle connection cache: keep-alive connections that finished a response without error,
// kept for the next request to the same host text and port. Loop thread only; no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

class EventLoop;
class LoopCore;
class SocketHandle;
class TimerHandle;

class ConnectionCache {
public:
    static constexpr uint32_t kMaxEntries = 100;
    static constexpr uint32_t kMaxIdleTicks = 120;

    // The process-wide cache. Never destroyed.
    static ConnectionCache& instance();

    ConnectionCache() = default;
    ConnectionCache(const ConnectionCache&) = delete;
    ConnectionCache& operator=(const ConnectionCache&) = delete;

    // Starts the one-second sweep on the loop. Does nothing when started.
    void start(EventLoop& loop);
    void start();
    // Posts the task that closes the sweep timer and every parked connection (it does so also
    // when drained at loop stop). Does nothing when stopped.
    void stop();

    // Loop thread. The oldest entry whose host has the same bytes, whose port is equal and,
    // when address is not 0, whose peer address (network order) is equal; removed and its
    // connection returned. Null when none matches.
    SocketHandle* take(const std::string& host, uint16_t port, uint32_t address);
    // Loop thread. Parks the connection (its context is cleared); the oldest one is closed
    // when the cache is full. After stop the connection is closed instead.
    void put(const std::string& host, uint16_t port, SocketHandle* connection);
    // Loop thread. One sweep: entries below the idle limit age by one, the others are closed.
    void sweep();
    size_t size() const { return m_entries.size(); }

private:
    struct Entry {
        std::string host;
        uint32_t address;
        uint16_t port;
        SocketHandle* connection;
        uint32_t idleTicks;
    };

    static void onSweep(TimerHandle* timer);
    void closeAll(LoopCore* core);

    std::list<Entry> m_entries;  // oldest first
    uint32_t m_maxEntries = kMaxEntries;
    uint32_t m_maxIdleTicks = kMaxIdleTicks;
    EventLoop* m_loop = nullptr;
    TimerHandle* m_timer = nullptr;
    std::atomic<bool> m_started{false};  // between start and stop (callers' side)
    bool m_accepting = false;            // loop side: put parks connections
};
