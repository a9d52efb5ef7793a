#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QN_LogW.h"
#include "qn_log_capture.h"

using qn::test::FixedClock;
using qn::test::LogCapture;

int g_nProbeLine = 0;

int QN_DataFileReaderInitProbe(const wchar_t* pcszDirectory) {
    int nResult = 0;
    g_nProbeLine = __LINE__; QNLOG_ASSERT_EXIT(pcszDirectory && pcszDirectory[0] == L'x');
    nResult = 1;
Exit0:
    return nResult;
}

namespace {

TEST(QNPlatformLogAdapter, WritesWideLinesIntoTheLogAsUtf8) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    LogCapture Log;
    QN_PlatformLogAdapter* pAdapter = new QN_PlatformLogAdapter;
    gs_hLogStream = QN_RegisterLogStream(pAdapter);
    ASSERT_EQ(gs_hLogStream, pAdapter);
    pAdapter->Release();

    QN_LogPrintfW(L"路径 %ls %d", L"é", 7);
    EXPECT_EQ(QN_DataFileReaderInitProbe(L"y"), 0);

    EXPECT_EQ(QN_UnregisterLogStream(), 1);
    gs_hLogStream = nullptr;
    std::vector<std::string> messages = Log.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "路径 é 7");
    EXPECT_EQ(messages[1],
              "QNLOG_ASSERT_EXIT(pcszDirectory && pcszDirectory[0] == L'x') at line " +
                  std::to_string(g_nProbeLine) + " in QN_DataFileReaderInitProbe");
    EXPECT_NE(Log.Lines()[1].find("<DEBUG:"), std::string::npos);
}

}  // namespace
