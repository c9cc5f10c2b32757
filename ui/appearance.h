// The main window's dark look: banner, background, control colours, the link
// cursor and the rounded owner-drawn buttons. The main window owns one and feeds
// it its painting messages.
#pragma once
#include <cstdint>

#include "framework.h"

// Colours of the main window (COLORREF values).
const COLORREF QV_LIGHT_GREY = RGB(225, 225, 225);
const COLORREF QV_AMBER = RGB(200, 150, 0);
const COLORREF QV_LINK_BLUE = RGB(75, 75, 255);
const COLORREF QV_BLACK = RGB(0, 0, 0);
const COLORREF QV_WHITE = RGB(255, 255, 255);

// Grey level of background row 'row' of a client area 'height' rows high:
// black down to row 600, then fading towards grey (never beyond 200).
int BackgroundGreyLevel(int row, int height);

class CMainAppearance
{
  public:
    CMainAppearance();
    ~CMainAppearance();

    // Loads the banner bitmap, gives it to the picture control and stretches the
    // control across the client area down to 8 pixels above "Start Rerudi".
    void SetUpBanner(HWND dialog);

    // Convenience for the main window's DialogProc: handles paint (minimised),
    // drag icon, control colours, background erase, cursor and owner-drawn
    // buttons. Answers true with the dialog-procedure result when it handled
    // the message; otherwise the caller goes on with its own handling.
    bool HandleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam, HICON icon, INT_PTR* result);

    // The single handlers, for callers that route messages themselves.
    bool OnPaint(HWND dialog, HICON icon); // false: not minimised, default painting
    BOOL OnEraseBkgnd(HWND dialog, HDC dc);
    // Null: the default brush and handling.
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT message);
    bool OnSetCursor(HWND dialog, HWND windowUnderCursor);
    bool OnDrawItem(UINT id, const DRAWITEMSTRUCT* item);

    HBITMAP GetBanner() const { return m_hBanner; }
    int GetCacheWidth() const { return m_nCacheWidth; }
    int GetCacheHeight() const { return m_nCacheHeight; }
    // How often the background cache was (re)built; a repaint at the same size
    // reuses it.
    int GetCacheBuildCount() const { return m_nCacheBuilds; }

  private:
    CMainAppearance(const CMainAppearance&) = delete;
    CMainAppearance& operator=(const CMainAppearance&) = delete;
    bool BuildCache(HDC dc, int width, int height);
    void DeleteCache();

    HBITMAP m_hBanner;
    HBITMAP m_hCache;
    int m_nCacheWidth;
    int m_nCacheHeight;
    int m_nCacheBuilds;
};
