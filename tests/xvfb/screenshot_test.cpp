#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <filesystem>
#include <unistd.h>

#include "DamageScenarios.h"
#include "EngineHarness.h"
#include "FakeTransport.h"
#include "LinkStatic.h"
#include "ServedTree.h"
#include "QN_ConfirmPathDlg.h"
#include "QN_QelRepairDlg.h"
#include "app_test_hooks.h"
#include "qn_special_folder.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"
#include "qnui_fltk.h"
#include "ui/qnui.h"
#include "ui/qnui_backend.h"
#include "xvfb_display.h"

// X's own headers last: they define macros (None, Bool, Status) that the headers above do not
// expect.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <poll.h>

#include <future>

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

// What the main dialog needs to start in a screenshot: a program folder of its own, the fake
// download library and the command line "-i" (its path confirmed); all undone when it goes.
struct MainDialogStart {
    qn::test::TempDir dir;
    MainDialogStart() {
        static const QN_DOWNLOAD_LIBRARY_ENTRY kFake = {&FakeInit, &FakeUninit, &FakeGetService};
        static char szArg0[] = "QelRepair.exe", szArg1[] = "-i";
        static char* argv[] = {szArg0, szArg1, nullptr};
        qn::testing::SetModuleFileName((dir / "QelRepair.exe").c_str());
        qn::testing::SetDownloadLibraryEntry(&kFake);
        AfxSetCommandLine(2, argv);
    }
    ~MainDialogStart() {
        AfxSetCommandLine(0, nullptr);
        qn::testing::SetDownloadLibraryEntry(nullptr);
        qn::testing::SetModuleFileName(nullptr);
    }
};

// The real main dialog, started with its path confirmed: its Chinese texts are drawn, the bar
// shows a progress set by a worker, the link is blue and underlined.
TEST_F(Screenshot, MainDialog) {
    MainDialogStart start;
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

// ------------------------------------------------------------------ message boxes and browser

Shot FromFltk(const FltkShot& f) {
    Shot s;
    s.rgb = f.rgb;
    s.w = f.nWidth;
    s.h = f.nHeight;
    s.ok = !f.rgb.empty();
    return s;
}

// The box shown next, read (with its owner) and answered from inside its own modal loop.
struct BoxRun {
    FltkShot box, owner;
    bool bBox = false, bOwner = false;
};
void CaptureNextBox(BoxRun* pRun, HWND hOwner, int nAnswer) {
    PostTask([pRun, hOwner, nAnswer] {
        pRun->bBox = FltkCaptureBox(&pRun->box);
        if (hOwner) pRun->bOwner = FltkCaptureDialog(hOwner, &pRun->owner);
        FltkAnswerBox(nAnswer);
    });
}

std::vector<FltkShot::Part> PartsOf(const FltkShot& shot, const std::string& strKind) {
    std::vector<FltkShot::Part> out;
    for (const FltkShot::Part& p : shot.parts)
        if (p.strKind == strKind && p.bVisible) out.push_back(p);
    return out;
}

bool Inside(const RECT& inner, const RECT& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right && inner.bottom <= outer.bottom;
}

// The centres of two windows lie within a pixel of each other.
void ExpectCentredOn(const RECT& rc, const RECT& rcOwner, const std::string& strWhat) {
    EXPECT_NEAR((rc.left + rc.right) / 2.0, (rcOwner.left + rcOwner.right) / 2.0, 1.0) << strWhat;
    EXPECT_NEAR((rc.top + rc.bottom) / 2.0, (rcOwner.top + rcOwner.bottom) / 2.0, 1.0) << strWhat;
}

std::string WithoutBreaks(const std::string& s) {
    std::string out;
    for (char ch : s)
        if (ch != ' ' && ch != '\n' && ch != '\r') out += ch;
    return out;
}

// Every line of the box's text is laid out as wide as the backend's font measures it, lies in
// the box above the buttons, and is drawn to its last character; the lines hold the whole
// text; and nothing else is drawn in the text's part of the box.
void ExpectTextDrawnWhole(const BoxRun& run, const std::string& strText, const std::string& strName) {
    SCOPED_TRACE(strName);
    ASSERT_TRUE(run.bBox) << "no box was shown";
    const FltkShot& box = run.box;
    Shot shot = FromFltk(box);
    SavePng(shot, ("Box_" + strName).c_str());
    EXPECT_LT(shot.Black(), shot.w * shot.h / 10) << "the box was not drawn";
    EXPECT_TRUE(Inside(box.rcScreen, box.rcWorkArea)) << "the box leaves the screen";
    if (run.bOwner) ExpectCentredOn(box.rcScreen, run.owner.rcScreen, "the box is centred on its owner");

    int nButtonTop = box.nHeight;
    for (const FltkShot::Part& p : PartsOf(box, "button")) nButtonTop = std::min<int>(nButtonTop, p.rc.top);
    const std::vector<FltkShot::Part> lines = PartsOf(box, "line");
    ASSERT_FALSE(lines.empty());
    std::string strJoined;
    for (const FltkShot::Part& line : lines) {
        strJoined += line.strText;
        const SIZE size = GetBackend()->MeasureText(nullptr, line.strText.data(), (int)line.strText.size());
        EXPECT_EQ(line.rc.right - line.rc.left, size.cx) << line.strText;
        EXPECT_TRUE(Inside(line.rc, RECT{0, 0, box.nWidth, nButtonTop})) << "line out of the box: " << line.strText;
        if (line.strText.empty()) continue;
        EXPECT_GT(shot.Ink(line.rc), 0) << "line not drawn: " << line.strText;
        // The last character's cell carries ink: the line is not cut before its end.
        size_t uLast = line.strText.size() - 1;
        while (uLast > 0 && ((unsigned char)line.strText[uLast] & 0xC0) == 0x80) --uLast;
        const SIZE last = GetBackend()->MeasureText(nullptr, line.strText.data() + uLast, (int)(line.strText.size() - uLast));
        EXPECT_GT(shot.Ink(RECT{line.rc.right - last.cx, line.rc.top, line.rc.right, line.rc.bottom}), 0)
            << "the end of the line is not drawn: " << line.strText;
    }
    EXPECT_EQ(WithoutBreaks(strJoined), WithoutBreaks(strText));

    // Ink above the buttons lies only in the lines (a pixel's smoothing beside them) or the icon.
    std::vector<RECT> allowed;
    for (const FltkShot::Part& line : lines)
        allowed.push_back(RECT{line.rc.left - 2, line.rc.top - 1, line.rc.right + 2, line.rc.bottom + 1});
    for (const FltkShot::Part& icon : PartsOf(box, "icon")) allowed.push_back(icon.rc);
    int nStray = 0;
    for (int y = 0; y < nButtonTop - 2; ++y)
        for (int x = 0; x < shot.w; ++x) {
            if (!shot.Dark(x, y)) continue;
            bool bAllowed = false;
            for (const RECT& rc : allowed) bAllowed = bAllowed || (x >= rc.left && x < rc.right && y >= rc.top && y < rc.bottom);
            nStray += !bAllowed;
        }
    EXPECT_EQ(nStray, 0) << "text drawn outside its lines";
}

const char kAskInterruptText[] = "中断修复有可能损坏Qel的游戏资源，使游戏无法正常运行，你确认要中断吗？\n";
const char kFolderMissingText[] = "你选择的目录不存在，或者不是一个合法的目录，请重新选择！";
const char kNoClientRootText[] = "你选择的目录不是Qel根目录，请重新选择！";
const char kLongLatinText[] =
    "The repair could not reach its server. Check that this computer is connected to the network, that no "
    "firewall keeps the tool from the server, and that the server's address in repair_settings.ini is right; "
    "then start the repair again. A_path_without_any_blank_in_it/that/runs/longer/than/a/line/of/the/box.";

// The interrupt question, asked by the real main dialog when Exit is pressed during a repair
// (Start is shut while one runs).
TEST_F(Screenshot, InterruptQuestionIsDrawnWhole) {
    MainDialogStart start;
    QN_QelRepairDlg dlg;
    BoxRun run;
    Shot shot = Run(dlg, [&] {
        dlg.GetDlgItem(QN_QelRepairDlg::IDC_BUTTON_START)->EnableWindow(FALSE);
        CaptureNextBox(&run, dlg.GetSafeHwnd(), IDCANCEL);
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    ASSERT_TRUE(shot.ok);
    ExpectTextDrawnWhole(run, kAskInterruptText, "InterruptQuestion");
    EXPECT_EQ(PartsOf(run.box, "button").size(), 2u) << "OK and Cancel";
}

// The folder dialog's two refusals, from the real dialog's OK, and long Latin and Chinese texts.
TEST_F(Screenshot, FolderDialogAndLongTextBoxesAreDrawnWhole) {
    qn::test::TempDir dir;
    QN_ConfirmPathDlg dlg;
    dlg.Init((dir.path() + "/").c_str());
    BoxRun missing, noRoot, latin, chinese;
    const std::string strLongChinese = std::string(kAskInterruptText) + kFolderMissingText + kNoClientRootText;
    Shot shot = Run(dlg, [&] {
        CWnd* pCombo = dlg.GetDlgItem(QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH);
        pCombo->SetWindowText((dir / "no such folder").c_str());
        CaptureNextBox(&missing, dlg.GetSafeHwnd(), IDOK);
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        pCombo->SetWindowText(dir.path().c_str());
        CaptureNextBox(&noRoot, dlg.GetSafeHwnd(), IDOK);
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        CaptureNextBox(&latin, dlg.GetSafeHwnd(), IDOK);
        MessageBoxA(dlg.GetSafeHwnd(), kLongLatinText, "Repair", MB_OK | MB_ICONERROR);
        CaptureNextBox(&chinese, dlg.GetSafeHwnd(), IDOK);
        MessageBoxA(dlg.GetSafeHwnd(), strLongChinese.c_str(), "提示", MB_OK);
    });
    ASSERT_TRUE(shot.ok);
    ExpectTextDrawnWhole(missing, kFolderMissingText, "FolderMissing");
    ExpectTextDrawnWhole(noRoot, kNoClientRootText, "NoClientRoot");
    ExpectTextDrawnWhole(latin, kLongLatinText, "LongLatin");
    EXPECT_GT(PartsOf(latin.box, "line").size(), 2u) << "the long text is broken into lines";
    ExpectTextDrawnWhole(chinese, strLongChinese, "LongChinese");
    EXPECT_GT(PartsOf(chinese.box, "line").size(), 2u) << "the long text is broken into lines";
}

// Each icon flag draws its own glyph in FLTK's icon box; a box without one draws none.
TEST_F(Screenshot, MessageBoxIconsFollowTheirFlags) {
    struct IconCase {
        const char* cszName;
        UINT uFlags;
        const char* cszGlyph;  // empty: no icon
        bool bRed;
    };
    const IconCase kCases[] = {
        {"Exclamation", MB_ICONEXCLAMATION, "!", false},
        {"Question", MB_OKCANCEL | MB_ICONQUESTION, "?", false},
        {"Information", MB_ICONINFORMATION, "i", false},
        {"Error", MB_ICONERROR, "X", true},
        {"None", MB_OK, "", false},
    };
    MainLike dlg;
    std::vector<BoxRun> runs(std::size(kCases));
    Shot shot = Run(dlg, [&] {
        for (size_t i = 0; i < std::size(kCases); ++i) {
            CaptureNextBox(&runs[i], dlg.GetSafeHwnd(), IDOK);
            MessageBoxA(dlg.GetSafeHwnd(), "提示", "提示", kCases[i].uFlags);
        }
    });
    ASSERT_TRUE(shot.ok);
    std::vector<std::vector<bool>> glyphs;
    for (size_t i = 0; i < std::size(kCases); ++i) {
        const IconCase& c = kCases[i];
        SCOPED_TRACE(c.cszName);
        ASSERT_TRUE(runs[i].bBox);
        Shot box = FromFltk(runs[i].box);
        SavePng(box, (std::string("Icon_") + c.cszName).c_str());
        const std::vector<FltkShot::Part> icons = PartsOf(runs[i].box, "icon");
        const std::vector<FltkShot::Part> lines = PartsOf(runs[i].box, "line");
        ASSERT_EQ(lines.size(), 1u);
        if (!c.cszGlyph[0]) {
            EXPECT_TRUE(icons.empty());
            // Nothing drawn left of the text.
            EXPECT_EQ(box.Ink(RECT{0, 0, lines[0].rc.left - 2, lines[0].rc.bottom + 8}), 0);
            continue;
        }
        ASSERT_EQ(icons.size(), 1u);
        EXPECT_EQ(icons[0].strText, c.cszGlyph);
        EXPECT_LE(icons[0].rc.right, lines[0].rc.left) << "the icon stands left of the text";
        // The icon's white face carries the glyph in its colour; its pixels are kept to tell
        // the glyphs apart.
        const RECT& rc = icons[0].rc;
        int nWhite = 0, nGlyph = 0;
        std::vector<bool> mask;
        for (int y = rc.top + 3; y < rc.bottom - 3; ++y)
            for (int x = rc.left + 3; x < rc.right - 3; ++x) {
                const unsigned char* p = box.At(x, y);
                nWhite += p[0] > 240 && p[1] > 240 && p[2] > 240;
                const bool bInk = c.bRed ? (p[0] > 150 && p[1] < 100 && p[2] < 100) : (p[2] > 150 && p[0] < 100 && p[1] < 100);
                nGlyph += bInk;
                mask.push_back(bInk);
            }
        EXPECT_GT(nWhite, (rc.right - rc.left) * (rc.bottom - rc.top) / 3) << "no white icon face";
        EXPECT_GT(nGlyph, 20) << "no glyph in the icon";
        glyphs.push_back(mask);
    }
    for (size_t i = 0; i < glyphs.size(); ++i)
        for (size_t j = i + 1; j < glyphs.size(); ++j) {
            int nDiffer = 0;
            for (size_t k = 0; k < std::min(glyphs[i].size(), glyphs[j].size()); ++k) nDiffer += glyphs[i][k] != glyphs[j][k];
            EXPECT_GT(nDiffer, 20) << kCases[i].cszName << " and " << kCases[j].cszName << " draw the same icon";
        }
}

// The main dialog opens centred on the screen, a dialog centred on the dialog it was opened
// from, whether that is given as its owner or not.
TEST_F(Screenshot, DialogsOpenCentredOnTheirOwner) {
    static const DLGITEMTEMPLATE kItems[] = {{"BUTTON", IDOK, "确定", BS_DEFPUSHBUTTON, 10, 10, 50, 16}};
    static const DLGTEMPLATE kSmall = {9303, "small", WS_POPUP | WS_CAPTION, "MS Shell Dlg", 8, 120, 60, kItems,
                                       std::size(kItems)};
    RegisterDialogTemplate(&kSmall);
    MainLike main;
    FltkShot mainShot, ownedShot, folderShot;
    bool bMain = false, bOwned = false, bFolder = false;
    Shot shot = Run(main, [&] {
        bMain = FltkCaptureDialog(main.GetSafeHwnd(), &mainShot);
        CDialog owned(9303, &main);
        PostTask([&] {
            bOwned = FltkCaptureDialog(owned.GetSafeHwnd(), &ownedShot);
            owned.EndDialog(IDOK);
        });
        owned.DoModal();
        qn::test::TempDir dir;
        QN_ConfirmPathDlg folder;  // made with no owner, as the start flow makes it
        folder.Init((dir.path() + "/").c_str());
        PostTask([&] {
            bFolder = FltkCaptureDialog(folder.GetSafeHwnd(), &folderShot);
            folder.EndDialog(IDCANCEL);
        });
        folder.DoModal();
    });
    ASSERT_TRUE(shot.ok);
    ASSERT_TRUE(bMain && bOwned && bFolder);
    ExpectCentredOn(mainShot.rcScreen, mainShot.rcWorkArea, "the main dialog is centred on the screen");
    ExpectCentredOn(ownedShot.rcScreen, mainShot.rcScreen, "a dialog is centred on its owner");
    ExpectCentredOn(folderShot.rcScreen, mainShot.rcScreen, "a dialog with no owner is centred on the one it came from");
}

// The chooser starts in the current folder, which it preselects in its field, and gets a HOME
// of its own; both are put back when the test ends.
struct ChooserPlace {
    std::string strOldCwd = std::filesystem::current_path().string();
    std::string strOldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    bool bHadHome = std::getenv("HOME") != nullptr;
    ChooserPlace(const std::string& strCwd, const std::string& strHome) {
        ::setenv("HOME", strHome.c_str(), 1);
        std::filesystem::current_path(strCwd);
    }
    ~ChooserPlace() {
        std::filesystem::current_path(strOldCwd);
        if (bHadHome)
            ::setenv("HOME", strOldHome.c_str(), 1);
        else
            ::unsetenv("HOME");
    }
};

// The folder browser of the folder dialog: centred on the dialog, every text of it in Chinese,
// and only folders in its list. It leaves its HOME as it was: FLTK's preference files lie in
// the application-data folder.
TEST_F(Screenshot, FolderBrowserInChineseListsFoldersOnly) {
    qn::test::TempDir dir, home;
    std::filesystem::create_directory(dir / "客户端");
    qn::test::WriteFile(dir / "readme.txt", "a file");
    QN_ConfirmPathDlg dlg;
    dlg.Init((dir.path() + "/").c_str());
    BoxRun run;
    CString strAfter;
    Shot shot;
    {
        ChooserPlace place(dir.path(), home.path());
        shot = Run(dlg, [&] {
            CaptureNextBox(&run, dlg.GetSafeHwnd(), IDCANCEL);
            dlg.SendMessage(WM_COMMAND, MAKEWPARAM(QN_ConfirmPathDlg::IDC_CHOOSE_PATH, BN_CLICKED), 0);
            dlg.GetDlgItem(QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH)->GetWindowText(strAfter);
        });
    }
    EXPECT_TRUE(std::filesystem::is_empty(home.path()))
        << "made below HOME: " << std::filesystem::begin(std::filesystem::directory_iterator(home.path()))->path();
    std::string strAppData;
    ASSERT_EQ(QN_GetSpecialFolderPath(CSIDL_APPDATA, &strAppData, false), 1);
    EXPECT_TRUE(qn::test::FileExists(strAppData + "/.fltk/fltk.org/filechooser.prefs"))
        << "the chooser keeps its preferences with the tool's own files";
    ASSERT_TRUE(shot.ok);
    ASSERT_TRUE(run.bBox) << "no folder browser was shown";
    Shot browser = FromFltk(run.box);
    SavePng(browser, "FolderBrowser");
    EXPECT_LT(browser.Black(), browser.w * browser.h / 10) << "the browser was not drawn";
    ASSERT_TRUE(run.bOwner);
    ExpectCentredOn(run.box.rcScreen, run.owner.rcScreen, "the browser is centred on the folder dialog");
    EXPECT_EQ(run.box.strTitle, "选择《Qel》客户端根目录:");
    EXPECT_EQ(strAfter, dir.path() + "/") << "a cancelled browser leaves the path as it was";

    // No text of the browser is an English one: a Chinese text has bytes above 0x7F.
    auto isChineseOrNotWords = [](const std::string& s) {
        bool bLetters = false;
        for (unsigned char ch : s) {
            if (ch >= 0x80) return true;
            bLetters = bLetters || std::isalpha(ch);
        }
        return !bLetters;
    };
    int nLabels = 0;
    for (const FltkShot::Part& p : run.box.parts) {
        if (p.strKind != "label" && p.strKind != "button") continue;
        if (p.strText.find('/') != std::string::npos) continue;  // a path the user sees, not a label
        if (p.strText[0] == '@') continue;                        // a symbol drawn as a picture
        ++nLabels;
        EXPECT_TRUE(isChineseOrNotWords(p.strText)) << p.strKind << " in English: " << p.strText;
    }
    EXPECT_GT(nLabels, 4);

    // Folders only.
    std::vector<std::string> entries;
    for (const FltkShot::Part& p : PartsOf(run.box, "list")) entries.push_back(p.strText);
    EXPECT_NE(std::find(entries.begin(), entries.end(), "客户端/"), entries.end()) << "the folder is listed";
    EXPECT_EQ(std::find(entries.begin(), entries.end(), "readme.txt"), entries.end()) << "a file is listed";
}

// ------------------------------------------------------------------ real input and X properties

// A connection of its own to the test's X server, for a thread other than the UI thread: real
// pointer and key events through XTest, the screen's pixels and the windows' properties.
class XClient {
public:
    XClient() : m_pDisplay(XOpenDisplay(nullptr)) {}
    ~XClient() {
        if (m_pDisplay) XCloseDisplay(m_pDisplay);
    }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;
    bool ok() const { return m_pDisplay != nullptr; }

    void MoveTo(int x, int y) {
        XTestFakeMotionEvent(m_pDisplay, DefaultScreen(m_pDisplay), x, y, CurrentTime);
        XSync(m_pDisplay, False);
    }
    void Click(int x, int y) {
        MoveTo(x, y);
        XTestFakeButtonEvent(m_pDisplay, 1, True, CurrentTime);
        XTestFakeButtonEvent(m_pDisplay, 1, False, CurrentTime);
        XSync(m_pDisplay, False);
    }
    // Gives a window the keyboard, as a window manager gives it to a window it maps.
    void Focus(unsigned long ulWindow) {
        XSetInputFocus(m_pDisplay, (Window)ulWindow, RevertToPointerRoot, CurrentTime);
        XSync(m_pDisplay, False);
    }
    // Presses and releases the key of a key symbol, with Shift where the symbol needs it and
    // Control when asked.
    void Key(KeySym sym, bool bControl = false) {
        const KeyCode code = XKeysymToKeycode(m_pDisplay, sym);
        const bool bShift = XkbKeycodeToKeysym(m_pDisplay, code, 0, 0) != sym;
        const KeyCode shift = XKeysymToKeycode(m_pDisplay, XK_Shift_L), control = XKeysymToKeycode(m_pDisplay, XK_Control_L);
        if (bControl) XTestFakeKeyEvent(m_pDisplay, control, True, CurrentTime);
        if (bShift) XTestFakeKeyEvent(m_pDisplay, shift, True, CurrentTime);
        XTestFakeKeyEvent(m_pDisplay, code, True, CurrentTime);
        XTestFakeKeyEvent(m_pDisplay, code, False, CurrentTime);
        if (bShift) XTestFakeKeyEvent(m_pDisplay, shift, False, CurrentTime);
        if (bControl) XTestFakeKeyEvent(m_pDisplay, control, False, CurrentTime);
        XSync(m_pDisplay, False);
    }
    // Printable ASCII: the key symbols are the characters themselves.
    void Type(const std::string& s) {
        for (char ch : s) Key((KeySym)(unsigned char)ch);
    }

    // The screen's pixels inside rc.
    Shot Grab(const RECT& rc) {
        Shot shot;
        const int w = rc.right - rc.left, h = rc.bottom - rc.top;
        XImage* pImage = XGetImage(m_pDisplay, DefaultRootWindow(m_pDisplay), rc.left, rc.top, (unsigned)w, (unsigned)h,
                                   AllPlanes, ZPixmap);
        if (!pImage) return shot;
        auto channel = [](unsigned long ulPixel, unsigned long ulMask) {
            int nShift = 0;
            while (ulMask && !(ulMask & 1)) {
                ulMask >>= 1;
                ++nShift;
            }
            return (unsigned char)(((ulPixel >> nShift) & ulMask) * 255 / (ulMask ? ulMask : 1));
        };
        shot.rgb.resize((size_t)w * h * 3);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const unsigned long ulPixel = XGetPixel(pImage, x, y);
                unsigned char* p = &shot.rgb[((size_t)y * w + x) * 3];
                p[0] = channel(ulPixel, pImage->red_mask);
                p[1] = channel(ulPixel, pImage->green_mask);
                p[2] = channel(ulPixel, pImage->blue_mask);
            }
        XDestroyImage(pImage);
        shot.w = w;
        shot.h = h;
        shot.ok = true;
        return shot;
    }

    // A property's items of 32 bits (atoms, windows, numbers); empty when it is missing.
    std::vector<unsigned long> Property(unsigned long ulWindow, const char* cszName) {
        std::vector<unsigned long> out;
        Atom aType;
        int nFormat;
        unsigned long ulItems, ulAfter;
        unsigned char* pData = nullptr;
        if (XGetWindowProperty(m_pDisplay, (Window)ulWindow, XInternAtom(m_pDisplay, cszName, False), 0, 1 << 20, False,
                               AnyPropertyType, &aType, &nFormat, &ulItems, &ulAfter, &pData) == Success &&
            pData && nFormat == 32) {
            const long* p = (const long*)pData;  // Xlib hands 32-bit items out as longs
            out.assign(p, p + ulItems);
        }
        if (pData) XFree(pData);
        return out;
    }
    std::string AtomName(unsigned long ulAtom) {
        char* psz = XGetAtomName(m_pDisplay, (Atom)ulAtom);
        std::string s = psz ? psz : "";
        if (psz) XFree(psz);
        return s;
    }
    // WM_CLASS as "name/class".
    std::string WindowClass(unsigned long ulWindow) {
        XClassHint hint{};
        if (!XGetClassHint(m_pDisplay, (Window)ulWindow, &hint)) return "";
        std::string s = std::string(hint.res_name ? hint.res_name : "") + "/" + (hint.res_class ? hint.res_class : "");
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        return s;
    }
    unsigned long TransientFor(unsigned long ulWindow) {
        Window owner = 0;
        return XGetTransientForHint(m_pDisplay, (Window)ulWindow, &owner) ? (unsigned long)owner : 0;
    }
    // The places of the mapped windows that bypass the window manager: menus and lists.
    std::vector<RECT> PopupWindows() {
        std::vector<RECT> out;
        Window root, parent, *pChildren = nullptr;
        unsigned int uCount = 0;
        if (!XQueryTree(m_pDisplay, DefaultRootWindow(m_pDisplay), &root, &parent, &pChildren, &uCount)) return out;
        for (unsigned int i = 0; i < uCount; ++i) {
            XWindowAttributes attr;
            if (XGetWindowAttributes(m_pDisplay, pChildren[i], &attr) && attr.override_redirect && attr.map_state == IsViewable)
                out.push_back(RECT{attr.x, attr.y, attr.x + attr.width, attr.y + attr.height});
        }
        if (pChildren) XFree(pChildren);
        return out;
    }

private:
    Display* m_pDisplay;
};

// Runs fn on the UI thread from another thread and waits (bounded) for its result.
template <class T>
bool OnUiThread(const std::function<T()>& fn, T* pResult) {
    auto pPromise = std::make_shared<std::promise<T>>();
    std::future<T> future = pPromise->get_future();
    PostTask([pPromise, fn] { pPromise->set_value(fn()); });
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return false;
    *pResult = future.get();
    return true;
}

// The text of the box's (the folder chooser's) input field; empty without one.
std::string ChooserField() {
    FltkShot box;
    if (!FltkCaptureBox(&box)) return "";
    std::vector<FltkShot::Part> fields = PartsOf(box, "input");
    return fields.empty() ? "" : fields[0].strText;
}

// A path typed with real keys over the chooser's preselected text stays as typed, slash by
// slash, and is what the folder dialog receives once Enter accepts it.
TEST_F(Screenshot, FolderChooserKeepsATypedPath) {
    XClient x;
    ASSERT_TRUE(x.ok());
    qn::test::TempDir dir;
    const std::string strTyped = dir.path() + "/x/y/z/work";
    std::filesystem::create_directories(strTyped);
    std::filesystem::create_directories(dir / "x/y/z/download/tmp");
    ChooserPlace place(dir / "x/y/z/download/tmp", dir.path());
    QN_ConfirmPathDlg dlg;
    dlg.Init((dir.path() + "/").c_str());
    std::string strPreselected, strField, strAfter;
    bool bClosedByEnter = false;
    std::atomic<bool> bChooserEnded{false};
    std::thread typist;
    Shot shot = Run(dlg, [&] {
        PostTask([&] {
            FltkShot box;
            if (!FltkCaptureBox(&box)) return;
            std::vector<FltkShot::Part> fields = PartsOf(box, "input");
            if (fields.empty()) return;
            strPreselected = fields[0].strText;
            const RECT rc = fields[0].rc;
            // Into the text, below the bar of folder buttons along the field's top.
            const int nX = box.rcScreen.left + (rc.left + rc.right) / 2, nY = box.rcScreen.top + rc.bottom - 6;
            const unsigned long ulWindow = box.ulWindow;
            typist = std::thread([&, nX, nY, ulWindow] {
                x.Focus(ulWindow);
                x.Click(nX, nY);
                x.Key(XK_a, true);  // select the whole preselected text
                // One key at a time, each seen by the chooser before the next.
                for (char ch : strTyped) {
                    std::string strBefore;
                    OnUiThread<std::string>(&ChooserField, &strBefore);
                    x.Type(std::string(1, ch));
                    // A key that leaves the text as it was has already gone wrong: the typing
                    // stops there.
                    if (!qn::test::WaitUntil([&] {
                            std::string s;
                            return OnUiThread<std::string>(&ChooserField, &s) && s != strBefore;
                        }, 10000))
                        break;
                }
                OnUiThread<std::string>(&ChooserField, &strField);
                x.Key(XK_Return);
                bClosedByEnter = qn::test::WaitUntil([&] { return bChooserEnded.load(); }, 10000);
                // Enter did not end the chooser: Escape ends whatever box it raised and then
                // the chooser itself, and a cancel through the backend ends it for sure.
                for (int i = 0; i < 3 && !bChooserEnded; ++i) {
                    x.Key(XK_Escape);
                    qn::test::WaitUntil([&] { return bChooserEnded.load(); }, 5000);
                }
                if (!bChooserEnded) PostTask([] { FltkAnswerBox(IDCANCEL); });
            });
        });
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(QN_ConfirmPathDlg::IDC_CHOOSE_PATH, BN_CLICKED), 0);
        bChooserEnded = true;
        if (typist.joinable()) typist.join();
        dlg.GetDlgItem(QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH)->GetWindowText(strAfter);
    });
    if (typist.joinable()) typist.join();
    ASSERT_TRUE(shot.ok);
    EXPECT_EQ(strPreselected, dir.path() + "/x/y/z/download/tmp/") << "the chooser preselects its folder";
    EXPECT_EQ(strField, strTyped) << "the field after typing";
    EXPECT_TRUE(bClosedByEnter) << "Enter did not accept the typed path";
    EXPECT_EQ(strAfter, strTyped) << "what reached the folder dialog";
}

// After the interrupt question is answered OK, the dialog shows no picture of the box while
// the UI thread waits for the worker: the part the box covered is drawn again before the wait.
class ExposedMain : public QN_QelRepairDlg {
public:
    using QN_QelRepairDlg::m_WorkThread;
};
struct SlowEnd {
    std::mutex mutex;
    std::condition_variable cv;
    bool bSawExit = false, bRelease = false;
};
SlowEnd g_SlowEnd;
int SlowEndingWorker(void* pv) {
    auto* pDlg = static_cast<QN_QelRepairDlg*>(pv);
    std::unique_lock<std::mutex> lock(g_SlowEnd.mutex);
    // The flag is a plain value that nobody signals: looked at every few milliseconds (bounded).
    for (int i = 0; i < 6000 && !pDlg->ExitFlag().load(); ++i) g_SlowEnd.cv.wait_for(lock, std::chrono::milliseconds(10));
    g_SlowEnd.bSawExit = pDlg->ExitFlag().load() != 0;
    g_SlowEnd.cv.notify_all();
    // Ends only once the screen has been read (bounded), like a slow check program.
    g_SlowEnd.cv.wait_for(lock, std::chrono::seconds(60), [] { return g_SlowEnd.bRelease; });
    return 1;
}

// Stands in for a window manager's frame around a box: a window of another client over the
// box and its border, taken away only once that client has seen the box's window go, as a
// window manager does. Runs on a thread of its own with its own connection.
class FakeFrame {
public:
    // Puts the frame round the box (its X window and place) and returns once it shows.
    void Around(unsigned long ulBox, const RECT& rcBox) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Thread = std::thread([this, ulBox, rcBox] { Run(ulBox, rcBox); });
        m_Cv.wait_for(lock, std::chrono::seconds(20), [this] { return m_bShown.load(); });
    }
    ~FakeFrame() {
        if (m_Thread.joinable()) m_Thread.join();
    }
    bool Shown() const { return m_bShown; }
    bool TakenAway() const { return m_bTakenAway; }

private:
    void Run(unsigned long ulBox, const RECT& rcBox) {
        Display* pDisplay = XOpenDisplay(nullptr);
        Window frame = 0;
        if (pDisplay) {
            XSetWindowAttributes attr{};
            attr.override_redirect = True;
            attr.background_pixel = 0xFF00FF;  // a colour the dialog has nowhere
            frame = XCreateWindow(pDisplay, DefaultRootWindow(pDisplay), rcBox.left - 6, rcBox.top - 24,
                                  (unsigned)(rcBox.right - rcBox.left + 12), (unsigned)(rcBox.bottom - rcBox.top + 30), 0,
                                  CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attr);
            XSelectInput(pDisplay, (Window)ulBox, StructureNotifyMask);
            XMapRaised(pDisplay, frame);
            // The box itself stays above its frame.
            XRaiseWindow(pDisplay, (Window)ulBox);
            XSync(pDisplay, False);
        }
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bShown = pDisplay != nullptr;
        }
        m_Cv.notify_all();
        if (!pDisplay) return;
        // Until the box's window goes (bounded).
        bool bGone = false;
        // Each look blocks on the display's connection for up to 100 ms.
        qn::test::WaitUntil(
            [&] {
                while (!bGone && XPending(pDisplay)) {
                    XEvent event;
                    XNextEvent(pDisplay, &event);
                    bGone = (event.type == DestroyNotify || event.type == UnmapNotify) &&
                            event.xany.window == (Window)ulBox;
                }
                struct pollfd pfd = {ConnectionNumber(pDisplay), POLLIN, 0};
                if (!bGone) ::poll(&pfd, 1, 100);
                return bGone;
            },
            30000, 0);
        // A window manager gets to it a little later: after everything the box's closing sent.
        if (bGone) std::this_thread::sleep_for(std::chrono::milliseconds(kLatencyMs));
        XDestroyWindow(pDisplay, frame);
        XSync(pDisplay, False);
        m_bTakenAway = bGone;
        XCloseDisplay(pDisplay);
    }

    // The window manager's delay in taking a closed box's frame away (the scenario, not a wait
    // for an event).
    static constexpr int kLatencyMs = 100;
    std::mutex m_Mutex;
    std::condition_variable m_Cv;
    std::thread m_Thread;
    std::atomic<bool> m_bShown{false}, m_bTakenAway{false};
};

// Without a window manager the box's window simply goes; with one, its frame goes a moment
// later. Either way the screen shows the dialog under it while the worker ends.
TEST_F(Screenshot, NoPictureOfTheInterruptQuestionWhileTheWorkerEnds) {
    for (const bool bFrame : {false, true}) {
        SCOPED_TRACE(bFrame ? "a window manager's frame round the box" : "no window manager");
        MainDialogStart start;
        ExposedMain dlg;
        BoxRun run;
        FltkShot before;
        bool bBefore = false;
        Shot during;
        FakeFrame frame;
        g_SlowEnd.bSawExit = g_SlowEnd.bRelease = false;
        std::thread reader;
        Shot shot = Run(dlg, [&] {
            dlg.GetDlgItem(QN_QelRepairDlg::IDC_BUTTON_START)->EnableWindow(FALSE);
            dlg.m_WorkThread.Create(&SlowEndingWorker, &dlg);
            bBefore = FltkCaptureDialog(dlg.GetSafeHwnd(), &before);
            // Reads the screen once the worker has seen the exit flag: the UI thread waits then.
            reader = std::thread([&] {
                XClient x;
                std::unique_lock<std::mutex> lock(g_SlowEnd.mutex);
                g_SlowEnd.cv.wait_for(lock, std::chrono::seconds(60), [] { return g_SlowEnd.bSawExit; });
                if (g_SlowEnd.bSawExit && x.ok()) during = x.Grab(before.rcScreen);
                g_SlowEnd.bRelease = true;
                g_SlowEnd.cv.notify_all();
            });
            PostTask([&] {
                run.bBox = FltkCaptureBox(&run.box);
                if (run.bBox && bFrame) frame.Around(run.box.ulWindow, run.box.rcScreen);
                FltkAnswerBox(IDOK);
            });
            dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        });
        if (reader.joinable()) reader.join();
        ASSERT_TRUE(bBefore);
        ASSERT_TRUE(run.bBox);
        ASSERT_TRUE(during.ok) << "the worker never saw the exit flag";
        if (bFrame) {
            ASSERT_TRUE(frame.Shown());
        }
        SavePng(during, bFrame ? "InterruptQuestionAnsweredUnderAFrame" : "InterruptQuestionAnswered");
        // Where the box (and its frame) was, the screen shows the dialog as it was before the
        // question (the status line and the buttons, which change, lie outside it).
        const RECT rcBox{run.box.rcScreen.left - before.rcScreen.left - 6, run.box.rcScreen.top - before.rcScreen.top - 24,
                         run.box.rcScreen.right - before.rcScreen.left + 6, run.box.rcScreen.bottom - before.rcScreen.top + 6};
        const Shot beforeShot = FromFltk(before);
        int nDiffer = 0, nPixels = 0;
        for (int y = std::max<int>(0, rcBox.top); y < std::min<int>(during.h, rcBox.bottom); ++y)
            for (int x = std::max<int>(0, rcBox.left); x < std::min<int>(during.w, rcBox.right); ++x) {
                ++nPixels;
                const unsigned char *a = during.At(x, y), *b = beforeShot.At(x, y);
                nDiffer += std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]) > 30;
            }
        ASSERT_GT(nPixels, 1000);
        EXPECT_LT(nDiffer, nPixels / 100) << "a picture of the box stays over the dialog: " << nDiffer << " of " << nPixels;
    }
}

// What the window manager is told of each window: the tool's own class and icon; minimise only
// on the main window, whose template asks for it; the others are dialogs of their owner. Read
// while each window shows.
struct WindowFacts {
    bool bRead = false;
    std::string strClass;
    bool bIcon = false;
    std::vector<unsigned long> motif;
    std::string strType;
    unsigned long ulWindow = 0, ulTransientFor = 0;
};
WindowFacts FactsOf(XClient& x, const FltkShot& shot) {
    WindowFacts f;
    f.ulWindow = shot.ulWindow;
    if (!f.ulWindow) return f;
    f.bRead = true;
    f.strClass = x.WindowClass(f.ulWindow);
    f.bIcon = !x.Property(f.ulWindow, "_NET_WM_ICON").empty();
    f.motif = x.Property(f.ulWindow, "_MOTIF_WM_HINTS");
    const std::vector<unsigned long> type = x.Property(f.ulWindow, "_NET_WM_WINDOW_TYPE");
    if (type.size() == 1) f.strType = x.AtomName(type[0]);
    f.ulTransientFor = x.TransientFor(f.ulWindow);
    return f;
}

TEST_F(Screenshot, WindowsTellTheWindowManagerTheirClassAndButtons) {
    XClient x;
    ASSERT_TRUE(x.ok());
    qn::test::TempDir dir;
    ChooserPlace place(dir.path(), dir.path());
    MainLike main;
    WindowFacts mainFacts, boxFacts, folderFacts, chooserFacts;
    Shot shot = Run(main, [&] {
        FltkShot mainShot;
        if (FltkCaptureDialog(main.GetSafeHwnd(), &mainShot)) mainFacts = FactsOf(x, mainShot);
        PostTask([&] {
            FltkShot b;
            if (FltkCaptureBox(&b)) boxFacts = FactsOf(x, b);
            FltkAnswerBox(IDOK);
        });
        MessageBoxA(main.GetSafeHwnd(), "提示", "提示", MB_OK | MB_ICONEXCLAMATION);
        QN_ConfirmPathDlg folder;
        folder.Init((dir.path() + "/").c_str());
        PostTask([&] {
            FltkShot f;
            if (FltkCaptureDialog(folder.GetSafeHwnd(), &f)) folderFacts = FactsOf(x, f);
            PostTask([&] {
                FltkShot c;
                if (FltkCaptureBox(&c)) chooserFacts = FactsOf(x, c);
                FltkAnswerBox(IDCANCEL);
            });
            folder.SendMessage(WM_COMMAND, MAKEWPARAM(QN_ConfirmPathDlg::IDC_CHOOSE_PATH, BN_CLICKED), 0);
            folder.EndDialog(IDCANCEL);
        });
        folder.DoModal();
    });
    ASSERT_TRUE(shot.ok);
    struct WindowCase {
        const char* cszName;
        const WindowFacts* pFacts;
        bool bMinimise;
        const char* cszType;
        const WindowFacts* pOwner;
    };
    const WindowCase kCases[] = {
        {"main dialog", &mainFacts, true, "_NET_WM_WINDOW_TYPE_NORMAL", nullptr},
        {"message box", &boxFacts, false, "_NET_WM_WINDOW_TYPE_DIALOG", &mainFacts},
        {"folder dialog", &folderFacts, false, "_NET_WM_WINDOW_TYPE_DIALOG", &mainFacts},
        {"folder chooser", &chooserFacts, false, "_NET_WM_WINDOW_TYPE_DIALOG", &folderFacts},
    };
    for (const WindowCase& c : kCases) {
        SCOPED_TRACE(c.cszName);
        const WindowFacts& f = *c.pFacts;
        ASSERT_TRUE(f.bRead) << "the window did not show";
        EXPECT_EQ(f.strClass, "QelRepair/QelRepair");
        EXPECT_TRUE(f.bIcon) << "no icon";
        // _MOTIF_WM_HINTS: flags (1 functions given, 2 decorations given), functions and
        // decorations, each either a list or, with its bit 1, "all but" the list.
        ASSERT_GE(f.motif.size(), 3u);
        ASSERT_TRUE(f.motif[0] & 1) << "the functions are not given";
        const bool bMinimise = (f.motif[1] & 1) ? !(f.motif[1] & 8) : (f.motif[1] & 8) != 0;
        EXPECT_EQ(bMinimise, c.bMinimise) << "minimise function";
        if (f.motif[0] & 2) {
            EXPECT_EQ((f.motif[2] & 1) ? !(f.motif[2] & 32) : (f.motif[2] & 32) != 0, c.bMinimise) << "minimise button";
        }
        EXPECT_EQ(f.strType, c.cszType);
        if (c.pOwner) {
            EXPECT_EQ(f.ulTransientFor, c.pOwner->ulWindow) << "not a dialog of its owner";
        }
    }
}

// The folder dialog's list of client roots opens under its box and stays inside the dialog,
// long roots and all; a long root picked from it reaches the box whole.
TEST_F(Screenshot, FolderDialogListStaysInsideTheDialog) {
    XClient x;
    ASSERT_TRUE(x.ok());
    QN_ConfirmPathDlg dlg;
    dlg.Init("/tmp/");
    const std::string strLong = "/home/player/games/Quorvane/Qel/clients/the_one_with_a_long_name/";
    std::vector<RECT> popups;
    FltkShot dlgShot;
    RECT rcCombo{};
    std::string strPicked;
    std::atomic<bool> bDone{false};
    Shot shot = Run(dlg, [&] {
        auto* pCombo = static_cast<CComboBox*>(dlg.GetDlgItem(QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH));
        pCombo->AddString("/games/a/");
        pCombo->AddString(strLong.c_str());
        pCombo->AddString("/games/c/");
        if (!FltkCaptureDialog(dlg.GetSafeHwnd(), &dlgShot)) return;
        rcCombo = RectOf(dlg, QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH);
        const int nButtonX = dlgShot.rcScreen.left + rcCombo.right - 6;
        const int nButtonY = dlgShot.rcScreen.top + rcCombo.top + 10;
        std::thread clicker([&, nButtonX, nButtonY] {
            x.Click(nButtonX, nButtonY);
            qn::test::WaitUntil([&] { return !(popups = x.PopupWindows()).empty(); }, 10000);
            // The second entry (sorted: "/games/a/", "/games/c/", then the long one) is the last.
            if (!popups.empty()) {
                const RECT& rc = popups[0];
                x.Click((rc.left + rc.right) / 2, rc.bottom - 8);
            }
            qn::test::WaitUntil([&] { return x.PopupWindows().empty(); }, 10000);
            // The pick reaches the dialog's combo box through a posted task.
            qn::test::WaitUntil([&] {
                std::string s;
                return OnUiThread<std::string>([&] {
                    CString t;
                    dlg.GetDlgItem(QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH)->GetWindowText(t);
                    return std::string(t);
                }, &s) && s == strLong;
            }, 5000);
            bDone = true;
            GetBackend()->Wake();
        });
        RunModalLoop([&] { return bDone.load(); });
        clicker.join();
        dlg.GetDlgItem(QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH)->GetWindowText(strPicked);
    });
    ASSERT_TRUE(shot.ok);
    ASSERT_EQ(popups.size(), 1u) << "the list did not open";
    const RECT& rcList = popups[0];
    EXPECT_TRUE(Inside(rcList, dlgShot.rcScreen)) << "the list (" << rcList.left << "," << rcList.top << ")-(" << rcList.right
                                                  << "," << rcList.bottom << ") leaves the dialog (" << dlgShot.rcScreen.left
                                                  << "," << dlgShot.rcScreen.top << ")-(" << dlgShot.rcScreen.right << ","
                                                  << dlgShot.rcScreen.bottom << ")";
    EXPECT_NEAR(rcList.left, dlgShot.rcScreen.left + rcCombo.left, 2) << "the list opens under the box";
    EXPECT_EQ(strPicked, strLong) << "the picked root reaches the box whole";
}

}  // namespace
