// The process-wide text log: one file at a time in a folder per day, a new file on a day
// change, a line limit or after Uninit, and the qualified-name cutter of the failure checks.
#include "QN_Log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "qn_fd.h"
#include "qn_time.h"
#include "support_test_hooks.h"

namespace {

constexpr size_t QNLOG_LINE_SIZE = 1024;       // the line buffer, room for 1023 characters
constexpr int QNLOG_MAX_LINE = 1023;           // a line with its line feed
constexpr int32_t QNLOG_DEFAULT_MAX_LINES = 32768;

const char* const gs_cszLevelNames[8] = {"RESR0", "RESR1", "RESR2", "ERROR",
                                         "WARN ", "RESR3", "INFO ", "DEBUG"};

struct QNLogState {
    QNLOG_PARAM Param;            // flags 0 until Init: nothing is written anywhere
    char szLogFolder[1024];       // ROOT/NAME/
    int nFile;                    // the open log file, or -1
    bool bReopen;                 // the next file line opens a new file
    int32_t nLineCount;           // lines written to the current file
    QN_LocalTime OpenTime;        // when the current file was opened (date fields compared)
    uint32_t uEnableMask;         // one bit per level, all set
};

// Process-wide objects are never destroyed, so that logging stays safe while statics of other
// files are constructed or destroyed.
QNLogState& LogState() {
    static QNLogState* s_pState = [] {
        QNLogState* p = new QNLogState;
        std::memset(&p->Param, 0, sizeof(p->Param));
        p->szLogFolder[0] = '\0';
        p->nFile = -1;
        p->bReopen = true;
        p->nLineCount = 0;
        p->OpenTime = QN_LocalTime{};
        p->uEnableMask = 0xFF;
        return p;
    }();
    return *s_pState;
}

std::mutex& LogLock() {
    static std::mutex* s_pLock = new std::mutex;
    return *s_pLock;
}

// The errno behind the layer's last error, for the runtime's error text.
int LastErrnoForText() {
    int nErrno = QN_GetLastErrno();
    if (nErrno != 0) return nErrno;
    switch (QN_GetLastError()) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        default:
            return EIO;
    }
}

void PrintMkdirFailure(const char* cszFolder) {
    char szError[256];
    std::fprintf(stderr, "QNLog: QN_mkdir(\"%s\") failed = %s\n", cszFolder,
                 QN_ErrnoText(LastErrnoForText(), szError, sizeof(szError)));
}

void PrintOpenFailure(const char* cszPath, int nErrno) {
    char szError[256];
    std::fprintf(stderr, "QNLog: open(\"%s\") failed = %s\n", cszPath,
                 QN_ErrnoText(nErrno, szError, sizeof(szError)));
}

void CloseLogFile(QNLogState& State) {
    if (State.nFile >= 0) {
        QN_CloseFd(State.nFile);
        State.nFile = -1;
    }
}

// Opens a new file ROOT/NAME/YYYY_MM_DD/NAME_YYYY_MM_DD_hh_mi_ss.log; called under the log lock.
int QNLog_OpenLogFile() {
    QNLogState& State = LogState();
    char szDayFolder[1024];
    char szPath[1024];
    int nRetCode;

    if (!QN_mkdir(State.Param.root)) {
        PrintMkdirFailure(State.Param.root);
        CloseLogFile(State);
        return 0;
    }
    if (!QN_mkdir(State.szLogFolder)) {
        PrintMkdirFailure(State.szLogFolder);
        CloseLogFile(State);
        return 0;
    }
    CloseLogFile(State);

    // The file name carries the time of the opening, not that of the line.
    QN_LocalTime Now = QN_GetLocalTime();
    nRetCode = QN_snprintf(szDayFolder, sizeof(szDayFolder), "%s%d_%2.2d_%2.2d/", State.szLogFolder,
                           Now.nYear, Now.nMonth, Now.nDay);
    if (nRetCode < 0) {
        // A cut folder text would put the file somewhere else.
        PrintOpenFailure(szDayFolder, ENAMETOOLONG);
        return 0;
    }
    if (!QN_mkdir(szDayFolder)) PrintMkdirFailure(szDayFolder);

    nRetCode = QN_snprintf(szPath, sizeof(szPath), "%s%s_%d_%2.2d_%2.2d_%2.2d_%2.2d_%2.2d.log",
                           szDayFolder, State.Param.name, Now.nYear, Now.nMonth, Now.nDay,
                           Now.nHour, Now.nMinute, Now.nSecond);
    if (nRetCode < 0) {
        PrintOpenFailure(szPath, ENAMETOOLONG);
        return 0;
    }

    // Appending: a second file opened within the same second adds to the first, losing nothing.
    State.nFile = QN_OpenFileForAppend(szPath);
    if (State.nFile < 0) {
        PrintOpenFailure(szPath, LastErrnoForText());
        return 0;
    }
    return 1;
}

}  // namespace

int QNLog_Init(const QNLOG_PARAM* pParam, void* /*pvReserved*/) {
    QNLogState& State = LogState();
    QNLOG_PARAM Param;
    char szLogFolder[1024];
    size_t uLen;
    int nRetCode;

    if (!pParam || pParam->root[0] == '\0' || pParam->name[0] == '\0') return 0;

    std::memcpy(&Param, pParam, sizeof(Param));
    if (Param.flags == 0) Param.flags = QNLOG_FLAG_FILE;
    if (Param.maxLines < 1) Param.maxLines = QNLOG_DEFAULT_MAX_LINES;
    Param.root[sizeof(Param.root) - 1] = '\0';
    Param.name[sizeof(Param.name) - 1] = '\0';
    szLogFolder[0] = '\0';

    if (Param.flags & QNLOG_FLAG_FILE) {
        uLen = std::strlen(Param.root);
        if (Param.root[uLen - 1] == '\\') Param.root[uLen - 1] = '/';
        if (Param.root[uLen - 1] != '/') {
            // A root of 1023 characters leaves no room for the '/'.
            if (uLen + 1 >= sizeof(Param.root)) return 0;
            Param.root[uLen] = '/';
            Param.root[uLen + 1] = '\0';
        }

        uLen = std::strlen(Param.name);
        if (QN_IsPathSeparator(Param.name[uLen - 1])) Param.name[uLen - 1] = '\0';

        nRetCode = QN_snprintf(szLogFolder, sizeof(szLogFolder), "%s%s/", Param.root, Param.name);
        if (nRetCode < 0 || nRetCode >= QNLOG_MAX_LINE) return 0;
    }

    // Settings change only when they are whole; a refused block leaves the log as it was.
    std::memcpy(&State.Param, &Param, sizeof(Param));
    std::memcpy(State.szLogFolder, szLogFolder, sizeof(szLogFolder));
    return 1;
}

int QNLog_Printf(int nLevel, const char* cszFormat, ...) {
    // A failure line often stands between a failed call and the report of its error number.
    QN_LastErrorKeeper KeepLastError;
    QNLogState& State = LogState();
    char szLine[QNLOG_LINE_SIZE];
    int nLen;
    int nRetCode;
    uint32_t uFlags;

    nLevel &= 7;
    if (!(State.uEnableMask & (1u << nLevel))) return 1;
    uFlags = State.Param.flags;
    if (!uFlags || !cszFormat) return 1;

    QN_LocalTime Time = QN_GetLocalTime();
    uint32_t uThreadId = QN_GetCurrentThreadId();

    nRetCode = QN_snprintf(szLine, sizeof(szLine), "%d%2.2d%2.2d-%2.2d%2.2d%2.2d<%s:%08X>: ",
                           Time.nYear, Time.nMonth, Time.nDay, Time.nHour, Time.nMinute,
                           Time.nSecond, gs_cszLevelNames[nLevel], uThreadId);
    nLen = (nRetCode < 0 || nRetCode >= QNLOG_MAX_LINE) ? (int)std::strlen(szLine) : nRetCode;

    if (nLen < QNLOG_MAX_LINE) {
        va_list Args;
        va_start(Args, cszFormat);
        szLine[nLen] = '\0';
        QN_vsnprintf(szLine + nLen, sizeof(szLine) - (size_t)nLen, cszFormat, Args);
        va_end(Args);
        // When the message does not fit it is cut at the room left; when the formatter fails
        // outright only what it produced counts, never the rest of the buffer.
        nLen += (int)std::strlen(szLine + nLen);
    }

    if (nLen == 0 || (szLine[nLen - 1] != '\n' && szLine[nLen - 1] != '\r')) {
        if (nLen >= QNLOG_MAX_LINE) {
            nLen = QNLOG_MAX_LINE;
            szLine[nLen - 1] = '\n';
        } else {
            szLine[nLen++] = '\n';
        }
        szLine[nLen] = '\0';
    }

    if (uFlags & QNLOG_FLAG_STDOUT) {
        std::fwrite(szLine, 1, (size_t)nLen, stdout);
        std::fflush(stdout);
    }
    if (uFlags & QNLOG_FLAG_STDERR) std::fwrite(szLine, 1, (size_t)nLen, stderr);

    if (uFlags & QNLOG_FLAG_FILE) {
        std::lock_guard<std::mutex> Lock(LogLock());
        if (State.bReopen || State.nLineCount >= State.Param.maxLines ||
            Time.nDay != State.OpenTime.nDay || Time.nMonth != State.OpenTime.nMonth ||
            Time.nYear != State.OpenTime.nYear) {
            State.OpenTime = Time;
            State.bReopen = false;
            if (!QNLog_OpenLogFile()) {
                // Try again with the next line rather than dropping lines until a limit.
                State.bReopen = true;
                return 0;
            }
            State.nLineCount = 0;
        }
        if (State.nFile >= 0 && !QN_WriteAll(State.nFile, szLine, (size_t)nLen)) {
            std::fputs("warning : error on write log file, please check your hard disk!\n", stdout);
            std::fflush(stdout);
        }
        State.nLineCount++;
    }
    return 1;
}

void QNLog_Uninit() {
    QNLogState& State = LogState();
    std::lock_guard<std::mutex> Lock(LogLock());
    CloseLogFile(State);
    State.bReopen = true;
}

namespace qn::testing {
std::string LogFolderText() { return LogState().szLogFolder; }

void ResetLog() {
    QNLogState& State = LogState();
    QNLog_Uninit();
    std::lock_guard<std::mutex> Lock(LogLock());
    std::memset(&State.Param, 0, sizeof(State.Param));
    State.szLogFolder[0] = '\0';
    State.nLineCount = 0;
    State.OpenTime = QN_LocalTime{};
}
}  // namespace qn::testing

// ---------------------------------------------------------------------------------------------
// The qualified function name of a failure line, cut out of the compiler's pretty name, e.g.
// "static int QN_A<T>::F(const char*) [with T = int]" gives "QN_A::F". The name is the token
// before the first parameter list at the top level; inside a lambda that is the enclosing
// function's, so a check in a lambda names the function that holds it.
namespace {

bool IsIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Length of the keyword "operator" at p together with its symbol ("operator<", "operator()",
// "operator new[]" up to the parameter list), or 0 when p does not start that keyword.
size_t OperatorLength(const char* csz, size_t uPos) {
    static const char s_cszKeyword[] = "operator";
    const size_t uKeyword = sizeof(s_cszKeyword) - 1;
    if (std::strncmp(csz + uPos, s_cszKeyword, uKeyword) != 0) return 0;
    if (uPos > 0 && IsIdentChar(csz[uPos - 1])) return 0;
    if (IsIdentChar(csz[uPos + uKeyword])) return 0;
    size_t i = uPos + uKeyword;
    if (csz[i] == '(' && csz[i + 1] == ')') return i + 2 - uPos;
    if (std::strchr("<>=!+-*/%^&|~,[", csz[i]) && csz[i] != '\0') {
        while (csz[i] && std::strchr("<>=!+-*/%^&|~,[]", csz[i])) ++i;
        return i - uPos;
    }
    // A word operator (new, delete) or a conversion (operator bool, operator const char*):
    // everything up to the parameter list belongs to it.
    while (csz[i] && csz[i] != '(') ++i;
    return i - uPos;
}

}  // namespace

QN_QualifiedFunctionName::QN_QualifiedFunctionName(const char* cszPrettyFunction) {
    m_szName[0] = '\0';
    if (!cszPrettyFunction) return;
    const char* csz = cszPrettyFunction;
    size_t uSize = std::strlen(csz);
    size_t uTokenStart = 0;
    size_t uParen = uSize;  // the top-level '(' of the parameter list
    int nDepth = 0;
    bool bOperator = false;  // in "operator< <int>" the blank does not start a new token

    for (size_t i = 0; i < uSize; ++i) {
        char c = csz[i];
        if (nDepth == 0) {
            size_t uOperator = OperatorLength(csz, i);
            if (uOperator) {
                i += uOperator - 1;
                bOperator = true;
                continue;
            }
        }
        if (c == '<' || c == '[') {
            ++nDepth;
        } else if (c == '>' || c == ']') {
            if (nDepth > 0) --nDepth;
        } else if (c == '(') {
            if (nDepth == 0) {
                if (csz[i + 1] == '*' || csz[i + 1] == '&') {
                    // A function returning a function pointer: "void (* F(int))(int)".
                    i += 1;
                    uTokenStart = i + 1;
                    while (csz[uTokenStart] == ' ') ++uTokenStart;
                    i = uTokenStart - 1;
                    continue;
                }
                uParen = i;
                break;
            }
            ++nDepth;
        } else if (c == ')') {
            if (nDepth > 0) --nDepth;
        } else if (c == ' ' && nDepth == 0 && !bOperator) {
            uTokenStart = i + 1;
        }
    }
    if (uParen == uSize) {
        // Nothing that looks like a function: keep the text as it is.
        QN_StrCopyN(m_szName, sizeof(m_szName), csz);
        return;
    }

    // Copy the token, dropping template arguments and tags such as "[abi:cxx11]".
    size_t uOut = 0;
    const size_t uRoom = sizeof(m_szName) - 1;
    size_t i = uTokenStart;
    while (i < uParen && (csz[i] == '*' || csz[i] == '&')) ++i;
    while (i < uParen && uOut < uRoom) {
        size_t uOperator = OperatorLength(csz, i);
        if (uOperator) {
            for (size_t k = 0; k < uOperator && i < uParen && uOut < uRoom; ++k) {
                m_szName[uOut++] = csz[i++];
            }
            continue;
        }
        char c = csz[i];
        if (c == '<' || c == '[') {
            int nSkip = 0;
            do {
                if (csz[i] == '<' || csz[i] == '[' || csz[i] == '(') ++nSkip;
                else if (csz[i] == '>' || csz[i] == ']' || csz[i] == ')') --nSkip;
                ++i;
            } while (i < uParen && nSkip > 0);
            continue;
        }
        m_szName[uOut++] = c;
        ++i;
    }
    while (uOut > 0 && m_szName[uOut - 1] == ' ') --uOut;
    m_szName[uOut] = '\0';
}
