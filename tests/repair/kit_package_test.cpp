// The package maker: the rules it refuses, and the files it writes.
#include <gtest/gtest.h>

#include "KitBytes.h"
#include "PackageMaker.h"
#include "ReferenceFixtures.h"
#include "qn_test_env.h"

using namespace qn::kit;

namespace {

PackageLayout SmallLayout() {
    PackageLayout s;
    s.dataFileCount = 2;
    s.dataFileSize = 64;
    s.baseAddress = 0;
    s.blocks = {{0, 0, 10}, {1, 20, 5}};
    s.dirFiles = {{"Dir0.idx", 3}};
    return s;
}

}  // namespace

TEST(KitPackageMaker, RefusesLayoutsThatBreakTheRules) {
    struct Case {
        const char* name;
        void (*edit)(PackageLayout*);
    };
    const Case cases[] = {
        {"block past the end", [](PackageLayout* s) { s->blocks.push_back({0, 60, 5}); }},
        {"overlapping blocks", [](PackageLayout* s) { s->blocks.push_back({0, 9, 5}); }},
        {"same range twice", [](PackageLayout* s) { s->blocks.push_back({1, 20, 5}); }},
        {"block shorter than 5", [](PackageLayout* s) { s->blocks.push_back({0, 30, 4}); }},
        {"file index out of range", [](PackageLayout* s) { s->blocks.push_back({2, 0, 5}); }},
        {"no empty byte left", [](PackageLayout* s) { s->blocks = {{0, 0, 64}, {1, 0, 64}}; }},
        {"folder file with a slash", [](PackageLayout* s) { s->dirFiles.push_back({"a/b", 1}); }},
        {"folder file with a backslash", [](PackageLayout* s) { s->dirFiles.push_back({"a\\b", 1}); }},
        {"folder file with a colon", [](PackageLayout* s) { s->dirFiles.push_back({"c:x", 1}); }},
        {"folder file named like the configuration", [](PackageLayout* s) { s->dirFiles.push_back({"Package.CFG", 1}); }},
        {"folder file named like a data file", [](PackageLayout* s) { s->dirFiles.push_back({"Package12.DAT", 1}); }},
        {"folder file name of 64 units", [](PackageLayout* s) { s->dirFiles.push_back({std::string(64, 'n'), 1}); }},
        {"empty folder file name", [](PackageLayout* s) { s->dirFiles.push_back({"", 1}); }},
        {"empty folder file", [](PackageLayout* s) { s->dirFiles.push_back({"e.idx", 0}); }},
        {"short opaque head", [](PackageLayout* s) { s->cfgOpaqueHead = Bytes(23, 'h'); }},
    };
    std::string err;
    ASSERT_TRUE(ValidatePackageLayout(SmallLayout(), &err)) << err;
    for (const Case& c : cases) {
        PackageLayout s = SmallLayout();
        c.edit(&s);
        EXPECT_FALSE(ValidatePackageLayout(s, &err)) << c.name;
    }
    PackageLayout tiny = SmallLayout();
    tiny.blocks.push_back({0, 30, 2});
    tiny.allowTinyBlocks = true;
    EXPECT_TRUE(ValidatePackageLayout(tiny, &err)) << err;
    PackageLayout emptyDir = SmallLayout();
    emptyDir.dirFiles.push_back({"e.idx", 0});
    emptyDir.allowEmptyDirFiles = true;
    EXPECT_TRUE(ValidatePackageLayout(emptyDir, &err)) << err;
    PackageLayout longest = SmallLayout();
    longest.dirFiles.push_back({std::string(63, 'n'), 1});
    EXPECT_TRUE(ValidatePackageLayout(longest, &err)) << err;
}

TEST(KitPackageMaker, ConfigurationFieldsSitAtTheirOffsets) {
    PackageLayout s = SmallLayout();
    s.dirFilesFolder = 0x01020304;
    s.dataFileCount = 2;
    s.dataFileSize = 0x1122334455667788ull;
    s.baseAddress = 0x99AABBCCDDEEFF00ull;
    Bytes cfg = EncodePackageCfg(s);
    ASSERT_EQ(cfg.size(), 204u);
    EXPECT_EQ(Hex(cfg.substr(0, 4)), "10111213");
    EXPECT_EQ(Hex(cfg.substr(20, 4)), "24252627");
    EXPECT_EQ(Hex(cfg.substr(24, 4)), "04030201");
    EXPECT_EQ(Hex(cfg.substr(28, 4)), "02000000");
    EXPECT_EQ(Hex(cfg.substr(32, 8)), "8877665544332211");
    EXPECT_EQ(Hex(cfg.substr(40, 8)), "00ffeeddccbbaa99");
    EXPECT_EQ(Hex(cfg.substr(48, 3)), "808182");
    EXPECT_EQ((uint8_t)cfg[203], (0x80 + 155) & 0xFF);
}

TEST(KitPackageMaker, WritesBlocksFillAndManifest) {
    qn::test::TempDir tmp;
    PackageLayout layout = PackageLayoutOf(FixtureId::F1);
    Manifest m;
    std::string err;
    ASSERT_TRUE(MakePackage(layout, tmp.path(), &m, &err)) << err;
    std::vector<Bytes> data(3);
    for (uint32_t f = 0; f < 3; ++f) {
        data[f] = qn::test::ReadFile(tmp / ("pakV3/" + DataFileName(f)));
        ASSERT_EQ(data[f].size(), 262144u);
    }
    std::vector<std::vector<bool>> covered(3, std::vector<bool>(262144, false));
    for (uint32_t i = 0; i < layout.blocks.size(); ++i) {
        const BlockLayout& b = layout.blocks[i];
        Bytes stored = data[b.fileIndex].substr(b.offset, b.size);
        EXPECT_EQ(stored, MakeBlockContent(layout.seed, i, b.size)) << "block " << i;
        for (int k = 0; k < 4; ++k) EXPECT_EQ((uint8_t)stored[k], (uint8_t)((0xB1 + k) ^ i)) << "block " << i;
        EXPECT_NE((uint8_t)stored[4], 0x00) << "block " << i;
        EXPECT_NE((uint8_t)stored[4], 0xCE) << "block " << i;
        for (uint64_t k = 0; k < b.size; ++k) covered[b.fileIndex][b.offset + k] = true;
    }
    for (uint32_t f = 0; f < 3; ++f)
        for (size_t k = 0; k < 262144; ++k)
            if (!covered[f][k]) {
                    ASSERT_EQ((uint8_t)data[f][k], 0xCE) << "file " << f << " byte " << k;
                }
    EXPECT_EQ(qn::test::ReadFile(tmp / "pakV3/Dir0.idx").size(), 300u);
    EXPECT_EQ(qn::test::ReadFile(tmp / "pakV3/Dir1.idx").size(), 1000u);
    EXPECT_EQ(qn::test::ReadFile(tmp / "pakV3/Package.CFG"), EncodePackageCfg(layout));
    // The manifest lives beside the package folder, never in it.
    EXPECT_FALSE(qn::test::FileExists(tmp / "pakV3/pakV3.manifest"));
    std::string text = qn::test::ReadFile(tmp / "pakV3.manifest");
    EXPECT_EQ(text.substr(0, text.find('\n')), "cfg dirFilesFolder=7 dataFileCount=3 dataFileSize=262144 baseAddress=4096");
    EXPECT_NE(text.find("\nblock 1 0 70000\n"), std::string::npos);
    EXPECT_NE(text.find("\ndirfile Dir1.idx\n"), std::string::npos);
    Manifest back;
    ASSERT_TRUE(ManifestFromText(text, &back, &err)) << err;
    EXPECT_EQ(ManifestToText(back), text);
    EXPECT_EQ(back.blocks.size(), 8u);
}

TEST(KitPackageMaker, ManifestParserRefusesBrokenLines) {
    const char* bad[] = {
        "block 0 0 10\n",                                                     // no cfg line
        "cfg dirFilesFolder=7 dataFileCount=3 dataFileSize=262144\n",         // a field missing
        "cfg dirFilesFolder=7 dataFileCount=3 dataFileSize=x baseAddress=0\n",  // not a number
        "cfg dirFilesFolder=7 dataFileCount=3 dataFileSize=1 baseAddress=0\nblock 0 1\n",
        "cfg dirFilesFolder=7 dataFileCount=3 dataFileSize=1 baseAddress=0\nregion 0 1 2\n",
    };
    for (const char* text : bad) {
        Manifest m;
        std::string err;
        EXPECT_FALSE(ManifestFromText(text, &m, &err)) << text;
    }
}
