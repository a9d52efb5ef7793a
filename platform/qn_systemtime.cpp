#include "qn_systemtime.h"

#include <cstring>
#include <ctime>

#include "qn_platform.h"
#include "qn_time.h"

namespace {

bool IsLeapYear(int nYear) { return (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0; }

int DaysInMonth(int nYear, int nMonth) {
    static const int s_anDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return nMonth == 2 && IsLeapYear(nYear) ? 29 : s_anDays[nMonth - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;
}

}  // namespace

void QN_GetSystemTime(SYSTEMTIME* pRetTime) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    QN_FileTimeToSystemTime(QN_UnixTimeToFileTime(ts.tv_sec, (uint32_t)ts.tv_nsec), pRetTime);
}

int QN_SystemTimeToFileTime(const SYSTEMTIME* pTime, uint64_t* pullRetFileTime) {
    if (!pTime || !pullRetFileTime || pTime->wYear < 1601 || pTime->wYear > 30827 || pTime->wMonth < 1 ||
        pTime->wMonth > 12 || pTime->wDay < 1 || pTime->wDay > DaysInMonth(pTime->wYear, pTime->wMonth) ||
        pTime->wHour >= 24 || pTime->wMinute >= 60 || pTime->wSecond >= 60 || pTime->wMilliseconds >= 1000) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int64_t llDays = DaysFromCivil(pTime->wYear, pTime->wMonth, pTime->wDay);
    int64_t llSeconds = llDays * 86400 + pTime->wHour * 3600 + pTime->wMinute * 60 + pTime->wSecond;
    *pullRetFileTime = QN_UnixTimeToFileTime(llSeconds, (uint32_t)pTime->wMilliseconds * 1000000u);
    return 1;
}

int QN_FileTimeToSystemTime(uint64_t ullFileTime, SYSTEMTIME* pRetTime) {
    if (!pRetTime) return 0;
    uint32_t uNs = 0;
    int64_t llSeconds = QN_FileTimeToUnixTime(ullFileTime, &uNs);
    int64_t llDays = llSeconds >= 0 ? llSeconds / 86400 : -((-llSeconds + 86399) / 86400);
    int64_t llRest = llSeconds - llDays * 86400;
    // Civil date from days (inverse of DaysFromCivil).
    int64_t z = llDays + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = (unsigned)(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = (int64_t)yoe + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
    std::memset(pRetTime, 0, sizeof(*pRetTime));
    pRetTime->wYear = (uint16_t)y;
    pRetTime->wMonth = (uint16_t)m;
    pRetTime->wDay = (uint16_t)d;
    pRetTime->wDayOfWeek = (uint16_t)(((llDays % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    pRetTime->wHour = (uint16_t)(llRest / 3600);
    pRetTime->wMinute = (uint16_t)(llRest / 60 % 60);
    pRetTime->wSecond = (uint16_t)(llRest % 60);
    pRetTime->wMilliseconds = (uint16_t)(uNs / 1000000u);
    return 1;
}

bool QN_IsSystemTimeZero(const SYSTEMTIME* pTime) {
    static const SYSTEMTIME s_zero{};
    return std::memcmp(pTime, &s_zero, sizeof(s_zero)) == 0;
}

uint32_t QN_GetTickCount() { return (uint32_t)QN_GetTickCount64(); }
