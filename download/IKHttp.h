// The download library's public HTTP interfaces: the HTTP service that makes clients, the
// client that runs one request, the caller's response handler and the connection-progress
// callback, with their fixed IIDs and the shared reference-count base.
//
// Slot order is the declaration order. Every object is constructed with a count of 0 and its
// creator AddRefs it once; an object handed out carries exactly one reference.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qn_com.h"

// Request methods of createClient and KHttpRequest::open.
enum : int32_t {
    KHTTP_METHOD_GET = 1,
    KHTTP_METHOD_HEAD = 2,
    KHTTP_METHOD_POST = 3,
};

// The longest URL, in bytes, that a request of the library takes (a client's or a download
// session's): offsets inside a parsed URL are 16-bit.
inline constexpr size_t KHTTP_MAX_URL_LENGTH = 65535;

// {B111D971-B19E-4E31-945D-3733EE701A0D}
inline constexpr QN_GUID IID_IKHttpService = {0xB111D971, 0xB19E, 0x4E31, {0x94, 0x5D, 0x37, 0x33, 0xEE, 0x70, 0x1A, 0x0D}};
// {335946BC-6871-455D-A0C7-EBB3D2E6E71B}
inline constexpr QN_GUID IID_IKHttpClient = {0x335946BC, 0x6871, 0x455D, {0xA0, 0xC7, 0xEB, 0xB3, 0xD2, 0xE6, 0xE7, 0x1B}};
// {20D32B5C-793E-4B44-B351-88919EB4E911}
inline constexpr QN_GUID IID_IKHttpResponseHandler = {0x20D32B5C, 0x793E, 0x4B44, {0xB3, 0x51, 0x88, 0x91, 0x9E, 0xB4, 0xE9, 0x11}};
// {42A5EE5C-C0E2-4ED6-B088-E80D35AB150F}
inline constexpr QN_GUID IID_IKHttpStatusCallback = {0x42A5EE5C, 0xC0E2, 0x4ED6, {0xB0, 0x88, 0xE8, 0x0D, 0x35, 0xAB, 0x15, 0x0F}};

// The caller's view of a response. Every call comes on the event-loop thread. A result below 0
// from onStatus, onHeader, onHeadersComplete or onBody refuses the response: the request ends
// with client error 6 and onError. Exactly one of onError and onEnd ends every executed request.
struct IKHttpResponseHandler : public IUnknown {
    virtual int32_t onError() = 0;
    virtual int32_t onStatus(int nStatusCode) = 0;
    // Each header once, joined; both texts are NUL-terminated as well as counted.
    virtual int32_t onHeader(const char* pszName, uint32_t uNameLen, const char* pszValue, uint32_t uValueLen) = 0;
    virtual int32_t onHeadersComplete() = 0;
    virtual int32_t onBody(const uint8_t* pbyData, uint32_t uLen) = 0;
    virtual int32_t onEnd() = 0;
    virtual ~IKHttpResponseHandler() = default;
    // A chunked body: the chunk whose data came last has ended where its size line said (its
    // closing CR LF was read), so every body byte delivered so far is where the server put it.
    // A result below 0 refuses the response as onBody's does.
    virtual int32_t onChunkComplete() = 0;
};

// Connection progress of a request, on the event-loop thread.
struct IKHttpStatusCallback : public IUnknown {
    // bNewConnection is false when an idle kept-alive connection is reused.
    virtual void onConnect(const char* pszHost, bool bNewConnection) = 0;
    // The dotted IPv4 address of the server.
    virtual void onServerAddress(const char* pszAddress) = 0;
    // Never called.
    virtual void onReserved() = 0;
    virtual void onSent(uint32_t uBytes) = 0;
    virtual void onReceived(uint32_t uBytes) = 0;
    virtual void onDisconnect() = 0;
    virtual ~IKHttpStatusCallback() = default;
};

// One HTTP request.
struct IKHttpClient : public IUnknown {
    // S_OK, or E_FAIL when the request text has no room or the request was already closed.
    virtual HRESULT addHeader(const char* pszName, const char* pszValue) = 0;
    virtual HRESULT setBody(const void* pvData, uint32_t uLen) = 0;
    // Starts the request (E_FAIL when it cannot start). A synchronous client returns only
    // after the handler's onEnd or onError. The result does not tell success from failure.
    // A synchronous execute must never be called on the event-loop thread.
    virtual HRESULT execute() = 0;
    // S_OK when a running request was asked to stop (it ends with client error 8).
    virtual HRESULT cancel() = 0;
    // True when the request is not running (also before execute), or ends within uMilliseconds.
    virtual bool wait(uint32_t uMilliseconds) = 0;
};

// Makes clients and holds fire-and-forget ones until they have ended.
struct IKHttpService : public IUnknown {
    // A new client in *ppRetClient (one reference). E_OUTOFMEMORY, or E_FAIL for a method
    // other than GET, HEAD or POST, a URL that is not "http" or has no host, or a request line
    // larger than uRequestBufferSize; *ppRetClient is then left as it was.
    virtual HRESULT createClient(uint32_t uRequestBufferSize, int32_t nMethod, const char* pszUrl,
                                 IKHttpResponseHandler* pHandler, bool bAsync, IKHttpClient** ppRetClient) = 0;
    // Takes over the caller's reference; the client is released once its request has ended.
    virtual HRESULT addClient(IKHttpClient* pClient) = 0;
};

// The reference count shared by the library's objects. It starts at 0; the creator AddRefs.
class KSimpleUnknownImpl {
public:
    uint32_t addRefImpl() { return m_uRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    // The count after the release; the caller destroys the object at 0.
    uint32_t releaseImpl() { return m_uRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    uint32_t refCount() const { return m_uRefCount.load(std::memory_order_acquire); }

protected:
    KSimpleUnknownImpl() = default;
    ~KSimpleUnknownImpl() = default;

private:
    std::atomic<uint32_t> m_uRefCount{0};
};

// Defaults for handlers: every response slot does nothing and returns 0. QueryInterface,
// AddRef and Release are the derived handler's.
class KHttpResponseHandlerBase : public IKHttpResponseHandler {
public:
    int32_t onError() override { return 0; }
    int32_t onStatus(int) override { return 0; }
    int32_t onHeader(const char*, uint32_t, const char*, uint32_t) override { return 0; }
    int32_t onHeadersComplete() override { return 0; }
    int32_t onBody(const uint8_t*, uint32_t) override { return 0; }
    int32_t onEnd() override { return 0; }
    int32_t onChunkComplete() override { return 0; }
};

// Defaults for status callbacks: every slot does nothing.
class KHttpStatusCallbackBase : public IKHttpStatusCallback {
public:
    void onConnect(const char*, bool) override {}
    void onServerAddress(const char*) override {}
    void onReserved() override {}
    void onSent(uint32_t) override {}
    void onReceived(uint32_t) override {}
    void onDisconnect() override {}
};
