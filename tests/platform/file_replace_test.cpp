// Copying and moving a program file into place, and the bare-name rule for names from a server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "qn_deletion_guard.h"
#include "qn_fd.h"
#include "qn_file.h"
#include "qn_folder.h"
#include "qn_file_io.h"
#include "qn_file_mapping.h"
#include "qn_file_replace.h"
#include "qn_platform.h"
#include "qn_process.h"
#include "qn_string.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"

namespace {

uint32_t ModeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (uint32_t)(st.st_mode & 07777) : 0;
}

TEST(CopyFile, CopiesTheModeAndRefusesToEmptyItsSource) {
    qn::test::TempDir dir;
    qn::test::WriteFile(dir / "tool", "program bytes");
    ASSERT_EQ(::chmod((dir / "tool").c_str(), 0755), 0);
    qn::test::WriteFile(dir / "old", "older and longer bytes");

    EXPECT_EQ(QN_CopyFileA((dir / "tool").c_str(), (dir / "old").c_str(), 0), 1);
    EXPECT_EQ(qn::test::ReadFile(dir / "old"), "program bytes");
    EXPECT_EQ(ModeOf(dir / "old"), 0755u);

    EXPECT_EQ(QN_CopyFileA((dir / "tool").c_str(), (dir / "old").c_str(), 1), 0) << "fail if it exists";
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_FILE_EXISTS);

    // The same file under another name: a copy would truncate the source before reading it.
    ASSERT_EQ(::symlink((dir / "tool").c_str(), (dir / "alias").c_str()), 0);
    EXPECT_EQ(QN_CopyFileA((dir / "tool").c_str(), (dir / "alias").c_str(), 0), 0);
    EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(qn::test::ReadFile(dir / "tool"), "program bytes");

    qn::test::WriteFile(dir / "in the way/x", "x");
    EXPECT_EQ(QN_CopyFileA((dir / "tool").c_str(), (dir / "in the way").c_str(), 0), 0);
}

TEST(CopyFile, RunningProgramAtTheTargetIsRefused) {
    qn::test::TempDir dir;
    const std::string running = dir / "running";
    qn::test::WriteFile(running, qn::test::ReadFile("/bin/sleep"));
    ASSERT_EQ(::chmod(running.c_str(), 0755), 0);
    QN_PROCESS_INFORMATION info{};
    ASSERT_EQ(QN_CreateProcessA(running.c_str(), ("\"" + running + "\" 60").c_str(), nullptr, &info), 1);
    qn::test::WriteFile(dir / "tool", "program bytes");
    // The child may still be starting: the copy is refused once it runs the file.
    EXPECT_TRUE(qn::test::WaitUntil(
        [&] {
            return QN_CopyFileA((dir / "tool").c_str(), running.c_str(), 0) == 0 &&
                   QN_GetLastError() == (uint32_t)ERROR_SHARING_VIOLATION;
        },
        2000, 10));
    QN_TerminateProcess(info.hProcess, 1);
    QN_WaitForSingleObject(info.hProcess, 60000);
    QN_CloseProcessHandle(info.hProcess);
}

TEST(MoveFileReplace, ReplacesAndReportsAFolderInTheWay) {
    qn::test::TempDir dir;
    qn::test::WriteFile(dir / "new", "new");
    qn::test::WriteFile(dir / "old", "old");
    EXPECT_EQ(QN_MoveFileReplaceA((dir / "new").c_str(), (dir / "old").c_str()), 1);
    EXPECT_EQ(qn::test::ReadFile(dir / "old"), "new");
    EXPECT_FALSE(qn::test::FileExists(dir / "new"));
    qn::test::WriteFile(dir / "folder/x", "x");
    EXPECT_EQ(QN_MoveFileReplaceA((dir / "old").c_str(), (dir / "folder").c_str()), 0);
    EXPECT_EQ(qn::test::ReadFile(dir / "old"), "new");
}

TEST(BareFileName, OnlyANameWithoutFolders) {
    struct Case {
        const char* csz;
        bool bBare;
    } cases[] = {
        {"QelRepair.exe", true}, {"Qel Repair 2.exe", true}, {"..x", true},   {"", false},
        {".", false},            {"..", false},              {"../x", false}, {"..\\x", false},
        {"a/b", false},          {"a\\b", false},            {"/etc/x", false}, {"C:x.exe", false},
        {"x\ty", false},         {"x\ny", false},
    };
    for (const Case& c : cases) EXPECT_EQ(QN_IsBareFileName(c.csz), c.bBare) << c.csz;
    EXPECT_FALSE(QN_IsBareFileName(nullptr));
}

}  // namespace

namespace {

struct CopyLimitGuard {
    explicit CopyLimitGuard(uint64_t ullBytes) { qn::testing::SetCopyWriteLimit(ullBytes); }
    ~CopyLimitGuard() { qn::testing::SetCopyWriteLimit(0); }
};

bool IsLink(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

// A copy that runs out of space midway leaves the old target whole and no partial file that
// would hold the last free space; the error is the disk-full one.
TEST(CopyFile, CopyFailingMidwayLeavesNoPartialFile) {
    qn::test::TempDir dir;
    qn::test::WriteFile(dir / "tool", std::string(200000, 'p'));
    qn::test::WriteFile(dir / "old", "the old program");
    {
        CopyLimitGuard limit(70000);
        EXPECT_EQ(QN_CopyFileA((dir / "tool").c_str(), (dir / "old").c_str(), 0), 0);
        EXPECT_EQ(QN_GetLastError(), (uint32_t)ERROR_DISK_FULL);
        EXPECT_EQ(QN_CopyFileA((dir / "tool").c_str(), (dir / "new").c_str(), 0), 0);
    }
    EXPECT_EQ(qn::test::ReadFile(dir / "old"), "the old program");
    EXPECT_EQ(qn::test::ListFiles(dir.path()), (std::vector<std::string>{"old", "tool"}));
}

// Every way of writing a file in the platform layer replaces a symbolic link at the name by a
// file of its own, or (the log's append) refuses it; the file the link points to keeps its bytes.
TEST(LinkRule, WritesReplaceTheLinkNotWhatItPointsTo) {
    qn::test::TempDir dir, outside;
    struct Case {
        const char* name;
        std::function<bool(const std::string&)> write;
        std::string expected;  // the file at the link's name afterwards
        bool refused = false;  // the opening fails and the link stays as it was
    };
    const Case cases[] = {
        {"stream opened to truncate",
         [](const std::string& p) {
             FILE* fp = QN_fopen(p.c_str(), "wb");
             if (!fp) return false;
             std::fputs("new", fp);
             return std::fclose(fp) == 0;
         },
         "new"},
        {"stream opened to update",
         [](const std::string& p) {
             FILE* fp = QN_fopen(p.c_str(), "rb+");
             if (!fp) return false;
             std::fputs("NEW", fp);
             return std::fclose(fp) == 0;
         },
         "NEWside bytes"},
        {"handle opened for writing",
         [](const std::string& p) {
             int fd = QN_FileOpen(p.c_str(), QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ, QN_FILE_OPEN_EXISTING);
             if (fd < 0) return false;
             uint32_t uDone = 0;
             bool ok = QN_FileWriteAt(fd, 0, "NEW", 3, &uDone) == 1;
             QN_FileClose(fd);
             return ok;
         },
         "NEWside bytes"},
        {"mapping handle opened for writing",
         [](const std::string& p) {
             QN_FILE h = QN_CreateFileA(p.c_str(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
             if (h == INVALID_HANDLE_VALUE) return false;
             QN_CloseFile(h);
             return true;
         },
         "outside bytes"},
        {"copy onto it", [&dir](const std::string& p) { return QN_CopyFileA((dir / "src").c_str(), p.c_str(), 0) == 1; },
         "copied"},
        {"existing file opened to set its times",
         [](const std::string& p) {
             int fd = QN_OpenExistingFileW(QN_Utf8ToWide(p).c_str(), true);
             if (fd < 0) return false;
             bool ok = ::pwrite(fd, "NEW", 3, 0) == 3;
             ::close(fd);
             return ok;
         },
         "NEWside bytes"},
        {"log opened for appending",
         [](const std::string& p) {
             int fd = QN_OpenFileForAppend(p.c_str());
             if (fd < 0) return false;
             QN_CloseFd(fd);
             return true;
         },
         "outside bytes", true},
    };
    qn::test::WriteFile(dir / "src", "copied");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qn::test::WriteFile(outside / "victim", "outside bytes");
        const std::string link = dir / "link";
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink((outside / "victim").c_str(), link.c_str()), 0);
        EXPECT_EQ(c.write(link), !c.refused);
        EXPECT_EQ(IsLink(link), c.refused);
        EXPECT_EQ(qn::test::ReadFile(link), c.expected);
        EXPECT_EQ(qn::test::ReadFile(outside / "victim"), "outside bytes");
    }
}

// The temporary folder of a run is a real folder it made or emptied: a link at its name and
// links and leftovers inside it are removed without being followed; a regular file at its name
// is kept and the folder is not made.
TEST(EmptyFolder, MadeOrEmptiedWithoutFollowingLinks) {
    qn::test::TempDir dir, outside;
    qn::test::WriteFile(outside / "keep/f", "f");
    qn::test::DeletionGuard guard(dir.path());
    const std::string temp = dir / "QelRepairTemp";

    ASSERT_EQ(::symlink((outside / "keep").c_str(), temp.c_str()), 0);
    EXPECT_EQ(QN_MakeEmptyFolder(temp.c_str()), 1);
    EXPECT_FALSE(IsLink(temp));
    EXPECT_EQ(qn::test::ListFiles(temp), std::vector<std::string>{});

    qn::test::WriteFile(temp + "/old/partial.tmp", "left by an earlier run");
    ASSERT_EQ(::symlink((outside / "keep").c_str(), (temp + "/old/dirlink").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "keep/f").c_str(), (temp + "/filelink").c_str()), 0);
    EXPECT_EQ(QN_MakeEmptyFolder(temp.c_str()), 1);
    EXPECT_EQ(qn::test::ListFiles(temp), std::vector<std::string>{});
    EXPECT_EQ(qn::test::ReadFile(outside / "keep/f"), "f");

    EXPECT_EQ(QN_MakeEmptyFolder((dir / "no/parent").c_str()), 0) << "a folder that cannot be made fails";

    const std::string file = dir / "PlayerFile";
    qn::test::WriteFile(file, "the player's bytes");
    EXPECT_EQ(QN_MakeEmptyFolder(file.c_str()), 0) << "a regular file at the name is a failure";
    EXPECT_EQ(qn::test::ReadFile(file), "the player's bytes");
}

// Links whose removal fails as it does for a name in another account's folder.
int RefuseLinkNamedStuck(const char* cszPath) {
    const std::string s = cszPath;
    return s.size() >= 6 && s.compare(s.size() - 6, 6, "/stuck") == 0 ? EACCES : 0;
}

// The work folder of the main dialog is reused: what an earlier run or the player left in it
// stays (a killed download's ".tmp" and ".cfg" among it) and only links go, at its name and at
// any depth inside, without being followed. A link that cannot be removed is reported and does
// not fail the call.
TEST(FolderWithoutLinks, KeepsWhatWasLeftAndRemovesOnlyLinks) {
    qn::test::TempDir dir, outside;
    qn::test::WriteFile(outside / "keep/f", "f");
    qn::test::DeletionGuard guard(dir.path());
    const std::string temp = dir / "QelRepairTemp";
    std::vector<QN_FOLDER_ENTRY_LEFT> left;

    ASSERT_EQ(::symlink((outside / "keep").c_str(), temp.c_str()), 0);
    EXPECT_EQ(QN_MakeFolderWithoutLinks(temp.c_str(), &left), 1);
    EXPECT_FALSE(IsLink(temp));
    EXPECT_EQ(qn::test::ListFiles(temp), std::vector<std::string>{});
    EXPECT_EQ(qn::test::ReadFile(outside / "keep/f"), "f");

    qn::test::WriteFile(temp + "/bin/x.dll.tmp", "part");
    qn::test::WriteFile(temp + "/bin/x.dll.cfg", "progress");
    qn::test::WriteFile(temp + "/mine.txt", "the player's");
    ASSERT_EQ(::symlink((outside / "keep").c_str(), (temp + "/bin/dirlink").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "keep/f").c_str(), (temp + "/filelink").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "keep/f").c_str(), (temp + "/bin/stuck").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent/target", (temp + "/dangling").c_str()), 0);
    qn::testing::SetDeleteFileHook(&RefuseLinkNamedStuck);
    EXPECT_EQ(QN_MakeFolderWithoutLinks((temp + "/").c_str(), &left), 1);
    qn::testing::SetDeleteFileHook(nullptr);
    EXPECT_TRUE(IsLink(temp + "/bin/stuck"));
    ::unlink((temp + "/bin/stuck").c_str());
    EXPECT_EQ(qn::test::ListFiles(temp), (std::vector<std::string>{"bin/x.dll.cfg", "bin/x.dll.tmp", "mine.txt"}));
    struct stat st;
    EXPECT_NE(::lstat((temp + "/bin/dirlink").c_str(), &st), 0);
    EXPECT_NE(::lstat((temp + "/dangling").c_str(), &st), 0);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].strPath, temp + "/bin/stuck");
    EXPECT_EQ(left[0].uError, 5u);
    EXPECT_EQ(qn::test::ReadFile(temp + "/bin/x.dll.tmp"), "part");
    EXPECT_EQ(qn::test::ReadFile(outside / "keep/f"), "f");

    EXPECT_EQ(QN_MakeFolderWithoutLinks((dir / "no/parent").c_str(), nullptr), 0) << "a folder that cannot be made";
    const std::string file = dir / "PlayerFile";
    qn::test::WriteFile(file, "the player's bytes");
    EXPECT_EQ(QN_MakeFolderWithoutLinks(file.c_str(), nullptr), 0) << "a regular file at the name is a failure";
    EXPECT_EQ(qn::test::ReadFile(file), "the player's bytes");
}

// The side file a killed copy leaves goes by name: a file, or a link (its target untouched).
TEST(CopySideFile, RemovedByNameNeverFollowed) {
    qn::test::TempDir dir, outside;
    qn::test::DeletionGuard guard(dir.path());
    const std::string target = dir / "QelRepair.exe";
    qn::test::WriteFile(target, "program");
    qn::test::WriteFile(outside / "victim", "outside bytes");
    EXPECT_EQ(QN_RemoveCopySideFile(target.c_str()), 1) << "none there";
    qn::test::WriteFile(target + ".qncopy", std::string(4096, 'p'));
    EXPECT_EQ(QN_RemoveCopySideFile(target.c_str()), 1);
    EXPECT_FALSE(qn::test::FileExists(target + ".qncopy"));
    ASSERT_EQ(::symlink((outside / "victim").c_str(), (target + ".qncopy").c_str()), 0);
    EXPECT_EQ(QN_RemoveCopySideFile(target.c_str()), 1);
    EXPECT_FALSE(IsLink(target + ".qncopy"));
    EXPECT_EQ(qn::test::ReadFile(outside / "victim"), "outside bytes");
    EXPECT_EQ(qn::test::ReadFile(target), "program");
}
