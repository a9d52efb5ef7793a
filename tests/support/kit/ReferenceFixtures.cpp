#include "ReferenceFixtures.h"

#include <cstdio>

namespace qn::kit {

namespace {

bool Fail(std::string* pErr, const std::string& text) {
    if (pErr) *pErr = text;
    return false;
}

constexpr uint64_t kMiB = 1024 * 1024;

}  // namespace

std::vector<NormalFileLayout> F1NormalFiles() {
    std::vector<NormalFileLayout> files = {
        {"3RDPARTY/upper.dll", 700}, {"3rdParty/lower.dll", 700}, {"QelClient.exe", 5000},
        {"config/client.ini", 300},  {"data/ui.ini", 200},        {"database.dll", 1200},
        {"lib/core.dll", 70000},     {"lib/render.dll", 2000},
    };
    for (int i = 0; i < 90; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "misc/f%03d.dat", i);
        files.push_back({name, 16});
    }
    files.push_back({"package.ini", 50});
    files.push_back({"ui/Image/a.png", 400});
    return files;
}

std::vector<NormalFileLayout> NormalFilesOf(FixtureId id) {
    switch (id) {
        case FixtureId::F1: return F1NormalFiles();
        case FixtureId::F1e: {
            std::vector<NormalFileLayout> files = F1NormalFiles();
            files.push_back({"empty.txt", 0});
            return files;
        }
        case FixtureId::F2: return {{"QelClient.exe", 1000}, {"config/client.ini", 300}};
    }
    return {};
}

Bytes NormalFileContent(const NormalFileLayout& layout, uint64_t ullSeed) {
    SplitMix64 gen(ullSeed ^ Fnv1a64(layout.relPath));
    return gen.NextBytes((size_t)layout.size);
}

PackageLayout PackageLayoutOf(FixtureId id) {
    PackageLayout layout;
    if (id == FixtureId::F2) {
        layout.dirFilesFolder = 7;
        layout.dataFileCount = 1;
        layout.dataFileSize = 4 * kMiB;
        layout.baseAddress = 0;
        layout.blocks = {{0, 0, kMiB}, {0, kMiB, kMiB}, {0, 2 * kMiB, kMiB}};
        layout.dirFiles = {{"Dir0.idx", 300}};
        return layout;
    }
    // F1 and F1e share the package.
    layout.blocks = {
        {0, 0, 4096},     {0, 4096, 1500}, {0, 10000, 100}, {0, 10612, 100},
        {0, 259144, 3000}, {1, 0, 70000},  {1, 100000, 5},  {2, 50000, 2048},
    };
    layout.dirFiles = {{"Dir0.idx", 300}, {"Dir1.idx", 1000}};
    return layout;
}

GeneratorOptions GeneratorOptionsOf(FixtureId id, SourceMode mode) {
    GeneratorOptions opt;
    opt.sourceMode = mode;
    if (id == FixtureId::F2) {
        SourceLayout s;
        s.id = 1;
        s.entries = {{0, 0}, {1, 0}, {2, 0}};
        opt.sources = {s};
        return opt;
    }
    SourceLayout s1;
    s1.id = 1;
    s1.prefix = 0;
    s1.entries = {{2, 0}, {3, 500}, {6, 513}, {0, 782}, {1, 0}};
    s1.suffix = 50;
    SourceLayout s2;
    s2.id = 2;
    s2.prefix = 100;
    s2.entries = {{5, 0}, {7, 0}, {4, 512}};
    s2.suffix = 0;
    opt.sources = {s1, s2};
    return opt;
}

std::vector<std::string> ClientIgnoreFiles() {
    return {"package.ini", "channel.ini",      "QelRepair.exe",   "QelRepairD.exe",
            "uninst.exe",  "gameupdater.exe", "gameupdaterD.exe", "gameupdater.ini"};
}

std::vector<std::string> ClientIgnoreDirectories() {
    return {"data",      "maps",    "ui\\Image", "ui\\Traits", "ui\\Sound",     "ui\\Video",
            "ui\\Config", "represent", "scripts", "settings",  "QN3DEngineData"};
}

bool BuildClient(FixtureId id, const std::string& root, Manifest* pRetManifest, std::string* pErr) {
    const std::string bin = root + "/bin/zhcn";
    if (!MakeDirs(bin, pErr)) return false;
    for (const NormalFileLayout& f : NormalFilesOf(id))
        if (!WriteBytes(bin + "/" + f.relPath, NormalFileContent(f), pErr)) return false;
    return MakePackage(PackageLayoutOf(id), root, pRetManifest, pErr);
}

bool BuildFixture(FixtureId id, const std::string& base, const GeneratorOptions& options, BuiltFixture* pRet,
                  std::string* pErr) {
    BuiltFixture fx;
    fx.clientRoot = base + "/client";
    fx.docroot = base + "/www";
    if (!BuildClient(id, fx.clientRoot, &fx.manifest, pErr)) return false;
    GeneratorOptions opt = options;
    if (opt.infoTextPath.empty()) opt.infoTextPath = base + "/fixture-info.txt";
    if (!GenerateServerTree(fx.clientRoot, &fx.manifest, fx.docroot, opt, &fx.info, pErr)) return false;
    fx.urlPrefixPath = "/" + opt.editionPath + "/";
    if (!pRet) return Fail(pErr, "no result");
    *pRet = std::move(fx);
    return true;
}

bool BuildFixture(FixtureId id, const std::string& base, SourceMode mode, BuiltFixture* pRet, std::string* pErr) {
    return BuildFixture(id, base, GeneratorOptionsOf(id, mode), pRet, pErr);
}

std::vector<RangeCase> ReferenceRangeCases() {
    const std::string info = "/qelrepair/zhcn_v3/qel_repair.info";
    const std::string rep = "/PakV3Repair/Repair.REP";
    const std::string u1 = "/PakV3Repair/UpdateFiles/0-1.UPDATE";
    const std::string u2 = "/PakV3Repair/UpdateFiles/1-2.UPDATE";
    const std::string src = "/PakV3Repair/Sources.dat";
    const SourceMode U = SourceMode::UpdateFiles, T = SourceMode::Table;
    const FixtureId F1 = FixtureId::F1;
    return {
        {"info header", F1, U, {}, {{info, "bytes=0-75"}}},
        {"info file-check table", F1, U, {}, {{info, "bytes=76-2289"}}},
        {"info folder table", F1, U, {}, {{info, "bytes=2290-2322"}}},
        {"info repair entry of file 6", F1, U, {6}, {{info, "bytes=2347-2350"}}},
        {"info repair entries of files 0 2 3 6", F1, U, {0, 2, 3, 6},
         {{info, "bytes=2323-2326"}, {info, "bytes=2331-2338"}, {info, "bytes=2347-2350"}}},
        {"info whole repair table", F1, U, {0, 2, 3, 6, 7}, {{info, "bytes=2323-2722"}}},
        {"rep header", F1, U, {}, {{rep, "bytes=0-323"}}},
        {"rep folder-file table", F1, U, {}, {{rep, "bytes=324-587"}}},
        {"rep block table", F1, U, {}, {{rep, "bytes=588-747"}}},
        {"rep region table", F1, U, {}, {{rep, "bytes=748-859"}}},
        {"rep repair table", F1, U, {}, {{rep, "bytes=860-955"}}},
        {"rep source table", F1, T, {}, {{rep, "bytes=956-1259"}}},
        {"all blocks, update files", F1, U, {0, 1, 2, 3, 4, 5, 6, 7},
         {{u1, "bytes=0-699"}, {u1, "bytes=1213-1217"}, {u1, "bytes=2000-7595"}, {u2, "bytes=100-75659"}}},
        {"all blocks, source table", F1, T, {0, 1, 2, 3, 4, 5, 6, 7},
         {{src, "bytes=64-763"}, {src, "bytes=1277-1281"}, {src, "bytes=2064-7659"}, {src, "bytes=7846-83405"}}},
        {"block 5", F1, U, {5}, {{u2, "bytes=100-70099"}}},
        {"block 7", F1, U, {7}, {{u2, "bytes=70100-72147"}}},
        {"blocks 2 3", F1, U, {2, 3}, {{u1, "bytes=0-699"}}},
        {"blocks 2 6", F1, U, {2, 6}, {{u1, "bytes=0-99"}, {u1, "bytes=1213-1217"}}},
        {"blocks 6 5", F1, U, {6, 5}, {{u1, "bytes=1213-1217"}, {u2, "bytes=100-70099"}}},
        {"F2 all blocks", FixtureId::F2, U, {0, 1, 2}, {{u1, "bytes=0-2097151"}, {u1, "bytes=2097152-3145727"}}},
    };
}

}  // namespace qn::kit
