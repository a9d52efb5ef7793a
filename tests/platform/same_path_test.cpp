// Whether two paths name the same file or folder, and whether a folder lies on the way to a
// path: text, identity, and letter case.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "qn_same_path.h"
#include "qn_platform_sandbox.h"
#include "qn_test_env.h"

namespace {

TEST(SamePath, TextIdentityAndLetterCase) {
    qn::test::TempDir dir;
    qn::test::MakeDirs(dir / "work/bin");
    qn::test::MakeDirs(dir / "WORK");
    qn::test::WriteFile(dir / "work/bin/a.exe", "a");
    ASSERT_EQ(::symlink((dir / "work").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::link((dir / "work/bin/a.exe").c_str(), (dir / "work/hard.exe").c_str()), 0);
    struct Case {
        const char* cszName;
        std::string strA, strB;
        bool bSame;
    } cases[] = {
        {"one text", dir / "work/", dir / "work/", true},
        {"a separator at the end", dir / "work/", dir / "work", true},
        {"backslashes", dir / "work/bin/a.exe", dir.path() + "\\work\\bin\\a.exe", true},
        {"another spelling", dir / "work/bin/a.exe", dir / "work/./bin/../bin/a.exe", true},
        {"through a symbolic link", dir / "link/bin/", dir / "work/bin", true},
        {"a hard link", dir / "work/hard.exe", dir / "work/bin/a.exe", true},
        {"two folders that differ in letter case", dir / "WORK/", dir / "work/", false},
        {"a missing name in another case", dir / "work/bin/A.EXE", dir / "work/bin/a.exe", false},
        {"two missing names", dir / "none/x", dir / "none/y", false},
        {"one missing name, as written twice", dir / "none/x", dir / "none/x", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QN_IsSamePath(c.strA.c_str(), c.strB.c_str()), c.bSame) << c.cszName;
        EXPECT_EQ(QN_IsSamePath(c.strB.c_str(), c.strA.c_str()), c.bSame) << c.cszName;
    }
    EXPECT_FALSE(QN_IsSamePath(nullptr, "/"));
}

// A folder on the way to a path, by identity: the folder through another spelling or a link,
// never the file itself, a sibling whose name begins the same, or a folder in another case.
TEST(SamePath, FolderOnTheWayByIdentity) {
    qn::test::TempDir dir;
    qn::test::MakeDirs(dir / "work/bin/zhcn");
    qn::test::MakeDirs(dir / "work2");
    qn::test::MakeDirs(dir / "WORK");
    qn::test::WriteFile(dir / "work/bin/zhcn/a.exe", "a");
    ASSERT_EQ(::symlink((dir / "work").c_str(), (dir / "link").c_str()), 0);
    struct Case {
        const char* cszName;
        std::string strPath, strFolder;
        bool bInside;
    } cases[] = {
        {"the folder as written", dir / "work/bin/zhcn/a.exe", dir / "work/", true},
        {"a folder further down", dir / "work/bin/zhcn/a.exe", dir / "work/bin", true},
        {"the folder through a link", dir / "work/bin/zhcn/a.exe", dir / "link/", true},
        {"the path through a link", dir / "link/bin/zhcn/a.exe", dir / "work/", true},
        {"the folder written another way", dir / "work/bin/zhcn/a.exe", dir / "./work//bin/../", true},
        {"backslashes in the path", dir.path() + "\\work\\bin\\zhcn\\a.exe", dir / "work/", true},
        {"the file itself", dir / "work/bin/zhcn/a.exe", dir / "work/bin/zhcn/a.exe", false},
        {"a sibling whose name begins the same", dir / "work2/a.exe", dir / "work/", false},
        {"a folder in another case", dir / "work/bin/zhcn/a.exe", dir / "WORK/", false},
        {"a missing folder", dir / "work/bin/zhcn/a.exe", dir / "none/", false},
        {"the folder below the path's", dir / "work/a.exe", dir / "work/bin/", false},
    };
    for (const Case& c : cases) EXPECT_EQ(QN_IsInFolderByIdentity(c.strPath.c_str(), c.strFolder.c_str()), c.bInside) << c.cszName;
    EXPECT_FALSE(QN_IsInFolderByIdentity(nullptr, "/"));
    EXPECT_FALSE(QN_IsInFolderByIdentity("/x", ""));
}

}  // namespace
