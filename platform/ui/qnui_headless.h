// The headless backend: no pixels, only the layer's own window state, with a driver that acts
// as the user. It serves the tests and runs that answer the dialogs from a script.
//
// The driver is called from any thread but the UI thread. Every action and every query runs
// on the UI thread as a queued task, so the single-thread rule of the windows holds. An action
// returns once the UI thread has taken it (true) or refused it because the target is missing,
// hidden or disabled (false); it does not wait for the handler, which may open a nested box.
//
// Message boxes and the folder browser take their answers from scripts queued beforehand. An
// answer may be held: the box then stays open, with its modal loop handling queued messages,
// until Release... gives the answer. A box without an answer is a failure: it is recorded,
// the failure handler runs, and the box answers Cancel (or no folder).
#pragma once

#include <climits>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "qnui.h"
#include "qnui_backend.h"

namespace qnui {

// The text of a message box or the title of a folder browser, and its owner.
struct BoxRecord {
    std::string strText;
    std::string strCaption;
    UINT uType = 0;
    HWND hOwner = nullptr;
};

// One text drawn during a paint.
struct DrawOp {
    std::string strText;
    int x = 0, y = 0;
    COLORREF crText = 0;
    int nBkMode = 0;
    bool bHasFont = false;
    bool bUnderline = false;
    LONG nWeight = 0;
};

class HeadlessBackend : public IBackend {
public:
    // Width of one code point and height of a line in the headless text metrics, in pixels.
    static constexpr int kCharWidth = 7;
    static constexpr int kLineHeight = 13;
    // The control id that stands for the dialog itself in the queries.
    static constexpr int kDialog = INT_MIN;
    static constexpr int kTimeoutMs = 30000;
    // The longest a modal loop waits before it looks at its end condition and the queue again.
    static constexpr int kWaitSliceMs = 50;

    // --- IBackend
    void Wake() override;
    void Wait() override;
    int MessageBox(HWND hOwner, const char* cszText, const char* cszCaption, UINT uType) override;
    bool BrowseForFolder(HWND hOwner, const char* cszTitle, std::string* pFolder) override;
    SIZE MeasureText(const LOGFONT* pFont, const char* csz, int nCount) override;
    void DrawText(CWnd* pWnd, const LOGFONT* pFont, COLORREF crText, int nBkMode, int x, int y,
                  const std::string& strText) override;
    void WindowDestroyed(CWnd* pWnd) override;

    // --- the driver
    // Runs fn on the UI thread and waits for it (at once when called there). False when the UI
    // thread did not run it in time.
    bool OnUi(const std::function<void()>& fn, int nTimeoutMs = kTimeoutMs);
    // Evaluates the predicate on the UI thread until it holds; false after the time-out.
    bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs = kTimeoutMs);
    // The innermost running modal dialog built from the template, once there is one.
    HWND WaitForDialog(UINT nTemplateId, int nTimeoutMs = kTimeoutMs);
    // Waits until no modal dialog built from the template runs.
    bool WaitForDialogEnd(UINT nTemplateId, int nTimeoutMs = kTimeoutMs);

    // User input. Each is refused when its window is missing, hidden or disabled, or when its
    // dialog is disabled (by a nested modal box or dialog that it owns).
    bool Click(HWND hDlg, int nId);
    bool Escape(HWND hDlg);
    bool CloseBox(HWND hDlg);
    bool Enter(HWND hDlg);
    // Mouse input in the control's client coordinates; a static control takes it only when it
    // has SS_NOTIFY.
    bool MouseMove(HWND hDlg, int nId, int x, int y);
    bool MouseLeave(HWND hDlg, int nId);
    bool LButtonDown(HWND hDlg, int nId, int x, int y);
    // Types a text into a control (the edit field of a combo box).
    bool TypeText(HWND hDlg, int nId, const std::string& strText);

    // Queries; a missing control gives an empty result.
    std::string Text(HWND hDlg, int nId);
    bool Exists(HWND hDlg, int nId);
    bool Enabled(HWND hDlg, int nId);
    int Progress(HWND hDlg, int nId);
    uint32_t TextSets(HWND hDlg, int nId);
    DWORD Style(HWND hDlg, int nId);
    RECT Rect(HWND hDlg, int nId);
    std::vector<std::string> ComboItems(HWND hDlg, int nId);
    // MF_ENABLED, or MF_GRAYED | MF_DISABLED; -1 without a system menu.
    int SysCloseState(HWND hDlg);
    HCURSOR Cursor();
    // Sends a paint to the control and returns what it drew.
    std::vector<DrawOp> Paint(HWND hDlg, int nId);

    // Scripted answers, used in order.
    void AnswerMessageBox(int nResult, bool bHold = false);
    void AnswerFolder(std::optional<std::string> strFolder, bool bHold = false);
    // Waits for a held box to be open and returns it.
    std::optional<BoxRecord> WaitForHeldBox(int nTimeoutMs = kTimeoutMs);
    std::optional<BoxRecord> WaitForHeldFolder(int nTimeoutMs = kTimeoutMs);
    // Answers the held box; false when none is open.
    bool ReleaseBox(int nResult);
    bool ReleaseFolder(std::optional<std::string> strFolder);

    std::vector<BoxRecord> Boxes();
    std::vector<BoxRecord> Folders();
    std::vector<std::string> Failures();
    size_t PendingAnswers();
    void SetFailureHandler(std::function<void(const std::string&)> fn);
    // Forgets answers, records and failures.
    void Reset();

private:
    struct Answer {
        int nResult = 0;
        std::optional<std::string> strFolder;
        bool bHold = false;
    };
    struct Held {
        bool bOpen = false;
        bool bAnswered = false;
        BoxRecord record;
        Answer answer;
    };

    // Queues a check and an action for the UI thread; returns the check's verdict.
    bool _Deliver(const std::function<CWnd*()>& fnTarget, const std::function<void(CWnd*)>& fnAct);
    void _Fail(const std::string& strWhat);
    bool _RunHeld(Held* pHeld, const BoxRecord& record, Answer* pAnswer);
    std::optional<BoxRecord> _WaitForHeld(Held* pHeld, int nTimeoutMs);
    bool _Release(Held* pHeld, const Answer& answer);

    std::mutex m_Wake;
    std::condition_variable m_cvWake;
    bool m_bWoken = false;

    std::mutex m_Mutex;
    std::condition_variable m_cvHeld;
    std::deque<Answer> m_BoxAnswers;
    std::deque<Answer> m_FolderAnswers;
    std::vector<BoxRecord> m_Boxes;
    std::vector<BoxRecord> m_Folders;
    std::vector<std::string> m_Failures;
    std::function<void(const std::string&)> m_fnFailure;
    Held m_HeldBox;
    Held m_HeldFolder;

    // UI thread only.
    std::map<uintptr_t, std::vector<DrawOp>> m_Drawn;
};

// Makes a new headless backend the backend of the process and returns it.
std::shared_ptr<HeadlessBackend> UseHeadlessBackend();

}  // namespace qnui
