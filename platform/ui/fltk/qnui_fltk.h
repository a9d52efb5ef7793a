// The FLTK backend: the dialog layer's windows shown with FLTK 1.3 on an X display. Only this
// backend's source includes FLTK headers. Texts are drawn with WenQuanYi Micro Hei, named
// explicitly, since FLTK 1.3 has no glyph fallback for Chinese text.
#pragma once

#include <memory>

#include "ui/qnui_backend.h"

namespace qnui {

// True when an X display can be opened (the DISPLAY variable names one that answers).
bool FltkDisplayAvailable();

// Makes the FLTK backend the backend of the process. The calling thread becomes the UI thread.
// nullptr when no display can be opened.
std::shared_ptr<IBackend> UseFltkBackend();

// Draws every window now and reads the pixels of a shown dialog's client area as RGB rows,
// 3 bytes a pixel. False when the dialog is not shown.
bool FltkCaptureDialog(HWND hDlg, std::vector<unsigned char>* pRgb, int* pnWidth, int* pnHeight);

}  // namespace qnui
