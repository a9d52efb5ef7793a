#include "qn_dl.h"

#include <dlfcn.h>
#include <locale.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

void* QN_DlOpen(const char* cszPath) {
    if (!cszPath || !*cszPath) return nullptr;
    return dlopen(cszPath, RTLD_NOW | RTLD_LOCAL);
}

void* QN_DlSym(void* pvModule, const char* cszName) {
    if (!pvModule || !cszName) return nullptr;
    return dlsym(pvModule, cszName);
}

void QN_DlClose(void* pvModule) {
    if (pvModule) dlclose(pvModule);
}

std::string QN_DlError() {
    const char* csz = dlerror();
    return csz ? csz : "";
}

std::string QN_ExecutableDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return "";
    std::string path(buf, (size_t)n);
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string QN_FormatUtf8V(const char* cszFormat, va_list args) {
    if (!cszFormat) return "";
    static locale_t s_utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    locale_t old = s_utf8 ? uselocale(s_utf8) : (locale_t)0;
    std::string out;
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = vsnprintf(small, sizeof(small), cszFormat, copy);
    va_end(copy);
    if (n >= 0 && (size_t)n < sizeof(small)) {
        out.assign(small, (size_t)n);
    } else if (n >= 0) {
        std::vector<char> big((size_t)n + 1);
        va_copy(copy, args);
        vsnprintf(big.data(), big.size(), cszFormat, copy);
        va_end(copy);
        out.assign(big.data(), (size_t)n);
    }
    if (s_utf8) uselocale(old);
    return out;
}
