// Facts about the machine: its name, the local time with milliseconds and a volume's free
// space.
#pragma once

#include <cstdint>

#include "qn_systemtime.h"

// The host name (gethostname) into szBuffer[0..*puSize): 1 with *puSize the length, or 0 with
// the last error 111 and *puSize the size needed when it does not fit. A test hook replaces
// the name.
int QN_GetComputerNameA(char* szBuffer, uint32_t* puSize);

// GetLocalTime: the local calendar time with milliseconds and the day of the week.
void QN_GetLocalSystemTime(SYSTEMTIME* pRetTime);

// Free bytes of the volume holding the folder (statvfs): for the caller, in total, and the
// volume's size. 1, or 0 with the last error set. Null outputs are skipped.
int QN_GetDiskFreeSpaceExW(const wchar_t* cwszFolder, uint64_t* pullFreeForCaller, uint64_t* pullTotalBytes,
                           uint64_t* pullTotalFree);
