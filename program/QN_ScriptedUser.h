// A user that answers the tool's dialogs from a script, for runs without a window: it waits
// for the main dialog, confirms the client folder when asked (QN_SCRIPT_CLIENT_ROOT, else what
// the dialog proposes), clicks Start once the tool is ready, and when the repair has ended
// prints its summary and closes the tool the way the button offers. Every status line and
// every message box goes to stdout.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

namespace qnui {
class HeadlessBackend;
}

class QN_ScriptedUser {
public:
    explicit QN_ScriptedUser(std::shared_ptr<qnui::HeadlessBackend> pBackend);
    // Stops and joins the user's thread; call once the dialogs have ended.
    ~QN_ScriptedUser();
    QN_ScriptedUser(const QN_ScriptedUser&) = delete;
    QN_ScriptedUser& operator=(const QN_ScriptedUser&) = delete;

private:
    void _Run();

    std::shared_ptr<qnui::HeadlessBackend> m_pBackend;
    std::atomic<bool> m_bStop{false};
    std::thread m_Thread;
};
