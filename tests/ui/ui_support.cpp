#include "ui_support.h"

#include <commctrl.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace
{
// The dialogs use the progress bar and IP-address classes; the program does
// this in its start-up, the tests before anything runs.
struct CommonControls {
    CommonControls()
    {
        INITCOMMONCONTROLSEX init = {sizeof(init),
                                     ICC_WIN95_CLASSES | ICC_INTERNET_CLASSES | ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&init);
    }
} g_CommonControls;
} // namespace

bool PumpUntil(const std::function<bool()>& done, DWORD limitMs)
{
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > limitMs) return false;
        MSG msg;
        if (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        } else {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        }
    }
    return true;
}

std::string TempFilePath(const char* stem)
{
    char folder[MAX_PATH];
    ::GetTempPathA(MAX_PATH, folder);
    static int counter = 0;
    std::string path = std::string(folder) + stem + "_" + std::to_string(::GetCurrentProcessId()) + "_" +
                       std::to_string(++counter) + ".txt";
    ::DeleteFileA(path.c_str());
    return path;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

COLORREF PixelAt(HDC dc, int x, int y)
{
    return ::GetPixel(dc, x, y);
}

RECT ControlRectInPixels(HWND dialog, int x, int y, int cx, int cy)
{
    RECT units = {x, y, cx, cy};
    ::MapDialogRect(dialog, &units);
    return RECT{units.left, units.top, units.left + units.right, units.top + units.bottom};
}

RECT ControlRectInClient(HWND dialog, int id)
{
    RECT r = {};
    ::GetWindowRect(::GetDlgItem(dialog, id), &r);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

CMemoryCanvas::CMemoryCanvas(int w, int h, COLORREF fill) : width(w), height(h)
{
    HDC screen = ::GetDC(nullptr);
    dc = ::CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ::ReleaseDC(nullptr, screen);
    old = ::SelectObject(dc, bitmap);
    RECT all = {0, 0, w, h};
    HBRUSH brush = ::CreateSolidBrush(fill);
    ::FillRect(dc, &all, brush);
    ::DeleteObject(brush);
}

CMemoryCanvas::~CMemoryCanvas()
{
    ::SelectObject(dc, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
}
