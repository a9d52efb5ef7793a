#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "DataFile.h"
#include "KDownloadingReadonlyStream.h"
#include "PieceMap.h"
#include "download_test_hooks.h"
#include "qn_string.h"
#include "qn_test_env.h"

namespace {

constexpr uint32_t kPiece = 65536;

// A data file and piece map of a file being downloaded, and a stream over them.
struct StreamFixture {
    explicit StreamFixture(const std::string& sTarget, uint64_t ullSize) : ullSize(ullSize) {
        pData = new DataFile;
        pData->AddRef();
        pMap = new PieceMap;
        pMap->AddRef();
        uint32_t uResume = 0;
        std::wstring ws = QN_Utf8ToWide(sTarget);
        EXPECT_EQ(pData->open(ws.c_str(), ullSize, kPiece, nullptr, nullptr, nullptr, &uResume), S_OK);
        EXPECT_EQ(pMap->open(ws.c_str(), "u", ullSize, nullptr, kPiece, &uResume), S_OK);
        pStream = new KDownloadingReadonlyStream;
        pStream->AddRef();
        EXPECT_EQ(pStream->init(pData, pMap), S_OK);
    }
    ~StreamFixture() {
        if (pStream) pStream->Release();
        if (pMap) pMap->Release();
        if (pData) pData->Release();
    }
    // Writes piece bytes (byte i of the file = i * 13) and commits the piece.
    void completePiece(uint32_t uPiece) {
        uint32_t uLength = pData->pieceLength(uPiece);
        std::vector<uint8_t> buf(uLength);
        for (uint32_t i = 0; i < uLength; ++i) buf[i] = (uint8_t)(((uint64_t)uPiece * kPiece + i) * 13);
        uint32_t uWritten = 0;
        ASSERT_EQ(pData->write((uint64_t)uPiece * kPiece, buf.data(), uLength, &uWritten), S_OK);
        bool bAlready, bStop;
        ASSERT_TRUE(pMap->commit(uPiece, &bAlready, &bStop));
    }
    uint64_t ullSize;
    DataFile* pData;
    PieceMap* pMap;
    KDownloadingReadonlyStream* pStream;
};

TEST(ReadonlyStreamWindow, Table) {
    struct Row {
        uint64_t ullPos;
        uint32_t uSize;
        uint64_t ullFileSize;
        uint32_t uFirst, uLast;
    } rows[] = {
        {0, 65536, 100 * 65536ull, 0, 1},
        {0, 512 * 1024, 100 * 65536ull, 0, 64},         // 4 MiB ahead
        {0, 512 * 1024, 10 * 65536ull, 0, 10},          // ... cut at the end of the file
        {65536, 0x40000, 100 * 65536ull, 1, 65},
        {0, 0x100001, 100 * 65536ull, 0, 16},            // above 1 MiB: just the read
        {0, 2 * 1024 * 1024, 2 * 65536ull, 0, 2},       // clamped to the file
        {100, 10, 100 * 65536ull, 0, 1},
    };
    for (const Row& r : rows) {
        uint32_t uFirst = 0, uLast = 0;
        KDownloadingReadonlyStream::windowFor(r.ullPos, r.uSize, r.ullFileSize, kPiece, &uFirst, &uLast);
        EXPECT_EQ(uFirst, r.uFirst) << r.ullPos << "+" << r.uSize;
        EXPECT_EQ(uLast, r.uLast) << r.ullPos << "+" << r.uSize;
    }
}

TEST(ReadonlyStreamSeek, Table) {
    qn::test::TempDir dir;
    StreamFixture fx(dir / "f", 1000);
    struct Row {
        int64_t llOffset;
        uint32_t uOrigin;
        HRESULT hr;
        uint64_t ullPos;
    } rows[] = {
        {-5, KSTREAM_SEEK_SET, S_OK, 0},         {100, KSTREAM_SEEK_SET, S_OK, 100},
        {50, KSTREAM_SEEK_CUR, S_OK, 150},       {-200, KSTREAM_SEEK_CUR, S_OK, 0},
        {10, KSTREAM_SEEK_END, S_OK, 1000},      {-10, KSTREAM_SEEK_END, S_OK, 990},
        {INT64_MAX, KSTREAM_SEEK_CUR, S_OK, 1000}, {INT64_MIN, KSTREAM_SEEK_END, S_OK, 0},
        {0, 3, E_FAIL, 0},
    };
    for (const Row& r : rows) {
        uint64_t ullPos = 777;
        EXPECT_EQ(fx.pStream->Seek(r.llOffset, r.uOrigin, &ullPos), r.hr);
        if (r.hr == S_OK) {
            EXPECT_EQ(ullPos, r.ullPos) << r.llOffset << "/" << r.uOrigin;
        }
    }
}

TEST(ReadonlyStreamRead, BlocksUntilThePieceIsCommitted) {
    qn::test::TempDir dir;
    StreamFixture fx(dir / "f", 3 * kPiece + 100);
    fx.completePiece(0);
    // The reader looks at the abort callback each time it checks for the piece: after its
    // third look it has found piece 1 missing at least twice, and only then does it come.
    std::atomic<int> nLooks{0};
    std::atomic<bool> bReturned{false};
    fx.pStream->SetAbortCallback(
        [](void* pv) {
            ++*(std::atomic<int>*)pv;
            return false;
        },
        &nLooks);
    std::thread writer([&] {
        EXPECT_TRUE(qn::test::WaitUntil([&] { return nLooks.load() >= 3; }));
        EXPECT_FALSE(bReturned.load()) << "the read did not wait for the piece";
        fx.completePiece(1);
    });
    std::vector<uint8_t> buf(kPiece + 10);
    uint32_t uGot = 0;
    ASSERT_EQ(fx.pStream->Seek(kPiece - 10, KSTREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(fx.pStream->Read(buf.data(), (uint32_t)buf.size(), &uGot), S_OK);
    bReturned = true;
    writer.join();
    fx.pStream->SetAbortCallback(nullptr, nullptr);
    EXPECT_EQ(uGot, buf.size());
    for (uint32_t i = 0; i < uGot; ++i) {
        ASSERT_EQ(buf[i], (uint8_t)((kPiece - 10 + i) * 13)) << i;
    }
    // At the end of the file a read returns what there is.
    fx.completePiece(3);
    ASSERT_EQ(fx.pStream->Seek(-50, KSTREAM_SEEK_END, nullptr), S_OK);
    EXPECT_EQ(fx.pStream->Read(buf.data(), 1000, &uGot), S_OK);
    EXPECT_EQ(uGot, 50u);
    EXPECT_EQ(fx.pStream->Read(buf.data(), 1000, &uGot), S_OK);
    EXPECT_EQ(uGot, 0u);
    EXPECT_EQ(fx.pStream->Read(buf.data(), 0, &uGot), S_OK);
}

TEST(ReadonlyStreamRead, AbortAndEndedSessionReturn) {
    qn::test::TempDir dir;
    StreamFixture fx(dir / "f", 2 * kPiece);
    std::atomic<bool> bAbort{true};
    fx.pStream->SetAbortCallback([](void* pv) { return ((std::atomic<bool>*)pv)->load(); }, &bAbort);
    std::vector<uint8_t> buf(100);
    uint32_t uGot = 99;
    EXPECT_EQ(fx.pStream->Read(buf.data(), 100, &uGot), E_ABORT);
    EXPECT_EQ(uGot, 0u);
    fx.pStream->SetAbortCallback(nullptr, nullptr);
    // Once the session has ended, a missing piece never comes: the read returns at once. A
    // second look at the abort callback would mean it waited; it is aborted then.
    fx.pMap->markEnded();
    std::atomic<int> nLooks{0};
    fx.pStream->SetAbortCallback([](void* pv) { return ++*(std::atomic<int>*)pv > 1; }, &nLooks);
    EXPECT_EQ(fx.pStream->Read(buf.data(), 100, &uGot), E_FAIL);
    EXPECT_EQ(nLooks.load(), 1);
    fx.pStream->SetAbortCallback(nullptr, nullptr);
}

TEST(ReadonlyStreamLifetime, OutlivesTheOtherHolders) {
    qn::test::TempDir dir;
    auto* pFx = new StreamFixture(dir / "f", kPiece);
    pFx->completePiece(0);
    KDownloadingReadonlyStream* pStream = pFx->pStream;
    pFx->pStream = nullptr;
    delete pFx;  // the session's references are gone; the stream still holds its own
    std::vector<uint8_t> buf(10);
    uint32_t uGot = 0;
    EXPECT_EQ(pStream->Read(buf.data(), 10, &uGot), S_OK);
    EXPECT_EQ(uGot, 10u);
    void* pv = nullptr;
    EXPECT_EQ(pStream->QueryInterface(IID_IUnknown, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(pStream->QueryInterface(IID_IInStream, &pv), S_OK);
    EXPECT_EQ(pv, (void*)static_cast<IInStream*>(pStream));
    pStream->Release();
    pStream->Release();
}

}  // namespace
