// Log lines of the download sessions, written through the library logger in named categories.
#pragma once

#include "qn_string.h"

#define KLOG_CATEGORY_SESSION "tibrusk.session"
#define KLOG_CATEGORY_HTTP "tibrusk.session.http"
#define KLOG_CATEGORY_THREAD "tibrusk.session.thread"
#define KLOG_CATEGORY_CHECKSUM "tibrusk.session.checksum"
#define KLOG_CATEGORY_STREAM_READ "tibrusk.KDownloadingReadonlyStream.Read"
#define KLOG_CATEGORY_STREAM_SEEK "tibrusk.KDownloadingReadonlyStream.Seek"

enum KSessionLogLevel {
    KLOG_LEVEL_ERROR = 2,
    KLOG_LEVEL_INFO = 4,
    KLOG_LEVEL_DEBUG = 5,
};

// Writes one line in a category; "%s" takes a narrow (UTF-8) text, "%ls" a wide one.
void KSessionLog(const char* cszCategory, int nLevel, const char* cszFormat, ...) QN_PRINTF_FORMAT(3, 4);

// Links the library logger (once per process); without it the library writes no log.
void KLoggerLoad();
