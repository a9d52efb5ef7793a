#include "LinkStatic.h"

using namespace qnui;

CLinkStatic::CLinkStatic()
    : m_nTextWidth(0),
      m_nTextHeight(0),
      m_crLinkColor(RGB(0, 0, 255)),
      m_bFontCreated(0),
      m_bMouseInside(0),
      m_bTextExtentValid(0),
      m_hHandCursor(LoadCursor(nullptr, IDC_HAND)),
      m_hArrowCursor(LoadCursor(nullptr, IDC_ARROW)) {}

CLinkStatic::~CLinkStatic() = default;

void CLinkStatic::PreSubclassWindow() {
    // Without SS_NOTIFY a static control lets the mouse through to its parent.
    ModifyStyle(0, SS_NOTIFY);
    GetWindowText(m_strText);
    m_bTextExtentValid = 0;
    CStatic::PreSubclassWindow();
}

void CLinkStatic::_CreateFont() {
    CWnd* pParent = GetParent();
    HFONT hParentFont = pParent ? (HFONT)pParent->SendMessage(WM_GETFONT) : nullptr;
    LOGFONT lf{};
    if (!hParentFont || !GetObject(hParentFont, sizeof(lf), &lf)) return;
    lf.lfUnderline = 1;
    if (m_Font.CreateFontIndirect(&lf)) m_bFontCreated = 1;
}

bool CLinkStatic::_MeasureText() {
    if (m_bTextExtentValid) return true;
    if (!m_bFontCreated) return false;
    CClientDC dc(this);
    CFont* pOldFont = dc.SelectObject(&m_Font);
    SIZE size{0, 0};
    BOOL bRetCode = GetTextExtentPoint32A(&dc, m_strText.c_str(), (int)m_strText.size(), &size);
    dc.SelectObject(pOldFont);
    if (!bRetCode) return false;
    m_nTextWidth = size.cx;
    m_nTextHeight = size.cy;
    m_bTextExtentValid = 1;
    return true;
}

bool CLinkStatic::_IsInsideText(const CPoint& point) const {
    return point.x >= 0 && point.x < m_nTextWidth && point.y >= 0 && point.y < m_nTextHeight;
}

void CLinkStatic::OnPaint() {
    if (!m_bFontCreated) _CreateFont();
    CPaintDC dc(this);
    CFont* pOldFont = dc.SelectObject(&m_Font);
    dc.SetBkMode(TRANSPARENT);
    dc.SetTextColor(m_crLinkColor);
    dc.TextOut(0, 0, m_strText);
    dc.SelectObject(pOldFont);
}

void CLinkStatic::OnMouseMove(UINT nFlags, CPoint point) {
    if (!m_bMouseInside) {
        m_bMouseInside = 1;
    } else {
        bool bMeasured = _MeasureText();
        SetCursor(bMeasured && _IsInsideText(point) ? m_hHandCursor : m_hArrowCursor);
    }
    CStatic::OnMouseMove(nFlags, point);
}

void CLinkStatic::OnMouseLeave() {
    m_bMouseInside = 0;
    SetCursor(m_hArrowCursor);
    CStatic::OnMouseLeave();
}

void CLinkStatic::OnLButtonDown(UINT nFlags, CPoint point) {
    if (_MeasureText() && _IsInsideText(point))
        ShellExecuteA(nullptr, "open", m_strURL.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    CStatic::OnLButtonDown(nFlags, point);
}

void CLinkStatic::OnDestroy() {
    CStatic::OnDestroy();
    m_Font.DeleteObject();
    // The flag follows the font, so that a later paint makes a new one instead of using none.
    m_bFontCreated = 0;
    m_bTextExtentValid = 0;
}
