#include "download_test_hooks.h"

#include "connection_cache.h"
#include "event_loop.h"
#include "host_resolver.h"
#include "speed_limiter.h"

bool qn::testing::CoreStart() {
    if (!EventLoop::instance().start()) return false;
    ConnectionCache::instance().start();
    SpeedLimiterModule::instance().start();
    HostResolver::instance().start();
    return true;
}

void qn::testing::CoreStop() {
    HostResolver::instance().stop();
    SpeedLimiterModule::instance().stop();
    ConnectionCache::instance().stop();
    EventLoop::instance().stop();
}
