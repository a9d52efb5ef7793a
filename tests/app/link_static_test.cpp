#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "LinkStatic.h"
#include "qn_test_hooks.h"
#include "qn_ui_harness.h"
#include "ui/qnui.h"
#include "ui/qnui_headless.h"

using namespace qnui;

namespace {

constexpr UINT kWithFont = 9101;
constexpr UINT kWithoutFont = 9102;
constexpr int kLink = 1021;

const DLGITEMTEMPLATE kItems[] = {
    {"STATIC", kLink, "Link", SS_LEFT, 173, 159, 175, 8},
    {"BUTTON", IDCANCEL, "x", BS_PUSHBUTTON, 0, 0, 10, 10},
};
const DLGTEMPLATE kTemplateWithFont = {kWithFont, "link", WS_POPUP | WS_CAPTION | WS_SYSMENU, "MS Shell Dlg", 8,
                                       390, 254, kItems, std::size(kItems)};
const DLGTEMPLATE kTemplateWithoutFont = {kWithoutFont, "link", WS_POPUP | WS_CAPTION, nullptr, 0, 390, 254, kItems,
                                          std::size(kItems)};

// Ten code points, 16 bytes: the width counts characters, not bytes.
const char kTenCodePoints[] = "下载页面abcdef";
const char kUrl[] = "http://qel.example/download/";

std::mutex g_OpenedLock;
std::vector<std::string> g_Opened;
void RecordOpen(const char* cszVerb, const char* cszFile) {
    std::lock_guard<std::mutex> lock(g_OpenedLock);
    g_Opened.push_back(std::string(cszVerb) + " " + cszFile);
}
std::vector<std::string> Opened() {
    std::lock_guard<std::mutex> lock(g_OpenedLock);
    return g_Opened;
}

class LinkDialog : public CDialog {
public:
    explicit LinkDialog(UINT nTemplate) : CDialog(nTemplate) {}
    CLinkStatic m_LinkStatic;
    std::string strTextAtBinding;

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, kLink, m_LinkStatic); }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        strTextAtBinding = m_LinkStatic.m_strText;
        m_LinkStatic.m_strText = kTenCodePoints;
        m_LinkStatic.m_strURL = kUrl;
        m_LinkStatic.m_bTextExtentValid = 0;
        return TRUE;
    }
};

class LinkStatic : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterDialogTemplate(&kTemplateWithFont);
        RegisterDialogTemplate(&kTemplateWithoutFont);
        {
            std::lock_guard<std::mutex> lock(g_OpenedLock);
            g_Opened.clear();
        }
        qn::testing::SetShellOpenHook(&RecordOpen);
    }
    void TearDown() override {
        if (h) ui.ui().Escape(h);
        ui.Join();
        qn::testing::SetShellOpenHook(nullptr);
    }
    void Start(UINT nTemplate) {
        pDlg = std::make_unique<LinkDialog>(nTemplate);
        ui.Start([this] { return pDlg->DoModal(); });
        h = ui.ui().WaitForDialog(nTemplate);
        ASSERT_NE(h, nullptr);
    }
    std::unique_ptr<LinkDialog> pDlg;
    HWND h = nullptr;
    qn::test::UiThread ui;
};

TEST_F(LinkStatic, PaintDrawsUnderlinedBlueTextOfTheParentFont) {
    Start(kWithFont);
    auto& d = ui.ui();
    EXPECT_TRUE(d.Style(h, kLink) & SS_NOTIFY);
    std::vector<DrawOp> ops = d.Paint(h, kLink);
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].strText, kTenCodePoints);
    EXPECT_EQ(ops[0].x, 0);
    EXPECT_EQ(ops[0].y, 0);
    EXPECT_EQ(ops[0].crText, RGB(0, 0, 255));
    EXPECT_EQ(ops[0].nBkMode, TRANSPARENT);
    EXPECT_TRUE(ops[0].bHasFont);
    EXPECT_TRUE(ops[0].bUnderline);
    ASSERT_TRUE(d.OnUi([&] {
        EXPECT_EQ(pDlg->strTextAtBinding, "Link");
        LOGFONT lf{};
        ASSERT_TRUE(pDlg->m_LinkStatic.m_Font.GetLogFont(&lf));
        EXPECT_STREQ(lf.lfFaceName, "MS Shell Dlg");
    }));
}

// With the 7 x 13 metrics the text is 70 x 13 pixels.
TEST_F(LinkStatic, ClickOpensTheUrlOnlyInsideTheText) {
    Start(kWithFont);
    auto& d = ui.ui();
    // Before the first paint there is no font, so nothing can be measured or opened.
    EXPECT_TRUE(d.LButtonDown(h, kLink, 1, 1));
    ASSERT_TRUE(d.OnUi([] {}));
    EXPECT_TRUE(Opened().empty());
    d.Paint(h, kLink);
    struct Row {
        int x, y;
        bool bOpens;
    } rows[] = {{0, 0, true}, {69, 12, true}, {70, 5, false}, {5, 13, false}, {-1, 5, false}};
    for (const Row& r : rows) {
        size_t uBefore = Opened().size();
        EXPECT_TRUE(d.LButtonDown(h, kLink, r.x, r.y));
        ASSERT_TRUE(d.OnUi([] {}));
        EXPECT_EQ(Opened().size(), uBefore + (r.bOpens ? 1 : 0)) << r.x << "," << r.y;
    }
    EXPECT_EQ(Opened().front(), std::string("open ") + kUrl);

    // A longer text with the flag cleared is measured again.
    ASSERT_TRUE(d.OnUi([&] {
        pDlg->m_LinkStatic.m_strText = std::string(kTenCodePoints) + "0123456789";
        pDlg->m_LinkStatic.m_bTextExtentValid = 0;
    }));
    size_t uBefore = Opened().size();
    EXPECT_TRUE(d.LButtonDown(h, kLink, 100, 5));
    ASSERT_TRUE(d.OnUi([] {}));
    EXPECT_EQ(Opened().size(), uBefore + 1);
}

TEST_F(LinkStatic, CursorFollowsThePointer) {
    Start(kWithFont);
    auto& d = ui.ui();
    d.Paint(h, kLink);
    ASSERT_TRUE(d.OnUi([] { SetCursor(nullptr); }));
    struct Step {
        const char* cszWhat;
        int x, y;  // x < 0: the pointer leaves
        HCURSOR hExpect;
    } steps[] = {
        {"first move inside: only noted", 5, 5, nullptr},
        {"second move inside", 6, 5, LoadCursor(nullptr, IDC_HAND)},
        {"move beside the text", 80, 5, LoadCursor(nullptr, IDC_ARROW)},
        {"back inside", 1, 1, LoadCursor(nullptr, IDC_HAND)},
        {"leave", -1, 0, LoadCursor(nullptr, IDC_ARROW)},
        {"first move after leaving: only noted", 2, 2, LoadCursor(nullptr, IDC_ARROW)},
        {"then inside", 3, 3, LoadCursor(nullptr, IDC_HAND)},
    };
    for (const Step& s : steps) {
        if (s.x < 0)
            EXPECT_TRUE(d.MouseLeave(h, kLink));
        else
            EXPECT_TRUE(d.MouseMove(h, kLink, s.x, s.y));
        EXPECT_EQ(d.Cursor(), s.hExpect) << s.cszWhat;
    }
}

// A parent without a font: the text is drawn in the default font and clicks do nothing.
TEST_F(LinkStatic, ParentWithoutFont) {
    Start(kWithoutFont);
    auto& d = ui.ui();
    std::vector<DrawOp> ops = d.Paint(h, kLink);
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_FALSE(ops[0].bHasFont);
    EXPECT_EQ(ops[0].crText, RGB(0, 0, 255));
    for (int x : {0, 10, 69}) EXPECT_TRUE(d.LButtonDown(h, kLink, x, 1));
    d.MouseMove(h, kLink, 1, 1);
    d.MouseMove(h, kLink, 2, 1);
    EXPECT_NE(d.Cursor(), LoadCursor(nullptr, IDC_HAND));
    ASSERT_TRUE(d.OnUi([] {}));
    EXPECT_TRUE(Opened().empty());
}

}  // namespace
