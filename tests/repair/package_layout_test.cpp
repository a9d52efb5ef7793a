// The package check against headers that describe a package other than the one its tables
// come from, and against a disk without room for the data files it must make: the check is
// refused before any data file is created, extended or cut, and a check that fails removes the
// data files it made (never one that was there before). Also a data source whose long Chinese
// name is far longer than 259 bytes once escaped.
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "RepairFileEditor.h"
#include "package_test_util.h"

using namespace pkgtest;

namespace {

const std::string kRepPath = "/qelrepair/zhcn_v3/PakV3Repair/Repair.REP";

DamageStep Delete(const std::string& path) {
    DamageStep d;
    d.op = DamageOp::Delete;
    d.path = path;
    return d;
}

DamageStep Truncate(const std::string& path, uint64_t size) {
    DamageStep d;
    d.op = DamageOp::Truncate;
    d.path = path;
    d.value = size;
    return d;
}

// Every file below the folder, with its bytes: the listing and content compared at once.
std::map<std::string, Bytes> FolderContent(const std::string& dir) {
    std::map<std::string, Bytes> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string rel = std::filesystem::relative(e.path(), dir).string();
        out[rel] = e.is_regular_file() ? qn::test::ReadFile(e.path().string()) : Bytes("<folder>");
    }
    return out;
}

std::string Describe(const std::map<std::string, Bytes>& m) {
    std::string s;
    for (const auto& [name, bytes] : m) s += name + " (" + std::to_string(bytes.size()) + " bytes)\n";
    return s;
}

// Restores the real free space however the test ends.
struct FreeSpaceLimit {
    explicit FreeSpaceLimit(uint64_t ullBytes) { qn::testing::SetPackageFreeSpaceLimit(ullBytes); }
    ~FreeSpaceLimit() { qn::testing::SetPackageFreeSpaceLimit(UINT64_MAX); }
};

struct HeaderRow {
    const char* name;
    std::vector<DamageStep> damage;
    // Edits the served header (its checksum is recomputed afterwards); null: none.
    std::function<void(RepairFileEditor&, const GeneratedInfo&)> edit;
    // The free space the check sees, from the data-file size; 0: the real free space.
    std::function<uint64_t(uint64_t)> freeSpace;
    int status;
    std::vector<const char*> logTexts;
};

void PrintTo(const HeaderRow& row, std::ostream* os) { *os << row.name; }

const size_t kCountField = 4 + 28, kSizeField = 4 + 32;

std::vector<HeaderRow> HeaderRows() {
    auto count = [](uint32_t (*f)(uint32_t)) {
        return [f](RepairFileEditor& e, const GeneratedInfo& g) { e.SetU32(kCountField, f(g.dataFileCount)); };
    };
    return {
        {"huge data-file count", {}, count([](uint32_t) { return 100000u; }), nullptr, QN_RPS_ERROR_FAILED,
         {"rConfig.uDataFileCount <= uUsedDataFileCount"}},
        {"one data file more than the tables use", {}, count([](uint32_t n) { return n + 1; }), nullptr,
         QN_RPS_ERROR_FAILED, {"rConfig.uDataFileCount <= uUsedDataFileCount"}},
        {"data files smaller than the tables need", {},
         [](RepairFileEditor& e, const GeneratedInfo& g) { e.SetU64(kSizeField, g.dataFileSize / 2); }, nullptr,
         QN_RPS_ERROR_FAILED, {"uDataFileIndex < uDataFileCount"}},
        {"package addresses past 64 bits", {},
         [](RepairFileEditor& e, const GeneratedInfo&) { e.SetU64(kSizeField, 1ull << 63); }, nullptr,
         QN_RPS_ERROR_FAILED, {"ullDataFileSize <= (UINT64_MAX"}},
        {"data files that each fit the disk but not together",
         {Delete("pakV3/Package1.DAT"), Truncate("pakV3/Package2.DAT", 1000)}, nullptr,
         [](uint64_t s) { return s + s / 2; }, QN_RPS_ERROR_FAILED,
         {"ullGrowth <= ullFreeSpace", "error 112", "QNLOG_COM_PROCESS_ERROR(0x80070070)"}},
        {"data files that fit the disk exactly",
         {Delete("pakV3/Package1.DAT"), Truncate("pakV3/Package2.DAT", 1000)}, nullptr,
         [](uint64_t s) { return 2 * s - 1000; }, QN_RPS_SUCCESS_FINISH_CHECK, {}},
    };
}

class PackageHeaderBounds : public ::testing::TestWithParam<HeaderRow> {};

TEST_P(PackageHeaderBounds, RefusedBeforeAnyDataFileIsTouched) {
    const HeaderRow& row = GetParam();
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf(row.damage), TransportKind::Loopback,
                            &skip, &err))
        << err;
    const GeneratedInfo& g = run.fixture().info;
    if (row.edit) {
        const std::string repFile = run.harness().docroot() + kRepPath;
        RepairFileEditor editor;
        ASSERT_TRUE(editor.Load(repFile, RepairFileKind::Rep, &err)) << err;
        row.edit(editor, g);
        editor.RecomputeHeaderCrc();
        ASSERT_TRUE(editor.Save(repFile, &err)) << err;
    }
    FreeSpaceLimit limit(row.freeSpace ? row.freeSpace(g.dataFileSize) : UINT64_MAX);
    const std::map<std::string, Bytes> before = FolderContent(run.PackageDir());

    WideLogCapture log;
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    const PhaseRun check = run.Check();
    ASSERT_FALSE(check.timedOut);
    EXPECT_EQ(check.status, row.status);
    for (const char* text : row.logTexts) EXPECT_TRUE(log.Contains(text)) << "no line shows " << text;

    const std::map<std::string, Bytes> after = FolderContent(run.PackageDir());
    if (row.status != QN_RPS_SUCCESS_FINISH_CHECK) {
        EXPECT_TRUE(after == before) << "before:\n" << Describe(before) << "after:\n" << Describe(after);
        return;
    }
    // The check that fits gives the missing and the short data file their length and leaves
    // everything else as it was.
    for (const auto& [name, bytes] : after) {
        if (name == "Package1.DAT" || name == "Package2.DAT") {
            EXPECT_EQ(bytes.size(), g.dataFileSize) << name;
            continue;
        }
        EXPECT_TRUE(before.count(name) && before.at(name) == bytes) << name << " changed";
    }
    EXPECT_EQ(after.size(), before.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, PackageHeaderBounds, ::testing::ValuesIn(HeaderRows()),
                         [](const ::testing::TestParamInfo<HeaderRow>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 name.push_back(std::isalnum((unsigned char)*c) ? *c : '_');
                             return name;
                         });

}  // namespace

// A check that ends in failure after it made data files removes those files again; the data
// files that were there before (one of them extended by this check) stay.
TEST(PackageCheckCleanup, FailedCheckRemovesOnlyTheDataFilesItMade) {
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles,
                            DamageOf({Delete("pakV3/Package0.DAT"), Delete("pakV3/Package2.DAT"),
                                      Truncate("pakV3/Package1.DAT", 1000)}),
                            TransportKind::Loopback, &skip, &err))
        << err;
    const uint64_t ullDataFileSize = run.fixture().info.dataFileSize;
    const Bytes package1 = qn::test::ReadFile(run.PackageDir() + "/Package1.DAT");
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);

    GateScope gate("check-block", 0);
    ASSERT_EQ(p->StartCheck(), S_OK);
    ASSERT_TRUE(gate.WaitReached());
    // The data files have their length while the block step runs.
    EXPECT_EQ(qn::test::ReadFile(run.PackageDir() + "/Package0.DAT").size(), ullDataFileSize);
    EXPECT_EQ(qn::test::ReadFile(run.PackageDir() + "/Package2.DAT").size(), ullDataFileSize);
    std::thread stopper([p] { p->Stop(); });
    qn::test::WaitUntil([p] { return p->GetStatusCode() == QN_RPS_ERROR_ABROT; }, 60000);
    gate.Release();
    stopper.join();

    EXPECT_EQ(p->GetStatusCode(), QN_RPS_ERROR_ABROT);
    EXPECT_FALSE(std::filesystem::exists(run.PackageDir() + "/Package0.DAT"));
    EXPECT_FALSE(std::filesystem::exists(run.PackageDir() + "/Package2.DAT"));
    const Bytes now = qn::test::ReadFile(run.PackageDir() + "/Package1.DAT");
    ASSERT_EQ(now.size(), ullDataFileSize) << "the data file that was there stays, at the length it was given";
    EXPECT_TRUE(std::equal(package1.begin(), package1.end(), now.begin()));
}

// A data source named by 40 Chinese characters: 45 characters as the server names it, 364
// bytes once escaped. The block repair fetches it by its escaped name from both servers.
TEST(PackageDataSourceNames, LongChineseNameIsFetched) {
    GeneratorOptions opt = GeneratorOptionsOf(FixtureId::F1, SourceMode::Table);
    std::string chinese;
    for (int i = 0; i < 40; ++i) chinese += "\xE6\x95\xB0";  // U+6570
    opt.sources[1].serverFile = chinese + ".dat";
    DamageStep block5;
    block5.op = DamageOp::XorByte;
    block5.path = "pakV3/Package1.DAT";
    block5.offset = 1000;
    block5.value = 0xFF;
    for (TransportKind kind : {TransportKind::Loopback, TransportKind::Nginx}) {
        SCOPED_TRACE(TransportLabel(kind));
        PackageRun run;
        bool skip = false;
        std::string err;
        if (!run.Prepare(FixtureId::F1, opt, DamageOf({block5}), kind, &skip, &err)) {
            if (skip) {
                std::cout << "skipped over " << TransportLabel(kind) << ": " << err << "\n";
                continue;
            }
            FAIL() << err;
        }
        IQN_PackageRepair* p = run.Create();
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
        EXPECT_EQ(p->GetBrokenElemFileCount(), 1u);
        ASSERT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
        EXPECT_EQ(CheckEndState(Scenario(), run.fixture().clientRoot, run.harness().workRoot()), "");
        EXPECT_GT(run.served().CountFor("/PakV3Repair/" + chinese + ".dat"), 0u);
    }
}
