// The data file of a download (target path + ".tmp"): the raw bytes at their offsets,
// preallocated to the full size, renamed onto the target when the download is finished.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "qn_com.h"
#include "qn_systemtime.h"

// The abort request of a session, shared with the objects that test it (the data file, and
// through it the read-only stream), so that it outlives the session when they do.
using KAbortFlag = std::shared_ptr<const std::atomic<bool>>;

// Outcomes of DataFile::open in *resume.
enum KDataFileResume : uint32_t {
    KDFR_EMPTY = 0,
    KDFR_KEPT = 1,
    KDFR_SIZE_DIFFERS = 3,
};

inline constexpr uint64_t KDATAFILE_TOUCH_STEP = 0x400000;  // 4 MiB

class DataFile {
public:
    DataFile();
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    // Counted: shared by the session and the read-only stream. A new data file has a count of
    // 0; its creator takes the first reference.
    uint32_t AddRef();
    uint32_t Release();

    // Opens or creates path + ".tmp" (read and write, shared for reading). *puResume on entry 1
    // asks to keep the content; on return 1 kept, 0 the file was empty, 3 its size differed (a
    // value other than 1 on entry is left alone). Unless kept, the file is preallocated.
    HRESULT open(const wchar_t* wszPath, uint64_t ullFileSize, uint32_t uPieceSize, const SYSTEMTIME* pLastModified,
                 void* pvReserved, KAbortFlag abortFlag, uint32_t* puResume);
    HRESULT preallocate(uint64_t ullSize);
    HRESULT write(uint64_t ullOffset, const void* pvBuffer, uint32_t uLength, uint32_t* puWritten);
    HRESULT read(uint64_t ullOffset, void* pvBuffer, uint32_t uLength, uint32_t* puGot);
    // Reads inside one piece; *puSize in: wanted, out: got.
    bool readPiece(uint32_t uPiece, uint32_t uOffsetInPiece, void* pvBuffer, uint32_t* puSize);
    // Flushes the written bytes to the disk. Writes and reads go on while the disk syncs; a
    // close waits for the sync.
    bool flush();
    // Stamps the last-write time, closes and renames the ".tmp" onto the target. A stream that
    // still holds the data file reads E_FAIL from then on.
    HRESULT finish();
    // The remote file's time that finish stamps (zero for none).
    void setLastModified(const SYSTEMTIME* pLastModified);

    uint64_t fileSize() const { return m_ullFileSize; }
    uint32_t pieceSize() const { return m_uPieceSize; }
    uint32_t pieceCount() const { return m_uPieceCount; }
    // Length of a piece: the piece size, or the rest of the file for the last one; 0 past the end.
    uint32_t pieceLength(uint32_t uPiece) const;
    std::recursive_mutex& lock() { return m_lock; }

private:
    ~DataFile();
    bool aborted() const { return m_abortFlag && m_abortFlag->load(std::memory_order_acquire); }

    std::recursive_mutex m_lock;
    std::mutex m_syncLock;  // held across a sync of the descriptor; taken before closing it
    std::atomic<uint32_t> m_uRef{0};
    std::string m_sTargetPath;
    int m_nFd = -1;
    uint64_t m_ullFileSize = 0;
    uint32_t m_uPieceSize = 0;
    uint32_t m_uPieceCount = 0;
    SYSTEMTIME m_lastModified{};
    KAbortFlag m_abortFlag;
};
