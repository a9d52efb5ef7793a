#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "QN_DataFile.h"
#include "file_layer_fixture.h"
#include "qn_file.h"
#include "qn_file_mapping.h"
#include "qn_platform.h"
#include "repair_test_hooks.h"

using qn::test::FileLayerTest;
using qn::test::PatternBytes;
using qn::test::Wide;

namespace {

constexpr uint64_t S = 256 * 1024;  // size of each data file
constexpr uint32_t N = 4;           // number of data files
constexpr char E = (char)0xCE;

std::string DataFileName(uint32_t i) { return "Package" + std::to_string(i) + ".DAT"; }

std::vector<uint32_t> g_ViewSizes;
void RecordViewSize(uint64_t, uint32_t uSize, uint32_t) { g_ViewSizes.push_back(uSize); }

// A package folder of N data files of S bytes of 0xCE, and a byte image of them to compare
// the files with after each change.
class DataFileTest : public FileLayerTest {
protected:
    void SetUp() override {
        FileLayerTest::SetUp();
        m_strPak = m_Dir / "pakV3";
        ASSERT_EQ(mkdir(m_strPak.c_str(), 0755), 0);
        m_Image.assign(N, std::string(S, E));
        for (uint32_t i = 0; i < N; ++i) qn::test::WriteFile(Path(i), m_Image[i]);
        qn::testing::SetDataFileOpenRetryDelay(1);
    }
    void TearDown() override {
        qn::testing::SetDataFileOpenRetryDelay(0);
        qn::testing::SetEmptyFillPieceSize(0);
        FileLayerTest::TearDown();
    }

    std::string Path(uint32_t i) const { return m_strPak + "/" + DataFileName(i); }
    std::wstring WPak() const { return Wide(m_strPak); }

    // Fills every data file with its own pattern.
    void FillWithPattern() {
        for (uint32_t i = 0; i < N; ++i) {
            m_Image[i] = PatternBytes(S, 100 + i);
            qn::test::WriteFile(Path(i), m_Image[i]);
        }
    }
    void Poke(uint64_t ullPosition, char c) {
        uint32_t i = (uint32_t)(ullPosition / S);
        m_Image[i][ullPosition % S] = c;
        int fd = open(Path(i).c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, &c, 1, (off_t)(ullPosition % S)), 1);
        close(fd);
    }
    // The whole of every data file equals the image.
    void ExpectFilesEqualImage(const char* cszWhen) {
        for (uint32_t i = 0; i < N; ++i) {
            std::string bytes = qn::test::ReadFile(Path(i));
            ASSERT_EQ(bytes.size(), m_Image[i].size()) << cszWhen << ", file " << i;
            if (bytes != m_Image[i]) {
                size_t k = 0;
                while (bytes[k] == m_Image[i][k]) ++k;
                FAIL() << cszWhen << ": file " << i << " differs first at offset " << k;
            }
        }
    }

    std::string m_strPak;
    std::vector<std::string> m_Image;
};

}  // namespace

TEST_F(DataFileTest, PositionsSplitIntoFileAndOffset) {
    struct Row {
        uint64_t ullPosition;
        bool bInside;
        uint32_t uFile;
        uint64_t ullOffset;
    } rows[] = {
        {0, true, 0, 0},           {S - 1, true, 0, S - 1}, {S, true, 1, 0},
        {3 * S + 5, true, 3, 5},   {4 * S - 1, true, 3, S - 1},
        {4 * S, false, 0, 0},      {UINT64_MAX, false, 0, 0},
    };
    QN_DataFileWriter writer;
    ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1);
    for (const Row& r : rows) {
        m_Log.Clear();
        const uint8_t byMark = 0x11;
        EXPECT_EQ(writer.WriteData(r.ullPosition, 1, &byMark), r.bInside ? 1 : 0) << r.ullPosition;
        if (r.bInside) {
            m_Image[r.uFile][r.ullOffset] = (char)byMark;
        } else {
            EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(uDataFielIndex < m_FileMappingArray.size())")) << m_Log.Dump();
        }
    }
    ASSERT_EQ(writer.Uninit(), 1);
    ExpectFilesEqualImage("after the marks");

    QN_DataFileReader reader;
    ASSERT_EQ(reader.Init(WPak().c_str(), S, N), 1);
    for (const Row& r : rows) {
        m_Log.Clear();
        EXPECT_EQ(reader.IsEmptySpace(r.ullPosition, 1), 0) << r.ullPosition;
        if (r.bInside) {
            std::wstring line = L"VALIDATE ERROR: The empty data is not 'CE'. Data File Index = " +
                                std::to_wstring(r.uFile) + L", Offset In file = " + std::to_wstring(r.ullOffset) +
                                L". Size = 1";
            EXPECT_EQ(m_Log.Count(line), 1u) << m_Log.Dump();
        } else {
            EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(uDataFielIndex < m_fpDataFileArray.size())")) << m_Log.Dump();
        }
    }
    reader.Uninit();
}

TEST_F(DataFileTest, EmptySpaceIsCheckedInChunksAndAcrossFiles) {
    const uint64_t P = S + 1000;  // a 1500-byte region in file 1
    ::truncate(Path(2).c_str(), (off_t)(S - 100));
    m_Image[2].resize(S - 100);
    struct Row {
        const char* cszName;
        uint64_t ullPosition;
        uint64_t ullSize;
        std::vector<uint64_t> dirty;  // positions that do not hold 0xCE
        int nResult;
        std::wstring line;  // a line that must appear exactly once ("" for none)
    } rows[] = {
        {"clean", P, 1500, {}, 1, L""},
        {"first byte", P, 1500, {P}, 0, L"Data File Index = 1, Offset In file = 1000. Size = 1024"},
        {"end of first chunk", P, 1500, {P + 1023}, 0, L"Data File Index = 1, Offset In file = 1000. Size = 1024"},
        {"start of last chunk", P, 1500, {P + 1024}, 0, L"Data File Index = 1, Offset In file = 2024. Size = 476"},
        {"last byte", P, 1500, {P + 1499}, 0, L"Data File Index = 1, Offset In file = 2024. Size = 476"},
        {"byte after the region", P, 1500, {P + 1500}, 1, L""},
        {"size 0", P, 0, {}, 0, L"QNLOG_ASSERT_EXIT(ullSize > 0)"},
        {"across files, clean", S - 10, 20, {}, 1, L""},
        {"across files, dirty in the second", S - 10, 20, {S + 5}, 0,
         L"Data File Index = 1, Offset In file = 0. Size = 10"},
        {"across files, dirty in the first", S - 10, 20, {S - 1}, 0,
         L"Data File Index = 0, Offset In file = 262134. Size = 10"},
        {"past the last file", 4 * S - 10, 20, {}, 0,
         L"QNLOG_ASSERT_EXIT(uDataFielIndex < m_fpDataFileArray.size())"},
        {"short data file", 3 * S - 200, 150, {}, 0, L"QNLOG_PROCESS_ERROR(uReadCount == 1)"},
    };
    for (const Row& r : rows) {
        for (uint64_t d : r.dirty) Poke(d, 'x');
        QN_DataFileReader reader;
        ASSERT_EQ(reader.Init(WPak().c_str(), S, N), 1);
        m_Log.Clear();
        EXPECT_EQ(reader.IsEmptySpace(r.ullPosition, r.ullSize), r.nResult) << r.cszName;
        EXPECT_EQ(m_Log.Count(L"VALIDATE ERROR"), r.dirty.empty() || r.nResult ? 0u : 1u) << r.cszName << m_Log.Dump();
        if (!r.line.empty()) {
            EXPECT_EQ(m_Log.Count(r.line), 1u) << r.cszName << "\n" << m_Log.Dump();
        }
        reader.Uninit();
        for (uint64_t d : r.dirty) Poke(d, E);
    }
}

// A reader that stays open while the writer works reads what the files hold at each check,
// not what its stream read before.
TEST_F(DataFileTest, ReaderSeesWritesMadeAfterItsLastCheck) {
    const uint64_t P = S + 1000;
    QN_DataFileReader reader;
    ASSERT_EQ(reader.Init(WPak().c_str(), S, N), 1);
    QN_DataFileWriter writer;
    ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1);
    EXPECT_EQ(reader.IsEmptySpace(P, 1500), 1);
    ASSERT_EQ(writer.WriteData(P + 700, 1, (const uint8_t*)"x"), 1);
    EXPECT_EQ(reader.IsEmptySpace(P, 1500), 0) << "a block written into the region";
    ASSERT_EQ(writer.RemoveData(P + 700, 1), 1);
    EXPECT_EQ(reader.IsEmptySpace(P, 1500), 1) << "the region refilled";
    ASSERT_EQ(writer.Uninit(), 1);
    reader.Uninit();
}

TEST_F(DataFileTest, ReaderInitReleasesEverythingOnFailure) {
    {
        QN_DataFileReader reader;
        ASSERT_EQ(reader.Init(WPak().c_str(), S, N), 1);
        m_Log.Clear();
        EXPECT_EQ(reader.Uninit(), 1);
        EXPECT_TRUE(m_Log.Has(L"Close DATA file count:4"));
    }

    // A missing file: retried, then the line, and none of the other streams stays open.
    ASSERT_EQ(::unlink(Path(2).c_str()), 0);
    {
        QN_DataFileReader reader;
        m_Log.Clear();
        EXPECT_EQ(reader.Init(WPak().c_str(), S, N), 0);
        EXPECT_EQ(m_Log.Count(L"Open DATA file error:2. File Path = " + Wide(Path(2))), 1u) << m_Log.Dump();
        EXPECT_EQ(qn::test::CountOpenFds(), m_nFdsAtStart);
        EXPECT_EQ(reader.IsEmptySpace(0, 1), 0);
    }
    qn::test::WriteFile(Path(2), std::string(S, E));

    // A second Init fails, whatever its arguments, and closes the streams of the first.
    struct Row {
        const wchar_t* cwszDirectory;
        uint64_t ullSize;
        uint32_t uCount;
        const wchar_t* cwszLine;
    } rows[] = {
        {L"", S, N, L"QNLOG_ASSERT_EXIT(m_fpDataFileArray.empty())"},
        {nullptr, S, N, L"QNLOG_ASSERT_EXIT(pcszDirectory)"},
        {L"", 0, N, L"QNLOG_ASSERT_EXIT(ullMaxSizePerDataFile > 0)"},
        {L"", S, 0, L"QNLOG_ASSERT_EXIT(uFileCount > 0)"},
    };
    for (const Row& r : rows) {
        QN_DataFileReader reader;
        ASSERT_EQ(reader.Init(WPak().c_str(), S, N), 1);
        EXPECT_GT(qn::test::CountOpenFds(), m_nFdsAtStart);
        m_Log.Clear();
        const std::wstring dir = r.cwszDirectory && !r.cwszDirectory[0] ? WPak() : L"";
        EXPECT_EQ(reader.Init(r.cwszDirectory ? dir.c_str() : nullptr, r.ullSize, r.uCount), 0);
        EXPECT_EQ(m_Log.Count(r.cwszLine), 1u) << m_Log.Dump();
        EXPECT_EQ(qn::test::CountOpenFds(), m_nFdsAtStart);
        // And the reader can be used again.
        ASSERT_EQ(reader.Init(WPak().c_str(), S, N), 1);
        EXPECT_EQ(reader.IsEmptySpace(0, 100), 1);
    }  // the destructor closes the streams
}

TEST_F(DataFileTest, BlockWritesChangeOnlyTheirBytes) {
    FillWithPattern();
    // File 0 is longer than the data-file size: its bytes past S are no part of the package.
    m_Image[0] += PatternBytes(4096, 99);
    qn::test::WriteFile(Path(0), m_Image[0]);
    const uint32_t g = QN_GetAllocationGranularity();
    struct Row {
        const char* cszName;
        uint64_t ullPosition;
        uint64_t ullSize;
        bool bOk;
        const wchar_t* cwszLine;
    } rows[] = {
        {"start of a file", 2 * S, 100, true, nullptr},
        {"across a granule seam", S + g - 50, 100, true, nullptr},
        {"last bytes of a file", S - 100, 100, true, nullptr},
        {"a whole file", 3 * S, S, true, nullptr},
        {"across the end of a file", 2 * S - 50, 100, false, L"QNLOG_ASSERT_EXIT(ullOffset + ullSize <= ullMaxSizePerDataFile)"},
        {"across the end of a longer file", S - 50, 100, false, L"QNLOG_ASSERT_EXIT(ullOffset + ullSize <= ullMaxSizePerDataFile)"},
        {"size 0", 0, 0, false, L"QNLOG_ASSERT_EXIT(ullSize > 0)"},
        {"4 GiB", 0, 1ull << 32, false, L"QNLOG_ASSERT_EXIT(ullSize <= 0xFFFFFFFF)"},
        {"4 GiB and more", S, (1ull << 32) + 10, false, L"QNLOG_ASSERT_EXIT(ullSize <= 0xFFFFFFFF)"},
    };
    QN_DataFileWriter writer;
    ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1);
    uint32_t uSeed = 1;
    for (const Row& r : rows) {
        m_Log.Clear();
        // Small rows get a buffer of their own size; the refused big ones never read theirs.
        std::string block = PatternBytes(r.ullSize < S + 1 ? (size_t)r.ullSize : 16, uSeed++);
        EXPECT_EQ(writer.WriteData(r.ullPosition, r.ullSize, (const uint8_t*)block.data()), r.bOk ? 1 : 0)
            << r.cszName;
        if (r.bOk) {
            m_Image[r.ullPosition / S].replace(r.ullPosition % S, block.size(), block);
        } else {
            EXPECT_TRUE(m_Log.Has(r.cwszLine)) << r.cszName << "\n" << m_Log.Dump();
        }
        ExpectFilesEqualImage(r.cszName);
    }
    m_Log.Clear();
    EXPECT_EQ(writer.WriteData(0, 1, nullptr), 0);
    EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(pbyDataBuffer)"));
    ASSERT_EQ(writer.Uninit(), 1);
    ExpectFilesEqualImage("after Uninit");
    m_Log.Clear();
    EXPECT_EQ(writer.WriteData(0, 1, (const uint8_t*)"x"), 0);
    EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(!m_FileMappingArray.empty())"));
}

TEST_F(DataFileTest, EmptyRegionsAreRefilledAcrossFilesButNeverPastTheLast) {
    FillWithPattern();
    struct Row {
        const char* cszName;
        uint64_t ullPosition;
        uint64_t ullSize;
        bool bOk;
        const wchar_t* cwszLine;
    } rows[] = {
        {"inside a file", S + 7, 3000, true, nullptr},
        {"across two files", S - 10, 20, true, nullptr},
        {"across three files", S - 5, S + 10, true, nullptr},
        {"to the end of the last file", 4 * S - 64, 64, true, nullptr},
        {"past the last file", 4 * S - 10, 20, false,
         L"QNLOG_ASSERT_EXIT(ullAddress + ullSize <= ullMaxSizePerDataFile * m_FileMappingArray.size())"},
        {"far past the last file", S, UINT64_MAX - S, false,
         L"QNLOG_ASSERT_EXIT(ullAddress + ullSize <= ullMaxSizePerDataFile * m_FileMappingArray.size())"},
        {"beyond the last file", 4 * S, 1, false, L"QNLOG_ASSERT_EXIT(uDataFielIndex < m_FileMappingArray.size())"},
        {"size 0", 0, 0, false, L"QNLOG_ASSERT_EXIT(ullSize > 0)"},
    };
    QN_DataFileWriter writer;
    ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1);
    for (const Row& r : rows) {
        m_Log.Clear();
        EXPECT_EQ(writer.RemoveData(r.ullPosition, r.ullSize), r.bOk ? 1 : 0) << r.cszName;
        if (r.bOk) {
            for (uint64_t p = r.ullPosition; p < r.ullPosition + r.ullSize; ++p) m_Image[p / S][p % S] = E;
        } else {
            EXPECT_TRUE(m_Log.Has(r.cwszLine)) << r.cszName << "\n" << m_Log.Dump();
        }
        ExpectFilesEqualImage(r.cszName);
    }
    ASSERT_EQ(writer.Uninit(), 1);

    // What was refilled reads back as empty, across the file boundary too.
    QN_DataFileReader reader;
    ASSERT_EQ(reader.Init(WPak().c_str(), S, N), 1);
    EXPECT_EQ(reader.IsEmptySpace(S - 5, S + 10), 1);
    EXPECT_EQ(reader.IsEmptySpace(S - 11, 1), 0);
    reader.Uninit();
}

// Random blocks and refills, pieces kept small so that they cross the seams between views.
TEST_F(DataFileTest, RandomWritesAndRefillsMatchAModel) {
    FillWithPattern();
    qn::testing::SetEmptyFillPieceSize(5000);
    std::mt19937_64 rng(77);
    QN_DataFileWriter writer;
    ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1);
    for (int i = 0; i < 200; ++i) {
        const uint64_t ullTotal = N * S;
        if (rng() % 2) {
            uint64_t ullPosition = rng() % ullTotal;
            uint64_t ullRoom = S - ullPosition % S;
            uint64_t ullSize = 1 + rng() % 70000;
            std::string block = PatternBytes((size_t)ullSize, (uint32_t)i + 1000);
            int nResult = writer.WriteData(ullPosition, ullSize, (const uint8_t*)block.data());
            ASSERT_EQ(nResult, ullSize <= ullRoom ? 1 : 0) << "write " << ullPosition << "+" << ullSize;
            if (nResult) m_Image[ullPosition / S].replace(ullPosition % S, block.size(), block);
        } else {
            uint64_t ullPosition = rng() % ullTotal;
            uint64_t ullSize = 1 + rng() % 300000;
            int nResult = writer.RemoveData(ullPosition, ullSize);
            ASSERT_EQ(nResult, ullPosition + ullSize <= ullTotal ? 1 : 0) << "fill " << ullPosition << "+" << ullSize;
            if (nResult) {
                for (uint64_t p = ullPosition; p < ullPosition + ullSize; ++p) m_Image[p / S][p % S] = E;
            }
        }
    }
    ASSERT_EQ(writer.Uninit(), 1);
    ExpectFilesEqualImage("after the random changes");
}

TEST_F(DataFileTest, LargeRefillsUseSixteenMiBPiecesAndOneBuffer) {
    const uint64_t ullBig = 48ull << 20;
    for (uint32_t i = 0; i < N; ++i) ::unlink(Path(i).c_str());
    {
        int fd = open(Path(0).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, (off_t)ullBig), 0) << "sparse";
        close(fd);
    }
    QN_DataFileWriter writer;
    ASSERT_EQ(writer.Init(WPak().c_str(), ullBig, 1), 1);
    const uint64_t ullAllocations = qn::testing::GetEmptyFillBufferAllocations();
    g_ViewSizes.clear();
    qn::testing::SetFileViewMappedHook(RecordViewSize);
    ASSERT_EQ(writer.RemoveData(0, 40ull << 20), 1);
    EXPECT_EQ(g_ViewSizes, (std::vector<uint32_t>{16u << 20, 16u << 20, 8u << 20}));
    ASSERT_EQ(writer.RemoveData(44ull << 20, 1 << 20), 1);
    qn::testing::SetFileViewMappedHook(nullptr);
    EXPECT_EQ(qn::testing::GetEmptyFillBufferAllocations() - ullAllocations, 1u) << "one buffer for both";
    ASSERT_EQ(writer.Uninit(), 1);

    std::string bytes = qn::test::ReadFile(Path(0));
    ASSERT_EQ(bytes.size(), ullBig);
    EXPECT_EQ(bytes.find_first_not_of(E), 40ull << 20);
    EXPECT_EQ(bytes.substr(40ull << 20, 4ull << 20), std::string(4u << 20, '\0'));
    EXPECT_EQ(bytes.substr(44ull << 20, 1u << 20), std::string(1u << 20, E));
    EXPECT_EQ(bytes.substr(45ull << 20), std::string(3u << 20, '\0'));
}

TEST_F(DataFileTest, UninitStampsOnlyTheChangedFiles) {
    const time_t t2001 = 978307200;  // 2001-01-01 00:00:00 UTC
    // An access time in the future, which the kernel's relatime rule leaves alone when the
    // file is mapped, so that any change to it is ours.
    const time_t tAccess = std::time(nullptr) + 365 * 24 * 3600;
    for (uint32_t i = 0; i < N; ++i) {
        struct timespec times[2] = {{tAccess, 0}, {t2001, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, Path(i).c_str(), times, 0), 0);
    }
    // A file's time stamp may come from the kernel's coarse clock or from its fine one, which
    // runs up to a tick ahead: the interval opens on the coarse clock and closes on the fine one.
    auto secondsOf = [](clockid_t clock) {
        struct timespec ts {};
        clock_gettime(clock, &ts);
        return ts.tv_sec;
    };
    const time_t tBefore = secondsOf(CLOCK_REALTIME_COARSE);
    {
        QN_DataFileWriter writer;
        ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1);
        ASSERT_EQ(writer.WriteData(S + 10, 3, (const uint8_t*)"abc"), 1);
        ASSERT_EQ(writer.Uninit(), 1);
    }
    const time_t tAfter = secondsOf(CLOCK_REALTIME);
    for (uint32_t i = 0; i < N; ++i) {
        struct stat st;
        ASSERT_EQ(stat(Path(i).c_str(), &st), 0);
        if (i == 1) {
            EXPECT_GE(st.st_mtime, tBefore);
            EXPECT_LE(st.st_mtime, tAfter);
        } else {
            EXPECT_EQ(st.st_mtime, t2001) << "file " << i;
        }
        EXPECT_EQ(st.st_atime, tAccess) << "file " << i;
    }
}

// Stamping that fails still releases the mappings, the manager and the fill buffer, so the
// writer can be initialised again.
TEST_F(DataFileTest, UninitReleasesEverythingWhenStampingFails) {
    QN_DataFileWriter writer;
    ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1);
    ASSERT_EQ(writer.RemoveData(S, 10), 1);
    const uint64_t ullAllocations = qn::testing::GetEmptyFillBufferAllocations();
    ASSERT_EQ(::unlink(Path(1).c_str()), 0);
    m_Log.Clear();
    EXPECT_EQ(writer.Uninit(), 0);
    EXPECT_TRUE(m_Log.Has(L"QNLOG_PROCESS_ERROR(hFile != INVALID_HANDLE_VALUE)")) << m_Log.Dump();
    EXPECT_TRUE(m_Log.Has(L"QNLOG_PROCESS_ERROR(nRetCode)")) << m_Log.Dump();
    EXPECT_EQ(qn::test::CountOpenFds(), m_nFdsAtStart);
    EXPECT_EQ(qn::test::LiveMappings(), m_ullMappingsAtStart);

    qn::test::WriteFile(Path(1), std::string(S, E));
    ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1) << m_Log.Dump();
    ASSERT_EQ(writer.RemoveData(0, 10), 1);
    EXPECT_EQ(qn::testing::GetEmptyFillBufferAllocations() - ullAllocations, 1u) << "the buffer was freed";
    EXPECT_EQ(writer.Uninit(), 1);
}

TEST_F(DataFileTest, WriterInitCases) {
    // No data files: nothing is mapped, and the writer works as an empty one.
    {
        QN_DataFileWriter writer;
        EXPECT_EQ(writer.Init(WPak().c_str(), S, 0), 1);
        EXPECT_EQ(writer.WriteData(0, 1, (const uint8_t*)"x"), 0);
        m_Log.Clear();
        EXPECT_EQ(writer.Init(WPak().c_str(), S, 0), 0);
        EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(!m_bInitialized)")) << m_Log.Dump();
        EXPECT_EQ(writer.Init(WPak().c_str(), S, 0), 1);
        EXPECT_EQ(writer.Uninit(), 1);
    }
    // A read-only data file is made writable and mapped.
    ASSERT_EQ(chmod(Path(2).c_str(), 0444), 0);
    {
        QN_DataFileWriter writer;
        ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1) << m_Log.Dump();
        struct stat st;
        ASSERT_EQ(stat(Path(2).c_str(), &st), 0);
        EXPECT_TRUE(st.st_mode & S_IWUSR);
        ASSERT_EQ(writer.WriteData(2 * S, 2, (const uint8_t*)"ro"), 1);
        m_Image[2].replace(0, 2, "ro");

        // A second Init fails and gives up what the first held.
        m_Log.Clear();
        EXPECT_EQ(writer.Init(WPak().c_str(), S, N), 0);
        EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(m_FileMappingArray.empty())"));
        EXPECT_EQ(qn::test::CountOpenFds(), m_nFdsAtStart);
        EXPECT_EQ(writer.WriteData(0, 1, (const uint8_t*)"x"), 0);
    }
    ExpectFilesEqualImage("after the read-only file");

    struct Row {
        const char* cszName;
        void (*pfnBreak)(const std::string& path);
        std::vector<std::wstring> lines;
    } rows[] = {
        {"empty data file", [](const std::string& p) { qn::test::WriteFile(p, ""); },
         {L"CreateFileMapping error:", L"ERROR: CreateFileMapping failed. szDataFilePath = "}},
        {"missing data file", [](const std::string& p) { ::unlink(p.c_str()); },
         {L"ERROR: CreateFileMapping failed. szDataFilePath = "}},
        {"folder in its place",
         [](const std::string& p) {
             ::unlink(p.c_str());
             ::mkdir(p.c_str(), 0755);
         },
         {L"ERROR: CreateFileMapping failed. szDataFilePath = "}},
    };
    for (const Row& r : rows) {
        r.pfnBreak(Path(3));
        QN_DataFileWriter writer;
        m_Log.Clear();
        EXPECT_EQ(writer.Init(WPak().c_str(), S, N), 0) << r.cszName;
        for (const std::wstring& line : r.lines) EXPECT_TRUE(m_Log.Has(line)) << r.cszName << "\n" << m_Log.Dump();
        EXPECT_TRUE(m_Log.Has(Wide(Path(3)))) << m_Log.Dump();
        EXPECT_EQ(qn::test::CountOpenFds(), m_nFdsAtStart) << r.cszName;
        ::rmdir(Path(3).c_str());
        qn::test::WriteFile(Path(3), m_Image[3]);
    }
    {
        QN_DataFileWriter writer;
        m_Log.Clear();
        EXPECT_EQ(writer.Init(nullptr, S, N), 0);
        EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(pcszDirectory)"));
        EXPECT_EQ(writer.Init(WPak().c_str(), 0, N), 0);
    }
}

// A relative package folder is resolved once, against the working folder.
TEST_F(DataFileTest, RelativeFolder) {
    char szCwd[4096];
    ASSERT_TRUE(getcwd(szCwd, sizeof(szCwd)));
    ASSERT_EQ(chdir(m_Dir.path().c_str()), 0);
    {
        QN_DataFileWriter writer;
        EXPECT_EQ(writer.Init(L"pakV3", S, N), 1) << m_Log.Dump();
        EXPECT_EQ(writer.WriteData(S + 1, 2, (const uint8_t*)"RL"), 1);
        EXPECT_EQ(writer.Uninit(), 1);
        QN_DataFileReader reader;
        EXPECT_EQ(reader.Init(L"pakV3", S, N), 1);
        EXPECT_EQ(reader.IsEmptySpace(S + 1, 1), 0);
        reader.Uninit();
    }
    ASSERT_EQ(chdir(szCwd), 0);
    m_Image[1].replace(1, 2, "RL");
    ExpectFilesEqualImage("through a relative folder");
}

TEST_F(DataFileTest, DestructorsRelease) {
    {
        QN_DataFileReader reader;
        ASSERT_EQ(reader.Init(WPak().c_str(), S, N), 1);
        QN_DataFileWriter writer;
        ASSERT_EQ(writer.Init(WPak().c_str(), S, N), 1);
        ASSERT_EQ(writer.WriteData(5, 1, (const uint8_t*)"d"), 1);
        ASSERT_EQ(writer.RemoveData(6, 1), 1);
        // A reader and a writer work on the same files side by side.
        EXPECT_EQ(reader.IsEmptySpace(5, 1), 0);
        EXPECT_EQ(reader.IsEmptySpace(6, 100), 1);
    }
    m_Image[0][5] = 'd';
    ExpectFilesEqualImage("after the destructors");
}

TEST(DataFilePath, NameAndPathBounds) {
    qn::test::WideLineCapture log;
    wchar_t szPath[QN_MAX_PATH];
    wchar_t szName[QN_MAX_PATH];
    // "/Package0.DAT" has 13 characters.
    const std::wstring dir246(246, L'd');
    const std::wstring dir247(247, L'd');
    EXPECT_EQ(_GetDataFilePath(dir246.c_str(), L"Package", 0, szPath), 1);
    EXPECT_EQ(std::wstring(szPath), dir246 + L"/Package0.DAT");
    EXPECT_EQ(std::wstring(szPath).size(), 259u);
    EXPECT_EQ(_GetDataFilePath(dir247.c_str(), L"Package", 0, szPath), 0);
    EXPECT_TRUE(log.Has(L"QNLOG_PROCESS_ERROR(nRetCode != -1)"));
    EXPECT_EQ(_GetDataFilePath(L"/p", L"Package", 4294967295u, szPath), 1);
    EXPECT_EQ(std::wstring(szPath), L"/p/Package4294967295.DAT");

    EXPECT_EQ(QN_FormatDataFileNameAndPath(L"/p", L"Package", 7, szName, szPath), 1);
    EXPECT_EQ(std::wstring(szName), L"Package7.DAT");
    EXPECT_EQ(std::wstring(szPath), L"/p/Package7.DAT");

    log.Clear();
    EXPECT_EQ(_GetDataFilePath(L"/p", L"Package", 0, nullptr), 0);
    EXPECT_EQ(_GetDataFilePath(nullptr, L"Package", 0, szPath), 0);
    EXPECT_EQ(_GetDataFilePath(L"/p", nullptr, 0, szPath), 0);
    EXPECT_TRUE(log.Has(L"QNLOG_ASSERT_EXIT(pszRetFilePath)"));
    EXPECT_TRUE(log.Has(L"QNLOG_ASSERT_EXIT(pcszDirectory)"));
    EXPECT_TRUE(log.Has(L"QNLOG_ASSERT_EXIT(pcszFileNamePrefix)"));
}

TEST(DataFileCrc, BuffersContinueAndAreCheckedInPieces) {
    EXPECT_EQ(QN_GetBufferCRC32(0, (const uint8_t*)"abc", 3), 0x352441C2u);
    const std::string a = PatternBytes(3000, 1), b = PatternBytes(777, 2);
    const std::string ab = a + b;
    EXPECT_EQ(QN_GetBufferCRC32(QN_GetBufferCRC32(0, (const uint8_t*)a.data(), a.size()), (const uint8_t*)b.data(),
                                b.size()),
              QN_GetBufferCRC32(0, (const uint8_t*)ab.data(), ab.size()));
    EXPECT_EQ(QN_GetBufferCRC32(0x1234, nullptr, 10), 0u);
    EXPECT_EQ(QN_GetBufferCRC32(0x1234, (const uint8_t*)"x", 0), 0x1234u);
}

TEST_F(FileLayerTest, WholeFileCrc) {
    ASSERT_EQ(mkdir((m_Dir / "folder").c_str(), 0755), 0);
    struct Row {
        const char* cszName;
        size_t uSize;  // of the file written; SIZE_MAX for none
    } rows[] = {{"5000 bytes", 5000}, {"1024 bytes", 1024}, {"one byte", 1}, {"empty", 0}};
    for (const Row& r : rows) {
        const std::string bytes = PatternBytes(r.uSize, 9);
        qn::test::WriteFile(m_Dir / "f", bytes);
        uint32_t uCRC = 0xDEADBEEF;
        EXPECT_EQ(QN_GetFileCRC32(Wide(m_Dir / "f").c_str(), &uCRC), 1) << r.cszName;
        EXPECT_EQ(uCRC, (uint32_t)crc32(0, (const Bytef*)bytes.data(), (uInt)bytes.size())) << r.cszName;
    }
    const std::string missing[] = {m_Dir / "missing", m_Dir / "folder"};
    for (const std::string& path : missing) {
        m_Log.Clear();
        uint32_t uCRC = 0xDEADBEEF;
        EXPECT_EQ(QN_GetFileCRC32(Wide(path).c_str(), &uCRC), 0) << path;
        EXPECT_EQ(uCRC, 0xDEADBEEFu);
        EXPECT_EQ(m_Log.Count(L"Error: open file failed. pcszDirFilePath = " + Wide(path)), 1u) << m_Log.Dump();
        EXPECT_TRUE(m_Log.Has(L"QNLOG_PROCESS_ERROR(fpFile)"));
    }
    uint32_t uCRC = 0;
    EXPECT_EQ(QN_GetFileCRC32(nullptr, &uCRC), 0);
    EXPECT_EQ(QN_GetFileCRC32(Wide(m_Dir / "f").c_str(), nullptr), 0);
}

// ---------------------------------------------------------------------------------------------
// A full disk. The scenario runs in a child copy of this program: inside a private mount
// namespace on a tmpfs of 1 MiB, or, where namespaces are not permitted, under a file-size
// limit. Data files there are sparse and cannot all be given their space.

namespace {

const char* const kFullDiskEnv = "QN_FULL_DISK_SCENARIO";

std::string SelfPath() {
    char sz[4096];
    ssize_t n = readlink("/proc/self/exe", sz, sizeof(sz) - 1);
    if (n <= 0) return std::string();
    sz[n] = '\0';
    return sz;
}

int RunChild(const std::string& strCommand) {
    int nStatus = std::system(strCommand.c_str());
    if (nStatus == -1 || !WIFEXITED(nStatus)) return -1;
    return WEXITSTATUS(nStatus);
}

}  // namespace

TEST(DataFileFullDisk, DISABLED_Scenario) {
    const char* cszMode = std::getenv(kFullDiskEnv);
    ASSERT_TRUE(cszMode) << "run by DataFileFullDisk.WritesFailCleanly";
    qn::test::TempDir dir;
    const std::string pak = dir / "pakV3";
    const uint64_t ullBig = 4ull << 20;
    const bool bTmpfs = std::string(cszMode) == "tmpfs";
    if (bTmpfs) {
        ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
        ASSERT_EQ(mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m"), 0) << strerror(errno);
    }
    ASSERT_EQ(mkdir(pak.c_str(), 0755), 0);
    for (int i = 0; i < 2; ++i) {
        int fd = open((pak + "/Package" + std::to_string(i) + ".DAT").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, (off_t)ullBig), 0);
        close(fd);
    }
    if (!bTmpfs) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {1 << 20, 1 << 20};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &rl), 0);
    }
    const int nFds = qn::test::CountOpenFds();
    qn::test::WideLineCapture log;

    // Growing a data file fails with a disk-full error, and the process lives on.
    {
        int fd = QN_OpenExistingFileW(Wide(pak + "/Package0.DAT").c_str(), true);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(QN_chsize(fd, 8 << 20), -1);
        EXPECT_TRUE(QN_GetLastError() == ERROR_DISK_FULL || QN_GetLastError() == ERROR_HANDLE_DISK_FULL)
            << QN_GetLastError();
        close(fd);
    }
    // The writer cannot give the sparse data files their space: Init fails with the lines
    // instead of a later write dying of SIGBUS. (A file-size limit does not stop allocation
    // inside a file's length, so this needs the small file system.)
    if (bTmpfs) {
        QN_DataFileWriter writer;
        EXPECT_EQ(writer.Init(Wide(pak).c_str(), ullBig, 2), 0);
        EXPECT_TRUE(log.Has(L"CreateFileMapping error:")) << log.Dump();
        EXPECT_TRUE(log.Has(L"ERROR: CreateFileMapping failed. szDataFilePath = ")) << log.Dump();
        EXPECT_TRUE(log.Has(L"ErrCode = 112") || log.Has(L"ErrCode = 39")) << log.Dump();
        EXPECT_EQ(writer.WriteData(0, 3, (const uint8_t*)"abc"), 0);
    }
    EXPECT_EQ(qn::test::CountOpenFds(), nFds);
    // Small files that fit are written as usual.
    for (int i = 0; i < 2; ++i) {
        std::string p = pak + "/Package" + std::to_string(i) + ".DAT";
        ASSERT_EQ(::truncate(p.c_str(), 64 * 1024), 0);
    }
    {
        QN_DataFileWriter writer;
        ASSERT_EQ(writer.Init(Wide(pak).c_str(), 64 * 1024, 2), 1) << log.Dump();
        EXPECT_EQ(writer.WriteData(64 * 1024 + 5, 3, (const uint8_t*)"abc"), 1);
        EXPECT_EQ(writer.RemoveData(10, 100), 1);
        EXPECT_EQ(writer.Uninit(), 1);
    }
    EXPECT_EQ(qn::test::ReadFile(pak + "/Package1.DAT").substr(5, 3), "abc");
    if (bTmpfs) {
        EXPECT_EQ(umount(dir.path().c_str()), 0);
    }
}

TEST(DataFileFullDisk, WritesFailCleanly) {
    const std::string self = SelfPath();
    ASSERT_FALSE(self.empty());
    const std::string run = "'" + self + "' --gtest_also_run_disabled_tests --gtest_filter=DataFileFullDisk.DISABLED_Scenario";
    if (RunChild("unshare -rm true >/dev/null 2>&1") == 0) {
        EXPECT_EQ(RunChild(std::string(kFullDiskEnv) + "=tmpfs unshare -rm " + run + " >/dev/null 2>&1"), 0)
            << "on a full tmpfs; run " << run << " with " << kFullDiskEnv << "=tmpfs under unshare -rm to see why";
        return;
    }
    EXPECT_EQ(RunChild(std::string(kFullDiskEnv) + "=fsize " + run + " >/dev/null 2>&1"), 0)
        << "under a file-size limit; run " << run << " with " << kFullDiskEnv << "=fsize to see why";
}
