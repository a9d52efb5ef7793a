#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ChecksumFile.h"
#include "qn_string.h"
#include "qn_test_env.h"

namespace {

// A checksum file: header fields, then (count + 1) digests where digest i + 1 is filled with
// byte i + 1, optionally cut short.
std::string CraftChecksum(uint64_t ullFileSize, uint32_t uBlockSize, uint32_t uAlgorithm = 1,
                          long long llTableBytes = -1, const char* szMagic = "TbCk", uint8_t bVersion = 1,
                          uint8_t bZero = 0) {
    std::string s(1024, '\0');
    std::memcpy(&s[0], szMagic, 4);
    s[4] = (char)bVersion;
    s[5] = (char)bZero;
    for (int i = 0; i < 8; ++i) s[8 + i] = (char)(ullFileSize >> (8 * i));
    for (int i = 0; i < 4; ++i) s[16 + i] = (char)(uBlockSize >> (8 * i));
    for (int i = 0; i < 4; ++i) s[20 + i] = (char)(uAlgorithm >> (8 * i));
    uint64_t ullCount = uBlockSize ? (ullFileSize ? (ullFileSize - 1) / uBlockSize + 1 : 0) : 0;
    std::string table;
    for (uint64_t i = 0; i <= ullCount && i < 64; ++i) table += std::string(16, (char)i);
    if (llTableBytes >= 0) table.resize((size_t)llTableBytes, '\0');
    return s + table;
}

TEST(ChecksumFileOpen, Table) {
    const uint32_t kBlock = 65536;
    struct Row {
        const char* szName;
        std::string sContent;
        HRESULT hr;
        uint32_t uCount;
    } rows[] = {
        {"good", CraftChecksum(3 * kBlock, kBlock), S_OK, 3},
        {"one block", CraftChecksum(kBlock, kBlock, 1, 32), S_OK, 1},
        {"one block + 1", CraftChecksum(kBlock + 1, kBlock, 1, 48), S_OK, 2},
        {"one block + 1, table short", CraftChecksum(kBlock + 1, kBlock, 1, 47), E_FAIL, 0},
        {"three-piece blocks", CraftChecksum(10 * kBlock, 3 * kBlock), S_OK, 4},
        {"only the first algorithm byte counts", CraftChecksum(kBlock, kBlock, 0x201), S_OK, 1},
        {"algorithm 2", CraftChecksum(kBlock, kBlock, 2), E_FAIL, 0},
        {"wrong magic", CraftChecksum(kBlock, kBlock, 1, -1, "TbCK"), E_FAIL, 0},
        {"version 2", CraftChecksum(kBlock, kBlock, 1, -1, "TbCk", 2), E_FAIL, 0},
        {"byte 5 set", CraftChecksum(kBlock, kBlock, 1, -1, "TbCk", 1, 1), E_FAIL, 0},
        {"header short", CraftChecksum(kBlock, kBlock).substr(0, 1000), E_FAIL, 0},
        {"file size 0", CraftChecksum(0, kBlock), E_FAIL, 0},
        {"block size 0", CraftChecksum(kBlock, 0), E_FAIL, 0},
        {"block size 100000", CraftChecksum(kBlock, 100000), E_FAIL, 0},
        {"empty file", "", E_FAIL, 0},
        // 2^48 blocks would need a table far past the end of the file: refused without allocating it
        {"huge file size", CraftChecksum(1ull << 63, kBlock), E_FAIL, 0},
        {"count past 32 bits", CraftChecksum(0xFFFFFFFFFFFFFFFFull, kBlock), E_FAIL, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szName);
        qn::test::TempDir dir;
        qn::test::WriteFile(dir / "c", r.sContent);
        ChecksumFile cf;
        EXPECT_EQ(cf.open(QN_Utf8ToWide(dir / "c").c_str()), r.hr);
        EXPECT_EQ(cf.blockCount(), r.uCount);
    }
    qn::test::TempDir dir;
    ChecksumFile cf;
    EXPECT_EQ(cf.open(QN_Utf8ToWide(dir / "missing").c_str()), (HRESULT)0x80070002u);
}

TEST(ChecksumFileVerify, MatchMismatchAndBounds) {
    qn::test::TempDir dir;
    qn::test::WriteFile(dir / "c", CraftChecksum(2 * 65536, 65536));
    ChecksumFile cf;
    ASSERT_EQ(cf.open(QN_Utf8ToWide(dir / "c").c_str()), S_OK);
    EXPECT_EQ(cf.fileSize(), 2u * 65536);
    EXPECT_EQ(cf.blockSize(), 65536u);
    uint8_t digest[16];
    std::memset(digest, 1, 16);  // block 0 is entry 1
    EXPECT_EQ(cf.verify(0, digest), S_OK);
    std::memset(digest, 2, 16);
    EXPECT_EQ(cf.verify(1, digest), S_OK);
    EXPECT_EQ(cf.verify(0, digest), E_FAIL);
    std::memset(digest, 0, 16);  // entry 0 is never a block's
    EXPECT_EQ(cf.verify(0, digest), E_FAIL);
    EXPECT_EQ(cf.verify(2, digest), E_INVALIDARG);
    EXPECT_EQ(cf.verify(0, nullptr), E_INVALIDARG);
}

}  // namespace
