#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "QN_Log.h"
#include "qn_log_capture.h"
#include "qn_platform.h"
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

}  // namespace
