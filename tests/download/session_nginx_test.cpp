// One download end to end from a real web server: nginx, started by the test on 127.0.0.1
// with its own configuration in a temporary folder.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "session_test_util.h"

extern char** environ;

namespace {

using qn::test::FirstResourceMismatch;
using qn::test::ReadFile;
using qn::test::SessionOptions;
using qn::test::SessionOutcome;
using qn::test::SessionTest;

// A port that was free a moment ago.
uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    uint16_t port = 0;
    if (bind(fd, (sockaddr*)&a, sizeof(a)) == 0 && getsockname(fd, (sockaddr*)&a, &len) == 0) port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool Accepts(uint16_t port) {
    qn::test::RawHttpClient c(port);
    return c.connected();
}

class NginxServer {
public:
    explicit NginxServer(const std::string& sDir) : m_sDir(sDir) {
        const char* szNginx = access("/usr/sbin/nginx", X_OK) == 0 ? "/usr/sbin/nginx" : "nginx";
        for (int nTry = 0; nTry < 3 && m_pid <= 0; ++nTry) {
            m_port = FreePort();
            std::ofstream conf(sDir + "/nginx.conf");
            conf << (geteuid() == 0 ? "user root;\n" : "") << "worker_processes 1;\ndaemon off;\n"
                 << "pid " << sDir << "/nginx.pid;\nerror_log " << sDir << "/error.log;\n"
                 << "events { worker_connections 64; }\n"
                 << "http {\n access_log off;\n client_body_temp_path " << sDir << "/t1;\n proxy_temp_path " << sDir
                 << "/t2;\n fastcgi_temp_path " << sDir << "/t3;\n uwsgi_temp_path " << sDir << "/t4;\n scgi_temp_path "
                 << sDir << "/t5;\n server {\n  listen 127.0.0.1:" << m_port << ";\n  root " << sDir << "/www;\n }\n}\n";
            conf.close();
            std::vector<std::string> args = {szNginx, "-p", sDir, "-c", sDir + "/nginx.conf"};
            std::vector<char*> argv;
            for (auto& s : args) argv.push_back(s.data());
            argv.push_back(nullptr);
            pid_t pid = -1;
            if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return;
            for (int i = 0; i < 300; ++i) {
                if (Accepts(m_port)) {
                    m_pid = pid;
                    break;
                }
                int st;
                if (waitpid(pid, &st, WNOHANG) == pid) break;  // it gave up (port taken?)
                usleep(10000);
            }
            if (m_pid <= 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }
    ~NginxServer() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool running() const { return m_pid > 0; }
    std::string url(const std::string& sPath) const { return "http://127.0.0.1:" + std::to_string(m_port) + sPath; }
    std::string errorLog() const { return qn::test::FileExists(m_sDir + "/error.log") ? ReadFile(m_sDir + "/error.log") : ""; }

private:
    std::string m_sDir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};

TEST_F(SessionTest, DownloadsFromNginx) {
    qn::test::TempDir web;
    const uint64_t kSize = 24 * 1024 * 1024 + 4321;
    qn::test::WriteFile(web / "www/big.bin", qn::test::ResourceBytes(0, kSize));
    NginxServer nginx(web.path());
    if (!nginx.running()) GTEST_SKIP() << "nginx could not be started here: " << nginx.errorLog();
    SessionOptions o;
    o.uConnections = 4;
    o.nDeadlineMs = 30000;
    SessionOutcome r = Run(nginx.url("/big.bin"), o);
    ASSERT_EQ(r.uStatus, (uint32_t)KDS_STATUS_SUCCEEDED) << r.uError << "/" << r.uErrorExt;
    std::string s = ReadFile(target());
    ASSERT_EQ(s.size(), kSize);
    EXPECT_EQ(FirstResourceMismatch(0, s.data(), s.size()), -1);
    EXPECT_NE(r.info.lastModified.wYear, 0);  // nginx sends Last-Modified
}

}  // namespace
