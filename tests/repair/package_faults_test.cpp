// The package repairer against malformed repair information and misbehaving servers: each row
// edits the served "Repair.REP" (checksums recomputed unless the row is about them) or scripts
// the loopback server, and asserts the phase's status and that no data file is worse than
// before.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <functional>
#include <thread>

#include "RepairFileEditor.h"
#include "loopback_http_server.h"
#include "package_test_util.h"

using namespace pkgtest;

namespace {

const std::string kRepPath = "/qelrepair/zhcn_v3/PakV3Repair/Repair.REP";
const std::string kU2 = "/PakV3Repair/UpdateFiles/1-2.UPDATE";

DamageStep ClientFlip(const std::string& path, uint64_t offset) {
    DamageStep d;
    d.op = DamageOp::XorByte;
    d.path = path;
    d.offset = offset;
    d.value = 0xFF;
    return d;
}

// Block 5 of F1 (Package1.DAT[0..70000), source 2 at offset 100) broken by one byte.
const DamageStep kBlock5 = ClientFlip("pakV3/Package1.DAT", 1000);

struct Edit {
    RepairFileEditor& e;
    const GeneratedInfo& g;
};

// The header field offsets of a table.
RepairFileEditor::TableFields Fields(RepairTable t) {
    RepairFileEditor::TableFields f{};
    RepairFileEditor::FieldsOf(t, RepairFileKind::Rep, &f);
    return f;
}

// Writes a folder-file record's name (terminated, the rest of the field zero).
void SetDirFileName(RepairFileEditor& e, uint64_t uRecord, const std::u16string& name) {
    for (uint64_t k = 0; k < 64; ++k) {
        const uint16_t unit = k < name.size() ? (uint16_t)name[k] : 0;
        e.SetByte(e.TableOffset(RepairTable::DirFiles) + uRecord * 132 + 2 * k, (uint8_t)(unit & 0xFF));
        e.SetByte(e.TableOffset(RepairTable::DirFiles) + uRecord * 132 + 2 * k + 1, (uint8_t)(unit >> 8));
    }
}

// The package data files, to compare before and after a failed phase.
std::vector<Bytes> DataFiles(const std::string& packageDir, uint32_t uCount) {
    std::vector<Bytes> out;
    for (uint32_t i = 0; i < uCount; ++i) out.push_back(qn::test::ReadFile(packageDir + "/" + DataFileName(i)));
    return out;
}

struct TableRow {
    const char* name;
    const char* logText;  // the failed check the log must show
    SourceMode mode;
    std::vector<DamageStep> damage;
    std::function<void(Edit&)> edit;
    bool recompute;  // table and header checksums recomputed after the edit
    int checkStatus;
    int repairStatus;  // -1: the repair is not run
    bool noSourceRequest = false;  // no block is fetched at all
};

void PrintTo(const TableRow& row, std::ostream* os) { *os << row.name; }

std::vector<TableRow> TableRows() {
    const SourceMode U = SourceMode::UpdateFiles, T = SourceMode::Table;
    // Header fields edited with the header's own checksum recomputed, so that the table
    // itself is what the repairer refuses.
    auto setSize = [](RepairTable t, uint64_t v) {
        return [t, v](Edit& x) {
            x.e.SetU64(Fields(t).sizeField, v);
            x.e.RecomputeHeaderCrc();
        };
    };
    auto xorCrc = [](RepairTable t) {
        return [t](Edit& x) {
            x.e.XorByte((size_t)Fields(t).crcField, 0x01);
            x.e.RecomputeHeaderCrc();
        };
    };
    return {
        {"folder-file table of size 0", "uDirFileCount > 0", U, {}, setSize(RepairTable::DirFiles, 0), false, 5, -1},
        {"block table of 161 bytes", "table size is a whole number of records below 4 GiB", U, {}, setSize(RepairTable::Blocks, 161), false, 5, -1},
        {"block count beyond what the package can hold", "ullSize / QNPK_ELEM_FILE_CHECK_INFO_ITEM_SIZE <= ullPackageSize", U, {}, setSize(RepairTable::Blocks, 0xFFFFFFF0ull), false, 5, -1},
        {"region table not whole records", "table size is a whole number of records below 4 GiB", U, {}, setSize(RepairTable::Regions, 111), false, 5, -1},
        {"folder-file table checksum", "uCRC32 != m_RepairFileHeader.uDirFileCheckInfoCRC32", U, {}, xorCrc(RepairTable::DirFiles), false, 5, -1},
        {"block table checksum", "uCRC32 != m_RepairFileHeader.uElemFileCheckInfoCRC32", U, {}, xorCrc(RepairTable::Blocks), false, 5, -1},
        {"region table checksum", "uCRC32 != m_RepairFileHeader.uEmptyBlockRegionInfoCRC32", U, {}, xorCrc(RepairTable::Regions), false, 5, -1},
        {"header byte changed", "uHeaderCRC32 == uCorrectHeaderCRC32", U, {}, [](Edit& x) { x.e.XorByte(100, 0x01); }, false, 5, -1},
        {"data-file size 0", "DataFileConfig invalid", U, {}, [](Edit& x) { x.e.SetU64(4 + 32, 0); }, true, 5, -1},
        {"no data file", "DataFileConfig invalid", U, {}, [](Edit& x) { x.e.SetU32(4 + 28, 0); }, true, 5, -1},
        {"block below the base", "it->ullAddress >= m_RepairFileHeader.DataFileConfig.ullBaseAddress", U, {},
         [](Edit& x) { x.e.SetTableU64(RepairTable::Blocks, 2 * 20, x.g.baseAddress - 1); }, true, 5, -1},
        {"block running past its data file", "uDataFileIndex < uDataFileCount", U, {},
         [](Edit& x) { x.e.SetTableU64(RepairTable::Blocks, 7 * 20 + 8, x.g.dataFileSize); }, true, 5, -1},
        {"block of size 0", "it->ullSize > 0", U, {}, [](Edit& x) { x.e.SetTableU64(RepairTable::Blocks, 3 * 20 + 8, 0); }, true, 5, -1},
        {"blocks that overlap", "blocks do not overlap", U, {},
         [](Edit& x) { x.e.SetTableU64(RepairTable::Blocks, 1 * 20, x.g.blocks[0].address + 4000); }, true, 5, -1},
        {"region over a block", "regions and blocks do not overlap", U, {},
         [](Edit& x) { x.e.SetTableU64(RepairTable::Regions, 0, x.g.blocks[0].address + 10); }, true, 5, -1},
        {"region below the base", "it->ullAddress >= m_RepairFileHeader.DataFileConfig.ullBaseAddress", U, {},
         [](Edit& x) { x.e.SetTableU64(RepairTable::Regions, 0, x.g.baseAddress - 16); }, true, 5, -1},
        {"region one byte past its data file", "uDataFileIndex < uDataFileCount", U, {},
         [](Edit& x) {
             for (const RegionRecord& r : x.g.regions)
                 if (r.offset + r.size == x.g.dataFileSize) {
                     x.e.SetTableU64(RepairTable::Regions, r.index * 16ull + 8, r.size + 1);
                     return;
                 }
         },
         true, 5, -1},
        {"folder-file name without a terminator", "QN_DecodeDirFileCheckTable()", U, {},
         [](Edit& x) {
             for (uint64_t k = 0; k < 128; k += 4) x.e.SetTableU32(RepairTable::DirFiles, k, 0x00410041);
         },
         true, 5, -1},
        {"folder-file name leaving the package", "QN_DecodeDirFileCheckTable()", U, {},
         [](Edit& x) {
             x.e.SetTableU32(RepairTable::DirFiles, 0, 0x002E002E);  // ".."
             x.e.SetTableU32(RepairTable::DirFiles, 4, 0x0078002F);  // "/x"
             x.e.SetTableU32(RepairTable::DirFiles, 8, 0);
         },
         true, 5, -1},
        {"folder-file record named like a data file", "QN_DecodeDirFileCheckTable()", U, {},
         [](Edit& x) { SetDirFileName(x.e, 0, u"PACKAGE0.dat"); }, true, 5, -1},
        {"folder-file record named like the configuration", "QN_DecodeDirFileCheckTable()", U, {},
         [](Edit& x) { SetDirFileName(x.e, 1, u".\\Package.CFG"); }, true, 5, -1},
        {"two folder-file records naming one file", "QN_DecodeDirFileCheckTable()", U, {},
         [](Edit& x) { SetDirFileName(x.e, 1, u"DIR0.IDX"); }, true, 5, -1},
        // The repair phase.
        {"source id 0 for a broken block", "m_RepairElemFileBlockList[uBrokenElemFileIndex].uDataSourceID != 0", U, {kBlock5},
         [](Edit& x) { x.e.SetTableU32(RepairTable::Repair, 5 * 12, 0); }, true, 3, 5, true},
        {"repair table checksum", "uCRC32 == m_RepairFileHeader.uElemFileRepairInfoCRC32", U, {kBlock5}, xorCrc(RepairTable::Repair), false, 3, 5},
        {"repair table one record short", "uRepairElemFileBlockSize == uCorrectElemFileBlockSize", U, {kBlock5}, setSize(RepairTable::Repair, 84), true, 3, 5},
        {"source offset at the source's end", "ullOffsetInDataSource < rDataSourceInfoItem.ullSize", T, {kBlock5},
         [](Edit& x) { x.e.SetTableU64(RepairTable::Repair, 5 * 12 + 4, x.g.sources[1].length); }, true, 3, 5},
        {"block running past its source's end", "ullBlockSize <= rDataSourceInfoItem.ullSize - ullOffsetInDataSource", T,
         {kBlock5}, [](Edit& x) { x.e.SetTableU64(RepairTable::Repair, 5 * 12 + 4, x.g.sources[1].length - 10); }, true, 3, 5},
        {"block of a source the table does not hold", "it != m_DataSourceFileMap.end()", T, {kBlock5},
         [](Edit& x) { x.e.SetTableU32(RepairTable::Repair, 5 * 12, 99); }, true, 3, 5},
        {"two sources with one id", "ibRetCode.second", T, {kBlock5},
         [](Edit& x) { x.e.SetTableU32(RepairTable::Sources, 152, 1); }, true, 3, 5},
        {"source table checksum", "uCRC32 != m_RepairFileHeader.uDataSourceInfoCRC32", T, {kBlock5}, xorCrc(RepairTable::Sources), false, 3, 5},
        {"source table not whole records", "m_RepairFileHeader.ullDataSourceInfoSize % sizeof(QNPK_DATA_SOURCE_INFO_ITEM) == 0", T, {kBlock5}, setSize(RepairTable::Sources, 300), true, 3, 5},
    };
}

}  // namespace

class PackageMalformedTables : public ::testing::TestWithParam<TableRow> {};

TEST_P(PackageMalformedTables, RefusedWithTheirStatusAndNoDataFileWorse) {
    const TableRow& row = GetParam();
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, row.mode, DamageOf(row.damage), TransportKind::Loopback, &skip, &err)) << err;
    const std::string repFile = run.harness().docroot() + kRepPath;
    RepairFileEditor editor;
    ASSERT_TRUE(editor.Load(repFile, RepairFileKind::Rep, &err)) << err;
    Edit x{editor, run.fixture().info};
    row.edit(x);
    if (row.recompute) editor.RecomputeAll();
    ASSERT_TRUE(editor.Save(repFile, &err)) << err;

    WideLogCapture log;
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    const std::vector<Bytes> before = DataFiles(run.PackageDir(), run.fixture().info.dataFileCount);
    const PhaseRun check = run.Check();
    ASSERT_FALSE(check.timedOut);
    EXPECT_EQ(check.status, row.checkStatus);
    if (row.repairStatus >= 0) {
        const PhaseRun repair = run.Repair();
        ASSERT_FALSE(repair.timedOut);
        EXPECT_EQ(repair.status, row.repairStatus);
        EXPECT_GT(p->GetCanNotRepairElemFileCount(), 0u);
        if (row.noSourceRequest) {
            EXPECT_EQ(run.served().CountFor("/UpdateFiles/1-2.UPDATE"), 0u);
        }
    }
    EXPECT_TRUE(DataFiles(run.PackageDir(), run.fixture().info.dataFileCount) == before) << "a data file changed";
    EXPECT_TRUE(log.Contains(row.logText)) << "no line shows " << row.logText;
}

INSTANTIATE_TEST_SUITE_P(Rows, PackageMalformedTables, ::testing::ValuesIn(TableRows()),
                         [](const ::testing::TestParamInfo<TableRow>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 name.push_back(std::isalnum((unsigned char)*c) ? *c : '_');
                             return name;
                         });

// The failure lines of a refused block or region table, as the log shows them: the failed
// condition in the name of the step that checks those records, then the check's own line, and
// no other.
TEST(PackageMalformedTableLines, RecordChecksAreLoggedInTheirStepsName) {
    const std::string kBlocks = " at line N in QNPackageRepair::_CheckFileBlock";
    const std::string kRegions = " at line N in QNPackageRepair::_CheckEmptyBlock";
    const std::string kCheckEnd = "QNLOG_COM_PROCESS_ERROR(0x80004005) at line N in QNPackageRepair::_CheckFunction";
    auto failed = [](const std::string& condition, const std::string& where) {
        return "QNLOG_PROCESS_ERROR(" + condition + ")" + where;
    };
    struct Row {
        const char* name;
        std::function<void(Edit&)> edit;
        bool recompute;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"block below the base", [](Edit& x) { x.e.SetTableU64(RepairTable::Blocks, 2 * 20, x.g.baseAddress - 1); },
         true, {failed("it->ullAddress >= m_RepairFileHeader.DataFileConfig.ullBaseAddress", kBlocks), kCheckEnd}},
        {"block of size 0", [](Edit& x) { x.e.SetTableU64(RepairTable::Blocks, 3 * 20 + 8, 0); }, true,
         {failed("it->ullSize > 0", kBlocks), kCheckEnd}},
        {"block running past its data file",
         [](Edit& x) { x.e.SetTableU64(RepairTable::Blocks, 7 * 20 + 8, x.g.dataFileSize); }, true,
         {failed("uDataFileIndex < uDataFileCount", kBlocks), kCheckEnd}},
        {"region below the base", [](Edit& x) { x.e.SetTableU64(RepairTable::Regions, 0, x.g.baseAddress - 16); },
         true, {failed("it->ullAddress >= m_RepairFileHeader.DataFileConfig.ullBaseAddress", kRegions), kCheckEnd}},
        {"region of size 0", [](Edit& x) { x.e.SetTableU64(RepairTable::Regions, 8, 0); }, true,
         {failed("it->ullSize > 0", kRegions), kCheckEnd}},
        {"region past the last data file",
         [](Edit& x) {
             x.e.SetTableU64(RepairTable::Regions, 0, x.g.baseAddress + x.g.dataFileCount * x.g.dataFileSize);
         },
         true, {failed("uDataFileIndex < uDataFileCount", kRegions), kCheckEnd}},
        // A checksum mismatch writes its two plain lines and no failed condition.
        {"block table checksum",
         [](Edit& x) {
             x.e.XorByte((size_t)Fields(RepairTable::Blocks).crcField, 0x01);
             x.e.RecomputeHeaderCrc();
         },
         false, {kCheckEnd}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PackageRun run;
        bool skip = false;
        std::string err;
        ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({}), TransportKind::Loopback, &skip, &err))
            << err;
        const std::string repFile = run.harness().docroot() + kRepPath;
        RepairFileEditor editor;
        ASSERT_TRUE(editor.Load(repFile, RepairFileKind::Rep, &err)) << err;
        Edit x{editor, run.fixture().info};
        row.edit(x);
        if (row.recompute) editor.RecomputeAll();
        ASSERT_TRUE(editor.Save(repFile, &err)) << err;
        WideLogCapture log;
        ASSERT_NE(run.Create(), nullptr);
        const PhaseRun check = run.Check();
        ASSERT_FALSE(check.timedOut);
        EXPECT_EQ(check.status, QN_RPS_ERROR_FAILED);
        EXPECT_EQ(log.FailureLines(), row.lines);
    }
}

// Loopback faults on the requests whose decoded path ends with a suffix (and whose Range is
// the one given): applied every time, or only to the first match.
struct ServerFaultRow {
    const char* name;
    std::string pathSuffix;
    std::string range;
    qn::test::Step step;
    bool once;
    int repairStatus;
};

void PrintTo(const ServerFaultRow& row, std::ostream* os) { *os << row.name; }

class PackageServerFaults : public ::testing::TestWithParam<ServerFaultRow> {};

TEST_P(PackageServerFaults, DataFilesNeverWorse) {
    namespace step = qn::test::http_step;
    const ServerFaultRow& row = GetParam();
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({kBlock5}), TransportKind::Loopback, &skip,
                            &err))
        << err;
    auto hits = std::make_shared<std::atomic<int>>(0);
    run.served().loopback()->script(
        qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
        {[row, hits](qn::test::Plan& plan, const qn::test::RequestRecord& req) {
            bool tail = false;
            if (!EndsWith(MapRequestPath(req.path, &tail), row.pathSuffix)) return;
            if (!row.range.empty() && req.header("Range") != row.range) return;
            if (row.once && hits->fetch_add(1) > 0) return;
            row.step(plan, req);
        }});
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    const std::vector<Bytes> before = DataFiles(run.PackageDir(), 3);
    const PhaseRun repair = run.Repair();
    ASSERT_FALSE(repair.timedOut);
    EXPECT_EQ(repair.status, row.repairStatus);
    if (row.repairStatus == QN_RPS_SUCCESS_FINISH_REPAIR) {
        EXPECT_EQ(CheckEndState(Scenario(), run.fixture().clientRoot, run.harness().workRoot()), "");
    } else {
        EXPECT_TRUE(DataFiles(run.PackageDir(), 3) == before) << "a data file changed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PackageServerFaults,
    ::testing::Values(
        ServerFaultRow{"reset mid-range", kU2, "", qn::test::http_step::ResetAfter(1000), false, 7},
        ServerFaultRow{"reset mid-range once, then served", kU2, "", qn::test::http_step::ResetAfter(1000), true, 4},
        ServerFaultRow{"whole file to a range", kU2, "", qn::test::http_step::IgnoreRange(), false, 7},
        ServerFaultRow{"wrong byte in the block", kU2, "", qn::test::http_step::Corrupt(5000), false, 5},
        ServerFaultRow{"source missing", kU2, "", qn::test::http_step::Status(404), false, 7},
        ServerFaultRow{"repair table answered with a wrong byte", "/PakV3Repair/Repair.REP", "bytes=860-955",
                       qn::test::http_step::Corrupt(3), false, 5}),
    [](const ::testing::TestParamInfo<ServerFaultRow>& info) {
        std::string name;
        for (const char* c = info.param.name; *c; ++c) name.push_back(std::isalnum((unsigned char)*c) ? *c : '_');
        return name;
    });

TEST(PackageRepairFaults, CheckTableFetchFailuresAreDownloadFailures) {
    for (const char* range : {"bytes=0-323", "bytes=324-587", "bytes=588-747", "bytes=748-859"}) {
        SCOPED_TRACE(range);
        PackageRun run;
        bool skip = false;
        std::string err;
        ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({}), TransportKind::Loopback, &skip, &err))
            << err;
        const std::string r = range;
        run.served().loopback()->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                                        {[r](qn::test::Plan& plan, const qn::test::RequestRecord& req) {
                                            if (req.header("Range") == r) qn::test::http_step::Status(404)(plan, req);
                                        }});
        IQN_PackageRepair* p = run.Create();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(run.Check().status, QN_RPS_ERROR_DOWNLOAD);
    }
}

TEST(PackageRepairFaults, DataFilesThatCannotBeMappedFailBeforeAnyBlockIsFetched) {
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({kBlock5}), TransportKind::Loopback, &skip,
                            &err))
        << err;
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    ASSERT_TRUE(ReplaceByFolder(run.PackageDir() + "/Package2.DAT", "x.txt", &err)) << err;
    const Bytes before = qn::test::ReadFile(run.PackageDir() + "/Package1.DAT");
    EXPECT_EQ(run.Repair().status, QN_RPS_ERROR_FAILED);
    EXPECT_EQ(run.served().CountFor("/UpdateFiles/1-2.UPDATE"), 0u);
    EXPECT_EQ(run.served().CountFor("/UpdateFiles/0-1.UPDATE"), 0u);
    EXPECT_EQ(qn::test::ReadFile(run.PackageDir() + "/Package1.DAT"), before);
}

// A folder file whose server copy is wrong is not left in place with the wrong content; it
// counts as not repaired and the phase still ends with 4.
TEST(PackageRepairFaults, FolderFileFailingItsChecksumAfterDownloadIsNotKept) {
    PackageRun run;
    bool skip = false;
    std::string err;
    DamageStep server;
    server.side = DamageSide::Server;
    server.op = DamageOp::XorByte;
    server.path = "qelrepair/zhcn_v3/PakV3Repair/DirFiles/7/Dir1.idx";
    server.offset = 9;
    server.value = 0x40;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({ClientFlip("pakV3/Dir1.idx", 5), server}),
                            TransportKind::Loopback, &skip, &err))
        << err;
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    EXPECT_EQ(p->GetBrokenElemFileCount(), 1u);
    EXPECT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
    EXPECT_EQ(p->GetCanNotRepairElemFileCount(), 1u);
    const std::string local = run.PackageDir() + "/Dir1.idx";
    const Bytes served = qn::test::ReadFile(run.harness().docroot() + "/" + server.path);
    EXPECT_TRUE(!qn::test::FileExists(local) || qn::test::ReadFile(local) != served) << "the wrong copy was kept";
}

// A folder file whose server copy cannot be had, is wrong, or whose download is stopped stays
// exactly as it was: the download goes to a temporary folder and only a copy whose checksum
// matches replaces it. Nothing of the download is left in the package folder.
TEST(PackageRepairFaults, FolderFileStaysAsItWasUntilAVerifiedCopyReplacesIt) {
    const std::string kServerCopy = "qelrepair/zhcn_v3/PakV3Repair/DirFiles/7/Dir1.idx";
    struct Row {
        const char* name;
        std::vector<DamageStep> server;
        std::vector<ServerDelayRule> delays;
        uint32_t stopAfterMs;
        int status;
    };
    DamageStep missing;
    missing.side = DamageSide::Server;
    missing.op = DamageOp::Delete;
    missing.path = kServerCopy;
    DamageStep wrong = missing;
    wrong.op = DamageOp::XorByte;
    wrong.offset = 3;
    wrong.value = 0x10;
    ServerDelayRule hold;
    hold.pathSuffix = "/DirFiles/7/Dir1.idx";
    hold.delayMs = 120000;
    const Row rows[] = {
        {"not on the server", {missing}, {}, 0, QN_RPS_SUCCESS_FINISH_REPAIR},
        {"wrong bytes on the server", {wrong}, {}, 0, QN_RPS_SUCCESS_FINISH_REPAIR},
        {"stopped during the download", {}, {hold}, 1000, QN_RPS_ERROR_ABROT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scenario sc = DamageOf({ClientFlip("pakV3/Dir1.idx", 5)});
        for (const DamageStep& d : row.server) sc.steps.push_back(d);
        sc.delays = row.delays;
        PackageRun run;
        bool skip = false;
        std::string err;
        ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, sc, TransportKind::Loopback, &skip, &err)) << err;
        IQN_PackageRepair* p = run.Create();
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
        const std::string local = run.PackageDir() + "/Dir1.idx";
        const Bytes before = qn::test::ReadFile(local);
        const std::vector<std::string> listing = qn::test::ListFiles(run.PackageDir());
        EXPECT_EQ(run.Repair(row.stopAfterMs).status, row.status);
        EXPECT_EQ(qn::test::ReadFile(local), before);
        EXPECT_EQ(qn::test::ListFiles(run.PackageDir()), listing);
        if (row.status == QN_RPS_SUCCESS_FINISH_REPAIR) {
            EXPECT_EQ(p->GetCanNotRepairElemFileCount(), 1u);
        }
    }
}

// The configuration and a folder file that are symbolic links to files outside the client are
// replaced by the repaired files themselves; the files the links point to keep their bytes.
TEST(PackageRepairFaults, LinksInThePackageAreReplacedNotWrittenThrough) {
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({}), TransportKind::Loopback, &skip, &err)) << err;
    qn::test::TempDir outside;
    const std::string pak = run.PackageDir();
    const Bytes cfg = qn::test::ReadFile(pak + "/Package.CFG");
    const Bytes dir = qn::test::ReadFile(pak + "/Dir1.idx");
    const Bytes dat = qn::test::ReadFile(pak + "/Package1.DAT");
    // Each link points to a damaged copy outside: the check finds it broken and the repair
    // writes the good bytes in the link's place.
    struct Linked {
        const char* name;
        Bytes good;
        uint64_t offset;
    } linked[] = {{"Package.CFG", cfg, 30}, {"Dir1.idx", dir, 5}, {"Package1.DAT", dat, 1000}};
    for (const Linked& l : linked) {
        Bytes damaged = l.good;
        damaged[l.offset] = (char)(damaged[l.offset] ^ 0xFF);
        qn::test::WriteFile(outside / l.name, damaged);
        ASSERT_EQ(::unlink((pak + "/" + l.name).c_str()), 0);
        ASSERT_EQ(::symlink((outside / l.name).c_str(), (pak + "/" + l.name).c_str()), 0);
    }
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    EXPECT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
    for (const Linked& l : linked) {
        SCOPED_TRACE(l.name);
        struct stat st {};
        ASSERT_EQ(::lstat((pak + "/" + l.name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(qn::test::ReadFile(pak + "/" + l.name), l.good);
        Bytes damaged = l.good;
        damaged[l.offset] = (char)(damaged[l.offset] ^ 0xFF);
        EXPECT_EQ(qn::test::ReadFile(outside / l.name), damaged);
    }
}

// A folder file that cannot be read (a folder in its place) is a finding, not a failure of the
// check; a target that cannot be cleared is not downloaded over and counts as not repaired.
TEST(PackageRepairFaults, UnreadableFolderFileIsBrokenAndCountedWhenItStays) {
    PackageRun run;
    bool skip = false;
    std::string err;
    DamageStep d;
    d.op = DamageOp::ReplaceByFolder;
    d.path = "pakV3/Dir0.idx";
    d.text = "x.txt";
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({d}), TransportKind::Loopback, &skip, &err))
        << err;
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    EXPECT_EQ(p->GetBrokenElemFileCount(), 1u);
    EXPECT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
    EXPECT_EQ(p->GetCanNotRepairElemFileCount(), 1u);
    EXPECT_EQ(run.served().CountFor("/DirFiles/7/Dir0.idx"), 0u);
}

// A folder-file record that spells its name another way (a leading "." part) names the same
// file: the broken folder file is found, fetched under its plain name and put in place, and
// the package ends whole.
TEST(PackageRepairFaults, FolderFileNameWrittenAnotherWayIsRepaired) {
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({ClientFlip("pakV3/Dir0.idx", 10)}),
                            TransportKind::Loopback, &skip, &err))
        << err;
    const std::string repFile = run.harness().docroot() + kRepPath;
    RepairFileEditor editor;
    ASSERT_TRUE(editor.Load(repFile, RepairFileKind::Rep, &err)) << err;
    SetDirFileName(editor, 0, u".\\Dir0.idx");
    editor.RecomputeAll();
    ASSERT_TRUE(editor.Save(repFile, &err)) << err;
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    EXPECT_EQ(p->GetBrokenElemFileCount(), 1u);
    ASSERT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
    EXPECT_EQ(p->GetCanNotRepairElemFileCount(), 0u);
    EXPECT_GT(run.served().CountFor("/DirFiles/7/Dir0.idx"), 0u);
    EXPECT_EQ(CheckEndState(Scenario(), run.fixture().clientRoot, run.harness().workRoot()), "");
}

// A short data file without write permission is made writable and set to its length during
// the check, with its space allocated.
TEST(PackageRepairFaults, ReadOnlyShortDataFileIsExtendedDuringTheCheck) {
    PackageRun run;
    bool skip = false;
    std::string err;
    DamageStep d;
    d.op = DamageOp::Truncate;
    d.path = "pakV3/Package2.DAT";
    d.value = 1000;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({d}), TransportKind::Loopback, &skip, &err))
        << err;
    const std::string path = run.PackageDir() + "/Package2.DAT";
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    IQN_PackageRepair* p = run.Create();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ((uint64_t)st.st_size, run.fixture().info.dataFileSize);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_GE((uint64_t)st.st_blocks * 512, run.fixture().info.dataFileSize) << "no holes";
    EXPECT_EQ(p->GetBrokenElemFileCount(), 3u);  // block 7, regions 5 and 6
    ASSERT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
    EXPECT_EQ(CheckEndState(Scenario(), run.fixture().clientRoot, run.harness().workRoot()), "");
}

// A disk without room for a missing data file: the check ends with 5 and the disk-full error
// before the file is created, instead of filling the disk or a later write through a mapping
// dying of SIGBUS. The scenario runs in a child copy of this program inside a private mount
// namespace, the package folder on a tmpfs of 1 MiB.
namespace {

const char* const kPackageFullDiskEnv = "QN_PACKAGE_FULL_DISK_SCENARIO";

int RunShell(const std::string& strCommand) {
    const int nStatus = std::system(strCommand.c_str());
    return nStatus == -1 || !WIFEXITED(nStatus) ? -1 : WEXITSTATUS(nStatus);
}

}  // namespace

TEST(PackageRepairFullDisk, DISABLED_Scenario) {
    ASSERT_TRUE(std::getenv(kPackageFullDiskEnv)) << "run by PackageRepairFullDisk.CheckReportsTheFullDisk";
    DamageStep d;
    d.op = DamageOp::Delete;
    d.path = "pakV3/Package2.DAT";
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({d}), TransportKind::Loopback, &skip, &err))
        << err;
    const std::string pak = run.PackageDir(), orig = pak + ".orig";
    ASSERT_EQ(::rename(pak.c_str(), orig.c_str()), 0);
    ASSERT_EQ(::mkdir(pak.c_str(), 0755), 0);
    ASSERT_EQ(::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::mount("tmpfs", pak.c_str(), "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
    for (const char* name : {"Package.CFG", "Dir0.idx", "Dir1.idx", "Package0.DAT", "Package1.DAT"})
        qn::test::WriteFile(pak + "/" + name, qn::test::ReadFile(orig + "/" + name));
    qn::test::WriteFile(pak + "/filler", Bytes(400 * 1024, 'f'));  // leaves less than 256 KiB
    {
        WideLogCapture log;
        IQN_PackageRepair* p = run.Create();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(run.Check().status, QN_RPS_ERROR_FAILED);
        EXPECT_TRUE(log.Contains("error 112")) << "the disk-full error is reported";
    }
    EXPECT_NE(::access((pak + "/Package2.DAT").c_str(), F_OK), 0) << "the data file that does not fit was made";
    EXPECT_EQ(qn::test::ReadFile(pak + "/Package1.DAT"), qn::test::ReadFile(orig + "/Package1.DAT"));
    EXPECT_EQ(::umount(pak.c_str()), 0);
}

namespace {

// Runs one disabled scenario of this program in a child copy inside a private mount namespace,
// with envName=1 set; skips the calling test where no such namespace can be made.
void RunScenarioInMountNamespace(const char* cszEnvName, const char* cszScenario) {
    char sz[4096];
    const ssize_t n = ::readlink("/proc/self/exe", sz, sizeof(sz) - 1);
    ASSERT_GT(n, 0);
    sz[n] = '\0';
    if (RunShell("unshare -rm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no private mount namespace here";
    const std::string run = std::string(cszEnvName) + "=1 unshare -rm '" + sz +
                            "' --gtest_also_run_disabled_tests --gtest_filter=" + cszScenario;
    EXPECT_EQ(RunShell(run + " >/dev/null 2>&1"), 0) << "run " << run << " to see why";
}

}  // namespace

TEST(PackageRepairFullDisk, CheckReportsTheFullDisk) {
    RunScenarioInMountNamespace(kPackageFullDiskEnv, "PackageRepairFullDisk.DISABLED_Scenario");
}

// A full disk while a folder file is downloaded: the temporary folder is a full tmpfs, the
// download fails there, and the folder file and the package folder stay as they were. The
// scenario runs in a child copy of this program inside a private mount namespace.
namespace {
const char* const kFolderFileFullDiskEnv = "QN_FOLDER_FILE_FULL_DISK_SCENARIO";
}  // namespace

TEST(FolderFileFullDisk, DISABLED_Scenario) {
    ASSERT_TRUE(std::getenv(kFolderFileFullDiskEnv)) << "run by FolderFileFullDisk.OldFileStaysWhenTheTemporaryFolderIsFull";
    PackageRun run;
    bool skip = false;
    std::string err;
    ASSERT_TRUE(run.Prepare(FixtureId::F1, SourceMode::UpdateFiles, DamageOf({ClientFlip("pakV3/Dir1.idx", 5)}),
                            TransportKind::Loopback, &skip, &err))
        << err;
    qn::test::TempDir tmp;
    const std::string temp = tmp / "QelRepairTemp";
    ASSERT_EQ(::mkdir(temp.c_str(), 0755), 0);
    ASSERT_EQ(::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::mount("tmpfs", temp.c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
    {
        // Fill it to the last byte.
        FILE* fp = std::fopen((temp + "/filler").c_str(), "wb");
        ASSERT_NE(fp, nullptr);
        const Bytes chunk(4096, 'f');
        while (std::fwrite(chunk.data(), 1, chunk.size(), fp) == chunk.size() && std::fflush(fp) == 0) {
        }
        std::fclose(fp);
    }
    IQN_PackageRepair* p = run.Create(temp);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(run.Check().status, QN_RPS_SUCCESS_FINISH_CHECK);
    const std::string local = run.PackageDir() + "/Dir1.idx";
    const Bytes before = qn::test::ReadFile(local);
    const std::vector<std::string> listing = qn::test::ListFiles(run.PackageDir());
    EXPECT_EQ(run.Repair().status, QN_RPS_SUCCESS_FINISH_REPAIR);
    EXPECT_EQ(p->GetCanNotRepairElemFileCount(), 1u);
    EXPECT_EQ(qn::test::ReadFile(local), before);
    EXPECT_EQ(qn::test::ListFiles(run.PackageDir()), listing);
    EXPECT_EQ(::umount(temp.c_str()), 0);
}

TEST(FolderFileFullDisk, OldFileStaysWhenTheTemporaryFolderIsFull) {
    RunScenarioInMountNamespace(kFolderFileFullDiskEnv, "FolderFileFullDisk.DISABLED_Scenario");
}
