// A recording response handler and status callback for tests of the HTTP engine and clients.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "IKHttp.h"
#include "qn_platform.h"

namespace qn::httptest {

// Slots a handler can refuse.
enum class Slot { None, Status, Header, HeadersComplete, Body };

// Records every call with its thread; refuses (returns -1) at a chosen slot.
class RecordingHandler : public KHttpResponseHandlerBase {
public:
    explicit RecordingHandler(Slot refuseAt = Slot::None, std::atomic<int>* destroyed = nullptr)
        : m_refuseAt(refuseAt), m_destroyed(destroyed) {}
    ~RecordingHandler() override {
        if (m_destroyed) m_destroyed->fetch_add(1);
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IKHttpResponseHandler)) {
            *ppv = static_cast<IKHttpResponseHandler*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t AddRef() override { return ++m_refs; }
    uint32_t Release() override {
        uint32_t n = --m_refs;
        if (n == 0) delete this;
        return n;
    }

    int32_t onError() override { return record("error", 0); }
    int32_t onStatus(int code) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_status = code;
        return recordLocked("status:" + std::to_string(code), m_refuseAt == Slot::Status);
    }
    int32_t onHeader(const char* name, uint32_t nameLen, const char* value, uint32_t valueLen) override {
        std::lock_guard<std::mutex> g(m_mutex);
        if (name[nameLen] != '\0' || value[valueLen] != '\0') m_unterminated = true;
        m_headers.emplace_back(std::string(name, nameLen), std::string(value, valueLen));
        return recordLocked("header:" + std::string(name, nameLen), m_refuseAt == Slot::Header);
    }
    int32_t onHeadersComplete() override { return record("headers", m_refuseAt == Slot::HeadersComplete); }
    int32_t onBody(const uint8_t* data, uint32_t len) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_body.append(reinterpret_cast<const char*>(data), len);
        ++m_bodyCalls;
        if (m_refuseAt == Slot::Body) return recordLocked("body", true);
        m_threads.push_back(QN_GetCurrentThreadId());
        return 0;  // body pieces are not listed one by one
    }
    int32_t onEnd() override { return record("end", 0); }
    // Counted apart from the other events, whose order the tests read.
    int32_t onChunkComplete() override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_chunkEndBody.push_back(m_body.size());
        return 0;
    }
    // The body length delivered at each chunk end.
    std::vector<size_t> chunkEnds() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_chunkEndBody;
    }

    std::vector<std::string> events() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_events;
    }
    std::vector<std::pair<std::string, std::string>> headers() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_headers;
    }
    std::string header(const std::string& name) {
        std::lock_guard<std::mutex> g(m_mutex);
        for (const auto& h : m_headers) {
            if (h.first == name) return h.second;
        }
        return std::string();
    }
    std::string body() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_body;
    }
    std::vector<uint32_t> threads() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_threads;
    }
    int status() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_status;
    }
    bool unterminated() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_unterminated;
    }
    int count(const std::string& event) {
        std::lock_guard<std::mutex> g(m_mutex);
        int n = 0;
        for (const auto& e : m_events) n += e == event ? 1 : 0;
        return n;
    }
    uint32_t refs() const { return m_refs.load(); }
    // Number of onError plus onEnd calls.
    int endings() { return count("error") + count("end"); }

private:
    int32_t record(const std::string& e, bool refuse) {
        std::lock_guard<std::mutex> g(m_mutex);
        return recordLocked(e, refuse);
    }
    int32_t recordLocked(const std::string& e, bool refuse) {
        m_events.push_back(e);
        m_threads.push_back(QN_GetCurrentThreadId());
        return refuse ? -1 : 0;
    }

    std::atomic<uint32_t> m_refs{0};
    std::vector<size_t> m_chunkEndBody;
    Slot m_refuseAt;
    std::atomic<int>* m_destroyed;
    std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::vector<std::pair<std::string, std::string>> m_headers;
    std::vector<uint32_t> m_threads;
    std::string m_body;
    int m_bodyCalls = 0;
    int m_status = 0;
    bool m_unterminated = false;
};

// Records the connection progress calls.
class RecordingStatus : public KHttpStatusCallbackBase {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IKHttpStatusCallback)) {
            *ppv = static_cast<IKHttpStatusCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t AddRef() override { return ++m_refs; }
    uint32_t Release() override {
        uint32_t n = --m_refs;
        if (n == 0) delete this;
        return n;
    }
    void onConnect(const char* host, bool isNew) override {
        add(std::string(isNew ? "connect-new:" : "connect-reused:") + host);
    }
    void onServerAddress(const char* address) override { add(std::string("address:") + address); }
    void onSent(uint32_t bytes) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_sent += bytes;
        m_sends.push_back({std::chrono::steady_clock::now(), bytes});
    }
    void onReceived(uint32_t bytes) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_received += bytes;
    }
    void onDisconnect() override { add("disconnect"); }

    std::vector<std::string> events() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_events;
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_events.clear();
    }
    uint64_t sent() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_sent;
    }
    // Every completed send, in order: when it completed and its byte count.
    std::vector<std::pair<std::chrono::steady_clock::time_point, uint32_t>> sends() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_sends;
    }

private:
    void add(const std::string& e) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_events.push_back(e);
    }
    std::atomic<uint32_t> m_refs{0};
    std::mutex m_mutex;
    std::vector<std::string> m_events;
    uint64_t m_sent = 0, m_received = 0;
    std::vector<std::pair<std::chrono::steady_clock::time_point, uint32_t>> m_sends;
};

// Holds one reference on a new object for the scope of a test.
template <class T>
class Ref {
public:
    explicit Ref(T* p) : m_p(p) {
        if (m_p) m_p->AddRef();
    }
    ~Ref() {
        if (m_p) m_p->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }

private:
    T* m_p;
};

}  // namespace qn::httptest
