// "qel_repair.info": the header check and the parsers of the file-check and folder tables, on
// hand-built bytes written by offset here (never with the engine's decoder), and the header
// fields of the kit's generated file, which pin the layout from the other side.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "QN_NormalFileRepairInfo.h"
#include "ReferenceFixtures.h"
#include "qn_log_capture.h"
#include "qn_test_env.h"

using namespace qn::kit;

namespace {

const char kCheckFn[] = "QN_RepairNormalFile::_CheckFunction";
const char kDirFn[] = "QN_RepairNormalFile::_DownloadDirInfo";

// A header by offset: type, version, CRC (recomputed unless told), the table fields.
Bytes MakeHeader(uint32_t uType, uint32_t uVersion, bool bFixCrc = true) {
    Bytes h(76, '\0');
    PutU32(&h, 0, uType);
    PutU32(&h, 4, uVersion);
    PutU32(&h, 12, 76);
    PutU32(&h, 16, 100);
    PutU32(&h, 20, 0x11111111);
    PutU32(&h, 36, 176);
    PutU32(&h, 40, 20);
    PutU32(&h, 44, 0x22222222);
    PutU32(&h, 48, 196);
    PutU32(&h, 52, 40);
    for (size_t i = 56; i < 76; ++i) h[i] = (char)(i * 7);
    if (bFixCrc) PutU32(&h, 8, RepairInfoHeaderCrc(h));
    return h;
}

QN_REPAIR_INFO_FILE_HEADER Decode(const Bytes& raw) {
    QN_REPAIR_INFO_FILE_HEADER h{};
    std::memcpy(h.byRaw, raw.data(), 76);
    QN_DecodeRepairInfoHeader(&h);
    return h;
}

// The one failure line the call wrote ("" when none), without its line number.
std::string FailureOf(const qn::test::LogCapture& log) {
    std::vector<std::string> m = log.Messages();
    if (m.empty()) return "";
    std::string s = m.back();
    size_t at = s.find(" at line ");
    return at == std::string::npos ? s : s.substr(0, at) + s.substr(s.find(" in ", at));
}

std::string Line(const std::string& text, const char* fn) { return "QNLOG_PROCESS_ERROR(" + text + ") in " + fn; }

// A record of either table: the size field, the name bytes, and (file-check table) the CRC.
void AddRecord(Bytes* b, uint32_t uNameSize, const Bytes& name, bool bCrc = true, uint32_t uCrc = 0xABCD) {
    AppendU32(b, uNameSize);
    b->append(name);
    if (bCrc) AppendU32(b, uCrc);
}

Bytes Named(const std::string& s) { return s + std::string(1, '\0'); }

}  // namespace

TEST(NormalInfoHeader, ChecksComeInTheirOrder) {
    struct Row {
        const char* name;
        Bytes raw;
        std::string failure;
    };
    Bytes wrongBoth = MakeHeader(0x47495251, 0, false);  // "QRIG" and a stale CRC
    PutU32(&wrongBoth, 8, 12345);
    Bytes flip30 = MakeHeader(QN_REPAIR_INFO_FILE_TYPE, 0);
    flip30[30] ^= 1;  // an unread byte is still covered by the CRC
    Bytes flip70 = MakeHeader(QN_REPAIR_INFO_FILE_TYPE, 0);
    flip70[70] ^= 0x80;
    const Row rows[] = {
        {"good", MakeHeader(QN_REPAIR_INFO_FILE_TYPE, 0), ""},
        {"wrong crc and type", wrongBoth, "uCheckCRC == m_RepairInfoFileHeader.uHeaderCRC"},
        {"QRIG", MakeHeader(0x47495251, 0), "m_RepairInfoFileHeader.uType == QN_REPAIR_INFO_FILE_TYPE"},
        {"version 1", MakeHeader(QN_REPAIR_INFO_FILE_TYPE, 1),
         "m_RepairInfoFileHeader.uVersion == QN_REPAIR_INFO_FILE_VERSION"},
        {"byte 30", flip30, "uCheckCRC == m_RepairInfoFileHeader.uHeaderCRC"},
        {"byte 70", flip70, "uCheckCRC == m_RepairInfoFileHeader.uHeaderCRC"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        qn::test::LogCapture log;
        EXPECT_EQ(QN_CheckRepairInfoHeader(Decode(r.raw), kCheckFn), r.failure.empty() ? 1 : 0);
        EXPECT_EQ(FailureOf(log), r.failure.empty() ? "" : Line(r.failure, kCheckFn));
    }
}

TEST(NormalInfoHeader, FieldsOfTheGeneratedFileAreTheReferenceNumbers) {
    qn::test::TempDir tmp;
    BuiltFixture fx;
    std::string err;
    ASSERT_TRUE(BuildFixture(FixtureId::F1, tmp.path(), SourceMode::UpdateFiles, &fx, &err)) << err;
    Bytes file = qn::test::ReadFile(fx.docroot + fx.info.infoUrlPath);
    ASSERT_EQ(file.size(), f1::kInfoFileSize);
    QN_REPAIR_INFO_FILE_HEADER h = Decode(file);
    EXPECT_EQ(QN_CheckRepairInfoHeader(h, kCheckFn), 1);
    EXPECT_EQ(h.uFileCheckInfoOffset, f1::kFileCheckOffset);
    EXPECT_EQ(h.uFileCheckInfoSize, f1::kFileCheckSize);
    EXPECT_EQ(h.uFileCheckInfoCRC, fx.info.fileCheck.crc);
    EXPECT_EQ(h.uDirInfoOffset, f1::kDirTableOffset);
    EXPECT_EQ(h.uDirInfoSize, f1::kDirTableSize);
    EXPECT_EQ(h.uDirInfoCRC, fx.info.dirTable.crc);
    EXPECT_EQ(h.uFileRepairInfoOffset, f1::kFileRepairOffset);
    EXPECT_EQ(h.uFileRepairInfoSize, f1::kFileRepairSize);

    std::vector<QN_REPAIR_FILE_CHECK_INFO> files;
    ASSERT_EQ(QN_ParseFileCheckTable((const uint8_t*)file.data() + h.uFileCheckInfoOffset, h.uFileCheckInfoSize,
                                     h.uFileCheckInfoCRC, nullptr, kCheckFn, &files),
              1);
    ASSERT_EQ(files.size(), fx.info.normalFiles.size());
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i].strFileName, fx.info.normalFiles[i].tableName);
        EXPECT_EQ(files[i].uCRC, fx.info.normalFiles[i].crc);
        uint32_t uDir = 99;
        ASSERT_EQ(QN_GetFileRepairDirID((const uint8_t*)file.data() + h.uFileRepairInfoOffset, h.uFileRepairInfoSize,
                                        (uint32_t)i, &uDir),
                  1);
        EXPECT_EQ(uDir, fx.info.normalFiles[i].dirId);
    }
    std::vector<std::string> dirs;
    ASSERT_EQ(QN_ParseDirTable((const uint8_t*)file.data() + h.uDirInfoOffset, h.uDirInfoSize, h.uDirInfoCRC, nullptr,
                               kDirFn, &dirs),
              1);
    EXPECT_EQ(dirs, fx.info.dirs);
}

namespace {

struct TableRow {
    const char* name;
    Bytes table;
    std::string failure;  // "" when the table is valid
    size_t records = 0;
};

Bytes Counted(uint32_t uCount) {
    Bytes b;
    AppendU32(&b, uCount);
    return b;
}

// Rows shared by both tables; bCrc tells whether records carry a CRC (file-check table).
std::vector<TableRow> CommonRows(bool bCrc, const std::string& fieldName) {
    std::vector<TableRow> rows;
    rows.push_back({"count 0", Counted(0), "", 0});
    {
        Bytes b = Counted(1);
        AddRecord(&b, 259, Named(std::string(258, 'n')), bCrc);
        rows.push_back({"name size 259", b, "", 1});
    }
    {
        Bytes b = Counted(1);
        AddRecord(&b, 260, Named(std::string(259, 'n')), bCrc);
        rows.push_back({"name size 260", b, "uNameSize < _countof(" + fieldName + ")"});
    }
    {
        Bytes b = Counted(1);
        AddRecord(&b, 4, Bytes("a\0bc", 4), bCrc);
        rows.push_back({"last byte not zero", b, fieldName + "[uNameSize - 1] == '\\0'"});
    }
    {
        Bytes b = Counted(3);
        AddRecord(&b, 2, Named("a"), bCrc);
        AddRecord(&b, 2, Named("b"), bCrc);
        rows.push_back({"count 3 with 2 records", b, "pbyReadPos + sizeof(uNameSize) <= pbyTailPos"});
    }
    {
        Bytes b = Counted(1);
        AddRecord(&b, 2, Named("a"), bCrc);
        b.append(7, '\x77');
        rows.push_back({"7 trailing bytes", b, "", 1});
    }
    {
        Bytes b = Counted(1);
        AddRecord(&b, 0, "", bCrc);
        b.append(8, 'x');
        rows.push_back({"name size 0", b, "uNameSize > 0"});
    }
    {
        Bytes b = Counted(0xFFFFFFFFu);
        AddRecord(&b, 2, Named("a"), bCrc);
        rows.push_back({"count 0xFFFFFFFF", b, "pbyReadPos + sizeof(uNameSize) <= pbyTailPos"});
    }
    rows.push_back({"no count", Bytes(), std::string("pbyReadPos + sizeof(") + (bCrc ? "uFileCount" : "uDirCount") +
                                              ") <= pbyTailPos"});
    return rows;
}

void RunRows(const std::vector<TableRow>& rows, bool bFileCheck) {
    for (const TableRow& r : rows) {
        SCOPED_TRACE(r.name);
        qn::test::LogCapture log;
        int nRet = 0;
        size_t uGot = 0, uCapacity = 0;
        const uint8_t* p = (const uint8_t*)r.table.data();
        uint32_t uCrc = Crc32(r.table);
        if (bFileCheck) {
            std::vector<QN_REPAIR_FILE_CHECK_INFO> v;
            nRet = QN_ParseFileCheckTable(p, (uint32_t)r.table.size(), uCrc, nullptr, kCheckFn, &v);
            uGot = v.size();
            uCapacity = v.capacity();
        } else {
            std::vector<std::string> v;
            nRet = QN_ParseDirTable(p, (uint32_t)r.table.size(), uCrc, nullptr, kDirFn, &v);
            uGot = v.size();
            uCapacity = v.capacity();
        }
        EXPECT_EQ(nRet, r.failure.empty() ? 1 : 0);
        EXPECT_EQ(FailureOf(log), r.failure.empty() ? "" : Line(r.failure, bFileCheck ? kCheckFn : kDirFn));
        EXPECT_EQ(uGot, r.records);
        // Room is reserved for what the bytes can hold, never for the count the server claims.
        EXPECT_LE(uCapacity, r.table.size());
    }
}

}  // namespace

TEST(NormalInfoTables, FileCheckTable) {
    std::vector<TableRow> rows = CommonRows(true, "szFileName");
    {
        Bytes b = Counted(1);
        AppendU32(&b, 2);
        b.append(Named("a"));
        b.append("\x01\x02", 2);
        rows.push_back({"truncated crc", b, "pbyReadPos + sizeof(CheckInfo.uCRC) <= pbyTailPos"});
    }
    // Names that would leave the client folder, or that name no file inside it (a trailing
    // separator, "." as the last part), make the table malformed.
    for (const char* unsafe : {"..\\evil.dll", "\\abs.dll", "/abs.dll", "C:\\x.dll", "a\\..\\..\\b", "", "bin\\.",
                               "bin\\"}) {
        Bytes b = Counted(2);
        AddRecord(&b, 6, Named("ok.dl"));
        AddRecord(&b, (uint32_t)std::strlen(unsafe) + 1, Named(unsafe));
        rows.push_back({unsafe, b, "QN_LocalPathFromTableName(szFileName)"});
    }
    // Names written another way still name a file inside the folder: the table holds them.
    {
        Bytes b = Counted(3);
        AddRecord(&b, 6, Named("ok.dl"));
        AddRecord(&b, 7, Named("bin\\\\x"));
        AddRecord(&b, 8, Named(".\\a.dll"));
        rows.push_back({"a doubled separator and a leading dot part", b, "", 3});
    }
    RunRows(rows, true);
}

TEST(NormalInfoTables, FolderTable) {
    std::vector<TableRow> rows = CommonRows(false, "szDirName");
    {
        // A name that overruns the tail and is too long reports the bound first.
        Bytes b = Counted(1);
        AppendU32(&b, 300);
        b.append(10, 'd');
        rows.push_back({"overrun and too long", b, "pbyReadPos + uNameSize <= pbyTailPos"});
    }
    RunRows(rows, false);
}

TEST(NormalInfoTables, ChecksumAndStopComeFirst) {
    Bytes b = Counted(1);
    AddRecord(&b, 2, Named("a"));
    const uint8_t* p = (const uint8_t*)b.data();
    std::vector<QN_REPAIR_FILE_CHECK_INFO> files;
    std::vector<std::string> dirs;
    {
        qn::test::LogCapture log;
        EXPECT_EQ(QN_ParseFileCheckTable(p, (uint32_t)b.size(), Crc32(b) ^ 1, nullptr, kCheckFn, &files), 0);
        EXPECT_EQ(FailureOf(log), Line("uCheckCRC == m_RepairInfoFileHeader.uFileCheckInfoCRC", kCheckFn));
    }
    {
        qn::test::LogCapture log;
        EXPECT_EQ(QN_ParseDirTable(p, (uint32_t)b.size(), Crc32(b) ^ 1, nullptr, kDirFn, &dirs), 0);
        EXPECT_EQ(FailureOf(log), Line("uCheckCRC == m_RepairInfoFileHeader.uDirInfoCRC", kDirFn));
    }
    {
        qn::test::LogCapture log;
        EXPECT_EQ(QN_ParseFileCheckTable(p, (uint32_t)b.size(), Crc32(b), [] { return true; }, kCheckFn, &files), 0);
        EXPECT_EQ(FailureOf(log), Line("m_nStatusCode != QN_RFSC_ERROR_ABROT", kCheckFn));
        EXPECT_TRUE(files.empty());
    }
}

TEST(NormalInfoTables, FileRepairEntryOutsideAShortTableIsRefused) {
    Bytes t;
    AppendU32(&t, 7);
    AppendU32(&t, 9);
    t.append("\x01\x02", 2);  // a torn third entry
    struct Row {
        uint32_t index;
        int ret;
        uint32_t dir;
    } rows[] = {{0, 1, 7}, {1, 1, 9}, {2, 0, 0}, {0x40000000u, 0, 0}, {0xFFFFFFFFu, 0, 0}};
    for (const Row& r : rows) {
        uint32_t uDir = 0;
        EXPECT_EQ(QN_GetFileRepairDirID((const uint8_t*)t.data(), (uint32_t)t.size(), r.index, &uDir), r.ret) << r.index;
        EXPECT_EQ(uDir, r.dir) << r.index;
    }
}
