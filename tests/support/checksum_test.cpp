#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "QN_CRC.h"
#include "QN_MD5.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_test_env.h"
#include "support_test_hooks.h"

using qn::test::LogCapture;
using qn::test::TempDir;
using qn::test::WithoutLineNumbers;
using Lines = std::vector<std::string>;

namespace {

std::string RandomBytes(size_t uSize, uint32_t uSeed) {
    std::mt19937 rng(uSeed);
    std::string s(uSize, '\0');
    for (char& c : s) c = (char)(rng() & 0xFF);
    return s;
}

uint32_t OneShotCRC(const std::string& s) {
    return (uint32_t)crc32(0, (const Bytef*)s.data(), (uInt)s.size());
}

// Restores the full mapping window when a test that narrowed it ends.
struct WindowHook {
    explicit WindowHook(uint32_t uBytes) { qn::testing::SetFileMappingWindow(uBytes); }
    ~WindowHook() { qn::testing::SetFileMappingWindow(0); }
};

std::string Md5Hex(const std::string& s) {
    QN_MD5_CTX ctx;
    uint8_t aby[16];
    MD5Init(&ctx);
    MD5Update(&ctx, (const uint8_t*)s.data(), (int)s.size());
    MD5Final(&ctx, aby);
    char sz[33];
    for (int i = 0; i < 16; ++i) std::snprintf(sz + 2 * i, 3, "%02x", aby[i]);
    return sz;
}

}  // namespace

TEST(CRC32, ZlibValuesAndTheRunningCore) {
    EXPECT_EQ(crc32(0, (const Bytef*)"abc", 3), 0x352441C2u);
    EXPECT_EQ(crc32(0, nullptr, 3), 0u);
    EXPECT_EQ(QN_CRC32Update(0, nullptr, 3), 0u);
    // Continuing the CRC over pieces gives the CRC of the whole, at any seam.
    std::string s = RandomBytes(1000, 1);
    for (size_t uCut : {0, 1, 17, 999, 1000}) {
        uint32_t u = QN_CRC32Update(0, s.data(), uCut);
        u = QN_CRC32Update(u, s.data() + uCut, s.size() - uCut);
        EXPECT_EQ(u, OneShotCRC(s)) << uCut;
    }
}

TEST(CRC32, OfStreamReadsToTheEnd) {
    std::string s = RandomBytes(200 * 1024 + 3, 2);
    std::FILE* pFile = std::tmpfile();
    ASSERT_NE(pFile, nullptr);
    ASSERT_EQ(std::fwrite(s.data(), 1, s.size(), pFile), s.size());
    std::rewind(pFile);
    uint32_t uCRC = 0;
    uint64_t uSize = 0;
    EXPECT_EQ(QN_CRC32OfStream(pFile, &uCRC, &uSize), 1);
    EXPECT_EQ(uCRC, OneShotCRC(s));
    EXPECT_EQ(uSize, s.size());
    std::fclose(pFile);
}

TEST(GetFileCRC, ResultsAndFailureLines) {
    TempDir dir;
    qn::test::WriteFile(dir / "abc", "abc");
    qn::test::WriteFile(dir / "empty", "");
    std::filesystem::create_directory(dir / "folder");
    const std::string strAbc = dir / "abc", strEmpty = dir / "empty";
    const std::string strMissing = dir / "missing", strFolder = dir / "folder";
    struct Row {
        const char* cszWhat;
        const char* cszName;
        bool bWithCRC;
        int nResult;
        uint32_t uCRC;
        Lines lines;
    } rows[] = {
        {"three bytes", strAbc.c_str(), true, 1, 0x352441C2u, {}},
        // An empty file is the CRC of nothing, and no failure.
        {"empty file", strEmpty.c_str(), true, 1, 0u, {}},
        {"null name", nullptr, true, 0, 0, {"QNLOG_PROCESS_ERROR(cszFileName) at line N in QN_GetFileCRC"}},
        {"empty name", "", true, 0, 0, {"QNLOG_PROCESS_ERROR(cszFileName[0]) at line N in QN_GetFileCRC"}},
        {"no result pointer", strAbc.c_str(), false, 0, 0, {"QNLOG_PROCESS_ERROR(puRetCRC) at line N in QN_GetFileCRC"}},
        {"missing file", strMissing.c_str(), true, 0, 0,
         {"QNLOG_PROCESS_ERROR(m_hFile != INVALID_HANDLE_VALUE) at line N in QN_FileMapping::Init",
          "Failed to open file " + strMissing + ", GetLastError() = 2",
          "QNLOG_PROCESS_ERROR(nRetCode && \"FileMapping.Init()\") at line N in QN_GetFileCRC"}},
        {"folder", strFolder.c_str(), true, 0, 0,
         {"QNLOG_PROCESS_ERROR(m_hFile != INVALID_HANDLE_VALUE) at line N in QN_FileMapping::Init",
          "Failed to open file " + strFolder + ", GetLastError() = 5",
          "QNLOG_PROCESS_ERROR(nRetCode && \"FileMapping.Init()\") at line N in QN_GetFileCRC"}},
    };
    for (const Row& r : rows) {
        LogCapture Log;
        uint32_t uCRC = 0xDEADBEEF;
        EXPECT_EQ(QN_GetFileCRC(r.cszName, r.bWithCRC ? &uCRC : nullptr), r.nResult) << r.cszWhat;
        if (r.nResult) {
            EXPECT_EQ(uCRC, r.uCRC) << r.cszWhat;
        }
        EXPECT_EQ(WithoutLineNumbers(Log.Messages()), r.lines) << r.cszWhat;
    }
}

TEST(GetFileCRC, LargerThanOneWindowIsReadWindowByWindow) {
    WindowHook Hook(64 * 1024);
    TempDir dir;
    std::string s = RandomBytes(1024 * 1024 + 17, 3);
    qn::test::WriteFile(dir / "f", s);
    int nFds = qn::test::CountOpenFds();
    int64_t nViews = qn::testing::LiveMappingViews();
    uint32_t uCRC = 0;
    EXPECT_EQ(QN_GetFileCRC((dir / "f").c_str(), &uCRC), 1);
    EXPECT_EQ(uCRC, OneShotCRC(s));
    EXPECT_EQ(qn::test::CountOpenFds(), nFds);
    EXPECT_EQ(qn::testing::LiveMappingViews(), nViews);
}

TEST(GetFileCRC, SparseFilesPastTheViewSizeAndAt4GiB) {
    TempDir dir;
    // 600 MiB of zeros, more than the largest view: read in 512 MiB windows.
    const uint64_t uSize = 600ull * 1024 * 1024;
    qn::test::WriteFile(dir / "big", "");
    std::filesystem::resize_file(dir / "big", uSize);
    std::vector<uint8_t> zeros(1024 * 1024, 0);
    uint32_t uExpected = 0;
    for (uint64_t u = 0; u < uSize; u += zeros.size()) {
        uExpected = (uint32_t)crc32(uExpected, zeros.data(), (uInt)zeros.size());
    }
    uint32_t uCRC = 0;
    EXPECT_EQ(QN_GetFileCRC((dir / "big").c_str(), &uCRC), 1);
    EXPECT_EQ(uCRC, uExpected);

    // 4 GiB and more stays refused.
    qn::test::WriteFile(dir / "huge", "");
    std::filesystem::resize_file(dir / "huge", 4ull * 1024 * 1024 * 1024);
    LogCapture Log;
    EXPECT_EQ(QN_GetFileCRC((dir / "huge").c_str(), &uCRC), 0);
    Lines lines = WithoutLineNumbers(Log.Messages());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0],
              "QNLOG_PROCESS_ERROR(uFileSizeHigh == 0 && \"Not support the file that size bigger "
              "than 2G.\") at line N in QN_FileMapping::Init");
}

TEST(RepairFileHeaderCRC, IgnoresTheCRCFieldAndLeavesTheHeaderAlone) {
    uint8_t abyHeader[76];
    for (int i = 0; i < 76; ++i) abyHeader[i] = (uint8_t)(i * 3 + 1);
    uint8_t abyOtherField[76];
    std::memcpy(abyOtherField, abyHeader, 76);
    std::memset(abyOtherField + 8, 0xAB, 4);
    uint8_t abyZeroField[76];
    std::memcpy(abyZeroField, abyHeader, 76);
    std::memset(abyZeroField + 8, 0, 4);
    uint8_t abySaved[76];
    std::memcpy(abySaved, abyHeader, 76);

    uint32_t uA = 0, uB = 0, uC = 0;
    EXPECT_EQ(QN_GetRepairFileHeaderCRC(abyHeader, &uA), 1);
    EXPECT_EQ(QN_GetRepairFileHeaderCRC(abyOtherField, &uB), 1);
    EXPECT_EQ(uA, uB);
    EXPECT_EQ(uA, (uint32_t)crc32(0, abyZeroField, 76));
    EXPECT_EQ(std::memcmp(abyHeader, abySaved, 76), 0);
    for (int nByte : {0, 7, 12, 75}) {
        uint8_t abyFlipped[76];
        std::memcpy(abyFlipped, abyHeader, 76);
        abyFlipped[nByte] ^= 1;
        EXPECT_EQ(QN_GetRepairFileHeaderCRC(abyFlipped, &uC), 1);
        EXPECT_NE(uC, uA) << nByte;
    }

    LogCapture Log;
    EXPECT_EQ(QN_GetRepairFileHeaderCRC(abyHeader, nullptr), 0);
    EXPECT_EQ(QN_GetRepairFileHeaderCRC(nullptr, &uC), 0);
    EXPECT_EQ(WithoutLineNumbers(Log.Messages()),
              (Lines{"QNLOG_PROCESS_ERROR(puRetCRC) at line N in QN_GetRepairFileHeaderCRC",
                     "QNLOG_PROCESS_ERROR(header) at line N in QN_GetRepairFileHeaderCRC"}));
}

TEST(MD5, KnownDigests) {
    struct Row {
        std::string strInput;
        const char* cszDigest;
    } rows[] = {
        // The RFC 1321 test suite.
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Row& r : rows) EXPECT_EQ(Md5Hex(r.strInput), r.cszDigest) << r.strInput;
}

TEST(MD5, PaddingSeams) {
    // Lengths around the 56-byte padding limit and the 64-byte block, of the bytes
    // (i * 7 + 3) & 0xFF.
    struct Row {
        size_t uLength;
        const char* cszDigest;
    } rows[] = {
        {55, "52c0e574e1198de5fe3f8f11440dcb1b"},  {56, "46c9907fc908ee68b1e7b8e71286a518"},
        {63, "a62f6d59e837867693f042f5b8f5a236"},  {64, "7160b8fb5e9e4023d549c3971fbaeead"},
        {65, "70bd662e7aefbda85a0f7244167b7897"},  {119, "e84905d4214f4d1ca56c2cdcc152b143"},
        {120, "e3eb5a6c8669ea01a8c185b8abc8a5dc"}, {128, "10b2da1a82f16d99a81a7203fe9f02cb"},
    };
    std::string s(200, '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = (char)((i * 7 + 3) & 0xFF);
    for (const Row& r : rows) EXPECT_EQ(Md5Hex(s.substr(0, r.uLength)), r.cszDigest) << r.uLength;
}

TEST(MD5, SplitUpdatesEqualOneUpdate) {
    std::string s = RandomBytes(200, 4);
    const std::string strWhole = Md5Hex(s);
    for (size_t uCut = 0; uCut <= s.size(); ++uCut) {
        QN_MD5_CTX ctx;
        uint8_t aby[16];
        MD5Init(&ctx);
        MD5Update(&ctx, (const uint8_t*)s.data(), (int)uCut);
        MD5Update(&ctx, (const uint8_t*)s.data() + uCut, (int)(s.size() - uCut));
        MD5Final(&ctx, aby);
        char sz[33];
        for (int i = 0; i < 16; ++i) std::snprintf(sz + 2 * i, 3, "%02x", aby[i]);
        EXPECT_EQ(sz, strWhole) << uCut;
    }
}

TEST(MD5, NonPositiveLengthsDoNothing) {
    QN_MD5_CTX ctx;
    uint8_t aby[16];
    MD5Init(&ctx);
    MD5Update(&ctx, (const uint8_t*)"abc", 3);
    MD5Update(&ctx, (const uint8_t*)"xyz", 0);
    MD5Update(&ctx, (const uint8_t*)"xyz", -5);
    MD5Final(&ctx, aby);
    EXPECT_EQ(std::memcmp(aby, "\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72", 16), 0);
}
