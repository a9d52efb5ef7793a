#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QN_QelRepairDlg.h"
#include "app_test_hooks.h"
#include "qn_deletion_guard.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"
#include "qn_ui_harness.h"
#include "ui/qnui.h"
#include "ui/qnui_headless.h"

using namespace qnui;

namespace {

constexpr int kStart = QN_QelRepairDlg::IDC_BUTTON_START;
constexpr int kExit = QN_QelRepairDlg::IDC_BUTTON_EXIT;
constexpr int kProgress = QN_QelRepairDlg::IDC_PROGRESS_REPAIR;
const char kAsk[] = "中断修复有可能损坏Qel的游戏资源，使游戏无法正常运行，你确认要中断吗？\n";

// Counting stand-ins for the download library.
std::atomic<int> g_nInits{0}, g_nUninits{0}, g_nStartedUninits{0};
std::atomic<bool> g_bInitFails{false}, g_bStarted{false};
HRESULT FakeInit() {
    ++g_nInits;
    if (g_bInitFails) return E_FAIL;
    g_bStarted = true;
    return S_OK;
}
HRESULT FakeUninit() {
    ++g_nUninits;
    if (g_bStarted.exchange(false)) ++g_nStartedUninits;
    return S_OK;
}
HRESULT FakeGetService(REFIID, void** ppv) {
    *ppv = nullptr;
    return E_FAIL;
}

// A worker that stands in for the self-update or a repair: it waits to be released, posting
// nothing before, then posts the messages a finished self-update posts. It also stops when the
// exit flag is set.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool bReleased = false;
    bool bRunning = false;
    int nRuns = 0;
    bool bSawExitFlag = false;
    std::string strStatusAtExit;
} g_Gate;

class Probe;
int BlockingWorker(void* pv);

class Probe : public QN_QelRepairDlg {
public:
    using QN_QelRepairDlg::m_bAllRepaired;
    using QN_QelRepairDlg::m_bPathConfirmed;
    using QN_QelRepairDlg::m_nExitFlag;
    using QN_QelRepairDlg::m_strTempPath;
    using QN_QelRepairDlg::m_WorkThread;
    std::string StatusLine() {
        CString s;
        GetDlgItem(IDC_STATIC)->GetWindowText(s);
        return s;
    }
};

int BlockingWorker(void* pv) {
    auto* pDlg = static_cast<QN_QelRepairDlg*>(pv);
    std::unique_lock<std::mutex> lock(g_Gate.mutex);
    ++g_Gate.nRuns;
    g_Gate.bRunning = true;
    g_Gate.cv.notify_all();
    // Bounded, and looking at the exit flag, which nobody signals, every few milliseconds.
    for (int i = 0; i < 6000 && !g_Gate.bReleased && !pDlg->ExitFlag().load(); ++i)
        g_Gate.cv.wait_for(lock, std::chrono::milliseconds(10));
    g_Gate.bSawExitFlag = pDlg->ExitFlag().load() != 0;
    g_Gate.bRunning = false;
    lock.unlock();
    pDlg->_SetStatusText("self-update done");
    pDlg->PostMessage(WM_ENABLE_START_BUTTON, 0, 0);
    pDlg->PostMessage(WM_ENABLE_EXIT, 0, 0);
    return 1;
}

void ReleaseWorker() {
    std::lock_guard<std::mutex> lock(g_Gate.mutex);
    g_Gate.bReleased = true;
    g_Gate.cv.notify_all();
}

class MainDialog : public ::testing::Test {
protected:
    void SetUp() override {
        g_nInits = 0;
        g_nUninits = 0;
        g_nStartedUninits = 0;
        g_bInitFails = false;
        g_bStarted = false;
        {
            std::lock_guard<std::mutex> lock(g_Gate.mutex);
            g_Gate.bReleased = false;
            g_Gate.bRunning = false;
            g_Gate.nRuns = 0;
            g_Gate.bSawExitFlag = false;
        }
        static const QN_DOWNLOAD_LIBRARY_ENTRY kFake = {&FakeInit, &FakeUninit, &FakeGetService};
        qn::testing::SetDownloadLibraryEntry(&kFake);
        QN_SetRepairDialogWorkers({&BlockingWorker, nullptr});
        strTool = dir.path() + "/";
        qn::test::MakeDirs(dir / "bin/zhcn");
        qn::testing::SetModuleFileName((dir / "QelRepair.exe").c_str());
        m_pGuard = std::make_unique<qn::test::DeletionGuard>(dir.path());
        SetArgs({});
    }
    void TearDown() override {
        ReleaseWorker();
        ui.Close(h);
        m_pGuard.reset();
        qn::testing::SetModuleFileName(nullptr);
        qn::testing::SetDownloadLibraryEntry(nullptr);
        QN_SetRepairDialogWorkers({nullptr, nullptr});
        AfxSetCommandLine(0, nullptr);
    }
    void SetArgs(std::vector<std::string> args) {
        m_Args = {"QelRepair.exe"};
        for (auto& a : args) m_Args.push_back(a);
        m_Argv.clear();
        for (auto& a : m_Args) m_Argv.push_back(a.data());
        m_Argv.push_back(nullptr);
        AfxSetCommandLine((int)m_Args.size(), m_Argv.data());
    }
    void Start() {
        ui.Start([this] { return dlg.DoModal(); });
        h = ui.ui().WaitForDialog(QN_QelRepairDlg::IDD);
    }
    bool WorkerRunning() {
        std::unique_lock<std::mutex> lock(g_Gate.mutex);
        return g_Gate.cv.wait_for(lock, std::chrono::seconds(30), [] { return g_Gate.bRunning; });
    }

    qn::test::TempDir dir;
    std::string strTool;
    Probe dlg;
    HWND h = nullptr;
    qn::test::UiThread ui;
    std::unique_ptr<qn::test::DeletionGuard> m_pGuard;
    std::vector<std::string> m_Args;
    std::vector<char*> m_Argv;
};

TEST_F(MainDialog, StartsWithItsTextsAndRunsTheSelfUpdateWithEverythingShut) {
    Start();
    ASSERT_NE(h, nullptr);
    auto& d = ui.ui();
    ASSERT_TRUE(WorkerRunning());
    // Before the worker has posted anything, Start, Exit and Close are shut.
    EXPECT_FALSE(d.Enabled(h, kStart));
    EXPECT_FALSE(d.Enabled(h, kExit));
    EXPECT_EQ(d.SysCloseState(h), (int)(MF_GRAYED | MF_DISABLED));
    // Escape and the close box are taken and do nothing while Close is grayed: no question.
    EXPECT_TRUE(d.Escape(h));
    EXPECT_TRUE(d.CloseBox(h));
    ASSERT_TRUE(d.OnUi([] {}));
    EXPECT_TRUE(d.Exists(h, kStart));
    EXPECT_EQ(d.Text(h, HeadlessBackend::kDialog), "《Qel》客户端修复工具");
    EXPECT_EQ(d.Text(h, QN_QelRepairDlg::IDC_STATIC_TITLE), "《Qel》客户端修复工具");
    EXPECT_EQ(d.Text(h, IDC_STATIC), "准备修复...");
    EXPECT_EQ(d.Text(h, kStart), "开始修复");
    EXPECT_NE(d.Text(h, QN_QelRepairDlg::IDC_STATIC_WELCOME).find("如不能正确修复，请前往下列地址重新下载对应版本：\n\n"),
              std::string::npos);
    EXPECT_EQ(g_nInits.load(), 1);
    EXPECT_TRUE(qn::test::FileExists(dir / "QelRepairTemp"));
    ReleaseWorker();
    ASSERT_TRUE(d.WaitUntil([&] { return dlg.StatusLine() == "self-update done" && d.Enabled(h, kExit); }));
    EXPECT_TRUE(d.Enabled(h, kStart));
    EXPECT_EQ(d.SysCloseState(h), (int)MF_ENABLED);
    EXPECT_TRUE(d.Click(h, kExit));
    ui.Join();
    EXPECT_EQ(g_nUninits.load(), 1);
    EXPECT_EQ(g_nStartedUninits.load(), 1);
    EXPECT_FALSE(qn::test::FileExists(dir / "QelRepairTemp"));
    EXPECT_TRUE(d.Boxes().empty());
}

TEST_F(MainDialog, ConfirmedPathRunsNoSelfUpdate) {
    for (const char* csz : {"-i", "-I"}) {
        SCOPED_TRACE(csz);
        Probe one;
        SetArgs({csz});
        qn::test::UiThread t;
        t.Start([&] { return one.DoModal(); });
        HWND hOne = t.ui().WaitForDialog(QN_QelRepairDlg::IDD);
        ASSERT_NE(hOne, nullptr);
        EXPECT_TRUE(t.ui().Enabled(hOne, kStart));
        EXPECT_TRUE(t.ui().Enabled(hOne, kExit));
        EXPECT_EQ(t.ui().Text(hOne, IDC_STATIC), "准备修复...");
        EXPECT_TRUE(t.ui().Escape(hOne));
        t.Join();
        EXPECT_EQ(one.m_bPathConfirmed.load(), 1);
    }
    EXPECT_EQ(g_Gate.nRuns, 0);
}

// The private messages, posted from a worker thread.
TEST_F(MainDialog, PrivateMessages) {
    SetArgs({"-i"});
    Start();
    ASSERT_NE(h, nullptr);
    auto& d = ui.ui();
    auto post = [&](std::function<void()> fn) {
        std::thread t(fn);
        t.join();
    };
    // A new text is shown; the same text, also in another ASCII case, is not set again.
    post([&] { dlg._SetStatusText("Checking 1"); });
    ASSERT_TRUE(d.WaitUntil([&] { return dlg.StatusLine() == "Checking 1"; }));
    uint32_t uSets = d.TextSets(h, IDC_STATIC);
    post([&] { dlg._SetStatusText("Checking 1"); });
    post([&] { dlg._SetStatusText("CHECKING 1"); });
    ASSERT_TRUE(d.OnUi([] {}));
    ASSERT_TRUE(d.OnUi([] {}));
    EXPECT_EQ(d.TextSets(h, IDC_STATIC), uSets);
    EXPECT_EQ(d.Text(h, IDC_STATIC), "Checking 1");

    struct Row {
        const char* cszName;
        std::function<void()> fnPost;
        std::function<bool()> fnExpect;
    } rows[] = {
        {"progress 37", [&] { dlg._SetProgress(37); }, [&] { return d.Progress(h, kProgress) == 37; }},
        {"progress 101 keeps 37", [&] { dlg._SetProgress(101); }, [&] { return d.Progress(h, kProgress) == 37; }},
        {"disable Start", [&] { dlg.PostMessage(WM_DISABLE_START_BUTTON); }, [&] { return !d.Enabled(h, kStart); }},
        {"enable Start", [&] { dlg.PostMessage(WM_ENABLE_START_BUTTON); }, [&] { return d.Enabled(h, kStart); }},
        {"all repaired",
         [&] {
             dlg.m_bAllRepaired = 1;
             dlg.PostMessage(WM_UPDATE_START_BUTTON);
         },
         [&] { return d.Text(h, kStart) == "完成"; }},
        {"not all repaired",
         [&] {
             dlg.m_bAllRepaired = 0;
             dlg.PostMessage(WM_UPDATE_START_BUTTON);
         },
         [&] { return d.Text(h, kStart) == "继续修复"; }},
        {"disable Exit", [&] { dlg.PostMessage(WM_DISABLE_EXIT); },
         [&] { return !d.Enabled(h, kExit) && d.SysCloseState(h) == (int)(MF_GRAYED | MF_DISABLED); }},
        {"enable Exit", [&] { dlg.PostMessage(WM_ENABLE_EXIT); },
         [&] { return d.Enabled(h, kExit) && d.SysCloseState(h) == (int)MF_ENABLED; }},
    };
    for (const Row& r : rows) {
        post(r.fnPost);
        ASSERT_TRUE(d.OnUi([] {}));  // everything posted before has been handled
        EXPECT_TRUE(r.fnExpect()) << r.cszName;
    }
    // Alternating posts end in the state of the last one.
    post([&] {
        for (int i = 0; i < 1000; ++i) dlg.PostMessage(i % 2 ? WM_ENABLE_START_BUTTON : WM_DISABLE_START_BUTTON);
    });
    ASSERT_TRUE(d.OnUi([] {}));
    EXPECT_TRUE(d.Enabled(h, kStart));
    // The close message follows the closing rules: Start enabled, so no question.
    post([&] { dlg.PostMessage(WM_CLOSE_REPAIR_DIALOG); });
    ui.Join();
    EXPECT_TRUE(d.Boxes().empty());
}

// Every way of closing while a worker runs with Start disabled: Cancel leaves it running, OK
// shows the exit text before the worker ends and closes only after it.
TEST_F(MainDialog, ClosingDuringARepair) {
    SetArgs({"-i"});
    Start();
    ASSERT_NE(h, nullptr);
    auto& d = ui.ui();
    ASSERT_TRUE(d.OnUi([&] {
        dlg.m_WorkThread.Create(&BlockingWorker, &dlg);
        dlg.GetDlgItem(kStart)->EnableWindow(FALSE);
    }));
    ASSERT_TRUE(WorkerRunning());
    struct Row {
        const char* cszName;
        bool (*pfn)(HeadlessBackend&, HWND);
    } ways[] = {
        {"Exit", [](HeadlessBackend& b, HWND hw) { return b.Click(hw, kExit); }},
        {"Escape", [](HeadlessBackend& b, HWND hw) { return b.Escape(hw); }},
        {"close box", [](HeadlessBackend& b, HWND hw) { return b.CloseBox(hw); }},
    };
    for (const Row& r : ways) {
        size_t uBoxes = d.Boxes().size();
        d.AnswerMessageBox(IDCANCEL);
        EXPECT_TRUE(r.pfn(d, h)) << r.cszName;
        ASSERT_TRUE(d.WaitUntil([&] { return d.Boxes().size() == uBoxes + 1; }));
        BoxRecord box = d.Boxes().back();
        EXPECT_EQ(box.strText, kAsk);
        EXPECT_EQ(box.strCaption, "提示");
        EXPECT_EQ(box.uType, (UINT)(MB_OKCANCEL | MB_ICONQUESTION));
        ASSERT_TRUE(d.OnUi([] {}));
        EXPECT_EQ(dlg.m_nExitFlag.load(), 0) << r.cszName;
        EXPECT_TRUE(g_Gate.bRunning);
    }
    // OK: the worker sees the exit flag; by then the exit text shows.
    d.AnswerMessageBox(IDOK);
    EXPECT_TRUE(d.Click(h, kExit));
    ui.Join();
    EXPECT_TRUE(g_Gate.bSawExitFlag);
    EXPECT_EQ(ui.result(), IDCANCEL);
}

TEST_F(MainDialog, ExitTextShowsBeforeTheWorkerIsReleased) {
    SetArgs({"-i"});
    Start();
    ASSERT_NE(h, nullptr);
    auto& d = ui.ui();
    // When the exit flag reaches the worker the UI thread is blocked in its wait, so the worker
    // may look at the controls: the exit text must be on the status line already, and both
    // buttons shut.
    ASSERT_TRUE(d.OnUi([&] {
        dlg.m_WorkThread.Create(
            [](void* pv) -> int {
                auto* p = static_cast<Probe*>(pv);
                while (!p->ExitFlag().load()) std::this_thread::yield();
                std::lock_guard<std::mutex> lock(g_Gate.mutex);
                g_Gate.bSawExitFlag = true;
                g_Gate.strStatusAtExit = p->StatusLine();
                g_Gate.bRunning = p->GetDlgItem(kExit)->IsWindowEnabled() || p->GetDlgItem(kStart)->IsWindowEnabled();
                return 1;
            },
            &dlg);
        dlg.GetDlgItem(kStart)->EnableWindow(FALSE);
    }));
    d.AnswerMessageBox(IDOK);
    EXPECT_TRUE(d.Click(h, kExit));
    ui.Join();
    EXPECT_TRUE(g_Gate.bSawExitFlag);
    EXPECT_EQ(g_Gate.strStatusAtExit, "正在退出，请稍候...");
    EXPECT_FALSE(g_Gate.bRunning) << "a button was still enabled";
}

// Start-up failures: the dialog ends without a box, the download library is stopped only when
// it was started, once, and nothing is deleted.
TEST_F(MainDialog, StartUpFailures) {
    struct Row {
        const char* cszName;
        const char* cszSettings;
        bool bInitFails;
        bool bNoWorker;
        int nInits, nUninits;
        bool bTempLeft;  // the temporary folder exists afterwards
    } rows[] = {
        {"empty repair URL", "[server]\nip=\n", false, false, 0, 0, false},
        {"download library does not start", nullptr, true, false, 1, 0, false},
        {"the self-update cannot start", nullptr, false, true, 1, 1, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        qn::test::LogCapture rowLog;
        qn::test::TempDir tool;
        qn::test::MakeDirs(tool / "bin/zhcn");
        qn::test::WriteFile(tool / "keep.txt", "keep");
        if (r.cszSettings) qn::test::WriteFile(tool / "repair_settings.ini", r.cszSettings);
        qn::testing::SetModuleFileName((tool / "QelRepair.exe").c_str());
        qn::test::DeletionGuard rowGuard(tool / "QelRepairTemp");
        g_nInits = 0;
        g_nUninits = 0;
        g_nStartedUninits = 0;
        g_bInitFails = r.bInitFails;
        QN_SetRepairDialogWorkers({r.bNoWorker ? nullptr : &BlockingWorker, nullptr});
        Probe one;
        qn::test::UiThread t;
        t.Start([&] { return one.DoModal(); });
        t.Join();
        EXPECT_EQ(t.result(), -1);
        EXPECT_EQ(g_nInits.load(), r.nInits);
        EXPECT_EQ(g_nUninits.load(), r.nUninits);
        EXPECT_EQ(g_nStartedUninits.load(), r.nUninits);
        EXPECT_TRUE(t.ui().Boxes().empty());
        EXPECT_EQ(qn::test::ReadFile(tool / "keep.txt"), "keep");
        EXPECT_EQ(qn::test::FileExists(tool / "QelRepairTemp"), r.bTempLeft);
        bool bLine = false;
        for (const std::string& s : rowLog.Messages()) bLine = bLine || s.rfind("Failed to init dialog, GetLastError() = ", 0) == 0;
        EXPECT_TRUE(bLine);
    }
}

// Removals that fail as they do for names in a folder of another account.
int RefuseNamesEndingInStuck(const char* cszPath) {
    const std::string s = cszPath;
    return s.size() >= 5 && s.compare(s.size() - 5, 5, "stuck") == 0 ? EACCES : 0;
}

// An existing temporary folder is reused with what it holds (a killed run's downloads resume
// from it) and removed at the end; only links in it go at the start, without being followed.
// A link that cannot be removed is logged and the dialog starts all the same.
TEST_F(MainDialog, TemporaryFolderIsReusedAndRemoved) {
    qn::test::TempDir outside;
    qn::test::WriteFile(outside / "f", "outside");
    qn::test::WriteFile(dir / "QelRepairTemp/bin/zhcn/x.dll.tmp", "part");
    qn::test::WriteFile(dir / "QelRepairTemp/bin/zhcn/x.dll.cfg", "progress");
    ASSERT_EQ(::symlink((outside / "f").c_str(), (dir / "QelRepairTemp/bin/link").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "f").c_str(), (dir / "QelRepairTemp/bin/stuck").c_str()), 0);
    qn::test::WriteFile(dir / "other.txt", "keep");
    SetArgs({"-i"});
    qn::test::LogCapture log;
    qn::testing::SetDeleteFileHook(&RefuseNamesEndingInStuck);
    Start();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(ui.ui().Enabled(h, kStart));
    qn::testing::SetDeleteFileHook(nullptr);
    EXPECT_EQ(qn::test::ReadFile(dir / "QelRepairTemp/bin/zhcn/x.dll.tmp"), "part");
    EXPECT_EQ(qn::test::ReadFile(dir / "QelRepairTemp/bin/zhcn/x.dll.cfg"), "progress");
    struct stat st;
    EXPECT_NE(::lstat((dir / "QelRepairTemp/bin/link").c_str(), &st), 0);
    EXPECT_EQ(::lstat((dir / "QelRepairTemp/bin/stuck").c_str(), &st), 0);
    EXPECT_TRUE(ui.ui().Escape(h));
    ui.Join();
    EXPECT_FALSE(qn::test::FileExists(dir / "QelRepairTemp"));
    EXPECT_EQ(qn::test::ReadFile(dir / "other.txt"), "keep");
    EXPECT_EQ(qn::test::ReadFile(outside / "f"), "outside");
    const std::vector<std::string> lines = log.Messages();
    auto logged = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(logged("Failed to remove `" + dir.path() + "/QelRepairTemp/bin/stuck` from the temporary folder, "
                       "Error code : 5."));
    EXPECT_FALSE(logged("Failed to init dialog"));
}

}  // namespace
