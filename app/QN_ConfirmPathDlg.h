// The dialog in which the user picks the client root: from the install paths the editions left
// in the registry, by typing, or with the folder browser.
#pragma once

#include <string>

#include "ui/qnui.h"

class QN_ConfirmPathDlg : public qnui::CDialog {
public:
    enum { IDD = 132 };
    enum { IDC_CHOOSE_PATH = 1016, IDC_COMBO_CLIENT_PATH = 1023 };

    // The owner is disabled while the dialog runs (the main dialog, so that Start and Exit
    // cannot be pressed under it).
    explicit QN_ConfirmPathDlg(qnui::CWnd* pParent = nullptr);
    ~QN_ConfirmPathDlg() override;

    // The tool's own folder, the fall-back text of the combo box. 1 or 0.
    int Init(const char* cszApplicationPath);

    qnui::CComboBox m_PathComboBox;
    std::string m_strApplicationPath;
    std::string m_strSelectedPath;  // the accepted root, always ending with a separator
    int m_bCancel;

protected:
    void DoDataExchange(qnui::CDataExchange* pDX) override;
    qnui::BOOL OnInitDialog() override;
    qnui::LRESULT WindowProc(qnui::UINT uMsg, qnui::WPARAM wParam, qnui::LPARAM lParam) override;

    void OnBnClickedCancel();
    void OnBnClickedChoosePath();
    void OnBnClickedOk();
};

// The root that an edition's registered install path names: the path with one trailing
// separator removed must end with "bin" + separator + the edition's sub-folder (without regard
// to ASCII case and to the kind of separator), right after a separator; what comes before,
// with its separator, is the root. False when it does not.
bool QN_ClientRootFromInstallPath(const std::string& strInstallPath, int nIndex, std::string* pRetRoot);
