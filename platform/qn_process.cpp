// Processes, program starts and the single-instance lock.
#include "qn_file.h"
#include "qn_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "qn_platform.h"
#include "qn_test_hooks.h"

extern char** environ;

struct QN_PROCESS__ {
    pid_t pid;
    bool bChild;   // started by this process, so it can be waited for
    bool bReaped;  // waited for; nExitCode holds its result
    uint32_t uExitCode;
};

namespace {

std::string ReadLink(const std::string& strPath) {
    char szBuf[PATH_MAX + 1];
    ssize_t n = ::readlink(strPath.c_str(), szBuf, PATH_MAX);
    if (n <= 0) return std::string();
    return std::string(szBuf, (size_t)n);
}

std::mutex& PathLock() {
    static std::mutex* s_p = new std::mutex;
    return *s_p;
}
std::string& ModulePathOverride() {
    static std::string* s_p = new std::string;
    return *s_p;
}
std::string& InstanceLockPath() {
    static std::string* s_p = new std::string;
    return *s_p;
}
qn::testing::ShellOpenHook g_pfnShellOpenHook = nullptr;

// Read before main() runs, so that it stays the start-up path.
const std::string& StartupModulePath() {
    static const std::string* s_p = new std::string(ReadLink("/proc/self/exe"));
    return *s_p;
}
[[maybe_unused]] const bool g_bModulePathRead = !StartupModulePath().empty() || true;

uint32_t Win32ErrorOfSpawn(int nErr) {
    switch (nErr) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    default:
        return QN_Win32ErrorFromErrno(nErr);
    }
}

bool IsExecutableFile(const std::string& strPath) {
    struct stat st;
    return ::stat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string CurrentFolder() {
    char szBuf[PATH_MAX];
    if (!::getcwd(szBuf, sizeof(szBuf))) return std::string();
    return szBuf;
}

// The program to run as an absolute path: the child's working folder must not change where
// a relative name is found.
bool ResolveProgram(const std::string& strProgram, std::string* pPath) {
    const std::string strName = QN_NativePath(strProgram.c_str());
    if (strName.empty()) return false;
    std::string strCwd = CurrentFolder();
    if (strName.find('/') != std::string::npos) {
        *pPath = strName[0] == '/' ? strName : strCwd + "/" + strName;
        return true;
    }
    if (!strCwd.empty() && IsExecutableFile(strCwd + "/" + strName)) {
        *pPath = strCwd + "/" + strName;
        return true;
    }
    const char* cszPath = std::getenv("PATH");
    std::string strList = cszPath ? cszPath : "/usr/local/bin:/usr/bin:/bin";
    size_t b = 0;
    while (b <= strList.size()) {
        size_t e = strList.find(':', b);
        if (e == std::string::npos) e = strList.size();
        std::string strDir = strList.substr(b, e - b);
        if (strDir.empty()) strDir = ".";
        std::string strCandidate = strDir + "/" + strName;
        if (::access(strCandidate.c_str(), X_OK) == 0 && IsExecutableFile(strCandidate)) {
            *pPath = strCandidate[0] == '/' ? strCandidate : strCwd + "/" + strCandidate;
            return true;
        }
        b = e + 1;
    }
    return false;
}

// Starts argv[0] (an absolute path) with the arguments; 0 or an errno value.
int Spawn(const std::string& strProgram, const std::vector<std::string>& args, const char* cszCwd, pid_t* pPid) {
    std::vector<char*> argv;
    for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (cszCwd && cszCwd[0]) posix_spawn_file_actions_addchdir_np(&actions, cszCwd);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    int nErr = ::posix_spawn(pPid, strProgram.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return nErr;
}

uint32_t ExitCodeOf(int nStatus) {
    if (WIFEXITED(nStatus)) return (uint32_t)WEXITSTATUS(nStatus);
    if (WIFSIGNALED(nStatus)) return 128u + (uint32_t)WTERMSIG(nStatus);
    return 1;
}

bool ReapIfEnded(QN_HPROCESS h, bool bBlock) {
    if (h->bReaped) return true;
    int nStatus = 0;
    pid_t r;
    do {
        r = ::waitpid(h->pid, &nStatus, bBlock ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == h->pid) {
        h->bReaped = true;
        h->uExitCode = ExitCodeOf(nStatus);
        return true;
    }
    return false;
}

}  // namespace

int QN_EnumProcesses(uint32_t* pIds, uint32_t cb, uint32_t* pcbNeeded) {
    if (!pcbNeeded || (!pIds && cb)) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DIR* pDir = ::opendir("/proc");
    if (!pDir) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    std::vector<uint32_t> ids;
    while (dirent* pEntry = ::readdir(pDir)) {
        const char* csz = pEntry->d_name;
        if (!*csz || std::strspn(csz, "0123456789") != std::strlen(csz)) continue;
        ids.push_back((uint32_t)std::strtoul(csz, nullptr, 10));
    }
    ::closedir(pDir);
    std::sort(ids.begin(), ids.end());
    size_t n = std::min<size_t>(ids.size(), cb / sizeof(uint32_t));
    if (n) std::memcpy(pIds, ids.data(), n * sizeof(uint32_t));
    *pcbNeeded = (uint32_t)(n * sizeof(uint32_t));
    return 1;
}

QN_HPROCESS QN_OpenProcess(uint32_t /*uAccess*/, int /*bInherit*/, uint32_t uPid) {
    struct stat st;
    std::string strPath = "/proc/" + std::to_string(uPid);
    if (uPid == 0 || ::stat(strPath.c_str(), &st) != 0) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return new QN_PROCESS__{(pid_t)uPid, false, false, 0};
}

uint32_t QN_GetModuleFileNameExA(QN_HPROCESS hProcess, void* /*hModule*/, char* szBuf, uint32_t uSize) {
    if (!hProcess || !szBuf || uSize == 0) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string strPath = ReadLink("/proc/" + std::to_string(hProcess->pid) + "/exe");
    if (strPath.empty()) {
        QN_SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    static const char kDeleted[] = " (deleted)";
    if (strPath.size() > sizeof(kDeleted) - 1 &&
        strPath.compare(strPath.size() - (sizeof(kDeleted) - 1), std::string::npos, kDeleted) == 0)
        strPath.resize(strPath.size() - (sizeof(kDeleted) - 1));
    size_t n = std::min<size_t>(strPath.size(), uSize - 1);
    std::memcpy(szBuf, strPath.data(), n);
    szBuf[n] = 0;
    return (uint32_t)n;
}

uint32_t QN_GetModuleFileNameA(void* /*hModule*/, char* szBuf, uint32_t uSize) {
    if (!szBuf || uSize == 0) {
        QN_SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::string strPath;
    {
        std::lock_guard<std::mutex> lock(PathLock());
        strPath = ModulePathOverride();
    }
    if (strPath.empty()) strPath = StartupModulePath();
    if (strPath.empty()) {
        QN_SetLastError(ERROR_FILE_NOT_FOUND);
        szBuf[0] = 0;
        return 0;
    }
    if (strPath.size() >= uSize) {
        std::memcpy(szBuf, strPath.data(), uSize - 1);
        szBuf[uSize - 1] = 0;
        QN_SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return uSize;
    }
    std::memcpy(szBuf, strPath.c_str(), strPath.size() + 1);
    return (uint32_t)strPath.size();
}

uint32_t QN_GetCurrentProcessId() { return (uint32_t)::getpid(); }

int QN_SetCurrentDirectoryA(const char* cszPath) {
    if (!cszPath || !cszPath[0]) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string strPath = QN_NativePath(cszPath);
    if (::chdir(strPath.c_str()) != 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    return 1;
}

std::vector<std::string> QN_SplitCommandLine(const char* cszCommandLine) {
    std::vector<std::string> args;
    if (!cszCommandLine) return args;
    const char* p = cszCommandLine;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        std::string strArg;
        bool bQuoted = false;
        while (*p && (bQuoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '\\') {
                size_t n = 0;
                while (*p == '\\') {
                    ++n;
                    ++p;
                }
                if (*p == '"') {
                    strArg.append(n / 2, '\\');
                    if (n % 2) {
                        strArg.push_back('"');
                        ++p;
                    }
                } else {
                    strArg.append(n, '\\');
                }
                continue;
            }
            if (*p == '"') {
                // A doubled quote inside quotes is one literal quote.
                if (bQuoted && p[1] == '"') {
                    strArg.push_back('"');
                    p += 2;
                    continue;
                }
                bQuoted = !bQuoted;
                ++p;
                continue;
            }
            strArg.push_back(*p++);
        }
        args.push_back(strArg);
    }
    return args;
}

int QN_CreateProcessA(const char* cszApplicationName, const char* cszCommandLine, const char* cszCurrentDirectory,
                      QN_PROCESS_INFORMATION* pInfo) {
    if (!pInfo) {
        QN_SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    pInfo->hProcess = nullptr;
    pInfo->dwProcessId = 0;
    std::vector<std::string> args = QN_SplitCommandLine(cszCommandLine);
    std::string strName = cszApplicationName && cszApplicationName[0] ? cszApplicationName : (args.empty() ? "" : args[0]);
    if (args.empty()) args.push_back(strName);
    std::string strProgram;
    if (!ResolveProgram(strName, &strProgram)) {
        QN_SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::string strCwd;
    if (cszCurrentDirectory && cszCurrentDirectory[0]) {
        strCwd = QN_NativePath(cszCurrentDirectory);
        struct stat st;
        if (::stat(strCwd.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            QN_SetLastError(ERROR_DIRECTORY);
            return 0;
        }
    }
    pid_t pid = 0;
    int nErr = Spawn(strProgram, args, strCwd.empty() ? nullptr : strCwd.c_str(), &pid);
    if (nErr != 0) {
        QN_SetLastError(Win32ErrorOfSpawn(nErr));
        return 0;
    }
    pInfo->hProcess = new QN_PROCESS__{pid, true, false, 0};
    pInfo->dwProcessId = (uint32_t)pid;
    return 1;
}

uint32_t QN_WaitForSingleObject(QN_HPROCESS hProcess, uint32_t uMilliseconds) {
    if (!hProcess || !hProcess->bChild) {
        QN_SetLastError(ERROR_INVALID_HANDLE);
        return QN_WAIT_FAILED;
    }
    if (ReapIfEnded(hProcess, false)) return QN_WAIT_OBJECT_0;
    if (uMilliseconds == QN_INFINITE) return ReapIfEnded(hProcess, true) ? QN_WAIT_OBJECT_0 : QN_WAIT_FAILED;
    int nPidFd = (int)::syscall(SYS_pidfd_open, hProcess->pid, 0);
    if (nPidFd < 0) {
        QN_SetLastErrorFromErrno();
        return QN_WAIT_FAILED;
    }
    struct pollfd pfd = {nPidFd, POLLIN, 0};
    int nRet;
    do {
        nRet = ::poll(&pfd, 1, uMilliseconds > (uint32_t)INT_MAX ? INT_MAX : (int)uMilliseconds);
    } while (nRet < 0 && errno == EINTR);
    ::close(nPidFd);
    if (nRet == 0) return QN_WAIT_TIMEOUT;
    if (nRet < 0) {
        QN_SetLastErrorFromErrno();
        return QN_WAIT_FAILED;
    }
    return ReapIfEnded(hProcess, true) ? QN_WAIT_OBJECT_0 : QN_WAIT_FAILED;
}

int QN_GetExitCodeProcess(QN_HPROCESS hProcess, uint32_t* puExitCode) {
    if (!hProcess || !puExitCode || !hProcess->bChild) {
        QN_SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    *puExitCode = ReapIfEnded(hProcess, false) ? hProcess->uExitCode : QN_STILL_ACTIVE;
    return 1;
}

int QN_TerminateProcess(QN_HPROCESS hProcess, uint32_t /*uExitCode*/) {
    if (!hProcess || !hProcess->bChild) {
        QN_SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (hProcess->bReaped) return 1;
    if (::kill(hProcess->pid, SIGKILL) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int QN_CloseProcessHandle(QN_HPROCESS hProcess) {
    if (!hProcess) {
        QN_SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (hProcess->bChild && !hProcess->bReaped && !ReapIfEnded(hProcess, false)) {
        pid_t pid = hProcess->pid;
        std::thread([pid] {
            int nStatus;
            while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    delete hProcess;
    return 1;
}

int QN_ShellOpen(const char* cszVerb, const char* cszFile) {
    if (!cszFile || !cszFile[0]) {
        QN_SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    qn::testing::ShellOpenHook pfnHook;
    {
        std::lock_guard<std::mutex> lock(PathLock());
        pfnHook = g_pfnShellOpenHook;
    }
    if (pfnHook) {
        pfnHook(cszVerb ? cszVerb : "", cszFile);
        return 1;
    }
    std::string strProgram;
    if (!ResolveProgram("xdg-open", &strProgram)) {
        QN_SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    pid_t pid = 0;
    int nErr = Spawn(strProgram, {"xdg-open", cszFile}, nullptr, &pid);
    if (nErr != 0) {
        QN_SetLastError(Win32ErrorOfSpawn(nErr));
        return 0;
    }
    QN_CloseProcessHandle(new QN_PROCESS__{pid, true, false, 0});
    return 1;
}

long QN_InstanceCounter::Increment() {
    if (m_nFd >= 0) return 1;
    std::string strPath;
    {
        std::lock_guard<std::mutex> lock(PathLock());
        strPath = InstanceLockPath();
    }
    if (strPath.empty()) strPath = "/proc/self/exe";
    // The running file itself: the open follows the link to the inode that runs.
    int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (nFd < 0) return 1;  // nothing to count on: never lock the user out
    if (::flock(nFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(nFd);
        return 2;
    }
    m_nFd = nFd;
    return 1;
}

long QN_InstanceCounter::Decrement() {
    if (m_nFd >= 0) {
        ::close(m_nFd);
        m_nFd = -1;
    }
    return 0;
}

namespace qn::testing {
void SetModuleFileName(const char* cszPath) {
    std::lock_guard<std::mutex> lock(PathLock());
    ModulePathOverride() = cszPath ? cszPath : "";
}
void SetInstanceLockPath(const char* cszPath) {
    std::lock_guard<std::mutex> lock(PathLock());
    InstanceLockPath() = cszPath ? cszPath : "";
}
void SetShellOpenHook(ShellOpenHook pfnHook) {
    std::lock_guard<std::mutex> lock(PathLock());
    g_pfnShellOpenHook = pfnHook;
}
}  // namespace qn::testing
