// Loading shared objects at run time, the executable's own folder, and printf-style
// formatting under a UTF-8 character type whatever the thread's locale.
#pragma once

#include <cstdarg>
#include <string>

#include "qn_string.h"

// dlopen with RTLD_NOW | RTLD_LOCAL; null when the object cannot be loaded.
void* QN_DlOpen(const char* cszPath);
void* QN_DlSym(void* pvModule, const char* cszName);
void QN_DlClose(void* pvModule);
// The loader's last message ("" when none).
std::string QN_DlError();

// The folder of the running executable, without a trailing separator ("" when unknown).
std::string QN_ExecutableDir();

// Formats under a C.UTF-8 locale, so "%ls" arguments come out as UTF-8 whatever LC_CTYPE
// says. The text, or "" when formatting fails.
std::string QN_FormatUtf8V(const char* cszFormat, va_list args) QN_PRINTF_FORMAT(1, 0);
