// Benchmark driver for the download library (outside CI; built by run_bench.sh).
//
//   download_bench get URL DIR CONNECTIONS [SPEED_LIMIT|0] [CHECKSUM_FILE]
//       one session; prints "status=.. error=.. wall_s=.. bytes=.."
//   download_bench mkck FILE BLOCK_SIZE OUT
//       writes a checksum file (zero-padded MD5 per block) for FILE
//   download_bench md5rate FILE
//       prints the MD5 rate over FILE in bytes per second
//   download_bench serve SIZE RATE_PER_CONNECTION SECONDS
//       a loopback test server with a generated resource /f.bin, every response paced at
//       RATE bytes per second; prints "port=.." and serves for SECONDS
//   download_bench stallserve CASE SECONDS
//       a loopback test server whose first GET after each HEAD brings nothing: CASE "silent"
//       (3000 bytes, the GET unanswered for 6 s), "midpiece" (65 636 bytes, the GET stops 6 s
//       inside piece 1) or "unanswered" (3000 bytes, the GET never answered; run the client with
//       QN_BENCH_REQUEST_TIMEOUT_S=4). Later GETs are answered at once. Prints "port=..".
//   download_bench vserve KIND SIZE RATE_PER_CONNECTION SECONDS STATS_FILE
//       a loopback test server for the file-version cases, /f.bin paced at RATE (0: not paced);
//       prints "port=.." and rewrites STATS_FILE with "gets=.." after every GET. KIND:
//       farm-etag, farm-date, farm-same: two nodes, alternating per connection, with the same
//       bytes and an ETag (or Last-Modified) of their own (or the same), each answering
//       "If-Range" with the whole file when the validator named is not its own;
//       farm-etag-cut: farm-etag with every answer cut (FIN) after 12 MiB of body, as by a
//       proxy that drops long transfers;
//       replaced-cut: one server whose file is replaced once, the size kept: the HEAD query
//       and the first GET see version 1 (ETag "1f-a", date 1), every answer from the second
//       GET on is version 2 (ETag "2f-b", date 2, one byte of every 64 KiB piece flipped), and
//       "If-Range" naming anything but the current version gets the whole file; every answer
//       is cut (FIN) after 12 MiB of body;
//       longer-head: HEAD says SIZE + 1, every GET serves SIZE bytes
//   download_bench same FILE
//       prints "exact=1" when FILE holds the servers' generated resource byte for byte, else
//       "exact=0"
//   download_bench version FILE SIZE
//       for the replaced file of replaced-cut: prints "exact=1 version=1" or "exact=1
//       version=2" when FILE is SIZE bytes wholly of that version; else "exact=0 version=mix"
//       (every piece of one version or the other, both found) or "exact=0 version=none"
//       (bytes of neither, or another size), with the count of pieces of each version
//   download_bench relay UPSTREAM_PORT STATS_FILE SECONDS
//       a TCP relay on 127.0.0.1 to 127.0.0.1:UPSTREAM_PORT; prints "port=..". After every
//       connection it rewrites STATS_FILE with "wire=.. connections=..": the bytes from the
//       server that the clients' TCP acknowledged (read by the client or not), and the
//       connections made. It is the count of the wire, taken outside the client.
#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KDownload.h"
#include "QN_MD5.h"
#include "download_test_hooks.h"
#include "loopback_http_server.h"
#include "qn_string.h"

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int Get(int argc, char** argv) {
    if (argc < 5) return 2;
    const char* szUrl = argv[2];
    std::wstring wsDir = QN_Utf8ToWide(argv[3]);
    uint32_t uConnections = (uint32_t)std::atoi(argv[4]);
    uint32_t uLimit = argc > 5 ? (uint32_t)std::strtoul(argv[5], nullptr, 10) : 0;
    std::wstring wsCk = argc > 6 ? QN_Utf8ToWide(argv[6]) : std::wstring();
    KDownloadSetReportEndpoint("");
    // The inactivity limit of the piece requests, shortened for the stalled-server runs.
    if (const char* szTimeout = std::getenv("QN_BENCH_REQUEST_TIMEOUT_S"))
        qn::testing::SetPieceRequestTimeoutSeconds((uint32_t)std::atoi(szTimeout));
    if (KDownloadInit() != S_OK) return 3;
    IKDownloadService* pService = nullptr;
    KDownloadGetService(IID_IKDownloadService, (void**)&pService);
    IKDownloadSession* pSession = nullptr;
    double t0 = Now();
    if (pService->createSession(szUrl, wsCk.empty() ? nullptr : wsCk.c_str(), wsDir.c_str(), L"out.bin", &pSession) !=
        S_OK)
        return 4;
    uint8_t bNoResume = 1;
    pSession->setOption(KDS_OPT_NO_RESUME, &bNoResume, 1);
    pSession->setOption(KDS_OPT_CONNECTIONS, &uConnections, 4);
    if (uLimit) pSession->setOption(KDS_OPT_SPEED_LIMIT, &uLimit, 4);
    pSession->start();
    uint32_t uStatus = 0, uError = 0, uErrorExt = 0;
    uint64_t ullSize = 0, ullDone = 0;
    // The caller's poll period of the repair engine.
    while (uStatus < KDS_STATUS_SUCCEEDED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pSession->getProgress(&uStatus, &ullSize, &ullDone, nullptr, nullptr);
    }
    double t1 = Now();
    pSession->getError(&uError, &uErrorExt);
    pSession->Release();
    pService->Release();
    KDownloadUninit();
    std::printf("status=%u error=%u wall_s=%.3f bytes=%llu\n", uStatus, uError, t1 - t0, (unsigned long long)ullSize);
    return uStatus == KDS_STATUS_SUCCEEDED ? 0 : 1;
}

int MakeChecksum(int argc, char** argv) {
    if (argc < 5) return 2;
    std::ifstream in(argv[2], std::ios::binary);
    uint32_t uBlock = (uint32_t)std::atoi(argv[3]);
    in.seekg(0, std::ios::end);
    uint64_t ullSize = (uint64_t)in.tellg();
    in.seekg(0);
    std::string s(1024, '\0');
    std::memcpy(&s[0], "TbCk\x01", 5);
    for (int i = 0; i < 8; ++i) s[8 + i] = (char)(ullSize >> (8 * i));
    for (int i = 0; i < 4; ++i) s[16 + i] = (char)(uBlock >> (8 * i));
    s[20] = 1;
    s += std::string(16, '\0');
    std::vector<char> buf(uBlock);
    for (uint64_t off = 0; off < ullSize; off += uBlock) {
        std::fill(buf.begin(), buf.end(), 0);
        in.read(buf.data(), uBlock);
        QN_MD5_CTX ctx;
        uint8_t d[16];
        QN_MD5Init(&ctx);
        QN_MD5Update(&ctx, (const uint8_t*)buf.data(), (int)uBlock);
        QN_MD5Final(&ctx, d);
        s.append((const char*)d, 16);
    }
    std::ofstream(argv[4], std::ios::binary) << s;
    return 0;
}

int Md5Rate(int argc, char** argv) {
    if (argc < 3) return 2;
    std::ifstream in(argv[2], std::ios::binary);
    std::vector<char> buf(1 << 20);
    QN_MD5_CTX ctx;
    uint8_t d[16];
    QN_MD5Init(&ctx);
    uint64_t ullTotal = 0;
    double t0 = Now();
    while (in.read(buf.data(), (std::streamsize)buf.size()) || in.gcount() > 0) {
        QN_MD5Update(&ctx, (const uint8_t*)buf.data(), (int)in.gcount());
        ullTotal += (uint64_t)in.gcount();
    }
    QN_MD5Final(&ctx, d);
    std::printf("md5_bytes_per_s=%.0f\n", (double)ullTotal / (Now() - t0));
    return 0;
}

int Serve(int argc, char** argv) {
    if (argc < 5) return 2;
    qn::test::LoopbackHttpServer server;
    server.addResource("/f.bin", std::strtoull(argv[2], nullptr, 10));
    uint32_t uRate = (uint32_t)std::strtoul(argv[3], nullptr, 10);
    server.script("/f.bin", qn::test::LoopbackHttpServer::kAnyIndex, {qn::test::http_step::Drip(uRate)});
    std::printf("port=%u\n", server.port());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[4])));
    return 0;
}

// The answers of the cut kinds end (FIN) after this many body bytes.
constexpr uint64_t kCutBodyBytes = 12ull * 1024 * 1024;
int VersionServe(int argc, char** argv) {
    if (argc < 7) return 2;
    std::string sKind = argv[2];
    uint64_t ullSize = std::strtoull(argv[3], nullptr, 10);
    uint32_t uRate = (uint32_t)std::strtoul(argv[4], nullptr, 10);
    std::string sStats = argv[6];
    struct Node {
        std::string sETag, sDate;
    };
    const std::string kDate1 = "Sun, 06 Nov 1994 08:49:37 GMT", kDate2 = "Mon, 07 Nov 1994 08:49:37 GMT";
    Node nodes[2] = {{"\"1f-a\"", kDate1}, {"\"1f-a\"", kDate1}};
    bool bLonger = false;
    // replaced: nodes[0] is version 1 and nodes[1] version 2 of one server, not two nodes.
    bool bReplaced = false, bCut = false;
    if (sKind == "farm-etag" || sKind == "farm-etag-cut") {
        nodes[1].sETag = "\"1f-b\"";
        bCut = sKind == "farm-etag-cut";
    } else if (sKind == "replaced-cut") {
        nodes[1] = {"\"2f-b\"", kDate2};
        bReplaced = bCut = true;
    } else if (sKind == "farm-date") {
        nodes[0].sETag = nodes[1].sETag = "";
        nodes[1].sDate = kDate2;
    } else if (sKind == "longer-head") {
        bLonger = true;
    } else if (sKind != "farm-same") {
        return 2;
    }
    auto pGets = std::make_shared<std::atomic<int>>(0);
    auto pReplaced = std::make_shared<std::atomic<bool>>(false);
    std::ofstream(sStats, std::ios::trunc) << "gets=0\n";
    auto pStatsLock = std::make_shared<std::mutex>();
    qn::test::LoopbackHttpServer server;
    server.addResource("/f.bin", ullSize);
    server.script("/f.bin", qn::test::LoopbackHttpServer::kAnyIndex,
                  {[=](qn::test::Plan& p, const qn::test::RequestRecord& r) {
                      bool bGet = r.method == "GET";
                      int nGets = bGet ? pGets->fetch_add(1) + 1 : 0;
                      // The file is replaced when the second GET arrives: that GET and every
                      // answer after it is version 2. The first GET is version 1 even when
                      // another connection's GET got in ahead of its answer.
                      bool bVersionTwo = false;
                      if (bReplaced) {
                          if (nGets >= 2) pReplaced->store(true);
                          bVersionTwo = bGet ? nGets >= 2 : pReplaced->load();
                      }
                      if (bLonger) {
                          if (r.method == "HEAD") p.bodyLength += 1;
                      } else {
                          const Node& n = bReplaced ? nodes[bVersionTwo ? 1 : 0] : nodes[r.connection % 2];
                          if (!n.sETag.empty()) p.headers.emplace_back("ETag", n.sETag);
                          p.headers.emplace_back("Last-Modified", n.sDate);
                          std::string sIf = r.header("If-Range");
                          if (r.hasHeader("If-Range") && !(!sIf.empty() && sIf == n.sETag) && sIf != n.sDate)
                              qn::test::http_step::IgnoreRange()(p, r);
                      }
                      if (bVersionTwo) qn::test::VersionTwoBytes()(p, r);
                      if (!bGet) return;
                      if (uRate) qn::test::http_step::Drip(uRate)(p, r);
                      if (bCut && p.bodyLength > kCutBodyBytes) qn::test::http_step::DropAfter((int64_t)kCutBodyBytes)(p, r);
                      std::lock_guard<std::mutex> guard(*pStatsLock);
                      std::ofstream(sStats, std::ios::trunc) << "gets=" << nGets << "\n";
                  }});
    std::printf("port=%u\n", server.port());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[5])));
    return 0;
}

int SameAsResource(int argc, char** argv) {
    if (argc < 3) return 2;
    std::ifstream in(argv[2], std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bool bExact = in.good() || in.eof();
    bExact = bExact && qn::test::FirstResourceMismatch(0, s.data(), s.size()) == -1;
    std::printf("exact=%d\n", bExact ? 1 : 0);
    return bExact ? 0 : 1;
}

// Which version of the replaced file FILE is, piece by piece: every byte but the mark must be
// the generated resource's, the mark either its own (version 1) or flipped (version 2).
int WhichVersion(int argc, char** argv) {
    if (argc < 4) return 2;
    std::ifstream in(argv[2], std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bool bOther = !(in.good() || in.eof()) || s.size() != std::strtoull(argv[3], nullptr, 10);
    uint64_t ullOne = 0, ullTwo = 0;
    for (uint64_t off = 0; !bOther && off < s.size(); off += qn::test::kVersionPiece) {
        std::string piece = s.substr(off, qn::test::kVersionPiece);
        if (piece.size() > qn::test::kVersionMarkInPiece) {
            char& c = piece[qn::test::kVersionMarkInPiece];
            uint8_t b = qn::test::ResourceByte(off + qn::test::kVersionMarkInPiece);
            if ((uint8_t)c == (uint8_t)(b ^ 0xFF)) {
                ++ullTwo;
                c = (char)b;
            } else {
                ++ullOne;
            }
        }
        bOther = qn::test::FirstResourceMismatch(off, piece.data(), piece.size()) != -1;
    }
    const char* szVersion = bOther ? "none" : ullTwo == 0 ? "1" : ullOne == 0 ? "2" : "mix";
    bool bExact = !bOther && (ullOne == 0 || ullTwo == 0);
    std::printf("exact=%d version=%s v1_pieces=%llu v2_pieces=%llu\n", bExact ? 1 : 0, szVersion,
                (unsigned long long)ullOne, (unsigned long long)ullTwo);
    return bExact ? 0 : 1;
}

// ---- relay ----------------------------------------------------------------------------------

std::atomic<uint64_t> g_ullWire{0};
std::atomic<uint64_t> g_ullConnections{0};
std::mutex g_statsLock;

int ListenLoopback(uint16_t* puPort) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, (sockaddr*)&sa, sizeof(sa)) != 0 || ::listen(fd, 256) != 0) return -1;
    socklen_t len = sizeof(sa);
    getsockname(fd, (sockaddr*)&sa, &len);
    *puPort = ntohs(sa.sin_port);
    return fd;
}

int ConnectLoopback(uint16_t uPort) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(uPort);
    if (fd >= 0 && ::connect(fd, (sockaddr*)&sa, sizeof(sa)) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Writes all of buf; false when the peer is gone.
bool WriteAll(int fd, const char* buf, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, buf, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        buf += w;
        n -= (size_t)w;
    }
    return true;
}

// Pumps both ways until either side is done; the bytes the client acknowledged are the ones
// that crossed the wire to it (whether the client then read them or dropped them).
void Pump(int client, uint16_t uUpstream, const std::string& sStats) {
    int server = ConnectLoopback(uUpstream);
    std::vector<char> buf(1 << 18);
    bool bServerOpen = server >= 0, bClientOpen = server >= 0;
    while (bServerOpen && bClientOpen) {
        pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(p, 2, 1000) < 0) break;
        if (p[0].revents) {
            ssize_t n = ::recv(client, buf.data(), buf.size(), 0);
            if (n <= 0 || !WriteAll(server, buf.data(), (size_t)n)) bClientOpen = false;
        }
        if (bClientOpen && p[1].revents) {
            ssize_t n = ::recv(server, buf.data(), buf.size(), 0);
            if (n <= 0) bServerOpen = false;
            else if (!WriteAll(client, buf.data(), (size_t)n)) bClientOpen = false;
        }
    }
    if (!bServerOpen && bClientOpen) {
        // The server ended the response stream: let the client read the rest, then close.
        ::shutdown(client, SHUT_WR);
        pollfd p{client, POLLIN, 0};
        while (::poll(&p, 1, 5000) > 0 && ::recv(client, buf.data(), buf.size(), 0) > 0) {
        }
    }
    tcp_info ti{};
    socklen_t len = sizeof(ti);
    uint64_t ullAcked = 0;
    if (getsockopt(client, IPPROTO_TCP, TCP_INFO, &ti, &len) == 0) ullAcked = ti.tcpi_bytes_acked;
    if (server >= 0) ::close(server);
    ::close(client);
    g_ullWire += ullAcked;
    g_ullConnections++;
    std::lock_guard<std::mutex> guard(g_statsLock);
    std::ofstream(sStats, std::ios::trunc) << "wire=" << g_ullWire.load() << " connections=" << g_ullConnections.load()
                                           << "\n";
}

int Relay(int argc, char** argv) {
    if (argc < 5) return 2;
    uint16_t uUpstream = (uint16_t)std::atoi(argv[2]);
    std::string sStats = argv[3];
    double tEnd = Now() + std::atof(argv[4]);
    uint16_t uPort = 0;
    int lfd = ListenLoopback(&uPort);
    if (lfd < 0) return 3;
    std::ofstream(sStats, std::ios::trunc) << "wire=0 connections=0\n";
    std::printf("port=%u\n", uPort);
    std::fflush(stdout);
    while (Now() < tEnd) {
        pollfd p{lfd, POLLIN, 0};
        if (::poll(&p, 1, 200) != 1) continue;
        int c = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) std::thread(Pump, c, uUpstream, sStats).detach();
    }
    return 0;
}

}  // namespace

int StallServe(int argc, char** argv) {
    if (argc < 4) return 2;
    namespace step = qn::test::http_step;
    std::string sCase = argv[2];
    uint64_t ullSize = sCase == "midpiece" ? 65536 + 100 : 3000;
    if (sCase != "silent" && sCase != "midpiece" && sCase != "unanswered") return 2;
    qn::test::LoopbackHttpServer server;
    server.addResource("/f.bin", ullSize);
    auto pArmed = std::make_shared<std::atomic<bool>>(false);
    server.script("/f.bin", qn::test::LoopbackHttpServer::kAnyIndex,
                  {[pArmed, sCase](qn::test::Plan& p, const qn::test::RequestRecord& req) {
                      if (req.method == "HEAD") {
                          pArmed->store(true);
                      } else if (pArmed->exchange(false)) {
                          if (sCase == "silent") step::HoldUntil([] { return false; }, 6000)(p, req);
                          if (sCase == "midpiece") step::HoldAtBodyByte(65536 + 40, [] { return false; }, 6000)(p, req);
                          if (sCase == "unanswered") step::Silent()(p, req);
                      }
                  }});
    std::printf("port=%u\n", server.port());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[3])));
    return 0;
}

int main(int argc, char** argv) {
    QN_SetupLocale();
    std::string sMode = argc > 1 ? argv[1] : "";
    if (sMode == "get") return Get(argc, argv);
    if (sMode == "mkck") return MakeChecksum(argc, argv);
    if (sMode == "md5rate") return Md5Rate(argc, argv);
    if (sMode == "serve") return Serve(argc, argv);
    if (sMode == "vserve") return VersionServe(argc, argv);
    if (sMode == "same") return SameAsResource(argc, argv);
    if (sMode == "version") return WhichVersion(argc, argv);
    if (sMode == "relay") return Relay(argc, argv);
    if (sMode == "stallserve") return StallServe(argc, argv);
    std::fprintf(stderr, "usage: see the comment at the top of download_bench.cpp\n");
    return 2;
}
