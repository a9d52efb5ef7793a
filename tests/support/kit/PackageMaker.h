// Writes a valid small package folder (Package.CFG, PackageN.DAT with blocks and the 0xCE empty
// fill, folder files) and the manifest of its blocks. The block structure of a package cannot be
// recovered from its files, so the manifest is what the server-tree generator works from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KitBytes.h"

namespace qn::kit {

inline constexpr uint8_t kEmptyFill = 0xCE;
inline constexpr size_t kPackageCfgSize = 204;

struct BlockLayout {
    uint32_t fileIndex = 0;
    uint64_t offset = 0;  // within its data file
    uint64_t size = 0;
};

struct DirFileLayout {
    std::string name;  // UTF-8, directly in the package folder
    uint64_t size = 0;
};

struct PackageLayout {
    uint32_t dirFilesFolder = 7;
    uint32_t dataFileCount = 3;
    uint64_t dataFileSize = 0x40000;
    uint64_t baseAddress = 0x1000;
    Bytes cfgOpaqueHead;  // bytes 0..23 of the configuration; 0x10..0x27 when left empty
    Bytes cfgOpaqueTail;  // bytes 48..203; byte k = (0x80 + k) & 0xFF when left empty
    std::vector<BlockLayout> blocks;  // table order
    std::vector<DirFileLayout> dirFiles;
    uint64_t seed = 1;
    bool allowTinyBlocks = false;
    bool allowEmptyDirFiles = false;
};

// What the generator needs from a package: the configuration fields, the blocks in table order
// and the folder-file names.
struct Manifest {
    uint32_t dirFilesFolder = 0;
    uint32_t dataFileCount = 0;
    uint64_t dataFileSize = 0;
    uint64_t baseAddress = 0;
    std::vector<BlockLayout> blocks;
    std::vector<std::string> dirFiles;
};

// Refuses a layout that breaks any of the maker's rules; *pErr says which.
bool ValidatePackageLayout(const PackageLayout& layout, std::string* pErr);

// The 204 bytes of Package.CFG for the layout.
Bytes EncodePackageCfg(const PackageLayout& layout);

// The stored bytes of block uBlockIndex: generated content, the first four bytes forced to
// {B1 B2 B3 B4} xor the index, byte 4 never 0x00 or 0xCE.
Bytes MakeBlockContent(uint64_t ullSeed, uint32_t uBlockIndex, uint64_t ullSize);

// Writes <root>/pakV3/... and the manifest <root>/pakV3.manifest (outside the package folder).
bool MakePackage(const PackageLayout& layout, const std::string& root, Manifest* pRetManifest,
                 std::string* pErr);

Manifest ManifestFromLayout(const PackageLayout& layout);
std::string ManifestToText(const Manifest& manifest);
bool ManifestFromText(const std::string& text, Manifest* pRetManifest, std::string* pErr);

// Data-file name "Package<i>.DAT".
std::string DataFileName(uint32_t uIndex);

}  // namespace qn::kit
