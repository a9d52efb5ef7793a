#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "QN_ClientVersion.h"
#include "QN_ConfirmPathDlg.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_test_env.h"
#include "qn_ui_harness.h"
#include "ui/qnui.h"
#include "ui/qnui_headless.h"

using namespace qnui;

namespace {

const char kFolderMissing[] = "你选择的目录不存在，或者不是一个合法的目录，请重新选择！";
const char kNoClientRoot[] = "你选择的目录不是Qel根目录，请重新选择！";

TEST(ClientVersionType, FromTheFoldersUnderARoot) {
    qn::test::TempDir dir;
    struct Row {
        const char* cszName;
        std::vector<std::string> folders;  // made below the root
        bool bTrailingSeparator;
        int nExpect;
    } rows[] = {
        {"zhcn_v1", {"bin/zhcn_v1"}, true, 0},
        {"zhcn, no trailing separator", {"bin/zhcn"}, false, 1},
        {"zhcn_exp", {"bin/zhcn_exp"}, true, 2},
        {"zhcn_hd", {"bin/zhcn_hd"}, false, 3},
        {"bin without an edition", {"bin/other"}, true, -1},
        {"no bin", {"zhcn"}, true, -1},
        {"first hit in table order", {"bin/zhcn_exp", "bin/zhcn"}, true, 1},
        {"edition name in another case", {"bin/ZHCN"}, true, -1},
    };
    int n = 0;
    for (const Row& r : rows) {
        std::string strRoot = dir / ("r" + std::to_string(n++));
        qn::test::MakeDirs(strRoot);
        for (const std::string& f : r.folders) qn::test::MakeDirs(strRoot + "/" + f);
        EXPECT_EQ(QN_GetClientVersionType((strRoot + (r.bTrailingSeparator ? "/" : "")).c_str()), r.nExpect) << r.cszName;
    }
    // A root that does not exist, a file in place of a folder, an empty path.
    EXPECT_EQ(QN_GetClientVersionType((dir / "missing").c_str()), -1);
    qn::test::MakeDirs(dir / "f/bin");
    qn::test::WriteFile(dir / "f/bin/zhcn", "a file");
    EXPECT_EQ(QN_GetClientVersionType((dir / "f").c_str()), -1);
    EXPECT_EQ(QN_GetClientVersionType(""), -1);
}

TEST(ClientVersionType, TableColumns) {
    struct Row {
        const char *cszSub, *cszKey, *cszUrl, *cszName;
    } rows[] = {
        {"zhcn_v1", "zhcn_v1", "zhcn_v1", "正式服"},
        {"zhcn", "zhcn_PakV3", "zhcn_v3", "正式服"},
        {"zhcn_exp", "zhcn_exp", "zhcn_exp", "体验服"},
        {"zhcn_hd", "zhcn_hd", "zhcn_hd", "《Qel》重制版"},
    };
    for (int i = 0; i < QN_CLIENT_VERSION_TYPE::Count; ++i) {
        EXPECT_STREQ(g_aClientVersionTable[i].cszBinSubFolder, rows[i].cszSub);
        EXPECT_STREQ(g_aClientVersionTable[i].cszVersionKey, rows[i].cszKey);
        EXPECT_STREQ(g_aClientVersionTable[i].cszUrlPart, rows[i].cszUrl);
        EXPECT_STREQ(g_aClientVersionTable[i].cszVersionName, rows[i].cszName);
    }
}

// A hive with one installPath per edition key given.
std::string MachineHive(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string s;
    for (const auto& e : entries) {
        s += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Qel\\" + e.first + "]\r\n";
        if (e.second.rfind("dword:", 0) == 0)
            s += "\"installPath\"=" + e.second + "\r\n\r\n";
        else
            s += "\"installPath\"=\"" + e.second + "\"\r\n\r\n";
    }
    return s;
}

TEST(ClientPathInRegister, ReadsTheEditionKey) {
    qn::test::PlatformSandbox box;
    box.WriteHive("HKEY_LOCAL_MACHINE", MachineHive({{"ZHCN_pakv3", "/g/bin/zhcn"}, {"zhcn_hd", "dword:00000001"}}));
    char szPath[260];
    EXPECT_EQ(QN_GetClientPathInRegister(1, szPath), 1);
    EXPECT_STREQ(szPath, "/g/bin/zhcn");
    EXPECT_EQ(QN_GetClientPathInRegister(0, szPath), 0);  // no key
    EXPECT_EQ(QN_GetClientPathInRegister(3, szPath), 0);  // not a text
    EXPECT_STREQ(szPath, "");
    EXPECT_EQ(QN_GetClientPathInRegister(4, szPath), 0);
}

class ConfirmPathDlg : public ::testing::Test {
protected:
    void SetUp() override {
        root = box.root() + "/R";
        qn::test::MakeDirs(root + "/bin/zhcn");
        qn::test::MakeDirs(box.root() + "/A/bin/zhcn_exp");
        qn::test::MakeDirs(box.root() + "/B/bin/zhcn_v1");
        qn::test::MakeDirs(box.root() + "/NoEdition/bin/other");
        qn::test::MakeDirs(box.root() + "/tool");
    }
    void TearDown() override {
        ui.Close(h, false);
    }
    void Start() {
        pDlg = std::make_unique<QN_ConfirmPathDlg>();
        ASSERT_EQ(pDlg->Init((box.root() + "/tool/").c_str()), 1);
        ui.Start([this] { return pDlg->DoModal(); });
        h = ui.ui().WaitForDialog(QN_ConfirmPathDlg::IDD);
        ASSERT_NE(h, nullptr);
    }
    std::string Edit() { return ui.ui().Text(h, QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH); }

    qn::test::PlatformSandbox box;
    std::string root;
    std::unique_ptr<QN_ConfirmPathDlg> pDlg;
    HWND h = nullptr;
    qn::test::UiThread ui;
};

TEST_F(ConfirmPathDlg, TemplateTexts) {
    Start();
    auto& d = ui.ui();
    EXPECT_EQ(d.Text(h, HeadlessBackend::kDialog), "客户端目录选择");
    EXPECT_EQ(d.Text(h, IDC_STATIC), "请选择待修复客户端根目录");
    EXPECT_EQ(d.Text(h, QN_ConfirmPathDlg::IDC_CHOOSE_PATH), "浏览…");
    EXPECT_EQ(d.Text(h, IDCANCEL), "取消");
    EXPECT_EQ(d.Text(h, IDOK), "确定");
    EXPECT_EQ(d.Style(h, IDOK) & 0xF, (DWORD)BS_DEFPUSHBUTTON);
    EXPECT_TRUE(d.Style(h, QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH) & CBS_SORT);
    RECT rc = d.Rect(h, HeadlessBackend::kDialog);
    EXPECT_EQ(rc.right, 235 * 6 / 4);
    EXPECT_EQ(rc.bottom, 88 * 13 / 8);
}

// The combo box from the registered install paths.
TEST(ConfirmPathDlgList, FromTheRegistry) {
    struct Row {
        const char* cszName;
        std::vector<std::pair<std::string, std::string>> entries;  // key, installPath ("%R" = the sandbox)
        std::vector<std::string> items;
        std::string strEdit;  // "tool" = the application path
    } rows[] = {
        {"bin/zhcn/ with a separator", {{"zhcn_PakV3", "%R/R/bin/zhcn/"}}, {"%R/R/"}, "%R/R/"},
        {"another case", {{"zhcn_PakV3", "%R/R/bin/ZHCN"}}, {"%R/R/"}, "%R/R/"},
        {"Windows separators", {{"zhcn_PakV3", "%R\\R\\bin\\zhcn"}}, {"%R\\R\\"}, "%R\\R\\"},
        {"another edition's folder", {{"zhcn_PakV3", "%R/R/bin/other"}}, {}, "tool"},
        {"the edition folder of another edition", {{"zhcn_PakV3", "%R/A/bin/zhcn_exp"}}, {}, "tool"},
        {"empty", {{"zhcn_PakV3", ""}}, {}, "tool"},
        {"bin as part of a longer name", {{"zhcn_PakV3", "%R/xbin/zhcn"}}, {}, "tool"},
        {"the ending alone", {{"zhcn_PakV3", "bin/zhcn"}}, {}, "tool"},
        {"no key", {}, {}, "tool"},
        {"two editions in two places", {{"zhcn_exp", "%R/A/bin/zhcn_exp"}, {"zhcn_v1", "%R/B/bin/zhcn_v1/"}},
         {"%R/A/", "%R/B/"}, "%R/B/"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        qn::test::PlatformSandbox box;
        auto fill = [&](std::string s) {
            size_t u = s.find("%R");
            if (u != std::string::npos) s.replace(u, 2, box.root());
            return s;
        };
        std::vector<std::pair<std::string, std::string>> entries;
        for (const auto& e : r.entries) entries.push_back({e.first, fill(e.second)});
        box.WriteHive("HKEY_LOCAL_MACHINE", MachineHive(entries));
        QN_ConfirmPathDlg dlg;
        ASSERT_EQ(dlg.Init((box.root() + "/tool/").c_str()), 1);
        qn::test::UiThread t;
        t.Start([&] { return dlg.DoModal(); });
        HWND h = t.ui().WaitForDialog(QN_ConfirmPathDlg::IDD);
        ASSERT_NE(h, nullptr);
        std::vector<std::string> items;
        for (const std::string& s : r.items) items.push_back(fill(s));
        EXPECT_EQ(t.ui().ComboItems(h, QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH), items);
        EXPECT_EQ(t.ui().Text(h, QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH),
                  r.strEdit == "tool" ? box.root() + "/tool/" : fill(r.strEdit));
        EXPECT_TRUE(t.ui().Escape(h));
        t.Join();
    }
}

// OK refuses what is no client root with the right box and stays; a root is stored with its
// separator and closes the dialog.
TEST_F(ConfirmPathDlg, OkChecksTheFolder) {
    Start();
    auto& d = ui.ui();
    struct Row {
        std::string strTyped;
        const char* cszBox;  // nullptr: no box, the dialog closes
    } rows[] = {
        {box.root() + "/missing", kFolderMissing},
        {box.root() + "/NoEdition", kNoClientRoot},
        {box.root() + "/tool/", kNoClientRoot},
        {root, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.strTyped);
        size_t uBoxes = d.Boxes().size();
        if (r.cszBox) d.AnswerMessageBox(IDOK);
        ASSERT_TRUE(d.TypeText(h, QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH, r.strTyped));
        ASSERT_TRUE(d.Click(h, IDOK));
        if (!r.cszBox) break;
        ASSERT_TRUE(d.WaitUntil([&] { return d.Boxes().size() == uBoxes + 1; }));
        BoxRecord box1 = d.Boxes().back();
        EXPECT_EQ(box1.strText, r.cszBox);
        EXPECT_EQ(box1.strCaption, "提示");
        EXPECT_EQ(box1.uType, (UINT)MB_ICONEXCLAMATION);
        EXPECT_EQ(box1.hOwner, h);
        EXPECT_TRUE(d.Exists(h, IDOK));
    }
    ui.Join();
    EXPECT_EQ(ui.result(), IDOK);
    EXPECT_EQ(pDlg->m_bCancel, 0);
    EXPECT_EQ(pDlg->m_strSelectedPath, root + "/");
}

// Every way of leaving without OK sets m_bCancel.
TEST(ConfirmPathDlgCancel, EveryWayOut) {
    qn::test::PlatformSandbox box;
    struct Row {
        const char* cszName;
        bool (*pfn)(HeadlessBackend&, HWND);
    } rows[] = {
        {"Cancel", [](HeadlessBackend& d, HWND h) { return d.Click(h, IDCANCEL); }},
        {"Escape", [](HeadlessBackend& d, HWND h) { return d.Escape(h); }},
        {"close box", [](HeadlessBackend& d, HWND h) { return d.CloseBox(h); }},
    };
    for (const Row& r : rows) {
        QN_ConfirmPathDlg dlg;
        ASSERT_EQ(dlg.Init("/nowhere/"), 1);
        qn::test::UiThread t;
        t.Start([&] { return dlg.DoModal(); });
        HWND h = t.ui().WaitForDialog(QN_ConfirmPathDlg::IDD);
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(r.pfn(t.ui(), h)) << r.cszName;
        t.Join();
        EXPECT_EQ(dlg.m_bCancel, 1) << r.cszName;
        EXPECT_EQ(t.result(), IDCANCEL) << r.cszName;
        EXPECT_TRUE(dlg.m_strSelectedPath.empty());
    }
    QN_ConfirmPathDlg dlg;
    EXPECT_EQ(dlg.Init(nullptr), 0);
    EXPECT_EQ(dlg.Init(""), 0);
}

// The folder browser: owned by the dialog, which cannot be used under it; a cancel leaves the
// edit text and writes its failure line, a choice becomes the edit text.
TEST_F(ConfirmPathDlg, BrowseForTheRoot) {
    qn::test::LogCapture log;
    Start();
    auto& d = ui.ui();
    const std::string strBefore = Edit();
    d.AnswerFolder(std::nullopt);
    ASSERT_TRUE(d.Click(h, QN_ConfirmPathDlg::IDC_CHOOSE_PATH));
    ASSERT_TRUE(d.WaitUntil([&] { return d.Folders().size() == 1; }));
    EXPECT_EQ(Edit(), strBefore);
    EXPECT_EQ(d.Folders()[0].strText, "选择《Qel》客户端根目录:");
    EXPECT_EQ(d.Folders()[0].hOwner, h);

    d.AnswerFolder(root, true);
    ASSERT_TRUE(d.Click(h, QN_ConfirmPathDlg::IDC_CHOOSE_PATH));
    ASSERT_TRUE(d.WaitForHeldFolder());
    EXPECT_FALSE(d.Click(h, IDOK));
    EXPECT_FALSE(d.Click(h, QN_ConfirmPathDlg::IDC_CHOOSE_PATH));
    EXPECT_TRUE(d.ReleaseFolder(root));
    ASSERT_TRUE(d.WaitUntil([&] { return pDlg->m_PathComboBox.IsWindowEnabled() && pDlg->IsWindowEnabled(); }));
    EXPECT_EQ(Edit(), root);
    EXPECT_TRUE(d.Click(h, IDOK));
    ui.Join();
    EXPECT_EQ(pDlg->m_strSelectedPath, root + "/");
    std::vector<std::string> lines = qn::test::WithoutLineNumbers(log.Messages());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "QNLOG_PROCESS_ERROR(pIdlst) at line N in QN_ConfirmPathDlg::OnBnClickedChoosePath"}));
}

// A stand-in for the main dialog that opens the folder dialog from its Start button with
// itself as the owner: its Start and Exit cannot be pressed while the folder dialog runs.
TEST(ConfirmPathDlgOwner, MainDialogIsDisabledUnderIt) {
    qn::test::PlatformSandbox box;
    static const DLGITEMTEMPLATE kItems[] = {
        {"BUTTON", 1001, "开始修复", BS_DEFPUSHBUTTON, 84, 232, 79, 16},
        {"BUTTON", 1002, "退出", BS_PUSHBUTTON, 214, 232, 79, 16},
    };
    static const DLGTEMPLATE kMain = {9201, "main", WS_POPUP | WS_CAPTION | WS_SYSMENU, "MS Shell Dlg", 8, 390, 254,
                                      kItems, std::size(kItems)};
    RegisterDialogTemplate(&kMain);
    class Main : public CDialog {
    public:
        Main() : CDialog(9201) {}
        int nStarts = 0;
        LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override {
            if (uMsg == WM_COMMAND && wParam == MAKEWPARAM(1001, BN_CLICKED)) {
                ++nStarts;
                QN_ConfirmPathDlg dlg(this);
                dlg.Init("/nowhere/");
                dlg.DoModal();
                return 0;
            }
            if (uMsg == WM_COMMAND && wParam == MAKEWPARAM(1002, BN_CLICKED)) {
                OnCancel();
                return 0;
            }
            return CDialog::WindowProc(uMsg, wParam, lParam);
        }
    } main;
    qn::test::UiThread t;
    t.Start([&] { return main.DoModal(); });
    HWND h = t.ui().WaitForDialog(9201);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(t.ui().Click(h, 1001));
    HWND hPath = t.ui().WaitForDialog(QN_ConfirmPathDlg::IDD);
    ASSERT_NE(hPath, nullptr);
    EXPECT_FALSE(t.ui().Click(h, 1001));
    EXPECT_FALSE(t.ui().Click(h, 1002));
    EXPECT_FALSE(t.ui().CloseBox(h));
    EXPECT_TRUE(t.ui().Escape(hPath));
    ASSERT_TRUE(t.ui().WaitForDialogEnd(QN_ConfirmPathDlg::IDD));
    EXPECT_TRUE(t.ui().Click(h, 1002));
    t.Join();
    EXPECT_EQ(main.nStarts, 1);
}

}  // namespace
