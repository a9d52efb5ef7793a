#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "qn_platform.h"
#include "qn_profile.h"
#include "qn_string.h"
#include "qn_test_env.h"

namespace {

TEST(WritePrivateProfileString, Edits) {
    struct Row {
        const char* cszName;
        const char* cszBefore;  // nullptr: no file
        const char* cszSection;
        std::string strAfter;
    } rows[] = {
        {"a missing file is made", nullptr, "id", "[id]\r\nidex=v\r\n"},
        {"the key replaced in place, every other byte kept", "; c\n[id]\nidex=old\nidno=0\n[x]\na=1\n", "id",
         "; c\n[id]\nidex=v\r\nidno=0\n[x]\na=1\n"},
        {"names matched without regard to case and blanks", "[ ID ]\n IDEX = old \n", "id", "[ ID ]\nidex=v\r\n"},
        {"a key without '=' is the key", "[id]\nidex\n", "id", "[id]\nidex=v\r\n"},
        {"a new key after the section's last key", "[id]\nidno=0\n\n; x\n[x]\na=1\n", "id",
         "[id]\nidno=0\nidex=v\r\n\n; x\n[x]\na=1\n"},
        {"a new section at the end, after a last line without its end", "[x]\na=1", "id",
         "[x]\na=1\r\n[id]\r\nidex=v\r\n"},
        {"only the first matching section, as the reader sees it", "[id]\na=1\n[id]\nidex=old\n", "id",
         "[id]\na=1\nidex=v\r\n[id]\nidex=old\n"},
        {"a byte-order mark stays", "\xEF\xBB\xBF[id]\r\nidex=old\r\n", "id", "\xEF\xBB\xBF[id]\r\nidex=v\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        qn::test::TempDir dir;
        const std::string strFile = dir / "hg.dat";
        if (r.cszBefore) qn::test::WriteFile(strFile, r.cszBefore);
        ASSERT_EQ(QN_WritePrivateProfileStringW(L"id", L"idex", L"v", QN_Utf8ToWide(strFile).c_str()), 1);
        EXPECT_EQ(qn::test::ReadFile(strFile), r.strAfter);
        wchar_t wsz[16];
        EXPECT_EQ(QN_GetPrivateProfileStringW(L"id", L"idex", nullptr, wsz, 16, QN_Utf8ToWide(strFile).c_str()), 1u);
        EXPECT_STREQ(wsz, L"v");
        EXPECT_EQ(qn::test::ListFiles(dir.path()), (std::vector<std::string>{"hg.dat"}));
    }
}

TEST(WritePrivateProfileString, Refusals) {
    qn::test::TempDir dir;
    // No folder is made.
    EXPECT_EQ(QN_WritePrivateProfileStringA("id", "idex", "v", (dir / "missing/hg.dat").c_str()), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(qn::test::FileExists(dir / "missing"));
    // A read-only file is left alone, also for root.
    qn::test::WriteFile(dir / "ro.dat", "[id]\nidex=old\n");
    ASSERT_EQ(::chmod((dir / "ro.dat").c_str(), 0444), 0);
    EXPECT_EQ(QN_WritePrivateProfileStringA("id", "idex", "v", (dir / "ro.dat").c_str()), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_EQ(qn::test::ReadFile(dir / "ro.dat"), "[id]\nidex=old\n");
    // Texts that the file could not hold back.
    qn::test::WriteFile(dir / "a.dat", "[id]\n");
    for (auto args : {std::make_pair("id", "a\r\nb"), std::make_pair("id]x", "v"), std::make_pair("", "v")}) {
        EXPECT_EQ(QN_WritePrivateProfileStringA(args.first, "k", args.second, (dir / "a.dat").c_str()), 0);
        EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(QN_WritePrivateProfileStringA("id", "k=1", "v", (dir / "a.dat").c_str()), 0);
    EXPECT_EQ(qn::test::ReadFile(dir / "a.dat"), "[id]\n");
    // The file's permission bits are kept.
    ASSERT_EQ(::chmod((dir / "a.dat").c_str(), 0600), 0);
    ASSERT_EQ(QN_WritePrivateProfileStringA("id", "k", "v", (dir / "a.dat").c_str()), 1);
    struct stat st;
    ASSERT_EQ(::stat((dir / "a.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
