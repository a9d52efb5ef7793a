// Whether two paths name the same file or folder: text, identity, and letter case.
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

}  // namespace
