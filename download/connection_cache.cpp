#include "connection_cache.h"

#include "event_loop.h"

ConnectionCache& ConnectionCache::instance() {
    static ConnectionCache* s_cache = new ConnectionCache();
    return *s_cache;
}

void ConnectionCache::start() { start(EventLoop::instance()); }

void ConnectionCache::start(EventLoop& loop) {
    if (m_started.exchange(true)) return;
    m_loop = &loop;
    loop.post([this](LoopCore* core, bool run) {
        m_maxEntries = kMaxEntries;
        m_maxIdleTicks = kMaxIdleTicks;
        if (!run || !core) return;
        m_accepting = true;
        if (!m_timer) {
            m_timer = TimerHandle::create(core, this);
            if (m_timer) m_timer->start(true, &ConnectionCache::onSweep, 1, 0);
        }
    });
}

void ConnectionCache::stop() {
    if (!m_started.exchange(false)) return;
    m_loop->post([this](LoopCore* core, bool) { closeAll(core); });
}

void ConnectionCache::closeAll(LoopCore* core) {
    m_accepting = false;
    // With no core the loop is gone; deleting a handle then only closes its descriptor.
    if (m_timer) {
        if (core) m_timer->close();
        else delete m_timer;
        m_timer = nullptr;
    }
    for (Entry& e : m_entries) {
        if (core) e.connection->close();
        else delete e.connection;
    }
    m_entries.clear();
}

void ConnectionCache::onSweep(TimerHandle* timer) { ((ConnectionCache*)timer->context())->sweep(); }

SocketHandle* ConnectionCache::take(const std::string& host, uint16_t port, uint32_t address) {
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->host == host && it->port == port && (address == 0 || it->address == address)) {
            SocketHandle* c = it->connection;
            m_entries.erase(it);
            return c;
        }
    }
    return nullptr;
}

void ConnectionCache::put(const std::string& host, uint16_t port, SocketHandle* connection) {
    if (!connection) return;
    connection->setContext(nullptr);
    if (!m_accepting) {
        // Stopped: nobody would ever close it.
        connection->close();
        return;
    }
    if (m_entries.size() >= m_maxEntries) {
        m_entries.front().connection->close();
        m_entries.pop_front();
    }
    uint32_t address = 0;
    uint16_t peerPort = 0;
    if (connection->peerAddress(&address, &peerPort) != kOpStarted) address = 0;
    m_entries.push_back(Entry{host, address, port, connection, 0});
}

void ConnectionCache::sweep() {
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->idleTicks < m_maxIdleTicks) {
            ++it->idleTicks;
            ++it;
        } else {
            it->connection->close();
            it = m_entries.erase(it);
        }
    }
}
