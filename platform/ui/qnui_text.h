// Line breaking of the texts a message box shows. Chinese text has no blanks, so a line may
// break between two characters when either of them is a CJK character, as well as after a
// blank; a line break in the text always breaks. The rules of where a line may not start or
// end (no line starts with a closing mark such as "，" or "。", none ends with an opening one
// such as "《") keep punctuation with its word.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qnui {

// Width in pixels of a piece of UTF-8 text, in the font the lines are drawn in.
using TextWidthFn = std::function<int(const char* csz, int nCount)>;

// Breaks UTF-8 text into lines no wider than nMaxWidth. Blanks at a break are dropped, and
// line breaks at the text's end add no empty line. A run with no place to break that is
// wider than nMaxWidth is broken between characters, so that no character is ever lost.
std::vector<std::string> BreakTextLines(const std::string& strText, int nMaxWidth, const TextWidthFn& fnWidth);

// True for the code points of CJK ideographs, kana, hangul, CJK punctuation and full-width
// forms: a line may break before and after each of them.
bool IsCjkCodePoint(char32_t c);

}  // namespace qnui
