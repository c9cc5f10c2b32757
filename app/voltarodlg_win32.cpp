// The main window's logic: saved login, the option area, the start buttons, and
// the timer that watches a started program and keeps the local list fresh.
#include <winsock2.h>

#include <windows.h>

#include <shellapi.h>

#include <cstring>

#include "../protocol/discovery.h"
#include "../protocol/qvserver.h"
#include "../remote/loopback.h"
#include "../ui/connectdlg.h"
#include "../ui/mainlayout.h"
#include "../ui/resource.h"
#include "../util/folders.h"
#include "../util/product.h"
#include "../util/qvfile.h"
#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "configip.h"
#include "install.h"
#include "loginfile.h"
#include "options.h"
#include "versions.h"
#include "voltarodlg_win32.h"

#ifndef RERUDI_PRIVACY_URL
#error "RERUDI_PRIVACY_URL must name the privacy-policy page"
#endif

namespace
{

const UINT_PTR TICK_TIMER = 1;
const UINT TICK_PERIOD_MS = 300;
const uint32_t SILENT_SEARCH_MS = 250;
const char LOGIN_FILE_NAME[] = "LOGIN.DAT";
const char CONNECT_LOG_NAME[] = "OSKA_Connect_Log.txt";
const char MESSAGE_CAPTION[] = QV_PRODUCT_NAME;

std::string LoginFilePath()
{
    return GetDataFolder() + "\\" + LOGIN_FILE_NAME;
}

} // namespace

CVOLTARODlg::CVOLTARODlg(CQVServer* session, const std::string& systemName, const std::string& password,
                         const std::string& sizeOption, uint32_t targetAddress, int startType, bool silent,
                         CWnd* parent)
    : CDialog(IDD_RERUDI_DIALOG, parent), m_pSession(session),
      m_hIcon(::LoadIconA(QVGetInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME))), m_strSystemName(systemName),
      m_strPassword(password), m_bRememberLogin(1), m_dwLastAddress(0), m_bOptionsExpanded(0),
      m_nSizeClass(SizeClass::Window1024x576), m_dwTargetAddress(targetAddress), m_nStartType(startType),
      m_bSilent(silent), m_strSizeOption(sizeOption), m_bBusy(0), m_bCloseWhenIdle(0),
      m_pProgressDlg(nullptr), m_Systems(m_SystemList), m_LastOutcome(AttemptOutcome::NoName),
      m_bRecordHandedOver(false), m_hOldCursor(nullptr), m_hPrivacyFont(nullptr), m_bSettingFields(false)
{
    memset(&m_ProcessInfo, 0, sizeof(m_ProcessInfo));
    m_Systems.currentName = [this] {
        TakeFields();
        return m_strSystemName;
    };
    m_Systems.onAutoSelected = [this] { OnSelChange(); };
    m_Systems.onLineAdded = [this] { UpdateWindow(); };

    if (m_strSystemName.empty()) {
        // Fields the file does not hold keep the values they have now.
        LoginData data;
        data.lastAddress = m_dwLastAddress;
        data.optionsExpanded = m_bOptionsExpanded;
        data.rememberLogin = m_bRememberLogin;
        data.sizeClass = static_cast<uint32_t>(m_nSizeClass);
        if (ReadLoginFile(LoginFilePath(), data)) {
            m_strSystemName = m_strSavedSystemName = data.systemName;
            m_strPassword = m_strSavedPassword = data.password;
            m_dwLastAddress = data.lastAddress;
            m_bOptionsExpanded = data.optionsExpanded;
            m_bRememberLogin = data.rememberLogin;
            m_nSizeClass = static_cast<SizeClass>(data.sizeClass);
        }
    }
    if (m_bSilent) {
        m_strSystemName = systemName;
        m_strPassword = password;
    }
    m_Systems.StartDiscovery();
}

CVOLTARODlg::~CVOLTARODlg()
{
    if (m_pProgressDlg) {
        m_pProgressDlg->EndDialog(0);
        delete m_pProgressDlg;
        m_pProgressDlg = nullptr;
    }
    // The bridge's worker is stopped before the transport it serves is closed.
    m_pLoopBack.reset();
    if (m_pSession) m_pSession->GetConnection()->Close();
    m_Systems.StopDiscovery();
    if (m_ProcessInfo.hThread) ::CloseHandle(m_ProcessInfo.hThread);
    if (m_ProcessInfo.hProcess) ::CloseHandle(m_ProcessInfo.hProcess);
    if (m_hPrivacyFont) ::DeleteObject(m_hPrivacyFont);
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

void CVOLTARODlg::TakeFields()
{
    m_bSettingFields = true;
    UpdateData(true);
    m_bSettingFields = false;
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
    if (m_bBusy || m_ProcessInfo.hProcess) return;
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
    ApplyCompactLayout(m_hWnd);

    if (g_bDemoMode) {
        ::EnableWindow(GetDlgItem(IDC_SYSTEM_NAME), FALSE);
        ::EnableWindow(GetDlgItem(IDC_PASSWORD), FALSE);
        ::EnableWindow(GetDlgItem(IDC_SYSTEM_LIST), FALSE);
        EnableStartButtons(TRUE);
    }

    MoveBuildFiles(GetDataFolder());

    SetDlgItemText(IDC_VERSION, GetBuildVersion(true));
    SetTimer(TICK_TIMER, TICK_PERIOD_MS);
    UpdateStartButton();

    if (m_bSilent) {
        if (m_dwTargetAddress == 0 && !CLocalSystems::s_bLocalNetworkOff)
            m_dwTargetAddress = CLocalSystems::SearchByName(m_strSystemName, SILENT_SEARCH_MS);
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        StartMode mode;
        if (SilentStartMode(m_nStartType, &mode)) StartViewer(mode);
    }

    m_hPrivacyFont = SetPrivacyFont(GetDlgItem(IDC_PRIVACY_POLICY));
    return TRUE;
}

void CVOLTARODlg::OnOK()
{
    // Enter never closes the launcher.
}

void CVOLTARODlg::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CVOLTARODlg::OnCommand(UINT id, UINT code, HWND hwndCtl)
{
    (void)hwndCtl;
    switch (id) {
    case IDC_START:
        if (code == BN_CLICKED) OnStartCommand(StartMode::Viewer);
        return TRUE;
    case IDC_START_CONFIGURATOR:
        if (code == BN_CLICKED) OnStartCommand(StartMode::Configurator);
        return TRUE;
    case IDC_OPTIONS:
        if (code == BN_CLICKED) ToggleOptions(false);
        return TRUE;
    case IDC_CONFIGURE_IP:
        if (code == BN_CLICKED) OnConfigureIP();
        return TRUE;
    case ID_SHOW_HELP: {
        CDialog help(IDD_HELP, this);
        help.DoModal();
        return TRUE;
    }
    case IDC_PRIVACY_POLICY:
        if (code == STN_CLICKED) OnPrivacyPolicy();
        return TRUE;
    case IDC_SYSTEM_LIST:
        if (code == LBN_SELCHANGE) OnSelChange();
        return TRUE;
    case IDC_SYSTEM_NAME:
        if (code == EN_CHANGE && !m_bSettingFields) OnNameChange();
        return TRUE;
    default:
        return FALSE;
    }
}

void CVOLTARODlg::OnTimer(UINT_PTR id)
{
    OnTick(id);
}

void CVOLTARODlg::OnDestroy()
{
    KillTimer(TICK_TIMER);
    m_SystemList.DeleteAllEntries();
    m_pLoopBack.reset();
}

INT_PTR CVOLTARODlg::DialogProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR result = 0;
    if (m_Appearance.HandleMessage(m_hWnd, message, wParam, lParam, m_hIcon, &result)) return result;
    return CDialog::DialogProc(message, wParam, lParam);
}

void CVOLTARODlg::OnStartCommand(StartMode mode)
{
    if (m_bBusy) return;
    m_Systems.StopDiscovery();
    EnableStartButtons(FALSE);
    if (StartViewer(mode)) return; // the buttons stay off while the program runs
    EnableStartButtons(TRUE);
    m_Systems.StartDiscovery();
    if (m_bSilent) m_bCloseWhenIdle = 1;
}

void CVOLTARODlg::SendCloseRequest()
{
    CWinApp* app = QVGetApp();
    HWND target = (app && app->m_pMainWnd && app->m_pMainWnd->m_hWnd) ? app->m_pMainWnd->m_hWnd : m_hWnd;
    if (target) ::SendMessageA(target, WM_CLOSE, 0, 0);
}

void CVOLTARODlg::OnTick(UINT_PTR timerId)
{
    (void)timerId;
    // An attempt lets window messages through while it waits, so ticks arrive in
    // the middle of it; the program it starts is watched only once it has finished.
    if (m_bBusy) return;

    if (m_ProcessInfo.hProcess) {
        DWORD code = 0;
        if (::GetExitCodeProcess(m_ProcessInfo.hProcess, &code)) {
            ShowWindow(SW_HIDE);
            if (code == STILL_ACTIVE) return;
        }
        // Ended, or beyond watching: the bridge goes with it (closing the transport).
        m_pLoopBack.reset();
        // Buttons first: the window never comes back with its start buttons dead.
        EnableStartButtons(TRUE);
        if (!m_bSilent) ShowWindow(SW_SHOW);
        m_Systems.StartDiscovery();
        FinishAttempt(1, 1);
        if (m_ProcessInfo.hThread) ::CloseHandle(m_ProcessInfo.hThread);
        ::CloseHandle(m_ProcessInfo.hProcess);
        memset(&m_ProcessInfo, 0, sizeof(m_ProcessInfo));
        if (m_bSilent) SendCloseRequest();
        return;
    }

    if (g_bDemoMode) return;
    if (m_bSilent) {
        SendCloseRequest();
        return;
    }
    m_Systems.Tick();
    if (m_bCloseWhenIdle) SendCloseRequest();
}

SizeClass CVOLTARODlg::GetScreenSizeClass()
{
    RECT desktop;
    if (!::GetWindowRect(::GetDesktopWindow(), &desktop)) return SizeClass::Window1024x576;
    return SizeClassFor(desktop.right - desktop.left, desktop.bottom - desktop.top);
}

bool CVOLTARODlg::StartViewer(StartMode mode)
{
    m_bBusy = 1;
    m_hOldCursor = ::SetCursor(::LoadCursor(nullptr, IDC_WAIT));
    m_strLastCommandLine.clear();
    m_bRecordHandedOver = false;
    UpdateData(true);
    m_nSizeClass = GetScreenSizeClass();

    RoadInput in;
    in.systemName = m_strSystemName;
    in.silent = m_bSilent;
    in.demo = g_bDemoMode != 0;
    in.targetAddress = m_dwTargetAddress;
    if (SystemEntry* selected = m_Systems.SelectedEntry()) {
        in.hasSelection = true;
        in.selectedAddress = selected->m_dwAddress;
        in.selectedPort = selected->m_wPort;
    }
    AttemptRequest request;
    request.road = ChooseRoad(in);
    if (request.road.kind == RoadKind::None) {
        m_LastOutcome = AttemptOutcome::NoName;
        FinishAttempt(0, 0);
        return false;
    }
    m_dwTargetAddress = request.road.targetAddress;
    if (request.road.IsDirect()) m_dwLastAddress = request.road.lastAddress;
    SaveLogin();

    // Only the remote road shows its steps (and writes the connection log).
    if (!request.road.IsDirect()) OpenProgressWindow();
    request.mode = mode;
    request.systemName = m_strSystemName;
    request.password = m_strPassword;
    request.sizeClass = m_nSizeClass;
    request.pipeId = (uint32_t)(uintptr_t)m_hWnd;
    request.dataFolder = GetDataFolder();
    CWindowPump keeper;
    CStartAttempt attempt(m_pSession,
                          m_pProgressDlg ? static_cast<CAttemptObserver*>(m_pProgressDlg) : &keeper);
    const AttemptOutcome outcome = attempt.Run(request);
    m_LastOutcome = outcome;
    m_strLastCommandLine = attempt.GetCommandLine();
    m_bRecordHandedOver = attempt.RecordHandedOver();
    if (outcome == AttemptOutcome::Started) {
        m_ProcessInfo = attempt.TakeProcess();
        m_pLoopBack = attempt.TakeBridge();
        ShowWindow(SW_HIDE);
        FinishAttempt(0, 0); // the connection stays open for the program
        return true;
    }
    UINT icon = 0;
    const std::string box = FailureBoxText(outcome, attempt, m_pProgressDlg != nullptr, &icon);
    if (!box.empty()) QVMessageBox(m_hWnd, box, MESSAGE_CAPTION, MB_OK | icon);
    const bool readable = outcome != AttemptOutcome::ConnectFailed &&
                          outcome != AttemptOutcome::LoginFailed && outcome != AttemptOutcome::NoVersion &&
                          outcome != AttemptOutcome::Cancelled;
    FinishAttempt(1, readable);
    return false;
}

void CVOLTARODlg::FinishAttempt(BOOL closeConnection, BOOL waitForUser)
{
    if (closeConnection && m_pSession) m_pSession->GetConnection()->Close();
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

void CVOLTARODlg::OnSelChange()
{
    ::EnableWindow(GetDlgItem(IDC_START), TRUE);
    ::EnableWindow(GetDlgItem(IDC_START_CONFIGURATOR), TRUE);
    ::EnableWindow(GetDlgItem(IDC_CONFIGURE_IP), TRUE);
    SystemEntry* entry = m_Systems.SelectedEntry();
    if (!entry) return;
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
    TakeFields();
    const int line = m_Systems.FindLine(m_strSystemName);
    if (line >= 0) m_SystemList.SetCurSel(line);
    if (m_strSystemName == m_strSavedSystemName) {
        m_strPassword = m_strSavedPassword;
        SetDlgItemText(IDC_PASSWORD, m_strPassword);
    } else if (!m_strPassword.empty()) {
        m_strPassword.clear();
        SetDlgItemText(IDC_PASSWORD, m_strPassword);
    }
    if (line < 0 && m_SystemList.m_hWnd) m_SystemList.SetCurSel(-1);
    UpdateStartButton();
}

void CVOLTARODlg::SaveLogin()
{
    if (m_bSilent) return;
    if (m_bRememberLogin) {
        m_strSavedSystemName = m_strSystemName;
        m_strSavedPassword = m_strPassword;
    } else {
        m_strSavedSystemName.clear();
        m_strSavedPassword.clear();
    }
    LoginData data;
    data.systemName = m_strSavedSystemName;
    data.password = m_strSavedPassword;
    data.lastAddress = m_dwLastAddress;
    data.optionsExpanded = m_bOptionsExpanded;
    data.rememberLogin = m_bRememberLogin;
    data.sizeClass = static_cast<uint32_t>(m_nSizeClass);
    WriteLoginFile(LoginFilePath(), data); // a failed write is not reported
}

void CVOLTARODlg::ToggleOptions(bool initial)
{
    m_bOptionsExpanded = !m_bOptionsExpanded;
    LayOutOptions(m_hWnd, m_bOptionsExpanded != 0, initial);
}

void CVOLTARODlg::OnPrivacyPolicy()
{
    ::ShellExecuteA(m_hWnd, "open", RERUDI_PRIVACY_URL, nullptr, nullptr, SW_SHOWNORMAL);
}

void CVOLTARODlg::OnConfigureIP()
{
    SystemEntry* selected = m_Systems.SelectedEntry();
    if (!selected || m_bBusy) return;
    // The command serves no ticks of its own, but the modal dialog does: the list
    // must not change under it.
    m_bBusy = 1;
    const uint32_t target = selected->m_dwAddress;
    m_Systems.StopDiscovery();
    CConnectDlg* progress = OpenProgressWindow();
    if (RunConfigureIp(this, progress, target, CLocalSystems::s_bLocalNetworkOff)) {
        ::EnableWindow(GetDlgItem(IDC_START), FALSE);
        ::EnableWindow(GetDlgItem(IDC_START_CONFIGURATOR), FALSE);
        ::EnableWindow(GetDlgItem(IDC_CONFIGURE_IP), FALSE);
    }
    CloseProgressWindow();
    m_bBusy = 0;
    m_Systems.StartDiscovery();
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
    if (!m_pProgressDlg) return;
    CConnectDlg* dlg = m_pProgressDlg;
    m_pProgressDlg = nullptr;
    dlg->EndDialog(0);
    delete dlg;
}
