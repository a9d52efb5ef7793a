// What the dialog layer asks of a window-system backend. The layer keeps the state of every
// window itself (text, enabled state, style, place, progress, list items); a backend shows it,
// delivers input back as messages, measures and draws text, and runs the boxes that ask the
// user something. Backends are called on the UI thread only, except Wake.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "qnui.h"

namespace qnui {

class IBackend {
public:
    virtual ~IBackend() = default;

    // Any thread: something was queued; a Wait in progress returns.
    virtual void Wake() = 0;
    // Waits until Wake is called or native input arrives. May return early.
    virtual void Wait() = 0;

    virtual void WindowCreated(CWnd* /*pWnd*/) {}
    // Text, enabled state, style, font or a control's value changed.
    virtual void WindowChanged(CWnd* /*pWnd*/) {}
    virtual void WindowDestroyed(CWnd* /*pWnd*/) {}
    // A modal dialog starts or stops being shown.
    virtual void DialogShown(CDialog* /*pDlg*/, bool /*bShown*/) {}
    // Draws what is pending now (before the UI thread blocks in a long wait).
    virtual void Flush() {}

    // Runs a message box; the owner is already disabled. IDOK or IDCANCEL.
    virtual int MessageBox(HWND hOwner, const char* cszText, const char* cszCaption, UINT uType) = 0;
    // Runs the folder browser; false when the user cancels.
    virtual bool BrowseForFolder(HWND hOwner, const char* cszTitle, std::string* pFolder) = 0;

    // Text measurement and drawing in a font (nullptr: the default font of the device context).
    virtual SIZE MeasureText(const LOGFONT* pFont, const char* csz, int nCount) = 0;
    virtual void DrawText(CWnd* pWnd, const LOGFONT* pFont, COLORREF crText, int nBkMode, int x, int y,
                          const std::string& strText) = 0;
    // The default painting of a window (its own text and frame).
    virtual void DefaultPaint(CWnd* /*pWnd*/) {}
    virtual void CursorChanged(HCURSOR /*hCursor*/) {}

    // Dialog base units in pixels: a dialog unit is base x / 4 wide and base y / 8 high.
    virtual int BaseUnitX() const { return 6; }
    virtual int BaseUnitY() const { return 13; }
};

// The backend of the process. Set it before the first window is made; without one the
// headless backend is used.
void SetBackend(std::shared_ptr<IBackend> pBackend);
IBackend* GetBackend();

// UI thread: runs a nested modal loop, handling every queued message and task, until
// bDone() holds or a quit message ends every loop. False when a quit ended it.
bool RunModalLoop(const std::function<bool()>& bDone);
// True on the thread that runs the modal loops, while one runs.
bool IsUiThread();
// Any thread: queues a task that a modal loop of the UI thread runs in posting order with
// the messages.
void PostTask(std::function<void()> fnTask);
// Any thread: the number of queued items handled so far, and a wait for it to change.
uint64_t DispatchCount();
bool WaitForDispatchAfter(uint64_t ullCount, int nTimeoutMs);
// The modal dialogs running now, outermost first (UI thread).
std::vector<CDialog*> ModalDialogs();
// The current cursor (UI thread).
HCURSOR GetCursor();

}  // namespace qnui
