#include "QN_ClientEnvironment.h"

#include <atomic>
#include <cstring>

#include "QN_Log.h"
#include "app_test_hooks.h"
#include "qn_file.h"
#include "qn_file_io.h"
#include "qn_find_file.h"
#include "qn_folder.h"
#include "qn_platform.h"
#include "qn_process.h"
#include "qn_profile.h"
#include "qn_registry.h"
#include "qn_special_folder.h"
#include "qn_string.h"

bool QN_IsFileSystemRoot(const char* cszPath) {
    if (!cszPath || !cszPath[0]) return false;
    std::string s = cszPath;
    size_t i = 0;
    if (s.size() >= 2 && s[1] == ':' && ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'))) i = 2;
    for (; i < s.size(); ++i)
        if (!QN_IsPathSeparator(s[i])) return false;
    return true;
}

bool QN_IsPathWithin(const char* cszPath, const char* cszWithin) {
    // A drive root ("C:\\") is a root as well: nothing is ever removed as lying in one.
    if (!cszWithin || QN_IsFileSystemRoot(cszWithin)) return false;
    return QN_IsPathInFolder(cszPath, cszWithin);
}

int _RemoveDirectory(const char* cszPath, const char* cszWithin) {
    int nResult = 0;
    std::string strFolder;
    WIN32_FIND_DATAA findData;
    QN_HFIND hFind = nullptr;

    QNLOG_PROCESS_ERROR(cszPath);
    QNLOG_PROCESS_ERROR(cszPath[0]);
    QNLOG_PROCESS_ERROR(!QN_IsFileSystemRoot(cszPath));
    QNLOG_PROCESS_ERROR(QN_IsPathWithin(cszPath, cszWithin));
    strFolder = cszPath;
    while (strFolder.size() > 1 && QN_IsPathSeparator(strFolder.back())) strFolder.pop_back();
    // A link in the place of the folder is removed itself; what it points to is never entered.
    if (QN_IsSymbolicLinkA(strFolder.c_str())) {
        nResult = QN_DeleteFileA(strFolder.c_str());
        goto Exit0;
    }
    strFolder += '/';
    if (!QN_PathFileExistsA(strFolder.c_str())) {
        nResult = 1;
        goto Exit0;
    }
    hFind = QN_FindFirstFileA((strFolder + "*").c_str(), &findData);
    QNLOG_PROCESS_ERROR(hFind);
    do {
        std::string strName = findData.cFileName;
        if (strName == "." || strName == "..") continue;
        std::string strEntry = strFolder + strName;
        if ((findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !QN_IsSymbolicLinkA(strEntry.c_str())) {
            if (strName[0] != '.') _RemoveDirectory(strEntry.c_str(), cszWithin);
            continue;
        }
        QN_SetFileAttributesNormalA(strEntry.c_str());
        QN_DeleteFileA(strEntry.c_str());
    } while (QN_FindNextFileA(hFind, &findData));
    QN_RemoveDirectoryA(strFolder.c_str());
    nResult = 1;
Exit0:
    if (hFind) QN_FindClose(hFind);
    return nResult;
}

int QN_RemoveClientFiles(const char* cszClientBinPath) {
    int nResult = 0;
    std::string strBin;
    std::string strMemory;

    QNLOG_PROCESS_ERROR(cszClientBinPath);
    QNLOG_PROCESS_ERROR(cszClientBinPath[0]);
    strBin = cszClientBinPath;
    if (!QN_IsPathSeparator(strBin.back())) strBin += '/';
    strMemory = strBin + "QelClient.memory";
    QN_SetFileAttributesNormalA(strMemory.c_str());
    QN_DeleteFileA(strMemory.c_str());
    _RemoveDirectory((strBin + "update").c_str(), cszClientBinPath);
    _RemoveDirectory((strBin + "update_extend").c_str(), cszClientBinPath);
    nResult = 1;
Exit0:
    return nResult;
}


namespace {

const wchar_t kFNAppId[] = L"3F7B2C91-6D4E-4A85-B2C7-91E0D4A6F358";
const uint32_t kDefaultCheckTimeoutMs = 120000;
std::atomic<uint32_t> g_uCheckTimeoutMs{kDefaultCheckTimeoutMs};

// A text value of at most 259 characters under HKEY_LOCAL_MACHINE; "" when there is none.
std::wstring ReadMachineText(const std::wstring& wsKey, const wchar_t* wszValue) {
    HKEY hKey = nullptr;
    wchar_t wszBuf[260];
    uint32_t cbData = sizeof(wszBuf);
    uint32_t uType = 0;
    std::wstring ws;
    if (QN_RegOpenKeyExW(HKEY_LOCAL_MACHINE, wsKey.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return ws;
    if (QN_RegQueryValueExW(hKey, wszValue, &uType, (uint8_t*)wszBuf, &cbData) == ERROR_SUCCESS && uType == REG_SZ &&
        cbData >= sizeof(wchar_t)) {
        wszBuf[_countof(wszBuf) - 1] = L'\0';
        ws = wszBuf;
    }
    QN_RegCloseKey(hKey);
    return ws;
}

}  // namespace

void _IsFNAppInstalledAndComplete(unsigned char* pbInstalled, unsigned char* pbComplete) {
    std::wstring wsFolder;
    std::string strFolder;
    std::string strStatus;
    if (!pbInstalled || !pbComplete) return;
    *pbInstalled = 0;
    *pbComplete = 0;
    wsFolder = ReadMachineText(std::wstring(L"SOFTWARE\\Fennimor\\tmqs\\apps\\") + kFNAppId, L"path");
    if (wsFolder.empty()) {
        std::wstring wsPackageDir = ReadMachineText(L"SOFTWARE\\Fennimor\\tmqs\\options", L"package_dir");
        if (!wsPackageDir.empty()) wsFolder = wsPackageDir + L"/" + kFNAppId;
    }
    strFolder = QN_WideToUtf8(wsFolder);
    if (strFolder.empty() || !QN_PathFileExistsA(strFolder.c_str())) return;
    *pbInstalled = 1;
    if (!QN_GetSpecialFolderPath(CSIDL_COMMON_APPDATA, &strStatus, false)) return;
    strStatus += "/Fennimor/common/apps/" + QN_WideToUtf8(kFNAppId) + "/status.ini";
    if (QN_PathFileExistsA(strStatus.c_str()) &&
        QN_GetPrivateProfileIntA("Status", "CachePercentage", 0, strStatus.c_str()) == 100)
        *pbComplete = 1;
}

int QN_IsFNInstallingQel(int* pnFlag) {
    int nResult = 0;
    uint32_t uLength = 0;
    unsigned char bInstalled = 0;
    unsigned char bComplete = 0;
    char szPath[260];

    QNLOG_PROCESS_ERROR(pnFlag);
    *pnFlag = 0;
    uLength = QN_GetModuleFileNameA(nullptr, szPath, (uint32_t)_countof(szPath));
    QNLOG_PROCESS_ERROR(uLength > 0);
    QNLOG_PROCESS_ERROR(uLength < _countof(szPath));
    if (std::strstr(szPath, "Qel_FN")) {
        _IsFNAppInstalledAndComplete(&bInstalled, &bComplete);
        if (bInstalled && !bComplete) *pnFlag = 1;
    }
    nResult = 1;
Exit0:
    return nResult;
}

int _RunCheckProcess(const char* cszProgram, const char* cszWorkingFolder, uint32_t* puExitCode) {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uWait = 0;
    std::string strCommandLine;
    QN_PROCESS_INFORMATION ProcessInfo;

    std::memset(&ProcessInfo, 0, sizeof(ProcessInfo));
    QNLOG_PROCESS_ERROR(cszProgram && puExitCode);
    strCommandLine = std::string("\"") + cszProgram + "\" --check";
    nRetCode = QN_CreateProcessA(cszProgram, strCommandLine.c_str(), cszWorkingFolder, &ProcessInfo);
    QNLOG_PROCESS_ERROR(nRetCode);
    // A check program that hangs must not hold the repair for good.
    uWait = QN_WaitForSingleObject(ProcessInfo.hProcess, g_uCheckTimeoutMs.load());
    if (uWait == QN_WAIT_TIMEOUT) {
        QN_TerminateProcess(ProcessInfo.hProcess, 1);
        QN_WaitForSingleObject(ProcessInfo.hProcess, QN_INFINITE);
    }
    QNLOG_PROCESS_ERROR(uWait == QN_WAIT_OBJECT_0);
    nRetCode = QN_GetExitCodeProcess(ProcessInfo.hProcess, puExitCode);
    QNLOG_PROCESS_ERROR(nRetCode);
    nResult = 1;
Exit0:
    if (ProcessInfo.hProcess) QN_CloseProcessHandle(ProcessInfo.hProcess);
    return nResult;
}

int QN_GetClientMPakFlag(const char* cszClientBinPath, int* pnFlag) {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uExitCode = 0;
    std::string strFolder;
    std::string strProgram;

    QNLOG_PROCESS_ERROR(pnFlag);
    *pnFlag = 0;
    // The working folder of the check is the bin folder, set for the child alone.
    if (cszClientBinPath) {
        strFolder = cszClientBinPath;
        if (!strFolder.empty() && !QN_IsPathSeparator(strFolder.back())) strFolder += '/';
        QNLOG_PROCESS_ERROR(!strFolder.empty() && QN_PathFileExistsA(strFolder.c_str()));
    } else {
        strFolder = QN_GetCurrentDirectory() + "/";
    }
    strProgram = strFolder + "Drennit.exe";
    if (QN_PathFileExistsA(strProgram.c_str())) {
        nRetCode = _RunCheckProcess(strProgram.c_str(), strFolder.c_str(), &uExitCode);
        QNLOG_CHECK_ERROR(nRetCode);
        if (!nRetCode) uExitCode = 0;
    }
    *pnFlag = uExitCode == 1 ? 1 : 0;
    nResult = 1;
Exit0:
    return nResult;
}

namespace qn::testing {
void SetCheckProcessTimeout(uint32_t uMilliseconds) {
    g_uCheckTimeoutMs.store(uMilliseconds ? uMilliseconds : kDefaultCheckTimeoutMs);
}
}  // namespace qn::testing
