#include "DamageScenarios.h"

#include "TreeTools.h"

namespace qn::kit {

namespace {

const std::string kInfo = "/qelrepair/zhcn_v3/qel_repair.info";
const std::string kRep = "/qelrepair/zhcn_v3/PakV3Repair/Repair.REP";
const std::string kU1 = "/qelrepair/zhcn_v3/PakV3Repair/UpdateFiles/0-1.UPDATE";
const std::string kU2 = "/qelrepair/zhcn_v3/PakV3Repair/UpdateFiles/1-2.UPDATE";
const std::string kUpdateFiles = "/PakV3Repair/UpdateFiles/";
const std::string kServerInfo = "qelrepair/zhcn_v3/qel_repair.info";
const std::string kServerRep = "qelrepair/zhcn_v3/PakV3Repair/Repair.REP";

DamageStep Client(DamageOp op, const std::string& path, uint64_t offset = 0, uint64_t value = 0,
                  const std::string& text = std::string()) {
    DamageStep s;
    s.side = DamageSide::Client;
    s.op = op;
    s.path = path;
    s.offset = offset;
    s.value = value;
    s.text = text;
    return s;
}

DamageStep Server(DamageOp op, const std::string& path, uint64_t offset = 0, uint64_t value = 0) {
    DamageStep s = Client(op, path, offset, value);
    s.side = DamageSide::Server;
    return s;
}

ExpectedCheck Check(int status, std::vector<std::string> corrupt, uint32_t pakCount, int n = -1, int p = -1) {
    return {status, std::move(corrupt), pakCount, n, p};
}

ExpectedRepair Repair(int status, int n = -1, int p = -1, std::vector<std::string> cannot = {}) {
    return {true, status, n, p, std::move(cannot)};
}

ExpectedRepair NoRepair() { return ExpectedRepair{}; }

ExpectedRequest Req(const std::string& path, const std::string& range, bool tail = false, uint32_t count = 1) {
    return {path, range, tail, count};
}

std::vector<ExpectedRequest> Concat(std::vector<ExpectedRequest> a, const std::vector<ExpectedRequest>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const DamageStep kD1 = Client(DamageOp::XorByte, "pakV3/Package1.DAT", 1000, 0xFF);
const DamageStep kD4 = Client(DamageOp::SetByte, "pakV3/Package2.DAT", 100, 0x00);
const DamageStep kD5 = Client(DamageOp::Delete, "bin/zhcn/lib/core.dll");
const DamageStep kD6 = Client(DamageOp::XorByte, "bin/zhcn/config/client.ini", 10, 0x01);
const DamageStep kD8 = Client(DamageOp::XorByte, "pakV3/Package.CFG", 30, 0xFF);
const DamageStep kD9 = Client(DamageOp::XorByte, "pakV3/Dir1.idx", 5, 0xFF);
const DamageStep kD11 = Client(DamageOp::Delete, "pakV3");

std::vector<ExpectedRequest> AllBlockRequests() {
    return {Req(kU1, "bytes=0-699"), Req(kU1, "bytes=1213-1217"), Req(kU1, "bytes=2000-7595"),
            Req(kU2, "bytes=100-75659")};
}

std::vector<Scenario> Build() {
    std::vector<Scenario> v;
    auto add = [&v](Scenario s) { v.push_back(std::move(s)); };
    const std::string dirFiles = "/qelrepair/zhcn_v3/PakV3Repair/DirFiles/7/";

    {
        Scenario s;
        s.id = "D0";
        s.description = "no damage";
        s.check = Check(3, {}, 0);
        s.repair = NoRepair();
        s.end.checkTouched = true;
        s.requests = CheckRequestsF1();
        s.notes = "each first attempt carries the tail; with the tail stripped each succeeds at once";
        add(s);
    }
    {
        Scenario s;
        s.id = "D1";
        s.description = "flipped byte inside block 5: Package1.DAT[1000] ^= 0xFF";
        s.steps = {kD1};
        s.check = Check(3, {}, 1);
        s.repair = Repair(4, 4, 4);
        s.end.checkTouched = true;
        s.end.touched = {"pakV3/Package1.DAT"};
        s.requests = {Req(kRep, "bytes=860-955"), Req(kU2, "bytes=100-70099")};
        add(s);
    }
    {
        Scenario s;
        s.id = "D1b";
        s.description = "flip Package1.DAT[2], inside the first four bytes of block 5";
        s.steps = {Client(DamageOp::XorByte, "pakV3/Package1.DAT", 2, 0xFF)};
        s.check = Check(3, {}, 0);
        s.repair = NoRepair();
        s.end.differing = {"pakV3/Package1.DAT"};
        s.notes = "the block checksum ignores the first four bytes: a documented limit; only byte 2 differs";
        add(s);
    }
    {
        Scenario s;
        s.id = "D2";
        s.description = "Package1.DAT cut to 50000 bytes";
        s.steps = {Client(DamageOp::Truncate, "pakV3/Package1.DAT", 0, 50000)};
        s.check = Check(3, {}, 4);
        s.repair = Repair(4);
        s.requests = {Req(kU1, "bytes=1213-1217"), Req(kU2, "bytes=100-70099")};
        s.notes = "broken: blocks 5 and 6, regions 3 and 4; after the check Package1.DAT is 262144 bytes, zeros from 50000";
        add(s);
    }
    {
        Scenario s;
        s.id = "D2b";
        s.description = "Package1.DAT one byte too long";
        s.steps = {Client(DamageOp::Extend, "pakV3/Package1.DAT", 0, 1)};
        s.check = Check(3, {}, 0);
        s.repair = NoRepair();
        s.notes = "the file is cut back to its size during the check";
        add(s);
    }
    {
        Scenario s;
        s.id = "D3";
        s.description = "Package2.DAT missing";
        s.steps = {Client(DamageOp::Delete, "pakV3/Package2.DAT")};
        s.check = Check(3, {}, 3);
        s.repair = Repair(4);
        s.requests = {Req(kU2, "bytes=70100-72147")};
        s.notes = "broken: block 7, regions 5 and 6";
        add(s);
    }
    {
        Scenario s;
        s.id = "D4";
        s.description = "broken empty region: Package2.DAT[100] = 0x00 (region 5)";
        s.steps = {kD4};
        s.check = Check(3, {}, 1);
        s.repair = Repair(4);
        s.end.checkTouched = true;
        s.end.touched = {"pakV3/Package2.DAT"};
        s.forbidden = {Req(kRep, "bytes=860-955"), Req(kUpdateFiles, "")};
        add(s);
    }
    {
        Scenario s;
        s.id = "D5";
        s.description = "ordinary file lib\\core.dll missing";
        s.steps = {kD5};
        s.check = Check(3, {"lib\\core.dll"}, 0);
        s.repair = Repair(4);
        s.requests = {Req(kInfo, "bytes=2290-2322"), Req(kInfo, "bytes=2347-2350"),
                      Req("/qelrepair/zhcn_v3/bin/zhcn/lib/core.dll", "", true)};
        s.notes = "the good copy comes in two 64 KiB pieces";
        add(s);
    }
    {
        Scenario s;
        s.id = "D5b";
        s.description = "ordinary files 0, 2, 3, 6 and 7 missing";
        s.steps = {Client(DamageOp::Delete, "bin/zhcn/3RDPARTY/upper.dll"), Client(DamageOp::Delete, "bin/zhcn/QelClient.exe"),
                   Client(DamageOp::Delete, "bin/zhcn/config/client.ini"), Client(DamageOp::Delete, "bin/zhcn/lib/core.dll"),
                   Client(DamageOp::Delete, "bin/zhcn/lib/render.dll")};
        s.check = Check(3, {"3RDPARTY\\upper.dll", "QelClient.exe", "config\\client.ini", "lib\\core.dll", "lib\\render.dll"}, 0);
        s.repair = Repair(4);
        s.requests = {Req(kInfo, "bytes=2323-2722")};
        s.notes = "a corrupt share of 0.05 fetches the whole repair table once";
        add(s);
    }
    {
        Scenario s;
        s.id = "D5c";
        s.description = "ordinary files 0, 2, 3 and 6 missing";
        s.steps = {Client(DamageOp::Delete, "bin/zhcn/3RDPARTY/upper.dll"), Client(DamageOp::Delete, "bin/zhcn/QelClient.exe"),
                   Client(DamageOp::Delete, "bin/zhcn/config/client.ini"), Client(DamageOp::Delete, "bin/zhcn/lib/core.dll")};
        s.check = Check(3, {"3RDPARTY\\upper.dll", "QelClient.exe", "config\\client.ini", "lib\\core.dll"}, 0);
        s.repair = Repair(4);
        s.requests = {Req(kInfo, "bytes=2323-2326"), Req(kInfo, "bytes=2331-2338"), Req(kInfo, "bytes=2347-2350")};
        s.notes = "files 2 and 3 touch and are joined";
        add(s);
    }
    {
        Scenario s;
        s.id = "D6";
        s.description = "wrong CRC: config\\client.ini[10] ^= 0x01";
        s.steps = {kD6};
        s.check = Check(3, {"config\\client.ini"}, 0);
        s.repair = Repair(4);
        s.requests = {Req("/qelrepair/zhcn_v3/patch/1.0.1/config/client.ini", "", true)};
        add(s);
    }
    {
        Scenario s;
        s.id = "D6b";
        s.description = "D6, and byte 20 of the server copy flipped";
        s.steps = {kD6, Server(DamageOp::XorByte, "qelrepair/zhcn_v3/patch/1.0.1/config/client.ini", 20, 0xFF)};
        s.check = Check(3, {"config\\client.ini"}, 0);
        s.repair = Repair(4, -1, -1, {"config\\client.ini"});
        s.end.differing = {"bin/zhcn/config/client.ini"};
        s.notes = "the client file keeps D6's damage; the summary would read total 1, failed 1";
        add(s);
    }
    {
        Scenario s;
        s.id = "D6c";
        s.description = "D6, and the server copy deleted";
        s.steps = {kD6, Server(DamageOp::Delete, "qelrepair/zhcn_v3/patch/1.0.1/config/client.ini")};
        s.check = Check(3, {"config\\client.ini"}, 0);
        s.repair = Repair(4, -1, -1, {"config\\client.ini"});
        s.end.differing = {"bin/zhcn/config/client.ini"};
        s.requests = {Req("/qelrepair/zhcn_v3/patch/1.0.1/config/client.ini", "", true),
                      Req("/qelrepair/zhcn_v3/patch/1.0.1/config/client.ini", "", false)};
        s.notes = "two sessions, the tailed URL then the plain one, both answered 404";
        add(s);
    }
    {
        Scenario s;
        s.id = "D7";
        s.description = "file in use: lib/render.dll replaced by a folder holding x.txt";
        s.steps = {Client(DamageOp::ReplaceByFolder, "bin/zhcn/lib/render.dll", 0, 0, "x.txt")};
        s.check = Check(3, {"lib\\render.dll"}, 0);
        s.repair = Repair(10, 8, -1, {"lib\\render.dll"});
        s.end.differing = {"bin/zhcn/lib/render.dll", "bin/zhcn/lib/render.dll/x.txt"};
        s.logLines = {"Failed to move file `<temp>lib\\render.dll` to `<bin>lib\\render.dll`, Error code : 21."};
        s.notes = "the folder is left as it was; at least 1.5 s of move retries; the coordinator's list stays empty";
        add(s);
    }
    {
        Scenario s;
        s.id = "D8";
        s.description = "Package.CFG[30] changed";
        s.steps = {kD8};
        s.check = Check(3, {}, 1);
        s.repair = Repair(4);
        s.forbidden = {Req(kUpdateFiles, "")};
        add(s);
        Scenario s205 = s;
        s205.id = "D8-205";
        s205.description = "Package.CFG 205 bytes";
        s205.steps = {Client(DamageOp::Extend, "pakV3/Package.CFG", 0, 1)};
        add(s205);
        Scenario s100 = s;
        s100.id = "D8-100";
        s100.description = "Package.CFG 100 bytes";
        s100.steps = {Client(DamageOp::Truncate, "pakV3/Package.CFG", 0, 100)};
        add(s100);
        Scenario sMissing = s;
        sMissing.id = "D8-missing";
        sMissing.description = "Package.CFG missing";
        sMissing.steps = {Client(DamageOp::Delete, "pakV3/Package.CFG")};
        add(sMissing);
    }
    {
        Scenario s;
        s.id = "D9";
        s.description = "folder file Dir1.idx[5] changed";
        s.steps = {kD9};
        s.check = Check(3, {}, 1);
        s.repair = Repair(4);
        s.requests = {Req(dirFiles + "Dir1.idx", "", true)};
        add(s);
        Scenario m = s;
        m.id = "D9-missing";
        m.description = "folder file Dir0.idx missing";
        m.steps = {Client(DamageOp::Delete, "pakV3/Dir0.idx")};
        m.requests = {Req(dirFiles + "Dir0.idx", "", true)};
        add(m);
    }
    {
        Scenario s;
        s.id = "D9b";
        s.description = "folder file Dir0.idx emptied";
        s.steps = {Client(DamageOp::Empty, "pakV3/Dir0.idx")};
        s.check = Check(3, {}, 1);
        s.repair = Repair(4);
        s.notes = "an empty file has CRC 0 and is simply corrupt (the checksum of an empty file does not fail)";
        add(s);
    }
    {
        Scenario s;
        s.id = "D10a";
        s.description = "server: qel_repair.info removed";
        s.steps = {Server(DamageOp::Delete, kServerInfo)};
        s.check = Check(7, {}, 0, 7);
        s.repair = NoRepair();
        add(s);
    }
    {
        Scenario s;
        s.id = "D10b";
        s.description = "server: qel_repair.info[30] flipped, CRC not recomputed";
        s.steps = {Server(DamageOp::XorByte, kServerInfo, 30, 0xFF)};
        s.check = Check(8, {}, 0, 5);
        s.repair = NoRepair();
        add(s);
    }
    {
        Scenario s;
        s.id = "D10c";
        s.description = "server: Repair.REP removed";
        s.steps = {Server(DamageOp::Delete, kServerRep)};
        s.check = Check(7, {}, 0, -1, 7);
        s.repair = NoRepair();
        add(s);
    }
    {
        Scenario s;
        s.id = "D10d";
        s.description = "server: a block-table byte flipped, header CRC intact";
        DamageStep d = Server(DamageOp::XorTableByte, kServerRep, 0, 0xFF);
        d.table = RepairTable::Blocks;
        s.steps = {d};
        s.check = Check(9, {}, 0, -1, 5);
        s.repair = NoRepair();
        add(s);
    }
    {
        Scenario s;
        s.id = "D10e";
        s.description = "D1, and UpdateFiles/1-2.UPDATE removed";
        s.steps = {kD1, Server(DamageOp::Delete, "qelrepair/zhcn_v3/PakV3Repair/UpdateFiles/1-2.UPDATE")};
        s.check = Check(3, {}, 1);
        s.repair = Repair(7, -1, 7);
        s.end.differing = {"pakV3/Package1.DAT"};
        s.requests = {Req(kU2, "bytes=100-70099", true), Req(kU2, "bytes=100-70099", false, 4)};
        s.notes = "five 404s, only the first with the tail; Package1.DAT as D1 left it";
        add(s);
    }
    {
        Scenario s;
        s.id = "D10f";
        s.description = "D1, and byte 5000 of 1-2.UPDATE flipped (inside block 5's copy)";
        s.steps = {kD1, Server(DamageOp::XorByte, "qelrepair/zhcn_v3/PakV3Repair/UpdateFiles/1-2.UPDATE", 5000, 0xFF)};
        s.check = Check(3, {}, 1);
        s.repair = Repair(9, -1, 5);
        s.end.differing = {"pakV3/Package1.DAT"};
        s.notes = "a downloaded block is checked before it is written: Package1.DAT stays exactly as D1 left it";
        add(s);
    }
    {
        Scenario s;
        s.id = "D11";
        s.description = "the whole pakV3 folder deleted";
        s.steps = {kD11};
        s.check = Check(3, {}, 18);
        s.repair = Repair(4);
        s.requests = Concat({Req(dirFiles + "Dir0.idx", "", true), Req(dirFiles + "Dir1.idx", "", true)}, AllBlockRequests());
        s.notes = "18 elements: the configuration, 2 folder files, 8 blocks, 7 regions";
        add(s);
    }
    {
        Scenario s;
        s.id = "D-ALL";
        s.description = "D5 + D6 + D1 + D4 + D8 + D9";
        s.steps = {kD5, kD6, kD1, kD4, kD8, kD9};
        s.check = Check(3, {"config\\client.ini", "lib\\core.dll"}, 4);
        s.repair = Repair(4);
        s.notes = "the summary would read total 6, repaired 6, failed 0";
        add(s);
    }
    {
        Scenario s;
        s.id = "D-IGN";
        s.description = "damage to ignored files only";
        s.steps = {Client(DamageOp::Delete, "bin/zhcn/data/ui.ini"), Client(DamageOp::XorByte, "bin/zhcn/3rdParty/lower.dll", 0, 0xFF),
                   Client(DamageOp::XorByte, "bin/zhcn/database.dll", 0, 0xFF)};
        s.check = Check(3, {}, 0);
        s.repair = NoRepair();
        s.end.differing = {"bin/zhcn/3rdParty/lower.dll", "bin/zhcn/data/ui.ini", "bin/zhcn/database.dll"};
        s.notes = "ignored by design: the three damages stay";
        add(s);
    }
    {
        Scenario s;
        s.id = "D-STOP-C";
        s.description = "the block-table range delayed 3 s; Stop after 0.5 s of the check";
        s.delays = {{"/PakV3Repair/Repair.REP", "bytes=588-747", 3000}};
        s.stopPhase = StopPhase::Check;
        s.stopAfterMs = 500;
        s.check = Check(6, {}, 0, 6, 6);
        s.repair = NoRepair();
        s.notes = "no thread of the engine is left afterwards";
        add(s);
    }
    {
        Scenario s;
        s.id = "D-STOP-R";
        s.description = "D11 with source 2 delayed 5 s; Stop during the repair";
        s.steps = {kD11};
        s.delays = {{"/PakV3Repair/UpdateFiles/1-2.UPDATE", "", 5000}};
        s.stopPhase = StopPhase::Repair;
        s.stopAfterMs = 500;
        s.check = Check(3, {}, 18);
        s.repair = Repair(6);
        s.end.differing = {"*"};
        s.end.tempHoldsNoFile = false;
        s.notes = "data files partly written (allowed); Stop returns once both package threads have ended";
        add(s);
    }
    {
        Scenario s;
        s.id = "D-DEV";
        s.description = "a development client: [DevVersionInfo] IsDevVersion=1 in bin/zhcn/gameupdater.ini";
        s.alsoDev = true;
        s.steps = {Client(DamageOp::WriteFile, "bin/zhcn/gameupdater.ini", 0, 0, "[DevVersionInfo]\r\nIsDevVersion=1\r\n")};
        s.check = Check(3, {}, 0);
        s.repair = NoRepair();
        s.end.differing = {"bin/zhcn/gameupdater.ini"};
        s.requests = {Req("/dev/zhcn/qelrepair/Repair.REP", "bytes=0-323", true)};
        s.notes = "the raw Repair.REP request target is /dev/zhcn/qelrepair//Repair.REP";
        add(s);
    }
    return v;
}

}  // namespace

std::vector<ExpectedRequest> CheckRequestsF1() {
    return {Req(kInfo, "bytes=0-75", true),    Req(kInfo, "bytes=76-2289", true), Req(kRep, "bytes=0-323", true),
            Req(kRep, "bytes=324-587", true), Req(kRep, "bytes=588-747", true),  Req(kRep, "bytes=748-859", true)};
}

std::vector<Scenario> DamageScenarios() {
    static const std::vector<Scenario> kAll = Build();
    return kAll;
}

const Scenario* FindScenario(const std::string& id) {
    static const std::vector<Scenario> kAll = Build();
    for (const Scenario& s : kAll)
        if (s.id == id) return &s;
    return nullptr;
}

bool ApplyDamageStep(const DamageStep& step, const std::string& clientRoot, const std::string& docroot,
                     std::string* pErr) {
    const std::string path = (step.side == DamageSide::Client ? clientRoot : docroot) + "/" + step.path;
    switch (step.op) {
        case DamageOp::XorByte: return FlipByte(path, step.offset, (uint8_t)step.value, pErr);
        case DamageOp::SetByte: return SetByteAt(path, step.offset, (uint8_t)step.value, pErr);
        case DamageOp::Truncate: return TruncateFile(path, step.value, pErr);
        case DamageOp::Extend: return ExtendFile(path, step.value, 0, pErr);
        case DamageOp::Delete: return DeletePath(path, pErr);
        case DamageOp::ReplaceByFolder: return ReplaceByFolder(path, step.text.empty() ? "x.txt" : step.text, pErr);
        case DamageOp::Empty: return EmptyFile(path, pErr);
        case DamageOp::WriteFile: return WriteBytes(path, step.text, pErr);
        case DamageOp::XorTableByte: {
            RepairFileEditor editor;
            RepairFileKind kind = (step.table == RepairTable::FileCheck || step.table == RepairTable::Dir ||
                                   step.table == RepairTable::FileRepair)
                                      ? RepairFileKind::Info
                                      : RepairFileKind::Rep;
            if (!editor.Load(path, kind, pErr)) return false;
            if (step.offset >= editor.TableSize(step.table)) {
                if (pErr) *pErr = "offset outside the table";
                return false;
            }
            editor.XorTableByte(step.table, step.offset, (uint8_t)step.value);
            return editor.Save(path, pErr);
        }
    }
    return false;
}

bool ApplyDamage(const Scenario& scenario, const std::string& clientRoot, const std::string& docroot,
                 std::string* pErr) {
    for (const DamageStep& step : scenario.steps)
        if (!ApplyDamageStep(step, clientRoot, docroot, pErr)) return false;
    return true;
}

}  // namespace qn::kit
