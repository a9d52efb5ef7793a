#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "KClientIdentity.h"
#include "qn_file_io.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"
#include "qn_uuid.h"

namespace {

class ClientIdentity : public ::testing::Test {
protected:
    void SetUp() override { qn::testing::SetAppDataFolder(m_dir.path().c_str()); }
    void TearDown() override { qn::testing::SetAppDataFolder(nullptr); }
    std::string path() const { return m_dir / KCLIENT_IDENTITY_FILE_NAME; }
    static std::string Load() {
        loadClientIdentity();
        char sz[37];
        KGetClientUuidText(sz);
        return sz;
    }
    qn::test::TempDir m_dir;
};

TEST_F(ClientIdentity, FreshFileHoldsCreationTimeAndUuid) {
    std::string sText = Load();
    std::string s = qn::test::ReadFile(path());
    ASSERT_EQ(s.size(), 24u);
    int nFd = QN_FileOpen(path().c_str(), QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, QN_FILE_OPEN_EXISTING);
    uint64_t ullCreation = 0;
    ASSERT_TRUE(QN_FileGetCreationTime(nFd, &ullCreation));
    QN_FileClose(nFd);
    uint64_t ullStored = 0;
    for (int i = 7; i >= 0; --i) ullStored = (ullStored << 8) | (uint8_t)s[i];
    EXPECT_EQ(ullStored, ullCreation);
    // The text follows the structure's fields: the first three groups are little-endian on disk.
    char szExpected[64];
    const uint8_t* b = (const uint8_t*)s.data() + 8;
    snprintf(szExpected, sizeof(szExpected), "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
             b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    EXPECT_EQ(sText, szExpected);
    EXPECT_EQ(sText[14], '4');
    EXPECT_EQ(Load(), sText);  // a second start keeps it
    // A longer file with a valid start is kept too.
    FILE* f = fopen(path().c_str(), "ab");
    fputs("tail", f);
    fclose(f);
    EXPECT_EQ(Load(), sText);
}

TEST_F(ClientIdentity, InvalidFilesGetANewUuid) {
    Load();
    const std::string sPath = path();
    // Changes made in place keep the file's creation time; the copy gets a new one.
    auto inPlace = [&](auto fn) {
        int nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ,
                              QN_FILE_OPEN_EXISTING);
        ASSERT_GE(nFd, 0);
        fn(nFd);
        QN_FileClose(nFd);
    };
    struct Row {
        const char* szName;
        std::function<void()> mutate;
    } rows[] = {
        {"23 bytes", [&] { inPlace([](int nFd) { QN_FileSetSize(nFd, 23); }); }},
        {"creation time altered",
         [&] {
             inPlace([](int nFd) {
                 uint8_t ab[8];
                 uint32_t uCount = 0;
                 QN_FileReadAt(nFd, 0, ab, 8, &uCount);
                 ab[0] ^= 1;
                 QN_FileWriteAt(nFd, 0, ab, 8, &uCount);
             });
         }},
        {"a copy",
         [&] {
             qn::test::WriteFile(sPath + ".copy", qn::test::ReadFile(sPath));
             QN_MoveFileReplace((sPath + ".copy").c_str(), sPath.c_str());
         }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szName);
        std::string sBefore = Load();
        r.mutate();
        std::string sAfter = Load();
        EXPECT_NE(sAfter, sBefore);
        EXPECT_EQ(qn::test::ReadFile(sPath).size(), 24u);
        EXPECT_EQ(Load(), sAfter);
    }
}

TEST_F(ClientIdentity, FailuresGiveTheStandInUuid) {
    Load();
    int nFd = QN_FileOpen(path().c_str(), QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_NONE,
                          QN_FILE_OPEN_EXISTING);
    ASSERT_GE(nFd, 0);
    EXPECT_EQ(Load(), "00000000-0000-0000-0000-000000000020");
    QN_FileClose(nFd);

    qn::test::WriteFile(m_dir / "notafolder", "x");
    qn::testing::SetAppDataFolder((m_dir / "notafolder").c_str());
    EXPECT_EQ(Load(), "00000000-0000-0000-0000-000000000003");
}

// Something other than a regular file at the name is neither followed nor written: the
// stand-in UUID carries access denied and what a link points to stays as it was.
TEST_F(ClientIdentity, OnlyARegularFileAtTheNameIsUsed) {
    const std::string sOther = m_dir / "other.dat";
    const std::string sContent = "precious bytes that are not an identity";
    struct Row {
        const char* szName;
        std::function<void(const std::string&)> make;
    } rows[] = {
        {"link to a file", [&](const std::string& p) { ASSERT_EQ(symlink(sOther.c_str(), p.c_str()), 0); }},
        {"link to a missing file",
         [&](const std::string& p) { ASSERT_EQ(symlink((m_dir / "missing.dat").c_str(), p.c_str()), 0); }},
        {"pipe", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
        {"folder", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szName);
        qn::test::WriteFile(sOther, sContent);
        r.make(path());
        EXPECT_EQ(Load(), "00000000-0000-0000-0000-000000000005");
        EXPECT_EQ(qn::test::ReadFile(sOther), sContent);
        EXPECT_FALSE(qn::test::FileExists(m_dir / "missing.dat"));
        std::remove(path().c_str());  // a file, a link or an empty folder
        // A regular file is made at the name once it is free.
        EXPECT_NE(Load(), "00000000-0000-0000-0000-000000000005");
        EXPECT_EQ(qn::test::ReadFile(path()).size(), 24u);
        std::remove(path().c_str());
    }
}

}  // namespace
