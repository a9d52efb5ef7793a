#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "QN_QelRepairDlg.h"
#include "QN_RepairClientResource.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_test_env.h"

namespace {

// Reaches the dialog's settings members.
class SettingsProbe : public QN_QelRepairDlg {
public:
    using QN_QelRepairDlg::_GetClientVersionNumber;
    using QN_QelRepairDlg::_GetRepairIgnoreFileList;
    using QN_QelRepairDlg::_GetRepairVersionInfo;
    using QN_QelRepairDlg::_LoadSettings;
    using QN_QelRepairDlg::m_strClientPath;
    using QN_QelRepairDlg::m_szRepairServerURL;
    using QN_QelRepairDlg::m_VersionInfo;
};

const std::list<std::string> kIgnoreFiles = {"package.ini",     "channel.ini",     "QelRepair.exe",    "QelRepairD.exe",
                                             "uninst.exe",      "gameupdater.exe", "gameupdaterD.exe", "gameupdater.ini"};
const std::list<std::string> kIgnoreFolders = {"data",      "maps",      "ui\\Image", "ui\\Traits",
                                               "ui\\Sound", "ui\\Video", "ui\\Config", "represent",
                                               "scripts",   "settings",  "QN3DEngineData"};

TEST(LoadSettings, Table) {
    const std::string strProduction = QN_GetRepairEngineConfig().strRepairBaseURL;
    const std::string strDevelopment = QN_GetRepairEngineConfig().strDevNormalFileBaseURL;
    const std::string str259 = "http://h/" + std::string(249, 'a') + "/";
    const std::string str300 = "http://h/" + std::string(290, 'a') + "/";
    const std::string str259NoSlash = "http://h/" + std::string(250, 'a');
    struct Row {
        const char* cszName;
        bool bDevClient;
        const char* cszSettings;  // nullptr: no settings file
        std::string strSettingsTail;
        bool bResult;
        std::string strURL;
        const char* cszFailure;  // the failed condition, or nullptr
    } rows[] = {
        {"no settings file, production client", false, nullptr, "", true, strProduction, nullptr},
        {"no settings file, development client", true, nullptr, "", true, strDevelopment, nullptr},
        {"a settings file without the key", true, "[server]\nother=1\n", "", true, strDevelopment, nullptr},
        {"the key, production client", false, "[server]\nip=http://127.0.0.1:1234/q/\n", "", true, "http://127.0.0.1:1234/q/", nullptr},
        {"the key, development client", true, "[server]\nip=http://127.0.0.1:1234/q/\n", "", true, "http://127.0.0.1:1234/q/", nullptr},
        {"present and empty", false, "[server]\nip=\n", "", false, "", "uLength >= 1"},
        {"259 characters", false, "[server]\nip=", str259, true, str259, nullptr},
        {"300 characters", false, "[server]\nip=", str300, false, "", "uLength < _countof(m_szRepairServerURL)"},
        {"259 characters without the slash", false, "[server]\nip=", str259NoSlash, false, "",
         "uLength < _countof(m_szRepairServerURL)"},
        {"in quotes", false, "[server]\nip=\"http://x/\"\n", "", true, "http://x/", nullptr},
        {"names in another case", false, "[SERVER]\r\nIP=http://y/\r\n", "", true, "http://y/", nullptr},
        {"no trailing slash", false, "[server]\nip=http://x/q\n", "", true, "http://x/q/", nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        qn::test::LogCapture log;
        qn::test::TempDir dir;
        const std::string strRoot = dir.path() + "/";
        qn::test::MakeDirs(dir / "bin/zhcn");
        if (r.bDevClient) qn::test::WriteFile(dir / "bin/zhcn/gameupdater.ini", "[DevVersionInfo]\nIsDevVersion=1\n");
        if (r.cszSettings) qn::test::WriteFile(dir / "repair_settings.ini", r.cszSettings + r.strSettingsTail + "\n");
        SettingsProbe dlg;
        EXPECT_EQ(dlg._LoadSettings(strRoot.c_str()), r.bResult ? 1 : 0);
        if (r.bResult) {
            EXPECT_EQ(std::string(dlg.m_szRepairServerURL), r.strURL);
        }
        std::vector<std::string> lines = qn::test::WithoutLineNumbers(log.Messages());
        if (r.cszFailure) {
            EXPECT_EQ(lines, (std::vector<std::string>{std::string("QNLOG_PROCESS_ERROR(") + r.cszFailure +
                                                       ") at line N in QN_QelRepairDlg::_LoadSettings"}));
        } else {
            EXPECT_TRUE(lines.empty());
        }
    }
    // A root so long that its bin folder does not fit is refused.
    SettingsProbe dlg;
    EXPECT_EQ(dlg._LoadSettings((std::string(250, 'r') + "/").c_str()), 0);
}

TEST(RepairVersionInfo, EveryEdition) {
    struct Row {
        const char* cszSubFolder;
        const char* cszKey;
        const char* cszName;
        const char* cszBinPath;
        const char* cszURL;
    } rows[] = {
        {"zhcn_v1", "zhcn_v1", "正式服", "bin/zhcn_v1/", "http://h/q/zhcn_v1/"},
        {"zhcn", "zhcn_PakV3", "正式服", "bin/zhcn/", "http://h/q/zhcn_v3/"},
        {"zhcn_exp", "zhcn_exp", "体验服", "bin/zhcn_exp/", "http://h/q/zhcn_exp/"},
        {"zhcn_hd", "zhcn_hd", "《Qel》重制版", "bin/zhcn_hd/", "http://h/q/zhcn_hd/"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszSubFolder);
        qn::test::TempDir dir;
        qn::test::MakeDirs(dir / (std::string("bin/") + r.cszSubFolder));
        SettingsProbe dlg;
        dlg.m_strClientPath = dir.path() + "/";
        std::strcpy(dlg.m_szRepairServerURL, "http://h/q/");
        for (int nRun = 0; nRun < 2; ++nRun) {
            ASSERT_EQ(dlg._GetRepairVersionInfo(), 1);
            EXPECT_EQ(dlg.m_VersionInfo.strVersionType, r.cszKey);
            EXPECT_EQ(dlg.m_VersionInfo.strVersionName, r.cszName);
            EXPECT_EQ(dlg.m_VersionInfo.strBinPath, r.cszBinPath);
            EXPECT_EQ(dlg.m_VersionInfo.strRepairURL, r.cszURL);
            EXPECT_EQ(dlg.m_VersionInfo.uPakVersion, 3u);
            // A second run replaces both lists instead of growing them.
            EXPECT_EQ(dlg.m_VersionInfo.IgnoreFileList, kIgnoreFiles);
            EXPECT_EQ(dlg.m_VersionInfo.IgnoreDirectoryList, kIgnoreFolders);
        }
    }
    qn::test::TempDir dir;
    SettingsProbe dlg;
    dlg.m_strClientPath = dir.path() + "/";
    EXPECT_EQ(dlg._GetRepairVersionInfo(), 0);
    QN_REPAIR_VERSION_INFO info;
    info.uPakVersion = 2;
    EXPECT_EQ(dlg._GetRepairIgnoreFileList(&info), 0);
    EXPECT_TRUE(info.IgnoreFileList.empty());
}

TEST(ClientVersionNumber, Table) {
    qn::test::TempDir dir;
    qn::test::MakeDirs(dir / "bin/zhcn");
    qn::test::MakeDirs(dir / "empty/bin");
    qn::test::MakeDirs(dir / "long/bin");
    qn::test::MakeDirs(dir / "max/bin");
    qn::test::WriteFile(dir / "bin/zhcn/version.cfg", "[Version]\r\nTalmek.version=1.2.3.4\r\n");
    qn::test::WriteFile(dir / "empty/bin/version.cfg", "[Version]\nTalmek.version=\n");
    qn::test::WriteFile(dir / "long/bin/version.cfg", "[Version]\nTalmek.version=" + std::string(300, '9') + "\n");
    qn::test::WriteFile(dir / "max/bin/version.cfg", "[Version]\nTalmek.version=" + std::string(255, '9') + "\n");
    struct Row {
        std::string strBin;
        int nResult;
        std::string strVersion;
    } rows[] = {
        {dir / "bin/zhcn/", 1, "1.2.3.4"},
        {dir / "bin/zhcn\\", 1, "1.2.3.4"},
        {dir / "bin/zhcn", 1, "1.2.3.4"},
        {dir / "bin/missing/", 0, ""},
        {dir / "empty/bin", 0, ""},
        {dir / "long/bin", 0, ""},
        {dir / "max/bin", 1, std::string(255, '9')},
    };
    for (const Row& r : rows) {
        SettingsProbe dlg;
        std::string strVersion = "stale";
        EXPECT_EQ(dlg._GetClientVersionNumber(r.strBin.c_str(), &strVersion), r.nResult) << r.strBin;
        EXPECT_EQ(strVersion, r.strVersion) << r.strBin;
    }
}

}  // namespace
