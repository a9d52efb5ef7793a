// A read-only stream over a file that is still downloading: a read waits until the pieces
// under it are complete, and a read of an archive reader's typical size moves the session's
// priority window to the next 4 MiB.
#pragma once

#include <atomic>
#include <cstdint>

#include "DataFile.h"
#include "IKDownloadSession.h"
#include "PieceMap.h"

// Returns true when the reader should give up waiting.
using KStreamAbortCallback = bool (*)(void* pvContext);

class KDownloadingReadonlyStream : public IInStream {
public:
    KDownloadingReadonlyStream();

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    HRESULT Read(void* pvData, uint32_t uSize, uint32_t* puProcessedSize) override;
    HRESULT Seek(int64_t llOffset, uint32_t uSeekOrigin, uint64_t* pullNewPosition) override;
    virtual HRESULT SetAbortCallback(KStreamAbortCallback pfnCallback, void* pvContext);

    // Takes a reference to both objects. A new stream has a count of 0.
    HRESULT init(DataFile* pDataFile, PieceMap* pPieceMap);
    HRESULT ensurePieceDownloaded(uint32_t uPiece);

    // The window a read of uSize bytes at ullPosition asks for, [*puFirst, *puLast).
    static void windowFor(uint64_t ullPosition, uint32_t uSize, uint64_t ullFileSize, uint32_t uPieceSize,
                          uint32_t* puFirst, uint32_t* puLast);

private:
    virtual ~KDownloadingReadonlyStream();

    std::atomic<uint32_t> m_uRef{0};
    DataFile* m_pDataFile = nullptr;
    PieceMap* m_pPieceMap = nullptr;
    uint64_t m_ullFileSize = 0;
    uint32_t m_uPieceSize = 0;
    uint64_t m_ullPosition = 0;
    std::atomic<KStreamAbortCallback> m_pfnAbort{nullptr};
    std::atomic<void*> m_pvAbortContext{nullptr};
};
