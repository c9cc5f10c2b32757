// The launcher's application object: start-up, command line, and the one session
// of the process around the modal main window.
#pragma once
#include "../ui/framework.h"
#include "options.h"

class CVOLTAROApp : public CWinApp
{
public:
    CVOLTAROApp();
    // Always FALSE: the launcher's whole interactive life is the modal main window,
    // and the process ends when it returns.
    BOOL InitInstance() override;

    // The options of the last start (for tests and diagnostics).
    const StartOptions& GetStartOptions() const { return m_Options; }

private:
    StartOptions m_Options;
};

// The text shown when Windows Sockets cannot be started.
extern const char QV_SOCKETS_FAILED_TEXT[];
