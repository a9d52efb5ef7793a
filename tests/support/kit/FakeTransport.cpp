#include "FakeTransport.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "qn_string.h"
#include "qn_test_env.h"
#include "qn_url_path.h"

namespace qn::kit {

namespace fs = std::filesystem;

namespace {

std::atomic<FakeTransport*> g_installed{nullptr};

constexpr uint32_t kPiece = 16384;

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The target of an http URL ("/..." after the host), or false.
bool TargetOf(const std::string& url, std::string* pTarget) {
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    size_t slash = url.find('/', scheme.size());
    if (slash == scheme.size()) return false;
    *pTarget = slash == std::string::npos ? "/" : url.substr(slash);
    return true;
}

bool ParseRange(const std::string& value, uint64_t* pA, uint64_t* pB, bool* pHasEnd) {
    static const std::regex re("^bytes=([0-9]+)-([0-9]*)$");
    std::smatch m;
    if (!std::regex_match(value, m, re)) return false;
    *pA = std::stoull(m[1].str());
    *pHasEnd = m[2].length() > 0;
    *pB = *pHasEnd ? std::stoull(m[2].str()) : 0;
    return true;
}

class FakeHttpClient;

class FakeHttpService : public IKHttpService, public KSimpleUnknownImpl {
public:
    explicit FakeHttpService(FakeTransport* owner) : m_owner(owner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv || riid != IID_IKHttpService) return E_NOINTERFACE;
        *ppv = static_cast<IKHttpService*>(this);
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return addRefImpl(); }
    uint32_t Release() override {
        uint32_t n = releaseImpl();
        if (n == 0) delete this;
        return n;
    }
    HRESULT createClient(uint32_t uRequestBufferSize, int32_t nMethod, const char* pszUrl, IKHttpResponseHandler* pHandler,
                         bool bAsync, IKHttpClient** ppRetClient) override;
    // Holds the client until the service goes (a running one holds itself until it ends).
    HRESULT addClient(IKHttpClient* pClient) override {
        if (!pClient) return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held.push_back(pClient);
        return S_OK;
    }

private:
    virtual ~FakeHttpService() {
        for (IKHttpClient* c : m_held) c->Release();
    }
    FakeTransport* m_owner;
    std::mutex m_mutex;
    std::vector<IKHttpClient*> m_held;
};

class FakeHttpClient : public IKHttpClient, public KSimpleUnknownImpl {
public:
    FakeHttpClient(FakeTransport* owner, int32_t nMethod, std::string url, IKHttpResponseHandler* pHandler, bool bAsync)
        : m_owner(owner), m_method(nMethod), m_url(std::move(url)), m_handler(pHandler), m_async(bAsync) {
        m_handler->AddRef();  // held for the request's lifetime
    }
    virtual ~FakeHttpClient() {
        if (m_handler) m_handler->Release();
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv || riid != IID_IKHttpClient) return E_NOINTERFACE;
        *ppv = static_cast<IKHttpClient*>(this);
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return addRefImpl(); }
    uint32_t Release() override {
        uint32_t n = releaseImpl();
        if (n == 0) delete this;
        return n;
    }
    HRESULT addHeader(const char* pszName, const char* pszValue) override {
        if (!pszName || !pszValue) return E_FAIL;
        if (QN_StrICmp(pszName, "Range") == 0) m_range = pszValue;
        return S_OK;
    }
    HRESULT setBody(const void*, uint32_t) override { return S_OK; }
    HRESULT cancel() override {
        std::lock_guard<std::mutex> lock(m_doneMutex);
        if (!m_executed || m_done) return E_FAIL;
        m_cancel = true;
        return S_OK;
    }
    // True when not running: before execute, or once the handler's last call has returned.
    bool wait(uint32_t uMilliseconds) override {
        std::unique_lock<std::mutex> lock(m_doneMutex);
        return m_doneCv.wait_for(lock, std::chrono::milliseconds(uMilliseconds), [&] { return !m_executed || m_done; });
    }
    HRESULT execute() override {
        {
            std::lock_guard<std::mutex> lock(m_doneMutex);
            if (m_executed || m_owner->stopping()) return E_FAIL;
            m_executed = true;
        }
        // The task holds the client until the request has ended, as the library's loop does.
        AddRef();
        m_owner->Post([this] {
            Deliver();
            {
                std::lock_guard<std::mutex> lock(m_doneMutex);
                m_done = true;
            }
            m_doneCv.notify_all();
            Release();
        });
        if (!m_async) wait(UINT32_MAX);
        return S_OK;
    }

private:
    // Runs on the loop thread.
    void Deliver() {
        const char* method = m_method == KHTTP_METHOD_HEAD ? "HEAD" : m_method == KHTTP_METHOD_POST ? "POST" : "GET";
        FakeTransport::Answer a = m_owner->Resolve(method, m_url, m_range, false);
        FakeRequest r;
        r.method = method;
        r.url = m_url;
        r.path = a.path;
        r.range = m_range;
        r.tail = a.tail;
        r.status = a.status;
        if (a.delayMs && !m_owner->Sleep(a.delayMs, &m_cancel)) {
            m_owner->Log(r);
            m_handler->onError();
            return;
        }
        bool failed = a.status == 0;
        if (!failed) failed = m_handler->onStatus(a.status) < 0;
        if (!failed) {
            std::string len = std::to_string(a.announced);
            failed = m_handler->onHeader("Content-Length", 14, len.c_str(), (uint32_t)len.size()) < 0 ||
                     (!a.contentRange.empty() && m_handler->onHeader("Content-Range", 13, a.contentRange.c_str(),
                                                                     (uint32_t)a.contentRange.size()) < 0) ||
                     m_handler->onHeadersComplete() < 0;
        }
        size_t sent = 0;
        if (m_method != KHTTP_METHOD_HEAD) {
            while (!failed && sent < a.body.size()) {
                if (m_cancel || m_owner->stopping()) {
                    failed = true;
                    break;
                }
                uint32_t n = (uint32_t)std::min<size_t>(kPiece, a.body.size() - sent);
                failed = m_handler->onBody((const uint8_t*)a.body.data() + sent, n) < 0;
                if (!failed) sent += n;
            }
        }
        r.bodyBytes = sent;
        m_owner->Log(r);
        if (failed || a.dropAfterBody)
            m_handler->onError();
        else
            m_handler->onEnd();
        // The request has ended: its hold on the handler ends with it.
        m_handler->Release();
        m_handler = nullptr;
    }

    FakeTransport* m_owner;
    int32_t m_method;
    std::string m_url;
    IKHttpResponseHandler* m_handler;
    std::string m_range;
    bool m_async;
    std::atomic<bool> m_cancel{false};
    std::mutex m_doneMutex;
    std::condition_variable m_doneCv;
    bool m_executed = false;  // under m_doneMutex
    bool m_done = false;      // under m_doneMutex
};

HRESULT FakeHttpService::createClient(uint32_t uRequestBufferSize, int32_t nMethod, const char* pszUrl,
                                      IKHttpResponseHandler* pHandler, bool bAsync, IKHttpClient** ppRetClient) {
    std::string target;
    if (!pszUrl || !pHandler || !ppRetClient || !TargetOf(pszUrl, &target)) return E_FAIL;
    if (nMethod != KHTTP_METHOD_GET && nMethod != KHTTP_METHOD_HEAD && nMethod != KHTTP_METHOD_POST) return E_FAIL;
    if (std::strlen(pszUrl) + 64 > uRequestBufferSize) return E_FAIL;
    FakeHttpClient* c = new FakeHttpClient(m_owner, nMethod, pszUrl, pHandler, bAsync);
    c->AddRef();
    *ppRetClient = c;
    return S_OK;
}

class FakeSession : public IKDownloadSession, public KSimpleUnknownImpl {
public:
    FakeSession(FakeTransport* owner, std::string url, std::string saveDir, std::string fileName)
        : m_owner(owner), m_url(std::move(url)), m_saveDir(std::move(saveDir)), m_fileName(std::move(fileName)) {}
    virtual ~FakeSession() {
        m_abort = true;
        if (m_thread.joinable()) m_thread.join();
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv || riid != IID_IKDownloadSession) return E_NOINTERFACE;
        *ppv = static_cast<IKDownloadSession*>(this);
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return addRefImpl(); }
    uint32_t Release() override {
        uint32_t n = releaseImpl();
        if (n == 0) delete this;
        return n;
    }
    HRESULT getOption(uint32_t, void*, uint32_t*) override { return E_NOTIMPL; }
    HRESULT setOption(uint32_t, const void*, uint32_t) override { return E_NOTIMPL; }
    HRESULT start() override {
        if (m_thread.joinable()) return E_FAIL;
        m_status = KDS_STATUS_QUERYING;
        m_thread = std::thread([this] { Run(); });
        return S_OK;
    }
    HRESULT abort() override {
        m_abort = true;
        return S_OK;
    }
    HRESULT isFinished(bool* pb) override {
        if (!pb) return E_INVALIDARG;
        *pb = m_status >= KDS_STATUS_SUCCEEDED;
        return S_OK;
    }
    HRESULT getProgress(uint32_t* puStatus, uint64_t* pullFileSize, uint64_t* pullBytesDone, uint32_t* puSpeedAvg,
                        uint32_t* puSpeedCurrent) override {
        if (puStatus) *puStatus = m_status.load(std::memory_order_acquire);
        if (pullFileSize) *pullFileSize = m_size;
        if (pullBytesDone) *pullBytesDone = m_done;
        if (puSpeedAvg) *puSpeedAvg = 0;
        if (puSpeedCurrent) *puSpeedCurrent = 0;
        return S_OK;
    }
    HRESULT getError(uint32_t* puError, uint32_t* puErrorExt) override {
        if (puError) *puError = m_error;
        if (puErrorExt) *puErrorExt = m_errorExt;
        return S_OK;
    }
    HRESULT getInfo(DownloadInfo*) override { return E_NOTIMPL; }
    HRESULT getSpeed(uint32_t*, uint32_t*, uint32_t*) override { return E_NOTIMPL; }
    HRESULT createStream(REFIID, void**) override { return E_NOTIMPL; }

private:
    void Finish(uint32_t status, uint32_t error, uint32_t ext) {
        m_error = error;
        m_errorExt = ext;
        m_status.store(status, std::memory_order_release);
    }
    void Run() {
        FakeTransport::Answer a = m_owner->Resolve("GET", m_url, "", true);
        FakeRequest r;
        r.method = "GET";
        r.url = m_url;
        r.path = a.path;
        r.tail = a.tail;
        r.session = true;
        r.status = a.status;
        m_status = KDS_STATUS_DOWNLOADING;
        bool cut = a.delayMs && !m_owner->Sleep(a.delayMs, &m_abort);
        if (cut || m_abort) {
            m_owner->Log(r);
            return Finish(KDS_STATUS_FAILED, KDS_ERR_ABORTED, 0);
        }
        if (a.status == 404 || a.status == 0) {
            m_owner->Log(r);
            return Finish(KDS_STATUS_FAILED, a.status == 404 ? KDS_ERR_NOT_FOUND : KDS_ERR_NETWORK, a.status);
        }
        if (a.status / 100 != 2 || a.dropAfterBody) {
            m_owner->Log(r);
            return Finish(KDS_STATUS_FAILED, a.dropAfterBody ? KDS_ERR_NETWORK : KDS_ERR_HTTP, a.dropAfterBody ? 0 : a.status);
        }
        r.bodyBytes = a.body.size();
        m_owner->Log(r);
        m_size = a.body.size();
        // Only one level of the save folder is created, as the library does.
        std::error_code ec;
        fs::create_directory(m_saveDir, ec);
        std::string target = m_saveDir + "/" + m_fileName;
        if (fs::is_regular_file(target, ec) && fs::file_size(target, ec) == a.body.size()) {
            m_done = a.body.size();
            return Finish(KDS_STATUS_SUCCEEDED, KDS_ERR_NONE, 0);
        }
        {
            std::ofstream out(target + ".tmp", std::ios::binary | std::ios::trunc);
            out.write(a.body.data(), (std::streamsize)a.body.size());
            if (!out) return Finish(KDS_STATUS_FAILED, KDS_ERR_FILE, (uint32_t)E_FAIL);
        }
        fs::rename(target + ".tmp", target, ec);
        if (ec) return Finish(KDS_STATUS_FAILED, KDS_ERR_FILE, (uint32_t)E_FAIL);
        m_done = a.body.size();
        Finish(KDS_STATUS_SUCCEEDED, KDS_ERR_NONE, 0);
    }

    FakeTransport* m_owner;
    std::string m_url, m_saveDir, m_fileName;
    std::thread m_thread;
    std::atomic<bool> m_abort{false};
    std::atomic<uint32_t> m_status{KDS_STATUS_CREATED};
    std::atomic<uint64_t> m_size{0}, m_done{0};
    std::atomic<uint32_t> m_error{0}, m_errorExt{0};
};

class FakeDownloadService : public IKDownloadService, public KSimpleUnknownImpl {
public:
    explicit FakeDownloadService(FakeTransport* owner) : m_owner(owner) {}
    virtual ~FakeDownloadService() = default;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv || riid != IID_IKDownloadService) return E_NOINTERFACE;
        *ppv = static_cast<IKDownloadService*>(this);
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return addRefImpl(); }
    uint32_t Release() override {
        uint32_t n = releaseImpl();
        if (n == 0) delete this;
        return n;
    }
    HRESULT createSession(const char* cszUrl, const wchar_t*, const wchar_t* wszSaveDir, const wchar_t* wszFileName,
                          IKDownloadSession** ppSession) override {
        std::string target;
        if (!cszUrl || !wszSaveDir || !ppSession) return E_INVALIDARG;
        if (!TargetOf(cszUrl, &target)) return E_FAIL;
        // The name is used as given, like the library does: a '\\' in it is no separator here.
        std::string name = wszFileName ? QN_WideToUtf8(wszFileName) : fs::path(target).filename().string();
        FakeSession* s = new FakeSession(m_owner, cszUrl, QN_WideToUtf8(wszSaveDir), name);
        s->AddRef();
        *ppSession = s;
        return S_OK;
    }

private:
    FakeTransport* m_owner;
};

}  // namespace

FakeTransport::FakeTransport(std::string docroot, FakeTailMode tail) : m_docroot(std::move(docroot)), m_tail(tail) {
    m_http = new FakeHttpService(this);
    m_http->AddRef();
    m_download = new FakeDownloadService(this);
    m_download->AddRef();
    m_loop = std::thread([this] { Loop(); });
}

FakeTransport::~FakeTransport() {
    Uninstall();
    Stop();
    m_http->Release();
    m_download->Release();
}

void FakeTransport::AddRule(const FakeRule& rule) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.push_back(rule);
    m_hits.push_back(0);
}

std::vector<FakeRequest> FakeTransport::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void FakeTransport::ClearRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

std::vector<std::string> FakeTransport::RangesFor(const std::string& suffix) const {
    std::vector<std::string> out;
    for (const FakeRequest& r : Requests())
        if (EndsWith(r.path, suffix)) out.push_back(r.range);
    return out;
}

size_t FakeTransport::CountFor(const std::string& suffix) const { return RangesFor(suffix).size(); }

void FakeTransport::Install() { g_installed.store(this); }

void FakeTransport::Uninstall() {
    FakeTransport* self = this;
    g_installed.compare_exchange_strong(self, nullptr);
}

HRESULT FakeTransport::GetService(REFIID riid, void** ppvOut) {
    if (!ppvOut) return E_INVALIDARG;
    *ppvOut = nullptr;
    FakeTransport* t = g_installed.load();
    if (!t) return E_FAIL;
    if (riid == IID_IKHttpService) {
        t->m_http->AddRef();
        *ppvOut = t->m_http;
        return S_OK;
    }
    if (riid == IID_IKDownloadService) {
        t->m_download->AddRef();
        *ppvOut = t->m_download;
        return S_OK;
    }
    return E_NOINTERFACE;
}

void FakeTransport::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    if (m_loop.joinable()) m_loop.join();
}

void FakeTransport::Post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_cv.notify_all();
}

void FakeTransport::Loop() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [this] { return m_stop || !m_tasks.empty(); });
            if (m_tasks.empty()) return;  // stopping with nothing left
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();  // a pending request still gets its (cut short) answer while stopping
    }
}

bool FakeTransport::Sleep(uint32_t ms, const std::atomic<bool>* pbCancel) {
    return !qn::test::WaitUntil([&] { return m_stop || (pbCancel && *pbCancel); }, ms, 5);
}

void FakeTransport::Log(const FakeRequest& r) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(r);
}

FakeTransport::Answer FakeTransport::Resolve(const std::string& method, const std::string& url, const std::string& range,
                                             bool session) {
    m_begun++;
    Answer a;
    std::string target;
    TargetOf(url, &target);
    std::optional<qn::test::RequestPath> mapped = qn::test::MapRequestPath(target.substr(0, target.find('?')));
    if (!mapped) {
        a.status = 400;
        return a;
    }
    a.tail = mapped->tail;
    const std::string merged = a.tail && m_tail == FakeTailMode::Strip ? mapped->untailed : mapped->path;
    a.path = merged;

    // Fault rules, in the order added; each with its own hit count.
    std::vector<FakeRule> apply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < m_rules.size(); ++i) {
            const FakeRule& r = m_rules[i];
            if (!EndsWith(merged, r.pathSuffix)) continue;
            if (!r.range.empty() && r.range != range) continue;
            if (r.tail >= 0 && (r.tail == 1) != a.tail) continue;
            if (r.times >= 0 && m_hits[i] >= r.times) continue;
            ++m_hits[i];
            apply.push_back(r);
        }
    }
    (void)method;
    (void)session;
    if (a.tail && m_tail == FakeTailMode::NotFound) {
        a.status = 404;
        return a;
    }
    bool ignoreRange = false, longBody = false;
    int64_t shortBody = -1;
    std::vector<std::pair<uint64_t, uint8_t>> corrupt;
    for (const FakeRule& r : apply) {
        switch (r.action) {
            case FakeRule::Status: a.status = r.status; a.body = "status " + std::to_string(r.status) + "\n";
                a.announced = a.body.size();
                if (a.status / 100 != 2) return a;
                break;
            case FakeRule::IgnoreRange: ignoreRange = true; break;
            case FakeRule::ShortBody: shortBody = (int64_t)r.k; break;
            case FakeRule::LongBody: longBody = true; break;
            case FakeRule::CorruptByte: corrupt.push_back({r.k, r.xorMask}); break;
            case FakeRule::Delay: a.delayMs += r.delayMs; break;
            case FakeRule::CloseNoResponse: a.status = 0; return a;
        }
    }
    if (merged.find("/../") != std::string::npos || EndsWith(merged, "/..")) {
        a.status = 403;
        return a;
    }
    std::error_code ec;
    std::string file = m_docroot + merged;
    if (!fs::is_regular_file(file, ec)) {
        a.status = 404;
        a.body = "not found\n";
        a.announced = a.body.size();
        return a;
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string content = ss.str();
    uint64_t first = 0;
    uint64_t av = 0, bv = 0;
    bool hasEnd = false;
    if (!range.empty() && !ignoreRange && ParseRange(range, &av, &bv, &hasEnd)) {
        if (av >= content.size()) {
            a.status = 416;
            return a;
        }
        if (!hasEnd || bv >= content.size()) bv = content.size() - 1;
        first = av;
        a.status = 206;
        a.body = content.substr(av, bv - av + 1);
        a.contentRange = "bytes " + std::to_string(av) + "-" + std::to_string(bv) + "/" + std::to_string(content.size());
    } else {
        a.status = 200;
        a.body = content;
    }
    for (const auto& [off, mask] : corrupt)
        if (off >= first && off < first + a.body.size()) a.body[off - first] = (char)((uint8_t)a.body[off - first] ^ mask);
    a.announced = a.body.size();
    if (longBody) a.body.push_back('L');
    if (shortBody >= 0 && (uint64_t)shortBody < a.body.size()) {
        a.body.resize(shortBody);
        a.dropAfterBody = true;
    }
    return a;
}

}  // namespace qn::kit
