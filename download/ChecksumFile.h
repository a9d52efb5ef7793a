// The checksum file of a download, read only.
//
// Layout, little-endian: "TbCk", 1, 0, two bytes not checked; the file size (u64, not 0); the
// block size (u32, not 0, a multiple of 65536); the algorithm (u32, first byte 1 = MD5); bytes
// up to offset 1024 not read; then (block count + 1) digests of 16 bytes, block i at entry i + 1.
#pragma once

#include <cstdint>
#include <vector>

#include "qn_com.h"

inline constexpr uint32_t KCHECKSUM_TABLE_OFFSET = 1024;
inline constexpr uint32_t KCHECKSUM_DIGEST_SIZE = 16;

class ChecksumFile {
public:
    // Reads and checks the file; E_FAIL for a bad or truncated file, E_OUTOFMEMORY, or the
    // system error (0x8007xxxx) of the open.
    HRESULT open(const wchar_t* wszPath);
    // S_OK when the digest of block uBlockIndex matches; E_FAIL on a mismatch; E_INVALIDARG for
    // an index past the last block or a null digest.
    HRESULT verify(uint32_t uBlockIndex, const uint8_t* pbDigest) const;

    uint64_t fileSize() const { return m_ullFileSize; }
    uint32_t blockSize() const { return m_uBlockSize; }
    uint32_t blockCount() const { return m_uBlockCount; }

private:
    uint64_t m_ullFileSize = 0;
    uint32_t m_uBlockSize = 0;
    uint32_t m_uAlgorithm = 0;
    uint32_t m_uBlockCount = 0;
    std::vector<uint8_t> m_table;
};
