// The tool's self-update: the repair server's index "qel_index.info" names the newest tool,
// its file name and its MD5; a newer tool is downloaded, checked and renamed over the running
// program, with a backup in the temporary folder to roll back to.
#pragma once

#include <functional>
#include <string>

// Downloads a URL into a folder under a file name; 1 when the file is there.
typedef std::function<int(const char* cszFileURL, const wchar_t* cwszSaveDir, const wchar_t* cwszFileName)>
    QN_SELF_UPDATE_DOWNLOAD;

class QN_SelfUpdater {
public:
    QN_SelfUpdater();

    // cszServerURL: the repair server's base URL, ending in '/'; cszTempFilePath: the folder
    // for the downloads, made when missing. 1 or 0.
    int Init(const char* cszServerURL, const char* cszTempFilePath);
    // *pnRetNeedUpdateFlag = 1 when the server's tool is newer than the running one. 1 when
    // the decision could be made.
    int CheckNeedUpdate(int* pnRetNeedUpdateFlag);
    // After CheckNeedUpdate: downloads the new tool, checks its size (not empty), its
    // MD5 and its own version (which must be newer than the running one), then puts it at the
    // running program's path with the running program's permission bits. 1 when it is there.
    int Update();

    // The download used for the index and the new tool (the whole-file download by default).
    QN_SELF_UPDATE_DOWNLOAD m_fnDownload;

private:
    int _ParseServerIndexInfoFile();
    static int _MoveFile(const char* cszSrcFile, const char* cszDstFile);

    std::string m_strServerURL;
    std::string m_strTempFilePath;
    std::string m_strLastestVersionNumber;
    std::string m_strFileName;
    std::string m_strFileMD5;
};

// The FileVersion text of a program file's version record. 1 or 0.
int QN_GetApplicationFileVersionNumber(const char* cszFileName, std::string* pstrRetVersionNumber);
// The file's MD5 as 32 lower-case hexadecimal digits into szRetMD5 (uSize bytes, at least 33).
// 1, or 0 with the buffer emptied.
int MakeFileMD5(char* szRetMD5, size_t uSize, const char* cszFilePath);
