// Time in the layer: local calendar fields (with a hook for tests), a FILETIME-style count of
// 100 ns units since 1601-01-01 UTC, and a monotonic clock.
#pragma once

#include <cstdint>
#include <ctime>

struct QN_LocalTime {
    int nYear;    // e.g. 2026
    int nMonth;   // 1..12
    int nDay;     // 1..31
    int nHour;    // 0..23
    int nMinute;  // 0..59
    int nSecond;  // 0..60
};

// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr uint64_t QN_FILETIME_UNIX_EPOCH_SECONDS = 11644473600ull;

// The current time as 100 ns units since 1601 (UTC).
uint64_t QN_GetSystemTimeAsFileTime();
uint64_t QN_UnixTimeToFileTime(int64_t llUnixSeconds, uint32_t uNanoseconds = 0);
// Whole seconds since 1970; the sub-second rest, in nanoseconds, goes to *puRetNanoseconds.
int64_t QN_FileTimeToUnixTime(uint64_t ullFileTime, uint32_t* puRetNanoseconds = nullptr);

// Monotonic clock in milliseconds and nanoseconds, from an arbitrary start.
uint64_t QN_GetTickCount64();
uint64_t QN_MonotonicNanoseconds();

// The local calendar time now (from the hook when one is set).
QN_LocalTime QN_GetLocalTime();
// Converts a Unix time to local calendar fields.
QN_LocalTime QN_LocalTimeFromUnix(time_t tTime);

