#include <windows.h>
#include <commctrl.h>

#include <string>

#include "../protocol/qvserver.h"
#include "../remote/netaddr.h"
#include "../util/folders.h"
#include "../util/qvsocket.h"
#include "app.h"
#include "install.h"
#include "options.h"
#include "voltarodlg_win32.h"

const char QV_SOCKETS_FAILED_TEXT[] = "ERROR: Cannot Start Windows Sockets";

CVOLTAROApp::CVOLTAROApp() {}

CVOLTAROApp::~CVOLTAROApp() {}

static std::string ComputerName()
{
    char name[256];
    ZeroMemory(name, sizeof(name));
    DWORD size = sizeof(name);
    if (!GetComputerNameA(name, &size)) return std::string();
    name[sizeof(name) - 1] = '\0';
    return std::string(name);
}

BOOL CVOLTAROApp::InitInstance()
{
    if (!SocketStartup()) {
        QVMessageBox(nullptr, QV_SOCKETS_FAILED_TEXT, GetProductName(false, false), MB_OK);
        return FALSE;
    }

    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_WIN95_CLASSES | ICC_INTERNET_CLASSES;
    if (!InitCommonControlsEx(&icc)) InitCommonControls();
    CWinApp::InitInstance();

    // The framework hands over the text after the program's path; take it from the
    // process when it did not.
    const std::string commandLine =
        m_lpCmdLine ? std::string(m_lpCmdLine) : StripProgramPath(GetCommandLineA());

    if (FindOption(commandLine, "/INSTALL", nullptr)) {
        Install();
        SocketCleanup();
        return FALSE;
    }
    if (FindOption(commandLine, "/UNINSTALL", nullptr)) {
        SocketCleanup();
        return FALSE;
    }

    ParseStartOptions(commandLine, &m_Options);

    m_pSession.reset(new CQVServer(GetDataFolder()));
    const std::string mac = FirstAdapterMacText();
    const std::string computer = ComputerName();
    m_pSession->SetLoginInfo(mac, computer, "WINDOWS", "WINDOWS");

    CVOLTARODlg* dlg =
        new CVOLTARODlg(m_pSession.get(), m_Options.systemName, m_Options.password, m_Options.sizeOption,
                        m_Options.targetAddress, m_Options.startType, m_Options.silent, nullptr);
    m_pMainWnd = dlg;
    dlg->DoModal();

    // The window (with the bridge it may hold) goes before the session it serves.
    m_pMainWnd = nullptr;
    delete dlg;
    m_pSession.reset();

    SocketCleanup();
    return FALSE;
}
