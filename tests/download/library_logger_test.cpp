#include "library_logger.h"

#include <dlfcn.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KSessionLog.h"
#include "download_test_hooks.h"

namespace {
// The record of calls kept by a loaded test module ("" when it is not loaded).
std::string ModuleLog(const char* path) {
    void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (!h) return "";
    auto fn = (size_t(*)(char*, size_t))dlsym(h, "holmrun_test_log");
    std::string out;
    if (fn) {
        std::vector<char> buf(fn(nullptr, 0) + 1);
        fn(buf.data(), buf.size());
        out = buf.data();
    }
    dlclose(h);
    return out;
}

bool Mapped(const char* path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(path) != std::string::npos) return true;
    }
    return false;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class Logger : public ::testing::Test {
protected:
    void TearDown() override {
        qn::testing::ResetLoggerForTest();
        qn::testing::SetLoggerModulePath(nullptr);
        qn::testing::SetLogSink(nullptr);
    }
    LibraryLogger& logger = LibraryLogger::instance();
};
}  // namespace

TEST_F(Logger, WithoutAModuleEverythingIsANoOp) {
    qn::testing::ResetLoggerForTest();
    EXPECT_FALSE(logger.load());  // no libHolmrun.so beside the test program or on the search path
    qn::testing::SetLoggerModulePath("/nonexistent/libHolmrun.so");
    EXPECT_FALSE(logger.load());
    EXPECT_FALSE(logger.isLoaded());
    EXPECT_EQ(logger.get("tibrusk.session"), nullptr);
    logger.log("tibrusk.session", LibraryLogger::kLevelInfo, "n=%d", 1);
    logger.write(nullptr, LibraryLogger::kLevelInfo, "n=%d", 1);
    KSessionLog(KLOG_CATEGORY_SESSION, KLOG_LEVEL_ERROR, "x=%s", "y");
}

TEST_F(Logger, GoodModuleIsInitialisedOnceAndGetsCategoriesAndFormattedLines) {
    qn::testing::SetLoggerModulePath(QN_TEST_HOLMRUN_GOOD);
    ASSERT_TRUE(logger.load());
    EXPECT_TRUE(logger.load());  // a second start does not load it again
    logger.log("tibrusk.session", LibraryLogger::kLevelInfo, "n=%d s=%s", 5, "abc");
    KSessionLog(KLOG_CATEGORY_CHECKSUM, KLOG_LEVEL_ERROR, "piece %u", 7u);
    logger.log("tibrusk.session.http", LibraryLogger::kLevelDebug, "path=%ls", L"D:/\u6e38\u620f/\u00e9.dat");
    std::string log = ModuleLog(QN_TEST_HOLMRUN_GOOD);
    EXPECT_EQ(Count(log, "init|"), 1u);
    EXPECT_NE(log.find("init|[logger]\ntibrusk!file=info\ntibrusk!console=none\n|tibrusk.qnsl.cfg\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("get|tibrusk.session\nwrite|ok|4|n=5 s=abc\n"), std::string::npos) << log;
    EXPECT_NE(log.find("get|tibrusk.session.checksum\nwrite|ok|2|piece 7\n"), std::string::npos) << log;
    EXPECT_NE(log.find("write|ok|5|path=D:/\u6e38\u620f/\u00e9.dat\n"), std::string::npos) << log;
    EXPECT_EQ(Count(log, "set_level|"), 0u);
    qn::testing::ResetLoggerForTest();
    EXPECT_FALSE(Mapped(QN_TEST_HOLMRUN_GOOD));
}

TEST_F(Logger, TextsOverTheLimitsWriteNothing) {
    qn::testing::SetLoggerModulePath(QN_TEST_HOLMRUN_GOOD);
    ASSERT_TRUE(logger.load());
    std::string longCategory(LibraryLogger::kMaxCategoryBytes, 'c');
    std::string longFormat(LibraryLogger::kMaxFormatBytes, 'f');
    std::string fittingFormat(LibraryLogger::kMaxFormatBytes - 1, 'g');
    EXPECT_EQ(logger.get(longCategory.c_str()), nullptr);
    logger.log("tibrusk.session", LibraryLogger::kLevelInfo, longFormat.c_str(), 0);
    logger.log("tibrusk.session", LibraryLogger::kLevelInfo, fittingFormat.c_str(), 0);
    std::string log = ModuleLog(QN_TEST_HOLMRUN_GOOD);
    EXPECT_EQ(Count(log, "write|"), 1u);
    EXPECT_NE(log.find(fittingFormat), std::string::npos);
    EXPECT_EQ(log.find("get|" + longCategory), std::string::npos);
}

TEST_F(Logger, IncompleteOrFailingModulesAreUnloadedAndLeaveTheLoggerSilent) {
    struct Row {
        const char* path;
        bool initCalled;
    } rows[] = {
        {QN_TEST_HOLMRUN_MISSING_WRITE, false},
        {QN_TEST_HOLMRUN_INIT_FAILS, true},
    };
    for (const Row& r : rows) {
        qn::testing::SetLoggerModulePath(r.path);
        EXPECT_FALSE(logger.load()) << r.path;
        EXPECT_FALSE(logger.isLoaded());
        EXPECT_FALSE(Mapped(r.path)) << r.path;
        EXPECT_EQ(logger.get("tibrusk.session"), nullptr);
        logger.log("tibrusk.session", LibraryLogger::kLevelInfo, "x");
    }
    // A failed load is tried again by the next one.
    qn::testing::SetLoggerModulePath(QN_TEST_HOLMRUN_GOOD);
    EXPECT_TRUE(logger.load());
}

TEST_F(Logger, UnloadFinishesTheModule) {
    qn::testing::SetLoggerModulePath(QN_TEST_HOLMRUN_GOOD);
    ASSERT_TRUE(logger.load());
    // Keep our own reference so that the record survives the unload.
    void* keep = dlopen(QN_TEST_HOLMRUN_GOOD, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(keep, nullptr);
    logger.unload();
    EXPECT_FALSE(logger.isLoaded());
    std::string log = ModuleLog(QN_TEST_HOLMRUN_GOOD);
    EXPECT_EQ(Count(log, "fini"), 1u);
    dlclose(keep);
    logger.log("tibrusk.session", LibraryLogger::kLevelInfo, "after");
}

TEST_F(Logger, SinkReceivesFormattedLinesInPlaceOfTheModule) {
    std::vector<std::string> lines;
    qn::testing::SetLogSink([&](const std::string& category, int level, const std::string& text) {
        lines.push_back(category + "|" + std::to_string(level) + "|" + text);
    });
    KSessionLog(KLOG_CATEGORY_STREAM_SEEK, KLOG_LEVEL_DEBUG, "offset=%lld, file=%ls", 12ll, L"\u6e38.pak");
    logger.log(std::string(LibraryLogger::kMaxCategoryBytes, 'c').c_str(), 2, "dropped");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "tibrusk.KDownloadingReadonlyStream.Seek|5|offset=12, file=\u6e38.pak");
}
