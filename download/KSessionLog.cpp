#include "KSessionLog.h"

#include <cstdarg>

#include "library_logger.h"

void KSessionLog(const char* cszCategory, int nLevel, const char* cszFormat, ...) {
    va_list args;
    va_start(args, cszFormat);
    LibraryLogger::instance().logV(cszCategory, nLevel, cszFormat, args);
    va_end(args);
}

void KLoggerLoad() { LibraryLogger::instance().load(); }
