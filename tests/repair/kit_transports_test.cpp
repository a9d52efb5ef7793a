// The three transports the engine's scenario tests run over log the same requests for the same
// reads: the check reads of an undamaged F1 are exactly the ones the scenario table expects.
#include <gtest/gtest.h>

#include <chrono>

#include "QN_HttpTransfer.h"
#include "ServedTree.h"
#include "qn_test_env.h"

using namespace qn::kit;

namespace {

class KitTransports : public ::testing::TestWithParam<TransportKind> {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(BuildFixture(FixtureId::F1, m_tmp.path(), SourceMode::UpdateFiles, &m_fx, &err)) << err;
        if (!m_served.Start(GetParam(), m_fx.docroot, &err)) {
            if (GetParam() == TransportKind::Nginx) GTEST_SKIP() << "nginx cannot start: " << err;
            FAIL() << err;
        }
    }
    void TearDown() override { m_served.Stop(); }

    // Fetches one range as the engine does, the URL built from the edition prefix.
    bool Fetch(const std::string& relUrl, uint64_t offset, uint32_t size) {
        QN_HttpBlockDownloader d;
        if (!d.Init((m_served.UrlPrefix() + relUrl).c_str())) return false;
        Bytes buf(size, '\0');
        d.AddBlock(offset, size, buf.data());
        int ok = d.Download();
        d.ReleaseService();
        return ok == 1;
    }

    qn::test::TempDir m_tmp;
    BuiltFixture m_fx;
    ServedTree m_served;
};

}  // namespace

TEST_P(KitTransports, CheckReadsOfAnUndamagedClientAreTheExpectedOnes) {
    const GeneratedInfo& g = m_fx.info;
    const std::string info = "qel_repair.info", rep = "/PakV3Repair//Repair.REP";  // prefix + "/PakV3Repair/" + "/Repair.REP"
    ASSERT_TRUE(Fetch(info, g.infoHeader.offset, (uint32_t)g.infoHeader.size));
    ASSERT_TRUE(Fetch(info, g.fileCheck.offset, (uint32_t)g.fileCheck.size));
    for (const TableSpan& t : {g.repHeader, g.dirFileTable, g.blockTable, g.regionTable})
        ASSERT_TRUE(Fetch(rep, t.offset, (uint32_t)t.size));
    const std::vector<ExpectedRequest> want = CheckRequestsF1();
    ASSERT_TRUE(m_served.WaitForRequests(want.size(), 2000));
    std::vector<ServedRequest> got = m_served.Requests();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].path, want[i].pathSuffix) << i;
        EXPECT_EQ(got[i].range, want[i].range) << i;
        EXPECT_EQ(got[i].tail, want[i].tail) << i;
        EXPECT_EQ(got[i].status, 206) << i;
    }
    EXPECT_EQ(got[2].target.find("/qelrepair/zhcn_v3//PakV3Repair//Repair.REP/"), 0u) << got[2].target;
    m_served.ClearRequests();
    EXPECT_TRUE(m_served.Requests().empty());
}

TEST_P(KitTransports, DelayRulesHoldTheMatchingAnswer) {
    // The delay is the behaviour here: an answer that does not match comes well before it.
    constexpr int kDelayMs = 3000;
    ServerDelayRule rule{"/PakV3Repair/Repair.REP", "bytes=588-747", kDelayMs};
    if (!m_served.AddDelay(rule)) {
        EXPECT_EQ(GetParam(), TransportKind::Nginx);
        return;
    }
    using Clock = std::chrono::steady_clock;
    Clock::time_point t0 = Clock::now();
    ASSERT_TRUE(Fetch("/PakV3Repair//Repair.REP", 324, 264));
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(kDelayMs));
    t0 = Clock::now();
    ASSERT_TRUE(Fetch("/PakV3Repair//Repair.REP", 588, 160));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(kDelayMs));
}

INSTANTIATE_TEST_SUITE_P(All, KitTransports,
                         ::testing::Values(TransportKind::Fake, TransportKind::Loopback, TransportKind::Nginx),
                         [](const ::testing::TestParamInfo<TransportKind>& i) { return TransportName(i.param); });
