// The package repairer object: factory and reference counting, the status rules, the phase
// lifecycle, the broken-block list, stopping in every phase, and the download thread's bounds
// after a write failure and behind a slow writer.
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "QNPackageRepair.h"
#include "loopback_http_server.h"
#include "package_test_util.h"

using namespace pkgtest;

namespace {

DamageStep DeletePackage() {
    DamageStep d;
    d.op = DamageOp::Delete;
    d.path = "pakV3";
    return d;
}


// Every byte of every data file equals either what it held before or the good byte.
std::string NoWorse(const std::string& goodDir, const std::vector<Bytes>& before, const std::string& dir) {
    std::string problems;
    for (uint32_t i = 0; i < before.size(); ++i) {
        const Bytes good = qn::test::ReadFile(goodDir + "/" + DataFileName(i));
        const Bytes now = qn::test::ReadFile(dir + "/" + DataFileName(i));
        if (now.size() != before[i].size()) {
            problems += DataFileName(i) + " changed its size\n";
            continue;
        }
        for (size_t k = 0; k < now.size(); ++k)
            if (now[k] != before[i][k] && now[k] != good[k]) {
                problems += DataFileName(i) + " worse at " + std::to_string(k) + "\n";
                break;
            }
    }
    return problems;
}

std::vector<Bytes> DataFiles(const std::string& dir) {
    std::vector<Bytes> out;
    for (uint32_t i = 0; i < 3; ++i) out.push_back(qn::test::ReadFile(dir + "/" + DataFileName(i)));
    return out;
}

}  // namespace

// The rule all three status families follow; 8 to 10 are the other families' specific failures.
TEST(RepairStatusRule, RaiseRules) {
    struct Case {
        int32_t from, target;
        int32_t expected;
    };
    const Case cases[] = {
        {0, 5, 5}, {1, 5, 5}, {2, 5, 5}, {3, 5, 5}, {4, 5, 5}, {5, 5, 5}, {6, 5, 6}, {7, 5, 7}, {10, 5, 10},
        {0, 7, 7}, {1, 7, 7}, {2, 7, 7}, {5, 7, 7}, {6, 7, 6}, {7, 7, 7},
        {1, 8, 8}, {3, 9, 9}, {4, 10, 10}, {5, 8, 8}, {6, 10, 6}, {7, 8, 7}, {9, 7, 9},
        {0, 6, 6}, {1, 6, 6}, {5, 6, 6}, {7, 6, 6}, {10, 6, 6},
        {1, 3, 3}, {0, 3, 0}, {2, 3, 2}, {4, 3, 4}, {6, 3, 6}, {5, 3, 5}, {8, 3, 8},
        {2, 4, 4}, {1, 4, 1}, {3, 4, 3}, {6, 4, 6}, {7, 4, 7},
    };
    for (const Case& c : cases) {
        std::atomic<int32_t> status{c.from};
        const bool changed = QN_RaiseRepairStatus(&status, c.target);
        EXPECT_EQ(status.load(), c.expected) << c.from << " -> " << c.target;
        EXPECT_EQ(changed, c.expected != c.from) << c.from << " -> " << c.target;
    }
}

TEST(PackageRepairObject, FactoryRefusesTextsThatDoNotFit) {
    struct Case {
        const char* name;
        std::wstring folder, url;
        bool created;
    };
    const Case cases[] = {
        {"folder of 259", std::wstring(259, L'f'), L"http://h/", true},
        {"folder of 260", std::wstring(260, L'f'), L"http://h/", false},
        {"URL of 259", L"/tmp/p", std::wstring(259, L'u'), true},
        {"URL of 260", L"/tmp/p", std::wstring(260, L'u'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IQN_PackageRepair* p = nullptr;
        const HRESULT hr = QN_CreatePackageV3Repair(c.folder.c_str(), c.url.c_str(), &p);
        EXPECT_EQ(hr, c.created ? S_OK : E_FAIL);
        EXPECT_EQ(p != nullptr, c.created);
        if (p) {
            EXPECT_EQ(p->GetStatusCode(), QN_RPS_NONE);
            EXPECT_EQ(p->Release(), 0u);
        }
    }
    IQN_PackageRepair* p = nullptr;
    EXPECT_EQ(QN_CreatePackageV3Repair(nullptr, L"http://h/", &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
}

TEST(PackageRepairObject, CountsReferencesAndAnswersNoInterface) {
    WideLogCapture log;
    IQN_PackageRepair* p = nullptr;
    ASSERT_EQ(QN_CreatePackageV3Repair(L"/tmp/none", L"http://127.0.0.1:1/", &p), S_OK);
    EXPECT_EQ(log.Count("The QN_CreatePackageV3Repair is built at"), 1u);
    void* pv = &pv;
    EXPECT_EQ(p->QueryInterface(IID_IUnknown, &pv), E_FAIL);
    EXPECT_EQ(pv, (void*)&pv) << "the out pointer is not written";
    EXPECT_EQ(p->AddRef(), 2u);
    EXPECT_EQ(p->Release(), 1u);
    EXPECT_EQ(p->Release(), 0u);  // destroyed here; the sanitizers check the rest
}

TEST(PackageRepairObject, PhaseOrder) {
    IQN_PackageRepair* p = nullptr;
    ASSERT_EQ(QN_CreatePackageV3Repair(L"/tmp/none", L"http://127.0.0.1:1/", &p), S_OK);
    EXPECT_EQ(p->StartRepair(), E_FAIL) << "a repair needs a finished check";
    EXPECT_EQ(p->GetStatusCode(), QN_RPS_ERROR_FAILED);
    EXPECT_EQ(p->Stop(), S_OK);
    EXPECT_EQ(p->GetStatusCode(), QN_RPS_ERROR_ABROT);
    EXPECT_FLOAT_EQ(p->GetCheckProgress(), 0.0f);
    EXPECT_EQ(p->GetBrokenElemFileCount(), 0u);
    EXPECT_EQ(p->GetCanNotRepairElemFileCount(), 0u);
    QNPK_BROKEN_ELEM_FILE_LIST list = {{1, 2, 3}};
    EXPECT_TRUE(p->GetBrokenElemFileList(&list));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(p->GetBrokenElemFileList(nullptr));
    p->Release();
}

TEST(PackageRepairObject, ChecksAndRepairsAgainOnTheSameObject) {
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({DeletePackage()}), TransportKind::Loopback,
                            &skip, &err))
        << err;
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    // A second StartCheck waits for the first check and starts over.
    ASSERT_EQ(p->StartCheck(), S_OK);
    ASSERT_EQ(p->StartCheck(), S_OK);
    ASSERT_TRUE(qn::test::WaitUntil([p] { return p->GetStatusCode() != QN_RPS_CHECKING; }, 30000));
    ASSERT_EQ(p->GetStatusCode(), QN_RPS_SUCCESS_FINISH_CHECK);
    EXPECT_EQ(p->GetBrokenElemFileCount(), 18u);

    // Every block is broken: the list holds all of them in table order.
    QNPK_BROKEN_ELEM_FILE_LIST list;
    ASSERT_TRUE(p->GetBrokenElemFileList(&list));
    const GeneratedInfo& g = run.fixture().info;
    ASSERT_EQ(list.size(), g.blocks.size());
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].ullAddress, g.blocks[i].address);
        EXPECT_EQ(list[i].ullSize, g.blocks[i].size);
        EXPECT_EQ(list[i].uCRC32, g.blocks[i].crc);
    }

    ASSERT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
    // The block step joined its download thread, so the next repair can start one again.
    Bytes before = qn::test::ReadFile(run.PackageDir() + "/Package1.DAT");
    before[1000] ^= 0x01;
    qn::test::WriteFile(run.PackageDir() + "/Package1.DAT", before);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    EXPECT_EQ(p->GetBrokenElemFileCount(), 1u) << "a second check starts from empty findings";
    ASSERT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
    EXPECT_EQ(CheckEndState(Scenario(), run.fixture().clientRoot, run.harness().workRoot()), "");
}

// A "Package.CFG.qnwrite" that a killed run left goes at the next check, also when nothing is
// broken and nothing is written, and before the configuration is rewritten; a link at that
// name is removed itself and what it points to stays.
TEST(PackageRepairObject, StaleConfigurationSideFileIsRemoved) {
    struct Row {
        const char* cszScenario;
        bool bLink;
        bool bRepair;
    } rows[] = {{"D0", false, false}, {"D0", true, false}, {"D8", false, true}, {"D8", true, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.cszScenario) + (r.bLink ? " link" : " file"));
        PackageRun run;
        bool skip = false;
        std::string err;
        ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, *FindScenario(r.cszScenario),
                                TransportKind::Fake, &skip, &err))
            << err;
        qn::test::TempDir outside;
        qn::test::WriteFile(outside / "victim", "outside bytes");
        const std::string side = run.PackageDir() + "/Package.CFG.qnwrite";
        if (r.bLink)
            ASSERT_EQ(::symlink((outside / "victim").c_str(), side.c_str()), 0);
        else
            qn::test::WriteFile(side, std::string(100, 'c'));
        IQN_PackageRepair* p = run.Create();
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
        struct stat st;
        EXPECT_NE(::lstat(side.c_str(), &st), 0);
        if (r.bRepair) {
            ASSERT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
            EXPECT_NE(::lstat(side.c_str(), &st), 0);
            EXPECT_EQ(CheckEndState(Scenario(), run.fixture().clientRoot, run.harness().workRoot()), "");
        }
        EXPECT_EQ(qn::test::ReadFile(outside / "victim"), "outside bytes");
    }
}

// A phase run again on the same object starts its progress over before the status shows it as
// running: a caller polling from the start never sees the last phase's 1.0 and then a lower
// value. Each phase is held at a gate in its middle, where its progress is below 1.
TEST(PackageRepairObject, ProgressOfARepeatedPhaseNeverGoesBack) {
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({}), TransportKind::Loopback, &skip, &err))
        << err;
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    const std::string strData = run.PackageDir() + "/Package1.DAT";
    auto breakOneBlock = [&] {
        Bytes bytes = qn::test::ReadFile(strData);
        bytes[1000] ^= 0x01;
        qn::test::WriteFile(strData, bytes);
    };
    breakOneBlock();
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    ASSERT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
    ASSERT_EQ(p->GetCheckProgress(), 1.0f);
    ASSERT_EQ(p->GetRepairProgress(), 1.0f);
    breakOneBlock();

    struct Phase {
        const char* name;
        const char* step;
        bool repair;
    } phases[] = {{"check", "check-block", false}, {"repair", "write", true}};
    for (const Phase& ph : phases) {
        SCOPED_TRACE(ph.name);
        auto progress = [&] { return ph.repair ? p->GetRepairProgress() : p->GetCheckProgress(); };
        GateScope gate(ph.step, 0);
        ASSERT_EQ(ph.repair ? p->StartRepair() : p->StartCheck(), S_OK);
        const float fAtStart = progress();
        ASSERT_TRUE(gate.WaitReached());
        const float fHeld = progress();
        EXPECT_LT(fHeld, 1.0f);
        EXPECT_LE(fAtStart, fHeld) << "the progress went back";
        gate.Release();
        const int32_t nRunning = ph.repair ? QN_RPS_REPAIRING : QN_RPS_CHECKING;
        ASSERT_TRUE(qn::test::WaitUntil([&] { return p->GetStatusCode() != nRunning; }, 30000));
        EXPECT_EQ(p->GetStatusCode(), ph.repair ? QN_RPS_SUCCESS_FINISH_REPAIR : QN_RPS_SUCCESS_FINISH_CHECK);
        EXPECT_EQ(progress(), 1.0f);
    }
}

// Stop while a step holds: the step's thread waits at a gate until Stop has set the status,
// then goes on and must end at its next test. Stop returns only after every thread of the
// repairer has ended; the data files are no worse than before the phase.
struct StopRow {
    const char* name;
    bool repairPhase;
    std::string step;
    uint32_t index;
    float maxProgress;
};

void PrintTo(const StopRow& row, std::ostream* os) { *os << row.name; }

class PackageStop : public ::testing::TestWithParam<StopRow> {};

TEST_P(PackageStop, EndsWithStatusSixAndNoDataFileWorse) {
    const StopRow& row = GetParam();
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({DeletePackage()}), TransportKind::Loopback,
                            &skip, &err))
        << err;
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    if (row.repairPhase) {
        ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    }
    const std::vector<Bytes> before = row.repairPhase ? DataFiles(run.PackageDir()) : std::vector<Bytes>();

    WideLogCapture log;
    GateScope gate(row.step, row.index);
    ASSERT_EQ(row.repairPhase ? p->StartRepair() : p->StartCheck(), S_OK);
    ASSERT_TRUE(gate.WaitReached());
    std::atomic<bool> stopped{false};
    std::thread stopper([p, &stopped] {
        p->Stop();
        stopped = true;
    });
    ASSERT_TRUE(qn::test::WaitUntil([p] { return p->GetStatusCode() == QN_RPS_ERROR_ABROT; }, 30000));
    EXPECT_FALSE(stopped.load()) << "Stop returned while the work thread was still held";
    gate.Release();
    const bool ended = qn::test::WaitUntil([&stopped] { return stopped.load(); }, 30000);
    stopper.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(qn::testing::GetLivePackageRepairThreadCount(), 0);
    EXPECT_EQ(p->GetStatusCode(), QN_RPS_ERROR_ABROT);
    const float progress = row.repairPhase ? p->GetRepairProgress() : p->GetCheckProgress();
    EXPECT_LE(progress, row.maxProgress);
    if (row.repairPhase) {
        EXPECT_EQ(NoWorse(run.fixture().clientRoot + "/pakV3", before, run.PackageDir()), "");
    } else {
        // The stop test's line reads as written in the source, without the atomic's load.
        EXPECT_TRUE(log.Contains("QNLOG_PROCESS_ERROR(m_eStatusCode != QN_RPS_ERROR_ABROT) at line"));
        // Every data file was made by this check, so the stopped check leaves none behind.
        for (uint32_t i = 0; i < run.fixture().info.dataFileCount; ++i)
            EXPECT_NE(::access((run.PackageDir() + "/" + DataFileName(i)).c_str(), F_OK), 0) << DataFileName(i);
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, PackageStop,
                         ::testing::Values(StopRow{"block check", false, "check-block", 3, 0.9f},
                                           StopRow{"region check", false, "check-region", 2, 0.9f},
                                           StopRow{"write loop", true, "write", 1, 0.9f}),
                         [](const ::testing::TestParamInfo<StopRow>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 name.push_back(std::isalnum((unsigned char)*c) ? *c : '_');
                             return name;
                         });

// F2 widened to six 1 MiB blocks in one source: three batches of 2 MiB.
GeneratorOptions SixBlockOptions(PackageLayout* pLayout) {
    *pLayout = PackageLayoutOf(FixtureId::F2);
    pLayout->dataFileSize = 8ull << 20;
    pLayout->blocks.clear();
    SourceLayout s;
    s.id = 1;
    for (uint32_t i = 0; i < 6; ++i) {
        pLayout->blocks.push_back({0, (uint64_t)i << 20, 1ull << 20});
        s.entries.push_back({i, 0});
    }
    GeneratorOptions opt = GeneratorOptionsOf(FixtureId::F2);
    opt.sources = {s};
    return opt;
}

class SixBlockPackage : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string root = m_tmp.path() + "/fx";
        PackageLayout layout;
        GeneratorOptions opt = SixBlockOptions(&layout);
        std::string err;
        BuiltFixture fx;
        ASSERT_TRUE(MakePackage(layout, root + "/client", &fx.manifest, &err)) << err;
        qn::test::WriteFile(root + "/client/bin/zhcn/a.txt", "abc");
        fx.clientRoot = root + "/client";
        fx.docroot = root + "/www";
        ASSERT_TRUE(GenerateServerTree(fx.clientRoot, &fx.manifest, fx.docroot, opt, &fx.info, &err)) << err;
        m_fx = fx;
        m_work = m_tmp.path() + "/work";
        ASSERT_TRUE(CopyTree(fx.clientRoot, m_work, &err)) << err;
        ASSERT_TRUE(DeletePath(m_work + "/pakV3/Package0.DAT", &err)) << err;
        ASSERT_TRUE(m_served.Start(TransportKind::Loopback, fx.docroot, &err)) << err;
        const std::wstring dir = QN_Utf8ToWide(m_work + "/pakV3");
        const std::wstring url = QN_Utf8ToWide(m_served.UrlPrefix() + "PakV3Repair/");
        ASSERT_EQ(QN_CreatePackageV3Repair(dir.c_str(), url.c_str(), &m_p), S_OK);
        PhaseControl c;
        c.start = [this] { return SUCCEEDED(m_p->StartCheck()); };
        c.status = [this] { return m_p->GetStatusCode(); };
        c.poll = std::chrono::milliseconds(10);
        ASSERT_EQ(RunPhase(c).status, QN_RPS_SUCCESS_FINISH_CHECK);
        ASSERT_EQ(m_p->GetBrokenElemFileCount(), 7u);  // six blocks and the one region
    }
    void TearDown() override {
        qn::testing::SetPackageDownloadQueueLimit(0);
        qn::testing::SetPackageRepairStepHook(nullptr);
        if (m_p) m_p->Release();
        m_served.Stop();
    }
    std::vector<std::string> SourceRanges() const { return m_served.RangesFor("/UpdateFiles/0-1.UPDATE"); }

    qn::test::TempDir m_tmp;
    BuiltFixture m_fx;
    std::string m_work;
    ServedTree m_served;
    IQN_PackageRepair* m_p = nullptr;
};

// With room for one batch only, the download thread waits for the writer before it fetches
// the next one: while the first write is held, one range has been fetched.
TEST_F(SixBlockPackage, DownloadThreadWaitsWhileTooMuchIsQueued) {
    qn::testing::SetPackageDownloadQueueLimit(2ull << 20);
    g_nQueueFullCalls = 0;
    // The gate outlives the phase: both threads call the hook until they end.
    GateScope gate("write", 0);
    ASSERT_EQ(m_p->StartRepair(), S_OK);
    ASSERT_TRUE(gate.WaitReached());
    ASSERT_TRUE(qn::test::WaitUntil([] { return g_nQueueFullCalls.load() > 0; }, 30000));
    EXPECT_EQ(SourceRanges(), std::vector<std::string>{"bytes=0-2097151"});
    gate.Release();
    ASSERT_TRUE(qn::test::WaitUntil([this] { return m_p->GetStatusCode() != QN_RPS_REPAIRING; }, 30000));
    EXPECT_EQ(m_p->GetStatusCode(), QN_RPS_SUCCESS_FINISH_REPAIR);
    EXPECT_EQ(SourceRanges(), (std::vector<std::string>{"bytes=0-2097151", "bytes=2097152-4194303",
                                                        "bytes=4194304-6291455"}));
    EXPECT_EQ(qn::test::ReadFile(m_work + "/pakV3/Package0.DAT"),
              qn::test::ReadFile(m_fx.clientRoot + "/pakV3/Package0.DAT"));
}

// A block that fails its checksum stops the write loop; the download thread fetches nothing
// after that, the phase ends with 5 only once both threads are done, and the bad block is not
// written.
TEST_F(SixBlockPackage, WriteFailureStopsTheDownloadThread) {
    namespace step = qn::test::http_step;
    // The first batch carries a wrong byte in block 1; the second batch is slow.
    m_served.loopback()->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                                {[](qn::test::Plan& plan, const qn::test::RequestRecord& req) {
                                    if (req.header("Range") == "bytes=0-2097151") step::Corrupt((1 << 20) + 10)(plan, req);
                                    if (req.header("Range") == "bytes=2097152-4194303") plan.stallBeforeHeadersMs = 1000;
                                }});
    ASSERT_EQ(m_p->StartRepair(), S_OK);
    ASSERT_TRUE(qn::test::WaitUntil([this] { return m_p->GetStatusCode() != QN_RPS_REPAIRING; }, 30000));
    EXPECT_EQ(m_p->GetStatusCode(), QN_RPS_ERROR_FAILED);
    EXPECT_LE(qn::testing::GetLivePackageRepairThreadCount(), 1);  // the work thread may still be returning
    m_p->Release();  // at once: nothing of the repairer may still run afterwards
    m_p = nullptr;
    EXPECT_EQ(qn::testing::GetLivePackageRepairThreadCount(), 0);
    const std::vector<std::string> ranges = SourceRanges();
    EXPECT_LE(ranges.size(), 2u) << "nothing is fetched after the failed write";
    const Bytes now = qn::test::ReadFile(m_work + "/pakV3/Package0.DAT");
    const Bytes good = qn::test::ReadFile(m_fx.clientRoot + "/pakV3/Package0.DAT");
    EXPECT_EQ(now.substr(0, 1 << 20), good.substr(0, 1 << 20)) << "block 0 verified and written";
    EXPECT_EQ(now.substr(1 << 20, 1 << 20), Bytes(1 << 20, '\0')) << "block 1 left as it was";
}

// Stop while the download thread waits for a held writer: both threads end, Stop returns, and
// the data file is no worse.
TEST_F(SixBlockPackage, StopWhileTheDownloadThreadWaitsForTheWriter) {
    qn::testing::SetPackageDownloadQueueLimit(2ull << 20);
    g_nQueueFullCalls = 0;
    const std::vector<Bytes> before = {qn::test::ReadFile(m_work + "/pakV3/Package0.DAT")};
    GateScope gate("write", 0);
    ASSERT_EQ(m_p->StartRepair(), S_OK);
    ASSERT_TRUE(gate.WaitReached());
    ASSERT_TRUE(qn::test::WaitUntil([] { return g_nQueueFullCalls.load() > 0; }, 30000));
    std::atomic<bool> stopped{false};
    std::thread stopper([this, &stopped] {
        m_p->Stop();
        stopped = true;
    });
    ASSERT_TRUE(qn::test::WaitUntil([this] { return m_p->GetStatusCode() == QN_RPS_ERROR_ABROT; }, 30000));
    gate.Release();
    const bool ended = qn::test::WaitUntil([&stopped] { return stopped.load(); }, 30000);
    stopper.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(qn::testing::GetLivePackageRepairThreadCount(), 0);
    EXPECT_EQ(m_p->GetStatusCode(), QN_RPS_ERROR_ABROT);
    EXPECT_EQ(SourceRanges(), std::vector<std::string>{"bytes=0-2097151"});
    EXPECT_EQ(NoWorse(m_fx.clientRoot + "/pakV3", before, m_work + "/pakV3"), "");
}
