// The launcher's application object: start-up, command line, and the one session
// of the process around the modal main window.
#pragma once
#include <memory>

#include "../ui/framework.h"
#include "options.h"

class CQVServer;

class CVOLTAROApp : public CWinApp
{
  public:
    CVOLTAROApp();
    ~CVOLTAROApp() override;
    // Always FALSE: the launcher's whole interactive life is the modal main window,
    // and the process ends when it returns.
    BOOL InitInstance() override;

    // The options of the last start (for tests and diagnostics).
    const StartOptions& GetStartOptions() const { return m_Options; }
    // The process's one session while the main window runs; null otherwise.
    CQVServer* GetSession() const { return m_pSession.get(); }

  private:
    StartOptions m_Options;
    // Held here and handed to whoever needs it; nobody else keeps a global.
    std::unique_ptr<CQVServer> m_pSession;
};

// The text shown when Windows Sockets cannot be started.
extern const char QV_SOCKETS_FAILED_TEXT[];
