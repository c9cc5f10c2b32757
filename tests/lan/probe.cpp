// Probe for the local-network scenarios, run under Wine in the launcher's prefix and
// network namespace: starts the launcher, then answers requests read one per line
// from standard input, one reply line each on standard output, about what a user
// would see in the launcher's windows, and acts as a user would (clicks, typing,
// answering message boxes) with ordinary window messages.
//
// usage: lanprobe [--env NAME=VALUE]... -- <launcher command line>
//
// Requests are words separated by single spaces, the last word taking the rest of
// the line; replies are fields separated by TAB. Texts in both are escaped: bytes
// outside printable ASCII, '\' and TAB as \xNN.
//   window MS              -> "window <hwnd>" once the main window exists, or "none"
//   list                   -> "list <sel> <count> <line 0> <line 1> ..."
//   text ID                -> "text <text of control ID of the main window>"
//   controls               -> "controls <id>:<visible><enabled> ... window:<visible><enabled>" of the
//                             main window's buttons, fields and list (STATE_IDS) and of the window
//   rect                   -> "rect <left> <top> <right> <bottom>" of the main window
//   click ID               -> posts the button's click to the main window; "clicked"
//   type ID TEXT           -> sets the field's text and reports the change; "typed"
//   select INDEX           -> selects a line as a click would; "selected"
//   watch MS               -> samples the list every 5 ms: "watch <ms>:<count>:<sel line> ..." at changes
//   boxes                  -> "boxes <title|text> ..." of the launcher's message boxes
//   press BUTTON SUBSTRING -> presses BUTTON (1 OK, 2 Cancel, 6 Yes, 7 No) on the first box whose
//                             text holds SUBSTRING; "pressed" or "none"
//   dialog TITLE           -> "dialog <hwnd>" of the launcher's window with that title, or "none"
//   dlgip ID TITLE         -> "ip a.b.c.d" as shown by the address control ID of that dialog
//   dlgclick ID TITLE      -> posts the button ID's click to that dialog; "clicked" or "none"
//   close                  -> posts the close request to the main window; "closing"
//   status                 -> "running" or "exit <code>"
//   waitexit MS            -> "exit <code>" once the launcher ended, else "running"
//   kill                   -> ends the launcher at once; "killed"
//   quit                   -> "bye"; the probe ends (the launcher is left running)
// A window that does not answer within 2 s gives the reply "hung".
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/harness/childcommand.h"
#include "ui/resource.h"

namespace
{

const char* const MAIN_TITLE = "OSKA Rerudi";
const UINT SEND_TIMEOUT_MS = 2000;
const size_t LINE_ROOM = 1024; // wide characters
const UINT MESSAGE_BOX_TEXT_ID = 0xFFFF;
const int STATE_IDS[] = {IDC_START,       IDC_START_CONFIGURATOR, IDC_OPTIONS,    IDC_CONFIGURE_IP,
                         IDC_SYSTEM_NAME, IDC_PASSWORD,           IDC_SYSTEM_LIST};

PROCESS_INFORMATION g_Launcher;
bool g_bHung = false;

void Reply(const std::string& line)
{
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string Escape(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7E || c == '\\') {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && HexDigit(text[i + 2]) >= 0 &&
            HexDigit(text[i + 3]) >= 0) {
            out += (char)(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// SendMessage that gives up on a window that stopped answering. Every message
// asked here answers an int; across processes a 64-bit Wine hands LB_ERR back
// as 0xFFFFFFFF, which read as a length is a request for 8 GB of zeroes.
bool Ask(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result)
{
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutA(hwnd, msg, wp, lp, SMTO_BLOCK, SEND_TIMEOUT_MS, &r)) {
        g_bHung = true;
        return false;
    }
    if (result) *result = (LRESULT)(int)(uint32_t)r;
    return true;
}

bool OwnedByLauncher(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid == g_Launcher.dwProcessId;
}

std::string ClassOf(HWND hwnd)
{
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    return cls;
}

std::string TitleOf(HWND hwnd)
{
    char title[512] = {};
    GetWindowTextA(hwnd, title, sizeof title);
    return title;
}

struct Search {
    std::string title;
    bool boxesOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK VisitTopLevel(HWND hwnd, LPARAM param)
{
    Search* s = (Search*)param;
    if (!OwnedByLauncher(hwnd) || ClassOf(hwnd) != "#32770") return TRUE;
    if (s->boxesOnly) {
        if (GetDlgItem(hwnd, MESSAGE_BOX_TEXT_ID)) s->found.push_back(hwnd);
    } else if (TitleOf(hwnd) == s->title) {
        s->found.push_back(hwnd);
    }
    return TRUE;
}

HWND FindDialog(const std::string& title)
{
    Search s{title, false, {}};
    EnumWindows(VisitTopLevel, (LPARAM)&s);
    // The main window is the one without a message box's text; the newest of equals wins.
    for (HWND h : s.found)
        if (!GetDlgItem(h, MESSAGE_BOX_TEXT_ID)) return h;
    return nullptr;
}

std::vector<HWND> FindBoxes()
{
    Search s{"", true, {}};
    EnumWindows(VisitTopLevel, (LPARAM)&s);
    return s.found;
}

HWND MainWindow()
{
    return FindDialog(MAIN_TITLE);
}

std::string WindowText(HWND hwnd)
{
    LRESULT len = 0;
    if (!Ask(hwnd, WM_GETTEXTLENGTH, 0, 0, &len) || len < 0 || len > (LRESULT)LINE_ROOM) return std::string();
    std::vector<char> buf((size_t)len + 2, 0);
    LRESULT got = 0;
    if (!Ask(hwnd, WM_GETTEXT, (WPARAM)buf.size(), (LPARAM)buf.data(), &got)) return std::string();
    return std::string(buf.data(), strnlen(buf.data(), buf.size()));
}

// One line's text. Asked for in UTF-16: a narrow request across processes is not
// converted for every list, and the line would read as its first letter.
bool ListLine(HWND list, int index, std::string* text)
{
    // LB_GETTEXT takes no buffer size, and a length asked for first may be stale by
    // now (answers keep arriving): room for far more than any line of a 28-byte name.
    std::vector<wchar_t> wide(LINE_ROOM + 2, 0);
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(list, LB_GETTEXT, (WPARAM)index, (LPARAM)wide.data(), SMTO_BLOCK,
                             SEND_TIMEOUT_MS, &r)) {
        g_bHung = true;
        return false;
    }
    if ((int)(uint32_t)r == LB_ERR) return false; // the line went meanwhile
    wide.back() = 0;
    int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> narrow(n > 0 ? (size_t)n : 1, 0);
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, narrow.data(), n, nullptr, nullptr);
    *text = narrow.data();
    return true;
}

// The list read line by line while lines age out and arrive: a line gone between
// the count and its turn is left out (under a flood of answers no two readings of
// a whole list agree anyway).
bool ListLines(HWND list, std::vector<std::string>* lines, int* sel)
{
    LRESULT count = 0;
    if (!Ask(list, LB_GETCOUNT, 0, 0, &count) || count < 0) return false;
    LRESULT cur = -1;
    if (!Ask(list, LB_GETCURSEL, 0, 0, &cur)) return false;
    *sel = (int)cur;
    lines->clear();
    for (LRESULT i = 0; i < count; ++i) {
        std::string text;
        if (ListLine(list, (int)i, &text)) {
            lines->push_back(text);
        } else if (g_bHung) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> SplitWords(const std::string& line, size_t maxParts)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() + 1 < maxParts) {
        size_t sp = line.find(' ', start);
        if (sp == std::string::npos) break;
        parts.push_back(line.substr(start, sp - start));
        start = sp + 1;
    }
    parts.push_back(line.substr(start));
    return parts;
}

std::string ExitState()
{
    DWORD code = 0;
    if (!GetExitCodeProcess(g_Launcher.hProcess, &code)) return "exit unknown";
    if (code == STILL_ACTIVE && WaitForSingleObject(g_Launcher.hProcess, 0) == WAIT_TIMEOUT) return "running";
    return "exit " + std::to_string(code);
}

// The text an address control shows: its four edit fields, left to right.
struct Field {
    int x;
    HWND hwnd;
};

BOOL CALLBACK VisitChild(HWND hwnd, LPARAM param)
{
    std::vector<Field>* fields = (std::vector<Field>*)param;
    std::string cls = ClassOf(hwnd);
    if (_stricmp(cls.c_str(), "Edit") == 0) {
        RECT r;
        GetWindowRect(hwnd, &r);
        fields->push_back(Field{r.left, hwnd});
    }
    return TRUE;
}

std::string AddressControlText(HWND control)
{
    std::vector<Field> fields;
    EnumChildWindows(control, VisitChild, (LPARAM)&fields);
    std::sort(fields.begin(), fields.end(), [](const Field& a, const Field& b) { return a.x < b.x; });
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) out += ".";
        std::string t = WindowText(fields[i].hwnd);
        out += t.empty() ? "_" : t;
    }
    return out;
}

std::string Handle(const std::string& line)
{
    std::vector<std::string> p = SplitWords(line, 3);
    const std::string& op = p[0];
    g_bHung = false;

    if (op == "status") return ExitState();
    if (op == "waitexit") {
        DWORD ms = p.size() > 1 ? strtoul(p[1].c_str(), nullptr, 10) : 0;
        WaitForSingleObject(g_Launcher.hProcess, ms);
        return ExitState();
    }
    if (op == "kill") {
        TerminateProcess(g_Launcher.hProcess, 137);
        WaitForSingleObject(g_Launcher.hProcess, 5000);
        return "killed";
    }
    if (op == "window") {
        DWORD ms = p.size() > 1 ? strtoul(p[1].c_str(), nullptr, 10) : 0;
        DWORD start = GetTickCount();
        for (;;) {
            HWND h = MainWindow();
            // Found once its thread has come to read messages: until then the
            // window is still being set up.
            if (h && Ask(h, WM_NULL, 0, 0, nullptr)) return "window\t" + std::to_string((uintptr_t)h);
            if (GetTickCount() - start >= ms) return "none";
            if (WaitForSingleObject(g_Launcher.hProcess, 20) == WAIT_OBJECT_0) return "none";
        }
    }
    if (op == "boxes") {
        std::string out = "boxes";
        for (HWND b : FindBoxes())
            out += "\t" + Escape(TitleOf(b)) + "|" + Escape(WindowText(GetDlgItem(b, MESSAGE_BOX_TEXT_ID)));
        return out;
    }
    if (op == "press") {
        if (p.size() < 3) return "error press wants BUTTON SUBSTRING";
        int button = atoi(p[1].c_str());
        std::string want = Unescape(p[2]);
        for (HWND b : FindBoxes()) {
            std::string text = WindowText(GetDlgItem(b, MESSAGE_BOX_TEXT_ID));
            if (text.find(want) == std::string::npos) continue;
            PostMessageA(b, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(b, button));
            return "pressed";
        }
        return "none";
    }
    if (op == "dialog" || op == "dlgip" || op == "dlgclick") {
        std::string title = op == "dialog" ? (p.size() > 1 ? line.substr(op.size() + 1) : "")
                                           : (p.size() > 2 ? Unescape(p[2]) : "");
        HWND d = FindDialog(op == "dialog" ? Unescape(title) : title);
        // A dialog is there once it is shown and its thread reads messages: before,
        // its controls may still be in the making.
        if (!d || !IsWindowVisible(d) || !Ask(d, WM_NULL, 0, 0, nullptr)) return "none";
        if (op == "dialog") return "dialog\t" + std::to_string((uintptr_t)d);
        int id = atoi(p[1].c_str());
        HWND c = GetDlgItem(d, id);
        if (!c) return "none";
        if (op == "dlgip") return "ip\t" + AddressControlText(c);
        PostMessageA(d, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)c);
        return "clicked";
    }

    HWND main = MainWindow();
    if (!main) return "nowindow";
    std::string out;
    if (op == "list") {
        std::vector<std::string> lines;
        int sel = -1;
        if (!ListLines(GetDlgItem(main, IDC_SYSTEM_LIST), &lines, &sel))
            return g_bHung ? "hung" : "error list";
        out = "list\t" + std::to_string(sel) + "\t" + std::to_string(lines.size());
        for (const std::string& l : lines)
            out += "\t" + Escape(l);
    } else if (op == "text") {
        int id = p.size() > 1 ? atoi(p[1].c_str()) : 0;
        HWND c = GetDlgItem(main, id);
        if (!c) return "nocontrol";
        out = "text\t" + Escape(WindowText(c));
    } else if (op == "controls") {
        out = "controls";
        for (int id : STATE_IDS) {
            HWND c = GetDlgItem(main, id);
            out += "\t" + std::to_string(id) + ":" + (c && IsWindowVisible(c) ? "V" : "h") +
                   (c && IsWindowEnabled(c) ? "E" : "d");
        }
        out += std::string("\twindow:") + (IsWindowVisible(main) ? "V" : "h") +
               (IsWindowEnabled(main) ? "E" : "d");
    } else if (op == "rect") {
        RECT r;
        GetWindowRect(main, &r);
        out = "rect\t" + std::to_string(r.left) + "\t" + std::to_string(r.top) + "\t" +
              std::to_string(r.right) + "\t" + std::to_string(r.bottom);
    } else if (op == "click") {
        int id = p.size() > 1 ? atoi(p[1].c_str()) : 0;
        PostMessageA(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(main, id));
        out = "clicked";
    } else if (op == "type") {
        if (p.size() < 2) return "error type wants ID TEXT";
        int id = atoi(p[1].c_str());
        std::string text = p.size() > 2 ? Unescape(p[2]) : std::string();
        HWND c = GetDlgItem(main, id);
        if (!c) return "nocontrol";
        // The edit control reports the change itself; the explicit notification
        // covers controls that do not, and the window's handler is idempotent.
        Ask(c, WM_SETTEXT, 0, (LPARAM)text.c_str(), nullptr);
        Ask(main, WM_COMMAND, MAKEWPARAM(id, EN_CHANGE), (LPARAM)c, nullptr);
        out = "typed";
    } else if (op == "select") {
        int index = p.size() > 1 ? atoi(p[1].c_str()) : -1;
        HWND list = GetDlgItem(main, IDC_SYSTEM_LIST);
        Ask(list, LB_SETCURSEL, (WPARAM)index, 0, nullptr);
        Ask(main, WM_COMMAND, MAKEWPARAM(IDC_SYSTEM_LIST, LBN_SELCHANGE), (LPARAM)list, nullptr);
        out = "selected";
    } else if (op == "watch") {
        DWORD ms = p.size() > 1 ? strtoul(p[1].c_str(), nullptr, 10) : 0;
        HWND list = GetDlgItem(main, IDC_SYSTEM_LIST);
        DWORD start = GetTickCount();
        std::string last;
        out = "watch";
        for (;;) {
            DWORD now = GetTickCount() - start;
            LRESULT count = -1, sel = -1;
            bool ok = Ask(list, LB_GETCOUNT, 0, 0, &count) && Ask(list, LB_GETCURSEL, 0, 0, &sel);
            std::string selText;
            if (ok && sel >= 0) ListLine(list, (int)sel, &selText);
            std::string state = ok ? std::to_string(count) + ":" + Escape(selText) : std::string("hung");
            if (state != last) {
                out += "\t" + std::to_string(now) + ":" + state;
                last = state;
            }
            if (now >= ms || WaitForSingleObject(g_Launcher.hProcess, 5) == WAIT_OBJECT_0) break;
        }
        return out;
    } else if (op == "close") {
        PostMessageA(main, WM_CLOSE, 0, 0);
        out = "closing";
    } else {
        return "error unknown request " + Escape(op);
    }
    return g_bHung ? "hung" : out;
}

} // namespace

int main(int argc, char** argv)
{
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") break;
        EnvOption env = TakeEnvOption("lanprobe", argc, argv, &i);
        if (env == EnvOption::Bad) return 2;
        if (env == EnvOption::NotThis) {
            fprintf(stderr, "lanprobe: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    std::string command;
    if (i >= argc || !CommandAfterSeparator(&command)) {
        fprintf(stderr, "usage: lanprobe [--env NAME=VALUE]... -- <command line>\n");
        return 2;
    }
    // The launcher's own diagnostic output must not mix with the replies.
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul;
    memset(&g_Launcher, 0, sizeof g_Launcher);
    std::vector<char> buf(command.begin(), command.end());
    buf.push_back('\0');
    BOOL started =
        CreateProcessA(nullptr, buf.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &g_Launcher);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) {
        Reply("startfailed\t" + std::to_string(GetLastError()));
        return 3;
    }
    Reply("started\t" + std::to_string(g_Launcher.dwProcessId));

    char line[4096];
    while (fgets(line, sizeof line, stdin)) {
        std::string req(line);
        while (!req.empty() && (req.back() == '\n' || req.back() == '\r'))
            req.pop_back();
        if (req.empty()) continue;
        if (req == "quit") {
            Reply("bye");
            break;
        }
        Reply(Handle(req));
    }
    CloseHandle(g_Launcher.hThread);
    CloseHandle(g_Launcher.hProcess);
    return 0;
}
