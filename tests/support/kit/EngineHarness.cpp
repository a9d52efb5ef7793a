#include "EngineHarness.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "TreeTools.h"
#include "qn_test_env.h"

namespace qn::kit {

namespace fs = std::filesystem;

PhaseRun RunPhase(const PhaseControl& c) {
    PhaseRun run;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point t0 = Clock::now();
    if (!c.start || !c.status) return run;
    run.started = c.start();
    if (!run.started) return run;
    // One look at the status; true once the phase has left its running value.
    auto ended = [&] {
        run.status = c.status();
        ++run.polls;
        run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
        return run.status != c.runningStatus;
    };
    bool stopped = false;
    run.timedOut = !qn::test::WaitUntil(
        [&] {
            if (ended()) return true;
            if (!c.stop || stopped || run.elapsed < c.stopAfter) return false;
            stopped = true;
            c.stop();
            return ended();  // the stop may end the phase at once
        },
        (uint32_t)c.deadline.count(), (uint32_t)c.poll.count());
    return run;
}

EngineHarness::EngineHarness(std::string base)
    : m_base(std::move(base)),
      m_workRoot(m_base + "/work"),
      m_docroot(m_base + "/www"),
      m_tempDir(m_base + "/temp"),
      m_logDir(m_base + "/Logs") {}

bool EngineHarness::Prepare(const BuiltFixture& fixture, const Scenario* pScenario, std::string* pErr) {
    if (!CopyTree(fixture.clientRoot, m_workRoot, pErr)) return false;
    if (!CopyTree(fixture.docroot, m_docroot, pErr)) return false;
    if (!MakeDirs(m_tempDir, pErr) || !MakeDirs(m_logDir, pErr)) return false;
    if (pScenario && !ApplyDamage(*pScenario, m_workRoot, m_docroot, pErr)) return false;
    return true;
}

std::vector<std::string> EngineHarness::LogLines() const {
    std::vector<std::string> files, lines;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(m_logDir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (fs::is_regular_file(it->symlink_status())) files.push_back(it->path().string());
    std::sort(files.begin(), files.end());
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
    }
    return lines;
}

bool EngineHarness::LogContains(const std::string& text) const {
    for (const std::string& l : LogLines())
        if (l.find(text) != std::string::npos) return true;
    return false;
}

std::vector<std::string> EngineHarness::TempFiles() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(m_tempDir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (fs::is_regular_file(it->symlink_status())) out.push_back(fs::relative(it->path(), m_tempDir).generic_string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string CheckEndState(const Scenario& scenario, const std::string& goodClient, const std::string& workRoot) {
    if (scenario.end.differing.size() == 1 && scenario.end.differing[0] == "*") return std::string();
    TreeDiff diff = CompareTrees(goodClient, workRoot);
    std::vector<std::string> got = diff.Paths();
    std::vector<std::string> want = scenario.end.differing;
    std::sort(want.begin(), want.end());
    if (got == want) return std::string();
    std::ostringstream o;
    o << "scenario " << scenario.id << ": expected these paths to differ:";
    for (const std::string& p : want) o << " " << p;
    o << "\nbut found:\n" << diff.Describe();
    return o.str();
}

}  // namespace qn::kit
