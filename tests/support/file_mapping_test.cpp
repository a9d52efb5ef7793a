#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "QN_FileMapping.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_test_env.h"
#include "support_test_hooks.h"

using qn::test::LogCapture;
using qn::test::TempDir;
using qn::test::WithoutLineNumbers;
using Lines = std::vector<std::string>;

namespace {

constexpr uint32_t KiB = 1024;
constexpr uint32_t MiB = 1024 * 1024;

struct WindowHook {
    explicit WindowHook(uint32_t uBytes) { qn::testing::SetFileMappingWindow(uBytes); }
    ~WindowHook() { qn::testing::SetFileMappingWindow(0); }
};

std::string RandomBytes(size_t uSize, uint32_t uSeed) {
    std::mt19937 rng(uSeed);
    std::string s(uSize, '\0');
    for (char& c : s) c = (char)(rng() & 0xFF);
    return s;
}

class SupportFileMapping : public ::testing::Test {
protected:
    void SetUp() override {
        m_nFdsBefore = qn::test::CountOpenFds();
        m_nViewsBefore = qn::testing::LiveMappingViews();
    }
    void TearDown() override {
        EXPECT_EQ(qn::test::CountOpenFds(), m_nFdsBefore);
        EXPECT_EQ(qn::testing::LiveMappingViews(), m_nViewsBefore);
    }
    TempDir m_dir;
    int m_nFdsBefore = 0;
    int64_t m_nViewsBefore = 0;
};

}  // namespace

TEST_F(SupportFileMapping, RandomRangesMatchTheFile) {
    WindowHook Hook(128 * KiB);
    const std::string s = RandomBytes(MiB + 17, 5);
    qn::test::WriteFile(m_dir / "f", s);
    const uint64_t G = 65536, W = 128 * KiB, N = s.size();

    QN_FileMapping Mapping;
    ASSERT_EQ(Mapping.Init((m_dir / "f").c_str(), nullptr), 1);
    EXPECT_EQ(Mapping.GetFileSize(), N);

    std::mt19937 rng(6);
    int nServed = 0;
    LogCapture Log;
    for (int i = 0; i < 200; ++i) {
        uint32_t uOffset = (uint32_t)(rng() % (N + 1));
        uint32_t uSize = (uint32_t)(rng() % (160 * KiB));
        // A range is served when it lies in the file and in one window from its rounded start.
        uint64_t uViewStart = uOffset - uOffset % G;
        uint64_t uViewEnd = std::min<uint64_t>(uViewStart + W, N);
        bool bServed = uOffset < N && (uint64_t)uOffset + uSize <= uViewEnd;
        const uint8_t* pb = nullptr;
        int nResult = Mapping.GetData(uOffset, uSize, &pb);
        ASSERT_EQ(nResult, bServed ? 1 : 0) << uOffset << "+" << uSize;
        if (nResult) {
            ++nServed;
            ASSERT_EQ(std::memcmp(pb, s.data() + uOffset, uSize), 0) << uOffset << "+" << uSize;
        }
    }
    EXPECT_GT(nServed, 100);
    // After any remap the mapping still serves the start and the last byte.
    const uint8_t* pb = nullptr;
    ASSERT_EQ(Mapping.GetData(0, 16, &pb), 1);
    EXPECT_EQ(std::memcmp(pb, s.data(), 16), 0);
    ASSERT_EQ(Mapping.GetData((uint32_t)N - 1, 1, &pb), 1);
    EXPECT_EQ((char)*pb, s.back());
}

TEST_F(SupportFileMapping, RangeFailures) {
    const std::string s = RandomBytes(300 * KiB, 7);
    qn::test::WriteFile(m_dir / "f", s);
    QN_FileMapping Mapping;
    ASSERT_EQ(Mapping.Init((m_dir / "f").c_str(), nullptr), 1);
    const uint32_t N = (uint32_t)s.size();
    const std::string strIn = " at line N in QN_FileMapping::GetData";
    const std::string strRemap = " at line N in QN_FileMapping::_ReMappingData";
    struct Row {
        uint32_t uOffset;
        uint32_t uSize;
        Lines lines;
    } rows[] = {
        {0, N + 1, {"QNLOG_PROCESS_ERROR(m_uOffset + m_uMappingSize - uOffset >= uSize)" + strIn}},
        // The end of this range passes 4 GiB; in 32 bits it would look like a range inside
        // the view.
        {100, 0xFFFFFFF0u, {"QNLOG_PROCESS_ERROR(m_uOffset + m_uMappingSize - uOffset >= uSize)" + strIn}},
        {N - 10, 11, {"QNLOG_PROCESS_ERROR(m_uOffset + m_uMappingSize - uOffset >= uSize)" + strIn}},
        {N, 0, {"QNLOG_PROCESS_ERROR(uOffset < m_uOffset + m_uMappingSize)" + strIn}},
        {0xFFFF0000u, 0x20000u,
         {"QNLOG_PROCESS_ERROR(m_uOffset <= m_uFileSize)" + strRemap,
          "QNLOG_PROCESS_ERROR(nRetCode)" + strIn}},
    };
    for (const Row& r : rows) {
        LogCapture Log;
        const uint8_t* pb = nullptr;
        EXPECT_EQ(Mapping.GetData(r.uOffset, r.uSize, &pb), 0) << r.uOffset << "+" << r.uSize;
        EXPECT_EQ(WithoutLineNumbers(Log.Messages()), r.lines) << r.uOffset << "+" << r.uSize;
    }
    LogCapture Log;
    EXPECT_EQ(Mapping.GetData(0, 1, nullptr), 0);
    EXPECT_EQ(WithoutLineNumbers(Log.Messages()), Lines{"QNLOG_PROCESS_ERROR(ppvRetData)" + strIn});
    // A failed range leaves the mapping usable.
    const uint8_t* pb = nullptr;
    ASSERT_EQ(Mapping.GetData(N - 5, 5, &pb), 1);
    EXPECT_EQ(std::memcmp(pb, s.data() + N - 5, 5), 0);
}

TEST_F(SupportFileMapping, InitFailures) {
    qn::test::WriteFile(m_dir / "empty", "");
    qn::test::WriteFile(m_dir / "f", "abc");
    const std::string strEmpty = m_dir / "empty";
    const std::string strMissing = m_dir / "missing";
    const std::string strIn = " at line N in QN_FileMapping::Init";
    struct Row {
        const char* cszName;
        Lines lines;
    } rows[] = {
        {nullptr,
         {"QNLOG_PROCESS_ERROR(cszFileName)" + strIn, "Failed to open file (null), GetLastError() = 0"}},
        {"", {"QNLOG_PROCESS_ERROR(cszFileName[0])" + strIn, "Failed to open file , GetLastError() = 0"}},
        {strMissing.c_str(),
         {"QNLOG_PROCESS_ERROR(m_hFile != INVALID_HANDLE_VALUE)" + strIn,
          "Failed to open file " + strMissing + ", GetLastError() = 2"}},
        // An empty file cannot be mapped.
        {strEmpty.c_str(),
         {"QNLOG_PROCESS_ERROR(m_hMapping)" + strIn,
          "Failed to open file " + strEmpty + ", GetLastError() = 1006"}},
    };
    for (const Row& r : rows) {
        LogCapture Log;
        QN_FileMapping Mapping;
        EXPECT_EQ(Mapping.Init(r.cszName, nullptr), 0);
        EXPECT_EQ(WithoutLineNumbers(Log.Messages()), r.lines);
    }

    // Data before Init fails cleanly.
    {
        LogCapture Log;
        QN_FileMapping Mapping;
        const uint8_t* pb = nullptr;
        EXPECT_EQ(Mapping.GetData(0, 1, &pb), 0);
        EXPECT_EQ(WithoutLineNumbers(Log.Messages()),
                  (Lines{"QNLOG_PROCESS_ERROR(m_hMapping) at line N in QN_FileMapping::_ReMappingData",
                         "QNLOG_PROCESS_ERROR(nRetCode) at line N in QN_FileMapping::GetData"}));
    }

    // A second Init fails and leaves the first file mapped.
    QN_FileMapping Mapping;
    ASSERT_EQ(Mapping.Init((m_dir / "f").c_str(), nullptr), 1);
    {
        LogCapture Log;
        EXPECT_EQ(Mapping.Init((m_dir / "f").c_str(), nullptr), 0);
        Lines lines = WithoutLineNumbers(Log.Messages());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "QNLOG_PROCESS_ERROR(m_hFile == INVALID_HANDLE_VALUE)" + strIn);
    }
    const uint8_t* pb = nullptr;
    ASSERT_EQ(Mapping.GetData(0, 3, &pb), 1);
    EXPECT_EQ(std::memcmp(pb, "abc", 3), 0);
    // Clean-up may run any number of times; the destructor runs it once more.
    Mapping.UnInit();
    Mapping.UnInit();
}

TEST_F(SupportFileMapping, WholeFileInOneViewOnlyUpToTheViewSize) {
    qn::test::WriteFile(m_dir / "small", "");
    std::filesystem::resize_file(m_dir / "small", 100ull * MiB);
    qn::test::WriteFile(m_dir / "large", "");
    std::filesystem::resize_file(m_dir / "large", 600ull * MiB);
    const uint8_t* pb = nullptr;
    {
        QN_FileMapping Mapping;
        ASSERT_EQ(Mapping.Init((m_dir / "small").c_str(), nullptr), 1);
        EXPECT_EQ(Mapping.GetData(0, 100 * MiB, &pb), 1);
    }
    {
        LogCapture Log;
        QN_FileMapping Mapping;
        ASSERT_EQ(Mapping.Init((m_dir / "large").c_str(), nullptr), 1);
        EXPECT_EQ(Mapping.GetData(0, 600 * MiB, &pb), 0);
        EXPECT_EQ(WithoutLineNumbers(Log.Messages()),
                  Lines{"QNLOG_PROCESS_ERROR(m_uOffset + m_uMappingSize - uOffset >= uSize) at line N "
                        "in QN_FileMapping::GetData"});
        // The part past the first view is reached by moving the view.
        ASSERT_EQ(Mapping.GetData(599 * MiB, MiB, &pb), 1);
        EXPECT_EQ(pb[MiB - 1], 0);
    }
}
