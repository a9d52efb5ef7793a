#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "qn_test_env.h"

// Cleaning up a temporary folder must not reach through a symbolic link: the link's target
// keeps its mode and its content.
TEST(TempDir, CleanupLeavesTheTargetsOfLinksAlone) {
    qn::test::TempDir Outside;
    const std::string strTarget = Outside / "target";
    qn::test::WriteFile(strTarget, "kept");
    ASSERT_EQ(::chmod(strTarget.c_str(), 0644), 0);
    std::string strLockedFolder;
    {
        qn::test::TempDir Inside;
        std::filesystem::create_symlink(strTarget, Inside / "link");
        // A folder without permissions is still removed.
        strLockedFolder = Inside / "locked";
        std::filesystem::create_directories(strLockedFolder + "/sub");
        ASSERT_EQ(::chmod(strLockedFolder.c_str(), 0), 0);
    }
    struct stat st {};
    ASSERT_EQ(::stat(strTarget.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(qn::test::ReadFile(strTarget), "kept");
    EXPECT_FALSE(qn::test::FileExists(strLockedFolder));
}
