// The process-wide text log and the narrow failure checks.
//
// Every check jumps to the function's single exit label `Exit0` on failure, after writing one
// line at level 7 with the condition as written and the qualified function name. Declare all
// locals before the first check: a jump may not cross an initialisation.
#pragma once

#include <cstdint>

#include "qn_com.h"
#include "qn_platform.h"
#include "qn_string.h"

struct QNLOG_PARAM {
    char root[1024];
    char name[1024];
    uint32_t flags;    // 1 file, 2 standard output, 4 standard error; 0 means 1
    int32_t maxLines;  // lines per file; below 1 means 32768
};
static_assert(sizeof(QNLOG_PARAM) == 2056, "QNLOG_PARAM is a fixed 2056-byte block");

enum QNLOG_FLAG {
    QNLOG_FLAG_FILE = 1,
    QNLOG_FLAG_STDOUT = 2,
    QNLOG_FLAG_STDERR = 4,
};

enum QNLOG_LEVEL {
    QNLOG_RESERVE0 = 0,
    QNLOG_RESERVE1 = 1,
    QNLOG_RESERVE2 = 2,
    QNLOG_ERROR = 3,
    QNLOG_WARNING = 4,
    QNLOG_RESERVE3 = 5,
    QNLOG_INFO = 6,
    QNLOG_DEBUG = 7,
};

int QNLog_Init(const QNLOG_PARAM* pParam, void* pvReserved = nullptr);
int QNLog_Printf(int nLevel, const char* cszFormat, ...) QN_PRINTF_FORMAT(2, 3);
void QNLog_Uninit();

// Cuts the qualified name ("Class::member", or a free function's name) out of
// __PRETTY_FUNCTION__: no return type, parameters or template arguments.
class QN_QualifiedFunctionName {
public:
    explicit QN_QualifiedFunctionName(const char* cszPrettyFunction);
    const char* c_str() const { return m_szName; }

private:
    char m_szName[256];
};

#define QN_FUNCTION_NAME() (QN_QualifiedFunctionName(__PRETTY_FUNCTION__).c_str())

#define QNLOG_PROCESS_ERROR(Condition)                                                           \
    do {                                                                                         \
        if (!(Condition)) {                                                                      \
            QNLog_Printf(7, "QNLOG_PROCESS_ERROR(%s) at line %d in %s\n", #Condition, __LINE__, \
                         QN_FUNCTION_NAME());                                                    \
            goto Exit0;                                                                          \
        }                                                                                        \
    } while (0)

// As QNLOG_PROCESS_ERROR, for the few checks whose expression here differs from the text the
// line must show: Text (a string literal) is logged in place of the expression.
#define QNLOG_PROCESS_ERROR_TEXT(Condition, Text)                                          \
    do {                                                                                   \
        if (!(Condition)) {                                                                \
            QNLog_Printf(7, "QNLOG_PROCESS_ERROR(%s) at line %d in %s\n", Text, __LINE__, \
                         QN_FUNCTION_NAME());                                              \
            goto Exit0;                                                                    \
        }                                                                                  \
    } while (0)

#define QNLOG_COM_PROCESS_ERROR(Result)                                                         \
    do {                                                                                        \
        HRESULT qn_hrCheck_ = (Result);                                                         \
        if (FAILED(qn_hrCheck_)) {                                                              \
            QNLog_Printf(7, "QNLOG_COM_PROCESS_ERROR(0x%X) at line %d in %s\n",                 \
                         (unsigned)qn_hrCheck_, __LINE__, QN_FUNCTION_NAME());                  \
            goto Exit0;                                                                         \
        }                                                                                       \
    } while (0)

#define QNLOG_CHECK_ERROR(Condition)                                                             \
    do {                                                                                         \
        if (!(Condition)) {                                                                      \
            QNLog_Printf(7, "QNLOG_CHECK_ERROR(%s) at line %d in %s\n", #Condition, __LINE__,   \
                         QN_FUNCTION_NAME());                                                    \
        }                                                                                        \
    } while (0)
