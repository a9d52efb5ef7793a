// Wide log streams: up to 64 registered receivers of wide log text, and the adapter that
// forwards wide text into the text log at level 7.
#pragma once

#include <atomic>
#include <cstdint>

#include "qn_com.h"

struct IQN_LogStream : IUnknown {
    virtual HRESULT Write(const wchar_t* cwszText) = 0;
};

typedef IQN_LogStream* QN_LOG_STREAM_HANDLE;

// The handle of the stream the repair engine registered; QN_UnregisterLogStream removes it.
extern QN_LOG_STREAM_HANDLE gs_hLogStream;

QN_LOG_STREAM_HANDLE QN_RegisterLogStream(IQN_LogStream* piStream);
int QN_UnregisterLogStream();
int QN_LogPrintfW(const wchar_t* cwszFormat, ...);

// Forwards each wide text to QNLog_Printf at level 7, as UTF-8.
class QN_PlatformLogAdapter final : public IQN_LogStream {
public:
    QN_PlatformLogAdapter();
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    HRESULT Write(const wchar_t* cwszText) override;

private:
    ~QN_PlatformLogAdapter() = default;
    std::atomic<int32_t> m_nRefCount;
};
