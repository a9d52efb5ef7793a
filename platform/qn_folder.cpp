#include "qn_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "qn_platform.h"
#include "qn_test_hooks.h"

namespace {

std::mutex& SandboxLock() {
    static std::mutex* s_p = new std::mutex;
    return *s_p;
}
std::string& Sandbox() {
    static std::string* s_p = new std::string;
    return *s_p;
}

std::string Native(const char* csz) {
    std::string s = csz ? csz : "";
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

// A test program that set a sandbox ends at once when anything outside it would be deleted.
void CheckSandbox(const std::string& strPath) {
    std::string strSandbox;
    {
        std::lock_guard<std::mutex> lock(SandboxLock());
        strSandbox = Sandbox();
    }
    if (strSandbox.empty()) return;
    std::string strAbsolute = strPath;
    if (strAbsolute.empty() || strAbsolute[0] != '/') {
        char szCwd[4096];
        strAbsolute = std::string(::getcwd(szCwd, sizeof(szCwd)) ? szCwd : "") + "/" + strAbsolute;
    }
    bool bInside = strAbsolute.compare(0, strSandbox.size() + 1, strSandbox + "/") == 0 &&
                   strAbsolute.find("/../") == std::string::npos &&
                   (strAbsolute.size() < 3 || strAbsolute.compare(strAbsolute.size() - 3, 3, "/..") != 0);
    if (!bInside) {
        std::fprintf(stderr, "deletion outside the test sandbox %s: %s\n", strSandbox.c_str(), strAbsolute.c_str());
        std::abort();
    }
}

}  // namespace

int QN_RemoveDirectoryA(const char* cszPath) {
    std::string strPath = Native(cszPath);
    CheckSandbox(strPath);
    if (::rmdir(strPath.c_str()) != 0) {
        QN_SetLastErrorFromErrno(QN_ERROR_OBJECT_FOLDER);
        return 0;
    }
    return 1;
}

int QN_DeleteFileA(const char* cszPath) {
    std::string strPath = Native(cszPath);
    CheckSandbox(strPath);
    if (::unlink(strPath.c_str()) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int QN_SetFileAttributesNormalA(const char* cszPath) {
    std::string strPath = Native(cszPath);
    struct stat st;
    if (::lstat(strPath.c_str(), &st) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    // Folders and links keep their modes; a link's target is never touched.
    if (!S_ISREG(st.st_mode)) return 1;
    if (::chmod(strPath.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) {
        QN_SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

namespace qn::testing {
void SetDeletionSandbox(const char* cszFolder) {
    std::lock_guard<std::mutex> lock(SandboxLock());
    Sandbox() = cszFolder ? cszFolder : "";
    while (Sandbox().size() > 1 && Sandbox().back() == '/') Sandbox().pop_back();
}
std::string GetDeletionSandbox() {
    std::lock_guard<std::mutex> lock(SandboxLock());
    return Sandbox();
}
}  // namespace qn::testing
