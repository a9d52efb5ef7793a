#include "QN_ClientEnvironment.h"

#include <vector>

#include "QN_Log.h"
#include "qn_file.h"
#include "qn_folder.h"
#include "qn_platform.h"

namespace {

// The parts of a path between separators, without empty ones.
std::vector<std::string> PathParts(const char* csz) {
    std::vector<std::string> parts;
    std::string strPart;
    for (const char* p = csz; ; ++p) {
        if (!*p || QN_IsPathSeparator(*p)) {
            if (!strPart.empty()) parts.push_back(strPart);
            strPart.clear();
            if (!*p) break;
        } else {
            strPart.push_back(*p);
        }
    }
    return parts;
}

}  // namespace

bool QN_IsFileSystemRoot(const char* cszPath) {
    if (!cszPath || !cszPath[0]) return false;
    std::string s = cszPath;
    size_t i = 0;
    if (s.size() >= 2 && s[1] == ':' && ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'))) i = 2;
    for (; i < s.size(); ++i)
        if (!QN_IsPathSeparator(s[i])) return false;
    return true;
}

bool QN_IsPathWithin(const char* cszPath, const char* cszWithin) {
    if (!cszPath || !cszWithin || !cszWithin[0] || QN_IsFileSystemRoot(cszWithin)) return false;
    // Both must be absolute, or both relative, to be compared at all.
    if (QN_IsPathSeparator(cszPath[0]) != QN_IsPathSeparator(cszWithin[0])) return false;
    std::vector<std::string> path = PathParts(cszPath), within = PathParts(cszWithin);
    for (const std::string& s : path)
        if (s == ".." || s == ".") return false;
    for (const std::string& s : within)
        if (s == ".." || s == ".") return false;
    if (within.empty() || path.size() < within.size()) return false;
    for (size_t i = 0; i < within.size(); ++i)
        if (path[i] != within[i]) return false;
    return true;
}

int _RemoveDirectory(const char* cszPath, const char* cszWithin) {
    int nResult = 0;
    int nRetCode = 0;
    std::string strFolder;
    std::vector<QN_FOLDER_ENTRY> entries;

    QNLOG_PROCESS_ERROR(cszPath);
    QNLOG_PROCESS_ERROR(cszPath[0]);
    QNLOG_PROCESS_ERROR(!QN_IsFileSystemRoot(cszPath));
    QNLOG_PROCESS_ERROR(QN_IsPathWithin(cszPath, cszWithin));
    strFolder = cszPath;
    if (!QN_IsPathSeparator(strFolder.back())) strFolder += '/';
    if (!QN_PathFileExistsA(strFolder.c_str())) {
        nResult = 1;
        goto Exit0;
    }
    nRetCode = QN_ListFolder(strFolder.c_str(), &entries);
    QNLOG_PROCESS_ERROR(nRetCode);
    for (const QN_FOLDER_ENTRY& entry : entries) {
        std::string strEntry = strFolder + entry.strName;
        if (entry.bFolder) {
            if (entry.strName[0] != '.') _RemoveDirectory(strEntry.c_str(), cszWithin);
            continue;
        }
        QN_SetFileAttributesNormalA(strEntry.c_str());
        QN_DeleteFileA(strEntry.c_str());
    }
    QN_RemoveDirectoryA(strFolder.c_str());
    nResult = 1;
Exit0:
    return nResult;
}

int QN_RemoveClientFiles(const char* cszClientBinPath) {
    int nResult = 0;
    std::string strBin;
    std::string strMemory;

    QNLOG_PROCESS_ERROR(cszClientBinPath);
    QNLOG_PROCESS_ERROR(cszClientBinPath[0]);
    strBin = cszClientBinPath;
    if (!QN_IsPathSeparator(strBin.back())) strBin += '/';
    strMemory = strBin + "QelClient.memory";
    QN_SetFileAttributesNormalA(strMemory.c_str());
    QN_DeleteFileA(strMemory.c_str());
    _RemoveDirectory((strBin + "update").c_str(), cszClientBinPath);
    _RemoveDirectory((strBin + "update_extend").c_str(), cszClientBinPath);
    nResult = 1;
Exit0:
    return nResult;
}
