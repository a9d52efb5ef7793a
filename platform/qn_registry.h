// The registry: one REGEDIT4 text file per hive ("HKEY_LOCAL_MACHINE.reg" and so on) in the
// registry folder under the platform root. Key paths and value names are compared without
// regard to ASCII case and keep their case. A key exists when it, or a key below it, has a
// section. Every call reads the file again under a shared lock on "<hive>.lock"; a change
// takes the exclusive lock and replaces the file by a temporary file and a rename. Opening
// for writing fails with 5 when the hive file lacks its owner's write permission, also for
// root. Views (KEY_WOW64_*) are accepted and ignored. Results are Win32 error numbers.
#pragma once

#include <cstdint>

#include "qn_platform.h"

struct QN_HKEY__;
typedef QN_HKEY__* HKEY;

#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)

typedef uint32_t REGSAM;
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u

#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

#define ERROR_MORE_DATA 234
#define ERROR_FILE_CORRUPT 1392

// 0, 2 (no such key), 5 (write access to a read-only hive), 87 (bad argument).
int32_t QN_RegOpenKeyExA(HKEY hKey, const char* cszSubKey, uint32_t uOptions, REGSAM samDesired, HKEY* phkResult);
int32_t QN_RegOpenKeyExW(HKEY hKey, const wchar_t* wszSubKey, uint32_t uOptions, REGSAM samDesired, HKEY* phkResult);
// Opens the key, making it when missing; *puDisposition says which.
int32_t QN_RegCreateKeyExA(HKEY hKey, const char* cszSubKey, REGSAM samDesired, HKEY* phkResult,
                           uint32_t* puDisposition);
int32_t QN_RegCreateKeyExW(HKEY hKey, const wchar_t* wszSubKey, REGSAM samDesired, HKEY* phkResult,
                           uint32_t* puDisposition);
// Reads a value. *pcbData is the buffer size in bytes on entry and the value's size on return
// (strings with their terminator; wide strings in wchar_t units of the platform). A buffer
// that is too small gives 234; no buffer gives the size only. A null name reads the default
// value.
int32_t QN_RegQueryValueExA(HKEY hKey, const char* cszValueName, uint32_t* puType, uint8_t* pData, uint32_t* pcbData);
int32_t QN_RegQueryValueExW(HKEY hKey, const wchar_t* wszValueName, uint32_t* puType, uint8_t* pData,
                            uint32_t* pcbData);
// Writes a value through a key opened for writing. A string with a line break is refused (87):
// the file format cannot hold one.
int32_t QN_RegSetValueExA(HKEY hKey, const char* cszValueName, uint32_t uType, const uint8_t* pData, uint32_t cbData);
int32_t QN_RegSetValueExW(HKEY hKey, const wchar_t* wszValueName, uint32_t uType, const uint8_t* pData,
                          uint32_t cbData);
// Deletes a key that has no keys below it (else 5).
int32_t QN_RegDeleteKeyA(HKEY hKey, const char* cszSubKey);
int32_t QN_RegDeleteKeyW(HKEY hKey, const wchar_t* wszSubKey);
int32_t QN_RegCloseKey(HKEY hKey);
