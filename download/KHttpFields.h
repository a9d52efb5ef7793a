// Readers of HTTP answer fields, shared by the library's own handlers and by every caller that
// writes a response handler, so that a field one of them takes the others take as well.
//
// One blank rule for every value: blanks (space, tab) may stand around the whole value, as
// HTTP allows around any field value, and around each number inside it; nowhere else. A number
// is decimal digits only (no sign, no blank inside) and must fit in 64 bits.
#pragma once

#include <cstdint>
#include <string_view>

// True when a header name is cszWanted, compared without regard to ASCII case: names are
// case-insensitive in HTTP/1.1.
bool KHttpNameIs(std::string_view name, const char* cszWanted);

// A "Content-Length" value or any other plain number.
bool KHttpParseDecimal(std::string_view value, uint64_t* pullRet);

// A "Content-Range" value of one satisfied range: "bytes F-L/T", or "bytes F-L/*" when the
// server does not tell the whole length. The unit is matched without regard to case and is
// followed by a space. F must not be above L, and L must lie below T.
struct KHttpContentRange {
    uint64_t ullFirst = 0;
    uint64_t ullLast = 0;
    bool bHasTotal = false;
    uint64_t ullTotal = 0;
};
bool KHttpParseContentRange(std::string_view value, KHttpContentRange* pRet);
