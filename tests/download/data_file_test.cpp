#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DataFile.h"
#include "qn_file_io.h"
#include "qn_platform.h"
#include "qn_string.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"

namespace {

constexpr uint32_t kPiece = 65536;

struct WriteRecord {
    uint64_t ullOffset;
    uint32_t uLength;
};
std::mutex g_recordLock;
std::vector<WriteRecord> g_writes;
std::string g_sRecordSuffix;
int g_nFailErrno = 0;

int RecordingHook(int nFd, uint64_t ullOffset, uint32_t uLength) {
    std::string sPath = qn::testing::PathOfFd(nFd);
    std::lock_guard<std::mutex> guard(g_recordLock);
    if (sPath.size() < g_sRecordSuffix.size() ||
        sPath.compare(sPath.size() - g_sRecordSuffix.size(), g_sRecordSuffix.size(), g_sRecordSuffix) != 0)
        return 0;
    g_writes.push_back({ullOffset, uLength});
    return g_nFailErrno;
}

// Records the writes made to files whose path ends in a suffix, and can make them fail.
class WriteRecorder {
public:
    explicit WriteRecorder(const std::string& sSuffix, int nFailErrno = 0) {
        std::lock_guard<std::mutex> guard(g_recordLock);
        g_writes.clear();
        g_sRecordSuffix = sSuffix;
        g_nFailErrno = nFailErrno;
        qn::testing::SetFileWriteHook(RecordingHook);
    }
    ~WriteRecorder() { qn::testing::SetFileWriteHook(nullptr); }
    std::vector<WriteRecord> writes() {
        std::lock_guard<std::mutex> guard(g_recordLock);
        return g_writes;
    }
};

DataFile* NewDataFile() {
    DataFile* p = new DataFile;
    p->AddRef();
    return p;
}

TEST(DataFileOpen, ResumeOutcomeTable) {
    struct Row {
        const char* szName;
        bool bExists;
        uint64_t ullExisting;
        uint32_t uResumeIn;
        uint32_t uResumeOut;
        bool bPreallocated;
    } rows[] = {
        {"absent", false, 0, 1, KDFR_EMPTY, true},
        {"empty", true, 0, 1, KDFR_EMPTY, true},
        {"equal size kept", true, 5 * kPiece + 7, 1, KDFR_KEPT, false},
        {"different size", true, 1000, 1, KDFR_SIZE_DIFFERS, true},
        {"no resume asked", true, 5 * kPiece + 7, 0, 0, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szName);
        qn::test::TempDir dir;
        if (r.bExists) qn::test::WriteFile(dir / "f.tmp", std::string(r.ullExisting, 'k'));
        WriteRecorder rec("/f.tmp");
        DataFile* p = NewDataFile();
        uint32_t uResume = r.uResumeIn;
        ASSERT_EQ(p->open(QN_Utf8ToWide(dir / "f").c_str(), 5 * kPiece + 7, kPiece, nullptr, nullptr, nullptr, &uResume),
                  S_OK);
        EXPECT_EQ(uResume, r.uResumeOut);
        EXPECT_EQ(rec.writes().empty(), !r.bPreallocated);
        EXPECT_EQ(p->pieceCount(), 6u);
        p->Release();
        std::string s = qn::test::ReadFile(dir / "f.tmp");
        EXPECT_EQ(s.size(), 5 * kPiece + 7);
        if (!r.bPreallocated) {
            EXPECT_EQ(s, std::string(5 * kPiece + 7, 'k'));
        }
    }
}

TEST(DataFilePreallocate, TouchesEveryFourMiB) {
    struct Row {
        uint64_t ullSize;
        std::vector<uint64_t> offsets;
    } rows[] = {
        {0, {}},
        {1, {0}},
        {KDATAFILE_TOUCH_STEP, {0}},
        {KDATAFILE_TOUCH_STEP + 1, {0, KDATAFILE_TOUCH_STEP}},
    };
    for (const Row& r : rows) {
        qn::test::TempDir dir;
        WriteRecorder rec("/f.tmp");
        DataFile* p = NewDataFile();
        uint32_t uResume = 0;
        ASSERT_EQ(p->open(QN_Utf8ToWide(dir / "f").c_str(), r.ullSize, kPiece, nullptr, nullptr, nullptr, &uResume), S_OK);
        std::vector<WriteRecord> writes = rec.writes();
        ASSERT_EQ(writes.size(), r.offsets.size() * 2) << r.ullSize;
        for (size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].ullOffset, r.offsets[i / 2]);
            EXPECT_EQ(writes[i].uLength, 1u);
        }
        if (r.ullSize) {
            uint8_t b = 0x55;
            uint32_t uGot = 0;
            EXPECT_EQ(p->read(0, &b, 1, &uGot), S_OK);
            EXPECT_EQ(b, 0);
        }
        p->Release();
    }
}

TEST(DataFilePreallocate, WriteFailureClosesAndReports) {
    qn::test::TempDir dir;
    WriteRecorder rec("/f.tmp", ENOSPC);
    DataFile* p = NewDataFile();
    uint32_t uResume = 0;
    EXPECT_EQ(p->open(QN_Utf8ToWide(dir / "f").c_str(), 100, kPiece, nullptr, nullptr, nullptr, &uResume),
              (HRESULT)0x80070070u);
    uint32_t uGot = 0;
    uint8_t b;
    EXPECT_EQ(p->read(0, &b, 1, &uGot), E_FAIL);
    p->Release();
}

TEST(DataFileReadPiece, Table) {
    qn::test::TempDir dir;
    DataFile* p = NewDataFile();
    uint32_t uResume = 0;
    ASSERT_EQ(p->open(QN_Utf8ToWide(dir / "f").c_str(), 100000, kPiece, nullptr, nullptr, nullptr, &uResume), S_OK);
    std::vector<uint8_t> data(100000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)(i * 7);
    uint32_t uWritten = 0;
    ASSERT_EQ(p->write(0, data.data(), (uint32_t)data.size(), &uWritten), S_OK);
    struct Row {
        uint32_t uPiece, uOffset, uWant;
        bool bOk;
        uint32_t uGot;
    } rows[] = {
        {0, 0, kPiece, true, kPiece},   {0, 100, kPiece, true, kPiece - 100}, {1, 0, kPiece, true, 34464},
        {1, 34463, 10, true, 1},        {1, 34464, 10, false, 0},             {0, kPiece, 1, false, 0},
        {2, 0, 10, false, 0},           {0, 0, 0, false, 0},
    };
    std::vector<uint8_t> buf(kPiece);
    for (const Row& r : rows) {
        uint32_t uSize = r.uWant;
        EXPECT_EQ(p->readPiece(r.uPiece, r.uOffset, buf.data(), &uSize), r.bOk) << r.uPiece << "/" << r.uOffset;
        if (r.bOk) {
            EXPECT_EQ(uSize, r.uGot);
            EXPECT_EQ(0, memcmp(buf.data(), data.data() + (size_t)r.uPiece * kPiece + r.uOffset, uSize));
        }
    }
    p->Release();
}

TEST(DataFileFinish, StampsAndReplaces) {
    qn::test::TempDir dir;
    qn::test::WriteFile(dir / "f", "old target");
    const SYSTEMTIME lm = {2001, 2, 6, 3, 4, 5, 6, 0};
    DataFile* p = NewDataFile();
    uint32_t uResume = 0;
    ASSERT_EQ(p->open(QN_Utf8ToWide(dir / "f").c_str(), 3, kPiece, &lm, nullptr, nullptr, &uResume), S_OK);
    uint32_t uWritten = 0;
    ASSERT_EQ(p->write(0, "new", 3, &uWritten), S_OK);
    EXPECT_EQ(p->finish(), S_OK);
    EXPECT_EQ(p->finish(), E_FAIL);
    p->Release();
    EXPECT_EQ(qn::test::ReadFile(dir / "f"), "new");
    EXPECT_FALSE(qn::test::FileExists(dir / "f.tmp"));
    int nFd = QN_FileOpen((dir / "f").c_str(), QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, QN_FILE_OPEN_EXISTING);
    uint64_t ullTime = 0, ullWant = 0;
    ASSERT_TRUE(QN_FileGetLastWriteTime(nFd, &ullTime));
    QN_FileClose(nFd);
    ASSERT_TRUE(QN_SystemTimeToFileTime(&lm, &ullWant));
    EXPECT_EQ(ullTime, ullWant);

    DataFile* q = NewDataFile();
    EXPECT_EQ(q->finish(), E_FAIL);
    q->Release();
}

TEST(DataFileAbort, SharedFlagStopsTransfers) {
    qn::test::TempDir dir;
    auto flag = std::make_shared<std::atomic<bool>>(false);
    DataFile* p = NewDataFile();
    uint32_t uResume = 0;
    ASSERT_EQ(p->open(QN_Utf8ToWide(dir / "f").c_str(), 10, kPiece, nullptr, nullptr, flag, &uResume), S_OK);
    uint32_t uWritten = 9;
    EXPECT_EQ(p->write(0, "abc", 3, &uWritten), S_OK);
    flag->store(true);
    EXPECT_EQ(p->write(0, "abc", 3, &uWritten), E_ABORT);
    EXPECT_EQ(uWritten, 0u);
    char buf[3];
    EXPECT_EQ(p->read(0, buf, 3, &uWritten), E_ABORT);
    // The flag is shared: the data file still tests it after its owner has let it go.
    flag.reset();
    EXPECT_EQ(p->read(0, buf, 3, &uWritten), E_ABORT);
    p->Release();
}

TEST(DataFileOpen, SecondWriterIsASharingViolation) {
    qn::test::TempDir dir;
    DataFile* p = NewDataFile();
    DataFile* q = NewDataFile();
    uint32_t uResume = 1;
    ASSERT_EQ(p->open(QN_Utf8ToWide(dir / "f").c_str(), 10, kPiece, nullptr, nullptr, nullptr, &uResume), S_OK);
    uResume = 1;
    EXPECT_EQ(q->open(QN_Utf8ToWide(dir / "f").c_str(), 10, kPiece, nullptr, nullptr, nullptr, &uResume),
              (HRESULT)0x80070020u);
    q->Release();
    p->Release();
}

// A sync that takes its time, as on a busy disk: it holds until the test lets it go.
std::atomic<bool> g_bSyncEntered{false};
std::atomic<bool> g_bSyncRelease{false};
int HoldingFlushHook(int) {
    g_bSyncEntered.store(true);
    qn::test::WaitUntil([] { return g_bSyncRelease.load(); }, 10000);
    return 0;
}

// The pieces that arrive while the data file syncs are written meanwhile: the connections'
// thread never waits for the disk, and what it commits can be recorded by the next flush.
TEST(DataFileFlush, WritesGoOnWhileTheDiskSyncs) {
    qn::test::TempDir dir;
    DataFile* p = NewDataFile();
    uint32_t uResume = 0;
    ASSERT_EQ(p->open(QN_Utf8ToWide(dir / "f").c_str(), 4 * kPiece, kPiece, nullptr, nullptr, nullptr, &uResume), S_OK);
    g_bSyncEntered.store(false);
    g_bSyncRelease.store(false);
    qn::testing::SetFileFlushHook(HoldingFlushHook);
    std::atomic<bool> bFlushed{false};
    std::thread syncer([&] {
        EXPECT_TRUE(p->flush());
        bFlushed.store(true);
    });
    ASSERT_TRUE(qn::test::WaitUntil([] { return g_bSyncEntered.load(); }, 10000));
    std::vector<uint8_t> piece(kPiece, 0x5A);
    uint32_t uWritten = 0;
    EXPECT_EQ(p->write(kPiece, piece.data(), kPiece, &uWritten), S_OK);
    EXPECT_FALSE(bFlushed.load()) << "the write waited for the sync to end";
    std::vector<uint8_t> back(kPiece);
    uint32_t uSize = kPiece;
    EXPECT_TRUE(p->readPiece(1, 0, back.data(), &uSize));
    EXPECT_EQ(back, piece);
    g_bSyncRelease.store(true);
    syncer.join();
    qn::testing::SetFileFlushHook(nullptr);
    EXPECT_EQ(p->finish(), S_OK);
    p->Release();
}

}  // namespace
