// The self-update thread and the Start button: the tool makes sure it is current and runs
// from the client's own folder, then starts the repair thread.
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include "QN_ClientEnvironment.h"
#include "QN_ClientVersion.h"
#include "QN_ConfirmPathDlg.h"
#include "QN_Log.h"
#include "QN_MakeSureDir.h"
#include "QN_QelRepairDlg.h"
#include "QN_SelfUpdater.h"
#include "app_test_hooks.h"
#include "qn_fd.h"
#include "qn_file.h"
#include "qn_file_replace.h"
#include "qn_platform.h"
#include "qn_process.h"
#include "qn_same_path.h"
#include "qn_string.h"

namespace {

std::mutex& HookLock() {
    static std::mutex* s_p = new std::mutex;
    return *s_p;
}
std::function<int(const char*)>& ProcessHook() {
    static auto* s_p = new std::function<int(const char*)>;
    return *s_p;
}
std::function<void(QN_SelfUpdater*)>& UpdaterHook() {
    static auto* s_p = new std::function<void(QN_SelfUpdater*)>;
    return *s_p;
}

// Whether the two files hold the same bytes: both readable, of one size, equal throughout.
bool SameBytes(const char* cszA, const char* cszB) {
    FILE* fpA = QN_fopen(cszA, "rb");
    FILE* fpB = fpA ? QN_fopen(cszB, "rb") : nullptr;
    bool bSame = fpA && fpB;
    if (bSame && (QN_fseeki64(fpA, 0, SEEK_END) != 0 || QN_fseeki64(fpB, 0, SEEK_END) != 0 ||
                  QN_ftelli64(fpA) != QN_ftelli64(fpB) || QN_fseeki64(fpA, 0, SEEK_SET) != 0 ||
                  QN_fseeki64(fpB, 0, SEEK_SET) != 0))
        bSame = false;
    while (bSame) {
        char bufA[16384], bufB[16384];
        const size_t uA = std::fread(bufA, 1, sizeof(bufA), fpA);
        const size_t uB = std::fread(bufB, 1, sizeof(bufB), fpB);
        if (uA != uB || std::memcmp(bufA, bufB, uA) != 0 || std::ferror(fpA) || std::ferror(fpB)) bSame = false;
        if (uA == 0) break;
    }
    if (fpB) std::fclose(fpB);
    if (fpA) std::fclose(fpA);
    return bSame;
}

// Whether the file at the target is already the running program: a regular file of its own (a
// link there is replaced by a copy instead) with the program's bytes, that no process runs (a
// copy of the tool running from the root is refused by the copy, as before). It then gets the
// program's permission bits, as a copy would, so that it can be started.
bool TargetHoldsProgram(const std::string& strProgram, const std::string& strTarget) {
    uint32_t uTargetMode = 0, uProgramMode = 0;
    if (QN_GetNameKind(strTarget.c_str(), &uTargetMode) != QN_NAME_REGULAR) return false;
    if (QN_IsRunningProgramFile(strTarget.c_str())) return false;
    if (!QN_GetRegularFileMode(strProgram.c_str(), &uProgramMode)) return false;
    if (!SameBytes(strProgram.c_str(), strTarget.c_str())) return false;
    return uTargetMode == uProgramMode || QN_SetFileMode(strTarget.c_str(), uProgramMode);
}

// Removes the side file that a copy killed midway left beside the target, where no copy runs
// now (a copy removes it itself); the last error stays as it was.
void RemoveLeftSideFile(const std::string& strTarget) {
    QN_LastErrorKeeper keep;
    QN_RemoveCopySideFile(strTarget.c_str());
}

}  // namespace

QN_REPAIR_DIALOG_WORKERS QN_GetProgramRepairDialogWorkers() {
    return {&QN_QelRepairDlg::_SelfUpdateThreadEntry, &QN_QelRepairDlg::_StartClickedEntry};
}

int QN_QelRepairDlg::_SelfUpdateThreadEntry(void* pvDialog) {
    return static_cast<QN_QelRepairDlg*>(pvDialog)->_SelfUpdateThreadFunction();
}

void QN_QelRepairDlg::_StartClickedEntry(QN_QelRepairDlg* pDialog) { pDialog->_StartRepairFlow(); }

int QN_QelRepairDlg::_SelfUpdateThreadFunction() {
    int nResult = 0;
    int nRetCode = 0;
    int nNeedUpdate = 0;
    QN_SelfUpdater SelfUpdater;
    char szCommandLine[512];

    _SetStatusText("正在检查修复工具新版本，请稍候...");
    PostMessage(WM_DISABLE_EXIT, 0, 0);
    PostMessage(WM_DISABLE_START_BUTTON, 0, 0);
    {
        std::lock_guard<std::mutex> lock(HookLock());
        if (UpdaterHook()) UpdaterHook()(&SelfUpdater);
    }

    nRetCode = SelfUpdater.Init(m_szRepairServerURL, m_strTempPath.c_str());
    QNLOG_PROCESS_ERROR(nRetCode);
    nRetCode = SelfUpdater.CheckNeedUpdate(&nNeedUpdate);
    QNLOG_PROCESS_ERROR(nRetCode);
    if (nNeedUpdate) {
        nRetCode = SelfUpdater.Update();
        QNLOG_PROCESS_ERROR(nRetCode);
        // Quoted, so that a path with blanks names this program and nothing before a blank.
        nRetCode = QN_snprintf(szCommandLine, sizeof(szCommandLine), "\"%s\"", m_strExePath.c_str());
        QNLOG_PROCESS_ERROR(nRetCode > 0);
        QNLOG_PROCESS_ERROR(nRetCode < (int)sizeof(szCommandLine));
        nRetCode = _CreateNewApplicationProcess(szCommandLine);
        QNLOG_PROCESS_ERROR(nRetCode);
    }
    _SetStatusText("准备修复：请先确认客户端所在磁盘空间充裕及网络连接顺畅，再点击开始修复按钮...");
    nResult = 1;
Exit0:
    if (!nResult) _SetStatusText("自更新失败，请检查网络连接或者手动下载最新版本修复程序后再运行 ！");
    PostMessage(WM_ENABLE_START_BUTTON, 0, 0);
    PostMessage(WM_ENABLE_EXIT, 0, 0);
    if (nResult && nNeedUpdate) {
        // The new copy uses the same temporary folder from now on.
        m_bHandedOver = 1;
        PostMessage(WM_CLOSE_REPAIR_DIALOG, 0, 0);
    }
    return nResult;
}

int QN_QelRepairDlg::_CreateNewApplicationProcess(char* szCommandLine) {
    int nResult = 0;
    int nRetCode = 0;
    QN_PROCESS_INFORMATION ProcessInfo;
    std::function<int(const char*)> fnHook;

    std::memset(&ProcessInfo, 0, sizeof(ProcessInfo));
    QNLOG_PROCESS_ERROR(szCommandLine);
    {
        std::lock_guard<std::mutex> lock(HookLock());
        fnHook = ProcessHook();
    }
    if (fnHook) {
        nRetCode = fnHook(szCommandLine);
    } else {
        nRetCode = QN_CreateProcessA(nullptr, szCommandLine, nullptr, &ProcessInfo);
        if (nRetCode) QN_CloseProcessHandle(ProcessInfo.hProcess);
    }
    QNLOG_PROCESS_ERROR(nRetCode);
    nResult = 1;
Exit0:
    if (!nResult) QNLog_Printf(7, "Failed to create new application process, Error code: %d", (int)QN_GetLastError());
    return nResult;
}

int QN_QelRepairDlg::_ConfirmClientPath(int* pnRetRelaunched) {
    int nResult = 0;
    int nRetCode = 0;
    QN_ConfirmPathDlg ConfirmPathDlg(this);
    std::string strChosen;
    std::string strTarget;
    char szCommandLine[512];

    QNLOG_PROCESS_ERROR(pnRetRelaunched);
    if (QN_GetClientVersionType(m_strClientPath.c_str()) == QN_CLIENT_VERSION_TYPE::Invalid) {
        nRetCode = ConfirmPathDlg.Init(m_strClientPath.c_str());
        QNLOG_PROCESS_ERROR(nRetCode);
        ConfirmPathDlg.DoModal();
        // A cancelled choice changes nothing and says nothing.
        if (ConfirmPathDlg.m_bCancel) return 0;
        strChosen = ConfirmPathDlg.m_strSelectedPath;
    } else {
        strChosen = m_strClientPath;
    }
    // The same folder only by identity or exact text: on this system ".../WORK/" and ".../work/"
    // are two folders, and taking one for the other would leave the tool in the wrong one.
    strTarget = strChosen + "QelRepair.exe";
    if (QN_IsSamePath(strChosen.c_str(), m_strClientPath.c_str())) {
        RemoveLeftSideFile(strTarget);
        return 1;
    }

    nRetCode = QN_MakeSureDirForFile(strTarget.c_str());
    QNLOG_PROCESS_ERROR(nRetCode);
    // A root that already holds this very program needs no copy, and the tool goes on from
    // that file: the copy is written beside the target first, so it would need the program's
    // whole size free even where nothing changes, which a full disk does not have.
    if (TargetHoldsProgram(m_strExePath, strTarget)) {
        RemoveLeftSideFile(strTarget);
        nRetCode = 1;
    } else {
        nRetCode = QN_CopyFileA(m_strExePath.c_str(), strTarget.c_str(), 0);
    }
    // The copy leaves no partial file behind; the line says which system error stopped it, when
    // a system call failed (a copy refused because a running program is at the target sets none).
    if (!nRetCode) {
        char szErrnoText[128];
        const int nErrno = QN_GetLastErrno();
        if (nErrno)
            QNLog_Printf(7, "Failed to copy %s to %s: %s", m_strExePath.c_str(), strTarget.c_str(),
                         QN_ErrnoText(nErrno, szErrnoText, sizeof(szErrnoText)));
        else
            QNLog_Printf(7, "Failed to copy %s to %s", m_strExePath.c_str(), strTarget.c_str());
    }
    QNLOG_PROCESS_ERROR(nRetCode);
    nRetCode = QN_snprintf(szCommandLine, sizeof(szCommandLine), "\"%s\" %s", strTarget.c_str(), "-i");
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR(nRetCode < (int)sizeof(szCommandLine));
    nRetCode = _CreateNewApplicationProcess(szCommandLine);
    QNLOG_PROCESS_ERROR(nRetCode);
    qnui::PostQuitMessage(0);
    *pnRetRelaunched = 1;
    return 1;
Exit0:
    {
        uint32_t uError = QN_GetLastError();
        _SetStatusText("修复失败：无法确定客户端路径！");
        QNLog_Printf(7, "Failed to confirm client path, GetLastError() = %d.", (int)uError);
    }
    return nResult;
}

void QN_QelRepairDlg::_StartRepairFlow() {
    int nRetCode = 0;
    int nRelaunched = 0;
    int nInstalling = 0;
    std::string strFileName;
    char szText[512];

    if (m_bAllRepaired) {
        qnui::PostQuitMessage(0);
        return;
    }
    if (!m_bPathConfirmed) {
        nRetCode = _ConfirmClientPath(&nRelaunched);
        QNLOG_PROCESS_ERROR(nRetCode);
        if (nRelaunched) return;
    }
    if (_IsOtherClientApplicationRunning(&strFileName)) {
        QN_snprintf(szText, sizeof(szText), "修复失败：《Qel》客户端相关程序正在运行，请先关闭 %s！", strFileName.c_str());
        szText[sizeof(szText) - 1] = '\0';
        _SetStatusText(szText);
        QNLOG_PROCESS_ERROR(false && "_IsOtherClientApplicationRunning()");
    }
    nRetCode = QN_IsFNInstallingQel(&nInstalling);
    if (nRetCode && nInstalling) {
        _SetStatusText(
            "修复失败：QuorvaneFennimor正在下载客户端资源，请耐心等待下载完成后再运行修复工具！");
        QNLOG_PROCESS_ERROR(false && "QN_IsFNInstallingQel()");
    }
    m_WorkThread.Wait();
    m_WorkThread.Create(&QN_QelRepairDlg::_RepairThreadEntry, this);
Exit0:
    return;
}

namespace qn::testing {
void SetCreateProcessHook(std::function<int(const char* cszCommandLine)> fnHook) {
    std::lock_guard<std::mutex> lock(HookLock());
    ProcessHook() = std::move(fnHook);
}
void SetSelfUpdaterHook(std::function<void(QN_SelfUpdater* pUpdater)> fnHook) {
    std::lock_guard<std::mutex> lock(HookLock());
    UpdaterHook() = std::move(fnHook);
}
}  // namespace qn::testing
