// Shortcut retargeting over the shell-link objects and the folder listing.
#include "QN_EditShortcut.h"

#include <string>

#include "QN_Log.h"
#include "QN_QelRepairDlg.h"
#include "qn_file.h"
#include "qn_find_file.h"
#include "qn_platform.h"
#include "qn_same_path.h"
#include "qn_shell_link.h"
#include "qn_special_folder.h"
#include "qn_string.h"

namespace {

const int kShortcutFolders[] = {CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_STARTMENU,
                                CSIDL_STARTMENU, CSIDL_APPDATA};
const char kQuickLaunchFolder[] = "/Microsoft/Internet Explorer/Quick Launch";

}  // namespace

// Reads a link's target and arguments: 1 only when the file loads as a link with a file-system
// target and both texts could be read.
static int _GetShortcutLinkedInfo(const char* cszFileName, std::string* pRetTarget, std::string* pRetArguments) {
    int nResult = 0;
    HRESULT hRetCode = E_FAIL;
    IShellLinkA* piShellLink = nullptr;
    IPersistFile* piPersistFile = nullptr;
    std::wstring wstrFileName = QN_Utf8ToWide(cszFileName);
    char szTarget[260];
    char szArguments[1024];

    pRetTarget->clear();
    pRetArguments->clear();
    hRetCode = QN_CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&piShellLink);
    if (hRetCode != S_OK) goto Exit0;
    hRetCode = piShellLink->QueryInterface(IID_IPersistFile, (void**)&piPersistFile);
    if (hRetCode != S_OK) goto Exit0;
    hRetCode = piPersistFile->Load(wstrFileName.c_str(), 0);
    if (hRetCode != S_OK) goto Exit0;
    hRetCode = piShellLink->GetPath(szTarget, (int)_countof(szTarget), nullptr, SLGP_RAWPATH);
    if (hRetCode != S_OK) goto Exit0;
    hRetCode = piShellLink->GetArguments(szArguments, (int)_countof(szArguments));
    if (hRetCode != S_OK) goto Exit0;

    *pRetTarget = szTarget;
    *pRetArguments = szArguments;
    nResult = 1;
Exit0:
    if (piPersistFile) piPersistFile->Release();
    if (piShellLink) piShellLink->Release();
    return nResult;
}

// Points a link at the new target with the new arguments. The link is read first, so that its
// working folder, icon, description, hot key and window state stay as the user set them.
static int _SetShortcutLinkedInfo(const char* cszFileName, const char* cszNewApplicationFileName,
                                  const char* cszNewArgument) {
    int nResult = 0;
    HRESULT hRetCode = E_FAIL;
    IShellLinkA* piShellLink = nullptr;
    IPersistFile* piPersistFile = nullptr;
    std::wstring wstrFileName = QN_Utf8ToWide(cszFileName);

    hRetCode = QN_CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&piShellLink);
    QNLOG_PROCESS_ERROR(hRetCode == S_OK);
    hRetCode = piShellLink->QueryInterface(IID_IPersistFile, (void**)&piPersistFile);
    QNLOG_PROCESS_ERROR(hRetCode == S_OK);
    hRetCode = piPersistFile->Load(wstrFileName.c_str(), 0);
    QNLOG_PROCESS_ERROR(hRetCode == S_OK);
    hRetCode = piShellLink->SetPath(cszNewApplicationFileName);
    QNLOG_PROCESS_ERROR(hRetCode == S_OK);
    // Set even when empty, so that the link holds exactly the new arguments.
    hRetCode = piShellLink->SetArguments(cszNewArgument);
    QNLOG_PROCESS_ERROR(hRetCode == S_OK);

    QN_SetFileAttributesNormalW(wstrFileName.c_str());
    hRetCode = piPersistFile->Save(wstrFileName.c_str(), 0);
    QNLOG_PROCESS_ERROR(hRetCode == S_OK);

    nResult = 1;
Exit0:
    if (!nResult) {
        QNLog_Printf(7, "Failed to set linked information for shortcut %s, hRetCode = %X", cszFileName,
                     (unsigned)hRetCode);
    }
    if (piPersistFile) piPersistFile->Release();
    if (piShellLink) piShellLink->Release();
    return nResult;
}

// Retargets one file when it is a link to the old target with the old arguments. 0 only when
// such a link could not be rewritten.
static int _EditShortcutIfMatch(const char* cszFileName, const char* cszOriginApplicaionFileName,
                                const char* cszOriginArgument, const char* cszNewApplicationFileName,
                                const char* cszNewArgument) {
    int nResult = 0;
    int nRetCode = 0;
    std::string strTarget;
    std::string strArguments;

    nRetCode = _GetShortcutLinkedInfo(cszFileName, &strTarget, &strArguments);
    // The target must be the old program itself: a link to the same name in another letter case
    // points into another installation here and is left alone.
    if (!nRetCode || !QN_IsSamePath(strTarget.c_str(), cszOriginApplicaionFileName) ||
        (cszOriginArgument && QN_StrICmp(strArguments.c_str(), cszOriginArgument) != 0)) {
        nResult = 1;
        goto Exit0;
    }
    nRetCode = _SetShortcutLinkedInfo(cszFileName, cszNewApplicationFileName, cszNewArgument);
    QNLOG_PROCESS_ERROR(nRetCode && "_SetShortcutLinkedInfo()");

    nResult = 1;
Exit0:
    return nResult;
}

// Walks one folder tree. Sub-folders whose names begin with '.' are not entered; symbolic links
// are listed as files, so they are never followed. A folder that cannot be listed counts as
// done.
static int _EditAllShortcutInDir(const char* cszDirectory, const char* cszOriginApplicaionFileName,
                                 const char* cszOriginArgument, const char* cszNewApplicationFileName,
                                 const char* cszNewArgument) {
    int nResult = 0;
    int nRetCode = 0;
    QN_HFIND hFind = nullptr;
    WIN32_FIND_DATAA FindData;
    std::string strDirectory = cszDirectory;
    std::string strPath;

    if (strDirectory.empty() || !QN_IsPathSeparator(strDirectory.back())) strDirectory += "/";
    hFind = QN_FindFirstFileA((strDirectory + "*").c_str(), &FindData);
    if (!hFind) {
        nResult = 1;
        goto Exit0;
    }
    do {
        if (FindData.cFileName[0] == '.') continue;
        strPath = strDirectory + FindData.cFileName;
        if (FindData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            nRetCode = _EditAllShortcutInDir(strPath.c_str(), cszOriginApplicaionFileName, cszOriginArgument,
                                             cszNewApplicationFileName, cszNewArgument);
            QNLOG_PROCESS_ERROR(nRetCode && "_EditShortcutInDir()");
            continue;
        }
        _EditShortcutIfMatch(strPath.c_str(), cszOriginApplicaionFileName, cszOriginArgument,
                             cszNewApplicationFileName, cszNewArgument);
    } while (QN_FindNextFileA(hFind, &FindData));
    if (QN_GetLastError() != ERROR_NO_MORE_FILES) QNLOG_PROCESS_ERROR(false && "FindNextFile()");

    nResult = 1;
Exit0:
    if (!nResult) {
        QNLog_Printf(7, "Failed to edit shortcut in directory `%s`, Error code: %d", cszDirectory, (int)QN_GetLastError());
    }
    if (hFind) QN_FindClose(hFind);
    return nResult;
}

int QN_EditAllShortcut(const char* cszOriginApplicaionFileName, const char* cszNewApplicationFileName,
                       const char* cszNewArgument) {
    int nResult = 0;
    int nRetCode = 0;
    HRESULT hRetCode = E_FAIL;
    HRESULT hInitCode = E_FAIL;
    LPITEMIDLIST pItemIDList = nullptr;
    char szFolder[260];
    std::string strFolder;

    QNLOG_PROCESS_ERROR(cszOriginApplicaionFileName);
    QNLOG_PROCESS_ERROR(cszOriginApplicaionFileName[0]);
    QNLOG_PROCESS_ERROR(cszNewApplicationFileName);
    QNLOG_PROCESS_ERROR(cszNewApplicationFileName[0]);
    QNLOG_PROCESS_ERROR(cszNewArgument);

    hInitCode = QN_CoInitialize(nullptr);
    hRetCode = hInitCode;
    QNLOG_PROCESS_ERROR(hRetCode == S_OK);

    for (size_t i = 0; i < _countof(kShortcutFolders); ++i) {
        hRetCode = QN_SHGetSpecialFolderLocation(nullptr, kShortcutFolders[i], &pItemIDList);
        QNLOG_PROCESS_ERROR(hRetCode == S_OK && "SHGetSpecialFolderLocation()");
        hRetCode = QN_SHGetPathFromIDListA(pItemIDList, szFolder);
        QN_ILFree(pItemIDList);
        pItemIDList = nullptr;
        QNLOG_PROCESS_ERROR(hRetCode && "SHGetPathFromIDList()");

        strFolder = szFolder;
        if (kShortcutFolders[i] == CSIDL_APPDATA) strFolder += kQuickLaunchFolder;
        nRetCode = _EditAllShortcutInDir(strFolder.c_str(), cszOriginApplicaionFileName, "", cszNewApplicationFileName,
                                         cszNewArgument);
        QNLOG_PROCESS_ERROR(nRetCode && "_EditShortcutInDir()");
    }

    nResult = 1;
Exit0:
    if (pItemIDList) QN_ILFree(pItemIDList);
    // S_FALSE (already initialised) also counts and is undone here.
    if (SUCCEEDED(hInitCode)) QN_CoUninitialize();
    return nResult;
}

int QN_QelRepairDlg::_EditAllShortcut() {
    int nResult = 0;
    int nRetCode = 0;
    std::string strRoot = m_strClientPath;
    std::string strOrigin;
    std::string strLauncher;

    if (strRoot.empty() || !QN_IsPathSeparator(strRoot.back())) strRoot += "/";
    strLauncher = strRoot + "QelLauncher.exe";

    strOrigin = strRoot + "gameupdater.exe";
    nRetCode = QN_EditAllShortcut(strOrigin.c_str(), strLauncher.c_str(), "");
    QNLOG_PROCESS_ERROR(nRetCode && "QN_EditAllShortcut()");

    strOrigin = strRoot + "GameConfig.exe";
    nRetCode = QN_EditAllShortcut(strOrigin.c_str(), strLauncher.c_str(), "-c");
    QNLOG_PROCESS_ERROR(nRetCode && "QN_EditAllShortcut()");

    nResult = 1;
Exit0:
    return nResult;
}
