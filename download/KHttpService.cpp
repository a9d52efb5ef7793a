#include "KHttpService.h"

#include <new>
#include <vector>

#include "event_loop.h"
#include "qn_platform.h"

// ---------------------------------------------------------------------------------------------
// KHttpClient

HRESULT KHttpClient::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IKHttpClient)) {
        *ppvObject = static_cast<IKHttpClient*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

uint32_t KHttpClient::Release() {
    uint32_t uCount = releaseImpl();
    // The request's destructor cancels a running request and waits for it.
    if (uCount == 0) delete this;
    return uCount;
}

bool KHttpClient::setup(uint32_t uRequestBufferSize, int32_t nMethod, const char* pszUrl,
                        IKHttpResponseHandler* pHandler, bool bAsync) {
    m_bAsync = bAsync;
    return m_request.init(uRequestBufferSize, nullptr, pHandler, nullptr) && m_request.open(nMethod, pszUrl);
}

HRESULT KHttpClient::addHeader(const char* pszName, const char* pszValue) {
    return m_request.addHeader(pszName, pszValue) ? S_OK : E_FAIL;
}

HRESULT KHttpClient::setBody(const void* pvData, uint32_t uLen) {
    return m_request.setBody(pvData, uLen) ? S_OK : E_FAIL;
}

HRESULT KHttpClient::execute() {
    if (!m_bAsync && EventLoop::instance().isLoopThread()) return E_FAIL;
    if (!m_request.send()) return E_FAIL;
    if (!m_bAsync) m_request.waitDone(Event::kInfinite);
    return S_OK;
}

HRESULT KHttpClient::cancel() { return m_request.cancel() ? S_OK : E_FAIL; }

bool KHttpClient::wait(uint32_t uMilliseconds) {
    if (!m_request.isRunning()) return true;
    return m_request.waitDone(uMilliseconds);
}

// ---------------------------------------------------------------------------------------------
// KHttpService

HRESULT KHttpService::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IKHttpService)) {
        *ppvObject = static_cast<IKHttpService*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

uint32_t KHttpService::Release() {
    uint32_t uCount = releaseImpl();
    if (uCount == 0) delete this;
    return uCount;
}

HRESULT KHttpService::createClient(uint32_t uRequestBufferSize, int32_t nMethod, const char* pszUrl,
                                   IKHttpResponseHandler* pHandler, bool bAsync, IKHttpClient** ppRetClient) {
    if (!ppRetClient) return E_INVALIDARG;
    KHttpClient* pClient = new (std::nothrow) KHttpClient();
    if (!pClient) return E_OUTOFMEMORY;
    pClient->AddRef();
    if (!pClient->setup(uRequestBufferSize, nMethod, pszUrl, pHandler, bAsync)) {
        pClient->Release();
        return E_FAIL;
    }
    *ppRetClient = pClient;
    return S_OK;
}

HRESULT KHttpService::addClient(IKHttpClient* pClient) {
    if (!pClient) return E_INVALIDARG;
    bool bInserted;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        bInserted = m_clients.insert(pClient).second;
    }
    // The set holds one reference per client: a second hand-over gives its reference back.
    if (!bInserted) pClient->Release();
    return S_OK;
}

HRESULT KHttpService::init() {
    if (m_bInitialised) return S_OK;
    m_pLoop = &EventLoop::instance();
    m_bInitialised = true;
    m_nTasksInFlight.fetch_add(1, std::memory_order_acq_rel);
    m_pLoop->post([this](LoopCore* pCore, bool bRun) {
        if (bRun && pCore) {
            m_pSweepTimer = TimerHandle::create(pCore, this);
            if (m_pSweepTimer && m_pSweepTimer->start(true, &KHttpService::onSweep, 1, 0) != kOpStarted) {
                m_pSweepTimer->close();
                m_pSweepTimer = nullptr;
            }
        }
        m_nTasksInFlight.fetch_sub(1, std::memory_order_acq_rel);
    });
    return S_OK;
}

void KHttpService::uninit() {
    if (!m_bInitialised) return;
    m_bInitialised = false;
    m_nTasksInFlight.fetch_add(1, std::memory_order_acq_rel);
    m_pLoop->post([this](LoopCore* pCore, bool) {
        if (m_pSweepTimer) {
            // With no core the loop that owned the timer is gone: the handle is only freed.
            if (pCore) {
                m_pSweepTimer->close();
            } else {
                delete m_pSweepTimer;
            }
            m_pSweepTimer = nullptr;
        }
        m_nTasksInFlight.fetch_sub(1, std::memory_order_acq_rel);
    });
    while (m_nTasksInFlight.load(std::memory_order_acquire) != 0) QN_Sleep(1);
    std::vector<IKHttpClient*> clients;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        clients.assign(m_clients.begin(), m_clients.end());
        m_clients.clear();
    }
    // Outside the lock: releasing a running client waits for the loop to end its request.
    for (IKHttpClient* pClient : clients) {
        pClient->cancel();
        pClient->Release();
    }
}

size_t KHttpService::heldCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_clients.size();
}

void KHttpService::onSweep(TimerHandle* pTimer) { static_cast<KHttpService*>(pTimer->context())->sweep(); }

void KHttpService::sweep() {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        IKHttpClient* pClient = *it;
        // Only a client with nothing left on the loop may be released here: releasing one
        // that still has a task in flight would wait on the loop thread for the loop thread.
        KHttpClient* pOwn = dynamic_cast<KHttpClient*>(pClient);
        bool bIdle = pOwn ? pOwn->isIdle() : pClient->wait(0);
        if (bIdle) {
            pClient->Release();
            it = m_clients.erase(it);
        } else {
            ++it;
        }
    }
}
