// The C interface of the outside logger module, "libHolmrun.so". The library loads it at run
// time and works silently without it; a module implements these five functions.
#pragma once

#include <cstdarg>

extern "C" {
// 0 on success. Called once, with the configuration text and the configuration file name.
typedef int (*qnsl_init_fn)(const char* configText, const char* configFileName);
typedef void (*qnsl_fini_fn)(void);
// The logger of a category (UTF-8), or null.
typedef void* (*qnsl_get_fn)(const char* category);
// Must be present; the library never calls it.
typedef int (*qnsl_set_level_fn)(void* logger, int level);
// Writes one line. The format is UTF-8; "%s" takes UTF-8 text, "%ls" a wchar_t (UTF-32) text,
// which the module formats under a UTF-8 character type.
typedef void (*qnsl_write_v_fn)(void* logger, int level, const char* format, va_list args);
}

// The module's file name, looked for in the executable's folder first, then by the loader's
// usual search.
inline constexpr const char kHolmrunModuleName[] = "libHolmrun.so";
