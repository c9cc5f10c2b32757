// Fixture of the main-window tests.
#include "test_voltarodlg_fixture.h"

#include <cstdio>
#include <cstring>

#include "protocol/discovery.h"
#include "protocol/qvserver.h"
#include "ui/framework.h"
#include "ui/resource.h"
#include "util/folders.h"
#include "util/qvsocket.h"
#include "util/qvtick.h"

std::vector<CapturedBox> g_Boxes;
FakeStarter g_Starter;

namespace
{

int CaptureBox(HWND, const char* text, const char* caption, UINT flags)
{
    g_Boxes.push_back({text ? text : "", caption ? caption : "", flags});
    return IDOK;
}

BOOL FakeStart(const std::string& commandLine, PROCESS_INFORMATION* info, DWORD* error)
{
    g_Starter.commandLines.push_back(commandLine);
    if (g_Starter.fail) {
        *error = g_Starter.error;
        return FALSE;
    }
    // The "program" is this process: it never ends on its own, and the socket
    // record is made for a process that can really take it.
    HANDLE self = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &self, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    info->hProcess = self;
    info->hThread = nullptr;
    info->dwProcessId = ::GetCurrentProcessId();
    info->dwThreadId = 0;
    if (g_Starter.onStart) g_Starter.onStart(commandLine);
    return TRUE;
}

void SetEnv(const char* name, const std::string& value)
{
    ::SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
    _putenv_s(name, value.c_str());
}

void MakeDirs(const std::string& p)
{
    for (size_t i = 3; i <= p.size(); ++i)
        if (i == p.size() || p[i] == '\\') ::CreateDirectoryA(p.substr(0, i).c_str(), nullptr);
}

void RemoveTree(const std::string& p)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = ::FindFirstFileA((p + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string n = fd.cFileName;
            if (n == "." || n == "..") continue;
            std::string full = p + "\\" + n;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full);
            else
                ::DeleteFileA(full.c_str());
        } while (::FindNextFileA(h, &fd));
        ::FindClose(h);
    }
    ::RemoveDirectoryA(p.c_str());
}

bool RecvAll(SOCKET s, char* buffer, int size)
{
    int got = 0;
    while (got < size) {
        int n = ::recv(s, buffer + got, size - got, 0);
        if (n <= 0) return false;
        got += n;
    }
    return true;
}

} // namespace

bool FileExistsA(const std::string& path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFileBytes(const std::string& path)
{
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

std::string OptionValue(const std::string& commandLine, const std::string& option)
{
    size_t at = commandLine.find(option);
    if (at == std::string::npos) return std::string();
    at += option.size();
    size_t end = commandLine.find(' ', at);
    return commandLine.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool EchoOverSocket(SOCKET s)
{
    const std::vector<uint8_t> body = {'p', 'i', 'n', 'g', 1, 2, 3, 4};
    const std::vector<uint8_t> wire = CSimController::Encode(77, SIM_MSG_ECHO, body);
    if (::send(s, (const char*)wire.data(), (int)wire.size(), 0) != (int)wire.size()) return false;
    char answer[16];
    if (!RecvAll(s, answer, (int)sizeof(answer))) return false;
    const uint8_t* a = (const uint8_t*)answer;
    const uint16_t id = (uint16_t)(a[0] | (a[1] << 8));
    const uint16_t code = (uint16_t)(a[2] | (a[3] << 8));
    const uint32_t length = a[4] | (a[5] << 8) | (a[6] << 16) | ((uint32_t)a[7] << 24);
    return id == 77 && code == SIM_MSG_ECHO_REPLY && length == body.size() &&
           memcmp(answer + 8, body.data(), body.size()) == 0;
}

void PipeViewer(std::string pipeName, std::atomic<int>* ok)
{
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 500 && pipe == INVALID_HANDLE_VALUE; ++i) {
        pipe = ::CreateFileA(pipeName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) ::Sleep(10);
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        *ok = -1;
        return;
    }
    WSAPROTOCOL_INFOA record;
    DWORD got = 0, n = 0;
    while (got < sizeof(record) &&
           ::ReadFile(pipe, (char*)&record + got, sizeof(record) - got, &n, nullptr) && n)
        got += n;
    // Nothing may follow the record.
    char extra;
    BOOL more = ::ReadFile(pipe, &extra, 1, &n, nullptr);
    ::CloseHandle(pipe);
    if (got != sizeof(record) || (more && n)) {
        *ok = -2;
        return;
    }
    SOCKET s = ::WSASocketA(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &record, 0, 0);
    if (s == INVALID_SOCKET) {
        *ok = -3;
        return;
    }
    *ok = EchoOverSocket(s) ? 1 : -4;
    ::closesocket(s);
}

void LoopbackViewer(uint16_t port, std::atomic<int>* ok)
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, (sockaddr*)&to, sizeof(to)) != 0) {
        *ok = -1;
        ::closesocket(s);
        return;
    }
    *ok = EchoOverSocket(s) ? 1 : -4;
    ::closesocket(s);
}

HANDLE EndedProcessHandle()
{
    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    char cmd[] = "cmd.exe /c exit 3";
    if (!::CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                          &pi))
        return nullptr;
    ::WaitForSingleObject(pi.hProcess, 10000);
    ::CloseHandle(pi.hThread);
    return pi.hProcess;
}

void MainWndTest::SetUp()
{
    ASSERT_TRUE(SocketStartup());
    static int counter = 0;
    char temp[MAX_PATH];
    ::GetTempPathA(sizeof(temp), temp);
    m_strRoot = std::string(temp) + "rerudi_mainwnd_" + std::to_string(::GetCurrentProcessId()) + "_" +
                std::to_string(++counter);
    if (!m_strRoot.empty() && m_strRoot.back() == '\\') m_strRoot.pop_back();
    RemoveTree(m_strRoot);
    MakeDirs(m_strRoot);
    m_strOldAppData = GetEnv("APPDATA");
    SetEnv("APPDATA", m_strRoot);
    m_strDataFolder = GetDataFolder();
    ASSERT_EQ(m_strDataFolder, m_strRoot + "\\OSKA Zizu Systems\\OSKA Rerudi");

    m_pSession = new CQVServer(m_strDataFolder);
    m_pSession->SetLoginInfo("00-11-22-33-44-55", "TESTPC", "WINDOWS", "WINDOWS");

    g_Boxes.clear();
    g_Starter = FakeStarter();
    QVSetMessageBoxHook(&CaptureBox);
    CLocalSystems::s_bLocalNetworkOff = true;
    CStartAttempt::s_pfnStartProcess = &FakeStart;
    CStartAttempt::s_dwPipeConnectMs = 30000;
    CStartAttempt::s_dwPipeDrainMs = 10000;
}

void MainWndTest::TearDown()
{
    for (std::thread& t : m_Viewers)
        if (t.joinable()) t.join();
    m_Viewers.clear();
    CloseWindow();
    delete m_pSession;
    m_pSession = nullptr;
    delete m_pSim;
    m_pSim = nullptr;
    QVSetMessageBoxHook(nullptr);
    CStartAttempt::s_pfnStartProcess = nullptr;
    SetTickOffsetForTest(0);
    SetEnv("APPDATA", m_strOldAppData);
    RemoveTree(m_strRoot);
}

void MainWndTest::StartSim(const std::string& version, const std::string& password)
{
    SimConfig config;
    config.version = version;
    config.password = password;
    for (int i = 0; i < 5000; ++i) {
        config.viewerFile.push_back((uint8_t)(i * 7 + 1));
        config.configFile.push_back((uint8_t)(i * 13 + 5));
    }
    m_pSim = new CSimController(config);
    ASSERT_TRUE(m_pSim->Start());
}

std::string MainWndTest::SimName() const
{
    return "127.0.0.1:" + std::to_string(m_pSim->GetPort());
}

CVOLTARODlg* MainWndTest::OpenWindow(const std::string& name, const std::string& password, bool silent,
                                     uint32_t target, int startType)
{
    m_pDlg = new CVOLTARODlg(m_pSession, name, password, "", target, startType, silent, nullptr);
    EXPECT_TRUE(m_pDlg->Create(IDD_RERUDI_DIALOG, nullptr));
    return m_pDlg;
}

void MainWndTest::CloseWindow()
{
    if (!m_pDlg) return;
    if (m_pDlg->m_hWnd) m_pDlg->DestroyWindow();
    delete m_pDlg;
    m_pDlg = nullptr;
}

bool MainWndTest::PumpUntil(const std::function<bool()>& done, DWORD limitMs)
{
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start >= limitMs) return false;
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        ::Sleep(5);
    }
    return true;
}

std::string MainWndTest::VersionPath(const std::string& folder, const char* program) const
{
    return m_strDataFolder + "\\" + folder + "\\" + program;
}

void MainWndTest::PutProgram(const std::string& folder, const char* program, const std::string& bytes)
{
    ::CreateDirectoryA((m_strDataFolder + "\\" + folder).c_str(), nullptr);
    WriteFileBytes(VersionPath(folder, program), bytes);
}

std::string FieldText(CVOLTARODlg* dlg, int id)
{
    return dlg->GetDlgItemText(id);
}

// Shown as far as the control itself goes (the test window is never shown).
bool Shown(CVOLTARODlg* dlg, int id)
{
    return (::GetWindowLongA(dlg->GetDlgItem(id), GWL_STYLE) & WS_VISIBLE) != 0;
}

void Type(CVOLTARODlg* dlg, const std::string& name)
{
    // Setting the text reports the change to the window as typing does.
    ::SetWindowTextA(dlg->GetDlgItem(IDC_SYSTEM_NAME), name.c_str());
}

SYSTEM_ANSWER Answer(const char* name, uint8_t status, uint8_t flags, uint16_t port)
{
    SYSTEM_ANSWER a;
    memset(&a, 0, sizeof(a));
    a.dwType = ANSWER_TYPE;
    a.wPort = port;
    a.bStatus = status;
    a.bFlags = flags;
    strncpy(a.szName, name, sizeof(a.szName) - 1);
    return a;
}

std::vector<std::string> Lines(CVOLTARODlg* dlg)
{
    std::vector<std::string> lines;
    for (int i = 0; i < dlg->m_SystemList.GetCount(); ++i)
        lines.push_back(dlg->m_SystemList.GetText(i));
    return lines;
}
