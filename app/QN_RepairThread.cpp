// The repair thread: one whole repair of the client on the dialog's worker, from the edition's
// record to the summary line, reporting through the status text, the progress and the posted
// messages only.
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "QN_ClientEnvironment.h"
#include "QN_Log.h"
#include "QN_QelRepairDlg.h"
#include "qn_platform.h"
#include "qn_string.h"

namespace {

const uint32_t kPollMs = 100;

}  // namespace

bool QN_RepairPhasePercentage(float fPackage, float fNormal, uint32_t* puRetPercentage) {
    float fPercentage = (fPackage * 0.7f + fNormal * 0.3f) * 100;
    if (!(fPercentage >= 0.0f && fPercentage < 101.0f)) return false;
    uint32_t uPercentage = (uint32_t)fPercentage;
    if (uPercentage > 100) return false;
    *puRetPercentage = uPercentage;
    return true;
}

namespace {

float PackageProgress(QN_RepairClientResource& Coordinator, bool bRepair) {
    IQN_PackageRepair* pPackageRepair = Coordinator.m_pPackageRepair;
    if (!pPackageRepair) return 0.0f;
    return bRepair ? pPackageRepair->GetRepairProgress() : pPackageRepair->GetCheckProgress();
}

}  // namespace

int QN_QelRepairDlg::_RepairThreadEntry(void* pvDialog) {
    return static_cast<QN_QelRepairDlg*>(pvDialog)->_RepairThreadFunction();
}

void QN_QelRepairDlg::_SetFormattedStatusText(const char* cszFormat, ...) {
    char szText[256];
    va_list args;
    va_start(args, cszFormat);
    // A line that does not fit is cut, never dropped.
    QN_vsnprintf(szText, sizeof(szText), cszFormat, args);
    va_end(args);
    szText[sizeof(szText) - 1] = '\0';
    _SetStatusText(szText);
}

int QN_QelRepairDlg::_RepairThreadFunction() {
    int nResult = 0;
    int nRetCode = 0;
    int nMPakFlag = 0;
    uint32_t uTotal = 0;
    uint32_t uFailed = 0;
    char szText[256];

    PostMessage(WM_DISABLE_START_BUTTON, 0, 0);
    _SetStatusText("正在修复：正在获取版本信息...");
    QNLOG_PROCESS_ERROR(!m_nExitFlag);

    nRetCode = _GetRepairVersionInfo();
    QNLOG_PROCESS_ERROR(nRetCode);
    QNLOG_PROCESS_ERROR(!m_nExitFlag);

    m_strBinPath = m_strClientPath + m_VersionInfo.strBinPath;

    nRetCode = QN_GetClientMPakFlag(m_strBinPath.c_str(), &nMPakFlag);
    if (!nRetCode || nMPakFlag) {
        _SetFormattedStatusText("修复%s失败：未下载完成的微端不能修复，等下载完成再试！",
                                m_VersionInfo.strVersionName.c_str());
        QNLOG_PROCESS_ERROR(false);
    }

    nRetCode = _RepairClientResource(&uTotal, &uFailed);
    QNLOG_PROCESS_ERROR(nRetCode);
    QNLOG_PROCESS_ERROR(!m_nExitFlag);

    nRetCode = QN_RemoveClientFiles(m_strBinPath.c_str());
    if (!nRetCode) {
        _SetFormattedStatusText("修复%s失败：删除冗余文件失败，请稍后重试！", m_VersionInfo.strVersionName.c_str());
        QNLOG_PROCESS_ERROR(false);
    }
    QNLOG_PROCESS_ERROR(!m_nExitFlag);

    _EditAllShortcut();

    QN_snprintf(szText, sizeof(szText), "修复完成：共有%u个资源损坏，成功修复%u个，失败%u个。", uTotal, uTotal - uFailed,
                uFailed);
    szText[sizeof(szText) - 1] = '\0';
    _SetStatusText(szText);
    m_bAllRepaired = uFailed == 0 ? 1 : 0;
    PostMessage(WM_UPDATE_START_BUTTON, 0, 0);
    PostMessage(WM_ENABLE_START_BUTTON, 0, 0);
    nResult = 1;
    return nResult;
Exit0:
    PostMessage(WM_ENABLE_START_BUTTON, 0, 0);
    return nResult;
}

// Sets the text of a coordinator status that ends a phase. bRepair: the repair phase, where
// status 10 has a text of its own.
void QN_QelRepairDlg::_ShowRepairFailure(int32_t nStatus, bool bRepair) {
    const char* cszName = m_VersionInfo.strVersionName.c_str();
    switch (nStatus) {
        case QN_RCRSC_ERROR_CONNECT_SERVER:
            _SetFormattedStatusText("修复%s客户端资源失败：连接服务器失败，请稍后重试！", cszName);
            return;
        case QN_RCRSC_ERROR_NORMAL_FILE:
            _SetFormattedStatusText("修复%s客户端资源失败：修复包外文件失败，请稍后重试！", cszName);
            return;
        case QN_RCRSC_ERROR_PAK_FILE:
            _SetFormattedStatusText("修复%s客户端资源失败：修复包内文件失败，请稍后重试！", cszName);
            return;
        case QN_RCRSC_ERROR_FILE_IN_USE:
            if (bRepair) {
                _SetFormattedStatusText(
                    "修复%s客户端资源失败：有客户端文件被占用.请先重启计算机,然后再次尝试修复！", cszName);
                m_nProgress = 100;
                PostMessage(WM_SET_PROGRESS, 0, 0);
                return;
            }
            break;
        default:
            break;
    }
    _SetFormattedStatusText("修复%s客户端资源失败：程序发生错误！", cszName);
    QNLog_Printf(7, "Repair client resource status: %d", (int)nStatus);
}

int QN_QelRepairDlg::_PollRepairPhase(QN_RepairClientResource& Coordinator, bool bRepair, uint32_t uTotal,
                                      int* pbInitialized) {
    const char* cszName = m_VersionInfo.strVersionName.c_str();
    const int32_t nRunning = bRepair ? QN_RCRSC_REPAIRING : QN_RCRSC_CHECKING;
    const int32_t nFinished = bRepair ? QN_RCRSC_SUCCESS_FINISH_REPAIR : QN_RCRSC_SUCCESS_FINISH_CHECK;

    while (true) {
        if (m_nExitFlag) {
            // Stopping the coordinator waits for its worker, so the status read next is final.
            Coordinator.m_nStatusCode = QN_RCRSC_ERROR_ABROT;
            Coordinator.UnInit();
            *pbInitialized = 0;
        }
        const int32_t nStatus = Coordinator.m_nStatusCode;
        if (nStatus == nFinished && *pbInitialized) return 1;
        if (nStatus != nRunning || !*pbInitialized) {
            _ShowRepairFailure(nStatus, bRepair);
            return 0;
        }
        if (bRepair) {
            _SetFormattedStatusText("正在修复%s客户端资源：共有%u个资源损坏，这可能需要很长时间，请耐心等候...", cszName,
                                    uTotal);
        } else {
            _SetFormattedStatusText("正在修复%s客户端资源：正在检测资源完整性，这可能需要很长时间，请耐心等候...",
                                    cszName);
        }
        const float fNormal =
            bRepair ? Coordinator.m_RepairNormalFile.m_fRepairProgress : Coordinator.m_RepairNormalFile.m_fCheckProgress;
        // A computation that gives no percentage (negative, above 100, not a number) keeps the
        // value shown; the progress message is posted in every cycle all the same.
        uint32_t uPercentage = UINT32_MAX;
        QN_RepairPhasePercentage(PackageProgress(Coordinator, bRepair), fNormal, &uPercentage);
        _SetProgress(uPercentage);
        QN_Sleep(kPollMs);
    }
}

int QN_QelRepairDlg::_RepairClientResource(uint32_t* puRetTotal, uint32_t* puRetFailed) {
    int nResult = 0;
    int nRetCode = 0;
    int bInitialized = 0;
    int32_t nResultStatus = QN_RCRSC_NONE;
    uint32_t uCorruptPakV3BlockCount = 0;
    time_t tStart = time(nullptr);
    QN_RepairClientResource Coordinator;
    QN_CLIENT_FILE_NAME_LIST CorruptNormalFileList;
    QN_CLIENT_FILE_NAME_LIST CanNotRepairNormalFileList;
    QN_PAK_ID_LIST CorruptPakBlockList;
    QN_PAK_ID_LIST CanNotRepairPakBlockList;
    std::string strVersionNumber;

    QNLOG_PROCESS_ERROR(puRetTotal);
    QNLOG_PROCESS_ERROR(puRetFailed);
    *puRetTotal = 0;
    *puRetFailed = 0;
    m_nProgress = 0;
    PostMessage(WM_SET_PROGRESS, 0, 0);

    nRetCode = Coordinator.Init(m_VersionInfo.strVersionType.c_str(), m_strBinPath.c_str(), m_strTempPath.c_str(),
                                m_VersionInfo.strRepairURL.c_str(), m_strClientPath.c_str(), m_VersionInfo.uPakVersion);
    QNLOG_PROCESS_ERROR(nRetCode);
    bInitialized = 1;

    for (const std::string& strName : m_VersionInfo.IgnoreFileList) {
        nRetCode = Coordinator.AddIgnoreNormalFile(strName.c_str());
        QNLOG_PROCESS_ERROR(nRetCode);
    }
    for (const std::string& strName : m_VersionInfo.IgnoreDirectoryList) {
        nRetCode = Coordinator.AddIgnoreNormalDirectory(strName.c_str());
        QNLOG_PROCESS_ERROR(nRetCode);
    }

    Coordinator.StartCheck();
    nRetCode = _PollRepairPhase(Coordinator, false, 0, &bInitialized);
    QNLOG_PROCESS_ERROR(nRetCode);

    CorruptNormalFileList = Coordinator.m_CorruptNormalFileList;
    nRetCode = Coordinator.GetAllCorruptPakBlock(&CorruptPakBlockList);
    QNLOG_PROCESS_ERROR(nRetCode);
    uCorruptPakV3BlockCount = Coordinator.m_uCorruptPakV3BlockCount;
    QNLog_Printf(6, "CorruptNormalFilesCount:%u, CorruptPakBlockCount:%u, CorruptPakV3BlockCount:%u",
                 (unsigned)CorruptNormalFileList.size(), (unsigned)CorruptPakBlockList.size(), uCorruptPakV3BlockCount);
    *puRetTotal = (uint32_t)CorruptNormalFileList.size() + (uint32_t)CorruptPakBlockList.size() + uCorruptPakV3BlockCount;
    nResultStatus = QN_RCRSC_SUCCESS_FINISH_CHECK;

    if (*puRetTotal > 0) {
        Coordinator.StartRepair();
        nRetCode = _PollRepairPhase(Coordinator, true, *puRetTotal, &bInitialized);
        QNLOG_PROCESS_ERROR(nRetCode);
        nRetCode = Coordinator.GetCanNotRepairNormalFile(&CanNotRepairNormalFileList);
        QNLOG_PROCESS_ERROR(nRetCode);
        nRetCode = Coordinator.GetCanNotRepairPakBlock(&CanNotRepairPakBlockList);
        QNLOG_PROCESS_ERROR(nRetCode);
        // One entry per ordinary file and per package element left broken; never more than
        // were found, so the summary cannot show a negative success.
        *puRetFailed = (uint32_t)CanNotRepairNormalFileList.size() + (uint32_t)CanNotRepairPakBlockList.size();
        if (*puRetFailed > *puRetTotal) *puRetFailed = *puRetTotal;
        nResultStatus = QN_RCRSC_SUCCESS_FINISH_REPAIR;
    }

    QNLog_Printf(6, "It costs %d seconds to repair the version %s.", (int)(time(nullptr) - tStart),
                 m_VersionInfo.strVersionType.c_str());
    _GetClientVersionNumber(m_strBinPath.c_str(), &strVersionNumber);
    _PostRepairResult(m_VersionInfo.strVersionType.c_str(), strVersionNumber.c_str(), nResultStatus,
                      CorruptNormalFileList, CanNotRepairNormalFileList, uCorruptPakV3BlockCount,
                      CanNotRepairPakBlockList);
    m_nProgress = 100;
    PostMessage(WM_SET_PROGRESS, 0, 0);
    nResult = 1;
Exit0:
    if (bInitialized) Coordinator.UnInit();
    return nResult;
}
