#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "QN_EditShortcut.h"
#include "QN_QelRepairDlg.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_shell_link.h"
#include "qn_special_folder.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"

namespace {

class ShortcutProbe : public QN_QelRepairDlg {
public:
    using QN_QelRepairDlg::_EditAllShortcut;
    using QN_QelRepairDlg::m_strClientPath;
};

std::string Folder(int nCsidl) {
    std::string strPath;
    EXPECT_EQ(QN_GetSpecialFolderPath(nCsidl, &strPath, false), 1);
    return strPath;
}

std::string Link(const std::string& strTarget, const std::string& strArguments, const std::string& strMore = "") {
    return "QNLNK 1\nTarget=" + strTarget + "\nArguments=" + strArguments + "\n" + strMore;
}

// A platform root with the client root R and the five folders.
struct ShortcutFixture {
    qn::test::PlatformSandbox sandbox;
    std::string strRoot = sandbox / "games/qel/";
    std::string strCommonDesktop = Folder(CSIDL_COMMON_DESKTOPDIRECTORY);
    std::string strDesktop = Folder(CSIDL_DESKTOPDIRECTORY);
    std::string strCommonStartMenu = Folder(CSIDL_COMMON_STARTMENU);
    std::string strStartMenu = Folder(CSIDL_STARTMENU);
    std::string strQuickLaunch = Folder(CSIDL_APPDATA) + "/Microsoft/Internet Explorer/Quick Launch";

    void Put(const std::string& strPath, const std::string& strBytes) {
        qn::test::MakeDirs(strPath.substr(0, strPath.rfind('/')));
        qn::test::WriteFile(strPath, strBytes);
    }
    int Run(ShortcutProbe& dlg) {
        dlg.m_strClientPath = strRoot;
        return dlg._EditAllShortcut();
    }
};

mode_t ModeOf(const std::string& strPath) {
    struct stat st;
    EXPECT_EQ(::lstat(strPath.c_str(), &st), 0) << strPath;
    return st.st_mode & 07777;
}

TEST(EditAllShortcut, Cases) {
    ShortcutFixture f;
    const std::string R = f.strRoot;
    const std::string strLauncher = R + "QelLauncher.exe";
    const std::string strBinary(1 << 20, '\x01');
    const std::string strKept =
        "WorkingDirectory=" + R + "\nDescription=Qel 客户端\nIconLocation=" + R + "gameupdater.exe,0\nHotKey=1617\n"
        "ShowCommand=3\nX-Other=kept\n";
    qn::test::MakeDirs(f.sandbox / "outside");
    // The settings program exists, so that another spelling of its path is the same file.
    qn::test::MakeDirs(R);
    qn::test::WriteFile(R + "GameConfig.exe", "program");
    qn::test::WriteFile(f.sandbox / "outside/elsewhere.lnk", Link(R + "gameupdater.exe", ""));
    struct Row {
        const char* cszName;
        std::string strPath;
        std::string strBefore;
        std::string strAfter;
        mode_t uModeBefore;  // 0: as written
    } rows[] = {
        // Names differ in letter case only: another file on this system, of another installation.
        {"target in another letter case, common desktop", f.strCommonDesktop + "/Qel.lnk",
         Link(R + "GAMEUPDATER.EXE", ""), Link(R + "GAMEUPDATER.EXE", ""), 0},
        {"the settings program two folders deep in the start menu", f.strStartMenu + "/Programs/Qel/Config.lnk",
         Link(R + "GameConfig.exe", ""), Link(strLauncher, "-c"), 0},
        {"the settings program spelt another way in the common start menu", f.strCommonStartMenu + "/Config.lnk",
         Link(R + "./GameConfig.exe", ""), Link(strLauncher, "-c"), 0},
        {"a link with arguments", f.strDesktop + "/Args.lnk", Link(R + "gameupdater.exe", "-x"),
         Link(R + "gameupdater.exe", "-x"), 0},
        {"another installation, Quick Launch", f.strQuickLaunch + "/Other.lnk", Link("/other/gameupdater.exe", ""),
         Link("/other/gameupdater.exe", ""), 0},
        {"Quick Launch, matching", f.strQuickLaunch + "/Qel.lnk", Link(R + "gameupdater.exe", ""),
         Link(strLauncher, ""), 0},
        {"inside a folder whose name begins with '.'", f.strStartMenu + "/.hidden/Qel.lnk",
         Link(R + "gameupdater.exe", ""), Link(R + "gameupdater.exe", ""), 0},
        {"a text file", f.strDesktop + "/notes.txt", "Target=" + R + "gameupdater.exe\n",
         "Target=" + R + "gameupdater.exe\n", 0},
        {"a 1 MiB binary", f.strDesktop + "/big.lnk", strBinary, strBinary, 0},
        {"a link without a target", f.strDesktop + "/Empty.lnk", Link("", ""), Link("", ""), 0},
        {"a read-only link", f.strDesktop + "/ReadOnly.lnk", Link(R + "gameupdater.exe", ""), Link(strLauncher, ""),
         0444},
        {"the user's other fields are kept", f.strDesktop + "/Full.lnk", Link(R + "gameupdater.exe", "", strKept),
         Link(strLauncher, "", strKept), 0},
        {"no arguments line, CR LF lines, backslash before the name", f.strDesktop + "/Crlf.lnk",
         "QNLNK 1\r\nTarget=" + R.substr(0, R.size() - 1) + "\\gameupdater.exe\r\n", Link(strLauncher, ""), 0},
    };
    for (const Row& r : rows) {
        f.Put(r.strPath, r.strBefore);
        if (r.uModeBefore) {
            ASSERT_EQ(::chmod(r.strPath.c_str(), r.uModeBefore), 0);
        }
    }
    // A link to a matching link outside the folders, and a folder link back to the start menu.
    ASSERT_EQ(::symlink((f.sandbox / "outside/elsewhere.lnk").c_str(), (f.strDesktop + "/ToOutside.lnk").c_str()), 0);
    ASSERT_EQ(::symlink(f.strStartMenu.c_str(), (f.strStartMenu + "/Programs/Loop").c_str()), 0);
    ASSERT_EQ(::symlink((f.sandbox / "outside").c_str(), (f.strCommonStartMenu + "/Outside").c_str()), 0);

    qn::test::LogCapture log;
    ShortcutProbe dlg;
    EXPECT_EQ(f.Run(dlg), 1);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        EXPECT_EQ(qn::test::ReadFile(r.strPath), r.strAfter);
        if (r.uModeBefore) {
            EXPECT_TRUE(ModeOf(r.strPath) & S_IWUSR);
        }
    }
    char szLink[1024] = {};
    ASSERT_GT(::readlink((f.strDesktop + "/ToOutside.lnk").c_str(), szLink, sizeof(szLink) - 1), 0);
    EXPECT_EQ(std::string(szLink), f.sandbox / "outside/elsewhere.lnk");
    EXPECT_EQ(qn::test::ReadFile(f.sandbox / "outside/elsewhere.lnk"), Link(R + "gameupdater.exe", ""));
    EXPECT_TRUE(log.Messages().empty());
    // No temporary file is left beside a rewritten link.
    for (const std::string& strName : qn::test::ListFiles(f.strDesktop)) EXPECT_EQ(strName.find(".qnlnk-"), std::string::npos);
}

TEST(EditAllShortcut, NoFoldersAtAll) {
    qn::test::PlatformSandbox sandbox;
    qn::test::LogCapture log;
    ShortcutProbe dlg;
    dlg.m_strClientPath = sandbox / "games/qel/";
    EXPECT_EQ(dlg._EditAllShortcut(), 1);
    EXPECT_TRUE(log.Messages().empty());
}

std::string g_strFailingFolder;
uint32_t FailIn(const char* cszFolder) { return g_strFailingFolder == cszFolder ? 5 : 0; }

// A listing that fails in the first rule's walk ends it, and the second rule is not tried.
TEST(EditAllShortcut, FailedListingStopsBothRules) {
    ShortcutFixture f;
    const std::string R = f.strRoot;
    f.Put(f.strCommonDesktop + "/a.lnk", Link(R + "gameupdater.exe", ""));
    f.Put(f.strDesktop + "/b.lnk", Link(R + "gameupdater.exe", ""));
    f.Put(f.strDesktop + "/c.lnk", Link(R + "GameConfig.exe", ""));
    g_strFailingFolder = f.strCommonDesktop + "/";
    qn::testing::SetFindNextFileHook(FailIn);
    qn::test::LogCapture log;
    ShortcutProbe dlg;
    int nResult = f.Run(dlg);
    qn::testing::SetFindNextFileHook(nullptr);
    EXPECT_EQ(nResult, 0);
    EXPECT_EQ(qn::test::WithoutLineNumbers(log.Messages()),
              (std::vector<std::string>{
                  "QNLOG_PROCESS_ERROR(false && \"FindNextFile()\") at line N in _EditAllShortcutInDir",
                  "Failed to edit shortcut in directory `" + f.strCommonDesktop + "`, Error code: 5",
                  "QNLOG_PROCESS_ERROR(nRetCode && \"_EditShortcutInDir()\") at line N in QN_EditAllShortcut",
                  "QNLOG_PROCESS_ERROR(nRetCode && \"QN_EditAllShortcut()\") at line N in QN_QelRepairDlg::_EditAllShortcut",
              }));
    EXPECT_EQ(qn::test::ReadFile(f.strDesktop + "/b.lnk"), Link(R + "gameupdater.exe", ""));
    EXPECT_EQ(qn::test::ReadFile(f.strDesktop + "/c.lnk"), Link(R + "GameConfig.exe", ""));
}

// On a thread that has the component library initialised already nothing is touched, and the
// thread's count is where it was.
TEST(EditAllShortcut, ThreadAlreadyInitialised) {
    ShortcutFixture f;
    const std::string R = f.strRoot;
    f.Put(f.strDesktop + "/a.lnk", Link(R + "gameupdater.exe", ""));
    ASSERT_EQ(QN_CoInitialize(nullptr), S_OK);
    const int nBefore = qn::testing::ComInitializeCount();
    qn::test::LogCapture log;
    ShortcutProbe dlg;
    EXPECT_EQ(f.Run(dlg), 0);
    EXPECT_EQ(qn::testing::ComInitializeCount(), nBefore);
    QN_CoUninitialize();
    EXPECT_EQ(qn::testing::ComInitializeCount(), 0);
    EXPECT_EQ(qn::test::ReadFile(f.strDesktop + "/a.lnk"), Link(R + "gameupdater.exe", ""));
    EXPECT_EQ(qn::test::WithoutLineNumbers(log.Messages()),
              (std::vector<std::string>{
                  "QNLOG_PROCESS_ERROR(hRetCode == S_OK) at line N in QN_EditAllShortcut",
                  "QNLOG_PROCESS_ERROR(nRetCode && \"QN_EditAllShortcut()\") at line N in QN_QelRepairDlg::_EditAllShortcut",
              }));
}

TEST(EditAllShortcut, ArgumentChecks) {
    qn::test::PlatformSandbox sandbox;
    struct Row {
        const char* cszOrigin;
        const char* cszNew;
        const char* cszArgument;
        const char* cszCondition;
    } rows[] = {
        {nullptr, "/n", "", "cszOriginApplicaionFileName"},
        {"", "/n", "", "cszOriginApplicaionFileName[0]"},
        {"/o", nullptr, "", "cszNewApplicationFileName"},
        {"/o", "", "", "cszNewApplicationFileName[0]"},
        {"/o", "/n", nullptr, "cszNewArgument"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszCondition);
        qn::test::LogCapture log;
        EXPECT_EQ(QN_EditAllShortcut(r.cszOrigin, r.cszNew, r.cszArgument), 0);
        EXPECT_EQ(qn::test::WithoutLineNumbers(log.Messages()),
                  (std::vector<std::string>{std::string("QNLOG_PROCESS_ERROR(") + r.cszCondition +
                                            ") at line N in QN_EditAllShortcut"}));
        EXPECT_EQ(qn::testing::ComInitializeCount(), 0);
    }
}

}  // namespace
