#include "DataFile.h"

#include "qn_file_io.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

// Transfers go to the disk in chunks of this size, so that an abort is seen between them.
constexpr uint32_t kTransferChunk = 1u << 20;

}  // namespace

DataFile::DataFile() = default;

DataFile::~DataFile() {
    std::lock_guard<std::mutex> syncGuard(m_syncLock);
    if (m_nFd >= 0) QN_FileClose(m_nFd);
}

uint32_t DataFile::AddRef() { return m_uRef.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32_t DataFile::Release() {
    uint32_t uRef = m_uRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (uRef == 0) delete this;
    return uRef;
}

uint32_t DataFile::pieceLength(uint32_t uPiece) const {
    if (uPiece >= m_uPieceCount) return 0;
    if (uPiece == m_uPieceCount - 1) {
        uint32_t uTail = (uint32_t)(m_ullFileSize % m_uPieceSize);
        if (uTail) return uTail;
    }
    return m_uPieceSize;
}

HRESULT DataFile::open(const wchar_t* wszPath, uint64_t ullFileSize, uint32_t uPieceSize,
                       const SYSTEMTIME* pLastModified, void* /*pvReserved*/, KAbortFlag abortFlag,
                       uint32_t* puResume) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    HRESULT hr = E_FAIL;
    uint64_t ullPieceCount = 0;
    bool bKeep = false;
    std::string sTarget;

    if (!wszPath || !wszPath[0] || uPieceSize == 0 || m_nFd >= 0) return E_INVALIDARG;
    ullPieceCount = ullFileSize / uPieceSize + (ullFileSize % uPieceSize ? 1 : 0);
    if (ullPieceCount > 0xFFFFFFFFull) return E_INVALIDARG;

    m_abortFlag = std::move(abortFlag);
    sTarget = QN_WideToUtf8(wszPath);
    m_nFd = QN_FileOpen((sTarget + ".tmp").c_str(), QN_FILE_ACCESS_READ | QN_FILE_ACCESS_WRITE, QN_FILE_SHARE_READ,
                        QN_FILE_OPEN_ALWAYS);
    if (m_nFd < 0) return QN_LastErrorResult();

    if (puResume && *puResume == 1) {
        uint64_t ullSize = 0;
        if (!QN_FileGetSize(m_nFd, &ullSize)) {
            hr = QN_LastErrorResult();
            goto Exit0;
        }
        if (ullSize == 0) {
            *puResume = KDFR_EMPTY;
        } else if (ullSize == ullFileSize) {
            *puResume = KDFR_KEPT;
            bKeep = true;
        } else {
            *puResume = KDFR_SIZE_DIFFERS;
        }
    }
    m_ullFileSize = ullFileSize;
    m_uPieceSize = uPieceSize;
    m_uPieceCount = (uint32_t)ullPieceCount;
    if (!bKeep) {
        hr = preallocate(ullFileSize);
        if (FAILED(hr)) goto Exit0;
    }
    m_sTargetPath = sTarget;
    if (pLastModified) m_lastModified = *pLastModified;
    return S_OK;

Exit0:
    QN_FileClose(m_nFd);
    m_nFd = -1;
    return hr;
}

HRESULT DataFile::preallocate(uint64_t ullSize) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0) return E_FAIL;
    if (!QN_FileSetSize(m_nFd, ullSize)) return QN_LastErrorResult();
    // Reserve the blocks for real: a file system with sparse files would otherwise take the
    // space only as pieces arrive, and a full disk would show late.
    if (!QN_FileReserve(m_nFd, ullSize)) return QN_LastErrorResult();
    for (uint64_t ullOffset = 0; ullOffset < ullSize; ullOffset += KDATAFILE_TOUCH_STEP) {
        static const uint8_t s_bMark = 0xFE;
        static const uint8_t s_bZero = 0x00;
        uint32_t uWritten = 0;
        HRESULT hr = write(ullOffset, &s_bMark, 1, &uWritten);
        if (FAILED(hr)) return hr;
        hr = write(ullOffset, &s_bZero, 1, &uWritten);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT DataFile::write(uint64_t ullOffset, const void* pvBuffer, uint32_t uLength, uint32_t* puWritten) {
    uint32_t uDone = 0;
    if (puWritten) *puWritten = 0;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0) return E_FAIL;
    while (uDone < uLength || uLength == 0) {
        if (aborted()) return E_ABORT;
        if (uLength == 0) break;
        uint32_t uChunk = uLength - uDone > kTransferChunk ? kTransferChunk : uLength - uDone;
        uint32_t uWritten = 0;
        int nOk = QN_FileWriteAt(m_nFd, ullOffset + uDone, (const uint8_t*)pvBuffer + uDone, uChunk, &uWritten);
        uDone += uWritten;
        if (puWritten) *puWritten = uDone;
        if (!nOk) return QN_LastErrorResult();
    }
    return S_OK;
}

HRESULT DataFile::read(uint64_t ullOffset, void* pvBuffer, uint32_t uLength, uint32_t* puGot) {
    uint32_t uDone = 0;
    if (puGot) *puGot = 0;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_nFd < 0) return E_FAIL;
    while (uDone < uLength || uLength == 0) {
        if (aborted()) return E_ABORT;
        if (uLength == 0) break;
        uint32_t uChunk = uLength - uDone > kTransferChunk ? kTransferChunk : uLength - uDone;
        uint32_t uGot = 0;
        if (!QN_FileReadAt(m_nFd, ullOffset + uDone, (uint8_t*)pvBuffer + uDone, uChunk, &uGot)) {
            return QN_LastErrorResult();
        }
        uDone += uGot;
        if (puGot) *puGot = uDone;
        if (uGot < uChunk) break;  // end of file
    }
    return S_OK;
}

bool DataFile::readPiece(uint32_t uPiece, uint32_t uOffsetInPiece, void* pvBuffer, uint32_t* puSize) {
    if (!puSize || *puSize == 0) return false;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (uPiece >= m_uPieceCount) return false;
    uint32_t uLength = pieceLength(uPiece);
    if (uOffsetInPiece >= uLength) return false;
    uint32_t uWant = *puSize < uLength - uOffsetInPiece ? *puSize : uLength - uOffsetInPiece;
    uint32_t uGot = 0;
    if (FAILED(read((uint64_t)uPiece * m_uPieceSize + uOffsetInPiece, pvBuffer, uWant, &uGot))) return false;
    *puSize = uGot;
    return true;
}

bool DataFile::flush() {
    // The sync can take long on a busy disk. It runs without the data file's lock, so that the
    // pieces arriving meanwhile are written (and committed) instead of waiting behind it; the
    // sync lock keeps the descriptor open until the sync returns.
    std::lock_guard<std::mutex> syncGuard(m_syncLock);
    int nFd = -1;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        nFd = m_nFd;
    }
    if (nFd < 0) return false;
    return QN_FileFlush(nFd) != 0;
}

void DataFile::setLastModified(const SYSTEMTIME* pLastModified) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_lastModified = pLastModified ? *pLastModified : SYSTEMTIME{};
}

HRESULT DataFile::finish() {
    std::lock_guard<std::mutex> syncGuard(m_syncLock);
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    uint64_t ullFileTime = 0;
    if (m_nFd < 0) return E_FAIL;
    if (!QN_IsSystemTimeZero(&m_lastModified) && QN_SystemTimeToFileTime(&m_lastModified, &ullFileTime)) {
        QN_FileSetLastWriteTime(m_nFd, ullFileTime);  // best effort
    }
    QN_FileClose(m_nFd);
    m_nFd = -1;
    if (!QN_MoveFileReplace((m_sTargetPath + ".tmp").c_str(), m_sTargetPath.c_str())) return QN_LastErrorResult();
    return S_OK;
}
