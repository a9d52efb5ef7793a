// The transfer helpers over the real HTTP client of the download library, against the loopback
// test server and nginx serving the generated reference trees: every table of both repair files
// and every block of the data sources comes back byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "KDownload.h"
#include "NginxServer.h"
#include "QN_HttpTransfer.h"
#include "ReferenceFixtures.h"
#include "loopback_http_server.h"
#include "qn_log_capture.h"
#include "qn_test_env.h"
#include "qn_string.h"
#include "repair_test_hooks.h"

using namespace qn::kit;

namespace {

enum class Server { Loopback, Nginx };

struct Param {
    Server server;
    FixtureId fixture;
    SourceMode mode;
};

std::string ParamName(const ::testing::TestParamInfo<Param>& info) {
    return std::string(info.param.server == Server::Nginx ? "Nginx" : "Loopback") +
           (info.param.fixture == FixtureId::F2 ? "F2" : "F1") +
           (info.param.mode == SourceMode::Table ? "SourceTable" : "UpdateFiles");
}

class TransferServers : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(BuildFixture(GetParam().fixture, m_tmp.path(), GetParam().mode, &m_fx, &err)) << err;
        if (GetParam().server == Server::Nginx) {
            m_nginx = std::make_unique<qn::test::NginxServer>();
            if (!m_nginx->Start(m_fx.docroot, qn::test::NginxServer::TailMode::Strip, &err))
                GTEST_SKIP() << "nginx cannot start: " << err;
            m_port = m_nginx->port();
        } else {
            m_loopback = std::make_unique<qn::test::LoopbackHttpServer>();
            m_loopback->serveFolder("/", m_fx.docroot);
            m_port = m_loopback->port();
        }
        KDownloadSetReportEndpoint("");  // no download reports from these sessions
        ASSERT_EQ(KDownloadInit(), S_OK);
        m_bLibrary = true;
        g_pfnKDownloadGetService.store(&KDownloadGetService);
    }
    void TearDown() override {
        g_pfnKDownloadGetService.store(nullptr);
        if (m_bLibrary) KDownloadUninit();
        if (m_loopback) m_loopback->stop();
        if (m_nginx) m_nginx->Stop();
    }
    // The URL as the engine builds it: the prefix ends in '/', and the package repair URL adds
    // "/PakV3Repair/" to it, so both doubled slashes reach the server.
    std::string Url(const std::string& urlPath) const {
        std::string p = urlPath;
        const std::string pak = "/qelrepair/zhcn_v3/PakV3Repair/";
        if (p.rfind(pak, 0) == 0) p = "/qelrepair/zhcn_v3//PakV3Repair//" + p.substr(pak.size());
        return "http://127.0.0.1:" + std::to_string(m_port) + p;
    }
    // The Range values the server saw for paths ending with suffix.
    std::vector<std::string> RangesSeen(const std::string& suffix) const {
        std::vector<std::string> out;
        auto ends = [&](const std::string& s) {
            return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
        if (m_nginx) {
            for (const auto& r : m_nginx->Requests())
                if (ends(r.path) && r.status == 206) out.push_back(r.range);
        } else {
            for (const auto& r : m_loopback->requests())
                if (ends(r.path) && r.status == 206) out.push_back(r.header("Range"));
        }
        return out;
    }

    qn::test::TempDir m_tmp;
    BuiltFixture m_fx;
    std::unique_ptr<qn::test::NginxServer> m_nginx;
    std::unique_ptr<qn::test::LoopbackHttpServer> m_loopback;
    uint16_t m_port = 0;
    bool m_bLibrary = false;
};

}  // namespace

TEST_P(TransferServers, EveryTableOfBothRepairFilesRoundTrips) {
    const GeneratedInfo& g = m_fx.info;
    struct Table {
        const char* name;
        std::string urlPath;
        TableSpan span;
    };
    std::vector<Table> tables = {
        {"info header", g.infoUrlPath, g.infoHeader},     {"file-check table", g.infoUrlPath, g.fileCheck},
        {"folder table", g.infoUrlPath, g.dirTable},      {"file-repair table", g.infoUrlPath, g.fileRepair},
        {"rep header", g.repUrlPath, g.repHeader},        {"folder-file table", g.repUrlPath, g.dirFileTable},
        {"block table", g.repUrlPath, g.blockTable},      {"region table", g.repUrlPath, g.regionTable},
        {"repair table", g.repUrlPath, g.repairTable},
    };
    if (g.hasSourceTable) tables.push_back({"source table", g.repUrlPath, g.sourceTable});
    std::vector<std::string> wantInfo, wantRep;
    for (const Table& t : tables) {
        SCOPED_TRACE(t.name);
        const Bytes file = qn::test::ReadFile(m_fx.docroot + t.urlPath);
        QN_HttpBlockDownloader d;
        ASSERT_EQ(d.Init(Url(t.urlPath).c_str()), 1);
        Bytes buf(t.span.size, '\0');
        ASSERT_EQ(d.AddBlock(t.span.offset, (uint32_t)t.span.size, buf.data()), 1);
        EXPECT_EQ(d.Download(), 1);
        EXPECT_TRUE(buf == file.substr(t.span.offset, t.span.size)) << "the bytes differ";
        (t.urlPath == g.infoUrlPath ? wantInfo : wantRep).push_back(RangeValue(t.span.offset, t.span.last()));
        d.ReleaseService();
    }
    if (m_nginx) {
        ASSERT_TRUE(m_nginx->WaitForRequests(tables.size(), 2000));
    }
    EXPECT_EQ(RangesSeen("/qel_repair.info"), wantInfo);
    EXPECT_EQ(RangesSeen("/Repair.REP"), wantRep);
}

TEST_P(TransferServers, EveryBlockComesBackFromItsDataSource) {
    const GeneratedInfo& g = m_fx.info;
    std::vector<Bytes> data;
    for (uint32_t f = 0; f < g.dataFileCount; ++f)
        data.push_back(qn::test::ReadFile(m_fx.clientRoot + "/pakV3/" + DataFileName(f)));
    // All blocks of one source in one batch, as the block repair asks for them.
    for (const SourceRecord& s : g.sources) {
        SCOPED_TRACE(s.urlPath);
        QN_HttpBlockDownloader d;
        ASSERT_EQ(d.Init(Url(s.urlPath).c_str()), 1);
        std::vector<Bytes> bufs;
        std::vector<const BlockRecord*> mine;
        for (const BlockRecord& b : g.blocks)
            if (b.sourceId == s.id) mine.push_back(&b);
        bufs.reserve(mine.size());
        for (const BlockRecord* b : mine) {
            bufs.emplace_back(b->size, '\0');
            ASSERT_EQ(d.AddBlock(b->offsetInServerFile, (uint32_t)b->size, bufs.back().data()), 1);
        }
        EXPECT_EQ(d.Download(), 1);
        for (size_t i = 0; i < mine.size(); ++i)
            EXPECT_TRUE(bufs[i] == data[mine[i]->fileIndex].substr(mine[i]->offset, mine[i]->size)) << "block " << mine[i]->index;
        d.ReleaseService();
    }
}

// Each server once, with F1.
class TransferServerFaults : public TransferServers {};

TEST_P(TransferServerFaults, GoodCopiesArriveThroughDownloadSessions) {
    const GeneratedInfo& g = m_fx.info;
    const std::string prefix = Url("/qelrepair/zhcn_v3/");
    const std::string temp = m_tmp / "QelRepairTemp";  // an absolute save folder
    struct Case {
        std::string url;       // as the engine builds it
        std::string fileName;  // as the engine passes it
        std::string source;    // the good bytes
        std::string saved;     // where they must land
    };
    std::vector<Case> cases;
    for (const char* name : {"lib\\core.dll", "config\\client.ini", "QelClient.exe"}) {
        const NormalFileRecord* r = g.FindNormalFile(name);
        ASSERT_NE(r, nullptr) << name;
        std::string rel = r->tableName;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        cases.push_back({prefix + g.dirs[r->dirId] + "/" + r->tableName, r->tableName,
                         m_fx.clientRoot + "/bin/zhcn/" + rel, temp + "/" + rel});
    }
    for (const DirFileRecord& d : g.dirFiles)
        cases.push_back({Url(d.urlPath), d.name, m_fx.clientRoot + "/pakV3/" + d.name, temp + "/" + d.name});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        // The caller makes the folder of the file first, as the ordinary-file repair does.
        ASSERT_TRUE(MakeDirs(c.saved.substr(0, c.saved.rfind('/'))));
        EXPECT_EQ(_QN_HttpSyncDownloadFile(c.url.c_str(), QN_Utf8ToWide(temp).c_str(), QN_Utf8ToWide(c.fileName).c_str()), 1);
        EXPECT_TRUE(qn::test::ReadFile(c.saved) == qn::test::ReadFile(c.source)) << "the bytes differ";
    }
    // Nothing of the sessions' own files is left behind.
    for (const std::string& f : qn::test::ListFiles(temp)) {
        EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
        EXPECT_EQ(f.find(".cfg"), std::string::npos) << f;
    }
}

TEST_P(TransferServerFaults, AMissingGoodCopyFailsAfterTwoSessions) {
    const std::string temp = m_tmp / "QelRepairTemp";
    qn::test::LogCapture log;
    EXPECT_EQ(_QN_HttpSyncDownloadFile(Url("/qelrepair/zhcn_v3/bin/zhcn/lib\\gone.dll").c_str(), QN_Utf8ToWide(temp).c_str(),
                                       L"lib\\gone.dll"),
              0);
    bool seen = false;
    for (const std::string& m : log.Messages()) seen |= m.find("error in _QN_HttpSyncDownloadFile errCode=5, errExtCode=404") != std::string::npos;
    EXPECT_TRUE(seen);
    EXPECT_FALSE(qn::test::FileExists(temp + "/lib/gone.dll"));
}

TEST_P(TransferServerFaults, MissingFileFailsAfterFiveAttempts) {
    QN_HttpBlockDownloader d;
    ASSERT_EQ(d.Init(Url("/qelrepair/zhcn_v3/PakV3Repair/UpdateFiles/9-10.UPDATE").c_str()), 1);
    Bytes buf(10, '\0');
    ASSERT_EQ(d.AddBlock(0, 10, buf.data()), 1);
    EXPECT_EQ(d.Download(), 0);
    EXPECT_EQ(buf, Bytes(10, '\0'));
    size_t n = 0;
    if (m_nginx) {
        ASSERT_TRUE(m_nginx->WaitForRequests(5, 2000));
        for (const auto& r : m_nginx->Requests()) n += r.status == 404;
    } else {
        for (const auto& r : m_loopback->requests()) n += r.status == 404;
    }
    EXPECT_EQ(n, 5u);
    d.ReleaseService();
}

// Faults scripted on the loopback server.
class TransferLoopbackScripts : public TransferServers {
protected:
    // A new loopback server over the same tree, so that each table row starts with no script,
    // request or connection of the row before.
    void RestartLoopback() {
        m_loopback->stop();
        m_loopback = std::make_unique<qn::test::LoopbackHttpServer>();
        m_loopback->serveFolder("/", m_fx.docroot);
        m_port = m_loopback->port();
    }
};

TEST_P(TransferLoopbackScripts, AnswersThatCountAndAnswersThatDoNot) {
    ASSERT_TRUE(m_loopback);
    using namespace qn::test::http_step;
    const std::string path = "/qelrepair/zhcn_v3/PakV3Repair/UpdateFiles/0-1.UPDATE";
    const Bytes file = qn::test::ReadFile(m_fx.docroot + path);
    struct Case {
        const char* name;
        std::vector<qn::test::Step> steps;
        int index;  // which plain request gets the steps
        uint64_t offset;
        uint32_t size;
        int result;
        int plainRequests;  // after the tailed first attempt, which this server answers 404
    };
    const int any = qn::test::LoopbackHttpServer::kAnyIndex;
    const std::string total = std::to_string(file.size());
    const Case cases[] = {
        {"500, then the bytes", {Status(500)}, 0, 2000, 4096, 1, 2},
        {"dropped mid-body, then the bytes", {DropAfter(100)}, 0, 2000, 4096, 1, 2},
        {"reset mid-body, then the bytes", {ResetAfter(100)}, 0, 2000, 4096, 1, 2},
        {"the whole file for a run inside it", {IgnoreRange()}, any, 2000, 4096, 0, 4},
        // 200 with as many bytes as the run, but they are the file's first bytes.
        {"the whole file for a run at 100 of the file's length", {IgnoreRange()}, any, 100, (uint32_t)file.size(), 0, 4},
        {"the whole file for a run at 0 that covers it", {IgnoreRange()}, any, 0, (uint32_t)file.size(), 1, 1},
        // Answers whose body is not the run asked for (bytes=2000-6095) are refused; the flipped
        // byte would show if one were taken.
        {"Transfer-Encoding gzip, then the bytes", {TransferEncoding("gzip", false), Corrupt(10)}, 0, 2000, 4096, 1, 2},
        {"Transfer-Encoding identity, then the bytes", {TransferEncoding("identity", false), Corrupt(10)}, 0, 2000, 4096, 1, 2},
        {"Transfer-Encoding chunked, gzip, then the bytes", {TransferEncoding("chunked, gzip", true)}, 0, 2000, 4096, 1, 2},
        {"Transfer-Encoding gzip, chunked, then the bytes", {TransferEncoding("gzip, chunked", true), Corrupt(10)}, 0, 2000, 4096, 1, 2},
        {"Content-Encoding gzip, then the bytes", {Header("Content-Encoding", "gzip"), Corrupt(10)}, 0, 2000, 4096, 1, 2},
        {"Content-Encoding identity", {Header("Content-Encoding", "identity")}, 0, 2000, 4096, 1, 1},
        {"Content-Range of another start, then the bytes", {ContentRange("bytes 2001-6096/" + total), Corrupt(10)}, 0, 2000, 4096, 1, 2},
        {"Content-Range of another end, then the bytes", {ContentRange("bytes 2000-6094/" + total), Corrupt(10)}, 0, 2000, 4096, 1, 2},
        {"Content-Range past its total, then the bytes", {ContentRange("bytes 2000-6095/6000"), Corrupt(10)}, 0, 2000, 4096, 1, 2},
        // A form a download session takes from the same server.
        {"Content-Range with blanks around its numbers", {ContentRange("bytes 2000 - 6095 / " + total)}, any, 2000, 4096, 1, 1},
        {"206 without Content-Range, then the bytes", {ContentRange(""), Corrupt(10)}, 0, 2000, 4096, 1, 2},
        {"chunked body short of the run, then the bytes", {Chunked(1000), BodyLength(4000)}, 0, 2000, 4096, 1, 2},
        {"chunked body past the run, then the bytes", {Chunked(1000), BodyLength(5000)}, 0, 2000, 4096, 1, 2},
        {"interim answer with a body, then the bytes",
         {Preface("HTTP/1.1 100 Continue\r\nContent-Length: 5\r\n\r\nhello"), Corrupt(10)}, 0, 2000, 4096, 1, 2},
        {"Transfer-Encoding gzip every time", {TransferEncoding("gzip", false)}, any, 2000, 4096, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RestartLoopback();
        // Scripts match the path exactly as requested, doubled slashes included.
        const std::string requested = Url(path).substr(Url("").size());
        m_loopback->script(requested, c.index, c.steps);
        QN_HttpBlockDownloader d;
        ASSERT_EQ(d.Init(Url(path).c_str()), 1);
        Bytes buf(c.size, '\0');
        ASSERT_EQ(d.AddBlock(c.offset, c.size, buf.data()), 1);
        EXPECT_EQ(d.Download(), c.result);
        int scripted = 0;
        for (const auto& r : m_loopback->requests()) scripted += r.path == requested;
        EXPECT_EQ(scripted, c.plainRequests);
        if (c.result == 1) {
            EXPECT_TRUE(buf == file.substr(c.offset, c.size)) << "the bytes differ";
        } else {
            // A failed run may leave the start of the run's own bytes, never other bytes.
            const Bytes want = file.substr(c.offset, c.size);
            size_t k = 0;
            while (k < buf.size() && buf[k] == want[k]) ++k;
            EXPECT_TRUE(buf.substr(k) == Bytes(c.size - k, '\0')) << "a failed run left other bytes";
        }
        d.ReleaseService();
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, TransferServers,
                         ::testing::Values(Param{Server::Loopback, FixtureId::F1, SourceMode::UpdateFiles},
                                           Param{Server::Loopback, FixtureId::F1, SourceMode::Table},
                                           Param{Server::Loopback, FixtureId::F2, SourceMode::UpdateFiles},
                                           Param{Server::Nginx, FixtureId::F1, SourceMode::UpdateFiles},
                                           Param{Server::Nginx, FixtureId::F1, SourceMode::Table},
                                           Param{Server::Nginx, FixtureId::F2, SourceMode::UpdateFiles}),
                         ParamName);
INSTANTIATE_TEST_SUITE_P(Servers, TransferServerFaults,
                         ::testing::Values(Param{Server::Loopback, FixtureId::F1, SourceMode::UpdateFiles},
                                           Param{Server::Nginx, FixtureId::F1, SourceMode::UpdateFiles}),
                         ParamName);
INSTANTIATE_TEST_SUITE_P(Servers, TransferLoopbackScripts,
                         ::testing::Values(Param{Server::Loopback, FixtureId::F1, SourceMode::UpdateFiles}), ParamName);

TEST_P(TransferLoopbackScripts, AStalledWholeFileDownloadEndsOnStopAndWithoutProgress) {
    using namespace qn::test::http_step;
    const std::string path = "/qelrepair/zhcn_v3/bin/zhcn/lib/core.dll";
    const std::string temp = m_tmp / "QelRepairTemp";
    struct Case {
        const char* name;
        bool stop;
        uint32_t limitMs;
        const char* cause;  // the line that tells what ended the wait
    };
    for (const Case& c : {Case{"stop requested", true, QN_SYNC_DOWNLOAD_NO_PROGRESS_LIMIT_MS, "_QN_HttpSyncDownloadFile stopped."},
                          Case{"no progress", false, 300, "_QN_HttpSyncDownloadFile no progress for 300 ms."}}) {
        SCOPED_TRACE(c.name);
        m_loopback->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex, {Silent()});
        m_loopback->clearRecords();
        qn::test::LogCapture log;
        // The stop is asked for once the server holds the session's request unanswered.
        EXPECT_EQ(_QN_HttpSyncDownloadFile(Url(path).c_str(), QN_Utf8ToWide(temp).c_str(), L"lib\\core.dll",
                                           [&] { return c.stop && m_loopback->requestCount() > 0; }, c.limitMs),
                  0);
        // The wait ended for that reason, and the aborted session then ended at once instead of
        // being given up after its 30 s.
        bool sawCause = false, sawStuck = false;
        for (const std::string& m : log.Messages()) {
            sawCause |= m.find(c.cause) != std::string::npos;
            sawStuck |= m.find("aborted session did not end") != std::string::npos;
        }
        EXPECT_TRUE(sawCause) << c.cause;
        EXPECT_FALSE(sawStuck);
        EXPECT_FALSE(qn::test::FileExists(temp + "/lib/core.dll"));
    }
}

// A ranged request that the server holds: a stop asked for meanwhile makes the client leave
// (the server sees the connection closed under its hold); without a stop the download waits
// the hold out.
TEST_P(TransferLoopbackScripts, AStopCutsAHeldRangedRequestShort) {
    using namespace qn::test::http_step;
    const std::string path = "/qelrepair/zhcn_v3/PakV3Repair/UpdateFiles/0-1.UPDATE";
    const Bytes file = qn::test::ReadFile(m_fx.docroot + path);
    struct Case {
        const char* name;
        int holdMs;  // -1: the hold's condition never turns true
        bool stopOnceHeld;
        int result;
    };
    const Case cases[] = {
        {"stop while the answer is held", -1, true, 0},
        {"a held answer without a stop", 300, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RestartLoopback();
        const auto start = std::chrono::steady_clock::now();
        const int holdMs = c.holdMs;
        m_loopback->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                           {HoldUntil(
                               [start, holdMs] {
                                   return holdMs >= 0 && std::chrono::steady_clock::now() - start >=
                                                             std::chrono::milliseconds(holdMs);
                               },
                               3600 * 1000)});
        QN_HttpBlockDownloader d;
        ASSERT_EQ(d.Init(Url(path).c_str()), 1);
        d.SetStopTest([&] { return c.stopOnceHeld && m_loopback->requestCount() > 0; });
        Bytes buf(4096, '\0');
        ASSERT_EQ(d.AddBlock(2000, 4096, buf.data()), 1);
        std::future<int> result = std::async(std::launch::async, [&] { return d.Download(); });
        const bool ended = result.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        EXPECT_TRUE(ended) << "the download did not come back while the answer was held";
        if (!ended) m_loopback->stop();  // ends the hold, so that the download can return
        EXPECT_EQ(result.get(), c.result);
        if (c.result == 1) {
            EXPECT_TRUE(buf == file.substr(2000, 4096)) << "the bytes differ";
        } else {
            EXPECT_TRUE(buf == Bytes(4096, '\0')) << "bytes were copied out of a stopped run";
            // One request, left unanswered: the client closed the connection under the hold.
            ASSERT_TRUE(m_loopback->waitForClosedConnections(1, 30000));
            const std::vector<qn::test::ConnectionRecord> conns = m_loopback->connections();
            ASSERT_EQ(conns.size(), 1u);
            EXPECT_TRUE(conns[0].closedByPeer);
            const std::vector<qn::test::RequestRecord> reqs = m_loopback->requests();
            ASSERT_EQ(reqs.size(), 1u);
            EXPECT_EQ(reqs[0].status, 0);
        }
        d.ReleaseService();
    }
}

// A server that holds a ranged request without sending anything (before its answer, or in the
// middle of the body) makes the run give up once the no-progress limit has passed: one request,
// no further attempt, the connection closed by the client, and the block holds no other bytes.
// A hold shorter than the limit is waited out.
TEST_P(TransferLoopbackScripts, ASilentServerEndsTheRunWithoutProgress) {
    using namespace qn::test::http_step;
    const std::string path = "/qelrepair/zhcn_v3/PakV3Repair/UpdateFiles/0-1.UPDATE";
    const Bytes file = qn::test::ReadFile(m_fx.docroot + path);
    // Long enough that a released hold (a quarter of it) and a loaded machine stay well inside it.
    constexpr uint32_t kLimitMs = 2000;
    struct Case {
        const char* name;
        std::function<qn::test::Step(std::function<bool()>)> hold;
        bool released;  // the hold ends (well within the limit) on its own
        int result;
        size_t requests;  // the first, tailed request is answered 404 here unless it is held
    };
    const Case cases[] = {
        {"no answer at all", [](std::function<bool()> ready) { return HoldUntil(std::move(ready), 3600 * 1000); }, false, 0, 1},
        {"stalled after 1000 body bytes",
         [](std::function<bool()> ready) { return HoldAtBodyByte(1000, std::move(ready), 3600 * 1000); }, false, 0, 2},
        {"a short stall mid-body",
         [](std::function<bool()> ready) { return HoldAtBodyByte(1000, std::move(ready), 3600 * 1000); }, true, 1, 2},
    };
    qn::testing::SetBlockDownloadNoProgressLimit(kLimitMs);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RestartLoopback();
        const auto start = std::chrono::steady_clock::now();
        const bool released = c.released;
        // A released hold ends a quarter of the limit after the request came in.
        m_loopback->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                           {c.hold([start, released] {
                               return released && std::chrono::steady_clock::now() - start >=
                                                      std::chrono::milliseconds(kLimitMs / 4);
                           })});
        qn::test::LogCapture log;
        QN_HttpBlockDownloader d;
        ASSERT_EQ(d.Init(Url(path).c_str()), 1);
        d.SetStopTest([] { return false; });
        Bytes buf(4096, '\0');
        ASSERT_EQ(d.AddBlock(2000, 4096, buf.data()), 1);
        std::future<int> result = std::async(std::launch::async, [&] { return d.Download(); });
        const bool ended = result.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        EXPECT_TRUE(ended) << "the run did not give up on the silent server";
        if (!ended) m_loopback->stop();
        EXPECT_EQ(result.get(), c.result);
        bool sawGuard = false;
        for (const std::string& m : log.Messages())
            sawGuard |= m.find("_SyncDownloadBlock no progress for " + std::to_string(kLimitMs) + " ms. cszFileURL=" + Url(path)) != std::string::npos;
        EXPECT_EQ(sawGuard, c.result == 0);
        if (c.result == 1) {
            EXPECT_TRUE(buf == file.substr(2000, 4096)) << "the bytes differ";
        } else {
            const Bytes want = file.substr(2000, 4096);
            size_t k = 0;
            while (k < buf.size() && buf[k] == want[k]) ++k;
            EXPECT_TRUE(buf.substr(k) == Bytes(4096 - k, '\0')) << "the run left other bytes";
            // No attempt after the held one; the client closed the connection under the hold.
            ASSERT_TRUE(m_loopback->waitForClosedConnections(1, 30000));
            const std::vector<qn::test::ConnectionRecord> conns = m_loopback->connections();
            EXPECT_TRUE(std::any_of(conns.begin(), conns.end(),
                                    [](const qn::test::ConnectionRecord& r) { return r.closedByPeer; }));
        }
        EXPECT_EQ(m_loopback->requests().size(), c.requests);
        d.ReleaseService();
    }
    qn::testing::SetBlockDownloadNoProgressLimit(0);
}
