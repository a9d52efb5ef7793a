// The registry of wide log streams and the adapter that forwards wide lines to the text log.
#include "QN_LogStream.h"

#include <cstdarg>
#include <cwchar>
#include <string>
#include <mutex>

#include "QN_Log.h"
#include "qn_string.h"

QN_LOG_STREAM_HANDLE gs_hLogStream = nullptr;

namespace {

constexpr size_t QN_LOG_STREAM_SLOTS = 64;
constexpr size_t QN_LOG_WIDE_LINE_SIZE = 1024;

struct QNLogStreamRegistry {
    IQN_LogStream* apStreams[QN_LOG_STREAM_SLOTS] = {};
    // Read without the lock by the fast path of QN_LogPrintfW.
    std::atomic<uint32_t> uCount{0};
    // Re-entrant: a stream's Write or Release may log wide text again.
    std::recursive_mutex Lock;
};

// Never destroyed, so that wide lines stay safe during static destruction.
QNLogStreamRegistry& Registry() {
    static QNLogStreamRegistry* s_pRegistry = new QNLogStreamRegistry;
    return *s_pRegistry;
}

}  // namespace

QN_LOG_STREAM_HANDLE QN_RegisterLogStream(IQN_LogStream* piStream) {
    QNLogStreamRegistry& Reg = Registry();
    if (!piStream) return nullptr;
    std::lock_guard<std::recursive_mutex> Lock(Reg.Lock);
    if (Reg.uCount.load(std::memory_order_relaxed) >= QN_LOG_STREAM_SLOTS) return nullptr;
    for (size_t i = 0; i < QN_LOG_STREAM_SLOTS; ++i) {
        if (!Reg.apStreams[i]) {
            Reg.apStreams[i] = piStream;
            Reg.uCount.fetch_add(1, std::memory_order_relaxed);
            piStream->AddRef();
            return piStream;
        }
    }
    return nullptr;
}

int QN_UnregisterLogStream() {
    QNLogStreamRegistry& Reg = Registry();
    std::lock_guard<std::recursive_mutex> Lock(Reg.Lock);
    IQN_LogStream* piStream = gs_hLogStream;
    if (!piStream || Reg.uCount.load(std::memory_order_relaxed) == 0) return 0;
    for (size_t i = 0; i < QN_LOG_STREAM_SLOTS; ++i) {
        if (Reg.apStreams[i] == piStream) {
            // The slot is emptied before the release: a stream that logs wide text while it is
            // being destroyed must not be written to again.
            Reg.apStreams[i] = nullptr;
            Reg.uCount.fetch_sub(1, std::memory_order_relaxed);
            piStream->Release();
            return 1;
        }
    }
    return 0;
}

int QN_LogPrintfW(const wchar_t* cwszFormat, ...) {
    QN_LastErrorKeeper KeepLastError;
    QNLogStreamRegistry& Reg = Registry();
    wchar_t wszLine[QN_LOG_WIDE_LINE_SIZE];
    va_list Args;

    if (!cwszFormat) return 0;
    if (Reg.uCount.load(std::memory_order_relaxed) == 0) return 1;

    wszLine[0] = L'\0';
    va_start(Args, cwszFormat);
    // A text that does not fit is cut to 1023 characters and terminated.
    QN_vsnwprintf(wszLine, QN_LOG_WIDE_LINE_SIZE, cwszFormat, Args);
    va_end(Args);
    wszLine[QN_LOG_WIDE_LINE_SIZE - 1] = L'\0';

    std::lock_guard<std::recursive_mutex> Lock(Reg.Lock);
    for (size_t i = 0; i < QN_LOG_STREAM_SLOTS; ++i) {
        IQN_LogStream* piStream = Reg.apStreams[i];
        if (piStream) piStream->Write(wszLine);
    }
    return 1;
}

QN_PlatformLogAdapter::QN_PlatformLogAdapter() : m_nRefCount(1) {}

HRESULT QN_PlatformLogAdapter::QueryInterface(REFIID /*riid*/, void** ppvObject) {
    if (ppvObject) *ppvObject = nullptr;
    return E_FAIL;
}

uint32_t QN_PlatformLogAdapter::AddRef() {
    return (uint32_t)(m_nRefCount.fetch_add(1, std::memory_order_relaxed) + 1);
}

uint32_t QN_PlatformLogAdapter::Release() {
    int32_t nCount = m_nRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (nCount == 0) delete this;
    return (uint32_t)nCount;
}

HRESULT QN_PlatformLogAdapter::Write(const wchar_t* cwszText) {
    if (!cwszText) return E_INVALIDARG;
    // The wide text is converted here rather than through the locale, so that the log holds
    // UTF-8 whatever the locale; characters that have no encoding become U+FFFD.
    std::string strText = QN_WideToUtf8(cwszText);
    return QNLog_Printf(7, "%s", strText.c_str()) ? S_OK : E_FAIL;
}
