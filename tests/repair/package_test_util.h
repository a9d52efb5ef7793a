// Shared pieces of the package repairer's tests: a reference fixture with a damaged working
// copy served over one transport, the repairer made for its package folder, both phases run
// through the kit's harness, and the request checks (merged ranges, no sound block fetched,
// none twice).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <condition_variable>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DamageScenarios.h"
#include "EngineHarness.h"
#include "IQN_PackageRepair.h"
#include "ReferenceFixtures.h"
#include "ServedTree.h"
#include "QN_LogStream.h"
#include "TreeTools.h"
#include "qn_failure_lines.h"
#include "qn_log_capture.h"
#include "qn_string.h"
#include "qn_test_env.h"
#include "repair_test_hooks.h"

namespace pkgtest {

using namespace qn::kit;

// A damage scenario made of the given steps.
inline Scenario DamageOf(std::vector<DamageStep> steps) {
    Scenario s;
    s.id = "row";
    s.steps = std::move(steps);
    return s;
}

inline bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

struct Interval {
    uint64_t first = 0, last = 0;
};

inline bool ParseRange(const std::string& range, Interval* pRet) {
    if (range.rfind("bytes=", 0) != 0) return false;
    const size_t dash = range.find('-');
    if (dash == std::string::npos) return false;
    pRet->first = std::stoull(range.substr(6, dash - 6));
    pRet->last = std::stoull(range.substr(dash + 1));
    return true;
}

// The text log of one test with the repairer's wide lines in it: a capture plus the adapter
// registered as the wide stream.
class WideLogCapture {
public:
    WideLogCapture() {
        QN_PlatformLogAdapter* pAdapter = new QN_PlatformLogAdapter;
        gs_hLogStream = QN_RegisterLogStream(pAdapter);
        pAdapter->Release();
    }
    ~WideLogCapture() { QN_UnregisterLogStream(); }
    bool Contains(const std::string& text) const {
        for (const std::string& m : m_log.Messages())
            if (m.find(text) != std::string::npos) return true;
        return false;
    }
    size_t Count(const std::string& text) const {
        size_t n = 0;
        for (const std::string& m : m_log.Messages()) n += m.find(text) != std::string::npos;
        return n;
    }
    // The failure-check lines ("QNLOG_..."), in order, without their line ends and with their
    // line numbers written "N".
    std::vector<std::string> FailureLines() const {
        std::vector<std::string> out;
        for (std::string m : qn::test::WithoutLineNumbers(m_log.Messages())) {
            while (!m.empty() && (m.back() == '\n' || m.back() == '\r')) m.pop_back();
            if (m.rfind("QNLOG_", 0) == 0) out.push_back(m);
        }
        return out;
    }

private:
    qn::test::LogCapture m_log;
};

// One run of the package repairer over a fixture copy.
class PackageRun {
public:
    PackageRun() : m_harness(m_tmp.path() + "/run") {}
    ~PackageRun() {
        if (m_pRepair) m_pRepair->Release();
        m_served.Stop();
    }

    // Builds the fixture, copies it, applies the damage steps and starts the transport. A
    // transport that cannot start (nginx missing) gives false with *pbSkip set.
    bool Prepare(FixtureId id, const GeneratorOptions& options, const Scenario& scenario, TransportKind kind,
                 bool* pbSkip, std::string* pErr) {
        *pbSkip = false;
        if (!BuildFixture(id, m_tmp.path() + "/fx", options, &m_fx, pErr)) return false;
        if (!m_harness.Prepare(m_fx, &scenario, pErr)) return false;
        if (!m_served.Start(kind, m_harness.docroot(), pErr)) {
            *pbSkip = kind == TransportKind::Nginx;
            return false;
        }
        for (const ServerDelayRule& d : scenario.delays) {
            if (!m_served.AddDelay(d)) {
                *pbSkip = true;
                if (pErr) *pErr = "the transport cannot delay answers";
                return false;
            }
        }
        m_before = StampTree(m_harness.workRoot() + "/pakV3");
        return true;
    }
    bool Prepare(FixtureId id, SourceMode mode, const Scenario& scenario, TransportKind kind, bool* pbSkip,
                 std::string* pErr) {
        return Prepare(id, GeneratorOptionsOf(id, mode), scenario, kind, pbSkip, pErr);
    }

    std::string PackageDir() const { return m_harness.workRoot() + "/pakV3"; }
    // The package repair URL as the coordinator builds it: the prefix ends in '/' and the
    // package part adds "PakV3Repair/", so the repairer's own "/" doubles it.
    std::string Url() const { return m_served.UrlPrefix() + "PakV3Repair/"; }

    // strTempFolder: the run's temporary folder handed to the repairer ("" hands none).
    IQN_PackageRepair* Create(const std::string& strTempFolder = "") {
        const std::wstring dir = QN_Utf8ToWide(PackageDir());
        const std::wstring url = QN_Utf8ToWide(Url());
        const std::wstring temp = QN_Utf8ToWide(strTempFolder);
        if (FAILED(QN_CreatePackageV3Repair(dir.c_str(), url.c_str(), &m_pRepair, temp.empty() ? nullptr : temp.c_str())))
            m_pRepair = nullptr;
        return m_pRepair;
    }

    PhaseRun Check(uint32_t uStopAfterMs = 0) { return Phase(true, uStopAfterMs); }
    PhaseRun Repair(uint32_t uStopAfterMs = 0) { return Phase(false, uStopAfterMs); }

    // The broken blocks of the last check, as indices into the generated block list.
    std::set<uint32_t> BrokenBlocks() const {
        std::set<uint32_t> out;
        QNPK_BROKEN_ELEM_FILE_LIST list;
        if (!m_pRepair || !m_pRepair->GetBrokenElemFileList(&list)) return out;
        for (const QNPK_BROKEN_ELEM_FILE& b : list)
            for (const BlockRecord& r : m_fx.info.blocks)
                if (r.address == b.ullAddress && r.size == b.ullSize) out.insert(r.index);
        return out;
    }

    // Checks the block requests against the broken blocks: every answered range covers only
    // broken blocks (and gaps of at most 512 bytes between them), and, when bWhole, every
    // broken block lies in exactly one answered range.
    std::string CheckBlockRequests(const std::set<uint32_t>& broken, bool bWhole) const {
        std::string problems;
        std::map<uint32_t, int> covered;
        for (const ServedRequest& r : m_served.Requests()) {
            if (r.status != 206) continue;
            Interval iv;
            if (!ParseRange(r.range, &iv)) continue;
            bool sourceFile = false;
            for (const SourceRecord& s : m_fx.info.sources) sourceFile |= r.path == s.urlPath;
            if (!sourceFile) continue;
            uint64_t ullUsed = 0;
            uint64_t ullBlocks = 0;
            for (const BlockRecord& b : m_fx.info.blocks) {
                if (m_fx.info.sources.at(b.sourceId - 1).urlPath != r.path) continue;
                const uint64_t first = b.offsetInServerFile, last = b.offsetInServerFile + b.size - 1;
                if (last < iv.first || first > iv.last) continue;
                if (!broken.count(b.index)) problems += "sound block " + std::to_string(b.index) + " fetched in " + r.range + "\n";
                if (first < iv.first || last > iv.last) problems += "block " + std::to_string(b.index) + " cut by " + r.range + "\n";
                ++covered[b.index];
                ++ullBlocks;
                ullUsed += b.size;
            }
            const uint64_t ullLength = iv.last - iv.first + 1;
            if (ullLength < ullUsed || ullLength - ullUsed > 512 * ullBlocks)
                problems += "range " + r.range + " carries more than its blocks and small gaps\n";
        }
        if (bWhole) {
            for (uint32_t b : broken)
                if (covered[b] != 1)
                    problems += "block " + std::to_string(b) + " fetched " + std::to_string(covered[b]) + " times\n";
        }
        return problems;
    }

    // The expected requests appear in this order (path suffix, Range when given, the tail
    // when required, at least count times).
    std::string CheckRequestOrder(const std::vector<ExpectedRequest>& expected) const {
        const std::vector<ServedRequest> got = m_served.Requests();
        std::string problems;
        size_t uFrom = 0;
        for (const ExpectedRequest& e : expected) {
            uint32_t n = 0;
            size_t uFirst = got.size();
            for (size_t i = uFrom; i < got.size(); ++i) {
                const ServedRequest& r = got[i];
                if (!EndsWith(r.path, e.pathSuffix)) continue;
                if (!e.range.empty() && r.range != e.range) continue;
                if (e.tail && !r.tail) continue;
                if (n++ == 0) uFirst = i;
            }
            if (n < e.count) {
                problems += "missing " + e.pathSuffix + " " + e.range + "\n";
                continue;
            }
            uFrom = uFirst + 1;
        }
        return problems;
    }

    // Package files whose modification time changed since Prepare, relative to the client root.
    std::vector<std::string> Touched() const {
        std::map<std::string, int64_t> before;
        for (const FileStamp& s : m_before) before[s.path] = s.mtimeNs;
        std::vector<std::string> out;
        for (const FileStamp& s : StampTree(PackageDir())) {
            auto it = before.find(s.path);
            if (it == before.end() || it->second != s.mtimeNs) out.push_back("pakV3/" + s.path);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    IQN_PackageRepair* repair() const { return m_pRepair; }
    const BuiltFixture& fixture() const { return m_fx; }
    const EngineHarness& harness() const { return m_harness; }
    ServedTree& served() { return m_served; }

private:
    PhaseRun Phase(bool bCheck, uint32_t uStopAfterMs) {
        PhaseControl c;
        IQN_PackageRepair* p = m_pRepair;
        c.start = [p, bCheck] { return SUCCEEDED(bCheck ? p->StartCheck() : p->StartRepair()); };
        c.status = [p] { return p->GetStatusCode(); };
        c.runningStatus = bCheck ? QN_RPS_CHECKING : QN_RPS_REPAIRING;
        c.poll = std::chrono::milliseconds(20);
        c.deadline = std::chrono::milliseconds(120000);
        if (uStopAfterMs) {
            c.stop = [p] { p->Stop(); };
            c.stopAfter = std::chrono::milliseconds(uStopAfterMs);
        }
        return RunPhase(c);
    }

    qn::test::TempDir m_tmp;
    BuiltFixture m_fx;
    EngineHarness m_harness;
    ServedTree m_served;
    IQN_PackageRepair* m_pRepair = nullptr;
    std::vector<FileStamp> m_before;
};

// The paths of a scenario's damage steps that belong to the package.
inline bool IsPackageStep(const DamageStep& d) {
    return d.side == DamageSide::Client ? d.path.rfind("pakV3", 0) == 0 : d.path.find("/PakV3Repair/") != std::string::npos;
}

inline const char* TransportLabel(TransportKind k) {
    return k == TransportKind::Nginx ? "Nginx" : k == TransportKind::Loopback ? "Loopback" : "Fake";
}

// A gate in one step of the repairer: the step's thread waits there, once, until released.
struct Gate {
    std::string step;
    uint32_t index = 0;
    std::mutex m;
    std::condition_variable cv;
    bool reached = false, released = false, used = false;
};
inline std::atomic<Gate*> g_pGate{nullptr};
// Calls of the "queue-full" step since the test last set it to 0.
inline std::atomic<int> g_nQueueFullCalls{0};

inline void GateHook(const char* cszStep, uint32_t uIndex) {
    if (std::string(cszStep) == "queue-full") g_nQueueFullCalls.fetch_add(1);
    Gate* g = g_pGate.load();
    if (!g || g->step != cszStep || g->index != uIndex) return;
    std::unique_lock<std::mutex> lock(g->m);
    if (g->used) return;
    g->used = g->reached = true;
    g->cv.notify_all();
    g->cv.wait_for(lock, std::chrono::seconds(60), [g] { return g->released; });
}

class GateScope {
public:
    GateScope(const std::string& step, uint32_t index) {
        m_gate.step = step;
        m_gate.index = index;
        g_pGate = &m_gate;
        qn::testing::SetPackageRepairStepHook(&GateHook);
    }
    ~GateScope() {
        Release();
        qn::testing::SetPackageRepairStepHook(nullptr);
        g_pGate = nullptr;
    }
    bool WaitReached() {
        std::unique_lock<std::mutex> lock(m_gate.m);
        return m_gate.cv.wait_for(lock, std::chrono::seconds(60), [this] { return m_gate.reached; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_gate.m);
        m_gate.released = true;
        m_gate.cv.notify_all();
    }

private:
    Gate m_gate;
};

}  // namespace pkgtest
