#include "qn_proactor.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "qn_socket.h"

QN_Port::~QN_Port() { close(); }

bool QN_Port::open() {
    if (m_epfd >= 0) return true;
    m_epfd = epoll_create1(EPOLL_CLOEXEC);
    if (m_epfd < 0) return false;
    m_wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakefd < 0) {
        int e = errno;
        ::close(m_epfd);
        m_epfd = -1;
        errno = e;
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;  // level-triggered: the wake source stays readable until drained
    ev.data.ptr = this;
    if (epoll_ctl(m_epfd, EPOLL_CTL_ADD, m_wakefd, &ev) != 0) {
        int e = errno;
        close();
        errno = e;
        return false;
    }
    return true;
}

void QN_Port::close() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_wakefd >= 0) ::close(m_wakefd);
        m_wakefd = -1;
        m_posted.clear();
    }
    if (m_epfd >= 0) ::close(m_epfd);
    m_epfd = -1;
    m_ready.clear();
}

void QN_Port::post(void* pvKey, QN_PortOp* pOp, uint32_t uBytes) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_posted.push_back(QN_PortEntry{pvKey, pOp, uBytes, 0});
        // The descriptor is read under the same lock as close() clears the queue, so a post
        // racing with close never writes to a reused descriptor number.
        if (m_wakefd >= 0) {
            uint64_t one = 1;
            ssize_t n = ::write(m_wakefd, &one, sizeof(one));
            (void)n;  // only EAGAIN at a counter near overflow, which still leaves it readable
        }
    }
    m_ullPosts.fetch_add(1, std::memory_order_relaxed);
}

void QN_Port::takePosted() {
    std::lock_guard<std::mutex> g(m_lock);
    while (!m_posted.empty()) {
        m_ready.push_back(m_posted.front());
        m_posted.pop_front();
    }
}

void QN_Port::requeueFront(const QN_PortEntry* pEntries, int nCount) {
    for (int i = nCount - 1; i >= 0; --i) m_ready.push_front(pEntries[i]);
}

std::vector<QN_PortEntry> QN_Port::takeQueued() {
    takePosted();
    std::vector<QN_PortEntry> all(m_ready.begin(), m_ready.end());
    m_ready.clear();
    return all;
}

void QN_Port::complete(QN_PortSocket* pSocket, QN_PortOp* pOp, uint32_t uBytes, int32_t nWsaError) {
    pOp->bInKernel = false;
    m_ready.push_back(QN_PortEntry{pSocket->pvKey, pOp, uBytes, nWsaError});
}

bool QN_Port::attempt(QN_PortSocket* pSocket, QN_PortOp* pOp) {
    for (;;) {
        ssize_t n;
        if (pOp->uKind == QN_PORT_OP_SEND)
            n = ::send(pSocket->fd, pOp->pBuf, pOp->uLen, MSG_NOSIGNAL);
        else
            n = ::recv(pSocket->fd, pOp->pBuf, pOp->uLen, 0);
        if (n >= 0) {
            complete(pSocket, pOp, (uint32_t)n, 0);
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        complete(pSocket, pOp, 0, QN_WinsockErrorFromErrno(errno));
        return true;
    }
}

void QN_Port::onEvents(QN_PortSocket* pSocket, uint32_t uEvents) {
    if (pSocket->fd < 0) return;
    QN_PortOp* pSend = pSocket->pSendOp;
    if (pSend && pSend->bInKernel) {
        if (pSend->uKind == QN_PORT_OP_CONNECT) {
            if (uEvents & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
                int nErr = 0;
                socklen_t len = sizeof(nErr);
                if (getsockopt(pSocket->fd, SOL_SOCKET, SO_ERROR, &nErr, &len) != 0) nErr = errno;
                if (nErr == 0 && (uEvents & (EPOLLERR | EPOLLHUP)) && !(uEvents & EPOLLOUT)) nErr = ECONNREFUSED;
                complete(pSocket, pSend, 0, QN_WinsockErrorFromErrno(nErr));
            }
        } else {
            attempt(pSocket, pSend);
        }
    }
    QN_PortOp* pRecv = pSocket->pRecvOp;
    if (pRecv && pRecv->bInKernel) attempt(pSocket, pRecv);
}

int QN_Port::dequeue(QN_PortEntry* pOut, int nMax, int nTimeoutMs, int* pnRetErrno) {
    if (nMax <= 0) return 0;
    if (pnRetErrno) *pnRetErrno = 0;
    takePosted();
    epoll_event events[kMaxEntries];
    int nWait = m_ready.empty() ? nTimeoutMs : 0;
    int n = epoll_wait(m_epfd, events, kMaxEntries, nWait);
    if (n < 0) {
        if (errno != EINTR) {
            if (pnRetErrno) *pnRetErrno = errno;
            return -1;
        }
        n = 0;  // a signal: treated as a time-out, the next pass goes on
    }
    bool bWoken = false;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.ptr == this) {
            bWoken = true;
            continue;
        }
        onEvents((QN_PortSocket*)events[i].data.ptr, events[i].events);
    }
    if (bWoken) {
        uint64_t v;
        ssize_t r = ::read(m_wakefd, &v, sizeof(v));
        (void)r;
        takePosted();
    }
    int nTaken = 0;
    while (nTaken < nMax && !m_ready.empty()) {
        pOut[nTaken++] = m_ready.front();
        m_ready.pop_front();
    }
    return nTaken;
}

int32_t QN_Port::connect(QN_PortSocket* pSocket, uint32_t uAddress, uint16_t uPortNet) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return QN_WinsockErrorFromErrno(errno);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = pSocket;
    if (epoll_ctl(m_epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        ::close(fd);
        return -1;
    }
    pSocket->fd = fd;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = uAddress;
    sa.sin_port = uPortNet;
    QN_PortOp* pOp = pSocket->pSendOp;
    pOp->uKind = QN_PORT_OP_CONNECT;
    pOp->pBuf = nullptr;
    pOp->uLen = 0;
    int r;
    do {
        r = ::connect(fd, (const sockaddr*)&sa, sizeof(sa));
    } while (r != 0 && errno == EINTR);
    if (r == 0) {
        complete(pSocket, pOp, 0, 0);
        return 0;
    }
    if (errno == EINPROGRESS) {
        pOp->bInKernel = true;
        return 0;
    }
    return QN_WinsockErrorFromErrno(errno);
}

int32_t QN_Port::send(QN_PortSocket* pSocket, const char* pBuf, uint32_t uLen) {
    QN_PortOp* pOp = pSocket->pSendOp;
    pOp->uKind = QN_PORT_OP_SEND;
    pOp->pBuf = const_cast<char*>(pBuf);
    pOp->uLen = uLen;
    for (;;) {
        ssize_t n = ::send(pSocket->fd, pBuf, uLen, MSG_NOSIGNAL);
        if (n >= 0) {
            complete(pSocket, pOp, (uint32_t)n, 0);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pOp->bInKernel = true;
            return 0;
        }
        return QN_WinsockErrorFromErrno(errno);
    }
}

int32_t QN_Port::receive(QN_PortSocket* pSocket, char* pBuf, uint32_t uLen) {
    QN_PortOp* pOp = pSocket->pRecvOp;
    pOp->uKind = QN_PORT_OP_RECV;
    pOp->pBuf = pBuf;
    pOp->uLen = uLen;
    for (;;) {
        ssize_t n = ::recv(pSocket->fd, pBuf, uLen, 0);
        if (n >= 0) {
            complete(pSocket, pOp, (uint32_t)n, 0);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pOp->bInKernel = true;
            return 0;
        }
        return QN_WinsockErrorFromErrno(errno);
    }
}

void QN_Port::closeSocket(QN_PortSocket* pSocket) {
    if (pSocket->fd >= 0) {
        epoll_ctl(m_epfd, EPOLL_CTL_DEL, pSocket->fd, nullptr);
        ::close(pSocket->fd);
        pSocket->fd = -1;
    }
    if (pSocket->pSendOp && pSocket->pSendOp->bInKernel) complete(pSocket, pSocket->pSendOp, 0, QN_WSAEINTR);
    if (pSocket->pRecvOp && pSocket->pRecvOp->bInKernel) complete(pSocket, pSocket->pRecvOp, 0, QN_WSAEINTR);
}

void QN_Port::closeDetached(QN_PortSocket* pSocket) {
    if (pSocket->fd >= 0) ::close(pSocket->fd);
    pSocket->fd = -1;
    if (pSocket->pSendOp) pSocket->pSendOp->bInKernel = false;
    if (pSocket->pRecvOp) pSocket->pRecvOp->bInKernel = false;
}

int32_t QN_Port::peerName(const QN_PortSocket* pSocket, uint32_t* puRetAddress, uint16_t* puRetPortNet) const {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    if (getpeername(pSocket->fd, (sockaddr*)&sa, &len) != 0) return QN_WinsockErrorFromErrno(errno);
    if (sa.sin_family != AF_INET) return QN_WSAEAFNOSUPPORT;
    if (puRetAddress) *puRetAddress = sa.sin_addr.s_addr;
    if (puRetPortNet) *puRetPortNet = sa.sin_port;
    return 0;
}

bool QN_Port::hasPendingInput(const QN_PortSocket* pSocket) const {
    char c;
    ssize_t r = ::recv(pSocket->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r >= 0) return true;
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

int32_t QN_Port::setNoDelay(const QN_PortSocket* pSocket) const {
    int one = 1;
    if (setsockopt(pSocket->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) return QN_WinsockErrorFromErrno(errno);
    return 0;
}
