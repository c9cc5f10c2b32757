#include "connectdlg.h"

#include "../util/qvtypes.h"
#include "resource.h"

namespace
{
const UINT PBM_SETRANGE_MSG = WM_USER + 1;
const UINT PBM_SETPOS_MSG = WM_USER + 2;
} // namespace

std::string FormatConnectLogLine(const QVSystemTime& time, const std::string& text)
{
    return StrPrintf("%02d:%02d:%02d %s", time.wHour, time.wMinute, time.wSecond, text.c_str());
}

std::string FormatConnectLogHeader(const QVSystemTime& time, const std::string& title)
{
    return StrPrintf("%02d/%02d/%4d %02d:%02d:%02d OSKA Connect (%s)\r\n\r\n", time.wMonth, time.wDay,
                     time.wYear, time.wHour, time.wMinute, time.wSecond, title.c_str());
}

CConnectDlg::CConnectDlg(CWnd* parent) : CDialog(IDD_CONNECT, parent), m_bCancelled(0) {}

CConnectDlg::~CConnectDlg()
{
    while (!m_LogLines.IsEmpty())
        delete static_cast<std::string*>(m_LogLines.RemoveHead());
}

QVSystemTime CConnectDlg::CurrentTime() const
{
    CQVTime now;
    return now.Get();
}

BOOL CConnectDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    ::SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETRANGE_MSG, 0, MAKELPARAM(0, 100));
    return TRUE;
}

void CConnectDlg::SetStatus(const std::string& text)
{
    HWND list = GetDlgItem(IDC_STATUS_LIST);
    if (list) {
        ::SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)text.c_str());
        LRESULT count = ::SendMessageA(list, LB_GETCOUNT, 0, 0);
        ::SendMessageA(list, LB_SETCURSEL, (WPARAM)(count - 1), 0);
        // The caller keeps the message loop from running between lines.
        ::UpdateWindow(m_hWnd);
    }
    m_LogLines.AddTail(new std::string(FormatConnectLogLine(CurrentTime(), text)));
    ::Sleep(0);
}

namespace
{
// Whatever is waiting now, but not without end: a message that posts another
// must not keep the attempt from its own work.
void PumpWaiting(HWND dialog, const int32_t* cancelled)
{
    for (int i = 0; i < 64 && !(cancelled && *cancelled); ++i) {
        MSG msg;
        if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) break;
        if (msg.message == WM_QUIT) {
            // Not ours to take: the loop that owns the quit request must see it.
            ::PostQuitMessage((int)msg.wParam);
            break;
        }
        if (!dialog || !::IsDialogMessageA(dialog, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
}
} // namespace

bool CWindowPump::KeepWaiting()
{
    PumpWaiting(nullptr, nullptr);
    return true;
}

bool CConnectDlg::KeepWaiting()
{
    PumpWaiting(m_hWnd, &m_bCancelled);
    return !m_bCancelled;
}

void CConnectDlg::OnProgress(uint32_t done, uint32_t total)
{
    if (total == 0) return;
    const int percent = (int)((uint64_t)done * 100u / total);
    ReplaceLastLine(StrPrintf("Downloading File %d%% Complete", percent));
    SetProgress(percent);
}

void CConnectDlg::OnStatus(const char* text)
{
    SetStatus(std::string(text ? text : ""));
}

void CConnectDlg::ReplaceLastLine(const std::string& text)
{
    HWND list = GetDlgItem(IDC_STATUS_LIST);
    if (list) {
        LRESULT count = ::SendMessageA(list, LB_GETCOUNT, 0, 0);
        if (count > 0) ::SendMessageA(list, LB_DELETESTRING, (WPARAM)(count - 1), 0);
    }
    SetStatus(text);
}

void CConnectDlg::SetProgress(int percent)
{
    ::SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETPOS_MSG, (WPARAM)percent, 0);
}

void CConnectDlg::OnOK()
{
    // There is no OK button; Enter must not close the window that the attempt
    // in progress still writes to.
}

void CConnectDlg::OnCancel()
{
    m_bCancelled = 1;
}

BOOL CConnectDlg::OnCommand(UINT id, UINT code, HWND hwndCtl)
{
    if (id == IDC_CONNECT_CANCEL && code == BN_CLICKED) {
        OnCancel();
        return TRUE;
    }
    return CDialog::OnCommand(id, code, hwndCtl);
}

namespace
{
bool WriteAll(HANDLE file, const std::string& bytes)
{
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr)) return false;
    return written == bytes.size();
}
} // namespace

void CConnectDlg::WriteLog(const std::string& path, const std::string& title)
{
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    if (WriteAll(file, FormatConnectLogHeader(CurrentTime(), title))) {
        POSITION pos = m_LogLines.GetHeadPosition();
        while (pos) {
            const std::string* line = static_cast<const std::string*>(m_LogLines.GetNext(pos));
            if (!WriteAll(file, *line + "\r\n")) break;
        }
    }
    ::CloseHandle(file);
}
