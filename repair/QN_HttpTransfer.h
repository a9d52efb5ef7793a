// Transfer helpers of the repair engine, on top of the download library: byte ranges of one
// remote file into the caller's buffers (QN_HttpBlockDownloader with its response handler
// SimpleHttpHandler), one whole file to disk through a download session
// (_QN_HttpSyncDownloadFile), and the two string helpers they share.
//
// All of them block the calling thread until they are done. Each can be given a stop test: the
// block downloader tests it before every run and attempt and while a request runs (it then
// cancels the request), the whole-file download while it polls (it then aborts its session and
// waits for it to end).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "IKDownloadSession.h"
#include "IKHttp.h"

// The library entry that hands out the download services (KDownloadGetService). The
// application stores it at start-up; null before, and then no transfer can start.
typedef HRESULT (*QN_PFN_KDOWNLOAD_GET_SERVICE)(REFIID riid, void** ppvOut);
extern std::atomic<QN_PFN_KDOWNLOAD_GET_SERVICE> g_pfnKDownloadGetService;

// True when the caller wants the transfer to stop.
typedef std::function<bool()> QN_TransferStopTest;

// The response handler of the block downloader: keeps the HTTP status and collects the body of
// a 200 or 206 answer into a buffer of fixed size that it does not own. Its count starts at 0;
// its creator AddRefs it once.
class SimpleHttpHandler : public KHttpResponseHandlerBase, public KSimpleUnknownImpl {
public:
    SimpleHttpHandler(uint8_t* pbyBuffer, uint32_t uBufferSize);
    ~SimpleHttpHandler() override;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    int32_t onError() override;
    int32_t onStatus(int nStatusCode) override;
    int32_t onHeader(const char* pszName, uint32_t uNameLen, const char* pszValue, uint32_t uValueLen) override;
    int32_t onBody(const uint8_t* pbyData, uint32_t uLen) override;

    // True when a 206 answer's Content-Range names exactly the bytes [ullStart, ullStart +
    // uSize) of the file.
    bool RangeIs(uint64_t ullStart, uint32_t uSize) const;

    // Written on the library's loop thread, read by the caller after execute has returned.
    int m_nHttpStatus;
    uint8_t* m_pbyBuffer;
    uint32_t m_uBufferSize;
    uint32_t m_uReceivedSize;
    // Set when the request ended in failure, a body longer than the buffer included: the
    // bytes collected before then are not a whole answer.
    bool m_bRequestFailed;
    // The Content-Range value of the answer ("" when it had none).
    std::string m_strContentRange;

    // From now on the handler owns its buffer and frees it when it is destroyed: for a
    // request that may still write into the buffer after its caller has given up on it.
    void AdoptBuffer();

private:
    uint8_t* m_pbyOwnedBuffer;
};

class QN_HttpBlockDownloader {
public:
    struct BlockInfo {
        uint64_t ullOffset;
        uint32_t uSize;
        void* pvRetBuffer;
    };

    // The longest run joined into one request; a longer run is split at a block boundary.
    static constexpr uint32_t kMaxRunSize = 64u * 1024u * 1024u;
    static constexpr uint32_t kMaxAttempts = 5;

    QN_HttpBlockDownloader();
    ~QN_HttpBlockDownloader();
    QN_HttpBlockDownloader(const QN_HttpBlockDownloader&) = delete;
    QN_HttpBlockDownloader& operator=(const QN_HttpBlockDownloader&) = delete;

    // Stores the URL (sent as given), empties the block list and gets the HTTP service. A
    // service reference held from an earlier Init is given back first.
    int Init(const char* cszFileURL);
    int AddBlock(uint64_t ullOffset, uint32_t uSize, void* pvRetBuffer);
    // Fetches every block into its buffer. The list stays in place, sorted by offset.
    int Download();
    // Tested before each run and each attempt, and every 20 ms while a request runs; a true
    // result cancels the running request and fails the download at once. Without a stop test
    // each request runs to its end.
    void SetStopTest(QN_TransferStopTest fnStop) { m_fnStop = std::move(fnStop); }

    std::vector<BlockInfo> m_BlockInfoVector;
    // Gives back the service reference taken by Init (also done by the next Init and by the
    // destructor).
    void ReleaseService();

    // One reference from Init, held until ReleaseService, the next Init or the destructor.
    IKHttpService* m_repairDlService;

private:
    int _SyncDownloadBlock(uint32_t* puBlockIndex);
    // Waits for an executed asynchronous request, testing the stop test between short waits.
    // 1 when it has ended; 0 when a stop was asked for (the request was then cancelled and
    // waited for, within a bound).
    int _WaitForRequest(IKHttpClient* piClient);
    bool _StopRequested() const { return m_fnStop && m_fnStop(); }

    std::string m_strFileURL;
    QN_TransferStopTest m_fnStop;
};

// Downloads url into saveDir under fileName: first with the cache-defeating tail, then without
// it. 1 when the file is there, else 0. The stop test (when given) and the no-progress limit
// abort the running session; the call then waits for the session to end and returns 0.
inline constexpr uint32_t QN_SYNC_DOWNLOAD_NO_PROGRESS_LIMIT_MS = 300000;
int _QN_HttpSyncDownloadFile(const char* cszFileURL, const wchar_t* cwszSaveDir, const wchar_t* cwszFileName,
                             const QN_TransferStopTest& fnStop = QN_TransferStopTest(),
                             uint32_t uNoProgressLimitMs = QN_SYNC_DOWNLOAD_NO_PROGRESS_LIMIT_MS);

// Percent-escapes every byte except ASCII letters and digits and - _ . ~ : \ /; a blank
// becomes "%20".
std::string _EscapeURL(const std::string& strIn);

// "/" + the current time in seconds (as a signed 32-bit number) + ".RefreshEveryTime".
int _GenerateRefreshEveryTimeString(std::string* pRetString);
