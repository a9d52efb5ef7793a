#include "QN_SelfUpdater.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "QN_HttpTransfer.h"
#include "QN_Log.h"
#include "QN_MD5.h"
#include "QN_VersionNumber.h"
#include "qn_file.h"
#include "qn_file_replace.h"
#include "qn_folder.h"
#include "qn_platform.h"
#include "qn_process.h"
#include "qn_profile.h"
#include "qn_string.h"
#include "qn_version_info.h"

namespace {

const char kIndexFileName[] = "qel_index.info";
const char kSection[] = "SelfUpdate";
const char kBackupName[] = "QelRepair.exe.bak";
// Values are read into a buffer larger than any accepted one, so that a longer value is
// refused, not accepted cut.
const uint32_t kProfileReadSize = 1024;
const uint32_t kValueLimit = 256;

int ReadIndexValue(const char* cszKey, const char* cszFile, std::string* pRetValue) {
    int nResult = 0;
    uint32_t uLength = 0;
    char szBuffer[kProfileReadSize];

    uLength = QN_GetPrivateProfileStringA(kSection, cszKey, "", szBuffer, kProfileReadSize, cszFile);
    QNLOG_PROCESS_ERROR(uLength > 0);
    QNLOG_PROCESS_ERROR(uLength < kValueLimit);
    *pRetValue = szBuffer;
    nResult = 1;
Exit0:
    return nResult;
}

int DefaultDownload(const char* cszFileURL, const wchar_t* cwszSaveDir, const wchar_t* cwszFileName) {
    return _QN_HttpSyncDownloadFile(cszFileURL, cwszSaveDir, cwszFileName);
}

}  // namespace

QN_SelfUpdater::QN_SelfUpdater() : m_fnDownload(&DefaultDownload) {}

int QN_SelfUpdater::Init(const char* cszServerURL, const char* cszTempFilePath) {
    int nResult = 0;
    int nRetCode = 0;

    QNLOG_PROCESS_ERROR(cszServerURL);
    QNLOG_PROCESS_ERROR(cszServerURL[0]);
    QNLOG_PROCESS_ERROR(cszTempFilePath);
    QNLOG_PROCESS_ERROR(cszTempFilePath[0]);
    m_strServerURL = cszServerURL;
    m_strTempFilePath = cszTempFilePath;
    if (!QN_IsPathSeparator(m_strTempFilePath.back())) m_strTempFilePath += '/';
    // An existing folder counts as made.
    nRetCode = QN_mkdir(m_strTempFilePath.c_str());
    QNLOG_PROCESS_ERROR(nRetCode == 1 || QN_GetLastError() == ERROR_ALREADY_EXISTS);
    nResult = 1;
Exit0:
    return nResult;
}

int QN_SelfUpdater::CheckNeedUpdate(int* pnRetNeedUpdateFlag) {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uLength = 0;
    std::string strSelfVersion;
    QN_VersionNumber SelfVersionNumber;
    QN_VersionNumber LastVersionNumber;
    char szApplicationName[260];

    QNLOG_PROCESS_ERROR(pnRetNeedUpdateFlag);
    uLength = QN_GetModuleFileNameA(nullptr, szApplicationName, (uint32_t)_countof(szApplicationName));
    QNLOG_PROCESS_ERROR(uLength > 0);
    QNLOG_PROCESS_ERROR(uLength < _countof(szApplicationName));

    nRetCode = QN_GetApplicationFileVersionNumber(szApplicationName, &strSelfVersion);
    QNLOG_PROCESS_ERROR(nRetCode && "QN_GetApplicationFileVersionNumber()");
    nRetCode = _ParseServerIndexInfoFile();
    QNLOG_PROCESS_ERROR(nRetCode && "_ParseServerIndexInfoFile()");

    nRetCode = SelfVersionNumber.ParseString(strSelfVersion.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "SelfVersionNumber.ParseString()");
    nRetCode = LastVersionNumber.ParseString(m_strLastestVersionNumber.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "LastVersionNumber.ParseString()");

    *pnRetNeedUpdateFlag = SelfVersionNumber < LastVersionNumber ? 1 : 0;
    nResult = 1;
Exit0:
    return nResult;
}

int QN_SelfUpdater::_ParseServerIndexInfoFile() {
    int nResult = 0;
    int nRetCode = 0;
    std::string strURL = m_strServerURL + kIndexFileName;
    std::string strIndexFile = m_strTempFilePath + kIndexFileName;
    std::string strValue;

    nRetCode = m_fnDownload(strURL.c_str(), QN_Utf8ToWide(m_strTempFilePath).c_str(), QN_Utf8ToWide(kIndexFileName).c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "QN_HttpSyncDownloadFileForceRefresh()");

    nRetCode = ReadIndexValue("LastestVersionNumber", strIndexFile.c_str(), &strValue);
    QNLOG_PROCESS_ERROR(nRetCode);
    m_strLastestVersionNumber = strValue;

    nRetCode = ReadIndexValue("FileName", strIndexFile.c_str(), &strValue);
    QNLOG_PROCESS_ERROR(nRetCode);
    // The name becomes a path in the temporary folder: only a bare file name stays there.
    nRetCode = QN_IsBareFileName(strValue.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "QN_IsBareFileName(FileName)");
    m_strFileName = strValue;

    nRetCode = ReadIndexValue("FileMD5", strIndexFile.c_str(), &strValue);
    QNLOG_PROCESS_ERROR(nRetCode);
    m_strFileMD5 = strValue;
    nResult = 1;
Exit0:
    QN_SetFileAttributesNormalA(strIndexFile.c_str());
    QN_DeleteFileA(strIndexFile.c_str());
    return nResult;
}

int QN_SelfUpdater::Update() {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uLength = 0;
    uint32_t uMode = 0;
    std::string strNewFileURL;
    std::string strNewFile;
    std::string strBackupFile = m_strTempFilePath + kBackupName;
    std::string strSelfVersion;
    std::string strNewVersion;
    QN_VersionNumber SelfVersionNumber;
    QN_VersionNumber NewVersionNumber;
    FILE* fp = nullptr;
    int64_t llSize = 0;
    char szMD5[64];
    char szApplicationName[260];

    QNLOG_PROCESS_ERROR(!m_strFileName.empty());
    QNLOG_PROCESS_ERROR(QN_IsBareFileName(m_strFileName.c_str()));
    strNewFileURL = m_strServerURL + m_strFileName;
    strNewFile = m_strTempFilePath + m_strFileName;

    nRetCode = m_fnDownload(strNewFileURL.c_str(), QN_Utf8ToWide(m_strTempFilePath).c_str(),
                            QN_Utf8ToWide(m_strFileName).c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "QN_HttpSyncDownloadFileForceRefresh()");

    // An empty download is no program, whatever digest the index names.
    fp = QN_fopen(strNewFile.c_str(), "rb");
    QNLOG_PROCESS_ERROR(fp);
    nRetCode = QN_fseeki64(fp, 0, SEEK_END);
    llSize = QN_ftelli64(fp);
    std::fclose(fp);
    QNLOG_PROCESS_ERROR(nRetCode == 0 && llSize > 0);

    nRetCode = MakeFileMD5(szMD5, sizeof(szMD5), strNewFile.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "MakeFileMD5()");
    nRetCode = QN_StrICmp(szMD5, m_strFileMD5.c_str());
    QNLOG_PROCESS_ERROR(nRetCode == 0 && "Error MD5.");

    uLength = QN_GetModuleFileNameA(nullptr, szApplicationName, (uint32_t)_countof(szApplicationName));
    QNLOG_PROCESS_ERROR(uLength > 0);
    QNLOG_PROCESS_ERROR(uLength < _countof(szApplicationName));

    // A new file that is not newer than the running program would be offered again by the next
    // start, and so on without end: it is refused before anything moves.
    nRetCode = QN_GetApplicationFileVersionNumber(szApplicationName, &strSelfVersion);
    QNLOG_PROCESS_ERROR(nRetCode && "QN_GetApplicationFileVersionNumber()");
    nRetCode = QN_GetApplicationFileVersionNumber(strNewFile.c_str(), &strNewVersion);
    QNLOG_PROCESS_ERROR(nRetCode && "QN_GetApplicationFileVersionNumber(new file)");
    QNLOG_PROCESS_ERROR(SelfVersionNumber.ParseString(strSelfVersion.c_str()));
    QNLOG_PROCESS_ERROR(NewVersionNumber.ParseString(strNewVersion.c_str()));
    QNLOG_PROCESS_ERROR(SelfVersionNumber < NewVersionNumber && "new file newer than the running program");

    // The download has no execute bit: it takes the running program's bits, or neither the
    // restart nor any later start could run it.
    nRetCode = QN_GetRegularFileMode(szApplicationName, &uMode);
    QNLOG_PROCESS_ERROR(nRetCode);
    nRetCode = QN_SetFileMode(strNewFile.c_str(), uMode);
    QNLOG_PROCESS_ERROR(nRetCode);

    nRetCode = _MoveFile(szApplicationName, strBackupFile.c_str());
    QNLOG_PROCESS_ERROR(nRetCode && "_MoveFile()");

    nRetCode = _MoveFile(strNewFile.c_str(), szApplicationName);
    if (!nRetCode) {
        QNLOG_CHECK_ERROR(nRetCode && "_MoveFile()");
        _MoveFile(strBackupFile.c_str(), szApplicationName);
        goto Exit0;
    }
    nResult = 1;
Exit0:
    return nResult;
}

int QN_SelfUpdater::_MoveFile(const char* cszSrcFile, const char* cszDstFile) {
    int nResult = 0;
    QN_SetFileAttributesNormalA(cszDstFile);
    for (int i = 0; i < 3; ++i) {
        if (QN_MoveFileReplaceA(cszSrcFile, cszDstFile)) return 1;
        QN_Sleep(500);
    }
    {
        uint32_t uError = QN_GetLastError();
        QNLOG_PROCESS_ERROR(false);
    Exit0:
        QNLog_Printf(7, "Failed to move file `%s` to `%s`, Error code : %d.", cszSrcFile, cszDstFile, (int)uError);
    }
    return nResult;
}

int QN_GetApplicationFileVersionNumber(const char* cszFileName, std::string* pstrRetVersionNumber) {
    int nResult = 0;
    int nRetCode = 0;
    uint32_t uHandle = 0;
    uint32_t dwVersionInfoSize = 0;
    uint32_t uLength = 0;
    void* pvValue = nullptr;
    const uint8_t* pbyTranslation = nullptr;
    std::vector<uint8_t> VersionInfo;
    uint8_t* pbyVersionInfo = nullptr;
    char szSubBlock[128];

    QNLOG_PROCESS_ERROR(cszFileName);
    QNLOG_PROCESS_ERROR(cszFileName[0]);
    QNLOG_PROCESS_ERROR(pstrRetVersionNumber);
    dwVersionInfoSize = QN_GetFileVersionInfoSizeA(cszFileName, &uHandle);
    QNLOG_PROCESS_ERROR(dwVersionInfoSize);
    VersionInfo.resize(dwVersionInfoSize);
    pbyVersionInfo = VersionInfo.data();
    QNLOG_PROCESS_ERROR(pbyVersionInfo);
    nRetCode = QN_GetFileVersionInfoA(cszFileName, uHandle, dwVersionInfoSize, pbyVersionInfo);
    QNLOG_PROCESS_ERROR(nRetCode && "GetFileVersionInfo()");
    nRetCode = QN_VerQueryValueA(pbyVersionInfo, "\\VarFileInfo\\Translation", &pvValue, &uLength);
    QNLOG_PROCESS_ERROR(nRetCode && "VerQueryValue(Translation)");
    QNLOG_PROCESS_ERROR(uLength >= 4);
    pbyTranslation = static_cast<const uint8_t*>(pvValue);
    nRetCode = QN_snprintf(szSubBlock, sizeof(szSubBlock), "\\StringFileInfo\\%04x%04x\\FileVersion",
                           (unsigned)(pbyTranslation[0] | (pbyTranslation[1] << 8)),
                           (unsigned)(pbyTranslation[2] | (pbyTranslation[3] << 8)));
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR(nRetCode < (int)_countof(szSubBlock));
    nRetCode = QN_VerQueryValueA(pbyVersionInfo, szSubBlock, &pvValue, &uLength);
    QNLOG_PROCESS_ERROR(nRetCode && "VerQueryValue(FileInfo)");
    *pstrRetVersionNumber = static_cast<const char*>(pvValue);
    nResult = 1;
Exit0:
    if (!nResult)
        QNLog_Printf(7, "Failed to get version number for file `%s`, Error code: %d.", cszFileName ? cszFileName : "",
                     (int)QN_GetLastError());
    return nResult;
}

int MakeFileMD5(char* szRetMD5, size_t uSize, const char* cszFilePath) {
    FILE* fp = nullptr;
    QN_MD5_CTX Context;
    uint8_t abyDigest[QN_MD5_DIGEST_SIZE];
    uint8_t abyBuffer[2048];

    if (!szRetMD5 || uSize == 0) return 0;
    szRetMD5[0] = '\0';
    if (uSize < 2 * QN_MD5_DIGEST_SIZE + 1 || !cszFilePath) return 0;
    fp = QN_fopen(cszFilePath, "rb");
    if (!fp) return 0;
    MD5Init(&Context);
    while (true) {
        size_t uRead = std::fread(abyBuffer, 1, sizeof(abyBuffer), fp);
        if (uRead < sizeof(abyBuffer) && std::ferror(fp)) {
            std::fclose(fp);
            return 0;
        }
        if (uRead > 0) MD5Update(&Context, abyBuffer, (int)uRead);
        if (uRead < sizeof(abyBuffer)) break;
    }
    std::fclose(fp);
    MD5Final(&Context, abyDigest);
    for (int i = 0; i < QN_MD5_DIGEST_SIZE; ++i) QN_snprintf(szRetMD5 + 2 * i, 3, "%02x", abyDigest[i]);
    return 1;
}
