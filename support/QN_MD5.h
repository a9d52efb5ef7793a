// MD5 (RFC 1321). The exported symbols carry the QN_ prefix so that they cannot clash with a
// system library that exports MD5Init, MD5Update or MD5Final; the short names below are
// inline forwarders with internal linkage and emit no symbol of their own.
#pragma once

#include <cstdint>

struct QN_MD5_CTX {
    uint32_t count[2];    // bits hashed so far, low word first
    uint32_t state[4];    // A, B, C, D
    uint8_t buffer[64];   // the pending partial block
};

inline constexpr int QN_MD5_DIGEST_SIZE = 16;

// Sets the RFC's initial state words and a zero count.
void QN_MD5Init(QN_MD5_CTX* pContext);
// Hashes nLength more bytes; a length of 0 or less does nothing.
void QN_MD5Update(QN_MD5_CTX* pContext, const uint8_t* pbyData, int nLength);
// Pads (0x80, zeros to 56 mod 64, the 64-bit little-endian bit count) and writes the four state
// words little-endian into abyDigest. The context is cleared afterwards.
void QN_MD5Final(QN_MD5_CTX* pContext, uint8_t abyDigest[16]);

static inline void MD5Init(QN_MD5_CTX* pContext) { QN_MD5Init(pContext); }
static inline void MD5Update(QN_MD5_CTX* pContext, const uint8_t* pbyData, int nLength) {
    QN_MD5Update(pContext, pbyData, nLength);
}
static inline void MD5Final(QN_MD5_CTX* pContext, uint8_t abyDigest[16]) {
    QN_MD5Final(pContext, abyDigest);
}
