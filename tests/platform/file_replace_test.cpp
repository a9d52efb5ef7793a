// Copying and moving a program file into place, and the bare-name rule for names from a server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "qn_file_replace.h"
#include "qn_platform.h"
#include "qn_process.h"
#include "qn_string.h"
#include "qn_test_env.h"

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
    bool bRefused = false;
    for (int i = 0; i < 200 && !bRefused; ++i) {
        bRefused = QN_CopyFileA((dir / "tool").c_str(), running.c_str(), 0) == 0 &&
                   QN_GetLastError() == (uint32_t)ERROR_SHARING_VIOLATION;
        if (!bRefused) QN_Sleep(10);
    }
    EXPECT_TRUE(bRefused);
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
