// Placing a file fetched whole from the server: the file in place stays as it was until a
// download whose checksum matches replaces it, by rename; nothing of the download is left
// beside the target, and a symbolic link at the target is replaced, never written through.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "FakeTransport.h"
#include "QN_CRC.h"
#include "QN_FilePlacement.h"
#include "QN_HttpTransfer.h"
#include "qn_string.h"
#include "qn_test_env.h"

using namespace qn::kit;

namespace {

const std::string kGood = "the verified server copy";
const std::string kOld = "the local file as it was";

uint32_t Crc(const std::string& s) { return QN_CRC32Update(0, s.data(), s.size()); }

class FilePlacement : public ::testing::Test {
public:
    void SetUp() override {
        m_fake = std::make_unique<FakeTransport>(m_root.path() + "/www", FakeTailMode::Strip);
        m_fake->Install();
        g_pfnKDownloadGetService.store(&FakeTransport::GetService);
        ASSERT_EQ(::mkdir((m_root / "temp").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((m_root / "client").c_str(), 0755), 0);
    }
    void TearDown() override {
        g_pfnKDownloadGetService.store(nullptr);
        m_fake.reset();
    }
    QN_FILE_PLACEMENT Job(const std::string& name) {
        QN_FILE_PLACEMENT job;
        job.strURL = "http://127.0.0.1:8080/files/" + name;
        job.strTempFolder = m_root / "temp/";
        job.strTempName = name;
        job.strTempFile = m_root / ("temp/" + name);
        job.strTargetFile = m_root / ("client/" + name);
        job.uCRC = Crc(kGood);
        return job;
    }
    void Serve(const std::string& name, const std::string& bytes) { qn::test::WriteFile(m_root / ("www/files/" + name), bytes); }

    qn::test::TempDir m_root;
    std::unique_ptr<FakeTransport> m_fake;
};

// Every way a download can fail leaves the local file as it was and nothing beside it.
TEST_F(FilePlacement, FailedDownloadsLeaveTheLocalFileAsItWas) {
    struct Case {
        const char* name;
        std::function<void(FilePlacement*, QN_FILE_PLACEMENT*)> arrange;
        QN_PLACEMENT_STEP step;
    };
    const Case cases[] = {
        {"not on the server (404)", [](FilePlacement*, QN_FILE_PLACEMENT*) {}, QN_PLACEMENT_DOWNLOAD},
        {"wrong bytes", [](FilePlacement* t, QN_FILE_PLACEMENT*) { t->Serve("sub/f.bin", "not the copy the record names"); },
         QN_PLACEMENT_CHECKSUM_DIFFERS},
        {"the download cannot be written (as on a full disk)",
         [](FilePlacement* t, QN_FILE_PLACEMENT*) {
             t->Serve("sub/f.bin", kGood);
             // The session writes its file beside the target name first; a folder there fails
             // every write of it.
             qn::test::WriteFile(t->m_root / "temp/sub/f.bin.tmp/x", "x");
         },
         QN_PLACEMENT_DOWNLOAD},
        {"stopped during the download",
         [](FilePlacement* t, QN_FILE_PLACEMENT* job) {
             t->Serve("sub/f.bin", kGood);
             FakeRule hold;
             hold.pathSuffix = "/sub/f.bin";
             hold.action = FakeRule::Delay;
             hold.delayMs = 60000;
             t->m_fake->AddRule(hold);
             FakeTransport* fake = t->m_fake.get();
             job->fnStop = [fake] { return fake->Begun() > 0; };
         },
         QN_PLACEMENT_DOWNLOAD},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qn::test::WriteFile(m_root / "client/sub/f.bin", kOld);
        QN_FILE_PLACEMENT job = Job("sub/f.bin");
        c.arrange(this, &job);
        EXPECT_EQ(QN_PlaceVerifiedDownload(job, nullptr), c.step);
        EXPECT_EQ(qn::test::ReadFile(m_root / "client/sub/f.bin"), kOld);
        EXPECT_EQ(qn::test::ListFiles(m_root / "client"), std::vector<std::string>{"sub/f.bin"});
        EXPECT_FALSE(qn::test::FileExists(m_root / "temp/sub/f.bin"));
        TearDown();
        std::filesystem::remove_all(m_root / "temp");
        std::filesystem::remove_all(m_root / "client");
        std::filesystem::remove_all(m_root / "www");
        SetUp();
    }
}

TEST_F(FilePlacement, VerifiedCopyReplacesTheFileByRename) {
    Serve("f.bin", kGood);
    Serve("new/deeper/g.bin", kGood);
    qn::test::WriteFile(m_root / "client/f.bin", kOld);
    ASSERT_EQ(::chmod((m_root / "client/f.bin").c_str(), 0640), 0);

    EXPECT_EQ(QN_PlaceVerifiedDownload(Job("f.bin"), nullptr), QN_PLACEMENT_DONE);
    EXPECT_EQ(qn::test::ReadFile(m_root / "client/f.bin"), kGood);
    struct stat st {};
    ASSERT_EQ(::stat((m_root / "client/f.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the replaced file's permission bits are kept";

    // A name below folders the client no longer has: they are made.
    EXPECT_EQ(QN_PlaceVerifiedDownload(Job("new/deeper/g.bin"), nullptr), QN_PLACEMENT_DONE);
    EXPECT_EQ(qn::test::ReadFile(m_root / "client/new/deeper/g.bin"), kGood);
    EXPECT_EQ(qn::test::ListFiles(m_root / "temp"), std::vector<std::string>{});
}

TEST_F(FilePlacement, LinkAtTheTargetIsReplacedNotWrittenThrough) {
    qn::test::TempDir outside;
    qn::test::WriteFile(outside / "victim", kOld);
    Serve("f.bin", kGood);
    ASSERT_EQ(::symlink((outside / "victim").c_str(), (m_root / "client/f.bin").c_str()), 0);
    EXPECT_EQ(QN_PlaceVerifiedDownload(Job("f.bin"), nullptr), QN_PLACEMENT_DONE);
    struct stat st {};
    ASSERT_EQ(::lstat((m_root / "client/f.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(qn::test::ReadFile(m_root / "client/f.bin"), kGood);
    EXPECT_EQ(qn::test::ReadFile(outside / "victim"), kOld);
}

}  // namespace
