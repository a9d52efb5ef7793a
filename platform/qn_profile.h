// Reading of INI-format profile files, with the results of the Windows profile functions
// (GetPrivateProfileStringA and GetPrivateProfileIntA).
//
// The file is read whole at each call. Lines end in "\n" or "\r\n"; a UTF-8 byte-order mark at
// the start is skipped. Blanks (spaces and tabs) around section names, keys and values are
// trimmed. A line whose first non-blank character is ';' is a comment. "[name]" starts a
// section; "key=value" lines belong to the section above them (lines before the first section
// belong to none and are never found); a line without '=' is a key with an empty value.
// Section and key names are compared without regard to ASCII letter case. When a section or a
// key appears twice, the first one counts. A value enclosed in a matching pair of double or
// single quotes is returned without them. The path is a UTF-8 path; '\\' is read as '/'.
#pragma once

#include <cstdint>

// Copies the value of cszKey in cszSection into pszReturned[0..uSize) and returns the number of
// characters copied, without the terminator.
// - A missing file, section or key gives cszDefault (null: ""), without its trailing blanks. A
//   key that is present with an empty value gives "", not the default.
// - A value that does not fit is cut to uSize - 1 characters, and uSize - 1 is returned.
// - cszSection null: the names of all sections; cszKey null: the names of all keys of the
//   section. Each name is followed by a zero, and the list by one more. When the list does not
//   fit, it is cut, ends in two zeros, and uSize - 2 is returned.
// - pszReturned null or uSize 0: 0 and nothing is written.
uint32_t QN_GetPrivateProfileStringA(const char* cszSection, const char* cszKey, const char* cszDefault,
                                     char* pszReturned, uint32_t uSize, const char* cszFileName);

// The value of cszKey in cszSection as an integer: leading blanks, an optional sign, then
// decimal digits up to the first character that is not one (none: 0); a negative value is
// returned as its two's complement. nDefault when the file, the section or the key is missing,
// or the value is empty.
uint32_t QN_GetPrivateProfileIntA(const char* cszSection, const char* cszKey, int32_t nDefault,
                                  const char* cszFileName);
