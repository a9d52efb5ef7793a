#include "speed_limiter.h"

#include <cmath>
#include <memory>

#include <gtest/gtest.h>

namespace {
class Limiter : public ::testing::Test {
protected:
    void SetUp() override {
        module = std::make_unique<SpeedLimiterModule>();
        module->setCounterForTest([this] { return ns; });
        module->resetCounter();
        limiter = module->create();
        ASSERT_NE(limiter, nullptr);
    }
    void TearDown() override { EXPECT_TRUE(module->destroy(limiter)); }
    // Advances the fake counter by ms and ticks once.
    void tickAfterMs(double ms) {
        ns += (uint64_t)(ms * 1e6);
        module->tick();
    }
    uint64_t ns = 5000000000ull;
    std::unique_ptr<SpeedLimiterModule> module;
    SpeedLimiter* limiter = nullptr;
};
}  // namespace

TEST_F(Limiter, RefillTable) {
    struct Row {
        const char* what;
        uint32_t rate;  // 0: keep the default
        uint32_t capacity;
        int ticks;
        double msPerTick;
        uint32_t expectedTokens;
    } rows[] = {
        {"default rate fills the bucket on the first tick", 0, SpeedLimiter::kDefaultCapacity, 1, 10, 131072},
        {"100 000 B/s over ten ticks", 100000, SpeedLimiter::kDefaultCapacity, 10, 10, 10000},
        {"100 000 B/s is held at the capacity", 100000, 5000, 10, 10, 5000},
        {"a late tick adds 4.5 portions", 100000, SpeedLimiter::kDefaultCapacity, 1, 45, 4500},
        {"12 345 B/s over three ticks", 12345, SpeedLimiter::kDefaultCapacity, 3, 10, 370},
        {"a tick closer than 10 ms counts as one", 100000, SpeedLimiter::kDefaultCapacity, 1, 2, 1000},
    };
    for (const Row& r : rows) {
        SpeedLimiter* l = module->create();
        if (r.rate) {
            ASSERT_TRUE(l->setRate(r.rate));
        }
        l->setCapacity(r.capacity);
        for (int i = 0; i < r.ticks; ++i) tickAfterMs(r.msPerTick);
        EXPECT_EQ(l->tokens(), r.expectedTokens) << r.what;
        EXPECT_TRUE(module->destroy(l));
    }
}

TEST_F(Limiter, FractionsAreCarriedInTheRemainder) {
    ASSERT_TRUE(limiter->setRate(12345));
    for (int i = 0; i < 3; ++i) tickAfterMs(10);
    EXPECT_EQ(limiter->tokens(), 370u);
    EXPECT_NEAR(limiter->remainder(), 0.35f, 0.01f);
}

TEST_F(Limiter, ALongStallAtTheDefaultRateSaturatesAndIsCapped) {
    tickAfterMs(3600.0 * 1000);
    EXPECT_EQ(limiter->tokens(), SpeedLimiter::kDefaultCapacity);
    EXPECT_EQ(limiter->remainder(), 0.0f);
}

TEST_F(Limiter, RatesCapacityAndDraws) {
    EXPECT_EQ(limiter->rate(), SpeedLimiter::kUnlimited);
    EXPECT_EQ(limiter->perTick(), 42949676.0f);
    EXPECT_EQ(SpeedLimiter::perTickFor(0xFFFFFFFFu), 42949676.0f);
    EXPECT_EQ(SpeedLimiter::perTickFor(100000), 1000.0f);
    EXPECT_FALSE(limiter->setRate(0));
    EXPECT_EQ(limiter->rate(), SpeedLimiter::kUnlimited);
    ASSERT_TRUE(limiter->setRate(256 * 1024));
    EXPECT_EQ(limiter->rate(), 256u * 1024);
    EXPECT_EQ(limiter->retryDelayMs(), 10u);
    tickAfterMs(1000);  // fills to the capacity
    EXPECT_EQ(limiter->tokens(), SpeedLimiter::kDefaultCapacity);
    EXPECT_EQ(limiter->take(100000), 100000u);
    EXPECT_EQ(limiter->take(100000), SpeedLimiter::kDefaultCapacity - 100000);
    EXPECT_EQ(limiter->take(1), 0u);
    tickAfterMs(1000);
    limiter->setCapacity(0x10000);  // lowering the capacity drops the tokens above it
    EXPECT_EQ(limiter->tokens(), 0x10000u);
}

TEST_F(Limiter, DestroyOfAForeignLimiterIsRefused) {
    SpeedLimiterModule other;
    SpeedLimiter* foreign = other.create();
    EXPECT_FALSE(module->destroy(foreign));
    EXPECT_TRUE(other.destroy(foreign));
    EXPECT_FALSE(other.destroy(foreign));
}

#include <atomic>
#include <thread>

#include "event_loop.h"
#include "loop_test_util.h"

TEST(LimiterModule, TickRefillsOnTheLoopWhileSessionThreadsChangeTheLimiter) {
    EventLoop loop;
    ASSERT_TRUE(loop.start());
    SpeedLimiterModule module;
    module.start(loop);
    module.start(loop);  // idempotent
    SpeedLimiter* l = module.create();
    ASSERT_TRUE(l->setRate(1000000));
    ASSERT_TRUE(qn::looptest::WaitFor([&] { return l->tokens() > 0; }));
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> drawn{0};
    std::thread session([&] {
        for (uint32_t i = 0; !stop; ++i) {
            l->setRate(500000 + (i % 1000));
            l->setCapacity(i % 2 ? 0x20000 : 0x40000);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // The request engine's draws come on the loop thread.
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(qn::looptest::RunOnLoop(loop, [&](LoopCore*) {
            drawn += l->take(16384);
            (void)l->rate();
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    session.join();
    EXPECT_GT(drawn.load(), 0u);
    module.stop();
    module.stop();
    EXPECT_TRUE(module.destroy(l));
    loop.stop();
}
