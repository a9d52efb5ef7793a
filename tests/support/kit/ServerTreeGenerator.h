// Writes the repair server's tree for a known-good client: "qel_repair.info" with the good copies
// of the ordinary files, and "PakV3Repair/Repair.REP" with the folder files ("DirFiles") and the
// block data sources ("UpdateFiles" or data-source files named by a table). Every offset, index
// and layout decision is returned in a GeneratedInfo, from which tests compute their
// expectations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "KitBytes.h"
#include "PackageMaker.h"

namespace qn::kit {

inline constexpr uint32_t kRepairInfoType = 0x46495251;  // "QRIF"
inline constexpr size_t kRepairInfoHeaderSize = 76;
inline constexpr size_t kRepairRepHeaderSize = 324;
inline constexpr uint32_t kRepairRepMagic = 0x33504B51;
inline constexpr size_t kDirFileRecordSize = 132;
inline constexpr size_t kBlockRecordSize = 20;
inline constexpr size_t kRegionRecordSize = 16;
inline constexpr size_t kRepairRecordSize = 12;
inline constexpr size_t kSourceRecordSize = 152;

enum class TableLayout {
    Contiguous,  // the tables one after the other, in their natural order, after the header
    Shuffled,    // reverse order, 13 bytes of 0x5A after the header and between tables
};

enum class SourceMode {
    UpdateFiles,  // no data-source table; source s is UpdateFiles/<s-1>-<s>.UPDATE
    Table,        // a data-source table names the server files
};

// Where the blocks of one data source go. Content = prefix bytes of 0x5A, then for each block
// gapBefore bytes of 0x5A and the block's stored bytes, then suffix bytes of 0x5A.
struct SourceLayout {
    uint32_t id = 1;
    uint64_t prefix = 0;
    struct Entry {
        uint32_t block;
        uint64_t gapBefore;
    };
    std::vector<Entry> entries;
    uint64_t suffix = 0;
    std::string serverFile = "Sources.dat";  // table mode only
};

struct GeneratorOptions {
    std::string binSub = "zhcn";
    std::vector<std::string> dirs = {"bin/zhcn", "patch/1.0.1"};
    // Server folder of ordinary file i (an index into dirs); i mod |dirs| when empty.
    std::function<uint32_t(uint32_t)> dirOf;
    TableLayout layout = TableLayout::Contiguous;
    SourceMode sourceMode = SourceMode::UpdateFiles;
    // Explicit layout of every source; when empty, block i goes to source 1 + (i mod
    // defaultSourceCount), blocks within a source in descending address order, gaps cycling
    // through 0, 500, 513, 782, 512, prefix 0 for source 1 and 100 for the others, suffix 50.
    std::vector<SourceLayout> sources;
    uint32_t defaultSourceCount = 2;
    bool sentinels = true;
    // Also write the development package tree under <docroot>/<devPath>.
    bool alsoDev = false;
    // Without a manifest: derive the blocks from the data files (runs of non-0xCE bytes).
    bool deriveBlocks = false;
    std::string editionPath = "qelrepair/zhcn_v3";  // OUT = <docroot>/<editionPath>
    std::string devPath = "dev/zhcn/qelrepair";
    // When set, GeneratedInfo::ToText() is written there (keep it outside the served tree).
    std::string infoTextPath;
};

struct TableSpan {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
    uint64_t last() const { return offset + size - 1; }
};

struct NormalFileRecord {
    uint32_t index = 0;
    std::string tableName;   // '\' separated, UTF-8
    uint32_t dirId = 0;
    std::string serverPath;  // URL path of the good copy, "/qelrepair/zhcn_v3/bin/zhcn/lib/core.dll"
    uint64_t size = 0;
    uint32_t crc = 0;
};

struct BlockRecord {
    uint32_t index = 0;
    uint64_t address = 0;
    uint32_t fileIndex = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
    uint32_t sourceId = 0;
    uint64_t offsetInSource = 0;
    uint64_t offsetInServerFile = 0;  // absolute position inside the server file holding it
};

struct RegionRecord {
    uint32_t index = 0;
    uint64_t address = 0;
    uint32_t fileIndex = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};

struct SourceRecord {
    uint32_t id = 0;
    std::string urlPath;      // of the server file holding it
    uint64_t length = 0;      // len(content)
    uint64_t baseOffset = 0;  // where its content begins in that file (0 in UpdateFiles mode)
    std::string serverFile;   // table mode: the name in the record
};

struct DirFileRecord {
    std::string name;  // UTF-8
    uint32_t crc = 0;
    uint64_t size = 0;
    std::string urlPath;
};

struct GeneratedInfo {
    // "qel_repair.info"
    std::string infoUrlPath;  // "/qelrepair/zhcn_v3/qel_repair.info"
    TableSpan infoHeader, fileCheck, dirTable, fileRepair;
    uint64_t infoFileSize = 0;
    std::vector<NormalFileRecord> normalFiles;
    std::vector<std::string> dirs;
    // "Repair.REP"
    std::string repUrlPath;  // "/qelrepair/zhcn_v3/PakV3Repair/Repair.REP"
    TableSpan repHeader, dirFileTable, blockTable, regionTable, repairTable, sourceTable;
    bool hasSourceTable = false;
    uint64_t repFileSize = 0;
    uint32_t dirFilesFolder = 0;
    uint32_t dataFileCount = 0;
    uint64_t dataFileSize = 0;
    uint64_t baseAddress = 0;
    std::vector<DirFileRecord> dirFiles;
    std::vector<BlockRecord> blocks;
    std::vector<RegionRecord> regions;
    std::vector<SourceRecord> sources;

    const NormalFileRecord* FindNormalFile(const std::string& tableName) const;
    std::string ToText() const;
};

// Encoders, by offset, of the two repair-information files. Each returns the whole file and
// fills the spans of its tables.
struct InfoFileEntry {
    std::string tableName;  // bytes as stored, without the terminating zero
    uint32_t crc = 0;
};
Bytes EncodeFileCheckTable(const std::vector<InfoFileEntry>& files);
Bytes EncodeDirTable(const std::vector<std::string>& dirs);
Bytes EncodeFileRepairTable(const std::vector<uint32_t>& dirIds);
Bytes AssembleRepairInfo(const Bytes& fileCheck, const Bytes& dirTable, const Bytes& fileRepair,
                         TableLayout layout, bool sentinels, GeneratedInfo* pInfo);

// The five tables of "Repair.REP" as encoded bytes; sources empty means no table.
struct RepTables {
    Bytes dirFiles, blocks, regions, repair, sources;
    bool hasSourceTable = false;
};
Bytes AssembleRepairRep(const Bytes& cfg204, const RepTables& tables, TableLayout layout,
                        GeneratedInfo* pInfo);

// CRC of the 76-byte or 324-byte header with its CRC field taken as zero.
uint32_t RepairInfoHeaderCrc(const Bytes& header76);
uint32_t RepairRepHeaderCrc(const Bytes& header324);

// The block checksum: CRC-32 of the bytes with the first four taken as zero.
uint32_t BlockCrc(const Bytes& blockBytes);

// Writes the tree under docroot (OUT = docroot/editionPath). manifest may be null (the folder
// files are then listed from the package folder, and the blocks derived when deriveBlocks).
bool GenerateServerTree(const std::string& clientRoot, const Manifest* pManifest,
                        const std::string& docroot, const GeneratorOptions& options,
                        GeneratedInfo* pRetInfo, std::string* pErr);

// Blocks derived from the data files: maximal runs of non-0xCE bytes, joined when closer than
// 64 bytes, widened to at least 8 bytes within the file.
bool DeriveBlocks(const std::string& packageDir, uint32_t uDataFileCount, uint64_t ullDataFileSize,
                  std::vector<BlockLayout>* pRetBlocks, std::string* pErr);

}  // namespace qn::kit
