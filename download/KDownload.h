// The download library's entry points and public interfaces.
#pragma once

#include "IKDownloadSession.h"
#include "IKHttp.h"

// Starts the library: the logger link, the client identity, the event loop, the connection
// cache, the speed limiter module, the name resolver and the two services. S_OK, E_FAIL
// (also while the library is already started; nothing changes then) or E_OUTOFMEMORY.
HRESULT KDownloadInit();
// IID_IKDownloadService or IID_IKHttpService: that service with one reference for the caller.
// E_NOINTERFACE for another IID, E_FAIL while the library is stopped, E_INVALIDARG for a null
// output. *ppvOut is cleared first.
HRESULT KDownloadGetService(REFIID riid, void** ppvOut);
// Stops everything Init started, in reverse order; waits for the library's threads. Does
// nothing while the library is stopped. Sessions and clients still held are not touched.
HRESULT KDownloadUninit();

// Where download reports go: "host" (port 6015) or "host:port"; empty turns reports off. The
// built-in default comes from the build (QN_DOWNLOAD_REPORT_HOST).
void KDownloadSetReportEndpoint(const char* cszHostAndPort);
