// Calendar time in Windows' SYSTEMTIME form and the 32-bit millisecond tick counter.
#pragma once

#include <cstdint>

// Eight u16 fields in Windows' order; stored on disk as 16 bytes, little-endian, field by field.
struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;  // 0 = Sunday
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME is 16 bytes");

// The current UTC time, with milliseconds.
void QN_GetSystemTime(SYSTEMTIME* pRetTime);
// Converts to 100 ns units since 1601-01-01 UTC. Refuses (0, last error 87) any field out of
// range as Windows does: year 1601-30827, month 1-12, a day that exists in that month, hour
// below 24, minute and second below 60, milliseconds below 1000. The day of week is ignored.
int QN_SystemTimeToFileTime(const SYSTEMTIME* pTime, uint64_t* pullRetFileTime);
// The inverse, with the day of week filled in.
int QN_FileTimeToSystemTime(uint64_t ullFileTime, SYSTEMTIME* pRetTime);
// True when every field is 0.
bool QN_IsSystemTimeZero(const SYSTEMTIME* pTime);
// Milliseconds from a monotonic clock, wrapping at 2^32 (differences use u32 arithmetic).
uint32_t QN_GetTickCount();
