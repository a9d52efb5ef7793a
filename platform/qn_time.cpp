#include "qn_time.h"

#include <atomic>

#include "qn_test_hooks.h"

namespace {
std::atomic<qn::testing::LocalTimeSource> g_pfnLocalTimeSource{nullptr};
}

uint64_t QN_UnixTimeToFileTime(int64_t llUnixSeconds, uint32_t uNanoseconds) {
    return (uint64_t)(llUnixSeconds + (int64_t)QN_FILETIME_UNIX_EPOCH_SECONDS) * 10000000ull + uNanoseconds / 100u;
}

int64_t QN_FileTimeToUnixTime(uint64_t ullFileTime, uint32_t* puRetNanoseconds) {
    if (puRetNanoseconds) *puRetNanoseconds = (uint32_t)(ullFileTime % 10000000ull) * 100u;
    return (int64_t)(ullFileTime / 10000000ull) - (int64_t)QN_FILETIME_UNIX_EPOCH_SECONDS;
}

uint64_t QN_GetSystemTimeAsFileTime() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return QN_UnixTimeToFileTime(ts.tv_sec, (uint32_t)ts.tv_nsec);
}

uint64_t QN_MonotonicNanoseconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

uint64_t QN_GetTickCount64() { return QN_MonotonicNanoseconds() / 1000000ull; }

QN_LocalTime QN_LocalTimeFromUnix(time_t tTime) {
    struct tm tmLocal {};
    localtime_r(&tTime, &tmLocal);
    QN_LocalTime lt;
    lt.nYear = tmLocal.tm_year + 1900;
    lt.nMonth = tmLocal.tm_mon + 1;
    lt.nDay = tmLocal.tm_mday;
    lt.nHour = tmLocal.tm_hour;
    lt.nMinute = tmLocal.tm_min;
    lt.nSecond = tmLocal.tm_sec;
    return lt;
}

QN_LocalTime QN_GetLocalTime() {
    qn::testing::LocalTimeSource pfn = g_pfnLocalTimeSource.load(std::memory_order_acquire);
    if (pfn) return pfn();
    return QN_LocalTimeFromUnix(time(nullptr));
}

namespace qn::testing {
void SetLocalTimeSource(LocalTimeSource pfnSource) {
    g_pfnLocalTimeSource.store(pfnSource, std::memory_order_release);
}
}  // namespace qn::testing
