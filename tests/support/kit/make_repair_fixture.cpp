// Hand-run wrapper of the repair test kit. Two uses:
//   make_repair_fixture <out> [F1|F1e|F2] [--table] [--shuffled] [--dev] [--scenario ID]
//       writes a reference fixture: the client in <out>/client, the server tree in <out>/www and
//       the generated record in <out>/fixture-info.txt; --scenario applies a damage row to the
//       copies in <out>/work and <out>/www-damaged.
//   make_repair_fixture --from-client <client root> <docroot> [--table] [--shuffled] [--dev]
//       writes the server tree of an existing client; the blocks come from <root>/pakV3.manifest
//       or, without one, are derived from the data files.
// A folder argument that is empty or starts with "-" (an option it does not know, such as
// "--help") is answered with the usage and exit code 2, and nothing is written; a folder of such
// a name is given as "./-x".
#include <cstdio>
#include <cstring>
#include <string>

#include "DamageScenarios.h"
#include "EngineHarness.h"
#include "ReferenceFixtures.h"
#include "ServerTreeGenerator.h"
#include "TreeTools.h"

using namespace qn::kit;

static int Usage() {
    std::fprintf(stderr,
                 "usage: make_repair_fixture <out> [F1|F1e|F2] [--table] [--shuffled] [--dev] [--scenario ID]\n"
                 "       make_repair_fixture --from-client <client root> <docroot> [--table] [--shuffled] [--dev]\n");
    return 2;
}

// An empty argument names no folder, and one that starts with "-" is an option.
static bool NotAFolder(const char* csz) { return !csz[0] || csz[0] == '-'; }

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    bool fromClient = std::strcmp(argv[1], "--from-client") == 0;
    std::string first, second, scenarioId;
    FixtureId id = FixtureId::F1;
    bool table = false, shuffled = false, dev = false;
    int i = 1;
    if (fromClient) {
        if (argc < 4) return Usage();
        if (NotAFolder(argv[2]) || NotAFolder(argv[3])) return Usage();
        first = argv[2];
        second = argv[3];
        i = 4;
    } else {
        if (NotAFolder(argv[1])) return Usage();
        first = argv[1];
        i = 2;
    }
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--table") table = true;
        else if (a == "--shuffled") shuffled = true;
        else if (a == "--dev") dev = true;
        else if (a == "--scenario" && i + 1 < argc && !NotAFolder(argv[i + 1])) scenarioId = argv[++i];
        else if (a == "F1") id = FixtureId::F1;
        else if (a == "F1e") id = FixtureId::F1e;
        else if (a == "F2") id = FixtureId::F2;
        else return Usage();
    }
    // An unknown scenario is refused before anything is written.
    const Scenario* pScenario = scenarioId.empty() ? nullptr : FindScenario(scenarioId);
    if (!scenarioId.empty() && !pScenario) {
        std::fprintf(stderr, "make_repair_fixture: no scenario %s\n", scenarioId.c_str());
        return 1;
    }
    std::string err;
    SourceMode mode = table ? SourceMode::Table : SourceMode::UpdateFiles;
    if (fromClient) {
        GeneratorOptions opt;
        opt.sourceMode = mode;
        opt.layout = shuffled ? TableLayout::Shuffled : TableLayout::Contiguous;
        opt.alsoDev = dev;
        opt.infoTextPath = second + "/../fixture-info.txt";
        Manifest manifest;
        Bytes text;
        bool haveManifest = ReadBytes(first + "/pakV3.manifest", &text) && ManifestFromText(text, &manifest, &err);
        if (!haveManifest) opt.deriveBlocks = true;
        GeneratedInfo info;
        if (!GenerateServerTree(first, haveManifest ? &manifest : nullptr, second, opt, &info, &err)) {
            std::fprintf(stderr, "make_repair_fixture: %s\n", err.c_str());
            return 1;
        }
        std::fputs(info.ToText().c_str(), stdout);
        return 0;
    }
    GeneratorOptions opt = GeneratorOptionsOf(id, mode);
    opt.layout = shuffled ? TableLayout::Shuffled : TableLayout::Contiguous;
    opt.alsoDev = dev;
    BuiltFixture fx;
    if (!BuildFixture(id, first, opt, &fx, &err)) {
        std::fprintf(stderr, "make_repair_fixture: %s\n", err.c_str());
        return 1;
    }
    if (pScenario) {
        if (!CopyTree(fx.clientRoot, first + "/work", &err) || !CopyTree(fx.docroot, first + "/www-damaged", &err) ||
            !ApplyDamage(*pScenario, first + "/work", first + "/www-damaged", &err)) {
            std::fprintf(stderr, "make_repair_fixture: %s\n", err.c_str());
            return 1;
        }
    }
    std::fputs(fx.info.ToText().c_str(), stdout);
    return 0;
}
