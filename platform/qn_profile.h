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

// The wide forms: texts are converted to and from UTF-8 at the boundary, sizes are counted in
// wide characters. The wide string form reads one value (a null section or key gives 0 and
// "").
uint32_t QN_GetPrivateProfileStringW(const wchar_t* cwszSection, const wchar_t* cwszKey, const wchar_t* cwszDefault,
                                     wchar_t* pwszReturned, uint32_t uSize, const wchar_t* cwszFileName);
uint32_t QN_GetPrivateProfileIntW(const wchar_t* cwszSection, const wchar_t* cwszKey, int32_t nDefault,
                                  const wchar_t* cwszFileName);

// Writes cszKey = cszValue into cszSection (WritePrivateProfileString): the first matching key
// of the first matching section is replaced in place, a new key goes after the last line of its
// section, a new section at the end of the file. Every other byte of the file stays as it was;
// lines written end in CR LF. The file is made when missing, its folder never (3). The change
// is written to a temporary file in the same folder and renamed over the file, under an
// exclusive lock on the folder, and keeps the file's permission bits. 1, or 0 with the last
// error: 87 for a null or empty section or key, a null value, or a text with a line break (or
// a section name with ']', a key with '='), 5 when the file lacks its owner's write permission.
int QN_WritePrivateProfileStringA(const char* cszSection, const char* cszKey, const char* cszValue,
                                  const char* cszFileName);
int QN_WritePrivateProfileStringW(const wchar_t* cwszSection, const wchar_t* cwszKey, const wchar_t* cwszValue,
                                  const wchar_t* cwszFileName);
