// The dialog layer: a small window system of the program's own with the class and call names
// of the Windows dialog library it stands in for. Dialogs are built from templates in dialog
// units; every window lives on the one user-interface thread, which runs the modal loops.
// One queue carries the posted messages of every window; PostMessage may be called from any
// thread. Modal loops nest (a message box inside a button handler, a dialog inside a dialog),
// and every loop keeps handling the posted messages of every window, as on Windows.
//
// What is drawn, measured and asked of the user goes through a backend (qnui_backend.h): the
// headless one (qnui_headless.h) keeps the state for tests and scripted runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qnui {

using UINT = uint32_t;
using DWORD = uint32_t;
using BOOL = int;
using BYTE = uint8_t;
using LONG = int32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using COLORREF = uint32_t;
using CString = std::string;

// Window handles are numbers that are never reused, so a message posted to a window that has
// gone is dropped instead of reaching another one.
struct HWND__;
using HWND = HWND__*;
struct HFONT__;
using HFONT = HFONT__*;
struct HICON__;
using HICON = HICON__*;
struct HCURSOR__;
using HCURSOR = HCURSOR__*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) { return (COLORREF)r | ((COLORREF)g << 8) | ((COLORREF)b << 16); }
constexpr BYTE GetRValue(COLORREF c) { return (BYTE)(c & 0xFF); }
constexpr BYTE GetGValue(COLORREF c) { return (BYTE)((c >> 8) & 0xFF); }
constexpr BYTE GetBValue(COLORREF c) { return (BYTE)((c >> 16) & 0xFF); }
constexpr WPARAM MAKEWPARAM(unsigned lo, unsigned hi) { return (WPARAM)((lo & 0xFFFF) | ((hi & 0xFFFF) << 16)); }
constexpr LPARAM MAKELPARAM(unsigned lo, unsigned hi) { return (LPARAM)(uint32_t)((lo & 0xFFFF) | ((hi & 0xFFFF) << 16)); }
constexpr unsigned LOWORD(uintptr_t v) { return (unsigned)(v & 0xFFFF); }
constexpr unsigned HIWORD(uintptr_t v) { return (unsigned)((v >> 16) & 0xFFFF); }
// Signed client coordinates out of a mouse message's lParam.
constexpr int GET_X_LPARAM(LPARAM l) { return (int)(int16_t)(l & 0xFFFF); }
constexpr int GET_Y_LPARAM(LPARAM l) { return (int)(int16_t)((l >> 16) & 0xFFFF); }

// Messages.
enum : UINT {
    WM_NULL = 0x0000,
    WM_DESTROY = 0x0002,
    WM_SETTEXT = 0x000C,
    WM_GETTEXT = 0x000D,
    WM_PAINT = 0x000F,
    WM_CLOSE = 0x0010,
    WM_QUIT = 0x0012,
    WM_SETCURSOR = 0x0020,
    WM_QUERYDRAGICON = 0x0037,
    WM_SETFONT = 0x0030,
    WM_GETFONT = 0x0031,
    WM_SETICON = 0x0080,
    WM_INITDIALOG = 0x0110,
    WM_COMMAND = 0x0111,
    WM_SYSCOMMAND = 0x0112,
    WM_MOUSEMOVE = 0x0200,
    WM_LBUTTONDOWN = 0x0201,
    WM_MOUSELEAVE = 0x02A3,
    WM_USER = 0x0400,
    PBM_SETRANGE = WM_USER + 1,
    PBM_SETPOS = WM_USER + 2,
    PBM_GETPOS = WM_USER + 8,
    CB_ADDSTRING = 0x0143,
    CB_GETCOUNT = 0x0146,
};

// Notification codes and command ids.
enum : UINT { BN_CLICKED = 0 };
enum : int { IDOK = 1, IDCANCEL = 2, IDC_STATIC = -1 };
enum : UINT { SC_CLOSE = 0xF060 };
enum : UINT { ICON_SMALL = 0, ICON_BIG = 1 };

// Window and control styles.
enum : DWORD {
    WS_CHILD = 0x40000000,
    WS_VISIBLE = 0x10000000,
    WS_DISABLED = 0x08000000,
    WS_VSCROLL = 0x00200000,
    WS_TABSTOP = 0x00010000,
    WS_POPUP = 0x80000000,
    WS_CAPTION = 0x00C00000,
    WS_SYSMENU = 0x00080000,
    WS_MINIMIZEBOX = 0x00020000,
    DS_MODALFRAME = 0x00000080,
    DS_SETFONT = 0x00000040,
    BS_PUSHBUTTON = 0x00000000,
    BS_DEFPUSHBUTTON = 0x00000001,
    BS_GROUPBOX = 0x00000007,
    SS_LEFT = 0x00000000,
    SS_BITMAP = 0x0000000E,
    SS_ETCHEDHORZ = 0x00000010,
    SS_SUNKEN = 0x00001000,
    SS_NOTIFY = 0x00000100,
    PBS_SMOOTH = 0x00000001,
    CBS_DROPDOWN = 0x00000002,
    CBS_SORT = 0x00000100,
    CBS_AUTOHSCROLL = 0x00000040,
};

// Menu item states.
enum : UINT {
    MF_BYCOMMAND = 0x0000,
    MF_ENABLED = 0x0000,
    MF_GRAYED = 0x0001,
    MF_DISABLED = 0x0002,
    MFS_GRAYED = 0x0003,
    MFS_DISABLED = MFS_GRAYED,
    MFS_ENABLED = 0x0000,
    MIIM_STATE = 0x0001,
};

// Message boxes.
enum : UINT {
    MB_OK = 0x00000000,
    MB_OKCANCEL = 0x00000001,
    MB_ICONHAND = 0x00000010,
    MB_ICONERROR = MB_ICONHAND,
    MB_ICONQUESTION = 0x00000020,
    MB_ICONEXCLAMATION = 0x00000030,
    MB_ICONWARNING = MB_ICONEXCLAMATION,
    MB_ICONASTERISK = 0x00000040,
    MB_ICONINFORMATION = MB_ICONASTERISK,
    MB_ICONMASK = 0x000000F0,
};

// Drawing.
enum : int { TRANSPARENT = 1, OPAQUE = 2 };
enum : LONG { FW_NORMAL = 400, FW_BOLD = 700 };
enum : BYTE { DEFAULT_CHARSET = 1, OUT_DEFAULT_PRECIS = 0, CLIP_DEFAULT_PRECIS = 0, DEFAULT_QUALITY = 0,
              DEFAULT_PITCH = 0, FF_DONTCARE = 0 };
enum : int { SW_SHOWNORMAL = 1 };

// The two system cursors the program uses.
enum QNUI_CURSOR { QNUI_CURSOR_ARROW = 32512, QNUI_CURSOR_HAND = 32649 };
#define IDC_ARROW ((const char*)(uintptr_t)::qnui::QNUI_CURSOR_ARROW)
#define IDC_HAND ((const char*)(uintptr_t)::qnui::QNUI_CURSOR_HAND)
#define MAKEINTRESOURCE(i) ((const char*)(uintptr_t)(i))

struct POINT {
    LONG x, y;
};
struct SIZE {
    LONG cx, cy;
};
struct RECT {
    LONG left, top, right, bottom;
};
struct CPoint : POINT {
    CPoint() : POINT{0, 0} {}
    CPoint(LONG nX, LONG nY) : POINT{nX, nY} {}
};
struct CSize : SIZE {
    CSize() : SIZE{0, 0} {}
    CSize(LONG nX, LONG nY) : SIZE{nX, nY} {}
};
struct CRect : RECT {
    CRect() : RECT{0, 0, 0, 0} {}
    CRect(LONG l, LONG t, LONG r, LONG b) : RECT{l, t, r, b} {}
    LONG Width() const { return right - left; }
    LONG Height() const { return bottom - top; }
};

struct LOGFONT {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    char lfFaceName[32];
};
using LOGFONTA = LOGFONT;

struct MENUITEMINFOA {
    UINT cbSize;
    UINT fMask;
    UINT fType;
    UINT fState;
    UINT wID;
};

// A dialog template: the control table in dialog units, as a resource script lists it.
struct DLGITEMTEMPLATE {
    const char* cszClass;  // "BUTTON", "STATIC", "msctls_progress32", "COMBOBOX"
    int nId;
    const char* cszText;
    DWORD dwStyle;
    int x, y, cx, cy;
};
struct DLGTEMPLATE {
    UINT nId;
    const char* cszCaption;
    DWORD dwStyle;
    const char* cszFaceName;
    int nPointSize;
    int cx, cy;
    const DLGITEMTEMPLATE* pItems;
    size_t nItems;
};
// Makes a template known under its id; CDialog(nId) builds from it. The table must outlive
// every dialog built from it (templates are static tables).
void RegisterDialogTemplate(const DLGTEMPLATE* pTemplate);

class CWnd;
class CDialog;

// A font object: the LOGFONT it was made from.
class CFont {
public:
    CFont() = default;
    ~CFont();
    CFont(const CFont&) = delete;
    CFont& operator=(const CFont&) = delete;

    BOOL CreateFontIndirect(const LOGFONT* pLogFont);
    BOOL CreateFont(int nHeight, int nWidth, int nEscapement, int nOrientation, int nWeight, BYTE bItalic,
                    BYTE bUnderline, BYTE cStrikeOut, BYTE nCharSet, BYTE nOutPrecision, BYTE nClipPrecision,
                    BYTE nQuality, BYTE nPitchAndFamily, const char* cszFacename);
    int GetLogFont(LOGFONT* pLogFont) const;
    BOOL DeleteObject();
    HFONT GetSafeHandle() const { return m_hFont; }
    operator HFONT() const { return m_hFont; }

private:
    HFONT m_hFont = nullptr;
};
// Copies the LOGFONT of a font handle; 0 for a null or deleted handle.
int GetObject(HFONT hFont, int nSize, LOGFONT* pLogFont);

// The system menu; only the close item's state is kept.
class CMenu {
public:
    // The previous state (MF_ENABLED, or MF_GRAYED with MF_DISABLED); -1 for another item.
    UINT EnableMenuItem(UINT nIDEnableItem, UINT nEnable);
    BOOL GetMenuItemInfo(UINT uItem, MENUITEMINFOA* pInfo, BOOL fByPos = FALSE) const;
    // MF_ENABLED, or a mix of MF_GRAYED and MF_DISABLED.
    UINT CloseState() const { return m_uCloseState; }

private:
    UINT m_uCloseState = MF_ENABLED;
};

// A window: a dialog or one of its controls. Everything is called on the UI thread only,
// except PostMessage.
class CWnd {
public:
    CWnd();
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND m_hWnd = nullptr;

    // Looks up a live window of this process by its handle (UI thread).
    static CWnd* FromHandle(HWND hWnd);

    void SetWindowText(const char* cszText);
    void SetWindowTextA(const char* cszText) { SetWindowText(cszText); }
    void GetWindowText(CString& rString) const;
    // Copies at most nMaxCount - 1 bytes, cut at a character boundary; the length copied.
    int GetWindowText(char* szBuf, int nMaxCount) const;
    int GetWindowTextLength() const { return (int)m_strText.size(); }
    BOOL EnableWindow(BOOL bEnable = TRUE);  // TRUE when the window was disabled before
    BOOL IsWindowEnabled() const { return m_bEnabled; }
    BOOL IsWindowVisible() const { return m_bVisible; }
    CWnd* GetDlgItem(int nId) const;  // the first child with the id, in template order
    int GetDlgCtrlID() const { return m_nId; }
    CWnd* GetParent() const { return m_pParent; }
    void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
    CFont* GetFont() const;
    HFONT GetFontHandle() const { return m_hFont; }
    BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    DWORD GetStyle() const { return m_dwStyle; }
    void GetClientRect(RECT* pRect) const;
    void GetWindowRect(RECT* pRect) const { *pRect = m_rcWindow; }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    CWnd* SetFocus();
    void Invalidate(BOOL bErase = TRUE);
    // Draws now what is pending on the screen: windows that a closed box uncovered and changed
    // controls. For a handler that is about to block the UI thread; it handles no message.
    void UpdateWindow();
    CMenu* GetSystemMenu(BOOL bRevert) const;
    // The window class name of the template ("BUTTON", "STATIC", ...), or "#32770" for dialogs.
    const std::string& ClassName() const { return m_strClass; }

    // Handles the message at once on the calling (UI) thread.
    LRESULT SendMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0);
    // Queues the message for the UI thread; any thread. FALSE when the window is gone.
    BOOL PostMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0);

    // Number of times the text was set to a new value by SetWindowText since creation.
    uint32_t TextSetCount() const { return m_uTextSets; }

protected:
    // The message dispatcher; derived classes handle their own messages first and pass the
    // rest to the base class.
    virtual LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam);
    // Called when a template control is bound to this object (DDX_Control).
    virtual void PreSubclassWindow() {}

    virtual void OnPaint();
    virtual void OnMouseMove(UINT nFlags, CPoint point);
    virtual void OnMouseLeave();
    virtual void OnLButtonDown(UINT nFlags, CPoint point);
    virtual void OnDestroy() {}
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    LRESULT Default();

    friend class CDialog;
    friend struct WindowSystem;
    friend void DDX_Control(class CDataExchange* pDX, int nIDC, CWnd& rControl);

    std::string m_strClass;
    std::string m_strText;
    DWORD m_dwStyle = 0;
    int m_nId = 0;
    bool m_bEnabled = true;
    bool m_bVisible = true;
    CRect m_rcWindow;  // pixels, relative to the parent's client area
    HFONT m_hFont = nullptr;
    CWnd* m_pParent = nullptr;
    uint32_t m_uTextSets = 0;
    // the message being handled, for Default()
    UINT m_uCurMsg = 0;
    WPARAM m_uCurWParam = 0;
    LPARAM m_nCurLParam = 0;
};

class CStatic : public CWnd {};
class CButton : public CWnd {};

class CProgressCtrl : public CWnd {
public:
    void SetRange(short nLower, short nUpper);
    int SetPos(int nPos);  // the previous position
    int GetPos() const { return m_nPos; }

protected:
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override;

private:
    friend void DDX_Control(class CDataExchange* pDX, int nIDC, CWnd& rControl);
    int m_nLower = 0, m_nUpper = 100, m_nPos = 0;
};

// A drop-down combo box with an edit field; the text of the window is the edit text.
class CComboBox : public CWnd {
public:
    int AddString(const char* cszString);  // the index, sorted without regard to ASCII case with CBS_SORT
    int GetCount() const { return (int)m_Items.size(); }
    void GetLBText(int nIndex, CString& rString) const;

protected:
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override;

private:
    friend void DDX_Control(class CDataExchange* pDX, int nIDC, CWnd& rControl);
    std::vector<std::string> m_Items;
};

class CDataExchange {
public:
    explicit CDataExchange(CDialog* pDlg, BOOL bSaveAndValidate) : m_pDlgWnd(pDlg), m_bSaveAndValidate(bSaveAndValidate) {}
    CDialog* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};
// Binds the control with the id to rControl: from then on messages of that control reach the
// object, which takes over the control's text, style, place and font.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

// A modal dialog built from a registered template.
class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Creates the dialog, runs a modal loop until EndDialog (or a quit message) and destroys
    // the dialog. While it runs the owner is disabled. The value given to EndDialog, or -1.
    virtual intptr_t DoModal();
    void EndDialog(int nResult);
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    // Controls in template order.
    const std::vector<CWnd*>& Controls() const { return m_Controls; }
    UINT TemplateId() const { return m_nIDTemplate; }
    // The owner given at construction (nullptr for none); the dialog opens centred on it.
    CWnd* OwnerWnd() const { return m_pParentWnd; }
    bool IsModalRunning() const { return m_bInModal; }

protected:
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(CDataExchange* /*pDX*/) {}
    LRESULT WindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) override;

    CWnd* m_pParentWnd;

private:
    friend void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
    friend struct WindowSystem;
    friend class CWnd;
    bool _Create();
    void _Destroy();

    UINT m_nIDTemplate;
    std::vector<std::unique_ptr<CWnd>> m_OwnedControls;
    std::vector<CWnd*> m_Controls;
    CFont m_DialogFont;
    std::unique_ptr<CMenu> m_pSysMenu;
    bool m_bInModal = false;
    bool m_bEndRequested = false;
    int m_nModalResult = -1;
};

// The application object: keeps the command line.
class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    virtual BOOL InitInstance() { return TRUE; }
    CWnd* m_pMainWnd = nullptr;
    int __argc = 0;
    char** __argv = nullptr;
};
CWinApp* AfxGetApp();
// Called by main() before InitInstance.
void AfxSetCommandLine(int argc, char** argv);
// The command line given to AfxSetCommandLine (0 and nullptr before).
int AfxGetArgc();
char** AfxGetArgv();

// Posts a message to a window; any thread. FALSE when the window does not exist.
BOOL PostMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
// Ends every modal loop of the UI thread, innermost first; they return -1.
void PostQuitMessage(int nExitCode);

// A modal message box owned by hWnd (disabled while it shows). IDOK or IDCANCEL.
int MessageBoxA(HWND hWnd, const char* cszText, const char* cszCaption, UINT uType);

// The folder browser. The returned item list is a heap text freed by CoTaskMemFree.
struct ITEMIDLIST;
using LPITEMIDLIST = ITEMIDLIST*;
using PIDLIST_ABSOLUTE = ITEMIDLIST*;
using LPCITEMIDLIST = const ITEMIDLIST*;
enum : UINT {
    BIF_RETURNONLYFSDIRS = 0x0001,
    BIF_DONTGOBELOWDOMAIN = 0x0002,
    BIF_EDITBOX = 0x0010,
    BIF_NEWDIALOGSTYLE = 0x0040,
};
struct BROWSEINFOA {
    HWND hwndOwner;
    LPCITEMIDLIST pidlRoot;
    char* pszDisplayName;
    const char* lpszTitle;
    UINT ulFlags;
    void* lpfn;
    LPARAM lParam;
    int iImage;
};
LPITEMIDLIST SHBrowseForFolderA(BROWSEINFOA* pInfo);
// Copies the folder of the item list into a 260-byte buffer. FALSE when it does not fit.
BOOL SHGetPathFromIDListA(LPCITEMIDLIST pidl, char* szPath);
void CoTaskMemFree(void* pv);

// Cursors.
HCURSOR LoadCursor(void* hInstance, const char* cszCursorName);
HCURSOR SetCursor(HCURSOR hCursor);
HICON LoadIcon(void* hInstance, const char* cszIconName);

// Opens a document or URL with the desktop's handler. A value above 32 on success.
intptr_t ShellExecuteA(HWND hWnd, const char* cszOperation, const char* cszFile, const char* cszParameters,
                       const char* cszDirectory, int nShowCmd);

// Device contexts over a window.
class CDC {
public:
    explicit CDC(CWnd* pWnd, bool bPaint);
    virtual ~CDC() = default;
    CFont* SelectObject(CFont* pFont);  // the font selected before (nullptr for the default)
    int SetBkMode(int nBkMode);
    COLORREF SetTextColor(COLORREF crColor);
    BOOL TextOut(int x, int y, const CString& str);
    BOOL TextOut(int x, int y, const char* csz, int nCount);
    CSize GetTextExtent(const CString& str) const;
    CSize GetTextExtent(const char* csz, int nCount) const;

private:
    CWnd* m_pWnd;
    bool m_bPaint;
    CFont* m_pFont = nullptr;
    int m_nBkMode = OPAQUE;
    COLORREF m_crText = RGB(0, 0, 0);
};
BOOL GetTextExtentPoint32A(CDC* pDC, const char* csz, int nCount, SIZE* pSize);
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* pWnd) : CDC(pWnd, true) {}
};
class CClientDC : public CDC {
public:
    explicit CClientDC(CWnd* pWnd) : CDC(pWnd, false) {}
};

// Dispatch table of a class: a message, or a command (BN_CLICKED and an id) to a member.
template <class T>
struct MessageMapEntry {
    UINT uMsg;        // WM_COMMAND for a command entry
    UINT uCode;       // command entries: the notification code
    int nId;          // command entries: the control id
    LRESULT (T::*pfnMessage)(WPARAM, LPARAM);
    void (T::*pfnCommand)();
};
// Runs the first matching entry; false when none matches.
template <class T, size_t N>
bool DispatchMessageMap(T* pThis, const MessageMapEntry<T> (&map)[N], UINT uMsg, WPARAM wParam, LPARAM lParam,
                        LRESULT* pResult) {
    for (const MessageMapEntry<T>& e : map) {
        if (e.uMsg != uMsg) continue;
        if (uMsg == WM_COMMAND) {
            if (HIWORD(wParam) != e.uCode || (int)(int16_t)LOWORD(wParam) != e.nId) continue;
            (pThis->*e.pfnCommand)();
            *pResult = 0;
            return true;
        }
        *pResult = (pThis->*e.pfnMessage)(wParam, lParam);
        return true;
    }
    return false;
}

}  // namespace qnui
