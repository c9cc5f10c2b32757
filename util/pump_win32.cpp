#include <windows.h>

#include "qvpump.h"

void PumpOneWindowMessage()
{
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}
