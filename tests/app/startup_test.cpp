#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_process.h"
#include "qn_test_env.h"

namespace {

// A copy of the start-up helper in a folder of its own.
class Copy {
public:
    explicit Copy(const std::string& strFolder) : m_strFolder(strFolder) {
        qn::test::MakeDirs(strFolder);
        m_strExe = strFolder + "/QelRepair.exe";
        qn::test::WriteFile(m_strExe, qn::test::ReadFile(QN_STARTUP_HELPER));
        ::chmod(m_strExe.c_str(), 0755);
    }
    QN_HPROCESS Start(const char* cszCwd = nullptr) {
        QN_PROCESS_INFORMATION pi{};
        std::string strLine = "\"" + m_strExe + "\"";
        EXPECT_EQ(QN_CreateProcessA(m_strExe.c_str(), strLine.c_str(), cszCwd, &pi), 1);
        return pi.hProcess;
    }
    // Waits until the copy's dialog stand-in runs.
    bool WaitRunning(QN_HPROCESS h) {
        for (int i = 0; i < 3000; ++i) {
            if (qn::test::FileExists(m_strFolder + "/running")) return true;
            if (QN_WaitForSingleObject(h, 20) == QN_WAIT_OBJECT_0) return false;
        }
        return false;
    }
    void Release() { qn::test::WriteFile(m_strFolder + "/release", "go"); }
    static uint32_t End(QN_HPROCESS h) {
        uint32_t uCode = 999;
        EXPECT_EQ(QN_WaitForSingleObject(h, 120000), QN_WAIT_OBJECT_0);
        QN_GetExitCodeProcess(h, &uCode);
        QN_CloseProcessHandle(h);
        return uCode;
    }
    // Every log line the copies wrote beside the program.
    std::vector<std::string> LogMessages() const {
        std::vector<std::string> messages;
        for (const std::string& f : qn::test::ListFiles(m_strFolder + "/Logs")) {
            for (const std::string& line : qn::test::SplitLines(qn::test::ReadFile(m_strFolder + "/Logs/" + f))) {
                size_t u = line.find(">: ");
                std::string s = u == std::string::npos ? line : line.substr(u + 3);
                while (!s.empty() && s.back() == '\n') s.pop_back();
                messages.push_back(s);
            }
        }
        return qn::test::WithoutLineNumbers(messages);
    }
    const std::string& folder() const { return m_strFolder; }

private:
    std::string m_strFolder;
    std::string m_strExe;
};

bool Contains(const std::vector<std::string>& lines, const std::string& s) {
    for (const std::string& l : lines)
        if (l == s) return true;
    return false;
}

TEST(StartUp, OneCopyPerProgramFile) {
    qn::test::TempDir dir;
    Copy first(dir / "a");
    QN_HPROCESS hFirst = first.Start();
    ASSERT_TRUE(first.WaitRunning(hFirst));

    // The same file again: it ends at once, without a dialog, and says why in the log.
    ::unlink((first.folder() + "/running").c_str());
    QN_HPROCESS hSecond = first.Start();
    EXPECT_EQ(Copy::End(hSecond), 1u);
    EXPECT_FALSE(qn::test::FileExists(first.folder() + "/running"));
    EXPECT_TRUE(Contains(first.LogMessages(), "QNLOG_PROCESS_ERROR(lCount <= 1) at line N in QN_QelRepairApp::InitInstance"));

    // A copy in another folder runs beside it.
    Copy other(dir / "b");
    QN_HPROCESS hOther = other.Start();
    EXPECT_TRUE(other.WaitRunning(hOther));
    other.Release();
    EXPECT_EQ(Copy::End(hOther), 0u);

    // A holder that is killed leaves nothing locked.
    QN_TerminateProcess(hFirst, 1);
    EXPECT_EQ(Copy::End(hFirst), 137u);
    ::unlink((first.folder() + "/running").c_str());
    QN_HPROCESS hAgain = first.Start();
    EXPECT_TRUE(first.WaitRunning(hAgain));

    // The self-update's swap: the running file moves away and a new one takes its path; the
    // new file is a program of its own and starts while the old copy still runs.
    ASSERT_EQ(::rename((first.folder() + "/QelRepair.exe").c_str(), (first.folder() + "/QelRepair.exe.bak").c_str()), 0);
    Copy swapped(first.folder());
    ::unlink((first.folder() + "/running").c_str());
    QN_HPROCESS hSwapped = swapped.Start();
    EXPECT_TRUE(swapped.WaitRunning(hSwapped));
    QN_TerminateProcess(hSwapped, 1);
    Copy::End(hSwapped);

    first.Release();
    EXPECT_EQ(Copy::End(hAgain), 0u);
}

// Started from another folder, the program works in its own: the log lies beside it and names
// that folder.
TEST(StartUp, WorksInItsOwnFolder) {
    qn::test::TempDir dir;
    qn::test::TempDir elsewhere;
    Copy tool(dir / "tool");
    tool.Release();
    QN_HPROCESS h = tool.Start(elsewhere.path().c_str());
    EXPECT_EQ(Copy::End(h), 0u);
    std::vector<std::string> lines = tool.LogMessages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("The program is built at ", 0), 0u);
    EXPECT_EQ(lines[1], "The work path is:" + tool.folder() + "/");
    EXPECT_TRUE(qn::test::ListFiles(elsewhere.path()).empty());
    std::vector<std::string> files = qn::test::ListFiles(tool.folder() + "/Logs");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("QelRepair/", 0), 0u);
}

}  // namespace
