#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KDownloadSession.h"
#include "KHttpDownloader.h"
#include "session_test_util.h"
#include "speed_limiter.h"

namespace {

using qn::test::SessionTest;

TEST(FileNameFromUrl, Table) {
    struct Row {
        const char* szUrl;
        const wchar_t* wszName;
    } rows[] = {
        {"http://h/d/file.zip?x=1", L"file.zip"},
        {"http://h/", L"unnamed"},
        {"nourl", L"unnamed"},
        {"http://h/d/x?q=a/b", L"b"},
        {"http://h/a%20b", L"a%20b"},
        {"http://h/..", L"unnamed"},
        {"http://h/.", L"unnamed"},
        {"http://h/x\\..\\y", L"y"},
        {"http://h/d/?x", L"unnamed"},
    };
    for (const Row& r : rows) EXPECT_EQ(KDownloadSession::fileNameFromURL(r.szUrl), r.wszName) << r.szUrl;
}

TEST(ParseHttpDate, AllOrNothing) {
    struct Row {
        const char* szText;
        bool bOk;
    } rows[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", true},
        {"Sun, 06 Nov 1994 08:49:37 GM", false},  // 28 characters
        {"sun, 06 Nov 1994 08:49:37 GMT", false},
        {"Sun, 00 Nov 1994 08:49:37 GMT", false},
        {"Sun, 32 Nov 1994 08:49:37 GMT", false},
        {"Sun, 06 Nov 1600 08:49:37 GMT", false},
        {"Sun, 06 Nov 30828 8:49:37 GMT", false},
        {"Sun, 06 Nov 1994 24:00:00 GMT", false},
        {"Sun, 06 Nov 1994 23:60:00 GMT", false},
        {"Sun, 06 Nov 1994 23:00:60 GMT", false},
        {"Sun, 06 Foo 1994 08:49:37 GMT", false},
        {"Monday, 07-Nov-94 08:49:37 GMT", false},  // RFC 850 form
    };
    for (const Row& r : rows) {
        SYSTEMTIME t{};
        EXPECT_EQ(parseHttpDate(r.szText, &t), r.bOk) << r.szText;
        if (!r.bOk) {
            EXPECT_TRUE(QN_IsSystemTimeZero(&t)) << r.szText;
        }
    }
    SYSTEMTIME t{};
    ASSERT_TRUE(parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT", &t));
    EXPECT_EQ(t.wYear, 1994);
    EXPECT_EQ(t.wMonth, 11);
    EXPECT_EQ(t.wDay, 6);
    EXPECT_EQ(t.wDayOfWeek, 0);
    EXPECT_EQ(t.wHour, 8);
    EXPECT_EQ(t.wMinute, 49);
    EXPECT_EQ(t.wSecond, 37);
}

// Whether a stream at its pace so far gets a given number of bytes further within a time.
TEST(StreamReachesWithin, Table) {
    struct Row {
        uint64_t ullAhead, ullReceived;
        uint32_t uElapsedMs, uWithinMs;
        bool bReaches;
    } rows[] = {
        {100, 1000, 1000, 100, true},             // exactly at the bound
        {101, 1000, 1000, 100, false},
        {1 << 20, 0, 5, 100, false},              // nothing received yet: no pace known
        {1 << 20, 64 << 20, 0, 100, true},        // no time passed counts as 1 ms
        {40ull << 20, 20ull << 20, 20, 100, true},  // a fast stream passes the split point
        {40ull << 20, 256 << 10, 1000, 100, false},  // a slow one does not
        {~0ull, ~0ull, 0xFFFFFFFFu, 0xFFFFFFFFu, true},  // no overflow
        {~0ull, 1, 1, 0xFFFFFFFFu, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.ullAhead) + " " + std::to_string(r.ullReceived) + " " + std::to_string(r.uElapsedMs));
        EXPECT_EQ(KStreamReachesWithin(r.ullAhead, r.ullReceived, r.uElapsedMs, r.uWithinMs), r.bReaches);
    }
}

TEST(ReportBody, EscapingAndFields) {
    struct Row {
        const char* szIn;
        const char* szOut;
    } rows[] = {
        {"AZaz09-_.~", "AZaz09-_.~"},
        {" ", "%20"},
        {"\n", "%0A"},
        {"\xE4", "%E4"},
        {"/:?&=%", "%2F%3A%3F%26%3D%25"},
        {"http://h/a/b.zip?x=1", "http%3A%2F%2Fh%2Fa%2Fb.zip%3Fx%3D1"},
    };
    for (const Row& r : rows) EXPECT_EQ(KDownloadSession::urlEscape(r.szIn), r.szOut);

    KDownloadSession::ReportFields f;
    f.sUrl = "http://h/a/b.zip?x=1";
    f.sFinalUrl = "";
    f.wsFilePath = L"/t/\x4e2d.zip";
    f.uTimeSpent = 1234;
    f.uError = 4;
    f.uErrorExt = 0x80070020u;
    f.nClientError = -1;
    f.sClientErrorExt = "a b";
    f.ullFileSize = 10;
    f.ullInherited = 2;
    f.ullCompleted = 8;
    f.uSpeedAvg = 5;
    f.uSpeedPeak = 6;
    f.uServerAddress = 0x0100007Fu;  // 127.0.0.1 in network order
    std::string s = KDownloadSession::formatReport(f);
    std::string sUuidPrefix = "client_uuid=";
    ASSERT_EQ(s.compare(0, sUuidPrefix.size(), sUuidPrefix), 0);
    EXPECT_EQ(s.substr(sUuidPrefix.size() + 36),
              "&ver=1.0.0.9&original_url=http%3A%2F%2Fh%2Fa%2Fb.zip%3Fx%3D1&final_url=&file_path=%2Ft%2F%E4%B8%AD.zip"
              "&time_spend=1234&error=4&error_ext=2147942432&client_error=-1&client_error_ext=a%20b&bytes_total=10"
              "&bytes_inherited=2&bytes_completed=8&speed_avg=5&speed_peak=6&server_ip=127.0.0.1");
    f.uServerAddress = 0;
    s = KDownloadSession::formatReport(f);
    EXPECT_EQ(s.substr(s.size() - 11), "&server_ip=");
}

TEST(ReportBody, LimitOf8191) {
    KDownloadSession::ReportFields f;
    std::string s = KDownloadSession::formatReport(f);
    size_t uBase = s.size();
    f.sUrl = std::string(8191 - uBase, 'a');
    EXPECT_EQ(KDownloadSession::formatReport(f).size(), 8191u);
    f.sUrl += "a";
    EXPECT_EQ(KDownloadSession::formatReport(f), "");
    // A path longer than 511 bytes of UTF-8 is sent empty.
    f.sUrl.clear();
    f.wsFilePath = std::wstring(512, L'p');
    EXPECT_NE(KDownloadSession::formatReport(f).find("&file_path=&"), std::string::npos);
    f.wsFilePath = std::wstring(511, L'p');
    EXPECT_NE(KDownloadSession::formatReport(f).find(std::string(511, 'p')), std::string::npos);
}

class SessionObject : public SessionTest {
protected:
    IKDownloadSession* Create(const wchar_t* wszFileName = L"f.bin") {
        IKDownloadSession* p = nullptr;
        EXPECT_EQ(m_pService->createSession("http://127.0.0.1:1/x", nullptr, QN_Utf8ToWide(m_dir.path()).c_str(),
                                            wszFileName, &p),
                  S_OK);
        return p;
    }
};

TEST_F(SessionObject, OptionTable) {
    enum Op { kGet, kSet };
    struct Row {
        Op op;
        uint32_t uId;
        uint32_t uSize;
        uint32_t uValue;
        HRESULT hr;
        uint32_t uReadBack;  // the value read back afterwards (with its own size)
        uint32_t uSizeOut;
    } rows[] = {
        {kGet, KDS_OPT_CONNECTIONS, 4, 0, S_OK, 4, 4},
        {kSet, KDS_OPT_CONNECTIONS, 4, 0, S_OK, 1, 4},
        {kSet, KDS_OPT_CONNECTIONS, 4, 50, S_OK, 10, 4},
        {kSet, KDS_OPT_CONNECTIONS, 4, 7, S_OK, 7, 4},
        {kGet, KDS_OPT_CONNECTIONS, 3, 0, E_FAIL, 7, 0},
        {kSet, KDS_OPT_CONNECTIONS, 3, 2, E_FAIL, 7, 0},
        {kGet, KDS_OPT_SPEED_LIMIT, 4, 0, S_OK, 0xFFFFFFFFu, 4},
        {kSet, KDS_OPT_SPEED_LIMIT, 4, 0, S_OK, 0xFFFFFFFFu, 4},  // 0 leaves the rate
        {kSet, KDS_OPT_SPEED_LIMIT, 4, 1000, S_OK, 1000, 4},
        {kGet, KDS_OPT_NO_RESUME, 1, 0, S_OK, 0, 1},
        {kSet, KDS_OPT_NO_RESUME, 1, 1, S_OK, 1, 1},
        {kSet, KDS_OPT_NO_RESUME, 0, 1, E_INVALIDARG, 1, 1},
        {kGet, 3, 4, 0, E_FAIL, 0, 0},
        {kSet, 3, 4, 0, E_FAIL, 0, 0},
        {kGet, 4, 4, 0, E_FAIL, 0, 0},
        {kSet, 4, 4, 0, E_FAIL, 0, 0},
        {kGet, KDS_OPT_MAX_CHECKSUM_ERRORS, 4, 0, S_OK, 5, 4},
        {kSet, KDS_OPT_MAX_CHECKSUM_ERRORS, 4, 9, S_OK, 9, 4},
        {kGet, KDS_OPT_USE_QUERY_SERVER_IP, 1, 0, S_OK, 1, 1},
        {kSet, KDS_OPT_USE_QUERY_SERVER_IP, 1, 0, S_OK, 0, 1},
        {kGet, 7, 4, 0, E_INVALIDARG, 0, 0},
        {kSet, 7, 4, 0, E_INVALIDARG, 0, 0},
    };
    IKDownloadSession* p = Create();
    ASSERT_TRUE(p);
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << (r.op == kGet ? "get " : "set ") << r.uId << " size " << r.uSize);
        uint8_t buf[8] = {0};
        std::memcpy(buf, &r.uValue, 4);
        uint32_t uSize = r.uSize;
        HRESULT hr = r.op == kGet ? p->getOption(r.uId, buf, &uSize) : p->setOption(r.uId, buf, r.uSize);
        EXPECT_EQ(hr, r.hr);
        if (r.uSizeOut == 0 || r.uId > 6 || r.uId == 3 || r.uId == 4) continue;
        uint8_t out[8] = {0};
        uint32_t uOutSize = 4;
        ASSERT_EQ(p->getOption(r.uId, out, &uOutSize), S_OK);
        EXPECT_EQ(uOutSize, r.uSizeOut);
        uint32_t uGot = 0;
        std::memcpy(&uGot, out, uOutSize);
        EXPECT_EQ(uGot, r.uReadBack);
    }
    uint32_t uSize = 4;
    EXPECT_EQ(p->getOption(0, nullptr, &uSize), E_INVALIDARG);
    EXPECT_EQ(p->getOption(0, &uSize, nullptr), E_INVALIDARG);
    EXPECT_EQ(p->setOption(0, nullptr, 4), E_INVALIDARG);
    p->Release();
}

TEST_F(SessionObject, SpeedLimitSetsTheBurstCapacity) {
    struct Row {
        uint32_t uRate, uCapacity, uRateAfter;
    } rows[] = {
        {0x700000, 0x40000, 0x700000}, {0xA00000, 0x80000, 0xA00000}, {0x9FFFFF, 0x40000, 0x9FFFFF},
        {0x600000, 0x40000, 0x600000}, {0x5FFFFF, 0x20000, 0x5FFFFF}, {100, 0x20000, 100},
        {0, 0x20000, 100},
    };
    IKDownloadSession* p = Create();
    KDownloadSession* pSession = static_cast<KDownloadSession*>(p);
    for (const Row& r : rows) {
        EXPECT_EQ(p->setOption(KDS_OPT_SPEED_LIMIT, &r.uRate, 4), S_OK);
        EXPECT_EQ(pSession->speedLimiter()->capacity(), r.uCapacity) << r.uRate;
        EXPECT_EQ(pSession->speedLimiter()->rate(), r.uRateAfter) << r.uRate;
    }
    p->Release();
}

TEST_F(SessionObject, LifecycleInterfacesAndStream) {
    IKDownloadSession* p = Create();
    bool bFinished = false;
    EXPECT_EQ(p->isFinished(&bFinished), S_OK);
    EXPECT_TRUE(bFinished);
    EXPECT_EQ(p->abort(), E_ACCESSDENIED);
    void* pv = (void*)1;
    EXPECT_EQ(p->QueryInterface(IID_IUnknown, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(p->QueryInterface(IID_IKDownloadSession, &pv), S_OK);
    EXPECT_EQ(pv, (void*)p);
    p->Release();
    pv = (void*)1;
    EXPECT_EQ(p->createStream(IID_IInStream, &pv), E_FAIL);  // no storage yet
    EXPECT_EQ(pv, nullptr);
    pv = (void*)1;
    EXPECT_EQ(p->createStream(IID_IKDownloadSession, &pv), E_FAIL);
    EXPECT_EQ(pv, nullptr);
    DownloadInfo info;
    std::memset(&info, 0x55, sizeof(info));
    EXPECT_EQ(p->getInfo(&info), S_OK);
    DownloadInfo zero{};
    EXPECT_EQ(std::memcmp(&info, &zero, sizeof(info)), 0);
    // An abort refused before start leaves start possible; a second start is refused.
    EXPECT_EQ(p->start(), S_OK);
    EXPECT_EQ(p->start(), E_ACCESSDENIED);
    EXPECT_EQ(p->abort(), S_OK);
    // Release joins the thread.
    p->Release();
}

TEST_F(SessionObject, InitTable) {
    qn::test::WriteFile(m_dir / "file", "x");
    qn::test::WriteFile(m_dir / "bad.ck", "not a checksum file");
    struct Row {
        const char* szName;
        std::string sSaveDir;
        const wchar_t* wszChecksum;
        HRESULT hr;
    } rows[] = {
        {"existing folder", m_dir.path(), nullptr, S_OK},
        {"new folder", m_dir / "new", nullptr, S_OK},
        {"parent is a file", m_dir / "file/sub", nullptr, (HRESULT)0x80070003u},
        {"checksum file that does not open", m_dir.path(), L"/nonexistent/x.ck", E_FAIL},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.szName);
        IKDownloadSession* p = nullptr;
        EXPECT_EQ(m_pService->createSession("http://127.0.0.1:1/x", r.wszChecksum, QN_Utf8ToWide(r.sSaveDir).c_str(),
                                            L"f", &p),
                  r.hr);
        EXPECT_EQ(p == nullptr, FAILED(r.hr));
        if (p) p->Release();
    }
    IKDownloadSession* p = nullptr;
    EXPECT_EQ(m_pService->createSession("u", nullptr, nullptr, nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(m_pService->createSession(nullptr, nullptr, L"/tmp", nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(m_pService->createSession("u", nullptr, L"/tmp", nullptr, nullptr), E_INVALIDARG);
}

TEST_F(SessionTest, RelativeSaveFolderIsUnderTheCurrentFolder) {
    m_server.addResource("/f.bin", 10);
    std::string sCwd = QN_GetCurrentDirectory();
    ASSERT_EQ(chdir(m_dir.path().c_str()), 0);
    IKDownloadSession* p = nullptr;
    ASSERT_EQ(m_pService->createSession(m_server.url("/f.bin").c_str(), nullptr, L"sub", L"f.bin", &p), S_OK);
    ASSERT_EQ(p->start(), S_OK);
    uint32_t uStatus = 0;
    qn::test::WaitUntil([&] {
        p->getProgress(&uStatus, nullptr, nullptr, nullptr, nullptr);
        return uStatus >= KDS_STATUS_SUCCEEDED;
    });
    DownloadInfo info;
    p->getInfo(&info);
    p->Release();
    ASSERT_EQ(chdir(sCwd.c_str()), 0);
    EXPECT_EQ(uStatus, (uint32_t)KDS_STATUS_SUCCEEDED);
    EXPECT_EQ(QN_WideToUtf8(info.filePath), m_dir / "sub/f.bin");
}

TEST(LibraryEntry, StartStopAndServices) {
    qn::test::TempDir appData;
    qn::testing::SetAppDataFolder(appData.path().c_str());
    void* pv = (void*)1;
    EXPECT_EQ(KDownloadGetService(IID_IKDownloadService, &pv), E_FAIL);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(KDownloadGetService(IID_IKDownloadService, nullptr), E_INVALIDARG);
    EXPECT_EQ(KDownloadUninit(), S_OK);  // stopped: nothing to do
    for (int nRound = 0; nRound < 3; ++nRound) {
        ASSERT_EQ(KDownloadInit(), S_OK);
        EXPECT_EQ(KDownloadInit(), E_FAIL);  // already started: nothing changes
        void* pA = nullptr;
        void* pB = nullptr;
        EXPECT_EQ(KDownloadGetService(IID_IKDownloadService, &pA), S_OK);
        EXPECT_EQ(KDownloadGetService(IID_IKDownloadService, &pB), S_OK);
        EXPECT_EQ(pA, pB);
        static_cast<IUnknown*>(pA)->Release();
        static_cast<IUnknown*>(pB)->Release();
        IKHttpService* pHttp = nullptr;
        EXPECT_EQ(KDownloadGetService(IID_IKHttpService, (void**)&pHttp), S_OK);
        pv = (void*)1;
        EXPECT_EQ(KDownloadGetService(IID_IUnknown, &pv), E_NOINTERFACE);
        EXPECT_EQ(pv, nullptr);
        // The library still serves a request after the refused second start.
        qn::test::LoopbackHttpServer server;
        server.addResource("/r", 100);
        IKHttpClient* pClient = nullptr;
        // By name: the resolver must work again after a stop.
        std::string sUrl = "http://localhost:" + std::to_string(server.port()) + "/r";
        ASSERT_EQ(pHttp->createClient(4096, KHTTP_METHOD_GET, sUrl.c_str(), nullptr, false, &pClient), S_OK);
        pClient->execute();
        pClient->Release();
        EXPECT_EQ(server.requestCount(), 1);
        pHttp->Release();
        EXPECT_EQ(KDownloadUninit(), S_OK);
        EXPECT_EQ(KDownloadUninit(), S_OK);
    }
    // A start that fails at any step leaves nothing running, and the next one works.
    for (int nStep = 1; nStep <= 5; ++nStep) {
        qn::testing::SetInitFailPoint(nStep);
        HRESULT hr = KDownloadInit();
        EXPECT_EQ(hr, nStep >= 4 ? E_OUTOFMEMORY : E_FAIL) << nStep;
        qn::testing::SetInitFailPoint(0);
        EXPECT_EQ(KDownloadGetService(IID_IKDownloadService, &pv), E_FAIL);
        KDownloadUninit();
        ASSERT_EQ(KDownloadInit(), S_OK) << nStep;
        EXPECT_EQ(KDownloadUninit(), S_OK);
    }
    qn::testing::SetAppDataFolder(nullptr);
}

}  // namespace
