// The dialog layer's windows, queue and modal loops.
#include "qnui.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "qn_process.h"
#include "qn_string.h"
#include "qnui_backend.h"
#include "qnui_headless.h"

namespace qnui {

struct HFONT__ {
    LOGFONT lf;
};

namespace {

struct QueuedItem {
    uintptr_t uWnd = 0;
    UINT uMsg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::function<void()> fnTask;
};

// Length of the longest prefix of csz, at most uMax bytes, that ends at a character boundary.
size_t Utf8CutLength(const char* csz, size_t uLen, size_t uMax) {
    if (uLen <= uMax) return uLen;
    size_t n = uMax;
    while (n > 0 && ((unsigned char)csz[n] & 0xC0) == 0x80) --n;
    return n;
}

}  // namespace

// Process-wide state of the layer. Never destroyed, so that a late PostMessage from a worker
// during static destruction stays harmless.
struct WindowSystem {
    std::mutex mutex;
    std::condition_variable cvDispatched;
    std::deque<QueuedItem> queue;
    std::map<uintptr_t, CWnd*> windows;  // live windows by handle
    uintptr_t uNextHandle = 0x10000;
    uint64_t ullDispatched = 0;
    std::shared_ptr<IBackend> pBackend;
    std::map<UINT, const DLGTEMPLATE*> templates;
    std::set<HFONT> fonts;

    // The thread running the modal loops, while one runs.
    std::atomic<std::thread::id> uiThread{std::thread::id()};
    // UI thread only.
    int nLoopDepth = 0;
    bool bQuit = false;
    std::vector<CDialog*> modalDialogs;
    HCURSOR hCursor = nullptr;

    static WindowSystem& Get() {
        static WindowSystem* s_p = new WindowSystem;
        return *s_p;
    }

    IBackend* Backend() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!pBackend) pBackend = std::make_shared<HeadlessBackend>();
        return pBackend.get();
    }

    HWND Register(CWnd* pWnd) {
        std::lock_guard<std::mutex> lock(mutex);
        uintptr_t u = uNextHandle++;
        windows[u] = pWnd;
        return (HWND)u;
    }
    void Rebind(HWND hWnd, CWnd* pWnd) {
        std::lock_guard<std::mutex> lock(mutex);
        windows[(uintptr_t)hWnd] = pWnd;
    }
    void Unregister(HWND hWnd) {
        std::lock_guard<std::mutex> lock(mutex);
        windows.erase((uintptr_t)hWnd);
    }
    CWnd* Find(HWND hWnd) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = windows.find((uintptr_t)hWnd);
        return it == windows.end() ? nullptr : it->second;
    }

    bool Post(QueuedItem item) {
        IBackend* pB = Backend();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!item.fnTask && windows.find(item.uWnd) == windows.end()) return false;
            queue.push_back(std::move(item));
        }
        pB->Wake();
        return true;
    }

    bool Pop(QueuedItem* pItem) {
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.empty()) return false;
        *pItem = std::move(queue.front());
        queue.pop_front();
        return true;
    }

    void Dispatch(QueuedItem& item) {
        if (item.fnTask) {
            item.fnTask();
        } else if (CWnd* pWnd = Find((HWND)item.uWnd)) {
            pWnd->SendMessage(item.uMsg, item.wParam, item.lParam);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++ullDispatched;
        }
        cvDispatched.notify_all();
    }
};

void SetBackend(std::shared_ptr<IBackend> pBackend) {
    WindowSystem& ws = WindowSystem::Get();
    std::lock_guard<std::mutex> lock(ws.mutex);
    ws.pBackend = std::move(pBackend);
}

IBackend* GetBackend() { return WindowSystem::Get().Backend(); }

bool RunModalLoop(const std::function<bool()>& bDone) {
    WindowSystem& ws = WindowSystem::Get();
    IBackend* pB = ws.Backend();
    if (ws.nLoopDepth++ == 0) ws.uiThread = std::this_thread::get_id();
    while (!ws.bQuit && !bDone()) {
        QueuedItem item;
        if (ws.Pop(&item)) {
            ws.Dispatch(item);
            continue;
        }
        pB->Wait();
    }
    bool bQuitted = ws.bQuit;
    --ws.nLoopDepth;
    // The outermost loop takes the quit message, as the application's own loop would.
    if (ws.nLoopDepth == 0) {
        ws.bQuit = false;
        ws.uiThread = std::thread::id();
    }
    return !bQuitted;
}

bool IsUiThread() { return WindowSystem::Get().uiThread.load() == std::this_thread::get_id(); }

void PostTask(std::function<void()> fnTask) {
    QueuedItem item;
    item.fnTask = std::move(fnTask);
    WindowSystem::Get().Post(std::move(item));
}

uint64_t DispatchCount() {
    WindowSystem& ws = WindowSystem::Get();
    std::lock_guard<std::mutex> lock(ws.mutex);
    return ws.ullDispatched;
}

bool WaitForDispatchAfter(uint64_t ullCount, int nTimeoutMs) {
    WindowSystem& ws = WindowSystem::Get();
    std::unique_lock<std::mutex> lock(ws.mutex);
    return ws.cvDispatched.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                                    [&] { return ws.ullDispatched > ullCount; });
}

std::vector<CDialog*> ModalDialogs() { return WindowSystem::Get().modalDialogs; }

HCURSOR GetCursor() { return WindowSystem::Get().hCursor; }

void RegisterDialogTemplate(const DLGTEMPLATE* pTemplate) {
    WindowSystem& ws = WindowSystem::Get();
    std::lock_guard<std::mutex> lock(ws.mutex);
    ws.templates[pTemplate->nId] = pTemplate;
}

BOOL PostMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    QueuedItem item;
    item.uWnd = (uintptr_t)hWnd;
    item.uMsg = uMsg;
    item.wParam = wParam;
    item.lParam = lParam;
    return WindowSystem::Get().Post(std::move(item)) ? TRUE : FALSE;
}

void PostQuitMessage(int /*nExitCode*/) {
    WindowSystem& ws = WindowSystem::Get();
    ws.bQuit = true;
    ws.Backend()->Wake();
}

// ---------------------------------------------------------------------------------- fonts

CFont::~CFont() { DeleteObject(); }

BOOL CFont::CreateFontIndirect(const LOGFONT* pLogFont) {
    if (!pLogFont || m_hFont) return FALSE;
    HFONT hFont = new HFONT__{*pLogFont};
    hFont->lf.lfFaceName[sizeof(hFont->lf.lfFaceName) - 1] = 0;
    WindowSystem& ws = WindowSystem::Get();
    std::lock_guard<std::mutex> lock(ws.mutex);
    ws.fonts.insert(hFont);
    m_hFont = hFont;
    return TRUE;
}

BOOL CFont::CreateFont(int nHeight, int nWidth, int nEscapement, int nOrientation, int nWeight, BYTE bItalic,
                       BYTE bUnderline, BYTE cStrikeOut, BYTE nCharSet, BYTE nOutPrecision, BYTE nClipPrecision,
                       BYTE nQuality, BYTE nPitchAndFamily, const char* cszFacename) {
    LOGFONT lf{};
    lf.lfHeight = nHeight;
    lf.lfWidth = nWidth;
    lf.lfEscapement = nEscapement;
    lf.lfOrientation = nOrientation;
    lf.lfWeight = nWeight;
    lf.lfItalic = bItalic;
    lf.lfUnderline = bUnderline;
    lf.lfStrikeOut = cStrikeOut;
    lf.lfCharSet = nCharSet;
    lf.lfOutPrecision = nOutPrecision;
    lf.lfClipPrecision = nClipPrecision;
    lf.lfQuality = nQuality;
    lf.lfPitchAndFamily = nPitchAndFamily;
    if (cszFacename) QN_StrCopyN(lf.lfFaceName, sizeof(lf.lfFaceName), cszFacename);
    return CreateFontIndirect(&lf);
}

int CFont::GetLogFont(LOGFONT* pLogFont) const { return GetObject(m_hFont, sizeof(LOGFONT), pLogFont); }

BOOL CFont::DeleteObject() {
    if (!m_hFont) return FALSE;
    WindowSystem& ws = WindowSystem::Get();
    {
        std::lock_guard<std::mutex> lock(ws.mutex);
        ws.fonts.erase(m_hFont);
    }
    delete m_hFont;
    m_hFont = nullptr;
    return TRUE;
}

int GetObject(HFONT hFont, int nSize, LOGFONT* pLogFont) {
    if (!hFont || !pLogFont || nSize < (int)sizeof(LOGFONT)) return 0;
    WindowSystem& ws = WindowSystem::Get();
    std::lock_guard<std::mutex> lock(ws.mutex);
    if (!ws.fonts.count(hFont)) return 0;
    *pLogFont = hFont->lf;
    return (int)sizeof(LOGFONT);
}

// ----------------------------------------------------------------------------------- menu

UINT CMenu::EnableMenuItem(UINT nIDEnableItem, UINT nEnable) {
    if ((nIDEnableItem & 0xFFFF) != SC_CLOSE) return (UINT)-1;
    UINT uOld = m_uCloseState;
    m_uCloseState = nEnable & (MF_GRAYED | MF_DISABLED);
    return uOld;
}

BOOL CMenu::GetMenuItemInfo(UINT uItem, MENUITEMINFOA* pInfo, BOOL fByPos) const {
    if (!pInfo || fByPos || uItem != SC_CLOSE) return FALSE;
    if (pInfo->fMask & MIIM_STATE) pInfo->fState = m_uCloseState ? MFS_GRAYED : MFS_ENABLED;
    pInfo->wID = SC_CLOSE;
    return TRUE;
}

// ---------------------------------------------------------------------------------- windows

CWnd::CWnd() = default;

CWnd::~CWnd() {
    if (m_hWnd) WindowSystem::Get().Unregister(m_hWnd);
}

CWnd* CWnd::FromHandle(HWND hWnd) { return WindowSystem::Get().Find(hWnd); }

void CWnd::SetWindowText(const char* cszText) {
    std::string strNew = cszText ? cszText : "";
    if (strNew == m_strText) return;
    m_strText = strNew;
    ++m_uTextSets;
    if (m_hWnd) GetBackend()->WindowChanged(this);
}

void CWnd::GetWindowText(CString& rString) const { rString = m_strText; }

int CWnd::GetWindowText(char* szBuf, int nMaxCount) const {
    if (!szBuf || nMaxCount <= 0) return 0;
    size_t n = Utf8CutLength(m_strText.data(), m_strText.size(), (size_t)nMaxCount - 1);
    std::memcpy(szBuf, m_strText.data(), n);
    szBuf[n] = 0;
    return (int)n;
}

BOOL CWnd::EnableWindow(BOOL bEnable) {
    BOOL bWasDisabled = !m_bEnabled;
    bool bNew = bEnable != FALSE;
    if (bNew != m_bEnabled) {
        m_bEnabled = bNew;
        if (m_hWnd) GetBackend()->WindowChanged(this);
    }
    return bWasDisabled;
}

CWnd* CWnd::GetDlgItem(int nId) const {
    const CDialog* pDlg = dynamic_cast<const CDialog*>(this);
    if (!pDlg) return nullptr;
    for (CWnd* p : pDlg->Controls())
        if (p->m_nId == nId) return p;
    return nullptr;
}

void CWnd::SetFont(CFont* pFont, BOOL /*bRedraw*/) { SendMessage(WM_SETFONT, (WPARAM)(pFont ? pFont->GetSafeHandle() : nullptr), TRUE); }

CFont* CWnd::GetFont() const { return nullptr; }

BOOL CWnd::ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT /*nFlags*/) {
    DWORD dwNew = (m_dwStyle & ~dwRemove) | dwAdd;
    if (dwNew == m_dwStyle) return FALSE;
    m_dwStyle = dwNew;
    if (m_hWnd) GetBackend()->WindowChanged(this);
    return TRUE;
}

void CWnd::GetClientRect(RECT* pRect) const { *pRect = RECT{0, 0, m_rcWindow.Width(), m_rcWindow.Height()}; }

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
    return (HICON)SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, (LPARAM)hIcon);
}

CWnd* CWnd::SetFocus() { return nullptr; }

void CWnd::Invalidate(BOOL /*bErase*/) {
    if (m_hWnd) GetBackend()->WindowChanged(this);
}

void CWnd::UpdateWindow() { GetBackend()->Flush(); }

CMenu* CWnd::GetSystemMenu(BOOL /*bRevert*/) const {
    const CDialog* pDlg = dynamic_cast<const CDialog*>(this);
    return pDlg ? pDlg->m_pSysMenu.get() : nullptr;
}

LRESULT CWnd::SendMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    UINT uSavedMsg = m_uCurMsg;
    WPARAM uSavedW = m_uCurWParam;
    LPARAM nSavedL = m_nCurLParam;
    m_uCurMsg = uMsg;
    m_uCurWParam = wParam;
    m_nCurLParam = lParam;
    LRESULT lr = WindowProc(uMsg, wParam, lParam);
    m_uCurMsg = uSavedMsg;
    m_uCurWParam = uSavedW;
    m_nCurLParam = nSavedL;
    return lr;
}

BOOL CWnd::PostMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) { return qnui::PostMessage(m_hWnd, uMsg, wParam, lParam); }

LRESULT CWnd::WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_SETTEXT:
        SetWindowText((const char*)lParam);
        return TRUE;
    case WM_SETFONT:
        m_hFont = (HFONT)wParam;
        if (m_hWnd) GetBackend()->WindowChanged(this);
        return 0;
    case WM_GETFONT:
        return (LRESULT)m_hFont;
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_MOUSEMOVE:
        OnMouseMove((UINT)wParam, CPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
        return 0;
    case WM_MOUSELEAVE:
        OnMouseLeave();
        return 0;
    case WM_LBUTTONDOWN:
        OnLButtonDown((UINT)wParam, CPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    case WM_COMMAND:
        return OnCommand(wParam, lParam);
    default:
        return Default();
    }
}

void CWnd::OnPaint() { Default(); }
void CWnd::OnMouseMove(UINT, CPoint) { Default(); }
void CWnd::OnMouseLeave() { Default(); }
void CWnd::OnLButtonDown(UINT, CPoint) { Default(); }
BOOL CWnd::OnCommand(WPARAM, LPARAM) { return FALSE; }

LRESULT CWnd::Default() {
    if (m_uCurMsg == WM_PAINT && m_hWnd) GetBackend()->DefaultPaint(this);
    return 0;
}

// --------------------------------------------------------------------------------- controls

void CProgressCtrl::SetRange(short nLower, short nUpper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM((unsigned)nLower, (unsigned)nUpper)); }

int CProgressCtrl::SetPos(int nPos) { return (int)SendMessage(PBM_SETPOS, (WPARAM)nPos, 0); }

LRESULT CProgressCtrl::WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case PBM_SETRANGE:
        m_nLower = (int)(int16_t)LOWORD((uintptr_t)lParam);
        m_nUpper = (int)(int16_t)HIWORD((uintptr_t)lParam);
        m_nPos = std::clamp(m_nPos, m_nLower, std::max(m_nLower, m_nUpper));
        return 0;
    case PBM_SETPOS: {
        int nOld = m_nPos;
        m_nPos = std::clamp((int)wParam, m_nLower, std::max(m_nLower, m_nUpper));
        if (m_hWnd && nOld != m_nPos) GetBackend()->WindowChanged(this);
        return nOld;
    }
    case PBM_GETPOS:
        return m_nPos;
    default:
        return CWnd::WindowProc(uMsg, wParam, lParam);
    }
}

int CComboBox::AddString(const char* cszString) { return (int)SendMessage(CB_ADDSTRING, 0, (LPARAM)cszString); }

void CComboBox::GetLBText(int nIndex, CString& rString) const {
    rString = (nIndex >= 0 && nIndex < (int)m_Items.size()) ? m_Items[nIndex] : std::string();
}

LRESULT CComboBox::WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case CB_ADDSTRING: {
        std::string s = lParam ? (const char*)lParam : "";
        size_t uAt = m_Items.size();
        if (m_dwStyle & CBS_SORT) {
            auto it = std::upper_bound(m_Items.begin(), m_Items.end(), s, [](const std::string& a, const std::string& b) {
                return QN_StrICmp(a.c_str(), b.c_str()) < 0;
            });
            uAt = (size_t)(it - m_Items.begin());
        }
        m_Items.insert(m_Items.begin() + (ptrdiff_t)uAt, s);
        if (m_hWnd) GetBackend()->WindowChanged(this);
        return (LRESULT)uAt;
    }
    case CB_GETCOUNT:
        return (LRESULT)m_Items.size();
    default:
        return CWnd::WindowProc(uMsg, wParam, lParam);
    }
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (!pDX || !pDX->m_pDlgWnd || rControl.m_hWnd) return;
    CDialog* pDlg = pDX->m_pDlgWnd;
    for (CWnd*& pSlot : pDlg->m_Controls) {
        if (pSlot->m_nId != nIDC) continue;
        CWnd* pOld = pSlot;
        rControl.m_strClass = pOld->m_strClass;
        rControl.m_strText = pOld->m_strText;
        rControl.m_dwStyle = pOld->m_dwStyle;
        rControl.m_nId = pOld->m_nId;
        rControl.m_bEnabled = pOld->m_bEnabled;
        rControl.m_bVisible = pOld->m_bVisible;
        rControl.m_rcWindow = pOld->m_rcWindow;
        rControl.m_hFont = pOld->m_hFont;
        rControl.m_pParent = pOld->m_pParent;
        auto* pOldProgress = dynamic_cast<CProgressCtrl*>(pOld);
        auto* pNewProgress = dynamic_cast<CProgressCtrl*>(&rControl);
        if (pOldProgress && pNewProgress) {
            pNewProgress->m_nLower = pOldProgress->m_nLower;
            pNewProgress->m_nUpper = pOldProgress->m_nUpper;
            pNewProgress->m_nPos = pOldProgress->m_nPos;
        }
        auto* pOldCombo = dynamic_cast<CComboBox*>(pOld);
        auto* pNewCombo = dynamic_cast<CComboBox*>(&rControl);
        if (pOldCombo && pNewCombo) pNewCombo->m_Items = pOldCombo->m_Items;
        rControl.m_hWnd = pOld->m_hWnd;
        pOld->m_hWnd = nullptr;
        WindowSystem::Get().Rebind(rControl.m_hWnd, &rControl);
        pSlot = &rControl;
        rControl.PreSubclassWindow();
        GetBackend()->WindowChanged(&rControl);
        return;
    }
}

// ---------------------------------------------------------------------------------- dialogs

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_pParentWnd(pParentWnd), m_nIDTemplate(nIDTemplate) {}

CDialog::~CDialog() {
    if (m_hWnd) _Destroy();
}

bool CDialog::_Create() {
    WindowSystem& ws = WindowSystem::Get();
    const DLGTEMPLATE* pT = nullptr;
    {
        std::lock_guard<std::mutex> lock(ws.mutex);
        auto it = ws.templates.find(m_nIDTemplate);
        if (it != ws.templates.end()) pT = it->second;
    }
    if (!pT) return false;
    IBackend* pB = ws.Backend();
    const int nBx = pB->BaseUnitX(), nBy = pB->BaseUnitY();
    auto px = [&](int x) { return (LONG)(x * nBx / 4); };
    auto py = [&](int y) { return (LONG)(y * nBy / 8); };

    m_strClass = "#32770";
    m_strText = pT->cszCaption ? pT->cszCaption : "";
    m_dwStyle = pT->dwStyle;
    m_nId = 0;
    m_bEnabled = true;
    m_rcWindow = CRect(0, 0, px(pT->cx), py(pT->cy));
    m_bEndRequested = false;
    m_nModalResult = -1;
    if (m_dwStyle & WS_SYSMENU) m_pSysMenu = std::make_unique<CMenu>();
    if (pT->cszFaceName) {
        // Points at 96 dots per inch, as a negative character height.
        m_DialogFont.CreateFont(-(pT->nPointSize * 96 + 36) / 72, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0,
                                0, 0, pT->cszFaceName);
        m_hFont = m_DialogFont.GetSafeHandle();
    }
    m_hWnd = ws.Register(this);

    m_OwnedControls.clear();
    m_Controls.clear();
    for (size_t i = 0; i < pT->nItems; ++i) {
        const DLGITEMTEMPLATE& it = pT->pItems[i];
        std::string strClass = it.cszClass ? it.cszClass : "STATIC";
        std::unique_ptr<CWnd> p;
        if (strClass == "msctls_progress32")
            p = std::make_unique<CProgressCtrl>();
        else if (strClass == "COMBOBOX")
            p = std::make_unique<CComboBox>();
        else if (strClass == "BUTTON")
            p = std::make_unique<CButton>();
        else
            p = std::make_unique<CStatic>();
        p->m_strClass = strClass;
        p->m_strText = it.cszText ? it.cszText : "";
        p->m_dwStyle = it.dwStyle | WS_CHILD;
        p->m_nId = it.nId;
        p->m_bEnabled = !(it.dwStyle & WS_DISABLED);
        p->m_rcWindow = CRect(px(it.x), py(it.y), px(it.x) + px(it.cx), py(it.y) + py(it.cy));
        p->m_hFont = m_hFont;
        p->m_pParent = this;
        p->m_hWnd = ws.Register(p.get());
        m_Controls.push_back(p.get());
        m_OwnedControls.push_back(std::move(p));
    }
    pB->WindowCreated(this);
    for (CWnd* p : m_Controls) pB->WindowCreated(p);
    return true;
}

void CDialog::_Destroy() {
    WindowSystem& ws = WindowSystem::Get();
    IBackend* pB = ws.Backend();
    // The dialog hears of its end first, then its controls, as Windows sends WM_DESTROY.
    SendMessage(WM_DESTROY);
    for (CWnd* p : m_Controls) {
        if (!p->m_hWnd) continue;
        p->SendMessage(WM_DESTROY);
        pB->WindowDestroyed(p);
        ws.Unregister(p->m_hWnd);
        p->m_hWnd = nullptr;
    }
    pB->WindowDestroyed(this);
    ws.Unregister(m_hWnd);
    m_hWnd = nullptr;
    m_Controls.clear();
    m_OwnedControls.clear();
    m_DialogFont.DeleteObject();
    m_hFont = nullptr;
    m_pSysMenu.reset();
}

intptr_t CDialog::DoModal() {
    WindowSystem& ws = WindowSystem::Get();
    if (m_hWnd || !_Create()) return -1;
    IBackend* pB = ws.Backend();
    CWnd* pOwner = m_pParentWnd;
    BOOL bOwnerWasDisabled = pOwner ? pOwner->EnableWindow(FALSE) : FALSE;
    ws.modalDialogs.push_back(this);
    m_bInModal = true;
    SendMessage(WM_INITDIALOG);
    pB->DialogShown(this, true);
    bool bNotQuit = RunModalLoop([this] { return m_bEndRequested; });
    pB->DialogShown(this, false);
    m_bInModal = false;
    ws.modalDialogs.erase(std::remove(ws.modalDialogs.begin(), ws.modalDialogs.end(), this), ws.modalDialogs.end());
    if (pOwner && !bOwnerWasDisabled && pOwner->m_hWnd) pOwner->EnableWindow(TRUE);
    int nResult = (bNotQuit || m_bEndRequested) ? m_nModalResult : -1;
    _Destroy();
    return nResult;
}

void CDialog::EndDialog(int nResult) {
    m_nModalResult = nResult;
    m_bEndRequested = true;
    GetBackend()->Wake();
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

LRESULT CDialog::WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) {
            int nId = (int)(int16_t)LOWORD(wParam);
            if (nId == IDOK) {
                OnOK();
                return 0;
            }
            if (nId == IDCANCEL) {
                OnCancel();
                return 0;
            }
        }
        return CWnd::WindowProc(uMsg, wParam, lParam);
    case WM_CLOSE:
        return SendMessage(WM_COMMAND, MAKEWPARAM((unsigned)IDCANCEL, BN_CLICKED), 0);
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_CLOSE) {
            // The close box of a dialog whose close item is grayed does nothing.
            if (m_pSysMenu && m_pSysMenu->CloseState() != MF_ENABLED) return 0;
            return SendMessage(WM_CLOSE);
        }
        return 0;
    case WM_SETICON:
    case WM_QUERYDRAGICON:
        return 0;
    default:
        return CWnd::WindowProc(uMsg, wParam, lParam);
    }
}

// ------------------------------------------------------------------------------ application

namespace {
CWinApp* g_pApp = nullptr;
int g_nArgc = 0;
char** g_ppArgv = nullptr;
}  // namespace

CWinApp::CWinApp() {
    g_pApp = this;
    __argc = g_nArgc;
    __argv = g_ppArgv;
}

CWinApp::~CWinApp() {
    if (g_pApp == this) g_pApp = nullptr;
}

CWinApp* AfxGetApp() { return g_pApp; }

int AfxGetArgc() { return g_nArgc; }

char** AfxGetArgv() { return g_ppArgv; }

void AfxSetCommandLine(int argc, char** argv) {
    g_nArgc = argc;
    g_ppArgv = argv;
    if (g_pApp) {
        g_pApp->__argc = argc;
        g_pApp->__argv = argv;
    }
}

// ------------------------------------------------------------------------- boxes and shell

int MessageBoxA(HWND hWnd, const char* cszText, const char* cszCaption, UINT uType) {
    CWnd* pOwner = CWnd::FromHandle(hWnd);
    BOOL bWasDisabled = pOwner ? pOwner->EnableWindow(FALSE) : FALSE;
    int nResult = GetBackend()->MessageBox(hWnd, cszText ? cszText : "", cszCaption ? cszCaption : "", uType);
    if (pOwner && !bWasDisabled && CWnd::FromHandle(hWnd) == pOwner) pOwner->EnableWindow(TRUE);
    return nResult;
}

LPITEMIDLIST SHBrowseForFolderA(BROWSEINFOA* pInfo) {
    if (!pInfo) return nullptr;
    CWnd* pOwner = CWnd::FromHandle(pInfo->hwndOwner);
    BOOL bWasDisabled = pOwner ? pOwner->EnableWindow(FALSE) : FALSE;
    std::string strFolder;
    bool bChosen = GetBackend()->BrowseForFolder(pInfo->hwndOwner, pInfo->lpszTitle ? pInfo->lpszTitle : "", &strFolder);
    if (pOwner && !bWasDisabled && CWnd::FromHandle(pInfo->hwndOwner) == pOwner) pOwner->EnableWindow(TRUE);
    if (!bChosen) return nullptr;
    // The item list is the folder's text on the heap.
    char* psz = new char[strFolder.size() + 1];
    std::memcpy(psz, strFolder.c_str(), strFolder.size() + 1);
    if (pInfo->pszDisplayName) {
        size_t uSlash = strFolder.find_last_of("/\\", strFolder.size() > 1 ? strFolder.size() - 2 : 0);
        std::string strName = uSlash == std::string::npos ? strFolder : strFolder.substr(uSlash + 1);
        QN_StrCopyN(pInfo->pszDisplayName, 260, strName.c_str());
    }
    return (LPITEMIDLIST)psz;
}

BOOL SHGetPathFromIDListA(LPCITEMIDLIST pidl, char* szPath) {
    if (!pidl || !szPath) return FALSE;
    const char* csz = (const char*)pidl;
    size_t uLen = std::strlen(csz);
    if (uLen == 0 || uLen >= 260) {
        szPath[0] = 0;
        return FALSE;
    }
    std::memcpy(szPath, csz, uLen + 1);
    return TRUE;
}

void CoTaskMemFree(void* pv) { delete[] (char*)pv; }

HCURSOR LoadCursor(void* /*hInstance*/, const char* cszCursorName) {
    uintptr_t u = (uintptr_t)cszCursorName;
    if (u != QNUI_CURSOR_ARROW && u != QNUI_CURSOR_HAND) return nullptr;
    return (HCURSOR)u;
}

HCURSOR SetCursor(HCURSOR hCursor) {
    WindowSystem& ws = WindowSystem::Get();
    HCURSOR hOld = ws.hCursor;
    ws.hCursor = hCursor;
    if (hOld != hCursor) ws.Backend()->CursorChanged(hCursor);
    return hOld;
}

intptr_t ShellExecuteA(HWND /*hWnd*/, const char* cszOperation, const char* cszFile, const char* /*cszParameters*/,
                       const char* /*cszDirectory*/, int /*nShowCmd*/) {
    // 33 is the smallest success value; 2 is "file not found".
    return QN_ShellOpen(cszOperation, cszFile) ? 33 : 2;
}

HICON LoadIcon(void* /*hInstance*/, const char* cszIconName) { return (HICON)(uintptr_t)cszIconName; }

// ---------------------------------------------------------------------------------- drawing

CDC::CDC(CWnd* pWnd, bool bPaint) : m_pWnd(pWnd), m_bPaint(bPaint) {}

CFont* CDC::SelectObject(CFont* pFont) {
    CFont* pOld = m_pFont;
    m_pFont = pFont;
    return pOld;
}

int CDC::SetBkMode(int nBkMode) {
    int nOld = m_nBkMode;
    m_nBkMode = nBkMode;
    return nOld;
}

COLORREF CDC::SetTextColor(COLORREF crColor) {
    COLORREF crOld = m_crText;
    m_crText = crColor;
    return crOld;
}

BOOL CDC::TextOut(int x, int y, const CString& str) { return TextOut(x, y, str.data(), (int)str.size()); }

BOOL CDC::TextOut(int x, int y, const char* csz, int nCount) {
    if (!m_pWnd || !csz || nCount < 0) return FALSE;
    LOGFONT lf{};
    bool bFont = m_pFont && m_pFont->GetLogFont(&lf);
    GetBackend()->DrawText(m_pWnd, bFont ? &lf : nullptr, m_crText, m_nBkMode, x, y, std::string(csz, (size_t)nCount));
    return TRUE;
}

CSize CDC::GetTextExtent(const CString& str) const { return GetTextExtent(str.data(), (int)str.size()); }

CSize CDC::GetTextExtent(const char* csz, int nCount) const {
    if (!csz || nCount < 0) return CSize();
    LOGFONT lf{};
    bool bFont = m_pFont && m_pFont->GetLogFont(&lf);
    SIZE s = GetBackend()->MeasureText(bFont ? &lf : nullptr, csz, nCount);
    return CSize(s.cx, s.cy);
}

BOOL GetTextExtentPoint32A(CDC* pDC, const char* csz, int nCount, SIZE* pSize) {
    if (!pDC || !pSize) return FALSE;
    CSize s = pDC->GetTextExtent(csz, nCount);
    *pSize = s;
    return TRUE;
}

}  // namespace qnui
