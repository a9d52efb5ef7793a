// A static text control that works as a web link: drawn underlined in blue, with the hand
// cursor over its text, and opening its URL with the desktop's opener when the text is
// clicked.
#pragma once

#include <cstdint>

#include "ui/qnui.h"

class CLinkStatic : public qnui::CStatic {
public:
    CLinkStatic();
    ~CLinkStatic() override;

    // The owner sets these directly; whoever changes m_strText clears m_bTextExtentValid.
    qnui::CString m_strURL;
    qnui::CString m_strText;
    qnui::CFont m_Font;
    int32_t m_nTextWidth;
    int32_t m_nTextHeight;
    qnui::COLORREF m_crLinkColor;
    uint8_t m_bFontCreated;
    uint8_t m_bMouseInside;
    uint8_t m_bTextExtentValid;
    qnui::HCURSOR m_hHandCursor;
    qnui::HCURSOR m_hArrowCursor;

protected:
    void PreSubclassWindow() override;
    void OnPaint() override;
    void OnMouseMove(qnui::UINT nFlags, qnui::CPoint point) override;
    void OnMouseLeave() override;
    void OnLButtonDown(qnui::UINT nFlags, qnui::CPoint point) override;
    void OnDestroy() override;

private:
    // Makes m_Font from the parent's font with the underline set; nothing when the parent has
    // no font.
    void _CreateFont();
    // Brings the text's size up to date; false when there is no font to measure with.
    bool _MeasureText();
    bool _IsInsideText(const qnui::CPoint& point) const;
};
