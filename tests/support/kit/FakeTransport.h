// A stand-in for the download library behind its public interfaces (IKHttpService,
// IKHttpClient, IKDownloadService, IKDownloadSession), without sockets: URLs are mapped to
// files below a folder with the same rules as the test servers, fault rules change answers,
// and every request is logged. Handler calls are made on a private "loop" thread while the
// caller waits in execute, as the real library does.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "IKDownloadSession.h"
#include "IKHttp.h"

namespace qn::kit {

enum class FakeTailMode { Strip, NotFound, Literal };

struct FakeRule {
    enum Action {
        Status,           // answer with status (no body for a range, a short text otherwise)
        IgnoreRange,      // 200 with the whole file
        ShortBody,        // announce the full length, send k bytes, then the connection drops
        LongBody,         // one byte more than announced
        CorruptByte,      // xor the byte at file offset k, only in what is sent
        Delay,            // wait delayMs before answering (cut short by Stop or abort)
        CloseNoResponse,  // the connection drops before any answer
    };
    std::string pathSuffix;  // matched against the decoded path after the tail rule
    std::string range;       // "" matches any
    int tail = -1;           // -1 any, 0 without the tail, 1 with it
    Action action = Status;
    int status = 404;
    uint64_t k = 0;
    uint8_t xorMask = 0xFF;
    uint32_t delayMs = 0;
    int times = -1;  // how many matches the rule applies to; -1 always
};

struct FakeRequest {
    std::string method;
    std::string url;     // as given to the library
    std::string path;    // decoded, after the tail rule
    std::string range;   // Range header, "" when none
    bool tail = false;   // the target carried the cache-defeating tail
    bool session = false;  // made by a download session (whole file)
    int status = 0;
    uint64_t bodyBytes = 0;
};

class FakeTransport {
public:
    explicit FakeTransport(std::string docroot, FakeTailMode tail = FakeTailMode::Strip);
    ~FakeTransport();
    FakeTransport(const FakeTransport&) = delete;
    FakeTransport& operator=(const FakeTransport&) = delete;

    void AddRule(const FakeRule& rule);
    std::vector<FakeRequest> Requests() const;
    void ClearRequests();
    // The Range values sent for paths ending with suffix, in order.
    std::vector<std::string> RangesFor(const std::string& suffix) const;
    size_t CountFor(const std::string& suffix) const;

    // Makes this transport the one GetService answers for (one at a time).
    void Install();
    void Uninstall();
    // A KDownloadGetService stand-in: the installed transport's services, one reference each.
    static HRESULT GetService(REFIID riid, void** ppvOut);

    // Cuts every delay short and ends the loop thread.
    void Stop();

    // Internal: used by the fake objects.
    struct Answer {
        int status = 0;  // 0: the connection dropped before any answer
        std::string body;
        uint64_t announced = 0;
        std::string contentRange;  // sent with a 206
        bool dropAfterBody = false;
        uint32_t delayMs = 0;
        std::string path;
        bool tail = false;
    };
    Answer Resolve(const std::string& method, const std::string& url, const std::string& range, bool session);
    void Log(const FakeRequest& r);
    void Post(std::function<void()> task);
    // Sleeps ms unless stopped or pbCancel turns true; false when cut short.
    bool Sleep(uint32_t ms, const std::atomic<bool>* pbCancel);
    bool stopping() const { return m_stop.load(); }

private:
    void Loop();

    std::string m_docroot;
    FakeTailMode m_tail;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<FakeRule> m_rules;
    std::vector<int> m_hits;
    std::vector<FakeRequest> m_requests;
    std::deque<std::function<void()>> m_tasks;
    std::atomic<bool> m_stop{false};
    std::thread m_loop;
    IKHttpService* m_http = nullptr;
    IKDownloadService* m_download = nullptr;
};

}  // namespace qn::kit
