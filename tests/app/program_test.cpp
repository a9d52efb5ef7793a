#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qn_test_env.h"

extern char** environ;

namespace {

// Without a display the program says so on its error output and ends with a non-zero code,
// before it opens a log or a window.
TEST(Program, WithoutADisplay) {
    qn::test::TempDir dir;
    const std::string strExe = dir / "QelRepair.exe";
    qn::test::WriteFile(strExe, qn::test::ReadFile(QN_PROGRAM));
    ASSERT_EQ(::chmod(strExe.c_str(), 0755), 0);
    std::vector<std::string> env;
    for (char** pp = environ; *pp; ++pp)
        if (std::string(*pp).rfind("DISPLAY=", 0) != 0 && std::string(*pp).rfind("QN_UI=", 0) != 0) env.push_back(*pp);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string strErr = dir / "stderr.txt";
    posix_spawn_file_actions_addopen(&actions, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char* argv[] = {const_cast<char*>(strExe.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, strExe.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 1);
    EXPECT_NE(qn::test::ReadFile(strErr).find("no X display"), std::string::npos);
    EXPECT_FALSE(qn::test::FileExists(dir / "Logs"));
}

}  // namespace
