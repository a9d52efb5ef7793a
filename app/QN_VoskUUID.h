// The machine identifier: 32 lower-case hexadecimal characters kept in two stores shared with
// the maker's other programs, a registry value under a class key of HKEY_CLASSES_ROOT and the
// INI file "hg.dat" in the common application-data folder. The registry is read first and wins;
// a store that lacks the value gets a copy; a new identifier is made when there is none, when
// the stored one is malformed (any length but 32) or when a reset is asked for (a negative
// "idno"). Every call reads the stores afresh.
#pragma once

#include <string>

#define UUID5_STRING_LEN 32

// The identifier into a 64-byte buffer: 1 with 32 characters, else 0. When the first fetch
// does not give 32 characters, the registry key is deleted and the identifier fetched once more.
int QN_GetVoskUUIDEx(char* pszRetBuffer);
// One fetch (no block list), narrowed into a 64-byte buffer. 1 or 0.
int GetVoskUUIDEx(char* pszRetBuffer);
// The identifier that now stands in the stores; an identifier listed as a key in section "ulst"
// of the INI file cwszBlockListPath (none when empty) is replaced too.
void GetVoskUUID(std::wstring* pRetValue, const wchar_t* cwszBlockListPath);
