#include "KDownload.h"

#include <mutex>
#include <new>
#include <string>

#include "KClientIdentity.h"
#include "KDownloadCore.h"
#include "KDownloadLibrary.h"
#include "KDownloadSession.h"
#include "KHttpService.h"
#include "KSessionLog.h"
#include "download_test_hooks.h"
#include "qn_socket.h"

#ifndef QN_DOWNLOAD_REPORT_HOST
#define QN_DOWNLOAD_REPORT_HOST ""
#endif

namespace {

class KDownloadService : public IKDownloadService, public KSimpleUnknownImpl {
public:
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (!ppvObject) return E_INVALIDARG;
        *ppvObject = nullptr;
        if (riid != IID_IKDownloadService) return E_NOINTERFACE;
        AddRef();
        *ppvObject = static_cast<IKDownloadService*>(this);
        return S_OK;
    }
    uint32_t AddRef() override { return addRefImpl(); }
    uint32_t Release() override {
        uint32_t uRef = releaseImpl();
        if (uRef == 0) delete this;
        return uRef;
    }
    HRESULT createSession(const char* cszUrl, const wchar_t* wszChecksumFile, const wchar_t* wszSaveDir,
                          const wchar_t* wszFileName, IKDownloadSession** ppSession) override {
        if (!cszUrl || !wszSaveDir || !ppSession) return E_INVALIDARG;
        KDownloadSession* pSession = new (std::nothrow) KDownloadSession;
        if (!pSession) return E_OUTOFMEMORY;
        pSession->AddRef();
        HRESULT hr = pSession->init(cszUrl, wszChecksumFile, wszSaveDir, wszFileName);
        if (FAILED(hr)) {
            pSession->Release();
            return hr;
        }
        *ppSession = pSession;
        return S_OK;
    }

private:
    virtual ~KDownloadService() = default;
};

struct LibraryState {
    std::mutex lock;
    bool bStarted = false;
    KDownloadService* pDownloadService = nullptr;
    KHttpService* pHttpService = nullptr;
    std::string sReportEndpoint = QN_DOWNLOAD_REPORT_HOST;
};

LibraryState& State() {
    static LibraryState* s_pState = new LibraryState;  // never destroyed
    return *s_pState;
}

void StopCore() {
    KDownloadCoreStop();
    QN_NetCleanup();
}

}  // namespace

HRESULT KDownloadInit() {
    LibraryState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    if (st.bStarted) return E_FAIL;
    KLoggerLoad();
    loadClientIdentity();
    if (qn::testing::FailInitAt(1) || !QN_NetStartup()) return E_FAIL;
    if (qn::testing::FailInitAt(2) || !QN_NetProbe()) {
        QN_NetCleanup();
        return E_FAIL;
    }
    if (qn::testing::FailInitAt(3) || !KDownloadCoreStart()) {
        QN_NetCleanup();
        return E_FAIL;
    }
    KDownloadService* pDownload = qn::testing::FailInitAt(4) ? nullptr : new (std::nothrow) KDownloadService;
    if (!pDownload) {
        StopCore();
        return E_OUTOFMEMORY;
    }
    pDownload->AddRef();
    KHttpService* pHttp = qn::testing::FailInitAt(5) ? nullptr : new (std::nothrow) KHttpService;
    if (!pHttp) {
        pDownload->Release();
        StopCore();
        return E_OUTOFMEMORY;
    }
    pHttp->AddRef();
    HRESULT hr = pHttp->init();
    if (FAILED(hr)) {
        pHttp->Release();
        pDownload->Release();
        StopCore();
        return hr;
    }
    st.pDownloadService = pDownload;
    st.pHttpService = pHttp;
    st.bStarted = true;
    return S_OK;
}

HRESULT KDownloadGetService(REFIID riid, void** ppvOut) {
    if (!ppvOut) return E_INVALIDARG;
    *ppvOut = nullptr;
    LibraryState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    if (riid != IID_IKDownloadService && riid != IID_IKHttpService) return E_NOINTERFACE;
    if (!st.bStarted) return E_FAIL;
    if (riid == IID_IKDownloadService) {
        st.pDownloadService->AddRef();
        *ppvOut = static_cast<IKDownloadService*>(st.pDownloadService);
    } else {
        st.pHttpService->AddRef();
        *ppvOut = static_cast<IKHttpService*>(st.pHttpService);
    }
    return S_OK;
}

HRESULT KDownloadUninit() {
    LibraryState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    if (!st.bStarted) return S_OK;
    st.pDownloadService->Release();
    st.pDownloadService = nullptr;
    st.pHttpService->uninit();
    st.pHttpService->Release();
    st.pHttpService = nullptr;
    StopCore();
    st.bStarted = false;
    return S_OK;
}

void KDownloadSetReportEndpoint(const char* cszHostAndPort) {
    LibraryState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    st.sReportEndpoint = cszHostAndPort ? cszHostAndPort : "";
}

IKHttpService* KAcquireHttpService() {
    LibraryState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    if (!st.bStarted || !st.pHttpService) return nullptr;
    st.pHttpService->AddRef();
    return st.pHttpService;
}

std::string KGetReportEndpoint() {
    LibraryState& st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    return st.sReportEndpoint;
}
