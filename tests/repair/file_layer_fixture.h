// Fixtures of the file-layer tests: a wide log stream that keeps the lines, and a test base
// that starts from empty object pools and checks that every descriptor, mapping and view is
// given back at the end.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "QN_LogStream.h"
#include "qn_test_hooks.h"
#include "qn_test_env.h"
#include "repair_test_hooks.h"

namespace qn::test {

// Registered for its lifetime; keeps every wide line written meanwhile.
class WideLineCapture : public IQN_LogStream {
public:
    WideLineCapture() : m_lRefCount(1) {
        m_hPrevious = gs_hLogStream;
        m_hHandle = QN_RegisterLogStream(this);
    }
    ~WideLineCapture() {
        QN_LOG_STREAM_HANDLE hKeep = gs_hLogStream;
        gs_hLogStream = m_hHandle;
        QN_UnregisterLogStream();
        gs_hLogStream = hKeep == m_hHandle ? m_hPrevious : hKeep;
    }
    WideLineCapture(const WideLineCapture&) = delete;
    WideLineCapture& operator=(const WideLineCapture&) = delete;

    HRESULT QueryInterface(REFIID, void**) override { return E_FAIL; }
    uint32_t AddRef() override { return (uint32_t)++m_lRefCount; }
    uint32_t Release() override { return (uint32_t)--m_lRefCount; }  // lives on the stack
    HRESULT Write(const wchar_t* cwszText) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Lines.emplace_back(cwszText);
        return S_OK;
    }

    std::vector<std::wstring> Lines() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Lines;
    }
    // Lines that contain the text.
    size_t Count(const std::wstring& text) {
        size_t n = 0;
        for (const std::wstring& line : Lines()) {
            if (line.find(text) != std::wstring::npos) ++n;
        }
        return n;
    }
    bool Has(const std::wstring& text) { return Count(text) > 0; }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Lines.clear();
    }
    // All lines, for failure messages.
    std::string Dump() {
        std::string s;
        for (const std::wstring& line : Lines()) s += std::string(line.begin(), line.end()) + "\n";
        return s;
    }

private:
    std::atomic<int32_t> m_lRefCount;
    std::mutex m_Mutex;
    std::vector<std::wstring> m_Lines;
    QN_LOG_STREAM_HANDLE m_hHandle = nullptr;
    QN_LOG_STREAM_HANDLE m_hPrevious = nullptr;
};

inline uint64_t LiveMappings() {
    auto s = qn::testing::GetFileMappingPoolStats();
    return s.ullCreated - s.ullDestroyed - s.uParked;
}
inline uint64_t LiveViews() {
    auto s = qn::testing::GetFileBufferPoolStats();
    return s.ullCreated - s.ullDestroyed - s.uParked;
}

// Starts from empty pools; at the end every descriptor, mapping object and view must be back.
class FileLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        qn::testing::DrainFileLayerPools();
        m_nFdsAtStart = CountOpenFds();
        m_ullMappingsAtStart = LiveMappings();
        m_ullViewsAtStart = LiveViews();
        m_llPlatformViewsAtStart = qn::testing::LiveMappingViews();
        m_llPlatformMappingsAtStart = qn::testing::LiveFileMappings();
    }
    void TearDown() override {
        qn::testing::SetFileLayerObjectShortage(false, false);
        qn::testing::SetFileViewMappedHook(nullptr);
        EXPECT_EQ(LiveViews(), m_ullViewsAtStart) << "views still held";
        EXPECT_EQ(LiveMappings(), m_ullMappingsAtStart) << "mappings still held";
        EXPECT_EQ(qn::testing::LiveMappingViews(), m_llPlatformViewsAtStart) << "views still mapped";
        EXPECT_EQ(qn::testing::LiveFileMappings(), m_llPlatformMappingsAtStart) << "mapping objects still open";
        EXPECT_EQ(CountOpenFds(), m_nFdsAtStart) << "descriptors still open";
        qn::testing::DrainFileLayerPools();
    }

    WideLineCapture m_Log;
    TempDir m_Dir;
    int m_nFdsAtStart = 0;
    uint64_t m_ullMappingsAtStart = 0;
    uint64_t m_ullViewsAtStart = 0;
    int64_t m_llPlatformViewsAtStart = 0;
    int64_t m_llPlatformMappingsAtStart = 0;
};

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Bytes that differ from position to position and from their neighbours' offsets.
inline std::string PatternBytes(size_t uSize, uint32_t uSeed = 1) {
    std::string s(uSize, '\0');
    uint32_t x = uSeed * 2654435761u + 1;
    for (size_t i = 0; i < uSize; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 24);
    }
    return s;
}

}  // namespace qn::test
