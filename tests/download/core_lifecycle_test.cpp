#include <dirent.h>

#include <string>

#include <gtest/gtest.h>

#include "connection_cache.h"
#include "download_test_hooks.h"
#include "event.h"
#include "event_loop.h"
#include "host_resolver.h"
#include "loop_test_util.h"
#include "qn_socket.h"
#include "speed_limiter.h"

namespace {
int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') ++n;
        }
        closedir(d);
    }
    return n;
}

// Resolves "localhost" through the process-wide resolver, as the request engine does.
int32_t ResolveLocalhost() {
    struct R {
        Event done{true};
        int32_t status = -1;
    } r;
    bool requested = false;
    bool ran = qn::looptest::RunOnLoop(EventLoop::instance(), [&](LoopCore*) {
        requested = HostResolver::instance().request(
            "localhost", &r,
            [](uint64_t, const std::string&, void* ctx, int32_t status, uint32_t) {
                ((R*)ctx)->status = status;
                ((R*)ctx)->done.set();
            },
            nullptr);
    });
    if (!ran || !requested || !r.done.wait(5000)) return -2;
    return r.status;
}
}  // namespace

TEST(CoreLifecycle, StartsAndStopsAgainInOneProcessAndLeavesNoThread) {
    qn::testing::CoreStop();  // stopped: nothing
    // One warm-up round first: sanitizer runtimes start helper threads of their own lazily.
    ASSERT_TRUE(qn::testing::CoreStart());
    qn::testing::CoreStop();
    int baseline = ThreadCount();
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(qn::testing::CoreStart());
        EXPECT_FALSE(EventLoop::instance().start());  // a second start changes nothing
        EXPECT_EQ(ResolveLocalhost(), HostResolver::kStatusResolved) << "round " << round;
        SpeedLimiter* l = SpeedLimiterModule::instance().create();
        EXPECT_TRUE(qn::looptest::WaitFor([&] { return l->tokens() > 0; }));
        EXPECT_TRUE(SpeedLimiterModule::instance().destroy(l));
        qn::testing::CoreStop();
        qn::testing::CoreStop();
        EXPECT_EQ(ThreadCount(), baseline);
    }
}
