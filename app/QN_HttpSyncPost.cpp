#include "QN_HttpSyncPost.h"

#include <cstring>
#include <new>

#include "QN_Log.h"
#include "qn_platform.h"
#include "qn_string.h"
#include "qn_wininet.h"

namespace {

const char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)";
const uint32_t kSendTimeoutMs = 20000;
const char kClosingDelimiter[] = "--" MULTI_PARTS_FORM_DATA_BOUNDARY "--\r\n";
// Room for a part's fixed text ("--", the boundary, the disposition line, three CR LF pairs)
// beside its name and value.
const size_t kPartReserve = 256;

// A field name as it goes between the quotes of its disposition line.
std::string EscapedName(const std::string& strName) {
    std::string strOut;
    for (char c : strName) {
        if (c == '"') {
            strOut += "%22";
        } else if (c == '\r') {
            strOut += "%0D";
        } else if (c == '\n') {
            strOut += "%0A";
        } else {
            strOut += c;
        }
    }
    return strOut;
}

}  // namespace

QN_HttpSyncPost::QN_HttpSyncPost() : m_uPort(INTERNET_DEFAULT_HTTP_PORT) {}

QN_HttpSyncPost::~QN_HttpSyncPost() { m_ParamList.clear(); }

int QN_HttpSyncPost::AddParam(const char* cszName, const char* cszValue) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(cszName);
    QNLOG_PROCESS_ERROR(cszName[0]);
    QNLOG_PROCESS_ERROR(cszValue);
    QNLOG_PROCESS_ERROR(!std::strstr(cszValue, MULTI_PARTS_FORM_DATA_BOUNDARY));

    m_ParamList.emplace_back(EscapedName(cszName), cszValue);
    nResult = 1;
Exit0:
    return nResult;
}

int QN_HttpSyncPost::Post() {
    int nResult = 0;
    int nRetCode = 0;
    HINTERNET hSession = nullptr;
    HINTERNET hConnection = nullptr;
    HINTERNET hRequest = nullptr;
    uint32_t uSendTimeout = kSendTimeoutMs;
    const char* apcszAcceptTypes[] = {"*/*", nullptr};
    size_t uBufferSize = sizeof(kClosingDelimiter);
    char* pchBuffer = nullptr;
    char* pchWritePos = nullptr;
    char* pchTailPos = nullptr;
    uint32_t uBodyLength = 0;
    char szHeader[1024];
    uint32_t dwStatusCode = 0;
    uint32_t uStatusCodeSize = sizeof(dwStatusCode);

    hSession = QN_InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    QNLOG_PROCESS_ERROR(hSession);

    nRetCode = QN_InternetSetOptionA(hSession, INTERNET_OPTION_SEND_TIMEOUT, &uSendTimeout, sizeof(uSendTimeout));
    QNLOG_PROCESS_ERROR(nRetCode && "InternetSetOption()");

    hConnection = QN_InternetConnectA(hSession, m_strHostName.c_str(), m_uPort, nullptr, nullptr,
                                      INTERNET_SERVICE_HTTP,
                                      INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION, 0);
    QNLOG_PROCESS_ERROR(hConnection);

    hRequest = QN_HttpOpenRequestA(hConnection, "POST", m_strURLPath.c_str(), "HTTP/1.0", nullptr, apcszAcceptTypes,
                                   INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                       INTERNET_FLAG_FORMS_SUBMIT,
                                   0);
    QNLOG_PROCESS_ERROR(hRequest);

    for (const auto& Param : m_ParamList) uBufferSize += Param.first.size() + Param.second.size() + kPartReserve;
    pchBuffer = new (std::nothrow) char[uBufferSize];
    QNLOG_PROCESS_ERROR(pchBuffer);
    pchWritePos = pchBuffer;
    pchTailPos = pchBuffer + uBufferSize;

    for (const auto& Param : m_ParamList) {
        nRetCode = QN_snprintf(pchWritePos, (size_t)(pchTailPos - pchWritePos),
                               "--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n",
                               MULTI_PARTS_FORM_DATA_BOUNDARY, Param.first.c_str(), Param.second.c_str());
        QNLOG_PROCESS_ERROR(nRetCode > 0);
        QNLOG_PROCESS_ERROR(nRetCode < pchTailPos - pchWritePos);
        pchWritePos += nRetCode;
    }
    // The room for the delimiter and its terminator was reserved when the buffer was sized.
    std::memcpy(pchWritePos, kClosingDelimiter, sizeof(kClosingDelimiter));
    pchWritePos += sizeof(kClosingDelimiter) - 1;
    uBodyLength = (uint32_t)(pchWritePos - pchBuffer);

    nRetCode = QN_snprintf(szHeader, _countof(szHeader),
                           "Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %u\r\n",
                           MULTI_PARTS_FORM_DATA_BOUNDARY, uBodyLength);
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode < (int)_countof(szHeader), "nRetCode < _countof(szHeader)");

    nRetCode = QN_HttpSendRequestA(hRequest, szHeader, (uint32_t)nRetCode, pchBuffer, uBodyLength);
    QNLOG_PROCESS_ERROR(nRetCode);

    nRetCode = QN_HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatusCode,
                                 &uStatusCodeSize, nullptr);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpQueryInfo()");
    QNLOG_PROCESS_ERROR(dwStatusCode == HTTP_STATUS_OK);

    nResult = 1;
Exit0:
    if (!nResult) {
        QNLog_Printf(7, "Failed to post info to %s%s, GetLastError()=%d.", m_strHostName.c_str(), m_strURLPath.c_str(),
                     (int)QN_GetLastError());
    }
    delete[] pchBuffer;
    if (hRequest) QN_InternetCloseHandle(hRequest);
    if (hConnection) QN_InternetCloseHandle(hConnection);
    if (hSession) QN_InternetCloseHandle(hSession);
    return nResult;
}
