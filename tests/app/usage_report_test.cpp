#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "QN_QelRepairDlg.h"
#include "QN_UsageReport.h"
#include "loopback_http_server.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_platform_sandbox.h"
#include "qn_test_hooks.h"

namespace {

using qn::test::LoopbackHttpServer;
namespace http_step = qn::test::http_step;

const char kPath[] = "/report/Qel/gamefix_report";
const std::string kIdentifier = "0123456789abcdef0123456789abcdef";

class ReportProbe : public QN_QelRepairDlg {
public:
    using QN_QelRepairDlg::_PostRepairResult;
};

// A platform root whose registry holds the machine identifier, and the report endpoint pointed
// at the loopback server for the test's length.
struct ReportFixture {
    qn::test::PlatformSandbox sandbox;
    LoopbackHttpServer server;
    QN_UsageReportEndpoint saved = QN_GetUsageReportEndpoint();
    ReportFixture() {
        sandbox.WriteHive("HKEY_CLASSES_ROOT",
                          "[HKEY_CLASSES_ROOT\\CLSID\\{4C2E8A17-93B5-4d61-B8F2-6A0D51E7C93B}\\Implemented Categories\\"
                          "{71D3B0C5-2A86-4c3e-9F47-E2B86A05D194}]\r\n\"idex\"=\"" +
                              kIdentifier + "\"\r\n");
        server.addContent(kPath, "ok");
        EXPECT_EQ(QN_SetUsageReportEndpoint(("127.0.0.1:" + std::to_string(server.port())).c_str()), 1);
    }
    ~ReportFixture() {
        server.stop();
        QN_SetUsageReportEndpoint((saved.strHost + ":" + std::to_string(saved.uPort)).c_str()) ||
            QN_SetUsageReportEndpoint("");
    }
    // Runs the builder with a bounded wait for its result.
    int Post(const char* cszVersionType, const char* cszVersionNumber, int nStatus, size_t uCorrupt, size_t uCantRepair,
             uint32_t uCorruptPak, size_t uCantRepairPak) {
        QN_CLIENT_FILE_NAME_LIST corrupt(uCorrupt, "f"), cant(uCantRepair, "f");
        QN_PAK_ID_LIST cantPak(uCantRepairPak, 1u);
        ReportProbe dlg;
        auto pending = std::async(std::launch::async, [&] {
            return dlg._PostRepairResult(cszVersionType, cszVersionNumber, nStatus, corrupt, cant, uCorruptPak, cantPak);
        });
        bool bEnded = pending.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        if (!bEnded) server.stop();
        EXPECT_TRUE(bEnded) << "the report held its caller beyond the time-outs";
        return pending.get();
    }
};

std::string Part(const std::string& strName, const std::string& strValue) {
    return "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\nContent-Disposition: form-data; name=\"" + strName + "\"\r\n\r\n" +
           strValue + "\r\n";
}

TEST(UsageReport, Fields) {
    struct Row {
        const char* cszName;
        const char* cszVersionNumber;
        int nStatus;
        size_t uCorrupt, uCantRepair;
        uint32_t uCorruptPak;
        size_t uCantRepairPak;
        std::vector<std::string> values;  // repair_status and the four counts
    } rows[] = {
        {"nothing broken", "1.2.3.4", 3, 0, 0, 0, 0, {"3", "0", "0", "0", "0"}},
        {"a repair that left files and package elements broken", "1.2.3.4", 4, 5, 2, 7, 3, {"4", "5", "2", "7", "3"}},
        {"no version number", "", 4, 1, 0, 0, 0, {"4", "1", "0", "0", "0"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        ReportFixture f;
        qn::test::LogCapture log;
        EXPECT_EQ(f.Post("zhcn_PakV3", r.cszVersionNumber, r.nStatus, r.uCorrupt, r.uCantRepair, r.uCorruptPak,
                         r.uCantRepairPak),
                  1);
        ASSERT_EQ(f.server.requestCount(), 1);
        const std::string strExpected = Part("uuid", kIdentifier) + Part("version_type", "zhcn_PakV3") +
                                        Part("version_number", r.cszVersionNumber) +
                                        Part("repair_status", r.values[0]) + Part("corrupt_normal_file", r.values[1]) +
                                        Part("can_not_repair_normal_file", r.values[2]) +
                                        Part("corrupt_pak_block", r.values[3]) +
                                        Part("can_not_repair_pak_block", r.values[4]) +
                                        "----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n";
        EXPECT_EQ(f.server.requests().at(0).body, strExpected);
        EXPECT_EQ(log.Messages(), (std::vector<std::string>{"Version Type: zhcn_PakV3"}));
    }
}

// A report that fails is only logged; the result stays 1 and the caller is held no longer than
// the time-outs.
TEST(UsageReport, FailedPosts) {
    struct Row {
        const char* cszName;
        qn::test::Step step;
        const char* cszCondition;
        int nLastError;
    } rows[] = {
        {"404", http_step::Status(404), "dwStatusCode == HTTP_STATUS_OK", 0},
        {"500", http_step::Status(500), "dwStatusCode == HTTP_STATUS_OK", 0},
        {"silent server", http_step::Silent(), "nRetCode", 12002},
    };
    qn::testing::SetInternetDefaultTimeouts(0, 500);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszName);
        ReportFixture f;
        f.server.script(kPath, LoopbackHttpServer::kAnyIndex, {r.step});
        qn::test::LogCapture log;
        EXPECT_EQ(f.Post("zhcn_v1", "1.0", 3, 0, 0, 0, 0), 1);
        EXPECT_EQ(qn::test::WithoutLineNumbers(log.Messages()),
                  (std::vector<std::string>{
                      "Version Type: zhcn_v1",
                      std::string("QNLOG_PROCESS_ERROR(") + r.cszCondition + ") at line N in QN_HttpSyncPost::Post",
                      "Failed to post info to 127.0.0.1/report/Qel/gamefix_report, GetLastError()=" +
                          std::to_string(r.nLastError) + ".",
                      "QNLOG_CHECK_ERROR(nRetCode && \"HttpSyncPost.Post()\") at line N in QN_QelRepairDlg::_PostRepairResult",
                  }));
    }
    qn::testing::SetInternetDefaultTimeouts(0, 0);
}

TEST(UsageReport, NothingPosted) {
    {
        SCOPED_TRACE("a field that cannot be added");
        ReportFixture f;
        qn::test::LogCapture log;
        EXPECT_EQ(f.Post(nullptr, "1.0", 3, 0, 0, 0, 0), 0);
        EXPECT_EQ(qn::test::WithoutLineNumbers(log.Messages()),
                  (std::vector<std::string>{
                      "Version Type: ",
                      "QNLOG_PROCESS_ERROR(cszValue) at line N in QN_HttpSyncPost::AddParam",
                      "QNLOG_PROCESS_ERROR(nRetCode && \"HttpSyncPost.AddParam()\") at line N in QN_QelRepairDlg::_PostRepairResult",
                  }));
        EXPECT_EQ(f.server.requestCount(), 0);
    }
    {
        SCOPED_TRACE("no report host");
        ReportFixture f;
        ASSERT_EQ(QN_SetUsageReportEndpoint(""), 1);
        qn::test::LogCapture log;
        EXPECT_EQ(f.Post("zhcn_v1", "1.0", 3, 0, 0, 0, 0), 1);
        EXPECT_EQ(log.Messages(), (std::vector<std::string>{"Version Type: zhcn_v1",
                                                            "The usage report is off: no report host is set."}));
        EXPECT_EQ(f.server.requestCount(), 0);
    }
}

TEST(UsageReport, Endpoints) {
    const QN_UsageReportEndpoint saved = QN_GetUsageReportEndpoint();
    struct Row {
        const char* cszText;
        int nResult;
        const char* cszHost;
        uint16_t uPort;
    } rows[] = {
        {"stats.example", 1, "stats.example", 80}, {"127.0.0.1:8081", 1, "127.0.0.1", 8081}, {"", 1, "", 80},
        {"h:0", 0, nullptr, 0},                    {"h:65536", 0, nullptr, 0},              {"h:", 0, nullptr, 0},
        {":80", 0, nullptr, 0},                    {"h/x", 0, nullptr, 0},                  {"h x", 0, nullptr, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cszText);
        ASSERT_EQ(QN_SetUsageReportEndpoint("before:1234"), 1);
        EXPECT_EQ(QN_SetUsageReportEndpoint(r.cszText), r.nResult);
        QN_UsageReportEndpoint now = QN_GetUsageReportEndpoint();
        EXPECT_EQ(now.strHost, r.nResult ? r.cszHost : "before");
        EXPECT_EQ(now.uPort, r.nResult ? r.uPort : 1234);
    }
    QN_SetUsageReportEndpoint((saved.strHost + ":" + std::to_string(saved.uPort)).c_str()) || QN_SetUsageReportEndpoint("");
}

}  // namespace
