#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "QN_FileManager.h"
#include "QN_ObjectPool.h"
#include "QN_OutsidePackageFileManager.h"
#include "file_layer_fixture.h"
#include "qn_file_mapping.h"
#include "repair_test_hooks.h"

using qn::test::FileLayerTest;
using qn::test::PatternBytes;
using qn::test::Wide;

namespace {

struct ViewRecord {
    uint64_t ullAlignedOffset;
    uint32_t uSize;
    uint32_t uAlignedSize;
};
std::vector<ViewRecord> g_Views;
void RecordView(uint64_t ullAlignedOffset, uint32_t uSize, uint32_t uAlignedSize) {
    g_Views.push_back({ullAlignedOffset, uSize, uAlignedSize});
}

class FileManagerTest : public FileLayerTest {
protected:
    void SetUp() override {
        FileLayerTest::SetUp();
        ASSERT_EQ(QN_CreateOutsidePackageFileManager(Wide(m_Dir.path()).c_str(), &m_piManager), S_OK);
    }
    void TearDown() override {
        if (m_piManager) {
            EXPECT_EQ(m_piManager->Release(), 0u);
        }
        m_piManager = nullptr;
        FileLayerTest::TearDown();
    }

    IQN_FileMapping* Open(const std::string& name, int nMode) {
        IQN_FileMapping* pi = nullptr;
        HRESULT hr = m_piManager->CreateFileMappingW(Wide(name).c_str(), nMode, &pi);
        EXPECT_EQ(hr, S_OK) << name << " mode " << nMode << "\n" << m_Log.Dump();
        return SUCCEEDED(hr) ? pi : nullptr;
    }

    IQN_FileManager* m_piManager = nullptr;
};

}  // namespace

TEST(FileLayerStrCopy, BoundAt260Characters) {
    qn::test::WideLineCapture log;
    struct Row {
        size_t uLength;
        int nResult;
    } rows[] = {{0, 1}, {259, 1}, {260, 0}, {400, 0}};
    for (const Row& r : rows) {
        log.Clear();
        std::wstring src(r.uLength, L'a');
        if (r.uLength) src.back() = L'z';
        wchar_t dst[QN_MAX_PATH];
        std::wmemset(dst, L'#', QN_MAX_PATH);
        EXPECT_EQ(QN_StrCopy(dst, src.c_str()), r.nResult) << r.uLength;
        if (r.nResult) {
            EXPECT_EQ(std::wstring(dst), src);
            for (size_t i = r.uLength; i < QN_MAX_PATH; ++i) ASSERT_EQ(dst[i], L'\0') << "rest zero-filled";
            EXPECT_TRUE(log.Lines().empty());
        } else {
            EXPECT_EQ(std::wstring(dst), src.substr(0, 259));
            EXPECT_EQ(log.Count(L"The last char of the string is not NULL, It is '"), 1u) << log.Dump();
            EXPECT_EQ(log.Count(L"The the string is '" + src.substr(0, 259) + L"'."), 1u) << log.Dump();
        }
    }
    wchar_t dst[QN_MAX_PATH];
    log.Clear();
    EXPECT_EQ(QN_StrCopy(nullptr, L"x"), 0);
    EXPECT_EQ(QN_StrCopy(dst, nullptr), 0);
    EXPECT_TRUE(log.Has(L"QNLOG_ASSERT_EXIT(pcszDest)"));
    EXPECT_TRUE(log.Has(L"QNLOG_ASSERT_EXIT(pcszSource)"));
}

TEST_F(FileLayerTest, RealPathResolution) {
    char szCwd[PATH_MAX];
    ASSERT_TRUE(getcwd(szCwd, sizeof(szCwd)));
    const std::wstring cwd = Wide(szCwd);
    // Lengths chosen so that the joined result is 259 and 260 characters.
    const std::wstring root259 = L"/" + std::wstring(255, L'r');  // + "/" + "ab" = 259
    struct Row {
        const wchar_t* cwszRoot;
        std::wstring path;
        bool bOk;
        std::wstring expected;
    } rows[] = {
        {L"D:/x", L"a/b", true, L"D:/x/a/b"},
        {L"D:/x", L"C:\\f", true, L"C:\\f"},
        {L"/r", L"/abs/f", true, L"/abs/f"},
        {L"/r", L"\\abs\\f", true, L"\\abs\\f"},
        {L"/r", L"Package0.DAT", true, L"/r/Package0.DAT"},
        {L"", L"f", true, cwd + L"/f"},
        {nullptr, L"f", true, cwd + L"/f"},
        {root259.c_str(), L"ab", true, root259 + L"/ab"},
        {root259.c_str(), L"abc", false, L""},
        {L"/r", std::wstring(259, L'p'), false, L""},
    };
    for (const Row& r : rows) {
        IQN_FileManager* pi = nullptr;
        ASSERT_EQ(QN_CreateOutsidePackageFileManager(r.cwszRoot, &pi), S_OK);
        wchar_t szReal[QN_MAX_PATH] = {};
        HRESULT hr = static_cast<QN_OutsidePackageFileManager*>(pi)->_GetRealPath(r.path.c_str(), szReal);
        EXPECT_EQ(SUCCEEDED(hr), r.bOk) << std::string(r.path.begin(), r.path.end());
        if (r.bOk) {
            EXPECT_EQ(std::wstring(szReal), r.expected);
        }
        pi->Release();
    }
}

TEST_F(FileLayerTest, RootThatDoesNotFitFailsTheFactory) {
    IQN_FileManager* pi = reinterpret_cast<IQN_FileManager*>(0x1);
    const std::wstring root(260, L'r');
    EXPECT_EQ(QN_CreateOutsidePackageFileManager(root.c_str(), &pi), E_FAIL);
    EXPECT_EQ(pi, reinterpret_cast<IQN_FileManager*>(0x1));
    EXPECT_EQ(QN_CreateOutsidePackageFileManager(L"/r", nullptr), E_FAIL);
}

TEST_F(FileManagerTest, MapViewBounds) {
    qn::test::WriteFile(m_Dir / "ten", "0123456789");
    IQN_FileMapping* piMapping = Open("ten", QN_FILE_MAPPING_MODE_READ_ONLY);
    ASSERT_TRUE(piMapping);
    struct Row {
        uint64_t ullOffset;
        uint32_t uSize;
        const char* cszBytes;      // nullptr: refused
        const wchar_t* cwszCheck;  // the line of a refusal
    } rows[] = {
        {0, 0, "0123456789", nullptr},
        {8, 2, "89", nullptr},
        {3, 0, "3456789", nullptr},
        {9, 1, "9", nullptr},
        {10, 0, nullptr, L"QNLOG_ASSERT_EXIT(ullRemainSize > 0)"},
        {8, 5, nullptr, L"QNLOG_ASSERT_EXIT(ullOffset + uSize <= m_ullFileSize)"},
        {11, 0, nullptr, L"QNLOG_ASSERT_EXIT(ullOffset + uSize <= m_ullFileSize)"},
        {0, 11, nullptr, L"QNLOG_ASSERT_EXIT(uSize <= m_ullFileSize)"},
        {UINT64_MAX - 1, 5, nullptr, L"QNLOG_ASSERT_EXIT(ullOffset + uSize <= m_ullFileSize)"},
        {UINT64_MAX, 0, nullptr, L"QNLOG_ASSERT_EXIT(ullOffset + uSize <= m_ullFileSize)"},
    };
    for (const Row& r : rows) {
        m_Log.Clear();
        IQN_Buffer* piBuffer = nullptr;
        HRESULT hr = piMapping->MapView(r.ullOffset, r.uSize, &piBuffer);
        if (r.cszBytes) {
            ASSERT_EQ(hr, S_OK) << r.ullOffset << "," << r.uSize << "\n" << m_Log.Dump();
            EXPECT_EQ(std::string((const char*)piBuffer->GetData(), piBuffer->GetSize()), r.cszBytes);
            EXPECT_EQ(piBuffer->Release(), 0u);
        } else {
            EXPECT_EQ(hr, E_FAIL) << r.ullOffset << "," << r.uSize;
            EXPECT_EQ(piBuffer, nullptr);
            EXPECT_EQ(m_Log.Count(r.cwszCheck), 1u) << m_Log.Dump();
        }
    }
    m_Log.Clear();
    EXPECT_EQ(piMapping->MapView(0, 1, nullptr), E_FAIL);
    EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(ppRetBuffer)"));
    EXPECT_EQ(piMapping->Release(), 0u);
}

TEST_F(FileManagerTest, ViewIsWidenedDownToTheGranularity) {
    const std::string bytes = PatternBytes(200 * 1024);
    qn::test::WriteFile(m_Dir / "big", bytes);
    const uint32_t g = QN_GetAllocationGranularity();
    ASSERT_GT(g, 0u);
    IQN_FileMapping* piMapping = Open("big", QN_FILE_MAPPING_MODE_READ_ONLY);
    ASSERT_TRUE(piMapping);
    g_Views.clear();
    qn::testing::SetFileViewMappedHook(RecordView);
    IQN_Buffer* piBuffer = nullptr;
    ASSERT_EQ(piMapping->MapView(70000, 100, &piBuffer), S_OK);
    qn::testing::SetFileViewMappedHook(nullptr);

    const uint64_t ullAligned = 70000 / g * g;  // 65536 with the granularity of 64 KiB
    ASSERT_EQ(g_Views.size(), 1u);
    EXPECT_EQ(g_Views[0].ullAlignedOffset, ullAligned);
    EXPECT_EQ(g_Views[0].uAlignedSize, 70000 - ullAligned + 100);
    auto* pView = static_cast<QN_FileMappingFileBuffer*>(piBuffer);
    EXPECT_EQ(pView->GetData() - (uint8_t*)pView->_GetAlignedData(), (ptrdiff_t)(70000 - ullAligned));
    EXPECT_EQ(pView->_GetAlignedSize(), 70000 - ullAligned + 100);
    EXPECT_EQ(piBuffer->GetSize(), 100u);
    EXPECT_EQ(0, std::memcmp(piBuffer->GetData(), bytes.data() + 70000, 100));
    piBuffer->Release();
    piMapping->Release();
}

// Random ranges, many of them across the seams between granules, read through every mode.
TEST_F(FileManagerTest, RandomRangesMatchTheFile) {
    const uint32_t g = QN_GetAllocationGranularity();
    const size_t uFileSize = 5 * (size_t)g + 123;
    const std::string bytes = PatternBytes(uFileSize, 7);
    qn::test::WriteFile(m_Dir / "f", bytes);
    IQN_FileMapping* piMappings[3] = {Open("f", 0), Open("f", 1), Open("f", 2)};
    for (auto* pi : piMappings) ASSERT_TRUE(pi);
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 300; ++i) {
        uint64_t ullOffset;
        if (i % 3 == 0) {
            // Close to a seam.
            ullOffset = (rng() % 6) * g;
            ullOffset = ullOffset >= 8 ? ullOffset - rng() % 8 : ullOffset;
        } else {
            ullOffset = rng() % uFileSize;
        }
        if (ullOffset >= uFileSize) ullOffset = uFileSize - 1;
        uint64_t ullRoom = uFileSize - ullOffset;
        uint32_t uSize = (i % 10 == 0) ? 0 : (uint32_t)(1 + rng() % ullRoom);
        IQN_FileMapping* pi = piMappings[i % 3];
        IQN_Buffer* piBuffer = nullptr;
        ASSERT_EQ(pi->MapView(ullOffset, uSize, &piBuffer), S_OK) << ullOffset << "," << uSize;
        uint32_t uExpected = uSize ? uSize : (uint32_t)ullRoom;
        ASSERT_EQ(piBuffer->GetSize(), uExpected);
        ASSERT_EQ(0, std::memcmp(piBuffer->GetData(), bytes.data() + ullOffset, uExpected))
            << "offset " << ullOffset << " size " << uExpected;
        piBuffer->Release();
    }
    for (auto* pi : piMappings) pi->Release();
    EXPECT_EQ(qn::test::ReadFile(m_Dir / "f"), bytes);
}

TEST_F(FileManagerTest, ModesReachOrSpareTheFile) {
    const std::string bytes = PatternBytes(3000, 3);
    qn::test::WriteFile(m_Dir / "f", bytes);
    IQN_Buffer* piBuffer = nullptr;

    // Read-write: the write is in the file once the view is gone.
    IQN_FileMapping* pi = Open("f", QN_FILE_MAPPING_MODE_READ_WRITE);
    ASSERT_TRUE(pi);
    ASSERT_EQ(pi->MapView(1000, 4, &piBuffer), S_OK);
    std::memcpy(piBuffer->GetData(), "WXYZ", 4);
    piBuffer->Release();
    pi->Release();
    std::string expected = bytes;
    expected.replace(1000, 4, "WXYZ");
    EXPECT_EQ(qn::test::ReadFile(m_Dir / "f"), expected);

    // Copy-on-write: the view sees its write, the file does not.
    pi = Open("f", QN_FILE_MAPPING_MODE_COPY_ON_WRITE);
    ASSERT_TRUE(pi);
    ASSERT_EQ(pi->MapView(0, 0, &piBuffer), S_OK);
    std::memcpy(piBuffer->GetData() + 10, "cow", 3);
    EXPECT_EQ(std::memcmp(piBuffer->GetData() + 10, "cow", 3), 0);
    piBuffer->Release();
    pi->Release();
    EXPECT_EQ(qn::test::ReadFile(m_Dir / "f"), expected);

    // Read-only: readable.
    pi = Open("f", QN_FILE_MAPPING_MODE_READ_ONLY);
    ASSERT_TRUE(pi);
    ASSERT_EQ(pi->MapView(1000, 4, &piBuffer), S_OK);
    EXPECT_EQ(std::string((const char*)piBuffer->GetData(), 4), "WXYZ");
    piBuffer->Release();
    pi->Release();
}

TEST_F(FileManagerTest, MappingsThatCannotBeOpened) {
    qn::test::WriteFile(m_Dir / "f", "abc");
    qn::test::WriteFile(m_Dir / "empty", "");
    ASSERT_EQ(mkdir((m_Dir / "folder").c_str(), 0755), 0);
    struct Row {
        const wchar_t* cwszPath;  // relative to the root
        int nMode;
        const wchar_t* cwszLine;  // nullptr: fails without a line
    } rows[] = {
        {L"f", 3, nullptr},
        {L"f", -1, nullptr},
        {L"missing", 1, nullptr},
        {L"folder", 2, nullptr},
        {L"", 2, nullptr},
        {L"empty", 2, L"CreateFileMapping error:"},
        {L"empty", 1, L"CreateFileMapping error:"},
    };
    for (const Row& r : rows) {
        m_Log.Clear();
        IQN_FileMapping* pi = nullptr;
        EXPECT_EQ(m_piManager->CreateFileMappingW(r.cwszPath, r.nMode, &pi), E_FAIL);
        EXPECT_EQ(pi, nullptr);
        if (r.cwszLine) {
            EXPECT_EQ(m_Log.Count(r.cwszLine), 1u) << m_Log.Dump();
            EXPECT_TRUE(m_Log.Has(Wide(m_Dir / "empty"))) << m_Log.Dump();
        } else {
            EXPECT_TRUE(m_Log.Lines().empty()) << m_Log.Dump();
        }
    }
    m_Log.Clear();
    IQN_FileMapping* pi = nullptr;
    EXPECT_EQ(m_piManager->CreateFileMappingW(nullptr, 1, &pi), E_FAIL);
    EXPECT_EQ(m_piManager->CreateFileMappingW(L"f", 1, nullptr), E_FAIL);
    EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(cszFilePath)"));
    EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(ppRetFileMapping)"));
}

TEST_F(FileManagerTest, ViewOutlivesItsMappingsHolder) {
    qn::test::WriteFile(m_Dir / "f", PatternBytes(100));
    const int nFdsBefore = qn::test::CountOpenFds();
    IQN_FileMapping* pi = Open("f", QN_FILE_MAPPING_MODE_READ_WRITE);
    ASSERT_TRUE(pi);
    IQN_Buffer* piBuffer = nullptr;
    ASSERT_EQ(pi->MapView(50, 5, &piBuffer), S_OK);
    EXPECT_EQ(pi->Release(), 1u) << "the view holds the mapping";
    EXPECT_GT(qn::test::CountOpenFds(), nFdsBefore) << "the file stays open for the view";
    std::memcpy(piBuffer->GetData(), "LATER", 5);
    EXPECT_EQ(piBuffer->Release(), 0u);
    EXPECT_EQ(qn::test::CountOpenFds(), nFdsBefore);
    EXPECT_EQ(qn::test::ReadFile(m_Dir / "f").substr(50, 5), "LATER");
}

// Each view holds exactly one reference to its mapping, whether it is handed out or undone
// because no view object could be had.
TEST_F(FileManagerTest, ViewsHoldOneMappingReference) {
    qn::test::WriteFile(m_Dir / "f", PatternBytes(100));
    IQN_FileMapping* pi = Open("f", QN_FILE_MAPPING_MODE_READ_ONLY);
    ASSERT_TRUE(pi);
    IQN_Buffer* piA = nullptr;
    IQN_Buffer* piB = nullptr;
    ASSERT_EQ(pi->MapView(0, 10, &piA), S_OK);
    ASSERT_EQ(pi->MapView(10, 10, &piB), S_OK);
    EXPECT_EQ(pi->AddRef(), 4u);
    EXPECT_EQ(pi->Release(), 3u);
    piA->Release();
    piB->Release();
    EXPECT_EQ(pi->AddRef(), 2u);
    EXPECT_EQ(pi->Release(), 1u);

    qn::testing::SetFileLayerObjectShortage(false, true);
    m_Log.Clear();
    IQN_Buffer* piC = nullptr;
    EXPECT_EQ(pi->MapView(0, 10, &piC), E_FAIL);
    EXPECT_EQ(piC, nullptr);
    EXPECT_TRUE(m_Log.Has(L"QNLOG_PROCESS_ERROR(*ppRetBuffer)")) << m_Log.Dump();
    qn::testing::SetFileLayerObjectShortage(false, false);
    EXPECT_EQ(pi->AddRef(), 2u) << "the undone view gave its reference back once";
    EXPECT_EQ(pi->Release(), 1u);
    EXPECT_EQ(pi->Release(), 0u);
}

TEST_F(FileManagerTest, NoMappingObjectClosesTheFile) {
    qn::test::WriteFile(m_Dir / "f", "abc");
    qn::testing::SetFileLayerObjectShortage(true, false);
    IQN_FileMapping* pi = nullptr;
    EXPECT_EQ(m_piManager->CreateFileMappingW(L"f", 1, &pi), E_FAIL);
    EXPECT_EQ(pi, nullptr);
    EXPECT_TRUE(m_Log.Has(L"QNLOG_PROCESS_ERROR(*ppRetFileMapping)")) << m_Log.Dump();
    // The descriptor check of the fixture shows that both handles were closed.
}

// Views of 4 GiB or more cannot be told apart from small ones in a 32-bit size: they are
// refused, and the logged size is the real one.
TEST_F(FileManagerTest, ViewsOf4GiBOrMoreAreRefused) {
    const uint64_t ullFileSize = (4ull << 30) + (128u << 10);
    {
        int fd = open((m_Dir / "huge").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, (off_t)ullFileSize), 0) << "a sparse file of more than 4 GiB";
        close(fd);
    }
    IQN_FileMapping* pi = Open("huge", QN_FILE_MAPPING_MODE_READ_ONLY);
    ASSERT_TRUE(pi);
    IQN_Buffer* piBuffer = nullptr;
    m_Log.Clear();
    EXPECT_EQ(pi->MapView(0, 0, &piBuffer), E_FAIL);
    EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(ullRemainSize <= SIZE_MAX)")) << m_Log.Dump();

    const uint32_t g = QN_GetAllocationGranularity();
    const uint64_t ullOffset = g + 4464;
    const uint32_t uSize = 0xFFFFFFF0u;
    m_Log.Clear();
    EXPECT_EQ(pi->MapView(ullOffset, uSize, &piBuffer), E_FAIL);
    EXPECT_EQ(piBuffer, nullptr);
    const std::wstring line = L"ERROR: MapViewOfFile failed. m_uAlignedSize = " +
                              std::to_wstring(4464ull + uSize) + L",  ErrCode = 87";
    EXPECT_EQ(m_Log.Count(line), 1u) << m_Log.Dump();

    // The rest of the file from an offset that leaves less than 4 GiB is a view as usual.
    ASSERT_EQ(pi->MapView(ullFileSize - 10, 0, &piBuffer), S_OK);
    EXPECT_EQ(piBuffer->GetSize(), 10u);
    EXPECT_EQ(piBuffer->GetData()[9], 0);
    piBuffer->Release();
    EXPECT_EQ(pi->AddRef(), 2u);
    pi->Release();
    pi->Release();
}

TEST_F(FileManagerTest, PoolsKeepEightObjects) {
    qn::test::WriteFile(m_Dir / "f", "abc");
    std::vector<IQN_FileMapping*> held;
    for (int i = 0; i < 9; ++i) held.push_back(Open("f", 2));
    auto s0 = qn::testing::GetFileMappingPoolStats();
    EXPECT_EQ(s0.uParked, 0u);
    for (auto* pi : held) pi->Release();
    auto s1 = qn::testing::GetFileMappingPoolStats();
    EXPECT_EQ(s1.uParked, 8u);
    EXPECT_EQ(s1.ullDestroyed - s0.ullDestroyed, 1u);

    std::vector<IQN_FileMapping*> again;
    for (int i = 0; i < 9; ++i) again.push_back(Open("f", 2));
    auto s2 = qn::testing::GetFileMappingPoolStats();
    EXPECT_EQ(s2.uParked, 0u);
    EXPECT_EQ(s2.ullCreated - s1.ullCreated, 1u) << "eight reused, one made";
    for (auto* pi : again) pi->Release();
}

namespace {
struct PoolProbe {
    std::atomic<int> nOwner{0};
};
}  // namespace

// Many threads take and park the same objects: an object is never handed to two holders at
// once, and none is lost or made twice.
TEST(FileLayerPool, ConcurrentTakeAndParkHandOutEachObjectOnce) {
    QN_ObjectPool<PoolProbe> pool;
    std::atomic<int> nCreated{0};
    std::atomic<int> nDestroyed{0};
    std::atomic<int> nDoubleOwner{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10000; ++i) {
                PoolProbe* p = pool.Take();
                if (!p) {
                    p = new PoolProbe;
                    nCreated.fetch_add(1);
                }
                int nExpected = 0;
                if (!p->nOwner.compare_exchange_strong(nExpected, t)) nDoubleOwner.fetch_add(1);
                p->nOwner.store(0);
                PoolProbe* pLeft = pool.Park(p);
                if (pLeft) {
                    if (pLeft->nOwner.load() != 0) nDoubleOwner.fetch_add(1);
                    delete pLeft;
                    nDestroyed.fetch_add(1);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(nDoubleOwner.load(), 0);
    const size_t uParked = pool.ParkedCount();
    EXPECT_LE(uParked, 8u);
    EXPECT_EQ((size_t)(nCreated.load() - nDestroyed.load()), uParked);
    EXPECT_EQ(pool.Drain([](PoolProbe* p) { delete p; }), uParked);

    // A closed pool parks nothing.
    pool.Close();
    PoolProbe probe;
    EXPECT_EQ(pool.Park(&probe), &probe);
}

// Threads map and release views of one mapping at once: the reference counts and the view
// pool stay exact.
TEST_F(FileManagerTest, ViewsFromManyThreads) {
    const std::string bytes = PatternBytes(3 * 65536 + 99, 5);
    qn::test::WriteFile(m_Dir / "f", bytes);
    IQN_FileMapping* pi = Open("f", QN_FILE_MAPPING_MODE_READ_ONLY);
    ASSERT_TRUE(pi);
    std::atomic<int> nBad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            for (int i = 0; i < 2000; ++i) {
                uint64_t ullOffset = rng() % (bytes.size() - 64);
                IQN_Buffer* piBuffer = nullptr;
                if (pi->MapView(ullOffset, 64, &piBuffer) != S_OK ||
                    std::memcmp(piBuffer->GetData(), bytes.data() + ullOffset, 64) != 0) {
                    nBad.fetch_add(1);
                }
                if (piBuffer) piBuffer->Release();
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(nBad.load(), 0);
    EXPECT_LE(qn::testing::GetFileBufferPoolStats().uParked, 8u);
    EXPECT_EQ(pi->Release(), 0u);
}

TEST_F(FileManagerTest, QueryInterfaceFailsAndLeavesTheOutput) {
    qn::test::WriteFile(m_Dir / "f", "abc");
    IQN_FileMapping* pi = Open("f", 2);
    ASSERT_TRUE(pi);
    IQN_Buffer* piBuffer = nullptr;
    ASSERT_EQ(pi->MapView(0, 0, &piBuffer), S_OK);
    IUnknown* objects[] = {m_piManager, pi, piBuffer};
    for (IUnknown* p : objects) {
        void* pv = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(p->QueryInterface(IID_IUnknown, &pv), E_FAIL);
        EXPECT_EQ(pv, reinterpret_cast<void*>(0x1234));
    }
    piBuffer->Release();
    pi->Release();
}

TEST_F(FileManagerTest, FileInfoMatchesTheFile) {
    qn::test::WriteFile(m_Dir / "f", PatternBytes(777));
    IQN_FileMapping* pi = Open("f", QN_FILE_MAPPING_MODE_COPY_ON_WRITE);
    ASSERT_TRUE(pi);
    struct stat st;
    ASSERT_EQ(stat((m_Dir / "f").c_str(), &st), 0);
    QN_FILE_INFO info;
    std::memset(&info, 0xAB, sizeof(info));
    ASSERT_EQ(pi->GetFileInfo(&info), S_OK);
    EXPECT_EQ(info.ullFileSize, 777u);
    EXPECT_EQ(info.ullLastWriteTime, (uint64_t)st.st_mtime);
    EXPECT_EQ(info.uMode, (uint32_t)QN_FILE_MAPPING_MODE_COPY_ON_WRITE);
    EXPECT_EQ(info.uReserved, 0u);
    EXPECT_TRUE(info.ullCreationTime == 0 || info.ullCreationTime <= info.ullLastWriteTime + 1);
    m_Log.Clear();
    EXPECT_EQ(pi->GetFileInfo(nullptr), E_FAIL);
    EXPECT_TRUE(m_Log.Has(L"QNLOG_ASSERT_EXIT(pRetFileInfo)"));
    pi->Release();
}

TEST_F(FileManagerTest, IsFileExists) {
    qn::test::WriteFile(m_Dir / "f", "x");
    ASSERT_EQ(mkdir((m_Dir / "d").c_str(), 0755), 0);
    struct Row {
        std::wstring path;
        int nExist;
    } rows[] = {
        {Wide(m_Dir / "f"), 1},
        {Wide(m_Dir / "d"), 1},
        {Wide(m_Dir / "missing"), 0},
        {L"f", 0},  // not resolved against the root
    };
    for (const Row& r : rows) {
        int bExist = -1;
        EXPECT_EQ(m_piManager->IsFileExists(r.path.c_str(), &bExist), 1);
        EXPECT_EQ(bExist, r.nExist) << std::string(r.path.begin(), r.path.end());
    }
    int bExist = -1;
    EXPECT_EQ(m_piManager->IsFileExists(nullptr, &bExist), 0);
    EXPECT_EQ(m_piManager->IsFileExists(L"/", nullptr), 0);
    EXPECT_EQ(bExist, -1);
}
