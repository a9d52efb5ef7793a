// Helpers of the download-session tests: a fixture that starts and stops the library around
// each test (with the identity file in a temporary folder and reports off), and a runner that
// creates, starts and polls a session with a deadline.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "KDownload.h"
#include "download_test_hooks.h"
#include "loopback_http_server.h"
#include "qn_file_io.h"
#include "qn_string.h"
#include "qn_test_env.h"
#include "qn_test_hooks.h"

namespace qn::test {

struct SessionOutcome {
    HRESULT hrCreate = E_FAIL;
    uint32_t uStatus = 0, uError = 0, uErrorExt = 0;
    DownloadInfo info{};
    bool bTimedOut = false;
    int64_t llElapsedMs = 0;
};

struct SessionOptions {
    const wchar_t* wszFileName = L"f.bin";
    const wchar_t* wszChecksum = nullptr;
    uint32_t uConnections = 0;  // 0: default
    int nNoResume = -1;         // -1: default
    int nUseQueryServerIP = -1;
    uint32_t uSpeedLimit = 0;  // 0: default
    uint32_t uMaxChecksumErrors = 0;
    int nDeadlineMs = 20000;
    // Called on every poll with the session; return true to abort it.
    std::function<bool(IKDownloadSession*)> onPoll;
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        qn::testing::SetAppDataFolder(m_appData.path().c_str());
        KDownloadSetReportEndpoint("");
        ASSERT_EQ(KDownloadInit(), S_OK);
        ASSERT_EQ(KDownloadGetService(IID_IKDownloadService, (void**)&m_pService), S_OK);
    }
    void TearDown() override {
        if (m_pService) m_pService->Release();
        KDownloadUninit();
        KDownloadSetReportEndpoint("");
        qn::testing::SetAppDataFolder(nullptr);
        qn::testing::SetPieceRequestTimeoutSeconds(120);
    }

    SessionOutcome Run(const std::string& sUrl, const SessionOptions& o = SessionOptions()) {
        SessionOutcome out;
        IKDownloadSession* pSession = nullptr;
        std::wstring wsDir = QN_Utf8ToWide(m_dir.path());
        out.hrCreate = m_pService->createSession(sUrl.c_str(), o.wszChecksum, wsDir.c_str(), o.wszFileName, &pSession);
        if (FAILED(out.hrCreate)) return out;
        if (o.uConnections) pSession->setOption(KDS_OPT_CONNECTIONS, &o.uConnections, 4);
        if (o.nNoResume >= 0) {
            uint8_t b = (uint8_t)o.nNoResume;
            pSession->setOption(KDS_OPT_NO_RESUME, &b, 1);
        }
        if (o.nUseQueryServerIP >= 0) {
            uint8_t b = (uint8_t)o.nUseQueryServerIP;
            pSession->setOption(KDS_OPT_USE_QUERY_SERVER_IP, &b, 1);
        }
        if (o.uSpeedLimit) pSession->setOption(KDS_OPT_SPEED_LIMIT, &o.uSpeedLimit, 4);
        if (o.uMaxChecksumErrors) pSession->setOption(KDS_OPT_MAX_CHECKSUM_ERRORS, &o.uMaxChecksumErrors, 4);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(pSession->start(), S_OK);
        auto ended = [&] {
            pSession->getProgress(&out.uStatus, nullptr, nullptr, nullptr, nullptr);
            return out.uStatus == KDS_STATUS_SUCCEEDED || out.uStatus == KDS_STATUS_FAILED;
        };
        // Until the deadline, onPoll may ask for an abort; past it the session is aborted.
        bool bAborted = false;
        WaitUntil(
            [&] {
                if (ended()) return true;
                if (o.onPoll && o.onPoll(pSession)) {
                    pSession->abort();
                    bAborted = true;
                }
                return bAborted;
            },
            (uint32_t)o.nDeadlineMs, 5);
        if (!bAborted && !ended()) {
            out.bTimedOut = true;
            pSession->abort();
        }
        // An aborted session still reaches a final status.
        EXPECT_TRUE(WaitUntil(ended, kWaitUntilMs, 5)) << "the session did not end after its abort";
        out.llElapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        pSession->getError(&out.uError, &out.uErrorExt);
        pSession->getInfo(&out.info);
        // The thread ends just after the final status (its report is its last step).
        bool bFinished = false;
        EXPECT_TRUE(WaitUntil([&] { return SUCCEEDED(pSession->isFinished(&bFinished)) && bFinished; }));
        pSession->Release();
        return out;
    }

    std::string target(const std::string& sName = "f.bin") const { return m_dir / sName; }

    TempDir m_appData;
    TempDir m_dir;
    IKDownloadService* m_pService = nullptr;
    LoopbackHttpServer m_server;
};

}  // namespace qn::test
