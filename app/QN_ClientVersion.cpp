#include "QN_ClientVersion.h"

#include <string>

#include "QN_Log.h"
#include "qn_file.h"
#include "qn_platform.h"
#include "qn_registry.h"
#include "qn_string.h"

const QN_CLIENT_VERSION_ROW g_aClientVersionTable[QN_CLIENT_VERSION_TYPE::Count] = {
    {"zhcn_v1", "zhcn_v1", "zhcn_v1", "正式服"},
    {"zhcn", "zhcn_PakV3", "zhcn_v3", "正式服"},
    {"zhcn_exp", "zhcn_exp", "zhcn_exp", "体验服"},
    {"zhcn_hd", "zhcn_hd", "zhcn_hd", "《Qel》重制版"},
};

int QN_GetClientVersionType(const char* cszClientPath) {
    int nResult = QN_CLIENT_VERSION_TYPE::Invalid;
    std::string strRoot;
    std::string strBin;

    QNLOG_PROCESS_ERROR(cszClientPath);
    QNLOG_PROCESS_ERROR(cszClientPath[0]);
    strRoot = cszClientPath;
    if (!QN_IsPathSeparator(strRoot.back())) strRoot += '/';
    if (!QN_PathFileExistsA(strRoot.c_str())) goto Exit0;
    strBin = strRoot + "bin/";
    if (!QN_PathFileExistsA(strBin.c_str())) goto Exit0;
    // With the folders of several editions in one root the first in table order wins.
    for (int i = 0; i < QN_CLIENT_VERSION_TYPE::Count; ++i) {
        std::string strEdition = strBin + g_aClientVersionTable[i].cszBinSubFolder + "/";
        if (QN_PathFileExistsA(strEdition.c_str())) {
            nResult = i;
            break;
        }
    }
Exit0:
    return nResult;
}

int QN_GetClientPathInRegister(int nIndex, char* pszPath) {
    int nResult = 0;
    int nRetCode = 0;
    int32_t nRegRet = 0;
    HKEY hKey = nullptr;
    uint32_t uType = 0;
    uint32_t cbData = 260;
    char szSubKey[260];

    QNLOG_PROCESS_ERROR(pszPath);
    QNLOG_PROCESS_ERROR(nIndex >= 0 && nIndex < QN_CLIENT_VERSION_TYPE::Count);
    pszPath[0] = '\0';
    nRetCode = QN_snprintf(szSubKey, _countof(szSubKey), "SOFTWARE\\Quorvane\\Qel\\%s",
                           g_aClientVersionTable[nIndex].cszVersionKey);
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR(nRetCode < (int)_countof(szSubKey));

    nRegRet = QN_RegOpenKeyExA(HKEY_LOCAL_MACHINE, szSubKey, 0, KEY_READ, &hKey);
    if (nRegRet != ERROR_SUCCESS) goto Exit0;
    nRegRet = QN_RegQueryValueExA(hKey, "installPath", &uType, (uint8_t*)pszPath, &cbData);
    if (nRegRet != ERROR_SUCCESS) {
        pszPath[0] = '\0';
        goto Exit0;
    }
    // Only a text is a path; anything else would leave the buffer without its terminator.
    if (uType != REG_SZ) {
        pszPath[0] = '\0';
        goto Exit0;
    }
    nResult = 1;
Exit0:
    if (hKey) QN_RegCloseKey(hKey);
    return nResult;
}
