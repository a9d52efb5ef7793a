// Sessions in a child process: killed with SIGKILL at chosen points and resumed, and run on a
// disk that is too small. The child is this test program itself, started with a filter that
// selects SessionChildProcess.Download and with its task in environment variables.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "session_test_util.h"

extern char** environ;

namespace {

using qn::test::FirstResourceMismatch;
using qn::test::ReadFile;
using qn::test::SessionOutcome;
using qn::test::SessionTest;
namespace step = qn::test::http_step;

const char* Env(const char* szName) {
    const char* p = std::getenv(szName);
    return p && p[0] ? p : nullptr;
}

std::atomic<int> g_nCfgStateWrites{0};
int g_nKillAtCfgWrite = 0;
uint32_t g_uPieces = 0;

// Kills this process just before the n-th write of the progress file's piece states.
int KillAtCfgWrite(int nFd, uint64_t ullOffset, uint32_t uLength) {
    if (ullOffset != 4096 || uLength != g_uPieces) return 0;
    std::string sPath = qn::testing::PathOfFd(nFd);
    if (sPath.size() < 4 || sPath.compare(sPath.size() - 4, 4, ".cfg") != 0) return 0;
    if (++g_nCfgStateWrites == g_nKillAtCfgWrite) raise(SIGKILL);
    return 0;
}

// The child's side: one session as the environment describes it; the outcome goes to a file.
TEST(SessionChildProcess, Download) {
    const char* szUrl = Env("QN_CHILD_URL");
    if (!szUrl) GTEST_SKIP() << "runs only as the child process of the kill-and-resume and disk-full tests";
    std::string sDir = Env("QN_CHILD_DIR");
    qn::testing::SetAppDataFolder(Env("QN_CHILD_APPDATA"));
    KDownloadSetReportEndpoint("");
    if (const char* sz = Env("QN_CHILD_KILL_AT_CFG_WRITE")) {
        g_nKillAtCfgWrite = std::atoi(sz);
        g_uPieces = (uint32_t)std::atoi(Env("QN_CHILD_PIECES"));
        qn::testing::SetFileWriteHook(KillAtCfgWrite);
    }
    if (const char* sz = Env("QN_CHILD_FSIZE_LIMIT")) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        rl.rlim_cur = rl.rlim_max = (rlim_t)std::atoll(sz);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &rl), 0);
    }
    if (const char* sz = Env("QN_CHILD_OLD_TARGET")) qn::test::WriteFile(sDir + "/f.bin", sz);
    ASSERT_EQ(KDownloadInit(), S_OK);
    IKDownloadService* pService = nullptr;
    ASSERT_EQ(KDownloadGetService(IID_IKDownloadService, (void**)&pService), S_OK);
    IKDownloadSession* pSession = nullptr;
    ASSERT_EQ(pService->createSession(szUrl, nullptr, QN_Utf8ToWide(sDir).c_str(), L"f.bin", &pSession), S_OK);
    uint32_t uConnections = Env("QN_CHILD_CONNECTIONS") ? (uint32_t)std::atoi(Env("QN_CHILD_CONNECTIONS")) : 1;
    pSession->setOption(KDS_OPT_CONNECTIONS, &uConnections, 4);
    ASSERT_EQ(pSession->start(), S_OK);
    uint32_t uStatus = 0, uError = 0, uErrorExt = 0;
    qn::test::WaitUntil(
        [&] {
            pSession->getProgress(&uStatus, nullptr, nullptr, nullptr, nullptr);
            return uStatus >= KDS_STATUS_SUCCEEDED;
        },
        20000, 5);
    pSession->getError(&uError, &uErrorExt);
    pSession->Release();
    pService->Release();
    KDownloadUninit();
    std::string sTarget;
    if (qn::test::FileExists(sDir + "/f.bin")) sTarget = ReadFile(sDir + "/f.bin");
    std::ofstream out(Env("QN_CHILD_RESULT"));
    out << uStatus << " " << uError << " " << uErrorExt << " " << (qn::test::FileExists(sDir + "/f.bin.tmp") ? 1 : 0)
        << " " << sTarget.size() << " " << sTarget.substr(0, 16) << "\n";
}

std::string SelfPath() {
    char sz[4096];
    ssize_t n = readlink("/proc/self/exe", sz, sizeof(sz) - 1);
    return n > 0 ? std::string(sz, (size_t)n) : std::string();
}

// Starts the child with extra environment entries; returns its pid (or -1).
pid_t SpawnChild(const std::vector<std::string>& extraEnv, const std::vector<std::string>& prefixArgv = {}) {
    std::vector<std::string> env;
    for (char** p = environ; *p; ++p) env.push_back(*p);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<std::string> args = prefixArgv;
    args.push_back(SelfPath());
    args.push_back("--gtest_filter=SessionChildProcess.Download");
    std::vector<char*> argv, envp;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    return pid;
}

// States of the progress file, one byte per piece ("" when it is missing or short).
std::string CfgStates(const std::string& sPath, uint32_t uPieces) {
    if (!qn::test::FileExists(sPath)) return std::string();
    std::string s = ReadFile(sPath);
    if (s.size() < 4096 + uPieces) return std::string();
    return s.substr(4096, uPieces);
}

struct KillPoint {
    const char* szName;
    int64_t llStallAt;    // body byte of the first GET at which the server stalls (-1: none)
    uint32_t uRecorded;   // kill once the progress file records this many pieces
    int nKillAtCfgWrite;  // > 0: the child kills itself before this write of the states
    uint32_t uDrip = 0;   // > 0: the first GET is paced at this many bytes per second
    // > 1: the child runs this many connections, and every GET stops (for good) after
    // llStallAt body bytes: the kill comes after connections x llStallAt received bytes.
    uint32_t uConnections = 1;
};

class SessionKillResume : public SessionTest, public ::testing::WithParamInterface<KillPoint> {};

TEST_P(SessionKillResume, ResumesToIdenticalBytes) {
    const KillPoint& kp = GetParam();
    const uint32_t kPieces = 21;
    const uint64_t kSize = 20 * 65536 + 1000;
    m_server.addResource("/f.bin", kSize);
    // Index 0 is the child's query, 1 its first GET.
    if (kp.uConnections > 1) {
        // The runs are shared once the first GET's body has begun: it waits after its first
        // byte for the other connections, so that they split the untouched run.
        auto allAsked = [this, &kp] { return m_server.requestCount() >= 1 + (int)kp.uConnections; };
        m_server.script("/f.bin", m_server.kAnyIndex, {[&kp, allAsked](qn::test::Plan& p, const qn::test::RequestRecord& req) {
                            if (req.method != "GET") return;
                            step::HoldAtBodyByte(1, allAsked)(p, req);
                            step::StallMidBody(kp.llStallAt, 15000)(p, req);
                            if (kp.uDrip) step::Drip(kp.uDrip)(p, req);
                        }});
    } else {
        if (kp.llStallAt >= 0) m_server.script("/f.bin", 1, {step::StallMidBody(kp.llStallAt, 15000)});
        if (kp.uDrip) m_server.script("/f.bin", 1, {step::Drip(kp.uDrip)});
    }
    qn::test::TempDir result;
    std::vector<std::string> env = {"QN_CHILD_URL=" + m_server.url("/f.bin"), "QN_CHILD_DIR=" + m_dir.path(),
                                    "QN_CHILD_APPDATA=" + m_appData.path(), "QN_CHILD_RESULT=" + result / "r",
                                    "QN_CHILD_PIECES=" + std::to_string(kPieces)};
    if (kp.nKillAtCfgWrite) env.push_back("QN_CHILD_KILL_AT_CFG_WRITE=" + std::to_string(kp.nKillAtCfgWrite));
    env.push_back("QN_CHILD_CONNECTIONS=" + std::to_string(kp.uConnections));
    pid_t pid = SpawnChild(env);
    ASSERT_GT(pid, 0);
    int nStatus = 0;
    if (!kp.nKillAtCfgWrite) {
        // Wait until the progress file records the pieces before the stall, then kill.
        const bool bThere = qn::test::WaitUntil(
            [&] {
                std::string st = CfgStates(target() + ".cfg", kPieces);
                uint32_t n = 0;
                for (char c : st) n += c == 4;
                return n >= kp.uRecorded && !st.empty() && m_server.requestCount() >= 1 + (int)kp.uConnections;
            },
            8000, 10);
        kill(pid, SIGKILL);
        ASSERT_TRUE(bThere) << "the child did not get there";
    }
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGKILL) << "the child ended by itself";

    // A piece the progress file calls complete has its bytes in the data file.
    std::string st = CfgStates(target() + ".cfg", kPieces);
    std::string data = qn::test::FileExists(target() + ".tmp") ? ReadFile(target() + ".tmp") : std::string();
    uint32_t uRecorded = 0;
    for (uint32_t i = 0; i < st.size(); ++i) {
        if (st[i] != 4) continue;
        ++uRecorded;
        size_t uLen = i == kPieces - 1 ? 1000 : 65536;
        ASSERT_GE(data.size(), (size_t)i * 65536 + uLen);
        EXPECT_EQ(FirstResourceMismatch((uint64_t)i * 65536, data.data() + (size_t)i * 65536, uLen), -1) << i;
    }
    if (!kp.nKillAtCfgWrite) {
        EXPECT_EQ(uRecorded, kp.uRecorded);
    }
    if (kp.uConnections > 1) {
        // What arrived a flush period before the kill is kept, but for the unfinished piece of
        // each connection.
        uint64_t ullReceived = (uint64_t)kp.uConnections * (uint64_t)kp.llStallAt;
        EXPECT_GE((uint64_t)uRecorded * 65536 + (uint64_t)kp.uConnections * 65536, ullReceived);
    }

    SessionOutcome r = Run(m_server.url("/f.bin"));
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    std::string s = ReadFile(target());
    ASSERT_EQ(s.size(), kSize);
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
    // Only what the progress file had not recorded is fetched again.
    EXPECT_EQ(r.info.bytesInherited, (uint64_t)uRecorded * 65536);
    EXPECT_EQ(r.info.bytesCompleted, kSize - r.info.bytesInherited);
}

INSTANTIATE_TEST_SUITE_P(
    KillPoints, SessionKillResume,
    ::testing::Values(KillPoint{"before any body byte", 0, 0, 0}, KillPoint{"after one byte", 1, 0, 0},
                      KillPoint{"after piece 1", 65536, 1, 0}, KillPoint{"mid piece 4", 3 * 65536 + 1, 3, 0},
                      KillPoint{"one byte short of the end", (int64_t)(20 * 65536 + 999), 20, 0},
                      KillPoint{"during the first flush of the states", 5 * 65536 + 7, 0, 3},
                      KillPoint{"during a later flush", -1, 0, 4, 512 * 1024},
                      // Four connections start at pieces 0, 5, 10 and 15, three pieces and a
                      // part of the fourth each.
                      KillPoint{"after 4 x 201608 received bytes", 3 * 65536 + 5000, 12, 0, 0, 4},
                      KillPoint{"after 4 x 201608 paced received bytes", 3 * 65536 + 5000, 12, 0, 256 * 1024, 4}),
    [](const ::testing::TestParamInfo<KillPoint>& info) {
        std::string s;
        for (const char* p = info.param.szName; *p; ++p) s += std::isalnum((unsigned char)*p) ? *p : '_';
        return s;
    });

// A session killed around its restart under another file version, then resumed against a
// server that serves the new version alone. The first GET brings 8 pieces of version 1 (the
// query's), recorded by a flush, and breaks; the ranged GET that takes it up is answered with
// the whole of version 2, so the session restarts; the stream after it is of version 2. The
// progress file left by the kill never names a version that some piece it calls complete is
// not of, and the resume inherits exactly the pieces of version 2 it recorded.
enum class RestartKill {
    BeforeTheStreamsAnswer,   // the stream after the restart is asked for, not answered
    AfterItsHeaders,          // its headers are out, no piece yet: the version is taken
    AfterItsPiecesRecorded,   // three of its pieces are recorded
    AtTheGetAfterItsBreak,    // it broke after three pieces; the next GET is asked for
};

class SessionRestartKill : public SessionTest, public ::testing::WithParamInterface<RestartKill> {};

TEST_P(SessionRestartKill, LeavesAProgressFileOfOneVersion) {
    const RestartKill at = GetParam();
    const uint32_t kPieces = 16;
    const uint64_t kSize = kPieces * 65536;
    const std::string kDate1 = "Sun, 06 Nov 1994 08:49:37 GMT", kDate2 = "Mon, 07 Nov 1994 08:49:37 GMT";
    const std::string sCfg = target() + ".cfg";
    // The day of the month of the time the progress file names: 6 for version 1, 7 for
    // version 2, 0 for none.
    auto cfgDay = [sCfg] {
        std::string s = qn::test::FileExists(sCfg) ? ReadFile(sCfg) : std::string();
        return s.size() < 4096 ? -1 : (int)(uint8_t)s[2028 + 6] | (int)(uint8_t)s[2028 + 7] << 8;
    };
    auto recorded = [sCfg, kPieces] {
        uint32_t n = 0;
        for (char c : CfgStates(sCfg, kPieces)) n += c == 4;
        return n;
    };
    auto killed = std::make_shared<std::atomic<bool>>(false);
    auto gets = std::make_shared<std::atomic<int>>(0);
    m_server.addResource("/f.bin", kSize);
    m_server.script("/f.bin", m_server.kAnyIndex, {[=](qn::test::Plan& p, const qn::test::RequestRecord& r) {
                        int nGet = r.method == "GET" ? gets->fetch_add(1) + 1 : 0;
                        bool bTwo = killed->load() || nGet >= 2;
                        std::string sETag = bTwo ? "\"v2\"" : "\"v1\"";
                        p.headers.emplace_back("ETag", sETag);
                        p.headers.emplace_back("Last-Modified", bTwo ? kDate2 : kDate1);
                        if (r.hasHeader("If-Range") && r.header("If-Range") != sETag) step::IgnoreRange()(p, r);
                        if (bTwo) qn::test::VersionTwoBytes()(p, r);
                        if (killed->load()) return;
                        auto untilKilled = [killed] { return killed->load(); };
                        if (nGet == 1) {
                            step::HoldAtBodyByte(8 * 65536, [recorded] { return recorded() >= 8; }, 10000)(p, r);
                            step::DropAfter(8 * 65536 + 100)(p, r);
                        } else if (nGet == 3) {
                            if (at == RestartKill::BeforeTheStreamsAnswer) step::HoldUntil(untilKilled)(p, r);
                            if (at == RestartKill::AfterItsHeaders) step::HoldAtBodyByte(100, untilKilled)(p, r);
                            if (at == RestartKill::AfterItsPiecesRecorded)
                                step::HoldAtBodyByte(3 * 65536 + 100, untilKilled)(p, r);
                            if (at == RestartKill::AtTheGetAfterItsBreak) step::DropAfter(3 * 65536 + 100)(p, r);
                        } else if (nGet == 4) {
                            step::HoldUntil(untilKilled)(p, r);
                        }
                    }});
    qn::test::TempDir result;
    pid_t pid = SpawnChild({"QN_CHILD_URL=" + m_server.url("/f.bin"), "QN_CHILD_DIR=" + m_dir.path(),
                            "QN_CHILD_APPDATA=" + m_appData.path(), "QN_CHILD_RESULT=" + result / "r"});
    ASSERT_GT(pid, 0);
    // Index 0 of the requests is the child's query.
    const bool bThere = qn::test::WaitUntil(
        [&] {
            switch (at) {
                case RestartKill::BeforeTheStreamsAnswer: return gets->load() >= 3;
                case RestartKill::AfterItsHeaders: return gets->load() >= 3 && cfgDay() == 7;
                case RestartKill::AfterItsPiecesRecorded: return cfgDay() == 7 && recorded() >= 3;
                case RestartKill::AtTheGetAfterItsBreak: return gets->load() >= 4;
            }
            return false;
        },
        15000, 5);
    kill(pid, SIGKILL);
    killed->store(true);
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(bThere) << "the child did not get there";
    ASSERT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGKILL) << "the child ended by itself";

    // Every piece the progress file calls complete is of the version its header names.
    const int nDay = cfgDay();
    const std::string st = CfgStates(sCfg, kPieces);
    const std::string data = qn::test::FileExists(target() + ".tmp") ? ReadFile(target() + ".tmp") : std::string();
    uint32_t uRecorded = 0;
    for (uint32_t i = 0; i < st.size(); ++i) {
        if (st[i] != 4) continue;
        ++uRecorded;
        ASSERT_GE(data.size(), (size_t)(i + 1) * 65536);
        std::string piece = data.substr((size_t)i * 65536, 65536);
        if (nDay == 7) piece[qn::test::kVersionMarkInPiece] ^= (char)0xFF;
        if (nDay == 6 || nDay == 7) {
            EXPECT_EQ(FirstResourceMismatch((uint64_t)i * 65536, piece.data(), piece.size()), -1)
                << "piece " << i << " under the time of version " << (nDay == 6 ? 1 : 2);
        }
    }
    switch (at) {
        case RestartKill::BeforeTheStreamsAnswer:
            EXPECT_EQ(nDay, 0);
            EXPECT_EQ(uRecorded, 0u);
            break;
        case RestartKill::AfterItsHeaders:
            EXPECT_EQ(uRecorded, 0u);
            break;
        case RestartKill::AfterItsPiecesRecorded:
            EXPECT_EQ(nDay, 7);
            EXPECT_EQ(uRecorded, 3u);
            break;
        case RestartKill::AtTheGetAfterItsBreak:
            EXPECT_EQ(nDay, 7);
            break;
    }

    SessionOutcome r = Run(m_server.url("/f.bin"));
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED) << "error " << r.uError << "/" << r.uErrorExt;
    EXPECT_EQ(qn::test::VersionOf(ReadFile(target()), kSize), 2);
    EXPECT_EQ(r.info.bytesInherited, nDay == 7 ? (uint64_t)uRecorded * 65536 : 0u);
}

INSTANTIATE_TEST_SUITE_P(KillPoints, SessionRestartKill,
                         ::testing::Values(RestartKill::BeforeTheStreamsAnswer, RestartKill::AfterItsHeaders,
                                           RestartKill::AfterItsPiecesRecorded, RestartKill::AtTheGetAfterItsBreak),
                         [](const ::testing::TestParamInfo<RestartKill>& info) {
                             switch (info.param) {
                                 case RestartKill::BeforeTheStreamsAnswer: return std::string("BeforeTheStreamsAnswer");
                                 case RestartKill::AfterItsHeaders: return std::string("AfterItsHeaders");
                                 case RestartKill::AfterItsPiecesRecorded: return std::string("AfterItsPiecesRecorded");
                                 case RestartKill::AtTheGetAfterItsBreak: return std::string("AtTheGetAfterItsBreak");
                             }
                             return std::string();
                         });

// A disk too small for the file: the session fails with a file error, the old target stays,
// nothing is renamed.
class SessionDiskFull : public SessionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SessionDiskFull, FailsWithAFileErrorAndKeepsTheTarget) {
    bool bTmpfs = GetParam();
    const uint64_t kSize = 3 * 1024 * 1024;
    m_server.addResource("/f.bin", kSize);
    qn::test::TempDir result;
    std::vector<std::string> env = {"QN_CHILD_URL=" + m_server.url("/f.bin"), "QN_CHILD_DIR=" + m_dir.path(),
                                    "QN_CHILD_APPDATA=" + m_appData.path(), "QN_CHILD_RESULT=" + result / "r",
                                    "QN_CHILD_OLD_TARGET=old target"};
    std::vector<std::string> prefix;
    if (bTmpfs) {
        if (system("unshare -rm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "unshare -rm is not allowed here";
        // A private mount namespace with a 1 MiB tmpfs over the download folder.
        prefix = {"unshare", "-rm", "sh", "-c", "mount -t tmpfs -o size=1m tmpfs \"$0\" && exec \"$@\"", m_dir.path()};
    } else {
        env.push_back("QN_CHILD_FSIZE_LIMIT=1048576");
    }
    pid_t pid = SpawnChild(env, prefix);
    ASSERT_GT(pid, 0);
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    std::ifstream in(result / "r");
    uint32_t uStatus = 0, uError = 0, uErrorExt = 0, uTmpLeft = 0;
    size_t uTargetSize = 0;
    std::string sTargetStart;
    in >> uStatus >> uError >> uErrorExt >> uTmpLeft >> uTargetSize;
    std::getline(in, sTargetStart);
    ASSERT_TRUE(in || in.eof()) << "no result from the child";
    EXPECT_EQ(uStatus, (uint32_t)KDS_STATUS_FAILED);
    EXPECT_EQ(uError, (uint32_t)KDS_ERR_FILE);
    // tmpfs: the space reservation fails (112); the size limit: the file cannot grow (39).
    EXPECT_EQ(uErrorExt, bTmpfs ? 0x80070070u : 0x80070027u);
    EXPECT_EQ(uTargetSize, 10u);
    EXPECT_EQ(sTargetStart, " old target");
}

INSTANTIATE_TEST_SUITE_P(SmallDisk, SessionDiskFull, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Tmpfs" : "FileSizeLimit");
                         });

}  // namespace
