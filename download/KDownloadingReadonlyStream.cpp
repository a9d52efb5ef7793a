#include "KDownloadingReadonlyStream.h"

#include "KSessionLog.h"
#include "qn_platform.h"

namespace {
constexpr uint32_t kPollMilliseconds = 20;
constexpr uint32_t kReadAheadMin = 0x40000;
constexpr uint32_t kReadAheadMax = 0x100000;
constexpr uint64_t kReadAhead = 0x400000;
}  // namespace

KDownloadingReadonlyStream::KDownloadingReadonlyStream() = default;

KDownloadingReadonlyStream::~KDownloadingReadonlyStream() {
    if (m_pDataFile) m_pDataFile->Release();
    if (m_pPieceMap) m_pPieceMap->Release();
}

HRESULT KDownloadingReadonlyStream::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject) return E_INVALIDARG;
    *ppvObject = nullptr;
    if (riid != IID_IInStream) return E_NOINTERFACE;
    AddRef();
    *ppvObject = static_cast<IInStream*>(this);
    return S_OK;
}

uint32_t KDownloadingReadonlyStream::AddRef() { return m_uRef.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32_t KDownloadingReadonlyStream::Release() {
    uint32_t uRef = m_uRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (uRef == 0) delete this;
    return uRef;
}

HRESULT KDownloadingReadonlyStream::init(DataFile* pDataFile, PieceMap* pPieceMap) {
    if (!pDataFile || !pPieceMap || m_pDataFile) return E_FAIL;
    if (pDataFile->pieceSize() == 0) return E_FAIL;
    pDataFile->AddRef();
    pPieceMap->AddRef();
    m_pDataFile = pDataFile;
    m_pPieceMap = pPieceMap;
    m_ullFileSize = pDataFile->fileSize();
    m_uPieceSize = pDataFile->pieceSize();
    return S_OK;
}

HRESULT KDownloadingReadonlyStream::SetAbortCallback(KStreamAbortCallback pfnCallback, void* pvContext) {
    m_pvAbortContext.store(pvContext, std::memory_order_relaxed);
    m_pfnAbort.store(pfnCallback, std::memory_order_release);
    return S_OK;
}

void KDownloadingReadonlyStream::windowFor(uint64_t ullPosition, uint32_t uSize, uint64_t ullFileSize,
                                           uint32_t uPieceSize, uint32_t* puFirst, uint32_t* puLast) {
    uint64_t ullEnd = ullPosition + uSize;
    if (uSize >= kReadAheadMin && uSize <= kReadAheadMax) ullEnd = ullPosition + kReadAhead;
    if (ullEnd > ullFileSize) ullEnd = ullFileSize;
    uint64_t ullFirst = ullPosition / uPieceSize;
    uint64_t ullLast = ullEnd / uPieceSize;
    if (ullFirst >= ullLast) ullLast = ullFirst + 1;
    *puFirst = ullFirst > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)ullFirst;
    *puLast = ullLast > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)ullLast;
}

HRESULT KDownloadingReadonlyStream::ensurePieceDownloaded(uint32_t uPiece) {
    for (;;) {
        KStreamAbortCallback pfnAbort = m_pfnAbort.load(std::memory_order_acquire);
        if (pfnAbort && pfnAbort(m_pvAbortContext.load(std::memory_order_relaxed))) return E_ABORT;
        uint32_t uState = 0;
        if (!m_pPieceMap->getState(uPiece, &uState, nullptr)) return E_FAIL;
        if (uState >= KPIECE_DOWNLOADED) return S_OK;
        // The session is over and the piece is not there: it will never come.
        if (m_pPieceMap->isEnded()) return E_FAIL;
        QN_Sleep(kPollMilliseconds);
    }
}

HRESULT KDownloadingReadonlyStream::Read(void* pvData, uint32_t uSize, uint32_t* puProcessedSize) {
    HRESULT hr = S_OK;
    uint32_t uDone = 0;
    KSessionLog(KLOG_CATEGORY_STREAM_READ, KLOG_LEVEL_DEBUG, "try to read %u bytes", uSize);
    if (puProcessedSize) *puProcessedSize = 0;
    if (uSize && !pvData) return E_INVALIDARG;
    if (!m_pDataFile) return E_FAIL;
    if (uSize) {
        uint32_t uFirst = 0, uLast = 0;
        windowFor(m_ullPosition, uSize, m_ullFileSize, m_uPieceSize, &uFirst, &uLast);
        m_pPieceMap->setWindow(uFirst, uLast);
    }
    // A read that reaches the end of the file returns what there was, with S_OK.
    while (uDone < uSize && m_ullPosition < m_ullFileSize) {
        uint32_t uPiece = (uint32_t)(m_ullPosition / m_uPieceSize);
        uint32_t uOffset = (uint32_t)(m_ullPosition % m_uPieceSize);
        hr = ensurePieceDownloaded(uPiece);
        if (FAILED(hr)) break;
        uint32_t uWant = m_uPieceSize - uOffset;
        if (uWant > uSize - uDone) uWant = uSize - uDone;
        if (!m_pDataFile->readPiece(uPiece, uOffset, (uint8_t*)pvData + uDone, &uWant) || uWant == 0) {
            hr = E_FAIL;
            break;
        }
        uDone += uWant;
        m_ullPosition += uWant;
    }
    if (puProcessedSize) *puProcessedSize = uDone;
    KSessionLog(KLOG_CATEGORY_STREAM_READ, KLOG_LEVEL_DEBUG, "actually read %u bytes", uDone);
    return hr;
}

HRESULT KDownloadingReadonlyStream::Seek(int64_t llOffset, uint32_t uSeekOrigin, uint64_t* pullNewPosition) {
    __int128 base = 0;
    switch (uSeekOrigin) {
        case KSTREAM_SEEK_SET: base = 0; break;
        case KSTREAM_SEEK_CUR: base = (__int128)m_ullPosition; break;
        case KSTREAM_SEEK_END: base = (__int128)m_ullFileSize; break;
        default:
            KSessionLog(KLOG_CATEGORY_STREAM_SEEK, KLOG_LEVEL_ERROR, "unknown seekOrigin %u", uSeekOrigin);
            return E_FAIL;
    }
    __int128 target = base + llOffset;
    if (target < 0) target = 0;
    if (target > (__int128)m_ullFileSize) target = (__int128)m_ullFileSize;
    m_ullPosition = (uint64_t)target;
    if (pullNewPosition) *pullNewPosition = m_ullPosition;
    KSessionLog(KLOG_CATEGORY_STREAM_SEEK, KLOG_LEVEL_DEBUG, "offset=%lld, seekOrigin=%u, newPosition=%lld",
                (long long)llOffset, uSeekOrigin, (long long)m_ullPosition);
    return S_OK;
}
