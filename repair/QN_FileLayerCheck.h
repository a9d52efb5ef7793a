// A wide check for clean-up that must not stop half-way: it writes the QNLOG_PROCESS_ERROR
// line of a false condition and goes on, evaluating to the condition's truth.
#pragma once

#include "QN_LogW.h"

#define QNLOG_PROCESS_ERROR_CONTINUE(Condition)                                                   \
    ((Condition) ? true                                                                           \
                 : (QN_LogPrintfW(L"QNLOG_PROCESS_ERROR(%ls) at line %d in %s",                   \
                                  QN_WIDE_TEXT_(#Condition), __LINE__, QN_FUNCTION_NAME()),       \
                    false))
