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

bool QN_IsInFolderByIdentity(const char* cszPath, const char* cszFolder) {
    if (!cszPath || !cszFolder || !cszFolder[0]) return false;
    struct stat stFolder;
    if (::stat(PathText(cszFolder).c_str(), &stFolder) != 0 || !S_ISDIR(stFolder.st_mode)) return false;
    std::string strPath(cszPath);
    for (char& c : strPath)
        if (c == '\\') c = '/';
    // Each folder on the way, from the outermost: the text before each separator ("/" for the
    // root of an absolute path).
    for (size_t uPos = strPath.find('/'); uPos != std::string::npos; uPos = strPath.find('/', uPos + 1)) {
        const std::string strStep = uPos == 0 ? std::string("/") : strPath.substr(0, uPos);
        struct stat st;
        if (::stat(strStep.c_str(), &st) == 0 && st.st_dev == stFolder.st_dev && st.st_ino == stFolder.st_ino)
            return true;
    }
    return false;
}
