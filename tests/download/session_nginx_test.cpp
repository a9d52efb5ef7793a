// One download end to end from a real web server: nginx on 127.0.0.1, started by the test
// with its own configuration.
#include <gtest/gtest.h>

#include <string>

#include "NginxServer.h"
#include "session_test_util.h"

namespace {

using qn::test::FirstResourceMismatch;
using qn::test::ReadFile;
using qn::test::SessionOptions;
using qn::test::SessionOutcome;
using qn::test::SessionTest;

TEST_F(SessionTest, DownloadsFromNginx) {
    qn::test::TempDir web;
    const uint64_t kSize = 24 * 1024 * 1024 + 4321;
    qn::test::WriteFile(web / "big.bin", qn::test::ResourceBytes(0, kSize));
    qn::test::NginxServer nginx;
    std::string sErr;
    if (!nginx.Start(web.path(), qn::test::NginxServer::TailMode::Literal, &sErr)) {
        GTEST_SKIP() << "nginx could not be started here: " << sErr;
    }
    SessionOptions o;
    o.uConnections = 4;
    o.nDeadlineMs = 30000;
    SessionOutcome r = Run(nginx.url("/big.bin"), o);
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED) << r.uError << "/" << r.uErrorExt << nginx.ErrorLog();
    std::string s = ReadFile(target());
    ASSERT_EQ(s.size(), kSize);
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
    EXPECT_NE(r.info.lastModified.wYear, 0);  // nginx sends Last-Modified
}

}  // namespace
