#include "QN_QelRepairApp.h"

#include <cstring>
#include <string>

#include "QN_QelRepairDlg.h"
#include "qn_platform.h"
#include "qn_process.h"
#include "qn_string.h"

QN_QelRepairApp theApp;

QNLOG_PARAM QN_QelRepairApp::DefaultLogParam() {
    QNLOG_PARAM LogParam;
    std::memset(&LogParam, 0, sizeof(LogParam));
    QN_StrCopyN(LogParam.root, sizeof(LogParam.root), "Logs");
    QN_StrCopyN(LogParam.name, sizeof(LogParam.name), "QelRepair");
    LogParam.flags = QNLOG_FLAG_FILE;
    LogParam.maxLines = 100000000;
    return LogParam;
}

qnui::BOOL QN_QelRepairApp::InitInstance() {
    return InitInstance(DefaultLogParam(), [this] {
        QN_QelRepairDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    });
}

qnui::BOOL QN_QelRepairApp::InitInstance(const QNLOG_PARAM& LogParam, const std::function<void()>& fnRunDialog) {
    qnui::BOOL bResult = FALSE;
    uint32_t uLength = 0;
    long lCount = 0;
    size_t uSeparator = 0;
    std::string strWorkPath;
    // One copy of this program file at a time (the "QelRepai" shared counter on Windows).
    QN_InstanceCounter InstanceCounter;
    char szPath[260];

    QN_SetupLocale();
    uLength = QN_GetModuleFileNameA(nullptr, szPath, (uint32_t)_countof(szPath));
    if (uLength == 0 || uLength >= _countof(szPath)) return FALSE;
    strWorkPath = szPath;
    uSeparator = strWorkPath.find_last_of("/\\");
    if (uSeparator == std::string::npos) return FALSE;
    strWorkPath.resize(uSeparator + 1);
    if (!QN_SetCurrentDirectoryA(strWorkPath.c_str())) return FALSE;
    if (!QNLog_Init(&LogParam)) return FALSE;

    QNLog_Printf(6, "The program is built at " __DATE__ " " __TIME__ "\n");
    QNLog_Printf(6, "The work path is:%s", strWorkPath.c_str());

    lCount = InstanceCounter.Increment();
    QNLOG_PROCESS_ERROR(lCount <= 1);
    if (fnRunDialog) fnRunDialog();
    bResult = TRUE;
Exit0:
    InstanceCounter.Decrement();
    QNLog_Uninit();
    return bResult;
}
