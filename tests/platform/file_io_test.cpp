#include <gtest/gtest.h>

#include <string>

#include "qn_file_io.h"
#include "qn_platform.h"
#include "qn_systemtime.h"
#include "qn_test_env.h"
#include "qn_time.h"
#include "qn_uuid.h"

namespace {

// A second open of one file while a first handle is held: which pairs conflict as Windows'
// share modes would have it.
TEST(FileShare, ConflictTable) {
    struct Row {
        uint32_t uAccess1, uShare1, uAccess2, uShare2;
        bool bConflict;
    } rows[] = {
        // writer sharing reads, then a second writer
        {QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, true},
        // writer sharing reads, then a reader that does not share writing
        {QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, true},
        // writer sharing reads, then a reader that shares everything
        {QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, QN_FILE_ACCESS_READ,
         QN_FILE_SHARE_READ | QN_FILE_SHARE_WRITE, false},
        // two readers sharing reads
        {QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, false},
        // a handle that shares nothing, then any reader
        {QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_NONE, QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, true},
        // a reader, then a writer
        {QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, true},
    };
    qn::test::TempDir dir;
    std::string sPath = dir / "f";
    qn::test::WriteFile(sPath, "abc");
    for (const Row& r : rows) {
        int nFd1 = QN_FileOpen(sPath.c_str(), r.uAccess1, r.uShare1, QN_FILE_OPEN_EXISTING);
        ASSERT_GE(nFd1, 0);
        int nFd2 = QN_FileOpen(sPath.c_str(), r.uAccess2, r.uShare2, QN_FILE_OPEN_EXISTING);
        if (r.bConflict) {
            EXPECT_LT(nFd2, 0);
            EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_SHARING_VIOLATION);
        } else {
            EXPECT_GE(nFd2, 0);
        }
        QN_FileClose(nFd2);
        QN_FileClose(nFd1);
    }
    // The lock goes with the handle.
    int nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_NONE, QN_FILE_OPEN_EXISTING);
    ASSERT_GE(nFd, 0);
    QN_FileClose(nFd);
    nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_NONE, QN_FILE_OPEN_EXISTING);
    EXPECT_GE(nFd, 0);
    QN_FileClose(nFd);
}

TEST(FileOpen, DispositionsAndErrors) {
    qn::test::TempDir dir;
    std::string sPath = dir / "g";
    EXPECT_LT(QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, QN_FILE_OPEN_EXISTING), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_FILE_NOT_FOUND);
    bool bExisted = true;
    int nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ,
                          QN_FILE_OPEN_ALWAYS, &bExisted);
    ASSERT_GE(nFd, 0);
    EXPECT_FALSE(bExisted);
    uint32_t uWritten = 0;
    EXPECT_TRUE(QN_FileWriteAt(nFd, 10, "xy", 2, &uWritten));
    uint64_t ullSize = 0;
    EXPECT_TRUE(QN_FileGetSize(nFd, &ullSize));
    EXPECT_EQ(ullSize, 12u);
    // A truncating open refused by the share lock leaves the content alone.
    EXPECT_LT(QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, QN_FILE_CREATE_ALWAYS), 0);
    QN_FileClose(nFd);
    EXPECT_EQ(qn::test::ReadFile(sPath).size(), 12u);
    nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, QN_FILE_OPEN_ALWAYS, &bExisted);
    EXPECT_TRUE(bExisted);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_ALREADY_EXISTS);
    QN_FileClose(nFd);
    nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, QN_FILE_CREATE_ALWAYS);
    ASSERT_GE(nFd, 0);
    QN_FileClose(nFd);
    EXPECT_EQ(qn::test::ReadFile(sPath).size(), 0u);
    // A regular file as a parent folder.
    EXPECT_LT(QN_FileOpen((sPath + "/x").c_str(), QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, QN_FILE_OPEN_ALWAYS), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(QN_CreateDirectoryOne((sPath + "/x").c_str()));
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(QN_CreateDirectoryOne(sPath.c_str()));
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_ALREADY_EXISTS);
}

TEST(SystemTime, ToFileTimeValidation) {
    struct Row {
        SYSTEMTIME t;
        bool bOk;
    } rows[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, true},
        {{1600, 12, 0, 31, 0, 0, 0, 0}, false},
        {{30827, 12, 0, 31, 23, 59, 59, 999}, true},
        {{30828, 1, 0, 1, 0, 0, 0, 0}, false},
        {{2024, 2, 0, 29, 0, 0, 0, 0}, true},
        {{2023, 2, 0, 29, 0, 0, 0, 0}, false},
        {{1900, 2, 0, 29, 0, 0, 0, 0}, false},
        {{2000, 2, 0, 29, 0, 0, 0, 0}, true},
        {{2024, 4, 0, 31, 0, 0, 0, 0}, false},
        {{2024, 13, 0, 1, 0, 0, 0, 0}, false},
        {{2024, 0, 0, 1, 0, 0, 0, 0}, false},
        {{2024, 1, 0, 0, 0, 0, 0, 0}, false},
        {{2024, 1, 0, 1, 24, 0, 0, 0}, false},
        {{2024, 1, 0, 1, 0, 60, 0, 0}, false},
        {{2024, 1, 0, 1, 0, 0, 60, 0}, false},
        {{2024, 1, 0, 1, 0, 0, 0, 1000}, false},
        {{1, 1, 1, 1, 1, 1, 1, 1}, false},
    };
    for (const Row& r : rows) {
        uint64_t ull = 0;
        EXPECT_EQ(QN_SystemTimeToFileTime(&r.t, &ull) != 0, r.bOk) << r.t.wYear << "-" << r.t.wMonth << "-" << r.t.wDay;
    }
    // 1994-11-06 08:49:37 UTC is Unix time 784111777; it was a Sunday.
    SYSTEMTIME t{1994, 11, 0, 6, 8, 49, 37, 250};
    uint64_t ull = 0;
    ASSERT_TRUE(QN_SystemTimeToFileTime(&t, &ull));
    EXPECT_EQ(ull, (784111777ull + QN_FILETIME_UNIX_EPOCH_SECONDS) * 10000000ull + 2500000ull);
    SYSTEMTIME back{};
    ASSERT_TRUE(QN_FileTimeToSystemTime(ull, &back));
    EXPECT_EQ(back.wYear, 1994);
    EXPECT_EQ(back.wMonth, 11);
    EXPECT_EQ(back.wDay, 6);
    EXPECT_EQ(back.wDayOfWeek, 0);
    EXPECT_EQ(back.wHour, 8);
    EXPECT_EQ(back.wMinute, 49);
    EXPECT_EQ(back.wSecond, 37);
    EXPECT_EQ(back.wMilliseconds, 250);
}

TEST(FileTimes, LastWriteAndCreationStamp) {
    qn::test::TempDir dir;
    std::string sPath = dir / "t";
    int nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ,
                          QN_FILE_CREATE_ALWAYS);
    ASSERT_GE(nFd, 0);
    SYSTEMTIME t{2001, 2, 0, 3, 4, 5, 6, 0};
    uint64_t ull = 0, ullBack = 0, ullC1 = 0, ullC2 = 0;
    ASSERT_TRUE(QN_SystemTimeToFileTime(&t, &ull));
    EXPECT_TRUE(QN_FileSetLastWriteTime(nFd, ull));
    EXPECT_TRUE(QN_FileGetLastWriteTime(nFd, &ullBack));
    EXPECT_EQ(ullBack, ull);
    EXPECT_TRUE(QN_FileGetCreationTime(nFd, &ullC1));
    EXPECT_TRUE(QN_FileGetCreationTime(nFd, &ullC2));
    EXPECT_EQ(ullC1, ullC2);
    EXPECT_NE(ullC1, 0u);
    QN_FileClose(nFd);
}

TEST(Uuid, RandomVersionFourText) {
    QN_GUID a{}, b{};
    ASSERT_TRUE(QN_UuidCreate(&a));
    ASSERT_TRUE(QN_UuidCreate(&b));
    EXPECT_NE(a, b);
    char sz[37];
    QN_UuidToString(a, sz);
    std::string s(sz);
    ASSERT_EQ(s.size(), 36u);
    EXPECT_EQ(s[14], '4');
    EXPECT_TRUE(s[19] == '8' || s[19] == '9' || s[19] == 'a' || s[19] == 'b');
    for (char c : s) EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    QN_GUID g = {0x01020304, 0x0506, 0x0708, {0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10}};
    QN_UuidToString(g, sz);
    EXPECT_STREQ(sz, "01020304-0506-0708-090a-0b0c0d0e0f10");
}

}  // namespace
