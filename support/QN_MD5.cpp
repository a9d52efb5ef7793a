#include "QN_MD5.h"

#include <cstring>

namespace {

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// Per-step shift amounts, by round, and the sine table T[i] = floor(2^32 * |sin(i + 1)|).
const int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
const uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

void Transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = (uint32_t)block[4 * i] | ((uint32_t)block[4 * i + 1] << 8) |
               ((uint32_t)block[4 * i + 2] << 16) | ((uint32_t)block[4 * i + 3] << 24);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        int nRound = i / 16;
        uint32_t f;
        int k;
        switch (nRound) {
            case 0: f = F(b, c, d); k = i; break;
            case 1: f = G(b, c, d); k = (5 * i + 1) % 16; break;
            case 2: f = H(b, c, d); k = (3 * i + 5) % 16; break;
            default: f = I(b, c, d); k = (7 * i) % 16; break;
        }
        uint32_t uNext = b + RotateLeft(a + f + x[k] + kT[i], kShift[nRound][i % 4]);
        a = d;
        d = c;
        c = b;
        b = uNext;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void QN_MD5Init(QN_MD5_CTX* pContext) {
    pContext->count[0] = 0;
    pContext->count[1] = 0;
    pContext->state[0] = 0x67452301;
    pContext->state[1] = 0xefcdab89;
    pContext->state[2] = 0x98badcfe;
    pContext->state[3] = 0x10325476;
    std::memset(pContext->buffer, 0, sizeof(pContext->buffer));
}

void QN_MD5Update(QN_MD5_CTX* pContext, const uint8_t* pbyData, int nLength) {
    if (nLength <= 0 || !pbyData) return;
    uint32_t uLength = (uint32_t)nLength;
    uint32_t uIndex = (pContext->count[0] >> 3) & 0x3F;

    // The 64-bit bit count, carried from the low word into the high word.
    uint32_t uLowBefore = pContext->count[0];
    pContext->count[0] += uLength << 3;
    if (pContext->count[0] < uLowBefore) pContext->count[1]++;
    pContext->count[1] += uLength >> 29;

    uint32_t uFill = 64 - uIndex;
    uint32_t i = 0;
    if (uLength >= uFill) {
        std::memcpy(&pContext->buffer[uIndex], pbyData, uFill);
        Transform(pContext->state, pContext->buffer);
        for (i = uFill; i + 63 < uLength; i += 64) Transform(pContext->state, pbyData + i);
        uIndex = 0;
    }
    std::memcpy(&pContext->buffer[uIndex], pbyData + i, uLength - i);
}

void QN_MD5Final(QN_MD5_CTX* pContext, uint8_t abyDigest[16]) {
    uint8_t abyBits[8];
    for (int i = 0; i < 4; ++i) {
        abyBits[i] = (uint8_t)(pContext->count[0] >> (8 * i));
        abyBits[4 + i] = (uint8_t)(pContext->count[1] >> (8 * i));
    }
    uint32_t uIndex = (pContext->count[0] >> 3) & 0x3F;
    uint32_t uPad = (uIndex < 56) ? (56 - uIndex) : (120 - uIndex);
    static const uint8_t s_abyPadding[64] = {0x80};
    QN_MD5Update(pContext, s_abyPadding, (int)uPad);
    QN_MD5Update(pContext, abyBits, 8);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) abyDigest[4 * i + j] = (uint8_t)(pContext->state[i] >> (8 * j));
    }
    std::memset(pContext, 0, sizeof(*pContext));
}
