#include "PackageMaker.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace qn::kit {

namespace {

bool Fail(std::string* pErr, const std::string& text) {
    if (pErr) *pErr = text;
    return false;
}

Bytes DefaultHead() {
    Bytes b;
    for (int k = 0; k < 24; ++k) b.push_back((char)(0x10 + k));
    return b;
}

Bytes DefaultTail() {
    Bytes b;
    for (int k = 0; k < 156; ++k) b.push_back((char)((0x80 + k) & 0xFF));
    return b;
}

bool IsReservedPackageName(const std::string& name) {
    if (name == "Package.CFG") return true;
    const std::string prefix = "Package", suffix = ".DAT";
    if (name.size() <= prefix.size() + suffix.size()) return false;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string DataFileName(uint32_t uIndex) { return "Package" + std::to_string(uIndex) + ".DAT"; }

bool ValidatePackageLayout(const PackageLayout& layout, std::string* pErr) {
    if (!layout.cfgOpaqueHead.empty() && layout.cfgOpaqueHead.size() != 24)
        return Fail(pErr, "cfgOpaqueHead must be 24 bytes");
    if (!layout.cfgOpaqueTail.empty() && layout.cfgOpaqueTail.size() != 156)
        return Fail(pErr, "cfgOpaqueTail must be 156 bytes");
    if (layout.dataFileSize == 0) return Fail(pErr, "dataFileSize is 0");
    uint64_t covered = 0;
    for (size_t i = 0; i < layout.blocks.size(); ++i) {
        const BlockLayout& b = layout.blocks[i];
        std::string name = "block " + std::to_string(i);
        if (b.fileIndex >= layout.dataFileCount) return Fail(pErr, name + ": file index out of range");
        if (b.size == 0) return Fail(pErr, name + ": size 0");
        if (b.size < 5 && !layout.allowTinyBlocks) return Fail(pErr, name + ": shorter than 5 bytes");
        if (b.offset > layout.dataFileSize || b.size > layout.dataFileSize - b.offset)
            return Fail(pErr, name + ": runs past the end of its data file");
        for (size_t j = 0; j < i; ++j) {
            const BlockLayout& o = layout.blocks[j];
            if (o.fileIndex == b.fileIndex && b.offset < o.offset + o.size && o.offset < b.offset + b.size)
                return Fail(pErr, name + ": overlaps block " + std::to_string(j));
        }
        covered += b.size;
    }
    if (covered >= layout.dataFileSize * layout.dataFileCount)
        return Fail(pErr, "no uncovered byte: the region table would be empty");
    for (const DirFileLayout& d : layout.dirFiles) {
        Bytes units;
        if (!Utf8ToUtf16LE(d.name, &units)) return Fail(pErr, "folder file name is not UTF-8");
        size_t n = units.size() / 2;
        if (n < 1 || n > 63) return Fail(pErr, "folder file name must be 1 to 63 UTF-16 units: " + d.name);
        if (d.name.find_first_of("/\\:") != std::string::npos)
            return Fail(pErr, "folder file name holds a separator or ':': " + d.name);
        if (IsReservedPackageName(d.name)) return Fail(pErr, "folder file name is reserved: " + d.name);
        if (d.size == 0 && !layout.allowEmptyDirFiles) return Fail(pErr, "empty folder file: " + d.name);
    }
    return true;
}

Bytes EncodePackageCfg(const PackageLayout& layout) {
    Bytes cfg(kPackageCfgSize, '\0');
    Bytes head = layout.cfgOpaqueHead.empty() ? DefaultHead() : layout.cfgOpaqueHead;
    Bytes tail = layout.cfgOpaqueTail.empty() ? DefaultTail() : layout.cfgOpaqueTail;
    cfg.replace(0, 24, head);
    PutU32(&cfg, 24, layout.dirFilesFolder);
    PutU32(&cfg, 28, layout.dataFileCount);
    PutU64(&cfg, 32, layout.dataFileSize);
    PutU64(&cfg, 40, layout.baseAddress);
    cfg.replace(48, 156, tail);
    return cfg;
}

Bytes MakeBlockContent(uint64_t ullSeed, uint32_t uBlockIndex, uint64_t ullSize) {
    SplitMix64 gen(ullSeed ^ ((uint64_t)uBlockIndex * 0x9E3779B97F4A7C15ull));
    Bytes content = gen.NextBytes((size_t)ullSize);
    static const uint8_t kFirst[4] = {0xB1, 0xB2, 0xB3, 0xB4};
    for (size_t k = 0; k < 4 && k < content.size(); ++k)
        content[k] = (char)(uint8_t)(kFirst[k] ^ (uint8_t)uBlockIndex);
    if (content.size() > 4) {
        uint8_t b4 = (uint8_t)content[4];
        if (b4 == 0x00 || b4 == kEmptyFill) content[4] = (char)0x4B;
    }
    return content;
}

Manifest ManifestFromLayout(const PackageLayout& layout) {
    Manifest m;
    m.dirFilesFolder = layout.dirFilesFolder;
    m.dataFileCount = layout.dataFileCount;
    m.dataFileSize = layout.dataFileSize;
    m.baseAddress = layout.baseAddress;
    m.blocks = layout.blocks;
    for (const DirFileLayout& d : layout.dirFiles) m.dirFiles.push_back(d.name);
    return m;
}

bool MakePackage(const PackageLayout& layout, const std::string& root, Manifest* pRetManifest,
                 std::string* pErr) {
    if (!ValidatePackageLayout(layout, pErr)) return false;
    const std::string dir = root + "/pakV3";
    if (!MakeDirs(dir, pErr)) return false;
    if (!WriteBytes(dir + "/Package.CFG", EncodePackageCfg(layout), pErr)) return false;
    for (uint32_t f = 0; f < layout.dataFileCount; ++f) {
        Bytes data((size_t)layout.dataFileSize, (char)kEmptyFill);
        for (size_t i = 0; i < layout.blocks.size(); ++i) {
            const BlockLayout& b = layout.blocks[i];
            if (b.fileIndex != f) continue;
            data.replace((size_t)b.offset, (size_t)b.size, MakeBlockContent(layout.seed, (uint32_t)i, b.size));
        }
        if (!WriteBytes(dir + "/" + DataFileName(f), data, pErr)) return false;
    }
    for (const DirFileLayout& d : layout.dirFiles) {
        SplitMix64 gen(layout.seed ^ Fnv1a64(d.name));
        if (!WriteBytes(dir + "/" + d.name, gen.NextBytes((size_t)d.size), pErr)) return false;
    }
    Manifest m = ManifestFromLayout(layout);
    if (!WriteBytes(root + "/pakV3.manifest", ManifestToText(m), pErr)) return false;
    if (pRetManifest) *pRetManifest = std::move(m);
    return true;
}

std::string ManifestToText(const Manifest& m) {
    std::ostringstream out;
    out << "cfg dirFilesFolder=" << m.dirFilesFolder << " dataFileCount=" << m.dataFileCount
        << " dataFileSize=" << m.dataFileSize << " baseAddress=" << m.baseAddress << "\n";
    for (const BlockLayout& b : m.blocks) out << "block " << b.fileIndex << " " << b.offset << " " << b.size << "\n";
    for (const std::string& d : m.dirFiles) out << "dirfile " << d << "\n";
    return out.str();
}

bool ManifestFromText(const std::string& text, Manifest* pRetManifest, std::string* pErr) {
    Manifest m;
    bool haveCfg = false;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.empty()) continue;
        std::string where = "manifest line " + std::to_string(lineNo);
        if (line.rfind("dirfile ", 0) == 0) {
            m.dirFiles.push_back(line.substr(8));
            continue;
        }
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "cfg") {
            std::string kv;
            int seen = 0;
            while (fields >> kv) {
                size_t eq = kv.find('=');
                if (eq == std::string::npos) return Fail(pErr, where + ": bad field " + kv);
                std::string key = kv.substr(0, eq), digits = kv.substr(eq + 1);
                if (digits.empty() || digits.size() > 20 ||
                    !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
                    return Fail(pErr, where + ": bad number in " + kv);
                uint64_t v = std::strtoull(digits.c_str(), nullptr, 10);
                if (key == "dirFilesFolder") m.dirFilesFolder = (uint32_t)v;
                else if (key == "dataFileCount") m.dataFileCount = (uint32_t)v;
                else if (key == "dataFileSize") m.dataFileSize = v;
                else if (key == "baseAddress") m.baseAddress = v;
                else return Fail(pErr, where + ": unknown key " + key);
                ++seen;
            }
            if (seen != 4) return Fail(pErr, where + ": cfg needs four fields");
            haveCfg = true;
        } else if (kind == "block") {
            BlockLayout b;
            if (!(fields >> b.fileIndex >> b.offset >> b.size)) return Fail(pErr, where + ": bad block");
            m.blocks.push_back(b);
        } else {
            return Fail(pErr, where + ": unknown record " + kind);
        }
    }
    if (!haveCfg) return Fail(pErr, "manifest has no cfg line");
    *pRetManifest = std::move(m);
    return true;
}

}  // namespace qn::kit
