#include "qn_machine.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "qn_file.h"
#include "qn_platform.h"
#include "qn_test_hooks.h"

namespace {

std::mutex g_NameLock;
bool g_bNameReplaced = false;
std::string g_strReplacedName;

}  // namespace

namespace qn::testing {
void SetComputerName(const char* cszName) {
    std::lock_guard<std::mutex> lock(g_NameLock);
    g_bNameReplaced = cszName != nullptr;
    g_strReplacedName = cszName ? cszName : "";
}
}  // namespace qn::testing

int QN_GetComputerNameA(char* szBuffer, uint32_t* puSize) {
    if (!puSize) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string strName;
    {
        std::lock_guard<std::mutex> lock(g_NameLock);
        if (g_bNameReplaced) strName = g_strReplacedName;
    }
    if (strName.empty() && !g_bNameReplaced) {
        char szHost[256] = {};
        if (::gethostname(szHost, sizeof(szHost) - 1) != 0) {
            QN_SetLastErrorFromErrno();
            return 0;
        }
        strName = szHost;
    }
    if (!szBuffer || strName.size() + 1 > *puSize) {
        *puSize = (uint32_t)strName.size() + 1;
        QN_SetLastError(111);  // the buffer is too small
        return 0;
    }
    std::memcpy(szBuffer, strName.c_str(), strName.size() + 1);
    *puSize = (uint32_t)strName.size();
    return 1;
}

void QN_GetLocalSystemTime(SYSTEMTIME* pRetTime) {
    if (!pRetTime) return;
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    pRetTime->wYear = (uint16_t)(local.tm_year + 1900);
    pRetTime->wMonth = (uint16_t)(local.tm_mon + 1);
    pRetTime->wDayOfWeek = (uint16_t)local.tm_wday;
    pRetTime->wDay = (uint16_t)local.tm_mday;
    pRetTime->wHour = (uint16_t)local.tm_hour;
    pRetTime->wMinute = (uint16_t)local.tm_min;
    pRetTime->wSecond = (uint16_t)(local.tm_sec > 59 ? 59 : local.tm_sec);
    pRetTime->wMilliseconds = (uint16_t)(ts.tv_nsec / 1000000);
}

int QN_GetDiskFreeSpaceExW(const wchar_t* cwszFolder, uint64_t* pullFreeForCaller, uint64_t* pullTotalBytes,
                           uint64_t* pullTotalFree) {
    if (!cwszFolder) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    struct statvfs st;
    if (::statvfs(QN_NativePathFromWide(cwszFolder).c_str(), &st) != 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    if (pullFreeForCaller) *pullFreeForCaller = (uint64_t)st.f_bavail * st.f_frsize;
    if (pullTotalBytes) *pullTotalBytes = (uint64_t)st.f_blocks * st.f_frsize;
    if (pullTotalFree) *pullTotalFree = (uint64_t)st.f_bfree * st.f_frsize;
    return 1;
}
