#include "QN_ScriptedUser.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "QN_ConfirmPathDlg.h"
#include "QN_QelRepairDlg.h"
#include "ui/qnui_headless.h"

namespace {

const char kChecking[] = "正在检查修复工具新版本，请稍候...";
const int kQueryMs = 500;

void Say(const char* cszWhat, const std::string& strText) {
    std::printf("%s: %s\n", cszWhat, strText.c_str());
    std::fflush(stdout);
}

}  // namespace

QN_ScriptedUser::QN_ScriptedUser(std::shared_ptr<qnui::HeadlessBackend> pBackend) : m_pBackend(std::move(pBackend)) {
    m_pBackend->SetFailureHandler([](const std::string& strWhat) { Say("box", strWhat); });
    m_Thread = std::thread([this] { _Run(); });
}

QN_ScriptedUser::~QN_ScriptedUser() {
    m_bStop = true;
    if (m_Thread.joinable()) m_Thread.join();
}

void QN_ScriptedUser::_Run() {
    qnui::HeadlessBackend& ui = *m_pBackend;
    const char* cszRoot = std::getenv("QN_SCRIPT_CLIENT_ROOT");
    std::string strShown;
    std::string strAtClick;
    bool bClicked = false;
    bool bEnded = false;
    qnui::HWND hMain = nullptr;

    while (!m_bStop && !hMain) hMain = ui.WaitForDialog(QN_QelRepairDlg::IDD, kQueryMs);
    while (!m_bStop) {
        // One look at the windows per cycle, taken on the UI thread; nothing when it has ended.
        std::string strStatus, strCaption;
        bool bStartEnabled = false;
        bool bLooked = ui.OnUi(
            [&] {
                strStatus = ui.Text(hMain, qnui::IDC_STATIC);
                strCaption = ui.Text(hMain, QN_QelRepairDlg::IDC_BUTTON_START);
                bStartEnabled = ui.Enabled(hMain, QN_QelRepairDlg::IDC_BUTTON_START);
            },
            kQueryMs);
        if (!bLooked) continue;
        qnui::HWND hConfirm = ui.WaitForDialog(QN_ConfirmPathDlg::IDD, 50);
        if (hConfirm) {
            if (cszRoot && cszRoot[0]) ui.TypeText(hConfirm, QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH, cszRoot);
            Say("user", "confirms the client folder " + ui.Text(hConfirm, QN_ConfirmPathDlg::IDC_COMBO_CLIENT_PATH));
            ui.Click(hConfirm, qnui::IDOK);
            ui.WaitForDialogEnd(QN_ConfirmPathDlg::IDD, kQueryMs);
            continue;
        }
        if (strStatus != strShown) {
            strShown = strStatus;
            Say("status", strStatus);
        }
        if (!bClicked && bStartEnabled && strStatus != kChecking) {
            Say("user", "clicks " + strCaption);
            strAtClick = strStatus;
            bClicked = ui.Click(hMain, QN_QelRepairDlg::IDC_BUTTON_START);
        } else if (bClicked && !bEnded && bStartEnabled && strStatus != strAtClick &&
                   (strStatus.find("修复完成") == 0 || strStatus.find("失败") != std::string::npos)) {
            bEnded = true;
            Say("summary", strStatus);
            // "完成" ends the tool; after a failure the user leaves with Exit.
            if (strCaption == "完成") {
                Say("user", "clicks " + strCaption);
                ui.Click(hMain, QN_QelRepairDlg::IDC_BUTTON_START);
            } else {
                Say("user", "clicks 退出");
                ui.Click(hMain, QN_QelRepairDlg::IDC_BUTTON_EXIT);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
