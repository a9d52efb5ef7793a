#include "ServerTreeGenerator.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

namespace qn::kit {

namespace fs = std::filesystem;

namespace {

constexpr char kJunk = 0x5A;
constexpr size_t kShuffleGap = 13;
constexpr uint64_t kSourceFileLead = 64;    // 0x5A bytes before the first source in a server file
constexpr uint64_t kSourceFileSpacer = 36;  // 0x5A bytes between two sources in a server file
const uint64_t kDefaultGaps[5] = {0, 500, 513, 782, 512};

bool Fail(std::string* pErr, const std::string& text) {
    if (pErr) *pErr = text;
    return false;
}


std::string Backslashes(std::string s) {
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

std::string Slashes(std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

// Compares two names by their UTF-16 code units.
bool Utf16Less(const std::string& a, const std::string& b) {
    Bytes ua, ub;
    Utf8ToUtf16LE(a, &ua);
    Utf8ToUtf16LE(b, &ub);
    size_t n = std::min(ua.size(), ub.size()) / 2;
    for (size_t i = 0; i < n; ++i) {
        uint16_t x = (uint16_t)((uint8_t)ua[2 * i] | ((uint8_t)ua[2 * i + 1] << 8));
        uint16_t y = (uint16_t)((uint8_t)ub[2 * i] | ((uint8_t)ub[2 * i + 1] << 8));
        if (x != y) return x < y;
    }
    return ua.size() < ub.size();
}

struct Placed {
    const Bytes* bytes;
    TableSpan* span;
};

// Appends the tables after the header in the given order and fills their spans.
void PlaceTables(Bytes* pFile, const std::vector<Placed>& order, bool bShuffled) {
    for (const Placed& p : order) {
        if (bShuffled) pFile->append(kShuffleGap, kJunk);
        p.span->offset = pFile->size();
        p.span->size = p.bytes->size();
        p.span->crc = Crc32(*p.bytes);
        pFile->append(*p.bytes);
    }
}

}  // namespace

uint32_t BlockCrc(const Bytes& blockBytes) {
    Bytes copy = blockBytes;
    for (size_t k = 0; k < 4 && k < copy.size(); ++k) copy[k] = '\0';
    return Crc32(copy);
}

uint32_t RepairInfoHeaderCrc(const Bytes& header76) {
    Bytes copy = header76.substr(0, kRepairInfoHeaderSize);
    PutU32(&copy, 8, 0);
    return Crc32(copy);
}

uint32_t RepairRepHeaderCrc(const Bytes& header324) {
    Bytes copy = header324.substr(0, kRepairRepHeaderSize);
    PutU32(&copy, 208, 0);
    return Crc32(copy);
}

Bytes EncodeFileCheckTable(const std::vector<InfoFileEntry>& files) {
    Bytes t;
    AppendU32(&t, (uint32_t)files.size());
    for (const InfoFileEntry& f : files) {
        AppendU32(&t, (uint32_t)f.tableName.size() + 1);
        t.append(f.tableName);
        t.push_back('\0');
        AppendU32(&t, f.crc);
    }
    return t;
}

Bytes EncodeDirTable(const std::vector<std::string>& dirs) {
    Bytes t;
    AppendU32(&t, (uint32_t)dirs.size());
    for (const std::string& d : dirs) {
        AppendU32(&t, (uint32_t)d.size() + 1);
        t.append(d);
        t.push_back('\0');
    }
    return t;
}

Bytes EncodeFileRepairTable(const std::vector<uint32_t>& dirIds) {
    Bytes t;
    for (uint32_t id : dirIds) AppendU32(&t, id);
    return t;
}

Bytes AssembleRepairInfo(const Bytes& fileCheck, const Bytes& dirTable, const Bytes& fileRepair,
                         TableLayout layout, bool sentinels, GeneratedInfo* pInfo) {
    GeneratedInfo scratch;
    GeneratedInfo& info = pInfo ? *pInfo : scratch;
    Bytes file(kRepairInfoHeaderSize, '\0');
    bool shuffled = layout == TableLayout::Shuffled;
    if (shuffled)
        PlaceTables(&file, {{&fileRepair, &info.fileRepair}, {&dirTable, &info.dirTable}, {&fileCheck, &info.fileCheck}}, true);
    else
        PlaceTables(&file, {{&fileCheck, &info.fileCheck}, {&dirTable, &info.dirTable}, {&fileRepair, &info.fileRepair}}, false);
    info.fileRepair.crc = 0;  // this table carries no checksum
    PutU32(&file, 0, kRepairInfoType);
    PutU32(&file, 4, 0);
    PutU32(&file, 12, (uint32_t)info.fileCheck.offset);
    PutU32(&file, 16, (uint32_t)info.fileCheck.size);
    PutU32(&file, 20, info.fileCheck.crc);
    file.replace(24, 12, 12, sentinels ? (char)0xEE : '\0');
    PutU32(&file, 36, (uint32_t)info.dirTable.offset);
    PutU32(&file, 40, (uint32_t)info.dirTable.size);
    PutU32(&file, 44, info.dirTable.crc);
    PutU32(&file, 48, (uint32_t)info.fileRepair.offset);
    PutU32(&file, 52, (uint32_t)info.fileRepair.size);
    file.replace(56, 20, 20, sentinels ? (char)0xEE : '\0');
    PutU32(&file, 8, RepairInfoHeaderCrc(file));
    info.infoHeader = {0, kRepairInfoHeaderSize, GetU32(file, 8)};
    info.infoFileSize = file.size();
    return file;
}

Bytes AssembleRepairRep(const Bytes& cfg204, const RepTables& t, TableLayout layout, GeneratedInfo* pInfo) {
    GeneratedInfo scratch;
    GeneratedInfo& info = pInfo ? *pInfo : scratch;
    Bytes file(kRepairRepHeaderSize, '\0');
    std::vector<Placed> order = {{&t.dirFiles, &info.dirFileTable},
                                 {&t.blocks, &info.blockTable},
                                 {&t.regions, &info.regionTable},
                                 {&t.repair, &info.repairTable}};
    if (t.hasSourceTable) order.push_back({&t.sources, &info.sourceTable});
    bool shuffled = layout == TableLayout::Shuffled;
    if (shuffled) std::reverse(order.begin(), order.end());
    PlaceTables(&file, order, shuffled);
    if (!t.hasSourceTable) info.sourceTable = TableSpan{};
    info.hasSourceTable = t.hasSourceTable;
    PutU32(&file, 0, kRepairRepMagic);
    file.replace(4, kPackageCfgSize, cfg204.substr(0, kPackageCfgSize));
    const TableSpan* spans[5] = {&info.dirFileTable, &info.blockTable, &info.regionTable,
                                 &info.repairTable, &info.sourceTable};
    for (int k = 0; k < 5; ++k) {
        size_t at = 212 + 20 * (size_t)k;
        PutU64(&file, at, spans[k]->offset);
        PutU64(&file, at + 8, spans[k]->size);
        PutU32(&file, at + 16, spans[k]->crc);
    }
    file.replace(312, 12, 12, kJunk);
    PutU32(&file, 208, RepairRepHeaderCrc(file));
    info.repHeader = {0, kRepairRepHeaderSize, GetU32(file, 208)};
    info.repFileSize = file.size();
    return file;
}

bool DeriveBlocks(const std::string& packageDir, uint32_t uDataFileCount, uint64_t ullDataFileSize,
                  std::vector<BlockLayout>* pRetBlocks, std::string* pErr) {
    std::vector<BlockLayout> out;
    for (uint32_t f = 0; f < uDataFileCount; ++f) {
        Bytes data;
        if (!ReadBytes(packageDir + "/" + DataFileName(f), &data, pErr)) return false;
        if (data.size() != ullDataFileSize) return Fail(pErr, DataFileName(f) + " has the wrong size");
        std::vector<BlockLayout> runs;
        size_t i = 0;
        while (i < data.size()) {
            if ((uint8_t)data[i] == kEmptyFill) {
                ++i;
                continue;
            }
            size_t start = i;
            while (i < data.size() && (uint8_t)data[i] != kEmptyFill) ++i;
            if (!runs.empty() && start - (runs.back().offset + runs.back().size) < 64)
                runs.back().size = i - runs.back().offset;
            else
                runs.push_back({f, start, i - start});
        }
        for (BlockLayout& b : runs) {
            if (b.size < 8) {
                uint64_t end = std::min<uint64_t>(b.offset + 8, ullDataFileSize);
                b.offset = end >= 8 ? end - 8 : 0;
                b.size = end - b.offset;
            }
            out.push_back(b);
        }
    }
    *pRetBlocks = std::move(out);
    return true;
}

const NormalFileRecord* GeneratedInfo::FindNormalFile(const std::string& tableName) const {
    for (const NormalFileRecord& r : normalFiles)
        if (r.tableName == tableName) return &r;
    return nullptr;
}

std::string GeneratedInfo::ToText() const {
    std::ostringstream o;
    auto span = [&o](const char* name, const TableSpan& s) {
        o << name << " offset=" << s.offset << " size=" << s.size << " crc=" << s.crc << "\n";
    };
    o << "[qel_repair.info] url=" << infoUrlPath << " size=" << infoFileSize << "\n";
    span("header", infoHeader);
    span("fileCheck", fileCheck);
    span("dirTable", dirTable);
    span("fileRepair", fileRepair);
    for (size_t i = 0; i < dirs.size(); ++i) o << "dir " << i << " " << dirs[i] << "\n";
    for (const NormalFileRecord& r : normalFiles)
        o << "file " << r.index << " name=" << r.tableName << " dirId=" << r.dirId << " size=" << r.size
          << " crc=" << r.crc << " url=" << r.serverPath << "\n";
    o << "[Repair.REP] url=" << repUrlPath << " size=" << repFileSize << " dirFilesFolder=" << dirFilesFolder
      << " dataFileCount=" << dataFileCount << " dataFileSize=" << dataFileSize << " baseAddress=" << baseAddress
      << "\n";
    span("header", repHeader);
    span("dirFileTable", dirFileTable);
    span("blockTable", blockTable);
    span("regionTable", regionTable);
    span("repairTable", repairTable);
    span("sourceTable", sourceTable);
    for (const DirFileRecord& d : dirFiles)
        o << "dirfile " << d.name << " size=" << d.size << " crc=" << d.crc << " url=" << d.urlPath << "\n";
    for (const BlockRecord& b : blocks)
        o << "block " << b.index << " address=" << b.address << " file=" << b.fileIndex << " offset=" << b.offset
          << " size=" << b.size << " crc=" << b.crc << " source=" << b.sourceId
          << " offsetInSource=" << b.offsetInSource << " offsetInServerFile=" << b.offsetInServerFile << "\n";
    for (const RegionRecord& r : regions)
        o << "region " << r.index << " address=" << r.address << " file=" << r.fileIndex << " offset=" << r.offset
          << " size=" << r.size << "\n";
    for (const SourceRecord& s : sources)
        o << "source " << s.id << " url=" << s.urlPath << " length=" << s.length << " base=" << s.baseOffset << "\n";
    return o.str();
}

namespace {

struct ClientFile {
    std::string tableName;
    std::string relPath;
};

bool ListClientFiles(const std::string& binDir, std::vector<ClientFile>* pOut, std::string* pErr) {
    std::error_code ec;
    if (!fs::is_directory(binDir, ec)) return Fail(pErr, "no client bin folder " + binDir);
    std::vector<ClientFile> files;
    for (auto it = fs::recursive_directory_iterator(binDir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::file_status st = it->symlink_status();
        if (!fs::is_regular_file(st)) continue;
        std::string rel = fs::relative(it->path(), binDir).generic_string();
        ClientFile cf{Backslashes(rel), rel};
        if (cf.tableName.size() + 1 >= 260) return Fail(pErr, "file name too long for the table: " + rel);
        files.push_back(cf);
    }
    if (ec) return Fail(pErr, "cannot list " + binDir + ": " + ec.message());
    std::sort(files.begin(), files.end(),
              [](const ClientFile& a, const ClientFile& b) { return a.tableName < b.tableName; });
    *pOut = std::move(files);
    return true;
}

struct SourceBuild {
    SourceLayout layout;
    Bytes content;
};

// Where the tree goes: OUT on disk, its URL path, and the package repair folder in both.
struct TreePlace {
    std::string out, urlBase, repDir, repUrl;
};

// The package as read from the client: its configuration, blocks, folder files and the bytes
// of its good data files.
struct PackageSource {
    std::string pak;
    Bytes cfg;
    std::vector<BlockLayout> blockLayouts;
    std::vector<std::string> dirFileNames;
    std::vector<Bytes> dataFiles;
};

// Ordinary files and "qel_repair.info".
bool WriteOrdinaryFiles(const std::string& clientRoot, const GeneratorOptions& opt, const TreePlace& at,
                        GeneratedInfo* pInfo, std::string* pErr) {
    GeneratedInfo& info = *pInfo;
    std::vector<ClientFile> files;
    const std::string binDir = clientRoot + "/bin/" + opt.binSub;
    if (!ListClientFiles(binDir, &files, pErr)) return false;
    std::vector<InfoFileEntry> entries;
    std::vector<uint32_t> dirIds;
    for (uint32_t i = 0; i < files.size(); ++i) {
        Bytes content;
        if (!ReadBytes(binDir + "/" + files[i].relPath, &content, pErr)) return false;
        uint32_t dirId = opt.dirOf ? opt.dirOf(i) : i % (uint32_t)opt.dirs.size();
        if (dirId >= opt.dirs.size()) return Fail(pErr, "dirOf gave a folder out of range");
        NormalFileRecord r;
        r.index = i;
        r.tableName = files[i].tableName;
        r.dirId = dirId;
        r.size = content.size();
        r.crc = Crc32(content);
        r.serverPath = at.urlBase + "/" + opt.dirs[dirId] + "/" + files[i].relPath;
        if (!WriteBytes(at.out + "/" + opt.dirs[dirId] + "/" + files[i].relPath, content, pErr)) return false;
        entries.push_back({r.tableName, r.crc});
        dirIds.push_back(dirId);
        info.normalFiles.push_back(r);
    }
    info.dirs = opt.dirs;
    Bytes infoFile = AssembleRepairInfo(EncodeFileCheckTable(entries), EncodeDirTable(opt.dirs),
                                        EncodeFileRepairTable(dirIds), opt.layout, opt.sentinels, &info);
    if (!WriteBytes(at.out + "/qel_repair.info", infoFile, pErr)) return false;
    info.infoUrlPath = at.urlBase + "/qel_repair.info";
    return true;
}

// Reads "Package.CFG", the blocks and folder files (from the manifest or the package folder)
// and the data files.
bool ReadPackage(const std::string& clientRoot, const Manifest* pManifest, const GeneratorOptions& opt,
                 PackageSource* pPkg, GeneratedInfo* pInfo, std::string* pErr) {
    GeneratedInfo& info = *pInfo;
    PackageSource& pkg = *pPkg;
    pkg.pak = clientRoot + "/pakV3";
    const std::string& pak = pkg.pak;
    Bytes& cfg = pkg.cfg;
    if (!ReadBytes(pak + "/Package.CFG", &cfg, pErr)) return false;
    if (cfg.size() != kPackageCfgSize) return Fail(pErr, "Package.CFG is not 204 bytes");
    info.dirFilesFolder = GetU32(cfg, 24);
    info.dataFileCount = GetU32(cfg, 28);
    info.dataFileSize = GetU64(cfg, 32);
    info.baseAddress = GetU64(cfg, 40);
    const uint64_t D = info.dataFileSize;
    if (D == 0 || info.dataFileCount == 0) return Fail(pErr, "Package.CFG has no data files");

    std::vector<BlockLayout>& blockLayouts = pkg.blockLayouts;
    std::vector<std::string>& dirFileNames = pkg.dirFileNames;
    if (pManifest) {
        blockLayouts = pManifest->blocks;
        dirFileNames = pManifest->dirFiles;
    } else {
        if (!opt.deriveBlocks) return Fail(pErr, "no manifest and deriveBlocks is off");
        if (!DeriveBlocks(pak, info.dataFileCount, D, &blockLayouts, pErr)) return false;
        std::error_code ec;
        std::set<std::string> skip = {"Package.CFG"};
        for (uint32_t f = 0; f < info.dataFileCount; ++f) skip.insert(DataFileName(f));
        for (const fs::directory_entry& e : fs::directory_iterator(pak, ec)) {
            if (!fs::is_regular_file(e.symlink_status())) continue;
            std::string name = e.path().filename().string();
            auto endsWith = [&name](const char* s) {
                std::string t(s);
                return name.size() >= t.size() && name.compare(name.size() - t.size(), t.size(), t) == 0;
            };
            if (skip.count(name) || endsWith(".tmp") || endsWith(".cfg")) continue;
            dirFileNames.push_back(name);
        }
    }
    if (blockLayouts.empty()) return Fail(pErr, "the package has no blocks");
    // The repairer refuses a folder-file table without a record, so no such tree is served.
    if (dirFileNames.empty()) return Fail(pErr, "the package has no folder files");

    pkg.dataFiles.resize(info.dataFileCount);
    for (uint32_t f = 0; f < info.dataFileCount; ++f) {
        if (!ReadBytes(pak + "/" + DataFileName(f), &pkg.dataFiles[f], pErr)) return false;
        if (pkg.dataFiles[f].size() != D) return Fail(pErr, DataFileName(f) + " has the wrong size");
    }
    return true;
}

// Folder files, by UTF-16 code units: written under the package repair folder (and the
// development one), and their table.
bool WriteFolderFiles(PackageSource& pkg, const GeneratorOptions& opt, const std::string& docroot,
                      const TreePlace& at, GeneratedInfo* pInfo, Bytes* pTable, std::string* pErr) {
    GeneratedInfo& info = *pInfo;
    std::sort(pkg.dirFileNames.begin(), pkg.dirFileNames.end(), Utf16Less);
    for (const std::string& name : pkg.dirFileNames) {
        Bytes content, field;
        if (!ReadBytes(pkg.pak + "/" + name, &content, pErr)) return false;
        if (!EncodeFixedUtf16LE(name, 64, &field)) return Fail(pErr, "folder file name does not fit: " + name);
        DirFileRecord d;
        d.name = name;
        d.crc = Crc32(content);
        d.size = content.size();
        std::string sub = "DirFiles/" + std::to_string(info.dirFilesFolder) + "/" + Slashes(name);
        d.urlPath = at.repUrl + "/" + sub;
        if (!WriteBytes(at.repDir + "/" + sub, content, pErr)) return false;
        if (opt.alsoDev && !WriteBytes(docroot + "/" + opt.devPath + "/" + sub, content, pErr)) return false;
        pTable->append(field);
        AppendU32(pTable, d.crc);
        info.dirFiles.push_back(d);
    }
    return true;
}

// Blocks and their checksums from the good data files: their bytes and their table.
bool ReadBlocks(const PackageSource& pkg, GeneratedInfo* pInfo, std::vector<Bytes>* pBlockBytes, Bytes* pTable,
                std::string* pErr) {
    GeneratedInfo& info = *pInfo;
    const uint64_t D = info.dataFileSize, B = info.baseAddress;
    for (uint32_t i = 0; i < pkg.blockLayouts.size(); ++i) {
        const BlockLayout& s = pkg.blockLayouts[i];
        if (s.fileIndex >= info.dataFileCount || s.size == 0 || s.offset > D || s.size > D - s.offset)
            return Fail(pErr, "block " + std::to_string(i) + " lies outside its data file");
        BlockRecord r;
        r.index = i;
        r.fileIndex = s.fileIndex;
        r.offset = s.offset;
        r.size = s.size;
        r.address = B + (uint64_t)s.fileIndex * D + s.offset;
        pBlockBytes->push_back(pkg.dataFiles[s.fileIndex].substr((size_t)s.offset, (size_t)s.size));
        r.crc = BlockCrc(pBlockBytes->back());
        AppendU64(pTable, r.address);
        AppendU64(pTable, r.size);
        AppendU32(pTable, r.crc);
        info.blocks.push_back(r);
    }
    return true;
}

// Empty regions: the complement of the blocks, file by file, each filled with 0xCE.
bool FindEmptyRegions(const PackageSource& pkg, GeneratedInfo* pInfo, Bytes* pTable, std::string* pErr) {
    GeneratedInfo& info = *pInfo;
    const uint64_t D = info.dataFileSize, B = info.baseAddress;
    for (uint32_t f = 0; f < info.dataFileCount; ++f) {
        std::vector<std::pair<uint64_t, uint64_t>> covered;
        for (const BlockLayout& s : pkg.blockLayouts)
            if (s.fileIndex == f) covered.push_back({s.offset, s.offset + s.size});
        std::sort(covered.begin(), covered.end());
        uint64_t pos = 0;
        covered.push_back({D, D});
        for (const auto& c : covered) {
            if (c.first < pos) return Fail(pErr, "blocks overlap in " + DataFileName(f));
            if (c.first > pos) {
                RegionRecord r;
                r.index = (uint32_t)info.regions.size();
                r.fileIndex = f;
                r.offset = pos;
                r.size = c.first - pos;
                r.address = B + (uint64_t)f * D + pos;
                for (uint64_t k = pos; k < c.first; ++k)
                    if ((uint8_t)pkg.dataFiles[f][(size_t)k] != kEmptyFill)
                        return Fail(pErr, "region byte " + std::to_string(k) + " of " + DataFileName(f) + " is not 0xCE");
                AppendU64(pTable, r.address);
                AppendU64(pTable, r.size);
                info.regions.push_back(r);
            }
            pos = std::max(pos, c.second);
        }
    }
    if (info.regions.empty()) return Fail(pErr, "the package has no empty region");
    return true;
}

// Data sources: the options' layouts, or by default S sources taking the blocks in turn,
// highest address first. Each block must lie in exactly one source.
bool BuildSources(const GeneratorOptions& opt, const std::vector<Bytes>& blockBytes, GeneratedInfo* pInfo,
                  std::vector<SourceBuild>* pBuilds, std::string* pErr) {
    GeneratedInfo& info = *pInfo;
    std::vector<SourceLayout> layouts = opt.sources;
    if (layouts.empty()) {
        uint32_t S = std::max<uint32_t>(1, opt.defaultSourceCount);
        for (uint32_t s = 1; s <= S; ++s) {
            SourceLayout l;
            l.id = s;
            l.prefix = s == 1 ? 0 : 100;
            l.suffix = 50;
            std::vector<uint32_t> mine;
            for (uint32_t i = 0; i < info.blocks.size(); ++i)
                if (1 + i % S == s) mine.push_back(i);
            std::sort(mine.begin(), mine.end(),
                      [&info](uint32_t a, uint32_t b) { return info.blocks[a].address > info.blocks[b].address; });
            for (size_t k = 0; k < mine.size(); ++k) l.entries.push_back({mine[k], kDefaultGaps[k % 5]});
            if (!l.entries.empty()) layouts.push_back(l);
        }
    }
    std::sort(layouts.begin(), layouts.end(), [](const SourceLayout& a, const SourceLayout& b) { return a.id < b.id; });
    std::vector<int> blockSeen(info.blocks.size(), 0);
    for (size_t k = 0; k < layouts.size(); ++k) {
        const SourceLayout& l = layouts[k];
        if (l.id == 0) return Fail(pErr, "source id 0");
        if (k > 0 && layouts[k - 1].id == l.id) return Fail(pErr, "source id repeated");
        SourceBuild sb{l, Bytes((size_t)l.prefix, kJunk)};
        for (const SourceLayout::Entry& e : l.entries) {
            if (e.block >= info.blocks.size()) return Fail(pErr, "source names a missing block");
            ++blockSeen[e.block];
            sb.content.append((size_t)e.gapBefore, kJunk);
            info.blocks[e.block].sourceId = l.id;
            info.blocks[e.block].offsetInSource = sb.content.size();
            sb.content.append(blockBytes[e.block]);
        }
        sb.content.append((size_t)l.suffix, kJunk);
        pBuilds->push_back(std::move(sb));
    }
    for (size_t i = 0; i < blockSeen.size(); ++i)
        if (blockSeen[i] != 1) return Fail(pErr, "block " + std::to_string(i) + " is not in exactly one source");
    return true;
}

// Places the sources in server files (one update file each, or packed into the named files
// with a source table) and fills the repair table. serverFiles are relative to the package
// repair folder.
bool PlaceSources(const GeneratorOptions& opt, const std::vector<SourceBuild>& builds, const TreePlace& at,
                  GeneratedInfo* pInfo, RepTables* pTables, std::vector<std::pair<std::string, Bytes>>* pServerFiles,
                  std::string* pErr) {
    GeneratedInfo& info = *pInfo;
    RepTables& tables = *pTables;
    std::vector<std::pair<std::string, Bytes>>& serverFiles = *pServerFiles;
    std::map<uint32_t, uint64_t> baseOf;
    if (opt.sourceMode == SourceMode::UpdateFiles) {
        for (const SourceBuild& sb : builds) {
            std::string name = "UpdateFiles/" + std::to_string(sb.layout.id - 1) + "-" + std::to_string(sb.layout.id) + ".UPDATE";
            serverFiles.push_back({name, sb.content});
            baseOf[sb.layout.id] = 0;
            info.sources.push_back({sb.layout.id, at.repUrl + "/" + name, sb.content.size(), 0, std::string()});
        }
    } else {
        tables.hasSourceTable = true;
        std::map<std::string, Bytes> packed;
        std::vector<std::string> fileOrder;
        for (const SourceBuild& sb : builds) {
            auto it = packed.find(sb.layout.serverFile);
            if (it == packed.end()) {
                it = packed.emplace(sb.layout.serverFile, Bytes((size_t)kSourceFileLead, kJunk)).first;
                fileOrder.push_back(sb.layout.serverFile);
            } else {
                it->second.append((size_t)kSourceFileSpacer, kJunk);
            }
            uint64_t base = it->second.size();
            it->second.append(sb.content);
            baseOf[sb.layout.id] = base;
            Bytes rec, field;
            if (!EncodeFixedUtf16LE(sb.layout.serverFile, 64, &field))
                return Fail(pErr, "data-source file name does not fit: " + sb.layout.serverFile);
            AppendU32(&rec, sb.layout.id);
            AppendU32(&rec, 0xDEADBEEF);
            rec.append(field);
            AppendU64(&rec, base);
            AppendU64(&rec, sb.content.size());
            tables.sources.append(rec);
            info.sources.push_back({sb.layout.id, at.repUrl + "/" + Slashes(sb.layout.serverFile), sb.content.size(), base,
                                    sb.layout.serverFile});
        }
        for (const std::string& name : fileOrder) serverFiles.push_back({Slashes(name), packed[name]});
    }
    for (BlockRecord& b : info.blocks) {
        b.offsetInServerFile = baseOf[b.sourceId] + b.offsetInSource;
        AppendU32(&tables.repair, b.sourceId);
        AppendU64(&tables.repair, b.offsetInSource);
    }
    return true;
}

}  // namespace

bool GenerateServerTree(const std::string& clientRoot, const Manifest* pManifest, const std::string& docroot,
                        const GeneratorOptions& opt, GeneratedInfo* pRetInfo, std::string* pErr) {
    GeneratedInfo info;
    TreePlace at;
    at.out = docroot + "/" + opt.editionPath;
    at.urlBase = "/" + opt.editionPath;
    at.repDir = at.out + "/PakV3Repair";
    at.repUrl = at.urlBase + "/PakV3Repair";
    if (opt.dirs.empty()) return Fail(pErr, "no server folders");
    if (!WriteOrdinaryFiles(clientRoot, opt, at, &info, pErr)) return false;

    // The package and "Repair.REP".
    PackageSource pkg;
    RepTables tables;
    std::vector<Bytes> blockBytes;
    std::vector<SourceBuild> builds;
    std::vector<std::pair<std::string, Bytes>> serverFiles;
    if (!ReadPackage(clientRoot, pManifest, opt, &pkg, &info, pErr) ||
        !WriteFolderFiles(pkg, opt, docroot, at, &info, &tables.dirFiles, pErr) ||
        !ReadBlocks(pkg, &info, &blockBytes, &tables.blocks, pErr) ||
        !FindEmptyRegions(pkg, &info, &tables.regions, pErr) || !BuildSources(opt, blockBytes, &info, &builds, pErr) ||
        !PlaceSources(opt, builds, at, &info, &tables, &serverFiles, pErr))
        return false;

    Bytes rep = AssembleRepairRep(pkg.cfg, tables, opt.layout, &info);
    if (!WriteBytes(at.repDir + "/Repair.REP", rep, pErr)) return false;
    for (const auto& sf : serverFiles)
        if (!WriteBytes(at.repDir + "/" + sf.first, sf.second, pErr)) return false;
    if (opt.alsoDev) {
        const std::string dev = docroot + "/" + opt.devPath;
        if (!WriteBytes(dev + "/Repair.REP", rep, pErr)) return false;
        for (const auto& sf : serverFiles)
            if (!WriteBytes(dev + "/" + sf.first, sf.second, pErr)) return false;
    }
    info.repUrlPath = at.repUrl + "/Repair.REP";
    if (!opt.infoTextPath.empty() && !WriteBytes(opt.infoTextPath, info.ToText(), pErr)) return false;
    if (pRetInfo) *pRetInfo = std::move(info);
    return true;
}

}  // namespace qn::kit
