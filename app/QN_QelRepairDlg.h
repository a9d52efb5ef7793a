// The tool's main dialog: what a repair run needs (paths, the edition's record, the repair
// server's URL), the worker thread, and the controls the workers' messages update.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "LinkStatic.h"
#include "QN_RepairClientResource.h"
#include "QN_RepairVersionInfo.h"
#include "QN_Thread.h"
#include "ui/qnui.h"

class QN_QelRepairDlg : public qnui::CDialog {
public:
    enum { IDD = 102 };

    explicit QN_QelRepairDlg(qnui::CWnd* pParent = nullptr);
    // Waits for the worker first.
    ~QN_QelRepairDlg() override;

protected:
    // Settings and the edition's record.
    // Fills m_szRepairServerURL from "repair_settings.ini" in the client root (ending in a
    // separator), with the production or, for a development client, the development default.
    int _LoadSettings(const char* cszClientPath);
    // Detects the edition of m_strClientPath and fills m_VersionInfo.
    int _GetRepairVersionInfo();
    int _GetRepairIgnoreFileList(QN_REPAIR_VERSION_INFO* pVersionInfo);
    // Reads the client's version number from "version.cfg" in its bin folder.
    int _GetClientVersionNumber(const char* cszClientBinPath, std::string* pRetVersionNumber);

    // The client's environment.
    // 1 when a program from the client root other than the tool runs; its file name goes to
    // *pRetFileName. 0 when none runs or the process list cannot be read.
    int _IsOtherClientApplicationRunning(std::string* pRetFileName);
    // Removes a folder tree inside the tool's temporary folder.
    int _RemoveDir(const char* cszPath);

    // Shortcuts: links to m_strClientPath's "gameupdater.exe" start "QelLauncher.exe", then those
    // to its "GameConfig.exe" start "QelLauncher.exe" with "-c" (only when the first walk
    // succeeded). 1 when both walks succeeded.
    int _EditAllShortcut();

    // The usage report of a run that ended well (status 3 or 4): the machine identifier, the
    // edition's key, the client's version, the status and the counts of corrupt and unrepaired
    // ordinary files and package elements, posted to the report endpoint. 1 when every field
    // was added, whatever the post gave; 0 (nothing posted) otherwise.
    int _PostRepairResult(const char* cszVersionType, const char* cszVersionNumber, int nRepairStatus,
                          const QN_CLIENT_FILE_NAME_LIST& CorruptNormalFileList,
                          const QN_CLIENT_FILE_NAME_LIST& CanNotRepairNormalFileList, uint32_t uCorruptPakV3BlockCount,
                          const QN_PAK_ID_LIST& CanNotRepairPakBlockList);

    qnui::HICON m_hIcon;
    qnui::CMenu* m_pMenu;
    CLinkStatic m_LinkStatic;
    qnui::CFont m_TitleFont;
    // Replaced by the workers, shown by the status message; always under its lock.
    std::string m_strStatusText;
    std::mutex m_StatusTextLock;
    qnui::CProgressCtrl m_ProgressCtrl;
    std::atomic<uint32_t> m_nProgress;
    std::atomic<int32_t> m_bAllRepaired;
    std::atomic<int32_t> m_nExitFlag;
    std::atomic<int32_t> m_bPathConfirmed;
    QN_Thread m_WorkThread;
    QN_REPAIR_VERSION_INFO m_VersionInfo;
    std::string m_strExePath;
    std::string m_strClientPath;
    std::string m_strBinPath;
    std::string m_strTempPath;
    char m_szRepairServerURL[260];
};
