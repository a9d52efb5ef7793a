#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "QN_Log.h"
#include "qn_log_capture.h"
#include "qn_platform.h"
#include "qn_string.h"
#include "qn_test_hooks.h"
#include "support_test_hooks.h"

using qn::test::FixedClock;
using qn::test::LogCapture;

namespace {

std::string ThreadIdText() {
    char sz[16];
    std::snprintf(sz, sizeof(sz), "%08X", QN_GetCurrentThreadId());
    return sz;
}

struct LineCase {
    const char* cszWhat;
    int nLevel;
    std::string strMessage;
    std::string strExpectedTail;  // what follows "<LEVEL:TID>: "
    const char* cszLevelName;
};

TEST(QNLogLine, HasTheExactForm) {
    const std::string strLong(2000, 'a');
    const std::string strPrefixProbe = "20261209-081427<DEBUG:" + ThreadIdText() + ">: ";
    const size_t uRoom = 1023 - strPrefixProbe.size();
    const std::vector<LineCase> cases = {
        {"plain text gets a line feed", 7, "hello", "hello\n", "DEBUG"},
        {"level 15 is level 7", 15, "x", "x\n", "DEBUG"},
        {"level 8 is level 0", 8, "x", "x\n", "RESR0"},
        {"level 4 is padded to five characters", 4, "x", "x\n", "WARN "},
        {"level 6", 6, "x", "x\n", "INFO "},
        {"level 3", 3, "x", "x\n", "ERROR"},
        {"a line feed is not doubled", 7, "x\n", "x\n", "DEBUG"},
        {"a carriage return ends the line", 7, "x\r", "x\r", "DEBUG"},
        {"an empty message", 7, "", "\n", "DEBUG"},
        {"a long message is cut to 1023 bytes", 7, strLong, std::string(uRoom - 1, 'a') + "\n",
         "DEBUG"},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.cszWhat);
        FixedClock Clock(2026, 12, 9, 8, 14, 27);
        LogCapture Log;
        ASSERT_TRUE(Log.initialised());
        EXPECT_EQ(QNLog_Printf(c.nLevel, "%s", c.strMessage.c_str()), 1);
        std::vector<std::string> lines = Log.Lines();
        ASSERT_EQ(lines.size(), 1u);
        std::string strExpected =
            std::string("20261209-081427<") + c.cszLevelName + ":" + ThreadIdText() + ">: " +
            c.strExpectedTail;
        EXPECT_EQ(lines[0], strExpected);
        EXPECT_LE(lines[0].size(), 1023u);
        EXPECT_EQ(Log.Files(),
                  std::vector<std::string>{"QelRepair/2026_12_09/QelRepair_2026_12_09_08_14_27.log"});
    }
}

TEST(QNLogLine, FormatsArgumentsAndPadsTheDate) {
    FixedClock Clock(2027, 1, 2, 3, 4, 5);
    LogCapture Log;
    EXPECT_EQ(QNLog_Printf(6, "n=%d s=%s", 42, "abc"), 1);
    std::vector<std::string> lines = Log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "20270102-030405<INFO :" + ThreadIdText() + ">: n=42 s=abc\n");
}

struct InitCase {
    const char* cszRootTail;  // appended to the temporary folder
    const char* cszName;
};

TEST(QNLogInit, NormalisesRootAndName) {
    const std::vector<InitCase> cases = {
        {"/Logs", "QelRepair"},   {"/Logs\\", "QelRepair"},  {"/Logs/", "QelRepair"},
        {"/Logs", "QelRepair/"},  {"/Logs", "QelRepair\\"},  {"/Logs\\", "QelRepair\\"},
    };
    for (const InitCase& c : cases) {
        SCOPED_TRACE(std::string(c.cszRootTail) + " + " + c.cszName);
        qn::test::TempDir Dir;
        FixedClock Clock(2026, 12, 9, 8, 14, 27);
        QNLOG_PARAM Param;
        std::memset(&Param, 0, sizeof(Param));
        std::string strRoot = Dir.path() + c.cszRootTail;
        std::strcpy(Param.root, strRoot.c_str());
        std::strcpy(Param.name, c.cszName);
        ASSERT_EQ(QNLog_Init(&Param, nullptr), 1);
        EXPECT_EQ(qn::testing::LogFolderText(), Dir.path() + "/Logs/QelRepair/");
        EXPECT_EQ(QNLog_Printf(7, "x"), 1);
        EXPECT_EQ(qn::test::ListFiles(Dir.path()),
                  std::vector<std::string>{"Logs/QelRepair/2026_12_09/QelRepair_2026_12_09_08_14_27.log"});
        qn::testing::ResetLog();
    }
}

TEST(QNLogInit, RefusesEmptyAndOversizedTexts) {
    QNLOG_PARAM Param;
    std::memset(&Param, 0, sizeof(Param));
    qn::testing::ResetLog();
    EXPECT_EQ(QNLog_Init(nullptr, nullptr), 0);

    std::strcpy(Param.name, "QelRepair");
    EXPECT_EQ(QNLog_Init(&Param, nullptr), 0) << "empty root";

    std::strcpy(Param.root, "Logs");
    Param.name[0] = '\0';
    EXPECT_EQ(QNLog_Init(&Param, nullptr), 0) << "empty name";

    // A root that fills its whole field leaves no room for the '/' that Init adds.
    std::memset(Param.root, 'r', 1023);
    Param.root[1023] = '\0';
    std::strcpy(Param.name, "QelRepair");
    EXPECT_EQ(QNLog_Init(&Param, nullptr), 0) << "1023-character root";

    // The folder text ROOT/NAME/ must stay below 1023 characters.
    std::memset(Param.root, 'r', 1000);
    Param.root[1000] = '\0';
    std::memset(Param.name, 'n', 20);
    Param.name[20] = '\0';
    EXPECT_EQ(QNLog_Init(&Param, nullptr), 1) << "1000 + '/' + 20 + '/' is 1022 long";
    Param.name[20] = 'n';
    Param.name[21] = '\0';
    EXPECT_EQ(QNLog_Init(&Param, nullptr), 0) << "one more reaches 1023";
    qn::testing::ResetLog();
}

TEST(QNLogInit, ZeroFlagsMeansFileOnly) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    LogCapture Log(0);
    EXPECT_EQ(QNLog_Printf(7, "to the file"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(Log.Messages(), std::vector<std::string>{"to the file"});
}

TEST(QNLogInit, BeforeInitLinesGoNowhere) {
    qn::testing::ResetLog();
    testing::internal::CaptureStdout();
    EXPECT_EQ(QNLog_Printf(7, "nowhere"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// One step of a rollover script: move the clock, optionally close the log, write a line.
struct RollStep {
    int nAdvanceSeconds;
    bool bUninitFirst;
};

struct RollCase {
    const char* cszWhat;
    int32_t nMaxLines;
    int nStartHour, nStartMinute, nStartSecond;
    std::vector<RollStep> steps;
    // file below Logs/ -> lines it holds
    std::map<std::string, size_t> files;
};

TEST(QNLogRollover, StartsNewFilesAtTheLimitTheDayAndAfterUninit) {
    const std::string strDay = "QelRepair/2026_12_09/QelRepair_2026_12_09_";
    const std::vector<RollCase> cases = {
        {"the third line opens a second file", 2, 8, 14, 27,
         {{0, false}, {1, false}, {1, false}},
         {{strDay + "08_14_27.log", 2}, {strDay + "08_14_29.log", 1}}},
        {"files opened within one second add up and lose nothing", 2, 8, 14, 27,
         {{0, false}, {0, false}, {0, false}, {0, false}, {0, false}},
         {{strDay + "08_14_27.log", 5}}},
        {"a limit below 1 means 32768", 0, 8, 14, 27,
         {{0, false}, {1, false}, {1, false}},
         {{strDay + "08_14_27.log", 3}}},
        {"a line after midnight goes to the next day's folder", 100, 23, 59, 59,
         {{0, false}, {1, false}},
         {{strDay + "23_59_59.log", 1}, {"QelRepair/2026_12_10/QelRepair_2026_12_10_00_00_00.log", 1}}},
        {"after Uninit the next line opens a new file", 100, 8, 14, 27,
         {{0, false}, {5, true}, {1, false}},
         {{strDay + "08_14_27.log", 1}, {strDay + "08_14_32.log", 2}}},
    };
    for (const RollCase& c : cases) {
        SCOPED_TRACE(c.cszWhat);
        FixedClock Clock(2026, 12, 9, c.nStartHour, c.nStartMinute, c.nStartSecond);
        LogCapture Log(QNLOG_FLAG_FILE, c.nMaxLines);
        int nLine = 0;
        for (const RollStep& step : c.steps) {
            Clock.Advance(step.nAdvanceSeconds);
            if (step.bUninitFirst) QNLog_Uninit();
            EXPECT_EQ(QNLog_Printf(7, "line %d", ++nLine), 1);
        }
        std::map<std::string, size_t> files;
        for (const std::string& strFile : Log.Files()) {
            files[strFile] = qn::test::SplitLines(qn::test::ReadFile(Log.root() + "/" + strFile)).size();
        }
        EXPECT_EQ(files, c.files);
        std::vector<std::string> messages = Log.Messages();
        ASSERT_EQ(messages.size(), c.steps.size());
        for (size_t i = 0; i < messages.size(); ++i) EXPECT_EQ(messages[i], "line " + std::to_string(i + 1));
    }
}

TEST(QNLogRollover, ReopensAtTheLimitOf32768Lines) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    LogCapture Log(QNLOG_FLAG_FILE, -5);
    for (int i = 0; i < 32768; ++i) ASSERT_EQ(QNLog_Printf(7, "%d", i), 1);
    Clock.Advance(1);
    EXPECT_EQ(QNLog_Printf(7, "next"), 1);
    std::vector<std::string> files = Log.Files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(qn::test::SplitLines(qn::test::ReadFile(Log.root() + "/" + files[1])).size(), 1u);
}

TEST(QNLogFailure, AFailedOpeningIsRetriedWithTheNextLine) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    qn::test::TempDir Dir;
    LogCapture Log;
    // A regular file where the root folder should be.
    qn::test::WriteFile(Log.root(), "in the way");

    testing::internal::CaptureStderr();
    EXPECT_EQ(QNLog_Printf(7, "lost"), 0);
    EXPECT_EQ(QNLog_Printf(7, "lost too"), 0) << "each line tries to open again";
    std::string strStderr = testing::internal::GetCapturedStderr();
    const std::string strMessage = "QNLog: QN_mkdir(\"" + Log.root() + "/\") failed = File exists\n";
    EXPECT_EQ(strStderr, strMessage + strMessage);

    std::filesystem::remove(Log.root());
    Clock.Advance(1);
    EXPECT_EQ(QNLog_Printf(7, "kept"), 1);
    EXPECT_EQ(Log.Files(), std::vector<std::string>{"QelRepair/2026_12_09/QelRepair_2026_12_09_08_14_28.log"});
    EXPECT_EQ(Log.Messages(), std::vector<std::string>{"kept"});
}

TEST(QNLogFailure, ALineKeepsTheCallersLastError) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    LogCapture Log;
    // The first line opens the day folder and the file, which resets the layer's error.
    errno = ENOENT;
    QN_SetLastErrorFromErrno();
    EXPECT_EQ(QNLog_Printf(7, "a failed call"), 1);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(QN_GetLastErrno(), ENOENT);
    EXPECT_EQ(errno, ENOENT);
}

TEST(QNLogFailure, ALogFolderInTheWayFailsTheLine) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    LogCapture Log;
    qn::test::WriteFile(Log.root() + "/QelRepair", "in the way");
    testing::internal::CaptureStderr();
    EXPECT_EQ(QNLog_Printf(7, "lost"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "QNLog: QN_mkdir(\"" + Log.root() + "/QelRepair/\") failed = File exists\n");
}

TEST(QNLogFailure, AFileThatCannotBeOpenedIsReported) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    LogCapture Log;
    const std::string strPath = Log.root() + "/QelRepair/2026_12_09/QelRepair_2026_12_09_08_14_27.log";
    std::filesystem::create_directories(strPath);  // a folder of the file's name
    testing::internal::CaptureStderr();
    EXPECT_EQ(QNLog_Printf(7, "lost"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "QNLog: open(\"" + strPath + "\") failed = Is a directory\n");
}

TEST(QNLogFailure, AFailedWriteWarnsAndCountsTheLine) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    LogCapture Log(QNLOG_FLAG_FILE, 2);
    // Every write to the file of the first opening fails as on a full disk.
    const std::string strDayFolder = Log.root() + "/QelRepair/2026_12_09";
    qn::testing::SetWriteAllFailure(ENOSPC);

    testing::internal::CaptureStdout();
    EXPECT_EQ(QNLog_Printf(7, "one"), 1);
    EXPECT_EQ(QNLog_Printf(7, "two"), 1);
    qn::testing::SetWriteAllFailure(0);
    const std::string strWarning = "warning : error on write log file, please check your hard disk!\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), strWarning + strWarning);
    // Both lines counted: the third opens the next file.
    Clock.Advance(1);
    EXPECT_EQ(QNLog_Printf(7, "three"), 1);
    EXPECT_EQ(qn::test::ReadFile(strDayFolder + "/QelRepair_2026_12_09_08_14_28.log"),
              "20261209-081428<DEBUG:" + ThreadIdText() + ">: three\n");
}

// Builds an existing folder whose path is exactly nLength characters long.
std::string MakeFolderOfLength(const std::string& strBase, size_t uLength) {
    std::string strPath = strBase;
    while (strPath.size() < uLength) {
        size_t uPart = std::min<size_t>(200, uLength - strPath.size() - 1);
        if (uPart == 0) uPart = 1;
        strPath += "/" + std::string(uPart, 'd');
    }
    std::filesystem::create_directories(strPath);
    return strPath;
}

struct CutCase {
    const char* cszWhat;
    size_t uFolderLength;  // length of ROOT/NAME/
};

TEST(QNLogFailure, CutDayFolderOrFileTextsFailTheOpening) {
    // ROOT/QelRepair/ plus "2026_12_09/" is the day folder; plus
    // "QelRepair_2026_12_09_08_14_27.log" the file. Both must fit in 1023 characters.
    const std::vector<CutCase> cases = {
        {"the file path does not fit", 1000},
        {"the day folder does not fit", 1015},
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.cszWhat);
        FixedClock Clock(2026, 12, 9, 8, 14, 27);
        qn::test::TempDir Dir;
        const size_t uRootLength = c.uFolderLength - std::strlen("/QelRepair/");
        std::string strRoot = MakeFolderOfLength(Dir.path(), uRootLength);
        ASSERT_EQ(strRoot.size(), uRootLength);
        QNLOG_PARAM Param;
        std::memset(&Param, 0, sizeof(Param));
        std::strcpy(Param.root, strRoot.c_str());
        std::strcpy(Param.name, "QelRepair");
        qn::testing::ResetLog();
        ASSERT_EQ(QNLog_Init(&Param, nullptr), 1);
        ASSERT_EQ(qn::testing::LogFolderText().size(), c.uFolderLength);

        testing::internal::CaptureStderr();
        EXPECT_EQ(QNLog_Printf(7, "lost"), 0);
        std::string strStderr = testing::internal::GetCapturedStderr();
        EXPECT_EQ(strStderr.rfind("QNLog: open(\"", 0), 0u) << strStderr;
        EXPECT_NE(strStderr.find("File name too long"), std::string::npos) << strStderr;
        // Nothing was created under a cut name.
        for (const std::string& strFile : qn::test::ListFiles(Dir.path())) ADD_FAILURE() << strFile;
        qn::testing::ResetLog();
    }
}

TEST(QNLogFailure, AFormatterErrorWritesOnlyWhatWasFormatted) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    LogCapture Log;
    // In the C locale a wide character outside ASCII cannot be written by "%ls".
    std::string strLocale = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    int nRetCode = QNLog_Printf(7, "%ls", L"\x4e2d");
    std::setlocale(LC_ALL, strLocale.c_str());
    EXPECT_EQ(nRetCode, 1);
    std::vector<std::string> lines = Log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "20261209-081427<DEBUG:" + ThreadIdText() + ">: \n");
}

TEST(QNLogOutput, CopiesGoToStandardOutputAndError) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    const std::string strLine = "20261209-081427<INFO :" + ThreadIdText() + ">: copy\n";
    struct FlagCase {
        uint32_t uFlags;
        bool bOut, bErr, bFile;
    };
    const std::vector<FlagCase> cases = {
        {QNLOG_FLAG_STDOUT, true, false, false},
        {QNLOG_FLAG_STDERR, false, true, false},
        {QNLOG_FLAG_FILE | QNLOG_FLAG_STDOUT | QNLOG_FLAG_STDERR, true, true, true},
    };
    for (const FlagCase& c : cases) {
        SCOPED_TRACE(c.uFlags);
        LogCapture Log(c.uFlags);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(QNLog_Printf(6, "copy"), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.bOut ? strLine : "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.bErr ? strLine : "");
        EXPECT_EQ(Log.Lines(), c.bFile ? std::vector<std::string>{strLine} : std::vector<std::string>{});
    }
}

TEST(QNLogConcurrency, LinesFromManyThreadsStayWhole) {
    const int nThreads = 8;
    const int nLinesPerThread = 2000;
    LogCapture Log(QNLOG_FLAG_FILE, 1000);
    std::vector<std::thread> threads;
    for (int t = 0; t < nThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < nLinesPerThread; ++i) {
                QNLog_Printf(7, "thread %d line %d %s", t, i, "payload-payload-payload-payload");
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    const std::regex Line(R"(\d{8}-\d{6}<DEBUG:[0-9A-F]{8}>: thread (\d) line (\d+) payload-payload-payload-payload\n)");
    std::vector<std::vector<bool>> seen(nThreads, std::vector<bool>(nLinesPerThread, false));
    size_t uLines = 0;
    for (const std::string& strLine : Log.Lines()) {
        std::smatch m;
        ++uLines;
        if (!std::regex_match(strLine, m, Line)) {
            ADD_FAILURE() << "broken line: " << strLine;
            continue;
        }
        int t = std::stoi(m[1]);
        int i = std::stoi(m[2]);
        ASSERT_LT(t, nThreads);
        ASSERT_LT(i, nLinesPerThread);
        EXPECT_FALSE(seen[t][i]) << "twice: " << strLine;
        seen[t][i] = true;
    }
    EXPECT_EQ(uLines, (size_t)(nThreads * nLinesPerThread));
    for (int t = 0; t < nThreads; ++t) {
        EXPECT_EQ(std::count(seen[t].begin(), seen[t].end(), true), nLinesPerThread) << "thread " << t;
    }
}

// What the application does: root "Logs" and name "QelRepair" relative to the working folder,
// with the real clock.
TEST(QNLogProgram, WritesTheDatedFileBelowTheWorkingFolder) {
    qn::test::TempDir Dir;
    std::string strOldCwd = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(Dir.path().c_str()), 0);
    QNLOG_PARAM Param;
    std::memset(&Param, 0, sizeof(Param));
    std::strcpy(Param.root, "Logs");
    std::strcpy(Param.name, "QelRepair");
    qn::testing::ResetLog();
    ASSERT_EQ(QNLog_Init(&Param, nullptr), 1);
    EXPECT_EQ(QNLog_Printf(6, "QelRepair started, version %s", "1.0.0.1"), 1);
    EXPECT_EQ(QNLog_Printf(7, "QNLOG_PROCESS_ERROR(%s) at line %d in %s\n", "nRetCode", 12, "QN_Main"), 1);
    QNLog_Uninit();
    qn::testing::ResetLog();
    ASSERT_EQ(chdir(strOldCwd.c_str()), 0);

    std::vector<std::string> files = qn::test::ListFiles(Dir.path());
    ASSERT_EQ(files.size(), 1u);
    std::smatch m;
    const std::regex File(R"(Logs/QelRepair/(\d{4})_(\d\d)_(\d\d)/QelRepair_(\d{4})_(\d\d)_(\d\d)_\d\d_\d\d_\d\d\.log)");
    ASSERT_TRUE(std::regex_match(files[0], m, File)) << files[0];
    EXPECT_EQ(m[1], m[4]);
    EXPECT_EQ(m[2], m[5]);
    EXPECT_EQ(m[3], m[6]);

    std::vector<std::string> lines = qn::test::SplitLines(qn::test::ReadFile(Dir / files[0]));
    ASSERT_EQ(lines.size(), 2u);
    const std::string strTid = ThreadIdText();
    const std::regex Info(R"(\d{8}-\d{6}<INFO :)" + strTid + R"(>: QelRepair started, version 1\.0\.0\.1\n)");
    const std::regex Debug(R"(\d{8}-\d{6}<DEBUG:)" + strTid + R"(>: QNLOG_PROCESS_ERROR\(nRetCode\) at line 12 in QN_Main\n)");
    EXPECT_TRUE(std::regex_match(lines[0], Info)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], Debug)) << lines[1];
    EXPECT_EQ(lines[0].substr(0, 4), std::string(m[1])) << "the line's year";
}

}  // namespace
