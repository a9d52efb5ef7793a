// The whole client through the coordinator with both real repairers: every kit scenario over the
// stand-in transport, the loopback server and nginx, asserting the statuses of the coordinator
// and of both repairers, the result lists, a progress value (as the dialog weighs the two) that
// never goes back and ends at 100, the requests made and the repaired tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <list>

#include "IQN_PackageRepair.h"
#include "QN_LogStream.h"
#include "QN_RepairClientResource.h"
#include "engine_test_util.h"
#include "qn_log_capture.h"
#include "qn_string.h"

using namespace qn::kit;
using namespace qn::enginetest;

namespace {

std::vector<std::string> ToVector(const std::list<std::string>& l) { return {l.begin(), l.end()}; }

// The coordinator over a prepared run, driven as the repair thread drives it.
class Client {
public:
    explicit Client(PreparedRun& run) : m_run(run) {}
    ~Client() {
        if (m_bInit) m_c.UnInit();
    }
    int Init() {
        m_bInit = m_c.Init("zhcn", m_run.m_harness.binPath().c_str(), m_run.m_harness.repairTempPath().c_str(),
                           m_run.m_served.UrlPrefix().c_str(), (m_run.m_harness.workRoot() + "/").c_str(), 3) == 1;
        for (const std::string& f : ClientIgnoreFiles()) m_c.AddIgnoreNormalFile(f.c_str());
        for (const std::string& d : ClientIgnoreDirectories()) m_c.AddIgnoreNormalDirectory(d.c_str());
        return m_bInit;
    }
    // One phase to its end, with the progress in whole percent (package x 0.7 + ordinary x
    // 0.3) sampled at each poll.
    PhaseRun Run(bool bRepair, uint32_t stopAfterMs = 0) {
        PhaseControl pc;
        pc.start = [&] { return (bRepair ? m_c.StartRepair() : m_c.StartCheck()) == 1; };
        pc.status = [&] {
            int s = m_c.m_nStatusCode.load();
            Sample(bRepair);
            return s;
        };
        pc.runningStatus = bRepair ? QN_RCRSC_REPAIRING : QN_RCRSC_CHECKING;
        pc.deadline = std::chrono::milliseconds(90000);
        if (stopAfterMs) {
            pc.stop = [&] { m_c.m_nStatusCode = QN_RCRSC_ERROR_ABROT; };
            pc.stopAfter = std::chrono::milliseconds(stopAfterMs);
        }
        m_nLastPercent = -1;
        return RunPhase(pc);
    }
    void Sample(bool bRepair) {
        float n = bRepair ? m_c.m_RepairNormalFile.m_fRepairProgress.load() : m_c.m_RepairNormalFile.m_fCheckProgress.load();
        float p = bRepair ? m_c.m_pPackageRepair->GetRepairProgress() : m_c.m_pPackageRepair->GetCheckProgress();
        int percent = (int)((p * 0.7f + n * 0.3f) * 100.0f + 0.5f);
        if (percent < m_nLastPercent) m_bBackwards = true;
        m_nLastPercent = percent;
    }

    PreparedRun& m_run;
    QN_RepairClientResource m_c;
    bool m_bInit = false;
    bool m_bBackwards = false;
    int m_nLastPercent = -1;
};

// One kit scenario over one transport.
struct ClientRow {
    std::string id;
    TransportKind kind;
};

void PrintTo(const ClientRow& row, std::ostream* os) { *os << row.id << " over " << TransportName(row.kind); }

// Every kit scenario over every transport, but for the ones with server delays over nginx,
// which cannot delay.
std::vector<ClientRow> ClientRows() {
    std::vector<ClientRow> rows;
    for (TransportKind k : AllTransports())
        for (const Scenario& sc : DamageScenarios())
            if (sc.delays.empty() || k != TransportKind::Nginx) rows.push_back({sc.id, k});
    return rows;
}

class ClientScenarios : public ::testing::TestWithParam<ClientRow> {};

}  // namespace

TEST_P(ClientScenarios, EndAsTheScenarioSays) {
    const Scenario& sc = *FindScenario(GetParam().id);
    SCOPED_TRACE(sc.id + ": " + sc.description);
    PreparedRun run;
    std::string err;
    bool bSkip = false;
    if (!run.Prepare(GetParam().kind, &sc, &err, &bSkip)) {
        if (bSkip) GTEST_SKIP() << err;
        FAIL() << err;
    }
    for (const ServerDelayRule& d : sc.delays) ASSERT_TRUE(run.m_served.AddDelay(d));
    QN_RepairEngineConfig saved = QN_GetRepairEngineConfig(), cfg = saved;
    // Put back even when an assertion ends the row early, so that the next row starts clean.
    struct RestoreConfig {
        const QN_RepairEngineConfig& saved;
        ~RestoreConfig() { QN_SetRepairEngineConfig(saved); }
    } restore{saved};
    cfg.strDevPackageRepairURL = run.m_served.BaseUrl() + "/dev/zhcn/qelrepair/";
    QN_SetRepairEngineConfig(cfg);
    qn::test::LogCapture log;
    {
        Client client(run);
        ASSERT_EQ(client.Init(), 1);
        QN_RepairClientResource& c = client.m_c;

        PhaseRun check = client.Run(false, sc.stopPhase == StopPhase::Check ? sc.stopAfterMs : 0);
        EXPECT_FALSE(check.timedOut);
        EXPECT_EQ(c.m_nStatusCode.load(), sc.check.status);
        if (sc.check.status == QN_RCRSC_SUCCESS_FINISH_CHECK) {
            EXPECT_EQ(ToVector(c.m_CorruptNormalFileList), sc.check.corrupt);
            EXPECT_EQ(c.m_uCorruptPakV3BlockCount, sc.check.pakCount);
            EXPECT_EQ(client.m_nLastPercent, 100);
        }
        // After a stop the worker stops both repairers; after a failure the other one ends
        // on its own.
        if (sc.check.normalStatus >= 0) {
            EXPECT_TRUE(WaitUntil([&] { return c.m_RepairNormalFile.m_nStatusCode.load() == sc.check.normalStatus; }, 10000))
                << c.m_RepairNormalFile.m_nStatusCode.load();
        }
        if (sc.check.pakStatus >= 0) {
            EXPECT_TRUE(WaitUntil([&] { return c.m_pPackageRepair->GetStatusCode() == sc.check.pakStatus; }, 10000))
                << c.m_pPackageRepair->GetStatusCode();
        }
        if (sc.repair.run) {
            PhaseRun repair = client.Run(true, sc.stopPhase == StopPhase::Repair ? sc.stopAfterMs : 0);
            EXPECT_FALSE(repair.timedOut);
            EXPECT_EQ(c.m_nStatusCode.load(), sc.repair.status);
            if (sc.repair.normalStatus >= 0) {
                EXPECT_TRUE(WaitUntil([&] { return c.m_RepairNormalFile.m_nStatusCode.load() == sc.repair.normalStatus; },
                                    10000));
            }
            if (sc.stopPhase == StopPhase::Repair) {
                // The worker's stop steps end once both package threads have ended, well
                // before the held-back source would have come.
                EXPECT_TRUE(WaitUntil([&] { return c.m_pPackageRepair->GetStatusCode() == QN_RPS_ERROR_ABROT &&
                                                 c.m_RepairNormalFile.m_nStatusCode.load() == QN_RFSC_ERROR_ABROT; },
                                    4000));
            }
            if (sc.repair.pakStatus >= 0) {
                EXPECT_TRUE(
                    WaitUntil([&] { return c.m_pPackageRepair->GetStatusCode() == sc.repair.pakStatus; }, 10000))
                    << c.m_pPackageRepair->GetStatusCode();
            }
            if (sc.stopPhase != StopPhase::Repair) {
                QN_FILE_NAME_LIST names;
                EXPECT_EQ(c.m_RepairNormalFile.GetCanNotRepairFileList(&names), 1);
                EXPECT_EQ(ToVector(names), sc.repair.cannotRepair);
            }
            QN_CLIENT_FILE_NAME_LIST mine;
            EXPECT_EQ(c.GetCanNotRepairNormalFile(&mine), 1);
            if (sc.repair.status == QN_RCRSC_SUCCESS_FINISH_REPAIR) {
                EXPECT_EQ(ToVector(mine), sc.repair.cannotRepair);
                EXPECT_EQ(client.m_nLastPercent, 100);
                QN_PAK_ID_LIST ids;
                EXPECT_EQ(c.GetCanNotRepairPakBlock(&ids), 1);
                EXPECT_EQ(ids.size(), c.m_pPackageRepair->GetCanNotRepairElemFileCount());
            } else {
                EXPECT_TRUE(mine.empty());
            }
        }
        EXPECT_FALSE(client.m_bBackwards) << "the progress went back";
    }
    EXPECT_EQ(gs_hLogStream, nullptr);
    QN_SetRepairEngineConfig(saved);

    EXPECT_EQ(CheckEndState(sc, run.m_fx.clientRoot, run.m_harness.workRoot()), "");
    if (sc.end.tempHoldsNoFile) {
        EXPECT_EQ(run.m_harness.TempFiles(), std::vector<std::string>());
    }
    std::vector<ServedRequest> got = run.Requests(sc.requests);
    EXPECT_EQ(MatchInOrderPerPath(got, sc.requests), "") << Describe(got);
    EXPECT_EQ(Forbidden(got, sc.forbidden), "") << Describe(got);
    std::vector<std::string> messages = log.Messages();
    for (const std::string& text : sc.logLines) {
        const std::string line = FillFolders(text, run.m_harness);
        EXPECT_TRUE(std::any_of(messages.begin(), messages.end(),
                                [&](const std::string& m) { return m.find(line) != std::string::npos; }))
            << line;
    }
    if (sc.alsoDev) {
        // The development base is used as configured, with the package repairer's own '/'.
        bool seen = false;
        for (const ServedRequest& r : got) seen |= r.target.rfind("/dev/zhcn/qelrepair//Repair.REP", 0) == 0;
        EXPECT_TRUE(seen) << Describe(got);
    } else if (sc.check.status == QN_RCRSC_SUCCESS_FINISH_CHECK) {
        bool seen = false;
        for (const ServedRequest& r : got) seen |= r.target.rfind("/qelrepair/zhcn_v3//PakV3Repair//Repair.REP", 0) == 0;
        EXPECT_TRUE(seen) << Describe(got);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ClientScenarios, ::testing::ValuesIn(ClientRows()),
                         [](const ::testing::TestParamInfo<ClientRow>& i) {
                             return ScenarioTestName(i.param.kind, i.param.id);
                         });

// The package repairer's folder files go to a subfolder of the run's temporary folder that it
// makes, empties and removes, while the ordinary-file repairer downloads into the same folder
// under each table name. An ordinary file "pakV3\\x.dat" is held on the server until the
// package repair has ended: its download must still be there to finish.
TEST(ClientTemporaryFolder, FolderFileStepLeavesOrdinaryDownloadsAlone) {
    PreparedRun run;
    std::string err;
    const Scenario& scenario = *FindScenario("D9");
    BuiltFixture& fx = run.m_fx;
    fx.clientRoot = run.m_tmp / "fx/client";
    fx.docroot = run.m_tmp / "fx/www";
    ASSERT_TRUE(BuildClient(FixtureId::F1, fx.clientRoot, &fx.manifest, &err)) << err;
    qn::test::WriteFile(fx.clientRoot + "/bin/zhcn/pakV3/x.dat", qn::test::ResourceBytes(0, 300000));
    ASSERT_TRUE(GenerateServerTree(fx.clientRoot, &fx.manifest, fx.docroot, GeneratorOptionsOf(FixtureId::F1), &fx.info,
                                   &err))
        << err;
    ASSERT_TRUE(run.m_harness.Prepare(fx, &scenario, &err)) << err;
    ::unlink((run.m_harness.binPath() + "pakV3/x.dat").c_str());
    bool bSkip = false;
    ASSERT_TRUE(run.Serve(TransportKind::Loopback, &err, &bSkip)) << err;
    Client client(run);
    ASSERT_EQ(client.Init(), 1);
    std::atomic<bool> bHeld{false};
    // The hold is judged on the server's thread; once it has seen the package repair end, it
    // says so, and the test waits for that before the repairer is released.
    std::atomic<bool> bHoldOver{false};
    IQN_PackageRepair* pPackage = client.m_c.m_pPackageRepair;
    auto packageDone = [pPackage, &bHoldOver] {
        if (pPackage->GetStatusCode() < QN_RPS_SUCCESS_FINISH_REPAIR) return false;
        bHoldOver = true;
        return true;
    };
    run.m_served.loopback()->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                                    {[&](qn::test::Plan& plan, const qn::test::RequestRecord& req) {
                                        if (req.method != "GET" || req.path.find("/pakV3/x.dat") == std::string::npos) return;
                                        bHeld = true;
                                        qn::test::http_step::HoldUntil(packageDone, 30000)(plan, req);
                                    }});
    ASSERT_EQ(client.Run(false).status, QN_RCRSC_SUCCESS_FINISH_CHECK);
    EXPECT_EQ(ToVector(client.m_c.m_CorruptNormalFileList), std::vector<std::string>{"pakV3\\x.dat"});
    ASSERT_EQ(client.Run(true).status, QN_RCRSC_SUCCESS_FINISH_REPAIR);
    EXPECT_TRUE(bHeld.load());
    EXPECT_TRUE(WaitUntil([&] { return bHoldOver.load(); }, 30000));
    EXPECT_EQ(client.m_c.m_pPackageRepair->GetCanNotRepairElemFileCount(), 0u);
    std::list<std::string> left;
    ASSERT_EQ(client.m_c.GetCanNotRepairNormalFile(&left), 1);
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(qn::test::ReadFile(run.m_harness.binPath() + "pakV3/x.dat"), qn::test::ResourceBytes(0, 300000));
    EXPECT_EQ(qn::test::ReadFile(run.m_harness.workRoot() + "/pakV3/Dir1.idx"),
              qn::test::ReadFile(fx.clientRoot + "/pakV3/Dir1.idx"));
}

// Where that subfolder cannot be made (FAT and exFAT refuse the ':' in its name; here a player's
// file stands at its name), the folder files are still repaired, through the package folder's
// own temporary folder, and the player's file and the package folder are left as they were.
TEST(ClientTemporaryFolder, FolderFilesRepairedWhenTheSubfolderCannotBeMade) {
    PreparedRun run;
    std::string err;
    bool bSkip = false;
    ASSERT_TRUE(run.Prepare(TransportKind::Loopback, FindScenario("D9"), &err, &bSkip)) << err;
    const std::string blocker = run.m_harness.repairTempPath() + QNPK_DIR_FILE_TEMP_SUBFOLDER;
    qn::test::WriteFile(blocker, "the player's own file");
    Client client(run);
    ASSERT_EQ(client.Init(), 1);
    ASSERT_EQ(client.Run(false).status, QN_RCRSC_SUCCESS_FINISH_CHECK);
    ASSERT_EQ(client.Run(true).status, QN_RCRSC_SUCCESS_FINISH_REPAIR);
    EXPECT_EQ(client.m_c.m_pPackageRepair->GetCanNotRepairElemFileCount(), 0u);
    EXPECT_EQ(qn::test::ReadFile(run.m_harness.workRoot() + "/pakV3/Dir1.idx"),
              qn::test::ReadFile(run.m_fx.clientRoot + "/pakV3/Dir1.idx"));
    EXPECT_EQ(qn::test::ReadFile(blocker), "the player's own file");
    EXPECT_FALSE(std::filesystem::exists(run.m_harness.workRoot() + "/pakV3/.QelRepairTemp"));
}

// No table name that the ordinary-file repairer takes names a path inside that subfolder: names
// that would begin with it are refused, whatever they put before it.
TEST(ClientTemporaryFolder, NoTableNameReachesTheFolderFileSubfolder) {
    const std::string sub = QNPK_DIR_FILE_TEMP_SUBFOLDER;
    for (const std::string& name : {sub + "\\x.dat", ".\\" + sub + "\\x.dat", "\\" + sub + "\\x.dat",
                                    "\\\\" + sub + "\\x.dat", "./" + sub + "/x.dat", sub + "/x.dat",
                                    std::string("p:PAKV3\\x.dat"), std::string("pakV3\\x.dat")}) {
        std::string local;
        if (!QN_LocalPathFromTableName(name.c_str(), &local)) continue;
        std::string lower = local;
        for (char& c : lower) c = (char)std::tolower((unsigned char)c);
        std::string lowerSub = sub;
        for (char& c : lowerSub) c = (char)std::tolower((unsigned char)c);
        EXPECT_NE(lower.compare(0, lowerSub.size() + 1, lowerSub + "/"), 0) << name << " gives " << local;
    }
}

// A server that refuses every request: both repairers fail to fetch their repair data.
TEST(ClientServerFaults, EveryRequestRefused) {
    for (TransportKind kind : {TransportKind::Fake, TransportKind::Loopback}) {
        SCOPED_TRACE(TransportName(kind));
        PreparedRun run;
        std::string err;
        bool bSkip = false;
        ASSERT_TRUE(run.Prepare(kind, FindScenario("D-ALL"), &err, &bSkip)) << err;
        ASSERT_TRUE(AddStatusRule(run.m_served, "", "", 403));
        Client client(run);
        ASSERT_EQ(client.Init(), 1);
        EXPECT_EQ(client.Run(false).status, QN_RCRSC_ERROR_CONNECT_SERVER);
        EXPECT_EQ(client.m_c.m_RepairNormalFile.m_nStatusCode.load(), QN_RFSC_ERROR_DOWNLOAD);
        EXPECT_TRUE(WaitUntil([&] { return client.m_c.m_pPackageRepair->GetStatusCode() >= QN_RPS_ERROR_FAILED; }, 20000));
        EXPECT_EQ(client.m_c.m_pPackageRepair->GetStatusCode(), QN_RPS_ERROR_DOWNLOAD);
        for (const ServedRequest& r : run.m_served.Requests()) EXPECT_EQ(r.status, 403) << r.target;
    }
}
