// The application object: the whole life of the program, from its log to the end of the main
// dialog, with one running copy per program file.
#pragma once

#include <functional>

#include "QN_Log.h"
#include "ui/qnui.h"

class QN_QelRepairApp : public qnui::CWinApp {
public:
    // The log "Logs"/"QelRepair", to a file, 100000000 lines a file; then the main dialog.
    qnui::BOOL InitInstance() override;

    // The start-up with the log parameters and the dialog to run given: TRUE after the dialog
    // ran, FALSE when the start failed or another copy of this program file runs.
    qnui::BOOL InitInstance(const QNLOG_PARAM& LogParam, const std::function<void()>& fnRunDialog);
    // The log parameters of the program.
    static QNLOG_PARAM DefaultLogParam();
};

extern QN_QelRepairApp theApp;
