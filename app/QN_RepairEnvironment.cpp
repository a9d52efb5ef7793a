// The main dialog's checks of the client's environment.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "QN_ClientEnvironment.h"
#include "QN_Log.h"
#include "QN_QelRepairDlg.h"
#include "app_test_hooks.h"
#include "qn_platform.h"
#include "qn_process.h"
#include "qn_same_path.h"
#include "qn_string.h"

namespace {

// Whether the path begins with the folder's path (with its separator at the end) as written,
// letter case included: on this system ".../WORK/" and ".../work/" are two folders, and a
// file system that folds case makes them one folder, which the identity test below sees. The
// two separators count as one.
bool PathStartsWith(const std::string& s, const std::string& strPrefix) {
    if (s.size() < strPrefix.size()) return false;
    for (size_t i = 0; i < strPrefix.size(); ++i) {
        if (QN_IsPathSeparator(s[i]) && QN_IsPathSeparator(strPrefix[i])) continue;
        if (s[i] != strPrefix[i]) return false;
    }
    return true;
}

// Whether the program runs from the client folder: its path begins with the folder's, or one
// of its folders is the client folder itself by device and inode (the folder reached through a
// link or a bind mount, written another way, or spelt in another letter case where the file
// system folds case). A program that may be the client's counts.
bool RunsFromClientFolder(const std::string& strProgram, const std::string& strClientPath) {
    if (strClientPath.empty()) return false;
    return PathStartsWith(strProgram, strClientPath) ||
           QN_IsInFolderByIdentity(strProgram.c_str(), strClientPath.c_str());
}

std::mutex& HookLock() {
    static std::mutex* s_p = new std::mutex;
    return *s_p;
}
std::function<std::vector<std::string>()>& ProgramsHook() {
    static auto* s_p = new std::function<std::vector<std::string>()>;
    return *s_p;
}

// The program files that the other processes of the machine run. 0 when the process list
// cannot be read.
int ListOtherPrograms(std::vector<std::string>* pRetPrograms) {
    int nRetCode = 0;
    uint32_t cbNeeded = 0;
    const uint32_t uOwnPid = QN_GetCurrentProcessId();
    std::vector<uint32_t> ids(1024);
    {
        std::lock_guard<std::mutex> lock(HookLock());
        if (ProgramsHook()) {
            *pRetPrograms = ProgramsHook()();
            return 1;
        }
    }
    // The list is grown until it holds every process: on a busy machine the newest ones, the
    // client just started among them, come last.
    for (;;) {
        nRetCode = QN_EnumProcesses(ids.data(), (uint32_t)(ids.size() * sizeof(uint32_t)), &cbNeeded);
        if (!nRetCode) return 0;
        if (cbNeeded < ids.size() * sizeof(uint32_t)) break;
        ids.resize(ids.size() * 2);
    }
    ids.resize(cbNeeded / sizeof(uint32_t));
    for (uint32_t uPid : ids) {
        char szPath[260];
        uint32_t uLength = 0;
        QN_HPROCESS hProcess = nullptr;
        // The tool itself, whatever its file is called now (after a self-update its running
        // file is the backup in the temporary folder).
        if (uPid == uOwnPid) continue;
        hProcess = QN_OpenProcess(QN_PROCESS_QUERY_INFORMATION | QN_PROCESS_VM_READ, 0, uPid);
        if (!hProcess) continue;
        uLength = QN_GetModuleFileNameExA(hProcess, nullptr, szPath, (uint32_t)_countof(szPath));
        QN_CloseProcessHandle(hProcess);
        if (uLength == 0) continue;
        pRetPrograms->emplace_back(szPath, uLength);
    }
    return 1;
}

}  // namespace

int QN_QelRepairDlg::_IsOtherClientApplicationRunning(std::string* pRetFileName) {
    int nResult = 0;
    int nRetCode = 0;
    std::vector<std::string> programs;

    QNLOG_PROCESS_ERROR(pRetFileName);
    nRetCode = ListOtherPrograms(&programs);
    if (!nRetCode) goto Exit0;
    for (const std::string& strPath : programs) {
        if (!RunsFromClientFolder(strPath, m_strClientPath)) continue;
        // Another copy of the tool's own file is no client program.
        if (QN_IsSamePath(strPath.c_str(), m_strExePath.c_str())) continue;
        size_t uSeparator = strPath.find_last_of("/\\");
        *pRetFileName = uSeparator == std::string::npos ? strPath : strPath.substr(uSeparator + 1);
        nResult = 1;
        break;
    }
Exit0:
    return nResult;
}

int QN_QelRepairDlg::_RemoveDir(const char* cszPath) { return _RemoveDirectory(cszPath, m_strTempPath.c_str()); }

namespace qn::testing {
void SetRunningProgramsHook(std::function<std::vector<std::string>()> fnHook) {
    std::lock_guard<std::mutex> lock(HookLock());
    ProgramsHook() = std::move(fnHook);
}
}  // namespace qn::testing
