// The program's start against an X server that resets when its last client leaves: every
// start must get its window, however the server's reset falls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qn_test_env.h"
#include "xvfb_display.h"

extern char** environ;

namespace {

struct RunResult {
    bool bEnded = false;
    int nStatus = -1;
    std::string strStderr;
};

// Runs the program with DISPLAY set and waits (bounded) for it to end; its stderr is kept.
RunResult RunProgram(const std::string& strProgram, const std::string& strDisplay) {
    RunResult r;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return r;
    std::vector<std::string> env;
    for (char** pp = environ; *pp; ++pp) {
        if (std::strncmp(*pp, "DISPLAY=", 8) == 0 || std::strncmp(*pp, "QN_UI=", 6) == 0) continue;
        env.push_back(*pp);
    }
    env.push_back("DISPLAY=" + strDisplay);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(strProgram.c_str()), nullptr};
    pid_t pid = -1;
    int nErr = ::posix_spawn(&pid, strProgram.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (nErr != 0) {
        ::close(fds[0]);
        r.strStderr = std::string("spawn: ") + std::strerror(nErr);
        return r;
    }
    // stderr reaches its end when the program ends.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    struct pollfd pfd = {fds[0], POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(&pfd, 1, (int)left.count()) <= 0) break;
        char buf[512];
        ssize_t n = ::read(fds[0], buf, sizeof(buf));
        if (n <= 0) {
            r.bEnded = true;
            break;
        }
        r.strStderr.append(buf, (size_t)n);
    }
    ::close(fds[0]);
    if (!r.bEnded) ::kill(pid, SIGKILL);
    ::waitpid(pid, &r.nStatus, 0);
    return r;
}

// Each start meets a fresh server with no other client: the program's first connection is the
// server's first client, so the server resets as soon as the program has no connection left.
// The program opens its main window and, since a file holds the name of its work folder,
// gives up at once (no self-update, no traffic), writes its failure to its log and ends with 0.
TEST(DisplayStart, EveryStartGetsItsWindowOnAResettingServer) {
    if (!XvfbStartError().empty()) GTEST_SKIP() << XvfbStartError();
    qn::test::TempDir dir;
    const std::string strProgram = dir / "QelRepair.exe";
    std::filesystem::copy_file(QN_PROGRAM_FILE, strProgram);
    qn::test::WriteFile(dir / "QelRepairTemp", "a file where the work folder would be");
    for (int nRun = 0; nRun < 30; ++nRun) {
        std::string strDisplay, strError;
        pid_t server = StartXvfbServer(false, &strDisplay, &strError);
        ASSERT_GT(server, 0) << strError;
        RunResult r = RunProgram(strProgram, strDisplay);
        StopXvfbServer(server);
        ASSERT_TRUE(r.bEnded) << "start " << nRun << " did not end";
        EXPECT_TRUE(WIFEXITED(r.nStatus) && WEXITSTATUS(r.nStatus) == 0)
            << "start " << nRun << " ended with status " << r.nStatus << ": " << r.strStderr;
        EXPECT_EQ(r.strStderr.find("display"), std::string::npos) << "start " << nRun << ": " << r.strStderr;
        if (HasFailure()) break;
    }
}

}  // namespace
