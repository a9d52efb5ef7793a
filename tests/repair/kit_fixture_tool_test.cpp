// The hand-run fixture tool's command line: an option it does not know is answered with the
// usage, and nothing is written.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "qn_test_env.h"

namespace {

struct ToolRun {
    int nExit = -1;
    std::string strErr;
};

// Runs the tool with its working folder in cwd; stdout and stderr are kept outside it.
ToolRun RunTool(const std::string& cwd, const std::string& strOutDir, const std::string& strArgs) {
    const std::string strErrFile = strOutDir + "/stderr.txt";
    const std::string strCmd = "cd '" + cwd + "' && exec '" QN_MAKE_REPAIR_FIXTURE "' " + strArgs + " >'" + strOutDir +
                               "/stdout.txt' 2>'" + strErrFile + "'";
    ToolRun run;
    const int nStatus = std::system(strCmd.c_str());
    run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    run.strErr = qn::test::ReadFile(strErrFile);
    return run;
}

bool IsEmptyFolder(const std::string& path) {
    return std::filesystem::is_directory(path) && std::filesystem::directory_iterator(path) == std::filesystem::directory_iterator();
}

TEST(KitFixtureTool, OptionsItDoesNotKnowGetTheUsageAndWriteNothing) {
    const std::vector<std::string> kArgs = {
        "--help",
        "-h",
        "-",
        "''",
        "--from-client --help www",
        "--from-client client -o",
        "out --scenario --help",
        "out --verbose",
    };
    for (const std::string& strArgs : kArgs) {
        SCOPED_TRACE(strArgs);
        qn::test::TempDir cwd, out;
        ToolRun run = RunTool(cwd.path(), out.path(), strArgs);
        EXPECT_EQ(run.nExit, 2);
        EXPECT_NE(run.strErr.find("usage: make_repair_fixture"), std::string::npos) << run.strErr;
        EXPECT_TRUE(IsEmptyFolder(cwd.path())) << "the tool wrote into its working folder";
    }
}

// An unknown scenario is refused before the fixture is written; a folder whose name starts
// with "-" is still reachable as "./-name".
TEST(KitFixtureTool, AnUnknownScenarioWritesNothingAndADashFolderIsReachableByPath) {
    qn::test::TempDir cwd, out;
    ToolRun bad = RunTool(cwd.path(), out.path(), "fx --scenario NO-SUCH-ROW");
    EXPECT_EQ(bad.nExit, 1);
    EXPECT_NE(bad.strErr.find("no scenario NO-SUCH-ROW"), std::string::npos) << bad.strErr;
    EXPECT_TRUE(IsEmptyFolder(cwd.path()));

    ToolRun good = RunTool(cwd.path(), out.path(), "./-fx F1");
    EXPECT_EQ(good.nExit, 0) << good.strErr;
    EXPECT_TRUE(qn::test::FileExists(cwd / "-fx/fixture-info.txt"));
}

}  // namespace
