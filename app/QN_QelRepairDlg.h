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
#include "qn_com.h"
#include "qn_string.h"
#include "ui/qnui.h"

class QN_QelRepairDlg;

// The three entry points of the download library the dialog starts and stops.
struct QN_DOWNLOAD_LIBRARY_ENTRY {
    HRESULT (*pfnInit)();
    HRESULT (*pfnUninit)();
    HRESULT (*pfnGetService)(REFIID riid, void** ppvOut);
};

// What the dialog runs for the self-update and for a click on Start; the code of those steps
// sets them at start-up. Without a self-update worker the dialog cannot start unconfirmed.
struct QN_REPAIR_DIALOG_WORKERS {
    QN_Thread::QN_THREAD_FUNCTION pfnSelfUpdateThread;  // receives the dialog
    void (*pfnStartClicked)(QN_QelRepairDlg* pDlg);
};
void QN_SetRepairDialogWorkers(const QN_REPAIR_DIALOG_WORKERS& workers);
// The program's own workers: the self-update thread and the Start flow with its repair thread.
QN_REPAIR_DIALOG_WORKERS QN_GetProgramRepairDialogWorkers();

// The percentage of a repair phase from the two repairers' progress (each 0 to 1): packages
// weigh 0.7, ordinary files 0.3, truncated toward zero. False for a value that is no
// percentage (negative, above 100, not a number), which is then not stored.
bool QN_RepairPhasePercentage(float fPackage, float fNormal, uint32_t* puRetPercentage);

// The private messages; workers post them with both parameters 0.
enum : qnui::UINT {
    WM_SET_STATUS_TEXT = qnui::WM_USER + 100,
    WM_SET_PROGRESS = qnui::WM_USER + 101,
    WM_CLOSE_REPAIR_DIALOG = qnui::WM_USER + 102,
    WM_ENABLE_START_BUTTON = qnui::WM_USER + 110,
    WM_DISABLE_START_BUTTON = qnui::WM_USER + 111,
    WM_UPDATE_START_BUTTON = qnui::WM_USER + 112,
    WM_ENABLE_EXIT = qnui::WM_USER + 113,
    WM_DISABLE_EXIT = qnui::WM_USER + 114,
};

class QN_QelRepairDlg : public qnui::CDialog {
public:
    enum { IDD = 102 };
    enum {
        IDC_BUTTON_START = 1001,
        IDC_BUTTON_EXIT = 1002,
        IDC_PROGRESS_REPAIR = 1004,
        IDC_STATIC_TITLE = 1019,
        IDC_STATIC_WELCOME = 1020,
        IDC_STATIC_LINK = 1021,
        IDC_STATIC_LINE = 1022,
    };

    explicit QN_QelRepairDlg(qnui::CWnd* pParent = nullptr);
    // Waits for the worker first.
    ~QN_QelRepairDlg() override;

    // Any thread: replaces the status text and posts WM_SET_STATUS_TEXT. 1.
    int _SetStatusText(const char* cszText);
    // Any thread: stores a percentage of at most 100 and posts WM_SET_PROGRESS in every case. 1.
    int _SetProgress(uint32_t uProgress);

    // Read by the workers.
    std::atomic<int32_t>& ExitFlag() { return m_nExitFlag; }

    // The workers. The entries receive the dialog.
    static int _SelfUpdateThreadEntry(void* pvDialog);
    static int _RepairThreadEntry(void* pvDialog);
    static void _StartClickedEntry(QN_QelRepairDlg* pDialog);
    // Checks for a newer tool on the repair server, installs it and starts it; 1 when the
    // tool is current or was replaced and started again.
    int _SelfUpdateThreadFunction();
    // One whole repair, up to the summary line; 1 when it reached it.
    int _RepairThreadFunction();

protected:
    qnui::BOOL OnInitDialog() override;
    void OnCancel() override;
    void OnDestroy() override;
    void DoDataExchange(qnui::CDataExchange* pDX) override;
    qnui::LRESULT WindowProc(qnui::UINT uMsg, qnui::WPARAM wParam, qnui::LPARAM lParam) override;

    qnui::LRESULT OnSetStatusText(qnui::WPARAM wParam, qnui::LPARAM lParam);
    qnui::LRESULT OnSetProgress(qnui::WPARAM wParam, qnui::LPARAM lParam);
    qnui::LRESULT OnCloseRepairDialog(qnui::WPARAM wParam, qnui::LPARAM lParam);
    qnui::LRESULT OnEnableStartButton(qnui::WPARAM wParam, qnui::LPARAM lParam);
    qnui::LRESULT OnDisableStartButton(qnui::WPARAM wParam, qnui::LPARAM lParam);
    qnui::LRESULT OnUpdateStartButton(qnui::WPARAM wParam, qnui::LPARAM lParam);
    qnui::LRESULT OnEnableExit(qnui::WPARAM wParam, qnui::LPARAM lParam);
    qnui::LRESULT OnDisableExit(qnui::WPARAM wParam, qnui::LPARAM lParam);
    qnui::LRESULT OnQueryDragIcon(qnui::WPARAM wParam, qnui::LPARAM lParam);
    void OnBnClickedButtonStart();
    void OnBnClickedButtonExit();
    // Shows the status text in the status line unless it shows it already.
    void _ShowStatusText();
    // Stops the download library if this dialog started it; once.
    void _StopDownloadLibrary();

    // The Start flow: ends the tool after a complete repair, else confirms the client folder,
    // refuses while the client is busy and starts the repair thread.
    void _StartRepairFlow();
    // Makes sure the tool runs from a client root: 1 when it does, or when it copied itself to
    // the folder the user chose and started the copy there (*pnRetRelaunched = 1).
    int _ConfirmClientPath(int* pnRetRelaunched);
    // Starts a program from a Windows-style command line without waiting for it. 1 or 0.
    int _CreateNewApplicationProcess(char* szCommandLine);
    // The check and repair phases over the coordinator: the count of corrupt resources and of
    // those left broken, and the usage report. 1 or 0.
    int _RepairClientResource(uint32_t* puRetTotal, uint32_t* puRetFailed);
    // Polls one phase of the coordinator every 100 ms until it ends, posting its status text and
    // progress in every cycle; an interruption stops the coordinator (*pbInitialized = 0). 1 when
    // the phase finished well (status 3 after the check, 4 after the repair); 0 with the status
    // text of the status it ended with. uTotal: the corrupt count the repair text shows.
    int _PollRepairPhase(QN_RepairClientResource& Coordinator, bool bRepair, uint32_t uTotal, int* pbInitialized);
    // The status text of a coordinator status that ends a phase.
    void _ShowRepairFailure(int32_t nStatus, bool bRepair);
    // Formats a status line into 256 bytes (cut, never dropped) and sets it.
    void _SetFormattedStatusText(const char* cszFormat, ...) QN_PRINTF_FORMAT(2, 3);

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
    // Set only once the temporary folder was made, and the download library started.
    bool m_bTempPathReady;
    bool m_bDownloadLibStarted;
    // Set when a self-update handed over to the new copy, which uses the same temporary
    // folder: this copy then leaves the folder to it.
    std::atomic<int32_t> m_bHandedOver;
};
