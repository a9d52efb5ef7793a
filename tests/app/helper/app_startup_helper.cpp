// The start-up with a dialog stand-in: it writes "running" beside the program, then waits
// (at most 60 s) until a file "release" appears there. Exit code 0 when the start-up ran the
// dialog, 1 otherwise.
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "QN_QelRepairApp.h"
#include "qn_file.h"
#include "qn_process.h"
#include "ui/qnui_headless.h"

int main(int argc, char** argv) {
    qnui::AfxSetCommandLine(argc, argv);
    qnui::UseHeadlessBackend();
    char szPath[260];
    QN_GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    std::string strFolder(szPath);
    strFolder.resize(strFolder.find_last_of('/') + 1);
    return theApp.InitInstance(QN_QelRepairApp::DefaultLogParam(), [&] {
        std::ofstream(strFolder + "running") << "running\n";
        for (int i = 0; i < 3000 && !QN_PathFileExistsA((strFolder + "release").c_str()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }) ? 0 : 1;
}
