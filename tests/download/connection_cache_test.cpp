#include "connection_cache.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "event.h"
#include "event_loop.h"
#include "loop_test_util.h"
#include "qn_socket.h"

using qn::looptest::RunOnLoop;
using qn::looptest::SeesEof;
using qn::looptest::TcpListener;

namespace {
void onConnected(SocketHandle* h, int32_t) { ((Event*)h->context())->set(); }

class Cache : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(loop.start());
        cache.start(loop);
    }
    void TearDown() override {
        cache.stop();
        loop.stop();
        for (int fd : peers) ::close(fd);
    }
    // A connected handle to the listener (the accepted peer is kept in peers).
    SocketHandle* connect(TcpListener& l) {
        Event connected(true);
        SocketHandle* h = nullptr;
        EXPECT_TRUE(RunOnLoop(loop, [&](LoopCore* core) {
            h = SocketHandle::create(core, &connected);
            h->setCallbacks(onConnected, nullptr, nullptr);
            EXPECT_EQ(h->connect(TcpListener::loopbackNet(), l.portNet()), kOpStarted);
        }));
        EXPECT_TRUE(connected.wait(5000));
        peers.push_back(l.accept());
        EXPECT_GE(peers.back(), 0);
        return h;
    }
    void put(const std::string& host, uint16_t port, SocketHandle* h) {
        EXPECT_TRUE(RunOnLoop(loop, [&](LoopCore*) { cache.put(host, port, h); }));
    }
    SocketHandle* take(const std::string& host, uint16_t port, uint32_t address) {
        SocketHandle* h = nullptr;
        EXPECT_TRUE(RunOnLoop(loop, [&](LoopCore*) { h = cache.take(host, port, address); }));
        return h;
    }
    void closeOnLoop(SocketHandle* h) {
        if (h) RunOnLoop(loop, [&](LoopCore*) { h->close(); });
    }

    EventLoop loop;
    ConnectionCache cache;
    TcpListener listener;
    std::vector<int> peers;
};
}  // namespace

TEST_F(Cache, TakeMatchesHostBytesPortAndPeerAddress) {
    SocketHandle* older = connect(listener);
    SocketHandle* newer = connect(listener);
    put("Host.example", 80, older);
    put("Host.example", 80, newer);
    uint32_t loopback = TcpListener::loopbackNet();
    uint32_t other = QN_HostToNet32(0x0A000001u);
    struct Row {
        const char* host;
        uint16_t port;
        uint32_t address;
        SocketHandle* expected;
    } misses[] = {
        {"host.example", 80, 0, nullptr},   // case differs
        {"Host.example.", 80, 0, nullptr},  // trailing dot
        {"Host.example", 8080, 0, nullptr}, // port differs
        {"Host.example", 80, other, nullptr},
    };
    for (const Row& r : misses) EXPECT_EQ(take(r.host, r.port, r.address), r.expected) << r.host << ":" << r.port;
    EXPECT_EQ(take("Host.example", 80, loopback), older);  // the oldest of two matches
    EXPECT_EQ(take("Host.example", 80, 0), newer);         // address 0: any peer
    EXPECT_EQ(take("Host.example", 80, 0), nullptr);
    closeOnLoop(older);
    closeOnLoop(newer);
}

TEST_F(Cache, FullCacheClosesTheOldestConnection) {
    std::vector<SocketHandle*> handles;
    for (uint32_t i = 0; i <= ConnectionCache::kMaxEntries; ++i) handles.push_back(connect(listener));
    for (uint32_t i = 0; i < ConnectionCache::kMaxEntries; ++i) put("h", 80, handles[i]);
    EXPECT_FALSE(SeesEof(peers[0], 20));
    put("h", 80, handles[ConnectionCache::kMaxEntries]);  // the 101st
    EXPECT_TRUE(SeesEof(peers[0]));
    EXPECT_FALSE(SeesEof(peers[1], 20));
    size_t n = 0;
    RunOnLoop(loop, [&](LoopCore*) { n = cache.size(); });
    EXPECT_EQ(n, (size_t)ConnectionCache::kMaxEntries);
}

TEST_F(Cache, AnEntrySurvives120SweepsAndIsClosedAtThe121st) {
    SocketHandle* h = connect(listener);
    put("h", 80, h);
    ASSERT_TRUE(RunOnLoop(loop, [&](LoopCore*) {
        for (uint32_t i = 0; i < ConnectionCache::kMaxIdleTicks; ++i) cache.sweep();
    }));
    EXPECT_FALSE(SeesEof(peers[0], 20));
    ASSERT_TRUE(RunOnLoop(loop, [&](LoopCore*) { cache.sweep(); }));
    EXPECT_TRUE(SeesEof(peers[0]));
    EXPECT_EQ(take("h", 80, 0), nullptr);
}

TEST_F(Cache, StopClosesEveryConnectionAndALaterPutClosesItsConnection) {
    put("a", 80, connect(listener));
    put("b", 81, connect(listener));
    SocketHandle* late = connect(listener);
    cache.stop();
    EXPECT_TRUE(SeesEof(peers[0]));
    EXPECT_TRUE(SeesEof(peers[1]));
    put("c", 80, late);
    EXPECT_TRUE(SeesEof(peers[2]));
    EXPECT_EQ(take("c", 80, 0), nullptr);
    cache.start(loop);  // and it parks again after a new start
    SocketHandle* again = connect(listener);
    put("d", 80, again);
    EXPECT_EQ(take("d", 80, 0), again);
    closeOnLoop(again);
}
