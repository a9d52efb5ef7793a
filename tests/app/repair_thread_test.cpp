// The repair thread through the real coordinator against the kit's damage scenarios: the
// status lines in order, the progress, the summary and the Start button afterwards.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <cmath>
#include <limits>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "DamageScenarios.h"
#include "EngineHarness.h"
#include "FakeTransport.h"
#include "QN_QelRepairDlg.h"
#include "ServedTree.h"
#include "app_test_hooks.h"
#include "qn_deletion_guard.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"
#include "qn_ui_harness.h"
#include "ui/qnui.h"

using namespace qnui;
using namespace qn::kit;

namespace {

constexpr int kStart = QN_QelRepairDlg::IDC_BUTTON_START;
constexpr int kProgress = QN_QelRepairDlg::IDC_PROGRESS_REPAIR;
const char kVersionText[] = "正在修复：正在获取版本信息...";
const char kChecking[] = "正在修复正式服客户端资源：正在检测资源完整性，这可能需要很长时间，请耐心等候...";

HRESULT StartedInit() { return S_OK; }
HRESULT StartedUninit() { return S_OK; }

// The dialog with what its messages did recorded on the UI thread: every status line shown,
// every progress position, the messages in order.
class Recorder : public QN_QelRepairDlg {
public:
    using QN_QelRepairDlg::m_bAllRepaired;
    using QN_QelRepairDlg::m_nProgress;

    struct Record {
        std::vector<std::string> statusLines;
        std::vector<int> progress;
        std::vector<UINT> messages;
    };
    Record Snapshot() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Record;
    }
    // True once the repair thread ended: Start enabled again after the thread shut it.
    bool RunEnded() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = std::find(m_Record.messages.begin(), m_Record.messages.end(), (UINT)WM_DISABLE_START_BUTTON);
        return it != m_Record.messages.end() &&
               std::find(it, m_Record.messages.end(), (UINT)WM_ENABLE_START_BUTTON) != m_Record.messages.end();
    }

protected:
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override {
        LRESULT lResult = QN_QelRepairDlg::WindowProc(uMsg, wParam, lParam);
        if (uMsg < WM_SET_STATUS_TEXT || uMsg > WM_DISABLE_EXIT) return lResult;
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Record.messages.push_back(uMsg);
        if (uMsg == WM_SET_STATUS_TEXT) {
            CString s;
            GetDlgItem(IDC_STATIC)->GetWindowText(s);
            if (m_Record.statusLines.empty() || m_Record.statusLines.back() != s) m_Record.statusLines.push_back(s);
        } else if (uMsg == WM_SET_PROGRESS) {
            m_Record.progress.push_back((int)m_nProgress.load());
        }
        return lResult;
    }

private:
    std::mutex m_Mutex;
    Record m_Record;
};

struct Row {
    const char* scenario;
    // Delays on the answers for paths that end so, which keep a phase running for a few polls.
    std::vector<ServerDelayRule> delays;
    // Every status line the run may show after the version line, in order; the last one is the
    // line it ends with. A line that stands for less than a poll may be replaced before the
    // window shows it; the lines of the delayed phases must show.
    std::vector<std::string> lines;
    std::vector<std::string> shown;
    int allRepaired;  // -1: the run failed and the flag is left as it was
    const char* caption;
    bool treeRepaired;
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.scenario; }

const ServerDelayRule kSlowCheck = {"/qel_repair.info", "", 300};
const ServerDelayRule kSlowRepair = {"/UpdateFiles/1-2.UPDATE", "", 500};
std::string Repairing(int n) {
    return "正在修复正式服客户端资源：共有" + std::to_string(n) + "个资源损坏，这可能需要很长时间，请耐心等候...";
}

std::vector<Row> Rows() {
    const std::string kConnect = "修复正式服客户端资源失败：连接服务器失败，请稍后重试！";
    const std::string kPak = "修复正式服客户端资源失败：修复包内文件失败，请稍后重试！";
    return {
        {"D0", {kSlowCheck}, {kChecking, "修复完成：共有0个资源损坏，成功修复0个，失败0个。"}, {kChecking}, 1, "完成", true},
        {"D-ALL",
         {kSlowCheck, kSlowRepair},
         {kChecking, Repairing(6), "修复完成：共有6个资源损坏，成功修复6个，失败0个。"},
         {kChecking, Repairing(6)},
         1,
         "完成",
         true},
        // The good copy on the server is itself bad: the file stays broken and counts as failed.
        {"D6b", {}, {kChecking, Repairing(1), "修复完成：共有1个资源损坏，成功修复0个，失败1个。"}, {}, 0, "继续修复", false},
        {"D10a", {}, {kChecking, kConnect}, {}, -1, "开始修复", false},
        {"D10b", {}, {kChecking, "修复正式服客户端资源失败：修复包外文件失败，请稍后重试！"}, {}, -1, "开始修复", false},
        {"D10d", {}, {kChecking, kPak}, {}, -1, "开始修复", false},
        {"D10e", {kSlowRepair}, {kChecking, Repairing(1), kConnect}, {}, -1, "开始修复", false},
        {"D10f", {kSlowRepair}, {kChecking, Repairing(1), kPak}, {Repairing(1)}, -1, "开始修复", false},
        // A folder in the place of a file: the repair cannot put the good copy there.
        {"D7",
         {},
         {kChecking, Repairing(1), "修复正式服客户端资源失败：有客户端文件被占用.请先重启计算机,然后再次尝试修复！"},
         {},
         -1,
         "开始修复",
         false},
    };
}

// True when every element of part occurs in whole, in the same order.
bool InOrder(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    size_t j = 0;
    for (const std::string& s : part) {
        while (j < whole.size() && whole[j] != s) ++j;
        if (j == whole.size()) return false;
        ++j;
    }
    return true;
}

class RepairThread : public ::testing::TestWithParam<Row> {
protected:
    static void SetUpTestSuite() {
        s_pTmp = new qn::test::TempDir();
        std::string err;
        s_bOk = BuildFixture(FixtureId::F1, s_pTmp->path(), SourceMode::UpdateFiles, &s_Fixture, &err);
        s_strErr = err;
    }
    static void TearDownTestSuite() {
        delete s_pTmp;
        s_pTmp = nullptr;
    }

    // Prepares the damaged client with the tool in its root, serves the damaged tree and runs
    // the dialog started with "-i" (folder confirmed, no self-update).
    void Open(const Scenario& s, const std::vector<ServerDelayRule>& delays,
              const std::function<void(const std::string& root)>& fnBeforeStart = {}) {
        std::string err;
        ASSERT_TRUE(s_bOk) << s_strErr;
        m_pHarness = std::make_unique<EngineHarness>(m_Run.path());
        ASSERT_TRUE(m_pHarness->Prepare(s_Fixture, &s, &err)) << err;
        ASSERT_TRUE(m_Served.Start(TransportKind::Fake, m_pHarness->docroot(), &err)) << err;
        for (const ServerDelayRule& d : delays) ASSERT_TRUE(m_Served.AddDelay(d));
        const std::string root = m_pHarness->workRoot();
        qn::test::WriteFile(root + "/repair_settings.ini", "[server]\r\nip=" + m_Served.BaseUrl() + "/qelrepair/\r\n");
        if (fnBeforeStart) fnBeforeStart(root);
        static const QN_DOWNLOAD_LIBRARY_ENTRY kEntry = {&StartedInit, &StartedUninit, &FakeTransport::GetService};
        qn::testing::SetDownloadLibraryEntry(&kEntry);
        qn::testing::SetModuleFileName((root + "/QelRepair.exe").c_str());
        m_pGuard = std::make_unique<qn::test::DeletionGuard>(root);
        m_Args = {"QelRepair.exe", "-i"};
        for (auto& a : m_Args) m_Argv.push_back(a.data());
        m_Argv.push_back(nullptr);
        AfxSetCommandLine(2, m_Argv.data());
        QN_SetRepairDialogWorkers(QN_GetProgramRepairDialogWorkers());
        m_Ui.Start([this] { return m_Dlg.DoModal(); });
        m_h = m_Ui.ui().WaitForDialog(QN_QelRepairDlg::IDD);
        ASSERT_NE(m_h, nullptr);
    }
    void TearDown() override {
        m_Ui.Close(m_h);
        m_pGuard.reset();
        m_Served.Stop();
        qn::testing::SetModuleFileName(nullptr);
        qn::testing::SetDownloadLibraryEntry(nullptr);
        QN_SetRepairDialogWorkers({nullptr, nullptr});
        AfxSetCommandLine(0, nullptr);
    }
    bool RunOnce() {
        if (!m_Ui.ui().Click(m_h, kStart)) return false;
        return m_Ui.ui().WaitUntil([this] { return m_Dlg.RunEnded(); }, 120000);
    }

    static qn::test::TempDir* s_pTmp;
    static BuiltFixture s_Fixture;
    static bool s_bOk;
    static std::string s_strErr;

    qn::test::LogCapture m_Log;
    qn::test::PlatformSandbox m_Platform;
    qn::test::TempDir m_Run;
    std::unique_ptr<EngineHarness> m_pHarness;
    ServedTree m_Served;
    Recorder m_Dlg;
    qn::test::UiThread m_Ui;
    HWND m_h = nullptr;
    std::unique_ptr<qn::test::DeletionGuard> m_pGuard;
    std::vector<std::string> m_Args;
    std::vector<char*> m_Argv;
};

qn::test::TempDir* RepairThread::s_pTmp = nullptr;
BuiltFixture RepairThread::s_Fixture;
bool RepairThread::s_bOk = false;
std::string RepairThread::s_strErr;

TEST_P(RepairThread, StatusLinesProgressAndSummary) {
    const Row& row = GetParam();
    const Scenario* pScenario = FindScenario(row.scenario);
    ASSERT_NE(pScenario, nullptr);
    Open(*pScenario, row.delays);
    auto& ui = m_Ui.ui();
    ASSERT_TRUE(RunOnce());
    ASSERT_TRUE(ui.OnUi([] {}));

    Recorder::Record rec = m_Dlg.Snapshot();
    std::vector<std::string> expected = {kVersionText};
    expected.insert(expected.end(), row.lines.begin(), row.lines.end());
    ASSERT_FALSE(rec.statusLines.empty());
    EXPECT_TRUE(InOrder(rec.statusLines, expected)) << ::testing::PrintToString(rec.statusLines);
    for (const std::string& line : row.shown)
        EXPECT_NE(std::find(rec.statusLines.begin(), rec.statusLines.end(), line), rec.statusLines.end()) << line;
    EXPECT_EQ(rec.statusLines.back(), expected.back());
    EXPECT_EQ(ui.Text(m_h, IDC_STATIC), expected.back());
    EXPECT_EQ(ui.Text(m_h, kStart), row.caption);
    EXPECT_TRUE(ui.Enabled(m_h, kStart));
    ASSERT_FALSE(rec.progress.empty());
    EXPECT_EQ(rec.progress.front(), 0);
    for (int p : rec.progress) EXPECT_LE(p, 100);
    // A run that reached its summary, and one that found a file in use, end at 100.
    if (row.allRepaired >= 0 || std::string(row.scenario) == "D7") {
        EXPECT_EQ(rec.progress.back(), 100);
    }
    EXPECT_EQ(ui.Progress(m_h, kProgress), rec.progress.back());
    // The run's first message shuts Start; a finished run updates the caption before it opens
    // Start again, a failed one only opens it.
    EXPECT_EQ(rec.messages.front(), (UINT)WM_DISABLE_START_BUTTON);
    bool bUpdated = std::find(rec.messages.begin(), rec.messages.end(), (UINT)WM_UPDATE_START_BUTTON) != rec.messages.end();
    EXPECT_EQ(bUpdated, row.allRepaired >= 0);
    if (row.allRepaired >= 0) {
        EXPECT_EQ(m_Dlg.m_bAllRepaired.load(), row.allRepaired);
        ASSERT_GE(rec.messages.size(), 2u);
        EXPECT_EQ(rec.messages[rec.messages.size() - 2], (UINT)WM_UPDATE_START_BUTTON);
        EXPECT_EQ(rec.messages.back(), (UINT)WM_ENABLE_START_BUTTON);
    }
    if (row.treeRepaired) {
        EXPECT_EQ(CheckEndState(*pScenario, s_Fixture.clientRoot, m_pHarness->workRoot()), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RepairThread, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             std::string name;
                             for (const char* p = info.param.scenario; *p; ++p)
                                 name.push_back(std::isalnum((unsigned char)*p) ? *p : '_');
                             return name;
                         });

using RepairThreadRuns = RepairThread;

// After a partial repair the button reads "继续修复" and a second click repairs again; after a
// complete one the button reads "完成" and the next click ends the tool.
TEST_F(RepairThreadRuns, FinishedRunEndsTheToolOnTheNextClick) {
    Open(*FindScenario("D1"), {});
    ASSERT_TRUE(RunOnce());
    auto& ui = m_Ui.ui();
    ASSERT_TRUE(ui.WaitUntil([&] { return ui.Text(m_h, kStart) == "完成"; }));
    EXPECT_EQ(ui.Text(m_h, IDC_STATIC), "修复完成：共有1个资源损坏，成功修复1个，失败0个。");
    EXPECT_TRUE(ui.Click(m_h, kStart));
    EXPECT_TRUE(m_Ui.WaitDone(30000));
}

// Removals that fail as they do in a folder of another account.
int RefuseNamesEndingInStuck(const char* cszPath) {
    const std::string s = cszPath;
    return s.size() >= 5 && s.compare(s.size() - 5, 5, "stuck") == 0 ? EACCES : 0;
}

// A temporary folder left with an entry the tool cannot remove neither stops the start nor the
// repair; the player's own file in it stays.
TEST_F(RepairThreadRuns, LeftoverThatCannotBeRemovedDoesNotStopTheRepair) {
    qn::test::TempDir outside;
    qn::test::WriteFile(outside / "f", "outside");
    qn::testing::SetDeleteFileHook(&RefuseNamesEndingInStuck);
    Open(*FindScenario("D1"), {}, [&](const std::string& root) {
        qn::test::WriteFile(root + "/QelRepairTemp/other/mine.txt", "the player's");
        ASSERT_EQ(::symlink((outside / "f").c_str(), (root + "/QelRepairTemp/other/stuck").c_str()), 0);
    });
    ASSERT_TRUE(RunOnce());
    qn::testing::SetDeleteFileHook(nullptr);
    EXPECT_EQ(m_Ui.ui().Text(m_h, IDC_STATIC), "修复完成：共有1个资源损坏，成功修复1个，失败0个。");
    EXPECT_EQ(CheckEndState(*FindScenario("D1"), s_Fixture.clientRoot, m_pHarness->workRoot()), "");
    EXPECT_EQ(qn::test::ReadFile(m_pHarness->workRoot() + "/QelRepairTemp/other/mine.txt"), "the player's");
    EXPECT_EQ(qn::test::ReadFile(outside / "f"), "outside");
}

// A micro-client that has not finished downloading is not repaired: its check program exits 1.
TEST_F(RepairThreadRuns, UnfinishedMicroClientIsRefused) {
    Open(*FindScenario("D5"), {});
    const std::string drennit = m_pHarness->workRoot() + "/bin/zhcn/Drennit.exe";
    qn::test::WriteFile(drennit, "#!/bin/sh\nexit 1\n");
    ASSERT_EQ(::chmod(drennit.c_str(), 0755), 0);
    ASSERT_TRUE(RunOnce());
    EXPECT_EQ(m_Ui.ui().Text(m_h, IDC_STATIC), "修复正式服失败：未下载完成的微端不能修复，等下载完成再试！");
    EXPECT_FALSE(qn::test::FileExists(m_pHarness->workRoot() + "/bin/zhcn/lib/core.dll")) << "nothing was repaired";
}

// Leaving during the check stops the coordinator within a poll: the run ends as a failure with
// status 6, and the dialog closes.
TEST_F(RepairThreadRuns, ExitDuringTheCheckStopsTheCoordinator) {
    Open(*FindScenario("D0"), {{"/qel_repair.info", "", 3000}});
    auto& ui = m_Ui.ui();
    ASSERT_TRUE(ui.Click(m_h, kStart));
    ASSERT_TRUE(ui.WaitUntil([&] { return ui.Text(m_h, IDC_STATIC) == kChecking; }));
    ui.AnswerMessageBox(IDOK);
    ASSERT_TRUE(ui.Click(m_h, QN_QelRepairDlg::IDC_BUTTON_EXIT));
    ASSERT_TRUE(m_Ui.WaitDone(30000));
    bool bStatusLine = false;
    for (const std::string& line : m_Log.Messages())
        if (line.find("Repair client resource status: 6") != std::string::npos) bStatusLine = true;
    EXPECT_TRUE(bStatusLine);
}

struct ProgressCase {
    float fPackage, fNormal;
    bool bStored;
    uint32_t uPercentage;
};

TEST(RepairPhasePercentage, WeighsPackagesAndOrdinaryFilesAndRefusesNonPercentages) {
    const float kNaN = std::numeric_limits<float>::quiet_NaN();
    const ProgressCase cases[] = {
        {1.0f, 1.0f, true, 100}, {0.5f, 0.0f, true, 35},   {0.0f, 1.0f, true, 30}, {0.0f, 0.0f, true, 0},
        {0.999f, 0.999f, true, 99}, {-0.1f, 0.0f, false, 0}, {kNaN, 0.0f, false, 0}, {2.0f, 0.0f, false, 0},
        {0.0f, kNaN, false, 0},
    };
    for (const ProgressCase& c : cases) {
        uint32_t u = 12345;
        EXPECT_EQ(QN_RepairPhasePercentage(c.fPackage, c.fNormal, &u), c.bStored) << c.fPackage << " " << c.fNormal;
        EXPECT_EQ(u, c.bStored ? c.uPercentage : 12345u) << c.fPackage << " " << c.fNormal;
    }
}

}  // namespace
