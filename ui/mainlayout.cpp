#include "mainlayout.h"

#include "resource.h"

namespace
{

void ShowControl(HWND dlg, int id, bool show, bool enable)
{
    HWND control = ::GetDlgItem(dlg, id);
    if (!control) return;
    ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    ::EnableWindow(control, enable ? TRUE : FALSE);
}

RECT ClientRectOf(HWND dlg, HWND control)
{
    RECT r;
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(nullptr, dlg, (POINT*)&r, 2);
    return r;
}

void SetHeightTo(HWND dlg, int screenBottom)
{
    RECT window;
    ::GetWindowRect(dlg, &window);
    ::SetWindowPos(dlg, nullptr, 0, 0, window.right - window.left, screenBottom - window.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MoveVersionLabel(HWND dlg, int dx, bool rightAligned)
{
    HWND label = ::GetDlgItem(dlg, IDC_VERSION);
    if (!label) return;
    RECT r = ClientRectOf(dlg, label);
    ::MoveWindow(label, r.left + dx, r.top, r.right - r.left, r.bottom - r.top, TRUE);
    LONG style = ::GetWindowLongA(label, GWL_STYLE);
    ::SetWindowLongA(label, GWL_STYLE, rightAligned ? (style | SS_RIGHT) : (style & ~(LONG)SS_RIGHT));
}

} // namespace

void ApplyCompactLayout(HWND dlg)
{
    const int hidden[] = {IDC_SYSTEM_LIST, IDC_START_CONFIGURATOR, IDC_OPTIONS, IDC_CONFIGURE_IP,
                          IDC_LOCAL_SYSTEMS_LABEL};
    for (int id : hidden)
        ShowControl(dlg, id, false, false);
    RECT passwordRect;
    ::GetWindowRect(::GetDlgItem(dlg, IDC_PASSWORD), &passwordRect);
    SetHeightTo(dlg, passwordRect.bottom + 16);
    HWND start = ::GetDlgItem(dlg, IDC_START);
    if (start) {
        RECT startRect = ClientRectOf(dlg, start);
        RECT passwordClient = ClientRectOf(dlg, ::GetDlgItem(dlg, IDC_PASSWORD));
        ::MoveWindow(start, startRect.left, startRect.top, startRect.right - startRect.left,
                     passwordClient.bottom - startRect.top, TRUE);
    }
    ::ShowWindow(::GetDlgItem(dlg, IDC_VERSION), SW_HIDE);
    ::InvalidateRect(dlg, nullptr, TRUE);
}

void LayOutOptions(HWND dlg, bool expanded, bool initial)
{
    RECT r;
    int w = 0;
    HWND localLabel = ::GetDlgItem(dlg, IDC_LOCAL_SYSTEMS_LABEL);
    if (localLabel) {
        ::GetWindowRect(localLabel, &r);
        w = r.right - r.left;
    }
    const int shown = expanded ? SW_SHOW : SW_HIDE;
    ::ShowWindow(localLabel, shown);
    ::ShowWindow(::GetDlgItem(dlg, IDC_SYSTEM_LIST), shown);
    ::ShowWindow(::GetDlgItem(dlg, IDC_CONFIGURE_IP), shown);
    ::GetWindowRect(::GetDlgItem(dlg, expanded ? IDC_SYSTEM_LIST : IDC_OPTIONS), &r);
    if (expanded)
        MoveVersionLabel(dlg, w, true);
    else if (!initial)
        MoveVersionLabel(dlg, -w, false);
    SetHeightTo(dlg, r.bottom + 15);
    ::InvalidateRect(dlg, nullptr, TRUE);
    ::SetDlgItemTextA(dlg, IDC_OPTIONS, expanded ? "Options <<" : "Options >>");
}

HFONT SetPrivacyFont(HWND link)
{
    if (!link) return nullptr;
    LOGFONTA font;
    HFONT current = (HFONT)::SendMessageA(link, WM_GETFONT, 0, 0);
    if (!current) current = (HFONT)::GetStockObject(DEFAULT_GUI_FONT);
    if (::GetObjectA(current, sizeof(font), &font) != sizeof(font)) return nullptr;
    font.lfHeight = -12; // character height, not cell height
    HFONT made = ::CreateFontIndirectA(&font);
    if (made) ::SendMessageA(link, WM_SETFONT, (WPARAM)made, TRUE);
    return made;
}
