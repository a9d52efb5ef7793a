// The ordinary-file repairer: checks every ordinary file of the client's bin folder by CRC-32
// against "qel_repair.info" on the repair server, and repairs the broken ones by downloading
// their good copies whole into the temporary folder, checking them and moving them into place.
// Each phase runs on the repairer's own worker; the owner polls the status and the progress
// values and reads the lists once the status is final.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "QN_NormalFileRepairInfo.h"
#include "QN_RepairStatus.h"
#include "QN_Thread.h"

enum QN_REPAIR_NORMAL_FILE_STATUS_CODE {
    QN_RFSC_NONE = 0,
    QN_RFSC_CHECKING = 1,
    QN_RFSC_REPAIRING = 2,
    QN_RFSC_SUCCESS_FINISH_CHECK = 3,
    QN_RFSC_SUCCESS_FINISH_REPAIR = 4,
    QN_RFSC_ERROR_FAILED = 5,
    QN_RFSC_ERROR_ABROT = 6,
    QN_RFSC_ERROR_DOWNLOAD = 7,
    QN_RFSC_ERROR_FILE_IN_USE = 8,
};
// The ordinary-file repairer's statuses move by the engine's shared rule.
static_assert(QN_RFSC_CHECKING == QN_REPAIR_STATUS_CHECKING && QN_RFSC_REPAIRING == QN_REPAIR_STATUS_REPAIRING &&
              QN_RFSC_SUCCESS_FINISH_CHECK == QN_REPAIR_STATUS_CHECK_FINISHED &&
              QN_RFSC_SUCCESS_FINISH_REPAIR == QN_REPAIR_STATUS_REPAIR_FINISHED &&
              QN_RFSC_ERROR_FAILED == QN_REPAIR_STATUS_FAILED && QN_RFSC_ERROR_ABROT == QN_REPAIR_STATUS_STOPPED &&
              QN_RFSC_ERROR_DOWNLOAD > QN_REPAIR_STATUS_STOPPED && QN_RFSC_ERROR_FILE_IN_USE > QN_REPAIR_STATUS_STOPPED);

struct QN_CORRUPT_FILE_INFO {
    QN_REPAIR_FILE_CHECK_INFO CheckInfo;
    uint32_t uDirID;      // 0 until the repair fetches it
    uint32_t uFileIndex;  // the file's index in the file-check table
};

typedef std::list<std::string> QN_FILE_NAME_LIST;

class QN_RepairNormalFile {
public:
    QN_RepairNormalFile();
    ~QN_RepairNormalFile();
    QN_RepairNormalFile(const QN_RepairNormalFile&) = delete;
    QN_RepairNormalFile& operator=(const QN_RepairNormalFile&) = delete;

    // The client's bin folder, the temporary folder and the URL prefix of the repair data.
    int Init(const char* cszClientPath, const char* cszTempFilePath, const char* cszURLPrefix);
    int AddIgnoreFile(const char* cszFileName);
    int AddIgnoreDirectory(const char* cszDirectoryName);
    // Empties the ignore-file list (the coordinator refills it before each check).
    void ClearIgnoreFileList() { m_IgnoreFileList.clear(); }
    int StartCheck();
    int StartRepair();
    int GetCorrputFileList(QN_FILE_NAME_LIST* pRetFileNameList);
    int GetCanNotRepairFileList(QN_FILE_NAME_LIST* pRetFileNameList);
    // Stops a running phase (status 6) and waits for the worker.
    int UnInit();

    // Read by the owner while a phase runs.
    std::atomic<int32_t> m_nStatusCode;
    std::atomic<float> m_fCheckProgress;
    std::atomic<float> m_fRepairProgress;

    // The ignore rules: a file entry (letter case ignored), a folder entry as a prefix over its
    // whole length (letter case ignored), and names that begin with "3rdParty\\".
    bool _IsIgnoreFile(const char* cszFileName) const;

    // Results, read by the owner once the status is final: the corrupt files of the check in
    // table order with their share of the listed files, and the files the repair left broken.
    float m_fCorruptRatio;
    std::vector<QN_CORRUPT_FILE_INFO> m_CorruptFileList;
    QN_FILE_NAME_LIST m_CanNotRepairFileList;
    // The server folders of the repair data, filled by the repair.
    std::vector<std::string> m_DirNameVector;
    // Set when a repaired file could not be put in place.
    std::atomic<int> m_bFileInUse;

private:
    static int _CheckThreadFunction(void* pvParam);
    static int _RepairThreadFunction(void* pvParam);
    int _CheckFunction();
    int _RepairFunction();
    int _DownloadDirInfo();
    int _DownloadFileRepairInfo();
    int _RepairCorruptFile(const QN_CORRUPT_FILE_INFO& crCorruptFileInfo);
    int _MoveFile(const char* cszSrcFile, const char* cszDstFile);
    bool _Aborted() const { return m_nStatusCode.load(std::memory_order_acquire) == QN_RFSC_ERROR_ABROT; }

    std::string m_strClientPath;
    std::string m_strTempFilePath;
    std::string m_strURLPrefix;
    QN_FILE_NAME_LIST m_IgnoreFileList;
    QN_FILE_NAME_LIST m_IgnoreDirectoryList;
    QN_REPAIR_INFO_FILE_HEADER m_RepairInfoFileHeader;
    QN_Thread m_WorkThread;
};
