#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session_test_util.h"

namespace {

using qn::test::CloseKind;
using qn::test::FileExists;
using qn::test::FirstResourceMismatch;
using qn::test::ReadFile;
using qn::test::SessionOptions;
using qn::test::SessionOutcome;
using qn::test::SessionTest;
namespace step = qn::test::http_step;

// The target holds exactly the generated resource, and nothing else is left in the folder.
void ExpectComplete(const SessionOutcome& r, const std::string& sTarget, uint64_t ullSize) {
    ASSERT_FALSE(r.bTimedOut);
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED) << "error " << r.uError << "/" << r.uErrorExt;
    std::string s = ReadFile(sTarget);
    ASSERT_EQ(s.size(), ullSize);
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
    EXPECT_FALSE(FileExists(sTarget + ".tmp"));
    EXPECT_FALSE(FileExists(sTarget + ".cfg"));
    EXPECT_EQ(r.info.fileSize, ullSize);
    EXPECT_EQ(r.info.bytesCompleted, ullSize);
    EXPECT_EQ(r.info.bytesInherited, 0u);
    EXPECT_EQ(QN_WideToUtf8(r.info.filePath), sTarget);
}

struct MatrixCase {
    uint64_t ullSize;
    uint32_t uConnections;
};

class SessionMatrix : public SessionTest, public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(SessionMatrix, DownloadsTheWholeFile) {
    const MatrixCase& c = GetParam();
    m_server.addResource("/f.bin", c.ullSize);
    SessionOptions o;
    o.uConnections = c.uConnections;
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    ExpectComplete(r, target(), c.ullSize);
}

INSTANTIATE_TEST_SUITE_P(SizesAndConnections, SessionMatrix,
                         ::testing::Values(MatrixCase{1, 1}, MatrixCase{65535, 4}, MatrixCase{65536, 10},
                                           MatrixCase{65537, 4}, MatrixCase{100000, 10}, MatrixCase{100000, 1},
                                           MatrixCase{4 * 1024 * 1024 + 1, 4}, MatrixCase{4 * 1024 * 1024 + 1, 10},
                                           MatrixCase{20 * 1024 * 1024 + 12345, 4},
                                           MatrixCase{20 * 1024 * 1024 + 12345, 1}));

// What the HEAD query's answers make of a session.
TEST_F(SessionTest, QueryStatusTable) {
    m_server.addResource("/f.bin", 1000);
    m_server.addRedirectChain("/r3", 3, "/f.bin");
    m_server.addRedirectChain("/r4", 4, "/f.bin");
    m_server.script("/e500", m_server.kAnyIndex, {step::Status(500)});
    m_server.script("/t307", m_server.kAnyIndex, {step::Redirect(307, "/f.bin")});
    m_server.script("/t308", m_server.kAnyIndex, {step::Redirect(308, "/f.bin")});
    m_server.script("/noloc", m_server.kAnyIndex, {step::Status(302)});
    m_server.script("/lc302", m_server.kAnyIndex, {step::Redirect(302, "/f.bin", true)});
    struct Row {
        const char* szPath;
        uint32_t uStatus, uError, uErrorExt;
    } rows[] = {
        {"/f.bin", KDS_STATUS_SUCCEEDED, 0, 0},
        {"/missing", KDS_STATUS_FAILED, KDS_ERR_NOT_FOUND, 404},
        {"/e500", KDS_STATUS_FAILED, KDS_ERR_HTTP, 500},
        {"/r3", KDS_STATUS_SUCCEEDED, 0, 0},
        {"/r4", KDS_STATUS_FAILED, KDS_ERR_HTTP, 302},
        {"/t307", KDS_STATUS_SUCCEEDED, 0, 0},
        {"/t308", KDS_STATUS_FAILED, KDS_ERR_HTTP, 308},
        {"/noloc", KDS_STATUS_FAILED, KDS_ERR_HTTP, 302},
        {"/lc302", KDS_STATUS_SUCCEEDED, 0, 0},  // "location" in lower case
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szPath);
        qn::test::TempDir dir;
        SessionOutcome r = Run(m_server.url(row.szPath));
        EXPECT_FALSE(r.bTimedOut);
        EXPECT_EQ(r.uStatus, row.uStatus);
        EXPECT_EQ(r.uError, row.uError);
        EXPECT_EQ(r.uErrorExt, row.uErrorExt);
        if (row.uStatus == KDS_STATUS_FAILED) {
            EXPECT_FALSE(FileExists(target() + ".tmp"));
        }
        QN_DeleteFile(target().c_str());
    }
    // After three redirects the final URL is the third Location.
    SessionOutcome r = Run(m_server.url("/r3"));
    EXPECT_EQ(std::string(r.info.finalUrl), m_server.url("/f.bin"));
}

TEST_F(SessionTest, QueryRetriesOneConnectionFailure) {
    m_server.addResource("/f.bin", 5000);
    m_server.script("/f.bin", 0, {step::CloseWithoutResponse(CloseKind::Fin)});
    ExpectComplete(Run(m_server.url("/f.bin")), target(), 5000);
    int nHeads = 0;
    for (const auto& req : m_server.requests()) nHeads += req.method == "HEAD";
    EXPECT_EQ(nHeads, 2);

    m_server.script("/g", m_server.kAnyIndex, {step::CloseWithoutResponse(CloseKind::Fin)});
    m_server.addResource("/g", 5000);
    SessionOutcome r = Run(m_server.url("/g"));
    EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_NETWORK);

    // Nobody listens on the port of a stopped server.
    qn::test::LoopbackHttpServer closed;
    std::string sUrl = closed.url("/x");
    closed.stop();
    r = Run(sUrl);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_NETWORK);
}

// The size comes from Content-Length, matched without regard to case; a missing or malformed
// one fails the session instead of making an empty file.
TEST_F(SessionTest, ContentLengthTable) {
    m_server.addContent("/empty", "");
    m_server.addResource("/lower", 5);
    m_server.script("/lower", m_server.kAnyIndex, {step::LowercaseHeaders()});
    m_server.addResource("/absent", 5);
    m_server.script("/absent", m_server.kAnyIndex, {step::NoContentLength(), step::UntilClose()});
    m_server.addResource("/minus", 5);
    m_server.script("/minus", 0, {step::NoContentLength(), step::Header("Content-Length", "-1")});
    m_server.addResource("/abc", 5);
    m_server.script("/abc", 0, {step::NoContentLength(), step::Header("Content-Length", "abc")});
    struct Row {
        const char* szPath;
        uint32_t uStatus;
        int64_t llSize;  // -1: no target
        uint32_t uError;
    } rows[] = {
        {"/empty", KDS_STATUS_SUCCEEDED, 0, 0},
        {"/lower", KDS_STATUS_SUCCEEDED, 5, 0},
        {"/absent", KDS_STATUS_FAILED, -1, KDS_ERR_INTERNAL},
        // The response parser already refuses these: the query fails.
        {"/minus", KDS_STATUS_FAILED, -1, KDS_ERR_NETWORK},
        {"/abc", KDS_STATUS_FAILED, -1, KDS_ERR_NETWORK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szPath);
        SessionOutcome r = Run(m_server.url(row.szPath));
        EXPECT_FALSE(r.bTimedOut);
        EXPECT_EQ(r.uStatus, row.uStatus);
        if (row.llSize < 0) {
            EXPECT_FALSE(FileExists(target()));
            EXPECT_EQ(r.uError, row.uError);
        } else {
            EXPECT_EQ(ReadFile(target()).size(), (size_t)row.llSize);
        }
        EXPECT_FALSE(FileExists(target() + ".tmp"));
        EXPECT_FALSE(FileExists(target() + ".cfg"));
        QN_DeleteFile(target().c_str());
    }
}

// Servers that answer the query but not the pieces as asked: the session ends (never hangs)
// and never reports success with wrong bytes. A total other than the queried size is a changed
// file, which ends the session at once.
TEST_F(SessionTest, MisbehavingPieceServersEnd) {
    const uint64_t kSize = 5 * 65536 + 100;
    struct Row {
        const char* szName;
        std::vector<qn::test::Step> steps;
        bool bMaySucceed;
        uint32_t uError = KDS_ERR_NETWORK;  // when it fails
    } rows[] = {
        {"ignores Range", {step::IgnoreRange()}, true},
        {"wrong Content-Range start", {step::ContentRange("bytes 0-65535/327780")}, true},
        {"Content-Range of another total", {step::ContentRange("bytes 65536-327779/999999")}, true, KDS_ERR_INTERNAL},
        {"no Content-Range", {step::ContentRange("")}, true},
        {"piece redirects in lower case", {step::Redirect(302, "/real.bin", true)}, true},
        {"404 to every GET", {step::Status(404)}, false},
        {"416 to every GET", {step::Status(416)}, false},
        {"503 to every GET", {step::Status(503)}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        server.addResource("/real.bin", kSize);
        // Index 0 is the HEAD query; every later request gets the fault.
        for (int i = 1; i < 400; ++i) server.script("/f.bin", i, row.steps);
        SessionOptions o;
        o.nDeadlineMs = 30000;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        EXPECT_FALSE(r.bTimedOut);
        if (r.uStatus == KDS_STATUS_SUCCEEDED) {
            EXPECT_TRUE(row.bMaySucceed);
            std::string s = ReadFile(target());
            EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
        } else {
            EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
            EXPECT_EQ(r.uError, row.uError);
            EXPECT_FALSE(FileExists(target()));
        }
        QN_DeleteFile(target().c_str());
        QN_DeleteFile((target() + ".tmp").c_str());
        QN_DeleteFile((target() + ".cfg").c_str());
    }
}

// A server that ignores ranges (every GET answered 200 with the whole file), or says so in
// the query's answer: the stream from byte 0 finishes the download, no ranged request follows
// the first refusal, and the refusals do not use up the URL's failures.
TEST_F(SessionTest, ServerWithoutRangesIsStreamedFromTheStart) {
    const uint64_t kSize = 3 * 1024 * 1024 + 1000;
    struct Row {
        const char* szName;
        uint32_t uConnections;
        uint32_t uDrip;       // pace of every GET, 0: none
        bool bSaysNone;       // the query's answer carries "Accept-Ranges: none"
        int64_t llCutFirst;   // > 0: the first GET is cut after this many bytes
    } rows[] = {
        {"4 connections", 4, 0, false, -1},
        {"4 connections, paced", 4, 1024 * 1024, false, -1},
        {"10 connections", 10, 0, false, -1},
        {"10 connections, paced", 10, 1024 * 1024, false, -1},
        {"Accept-Ranges none", 4, 0, true, -1},
        {"Accept-Ranges none, first stream cut", 4, 0, true, 2 * 65536 + 100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        if (row.bSaysNone) server.script("/f.bin", 0, {step::Header("Accept-Ranges", "none")});
        std::vector<qn::test::Step> steps = {step::IgnoreRange()};
        if (row.uDrip) steps.push_back(step::Drip(row.uDrip));
        server.script("/f.bin", server.kAnyIndex, steps);
        if (row.llCutFirst > 0) server.script("/f.bin", 1, {step::DropAfter(row.llCutFirst)});
        SessionOptions o;
        o.uConnections = row.uConnections;
        o.nDeadlineMs = 30000;
        ExpectComplete(Run(server.url("/f.bin"), o), target(), kSize);
        server.stop();
        int nGets = 0, nRanged = 0;
        for (const auto& req : server.requests()) {
            if (req.method != "GET") continue;
            ++nGets;
            if (req.hasHeader("Range")) ++nRanged;
        }
        if (row.bSaysNone) {
            EXPECT_EQ(nRanged, 0);
            EXPECT_EQ(nGets, row.llCutFirst > 0 ? 2 : 1);
        } else {
            // The first assignment starts every connection; none is opened after the refusals.
            EXPECT_LE(nRanged, (int)row.uConnections - 1);
            EXPECT_EQ(nGets - nRanged, 1);
        }
        EXPECT_LE(server.connections().size(), (size_t)row.uConnections + 2);
        QN_DeleteFile(target().c_str());
    }
}

// Answers to a piece request whose body is not the range asked for: coded bodies, a
// Content-Range that does not match the body or the file, a body that runs past its range or
// ends short of it, an interim answer with a body. Each is refused before a byte of it is
// written; each carries a flipped byte, so that a byte taken from it would show in the file.
TEST_F(SessionTest, PieceAnswersThatAreNotTheRangeAreRefused) {
    const uint64_t kSize = 16 * 65536 + 100;
    const std::string kTotal = "/" + std::to_string(kSize);
    auto range = [&](uint64_t a, uint64_t e) { return "bytes " + std::to_string(a) + "-" + std::to_string(e) + kTotal; };
    struct Row {
        const char* szName;
        // The faulty answer's steps, for the range asked from offset a.
        std::function<std::vector<qn::test::Step>(uint64_t a)> steps;
    };
    const Row rows[] = {
        {"Transfer-Encoding gzip", [](uint64_t) { return std::vector{step::TransferEncoding("gzip", false), step::Corrupt(10)}; }},
        {"Transfer-Encoding identity", [](uint64_t) { return std::vector{step::TransferEncoding("identity", false), step::Corrupt(10)}; }},
        {"Transfer-Encoding x", [](uint64_t) { return std::vector{step::TransferEncoding("x", false), step::Corrupt(10)}; }},
        {"Transfer-Encoding chunked, gzip", [](uint64_t) { return std::vector{step::TransferEncoding("chunked, gzip", true)}; }},
        {"Transfer-Encoding gzip, chunked", [](uint64_t) { return std::vector{step::TransferEncoding("gzip, chunked", true), step::Corrupt(10)}; }},
        {"Content-Encoding gzip", [](uint64_t) { return std::vector{step::Header("Content-Encoding", "gzip"), step::Corrupt(10)}; }},
        {"Content-Range start after the offset",
         [&](uint64_t a) { return std::vector{step::ContentRange(range(a + 65536, kSize - 1)), step::Corrupt(10)}; }},
        {"Content-Range end past the file",
         [&](uint64_t a) { return std::vector{step::ContentRange(range(a, kSize + 99)), step::Corrupt(10)}; }},
        // The body runs on past the range its headers name.
        {"Content-Range end short of a body with its length",
         [&](uint64_t a) { return std::vector{step::ContentRange(range(a, a + 65535)), step::Corrupt(65536 + 10)}; }},
        {"Content-Range end short of a chunked body",
         [&](uint64_t a) {
             return std::vector{step::Chunked(4096), step::ContentRange(range(a, a + 65535)), step::Corrupt(65536 + 10)};
         }},
        {"Content-Range end short of a body ended by close",
         [&](uint64_t a) {
             return std::vector{step::UntilClose(), step::ContentRange(range(a, a + 65535)), step::Corrupt(65536 + 10)};
         }},
        // The body ends cleanly inside its second piece: that piece is never written.
        {"chunked body short of its range",
         [](uint64_t) { return std::vector{step::Chunked(4096), step::BodyLength(65536 + 100), step::Corrupt(65536 + 50)}; }},
        {"interim answer with a body",
         [](uint64_t) {
             return std::vector{step::Preface("HTTP/1.1 100 Continue\r\nContent-Length: 5\r\n\r\nhello"), step::Corrupt(10)};
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        // The first ranged GET gets the fault; every other request is answered as asked. The
        // stream from byte 0 is paced so that the session splits its run among connections.
        auto faulted = std::make_shared<std::atomic<int>>(0);
        auto steps = row.steps;
        server.script("/f.bin", server.kAnyIndex,
                      {[faulted, steps](qn::test::Plan& p, const qn::test::RequestRecord& r) {
                          if (r.method != "GET") return;
                          if (!r.hasHeader("Range")) {
                              step::Drip(1000000)(p, r);
                              return;
                          }
                          if (faulted->fetch_add(1) != 0) return;
                          for (const auto& st : steps(p.bodyOffset)) st(p, r);
                      }});
        SessionOptions o;
        o.uConnections = 4;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        EXPECT_GE(faulted->load(), 1) << "no ranged request was made";
        ExpectComplete(r, target(), kSize);
        QN_DeleteFile(target().c_str());
    }
}

// Answers refused for a coding the engine cannot undo count against the URL: a server that
// sends only such answers ends the session with a network error, and no byte of them is in
// the data file.
TEST_F(SessionTest, RefusedPieceAnswersCountAsUrlFailures) {
    const uint64_t kSize = 4 * 65536;
    struct Row {
        const char* szName;
        std::vector<qn::test::Step> steps;
    } rows[] = {
        {"Transfer-Encoding gzip", {step::TransferEncoding("gzip", false), step::Corrupt(10)}},
        {"Content-Encoding gzip", {step::Header("Content-Encoding", "gzip"), step::Corrupt(10)}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        // Index 0 is the HEAD query.
        for (int i = 1; i < 1000; ++i) server.script("/f.bin", i, row.steps);
        SessionOptions o;
        o.nDeadlineMs = 30000;
        o.uConnections = 10;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        EXPECT_FALSE(r.bTimedOut);
        EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
        EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_NETWORK);
        EXPECT_FALSE(FileExists(target()));
        // What the data file holds is unwritten space or the resource's own bytes.
        std::string s = ReadFile(target() + ".tmp");
        for (size_t off = 0; off < s.size(); off += 65536) {
            std::string piece = s.substr(off, 65536);
            if (piece.find_first_not_of('\0') == std::string::npos) continue;
            EXPECT_EQ(FirstResourceMismatch(off, piece.data(), piece.size()), -1) << "piece at " << off;
        }
        QN_DeleteFile((target() + ".tmp").c_str());
        QN_DeleteFile((target() + ".cfg").c_str());
    }
}

TEST_F(SessionTest, ExistingFileOfTheRightSizeIsKept) {
    m_server.addResource("/f.bin", 3000);
    qn::test::WriteFile(target(), std::string(3000, 'x'));
    SessionOutcome r = Run(m_server.url("/f.bin"));
    EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    EXPECT_EQ(r.info.bytesCompleted, 3000u);
    EXPECT_EQ(ReadFile(target()), std::string(3000, 'x'));
    ASSERT_EQ(m_server.requests().size(), 1u);
    EXPECT_EQ(m_server.requests()[0].method, "HEAD");

    SessionOptions o;
    o.nNoResume = 1;
    ExpectComplete(Run(m_server.url("/f.bin"), o), target(), 3000);

    qn::test::WriteFile(target(), std::string(2999, 'x'));
    ExpectComplete(Run(m_server.url("/f.bin")), target(), 3000);
}

TEST_F(SessionTest, AbortDuringTheQuery) {
    m_server.addResource("/f.bin", 3000);
    m_server.script("/f.bin", m_server.kAnyIndex, {step::Silent()});
    SessionOptions o;
    // Aborted once the server holds the query unanswered.
    uint32_t uStatusAtAbort = 0;
    o.onPoll = [&](IKDownloadSession* p) {
        if (m_server.requestCount() == 0) return false;
        p->getProgress(&uStatusAtAbort, nullptr, nullptr, nullptr, nullptr);
        return true;
    };
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    EXPECT_EQ(uStatusAtAbort, (uint32_t)KDS_STATUS_QUERYING);
    EXPECT_FALSE(r.bTimedOut);
    EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_ABORTED);
    // The abort cuts the query short: nothing waits for the request's 120 s inactivity limit.
    EXPECT_LT(r.llElapsedMs, 30000);
}

TEST_F(SessionTest, AbortMidDownloadKeepsResumableFiles) {
    const uint64_t kSize = 64 * 65536;
    m_server.addResource("/f.bin", kSize);
    // In the first session every piece request stops after four pieces until the session
    // leaves (the abort closes its connections).
    std::atomic<bool> bResumed{false};
    m_server.script("/f.bin", m_server.kAnyIndex, {step::HoldAtBodyByte(4 * 65536, [&] { return bResumed.load(); })});
    SessionOptions o;
    o.onPoll = [](IKDownloadSession* p) {
        uint32_t uStatus;
        uint64_t ullSize, ullDone;
        p->getProgress(&uStatus, &ullSize, &ullDone, nullptr, nullptr);
        return ullDone >= 4 * 65536;
    };
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_ABORTED);
    ASSERT_TRUE(FileExists(target() + ".tmp"));
    std::string sCfg = ReadFile(target() + ".cfg");
    ASSERT_EQ(sCfg.size(), 4096u + 64u);
    std::string sData = ReadFile(target() + ".tmp");
    int nComplete = 0;
    for (uint32_t i = 0; i < 64; ++i) {
        uint8_t b = (uint8_t)sCfg[4096 + i];
        EXPECT_TRUE(b == 0 || b == 4) << i;
        if (b == 4) {
            ++nComplete;
            EXPECT_EQ(FirstResourceMismatch((uint64_t)i * 65536, sData.data() + (size_t)i * 65536, 65536), -1) << i;
        }
    }
    EXPECT_GE(nComplete, 4);
    // The next session takes the pieces over and fetches only the rest.
    m_server.clearRecords();
    bResumed = true;
    SessionOutcome r2 = Run(m_server.url("/f.bin"));
    ASSERT_EQ(r2.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    EXPECT_EQ(r2.info.bytesInherited, (uint64_t)nComplete * 65536);
    std::string s = ReadFile(target());
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
}

// A file that one answer brings whole gets no second connection before that answer has begun:
// such a connection would be closed at the end of the session having sent only the first byte
// of its request. The server holds the first piece request unanswered until either a second
// connection arrives or the session has passed over every idle downloader; then every other
// connection must have come after that answer was let go, and a one-piece file, whose taken
// piece is handed out twice only when its answer brings nothing for a while, must have gone
// over the query's connection alone.
TEST_F(SessionTest, NoSecondConnectionBeforeTheFirstAnswerBegins) {
    struct Case {
        uint64_t ullSize;
        bool bOnePiece;
    } cases[] = {{3000, true}, {65536, true}, {3 * 65536 + 7, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ullSize);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", c.ullSize);
        std::atomic<bool> bPassedOver{false};
        std::mutex lock;
        std::chrono::steady_clock::time_point released{};
        // Request 0 is the query, request 1 the first piece request.
        server.script("/f.bin", 1, {step::HoldUntil([&] {
                          if (!bPassedOver.load() && server.acceptedCount() < 2) return false;
                          std::lock_guard<std::mutex> guard(lock);
                          if (released == std::chrono::steady_clock::time_point{}) released = std::chrono::steady_clock::now();
                          return true;
                      })});
        qn::testing::SetLogSink([&](const std::string&, int, const std::string& sText) {
            if (sText == "all piece downloaded") bPassedOver = true;
        });
        SessionOptions o;
        o.uConnections = 4;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        qn::testing::SetLogSink(nullptr);
        server.stop();
        ExpectComplete(r, target(), c.ullSize);
        std::vector<qn::test::ConnectionRecord> conns = server.connections();
        ASSERT_FALSE(conns.empty());
        {
            std::lock_guard<std::mutex> guard(lock);
            for (size_t i = 1; i < conns.size(); ++i) EXPECT_GT(conns[i].acceptedAt, released) << "connection " << i;
        }
        if (c.bOnePiece) {
            EXPECT_EQ(conns.size(), 1u);
            int nGets = 0;
            for (const auto& req : server.requests()) nGets += req.method == "GET" ? 1 : 0;
            EXPECT_EQ(nGets, 1);
        }
        // No connection sent part of a request only.
        for (size_t i = 0; i < conns.size(); ++i) {
            if (!conns[i].reads.empty()) {
                EXPECT_GT(conns[i].requests, 0) << "connection " << i;
            }
        }
        QN_DeleteFile(target().c_str());
    }
}

// A first answer that does not begin is not waited for without end: its run is shared all the
// same after a while, and the connection that takes the second half lets the first go on.
TEST_F(SessionTest, AnUnansweredRunIsSharedAfterAWhile) {
    const uint64_t kSize = 4 * 65536;
    m_server.addResource("/f.bin", kSize);
    const std::string sSplitRange = "bytes=" + std::to_string(2 * 65536) + "-";
    auto splitAsked = [this, sSplitRange] {
        for (const auto& req : m_server.requests())
            if (req.header("Range") == sSplitRange) return true;
        return false;
    };
    // Request 0 is the query, request 1 the first piece request.
    m_server.script("/f.bin", 1, {step::HoldUntil(splitAsked, 120000)});
    SessionOptions o;
    o.uConnections = 2;
    o.nDeadlineMs = 60000;
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    ExpectComplete(r, target(), kSize);
    EXPECT_TRUE(splitAsked());
}

// The end of a download is not held up by one request that brings nothing: a last piece whose
// request stays unanswered, stalls inside it, or would only end by the request time-out is
// fetched again by an idle downloader, and the session ends with exact bytes while the stalled
// request is still open (its hold is never let go before the end; a session that waited for it
// would meet the deadline).
TEST_F(SessionTest, AStalledLastPieceIsFetchedAgain) {
    struct Case {
        const char* szName;
        uint64_t ullSize;
        int64_t llHoldAt;  // body byte the first GET stops at; -1 before its answer
        bool bSilent;      // never answered at all, under a short request time-out
        const char* szHelperRange;
    } cases[] = {
        {"silent first GET", 3000, -1, false, ""},
        {"stall inside the last piece", 65536 + 100, 65536 + 40, false, "bytes=65536-"},
        {"unanswered until the time-out", 3000, -1, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", c.ullSize);
        qn::testing::SetPieceRequestTimeoutSeconds(c.bSilent ? 4 : 120);
        // Request 0 is the query, request 1 the first piece request; every later one is answered
        // at once.
        if (c.bSilent) {
            server.script("/f.bin", 1, {step::Silent()});
        } else {
            server.script("/f.bin", 1, {step::HoldAtBodyByte(c.llHoldAt, [] { return false; }, 600000)});
        }
        SessionOptions o;
        o.uConnections = 4;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        std::vector<qn::test::RequestRecord> reqs = server.requests();
        std::vector<qn::test::ConnectionRecord> conns = server.connections();
        server.stop();
        ExpectComplete(r, target(), c.ullSize);
        ASSERT_GE(reqs.size(), 3u);
        const qn::test::RequestRecord& stalled = reqs[1];
        EXPECT_EQ(stalled.method, "GET");
        EXPECT_EQ(stalled.header("Range"), "");
        // The copy that finished the file: a GET for the stalled piece, sent while the stalled
        // request's connection was open.
        const qn::test::RequestRecord& helper = reqs[2];
        EXPECT_EQ(helper.method, "GET");
        EXPECT_EQ(helper.header("Range"), c.szHelperRange);
        EXPECT_NE(helper.connection, stalled.connection);
        const qn::test::ConnectionRecord& held = conns[stalled.connection];
        EXPECT_TRUE(!held.closed || helper.firstByteAt < held.closedAt);
        QN_DeleteFile(target().c_str());
    }
}

// An answer that ends with the piece its download stops at leaves its connection open and
// parked: the next session's query and download go over the same connection.
TEST_F(SessionTest, TheLastPieceKeepsTheConnection) {
    for (uint64_t ullSize : {3000ull, 3ull * 65536 + 7}) {
        SCOPED_TRACE(ullSize);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", ullSize);
        SessionOptions o;
        o.uConnections = 1;
        for (int n = 0; n < 2; ++n) {
            ExpectComplete(Run(server.url("/f.bin"), o), target(), ullSize);
            QN_DeleteFile(target().c_str());
        }
        EXPECT_EQ(server.acceptedCount(), 1);
        EXPECT_EQ(server.requestCount(), 4);
        server.stop();
    }
}

}  // namespace
