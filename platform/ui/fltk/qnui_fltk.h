// The FLTK backend: the dialog layer's windows shown with FLTK 1.3 on an X display. Only this
// backend's source includes FLTK headers. Texts are drawn with WenQuanYi Micro Hei, named
// explicitly, since FLTK 1.3 has no glyph fallback for Chinese text.
//
// Every dialog and box opens centred on its owner: the dialog given as owner, else the modal
// dialog running now; a window with neither (the main dialog) opens centred on the screen.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ui/qnui_backend.h"

namespace qnui {

// Makes the FLTK backend the backend of the process and opens its X display connection now,
// once, for the whole run. The calling thread becomes the UI thread. nullptr when no display
// can be opened. FLTK's own preference files are opened then too, in the application-data
// folder (below the platform root when one is set), never below HOME: call it before the
// program starts other threads, since HOME is changed for that moment.
std::shared_ptr<IBackend> UseFltkBackend();

// What the screenshot tests read of a window that is shown now.
struct FltkShot {
    std::vector<unsigned char> rgb;  // the window's inside as RGB rows, 3 bytes a pixel
    int nWidth = 0, nHeight = 0;
    RECT rcScreen{};    // the window's place on the screen, as the X server has it
    RECT rcWorkArea{};  // the work area of the screen the window lies on
    std::string strTitle;
    unsigned long ulWindow = 0;  // the X window, to read its properties

    // The window's widgets. Kinds: "icon" (a message box's icon, its text the glyph), "line"
    // (one line of a message box's text: where it is drawn and its width in the box's font),
    // "button", "list" (an entry of a list), "input" (the text of an input field), "label" (any
    // other widget's label, and the entries of a choice's menu).
    struct Part {
        std::string strKind;
        std::string strText;
        RECT rc;  // in the window's inside
        bool bVisible;
    };
    std::vector<Part> parts;
};

// Draws every window now and reads a shown dialog. False when the dialog is not shown.
bool FltkCaptureDialog(HWND hDlg, FltkShot* pShot);
// The same, the pixels of the client area only (kept for the tests that use it).
bool FltkCaptureDialog(HWND hDlg, std::vector<unsigned char>* pRgb, int* pnWidth, int* pnHeight);
// Reads the message box or folder browser shown now. False when none shows.
bool FltkCaptureBox(FltkShot* pShot);
// Ends the message box shown now with IDOK or IDCANCEL, or cancels the folder browser.
bool FltkAnswerBox(int nAnswer);

}  // namespace qnui
