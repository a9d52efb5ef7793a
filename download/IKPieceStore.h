// What a piece downloader needs of the session it works for: the data file the pieces go to,
// the piece map that hands them out and ends each chain, and the queue of blocks to verify.
// The session implements it; the downloader knows nothing else of the session.
#pragma once

#include <cstdint>
#include <string>

class DataFile;
class PieceMap;

// The size of a piece: the unit of the piece map, of a downloader's buffer and of a range start.
inline constexpr uint32_t KDOWNLOAD_PIECE_SIZE = 65536;

// What the session's query learnt of the remote file's version: its validators, as texts.
struct KRemoteValidators {
    std::string sETag;          // "ETag", empty when the answer had none
    std::string sLastModified;  // "Last-Modified", empty when the answer had none
};

class IKPieceStore {
public:
    // Valid while the download loop runs.
    virtual DataFile* dataFile() const = 0;
    virtual PieceMap* pieceMap() const = 0;
    // Called after each commit: queues the piece's block for verification once all its pieces
    // are downloaded (nothing without a checksum file).
    virtual void queueBlockCheck(uint32_t uPiece) = 0;
    // The validators of the file being downloaded; set before the first downloader starts and
    // unchanged while the download loop runs.
    virtual const KRemoteValidators& validators() const = 0;

protected:
    ~IKPieceStore() = default;
};
