#include "PieceMap.h"

#include <cstring>
#include <new>

#include "qn_file_io.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
void PutU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
uint16_t GetU16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t GetU32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
uint64_t GetU64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void PutSystemTime(uint8_t* p, const SYSTEMTIME* pTime) {
    SYSTEMTIME t{};
    if (pTime) t = *pTime;
    const uint16_t aw[8] = {t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    for (int i = 0; i < 8; ++i) PutU16(p + 2 * i, aw[i]);
}
SYSTEMTIME GetSystemTimeField(const uint8_t* p) {
    SYSTEMTIME t;
    t.wYear = GetU16(p);
    t.wMonth = GetU16(p + 2);
    t.wDayOfWeek = GetU16(p + 4);
    t.wDay = GetU16(p + 6);
    t.wHour = GetU16(p + 8);
    t.wMinute = GetU16(p + 10);
    t.wSecond = GetU16(p + 12);
    t.wMilliseconds = GetU16(p + 14);
    return t;
}

// What a stored progress file of ullLength bytes allows for a download of ullFileSize bytes in
// pieces of uPieceSize (ullPieceCount of them) under the remote time pLastModified: an empty
// file, a header that is not this layout's or a file too short for the states (bad header), a
// different file size or piece size, or a resume.
uint32_t ClassifyStoredHeader(int nFd, uint64_t ullLength, uint64_t ullFileSize, const SYSTEMTIME* pLastModified,
                              uint32_t uPieceSize, uint64_t ullPieceCount) {
    uint8_t abHeader[KPIECEMAP_HEADER_SIZE];
    uint32_t uGot = 0;

    if (ullLength == 0) return KPMR_EMPTY;
    std::memset(abHeader, 0, sizeof(abHeader));
    if (!QN_FileReadAt(nFd, 0, abHeader, 8, &uGot) || uGot != 8 || std::memcmp(abHeader, "TbRf", 4) != 0 ||
        abHeader[4] != 1 || abHeader[5] != 0 ||
        !QN_FileReadAt(nFd, 8, abHeader + 8, KPIECEMAP_HEADER_SIZE - 8, &uGot) || uGot != KPIECEMAP_HEADER_SIZE - 8)
        return KPMR_BAD_HEADER;
    if (ullLength < KPIECEMAP_HEADER_SIZE + ullPieceCount) return KPMR_BAD_HEADER;
    if (GetU64(abHeader + KPIECEMAP_FILE_SIZE_OFFSET) != ullFileSize) return KPMR_SIZE_DIFFERS;
    if (GetU32(abHeader + KPIECEMAP_PIECE_SIZE_OFFSET) != uPieceSize) return KPMR_PIECE_SIZE_DIFFERS;
    SYSTEMTIME stored = GetSystemTimeField(abHeader + KPIECEMAP_LAST_MODIFIED_OFFSET);
    // The remote file's time is not the one the pieces were fetched under (a time that was or is
    // now absent included): they may be of another version, so they cannot be kept.
    if (pLastModified && std::memcmp(&stored, pLastModified, sizeof(stored)) != 0) return KPMR_BAD_HEADER;
    return KPMR_RESUMED;
}

}  // namespace

PieceMap::PieceMap() = default;

PieceMap::~PieceMap() { close(true); }

uint32_t PieceMap::AddRef() { return m_uRef.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32_t PieceMap::Release() {
    uint32_t uRef = m_uRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (uRef == 0) delete this;
    return uRef;
}

HRESULT PieceMap::writeHeader(int nFd, const char* cszUrl, uint64_t ullFileSize, const SYSTEMTIME* pLastModified,
                              uint32_t uPieceSize, uint32_t uPieceCount) {
    uint8_t abHeader[KPIECEMAP_HEADER_SIZE];
    uint8_t abZeros[1024];
    uint32_t uWritten = 0;
    uint64_t ullOffset = 0;
    size_t uUrlLen = cszUrl ? std::strlen(cszUrl) : 0;

    if (!QN_FileSetSize(nFd, 0)) return QN_LastErrorResult();
    std::memset(abHeader, 0, sizeof(abHeader));
    std::memcpy(abHeader, "TbRf", 4);
    PutU32(abHeader + 4, 1);
    if (uUrlLen > KPIECEMAP_URL_SIZE - 1) uUrlLen = KPIECEMAP_URL_SIZE - 1;
    if (uUrlLen) std::memcpy(abHeader + 8, cszUrl, uUrlLen);
    PutU64(abHeader + KPIECEMAP_FILE_SIZE_OFFSET, ullFileSize);
    PutSystemTime(abHeader + KPIECEMAP_LAST_MODIFIED_OFFSET, pLastModified);
    PutU32(abHeader + KPIECEMAP_PIECE_SIZE_OFFSET, uPieceSize);

    // The 8-byte start, then the rest of the header block, then the zeroed states.
    if (!QN_FileWriteAt(nFd, 0, abHeader, 8, &uWritten)) return uWritten ? E_FAIL : QN_LastErrorResult();
    if (!QN_FileWriteAt(nFd, 8, abHeader + 8, KPIECEMAP_HEADER_SIZE - 8, &uWritten))
        return uWritten ? E_FAIL : QN_LastErrorResult();
    std::memset(abZeros, 0, sizeof(abZeros));
    ullOffset = KPIECEMAP_HEADER_SIZE;
    for (uint64_t ullLeft = uPieceCount; ullLeft > 0;) {
        uint32_t uChunk = ullLeft > sizeof(abZeros) ? (uint32_t)sizeof(abZeros) : (uint32_t)ullLeft;
        if (!QN_FileWriteAt(nFd, ullOffset, abZeros, uChunk, &uWritten)) return uWritten ? E_FAIL : QN_LastErrorResult();
        ullOffset += uChunk;
        ullLeft -= uChunk;
    }
    if (!QN_FileFlush(nFd)) return QN_LastErrorResult();
    return S_OK;
}

HRESULT PieceMap::open(const wchar_t* wszPath, const char* cszUrl, uint64_t ullFileSize,
                       const SYSTEMTIME* pLastModified, uint32_t uPieceSize, uint32_t* puResume) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    HRESULT hr = E_FAIL;
    uint64_t ullPieceCount = 0;
    uint64_t ullLength = 0;
    uint32_t uOutcome = KPMR_EMPTY;
    bool bResume = puResume && *puResume == 1;
    std::string sPath;
    int nFd = -1;
    std::vector<uint8_t> states;
    uint32_t uGot = 0;

    if (!wszPath || !wszPath[0] || uPieceSize == 0 || m_nFd >= 0) return E_INVALIDARG;
    ullPieceCount = ullFileSize / uPieceSize + (ullFileSize % uPieceSize ? 1 : 0);
    // The piece index is 32 bits wide: a larger count cannot be kept.
    if (ullPieceCount > 0xFFFFFFFFull) return E_INVALIDARG;

    sPath = QN_WideToUtf8(wszPath) + ".cfg";
    nFd = QN_FileOpen(sPath.c_str(), QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ,
                      QN_FILE_OPEN_ALWAYS);
    if (nFd < 0) return QN_LastErrorResult();

    if (bResume) {
        if (!QN_FileGetSize(nFd, &ullLength)) {
            hr = QN_LastErrorResult();
            goto Exit0;
        }
        uOutcome = ClassifyStoredHeader(nFd, ullLength, ullFileSize, pLastModified, uPieceSize, ullPieceCount);
    }

    try {
        states.assign((size_t)ullPieceCount, 0);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
        goto Exit0;
    }
    if (uOutcome == KPMR_RESUMED) {
        if (ullPieceCount && (!QN_FileReadAt(nFd, KPIECEMAP_HEADER_SIZE, states.data(), (uint32_t)ullPieceCount, &uGot) ||
                              uGot != (uint32_t)ullPieceCount)) {
            hr = uGot ? E_FAIL : QN_LastErrorResult();
            goto Exit0;
        }
    } else {
        hr = writeHeader(nFd, cszUrl, ullFileSize, pLastModified, uPieceSize, (uint32_t)ullPieceCount);
        if (FAILED(hr)) goto Exit0;
    }

    m_sPath = sPath;
    m_sUrl = cszUrl ? cszUrl : "";
    m_nFd = nFd;
    nFd = -1;
    if (pLastModified) m_lastModified = *pLastModified;
    m_ullFileSize = ullFileSize;
    m_uPieceSize = uPieceSize;
    m_uPieceCount = (uint32_t)ullPieceCount;
    m_states.swap(states);
    m_writers.assign(m_states.size(), 0);
    m_extraHolders.assign(m_states.size(), 0);
    m_uCompleteCount = 0;
    // A piece taken or half-done by an earlier session is free again. So is a piece whose state
    // no session writes (a damaged file): counted complete, it would never be fetched, and a
    // block holding it would never be verified against the checksum file.
    for (uint8_t& b : m_states) {
        uint8_t uLow = stateOf(b);
        if (uLow == KPIECE_DOWNLOADED || uLow == KPIECE_VERIFIED) {
            ++m_uCompleteCount;
        } else {
            b = (uint8_t)(b & KPIECE_ABOVE_STATE_MASK);
        }
    }
    m_uWindowStart = m_uWindowEnd = KPIECE_NONE;
    if (bResume) *puResume = uOutcome;
    // Nobody else holds the map yet: write the cleared states straight away.
    m_bDirty = !writeStates(m_states);
    return S_OK;

Exit0:
    if (nFd >= 0) QN_FileClose(nFd);
    return hr;
}

bool PieceMap::getState(uint32_t uPiece, uint32_t* puState, uint32_t* puField) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0 || uPiece >= m_uPieceCount) return false;
    uint8_t b = m_states[uPiece];
    if (puState) *puState = stateOf(b);
    if (puField) *puField = (uint32_t)(b & KPIECE_FIELD_MASK) >> 4;
    return true;
}

bool PieceMap::isComplete(uint32_t uPiece) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_nFd >= 0 && uPiece < m_uPieceCount && isCompleteState(m_states[uPiece]);
}

void PieceMap::scanRange(bool bUseWindow, uint32_t* puLo, uint32_t* puHi) {
    *puLo = 0;
    *puHi = m_uPieceCount;
    if (bUseWindow && isWindowValidLocked()) {
        *puLo = m_uWindowStart;
        *puHi = m_uWindowEnd < m_uPieceCount ? m_uWindowEnd : m_uPieceCount;
    }
}

bool PieceMap::isWindowValidLocked() {
    if (m_uWindowStart >= m_uWindowEnd || m_uWindowStart >= m_uPieceCount) return false;
    uint32_t uEnd = m_uWindowEnd < m_uPieceCount ? m_uWindowEnd : m_uPieceCount;
    for (uint32_t i = m_uWindowStart; i < uEnd; ++i) {
        if (isFreeState(m_states[i])) return true;
    }
    return false;
}

bool PieceMap::isWindowValid() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0) return false;
    return isWindowValidLocked();
}

void PieceMap::setWindow(uint32_t uFirst, uint32_t uLast) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (uLast > m_uPieceCount) uLast = m_uPieceCount;
    if (uFirst < uLast && uFirst < m_uPieceCount) {
        m_uWindowStart = uFirst;
        m_uWindowEnd = uLast;
    }
}

void PieceMap::noteWriter(uint32_t uPiece, uint32_t uWriter) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (uPiece < m_writers.size()) m_writers[uPiece] = uWriter;
}

bool PieceMap::isLastWriter(uint32_t uPiece, uint32_t uWriter) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return uPiece < m_writers.size() && m_writers[uPiece] == uWriter;
}

void PieceMap::getWindow(uint32_t* puStart, uint32_t* puEnd) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    *puStart = m_uWindowStart;
    *puEnd = m_uWindowEnd;
}

bool PieceMap::pickFree(bool bUseWindow, uint32_t* puFirst, uint32_t* puLast) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0) return false;
    uint32_t uLo, uHi;
    scanRange(bUseWindow, &uLo, &uHi);
    bool bFound = false;
    uint32_t uBestFirst = 0, uBestLast = 0;
    for (uint32_t i = uLo; i < uHi; ++i) {
        if (!isFreeState(m_states[i])) continue;
        if (i != uLo && !isCompleteState(m_states[i - 1])) continue;
        uint32_t j = i;
        while (j + 1 < uHi && isFreeState(m_states[j + 1])) ++j;
        if (!bFound || j - i > uBestLast - uBestFirst) {
            bFound = true;
            uBestFirst = i;
            uBestLast = j;
        }
        i = j;
    }
    if (!bFound) return false;
    m_states[uBestFirst] |= KPIECE_TAKEN;
    *puFirst = uBestFirst;
    *puLast = uBestLast;
    return true;
}

bool PieceMap::pickSplit(bool bUseWindow, uint32_t* puStart, uint32_t* puLast,
                         const std::function<bool(uint32_t uTakenPiece, uint32_t uPiecesAhead)>& fnMaySplit) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0) return false;
    uint32_t uLo, uHi;
    scanRange(bUseWindow, &uLo, &uHi);
    bool bFound = false, bAnyAlone = false;
    uint32_t uBestFirst = 0, uBestLast = 0;
    uint32_t i = uLo;
    while (i < uHi) {
        if (!isTakenState(m_states[i])) {
            ++i;
            continue;
        }
        uint32_t j = i + 1;
        while (j < uHi && isFreeState(m_states[j])) ++j;
        uint32_t uLast = j - 1;
        if (uLast == i) bAnyAlone = true;
        if (!bFound || uLast - i > uBestLast - uBestFirst) {
            bFound = true;
            uBestFirst = i;
            uBestLast = uLast;
        }
        i = j;
    }
    if (!bFound) return false;
    if (uBestLast > uBestFirst) {
        uint32_t uLength = uBestLast - uBestFirst + 1;
        if (!fnMaySplit || fnMaySplit(uBestFirst, uLength / 2)) {
            uint32_t uStart = uBestFirst + uLength / 2;
            m_states[uStart] |= KPIECE_TAKEN;
            *puStart = uStart;
            *puLast = uBestLast;
            return true;
        }
    }
    // The end of the download: a taken piece with nothing free behind it is fetched by a second
    // downloader as well, so that one stalled answer does not hold up the whole file. Whichever
    // copy is committed first counts; the other is dropped.
    if (!bAnyAlone) return false;
    for (uint32_t p = uLo; p < uHi; ++p) {
        if (!isTakenState(m_states[p]) || (p + 1 < uHi && isFreeState(m_states[p + 1]))) continue;
        if (fnMaySplit && !fnMaySplit(p, 0)) continue;
        if (m_extraHolders[p] < 0xFF) ++m_extraHolders[p];
        *puStart = p;
        *puLast = p;
        return true;
    }
    return false;
}

bool PieceMap::commit(uint32_t uPiece, bool* pbAlreadyComplete, bool* pbStop) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (pbAlreadyComplete) *pbAlreadyComplete = false;
    if (pbStop) *pbStop = false;
    if (m_nFd < 0 || uPiece >= m_uPieceCount) return false;
    uint8_t& b = m_states[uPiece];
    if (!isCompleteState(b)) {
        ++m_uCompleteCount;
        b = (uint8_t)((b & KPIECE_KEPT_MASK) | KPIECE_DOWNLOADED);
        m_extraHolders[uPiece] = 0;
        m_bDirty = true;
    } else if (pbAlreadyComplete) {
        *pbAlreadyComplete = true;
    }
    bool bWindowValid = isWindowValidLocked();
    if (!bWindowValid) m_uWindowStart = m_uWindowEnd = KPIECE_NONE;
    bool bStop = true;
    uint32_t uNext = uPiece + 1;
    bool bConsider = !bWindowValid || (uPiece >= m_uWindowStart && uPiece < m_uWindowEnd);
    if (bConsider && uNext < m_uPieceCount && !isCompleteState(m_states[uNext])) {
        if (isTakenState(m_states[uNext]) && m_extraHolders[uNext] < 0xFF) ++m_extraHolders[uNext];
        m_states[uNext] |= KPIECE_TAKEN;
        bStop = false;
        m_bDirty = true;
    }
    if (pbStop) *pbStop = bStop;
    return true;
}

bool PieceMap::release(uint32_t uPiece) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0 || uPiece >= m_uPieceCount) return false;
    uint8_t& b = m_states[uPiece];
    if (!(b & KPIECE_TAKEN) || isCompleteState(b)) return false;
    if (m_extraHolders[uPiece] > 0) {
        --m_extraHolders[uPiece];
        return true;
    }
    b = (uint8_t)(b & ~KPIECE_TAKEN);
    return true;
}

bool PieceMap::reset(uint32_t uPiece) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0 || uPiece >= m_uPieceCount) return false;
    uint8_t& b = m_states[uPiece];
    if (!isCompleteState(b)) return false;
    b = (uint8_t)(b & KPIECE_ABOVE_STATE_MASK);
    m_extraHolders[uPiece] = 0;
    --m_uCompleteCount;
    m_bDirty = true;
    return true;
}

bool PieceMap::markVerified(uint32_t uPiece) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0 || uPiece >= m_uPieceCount) return false;
    uint8_t& b = m_states[uPiece];
    if (stateOf(b) != KPIECE_DOWNLOADED) return false;
    b = (uint8_t)((b & KPIECE_ABOVE_STATE_MASK) | KPIECE_VERIFIED);
    m_bDirty = true;
    return true;
}

uint32_t PieceMap::completeCount() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_uCompleteCount;
}

uint64_t PieceMap::completeBytes() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0 || m_uPieceCount == 0) return 0;
    uint64_t ullBytes = (uint64_t)m_uCompleteCount * m_uPieceSize;
    uint32_t uTail = (uint32_t)(m_ullFileSize % m_uPieceSize);
    if (uTail && isCompleteState(m_states[m_uPieceCount - 1])) ullBytes -= m_uPieceSize - uTail;
    return ullBytes;
}

bool PieceMap::writeStates(const std::vector<uint8_t>& states) {
    uint32_t uWritten = 0;
    if (states.empty()) return true;
    return QN_FileWriteAt(m_nFd, KPIECEMAP_HEADER_SIZE, states.data(), (uint32_t)states.size(), &uWritten) != 0;
}

bool PieceMap::flush(const std::function<bool()>& pfnBeforeWrite) { return writeOut(pfnBeforeWrite, false); }

bool PieceMap::flushSynced() { return writeOut(nullptr, true); }

bool PieceMap::writeOut(const std::function<bool()>& pfnBeforeWrite, bool bSync) {
    std::lock_guard<std::mutex> writeGuard(m_writeLock);
    std::vector<uint8_t> snapshot;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (m_nFd < 0) return false;
        if (!m_bDirty && !bSync) return true;
        try {
            snapshot = m_states;
        } catch (const std::bad_alloc&) {
            return false;
        }
        m_bDirty = false;
    }
    bool bOk = !pfnBeforeWrite || pfnBeforeWrite();
    if (bOk) bOk = writeStates(snapshot);
    if (bOk && bSync) bOk = QN_FileFlush(m_nFd) != 0;
    if (!bOk) {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_bDirty = true;
    }
    return bOk;
}

bool PieceMap::setLastModified(const SYSTEMTIME* pLastModified) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0) return false;
    uint8_t abTime[16];
    uint32_t uWritten = 0;
    PutSystemTime(abTime, pLastModified);
    m_lastModified = pLastModified ? *pLastModified : SYSTEMTIME{};
    return QN_FileWriteAt(m_nFd, KPIECEMAP_LAST_MODIFIED_OFFSET, abTime, sizeof(abTime), &uWritten) && uWritten == sizeof(abTime);
}

void PieceMap::close(bool bKeepFile) {
    std::string sDelete;
    {
        std::lock_guard<std::mutex> writeGuard(m_writeLock);
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (m_nFd < 0) return;
        if (bKeepFile && m_bDirty) writeStates(m_states);
        QN_FileClose(m_nFd);
        m_nFd = -1;
        m_bDirty = false;
        if (!bKeepFile) sDelete = m_sPath;
    }
    if (!sDelete.empty()) QN_DeleteFile(sDelete.c_str());
}
