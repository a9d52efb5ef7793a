// The FLTK backend of the dialog layer.
#include "qnui_fltk.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_File_Browser.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_File_Input.H>
#include <FL/Fl_Input_Choice.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qn_special_folder.h"
#include "ui/qnui.h"
#include "ui/qnui_text.h"

namespace qnui {

namespace {

const Fl_Font kFont = FL_HELVETICA;
const Fl_Font kBoldFont = FL_HELVETICA_BOLD;
const int kDefaultSize = 12;

Fl_Font FontOf(const LOGFONT* pFont) { return pFont && pFont->lfWeight >= FW_BOLD ? kBoldFont : kFont; }

int SizeOf(const LOGFONT* pFont) {
    if (!pFont || pFont->lfHeight == 0) return kDefaultSize;
    // A negative height is the character height in pixels (11 for the dialog's 8 points).
    int n = pFont->lfHeight < 0 ? -pFont->lfHeight : pFont->lfHeight;
    return std::clamp(n, 8, 48);
}

bool FontOfWindow(CWnd* pWnd, LOGFONT* pFont) { return pWnd && GetObject(pWnd->GetFontHandle(), sizeof(LOGFONT), pFont); }

class StaticBox;
StaticBox* g_pDrawing = nullptr;

// A static control: its paint goes through the window's own handler, its mouse input too when
// it has SS_NOTIFY.
class StaticBox : public Fl_Box {
public:
    StaticBox(HWND hWnd, int x, int y, int w, int h) : Fl_Box(x, y, w, h), m_hWnd(hWnd) {}
    void DrawDefault() {
        if (label()) draw_label();
    }

protected:
    void draw() override {
        draw_box();
        CWnd* pWnd = CWnd::FromHandle(m_hWnd);
        if (!pWnd) return;
        StaticBox* pOuter = g_pDrawing;
        g_pDrawing = this;
        pWnd->SendMessage(WM_PAINT);
        g_pDrawing = pOuter;
    }
    int handle(int nEvent) override {
        CWnd* pWnd = CWnd::FromHandle(m_hWnd);
        if (!pWnd || !(pWnd->GetStyle() & SS_NOTIFY)) return Fl_Box::handle(nEvent);
        LPARAM lPoint = MAKELPARAM((unsigned)(Fl::event_x() - x()), (unsigned)(Fl::event_y() - y()));
        switch (nEvent) {
        case FL_ENTER:
        case FL_MOVE:
            PostMessage(m_hWnd, WM_MOUSEMOVE, 0, lPoint);
            return 1;
        case FL_LEAVE:
            PostMessage(m_hWnd, WM_MOUSELEAVE, 0, 0);
            return 1;
        case FL_PUSH:
            if (Fl::event_button() == FL_LEFT_MOUSE) PostMessage(m_hWnd, WM_LBUTTONDOWN, 0, lPoint);
            return 1;
        default:
            return Fl_Box::handle(nEvent);
        }
    }

private:
    HWND m_hWnd;
};

// A combo box whose list opens under the whole box, as wide as the box, and so stays inside
// the dialog: FLTK's own opens at the small button on the right and as wide as its longest
// entry, past the dialog's edge. An entry too long for the box shows cut with "…" at its end;
// picking it gives the entry's whole text.
class ComboBox : public Fl_Input_Choice {
public:
    using Fl_Input_Choice::Fl_Input_Choice;

    int handle(int nEvent) override {
        Fl_Menu_Button* pButton = menubutton();
        // A click reaches the group before its button.
        if (nEvent != FL_PUSH || !Fl::event_inside(pButton) || !active_r() || pButton->size() <= 1)
            return Fl_Input_Choice::handle(nEvent);
        OpenList();
        return 1;
    }

    // The inside width an entry's label may take in the list.
    int ListTextWidth() const { return std::max(20, w() - 2 * kListMargin); }

private:
    // Room beside an entry's label in FLTK's menu window: its frame and the label's leading.
    static constexpr int kListMargin = 14;

    void OpenList() {
        Fl_Menu_Button* pButton = menubutton();
        const int nCount = pButton->size() - 1;  // the last item ends the menu
        std::vector<std::string> labels((size_t)nCount);
        std::vector<Fl_Menu_Item> items((size_t)nCount + 1);
        fl_font(pButton->textfont(), pButton->textsize());
        for (int i = 0; i < nCount; ++i) {
            const char* csz = pButton->menu()[i].label();
            labels[(size_t)i] = FitLabel(csz ? csz : "", ListTextWidth());
        }
        for (int i = 0; i < nCount; ++i) {
            std::memset(&items[(size_t)i], 0, sizeof(Fl_Menu_Item));
            items[(size_t)i].text = labels[(size_t)i].c_str();
            items[(size_t)i].labelfont_ = pButton->textfont();
            items[(size_t)i].labelsize_ = pButton->textsize();
        }
        std::memset(&items.back(), 0, sizeof(Fl_Menu_Item));
        pButton->value(-1);
        Fl_Widget_Tracker tracker(this);
        const Fl_Menu_Item* pPicked = items[0].pulldown(x(), y(), w(), h(), nullptr, pButton);
        if (!tracker.exists() || !pPicked) return;
        const char* cszWhole = pButton->menu()[pPicked - items.data()].label();
        input()->value(cszWhole ? cszWhole : "");
        set_changed();
        do_callback();
    }

    // The label cut at a character boundary so that it and "…" fit nMax pixels.
    static std::string FitLabel(const std::string& s, int nMax) {
        if (fl_width(s.c_str()) <= nMax) return s;
        const char* cszEllipsis = "\xE2\x80\xA6";
        std::string strCut = s;
        while (!strCut.empty()) {
            size_t n = strCut.size() - 1;
            while (n > 0 && ((unsigned char)strCut[n] & 0xC0) == 0x80) --n;
            strCut.resize(n);
            if (fl_width((strCut + cszEllipsis).c_str()) <= nMax) break;
        }
        return strCut + cszEllipsis;
    }
};

// What the window manager offers on a top-level window. Told right after FLTK made the window
// and before the next flush, so that it reaches the server together with the map request.
//  - Minimise only where the template asks for it: minimising a modal box would take the whole
//    tool with it, since the box keeps every other window of the tool disabled.
//  - Resizing only for a window that can be resized (the folder chooser).
//  - A window opened over an owner is its dialog (transient for it); the main window is normal.
void TellWindowManager(Fl_Window* pWin, bool bMinimise, bool bResize, Fl_Window* pOwner) {
    if (!pWin->shown() || !fl_xid(pWin)) return;
    const Window xid = fl_xid(pWin);
    enum : long { kHintFunctions = 1, kHintDecorations = 2 };
    enum : long { kFuncResize = 2, kFuncMove = 4, kFuncMinimise = 8, kFuncMaximise = 16, kFuncClose = 32 };
    enum : long { kDecorBorder = 2, kDecorResize = 4, kDecorTitle = 8, kDecorMenu = 16, kDecorMinimise = 32, kDecorMaximise = 64 };
    long aMotif[5] = {kHintFunctions | kHintDecorations, kFuncMove | kFuncClose, kDecorBorder | kDecorTitle | kDecorMenu, 0, 0};
    if (bMinimise) {
        aMotif[1] |= kFuncMinimise;
        aMotif[2] |= kDecorMinimise;
    }
    if (bResize) {
        aMotif[1] |= kFuncResize | kFuncMaximise;
        aMotif[2] |= kDecorResize | kDecorMaximise;
    }
    const Atom aMotifHints = XInternAtom(fl_display, "_MOTIF_WM_HINTS", False);
    XChangeProperty(fl_display, xid, aMotifHints, aMotifHints, 32, PropModeReplace, (unsigned char*)aMotif, 5);
    const Atom aType = XInternAtom(fl_display, "_NET_WM_WINDOW_TYPE", False);
    Atom aKind = XInternAtom(fl_display, pOwner ? "_NET_WM_WINDOW_TYPE_DIALOG" : "_NET_WM_WINDOW_TYPE_NORMAL", False);
    XChangeProperty(fl_display, xid, aType, XA_ATOM, 32, PropModeReplace, (unsigned char*)&aKind, 1);
    if (pOwner && pOwner != pWin && pOwner->shown() && fl_xid(pOwner)) XSetTransientForHint(fl_display, xid, fl_xid(pOwner));
}

// The folder chooser's own handling of its field rewrites the text whenever "/" is typed (it
// changes to that folder and puts the folder's path back into the field, where the rest of the
// typing lands in the wrong place) and fills in folder names as they are typed. A path typed or
// pasted must come out as it stands, so the field gets this callback instead: it keeps the
// text and only opens OK for a text that is not empty. Enter then reaches OK as its shortcut.
void OnChooserField(Fl_Widget* pWidget, void* pvOk) {
    auto* pOk = static_cast<Fl_Widget*>(pvOk);
    const char* csz = static_cast<Fl_Input_*>(pWidget)->value();
    if (csz && csz[0])
        pOk->activate();
    else
        pOk->deactivate();
}

// Finds the first widget of type T in a window's tree.
template <class T>
T* FindWidget(Fl_Widget* pWidget) {
    if (auto* p = dynamic_cast<T*>(pWidget)) return p;
    if (auto* pGroup = pWidget->as_group())
        for (int i = 0; i < pGroup->children(); ++i)
            if (T* p = FindWidget<T>(pGroup->child(i))) return p;
    return nullptr;
}

// The tool's icon, for every window: the banner's blue with a white cross, at 16 and 32 pixels.
void SetToolIcon() {
    static unsigned char s_Small[16 * 16 * 3], s_Big[32 * 32 * 3];
    auto paint = [](unsigned char* p, int n) {
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                unsigned char* px = p + ((size_t)y * n + x) * 3;
                const bool bEdge = x == 0 || y == 0 || x == n - 1 || y == n - 1;
                const bool bCross = (std::abs(2 * x - (n - 1)) <= n / 4 && y >= n / 5 && y < n - n / 5) ||
                                    (std::abs(2 * y - (n - 1)) <= n / 4 && x >= n / 5 && x < n - n / 5);
                const unsigned char r = bEdge ? 20 : bCross ? 255 : 36, g = bEdge ? 40 : bCross ? 255 : 64,
                                    b = bEdge ? 80 : bCross ? 255 : 112;
                px[0] = r;
                px[1] = g;
                px[2] = b;
            }
    };
    paint(s_Small, 16);
    paint(s_Big, 32);
    Fl_RGB_Image small(s_Small, 16, 16, 3), big(s_Big, 32, 32, 3);
    const Fl_RGB_Image* icons[] = {&small, &big};
    Fl_Window::default_icons(icons, 2);  // FLTK keeps copies
}

void OnButton(Fl_Widget*, void* pv) {
    HWND hCtl = (HWND)pv;
    CWnd* pCtl = CWnd::FromHandle(hCtl);
    if (!pCtl || !pCtl->GetParent()) return;
    PostMessage(pCtl->GetParent()->GetSafeHwnd(), WM_COMMAND, MAKEWPARAM((unsigned)pCtl->GetDlgCtrlID(), BN_CLICKED),
                (LPARAM)hCtl);
}

void OnComboEdit(Fl_Widget* pWidget, void* pv) {
    HWND hCtl = (HWND)pv;
    std::string strText = static_cast<Fl_Input_Choice*>(pWidget)->value() ? static_cast<Fl_Input_Choice*>(pWidget)->value() : "";
    PostTask([hCtl, strText] {
        if (CWnd* p = CWnd::FromHandle(hCtl)) p->SetWindowText(strText.c_str());
    });
}

// The close box and Escape of a dialog window.
void OnWindow(Fl_Widget*, void* pv) {
    HWND hDlg = (HWND)pv;
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape)
        PostMessage(hDlg, WM_COMMAND, MAKEWPARAM((unsigned)IDCANCEL, BN_CLICKED), 0);
    else
        PostMessage(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
}

// Places a window centred over its owner (centred on the screen without one), inside the
// work area of the owner's screen. Called before the window is shown, or after, to move it.
void PlaceCentred(Fl_Window* pWin, Fl_Window* pOwner) {
    int nX, nY, nW, nH;
    int nCx, nCy;
    if (pOwner && pOwner->shown()) {
        nCx = pOwner->x() + pOwner->w() / 2;
        nCy = pOwner->y() + pOwner->h() / 2;
        Fl::screen_work_area(nX, nY, nW, nH, nCx, nCy);
    } else {
        Fl::screen_work_area(nX, nY, nW, nH);
        nCx = nX + nW / 2;
        nCy = nY + nH / 2;
    }
    const int nLeft = std::max(nX, std::min(nCx - pWin->w() / 2, nX + nW - pWin->w()));
    const int nTop = std::max(nY, std::min(nCy - pWin->h() / 2, nY + nH - pWin->h()));
    pWin->position(nLeft, nTop);
}

// The text of a message box, drawn line by line as the line breaker laid it out.
class MessageText : public Fl_Widget {
public:
    MessageText(int x, int y, int w, int h, std::vector<std::string> lines, int nLineHeight)
        : Fl_Widget(x, y, w, h), m_Lines(std::move(lines)), m_nLineHeight(nLineHeight) {}
    const std::vector<std::string>& Lines() const { return m_Lines; }
    int LineHeight() const { return m_nLineHeight; }

protected:
    void draw() override {
        fl_push_clip(x(), y(), w(), h());
        fl_font(labelfont(), labelsize());
        fl_color(labelcolor());
        for (size_t i = 0; i < m_Lines.size(); ++i) {
            const int nBaseline = y() + (int)i * m_nLineHeight + m_nLineHeight - fl_descent();
            fl_draw(m_Lines[i].data(), (int)m_Lines[i].size(), x(), nBaseline);
        }
        fl_pop_clip();
    }

private:
    std::vector<std::string> m_Lines;
    int m_nLineHeight;
};

// The icon a message box's flags ask for, as FLTK's own boxes show them: "!" for a warning,
// "?" for a question, "i" for information, and a red "X" for an error. Empty for none.
const char* IconGlyph(UINT uType, Fl_Color* pColor) {
    *pColor = FL_BLUE;
    switch (uType & MB_ICONMASK) {
    case MB_ICONEXCLAMATION:
        return "!";
    case MB_ICONQUESTION:
        return "?";
    case MB_ICONINFORMATION:
        return "i";
    case MB_ICONERROR:
        *pColor = FL_RED;
        return "X";
    default:
        return "";
    }
}

// A message box's icon.
class IconBox : public Fl_Box {
public:
    using Fl_Box::Fl_Box;
};

// The widgets of a window, its groups walked through, for the screenshot tests.
void ListParts(Fl_Widget* pWidget, int nOx, int nOy, std::vector<FltkShot::Part>* pParts) {
    auto rectOf = [&](Fl_Widget* w) { return RECT{w->x() - nOx, w->y() - nOy, w->x() - nOx + w->w(), w->y() - nOy + w->h()}; };
    const bool bVisible = pWidget->visible_r();
    if (auto* pText = dynamic_cast<MessageText*>(pWidget)) {
        fl_font(pText->labelfont(), pText->labelsize());
        for (size_t i = 0; i < pText->Lines().size(); ++i) {
            const std::string& strLine = pText->Lines()[i];
            const int nTop = pText->y() - nOy + (int)i * pText->LineHeight();
            const int nLeft = pText->x() - nOx;
            const int nWidth = (int)(fl_width(strLine.data(), (int)strLine.size()) + 0.5);
            pParts->push_back({"line", strLine, RECT{nLeft, nTop, nLeft + nWidth, nTop + pText->LineHeight()}, bVisible});
        }
        return;
    }
    if (auto* pBrowser = dynamic_cast<Fl_Browser*>(pWidget)) {
        for (int i = 1; i <= pBrowser->size(); ++i)
            pParts->push_back({"list", pBrowser->text(i) ? pBrowser->text(i) : "", rectOf(pWidget), bVisible});
    }
    if (auto* pMenu = dynamic_cast<Fl_Menu_*>(pWidget)) {
        for (int i = 0; i < pMenu->size(); ++i) {
            const char* csz = pMenu->text(i);
            if (csz) pParts->push_back({"label", csz, rectOf(pWidget), bVisible});
        }
    }
    if (auto* pInput = dynamic_cast<Fl_Input_*>(pWidget)) {
        if (pInput->value() && pInput->value()[0]) pParts->push_back({"input", pInput->value(), rectOf(pWidget), bVisible});
    }
    if (pWidget->label() && pWidget->label()[0] && !dynamic_cast<Fl_Window*>(pWidget)) {
        const char* cszKind = dynamic_cast<Fl_Button*>(pWidget) ? "button" : "label";
        if (dynamic_cast<IconBox*>(pWidget)) cszKind = "icon";
        pParts->push_back({cszKind, pWidget->label(), rectOf(pWidget), bVisible});
    }
    if (pWidget->tooltip() && pWidget->tooltip()[0]) pParts->push_back({"label", pWidget->tooltip(), rectOf(pWidget), false});
    if (auto* pGroup = pWidget->as_group()) {
        for (int i = 0; i < pGroup->children(); ++i) ListParts(pGroup->child(i), nOx, nOy, pParts);
    }
}

class FltkBackend : public IBackend {
public:
    FltkBackend() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            m_nWakeRead = fds[0];
            m_nWakeWrite = fds[1];
        }
    }

    void Wake() override {
        if (m_nWakeWrite >= 0) {
            char c = 1;
            ssize_t n = ::write(m_nWakeWrite, &c, 1);
            (void)n;  // a full pipe is awake already
        }
    }

    void Wait() override {
        EnsureStarted();
        Fl::wait(1e20);
    }

    void WindowCreated(CWnd* pWnd) override {
        EnsureStarted();
        HWND h = pWnd->GetSafeHwnd();
        RECT rc;
        pWnd->GetWindowRect(&rc);
        const int w = std::max<int>(1, rc.right - rc.left), ht = std::max<int>(1, rc.bottom - rc.top);
        if (!pWnd->GetParent()) {
            auto* pWin = new Fl_Double_Window(w, ht);
            pWin->end();
            pWin->callback(&OnWindow, h);
            m_Widgets[h] = pWin;
            Apply(pWnd, pWin);
            return;
        }
        auto itParent = m_Widgets.find(pWnd->GetParent()->GetSafeHwnd());
        if (itParent == m_Widgets.end()) return;
        auto* pWin = static_cast<Fl_Window*>(itParent->second);
        const std::string& strClass = pWnd->ClassName();
        const DWORD dwStyle = pWnd->GetStyle();
        Fl_Widget* pWidget = nullptr;
        if (strClass == "BUTTON" && (dwStyle & 0xF) == BS_GROUPBOX) {
            auto* pBox = new Fl_Box(rc.left, rc.top, w, ht);
            pBox->box(FL_ENGRAVED_FRAME);
            pBox->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
            pWidget = pBox;
        } else if (strClass == "BUTTON") {
            Fl_Button* pButton = (dwStyle & 0xF) == BS_DEFPUSHBUTTON ? new Fl_Return_Button(rc.left, rc.top, w, ht)
                                                                   : new Fl_Button(rc.left, rc.top, w, ht);
            pButton->callback(&OnButton, h);
            pWidget = pButton;
        } else if (strClass == "msctls_progress32") {
            auto* pBar = new Fl_Progress(rc.left, rc.top, w, ht);
            pBar->minimum(0);
            pBar->maximum(100);
            pBar->selection_color(fl_rgb_color(6, 176, 37));
            pBar->box(FL_DOWN_BOX);
            pWidget = pBar;
        } else if (strClass == "COMBOBOX") {
            // The template gives the height with the list open; the closed box is one line.
            auto* pCombo = new ComboBox(rc.left, rc.top, w, std::min(ht, 22));
            pCombo->callback(&OnComboEdit, h);
            pCombo->when(FL_WHEN_CHANGED);
            pWidget = pCombo;
        } else {
            auto* pBox = new StaticBox(h, rc.left, rc.top, w, ht);
            if (dwStyle & (SS_SUNKEN | SS_ETCHEDHORZ)) {
                pBox->box(FL_THIN_DOWN_FRAME);
            } else if ((dwStyle & 0x1F) == SS_BITMAP) {
                pBox->box(FL_FLAT_BOX);
                pBox->color(fl_rgb_color(36, 64, 112));
            } else {
                pBox->box(FL_FLAT_BOX);
            }
            // A text longer than its control is cut at the control's edge, as Windows does.
            pBox->align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_CLIP);
            pWidget = pBox;
        }
        pWin->add(pWidget);
        m_Widgets[h] = pWidget;
        Apply(pWnd, pWidget);
    }

    void WindowChanged(CWnd* pWnd) override {
        auto it = m_Widgets.find(pWnd->GetSafeHwnd());
        if (it != m_Widgets.end()) Apply(pWnd, it->second);
    }

    void WindowDestroyed(CWnd* pWnd) override {
        auto it = m_Widgets.find(pWnd->GetSafeHwnd());
        if (it == m_Widgets.end()) return;
        Fl_Widget* pWidget = it->second;
        m_Widgets.erase(it);
        if (!pWnd->GetParent()) {
            // The window deletes its children; forget them first.
            auto* pWin = static_cast<Fl_Window*>(pWidget);
            for (auto i = m_Widgets.begin(); i != m_Widgets.end();) {
                if (i->second->window() == pWin)
                    i = m_Widgets.erase(i);
                else
                    ++i;
            }
            pWin->hide();
            Fl::delete_widget(pWin);
        }
    }

    void DialogShown(CDialog* pDlg, bool bShown) override {
        auto it = m_Widgets.find(pDlg->GetSafeHwnd());
        if (it == m_Widgets.end()) return;
        auto* pWin = static_cast<Fl_Window*>(it->second);
        if (bShown) {
            Fl_Window* pOwner = OwnerWindow(pDlg->OwnerWnd() ? pDlg->OwnerWnd()->GetSafeHwnd() : nullptr, pDlg);
            PlaceCentred(pWin, pOwner);
            pWin->set_modal();
            const bool bMade = !pWin->shown();  // a hidden window has no X window left
            pWin->show();
            if (bMade) TellWindowManager(pWin, (pDlg->GetStyle() & WS_MINIMIZEBOX) != 0, false, pOwner);
        } else {
            pWin->hide();
        }
        Fl::flush();
    }

    // Before the UI thread blocks: the exposures that closing a box caused are fetched from the
    // server and drawn, with every change made so far, and the drawing reaches the server.
    // After a box closed, a window manager takes its frame away only a moment later, and only
    // then is the window under it exposed: that exposure is waited for, briefly. Input read
    // meanwhile only queues messages; nothing of the layer's queue is handled.
    void Flush() override {
        if (!m_bStarted) return;
        XSync(fl_display, False);
        if (m_ulUncovered) WaitForExposure(m_ulUncovered, kUncoverMs);
        m_ulUncovered = 0;
        Fl::check();
        Fl::flush();
        XSync(fl_display, False);
    }

    int MessageBox(HWND hOwner, const char* cszText, const char* cszCaption, UINT uType) override {
        EnsureStarted();
        const bool bOkCancel = (uType & 0xF) == MB_OKCANCEL;
        int nAnswer = 0;

        // The box is sized to its text and buttons: the text breaks into lines no wider than
        // a readable measure, wider when the lines would not fit the screen's height.
        int nSx, nSy, nSw, nSh;
        Fl_Window* pOwner = OwnerWindow(hOwner, nullptr);
        if (pOwner && pOwner->shown())
            Fl::screen_work_area(nSx, nSy, nSw, nSh, pOwner->x() + pOwner->w() / 2, pOwner->y() + pOwner->h() / 2);
        else
            Fl::screen_work_area(nSx, nSy, nSw, nSh);
        Fl_Color crIcon;
        const char* cszGlyph = IconGlyph(uType, &crIcon);
        const bool bIcon = cszGlyph[0] != 0;
        const int nIconRoom = bIcon ? kIconSize + kGap : 0;
        const int nButtons = bOkCancel ? 2 : 1;
        const int nButtonRow = nButtons * kButtonW + (nButtons - 1) * kGap;
        fl_font(kFont, kDefaultSize);
        const int nLineH = fl_height();
        auto width = [](const char* csz, int n) { return (int)(fl_width(csz, n) + 0.5); };
        const int nWidest = std::max(kButtonW, nSw - 2 * kMargin - nIconRoom);
        int nMaxText = std::min(kTextMeasure, nWidest);
        std::vector<std::string> lines = BreakTextLines(cszText, nMaxText, width);
        const int nRoomH = std::max(nLineH, nSh - 3 * kMargin - kButtonH);
        if ((int)lines.size() * nLineH > nRoomH && nMaxText < nWidest) {
            nMaxText = nWidest;
            lines = BreakTextLines(cszText, nMaxText, width);
        }
        int nTextW = 0;
        for (const std::string& strLine : lines) nTextW = std::max(nTextW, width(strLine.data(), (int)strLine.size()));
        const int nTextH = std::min((int)lines.size() * nLineH, nRoomH);
        const int nBodyH = std::max(nTextH, bIcon ? kIconSize : 0);
        const int nW = std::min(nSw, std::max(2 * kMargin + nIconRoom + nTextW, 2 * kMargin + nButtonRow));
        const int nH = std::min(nSh, kMargin + nBodyH + kMargin + kButtonH + kMargin);

        // FLTK's own message icon gives the icon's box, colours and face (asked for before the
        // box's window is begun: FLTK builds its own message window on first use).
        Fl_Widget* pStyle = bIcon ? fl_message_icon() : nullptr;
        Fl_Double_Window win(nW, nH, cszCaption);
        IconBox icon(kMargin, kMargin, kIconSize, kIconSize);
        if (pStyle) {
            icon.box(pStyle->box());
            icon.color(pStyle->color());
            icon.labelfont(pStyle->labelfont());
            icon.labelsize(pStyle->labelsize());
            icon.labelcolor(crIcon);
            icon.label(cszGlyph);
        } else {
            icon.hide();
        }
        const int nTextTop = kMargin + (nBodyH - nTextH) / 2;
        MessageText text(kMargin + nIconRoom, nTextTop, nW - 2 * kMargin - nIconRoom, nTextH, std::move(lines), nLineH);
        text.labelfont(kFont);
        text.labelsize(kDefaultSize);
        text.labelcolor(FL_FOREGROUND_COLOR);
        const int nButtonTop = nH - kMargin - kButtonH;
        const int nButtonLeft = (nW - nButtonRow) / 2;
        Fl_Return_Button ok(nButtonLeft, nButtonTop, kButtonW, kButtonH, "确定");
        Fl_Button cancel(nButtonLeft + kButtonW + kGap, nButtonTop, kButtonW, kButtonH, "取消");
        ok.labelfont(kFont);
        cancel.labelfont(kFont);
        if (!bOkCancel) cancel.hide();
        struct Answer {
            int* pn;
            int n;
        } aOk{&nAnswer, IDOK}, aCancel{&nAnswer, bOkCancel ? IDCANCEL : IDOK};
        auto fnAnswer = [](Fl_Widget*, void* pv) { *static_cast<Answer*>(pv)->pn = static_cast<Answer*>(pv)->n; };
        ok.callback(fnAnswer, &aOk);
        cancel.callback(fnAnswer, &aCancel);
        win.callback(fnAnswer, &aCancel);
        win.end();
        win.set_modal();
        PlaceCentred(&win, pOwner);
        win.show();
        TellWindowManager(&win, false, false, pOwner);
        BoxState state{&win, nullptr, &nAnswer, bOkCancel};
        m_Boxes.push_back(&state);
        bool bAnswered = RunModalLoop([&] { return nAnswer != 0; });
        m_Boxes.pop_back();
        win.hide();
        Fl::flush();
        m_ulUncovered = pOwner && pOwner->shown() ? (unsigned long)fl_xid(pOwner) : 0;
        return bAnswered ? nAnswer : (bOkCancel ? IDCANCEL : IDOK);
    }

    bool BrowseForFolder(HWND hOwner, const char* cszTitle, std::string* pFolder) override {
        EnsureStarted();
        SetChooserTexts();
        // DIRECTORY lists folders only; the filter stays "*" so that every folder shows.
        Fl_File_Chooser chooser(".", "*", Fl_File_Chooser::DIRECTORY, cszTitle);
        chooser.ok_label("确定");
        chooser.preview(0);
        Fl_Window* pWin = chooser.newButton->top_window();
        if (auto* pField = FindWidget<Fl_File_Input>(pWin))
            if (auto* pOk = FindWidget<Fl_Return_Button>(pWin)) {
                pField->callback(&OnChooserField, pOk);
                pField->when(FL_WHEN_CHANGED);
            }
        pWin->xclass(Fl_Window::default_xclass());
        // The window is made and told to the window manager before the chooser shows it (the
        // chooser flushes as it shows); it opens over its owner.
        Fl_Window* pOwner = OwnerWindow(hOwner, nullptr);
        PlaceCentred(pWin, pOwner);
        pWin->show();
        TellWindowManager(pWin, false, true, pOwner);
        chooser.show();
        // The chooser puts itself under the mouse pointer; it goes back over its owner.
        PlaceCentred(pWin, pOwner);
        int nAnswer = 0;
        BoxState state{pWin, &chooser, &nAnswer, true};
        m_Boxes.push_back(&state);
        bool bNotQuit = RunModalLoop([&] { return !chooser.shown(); });
        m_Boxes.pop_back();
        if (!bNotQuit) chooser.hide();
        const char* csz = bNotQuit && nAnswer != IDCANCEL ? chooser.value() : nullptr;
        if (!csz || !csz[0]) return false;
        *pFolder = csz;
        return true;
    }

    SIZE MeasureText(const LOGFONT* pFont, const char* csz, int nCount) override {
        EnsureStarted();
        fl_font(FontOf(pFont), SizeOf(pFont));
        return SIZE{(LONG)(fl_width(csz, nCount) + 0.5), (LONG)fl_height()};
    }

    void DrawText(CWnd* pWnd, const LOGFONT* pFont, COLORREF crText, int nBkMode, int x, int y,
                  const std::string& strText) override {
        auto it = m_Widgets.find(pWnd->GetSafeHwnd());
        if (it == m_Widgets.end() || it->second != g_pDrawing) return;  // only while it paints
        Fl_Widget* pWidget = it->second;
        fl_font(FontOf(pFont), SizeOf(pFont));
        const int nX = pWidget->x() + x, nTop = pWidget->y() + y;
        const int nWidth = (int)(fl_width(strText.data(), (int)strText.size()) + 0.5);
        if (nBkMode == OPAQUE) {
            fl_color(FL_BACKGROUND_COLOR);
            fl_rectf(nX, nTop, nWidth, fl_height());
        }
        fl_color(GetRValue(crText), GetGValue(crText), GetBValue(crText));
        const int nBaseline = nTop + fl_height() - fl_descent();
        fl_draw(strText.data(), (int)strText.size(), nX, nBaseline);
        if (pFont && pFont->lfUnderline) fl_line(nX, nBaseline + 1, nX + nWidth - 1, nBaseline + 1);
    }

    void DefaultPaint(CWnd* pWnd) override {
        auto it = m_Widgets.find(pWnd->GetSafeHwnd());
        if (it != m_Widgets.end() && it->second == g_pDrawing) g_pDrawing->DrawDefault();
    }

    void CursorChanged(HCURSOR hCursor) override {
        Fl_Window* pWin = Fl::first_window();
        if (pWin) pWin->cursor((uintptr_t)hCursor == QNUI_CURSOR_HAND ? FL_CURSOR_HAND : FL_CURSOR_DEFAULT);
    }

    bool Capture(HWND hDlg, FltkShot* pShot) {
        auto it = m_Widgets.find(hDlg);
        if (it == m_Widgets.end()) return false;
        return CaptureWindow(static_cast<Fl_Window*>(it->second), pShot);
    }

    bool CaptureBox(FltkShot* pShot) { return !m_Boxes.empty() && CaptureWindow(m_Boxes.back()->pWin, pShot); }

    bool AnswerBox(int nAnswer) {
        if (m_Boxes.empty()) return false;
        BoxState* pBox = m_Boxes.back();
        *pBox->pnAnswer = nAnswer == IDOK || !pBox->bCanCancel ? IDOK : IDCANCEL;
        if (pBox->pChooser) pBox->pChooser->hide();
        Wake();
        return true;
    }

private:
    static constexpr const char* kWindowClass = "QelRepair";
    // How long a flush after a closed box waits for the window manager to uncover its owner.
    static constexpr int kUncoverMs = 500;
    static constexpr int kMargin = 14, kGap = 10, kIconSize = 50, kButtonW = 84, kButtonH = 26;
    // The widest a message box's text runs before it breaks: a readable measure, so that a
    // long text makes a taller box rather than one as wide as the screen.
    static constexpr int kTextMeasure = 420;

    // A message box or folder browser that shows now.
    struct BoxState {
        Fl_Window* pWin;
        Fl_File_Chooser* pChooser;
        int* pnAnswer;
        bool bCanCancel;
    };

    // The window a dialog or box opens over: its owner's window when that shows (a control
    // stands for its dialog), else the innermost modal dialog running other than pSelf, else
    // the innermost box shown; nullptr for none.
    Fl_Window* OwnerWindow(HWND hOwner, CDialog* pSelf) {
        auto shownWindowOf = [&](HWND h) -> Fl_Window* {
            auto it = m_Widgets.find(h);
            if (it == m_Widgets.end()) return nullptr;
            Fl_Window* pWin = it->second->as_window() ? it->second->as_window() : it->second->window();
            return pWin && pWin->shown() ? pWin : nullptr;
        };
        if (hOwner)
            if (Fl_Window* pWin = shownWindowOf(hOwner)) return pWin;
        if (!m_Boxes.empty()) return m_Boxes.back()->pWin;
        std::vector<CDialog*> dialogs = ModalDialogs();
        for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it) {
            if (*it == pSelf) continue;
            if (Fl_Window* pWin = shownWindowOf((*it)->GetSafeHwnd())) return pWin;
        }
        return nullptr;
    }

    // The folder browser's own texts, in Chinese. FLTK keeps them in static members that the
    // chooser reads when it is built.
    static void SetChooserTexts() {
        fl_ok = "确定";
        fl_cancel = "取消";
        fl_yes = "是";
        fl_no = "否";
        fl_close = "关闭";
        Fl_File_Chooser::add_favorites_label = "添加到收藏夹";
        Fl_File_Chooser::all_files_label = "所有文件夹 (*)";
        Fl_File_Chooser::custom_filter_label = "自定义筛选";
        Fl_File_Chooser::existing_file_label = "请选择一个已有的目录！";
        Fl_File_Chooser::favorites_label = "收藏夹";
        Fl_File_Chooser::filename_label = "目录:";
        Fl_File_Chooser::filesystems_label = "文件系统";
        Fl_File_Chooser::manage_favorites_label = "管理收藏夹";
        Fl_File_Chooser::new_directory_label = "新目录名称？";
        Fl_File_Chooser::new_directory_tooltip = "新建目录";
        Fl_File_Chooser::preview_label = "预览";
        Fl_File_Chooser::save_label = "保存";
        Fl_File_Chooser::show_label = "显示:";
        Fl_File_Chooser::hidden_label = "显示隐藏目录";
    }

    bool CaptureWindow(Fl_Window* pWin, FltkShot* pShot) {
        if (!pWin || !pWin->shown()) return false;
        // Let the display map the window before its pixels are read (bounded: 10 s).
        for (int i = 0; i < 200; ++i) {
            XWindowAttributes attr;
            if (fl_xid(pWin) && XGetWindowAttributes(fl_display, fl_xid(pWin), &attr) && attr.map_state == IsViewable) break;
            Fl::wait(0.05);
        }
        Fl::check();
        pWin->redraw();
        Fl::flush();
        XSync(fl_display, False);
        Window child;
        int nRootX = 0, nRootY = 0;
        XTranslateCoordinates(fl_display, fl_xid(pWin), RootWindow(fl_display, fl_screen), 0, 0, &nRootX, &nRootY, &child);
        pShot->rcScreen = RECT{nRootX, nRootY, nRootX + pWin->w(), nRootY + pWin->h()};
        int nX, nY, nW, nH;
        Fl::screen_work_area(nX, nY, nW, nH, nRootX + pWin->w() / 2, nRootY + pWin->h() / 2);
        pShot->rcWorkArea = RECT{nX, nY, nX + nW, nY + nH};
        pShot->strTitle = pWin->label() ? pWin->label() : "";
        pShot->ulWindow = (unsigned long)fl_xid(pWin);
        pShot->parts.clear();
        for (int i = 0; i < pWin->children(); ++i) ListParts(pWin->child(i), 0, 0, &pShot->parts);
        pWin->make_current();
        pShot->rgb.assign((size_t)pWin->w() * pWin->h() * 3, 0);
        if (!fl_read_image(pShot->rgb.data(), 0, 0, pWin->w(), pWin->h())) return false;
        pShot->nWidth = pWin->w();
        pShot->nHeight = pWin->h();
        return true;
    }

    // Waits until an exposure of the window is queued, at most nMs; the event stays queued for
    // FLTK.
    static void WaitForExposure(unsigned long ulWindow, int nMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        for (;;) {
            XEvent event;
            if (XCheckTypedWindowEvent(fl_display, (Window)ulWindow, Expose, &event)) {
                XPutBackEvent(fl_display, &event);
                return;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return;
            struct pollfd pfd = {ConnectionNumber(fl_display), POLLIN, 0};
            ::poll(&pfd, 1, (int)left.count());
        }
    }

    static void OnWakePipe(int nFd, void*) {
        char buf[256];
        while (::read(nFd, buf, sizeof(buf)) > 0) {
        }
    }

    void EnsureStarted() {
        if (m_bStarted) return;
        m_bStarted = true;
        fl_open_display();
        // FLTK 1.3 draws no glyph that its font lacks, so the Chinese face is named: the
        // leading blank is the plain style, the "B" the bold one.
        Fl::set_font(kFont, " WenQuanYi Micro Hei");
        Fl::set_font(kBoldFont, "BWenQuanYi Micro Hei");
        FL_NORMAL_SIZE = kDefaultSize;
        // The task bar groups and names the tool's windows by their class, and shows its icon.
        Fl_Window::default_xclass(kWindowClass);
        SetToolIcon();
        if (m_nWakeRead >= 0) Fl::add_fd(m_nWakeRead, FL_READ, &FltkBackend::OnWakePipe, nullptr);
    }

    void Apply(CWnd* pWnd, Fl_Widget* pWidget) {
        CString strText;
        pWnd->GetWindowText(strText);
        LOGFONT lf{};
        bool bFont = FontOfWindow(pWnd, &lf);
        pWidget->labelfont(FontOf(bFont ? &lf : nullptr));
        pWidget->labelsize(SizeOf(bFont ? &lf : nullptr));
        if (auto* pCombo = dynamic_cast<Fl_Input_Choice*>(pWidget)) {
            auto* pCombo2 = static_cast<CComboBox*>(pWnd);
            pCombo->input()->textfont(pWidget->labelfont());
            pCombo->input()->textsize(pWidget->labelsize());
            pCombo->menubutton()->textfont(pWidget->labelfont());
            pCombo->clear();
            for (int i = 0; i < pCombo2->GetCount(); ++i) {
                CString s;
                pCombo2->GetLBText(i, s);
                // '/' and '&' have meanings in menu labels; a path is added as one plain item.
                pCombo->menubutton()->add("x");
                pCombo->menubutton()->replace(i, s.c_str());
            }
            if (strText != (pCombo->value() ? pCombo->value() : "")) pCombo->value(strText.c_str());
        } else if (auto* pBar = dynamic_cast<Fl_Progress*>(pWidget)) {
            pBar->value((float)static_cast<CProgressCtrl*>(pWnd)->GetPos());
        } else if (auto* pWin = dynamic_cast<Fl_Window*>(pWidget)) {
            pWin->copy_label(strText.c_str());
        } else {
            pWidget->copy_label(strText.c_str());
        }
        if (pWnd->IsWindowEnabled())
            pWidget->activate();
        else
            pWidget->deactivate();
        pWidget->redraw();
    }

    bool m_bStarted = false;
    unsigned long m_ulUncovered = 0;  // the owner of a message box closed since the last Flush
    int m_nWakeRead = -1;
    int m_nWakeWrite = -1;
    std::map<HWND, Fl_Widget*> m_Widgets;
    std::vector<BoxState*> m_Boxes;  // innermost last
};

FltkBackend* g_pFltk = nullptr;

// FLTK 1.3 keeps its own options and its file chooser's preferences in files below
// "$HOME/.fltk/fltk.org/", a place each fixes when it is first opened: the options when a
// widget first asks for one (they are then read once for the run), the chooser's preferences
// when the first chooser is built (they stay open for the run). Both are opened here, once,
// with HOME pointing at the tool's application-data folder, so that they lie there with
// everything else the tool keeps and nothing is written below the player's home. HOME is put
// back at once; this runs before the program starts any other thread.
void OpenFltkPreferencesInAppData() {
    std::string strFolder;
    QN_GetSpecialFolderPath(CSIDL_APPDATA, &strFolder, true);
    if (strFolder.empty()) return;
    const char* cszHome = std::getenv("HOME");
    const bool bHadHome = cszHome != nullptr;
    const std::string strHome = bHadHome ? cszHome : "";
    ::setenv("HOME", strFolder.c_str(), 1);
    Fl::option(Fl::OPTION_VISIBLE_FOCUS);
    { Fl_File_Chooser chooser(strFolder.c_str(), "*", Fl_File_Chooser::DIRECTORY, ""); }
    if (bHadHome)
        ::setenv("HOME", strHome.c_str(), 1);
    else
        ::unsetenv("HOME");
}

}  // namespace

std::shared_ptr<IBackend> UseFltkBackend() {
    const char* csz = std::getenv("DISPLAY");
    if (!csz || !csz[0]) return nullptr;
    if (!fl_display) {
        // An X server with no other client resets when its last client leaves, and a
        // connection made during the reset fails. The probe that tells whether the display
        // answers therefore stays open until FLTK has its own connection, so that the server
        // always has a client from here on.
        Display* pProbe = XOpenDisplay(nullptr);
        if (!pProbe) return nullptr;
        fl_open_display();
        XCloseDisplay(pProbe);
        OpenFltkPreferencesInAppData();
    }
    auto p = std::make_shared<FltkBackend>();
    g_pFltk = p.get();
    SetBackend(p);
    return p;
}

bool FltkCaptureDialog(HWND hDlg, FltkShot* pShot) { return g_pFltk && pShot && g_pFltk->Capture(hDlg, pShot); }

bool FltkCaptureDialog(HWND hDlg, std::vector<unsigned char>* pRgb, int* pnWidth, int* pnHeight) {
    if (!pRgb || !pnWidth || !pnHeight) return false;
    FltkShot shot;
    if (!FltkCaptureDialog(hDlg, &shot)) return false;
    *pRgb = std::move(shot.rgb);
    *pnWidth = shot.nWidth;
    *pnHeight = shot.nHeight;
    return true;
}

bool FltkCaptureBox(FltkShot* pShot) { return g_pFltk && pShot && g_pFltk->CaptureBox(pShot); }

bool FltkAnswerBox(int nAnswer) { return g_pFltk && g_pFltk->AnswerBox(nAnswer); }

}  // namespace qnui
