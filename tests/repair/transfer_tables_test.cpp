// The table fetches of both repairers over the loopback server: a failed fetch is logged in the
// name of the step that asked for the table, and a server that holds a table request without
// answering ends the phase by itself with the download status.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "QN_RepairNormalFile.h"
#include "engine_test_util.h"
#include "loopback_http_server.h"
#include "package_test_util.h"
#include "repair_test_hooks.h"

using namespace pkgtest;

namespace {

// One byte of block 5 of F1 (Package1.DAT), so that the repair fetches its tables.
DamageStep BrokenBlock() {
    DamageStep d;
    d.op = DamageOp::XorByte;
    d.path = "pakV3/Package1.DAT";
    d.offset = 1000;
    d.value = 0xFF;
    return d;
}

std::string RangeOf(const TableSpan& t) {
    return "bytes=" + std::to_string(t.offset) + "-" + std::to_string(t.last());
}

// Applies step to the requests for "Repair.REP" whose Range is range.
void ScriptTable(PackageRun& run, const std::string& range, qn::test::Step step) {
    run.served().loopback()->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                                    {[range, step](qn::test::Plan& plan, const qn::test::RequestRecord& req) {
                                        bool tail = false;
                                        if (!EndsWith(MapRequestPath(req.path, &tail), "/Repair.REP")) return;
                                        if (req.header("Range") == range) step(plan, req);
                                    }});
}

// The text log with the repairer's wide lines in it.
class TableLogCapture {
public:
    TableLogCapture() {
        QN_PlatformLogAdapter* pAdapter = new QN_PlatformLogAdapter;
        gs_hLogStream = QN_RegisterLogStream(pAdapter);
        pAdapter->Release();
    }
    ~TableLogCapture() { QN_UnregisterLogStream(); }
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        for (std::string m : m_log.Messages()) {
            while (!m.empty() && (m.back() == '\n' || m.back() == '\r')) m.pop_back();
            out.push_back(m);
        }
        return out;
    }

private:
    qn::test::LogCapture m_log;
};

}  // namespace

// Each of the five tables of "Repair.REP", answered 404: the phase that fetches it ends with 7,
// and the failure lines are the block downloader's, those of the step that asked for the
// table and the phase's own line; the repairer's helpers add none of their own.
TEST(TransferTables, PackageFetchFailuresAreLoggedInTheCallingStepsName) {
    const std::string kHelper =
        "QNLOG_PROCESS_ERROR(nRetCode && \"_DownloadContinuousBlock()\") at line N in QN_HttpBlockDownloader::Download";
    const std::string kDownload = "QNLOG_PROCESS_ERROR(false && \"m_RepairFileHttpSyncBlock.Download()\") at line N in ";
    const std::string kCheckEnd = "QNLOG_COM_PROCESS_ERROR(0x80004005) at line N in QNPackageRepair::_CheckFunction";
    const std::string kRepairEnd = "QNLOG_COM_PROCESS_ERROR(0x80004005) at line N in QNPackageRepair::_RepairFunction";
    struct Row {
        const char* name;
        TableSpan GeneratedInfo::*table;
        SourceMode mode;
        bool inRepair;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"folder files", &GeneratedInfo::dirFileTable, SourceMode::UpdateFiles, false,
         {kHelper, kDownload + "QNPackageRepair::_CheckDirFile", kCheckEnd}},
        {"blocks", &GeneratedInfo::blockTable, SourceMode::UpdateFiles, false,
         {kHelper, kDownload + "QNPackageRepair::_CheckFileBlock", kCheckEnd}},
        {"regions", &GeneratedInfo::regionTable, SourceMode::UpdateFiles, false,
         {kHelper, kDownload + "QNPackageRepair::_CheckEmptyBlock", kCheckEnd}},
        {"repair records", &GeneratedInfo::repairTable, SourceMode::UpdateFiles, true,
         {kHelper, kDownload + "QNPackageRepair::_RepairFileBlock", kRepairEnd}},
        {"data sources", &GeneratedInfo::sourceTable, SourceMode::Table, true,
         {kHelper,
          "QNLOG_PROCESS_ERROR(false && \"QNPackageRepair._DownloadDataSourceMapFile()\") at line N in "
          "QNPackageRepair::_DownloadDataSourceMapFile",
          "QNLOG_PROCESS_ERROR(nRetCode) at line N in QNPackageRepair::_RepairFileBlock", kRepairEnd}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        PackageRun run;
        bool skip = false;
        std::string err;
        ASSERT_TRUE(run.Prepare(FixtureId::F1, r.mode, DamageOf({BrokenBlock()}), TransportKind::Loopback, &skip, &err))
            << err;
        ScriptTable(run, RangeOf(run.fixture().info.*r.table), qn::test::http_step::Status(404));
        WideLogCapture log;
        ASSERT_NE(run.Create(), nullptr);
        const PhaseRun check = run.Check();
        if (r.inRepair) {
            ASSERT_EQ(check.status, QN_RPS_SUCCESS_FINISH_CHECK);
            EXPECT_EQ(run.Repair().status, QN_RPS_ERROR_DOWNLOAD);
        } else {
            EXPECT_EQ(check.status, QN_RPS_ERROR_DOWNLOAD);
        }
        EXPECT_EQ(log.FailureLines(), r.lines);
    }
}

// A server that takes a table request and never answers it: each repairer's check ends by
// itself once the no-progress limit has passed, with the download status, after one request
// for that table.
TEST(TransferTables, ASilentTableRequestEndsTheCheckWithTheDownloadStatus) {
    using qn::test::http_step::HoldUntil;
    // Long enough that the requests before the held one never meet the limit on a loaded machine.
    qn::testing::SetBlockDownloadNoProgressLimit(2000);
    const char* const kGuardLine = "_SyncDownloadBlock no progress for 2000 ms.";
    {
        SCOPED_TRACE("package repairer, block table");
        PackageRun run;
        bool skip = false;
        std::string err;
        ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({}), TransportKind::Loopback, &skip, &err))
            << err;
        const std::string range = RangeOf(run.fixture().info.blockTable);
        ScriptTable(run, range, HoldUntil([] { return false; }, 3600 * 1000));
        TableLogCapture log;
        ASSERT_NE(run.Create(), nullptr);
        const PhaseRun check = run.Check();
        EXPECT_FALSE(check.timedOut);
        EXPECT_EQ(check.status, QN_RPS_ERROR_DOWNLOAD);
        size_t uGuard = 0, uHeld = 0;
        for (const std::string& m : log.Messages()) uGuard += m.find(kGuardLine) != std::string::npos;
        for (const qn::test::RequestRecord& r : run.served().loopback()->requests()) uHeld += r.header("Range") == range;
        EXPECT_EQ(uGuard, 1u);
        EXPECT_EQ(uHeld, 1u) << "the held table was asked for again";
    }
    {
        SCOPED_TRACE("ordinary-file repairer, file-check table");
        qn::enginetest::PreparedRun run;
        bool skip = false;
        std::string err;
        ASSERT_TRUE(run.Prepare(TransportKind::Loopback, nullptr, &err, &skip)) << err;
        const std::string range = RangeOf(run.m_fx.info.fileCheck);
        run.m_served.loopback()->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                                        {[range](qn::test::Plan& plan, const qn::test::RequestRecord& req) {
                                            if (req.header("Range") == range)
                                                HoldUntil([] { return false; }, 3600 * 1000)(plan, req);
                                        }});
        qn::test::LogCapture log;
        QN_RepairNormalFile r;
        ASSERT_EQ(r.Init(run.m_harness.binPath().c_str(), run.m_harness.repairTempPath().c_str(),
                         run.m_served.UrlPrefix().c_str()),
                  1);
        PhaseControl c;
        c.start = [&] { return r.StartCheck() == 1; };
        c.status = [&] { return (int)r.m_nStatusCode.load(); };
        c.runningStatus = QN_RFSC_CHECKING;
        c.poll = std::chrono::milliseconds(20);
        c.deadline = std::chrono::milliseconds(120000);
        const PhaseRun check = RunPhase(c);
        EXPECT_FALSE(check.timedOut);
        EXPECT_EQ(check.status, QN_RFSC_ERROR_DOWNLOAD);
        r.UnInit();
        size_t uGuard = 0, uHeld = 0;
        for (const std::string& m : log.Messages()) uGuard += m.find(kGuardLine) != std::string::npos;
        for (const qn::test::RequestRecord& q : run.m_served.loopback()->requests()) uHeld += q.header("Range") == range;
        EXPECT_EQ(uGuard, 1u);
        EXPECT_EQ(uHeld, 1u) << "the held table was asked for again";
    }
    qn::testing::SetBlockDownloadNoProgressLimit(0);
}
