#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "qn_fd.h"
#include "qn_file.h"
#include "qn_platform.h"
#include "qn_test_env.h"
#include "qn_time.h"

namespace {
std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

struct stat StatOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}
}  // namespace

TEST(PlatformFile, StreamsOpenByWidePathAndRefuseFolders) {
    qn::test::TempDir dir;
    qn::test::WriteFile(dir / "a.dat", "hello");
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    struct Row {
        std::string path;
        bool bOpens;
        int nErrno;
    } rows[] = {
        {dir / "a.dat", true, 0},
        {dir.path() + "\\a.dat", true, 0},  // '\\' is a separator
        {dir / "sub", false, EISDIR},
        {dir / "missing", false, ENOENT},
    };
    for (const Row& r : rows) {
        errno = 0;
        FILE* fp = QN_wfopen(Wide(r.path).c_str(), "rb");
        EXPECT_EQ(fp != nullptr, r.bOpens) << r.path;
        if (fp) {
            EXPECT_EQ(fcntl(QN_fileno(fp), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
            fclose(fp);
        } else {
            EXPECT_EQ(errno, r.nErrno) << r.path;
        }
    }
}

TEST(PlatformFile, SeekAndTellBeyond4GiB) {
    qn::test::TempDir dir;
    const int64_t llSize = (5ll << 30) + 3;
    int fd = open((dir / "big").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, llSize), 0);
    close(fd);
    FILE* fp = QN_fopen((dir / "big").c_str(), "rb");
    ASSERT_TRUE(fp);
    EXPECT_EQ(QN_fseeki64(fp, 0, SEEK_END), 0);
    EXPECT_EQ(QN_ftelli64(fp), llSize);
    EXPECT_EQ(QN_fseeki64(fp, (4ll << 30) + 1, SEEK_SET), 0);
    EXPECT_EQ(QN_ftelli64(fp), (4ll << 30) + 1);
    fclose(fp);
}

// Growing allocates the space, holes of an earlier sparse extension included, so that a
// shared mapping of the file never meets a hole.
TEST(PlatformFile, LengthChangeAllocatesWhatItAdds) {
    qn::test::TempDir dir;
    const std::string path = dir / "f";
    qn::test::WriteFile(path, "abc");
    int fd = QN_OpenExistingFileW(Wide(path).c_str(), true);
    ASSERT_GE(fd, 0);
    struct Row {
        int64_t llLength;
    } rows[] = {{1 << 20}, {100}, {2}, {3 << 20}};
    for (const Row& r : rows) {
        ASSERT_EQ(QN_chsize(fd, r.llLength), 0) << r.llLength;
        struct stat st = StatOf(path);
        EXPECT_EQ(st.st_size, r.llLength);
        EXPECT_GE((int64_t)st.st_blocks * 512, r.llLength) << "allocated, not sparse";
    }
    EXPECT_EQ(qn::test::ReadFile(path).substr(0, 2), "ab");
    EXPECT_EQ(qn::test::ReadFile(path)[2], '\0');

    // A sparse file of the right length gets its space without a change of length, bytes or
    // times.
    ASSERT_EQ(ftruncate(fd, 0), 0);
    ASSERT_EQ(pwrite(fd, "xyz", 3, 0), 3);
    ASSERT_EQ(ftruncate(fd, 4 << 20), 0);
    struct timespec times[2] = {{1893456000, 0}, {978307200, 0}};
    ASSERT_EQ(futimens(fd, times), 0);
    EXPECT_LT((int64_t)StatOf(path).st_blocks * 512, 4 << 20);
    EXPECT_EQ(QN_AllocateFileSpace(fd), 1);
    EXPECT_GE((int64_t)StatOf(path).st_blocks * 512, 4 << 20);
    EXPECT_EQ(StatOf(path).st_size, 4 << 20);
    EXPECT_EQ(StatOf(path).st_mtime, 978307200);
    EXPECT_EQ(StatOf(path).st_atime, 1893456000);
    EXPECT_EQ(QN_AllocateFileSpace(fd), 1);
    EXPECT_EQ(StatOf(path).st_mtime, 978307200);
    EXPECT_EQ(qn::test::ReadFile(path).substr(0, 3), "xyz");

    EXPECT_EQ(QN_chsize(fd, -1), -1);
    QN_CloseFd(fd);
    EXPECT_EQ(QN_chsize(fd, 10), -1);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_INVALID_HANDLE);
}

TEST(PlatformFile, OpenExistingRefusesFoldersAndMissingFiles) {
    qn::test::TempDir dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    EXPECT_EQ(QN_OpenExistingFileW(Wide(dir / "sub").c_str(), false), -1);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_EQ(QN_OpenExistingFileW(Wide(dir / "none").c_str(), true), -1);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(qn::test::FileExists(dir / "none"));
}

TEST(PlatformFile, AttributesNormalAddsOwnerWrite) {
    qn::test::TempDir dir;
    const std::string path = dir / "ro";
    qn::test::WriteFile(path, "x");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    EXPECT_EQ(QN_SetFileAttributesNormalW(Wide(path).c_str()), 1);
    EXPECT_EQ(StatOf(path).st_mode & 0777, 0644u);
    EXPECT_EQ(QN_SetFileAttributesNormalW(Wide(path).c_str()), 1);
    EXPECT_EQ(StatOf(path).st_mode & 0777, 0644u);
    EXPECT_EQ(QN_SetFileAttributesNormalW(Wide(dir / "none").c_str()), 0);
}

TEST(PlatformFile, TimesSetOnlyWhatIsGiven) {
    qn::test::TempDir dir;
    const std::string path = dir / "f";
    qn::test::WriteFile(path, "x");
    int fd = QN_OpenExistingFileW(Wide(path).c_str(), true);
    ASSERT_GE(fd, 0);
    const uint64_t ullAccess = QN_UnixTimeToFileTime(978307200);  // 2001-01-01
    const uint64_t ullWrite = QN_UnixTimeToFileTime(1000000000, 500000000);
    ASSERT_EQ(QN_SetFileTime(fd, nullptr, &ullAccess, &ullWrite), 1);
    struct stat st = StatOf(path);
    EXPECT_EQ(st.st_atim.tv_sec, 978307200);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 500000000);

    const uint64_t ullLater = QN_UnixTimeToFileTime(1100000000);
    ASSERT_EQ(QN_SetFileTime(fd, nullptr, nullptr, &ullLater), 1);
    st = StatOf(path);
    EXPECT_EQ(st.st_atim.tv_sec, 978307200) << "the access time is left alone";
    EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);

    uint64_t ullCreation = 1, ullGotAccess = 0, ullGotWrite = 0;
    ASSERT_EQ(QN_GetFileTime(fd, &ullCreation, &ullGotAccess, &ullGotWrite), 1);
    EXPECT_EQ(ullGotWrite, ullLater);
    EXPECT_EQ(ullGotAccess, ullAccess);
    QN_CloseFd(fd);
}

TEST(PlatformFile, ExistenceAndWorkingFolder) {
    qn::test::TempDir dir;
    qn::test::WriteFile(dir / "f", "x");
    EXPECT_TRUE(QN_PathExistsW(Wide(dir / "f").c_str()));
    EXPECT_TRUE(QN_PathExistsW(Wide(dir.path()).c_str()));
    EXPECT_FALSE(QN_PathExistsW(Wide(dir / "none").c_str()));
    EXPECT_FALSE(QN_PathExistsW(L""));

    char szCwd[4096];
    ASSERT_TRUE(getcwd(szCwd, sizeof(szCwd)));
    wchar_t wsz[4096];
    ASSERT_EQ(QN_GetCurrentDirectoryW(wsz, 4096), 1);
    EXPECT_EQ(std::wstring(wsz), Wide(szCwd));
    const size_t uLength = std::string(szCwd).size();
    EXPECT_EQ(QN_GetCurrentDirectoryW(wsz, uLength + 1), 1);
    EXPECT_EQ(QN_GetCurrentDirectoryW(wsz, uLength), 0) << "no room for the terminator";
}
