// Window helper for the screenshot checks, run under Wine in the launcher's prefix:
// starts the launcher with a private environment, waits for its main window,
// operates it the way a user or the window's own code would, and writes where
// everything is on the screen so that a picture of the screen can be judged.
//
// usage: lookctl STEP [, STEP]...
// Steps run in order; the first one that fails ends the program with exit code 1
// (after printing "fail: <why>" on standard output). A lone "," always separates
// steps, also after "launch ... --".
//   launch [--env NAME=VALUE]... -- PROGRAM [ARG]...   start the launcher; prints "pid N"
//   wait MS                        until the main window is shown
//   lines N MS                     until the systems list holds at least N lines
//   click ID                       the button's click, as the control itself reports it
//   show ID                        show a control the window keeps hidden
//   select INDEX                   select a list line as a mouse click would
//   moveto X Y                     move the main window (screen coordinates)
//   client W H                     resize the main window to a client area of W x H
//   redraw                         repaint the whole window, children included
//   settle MS                      wait, handling nothing, so that painting finishes
//   describe PATH                  write the window's layout as JSON to PATH
//   close                          ask the main window to close
//   waitexit MS                    until the launcher ended
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ui/resource.h"

namespace
{

const char* const MAIN_TITLE = "OSKA Rerudi";
const UINT SEND_TIMEOUT_MS = 3000;
// Every control of the main window, top to bottom as the window shows them.
const int CONTROL_IDS[] = {
    IDC_BANNER,        IDC_SYSTEM_NAME_LABEL,   IDC_SYSTEM_NAME,        IDC_PASSWORD_LABEL,
    IDC_PASSWORD,      IDC_LOCAL_SYSTEMS_LABEL, IDC_SYSTEM_LIST,        IDC_START,
    IDC_OPTIONS,       IDC_CONFIGURE_IP,        IDC_START_CONFIGURATOR, IDC_VERSION,
    IDC_PRIVACY_POLICY};

PROCESS_INFORMATION g_Launcher;
std::string g_strFailure;

bool Fail(const std::string& why)
{
    g_strFailure = why;
    return false;
}

// SendMessage that gives up on a window that stopped answering.
bool Ask(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result)
{
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutA(hwnd, msg, wp, lp, SMTO_ABORTIFHUNG | SMTO_BLOCK, SEND_TIMEOUT_MS, &r))
        return false;
    if (result) *result = (LRESULT)r;
    return true;
}

struct FindState {
    HWND found;
};

BOOL CALLBACK FindMain(HWND hwnd, LPARAM param)
{
    FindState* state = reinterpret_cast<FindState*>(param);
    char title[128] = {};
    char cls[64] = {};
    GetWindowTextA(hwnd, title, sizeof title);
    GetClassNameA(hwnd, cls, sizeof cls);
    if (strcmp(title, MAIN_TITLE) == 0 && strcmp(cls, "#32770") == 0) {
        state->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND MainWindow()
{
    FindState state = {nullptr};
    EnumWindows(FindMain, reinterpret_cast<LPARAM>(&state));
    return state.found;
}

bool NeedMain(HWND* main)
{
    *main = MainWindow();
    if (!*main) return Fail("no main window");
    return true;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c > 0x7E) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string JsonRect(const RECT& r)
{
    char buf[96];
    snprintf(buf, sizeof buf, "[%ld, %ld, %ld, %ld]", (long)r.left, (long)r.top, (long)r.right,
             (long)r.bottom);
    return buf;
}

std::string WindowText(HWND hwnd)
{
    LRESULT len = 0;
    if (!Ask(hwnd, WM_GETTEXTLENGTH, 0, 0, &len) || len < 0 || len > 4096) return std::string();
    std::vector<char> buf((size_t)len + 2, '\0');
    Ask(hwnd, WM_GETTEXT, (WPARAM)buf.size(), (LPARAM)buf.data(), nullptr);
    return std::string(buf.data());
}

// A line's text. Asked for in UTF-16: across processes the narrow form of this
// request is not converted back from the list's own wide strings.
std::string LineText(HWND list, int index)
{
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXTLEN, (WPARAM)index, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                             SEND_TIMEOUT_MS, &len) ||
        (LRESULT)len < 0 || len > 4096)
        return std::string();
    // The line may be replaced between the two requests and LB_GETTEXT takes no
    // buffer size: room for far more than any line of a 28-byte name, whatever the
    // length said.
    std::vector<wchar_t> wide(4096 + 2, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXT, (WPARAM)index, (LPARAM)wide.data(),
                             SMTO_ABORTIFHUNG | SMTO_BLOCK, SEND_TIMEOUT_MS, &got) ||
        (LRESULT)got < 0)
        return std::string();
    char narrow[8192] = {};
    WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, narrow, (int)sizeof narrow - 1, nullptr, nullptr);
    return narrow;
}

// Client area of a window in screen coordinates.
RECT ClientOnScreen(HWND hwnd)
{
    RECT r = {0, 0, 0, 0};
    GetClientRect(hwnd, &r);
    POINT a = {r.left, r.top}, b = {r.right, r.bottom};
    ClientToScreen(hwnd, &a);
    ClientToScreen(hwnd, &b);
    RECT out = {a.x, a.y, b.x, b.y};
    return out;
}

bool Launch(const std::vector<std::string>& env, const std::vector<std::string>& argv)
{
    if (argv.empty()) return Fail("launch: no program");
    for (const std::string& e : env) {
        size_t eq = e.find('=');
        if (eq == std::string::npos || eq == 0) return Fail("launch: bad --env " + e);
        SetEnvironmentVariableA(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str());
    }
    std::string line;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i) line += ' ';
        if (i == 0 || argv[i].find(' ') != std::string::npos)
            line += "\"" + argv[i] + "\"";
        else
            line += argv[i];
    }
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &g_Launcher))
        return Fail("launch: CreateProcess failed, error " + std::to_string(GetLastError()));
    printf("pid %lu\n", (unsigned long)g_Launcher.dwProcessId);
    return true;
}

bool WaitShown(DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND main = MainWindow();
        if (main && IsWindowVisible(main)) {
            printf("window %p\n", (void*)main);
            return true;
        }
        if (g_Launcher.hProcess && WaitForSingleObject(g_Launcher.hProcess, 0) == WAIT_OBJECT_0)
            return Fail("the launcher ended before showing its window");
        if (GetTickCount() - start > ms) return Fail("no main window within " + std::to_string(ms) + " ms");
        Sleep(50);
    }
}

bool WaitLines(int lines, DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND main = MainWindow();
        HWND list = main ? GetDlgItem(main, IDC_SYSTEM_LIST) : nullptr;
        LRESULT count = 0;
        if (list && Ask(list, LB_GETCOUNT, 0, 0, &count) && count >= lines) {
            printf("lines %ld\n", (long)count);
            return true;
        }
        if (GetTickCount() - start > ms)
            return Fail("the list did not reach " + std::to_string(lines) + " lines within " +
                        std::to_string(ms) + " ms (it holds " + std::to_string((long)count) + ")");
        Sleep(50);
    }
}

bool Click(int id)
{
    HWND main;
    if (!NeedMain(&main)) return false;
    HWND control = GetDlgItem(main, id);
    if (!control) return Fail("no control " + std::to_string(id));
    if (!Ask(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control, nullptr))
        return Fail("the window did not take the click");
    return true;
}

bool Show(int id)
{
    HWND main;
    if (!NeedMain(&main)) return false;
    HWND control = GetDlgItem(main, id);
    if (!control) return Fail("no control " + std::to_string(id));
    ShowWindow(control, SW_SHOW);
    return true;
}

bool Select(int index)
{
    HWND main;
    if (!NeedMain(&main)) return false;
    HWND list = GetDlgItem(main, IDC_SYSTEM_LIST);
    LRESULT r = 0;
    if (!list || !Ask(list, LB_SETCURSEL, (WPARAM)index, 0, &r) || r == LB_ERR)
        return Fail("cannot select line " + std::to_string(index));
    if (!Ask(main, WM_COMMAND, MAKEWPARAM(IDC_SYSTEM_LIST, LBN_SELCHANGE), (LPARAM)list, nullptr))
        return Fail("the window did not take the selection");
    return true;
}

bool MoveTo(int x, int y)
{
    HWND main;
    if (!NeedMain(&main)) return false;
    SetWindowPos(main, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return true;
}

bool ResizeClient(int width, int height)
{
    HWND main;
    if (!NeedMain(&main)) return false;
    // The frame is whatever the window has now; try twice in case the first size
    // changed it (a menu bar or caption that wraps would).
    for (int attempt = 0; attempt < 3; ++attempt) {
        RECT window, client;
        GetWindowRect(main, &window);
        GetClientRect(main, &client);
        if (client.right == width && client.bottom == height) return true;
        int w = (window.right - window.left) + width - client.right;
        int h = (window.bottom - window.top) + height - client.bottom;
        SetWindowPos(main, nullptr, 0, 0, w, h, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        Sleep(100);
    }
    RECT client;
    GetClientRect(main, &client);
    if (client.right != width || client.bottom != height)
        return Fail("client area stays " + std::to_string(client.right) + "x" +
                    std::to_string(client.bottom));
    return true;
}

bool Redraw()
{
    HWND main;
    if (!NeedMain(&main)) return false;
    // Painting now (sent, so done when this returns) rather than whenever the
    // window's queue runs dry; the X server still gets the pixels a little later.
    RedrawWindow(main, nullptr, nullptr,
                 RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_FRAME | RDW_UPDATENOW | RDW_ERASENOW);
    Ask(main, WM_NULL, 0, 0, nullptr);
    return true;
}

bool Describe(const std::string& path)
{
    HWND main;
    if (!NeedMain(&main)) return false;
    RECT window;
    GetWindowRect(main, &window);
    std::string out = "{\n";
    out += "  \"window\": " + JsonRect(window) + ",\n";
    out += "  \"client\": " + JsonRect(ClientOnScreen(main)) + ",\n";
    out += "  \"visible\": " + std::string(IsWindowVisible(main) ? "true" : "false") + ",\n";
    out += "  \"controls\": {";
    bool first = true;
    for (int id : CONTROL_IDS) {
        HWND c = GetDlgItem(main, id);
        if (!c) continue;
        RECT r;
        GetWindowRect(c, &r);
        char cls[64] = {};
        GetClassNameA(c, cls, sizeof cls);
        out += first ? "\n" : ",\n";
        first = false;
        out += "    \"" + std::to_string(id) + "\": {\"rect\": " + JsonRect(r) +
               ", \"client\": " + JsonRect(ClientOnScreen(c)) +
               ", \"visible\": " + (IsWindowVisible(c) ? "true" : "false") +
               ", \"enabled\": " + (IsWindowEnabled(c) ? "true" : "false") +
               ", \"class\": " + JsonString(cls) +
               ", \"style\": " + std::to_string((unsigned long)GetWindowLongA(c, GWL_STYLE)) +
               ", \"text\": " + JsonString(WindowText(c)) + "}";
    }
    out += "\n  },\n";
    HWND list = GetDlgItem(main, IDC_SYSTEM_LIST);
    LRESULT count = 0, sel = -1, top = 0;
    if (list) {
        Ask(list, LB_GETCOUNT, 0, 0, &count);
        Ask(list, LB_GETCURSEL, 0, 0, &sel);
        Ask(list, LB_GETTOPINDEX, 0, 0, &top);
    }
    if (count < 0 || count > 1000) count = 0;
    out += "  \"list\": {\"count\": " + std::to_string((long)count) +
           ", \"selected\": " + std::to_string((long)sel) + ", \"top\": " + std::to_string((long)top) +
           ", \"lines\": [";
    const RECT listClient = list ? ClientOnScreen(list) : RECT{0, 0, 0, 0};
    for (LRESULT i = 0; i < count; ++i) {
        RECT item = {0, 0, 0, 0};
        Ask(list, LB_GETITEMRECT, (WPARAM)i, (LPARAM)&item, nullptr);
        RECT onScreen = {item.left + listClient.left, item.top + listClient.top, item.right + listClient.left,
                         item.bottom + listClient.top};
        std::string text = LineText(list, (int)i);
        out += std::string(i ? ", " : "") + "{\"text\": " + JsonString(text) +
               ", \"rect\": " + JsonRect(onScreen) + "}";
    }
    out += "]}\n}\n";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return Fail("cannot write " + path);
    fwrite(out.data(), 1, out.size(), f);
    fclose(f);
    return true;
}

bool Close()
{
    HWND main;
    if (!NeedMain(&main)) return false;
    PostMessageA(main, WM_CLOSE, 0, 0);
    return true;
}

bool WaitExit(DWORD ms)
{
    DWORD start = GetTickCount();
    while (MainWindow()) {
        if (GetTickCount() - start > ms)
            return Fail("the launcher is still there after " + std::to_string(ms) + " ms");
        Sleep(50);
    }
    if (g_Launcher.hProcess && WaitForSingleObject(g_Launcher.hProcess, ms) != WAIT_OBJECT_0)
        return Fail("the launcher process did not end");
    return true;
}

bool ParseInt(const std::string& text, long* value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (!end || *end) return false;
    *value = v;
    return true;
}

// One step: its words (without the separating commas).
bool RunStep(const std::vector<std::string>& w)
{
    const std::string& cmd = w[0];
    long a = 0, b = 0;
    auto arg = [&](size_t i, long* v) { return i < w.size() && ParseInt(w[i], v); };
    if (cmd == "launch") {
        std::vector<std::string> env, argv;
        size_t i = 1;
        for (; i < w.size() && w[i] != "--"; ++i) {
            if (w[i] == "--env" && i + 1 < w.size())
                env.push_back(w[++i]);
            else
                return Fail("launch: unexpected " + w[i]);
        }
        for (++i; i < w.size(); ++i)
            argv.push_back(w[i]);
        return Launch(env, argv);
    }
    if (cmd == "wait" && arg(1, &a)) return WaitShown((DWORD)a);
    if (cmd == "lines" && arg(1, &a) && arg(2, &b)) return WaitLines((int)a, (DWORD)b);
    if (cmd == "click" && arg(1, &a)) return Click((int)a);
    if (cmd == "show" && arg(1, &a)) return Show((int)a);
    if (cmd == "select" && arg(1, &a)) return Select((int)a);
    if (cmd == "moveto" && arg(1, &a) && arg(2, &b)) return MoveTo((int)a, (int)b);
    if (cmd == "client" && arg(1, &a) && arg(2, &b)) return ResizeClient((int)a, (int)b);
    if (cmd == "redraw") return Redraw();
    if (cmd == "settle" && arg(1, &a)) {
        Sleep((DWORD)a);
        return true;
    }
    if (cmd == "describe" && w.size() == 2) return Describe(w[1]);
    if (cmd == "close") return Close();
    if (cmd == "waitexit" && arg(1, &a)) return WaitExit((DWORD)a);
    return Fail("unknown or incomplete step: " + cmd);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::vector<std::string>> steps(1);
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == ",") {
            steps.emplace_back();
            continue;
        }
        steps.back().push_back(word);
    }
    int done = 0;
    for (const auto& step : steps) {
        if (step.empty()) continue;
        if (!RunStep(step)) {
            printf("fail: %s\n", g_strFailure.c_str());
            fflush(stdout);
            return 1;
        }
        ++done;
    }
    if (!done) {
        printf("fail: no steps\n");
        return 2;
    }
    printf("ok\n");
    fflush(stdout);
    return 0;
}
