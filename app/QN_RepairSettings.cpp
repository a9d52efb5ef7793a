// The main dialog's settings: the repair server's URL, the edition's record with its ignore
// lists, and the client's version number.
#include <cstring>

#include "QN_ClientVersion.h"
#include "QN_Log.h"
#include "QN_QelRepairDlg.h"
#include "QN_RepairClientResource.h"
#include "qn_platform.h"
#include "qn_profile.h"
#include "qn_string.h"

namespace {

const char* const kIgnoreFiles[] = {"package.ini",     "channel.ini",     "QelRepair.exe",    "QelRepairD.exe",
                                    "uninst.exe",      "gameupdater.exe", "gameupdaterD.exe", "gameupdater.ini"};
const char* const kIgnoreDirectories[] = {"data",      "maps",     "ui\\Image", "ui\\Traits",
                                          "ui\\Sound", "ui\\Video", "ui\\Config", "represent",
                                          "scripts",   "settings", "QN3DEngineData"};

// Values are read into a buffer larger than any accepted one, so that the limit applies to the
// whole value and a longer one is refused instead of being accepted cut.
const uint32_t kProfileReadSize = 1024;

}  // namespace

int QN_QelRepairDlg::_LoadSettings(const char* cszClientPath) {
    int nResult = 0;
    int nRetCode = 0;
    int nDevVersion = 0;
    uint32_t uLength = 0;
    std::string strDefault;
    char szBinPath[260];
    char szSettingsFile[260];
    char szURL[kProfileReadSize];

    QNLOG_PROCESS_ERROR(cszClientPath);
    nRetCode = QN_snprintf(szBinPath, _countof(szBinPath), "%s/bin/zhcn/", cszClientPath);
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR(nRetCode < (int)_countof(szBinPath) - 1);

    nDevVersion = QN_IsClientDevVersion(szBinPath);
    strDefault = nDevVersion ? QN_GetRepairEngineConfig().strDevNormalFileBaseURL
                             : QN_GetRepairEngineConfig().strRepairBaseURL;

    nRetCode = QN_snprintf(szSettingsFile, _countof(szSettingsFile), "%s%s", cszClientPath, "repair_settings.ini");
    szSettingsFile[_countof(szSettingsFile) - 1] = '\0';
    QNLOG_PROCESS_ERROR(nRetCode > 0);
    QNLOG_PROCESS_ERROR(nRetCode < (int)_countof(szSettingsFile));

    uLength = QN_GetPrivateProfileStringA("server", "ip", strDefault.c_str(), szURL, kProfileReadSize, szSettingsFile);
    QNLOG_PROCESS_ERROR(uLength >= 1);
    // Every URL is built by appending to the base, so it must end in '/'; the slash is added
    // when the value lacks it and there is room.
    if (szURL[uLength - 1] != '/' && uLength + 1 < kProfileReadSize) {
        szURL[uLength++] = '/';
        szURL[uLength] = '\0';
    }
    QNLOG_PROCESS_ERROR(uLength < _countof(m_szRepairServerURL));
    std::memcpy(m_szRepairServerURL, szURL, uLength + 1);
    nResult = 1;
Exit0:
    return nResult;
}

int QN_QelRepairDlg::_GetRepairVersionInfo() {
    int nResult = 0;
    int nRetCode = 0;
    int nVersionType = QN_GetClientVersionType(m_strClientPath.c_str());

    QNLOG_PROCESS_ERROR(nVersionType != QN_CLIENT_VERSION_TYPE::Invalid);
    m_VersionInfo.strVersionType = g_aClientVersionTable[nVersionType].cszVersionKey;
    m_VersionInfo.strVersionName = g_aClientVersionTable[nVersionType].cszVersionName;
    m_VersionInfo.strBinPath = std::string("bin/") + g_aClientVersionTable[nVersionType].cszBinSubFolder + "/";
    m_VersionInfo.strRepairURL = std::string(m_szRepairServerURL) + g_aClientVersionTable[nVersionType].cszUrlPart + "/";
    m_VersionInfo.uPakVersion = 3;
    nRetCode = _GetRepairIgnoreFileList(&m_VersionInfo);
    QNLOG_PROCESS_ERROR(nRetCode);
    nResult = 1;
Exit0:
    return nResult;
}

int QN_QelRepairDlg::_GetRepairIgnoreFileList(QN_REPAIR_VERSION_INFO* pVersionInfo) {
    int nResult = 0;
    QNLOG_PROCESS_ERROR(pVersionInfo);
    QNLOG_PROCESS_ERROR(pVersionInfo->uPakVersion == 3);
    pVersionInfo->IgnoreFileList.clear();
    for (const char* csz : kIgnoreFiles) pVersionInfo->IgnoreFileList.push_back(csz);
    // Emptied as well, so that a second Start does not hand every folder over twice.
    pVersionInfo->IgnoreDirectoryList.clear();
    for (const char* csz : kIgnoreDirectories) pVersionInfo->IgnoreDirectoryList.push_back(csz);
    nResult = 1;
Exit0:
    return nResult;
}

int QN_QelRepairDlg::_GetClientVersionNumber(const char* cszClientBinPath, std::string* pRetVersionNumber) {
    int nResult = 0;
    uint32_t uLength = 0;
    std::string strFile;
    char szVersion[kProfileReadSize];

    QNLOG_PROCESS_ERROR(pRetVersionNumber);
    pRetVersionNumber->clear();
    QNLOG_PROCESS_ERROR(cszClientBinPath);
    strFile = cszClientBinPath;
    if (strFile.empty() || !QN_IsPathSeparator(strFile.back())) strFile += '/';
    strFile += "version.cfg";
    uLength = QN_GetPrivateProfileStringA("Version", "Talmek.version", "", szVersion, kProfileReadSize, strFile.c_str());
    QNLOG_PROCESS_ERROR(uLength >= 1);
    QNLOG_PROCESS_ERROR(uLength < 256);
    *pRetVersionNumber = szVersion;
    nResult = 1;
Exit0:
    return nResult;
}
