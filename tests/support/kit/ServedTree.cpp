#include "ServedTree.h"

#include <chrono>
#include <thread>

#include "FakeTransport.h"
#include "KDownload.h"
#include "NginxServer.h"
#include "QN_HttpTransfer.h"
#include "loopback_http_server.h"
#include "qn_test_env.h"

namespace qn::kit {

namespace {

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

const char* TransportName(TransportKind kind) {
    switch (kind) {
        case TransportKind::Fake: return "Fake";
        case TransportKind::Loopback: return "Loopback";
        case TransportKind::Nginx: return "Nginx";
    }
    return "?";
}

std::string MapRequestPath(const std::string& target, bool* pbTail) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    std::string raw = target.substr(0, target.find('?')), out;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '%' && i + 2 < raw.size() && hex(raw[i + 1]) >= 0 && hex(raw[i + 2]) >= 0) {
            c = (char)(hex(raw[i + 1]) * 16 + hex(raw[i + 2]));
            i += 2;
        }
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    *pbTail = false;
    const std::string suffix = ".RefreshEveryTime";
    size_t slash = out.rfind('/');
    if (slash != std::string::npos && EndsWith(out, suffix) && out.size() > slash + 1 + suffix.size()) {
        std::string digits = out.substr(slash + 1, out.size() - suffix.size() - slash - 1);
        if (!digits.empty() && digits[0] == '-') digits.erase(0, 1);
        if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) {
            *pbTail = true;
            out.resize(slash);
        }
    }
    return out;
}

ServedTree::ServedTree() = default;

ServedTree::~ServedTree() { Stop(); }

bool ServedTree::Start(TransportKind kind, const std::string& docroot, std::string* pErr) {
    Stop();
    m_kind = kind;
    if (kind == TransportKind::Fake) {
        m_fake = std::make_unique<FakeTransport>(docroot, FakeTailMode::Strip);
        m_fake->Install();
        g_pfnKDownloadGetService.store(&FakeTransport::GetService);
        return true;
    }
    if (kind == TransportKind::Nginx) {
        m_nginx = std::make_unique<qn::test::NginxServer>();
        if (!m_nginx->Start(docroot, qn::test::NginxServer::TailMode::Strip, pErr)) {
            m_nginx.reset();
            return false;
        }
    } else {
        m_loopback = std::make_unique<qn::test::LoopbackHttpServer>();
        m_loopback->serveFolder("/", docroot, qn::test::LoopbackHttpServer::TailRule::Strip);
    }
    KDownloadSetReportEndpoint("");
    if (FAILED(KDownloadInit())) {
        if (pErr) *pErr = "the download library does not start";
        Stop();
        return false;
    }
    m_bLibrary = true;
    g_pfnKDownloadGetService.store(&KDownloadGetService);
    return true;
}

void ServedTree::Stop() {
    g_pfnKDownloadGetService.store(nullptr);
    if (m_bLibrary) {
        KDownloadUninit();
        m_bLibrary = false;
    }
    if (m_fake) {
        m_fake->Stop();
        m_fake.reset();
    }
    if (m_loopback) {
        m_loopback->stop();
        m_loopback.reset();
    }
    if (m_nginx) {
        m_nginx->Stop();
        m_nginx.reset();
    }
    m_loopbackSkip = 0;
}

std::string ServedTree::BaseUrl() const {
    uint16_t port = 8080;
    if (m_loopback) port = m_loopback->port();
    if (m_nginx) port = m_nginx->port();
    return "http://127.0.0.1:" + std::to_string(port);
}

bool ServedTree::AddDelay(const ServerDelayRule& rule) {
    if (m_fake) {
        FakeRule r;
        r.pathSuffix = rule.pathSuffix;
        r.range = rule.range;
        r.action = FakeRule::Delay;
        r.delayMs = rule.delayMs;
        m_fake->AddRule(r);
        return true;
    }
    if (m_loopback) {
        m_loopback->script(qn::test::LoopbackHttpServer::kAnyPath, qn::test::LoopbackHttpServer::kAnyIndex,
                           {[rule](qn::test::Plan& plan, const qn::test::RequestRecord& req) {
                               bool tail = false;
                               if (!EndsWith(MapRequestPath(req.path, &tail), rule.pathSuffix)) return;
                               if (!rule.range.empty() && req.header("Range") != rule.range) return;
                               plan.stallBeforeHeadersMs = (int)rule.delayMs;
                           }});
        return true;
    }
    return false;
}

std::vector<ServedRequest> ServedTree::Requests() const {
    std::vector<ServedRequest> out;
    if (m_fake) {
        for (const FakeRequest& f : m_fake->Requests()) {
            ServedRequest r;
            r.method = f.method;
            size_t slash = f.url.find('/', f.url.find("://") == std::string::npos ? 0 : f.url.find("://") + 3);
            r.target = slash == std::string::npos ? "/" : f.url.substr(slash);
            r.path = MapRequestPath(r.target, &r.tail);
            r.range = f.range;
            r.status = f.status;
            out.push_back(r);
        }
    } else if (m_loopback) {
        std::vector<qn::test::RequestRecord> all = m_loopback->requests();
        for (size_t i = m_loopbackSkip; i < all.size(); ++i) {
            ServedRequest r;
            r.method = all[i].method;
            r.target = all[i].target;
            r.path = MapRequestPath(r.target, &r.tail);
            r.range = all[i].header("Range");
            r.status = all[i].status;
            out.push_back(r);
        }
    } else if (m_nginx) {
        for (const qn::test::NginxServer::Request& n : m_nginx->Requests()) {
            ServedRequest r;
            r.method = n.method;
            r.target = n.target;
            r.path = MapRequestPath(r.target, &r.tail);
            r.range = n.range;
            r.status = n.status;
            out.push_back(r);
        }
    }
    return out;
}

std::vector<std::string> ServedTree::RangesFor(const std::string& suffix) const {
    std::vector<std::string> out;
    for (const ServedRequest& r : Requests())
        if (EndsWith(r.path, suffix)) out.push_back(r.range);
    return out;
}

size_t ServedTree::CountFor(const std::string& suffix) const { return RangesFor(suffix).size(); }

bool ServedTree::WaitForRequests(size_t n, int timeoutMs) const {
    return qn::test::WaitUntil([&] { return Requests().size() >= n; }, (uint32_t)timeoutMs, 5);
}

void ServedTree::ClearRequests() {
    if (m_fake) m_fake->ClearRequests();
    if (m_loopback) m_loopbackSkip = m_loopback->requests().size();
    if (m_nginx) m_nginx->ClearRequests();
}

}  // namespace qn::kit
