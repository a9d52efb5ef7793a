#include "qnui_text.h"

#include <algorithm>
#include <cstddef>

namespace qnui {

namespace {

// One character of the text: where its bytes are and its code point (U+FFFD for bytes that
// are no valid UTF-8, taken one at a time so that they are kept, not dropped).
struct Char {
    size_t uPos;
    size_t uLen;
    char32_t c;
};

std::vector<Char> DecodeUtf8(const std::string& s) {
    std::vector<Char> out;
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char b = (unsigned char)s[i];
        size_t uLen = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        char32_t c = uLen == 1 ? b : uLen == 2 ? (b & 0x1F) : uLen == 3 ? (b & 0x0F) : (b & 0x07);
        bool bValid = uLen > 0 && i + uLen <= s.size();
        for (size_t k = 1; bValid && k < uLen; ++k) {
            const unsigned char t = (unsigned char)s[i + k];
            if ((t & 0xC0) != 0x80) bValid = false;
            c = (c << 6) | (t & 0x3F);
        }
        if (!bValid) {
            out.push_back(Char{i, 1, 0xFFFD});
            ++i;
            continue;
        }
        out.push_back(Char{i, uLen, c});
        i += uLen;
    }
    return out;
}

bool IsBlank(char32_t c) { return c == U' ' || c == U'\t' || c == 0x3000; }

// Marks that close a phrase: a line does not start with one of them.
bool IsClosing(char32_t c) {
    static const char32_t kClosing[] = {U'，', U'。', U'！', U'？', U'；', U'：', U'、', U'）', U'》', U'」', U'』',
                                        U'】', U'〕', U'〉', U'”', U'’', U'…', U'～', U',', U'.', U'!', U'?',
                                        U';', U':', U')', U']', U'}', 0x30FC, 0xFF60};
    return std::find(std::begin(kClosing), std::end(kClosing), c) != std::end(kClosing);
}

// Marks that open a phrase: a line does not end with one of them.
bool IsOpening(char32_t c) {
    static const char32_t kOpening[] = {U'（', U'《', U'「', U'『', U'【', U'〔', U'〈', U'“', U'‘',
                                        U'(', U'[', U'{'};
    return std::find(std::begin(kOpening), std::end(kOpening), c) != std::end(kOpening);
}

// A line may break between a and b (b starts the next line).
bool MayBreakBetween(char32_t a, char32_t b) {
    if (IsBlank(b)) return false;  // the break comes after the blanks
    if (IsClosing(b) || IsOpening(a)) return false;
    return IsBlank(a) || IsCjkCodePoint(a) || IsCjkCodePoint(b);
}

// Breaks one paragraph (no line breaks in it) into lines.
void BreakParagraph(const std::string& s, int nMaxWidth, const TextWidthFn& fnWidth, std::vector<std::string>* pLines) {
    const std::vector<Char> chars = DecodeUtf8(s);
    size_t uStart = 0;  // index of the line's first character
    const size_t n = chars.size();
    auto bytes = [&](size_t uFrom, size_t uTo) {  // the bytes of characters [uFrom, uTo)
        if (uFrom >= uTo) return std::string();
        return s.substr(chars[uFrom].uPos, chars[uTo - 1].uPos + chars[uTo - 1].uLen - chars[uFrom].uPos);
    };
    auto width = [&](size_t uFrom, size_t uTo) {
        std::string t = bytes(uFrom, uTo);
        return fnWidth(t.data(), (int)t.size());
    };
    // Blanks at the end of a line are not counted and not kept.
    auto trimmedEnd = [&](size_t uFrom, size_t uTo) {
        while (uTo > uFrom && IsBlank(chars[uTo - 1].c)) --uTo;
        return uTo;
    };
    while (uStart < n) {
        // The farthest break that still fits, else the first character that does not.
        size_t uBestBreak = 0;  // 0: none found yet (a break is never at the line's start)
        size_t uFitEnd = uStart;
        for (size_t i = uStart + 1; i <= n; ++i) {
            if (width(uStart, trimmedEnd(uStart, i)) > nMaxWidth) break;
            uFitEnd = i;
            if (i == n || MayBreakBetween(chars[i - 1].c, chars[i].c)) uBestBreak = i;
        }
        size_t uEnd;
        if (uFitEnd == n) {
            uEnd = n;
        } else if (uBestBreak > uStart) {
            uEnd = uBestBreak;
        } else {
            // No allowed break fits: break where the width runs out, one character at least.
            uEnd = std::max(uFitEnd, uStart + 1);
        }
        pLines->push_back(bytes(uStart, trimmedEnd(uStart, uEnd)));
        uStart = uEnd;
        while (uStart < n && IsBlank(chars[uStart].c)) ++uStart;
    }
}

}  // namespace

bool IsCjkCodePoint(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
           (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

std::vector<std::string> BreakTextLines(const std::string& strText, int nMaxWidth, const TextWidthFn& fnWidth) {
    std::vector<std::string> lines;
    std::string strBody = strText;
    while (!strBody.empty() && (strBody.back() == '\n' || strBody.back() == '\r')) strBody.pop_back();
    size_t uFrom = 0;
    while (uFrom <= strBody.size()) {
        size_t uNl = strBody.find('\n', uFrom);
        if (uNl == std::string::npos) uNl = strBody.size();
        std::string strPara = strBody.substr(uFrom, uNl - uFrom);
        if (!strPara.empty() && strPara.back() == '\r') strPara.pop_back();
        if (strPara.empty())
            lines.emplace_back();
        else
            BreakParagraph(strPara, nMaxWidth, fnWidth, &lines);
        uFrom = uNl + 1;
    }
    return lines;
}

}  // namespace qnui
