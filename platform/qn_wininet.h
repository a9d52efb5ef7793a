// A small blocking HTTP client with the calls and results of the Windows internet functions
// that post a form: a session, a connection to a host and port, one request, its sending and
// the status of the answer. Independent of the download library.
//
// Sending resolves the host (IPv4), connects, writes the request and reads the answer's head
// (at most 16 KiB, up to the empty line); the body is never read and redirects are not
// followed. Every wait is bounded: the connect time-out bounds the connection, the send
// time-out the whole request's writing and the receive time-out the whole head's reading.
// Time-outs that the session does not set take the layer's defaults (60 s each), and 0 also
// means the default, so no call waits for ever. Failures set the thread's last error to the
// internet numbers below. Every call is thread-safe for distinct handles.
#pragma once

#include <cstdint>

struct QN_HINTERNET__;
typedef QN_HINTERNET__* HINTERNET;

#define INTERNET_OPEN_TYPE_PRECONFIG 0
#define INTERNET_DEFAULT_HTTP_PORT 80
#define INTERNET_SERVICE_HTTP 3

#define INTERNET_OPTION_CONNECT_TIMEOUT 2
#define INTERNET_OPTION_SEND_TIMEOUT 5
#define INTERNET_OPTION_RECEIVE_TIMEOUT 6

#define INTERNET_FLAG_FORMS_SUBMIT 0x00000040u
#define INTERNET_FLAG_KEEP_CONNECTION 0x00400000u
#define INTERNET_FLAG_NO_CACHE_WRITE 0x04000000u

#define HTTP_QUERY_STATUS_CODE 19
#define HTTP_QUERY_FLAG_NUMBER 0x20000000u
#define HTTP_STATUS_OK 200

// Last-error numbers of the layer.
#define ERROR_INTERNET_TIMEOUT 12002
#define ERROR_INTERNET_INVALID_OPTION 12009
#define ERROR_INTERNET_BAD_OPTION_LENGTH 12010
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007
#define ERROR_INTERNET_INCORRECT_HANDLE_TYPE 12018
#define ERROR_INTERNET_INCORRECT_HANDLE_STATE 12019
#define ERROR_INTERNET_CANNOT_CONNECT 12029
#define ERROR_INTERNET_CONNECTION_ABORTED 12030
#define ERROR_INTERNET_CONNECTION_RESET 12031
#define ERROR_HTTP_HEADER_NOT_FOUND 12150
#define ERROR_HTTP_INVALID_SERVER_RESPONSE 12152

// A session with the agent text. Proxies are not used (any access type is taken as direct).
// Null with last error 87 for a null agent or one with a line break.
HINTERNET QN_InternetOpenA(const char* cszAgent, uint32_t uAccessType, const char* cszProxy,
                           const char* cszProxyBypass, uint32_t uFlags);

// Sets a time-out (connect, send or receive) in milliseconds on a session, for the
// connections made from it afterwards: a 4-byte value. 1 or 0 (12009 unknown option, 12010 a
// length other than 4, 12018 not a session).
int QN_InternetSetOptionA(HINTERNET hInternet, uint32_t uOption, const void* pvBuffer, uint32_t uBufferLength);

// A connection record for host and port; nothing is sent yet. Null with 87 for an empty host,
// one with a blank or a line break, or port 0; 12018 when hSession is not a session.
HINTERNET QN_InternetConnectA(HINTERNET hSession, const char* cszServerName, uint16_t uServerPort,
                              const char* cszUserName, const char* cszPassword, uint32_t uService,
                              uint32_t uFlags, uintptr_t uContext);

// A request record. Null method: "GET"; null version: "HTTP/1.1"; accepted types: the
// null-terminated list, joined by ", " in one Accept header (none when null or empty). Null
// with 87 for a target that is not "/..." or holds a blank, a control character or a line
// break, and for texts with line breaks.
HINTERNET QN_HttpOpenRequestA(HINTERNET hConnection, const char* cszVerb, const char* cszObjectName,
                              const char* cszVersion, const char* cszReferrer, const char* const* ppcszAcceptTypes,
                              uint32_t uFlags, uintptr_t uContext);

// Sends the request: the request line, Accept, User-Agent, Host (with ":port" when the port is
// not 80), the caller's headers exactly as given (uHeadersLength (uint32_t)-1: up to the zero;
// a missing final CR LF is added), the empty line and the body. No header of the layer's own
// beyond those three, so a Content-Length comes only from the caller. Then reads the answer's
// head. 1 when a well-formed status line arrived, whatever the status; 0 with the last error
// 12007 (name not resolved), 12029 (refused or unreachable), 12002 (a time-out), 12030 (the
// connection failed while sending or receiving), 12152 (no or a malformed or an overlong head),
// 12019 (the request was already sent) or 87.
int QN_HttpSendRequestA(HINTERNET hRequest, const char* cszHeaders, uint32_t uHeadersLength, const void* pvOptional,
                        uint32_t uOptionalLength);

// HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER into a 4-byte number: 1 with the status of
// the answer; 0 with 12019 before an answer, 122 for a buffer of less than 4 bytes, 12150 for
// any other query.
int QN_HttpQueryInfoA(HINTERNET hRequest, uint32_t uInfoLevel, void* pvBuffer, uint32_t* puBufferLength,
                      uint32_t* puIndex);

// Closes a session, connection or request handle (a request's socket with it). 1, or 0 with 6
// for a null handle.
int QN_InternetCloseHandle(HINTERNET hInternet);
