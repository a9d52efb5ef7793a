// The program's entry: the backend of the windows, then the application object.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "QN_QelRepairApp.h"
#include "QN_QelRepairDlg.h"
#include "QN_ScriptedUser.h"
#include "qnui_fltk.h"
#include "qn_version_info.h"
#include "ui/qnui_headless.h"

// The version the self-update compares with the repair server's.
QN_DEFINE_VERSION_RECORD(g_QelRepairVersionRecord, QN_PROGRAM_VERSION);

int main(int argc, char** argv) {
    qnui::AfxSetCommandLine(argc, argv);
    // QN_UI=headless runs without a window, with a scripted user answering the dialogs.
    const char* cszUi = std::getenv("QN_UI");
    std::unique_ptr<QN_ScriptedUser> pUser;
    int nExitCode = 0;
    if (cszUi && std::strcmp(cszUi, "headless") == 0) {
        pUser = std::make_unique<QN_ScriptedUser>(qnui::UseHeadlessBackend());
    } else if (!qnui::UseFltkBackend()) {
        std::fprintf(stderr,
                     "QelRepair.exe: no X display could be opened (DISPLAY is %s); the tool needs one to show its "
                     "window.\n",
                     std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "not set");
        return 1;
    }
    QN_SetRepairDialogWorkers(QN_GetProgramRepairDialogWorkers());
    nExitCode = theApp.InitInstance() ? 0 : 1;
    pUser.reset();
    return nExitCode;
}
