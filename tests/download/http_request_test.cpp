// The HTTP request engine against the loopback server.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "KHttpRequest.h"
#include "connection_cache.h"
#include "download_test_hooks.h"
#include "event_loop.h"
#include "host_resolver.h"
#include "http_test_util.h"
#include "loopback_http_server.h"
#include "qn_test_env.h"
#include "qn_socket.h"
#include "speed_limiter.h"

namespace {

using namespace qn::test;
using namespace qn::test::http_step;
using qn::httptest::RecordingHandler;
using qn::httptest::RecordingStatus;
using qn::httptest::Slot;
using Ms = std::chrono::milliseconds;

constexpr uint32_t kWaitMs = 10000;

void StartCore() { ASSERT_TRUE(qn::testing::CoreStart()); }
void StopCore() { qn::testing::CoreStop(); }

// One request object with a recording handler and status callback.
struct Probe {
    explicit Probe(Slot refuse = Slot::None, uint32_t bufSize = 4096, SpeedLimiter* limiter = nullptr)
        : handler(new RecordingHandler(refuse)), status(new RecordingStatus) {
        handler->AddRef();
        status->AddRef();
        EXPECT_TRUE(req.init(bufSize, limiter, handler, status));
    }
    // The request (destroyed after this body) still holds its own references.
    ~Probe() {
        handler->Release();
        status->Release();
    }
    // Opens, sends and waits for the end. False when the request did not end in time.
    bool run(int32_t method, const std::string& url) {
        if (!req.open(method, url.c_str()) || !req.send()) return false;
        return req.waitDone(kWaitMs);
    }
    bool get(const std::string& url) { return run(KHTTP_METHOD_GET, url); }

    RecordingHandler* handler;
    RecordingStatus* status;
    KHttpRequest req;
};

// True when text is one of the '|'-separated alternatives.
bool OneOf(const std::string& text, const std::string& alternatives) {
    size_t start = 0;
    for (;;) {
        size_t bar = alternatives.find('|', start);
        if (alternatives.compare(start, bar == std::string::npos ? std::string::npos : bar - start, text) == 0) return true;
        if (bar == std::string::npos) return false;
        start = bar + 1;
    }
}


class HttpRequestTest : public ::testing::Test {
protected:
    void SetUp() override { StartCore(); }
    void TearDown() override { StopCore(); }
    LoopbackHttpServer server;
};

// ---------------------------------------------------------------------------------------------
// Building

TEST(HttpRequestBuilding, RequestLineAndHostFromTheUrl) {
    struct Case {
        int32_t method;
        std::string url;
        uint32_t bufSize;
        const char* expected;  // nullptr: open refuses
    };
    const std::vector<Case> cases = {
        {KHTTP_METHOD_GET, "http://h", 256, "GET / HTTP/1.1\r\nHost: h\r\n"},
        // The fragment stays with the client.
        {KHTTP_METHOD_GET, "http://h:8080/a?b#c", 256, "GET /a?b HTTP/1.1\r\nHost: h:8080\r\n"},
        {KHTTP_METHOD_GET, "http://h/#c", 256, "GET / HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_HEAD, "http://h:80/x", 256, "HEAD /x HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_POST, "http://h?q", 256, "POST /?q HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_GET, "http://u:p@h/x", 256, "GET /x HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_GET, "https://h/", 256, nullptr},
        // Scheme names are case-insensitive.
        {KHTTP_METHOD_GET, "HTTP://h/", 256, "GET / HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_GET, "hTtP://h/", 256, "GET / HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_GET, "HTTPS://h/", 256, nullptr},
        // Bytes a request line must not carry raw are escaped; escapes already made stay.
        {KHTTP_METHOD_GET, "http://h/a\tb\fc", 256, "GET /a%09b%0Cc HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_GET, "http://h/\xE4\xB8\xAD\x80\xFF", 256, "GET /%E4%B8%AD%80%FF HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_GET, "http://h/\"<>\\{|}^`[]", 256, "GET /%22%3C%3E%5C%7B%7C%7D%5E%60%5B%5D HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_GET, "http://h/a%20b?q=\"x\"&r=<1>#\"f\"", 256, "GET /a%20b?q=%22x%22&r=%3C1%3E HTTP/1.1\r\nHost: h\r\n"},
        {KHTTP_METHOD_GET, "http://h/-._~!$&'()*+,;=:@/?/", 256, "GET /-._~!$&'()*+,;=:@/?/ HTTP/1.1\r\nHost: h\r\n"},
        // IPv6 literals: this client connects over IPv4 only.
        {KHTTP_METHOD_GET, "http://[::1]:8080/x", 256, nullptr},
        {KHTTP_METHOD_GET, "http://[::ffff:127.0.0.1]/x", 256, nullptr},
        {KHTTP_METHOD_GET, "http:///x", 256, nullptr},
        {KHTTP_METHOD_GET, "http://h#f", 256, nullptr},
        {KHTTP_METHOD_GET, "http://h:0/", 256, nullptr},
        {KHTTP_METHOD_GET, "http://h:65536/", 256, nullptr},
        {KHTTP_METHOD_GET, "http://h/a b", 256, nullptr},
        {KHTTP_METHOD_GET, "", 256, nullptr},
        {0, "http://h/", 256, nullptr},
        {4, "http://h/", 256, nullptr},
        {KHTTP_METHOD_GET, "http://h/", 10, nullptr},
        // Offsets inside a parsed URL are 16-bit: a URL this long would be mis-split.
        {KHTTP_METHOD_GET, "http://h/" + std::string(70000, 'a'), 200000, nullptr},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.url.substr(0, 40));
        KHttpRequest req;
        ASSERT_TRUE(req.init(tc.bufSize, nullptr, nullptr, nullptr));
        bool ok = req.open(tc.method, tc.url.c_str());
        EXPECT_EQ(ok, tc.expected != nullptr);
        if (tc.expected) {
            EXPECT_EQ(req.requestText(), tc.expected);
            EXPECT_EQ(req.getState(), KHTTP_STATE_REQUEST_LINE);
        } else {
            // A refused open leaves nothing to add to or send.
            EXPECT_FALSE(req.addHeader("A", "b"));
            EXPECT_FALSE(req.send());
        }
    }
}

TEST(HttpRequestBuilding, HeadersAndBodyAreAppendedOnlyWhenTheyFit) {
    const std::string line = "GET / HTTP/1.1\r\nHost: h\r\n";
    KHttpRequest req;
    ASSERT_TRUE(req.init((uint32_t)line.size() + 40, nullptr, nullptr, nullptr));
    EXPECT_FALSE(req.addHeader("A", "b"));  // before open
    ASSERT_TRUE(req.open(KHTTP_METHOD_GET, "http://h"));
    EXPECT_TRUE(req.addHeader("A", "b"));
    std::string before = req.requestText();
    EXPECT_FALSE(req.addHeader("Too-Long", std::string(40, 'x').c_str()));
    EXPECT_EQ(req.requestText(), before);
    EXPECT_FALSE(req.setBody("01234567890123456789", 20));  // 22 + 20 bytes do not fit in the 34 left
    EXPECT_EQ(req.requestText(), before);
    EXPECT_TRUE(req.setBody("hello", 5));
    EXPECT_EQ(req.requestText(), line + "A: b\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(req.getState(), KHTTP_STATE_HEADERS_CLOSED);
    EXPECT_FALSE(req.addHeader("B", "c"));
    EXPECT_FALSE(req.setBody("x", 1));
    EXPECT_FALSE(req.setServerAddress(1));
    EXPECT_FALSE(req.cancel());
    // Reopening starts a new text.
    ASSERT_TRUE(req.open(KHTTP_METHOD_HEAD, "http://h"));
    EXPECT_EQ(req.requestText(), "HEAD / HTTP/1.1\r\nHost: h\r\n");
}

// ---------------------------------------------------------------------------------------------
// Response delivery

TEST_F(HttpRequestTest, DeliversStatusHeadersAndBodyAsTheServerFramesThem) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        int32_t method;
        std::string body;
        int status;
    };
    const std::string data = ResourceBytes(0, 1000);
    const std::vector<Case> cases = {
        {"content length", {}, KHTTP_METHOD_GET, data, 200},
        {"one byte header writes", {OneByteHeaderWrites(), Header("X-Joined", "a, b")}, KHTTP_METHOD_GET, data, 200},
        {"chunked", {Chunked(300)}, KHTTP_METHOD_GET, data, 200},
        {"until close", {UntilClose()}, KHTTP_METHOD_GET, data, 200},
        {"head", {}, KHTTP_METHOD_HEAD, "", 200},
        {"interim 100", {Continue100()}, KHTTP_METHOD_GET, data, 200},
        {"not found", {Status(404)}, KHTTP_METHOD_GET, "404\n", 404},
    };
    server.addResource("/r", 1000);
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& tc = cases[i];
        SCOPED_TRACE(tc.name);
        server.script("/r", (int)i, tc.steps);
        Probe p;
        ASSERT_TRUE(p.run(tc.method, server.url("/r")));
        EXPECT_EQ(p.req.getClientError(), KHTTP_CE_OK) << p.req.getClientErrorExt();
        EXPECT_EQ(p.handler->body(), tc.body);
        auto events = p.handler->events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events.front(), "status:" + std::to_string(tc.status));
        EXPECT_EQ(p.handler->count("status:" + std::to_string(tc.status)), 1);
        EXPECT_EQ(events.back(), "end");
        EXPECT_EQ(events[events.size() - 2], "headers");
        EXPECT_EQ(p.handler->endings(), 1);
        EXPECT_FALSE(p.handler->unterminated());
        if (std::string(tc.name) == "one byte header writes") {
            EXPECT_EQ(p.handler->header("X-Joined"), "a, b");
            EXPECT_EQ(p.handler->header("Content-Length"), "1000");
            EXPECT_EQ(p.handler->headers().size(), 2u);
        }
        if (std::string(tc.name) == "head") {
            EXPECT_EQ(p.handler->header("Content-Length"), "1000");
        }
        if (std::string(tc.name) == "chunked") {
            EXPECT_EQ(p.handler->header("Transfer-Encoding"), "chunked");
        }
    }
}

TEST_F(HttpRequestTest, HandlerRefusalEndsOnceWithItsLineAndTheConnectionIsNotKept) {
    struct Case {
        Slot slot;
        const char* trace;
        const char* refusedAt;  // the handler's last call before onError
    };
    const std::vector<Case> cases = {
        {Slot::Status, "line=999", "status:200"},
        {Slot::Header, "line=999", "header:Content-Length"},
        {Slot::HeadersComplete, "line=1060", "headers"},
        {Slot::Body, "line=1087", "body"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.trace);
        LoopbackHttpServer s;
        s.addResource("/r", 5000);
        // Two headers: the first is delivered when the second begins, the last at the end of
        // the headers.
        s.script("/r", LoopbackHttpServer::kAnyIndex, {Header("X-Second", "2")});
        {
            Probe p(tc.slot);
            ASSERT_TRUE(p.get(s.url("/r")));
            EXPECT_EQ(p.req.getClientError(), KHTTP_CE_REFUSED);
            EXPECT_EQ(p.req.getClientErrorExt(), tc.trace);
            EXPECT_EQ(p.handler->count("error"), 1);
            EXPECT_EQ(p.handler->count("end"), 0);
            // Nothing is delivered after the refusal.
            auto events = p.handler->events();
            ASSERT_GE(events.size(), 2u);
            EXPECT_EQ(events[events.size() - 2], tc.refusedAt);
            EXPECT_EQ(events.back(), "error");
        }
        EXPECT_TRUE(s.waitForClosedConnections(1, kWaitMs));
        Probe next;
        ASSERT_TRUE(next.get(s.url("/r")));
        EXPECT_EQ(next.req.getClientError(), KHTTP_CE_OK);
        EXPECT_EQ(s.acceptedCount(), 2);
    }
}

// An answer whose body is not the plain bytes of the resource (a transfer or content coding
// the engine cannot undo) and an interim answer that announces a body end with client error 5
// before any body byte reaches the handler; a plain answer next to them is delivered whole.
TEST_F(HttpRequestTest, AnswersThatAreNotPlainBytesEndBeforeTheirBody) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        bool delivered;  // false: refused with client error 5
    };
    const std::string data = ResourceBytes(0, 3000);
    const std::vector<Case> cases = {
        {"Transfer-Encoding gzip", {TransferEncoding("gzip", false)}, false},
        {"Transfer-Encoding identity", {TransferEncoding("identity", false)}, false},
        {"Transfer-Encoding x", {TransferEncoding("x", false)}, false},
        {"Transfer-Encoding chunked, gzip", {TransferEncoding("chunked, gzip", true)}, false},
        {"Transfer-Encoding gzip, chunked", {TransferEncoding("gzip, chunked", true)}, false},
        {"two Transfer-Encoding headers", {Chunked(500), Header("Transfer-Encoding", "chunked")}, false},
        {"Transfer-Encoding CHUNKED", {TransferEncoding("CHUNKED", true)}, true},
        {"Content-Encoding gzip", {Header("Content-Encoding", "gzip")}, false},
        {"Content-Encoding gzip on a 404", {Status(404), Header("Content-Encoding", "gzip")}, false},
        {"Content-Encoding identity", {Header("Content-Encoding", "identity")}, true},
        {"100 with a length and a body", {Preface("HTTP/1.1 100 Continue\r\nContent-Length: 5\r\n\r\nhello")}, false},
        {"100 with a chunked body",
         {Preface("HTTP/1.1 100 Continue\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")},
         false},
        {"102 with a length", {Preface("HTTP/1.1 102 Processing\r\nContent-Length: 40\r\n\r\n")}, false},
        {"100 with a zero length", {Preface("HTTP/1.1 100 Continue\r\nContent-Length: 0\r\n\r\n")}, true},
    };
    server.addResource("/r", data.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& tc = cases[i];
        SCOPED_TRACE(tc.name);
        server.script("/r", (int)i, tc.steps);
        Probe p;
        ASSERT_TRUE(p.get(server.url("/r")));
        if (tc.delivered) {
            EXPECT_EQ(p.req.getClientError(), KHTTP_CE_OK) << p.req.getClientErrorExt();
            EXPECT_EQ(p.handler->body(), data);
            EXPECT_EQ(p.handler->count("end"), 1);
        } else {
            EXPECT_EQ(p.req.getClientError(), KHTTP_CE_PARSE);
            EXPECT_EQ(p.req.getClientErrorExt(), "line=727");
            EXPECT_EQ(p.handler->body(), "");
            EXPECT_EQ(p.handler->count("headers"), 0);
            EXPECT_EQ(p.handler->count("error"), 1);
        }
        EXPECT_EQ(p.handler->endings(), 1);
    }
}

// A chunk's data must be followed by CR LF where its size line says it ends, whichever receive
// those two bytes arrive in; anything else ends the answer with client error 5 before the
// chunk's last bytes reach the handler. The handler hears of each chunk that ended well.
TEST_F(HttpRequestTest, ChunkDataEndsWithCrLfWhereItsSizeSays) {
    struct Case {
        const char* name;
        std::string first, later;  // the answer's chunked body, in two writes
        bool delivered;
        std::string body;                // what reached the handler
        std::vector<size_t> chunkEnds;  // the body length at each chunk end heard
    };
    const std::vector<Case> cases = {
        {"whole", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "", true, "abcde", {3, 5, 5}},
        {"split between CR and LF", "3\r\nabc\r", "\n2\r\nde\r\n0\r\n\r\n", true, "abcde", {3, 5, 5}},
        {"split after the data", "3\r\nabc", "\r\n0\r\n\r\n", true, "abc", {3, 3}},
        {"other bytes after the data", "3\r\nabcXY0\r\n\r\n", "", false, "", {}},
        {"stray CR LF after the size line", "3\r\n\r\nabc\r\n0\r\n\r\n", "", false, "", {}},
        {"other bytes in the next write", "3\r\nabc", "XY0\r\n\r\n", false, "abc", {}},
        {"CR then another byte in the next write", "3\r\nabc\r", "X0\r\n\r\n", false, "abc", {}},
        {"second chunk larger than its data", "3\r\nabc\r\n3\r\nde\r\n0\r\n\r\n", "", false, "abc", {3}},
    };
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    server.addResource("/r", 10);
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& tc = cases[i];
        SCOPED_TRACE(tc.name);
        std::vector<Step> steps = {[&](Plan& p, const RequestRecord&) { p.rawStatusLine = head + tc.first; }};
        if (!tc.later.empty()) steps.push_back(Surplus(tc.later, 50));
        server.script("/r", (int)i, steps);
        Probe p;
        ASSERT_TRUE(p.get(server.url("/r")));
        if (tc.delivered) {
            EXPECT_EQ(p.req.getClientError(), KHTTP_CE_OK) << p.req.getClientErrorExt();
            EXPECT_EQ(p.handler->count("end"), 1);
        } else {
            EXPECT_EQ(p.req.getClientError(), KHTTP_CE_PARSE);
            EXPECT_EQ(p.req.getClientErrorExt(), "line=727");
            EXPECT_EQ(p.handler->count("error"), 1);
        }
        EXPECT_EQ(p.handler->body(), tc.body);
        EXPECT_EQ(p.handler->chunkEnds(), tc.chunkEnds);
    }
}

// ---------------------------------------------------------------------------------------------
// Failures

TEST_F(HttpRequestTest, FailuresEndWithTheirClientErrorAndTrace) {
    uint16_t closedPort;
    {
        LoopbackHttpServer gone;
        closedPort = gone.port();
    }
    HostResolver::instance().setLookupForTest([](const std::string&, uint32_t&) { return false; });
    server.addResource("/r", 1000);
    server.script("/fin", 0, {DropAfter(500)});
    server.script("/rst", 0, {ResetAfter(500)});
    server.script("/garbage", 0, {GarbageStatusLine()});
    server.script("/silent", LoopbackHttpServer::kAnyIndex, {Silent()});
    server.addResource("/fin", 1000);
    server.addResource("/rst", 1000);
    server.addResource("/silent", 1000);

    struct Case {
        const char* name;
        std::string url;
        int32_t error;
        const char* trace;
        std::function<void(KHttpRequest&)> before = nullptr;
        bool cancelWhenStalled = false;
    };
    const std::vector<Case> cases = {
        {"closed port", "http://127.0.0.1:" + std::to_string(closedPort) + "/", KHTTP_CE_CONNECT, "code=10061;line=611"},
        {"resolver failure", "http://no.such.host.test:" + std::to_string(server.port()) + "/r", KHTTP_CE_NAME, "line=576"},
        {"fin mid-body", server.url("/fin"), KHTTP_CE_RECEIVE, "code=0;line=765"},
        // The reset fails the receive that is waiting (717) or, when it came first, the next
        // receive at its start (747).
        {"rst mid-body", server.url("/rst"), KHTTP_CE_RECEIVE, "code=10054;line=717|code=10054;line=747"},
        {"garbage status line", server.url("/garbage"), KHTTP_CE_PARSE, "line=727"},
        {"inactivity", server.url("/silent"), KHTTP_CE_TIMEOUT, "line=845", [](KHttpRequest& r) { r.setTimeout(1); }},
        {"cancel while stalled", server.url("/silent"), KHTTP_CE_CANCELLED, "line=554", nullptr, true},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Probe p;
        if (tc.before) tc.before(p.req);
        int requests = server.requestCount();
        ASSERT_TRUE(p.req.open(KHTTP_METHOD_GET, tc.url.c_str()));
        ASSERT_TRUE(p.req.send());
        if (tc.cancelWhenStalled) {
            ASSERT_TRUE(server.waitForRequests(requests + 1, kWaitMs));
            EXPECT_FALSE(p.req.open(KHTTP_METHOD_GET, tc.url.c_str()));  // not while running
            EXPECT_TRUE(p.req.cancel());
        }
        ASSERT_TRUE(p.req.waitDone(kWaitMs));
        EXPECT_EQ(p.req.getClientError(), tc.error);
        EXPECT_TRUE(OneOf(p.req.getClientErrorExt(), tc.trace)) << p.req.getClientErrorExt();
        EXPECT_EQ(p.handler->count("error"), 1);
        EXPECT_EQ(p.handler->count("end"), 0);
        EXPECT_EQ(p.req.getState(), KHTTP_STATE_FINISHED);
        EXPECT_TRUE(WaitUntil([&] { return p.req.tasksInFlight() == 0; }));
    }
    HostResolver::instance().setLookupForTest(nullptr);

    // A stopped resolver refuses the request at once.
    HostResolver::instance().stop();
    Probe p;
    ASSERT_TRUE(p.get("http://no.such.host.test/"));
    EXPECT_EQ(p.req.getClientError(), KHTTP_CE_NAME);
    EXPECT_EQ(p.req.getClientErrorExt(), "line=511");
}

TEST_F(HttpRequestTest, HostNamesAreResolvedOffTheLoopThread) {
    server.addContent("/a", "abc");
    uint32_t loopThread = EventLoop::instance().threadId();
    std::atomic<uint32_t> lookupThread{0};
    HostResolver::instance().setLookupForTest([&](const std::string& host, uint32_t& address) {
        lookupThread = QN_GetCurrentThreadId();
        return host == "files.test" && QN_ParseIPv4("127.0.0.1", &address);
    });
    Probe p;
    ASSERT_TRUE(p.get("http://files.test:" + std::to_string(server.port()) + "/a"));
    HostResolver::instance().setLookupForTest(nullptr);
    EXPECT_EQ(p.req.getClientError(), KHTTP_CE_OK) << p.req.getClientErrorExt();
    EXPECT_EQ(p.handler->body(), "abc");
    EXPECT_NE(lookupThread.load(), loopThread);
    EXPECT_EQ(server.requests()[0].header("Host"), "files.test:" + std::to_string(server.port()));
    auto events = p.status->events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], "connect-new:files.test");
    EXPECT_EQ(events[1], "address:127.0.0.1");

    // A server address override connects there without a lookup.
    HostResolver::instance().setLookupForTest([](const std::string&, uint32_t&) { return false; });
    Probe o;
    std::string url = "http://other.test:" + std::to_string(server.port()) + "/a";
    ASSERT_TRUE(o.req.open(KHTTP_METHOD_GET, url.c_str()));
    uint32_t loopback = 0;
    ASSERT_TRUE(QN_ParseIPv4("127.0.0.1", &loopback));
    ASSERT_TRUE(o.req.setServerAddress(loopback));
    ASSERT_TRUE(o.req.send());
    ASSERT_TRUE(o.req.waitDone(kWaitMs));
    HostResolver::instance().setLookupForTest(nullptr);
    EXPECT_EQ(o.req.getClientError(), KHTTP_CE_OK) << o.req.getClientErrorExt();
    EXPECT_EQ(o.handler->body(), "abc");
}

// ---------------------------------------------------------------------------------------------
// Keep-alive

TEST_F(HttpRequestTest, KeptAliveConnectionIsReusedForTheSameHostAndPort) {
    server.addContent("/a", "abc");
    Probe p;
    ASSERT_TRUE(p.get(server.url("/a")));
    auto first = p.status->events();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0], "connect-new:127.0.0.1");
    EXPECT_EQ(first[1], "address:127.0.0.1");
    EXPECT_EQ(first[2], "disconnect");
    p.status->clear();
    ASSERT_TRUE(p.get(server.url("/a")));
    EXPECT_EQ(p.req.getClientError(), KHTTP_CE_OK);
    EXPECT_EQ(server.acceptedCount(), 1);
    auto events = p.status->events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], "connect-reused:127.0.0.1");
    EXPECT_EQ(events[1], "address:127.0.0.1");
    // Another host text for the same server is another cache entry.
    ASSERT_TRUE(p.get("http://localhost:" + std::to_string(server.port()) + "/a"));
    EXPECT_EQ(server.acceptedCount(), 2);
}

TEST_F(HttpRequestTest, WhatIsParkedAndWhatIsRetried) {
    struct Case {
        const char* name;
        std::function<void(LoopbackHttpServer&)> setup;
        // What must have happened between the two requests (a bounded wait); none when empty.
        std::function<bool(LoopbackHttpServer&)> between;
        int accepted;          // connections after both requests
        int32_t secondError;   // client error of the second request
        const char* secondTrace;
    };
    const auto serverClosed = [](LoopbackHttpServer& s) { return s.waitForClosedConnections(1, kWaitMs); };
    const auto surplusSent = [](LoopbackHttpServer& s) {
        return WaitUntil([&] {
            auto conns = s.connections();
            return !conns.empty() && conns[0].lateSurplusWrites > 0;
        });
    };
    const std::vector<Case> cases = {
        {"idle close by fin", [](LoopbackHttpServer& s) { s.setIdleClose(50, CloseKind::Fin); }, serverClosed, 2, KHTTP_CE_OK, ""},
        {"idle close by rst", [](LoopbackHttpServer& s) { s.setIdleClose(50, CloseKind::Rst); }, serverClosed, 2, KHTTP_CE_OK, ""},
        {"closed after the request arrives",
         [](LoopbackHttpServer& s) { s.script("/a", 1, {CloseWithoutResponse(CloseKind::Fin)}); }, nullptr, 2, KHTTP_CE_OK, ""},
        {"reset after the request arrives",
         [](LoopbackHttpServer& s) { s.script("/a", 1, {CloseWithoutResponse(CloseKind::Rst)}); }, nullptr, 2, KHTTP_CE_OK, ""},
        {"surplus bytes after the answer", [](LoopbackHttpServer& s) { s.script("/a", 0, {Surplus("HTTP/1.1 206 X\r\n\r\n")}); }, nullptr, 2, KHTTP_CE_OK, ""},
        {"surplus bytes in a later segment",
         [](LoopbackHttpServer& s) { s.script("/a", 0, {Surplus("HTTP/1.1 206 X\r\n\r\n", 100)}); }, surplusSent, 2, KHTTP_CE_OK, ""},
        {"connection close", [](LoopbackHttpServer& s) { s.script("/a", 0, {ConnectionClose()}); }, nullptr, 2, KHTTP_CE_OK, ""},
        {"read until close", [](LoopbackHttpServer& s) { s.script("/a", 0, {UntilClose()}); }, nullptr, 2, KHTTP_CE_OK, ""},
        {"interim answer", [](LoopbackHttpServer& s) { s.script("/a", 0, {Continue100()}); }, nullptr, 2, KHTTP_CE_OK, ""},
        {"reset twice: one retry only",
         [](LoopbackHttpServer& s) {
             s.script("/a", 1, {CloseWithoutResponse(CloseKind::Rst)});
             s.script("/a", 2, {CloseWithoutResponse(CloseKind::Rst)});
         },
         nullptr, 2, KHTTP_CE_RECEIVE, "code=10054;line=717|code=10054;line=702"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        LoopbackHttpServer s;
        s.addContent("/a", "abc");
        tc.setup(s);
        Probe p;
        ASSERT_TRUE(p.get(s.url("/a")));
        EXPECT_EQ(p.req.getClientError(), KHTTP_CE_OK) << p.req.getClientErrorExt();
        EXPECT_EQ(p.handler->body(), "abc");
        if (tc.between) {
            ASSERT_TRUE(tc.between(s));
        }
        Probe second;
        ASSERT_TRUE(second.get(s.url("/a")));
        EXPECT_EQ(second.req.getClientError(), tc.secondError) << second.req.getClientErrorExt();
        EXPECT_TRUE(OneOf(second.req.getClientErrorExt(), tc.secondTrace)) << second.req.getClientErrorExt();
        if (tc.secondError == KHTTP_CE_OK) {
            EXPECT_EQ(second.handler->body(), "abc");
            EXPECT_EQ(second.handler->count("error"), 0);
            EXPECT_EQ(second.handler->events().front(), "status:200");
        }
        EXPECT_EQ(s.acceptedCount(), tc.accepted);
    }
}

TEST_F(HttpRequestTest, FirstByteOfANewConnectionGoesOutAloneThenThePause) {
    server.addContent("/a", "abc");
    Probe p;
    ASSERT_TRUE(p.get(server.url("/a")));
    ASSERT_TRUE(p.get(server.url("/a")));
    ASSERT_EQ(server.acceptedCount(), 1);
    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2u);
    // What the client sent, send by send (the server's reads would depend on when its thread
    // runs): the first byte alone, the rest of the first request, the reused connection's
    // request in one piece.
    auto sends = p.status->sends();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(sends[0].second, 1u);
    EXPECT_EQ(sends[1].second, reqs[0].raw.size() - 1);
    EXPECT_EQ(sends[2].second, reqs[1].raw.size());
    // The pause timer counts from the loop's pass time, which can be before the first send's
    // completion was reported: only the pause's presence is asserted.
    EXPECT_GE(sends[1].first - sends[0].first, Ms(40));
}

// ---------------------------------------------------------------------------------------------
// Limiter

TEST_F(HttpRequestTest, LimiterPacesTheReceiveRate) {
    const uint32_t kSize = 256 * 1024;
    server.addResource("/big", kSize);
    SpeedLimiter* limiter = SpeedLimiterModule::instance().create();
    ASSERT_NE(limiter, nullptr);
    ASSERT_TRUE(limiter->setRate(256 * 1024));
    limiter->setCapacity(0x20000);
    {
        Probe p(Slot::None, 4096, limiter);
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(p.get(server.url("/big")));
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(p.req.getClientError(), KHTTP_CE_OK);
        EXPECT_EQ(p.handler->body().size(), kSize);
        // 256 KiB at 256 KiB/s with a bucket of 128 KiB: about half a second at least. (The
        // request ending within the probe's bound shows the pace does not stall.)
        EXPECT_GE(took, Ms(400));
    }
    // At or above the bypass rate the limiter is not consulted: no tokens are drawn.
    ASSERT_TRUE(limiter->setRate(KHttpRequest::kLimiterBypassRate));
    {
        // With no room for a token, a request that drew on the limiter would never end.
        Probe p(Slot::None, 4096, limiter);
        limiter->setCapacity(0);
        ASSERT_TRUE(p.get(server.url("/big")));
        EXPECT_EQ(p.handler->body().size(), kSize);
    }
    EXPECT_TRUE(SpeedLimiterModule::instance().destroy(limiter));
}

// ---------------------------------------------------------------------------------------------
// Volume

class CheckingHandler : public KHttpResponseHandlerBase {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    int32_t onBody(const uint8_t* data, uint32_t len) override {
        if (mismatch < 0) mismatch = FirstResourceMismatch(received % period, data, len);
        received += len;
        return 0;
    }
    std::atomic<uint32_t> refs{0};
    uint64_t period = ~0ull;  // the size of each response
    uint64_t received = 0;
    int64_t mismatch = -1;
};

TEST_F(HttpRequestTest, LargeBodyAndManyRequestsOverOneConnection) {
    const uint64_t kBig = 64ull << 20;
    server.addResource("/big", kBig);
    server.addResource("/small", 100);
    CheckingHandler big;
    {
        KHttpRequest req;
        ASSERT_TRUE(req.init(1024, nullptr, &big, nullptr));
        ASSERT_TRUE(req.open(KHTTP_METHOD_GET, server.url("/big").c_str()));
        ASSERT_TRUE(req.send());
        ASSERT_TRUE(req.waitDone(60000));
        EXPECT_EQ(req.getClientError(), KHTTP_CE_OK);
    }
    EXPECT_EQ(big.received, kBig);
    EXPECT_EQ(big.mismatch, -1);

    CheckingHandler small;
    small.period = 100;
    KHttpRequest req;
    ASSERT_TRUE(req.init(1024, nullptr, &small, nullptr));
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(req.open(KHTTP_METHOD_GET, server.url("/small").c_str()));
        ASSERT_TRUE(req.send());
        ASSERT_TRUE(req.waitDone(kWaitMs));
        ASSERT_EQ(req.getClientError(), KHTTP_CE_OK) << i << " " << req.getClientErrorExt();
    }
    EXPECT_EQ(small.received, 100000u);
    EXPECT_EQ(small.mismatch, -1);
    EXPECT_EQ(server.acceptedCount(), 1);
}

// ---------------------------------------------------------------------------------------------
// Lifetime

TEST_F(HttpRequestTest, DestroyingARunningRequestCancelsAndWaitsForIt) {
    server.script("/silent", 0, {Silent()});
    server.addResource("/silent", 10);
    auto* handler = new RecordingHandler;
    handler->AddRef();
    {
        KHttpRequest req;
        ASSERT_TRUE(req.init(1024, nullptr, handler, nullptr));
        ASSERT_TRUE(req.open(KHTTP_METHOD_GET, server.url("/silent").c_str()));
        ASSERT_TRUE(req.send());
        ASSERT_TRUE(server.waitForRequests(1, kWaitMs));
    }
    EXPECT_EQ(handler->count("error"), 1);
    EXPECT_TRUE(server.waitForClosedConnections(1, kWaitMs));
    EXPECT_TRUE(server.connections()[0].closedByPeer);
    handler->Release();
}

TEST_F(HttpRequestTest, RequestSentToAStoppedLoopEndsAsCancelled) {
    server.addContent("/a", "abc");
    StopCore();
    Probe p;
    ASSERT_TRUE(p.req.open(KHTTP_METHOD_GET, server.url("/a").c_str()));
    ASSERT_TRUE(p.req.send());
    ASSERT_TRUE(p.req.waitDone(kWaitMs));
    EXPECT_EQ(p.req.getClientError(), KHTTP_CE_CANCELLED);
    EXPECT_EQ(p.req.getClientErrorExt(), "line=554");
    EXPECT_EQ(p.handler->count("error"), 1);
    EXPECT_EQ(p.req.tasksInFlight(), 0);
    StartCore();
}

}  // namespace

namespace {

TEST_F(HttpRequestTest, RequestStillRunningWhenTheLoopStopsEndsAsCancelledAtTheStop) {
    server.script("/silent", 0, {Silent()});
    server.addResource("/silent", 10);
    struct Case {
        const char* name;
        // Sends the request so that it is still running when the loop thread ends.
        std::function<void(KHttpRequest&)> sendAndEndLoop;
    };
    const Case cases[] = {
        {"waiting for the answer",
         [&](KHttpRequest& req) {
             ASSERT_TRUE(req.send());
             ASSERT_TRUE(server.waitForRequests(1, kWaitMs));
         }},
        {"start task run in the drain that holds the stop request",
         [](KHttpRequest& req) {
             Event posted(true);
             bool sent = false;
             EventLoop::instance().post([&](LoopCore* core, bool run) {
                 if (run && core) {
                     breakLoopTask().Run(core, true);
                     sent = req.send();
                 }
                 posted.set();
             });
             ASSERT_TRUE(posted.wait(kWaitMs));
             ASSERT_TRUE(sent);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* handler = new RecordingHandler;
        handler->AddRef();
        {
            KHttpRequest req;
            ASSERT_TRUE(req.init(1024, nullptr, handler, nullptr));
            ASSERT_TRUE(req.open(KHTTP_METHOD_GET, server.url("/silent").c_str()));
            c.sendAndEndLoop(req);
            // A synchronous caller waits on the done event: the stop must set it.
            std::thread stopper([] { StopCore(); });
            EXPECT_TRUE(req.waitDone(kWaitMs));
            stopper.join();
            EXPECT_FALSE(req.isRunning());
            EXPECT_EQ(req.getClientError(), KHTTP_CE_CANCELLED);
            EXPECT_EQ(req.getClientErrorExt(), "line=554");
            EXPECT_EQ(req.tasksInFlight(), 0);
        }
        EXPECT_EQ(handler->count("error"), 1);
        handler->Release();
        StartCore();
    }
    EXPECT_TRUE(server.waitForClosedConnections(1, kWaitMs));
}

}  // namespace
