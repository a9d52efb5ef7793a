#include "ChecksumFile.h"

#include <cstring>
#include <new>

#include "KSessionLog.h"
#include "qn_file_io.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

uint32_t GetU32(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }
uint64_t GetU64(const uint8_t* p) { return (uint64_t)GetU32(p) | (uint64_t)GetU32(p + 4) << 32; }

void HexDigest(const uint8_t* pb, char szRet[33]) {
    for (uint32_t i = 0; i < KCHECKSUM_DIGEST_SIZE; ++i) QN_snprintf(szRet + 2 * i, 3, "%02X", pb[i]);
}

}  // namespace

HRESULT ChecksumFile::open(const wchar_t* wszPath) {
    HRESULT hr = E_FAIL;
    uint8_t abHeader[KCHECKSUM_TABLE_OFFSET];
    uint32_t uGot = 0;
    uint64_t ullLength = 0;
    uint64_t ullCount = 0;
    uint64_t ullTableSize = 0;
    std::vector<uint8_t> table;
    int nFd = -1;

    if (!wszPath || !wszPath[0]) return E_INVALIDARG;
    nFd = QN_FileOpen(QN_WideToUtf8(wszPath).c_str(), QN_FILE_ACCESS_READ, QN_FILE_SHARE_READ, QN_FILE_OPEN_EXISTING);
    if (nFd < 0) return QN_LastErrorResult();
    if (!QN_FileReadAt(nFd, 0, abHeader, 8, &uGot) || uGot != 8 || std::memcmp(abHeader, "TbCk", 4) != 0 ||
        abHeader[4] != 1 || abHeader[5] != 0)
        goto Exit0;
    if (!QN_FileReadAt(nFd, 8, abHeader + 8, KCHECKSUM_TABLE_OFFSET - 8, &uGot) || uGot != KCHECKSUM_TABLE_OFFSET - 8)
        goto Exit0;
    m_ullFileSize = GetU64(abHeader + 8);
    m_uBlockSize = GetU32(abHeader + 16);
    m_uAlgorithm = GetU32(abHeader + 20);
    if (m_ullFileSize == 0 || m_uBlockSize == 0 || (m_uBlockSize & 0xFFFFu) != 0 || (m_uAlgorithm & 0xFFu) != 1)
        goto Exit0;
    // Counted in 64 bits: the table must be wholly inside the file, so a crafted size cannot
    // make a small table that verify reads past.
    ullCount = (m_ullFileSize - 1) / m_uBlockSize + 1;
    if (ullCount > 0xFFFFFFFEull) goto Exit0;
    ullTableSize = (ullCount + 1) * KCHECKSUM_DIGEST_SIZE;
    if (!QN_FileGetSize(nFd, &ullLength) || ullLength < KCHECKSUM_TABLE_OFFSET + ullTableSize ||
        ullTableSize > 0xFFFFFFFFull)
        goto Exit0;
    try {
        table.resize((size_t)ullTableSize);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
        goto Exit0;
    }
    if (!QN_FileReadAt(nFd, KCHECKSUM_TABLE_OFFSET, table.data(), (uint32_t)ullTableSize, &uGot) ||
        uGot != (uint32_t)ullTableSize)
        goto Exit0;
    m_uBlockCount = (uint32_t)ullCount;
    m_table.swap(table);
    hr = S_OK;

Exit0:
    QN_FileClose(nFd);
    if (FAILED(hr)) {
        m_uBlockCount = 0;
        m_table.clear();
    }
    return hr;
}

HRESULT ChecksumFile::verify(uint32_t uBlockIndex, const uint8_t* pbDigest) const {
    if (uBlockIndex >= m_uBlockCount) {
        KSessionLog(KLOG_CATEGORY_CHECKSUM, KLOG_LEVEL_ERROR, "verify: pieceIndex(%u) >= m_pieceCount(%u)", uBlockIndex,
                    m_uBlockCount);
        return E_INVALIDARG;
    }
    if (!pbDigest) {
        KSessionLog(KLOG_CATEGORY_CHECKSUM, KLOG_LEVEL_ERROR, "verify: invalid arg");
        return E_INVALIDARG;
    }
    const uint8_t* pbStored = m_table.data() + ((size_t)uBlockIndex + 1) * KCHECKSUM_DIGEST_SIZE;
    if (std::memcmp(pbStored, pbDigest, KCHECKSUM_DIGEST_SIZE) == 0) return S_OK;
    char szStored[33];
    char szGot[33];
    HexDigest(pbStored, szStored);
    HexDigest(pbDigest, szGot);
    KSessionLog(KLOG_CATEGORY_CHECKSUM, KLOG_LEVEL_ERROR, "verify: pieceIndex(%u) mismatch: %s <-> %s", uBlockIndex,
                szStored, szGot);
    return E_FAIL;
}
