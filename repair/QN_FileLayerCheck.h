// A wide check for clean-up that must not stop half-way: it writes the QNLOG_PROCESS_ERROR
// line of a false condition and goes on, evaluating to the condition's truth.
#pragma once

#include "QN_LogW.h"

#define QNLOG_PROCESS_ERROR_CONTINUE(Condition)                                                   \
    ((Condition) ? true                                                                           \
                 : (QNLOG_PROCESS_ERROR_LINE(#Condition), false))
