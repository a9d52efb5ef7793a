// The headless backend and its driver.
#include "qnui_headless.h"

#include <chrono>

namespace qnui {

namespace {

int CodePoints(const char* csz, int nCount) {
    int n = 0;
    for (int i = 0; i < nCount; ++i)
        if (((unsigned char)csz[i] & 0xC0) != 0x80) ++n;
    return n;
}

CWnd* FindControl(HWND hDlg, int nId) {
    CWnd* pDlg = CWnd::FromHandle(hDlg);
    if (!pDlg) return nullptr;
    if (nId == HeadlessBackend::kDialog) return pDlg;
    return pDlg->GetDlgItem(nId);
}

// A window the user can reach: shown, enabled, in a dialog that runs and is enabled.
bool Reachable(CWnd* pWnd) {
    if (!pWnd || !pWnd->IsWindowVisible() || !pWnd->IsWindowEnabled()) return false;
    CWnd* pTop = pWnd->GetParent() ? pWnd->GetParent() : pWnd;
    auto* pDlg = dynamic_cast<CDialog*>(pTop);
    return pDlg && pDlg->IsModalRunning() && pDlg->IsWindowEnabled();
}

}  // namespace

std::shared_ptr<HeadlessBackend> UseHeadlessBackend() {
    auto p = std::make_shared<HeadlessBackend>();
    SetBackend(p);
    return p;
}

void HeadlessBackend::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_Wake);
        m_bWoken = true;
    }
    m_cvWake.notify_all();
}

void HeadlessBackend::Wait() {
    // In slices: the modal loop looks at its end condition and the queue again after each, so a
    // loop never waits for ever on a wake that went to another backend or never came.
    std::unique_lock<std::mutex> lock(m_Wake);
    m_cvWake.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs), [this] { return m_bWoken; });
    m_bWoken = false;
}

void HeadlessBackend::_Fail(const std::string& strWhat) {
    std::function<void(const std::string&)> fn;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Failures.push_back(strWhat);
        fn = m_fnFailure;
    }
    if (fn) fn(strWhat);
}

bool HeadlessBackend::_RunHeld(Held* pHeld, const BoxRecord& record, Answer* pAnswer) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        pHeld->bOpen = true;
        pHeld->bAnswered = false;
        pHeld->record = record;
    }
    m_cvHeld.notify_all();
    bool bAnswered = RunModalLoop([this, pHeld] {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return pHeld->bAnswered;
    });
    std::lock_guard<std::mutex> lock(m_Mutex);
    pHeld->bOpen = false;
    if (bAnswered) *pAnswer = pHeld->answer;
    return bAnswered;
}

int HeadlessBackend::MessageBox(HWND hOwner, const char* cszText, const char* cszCaption, UINT uType) {
    BoxRecord record{cszText, cszCaption, uType, hOwner};
    Answer answer;
    bool bHave = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Boxes.push_back(record);
        if (!m_BoxAnswers.empty()) {
            answer = m_BoxAnswers.front();
            m_BoxAnswers.pop_front();
            bHave = true;
        }
    }
    const int nRefusal = (uType & 0xF) == MB_OK ? IDOK : IDCANCEL;
    if (!bHave) {
        _Fail("unexpected message box: " + record.strText);
        return nRefusal;
    }
    if (answer.bHold && !_RunHeld(&m_HeldBox, record, &answer)) return nRefusal;
    return answer.nResult;
}

bool HeadlessBackend::BrowseForFolder(HWND hOwner, const char* cszTitle, std::string* pFolder) {
    BoxRecord record{cszTitle, "", 0, hOwner};
    Answer answer;
    bool bHave = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Folders.push_back(record);
        if (!m_FolderAnswers.empty()) {
            answer = m_FolderAnswers.front();
            m_FolderAnswers.pop_front();
            bHave = true;
        }
    }
    if (!bHave) {
        _Fail("unexpected folder browser: " + record.strText);
        return false;
    }
    if (answer.bHold && !_RunHeld(&m_HeldFolder, record, &answer)) return false;
    if (!answer.strFolder) return false;
    *pFolder = *answer.strFolder;
    return true;
}

SIZE HeadlessBackend::MeasureText(const LOGFONT* /*pFont*/, const char* csz, int nCount) {
    return SIZE{CodePoints(csz, nCount) * kCharWidth, kLineHeight};
}

void HeadlessBackend::DrawText(CWnd* pWnd, const LOGFONT* pFont, COLORREF crText, int nBkMode, int x, int y,
                               const std::string& strText) {
    DrawOp op;
    op.strText = strText;
    op.x = x;
    op.y = y;
    op.crText = crText;
    op.nBkMode = nBkMode;
    op.bHasFont = pFont != nullptr;
    op.bUnderline = pFont && pFont->lfUnderline;
    op.nWeight = pFont ? pFont->lfWeight : 0;
    m_Drawn[(uintptr_t)pWnd->GetSafeHwnd()].push_back(op);
}

void HeadlessBackend::WindowDestroyed(CWnd* pWnd) { m_Drawn.erase((uintptr_t)pWnd->GetSafeHwnd()); }

// -------------------------------------------------------------------------------- the driver

bool HeadlessBackend::OnUi(const std::function<void()>& fn, int nTimeoutMs) {
    // A query made on the UI thread itself (inside a predicate of WaitUntil) runs at once.
    if (IsUiThread()) {
        fn();
        return true;
    }
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool bDone = false;
        bool bAbandoned = false;
    };
    auto pState = std::make_shared<State>();
    PostTask([pState, fn] {
        {
            // A caller that gave up has left; what fn refers to may be gone with it.
            std::lock_guard<std::mutex> lock(pState->mutex);
            if (pState->bAbandoned) return;
        }
        fn();
        {
            std::lock_guard<std::mutex> lock(pState->mutex);
            pState->bDone = true;
        }
        pState->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(pState->mutex);
    if (pState->cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] { return pState->bDone; })) return true;
    pState->bAbandoned = true;
    return false;
}

bool HeadlessBackend::WaitUntil(const std::function<bool()>& pred, int nTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        bool bHolds = false;
        int nLeft = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (nLeft <= 0) return false;
        uint64_t ullSeen = DispatchCount();
        if (!OnUi([&] { bHolds = pred(); }, nLeft)) return false;
        if (bHolds) return true;
        // Wait for the UI thread to handle something more; values that workers change without
        // posting are looked at again after a short while.
        WaitForDispatchAfter(ullSeen + 1, 20);
    }
}

HWND HeadlessBackend::WaitForDialog(UINT nTemplateId, int nTimeoutMs) {
    HWND hFound = nullptr;
    WaitUntil(
        [&] {
            std::vector<CDialog*> dialogs = ModalDialogs();
            for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it)
                if ((*it)->TemplateId() == nTemplateId) {
                    hFound = (*it)->GetSafeHwnd();
                    return true;
                }
            return false;
        },
        nTimeoutMs);
    return hFound;
}

bool HeadlessBackend::WaitForDialogEnd(UINT nTemplateId, int nTimeoutMs) {
    return WaitUntil(
        [&] {
            for (CDialog* p : ModalDialogs())
                if (p->TemplateId() == nTemplateId) return false;
            return true;
        },
        nTimeoutMs);
}

bool HeadlessBackend::_Deliver(const std::function<CWnd*()>& fnTarget, const std::function<void(CWnd*)>& fnAct) {
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool bChecked = false;
        bool bTaken = false;
    };
    auto pState = std::make_shared<State>();
    PostTask([pState, fnTarget, fnAct] {
        CWnd* pTarget = fnTarget();
        {
            std::lock_guard<std::mutex> lock(pState->mutex);
            pState->bChecked = true;
            pState->bTaken = pTarget != nullptr;
        }
        pState->cv.notify_all();
        if (pTarget) fnAct(pTarget);
    });
    std::unique_lock<std::mutex> lock(pState->mutex);
    if (!pState->cv.wait_for(lock, std::chrono::milliseconds(kTimeoutMs), [&] { return pState->bChecked; })) {
        lock.unlock();
        _Fail("the UI thread did not take an input");
        return false;
    }
    return pState->bTaken;
}

bool HeadlessBackend::Click(HWND hDlg, int nId) {
    return _Deliver(
        [=]() -> CWnd* {
            CWnd* p = FindControl(hDlg, nId);
            if (!p || p == CWnd::FromHandle(hDlg) || p->ClassName() != "BUTTON") return nullptr;
            if ((p->GetStyle() & 0xF) == BS_GROUPBOX || !Reachable(p)) return nullptr;
            return p;
        },
        [=](CWnd* p) {
            if (CWnd* pDlg = CWnd::FromHandle(hDlg))
                pDlg->SendMessage(WM_COMMAND, MAKEWPARAM((unsigned)nId, BN_CLICKED), (LPARAM)p->GetSafeHwnd());
        });
}

bool HeadlessBackend::Escape(HWND hDlg) {
    return _Deliver([=]() -> CWnd* { CWnd* p = CWnd::FromHandle(hDlg); return Reachable(p) ? p : nullptr; },
                    [](CWnd* p) { p->SendMessage(WM_COMMAND, MAKEWPARAM((unsigned)IDCANCEL, BN_CLICKED), 0); });
}

bool HeadlessBackend::CloseBox(HWND hDlg) {
    return _Deliver([=]() -> CWnd* { CWnd* p = CWnd::FromHandle(hDlg); return Reachable(p) ? p : nullptr; },
                    [](CWnd* p) { p->SendMessage(WM_SYSCOMMAND, SC_CLOSE, 0); });
}

bool HeadlessBackend::Enter(HWND hDlg) {
    return _Deliver(
        [=]() -> CWnd* {
            auto* pDlg = dynamic_cast<CDialog*>(CWnd::FromHandle(hDlg));
            if (!Reachable(pDlg)) return nullptr;
            CWnd* pDefault = nullptr;
            for (CWnd* p : pDlg->Controls())
                if (p->ClassName() == "BUTTON" && (p->GetStyle() & 0xF) == BS_DEFPUSHBUTTON) {
                    pDefault = p;
                    break;
                }
            if (!pDefault) pDefault = pDlg->GetDlgItem(IDOK);
            if (pDefault && !pDefault->IsWindowEnabled()) return nullptr;
            return pDefault ? pDefault : pDlg;
        },
        [=](CWnd* p) {
            int nId = p->GetParent() ? p->GetDlgCtrlID() : IDOK;
            if (CWnd* pDlg = CWnd::FromHandle(hDlg))
                pDlg->SendMessage(WM_COMMAND, MAKEWPARAM((unsigned)nId, BN_CLICKED), 0);
        });
}

namespace {
CWnd* MouseTarget(HWND hDlg, int nId) {
    CWnd* p = FindControl(hDlg, nId);
    if (!Reachable(p)) return nullptr;
    if (p->ClassName() == "STATIC" && !(p->GetStyle() & SS_NOTIFY)) return nullptr;
    return p;
}
}  // namespace

bool HeadlessBackend::MouseMove(HWND hDlg, int nId, int x, int y) {
    return _Deliver([=] { return MouseTarget(hDlg, nId); },
                    [=](CWnd* p) { p->SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM((unsigned)x, (unsigned)y)); });
}

bool HeadlessBackend::MouseLeave(HWND hDlg, int nId) {
    return _Deliver([=] { return MouseTarget(hDlg, nId); }, [](CWnd* p) { p->SendMessage(WM_MOUSELEAVE); });
}

bool HeadlessBackend::LButtonDown(HWND hDlg, int nId, int x, int y) {
    return _Deliver([=] { return MouseTarget(hDlg, nId); },
                    [=](CWnd* p) { p->SendMessage(WM_LBUTTONDOWN, 0, MAKELPARAM((unsigned)x, (unsigned)y)); });
}

bool HeadlessBackend::TypeText(HWND hDlg, int nId, const std::string& strText) {
    return _Deliver([=]() -> CWnd* { CWnd* p = FindControl(hDlg, nId); return Reachable(p) ? p : nullptr; },
                    [=](CWnd* p) { p->SetWindowText(strText.c_str()); });
}

std::string HeadlessBackend::Text(HWND hDlg, int nId) {
    std::string s;
    OnUi([&] {
        if (CWnd* p = FindControl(hDlg, nId)) p->GetWindowText(s);
    });
    return s;
}

bool HeadlessBackend::Exists(HWND hDlg, int nId) {
    bool b = false;
    OnUi([&] { b = FindControl(hDlg, nId) != nullptr; });
    return b;
}

bool HeadlessBackend::Enabled(HWND hDlg, int nId) {
    bool b = false;
    OnUi([&] {
        if (CWnd* p = FindControl(hDlg, nId)) b = p->IsWindowEnabled();
    });
    return b;
}

int HeadlessBackend::Progress(HWND hDlg, int nId) {
    int n = -1;
    OnUi([&] {
        if (auto* p = dynamic_cast<CProgressCtrl*>(FindControl(hDlg, nId))) n = p->GetPos();
    });
    return n;
}

uint32_t HeadlessBackend::TextSets(HWND hDlg, int nId) {
    uint32_t u = 0;
    OnUi([&] {
        if (CWnd* p = FindControl(hDlg, nId)) u = p->TextSetCount();
    });
    return u;
}

DWORD HeadlessBackend::Style(HWND hDlg, int nId) {
    DWORD dw = 0;
    OnUi([&] {
        if (CWnd* p = FindControl(hDlg, nId)) dw = p->GetStyle();
    });
    return dw;
}

RECT HeadlessBackend::Rect(HWND hDlg, int nId) {
    RECT rc{0, 0, 0, 0};
    OnUi([&] {
        if (CWnd* p = FindControl(hDlg, nId)) p->GetWindowRect(&rc);
    });
    return rc;
}

std::vector<std::string> HeadlessBackend::ComboItems(HWND hDlg, int nId) {
    std::vector<std::string> items;
    OnUi([&] {
        if (auto* p = dynamic_cast<CComboBox*>(FindControl(hDlg, nId)))
            for (int i = 0; i < p->GetCount(); ++i) {
                CString s;
                p->GetLBText(i, s);
                items.push_back(s);
            }
    });
    return items;
}

int HeadlessBackend::SysCloseState(HWND hDlg) {
    int n = -1;
    OnUi([&] {
        if (CWnd* p = CWnd::FromHandle(hDlg))
            if (CMenu* pMenu = p->GetSystemMenu(FALSE)) n = (int)pMenu->CloseState();
    });
    return n;
}

HCURSOR HeadlessBackend::Cursor() {
    HCURSOR h = nullptr;
    OnUi([&] { h = GetCursor(); });
    return h;
}

std::vector<DrawOp> HeadlessBackend::Paint(HWND hDlg, int nId) {
    std::vector<DrawOp> ops;
    OnUi([&] {
        CWnd* p = FindControl(hDlg, nId);
        if (!p) return;
        m_Drawn.erase((uintptr_t)p->GetSafeHwnd());
        p->SendMessage(WM_PAINT);
        ops = m_Drawn[(uintptr_t)p->GetSafeHwnd()];
    });
    return ops;
}

void HeadlessBackend::AnswerMessageBox(int nResult, bool bHold) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_BoxAnswers.push_back(Answer{nResult, std::nullopt, bHold});
}

void HeadlessBackend::AnswerFolder(std::optional<std::string> strFolder, bool bHold) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_FolderAnswers.push_back(Answer{0, std::move(strFolder), bHold});
}

std::optional<BoxRecord> HeadlessBackend::_WaitForHeld(Held* pHeld, int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_cvHeld.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] { return pHeld->bOpen && !pHeld->bAnswered; }))
        return std::nullopt;
    return pHeld->record;
}

std::optional<BoxRecord> HeadlessBackend::WaitForHeldBox(int nTimeoutMs) { return _WaitForHeld(&m_HeldBox, nTimeoutMs); }

std::optional<BoxRecord> HeadlessBackend::WaitForHeldFolder(int nTimeoutMs) {
    return _WaitForHeld(&m_HeldFolder, nTimeoutMs);
}

bool HeadlessBackend::_Release(Held* pHeld, const Answer& answer) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!pHeld->bOpen || pHeld->bAnswered) return false;
    }
    // The answer is given on the UI thread, where the box's loop looks for it.
    PostTask([this, pHeld, answer] {
        std::lock_guard<std::mutex> lock(m_Mutex);
        pHeld->answer = answer;
        pHeld->bAnswered = true;
    });
    return true;
}

bool HeadlessBackend::ReleaseBox(int nResult) { return _Release(&m_HeldBox, Answer{nResult, std::nullopt, false}); }

bool HeadlessBackend::ReleaseFolder(std::optional<std::string> strFolder) {
    return _Release(&m_HeldFolder, Answer{0, std::move(strFolder), false});
}

std::vector<BoxRecord> HeadlessBackend::Boxes() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Boxes;
}

std::vector<BoxRecord> HeadlessBackend::Folders() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Folders;
}

std::vector<std::string> HeadlessBackend::Failures() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Failures;
}

size_t HeadlessBackend::PendingAnswers() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_BoxAnswers.size() + m_FolderAnswers.size();
}

void HeadlessBackend::SetFailureHandler(std::function<void(const std::string&)> fn) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_fnFailure = std::move(fn);
}

void HeadlessBackend::Reset() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_BoxAnswers.clear();
    m_FolderAnswers.clear();
    m_Boxes.clear();
    m_Folders.clear();
    m_Failures.clear();
}

}  // namespace qnui
