// The launcher's main window: the login fields, the list of controllers that
// answer on the local network, the start buttons, and the timer that watches a
// started program. The start itself is a CStartAttempt, the list's upkeep a
// CLocalSystems, the IP configuration RunConfigureIp.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "../ui/appearance.h"
#include "../ui/framework.h"
#include "../ui/mylistbox.h"
#include "localsystems.h"
#include "startattempt_win32.h"

class CConnectDlg;
class CQVServer;
class CTCP_LoopBack;

class CVOLTARODlg : public CDialog
{
  public:
    // The session is the application's; it outlives the window.
    CVOLTARODlg(CQVServer* session, const std::string& systemName, const std::string& password,
                const std::string& sizeOption, uint32_t targetAddress, int startType, bool silent,
                CWnd* parent = nullptr);
    ~CVOLTARODlg() override;

    // Every 300 ms: watches a started program, keeps the list of local systems fresh.
    virtual void OnTick(UINT_PTR timerId);
    // Reaches the controller, fetches the program when missing and starts it on the
    // connection. Whether the program runs.
    virtual bool StartViewer(StartMode mode);

    // Ends an attempt: closes the connection when asked, lets the user read a failure
    // in the progress window, writes the connection log and closes that window.
    void FinishAttempt(BOOL closeConnection, BOOL waitForUser);
    static SizeClass GetScreenSizeClass();

    void OnSelChange();
    void OnNameChange();
    void SaveLogin();
    void ToggleOptions(bool initial);
    void OnPrivacyPolicy();
    void OnConfigureIP();
    // The "Start Rerudi" and "Start Configurator" buttons.
    void OnStartCommand(StartMode mode);

    // Framework handlers.
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    BOOL OnCommand(UINT id, UINT code, HWND hwndCtl) override;
    void OnTimer(UINT_PTR id) override;
    void OnDestroy() override;
    INT_PTR DialogProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    CQVServer* m_pSession;
    HICON m_hIcon;
    std::string m_strSystemName;
    std::string m_strPassword;
    std::string m_strSavedSystemName;
    std::string m_strSavedPassword;
    uint32_t m_bRememberLogin;
    uint32_t m_dwLastAddress;
    uint32_t m_bOptionsExpanded;
    SizeClass m_nSizeClass;
    uint32_t m_dwTargetAddress;
    int32_t m_nStartType;
    bool m_bSilent;
    std::string m_strSizeOption;
    uint32_t m_bBusy;
    uint8_t m_bCloseWhenIdle;
    CConnectDlg* m_pProgressDlg;
    std::unique_ptr<CTCP_LoopBack> m_pLoopBack;
    PROCESS_INFORMATION m_ProcessInfo;
    CMyListBox m_SystemList;
    CLocalSystems m_Systems;
    CMainAppearance m_Appearance;

    // What the last attempt did, for tests: how it ended, the command line it
    // started (password shown) and whether the pipe hand-over wrote its record.
    AttemptOutcome m_LastOutcome;
    std::string m_strLastCommandLine;
    bool m_bRecordHandedOver;

  private:
    CVOLTARODlg(const CVOLTARODlg&) = delete;
    CVOLTARODlg& operator=(const CVOLTARODlg&) = delete;

    void SendCloseRequest();
    void EnableStartButtons(BOOL enable);
    void UpdateStartButton();
    // Puts the members into the fields without the fields' change handlers running.
    void ShowFields();
    void TakeFields();
    // The progress window of an attempt or of the IP configuration command.
    CConnectDlg* OpenProgressWindow();
    // Closes it without writing the connection log.
    void CloseProgressWindow();

    HCURSOR m_hOldCursor;
    HFONT m_hPrivacyFont;
    bool m_bSettingFields;
};
