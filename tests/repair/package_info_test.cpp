// The decoders and rules of the package repair information, on bytes: a header written by hand
// from the offset table, the kit's generated "Repair.REP" of F1 in both source modes, names,
// malformed tables, the block checksum, the address rule and the data-source lookups.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>

#include "KitBytes.h"
#include "QN_PackageRepairInfo.h"
#include "ReferenceFixtures.h"
#include "RepairFileEditor.h"
#include "qn_test_env.h"

using namespace qn::kit;

namespace {

const uint8_t* U8(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.data()); }

Bytes Name128(const std::u16string& units) {
    Bytes b(128, '\0');
    for (size_t i = 0; i < units.size() && i < 64; ++i) {
        b[2 * i] = (char)(units[i] & 0xFF);
        b[2 * i + 1] = (char)(units[i] >> 8);
    }
    return b;
}

Bytes DirRecord(const std::u16string& name, uint32_t crc) {
    Bytes r = Name128(name);
    AppendU32(&r, crc);
    return r;
}

Bytes SourceBytes(uint32_t id, const std::u16string& name, uint64_t base, uint64_t size) {
    Bytes r;
    AppendU32(&r, id);
    AppendU32(&r, 0xDEADBEEF);
    r += Name128(name);
    AppendU64(&r, base);
    AppendU64(&r, size);
    return r;
}

DataConfigFile Config(uint64_t base, uint64_t size, uint32_t count) {
    DataConfigFile c;
    std::memset(&c, 0, sizeof(c));
    c.ullBaseAddress = base;
    c.ullDataFileSize = size;
    c.uDataFileCount = count;
    return c;
}

}  // namespace

TEST(PackageRepairInfo, HeaderFieldsAreReadAtTheirOffsets) {
    // Every field holds a distinct pattern; u64 fields start at offsets that are not multiples
    // of 8, so a padded struct or a wrong offset reads a neighbour's bytes.
    Bytes h(324, '\0');
    for (size_t i = 0; i < 324; ++i) h[i] = (char)(0xA0 ^ i);
    PutU32(&h, 4 + 24, 0x11223344);
    PutU32(&h, 4 + 28, 0x55667788);
    PutU64(&h, 4 + 32, 0x0102030405060708ull);
    PutU64(&h, 4 + 40, 0x1112131415161718ull);
    PutU32(&h, 208, 0x99AABBCC);
    const size_t descs[5] = {212, 232, 252, 272, 292};
    for (int t = 0; t < 5; ++t) {
        PutU64(&h, descs[t], 0x2100000000000001ull * (t + 1));
        PutU64(&h, descs[t] + 8, 0x3100000000000002ull * (t + 1));
        PutU32(&h, descs[t] + 16, 0x41000003u * (t + 1));
    }
    QNPK_REPAIR_FILE_HEADER hdr;
    QN_DecodeRepairFileHeader(U8(h), &hdr);
    EXPECT_EQ(hdr.DataFileConfig.uDirFilesFolder, 0x11223344u);
    EXPECT_EQ(hdr.DataFileConfig.uDataFileCount, 0x55667788u);
    EXPECT_EQ(hdr.DataFileConfig.ullDataFileSize, 0x0102030405060708ull);
    EXPECT_EQ(hdr.DataFileConfig.ullBaseAddress, 0x1112131415161718ull);
    EXPECT_EQ(0, std::memcmp(hdr.DataFileConfig.abyRaw, h.data() + 4, 204));
    EXPECT_EQ(0, std::memcmp(hdr.abyRaw, h.data(), 324));
    EXPECT_EQ(hdr.uRepairFileHeaderCRC32, 0x99AABBCCu);
    const uint64_t offs[5] = {hdr.ullDirFileCheckInfoOffset, hdr.ullElemFileCheckInfoOffset,
                              hdr.ullEmptyBlockRegionInfoOffset, hdr.ullElemFileRepairInfoOffset,
                              hdr.ullDataSourceInfoOffset};
    const uint64_t sizes[5] = {hdr.ullDirFileCheckInfoSize, hdr.ullElemFileCheckInfoSize,
                               hdr.ullEmptyBlockRegionInfoSize, hdr.ullElemFileRepairInfoSize,
                               hdr.ullDataSourceInfoSize};
    const uint32_t crcs[5] = {hdr.uDirFileCheckInfoCRC32, hdr.uElemFileCheckInfoCRC32, hdr.uEmptyBlockRegionInfoCRC32,
                              hdr.uElemFileRepairInfoCRC32, hdr.uDataSourceInfoCRC32};
    for (int t = 0; t < 5; ++t) {
        SCOPED_TRACE(t);
        EXPECT_EQ(offs[t], 0x2100000000000001ull * (t + 1));
        EXPECT_EQ(sizes[t], 0x3100000000000002ull * (t + 1));
        EXPECT_EQ(crcs[t], 0x41000003u * (t + 1));
    }
}

TEST(PackageRepairInfo, HeaderChecksumCountsItsOwnFieldAsZero) {
    Bytes h(324, '\0');
    for (size_t i = 0; i < 324; ++i) h[i] = (char)(i * 7 + 3);
    Bytes zeroed = h;
    PutU32(&zeroed, 208, 0);
    PutU32(&h, 208, (uint32_t)crc32(0, U8(zeroed), 324));
    const uint32_t stored = GetU32(h, 208);
    EXPECT_EQ(QN_GetRepairFileHeaderCRC32(U8(h)), stored);
    for (size_t i = 0; i < 324; ++i) {
        if (i >= 208 && i < 212) continue;  // the field itself is not part of its checksum
        Bytes f = h;
        f[i] ^= 0x01;
        EXPECT_NE(QN_GetRepairFileHeaderCRC32(U8(f)), stored) << "byte " << i;
    }
}

// The kit encodes "Repair.REP" with its own code; the engine's decoders read back exactly the
// records the kit's generator reports.
TEST(PackageRepairInfo, DecodesTheKitsGeneratedRepairFile) {
    for (SourceMode mode : {SourceMode::UpdateFiles, SourceMode::Table}) {
        SCOPED_TRACE(mode == SourceMode::Table ? "table mode" : "update-files mode");
        qn::test::TempDir tmp;
        BuiltFixture fx;
        std::string err;
        ASSERT_TRUE(BuildFixture(FixtureId::F1, tmp.path(), mode, &fx, &err)) << err;
        const GeneratedInfo& g = fx.info;
        const Bytes rep = qn::test::ReadFile(fx.docroot + g.repUrlPath);
        ASSERT_GE(rep.size(), 324u);

        QNPK_REPAIR_FILE_HEADER hdr;
        QN_DecodeRepairFileHeader(U8(rep), &hdr);
        EXPECT_EQ(QN_GetRepairFileHeaderCRC32(U8(rep)), hdr.uRepairFileHeaderCRC32);
        EXPECT_EQ(hdr.DataFileConfig.uDirFilesFolder, g.dirFilesFolder);
        EXPECT_EQ(hdr.DataFileConfig.uDataFileCount, g.dataFileCount);
        EXPECT_EQ(hdr.DataFileConfig.ullDataFileSize, g.dataFileSize);
        EXPECT_EQ(hdr.DataFileConfig.ullBaseAddress, g.baseAddress);
        EXPECT_EQ(Bytes((const char*)hdr.DataFileConfig.abyRaw, 204),
                  qn::test::ReadFile(fx.clientRoot + "/pakV3/Package.CFG"));
        EXPECT_EQ(hdr.ullDirFileCheckInfoOffset, g.dirFileTable.offset);
        EXPECT_EQ(hdr.ullElemFileCheckInfoSize, g.blockTable.size);
        EXPECT_EQ(hdr.uEmptyBlockRegionInfoCRC32, g.regionTable.crc);
        EXPECT_EQ(hdr.ullElemFileRepairInfoOffset, g.repairTable.offset);
        EXPECT_EQ(hdr.ullDataSourceInfoSize, g.hasSourceTable ? g.sourceTable.size : 0u);

        auto table = [&rep](const TableSpan& s) { return U8(rep) + s.offset; };
        std::vector<QNPK_DIR_FILE_CHECK_INFO_ITEM> dirs;
        ASSERT_EQ(QN_DecodeDirFileCheckTable(table(g.dirFileTable), g.dirFileTable.size, g.dataFileCount, &dirs), 1);
        ASSERT_EQ(dirs.size(), g.dirFiles.size());
        for (size_t i = 0; i < dirs.size(); ++i) {
            EXPECT_EQ(dirs[i].strFileName, std::wstring(g.dirFiles[i].name.begin(), g.dirFiles[i].name.end()));
            EXPECT_EQ(dirs[i].uCRC32, g.dirFiles[i].crc);
        }
        std::vector<QNPK_ELEM_FILE_CHECK_INFO_ITEM> blocks;
        ASSERT_EQ(QN_DecodeElemFileCheckTable(table(g.blockTable), g.blockTable.size, &blocks), 1);
        ASSERT_EQ(blocks.size(), g.blocks.size());
        std::vector<QNPK_ELEM_FILE_REPAIR_INFO_ITEM> repair;
        ASSERT_EQ(QN_DecodeElemFileRepairTable(table(g.repairTable), g.repairTable.size, &repair), 1);
        ASSERT_EQ(repair.size(), g.blocks.size());
        QNPK_DATA_SOURCE_MAP sources;
        if (g.hasSourceTable) {
            ASSERT_EQ(QN_DecodeDataSourceTable(table(g.sourceTable), g.sourceTable.size, &sources), 1);
        }
        for (size_t i = 0; i < blocks.size(); ++i) {
            SCOPED_TRACE("block " + std::to_string(i));
            const BlockRecord& b = g.blocks[i];
            EXPECT_EQ(blocks[i].ullAddress, b.address);
            EXPECT_EQ(blocks[i].ullSize, b.size);
            EXPECT_EQ(blocks[i].uCRC32, b.crc);
            uint32_t file = 0;
            uint64_t off = 0;
            ASSERT_EQ(QN_GetDataFileLocation(hdr.DataFileConfig, b.address, b.size, &file, &off), 1);
            EXPECT_EQ(file, b.fileIndex);
            EXPECT_EQ(off, b.offset);
            EXPECT_EQ(repair[i].uDataSourceID, b.sourceId);
            EXPECT_EQ(repair[i].ullOffsetInDataSource, b.offsetInSource);
            uint64_t abs = 0;
            ASSERT_EQ(QN_GetAbsOffsetInDataSource(g.hasSourceTable ? &sources : nullptr, b.sourceId, b.offsetInSource,
                                                  b.size, &abs),
                      1);
            EXPECT_EQ(abs, b.offsetInServerFile);
            std::string url;
            ASSERT_EQ(QN_GetDataSourceFileURL(L"http://h/p/", g.hasSourceTable ? &sources : nullptr, b.sourceId, &url), 1);
            const std::string& served = g.sources.at(b.sourceId - 1).urlPath;
            const std::string tail = served.substr(served.rfind("/PakV3Repair/") + 13);
            EXPECT_EQ(url, "http://h/p//" + tail);
        }
        std::vector<QNPK_EMPTY_BLOCK_REGION_ITEM> regions;
        ASSERT_EQ(QN_DecodeEmptyBlockRegionTable(table(g.regionTable), g.regionTable.size, &regions), 1);
        ASSERT_EQ(regions.size(), g.regions.size());
        for (size_t j = 0; j < regions.size(); ++j) {
            EXPECT_EQ(regions[j].ullAddress, g.regions[j].address);
            EXPECT_EQ(regions[j].ullSize, g.regions[j].size);
        }
    }
}

TEST(PackageRepairInfo, UnalignedRecordsDecode) {
    Bytes blocks;
    for (uint64_t i = 0; i < 8; ++i) {
        AppendU64(&blocks, 0x0102030405060700ull + i);
        AppendU64(&blocks, 0x1000 + i);
        AppendU32(&blocks, 0xC0000000u + (uint32_t)i);
    }
    std::vector<QNPK_ELEM_FILE_CHECK_INFO_ITEM> b;
    ASSERT_EQ(QN_DecodeElemFileCheckTable(U8(blocks), blocks.size(), &b), 1);
    ASSERT_EQ(b.size(), 8u);
    for (uint64_t i = 0; i < 8; ++i) {
        EXPECT_EQ(b[i].ullAddress, 0x0102030405060700ull + i);
        EXPECT_EQ(b[i].ullSize, 0x1000 + i);
        EXPECT_EQ(b[i].uCRC32, 0xC0000000u + i);
    }
    Bytes repair;
    AppendU32(&repair, 3);
    AppendU64(&repair, 0x8877665544332211ull);
    std::vector<QNPK_ELEM_FILE_REPAIR_INFO_ITEM> r;
    ASSERT_EQ(QN_DecodeElemFileRepairTable(U8(repair), repair.size(), &r), 1);
    EXPECT_EQ(r[0].uDataSourceID, 3u);
    EXPECT_EQ(r[0].ullOffsetInDataSource, 0x8877665544332211ull);
}

TEST(PackageRepairInfo, TableNames) {
    struct Case {
        const char* name;
        std::u16string units;
        bool accepted;
        std::wstring expected;
    };
    const Case cases[] = {
        {"ascii", u"Dir0.idx", true, L"Dir0.idx"},
        {"chinese", u"\u76EE\u5F55.idx", true, L"\u76EE\u5F55.idx"},
        {"63 units", std::u16string(63, u'n'), true, std::wstring(63, L'n')},
        {"64 units without a terminator", std::u16string(64, u'n'), false, L""},
        {"surrogate pair", u"a\U0001F600.idx", true, L"a\U0001F600.idx"},
        {"empty", u"", false, L""},
        {"absolute", u"/etc/passwd", false, L""},
        {"drive form", u"C:x.idx", false, L""},
        {"parent part", u"..\\x.idx", false, L""},
        {"parent part inside", u"a/../../x.idx", false, L""},
        // Another spelling of a file inside the folder: empty and "." parts dropped.
        {"leading dot part", u".\\Dir0.idx", true, L"Dir0.idx"},
        {"doubled separator", u"a\\\\Dir0.idx", true, L"a/Dir0.idx"},
        {"dot part inside", u"a\\.\\Dir0.idx", true, L"a/Dir0.idx"},
        {"trailing separator", u"a\\", false, L""},
        {"dot as the last part", u"a\\.", false, L""},
        // The package's own files, as the folder would match them (ASCII case ignored,
        // separators and "." parts dropped); the table is read with three data files.
        {"configuration", u"Package.CFG", false, L""},
        {"configuration in other case", u"package.cfg", false, L""},
        {"configuration behind a dot part", u".\\Package.CFG", false, L""},
        {"data file", u"Package0.DAT", false, L""},
        {"last data file in upper case", u"PACKAGE2.DAT", false, L""},
        {"data file with a trailing separator", u"Package1.DAT\\", false, L""},
        {"configuration behind doubled separators", u".\\\\Package.CFG", false, L""},
        {"index at the count", u"Package3.DAT", true, L"Package3.DAT"},
        {"index with a leading zero", u"Package01.DAT", true, L"Package01.DAT"},
        {"data-file name in a subfolder", u"sub\\Package1.DAT", true, L"sub/Package1.DAT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes rec = DirRecord(c.units, 0x12345678);
        std::vector<QNPK_DIR_FILE_CHECK_INFO_ITEM> items;
        ASSERT_EQ(QN_DecodeDirFileCheckTable(U8(rec), rec.size(), 3, &items), c.accepted ? 1 : 0);
        if (!c.accepted) {
            EXPECT_TRUE(items.empty());
            continue;
        }
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].strFileName, c.expected);
        EXPECT_EQ(items[0].uCRC32, 0x12345678u);
    }
    // The surrogate pair is one code point.
    std::wstring w;
    const Bytes emoji = Name128(u"\U0001F600");
    ASSERT_EQ(QN_DecodeTableName(U8(emoji), &w), 1);
    EXPECT_EQ(w.size(), 1u);
}

// Two records that name one file (as a folder that ignores case would match them) refuse the
// table: the second download would replace the first file.
TEST(PackageRepairInfo, FolderFileNamesNameOneFileOnce) {
    struct Case {
        const char* name;
        std::u16string first, second;
        bool accepted;
    };
    const Case cases[] = {
        {"two names", u"Dir0.idx", u"Dir1.idx", true},
        {"same name", u"Dir0.idx", u"Dir0.idx", false},
        {"other case", u"Dir0.idx", u"dir0.IDX", false},
        {"dot part and other separator", u"a/Dir0.idx", u"a\\.\\Dir0.idx", false},
        {"leading dot part", u"a.dll", u".\\a.dll", false},
        {"doubled separator", u"a\\Dir0.idx", u"a\\\\Dir0.idx", false},
        {"same name in two folders", u"a\\Dir0.idx", u"b\\Dir0.idx", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes t = DirRecord(c.first, 1) + DirRecord(c.second, 2);
        std::vector<QNPK_DIR_FILE_CHECK_INFO_ITEM> items;
        EXPECT_EQ(QN_DecodeDirFileCheckTable(U8(t), t.size(), 3, &items), c.accepted ? 1 : 0);
        EXPECT_EQ(items.size(), c.accepted ? 2u : 0u);
    }
}

TEST(PackageRepairInfo, MalformedTablesAreRefusedWhole) {
    const Bytes dir = DirRecord(u"Dir0.idx", 1);
    Bytes block(20, '\x01'), region(16, '\x02'), repair(12, '\x03');
    struct Case {
        const char* name;
        int (*decode)(const Bytes&, uint64_t);
        Bytes bytes;
        uint64_t size;
    };
    auto dirs = [](const Bytes& b, uint64_t n) {
        std::vector<QNPK_DIR_FILE_CHECK_INFO_ITEM> v;
        return QN_DecodeDirFileCheckTable(U8(b), n, 3, &v);
    };
    auto blocks = [](const Bytes& b, uint64_t n) {
        std::vector<QNPK_ELEM_FILE_CHECK_INFO_ITEM> v;
        return QN_DecodeElemFileCheckTable(U8(b), n, &v);
    };
    auto regions = [](const Bytes& b, uint64_t n) {
        std::vector<QNPK_EMPTY_BLOCK_REGION_ITEM> v;
        return QN_DecodeEmptyBlockRegionTable(U8(b), n, &v);
    };
    auto repairs = [](const Bytes& b, uint64_t n) {
        std::vector<QNPK_ELEM_FILE_REPAIR_INFO_ITEM> v;
        return QN_DecodeElemFileRepairTable(U8(b), n, &v);
    };
    auto sources = [](const Bytes& b, uint64_t n) {
        QNPK_DATA_SOURCE_MAP m;
        return QN_DecodeDataSourceTable(U8(b), n, &m);
    };
    const Bytes two = SourceBytes(1, u"S1.dat", 0, 10) + SourceBytes(2, u"S2.dat", 10, 10);
    const Case cases[] = {
        {"folder files: no record", dirs, dir, 0},
        {"folder files: a part record", dirs, dir, 131},
        {"blocks: no record", blocks, block, 0},
        {"blocks: 161 bytes", blocks, block + block + block + block + block + block + block + block + "x", 161},
        {"regions: a part record", regions, region, 15},
        {"repair: 13 bytes", repairs, repair + "x", 13},
        {"sources: 300 bytes", sources, two, 300},
        {"sources: a repeated id", sources, SourceBytes(4, u"a", 0, 1) + SourceBytes(4, u"b", 1, 1), 304},
        {"sources: a name that leaves the folder", sources, SourceBytes(1, u"../x", 0, 1), 152},
    };
    for (const Case& c : cases) EXPECT_EQ(c.decode(c.bytes, c.size), 0) << c.name;
    EXPECT_EQ(sources(two, 304), 1) << "304 bytes hold two sources";
    QNPK_DATA_SOURCE_MAP m;
    ASSERT_EQ(QN_DecodeDataSourceTable(U8(two), two.size(), &m), 1);
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(m.at(2).strFileName, L"S2.dat");
    EXPECT_EQ(m.at(2).ullBaseOffset, 10u);
    // Sizes of 4 GiB and more cannot be fetched in one piece.
    EXPECT_EQ(QN_IsTableSizeValid(0x100000000ull, 16), 0);
    EXPECT_EQ(QN_IsTableSizeValid(0xFFFFFFF0ull, 16), 1);
}

TEST(PackageRepairInfo, BlockChecksumIgnoresTheFirstFourBytes) {
    Bytes a = "ABCDEFGHIJ", b = "wxyzEFGHIJ";
    EXPECT_EQ(QN_GetElemFileBlockCRC32(U8(a), a.size()), QN_GetElemFileBlockCRC32(U8(b), b.size()));
    EXPECT_EQ(QN_GetElemFileBlockCRC32(U8(a), a.size()), BlockCrc(a)) << "the kit's rule";
    b[4] = 'e';
    EXPECT_NE(QN_GetElemFileBlockCRC32(U8(a), a.size()), QN_GetElemFileBlockCRC32(U8(b), b.size()));
    EXPECT_EQ(QN_GetElemFileBlockCRC32(U8(a), 4), 0x2144DF1Cu);
    EXPECT_EQ(a, "ABCDEFGHIJ") << "the block is not changed";
    // Shorter blocks: every byte counts as zero, and nothing past the block is touched.
    std::unique_ptr<uint8_t[]> three(new uint8_t[3]{9, 9, 9});
    EXPECT_EQ(QN_GetElemFileBlockCRC32(three.get(), 3), (uint32_t)crc32(0, (const Bytef*)"\0\0\0", 3));
    EXPECT_EQ(three[0], 9);
}

TEST(PackageRepairInfo, AddressRule) {
    struct Case {
        const char* name;
        uint64_t address, size;
        bool accepted;
        uint32_t file;
        uint64_t offset;
    };
    const uint64_t kBase = 4096, kSize = 1 << 20;
    const Case cases[] = {
        {"second file", kSize + kBase, 10, true, 1, 0},
        {"the base", kBase, 10, true, 0, 0},
        {"last byte of the last file", kBase + 3 * kSize - 1, 1, true, 2, kSize - 1},
        {"below the base", kBase - 1, 10, false, 0, 0},
        {"index equal to the count", kBase + 3 * kSize, 1, false, 0, 0},
        {"size 0", kBase, 0, false, 0, 0},
        {"past the end of its file", kBase + kSize - 5, 6, false, 0, 0},
        {"a size that wraps", kBase + 8, UINT64_MAX - 3, false, 0, 0},
    };
    const DataConfigFile cfg = Config(kBase, kSize, 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t file = 99;
        uint64_t off = 99;
        ASSERT_EQ(QN_GetDataFileLocation(cfg, c.address, c.size, &file, &off), c.accepted ? 1 : 0);
        if (c.accepted) {
            EXPECT_EQ(file, c.file);
            EXPECT_EQ(off, c.offset);
        }
    }
    EXPECT_EQ(QN_GetDataFileLocation(Config(kBase, 0, 3), kBase, 1, nullptr, nullptr), 0) << "data-file size 0";
    EXPECT_EQ(QN_GetDataFileLocation(Config(kBase, kSize, 0), kBase, 1, nullptr, nullptr), 0) << "no data file";
}

TEST(PackageRepairInfo, OverlapTest) {
    using R = std::vector<std::pair<uint64_t, uint64_t>>;
    auto disjoint = [](const R& r) { return QN_RangesAreDisjoint(r.size(), [&r](size_t i) { return r[i]; }); };
    EXPECT_EQ(disjoint(R{{100, 10}, {110, 5}, {0, 100}}), 1) << "touching ranges";
    EXPECT_EQ(disjoint(R{{100, 10}, {109, 5}}), 0);
    EXPECT_EQ(disjoint(R{{200, 1}, {100, 200}}), 0) << "one inside another, given in any order";
    EXPECT_EQ(disjoint(R{{5, 1}, {5, 1}}), 0);
    EXPECT_EQ(disjoint(R{}), 1);
}

TEST(PackageRepairInfo, DataSources) {
    QNPK_DATA_SOURCE_MAP m;
    const Bytes t = SourceBytes(1, u"Sources.dat", 64, 1000) + SourceBytes(2, u"Sources.dat", 7746, 500);
    ASSERT_EQ(QN_DecodeDataSourceTable(U8(t), t.size(), &m), 1);
    struct Case {
        const char* name;
        bool table;
        uint32_t id;
        uint64_t offset, size;
        bool accepted;
        uint64_t abs;
    };
    const Case cases[] = {
        {"no table: the offset itself", false, 5, 1234, 10, true, 1234},
        {"base + offset", true, 2, 100, 10, true, 7846},
        {"block ending at the source's end", true, 1, 990, 10, true, 1054},
        {"offset equal to the size", true, 1, 1000, 1, false, 0},
        {"block running into the next source", true, 1, 995, 10, false, 0},
        {"id 0 with a table", true, 0, 0, 1, false, 0},
        {"id 0 without a table", false, 0, 0, 1, false, 0},
        {"an id not in the table", true, 3, 0, 1, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t abs = 0;
        ASSERT_EQ(QN_GetAbsOffsetInDataSource(c.table ? &m : nullptr, c.id, c.offset, c.size, &abs), c.accepted ? 1 : 0);
        if (c.accepted) {
            EXPECT_EQ(abs, c.abs);
        }
    }
    std::string url;
    ASSERT_EQ(QN_GetDataSourceFileURL(L"http://h/zhcn_v3//PakV3Repair/", nullptr, 5, &url), 1);
    EXPECT_EQ(url, "http://h/zhcn_v3//PakV3Repair//UpdateFiles/4-5.UPDATE");
    ASSERT_EQ(QN_GetDataSourceFileURL(L"http://h/p", &m, 2, &url), 1);
    EXPECT_EQ(url, "http://h/p/Sources.dat");
    EXPECT_EQ(QN_GetDataSourceFileURL(L"http://h/p", &m, 3, &url), 0);
    QNPK_DATA_SOURCE_MAP named;
    const Bytes n = SourceBytes(7, u"\u6570\u636E/a 1.dat", 0, 10);
    ASSERT_EQ(QN_DecodeDataSourceTable(U8(n), n.size(), &named), 1);
    ASSERT_EQ(QN_GetDataSourceFileURL(L"http://h/p", &named, 7, &url), 1);
    EXPECT_EQ(url, "http://h/p/%E6%95%B0%E6%8D%AE/a%201.dat") << "the name is escaped, its folders kept";
    EXPECT_EQ(QN_GetDataSourceFileURL(std::wstring(250, L'u').c_str(), nullptr, 1, &url), 0) << "longer than 259";

    // The limit counts the characters of the URL as the server names the file; the escaped
    // form (nine bytes for a Chinese character) may be far longer.
    const Bytes rec40 = SourceBytes(3, std::u16string(40, u'\u6570') + u".dat", 0, 10);
    QNPK_DATA_SOURCE_MAP forty;
    ASSERT_EQ(QN_DecodeDataSourceTable(U8(rec40), rec40.size(), &forty), 1);
    ASSERT_EQ(QN_GetDataSourceFileURL(L"http://h/p", &forty, 3, &url), 1);
    std::string expected = "http://h/p/";
    for (int k = 0; k < 40; ++k) expected += "%E6%95%B0";
    EXPECT_EQ(url, expected + ".dat");
    const std::wstring longBase = L"http://h/" + std::wstring(259 - 9 - 1 - 8, L'p');
    const Bytes rec8 = SourceBytes(3, u"\u6570\u6570\u6570\u6570.dat", 0, 10);
    QNPK_DATA_SOURCE_MAP eight;
    ASSERT_EQ(QN_DecodeDataSourceTable(U8(rec8), rec8.size(), &eight), 1);
    EXPECT_EQ(QN_GetDataSourceFileURL(longBase.c_str(), &eight, 3, &url), 1) << "259 characters";
    EXPECT_EQ(url.size(), 259u - 4 + 4 * 9);
    EXPECT_EQ(QN_GetDataSourceFileURL((longBase + L"p").c_str(), &eight, 3, &url), 0) << "260 characters";
}
