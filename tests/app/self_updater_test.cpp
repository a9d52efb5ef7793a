// The self-updater over a download that copies from a folder standing for the repair server:
// the version decision, the index's checks, the replacement of the running program, the MD5.
#include <gtest/gtest.h>

#include "md5_test_util.h"
#include <sys/stat.h>

#include <string>
#include <vector>

#include "QN_MD5.h"
#include "QN_SelfUpdater.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_string.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"
#include "qn_version_info.h"

namespace {

using qn::apptest::Md5Of;

uint32_t ModeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (uint32_t)(st.st_mode & 07777) : 0;
}

// The running tool is a copy of the program (its own version) in a folder of the test; the
// server is a folder; the download copies from it and records what it was asked for.
class SelfUpdater : public ::testing::Test {
protected:
    void SetUp() override {
        qn::test::MakeDirs(dir / "tool");
        qn::test::MakeDirs(dir / "server");
        strExe = dir / "tool/QelRepair.exe";
        strOldBytes = qn::test::ReadFile(QN_PROGRAM);
        qn::test::WriteFile(strExe, strOldBytes);
        ASSERT_EQ(::chmod(strExe.c_str(), 0755), 0);
        qn::testing::SetModuleFileName(strExe.c_str());
        strTemp = dir / "tool/QelRepairTemp/";
        updater.m_fnDownload = [this](const char* cszURL, const wchar_t* cwszDir, const wchar_t* cwszName) {
            urls.push_back(cszURL);
            std::string strURL = cszURL;
            const std::string strPrefix = "http://repair.test/";
            if (strURL.compare(0, strPrefix.size(), strPrefix) != 0) return 0;
            std::string strSource = dir / ("server/" + strURL.substr(strPrefix.size()));
            if (!qn::test::FileExists(strSource)) return 0;
            qn::test::WriteFile(QN_WideToUtf8(cwszDir) + QN_WideToUtf8(cwszName), qn::test::ReadFile(strSource));
            return 1;
        };
        ASSERT_EQ(updater.Init("http://repair.test/", strTemp.c_str()), 1);
    }
    void TearDown() override { qn::testing::SetModuleFileName(nullptr); }

    // Puts a new tool on the server and an index that names it.
    void Publish(const std::string& strVersion, const std::string& strName, const std::string& strBytes,
                 const std::string& strMD5) {
        if (!strName.empty() && strName.find_first_of("/\\:") == std::string::npos)
            qn::test::WriteFile(dir / ("server/" + strName), strBytes);
        qn::test::WriteFile(dir / "server/qel_index.info", "[SelfUpdate]\r\nLastestVersionNumber=" + strVersion +
                                                               "\r\nFileName=" + strName + "\r\nFileMD5=" + strMD5 + "\r\n");
    }
    void PublishProgram(const std::string& strVersion, const char* cszProgram) {
        strNewBytes = qn::test::ReadFile(cszProgram);
        Publish(strVersion, "QelRepair_new.exe", strNewBytes, Md5Of(strNewBytes));
    }

    qn::test::TempDir dir;
    qn::test::LogCapture log;
    std::string strExe, strTemp, strOldBytes, strNewBytes;
    std::vector<std::string> urls;
    QN_SelfUpdater updater;
};

TEST_F(SelfUpdater, TheProgramCarriesTheBuildsVersion) {
    std::string strVersion;
    ASSERT_EQ(QN_GetApplicationFileVersionNumber(QN_PROGRAM, &strVersion), 1);
    EXPECT_EQ(strVersion, QN_PROGRAM_VERSION_TEXT);
    ASSERT_EQ(QN_GetApplicationFileVersionNumber(QN_VERSION_PROGRAM_NEWER, &strVersion), 1);
    EXPECT_EQ(strVersion, "1.0.4.0");
    // A file without a record, and one that is no program at all.
    qn::test::WriteFile(dir / "text.txt", "just text\n");
    EXPECT_EQ(QN_GetApplicationFileVersionNumber((dir / "text.txt").c_str(), &strVersion), 0);
    EXPECT_EQ(QN_GetApplicationFileVersionNumber("/bin/true", &strVersion), 0);
}

TEST_F(SelfUpdater, DecidesByTheFourPartsOfTheVersions) {
    const std::string kOwn = QN_PROGRAM_VERSION_TEXT;  // 1.0.3.10
    ASSERT_EQ(kOwn, "1.0.3.10");
    struct Case {
        const char* cszServer;
        int nResult;
        int nFlag;
    } cases[] = {{"1.0.4.0", 1, 1}, {"1.0.3.11", 1, 1}, {"1.0.3.9", 1, 0}, {"1.0.3.10", 1, 0}, {"0.9.9.9", 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cszServer);
        Publish(c.cszServer, "QelRepair_new.exe", "x", Md5Of("x"));
        int nFlag = -1;
        EXPECT_EQ(updater.CheckNeedUpdate(&nFlag), c.nResult);
        EXPECT_EQ(nFlag, c.nFlag);
        EXPECT_FALSE(qn::test::FileExists(strTemp + "qel_index.info"));
    }
    // The check downloads only the index, never the tool.
    for (const std::string& url : urls) EXPECT_EQ(url, "http://repair.test/qel_index.info");
}

TEST_F(SelfUpdater, BadIndexesFailTheCheckAndTheIndexIsDeleted) {
    struct Case {
        const char* cszName;
        std::string strIndex;  // "" for no index on the server
    } cases[] = {
        {"no index", ""},
        {"no FileMD5", "[SelfUpdate]\nLastestVersionNumber=1.0.4.0\nFileName=new.exe\n"},
        {"empty FileMD5", "[SelfUpdate]\nLastestVersionNumber=1.0.4.0\nFileName=new.exe\nFileMD5=\n"},
        {"climbing name", "[SelfUpdate]\nLastestVersionNumber=1.0.4.0\nFileName=../x\nFileMD5=abc\n"},
        {"name with a folder", "[SelfUpdate]\nLastestVersionNumber=1.0.4.0\nFileName=sub/x.exe\nFileMD5=abc\n"},
        {"name with a backslash", "[SelfUpdate]\nLastestVersionNumber=1.0.4.0\nFileName=..\\..\\x\nFileMD5=abc\n"},
        {"absolute name", "[SelfUpdate]\nLastestVersionNumber=1.0.4.0\nFileName=/etc/x\nFileMD5=abc\n"},
        {"drive name", "[SelfUpdate]\nLastestVersionNumber=1.0.4.0\nFileName=C:x.exe\nFileMD5=abc\n"},
        {"dot dot", "[SelfUpdate]\nLastestVersionNumber=1.0.4.0\nFileName=..\nFileMD5=abc\n"},
        {"overlong value", "[SelfUpdate]\nLastestVersionNumber=1.0.4.0\nFileName=" + std::string(300, 'a') + "\nFileMD5=abc\n"},
        {"version of three parts", "[SelfUpdate]\nLastestVersionNumber=1.2.3\nFileName=new.exe\nFileMD5=abc\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cszName);
        if (c.strIndex.empty())
            ::unlink((dir / "server/qel_index.info").c_str());
        else
            qn::test::WriteFile(dir / "server/qel_index.info", c.strIndex);
        int nFlag = -1;
        EXPECT_EQ(updater.CheckNeedUpdate(&nFlag), 0);
        EXPECT_EQ(nFlag, -1);
        EXPECT_FALSE(qn::test::FileExists(strTemp + "qel_index.info"));
    }
}

TEST_F(SelfUpdater, RunningFileWithoutAVersionFailsTheCheck) {
    qn::test::WriteFile(strExe, "#!/bin/sh\n");
    PublishProgram("1.0.4.0", QN_VERSION_PROGRAM_NEWER);
    int nFlag = -1;
    EXPECT_EQ(updater.CheckNeedUpdate(&nFlag), 0);
    bool bLine = false;
    for (const std::string& line : log.Messages())
        if (line.find("Failed to get version number for file `" + strExe + "`") != std::string::npos) bLine = true;
    EXPECT_TRUE(bLine);
}

TEST_F(SelfUpdater, UpdateReplacesTheRunningProgramKeepingItsModeAndABackup) {
    PublishProgram("1.0.4.0", QN_VERSION_PROGRAM_NEWER);
    int nFlag = 0;
    ASSERT_EQ(updater.CheckNeedUpdate(&nFlag), 1);
    ASSERT_EQ(nFlag, 1);
    ASSERT_EQ(updater.Update(), 1);
    EXPECT_EQ(qn::test::ReadFile(strExe), strNewBytes);
    EXPECT_EQ(ModeOf(strExe), 0755u);
    EXPECT_EQ(qn::test::ReadFile(strTemp + "QelRepair.exe.bak"), strOldBytes);
    EXPECT_FALSE(qn::test::FileExists(strTemp + "QelRepair_new.exe"));
    EXPECT_EQ(urls.back(), "http://repair.test/QelRepair_new.exe");
}

TEST_F(SelfUpdater, UpdateRefusalsLeaveTheRunningProgramAlone) {
    struct Case {
        const char* cszName;
        const char* cszProgram;  // the file the server offers
        std::string strMD5;      // "" for its real MD5
        bool bUpperMD5;
        int nResult;
    } cases[] = {
        {"a wrong MD5", QN_VERSION_PROGRAM_NEWER, "0123456789abcdef0123456789abcdef", false, 0},
        {"the MD5 in upper case", QN_VERSION_PROGRAM_NEWER, "", true, 1},
        // The index says newer, the file itself is older: taking it would update again at the
        // next start, without end.
        {"a file older than the index says", QN_VERSION_PROGRAM_OLDER, "", false, 0},
        {"a file of the running version", QN_PROGRAM, "", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cszName);
        qn::test::WriteFile(strExe, strOldBytes);
        ::chmod(strExe.c_str(), 0755);
        strNewBytes = qn::test::ReadFile(c.cszProgram);
        std::string strMD5 = c.strMD5.empty() ? Md5Of(strNewBytes) : c.strMD5;
        if (c.bUpperMD5)
            for (char& ch : strMD5) ch = (char)std::toupper((unsigned char)ch);
        Publish("1.0.4.0", "QelRepair_new.exe", strNewBytes, strMD5);
        int nFlag = 0;
        ASSERT_EQ(updater.CheckNeedUpdate(&nFlag), 1);
        EXPECT_EQ(updater.Update(), c.nResult);
        EXPECT_EQ(qn::test::ReadFile(strExe), c.nResult ? strNewBytes : strOldBytes);
        EXPECT_EQ(ModeOf(strExe), 0755u);
    }
}

TEST_F(SelfUpdater, FailedFirstMoveLeavesTheProgramInPlace) {
    PublishProgram("1.0.4.0", QN_VERSION_PROGRAM_NEWER);
    // A folder with a file in it where the backup goes: the running program cannot move there.
    qn::test::WriteFile(strTemp + "QelRepair.exe.bak/x", "x");
    int nFlag = 0;
    ASSERT_EQ(updater.CheckNeedUpdate(&nFlag), 1);
    EXPECT_EQ(updater.Update(), 0);
    EXPECT_EQ(qn::test::ReadFile(strExe), strOldBytes);
    bool bLine = false;
    for (const std::string& line : log.Messages())
        if (line.find("Failed to move file `" + strExe + "` to `" + strTemp + "QelRepair.exe.bak`, Error code : ") !=
            std::string::npos)
            bLine = true;
    EXPECT_TRUE(bLine);
}

TEST(MakeFileMD5, HashesInChunksAndEmptiesTheBufferOnFailure) {
    qn::test::TempDir dir;
    for (size_t uSize : {0, 1, 2047, 2048, 2049, 10000}) {
        std::string bytes;
        for (size_t i = 0; i < uSize; ++i) bytes.push_back((char)(i * 2654435761u >> 24));
        qn::test::WriteFile(dir / "f", bytes);
        char sz[33];
        ASSERT_EQ(MakeFileMD5(sz, sizeof(sz), (dir / "f").c_str()), 1) << uSize;
        EXPECT_EQ(std::string(sz), Md5Of(bytes)) << uSize;
        if (uSize == 0) {
            EXPECT_EQ(std::string(sz), "d41d8cd98f00b204e9800998ecf8427e");
        }
    }
    char sz[33] = "stale";
    EXPECT_EQ(MakeFileMD5(sz, sizeof(sz), (dir / "missing").c_str()), 0);
    EXPECT_EQ(std::string(sz), "");
    EXPECT_EQ(MakeFileMD5(nullptr, 33, (dir / "f").c_str()), 0);
    char szSmall[16] = "stale";
    EXPECT_EQ(MakeFileMD5(szSmall, sizeof(szSmall), (dir / "f").c_str()), 0);
    EXPECT_EQ(std::string(szSmall), "");
}

}  // namespace
