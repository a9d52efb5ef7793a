#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "QN_MakeSureDir.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_test_env.h"

using qn::test::LogCapture;
using qn::test::WithoutLineNumbers;
using Lines = std::vector<std::string>;

namespace {

// Every folder below root, relative to it, sorted.
std::vector<std::string> Folders(const std::string& root) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (e.is_directory()) out.push_back(std::filesystem::relative(e.path(), root).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(MakeSureDirForFile, Table) {
    const std::string strFor = " at line N in QN_MakeSureDirForFile";
    const std::string strExisted = " at line N in _MakeSureDirExisted";
    struct Row {
        const char* cszWhat;
        std::string strRelative;  // below the capture's temporary folder; "" with bNull: null
        bool bNull;
        int nResult;
        std::vector<std::string> folders;  // below the temporary folder afterwards, but "Logs"
        Lines lines;                       // with TMP standing for the temporary folder
    } rows[] = {
        {"file in an existing folder", "have/file", false, 1, {"have"}, {}},
        {"trailing separator", "have/new\\", false, 1, {"have", "have/new"}, {}},
        {"nested missing folders", "a/b/c/file", false, 1, {"a", "a/b", "a/b/c", "have"}, {}},
        // '\' splits too: "a/b\c" is the folder "b\c" inside "a", reached through "a/b".
        {"mixed separators", "a/b\\c/d/file", false, 1,
         {"a", "a/b", "a/b\\c", "a/b\\c/d", "have"}, {}},
        {"bare name", "", false, 0, {"have"},
         {"QNLOG_PROCESS_ERROR(nRetCode && \"_GetParentDir()\")" + strFor,
          "Failed to make sure dir for file bare"}},
        {"a file in the way", "have/plain/x/file", false, 0, {"have"},
         {"QNLOG_PROCESS_ERROR(nRetCode == ERROR_ALREADY_EXISTS)" + strExisted,
          "Failed to make sure TMP/have/plain, GetLastError() = 80",
          "QNLOG_PROCESS_ERROR(nRetCode && \"_MakeSureDirExisted()\")" + strExisted,
          "Failed to make sure TMP/have/plain/x, GetLastError() = 3",
          "QNLOG_PROCESS_ERROR(nRetCode && \"_MakeSureDirExisted()\")" + strFor,
          "Failed to make sure dir for file TMP/have/plain/x/file"}},
        {"the parent itself is a file", "have/plain/file", false, 0, {"have"},
         {"QNLOG_PROCESS_ERROR(nRetCode == ERROR_ALREADY_EXISTS)" + strExisted,
          "Failed to make sure TMP/have/plain, GetLastError() = 80",
          "QNLOG_PROCESS_ERROR(nRetCode && \"_MakeSureDirExisted()\")" + strFor,
          "Failed to make sure dir for file TMP/have/plain/file"}},
        {"null", "", true, 0, {"have"},
         {"QNLOG_PROCESS_ERROR(cszFileFullName)" + strFor, "Failed to make sure dir for file (null)"}},
    };
    for (const Row& r : rows) {
        LogCapture Log;
        const std::string strTmp = Log.tempDir();
        std::filesystem::create_directory(strTmp + "/have");
        qn::test::WriteFile(strTmp + "/have/plain", "x");
        std::string strPath = r.strRelative.empty() ? "bare" : strTmp + "/" + r.strRelative;
        EXPECT_EQ(QN_MakeSureDirForFile(r.bNull ? nullptr : strPath.c_str()), r.nResult) << r.cszWhat;

        std::vector<std::string> folders;
        for (const std::string& f : Folders(strTmp)) {
            if (f.rfind("Logs", 0) != 0) folders.push_back(f);
        }
        EXPECT_EQ(folders, r.folders) << r.cszWhat;
        Lines expected;
        for (std::string s : r.lines) {
            size_t uAt = s.find("TMP");
            if (uAt != std::string::npos) s.replace(uAt, 3, strTmp);
            expected.push_back(s);
        }
        EXPECT_EQ(WithoutLineNumbers(Log.Messages()), expected) << r.cszWhat;
    }
    // A name directly below the root needs no folder; the empty name fails.
    EXPECT_EQ(QN_MakeSureDirForFile("/qn_no_such_file_at_root"), 1);
    EXPECT_EQ(QN_MakeSureDirForFile(""), 0);
}
