// The ordinary-file repairer on the reference client F1: the kit's ordinary-file scenarios over
// the stand-in transport, the loopback server and nginx (statuses, lists, progress, requests and
// the repaired tree), server faults, stops, and the file-system side of putting a file in place.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "QN_RepairNormalFile.h"
#include "RepairFileEditor.h"
#include "ServerTreeGenerator.h"
#include "TreeTools.h"
#include "engine_test_util.h"
#include "qn_log_capture.h"

using namespace qn::kit;
using namespace qn::enginetest;

namespace {

const std::string kInfoPath = "/qelrepair/zhcn_v3/qel_repair.info";
const std::string kServerInfo = "qelrepair/zhcn_v3/qel_repair.info";

std::vector<std::string> ToVector(const QN_FILE_NAME_LIST& l) { return std::vector<std::string>(l.begin(), l.end()); }

// The repairer over a prepared run, with the ignore lists the application hands it.
class Repairer {
public:
    int Init(const PreparedRun& run, const std::string& tempPath = std::string()) {
        int n = m_r.Init(run.m_harness.binPath().c_str(),
                         (tempPath.empty() ? run.m_harness.repairTempPath() : tempPath).c_str(),
                         run.m_served.UrlPrefix().c_str());
        for (const std::string& f : ClientIgnoreFiles()) m_r.AddIgnoreFile(f.c_str());
        for (const std::string& d : ClientIgnoreDirectories()) m_r.AddIgnoreDirectory(d.c_str());
        return n;
    }
    // Runs one phase to its end; the progress value is sampled at every poll and must never go
    // back.
    PhaseRun Run(bool bRepair, std::function<void()> stop = nullptr, int stopAfterMs = 0) {
        PhaseControl c;
        std::atomic<float>& progress = bRepair ? m_r.m_fRepairProgress : m_r.m_fCheckProgress;
        float fLast = 0.0f;
        c.start = [&] { return (bRepair ? m_r.StartRepair() : m_r.StartCheck()) == 1; };
        c.status = [&] {
            int s = m_r.m_nStatusCode.load();
            float f = progress.load();
            if (f < fLast) m_bBackwards = true;
            fLast = f;
            return s;
        };
        c.runningStatus = bRepair ? QN_RFSC_REPAIRING : QN_RFSC_CHECKING;
        c.poll = std::chrono::milliseconds(20);
        c.stop = std::move(stop);
        c.stopAfter = std::chrono::milliseconds(stopAfterMs);
        const bool bStopping = (bool)c.stop;
        PhaseRun run = RunPhase(c);
        // A stop shows at once; the worker's last writes come when it has ended.
        if (bStopping) m_r.UnInit();
        EXPECT_FALSE(m_bBackwards) << "progress went backwards";
        EXPECT_EQ(progress.load(), 1.0f);
        return run;
    }
    std::vector<std::string> Corrupt() {
        QN_FILE_NAME_LIST l;
        EXPECT_EQ(m_r.GetCorrputFileList(&l), 1);
        return ToVector(l);
    }
    std::vector<std::string> CanNot() {
        QN_FILE_NAME_LIST l;
        EXPECT_EQ(m_r.GetCanNotRepairFileList(&l), 1);
        return ToVector(l);
    }

    QN_RepairNormalFile m_r;
    bool m_bBackwards = false;
};

// The ordinary-file requests of a scenario (the package repairer's are not sent here).
std::vector<ExpectedRequest> NormalRequests(const std::vector<ExpectedRequest>& all) {
    std::vector<ExpectedRequest> out;
    for (const ExpectedRequest& e : all)
        if (e.pathSuffix.find("/PakV3Repair/") == std::string::npos && e.pathSuffix.find("/dev/") == std::string::npos)
            out.push_back(e);
    return out;
}

struct ScenarioRow {
    const char* id;
    int check;   // the repairer's status after the check
    int repair;  // after the repair; -1 when none runs
};

const ScenarioRow kRows[] = {
    {"D0", 3, -1},   {"D5", 3, 4},    {"D5b", 3, 4},  {"D5c", 3, 4},   {"D6", 3, 4},   {"D6b", 3, 4},
    {"D6c", 3, 4},   {"D7", 3, 8},    {"D-IGN", 3, -1}, {"D10a", 7, -1}, {"D10b", 5, -1},
};

// One row of the table over one transport.
struct NormalRow {
    ScenarioRow row;
    TransportKind kind;
};

void PrintTo(const NormalRow& r, std::ostream* os) { *os << r.row.id << " over " << TransportName(r.kind); }

std::vector<NormalRow> NormalRows() {
    std::vector<NormalRow> rows;
    for (TransportKind k : AllTransports())
        for (const ScenarioRow& row : kRows) rows.push_back({row, k});
    return rows;
}

class NormalScenarios : public ::testing::TestWithParam<NormalRow> {};

}  // namespace

TEST_P(NormalScenarios, EndAsTheirRowSays) {
    const ScenarioRow& row = GetParam().row;
    const Scenario* sc = FindScenario(row.id);
    ASSERT_NE(sc, nullptr);
    PreparedRun run;
    std::string err;
    bool bSkip = false;
    if (!run.Prepare(GetParam().kind, sc, &err, &bSkip)) {
        if (bSkip) GTEST_SKIP() << err;
        FAIL() << err;
    }
    qn::test::LogCapture log;
    Repairer rep;
    ASSERT_EQ(rep.Init(run), 1);
    PhaseRun check = rep.Run(false);
    EXPECT_FALSE(check.timedOut);
    EXPECT_EQ(check.status, row.check);
    EXPECT_EQ(rep.Corrupt(), sc->check.corrupt);
    EXPECT_FLOAT_EQ(rep.m_r.m_fCorruptRatio, (float)sc->check.corrupt.size() / 100.0f);
    if (row.repair >= 0) {
        PhaseRun repair = rep.Run(true);
        EXPECT_FALSE(repair.timedOut);
        EXPECT_EQ(repair.status, row.repair);
        EXPECT_EQ(rep.CanNot(), sc->repair.cannotRepair);
        if (row.repair == QN_RFSC_ERROR_FILE_IN_USE) {
            // Three moves half a second apart, then a copy.
            EXPECT_GE(repair.elapsed.count(), 1500);
        }
    }
    EXPECT_EQ(CheckEndState(*sc, run.m_fx.clientRoot, run.m_harness.workRoot()), "");
    if (sc->end.tempHoldsNoFile) {
        EXPECT_EQ(run.m_harness.TempFiles(), std::vector<std::string>());
    }
    const std::vector<ExpectedRequest> want = NormalRequests(sc->requests);
    std::vector<ServedRequest> got = run.Requests(want);
    EXPECT_EQ(MatchInOrder(got, want), "") << Describe(got);
    EXPECT_EQ(Forbidden(got, NormalRequests(sc->forbidden)), "") << Describe(got);
    std::vector<std::string> messages = log.Messages();
    for (const std::string& text : sc->logLines) {
        const std::string line = FillFolders(text, run.m_harness);
        EXPECT_TRUE(std::any_of(messages.begin(), messages.end(),
                                [&](const std::string& m) { return m.find(line) != std::string::npos; }))
            << line;
    }
    // Nothing is fetched before the check asks, and a clean check fetches only the header
    // and the file-check table.
    if (row.repair < 0 && row.check == 3) {
        EXPECT_EQ(run.m_served.RangesFor("/qel_repair.info"),
                  (std::vector<std::string>{"bytes=0-75", "bytes=76-2289"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, NormalScenarios, ::testing::ValuesIn(NormalRows()),
                         [](const ::testing::TestParamInfo<NormalRow>& i) {
                             return ScenarioTestName(i.param.kind, i.param.row.id);
                         });

TEST(NormalRepairRules, IgnoreRules) {
    QN_RepairNormalFile r;
    for (const std::string& f : ClientIgnoreFiles()) r.AddIgnoreFile(f.c_str());
    for (const std::string& d : ClientIgnoreDirectories()) r.AddIgnoreDirectory(d.c_str());
    r.AddIgnoreDirectory("bin");
    struct Row {
        const char* name;
        bool ignored;
    } rows[] = {
        {"package.ini", true},        {"PACKAGE.INI", true},       {"data\\ui.ini", true},
        {"DATA\\x", true},            {"database.dll", true},      {"binaries\\a.dll", true},
        {"3rdParty\\x.dll", true},    {"3RDPARTY\\x.dll", false},  {"3rdParty", false},
        {"3rdPartyX\\a", false},      {"ui\\image\\b.png", true},  {"ui\\Images.dll", true},
        {"ui\\other.png", false},     {"package.ini.bak", false},  {"lib\\core.dll", false},
        {"QelClient.exe", false},
    };
    for (const Row& row : rows) EXPECT_EQ(r._IsIgnoreFile(row.name), row.ignored) << row.name;
}

TEST(NormalRepairRules, RefusedCallsFailWithStatus5) {
    qn::test::LogCapture log;
    struct Row {
        const char *client, *temp, *url, *line;
    } rows[] = {
        {nullptr, "t/", "u/", "cszClientPath"},  {"", "t/", "u/", "cszClientPath[0]"},
        {"c/", nullptr, "u/", "cszTempFilePath"}, {"c/", "", "u/", "cszTempFilePath[0]"},
        {"c/", "t/", nullptr, "cszURLPrefix"},    {"c/", "t/", "", "cszURLPrefix[0]"},
    };
    for (const Row& row : rows) {
        QN_RepairNormalFile r;
        EXPECT_EQ(r.Init(row.client, row.temp, row.url), 0) << row.line;
        EXPECT_EQ(r.m_nStatusCode.load(), QN_RFSC_ERROR_FAILED);
        EXPECT_NE(log.Messages().back().find(std::string("QNLOG_PROCESS_ERROR(") + row.line + ")"), std::string::npos);
    }
    QN_RepairNormalFile r;
    ASSERT_EQ(r.Init("c", "t", "http://127.0.0.1:1/x"), 1);
    EXPECT_EQ(r.m_nStatusCode.load(), QN_RFSC_NONE);
    EXPECT_EQ(r.StartRepair(), 0);
    EXPECT_NE(log.Messages().back().find("QNLOG_PROCESS_ERROR(m_nStatusCode == QN_RFSC_SUCCESS_FINISH_CHECK)"),
              std::string::npos);
    EXPECT_EQ(r.m_nStatusCode.load(), QN_RFSC_ERROR_FAILED);
    EXPECT_EQ(r.GetCorrputFileList(nullptr), 0);
    EXPECT_EQ(r.GetCanNotRepairFileList(nullptr), 0);
    EXPECT_EQ(r.AddIgnoreFile(""), 0);
    EXPECT_EQ(r.AddIgnoreDirectory(nullptr), 0);
    // A copy of the list onto itself changes nothing.
    r.m_CanNotRepairFileList = {"a", "b"};
    EXPECT_EQ(r.GetCanNotRepairFileList(&r.m_CanNotRepairFileList), 1);
    EXPECT_EQ(ToVector(r.m_CanNotRepairFileList), (std::vector<std::string>{"a", "b"}));
}

namespace {

// Server-side changes beyond the kit's scenarios, each with its end.
struct FaultRow {
    const char* name;
    std::vector<DamageStep> steps;     // kit damage (client and server)
    std::function<void(PreparedRun&)> edit;  // further changes before the run
    int check;
    std::vector<std::string> corrupt;
    int repair;  // -1: none
    std::vector<std::string> cannot;
    std::vector<std::string> differing;  // end state below the client root
    std::vector<std::string> ranges;     // the Range values sent for "qel_repair.info", when not empty
};

DamageStep ClientStep(DamageOp op, const std::string& path, uint64_t offset = 0, uint64_t value = 0) {
    DamageStep s;
    s.side = DamageSide::Client;
    s.op = op;
    s.path = path;
    s.offset = offset;
    s.value = value;
    return s;
}

void EditInfo(PreparedRun& run, const std::function<void(RepairFileEditor&)>& fn) {
    RepairFileEditor e;
    std::string err;
    const std::string path = run.m_harness.docroot() + "/" + kServerInfo;
    ASSERT_TRUE(e.Load(path, RepairFileKind::Info, &err)) << err;
    fn(e);
    ASSERT_TRUE(e.Save(path, &err)) << err;
}

class NormalFaults : public ::testing::TestWithParam<TransportKind> {};

}  // namespace

TEST_P(NormalFaults, ServerFaultsAndBrokenTables) {
    const DamageStep kCore = ClientStep(DamageOp::Delete, "bin/zhcn/lib/core.dll");
    const DamageStep kIni = ClientStep(DamageOp::XorByte, "bin/zhcn/config/client.ini", 10, 1);
    const std::vector<DamageStep> kFive = {
        ClientStep(DamageOp::Delete, "bin/zhcn/3RDPARTY/upper.dll"), ClientStep(DamageOp::Delete, "bin/zhcn/QelClient.exe"),
        kIni, kCore, ClientStep(DamageOp::Delete, "bin/zhcn/lib/render.dll")};
    const std::vector<std::string> kFiveNames = {"3RDPARTY\\upper.dll", "QelClient.exe", "config\\client.ini",
                                                 "lib\\core.dll", "lib\\render.dll"};
    const bool bRules = GetParam() != TransportKind::Nginx;
    std::vector<FaultRow> rows = {
        // A folder index with no folder: only that file stays broken (the table has no CRC).
        {"folder index 9", {kCore, kIni},
         [](PreparedRun& r) { EditInfo(r, [](RepairFileEditor& e) { e.SetTableU32(RepairTable::FileRepair, 4 * 6, 9); }); },
         3, {"config\\client.ini", "lib\\core.dll"}, 4, {"lib\\core.dll"}, {"bin/zhcn/lib/core.dll"}, {}},
        // A whole file-repair table too short for files 6 and 7: those two stay broken.
        {"short file-repair table", kFive,
         [](PreparedRun& r) {
             EditInfo(r, [](RepairFileEditor& e) {
                 e.SetU32(52, 20);
                 e.RecomputeHeaderCrc();
             });
         },
         3, kFiveNames, 4, {"lib\\core.dll", "lib\\render.dll"}, {"bin/zhcn/lib/core.dll", "bin/zhcn/lib/render.dll"},
         {"bytes=0-75", "bytes=76-2289", "bytes=2290-2322", "bytes=2323-2342"}},
        // Names that would leave the client folder: the table is refused.
        {"unsafe names", {},
         [](PreparedRun& r) {
             Bytes table = EncodeFileCheckTable({{"QelClient.exe", 1}, {"..\\evil.dll", 2}});
             GeneratedInfo info;
             Bytes file = AssembleRepairInfo(table, EncodeDirTable({"bin/zhcn"}), EncodeFileRepairTable({0, 0}),
                                             TableLayout::Contiguous, false, &info);
             qn::test::WriteFile(r.m_harness.docroot() + "/" + kServerInfo, file);
         },
         5, {}, -1, {}, {}, {}},
        // No file listed: nothing is corrupt (a share of 0, not 0/0), and the repair fetches
        // nothing.
        {"empty table", {},
         [](PreparedRun& r) {
             GeneratedInfo info;
             Bytes file = AssembleRepairInfo(EncodeFileCheckTable({}), EncodeDirTable({"bin/zhcn"}),
                                             EncodeFileRepairTable({}), TableLayout::Contiguous, false, &info);
             qn::test::WriteFile(r.m_harness.docroot() + "/" + kServerInfo, file);
         },
         3, {}, 4, {}, {}, {"bytes=0-75", "bytes=76-79"}},
    };
    if (bRules) {
        rows.push_back({"file-check table 404", {kCore},
                        [](PreparedRun& r) { AddStatusRule(r.m_served, kInfoPath, "bytes=76-2289", 404); }, 7, {}, -1, {},
                        {"bin/zhcn/lib/core.dll"}, {}});
        rows.push_back({"folder table 404", {kCore, kIni},
                        [](PreparedRun& r) { AddStatusRule(r.m_served, kInfoPath, "bytes=2290-2322", 404); }, 3,
                        {"config\\client.ini", "lib\\core.dll"}, 5, {"config\\client.ini", "lib\\core.dll"},
                        {"bin/zhcn/config/client.ini", "bin/zhcn/lib/core.dll"}, {}});
        rows.push_back({"file-repair entries 404", {kCore},
                        [](PreparedRun& r) { AddStatusRule(r.m_served, kInfoPath, "bytes=2347-2350", 404); }, 3,
                        {"lib\\core.dll"}, 5, {"lib\\core.dll"}, {"bin/zhcn/lib/core.dll"}, {}});
    }
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.name);
        Scenario sc;
        sc.id = row.name;
        sc.steps = row.steps;
        sc.end.differing = row.differing;
        PreparedRun run;
        std::string err;
        bool bSkip = false;
        if (!run.Prepare(GetParam(), &sc, &err, &bSkip)) {
            if (bSkip) GTEST_SKIP() << err;
            FAIL() << err;
        }
        row.edit(run);
        Repairer rep;
        ASSERT_EQ(rep.Init(run), 1);
        EXPECT_EQ(rep.Run(false).status, row.check);
        EXPECT_EQ(rep.Corrupt(), row.corrupt);
        EXPECT_FALSE(std::isnan(rep.m_r.m_fCorruptRatio));
        if (row.repair >= 0) {
            EXPECT_EQ(rep.Run(true).status, row.repair);
            EXPECT_EQ(rep.CanNot(), row.cannot);
        }
        EXPECT_EQ(CheckEndState(sc, run.m_fx.clientRoot, run.m_harness.workRoot()), "");
        EXPECT_EQ(run.m_harness.TempFiles(), std::vector<std::string>());
        // Nothing was written beside the client's folders.
        EXPECT_FALSE(qn::test::FileExists(run.m_harness.workRoot() + "/bin/evil.dll"));
        if (!row.ranges.empty()) {
            std::vector<ExpectedRequest> want;
            for (const std::string& r : row.ranges) want.push_back({kInfoPath, r, false, 1});
            run.Requests(want);
            std::vector<std::string> ranges = run.m_served.RangesFor("/qel_repair.info");
            EXPECT_EQ(ranges, row.ranges);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, NormalFaults, ::testing::ValuesIn(AllTransports()),
                         [](const ::testing::TestParamInfo<TransportKind>& i) { return TransportName(i.param); });

namespace {

class NormalStops : public ::testing::TestWithParam<TransportKind> {};

// Whether the server has received a request for the path (answered or not).
bool HasRequestFor(const PreparedRun& run, const std::string& suffix) {
    if (run.m_served.loopback()) {
        for (const qn::test::RequestRecord& r : run.m_served.loopback()->requests())
            if (r.path.find(suffix) != std::string::npos) return true;
        return false;
    }
    // The stand-in logs a request once it is answered.
    return true;
}

}  // namespace

TEST_P(NormalStops, StopEndsEitherPhaseWithStatus6) {
    // During the check: the file-check table is held back for 2 s.
    {
        PreparedRun run;
        std::string err;
        bool bSkip = false;
        ASSERT_TRUE(run.Prepare(GetParam(), nullptr, &err, &bSkip)) << err;
        run.m_served.AddDelay({"/qel_repair.info", "bytes=76-2289", 2000});
        Repairer rep;
        ASSERT_EQ(rep.Init(run), 1);
        PhaseRun check = rep.Run(false, [&] { rep.m_r.m_nStatusCode = QN_RFSC_ERROR_ABROT; }, 300);
        EXPECT_EQ(check.status, QN_RFSC_ERROR_ABROT);
        EXPECT_TRUE(rep.Corrupt().empty());
    }
    // During the repair: the good copy is held back for 30 s; the session is aborted.
    {
        Scenario sc = *FindScenario("D5");
        PreparedRun run;
        std::string err;
        bool bSkip = false;
        ASSERT_TRUE(run.Prepare(GetParam(), &sc, &err, &bSkip)) << err;
        Repairer rep;
        ASSERT_EQ(rep.Init(run), 1);
        ASSERT_EQ(rep.Run(false).status, QN_RFSC_SUCCESS_FINISH_CHECK);
        run.m_served.AddDelay({"/lib/core.dll", "", 30000});
        run.m_served.ClearRequests();
        ASSERT_EQ(rep.m_r.StartRepair(), 1);
        // The session is under way once the server has the request.
        ASSERT_TRUE(WaitUntil([&] { return rep.m_r.m_fRepairProgress.load() >= 0.1f && HasRequestFor(run, "/lib/core.dll"); },
                            10000));
        const auto t0 = std::chrono::steady_clock::now();
        rep.m_r.UnInit();
        const auto waited = std::chrono::steady_clock::now() - t0;
        EXPECT_LT(waited, std::chrono::seconds(10)) << "the stop waited for the held-back download";
        EXPECT_EQ(rep.m_r.m_nStatusCode.load(), QN_RFSC_ERROR_ABROT);
        EXPECT_EQ(rep.CanNot(), std::vector<std::string>{"lib\\core.dll"});
        EXPECT_EQ(rep.m_r.m_fRepairProgress.load(), 1.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, NormalStops, ::testing::Values(TransportKind::Fake, TransportKind::Loopback),
                         [](const ::testing::TestParamInfo<TransportKind>& i) { return TransportName(i.param); });

// A phase run again on the same repairer starts its progress over before the status shows it
// as running: a caller polling from the start never sees the last phase's 1.0 and then a
// lower value. Every later fetch of the repair information is held back, so neither phase
// below writes a progress value of its own before it is stopped.
TEST(NormalRepairProgress, ARepeatedPhaseStartsFromZero) {
    Scenario sc = *FindScenario("D5");
    PreparedRun run;
    std::string err;
    bool bSkip = false;
    ASSERT_TRUE(run.Prepare(TransportKind::Fake, &sc, &err, &bSkip)) << err;
    Repairer rep;
    ASSERT_EQ(rep.Init(run), 1);
    ASSERT_EQ(rep.Run(false).status, QN_RFSC_SUCCESS_FINISH_CHECK);
    ASSERT_EQ(rep.Run(true).status, QN_RFSC_SUCCESS_FINISH_REPAIR);
    qn::test::WriteFile(run.m_harness.binPath() + "lib/core.dll", "broken again");
    ASSERT_EQ(rep.Run(false).status, QN_RFSC_SUCCESS_FINISH_CHECK);
    ASSERT_EQ(rep.m_r.m_fRepairProgress.load(), 1.0f);
    run.m_served.AddDelay({"/qel_repair.info", "", 60000});

    ASSERT_EQ(rep.m_r.StartRepair(), 1);
    EXPECT_EQ(rep.m_r.m_fRepairProgress.load(), 0.0f);
    rep.m_r.UnInit();
    ASSERT_EQ(rep.m_r.m_fCheckProgress.load(), 1.0f);
    ASSERT_EQ(rep.m_r.StartCheck(), 1);
    EXPECT_EQ(rep.m_r.m_fCheckProgress.load(), 0.0f);
    rep.m_r.UnInit();
}

// Putting a file in place: a stale download target left by a killed run, the permission bits
// of the file replaced, a temporary folder on another file system, and an empty listed file.
TEST(NormalRepairPlacement, FilesGoIntoPlaceWhole) {
    struct Row {
        const char* name;
        bool staleTarget;
        bool otherFileSystem;
        uint32_t mode;  // of the broken file before the repair; 0: not changed
    } rows[] = {
        {"stale target", true, false, 0},
        {"permission bits", false, false, 0600},
        {"another file system", false, true, 0640},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scenario sc = *FindScenario("D6");
        PreparedRun run;
        std::string err;
        bool bSkip = false;
        ASSERT_TRUE(run.Prepare(TransportKind::Loopback, &sc, &err, &bSkip)) << err;
        std::string temp = run.m_harness.repairTempPath();
        std::unique_ptr<qn::test::TempDir> shm;
        if (row.otherFileSystem) {
            struct stat a, b;
            if (stat("/dev/shm", &b) != 0 || stat(run.m_harness.workRoot().c_str(), &a) != 0 || a.st_dev == b.st_dev) {
                std::cout << "no second file system here; the row is skipped\n";
                continue;
            }
            setenv("TMPDIR", "/dev/shm", 1);
            shm = std::make_unique<qn::test::TempDir>();
            unsetenv("TMPDIR");
            temp = shm->path() + "/QelRepairTemp/";
        }
        const std::string dest = run.m_harness.binPath() + "config/client.ini";
        if (row.staleTarget) qn::test::WriteFile(temp + "config/client.ini", std::string(300, '\0'));
        if (row.mode) {
            ASSERT_EQ(chmod(dest.c_str(), row.mode), 0);
        }
        Repairer rep;
        ASSERT_EQ(rep.Init(run, temp), 1);
        ASSERT_EQ(rep.Run(false).status, QN_RFSC_SUCCESS_FINISH_CHECK);
        ASSERT_EQ(rep.Run(true).status, QN_RFSC_SUCCESS_FINISH_REPAIR);
        EXPECT_TRUE(rep.CanNot().empty());
        EXPECT_EQ(CheckEndState(sc, run.m_fx.clientRoot, run.m_harness.workRoot()), "");
        EXPECT_EQ(qn::test::ListFiles(temp), std::vector<std::string>());
        EXPECT_FALSE(qn::test::FileExists(dest + ".qncopy"));
        if (row.mode) {
            struct stat st;
            ASSERT_EQ(stat(dest.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, row.mode);
        }
    }
}

TEST(NormalRepairPlacement, AnEmptyListedFileIsGood) {
    PreparedRun run;
    std::string err;
    bool bSkip = false;
    ASSERT_TRUE(run.Prepare(TransportKind::Fake, nullptr, &err, &bSkip, FixtureId::F1e)) << err;
    Repairer rep;
    ASSERT_EQ(rep.Init(run), 1);
    EXPECT_EQ(rep.Run(false).status, QN_RFSC_SUCCESS_FINISH_CHECK);
    EXPECT_TRUE(rep.Corrupt().empty());
    // Broken, it is repaired like any other file.
    qn::test::WriteFile(run.m_harness.binPath() + "empty.txt", "x");
    ASSERT_EQ(rep.Run(false).status, QN_RFSC_SUCCESS_FINISH_CHECK);
    EXPECT_EQ(rep.Corrupt(), std::vector<std::string>{"empty.txt"});
    EXPECT_EQ(rep.Run(true).status, QN_RFSC_SUCCESS_FINISH_REPAIR);
    EXPECT_TRUE(rep.CanNot().empty());
    EXPECT_EQ(qn::test::ReadFile(run.m_harness.binPath() + "empty.txt"), "");
}

// A UTF-8 name from the table is found locally under that name, and its good copy is asked for
// with the name's bytes escaped.
TEST(NormalRepairPlacement, NamesAreUtf8PathsAndEscapedInURLs) {
    PreparedRun run;
    std::string err;
    bool bSkip = false;
    ASSERT_TRUE(run.Prepare(TransportKind::Loopback, nullptr, &err, &bSkip)) << err;
    const std::string name = "ui\\\xE7\x95\x8C\xE9\x9D\xA2.ini", local = "ui/\xE7\x95\x8C\xE9\x9D\xA2.ini";
    const std::string good = "[ui]\r\nscale=2\r\n", kept = "kept as it is";
    qn::test::WriteFile(run.m_harness.docroot() + "/qelrepair/zhcn_v3/patch/1.0.1/" + local, good);
    qn::test::WriteFile(run.m_harness.binPath() + "QelClient.exe", kept);  // broken, but listed below as good
    GeneratedInfo info;
    Bytes file = AssembleRepairInfo(EncodeFileCheckTable({{name, Crc32(good)}, {"QelClient.exe", Crc32(kept)}}),
                                    EncodeDirTable({"bin/zhcn", "patch/1.0.1"}), EncodeFileRepairTable({1, 0}),
                                    TableLayout::Contiguous, false, &info);
    qn::test::WriteFile(run.m_harness.docroot() + "/" + kServerInfo, file);
    Repairer rep;
    ASSERT_EQ(rep.Init(run), 1);
    ASSERT_EQ(rep.Run(false).status, QN_RFSC_SUCCESS_FINISH_CHECK);
    ASSERT_EQ(rep.Corrupt(), std::vector<std::string>{name});
    ASSERT_EQ(rep.Run(true).status, QN_RFSC_SUCCESS_FINISH_REPAIR);
    EXPECT_EQ(qn::test::ReadFile(run.m_harness.binPath() + local), good);
    bool seen = false;
    for (const ServedRequest& r : run.m_served.Requests())
        seen |= r.target.rfind("/qelrepair/zhcn_v3/patch/1.0.1/ui/%E7%95%8C%E9%9D%A2.ini", 0) == 0;
    EXPECT_TRUE(seen) << Describe(run.m_served.Requests());
}

// Names that spell a file another way (a leading "." part, a doubled separator) name the file
// below the client folder: the one is checked and repaired in place, the other found good, and
// the rest of the table is checked as well.
TEST(NormalRepairPlacement, NamesWrittenAnotherWayNameTheirFiles) {
    PreparedRun run;
    std::string err;
    bool bSkip = false;
    ASSERT_TRUE(run.Prepare(TransportKind::Loopback, nullptr, &err, &bSkip)) << err;
    const std::string good = "[ui]\r\nscale=2\r\n", other = "[ui]\r\nscale=3\r\n", kept = "kept as it is";
    qn::test::WriteFile(run.m_harness.docroot() + "/qelrepair/zhcn_v3/patch/1.0.1/a.ini", good);
    qn::test::WriteFile(run.m_harness.binPath() + "a.ini", "broken");
    qn::test::WriteFile(run.m_harness.binPath() + "ui/b.ini", other);
    qn::test::WriteFile(run.m_harness.binPath() + "QelClient.exe", kept);
    GeneratedInfo info;
    Bytes file = AssembleRepairInfo(
        EncodeFileCheckTable({{".\\a.ini", Crc32(good)}, {"ui\\\\b.ini", Crc32(other)}, {"QelClient.exe", Crc32(kept)}}),
        EncodeDirTable({"bin/zhcn", "patch/1.0.1"}), EncodeFileRepairTable({1, 1, 0}), TableLayout::Contiguous, false,
        &info);
    qn::test::WriteFile(run.m_harness.docroot() + "/" + kServerInfo, file);
    Repairer rep;
    ASSERT_EQ(rep.Init(run), 1);
    ASSERT_EQ(rep.Run(false).status, QN_RFSC_SUCCESS_FINISH_CHECK);
    ASSERT_EQ(rep.Corrupt(), std::vector<std::string>{".\\a.ini"});
    ASSERT_EQ(rep.Run(true).status, QN_RFSC_SUCCESS_FINISH_REPAIR) << Describe(run.m_served.Requests());
    EXPECT_TRUE(rep.CanNot().empty());
    EXPECT_EQ(qn::test::ReadFile(run.m_harness.binPath() + "a.ini"), good);
    EXPECT_EQ(qn::test::ReadFile(run.m_harness.binPath() + "ui/b.ini"), other);
}
