// A generated server tree served to the repair engine over one of three transports: the
// in-process stand-in of the download library, or the real library against the loopback test
// server or nginx. Start points the engine's library entry at the transport; the request log
// is the same shape for all three, so one scenario table can be asserted over each.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DamageScenarios.h"

namespace qn::test {
class LoopbackHttpServer;
class NginxServer;
}  // namespace qn::test

namespace qn::kit {

class FakeTransport;

enum class TransportKind { Fake, Loopback, Nginx };
const char* TransportName(TransportKind kind);

struct ServedRequest {
    std::string method;
    std::string target;  // as sent (for the stand-in: the URL's path part)
    std::string path;    // decoded, '/' runs merged, without the cache-defeating tail
    bool tail = false;   // the target carried the tail
    std::string range;   // "" when none
    int status = 0;
};

class ServedTree {
public:
    ServedTree();
    ~ServedTree();
    ServedTree(const ServedTree&) = delete;
    ServedTree& operator=(const ServedTree&) = delete;

    // Serves docroot (the tail stripped, as a caching front end does) and sets
    // g_pfnKDownloadGetService. With the real library, download reports go nowhere. False with
    // the reason when the transport cannot start (nginx missing: the test should skip).
    bool Start(TransportKind kind, const std::string& docroot, std::string* pErr);
    // Stops the library and the server and clears the entry; idempotent.
    void Stop();

    TransportKind kind() const { return m_kind; }
    // "http://127.0.0.1:<port>" (the stand-in answers any host and port).
    std::string BaseUrl() const;
    // The engine's URL prefix of the edition: BaseUrl() + "/qelrepair/zhcn_v3/".
    std::string UrlPrefix() const { return BaseUrl() + "/qelrepair/zhcn_v3/"; }

    // Delays the answers to matching requests (stand-in and loopback server; nginx cannot).
    bool AddDelay(const ServerDelayRule& rule);

    // Requests that have ended, in order.
    std::vector<ServedRequest> Requests() const;
    // Range values of the requests whose path ends with suffix.
    std::vector<std::string> RangesFor(const std::string& suffix) const;
    size_t CountFor(const std::string& suffix) const;
    // Waits (bounded) until at least n requests are logged; nginx logs a request after its end.
    bool WaitForRequests(size_t n, int timeoutMs) const;
    void ClearRequests();

    FakeTransport* fake() const { return m_fake.get(); }
    qn::test::LoopbackHttpServer* loopback() const { return m_loopback.get(); }
    qn::test::NginxServer* nginx() const { return m_nginx.get(); }

private:
    TransportKind m_kind = TransportKind::Fake;
    std::unique_ptr<FakeTransport> m_fake;
    std::unique_ptr<qn::test::LoopbackHttpServer> m_loopback;
    std::unique_ptr<qn::test::NginxServer> m_nginx;
    bool m_bLibrary = false;
    size_t m_loopbackSkip = 0;
};

// The decoded path of a request target, '/' runs merged, and whether it ended in the tail
// (which is then cut off).
std::string MapRequestPath(const std::string& target, bool* pbTail);

}  // namespace qn::kit
