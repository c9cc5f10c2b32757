#include "appearance.h"

#include <cstring>

#include "resource.h"

int BackgroundGreyLevel(int row, int height)
{
    if (row <= 600 || height <= 0) return 0;
    return (int)((200LL * row - 120000LL) / height);
}

CMainAppearance::CMainAppearance()
    : m_hBanner(nullptr), m_hCache(nullptr), m_nCacheWidth(0), m_nCacheHeight(0), m_nCacheBuilds(0)
{
}

CMainAppearance::~CMainAppearance()
{
    DeleteCache();
    if (m_hBanner) ::DeleteObject(m_hBanner);
}

void CMainAppearance::DeleteCache()
{
    if (m_hCache) ::DeleteObject(m_hCache);
    m_hCache = nullptr;
    m_nCacheWidth = 0;
    m_nCacheHeight = 0;
}

void CMainAppearance::SetUpBanner(HWND dialog)
{
    HWND banner = ::GetDlgItem(dialog, IDC_BANNER);
    if (!banner) return;
    if (!m_hBanner) m_hBanner = ::LoadBitmapA(QVGetInstance(), MAKEINTRESOURCEA(IDB_BANNER));
    if (m_hBanner) ::SendMessageA(banner, STM_SETIMAGE, IMAGE_BITMAP, (LPARAM)m_hBanner);

    RECT bannerRect, startRect, client;
    ::GetWindowRect(banner, &bannerRect);
    ::GetClientRect(dialog, &client);
    HWND start = ::GetDlgItem(dialog, IDC_START);
    int height = bannerRect.bottom - bannerRect.top;
    if (start && ::GetWindowRect(start, &startRect)) height = startRect.top - 8 - bannerRect.top;
    if (height < 0) height = 0;
    ::SetWindowPos(banner, nullptr, 0, 0, client.right - client.left, height,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool CMainAppearance::OnPaint(HWND dialog, HICON icon)
{
    if (!::IsIconic(dialog)) return false;
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(dialog, &paint);
    ::SendMessageA(dialog, WM_ICONERASEBKGND, (WPARAM)dc, 0);
    RECT client;
    ::GetClientRect(dialog, &client);
    int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    if (icon) ::DrawIcon(dc, x, y, icon);
    ::EndPaint(dialog, &paint);
    return true;
}

bool CMainAppearance::BuildCache(HDC dc, int width, int height)
{
    // A window larger than any screen would not fit a 32-bit image size.
    if (width <= 0 || height <= 0 || (long long)width * height > (1LL << 26)) return false;
    BITMAPINFO info;
    std::memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = (DWORD)width * (DWORD)height * 4;
    info.bmiHeader.biXPelsPerMeter = 10;
    info.bmiHeader.biYPelsPerMeter = 10;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        if (bitmap) ::DeleteObject(bitmap);
        return false;
    }
    uint32_t* pixel = static_cast<uint32_t*>(bits);
    for (int row = 0; row < height; ++row) {
        uint32_t g = (uint32_t)BackgroundGreyLevel(row, height) & 0xFF;
        uint32_t value = g | (g << 8) | (g << 16);
        for (int x = 0; x < width; ++x)
            *pixel++ = value;
    }
    ::GdiFlush();
    m_hCache = bitmap;
    m_nCacheWidth = width;
    m_nCacheHeight = height;
    ++m_nCacheBuilds;
    return true;
}

BOOL CMainAppearance::OnEraseBkgnd(HWND dialog, HDC dc)
{
    RECT client;
    ::GetClientRect(dialog, &client);
    int width = client.right - client.left;
    int height = client.bottom - client.top;
    if (m_hCache && (width != m_nCacheWidth || height != m_nCacheHeight)) DeleteCache();
    if (!m_hCache && !BuildCache(dc, width, height)) {
        // No image (zero size, or out of memory): plain black does the same job.
        ::FillRect(dc, &client, (HBRUSH)::GetStockObject(BLACK_BRUSH));
        return TRUE;
    }
    HDC memory = ::CreateCompatibleDC(dc);
    if (!memory) return TRUE;
    HGDIOBJ old = ::SelectObject(memory, m_hCache);
    ::BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
    ::SelectObject(memory, old);
    ::DeleteDC(memory);
    return TRUE;
}

HBRUSH CMainAppearance::OnCtlColor(HDC dc, HWND control, UINT message)
{
    int id = ::GetDlgCtrlID(control);
    HBRUSH hollow = (HBRUSH)::GetStockObject(NULL_BRUSH);
    HBRUSH black = (HBRUSH)::GetStockObject(BLACK_BRUSH);
    if (control && id == IDC_PRIVACY_POLICY) {
        ::SetTextColor(dc, QV_LINK_BLUE);
        ::SetBkMode(dc, TRANSPARENT);
        return hollow;
    }
    ::SetTextColor(dc, QV_LIGHT_GREY);
    ::SetBkMode(dc, TRANSPARENT);
    if (control) {
        switch (id) {
        case IDC_SYSTEM_LIST:
            return nullptr;
        case IDC_VERSION:
            ::SetTextColor(dc, QV_AMBER);
            ::SetBkMode(dc, TRANSPARENT);
            return hollow;
        case IDC_LOCAL_SYSTEMS_LABEL:
            ::SetBkMode(dc, TRANSPARENT);
            ::SetTextColor(dc, QV_LIGHT_GREY);
            return hollow;
        default:
            break;
        }
    }
    switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
        ::SetBkColor(dc, QV_BLACK);
        ::SetTextColor(dc, QV_LIGHT_GREY);
        ::SetBkMode(dc, OPAQUE);
        return black;
    case WM_CTLCOLORSTATIC:
        ::SetTextColor(dc, QV_LIGHT_GREY);
        ::SetBkMode(dc, TRANSPARENT);
        return hollow;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
        return black;
    default:
        return nullptr;
    }
}

bool CMainAppearance::OnSetCursor(HWND dialog, HWND windowUnderCursor)
{
    if (!windowUnderCursor || ::GetParent(windowUnderCursor) != dialog ||
        ::GetDlgCtrlID(windowUnderCursor) != IDC_PRIVACY_POLICY)
        return false;
    ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32649))); // the hand
    return true;
}

bool CMainAppearance::OnDrawItem(UINT id, const DRAWITEMSTRUCT* item)
{
    if (!item || item->CtlType != ODT_BUTTON) return false;
    if (id != IDC_START && id != IDC_START_CONFIGURATOR && id != IDC_OPTIONS && id != IDC_CONFIGURE_IP)
        return false;
    HDC dc = item->hDC;
    RECT rect = item->rcItem;
    ::FillRect(dc, &rect, (HBRUSH)::GetStockObject(BLACK_BRUSH));
    int face = BLACK_BRUSH;
    if (!(item->itemState & ODS_DISABLED)) face = (item->itemState & ODS_SELECTED) ? WHITE_BRUSH : GRAY_BRUSH;
    HGDIOBJ oldPen = ::SelectObject(dc, ::GetStockObject(WHITE_PEN));
    HGDIOBJ oldBrush = ::SelectObject(dc, ::GetStockObject(face));
    ::RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, 8, 8);
    ::SetBkColor(dc, QV_BLACK);
    ::SetTextColor(dc, QV_WHITE);
    int oldMode = ::SetBkMode(dc, TRANSPARENT);
    char text[260];
    int length = ::GetWindowTextA(item->hwndItem, text, (int)sizeof(text));
    if (length < 0) length = 0;
    text[length < (int)sizeof(text) ? length : (int)sizeof(text) - 1] = '\0';
    ::DrawTextA(dc, text, -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    ::SetBkMode(dc, oldMode);
    ::SelectObject(dc, oldBrush);
    ::SelectObject(dc, oldPen);
    return true;
}

bool CMainAppearance::HandleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam, HICON icon,
                                    INT_PTR* result)
{
    INT_PTR answer = 0;
    bool handled = false;
    switch (message) {
    case WM_PAINT:
        handled = OnPaint(dialog, icon);
        answer = TRUE;
        break;
    case WM_QUERYDRAGICON:
        handled = true;
        answer = (INT_PTR)icon;
        break;
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
        HWND control = (HWND)lParam;
        if (message == WM_CTLCOLORDLG) control = nullptr; // the dialog itself, not one of its controls
        HBRUSH brush = OnCtlColor((HDC)wParam, control, message);
        handled = brush != nullptr;
        answer = (INT_PTR)brush;
        break;
    }
    case WM_ERASEBKGND:
        ::SetWindowLongPtrA(dialog, DWLP_MSGRESULT, OnEraseBkgnd(dialog, (HDC)wParam));
        handled = true;
        answer = TRUE;
        break;
    case WM_SETCURSOR:
        if (OnSetCursor(dialog, (HWND)wParam)) {
            ::SetWindowLongPtrA(dialog, DWLP_MSGRESULT, TRUE);
            handled = true;
            answer = TRUE;
        }
        break;
    case WM_DRAWITEM: {
        const DRAWITEMSTRUCT* item = (const DRAWITEMSTRUCT*)lParam;
        if (OnDrawItem((UINT)wParam, item)) {
            handled = true;
            answer = TRUE;
        }
        break;
    }
    default:
        break;
    }
    if (handled && result) *result = answer;
    return handled;
}
