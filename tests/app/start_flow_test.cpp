// The self-update thread and the Start button in the headless dialog: the updater's outcomes
// with the restart's command line, the client folder's confirmation with the copy into the
// chosen root, and the refusals while the client is busy.
#include <gtest/gtest.h>

#include "md5_test_util.h"
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QN_MD5.h"
#include "QN_QelRepairDlg.h"
#include "QN_SelfUpdater.h"
#include "app_test_hooks.h"
#include "fake_program.h"
#include "qn_deletion_guard.h"
#include "qn_file_replace.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_process.h"
#include "qn_string.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"
#include "qn_ui_harness.h"
#include "ui/qnui.h"

using namespace qnui;

namespace {

constexpr int kStart = QN_QelRepairDlg::IDC_BUTTON_START;
constexpr int kExit = QN_QelRepairDlg::IDC_BUTTON_EXIT;
const char kReady[] = "准备修复：请先确认客户端所在磁盘空间充裕及网络连接顺畅，再点击开始修复按钮...";
const char kUpdateFailed[] = "自更新失败，请检查网络连接或者手动下载最新版本修复程序后再运行 ！";
const char kNoClientPath[] = "修复失败：无法确定客户端路径！";
const char kTool[] = QN_VERSION_PROGRAM_OLDER;

HRESULT OkInit() { return S_OK; }
HRESULT OkUninit() { return S_OK; }
HRESULT NoService(REFIID, void** ppv) {
    *ppv = nullptr;
    return E_FAIL;
}

using qn::apptest::Md5Of;

class Probe : public QN_QelRepairDlg {
public:
    using QN_QelRepairDlg::m_bAllRepaired;
};

// One run of the dialog on a UI thread of its own. Its end answers a question and leaves.
struct Session {
    Probe dlg;
    qn::test::UiThread ui;
    HWND h = nullptr;
    std::vector<std::string> args;
    std::vector<char*> argv;
    ~Session() {
        ui.Close(h);
        AfxSetCommandLine(0, nullptr);
    }
};

// The tool lies in <dir>/<tool folder>; the repair server is a folder that the updater's
// download copies from; new program copies are recorded instead of started.
class StartFlow : public ::testing::Test {
protected:
    void SetUp() override {
        static const QN_DOWNLOAD_LIBRARY_ENTRY kEntry = {&OkInit, &OkUninit, &NoService};
        qn::testing::SetDownloadLibraryEntry(&kEntry);
        QN_SetRepairDialogWorkers(QN_GetProgramRepairDialogWorkers());
        qn::test::MakeDirs(dir / "server");
        qn::testing::SetSelfUpdaterHook([this](QN_SelfUpdater* p) {
            p->m_fnDownload = [this](const char* cszURL, const wchar_t* cwszDir, const wchar_t* cwszName) {
                std::string strURL = cszURL;
                std::string strSource = dir / ("server/" + strURL.substr(strURL.find_last_of('/') + 1));
                if (!qn::test::FileExists(strSource)) return 0;
                qn::test::WriteFile(QN_WideToUtf8(cwszDir) + QN_WideToUtf8(cwszName), qn::test::ReadFile(strSource));
                return 1;
            };
        });
        qn::testing::SetCreateProcessHook([this](const char* csz) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Started.push_back(csz);
            return m_nStartResult;
        });
        // The check for running client programs sees the programs this test says run, never
        // the machine's own process list.
        qn::testing::SetRunningProgramsHook([this] {
            std::lock_guard<std::mutex> lock(m_Mutex);
            return m_Running;
        });
        m_pGuard = std::make_unique<qn::test::DeletionGuard>(dir.path());
    }
    void TearDown() override {
        m_pRun.reset();
        m_pGuard.reset();
        qn::testing::SetSelfUpdaterHook(nullptr);
        qn::testing::SetCreateProcessHook(nullptr);
        qn::testing::SetRunningProgramsHook(nullptr);
        qn::testing::SetModuleFileName(nullptr);
        qn::testing::SetDownloadLibraryEntry(nullptr);
        QN_SetRepairDialogWorkers({nullptr, nullptr});
    }
    // Puts the tool into the folder; a client root when bClient. The tool is a small program
    // with a version record (1.0.3.9), so that copying it costs little on a loaded machine.
    void PlaceTool(const std::string& strFolder, bool bClient) {
        strToolDir = dir / strFolder;
        strExe = strToolDir + "/QelRepair.exe";
        qn::test::MakeDirs(strToolDir);
        if (bClient) qn::test::MakeDirs(strToolDir + "/bin/zhcn");
        qn::test::WriteFile(strExe, qn::test::ReadFile(kTool));
        ::chmod(strExe.c_str(), 0755);
        qn::test::WriteFile(strToolDir + "/repair_settings.ini", "[server]\r\nip=http://repair.test/qelrepair/\r\n");
        qn::testing::SetModuleFileName(strExe.c_str());
    }
    // Ends the previous run, if any, and starts the dialog (with "-i" when bConfirmed).
    void Open(bool bConfirmed) {
        m_pRun.reset();
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Started.clear();
        }
        m_pRun = std::make_unique<Session>();
        m_pRun->args = {"QelRepair.exe"};
        if (bConfirmed) m_pRun->args.push_back("-i");
        for (auto& a : m_pRun->args) m_pRun->argv.push_back(a.data());
        m_pRun->argv.push_back(nullptr);
        AfxSetCommandLine((int)m_pRun->args.size(), m_pRun->argv.data());
        Session* pRun = m_pRun.get();
        pRun->ui.Start([pRun] { return pRun->dlg.DoModal(); });
        pRun->h = pRun->ui.ui().WaitForDialog(QN_QelRepairDlg::IDD);
        h = pRun->h;
        ASSERT_NE(h, nullptr);
    }
    qn::test::UiThread& Ui() { return m_pRun->ui; }
    qnui::HeadlessBackend& D() { return m_pRun->ui.ui(); }
    void PublishIndex(const std::string& strVersion, const char* cszProgram) {
        std::string bytes = qn::test::ReadFile(cszProgram);
        qn::test::WriteFile(dir / "server/QelRepair_new.exe", bytes);
        qn::test::WriteFile(dir / "server/qel_index.info", "[SelfUpdate]\r\nLastestVersionNumber=" + strVersion +
                                                               "\r\nFileName=QelRepair_new.exe\r\nFileMD5=" + Md5Of(bytes) +
                                                               "\r\n");
    }
    std::vector<std::string> Started() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Started;
    }
    std::string Status() { return D().Text(h, IDC_STATIC); }
    // Once the self-update is done, clicks Start and chooses the root in the folder dialog.
    void ChooseRoot(const std::string& strRoot) {
        ASSERT_TRUE(D().WaitUntil([&] { return Status() == kReady && D().Enabled(h, kStart); }));
        ASSERT_TRUE(D().Click(h, kStart));
        HWND hConfirm = D().WaitForDialog(132);
        ASSERT_NE(hConfirm, nullptr);
        ASSERT_TRUE(D().TypeText(hConfirm, 1023, strRoot));
        ASSERT_TRUE(D().Click(hConfirm, IDOK));
    }

    qn::test::TempDir dir;
    qn::test::LogCapture log;
    qn::test::PlatformSandbox platform;
    std::string strToolDir, strExe;
    std::unique_ptr<Session> m_pRun;
    HWND h = nullptr;
    std::unique_ptr<qn::test::DeletionGuard> m_pGuard;
    std::mutex m_Mutex;
    std::vector<std::string> m_Started;
    std::vector<std::string> m_Running;
    int m_nStartResult = 1;
};

TEST_F(StartFlow, SelfUpdateOutcomes) {
    struct Case {
        const char* cszName;
        const char* cszServerVersion;  // nullptr: no index on the server
        const char* cszProgram;
        int nStartResult;
        const char* cszStatus;
        bool bRestarted;  // the dialog closed itself after starting the new program
    } cases[] = {
        {"no update", "1.0.3.9", QN_VERSION_PROGRAM_NEWER, 1, kReady, false},
        {"an update", "1.0.4.0", QN_VERSION_PROGRAM_NEWER, 1, kReady, true},
        {"a bad index", nullptr, QN_VERSION_PROGRAM_NEWER, 1, kUpdateFailed, false},
        {"an update whose restart fails", "1.0.4.0", QN_VERSION_PROGRAM_NEWER, 0, kUpdateFailed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cszName);
        ::unlink((dir / "server/qel_index.info").c_str());
        PlaceTool(std::string("tool folder ") + c.cszName, true);
        if (c.cszServerVersion) PublishIndex(c.cszServerVersion, c.cszProgram);
        m_nStartResult = c.nStartResult;
        Open(false);
        if (c.bRestarted) {
            ASSERT_TRUE(Ui().WaitDone(30000)) << "the dialog closes without asking";
            EXPECT_TRUE(D().Boxes().empty());
            // The new copy works in the temporary folder from now on: it stays.
            EXPECT_TRUE(qn::test::FileExists(strToolDir + "/QelRepairTemp"));
            EXPECT_EQ(qn::test::ReadFile(strExe), qn::test::ReadFile(c.cszProgram));
        } else {
            ASSERT_TRUE(D().WaitUntil([&] { return Status() == c.cszStatus && D().Enabled(h, kExit); }));
            EXPECT_TRUE(D().Enabled(h, kStart));
            EXPECT_FALSE(Ui().done());
        }
        std::vector<std::string> started = Started();
        if (c.cszServerVersion && std::string(c.cszServerVersion) == "1.0.4.0") {
            ASSERT_EQ(started.size(), 1u);
            // Quoted, so that the blank in the folder's name does not split the path.
            EXPECT_EQ(started[0], "\"" + strExe + "\"");
            EXPECT_EQ(QN_SplitCommandLine(started[0].c_str()), std::vector<std::string>{strExe});
        } else {
            EXPECT_TRUE(started.empty());
        }
    }
}

TEST_F(StartFlow, ToolInAClientRootStartsTheRepairAtOnce) {
    PlaceTool("R", true);
    Open(true);
    ASSERT_TRUE(D().Click(h, kStart));
    // The repair thread runs (and fails here, without a server): no folder question, no copy.
    ASSERT_TRUE(D().WaitUntil([&] { return Status().find("修复正式服客户端资源失败") == 0 && D().Enabled(h, kStart); }));
    EXPECT_TRUE(D().Folders().empty());
    EXPECT_TRUE(Started().empty());
}

// A self-copy killed midway leaves "QelRepair.exe.qncopy" in the client root. When the tool
// then runs in that root it has nothing to copy, and the side file goes all the same; a link
// at that name is removed, what it points to stays.
TEST_F(StartFlow, ToolInAClientRootRemovesTheSideFileOfAKilledCopy) {
    for (bool bLink : {false, true}) {
        SCOPED_TRACE(bLink ? "a link" : "a file");
        PlaceTool(bLink ? "root with a link" : "root with a file", true);
        const std::string side = strToolDir + "/QelRepair.exe.qncopy";
        qn::test::WriteFile(dir / "outside/victim", "outside bytes");
        if (bLink)
            ASSERT_EQ(::symlink((dir / "outside/victim").c_str(), side.c_str()), 0);
        else
            qn::test::WriteFile(side, std::string(65536, 'p'));
        PublishIndex("1.0.3.9", kTool);
        Open(false);
        ASSERT_TRUE(D().WaitUntil([&] { return Status() == kReady && D().Enabled(h, kStart); }));
        ASSERT_TRUE(D().Click(h, kStart));
        ASSERT_TRUE(D().WaitUntil([&] { return Status().find("修复正式服客户端资源失败") == 0 && D().Enabled(h, kStart); }));
        struct stat st;
        EXPECT_NE(::lstat(side.c_str(), &st), 0);
        EXPECT_EQ(qn::test::ReadFile(dir / "outside/victim"), "outside bytes");
        EXPECT_TRUE(Started().empty());
    }
}

TEST_F(StartFlow, ToolOutsideAClientCopiesItselfIntoTheChosenRootAndStartsThere) {
    struct Case {
        const char* cszName;
        const char* cszToolFolder;
        const char* cszRoot;
    } cases[] = {
        {"a root elsewhere", "tool", "Games/Qel Client/"},
        // Two folders on this system: taking them for one would leave the tool in the wrong one.
        {"a root whose name differs from the tool's folder in letter case only", "WORK", "work/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cszName);
        PlaceTool(c.cszToolFolder, false);
        const std::string strRoot = dir / c.cszRoot;
        qn::test::MakeDirs(strRoot + "bin/zhcn");
        PublishIndex("1.0.3.9", kTool);
        Open(false);
        ASSERT_NO_FATAL_FAILURE(ChooseRoot(strRoot));
        ASSERT_TRUE(Ui().WaitDone(30000)) << "this copy ends";
        const std::string strTarget = strRoot + "QelRepair.exe";
        EXPECT_EQ(qn::test::ReadFile(strTarget), qn::test::ReadFile(kTool));
        struct stat st;
        ASSERT_EQ(::stat(strTarget.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        std::vector<std::string> started = Started();
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(QN_SplitCommandLine(started[0].c_str()), (std::vector<std::string>{strTarget, "-i"}));
    }
}

TEST_F(StartFlow, ConfirmationFailuresAndCancel) {
    struct Case {
        const char* cszName;
        bool bCancel;
        bool bFolderInTheWay;  // a folder where the copy goes
        bool bRunningInTheWay;  // another program, running, where the copy goes
        const char* cszCopyError;  // the copy line's tail after the two paths, nullptr for no line
    } cases[] = {
        {"cancel", true, false, false, nullptr},
        {"a folder in the copy's place", false, true, false, ": Is a directory"},
        // Refused by the copy itself, not by a system call: no system error text.
        {"a running program in the copy's place", false, false, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cszName);
        PlaceTool(std::string("tool ") + c.cszName, false);
        std::string strRoot = dir / (std::string("root ") + c.cszName + "/");
        qn::test::MakeDirs(strRoot + "bin/zhcn");
        if (c.bFolderInTheWay) qn::test::MakeDirs(strRoot + "QelRepair.exe/inside");
        std::unique_ptr<qn::apptest::FakeProgram> pRunning;
        if (c.bRunningInTheWay) pRunning = std::make_unique<qn::apptest::FakeProgram>(strRoot + "QelRepair.exe");
        PublishIndex("1.0.3.9", kTool);
        Open(false);
        ASSERT_TRUE(D().WaitUntil([&] { return Status() == kReady && D().Enabled(h, kStart); }));
        const std::string strBefore = Status();
        ASSERT_TRUE(D().Click(h, kStart));
        HWND hConfirm = D().WaitForDialog(132);
        ASSERT_NE(hConfirm, nullptr);
        if (c.bCancel) {
            ASSERT_TRUE(D().Click(hConfirm, IDCANCEL));
            ASSERT_TRUE(D().WaitForDialogEnd(132));
            ASSERT_TRUE(D().OnUi([] {}));
            EXPECT_EQ(Status(), strBefore);
        } else {
            ASSERT_TRUE(D().TypeText(hConfirm, 1023, strRoot));
            ASSERT_TRUE(D().Click(hConfirm, IDOK));
            ASSERT_TRUE(D().WaitUntil([&] { return Status() == kNoClientPath; }));
        }
        EXPECT_TRUE(Started().empty());
        EXPECT_FALSE(Ui().done());
        EXPECT_TRUE(D().Enabled(h, kStart));
        if (c.bCancel) {
            EXPECT_FALSE(qn::test::FileExists(strRoot + "QelRepair.exe")) << "nothing copied";
        }
        std::vector<std::string> copyLines;
        for (std::string m : log.Messages()) {
            while (!m.empty() && m.back() == '\n') m.pop_back();
            if (m.rfind("Failed to copy " + strExe + " to ", 0) == 0) copyLines.push_back(m);
        }
        if (c.cszCopyError) {
            EXPECT_EQ(copyLines, std::vector<std::string>{"Failed to copy " + strExe + " to " + strRoot + "QelRepair.exe" +
                                                          c.cszCopyError});
        } else {
            EXPECT_TRUE(copyLines.empty());
        }
    }
}

// The copy of the tool into the chosen root runs out of space midway: no partial program is
// left in the client, the log names the system error, and the status says the client path
// could not be settled.
TEST_F(StartFlow, SelfCopyFailingMidwayLeavesNothingInTheClient) {
    PlaceTool("tool", false);
    const std::string strRoot = dir / "full root/";
    qn::test::MakeDirs(strRoot + "bin/zhcn");
    PublishIndex("1.0.3.9", kTool);
    Open(false);
    ASSERT_TRUE(D().WaitUntil([&] { return Status() == kReady && D().Enabled(h, kStart); }));
    // The tool is some 18 KB: the copy fails a few KiB in.
    struct LimitGuard {
        LimitGuard() { qn::testing::SetCopyWriteLimit(4 * 1024); }
        ~LimitGuard() { qn::testing::SetCopyWriteLimit(0); }
    } limit;
    ASSERT_TRUE(D().Click(h, kStart));
    HWND hConfirm = D().WaitForDialog(132);
    ASSERT_NE(hConfirm, nullptr);
    ASSERT_TRUE(D().TypeText(hConfirm, 1023, strRoot));
    ASSERT_TRUE(D().Click(hConfirm, IDOK));
    ASSERT_TRUE(D().WaitUntil([&] { return Status() == kNoClientPath; }));
    EXPECT_TRUE(Started().empty());
    EXPECT_EQ(qn::test::ListFiles(dir / "full root"), std::vector<std::string>{});
    bool bNamed = false;
    for (const std::string& m : log.Messages()) bNamed |= m.find("No space left on device") != std::string::npos;
    EXPECT_TRUE(bNamed);
}

// The chosen root already holds a program, and no copy can be written there (a full disk).
// The tool's own bytes need no copy: the tool goes on from that file, which gets the tool's
// permission bits, and a side file a killed copy left goes. Any other program is copied over
// as before, which fails on the full disk and leaves that program as it was.
TEST_F(StartFlow, RootThatHoldsTheToolAlreadyNeedsNoCopy) {
    struct Case {
        const char* cszName;
        const char* cszInRoot;  // "copy": the tool's bytes in a file of its own; "link": the tool's
                                // own file under a second name (a hard link); "running": the
                                // tool's bytes, run from there; else a program file
        bool bStarted;
    } cases[] = {
        {"the tool's bytes", "copy", true},
        {"the tool's own file", "link", true},
        // A copy of the tool running from the root is not taken over: the copy refuses it, as
        // it refuses any running program there.
        {"the tool's bytes, running", "running", false},
        {"another program", QN_VERSION_PROGRAM_NEWER, false},
    };
    struct LimitGuard {
        LimitGuard() { qn::testing::SetCopyWriteLimit(1); }
        ~LimitGuard() { qn::testing::SetCopyWriteLimit(0); }
    } limit;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cszName);
        PlaceTool(std::string("tool ") + c.cszName, false);
        const std::string strRoot = dir / (std::string("root ") + c.cszName + "/");
        const std::string strTarget = strRoot + "QelRepair.exe";
        qn::test::MakeDirs(strRoot + "bin/zhcn");
        const std::string strCopy = c.cszInRoot;
        std::unique_ptr<qn::apptest::FakeProgram> pRunning;
        if (strCopy == "link") {
            ASSERT_EQ(::link(strExe.c_str(), strTarget.c_str()), 0);
        } else if (strCopy == "running") {
            pRunning = std::make_unique<qn::apptest::FakeProgram>(strTarget, kTool);
            ASSERT_TRUE(qn::test::WaitUntil([&] { return QN_IsRunningProgramFile(strTarget.c_str()); }));
        } else {
            qn::test::WriteFile(strTarget, qn::test::ReadFile(strCopy == "copy" ? kTool : c.cszInRoot));
            ASSERT_EQ(::chmod(strTarget.c_str(), 0644), 0);
            qn::test::WriteFile(strTarget + ".qncopy", "left by a killed copy");
        }
        const std::string strBefore = qn::test::ReadFile(strTarget);
        PublishIndex("1.0.3.9", kTool);
        Open(false);
        ASSERT_NO_FATAL_FAILURE(ChooseRoot(strRoot));
        struct stat st;
        if (c.bStarted) {
            ASSERT_TRUE(Ui().WaitDone(30000)) << "this copy ends";
            std::vector<std::string> started = Started();
            ASSERT_EQ(started.size(), 1u);
            EXPECT_EQ(QN_SplitCommandLine(started[0].c_str()), (std::vector<std::string>{strTarget, "-i"}));
            ASSERT_EQ(::stat(strTarget.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0755u);
        } else {
            ASSERT_TRUE(D().WaitUntil([&] { return Status() == kNoClientPath; }));
            EXPECT_TRUE(Started().empty());
        }
        EXPECT_EQ(qn::test::ReadFile(strTarget), strBefore);
        EXPECT_NE(::lstat((strTarget + ".qncopy").c_str(), &st), 0) << "no side file is left";
    }
}

TEST_F(StartFlow, BusyClientIsRefused) {
    PlaceTool("R", true);
    const std::string strClient = strToolDir + "/bin/zhcn/QelClient.exe";
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        // Another copy of the tool's own file does not count; the client program does.
        m_Running = {"/usr/bin/elsewhere", strExe, strClient};
    }
    Open(true);
    ASSERT_TRUE(D().Click(h, kStart));
    ASSERT_TRUE(D().WaitUntil([&] { return Status() == "修复失败：《Qel》客户端相关程序正在运行，请先关闭 QelClient.exe！"; }));
    EXPECT_TRUE(D().Enabled(h, kStart));
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Running = {"/usr/bin/elsewhere", strExe};
    }
    // With the client closed, the next click repairs.
    ASSERT_TRUE(D().Click(h, kStart));
    ASSERT_TRUE(D().WaitUntil([&] { return Status().find("修复正式服客户端资源失败") == 0; }));
}

TEST_F(StartFlow, FinishedRepairEndsTheToolOnStart) {
    PlaceTool("R", true);
    Open(true);
    m_pRun->dlg.m_bAllRepaired = 1;
    ASSERT_TRUE(D().Click(h, kStart));
    EXPECT_TRUE(Ui().WaitDone(30000));
}

}  // namespace
