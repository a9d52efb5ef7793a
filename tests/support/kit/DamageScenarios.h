// The damage scenarios of the repair engine's tests, as data: the damage done to the working copy
// of the client and to the server tree, the fault rules for the server, and the exact end state a
// correct engine reaches (check and repair results, the tree afterwards, key requests and log
// lines). The engine's tests only have to apply a row and assert it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ReferenceFixtures.h"
#include "RepairFileEditor.h"

namespace qn::kit {

enum class DamageSide {
    Client,  // path relative to the working client root
    Server,  // path relative to the docroot
};

enum class DamageOp {
    XorByte,          // offset, value = mask
    SetByte,          // offset, value
    Truncate,         // value = new size
    Extend,           // value = bytes of 0 appended
    Delete,           // file or folder
    ReplaceByFolder,  // text = the name of the small file inside
    Empty,
    WriteFile,        // text = content
    XorTableByte,     // a table byte of a repair file, checksums left as they are: table, offset, value
};

struct DamageStep {
    DamageSide side = DamageSide::Client;
    DamageOp op = DamageOp::XorByte;
    std::string path;
    uint64_t offset = 0;
    uint64_t value = 0;
    std::string text;
    RepairTable table = RepairTable::Blocks;
};

// A fault rule for the server: requests whose decoded path ends with pathSuffix (and whose Range
// equals range, when set) are delayed by delayMs.
struct ServerDelayRule {
    std::string pathSuffix;
    std::string range;
    uint32_t delayMs = 0;
};

// A request the scenario expects (or forbids). tail: the path is followed by
// "/<seconds>.RefreshEveryTime". range empty: a whole-file download (any Range).
struct ExpectedRequest {
    std::string pathSuffix;
    std::string range;
    bool tail = false;
    uint32_t count = 1;  // how many times
};

enum class StopPhase { None, Check, Repair };

struct ExpectedCheck {
    int status = 3;                    // coordinator status after the check
    std::vector<std::string> corrupt;  // ordinary files, table order
    uint32_t pakCount = 0;             // package elements found broken
    int normalStatus = -1;             // the ordinary-file repairer's status, -1 when not asserted
    int pakStatus = -1;                // the package repairer's status, -1 when not asserted
};

struct ExpectedRepair {
    bool run = false;  // whether the repair phase is started
    int status = 4;
    int normalStatus = -1;
    int pakStatus = -1;
    std::vector<std::string> cannotRepair;  // the ordinary repairer's can't-repair list
};

struct ExpectedEnd {
    // Paths (relative to the client root, '/' separated) allowed and required to differ from
    // the known-good client afterwards; empty means byte-identical bin/zhcn and pakV3, and a
    // single "*" means the tree is not asserted.
    std::vector<std::string> differing;
    // Files whose modification time changes; only asserted when checkTouched.
    bool checkTouched = false;
    std::vector<std::string> touched;
    bool tempHoldsNoFile = true;
};

struct Scenario {
    std::string id;
    std::string description;
    FixtureId fixture = FixtureId::F1;
    SourceMode mode = SourceMode::UpdateFiles;
    bool alsoDev = false;  // the development package tree is generated and the client is a dev client
    std::vector<DamageStep> steps;
    std::vector<ServerDelayRule> delays;
    StopPhase stopPhase = StopPhase::None;
    uint32_t stopAfterMs = 0;
    ExpectedCheck check;
    ExpectedRepair repair;
    ExpectedEnd end;
    std::vector<ExpectedRequest> requests;   // in the order sent
    std::vector<ExpectedRequest> forbidden;  // never sent
    std::vector<std::string> logLines;       // texts that must appear; <temp> and <bin> stand for the folders
    std::string notes;
};

std::vector<Scenario> DamageScenarios();
const Scenario* FindScenario(const std::string& id);

// The requests every check of an undamaged F1 sends.
std::vector<ExpectedRequest> CheckRequestsF1();

// Applies the scenario's damage: client steps to clientRoot, server steps to docroot.
bool ApplyDamage(const Scenario& scenario, const std::string& clientRoot, const std::string& docroot,
                 std::string* pErr);
bool ApplyDamageStep(const DamageStep& step, const std::string& clientRoot, const std::string& docroot,
                     std::string* pErr);

}  // namespace qn::kit
