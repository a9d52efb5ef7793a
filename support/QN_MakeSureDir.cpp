#include "QN_MakeSureDir.h"

#include <string>

#include "QN_Log.h"
#include "qn_platform.h"

// The helpers keep global scope (with internal linkage): their names appear in the failure
// lines.

// The text before the last separator of either kind; 0 when there is none. The parent of a
// name directly below the root "/" is "/", and "/" itself has none.
static int _GetParentDir(const char* cszPath, std::string* pstrRetParent) {
    const char* pchLast = nullptr;
    for (const char* pch = cszPath; *pch; ++pch) {
        if (QN_IsPathSeparator(*pch)) pchLast = pch;
    }
    if (!pchLast) return 0;
    if (pchLast == cszPath) {
        if (*pchLast != '/' || cszPath[1] == '\0') return 0;
        pstrRetParent->assign("/");
        return 1;
    }
    pstrRetParent->assign(cszPath, (size_t)(pchLast - cszPath));
    return 1;
}

// Creates the folder, and its missing parents first. An existing folder counts as success;
// a file of that name does not.
static int _MakeSureDirExisted(const char* cszFolder) {
    int nResult = 0;
    int nRetCode = 0;
    std::string strParent;
    uint32_t uLastError = 0;  // kept here: writing a failure line may change the last error

    nRetCode = QN_mkdir(cszFolder);
    uLastError = QN_GetLastError();
    if (nRetCode || uLastError == ERROR_ALREADY_EXISTS) {
        nResult = 1;
        goto Exit0;
    }

    nRetCode = _GetParentDir(cszFolder, &strParent);
    QNLOG_PROCESS_ERROR(nRetCode);

    nRetCode = _MakeSureDirExisted(strParent.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "_MakeSureDirExisted()");

    nRetCode = QN_mkdir(cszFolder);
    uLastError = QN_GetLastError();
    if (!nRetCode) {
        nRetCode = (int)uLastError;
        QNLOG_PROCESS_ERROR(nRetCode == ERROR_ALREADY_EXISTS);
    }

    nResult = 1;
Exit0:
    if (!nResult) {
        QNLog_Printf(7, "Failed to make sure %s, GetLastError() = %d", cszFolder, (int)uLastError);
    }
    return nResult;
}

int QN_MakeSureDirForFile(const char* cszFileFullName) {
    int nResult = 0;
    int nRetCode = 0;
    std::string strParent;

    QNLOG_PROCESS_ERROR(cszFileFullName);
    QNLOG_PROCESS_ERROR(cszFileFullName[0]);

    nRetCode = _GetParentDir(cszFileFullName, &strParent);
    QNLOG_PROCESS_ERROR(nRetCode && "_GetParentDir()");

    nRetCode = _MakeSureDirExisted(strParent.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "_MakeSureDirExisted()");

    nResult = 1;
Exit0:
    if (!nResult) {
        QNLog_Printf(7, "Failed to make sure dir for file %s",
                     cszFileFullName ? cszFileFullName : "(null)");
    }
    return nResult;
}
