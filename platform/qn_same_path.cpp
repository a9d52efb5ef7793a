#include "qn_same_path.h"

#include <sys/stat.h>

#include <string>

#include "qn_file.h"

namespace {

// '\\' read as '/', the separators at the end dropped (a root keeps its one '/').
std::string PathText(const char* csz) {
    std::string s = QN_NativePath(csz);
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

bool QN_IsSamePath(const char* cszA, const char* cszB) {
    if (!cszA || !cszB) return false;
    const std::string strA = PathText(cszA);
    const std::string strB = PathText(cszB);
    if (strA == strB) return true;
    struct stat stA, stB;
    if (::stat(strA.c_str(), &stA) != 0 || ::stat(strB.c_str(), &stB) != 0) return false;
    return stA.st_dev == stB.st_dev && stA.st_ino == stB.st_ino;
}
