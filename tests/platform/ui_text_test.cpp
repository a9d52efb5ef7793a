#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/qnui_text.h"

using qnui::BreakTextLines;

namespace {

// One unit per character, whatever its script: the tests count characters, not pixels.
int CharCount(const char* csz, int nCount) {
    int n = 0;
    for (int i = 0; i < nCount; ++i) n += ((unsigned char)csz[i] & 0xC0) != 0x80;
    return n;
}

struct BreakCase {
    const char* cszName;
    const char* cszText;
    int nMaxWidth;
    std::vector<std::string> lines;
};

TEST(MessageBoxText, BreaksLinesWhereTheyMayBreak) {
    const BreakCase kCases[] = {
        {"Chinese breaks between any two characters", "中断修复有可能", 3, {"中断修", "复有可", "能"}},
        {"a closing mark stays on its line", "你确认要中断吗？", 7, {"你确认要中断", "吗？"}},
        {"an opening mark stays with what follows", "选择《Qel》客户端", 6, {"选择", "《Qel》客", "户端"}},
        {"Latin breaks at blanks, dropped at the break", "the quick  brown fox", 10, {"the quick", "brown fox"}},
        {"Latin before Chinese may break at the change", "Qel根目录", 4, {"Qel根", "目录"}},
        {"a run with no break is cut, not lost", "abcdefghij", 4, {"abcd", "efgh", "ij"}},
        {"line breaks break, trailing ones add nothing", "ab\r\n\ncd\n", 10, {"ab", "", "cd"}},
        {"a text that fits is one line", "提示", 10, {"提示"}},
        {"a width smaller than one character still moves on", "中文", 0, {"中", "文"}},
    };
    for (const BreakCase& c : kCases) {
        EXPECT_EQ(BreakTextLines(c.cszText, c.nMaxWidth, &CharCount), c.lines) << c.cszName;
    }
}

// Whatever the width, joining the lines gives the text back without its break blanks and
// line breaks: no character is dropped or doubled, invalid bytes included.
TEST(MessageBoxText, KeepsEveryCharacter) {
    const std::string kTexts[] = {
        "中断修复有可能损坏Qel的游戏资源，使游戏无法正常运行，你确认要中断吗？\n",
        "你选择的目录不存在，或者不是一个合法的目录，请重新选择！",
        "The folder you chose does not exist or is not a folder; please choose another one.",
        std::string("bad \xE4\xB8 bytes \xFF here"),
    };
    auto squeeze = [](const std::string& s) {
        std::string out;
        for (char ch : s)
            if (ch != ' ' && ch != '\n' && ch != '\r') out += ch;
        return out;
    };
    for (const std::string& strText : kTexts) {
        for (int nWidth : {1, 2, 5, 13, 40, 1000}) {
            std::string strJoined;
            for (const std::string& strLine : BreakTextLines(strText, nWidth, &CharCount)) {
                EXPECT_LE(CharCount(strLine.data(), (int)strLine.size()), std::max(nWidth, 1)) << strLine;
                strJoined += strLine;
            }
            EXPECT_EQ(squeeze(strJoined), squeeze(strText)) << "width " << nWidth;
        }
    }
}

}  // namespace
