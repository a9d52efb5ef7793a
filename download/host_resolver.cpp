#include "host_resolver.h"

#include <memory>
#include <new>

#include "event_loop.h"
#include "qn_socket.h"

HostResolver& HostResolver::instance() {
    static HostResolver* s_resolver = new HostResolver();
    return *s_resolver;
}

HostResolver::HostResolver() = default;

HostResolver::~HostResolver() {
    stop();
    // The close task that stop posted still refers to this resolver: let the loop get past it
    // (tasks run in posting order; a stopped loop runs a post at once).
    if (m_loop) {
        auto passed = std::make_shared<Event>(true);
        m_loop->post([passed](LoopCore*, bool) { passed->set(); });
        passed->wait(5000);
    }
    std::lock_guard<std::mutex> g(m_lock);
    freeAll(m_requests);
    freeAll(m_results);
}

void HostResolver::setLookupForTest(Lookup lookup) {
    std::lock_guard<std::mutex> g(m_lock);
    m_lookup = std::move(lookup);
}

void HostResolver::freeAll(std::deque<Record*>& queue) {
    for (Record* r : queue) delete r;
    queue.clear();
}

bool HostResolver::start() { return start(EventLoop::instance()); }

bool HostResolver::start(EventLoop& loop) {
    std::lock_guard<std::mutex> ss(m_startStopLock);
    if (m_thread.joinable()) return true;
    {
        // A new start forgets requests an earlier run left; ids keep counting. Results of the
        // earlier run are still on their way to the loop thread and are delivered as usual.
        std::lock_guard<std::mutex> g(m_lock);
        freeAll(m_requests);
        m_loop = &loop;
    }
    // The set-up task always signals, also when it runs with run = false. The wait is bounded
    // so that a loop whose thread has ended cannot hold start for ever; a set-up that comes
    // after the caller gave up makes nothing.
    struct SetUp {
        std::mutex lock;
        Event ready{true};
        AsyncHandle* created = nullptr;
        bool abandoned = false;
    };
    auto setUp = std::make_shared<SetUp>();
    loop.post([this, setUp](LoopCore* core, bool run) {
        {
            std::lock_guard<std::mutex> g(setUp->lock);
            if (run && core && !setUp->abandoned) {
                AsyncHandle* h = AsyncHandle::create(core, this);
                if (h) h->arm(&HostResolver::onResults);
                setUp->created = h;
            }
        }
        setUp->ready.set();
    });
    setUp->ready.wait(m_startTimeoutMs);
    AsyncHandle* created;
    {
        std::lock_guard<std::mutex> g(setUp->lock);
        setUp->abandoned = true;
        created = setUp->created;
    }
    if (!created) return false;  // the stop flag stays set: requests are refused at once
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_async = created;
        m_stopped = false;
    }
    try {
        m_thread = std::thread(&HostResolver::threadMain, this);
    } catch (...) {
        AsyncHandle* h;
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_stopped = true;
            h = m_async;
            m_async = nullptr;
        }
        loop.post([h](LoopCore* core, bool) {
            if (core) h->close();
            else delete h;
        });
        return false;
    }
    return true;
}

void HostResolver::stop() {
    std::lock_guard<std::mutex> ss(m_startStopLock);
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_stopped = true;
    }
    m_event.set();
    m_thread.join();
    AsyncHandle* h;
    bool haveResults;
    {
        std::lock_guard<std::mutex> g(m_lock);
        while (!m_requests.empty()) {
            Record* r = m_requests.front();
            m_requests.pop_front();
            r->status = kStatusFailed;
            m_results.push_back(r);
        }
        haveResults = !m_results.empty();
        h = m_async;
        m_async = nullptr;
    }
    // The results' wake-up is queued before the close task, so the engines hear of the
    // failures before the handle goes.
    if (haveResults && h) h->signal();
    m_loop->post([this, h](LoopCore* core, bool) {
        if (!h) return;
        if (core) {
            // A wake-up raised while the previous delivery was running may have been folded
            // into it: hand out what is left here, on the loop thread, before the handle goes,
            // so that no waiting request is left without its answer.
            deliver();
            h->close();
        } else {
            delete h;  // its loop is already gone
        }
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_async) freeAll(m_results);  // nothing can deliver them any more
    });
}

bool HostResolver::request(const std::string& host, void* context, Callback callback, uint64_t* id) {
    Record* r = new (std::nothrow) Record();
    if (!r) return false;
    r->host = host;
    r->context = context;
    r->callback = callback;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_stopped) {
            delete r;
            return false;
        }
        r->id = m_nextId++;
        if (id) *id = r->id;
        m_requests.push_back(r);
    }
    m_event.set();
    return true;
}

bool HostResolver::cancel(uint64_t id) {
    if (id == 0) return false;
    std::lock_guard<std::mutex> g(m_lock);
    if (m_current && m_current->id == id) {
        m_current->cancelled = true;
        return true;
    }
    for (std::deque<Record*>* q : {&m_requests, &m_results}) {
        for (Record* r : *q) {
            if (r->id == id) {
                r->cancelled = true;
                return true;
            }
        }
    }
    return false;
}

void HostResolver::threadMain() {
    for (;;) {
        m_event.wait();
        for (;;) {
            Record* r;
            bool cancelled;
            Lookup lookup;
            AsyncHandle* h;
            {
                std::lock_guard<std::mutex> g(m_lock);
                if (m_stopped) return;
                if (m_requests.empty()) break;
                r = m_requests.front();
                m_requests.pop_front();
                // Kept in view while it is looked up, so that cancel still finds it.
                m_current = r;
                cancelled = r->cancelled;
                lookup = m_lookup;
                h = m_async;
            }
            int32_t status = kStatusFailed;
            uint32_t address = 0;
            if (!cancelled) {
                bool ok = lookup ? lookup(r->host, address) : QN_LookupHostIPv4(r->host, &address);
                status = ok ? kStatusResolved : kStatusFailed;
                if (!ok) address = 0;
            }
            {
                std::lock_guard<std::mutex> g(m_lock);
                r->status = status;
                r->address = address;
                m_current = nullptr;
                m_results.push_back(r);
            }
            h->signal();
        }
    }
}

void HostResolver::onResults(AsyncHandle* handle) { ((HostResolver*)handle->context())->deliver(); }

void HostResolver::deliver() {
    for (;;) {
        Record* r;
        bool cancelled;
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_results.empty()) return;
            r = m_results.front();
            m_results.pop_front();
            cancelled = r->cancelled;
        }
        if (!cancelled && r->callback) r->callback(r->id, r->host, r->context, r->status, r->address);
        delete r;
    }
}
