#include "QN_ConfirmPathDlg.h"

#include <cstring>

#include "QN_ClientVersion.h"
#include "QN_Log.h"
#include "qn_file.h"
#include "qn_platform.h"
#include "qn_string.h"

using namespace qnui;

namespace {

const char kDialogTitle[] = "客户端目录选择";
const char kBrowseTitle[] = "选择《Qel》客户端根目录:";
const char kFolderMissing[] = "你选择的目录不存在，或者不是一个合法的目录，请重新选择！";
const char kNoClientRoot[] = "你选择的目录不是Qel根目录，请重新选择！";
const char kBoxCaption[] = "提示";

const DLGITEMTEMPLATE kConfirmPathItems[] = {
    {"BUTTON", IDC_STATIC, "请选择待修复客户端根目录", BS_GROUPBOX, 7, 12, 221, 38},
    {"COMBOBOX", QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH, "",
     CBS_DROPDOWN | CBS_SORT | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 14, 29, 182, 30},
    {"BUTTON", QN_ConfirmPathDlg::IDC_CHOOSE_PATH, "浏览…", BS_PUSHBUTTON | WS_TABSTOP, 198, 28, 30, 14},
    {"BUTTON", IDCANCEL, "取消", BS_PUSHBUTTON | WS_TABSTOP, 59, 60, 50, 16},
    {"BUTTON", IDOK, "确定", BS_DEFPUSHBUTTON | WS_TABSTOP, 129, 60, 50, 16},
};
const DLGTEMPLATE kConfirmPathTemplate = {
    QN_ConfirmPathDlg::IDD, kDialogTitle, DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU,
    "MS Shell Dlg", 8, 235, 88, kConfirmPathItems, std::size(kConfirmPathItems)};

// The edition's folder names ("bin" and its sub-folder) at the end of a registered install path
// are matched without regard to ASCII case on purpose: the path comes from the registry, whose
// writer may spell them in any case. The root found is then probed on the file system as it is.
bool IEndsWithPath(const std::string& s, const std::string& strEnding) {
    if (s.size() < strEnding.size()) return false;
    for (size_t i = 0; i < strEnding.size(); ++i) {
        char a = s[s.size() - strEnding.size() + i], b = strEnding[i];
        if (QN_IsPathSeparator(a) && QN_IsPathSeparator(b)) continue;
        if (a >= 'A' && a <= 'Z') a = (char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = (char)(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

}  // namespace

bool QN_ClientRootFromInstallPath(const std::string& strInstallPath, int nIndex, std::string* pRetRoot) {
    if (nIndex < 0 || nIndex >= QN_CLIENT_VERSION_TYPE::Count || !pRetRoot) return false;
    std::string strPath = strInstallPath;
    if (!strPath.empty() && QN_IsPathSeparator(strPath.back())) strPath.pop_back();
    char szEnding[64];
    int nRetCode = QN_snprintf(szEnding, sizeof(szEnding), "bin/%s", g_aClientVersionTable[nIndex].cszBinSubFolder);
    if (nRetCode <= 0) return false;
    size_t uEnding = (size_t)nRetCode;
    if (strPath.size() <= uEnding || !IEndsWithPath(strPath, szEnding)) return false;
    std::string strRoot = strPath.substr(0, strPath.size() - uEnding);
    // "bin" must be a whole folder name: "/games/xbin/zhcn" names no root.
    if (!QN_IsPathSeparator(strRoot.back())) return false;
    *pRetRoot = strRoot;
    return true;
}

QN_ConfirmPathDlg::QN_ConfirmPathDlg(CWnd* pParent) : CDialog(IDD, pParent), m_bCancel(0) {
    RegisterDialogTemplate(&kConfirmPathTemplate);
}

QN_ConfirmPathDlg::~QN_ConfirmPathDlg() = default;

int QN_ConfirmPathDlg::Init(const char* cszApplicationPath) {
    int nResult = 0;
    QNLOG_PROCESS_ERROR(cszApplicationPath);
    QNLOG_PROCESS_ERROR(cszApplicationPath[0]);
    m_strApplicationPath = cszApplicationPath;
    nResult = 1;
Exit0:
    return nResult;
}

void QN_ConfirmPathDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_COMBO_CLIENT_PATH, m_PathComboBox);
}

BOOL QN_ConfirmPathDlg::OnInitDialog() {
    bool bFound = false;
    CDialog::OnInitDialog();
    for (int i = 0; i < QN_CLIENT_VERSION_TYPE::Count; ++i) {
        char szPath[260];
        std::string strRoot;
        if (!QN_GetClientPathInRegister(i, szPath) || !szPath[0]) continue;
        if (!QN_ClientRootFromInstallPath(szPath, i, &strRoot)) continue;
        m_PathComboBox.AddString(strRoot.c_str());
        if (!bFound) {
            m_PathComboBox.SetWindowText(strRoot.c_str());
            bFound = true;
        }
    }
    if (!bFound) m_PathComboBox.SetWindowText(m_strApplicationPath.c_str());
    return TRUE;
}

LRESULT QN_ConfirmPathDlg::WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    static const MessageMapEntry<QN_ConfirmPathDlg> s_MessageMap[] = {
        {WM_COMMAND, BN_CLICKED, IDCANCEL, nullptr, &QN_ConfirmPathDlg::OnBnClickedCancel},
        {WM_COMMAND, BN_CLICKED, IDC_CHOOSE_PATH, nullptr, &QN_ConfirmPathDlg::OnBnClickedChoosePath},
        {WM_COMMAND, BN_CLICKED, IDOK, nullptr, &QN_ConfirmPathDlg::OnBnClickedOk},
    };
    LRESULT lResult = 0;
    if (DispatchMessageMap(this, s_MessageMap, uMsg, wParam, lParam, &lResult)) return lResult;
    return CDialog::WindowProc(uMsg, wParam, lParam);
}

void QN_ConfirmPathDlg::OnBnClickedCancel() {
    m_bCancel = 1;
    OnCancel();
}

void QN_ConfirmPathDlg::OnBnClickedChoosePath() {
    BOOL bRetCode = FALSE;
    LPITEMIDLIST pIdlst = nullptr;
    BROWSEINFOA BrowseInfo;
    char szPath[260];

    std::memset(&BrowseInfo, 0, sizeof(BrowseInfo));
    // The browser is owned by this dialog, which it disables while it runs.
    BrowseInfo.hwndOwner = m_hWnd;
    BrowseInfo.pidlRoot = nullptr;
    BrowseInfo.lpszTitle = kBrowseTitle;
    BrowseInfo.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
    pIdlst = SHBrowseForFolderA(&BrowseInfo);
    QNLOG_PROCESS_ERROR(pIdlst);
    bRetCode = SHGetPathFromIDListA(pIdlst, szPath);
    QNLOG_PROCESS_ERROR(bRetCode);
    m_PathComboBox.SetWindowText(szPath);
Exit0:
    if (pIdlst) CoTaskMemFree(pIdlst);
}

void QN_ConfirmPathDlg::OnBnClickedOk() {
    char szPath[260];
    m_PathComboBox.GetWindowText(szPath, (int)_countof(szPath));
    if (!QN_PathFileExistsA(szPath)) {
        MessageBoxA(m_hWnd, kFolderMissing, kBoxCaption, MB_ICONEXCLAMATION);
        m_PathComboBox.SetFocus();
        return;
    }
    if (QN_GetClientVersionType(szPath) == QN_CLIENT_VERSION_TYPE::Invalid) {
        MessageBoxA(m_hWnd, kNoClientRoot, kBoxCaption, MB_ICONEXCLAMATION);
        m_PathComboBox.SetFocus();
        return;
    }
    m_strSelectedPath = szPath;
    if (m_strSelectedPath.empty() || !QN_IsPathSeparator(m_strSelectedPath.back())) m_strSelectedPath += '/';
    CDialog::OnOK();
}
