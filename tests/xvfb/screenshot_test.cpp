#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include <cstdio>
#include <cstdlib>

#include "DamageScenarios.h"
#include "EngineHarness.h"
#include "FakeTransport.h"
#include "LinkStatic.h"
#include "ServedTree.h"
#include "QN_ConfirmPathDlg.h"
#include "QN_QelRepairDlg.h"
#include "app_test_hooks.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"
#include "qnui_fltk.h"
#include "ui/qnui.h"
#include "ui/qnui_backend.h"
#include "xvfb_display.h"

using namespace qnui;

namespace {

struct Shot {
    std::vector<unsigned char> rgb;
    int w = 0, h = 0;
    bool ok = false;
    const unsigned char* At(int x, int y) const { return &rgb[((size_t)y * w + x) * 3]; }
    bool Dark(int x, int y) const {
        const unsigned char* p = At(x, y);
        return p[0] + p[1] + p[2] < 3 * 110;
    }
    // Pixels of pure black: a window read before it was drawn is black all over.
    int Black() const {
        int n = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) n += At(x, y)[0] == 0 && At(x, y)[1] == 0 && At(x, y)[2] == 0;
        return n;
    }
    int Ink(const RECT& rc) const {
        int n = 0;
        for (int y = std::max<int>(0, rc.top); y < std::min<int>(h, rc.bottom); ++y)
            for (int x = std::max<int>(0, rc.left); x < std::min<int>(w, rc.right); ++x) n += Dark(x, y);
        return n;
    }
};

// Writes the shot as a PNG into $QN_SCREENSHOT_DIR, when that is set, to look at by eye.
void SavePng(const Shot& shot, const char* cszName) {
    const char* cszDir = std::getenv("QN_SCREENSHOT_DIR");
    if (!cszDir || !shot.ok) return;
    std::string raw;
    for (int y = 0; y < shot.h; ++y) {
        raw.push_back(0);
        raw.append((const char*)shot.At(0, y), (size_t)shot.w * 3);
    }
    uLongf uLen = compressBound(raw.size());
    std::string z(uLen, 0);
    compress((Bytef*)z.data(), &uLen, (const Bytef*)raw.data(), raw.size());
    z.resize(uLen);
    auto be32 = [](uint32_t v) { return std::string{(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v}; };
    auto chunk = [&](const char* cszType, const std::string& data) {
        std::string body = std::string(cszType, 4) + data;
        return be32((uint32_t)data.size()) + body + be32((uint32_t)crc32(0, (const Bytef*)body.data(), body.size()));
    };
    std::string ihdr = be32((uint32_t)shot.w) + be32((uint32_t)shot.h) + std::string("\x08\x02\x00\x00\x00", 5);
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", z) + chunk("IEND", "");
    std::string path = std::string(cszDir) + "/" + cszName + ".png";
    if (FILE* f = std::fopen(path.c_str(), "wbe")) {
        std::fwrite(png.data(), 1, png.size(), f);
        std::fclose(f);
    }
}

class Screenshot : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XvfbStartError().empty()) GTEST_SKIP() << XvfbStartError();
        static std::shared_ptr<IBackend> s_pBackend = UseFltkBackend();
        if (!s_pBackend) GTEST_SKIP() << "no X display";
        SetBackend(s_pBackend);
    }
    // Runs the dialog on this thread; once it shows, fnSetUp runs, the window is captured and
    // the dialog ends.
    Shot Run(CDialog& dlg, const std::function<void()>& fnSetUp) {
        Shot shot;
        PostTask([&] {
            if (fnSetUp) fnSetUp();
            shot.ok = FltkCaptureDialog(dlg.GetSafeHwnd(), &shot.rgb, &shot.w, &shot.h);
            dlg.EndDialog(IDOK);
        });
        dlg.DoModal();
        SavePng(shot, ::testing::UnitTest::GetInstance()->current_test_info()->name());
        return shot;
    }
};

constexpr UINT kMainLike = 9301;
const char kTitle[] = "《Qel》客户端修复工具";
const DLGITEMTEMPLATE kMainItems[] = {
    {"BUTTON", 1001, "开始修复", BS_DEFPUSHBUTTON, 84, 232, 79, 16},
    {"BUTTON", 1002, "退出", BS_PUSHBUTTON, 214, 232, 79, 16},
    {"STATIC", IDC_STATIC, "准备修复...", SS_LEFT, 7, 191, 375, 8},
    {"STATIC", IDC_STATIC, "", SS_BITMAP, -1, -1, 165, 183},
    {"STATIC", 1022, "", SS_SUNKEN, 0, 181, 400, 1},
    {"msctls_progress32", 1004, "", PBS_SMOOTH, 7, 208, 376, 14},
    {"STATIC", 1019, kTitle, SS_LEFT, 185, 9, 185, 14},
    {"STATIC", 1020, "欢迎使用《Qel》客户端修复工具。\n\n该工具可以帮助您修复不完整的客户端。", SS_LEFT, 172, 31, 211, 100},
    {"STATIC", 1021, "Link", SS_LEFT, 173, 159, 175, 8},
    {"STATIC", 1030, kTitle, SS_LEFT, 185, 140, 185, 14},  // the title's text in the plain font
};
const DLGTEMPLATE kMainTemplate = {kMainLike, kTitle, WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                   "MS Shell Dlg", 8, 390, 254, kMainItems, std::size(kMainItems)};

class MainLike : public CDialog {
public:
    MainLike() : CDialog(kMainLike) { RegisterDialogTemplate(&kMainTemplate); }
    CLinkStatic m_LinkStatic;
    CProgressCtrl m_ProgressCtrl;
    CFont m_TitleFont;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, 1004, m_ProgressCtrl);
        DDX_Control(pDX, 1021, m_LinkStatic);
    }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        m_TitleFont.CreateFont(0, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, nullptr);
        GetDlgItem(1019)->SendMessage(WM_SETFONT, (WPARAM)m_TitleFont.GetSafeHandle(), TRUE);
        m_LinkStatic.m_strText = "http://qel.example/download/";
        m_LinkStatic.m_strURL = m_LinkStatic.m_strText;
        m_LinkStatic.m_bTextExtentValid = 0;
        m_ProgressCtrl.SetPos(42);
        return TRUE;
    }
};

RECT RectOf(CDialog& dlg, int nId) {
    RECT rc{0, 0, 0, 0};
    if (CWnd* p = dlg.GetDlgItem(nId)) p->GetWindowRect(&rc);
    return rc;
}

TEST_F(Screenshot, MainDialogTextsProgressAndLink) {
    MainLike dlg;
    RECT rcBar{}, rcLink{}, rcTitle{}, rcPlain{};
    int nLinkWidth = 0;
    Shot shot = Run(dlg, [&] {
        rcBar = RectOf(dlg, 1004);
        rcLink = RectOf(dlg, 1021);
        rcTitle = RectOf(dlg, 1019);
        rcPlain = RectOf(dlg, 1030);
        nLinkWidth = dlg.m_LinkStatic.m_nTextWidth;
        CClientDC dc(&dlg.m_LinkStatic);
        dc.SelectObject(&dlg.m_LinkStatic.m_Font);
        nLinkWidth = dc.GetTextExtent(dlg.m_LinkStatic.m_strText).cx;
    });
    ASSERT_TRUE(shot.ok);
    EXPECT_LT(shot.Black(), shot.w * shot.h / 10) << "the window was not drawn";
    EXPECT_EQ(shot.w, 585);
    EXPECT_EQ(shot.h, 412);

    // The bar is filled over 42 % of its inside.
    int nY = (rcBar.top + rcBar.bottom) / 2, nGreen = 0;
    for (int x = rcBar.left; x < rcBar.right; ++x) {
        const unsigned char* p = shot.At(x, nY);
        nGreen += p[1] > 140 && p[0] < 80 && p[2] < 90;
    }
    double dFill = (double)nGreen / (rcBar.right - rcBar.left - 4);
    EXPECT_NEAR(dFill, 0.42, 0.04);

    // The link: pure blue text, and a row under it blue across the text's width.
    int nBlue = 0, nLongestRun = 0;
    for (int y = rcLink.top; y < rcLink.bottom + 3 && y < shot.h; ++y) {
        int nRun = 0;
        for (int x = rcLink.left; x < rcLink.right; ++x) {
            const unsigned char* p = shot.At(x, y);
            bool bBlue = p[0] == 0 && p[1] == 0 && p[2] == 255;
            nBlue += bBlue;
            nRun = bBlue ? nRun + 1 : 0;
            nLongestRun = std::max(nLongestRun, nRun);
        }
    }
    EXPECT_GT(nBlue, 0);
    ASSERT_GT(nLinkWidth, 20);
    EXPECT_GE(nLongestRun, nLinkWidth * 9 / 10) << "no underline across the link text";

    // The Chinese title is drawn, in bold: more ink than the same text in the plain face.
    int nBold = shot.Ink(rcTitle), nPlain = shot.Ink(rcPlain);
    EXPECT_GT(nPlain, 40);
    EXPECT_GT(nBold, nPlain * 11 / 10);
}

// Chinese characters come out as their glyphs: two different characters draw different
// shapes, where a font without them would draw the same empty box twice.
TEST_F(Screenshot, ChineseGlyphsAreDrawn) {
    static const DLGITEMTEMPLATE kItems[] = {
        {"STATIC", 1, "请", SS_LEFT, 10, 10, 12, 10},
        {"STATIC", 2, "选", SS_LEFT, 40, 10, 12, 10},
    };
    static const DLGTEMPLATE kTemplate = {9302, "glyphs", WS_POPUP | WS_CAPTION, "MS Shell Dlg", 8, 100, 40, kItems,
                                          std::size(kItems)};
    RegisterDialogTemplate(&kTemplate);
    CDialog dlg(9302);
    RECT rc1{}, rc2{};
    Shot shot = Run(dlg, [&] {
        rc1 = RectOf(dlg, 1);
        rc2 = RectOf(dlg, 2);
    });
    ASSERT_TRUE(shot.ok);
    EXPECT_LT(shot.Black(), shot.w * shot.h / 10) << "the window was not drawn";
    int nDiffer = 0, nInk1 = 0, nInk2 = 0;
    for (int y = 0; y < rc1.bottom - rc1.top; ++y)
        for (int x = 0; x < rc1.right - rc1.left; ++x) {
            bool b1 = shot.Dark(rc1.left + x, rc1.top + y), b2 = shot.Dark(rc2.left + x, rc2.top + y);
            nInk1 += b1;
            nInk2 += b2;
            nDiffer += b1 != b2;
        }
    EXPECT_GT(nInk1, 15);
    EXPECT_GT(nInk2, 15);
    EXPECT_GT(nDiffer, 10);
}

HRESULT FakeInit() { return S_OK; }
HRESULT FakeUninit() { return S_OK; }
HRESULT FakeGetService(REFIID, void** ppv) {
    *ppv = nullptr;
    return E_FAIL;
}

// The real main dialog, started with its path confirmed: its Chinese texts are drawn, the bar
// shows a progress set by a worker, the link is blue and underlined.
TEST_F(Screenshot, MainDialog) {
    qn::test::TempDir dir;
    qn::testing::SetModuleFileName((dir / "QelRepair.exe").c_str());
    static const QN_DOWNLOAD_LIBRARY_ENTRY kFake = {&FakeInit, &FakeUninit, &FakeGetService};
    qn::testing::SetDownloadLibraryEntry(&kFake);
    static char szArg0[] = "QelRepair.exe", szArg1[] = "-i";
    static char* argv[] = {szArg0, szArg1, nullptr};
    AfxSetCommandLine(2, argv);
    QN_QelRepairDlg dlg;
    RECT rcBar{}, rcLink{}, rcStatus{};
    Shot shot = Run(dlg, [&] {
        dlg._SetProgress(42);
        dlg._SetStatusText("正在修复：正在获取版本信息...");
        // Let the two posted messages be handled first.
        RunModalLoop([n = 0]() mutable { return ++n > 3; });
        rcBar = RectOf(dlg, QN_QelRepairDlg::IDC_PROGRESS_REPAIR);
        rcLink = RectOf(dlg, QN_QelRepairDlg::IDC_STATIC_LINK);
        rcStatus = RectOf(dlg, IDC_STATIC);
    });
    AfxSetCommandLine(0, nullptr);
    qn::testing::SetDownloadLibraryEntry(nullptr);
    qn::testing::SetModuleFileName(nullptr);
    ASSERT_TRUE(shot.ok);
    EXPECT_LT(shot.Black(), shot.w * shot.h / 10) << "the window was not drawn";
    EXPECT_EQ(shot.w, 585);
    EXPECT_EQ(shot.h, 412);
    int nY = (rcBar.top + rcBar.bottom) / 2, nGreen = 0;
    for (int x = rcBar.left; x < rcBar.right; ++x) {
        const unsigned char* p = shot.At(x, nY);
        nGreen += p[1] > 140 && p[0] < 80 && p[2] < 90;
    }
    EXPECT_NEAR((double)nGreen / (rcBar.right - rcBar.left - 4), 0.42, 0.04);
    int nBlue = 0;
    for (int y = rcLink.top; y < rcLink.bottom + 3; ++y)
        for (int x = rcLink.left; x < rcLink.right; ++x) {
            const unsigned char* p = shot.At(x, y);
            nBlue += p[0] == 0 && p[1] == 0 && p[2] == 255;
        }
    EXPECT_GT(nBlue, 50);
    EXPECT_GT(shot.Ink(rcStatus), 60);
}

TEST_F(Screenshot, FolderDialog) {
    QN_ConfirmPathDlg dlg;
    dlg.Init("/tmp/");
    RECT rcGroup{}, rcOk{};
    Shot shot = Run(dlg, [&] {
        rcGroup = RectOf(dlg, IDC_STATIC);
        rcOk = RectOf(dlg, IDOK);
    });
    ASSERT_TRUE(shot.ok);
    EXPECT_LT(shot.Black(), shot.w * shot.h / 10) << "the window was not drawn";
    EXPECT_EQ(shot.w, 235 * 6 / 4);
    EXPECT_EQ(shot.h, 88 * 13 / 8);
    // The group box's title and the OK button's caption carry ink.
    RECT rcTitle{rcGroup.left + 2, rcGroup.top + 1, rcGroup.right - 2, rcGroup.top + 16};
    EXPECT_GT(shot.Ink(rcTitle), 60);
    EXPECT_GT(shot.Ink(rcOk), 20);
}

// A whole repair of a broken kit client in the real window: the summary line, the full
// progress bar and the caption "完成" as drawn.
TEST_F(Screenshot, RepairSummary) {
    qn::test::TempDir dir;
    std::string err;
    qn::kit::BuiltFixture fx;
    ASSERT_TRUE(qn::kit::BuildFixture(qn::kit::FixtureId::F1, dir / "fx", qn::kit::SourceMode::UpdateFiles, &fx, &err))
        << err;
    qn::kit::EngineHarness h(dir / "run");
    ASSERT_TRUE(h.Prepare(fx, qn::kit::FindScenario("D-ALL"), &err)) << err;
    qn::kit::ServedTree served;
    ASSERT_TRUE(served.Start(qn::kit::TransportKind::Fake, h.docroot(), &err)) << err;
    qn::test::WriteFile(h.workRoot() + "/repair_settings.ini", "[server]\r\nip=" + served.BaseUrl() + "/qelrepair/\r\n");
    qn::testing::SetModuleFileName((h.workRoot() + "/QelRepair.exe").c_str());
    static const QN_DOWNLOAD_LIBRARY_ENTRY kEntry = {&FakeInit, &FakeUninit, &qn::kit::FakeTransport::GetService};
    qn::testing::SetDownloadLibraryEntry(&kEntry);
    QN_SetRepairDialogWorkers(QN_GetProgramRepairDialogWorkers());
    static char szArg0[] = "QelRepair.exe", szArg1[] = "-i";
    static char* argv[] = {szArg0, szArg1, nullptr};
    AfxSetCommandLine(2, argv);
    const std::string kSummary = "修复完成：共有6个资源损坏，成功修复6个，失败0个。";
    QN_QelRepairDlg dlg;
    RECT rcBar{}, rcStatus{}, rcStart{};
    std::string strStatus, strCaption;
    Shot shot = Run(dlg, [&] {
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(QN_QelRepairDlg::IDC_BUTTON_START, BN_CLICKED), 0);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        // The loop waits for messages; a waker looks again every 100 ms, so that the deadline
        // holds even when the run posts nothing more.
        std::atomic<bool> bDone{false};
        std::thread waker([&] {
            while (!bDone) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                GetBackend()->Wake();
            }
        });
        RunModalLoop([&] {
            CString s;
            dlg.GetDlgItem(IDC_STATIC)->GetWindowText(s);
            // The run has ended once Start is open again under a final line.
            return (s.find("修复") == 0 && dlg.GetDlgItem(QN_QelRepairDlg::IDC_BUTTON_START)->IsWindowEnabled()) ||
                   std::chrono::steady_clock::now() > deadline;
        });
        bDone = true;
        waker.join();
        // Start is opened by the run's last message: the caption and the progress came before.
        CString s, c;
        dlg.GetDlgItem(IDC_STATIC)->GetWindowText(s);
        dlg.GetDlgItem(QN_QelRepairDlg::IDC_BUTTON_START)->GetWindowText(c);
        strStatus = s;
        strCaption = c;
        rcBar = RectOf(dlg, QN_QelRepairDlg::IDC_PROGRESS_REPAIR);
        rcStatus = RectOf(dlg, IDC_STATIC);
        rcStart = RectOf(dlg, QN_QelRepairDlg::IDC_BUTTON_START);
    });
    AfxSetCommandLine(0, nullptr);
    QN_SetRepairDialogWorkers({nullptr, nullptr});
    served.Stop();
    qn::testing::SetDownloadLibraryEntry(nullptr);
    qn::testing::SetModuleFileName(nullptr);
    ASSERT_TRUE(shot.ok);
    EXPECT_EQ(strStatus, kSummary);
    EXPECT_EQ(strCaption, "完成");
    EXPECT_LT(shot.Black(), shot.w * shot.h / 10) << "the window was not drawn";
    int nY = (rcBar.top + rcBar.bottom) / 2, nGreen = 0;
    for (int x = rcBar.left; x < rcBar.right; ++x) {
        const unsigned char* p = shot.At(x, nY);
        nGreen += p[1] > 140 && p[0] < 80 && p[2] < 90;
    }
    EXPECT_GT((double)nGreen / (rcBar.right - rcBar.left - 4), 0.95) << "the bar is full";
    // The summary's 25 glyphs leave far more ink than the short start-up line would.
    EXPECT_GT(shot.Ink(rcStatus), 400);
    EXPECT_GT(shot.Ink(rcStart), 20);
}

}  // namespace
