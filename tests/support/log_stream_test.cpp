#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstring>
#include <memory>
#include <mutex>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "QN_LogW.h"
#include "qn_log_capture.h"

using qn::test::FixedClock;
using qn::test::LogCapture;

int g_nProbeLine = 0;

class QN_DataFileReader {
public:
    int Init(const wchar_t* pcszDirectory) {
        int nResult = 0;
        g_nProbeLine = __LINE__; QNLOG_ASSERT_EXIT(pcszDirectory);
        g_nProbeLine = __LINE__; QNLOG_PROCESS_ERROR(wcscmp(pcszDirectory, L"路径") != 0);
        g_nProbeLine = __LINE__; QNLOG_ASSERT_EXIT_TEXT(pcszDirectory[0] != L'-', "szDirectory[0] != '-'");
        g_nProbeLine = __LINE__; QNLOG_PROCESS_ERROR_TEXT(pcszDirectory[0] != L'+', "nRetCode && \"Open()\"");
        nResult = 1;
    Exit0:
        return nResult;
    }
    HRESULT Open(HRESULT hrStep, HRESULT hrEntry) {
        HRESULT hrResult = E_FAIL;
        g_nProbeLine = __LINE__; QNLOG_COM_ASSERT_EXIT(hrEntry);
        g_nProbeLine = __LINE__; QNLOG_COM_PROCESS_ERROR(hrStep);
        hrResult = S_OK;
    Exit0:
        return hrResult;
    }
};

namespace {

// Records what it receives and how its reference count moves. The registry holds references
// of its own; the test holds the creation reference and releases it at the end.
class CountingStream : public IQN_LogStream {
public:
    explicit CountingStream(int nId = 0, std::vector<int>* pOrder = nullptr)
        : m_nId(nId), m_pOrder(pOrder) {}
    virtual ~CountingStream() = default;

    HRESULT QueryInterface(REFIID, void** ppv) override {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t AddRef() override {
        ++m_nAddRefs;
        return (uint32_t)++m_nRefs;
    }
    uint32_t Release() override {
        ++m_nReleases;
        return (uint32_t)--m_nRefs;
    }
    HRESULT Write(const wchar_t* cwszText) override {
        std::lock_guard<std::mutex> Lock(m_Lock);
        m_Lines.push_back(cwszText);
        if (m_pOrder) m_pOrder->push_back(m_nId);
        return S_OK;
    }
    std::vector<std::wstring> Lines() {
        std::lock_guard<std::mutex> Lock(m_Lock);
        return m_Lines;
    }

    std::atomic<int> m_nRefs{1};
    std::atomic<int> m_nAddRefs{0};
    std::atomic<int> m_nReleases{0};

private:
    int m_nId;
    std::vector<int>* m_pOrder;
    std::mutex m_Lock;
    std::vector<std::wstring> m_Lines;
};

// Owns the test's streams and unregisters whatever the test left registered, so that each
// test starts with an empty registry and no stream dies while registered.
class LogStreamTest : public ::testing::Test {
protected:
    template <typename T = CountingStream, typename... Args>
    T* Make(Args... args) {
        T* p = new T(args...);
        m_Streams.emplace_back(p);
        return p;
    }
    QN_LOG_STREAM_HANDLE Register(IQN_LogStream* piStream) {
        QN_LOG_STREAM_HANDLE h = QN_RegisterLogStream(piStream);
        if (h) m_Registered.push_back(h);
        return h;
    }
    int Unregister(QN_LOG_STREAM_HANDLE h) {
        gs_hLogStream = h;
        int nRetCode = QN_UnregisterLogStream();
        gs_hLogStream = nullptr;
        if (nRetCode) m_Registered.erase(std::find(m_Registered.begin(), m_Registered.end(), h));
        return nRetCode;
    }
    void TearDown() override {
        while (!m_Registered.empty()) EXPECT_EQ(Unregister(m_Registered.back()), 1);
    }
    std::vector<std::unique_ptr<CountingStream>> m_Streams;
    std::vector<QN_LOG_STREAM_HANDLE> m_Registered;
};

TEST_F(LogStreamTest, WithNoStreamNothingIsFormattedOrWritten) {
    LogCapture Log;
    EXPECT_EQ(QN_LogPrintfW(L"text %ls", L"x"), 1);
    EXPECT_EQ(QN_LogPrintfW(nullptr), 0);
    EXPECT_TRUE(Log.Lines().empty());
}

TEST_F(LogStreamTest, SixtyFourSlotsAndTheFreedSlotIsReused) {
    std::vector<int> order;
    std::vector<CountingStream*> streams;
    for (int i = 0; i < 65; ++i) streams.push_back(Make(i, &order));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(Register(streams[i]), streams[i]) << i;
    EXPECT_EQ(Register(streams[64]), nullptr) << "the 65th";
    EXPECT_EQ(streams[64]->m_nAddRefs, 0);
    EXPECT_EQ(Register(nullptr), nullptr);

    ASSERT_EQ(Unregister(streams[10]), 1);
    ASSERT_EQ(Register(streams[64]), streams[64]);
    QN_LogPrintfW(L"line");
    std::vector<int> expected;
    for (int i = 0; i < 64; ++i) expected.push_back(i == 10 ? 64 : i);
    EXPECT_EQ(order, expected) << "written in slot order, the new stream in slot 10";
    EXPECT_TRUE(streams[10]->Lines().empty());
}

TEST_F(LogStreamTest, UnregisterBalancesReferencesAndRefusesTwice) {
    CountingStream& Stream = *Make();
    CountingStream& Other = *Make();
    EXPECT_EQ(Unregister(&Stream), 0) << "empty registry";
    ASSERT_EQ(Register(&Stream), &Stream);
    EXPECT_EQ(Stream.m_nRefs, 2);
    EXPECT_EQ(Unregister(nullptr), 0) << "null handle";
    EXPECT_EQ(Unregister(&Other), 0) << "not registered";

    gs_hLogStream = &Stream;
    EXPECT_EQ(QN_UnregisterLogStream(), 1);
    EXPECT_EQ(gs_hLogStream, &Stream) << "the handle is not cleared";
    EXPECT_EQ(QN_UnregisterLogStream(), 0) << "second time";
    gs_hLogStream = nullptr;
    m_Registered.clear();
    EXPECT_EQ(Stream.m_nAddRefs, 1);
    EXPECT_EQ(Stream.m_nReleases, 1);
    EXPECT_EQ(Stream.m_nRefs, 1);
}

TEST_F(LogStreamTest, AHigherSlotKeepsReceivingAfterALowerOneIsEmptied) {
    std::vector<CountingStream*> streams;
    for (int i = 0; i < 6; ++i) {
        streams.push_back(Make(i));
        ASSERT_TRUE(Register(streams[i]));
    }
    QN_LogPrintfW(L"one");
    ASSERT_EQ(Unregister(streams[0]), 1);
    QN_LogPrintfW(L"two %d", 2);
    QN_LogPrintfW(L"three %ls", L"3");
    EXPECT_EQ(streams[5]->Lines(), (std::vector<std::wstring>{L"one", L"two 2", L"three 3"}));
    EXPECT_EQ(streams[0]->Lines(), (std::vector<std::wstring>{L"one"}));
}

TEST_F(LogStreamTest, LongTextIsCutTo1023Characters) {
    CountingStream& Stream = *Make();
    ASSERT_TRUE(Register(&Stream));
    std::wstring wstrLong(2000, L'w');
    QN_LogPrintfW(L"%ls", wstrLong.c_str());
    std::vector<std::wstring> lines = Stream.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::wstring(1023, L'w'));
}

// A stream that logs wide text again from inside Write, once.
class ReentrantStream : public CountingStream {
public:
    HRESULT Write(const wchar_t* cwszText) override {
        CountingStream::Write(cwszText);
        if (!m_bInside) {
            m_bInside = true;
            QN_LogPrintfW(L"nested after %ls", cwszText);
            m_bInside = false;
        }
        return S_OK;
    }

private:
    bool m_bInside = false;
};

TEST_F(LogStreamTest, AStreamMayLogFromInsideWrite) {
    ReentrantStream& Stream = *Make<ReentrantStream>();
    ASSERT_TRUE(Register(&Stream));
    QN_LogPrintfW(L"outer");
    EXPECT_EQ(Stream.Lines(), (std::vector<std::wstring>{L"outer", L"nested after outer"}));
}

// A stream that logs while its last reference goes, as a stream that reports its own
// shutdown would. It must not be written to once it is being released.
class FarewellStream : public CountingStream {
public:
    uint32_t Release() override {
        uint32_t uCount = CountingStream::Release();
        if (uCount == 1) {
            m_bReleased = true;
            QN_LogPrintfW(L"stream going");
        }
        return uCount;
    }
    HRESULT Write(const wchar_t* cwszText) override {
        if (m_bReleased) m_bWrittenAfterRelease = true;
        return CountingStream::Write(cwszText);
    }
    bool m_bReleased = false;
    bool m_bWrittenAfterRelease = false;
};

TEST_F(LogStreamTest, AReleasedStreamIsNotWrittenTo) {
    FarewellStream& Stream = *Make<FarewellStream>();
    CountingStream& Witness = *Make();
    ASSERT_TRUE(Register(&Stream));
    ASSERT_TRUE(Register(&Witness));
    ASSERT_EQ(Unregister(&Stream), 1);
    EXPECT_TRUE(Stream.m_bReleased);
    EXPECT_FALSE(Stream.m_bWrittenAfterRelease);
    EXPECT_EQ(Witness.Lines(), (std::vector<std::wstring>{L"stream going"}));
}

TEST_F(LogStreamTest, LoggingWhileStreamsComeAndGo) {
    CountingStream& Steady = *Make();
    ASSERT_TRUE(Register(&Steady));
    std::atomic<bool> bStop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 500; ++i) QN_LogPrintfW(L"writer %d line %d", t, i);
        });
    }
    std::thread churn([&bStop] {
        CountingStream Passing;
        for (int i = 0; i < 2000 && !bStop.load(); ++i) {
            QN_LOG_STREAM_HANDLE h = QN_RegisterLogStream(&Passing);
            if (!h) continue;
            gs_hLogStream = h;
            QN_UnregisterLogStream();
        }
        gs_hLogStream = nullptr;
        EXPECT_EQ(Passing.m_nAddRefs, Passing.m_nReleases);
    });
    for (std::thread& thread : writers) thread.join();
    bStop = true;
    churn.join();
    EXPECT_EQ(Steady.Lines().size(), 2000u);
}

TEST(QNPlatformLogAdapterTest, CountsReferencesAndAnswersNoInterface) {
    QN_PlatformLogAdapter* pAdapter = new QN_PlatformLogAdapter;
    void* pv = &pv;
    QN_GUID iid{};
    EXPECT_EQ(pAdapter->QueryInterface(iid, &pv), E_FAIL);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(pAdapter->AddRef(), 2u);
    EXPECT_EQ(pAdapter->Release(), 1u);
    EXPECT_EQ(pAdapter->Release(), 0u);  // deleted here; LeakSanitizer checks it
}

TEST(QNPlatformLogAdapterTest, WriteReportsTheLogResult) {
    FixedClock Clock(2026, 12, 9, 8, 14, 27);
    QN_PlatformLogAdapter* pAdapter = new QN_PlatformLogAdapter;
    {
        LogCapture Log;
        EXPECT_EQ(pAdapter->Write(L"fine"), S_OK);
        EXPECT_EQ(Log.Messages(), std::vector<std::string>{"fine"});
    }
    {
        LogCapture Log;
        qn::test::WriteFile(Log.root(), "in the way");
        testing::internal::CaptureStderr();
        EXPECT_EQ(pAdapter->Write(L"lost"), E_FAIL);
        testing::internal::GetCapturedStderr();
    }
    pAdapter->Release();
}

struct EndToEndCase {
    const char* cszLocale;  // nullptr keeps the test program's locale
};

TEST(QNPlatformLogAdapterTest, WideChecksReachTheLogFileAsUtf8) {
    const std::vector<EndToEndCase> cases = {{nullptr}, {"C"}};
    for (const EndToEndCase& c : cases) {
        SCOPED_TRACE(c.cszLocale ? c.cszLocale : "program locale");
        std::string strLocale = std::setlocale(LC_ALL, nullptr);
        if (c.cszLocale) std::setlocale(LC_ALL, c.cszLocale);
        FixedClock Clock(2026, 12, 9, 8, 14, 27);
        LogCapture Log;
        QN_PlatformLogAdapter* pAdapter = new QN_PlatformLogAdapter;
        gs_hLogStream = QN_RegisterLogStream(pAdapter);
        ASSERT_EQ(gs_hLogStream, pAdapter);
        pAdapter->Release();  // the registry's reference is the only one left

        QN_DataFileReader Reader;
        std::vector<std::string> expected;
        EXPECT_EQ(Reader.Init(nullptr), 0);
        expected.push_back("QNLOG_ASSERT_EXIT(pcszDirectory) at line " + std::to_string(g_nProbeLine) +
                           " in QN_DataFileReader::Init");
        EXPECT_EQ(Reader.Init(L"路径"), 0);
        expected.push_back("QNLOG_PROCESS_ERROR(wcscmp(pcszDirectory, L\"路径\") != 0) at line " +
                           std::to_string(g_nProbeLine) + " in QN_DataFileReader::Init");
        EXPECT_EQ(Reader.Init(L"-"), 0);
        expected.push_back("QNLOG_ASSERT_EXIT(szDirectory[0] != '-') at line " +
                           std::to_string(g_nProbeLine) + " in QN_DataFileReader::Init");
        EXPECT_EQ(Reader.Init(L"+"), 0);
        expected.push_back("QNLOG_PROCESS_ERROR(nRetCode && \"Open()\") at line " +
                           std::to_string(g_nProbeLine) + " in QN_DataFileReader::Init");
        EXPECT_EQ(Reader.Open(S_OK, E_INVALIDARG), E_FAIL);
        expected.push_back("QNLOG_COM_ASSERT_EXIT(0x80070057) at line " + std::to_string(g_nProbeLine) +
                           " in QN_DataFileReader::Open");
        EXPECT_EQ(Reader.Open(E_OUTOFMEMORY, S_OK), E_FAIL);
        expected.push_back("QNLOG_COM_PROCESS_ERROR(0x8007000E) at line " + std::to_string(g_nProbeLine) +
                           " in QN_DataFileReader::Open");
        EXPECT_EQ(Reader.Open(S_OK, S_OK), S_OK);
        EXPECT_EQ(Reader.Init(L"x"), 1);
        QN_LogPrintfW(L"%ls", L"\xD800 lone");

        EXPECT_EQ(QN_UnregisterLogStream(), 1);  // deletes the adapter
        gs_hLogStream = nullptr;
        std::setlocale(LC_ALL, strLocale.c_str());

        expected.push_back("\xEF\xBF\xBD lone");
        EXPECT_EQ(Log.Messages(), expected);
        for (const std::string& strLine : Log.Lines()) {
            EXPECT_EQ(strLine.rfind("20261209-081427<DEBUG:", 0), 0u) << strLine;
        }
    }
}

}  // namespace
