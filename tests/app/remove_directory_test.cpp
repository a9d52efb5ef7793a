#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "QN_ClientEnvironment.h"
#include "qn_deletion_guard.h"
#include "qn_platform_sandbox.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"

namespace {

// Every deletion outside the test's folder ends the test program.
using Guarded = qn::test::DeletionGuard;

TEST(RemoveDirectory, GuardsAndTrees) {
    qn::test::TempDir dir;
    const std::string strTemp = dir / "client/QelRepairTemp";
    const std::string strOutside = dir / "outside";
    qn::test::MakeDirs(strOutside);
    qn::test::WriteFile(strOutside + "/keep.txt", "keep");
    Guarded guard(dir / "client");
    struct Row {
        const char* cszName;
        std::string strPath;
        int nResult;
    } refused[] = {
        {"empty", "", 0},
        {"root", "/", 0},
        {"Windows root", "\\", 0},
        {"drive root", "C:\\", 0},
        {"outside the folder named", strOutside, 0},
        {"a way out through ..", strTemp + "/../../outside", 0},
        {"the parent of the folder named", dir / "client", 0},
        {"missing, inside", strTemp + "/none", 1},
    };
    for (const Row& r : refused) EXPECT_EQ(_RemoveDirectory(r.strPath.c_str(), strTemp.c_str()), r.nResult) << r.cszName;
    EXPECT_EQ(_RemoveDirectory(strTemp.c_str(), nullptr), 0);
    EXPECT_EQ(qn::test::ReadFile(strOutside + "/keep.txt"), "keep");

    // A nested tree with a read-only file, a dot-file, a dot-folder and a link out of the tree.
    qn::test::MakeDirs(strTemp + "/a/b/c");
    qn::test::MakeDirs(strTemp + "/kept/.git");
    qn::test::WriteFile(strTemp + "/a/b/c/f", "x");
    qn::test::WriteFile(strTemp + "/a/.hidden", "x");
    qn::test::WriteFile(strTemp + "/a/ro", "x");
    ASSERT_EQ(::chmod((strTemp + "/a/ro").c_str(), 0444), 0);
    qn::test::WriteFile(strTemp + "/kept/.git/config", "x");
    ASSERT_EQ(::symlink(strOutside.c_str(), (strTemp + "/a/link").c_str()), 0);
    EXPECT_EQ(_RemoveDirectory((strTemp + "/a").c_str(), strTemp.c_str()), 1);
    EXPECT_FALSE(qn::test::FileExists(strTemp + "/a"));
    EXPECT_EQ(qn::test::ReadFile(strOutside + "/keep.txt"), "keep");
    EXPECT_EQ(_RemoveDirectory(strTemp.c_str(), strTemp.c_str()), 1);
    EXPECT_EQ(qn::test::ListFiles(strTemp), (std::vector<std::string>{"kept/.git/config"}));
}

TEST(RemoveClientFiles, LeftoversOnly) {
    qn::test::TempDir dir;
    const std::string strBin = dir / "client/bin/zhcn/";
    qn::test::MakeDirs(strBin + "update/sub");
    qn::test::MakeDirs(strBin + "update/.keep");
    qn::test::MakeDirs(strBin + "update_extend/x");
    qn::test::WriteFile(strBin + "update/sub/a", "a");
    qn::test::WriteFile(strBin + "update/.keep/c", "c");
    qn::test::WriteFile(strBin + "update_extend/x/b", "b");
    qn::test::WriteFile(strBin + "QelClient.memory", "m");
    qn::test::WriteFile(strBin + "game.dat", "g");
    qn::test::MakeDirs(dir / "outside");
    qn::test::WriteFile(dir / "outside/o", "o");
    Guarded guard(dir / "client/bin/zhcn");
    EXPECT_EQ(QN_RemoveClientFiles(strBin.c_str()), 1);
    EXPECT_EQ(qn::test::ListFiles(dir.path()),
              (std::vector<std::string>{"client/bin/zhcn/game.dat", "client/bin/zhcn/update/.keep/c", "outside/o"}));
    EXPECT_EQ(QN_RemoveClientFiles(nullptr), 0);
    EXPECT_EQ(QN_RemoveClientFiles(""), 0);
}

TEST(PathWithin, Table) {
    struct Row {
        const char *cszPath, *cszWithin;
        bool bWithin;
    } rows[] = {
        {"/c/t", "/c/t", true},       {"/c/t/", "/c/t", true},        {"/c/t/x", "/c/t/", true},
        {"/c/t\\x", "/c/t", true},    {"/c/tx", "/c/t", false},       {"/c", "/c/t", false},
        {"/c/t/../u", "/c/t", false}, {"c/t/x", "/c/t", false},       {"/c/t/x", "/", false},
        {"/c/t/x", "", false},        {"/c/t/./x", "/c/t", false},
    };
    for (const Row& r : rows) EXPECT_EQ(QN_IsPathWithin(r.cszPath, r.cszWithin), r.bWithin) << r.cszPath << " in " << r.cszWithin;
    for (const char* csz : {"/", "\\", "//", "C:", "C:\\", "d:/"}) EXPECT_TRUE(QN_IsFileSystemRoot(csz)) << csz;
    for (const char* csz : {"", "/a", "C:a", "a"}) EXPECT_FALSE(QN_IsFileSystemRoot(csz)) << csz;
}

// A link in the place of a folder to remove is removed itself; the folder it points to, outside
// the sandbox, keeps everything (a deletion there would end the test program).
TEST(RemoveDirectory, LinkInThePlaceOfTheFolderIsRemovedNotEntered) {
    qn::test::TempDir dir, outside;
    qn::test::MakeDirs(outside / "sub");
    qn::test::WriteFile(outside / "sub/f", "f");
    qn::test::WriteFile(outside / "g", "g");
    const std::string strBin = dir / "client/bin/zhcn/";
    qn::test::MakeDirs(strBin);
    ASSERT_EQ(::symlink(outside.path().c_str(), (strBin + "update").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "client/QelRepairTemp").c_str()), 0);
    Guarded guard(dir / "client");

    EXPECT_EQ(QN_RemoveClientFiles(strBin.c_str()), 1);
    const std::string strTemp = dir / "client/QelRepairTemp";
    EXPECT_EQ(_RemoveDirectory(strTemp.c_str(), strTemp.c_str()), 1);
    struct stat st;
    EXPECT_NE(::lstat((strBin + "update").c_str(), &st), 0);
    EXPECT_NE(::lstat(strTemp.c_str(), &st), 0);
    EXPECT_EQ(qn::test::ListFiles(outside.path()), (std::vector<std::string>{"g", "sub/f"}));
}

// Inside a folder means inside it as the file system resolves it, with exact letter case.
TEST(PathWithin, ResolvedRealPaths) {
    qn::test::TempDir dir, outside;
    qn::test::MakeDirs(dir / "client/real");
    qn::test::MakeDirs(outside / "x");
    ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "client/out").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "client").c_str(), (dir / "alias").c_str()), 0);
    const std::string client = dir / "client";
    EXPECT_FALSE(QN_IsPathWithin((client + "/out/x").c_str(), client.c_str())) << "through a link out of the folder";
    EXPECT_TRUE(QN_IsPathWithin((client + "/out").c_str(), client.c_str())) << "the link itself lies inside";
    EXPECT_TRUE(QN_IsPathWithin((dir / "alias/real").c_str(), client.c_str())) << "the same folder under a link";
    EXPECT_FALSE(QN_IsPathWithin((dir / "CLIENT/real").c_str(), client.c_str())) << "another name on this system";
}

}  // namespace
