// Benchmark driver of the package repairer, run by bench/run_package_bench.sh (outside CI).
//
//   package_bench gen DIR MIB           a package DIR/good of MIB MiB of 64 KiB blocks (data files
//                                       of at most 1 GiB, the last 64 KiB of each an empty region),
//                                       its repair tree under DIR/www/pak, a working copy DIR/work
//   package_bench check DIR URL warm|cold
//                                       the repairer's check of DIR/work; prints seconds and peak RSS
//   package_bench crcloop DIR warm|cold read + crc32 of every block, one thread, the same order
//   package_bench damage DIR K          flips one byte in K blocks spread over the package
//   package_bench repair DIR URL        check, then repair; prints both times and the count
//   package_bench claim DIR TABLE MIB   DIR/www/claim/Repair.REP: the package's repair file whose
//                                       header (CRC valid) gives table TABLE (0 folder files,
//                                       1 blocks) a size of about MIB MiB that the file does not hold
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "IQN_PackageRepair.h"
#include "KDownload.h"
#include "QN_HttpTransfer.h"
#include "qn_string.h"

namespace {

constexpr uint64_t kBlock = 64 * 1024;
constexpr uint64_t kMaxFile = 1ull << 30;
constexpr uint64_t kBase = 0x1000;

void Put32(std::string* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + i] = (char)(v >> (8 * i));
}
void Put64(std::string* b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) (*b)[at + i] = (char)(v >> (8 * i));
}
void App32(std::string* b, uint32_t v) {
    b->append(4, '\0');
    Put32(b, b->size() - 4, v);
}
void App64(std::string* b, uint64_t v) {
    b->append(8, '\0');
    Put64(b, b->size() - 8, v);
}
uint32_t Crc(const void* p, size_t n) { return (uint32_t)crc32(0, (const Bytef*)p, (uInt)n); }
uint32_t BlockCrc(const uint8_t* p, size_t n) {
    static const uint8_t z[4] = {0, 0, 0, 0};
    uLong c = crc32(0, z, 4);
    return (uint32_t)crc32(c, p + 4, (uInt)(n - 4));
}

bool WriteAll(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

struct Layout {
    uint64_t fileSize = 0;
    uint32_t fileCount = 0;
};

Layout LayoutOf(uint64_t mib) {
    Layout l;
    const uint64_t total = mib << 20;
    l.fileSize = total < kMaxFile ? total : kMaxFile;
    l.fileCount = (uint32_t)(total / l.fileSize);
    return l;
}

std::string Cfg(const Layout& l) {
    std::string cfg(204, '\0');
    for (size_t i = 0; i < 204; ++i) cfg[i] = (char)(0x40 + i);
    Put32(&cfg, 24, 7);
    Put32(&cfg, 28, l.fileCount);
    Put64(&cfg, 32, l.fileSize);
    Put64(&cfg, 40, kBase);
    return cfg;
}

int Gen(const std::string& dir, uint64_t mib) {
    const Layout l = LayoutOf(mib);
    const std::string good = dir + "/good/pakV3", pak = dir + "/www/pak";
    std::string cmd = "mkdir -p '" + good + "' '" + pak + "/DirFiles/7' '" + pak + "/UpdateFiles'";
    if (std::system(cmd.c_str()) != 0) return 1;
    const std::string cfg = Cfg(l);
    const std::string dirFile(4000, 'd');
    if (!WriteAll(good + "/Package.CFG", cfg) || !WriteAll(good + "/Dir0.idx", dirFile) ||
        !WriteAll(pak + "/DirFiles/7/Dir0.idx", dirFile))
        return 1;
    std::string dirs(128, '\0'), blocks, regions, repair;
    dirs[0] = 'D', dirs[2] = 'i', dirs[4] = 'r', dirs[6] = '0', dirs[8] = '.', dirs[10] = 'i', dirs[12] = 'd',
    dirs[14] = 'x';
    App32(&dirs, Crc(dirFile.data(), dirFile.size()));
    uint64_t x = 0x9E3779B97F4A7C15ull;
    std::vector<uint8_t> buf(kBlock);
    for (uint32_t f = 0; f < l.fileCount; ++f) {
        const std::string name = good + "/Package" + std::to_string(f) + ".DAT";
        FILE* out = std::fopen(name.c_str(), "wb");
        if (!out) return 1;
        for (uint64_t off = 0; off < l.fileSize; off += kBlock) {
            const bool region = off + kBlock == l.fileSize;
            if (region) {
                std::memset(buf.data(), 0xCE, kBlock);
                App64(&regions, kBase + f * l.fileSize + off);
                App64(&regions, kBlock);
            } else {
                for (size_t i = 0; i < kBlock; i += 8) {
                    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                    std::memcpy(&buf[i], &x, 8);
                }
                App64(&blocks, kBase + f * l.fileSize + off);
                App64(&blocks, kBlock);
                App32(&blocks, BlockCrc(buf.data(), kBlock));
                App32(&repair, f + 1);
                App64(&repair, off);
            }
            if (std::fwrite(buf.data(), 1, kBlock, out) != kBlock) return 1;
        }
        if (std::fclose(out) != 0) return 1;
        // Source f + 1 is the good data file itself (the working copy is a copy, not a link).
        cmd = "ln -f '" + name + "' '" + pak + "/UpdateFiles/" + std::to_string(f) + "-" + std::to_string(f + 1) +
              ".UPDATE'";
        if (std::system(cmd.c_str()) != 0) return 1;
    }
    std::string rep(324, '\0');
    Put32(&rep, 0, 0x33504B51);
    rep.replace(4, 204, cfg);
    const std::string* tables[4] = {&dirs, &blocks, &regions, &repair};
    uint64_t at = 324;
    for (int t = 0; t < 4; ++t) {
        Put64(&rep, 212 + 20 * t, at);
        Put64(&rep, 220 + 20 * t, tables[t]->size());
        Put32(&rep, 228 + 20 * t, Crc(tables[t]->data(), tables[t]->size()));
        at += tables[t]->size();
    }
    Put32(&rep, 208, Crc(rep.data(), 324));
    for (int t = 0; t < 4; ++t) rep += *tables[t];
    if (!WriteAll(pak + "/Repair.REP", rep)) return 1;
    // The working copy; the good one stays for the sources and the comparison afterwards.
    cmd = "rm -rf '" + dir + "/work' && cp -a '" + dir + "/good' '" + dir + "/work'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}

void DropCache(const std::string& dir, const Layout& l) {
    for (uint32_t f = 0; f < l.fileCount; ++f) {
        const std::string name = dir + "/work/pakV3/Package" + std::to_string(f) + ".DAT";
        int fd = ::open(name.c_str(), O_RDONLY);
        if (fd < 0) continue;
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

void WarmCache(const std::string& dir, const Layout& l) {
    std::vector<char> b(1 << 20);
    for (uint32_t f = 0; f < l.fileCount; ++f) {
        FILE* in = std::fopen((dir + "/work/pakV3/Package" + std::to_string(f) + ".DAT").c_str(), "rb");
        if (!in) continue;
        while (std::fread(b.data(), 1, b.size(), in) > 0) {
        }
        std::fclose(in);
    }
}

Layout LayoutOfWork(const std::string& dir) {
    Layout l;
    FILE* f = std::fopen((dir + "/work/pakV3/Package.CFG").c_str(), "rb");
    uint8_t cfg[204] = {};
    if (f) {
        if (std::fread(cfg, 1, 204, f) != 204) cfg[28] = 0;
        std::fclose(f);
    }
    std::memcpy(&l.fileCount, cfg + 28, 4);
    std::memcpy(&l.fileSize, cfg + 32, 8);
    return l;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

long PeakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

int RunPhase(IQN_PackageRepair* p, bool check, double* pSeconds) {
    const auto t0 = std::chrono::steady_clock::now();
    if (FAILED(check ? p->StartCheck() : p->StartRepair())) return -1;
    const int running = check ? QN_RPS_CHECKING : QN_RPS_REPAIRING;
    int s = running;
    while ((s = p->GetStatusCode()) == running) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    *pSeconds = Seconds(t0);
    return s;
}

IQN_PackageRepair* Open(const std::string& dir, const std::string& url) {
    KDownloadSetReportEndpoint("");
    if (FAILED(KDownloadInit())) return nullptr;
    g_pfnKDownloadGetService.store(&KDownloadGetService);
    IQN_PackageRepair* p = nullptr;
    const std::wstring wdir = QN_Utf8ToWide(dir + "/work/pakV3"), wurl = QN_Utf8ToWide(url);
    if (FAILED(QN_CreatePackageV3Repair(wdir.c_str(), wurl.c_str(), &p))) return nullptr;
    return p;
}

int Check(const std::string& dir, const std::string& url, bool cold) {
    const Layout l = LayoutOfWork(dir);
    IQN_PackageRepair* p = Open(dir, url);
    if (!p) return 1;
    if (cold) DropCache(dir, l); else WarmCache(dir, l);
    double s = 0;
    const int status = RunPhase(p, true, &s);
    std::printf("check status=%d broken=%u seconds=%.3f peak_rss_kib=%ld\n", status, p->GetBrokenElemFileCount(), s,
                PeakRssKiB());
    p->Release();
    g_pfnKDownloadGetService.store(nullptr);
    KDownloadUninit();
    return status == QN_RPS_SUCCESS_FINISH_CHECK ? 0 : 1;
}

// The reference: every block read with pread into one buffer and checksummed, in table order.
int CrcLoop(const std::string& dir, bool cold) {
    const Layout l = LayoutOfWork(dir);
    if (cold) DropCache(dir, l); else WarmCache(dir, l);
    std::vector<uint8_t> buf(kBlock);
    const auto t0 = std::chrono::steady_clock::now();
    uint32_t acc = 0;
    for (uint32_t f = 0; f < l.fileCount; ++f) {
        FILE* in = std::fopen((dir + "/work/pakV3/Package" + std::to_string(f) + ".DAT").c_str(), "rb");
        if (!in) return 1;
        for (uint64_t off = 0; off + kBlock < l.fileSize; off += kBlock) {
            if (fseeko(in, (off_t)off, SEEK_SET) != 0 || std::fread(buf.data(), kBlock, 1, in) != 1) return 1;
            acc ^= BlockCrc(buf.data(), kBlock);
        }
        std::fclose(in);
    }
    std::printf("crcloop seconds=%.3f peak_rss_kib=%ld (%08x)\n", Seconds(t0), PeakRssKiB(), acc);
    return 0;
}

int Damage(const std::string& dir, uint64_t k) {
    const Layout l = LayoutOfWork(dir);
    const uint64_t perFile = l.fileSize / kBlock - 1;
    const uint64_t total = perFile * l.fileCount;
    const uint64_t step = total / k;
    for (uint64_t i = 0; i < k; ++i) {
        const uint64_t b = i * step + step / 2;
        const uint32_t f = (uint32_t)(b / perFile);
        const uint64_t off = (b % perFile) * kBlock + 100;
        const std::string name = dir + "/work/pakV3/Package" + std::to_string(f) + ".DAT";
        int fd = ::open(name.c_str(), O_RDWR);
        uint8_t c = 0;
        if (fd < 0 || ::pread(fd, &c, 1, (off_t)off) != 1) return 1;
        c ^= 0xFF;
        if (::pwrite(fd, &c, 1, (off_t)off) != 1) return 1;
        ::close(fd);
    }
    return 0;
}

int Repair(const std::string& dir, const std::string& url) {
    IQN_PackageRepair* p = Open(dir, url);
    if (!p) return 1;
    double c = 0, r = 0;
    int status = RunPhase(p, true, &c);
    const uint32_t broken = p->GetBrokenElemFileCount();
    if (status == QN_RPS_SUCCESS_FINISH_CHECK) status = RunPhase(p, false, &r);
    std::printf("repair status=%d broken=%u check_seconds=%.3f repair_seconds=%.3f peak_rss_kib=%ld\n", status, broken,
                c, r, PeakRssKiB());
    p->Release();
    g_pfnKDownloadGetService.store(nullptr);
    KDownloadUninit();
    return status == QN_RPS_SUCCESS_FINISH_REPAIR ? 0 : 1;
}

// Table t's size field set to the largest whole number of records within mib MiB; the tables
// themselves stay as they are, so the server answers a range far shorter than the claim.
int Claim(const std::string& dir, int t, uint64_t mib) {
    static const uint64_t kRecord[2] = {132, 20};
    if (t < 0 || t > 1) return 2;
    FILE* in = std::fopen((dir + "/www/pak/Repair.REP").c_str(), "rb");
    if (!in) return 1;
    std::string rep;
    char b[65536];
    size_t n = 0;
    while ((n = std::fread(b, 1, sizeof(b), in)) > 0) rep.append(b, n);
    std::fclose(in);
    if (rep.size() < 324) return 1;
    Put64(&rep, 220 + 20 * t, ((mib << 20) / kRecord[t]) * kRecord[t]);
    Put32(&rep, 208, 0);
    Put32(&rep, 208, Crc(rep.data(), 324));
    const std::string out = dir + "/www/claim";
    if (std::system(("mkdir -p '" + out + "'").c_str()) != 0) return 1;
    return WriteAll(out + "/Repair.REP", rep) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "gen" && argc == 4) return Gen(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (cmd == "check" && argc == 5) return Check(argv[2], argv[3], std::string(argv[4]) == "cold");
    if (cmd == "crcloop" && argc == 4) return CrcLoop(argv[2], std::string(argv[3]) == "cold");
    if (cmd == "damage" && argc == 4) return Damage(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (cmd == "repair" && argc == 4) return Repair(argv[2], argv[3]);
    if (cmd == "claim" && argc == 5) return Claim(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10));
    std::fprintf(stderr, "usage: see the head of bench/package_bench.cpp\n");
    return 2;
}
