#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "QN_HttpSyncPost.h"
#include "loopback_http_server.h"
#include "qn_test_env.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_test_hooks.h"

namespace {

using qn::test::LoopbackHttpServer;
namespace http_step = qn::test::http_step;

const char kPath[] = "/report/Qel/gamefix_report";

// The head the poster sends for a body of n bytes to the loopback port.
std::string ExpectedHead(uint16_t uPort, size_t uBodyLength) {
    return std::string("POST /report/Qel/gamefix_report HTTP/1.0\r\n"
                       "Accept: */*\r\n"
                       "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n"
                       "Host: 127.0.0.1:") +
           std::to_string(uPort) +
           "\r\n"
           "Content-Type: multipart/form-data; boundary=--MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
           "Content-Length: " +
           std::to_string(uBodyLength) + "\r\n\r\n";
}

// Posts the fields to the server; the wait for the result is bounded, and a poster still
// waiting after it is released by stopping the server.
int PostTo(LoopbackHttpServer& server, const std::vector<std::pair<const char*, const char*>>& fields,
           uint16_t uPort = 0) {
    QN_HttpSyncPost post;
    post.m_strHostName = "127.0.0.1";
    post.m_strURLPath = kPath;
    post.m_uPort = uPort ? uPort : server.port();
    for (const auto& f : fields) EXPECT_EQ(post.AddParam(f.first, f.second), 1);
    auto pending = std::async(std::launch::async, [&] { return post.Post(); });
    bool bEnded = pending.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!bEnded) server.stop();
    EXPECT_TRUE(bEnded) << "the post did not end within its time-outs";
    return pending.get();
}

TEST(HttpSyncPost, ReportBytes) {
    LoopbackHttpServer server;
    server.addContent(kPath, "ok");
    qn::test::LogCapture log;
    ASSERT_EQ(PostTo(server, {{"uuid", "0123456789abcdef0123456789abcdef"},
                              {"version_type", "zhcn_PakV3"},
                              {"version_number", "1.2.3.4"},
                              {"repair_status", "4"},
                              {"corrupt_normal_file", "5"},
                              {"can_not_repair_normal_file", "1"},
                              {"corrupt_pak_block", "7"},
                              {"can_not_repair_pak_block", "0"}}),
              1);
    const std::string strBody =
        "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
        "Content-Disposition: form-data; name=\"uuid\"\r\n"
        "\r\n"
        "0123456789abcdef0123456789abcdef\r\n"
        "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
        "Content-Disposition: form-data; name=\"version_type\"\r\n"
        "\r\n"
        "zhcn_PakV3\r\n"
        "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
        "Content-Disposition: form-data; name=\"version_number\"\r\n"
        "\r\n"
        "1.2.3.4\r\n"
        "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
        "Content-Disposition: form-data; name=\"repair_status\"\r\n"
        "\r\n"
        "4\r\n"
        "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
        "Content-Disposition: form-data; name=\"corrupt_normal_file\"\r\n"
        "\r\n"
        "5\r\n"
        "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
        "Content-Disposition: form-data; name=\"can_not_repair_normal_file\"\r\n"
        "\r\n"
        "1\r\n"
        "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
        "Content-Disposition: form-data; name=\"corrupt_pak_block\"\r\n"
        "\r\n"
        "7\r\n"
        "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
        "Content-Disposition: form-data; name=\"can_not_repair_pak_block\"\r\n"
        "\r\n"
        "0\r\n"
        "----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n";
    // 81 bytes per part besides its name and value, 38 for the closing delimiter.
    ASSERT_EQ(strBody.size(), 8 * 81 + (4 + 32) + (12 + 10) + (14 + 7) + (13 + 1) + (19 + 1) + (26 + 1) +
                                  (17 + 1) + (24 + 1) + 38);
    ASSERT_EQ(server.requestCount(), 1);
    qn::test::RequestRecord req = server.requests().at(0);
    EXPECT_EQ(req.raw, ExpectedHead(server.port(), strBody.size()) + strBody);
    EXPECT_TRUE(log.Messages().empty());
}

TEST(HttpSyncPost, FieldTexts) {
    struct Row {
        const char* cszName;
        std::vector<std::pair<const char*, const char*>> fields;
        std::string strParts;  // the body without its closing delimiter
    } rows[] = {
        {"no fields: the closing delimiter alone", {}, ""},
        {"an empty value gives an empty value line",
         {{"a", ""}},
         "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n\r\n"},
        {"order kept, duplicates allowed",
         {{"b", "2"}, {"a", "1"}, {"b", "3"}},
         "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n"
         "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
         "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n3\r\n"},
        {"a quote and line breaks in a name are escaped, a value is sent as it is",
         {{"x\"y\r\nz", "p\"q\r\n%"}},
         "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\nContent-Disposition: form-data; name=\"x%22y%0D%0Az\"\r\n\r\n"
         "p\"q\r\n%\r\n"},
        {"a value with a partial boundary",
         {{"v", "--MULTI-PARTS-FORM-DATA"}},
         "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\n"
         "--MULTI-PARTS-FORM-DATA\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        LoopbackHttpServer server;
        server.addContent(kPath, "ok");
        EXPECT_EQ(PostTo(server, r.fields), 1);
        ASSERT_EQ(server.requestCount(), 1);
        std::string strBody = r.strParts + "----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n";
        EXPECT_EQ(server.requests().at(0).raw, ExpectedHead(server.port(), strBody.size()) + strBody);
    }
}

TEST(HttpSyncPost, RefusedFields) {
    const std::string strWithBoundary = std::string("a\r\n----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\nb");
    struct Row {
        const char* cszName;
        const char* cszValue;
        const char* cszCondition;
    } rows[] = {
        {nullptr, "v", "cszName"},
        {"", "v", "cszName[0]"},
        {"n", nullptr, "cszValue"},
        {"n", strWithBoundary.c_str(), "!std::strstr(cszValue, MULTI_PARTS_FORM_DATA_BOUNDARY)"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszCondition);
        qn::test::LogCapture log;
        LoopbackHttpServer server;
        server.addContent(kPath, "ok");
        QN_HttpSyncPost post;
        post.m_strHostName = "127.0.0.1";
        post.m_strURLPath = kPath;
        post.m_uPort = server.port();
        EXPECT_EQ(post.AddParam(r.cszName, r.cszValue), 0);
        EXPECT_EQ(qn::test::WithoutLineNumbers(log.Messages()),
                  (std::vector<std::string>{std::string("QNLOG_PROCESS_ERROR(") + r.cszCondition +
                                            ") at line N in QN_HttpSyncPost::AddParam"}));
        // Nothing of the refused field is sent.
        EXPECT_EQ(post.Post(), 1);
        ASSERT_EQ(server.requestCount(), 1);
        EXPECT_EQ(server.requests().at(0).body, "----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n");
    }
}


// Every failure is logged with its condition and the line naming the host, the path and the
// last error; only 200 is a success.
TEST(HttpSyncPost, ServerAnswers) {
    struct Row {
        const char* cszName;
        std::vector<qn::test::Step> steps;
        bool bClosedPort;
        int nResult;
        const char* cszCondition;  // nullptr: no failure lines
        int nLastError;
    } rows[] = {
        {"200", {}, false, 1, nullptr, 0},
        {"404", {http_step::Status(404)}, false, 0, "dwStatusCode == HTTP_STATUS_OK", 0},
        {"500", {http_step::Status(500)}, false, 0, "dwStatusCode == HTTP_STATUS_OK", 0},
        {"302 with a Location", {http_step::Redirect(302, "/report/Qel/gamefix_report2")}, false, 0,
         "dwStatusCode == HTTP_STATUS_OK", 0},
        {"refused connection", {}, true, 0, "nRetCode", 12029},
        {"silent server", {http_step::Silent()}, false, 0, "nRetCode", 12002},
        {"garbage status line", {http_step::GarbageStatusLine()}, false, 0, "nRetCode", 12152},
    };
    qn::testing::SetInternetDefaultTimeouts(0, 500);
    for (Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        qn::test::LogCapture log;
        LoopbackHttpServer server;
        server.addContent(kPath, "ok");
        server.addContent("/report/Qel/gamefix_report2", "ok");
        server.script(kPath, LoopbackHttpServer::kAnyIndex, r.steps);
        EXPECT_EQ(PostTo(server, {{"uuid", ""}, {"version_type", "zhcn_v1"}}, r.bClosedPort ? qn::test::ClosedLoopbackPort() : 0),
                  r.nResult);
        std::vector<std::string> lines = qn::test::WithoutLineNumbers(log.Messages());
        if (!r.cszCondition) {
            EXPECT_TRUE(lines.empty());
        } else {
            EXPECT_EQ(lines, (std::vector<std::string>{
                                 std::string("QNLOG_PROCESS_ERROR(") + r.cszCondition + ") at line N in QN_HttpSyncPost::Post",
                                 "Failed to post info to 127.0.0.1/report/Qel/gamefix_report, GetLastError()=" +
                                     std::to_string(r.nLastError) + "."}));
        }
        // The redirect's target is never asked for.
        for (const auto& req : server.requests()) EXPECT_EQ(req.path, kPath);
    }
    qn::testing::SetInternetDefaultTimeouts(0, 0);
}

}  // namespace
