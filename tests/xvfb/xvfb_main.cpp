// The main of the screenshot tests: starts an Xvfb of its own on a free display, points
// DISPLAY at it, runs the tests on this thread (the UI thread) and stops the server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "qn_string.h"
#include "xvfb_display.h"

extern char** environ;

namespace {
pid_t g_XvfbPid = -1;
std::string g_strXvfbError;
}  // namespace

const std::string& XvfbStartError() { return g_strXvfbError; }

pid_t StartXvfbServer(bool bNoReset, std::string* pDisplay, std::string* pError) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *pError = "no pipe";
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    const char* argv[] = {"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                          bNoReset ? "-noreset" : nullptr, nullptr};
    pid_t pid = -1;
    int nErr = ::posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (nErr != 0) {
        ::close(fds[0]);
        *pError = std::string("Xvfb could not be started: ") + std::strerror(nErr);
        return -1;
    }
    // The server writes its display number once it accepts clients.
    std::string strDisplay;
    struct pollfd pfd = {fds[0], POLLIN, 0};
    while (strDisplay.find('\n') == std::string::npos && ::poll(&pfd, 1, 30000) > 0) {
        char buf[32];
        ssize_t n = ::read(fds[0], buf, sizeof(buf));
        if (n <= 0) break;
        strDisplay.append(buf, (size_t)n);
    }
    ::close(fds[0]);
    if (strDisplay.find('\n') == std::string::npos) {
        StopXvfbServer(pid);
        *pError = "Xvfb did not report its display";
        return -1;
    }
    strDisplay.resize(strDisplay.find('\n'));
    *pDisplay = ":" + strDisplay;
    return pid;
}

void StopXvfbServer(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int nStatus;
    ::waitpid(pid, &nStatus, 0);
}

static bool StartXvfb() {
    std::string strDisplay;
    g_XvfbPid = StartXvfbServer(true, &strDisplay, &g_strXvfbError);
    if (g_XvfbPid <= 0) return false;
    ::setenv("DISPLAY", strDisplay.c_str(), 1);
    return true;
}

static void StopXvfb() {
    StopXvfbServer(g_XvfbPid);
    g_XvfbPid = -1;
}

int main(int argc, char** argv) {
    QN_SetupLocale();
    ::testing::InitGoogleTest(&argc, argv);
    bool bListing = ::testing::GTEST_FLAG(list_tests);
    if (!bListing) StartXvfb();
    // What the windows keep (FLTK's preferences among it) goes below a platform root of this
    // run's own, never into the machine's folders or the user's home.
    char szRoot[] = "/tmp/qn-xvfb-root-XXXXXX";
    const bool bRoot = !bListing && ::mkdtemp(szRoot) != nullptr;
    if (bRoot) ::setenv("QN_PLATFORM_ROOT", szRoot, 1);
    int nResult = RUN_ALL_TESTS();
    StopXvfb();
    if (bRoot) std::filesystem::remove_all(szRoot);
    return nResult;
}
