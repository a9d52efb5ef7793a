// A generic harness for engine runs: copies the known-good client into a fresh working root,
// applies a scenario's damage, runs a phase given as callables (start, poll the status every
// 100 ms until it leaves its running value, with a deadline), and collects the log files. It
// knows nothing of the engine's classes, so the engine's tests plug their coordinator in.
//
// A scenario test puts the pieces together like this:
//   BuildFixture(FixtureId::F1, tmp, scenario.mode, &fx, &err);       // known-good client + tree
//   EngineHarness h(tmp + "/run");  h.Prepare(fx, &scenario, &err);   // damaged copies of both
//   ServedTree served;  served.Start(kind, h.docroot(), &err);         // Fake, Loopback or Nginx
//   for (const ServerDelayRule& d : scenario.delays) served.AddDelay(d);
//   coordinator Init with h.binPath(), h.repairTempPath(), served.UrlPrefix(), h.workRoot() + "/"
//   RunPhase({start check, read status, 1}), then RunPhase({start repair, read status, 2})
//   CheckEndState(scenario, fx.clientRoot, h.workRoot()), h.TempFiles(), served.Requests()
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DamageScenarios.h"
#include "ReferenceFixtures.h"

namespace qn::kit {

struct PhaseRun {
    bool started = false;   // the start callable returned true
    bool timedOut = false;  // the deadline passed with the status still running
    int status = -1;        // the last status read
    uint32_t polls = 0;
    std::chrono::milliseconds elapsed{0};
};

struct PhaseControl {
    std::function<bool()> start;        // starts the phase; false when it refused to start
    std::function<int()> status;        // reads the phase's status
    int runningStatus = 1;              // the value the status holds while the phase runs
    std::chrono::milliseconds poll{100};
    std::chrono::milliseconds deadline{60000};
    // Called once when stopAfter has passed since the start (a Stop request), when set.
    std::function<void()> stop;
    std::chrono::milliseconds stopAfter{0};
};

// Starts the phase and polls until the status leaves runningStatus or the deadline passes.
PhaseRun RunPhase(const PhaseControl& control);

class EngineHarness {
public:
    // base: the test's temporary folder. The working root is <base>/work, the temporary folder
    // <base>/temp, the log folder <base>/Logs (beside the working root).
    explicit EngineHarness(std::string base);

    // Copies the client and the server tree, then applies the damage of the scenario to the
    // copies. The server copy is what the test serves.
    bool Prepare(const BuiltFixture& fixture, const Scenario* pScenario, std::string* pErr);

    const std::string& workRoot() const { return m_workRoot; }
    const std::string& docroot() const { return m_docroot; }
    const std::string& tempDir() const { return m_tempDir; }
    const std::string& logDir() const { return m_logDir; }
    // "<work>/bin/zhcn/", the engine's client path.
    std::string binPath() const { return m_workRoot + "/bin/zhcn/"; }
    // "<temp>/QelRepairTemp/", the engine's temporary path.
    std::string repairTempPath() const { return m_tempDir + "/QelRepairTemp/"; }

    // Every line of every file in the log folder, in file-name order.
    std::vector<std::string> LogLines() const;
    // True when a log line contains text.
    bool LogContains(const std::string& text) const;
    // The regular files left below the temporary folder.
    std::vector<std::string> TempFiles() const;

private:
    std::string m_base, m_workRoot, m_docroot, m_tempDir, m_logDir;
};

// Checks the end state of a scenario against the known-good client: an empty result means it
// holds, else one line per mismatch.
std::string CheckEndState(const Scenario& scenario, const std::string& goodClient, const std::string& workRoot);

}  // namespace qn::kit
