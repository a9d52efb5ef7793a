// The usage report: its endpoint and the dialog's report builder.
#include "QN_UsageReport.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "QN_HttpSyncPost.h"
#include "QN_Log.h"
#include "QN_QelRepairDlg.h"
#include "QN_VoskUUID.h"
#include "qn_platform.h"
#include "qn_string.h"

#ifndef QN_USAGE_REPORT_HOST
#define QN_USAGE_REPORT_HOST ""
#endif

namespace {

std::mutex g_EndpointLock;
bool g_bEndpointSet = false;
QN_UsageReportEndpoint g_Endpoint;

bool ParseEndpoint(const char* csz, QN_UsageReportEndpoint* pRet) {
    QN_UsageReportEndpoint endpoint;
    std::string strText = csz ? csz : "";
    size_t uColon = strText.rfind(':');
    if (uColon != std::string::npos) {
        std::string strPort = strText.substr(uColon + 1);
        if (strPort.empty() || strPort.size() > 5 || strPort.find_first_not_of("0123456789") != std::string::npos)
            return false;
        unsigned long ulPort = std::strtoul(strPort.c_str(), nullptr, 10);
        if (ulPort == 0 || ulPort > 65535) return false;
        endpoint.uPort = (uint16_t)ulPort;
        strText.resize(uColon);
        if (strText.empty()) return false;
    }
    if (strText.find_first_of(" \t\r\n/") != std::string::npos) return false;
    endpoint.strHost = strText;
    *pRet = endpoint;
    return true;
}

}  // namespace

QN_UsageReportEndpoint QN_GetUsageReportEndpoint() {
    std::lock_guard<std::mutex> lock(g_EndpointLock);
    if (!g_bEndpointSet) {
        const char* cszEnvironment = std::getenv("QN_USAGE_REPORT_HOST");
        if (!(cszEnvironment && ParseEndpoint(cszEnvironment, &g_Endpoint))) ParseEndpoint(QN_USAGE_REPORT_HOST, &g_Endpoint);
        g_bEndpointSet = true;
    }
    return g_Endpoint;
}

int QN_SetUsageReportEndpoint(const char* cszHostAndPort) {
    QN_UsageReportEndpoint endpoint;
    if (!ParseEndpoint(cszHostAndPort, &endpoint)) return 0;
    std::lock_guard<std::mutex> lock(g_EndpointLock);
    g_Endpoint = endpoint;
    g_bEndpointSet = true;
    return 1;
}

int QN_QelRepairDlg::_PostRepairResult(const char* cszVersionType, const char* cszVersionNumber, int nRepairStatus,
                                       const QN_CLIENT_FILE_NAME_LIST& CorruptNormalFileList,
                                       const QN_CLIENT_FILE_NAME_LIST& CanNotRepairNormalFileList,
                                       uint32_t uCorruptPakV3BlockCount,
                                       const QN_PAK_ID_LIST& CanNotRepairPakBlockList) {
    int nResult = 0;
    int nRetCode = 0;
    QN_HttpSyncPost HttpSyncPost;
    QN_UsageReportEndpoint Endpoint = QN_GetUsageReportEndpoint();
    char szUUID[64];
    char szBuffer[256];

    QNLog_Printf(6, "Version Type: %s", cszVersionType ? cszVersionType : "");
    HttpSyncPost.m_strHostName = Endpoint.strHost;
    HttpSyncPost.m_uPort = Endpoint.uPort;
    HttpSyncPost.m_strURLPath = "/report/Qel/gamefix_report";

    std::memset(szUUID, 0, sizeof(szUUID));
    QN_GetVoskUUIDEx(szUUID);

    nRetCode = HttpSyncPost.AddParam("uuid", szUUID);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncPost.AddParam()");
    nRetCode = HttpSyncPost.AddParam("version_type", cszVersionType);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncPost.AddParam()");
    nRetCode = HttpSyncPost.AddParam("version_number", cszVersionNumber);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncPost.AddParam()");

    nRetCode = QN_snprintf(szBuffer, _countof(szBuffer), "%d", nRepairStatus);
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode < (int)_countof(szBuffer), "nRetCode < _countof(szBuffer)");
    nRetCode = HttpSyncPost.AddParam("repair_status", szBuffer);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncPost.AddParam()");

    nRetCode = QN_snprintf(szBuffer, _countof(szBuffer), "%d", (int)CorruptNormalFileList.size());
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode < (int)_countof(szBuffer), "nRetCode < _countof(szBuffer)");
    nRetCode = HttpSyncPost.AddParam("corrupt_normal_file", szBuffer);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncPost.AddParam()");

    nRetCode = QN_snprintf(szBuffer, _countof(szBuffer), "%d", (int)CanNotRepairNormalFileList.size());
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode < (int)_countof(szBuffer), "nRetCode < _countof(szBuffer)");
    nRetCode = HttpSyncPost.AddParam("can_not_repair_normal_file", szBuffer);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncPost.AddParam()");

    nRetCode = QN_snprintf(szBuffer, _countof(szBuffer), "%d", (int)uCorruptPakV3BlockCount);
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode < (int)_countof(szBuffer), "nRetCode < _countof(szBuffer)");
    nRetCode = HttpSyncPost.AddParam("corrupt_pak_block", szBuffer);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncPost.AddParam()");

    // The package elements the repair left broken, so that the report never claims more than
    // was repaired.
    nRetCode = QN_snprintf(szBuffer, _countof(szBuffer), "%d", (int)CanNotRepairPakBlockList.size());
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR_TEXT(nRetCode < (int)_countof(szBuffer), "nRetCode < _countof(szBuffer)");
    nRetCode = HttpSyncPost.AddParam("can_not_repair_pak_block", szBuffer);
    QNLOG_PROCESS_ERROR(nRetCode && "HttpSyncPost.AddParam()");

    if (Endpoint.strHost.empty()) {
        QNLog_Printf(6, "The usage report is off: no report host is set.");
    } else {
        nRetCode = HttpSyncPost.Post();
        QNLOG_CHECK_ERROR(nRetCode && "HttpSyncPost.Post()");
    }

    nResult = 1;
Exit0:
    return nResult;
}
