// How a session takes the answers to its piece requests: the framing of chunked bodies, the
// version of the file an answer carries, and ranged answers that are not the range asked for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "PieceMap.h"
#include "session_test_util.h"

namespace {

using qn::test::FileExists;
using qn::test::FirstResourceMismatch;
using qn::test::Plan;
using qn::test::ReadFile;
using qn::test::RequestRecord;
using qn::test::SessionOptions;
using qn::test::SessionOutcome;
using qn::test::SessionTest;
using qn::test::Step;
using qn::test::VersionOf;
using qn::test::VersionTwoBytes;
namespace step = qn::test::http_step;

// Steps applied to the GET requests only, with the GET's number (1 for the first).
Step ForGets(std::function<void(Plan&, const RequestRecord&, int nGet)> fn) {
    auto count = std::make_shared<std::atomic<int>>(0);
    return [count, fn](Plan& p, const RequestRecord& r) {
        if (r.method == "GET") fn(p, r, count->fetch_add(1) + 1);
    };
}

std::vector<RequestRecord> Gets(const qn::test::LoopbackHttpServer& server) {
    std::vector<RequestRecord> out;
    for (const auto& r : server.requests()) {
        if (r.method == "GET") out.push_back(r);
    }
    return out;
}

void ExpectExactFile(const SessionOutcome& r, const std::string& sTarget, uint64_t ullSize) {
    ASSERT_FALSE(r.bTimedOut);
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED) << "error " << r.uError << "/" << r.uErrorExt;
    std::string s = ReadFile(sTarget);
    ASSERT_EQ(s.size(), ullSize);
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
}

// Every piece of the data file is unwritten space or the resource's own bytes.
void ExpectOnlyResourceBytes(const std::string& sPath) {
    std::string s = ReadFile(sPath);
    for (size_t off = 0; off < s.size(); off += 65536) {
        std::string piece = s.substr(off, 65536);
        if (piece.find_first_not_of('\0') == std::string::npos) continue;
        EXPECT_EQ(FirstResourceMismatch(off, piece.data(), piece.size()), -1) << "piece at " << off;
    }
}

void RemoveOutputs(const std::string& sTarget) {
    for (const char* szTail : {"", ".tmp", ".cfg"}) QN_DeleteFile((sTarget + szTail).c_str());
}

// Chunked answers whose framing fails after some of their pieces are filled: those pieces are
// never kept. Each fault, taken for real bytes, would put wrong bytes in the first piece (a
// stray CR LF shifts the data by two; a size one too large makes the chunk's CR part of the
// piece) or keep pieces of a chunk that never ended.
TEST_F(SessionTest, ChunkFramingFaultsKeepNoPieceOfTheirChunk) {
    const uint64_t kSize = 6 * 65536 + 100;
    struct Row {
        const char* szName;
        std::vector<Step> steps;
    };
    const Row rows[] = {
        {"stray CR LF after each chunk size", {step::Chunked(65536), step::StrayAfterChunkSize("\r\n")}},
        {"chunk size larger than its data", {step::Chunked(65535), step::ChunkSizeSkew(1)}},
        {"chunk cut inside its third piece", {step::Chunked(3 * 65536), step::CutInsideChunk(2 * 65536 + 1000)}},
    };
    for (const Row& row : rows) {
        for (uint32_t uConnections : {1u, 4u}) {
            SCOPED_TRACE(std::string(row.szName) + ", connections " + std::to_string(uConnections));
            qn::test::LoopbackHttpServer server;
            server.addResource("/f.bin", kSize);
            // Each connection's first GET is faulty; the later ones are answered as asked.
            auto steps = row.steps;
            server.script("/f.bin", server.kAnyIndex, {ForGets([steps, uConnections](Plan& p, const RequestRecord& r, int n) {
                              if (n > (int)uConnections) return;
                              for (const auto& st : steps) st(p, r);
                          })});
            SessionOptions o;
            o.uConnections = uConnections;
            ExpectExactFile(Run(server.url("/f.bin"), o), target(), kSize);
            if (uConnections == 1) {
                // Nothing of the faulty answer was kept: the retry starts again at byte 0.
                auto gets = Gets(server);
                ASSERT_GE(gets.size(), 2u);
                EXPECT_FALSE(gets[1].hasHeader("Range")) << gets[1].header("Range");
            }
            RemoveOutputs(target());
        }
    }
    // A server whose every answer has the fault never gives a successful session, and no
    // byte of its faulty chunks is in the data file.
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.szName) + ", every answer");
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        auto steps = row.steps;
        server.script("/f.bin", server.kAnyIndex, {ForGets([steps](Plan& p, const RequestRecord& r, int) {
                          for (const auto& st : steps) st(p, r);
                      })});
        SessionOptions o;
        o.uConnections = 10;
        o.nDeadlineMs = 30000;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        EXPECT_FALSE(r.bTimedOut);
        EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
        EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_NETWORK);
        EXPECT_FALSE(FileExists(target()));
        ExpectOnlyResourceBytes(target() + ".tmp");
        RemoveOutputs(target());
    }
}

uint64_t BytesSent(const qn::test::LoopbackHttpServer& server) {
    uint64_t ull = 0;
    for (const auto& c : server.connections()) ull += c.bytesSent;
    return ull;
}

// Chunks of many pieces, up to the whole file in one chunk: every piece is taken from the one
// answer, so the server sends the file once. Keeping only the first pieces of a long chunk
// and asking again for the rest would send the file's tail again and again.
TEST_F(SessionTest, LongChunksAreTakenWholeFromOneAnswer) {
    const uint64_t kSize = 5 * 1024 * 1024 + 5;
    const size_t kChunks[] = {2 * 1024 * 1024, (size_t)kSize};
    for (size_t uChunk : kChunks) {
        for (uint32_t uConnections : {1u, 4u}) {
            SCOPED_TRACE("chunk " + std::to_string(uChunk) + ", connections " + std::to_string(uConnections));
            qn::test::LoopbackHttpServer server;
            server.addResource("/f.bin", kSize);
            server.script("/f.bin", server.kAnyIndex,
                          {ForGets([uChunk](Plan& p, const RequestRecord& r, int) { step::Chunked(uChunk)(p, r); })});
            SessionOptions o;
            o.uConnections = uConnections;
            ExpectExactFile(Run(server.url("/f.bin"), o), target(), kSize);
            if (uConnections == 1) {
                // One GET, and the file plus the heads and the framing on the wire.
                EXPECT_EQ(Gets(server).size(), 1u);
                EXPECT_LE(BytesSent(server), kSize + 4096);
            }
            RemoveOutputs(target());
        }
    }
}

// The state byte of a piece in a progress file, 0xFF when it cannot be read.
uint8_t PieceState(const std::string& sCfg, uint32_t uPiece) {
    int nFd = ::open(sCfg.c_str(), O_RDONLY | O_CLOEXEC);
    if (nFd < 0) return 0xFF;
    uint8_t b = 0xFF;
    if (::pread(nFd, &b, 1, 4096 + uPiece) != 1) b = 0xFF;
    ::close(nFd);
    return b;
}

// Bytes [offset, offset + length) of a file, shorter when it cannot be read that far.
std::string FileBytes(const std::string& sPath, uint64_t offset, size_t length) {
    std::string s(length, '\0');
    int nFd = ::open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (nFd < 0) return std::string();
    ssize_t n = ::pread(nFd, s.data(), length, (off_t)offset);
    ::close(nFd);
    s.resize(n > 0 ? (size_t)n : 0);
    return s;
}

// Two chunked answers both carry piece 2 (the stream from 0 and the split at piece 2, each
// answering with one chunk). The split's good copy is written first and waits for its chunk's
// end; the stream's copy, with one byte flipped, is written over it, and the stream's chunk is
// then cut. When the split's chunk ends, the bytes of piece 2 in the data file are not the
// ones it confirmed: piece 2 must not be committed on its word, and is fetched again.
TEST_F(SessionTest, APieceWrittenOverByAnotherAnswerIsNotCommittedForTheFirst) {
    const uint64_t kPiece = 65536, kSize = 4 * kPiece;
    m_server.addResource("/f.bin", kSize);
    const std::string sTmp = target() + ".tmp", sCfg = target() + ".cfg";
    const std::string sGood = qn::test::ResourceBytes(2 * kPiece, kPiece);
    std::string sBad = sGood;
    sBad[10] ^= (char)0xFF;
    auto pieceTwoIs = [sTmp, kPiece](const std::string& sBytes) {
        return [sTmp, kPiece, sBytes] { return FileBytes(sTmp, 2 * kPiece, kPiece) == sBytes; };
    };
    auto pSplitAsked = std::make_shared<std::atomic<bool>>(false);
    auto pChainAsked = std::make_shared<std::atomic<bool>>(false);
    const std::string sSplitRange = "bytes=" + std::to_string(2 * kPiece) + "-";
    m_server.script(
        "/f.bin", m_server.kAnyIndex,
        {ForGets([=](Plan& p, const RequestRecord& r, int) {
            std::string sRange = r.header("Range");
            if (sRange.empty() && !pChainAsked->exchange(true)) {
                // Sends nothing before the split is asked for, so that the split starts at piece 2.
                step::Chunked((size_t)kSize)(p, r);
                step::HoldInsideChunk()(p, r);
                step::HoldAtBodyByte(0, [pSplitAsked] { return pSplitAsked->load(); })(p, r);
                step::HoldAtBodyByte((int64_t)(2 * kPiece), pieceTwoIs(sGood))(p, r);
                step::Corrupt((int64_t)(2 * kPiece + 10))(p, r);
                step::CutInsideChunk((int64_t)(3 * kPiece + 1000))(p, r);
            } else if (sRange == sSplitRange && !pSplitAsked->exchange(true)) {
                step::Chunked((size_t)(2 * kPiece))(p, r);
                step::HoldInsideChunk()(p, r);
                step::HoldAtBodyByte((int64_t)kPiece, pieceTwoIs(sBad))(p, r);
            } else {
                // Later requests wait until the split's answer has been taken (its piece 3 is
                // recorded), so that they cannot mend piece 2 before that.
                step::HoldUntil([sCfg] {
                    uint8_t b = PieceState(sCfg, 3);
                    return b != 0xFF && (b & 0x0F) >= KPIECE_DOWNLOADED;
                })(p, r);
            }
        })});
    SessionOptions o;
    o.uConnections = 2;
    o.nDeadlineMs = 30000;
    ExpectExactFile(Run(m_server.url("/f.bin"), o), target(), kSize);
    EXPECT_TRUE(pSplitAsked->load());
    if (HasFailure()) {
        for (const auto& req : m_server.requests())
            ADD_FAILURE() << req.method << " Range=\"" << req.header("Range") << "\" connection " << req.connection
                          << " status " << req.status;
    }
}

// An answer of another version than the session's pieces: the session gives up its pieces and
// takes the whole file again from byte 0 as one stream, taken up after a break with ranged
// requests under that stream's version only, and ends with the exact bytes of that version. The first stream from byte 0 is of
// the version the query saw and is held after its first piece until the session leaves it, so
// that the ranged answers of version 2 come first; the streams after it are of version 2.
TEST_F(SessionTest, AnswersOfAnotherFileVersionRestartTheFileAsOneStream) {
    const uint64_t kSize = 8 * 65536;
    const std::string kDate1 = "Sun, 06 Nov 1994 08:49:37 GMT", kDate2 = "Mon, 07 Nov 1994 08:49:37 GMT";
    const Step kV2 = VersionTwoBytes();
    struct Row {
        const char* szName;
        std::vector<Step> query;   // the validators of the query's answer and of the first stream
        std::vector<Step> ranged;  // the answer to every ranged GET
        // The answer to the n-th GET from byte 0 (1 for the first), after the first; with
        // bEveryGet, to every GET.
        std::function<std::vector<Step>(int n)> stream;
        bool bEveryGet;
        const char* szIfRange;  // what the ranged requests before the restart carry in "If-Range"
        // The answer to a ranged GET that takes up a broken stream after the restart: it
        // carries that stream's ETag, "\"v2\"".
        std::vector<Step> takeUp = {};
    };
    const Row rows[] = {
        {"206 under another ETag",
         {step::Header("ETag", "\"v1\""), step::Header("Last-Modified", kDate1)},
         {step::Header("ETag", "\"v2\""), step::Header("Last-Modified", kDate1), kV2},
         [&](int) { return std::vector{step::Header("ETag", "\"v2\""), step::Header("Last-Modified", kDate1), kV2}; },
         false, "\"v1\""},
        {"206 under another Last-Modified",
         {step::Header("Last-Modified", kDate1)},
         {step::Header("Last-Modified", kDate2), kV2},
         [&](int) { return std::vector{step::Header("Last-Modified", kDate2), kV2}; },
         false, kDate1.c_str()},
        {"200 to If-Range under another ETag",
         {step::Header("ETag", "\"v1\"")},
         {step::IgnoreRange(), step::Header("ETag", "\"v2\""), kV2},
         [&](int) { return std::vector{step::Header("ETag", "\"v2\""), kV2}; },
         false, "\"v1\""},
        {"200 to If-Range without validators",
         {step::Header("ETag", "\"v1\"")},
         {step::IgnoreRange(), kV2},
         [&](int) { return std::vector{kV2}; },
         false, "\"v1\""},
        // The stream after the restart breaks after three pieces; the answer that takes it up
        // is of version 1 again, not the version of the pieces it would complete: the session
        // starts over once more instead of joining them.
        {"the stream taken up again under another version",
         {step::Header("ETag", "\"v1\"")},
         {step::Header("ETag", "\"v2\""), kV2},
         [&](int n) {
             if (n == 2) return std::vector{step::Header("ETag", "\"v2\""), kV2, step::DropAfter(3 * 65536 + 100)};
             return std::vector{step::Header("ETag", "\"v2\""), kV2};
         },
         false, "\"v1\"", {step::Header("ETag", "\"v1\"")}},
        // The same break, taken up by an answer of the stream's own version: the session
        // resumes it there instead of fetching the file from byte 0 again.
        {"the stream taken up again under its own version",
         {step::Header("ETag", "\"v1\"")},
         {step::Header("ETag", "\"v2\""), kV2},
         [&](int n) {
             if (n == 2) return std::vector{step::Header("ETag", "\"v2\""), kV2, step::DropAfter(3 * 65536 + 100)};
             return std::vector{step::Header("ETag", "\"v2\""), kV2};
         },
         false, "\"v1\"", {step::Header("ETag", "\"v2\""), kV2}},
        {"every GET of the other version",
         {step::Header("ETag", "\"v1\"")},
         {step::Header("ETag", "\"v2\""), kV2},
         [&](int) { return std::vector{step::Header("ETag", "\"v2\""), kV2}; },
         true, "\"v1\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        server.script("/f.bin", 0, row.query);
        auto query = row.query;
        auto ranged = row.ranged;
        auto takeUp = row.takeUp;
        const std::string sFirstIfRange = row.szIfRange;
        auto stream = row.stream;
        bool bEvery = row.bEveryGet;
        auto streams = std::make_shared<std::atomic<int>>(0);
        server.script("/f.bin", server.kAnyIndex, {ForGets([=](Plan& p, const RequestRecord& r, int) {
                          if (r.hasHeader("Range")) {
                              for (const auto& st : r.header("If-Range") == sFirstIfRange ? ranged : takeUp) st(p, r);
                              return;
                          }
                          int n = streams->fetch_add(1) + 1;
                          if (n > 1 || bEvery) {
                              for (const auto& st : stream(n)) st(p, r);
                              return;
                          }
                          for (const auto& st : query) st(p, r);
                          step::HoldAtBodyByte(65536, [] { return false; }, 10000)(p, r);
                      })});
        SessionOptions o;
        // With every GET of the other version, one connection: its first answer is the 200.
        o.uConnections = row.bEveryGet ? 1 : 4;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        ASSERT_FALSE(r.bTimedOut);
        ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED) << "error " << r.uError << "/" << r.uErrorExt;
        EXPECT_EQ(VersionOf(ReadFile(target()), kSize), 2);
        EXPECT_FALSE(FileExists(target() + ".cfg"));
        server.stop();
        int nRanged = 0, nTakeUps = 0, nFromStart = 0;
        for (const auto& g : Gets(server)) {
            if (!g.hasHeader("Range")) {
                ++nFromStart;
                continue;
            }
            if (g.header("If-Range") == row.szIfRange) {
                ++nRanged;
                continue;
            }
            // After the restart only the broken stream is taken up, under its own version,
            // from the piece the break left off at.
            ++nTakeUps;
            EXPECT_EQ(g.header("If-Range"), "\"v2\"");
            EXPECT_EQ(g.header("Range"), "bytes=" + std::to_string(3 * 65536) + "-");
        }
        // Only the first assignment's splits were ranged under the query's version.
        EXPECT_LE(nRanged, 3);
        EXPECT_EQ(nTakeUps, row.takeUp.empty() ? 0 : 1);
        // The stream after the restart, and one more from byte 0 when its take-up was of
        // another version; none when the take-up was of its own.
        if (!row.takeUp.empty()) {
            EXPECT_EQ(nFromStart, row.takeUp.size() == 1 ? 3 : 2);
        }
        if (row.bEveryGet) {
            EXPECT_EQ(Gets(server).size(), 2u);
        }
        RemoveOutputs(target());
    }
}

// A server farm: two nodes behind one address, the node alternating per connection, with the
// same bytes under validators that differ by node (or not, the control). Each node answers
// "If-Range" as a web server does: the whole file when the validator named is not its own.
// Answers are paced so that runs split. Every row ends with the exact file.
TEST_F(SessionTest, AServerFarmWhoseNodesDifferInValidatorsGivesTheExactFile) {
    const uint64_t kSize = 2 * 1024 * 1024 + 5;
    const std::string kDate1 = "Sun, 06 Nov 1994 08:49:37 GMT", kDate2 = "Mon, 07 Nov 1994 08:49:37 GMT";
    struct Node {
        std::string sETag, sDate;
    };
    struct Row {
        const char* szName;
        Node nodes[2];
        bool bSame;
    };
    const Row rows[] = {
        {"ETag differs", {{"\"1f-a\"", kDate1}, {"\"1f-b\"", kDate1}}, false},
        {"Last-Modified differs", {{"", kDate1}, {"", kDate2}}, false},
        {"both the same", {{"\"1f-a\"", kDate1}, {"\"1f-a\"", kDate1}}, true},
    };
    for (const Row& row : rows) {
        for (uint32_t uConnections : {1u, 4u}) {
            SCOPED_TRACE(std::string(row.szName) + ", connections " + std::to_string(uConnections));
            qn::test::LoopbackHttpServer server;
            server.addResource("/f.bin", kSize);
            Node nodes[2] = {row.nodes[0], row.nodes[1]};
            server.script("/f.bin", server.kAnyIndex, {[nodes, uConnections](Plan& p, const RequestRecord& r) {
                              const Node& n = nodes[r.connection % 2];
                              if (!n.sETag.empty()) p.headers.emplace_back("ETag", n.sETag);
                              p.headers.emplace_back("Last-Modified", n.sDate);
                              std::string sIf = r.header("If-Range");
                              if (r.hasHeader("If-Range") && !(sIf == n.sETag && !sIf.empty()) && sIf != n.sDate)
                                  step::IgnoreRange()(p, r);
                              if (r.method != "GET") return;
                              step::Drip(4 * 1024 * 1024)(p, r);
                              // One connection meets both nodes only when each answer has one of
                              // its own.
                              if (uConnections == 1) step::ConnectionClose()(p, r);
                          }});
            SessionOptions o;
            o.uConnections = uConnections;
            ExpectExactFile(Run(server.url("/f.bin"), o), target(), kSize);
            server.stop();
            auto gets = Gets(server);
            int nRanged = 0;
            for (const auto& g : gets) nRanged += g.hasHeader("Range") ? 1 : 0;
            if (uConnections == 4) {
                // The runs split; with nodes that differ, only the first splits were ranged.
                EXPECT_GE(nRanged, 1);
                if (!row.bSame) {
                    EXPECT_LE(nRanged, 3);
                }
            }
            if (row.bSame) {
                // Nothing was taken twice: every answer was the one asked for.
                for (const auto& g : gets) EXPECT_EQ(g.status, g.hasHeader("Range") ? 206 : 200);
            }
            RemoveOutputs(target());
        }
    }
}

// The file is replaced on the server during the download: new bytes under new validators, and
// requests that arrive after that get the new file (a ranged one with "If-Range" the whole of
// it). The first stream goes on sending the old file, as a server does from the file it has
// open. The session ends with the exact bytes of one version, or fails; never a mix.
TEST_F(SessionTest, AFileReplacedDuringTheDownloadGivesOneVersionOrFails) {
    const uint64_t kSize = 1024 * 1024 + 7;
    const std::string kDate1 = "Sun, 06 Nov 1994 08:49:37 GMT", kDate2 = "Mon, 07 Nov 1994 08:49:37 GMT";
    struct Row {
        const char* szName;
        std::vector<Step> v1, v2;  // the validators of each version
    };
    const Row rows[] = {
        {"ETag and Last-Modified change",
         {step::Header("ETag", "\"v1\""), step::Header("Last-Modified", kDate1)},
         {step::Header("ETag", "\"v2\""), step::Header("Last-Modified", kDate2)}},
        {"Last-Modified changes", {step::Header("Last-Modified", kDate1)}, {step::Header("Last-Modified", kDate2)}},
    };
    for (const Row& row : rows) {
        for (uint32_t uConnections : {1u, 4u}) {
            SCOPED_TRACE(std::string(row.szName) + ", connections " + std::to_string(uConnections));
            qn::test::LoopbackHttpServer server;
            server.addResource("/f.bin", kSize);
            auto replaced = std::make_shared<std::atomic<bool>>(false);
            auto v1 = row.v1, v2 = row.v2;
            server.script("/f.bin", server.kAnyIndex, {[=](Plan& p, const RequestRecord& r) {
                              if (!replaced->load()) {
                                  for (const auto& st : v1) st(p, r);
                                  if (r.method != "GET") return;
                                  step::Drip(2 * 1024 * 1024)(p, r);
                                  // Replaced once two pieces of the first stream are out.
                                  step::HoldAtBodyByte(2 * 65536, [replaced] {
                                      replaced->store(true);
                                      return true;
                                  })(p, r);
                                  // With one connection the stream breaks, so that a request
                                  // meets the new file.
                                  if (uConnections == 1) step::DropAfter(3 * 65536 + 100)(p, r);
                                  return;
                              }
                              for (const auto& st : v2) st(p, r);
                              // "If-Range" names the old file: the whole new one.
                              if (r.hasHeader("If-Range")) step::IgnoreRange()(p, r);
                              VersionTwoBytes()(p, r);
                              if (r.method == "GET") step::Drip(2 * 1024 * 1024)(p, r);
                          }});
            SessionOptions o;
            o.uConnections = uConnections;
            SessionOutcome r = Run(server.url("/f.bin"), o);
            ASSERT_FALSE(r.bTimedOut);
            EXPECT_TRUE(replaced->load());
            if (r.uStatus == KDS_STATUS_SUCCEEDED) {
                EXPECT_NE(VersionOf(ReadFile(target()), kSize), 0);
            } else {
                EXPECT_FALSE(FileExists(target()));
            }
            RemoveOutputs(target());
        }
    }
}

// The file's length changed on the server since the query: an answer whose total (206) or
// whole length (200) is not the queried size ends the session at once, rather than after a
// hundred retries of the URL, and takes its progress file along, so that the next session
// (which queries again) starts afresh.
TEST_F(SessionTest, AnAnswerOfAnotherLengthEndsTheSessionAtOnce) {
    const uint64_t kMiB = 1024 * 1024;
    struct Row {
        const char* szName;
        uint64_t ullServed;      // the file the GETs serve
        int64_t llHeadDelta;     // what HEAD adds to its length
        std::vector<Step> gets;  // on every GET
        uint32_t uConnections;
        bool bOtherTotal;  // the stream is held; the ranged answers name a total one byte more
    };
    const Row rows[] = {
        {"HEAD one byte longer", kMiB, 1, {}, 1, false},
        {"HEAD one byte longer, paced", kMiB, 1, {step::Drip(1024 * 1024)}, 1, false},
        {"HEAD one byte longer, 4 connections", kMiB, 1, {}, 4, false},
        {"HEAD one byte longer, 4 connections, paced", kMiB, 1, {step::Drip(1024 * 1024)}, 4, false},
        {"HEAD one byte shorter, 4 connections", kMiB + 1, -1, {}, 4, false},
        {"chunked whole file that ends short", kMiB, 1, {step::Chunked(65536)}, 1, false},
        {"ranged answers of another total", kMiB, 0, {}, 4, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", row.ullServed);
        const int64_t llDelta = row.llHeadDelta;
        const uint64_t ullServed = row.ullServed;
        auto gets = row.gets;
        bool bOtherTotal = row.bOtherTotal;
        auto ranged = std::make_shared<std::atomic<int>>(0);
        server.script("/f.bin", server.kAnyIndex, {[=](Plan& p, const RequestRecord& r) {
                          if (r.method == "HEAD") {
                              p.bodyLength = (uint64_t)((int64_t)p.bodyLength + llDelta);
                              return;
                          }
                          for (const auto& st : gets) st(p, r);
                          if (!bOtherTotal) return;
                          if (!r.hasHeader("Range")) {
                              step::HoldAtBodyByte(65536, [ranged] { return ranged->load() >= 3; }, 10000)(p, r);
                              return;
                          }
                          ranged->fetch_add(1);
                          step::ContentRange("bytes " + std::to_string(p.bodyOffset) + "-" + std::to_string(ullServed - 1) +
                                             "/" + std::to_string(ullServed + 1))(p, r);
                      }});
        SessionOptions o;
        o.uConnections = row.uConnections;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        EXPECT_FALSE(r.bTimedOut);
        EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
        EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_INTERNAL);
        EXPECT_EQ(r.uErrorExt, 0u);
        EXPECT_FALSE(FileExists(target()));
        EXPECT_FALSE(FileExists(target() + ".cfg"));
        server.stop();
        EXPECT_LE(Gets(server).size(), 6u);
        RemoveOutputs(target());
    }
}

// Answers under the query's validators, or servers without validators: the session keeps the
// answers and completes the file, each ranged request naming in "If-Range" the version it wants
// when the query gave one.
TEST_F(SessionTest, AnswersOfTheQueriedVersionAreTaken) {
    const uint64_t kSize = 8 * 65536 + 7;
    const std::string kDate = "Sun, 06 Nov 1994 08:49:37 GMT";
    struct Row {
        const char* szName;
        std::vector<Step> validators;  // on every answer
        bool bIgnoresRanges;
        const char* szIfRange;  // expected on the ranged requests; "" for none
    };
    const Row rows[] = {
        {"ETag and Last-Modified", {step::Header("ETag", "\"v1\""), step::Header("Last-Modified", kDate)}, false, "\"v1\""},
        {"weak ETag and Last-Modified", {step::Header("ETag", "W/\"v1\""), step::Header("Last-Modified", kDate)}, false, kDate.c_str()},
        {"Last-Modified only", {step::Header("Last-Modified", kDate)}, false, kDate.c_str()},
        {"no validators", {}, false, ""},
        {"no ranges, same ETag", {step::Header("ETag", "\"v1\"")}, true, "\"v1\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        std::vector<Step> steps = row.validators;
        if (row.bIgnoresRanges) steps.push_back(step::IgnoreRange());
        server.script("/f.bin", server.kAnyIndex, steps);
        // The stream from byte 0 waits after its first piece for a ranged request.
        auto ranged = std::make_shared<std::atomic<int>>(0);
        server.script("/f.bin", server.kAnyIndex, {ForGets([ranged](Plan& p, const RequestRecord& r, int) {
                          if (r.hasHeader("Range")) {
                              ranged->fetch_add(1);
                          } else {
                              step::HoldAtBodyByte(65536, [ranged] { return ranged->load() > 0; })(p, r);
                          }
                      })});
        SessionOptions o;
        o.uConnections = 4;
        ExpectExactFile(Run(server.url("/f.bin"), o), target(), kSize);
        server.stop();
        int nRanged = 0;
        for (const auto& g : Gets(server)) {
            if (!g.hasHeader("Range")) {
                EXPECT_FALSE(g.hasHeader("If-Range"));
                continue;
            }
            ++nRanged;
            EXPECT_EQ(g.hasHeader("If-Range"), row.szIfRange[0] != '\0');
            EXPECT_EQ(g.header("If-Range"), row.szIfRange);
        }
        EXPECT_GE(nRanged, 1);
        RemoveOutputs(target());
    }
}

// Ranged answers refused at their headers (several parts, another start) do
// not use up the URL: after the first refusal the URL is streamed from byte 0 alone. The
// stream is held after its first piece until the server has seen a dozen ranged requests, so
// that a session that kept asking for ranges would show it; one that falls back finishes once
// the hold runs out.
TEST_F(SessionTest, RefusedRangedAnswersLeaveOneStream) {
    const uint64_t kSize = 12 * 65536 + 3;
    const std::string kTotal = "/" + std::to_string(kSize);
    struct Row {
        const char* szName;
        std::function<std::vector<Step>(uint64_t a)> steps;  // for the range asked from offset a
    };
    const Row rows[] = {
        {"multipart/byteranges",
         [](uint64_t) { return std::vector{step::ContentRange(""), step::Header("Content-Type", "multipart/byteranges; boundary=B")}; }},
        {"range starting elsewhere",
         [&](uint64_t a) { return std::vector{step::ContentRange("bytes " + std::to_string(a - 65536) + "-" + std::to_string(kSize - 1) + kTotal)}; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        auto ranged = std::make_shared<std::atomic<int>>(0);
        auto steps = row.steps;
        server.script("/f.bin", server.kAnyIndex, {ForGets([=](Plan& p, const RequestRecord& r, int) {
                          if (r.hasHeader("Range")) {
                              ranged->fetch_add(1);
                              for (const auto& st : steps(p.bodyOffset)) st(p, r);
                              return;
                          }
                          step::HoldAtBodyByte(65536, [ranged] { return ranged->load() >= 12; }, 1500)(p, r);
                      })});
        SessionOptions o;
        o.uConnections = 4;
        ExpectExactFile(Run(server.url("/f.bin"), o), target(), kSize);
        // The first assignment starts one stream and three ranged requests; none follows.
        EXPECT_LE(ranged->load(), 3);
        RemoveOutputs(target());
    }
}

}  // namespace

// Answers that a proxy cuts after a length of its own, under versions of the file that differ:
// a file replaced once on its server, and a farm of two nodes (alternating per connection)
// with ETags of their own; beside them their honest neighbours: one version with cut answers,
// the farm with whole answers, and a farm with one validator where one node ignores ranges.
// Each node answers "If-Range" as a web server does. A broken stream is taken up where it
// broke, under the version it named, so the replaced file comes whole in a few GETs; a session
// whose versions keep changing ends by itself as for a changed file, its progress file gone,
// and never with bytes of two versions.
TEST_F(SessionTest, CutAnswersUnderChangingVersionsResumeUnderOneVersionOrEnd) {
    const uint64_t kSize = 2 * 1024 * 1024 + 5;
    const int64_t kCut = 512 * 1024 + 100;
    const std::string kDate1 = "Sun, 06 Nov 1994 08:49:37 GMT", kDate2 = "Mon, 07 Nov 1994 08:49:37 GMT";
    enum class Server { Replaced, Farm, OneVersion, FarmWhole, FarmOneIgnoresRange };
    struct Row {
        const char* szName;
        Server server;
        int nVersion;   // the version the file ends as; 0: the session fails
        size_t uMaxGets;
    };
    const Row rows[] = {
        {"file replaced once, answers cut", Server::Replaced, 2, 12},
        {"farm with an ETag per node, answers cut", Server::Farm, 0, 24},
        {"one version, answers cut", Server::OneVersion, 1, 12},
        {"farm with an ETag per node, whole answers", Server::FarmWhole, 1, 8},
        {"farm with one ETag, one node ignores ranges", Server::FarmOneIgnoresRange, 1, 12},
    };
    for (const Row& row : rows) {
        for (uint32_t uConnections : {1u, 4u}) {
            SCOPED_TRACE(std::string(row.szName) + ", connections " + std::to_string(uConnections));
            qn::test::LoopbackHttpServer server;
            server.addResource("/f.bin", kSize);
            const Server kind = row.server;
            auto gets = std::make_shared<std::atomic<int>>(0);
            server.script("/f.bin", server.kAnyIndex, {[=](Plan& p, const RequestRecord& r) {
                              int nGet = r.method == "GET" ? gets->fetch_add(1) + 1 : 0;
                              // The version this answer is of: the replaced file's from its
                              // second GET on, a farm node's by its connection.
                              bool bTwo = kind == Server::Replaced ? nGet >= 2
                                          : kind == Server::Farm || kind == Server::FarmWhole ? r.connection % 2 == 1
                                                                                               : false;
                              std::string sETag = bTwo ? "\"v2\"" : "\"v1\"";
                              p.headers.emplace_back("ETag", sETag);
                              p.headers.emplace_back("Last-Modified", bTwo && kind == Server::Replaced ? kDate2 : kDate1);
                              if (r.hasHeader("If-Range") && r.header("If-Range") != sETag) step::IgnoreRange()(p, r);
                              if (kind == Server::FarmOneIgnoresRange && r.connection % 2 == 1) step::IgnoreRange()(p, r);
                              // Only the replaced file's bytes change; a farm's nodes hold one file.
                              if (bTwo && kind == Server::Replaced) VersionTwoBytes()(p, r);
                              if (r.method == "GET" && kind != Server::FarmWhole && kind != Server::FarmOneIgnoresRange)
                                  step::DropAfter(kCut)(p, r);
                          }});
            SessionOptions o;
            o.uConnections = uConnections;
            SessionOutcome r = Run(server.url("/f.bin"), o);
            ASSERT_FALSE(r.bTimedOut);
            if (row.nVersion) {
                ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED) << "error " << r.uError << "/" << r.uErrorExt;
                EXPECT_EQ(VersionOf(ReadFile(target()), kSize), row.nVersion);
            } else {
                EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
                EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_INTERNAL);
                EXPECT_FALSE(FileExists(target()));
            }
            EXPECT_FALSE(FileExists(target() + ".cfg"));
            server.stop();
            EXPECT_LE(Gets(server).size(), row.uMaxGets);
            if (HasFailure()) {
                for (const auto& req : Gets(server))
                    ADD_FAILURE() << "Range=\"" << req.header("Range") << "\" If-Range=" << req.header("If-Range")
                                  << " connection " << req.connection << " status " << req.status;
            }
            RemoveOutputs(target());
        }
    }
}
