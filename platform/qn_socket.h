// IPv4 TCP helpers of the layer: Winsock error numbers from errno, dotted addresses, the
// host-name lookup and the small start-up seams of the network stack.
#pragma once

#include <cstdint>
#include <string>

// Winsock error numbers that the download library reports in traces and reports.
#define QN_WSAEINTR 10004
#define QN_WSAEACCES 10013
#define QN_WSAEFAULT 10014
#define QN_WSAEINVAL 10022
#define QN_WSAEMFILE 10024
#define QN_WSAEWOULDBLOCK 10035
#define QN_WSAEINPROGRESS 10036
#define QN_WSAEALREADY 10037
#define QN_WSAENOTSOCK 10038
#define QN_WSAEMSGSIZE 10040
#define QN_WSAEAFNOSUPPORT 10047
#define QN_WSAEADDRINUSE 10048
#define QN_WSAEADDRNOTAVAIL 10049
#define QN_WSAENETDOWN 10050
#define QN_WSAENETUNREACH 10051
#define QN_WSAENETRESET 10052
#define QN_WSAECONNABORTED 10053
#define QN_WSAECONNRESET 10054
#define QN_WSAENOBUFS 10055
#define QN_WSAEISCONN 10056
#define QN_WSAENOTCONN 10057
#define QN_WSAESHUTDOWN 10058
#define QN_WSAETIMEDOUT 10060
#define QN_WSAECONNREFUSED 10061
#define QN_WSAEHOSTDOWN 10064
#define QN_WSAEHOSTUNREACH 10065

// The one errno -> Winsock table. 0 gives 0; an errno the table does not know gives 10022.
int32_t QN_WinsockErrorFromErrno(int nErrno);

// Byte order of port numbers and addresses.
uint16_t QN_HostToNet16(uint16_t u);
uint16_t QN_NetToHost16(uint16_t u);
uint32_t QN_HostToNet32(uint32_t u);
uint32_t QN_NetToHost32(uint32_t u);

// Reads a dotted IPv4 literal ("127.0.0.1") into a network-order address. False for anything
// else (names, IPv6, trailing text).
bool QN_ParseIPv4(const char* csz, uint32_t* puRetAddress);
// The dotted form of a network-order address.
std::string QN_FormatIPv4(uint32_t uAddress);

// Looks a host name up through the system resolver (IPv4 only) and gives the first address in
// network order. Blocking; thread-safe.
bool QN_LookupHostIPv4(const std::string& host, uint32_t* puRetAddress);

// Start-up seams of the network stack: nothing to start on this platform, kept so that callers
// keep their failure branches. QN_NetProbe opens and closes one TCP socket.
bool QN_NetStartup();
void QN_NetCleanup();
bool QN_NetProbe();
