// Shared helpers of the window tests: a bounded message pump, temporary files,
// and a modeless host of a dialog resource.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "ui/framework.h"

// Serves this thread's messages until 'done' answers true or 'limitMs' passes.
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs = 3000);
// A fresh path in the temporary folder (the file does not exist).
std::string TempFilePath(const char* stem);
std::string ReadWholeFile(const std::string& path);
// Colour of one pixel of a memory bitmap selected into 'dc'.
COLORREF PixelAt(HDC dc, int x, int y);
// Where the dialog manager puts a control of the template's x, y, cx, cy (dialog
// units) in 'dialog''s client area: origin and size are converted each on its own,
// so the far edge can be a pixel off from converting it as a coordinate, depending
// on the font's base units (the prefix's fonts and DPI).
RECT ControlRectInPixels(HWND dialog, int x, int y, int cx, int cy);
// The window rectangle of control 'id' of 'dialog' in its client coordinates.
RECT ControlRectInClient(HWND dialog, int id);

// A dialog made from a resource and kept open for the test's duration.
class CHostDialog : public CDialog
{
  public:
    explicit CHostDialog(UINT idd) : CDialog(idd, nullptr) {}
};

// A memory device context with a 32-bit bitmap of the given size, pre-filled.
class CMemoryCanvas
{
  public:
    CMemoryCanvas(int width, int height, COLORREF fill);
    ~CMemoryCanvas();
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old;
    int width, height;
};
