// The reference range values and the damage scenarios are data for the engine's tests; these
// tests keep that data consistent with the generated trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "DamageScenarios.h"
#include "EngineHarness.h"
#include "TreeTools.h"
#include "qn_test_env.h"

using namespace qn::kit;

namespace {

struct Interval {
    uint64_t first, last;
};

Interval ParseRange(const std::string& range) {
    size_t dash = range.find('-');
    return {std::stoull(range.substr(6, dash - 6)), std::stoull(range.substr(dash + 1))};
}

// Joins the 4-byte entries of the file-repair table that touch, as one block download does.
std::vector<std::string> RepairEntryRanges(const GeneratedInfo& g, std::vector<uint32_t> idx) {
    std::sort(idx.begin(), idx.end());
    std::vector<std::string> out;
    for (size_t i = 0; i < idx.size();) {
        size_t j = i;
        while (j + 1 < idx.size() && idx[j + 1] == idx[j] + 1) ++j;
        out.push_back(RangeValue(g.fileRepair.offset + 4ull * idx[i], g.fileRepair.offset + 4ull * idx[j] + 3));
        i = j + 1;
    }
    return out;
}

}  // namespace

TEST(KitReferenceRanges, TableReadsFollowTheGeneratedLayout) {
    std::map<std::pair<FixtureId, SourceMode>, BuiltFixture> built;
    qn::test::TempDir tmp;
    int n = 0;
    for (const RangeCase& c : ReferenceRangeCases()) {
        SCOPED_TRACE(c.name);
        auto key = std::make_pair(c.fixture, c.mode);
        if (!built.count(key)) {
            std::string err;
            ASSERT_TRUE(BuildFixture(c.fixture, tmp / std::to_string(n++), c.mode, &built[key], &err)) << err;
        }
        const GeneratedInfo& g = built[key].info;
        std::vector<std::string> got;
        for (const ExpectedRange& r : c.ranges) got.push_back(r.range);
        const std::map<std::string, TableSpan> tables = {
            {"info header", g.infoHeader},          {"info file-check table", g.fileCheck},
            {"info folder table", g.dirTable},      {"info whole repair table", g.fileRepair},
            {"rep header", g.repHeader},            {"rep folder-file table", g.dirFileTable},
            {"rep block table", g.blockTable},      {"rep region table", g.regionTable},
            {"rep repair table", g.repairTable},    {"rep source table", g.sourceTable}};
        auto t = tables.find(c.name);
        if (t != tables.end()) {
            EXPECT_EQ(got, std::vector<std::string>{RangeValue(t->second.offset, t->second.last())});
            continue;
        }
        if (c.name.rfind("info repair entr", 0) == 0) {
            EXPECT_EQ(got, RepairEntryRanges(g, c.items));
            continue;
        }
        // Block requests: each range starts at a broken block and ends at one, in the server
        // file that holds them, and every broken block lies inside exactly one range.
        ASSERT_FALSE(c.items.empty());
        std::map<std::string, std::vector<Interval>> byFile;
        for (const ExpectedRange& r : c.ranges) byFile[r.pathSuffix].push_back(ParseRange(r.range));
        for (uint32_t b : c.items) {
            const BlockRecord& blk = g.blocks.at(b);
            const std::string& url = g.sources.at(blk.sourceId - 1).urlPath;
            std::string suffix;
            for (const auto& [s, v] : byFile)
                if (url.size() >= s.size() && url.compare(url.size() - s.size(), s.size(), s) == 0) suffix = s;
            ASSERT_FALSE(suffix.empty()) << "block " << b << " lives in " << url;
            int inside = 0;
            for (const Interval& iv : byFile[suffix])
                inside += blk.offsetInServerFile >= iv.first && blk.offsetInServerFile + blk.size - 1 <= iv.last;
            EXPECT_EQ(inside, 1) << "block " << b;
        }
        for (const auto& [s, v] : byFile) {
            for (const Interval& iv : v) {
                bool starts = false, ends = false;
                for (uint32_t b : c.items) {
                    const BlockRecord& blk = g.blocks.at(b);
                    starts |= blk.offsetInServerFile == iv.first;
                    ends |= blk.offsetInServerFile + blk.size - 1 == iv.last;
                }
                EXPECT_TRUE(starts && ends) << s << " " << iv.first << "-" << iv.last;
            }
        }
    }
}

// The fixtures are built once for the suite; each row works on its own copies.
class KitScenarios : public ::testing::TestWithParam<std::string> {
protected:
    static void SetUpTestSuite() {
        s_tmp = new qn::test::TempDir();
        std::string err;
        for (SourceMode mode : {SourceMode::UpdateFiles, SourceMode::Table}) {
            GeneratorOptions opt = GeneratorOptionsOf(FixtureId::F1, mode);
            opt.alsoDev = true;
            bool table = mode == SourceMode::Table;
            s_ok[table] = BuildFixture(FixtureId::F1, *s_tmp / (table ? "t" : "u"), opt, &s_fx[table], &err);
            if (!s_ok[table]) s_err = err;
        }
    }
    static void TearDownTestSuite() {
        delete s_tmp;
        s_tmp = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_ok[0] && s_ok[1]) << s_err; }
    static const BuiltFixture& Fixture(SourceMode mode) { return s_fx[mode == SourceMode::Table]; }

    static qn::test::TempDir* s_tmp;
    static BuiltFixture s_fx[2];
    static bool s_ok[2];
    static std::string s_err;
};

qn::test::TempDir* KitScenarios::s_tmp = nullptr;
BuiltFixture KitScenarios::s_fx[2];
bool KitScenarios::s_ok[2] = {false, false};
std::string KitScenarios::s_err;

std::vector<std::string> ScenarioIds() {
    std::vector<std::string> ids;
    for (const Scenario& s : DamageScenarios()) ids.push_back(s.id);
    return ids;
}

TEST(KitScenarioTable, IdsAreUniqueAndFindable) {
    std::set<std::string> ids;
    for (const Scenario& s : DamageScenarios()) {
        EXPECT_TRUE(ids.insert(s.id).second) << s.id;
        ASSERT_NE(FindScenario(s.id), nullptr);
        EXPECT_EQ(FindScenario(s.id)->description, s.description);
    }
    EXPECT_EQ(FindScenario("no such row"), nullptr);
}

TEST_P(KitScenarios, RowAppliesAndNamesRealFiles) {
    const Scenario& s = *FindScenario(GetParam());
    // Rows in which a correct engine touches nothing: the damage alone is the end state.
    const std::set<std::string> untouched = {"D0", "D1b", "D-IGN", "D-DEV"};
    const BuiltFixture& fx = Fixture(s.mode);
    qn::test::TempDir run;
    EngineHarness h(run.path());
    std::string err;
    ASSERT_TRUE(h.Prepare(fx, &s, &err)) << err;
    bool clientDamage = false, serverDamage = false;
    for (const DamageStep& d : s.steps) (d.side == DamageSide::Client ? clientDamage : serverDamage) = true;
    if (clientDamage) {
        EXPECT_FALSE(CompareTrees(fx.clientRoot, h.workRoot()).empty()) << "the damage changed nothing";
    }
    if (serverDamage) {
        EXPECT_FALSE(CompareTrees(fx.docroot, h.docroot(), {"qelrepair"}).empty()) << "the server damage changed nothing";
    }
    if (untouched.count(s.id)) {
        EXPECT_EQ(CheckEndState(s, fx.clientRoot, h.workRoot()), "");
    }
    for (const ExpectedRequest& r : s.requests) EXPECT_TRUE(qn::test::FileExists(fx.docroot + r.pathSuffix)) << r.pathSuffix;
    std::vector<uint32_t> idx;
    for (const std::string& c : s.check.corrupt) {
        const NormalFileRecord* r = fx.info.FindNormalFile(c);
        ASSERT_NE(r, nullptr) << c;
        idx.push_back(r->index);
    }
    EXPECT_TRUE(std::is_sorted(idx.begin(), idx.end())) << "corrupt files are listed in table order";
    for (const std::string& c : s.repair.cannotRepair) EXPECT_NE(fx.info.FindNormalFile(c), nullptr) << c;
    if (s.stopPhase != StopPhase::None) {
        EXPECT_GT(s.stopAfterMs, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, KitScenarios, ::testing::ValuesIn(ScenarioIds()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name;
                             for (char c : info.param) name.push_back(std::isalnum((unsigned char)c) ? c : '_');
                             return name;
                         });
