// The package repairer over the kit's damage scenarios, against the loopback test server and
// nginx: the check's result and count, the repair's result, the requests (merged ranges, no
// sound block fetched, none twice, the exact ranges the rows give) and the package afterwards,
// byte for byte. A second table breaks chosen blocks and asserts the exact Range values.
#include <thread>

#include "package_test_util.h"

using namespace pkgtest;

namespace {

// The rows that concern the package: their package damage only (a row that mixes in ordinary
// files keeps its package part), and the rows without damage or with a stop.
std::vector<std::string> PackageScenarioIds() {
    std::vector<std::string> ids;
    for (const Scenario& s : DamageScenarios()) {
        if (s.alsoDev) continue;
        bool pkg = false, other = false;
        for (const DamageStep& d : s.steps) (IsPackageStep(d) ? pkg : other) = true;
        if (pkg || s.steps.empty()) ids.push_back(s.id);
    }
    return ids;
}

Scenario PackagePart(const Scenario& full) {
    Scenario s = full;
    s.steps.clear();
    for (const DamageStep& d : full.steps)
        if (IsPackageStep(d)) s.steps.push_back(d);
    auto pkgOnly = [](std::vector<ExpectedRequest> v) {
        std::vector<ExpectedRequest> out;
        for (const ExpectedRequest& r : v)
            if (r.pathSuffix.find("/PakV3Repair/") != std::string::npos) out.push_back(r);
        return out;
    };
    s.requests = pkgOnly(s.requests);
    s.forbidden = pkgOnly(s.forbidden);
    return s;
}

struct Row {
    std::string id;
    TransportKind kind;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.id << " over " << TransportLabel(row.kind); }

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name = std::string(TransportLabel(info.param.kind)) + "_";
    for (char c : info.param.id) name.push_back(std::isalnum((unsigned char)c) ? c : '_');
    return name;
}

std::vector<Row> Rows() {
    std::vector<Row> rows;
    for (TransportKind k : {TransportKind::Loopback, TransportKind::Nginx})
        for (const std::string& id : PackageScenarioIds()) rows.push_back({id, k});
    return rows;
}

bool WaitForNoPackageThread() {
    return qn::test::WaitUntil([] { return qn::testing::GetLivePackageRepairThreadCount() == 0; }, 30000, 5);
}

}  // namespace

class PackageScenarios : public ::testing::TestWithParam<Row> {};

TEST_P(PackageScenarios, CheckRepairRequestsAndEndState) {
    const Scenario s = PackagePart(*FindScenario(GetParam().id));
    SCOPED_TRACE(s.id + ": " + s.description);
    PackageRun run;
    bool skip = false;
    std::string err;
    if (!run.Prepare(s.fixture, s.mode, s, GetParam().kind, &skip, &err)) {
        if (skip) GTEST_SKIP() << err;
        FAIL() << err;
    }
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);

    const bool stopCheck = s.stopPhase == StopPhase::Check;
    const PhaseRun check = run.Check(stopCheck ? s.stopAfterMs : 0);
    ASSERT_FALSE(check.timedOut);
    const int wantCheck = s.check.pakStatus >= 0 ? s.check.pakStatus : s.check.status;
    ASSERT_EQ(check.status, wantCheck);
    if (stopCheck) {
        // Stop returned only after the work thread had ended; the folder-file step was done
        // and the block table (fetched before the data files are touched) was on its way.
        EXPECT_EQ(qn::testing::GetLivePackageRepairThreadCount(), 0);
        EXPECT_FLOAT_EQ(p->GetCheckProgress(), 0.06f);
    }
    if (wantCheck == QN_RPS_SUCCESS_FINISH_CHECK) {
        EXPECT_EQ(p->GetBrokenElemFileCount(), s.check.pakCount);
        EXPECT_FLOAT_EQ(p->GetCheckProgress(), 1.0f);
    }
    const std::set<uint32_t> broken = run.BrokenBlocks();

    if (s.repair.run && wantCheck == QN_RPS_SUCCESS_FINISH_CHECK) {
        const bool stopRepair = s.stopPhase == StopPhase::Repair;
        const PhaseRun repair = run.Repair(stopRepair ? s.stopAfterMs : 0);
        ASSERT_FALSE(repair.timedOut);
        const int wantRepair = s.repair.pakStatus >= 0 ? s.repair.pakStatus : s.repair.status;
        EXPECT_EQ(repair.status, wantRepair);
        if (stopRepair) {
            EXPECT_EQ(qn::testing::GetLivePackageRepairThreadCount(), 0);
        }
        if (wantRepair == QN_RPS_SUCCESS_FINISH_REPAIR) {
            EXPECT_FLOAT_EQ(p->GetRepairProgress(), 1.0f);
            EXPECT_EQ(p->GetCanNotRepairElemFileCount(), 0u);
        } else {
            EXPECT_GT(p->GetCanNotRepairElemFileCount(), 0u);
        }
        EXPECT_EQ(run.CheckBlockRequests(broken, wantRepair == QN_RPS_SUCCESS_FINISH_REPAIR), "");
    }
    EXPECT_TRUE(WaitForNoPackageThread());

    EXPECT_EQ(CheckEndState(s, run.fixture().clientRoot, run.harness().workRoot()), "");
    size_t uAtLeast = 0;
    for (const ExpectedRequest& r : s.requests) uAtLeast += r.count;
    run.served().WaitForRequests(uAtLeast, 10000);
    EXPECT_EQ(run.CheckRequestOrder(s.requests), "") << [&run] {
        std::string all;
        for (const ServedRequest& r : run.served().Requests())
            all += r.method + " " + r.target + " " + r.range + " " + std::to_string(r.status) + "\n";
        return all;
    }();
    for (const ExpectedRequest& f : s.forbidden)
        for (const ServedRequest& r : run.served().Requests())
            EXPECT_FALSE(EndsWith(r.path, f.pathSuffix) && (f.range.empty() || f.range == r.range))
                << "forbidden request " << r.target << " " << r.range;
    if (s.end.checkTouched) {
        std::vector<std::string> want = s.end.touched;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(run.Touched(), want);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, PackageScenarios, ::testing::ValuesIn(Rows()), RowName);

// Chosen blocks broken by one byte each (past the first four, which the checksum ignores);
// the block requests are exactly the reference Range values, in order.
struct RangeRow {
    RangeCase c;
    TransportKind kind;
};

std::vector<RangeRow> RangeRows() {
    std::vector<RangeRow> rows;
    for (TransportKind k : {TransportKind::Loopback, TransportKind::Nginx})
        for (const RangeCase& c : ReferenceRangeCases()) {
            bool blocks = !c.items.empty();
            for (const ExpectedRange& r : c.ranges) blocks &= r.pathSuffix.find("/Repair.REP") == std::string::npos &&
                                                             r.pathSuffix.find("qel_repair.info") == std::string::npos;
            if (blocks) rows.push_back({c, k});
        }
    return rows;
}

void PrintTo(const RangeRow& row, std::ostream* os) { *os << row.c.name << " over " << TransportLabel(row.kind); }

class PackageRanges : public ::testing::TestWithParam<RangeRow> {};

TEST_P(PackageRanges, BrokenBlocksAreFetchedInMergedRanges) {
    const RangeCase& c = GetParam().c;
    const PackageLayout layout = PackageLayoutOf(c.fixture);
    Scenario s;
    s.id = c.name;
    for (uint32_t b : c.items) {
        const BlockLayout& bl = layout.blocks.at(b);
        DamageStep d;
        d.op = DamageOp::XorByte;
        d.path = "pakV3/" + DataFileName(bl.fileIndex);
        d.offset = bl.offset + std::min<uint64_t>(4, bl.size - 1);
        d.value = 0xFF;
        s.steps.push_back(d);
    }
    PackageRun run;
    bool skip = false;
    std::string err;
    if (!run.Prepare(c.fixture, c.mode, s, GetParam().kind, &skip, &err)) {
        if (skip) GTEST_SKIP() << err;
        FAIL() << err;
    }
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    EXPECT_EQ(p->GetBrokenElemFileCount(), c.items.size());
    ASSERT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);

    std::set<std::string> sourcePaths;
    for (const SourceRecord& r : run.fixture().info.sources) sourcePaths.insert(r.urlPath);
    run.served().WaitForRequests(c.ranges.size(), 10000);
    std::vector<std::string> got, want;
    for (const ServedRequest& r : run.served().Requests())
        if (sourcePaths.count(r.path)) got.push_back(r.path.substr(r.path.find("/PakV3Repair/")) + " " + r.range);
    for (const ExpectedRange& r : c.ranges) want.push_back(r.pathSuffix + " " + r.range);
    EXPECT_EQ(got, want);
    EXPECT_EQ(CheckEndState(Scenario(), run.fixture().clientRoot, run.harness().workRoot()), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, PackageRanges, ::testing::ValuesIn(RangeRows()),
                         [](const ::testing::TestParamInfo<RangeRow>& info) {
                             std::string name = std::string(TransportLabel(info.param.kind)) + "_";
                             for (char ch : info.param.c.name) name.push_back(std::isalnum((unsigned char)ch) ? ch : '_');
                             return name;
                         });
