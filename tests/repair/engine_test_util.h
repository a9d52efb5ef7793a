// Plumbing shared by the engine's scenario tests: a prepared run of a kit scenario (fixture,
// damaged copies, the served tree), server rules for all transports, and the request-log
// matching of the scenario table.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DamageScenarios.h"
#include "EngineHarness.h"
#include "FakeTransport.h"
#include "ReferenceFixtures.h"
#include "ServedTree.h"
#include "loopback_http_server.h"
#include "qn_test_env.h"

namespace qn::enginetest {

using namespace qn::kit;

inline bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

inline bool Matches(const ServedRequest& r, const ExpectedRequest& e) {
    if (!EndsWith(r.path, e.pathSuffix)) return false;
    if (!e.range.empty() && r.range != e.range) return false;
    // A whole-file download is any request of its session; the tail tells the session. A
    // ranged entry that asks for the tail needs it; one that does not accepts either (each
    // first attempt of a range carries it).
    if (e.range.empty()) return r.tail == e.tail;
    return r.tail || !e.tail;
}

// Checks that the expected requests were sent in this order (others may come between them);
// a ranged entry with count n needs n such requests. "" when they were, else the reason.
inline std::string MatchInOrder(const std::vector<ServedRequest>& got, const std::vector<ExpectedRequest>& want) {
    size_t pos = 0;
    for (const ExpectedRequest& e : want) {
        for (uint32_t k = 0; k < e.count; ++k) {
            while (pos < got.size() && !Matches(got[pos], e)) ++pos;
            if (pos == got.size())
                return "missing request " + e.pathSuffix + " [" + e.range + "]" + (e.tail ? " with the tail" : "") +
                       " #" + std::to_string(k + 1);
            ++pos;
        }
    }
    return "";
}

// As MatchInOrder, with the order kept only among requests for the same path: the two
// repairers run side by side, so their requests interleave.
inline std::string MatchInOrderPerPath(const std::vector<ServedRequest>& got, const std::vector<ExpectedRequest>& want) {
    std::vector<std::string> paths;
    for (const ExpectedRequest& e : want)
        if (std::find(paths.begin(), paths.end(), e.pathSuffix) == paths.end()) paths.push_back(e.pathSuffix);
    for (const std::string& p : paths) {
        std::vector<ExpectedRequest> group;
        for (const ExpectedRequest& e : want)
            if (e.pathSuffix == p) group.push_back(e);
        std::string why = MatchInOrder(got, group);
        if (!why.empty()) return why;
    }
    return "";
}

inline std::string Forbidden(const std::vector<ServedRequest>& got, const std::vector<ExpectedRequest>& forbidden) {
    for (const ServedRequest& r : got)
        for (const ExpectedRequest& f : forbidden)
            if (EndsWith(r.path, f.pathSuffix) && (f.range.empty() || r.range == f.range))
                return "forbidden request " + r.target + " [" + r.range + "]";
    return "";
}

inline std::string Describe(const std::vector<ServedRequest>& got) {
    std::string s;
    for (const ServedRequest& r : got)
        s += r.method + " " + r.target + " [" + r.range + "] " + std::to_string(r.status) + "\n";
    return s;
}

// Answers requests whose decoded path ends with suffix (and whose Range is range, when given)
// with a status, on the stand-in or the loopback server. False on nginx.
inline bool AddStatusRule(ServedTree& served, const std::string& suffix, const std::string& range, int status) {
    if (served.fake()) {
        FakeRule r;
        r.pathSuffix = suffix;
        r.range = range;
        r.action = FakeRule::Status;
        r.status = status;
        served.fake()->AddRule(r);
        return true;
    }
    if (served.loopback()) {
        served.loopback()->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                                  {[=](qn::test::Plan& plan, const qn::test::RequestRecord& req) {
                                      bool tail = false;
                                      if (!EndsWith(MapRequestPath(req.path, &tail), suffix)) return;
                                      if (!range.empty() && req.header("Range") != range) return;
                                      qn::test::http_step::Status(status)(plan, req);
                                  }});
        return true;
    }
    return false;
}

// Replaces <temp> and <bin> in a scenario's log text with the run's folders.
inline std::string FillFolders(std::string text, const EngineHarness& h) {
    auto put = [&](const std::string& key, const std::string& value) {
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    };
    put("<temp>", h.repairTempPath());
    put("<bin>", h.binPath());
    return text;
}

// One prepared run: the fixture built, copies damaged by a scenario (or none), the tree served.
class PreparedRun {
public:
    PreparedRun() : m_harness(m_tmp.path() + "/run") {}

    // False with a reason; *pbSkip when the transport cannot run here (nginx missing).
    bool Prepare(TransportKind kind, const Scenario* pScenario, std::string* pErr, bool* pbSkip,
                 FixtureId fixture = FixtureId::F1) {
        *pbSkip = false;
        SourceMode mode = pScenario ? pScenario->mode : SourceMode::UpdateFiles;
        GeneratorOptions opt = GeneratorOptionsOf(fixture, mode);
        opt.alsoDev = pScenario && pScenario->alsoDev;
        if (!BuildFixture(fixture, m_tmp.path() + "/fx", opt, &m_fx, pErr)) return false;
        if (!m_harness.Prepare(m_fx, pScenario, pErr)) return false;
        return Serve(kind, pErr, pbSkip);
    }
    bool Serve(TransportKind kind, std::string* pErr, bool* pbSkip) {
        if (!m_served.Start(kind, m_harness.docroot(), pErr)) {
            *pbSkip = kind == TransportKind::Nginx;
            return false;
        }
        return true;
    }
    // The requests, waiting a little for nginx, which logs a request after its end.
    std::vector<ServedRequest> Requests(const std::vector<ExpectedRequest>& want = {}) const {
        std::vector<ServedRequest> got;
        qn::test::WaitUntil(
            [&] {
                got = m_served.Requests();
                return m_served.kind() != TransportKind::Nginx || MatchInOrderPerPath(got, want).empty();
            },
            3000, 20);
        return got;
    }

    qn::test::TempDir m_tmp;
    BuiltFixture m_fx;
    EngineHarness m_harness;
    ServedTree m_served;
};

inline std::vector<TransportKind> AllTransports() {
    return {TransportKind::Fake, TransportKind::Loopback, TransportKind::Nginx};
}

// A test name for one kit scenario over one transport, e.g. "Loopback_D_IGN": letters and
// digits kept, anything else '_', so that each row can be run alone by its name.
inline std::string ScenarioTestName(TransportKind kind, const std::string& id) {
    std::string name = std::string(TransportName(kind)) + "_";
    for (char c : id) name.push_back(std::isalnum((unsigned char)c) ? c : '_');
    return name;
}

using qn::test::WaitUntil;

}  // namespace qn::enginetest
