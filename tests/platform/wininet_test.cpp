#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "loopback_http_server.h"
#include "qn_platform.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"
#include "qn_wininet.h"

namespace {

using qn::test::CloseKind;
using qn::test::LoopbackHttpServer;
namespace http_step = qn::test::http_step;

const char* const kAccept[] = {"*/*", nullptr};

// One session, connection and request, closed in reverse order.
struct Request {
    HINTERNET hSession = nullptr, hConnection = nullptr, hRequest = nullptr;
    Request(const char* cszHost, uint16_t uPort, const char* cszTarget, uint32_t uReceiveMs = 0,
            uint32_t uConnectMs = 0) {
        hSession = QN_InternetOpenA("agent/1", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (uReceiveMs) QN_InternetSetOptionA(hSession, INTERNET_OPTION_RECEIVE_TIMEOUT, &uReceiveMs, 4);
        if (uConnectMs) QN_InternetSetOptionA(hSession, INTERNET_OPTION_CONNECT_TIMEOUT, &uConnectMs, 4);
        hConnection = QN_InternetConnectA(hSession, cszHost, uPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
        hRequest = QN_HttpOpenRequestA(hConnection, "POST", cszTarget, "HTTP/1.0", nullptr, kAccept, 0, 0);
    }
    ~Request() {
        if (hRequest) QN_InternetCloseHandle(hRequest);
        if (hConnection) QN_InternetCloseHandle(hConnection);
        if (hSession) QN_InternetCloseHandle(hSession);
    }
    // Sends and, on success, queries the status; the last error is taken right after sending.
    struct Outcome {
        int nSent = 0;
        uint32_t uError = 0;
        uint32_t uStatus = 0;
    };
    Outcome Send(const std::string& strHeaders, const std::string& strBody) {
        Outcome o;
        o.nSent = QN_HttpSendRequestA(hRequest, strHeaders.c_str(), (uint32_t)strHeaders.size(), strBody.data(),
                                      (uint32_t)strBody.size());
        o.uError = QN_GetLastError();
        if (o.nSent) {
            uint32_t uSize = 4;
            EXPECT_EQ(QN_HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &o.uStatus, &uSize,
                                        nullptr),
                      1);
        }
        return o;
    }
};


TEST(InternetRequest, BytesOnTheWire) {
    struct Row {
        const char* cszName;
        std::string strHeaders;
        std::string strBody;
        std::string strExpectedTail;  // what follows the layer's three headers
    } rows[] = {
        {"caller's headers as given, body after the empty line", "Content-Type: a/b\r\nContent-Length: 3\r\n", "xyz",
         "Content-Type: a/b\r\nContent-Length: 3\r\n\r\nxyz"},
        {"a final line end is added", "X-One: 1", "", "X-One: 1\r\n\r\n"},
        {"no headers, no body: no length of the layer's own", "", "", "\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        LoopbackHttpServer server;
        server.addContent("/p", "ok");
        Request req("127.0.0.1", server.port(), "/p?q=1");
        Request::Outcome o = req.Send(r.strHeaders, r.strBody);
        ASSERT_EQ(o.nSent, 1);
        EXPECT_EQ(o.uStatus, 200u);
        ASSERT_TRUE(server.waitForRequests(1, 10000));
        std::string strExpected = "POST /p?q=1 HTTP/1.0\r\nAccept: */*\r\nUser-Agent: agent/1\r\nHost: 127.0.0.1:" +
                                  std::to_string(server.port()) + "\r\n" + r.strExpectedTail;
        EXPECT_EQ(server.requests().at(0).raw, strExpected);
    }
}

TEST(InternetRequest, Answers) {
    struct Row {
        const char* cszName;
        std::vector<qn::test::Step> steps;
        int nSent;
        uint32_t uStatus;
        uint32_t uError;
    } rows[] = {
        {"200", {}, 1, 200, 0},
        {"404 is an answer", {http_step::Status(404)}, 1, 404, 0},
        {"a redirect is not followed", {http_step::Redirect(302, "/elsewhere")}, 1, 302, 0},
        {"an interim 100 is passed over", {http_step::Continue100()}, 1, 200, 0},
        {"garbage status line", {http_step::GarbageStatusLine()}, 0, 0, ERROR_HTTP_INVALID_SERVER_RESPONSE},
        {"closed without an answer", {http_step::CloseWithoutResponse(CloseKind::Fin)}, 0, 0,
         ERROR_HTTP_INVALID_SERVER_RESPONSE},
        {"a head over 16 KiB", {http_step::Header("X-Big", std::string(17000, 'a'))}, 0, 0,
         ERROR_HTTP_INVALID_SERVER_RESPONSE},
        {"silent server: the receive time-out ends the wait", {http_step::Silent()}, 0, 0, ERROR_INTERNET_TIMEOUT},
    };
    for (Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        LoopbackHttpServer server;
        server.addContent("/p", "ok");
        server.script("/p", LoopbackHttpServer::kAnyIndex, r.steps);
        Request req("127.0.0.1", server.port(), "/p", 300);
        auto pending = std::async(std::launch::async, [&] { return req.Send("", "body"); });
        bool bEnded = pending.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        if (!bEnded) server.stop();  // lets the request end so that the test can report
        ASSERT_TRUE(bEnded);
        Request::Outcome o = pending.get();
        EXPECT_EQ(o.nSent, r.nSent);
        EXPECT_EQ(o.uStatus, r.uStatus);
        if (!r.nSent) {
            EXPECT_EQ(o.uError, r.uError);
        }
    }
}

TEST(InternetRequest, RefusedConnection) {
    Request req("127.0.0.1", qn::test::ClosedLoopbackPort(), "/p");
    Request::Outcome o = req.Send("", "");
    EXPECT_EQ(o.nSent, 0);
    EXPECT_EQ(o.uError, (uint32_t)ERROR_INTERNET_CANNOT_CONNECT);
    uint32_t uStatus = 0, uSize = 4;
    EXPECT_EQ(QN_HttpQueryInfoA(req.hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &uStatus, &uSize, nullptr),
              0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INTERNET_INCORRECT_HANDLE_STATE);
}

// A listener whose accept queue is full drops further connection attempts, so a connect to it
// waits until the connect time-out, which the layer's default bounds.
TEST(InternetRequest, ConnectTimeOutAgainstAFullListener) {
    int nListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    ASSERT_EQ(::bind(nListen, (sockaddr*)&a, sizeof(a)), 0);
    ASSERT_EQ(::listen(nListen, 0), 0);
    ASSERT_EQ(::getsockname(nListen, (sockaddr*)&a, &len), 0);
    // Fill the queue: connect until an attempt stays unanswered.
    std::vector<int> fillers;
    bool bFull = false;
    for (int i = 0; i < 16 && !bFull; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        fillers.push_back(fd);
        if (::connect(fd, (sockaddr*)&a, sizeof(a)) == 0) continue;
        pollfd p{fd, POLLOUT, 0};
        bFull = ::poll(&p, 1, 500) == 0;
    }
    ASSERT_TRUE(bFull) << "the listener kept accepting connections";

    qn::testing::SetInternetDefaultTimeouts(300, 0);
    Request req("127.0.0.1", ntohs(a.sin_port), "/p");
    auto pending = std::async(std::launch::async, [&] { return req.Send("", ""); });
    bool bEnded = pending.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!bEnded) ::shutdown(nListen, SHUT_RDWR);
    ASSERT_TRUE(bEnded);
    Request::Outcome o = pending.get();
    qn::testing::SetInternetDefaultTimeouts(0, 0);
    EXPECT_EQ(o.nSent, 0);
    EXPECT_EQ(o.uError, (uint32_t)ERROR_INTERNET_TIMEOUT);
    for (int fd : fillers) ::close(fd);
    ::close(nListen);
}

// Texts that would end up in the request's head are refused when they could break it.
TEST(InternetRequest, UnsafeTextsRefused) {
    HINTERNET hSession = QN_InternetOpenA("agent", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    ASSERT_TRUE(hSession);
    EXPECT_EQ(QN_InternetOpenA("agent\r\nX: 1", 0, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INVALID_PARAMETER);
    for (const char* cszHost : {"", "a b", "host\r\nX: 1"}) {
        SCOPED_TRACE(cszHost);
        EXPECT_EQ(QN_InternetConnectA(hSession, cszHost, 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0), nullptr);
        EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INVALID_PARAMETER);
    }
    HINTERNET hConnection = QN_InternetConnectA(hSession, "127.0.0.1", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    ASSERT_TRUE(hConnection);
    for (const char* cszTarget : {"", "relative", "/a b", "/a\r\nX: 1", "/a\tb"}) {
        SCOPED_TRACE(cszTarget);
        EXPECT_EQ(QN_HttpOpenRequestA(hConnection, "POST", cszTarget, "HTTP/1.0", nullptr, kAccept, 0, 0), nullptr);
        EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INVALID_PARAMETER);
    }
    const char* const apcszBadAccept[] = {"*/*\r\nX: 1", nullptr};
    EXPECT_EQ(QN_HttpOpenRequestA(hConnection, "POST", "/a", "HTTP/1.0", nullptr, apcszBadAccept, 0, 0), nullptr);
    uint32_t uValue = 1;
    EXPECT_EQ(QN_InternetSetOptionA(hSession, INTERNET_OPTION_SEND_TIMEOUT, &uValue, 2), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INTERNET_BAD_OPTION_LENGTH);
    EXPECT_EQ(QN_InternetSetOptionA(hConnection, INTERNET_OPTION_SEND_TIMEOUT, &uValue, 4), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    QN_InternetCloseHandle(hConnection);
    QN_InternetCloseHandle(hSession);
}

}  // namespace
