// The wide failure checks, for the package code and the file layer. They write through the
// wide log streams (QN_LogStream.h) and so reach the text log at level 7 through the adapter.
// A source file includes either this header or QN_Log.h for its checks, not both: the names
// QNLOG_PROCESS_ERROR and QNLOG_COM_PROCESS_ERROR are the wide twins here.
#pragma once

#include "QN_Log.h"
#include "QN_LogStream.h"

#undef QNLOG_PROCESS_ERROR
#undef QNLOG_PROCESS_ERROR_TEXT
#undef QNLOG_COM_PROCESS_ERROR

#define QN_WIDE_TEXT2_(x) L##x
#define QN_WIDE_TEXT_(x) QN_WIDE_TEXT2_(x)

#define QNLOG_ASSERT_EXIT(Condition)                                                            \
    do {                                                                                        \
        if (!(Condition)) {                                                                     \
            QN_LogPrintfW(L"QNLOG_ASSERT_EXIT(%ls) at line %d in %s", QN_WIDE_TEXT_(#Condition), \
                          __LINE__, QN_FUNCTION_NAME());                                        \
            goto Exit0;                                                                         \
        }                                                                                       \
    } while (0)

// The line of a failed process check; the checks and the no-jump form below share this one
// format.
#define QNLOG_PROCESS_ERROR_FORMAT_W_ L"QNLOG_PROCESS_ERROR(%ls) at line %d in %s"

// Writes the line of a failed process check without leaving the function: for steps that go
// on with their next item after a failure, and for checks made elsewhere that report which
// condition failed. cszFunction is QN_FUNCTION_NAME() of the step the line is written for.
inline void QNLog_ProcessErrorLine(const wchar_t* cwszCondition, int nLine, const char* cszFunction) {
    QN_LogPrintfW(QNLOG_PROCESS_ERROR_FORMAT_W_, cwszCondition, nLine, cszFunction);
}

// The same for a condition given as a narrow string literal, at the caller's line.
#define QNLOG_PROCESS_ERROR_LINE(Text) QNLog_ProcessErrorLine(QN_WIDE_TEXT_(Text), __LINE__, QN_FUNCTION_NAME())

#define QNLOG_PROCESS_ERROR(Condition)             \
    do {                                           \
        if (!(Condition)) {                        \
            QNLOG_PROCESS_ERROR_LINE(#Condition);  \
            goto Exit0;                            \
        }                                          \
    } while (0)

// As the checks above, with Text (a narrow string literal) logged in place of the expression,
// for the few checks whose expression here differs from the text the line must show.
#define QNLOG_ASSERT_EXIT_TEXT(Condition, Text)                                              \
    do {                                                                                     \
        if (!(Condition)) {                                                                  \
            QN_LogPrintfW(L"QNLOG_ASSERT_EXIT(%ls) at line %d in %s", QN_WIDE_TEXT_(Text),   \
                          __LINE__, QN_FUNCTION_NAME());                                     \
            goto Exit0;                                                                      \
        }                                                                                    \
    } while (0)

#define QNLOG_PROCESS_ERROR_TEXT(Condition, Text) \
    do {                                           \
        if (!(Condition)) {                        \
            QNLOG_PROCESS_ERROR_LINE(Text);        \
            goto Exit0;                            \
        }                                          \
    } while (0)

#define QNLOG_COM_PROCESS_ERROR(Result)                                                  \
    do {                                                                                 \
        HRESULT qn_hrCheck_ = (Result);                                                  \
        if (FAILED(qn_hrCheck_)) {                                                       \
            QN_LogPrintfW(L"QNLOG_COM_PROCESS_ERROR(0x%X) at line %d in %s",             \
                          (unsigned)qn_hrCheck_, __LINE__, QN_FUNCTION_NAME());          \
            goto Exit0;                                                                  \
        }                                                                                \
    } while (0)

#define QNLOG_COM_ASSERT_EXIT(Result)                                                    \
    do {                                                                                 \
        HRESULT qn_hrCheck_ = (Result);                                                  \
        if (FAILED(qn_hrCheck_)) {                                                       \
            QN_LogPrintfW(L"QNLOG_COM_ASSERT_EXIT(0x%X) at line %d in %s",               \
                          (unsigned)qn_hrCheck_, __LINE__, QN_FUNCTION_NAME());          \
            goto Exit0;                                                                  \
        }                                                                                \
    } while (0)
