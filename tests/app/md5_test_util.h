// The lower-case hexadecimal MD5 of a byte string, as the update index carries it.
#pragma once

#include <cstdint>
#include <string>

#include "QN_MD5.h"
#include "qn_string.h"

namespace qn::apptest {

inline std::string Md5Of(const std::string& bytes) {
    QN_MD5_CTX ctx;
    uint8_t digest[16];
    char sz[33];
    QN_MD5Init(&ctx);
    QN_MD5Update(&ctx, reinterpret_cast<const uint8_t*>(bytes.data()), (int)bytes.size());
    QN_MD5Final(&ctx, digest);
    for (int i = 0; i < 16; ++i) QN_snprintf(sz + 2 * i, 3, "%02x", digest[i]);
    return sz;
}

}  // namespace qn::apptest
