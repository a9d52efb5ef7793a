#include "qn_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int32_t QN_WinsockErrorFromErrno(int nErrno) {
    switch (nErrno) {
        case 0: return 0;
        case EINTR:
        case ECANCELED: return QN_WSAEINTR;
        case EACCES:
        case EPERM: return QN_WSAEACCES;
        case EFAULT: return QN_WSAEFAULT;
        case EINVAL: return QN_WSAEINVAL;
        case EMFILE:
        case ENFILE: return QN_WSAEMFILE;
        case EAGAIN: return QN_WSAEWOULDBLOCK;
        case EINPROGRESS: return QN_WSAEINPROGRESS;
        case EALREADY: return QN_WSAEALREADY;
        case ENOTSOCK:
        case EBADF: return QN_WSAENOTSOCK;
        case EMSGSIZE: return QN_WSAEMSGSIZE;
        case EAFNOSUPPORT: return QN_WSAEAFNOSUPPORT;
        case EADDRINUSE: return QN_WSAEADDRINUSE;
        case EADDRNOTAVAIL: return QN_WSAEADDRNOTAVAIL;
        case ENETDOWN: return QN_WSAENETDOWN;
        case ENETUNREACH: return QN_WSAENETUNREACH;
        case ENETRESET: return QN_WSAENETRESET;
        case ECONNABORTED: return QN_WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE: return QN_WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM: return QN_WSAENOBUFS;
        case EISCONN: return QN_WSAEISCONN;
        case ENOTCONN: return QN_WSAENOTCONN;
        case ESHUTDOWN: return QN_WSAESHUTDOWN;
        case ETIMEDOUT: return QN_WSAETIMEDOUT;
        case ECONNREFUSED: return QN_WSAECONNREFUSED;
        case EHOSTDOWN: return QN_WSAEHOSTDOWN;
        case EHOSTUNREACH: return QN_WSAEHOSTUNREACH;
        default: return QN_WSAEINVAL;
    }
}

uint16_t QN_HostToNet16(uint16_t u) { return htons(u); }
uint16_t QN_NetToHost16(uint16_t u) { return ntohs(u); }
uint32_t QN_HostToNet32(uint32_t u) { return htonl(u); }
uint32_t QN_NetToHost32(uint32_t u) { return ntohl(u); }

bool QN_ParseIPv4(const char* csz, uint32_t* puRetAddress) {
    if (!csz) return false;
    in_addr a{};
    if (inet_pton(AF_INET, csz, &a) != 1) return false;
    if (puRetAddress) *puRetAddress = a.s_addr;
    return true;
}

std::string QN_FormatIPv4(uint32_t uAddress) {
    char sz[INET_ADDRSTRLEN] = {0};
    in_addr a{};
    a.s_addr = uAddress;
    if (!inet_ntop(AF_INET, &a, sz, sizeof(sz))) return "0.0.0.0";
    return sz;
}

bool QN_LookupHostIPv4(const std::string& host, uint32_t* puRetAddress) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &pResult) != 0 || !pResult) return false;
    bool bFound = false;
    for (addrinfo* p = pResult; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addr) {
            if (puRetAddress) *puRetAddress = ((const sockaddr_in*)p->ai_addr)->sin_addr.s_addr;
            bFound = true;
            break;
        }
    }
    freeaddrinfo(pResult);
    return bFound;
}

bool QN_NetStartup() { return true; }
void QN_NetCleanup() {}

bool QN_NetProbe() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return false;
    close(fd);
    return true;
}
