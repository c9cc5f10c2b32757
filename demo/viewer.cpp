// Demo viewer: the program a controller serves to the launcher, reduced to what
// proves the hand-over. It takes the connection the launcher offers (a socket record
// read from a named pipe, or a local TCP port the launcher bridges), exchanges echo
// messages with the controller over it, and writes down what happened.
//
// Command lines it understands:
//   ... /R /USER:name /PASS:secret /SOCKFILE:\\.\pipe\XXXXXXXX   (socket through a pipe)
//   ... /LOOPBACK:port                                            (bridged local port)
// Environment:
//   QV_DEMO_REPORT       report file (default: next to the program, <name>.report.txt)
//   QV_DEMO_LINGER_MS    stay alive this long after closing the connection
//   QV_DEMO_PROBE_SECOND 1: while connected, try a second connection to the port
//   QV_DEMO_WINDOW       1: show a small window with the outcome while lingering
//   QV_DEMO_ECHO_SIZES   comma-separated body sizes of the echo messages
// Exit code 0 only when every echo came back intact.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/qvmsg.h"
#include "util/qvtypes.h"

#ifndef DEMO_ROLE
#define DEMO_ROLE "viewer"
#endif

namespace
{

const uint16_t ECHO_REQUEST = 9200;
const uint16_t ECHO_REPLY = 9201;
const uint16_t ECHO_ID = 77;
const DWORD PROTOCOL_RECORD_SIZE = 372;
// The launcher may be of the other width: the record has no pointer-sized field.
static_assert(sizeof(WSAPROTOCOL_INFOA) == PROTOCOL_RECORD_SIZE,
              "socket record is 372 bytes on every target");
const DWORD PIPE_WAIT_MS = 15000;
const DWORD CONNECT_WAIT_MS = 5000;
const DWORD REPLY_WAIT_MS = 15000;

enum ExitCode {
    EXIT_OK = 0,
    EXIT_BAD_COMMAND_LINE = 1,
    EXIT_NO_CONNECTION = 2,
    EXIT_ECHO_FAILED = 3,
};

std::string g_ReportPath;

std::string EnvText(const char* name)
{
    char buf[1024];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return std::string();
    return std::string(buf, n);
}

DWORD EnvNumber(const char* name, DWORD fallback)
{
    std::string t = EnvText(name);
    if (t.empty()) return fallback;
    char* end = nullptr;
    unsigned long v = strtoul(t.c_str(), &end, 10);
    if (end == t.c_str()) return fallback;
    return (DWORD)v;
}

std::string ModulePath()
{
    char buf[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    return std::string(buf, n < MAX_PATH ? n : MAX_PATH);
}

std::string ProgramName()
{
    std::string p = ModulePath();
    size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string DefaultReportPath()
{
    std::string p = ModulePath();
    size_t dot = p.find_last_of('.');
    size_t slash = p.find_last_of("\\/");
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) p.resize(dot);
    return p + ".report.txt";
}

// One line per call, appended and flushed at once: a test may read the report while
// the program still runs (or after it was killed).
void Report(const std::string& line)
{
    HANDLE h = CreateFileA(g_ReportPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(h, text.data(), (DWORD)text.size(), &written, nullptr);
    CloseHandle(h);
}

// The value that follows an option, up to the next blank; empty when absent.
bool FindValue(const std::string& cmd, const char* option, std::string* value)
{
    size_t at = cmd.find(option);
    if (at == std::string::npos) return false;
    size_t start = at + strlen(option);
    size_t end = cmd.find_first_of(" \t", start);
    *value = cmd.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return true;
}

// ---- socket helpers with bounded waits --------------------------------------------

bool WaitSocket(SOCKET s, bool forWrite, DWORD ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    tv.tv_sec = (long)(ms / 1000);
    tv.tv_usec = (long)((ms % 1000) * 1000);
    int r = forWrite ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
    return r > 0;
}

bool SendAll(SOCKET s, const uint8_t* data, size_t size)
{
    DWORD start = GetTickCount();
    size_t done = 0;
    while (done < size) {
        int chunk = (int)((size - done) > 65536 ? 65536 : (size - done));
        int n = send(s, (const char*)data + done, chunk, 0);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
        if (GetTickCount() - start >= REPLY_WAIT_MS) return false;
        WaitSocket(s, true, 100);
    }
    return true;
}

// Exactly size bytes, or false on close, error or time-out.
bool RecvAll(SOCKET s, uint8_t* data, size_t size, DWORD deadlineStart)
{
    size_t done = 0;
    while (done < size) {
        DWORD spent = GetTickCount() - deadlineStart;
        if (spent >= REPLY_WAIT_MS) return false;
        if (!WaitSocket(s, false, REPLY_WAIT_MS - spent)) return false;
        int want = (int)((size - done) > 65536 ? 65536 : (size - done));
        int n = recv(s, (char*)data + done, want, 0);
        if (n == 0) return false;
        if (n < 0) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

std::vector<uint8_t> EchoBody(uint32_t size, uint32_t round)
{
    std::vector<uint8_t> body(size);
    for (uint32_t i = 0; i < size; ++i)
        body[i] = (uint8_t)(i * 7 + round * 31 + (i >> 8));
    return body;
}

std::vector<uint32_t> EchoSizes()
{
    // A small one, one that fills several TCP segments, and one larger than the
    // bridge's transfer buffer so that it must cross in several passes.
    std::vector<uint32_t> sizes;
    std::string t = EnvText("QV_DEMO_ECHO_SIZES");
    if (t.empty()) t = "16,3000,150000";
    size_t pos = 0;
    while (pos <= t.size()) {
        size_t comma = t.find(',', pos);
        std::string part = t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        unsigned long v = strtoul(part.c_str(), nullptr, 10);
        if (v <= QVMSG_MAX_LENGTH) sizes.push_back((uint32_t)v);
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return sizes;
}

struct EchoOutcome {
    uint32_t messages = 0;
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    uint32_t skipped = 0; // other messages met on the way (addressed to someone else)
    std::string problem;
};

// Sends each echo request and waits for its reply, checking id, code and body.
bool RunEcho(SOCKET s, EchoOutcome* out)
{
    std::vector<uint32_t> sizes = EchoSizes();
    for (uint32_t round = 0; round < sizes.size(); ++round) {
        std::vector<uint8_t> body = EchoBody(sizes[round], round);
        std::vector<uint8_t> wire(QVMSG_HEADER_SIZE + body.size());
        PutLE16(&wire[0], ECHO_ID);
        PutLE16(&wire[2], ECHO_REQUEST);
        PutLE32(&wire[4], (uint32_t)body.size());
        if (!body.empty()) memcpy(&wire[QVMSG_HEADER_SIZE], body.data(), body.size());
        if (!SendAll(s, wire.data(), wire.size())) {
            out->problem = StrPrintf("send failed (error %d)", WSAGetLastError());
            return false;
        }
        out->bytesSent += wire.size();
        DWORD start = GetTickCount();
        for (;;) {
            uint8_t header[QVMSG_HEADER_SIZE];
            if (!RecvAll(s, header, sizeof header, start)) {
                out->problem = "no echo reply (connection closed or time-out)";
                return false;
            }
            uint16_t id = GetLE16(header);
            uint16_t code = GetLE16(header + 2);
            uint32_t length = GetLE32(header + 4);
            if (length > QVMSG_MAX_LENGTH) {
                out->problem = StrPrintf("reply header announces %u bytes", length);
                return false;
            }
            std::vector<uint8_t> reply(length);
            if (length && !RecvAll(s, reply.data(), length, start)) {
                out->problem = "echo reply cut short";
                return false;
            }
            out->bytesReceived += QVMSG_HEADER_SIZE + length;
            if (id != ECHO_ID || code != ECHO_REPLY) {
                out->skipped++;
                continue;
            }
            if (reply != body) {
                out->problem = StrPrintf("echo body differs (%u bytes sent, %u back)", (unsigned)body.size(),
                                         (unsigned)reply.size());
                return false;
            }
            break;
        }
        out->messages++;
    }
    return true;
}

// ---- the two ways of getting the connection ---------------------------------------

SOCKET SocketFromPipe(const std::string& pipeName)
{
    DWORD start = GetTickCount();
    HANDLE pipe = INVALID_HANDLE_VALUE;
    while (GetTickCount() - start < PIPE_WAIT_MS) {
        pipe = CreateFileA(pipeName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) break;
        if (GetLastError() == ERROR_PIPE_BUSY)
            WaitNamedPipeA(pipeName.c_str(), 500);
        else
            Sleep(50);
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        Report(StrPrintf("pipe_open=failed error=%lu", GetLastError()));
        return INVALID_SOCKET;
    }
    Report("pipe_open=ok");

    // The record is read in whatever pieces the pipe gives; the wait is bounded and
    // the read never blocks, so a launcher that never writes cannot hold us.
    WSAPROTOCOL_INFOA info;
    memset(&info, 0, sizeof info);
    uint8_t* dest = (uint8_t*)&info;
    DWORD got = 0;
    bool broken = false;
    start = GetTickCount();
    while (got < PROTOCOL_RECORD_SIZE && GetTickCount() - start < PIPE_WAIT_MS) {
        DWORD avail = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr)) {
            broken = true;
            break;
        }
        if (avail == 0) {
            Sleep(10);
            continue;
        }
        DWORD want = PROTOCOL_RECORD_SIZE - got;
        if (avail < want) want = avail;
        DWORD n = 0;
        if (!ReadFile(pipe, dest + got, want, &n, nullptr)) {
            broken = true;
            break;
        }
        got += n;
    }
    CloseHandle(pipe);
    Report(StrPrintf("record_bytes=%lu", got));
    if (got != PROTOCOL_RECORD_SIZE) {
        Report(broken ? "record=incomplete (pipe closed)" : "record=incomplete (time-out)");
        return INVALID_SOCKET;
    }
    SOCKET s = WSASocketA(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, 0);
    if (s == INVALID_SOCKET) {
        Report(StrPrintf("socket_from_record=failed error=%d", WSAGetLastError()));
        return INVALID_SOCKET;
    }
    Report(StrPrintf("socket_from_record=ok family=%d type=%d", info.iAddressFamily, info.iSocketType));
    return s;
}

// Non-blocking connect bounded by ms; returns the connected (blocking) socket or
// INVALID_SOCKET, with "refused", "timeout" or "error" in *why.
SOCKET ConnectLocal(uint16_t port, DWORD ms, std::string* why)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *why = "error";
        return INVALID_SOCKET;
    }
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    int r = connect(s, (const sockaddr*)&to, sizeof to);
    if (r != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
        *why = WSAGetLastError() == WSAECONNREFUSED ? "refused" : "error";
        closesocket(s);
        return INVALID_SOCKET;
    }
    if (r != 0) {
        fd_set wr, ex;
        FD_ZERO(&wr);
        FD_ZERO(&ex);
        FD_SET(s, &wr);
        FD_SET(s, &ex);
        timeval tv;
        tv.tv_sec = (long)(ms / 1000);
        tv.tv_usec = (long)((ms % 1000) * 1000);
        int n = select(0, nullptr, &wr, &ex, &tv);
        if (n <= 0) {
            *why = "timeout";
            closesocket(s);
            return INVALID_SOCKET;
        }
        int err = 0;
        int len = sizeof err;
        getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&err, &len);
        if (FD_ISSET(s, &ex) || err != 0) {
            *why = (err == WSAECONNREFUSED || err == 0) ? "refused" : "error";
            closesocket(s);
            return INVALID_SOCKET;
        }
    }
    u_long off = 0;
    ioctlsocket(s, FIONBIO, &off);
    *why = "connected";
    return s;
}

// ---- the lingering window ---------------------------------------------------------

std::string g_WindowText;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillRect(dc, &rc, (HBRUSH)(COLOR_WINDOW + 1));
        InflateRect(&rc, -12, -12);
        DrawTextA(dc, g_WindowText.c_str(), -1, &rc, DT_WORDBREAK | DT_LEFT | DT_TOP);
        EndPaint(hwnd, &ps);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// Stays alive for ms, showing the outcome in a window when asked to.
void Linger(DWORD ms, bool showWindow, const std::string& text)
{
    if (ms == 0) return;
    HWND hwnd = nullptr;
    if (showWindow) {
        g_WindowText = text;
        WNDCLASSA wc;
        memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.lpszClassName = "DemoViewerWindow";
        RegisterClassA(&wc);
        hwnd = CreateWindowA("DemoViewerWindow", ProgramName().c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 60,
                             60, 520, 200, nullptr, nullptr, wc.hInstance, nullptr);
    }
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
        Sleep(20);
    }
    if (hwnd) DestroyWindow(hwnd);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    g_ReportPath = EnvText("QV_DEMO_REPORT");
    if (g_ReportPath.empty()) g_ReportPath = DefaultReportPath();

    std::string args = ArgumentsOf(GetCommandLineA());
    Report("program=" + ProgramName());
    Report("role=" DEMO_ROLE);
    Report(StrPrintf("bits=%d", (int)(sizeof(void*) * 8)));
    Report("args=" + args);

    std::string value, pipeName;
    bool pipeForm = FindValue(args, "/SOCKFILE:", &pipeName);
    bool loopbackForm = FindValue(args, "/LOOPBACK:", &value);
    uint16_t port = 0;
    if (loopbackForm) {
        unsigned long p = strtoul(value.c_str(), nullptr, 10);
        if (p == 0 || p > 65535) {
            Report("form=loopback");
            Report("result=failed: bad port '" + value + "'");
            return EXIT_BAD_COMMAND_LINE;
        }
        port = (uint16_t)p;
    }
    if (pipeForm == loopbackForm) {
        Report("form=none");
        Report("result=failed: expected exactly one of /SOCKFILE: and /LOOPBACK:");
        return EXIT_BAD_COMMAND_LINE;
    }
    Report(pipeForm ? "form=pipe" : "form=loopback");
    if (pipeForm) {
        std::string user, pass;
        FindValue(args, "/USER:", &user);
        FindValue(args, "/PASS:", &pass);
        Report("pipe=" + pipeName);
        Report("user=" + user);
        Report(StrPrintf("password_given=%d", pass.empty() ? 0 : 1));
    } else {
        Report(StrPrintf("port=%u", port));
    }
    for (const char* opt : {"/WNDDX:", "/WNDDY:"})
        if (FindValue(args, opt, &value)) Report(std::string(opt + 1, strlen(opt) - 2) + "=" + value);

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        Report("result=failed: no sockets");
        return EXIT_NO_CONNECTION;
    }

    SOCKET s = INVALID_SOCKET;
    if (pipeForm) {
        s = SocketFromPipe(pipeName);
    } else {
        std::string why;
        DWORD start = GetTickCount();
        do {
            s = ConnectLocal(port, 1000, &why);
            if (s == INVALID_SOCKET) Sleep(100);
        } while (s == INVALID_SOCKET && GetTickCount() - start < CONNECT_WAIT_MS);
        Report("connect=" + why);
    }
    if (s == INVALID_SOCKET) {
        Report("result=failed: no connection");
        WSACleanup();
        return EXIT_NO_CONNECTION;
    }

    EchoOutcome echo;
    bool ok = RunEcho(s, &echo);
    Report(StrPrintf("echo=%s", ok ? "ok" : "failed"));
    Report(StrPrintf("echo_messages=%u", echo.messages));
    Report("bytes_sent=" + std::to_string(echo.bytesSent));
    Report("bytes_received=" + std::to_string(echo.bytesReceived));
    if (echo.skipped) Report(StrPrintf("other_messages=%u", echo.skipped));
    if (!ok) Report("echo_problem=" + echo.problem);

    if (loopbackForm && EnvNumber("QV_DEMO_PROBE_SECOND", 0)) {
        std::string why;
        SOCKET second = ConnectLocal(port, 3000, &why);
        if (second != INVALID_SOCKET) {
            // Accepted by someone: whether it is really served shows in whether the
            // other end keeps it open; either way the bridge should not have taken it.
            closesocket(second);
            why = "accepted";
        }
        Report("second_connection=" + why);
    }

    // Only this program's handle goes; with the pipe form the launcher still holds
    // its own, so the controller connection itself stays up until the launcher ends.
    closesocket(s);
    Report("connection_closed=1");
    WSACleanup();

    std::string summary = ok ? "viewer started on the handed-over connection: echo ok"
                             : "viewer started, but the echo failed: " + echo.problem;
    Report("result=" + std::string(ok ? "ok" : "failed"));
    Report("summary=" + summary);
    DWORD linger = EnvNumber("QV_DEMO_LINGER_MS", 0);
    if (linger > 600000) linger = 600000;
    Report(StrPrintf("linger_ms=%lu", linger));
    Linger(linger, EnvNumber("QV_DEMO_WINDOW", 0) != 0,
           summary + "\r\n\r\n" +
               (pipeForm ? "Hand-over: socket record through " + pipeName
                         : StrPrintf("Hand-over: bridged local port %u", port)));
    Report(StrPrintf("exit=%d", ok ? EXIT_OK : EXIT_ECHO_FAILED));
    return ok ? EXIT_OK : EXIT_ECHO_FAILED;
}
