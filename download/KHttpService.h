// The HTTP service and its clients: the library's implementation of IKHttpService and
// IKHttpClient.
#pragma once

#include <atomic>
#include <mutex>
#include <set>

#include "IKHttp.h"
#include "KHttpRequest.h"

class EventLoop;
class LoopCore;
class TimerHandle;

// One request, run synchronously or asynchronously.
class KHttpClient : public IKHttpClient, public KSimpleUnknownImpl {
public:
    KHttpClient() = default;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override { return addRefImpl(); }
    // At 0 a running request is cancelled and waited for before the client is destroyed.
    uint32_t Release() override;

    HRESULT addHeader(const char* pszName, const char* pszValue) override;
    HRESULT setBody(const void* pvData, uint32_t uLen) override;
    // E_FAIL also for a synchronous execute on the event-loop thread, which would wait on
    // itself.
    HRESULT execute() override;
    HRESULT cancel() override;
    bool wait(uint32_t uMilliseconds) override;

    // Sets up the request inline: no limiter, no status callback.
    bool setup(uint32_t uRequestBufferSize, int32_t nMethod, const char* pszUrl, IKHttpResponseHandler* pHandler,
               bool bAsync);
    KHttpRequest& request() { return m_request; }
    // Not running and nothing of it left on the loop: safe to destroy on any thread.
    bool isIdle() const { return !m_request.isRunning() && m_request.tasksInFlight() == 0; }

private:
    virtual ~KHttpClient() = default;

    KHttpRequest m_request;
    bool m_bAsync = false;
};

class KHttpService : public IKHttpService, public KSimpleUnknownImpl {
public:
    KHttpService() = default;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override { return addRefImpl(); }
    uint32_t Release() override;

    HRESULT createClient(uint32_t uRequestBufferSize, int32_t nMethod, const char* pszUrl,
                         IKHttpResponseHandler* pHandler, bool bAsync, IKHttpClient** ppRetClient) override;
    // E_INVALIDARG for null. A client already held gives back the extra reference.
    HRESULT addClient(IKHttpClient* pClient) override;

    // Starts the one-second sweep on the library's loop. S_OK.
    HRESULT init();
    // Stops the sweep, then cancels and releases every held client. Call it before the loop
    // stops.
    void uninit();

    // Held clients (tests).
    size_t heldCount();

private:
    virtual ~KHttpService() = default;
    static void onSweep(TimerHandle* pTimer);
    void sweep();

    std::mutex m_lock;  // guards m_clients
    std::set<IKHttpClient*> m_clients;
    EventLoop* m_pLoop = nullptr;
    TimerHandle* m_pSweepTimer = nullptr;  // loop thread only
    std::atomic<int32_t> m_nTasksInFlight{0};
    bool m_bInitialised = false;
};
