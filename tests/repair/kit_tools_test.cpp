// The repair-file editor, tree comparison, the damage operations and the generic harness.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <thread>

#include "EngineHarness.h"
#include "RepairFileEditor.h"
#include "TreeTools.h"
#include "qn_test_env.h"

using namespace qn::kit;

namespace {

uint32_t ZCrc(const Bytes& b) { return (uint32_t)crc32(0, (const Bytef*)b.data(), (uInt)b.size()); }

class KitF1 : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        GeneratorOptions opt = GeneratorOptionsOf(FixtureId::F1, SourceMode::Table);
        opt.layout = TableLayout::Shuffled;
        ASSERT_TRUE(BuildFixture(FixtureId::F1, m_tmp.path(), opt, &m_fx, &err)) << err;
    }
    std::string Rep() const { return m_fx.docroot + m_fx.info.repUrlPath; }
    std::string Info() const { return m_fx.docroot + m_fx.info.infoUrlPath; }

    qn::test::TempDir m_tmp;
    BuiltFixture m_fx;
};

}  // namespace

TEST_F(KitF1, EditorChangesOneFieldAndRecomputesOrKeepsTheChecksums) {
    RepairFileEditor e;
    std::string err;
    ASSERT_TRUE(e.Load(Rep(), RepairFileKind::Rep, &err)) << err;
    const Bytes original = e.bytes();
    // Tables are located through the header, also in the shuffled layout.
    EXPECT_EQ(e.TableOffset(RepairTable::Blocks), m_fx.info.blockTable.offset);
    EXPECT_EQ(e.TableSize(RepairTable::Sources), m_fx.info.sourceTable.size);

    // Block 3's size changed, its table checksum left stale: only that field and nothing else.
    e.SetTableU64(RepairTable::Blocks, 20 * 3 + 8, 99);
    EXPECT_EQ(GetU64(e.bytes(), m_fx.info.blockTable.offset + 68), 99u);
    size_t changed = 0;
    for (size_t k = 0; k < original.size(); ++k) changed += original[k] != e.bytes()[k];
    EXPECT_EQ(changed, 1u);
    EXPECT_NE(GetU32(e.bytes(), 248), ZCrc(e.bytes().substr(m_fx.info.blockTable.offset, m_fx.info.blockTable.size)));

    // Recomputed: the table checksum follows the bytes, and the header's follows the table's.
    ASSERT_TRUE(e.RecomputeTableCrc(RepairTable::Blocks));
    EXPECT_EQ(GetU32(e.bytes(), 248), ZCrc(e.bytes().substr(m_fx.info.blockTable.offset, m_fx.info.blockTable.size)));
    e.RecomputeHeaderCrc();
    Bytes h = e.bytes().substr(0, 324);
    PutU32(&h, 208, 0);
    EXPECT_EQ(GetU32(e.bytes(), 208), ZCrc(h));
    ASSERT_TRUE(e.Save(Rep(), &err)) << err;
    EXPECT_EQ(qn::test::ReadFile(Rep()), e.bytes());

    // The file-repair table of the info file has no checksum to recompute.
    RepairFileEditor i;
    ASSERT_TRUE(i.Load(Info(), RepairFileKind::Info, &err)) << err;
    EXPECT_FALSE(i.RecomputeTableCrc(RepairTable::FileRepair));
    EXPECT_FALSE(i.RecomputeTableCrc(RepairTable::Blocks));  // not a table of this file
    i.XorByte(30, 0xFF);
    EXPECT_NE(GetU32(i.bytes(), 8), RepairInfoHeaderCrc(i.bytes()));
    i.RecomputeAll();
    EXPECT_EQ(GetU32(i.bytes(), 8), RepairInfoHeaderCrc(i.bytes()));
    EXPECT_FALSE(i.LoadBytes(Bytes(75, 'x'), RepairFileKind::Info, &err));
}

TEST(KitTreeTools, CompareFindsEveryKindOfDifference) {
    qn::test::TempDir a, b;
    auto both = [&](const std::string& rel, const Bytes& bytes) {
        qn::test::WriteFile(a / rel, bytes);
        qn::test::WriteFile(b / rel, bytes);
    };
    both("bin/zhcn/same.txt", "same");
    both("bin/zhcn/content.txt", "abcdef");
    both("bin/zhcn/size.txt", "abc");
    both("bin/zhcn/type.txt", "file");
    both("pakV3/gone.dat", "x");
    both("other/ignored.txt", "x");  // outside the compared folders
    both("bin/zhcn/skip/me.txt", "x");
    std::string err;
    ASSERT_TRUE(FlipByte(b / "bin/zhcn/content.txt", 3, 0x01, &err)) << err;
    ASSERT_TRUE(ExtendFile(b / "bin/zhcn/size.txt", 2, 0, &err)) << err;
    ASSERT_TRUE(ReplaceByFolder(b / "bin/zhcn/type.txt", "x.txt", &err)) << err;
    ASSERT_TRUE(DeletePath(b / "pakV3/gone.dat", &err)) << err;
    ASSERT_TRUE(FlipByte(b / "other/ignored.txt", 0, 0xFF, &err)) << err;
    ASSERT_TRUE(EmptyFile(b / "bin/zhcn/skip/me.txt", &err)) << err;
    qn::test::WriteFile(b / "pakV3/new.dat", "n");

    TreeDiff d = CompareTrees(a.path(), b.path(), {"bin/zhcn", "pakV3"}, {"bin/zhcn/skip"});
    struct Want {
        TreeDifference::Kind kind;
        const char* path;
        uint64_t firstDiff;
    };
    const Want want[] = {
        {TreeDifference::ContentDiffers, "bin/zhcn/content.txt", 3},
        {TreeDifference::SizeDiffers, "bin/zhcn/size.txt", 3},
        {TreeDifference::TypeDiffers, "bin/zhcn/type.txt", 0},
        {TreeDifference::Missing, "pakV3/gone.dat", 0},
        {TreeDifference::Extra, "bin/zhcn/type.txt/x.txt", 0},
        {TreeDifference::Extra, "pakV3/new.dat", 0},
    };
    ASSERT_EQ(d.items.size(), std::size(want)) << d.Describe();
    for (const Want& w : want) {
        auto it = std::find_if(d.items.begin(), d.items.end(), [&](const TreeDifference& x) { return x.path == w.path; });
        ASSERT_NE(it, d.items.end()) << w.path;
        EXPECT_EQ(it->kind, w.kind) << w.path;
        EXPECT_EQ(it->firstDiff, w.firstDiff) << w.path;
    }
    EXPECT_TRUE(CompareTrees(a.path(), a.path()).empty());
}

TEST(KitTreeTools, DamageOperationsRefuseWhatIsNotThere) {
    qn::test::TempDir t;
    qn::test::WriteFile(t / "f", "abc");
    std::string err;
    EXPECT_FALSE(FlipByte(t / "f", 3, 0xFF, &err));  // one past the end
    EXPECT_FALSE(SetByteAt(t / "missing", 0, 1, &err));
    EXPECT_FALSE(DeletePath(t / "missing", &err));
    EXPECT_FALSE(EmptyFile(t / "missing", &err));
    EXPECT_EQ(qn::test::ReadFile(t / "f"), "abc");
    ASSERT_TRUE(TruncateFile(t / "f", 1, &err));
    EXPECT_EQ(qn::test::ReadFile(t / "f"), "a");
    qn::test::WriteFile(t / "src/x/y", "y");
    qn::test::WriteFile(t / "dst/z", "z");
    EXPECT_FALSE(CopyTree(t / "src", t / "dst", &err));  // never into a folder that holds something
    ASSERT_TRUE(CopyTree(t / "src", t / "copy", &err)) << err;
    EXPECT_EQ(qn::test::ReadFile(t / "copy/x/y"), "y");
}

TEST(KitHarness, RunPhasePollsUntilTheStatusLeavesRunning) {
    // The phase leaves running on its third look.
    std::atomic<int> status{0};
    int looks = 0;
    PhaseControl c;
    c.poll = std::chrono::milliseconds(5);
    c.start = [&] {
        status = 1;
        return true;
    };
    c.status = [&] {
        if (++looks == 3 && status == 1) status = 3;
        return status.load();
    };
    PhaseRun r = RunPhase(c);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.polls, 3u);

    // A phase that never ends is given up at the deadline.
    c.deadline = std::chrono::milliseconds(60);
    c.status = [&] { return status.load(); };
    r = RunPhase(c);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(r.elapsed.count(), 60);

    // A stop request is made once, after its delay, and the phase then ends.
    std::atomic<int> stops{0};
    c.deadline = std::chrono::milliseconds(60000);
    c.stopAfter = std::chrono::milliseconds(20);
    c.stop = [&] {
        ++stops;
        status = 6;
    };
    r = RunPhase(c);
    EXPECT_EQ(stops.load(), 1);
    EXPECT_EQ(r.status, 6);

    // A refused start is not polled.
    c.start = [] { return false; };
    r = RunPhase(c);
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.polls, 0u);
}

TEST_F(KitF1, HarnessPreparesDamagedCopiesAndReadsTheLog) {
    EngineHarness h(m_tmp / "run");
    std::string err;
    ASSERT_TRUE(h.Prepare(m_fx, FindScenario("D6b"), &err)) << err;
    EXPECT_EQ(CompareTrees(m_fx.clientRoot, h.workRoot()).Paths(), std::vector<std::string>{"bin/zhcn/config/client.ini"});
    EXPECT_NE(qn::test::ReadFile(h.docroot() + "/qelrepair/zhcn_v3/patch/1.0.1/config/client.ini"),
              qn::test::ReadFile(m_fx.docroot + "/qelrepair/zhcn_v3/patch/1.0.1/config/client.ini"));
    EXPECT_EQ(h.binPath(), h.workRoot() + "/bin/zhcn/");
    qn::test::WriteFile(h.logDir() + "/2026_12_10/a.log", "first line\r\nsecond line\n");
    EXPECT_TRUE(h.LogContains("second line"));
    EXPECT_FALSE(h.LogContains("third"));
    EXPECT_TRUE(h.TempFiles().empty());
    qn::test::WriteFile(h.repairTempPath() + "lib/x.tmp", "t");
    EXPECT_EQ(h.TempFiles(), std::vector<std::string>{"QelRepairTemp/lib/x.tmp"});
}
