// The program itself, headless with its scripted user, against nginx serving a broken kit
// client's repair server: the client is repaired, the usage report reaches a loopback sink and
// the user's shortcuts start the launcher afterwards.
#include <gtest/gtest.h>

#include "md5_test_util.h"
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "DamageScenarios.h"
#include "EngineHarness.h"
#include "ServerTreeGenerator.h"
#include "TreeTools.h"
#include "NginxServer.h"
#include "QN_MD5.h"
#include "loopback_http_server.h"
#include "qn_platform_sandbox.h"
#include "qn_process.h"
#include "qn_special_folder.h"
#include "qn_string.h"
#include "qn_platform.h"
#include "qn_test_env.h"

using namespace qn::kit;

namespace {

const char kReportPath[] = "/report/Qel/gamefix_report";

using qn::apptest::Md5Of;

// Sets an environment variable for the test's length (the started program inherits it).
class ScopedEnv {
public:
    ScopedEnv(const char* cszName, const std::string& strValue) : m_strName(cszName) {
        const char* csz = std::getenv(cszName);
        m_bHad = csz != nullptr;
        if (csz) m_strOld = csz;
        ::setenv(cszName, strValue.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_bHad)
            ::setenv(m_strName.c_str(), m_strOld.c_str(), 1);
        else
            ::unsetenv(m_strName.c_str());
    }

private:
    std::string m_strName, m_strOld;
    bool m_bHad = false;
};

// Where the tool starts. Outside the client root the scripted user confirms the root, and the
// tool copies itself there and goes on in a second process started with "-i" while the first
// one ends.
enum class StartPlace {
    InTheClientRoot,
    FromADownloadFolder,
    // ".../WORK/" beside the client ".../work/": another folder on this file system.
    FromAFolderNamedLikeTheRootInAnotherCase,
};

class EndToEnd : public ::testing::TestWithParam<StartPlace> {};

TEST_P(EndToEnd, HeadlessProgramRepairsABrokenClientOverNginx) {
    const bool bFromOutside = GetParam() != StartPlace::InTheClientRoot;
    qn::test::TempDir tmp;
    std::string err;
    BuiltFixture fx;
    ASSERT_TRUE(BuildFixture(FixtureId::F1, tmp / "fx", SourceMode::UpdateFiles, &fx, &err)) << err;
    const Scenario& s = *FindScenario("D-ALL");
    EngineHarness h(tmp / "run");
    ASSERT_TRUE(h.Prepare(fx, &s, &err)) << err;
    const std::string root = h.workRoot() + "/";

    // The repair server, with a self-update index that offers the program's own version.
    const std::string program = qn::test::ReadFile(QN_PROGRAM);
    qn::test::WriteFile(h.docroot() + "/qelrepair/QelRepair.exe", program);
    qn::test::WriteFile(h.docroot() + "/qelrepair/qel_index.info",
                        std::string("[SelfUpdate]\r\nLastestVersionNumber=") + QN_PROGRAM_VERSION_TEXT +
                            "\r\nFileName=QelRepair.exe\r\nFileMD5=" + Md5Of(program) + "\r\n");
    qn::test::NginxServer nginx;
    if (!nginx.Start(h.docroot(), qn::test::NginxServer::TailMode::Strip, &err)) GTEST_SKIP() << err;

    // The report's sink, the machine identifier, and the user's shortcuts to the client.
    qn::test::LoopbackHttpServer sink;
    sink.addContent(kReportPath, "ok");
    qn::test::PlatformSandbox platform;
    ScopedEnv envRoot("QN_PLATFORM_ROOT", platform.root());
    // Under a platform root nothing of the tool's lands in the user's own folders.
    qn::test::MakeDirs(tmp / "home");
    qn::test::MakeDirs(tmp / "xdg");
    ScopedEnv envHome("HOME", tmp / "home");
    ScopedEnv envXdg("XDG_CONFIG_HOME", tmp / "xdg");
    std::string desktop;
    ASSERT_EQ(QN_GetSpecialFolderPath(CSIDL_DESKTOPDIRECTORY, &desktop, true), 1);
    const std::string kept = "WorkingDirectory=" + root + "\nDescription=Qel\nHotKey=0\n";
    qn::test::WriteFile(desktop + "/Qel.lnk", "QNLNK 1\nTarget=" + root + "gameupdater.exe\nArguments=\n" + kept);
    qn::test::WriteFile(desktop + "/Config.lnk", "QNLNK 1\nTarget=" + root + "GameConfig.exe\nArguments=\n");

    // The tool in the client root with its settings, and leftovers of an earlier update.
    qn::test::WriteFile(root + "QelRepair.exe", program);
    ASSERT_EQ(::chmod((root + "QelRepair.exe").c_str(), 0755), 0);
    qn::test::WriteFile(root + "repair_settings.ini",
                        "[server]\r\nip=http://127.0.0.1:" + std::to_string(nginx.port()) + "/qelrepair/\r\n");
    qn::test::WriteFile(h.binPath() + "QelClient.memory", "stale");
    qn::test::WriteFile(h.binPath() + "update/part.dat", "stale");

    std::string tool = root + "QelRepair.exe";
    ASSERT_EQ(root, tmp / "run/work/");
    const std::string toolFolder =
        GetParam() == StartPlace::FromADownloadFolder ? tmp / "download" : tmp / "run/WORK";
    if (bFromOutside) {
        ::unlink(tool.c_str());
        tool = toolFolder + "/QelRepair.exe";
        qn::test::WriteFile(tool, program);
        ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
        qn::test::WriteFile(toolFolder + "/repair_settings.ini", qn::test::ReadFile(root + "repair_settings.ini"));
    }
    ScopedEnv envScript("QN_SCRIPT_CLIENT_ROOT", root);
    ScopedEnv envUi("QN_UI", "headless");
    ScopedEnv envReport("QN_USAGE_REPORT_HOST", "127.0.0.1:" + std::to_string(sink.port()));
    const std::string out = tmp / "out.txt";
    const std::string line = "/bin/sh -c \"exec '" + tool + "' > '" + out + "' 2>&1\"";
    QN_PROCESS_INFORMATION info{};
    ASSERT_EQ(QN_CreateProcessA(nullptr, line.c_str(), nullptr, &info), 1);
    ASSERT_EQ(QN_WaitForSingleObject(info.hProcess, 180000), QN_WAIT_OBJECT_0) << qn::test::ReadFile(out);
    uint32_t uExit = 1;
    QN_GetExitCodeProcess(info.hProcess, &uExit);
    QN_CloseProcessHandle(info.hProcess);
    if (bFromOutside) {
        // The copy in the client root carries on after the first process has ended; it is done
        // once it has left and removed its temporary folder.
        EXPECT_EQ(qn::test::ReadFile(root + "QelRepair.exe"), program);
        qn::test::WaitUntil(
            [&] {
                return qn::test::ReadFile(out).find("user: clicks 完成\n") != std::string::npos &&
                       !qn::test::FileExists(root + "QelRepairTemp");
            },
            180000, 100);
        EXPECT_TRUE(qn::test::FileExists(toolFolder + "/QelRepairTemp") == false) << "the first copy cleaned up";
    }
    const std::string printed = qn::test::ReadFile(out);
    EXPECT_EQ(uExit, 0u) << printed;
    EXPECT_NE(printed.find("summary: 修复完成：共有6个资源损坏，成功修复6个，失败0个。\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("user: clicks 完成\n"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("user: confirms the client folder " + root + "\n") != std::string::npos, bFromOutside)
        << printed;

    EXPECT_EQ(CheckEndState(s, fx.clientRoot, h.workRoot()), "");
    EXPECT_FALSE(qn::test::FileExists(h.binPath() + "QelClient.memory"));
    EXPECT_FALSE(qn::test::FileExists(h.binPath() + "update"));
    EXPECT_FALSE(qn::test::FileExists(root + "QelRepairTemp")) << "the temporary folder goes at the end";
    EXPECT_TRUE(std::filesystem::is_empty(tmp / "home"));
    EXPECT_TRUE(std::filesystem::is_empty(tmp / "xdg"));
    EXPECT_EQ(qn::test::ReadFile(platform / "Users/user/AppData/Roaming/R7pQ2mXv9LkT4wBz.dat").size(), 24u)
        << "the download library's client identity";

    ASSERT_EQ(sink.requestCount(), 1);
    const std::string body = sink.requests().at(0).body;
    EXPECT_NE(body.find("name=\"version_type\"\r\n\r\nzhcn_PakV3\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("name=\"repair_status\"\r\n\r\n4\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("name=\"corrupt_normal_file\"\r\n\r\n2\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("name=\"corrupt_pak_block\"\r\n\r\n4\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("name=\"can_not_repair_normal_file\"\r\n\r\n0\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("name=\"can_not_repair_pak_block\"\r\n\r\n0\r\n"), std::string::npos) << body;

    EXPECT_EQ(qn::test::ReadFile(desktop + "/Qel.lnk"),
              "QNLNK 1\nTarget=" + root + "QelLauncher.exe\nArguments=\n" + kept);
    const std::string config = qn::test::ReadFile(desktop + "/Config.lnk");
    EXPECT_NE(config.find("Target=" + root + "QelLauncher.exe\n"), std::string::npos) << config;
    EXPECT_NE(config.find("Arguments=-c\n"), std::string::npos) << config;
}

// The pieces of a progress file that count as complete (state 4 or more), 0 when it is missing.
uint32_t CompletePieces(const std::string& strCfg) {
    if (!qn::test::FileExists(strCfg)) return 0;
    const std::string bytes = qn::test::ReadFile(strCfg);
    uint32_t uCount = 0;
    for (size_t i = 4096; i < bytes.size(); ++i) uCount += ((uint8_t)bytes[i] & 0x0F) >= 4;
    return uCount;
}

// A run killed while it downloads a large ordinary file leaves the file's ".tmp" and ".cfg" in
// "QelRepairTemp"; the next start keeps them, so the next run fetches only what was missing. A
// link left in the folder is removed at that start and what it points to stays untouched.
TEST(EndToEndResume, KilledDownloadResumesInTheNextRun) {
    constexpr uint64_t kBigSize = 8ull << 20;
    qn::test::TempDir tmp;
    std::string err;
    Manifest manifest;
    const std::string good = tmp / "good";
    ASSERT_TRUE(BuildClient(FixtureId::F1, good, &manifest, &err)) << err;
    qn::test::WriteFile(good + "/bin/zhcn/big.dat", qn::test::ResourceBytes(0, (size_t)kBigSize));
    GeneratedInfo info;
    ASSERT_TRUE(GenerateServerTree(good, &manifest, tmp / "www", GeneratorOptionsOf(FixtureId::F1), &info, &err)) << err;
    const std::string root = tmp / "client/";
    ASSERT_TRUE(CopyTree(good, tmp / "client", &err)) << err;
    ::unlink((root + "bin/zhcn/big.dat").c_str());

    const std::string program = qn::test::ReadFile(QN_PROGRAM);
    qn::test::WriteFile(tmp / "www/qelrepair/qel_index.info",
                        std::string("[SelfUpdate]\r\nLastestVersionNumber=") + QN_PROGRAM_VERSION_TEXT +
                            "\r\nFileName=QelRepair.exe\r\nFileMD5=" + Md5Of(program) + "\r\n");
    qn::test::WriteFile(root + "QelRepair.exe", program);
    ASSERT_EQ(::chmod((root + "QelRepair.exe").c_str(), 0755), 0);
    qn::test::PlatformSandbox platform;
    ScopedEnv envRoot("QN_PLATFORM_ROOT", platform.root());
    ScopedEnv envScript("QN_SCRIPT_CLIENT_ROOT", root);
    ScopedEnv envUi("QN_UI", "headless");
    const std::string strTmp = root + "QelRepairTemp/big.dat.tmp";
    const std::string strCfg = root + "QelRepairTemp/big.dat.cfg";
    auto start = [&](const qn::test::LoopbackHttpServer& server, const std::string& out) {
        qn::test::WriteFile(root + "repair_settings.ini",
                            "[server]\r\nip=http://127.0.0.1:" + std::to_string(server.port()) + "/qelrepair/\r\n");
        const std::string line = "/bin/sh -c \"exec '" + root + "QelRepair.exe' > '" + out + "' 2>&1\"";
        QN_PROCESS_INFORMATION pi{};
        EXPECT_EQ(QN_CreateProcessA(nullptr, line.c_str(), nullptr, &pi), 1);
        return pi;
    };

    // First run: every answer for the large file stops after 1 MiB; once that much is
    // complete on disk the program is killed.
    {
        qn::test::LoopbackHttpServer server;
        server.serveFolder("/", tmp / "www", qn::test::LoopbackHttpServer::TailRule::Strip);
        std::atomic<bool> bRelease{false};
        server.script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                      {[&](qn::test::Plan& plan, const qn::test::RequestRecord& req) {
                          if (req.method == "GET" && req.path.find("/big.dat") != std::string::npos)
                              qn::test::http_step::HoldAtBodyByte(1 << 20, [&] { return bRelease.load(); }, 120000)(plan, req);
                      }});
        QN_PROCESS_INFORMATION pi = start(server, tmp / "out1.txt");
        ASSERT_NE(pi.hProcess, nullptr);
        const bool bStarted = qn::test::WaitUntil([&] { return CompletePieces(strCfg) >= 16; }, 120000);
        ::kill((pid_t)pi.dwProcessId, SIGKILL);
        QN_WaitForSingleObject(pi.hProcess, 60000);
        QN_CloseProcessHandle(pi.hProcess);
        bRelease = true;
        ASSERT_TRUE(bStarted) << qn::test::ReadFile(tmp / "out1.txt");
    }
    ASSERT_TRUE(qn::test::FileExists(strTmp));
    const uint32_t uDone = CompletePieces(strCfg);
    // What an earlier run or the player left: a link to a file outside and a file of its own.
    qn::test::WriteFile(tmp / "outside.txt", "outside");
    ASSERT_EQ(::symlink((tmp / "outside.txt").c_str(), (root + "QelRepairTemp/link.txt").c_str()), 0);

    // Second run against a server without faults: the download goes on from the kept pieces.
    const std::string kept = qn::test::ReadFile(strCfg);
    qn::test::LoopbackHttpServer server;
    server.serveFolder("/", tmp / "www", qn::test::LoopbackHttpServer::TailRule::Strip);
    QN_PROCESS_INFORMATION pi = start(server, tmp / "out2.txt");
    ASSERT_NE(pi.hProcess, nullptr);
    ASSERT_EQ(QN_WaitForSingleObject(pi.hProcess, 180000), QN_WAIT_OBJECT_0) << qn::test::ReadFile(tmp / "out2.txt");
    uint32_t uExit = 1;
    QN_GetExitCodeProcess(pi.hProcess, &uExit);
    QN_CloseProcessHandle(pi.hProcess);
    const std::string printed = qn::test::ReadFile(tmp / "out2.txt");
    EXPECT_EQ(uExit, 0u) << printed;
    EXPECT_NE(printed.find("summary: 修复完成：共有1个资源损坏，成功修复1个，失败0个。\n"), std::string::npos) << printed;
    EXPECT_TRUE(qn::test::ReadFile(root + "bin/zhcn/big.dat") == qn::test::ResourceBytes(0, (size_t)kBigSize));
    // The server was asked for no piece that the first run had completed (its bytes on the wire
    // count only from each request's first byte on; the socket buffers take more than a
    // downloader reads, so the sent total is no measure here).
    int nRanges = 0;
    for (const qn::test::RequestRecord& r : server.requests()) {
        if (r.method != "GET" || r.path.find("/big.dat") == std::string::npos) continue;
        ++nRanges;
        const std::string range = r.header("Range");
        ASSERT_EQ(range.rfind("bytes=", 0), 0u) << range;
        const uint64_t ullStart = std::stoull(range.substr(6));
        const size_t uState = 4096 + (size_t)(ullStart / 65536);
        ASSERT_LT(uState, kept.size());
        EXPECT_LT((uint8_t)kept[uState] & 0x0F, 4) << range << " asks again for a piece already there";
    }
    EXPECT_GT(nRanges, 0) << uDone << " pieces kept";
    EXPECT_EQ(qn::test::ReadFile(tmp / "outside.txt"), "outside");
    EXPECT_FALSE(qn::test::FileExists(root + "QelRepairTemp")) << "the temporary folder goes at the end";
}

INSTANTIATE_TEST_SUITE_P(Starts, EndToEnd,
                         ::testing::Values(StartPlace::InTheClientRoot, StartPlace::FromADownloadFolder,
                                           StartPlace::FromAFolderNamedLikeTheRootInAnotherCase),
                         [](const ::testing::TestParamInfo<StartPlace>& info) {
                             switch (info.param) {
                                 case StartPlace::InTheClientRoot: return std::string("InTheClientRoot");
                                 case StartPlace::FromADownloadFolder: return std::string("FromADownloadFolder");
                                 default: return std::string("FromAFolderNamedLikeTheRootInAnotherCase");
                             }
                         });

}  // namespace
