#include "KSessionLog.h"

#include <cstdarg>

void KSessionLog(const char* cszCategory, int nLevel, const char* cszFormat, ...) {
    (void)cszCategory;
    (void)nLevel;
    (void)cszFormat;
}
