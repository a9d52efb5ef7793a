// One resumable download of one HTTP resource into one file: the session object, its options,
// its thread (query, storage, download loop, verification, finish) and its report.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ChecksumFile.h"
#include "DataFile.h"
#include "IKDownloadSession.h"
#include "IKHttp.h"
#include "IKPieceStore.h"
#include "PieceMap.h"

class KHttpDownloader;
class SpeedLimiter;

// The HRESULTs the download loop ends with besides E_ABORT and the downloaders' results.
inline constexpr HRESULT KHR_CHECKSUM_FAILED = (HRESULT)0x80070143u;

class KDownloadSession : public IKDownloadSession, public KSimpleUnknownImpl, public IKPieceStore {
public:
    static constexpr uint32_t kPieceSize = KDOWNLOAD_PIECE_SIZE;
    static constexpr uint32_t kUrlFailureLimit = 100;
    static constexpr uint32_t kQueryRedirectLimit = 3;
    static constexpr uint32_t kMaxConnections = 10;
    static constexpr uint32_t kMaxPath = 260;
    // Restarts under another file version a session makes; the next answer of another version
    // ends it as for a changed file.
    static constexpr uint32_t kVersionRestartLimit = 3;

    KDownloadSession();

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override { return addRefImpl(); }
    uint32_t Release() override;

    HRESULT getOption(uint32_t uId, void* pvBuffer, uint32_t* puSize) override;
    HRESULT setOption(uint32_t uId, const void* pvBuffer, uint32_t uSize) override;
    HRESULT start() override;
    HRESULT abort() override;
    HRESULT isFinished(bool* pbFinished) override;
    HRESULT getProgress(uint32_t* puStatus, uint64_t* pullFileSize, uint64_t* pullBytesDone, uint32_t* puSpeedAvg,
                        uint32_t* puSpeedCurrent) override;
    HRESULT getError(uint32_t* puError, uint32_t* puErrorExt) override;
    HRESULT getInfo(DownloadInfo* pInfo) override;
    HRESULT getSpeed(uint32_t* puSpeedAvg, uint32_t* puSpeedCurrent, uint32_t* puSpeedSecondary) override;
    HRESULT createStream(REFIID riid, void** ppvOut) override;

    // Called by the download service right after construction, with the session URL.
    HRESULT init(const char* cszUrl, const wchar_t* wszChecksumFile, const wchar_t* wszSaveDir,
                 const wchar_t* wszFileName);

    // The downloaders' view of the session (loop thread). Valid while the download loop runs.
    DataFile* dataFile() const override { return m_pDataFile; }
    PieceMap* pieceMap() const override { return m_pPieceMap; }
    void queueBlockCheck(uint32_t uPiece) override;
    const KRemoteValidators& validators() const override { return m_validators; }

    // The file name a URL gives: the text after its last separator, cut at the first '?', one
    // wide character per byte; "unnamed" when that is empty, "." or "..", or there is no '/'.
    static std::wstring fileNameFromURL(const std::string& sUrl);
    // The report's escaping: RFC 3986 unreserved bytes kept, every other byte as "%XX".
    static std::string urlEscape(const char* csz);
    // The body of a download report; empty when it would not fit in 8191 characters.
    struct ReportFields {
        std::string sUrl, sFinalUrl;
        std::wstring wsFilePath;
        uint32_t uTimeSpent = 0, uError = 0, uErrorExt = 0;
        int32_t nClientError = 0;
        std::string sClientErrorExt;
        uint64_t ullFileSize = 0, ullInherited = 0, ullCompleted = 0;
        uint32_t uSpeedAvg = 0, uSpeedPeak = 0, uServerAddress = 0;
    };
    static std::string formatReport(const ReportFields& f);

    SpeedLimiter* speedLimiter() const { return m_pLimiter; }
    uint32_t capacityForRate(uint32_t uRate) const;

private:
    struct QueryResult {
        std::string sServerAddress;
        int nStatus = 0;
        uint64_t ullSize = 0;
        bool bHasSize = false;
        SYSTEMTIME lastModified{};
        KRemoteValidators validators;
        std::string sFinalUrl;
        bool bNoRanges = false;  // the answer said "Accept-Ranges: none"
    };
    struct UrlEntry {
        std::string sUrl;
        uint32_t uFailures = 0;
        // The server does not serve ranges: the URL is streamed from byte 0, on one
        // connection at a time.
        bool bNoRanges = false;
    };

    virtual ~KDownloadSession();

    void threadMain();
    HRESULT queryFileInfo(QueryResult* pResult);
    // Checks the query's answer (hrQuery: how the query ended) and takes over the final URL,
    // the size, the validators and the target path. false, with the failure already set and
    // logged, when the answer cannot be downloaded.
    bool acceptQueryResult(HRESULT hrQuery, const QueryResult& q);
    // Records the target path in the session's information and ends the session as succeeded.
    void succeed();
    bool isExistingFileGood(uint64_t ullSize);
    HRESULT createEmptyFile(const SYSTEMTIME* pLastModified);
    HRESULT allocateStorage(const std::string& sFinalUrl, uint64_t ullSize, const SYSTEMTIME* pLastModified,
                            bool bRenameAllowed);
    HRESULT finishDownload();

    // The download loop and its steps.
    struct LoopState {
        HRESULT hrLastError = S_OK;  // the last failure a downloader reported
        uint32_t uProgressTick = 0, uFlushTick = 0, uSpeedTick = 0;
        uint64_t ullPrevTotal = 0;  // received bytes at the last speed sample
        uint32_t uRound = 0;
        bool bOtherVersion = false;  // an answer was of another version than the pieces
    };
    HRESULT downloading();
    HRESULT createDownloaders();
    void stopDownloaders();
    bool allPiecesComplete();
    // One assignment pass: a run of pieces and a URL for every idle downloader. A result < 0
    // (no URL left) ends the loop; *pbAssigned tells whether a downloader was started.
    HRESULT assignIdleDownloaders(LoopState* pState, bool* pbAssigned);
    // Polling rounds until the assignment is due again; KHR_CHECKSUM_FAILED ends the loop.
    HRESULT runRounds(LoopState* pState, bool bAssigned);
    // Progress, flush and speed, each on its own period.
    void runPeriodicWork(LoopState* pState);
    void sampleSpeed(LoopState* pState);
    // Polls the busy downloaders; true when one has finished, *pbIdle when one is idle.
    bool pollDownloaders(LoopState* pState, bool* pbIdle);
    // An answer was of another version of the file: every piece taken so far is given up and
    // the file is taken again from byte 0, one stream at a time. False when the progress file
    // could not record the given-up pieces (the loop then ends).
    bool restartAsOneStream();
    // After a restart, the first answer whose headers were taken names the version of the
    // pieces from then on: the stream is taken up again under it (ranged, with If-Range).
    void adoptAcceptedVersion();
    void adoptVersion(const KRemoteValidators& v);
    HRESULT verifyAfterLastPiece();
    static uint32_t errorForLoopResult(HRESULT hrResult);
    // Stops the downloaders, flushes the storage, updates the progress and reports a failure.
    void endLoop(HRESULT hrResult);
    bool getURL(std::string* psUrl, bool* pbNoRanges);
    // True when the URL getURL would hand out next does not serve ranges.
    bool nextURLRefusesRanges();
    void addURLFailure(const std::string& sUrl);
    void markRangesRefused(const std::string& sUrl);
    void queueCompletedBlocks();
    bool blockIsDownloaded(uint32_t uBlock);
    bool verifyBlocks(uint32_t uMax, bool bAll);
    void flushStorage();
    void updateProgress();
    void sendReport(const std::string& sFinalUrl, uint32_t uElapsed);
    void fail(uint32_t uError, uint32_t uErrorExt);
    void setStatus(uint32_t uStatus) { m_uStatus.store(uStatus, std::memory_order_release); }
    bool aborted() const { return m_abort->load(std::memory_order_acquire); }
    void setClientError(int32_t nClientError, const std::string& sExt);
    void releaseStorage();

    std::recursive_mutex m_lock;  // URL list, verification queue, data file and piece map pointers
    std::string m_sUrl;
    std::vector<UrlEntry> m_urls;
    size_t m_uUrlCursor = 0;
    std::wstring m_wsTargetFolder;
    std::wstring m_wsFileName;
    std::wstring m_wsTargetPath;

    std::atomic<uint32_t> m_uConnections{4};
    std::atomic<bool> m_bNoResume{false};
    std::atomic<uint32_t> m_uMaxChecksumErrors{5};
    std::atomic<bool> m_bUseQueryServerIP{true};

    std::atomic<uint32_t> m_uStatus{KDS_STATUS_CREATED};
    std::atomic<uint32_t> m_uError{KDS_ERR_NONE};
    std::atomic<uint32_t> m_uErrorExt{0};

    // The information block: numbers as atomics, texts and times under m_infoLock.
    std::mutex m_infoLock;
    DownloadInfo m_info{};
    std::atomic<uint64_t> m_ullFileSize{0};
    std::atomic<uint64_t> m_ullBytesInherited{0};
    std::atomic<uint64_t> m_ullBytesCompleted{0};
    std::atomic<uint32_t> m_uSpeedAvg{0};
    std::atomic<uint32_t> m_uSpeedCurrent{0};
    std::atomic<uint32_t> m_uSpeedPeak{0};

    std::mutex m_clientErrorLock;
    int32_t m_nClientError = 0;
    std::string m_sClientErrorExt;

    uint32_t m_uStartTick = 0;
    DataFile* m_pDataFile = nullptr;
    PieceMap* m_pPieceMap = nullptr;
    SpeedLimiter* m_pLimiter = nullptr;
    std::vector<std::unique_ptr<KHttpDownloader>> m_downloaders;
    std::unique_ptr<ChecksumFile> m_pChecksum;
    uint32_t m_uPiecesPerBlock = 0;
    std::vector<uint32_t> m_verifyQueue;
    std::vector<uint8_t> m_blockQueued;
    uint32_t m_uChecksumErrors = 0;
    uint32_t m_uServerAddress = 0;
    // The version the pieces are of: the query's, or after a restart the stream's. Read by the
    // downloaders when they start a request and when an answer's headers come; changed on the
    // session thread only while none is busy, or while the one stream after a restart runs,
    // once its headers were taken.
    KRemoteValidators m_validators;
    // After a restart, until an answer's headers were taken: any answer's version is taken.
    bool m_bAdoptVersion = false;
    // Restarts under another file version so far (session thread only); after the first, one
    // request runs at a time, taken up with ranged requests under the version it names.
    uint32_t m_uVersionRestarts = 0;

    std::thread m_thread;
    std::atomic<bool> m_bStarted{false};
    std::atomic<bool> m_bThreadEnded{false};
    std::shared_ptr<std::atomic<bool>> m_abort;
};
