// A running program at a path of the test's choosing: a copy of sleep (or of another program
// that takes a number of seconds to run) started from there, ended when the object goes.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "qn_platform_sandbox.h"
#include "qn_process.h"
#include "qn_test_env.h"

namespace qn::apptest {

class FakeProgram {
public:
    explicit FakeProgram(const std::string& strPath, const std::string& strSource = "/bin/sleep") {
        qn::test::MakeDirs(strPath.substr(0, strPath.find_last_of('/')));
        qn::test::WriteFile(strPath, qn::test::ReadFile(strSource));
        ::chmod(strPath.c_str(), 0755);
        std::string strLine = "\"" + strPath + "\" 60";
        EXPECT_EQ(QN_CreateProcessA(strPath.c_str(), strLine.c_str(), nullptr, &m_Info), 1);
    }
    ~FakeProgram() {
        if (!m_Info.hProcess) return;
        QN_TerminateProcess(m_Info.hProcess, 1);
        QN_WaitForSingleObject(m_Info.hProcess, 120000);
        QN_CloseProcessHandle(m_Info.hProcess);
    }
    FakeProgram(const FakeProgram&) = delete;
    FakeProgram& operator=(const FakeProgram&) = delete;

private:
    QN_PROCESS_INFORMATION m_Info{};
};

}  // namespace qn::apptest
