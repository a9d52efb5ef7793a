#include "host_resolver.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "event.h"
#include "event_loop.h"
#include "loop_test_util.h"
#include "qn_platform.h"
#include "qn_socket.h"

using qn::looptest::RunOnLoop;
using qn::looptest::WaitFor;

namespace {
struct Delivery {
    uint64_t id;
    std::string host;
    int32_t status;
    uint32_t address;
    uint32_t thread;
};

// A fake lookup that records its calls and can hold them until released.
class FakeLookup {
public:
    bool operator()(const std::string& host, uint32_t& address) {
        {
            std::lock_guard<std::mutex> g(m);
            calls.push_back(host);
        }
        entered.set();
        if (hold) gate.wait(5000);
        if (host == "unknown") return false;
        address = QN_HostToNet32(0x0A000000u + (uint32_t)host.size());
        return true;
    }
    std::vector<std::string> callsCopy() {
        std::lock_guard<std::mutex> g(m);
        return calls;
    }
    std::atomic<bool> hold{false};
    Event entered{false};
    Event gate{true};
    std::mutex m;
    std::vector<std::string> calls;
};

class Resolver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(loop.start());
        resolver = std::make_unique<HostResolver>();
        resolver->setLookupForTest([this](const std::string& h, uint32_t& a) { return (*lookup)(h, a); });
        ASSERT_TRUE(resolver->start(loop));
    }
    void TearDown() override {
        lookup->gate.set();
        resolver.reset();
        loop.stop();
    }
    static void onResolved(uint64_t id, const std::string& host, void* ctx, int32_t status, uint32_t address) {
        auto* self = (Resolver*)ctx;
        std::lock_guard<std::mutex> g(self->m);
        self->deliveries.push_back({id, host, status, address, QN_GetCurrentThreadId()});
    }
    uint64_t request(const std::string& host) {
        uint64_t id = 0;
        bool ok = false;
        EXPECT_TRUE(RunOnLoop(loop, [&](LoopCore*) { ok = resolver->request(host, this, onResolved, &id); }));
        return ok ? id : 0;
    }
    bool cancel(uint64_t id) {
        bool ok = false;
        EXPECT_TRUE(RunOnLoop(loop, [&](LoopCore*) { ok = resolver->cancel(id); }));
        return ok;
    }
    size_t deliveredCount() {
        std::lock_guard<std::mutex> g(m);
        return deliveries.size();
    }
    std::vector<Delivery> delivered() {
        std::lock_guard<std::mutex> g(m);
        return deliveries;
    }

    EventLoop loop;
    std::shared_ptr<FakeLookup> lookup = std::make_shared<FakeLookup>();
    std::unique_ptr<HostResolver> resolver;
    std::mutex m;
    std::vector<Delivery> deliveries;
};
}  // namespace

TEST_F(Resolver, TwoRequestsForOneNameAreLookedUpTwiceInOrderAndDeliveredOnTheLoopThread) {
    uint64_t a = request("host.example");
    uint64_t b = request("host.example");
    uint64_t c = request("unknown");
    ASSERT_NE(a, 0u);
    EXPECT_GT(b, a);
    EXPECT_GT(c, b);
    ASSERT_TRUE(WaitFor([&] { return deliveredCount() == 3; }));
    auto d = delivered();
    EXPECT_EQ(lookup->callsCopy(), (std::vector<std::string>{"host.example", "host.example", "unknown"}));
    EXPECT_EQ(d[0].id, a);
    EXPECT_EQ(d[1].id, b);
    EXPECT_EQ(d[2].id, c);
    EXPECT_EQ(d[0].status, HostResolver::kStatusResolved);
    EXPECT_EQ(d[0].address, QN_HostToNet32(0x0A00000Cu));
    EXPECT_EQ(d[2].status, HostResolver::kStatusFailed);
    EXPECT_EQ(d[2].address, 0u);
    for (auto& x : d) EXPECT_EQ(x.thread, loop.threadId());
}

TEST_F(Resolver, CancelWhileTheLookupRunsIsFoundAndNoCallbackComes) {
    lookup->hold = true;
    uint64_t a = request("slow");
    ASSERT_TRUE(lookup->entered.wait(5000));
    EXPECT_TRUE(cancel(a));
    lookup->hold = false;
    lookup->gate.set();
    uint64_t b = request("after");
    ASSERT_TRUE(WaitFor([&] { return deliveredCount() == 1; }));
    ASSERT_TRUE(RunOnLoop(loop, [](LoopCore*) {}));
    auto d = delivered();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].id, b);
}

TEST_F(Resolver, CancelOfAQueuedRequestSkipsItsLookupAndCallback) {
    lookup->hold = true;
    uint64_t a = request("first");
    ASSERT_TRUE(lookup->entered.wait(5000));
    uint64_t b = request("second");
    EXPECT_TRUE(cancel(b));
    EXPECT_FALSE(cancel(12345678));
    lookup->hold = false;
    lookup->gate.set();
    uint64_t c = request("third");
    ASSERT_TRUE(WaitFor([&] { return deliveredCount() == 2; }));
    auto d = delivered();
    EXPECT_EQ(d[0].id, a);
    EXPECT_EQ(d[1].id, c);
    EXPECT_EQ(lookup->callsCopy(), (std::vector<std::string>{"first", "third"}));
}

TEST_F(Resolver, StopFailsTheWaitingRequestsOnTheLoopThread) {
    lookup->hold = true;
    uint64_t blocked = request("blocked");
    ASSERT_TRUE(lookup->entered.wait(5000));
    std::vector<uint64_t> waiting = {request("w1"), request("w2"), request("w3")};
    std::thread stopper([&] { resolver->stop(); });
    // Wait until stop has raised its flag: a refused request shows it. Requests accepted
    // before that only join the waiting ones.
    int accepted = 0;
    ASSERT_TRUE(WaitFor([&] {
        if (request("probe") == 0) return true;
        ++accepted;
        return false;
    }));
    lookup->gate.set();
    stopper.join();
    ASSERT_TRUE(WaitFor([&] { return deliveredCount() == 4u + (size_t)accepted; }));
    auto d = delivered();
    EXPECT_EQ(d[0].id, blocked);
    EXPECT_EQ(d[0].status, HostResolver::kStatusResolved);
    for (size_t i = 1; i < d.size(); ++i) EXPECT_EQ(d[i].status, HostResolver::kStatusFailed);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(d[i + 1].id, waiting[i]);
    for (auto& x : d) EXPECT_EQ(x.thread, loop.threadId());
    EXPECT_EQ(lookup->callsCopy().size(), 1u);
}

TEST_F(Resolver, RequestAfterStopIsRefusedAndARestartResolvesWithLargerIds) {
    uint64_t first = request("one");
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(WaitFor([&] { return deliveredCount() == 1; }));
    resolver->stop();
    resolver->stop();  // idempotent
    EXPECT_EQ(request("refused"), 0u);
    ASSERT_TRUE(resolver->start(loop));
    EXPECT_TRUE(resolver->start(loop));  // already running
    uint64_t again = request("two");
    EXPECT_GT(again, first);
    ASSERT_TRUE(WaitFor([&] { return deliveredCount() == 2; }));
    EXPECT_EQ(delivered()[1].status, HostResolver::kStatusResolved);
}

TEST(ResolverStart, WithoutARunningLoopStartFailsAndRequestsAreRefused) {
    EventLoop loop;  // never started
    HostResolver resolver;
    EXPECT_FALSE(resolver.start(loop));
    uint64_t id = 99;
    EXPECT_FALSE(resolver.request("x", nullptr, nullptr, &id));
    EXPECT_EQ(id, 99u);
    resolver.stop();
}

TEST(ResolverStart, ALoopWhoseThreadHasEndedDoesNotHoldStartForEver) {
    EventLoop loop;
    ASSERT_TRUE(loop.start());
    // The loop thread ends on its own; the loop object still counts as started.
    ASSERT_TRUE(RunOnLoop(loop, [](LoopCore* core) { breakLoopTask().Run(core, true); }));
    ASSERT_TRUE(WaitFor([&] { return loop.threadId() == 0; }));
    HostResolver resolver;
    resolver.setStartTimeoutForTest(50);
    EXPECT_FALSE(resolver.start(loop));
    EXPECT_FALSE(resolver.request("x", nullptr, nullptr, nullptr));
    loop.stop();  // the set-up task now runs with run = false and makes nothing
}

TEST(ResolverStart, SystemLookupResolvesLocalhost) {
    EventLoop loop;
    ASSERT_TRUE(loop.start());
    {
        HostResolver resolver;
        ASSERT_TRUE(resolver.start(loop));
        struct R {
            Event done{true};
            int32_t status = -1;
            uint32_t address = 0;
        } r;
        ASSERT_TRUE(RunOnLoop(loop, [&](LoopCore*) {
            EXPECT_TRUE(resolver.request(
                "localhost", &r,
                [](uint64_t, const std::string&, void* ctx, int32_t status, uint32_t address) {
                    auto* p = (R*)ctx;
                    p->status = status;
                    p->address = address;
                    p->done.set();
                },
                nullptr));
        }));
        ASSERT_TRUE(r.done.wait(5000));
        EXPECT_EQ(r.status, HostResolver::kStatusResolved);
        EXPECT_EQ(QN_FormatIPv4(r.address), "127.0.0.1");
    }
    loop.stop();
}
