#include "KDownloadCore.h"

#include "connection_cache.h"
#include "event_loop.h"
#include "host_resolver.h"
#include "speed_limiter.h"

bool KDownloadCoreStart() {
    if (!EventLoop::instance().start()) return false;
    ConnectionCache::instance().start();
    SpeedLimiterModule::instance().start();
    HostResolver::instance().start();
    return true;
}

void KDownloadCoreStop() {
    HostResolver::instance().stop();
    SpeedLimiterModule::instance().stop();
    ConnectionCache::instance().stop();
    EventLoop::instance().stop();
}
