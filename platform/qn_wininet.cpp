// The blocking form-posting client: handles, the request's bytes and the bounded socket waits.
#include "qn_wininet.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "qn_platform.h"
#include "qn_socket.h"
#include "qn_string.h"
#include "qn_test_hooks.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kDefaultTimeoutMs = 60000;
const size_t kMaxHeadBytes = 16 * 1024;

std::atomic<uint32_t> g_uDefaultConnectMs{kDefaultTimeoutMs};
std::atomic<uint32_t> g_uDefaultReceiveMs{kDefaultTimeoutMs};

enum HandleKind : uint32_t {
    KIND_SESSION = 0x51534E31u,
    KIND_CONNECTION = 0x51434E31u,
    KIND_REQUEST = 0x51524E31u,
};

struct Timeouts {
    uint32_t uConnectMs = 0;  // 0: the layer's default at the time of sending
    uint32_t uSendMs = 0;
    uint32_t uReceiveMs = 0;
};

}  // namespace

struct QN_HINTERNET__ {
    uint32_t uKind = 0;
    std::string strAgent;
    Timeouts timeouts;
    // Connections and requests.
    std::string strHost;
    uint16_t uPort = 0;
    // Requests.
    std::string strVerb, strTarget, strVersion, strAccept;
    int nFd = -1;
    bool bSent = false;
    bool bAnswered = false;
    uint32_t uStatus = 0;
};

namespace {

bool IsKind(HINTERNET h, uint32_t uKind) { return h && h->uKind == uKind; }

uint32_t Effective(uint32_t uSet, uint32_t uDefault) { return uSet ? uSet : uDefault; }

// Milliseconds left until the deadline, at least 0.
int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : (int)left;
}

// Waits for the events until the deadline: 1 ready, 0 time-out, -1 poll failed.
int WaitFor(int nFd, short nEvents, Clock::time_point deadline) {
    for (;;) {
        pollfd p{nFd, nEvents, 0};
        int nMs = RemainingMs(deadline);
        int r = ::poll(&p, 1, nMs);
        if (r > 0) return 1;
        if (r == 0) {
            if (Clock::now() >= deadline) return 0;
            continue;
        }
        if (errno != EINTR) return -1;
    }
}

bool ConnectSocket(HINTERNET hRequest, uint32_t uAddress, uint32_t uTimeoutMs) {
    int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (nFd < 0) {
        QN_SetLastError(ERROR_INTERNET_CANNOT_CONNECT);
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = QN_HostToNet16(hRequest->uPort);
    addr.sin_addr.s_addr = uAddress;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(uTimeoutMs);
    int r = ::connect(nFd, (const sockaddr*)&addr, sizeof(addr));
    int nError = r == 0 ? 0 : errno;
    if (nError == EINPROGRESS || nError == EINTR) {
        int w = WaitFor(nFd, POLLOUT, deadline);
        if (w == 0) {
            ::close(nFd);
            QN_SetLastError(ERROR_INTERNET_TIMEOUT);
            return false;
        }
        socklen_t uLen = sizeof(nError);
        if (w < 0 || ::getsockopt(nFd, SOL_SOCKET, SO_ERROR, &nError, &uLen) != 0) nError = errno ? errno : EIO;
    }
    if (nError != 0) {
        ::close(nFd);
        QN_SetLastError(nError == ETIMEDOUT ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_CANNOT_CONNECT);
        return false;
    }
    hRequest->nFd = nFd;
    return true;
}

bool SendAll(int nFd, const std::string& strBytes, uint32_t uTimeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(uTimeoutMs);
    size_t uSent = 0;
    while (uSent < strBytes.size()) {
        ssize_t n = ::send(nFd, strBytes.data() + uSent, strBytes.size() - uSent, MSG_NOSIGNAL);
        if (n > 0) {
            uSent += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int w = WaitFor(nFd, POLLOUT, deadline);
            if (w > 0) continue;
            QN_SetLastError(w == 0 ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_CONNECTION_ABORTED);
            return false;
        }
        QN_SetLastError(ERROR_INTERNET_CONNECTION_ABORTED);
        return false;
    }
    return true;
}

// Reads "HTTP/<d>.<d> <ddd>" at the start of a head. False when it is not there.
bool ParseStatusLine(const std::string& strHead, uint32_t* puStatus) {
    const char* p = strHead.c_str();
    if (std::strncmp(p, "HTTP/", 5) != 0) return false;
    p += 5;
    if (!(p[0] >= '0' && p[0] <= '9' && p[1] == '.' && p[2] >= '0' && p[2] <= '9' && p[3] == ' ')) return false;
    p += 4;
    uint32_t uStatus = 0;
    for (int i = 0; i < 3; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        uStatus = uStatus * 10 + (uint32_t)(p[i] - '0');
    }
    if (p[3] != ' ' && p[3] != '\r' && p[3] != '\n') return false;
    if (uStatus < 100 || uStatus > 599) return false;
    *puStatus = uStatus;
    return true;
}

// Reads heads until a final one (interim 1xx heads are passed over), all within the deadline
// and 16 KiB.
bool ReceiveHead(HINTERNET hRequest, uint32_t uTimeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(uTimeoutMs);
    std::string strPending;
    size_t uTotal = 0;
    char buf[4096];
    for (;;) {
        size_t uEnd = strPending.find("\r\n\r\n");
        size_t uEndLen = 4;
        size_t uLf = strPending.find("\n\n");
        if (uLf != std::string::npos && (uEnd == std::string::npos || uLf < uEnd)) {
            uEnd = uLf;
            uEndLen = 2;
        }
        if (uEnd != std::string::npos) {
            uint32_t uStatus = 0;
            if (!ParseStatusLine(strPending.substr(0, uEnd + uEndLen), &uStatus)) {
                QN_SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
                return false;
            }
            if (uStatus >= 200) {
                hRequest->uStatus = uStatus;
                hRequest->bAnswered = true;
                return true;
            }
            strPending.erase(0, uEnd + uEndLen);
            continue;
        }
        if (uTotal >= kMaxHeadBytes) {
            QN_SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
            return false;
        }
        ssize_t n = ::recv(hRequest->nFd, buf, std::min(sizeof(buf), kMaxHeadBytes - uTotal), 0);
        if (n > 0) {
            strPending.append(buf, (size_t)n);
            uTotal += (size_t)n;
            continue;
        }
        if (n == 0) {
            QN_SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int w = WaitFor(hRequest->nFd, POLLIN, deadline);
            if (w > 0) continue;
            QN_SetLastError(w == 0 ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_CONNECTION_ABORTED);
            return false;
        }
        QN_SetLastError(ERROR_INTERNET_CONNECTION_ABORTED);
        return false;
    }
}

// A request target: "/" then printable characters other than the blank.
bool IsValidTarget(const char* csz) {
    if (!csz || csz[0] != '/') return false;
    for (const unsigned char* p = (const unsigned char*)csz; *p; ++p) {
        if (*p <= 0x20 || *p == 0x7F) return false;
    }
    return true;
}

}  // namespace

namespace qn::testing {
void SetInternetDefaultTimeouts(uint32_t uConnectMs, uint32_t uReceiveMs) {
    g_uDefaultConnectMs.store(uConnectMs ? uConnectMs : kDefaultTimeoutMs);
    g_uDefaultReceiveMs.store(uReceiveMs ? uReceiveMs : kDefaultTimeoutMs);
}
}  // namespace qn::testing

HINTERNET QN_InternetOpenA(const char* cszAgent, uint32_t /*uAccessType*/, const char* /*cszProxy*/,
                           const char* /*cszProxyBypass*/, uint32_t /*uFlags*/) {
    if (!cszAgent || QN_HasLineBreak(cszAgent)) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HINTERNET h = new QN_HINTERNET__;
    h->uKind = KIND_SESSION;
    h->strAgent = cszAgent;
    QN_SetLastError(0);
    return h;
}

int QN_InternetSetOptionA(HINTERNET hInternet, uint32_t uOption, const void* pvBuffer, uint32_t uBufferLength) {
    if (!IsKind(hInternet, KIND_SESSION)) {
        QN_SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return 0;
    }
    uint32_t* puTarget = nullptr;
    switch (uOption) {
        case INTERNET_OPTION_CONNECT_TIMEOUT: puTarget = &hInternet->timeouts.uConnectMs; break;
        case INTERNET_OPTION_SEND_TIMEOUT: puTarget = &hInternet->timeouts.uSendMs; break;
        case INTERNET_OPTION_RECEIVE_TIMEOUT: puTarget = &hInternet->timeouts.uReceiveMs; break;
        default: QN_SetLastError(ERROR_INTERNET_INVALID_OPTION); return 0;
    }
    if (!pvBuffer || uBufferLength != sizeof(uint32_t)) {
        QN_SetLastError(ERROR_INTERNET_BAD_OPTION_LENGTH);
        return 0;
    }
    std::memcpy(puTarget, pvBuffer, sizeof(uint32_t));
    QN_SetLastError(0);
    return 1;
}

HINTERNET QN_InternetConnectA(HINTERNET hSession, const char* cszServerName, uint16_t uServerPort,
                              const char* /*cszUserName*/, const char* /*cszPassword*/, uint32_t /*uService*/,
                              uint32_t /*uFlags*/, uintptr_t /*uContext*/) {
    if (!IsKind(hSession, KIND_SESSION)) {
        QN_SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    if (!cszServerName || !cszServerName[0] || std::strpbrk(cszServerName, " \t\r\n") || uServerPort == 0) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HINTERNET h = new QN_HINTERNET__;
    h->uKind = KIND_CONNECTION;
    h->strAgent = hSession->strAgent;
    h->timeouts = hSession->timeouts;
    h->strHost = cszServerName;
    h->uPort = uServerPort;
    QN_SetLastError(0);
    return h;
}

HINTERNET QN_HttpOpenRequestA(HINTERNET hConnection, const char* cszVerb, const char* cszObjectName,
                              const char* cszVersion, const char* /*cszReferrer*/,
                              const char* const* ppcszAcceptTypes, uint32_t /*uFlags*/, uintptr_t /*uContext*/) {
    if (!IsKind(hConnection, KIND_CONNECTION)) {
        QN_SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    const char* cszMethod = cszVerb ? cszVerb : "GET";
    const char* cszHttpVersion = cszVersion ? cszVersion : "HTTP/1.1";
    bool bValid = cszMethod[0] && !std::strpbrk(cszMethod, " \t\r\n") && cszHttpVersion[0] &&
                  !std::strpbrk(cszHttpVersion, " \t\r\n") && IsValidTarget(cszObjectName);
    std::string strAccept;
    for (const char* const* pp = ppcszAcceptTypes; bValid && pp && *pp; ++pp) {
        if (QN_HasLineBreak(*pp)) bValid = false;
        if (!strAccept.empty()) strAccept += ", ";
        strAccept += *pp;
    }
    if (!bValid) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HINTERNET h = new QN_HINTERNET__;
    h->uKind = KIND_REQUEST;
    h->strAgent = hConnection->strAgent;
    h->timeouts = hConnection->timeouts;
    h->strHost = hConnection->strHost;
    h->uPort = hConnection->uPort;
    h->strVerb = cszMethod;
    h->strTarget = cszObjectName;
    h->strVersion = cszHttpVersion;
    h->strAccept = strAccept;
    QN_SetLastError(0);
    return h;
}

int QN_HttpSendRequestA(HINTERNET hRequest, const char* cszHeaders, uint32_t uHeadersLength, const void* pvOptional,
                        uint32_t uOptionalLength) {
    if (!IsKind(hRequest, KIND_REQUEST)) {
        QN_SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return 0;
    }
    if (hRequest->bSent) {
        QN_SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return 0;
    }
    if ((uOptionalLength && !pvOptional) || (uHeadersLength && uHeadersLength != (uint32_t)-1 && !cszHeaders)) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    hRequest->bSent = true;

    std::string strRequest = hRequest->strVerb + " " + hRequest->strTarget + " " + hRequest->strVersion + "\r\n";
    if (!hRequest->strAccept.empty()) strRequest += "Accept: " + hRequest->strAccept + "\r\n";
    strRequest += "User-Agent: " + hRequest->strAgent + "\r\n";
    strRequest += "Host: " + hRequest->strHost;
    if (hRequest->uPort != INTERNET_DEFAULT_HTTP_PORT) strRequest += ":" + std::to_string(hRequest->uPort);
    strRequest += "\r\n";
    if (cszHeaders) {
        std::string strHeaders = uHeadersLength == (uint32_t)-1 ? std::string(cszHeaders)
                                                               : std::string(cszHeaders, uHeadersLength);
        if (!strHeaders.empty()) {
            strRequest += strHeaders;
            if (strHeaders.size() < 2 || strHeaders.compare(strHeaders.size() - 2, 2, "\r\n") != 0) strRequest += "\r\n";
        }
    }
    strRequest += "\r\n";
    if (uOptionalLength) strRequest.append((const char*)pvOptional, uOptionalLength);

    uint32_t uAddress = 0;
    if (!QN_ParseIPv4(hRequest->strHost.c_str(), &uAddress) && !QN_LookupHostIPv4(hRequest->strHost, &uAddress)) {
        QN_SetLastError(ERROR_INTERNET_NAME_NOT_RESOLVED);
        return 0;
    }
    if (!ConnectSocket(hRequest, uAddress, Effective(hRequest->timeouts.uConnectMs, g_uDefaultConnectMs.load())))
        return 0;
    // The send time-out has no separate default beyond the connect and receive ones: the same
    // 60 s.
    if (!SendAll(hRequest->nFd, strRequest, Effective(hRequest->timeouts.uSendMs, kDefaultTimeoutMs))) return 0;
    if (!ReceiveHead(hRequest, Effective(hRequest->timeouts.uReceiveMs, g_uDefaultReceiveMs.load()))) return 0;
    QN_SetLastError(0);
    return 1;
}

int QN_HttpQueryInfoA(HINTERNET hRequest, uint32_t uInfoLevel, void* pvBuffer, uint32_t* puBufferLength,
                      uint32_t* /*puIndex*/) {
    if (!IsKind(hRequest, KIND_REQUEST)) {
        QN_SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return 0;
    }
    if (uInfoLevel != (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER)) {
        QN_SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
        return 0;
    }
    if (!hRequest->bAnswered) {
        QN_SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return 0;
    }
    if (!pvBuffer || !puBufferLength || *puBufferLength < sizeof(uint32_t)) {
        if (puBufferLength) *puBufferLength = sizeof(uint32_t);
        QN_SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(pvBuffer, &hRequest->uStatus, sizeof(uint32_t));
    *puBufferLength = sizeof(uint32_t);
    QN_SetLastError(0);
    return 1;
}

int QN_InternetCloseHandle(HINTERNET hInternet) {
    if (!hInternet || !(IsKind(hInternet, KIND_SESSION) || IsKind(hInternet, KIND_CONNECTION) ||
                        IsKind(hInternet, KIND_REQUEST))) {
        QN_SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (hInternet->nFd >= 0) ::close(hInternet->nFd);
    hInternet->uKind = 0;
    delete hInternet;
    return 1;
}
