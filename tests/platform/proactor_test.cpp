#include "qn_proactor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

#include "qn_socket.h"
#include "qn_test_env.h"

TEST(WinsockError, FromErrnoTable) {
    struct Row {
        int nErrno;
        int32_t nExpected;
    } rows[] = {
        {0, 0},
        {EINTR, 10004},         {ECANCELED, 10004},   {EACCES, 10013},      {EPERM, 10013},
        {EFAULT, 10014},        {EINVAL, 10022},      {EMFILE, 10024},      {ENFILE, 10024},
        {EAGAIN, 10035},        {EINPROGRESS, 10036}, {EALREADY, 10037},    {ENOTSOCK, 10038},
        {EBADF, 10038},         {EMSGSIZE, 10040},    {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},    {ENETUNREACH, 10051}, {ENETRESET, 10052},
        {ECONNABORTED, 10053},  {ECONNRESET, 10054},  {EPIPE, 10054},       {ENOBUFS, 10055},
        {ENOMEM, 10055},        {EISCONN, 10056},     {ENOTCONN, 10057},    {ESHUTDOWN, 10058},
        {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {EHOSTDOWN, 10064},  {EHOSTUNREACH, 10065},
        {ENOENT, 10022},        {EXDEV, 10022},  // not in the table: the fallback
    };
    for (const Row& r : rows) EXPECT_EQ(QN_WinsockErrorFromErrno(r.nErrno), r.nExpected) << "errno " << r.nErrno;
}

TEST(Ipv4Text, ParseAndFormat) {
    struct Row {
        const char* text;
        bool ok;
    } rows[] = {
        {"127.0.0.1", true}, {"10.1.2.3", true}, {"localhost", false}, {"::1", false},
        {"1.2.3.4 ", false}, {"1.2.3", false},   {"", false},          {"256.1.1.1", false},
    };
    for (const Row& r : rows) {
        uint32_t a = 0;
        EXPECT_EQ(QN_ParseIPv4(r.text, &a), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(QN_FormatIPv4(a), r.text);
        }
    }
    EXPECT_FALSE(QN_ParseIPv4(nullptr, nullptr));
    uint32_t a = 0;
    ASSERT_TRUE(QN_ParseIPv4("127.0.0.1", &a));
    EXPECT_EQ(a, QN_HostToNet32(0x7F000001u));
}

TEST(HostLookup, LocalhostResolvesThroughTheHostsFile) {
    uint32_t a = 0;
    ASSERT_TRUE(QN_LookupHostIPv4("localhost", &a));
    EXPECT_EQ(QN_FormatIPv4(a), "127.0.0.1");
    EXPECT_FALSE(QN_LookupHostIPv4("", &a));
}

namespace {
// Dequeues until at least one entry comes or the time is up.
int DequeueWithin(QN_Port& port, QN_PortEntry* out, int ms) {
    int err = 0, n = 0;
    // Each look blocks in the port for up to 10 ms, so the wait needs no pause of its own.
    qn::test::WaitUntil(
        [&] {
            n = port.dequeue(out, QN_Port::kMaxEntries, 10, &err);
            return n != 0;
        },
        (uint32_t)ms, 0);
    return n;
}

// Waits until the socket has something to read: bytes, an end of stream or a reset (nothing
// is consumed). The bound is generous: only an event that never comes runs into it.
bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 20000) == 1;
}
}  // namespace

TEST(Port, PostedEntriesComeOutInPostingOrder) {
    QN_Port port;
    ASSERT_TRUE(port.open());
    QN_PortOp ops[5];
    for (int i = 0; i < 5; ++i) port.post((void*)(uintptr_t)(i + 1), &ops[i], (uint32_t)i);
    port.post((void*)(uintptr_t)0xFFFFFFFFu, nullptr, 0);
    QN_PortEntry out[QN_Port::kMaxEntries];
    int err = 0;
    ASSERT_EQ(port.dequeue(out, 3, 0, &err), 3);  // a batch limit leaves the rest queued
    ASSERT_EQ(port.dequeue(out + 3, QN_Port::kMaxEntries, 0, &err), 3);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(out[i].pvKey, (void*)(uintptr_t)(i + 1));
        EXPECT_EQ(out[i].pOp, &ops[i]);
        EXPECT_EQ(out[i].uBytes, (uint32_t)i);
    }
    EXPECT_EQ(out[5].pOp, nullptr);
    EXPECT_EQ(port.dequeue(out, QN_Port::kMaxEntries, 0, &err), 0);  // nothing: a time-out
    EXPECT_EQ(port.postCount(), 6u);
}

namespace {
// A listener on 127.0.0.1; its address goes to *pAddr.
int Listen(sockaddr_in* pAddr) {
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(lfd, (sockaddr*)&sa, sizeof(sa)), 0);
    EXPECT_EQ(::listen(lfd, 4), 0);
    socklen_t len = sizeof(sa);
    getsockname(lfd, (sockaddr*)&sa, &len);
    *pAddr = sa;
    return lfd;
}
}  // namespace

TEST(Port, SendsToAResetPeerFailWithoutRaisingSigpipe) {
    sockaddr_in sa{};
    int lfd = Listen(&sa);
    QN_Port port;
    ASSERT_TRUE(port.open());
    QN_PortOp recvOp, sendOp;
    QN_PortSocket s;
    s.pRecvOp = &recvOp;
    s.pSendOp = &sendOp;
    ASSERT_EQ(port.connect(&s, sa.sin_addr.s_addr, sa.sin_port), 0);
    QN_PortEntry out[QN_Port::kMaxEntries];
    ASSERT_EQ(DequeueWithin(port, out, 2000), 1);
    pollfd p{lfd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    int peer = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    linger l{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ::close(peer);
    ASSERT_TRUE(WaitReadable(s.fd)) << "the reset never arrived";
    // The first send after the reset reports it; the later ones would raise SIGPIPE without
    // MSG_NOSIGNAL and end this process.
    for (int i = 0; i < 3; ++i) {
        int32_t r = port.send(&s, "data", 4);
        EXPECT_EQ(r, 10054) << "send " << i;
    }
    port.closeSocket(&s);
    ::close(lfd);
}

TEST(Port, EagerReceiveCompletesOnALaterDequeueAndCloseCancelsAWaitingOne) {
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(lfd, (sockaddr*)&sa, sizeof(sa)), 0);
    ASSERT_EQ(::listen(lfd, 4), 0);
    socklen_t len = sizeof(sa);
    getsockname(lfd, (sockaddr*)&sa, &len);

    QN_Port port;
    ASSERT_TRUE(port.open());
    QN_PortOp recvOp, sendOp;
    QN_PortSocket s;
    int key = 0;
    s.pvKey = &key;
    s.pRecvOp = &recvOp;
    s.pSendOp = &sendOp;
    ASSERT_EQ(port.connect(&s, sa.sin_addr.s_addr, sa.sin_port), 0);
    QN_PortEntry out[QN_Port::kMaxEntries];
    ASSERT_EQ(DequeueWithin(port, out, 2000), 1);
    EXPECT_EQ(out[0].pOp, &sendOp);
    EXPECT_EQ(out[0].nWsaError, 0);
    pollfd p{lfd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    int peer = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);

    // Data already there: the receive finishes inside the call, but its entry is only handed
    // out by the next dequeue.
    ASSERT_EQ(::send(peer, "hi", 2, 0), 2);
    ASSERT_TRUE(WaitReadable(s.fd)) << "the bytes never arrived";
    char buf[16];
    ASSERT_EQ(port.receive(&s, buf, sizeof(buf)), 0);
    EXPECT_FALSE(recvOp.bInKernel);
    int err = 0;
    ASSERT_EQ(port.dequeue(out, QN_Port::kMaxEntries, 0, &err), 1);
    EXPECT_EQ(out[0].pOp, &recvOp);
    EXPECT_EQ(out[0].uBytes, 2u);

    // Nothing there: the receive waits in the kernel; closing turns it into a cancellation.
    ASSERT_EQ(port.receive(&s, buf, sizeof(buf)), 0);
    EXPECT_TRUE(recvOp.bInKernel);
    port.closeSocket(&s);
    EXPECT_EQ(s.fd, -1);
    ASSERT_EQ(port.dequeue(out, QN_Port::kMaxEntries, 0, &err), 1);
    EXPECT_EQ(out[0].pOp, &recvOp);
    EXPECT_EQ(out[0].nWsaError, 10004);
    EXPECT_EQ(out[0].pvKey, &key);
    ::close(peer);
    ::close(lfd);
}
