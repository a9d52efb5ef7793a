#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KDownloadSession.h"
#include "QN_MD5.h"
#include "qn_file_io.h"
#include "qn_systemtime.h"
#include "session_test_util.h"

namespace {

using qn::test::FileExists;
using qn::test::FirstResourceMismatch;
using qn::test::ReadFile;
using qn::test::ResourceBytes;
using qn::test::SessionOptions;
using qn::test::SessionOutcome;
using qn::test::SessionTest;
namespace step = qn::test::http_step;

std::vector<qn::test::RequestRecord> RequestsFor(const qn::test::LoopbackHttpServer& s, const std::string& sMethod,
                                                 const std::string& sPath) {
    std::vector<qn::test::RequestRecord> out;
    for (const auto& r : s.requests()) {
        if (r.method == sMethod && r.path == sPath) out.push_back(r);
    }
    return out;
}

// Every road of a session posts one report, with the session's outcome in it.
TEST_F(SessionTest, EveryRoadPostsOneReport) {
    qn::test::LoopbackHttpServer sink;
    std::string sEndpoint = "127.0.0.1:" + std::to_string(sink.port());
    m_server.addResource("/f.bin", 70000);
    m_server.addContent("/empty", "");
    m_server.script("/silent", m_server.kAnyIndex, {step::Silent()});
    qn::test::LoopbackHttpServer closed;
    std::string sClosedUrl = closed.url("/x");
    closed.stop();
    struct Row {
        const char* szName;
        std::string sUrl;
        bool bAbort;
        const char* szExpect;  // fields the body must hold
    } rows[] = {
        // By name, so that the query reports the address it connected to.
        {"success", "http://localhost:" + std::to_string(m_server.port()) + "/f.bin", false, "&error=0&error_ext=0&"},
        {"existing file", m_server.url("/f.bin"), false, "&bytes_total=70000&bytes_inherited=0&bytes_completed=70000&"},
        {"404", m_server.url("/missing"), false, "&error=5&error_ext=404&"},
        {"empty file", m_server.url("/empty"), false, "&error=0&"},
        {"abort", m_server.url("/silent"), true, "&error=2&"},
        {"refused", sClosedUrl, false, "&final_url=&"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szName);
        sink.clearRecords();
        KDownloadSetReportEndpoint(sEndpoint.c_str());
        SessionOptions o;
        // Aborted once the server holds the query unanswered.
        if (r.bAbort) {
            o.onPoll = [&](IKDownloadSession*) { return !RequestsFor(m_server, "HEAD", "/silent").empty(); };
        }
        const uint64_t ullPostsBefore = qn::testing::ReportPostCount();
        Run(r.sUrl, o);
        // The session's thread has ended: it handed exactly one report to the HTTP service.
        EXPECT_EQ(qn::testing::ReportPostCount() - ullPostsBefore, 1u);
        ASSERT_TRUE(sink.waitForRequests(1, 3000));
        auto reqs = sink.requests();
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0].method, "POST");
        EXPECT_EQ(reqs[0].target, "/i/qeldownload");
        EXPECT_FALSE(reqs[0].hasHeader("Content-Type"));
        const std::string& b = reqs[0].body;
        EXPECT_NE(b.find(r.szExpect), std::string::npos) << b;
        EXPECT_NE(b.find("&original_url=" + KDownloadSession::urlEscape(r.sUrl.c_str()) + "&"), std::string::npos) << b;
        EXPECT_EQ(b.compare(0, 12, "client_uuid="), 0);
        if (std::string(r.szName) == "refused") {
            EXPECT_NE(b.find("&error=3&"), std::string::npos) << b;
            EXPECT_NE(b.find("&bytes_total=0&"), std::string::npos) << b;
            EXPECT_NE(b.find("&client_error=2&"), std::string::npos) << b;
            EXPECT_EQ(b.substr(b.size() - 11), "&server_ip=");
        }
        if (std::string(r.szName) == "success") {
            EXPECT_NE(b.find("&server_ip=127.0.0.1"), std::string::npos) << b;
            EXPECT_NE(b.find("&final_url=" + KDownloadSession::urlEscape(r.sUrl.c_str()) + "&"), std::string::npos);
        }
    }
}

// A server that resets every piece request: the URL fails past its limit and the session ends
// with a network error, the last failure's client error in the report.
TEST_F(SessionTest, FailureLimitEndsTheSession) {
    qn::test::LoopbackHttpServer sink;
    KDownloadSetReportEndpoint(("127.0.0.1:" + std::to_string(sink.port())).c_str());
    m_server.addResource("/f.bin", 200000);
    for (int i = 1; i < 1000; ++i) m_server.script("/f.bin", i, {step::ResetAfter(0)});
    SessionOptions o;
    o.nDeadlineMs = 30000;
    o.uConnections = 10;
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    EXPECT_FALSE(r.bTimedOut);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_NETWORK);
    // The URL is handed out until it has failed 101 times.
    EXPECT_GE((int)RequestsFor(m_server, "GET", "/f.bin").size(), 101);
    ASSERT_TRUE(sink.waitForRequests(1, 3000));
    EXPECT_NE(sink.requests()[0].body.find("&client_error=4&"), std::string::npos) << sink.requests()[0].body;
}

TEST_F(SessionTest, PieceRequestShape) {
    m_server.addResource("/f.bin", 4 * 65536);
    SessionOptions o;
    o.uConnections = 1;
    ASSERT_EQ(Run(m_server.url("/f.bin"), o).uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    auto gets = RequestsFor(m_server, "GET", "/f.bin");
    ASSERT_EQ(gets.size(), 1u);  // one connection chains every piece
    EXPECT_FALSE(gets[0].hasHeader("Range"));
    EXPECT_EQ(gets[0].header("User-Agent"), "Mozilla/5.0 (Windows NT 10.0; WOW64; Trident/7.0; rv:11.0) like Gecko");
    EXPECT_EQ(gets[0].header("Accept"), "*/*");

    // Four connections: each later one asks for an open range at a piece boundary.
    qn::test::TempDir dir2;
    m_server.clearRecords();
    QN_DeleteFile(target().c_str());
    o.uConnections = 4;
    ASSERT_EQ(Run(m_server.url("/f.bin"), o).uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    for (const auto& g : RequestsFor(m_server, "GET", "/f.bin")) {
        if (!g.hasHeader("Range")) continue;
        std::string v = g.header("Range");
        ASSERT_EQ(v.compare(0, 6, "bytes="), 0);
        ASSERT_EQ(v.back(), '-');
        uint64_t ull = std::stoull(v.substr(6));
        EXPECT_EQ(ull % 65536, 0u) << v;
    }
}

// Redirects of piece requests: followed three times per start; a URL that keeps failing after
// redirects is counted against the URL the session handed out, so the session ends.
TEST_F(SessionTest, PieceRedirects) {
    m_server.addResource("/f.bin", 3 * 65536);
    m_server.addResource("/real.bin", 3 * 65536);
    for (int i = 1; i < 50; ++i) m_server.script("/f.bin", i, {step::Redirect(302, m_server.url("/real.bin"))});
    SessionOptions o;
    o.uConnections = 1;
    ASSERT_EQ(Run(m_server.url("/f.bin"), o).uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    std::string s = ReadFile(target());
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);

    qn::test::LoopbackHttpServer server;
    server.addResource("/g", 3 * 65536);
    server.addResource("/gone", 3 * 65536);
    for (int i = 1; i < 2000; ++i) {
        server.script("/g", i, {step::Redirect(302, "/gone")});
        server.script("/gone", i - 1, {step::Status(404)});
    }
    QN_DeleteFile(target().c_str());
    o.nDeadlineMs = 30000;
    o.uConnections = 10;  // the failures of all connections count against the one URL
    SessionOutcome r = Run(server.url("/g"), o);
    EXPECT_FALSE(r.bTimedOut);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_NETWORK);

    // Four redirects in a row end the attempt and count as a failure.
    qn::test::LoopbackHttpServer loop;
    loop.addResource("/h", 65536);
    loop.addRedirectChain("/hop", 4, "/h");
    for (int i = 1; i < 2000; ++i) loop.script("/h", i, {step::Redirect(302, "/hop")});
    r = Run(loop.url("/h"), o);
    EXPECT_FALSE(r.bTimedOut);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_NETWORK);
}

// A Location with bytes a request line must not carry raw (TAB, '"', '<', '>', '\\', a byte
// above 0x7F) is requested with them percent-escaped, and without its fragment.
TEST_F(SessionTest, PieceRedirectLocationIsEscapedWithoutItsFragment) {
    const std::string sEscaped = "/d%09%22%3C%3E%5C%E4.bin";
    m_server.addResource("/f.bin", 3 * 65536);
    m_server.addResource(sEscaped, 3 * 65536);
    for (int i = 1; i < 50; ++i) {
        m_server.script("/f.bin", i, {step::Redirect(302, "/d\t\"<>\\\xE4.bin#part")});
    }
    SessionOptions o;
    o.uConnections = 1;
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED) << "error " << r.uError << "/" << r.uErrorExt;
    std::string s = ReadFile(target());
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
    auto gets = RequestsFor(m_server, "GET", sEscaped);
    ASSERT_FALSE(gets.empty());
    for (const auto& g : gets) EXPECT_EQ(g.target, sEscaped);
}

int FailDataWrites(int nFd, uint64_t, uint32_t uLength) {
    std::string sPath = qn::testing::PathOfFd(nFd);
    // Fail the piece writes of the data file, not its 1-byte preallocation touches.
    if (sPath.size() > 4 && sPath.compare(sPath.size() - 4, 4, ".tmp") == 0 && uLength > 1) return EIO;
    return 0;
}

TEST_F(SessionTest, PieceWriteFailureIsAFileError) {
    m_server.addResource("/f.bin", 3 * 65536);
    qn::testing::SetFileWriteHook(FailDataWrites);
    SessionOptions o;
    o.nDeadlineMs = 30000;
    o.uConnections = 10;
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    qn::testing::SetFileWriteHook(nullptr);
    EXPECT_FALSE(r.bTimedOut);
    EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_FILE);
    EXPECT_EQ(r.uErrorExt, 0u);
    EXPECT_FALSE(FileExists(target()));
}

TEST_F(SessionTest, TimestampsFollowLastModified) {
    const char* szDate = "Sun, 06 Nov 1994 08:49:37 GMT";
    m_server.addResource("/f.bin", 70000);
    m_server.script("/f.bin", m_server.kAnyIndex, {step::Header("Last-Modified", szDate)});
    m_server.addContent("/empty", "");
    m_server.script("/empty", m_server.kAnyIndex, {step::Header("Last-Modified", szDate)});
    // A date the parser does not take costs the stamp only.
    m_server.addContent("/odd", "");
    m_server.script("/odd", m_server.kAnyIndex, {step::Header("Last-Modified", "Monday, 07-Nov-94 08:49:37 GMT")});
    // A date that parses but is no calendar date: the empty file is still made, unstamped.
    m_server.addContent("/feb31", "");
    m_server.script("/feb31", m_server.kAnyIndex, {step::Header("Last-Modified", "Sun, 31 Feb 2021 08:49:37 GMT")});
    SYSTEMTIME st{1994, 11, 0, 6, 8, 49, 37, 0};
    uint64_t ullWant = 0;
    ASSERT_TRUE(QN_SystemTimeToFileTime(&st, &ullWant));
    for (const char* szPath : {"/f.bin", "/empty", "/odd", "/feb31"}) {
        SCOPED_TRACE(szPath);
        QN_DeleteFile(target().c_str());
        SessionOutcome r = Run(m_server.url(szPath));
        ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
        int nFd = QN_FileOpen(target().c_str(), QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, QN_FILE_OPEN_EXISTING);
        uint64_t ullTime = 0;
        QN_FileGetLastWriteTime(nFd, &ullTime);
        QN_FileClose(nFd);
        if (std::string(szPath) == "/f.bin" || std::string(szPath) == "/empty") {
            EXPECT_EQ(ullTime, ullWant);
            EXPECT_EQ(r.info.lastModified.wYear, 1994);
        }
    }
}

// With no file name the name comes from the URL; a data file held by another program moves
// the download to "name(1)", "name(2)", ...
TEST_F(SessionTest, RenameLoopOnASharingViolation) {
    m_server.addResource("/d/file.zip", 1000);
    std::string sBase = m_dir / "file.zip";
    int nHeld0 = QN_FileOpen((sBase + ".tmp").c_str(), QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ,
                             QN_FILE_OPEN_ALWAYS);
    ASSERT_GE(nHeld0, 0);
    SessionOptions o;
    o.wszFileName = nullptr;
    SessionOutcome r = Run(m_server.url("/d/file.zip?x=1"), o);
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    EXPECT_EQ(QN_WideToUtf8(r.info.filePath), sBase + "(1)");
    EXPECT_EQ(ReadFile(sBase + "(1)").size(), 1000u);
    QN_DeleteFile((sBase + "(1)").c_str());

    // All ten names held: a file error with the sharing violation.
    std::vector<int> held;
    for (int i = 1; i < 10; ++i) {
        held.push_back(QN_FileOpen((sBase + "(" + std::to_string(i) + ").tmp").c_str(),
                                   QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, QN_FILE_OPEN_ALWAYS));
    }
    r = Run(m_server.url("/d/file.zip"), o);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_FILE);
    EXPECT_EQ(r.uErrorExt, 0x80070020u);
    for (int fd : held) QN_FileClose(fd);

    // With a file name given, the first violation fails.
    o.wszFileName = L"file.zip";
    r = Run(m_server.url("/d/file.zip"), o);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_FILE);
    EXPECT_EQ(r.uErrorExt, 0x80070020u);
    QN_FileClose(nHeld0);
}

// A progress file left by a download of an older version of the remote file is not resumed.
TEST_F(SessionTest, ResumeOverAChangedRemoteFileStartsAfresh) {
    const uint64_t kSize = 8 * 65536;
    m_server.addResource("/f.bin", kSize);
    m_server.script("/f.bin", m_server.kAnyIndex, {step::Header("Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT")});
    // The earlier run's files: data of another version and a progress file claiming every piece.
    qn::test::WriteFile(target() + ".tmp", std::string(kSize, 'o'));
    std::string sCfg(4096, '\0');
    std::memcpy(&sCfg[0], "TbRf\x01", 5);
    for (int i = 0; i < 8; ++i) sCfg[2020 + i] = (char)(kSize >> (8 * i));
    const uint16_t aw[8] = {1993, 1, 5, 1, 0, 0, 0, 0};
    for (int i = 0; i < 8; ++i) sCfg[2028 + 2 * i] = (char)aw[i], sCfg[2029 + 2 * i] = (char)(aw[i] >> 8);
    sCfg[2046] = 1;  // piece size 65536
    sCfg += std::string(8, '\x04');
    qn::test::WriteFile(target() + ".cfg", sCfg);
    SessionOutcome r = Run(m_server.url("/f.bin"));
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    EXPECT_EQ(r.info.bytesInherited, 0u);
    std::string s = ReadFile(target());
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
}

// ---------------------------------------------------------------------------------------------
// Checksum files: the zero-padded MD5 of every block.

std::string ChecksumFileFor(uint64_t ullSize, uint32_t uBlockSize, int nWrongBlock = -1) {
    std::string s(1024, '\0');
    std::memcpy(&s[0], "TbCk\x01", 5);
    for (int i = 0; i < 8; ++i) s[8 + i] = (char)(ullSize >> (8 * i));
    for (int i = 0; i < 4; ++i) s[16 + i] = (char)(uBlockSize >> (8 * i));
    s[20] = 1;
    uint64_t ullCount = (ullSize - 1) / uBlockSize + 1;
    s += std::string(16, '\0');
    for (uint64_t b = 0; b < ullCount; ++b) {
        uint64_t ullOff = b * uBlockSize;
        std::string block = ResourceBytes(ullOff, (size_t)std::min<uint64_t>(uBlockSize, ullSize - ullOff));
        block.resize(uBlockSize, '\0');
        QN_MD5_CTX ctx;
        uint8_t digest[16];
        QN_MD5Init(&ctx);
        QN_MD5Update(&ctx, (const uint8_t*)block.data(), (int)block.size());
        QN_MD5Final(&ctx, digest);
        if ((int64_t)b == nWrongBlock) digest[0] ^= 0xFF;
        s.append((const char*)digest, 16);
    }
    return s;
}

TEST_F(SessionTest, ChecksumRoads) {
    const uint64_t kSize = 6 * 65536 + 1000;  // the last block is partial
    struct Row {
        const char* szName;
        uint32_t uBlockSize;
        int nWrongBlock;
        int nCorruptFirstServes;  // body offset 100 of every GET flipped this many times
        uint32_t uMaxErrors;
        uint32_t uStatus, uError;
    } rows[] = {
        {"correct", 65536, -1, 0, 0, KDS_STATUS_SUCCEEDED, 0},
        {"two-piece blocks", 2 * 65536, -1, 0, 0, KDS_STATUS_SUCCEEDED, 0},
        // The block is checked while the download runs (the server holds the last piece until
        // the mismatch is found): fetched again.
        {"first serve corrupt", 65536, -1, 1, 0, KDS_STATUS_SUCCEEDED, 0},
        {"always wrong, limit 1", 65536, 2, 0, 1, KDS_STATUS_FAILED, KDS_ERR_CHECKSUM},
        {"always wrong, limit 5", 65536, 2, 0, 5, KDS_STATUS_FAILED, KDS_ERR_CHECKSUM},
        {"only the last block wrong", 65536, 6, 0, 0, KDS_STATUS_FAILED, KDS_ERR_CHECKSUM},
    };
    std::atomic<bool> bMismatchSeen{false};
    qn::testing::SetLogSink([&](const std::string&, int, const std::string& sText) {
        if (sText.find("checksum mismatch") != std::string::npos) bMismatchSeen = true;
    });
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        bMismatchSeen = false;
        for (int i = 1; i <= row.nCorruptFirstServes; ++i) {
            server.script("/f.bin", i,
                          {step::Corrupt(100), step::HoldAtBodyByte(6 * 65536, [&] { return bMismatchSeen.load(); })});
        }
        qn::test::WriteFile(m_dir / "f.ck", ChecksumFileFor(kSize, row.uBlockSize, row.nWrongBlock));
        std::wstring wsCk = QN_Utf8ToWide(m_dir / "f.ck");
        SessionOptions o;
        o.wszChecksum = wsCk.c_str();
        o.uMaxChecksumErrors = row.uMaxErrors;
        o.uConnections = 1;
        o.nDeadlineMs = 30000;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        EXPECT_FALSE(r.bTimedOut);
        EXPECT_EQ(r.uStatus, row.uStatus);
        EXPECT_EQ(r.uError, row.uError);
        if (row.uStatus == KDS_STATUS_SUCCEEDED) {
            std::string s = ReadFile(target());
            EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
        } else {
            EXPECT_FALSE(FileExists(target()));
        }
        QN_DeleteFile(target().c_str());
        QN_DeleteFile((target() + ".tmp").c_str());
        QN_DeleteFile((target() + ".cfg").c_str());
    }
    qn::testing::SetLogSink(nullptr);
}

// A corrupt last block is found also when it is the last piece to arrive (the final check runs
// after every downloader has stopped, so its block is in the queue).
TEST_F(SessionTest, ChecksumOfTheLastBlockIsAlwaysChecked) {
    const uint64_t kSize = 6 * 65536 + 1000;
    for (int nRun = 0; nRun < 5; ++nRun) {
        qn::test::LoopbackHttpServer server;
        server.addResource("/f.bin", kSize);
        qn::test::WriteFile(m_dir / "f.ck", ChecksumFileFor(kSize, 65536, 6));
        std::wstring wsCk = QN_Utf8ToWide(m_dir / "f.ck");
        SessionOptions o;
        o.wszChecksum = wsCk.c_str();
        o.uConnections = 4;
        SessionOutcome r = Run(server.url("/f.bin"), o);
        ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED) << nRun;
        EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_CHECKSUM);
        QN_DeleteFile((target() + ".tmp").c_str());
        QN_DeleteFile((target() + ".cfg").c_str());
    }
}

TEST_F(SessionTest, ChecksumFileOfAnotherSizeFailsFirst) {
    const uint64_t kSize = 6 * 65536 + 1000;
    // A checksum file for another size fails before any storage is made.
    qn::test::LoopbackHttpServer server;
    server.addResource("/f.bin", kSize + 1);
    qn::test::WriteFile(m_dir / "f.ck", ChecksumFileFor(kSize, 65536));
    std::wstring wsCk = QN_Utf8ToWide(m_dir / "f.ck");
    SessionOptions o;
    o.wszChecksum = wsCk.c_str();
    SessionOutcome r = Run(server.url("/f.bin"), o);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_CHECKSUM);
    EXPECT_FALSE(FileExists(target() + ".tmp"));
}

// Many connections on one-piece blocks, each connection's first answer corrupt: blocks are
// reset and downloaded twice near the end, and the session must still come to an end (a
// corrupt block that is the last to arrive fails the final check, as it should).
// The state byte of a piece in a progress file, 0xFF when the file does not hold it yet.
uint8_t CfgPieceState(const std::string& sCfg, uint32_t uPiece) {
    int nFd = ::open(sCfg.c_str(), O_RDONLY | O_CLOEXEC);
    if (nFd < 0) return 0xFF;
    uint8_t b = 0xFF;
    if (::pread(nFd, &b, 1, 4096 + uPiece) != 1) b = 0xFF;
    ::close(nFd);
    return b;
}

// Which copy of the doubly downloaded piece arrives late, with its bytes corrupted.
enum class LateCopy {
    Chain,  // the stream from piece 0, reaching the piece after the split took it
    Split,  // the ranged request that split the run
};

constexpr uint64_t kLatePiece = 65536;
constexpr uint64_t kLateSize = 4 * kLatePiece;

// Four pieces over two connections: the stream from 0 and the split at piece 2 both download
// piece 2. The server orders the two by what the progress file records: the copy named late
// sends piece 2, with one byte flipped, only once piece 2 is recorded complete (verified when
// a checksum file is given). The other copy ends right after piece 2, and piece 3 asked for
// again gets a connection that never answers, so that only the late copy can finish the file:
// it must drop its piece 2 and go on with piece 3. Returns the flag set when the late copy's
// hold ended because piece 2 was recorded.
std::shared_ptr<std::atomic<bool>> ScriptLateDuplicate(qn::test::LoopbackHttpServer& server, const std::string& sCfg,
                                                       bool bChecksum, LateCopy late) {
    server.addResource("/f.bin", kLateSize);
    auto pRecorded = std::make_shared<std::atomic<bool>>(false);
    uint8_t uFinal = bChecksum ? KPIECE_VERIFIED : KPIECE_DOWNLOADED;
    auto pieceTwoRecorded = [sCfg, uFinal, pRecorded] {
        if ((CfgPieceState(sCfg, 2) & 0x0F) != uFinal) return false;
        pRecorded->store(true);
        return true;
    };
    // Piece 1 complete: the stream from 0 has gone on to piece 2.
    auto pieceOneRecorded = [sCfg] {
        uint8_t b = CfgPieceState(sCfg, 1);
        return b != 0xFF && (b & 0x0F) >= KPIECE_DOWNLOADED;
    };
    // The stream from 0 sends one byte only before the split has been asked for (a run is
    // shared once its answer has begun): the split then finds the whole run taken and nothing
    // committed, and starts at piece 2.
    auto pSplitAsked = std::make_shared<std::atomic<bool>>(false);
    auto splitAsked = [pSplitAsked] { return pSplitAsked->load(); };
    const std::string sSplitRange = "bytes=" + std::to_string(2 * kLatePiece) + "-";
    server.script("/f.bin", qn::test::LoopbackHttpServer::kAnyIndex,
                  {[=](qn::test::Plan& p, const qn::test::RequestRecord& req) {
                      if (req.method != "GET") return;
                      std::string sRange = req.header("Range");
                      bool bChain = sRange.empty(), bSplit = sRange == sSplitRange;
                      if (!bChain && !bSplit) {
                          step::Silent()(p, req);
                          return;
                      }
                      if (bSplit) pSplitAsked->store(true);
                      if (bChain) step::HoldAtBodyByte(1, splitAsked)(p, req);
                      int64_t llPieceTwo = bChain ? (int64_t)(2 * kLatePiece) : 0;
                      if ((late == LateCopy::Chain) == bChain) {
                          step::HoldAtBodyByte(llPieceTwo, pieceTwoRecorded)(p, req);
                          step::Corrupt(llPieceTwo + 10)(p, req);
                      } else {
                          // The early copy of piece 2 waits for the chain to reach piece 2.
                          if (bSplit) step::HoldAtBodyByte(0, pieceOneRecorded)(p, req);
                          step::DropAfter(llPieceTwo + (int64_t)kLatePiece)(p, req);
                      }
                  }});
    return pRecorded;
}

// A late copy of a piece that was committed and verified meanwhile is dropped.
TEST_F(SessionTest, ChecksumWithDuplicateDownloadsFinishes) {
    for (bool bChecksum : {true, false}) {
        for (LateCopy late : {LateCopy::Chain, LateCopy::Split}) {
            SCOPED_TRACE(std::string(bChecksum ? "checksum, " : "no checksum, ") +
                         (late == LateCopy::Chain ? "late chain" : "late split"));
            qn::test::LoopbackHttpServer server;
            auto pRecorded = ScriptLateDuplicate(server, target() + ".cfg", bChecksum, late);
            SessionOptions o;
            std::wstring wsCk;
            if (bChecksum) {
                qn::test::WriteFile(m_dir / "f.ck", ChecksumFileFor(kLateSize, 65536));
                wsCk = QN_Utf8ToWide(m_dir / "f.ck");
                o.wszChecksum = wsCk.c_str();
            }
            o.uConnections = 2;
            o.nDeadlineMs = 30000;
            SessionOutcome r = Run(server.url("/f.bin"), o);
            server.stop();
            EXPECT_FALSE(r.bTimedOut);
            EXPECT_TRUE(pRecorded->load()) << "the late copy was not held until piece 2 was recorded";
            EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
            std::string s = FileExists(target()) ? ReadFile(target()) : std::string();
            EXPECT_EQ(s.size(), kLateSize);
            EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
            if (HasFailure()) {
                for (const auto& req : server.requests())
                    ADD_FAILURE() << req.method << " Range=\"" << req.header("Range") << "\" connection " << req.connection
                                  << " status " << req.status;
            }
            QN_DeleteFile(target().c_str());
            QN_DeleteFile((target() + ".tmp").c_str());
            QN_DeleteFile((target() + ".cfg").c_str());
        }
    }
}

TEST_F(SessionTest, SpeedLimitHoldsTheRate) {
    const uint64_t kSize = 2 * 1024 * 1024;
    m_server.addResource("/f.bin", kSize);
    SessionOptions o;
    o.uSpeedLimit = 1024 * 1024;
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    // 2 MiB at 1 MiB/s, less the first burst: at least about 1.5 s.
    EXPECT_GE(r.llElapsedMs, 1500);
    EXPECT_LE(r.info.speedAvg, 1024u * 1024u * 5 / 4);
}

}  // namespace

namespace {

// A redirect of a piece request to another host goes to that host, not to the address the
// query found for the first one. Nothing listens on 127.0.0.2 at this port, so the pieces
// cannot come, whereas the old address would have served them.
TEST_F(SessionTest, PieceRedirectToAnotherHostIsResolvedAfresh) {
    m_server.addResource("/f.bin", 2 * 65536);
    std::string sOther = "http://127.0.0.2:" + std::to_string(m_server.port()) + "/f.bin";
    for (int i = 1; i < 2000; ++i) m_server.script("/f.bin", i, {step::Redirect(302, sOther)});
    SessionOptions o;
    o.uConnections = 10;
    o.nDeadlineMs = 30000;
    SessionOutcome r = Run("http://localhost:" + std::to_string(m_server.port()) + "/f.bin", o);
    EXPECT_FALSE(r.bTimedOut);
    EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_NETWORK);
}

// Pieces taken over from an earlier run are checked at the start when a checksum file is
// given: a piece whose bytes are wrong is fetched again. The server holds the new pieces back
// until that check has found the spoiled block, as it does while they come; once every piece
// is there, a mismatch found by the final check would fail the download instead.
TEST_F(SessionTest, InheritedPiecesAreVerified) {
    const uint64_t kSize = 6 * 65536;
    m_server.addResource("/f.bin", kSize);
    std::atomic<bool> bMismatchSeen{false};
    for (int i = 1; i < 100; ++i)
        m_server.script("/f.bin", i, {step::HoldUntil([&bMismatchSeen] { return bMismatchSeen.load(); })});
    std::string data = ResourceBytes(0, kSize);
    data[65536 + 5] ^= 0x40;  // piece 1 spoiled
    qn::test::WriteFile(target() + ".tmp", data);
    std::string sCfg(4096, '\0');
    std::memcpy(&sCfg[0], "TbRf\x01", 5);
    for (int i = 0; i < 8; ++i) sCfg[2020 + i] = (char)(kSize >> (8 * i));
    sCfg[2046] = 1;
    sCfg += std::string("\x04\x04\x04\0\0\0", 6);
    qn::test::WriteFile(target() + ".cfg", sCfg);
    qn::test::WriteFile(m_dir / "f.ck", ChecksumFileFor(kSize, 65536));
    std::wstring wsCk = QN_Utf8ToWide(m_dir / "f.ck");
    std::mutex lock;
    std::vector<std::string> lines;
    qn::testing::SetLogSink([&](const std::string& sCategory, int, const std::string& sText) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(sCategory + ": " + sText);
        if (lines.back() == "tibrusk.session.thread: block 1 checksum mismatch") bMismatchSeen = true;
    });
    SessionOptions o;
    o.wszChecksum = wsCk.c_str();
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    qn::testing::SetLogSink(nullptr);
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    std::string s = ReadFile(target());
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
    EXPECT_EQ(r.info.bytesInherited, 3u * 65536);
    auto has = [&](const std::string& sLine) {
        std::lock_guard<std::mutex> guard(lock);
        for (const auto& l : lines) {
            if (l == sLine) return true;
        }
        return false;
    };
    EXPECT_TRUE(has("tibrusk.session.thread: block 0 verified"));
    EXPECT_TRUE(has("tibrusk.session.thread: block 1 checksum mismatch"));
    EXPECT_TRUE(has("tibrusk.session.thread: block 1 verified"));
    // The stored digest first, then the computed one, in upper-case hexadecimal.
    const std::string sPrefix = "tibrusk.session.checksum: verify: pieceIndex(1) mismatch: ";
    bool bMismatchLine = false;
    for (const auto& l : lines) {
        if (l.rfind(sPrefix, 0) != 0 || l.size() != sPrefix.size() + 32 + 5 + 32) continue;
        std::string sHex = l.substr(sPrefix.size(), 32) + l.substr(sPrefix.size() + 37);
        bMismatchLine = l.substr(sPrefix.size() + 32, 5) == " <-> " &&
                        sHex.find_first_not_of("0123456789ABCDEF") == std::string::npos;
    }
    EXPECT_TRUE(bMismatchLine);
}

// 0: no read of the data file yet; 1: the first one waits in the hook; 2: the session aborted.
std::atomic<int> g_nVerifyReadStage{0};

int HoldFirstDataRead(int nFd, uint64_t, uint32_t) {
    std::string sPath = qn::testing::PathOfFd(nFd);
    if (sPath.size() <= 4 || sPath.compare(sPath.size() - 4, 4, ".tmp") != 0) return 0;
    int nIdle = 0;
    if (!g_nVerifyReadStage.compare_exchange_strong(nIdle, 1)) return 0;
    qn::test::WaitUntil([] { return g_nVerifyReadStage.load() == 2; }, 5000);
    return 0;
}

// An abort that lands while a block is being hashed leaves the block's pieces downloaded: the
// reads it cut short are no evidence of a mismatch.
TEST_F(SessionTest, AbortDuringVerificationKeepsTheBlock) {
    const uint64_t kSize = 6 * 65536;
    m_server.addResource("/f.bin", kSize);
    m_server.script("/f.bin", m_server.kAnyIndex, {step::Drip(64 * 1024)});
    qn::test::WriteFile(target() + ".tmp", ResourceBytes(0, kSize));
    std::string sCfg(4096, '\0');
    std::memcpy(&sCfg[0], "TbRf\x01", 5);
    for (int i = 0; i < 8; ++i) sCfg[2020 + i] = (char)(kSize >> (8 * i));
    sCfg[2046] = 1;
    sCfg += std::string("\x04\x04\0\0\0\0", 6);
    qn::test::WriteFile(target() + ".cfg", sCfg);
    qn::test::WriteFile(m_dir / "f.ck", ChecksumFileFor(kSize, 2 * 65536));
    std::wstring wsCk = QN_Utf8ToWide(m_dir / "f.ck");
    g_nVerifyReadStage.store(0);
    qn::testing::SetFileReadHook(HoldFirstDataRead);
    SessionOptions o;
    o.wszChecksum = wsCk.c_str();
    o.nDeadlineMs = 10000;
    o.onPoll = [](IKDownloadSession* pSession) {
        if (g_nVerifyReadStage.load() != 1) return false;
        pSession->abort();
        g_nVerifyReadStage.store(2);
        return true;
    };
    SessionOutcome r = Run(m_server.url("/f.bin"), o);
    qn::testing::SetFileReadHook(nullptr);
    EXPECT_FALSE(r.bTimedOut);
    EXPECT_EQ(r.uStatus, (uint32_t)KDS_STATUS_FAILED);
    EXPECT_EQ(r.uError, (uint32_t)KDS_ERR_ABORTED);
    std::string sAfter = ReadFile(target() + ".cfg");
    ASSERT_GE(sAfter.size(), 4096u + 2);
    EXPECT_EQ(sAfter[4096], 4);
    EXPECT_EQ(sAfter[4097], 4);
}

// A stream over the file being downloaded reads the bytes as they come, and outlives the
// session that made it without touching it.
TEST_F(SessionTest, StreamOverTheDownloadingFile) {
    const uint64_t kSize = 40 * 65536;
    m_server.addResource("/f.bin", kSize);
    m_server.script("/f.bin", m_server.kAnyIndex, {step::Drip(1024 * 1024)});
    IKDownloadSession* pSession = nullptr;
    ASSERT_EQ(m_pService->createSession(m_server.url("/f.bin").c_str(), nullptr, QN_Utf8ToWide(m_dir.path()).c_str(),
                                        L"f.bin", &pSession),
              S_OK);
    ASSERT_EQ(pSession->start(), S_OK);
    IInStream* pStream = nullptr;
    EXPECT_TRUE(qn::test::WaitUntil([&] { return SUCCEEDED(pSession->createStream(IID_IInStream, (void**)&pStream)); }));
    if (!pStream) pSession->Release();
    ASSERT_TRUE(pStream);
    // 512 KiB at piece 30: the window moves the downloads there.
    std::vector<uint8_t> buf(512 * 1024);
    uint32_t uGot = 0;
    ASSERT_EQ(pStream->Seek(30 * 65536, KSTREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(pStream->Read(buf.data(), 4 * 65536, &uGot), S_OK);
    EXPECT_EQ(uGot, 4u * 65536);
    EXPECT_EQ(FirstResourceMismatch(30 * 65536, buf.data(), uGot), -1);
    pSession->abort();
    pSession->Release();
    // The session is gone: a piece that never came ends the read instead of waiting for ever.
    ASSERT_EQ(pStream->Seek(0, KSTREAM_SEEK_END, nullptr), S_OK);
    ASSERT_EQ(pStream->Seek(-10, KSTREAM_SEEK_CUR, nullptr), S_OK);
    HRESULT hr = pStream->Read(buf.data(), 10, &uGot);
    EXPECT_TRUE(hr == S_OK || hr == E_FAIL);
    pStream->Release();
}

}  // namespace

namespace {

// A session still held when the library stops: it ends when released, sends no report into a
// stopped library, and touches nothing that is gone.
TEST_F(SessionTest, SessionOutlivesTheLibrary) {
    qn::test::LoopbackHttpServer sink;
    KDownloadSetReportEndpoint(("127.0.0.1:" + std::to_string(sink.port())).c_str());
    m_server.addResource("/f.bin", 1000);
    m_server.script("/f.bin", m_server.kAnyIndex, {step::Silent()});
    IKDownloadSession* pSession = nullptr;
    ASSERT_EQ(m_pService->createSession(m_server.url("/f.bin").c_str(), nullptr, QN_Utf8ToWide(m_dir.path()).c_str(),
                                        L"f.bin", &pSession),
              S_OK);
    ASSERT_EQ(pSession->start(), S_OK);
    ASSERT_TRUE(m_server.waitForRequests(1, 3000));
    const uint64_t ullPostsBefore = qn::testing::ReportPostCount();
    m_pService->Release();
    m_pService = nullptr;
    EXPECT_EQ(KDownloadUninit(), S_OK);
    pSession->abort();
    bool bFinished = false;
    EXPECT_TRUE(qn::test::WaitUntil([&] { return SUCCEEDED(pSession->isFinished(&bFinished)) && bFinished; }));
    uint32_t uStatus = 0, uError = 0, uErrorExt = 0;
    pSession->getProgress(&uStatus, nullptr, nullptr, nullptr, nullptr);
    pSession->getError(&uError, &uErrorExt);
    EXPECT_EQ(uStatus, (uint32_t)KDS_STATUS_FAILED);
    pSession->Release();
    // The thread has ended without handing a report to the stopped library.
    EXPECT_EQ(qn::testing::ReportPostCount(), ullPostsBefore);
    EXPECT_EQ(sink.requestCount(), 0);
}

}  // namespace
