// The progress file (target path + ".cfg") and the piece states it keeps.
//
// Layout, little-endian: "TbRf"; u32 1; the URL (2012 bytes, zero-terminated, zero-filled);
// the file size (u64); the remote Last-Modified time (16 bytes, zeros when none); the piece
// size (u32); zeros up to offset 4096; then one state byte per piece. The states are kept in
// memory and written back with positioned writes by flush and close.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qn_com.h"
#include "qn_systemtime.h"

// A piece's state byte: the low four bits are the state (below), bits 4 and 5 a field that a
// commit clears, bits 6 and 7 flags that every change keeps.
inline constexpr uint8_t KPIECE_STATE_MASK = 0x0F;
inline constexpr uint8_t KPIECE_FIELD_MASK = 0x30;
inline constexpr uint8_t KPIECE_KEPT_MASK = 0xC0;
// Everything of a state byte but its state.
inline constexpr uint8_t KPIECE_ABOVE_STATE_MASK = KPIECE_FIELD_MASK | KPIECE_KEPT_MASK;

// Low four bits of a state byte.
enum KPieceState : uint8_t {
    KPIECE_FREE = 0,
    KPIECE_TAKEN = 1,      // bit 0: a downloader has the piece
    KPIECE_AS_FREE = 2,    // counts as free
    KPIECE_DOWNLOADED = 4,
    KPIECE_VERIFIED = 8,
};

// Outcomes of PieceMap::open in *resume.
enum KPieceMapResume : uint32_t {
    KPMR_EMPTY = 0,
    KPMR_RESUMED = 1,
    KPMR_BAD_HEADER = 2,
    KPMR_SIZE_DIFFERS = 3,
    KPMR_PIECE_SIZE_DIFFERS = 4,
};

inline constexpr uint32_t KPIECE_NONE = 0xFFFFFFFFu;
inline constexpr uint32_t KPIECEMAP_HEADER_SIZE = 4096;
inline constexpr uint32_t KPIECEMAP_URL_SIZE = 2012;
// Where the header's fields lie (the URL starts at 8).
inline constexpr uint32_t KPIECEMAP_FILE_SIZE_OFFSET = 2020;
inline constexpr uint32_t KPIECEMAP_LAST_MODIFIED_OFFSET = 2028;
inline constexpr uint32_t KPIECEMAP_PIECE_SIZE_OFFSET = 2044;
static_assert(8 + KPIECEMAP_URL_SIZE == KPIECEMAP_FILE_SIZE_OFFSET &&
                  KPIECEMAP_FILE_SIZE_OFFSET + 8 == KPIECEMAP_LAST_MODIFIED_OFFSET &&
                  KPIECEMAP_LAST_MODIFIED_OFFSET + 16 == KPIECEMAP_PIECE_SIZE_OFFSET &&
                  KPIECEMAP_PIECE_SIZE_OFFSET + 4 <= KPIECEMAP_HEADER_SIZE,
              "the header's fields follow each other inside the header block");

class PieceMap {
public:
    PieceMap();
    PieceMap(const PieceMap&) = delete;
    PieceMap& operator=(const PieceMap&) = delete;

    // Counted: the map is shared by the session and the read-only stream. A new map has a count
    // of 0; its creator takes the first reference.
    uint32_t AddRef();
    uint32_t Release();

    // Opens or creates path + ".cfg". *puResume on entry 1 asks to resume; on return it holds a
    // KPieceMapResume outcome (a value other than 1 on entry is left alone). Anything but a
    // resume rewrites the file with every piece free. A stored Last-Modified time that differs
    // from a given one (zero for none) means the remote file changed: the file is rewritten.
    HRESULT open(const wchar_t* wszPath, const char* cszUrl, uint64_t ullFileSize, const SYSTEMTIME* pLastModified,
                 uint32_t uPieceSize, uint32_t* puResume);
    // Writes a fresh progress file on an open descriptor.
    static HRESULT writeHeader(int nFd, const char* cszUrl, uint64_t ullFileSize, const SYSTEMTIME* pLastModified,
                               uint32_t uPieceSize, uint32_t uPieceCount);

    bool getState(uint32_t uPiece, uint32_t* puState, uint32_t* puField);
    bool pickFree(bool bUseWindow, uint32_t* puFirst, uint32_t* puLast);
    // The longest run of a taken piece and the free pieces behind it, cut in half: the second
    // half is taken from its start. When every run is a taken piece alone, that piece itself is
    // handed out once more (*puStart = *puLast = it), so that a second downloader fetches it as
    // well. fnMaySplit (when set) is asked about the longest run: its taken piece and how many
    // pieces lie between that piece and the start of the second half (0 for a taken piece
    // alone). When it refuses a run of two or more, no shorter run is split instead (so that
    // the runs stay even); the taken pieces alone are then asked about in order, the first it
    // accepts being handed out again. It runs under the map's lock.
    bool pickSplit(bool bUseWindow, uint32_t* puStart, uint32_t* puLast,
                   const std::function<bool(uint32_t uTakenPiece, uint32_t uPiecesAhead)>& fnMaySplit = {});
    bool commit(uint32_t uPiece, bool* pbAlreadyComplete, bool* pbStop);
    // Gives a taken piece back. A piece handed to several downloaders stays taken until the
    // last of them has given it back. False when it was not taken.
    bool release(uint32_t uPiece);
    // Makes a complete piece free again; any other piece is left alone (false).
    bool reset(uint32_t uPiece);
    bool markVerified(uint32_t uPiece);
    bool isWindowValid();
    // Sets the priority window [uFirst, uLast), cut at the piece count; ignored unless
    // uFirst < uLast and uFirst is below the piece count.
    void setWindow(uint32_t uFirst, uint32_t uLast);
    void getWindow(uint32_t* puStart, uint32_t* puEnd);

    // Writes the changed states to the progress file. pfnBeforeWrite runs between taking the
    // snapshot and writing it (the session syncs the data file there, so that a state on disk
    // never claims bytes that are not on disk); its false cancels the write. True when nothing
    // was changed; false without an open file.
    bool flush(const std::function<bool()>& pfnBeforeWrite = nullptr);
    // Writes every state now and syncs the progress file, so that whatever is written to it
    // afterwards (a new time in the header, say) never reaches the disk before these states.
    // False without an open file or when the write or the sync fails (the states then stay to
    // be written by the next flush).
    bool flushSynced();
    // Rewrites the remote file's time in the header (zero for none): the pieces from now on
    // are fetched under it. False without an open file or when the write fails.
    bool setLastModified(const SYSTEMTIME* pLastModified);
    // Closes the file, writing the states first; keepFile false deletes it.
    void close(bool bKeepFile);

    uint32_t pieceCount() const { return m_uPieceCount; }
    uint32_t pieceSize() const { return m_uPieceSize; }
    uint64_t fileSize() const { return m_ullFileSize; }
    uint32_t completeCount();
    // Bytes of the complete pieces (the last piece counts with its real length).
    uint64_t completeBytes();
    bool isComplete(uint32_t uPiece);
    // The last writer of a piece's bytes in the data file, kept in memory only: a writer notes
    // itself (under the lock) before it writes, so that a writer that commits later can tell
    // whether the bytes there are still its own. 0 = none yet; a bad index is ignored.
    void noteWriter(uint32_t uPiece, uint32_t uWriter);
    bool isLastWriter(uint32_t uPiece, uint32_t uWriter);

    // Set when the session's thread has ended: a piece that is not complete by then never will be.
    void markEnded() { m_bEnded.store(true, std::memory_order_release); }
    bool isEnded() const { return m_bEnded.load(std::memory_order_acquire); }

    std::recursive_mutex& lock() { return m_lock; }

private:
    // Sets the in-memory states from outside the class (the layer's hooks, in their own file).
    friend struct PieceMapStateAccess;
    ~PieceMap();
    static uint8_t stateOf(uint8_t b) { return (uint8_t)(b & KPIECE_STATE_MASK); }
    static bool isFreeState(uint8_t b) { return stateOf(b) == KPIECE_FREE || stateOf(b) == KPIECE_AS_FREE; }
    static bool isCompleteState(uint8_t b) { return stateOf(b) >= KPIECE_DOWNLOADED; }
    static bool isTakenState(uint8_t b) { return (b & KPIECE_TAKEN) && stateOf(b) < KPIECE_DOWNLOADED; }
    void scanRange(bool bUseWindow, uint32_t* puLo, uint32_t* puHi);
    bool isWindowValidLocked();
    bool writeStates(const std::vector<uint8_t>& states);
    // The body of flush and flushSynced: bSync writes the states even when unchanged and syncs.
    bool writeOut(const std::function<bool()>& pfnBeforeWrite, bool bSync);

    std::recursive_mutex m_lock;
    std::atomic<uint32_t> m_uRef{0};
    std::string m_sPath;  // of the ".cfg" file
    std::string m_sUrl;
    int m_nFd = -1;
    SYSTEMTIME m_lastModified{};
    uint64_t m_ullFileSize = 0;
    uint32_t m_uPieceSize = 0;
    uint32_t m_uPieceCount = 0;
    uint32_t m_uCompleteCount = 0;
    std::vector<uint8_t> m_states;
    std::vector<uint32_t> m_writers;  // per piece, see noteWriter
    // Per piece, in memory only: how many downloaders hold the taken piece besides the first
    // (a piece handed out again by pickSplit, or reached by a chain while another holds it).
    std::vector<uint8_t> m_extraHolders;
    bool m_bDirty = false;
    uint32_t m_uWindowStart = KPIECE_NONE;
    uint32_t m_uWindowEnd = KPIECE_NONE;
    std::mutex m_writeLock;  // orders the writes of snapshots
    std::atomic<bool> m_bEnded{false};
};
