// Driver of the ordinary-file repair benchmark (bench/run_repair_bench.sh):
//   make  <root> <files> <total MiB>   writes <root>/client/bin/zhcn/** and the server tree
//                                       <root>/www/qelrepair/zhcn_v3/** (the good copies are hard
//                                       links of the client's files) with "qel_repair.info"
//   plain <root>                        reads every listed file and takes its CRC-32; prints the wall
//   check <root> <url prefix>           the repairer's check; prints the wall and the corrupt count
//   break <root> <k>                    deletes every (files / k)-th listed file of the client; prints
//                                       their URL paths, one a line
//   repair <root> <url prefix>          check, then the repair; prints the repair's wall
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KDownload.h"
#include "QN_HttpTransfer.h"
#include "QN_RepairNormalFile.h"

namespace {

using Clock = std::chrono::steady_clock;

void PutU32(std::string* b, size_t at, uint32_t v) {
    if (b->size() < at + 4) b->resize(at + 4, '\0');
    for (int i = 0; i < 4; ++i) (*b)[at + i] = (char)(v >> (8 * i));
}
void AppendU32(std::string* b, uint32_t v) { PutU32(b, b->size(), v); }
uint32_t Crc(const std::string& s) { return (uint32_t)crc32(0, (const Bytef*)s.data(), (uInt)s.size()); }

std::string ListPath(const std::string& root) { return root + "/files.txt"; }

std::vector<std::string> ReadList(const std::string& root) {
    std::vector<std::string> names;
    std::ifstream in(ListPath(root));
    for (std::string line; std::getline(in, line);) names.push_back(line);
    return names;
}

void MakeDirs(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

int Make(const std::string& root, uint32_t uFiles, uint64_t ullTotalMiB) {
    const std::string bin = root + "/client/bin/zhcn/", good = root + "/www/qelrepair/zhcn_v3/bin/zhcn/";
    // Sizes from 1 KiB to 64 MiB, spread evenly on a log scale, then scaled to the total.
    std::vector<double> raw(uFiles);
    double sum = 0;
    for (uint32_t i = 0; i < uFiles; ++i) {
        raw[i] = 1024.0 * std::pow(65536.0, (double)(i % 97) / 96.0);
        sum += raw[i];
    }
    const double scale = (double)(ullTotalMiB << 20) / sum;
    std::string table, names;
    AppendU32(&table, uFiles);
    std::vector<char> buf(1 << 20);
    uint64_t ullState = 88172645463325252ull;
    for (uint32_t i = 0; i < uFiles; ++i) {
        uint64_t size = std::max<uint64_t>(1024, std::min<uint64_t>(64ull << 20, (uint64_t)(raw[i] * scale)));
        char rel[64];
        std::snprintf(rel, sizeof(rel), "d%02u/f%05u.bin", i % 50, i);
        MakeDirs(bin + std::string(rel).substr(0, 3));
        MakeDirs(good + std::string(rel).substr(0, 3));
        FILE* fp = std::fopen((bin + rel).c_str(), "wb");
        if (!fp) return 1;
        uint32_t crc = 0;
        for (uint64_t done = 0; done < size;) {
            size_t n = (size_t)std::min<uint64_t>(buf.size(), size - done);
            for (size_t k = 0; k < n; k += 8) {
                ullState ^= ullState << 13, ullState ^= ullState >> 7, ullState ^= ullState << 17;
                std::memcpy(&buf[k], &ullState, std::min<size_t>(8, n - k));
            }
            crc = (uint32_t)crc32(crc, (const Bytef*)buf.data(), (uInt)n);
            std::fwrite(buf.data(), 1, n, fp);
            done += n;
        }
        std::fclose(fp);
        if (link((bin + rel).c_str(), (good + rel).c_str()) != 0) return 1;
        std::string tableName = rel;
        tableName[3] = '\\';
        AppendU32(&table, (uint32_t)tableName.size() + 1);
        table += tableName;
        table.push_back('\0');
        AppendU32(&table, crc);
        names += std::string(rel) + "\n";
    }
    std::string dirs, repair;
    AppendU32(&dirs, 1);
    AppendU32(&dirs, 9);
    dirs += std::string("bin/zhcn", 9);
    for (uint32_t i = 0; i < uFiles; ++i) AppendU32(&repair, 0);
    std::string info(76, '\0');
    PutU32(&info, 0, 0x46495251);
    PutU32(&info, 12, 76);
    PutU32(&info, 16, (uint32_t)table.size());
    PutU32(&info, 20, Crc(table));
    PutU32(&info, 36, 76 + (uint32_t)table.size());
    PutU32(&info, 40, (uint32_t)dirs.size());
    PutU32(&info, 44, Crc(dirs));
    PutU32(&info, 48, 76 + (uint32_t)(table.size() + dirs.size()));
    PutU32(&info, 52, (uint32_t)repair.size());
    PutU32(&info, 8, Crc(info));
    std::ofstream(root + "/www/qelrepair/zhcn_v3/qel_repair.info", std::ios::binary) << info << table << dirs << repair;
    std::ofstream(ListPath(root)) << names;
    return 0;
}

int Plain(const std::string& root) {
    std::vector<char> buf(1 << 20);
    const Clock::time_point t0 = Clock::now();
    for (const std::string& rel : ReadList(root)) {
        FILE* fp = std::fopen((root + "/client/bin/zhcn/" + rel).c_str(), "rb");
        if (!fp) continue;
        uint32_t crc = 0;
        for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), fp)) > 0;)
            crc = (uint32_t)crc32(crc, (const Bytef*)buf.data(), (uInt)n);
        std::fclose(fp);
    }
    std::printf("%.3f\n", std::chrono::duration<double>(Clock::now() - t0).count());
    return 0;
}

int RunPhase(QN_RepairNormalFile& r, bool bRepair, double* pdSeconds) {
    const Clock::time_point t0 = Clock::now();
    if (!(bRepair ? r.StartRepair() : r.StartCheck())) return -1;
    const int running = bRepair ? QN_RFSC_REPAIRING : QN_RFSC_CHECKING;
    while (r.m_nStatusCode.load() == running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    *pdSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return r.m_nStatusCode.load();
}

int Engine(const std::string& root, const std::string& prefix, bool bRepair) {
    KDownloadSetReportEndpoint("");
    if (FAILED(KDownloadInit())) return 1;
    g_pfnKDownloadGetService.store(&KDownloadGetService);
    int rc = 1;
    {
        QN_RepairNormalFile r;
        const std::string temp = root + "/temp/";
        MakeDirs(root + "/temp");
        r.Init((root + "/client/bin/zhcn/").c_str(), temp.c_str(), prefix.c_str());
        double dCheck = 0, dRepair = 0;
        int s = RunPhase(r, false, &dCheck);
        if (s == QN_RFSC_SUCCESS_FINISH_CHECK) {
            if (!bRepair) {
                std::printf("%.3f %zu\n", dCheck, r.m_CorruptFileList.size());
                rc = 0;
            } else {
                s = RunPhase(r, true, &dRepair);
                std::printf("%.3f %zu\n", dRepair, r.m_CanNotRepairFileList.size());
                rc = s == QN_RFSC_SUCCESS_FINISH_REPAIR ? 0 : 1;
            }
        }
        r.UnInit();
    }
    g_pfnKDownloadGetService.store(nullptr);
    KDownloadUninit();
    return rc;
}

int Break(const std::string& root, uint32_t k) {
    std::vector<std::string> names = ReadList(root);
    const size_t step = std::max<size_t>(1, names.size() / k);
    for (size_t i = 0, n = 0; i < names.size() && n < k; i += step, ++n) {
        unlink((root + "/client/bin/zhcn/" + names[i]).c_str());
        std::printf("/qelrepair/zhcn_v3/bin/zhcn/%s\n", names[i].c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "make" && argc == 5) return Make(argv[2], (uint32_t)std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10));
    if (mode == "plain" && argc == 3) return Plain(argv[2]);
    if (mode == "check" && argc == 4) return Engine(argv[2], argv[3], false);
    if (mode == "repair" && argc == 4) return Engine(argv[2], argv[3], true);
    if (mode == "break" && argc == 4) return Break(argv[2], (uint32_t)std::atoi(argv[3]));
    std::fprintf(stderr, "usage: see the comment at the top of repair_bench.cpp\n");
    return 2;
}
