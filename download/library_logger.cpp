#include "library_logger.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "download_test_hooks.h"
#include "qn_dl.h"

namespace {
const char kConfigText[] = "[logger]\ntibrusk!file=info\ntibrusk!console=none\n";
const char kConfigFileName[] = "tibrusk.qnsl.cfg";

// Test seams: a module path that replaces the search, and an in-process sink.
struct TestSeams {
    std::mutex lock;
    std::string modulePath;
    qn::testing::LogSink sink;
    std::set<std::string> categories;  // the sink's loggers are pointers into this set
    std::atomic<bool> haveSink{false};
};
TestSeams& Seams() {
    static TestSeams* s = new TestSeams();
    return *s;
}

bool Fits(const char* text, size_t maxBytesWithTerminator) {
    return text && strnlen(text, maxBytesWithTerminator) < maxBytesWithTerminator;
}
}  // namespace

void qn::testing::SetLoggerModulePath(const char* path) {
    std::lock_guard<std::mutex> g(Seams().lock);
    Seams().modulePath = path ? path : "";
}

void qn::testing::ResetLoggerForTest() { LibraryLogger::instance().unload(); }

void qn::testing::SetLogSink(LogSink sink) {
    std::lock_guard<std::mutex> g(Seams().lock);
    Seams().haveSink.store((bool)sink, std::memory_order_release);
    Seams().sink = std::move(sink);
}

LibraryLogger& LibraryLogger::instance() {
    static LibraryLogger* s_logger = new LibraryLogger();
    return *s_logger;
}

void LibraryLogger::atExit() { instance().unload(); }

bool LibraryLogger::load() {
    std::lock_guard<std::mutex> g(m_loadLock);
    if (m_loaded.load(std::memory_order_acquire)) return true;
    std::string overridePath;
    {
        std::lock_guard<std::mutex> s(Seams().lock);
        overridePath = Seams().modulePath;
    }
    void* module = nullptr;
    if (!overridePath.empty()) {
        module = QN_DlOpen(overridePath.c_str());
    } else {
        std::string dir = QN_ExecutableDir();
        if (!dir.empty()) module = QN_DlOpen((dir + "/" + kHolmrunModuleName).c_str());
        if (!module) module = QN_DlOpen(kHolmrunModuleName);
    }
    if (!module) return false;
    auto init = (qnsl_init_fn)QN_DlSym(module, "qnsl_init");
    auto fini = (qnsl_fini_fn)QN_DlSym(module, "qnsl_fini");
    auto get = (qnsl_get_fn)QN_DlSym(module, "qnsl_get");
    auto setLevel = (qnsl_set_level_fn)QN_DlSym(module, "qnsl_set_level");
    auto writeV = (qnsl_write_v_fn)QN_DlSym(module, "qnsl_write_v");
    if (!init || !fini || !get || !setLevel || !writeV || init(kConfigText, kConfigFileName) != 0) {
        QN_DlClose(module);
        return false;
    }
    m_module = module;
    m_init = init;
    m_fini = fini;
    m_get = get;
    m_setLevel = setLevel;
    m_writeV = writeV;
    m_initialised.store(true, std::memory_order_release);
    m_loaded.store(true, std::memory_order_release);
    if (!m_atExitRegistered) {
        m_atExitRegistered = true;
        std::atexit(&LibraryLogger::atExit);
    }
    return true;
}

void LibraryLogger::unload() {
    std::lock_guard<std::mutex> g(m_loadLock);
    m_loaded.store(false, std::memory_order_release);
    if (m_initialised.exchange(false) && m_fini) m_fini();
    if (m_module) QN_DlClose(m_module);
    m_module = nullptr;
    m_init = nullptr;
    m_fini = nullptr;
    m_get = nullptr;
    m_setLevel = nullptr;
    m_writeV = nullptr;
}

void* LibraryLogger::get(const char* category) {
    if (!Fits(category, kMaxCategoryBytes)) return nullptr;
    if (Seams().haveSink.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> g(Seams().lock);
        return (void*)&*Seams().categories.insert(category).first;
    }
    if (!isLoaded()) return nullptr;
    return m_get(category);
}

void LibraryLogger::writeV(void* logger, int level, const char* format, va_list args) {
    if (!logger || !Fits(format, kMaxFormatBytes)) return;
    if (Seams().haveSink.load(std::memory_order_acquire)) {
        std::string text = QN_FormatUtf8V(format, args);
        std::lock_guard<std::mutex> g(Seams().lock);
        if (Seams().sink) Seams().sink(*(const std::string*)logger, level, text);
        return;
    }
    if (!isLoaded()) return;
    m_writeV(logger, level, format, args);
}

void LibraryLogger::write(void* logger, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeV(logger, level, format, args);
    va_end(args);
}

void LibraryLogger::logV(const char* category, int level, const char* format, va_list args) {
    void* logger = get(category);
    if (logger) writeV(logger, level, format, args);
}

void LibraryLogger::log(const char* category, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logV(category, level, format, args);
    va_end(args);
}
