// Driver of the ordinary-file repair benchmark (bench/run_repair_bench.sh):
//   make  <root> <files> <total MiB>   writes <root>/client/bin/zhcn/** and the server tree
//                                       <root>/www/qelrepair/zhcn_v3/** (the good copies are hard
//                                       links of the client's files) with "qel_repair.info"
//   plain <root>                        reads every listed file and takes its CRC-32; prints the wall
//   check <root> <url prefix>           the repairer's check; prints the wall and the corrupt count
//   break <root> <k>                    deletes every (files / k)-th listed file of the client; prints
//                                       their URL paths, one a line
//   repair <root> <url prefix>          check, then the repair; prints the repair's wall
//   trace  <root> <url prefix>          as repair, with the library's log lines time-stamped: prints
//                                       the mean time per file of each step of a download (see
//                                       bench/README.md) after the repair's wall
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
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KDownload.h"
#include "download_test_hooks.h"
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

// Library log lines with the time they were written, for the step breakdown.
struct TraceLine {
    double dMs;
    std::string sText;
};
std::mutex g_traceLock;
std::vector<TraceLine> g_trace;
Clock::time_point g_traceStart;

void StartTrace() {
    g_traceStart = Clock::now();
    qn::testing::SetLogSink([](const std::string&, int, const std::string& text) {
        double dMs = std::chrono::duration<double, std::milli>(Clock::now() - g_traceStart).count();
        std::lock_guard<std::mutex> guard(g_traceLock);
        g_trace.push_back({dMs, text});
    });
}

bool StartsWith(const std::string& s, const char* csz) { return s.compare(0, std::strlen(csz), csz) == 0; }

// Splits each session's life into steps by its log lines and prints the mean of each step over
// the sessions, in milliseconds. The sessions of the ordinary-file repair run one after another.
void PrintTrace(size_t uFiles) {
    qn::testing::SetLogSink(nullptr);
    std::lock_guard<std::mutex> guard(g_traceLock);
    // Marks, in the order a session passes them.
    static const char* const kMarks[] = {"init URL=", "start", "queryFileInfo OK", "use QueryServerIP",
                                         "downloader(", "onStatus", "commit piece", "downloading end",
                                         "download success", "exit, abort"};
    enum { kInit, kStart, kQuery, kAlloc, kFirstStart, kFirstStatus, kLastCommit, kLoopEnd, kSuccess, kExit, kMarkCount };
    struct Session {
        double t[kMarkCount];
        double dNextInit = -1;
        uint32_t uDownloaderStarts = 0;
    };
    std::vector<Session> sessions;
    for (const TraceLine& l : g_trace) {
        if (StartsWith(l.sText, kMarks[kInit])) {
            if (!sessions.empty()) sessions.back().dNextInit = l.dMs;
            sessions.push_back(Session{});
            for (double& d : sessions.back().t) d = -1;
            sessions.back().t[kInit] = l.dMs;
            continue;
        }
        if (sessions.empty()) continue;
        Session& s = sessions.back();
        auto mark = [&](int k) {
            if (s.t[k] < 0) s.t[k] = l.dMs;
        };
        if (l.sText == "start") mark(kStart);
        else if (StartsWith(l.sText, "queryFileInfo OK")) mark(kQuery);
        else if (StartsWith(l.sText, "use QueryServerIP")) mark(kAlloc);
        else if (l.sText.find("start download piece") != std::string::npos) {
            mark(kFirstStart);
            ++s.uDownloaderStarts;
        } else if (l.sText.find("onStatus") != std::string::npos) mark(kFirstStatus);
        else if (l.sText.find("commit piece") != std::string::npos) s.t[kLastCommit] = l.dMs;
        else if (StartsWith(l.sText, "downloading end")) mark(kLoopEnd);
        else if (l.sText == "download success") mark(kSuccess);
        else if (StartsWith(l.sText, "exit, abort")) mark(kExit);
    }
    struct Step {
        const char* cszName;
        int nFrom, nTo;
    };
    static const Step kSteps[] = {
        {"session creation to its thread's start", kInit, kStart},
        {"query (HEAD)", kStart, kQuery},
        {"storage allocation (.tmp, .cfg)", kQuery, kAlloc},
        {"to the first downloader's start", kAlloc, kFirstStart},
        {"first piece request to its answer's status", kFirstStart, kFirstStatus},
        {"answer's status to the last commit", kFirstStatus, kLastCommit},
        {"last commit to the loop's end (rounds, stop)", kLastCommit, kLoopEnd},
        {"loop's end to success (flush, rename)", kLoopEnd, kSuccess},
        {"success to the thread's end (report)", kSuccess, kExit},
    };
    std::printf("%-58s %9s\n", "step (mean per file)", "ms");
    double dTotal = 0;
    uint32_t uStarts = 0;
    size_t uUsed = 0;
    for (const Session& s : sessions) uStarts += s.uDownloaderStarts;
    for (const Step& st : kSteps) {
        double dSum = 0;
        size_t n = 0;
        for (const Session& s : sessions) {
            if (s.t[st.nFrom] < 0 || s.t[st.nTo] < 0) continue;
            dSum += s.t[st.nTo] - s.t[st.nFrom];
            ++n;
        }
        double dMean = n ? dSum / (double)n : 0;
        dTotal += dMean;
        std::printf("%-58s %9.2f\n", st.cszName, dMean);
    }
    double dGap = 0;
    for (const Session& s : sessions) {
        if (s.dNextInit >= 0 && s.t[kExit] >= 0) {
            dGap += s.dNextInit - s.t[kExit];
            ++uUsed;
        }
    }
    dGap = uUsed ? dGap / (double)uUsed : 0;
    std::printf("%-58s %9.2f\n", "thread's end to the next session (helper's poll, CRC, move)", dGap);
    std::printf("%-58s %9.2f\n", "sum", dTotal + dGap);
    std::printf("sessions %zu for %zu files, piece requests started %u\n", sessions.size(), uFiles, uStarts);
}

int Engine(const std::string& root, const std::string& prefix, bool bRepair, bool bTrace = false) {
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
                size_t uBroken = r.m_CorruptFileList.size();
                if (bTrace) StartTrace();
                s = RunPhase(r, true, &dRepair);
                std::printf("%.3f %zu\n", dRepair, r.m_CanNotRepairFileList.size());
                if (bTrace) PrintTrace(uBroken);
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
    if (mode == "trace" && argc == 4) return Engine(argv[2], argv[3], true, true);
    if (mode == "break" && argc == 4) return Break(argv[2], (uint32_t)std::atoi(argv[3]));
    std::fprintf(stderr, "usage: see the comment at the top of repair_bench.cpp\n");
    return 2;
}
