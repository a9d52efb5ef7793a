// The library's own logger: a link to the outside logger module, loaded once per process.
//
// Without the module (or with one that lacks a function or whose init fails) every call is a
// no-op. Format and category texts are UTF-8; "%s" takes UTF-8 text and "%ls" a wide one.
// Writers ask for their category's logger at every write; nothing is cached by them. The link
// is read-only after the load; writes come from any thread.
#pragma once

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

#include "holmrun_abi.h"
#include "qn_string.h"

class LibraryLogger {
public:
    enum : int {
        kLevelError = 2,
        kLevelInfo = 4,
        kLevelDebug = 5,
    };
    static constexpr size_t kMaxCategoryBytes = 256;  // with the terminator
    static constexpr size_t kMaxFormatBytes = 512;    // with the terminator

    // The process-wide link. Never destroyed; the module is finished and unloaded at exit.
    static LibraryLogger& instance();

    // Loads the module when it is not loaded yet (a failed load is tried again next time).
    // True when the module is loaded.
    bool load();
    bool isLoaded() const { return m_loaded.load(std::memory_order_acquire); }

    // The logger of a category, or null (not loaded, category too long).
    void* get(const char* category);
    // Writes one line through a logger from get. Nothing when not loaded, with a null logger
    // or a format too long.
    void write(void* logger, int level, const char* format, ...) QN_PRINTF_FORMAT(4, 5);
    void writeV(void* logger, int level, const char* format, va_list args) QN_PRINTF_FORMAT(4, 0);
    // get, then write.
    void log(const char* category, int level, const char* format, ...) QN_PRINTF_FORMAT(4, 5);
    void logV(const char* category, int level, const char* format, va_list args) QN_PRINTF_FORMAT(4, 0);

    // Calls the module's fini when initialised and unloads it.
    void unload();

private:
    LibraryLogger() = default;
    static void atExit();

    std::mutex m_loadLock;
    std::atomic<bool> m_loaded{false};
    std::atomic<bool> m_initialised{false};
    bool m_atExitRegistered = false;
    void* m_module = nullptr;
    qnsl_init_fn m_init = nullptr;
    qnsl_fini_fn m_fini = nullptr;
    qnsl_get_fn m_get = nullptr;
    qnsl_set_level_fn m_setLevel = nullptr;
    qnsl_write_v_fn m_writeV = nullptr;
};
