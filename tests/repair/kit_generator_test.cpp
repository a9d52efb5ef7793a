// The server-tree generator: golden bytes of two small files, the reference fixtures' layout
// numbers, the placement of every block, region and good copy, and the inputs it refuses.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <map>

#include "KitBytes.h"
#include "ReferenceFixtures.h"
#include "ServerTreeGenerator.h"
#include "qn_test_env.h"

using namespace qn::kit;

namespace {

Bytes FromHex(const std::string& hex) {
    Bytes out;
    std::string digits;
    for (char c : hex)
        if (std::isxdigit((unsigned char)c)) digits.push_back(c);
    for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back((char)std::stoi(digits.substr(i, 2), nullptr, 16));
    return out;
}

uint32_t ZCrc(const Bytes& b) { return (uint32_t)crc32(0, (const Bytef*)b.data(), (uInt)b.size()); }

std::string Le32(uint32_t v) {
    Bytes b;
    PutU32(&b, 0, v);
    return Hex(b);
}

// A tiny client: one ordinary file and a one-block package.
void WriteTinyClient(const std::string& root) {
    qn::test::WriteFile(root + "/bin/zhcn/a.txt", "abc");
    PackageLayout layout;
    layout.dataFileCount = 1;
    layout.dataFileSize = 32;
    layout.baseAddress = 0x100;
    layout.blocks = {{0, 0, 8}};
    layout.dirFiles = {{"x", 2}};
    std::string err;
    ASSERT_TRUE(MakePackage(layout, root, nullptr, &err)) << err;
}

GeneratorOptions TinyOptions() {
    GeneratorOptions opt;
    opt.dirs = {"d"};
    return opt;
}

}  // namespace

TEST(KitGenerator, GoldenRepairInfoOfOneFile) {
    qn::test::TempDir tmp;
    WriteTinyClient(tmp / "client");
    Manifest m;
    std::string err;
    ASSERT_TRUE(ManifestFromText(qn::test::ReadFile(tmp / "client/pakV3.manifest"), &m, &err)) << err;
    ASSERT_TRUE(GenerateServerTree(tmp / "client", &m, tmp / "www", TinyOptions(), nullptr, &err)) << err;

    const std::string fileCheck = "01000000" "06000000" "612e747874 00" "c2412435";  // crc32("abc")
    const std::string dirTable = "01000000" "02000000" "6400";
    const std::string fileRepair = "00000000";
    std::string header = "51524946" "00000000" "00000000"                          // type, version, crc
                         "4c000000" "12000000" + Le32(ZCrc(FromHex(fileCheck))) +  // 76, 18
                         "eeeeeeeeeeeeeeeeeeeeeeee"
                         "5e000000" "0a000000" + Le32(ZCrc(FromHex(dirTable))) +   // 94, 10
                         "68000000" "04000000"                                     // 104, 4
                         "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee";
    Bytes expected = FromHex(header + fileCheck + dirTable + fileRepair);
    ASSERT_EQ(expected.size(), 108u);
    PutU32(&expected, 8, ZCrc(expected.substr(0, 76)));
    EXPECT_EQ(Hex(qn::test::ReadFile(tmp / "www/qelrepair/zhcn_v3/qel_repair.info")), Hex(expected));
    EXPECT_EQ(qn::test::ReadFile(tmp / "www/qelrepair/zhcn_v3/d/a.txt"), "abc");
}

TEST(KitGenerator, GoldenRepairRepOfOneBlock) {
    qn::test::TempDir tmp;
    WriteTinyClient(tmp / "client");
    Manifest m;
    std::string err;
    ASSERT_TRUE(ManifestFromText(qn::test::ReadFile(tmp / "client/pakV3.manifest"), &m, &err)) << err;
    ASSERT_TRUE(GenerateServerTree(tmp / "client", &m, tmp / "www", TinyOptions(), nullptr, &err)) << err;

    const Bytes cfg = qn::test::ReadFile(tmp / "client/pakV3/Package.CFG");
    const Bytes data = qn::test::ReadFile(tmp / "client/pakV3/Package0.DAT");
    Bytes zeroedBlock = Bytes(4, '\0') + data.substr(4, 4);
    std::string dirFiles = "7800" + std::string(252, '0') + Le32(ZCrc(qn::test::ReadFile(tmp / "client/pakV3/x")));
    std::string blocks = "0001000000000000" "0800000000000000" + Le32(ZCrc(zeroedBlock));
    std::string regions = "0801000000000000" "1800000000000000";
    std::string repair = "01000000" "0000000000000000";
    auto desc = [](const char* off, const char* size, const std::string& table) {
        return std::string(off) + size + Le32(ZCrc(FromHex(table)));
    };
    std::string header = "514b5033" + Hex(cfg) + "00000000" +
                         desc("4401000000000000", "8400000000000000", dirFiles) +
                         desc("c801000000000000", "1400000000000000", blocks) +
                         desc("dc01000000000000", "1000000000000000", regions) +
                         desc("ec01000000000000", "0c00000000000000", repair) +
                         "0000000000000000" "0000000000000000" "00000000" + "5a5a5a5a5a5a5a5a5a5a5a5a";
    Bytes expected = FromHex(header + dirFiles + blocks + regions + repair);
    ASSERT_EQ(expected.size(), 504u);
    PutU32(&expected, 208, ZCrc(expected.substr(0, 324)));
    EXPECT_EQ(Hex(qn::test::ReadFile(tmp / "www/qelrepair/zhcn_v3/PakV3Repair/Repair.REP")), Hex(expected));
    EXPECT_EQ(qn::test::ReadFile(tmp / "www/qelrepair/zhcn_v3/PakV3Repair/UpdateFiles/0-1.UPDATE"),
              data.substr(0, 8) + Bytes(50, 0x5A));
    EXPECT_EQ(qn::test::ReadFile(tmp / "www/qelrepair/zhcn_v3/PakV3Repair/DirFiles/7/x"),
              qn::test::ReadFile(tmp / "client/pakV3/x"));
}

TEST(KitGenerator, ReferenceFixtureF1Layout) {
    for (SourceMode mode : {SourceMode::UpdateFiles, SourceMode::Table}) {
        SCOPED_TRACE(mode == SourceMode::Table ? "table mode" : "update-files mode");
        qn::test::TempDir tmp;
        BuiltFixture fx;
        std::string err;
        ASSERT_TRUE(BuildFixture(FixtureId::F1, tmp.path(), mode, &fx, &err)) << err;
        const GeneratedInfo& g = fx.info;
        EXPECT_EQ(g.normalFiles.size(), f1::kFileCount);
        EXPECT_EQ(g.fileCheck.offset, f1::kFileCheckOffset);
        EXPECT_EQ(g.fileCheck.size, f1::kFileCheckSize);
        EXPECT_EQ(g.dirTable.offset, f1::kDirTableOffset);
        EXPECT_EQ(g.dirTable.size, f1::kDirTableSize);
        EXPECT_EQ(g.fileRepair.offset, f1::kFileRepairOffset);
        EXPECT_EQ(g.fileRepair.size, f1::kFileRepairSize);
        EXPECT_EQ(g.infoFileSize, f1::kInfoFileSize);
        EXPECT_EQ(g.dirFileTable.offset, f1::kRepDirFilesOffset);
        EXPECT_EQ(g.dirFileTable.size, f1::kRepDirFilesSize);
        EXPECT_EQ(g.blockTable.offset, f1::kRepBlocksOffset);
        EXPECT_EQ(g.blockTable.size, f1::kRepBlocksSize);
        EXPECT_EQ(g.regionTable.offset, f1::kRepRegionsOffset);
        EXPECT_EQ(g.regionTable.size, f1::kRepRegionsSize);
        EXPECT_EQ(g.repairTable.offset, f1::kRepRepairOffset);
        EXPECT_EQ(g.repairTable.size, f1::kRepRepairSize);
        ASSERT_EQ(g.sources.size(), 2u);
        EXPECT_EQ(g.sources[0].length, f1::kSource1Length);
        EXPECT_EQ(g.sources[1].length, f1::kSource2Length);
        if (mode == SourceMode::Table) {
            EXPECT_TRUE(g.hasSourceTable);
            EXPECT_EQ(g.sourceTable.offset, f1::kRepSourcesOffset);
            EXPECT_EQ(g.sourceTable.size, f1::kRepSourcesSize);
            EXPECT_EQ(g.sources[0].baseOffset, f1::kSource1Base);
            EXPECT_EQ(g.sources[1].baseOffset, f1::kSource2Base);
            EXPECT_EQ(g.repFileSize, 1260u);
        } else {
            EXPECT_FALSE(g.hasSourceTable);
            EXPECT_EQ(g.sourceTable.offset, 0u);
            EXPECT_EQ(g.sourceTable.size, 0u);
            EXPECT_EQ(g.repFileSize, 956u);
        }
        // F1's explicit source layout: (source, offset in source) per block.
        const std::pair<uint32_t, uint64_t> where[8] = {{1, 2000}, {1, 6096}, {1, 0},   {1, 600},
                                                        {2, 72660}, {2, 100}, {1, 1213}, {2, 70100}};
        ASSERT_EQ(g.blocks.size(), 8u);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(g.blocks[i].sourceId, where[i].first) << "block " << i;
            EXPECT_EQ(g.blocks[i].offsetInSource, where[i].second) << "block " << i;
        }
        const uint64_t regions[7][3] = {{0, 5596, 4404},  {0, 10100, 512},   {0, 10712, 248432}, {1, 70000, 30000},
                                        {1, 100005, 162139}, {2, 0, 50000}, {2, 52048, 210096}};
        ASSERT_EQ(g.regions.size(), 7u);
        for (int r = 0; r < 7; ++r) {
            EXPECT_EQ(g.regions[r].fileIndex, regions[r][0]) << "region " << r;
            EXPECT_EQ(g.regions[r].offset, regions[r][1]) << "region " << r;
            EXPECT_EQ(g.regions[r].size, regions[r][2]) << "region " << r;
            EXPECT_EQ(g.regions[r].address, 4096 + regions[r][0] * 262144 + regions[r][1]) << "region " << r;
        }
    }
}

TEST(KitGenerator, ReferenceFixtureF2Layout) {
    qn::test::TempDir tmp;
    BuiltFixture fx;
    std::string err;
    ASSERT_TRUE(BuildFixture(FixtureId::F2, tmp.path(), SourceMode::UpdateFiles, &fx, &err)) << err;
    const GeneratedInfo& g = fx.info;
    ASSERT_EQ(g.blocks.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(g.blocks[i].address, i * 1048576ull);
        EXPECT_EQ(g.blocks[i].offsetInSource, i * 1048576ull);
    }
    ASSERT_EQ(g.regions.size(), 1u);
    EXPECT_EQ(g.regions[0].offset, 3 * 1048576ull);
    EXPECT_EQ(g.regions[0].size, 1048576ull);
    ASSERT_EQ(g.sources.size(), 1u);
    EXPECT_EQ(g.sources[0].length, 3 * 1048576ull);
}

// Every generated byte that a client fetches stands where the record says.
TEST(KitGenerator, ServedBytesMatchTheGoodClient) {
    for (TableLayout layout : {TableLayout::Contiguous, TableLayout::Shuffled}) {
        for (SourceMode mode : {SourceMode::UpdateFiles, SourceMode::Table}) {
            SCOPED_TRACE(std::string(layout == TableLayout::Shuffled ? "shuffled" : "contiguous") +
                         (mode == SourceMode::Table ? ", table mode" : ", update-files mode"));
            qn::test::TempDir tmp;
            GeneratorOptions opt = GeneratorOptionsOf(FixtureId::F1, mode);
            opt.layout = layout;
            BuiltFixture fx;
            std::string err;
            ASSERT_TRUE(BuildFixture(FixtureId::F1, tmp.path(), opt, &fx, &err)) << err;
            const GeneratedInfo& g = fx.info;
            const Bytes info = qn::test::ReadFile(fx.docroot + g.infoUrlPath);
            const Bytes rep = qn::test::ReadFile(fx.docroot + g.repUrlPath);
            // Table descriptors in the headers and the checksums over the placed bytes.
            EXPECT_EQ(GetU32(info, 12), g.fileCheck.offset);
            EXPECT_EQ(GetU32(info, 20), ZCrc(info.substr(g.fileCheck.offset, g.fileCheck.size)));
            EXPECT_EQ(GetU32(info, 44), ZCrc(info.substr(g.dirTable.offset, g.dirTable.size)));
            EXPECT_EQ(GetU32(info, 48), g.fileRepair.offset);
            Bytes h = info.substr(0, 76);
            PutU32(&h, 8, 0);
            EXPECT_EQ(GetU32(info, 8), ZCrc(h));
            for (size_t k = 0; k < 5; ++k) {
                uint64_t off = GetU64(rep, 212 + 20 * k), size = GetU64(rep, 220 + 20 * k);
                if (size == 0) continue;
                EXPECT_EQ(GetU32(rep, 228 + 20 * k), ZCrc(rep.substr(off, size))) << "table " << k;
            }
            Bytes rh = rep.substr(0, 324);
            PutU32(&rh, 208, 0);
            EXPECT_EQ(GetU32(rep, 208), ZCrc(rh));
            if (layout == TableLayout::Shuffled) {
                EXPECT_EQ(g.fileRepair.offset, 76u + 13u);
                EXPECT_EQ(info.substr(76, 13), Bytes(13, 0x5A));
                EXPECT_GT(g.dirFileTable.offset, g.blockTable.offset);
            }
            // The file-repair table names each file's folder, and the good copy is only there.
            for (const NormalFileRecord& r : g.normalFiles) {
                std::string rel = r.tableName;
                std::replace(rel.begin(), rel.end(), '\\', '/');
                EXPECT_EQ(GetU32(info, g.fileRepair.offset + 4 * r.index), r.dirId);
                EXPECT_EQ(r.dirId, r.index % 2);
                EXPECT_EQ(r.serverPath, "/qelrepair/zhcn_v3/" + g.dirs[r.dirId] + "/" + rel);
                EXPECT_EQ(qn::test::ReadFile(fx.docroot + r.serverPath), qn::test::ReadFile(fx.clientRoot + "/bin/zhcn/" + rel));
                std::string other = fx.docroot + "/qelrepair/zhcn_v3/" + g.dirs[1 - r.dirId] + "/" + rel;
                EXPECT_FALSE(qn::test::FileExists(other)) << other;
            }
            // Block bytes in the server files, and the repair table pointing at them.
            std::vector<Bytes> data;
            for (uint32_t f = 0; f < 3; ++f) data.push_back(qn::test::ReadFile(fx.clientRoot + "/pakV3/" + DataFileName(f)));
            for (const BlockRecord& b : g.blocks) {
                const SourceRecord& s = g.sources[b.sourceId - 1];
                Bytes server = qn::test::ReadFile(fx.docroot + s.urlPath);
                EXPECT_EQ(server.substr(b.offsetInServerFile, b.size), data[b.fileIndex].substr(b.offset, b.size))
                    << "block " << b.index;
                EXPECT_EQ(b.offsetInServerFile, s.baseOffset + b.offsetInSource);
                EXPECT_EQ(GetU32(rep, g.repairTable.offset + 12 * b.index), b.sourceId);
                EXPECT_EQ(GetU64(rep, g.repairTable.offset + 12 * b.index + 4), b.offsetInSource);
                EXPECT_EQ(GetU64(rep, g.blockTable.offset + 20 * b.index), b.address);
            }
            if (mode == SourceMode::Table) {
                for (uint32_t k = 0; k < 2; ++k) {
                    size_t at = g.sourceTable.offset + 152 * k;
                    EXPECT_EQ(GetU32(rep, at), k + 1);
                    EXPECT_EQ(GetU32(rep, at + 4), 0xDEADBEEFu);
                    Bytes name;
                    EncodeFixedUtf16LE("Sources.dat", 64, &name);
                    EXPECT_EQ(rep.substr(at + 8, 128), name);
                    EXPECT_EQ(GetU64(rep, at + 136), g.sources[k].baseOffset);
                    EXPECT_EQ(GetU64(rep, at + 144), g.sources[k].length);
                }
            }
        }
    }
}

TEST(KitGenerator, DevelopmentTreeMirrorsThePackageRepairFolder) {
    qn::test::TempDir tmp;
    GeneratorOptions opt = GeneratorOptionsOf(FixtureId::F1, SourceMode::UpdateFiles);
    opt.alsoDev = true;
    BuiltFixture fx;
    std::string err;
    ASSERT_TRUE(BuildFixture(FixtureId::F1, tmp.path(), opt, &fx, &err)) << err;
    for (const char* rel : {"Repair.REP", "DirFiles/7/Dir0.idx", "DirFiles/7/Dir1.idx", "UpdateFiles/0-1.UPDATE",
                            "UpdateFiles/1-2.UPDATE"})
        EXPECT_EQ(qn::test::ReadFile(fx.docroot + "/dev/zhcn/qelrepair/" + rel),
                  qn::test::ReadFile(fx.docroot + "/qelrepair/zhcn_v3/PakV3Repair/" + rel))
            << rel;
}

TEST(KitGenerator, NamesBeyondAsciiAreUtf8InTheInfoFileAndUtf16InRepairRep) {
    qn::test::TempDir tmp;
    const std::string root = tmp / "client";
    qn::test::WriteFile(root + "/bin/zhcn/数据/文件 1.txt", "x");
    PackageLayout layout;
    layout.dataFileCount = 1;
    layout.dataFileSize = 32;
    layout.blocks = {{0, 0, 8}};
    layout.dirFiles = {{"目录\xF0\x9F\x98\x80.idx", 2}};
    Manifest m;
    std::string err;
    ASSERT_TRUE(MakePackage(layout, root, &m, &err)) << err;
    GeneratedInfo g;
    ASSERT_TRUE(GenerateServerTree(root, &m, tmp / "www", TinyOptions(), &g, &err)) << err;
    const Bytes info = qn::test::ReadFile(tmp / "www/qelrepair/zhcn_v3/qel_repair.info");
    const std::string name = "数据\\文件 1.txt";
    EXPECT_EQ(GetU32(info, 76 + 4), name.size() + 1);
    EXPECT_EQ(info.substr(76 + 8, name.size() + 1), name + '\0');
    EXPECT_TRUE(qn::test::FileExists(tmp / "www/qelrepair/zhcn_v3/d/数据/文件 1.txt"));
    const Bytes rep = qn::test::ReadFile(tmp / "www/qelrepair/zhcn_v3/PakV3Repair/Repair.REP");
    // U+76EE U+5F55, then U+1F600 as a surrogate pair, then ".idx".
    EXPECT_EQ(Hex(rep.substr(324, 20)), "ee76555f3dd800de2e00690064007800" "00000000");
    EXPECT_TRUE(qn::test::FileExists(tmp / "www/qelrepair/zhcn_v3/PakV3Repair/DirFiles/7/目录\xF0\x9F\x98\x80.idx"));
}

TEST(KitGenerator, RefusesInputsThatCannotBeServed) {
    struct Case {
        const char* name;
        void (*damage)(const std::string& root);
    };
    const Case cases[] = {
        {"Package.CFG of 205 bytes", [](const std::string& r) { qn::test::WriteFile(r + "/pakV3/Package.CFG", Bytes(205, 'c')); }},
        {"Package.CFG missing", [](const std::string& r) { std::remove((r + "/pakV3/Package.CFG").c_str()); }},
        {"a stray byte in an empty region",
         [](const std::string& r) {
             Bytes d = qn::test::ReadFile(r + "/pakV3/Package0.DAT");
             d[20] = 0;
             qn::test::WriteFile(r + "/pakV3/Package0.DAT", d);
         }},
        {"a data file of the wrong size",
         [](const std::string& r) { qn::test::WriteFile(r + "/pakV3/Package0.DAT", Bytes(31, (char)0xCE)); }},
        {"an ordinary file name of 259 bytes",
         [](const std::string& r) { qn::test::WriteFile(r + "/bin/zhcn/" + std::string(200, 'a') + "/" + std::string(58, 'b'), "x"); }},
    };
    for (const Case& c : cases) {
        qn::test::TempDir tmp;
        WriteTinyClient(tmp / "client");
        Manifest m;
        std::string err;
        ASSERT_TRUE(ManifestFromText(qn::test::ReadFile(tmp / "client/pakV3.manifest"), &m, &err));
        c.damage(tmp / "client");
        EXPECT_FALSE(GenerateServerTree(tmp / "client", &m, tmp / "www", TinyOptions(), nullptr, &err)) << c.name;
    }
    {
        // A package without folder files would get a folder-file table without a record.
        qn::test::TempDir tmp;
        WriteTinyClient(tmp / "client");
        Manifest m;
        std::string err;
        ASSERT_TRUE(ManifestFromText(qn::test::ReadFile(tmp / "client/pakV3.manifest"), &m, &err));
        m.dirFiles.clear();
        EXPECT_FALSE(GenerateServerTree(tmp / "client", &m, tmp / "www", TinyOptions(), nullptr, &err));
        EXPECT_EQ(err, "the package has no folder files");
    }
    // A name of 258 bytes still fits its 260-byte field with the terminator.
    qn::test::TempDir tmp;
    WriteTinyClient(tmp / "client");
    qn::test::WriteFile(tmp / ("client/bin/zhcn/" + std::string(200, 'a') + "/" + std::string(57, 'b')), "x");
    Manifest m;
    std::string err;
    ASSERT_TRUE(ManifestFromText(qn::test::ReadFile(tmp / "client/pakV3.manifest"), &m, &err));
    EXPECT_TRUE(GenerateServerTree(tmp / "client", &m, tmp / "www", TinyOptions(), nullptr, &err)) << err;
}

TEST(KitGenerator, DerivedBlocksJoinCloseRunsAndWidenShortOnes) {
    qn::test::TempDir tmp;
    Bytes d(1024, (char)0xCE);
    auto put = [&d](size_t at, size_t n) { for (size_t k = 0; k < n; ++k) d[at + k] = 'x'; };
    put(0, 10);     // joined with the next run: the gap is 63 bytes
    put(73, 10);
    put(200, 3);    // alone, widened to 8
    put(267, 20);   // 64 bytes after the widened block's run: separate
    put(1022, 2);   // at the end: widened backwards
    qn::test::WriteFile(tmp / "pakV3/Package0.DAT", d);
    std::vector<BlockLayout> blocks;
    std::string err;
    ASSERT_TRUE(DeriveBlocks(tmp / "pakV3", 1, 1024, &blocks, &err)) << err;
    const uint64_t want[][2] = {{0, 83}, {200, 8}, {267, 20}, {1016, 8}};
    ASSERT_EQ(blocks.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(blocks[i].offset, want[i][0]) << i;
        EXPECT_EQ(blocks[i].size, want[i][1]) << i;
    }
}

TEST(KitGenerator, OwnUtf16EncoderRefusesIllFormedText) {
    Bytes out;
    EXPECT_TRUE(Utf8ToUtf16LE("a\xC3\xA4", &out));
    EXPECT_EQ(Hex(out), "6100e400");
    for (const char* bad : {"\xC3", "\xE4\xB8", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"})
        EXPECT_FALSE(Utf8ToUtf16LE(bad, &out)) << Hex(bad);
    EXPECT_TRUE(EncodeFixedUtf16LE(std::string(63, 'a'), 64, &out));
    EXPECT_EQ(out.size(), 128u);
    EXPECT_FALSE(EncodeFixedUtf16LE(std::string(64, 'a'), 64, &out));
}
