// Transfer helpers of the repair engine, on top of the download library: byte ranges of one
// remote file into the caller's buffers (QN_HttpBlockDownloader with its response handler
// SimpleHttpHandler), one whole file to disk through a download session
// (_QN_HttpSyncDownloadFile), and the two string helpers they share.
//
// All of them block the calling thread until they are done. Each can be given a stop test: the
// block downloader tests it before every run and attempt and while a request runs (it then
// cancels the request), the whole-file download while it polls (it then aborts its session and
// waits for it to end). Both also give up on a server that sends nothing new for the
// no-progress limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
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

// A transfer that receives no new byte for this long is given up: the whole-file download
// aborts its session, the block downloader cancels its request and fails the run without a
// further attempt.
inline constexpr uint32_t QN_SYNC_DOWNLOAD_NO_PROGRESS_LIMIT_MS = 300000;

// The response handler of the block downloader: keeps the HTTP status and stores the body of
// a 200 or 206 answer, as it arrives, straight into its targets: the blocks' own buffers, in
// order, or a byte vector that grows with what arrives (never past its claimed size). Its
// count starts at 0; its creator AddRefs it once.
class SimpleHttpHandler : public KHttpResponseHandlerBase, public KSimpleUnknownImpl {
public:
    // One piece of the body's destination: uSize bytes at pbyBuffer, or, when pGrowing is
    // set, up to uSize bytes appended to that vector.
    struct Target {
        uint8_t* pbyBuffer;
        uint32_t uSize;
        std::vector<uint8_t>* pGrowing;
    };

    // One fixed buffer of uBufferSize bytes.
    SimpleHttpHandler(uint8_t* pbyBuffer, uint32_t uBufferSize);
    // The targets in body order; their sizes add up to the capacity (below 4 GiB).
    explicit SimpleHttpHandler(std::vector<Target> targets);
    ~SimpleHttpHandler() override;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    int32_t onError() override;
    int32_t onStatus(int nStatusCode) override;
    int32_t onHeader(const char* pszName, uint32_t uNameLen, const char* pszValue, uint32_t uValueLen) override;
    int32_t onBody(const uint8_t* pbyData, uint32_t uLen) override;

    // From now on the answer must be the bytes [ullStart, ullStart + capacity) of the file: a
    // 206 whose Content-Range names exactly them, or a 200 for a range at 0 whose
    // Content-Length (when sent) is the capacity. Another answer is refused before any of
    // its bytes is stored.
    void ExpectRange(uint64_t ullStart);
    // True when a 206 answer's Content-Range names exactly the bytes [ullStart, ullStart +
    // uSize) of the file.
    bool RangeIs(uint64_t ullStart, uint32_t uSize) const;
    // From now on nothing is stored: for a request that may still deliver bytes after its
    // caller has given up on it. Waits for a store in progress to end.
    void Detach();
    // The bytes stored so far; may be read while the request runs.
    uint32_t ReceivedSize() const;

    // Written on the library's loop thread, read by the caller after the request has ended.
    int m_nHttpStatus;
    uint32_t m_uBufferSize;
    // Written under m_Lock; read through ReceivedSize while the request runs.
    uint32_t m_uReceivedSize;
    // Set when the request ended in failure, a body longer than the targets or an answer that
    // is not the range asked for included: the bytes stored before then are not a whole answer.
    bool m_bRequestFailed;
    // The Content-Range value of the answer ("" when it had none).
    std::string m_strContentRange;

private:
    bool _AnswerIsTheRange() const;
    bool _Store(const uint8_t* pbyData, uint32_t uLen);

    std::vector<Target> m_Targets;
    size_t m_uTarget;         // the target the next byte goes to
    uint32_t m_uTargetFilled;  // bytes of that target already stored
    bool m_bExpectRange;
    uint64_t m_ullExpectedStart;
    bool m_bAnswerChecked;
    int64_t m_llContentLength;  // -1 when the answer sent none
    bool m_bDetached;
    mutable std::mutex m_Lock;
};

class QN_HttpBlockDownloader {
public:
    struct BlockInfo {
        uint64_t ullOffset;
        uint32_t uSize;
        void* pvRetBuffer;
        // Set for a block whose bytes are appended to a vector that grows as they arrive.
        std::vector<uint8_t>* pGrowing;
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
    // Fetches every block into its buffer, the bytes received straight into it. The list stays
    // in place, sorted by offset. When a run fails, the blocks of the runs before it have their
    // bytes; a block of the failed run or a later one may hold the start of the bytes the
    // failed answers delivered for it (never bytes of another range), so a caller uses the
    // buffers only after a successful Download.
    int Download();

    enum class TableFetch { Fetched, Refused, Failed };
    // Fetches the uSize bytes at ullOffset as one block into *pRetBytes, which is emptied and
    // then grows with the bytes that arrive, never past uSize: a size claimed by a server that
    // sends less never costs that much memory, and the bytes are held once. The block list is
    // emptied first. Refused: no size or no vector (nothing sent). Failed: the download failed
    // (or was stopped); *pRetBytes is then empty.
    TableFetch FetchTable(uint64_t ullOffset, uint32_t uSize, std::vector<uint8_t>* pRetBytes);

    // Tested before each run and each attempt, and every 20 ms while a request runs; a true
    // result cancels the running request and fails the download at once.
    void SetStopTest(QN_TransferStopTest fnStop) { m_fnStop = std::move(fnStop); }

    std::vector<BlockInfo> m_BlockInfoVector;
    // Gives back the service reference taken by Init (also done by the next Init and by the
    // destructor).
    void ReleaseService();

    // One reference from Init, held until ReleaseService, the next Init or the destructor.
    IKHttpService* m_repairDlService;

private:
    // How an attempt at a run ended.
    enum class Attempt { Fetched, Failed, GivenUp };
    // The byte range one request asks for: blocks [uHeadIndex, uNextIndex) from ullStart.
    struct Run {
        uint32_t uHeadIndex;
        uint32_t uNextIndex;
        uint64_t ullStart;
        uint32_t uSize;
    };
    // What the no-progress guard of a run has seen: its clock runs across the run's attempts
    // and is put back whenever bytes arrive.
    struct ProgressClock {
        int64_t llLastProgressMs;
        uint32_t uLastReceived;
    };

    int _SyncDownloadBlock(uint32_t* puBlockIndex);
    Run _FormRun(uint32_t uHeadIndex) const;
    std::vector<SimpleHttpHandler::Target> _RunTargets(const Run& run);
    // Empties the run's growing blocks; bRelease also gives back their memory.
    void _ResetGrowingBlocks(const Run& run, bool bRelease);
    // One request for the run. Failed: the answer did not deliver the run (another attempt may
    // follow); GivenUp: a stop or the no-progress limit ended it, or no client could be made.
    Attempt _RunAttempt(const Run& run, const std::string& strURL, const char* cszRange, ProgressClock* pClock);
    // Waits for an executed asynchronous request, testing the stop test and the no-progress
    // limit between short waits. 1 when it has ended; 0 when it was given up (the handler is
    // then detached, the request cancelled and waited for within a bound; one that still runs
    // is handed to the service and *ppiClient set to null).
    int _WaitForRequest(IKHttpClient** ppiClient, SimpleHttpHandler* pHandler, ProgressClock* pClock);
    bool _StopRequested() const { return m_fnStop && m_fnStop(); }

    std::string m_strFileURL;
    QN_TransferStopTest m_fnStop;
};

// Downloads url into saveDir under fileName: first with the cache-defeating tail, then without
// it. 1 when the file is there, else 0. The stop test (when given) and the no-progress limit
// abort the running session; the call then waits for the session to end and returns 0.
int _QN_HttpSyncDownloadFile(const char* cszFileURL, const wchar_t* cwszSaveDir, const wchar_t* cwszFileName,
                             const QN_TransferStopTest& fnStop = QN_TransferStopTest(),
                             uint32_t uNoProgressLimitMs = QN_SYNC_DOWNLOAD_NO_PROGRESS_LIMIT_MS);

// Percent-escapes every byte except ASCII letters and digits and - _ . ~ : \ /. A blank
// becomes "%20", not "+": in a URL path a "+" is a plus sign to the server, so a name with a
// blank would be fetched under another name.
std::string _EscapeURL(const std::string& strIn);

// "/" + the current time in seconds (as a signed 32-bit number) + ".RefreshEveryTime".
int _GenerateRefreshEveryTimeString(std::string* pRetString);
