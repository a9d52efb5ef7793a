// The HTTP side of a download session: the piece downloader (one connection running one
// ranged GET at a time), its response handler that cuts the body into pieces, writes and
// commits them, the handler of the session's HEAD query, and the HTTP date parser.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "IKHttp.h"
#include "IKPieceStore.h"
#include "KHttpRequest.h"
#include "PieceMap.h"
#include "qn_systemtime.h"

class SpeedLimiter;

// True when a stream that brought ullReceived bytes in uElapsedMs brings ullBytesAhead more
// within uWithinMs at the same pace.
bool KStreamReachesWithin(uint64_t ullBytesAhead, uint64_t ullReceived, uint32_t uElapsedMs, uint32_t uWithinMs);

// The result a piece request reports for a connection-level failure, and for any response
// that brought no piece data.
inline constexpr HRESULT KHR_CONNECTION_FAILED = (HRESULT)0x800704C6u;
// A piece could not be written or committed.
inline constexpr HRESULT KHR_PIECE_WRITE_FAILED = (HRESULT)0x80070570u;
// A ranged request was answered with the whole file (200): the server does not serve ranges.
// Not a failure of the URL; the session then streams that URL from byte 0 on one connection.
inline constexpr HRESULT KHR_RANGES_REFUSED = (HRESULT)0x80070032u;
// An answer carried validators ("ETag", "Last-Modified") other than the ones the session's
// pieces are of, or answered a request that carried "If-Range" with the whole file: it is of
// another version of the file (a server farm whose nodes differ, or a file replaced since the
// query). No byte of that answer is taken; the session gives up its pieces and takes the file
// again from byte 0 as one stream.
inline constexpr HRESULT KHR_OTHER_VERSION = (HRESULT)0x8007139Fu;
// An answer whose total (206) or whole length (200) is not the queried size: the file on the
// server is no longer the one the query measured. The session ends and deletes its progress
// file (a 200 whose body only shows it past its headers may have committed pieces).
inline constexpr HRESULT KHR_REMOTE_FILE_CHANGED = (HRESULT)0x800703EEu;

inline constexpr const char* KDOWNLOADER_USER_AGENT = "Mozilla/5.0 (Windows NT 10.0; WOW64; Trident/7.0; rv:11.0) like Gecko";
inline constexpr uint32_t KDOWNLOADER_REDIRECT_LIMIT = 3;

// Parses the fixed-position form "Sun, 06 Nov 1994 08:49:37 GMT". All or nothing: on failure
// *pRetTime is left unchanged.
bool parseHttpDate(const char* cszText, SYSTEMTIME* pRetTime);

// True for the statuses that are followed as redirects.
bool isRedirectStatus(int nStatus);

// The "If-Range" value a ranged request sends for these validators: a strong ETag when there is
// one, else the Last-Modified date; empty when neither can be used.
std::string ifRangeValue(const KRemoteValidators& v);
// True when two "ETag" values name the same entity tag (a weak mark is not compared).
bool sameEntityTag(const std::string& a, const std::string& b);
// True when two "Last-Modified" values name the same time.
bool sameHttpDate(const std::string& a, const std::string& b);

class DownloadPieceHandler : public KHttpResponseHandlerBase, public KSimpleUnknownImpl {
public:
    DownloadPieceHandler();

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override { return addRefImpl(); }
    uint32_t Release() override;

    int32_t onError() override;
    int32_t onStatus(int nStatusCode) override;
    int32_t onHeader(const char* pszName, uint32_t uNameLen, const char* pszValue, uint32_t uValueLen) override;
    int32_t onHeadersComplete() override;
    int32_t onBody(const uint8_t* pbyData, uint32_t uLen) override;
    int32_t onEnd() override;
    int32_t onChunkComplete() override;

    // Prepares the handler for a request starting at uPiece. bRanged false: the request asks
    // for the whole file, and the bytes before uPiece are dropped as they arrive.
    bool begin(IKPieceStore* pSession, uint32_t uDownloaderId, uint32_t uPiece, bool bRanged = true);
    // Releases the current piece in the piece map (when there is one) and forgets it.
    void releasePiece();
    void clear();

    bool isRedirect() const { return isRedirectStatus(m_nStatus) && !m_sLocation.empty(); }
    HRESULT result() const { return m_hrResult; }
    int status() const { return m_nStatus; }
    const std::string& location() const { return m_sLocation; }
    uint32_t committedPieces() const { return m_uCommitted; }
    // The validators of the last answer, as sent ("" for one it did not carry).
    KRemoteValidators answerValidators() const;
    // True once the answer's headers were taken: its body is of the bytes asked for, under the
    // validators answerValidators gives (which no longer change until the next begin).
    bool answerAccepted() const { return m_bAccepted.load(std::memory_order_acquire); }
    uint32_t currentPiece() const { return m_uPiece.load(std::memory_order_relaxed); }
    uint64_t receivedBytes() const { return m_ullReceived.load(std::memory_order_relaxed); }

private:
    ~DownloadPieceHandler() override;
    // True when the answer's headers describe the bytes asked for; *pullLength is then the
    // length of its body.
    bool acceptsRange(uint64_t* pullLength) const;
    // True when the answer names another version of the file than the session's pieces are of.
    bool answerIsOtherVersion() const;
    // True when the answer's total (206) or whole length (200) is not the queried size.
    bool answerSizeDiffers() const;
    // Writes and commits piece m_uPiece from pbyData; then m_uPiece is the next piece of the
    // chain. A result below 0 ends the answer (a failure, or E_FAIL when the map stopped the
    // chain).
    int32_t commitPiece(const uint8_t* pbyData);
    // Writes the filled piece m_uFillPiece of a chunked answer to the data file without
    // committing it (a piece already complete is left as it is); then m_uFillPiece is the next.
    int32_t writePending();
    // The pending pieces' framing is confirmed: commits those whose bytes in the data file are
    // still this answer's, in order. The chain goes on when the last commit says so.
    int32_t commitPending();

    std::vector<uint8_t> m_buffer;
    uint32_t m_uDownloaderId = 0;
    // The first piece of the chain not yet committed: the one the piece map has taken for this
    // downloader. The pending pieces after it, and the one being filled, are not marked in the
    // map.
    // Written on the loop thread only; atomic so that the session thread can tell which piece
    // a running request holds.
    std::atomic<uint32_t> m_uPiece{KPIECE_NONE};
    // The piece the bytes are going into. In a chunked answer the pieces [m_uPiece, m_uFillPiece)
    // are pending: written to the data file, not yet committed.
    uint32_t m_uFillPiece = KPIECE_NONE;
    // This request's mark as a writer in the piece map (PieceMap::noteWriter), new at each begin.
    uint32_t m_uWriter = 0;
    uint32_t m_uFirstPiece = KPIECE_NONE;
    uint64_t m_ullRangeStart = 0;  // the offset the request asked for (0: no Range)
    uint64_t m_ullSkip = 0;        // body bytes still to drop before the first piece
    uint32_t m_uExpected = 0;
    uint32_t m_uFilled = 0;
    uint32_t m_uCommitted = 0;
    bool m_bStopped = false;
    IKPieceStore* m_pSession = nullptr;
    HRESULT m_hrResult = 0;
    int m_nStatus = 0;
    std::string m_sLocation;
    std::string m_sContentRange;
    bool m_bHasContentLength = false;
    uint64_t m_ullContentLength = 0;
    // Body bytes the accepted answer still owes: what its Content-Range (or, for a 200, the
    // file size) announces. A body that runs past it or ends short of it is not the range.
    uint64_t m_ullBodyLeft = 0;
    std::atomic<uint64_t> m_ullReceived{0};
    // The answer's body comes in chunks: its filled pieces stay pending until confirmed.
    bool m_bChunked = false;
    // The answer's validators.
    bool m_bHasETag = false, m_bHasLastModified = false;
    std::string m_sETag, m_sLastModified;
    bool m_bIfRange = false;  // the request carried "If-Range"
    std::atomic<bool> m_bAccepted{false};  // see answerAccepted
};

class QueryFileInfoHandler : public KHttpResponseHandlerBase, public KHttpStatusCallbackBase, public KSimpleUnknownImpl {
public:
    QueryFileInfoHandler();

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override { return addRefImpl(); }
    uint32_t Release() override;

    int32_t onError() override;
    int32_t onStatus(int nStatusCode) override;
    int32_t onHeader(const char* pszName, uint32_t uNameLen, const char* pszValue, uint32_t uValueLen) override;
    int32_t onEnd() override;
    void onServerAddress(const char* pszAddress) override;

    // Clears what one attempt records; the server address text stays.
    void resetAttempt();

    std::string m_sServerAddress;
    int m_nStatus = 0;
    uint64_t m_ullContentLength = 0;
    bool m_bHasContentLength = false;
    SYSTEMTIME m_lastModified{};
    std::string m_sLastModifiedText;  // as sent, "" when absent
    std::string m_sETag;              // as sent, "" when absent
    std::string m_sLocation;
    bool m_bNoRanges = false;  // "Accept-Ranges: none"
    HRESULT m_hrResult = E_FAIL;

private:
    ~QueryFileInfoHandler() override;
};

class KHttpDownloader {
public:
    KHttpDownloader();
    ~KHttpDownloader();
    KHttpDownloader(const KHttpDownloader&) = delete;
    KHttpDownloader& operator=(const KHttpDownloader&) = delete;

    HRESULT init(uint32_t uId, IKPieceStore* pSession, SpeedLimiter* pLimiter);
    // Starts a GET of the pieces from uFirstPiece on, with the URL the session handed out.
    // bRanged false: a GET of the whole file (for a server that does not serve ranges), whose
    // bytes before uFirstPiece are dropped.
    HRESULT start(const std::string& sUrl, uint32_t uServerAddress, uint32_t uFirstPiece, bool bRanged = true);
    // True while the downloader is busy. When it has finished: *phrResult is its result (a
    // response that brought no piece data counts as a connection failure), *psUrl the URL the
    // session handed out, and for a connection failure the request's client error and trace.
    bool pollBusy(HRESULT* phrResult, std::string* psUrl, int32_t* pnClientError, std::string* psClientErrorExt);
    // Cancels a running request and waits until it has ended; releases its piece.
    void stop();

    bool isBusy() const { return m_bBusy; }
    // Of the last answer, once pollBusy has reported the end: the pieces it committed and its
    // validators.
    uint32_t committedPieces() const { return m_pHandler ? m_pHandler->committedPieces() : 0; }
    KRemoteValidators answerValidators() const { return m_pHandler ? m_pHandler->answerValidators() : KRemoteValidators{}; }
    // True once the running (or last) answer's headers were taken; see DownloadPieceHandler.
    bool answerAccepted() const { return m_pHandler && m_pHandler->answerAccepted(); }
    // True while the request that started at uPiece, sent less than uWithinMs ago, has brought
    // no byte of its body yet.
    bool awaitsBody(uint32_t uPiece, uint32_t uWithinMs) const;
    // True when this downloader is receiving uPiece and, at the pace of its answer so far, will
    // have received uBytesAhead more bytes within uWithinMs.
    bool reachesWithin(uint32_t uPiece, uint64_t ullBytesAhead, uint32_t uWithinMs) const;
    // The piece the running request holds in the piece map (the first one of its chain not yet
    // committed); KPIECE_NONE when idle.
    uint32_t heldPiece() const { return m_bBusy && m_pHandler ? m_pHandler->currentPiece() : KPIECE_NONE; }
    // How long the running request has brought no body byte: since it was sent when none has
    // come yet, else since the last byte seen. Bytes are seen by noteProgress (and by this call,
    // which reports 0 when bytes came since). 0 when idle.
    uint32_t silentMs(uint32_t uNow) const;
    void noteProgress(uint32_t uNow);
    uint64_t receivedBytes() const { return m_pHandler ? m_pHandler->receivedBytes() : 0; }
    KHttpRequest& request() { return m_request; }

private:
    HRESULT send(const std::string& sUrl, uint32_t uServerAddress, uint32_t uFirstPiece, bool bRanged);
    void waitIdle();

    uint32_t m_uId = 0;
    IKPieceStore* m_pSession = nullptr;
    std::string m_sListUrl;     // as the session handed it out
    std::string m_sCurrentUrl;  // after redirects
    uint32_t m_uServerAddress = 0;
    uint32_t m_uFirstPiece = 0;
    uint32_t m_uRedirects = 0;
    bool m_bRanged = true;
    uint32_t m_uSentTick = 0;             // when the request was sent
    uint64_t m_ullReceivedAtSend = 0;     // the handler's byte count then
    uint64_t m_ullLastSeenBytes = 0;      // the handler's byte count when noteProgress last saw it change
    uint32_t m_uLastByteTick = 0;         // and when that was (the send tick before any byte)
    KHttpRequest m_request;
    DownloadPieceHandler* m_pHandler = nullptr;
    bool m_bBusy = false;
};
