// One start of the viewer or configurator, as an object without a window: reach
// the controller on the road chosen, log in, check the version, fetch the program
// when it is missing, start it and hand it the connection. Every wait asks the
// observer; whatever fails ends through one clean-up path.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "../protocol/attempt.h"
#include "options.h"
#include "road.h"
#include "versions.h"

class CQVServer;
class CTCP_LoopBack;

// Starts the viewer or configurator. Fills *info like CreateProcessA; on failure
// answers FALSE with the system error code in *error.
typedef BOOL (*QVStartProcessFn)(const std::string& commandLine, PROCESS_INFORMATION* info, DWORD* error);

enum class AttemptOutcome {
    Started,
    NoName,             // nothing typed or selected
    Cancelled,          // the user pressed Cancel
    ConnectFailed,      // the road did not open
    LoginFailed,        // the controller refused or did not answer the login
    NoVersion,          // no version answer
    VersionTooOld,      // below the oldest controller served
    FolderFailed,       // the version folder could not be made
    DownloadFailed,     // the program could not be fetched
    CommandLineRefused, // a name or password the program would misread, or too long a line
    NoLocalPort,        // no port for the bridge
    StartFailed,        // the program could not be started
    HandOverFailed,     // the program never took the connection through the pipe
    Count
};
// The status line that ends an attempt with this outcome.
const char* AttemptOutcomeText(AttemptOutcome outcome);

class CStartAttempt;
// The message box of a failed attempt, saying what failed and why; empty when
// none is shown (cancelled, nothing to start, or the progress window shows the
// lines). *icon receives the box's icon and stacking flags.
std::string FailureBoxText(AttemptOutcome outcome, const CStartAttempt& attempt, bool linesShown,
                           unsigned* icon);

struct AttemptRequest {
    StartMode mode = StartMode::Viewer;
    std::string systemName;
    std::string password;
    Road road;
    SizeClass sizeClass = SizeClass::Window1024x576;
    uint32_t pipeId = 0; // unique to this launcher, names the hand-over pipe
    std::string dataFolder;
};

class CStartAttempt
{
  public:
    CStartAttempt(CQVServer* session, CAttemptObserver* observer);
    ~CStartAttempt();

    AttemptOutcome Run(const AttemptRequest& request);

    // After Run.
    const std::string& GetVersion() const { return m_strVersion; }
    // What failed underneath (the login's, download's or connection's own text).
    const std::string& GetCause() const { return m_strCause; }
    const std::string& GetCommandLine() const { return m_strCommandLine; }
    bool RecordHandedOver() const { return m_bRecordHandedOver; }
    // The started program and the bridge serving it; the caller owns them now.
    PROCESS_INFORMATION TakeProcess();
    std::unique_ptr<CTCP_LoopBack> TakeBridge();

    // Test seams. Null starts programs with CreateProcessA.
    static QVStartProcessFn s_pfnStartProcess;
    // How long a started program may take to open the hand-over pipe, and then to
    // take the record out of it.
    static uint32_t s_dwPipeConnectMs;
    static uint32_t s_dwPipeDrainMs;

  private:
    CStartAttempt(const CStartAttempt&) = delete;
    CStartAttempt& operator=(const CStartAttempt&) = delete;

    AttemptOutcome Steps(const AttemptRequest& r);
    AttemptOutcome Connect(const AttemptRequest& r);
    AttemptOutcome AskVersion();
    AttemptOutcome EnsureProgram(const AttemptRequest& r, const std::string& path);
    AttemptOutcome Launch(const AttemptRequest& r, const std::string& path);
    AttemptOutcome HandOverSocket();
    // Waits for an overlapped pipe operation, asking the observer.
    AttemptOutcome WaitForPipe(OVERLAPPED* ov, uint32_t timeoutMs, DWORD* transferred);
    void ClosePipeBounded();
    void CleanUp();

    CQVServer* m_pSession;
    CAttemptObserver* m_pObserver;
    std::string m_strVersion;
    std::string m_strCause;
    std::string m_strCommandLine;
    bool m_bRecordHandedOver;
    HANDLE m_hPipe;
    PROCESS_INFORMATION m_Process;
    std::unique_ptr<CTCP_LoopBack> m_pBridge;
};
