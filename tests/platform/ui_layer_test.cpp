#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ui/qnui.h"
#include "ui/qnui_headless.h"
#include "qn_ui_harness.h"

using namespace qnui;

namespace {

constexpr UINT kMainTemplate = 9001;
constexpr UINT kChildTemplate = 9002;
constexpr UINT kPlainTemplate = 9003;
constexpr UINT WM_TEST_APPEND = WM_USER + 7;
constexpr UINT WM_TEST_CHILD = WM_USER + 8;

const DLGITEMTEMPLATE kMainItems[] = {
    {"BUTTON", 1001, "Start", BS_DEFPUSHBUTTON | WS_TABSTOP, 84, 232, 79, 16},
    {"BUTTON", IDCANCEL, "Exit", BS_PUSHBUTTON, 214, 232, 79, 16},
    {"STATIC", IDC_STATIC, "status", SS_LEFT, 7, 191, 375, 8},
    {"STATIC", IDC_STATIC, "", SS_BITMAP, -1, -1, 165, 183},
    {"msctls_progress32", 1004, "", PBS_SMOOTH, 7, 208, 376, 14},
    {"COMBOBOX", 1023, "", CBS_DROPDOWN | CBS_SORT | WS_VSCROLL, 14, 29, 182, 30},
    {"STATIC", 1021, "link", SS_LEFT, 173, 159, 175, 8},
    {"BUTTON", 1030, "group", BS_GROUPBOX, 7, 12, 221, 38},
};
const DLGTEMPLATE kMain = {kMainTemplate, "main", WS_POPUP | WS_CAPTION | WS_SYSMENU, "MS Shell Dlg", 8, 390, 254,
                           kMainItems, std::size(kMainItems)};
const DLGITEMTEMPLATE kChildItems[] = {
    {"BUTTON", IDCANCEL, "取消", BS_PUSHBUTTON, 59, 60, 50, 16},
    {"BUTTON", IDOK, "确定", BS_DEFPUSHBUTTON, 129, 60, 50, 16},
};
const DLGTEMPLATE kChild = {kChildTemplate, "child", WS_POPUP | WS_CAPTION | WS_SYSMENU, "MS Shell Dlg", 8, 235, 88,
                            kChildItems, std::size(kChildItems)};
const DLGTEMPLATE kPlain = {kPlainTemplate, "plain", WS_POPUP | WS_CAPTION, nullptr, 0, 100, 50, kChildItems,
                            std::size(kChildItems)};

// A control bound by data exchange that counts what reaches it.
class CountingStatic : public CStatic {
public:
    int nSubclassed = 0;
    int nPaints = 0;
    std::string strTextAtSubclass;

protected:
    void PreSubclassWindow() override {
        ++nSubclassed;
        ModifyStyle(0, SS_NOTIFY);
        GetWindowText(strTextAtSubclass);
    }
    void OnPaint() override { ++nPaints; }
};

class ChildDialog : public CDialog {
public:
    explicit ChildDialog(CWnd* pParent) : CDialog(kChildTemplate, pParent) {}
};

// The main test dialog: a message map with a command, a cancel handler and private messages.
class TestDialog : public CDialog {
public:
    TestDialog() : CDialog(kMainTemplate) {}

    std::vector<std::string> log;
    std::atomic<int> nCancels{0};
    CountingStatic m_Link;
    CProgressCtrl m_Progress;
    bool bAskOnCancel = false;
    bool bChildWithOwner = true;
    intptr_t nChildResult = 0;

protected:
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        log.push_back("init");
        return TRUE;
    }
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, 1004, m_Progress);
        DDX_Control(pDX, 1021, m_Link);
    }
    void OnCancel() override {
        ++nCancels;
        log.push_back("cancel");
        if (bAskOnCancel && MessageBoxA(m_hWnd, "really?", "ask", MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return;
        CDialog::OnCancel();
    }
    void OnDestroy() override { log.push_back("destroy"); }
    void OnStart() {
        log.push_back("start");
        ChildDialog dlg(bChildWithOwner ? this : nullptr);
        nChildResult = dlg.DoModal();
        log.push_back("child ended");
    }
    LRESULT OnAppend(WPARAM w, LPARAM) {
        log.push_back("m" + std::to_string(w));
        return 0;
    }
    LRESULT OnChild(WPARAM, LPARAM) {
        OnStart();
        return 0;
    }
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override {
        static const MessageMapEntry<TestDialog> s_Map[] = {
            {WM_COMMAND, BN_CLICKED, 1001, nullptr, &TestDialog::OnStart},
            {WM_TEST_APPEND, 0, 0, &TestDialog::OnAppend, nullptr},
            {WM_TEST_CHILD, 0, 0, &TestDialog::OnChild, nullptr},
        };
        LRESULT lr = 0;
        if (DispatchMessageMap(this, s_Map, uMsg, wParam, lParam, &lr)) return lr;
        return CDialog::WindowProc(uMsg, wParam, lParam);
    }
};

class UiLayer : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterDialogTemplate(&kMain);
        RegisterDialogTemplate(&kChild);
        RegisterDialogTemplate(&kPlain);
    }
    HWND StartMain() {
        ui.Start([this] { return dlg.DoModal(); });
        HWND h = ui.ui().WaitForDialog(kMainTemplate);
        EXPECT_NE(h, nullptr);
        return h;
    }
    TestDialog dlg;
    qn::test::UiThread ui;
};

TEST_F(UiLayer, TemplateBuildsControlsInPixelsAndBindsMembers) {
    HWND h = StartMain();
    auto& d = ui.ui();
    // 6 x 13 base units: x * 6 / 4 and y * 13 / 8.
    RECT rcDlg = d.Rect(h, HeadlessBackend::kDialog);
    EXPECT_EQ(rcDlg.right, 585);
    EXPECT_EQ(rcDlg.bottom, 412);
    RECT rcStart = d.Rect(h, 1001);
    EXPECT_EQ(rcStart.left, 126);
    EXPECT_EQ(rcStart.top, 377);
    EXPECT_EQ(rcStart.right - rcStart.left, 118);
    // The first control with id -1 is the status line.
    EXPECT_EQ(d.Text(h, IDC_STATIC), "status");
    // The bound member took over the control: its subclass hook saw the template text.
    ASSERT_TRUE(d.OnUi([&] {
        EXPECT_EQ(dlg.m_Link.nSubclassed, 1);
        EXPECT_EQ(dlg.m_Link.strTextAtSubclass, "link");
        EXPECT_EQ(dlg.GetDlgItem(1021), &dlg.m_Link);
        EXPECT_EQ(dlg.GetDlgItem(1004), &dlg.m_Progress);
        EXPECT_NE(dlg.m_Link.GetFontHandle(), nullptr);
    }));
    EXPECT_TRUE(d.Style(h, 1021) & SS_NOTIFY);
    d.Paint(h, 1021);
    ASSERT_TRUE(d.OnUi([&] { EXPECT_EQ(dlg.m_Link.nPaints, 1); }));
    EXPECT_TRUE(d.Escape(h));
    ui.Join();
    EXPECT_EQ(ui.result(), IDCANCEL);
    EXPECT_EQ(dlg.log, (std::vector<std::string>{"init", "cancel", "destroy"}));
}

// Every way of leaving reaches the cancel handler, except the close box while the system
// menu's close item is grayed.
TEST(UiCloseRoutes, Table) {
    RegisterDialogTemplate(&kMain);
    struct Row {
        const char* cszName;
        bool bGrayClose;
        bool (*pfnAct)(HeadlessBackend&, HWND);
        int nCancels;
    } rows[] = {
        {"escape", false, [](HeadlessBackend& d, HWND h) { return d.Escape(h); }, 1},
        {"close box", false, [](HeadlessBackend& d, HWND h) { return d.CloseBox(h); }, 1},
        {"exit button", false, [](HeadlessBackend& d, HWND h) { return d.Click(h, IDCANCEL); }, 1},
        {"close box, close grayed", true, [](HeadlessBackend& d, HWND h) { return d.CloseBox(h); }, 0},
        {"escape, close grayed", true, [](HeadlessBackend& d, HWND h) { return d.Escape(h); }, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        TestDialog one;
        qn::test::UiThread t;
        t.Start([&] { return one.DoModal(); });
        HWND h = t.ui().WaitForDialog(kMainTemplate);
        ASSERT_NE(h, nullptr);
        if (r.bGrayClose) {
            ASSERT_TRUE(t.ui().OnUi([&] { one.GetSystemMenu(FALSE)->EnableMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_GRAYED | MF_DISABLED); }));
        }
        EXPECT_EQ(t.ui().SysCloseState(h), r.bGrayClose ? (int)(MF_GRAYED | MF_DISABLED) : (int)MF_ENABLED);
        EXPECT_TRUE(r.pfnAct(t.ui(), h));
        if (r.nCancels == 0) {
            // Handled once a later task has run; the dialog is still there.
            ASSERT_TRUE(t.ui().OnUi([] {}));
            EXPECT_EQ(one.nCancels.load(), 0);
            EXPECT_TRUE(t.ui().Click(h, IDCANCEL));
        }
        t.Join();
        EXPECT_EQ(t.result(), IDCANCEL);
        EXPECT_EQ(one.nCancels.load(), r.nCancels == 0 ? 1 : r.nCancels);
    }
}

// Enter presses the default button: the child opens, and Enter there gives IDOK.
TEST_F(UiLayer, EnterPressesTheDefaultButton) {
    HWND h = StartMain();
    EXPECT_TRUE(ui.ui().Enter(h));
    HWND hChild = ui.ui().WaitForDialog(kChildTemplate);
    ASSERT_NE(hChild, nullptr);
    EXPECT_TRUE(ui.ui().Enter(hChild));
    ASSERT_TRUE(ui.ui().WaitForDialogEnd(kChildTemplate));
    ASSERT_TRUE(ui.ui().OnUi([&] { EXPECT_EQ(dlg.nChildResult, IDOK); }));
    EXPECT_TRUE(ui.ui().Escape(h));
}

// Posted messages keep their order, reach the dialog while a box or a child dialog runs, and
// a post to a window that has gone is refused.
TEST_F(UiLayer, PostedMessagesInOrderThroughNestedLoops) {
    HWND h = StartMain();
    auto& d = ui.ui();
    std::thread worker([h] {
        for (int i = 0; i < 500; ++i) PostMessage(h, WM_TEST_APPEND, (WPARAM)i, 0);
    });
    worker.join();
    ASSERT_TRUE(d.WaitUntil([&] { return dlg.log.size() == 501; }));
    ASSERT_TRUE(d.OnUi([&] {
        for (int i = 0; i < 500; ++i) EXPECT_EQ(dlg.log[(size_t)i + 1], "m" + std::to_string(i));
    }));

    // A box held open inside the cancel handler: posts are still handled.
    d.AnswerMessageBox(IDCANCEL, true);
    ASSERT_TRUE(d.OnUi([&] { dlg.bAskOnCancel = true; }));
    EXPECT_TRUE(d.Click(h, IDCANCEL));
    std::optional<BoxRecord> box = d.WaitForHeldBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->strText, "really?");
    EXPECT_EQ(box->hOwner, h);
    EXPECT_TRUE(PostMessage(h, WM_TEST_APPEND, 900, 0));
    ASSERT_TRUE(d.WaitUntil([&] { return dlg.log.back() == "m900"; }));
    // The owner is disabled while its box shows.
    EXPECT_FALSE(d.Enabled(h, HeadlessBackend::kDialog));
    EXPECT_FALSE(d.Click(h, 1001));
    EXPECT_TRUE(d.ReleaseBox(IDCANCEL));
    ASSERT_TRUE(d.WaitUntil([&] { return dlg.IsWindowEnabled() != FALSE; }));

    // A child dialog owned by the dialog: posts still reach the dialog, input does not.
    EXPECT_TRUE(d.Click(h, 1001));
    HWND hChild = d.WaitForDialog(kChildTemplate);
    ASSERT_NE(hChild, nullptr);
    EXPECT_TRUE(PostMessage(h, WM_TEST_APPEND, 901, 0));
    ASSERT_TRUE(d.WaitUntil([&] { return dlg.log.back() == "m901"; }));
    EXPECT_FALSE(d.Click(h, 1001));
    EXPECT_FALSE(d.Escape(h));
    EXPECT_TRUE(d.Click(hChild, IDCANCEL));
    ASSERT_TRUE(d.WaitForDialogEnd(kChildTemplate));
    ASSERT_TRUE(d.OnUi([&] { EXPECT_EQ(dlg.nChildResult, IDCANCEL); }));
    EXPECT_TRUE(d.Enabled(h, HeadlessBackend::kDialog));
    EXPECT_FALSE(PostMessage(hChild, WM_TEST_APPEND, 1, 0));

    d.AnswerMessageBox(IDOK);
    EXPECT_TRUE(d.Escape(h));
    ui.Join();
    EXPECT_FALSE(PostMessage(h, WM_TEST_APPEND, 1, 0));
}

// A child dialog without an owner leaves the dialog below it live.
TEST_F(UiLayer, ChildWithoutOwnerLeavesDialogLive) {
    dlg.bChildWithOwner = false;
    HWND h = StartMain();
    EXPECT_TRUE(ui.ui().Click(h, 1001));
    HWND hChild = ui.ui().WaitForDialog(kChildTemplate);
    ASSERT_NE(hChild, nullptr);
    EXPECT_TRUE(ui.ui().Enabled(h, HeadlessBackend::kDialog));
    EXPECT_TRUE(ui.ui().Escape(hChild));
    ASSERT_TRUE(ui.ui().WaitForDialogEnd(kChildTemplate));
    EXPECT_TRUE(ui.ui().Escape(h));
}

// A quit message ends every modal loop, the innermost first.
TEST_F(UiLayer, QuitEndsNestedLoops) {
    HWND h = StartMain();
    EXPECT_TRUE(PostMessage(h, WM_TEST_CHILD, 0, 0));
    ASSERT_NE(ui.ui().WaitForDialog(kChildTemplate), nullptr);
    PostTask([] { PostQuitMessage(0); });
    ui.Join();
    EXPECT_EQ(ui.result(), -1);
    EXPECT_EQ(dlg.nChildResult, -1);
    EXPECT_EQ(dlg.log.back(), "destroy");
    // The quit was used up: the next dialog runs.
    ChildDialog again(nullptr);
    qn::test::UiThread t2;
    t2.Start([&] { return again.DoModal(); });
    HWND h2 = t2.ui().WaitForDialog(kChildTemplate);
    ASSERT_NE(h2, nullptr);
    EXPECT_TRUE(t2.ui().Click(h2, IDOK));
    t2.Join();
    EXPECT_EQ(t2.result(), IDOK);
}

// Input that a user could not give is refused.
TEST_F(UiLayer, RefusedInput) {
    HWND h = StartMain();
    auto& d = ui.ui();
    ASSERT_TRUE(d.OnUi([&] { dlg.GetDlgItem(1001)->EnableWindow(FALSE); }));
    struct Row {
        const char* cszName;
        bool bTaken;
        std::function<bool()> fn;
    } rows[] = {
        {"disabled button", false, [&] { return d.Click(h, 1001); }},
        {"Enter with the default button disabled", false, [&] { return d.Enter(h); }},
        {"group box", false, [&] { return d.Click(h, 1030); }},
        {"missing control", false, [&] { return d.Click(h, 4242); }},
        {"static without notify", false, [&] { return d.MouseMove(h, IDC_STATIC, 1, 1); }},
        {"static with notify", true, [&] { return d.MouseMove(h, 1021, 1, 1); }},
        {"typing into the combo", true, [&] { return d.TypeText(h, 1023, "typed"); }},
    };
    for (const Row& r : rows) EXPECT_EQ(r.fn(), r.bTaken) << r.cszName;
    EXPECT_EQ(d.Text(h, 1023), "typed");
    EXPECT_TRUE(d.Escape(h));
}

// A box with no scripted answer fails the test run that meets it and answers Cancel.
TEST_F(UiLayer, UnexpectedBoxIsAFailure) {
    std::vector<std::string> seen;
    ui.ui().SetFailureHandler([&](const std::string& s) { seen.push_back(s); });
    int nResult = 0;
    std::string strFolder;
    bool bFolder = true;
    std::thread t([&] {
        // Run the boxes on a thread that has no dialog: they need no loop when answered at once.
        nResult = MessageBoxA(nullptr, "surprise", "x", MB_OKCANCEL);
        BROWSEINFOA bi{};
        bi.lpszTitle = "pick";
        LPITEMIDLIST p = SHBrowseForFolderA(&bi);
        bFolder = p != nullptr;
        CoTaskMemFree(p);
    });
    t.join();
    EXPECT_EQ(nResult, IDCANCEL);
    EXPECT_FALSE(bFolder);
    EXPECT_EQ(seen, (std::vector<std::string>{"unexpected message box: surprise", "unexpected folder browser: pick"}));
    EXPECT_EQ(ui.ui().Failures().size(), 2u);
}

// Folder browser answers: a folder comes back as an item list that gives its path.
TEST(UiShell, FolderBrowserAnswers) {
    auto d = UseHeadlessBackend();
    d->SetFailureHandler([](const std::string& s) { ADD_FAILURE() << s; });
    d->AnswerFolder(std::string("/games/qel/"));
    d->AnswerFolder(std::nullopt);
    d->AnswerFolder(std::string(300, 'a'));
    BROWSEINFOA bi{};
    bi.lpszTitle = "title";
    char szPath[260];
    LPITEMIDLIST p = SHBrowseForFolderA(&bi);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(SHGetPathFromIDListA(p, szPath));
    EXPECT_STREQ(szPath, "/games/qel/");
    CoTaskMemFree(p);
    EXPECT_EQ(SHBrowseForFolderA(&bi), nullptr);
    p = SHBrowseForFolderA(&bi);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(SHGetPathFromIDListA(p, szPath));
    CoTaskMemFree(p);
    ASSERT_EQ(d->Folders().size(), 3u);
    EXPECT_EQ(d->Folders()[0].strText, "title");
}

// Control values: progress clamps to its range, the sorted combo ignores ASCII case, a text
// read into a small buffer is cut at a character boundary, and an unchanged text is not set.
TEST(UiControls, Values) {
    UseHeadlessBackend();
    RegisterDialogTemplate(&kMain);
    class Dlg : public CDialog {
    public:
        Dlg() : CDialog(kMainTemplate) {}
        BOOL OnInitDialog() override {
            CDialog::OnInitDialog();
            auto* pBar = dynamic_cast<CProgressCtrl*>(GetDlgItem(1004));
            struct {
                int nSet, nShown;
            } bar[] = {{37, 37}, {101, 100}, {-5, 0}, {100, 100}};
            for (auto& r : bar) {
                pBar->SetPos(r.nSet);
                EXPECT_EQ(pBar->GetPos(), r.nShown) << r.nSet;
            }
            auto* pCombo = dynamic_cast<CComboBox*>(GetDlgItem(1023));
            for (const char* csz : {"b/", "C/", "a/", "B0/"}) pCombo->AddString(csz);
            std::vector<std::string> items;
            for (int i = 0; i < pCombo->GetCount(); ++i) {
                CString s;
                pCombo->GetLBText(i, s);
                items.push_back(s);
            }
            EXPECT_EQ(items, (std::vector<std::string>{"a/", "b/", "B0/", "C/"}));
            CWnd* pStatus = GetDlgItem(IDC_STATIC);
            pStatus->SetWindowText("修复完成");  // four characters of three bytes
            char szBuf[8];
            EXPECT_EQ(pStatus->GetWindowText(szBuf, sizeof(szBuf)), 6);
            EXPECT_STREQ(szBuf, "修复");
            uint32_t uSets = pStatus->TextSetCount();
            pStatus->SetWindowText("修复完成");
            EXPECT_EQ(pStatus->TextSetCount(), uSets);
            EndDialog(7);
            return TRUE;
        }
    } dlg;
    EXPECT_EQ(dlg.DoModal(), 7);
}

// Fonts: a dialog template with a face gives its controls that font, one without gives none;
// a deleted font can no longer be read.
TEST(UiControls, Fonts) {
    UseHeadlessBackend();
    RegisterDialogTemplate(&kMain);
    RegisterDialogTemplate(&kPlain);
    struct Row {
        UINT nTemplate;
        bool bFont;
    } rows[] = {{kMainTemplate, true}, {kPlainTemplate, false}};
    for (const Row& r : rows) {
        class Dlg : public CDialog {
        public:
            explicit Dlg(UINT n) : CDialog(n) {}
            bool bDialogFont = false, bControlFont = false;
            LOGFONT lf{};
            BOOL OnInitDialog() override {
                CDialog::OnInitDialog();
                HFONT hFont = (HFONT)SendMessage(WM_GETFONT);
                bDialogFont = hFont != nullptr;
                bControlFont = GetDlgItem(IDOK) && GetDlgItem(IDOK)->GetFontHandle() == hFont && hFont;
                GetObject(hFont, sizeof(lf), &lf);
                EndDialog(IDOK);
                return TRUE;
            }
        } dlg(r.nTemplate);
        dlg.DoModal();
        EXPECT_EQ(dlg.bDialogFont, r.bFont);
        if (r.bFont) {
            EXPECT_STREQ(dlg.lf.lfFaceName, "MS Shell Dlg");
            EXPECT_EQ(dlg.lf.lfHeight, -11);
        }
    }
    CFont font;
    LOGFONT lf{};
    lf.lfWeight = FW_BOLD;
    ASSERT_TRUE(font.CreateFontIndirect(&lf));
    HFONT h = font.GetSafeHandle();
    LOGFONT out{};
    EXPECT_EQ(GetObject(h, sizeof(out), &out), (int)sizeof(LOGFONT));
    EXPECT_EQ(out.lfWeight, FW_BOLD);
    font.DeleteObject();
    EXPECT_EQ(GetObject(h, sizeof(out), &out), 0);
}

}  // namespace
