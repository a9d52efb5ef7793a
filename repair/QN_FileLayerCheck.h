// Two more wide checks for the file layer, beside those of QN_LogW.h: one whose logged text is
// given (for a condition written differently from the text that names it), and one that
// writes the failure line and carries on (for clean-up that must not stop half-way).
#pragma once

#include "QN_LogW.h"

#define QN_WIDE_LITERAL_(x) L##x

#define QNLOG_ASSERT_EXIT_AS(Condition, Text)                                                  \
    do {                                                                                       \
        if (!(Condition)) {                                                                    \
            QN_LogPrintfW(L"QNLOG_ASSERT_EXIT(%ls) at line %d in %s", QN_WIDE_LITERAL_(Text),  \
                          __LINE__, QN_FUNCTION_NAME());                                       \
            goto Exit0;                                                                        \
        }                                                                                      \
    } while (0)

#define QNLOG_PROCESS_ERROR_AS(Condition, Text)                                                \
    do {                                                                                       \
        if (!(Condition)) {                                                                    \
            QN_LogPrintfW(L"QNLOG_PROCESS_ERROR(%ls) at line %d in %s", QN_WIDE_LITERAL_(Text), \
                          __LINE__, QN_FUNCTION_NAME());                                       \
            goto Exit0;                                                                        \
        }                                                                                      \
    } while (0)

// Writes the QNLOG_PROCESS_ERROR line of a false condition and goes on; evaluates to the
// condition's truth.
#define QNLOG_PROCESS_ERROR_CONTINUE(Condition)                                                   \
    ((Condition) ? true                                                                           \
                 : (QN_LogPrintfW(L"QNLOG_PROCESS_ERROR(%ls) at line %d in %s",                   \
                                  QN_WIDE_TEXT_(#Condition), __LINE__, QN_FUNCTION_NAME()),       \
                    false))
