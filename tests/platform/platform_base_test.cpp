#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "qn_com.h"
#include "qn_platform.h"
#include "qn_string.h"
#include "qn_test_env.h"
#include "qn_time.h"

TEST(Win32Error, FromErrnoTable) {
    struct Row {
        int nErrno;
        QN_ErrorObject eObject;
        uint32_t uExpected;
    } rows[] = {
        {ENOENT, QN_ERROR_OBJECT_FILE, 2},  {ENOENT, QN_ERROR_OBJECT_FOLDER, 3},
        {EACCES, QN_ERROR_OBJECT_FILE, 5},  {EPERM, QN_ERROR_OBJECT_FILE, 5},
        {ENOMEM, QN_ERROR_OBJECT_FILE, 8},  {EEXIST, QN_ERROR_OBJECT_FOLDER, 183},
        {EEXIST, QN_ERROR_OBJECT_FILE, 80}, {EBUSY, QN_ERROR_OBJECT_FILE, 32},
        {ENOSPC, QN_ERROR_OBJECT_FILE, 112}, {EINVAL, QN_ERROR_OBJECT_FILE, 87},
        {EISDIR, QN_ERROR_OBJECT_FILE, 5},  {EXDEV, QN_ERROR_OBJECT_FILE, 31},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(QN_Win32ErrorFromErrno(r.nErrno, r.eObject), r.uExpected) << "errno " << r.nErrno;
    }
    errno = ENOSPC;
    EXPECT_EQ(QN_SetLastErrorFromErrno(), 112u);
    EXPECT_EQ(QN_GetLastError(), 112u);
    EXPECT_EQ(QN_GetLastErrno(), ENOSPC);
    EXPECT_EQ(HRESULT_FROM_WIN32(112), (HRESULT)0x80070070u);
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
}

TEST(Mkdir, ExistingFolderSucceedsAndFileRefuses) {
    qn::test::TempDir dir;
    EXPECT_EQ(QN_mkdir((dir / "a").c_str()), 1);
    EXPECT_EQ(QN_mkdir((dir / "a").c_str()), 1);
    qn::test::WriteFile(dir / "f", "x");
    EXPECT_EQ(QN_mkdir((dir / "f").c_str()), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_FILE_EXISTS);
    EXPECT_EQ(QN_mkdir((dir / "missing/b").c_str()), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_PATH_NOT_FOUND);
}

TEST(Printf, WindowsResultsOnOverflow) {
    char buf[8];
    EXPECT_EQ(QN_snprintf(buf, sizeof(buf), "%s", "1234567"), 7);
    EXPECT_STREQ(buf, "1234567");
    EXPECT_EQ(QN_snprintf(buf, sizeof(buf), "%s", "12345678"), -1);
    EXPECT_STREQ(buf, "1234567");

    wchar_t wbuf[8];
    EXPECT_EQ(QN_snwprintf(wbuf, 8, L"%ls", L"1234567"), 7);
    EXPECT_EQ(QN_snwprintf(wbuf, 8, L"%ls%s", L"1234", "5678"), -1);
    EXPECT_EQ(wbuf[7], L'\0');
    EXPECT_EQ(QN_snwprintf(wbuf, 8, L"%s-%ls", "ab", L"cd"), 5);
    EXPECT_EQ(std::wstring(wbuf), L"ab-cd");
}

TEST(Utf, RoundTripsAndReplacesIllFormed) {
    const std::wstring ws = L"a\x4e2d\x6587\U0001F600";
    std::string s = QN_WideToUtf8(ws);
    EXPECT_EQ(s, "a\xe4\xb8\xad\xe6\x96\x87\xf0\x9f\x98\x80");
    EXPECT_EQ(QN_Utf8ToWide(s), ws);
    EXPECT_EQ(QN_Utf8ToWide(std::string("a\xff" "b")), L"a\xFFFD" L"b");
    EXPECT_EQ(QN_Utf8ToWide(std::string("\xc0\x80")), L"\xFFFD\xFFFD");  // overlong
    EXPECT_EQ(QN_WideToUtf8(std::wstring(1, (wchar_t)0xD800)), "\xef\xbf\xbd");

    unsigned char bytes[10];
    EXPECT_EQ(QN_WideToUtf16LE(L"A\U0001F600", bytes, 5), 3);
    const unsigned char expected[10] = {0x41, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(bytes, expected, 10));
    EXPECT_EQ(QN_Utf16LEToWide(bytes, 5), L"A\U0001F600");
    EXPECT_EQ(QN_WideToUtf16LE(L"ABCDE", bytes, 5), -1);
}

TEST(Paths, TableNamesBecomeLocalRelativePaths) {
    struct Row {
        const char* cszName;
        bool bOk;
        const char* cszExpected;
    } rows[] = {
        {"bin\\zhcn\\a.dll", true, "bin/zhcn/a.dll"},
        {"data/x.txt", true, "data/x.txt"},
        // Empty and "." parts name the folder they stand in: dropped.
        {".\\bin\\a.dll", true, "bin/a.dll"},
        {"bin\\.\\a.dll", true, "bin/a.dll"},
        {"bin\\\\x", true, "bin/x"},
        {"bin//x", true, "bin/x"},
        {".\\.\\a.dll", true, "a.dll"},
        // No file named: a trailing separator or "." as the last part.
        {"dir\\", false, ""},
        {"bin\\.", false, ""},
        {".", false, ""},
        {".\\", false, ""},
        {"\\", false, ""},
        {"...\\a", true, ".../a"},
        {".a\\b.", true, ".a/b."},
        {"a..b\\c", true, "a..b/c"},
        {"", false, ""},
        {"\\abs", false, ""},
        {"/abs", false, ""},
        {"C:\\x", false, ""},
        {".\\C:\\x", false, ""},
        {"./C:x", false, ""},
        {"..\\up", false, ""},
        {"a\\..\\b", false, ""},
        {"a/..", false, ""},
    };
    for (const Row& r : rows) {
        std::string out;
        EXPECT_EQ(QN_LocalPathFromTableName(r.cszName, &out), r.bOk) << r.cszName;
        if (r.bOk) {
            EXPECT_EQ(out, r.cszExpected);
        }
    }
    std::wstring wout;
    EXPECT_TRUE(QN_LocalPathFromTableNameW(L"x\\y", &wout));
    EXPECT_EQ(wout, L"x/y");
    EXPECT_TRUE(QN_IsAbsolutePath("/tmp"));
    EXPECT_TRUE(QN_IsAbsolutePath("d:"));
    EXPECT_FALSE(QN_IsAbsolutePath("tmp/"));
    EXPECT_EQ(QN_StrICmp("Gameupdater.EXE", "gameupdater.exe"), 0);
}

TEST(Time, FileTimeConversions) {
    EXPECT_EQ(QN_UnixTimeToFileTime(0), 116444736000000000ull);
    uint32_t uNs = 0;
    EXPECT_EQ(QN_FileTimeToUnixTime(116444736000000000ull + 15, &uNs), 0);
    EXPECT_EQ(uNs, 1500u);
    uint64_t a = QN_GetTickCount64();
    EXPECT_GE(QN_GetTickCount64(), a);
    EXPECT_GT(QN_GetSystemTimeAsFileTime(), 116444736000000000ull);
}
