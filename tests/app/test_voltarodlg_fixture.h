// Shared set-up of the main-window tests: a temporary data folder, a session, the
// controller simulator on 127.0.0.1, captured message boxes, and a stand-in for
// process creation that plays the started viewer inside this process.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/voltarodlg_win32.h"
#include "protocol/discovery.h"
#include "sim/core/sim_controller.h"

struct CapturedBox {
    std::string text;
    std::string caption;
    UINT flags;
};

// What the stand-in for process creation saw and how it answers.
struct FakeStarter {
    std::vector<std::string> commandLines;
    bool fail = false;
    DWORD error = ERROR_FILE_NOT_FOUND;
    // Runs after a "start" on the window thread; a viewer thread is started here.
    std::function<void(const std::string&)> onStart;
};

class MainWndTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the simulator with the given version and password.
    void StartSim(const std::string& version, const std::string& password);
    // The name to type for the simulator: "127.0.0.1:<port>".
    std::string SimName() const;
    // Creates the main window (modeless, hidden by the null driver's nature).
    CVOLTARODlg* OpenWindow(const std::string& name, const std::string& password, bool silent = false,
                            uint32_t target = 0, int startType = 2);
    void CloseWindow();
    // Serves this thread's messages until done() or the limit.
    static bool PumpUntil(const std::function<bool()>& done, DWORD limitMs);

    std::string VersionPath(const std::string& folder, const char* program) const;
    void PutProgram(const std::string& folder, const char* program, const std::string& bytes);

    std::string m_strRoot;
    std::string m_strDataFolder;
    std::string m_strOldAppData;
    CSimController* m_pSim = nullptr;
    CVOLTARODlg* m_pDlg = nullptr;
    CQVServer* m_pSession = nullptr;
    std::vector<std::thread> m_Viewers;
};

extern std::vector<CapturedBox> g_Boxes;
extern FakeStarter g_Starter;

// Test file helpers.
bool FileExistsA(const std::string& path);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// The value that follows 'option' in a command line, up to the next blank.
std::string OptionValue(const std::string& commandLine, const std::string& option);

// A viewer's side of the hand-over: one echo exchange with the controller over
// the socket given; true when the answer came back intact.
bool EchoOverSocket(SOCKET s);
// The pipe form's viewer: opens the pipe, reads the record, makes the socket and
// echoes. Result in *ok.
void PipeViewer(std::string pipeName, std::atomic<int>* ok);
// The loopback form's viewer: connects to the port and echoes.
void LoopbackViewer(uint16_t port, std::atomic<int>* ok);
// A handle of a process that has ended.
HANDLE EndedProcessHandle();

// The window seen as a user sees it.
std::string FieldText(CVOLTARODlg* dlg, int id);
// Shown as far as the control itself goes (the test window is never shown).
bool Shown(CVOLTARODlg* dlg, int id);
// Puts a system name into the field as typing does.
void Type(CVOLTARODlg* dlg, const std::string& name);
// The lines of the list of local systems, top to bottom.
std::vector<std::string> Lines(CVOLTARODlg* dlg);
// A discovery answer from a controller of that name.
SYSTEM_ANSWER Answer(const char* name, uint8_t status, uint8_t flags = 0, uint16_t port = 80);
