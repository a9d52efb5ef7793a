#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "QN_ClientEnvironment.h"
#include "QN_QelRepairDlg.h"
#include "app_test_hooks.h"
#include "fake_program.h"
#include "qn_failure_lines.h"
#include "qn_file_io.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_process.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"

namespace {

class EnvironmentProbe : public QN_QelRepairDlg {
public:
    using QN_QelRepairDlg::_IsOtherClientApplicationRunning;
    using QN_QelRepairDlg::m_strClientPath;
    using QN_QelRepairDlg::m_strExePath;
};

using qn::apptest::FakeProgram;

TEST(RunningClientPrograms, Table) {
    qn::test::TempDir dir;
    const std::string strRoot = dir / "R/";
    qn::test::MakeDirs(dir / "R");
    ASSERT_EQ(::symlink((dir / "R").c_str(), (dir / "link").c_str()), 0);
    // Whether this file system takes "r" for "R"; most on Linux do not.
    struct stat stUpper, stLower;
    const bool bFoldsCase = ::stat((dir / "R").c_str(), &stUpper) == 0 && ::stat((dir / "r").c_str(), &stLower) == 0 &&
                            stUpper.st_ino == stLower.st_ino;
    // The tool started in "WORK" beside the client "work": its first process still runs from
    // there while the copy in the client scans.
    qn::test::MakeDirs(dir / "work");
    qn::test::MakeDirs(dir / "WORK");
    struct Row {
        const char* cszName;
        std::string strImage;       // the running program, "" for none
        std::string strClientPath;  // the dialog's client root
        std::string strExePath;     // the dialog's own program
        int nResult;
        const char* cszFileName;
    } rows[] = {
        {"a client program", dir / "R/bin/zhcn/QelClient.exe", strRoot, dir / "R/QelRepair.exe", 1, "QelClient.exe"},
        {"the tool itself", dir / "R/QelRepair.exe", strRoot, dir / "R/QelRepair.exe", 0, ""},
        {"a program elsewhere", dir / "other/gameupdater.exe", strRoot, dir / "R/QelRepair.exe", 0, ""},
        {"a sibling folder with the root as its prefix", dir / "R2/gameupdater.exe", strRoot, dir / "R/QelRepair.exe", 0, ""},
        // On a file system that folds case the two spellings are one folder; elsewhere "r/" is
        // another folder, and no program of it runs.
        {"the root in another letter case", dir / "R/bin/zhcn/QelClient.exe", dir / "r/", dir / "r/QelRepair.exe",
         bFoldsCase ? 1 : 0, bFoldsCase ? "QelClient.exe" : ""},
        {"the tool's first copy in a folder named like the root in another letter case", dir / "WORK/QelRepair.exe",
         dir / "work/", dir / "work/QelRepair.exe", 0, ""},
        // The running program's path is the resolved one; the root the tool knows is a link to
        // the client folder, or the folder written another way.
        {"the root through a link", dir / "R/bin/zhcn/QelClient.exe", dir / "link/", dir / "link/QelRepair.exe", 1,
         "QelClient.exe"},
        {"the root written another way", dir / "R/bin/zhcn/QelClient.exe", dir / "./R//", dir / "./R//QelRepair.exe",
         1, "QelClient.exe"},
        {"the tool's own file through the link", dir / "R/QelRepair.exe", dir / "link/", dir / "link/QelRepair.exe", 0,
         ""},
        {"a sibling folder beside the link's target", dir / "R2/gameupdater.exe", dir / "link/",
         dir / "link/QelRepair.exe", 0, ""},
        {"nothing running", "", strRoot, dir / "R/QelRepair.exe", 0, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        std::unique_ptr<FakeProgram> pProgram;
        if (!r.strImage.empty()) pProgram = std::make_unique<FakeProgram>(r.strImage);
        EnvironmentProbe dlg;
        dlg.m_strClientPath = r.strClientPath;
        dlg.m_strExePath = r.strExePath;
        std::string strName;
        EXPECT_EQ(dlg._IsOtherClientApplicationRunning(&strName), r.nResult);
        EXPECT_EQ(strName, r.cszFileName);
    }
    // The tool's own process never counts, even when its running file lies in the client root
    // under another name (the backup after a self-update): a copy of this program in a folder
    // of its own scans with that folder as the client root.
    char szSelf[260];
    ASSERT_GT(QN_GetModuleFileNameA(nullptr, szSelf, sizeof(szSelf)), 0u);
    const std::string strCopy = dir / "self/QelRepairTemp/QelRepair.exe.bak";
    qn::test::MakeDirs(dir / "self/QelRepairTemp");
    qn::test::WriteFile(strCopy, qn::test::ReadFile(szSelf));
    ASSERT_EQ(::chmod(strCopy.c_str(), 0755), 0);
    QN_PROCESS_INFORMATION pi{};
    std::string strLine = "\"" + strCopy + "\" --gtest_filter=RunningClientProgramsSelf.* --gtest_also_run_disabled_tests";
    ASSERT_EQ(QN_CreateProcessA(nullptr, strLine.c_str(), nullptr, &pi), 1);
    ASSERT_EQ(QN_WaitForSingleObject(pi.hProcess, 120000), QN_WAIT_OBJECT_0);
    uint32_t uCode = 99;
    QN_GetExitCodeProcess(pi.hProcess, &uCode);
    QN_CloseProcessHandle(pi.hProcess);
    EXPECT_EQ(uCode, 0u) << "the scan found the tool's own process";
}

// Run only as the copy above: the client root is the folder above the copy's own folder.
TEST(RunningClientProgramsSelf, DISABLED_OwnProcessIsSkipped) {
    char szSelf[260];
    ASSERT_GT(QN_GetModuleFileNameA(nullptr, szSelf, sizeof(szSelf)), 0u);
    std::string strSelf = szSelf;
    std::string strTemp = strSelf.substr(0, strSelf.find_last_of('/'));
    EnvironmentProbe dlg;
    dlg.m_strClientPath = strTemp.substr(0, strTemp.find_last_of('/') + 1);
    dlg.m_strExePath = dlg.m_strClientPath + "QelRepair.exe";
    std::string strName;
    EXPECT_EQ(dlg._IsOtherClientApplicationRunning(&strName), 0) << strName;
}

TEST(GamePlatform, Table) {
    const std::string kId = "3F7B2C91-6D4E-4A85-B2C7-91E0D4A6F358";
    struct Row {
        const char* cszName;
        const char* cszModule;   // below the sandbox
        const char* cszHive;     // "%F" = the platform's client folder, "%P" = the package folder
        const char* cszStatus;   // the status file's text, nullptr for none
        bool bMakeClientFolder;  // %F, or %P/<id> for package_dir rows
        int nFlag;
    } rows[] = {
        {"99 %", "/Games/Qel_FN/QelRepair.exe", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fennimor\\tmqs\\apps\\%I]\n\"path\"=\"%F\"\n",
         "[Status]\nCachePercentage=99\n", true, 1},
        {"100 %", "/Games/Qel_FN/QelRepair.exe", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fennimor\\tmqs\\apps\\%I]\n\"path\"=\"%F\"\n",
         "[Status]\nCachePercentage=100\n", true, 0},
        {"no status file", "/Games/Qel_FN/QelRepair.exe",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fennimor\\tmqs\\apps\\%I]\n\"path\"=\"%F\"\n", nullptr, true, 1},
        {"package folder", "/Games/Qel_FN/QelRepair.exe",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fennimor\\tmqs\\options]\n\"package_dir\"=\"%P\"\n", "[Status]\nCachePercentage=100\n",
         true, 0},
        {"package folder, 50 %", "/Games/Qel_FN/QelRepair.exe",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fennimor\\tmqs\\options]\n\"package_dir\"=\"%P\"\n", "[Status]\nCachePercentage=50\n",
         true, 1},
        {"path not a text", "/Games/Qel_FN/QelRepair.exe",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fennimor\\tmqs\\apps\\%I]\n\"path\"=dword:00000001\n", nullptr, true, 0},
        {"client folder missing", "/Games/Qel_FN/QelRepair.exe",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fennimor\\tmqs\\apps\\%I]\n\"path\"=\"%F\"\n", nullptr, false, 0},
        {"marker in another case", "/Games/qel_fn/QelRepair.exe",
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fennimor\\tmqs\\apps\\%I]\n\"path\"=\"%F\"\n", "[Status]\nCachePercentage=99\n", true, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        qn::test::PlatformSandbox box;
        const std::string strClient = box / "FN/client";
        const std::string strPackage = box / "FN/packages";
        std::string strHive = r.cszHive;
        for (auto [from, to] : {std::pair<std::string, std::string>{"%I", kId}, {"%F", strClient}, {"%P", strPackage}}) {
            size_t u;
            while ((u = strHive.find(from)) != std::string::npos) strHive.replace(u, from.size(), to);
        }
        box.WriteHive("HKEY_LOCAL_MACHINE", strHive);
        if (r.bMakeClientFolder) {
            qn::test::MakeDirs(strClient);
            qn::test::MakeDirs(strPackage + "/" + kId);
        }
        if (r.cszStatus) {
            qn::test::MakeDirs(box / ("ProgramData/Fennimor/common/apps/" + kId));
            qn::test::WriteFile(box / ("ProgramData/Fennimor/common/apps/" + kId + "/status.ini"), r.cszStatus);
        }
        qn::testing::SetModuleFileName((box.root() + r.cszModule).c_str());
        int nFlag = -1;
        EXPECT_EQ(QN_IsFNInstallingQel(&nFlag), 1);
        EXPECT_EQ(nFlag, r.nFlag);
        qn::testing::SetModuleFileName(nullptr);
    }
    EXPECT_EQ(QN_IsFNInstallingQel(nullptr), 0);
}

TEST(MicroClientCheck, Table) {
    struct Row {
        const char* cszName;
        const char* cszScript;  // nullptr: no program
        uint32_t uMode;
        int nFlag;
        bool bCheckLine;
    } rows[] = {
        {"exit 1", "exit 1", 0755, 1, false},
        {"exit 0", "exit 0", 0755, 0, false},
        {"exit 2", "exit 2", 0755, 0, false},
        {"exit 255", "exit 255", 0755, 0, false},
        {"killed by a signal", "kill -9 $$", 0755, 0, false},
        {"no program", nullptr, 0, 0, false},
        {"not executable", "exit 1", 0644, 0, true},
        {"runs past the time limit", "exec sleep 60", 0755, 0, true},
    };
    qn::testing::SetCheckProcessTimeout(300);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        qn::test::LogCapture log;
        qn::test::TempDir dir;
        const std::string strBin = dir / "bin/zhcn/";
        qn::test::MakeDirs(strBin);
        if (r.cszScript) {
            qn::test::WriteFile(strBin + "Drennit.exe",
                                std::string("#!/bin/sh\necho \"$PWD $@\" > seen.txt\n") + r.cszScript + "\n");
            ASSERT_EQ(::chmod((strBin + "Drennit.exe").c_str(), r.uMode), 0);
        }
        const std::string strCwd = QN_GetCurrentDirectory();
        int nFlag = -1;
        EXPECT_EQ(QN_GetClientMPakFlag(strBin.c_str(), &nFlag), 1);
        EXPECT_EQ(nFlag, r.nFlag);
        EXPECT_EQ(QN_GetCurrentDirectory(), strCwd);
        if (r.cszScript && r.uMode == 0755) {
            EXPECT_EQ(qn::test::ReadFile(strBin + "seen.txt"), dir.path() + "/bin/zhcn --check\n");
        }
        bool bCheckLine = false;
        for (const std::string& s : qn::test::WithoutLineNumbers(log.Messages()))
            bCheckLine = bCheckLine || s == "QNLOG_CHECK_ERROR(nRetCode) at line N in QN_GetClientMPakFlag";
        EXPECT_EQ(bCheckLine, r.bCheckLine);
    }
    qn::testing::SetCheckProcessTimeout(0);
    qn::test::TempDir dir;
    int nFlag = -1;
    EXPECT_EQ(QN_GetClientMPakFlag((dir / "missing").c_str(), &nFlag), 0);
    EXPECT_EQ(nFlag, 0);
    EXPECT_EQ(QN_GetClientMPakFlag(dir.path().c_str(), nullptr), 0);
}

}  // namespace
