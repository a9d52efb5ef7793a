// The coordinator with a scripted stand-in of the package repairer (injected through the
// factory hook) and the real ordinary-file repairer over the stand-in transport: Init's
// refusals, the package repair URL of the development switch, the status folds, stops and
// shutdown (there also with the real package repairer), and the results.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "QN_LogStream.h"
#include "QN_RepairClientResource.h"
#include "engine_test_util.h"
#include "qn_log_capture.h"
#include "repair_test_hooks.h"

using namespace qn::kit;
using namespace qn::enginetest;

namespace {

// What the stand-in does in one phase: how long it runs, where it ends, and its progress.
struct DoublePhase {
    int finalStatus = QN_RPS_SUCCESS_FINISH_CHECK;
    uint32_t runMs = 50;
};

struct DoubleScript {
    DoublePhase check;
    DoublePhase repair{QN_RPS_SUCCESS_FINISH_REPAIR, 50};
    uint32_t broken = 0;
    uint32_t cannotRepair = 0;
};

// A package repairer that runs each phase on a thread of its own for a set time. As the real
// one, Stop ends a running phase and waits for it, and the last Release waits for a running
// phase without stopping it.
class DoublePackageRepair final : public IQN_PackageRepair {
public:
    explicit DoublePackageRepair(const DoubleScript& script) : m_script(script) {}

    HRESULT QueryInterface(REFIID, void**) override { return E_FAIL; }
    uint32_t AddRef() override { return (uint32_t)++m_nRef; }
    uint32_t Release() override {
        int n = --m_nRef;
        if (n == 0) {
            Join();
            ++s_destroyed;
            delete this;
        }
        return (uint32_t)n;
    }
    HRESULT StartCheck() override { return Start(QN_RPS_CHECKING, m_script.check); }
    HRESULT StartRepair() override { return Start(QN_RPS_REPAIRING, m_script.repair); }
    HRESULT Stop() override {
        ++s_stops;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
            if (m_thread.joinable()) m_status = QN_RPS_ERROR_ABROT;
        }
        m_cv.notify_all();
        Join();
        return S_OK;
    }
    int GetStatusCode() override {
        int n = m_status.load();
        // A caller's stop that arrives just as this repairer reports the end of its phase. The
        // end is reported only from the poll after the one that found the ordinary-file
        // repairer ended (the coordinator reads that status first), so the poll that gets the
        // stop sees both repairers ended, however slow the ordinary-file phase was.
        std::atomic<int32_t>* pStop = s_pStopOnFinalRead.load();
        if ((n == QN_RPS_SUCCESS_FINISH_CHECK || n == QN_RPS_SUCCESS_FINISH_REPAIR) && pStop) {
            const int32_t nRunning = n == QN_RPS_SUCCESS_FINISH_CHECK ? QN_RPS_CHECKING : QN_RPS_REPAIRING;
            const int32_t nNormal = s_pNormalStatus.load() ? s_pNormalStatus.load()->load() : QN_RFSC_SUCCESS_FINISH_CHECK;
            const bool bNormalEnded = nNormal == QN_RFSC_SUCCESS_FINISH_CHECK || nNormal == QN_RFSC_SUCCESS_FINISH_REPAIR;
            if (!m_bNormalSeenEnded) {
                m_bNormalSeenEnded = bNormalEnded;
                return nRunning;
            }
            if (s_pStopOnFinalRead.compare_exchange_strong(pStop, nullptr)) pStop->store(QN_RCRSC_ERROR_ABROT);
        }
        return n;
    }
    float GetCheckProgress() override { return m_fCheck.load(); }
    float GetRepairProgress() override { return m_fRepair.load(); }
    uint32_t GetBrokenElemFileCount() override { return m_script.broken; }
    bool GetBrokenElemFileList(QNPK_BROKEN_ELEM_FILE_LIST* p) override {
        if (p) p->clear();
        return p != nullptr;
    }
    uint32_t GetCanNotRepairElemFileCount() override { return m_script.cannotRepair; }

    static std::atomic<int> s_stops, s_destroyed;
    static std::atomic<std::atomic<int32_t>*> s_pStopOnFinalRead;
    // The ordinary-file repairer's status, looked at before that stop is written.
    static std::atomic<std::atomic<int32_t>*> s_pNormalStatus;

private:
    ~DoublePackageRepair() = default;
    HRESULT Start(int running, const DoublePhase& phase) {
        Join();
        m_bStop = false;
        m_bNormalSeenEnded = false;
        m_status = running;
        std::atomic<float>& progress = running == QN_RPS_CHECKING ? m_fCheck : m_fRepair;
        progress = 0.0f;
        m_thread = std::thread([this, phase, &progress] {
            std::unique_lock<std::mutex> lock(m_mutex);
            bool stopped = m_cv.wait_for(lock, std::chrono::milliseconds(phase.runMs), [this] { return m_bStop; });
            progress = 1.0f;
            if (!stopped) m_status = phase.finalStatus;
        });
        return S_OK;
    }
    void Join() {
        if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    }

    DoubleScript m_script;
    std::atomic<int> m_nRef{1};
    std::atomic<int> m_status{QN_RPS_NONE};
    std::atomic<float> m_fCheck{0.0f}, m_fRepair{0.0f};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bStop = false;
    std::atomic<bool> m_bNormalSeenEnded{false};
    std::thread m_thread;
};

std::atomic<int> DoublePackageRepair::s_stops{0};
std::atomic<int> DoublePackageRepair::s_destroyed{0};
std::atomic<std::atomic<int32_t>*> DoublePackageRepair::s_pStopOnFinalRead{nullptr};
std::atomic<std::atomic<int32_t>*> DoublePackageRepair::s_pNormalStatus{nullptr};

// The factory hook's state: the script of the next stand-in, and what it was called with.
struct FactoryState {
    DoubleScript script;
    bool fail = false;
    std::wstring folder, url;
    int calls = 0;
};
FactoryState g_factory;

HRESULT DoubleFactory(const wchar_t* folder, const wchar_t* url, IQN_PackageRepair** ppRet) {
    ++g_factory.calls;
    g_factory.folder = folder ? folder : L"";
    g_factory.url = url ? url : L"";
    if (g_factory.fail) return E_FAIL;
    *ppRet = new DoublePackageRepair(g_factory.script);
    return S_OK;
}

class CoordinatorDouble : public ::testing::Test {
protected:
    void SetUp() override {
        g_factory = FactoryState();
        DoublePackageRepair::s_stops = 0;
        DoublePackageRepair::s_destroyed = 0;
        qn::testing::SetPackageRepairFactory(&DoubleFactory);
    }
    void TearDown() override { qn::testing::SetPackageRepairFactory(nullptr); }

    // A run of the kit's scenario over the stand-in transport.
    void Prepare(const char* id) {
        std::string err;
        bool bSkip = false;
        const Scenario* sc = id ? FindScenario(id) : nullptr;
        ASSERT_TRUE(!id || sc) << id;
        ASSERT_TRUE(m_run.Prepare(TransportKind::Fake, sc, &err, &bSkip)) << err;
    }
    int Init(QN_RepairClientResource& c) {
        int n = c.Init("zhcn", m_run.m_harness.binPath().c_str(), m_run.m_harness.repairTempPath().c_str(),
                       m_run.m_served.UrlPrefix().c_str(), (m_run.m_harness.workRoot() + "/").c_str(), 3);
        for (const std::string& f : ClientIgnoreFiles()) c.AddIgnoreNormalFile(f.c_str());
        for (const std::string& d : ClientIgnoreDirectories()) c.AddIgnoreNormalDirectory(d.c_str());
        return n;
    }
    static PhaseRun Run(QN_RepairClientResource& c, bool bRepair, int stopAfterMs = -1) {
        PhaseControl pc;
        pc.start = [&] { return (bRepair ? c.StartRepair() : c.StartCheck()) == 1; };
        pc.status = [&] { return (int)c.m_nStatusCode.load(); };
        pc.runningStatus = bRepair ? QN_RCRSC_REPAIRING : QN_RCRSC_CHECKING;
        if (stopAfterMs >= 0) {
            pc.stop = [&] { c.m_nStatusCode = QN_RCRSC_ERROR_ABROT; };
            pc.stopAfter = std::chrono::milliseconds(stopAfterMs);
        }
        return RunPhase(pc);
    }

    PreparedRun m_run;
};

std::vector<std::string> ToVector(const std::list<std::string>& l) { return {l.begin(), l.end()}; }

}  // namespace

// Every combination of the two repairers' statuses, in both phases. 'w': poll again; a digit
// (X for 10): the phase ends with that status.
TEST(CoordinatorFold, EveryStatusPair) {
    const char* const checkRunning[9] = {"wwwww997", "wwwww997", "wwwww997", "www3w997", "wwwww997",
                                         "88888888", "88888888", "77777777", "88888888"};
    // Once the own status holds a failure or a stop, only both checks finishing still counts.
    const char* const checkStopped[9] = {"wwwwwwww", "wwwwwwww", "wwwwwwww", "www3wwww", "wwwwwwww",
                                         "wwwwwwww", "wwwwwwww", "wwwwwwww", "wwwwwwww"};
    const char* const repair[9] = {"wwwwwwww", "wwwwwwww", "wwwwwwww", "wwwwwwww", "wwww4997",
                                   "wwww8887", "wwww8887", "wwww7777", "XXXXXXXX"};
    auto code = [](QN_RepairClientResource::FoldResult r) -> char {
        if (r.eAction == QN_RepairClientResource::FOLD_WAIT) return 'w';
        return r.nStatus == 10 ? 'X' : (char)('0' + r.nStatus);
    };
    for (int N = 0; N <= 8; ++N) {
        for (int P = 0; P <= 7; ++P) {
            SCOPED_TRACE("N=" + std::to_string(N) + " P=" + std::to_string(P));
            EXPECT_EQ(code(QN_RepairClientResource::FoldCheck(N, P, QN_RCRSC_CHECKING)), checkRunning[N][P]);
            EXPECT_EQ(code(QN_RepairClientResource::FoldCheck(N, P, QN_RCRSC_ERROR_ABROT)), checkStopped[N][P]);
            EXPECT_EQ(code(QN_RepairClientResource::FoldCheck(N, P, QN_RCRSC_ERROR_FAILED)), checkStopped[N][P]);
            EXPECT_EQ(code(QN_RepairClientResource::FoldRepair(N, P)), repair[N][P]);
            QN_RepairClientResource::FoldResult c = QN_RepairClientResource::FoldCheck(N, P, QN_RCRSC_CHECKING);
            if (c.eAction == QN_RepairClientResource::FOLD_SUCCESS) {
                EXPECT_EQ(c.nStatus, QN_RCRSC_SUCCESS_FINISH_CHECK);
            }
        }
    }
}

TEST_F(CoordinatorDouble, InitRefusalsUndoEverything) {
    Prepare(nullptr);
    const std::string bin = m_run.m_harness.binPath(), temp = m_run.m_harness.repairTempPath(),
                      url = m_run.m_served.UrlPrefix(), root = m_run.m_harness.workRoot() + "/";
    const std::string longRoot = "/" + std::string(254, 'r');  // 255 characters: the folder is 260
    const std::string fitRoot = "/" + std::string(253, 'r');   // the folder is 259
    struct Row {
        const char *type, *bin, *temp, *url;
        std::string root;
        uint32_t pak;
        bool factoryFails;
        const char* line;  // the failure text
        bool normalInit;   // the ordinary-file repairer was initialised (and is stopped again)
    } rows[] = {
        {nullptr, bin.c_str(), temp.c_str(), url.c_str(), root, 3, false, "cszVersionType", false},
        {"", bin.c_str(), temp.c_str(), url.c_str(), root, 3, false, "cszVersionType[0]", false},
        {"zhcn", nullptr, temp.c_str(), url.c_str(), root, 3, false, "cszClientPath", false},
        {"zhcn", "", temp.c_str(), url.c_str(), root, 3, false, "cszClientPath[0]", false},
        {"zhcn", bin.c_str(), nullptr, url.c_str(), root, 3, false, "cszTempFilePath", false},
        {"zhcn", bin.c_str(), "", url.c_str(), root, 3, false, "cszTempFilePath[0]", false},
        {"zhcn", bin.c_str(), temp.c_str(), nullptr, root, 3, false, "cszURLPrefix", false},
        {"zhcn", bin.c_str(), temp.c_str(), "", root, 3, false, "cszURLPrefix[0]", false},
        {"zhcn", bin.c_str(), temp.c_str(), url.c_str(), root, 1, false, "m_uPakVersion == 3", true},
        {"zhcn", bin.c_str(), temp.c_str(), url.c_str(), longRoot, 3, false, "nRetCode", true},
        {"zhcn", bin.c_str(), temp.c_str(), url.c_str(), fitRoot, 3, true, "QNLOG_COM_PROCESS_ERROR(0x80004005)", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        g_factory.fail = r.factoryFails;
        qn::test::LogCapture log;
        QN_RepairClientResource c;
        EXPECT_EQ(c.Init(r.type, r.bin, r.temp, r.url, r.root.c_str(), r.pak), 0);
        EXPECT_EQ(c.m_nStatusCode.load(), QN_RCRSC_ERROR_FAILED);
        EXPECT_EQ(c.m_pPackageRepair, nullptr);
        EXPECT_EQ(gs_hLogStream, nullptr);
        EXPECT_EQ(c.m_RepairNormalFile.m_nStatusCode.load(), r.normalInit ? QN_RFSC_ERROR_ABROT : QN_RFSC_NONE);
        std::vector<std::string> m = log.Messages();
        const std::string want = std::string(r.line).rfind("QNLOG_", 0) == 0 ? r.line
                                                                             : "QNLOG_PROCESS_ERROR(" + std::string(r.line) + ")";
        bool seen = false;
        for (const std::string& s : m) seen |= s.rfind(want, 0) == 0 && s.find("QN_RepairClientResource::Init") != std::string::npos;
        EXPECT_TRUE(seen) << want;
        if (r.factoryFails) {
            EXPECT_EQ(g_factory.folder, QN_Utf8ToWide(r.root) + L"pakV3");
        }
    }
}

TEST_F(CoordinatorDouble, DevelopmentSwitchPicksThePackageRepairURL) {
    Prepare(nullptr);
    QN_RepairEngineConfig saved = QN_GetRepairEngineConfig();
    QN_RepairEngineConfig cfg = saved;
    cfg.strDevPackageRepairURL = m_run.m_served.BaseUrl() + "/dev/zhcn/qelrepair/";
    QN_SetRepairEngineConfig(cfg);
    const std::wstring prod = QN_Utf8ToWide(m_run.m_served.UrlPrefix() + "/PakV3Repair/");
    const std::wstring dev = QN_Utf8ToWide(cfg.strDevPackageRepairURL);
    const std::string ini = m_run.m_harness.binPath() + "gameupdater.ini";
    struct Row {
        const char* name;
        const char* content;  // nullptr: no file
        bool dev;
    } rows[] = {
        {"no file", nullptr, false},
        {"no section", "[Other]\r\nIsDevVersion=1\r\n", false},
        {"zero", "[DevVersionInfo]\r\nIsDevVersion=0\r\n", false},
        {"one", "[DevVersionInfo]\r\nIsDevVersion=1\r\n", true},
        {"seven", "[DevVersionInfo]\r\nIsDevVersion=7\r\n", true},
        {"other letter case", "[devversioninfo]\r\nISDEVVERSION=1\r\n", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.content) {
            qn::test::WriteFile(ini, r.content);
        } else {
            std::remove(ini.c_str());
        }
        QN_RepairClientResource c;
        ASSERT_EQ(Init(c), 1);
        EXPECT_EQ(g_factory.url, r.dev ? dev : prod);
        EXPECT_EQ(g_factory.folder, QN_Utf8ToWide(m_run.m_harness.workRoot() + "/pakV3"));
        c.UnInit();
    }
    // The prefix ends in '/', so the production URL holds a doubled slash, sent as it is.
    EXPECT_NE(prod.find(L"/zhcn_v3//PakV3Repair/"), std::wstring::npos);
    QN_SetRepairEngineConfig(saved);
}

TEST_F(CoordinatorDouble, LogAdapterBelongsToTheRegistryAlone) {
    Prepare(nullptr);
    QN_RepairClientResource c;
    ASSERT_EQ(Init(c), 1);
    ASSERT_NE(gs_hLogStream, nullptr);
    // One reference, the registry's: ours makes two.
    EXPECT_EQ(gs_hLogStream->AddRef(), 2u);
    gs_hLogStream->Release();
    c.UnInit();
    EXPECT_EQ(gs_hLogStream, nullptr);
    EXPECT_EQ(DoublePackageRepair::s_destroyed.load(), 1);
}

namespace {

struct FlowRow {
    const char* name;
    const char* scenario;  // kit scenario for the ordinary files
    DoubleScript script;
    int check;
    int repair;  // -1: no repair
    std::vector<std::string> cannotNormal;
    size_t cannotPak;
};

}  // namespace

TEST_F(CoordinatorDouble, PhasesFoldBothRepairers) {
    const DoublePhase checkOk{QN_RPS_SUCCESS_FINISH_CHECK, 50};
    const std::vector<FlowRow> rows = {
        {"nothing broken", "D0", {checkOk, {QN_RPS_SUCCESS_FINISH_REPAIR, 50}, 0, 0}, 3, 4, {}, 0},
        {"both broken", "D5", {checkOk, {QN_RPS_SUCCESS_FINISH_REPAIR, 200}, 4, 0}, 3, 4, {}, 0},
        {"package elements left broken", "D5", {checkOk, {QN_RPS_SUCCESS_FINISH_REPAIR, 50}, 4, 3}, 3, 4, {}, 3},
        {"ordinary file left broken", "D6b", {checkOk, {QN_RPS_SUCCESS_FINISH_REPAIR, 50}, 0, 0}, 3, 4,
         {"config\\client.ini"}, 0},
        {"info missing", "D10a", {checkOk, {}, 0, 0}, 7, -1, {}, 0},
        {"info corrupt", "D10b", {{QN_RPS_SUCCESS_FINISH_CHECK, 2000}, {}, 0, 0}, 8, -1, {}, 0},
        {"package server missing", "D0", {{QN_RPS_ERROR_DOWNLOAD, 50}, {}, 0, 0}, 7, -1, {}, 0},
        {"package check failed", "D0", {{QN_RPS_ERROR_FAILED, 50}, {}, 0, 0}, 9, -1, {}, 0},
        {"package download failed", "D5", {checkOk, {QN_RPS_ERROR_DOWNLOAD, 50}, 1, 0}, 3, 7, {}, 0},
        {"package repair failed", "D5", {checkOk, {QN_RPS_ERROR_FAILED, 50}, 1, 0}, 3, 9, {}, 0},
        {"file in use", "D7", {checkOk, {QN_RPS_SUCCESS_FINISH_REPAIR, 50}, 0, 0}, 3, 10, {}, 0},
    };
    for (const FlowRow& row : rows) {
        SCOPED_TRACE(row.name);
        PreparedRun run;
        std::string err;
        bool bSkip = false;
        ASSERT_TRUE(run.Prepare(TransportKind::Fake, FindScenario(row.scenario), &err, &bSkip)) << err;
        g_factory.script = row.script;
        QN_RepairClientResource c;
        ASSERT_EQ(c.Init("zhcn", run.m_harness.binPath().c_str(), run.m_harness.repairTempPath().c_str(),
                         run.m_served.UrlPrefix().c_str(), (run.m_harness.workRoot() + "/").c_str(), 3),
                  1);
        for (const std::string& f : ClientIgnoreFiles()) c.AddIgnoreNormalFile(f.c_str());
        for (const std::string& d : ClientIgnoreDirectories()) c.AddIgnoreNormalDirectory(d.c_str());
        PhaseRun check = Run(c, false);
        EXPECT_EQ(check.status, row.check);
        if (row.check == QN_RCRSC_SUCCESS_FINISH_CHECK) {
            EXPECT_EQ(ToVector(c.m_CorruptNormalFileList), FindScenario(row.scenario)->check.corrupt);
            EXPECT_EQ(c.m_uCorruptPakV3BlockCount, row.script.broken);
        }
        if (row.repair >= 0) {
            PhaseRun repair = Run(c, true);
            EXPECT_EQ(repair.status, row.repair);
            QN_CLIENT_FILE_NAME_LIST names;
            EXPECT_EQ(c.GetCanNotRepairNormalFile(&names), 1);
            EXPECT_EQ(ToVector(names), row.cannotNormal);
            QN_PAK_ID_LIST ids;
            EXPECT_EQ(c.GetCanNotRepairPakBlock(&ids), 1);
            EXPECT_EQ(ids.size(), row.cannotPak);
            EXPECT_EQ(c.GetAllCorruptPakBlock(&ids), 1);
            EXPECT_TRUE(ids.empty());
        }
        const auto t0 = std::chrono::steady_clock::now();
        c.UnInit();
        // The package phase left running after an ordinary-file failure is stopped, not waited
        // out.
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
        EXPECT_EQ(DoublePackageRepair::s_destroyed.load(), 1);
        DoublePackageRepair::s_destroyed = 0;
    }
}

TEST_F(CoordinatorDouble, UnInitStopsAPackageRepairStillRunning) {
    // The ordinary-file repair ends in "file in use" while the package repair still runs: the
    // stand-in's scripted phase, or the real repairer's data-source request, each held two
    // minutes, longer than any slow build takes to get there; only a stop ends them sooner.
    struct Row {
        const char* name;
        bool real;
    };
    for (const Row& r : {Row{"stand-in", false}, Row{"real package repairer", true}}) {
        SCOPED_TRACE(r.name);
        DoublePackageRepair::s_stops = 0;
        qn::testing::SetPackageRepairFactory(r.real ? nullptr : &DoubleFactory);
        PreparedRun run;
        Scenario sc = *FindScenario("D7");
        if (r.real) {
            const std::vector<DamageStep> d1 = FindScenario("D1")->steps;
            sc.steps.insert(sc.steps.end(), d1.begin(), d1.end());
        }
        std::string err;
        bool bSkip = false;
        // The stand-in transport answers its requests one after another, so a held
        // data-source request would hold the ordinary files' downloads too: the real repairer
        // runs over the loopback server, which answers each connection on its own.
        ASSERT_TRUE(run.Prepare(r.real ? TransportKind::Loopback : TransportKind::Fake, &sc, &err, &bSkip)) << err;
        run.m_served.AddDelay({"/UpdateFiles/1-2.UPDATE", "", 120000});
        g_factory.script.repair = {QN_RPS_SUCCESS_FINISH_REPAIR, 120000};
        QN_RepairClientResource c;
        ASSERT_EQ(c.Init("zhcn", run.m_harness.binPath().c_str(), run.m_harness.repairTempPath().c_str(),
                         run.m_served.UrlPrefix().c_str(), (run.m_harness.workRoot() + "/").c_str(), 3),
                  1);
        for (const std::string& f : ClientIgnoreFiles()) c.AddIgnoreNormalFile(f.c_str());
        for (const std::string& d : ClientIgnoreDirectories()) c.AddIgnoreNormalDirectory(d.c_str());
        ASSERT_EQ(Run(c, false).status, QN_RCRSC_SUCCESS_FINISH_CHECK);
        ASSERT_EQ(Run(c, true).status, QN_RCRSC_ERROR_FILE_IN_USE);
        EXPECT_EQ(c.m_pPackageRepair->GetStatusCode(), QN_RPS_REPAIRING);
        // The real repairer is inside its data-source request: the server holds it.
        if (r.real) {
            ASSERT_TRUE(WaitUntil([&] { return run.m_served.CountFor("/UpdateFiles/1-2.UPDATE") > 0; }, 60000));
        }
        const auto t0 = std::chrono::steady_clock::now();
        c.UnInit();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
        if (!r.real) {
            EXPECT_GE(DoublePackageRepair::s_stops.load(), 1);
        }
    }
}

TEST_F(CoordinatorDouble, StopInEitherPhaseStopsBothRepairers) {
    struct Row {
        const char* name;
        bool repair;
        DoubleScript script;
    } rows[] = {
        {"check", false, {{QN_RPS_SUCCESS_FINISH_CHECK, 5000}, {}, 0, 0}},
        {"repair", true, {{QN_RPS_SUCCESS_FINISH_CHECK, 50}, {QN_RPS_SUCCESS_FINISH_REPAIR, 5000}, 1, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        PreparedRun run;
        std::string err;
        bool bSkip = false;
        ASSERT_TRUE(run.Prepare(TransportKind::Fake, FindScenario(r.repair ? "D5" : "D0"), &err, &bSkip)) << err;
        // The ordinary-file side is held back too.
        run.m_served.AddDelay({r.repair ? "/lib/core.dll" : "/qel_repair.info", r.repair ? "" : "bytes=76-2289", 2000});
        g_factory.script = r.script;
        QN_RepairClientResource c;
        ASSERT_EQ(c.Init("zhcn", run.m_harness.binPath().c_str(), run.m_harness.repairTempPath().c_str(),
                         run.m_served.UrlPrefix().c_str(), (run.m_harness.workRoot() + "/").c_str(), 3),
                  1);
        if (r.repair) {
            ASSERT_EQ(Run(c, false).status, QN_RCRSC_SUCCESS_FINISH_CHECK);
        }
        PhaseRun phase = Run(c, r.repair, 300);
        EXPECT_EQ(phase.status, QN_RCRSC_ERROR_ABROT);
        // The worker stops both repairers and ends.
        ASSERT_TRUE(WaitUntil([&] { return c.m_RepairNormalFile.m_nStatusCode.load() == QN_RFSC_ERROR_ABROT &&
                                         c.m_pPackageRepair->GetStatusCode() == QN_RPS_ERROR_ABROT; },
                            10000));
        c.UnInit();
        EXPECT_EQ(c.m_nStatusCode.load(), QN_RCRSC_ERROR_ABROT);
        DoublePackageRepair::s_destroyed = 0;
    }
}

TEST_F(CoordinatorDouble, RefusedCalls) {
    Prepare(nullptr);
    qn::test::LogCapture log;
    QN_RepairClientResource c;
    ASSERT_EQ(Init(c), 1);
    EXPECT_EQ(c.StartRepair(), 0);
    EXPECT_EQ(c.m_nStatusCode.load(), QN_RCRSC_ERROR_FAILED);
    EXPECT_EQ(c.AddIgnoreNormalFile(""), 0);
    EXPECT_EQ(c.AddIgnoreNormalDirectory(nullptr), 0);
    EXPECT_EQ(c.GetCanNotRepairNormalFile(nullptr), 0);
    EXPECT_EQ(c.GetAllCorruptPakBlock(nullptr), 0);
    EXPECT_EQ(c.GetCanNotRepairPakBlock(nullptr), 0);
    const std::vector<std::string> want = {
        "QNLOG_PROCESS_ERROR(m_nStatusCode == QN_RCRSC_SUCCESS_FINISH_CHECK)", "QNLOG_PROCESS_ERROR(cszFileName[0])",
        "QNLOG_PROCESS_ERROR(cszDirectoryName)", "QNLOG_PROCESS_ERROR(pRetFileNameList)",
        "QNLOG_PROCESS_ERROR(pRetPakIDList)", "QNLOG_PROCESS_ERROR(pRetPakIDList)"};
    std::vector<std::string> got = log.Messages();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i].rfind(want[i], 0), 0u) << got[i];
    c.UnInit();
}

TEST_F(CoordinatorDouble, AStopArrivingAsAPhaseEndsSticks) {
    for (bool bRepair : {false, true}) {
        SCOPED_TRACE(bRepair ? "repair" : "check");
        PreparedRun run;
        std::string err;
        bool bSkip = false;
        ASSERT_TRUE(run.Prepare(TransportKind::Fake, FindScenario("D5"), &err, &bSkip)) << err;
        qn::test::LogCapture log;
        QN_RepairClientResource c;
        ASSERT_EQ(c.Init("zhcn", run.m_harness.binPath().c_str(), run.m_harness.repairTempPath().c_str(),
                         run.m_served.UrlPrefix().c_str(), (run.m_harness.workRoot() + "/").c_str(), 3),
                  1);
        if (bRepair) {
            ASSERT_EQ(Run(c, false).status, QN_RCRSC_SUCCESS_FINISH_CHECK);
        }
        DoublePackageRepair::s_pNormalStatus = &c.m_RepairNormalFile.m_nStatusCode;
        DoublePackageRepair::s_pStopOnFinalRead = &c.m_nStatusCode;
        EXPECT_EQ(Run(c, bRepair).status, QN_RCRSC_ERROR_ABROT);
        // The worker saw both repairers finished, but its end does not replace the stop.
        EXPECT_TRUE(WaitUntil(
            [&] {
                for (const std::string& m : log.Messages())
                    if (m.find("QNLOG_PROCESS_ERROR(QN_RaiseRepairStatus(") != std::string::npos) return true;
                return false;
            },
            10000));
        EXPECT_EQ(c.m_nStatusCode.load(), QN_RCRSC_ERROR_ABROT);
        c.UnInit();
        DoublePackageRepair::s_pStopOnFinalRead = nullptr;
        DoublePackageRepair::s_pNormalStatus = nullptr;
    }
}
