// The main window's logic: saved login, the list of local systems kept fresh by
// discovery, the option area, and the timer that watches a started program.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cstring>

#include "../protocol/discovery.h"
#include "../protocol/qvserver.h"
#include "../remote/loopback.h"
#include "../remote/netaddr.h"
#include "../ui/connectdlg.h"
#include "../ui/resource.h"
#include "../util/folders.h"
#include "../util/qvfile.h"
#include "../util/qvtick.h"
#include "loginfile.h"
#include "options.h"
#include "voltarodlg.h"

#ifndef RERUDI_PRIVACY_URL
#error "RERUDI_PRIVACY_URL must name the privacy-policy page"
#endif

namespace {

const UINT_PTR TICK_TIMER = 1;
const UINT TICK_PERIOD_MS = 300;
const uint32_t PING_PERIOD_MS = 500;
const uint32_t ENTRY_MAX_AGE_MS = 2000;
// A host that answers without pause must not keep the window's thread in the
// drain: per tick each socket gives at most s_nMaxDatagramsPerTick datagrams, or
// what it can in this long; the rest wait in the socket for the next tick (and
// what does not fit there is dropped by the system, as with any datagram).
const uint32_t MAX_DRAIN_MS_PER_TICK = 100;
const uint32_t SILENT_SEARCH_MS = 250;
const uint32_t SILENT_SEARCH_INTERVAL_MS = 50;
const char LOGIN_FILE_NAME[] = "LOGIN.DAT";
const char GATEWAY_MUTEX[] = "GatewayMutex";
const char LOCAL_MACHINE_NAME[] = "Local Machine";

// Files that older launchers kept directly in the data folder; they now live in
// the folder of the build that uses them.
const char* const BUILD_FILES[] = {"BRIGHTLEAF.EXE", "TIDEWORKER.EXE", "MOSSDESK.EXE", "AREA.CSV"};

bool EqualsNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = (char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = (char)(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

std::string LoginFilePath() { return GetDataFolder() + "\\" + LOGIN_FILE_NAME; }

} // namespace

bool CVOLTARODlg::s_bLocalNetworkOff = false;
int CVOLTARODlg::s_nMaxDatagramsPerTick = 256;

CVOLTARODlg::CVOLTARODlg(const std::string& systemName, const std::string& password,
                         const std::string& sizeOption, uint32_t targetAddress, int startType, bool silent,
                         CWnd* parent)
    : CDialog(IDD_RERUDI_DIALOG, parent),
      m_hIcon(::LoadIconA(QVGetInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_strSystemName(systemName),
      m_strPassword(password),
      m_bRememberLogin(1),
      m_dwLastAddress(0),
      m_bOptionsExpanded(0),
      m_nSizeClass(2),
      m_dwTargetAddress(targetAddress),
      m_nStartType(startType),
      m_bSilent(silent),
      m_strSizeOption(sizeOption),
      m_bBusy(0),
      m_bCloseWhenIdle(0),
      m_pProgressDlg(nullptr),
      m_pLoopBack(nullptr),
      m_dwLastPingTick(GetTick()),
      m_bRecordHandedOver(false),
      m_hOldCursor(nullptr),
      m_hPrivacyFont(nullptr),
      m_bSettingFields(false)
{
    memset(&m_ProcessInfo, 0, sizeof(m_ProcessInfo));

    if (m_strSystemName.empty()) {
        // Fields the file does not hold keep the values they have now.
        LoginData data;
        data.systemName = m_strSystemName;
        data.password = m_strPassword;
        data.lastAddress = m_dwLastAddress;
        data.optionsExpanded = m_bOptionsExpanded;
        data.rememberLogin = m_bRememberLogin;
        data.sizeClass = (uint32_t)m_nSizeClass;
        if (ReadLoginFile(LoginFilePath(), data)) {
            m_strSystemName = data.systemName;
            m_strPassword = data.password;
            m_dwLastAddress = data.lastAddress;
            m_bOptionsExpanded = data.optionsExpanded;
            m_bRememberLogin = data.rememberLogin;
            m_nSizeClass = (int32_t)data.sizeClass;
            m_strSavedSystemName = m_strSystemName;
            m_strSavedPassword = m_strPassword;
        }
    }
    if (m_bSilent) {
        m_strSystemName = systemName;
        m_strPassword = password;
    }
    StartDiscovery();
}

CVOLTARODlg::~CVOLTARODlg()
{
    if (m_pProgressDlg) {
        m_pProgressDlg->EndDialog(0);
        delete m_pProgressDlg;
        m_pProgressDlg = nullptr;
    }
    delete m_pLoopBack;
    m_pLoopBack = nullptr;
    if (g_pServer && g_pServer->GetConnection())
        g_pServer->GetConnection()->Close();
    StopDiscovery();
    if (m_ProcessInfo.hThread)
        ::CloseHandle(m_ProcessInfo.hThread);
    if (m_ProcessInfo.hProcess)
        ::CloseHandle(m_ProcessInfo.hProcess);
    if (m_hPrivacyFont)
        ::DeleteObject(m_hPrivacyFont);
}

void CVOLTARODlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Control(pDX, IDC_SYSTEM_LIST, m_SystemList);
    DDX_Text(pDX, IDC_SYSTEM_NAME, m_strSystemName);
    DDX_Text(pDX, IDC_PASSWORD, m_strPassword);
}

void CVOLTARODlg::ShowFields()
{
    // Setting an edit's text reports a change; our own change must not be taken
    // for typing (it would re-select lines and rewrite the password mid-way).
    m_bSettingFields = true;
    UpdateData(false);
    m_bSettingFields = false;
}

void CVOLTARODlg::ShowControl(int id, bool show, bool enable)
{
    HWND control = GetDlgItem(id);
    if (!control)
        return;
    ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    ::EnableWindow(control, enable ? TRUE : FALSE);
}

void CVOLTARODlg::EnableStartButtons(BOOL enable)
{
    ::EnableWindow(GetDlgItem(IDC_START_CONFIGURATOR), enable);
    ::EnableWindow(GetDlgItem(IDC_START), enable && (!m_strSystemName.empty() || g_bDemoMode));
}

// "Start Rerudi" has nothing to start without a system name; while an attempt or
// a started program holds the session it stays as the start procedure left it.
void CVOLTARODlg::UpdateStartButton()
{
    if (m_bBusy || m_ProcessInfo.hProcess)
        return;
    ::EnableWindow(GetDlgItem(IDC_START), !m_strSystemName.empty() || g_bDemoMode);
}

BOOL CVOLTARODlg::OnInitDialog()
{
    m_bSettingFields = true;
    CDialog::OnInitDialog();
    m_bSettingFields = false;
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    m_Appearance.SetUpBanner(m_hWnd);

    // ToggleOptions inverts the state once more and lays the controls out for it.
    m_bOptionsExpanded = !m_bOptionsExpanded;
    ToggleOptions(true);

    // The compact form: name, password, a tall start button and the link.
    const int hidden[] = {IDC_SYSTEM_LIST, IDC_START_CONFIGURATOR, IDC_OPTIONS, IDC_CONFIGURE_IP,
                          IDC_LOCAL_SYSTEMS_LABEL};
    for (int id : hidden)
        ShowControl(id, false, false);
    RECT window, passwordRect, startRect;
    GetWindowRect(&window);
    ::GetWindowRect(GetDlgItem(IDC_PASSWORD), &passwordRect);
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, window.right - window.left, passwordRect.bottom + 16 - window.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    HWND start = GetDlgItem(IDC_START);
    if (start) {
        ::GetWindowRect(start, &startRect);
        ScreenToClient(&startRect);
        RECT passwordClient = passwordRect;
        ScreenToClient(&passwordClient);
        ::MoveWindow(start, startRect.left, startRect.top, startRect.right - startRect.left,
                     passwordClient.bottom - startRect.top, TRUE);
    }
    ::ShowWindow(GetDlgItem(IDC_VERSION), SW_HIDE);
    Invalidate();

    if (g_bDemoMode) {
        ::EnableWindow(GetDlgItem(IDC_SYSTEM_NAME), FALSE);
        ::EnableWindow(GetDlgItem(IDC_PASSWORD), FALSE);
        ::EnableWindow(GetDlgItem(IDC_SYSTEM_LIST), FALSE);
        EnableStartButtons(TRUE);
    }

    const std::string dataFolder = GetDataFolder();
    const std::string buildFolder = dataFolder + "\\" + GetBuildVersion(false);
    if (CreateFolder(buildFolder)) {
        for (const char* name : BUILD_FILES)
            QVMoveFile(dataFolder + "\\" + name, buildFolder + "\\" + name);
    }

    SetDlgItemText(IDC_VERSION, GetBuildVersion(true));
    SetTimer(TICK_TIMER, TICK_PERIOD_MS);
    UpdateStartButton();

    if (m_bSilent) {
        if (m_dwTargetAddress == 0 && !s_bLocalNetworkOff) {
            CSysLocator* locator = new CSysLocator(SILENT_SEARCH_INTERVAL_MS);
            const uint32_t start = GetTick();
            while (TickSince(start) < SILENT_SEARCH_MS) {
                SYSTEM_ANSWER answer;
                if (locator->Next(answer) && m_strSystemName == answer.szName) {
                    m_dwTargetAddress = answer.dwAddress;
                    break;
                }
            }
            delete locator;
        }
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (m_nStartType == 0)
            StartViewer(0);
        else if (m_nStartType == 1)
            StartViewer(1);
    }

    HWND privacy = GetDlgItem(IDC_PRIVACY_POLICY);
    if (privacy) {
        LOGFONTA font;
        HFONT current = (HFONT)::SendMessageA(privacy, WM_GETFONT, 0, 0);
        if (!current)
            current = (HFONT)::GetStockObject(DEFAULT_GUI_FONT);
        if (::GetObjectA(current, sizeof(font), &font) == sizeof(font)) {
            font.lfHeight = -12; // character height, not cell height
            m_hPrivacyFont = ::CreateFontIndirectA(&font);
            if (m_hPrivacyFont)
                ::SendMessageA(privacy, WM_SETFONT, (WPARAM)m_hPrivacyFont, TRUE);
        }
    }
    return TRUE;
}

void CVOLTARODlg::OnOK()
{
    // Enter never closes the launcher.
}

void CVOLTARODlg::OnCancel() { EndDialog(IDCANCEL); }

BOOL CVOLTARODlg::OnCommand(UINT id, UINT code, HWND hwndCtl)
{
    (void)hwndCtl;
    switch (id) {
    case IDC_START:
        if (code == BN_CLICKED)
            OnStartCommand(0);
        return TRUE;
    case IDC_START_CONFIGURATOR:
        if (code == BN_CLICKED)
            OnStartCommand(1);
        return TRUE;
    case IDC_OPTIONS:
        if (code == BN_CLICKED)
            ToggleOptions(false);
        return TRUE;
    case IDC_CONFIGURE_IP:
        if (code == BN_CLICKED)
            OnConfigureIP();
        return TRUE;
    case ID_SHOW_HELP: {
        CDialog help(IDD_HELP, this);
        help.DoModal();
        return TRUE;
    }
    case IDC_PRIVACY_POLICY:
        if (code == STN_CLICKED)
            OnPrivacyPolicy();
        return TRUE;
    case IDC_SYSTEM_LIST:
        if (code == LBN_SELCHANGE)
            OnSelChange();
        return TRUE;
    case IDC_SYSTEM_NAME:
        if (code == EN_CHANGE && !m_bSettingFields)
            OnNameChange();
        return TRUE;
    default:
        return FALSE;
    }
}

void CVOLTARODlg::OnTimer(UINT_PTR id) { OnTick(id); }

void CVOLTARODlg::OnDestroy()
{
    KillTimer(TICK_TIMER);
    m_SystemList.DeleteAllEntries();
    // The bridge serves the session's transport, and the session goes before this
    // object does: the bridge must stop while its transport still exists.
    delete m_pLoopBack;
    m_pLoopBack = nullptr;
}

INT_PTR CVOLTARODlg::DialogProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR result = 0;
    if (m_Appearance.HandleMessage(m_hWnd, message, wParam, lParam, m_hIcon, &result))
        return result;
    return CDialog::DialogProc(message, wParam, lParam);
}

void CVOLTARODlg::OnStartCommand(int mode)
{
    if (m_bBusy)
        return;
    StopDiscovery();
    EnableStartButtons(FALSE);
    if (StartViewer(mode))
        return; // the buttons stay off while the program runs
    EnableStartButtons(TRUE);
    StartDiscovery();
    if (m_bSilent)
        m_bCloseWhenIdle = 1;
}

void CVOLTARODlg::SendCloseRequest()
{
    CWinApp* app = QVGetApp();
    HWND target = (app && app->m_pMainWnd && app->m_pMainWnd->m_hWnd) ? app->m_pMainWnd->m_hWnd : m_hWnd;
    if (target)
        ::SendMessageA(target, WM_CLOSE, 0, 0);
}

void CVOLTARODlg::OnTick(UINT_PTR timerId)
{
    (void)timerId;
    // An attempt pumps window messages while it waits, so ticks arrive in the
    // middle of it; the program it starts is watched only once it has finished.
    if (m_bBusy)
        return;

    if (m_ProcessInfo.hProcess) {
        DWORD code = 0;
        if (::GetExitCodeProcess(m_ProcessInfo.hProcess, &code)) {
            ShowWindow(SW_HIDE);
            if (code == STILL_ACTIVE)
                return;
        }
        // Ended, or beyond watching: the bridge goes with it (closing the transport).
        delete m_pLoopBack;
        m_pLoopBack = nullptr;
        if (!m_bSilent)
            ShowWindow(SW_SHOW);
        EnableStartButtons(TRUE);
        StartDiscovery();
        FinishAttempt(1, 1);
        if (m_ProcessInfo.hThread)
            ::CloseHandle(m_ProcessInfo.hThread);
        ::CloseHandle(m_ProcessInfo.hProcess);
        memset(&m_ProcessInfo, 0, sizeof(m_ProcessInfo));
        if (m_bSilent)
            SendCloseRequest();
        return;
    }

    if (g_bDemoMode)
        return;
    if (m_bSilent) {
        SendCloseRequest();
        return;
    }

    POSITION pos = m_PingSockets.GetHeadPosition();
    while (pos) {
        CPingSocket* socket = (CPingSocket*)m_PingSockets.GetNext(pos);
        const uint32_t drainStart = GetTick();
        for (int taken = 0; taken < s_nMaxDatagramsPerTick; ++taken) {
            if (!ProcessReply(socket) || TickSince(drainStart) >= MAX_DRAIN_MS_PER_TICK)
                break;
        }
    }
    ProcessReply(nullptr);

    if (TickSince(m_dwLastPingTick) > PING_PERIOD_MS) {
        pos = m_PingSockets.GetHeadPosition();
        while (pos)
            ((CPingSocket*)m_PingSockets.GetNext(pos))->SendDiscovery();
        m_dwLastPingTick = GetTick();
    }

    const int count = m_SystemList.GetEntryCount();
    for (int i = 0; i < count; ++i) {
        SystemEntry* entry = m_SystemList.GetEntry(i);
        if (entry && TickSince(entry->m_dwLastSeen) > ENTRY_MAX_AGE_MS) {
            m_SystemList.RemoveEntry(entry);
            break;
        }
    }

    if (m_bCloseWhenIdle)
        SendCloseRequest();
}

int CVOLTARODlg::ProcessReply(CPingSocket* socket)
{
    SYSTEM_ANSWER answer;
    memset(&answer, 0, sizeof(answer));
    uint32_t sender;
    if (socket) {
        QVSockAddr from;
        memset(&from, 0, sizeof(from));
        int got = socket->ReceiveDiscovery(answer, from);
        if (got == 0)
            return 0;
        if (got == 1)
            return 1;
        sender = GetAddress(from);
        if (sender == LoopbackAddress())
            return 0;
    } else {
        if (!IsGatewayRunning())
            return 0;
        strcpy(answer.szName, LOCAL_MACHINE_NAME);
        answer.wPort = 80;
        answer.bStatus = 1;
        answer.bFlags = 0;
        answer.dwAddress = LoopbackAddress();
        sender = LoopbackAddress();
    }
    return HandleAnswer(answer, sender);
}

int CVOLTARODlg::HandleAnswer(const SYSTEM_ANSWER& answer, uint32_t sender)
{
    if (answer.bStatus == 5)
        return 0;
    if (!m_SystemList.m_hWnd)
        return 1;

    // Every answer walks the lines; the list's own copy of its entries answers
    // without window messages, and a refreshed line is not redrawn (nothing on it
    // changes).
    const std::string name = answer.szName;
    bool known = false;
    int i = 0;
    while (i < m_SystemList.GetEntryCount()) {
        SystemEntry* entry = m_SystemList.GetEntry(i);
        if (entry && entry->m_dwAddress == sender) {
            if (entry->m_strName != name) {
                // The controller at this address was renamed: its old line goes.
                const int before = m_SystemList.GetEntryCount();
                m_SystemList.RemoveEntry(entry);
                if (m_SystemList.GetEntryCount() < before)
                    continue;
            } else {
                entry->m_dwLastSeen = GetTick();
                known = true;
            }
        }
        ++i;
    }
    if (answer.bFlags & 0x70)
        known = true;
    if (known)
        return 1;

    m_bSettingFields = true;
    UpdateData(true);
    m_bSettingFields = false;
    SystemEntry* entry = new SystemEntry();
    entry->m_strName = name;
    entry->m_dwAddress = sender;
    entry->m_wPort = answer.wPort;
    entry->m_bStatus = answer.bStatus;
    entry->m_bFlags = answer.bFlags;
    entry->m_dwLastSeen = GetTick();
    const int index = m_SystemList.AddEntry(entry);
    if (index < 0) {
        delete entry; // a refused line leaves the entry ours
        return 1;
    }
    UpdateWindow();
    if (EqualsNoCase(entry->m_strName, m_strSystemName) ||
        (m_strSystemName.empty() && entry->IsAutoSelectable())) {
        m_SystemList.SetCurSel(index);
        OnSelChange();
    }
    return 1;
}

bool CVOLTARODlg::IsGatewayRunning()
{
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, GATEWAY_MUTEX);
    if (!mutex)
        return true;
    const DWORD wait = ::WaitForSingleObject(mutex, 100);
    ::ReleaseMutex(mutex); // fails harmlessly when the wait did not take it
    ::CloseHandle(mutex);
    return wait != WAIT_OBJECT_0;
}

void CVOLTARODlg::StartDiscovery()
{
    // A second start would bind the same ports again; the old sockets go first.
    if (!m_PingSockets.IsEmpty())
        StopDiscovery();
    if (s_bLocalNetworkOff)
        return;
    const int count = CountIpAddresses();
    for (int i = 0; i < count; ++i) {
        uint32_t mask = 0, address = 0;
        if (FindAdapterAddress(i, &mask, &address)) {
            CPingSocket* socket = new CPingSocket(address);
            socket->SetLocalMask(mask);
            m_PingSockets.AddTail(socket);
        }
    }
}

void CVOLTARODlg::StopDiscovery()
{
    while (!m_PingSockets.IsEmpty())
        delete (CPingSocket*)m_PingSockets.RemoveHead();
}

void CVOLTARODlg::OnSelChange()
{
    ::EnableWindow(GetDlgItem(IDC_START), TRUE);
    ::EnableWindow(GetDlgItem(IDC_START_CONFIGURATOR), TRUE);
    ::EnableWindow(GetDlgItem(IDC_CONFIGURE_IP), TRUE);
    SystemEntry* entry = SelectedEntry();
    if (!entry)
        return;
    m_strSystemName = entry->m_strName;
    if (m_strSystemName == m_strSavedSystemName)
        m_strPassword = m_strSavedPassword;
    else
        m_strPassword.clear();
    ShowFields();
    UpdateStartButton();
}

void CVOLTARODlg::OnNameChange()
{
    m_bSettingFields = true;
    UpdateData(true);
    m_bSettingFields = false;

    bool matched = false;
    const int count = m_SystemList.GetEntryCount();
    for (int i = 0; i < count; ++i) {
        SystemEntry* entry = m_SystemList.GetEntry(i);
        if (entry && EqualsNoCase(entry->m_strName, m_strSystemName)) {
            m_SystemList.SetCurSel(i);
            matched = true;
            break;
        }
    }
    if (m_strSystemName == m_strSavedSystemName) {
        m_strPassword = m_strSavedPassword;
        SetDlgItemText(IDC_PASSWORD, m_strPassword);
    } else if (!m_strPassword.empty()) {
        m_strPassword.clear();
        SetDlgItemText(IDC_PASSWORD, m_strPassword);
    }
    if (!matched && m_SystemList.m_hWnd)
        m_SystemList.SetCurSel(-1);
    UpdateStartButton();
}

void CVOLTARODlg::SaveLogin()
{
    if (m_bSilent)
        return;
    LoginData data;
    if (m_bRememberLogin) {
        m_strSavedSystemName = m_strSystemName;
        m_strSavedPassword = m_strPassword;
    } else {
        m_strSavedSystemName.clear();
        m_strSavedPassword.clear();
    }
    data.systemName = m_strSavedSystemName;
    data.password = m_strSavedPassword;
    data.lastAddress = m_dwLastAddress;
    data.optionsExpanded = m_bOptionsExpanded;
    data.rememberLogin = m_bRememberLogin;
    data.sizeClass = (uint32_t)m_nSizeClass;
    WriteLoginFile(LoginFilePath(), data); // a failed write is not reported
}

void CVOLTARODlg::MoveVersionLabel(int dx)
{
    HWND label = GetDlgItem(IDC_VERSION);
    if (!label)
        return;
    RECT r;
    ::GetWindowRect(label, &r);
    ScreenToClient(&r);
    ::MoveWindow(label, r.left + dx, r.top, r.right - r.left, r.bottom - r.top, TRUE);
}

void CVOLTARODlg::ToggleOptions(bool initial)
{
    m_bOptionsExpanded = !m_bOptionsExpanded;
    RECT r;
    int w = 0;
    HWND localLabel = GetDlgItem(IDC_LOCAL_SYSTEMS_LABEL);
    if (localLabel) {
        ::GetWindowRect(localLabel, &r);
        w = r.right - r.left;
    }
    HWND version = GetDlgItem(IDC_VERSION);
    int reference;
    const char* caption;
    if (m_bOptionsExpanded) {
        ::GetWindowRect(GetDlgItem(IDC_SYSTEM_LIST), &r);
        reference = r.bottom;
        caption = "Options <<";
        ::ShowWindow(localLabel, SW_SHOW);
        ::ShowWindow(GetDlgItem(IDC_SYSTEM_LIST), SW_SHOW);
        ::ShowWindow(GetDlgItem(IDC_CONFIGURE_IP), SW_SHOW);
        MoveVersionLabel(w);
        if (version)
            ::SetWindowLongA(version, GWL_STYLE, ::GetWindowLongA(version, GWL_STYLE) | SS_RIGHT);
    } else {
        ::GetWindowRect(GetDlgItem(IDC_OPTIONS), &r);
        reference = r.bottom;
        caption = "Options >>";
        ::ShowWindow(localLabel, SW_HIDE);
        ::ShowWindow(GetDlgItem(IDC_SYSTEM_LIST), SW_HIDE);
        ::ShowWindow(GetDlgItem(IDC_CONFIGURE_IP), SW_HIDE);
        if (!initial) {
            MoveVersionLabel(-w);
            if (version)
                ::SetWindowLongA(version, GWL_STYLE, ::GetWindowLongA(version, GWL_STYLE) & ~(LONG)SS_RIGHT);
        }
    }
    RECT window;
    GetWindowRect(&window);
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, window.right - window.left, reference + 15 - window.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Invalidate();
    SetDlgItemText(IDC_OPTIONS, caption);
}

void CVOLTARODlg::OnPrivacyPolicy()
{
    ::ShellExecuteA(m_hWnd, "open", RERUDI_PRIVACY_URL, nullptr, nullptr, SW_SHOWNORMAL);
}

CConnectDlg* CVOLTARODlg::OpenProgressWindow()
{
    CConnectDlg* dlg = new CConnectDlg(this);
    if (!dlg->Create(IDD_CONNECT, this)) {
        delete dlg;
        return nullptr;
    }
    dlg->ShowWindow(SW_SHOWNORMAL);
    m_pProgressDlg = dlg;
    return dlg;
}

void CVOLTARODlg::CloseProgressWindow()
{
    if (!m_pProgressDlg)
        return;
    CConnectDlg* dlg = m_pProgressDlg;
    m_pProgressDlg = nullptr;
    dlg->EndDialog(0);
    delete dlg;
}
