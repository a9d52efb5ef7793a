#include "QN_RepairClientResource.h"

#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "QN_Log.h"
#include "QN_LogStream.h"
#include "QN_MakeSureDir.h"
#include "qn_profile.h"
#include "qn_string.h"
#include "repair_test_hooks.h"

namespace {

constexpr uint32_t kPollIntervalMs = 100;
// The package folder and the package repair URL are wide texts of at most 259 characters.
constexpr size_t kMaxWideText = 259;
const wchar_t kPackageFolderName[] = L"pakV3";
const char kPackageRepairFolder[] = "PakV3Repair";

std::mutex& ConfigLock() {
    static std::mutex* s_pLock = new std::mutex;
    return *s_pLock;
}

QN_RepairEngineConfig& Config() {
    static QN_RepairEngineConfig* s_pConfig = new QN_RepairEngineConfig;
    return *s_pConfig;
}

std::atomic<qn::testing::PackageRepairFactory> g_pfnFactoryOverride{nullptr};

HRESULT CreatePackageRepair(const wchar_t* pcszFolder, const wchar_t* pcszURL, IQN_PackageRepair** ppRet,
                            const wchar_t* pcszTempFolder) {
    qn::testing::PackageRepairFactory pfn = g_pfnFactoryOverride.load(std::memory_order_acquire);
    return pfn ? pfn(pcszFolder, pcszURL, ppRet) : QN_CreatePackageV3Repair(pcszFolder, pcszURL, ppRet, pcszTempFolder);
}

bool IsFinal(int32_t nStatus) { return nStatus == 4 || nStatus >= 5; }

}  // namespace

namespace qn::testing {
void SetPackageRepairFactory(PackageRepairFactory pfnFactory) {
    g_pfnFactoryOverride.store(pfnFactory, std::memory_order_release);
}
}  // namespace qn::testing

QN_RepairEngineConfig QN_GetRepairEngineConfig() {
    std::lock_guard<std::mutex> lock(ConfigLock());
    return Config();
}

void QN_SetRepairEngineConfig(const QN_RepairEngineConfig& config) {
    std::lock_guard<std::mutex> lock(ConfigLock());
    Config() = config;
}

int QN_IsClientDevVersion(const char* cszClientPath) {
    if (!cszClientPath) return 0;
    std::string strFile = std::string(cszClientPath) + "/gameupdater.ini";
    return (int)QN_GetPrivateProfileIntA("DevVersionInfo", "IsDevVersion", 0, strFile.c_str());
}

QN_RepairClientResource::FoldResult QN_RepairClientResource::FoldCheck(int32_t N, int32_t P, int32_t nOwn) {
    if (N == QN_RFSC_SUCCESS_FINISH_CHECK && P == QN_RPS_SUCCESS_FINISH_CHECK)
        return {FOLD_SUCCESS, QN_RCRSC_SUCCESS_FINISH_CHECK};
    if (N >= QN_RFSC_ERROR_FAILED && nOwn < QN_RCRSC_ERROR_FAILED)
        return {FOLD_FAILURE, N == QN_RFSC_ERROR_DOWNLOAD ? QN_RCRSC_ERROR_CONNECT_SERVER : QN_RCRSC_ERROR_NORMAL_FILE};
    if (P >= QN_RPS_ERROR_FAILED && nOwn < QN_RCRSC_ERROR_FAILED)
        return {FOLD_FAILURE, P == QN_RPS_ERROR_DOWNLOAD ? QN_RCRSC_ERROR_CONNECT_SERVER : QN_RCRSC_ERROR_PAK_FILE};
    return {FOLD_WAIT, nOwn};
}

QN_RepairClientResource::FoldResult QN_RepairClientResource::FoldRepair(int32_t N, int32_t P) {
    if (N == QN_RFSC_ERROR_FILE_IN_USE) return {FOLD_FAILURE, QN_RCRSC_ERROR_FILE_IN_USE};
    if (!IsFinal(N) || !IsFinal(P)) return {FOLD_WAIT, QN_RCRSC_REPAIRING};
    if (P == QN_RPS_ERROR_DOWNLOAD) return {FOLD_FAILURE, QN_RCRSC_ERROR_CONNECT_SERVER};
    if (N >= QN_RFSC_ERROR_FAILED)
        return {FOLD_FAILURE, N == QN_RFSC_ERROR_DOWNLOAD ? QN_RCRSC_ERROR_CONNECT_SERVER : QN_RCRSC_ERROR_NORMAL_FILE};
    if (P >= QN_RPS_ERROR_FAILED) return {FOLD_FAILURE, QN_RCRSC_ERROR_PAK_FILE};
    return {FOLD_SUCCESS, QN_RCRSC_SUCCESS_FINISH_REPAIR};
}

QN_RepairClientResource::QN_RepairClientResource()
    : m_nStatusCode(QN_RCRSC_NONE), m_pPackageRepair(nullptr), m_uCorruptPakV3BlockCount(0), m_uPakVersion(0) {}

QN_RepairClientResource::~QN_RepairClientResource() { m_WorkThread.Wait(); }

int QN_RepairClientResource::Init(const char* cszVersionType, const char* cszClientPath, const char* cszTempFilePath,
                                  const char* cszURLPrefix, const char* cszClientRoot, uint32_t uPakVersion) {
    int nResult = 0;
    int nRetCode = 0;
    HRESULT hrRetCode = E_FAIL;
    bool bNormalFileInit = false;
    QN_PlatformLogAdapter* pPlatformAdapter = nullptr;
    std::wstring wsPackageFolder;
    std::wstring wsPackageRepairURL;

    QNLOG_PROCESS_ERROR(cszVersionType);
    QNLOG_PROCESS_ERROR(cszVersionType[0]);
    QNLOG_PROCESS_ERROR(cszClientPath);
    QNLOG_PROCESS_ERROR(cszClientPath[0]);
    QNLOG_PROCESS_ERROR(cszTempFilePath);
    QNLOG_PROCESS_ERROR(cszTempFilePath[0]);
    QNLOG_PROCESS_ERROR(cszURLPrefix);
    QNLOG_PROCESS_ERROR(cszURLPrefix[0]);

    m_strVersionType = cszVersionType;
    m_uPakVersion = uPakVersion;
    m_strClientPath = cszClientPath;
    if (!QN_IsPathSeparator(m_strClientPath.back())) m_strClientPath.push_back('\\');

    nRetCode = m_RepairNormalFile.Init(cszClientPath, cszTempFilePath, cszURLPrefix);
    QNLOG_PROCESS_ERROR(nRetCode && "m_RepairNormalFile.Init()");
    bNormalFileInit = true;

    QNLOG_PROCESS_ERROR(m_uPakVersion == 3);

    // The root's "pakV3" folder; the root comes with its trailing separator.
    if (cszClientRoot) wsPackageFolder = QN_Utf8ToWide(cszClientRoot) + kPackageFolderName;
    nRetCode = cszClientRoot && wsPackageFolder.size() <= kMaxWideText;
    QNLOG_PROCESS_ERROR(nRetCode);

    QN_MakeSureDirForFile(cszClientPath);

    pPlatformAdapter = new (std::nothrow) QN_PlatformLogAdapter;
    QNLOG_PROCESS_ERROR(pPlatformAdapter);
    gs_hLogStream = QN_RegisterLogStream(pPlatformAdapter);
    QNLOG_PROCESS_ERROR(gs_hLogStream);
    // The registry holds its own reference from now on.
    pPlatformAdapter->Release();
    pPlatformAdapter = nullptr;

    if (QN_IsClientDevVersion(cszClientPath))
        wsPackageRepairURL = QN_Utf8ToWide(QN_GetRepairEngineConfig().strDevPackageRepairURL);
    else
        wsPackageRepairURL = QN_Utf8ToWide(std::string(cszURLPrefix) + "/" + kPackageRepairFolder + "/");
    nRetCode = !wsPackageRepairURL.empty() && wsPackageRepairURL.size() <= kMaxWideText ? (int)wsPackageRepairURL.size() : -1;
    QNLOG_PROCESS_ERROR(nRetCode > 0);

    // The package repairer downloads its folder files into the run's temporary folder too.
    hrRetCode = CreatePackageRepair(wsPackageFolder.c_str(), wsPackageRepairURL.c_str(), &m_pPackageRepair,
                                    QN_Utf8ToWide(cszTempFilePath).c_str());
    QNLOG_COM_PROCESS_ERROR(hrRetCode);
    QNLOG_PROCESS_ERROR(m_pPackageRepair);

    m_nStatusCode.store(QN_RCRSC_NONE, std::memory_order_release);
    nResult = 1;
Exit0:
    if (!nResult) {
        m_nStatusCode.store(QN_RCRSC_ERROR_FAILED, std::memory_order_release);
        if (bNormalFileInit) m_RepairNormalFile.UnInit();
        if (m_pPackageRepair) {
            m_pPackageRepair->Release();
            m_pPackageRepair = nullptr;
        }
        // An adapter the registry did not take is given back here.
        if (pPlatformAdapter) pPlatformAdapter->Release();
        if (gs_hLogStream) {
            QN_UnregisterLogStream();
            gs_hLogStream = nullptr;
        }
    }
    return nResult;
}

int QN_RepairClientResource::AddIgnoreNormalFile(const char* cszFileName) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(cszFileName);
    QNLOG_PROCESS_ERROR(cszFileName[0]);
    m_IgnoreNormalFileList.push_back(cszFileName);

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RCRSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairClientResource::AddIgnoreNormalDirectory(const char* cszDirectoryName) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(cszDirectoryName);
    QNLOG_PROCESS_ERROR(cszDirectoryName[0]);
    m_IgnoreNormalDirectoryList.push_back(cszDirectoryName);

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RCRSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairClientResource::StartCheck() {
    int nResult = 0;
    QN_REPAIR_PHASE_START eStart =
        QN_StartRepairPhase(&m_nStatusCode, QN_RCRSC_CHECKING, nullptr, &m_WorkThread, _CheckThreadFunction, this);

    QNLOG_PROCESS_ERROR_TEXT(eStart == QN_REPAIR_PHASE_START::STARTED, "nRetCode && \"m_WorkThread.Create(_CheckThreadFunction)\"");

    nResult = 1;
Exit0:
    return nResult;
}

int QN_RepairClientResource::StartRepair() {
    int nResult = 0;
    QN_REPAIR_PHASE_START eStart =
        QN_StartRepairPhase(&m_nStatusCode, QN_RCRSC_REPAIRING, nullptr, &m_WorkThread, _RepairThreadFunction, this);

    QNLOG_PROCESS_ERROR_TEXT(eStart != QN_REPAIR_PHASE_START::REFUSED, "m_nStatusCode == QN_RCRSC_SUCCESS_FINISH_CHECK");
    QNLOG_PROCESS_ERROR_TEXT(eStart == QN_REPAIR_PHASE_START::STARTED, "nRetCode");

    nResult = 1;
Exit0:
    return nResult;
}

int QN_RepairClientResource::GetCanNotRepairNormalFile(QN_CLIENT_FILE_NAME_LIST* pRetFileNameList) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(pRetFileNameList);
    if (pRetFileNameList != &m_CanNotRepairNormalFileList) *pRetFileNameList = m_CanNotRepairNormalFileList;

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RCRSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairClientResource::GetAllCorruptPakBlock(QN_PAK_ID_LIST* pRetPakIDList) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(pRetPakIDList);
    if (pRetPakIDList != &m_CorruptPakBlockList) *pRetPakIDList = m_CorruptPakBlockList;

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RCRSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairClientResource::GetCanNotRepairPakBlock(QN_PAK_ID_LIST* pRetPakIDList) {
    int nResult = 0;

    QNLOG_PROCESS_ERROR(pRetPakIDList);
    if (pRetPakIDList != &m_CanNotRepairPakBlockList) *pRetPakIDList = m_CanNotRepairPakBlockList;

    nResult = 1;
Exit0:
    if (!nResult) m_nStatusCode.store(QN_RCRSC_ERROR_FAILED, std::memory_order_release);
    return nResult;
}

int QN_RepairClientResource::UnInit() {
    m_nStatusCode.store(QN_RCRSC_ERROR_ABROT, std::memory_order_release);
    m_WorkThread.Wait();
    if (m_pPackageRepair) {
        // The last release waits for a running phase without stopping it: stop it first.
        m_pPackageRepair->Stop();
        m_pPackageRepair->Release();
        m_pPackageRepair = nullptr;
    }
    if (gs_hLogStream) {
        QN_UnregisterLogStream();
        gs_hLogStream = nullptr;
    }
    m_RepairNormalFile.UnInit();
    return 1;
}

int QN_RepairClientResource::_CheckThreadFunction(void* pvParam) {
    return static_cast<QN_RepairClientResource*>(pvParam)->_CheckFunction();
}

int QN_RepairClientResource::_RepairThreadFunction(void* pvParam) {
    return static_cast<QN_RepairClientResource*>(pvParam)->_RepairFunction();
}

int QN_RepairClientResource::_CheckFunction() {
    int nResult = 0;
    int nRetCode = 0;
    int32_t N = 0, P = 0, nOwn = 0;
    FoldResult Fold = {FOLD_WAIT, 0};
    bool bStop = false;

    m_RepairNormalFile.ClearIgnoreFileList();
    for (const std::string& strFile : m_IgnoreNormalFileList) {
        nRetCode = m_RepairNormalFile.AddIgnoreFile(strFile.c_str());
        QNLOG_PROCESS_ERROR(nRetCode && "m_RepairNormalFile.AddIgnoreFile()");
    }
    for (const std::string& strDir : m_IgnoreNormalDirectoryList) {
        nRetCode = m_RepairNormalFile.AddIgnoreDirectory(strDir.c_str());
        QNLOG_PROCESS_ERROR(nRetCode && "m_RepairNormalFile.AddIgnoreDirectory()");
    }

    m_RepairNormalFile.StartCheck();
    m_pPackageRepair->StartCheck();

    bStop = m_nStatusCode == QN_RCRSC_ERROR_ABROT;
    while (!bStop) {
        N = m_RepairNormalFile.m_nStatusCode.load(std::memory_order_acquire);
        P = m_pPackageRepair->GetStatusCode();
        nOwn = m_nStatusCode.load(std::memory_order_acquire);
        Fold = FoldCheck(N, P, nOwn);
        if (Fold.eAction == FOLD_SUCCESS) {
            nRetCode = m_RepairNormalFile.GetCorrputFileList(&m_CorruptNormalFileList);
            QNLOG_PROCESS_ERROR(nRetCode && "m_RepairNormalFile.GetCorrputFileList()");
            m_uCorruptPakV3BlockCount = m_pPackageRepair->GetBrokenElemFileCount();
            QNLOG_PROCESS_ERROR(QN_RaiseRepairStatus(&m_nStatusCode, QN_RCRSC_SUCCESS_FINISH_CHECK));
            nResult = 1;
            goto Exit0;
        }
        if (Fold.eAction == FOLD_FAILURE) {
            QN_RaiseRepairStatus(&m_nStatusCode, Fold.nStatus);
            // The ordinary-file repairer's failure is looked at first.
            if (N >= QN_RFSC_ERROR_FAILED) {
                QNLog_Printf(7, "Check normal file status code: %d", N);
                QNLOG_PROCESS_ERROR(false && "Failed to check normal file.");
            }
            QNLog_Printf(7, "Check pak block status code: %d", P);
            QNLOG_PROCESS_ERROR(false && "Failed to check pak block.");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
        nOwn = m_nStatusCode.load(std::memory_order_acquire);
        bStop = nOwn == QN_RCRSC_ERROR_ABROT;
        // Any other change of the status by the caller (a refused call) ends the phase too.
        QNLOG_PROCESS_ERROR(bStop || nOwn == QN_RCRSC_CHECKING);
    }

    // Stop steps: the package repairer first, then the ordinary-file repairer.
    m_pPackageRepair->Stop();
    m_RepairNormalFile.UnInit();
    QNLOG_PROCESS_ERROR(false && "Repair had been abort.");

Exit0:
    if (!nResult) QN_RaiseRepairStatus(&m_nStatusCode, QN_RCRSC_ERROR_FAILED);
    return nResult;
}

int QN_RepairClientResource::_RepairFunction() {
    int nResult = 0;
    int nRetCode = 0;
    int32_t N = 0, P = 0, nOwn = 0;
    FoldResult Fold = {FOLD_WAIT, 0};
    bool bStop = false;
    uint32_t uCanNotRepairElemCount = 0;

    m_RepairNormalFile.StartRepair();
    m_pPackageRepair->StartRepair();

    bStop = m_nStatusCode == QN_RCRSC_ERROR_ABROT;
    while (!bStop) {
        N = m_RepairNormalFile.m_nStatusCode.load(std::memory_order_acquire);
        P = m_pPackageRepair->GetStatusCode();
        Fold = FoldRepair(N, P);
        if (Fold.eAction != FOLD_WAIT) {
            if (Fold.nStatus != QN_RCRSC_ERROR_FILE_IN_USE) {
                QNLog_Printf(6, "Repair normal file status code: %d", N);
                QNLog_Printf(6, "Repair pak block status code: %d", P);
            }
            if (Fold.eAction == FOLD_FAILURE) {
                QN_RaiseRepairStatus(&m_nStatusCode, Fold.nStatus);
                goto Exit0;
            }
            nRetCode = m_RepairNormalFile.GetCanNotRepairFileList(&m_CanNotRepairNormalFileList);
            QNLOG_PROCESS_ERROR(nRetCode && "m_RepairNormalFile.GetCanNotRepairFileList()");
            // One entry for each package element left broken, so that the summary counts them.
            m_CanNotRepairPakBlockList.clear();
            uCanNotRepairElemCount = m_pPackageRepair->GetCanNotRepairElemFileCount();
            for (uint32_t i = 0; i < uCanNotRepairElemCount; ++i) m_CanNotRepairPakBlockList.push_back(i);
            QNLOG_PROCESS_ERROR(QN_RaiseRepairStatus(&m_nStatusCode, QN_RCRSC_SUCCESS_FINISH_REPAIR));
            nResult = 1;
            goto Exit0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
        nOwn = m_nStatusCode.load(std::memory_order_acquire);
        bStop = nOwn == QN_RCRSC_ERROR_ABROT;
        QNLOG_PROCESS_ERROR(bStop || nOwn == QN_RCRSC_REPAIRING);
    }

    // Stop steps: the ordinary-file repairer first, then the package repairer.
    m_RepairNormalFile.UnInit();
    m_pPackageRepair->Stop();
    QNLOG_PROCESS_ERROR(false && "Repair had been abort.");

Exit0:
    if (!nResult) QN_RaiseRepairStatus(&m_nStatusCode, QN_RCRSC_ERROR_FAILED);
    return nResult;
}
