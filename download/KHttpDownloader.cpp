#include "KHttpDownloader.h"

#include <http_parser.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "DataFile.h"
#include "KHttpFields.h"
#include "KSessionLog.h"
#include "PieceMap.h"
#include "download_test_hooks.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

// "host:port" of an http URL, lower-case host; false when it does not parse.
bool UrlOrigin(const std::string& sUrl, std::string* psOrigin, std::string* psPrefix) {
    http_parser_url u;
    http_parser_url_init(&u);
    if (http_parser_parse_url(sUrl.data(), sUrl.size(), 0, &u) != 0 || !(u.field_set & (1 << UF_HOST))) return false;
    std::string sHost = sUrl.substr(u.field_data[UF_HOST].off, u.field_data[UF_HOST].len);
    for (char& c : sHost) {
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    }
    uint16_t uPort = (u.field_set & (1 << UF_PORT)) ? u.port : 80;
    *psOrigin = sHost + ":" + std::to_string(uPort);
    if (psPrefix) *psPrefix = sUrl.substr(0, u.field_data[UF_HOST].off + u.field_data[UF_HOST].len + ((u.field_set & (1 << UF_PORT)) ? u.field_data[UF_PORT].len + 1 : 0));
    return true;
}

// The marks of the requests as writers of pieces, shared by every downloader of the process.
std::atomic<uint32_t> s_uNextWriter{0};

}  // namespace

bool KStreamReachesWithin(uint64_t ullBytesAhead, uint64_t ullReceived, uint32_t uElapsedMs, uint32_t uWithinMs) {
    if (ullReceived == 0) return false;
    if (uElapsedMs == 0) uElapsedMs = 1;
    // bytes ahead / (received / elapsed) <= within, without a division; the products can pass
    // 64 bits.
    return (unsigned __int128)ullBytesAhead * uElapsedMs <= (unsigned __int128)ullReceived * uWithinMs;
}

bool isRedirectStatus(int nStatus) {
    return nStatus == 300 || nStatus == 301 || nStatus == 302 || nStatus == 303 || nStatus == 307;
}

namespace {

std::string TrimmedText(const std::string& s) {
    size_t uFirst = s.find_first_not_of(" \t");
    if (uFirst == std::string::npos) return std::string();
    return s.substr(uFirst, s.find_last_not_of(" \t") - uFirst + 1);
}

bool IsWeakTag(const std::string& s) { return s.size() >= 2 && s[0] == 'W' && s[1] == '/'; }

// A server's text that can go into a header line of ours: short, and no control byte that
// would end or fold the line.
bool FitsInHeader(const std::string& s) {
    if (s.empty() || s.size() > 256) return false;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

}  // namespace

std::string ifRangeValue(const KRemoteValidators& v) {
    // A weak entity tag may not be sent in "If-Range".
    if (FitsInHeader(v.sETag) && !IsWeakTag(v.sETag)) return v.sETag;
    return FitsInHeader(v.sLastModified) ? v.sLastModified : std::string();
}

bool sameEntityTag(const std::string& a, const std::string& b) {
    std::string sA = TrimmedText(a), sB = TrimmedText(b);
    if (IsWeakTag(sA)) sA.erase(0, 2);
    if (IsWeakTag(sB)) sB.erase(0, 2);
    return sA == sB;
}

bool sameHttpDate(const std::string& a, const std::string& b) {
    std::string sA = TrimmedText(a), sB = TrimmedText(b);
    SYSTEMTIME tA{}, tB{};
    if (parseHttpDate(sA.c_str(), &tA) && parseHttpDate(sB.c_str(), &tB)) return std::memcmp(&tA, &tB, sizeof(tA)) == 0;
    return sA == sB;
}

bool parseHttpDate(const char* cszText, SYSTEMTIME* pRetTime) {
    static const char* const s_aszDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const s_aszMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (!cszText || !pRetTime || std::strlen(cszText) < 29) return false;
    auto number = [&](int nPos, int nLen, int* pnRet) {
        int v = 0;
        for (int i = 0; i < nLen; ++i) {
            char c = cszText[nPos + i];
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        *pnRet = v;
        return true;
    };
    SYSTEMTIME t{};
    int nDay = -1, nMonth = -1, nValue = 0;
    for (int i = 0; i < 7; ++i) {
        if (std::strncmp(cszText, s_aszDays[i], 3) == 0) nDay = i;
    }
    if (nDay < 0) return false;
    t.wDayOfWeek = (uint16_t)nDay;
    if (!number(5, 2, &nValue) || nValue == 0 || nValue > 31) return false;
    t.wDay = (uint16_t)nValue;
    for (int i = 0; i < 12; ++i) {
        if (std::strncmp(cszText + 8, s_aszMonths[i], 3) == 0) nMonth = i;
    }
    if (nMonth < 0) return false;
    t.wMonth = (uint16_t)(nMonth + 1);
    if (!number(12, 4, &nValue) || nValue < 1601 || nValue > 30827) return false;
    t.wYear = (uint16_t)nValue;
    if (!number(17, 2, &nValue) || nValue >= 24) return false;
    t.wHour = (uint16_t)nValue;
    if (!number(20, 2, &nValue) || nValue >= 60) return false;
    t.wMinute = (uint16_t)nValue;
    if (!number(23, 2, &nValue) || nValue >= 60) return false;
    t.wSecond = (uint16_t)nValue;
    t.wMilliseconds = 0;
    *pRetTime = t;
    return true;
}

// ---------------------------------------------------------------------------------------------

DownloadPieceHandler::DownloadPieceHandler() = default;

DownloadPieceHandler::~DownloadPieceHandler() { releasePiece(); }

HRESULT DownloadPieceHandler::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject) return E_INVALIDARG;
    *ppvObject = nullptr;
    if (riid != IID_IKHttpResponseHandler) return E_NOINTERFACE;
    AddRef();
    *ppvObject = static_cast<IKHttpResponseHandler*>(this);
    return S_OK;
}

uint32_t DownloadPieceHandler::Release() {
    uint32_t uRef = releaseImpl();
    if (uRef == 0) delete this;
    return uRef;
}

bool DownloadPieceHandler::begin(IKPieceStore* pSession, uint32_t uDownloaderId, uint32_t uPiece, bool bRanged) {
    m_pSession = pSession;
    m_uPiece = KPIECE_NONE;
    m_uFillPiece = KPIECE_NONE;
    try {
        m_buffer.assign(KDOWNLOAD_PIECE_SIZE, 0);
    } catch (const std::bad_alloc&) {
        m_buffer.clear();
        m_buffer.shrink_to_fit();
        return false;
    }
    m_uDownloaderId = uDownloaderId;
    m_uPiece = uPiece;
    m_uFillPiece = uPiece;
    m_uFirstPiece = uPiece;
    m_ullRangeStart = bRanged ? (uint64_t)uPiece * KDOWNLOAD_PIECE_SIZE : 0;
    m_ullSkip = bRanged ? 0 : (uint64_t)uPiece * KDOWNLOAD_PIECE_SIZE;
    m_uExpected = pSession->dataFile()->pieceLength(uPiece);
    m_uFilled = 0;
    m_uCommitted = 0;
    m_bStopped = false;
    m_hrResult = 0;
    m_nStatus = 0;
    m_sLocation.clear();
    m_sContentRange.clear();
    m_bHasContentLength = false;
    m_ullContentLength = 0;
    m_ullBodyLeft = 0;
    m_bChunked = false;
    // A mark no earlier request of any downloader has used (0 means no writer).
    do {
        m_uWriter = s_uNextWriter.fetch_add(1, std::memory_order_relaxed) + 1;
    } while (m_uWriter == 0);
    m_bHasETag = m_bHasLastModified = false;
    m_sETag.clear();
    m_sLastModified.clear();
    m_bIfRange = m_ullRangeStart != 0 && !ifRangeValue(pSession->validators()).empty();
    m_bAccepted.store(false, std::memory_order_relaxed);
    KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) start download piece %u", uDownloaderId, uPiece);
    return true;
}

void DownloadPieceHandler::releasePiece() {
    if (m_pSession && m_uPiece != KPIECE_NONE && m_pSession->pieceMap()) m_pSession->pieceMap()->release(m_uPiece);
    m_uPiece = KPIECE_NONE;
}

void DownloadPieceHandler::clear() {
    m_uPiece = KPIECE_NONE;
    m_uFillPiece = KPIECE_NONE;
    m_uExpected = 0;
    m_uFilled = 0;
    m_pSession = nullptr;
}

int32_t DownloadPieceHandler::onStatus(int nStatusCode) {
    KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) onStatus code=%d", m_uDownloaderId, nStatusCode);
    m_nStatus = nStatusCode;
    return 0;
}

int32_t DownloadPieceHandler::onHeader(const char* pszName, uint32_t uNameLen, const char* pszValue,
                                       uint32_t uValueLen) {
    // Trailer fields of a chunked body come here too: they change nothing of an answer whose
    // headers were taken (the session may be reading its validators by then).
    if (m_bAccepted.load(std::memory_order_relaxed)) return 0;
    // Header names are case-insensitive in HTTP/1.1.
    if (KHttpNameIs({pszName, uNameLen}, "Location")) {
        m_sLocation.assign(pszValue, uValueLen);
    } else if (KHttpNameIs({pszName, uNameLen}, "Content-Range")) {
        m_sContentRange.assign(pszValue, uValueLen);
    } else if (KHttpNameIs({pszName, uNameLen}, "Content-Length")) {
        m_bHasContentLength = KHttpParseDecimal({pszValue, uValueLen}, &m_ullContentLength);
    } else if (KHttpNameIs({pszName, uNameLen}, "Transfer-Encoding")) {
        // The request engine lets through no coding but chunked framing alone.
        m_bChunked = true;
    } else if (KHttpNameIs({pszName, uNameLen}, "ETag")) {
        m_bHasETag = true;
        m_sETag.assign(pszValue, uValueLen);
    } else if (KHttpNameIs({pszName, uNameLen}, "Last-Modified")) {
        m_bHasLastModified = true;
        m_sLastModified.assign(pszValue, uValueLen);
    }
    return 0;
}

bool DownloadPieceHandler::acceptsRange(uint64_t* pullLength) const {
    uint64_t ullOffset = m_ullRangeStart;
    uint64_t ullFileSize = m_pSession->dataFile()->fileSize();
    if (m_nStatus == 200) {
        // A whole-file answer fits only a request from the start of the file.
        if (ullOffset != 0) return false;
        *pullLength = ullFileSize;
    } else {
        KHttpContentRange r;
        if (!KHttpParseContentRange(m_sContentRange, &r)) return false;
        if (r.ullFirst != ullOffset || r.ullLast >= ullFileSize) return false;
        if (r.bHasTotal && r.ullTotal != ullFileSize) return false;
        *pullLength = r.ullLast - r.ullFirst + 1;
    }
    // A length that disagrees with the range means the body is not that range.
    return !m_bHasContentLength || m_ullContentLength == *pullLength;
}

bool DownloadPieceHandler::answerIsOtherVersion() const {
    const KRemoteValidators& q = m_pSession->validators();
    // A validator is compared when both the query's answer and this one carry it.
    if (m_bHasETag && !q.sETag.empty() && !sameEntityTag(m_sETag, q.sETag)) return true;
    if (m_bHasLastModified && !q.sLastModified.empty() && !sameHttpDate(m_sLastModified, q.sLastModified)) return true;
    if (m_nStatus == 200 && m_bIfRange) {
        // "If-Range" asks for the whole file exactly when the validator sent does not match.
        // A server without ranges answers 200 as well, but under the same validator: only that
        // answer is taken for one that ignores ranges.
        bool bUsedETag = ifRangeValue(q) == q.sETag;
        if (bUsedETag ? !m_bHasETag : !m_bHasLastModified) return true;
    }
    return false;
}

bool DownloadPieceHandler::answerSizeDiffers() const {
    uint64_t ullFileSize = m_pSession->dataFile()->fileSize();
    if (m_nStatus == 200) return m_bHasContentLength && m_ullContentLength != ullFileSize;
    KHttpContentRange range;
    return KHttpParseContentRange(m_sContentRange, &range) && range.bHasTotal && range.ullTotal != ullFileSize;
}

KRemoteValidators DownloadPieceHandler::answerValidators() const {
    KRemoteValidators v;
    if (m_bHasETag) v.sETag = TrimmedText(m_sETag);
    if (m_bHasLastModified) v.sLastModified = TrimmedText(m_sLastModified);
    return v;
}

int32_t DownloadPieceHandler::onHeadersComplete() {
    if (m_nStatus != 200 && m_nStatus != 206) return 0;
    // The file's length is checked first: another length is another file whatever the
    // validators say, and no stream of this session can give the queried one.
    if (answerSizeDiffers()) {
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR,
                    "downloader(%u) remote file changed: status=%d, Content-Length=\"%llu\", Content-Range=\"%s\"",
                    m_uDownloaderId, m_nStatus, (unsigned long long)m_ullContentLength, m_sContentRange.c_str());
        m_hrResult = KHR_REMOTE_FILE_CHANGED;
        return E_FAIL;
    }
    if (answerIsOtherVersion()) {
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR,
                    "downloader(%u) answer of another file version: status=%d, ETag=\"%s\", Last-Modified=\"%s\"",
                    m_uDownloaderId, m_nStatus, m_sETag.c_str(), m_sLastModified.c_str());
        m_hrResult = KHR_OTHER_VERSION;
        return E_FAIL;
    }
    if (m_nStatus == 200 && m_ullRangeStart != 0) {
        // The server ignored the range: nothing of this answer is taken, and the session is
        // told that the URL is to be streamed from byte 0.
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR, "downloader(%u) range ignored by the server", m_uDownloaderId);
        m_hrResult = KHR_RANGES_REFUSED;
        return E_FAIL;
    }
    // Bytes are written at the offset the request asked for: an answer for another range
    // would land in the wrong place, so it is refused before any byte is taken. A server that
    // answers a range with another one (another start or total, several parts) does not serve
    // ranges as asked: the URL is then streamed from byte 0, as for a server that ignores them.
    // An answer to a request without a range that is refused is a failure of the URL.
    if (!acceptsRange(&m_ullBodyLeft)) {
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR, "downloader(%u) range refused: status=%d, Content-Range=\"%s\"",
                    m_uDownloaderId, m_nStatus, m_sContentRange.c_str());
        m_hrResult = m_ullRangeStart != 0 ? KHR_RANGES_REFUSED : KHR_CONNECTION_FAILED;
        return E_FAIL;
    }
    // Published last: the session reads the validators above once it sees this.
    m_bAccepted.store(true, std::memory_order_release);
    return 0;
}

int32_t DownloadPieceHandler::commitPiece(const uint8_t* pbyData) {
    DataFile* pData = m_pSession->dataFile();
    PieceMap* pMap = m_pSession->pieceMap();
    uint32_t uLength = pData->pieceLength(m_uPiece);
    bool bAlready = false, bStop = false, bCommitted = false;
    {
        // A piece that is already complete (the other copy of a split run was committed
        // first, and may have been verified since) is never written again: the bytes of
        // this copy are dropped, and the commit still tells whether the chain goes on.
        // The map stays locked from the test to the commit, so that no other copy can be
        // committed in between.
        std::lock_guard<std::recursive_mutex> guard(pMap->lock());
        if (pMap->isComplete(m_uPiece)) {
            KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) piece %u already complete, copy dropped",
                        m_uDownloaderId, m_uPiece.load());
        } else {
            uint32_t uWritten = 0;
            pMap->noteWriter(m_uPiece, m_uWriter);
            if (m_uPiece >= pData->pieceCount() || uLength == 0 ||
                FAILED(pData->write((uint64_t)m_uPiece * KDOWNLOAD_PIECE_SIZE, pbyData, uLength, &uWritten)) ||
                uWritten != uLength) {
                KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR, "downloader(%u) write piece %u failed", m_uDownloaderId,
                            m_uPiece.load());
                releasePiece();
                m_hrResult = KHR_PIECE_WRITE_FAILED;
                return KHR_PIECE_WRITE_FAILED;
            }
        }
        bCommitted = pMap->commit(m_uPiece, &bAlready, &bStop);
    }
    if (bCommitted) {
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) commit piece %u OK, stop=%d", m_uDownloaderId,
                    m_uPiece.load(), bStop ? 1 : 0);
    } else {
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR, "downloader(%u) commit piece %u failed", m_uDownloaderId,
                    m_uPiece.load());
    }
    m_pSession->queueBlockCheck(m_uPiece);
    if (!bCommitted) {
        releasePiece();
        m_hrResult = KHR_PIECE_WRITE_FAILED;
        return KHR_PIECE_WRITE_FAILED;
    }
    ++m_uCommitted;
    if (bStop) {
        m_uPiece = KPIECE_NONE;
        m_bStopped = true;
        m_hrResult = E_FAIL;
        return E_FAIL;
    }
    ++m_uPiece;
    return 0;
}

int32_t DownloadPieceHandler::writePending() {
    DataFile* pData = m_pSession->dataFile();
    PieceMap* pMap = m_pSession->pieceMap();
    uint32_t uLength = pData->pieceLength(m_uFillPiece);
    {
        // As for a commit: a piece already complete (maybe verified) is never written again,
        // and the test and the write are one step under the map's lock. The write is noted
        // first, so that whoever wrote this piece before can no longer commit it.
        std::lock_guard<std::recursive_mutex> guard(pMap->lock());
        if (pMap->isComplete(m_uFillPiece)) {
            KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) piece %u already complete, copy dropped",
                        m_uDownloaderId, m_uFillPiece);
        } else {
            uint32_t uWritten = 0;
            pMap->noteWriter(m_uFillPiece, m_uWriter);
            if (m_uFillPiece >= pData->pieceCount() || uLength == 0 ||
                FAILED(pData->write((uint64_t)m_uFillPiece * KDOWNLOAD_PIECE_SIZE, m_buffer.data(), uLength,
                                    &uWritten)) ||
                uWritten != uLength) {
                KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR, "downloader(%u) write piece %u failed", m_uDownloaderId,
                            m_uFillPiece);
                releasePiece();
                m_hrResult = KHR_PIECE_WRITE_FAILED;
                return KHR_PIECE_WRITE_FAILED;
            }
        }
    }
    ++m_uFillPiece;
    m_uFilled = 0;
    m_uExpected = m_uFillPiece < pData->pieceCount() ? pData->pieceLength(m_uFillPiece) : 0;
    return 0;
}

int32_t DownloadPieceHandler::commitPending() {
    PieceMap* pMap = m_pSession->pieceMap();
    uint32_t uEnd = m_uFillPiece;
    // The piece the map has taken for this chain, KPIECE_NONE once a commit said stop.
    uint32_t uTaken = m_uPiece;
    for (uint32_t uPiece = m_uPiece; uPiece < uEnd; ++uPiece) {
        bool bAlready = false, bStop = true, bCommitted = false, bOthers = false;
        {
            std::lock_guard<std::recursive_mutex> guard(pMap->lock());
            // Bytes another request wrote over this piece since (not confirmed, or it would be
            // complete) are not this answer's: the piece is left for a later request.
            bOthers = !pMap->isComplete(uPiece) && !pMap->isLastWriter(uPiece, m_uWriter);
            if (!bOthers) bCommitted = pMap->commit(uPiece, &bAlready, &bStop);
        }
        if (bOthers) {
            KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) piece %u rewritten by another request",
                        m_uDownloaderId, uPiece);
            if (uTaken == uPiece) pMap->release(uPiece);
            uTaken = KPIECE_NONE;
            continue;
        }
        if (!bCommitted) {
            KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR, "downloader(%u) commit piece %u failed", m_uDownloaderId,
                        uPiece);
            m_uPiece = uTaken;
            releasePiece();
            m_uFillPiece = uEnd;
            m_hrResult = KHR_PIECE_WRITE_FAILED;
            return KHR_PIECE_WRITE_FAILED;
        }
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) commit piece %u OK, stop=%d", m_uDownloaderId,
                    uPiece, bStop ? 1 : 0);
        m_pSession->queueBlockCheck(uPiece);
        ++m_uCommitted;
        uTaken = bStop ? KPIECE_NONE : uPiece + 1;
    }
    m_uPiece = uTaken;
    if (m_uPiece == KPIECE_NONE) {
        // The map ended the chain (or its last piece is not this answer's): a clean stop.
        m_bStopped = true;
        m_hrResult = E_FAIL;
        return E_FAIL;
    }
    return 0;
}

int32_t DownloadPieceHandler::onBody(const uint8_t* pbyData, uint32_t uLen) {
    KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) onBody len=%u", m_uDownloaderId, uLen);
    if (m_nStatus != 200 && m_nStatus != 206) return 0;
    // Bytes past what the headers announced are not of the range: none of them is taken. A
    // whole-file answer that runs past the queried size is a longer file.
    if (uLen > m_ullBodyLeft) {
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR, "downloader(%u) body longer than its range", m_uDownloaderId);
        m_hrResult = m_nStatus == 200 ? KHR_REMOTE_FILE_CHANGED : KHR_CONNECTION_FAILED;
        return E_FAIL;
    }
    m_ullBodyLeft -= uLen;
    if (m_uPiece == KPIECE_NONE || !m_pSession) return E_FAIL;
    m_ullReceived.fetch_add(uLen, std::memory_order_relaxed);
    if (m_ullSkip > 0) {
        // A whole-file answer: the bytes before the first piece are not this request's.
        uint32_t uDrop = m_ullSkip < uLen ? (uint32_t)m_ullSkip : uLen;
        m_ullSkip -= uDrop;
        pbyData += uDrop;
        uLen -= uDrop;
    }
    while (uLen > 0) {
        if (m_uExpected == 0) {
            // Bytes past the last piece: the headers' bounds keep them out, never taken.
            m_hrResult = KHR_CONNECTION_FAILED;
            return E_FAIL;
        }
        uint32_t uTake = m_uExpected - m_uFilled;
        if (uTake > uLen) uTake = uLen;
        std::memcpy(m_buffer.data() + m_uFilled, pbyData, uTake);
        m_uFilled += uTake;
        pbyData += uTake;
        uLen -= uTake;
        if (m_uFilled < m_uExpected) break;
        if (m_bChunked) {
            // Its bytes are where the server put them only if the chunk holding its last byte
            // ends where its size line said: the piece is written now and committed then.
            int32_t nRes = writePending();
            if (nRes < 0) return nRes;
            continue;
        }
        // A body of a known length needs no framing: each piece is committed as it fills.
        int32_t nRes = commitPiece(m_buffer.data());
        if (nRes < 0) {
            // An answer that ends with the chain's last piece is let to end normally, so that
            // its connection is kept for the next request instead of being closed.
            if (m_bStopped && nRes == E_FAIL && uLen == 0 && m_ullBodyLeft == 0) {
                m_hrResult = 0;
                return 0;
            }
            return nRes;
        }
        m_uFillPiece = m_uPiece;
        m_uExpected = m_pSession->dataFile()->pieceLength(m_uFillPiece);
        m_uFilled = 0;
    }
    return 0;
}

int32_t DownloadPieceHandler::onChunkComplete() {
    if (m_uPiece == KPIECE_NONE || !m_pSession || m_uFillPiece == m_uPiece) return 0;
    return commitPending();
}

int32_t DownloadPieceHandler::onError() {
    // Pending pieces of an answer that ended in an error are never committed: their framing
    // was never confirmed. Their bytes stay in the data file as unwritten space does, under
    // states that are not complete, and are written over when the pieces are fetched again.
    m_uFillPiece = m_uPiece;
    if (m_bStopped) {
        // The piece map ended the chain: a clean stop.
        m_hrResult = 0;
        return 0;
    }
    if (m_hrResult >= 0 && !isRedirect()) m_hrResult = KHR_CONNECTION_FAILED;
    if (m_hrResult < 0) {
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) onError result=0x%08X", m_uDownloaderId,
                    (unsigned)m_hrResult);
    }
    return 0;
}

int32_t DownloadPieceHandler::onEnd() {
    KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) onEnd", m_uDownloaderId);
    m_hrResult = 0;
    // A chunked or close-delimited body that ended before its range did is a failed transfer;
    // its unfinished piece was never written, nor is any pending piece committed.
    if ((m_nStatus == 200 || m_nStatus == 206) && m_ullBodyLeft > 0) {
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR, "downloader(%u) body shorter than its range", m_uDownloaderId);
        m_uFillPiece = m_uPiece;
        // A whole-file answer whose chunks ended well before the queried size is a shorter
        // file; one ended by a close may have been cut.
        m_hrResult = m_nStatus == 200 && m_bChunked ? KHR_REMOTE_FILE_CHANGED : KHR_CONNECTION_FAILED;
        return 0;
    }
    // The answer ended well: what is still pending is confirmed.
    if (m_uPiece != KPIECE_NONE && m_pSession && m_uFillPiece != m_uPiece) {
        int32_t nRes = commitPending();
        if (nRes < 0 && !m_bStopped) return 0;  // a failed commit keeps its result
        m_hrResult = 0;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------

QueryFileInfoHandler::QueryFileInfoHandler() = default;
QueryFileInfoHandler::~QueryFileInfoHandler() = default;

HRESULT QueryFileInfoHandler::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject) return E_INVALIDARG;
    *ppvObject = nullptr;
    if (riid == IID_IKHttpResponseHandler) {
        *ppvObject = static_cast<IKHttpResponseHandler*>(this);
    } else if (riid == IID_IKHttpStatusCallback) {
        *ppvObject = static_cast<IKHttpStatusCallback*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

uint32_t QueryFileInfoHandler::Release() {
    uint32_t uRef = releaseImpl();
    if (uRef == 0) delete this;
    return uRef;
}

void QueryFileInfoHandler::resetAttempt() {
    m_nStatus = 0;
    m_ullContentLength = 0;
    m_bHasContentLength = false;
    m_lastModified = SYSTEMTIME{};
    m_sLastModifiedText.clear();
    m_sETag.clear();
    m_sLocation.clear();
    m_bNoRanges = false;
    m_hrResult = E_FAIL;
}

int32_t QueryFileInfoHandler::onError() {
    m_hrResult = E_FAIL;
    return 0;
}

int32_t QueryFileInfoHandler::onStatus(int nStatusCode) {
    m_nStatus = nStatusCode;
    return 0;
}

int32_t QueryFileInfoHandler::onHeader(const char* pszName, uint32_t uNameLen, const char* pszValue,
                                       uint32_t uValueLen) {
    if (KHttpNameIs({pszName, uNameLen}, "Content-Length")) {
        uint64_t ull = 0;
        m_bHasContentLength = KHttpParseDecimal({pszValue, uValueLen}, &ull);
        m_ullContentLength = m_bHasContentLength ? ull : 0;
    } else if (KHttpNameIs({pszName, uNameLen}, "Last-Modified")) {
        std::string s(pszValue, uValueLen);
        parseHttpDate(s.c_str(), &m_lastModified);
        m_sLastModifiedText = TrimmedText(s);
    } else if (KHttpNameIs({pszName, uNameLen}, "ETag")) {
        m_sETag = TrimmedText(std::string(pszValue, uValueLen));
    } else if (KHttpNameIs({pszName, uNameLen}, "Location")) {
        m_sLocation.assign(pszValue, uValueLen);
    } else if (KHttpNameIs({pszName, uNameLen}, "Accept-Ranges")) {
        std::string sValue(pszValue, uValueLen);
        size_t uFirst = sValue.find_first_not_of(" \t"), uLast = sValue.find_last_not_of(" \t");
        m_bNoRanges = uFirst != std::string::npos &&
                      QN_StrICmp(sValue.substr(uFirst, uLast - uFirst + 1).c_str(), "none") == 0;
    }
    return 0;
}

int32_t QueryFileInfoHandler::onEnd() {
    m_hrResult = 0;
    return 0;
}

void QueryFileInfoHandler::onServerAddress(const char* pszAddress) { m_sServerAddress = pszAddress ? pszAddress : ""; }

// ---------------------------------------------------------------------------------------------

KHttpDownloader::KHttpDownloader() = default;

KHttpDownloader::~KHttpDownloader() {
    stop();
    if (m_pHandler) {
        m_pHandler->releasePiece();
        m_pHandler->Release();
        m_pHandler = nullptr;
    }
}

HRESULT KHttpDownloader::init(uint32_t uId, IKPieceStore* pSession, SpeedLimiter* pLimiter) {
    m_uId = uId;
    m_pSession = pSession;
    m_pHandler = new (std::nothrow) DownloadPieceHandler;
    if (!m_pHandler) return E_OUTOFMEMORY;
    m_pHandler->AddRef();
    if (!m_request.init(16384, pLimiter, m_pHandler, nullptr)) return E_OUTOFMEMORY;
    m_request.setTimeout(qn::testing::PieceRequestTimeoutSeconds());
    return S_OK;
}

void KHttpDownloader::waitIdle() {
    if (m_request.isRunning()) m_request.waitDone(Event::kInfinite);
    while (m_request.tasksInFlight() > 0) QN_Sleep(1);
}

void KHttpDownloader::stop() {
    if (m_request.isRunning()) m_request.cancel();
    waitIdle();
    if (m_bBusy && m_pHandler) {
        m_pHandler->releasePiece();
        m_pHandler->clear();
    }
    m_bBusy = false;
}

HRESULT KHttpDownloader::send(const std::string& sUrl, uint32_t uServerAddress, uint32_t uFirstPiece, bool bRanged) {
    char szRange[100];
    uint64_t ullOffset = bRanged ? (uint64_t)uFirstPiece * KDOWNLOAD_PIECE_SIZE : 0;
    m_sCurrentUrl = sUrl;
    m_uServerAddress = uServerAddress;
    m_uFirstPiece = uFirstPiece;
    m_bRanged = bRanged;
    if (!m_pHandler->begin(m_pSession, m_uId, uFirstPiece, bRanged)) return E_FAIL;
    if (!m_request.open(KHTTP_METHOD_GET, sUrl.c_str())) return E_FAIL;
    if (uServerAddress != 0 && !m_request.setServerAddress(uServerAddress)) return E_FAIL;
    m_request.addHeader("User-Agent", KDOWNLOADER_USER_AGENT);
    m_request.addHeader("Accept", "*/*");
    if (ullOffset != 0) {
        if (QN_snprintf(szRange, sizeof(szRange), "bytes=%llu-", (unsigned long long)ullOffset) < 0) return E_FAIL;
        if (!m_request.addHeader("Range", szRange)) return E_FAIL;
        // The range is wanted only from the version the query saw: a server that has another
        // one answers with the whole file, which the handler refuses.
        std::string sIfRange = ifRangeValue(m_pSession->validators());
        if (!sIfRange.empty() && !m_request.addHeader("If-Range", sIfRange.c_str())) return E_FAIL;
    }
    m_uSentTick = QN_GetTickCount();
    m_ullReceivedAtSend = m_pHandler->receivedBytes();
    m_ullLastSeenBytes = m_ullReceivedAtSend;
    m_uLastByteTick = m_uSentTick;
    if (!m_request.send()) return E_FAIL;
    m_bBusy = true;
    return S_OK;
}

bool KHttpDownloader::awaitsBody(uint32_t uPiece, uint32_t uWithinMs) const {
    return m_bBusy && m_pHandler && m_uFirstPiece == uPiece && m_pHandler->receivedBytes() == m_ullReceivedAtSend &&
           QN_GetTickCount() - m_uSentTick < uWithinMs;
}

uint32_t KHttpDownloader::silentMs(uint32_t uNow) const {
    if (!m_bBusy || !m_pHandler || m_pHandler->receivedBytes() != m_ullLastSeenBytes) return 0;
    // A tick taken before the last byte was seen is no silence at all.
    int32_t nSilent = (int32_t)(uNow - m_uLastByteTick);
    return nSilent > 0 ? (uint32_t)nSilent : 0;
}

void KHttpDownloader::noteProgress(uint32_t uNow) {
    if (!m_bBusy || !m_pHandler) return;
    uint64_t ullReceived = m_pHandler->receivedBytes();
    if (ullReceived == m_ullLastSeenBytes) return;
    m_ullLastSeenBytes = ullReceived;
    m_uLastByteTick = uNow;
}

bool KHttpDownloader::reachesWithin(uint32_t uPiece, uint64_t ullBytesAhead, uint32_t uWithinMs) const {
    if (!m_bBusy || !m_pHandler || !m_bRanged) return false;
    uint64_t ullReceived = m_pHandler->receivedBytes() - m_ullReceivedAtSend;
    // The piece being received: a ranged answer brings its pieces in order from the first. The
    // one before it still counts while its last bytes are being committed.
    uint64_t ullAt = (uint64_t)m_uFirstPiece + ullReceived / KDOWNLOAD_PIECE_SIZE;
    if (uPiece < m_uFirstPiece || uPiece > ullAt || uPiece + 1 < ullAt) return false;
    return KStreamReachesWithin(ullBytesAhead, ullReceived, QN_GetTickCount() - m_uSentTick, uWithinMs);
}

HRESULT KHttpDownloader::start(const std::string& sUrl, uint32_t uServerAddress, uint32_t uFirstPiece, bool bRanged) {
    if (!m_pHandler) return E_OUTOFMEMORY;
    if (m_bBusy) stop();
    m_sListUrl = sUrl;
    m_uRedirects = 0;
    HRESULT hr = send(sUrl, uServerAddress, uFirstPiece, bRanged);
    if (FAILED(hr)) {
        // The piece goes back to the map, whether or not the handler had taken it over.
        if (m_pHandler->currentPiece() != KPIECE_NONE) {
            m_pHandler->releasePiece();
        } else if (m_pSession->pieceMap()) {
            m_pSession->pieceMap()->release(uFirstPiece);
        }
        m_pHandler->clear();
        return E_FAIL;
    }
    return S_OK;
}

bool KHttpDownloader::pollBusy(HRESULT* phrResult, std::string* psUrl, int32_t* pnClientError,
                               std::string* psClientErrorExt) {
    if (!m_bBusy) {
        *phrResult = 0;
        return false;
    }
    if (m_request.isRunning() && !m_request.waitDone(0)) return true;
    while (m_request.tasksInFlight() > 0) QN_Sleep(1);

    if (m_pHandler->result() >= 0 && m_pHandler->isRedirect() && m_uRedirects < KDOWNLOADER_REDIRECT_LIMIT) {
        ++m_uRedirects;
        std::string sLocation = m_pHandler->location();
        std::string sOldOrigin, sNewOrigin, sPrefix;
        bool bOldOk = UrlOrigin(m_sCurrentUrl, &sOldOrigin, &sPrefix);
        if (!sLocation.empty() && sLocation[0] == '/' && bOldOk) sLocation = sPrefix + sLocation;
        // The server address of the query belongs to the query's host: another host is resolved.
        uint32_t uAddress = m_uServerAddress;
        if (!bOldOk || !UrlOrigin(sLocation, &sNewOrigin, nullptr) || sNewOrigin != sOldOrigin) uAddress = 0;
        uint32_t uFirst = m_uFirstPiece;
        // The first piece is still taken for this downloader: nothing of it was written.
        if (SUCCEEDED(send(sLocation, uAddress, uFirst, m_bRanged))) {
            KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_DEBUG, "downloader(%u) redirect(%d) location=%s OK", m_uId,
                        (int)m_uRedirects, sLocation.c_str());
            return true;
        }
        KSessionLog(KLOG_CATEGORY_HTTP, KLOG_LEVEL_ERROR, "downloader(%u) redirect(%d) location=%s failed", m_uId,
                    (int)m_uRedirects, sLocation.c_str());
    }

    HRESULT hr = m_pHandler->result();
    // A response that ended without bringing a single piece (an error status, a redirect past
    // the limit, an empty body) is a failure of the URL, or the session would retry for ever.
    if (hr >= 0 && m_pHandler->committedPieces() == 0) hr = KHR_CONNECTION_FAILED;
    *phrResult = hr;
    *psUrl = m_sListUrl;
    if (hr == KHR_CONNECTION_FAILED) {
        *pnClientError = m_request.getClientError();
        *psClientErrorExt = m_request.getClientErrorExt();
    }
    m_pHandler->releasePiece();
    m_pHandler->clear();
    m_bBusy = false;
    m_uRedirects = 0;
    return false;
}
