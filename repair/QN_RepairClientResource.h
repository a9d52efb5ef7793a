// The repair coordinator: runs the check and then the repair of one client installation, each
// phase on a worker of its own, over the ordinary-file repairer it embeds and the package
// repairer it creates. It polls both every 100 ms, folds their statuses into its own, and keeps
// the results its caller reads once the status is final.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "IQN_PackageRepair.h"
#include "QN_RepairNormalFile.h"
#include "QN_RepairStatus.h"
#include "QN_Thread.h"

enum QN_REPAIR_CLIENT_RESOURCE_STATUS_CODE {
    QN_RCRSC_NONE = 0,
    QN_RCRSC_CHECKING = 1,
    QN_RCRSC_REPAIRING = 2,
    QN_RCRSC_SUCCESS_FINISH_CHECK = 3,
    QN_RCRSC_SUCCESS_FINISH_REPAIR = 4,
    QN_RCRSC_ERROR_FAILED = 5,
    QN_RCRSC_ERROR_ABROT = 6,
    QN_RCRSC_ERROR_CONNECT_SERVER = 7,
    QN_RCRSC_ERROR_NORMAL_FILE = 8,
    QN_RCRSC_ERROR_PAK_FILE = 9,
    QN_RCRSC_ERROR_FILE_IN_USE = 10,
};
// The coordinator's statuses move by the engine's shared rule.
static_assert(QN_RCRSC_CHECKING == QN_REPAIR_STATUS_CHECKING && QN_RCRSC_REPAIRING == QN_REPAIR_STATUS_REPAIRING &&
              QN_RCRSC_SUCCESS_FINISH_CHECK == QN_REPAIR_STATUS_CHECK_FINISHED &&
              QN_RCRSC_SUCCESS_FINISH_REPAIR == QN_REPAIR_STATUS_REPAIR_FINISHED &&
              QN_RCRSC_ERROR_FAILED == QN_REPAIR_STATUS_FAILED && QN_RCRSC_ERROR_ABROT == QN_REPAIR_STATUS_STOPPED &&
              QN_RCRSC_ERROR_CONNECT_SERVER > QN_REPAIR_STATUS_STOPPED);

// The repair servers' base URLs. The application sets them at start-up; tests point them at
// the loopback server. The development bases serve a client whose "gameupdater.ini" holds the
// development switch.
struct QN_RepairEngineConfig {
    // The production repair server: the editions' URL parts follow it.
    std::string strRepairBaseURL = "http://qelrepair.update.qelgame.net/qelrepair/";
    // The development update server's ordinary-file repair base.
    std::string strDevNormalFileBaseURL = "http://dev.update.qelgame.net/dev/zhcn/qelrepair/NormalFiles/";
    // The development package repair URL: the server folder that holds "Repair.REP".
    std::string strDevPackageRepairURL = "http://dev.update.qelgame.net/dev/zhcn/qelrepair/";
};
QN_RepairEngineConfig QN_GetRepairEngineConfig();
void QN_SetRepairEngineConfig(const QN_RepairEngineConfig& config);

// The development switch of a client folder: the integer "IsDevVersion" of section
// "DevVersionInfo" in <folder>/gameupdater.ini, 0 when absent. Non-zero: a development client.
int QN_IsClientDevVersion(const char* cszClientPath);

typedef std::list<std::string> QN_CLIENT_FILE_NAME_LIST;
typedef std::list<uint32_t> QN_PAK_ID_LIST;

class QN_RepairClientResource {
public:
    QN_RepairClientResource();
    // Waits for the worker. The package repairer is released by UnInit.
    ~QN_RepairClientResource();
    QN_RepairClientResource(const QN_RepairClientResource&) = delete;
    QN_RepairClientResource& operator=(const QN_RepairClientResource&) = delete;

    // cszClientPath: the client's bin folder; cszClientRoot: the client's root folder with its
    // trailing separator (the packages are in its "pakV3"); only package format 3 is accepted.
    int Init(const char* cszVersionType, const char* cszClientPath, const char* cszTempFilePath,
             const char* cszURLPrefix, const char* cszClientRoot, uint32_t uPakVersion);
    int AddIgnoreNormalFile(const char* cszFileName);
    int AddIgnoreNormalDirectory(const char* cszDirectoryName);
    int StartCheck();
    int StartRepair();
    int GetCanNotRepairNormalFile(QN_CLIENT_FILE_NAME_LIST* pRetFileNameList);
    int GetAllCorruptPakBlock(QN_PAK_ID_LIST* pRetPakIDList);
    int GetCanNotRepairPakBlock(QN_PAK_ID_LIST* pRetPakIDList);
    int UnInit();

    // What one poll of a phase leads to: go on polling, or end with the status.
    enum FoldAction { FOLD_WAIT, FOLD_SUCCESS, FOLD_FAILURE };
    struct FoldResult {
        FoldAction eAction;
        int32_t nStatus;  // the status to set when the phase ends
    };
    // The check phase: N and P are the ordinary-file and package statuses, nOwn the
    // coordinator's own.
    static FoldResult FoldCheck(int32_t N, int32_t P, int32_t nOwn);
    // The repair phase.
    static FoldResult FoldRepair(int32_t N, int32_t P);

    // Read by the caller: the status while a phase runs; the lists and the count once it is 3
    // or 4; the repairers' progress through m_RepairNormalFile and m_pPackageRepair.
    std::atomic<int32_t> m_nStatusCode;
    QN_RepairNormalFile m_RepairNormalFile;
    IQN_PackageRepair* m_pPackageRepair;
    QN_CLIENT_FILE_NAME_LIST m_CorruptNormalFileList;
    QN_CLIENT_FILE_NAME_LIST m_CanNotRepairNormalFileList;
    QN_PAK_ID_LIST m_CorruptPakBlockList;
    // One entry for each package element the repair left broken.
    QN_PAK_ID_LIST m_CanNotRepairPakBlockList;
    // Broken package elements found by the check (configuration, folder files, blocks,
    // regions).
    uint32_t m_uCorruptPakV3BlockCount;

private:
    static int _CheckThreadFunction(void* pvParam);
    static int _RepairThreadFunction(void* pvParam);
    int _CheckFunction();
    int _RepairFunction();

    std::string m_strClientPath;
    std::string m_strVersionType;
    QN_CLIENT_FILE_NAME_LIST m_IgnoreNormalFileList;
    QN_CLIENT_FILE_NAME_LIST m_IgnoreNormalDirectoryList;
    uint32_t m_uPakVersion;
    QN_Thread m_WorkThread;
};
