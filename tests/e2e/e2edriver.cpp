// Test driver for the end-to-end scenarios, run under Wine: starts one program with
// extra environment variables, watches the message boxes it shows, answers them as a
// user would (with ordinary window messages), and reports on standard output:
//   started pid=N
//   box: <title> | <text>        (line breaks in the text written as \n)
//   exit: N                      or   timeout
// Its own exit code is the program's, or 124 when the program had to be killed.
//
// usage: e2edriver [--env NAME=VALUE]... [--timeout MS] [--keep-boxes] -- <command line>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tests/harness/childcommand.h"

namespace
{

const int EXIT_TIMEOUT = 124;
const int EXIT_USAGE = 125;
const UINT MESSAGE_BOX_TEXT_ID = 0xFFFF; // the static text of a system message box

struct Watch {
    DWORD pid;
    bool answer;
    std::set<HWND>* seen;
};

void Say(const std::string& line)
{
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string OneLine(const char* text)
{
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p == '\r') continue;
        if (*p == '\n')
            out += "\\n";
        else
            out += *p;
    }
    return out;
}

// A message box is a dialog-class window holding the well-known static text id.
BOOL CALLBACK VisitWindow(HWND hwnd, LPARAM param)
{
    Watch* w = (Watch*)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != w->pid) return TRUE;
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (strcmp(cls, "#32770") != 0) return TRUE;
    HWND text = GetDlgItem(hwnd, MESSAGE_BOX_TEXT_ID);
    if (!text) return TRUE;
    if (w->seen->insert(hwnd).second) {
        char title[512] = {};
        char body[4096] = {};
        GetWindowTextA(hwnd, title, sizeof title);
        GetWindowTextA(text, body, sizeof body);
        Say(std::string("box: ") + OneLine(title) + " | " + OneLine(body));
    }
    if (w->answer) {
        // The buttons the launcher's boxes offer: OK first, else whatever dismisses.
        if (GetDlgItem(hwnd, IDOK))
            PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        else
            PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    return TRUE;
}

} // namespace

int main(int argc, char** argv)
{
    DWORD timeoutMs = 60000;
    bool answer = true;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") break;
        EnvOption env = TakeEnvOption("e2edriver", argc, argv, &i);
        if (env == EnvOption::Bad) return EXIT_USAGE;
        if (env == EnvOption::Taken) continue;
        if (a == "--timeout" && i + 1 < argc) {
            timeoutMs = (DWORD)strtoul(argv[++i], nullptr, 10);
        } else if (a == "--keep-boxes") {
            answer = false;
        } else {
            fprintf(stderr, "e2edriver: unknown argument %s\n", a.c_str());
            return EXIT_USAGE;
        }
    }
    std::string command;
    if (i >= argc || !CommandAfterSeparator(&command)) {
        fprintf(stderr,
                "usage: e2edriver [--env NAME=VALUE]... [--timeout MS] [--keep-boxes] -- <command line>\n");
        return EXIT_USAGE;
    }

    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof pi);
    std::vector<char> buf(command.begin(), command.end());
    buf.push_back('\0');
    if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        Say("start failed: error " + std::to_string(GetLastError()));
        return EXIT_USAGE;
    }
    Say("started pid=" + std::to_string(pi.dwProcessId));

    std::set<HWND> seen;
    Watch w = {pi.dwProcessId, answer, &seen};
    DWORD start = GetTickCount();
    int rc = EXIT_TIMEOUT;
    for (;;) {
        // Boxes are looked at before the exit test so that one shown just before the
        // end is still reported.
        EnumWindows(VisitWindow, (LPARAM)&w);
        if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            Say("exit: " + std::to_string(code));
            rc = (int)code;
            break;
        }
        if (GetTickCount() - start >= timeoutMs) {
            TerminateProcess(pi.hProcess, EXIT_TIMEOUT);
            WaitForSingleObject(pi.hProcess, 5000);
            Say("timeout");
            break;
        }
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return rc;
}
