// A logger module for the library logger's tests. Built three times: a complete module that
// records every call, one without qnsl_write_v, and one whose qnsl_init fails.
#include <locale.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "holmrun_abi.h"

namespace {
std::mutex g_lock;
std::string g_log;  // one line per call
int g_logger;       // the one logger handle this module hands out

void Record(const std::string& line) {
    std::lock_guard<std::mutex> g(g_lock);
    g_log += line;
    g_log += '\n';
}
}  // namespace

extern "C" {
__attribute__((visibility("default"))) int qnsl_init(const char* configText, const char* configFileName) {
    Record(std::string("init|") + configText + "|" + configFileName);
#ifdef HOLMRUN_INIT_FAILS
    return 1;
#else
    return 0;
#endif
}

__attribute__((visibility("default"))) void qnsl_fini(void) { Record("fini"); }

__attribute__((visibility("default"))) void* qnsl_get(const char* category) {
    Record(std::string("get|") + category);
    return &g_logger;
}

__attribute__((visibility("default"))) int qnsl_set_level(void*, int level) {
    Record("set_level|" + std::to_string(level));
    return 0;
}

#ifndef HOLMRUN_MISSING_WRITE
__attribute__((visibility("default"))) void qnsl_write_v(void* logger, int level, const char* format, va_list args) {
    // Formatted under a UTF-8 character type, so "%ls" arguments come out as UTF-8.
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    locale_t old = utf8 ? uselocale(utf8) : (locale_t)0;
    char buf[1024];
    int n = vsnprintf(buf, sizeof(buf), format, args);
    if (utf8) {
        uselocale(old);
        freelocale(utf8);
    }
    Record(std::string("write|") + (logger == &g_logger ? "ok" : "bad") + "|" + std::to_string(level) + "|" +
           (n < 0 ? std::string("<format failed>") : std::string(buf)));
}
#endif

// Test access: copies the record of calls into buf and returns its full length.
__attribute__((visibility("default"))) size_t holmrun_test_log(char* buf, size_t size) {
    std::lock_guard<std::mutex> g(g_lock);
    if (buf && size) {
        size_t n = g_log.size() < size - 1 ? g_log.size() : size - 1;
        memcpy(buf, g_log.data(), n);
        buf[n] = 0;
    }
    return g_log.size();
}
}
