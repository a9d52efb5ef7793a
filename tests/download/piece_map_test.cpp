#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PieceMap.h"
#include "download_test_hooks.h"
#include "qn_string.h"
#include "qn_test_env.h"

namespace {

constexpr uint32_t kPiece = 65536;

std::vector<uint8_t> StatesFrom(const std::string& digits) {
    std::vector<uint8_t> v;
    for (char c : digits) v.push_back((uint8_t)std::stoi(std::string(1, c), nullptr, 16));
    return v;
}

// An open map over a fresh progress file, released at the end of the test.
struct MapHolder {
    explicit MapHolder(const std::string& sTarget, uint64_t ullSize, const SYSTEMTIME* pLm = nullptr,
                       uint32_t uResumeIn = 1)
        : pMap(new PieceMap) {
        pMap->AddRef();
        uResume = uResumeIn;
        hr = pMap->open(QN_Utf8ToWide(sTarget).c_str(), "http://h/f", ullSize, pLm, kPiece, &uResume);
    }
    ~MapHolder() { pMap->Release(); }
    PieceMap* pMap;
    HRESULT hr;
    uint32_t uResume;
};

std::string StatesOf(PieceMap* pMap) {
    std::string s;
    for (uint32_t i = 0; i < pMap->pieceCount(); ++i) {
        uint32_t uState = 0;
        pMap->getState(i, &uState, nullptr);
        s += "0123456789ABCDEF"[uState];
    }
    return s;
}

TEST(PieceMapPick, Table) {
    enum Op { kFree, kSplit };
    struct Row {
        const char* szStates;
        Op op;
        bool bUseWindow;
        uint32_t uWinStart, uWinEnd;
        bool bFound;
        uint32_t uFirst, uLast;
        const char* szAfter;
    } rows[] = {
        {"400010040", kFree, false, 0, 0, true, 1, 3, "410010040"},
        {"400010040", kSplit, false, 0, 0, true, 5, 6, "400011040"},
        // a taken piece with nothing free behind it is handed out again (the first of them)
        {"41", kSplit, false, 0, 0, true, 1, 1, "41"},
        {"1", kSplit, false, 0, 0, true, 0, 0, "1"},
        {"1114", kSplit, false, 0, 0, true, 0, 0, "1114"},
        // a longer run after lone taken pieces is still split
        {"11100", kSplit, false, 0, 0, true, 3, 4, "11110"},
        {"0040044", kFree, false, 0, 0, true, 0, 1, "1040044"},  // equal runs: the first
        {"4848", kFree, false, 0, 0, false, 0, 0, "4848"},
        {"4848", kSplit, false, 0, 0, false, 0, 0, "4848"},
        {"1000", kSplit, false, 0, 0, true, 2, 3, "1010"},
        {"2200", kFree, false, 0, 0, true, 0, 3, "3200"},  // state 2 counts as free
        // inside a window the scan starts at the window start even behind a free piece
        {"00000000", kFree, true, 4, 6, true, 4, 5, "00001000"},
        // a window past the end is cut at the piece count
        {"00004000", kFree, true, 5, 1000, true, 5, 7, "00004100"},
        {"0000", kSplit, true, 1, 3, false, 0, 0, "0000"},
        // a window with nothing free in it is not used
        {"00044000", kFree, true, 3, 5, true, 0, 2, "10044000"},
    };
    qn::test::TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szStates);
        std::vector<uint8_t> states = StatesFrom(r.szStates);
        MapHolder h(dir / "f", (uint64_t)states.size() * kPiece, nullptr, 0);
        ASSERT_EQ(h.hr, S_OK);
        qn::testing::SetPieceStates(h.pMap, states);
        if (r.bUseWindow) h.pMap->setWindow(r.uWinStart, r.uWinEnd);
        uint32_t uFirst = 99, uLast = 99;
        bool bFound = r.op == kFree ? h.pMap->pickFree(r.bUseWindow, &uFirst, &uLast)
                                    : h.pMap->pickSplit(r.bUseWindow, &uFirst, &uLast);
        EXPECT_EQ(bFound, r.bFound);
        if (r.bFound) {
            EXPECT_EQ(uFirst, r.uFirst);
            EXPECT_EQ(uLast, r.uLast);
        }
        EXPECT_EQ(StatesOf(h.pMap), r.szAfter);
    }
}

// When the longest run is refused, or every run is a taken piece alone, the caller is asked
// about each lone taken piece in order (with no piece ahead) and the first it accepts is handed
// out again; a run shorter than the longest is never split instead.
TEST(PieceMapPick, LoneTakenPiecesAreAskedInOrder) {
    struct Row {
        const char* szStates;
        std::vector<uint32_t> refused;
        std::vector<std::pair<uint32_t, uint32_t>> asked;  // taken piece, pieces ahead
        bool bFound;
        uint32_t uPiece;
    } rows[] = {
        {"4141", {}, {{1, 0}}, true, 1},
        {"4141", {1}, {{1, 0}, {3, 0}}, true, 3},
        {"4141", {1, 3}, {{1, 0}, {3, 0}}, false, 0},
        // the run 3..5 is refused; the run 0..1 is shorter and not split; the lone 2 is fetched again
        {"101100", {3}, {{3, 1}, {2, 0}}, true, 2},
    };
    qn::test::TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szStates);
        std::vector<uint8_t> states = StatesFrom(r.szStates);
        MapHolder h(dir / "f", (uint64_t)states.size() * kPiece, nullptr, 0);
        ASSERT_EQ(h.hr, S_OK);
        qn::testing::SetPieceStates(h.pMap, states);
        std::vector<std::pair<uint32_t, uint32_t>> asked;
        uint32_t uStart = 99, uLast = 99;
        bool bFound = h.pMap->pickSplit(false, &uStart, &uLast, [&](uint32_t uTaken, uint32_t uAhead) {
            asked.emplace_back(uTaken, uAhead);
            for (uint32_t u : r.refused)
                if (u == uTaken) return false;
            return true;
        });
        EXPECT_EQ(asked, r.asked);
        EXPECT_EQ(bFound, r.bFound);
        if (r.bFound) {
            EXPECT_EQ(uStart, r.uPiece);
            EXPECT_EQ(uLast, r.uPiece);
        }
        EXPECT_EQ(StatesOf(h.pMap), r.szStates);
    }
}

// A piece held by two downloaders (handed out again, or reached by a chain while another holds
// it) stays taken until both have given it back, so that it is not handed out as free while
// one of them still fetches it; a commit ends every hold.
TEST(PieceMapTransitions, APieceHeldTwiceStaysTakenUntilBothRelease) {
    qn::test::TempDir dir;
    MapHolder h(dir / "f", 3 * kPiece, nullptr, 0);
    ASSERT_EQ(h.hr, S_OK);
    uint32_t uFirst = 0, uLast = 0;
    qn::testing::SetPieceStates(h.pMap, StatesFrom("441"));
    ASSERT_TRUE(h.pMap->pickSplit(false, &uFirst, &uLast));
    EXPECT_EQ(uFirst, 2u);
    EXPECT_TRUE(h.pMap->release(2));
    EXPECT_FALSE(h.pMap->pickFree(false, &uFirst, &uLast));  // still held by the first
    EXPECT_TRUE(h.pMap->release(2));
    EXPECT_EQ(StatesOf(h.pMap), "440");
    EXPECT_FALSE(h.pMap->release(2));
    // a chain that reaches a held piece holds it too
    qn::testing::SetPieceStates(h.pMap, StatesFrom("101"));
    bool bAlready = false, bStop = true;
    ASSERT_TRUE(h.pMap->commit(1, &bAlready, &bStop));
    EXPECT_FALSE(bStop);
    EXPECT_TRUE(h.pMap->release(2));
    EXPECT_EQ(StatesOf(h.pMap), "141");
    EXPECT_TRUE(h.pMap->release(2));
    EXPECT_EQ(StatesOf(h.pMap), "140");
    // committed while held twice: a later copy handed out again is held once
    qn::testing::SetPieceStates(h.pMap, StatesFrom("441"));
    ASSERT_TRUE(h.pMap->pickSplit(false, &uFirst, &uLast));
    ASSERT_TRUE(h.pMap->commit(2, &bAlready, &bStop));
    EXPECT_FALSE(h.pMap->release(2));
    ASSERT_TRUE(h.pMap->reset(2));
    EXPECT_EQ(StatesOf(h.pMap), "440");
}

// The split asks its caller about the longest run only: a refusal splits nothing, rather than
// a shorter run, and leaves every state as it was.
TEST(PieceMapPick, SplitAsksAboutTheLongestRun) {
    struct Row {
        uint32_t uRefused;
        bool bFound;
        uint32_t uStart;
        const char* szAfter;
    } rows[] = {{0, false, 0, "1000100"}, {4, true, 2, "1010100"}};
    qn::test::TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.uRefused);
        MapHolder h(dir / "f", 7 * kPiece, nullptr, 0);
        ASSERT_EQ(h.hr, S_OK);
        qn::testing::SetPieceStates(h.pMap, StatesFrom("1000100"));
        std::vector<uint32_t> asked;
        uint32_t uStart = 99, uLast = 99;
        bool bFound = h.pMap->pickSplit(false, &uStart, &uLast, [&](uint32_t uTaken, uint32_t uAhead) {
            EXPECT_EQ(uAhead, 2u);
            asked.push_back(uTaken);
            return uTaken != r.uRefused;
        });
        EXPECT_EQ(asked, std::vector<uint32_t>{0});
        EXPECT_EQ(bFound, r.bFound);
        if (r.bFound) {
            EXPECT_EQ(uStart, r.uStart);
            EXPECT_EQ(uLast, 3u);
        }
        EXPECT_EQ(StatesOf(h.pMap), r.szAfter);
    }
}

TEST(PieceMapWindow, ClampedToPieceCount) {
    qn::test::TempDir dir;
    MapHolder h(dir / "f", 4 * kPiece, nullptr, 0);
    uint32_t uStart = 0, uEnd = 0;
    h.pMap->setWindow(2, 0xFFFFFFF0u);
    h.pMap->getWindow(&uStart, &uEnd);
    EXPECT_EQ(uStart, 2u);
    EXPECT_EQ(uEnd, 4u);
    h.pMap->setWindow(4, 9);  // first at the piece count: left unchanged
    h.pMap->getWindow(&uStart, &uEnd);
    EXPECT_EQ(uStart, 2u);
    EXPECT_TRUE(h.pMap->isWindowValid());
}

TEST(PieceMapCommit, Table) {
    struct Row {
        const char* szStates;
        uint32_t uWinStart, uWinEnd;  // 0, 0: no window
        uint32_t uPiece;
        bool bAlready, bStop;
        const char* szAfter;
        uint32_t uComplete;
        bool bWindowCleared;
    } rows[] = {
        {"0001", 0, 0, 3, false, true, "0004", 1, false},     // the last piece stops
        {"1000", 0, 0, 0, false, false, "4100", 1, false},    // the next piece is taken
        {"1100", 0, 0, 0, false, false, "4100", 1, false},    // ... also when another holds it
        {"1400", 0, 0, 0, false, true, "4400", 2, false},     // a complete next piece stops
        {"4100", 0, 0, 0, true, false, "4100", 1, false},     // already complete: count unchanged
        {"00100000", 2, 5, 2, false, false, "00410000", 1, false},  // inside the window: go on
        {"10000000", 4, 6, 0, false, true, "40000000", 1, false},   // outside a valid window: stop
        {"01100000", 1, 2, 1, false, false, "04100000", 1, true},   // the window is used up
    };
    qn::test::TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szStates);
        std::vector<uint8_t> states = StatesFrom(r.szStates);
        MapHolder h(dir / "f", (uint64_t)states.size() * kPiece, nullptr, 0);
        qn::testing::SetPieceStates(h.pMap, states);
        if (r.uWinEnd) h.pMap->setWindow(r.uWinStart, r.uWinEnd);
        bool bAlready = true, bStop = false;
        ASSERT_TRUE(h.pMap->commit(r.uPiece, &bAlready, &bStop));
        EXPECT_EQ(bAlready, r.bAlready);
        EXPECT_EQ(bStop, r.bStop);
        EXPECT_EQ(StatesOf(h.pMap), r.szAfter);
        EXPECT_EQ(h.pMap->completeCount(), r.uComplete);
        uint32_t uStart = 0, uEnd = 0;
        h.pMap->getWindow(&uStart, &uEnd);
        if (r.bWindowCleared) {
            EXPECT_EQ(uStart, KPIECE_NONE);
        }
    }
    MapHolder h(dir / "g", 2 * kPiece, nullptr, 0);
    bool bAlready, bStop;
    EXPECT_FALSE(h.pMap->commit(2, &bAlready, &bStop));
}

TEST(PieceMapTransitions, ReleaseResetVerify) {
    qn::test::TempDir dir;
    MapHolder h(dir / "f", 100000, nullptr, 0);  // two pieces, the last 34464 bytes
    qn::testing::SetPieceStates(h.pMap, StatesFrom("10"));
    EXPECT_TRUE(h.pMap->release(0));
    EXPECT_FALSE(h.pMap->release(0));  // bit 0 no longer set
    EXPECT_FALSE(h.pMap->release(2));
    // reset acts on complete pieces only, so a double reset cannot lower the count twice
    qn::testing::SetPieceStates(h.pMap, StatesFrom("40"));
    EXPECT_EQ(h.pMap->completeCount(), 1u);
    EXPECT_FALSE(h.pMap->reset(1));
    EXPECT_EQ(h.pMap->completeCount(), 1u);
    EXPECT_TRUE(h.pMap->reset(0));
    EXPECT_FALSE(h.pMap->reset(0));
    EXPECT_EQ(h.pMap->completeCount(), 0u);
    // markVerified turns 4 into 8 only
    qn::testing::SetPieceStates(h.pMap, StatesFrom("48"));
    EXPECT_TRUE(h.pMap->markVerified(0));
    EXPECT_FALSE(h.pMap->markVerified(0));
    EXPECT_FALSE(h.pMap->markVerified(1));
    EXPECT_EQ(StatesOf(h.pMap), "88");
    EXPECT_EQ(h.pMap->completeBytes(), 100000u);
    qn::testing::SetPieceStates(h.pMap, StatesFrom("04"));
    EXPECT_EQ(h.pMap->completeBytes(), 34464u);
    uint32_t uState = 0, uField = 0;
    EXPECT_FALSE(h.pMap->getState(2, &uState, &uField));
}

// A progress file as the format lays it out, with fields to spoil.
std::string CraftCfg(const std::string& sStates, uint64_t ullSize = 0, uint32_t uPieceSize = kPiece,
                     const SYSTEMTIME* pLm = nullptr) {
    std::string s(4096, '\0');
    std::memcpy(&s[0], "TbRf", 4);
    s[4] = 1;
    std::memcpy(&s[8], "http://h/f", 10);
    if (ullSize == 0) ullSize = (uint64_t)sStates.size() * kPiece;
    for (int i = 0; i < 8; ++i) s[2020 + i] = (char)(ullSize >> (8 * i));
    if (pLm) {
        const uint16_t* pw = &pLm->wYear;
        for (int i = 0; i < 8; ++i) {
            s[2028 + 2 * i] = (char)(pw[i] & 0xFF);
            s[2029 + 2 * i] = (char)(pw[i] >> 8);
        }
    }
    for (int i = 0; i < 4; ++i) s[2044 + i] = (char)(uPieceSize >> (8 * i));
    for (char c : sStates) s += (char)std::stoi(std::string(1, c), nullptr, 16);
    return s;
}

TEST(PieceMapOpen, OutcomeTable) {
    const SYSTEMTIME lmA = {2020, 1, 3, 1, 10, 0, 0, 0};
    const SYSTEMTIME lmB = {2021, 1, 5, 1, 10, 0, 0, 0};
    const SYSTEMTIME lmNone = {};
    struct Row {
        const char* szName;
        bool bFileExists;
        std::string sContent;
        const SYSTEMTIME* pLmNow;
        uint32_t uOutcome;
        const char* szStatesAfter;
    } rows[] = {
        {"absent", false, "", nullptr, KPMR_EMPTY, "0000"},
        {"empty", true, "", nullptr, KPMR_EMPTY, "0000"},
        {"good", true, CraftCfg("4814"), nullptr, KPMR_RESUMED, "4804"},
        {"taken and half-done cleared", true, CraftCfg("1238"), nullptr, KPMR_RESUMED, "0008"},
        {"states no session writes cleared", true, CraftCfg("5F94"), nullptr, KPMR_RESUMED, "0004"},
        {"longer file", true, CraftCfg("4444") + "xyz", nullptr, KPMR_RESUMED, "4444"},
        {"bad magic", true, "TbRg" + CraftCfg("4444").substr(4), nullptr, KPMR_BAD_HEADER, "0000"},
        {"byte 4", true, CraftCfg("4444").replace(4, 1, 1, '\2'), nullptr, KPMR_BAD_HEADER, "0000"},
        {"byte 5", true, CraftCfg("4444").replace(5, 1, 1, '\1'), nullptr, KPMR_BAD_HEADER, "0000"},
        {"short header", true, CraftCfg("4444").substr(0, 4000), nullptr, KPMR_BAD_HEADER, "0000"},
        {"one state short", true, CraftCfg("444"), nullptr, KPMR_BAD_HEADER, "0000"},
        {"size differs", true, CraftCfg("4444", 5 * kPiece), nullptr, KPMR_SIZE_DIFFERS, "0000"},
        {"piece size differs", true, CraftCfg("4444", 0, 32768), nullptr, KPMR_PIECE_SIZE_DIFFERS, "0000"},
        {"same Last-Modified", true, CraftCfg("4444", 0, kPiece, &lmA), &lmA, KPMR_RESUMED, "4444"},
        {"remote file changed", true, CraftCfg("4444", 0, kPiece, &lmA), &lmB, KPMR_BAD_HEADER, "0000"},
        // A time absent on one side only cannot show that the file is the same one.
        {"no stored Last-Modified", true, CraftCfg("4444"), &lmB, KPMR_BAD_HEADER, "0000"},
        {"no Last-Modified now", true, CraftCfg("4444", 0, kPiece, &lmA), &lmNone, KPMR_BAD_HEADER, "0000"},
        {"no Last-Modified either time", true, CraftCfg("4444"), &lmNone, KPMR_RESUMED, "4444"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szName);
        qn::test::TempDir dir;
        if (r.bFileExists) qn::test::WriteFile(dir / "f.cfg", r.sContent);
        MapHolder h(dir / "f", 4 * kPiece, r.pLmNow, 1);
        ASSERT_EQ(h.hr, S_OK);
        EXPECT_EQ(h.uResume, r.uOutcome);
        EXPECT_EQ(StatesOf(h.pMap), r.szStatesAfter);
        uint32_t uComplete = 0;
        for (const char* p = r.szStatesAfter; *p; ++p) uComplete += *p >= '4';
        EXPECT_EQ(h.pMap->completeCount(), uComplete);
    }
}

TEST(PieceMapOpen, RewrittenHeaderBytes) {
    qn::test::TempDir dir;
    qn::test::WriteFile(dir / "f.cfg", "garbage");
    const SYSTEMTIME lm = {1994, 11, 0, 6, 8, 49, 37, 0};
    std::string sLongUrl(3000, 'u');
    PieceMap* pMap = new PieceMap;
    pMap->AddRef();
    uint32_t uResume = 1;
    ASSERT_EQ(pMap->open(QN_Utf8ToWide(dir / "f").c_str(), sLongUrl.c_str(), 3 * kPiece + 1, &lm, kPiece, &uResume),
              S_OK);
    EXPECT_EQ(uResume, (uint32_t)KPMR_BAD_HEADER);
    pMap->Release();
    std::string s = qn::test::ReadFile(dir / "f.cfg");
    ASSERT_EQ(s.size(), 4096u + 4u);
    EXPECT_EQ(s.substr(0, 8), std::string("TbRf\x01\0\0\0", 8));
    EXPECT_EQ(s.substr(8, 2011), std::string(2011, 'u'));
    EXPECT_EQ(s[2019], '\0');
    EXPECT_EQ(s.substr(2020, 8), std::string("\x01\0\x03\0\0\0\0\0", 8));
    EXPECT_EQ(s.substr(2028, 16), std::string("\xca\x07\x0b\0\0\0\x06\0\x08\0\x31\0\x25\0\0\0", 16));
    EXPECT_EQ(s.substr(2044, 4), std::string("\0\0\x01\0", 4));
    EXPECT_EQ(s.substr(2048, 2048), std::string(2048, '\0'));
    EXPECT_EQ(s.substr(4096), std::string(4, '\0'));
}

TEST(PieceMapPersistence, FlushReopenAndClose) {
    qn::test::TempDir dir;
    {
        MapHolder h(dir / "f", 3 * kPiece, nullptr, 0);
        bool bAlready, bStop;
        ASSERT_TRUE(h.pMap->commit(1, &bAlready, &bStop));
        bool bCalled = false;
        EXPECT_TRUE(h.pMap->flush([&] { return bCalled = true; }));
        EXPECT_TRUE(bCalled);
        EXPECT_EQ(qn::test::ReadFile(dir / "f.cfg").substr(4096), std::string("\0\x04\x01", 3));
        // A sync that fails keeps the states changed and writes nothing.
        ASSERT_TRUE(h.pMap->commit(2, &bAlready, &bStop));
        EXPECT_FALSE(h.pMap->flush([] { return false; }));
        EXPECT_EQ(qn::test::ReadFile(dir / "f.cfg").substr(4096), std::string("\0\x04\x01", 3));
        h.pMap->close(true);
        EXPECT_FALSE(h.pMap->flush());
    }
    EXPECT_EQ(qn::test::ReadFile(dir / "f.cfg").substr(4096), std::string("\0\x04\x04", 3));
    {
        // Verified and reset states reach the file too.
        MapHolder h(dir / "f", 3 * kPiece, nullptr, 1);
        ASSERT_TRUE(h.pMap->markVerified(1));
        ASSERT_TRUE(h.pMap->reset(2));
        EXPECT_TRUE(h.pMap->flush());
        EXPECT_EQ(qn::test::ReadFile(dir / "f.cfg").substr(4096), std::string("\0\x08\0", 3));
        ASSERT_TRUE(h.pMap->reset(1));
        bool bAlready, bStop;
        ASSERT_TRUE(h.pMap->commit(1, &bAlready, &bStop));
        ASSERT_TRUE(h.pMap->commit(2, &bAlready, &bStop));
    }
    {
        MapHolder h(dir / "f", 3 * kPiece, nullptr, 1);
        EXPECT_EQ(h.uResume, (uint32_t)KPMR_RESUMED);
        EXPECT_EQ(StatesOf(h.pMap), "044");
        EXPECT_EQ(h.pMap->completeCount(), 2u);
        h.pMap->close(false);
    }
    EXPECT_FALSE(qn::test::FileExists(dir / "f.cfg"));
}

TEST(PieceMapOpen, RefusesUnusableSizes) {
    qn::test::TempDir dir;
    PieceMap* pMap = new PieceMap;
    pMap->AddRef();
    uint32_t uResume = 0;
    // 2^48 bytes in 64 KiB pieces is 2^32 pieces: more than a 32-bit index holds.
    EXPECT_EQ(pMap->open(QN_Utf8ToWide(dir / "f").c_str(), "u", 1ull << 48, nullptr, kPiece, &uResume), E_INVALIDARG);
    EXPECT_EQ(pMap->open(QN_Utf8ToWide(dir / "f").c_str(), "u", 10, nullptr, 0, &uResume), E_INVALIDARG);
    EXPECT_FALSE(qn::test::FileExists(dir / "f.cfg"));
    pMap->Release();
}

}  // namespace
