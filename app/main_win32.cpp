#include <windows.h>

#include "../ui/framework.h"
#include "app.h"

// The one application object of the process.
static CVOLTAROApp theApp;

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR cmdLine, int nCmdShow)
{
    return QVRunApp(hInstance, cmdLine, nCmdShow);
}
