// The main dialog: its template, start, private messages and closing rules.
#include "QN_QelRepairDlg.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "KDownload.h"
#include "QN_ClientEnvironment.h"
#include "QN_HttpTransfer.h"
#include "QN_Log.h"
#include "app_test_hooks.h"
#include "qn_folder.h"
#include "qn_platform.h"
#include "qn_process.h"
#include "qn_string.h"
#include "ui/qnui_backend.h"

using namespace qnui;

namespace {

const char kCaption[] = "《Qel》客户端修复工具";
const char kWelcome[] =
    "欢迎使用《Qel》客户端修复工具。\n\n该工具可以帮助您修复不完整的客户端。\n\n开始修复之前，请先关闭其他应用程序。\n\n"
    "开始修复之前，请关闭本游戏。\n\n请先确认客户端所在磁盘空间充裕及网络连接顺畅，再点击\n\n[ 开始修复 ] "
    "按钮，中断修复有可能损坏游戏资源，请注意。\n\n修复需要一段时间，请耐心等待。\n\n如不能正确修复，请前往下列地址重新下载对应版本：\n\n";
const char kDownloadPageURL[] = "http://qel.qelgame.net/download/";
const char kAskInterrupt[] = "中断修复有可能损坏Qel的游戏资源，使游戏无法正常运行，你确认要中断吗？\n";
const char kExiting[] = "正在退出，请稍候...";

const DLGITEMTEMPLATE kRepairDialogItems[] = {
    {"BUTTON", QN_QelRepairDlg::IDC_BUTTON_START, "开始修复", BS_DEFPUSHBUTTON | WS_TABSTOP, 84, 232, 79, 16},
    {"BUTTON", QN_QelRepairDlg::IDC_BUTTON_EXIT, "退出", BS_PUSHBUTTON | WS_TABSTOP, 214, 232, 79, 16},
    // The status line is the first control with id -1.
    {"STATIC", IDC_STATIC, "准备修复...", SS_LEFT, 7, 191, 375, 8},
    {"STATIC", IDC_STATIC, "", SS_BITMAP, -1, -1, 165, 183},
    {"STATIC", QN_QelRepairDlg::IDC_STATIC_LINE, "", SS_SUNKEN, 0, 181, 400, 1},
    {"msctls_progress32", QN_QelRepairDlg::IDC_PROGRESS_REPAIR, "", PBS_SMOOTH, 7, 208, 376, 14},
    {"STATIC", QN_QelRepairDlg::IDC_STATIC_TITLE, "Title", SS_LEFT, 185, 9, 185, 14},
    {"STATIC", QN_QelRepairDlg::IDC_STATIC_WELCOME, "Text", SS_LEFT, 172, 31, 211, 144},
    {"STATIC", QN_QelRepairDlg::IDC_STATIC_LINK, "Link", SS_LEFT, 173, 159, 175, 8},
};
const DLGTEMPLATE kRepairDialogTemplate = {
    QN_QelRepairDlg::IDD, kCaption, DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, "MS Shell Dlg", 8,
    390, 254, kRepairDialogItems, std::size(kRepairDialogItems)};

std::mutex& EntryLock() {
    static std::mutex* s_p = new std::mutex;
    return *s_p;
}
QN_DOWNLOAD_LIBRARY_ENTRY& DownloadEntry() {
    static QN_DOWNLOAD_LIBRARY_ENTRY* s_p = new QN_DOWNLOAD_LIBRARY_ENTRY{&KDownloadInit, &KDownloadUninit, &KDownloadGetService};
    return *s_p;
}
QN_REPAIR_DIALOG_WORKERS& Workers() {
    static QN_REPAIR_DIALOG_WORKERS* s_p = new QN_REPAIR_DIALOG_WORKERS{nullptr, nullptr};
    return *s_p;
}
QN_DOWNLOAD_LIBRARY_ENTRY GetDownloadEntry() {
    std::lock_guard<std::mutex> lock(EntryLock());
    return DownloadEntry();
}
QN_REPAIR_DIALOG_WORKERS GetWorkers() {
    std::lock_guard<std::mutex> lock(EntryLock());
    return Workers();
}

}  // namespace

void QN_SetRepairDialogWorkers(const QN_REPAIR_DIALOG_WORKERS& workers) {
    std::lock_guard<std::mutex> lock(EntryLock());
    Workers() = workers;
}

QN_QelRepairDlg::QN_QelRepairDlg(CWnd* pParent)
    : CDialog(IDD, pParent),
      m_hIcon(LoadIcon(nullptr, MAKEINTRESOURCE(128))),
      m_pMenu(nullptr),
      m_nProgress(0),
      m_bAllRepaired(0),
      m_nExitFlag(0),
      m_bPathConfirmed(0),
      m_bTempPathReady(false),
      m_bDownloadLibStarted(false),
      m_bHandedOver(0) {
    std::memset(m_szRepairServerURL, 0, sizeof(m_szRepairServerURL));
    RegisterDialogTemplate(&kRepairDialogTemplate);
}

QN_QelRepairDlg::~QN_QelRepairDlg() { m_WorkThread.Wait(); }

void QN_QelRepairDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS_REPAIR, m_ProgressCtrl);
    DDX_Control(pDX, IDC_STATIC_LINK, m_LinkStatic);
}

int QN_QelRepairDlg::_SetStatusText(const char* cszText) {
    {
        std::lock_guard<std::mutex> lock(m_StatusTextLock);
        m_strStatusText = cszText ? cszText : "";
    }
    PostMessage(WM_SET_STATUS_TEXT, 0, 0);
    return 1;
}

int QN_QelRepairDlg::_SetProgress(uint32_t uProgress) {
    if (uProgress <= 100) m_nProgress = uProgress;
    PostMessage(WM_SET_PROGRESS, 0, 0);
    return 1;
}

void QN_QelRepairDlg::_StopDownloadLibrary() {
    if (!m_bDownloadLibStarted) return;
    m_bDownloadLibStarted = false;
    GetDownloadEntry().pfnUninit();
}

BOOL QN_QelRepairDlg::OnInitDialog() {
    int nRetCode = 0;
    uint32_t uLength = 0;
    size_t uSeparator = 0;
    HRESULT hRetCode = E_FAIL;
    CWnd* pTitle = nullptr;
    QN_DOWNLOAD_LIBRARY_ENTRY entry = GetDownloadEntry();
    QN_REPAIR_DIALOG_WORKERS workers = GetWorkers();
    char szPath[260];
    std::vector<QN_FOLDER_ENTRY_LEFT> TempLeft;

    CDialog::OnInitDialog();
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    m_TitleFont.CreateFont(0, 0, 0, 0, FW_BOLD, FALSE, FALSE, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, nullptr);
    pTitle = GetDlgItem(IDC_STATIC_TITLE);
    pTitle->SendMessage(WM_SETFONT, (WPARAM)m_TitleFont.GetSafeHandle(), TRUE);
    pTitle->SetWindowText(kCaption);
    GetDlgItem(IDC_STATIC_WELCOME)->SetWindowText(kWelcome);
    m_LinkStatic.m_strText = kDownloadPageURL;
    m_LinkStatic.m_strURL = kDownloadPageURL;
    m_LinkStatic.m_bTextExtentValid = 0;
    m_LinkStatic.Invalidate();

    m_pMenu = GetSystemMenu(FALSE);
    QNLOG_PROCESS_ERROR(m_pMenu);

    uLength = QN_GetModuleFileNameA(nullptr, szPath, (uint32_t)_countof(szPath));
    QNLOG_PROCESS_ERROR(uLength > 0);
    QNLOG_PROCESS_ERROR(uLength < _countof(szPath));
    m_strExePath = szPath;
    uSeparator = m_strExePath.find_last_of("/\\");
    QNLOG_PROCESS_ERROR(uSeparator != std::string::npos);
    m_strClientPath = m_strExePath.substr(0, uSeparator + 1);

    nRetCode = _LoadSettings(m_strClientPath.c_str());
    QNLOG_PROCESS_ERROR(nRetCode);

    m_strTempPath = m_strClientPath + "QelRepairTemp/";
    // An existing folder is reused with what it holds, so that the downloads of a run that was
    // killed resume. Only links go (at its name and inside it, never followed), so that no
    // download is written through one; an entry that cannot be removed is logged and left.
    nRetCode = QN_MakeFolderWithoutLinks(m_strTempPath.c_str(), &TempLeft);
    QNLOG_PROCESS_ERROR(nRetCode);
    for (const QN_FOLDER_ENTRY_LEFT& crLeft : TempLeft)
        QNLog_Printf(7, "Failed to remove `%s` from the temporary folder, Error code : %d.", crLeft.strPath.c_str(),
                     (int)crLeft.uError);
    m_bTempPathReady = true;

    g_pfnKDownloadGetService.store(entry.pfnGetService);
    hRetCode = entry.pfnInit();
    QNLOG_COM_PROCESS_ERROR(hRetCode);
    m_bDownloadLibStarted = true;
    QNLog_Printf(7, "Load tibruskD.dll\n");

    if (AfxGetArgc() > 1 && AfxGetArgv() && AfxGetArgv()[1] && QN_StrICmp(AfxGetArgv()[1], "-i") == 0) {
        m_bPathConfirmed = 1;
        return TRUE;
    }
    // Start, Exit and Close stay shut until the self-update's own messages open them, so that
    // nothing can be pressed in the moment before its first message arrives.
    GetDlgItem(IDC_BUTTON_START)->EnableWindow(FALSE);
    GetDlgItem(IDC_BUTTON_EXIT)->EnableWindow(FALSE);
    m_pMenu->EnableMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_GRAYED | MF_DISABLED);
    m_WorkThread.Wait();
    nRetCode = m_WorkThread.Create(workers.pfnSelfUpdateThread, this);
    QNLOG_PROCESS_ERROR(nRetCode);
    return TRUE;

Exit0:
    _StopDownloadLibrary();
    QNLog_Printf(7, "Failed to init dialog, GetLastError() = %d", (int)QN_GetLastError());
    PostQuitMessage(0);
    return TRUE;
}

void QN_QelRepairDlg::_ShowStatusText() {
    CWnd* pStatus = GetDlgItem(IDC_STATIC);
    std::string strNew;
    CString strShown;
    if (!pStatus) return;
    {
        std::lock_guard<std::mutex> lock(m_StatusTextLock);
        strNew = m_strStatusText;
    }
    pStatus->GetWindowText(strShown);
    // Not set again when it shows that text already, so that the line does not flicker.
    if (QN_StrICmp(strShown.c_str(), strNew.c_str()) != 0) pStatus->SetWindowText(strNew.c_str());
}

LRESULT QN_QelRepairDlg::OnSetStatusText(WPARAM, LPARAM) {
    _ShowStatusText();
    return 0;
}

LRESULT QN_QelRepairDlg::OnSetProgress(WPARAM, LPARAM) {
    m_ProgressCtrl.SendMessage(PBM_SETPOS, (WPARAM)m_nProgress.load(), 0);
    return 0;
}

LRESULT QN_QelRepairDlg::OnCloseRepairDialog(WPARAM, LPARAM) {
    OnCancel();
    return 0;
}

LRESULT QN_QelRepairDlg::OnEnableStartButton(WPARAM, LPARAM) {
    GetDlgItem(IDC_BUTTON_START)->EnableWindow(TRUE);
    return 0;
}

LRESULT QN_QelRepairDlg::OnDisableStartButton(WPARAM, LPARAM) {
    GetDlgItem(IDC_BUTTON_START)->EnableWindow(FALSE);
    return 0;
}

LRESULT QN_QelRepairDlg::OnUpdateStartButton(WPARAM, LPARAM) {
    GetDlgItem(IDC_BUTTON_START)->SetWindowText(m_bAllRepaired ? "完成" : "继续修复");
    return 0;
}

LRESULT QN_QelRepairDlg::OnEnableExit(WPARAM, LPARAM) {
    GetDlgItem(IDC_BUTTON_EXIT)->EnableWindow(TRUE);
    if (m_pMenu) m_pMenu->EnableMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
    return 0;
}

LRESULT QN_QelRepairDlg::OnDisableExit(WPARAM, LPARAM) {
    GetDlgItem(IDC_BUTTON_EXIT)->EnableWindow(FALSE);
    if (m_pMenu) m_pMenu->EnableMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_GRAYED | MF_DISABLED);
    return 0;
}

LRESULT QN_QelRepairDlg::OnQueryDragIcon(WPARAM, LPARAM) { return (LRESULT)m_hIcon; }

void QN_QelRepairDlg::OnBnClickedButtonStart() {
    QN_REPAIR_DIALOG_WORKERS workers = GetWorkers();
    if (workers.pfnStartClicked) workers.pfnStartClicked(this);
}

void QN_QelRepairDlg::OnBnClickedButtonExit() { OnCancel(); }

LRESULT QN_QelRepairDlg::WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    static const MessageMapEntry<QN_QelRepairDlg> s_MessageMap[] = {
        {WM_SET_STATUS_TEXT, 0, 0, &QN_QelRepairDlg::OnSetStatusText, nullptr},
        {WM_SET_PROGRESS, 0, 0, &QN_QelRepairDlg::OnSetProgress, nullptr},
        {WM_CLOSE_REPAIR_DIALOG, 0, 0, &QN_QelRepairDlg::OnCloseRepairDialog, nullptr},
        {WM_ENABLE_START_BUTTON, 0, 0, &QN_QelRepairDlg::OnEnableStartButton, nullptr},
        {WM_DISABLE_START_BUTTON, 0, 0, &QN_QelRepairDlg::OnDisableStartButton, nullptr},
        {WM_UPDATE_START_BUTTON, 0, 0, &QN_QelRepairDlg::OnUpdateStartButton, nullptr},
        {WM_ENABLE_EXIT, 0, 0, &QN_QelRepairDlg::OnEnableExit, nullptr},
        {WM_DISABLE_EXIT, 0, 0, &QN_QelRepairDlg::OnDisableExit, nullptr},
        {WM_QUERYDRAGICON, 0, 0, &QN_QelRepairDlg::OnQueryDragIcon, nullptr},
        {WM_COMMAND, BN_CLICKED, IDC_BUTTON_START, nullptr, &QN_QelRepairDlg::OnBnClickedButtonStart},
        {WM_COMMAND, BN_CLICKED, IDC_BUTTON_EXIT, nullptr, &QN_QelRepairDlg::OnBnClickedButtonExit},
    };
    LRESULT lResult = 0;
    if (DispatchMessageMap(this, s_MessageMap, uMsg, wParam, lParam, &lResult)) return lResult;
    return CDialog::WindowProc(uMsg, wParam, lParam);
}

void QN_QelRepairDlg::OnCancel() {
    MENUITEMINFOA MenuItemInfo;
    std::memset(&MenuItemInfo, 0, sizeof(MenuItemInfo));
    MenuItemInfo.cbSize = sizeof(MenuItemInfo);
    MenuItemInfo.fMask = MIIM_STATE;
    if (m_pMenu && m_pMenu->GetMenuItemInfo(SC_CLOSE, &MenuItemInfo, FALSE) &&
        (MenuItemInfo.fState & (MFS_GRAYED | MFS_DISABLED)))
        return;
    if (!GetDlgItem(IDC_BUTTON_START)->IsWindowEnabled()) {
        int nAnswer = MessageBoxA(m_hWnd, kAskInterrupt, "提示", MB_OKCANCEL | MB_ICONQUESTION);
        if (nAnswer != IDOK) return;
    }
    // The UI thread blocks in the wait below, so the exit text is shown now, not posted, and
    // both buttons are shut while the worker ends.
    {
        std::lock_guard<std::mutex> lock(m_StatusTextLock);
        m_strStatusText = kExiting;
    }
    _ShowStatusText();
    GetDlgItem(IDC_BUTTON_START)->EnableWindow(FALSE);
    GetDlgItem(IDC_BUTTON_EXIT)->EnableWindow(FALSE);
    // The question's box has just closed: the part of the dialog it covered is drawn again now,
    // since the wait below handles nothing.
    UpdateWindow();
    m_nExitFlag = 1;
    m_WorkThread.Wait();
    CDialog::OnCancel();
}

void QN_QelRepairDlg::OnDestroy() {
    _StopDownloadLibrary();
    // Only the folder this run made (or found) is removed; after an early failure there is none.
    // After a hand-over the new copy works in the same folder and removes it at its own end.
    if (m_bTempPathReady && !m_bHandedOver) _RemoveDir(m_strTempPath.c_str());
    CDialog::OnDestroy();
    m_TitleFont.DeleteObject();
}

namespace qn::testing {
void SetDownloadLibraryEntry(const QN_DOWNLOAD_LIBRARY_ENTRY* pEntry) {
    std::lock_guard<std::mutex> lock(EntryLock());
    DownloadEntry() = pEntry ? *pEntry : QN_DOWNLOAD_LIBRARY_ENTRY{&KDownloadInit, &KDownloadUninit, &KDownloadGetService};
}
}  // namespace qn::testing
