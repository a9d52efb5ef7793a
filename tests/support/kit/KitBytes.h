// Byte-level helpers of the repair test kit: little-endian fields written and read by offset,
// CRC-32, the kit's own UTF-8 to UTF-16LE encoder, a deterministic byte generator and whole-file
// helpers. The kit encodes the repair files with these alone, never with the engine's code, so
// that a misreading of a layout cannot hide itself in both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qn::kit {

// Binary content is kept in std::string.
using Bytes = std::string;

void PutU32(Bytes* pBytes, size_t uOffset, uint32_t uValue);
void PutU64(Bytes* pBytes, size_t uOffset, uint64_t ullValue);
void AppendU32(Bytes* pBytes, uint32_t uValue);
void AppendU64(Bytes* pBytes, uint64_t ullValue);
uint32_t GetU32(const Bytes& bytes, size_t uOffset);
uint64_t GetU64(const Bytes& bytes, size_t uOffset);

// zlib's CRC-32 started at 0.
uint32_t Crc32(const void* pvData, size_t uSize);
inline uint32_t Crc32(const Bytes& bytes) { return Crc32(bytes.data(), bytes.size()); }

// Encodes UTF-8 text as UTF-16LE code units (two bytes each, no terminator). False for
// ill-formed UTF-8.
bool Utf8ToUtf16LE(const std::string& utf8, Bytes* pRetUnits);
// Encodes the name into a fixed field of uFieldUnits units, zero-padded; false when the text
// is ill-formed or does not leave room for the terminating zero unit.
bool EncodeFixedUtf16LE(const std::string& utf8, size_t uFieldUnits, Bytes* pRetField);

// splitmix64: the kit's content generator, the same sequence on every machine.
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t ullSeed) : m_ullState(ullSeed) {}
    uint64_t Next();
    // uSize bytes, eight per step, low byte first.
    Bytes NextBytes(size_t uSize);

private:
    uint64_t m_ullState;
};

// FNV-1a over the text, used to seed per-name content.
uint64_t Fnv1a64(const std::string& text);

// Whole-file helpers; they report failures through the return value and *pErr.
bool ReadBytes(const std::string& path, Bytes* pRetBytes, std::string* pErr = nullptr);
// Creates missing parent folders.
bool WriteBytes(const std::string& path, const Bytes& bytes, std::string* pErr = nullptr);
// Creates the folder and its parents.
bool MakeDirs(const std::string& path, std::string* pErr = nullptr);

// "0-75" style helpers for Range values: "bytes=<first>-<last>".
std::string RangeValue(uint64_t ullFirst, uint64_t ullLast);
// Lower-case hexadecimal dump, two digits a byte, for failure messages.
std::string Hex(const Bytes& bytes);

}  // namespace qn::kit
