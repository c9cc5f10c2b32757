// The launcher's main window: the login fields, the list of controllers that
// answer on the local network, the start of the viewer or configurator, and the
// timer that watches a started program.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "../protocol/downloader.h"
#include "../ui/appearance.h"
#include "../ui/framework.h"
#include "../ui/mylistbox.h"
#include "../util/qvoblist.h"

class CConnectDlg;
class CPingSocket;
class CTCP_LoopBack;
struct SYSTEM_ANSWER;

// Starts the viewer or configurator. Fills *info like CreateProcessA; on failure
// answers FALSE with the system error code in *error.
typedef BOOL (*QVStartProcessFn)(const std::string& commandLine, PROCESS_INFORMATION* info, DWORD* error);

class CVOLTARODlg : public CDialog, public CDownloadTracker
{
public:
    CVOLTARODlg(const std::string& systemName, const std::string& password, const std::string& sizeOption,
                uint32_t targetAddress, int startType, bool silent, CWnd* parent = nullptr);
    ~CVOLTARODlg() override;

    // Every 300 ms: watches a started program, keeps the list of local systems fresh.
    virtual void OnTick(UINT_PTR timerId);
    // Reaches the controller, fetches the program when missing and starts it on the
    // connection. 1 when the program runs, else 0.
    virtual int StartViewer(int mode);

    // Ends an attempt: closes the connection when asked, lets the user read a failure
    // in the progress window, writes the connection log and closes that window.
    void FinishAttempt(BOOL closeConnection, BOOL waitForUser);
    // A status line in the progress window; nothing when none is open.
    void ShowStatus(const std::string& text);
    bool DownloadProgram(int mode, const std::string& path);
    static int GetScreenSizeClass();

    // Download progress (the downloader reports here).
    void OnProgress(uint32_t done, uint32_t total) override;
    void OnError(const std::string& message) override;
    bool IsCancelled() override;

    // One discovery answer from the socket, or the gateway check when socket is null.
    // 1 when the caller may ask again, 0 when it should stop.
    int ProcessReply(CPingSocket* socket);
    // The list's side of one answer from the sender's address; same result.
    int HandleAnswer(const SYSTEM_ANSWER& answer, uint32_t sender);
    static bool IsGatewayRunning();
    void StartDiscovery();
    void StopDiscovery();
    void OnSelChange();
    void OnNameChange();
    void SaveLogin();
    void ToggleOptions(bool initial);
    void MoveVersionLabel(int dx);
    void OnPrivacyPolicy();
    void OnConfigureIP();
    // The "Start Rerudi" (mode 0) and "Start Configurator" (mode 1) buttons.
    void OnStartCommand(int mode);

    // Framework handlers.
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    BOOL OnCommand(UINT id, UINT code, HWND hwndCtl) override;
    void OnTimer(UINT_PTR id) override;
    void OnDestroy() override;
    INT_PTR DialogProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Test seams. Null starts programs with CreateProcessA.
    static QVStartProcessFn s_pfnStartProcess;
    // How long a started program may take to open the hand-over pipe, and then to
    // take the record out of it.
    static uint32_t s_dwPipeConnectMs;
    static uint32_t s_dwPipeDrainMs;
    // When set, nothing touches the real network adapters: no discovery sockets, no
    // search at silent start, no IP configuration exchange.
    static bool s_bLocalNetworkOff;
    // Datagrams taken from each discovery socket per tick at most (256).
    static int s_nMaxDatagramsPerTick;

    HICON m_hIcon;
    std::string m_strSystemName;
    std::string m_strPassword;
    std::string m_strSavedSystemName;
    std::string m_strSavedPassword;
    uint32_t m_bRememberLogin;
    uint32_t m_dwLastAddress;
    uint32_t m_bOptionsExpanded;
    int32_t m_nSizeClass;
    uint32_t m_dwTargetAddress;
    int32_t m_nStartType;
    bool m_bSilent;
    std::string m_strSizeOption;
    uint32_t m_bBusy;
    uint8_t m_bCloseWhenIdle;
    CConnectDlg* m_pProgressDlg;
    CTCP_LoopBack* m_pLoopBack;
    PROCESS_INFORMATION m_ProcessInfo;
    uint32_t m_dwLastPingTick;
    CQVObList m_PingSockets; // owned CPingSocket objects
    CMyListBox m_SystemList;
    CMainAppearance m_Appearance;

    // What the last attempt did, for the window's own status and for tests: the
    // command line it started (password shown) and whether the pipe hand-over wrote
    // its record.
    std::string m_strLastCommandLine;
    bool m_bRecordHandedOver;

private:
    CVOLTARODlg(const CVOLTARODlg&) = delete;
    CVOLTARODlg& operator=(const CVOLTARODlg&) = delete;

    // Connection step of StartViewer; false after the failure was reported and the
    // attempt finished.
    bool ConnectForAttempt(bool direct, SystemEntry* selected, uint32_t parsedAddress, uint16_t parsedPort);
    // Version step: the controller's version text, or empty after a finished failure.
    std::string AskVersion();
    bool StartProgram(const std::string& commandLine);
    // Writes the duplicated socket's record into the pipe once the program opened it.
    bool HandOverSocket(HANDLE pipe);
    SystemEntry* SelectedEntry() const;
    void SendCloseRequest();
    void EnableStartButtons(BOOL enable);
    void UpdateStartButton();
    // Puts the members into the fields without the fields' change handlers running.
    void ShowFields();
    void ShowControl(int id, bool show, bool enable);
    // The progress window of an attempt or of the IP configuration command.
    CConnectDlg* OpenProgressWindow();
    // Closes it without writing the connection log.
    void CloseProgressWindow();

    HCURSOR m_hOldCursor;
    HFONT m_hPrivacyFont;
    bool m_bSettingFields;
};
