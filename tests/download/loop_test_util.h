// Small helpers for tests that drive the event loop and loopback sockets.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "event.h"
#include "event_loop.h"
#include "qn_test_env.h"

namespace qn::looptest {

// Runs fn on the loop thread and waits (bounded) until it has returned. False on time-out or
// when the loop ran the task with run = false.
inline bool RunOnLoop(EventLoop& loop, std::function<void(LoopCore*)> fn, uint32_t timeoutMs = 5000) {
    auto done = std::make_shared<Event>(true);
    auto ran = std::make_shared<bool>(false);
    loop.post([fn, done, ran](LoopCore* core, bool run) {
        if (run) {
            fn(core);
            *ran = true;
        }
        done->set();
    });
    return done->wait(timeoutMs) && *ran;
}

// Waits until pred() holds, polling every millisecond, for at most timeoutMs.
inline bool WaitFor(const std::function<bool()>& pred, uint32_t timeoutMs = qn::test::kWaitUntilMs) {
    return qn::test::WaitUntil(pred, timeoutMs);
}

// A listening socket on 127.0.0.1 with an ephemeral port, and blocking helpers for the peer
// side of a connection. Every wait is bounded.
class TcpListener {
public:
    TcpListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = 0;
        int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        EXPECT_EQ(::bind(m_fd, (sockaddr*)&sa, sizeof(sa)), 0);
        EXPECT_EQ(::listen(m_fd, 128), 0);
        socklen_t len = sizeof(sa);
        getsockname(m_fd, (sockaddr*)&sa, &len);
        m_portNet = sa.sin_port;
    }
    ~TcpListener() {
        if (m_fd >= 0) ::close(m_fd);
    }
    uint16_t portNet() const { return m_portNet; }
    uint16_t port() const { return ntohs(m_portNet); }
    static uint32_t loopbackNet() { return htonl(INADDR_LOOPBACK); }

    // Accepts one connection within timeoutMs; -1 when none came.
    int accept(int timeoutMs = 5000) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) return -1;
        return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int m_fd = -1;
    uint16_t m_portNet = 0;
};

// Reads exactly n bytes (or until EOF/error/time-out); returns what was read.
inline std::string ReadN(int fd, size_t n, int timeoutMs = 5000) {
    std::string out;
    char buf[65536];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) != 1) break;
        ssize_t r = ::recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (r <= 0) break;
        out.append(buf, (size_t)r);
    }
    return out;
}

// True when the peer has closed (EOF or reset) within timeoutMs.
inline bool SeesEof(int fd, int timeoutMs = 5000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    char c;
    return ::recv(fd, &c, 1, 0) <= 0;
}

// Closes fd with a reset instead of a FIN.
inline void ResetClose(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ::close(fd);
}

}  // namespace qn::looptest
