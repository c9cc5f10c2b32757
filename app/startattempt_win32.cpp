#include "startattempt_win32.h"

#include <winsock2.h>

#include <cstring>

#include "../protocol/downloader.h"
#include "../protocol/qvmsg.h"
#include "../protocol/qvserver.h"
#include "../remote/loopback.h"
#include "../remote/remoteconnect.h"
#include "../util/enumtext.h"
#include "../util/folders.h"
#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "versions.h"

namespace
{

const char VIEWER_PROGRAM[] = "BRIGHTLEAF.EXE";
const char CONFIGURATOR_PROGRAM[] = "MOSSDESK.EXE";
// A slice of the pipe waits: short enough that the observer is asked in time.
const DWORD PIPE_SLICE_MS = 20;

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

} // namespace

QVStartProcessFn CStartAttempt::s_pfnStartProcess = nullptr;
uint32_t CStartAttempt::s_dwPipeConnectMs = 30000;
uint32_t CStartAttempt::s_dwPipeDrainMs = 10000;

static constexpr EnumText<AttemptOutcome> kOutcomeTexts[] = {
    {AttemptOutcome::Started, "Running"},
    {AttemptOutcome::NoName, "No system name"},
    {AttemptOutcome::Cancelled, "Attempt cancelled"},
    {AttemptOutcome::ConnectFailed, "Connection Failed"},
    {AttemptOutcome::LoginFailed, "Connection Failed"},
    {AttemptOutcome::NoVersion, "ERROR: Can't get version info"},
    {AttemptOutcome::VersionTooOld, "ERROR: Version too old"},
    {AttemptOutcome::FolderFailed, "ERROR: Can't Create Folder"},
    {AttemptOutcome::DownloadFailed, "Error Downloading EXE"},
    {AttemptOutcome::CommandLineRefused, "ERROR: Can't build the program's command line"},
    {AttemptOutcome::NoLocalPort, "ERROR: Can't open a local port for the program"},
    {AttemptOutcome::StartFailed, "ERROR: Can't Start Executable"},
    {AttemptOutcome::HandOverFailed, "ERROR: The program did not take the connection"},
};
static_assert(EveryValueOnce(kOutcomeTexts, AttemptOutcome::Count), "every attempt outcome has its text");

const char* AttemptOutcomeText(AttemptOutcome outcome)
{
    return TextOf(kOutcomeTexts, outcome, "Connection Failed");
}

std::string FailureBoxText(AttemptOutcome outcome, const CStartAttempt& attempt, bool linesShown,
                           unsigned* icon)
{
    *icon = MB_ICONWARNING | MB_TOPMOST;
    switch (outcome) {
    case AttemptOutcome::Started:
    case AttemptOutcome::Cancelled:
    case AttemptOutcome::NoName:
        return std::string();
    case AttemptOutcome::VersionTooOld:
        *icon = 0;
        return StrPrintf("ERROR: Cannot continue, the host system is running version %s\n"
                         "Please upgrade to %s or higher and try again.",
                         attempt.GetVersion().c_str(), QV_MIN_HOST_VERSION);
    case AttemptOutcome::ConnectFailed:
    case AttemptOutcome::LoginFailed:
        return "Connection Failed\n" + attempt.GetCause();
    default:
        break;
    }
    // The progress window keeps the reason on screen until the user closes it;
    // the local roads have no such window, so the reason goes into a box.
    if (linesShown) return std::string();
    std::string text = AttemptOutcomeText(outcome);
    if (!attempt.GetCause().empty()) text += "\n" + attempt.GetCause();
    return text;
}

CStartAttempt::CStartAttempt(CQVServer* session, CAttemptObserver* observer)
    : m_pSession(session), m_pObserver(observer), m_bRecordHandedOver(false), m_hPipe(INVALID_HANDLE_VALUE)
{
    memset(&m_Process, 0, sizeof(m_Process));
}

CStartAttempt::~CStartAttempt()
{
    CleanUp();
}

PROCESS_INFORMATION CStartAttempt::TakeProcess()
{
    PROCESS_INFORMATION p = m_Process;
    memset(&m_Process, 0, sizeof(m_Process));
    return p;
}

std::unique_ptr<CTCP_LoopBack> CStartAttempt::TakeBridge()
{
    return std::move(m_pBridge);
}

void CStartAttempt::CleanUp()
{
    if (m_hPipe != INVALID_HANDLE_VALUE) ::CloseHandle(m_hPipe);
    m_hPipe = INVALID_HANDLE_VALUE;
    // A program that cannot use the connection is left to run, but no longer watched.
    if (m_Process.hThread) ::CloseHandle(m_Process.hThread);
    if (m_Process.hProcess) ::CloseHandle(m_Process.hProcess);
    memset(&m_Process, 0, sizeof(m_Process));
    m_pBridge.reset();
}

AttemptOutcome CStartAttempt::Run(const AttemptRequest& request)
{
    AttemptOutcome outcome = Steps(request);
    if (outcome == AttemptOutcome::Started) {
        AttemptStatus(m_pObserver, AttemptOutcomeText(outcome));
        return outcome;
    }
    // The one way out of a failed attempt: nothing it opened stays open.
    CleanUp();
    if (m_pSession) m_pSession->GetConnection()->Close();
    switch (outcome) {
    case AttemptOutcome::NoName:
    case AttemptOutcome::StartFailed: // its lines are out already
        break;
    case AttemptOutcome::ConnectFailed:
    case AttemptOutcome::LoginFailed:
        AttemptStatus(m_pObserver, ("Connection Failed: " + m_strCause).c_str());
        break;
    case AttemptOutcome::CommandLineRefused:
        AttemptStatus(m_pObserver, m_strCause.c_str());
        break;
    default:
        AttemptStatus(m_pObserver, AttemptOutcomeText(outcome));
        break;
    }
    return outcome;
}

AttemptOutcome CStartAttempt::Steps(const AttemptRequest& r)
{
    if (r.road.kind == RoadKind::None || r.systemName.empty()) return AttemptOutcome::NoName;
    if (!m_pSession) {
        m_strCause = "no session";
        return AttemptOutcome::ConnectFailed;
    }
    // Each start mode logs in as the client kind of the same number.
    m_pSession->SetMode(static_cast<int>(r.mode), r.password);
    AttemptOutcome outcome = Connect(r);
    if (outcome == AttemptOutcome::Started) outcome = AskVersion();
    if (outcome != AttemptOutcome::Started) return outcome;
    AttemptStatus(m_pObserver, StrPrintf("Remote System Version is: %s", m_strVersion.c_str()).c_str());
    if (ParseVersion(m_strVersion) < ParseVersion(QV_MIN_HOST_VERSION)) return AttemptOutcome::VersionTooOld;

    const char* program = r.mode == StartMode::Viewer ? VIEWER_PROGRAM : CONFIGURATOR_PROGRAM;
    const std::string folder = r.dataFolder + "\\" + VersionFolderName(m_strVersion);
    const std::string path = folder + "\\" + program;
    outcome = EnsureProgram(r, path);
    if (outcome != AttemptOutcome::Started) return outcome;
    return Launch(r, path);
}

AttemptOutcome CStartAttempt::Connect(const AttemptRequest& r)
{
    CXConnection* transport = m_pSession->GetConnection();
    ConnectResult connected =
        r.road.IsDirect()
            ? transport->ConnectDirect(MakeSockAddr(r.road.address, r.road.port), 0, m_pObserver)
            : ConnectRemote(*transport, m_pObserver, r.systemName);
    if (connected == ConnectResult::Cancelled) return AttemptOutcome::Cancelled;
    if (connected != ConnectResult::Ok) {
        m_strCause = ConnectResultText(connected);
        return AttemptOutcome::ConnectFailed;
    }
    // One login for every road: the session logs in over whatever was opened.
    LoginResult login = m_pSession->Login(m_pObserver);
    if (login == LoginResult::Cancelled) return AttemptOutcome::Cancelled;
    if (login != LoginResult::Ok) {
        m_strCause = LoginResultText(login);
        return AttemptOutcome::LoginFailed;
    }
    return AttemptOutcome::Started;
}

AttemptOutcome CStartAttempt::AskVersion()
{
    AttemptStatus(m_pObserver, "Getting Version Information");
    CQVQuery query(m_pSession, m_pObserver);
    CQVMSG question(query.GetId(), MSG_GET_VERSION);
    CQVMSG* reply = nullptr;
    if (query.Ask(&reply, &question) && reply && reply->ReadString(&m_strVersion)) {
        reply->ReadDWord(); // present in the answer, not used
    } else {
        m_strVersion.clear();
    }
    if (query.GetResult() == QueryResult::Cancelled) return AttemptOutcome::Cancelled;
    return m_strVersion.empty() ? AttemptOutcome::NoVersion : AttemptOutcome::Started;
}

AttemptOutcome CStartAttempt::EnsureProgram(const AttemptRequest& r, const std::string& path)
{
    // An existing file is used as it is: never compared, never fetched again.
    if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return AttemptOutcome::Started;
    if (!CreateFolder(path.substr(0, path.rfind('\\')))) return AttemptOutcome::FolderFailed;
    AttemptStatus(m_pObserver, StrPrintf("Downloading: %s", path.c_str()).c_str());
    if (r.mode != StartMode::Viewer && r.mode != StartMode::Configurator)
        return AttemptOutcome::DownloadFailed;
    const bool viewer = r.mode == StartMode::Viewer;
    CFileDownloader downloader(m_pSession, m_pObserver, path);
    CQVMSG request(downloader.GetId(), viewer ? MSG_GET_VIEWER_EXE : MSG_GET_CONFIG_EXE);
    if (viewer) {
        request.WriteDWord(0);
        request.WriteDWord(2);
    } else {
        request.WriteDWord(3);
    }
    request.WriteDWord(CLIENT_REVISION);
    const DownloadResult result = downloader.Run(&request);
    if (result == DownloadResult::Written) return AttemptOutcome::Started;
    if (result == DownloadResult::Cancelled) return AttemptOutcome::Cancelled;
    m_strCause = DownloadResultText(result);
    return AttemptOutcome::DownloadFailed;
}

AttemptOutcome CStartAttempt::Launch(const AttemptRequest& r, const std::string& path)
{
    // The pipe hands over a TCP socket; a datagram stream has none to hand, so it
    // always goes through the bridge, whatever the controller's version.
    const bool pipeForm = ParseVersion(m_strVersion) < ParseVersion(QV_LOOPBACK_VERSION) &&
                          m_pSession->GetConnection()->GetSocket() != QV_INVALID_SOCKET;
    CommandLineResult built;
    if (pipeForm) {
        const std::string pipeName = PipeNameFor(r.pipeId);
        built = BuildPipeCommandLine(path, r.systemName, r.password, pipeName, &m_strCommandLine);
        if (built == CommandLineResult::Ok) {
            // Overlapped so that the wait for the program can be bounded; the pipe
            // itself is an ordinary blocking byte pipe.
            m_hPipe = ::CreateNamedPipeA(
                pipeName.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OVERLAPPED,
                PIPE_TYPE_BYTE | PIPE_WAIT, 10, 256, 256, 10000, nullptr);
        }
    } else {
        m_pBridge.reset(new CTCP_LoopBack(m_pSession->GetConnection()));
        // Nothing listening (no free port): the program could never reach us.
        if (m_pBridge->GetListenAddress().family == 0) return AttemptOutcome::NoLocalPort;
        built = BuildLoopbackCommandLine(path, SizeOptionText(r.sizeClass), m_pBridge->GetPort(),
                                         &m_strCommandLine);
    }
    if (built != CommandLineResult::Ok) {
        // Never a cut line: a shortened one could start the program with the wrong
        // name, password or pipe.
        m_strCause = CommandLineResultText(built);
        return AttemptOutcome::CommandLineRefused;
    }

    DWORD error = 0;
    QVStartProcessFn start = s_pfnStartProcess ? s_pfnStartProcess : &CreateProcessStarter;
    if (!start(m_strCommandLine, &m_Process, &error)) {
        memset(&m_Process, 0, sizeof(m_Process));
        m_strCause = StrPrintf("error=%d", (int)error);
        AttemptStatus(m_pObserver, StrPrintf("ERROR: Can't Start Executable (error=%d)", (int)error).c_str());
        // The line goes into the connection log: never with the password in it.
        AttemptStatus(m_pObserver, MaskPassword(m_strCommandLine).c_str());
        return AttemptOutcome::StartFailed;
    }
    if (!pipeForm || m_hPipe == INVALID_HANDLE_VALUE) return AttemptOutcome::Started;
    AttemptOutcome handed = HandOverSocket();
    if (handed == AttemptOutcome::Started) ClosePipeBounded();
    return handed;
}

AttemptOutcome CStartAttempt::WaitForPipe(OVERLAPPED* ov, uint32_t timeoutMs, DWORD* transferred)
{
    const uint32_t start = GetTick();
    AttemptOutcome outcome = AttemptOutcome::HandOverFailed;
    for (;;) {
        HANDLE handles[2] = {ov->hEvent, m_Process.hProcess};
        DWORD count = m_Process.hProcess ? 2 : 1;
        DWORD wait = ::WaitForMultipleObjects(count, handles, FALSE, PIPE_SLICE_MS);
        if (wait == WAIT_OBJECT_0)
            return ::GetOverlappedResult(m_hPipe, ov, transferred, FALSE) ? AttemptOutcome::Started
                                                                          : AttemptOutcome::HandOverFailed;
        // A program that has ended can never take the record.
        if (wait != WAIT_TIMEOUT || TickSince(start) >= timeoutMs) break;
        if (!AttemptKeepWaiting(m_pObserver)) {
            outcome = AttemptOutcome::Cancelled;
            break;
        }
    }
    ::CancelIo(m_hPipe);
    // A cancelled operation completes at once; this only collects it before the
    // OVERLAPPED goes away.
    ::GetOverlappedResult(m_hPipe, ov, transferred, TRUE);
    return outcome;
}

AttemptOutcome CStartAttempt::HandOverSocket()
{
    WSAPROTOCOL_INFOA record;
    memset(&record, 0, sizeof(record));
    QVSOCKET socket = m_pSession->GetConnection()->GetSocket();
    // A failed duplication leaves the record zeroed; it is sent all the same and
    // the program finds out when it turns it into a socket.
    if (socket != QV_INVALID_SOCKET) ::WSADuplicateSocketA((SOCKET)socket, m_Process.dwProcessId, &record);

    OVERLAPPED ov;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return AttemptOutcome::HandOverFailed;
    DWORD transferred = 0;
    AttemptOutcome outcome = AttemptOutcome::HandOverFailed;
    if (::ConnectNamedPipe(m_hPipe, &ov)) {
        outcome = AttemptOutcome::Started;
    } else {
        DWORD err = ::GetLastError();
        if (err == ERROR_PIPE_CONNECTED)
            outcome = AttemptOutcome::Started; // the program opened the pipe before we began to wait
        else if (err == ERROR_IO_PENDING)
            outcome = WaitForPipe(&ov, s_dwPipeConnectMs, &transferred);
    }
    if (outcome == AttemptOutcome::Started) {
        ::ResetEvent(ov.hEvent);
        transferred = 0;
        if (::WriteFile(m_hPipe, &record, sizeof(record), nullptr, &ov))
            outcome = ::GetOverlappedResult(m_hPipe, &ov, &transferred, FALSE)
                          ? AttemptOutcome::Started
                          : AttemptOutcome::HandOverFailed;
        else if (::GetLastError() == ERROR_IO_PENDING)
            outcome = WaitForPipe(&ov, s_dwPipeDrainMs, &transferred);
        else
            outcome = AttemptOutcome::HandOverFailed;
        if (outcome == AttemptOutcome::Started && transferred != sizeof(record))
            outcome = AttemptOutcome::HandOverFailed;
    }
    ::CloseHandle(ov.hEvent);
    m_bRecordHandedOver = outcome == AttemptOutcome::Started;
    return outcome;
}

void CStartAttempt::ClosePipeBounded()
{
    HANDLE pipe = m_hPipe;
    m_hPipe = INVALID_HANDLE_VALUE;
    HANDLE worker = ::CreateThread(nullptr, 0, &PipeCloser, (LPVOID)pipe, 0, nullptr);
    if (!worker) {
        // No worker: close without the flush rather than wait without a bound.
        ::CloseHandle(pipe);
        return;
    }
    // The record is delivered; Cancel only stops waiting for the flush.
    const uint32_t start = GetTick();
    while (::WaitForSingleObject(worker, PIPE_SLICE_MS) == WAIT_TIMEOUT) {
        if (TickSince(start) >= s_dwPipeDrainMs || !AttemptKeepWaiting(m_pObserver)) {
            typedef BOOL(WINAPI * CancelSyncFn)(HANDLE);
            CancelSyncFn cancel = (CancelSyncFn)(void*)::GetProcAddress(::GetModuleHandleA("kernel32.dll"),
                                                                        "CancelSynchronousIo");
            if (cancel) cancel(worker);
            // Still stuck: the worker keeps the pipe and closes it when the
            // program ends and the flush returns.
            ::WaitForSingleObject(worker, 100);
            break;
        }
    }
    ::CloseHandle(worker);
}
