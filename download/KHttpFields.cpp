#include "KHttpFields.h"

#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

}  // namespace

bool KHttpNameIs(std::string_view name, const char* cszWanted) {
    if (name.size() != std::strlen(cszWanted)) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (AsciiLower(name[i]) != AsciiLower(cszWanted[i])) return false;
    }
    return true;
}

bool KHttpParseDecimal(std::string_view value, uint64_t* pullRet) {
    const std::string_view digits = TrimBlanks(value);
    if (digits.empty()) return false;
    uint64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        const uint64_t d = (uint64_t)(c - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    *pullRet = v;
    return true;
}

bool KHttpParseContentRange(std::string_view value, KHttpContentRange* pRet) {
    std::string_view s = TrimBlanks(value);
    if (s.size() < 6 || !KHttpNameIs(s.substr(0, 5), "bytes") || s[5] != ' ') return false;
    s.remove_prefix(6);
    const size_t uDash = s.find('-');
    const size_t uSlash = s.find('/');
    if (uDash == std::string_view::npos || uSlash == std::string_view::npos || uDash > uSlash) return false;
    KHttpContentRange r;
    if (!KHttpParseDecimal(s.substr(0, uDash), &r.ullFirst)) return false;
    if (!KHttpParseDecimal(s.substr(uDash + 1, uSlash - uDash - 1), &r.ullLast)) return false;
    if (r.ullLast < r.ullFirst) return false;
    const std::string_view total = s.substr(uSlash + 1);
    if (TrimBlanks(total) != "*") {
        if (!KHttpParseDecimal(total, &r.ullTotal) || r.ullLast >= r.ullTotal) return false;
        r.bHasTotal = true;
    }
    *pRet = r;
    return true;
}
