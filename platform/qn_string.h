// Text helpers of the layer: printf with Windows "_snprintf" results, locale-free conversion
// between UTF-8, UTF-32 (wchar_t) and UTF-16LE, and the one helper that turns a relative name
// from a server or INI table into a local path.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#define QN_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Formats into buf[0..count). Returns the number of characters written (without the
// terminator), or -1 when the text does not fit or cannot be encoded. The buffer is always
// terminated when count > 0; on -1 it holds what fitted.
int QN_snprintf(char* buf, size_t count, const char* fmt, ...) QN_PRINTF_FORMAT(3, 4);
int QN_vsnprintf(char* buf, size_t count, const char* fmt, va_list args) QN_PRINTF_FORMAT(3, 0);
// Wide twins, with glibc's wide format meanings: "%ls" takes a wide text, "%s" a narrow one.
int QN_snwprintf(wchar_t* buf, size_t count, const wchar_t* fmt, ...);
int QN_vsnwprintf(wchar_t* buf, size_t count, const wchar_t* fmt, va_list args);

// Copies src into dst[0..count) and terminates it. 1 when all of src fitted, else 0 (dst then
// holds what fitted).
int QN_StrCopyN(char* dst, size_t count, const char* src);
int QN_WcsCopyN(wchar_t* dst, size_t count, const wchar_t* src);

// Conversions that never depend on the locale. Ill-formed input (bad UTF-8, lone surrogates,
// values above 0x10FFFF) becomes U+FFFD.
std::string QN_WideToUtf8(const wchar_t* wsz);
std::string QN_WideToUtf8(const std::wstring& ws);
std::wstring QN_Utf8ToWide(const char* sz);
std::wstring QN_Utf8ToWide(const std::string& s);
// Reads at most uMaxUnits UTF-16LE code units from bytes, stopping at a 0 unit.
std::wstring QN_Utf16LEToWide(const void* pvBytes, size_t uMaxUnits);
// Writes ws as UTF-16LE into uMaxUnits units at pvBytes, zero-filling the rest. Returns the
// units written, or -1 when it does not fit (pvBytes then holds a terminated prefix).
int QN_WideToUtf16LE(const std::wstring& ws, void* pvBytes, size_t uMaxUnits);
// Converts into a fixed buffer; -1 when it does not fit (the buffer is then empty).
int QN_WideToUtf8Buf(const wchar_t* wsz, char* buf, size_t count);
int QN_Utf8ToWideBuf(const char* sz, wchar_t* buf, size_t count);

// A path is absolute when it begins with a separator or a drive form such as "C:".
bool QN_IsAbsolutePath(const char* csz);
bool QN_IsAbsolutePathW(const wchar_t* wsz);

// Turns a relative name from a table ("bin\\zhcn\\a.dll") into a local relative path with '/',
// with its empty and "." parts dropped (a doubled separator, a leading "." folder), so that
// every spelling of one file gives one path. Refuses (returns false) a name that would leave
// the folder (absolute, or with a ".." part) or names no file (empty, ending in a separator,
// or with "." as its last part).
bool QN_LocalPathFromTableName(const char* cszName, std::string* pRetPath);
bool QN_LocalPathFromTableNameW(const wchar_t* wszName, std::wstring* pRetPath);
// True for a bare file name: a name the table rule accepts that holds no separator, no ':',
// no control character and is not "." or "..".
bool QN_IsBareFileName(const char* cszName);

// ASCII case-insensitive comparisons.
int QN_StrICmp(const char* a, const char* b);
// True when the text holds a '\r' or a '\n' (null holds neither): a value that would end the
// line it is written into.
bool QN_HasLineBreak(const char* csz);
int QN_WcsICmp(const wchar_t* a, const wchar_t* b);

// Sets the locale from the environment and, when its character type is not UTF-8, falls back
// to C.UTF-8 for LC_CTYPE.
void QN_SetupLocale();
