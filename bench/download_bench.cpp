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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KDownload.h"
#include "QN_MD5.h"
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

}  // namespace

int main(int argc, char** argv) {
    QN_SetupLocale();
    std::string sMode = argc > 1 ? argv[1] : "";
    if (sMode == "get") return Get(argc, argv);
    if (sMode == "mkck") return MakeChecksum(argc, argv);
    if (sMode == "md5rate") return Md5Rate(argc, argv);
    if (sMode == "serve") return Serve(argc, argv);
    std::fprintf(stderr, "usage: see the comment at the top of download_bench.cpp\n");
    return 2;
}
