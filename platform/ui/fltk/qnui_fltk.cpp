// The FLTK backend of the dialog layer.
#include "qnui_fltk.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_Input_Choice.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>

#include "ui/qnui.h"

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
            auto* pCombo = new Fl_Input_Choice(rc.left, rc.top, w, std::min(ht, 22));
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
            pWin->set_modal();
            pWin->show();
        } else {
            pWin->hide();
        }
        Fl::flush();
    }

    void Flush() override { Fl::flush(); }

    int MessageBox(HWND /*hOwner*/, const char* cszText, const char* cszCaption, UINT uType) override {
        EnsureStarted();
        const bool bOkCancel = (uType & 0xF) == MB_OKCANCEL;
        int nAnswer = 0;
        Fl_Double_Window win(380, 150, cszCaption);
        Fl_Box text(16, 12, 348, 90);
        text.copy_label(cszText);
        text.align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
        text.labelfont(kFont);
        text.labelsize(kDefaultSize);
        Fl_Return_Button ok(bOkCancel ? 186 : 286, 110, 84, 26, "确定");
        Fl_Button cancel(286, 110, 84, 26, "取消");
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
        win.show();
        bool bAnswered = RunModalLoop([&] { return nAnswer != 0; });
        win.hide();
        Fl::flush();
        return bAnswered ? nAnswer : (bOkCancel ? IDCANCEL : IDOK);
    }

    bool BrowseForFolder(HWND /*hOwner*/, const char* cszTitle, std::string* pFolder) override {
        EnsureStarted();
        fl_ok = "确定";
        fl_cancel = "取消";
        Fl_File_Chooser chooser(".", "*", Fl_File_Chooser::DIRECTORY, cszTitle);
        chooser.ok_label("确定");
        chooser.show();
        bool bNotQuit = RunModalLoop([&] { return !chooser.shown(); });
        if (!bNotQuit) chooser.hide();
        const char* csz = bNotQuit ? chooser.value() : nullptr;
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

    bool Capture(HWND hDlg, std::vector<unsigned char>* pRgb, int* pnWidth, int* pnHeight) {
        auto it = m_Widgets.find(hDlg);
        if (it == m_Widgets.end()) return false;
        auto* pWin = static_cast<Fl_Window*>(it->second);
        if (!pWin->shown()) return false;
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
        pWin->make_current();
        pRgb->assign((size_t)pWin->w() * pWin->h() * 3, 0);
        if (!fl_read_image(pRgb->data(), 0, 0, pWin->w(), pWin->h())) return false;
        *pnWidth = pWin->w();
        *pnHeight = pWin->h();
        return true;
    }

private:
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
    int m_nWakeRead = -1;
    int m_nWakeWrite = -1;
    std::map<HWND, Fl_Widget*> m_Widgets;
};

FltkBackend* g_pFltk = nullptr;

}  // namespace

bool FltkDisplayAvailable() {
    const char* csz = std::getenv("DISPLAY");
    if (!csz || !csz[0]) return false;
    Display* pDisplay = XOpenDisplay(nullptr);
    if (!pDisplay) return false;
    XCloseDisplay(pDisplay);
    return true;
}

std::shared_ptr<IBackend> UseFltkBackend() {
    if (!FltkDisplayAvailable()) return nullptr;
    auto p = std::make_shared<FltkBackend>();
    g_pFltk = p.get();
    SetBackend(p);
    return p;
}

bool FltkCaptureDialog(HWND hDlg, std::vector<unsigned char>* pRgb, int* pnWidth, int* pnHeight) {
    return g_pFltk && pRgb && pnWidth && pnHeight && g_pFltk->Capture(hDlg, pRgb, pnWidth, pnHeight);
}

}  // namespace qnui
