// Processes: the list of running processes from /proc, their program files, the program's
// own path as it was at start, starting programs from a Windows-style command line with
// posix_spawn (the working folder is set for the child only), waiting with a time limit, and
// the single-instance lock.
//
// No descriptor reaches a started program: every descriptor the program opens is
// close-on-exec, and the start closes every descriptor above 2 in the child as well.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct QN_PROCESS__;
typedef QN_PROCESS__* QN_HPROCESS;

#define QN_PROCESS_QUERY_INFORMATION 0x0400u
#define QN_PROCESS_VM_READ 0x0010u
#define QN_INFINITE 0xFFFFFFFFu
#define QN_WAIT_OBJECT_0 0u
#define QN_WAIT_TIMEOUT 258u
#define QN_WAIT_FAILED 0xFFFFFFFFu
#define QN_STILL_ACTIVE 259u
#define ERROR_BAD_EXE_FORMAT 193

// Fills at most cb / 4 process ids in ascending order; *pcbNeeded is the number of bytes
// written. The caller grows its array while the answer fills it. 1 or 0.
int QN_EnumProcesses(uint32_t* pIds, uint32_t cb, uint32_t* pcbNeeded);
// A handle on a process that exists, else nullptr (last error 87).
QN_HPROCESS QN_OpenProcess(uint32_t uAccess, int bInherit, uint32_t uPid);
// The program file of an opened process: the length copied (at most uSize - 1, terminated),
// 0 when it cannot be read (a process of another user, one that has ended, a kernel thread).
// A program file deleted since the start is reported without the " (deleted)" suffix.
uint32_t QN_GetModuleFileNameExA(QN_HPROCESS hProcess, void* hModule, char* szBuf, uint32_t uSize);

// The program's own path, read once at start, so that a rename of the running file later
// does not change it. The length copied; when it does not fit, uSize - 1 bytes are copied,
// terminated, and uSize is returned (last error 122).
uint32_t QN_GetModuleFileNameA(void* hModule, char* szBuf, uint32_t uSize);
// Makes the folder the process's current folder (start-up only: it changes it for every
// thread). 1 or 0 with the last error.
int QN_SetCurrentDirectoryA(const char* cszPath);
// This process's id.
uint32_t QN_GetCurrentProcessId();

// Splits a command line the way Windows programs read theirs: blanks and tabs separate,
// double quotes group, 2n backslashes before a quote give n backslashes and the quote
// toggles, 2n + 1 give n and a literal quote; other backslashes are literal.
std::vector<std::string> QN_SplitCommandLine(const char* cszCommandLine);

struct QN_PROCESS_INFORMATION {
    QN_HPROCESS hProcess;
    uint32_t dwProcessId;
};
// Starts a program. The program is cszApplicationName when given, else the first word of the
// command line; a name with a separator is a path (relative ones from this process's current
// folder), a bare name is looked for in the current folder, then on PATH. The child starts in
// cszCurrentDirectory when given. The environment is inherited. 1, or 0 with the last error
// (2 no such program, 5 not allowed, 193 not a program, 267 no such working folder).
int QN_CreateProcessA(const char* cszApplicationName, const char* cszCommandLine, const char* cszCurrentDirectory,
                      QN_PROCESS_INFORMATION* pInfo);
// Waits for a started process to end: QN_WAIT_OBJECT_0, QN_WAIT_TIMEOUT or QN_WAIT_FAILED.
uint32_t QN_WaitForSingleObject(QN_HPROCESS hProcess, uint32_t uMilliseconds);
// The exit code of an ended process (128 + the signal's number when a signal ended it), or
// QN_STILL_ACTIVE. 1 or 0.
int QN_GetExitCodeProcess(QN_HPROCESS hProcess, uint32_t* puExitCode);
// Ends a started process with SIGKILL. 1 or 0.
int QN_TerminateProcess(QN_HPROCESS hProcess, uint32_t uExitCode);
// Closes the handle. A started process that has not been waited for is reaped when it ends,
// so that it leaves no zombie.
int QN_CloseProcessHandle(QN_HPROCESS hProcess);

// Opens a document or URL with the desktop's opener ("xdg-open"), given as one argument and
// without a shell, detached. 1 or 0.
int QN_ShellOpen(const char* cszVerb, const char* cszFile);

// The count of running copies of this program file: a non-blocking exclusive lock on the
// running program file, so a copy elsewhere and a new file renamed onto this path count on
// their own, and a copy that is killed leaves nothing locked.
class QN_InstanceCounter {
public:
    QN_InstanceCounter() = default;
    ~QN_InstanceCounter() { Decrement(); }
    QN_InstanceCounter(const QN_InstanceCounter&) = delete;
    QN_InstanceCounter& operator=(const QN_InstanceCounter&) = delete;

    // 1 when this is the only copy (the lock is held until Decrement), 2 when another holds it.
    long Increment();
    // Gives the lock back; 0.
    long Decrement();

private:
    int m_nFd = -1;
};
