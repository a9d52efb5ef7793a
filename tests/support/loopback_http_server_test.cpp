// The loopback HTTP server fixture, checked over plain sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "loopback_http_server.h"
#include "qn_test_env.h"

namespace qn::test {
namespace {

using namespace http_step;

struct Parsed {
    std::string head, body;
    int status = 0;
};

Parsed Split(const std::string& raw) {
    Parsed p;
    size_t e = raw.find("\r\n\r\n");
    p.head = raw.substr(0, e == std::string::npos ? raw.size() : e + 4);
    if (e != std::string::npos) p.body = raw.substr(e + 4);
    if (p.head.size() > 12) p.status = std::atoi(p.head.c_str() + 9);
    return p;
}

std::string Get(const std::string& path, const std::string& extra = "", const char* method = "GET") {
    return std::string(method) + " " + path + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
}

struct ExchangeCase {
    const char* name;
    std::string request;
    std::vector<Step> steps;
    int status;
    const char* headContains;
    std::string body;  // the expected body, read until the server closes
};

TEST(LoopbackHttpServer, AnswersRequestsAsScripted) {
    const uint64_t kSize = 1000;
    const std::vector<ExchangeCase> cases = {
        {"whole", Get("/r"), {}, 200, "Content-Length: 1000\r\n", ResourceBytes(0, kSize)},
        {"range a-b", Get("/r", "Range: bytes=10-19\r\n"), {}, 206, "Content-Range: bytes 10-19/1000\r\n", ResourceBytes(10, 10)},
        {"range a-", Get("/r", "Range: bytes=990-\r\n"), {}, 206, "Content-Range: bytes 990-999/1000\r\n", ResourceBytes(990, 10)},
        {"range beyond end", Get("/r", "Range: bytes=1000-\r\n"), {}, 416, "Content-Range: bytes */1000\r\n", ""},
        {"ignore range", Get("/r", "Range: bytes=10-19\r\n"), {IgnoreRange()}, 200, "Content-Length: 1000\r\n", ResourceBytes(0, kSize)},
        {"wrong content-range", Get("/r", "Range: bytes=10-19\r\n"), {ContentRange("bytes 0-9/1000")}, 206, "Content-Range: bytes 0-9/1000\r\n", ResourceBytes(10, 10)},
        {"head", Get("/r", "", "HEAD"), {}, 200, "Content-Length: 1000\r\n", ""},
        {"missing", Get("/nothing"), {}, 404, "HTTP/1.1 404 Not Found\r\n", "not found\n"},
        {"status", Get("/r"), {Status(500)}, 500, "Content-Length: 4\r\n", "500\n"},
        {"chunked", Get("/r", "Range: bytes=0-9\r\n"), {Chunked(4)}, 206, "Transfer-Encoding: chunked\r\n",
         "4\r\n" + ResourceBytes(0, 4) + "\r\n4\r\n" + ResourceBytes(4, 4) + "\r\n2\r\n" + ResourceBytes(8, 2) + "\r\n0\r\n\r\n"},
        {"until close", Get("/r"), {UntilClose()}, 200, "HTTP/1.0 200 OK\r\n\r\n", ResourceBytes(0, kSize)},
        {"corrupt", Get("/r", "Range: bytes=0-3\r\n"), {Corrupt(2)},  206, "206",
         std::string{ResourceBytes(0, 2) + (char)(ResourceByte(2) ^ 0xFF) + ResourceBytes(3, 1)}},
        {"drop after", Get("/r"), {DropAfter(7)}, 200, "Content-Length: 1000\r\n", ResourceBytes(0, 7)},
        {"surplus", Get("/r", "Range: bytes=0-0\r\n"), {Surplus("EXTRA")}, 206, "206", ResourceBytes(0, 1) + "EXTRA"},
        {"redirect", Get("/r"), {Redirect(307, "http://127.0.0.1/x", true)}, 307, "\r\nlocation: http://127.0.0.1/x\r\n", "307\n"},
        {"lowercase", Get("/r", "Range: bytes=0-0\r\n"), {LowercaseHeaders()}, 206, "content-range: bytes 0-0/1000\r\n", ResourceBytes(0, 1)},
        {"garbage", Get("/r"), {GarbageStatusLine()}, 0, "XYZZY", ""},
        {"body", Get("/r"), {Body("hello")}, 200, "Content-Length: 5\r\n", "hello"},
        {"one byte headers", Get("/r", "Range: bytes=0-1\r\n"), {OneByteHeaderWrites()}, 206, "206", ResourceBytes(0, 2)},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        LoopbackHttpServer server;
        server.addResource("/r", kSize);
        // Every case closes after its response so that the body can be read until close.
        std::vector<Step> steps = tc.steps;
        steps.push_back(CloseAfter(CloseKind::Fin));
        server.script("/r", LoopbackHttpServer::kAnyIndex, steps);
        server.script("/nothing", LoopbackHttpServer::kAnyIndex, {CloseAfter(CloseKind::Fin)});
        RawHttpClient client(server.port());
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(tc.request));
        Parsed p = Split(client.readUntilClose(5000));
        if (tc.status) {
            EXPECT_EQ(p.status, tc.status) << p.head;
        }
        EXPECT_NE(p.head.find(tc.headContains), std::string::npos) << p.head;
        EXPECT_EQ(p.body, tc.body);
    }
}

TEST(LoopbackHttpServer, KeepsConnectionsAliveAndRecordsRequests) {
    LoopbackHttpServer server;
    server.addContent("/a", "abc");
    server.script("/a", 1, {Status(500)});
    RawHttpClient client(server.port());
    ASSERT_TRUE(client.send(Get("/a") + Get("/a?q=1") + Get("/a")));
    // Three responses on one connection: 200, 500 (request index 1), 200.
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
    const std::string expected =
        ok + "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\n500\n" + ok;
    EXPECT_EQ(client.readAtLeast(expected.size(), 5000), expected);
    ASSERT_TRUE(server.waitForRequests(3, 5000));
    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(server.acceptedCount(), 1);
    EXPECT_EQ(reqs[1].target, "/a?q=1");
    EXPECT_EQ(reqs[1].path, "/a");
    EXPECT_EQ(reqs[1].status, 500);
    EXPECT_EQ(reqs[2].status, 200);
    EXPECT_EQ(reqs[2].indexOnConnection, 2);
    EXPECT_EQ(reqs[2].indexOnPath, 2);
    EXPECT_EQ(reqs[0].header("host"), "x");
}

TEST(LoopbackHttpServer, RecordsEveryReadWithItsTime) {
    LoopbackHttpServer server;
    server.addContent("/a", "abc");
    RawHttpClient client(server.port());
    std::string req = Get("/a");
    ASSERT_TRUE(client.send(req.substr(0, 1)));
    // The pause counts from the server's first read: a slow start of its connection thread
    // would otherwise let it take both pieces in one read.
    ASSERT_TRUE(qn::test::WaitUntil(
        [&] {
            auto conns = server.connections();
            return !conns.empty() && !conns[0].reads.empty();
        },
        5000, 5))
        << "the first byte was never read";
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    ASSERT_TRUE(client.send(req.substr(1)));
    ASSERT_TRUE(server.waitForRequests(1, 5000));
    auto conns = server.connections();
    ASSERT_EQ(conns.size(), 1u);
    ASSERT_GE(conns[0].reads.size(), 2u);
    EXPECT_EQ(conns[0].reads[0].bytes, 1u);
    EXPECT_GE(conns[0].reads[1].at - conns[0].reads[0].at, std::chrono::milliseconds(100));
}

TEST(LoopbackHttpServer, ClosesAndResetsAsScripted) {
    struct Case {
        const char* name;
        std::function<void(LoopbackHttpServer&)> setup;
        bool firstRequestAnswered;
        bool reset;
    };
    const std::vector<Case> cases = {
        {"reset after body bytes", [](LoopbackHttpServer& s) { s.script("/a", 0, {ResetAfter(1)}); }, false, true},
        {"reset without response", [](LoopbackHttpServer& s) { s.script("/a", 0, {CloseWithoutResponse(CloseKind::Rst)}); }, false, true},
        {"fin without response", [](LoopbackHttpServer& s) { s.script("/a", 0, {CloseWithoutResponse(CloseKind::Fin)}); }, false, false},
        {"idle reset", [](LoopbackHttpServer& s) { s.setIdleClose(50, CloseKind::Rst); }, true, true},
        {"idle fin", [](LoopbackHttpServer& s) { s.setIdleClose(50, CloseKind::Fin); }, true, false},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        LoopbackHttpServer server;
        server.addContent("/a", "abc");
        tc.setup(server);
        RawHttpClient client(server.port());
        ASSERT_TRUE(client.send(Get("/a")));
        if (tc.firstRequestAnswered) {
            EXPECT_EQ(Split(client.readAtLeast(40, 5000)).body, "abc");
        }
        bool reset = false;
        EXPECT_TRUE(client.waitClosed(5000, &reset));
        EXPECT_EQ(reset, tc.reset);
        EXPECT_TRUE(server.waitForClosedConnections(1, 5000));
    }
}

TEST(LoopbackHttpServer, StallsDripsAndSeesThePeerLeave) {
    LoopbackHttpServer server;
    server.addResource("/r", 2000);
    server.script("/r", 0, {Drip(10000)});
    server.script("/s", 0, {Silent()});
    {
        RawHttpClient client(server.port());
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(client.send(Get("/r")));
        Parsed p = Split(client.readAtLeast(2000 + 40, 5000));
        EXPECT_EQ(FirstResourceMismatch(0, p.body.data(), p.body.size()), -1);
        EXPECT_GE(p.body.size(), 2000u);
        // 2000 bytes at 10 000 B/s take about 200 ms.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    }
    {
        RawHttpClient client(server.port());
        ASSERT_TRUE(client.send(Get("/s")));
        EXPECT_EQ(client.readAtLeast(1, 200), "");
        client.close();
        ASSERT_TRUE(server.waitForClosedConnections(2, 5000));
        EXPECT_TRUE(server.connections()[1].closedByPeer);
    }
    auto start = std::chrono::steady_clock::now();
    RawHttpClient held(server.port());
    ASSERT_TRUE(held.send(Get("/s")));
    ASSERT_TRUE(server.waitForRequests(3, 5000));
    // stop() ends a connection that waits for ever (and is still held by its peer) in a
    // fraction of a second; generously bounded below the 30 s a kept-alive connection waits.
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(LoopbackHttpServer, HoldsAnAnswerUntilTheTestLetsItGo) {
    const std::string body = "0123456789";
    for (int64_t atBodyByte : {-1, 4}) {  // before the status line, in the body
        SCOPED_TRACE(atBodyByte);
        LoopbackHttpServer server;
        server.addContent("/a", body);
        std::atomic<bool> go{false};
        std::atomic<int> looks{0};
        auto ready = [&] {
            looks++;
            return go.load();
        };
        server.script("/a", 0, {atBodyByte < 0 ? HoldUntil(ready) : HoldAtBodyByte(atBodyByte, ready)});
        RawHttpClient client(server.port());
        ASSERT_TRUE(client.send(Get("/a")));
        // Held after the server has looked a few times: what is out is all that comes.
        ASSERT_TRUE(qn::test::WaitUntil([&] { return looks.load() >= 3; }));
        std::string got = client.readAtLeast(1, 1);
        size_t out = 0;  // body bytes out while held
        if (atBodyByte < 0) {
            ASSERT_EQ(server.requests().size(), 1u);
            EXPECT_EQ(server.requests()[0].status, 0);
            EXPECT_EQ(got, "");
        } else {
            out = (size_t)atBodyByte;
            ASSERT_TRUE(qn::test::WaitUntil([&] {
                got += client.readAtLeast(1, 1);
                size_t end = got.find("\r\n\r\n");
                return end != std::string::npos && got.size() >= end + 4 + out;
            }));
            got += client.readAtLeast(1, 1);
            EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), body.substr(0, out));
        }
        go = true;
        got += client.readAtLeast(atBodyByte < 0 ? 40 : body.size() - out, 5000);
        EXPECT_EQ(Split(got).body, body);
    }
}

TEST(LoopbackHttpServer, FollowsRedirectChainsAndServesFolders) {
    LoopbackHttpServer server;
    server.addContent("/end", "done");
    server.addRedirectChain("/start", 3, server.url("/end"), 301);
    TempDir dir;
    WriteFile(dir / "sub/f.bin", "file bytes");
    server.serveFolder("/files/", dir.path());
    std::string path = "/start";
    for (int hop = 0; hop < 3; ++hop) {
        RawHttpClient client(server.port());
        ASSERT_TRUE(client.send(Get(path, "Connection: close\r\n")));
        Parsed p = Split(client.readUntilClose(5000));
        ASSERT_EQ(p.status, 301) << p.head;
        size_t at = p.head.find("Location: ");
        ASSERT_NE(at, std::string::npos);
        std::string loc = p.head.substr(at + 10, p.head.find("\r\n", at) - at - 10);
        path = loc.substr(server.url("").size());
    }
    EXPECT_EQ(path, "/end");
    RawHttpClient client(server.port());
    ASSERT_TRUE(client.send(Get("/files/sub/f.bin") + Get("/files/../x", "Connection: close\r\n")));
    std::string all = client.readUntilClose(5000);
    EXPECT_NE(all.find("\r\n\r\nfile bytes"), std::string::npos);
    EXPECT_NE(all.find("404"), std::string::npos);
}

}  // namespace
}  // namespace qn::test
