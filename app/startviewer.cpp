// Starting the viewer or configurator: reach the controller, check its version,
// fetch the matching program when it is missing, start it and hand it the live
// connection (the socket itself through a named pipe for older controllers, a
// local port bridged to our connection for newer ones).
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "../protocol/qvmsg.h"
#include "../protocol/qvserver.h"
#include "../remote/loopback.h"
#include "../ui/connectdlg.h"
#include "../ui/resource.h"
#include "../util/folders.h"
#include "../util/qvfile.h"
#include "../util/qvpump.h"
#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "options.h"
#include "versions.h"
#include "voltarodlg.h"

namespace {

const char VIEWER_PROGRAM[] = "BRIGHTLEAF.EXE";
const char CONFIGURATOR_PROGRAM[] = "MOSSDESK.EXE";
const char CONNECT_LOG_NAME[] = "OSKA_Connect_Log.txt";
const char MESSAGE_CAPTION[] = "OSKA Rerudi";

// The record a started program turns back into a socket. Its size is part of
// what the viewer expects on the pipe.
static_assert(sizeof(WSAPROTOCOL_INFOA) == 372, "socket hand-over record is 372 bytes");

BOOL CreateProcessStarter(const std::string& commandLine, PROCESS_INFORMATION* info, DWORD* error)
{
    // CreateProcessA may write into its command line, so it gets a private copy.
    std::string buffer = commandLine;
    buffer.push_back('\0');
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    // Nothing the program needs travels by inheritance: the pipe form passes the
    // socket as a duplicated record and the bridge is reached by port. Inheriting
    // would only let the program keep our handles alive after we close them.
    if (::CreateProcessA(nullptr, &buffer[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, info))
        return TRUE;
    *error = ::GetLastError();
    return FALSE;
}

// Waits for an overlapped operation on the pipe, serving window messages so that
// the windows stay alive. Gives up when the time runs out or the program has
// ended (it can then never take the record). On giving up the operation is
// cancelled and finished before the OVERLAPPED goes away.
bool WaitForPipeOperation(HANDLE pipe, OVERLAPPED* ov, uint32_t timeoutMs, HANDLE process, DWORD* transferred)
{
    const uint32_t start = GetTick();
    for (;;) {
        HANDLE handles[2] = {ov->hEvent, process};
        DWORD count = process ? 2 : 1;
        DWORD wait = ::WaitForMultipleObjects(count, handles, FALSE, 20);
        if (wait == WAIT_OBJECT_0)
            return ::GetOverlappedResult(pipe, ov, transferred, FALSE) != FALSE;
        if (wait != WAIT_TIMEOUT || TickSince(start) >= timeoutMs)
            break;
        PumpOneWindowMessage();
    }
    ::CancelIo(pipe);
    // A cancelled operation completes at once; this only collects it.
    ::GetOverlappedResult(pipe, ov, transferred, TRUE);
    return false;
}

// Flush, disconnect and close on a worker: a flush waits until the program has
// read everything, and a program that never reads must not hold the window.
DWORD WINAPI PipeCloser(LPVOID param)
{
    HANDLE pipe = (HANDLE)param;
    ::FlushFileBuffers(pipe);
    ::DisconnectNamedPipe(pipe);
    ::CloseHandle(pipe);
    return 0;
}

void ClosePipeBounded(HANDLE pipe, uint32_t timeoutMs)
{
    HANDLE worker = ::CreateThread(nullptr, 0, &PipeCloser, (LPVOID)pipe, 0, nullptr);
    if (!worker) {
        // No worker: close without the flush rather than wait without a bound.
        ::CloseHandle(pipe);
        return;
    }
    const uint32_t start = GetTick();
    while (::WaitForSingleObject(worker, 20) == WAIT_TIMEOUT) {
        if (TickSince(start) >= timeoutMs) {
            typedef BOOL(WINAPI * CancelSyncFn)(HANDLE);
            CancelSyncFn cancel =
                (CancelSyncFn)(void*)::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "CancelSynchronousIo");
            if (cancel)
                cancel(worker);
            // Still stuck: the worker keeps the pipe and closes it when the
            // program ends and the flush returns.
            ::WaitForSingleObject(worker, 1000);
            break;
        }
        PumpOneWindowMessage();
    }
    ::CloseHandle(worker);
}

} // namespace

QVStartProcessFn CVOLTARODlg::s_pfnStartProcess = nullptr;
uint32_t CVOLTARODlg::s_dwPipeConnectMs = 30000;
uint32_t CVOLTARODlg::s_dwPipeDrainMs = 10000;

int CVOLTARODlg::GetScreenSizeClass()
{
    RECT desktop;
    if (!::GetWindowRect(::GetDesktopWindow(), &desktop))
        return 2;
    return SizeClassFor(desktop.right - desktop.left, desktop.bottom - desktop.top);
}

void CVOLTARODlg::ShowStatus(const std::string& text)
{
    if (m_pProgressDlg)
        m_pProgressDlg->SetStatus(text);
}

void CVOLTARODlg::OnProgress(uint32_t done, uint32_t total)
{
    if (total == 0)
        return;
    const int percent = (int)((uint64_t)done * 100u / total);
    if (m_pProgressDlg) {
        m_pProgressDlg->ReplaceLastLine(StrPrintf("Downloading File %d%% Complete", percent));
        m_pProgressDlg->SetProgress(percent);
    }
}

void CVOLTARODlg::OnError(const std::string& message) { ShowStatus(message); }

bool CVOLTARODlg::IsCancelled() { return m_pProgressDlg ? m_pProgressDlg->IsCancelled() : false; }

bool CVOLTARODlg::DownloadProgram(int mode, const std::string& path)
{
    if (mode != 0 && mode != 1)
        return false;
    CFileDownloader downloader(this, path);
    CQVMSG request(downloader.GetId(), mode == 0 ? MSG_GET_VIEWER_EXE : MSG_GET_CONFIG_EXE);
    if (mode == 0) {
        request.WriteDWord(0);
        request.WriteDWord(2);
    } else {
        request.WriteDWord(3);
    }
    request.WriteDWord(CLIENT_REVISION);
    return downloader.Run(&request);
}

void CVOLTARODlg::FinishAttempt(BOOL closeConnection, BOOL waitForUser)
{
    if (closeConnection && g_pServer && g_pServer->GetConnection())
        g_pServer->GetConnection()->Close();
    if (m_pProgressDlg) {
        if (waitForUser) {
            while (m_pProgressDlg->KeepWaiting())
                SleepMs(1);
        }
        m_pProgressDlg->WriteLog(GetDataFolder() + "\\" + CONNECT_LOG_NAME, m_strSystemName);
        CloseProgressWindow();
    }
    m_bBusy = 0;
    ::SetCursor(m_hOldCursor ? m_hOldCursor : ::LoadCursor(nullptr, IDC_ARROW));
    m_hOldCursor = nullptr;
}

SystemEntry* CVOLTARODlg::SelectedEntry() const
{
    if (!m_SystemList.m_hWnd)
        return nullptr;
    int sel = m_SystemList.GetCurSel();
    return sel >= 0 ? m_SystemList.GetEntry(sel) : nullptr;
}

bool CVOLTARODlg::ConnectForAttempt(bool direct, SystemEntry* selected, uint32_t parsedAddress,
                                    uint16_t parsedPort)
{
    bool connected;
    if (direct) {
        uint32_t address = parsedAddress;
        uint16_t port = parsedPort;
        if (m_bSilent) {
            address = m_dwTargetAddress;
        } else if (selected) {
            address = selected->m_dwAddress;
            port = selected->m_wPort;
        }
        // Demonstration mode starts without a controller name or selection; its
        // controller is this PC, where the last address also points.
        if (address == 0 && g_bDemoMode)
            address = LoopbackAddress();
        connected = g_pServer->ConnectDirect(MakeSockAddr(address, port));
    } else {
        CConnectDlg* dlg = OpenProgressWindow();
        connected = g_pServer->ConnectRemote(m_strSystemName, dlg);
    }
    if (!connected) {
        QVMessageBox(m_hWnd, "Connection Failed", MESSAGE_CAPTION, MB_OK | MB_ICONWARNING | MB_TOPMOST);
        FinishAttempt(1, 0);
        return false;
    }
    return true;
}

std::string CVOLTARODlg::AskVersion()
{
    ShowStatus("Getting Version Information");
    std::string version;
    CQVQuery query;
    CQVMSG question(query.GetId(), MSG_GET_VERSION);
    CQVMSG* reply = nullptr;
    if (query.Ask(&reply, &question) && reply && reply->ReadString(&version)) {
        reply->ReadDWord(); // present in the answer, not used
    } else {
        version.clear();
    }
    if (version.empty()) {
        ShowStatus("ERROR: Can't get version info");
        FinishAttempt(1, 0);
    }
    return version;
}

bool CVOLTARODlg::StartProgram(const std::string& commandLine)
{
    memset(&m_ProcessInfo, 0, sizeof(m_ProcessInfo));
    DWORD error = 0;
    QVStartProcessFn start = s_pfnStartProcess ? s_pfnStartProcess : &CreateProcessStarter;
    if (start(commandLine, &m_ProcessInfo, &error))
        return true;
    memset(&m_ProcessInfo, 0, sizeof(m_ProcessInfo));
    ShowStatus(StrPrintf("ERROR: Can't Start Executable (error=%d)", (int)error));
    // The line goes into the connection log: never with the password in it.
    ShowStatus(MaskPassword(commandLine));
    return false;
}

bool CVOLTARODlg::HandOverSocket(HANDLE pipe)
{
    WSAPROTOCOL_INFOA record;
    memset(&record, 0, sizeof(record));
    CXConnection* connection = g_pServer ? g_pServer->GetConnection() : nullptr;
    QVSOCKET socket = connection ? connection->GetSocket() : QV_INVALID_SOCKET;
    // A failed duplication leaves the record zeroed; it is sent all the same and
    // the program finds out when it turns it into a socket.
    if (socket != QV_INVALID_SOCKET)
        ::WSADuplicateSocketA((SOCKET)socket, m_ProcessInfo.dwProcessId, &record);

    OVERLAPPED ov;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent)
        return false;
    DWORD transferred = 0;
    bool connected = false;
    if (::ConnectNamedPipe(pipe, &ov)) {
        connected = true;
    } else {
        DWORD err = ::GetLastError();
        if (err == ERROR_PIPE_CONNECTED)
            connected = true; // the program opened the pipe before we began to wait
        else if (err == ERROR_IO_PENDING)
            connected = WaitForPipeOperation(pipe, &ov, s_dwPipeConnectMs, m_ProcessInfo.hProcess, &transferred);
    }

    bool written = false;
    if (connected) {
        ::ResetEvent(ov.hEvent);
        transferred = 0;
        if (::WriteFile(pipe, &record, sizeof(record), nullptr, &ov))
            written = ::GetOverlappedResult(pipe, &ov, &transferred, FALSE) != FALSE;
        else if (::GetLastError() == ERROR_IO_PENDING)
            written = WaitForPipeOperation(pipe, &ov, s_dwPipeDrainMs, m_ProcessInfo.hProcess, &transferred);
        written = written && transferred == sizeof(record);
    }
    ::CloseHandle(ov.hEvent);
    return written;
}

int CVOLTARODlg::StartViewer(int mode)
{
    m_bBusy = 1;
    m_hOldCursor = ::SetCursor(::LoadCursor(nullptr, IDC_WAIT));
    m_strLastCommandLine.clear();
    m_bRecordHandedOver = false;

    UpdateData(true);
    m_nSizeClass = GetScreenSizeClass();
    if (!g_pServer) {
        FinishAttempt(0, 0);
        return 0;
    }
    g_pServer->SetMode(mode, m_strPassword);

    SystemEntry* selected = SelectedEntry();
    bool direct = m_bSilent ? (m_dwTargetAddress != 0) : (selected != nullptr || g_bDemoMode != 0);

    if (m_strSystemName.empty()) {
        FinishAttempt(0, 0);
        return 0;
    }

    uint32_t parsedAddress = 0;
    uint16_t parsedPort = 80;
    if (ParseSystemAddress(m_strSystemName, &parsedAddress, &parsedPort)) {
        m_dwTargetAddress = parsedAddress;
        direct = true;
    } else {
        parsedAddress = 0;
        parsedPort = 80;
    }

    if (direct) {
        if (g_bDemoMode)
            m_dwLastAddress = LoopbackAddress();
        else
            m_dwLastAddress = selected ? selected->m_dwAddress : parsedAddress;
    }

    SaveLogin();

    if (!ConnectForAttempt(direct, selected, parsedAddress, parsedPort))
        return 0;

    const std::string version = AskVersion();
    if (version.empty())
        return 0;
    ShowStatus(StrPrintf("Remote System Version is: %s", version.c_str()));

    if (ParseVersion(version) < ParseVersion(QV_MIN_HOST_VERSION)) {
        QVMessageBox(m_hWnd,
                     StrPrintf("ERROR: Cannot continue, the host system is running version %s\n"
                               "Please upgrade to %s or higher and try again.",
                               version.c_str(), QV_MIN_HOST_VERSION),
                     MESSAGE_CAPTION, MB_OK);
        ShowStatus("ERROR: Version too old");
        FinishAttempt(1, 1);
        return 0;
    }

    const char* program = mode == 0 ? VIEWER_PROGRAM : CONFIGURATOR_PROGRAM;
    const std::string folderName = VersionFolderName(version);
    const std::string dataFolder = GetDataFolder();
    const std::string path = dataFolder + "\\" + folderName + "\\" + program;

    if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (!CreateFolder(dataFolder + "\\" + folderName)) {
            ShowStatus("ERROR: Can't Create Folder");
            FinishAttempt(1, 1);
            return 0;
        }
        ShowStatus(StrPrintf("Downloading: %s", path.c_str()));
        if (!DownloadProgram(mode, path)) {
            ShowStatus("Error Downloading EXE");
            FinishAttempt(1, 1);
            return 0;
        }
    }

    const std::string sizeOption = SizeOptionText(m_nSizeClass);
    std::string commandLine;
    int built;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const bool pipeForm = ParseVersion(version) < ParseVersion(QV_LOOPBACK_VERSION);
    if (pipeForm) {
        const std::string pipeName = PipeNameFor((uint32_t)(uintptr_t)m_hWnd);
        built = BuildPipeCommandLine(path, m_strSystemName, m_strPassword, pipeName, &commandLine);
        if (built == CMDLINE_OK) {
            // Overlapped so that the wait for the program can be bounded; the pipe
            // itself is an ordinary blocking byte pipe.
            pipe = ::CreateNamedPipeA(pipeName.c_str(),
                                      PIPE_ACCESS_OUTBOUND | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_BYTE | PIPE_WAIT, 10, 256, 256, 10000, nullptr);
        }
    } else {
        delete m_pLoopBack;
        m_pLoopBack = new CTCP_LoopBack();
        // Nothing listening (no free port): the program could never reach us.
        if (m_pLoopBack->GetListenAddress().family == 0) {
            delete m_pLoopBack;
            m_pLoopBack = nullptr;
            ShowStatus("ERROR: Can't open a local port for the program");
            FinishAttempt(1, 1);
            return 0;
        }
        built = BuildLoopbackCommandLine(path, sizeOption, m_pLoopBack->GetPort(), &commandLine);
    }

    if (built != CMDLINE_OK) {
        // Never a cut line: a shortened one could start the program with the wrong
        // name, password or pipe.
        ShowStatus(CommandLineResultText(built));
        delete m_pLoopBack;
        m_pLoopBack = nullptr;
        FinishAttempt(1, 1);
        return 0;
    }
    m_strLastCommandLine = commandLine;

    if (!StartProgram(commandLine)) {
        if (pipe != INVALID_HANDLE_VALUE)
            ::CloseHandle(pipe);
        delete m_pLoopBack;
        m_pLoopBack = nullptr;
        FinishAttempt(1, 1);
        return 0;
    }

    if (pipeForm && pipe != INVALID_HANDLE_VALUE) {
        m_bRecordHandedOver = HandOverSocket(pipe);
        if (!m_bRecordHandedOver) {
            // A program that never opened the pipe (or never read it) cannot use the
            // connection; it is left to run, but no longer watched.
            ::CloseHandle(pipe);
            ::CloseHandle(m_ProcessInfo.hThread);
            ::CloseHandle(m_ProcessInfo.hProcess);
            memset(&m_ProcessInfo, 0, sizeof(m_ProcessInfo));
            ShowStatus("ERROR: The program did not take the connection");
            FinishAttempt(1, 1);
            return 0;
        }
        ClosePipeBounded(pipe, s_dwPipeDrainMs);
    }

    ShowStatus("Running");
    ShowWindow(SW_HIDE);
    FinishAttempt(0, 0);
    return 1;
}
