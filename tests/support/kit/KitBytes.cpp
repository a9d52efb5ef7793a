#include "KitBytes.h"

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qn::kit {

void PutU32(Bytes* pBytes, size_t uOffset, uint32_t uValue) {
    if (pBytes->size() < uOffset + 4) pBytes->resize(uOffset + 4, '\0');
    for (int i = 0; i < 4; ++i) (*pBytes)[uOffset + i] = (char)(uint8_t)(uValue >> (8 * i));
}

void PutU64(Bytes* pBytes, size_t uOffset, uint64_t ullValue) {
    if (pBytes->size() < uOffset + 8) pBytes->resize(uOffset + 8, '\0');
    for (int i = 0; i < 8; ++i) (*pBytes)[uOffset + i] = (char)(uint8_t)(ullValue >> (8 * i));
}

void AppendU32(Bytes* pBytes, uint32_t uValue) { PutU32(pBytes, pBytes->size(), uValue); }
void AppendU64(Bytes* pBytes, uint64_t ullValue) { PutU64(pBytes, pBytes->size(), ullValue); }

uint32_t GetU32(const Bytes& bytes, size_t uOffset) {
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) u = (u << 8) | (uint8_t)bytes.at(uOffset + i);
    return u;
}

uint64_t GetU64(const Bytes& bytes, size_t uOffset) {
    uint64_t u = 0;
    for (int i = 7; i >= 0; --i) u = (u << 8) | (uint8_t)bytes.at(uOffset + i);
    return u;
}

uint32_t Crc32(const void* pvData, size_t uSize) {
    uLong crc = crc32(0L, Z_NULL, 0);
    const Bytef* p = static_cast<const Bytef*>(pvData);
    while (uSize > 0) {
        uInt piece = uSize > 0x40000000u ? 0x40000000u : (uInt)uSize;
        crc = crc32(crc, p, piece);
        p += piece;
        uSize -= piece;
    }
    return (uint32_t)crc;
}

bool Utf8ToUtf16LE(const std::string& utf8, Bytes* pRetUnits) {
    Bytes out;
    size_t i = 0;
    auto put = [&out](uint32_t unit) {
        out.push_back((char)(uint8_t)(unit & 0xFF));
        out.push_back((char)(uint8_t)(unit >> 8));
    };
    while (i < utf8.size()) {
        uint8_t b = (uint8_t)utf8[i];
        uint32_t cp = 0;
        size_t extra = 0;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (extra > 0 && i + extra >= utf8.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            uint8_t c = (uint8_t)utf8[i + k];
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values past the last plane are ill-formed.
        static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
        i += extra + 1;
    }
    *pRetUnits = std::move(out);
    return true;
}

bool EncodeFixedUtf16LE(const std::string& utf8, size_t uFieldUnits, Bytes* pRetField) {
    Bytes units;
    if (!Utf8ToUtf16LE(utf8, &units)) return false;
    if (units.size() / 2 + 1 > uFieldUnits) return false;
    units.resize(uFieldUnits * 2, '\0');
    *pRetField = std::move(units);
    return true;
}

uint64_t SplitMix64::Next() {
    m_ullState += 0x9E3779B97F4A7C15ull;
    uint64_t z = m_ullState;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Bytes SplitMix64::NextBytes(size_t uSize) {
    Bytes out;
    out.reserve(uSize + 8);
    while (out.size() < uSize) {
        uint64_t v = Next();
        for (int i = 0; i < 8 && out.size() < uSize; ++i) out.push_back((char)(uint8_t)(v >> (8 * i)));
    }
    return out;
}

uint64_t Fnv1a64(const std::string& text) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001B3ull;
    }
    return h;
}

static void SetErr(std::string* pErr, const std::string& text) {
    if (pErr) *pErr = text;
}

bool ReadBytes(const std::string& path, Bytes* pRetBytes, std::string* pErr) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        SetErr(pErr, "cannot open " + path);
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) {
        SetErr(pErr, "cannot read " + path);
        return false;
    }
    *pRetBytes = ss.str();
    return true;
}

bool MakeDirs(const std::string& path, std::string* pErr) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec && !std::filesystem::is_directory(path)) {
        SetErr(pErr, "cannot create folder " + path + ": " + ec.message());
        return false;
    }
    return true;
}

bool WriteBytes(const std::string& path, const Bytes& bytes, std::string* pErr) {
    std::filesystem::path p(path);
    if (p.has_parent_path() && !MakeDirs(p.parent_path().string(), pErr)) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        SetErr(pErr, "cannot create " + path);
        return false;
    }
    out.write(bytes.data(), (std::streamsize)bytes.size());
    out.close();
    if (!out) {
        SetErr(pErr, "cannot write " + path);
        return false;
    }
    return true;
}

std::string RangeValue(uint64_t ullFirst, uint64_t ullLast) {
    return "bytes=" + std::to_string(ullFirst) + "-" + std::to_string(ullLast);
}

std::string Hex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 15]);
    }
    return out;
}

}  // namespace qn::kit
