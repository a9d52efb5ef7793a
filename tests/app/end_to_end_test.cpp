// The program itself, headless with its scripted user, against nginx serving a broken kit
// client's repair server: the client is repaired, the usage report reaches a loopback sink and
// the user's shortcuts start the launcher afterwards.
#include <gtest/gtest.h>

#include "md5_test_util.h"
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
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

// The repair server's self-update index, offering the program's own version, and the program.
void PublishOwnVersion(const std::string& docroot, const std::string& program) {
    qn::test::WriteFile(docroot + "/qelrepair/QelRepair.exe", program);
    qn::test::WriteFile(docroot + "/qelrepair/qel_index.info",
                        std::string("[SelfUpdate]\r\nLastestVersionNumber=") + QN_PROGRAM_VERSION_TEXT +
                            "\r\nFileName=QelRepair.exe\r\nFileMD5=" + Md5Of(program) + "\r\n");
}

// The kit's client F1 broken by a scenario (the good one below <base>/fx, the broken copy in
// the harness below <base>/run) and its repair server served by nginx, offering the program's
// own version as its self-update; the settings point the tool at it.
struct ServedClient {
    explicit ServedClient(const std::string& base) : h(base + "/run"), m_base(base) {}
    // A failing kit fails the test; nginx that does not start leaves its reason in *pSkip.
    void Start(const char* cszScenario, std::string* pSkip) {
        std::string err;
        ASSERT_TRUE(BuildFixture(FixtureId::F1, m_base + "/fx", SourceMode::UpdateFiles, &fx, &err)) << err;
        pScenario = FindScenario(cszScenario);
        ASSERT_NE(pScenario, nullptr);
        ASSERT_TRUE(h.Prepare(fx, pScenario, &err)) << err;
        program = qn::test::ReadFile(QN_PROGRAM);
        PublishOwnVersion(h.docroot(), program);
        if (!nginx.Start(h.docroot(), qn::test::NginxServer::TailMode::Strip, pSkip)) return;
        settings = "[server]\r\nip=http://127.0.0.1:" + std::to_string(nginx.port()) + "/qelrepair/\r\n";
    }
    BuiltFixture fx;
    EngineHarness h;
    const Scenario* pScenario = nullptr;
    std::string program, settings;
    qn::test::NginxServer nginx;

private:
    std::string m_base;
};

// Puts the program with its settings into the folder.
void PlaceTool(const std::string& folder, const std::string& program, const std::string& settings) {
    qn::test::WriteFile(folder + "/QelRepair.exe", program);
    ASSERT_EQ(::chmod((folder + "/QelRepair.exe").c_str(), 0755), 0);
    qn::test::WriteFile(folder + "/repair_settings.ini", settings);
}

// Runs the tool headless, its output (and that of a copy it starts) into the file out, and
// waits for it. A tool that copies itself into the client root and goes on there is done once
// that copy has clicked "完成" or Exit and removed its temporary folder. The first process's
// exit code.
uint32_t RunHeadless(const std::string& tool, const std::string& out, const std::string& root) {
    const std::string line = "/bin/sh -c \"exec '" + tool + "' > '" + out + "' 2>&1\"";
    QN_PROCESS_INFORMATION info{};
    EXPECT_EQ(QN_CreateProcessA(nullptr, line.c_str(), nullptr, &info), 1);
    if (!info.hProcess) return 1;
    EXPECT_EQ(QN_WaitForSingleObject(info.hProcess, 180000), QN_WAIT_OBJECT_0) << qn::test::ReadFile(out);
    uint32_t uExit = 1;
    QN_GetExitCodeProcess(info.hProcess, &uExit);
    QN_CloseProcessHandle(info.hProcess);
    if (tool != root + "QelRepair.exe") {
        // The copy in the client root carries on after the first process has ended.
        qn::test::WaitUntil(
            [&] {
                const std::string printed = qn::test::ReadFile(out);
                return (printed.find("user: clicks 完成\n") != std::string::npos ||
                        printed.find("user: clicks 退出\n") != std::string::npos) &&
                       !qn::test::FileExists(root + "QelRepairTemp");
            },
            180000, 100);
    }
    return uExit;
}

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
    ServedClient served(tmp.path());
    std::string skip;
    ASSERT_NO_FATAL_FAILURE(served.Start("D-ALL", &skip));
    if (!skip.empty()) GTEST_SKIP() << skip;
    const EngineHarness& h = served.h;
    const Scenario& s = *served.pScenario;
    const std::string& program = served.program;
    const std::string root = h.workRoot() + "/";

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
    const std::string& settings = served.settings;
    PlaceTool(h.workRoot(), program, settings);
    qn::test::WriteFile(h.binPath() + "QelClient.memory", "stale");
    qn::test::WriteFile(h.binPath() + "update/part.dat", "stale");

    std::string tool = root + "QelRepair.exe";
    ASSERT_EQ(root, tmp / "run/work/");
    const std::string toolFolder =
        GetParam() == StartPlace::FromADownloadFolder ? tmp / "download" : tmp / "run/WORK";
    if (bFromOutside) {
        ::unlink(tool.c_str());
        tool = toolFolder + "/QelRepair.exe";
        PlaceTool(toolFolder, program, settings);
    }
    ScopedEnv envScript("QN_SCRIPT_CLIENT_ROOT", root);
    ScopedEnv envUi("QN_UI", "headless");
    ScopedEnv envReport("QN_USAGE_REPORT_HOST", "127.0.0.1:" + std::to_string(sink.port()));
    const std::string out = tmp / "out.txt";
    const uint32_t uExit = RunHeadless(tool, out, root);
    if (bFromOutside) {
        EXPECT_EQ(qn::test::ReadFile(root + "QelRepair.exe"), program);
        EXPECT_TRUE(qn::test::FileExists(toolFolder + "/QelRepairTemp") == false) << "the first copy cleaned up";
    }
    const std::string printed = qn::test::ReadFile(out);
    EXPECT_EQ(uExit, 0u) << printed;
    EXPECT_NE(printed.find("summary: 修复完成：共有6个资源损坏，成功修复6个，失败0个。\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("user: clicks 完成\n"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("user: confirms the client folder " + root + "\n") != std::string::npos, bFromOutside)
        << printed;

    EXPECT_EQ(CheckEndState(s, served.fx.clientRoot, h.workRoot()), "");
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
    PublishOwnVersion(tmp / "www", program);
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

// A client on a full disk with one broken block, whose repair needs no new space; the tool
// starts from a download folder. What the client root holds where the tool would copy itself:
// "tool" the tool's own bytes, "other" another program, "none" nothing. The scenario runs in a
// child copy of this program inside a private mount namespace, the client on a tmpfs there: the
// tmpfs goes with the namespace whatever becomes of the run, and parallel runs never meet.
const char kFullDiskRowEnv[] = "QN_FULL_DISK_ROOT_HOLDS";
const char kFullDiskSkipEnv[] = "QN_FULL_DISK_SKIP_FILE";

// The bytes the files below a folder take, each rounded up to whole pages.
uint64_t TreeBytes(const std::string& folder) {
    uint64_t ullBytes = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) ullBytes += (entry.file_size() + 4095) / 4096 * 4096;
    return ullBytes;
}

// Writes into the file until the disk refuses more.
void FillDisk(const std::string& path) {
    const int nFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(nFd, 0);
    const std::string chunk(65536, 'f');
    for (size_t uSize = chunk.size(); uSize > 0; uSize /= 2)
        while (::write(nFd, chunk.data(), uSize) == (ssize_t)uSize) {
        }
    ::close(nFd);
}

TEST(EndToEndFullDisk, DISABLED_Scenario) {
    const char* cszRow = std::getenv(kFullDiskRowEnv);
    const char* cszSkipFile = std::getenv(kFullDiskSkipEnv);
    ASSERT_TRUE(cszRow && cszSkipFile) << "run by EndToEndFullDisk.ToolAlreadyInTheRootNeedsNoRoom";
    const std::string row = cszRow;
    qn::test::TempDir tmp;
    ServedClient served(tmp.path());
    std::string skip, err;
    ASSERT_NO_FATAL_FAILURE(served.Start("D1", &skip));
    if (!skip.empty()) {
        qn::test::WriteFile(cszSkipFile, skip);
        GTEST_SKIP() << skip;
    }
    const EngineHarness& h = served.h;
    const std::string& program = served.program;
    const std::string& settings = served.settings;
    const std::string root = h.workRoot() + "/";
    const std::string other = qn::test::ReadFile(QN_VERSION_PROGRAM_NEWER);

    // The client moves onto a tmpfs that holds it, the settings and what the row puts in the
    // root, and is then filled to its last byte.
    const std::string orig = h.workRoot() + ".orig";
    ASSERT_EQ(::rename(h.workRoot().c_str(), orig.c_str()), 0);
    ASSERT_EQ(::mkdir(h.workRoot().c_str(), 0755), 0);
    ASSERT_EQ(::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    const uint64_t ullSize = TreeBytes(orig) + program.size() + (2u << 20);
    ASSERT_EQ(::mount("tmpfs", h.workRoot().c_str(), "tmpfs", 0, ("size=" + std::to_string(ullSize)).c_str()), 0)
        << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{h.workRoot()};
    ASSERT_TRUE(CopyTree(orig, h.workRoot(), &err)) << err;
    qn::test::WriteFile(root + "repair_settings.ini", settings);
    if (row != "none") {
        qn::test::WriteFile(root + "QelRepair.exe", row == "tool" ? program : other);
        ASSERT_EQ(::chmod((root + "QelRepair.exe").c_str(), 0755), 0);
    }
    FillDisk(root + "filler");
    struct statvfs st;
    ASSERT_EQ(::statvfs(h.workRoot().c_str(), &st), 0);
    ASSERT_EQ(st.f_bavail, 0u) << "the disk is full";

    PlaceTool(tmp / "dl", program, settings);
    qn::test::PlatformSandbox platform;
    ScopedEnv envRoot("QN_PLATFORM_ROOT", platform.root());
    ScopedEnv envScript("QN_SCRIPT_CLIENT_ROOT", root);
    ScopedEnv envUi("QN_UI", "headless");
    const std::string out = tmp / "out.txt";
    RunHeadless(tmp / "dl/QelRepair.exe", out, root);
    const std::string printed = qn::test::ReadFile(out);
    if (row == "tool") {
        EXPECT_NE(printed.find("summary: 修复完成：共有1个资源损坏，成功修复1个，失败0个。\n"), std::string::npos)
            << printed;
        EXPECT_EQ(CheckEndState(*served.pScenario, served.fx.clientRoot, h.workRoot()), "");
        EXPECT_EQ(qn::test::ReadFile(root + "QelRepair.exe"), program);
    } else {
        EXPECT_NE(printed.find("summary: 修复失败：无法确定客户端路径！\n"), std::string::npos) << printed;
        EXPECT_EQ(qn::test::FileExists(root + "QelRepair.exe"), row == "other");
        if (row == "other") {
            EXPECT_EQ(qn::test::ReadFile(root + "QelRepair.exe"), other);
        }
    }
    EXPECT_FALSE(qn::test::FileExists(root + "QelRepair.exe.qncopy")) << "no side file is left";
}

TEST(EndToEndFullDisk, ToolAlreadyInTheRootNeedsNoRoom) {
    char szSelf[4096];
    ASSERT_GT(QN_GetModuleFileNameA(nullptr, szSelf, sizeof(szSelf)), 0u);
    qn::test::TempDir tmp;
    // A private mount namespace with a tmpfs in it: as root, else as a user of its own.
    const std::string probe = tmp / "probe";
    qn::test::MakeDirs(probe);
    std::string prefix;
    for (const char* cszUnshare : {"unshare -m", "unshare -rm"}) {
        const std::string line =
            std::string(cszUnshare) + " sh -c 'mount -t tmpfs -o size=64k tmpfs \"$0\"' '" + probe + "' >/dev/null 2>&1";
        if (std::system(line.c_str()) == 0) {
            prefix = cszUnshare;
            break;
        }
    }
    if (prefix.empty()) GTEST_SKIP() << "no tmpfs can be mounted in a private mount namespace here (unshare -m, -rm)";
    for (const char* cszRow : {"tool", "other", "none"}) {
        SCOPED_TRACE(cszRow);
        const std::string skip = tmp / (std::string("skip-") + cszRow);
        const std::string out = tmp / (std::string("out-") + cszRow);
        const std::string line = std::string(kFullDiskRowEnv) + "=" + cszRow + " " + kFullDiskSkipEnv + "='" + skip +
                                 "' " + prefix + " '" + szSelf +
                                 "' --gtest_also_run_disabled_tests --gtest_filter=EndToEndFullDisk.DISABLED_Scenario > '" +
                                 out + "' 2>&1";
        const int nStatus = std::system(line.c_str());
        if (qn::test::FileExists(skip)) GTEST_SKIP() << qn::test::ReadFile(skip);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << qn::test::ReadFile(out);
    }
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
