// The name resolver: host names become IPv4 addresses on a thread of its own, and the answers
// are handed to the event loop's thread through an async handle.
//
// request and cancel are called on the loop thread (by the request engine); stop from the
// library's stop. Queue work is under the resolver's lock; lookups and callbacks run outside
// it. Ids are never reused in the process; 0 means "no request".
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "event.h"

class AsyncHandle;
class EventLoop;

class HostResolver {
public:
    enum : int32_t {
        kStatusWaiting = -1,
        kStatusResolved = 0,
        kStatusFailed = 4,
    };
    // Called on the loop thread, unless the request was cancelled. address is in network order.
    using Callback = void (*)(uint64_t id, const std::string& host, void* context, int32_t status,
                              uint32_t address);
    // The blocking lookup: true with the first IPv4 address (network order).
    using Lookup = std::function<bool(const std::string& host, uint32_t& address)>;

    // The process-wide resolver. Never destroyed.
    static HostResolver& instance();

    HostResolver();
    // Stops it (resolvers made by tests).
    ~HostResolver();
    HostResolver(const HostResolver&) = delete;
    HostResolver& operator=(const HostResolver&) = delete;

    // How long start waits for the loop to create the result handle.
    static constexpr uint32_t kStartTimeoutMs = 10000;

    // Creates the result handle on the loop, then starts the thread. True when running (also
    // when it already was). False when the loop did not run the set-up or the thread could not
    // start; requests are then refused.
    bool start(EventLoop& loop);
    bool start();
    // Ends the thread, fails every request still waiting (status 4, delivered on the loop
    // thread) and closes the result handle through the loop. Does nothing when stopped.
    void stop();

    // Queues a lookup. False (and nothing queued) while stopped.
    bool request(const std::string& host, void* context, Callback callback, uint64_t* id);
    // Marks a queued, running or delivered-but-not-yet-called request cancelled: its callback
    // is never called. True when the id was found.
    bool cancel(uint64_t id);

    // Replaces the lookup (an empty function restores the system resolver).
    void setLookupForTest(Lookup lookup);
    // Replaces kStartTimeoutMs.
    void setStartTimeoutForTest(uint32_t milliseconds) { m_startTimeoutMs = milliseconds; }

private:
    struct Record {
        uint64_t id = 0;
        bool cancelled = false;
        std::string host;
        void* context = nullptr;
        Callback callback = nullptr;
        int32_t status = kStatusWaiting;
        uint32_t address = 0;
    };

    void threadMain();
    static void onResults(AsyncHandle* handle);
    void deliver();
    static void freeAll(std::deque<Record*>& queue);

    std::mutex m_startStopLock;  // serialises start and stop
    std::mutex m_lock;           // guards everything below but the thread
    Event m_event{false};
    std::deque<Record*> m_requests;
    std::deque<Record*> m_results;
    Record* m_current = nullptr;  // the record being looked up
    EventLoop* m_loop = nullptr;
    AsyncHandle* m_async = nullptr;
    uint64_t m_nextId = 1;
    bool m_stopped = true;
    Lookup m_lookup;
    uint32_t m_startTimeoutMs = kStartTimeoutMs;
    std::thread m_thread;
};
