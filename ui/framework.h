// A thin C++ layer over Win32 dialogs: an application object, window and dialog
// wrappers with virtual handlers, data exchange for edit fields, and the two
// common controls our windows wrap. It carries only what our windows use.
#pragma once
#include <windows.h>

#include <string>

class CWnd;
class CDialog;

// ---------------------------------------------------------------------------
// Application object: one static instance per program.

class CWinApp
{
  public:
    CWinApp();
    virtual ~CWinApp();

    // Runs the program; a dialog-based program does all its work here and
    // answers FALSE, which ends the program after ExitInstance.
    virtual BOOL InitInstance();
    // The process exit code.
    virtual int ExitInstance();

    HINSTANCE m_hInstance;
    LPSTR m_lpCmdLine; // the arguments after the program name
    int m_nCmdShow;
    CWnd* m_pMainWnd;

  private:
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;
};

// The program's application object, or null when none was constructed (tests).
CWinApp* QVGetApp();
// The module that holds our resources: the application's instance, else the
// executable itself.
HINSTANCE QVGetInstance();
// Called by WinMain: runs InitInstance (and, when it answers FALSE, ExitInstance)
// and returns the exit code. cmdLine null means "take it from the process".
int QVRunApp(HINSTANCE hInstance, LPSTR cmdLine = nullptr, int nCmdShow = SW_SHOWNORMAL);

// ---------------------------------------------------------------------------
// Message boxes. A hook lets tests (and unattended runs) answer boxes without a
// user; null restores the real box.

typedef int (*QVMessageBoxHook)(HWND owner, const char* text, const char* caption, UINT flags);
int QVMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT flags);
void QVSetMessageBoxHook(QVMessageBoxHook hook);

// ---------------------------------------------------------------------------
// Window wrapper. A CWnd is either a plain handle holder (Attach) or, after
// SubclassWindow/SubclassDlgItem, receives the window's messages in WindowProc.
// Note: <windows.h> maps names such as SetWindowText or SendMessage to their
// narrow forms; the members below follow the same mapping, so callers write the
// plain names.

class CWnd
{
  public:
    CWnd();
    virtual ~CWnd();

    HWND m_hWnd;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // The object attached to a window, or null.
    static CWnd* FromHandlePermanent(HWND hWnd);

    bool Attach(HWND hWnd);
    HWND Detach();
    // Routes the window's messages to WindowProc; the original procedure is
    // reached through DefWindowProc.
    bool SubclassWindow(HWND hWnd);
    bool SubclassDlgItem(UINT id, CWnd* parent);
    HWND UnsubclassWindow();

    // Message handling of a subclassed window.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Owner-drawn controls: the dialog that owns the control forwards these.
    virtual void DrawItem(LPDRAWITEMSTRUCT item);
    virtual void MeasureItem(LPMEASUREITEMSTRUCT item);

    HWND GetDlgItem(int id) const;
    HWND GetParent() const;
    BOOL ShowWindow(int cmd);
    BOOL EnableWindow(BOOL enable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL IsWindowVisible() const;
    BOOL IsIconic() const;
    void SetWindowText(const std::string& text);
    std::string GetWindowText() const;
    void SetDlgItemText(int id, const std::string& text);
    std::string GetDlgItemText(int id) const;
    void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE);
    void MoveWindow(const RECT& rect, BOOL repaint = TRUE);
    void GetWindowRect(RECT* rect) const;
    void GetClientRect(RECT* rect) const;
    void ScreenToClient(RECT* rect) const;
    void ScreenToClient(POINT* point) const;
    void ClientToScreen(POINT* point) const;
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    void Invalidate(BOOL erase = TRUE);
    void UpdateWindow();
    UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs);
    BOOL KillTimer(UINT_PTR id);
    void SetFont(HFONT font, BOOL redraw = TRUE);
    HFONT GetFont() const;
    HICON SetIcon(HICON icon, BOOL big);
    HWND SetFocus();
    BOOL DestroyWindow();
    int MessageBox(const std::string& text, const std::string& caption = "", UINT flags = MB_OK);

  protected:
    WNDPROC m_pfnSuper; // original procedure of a subclassed window

  private:
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
};

// ---------------------------------------------------------------------------
// Data exchange between controls and members.

class CDataExchange
{
  public:
    CDataExchange(CDialog* dialog, bool saveAndValidate)
        : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate)
    {
    }
    CDialog* m_pDlgWnd;
    bool m_bSaveAndValidate; // true: controls -> members
};

void DDX_Text(CDataExchange* pDX, int id, std::string& value);
// Subclasses the control into the wrapper the first time.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

// ---------------------------------------------------------------------------
// Dialogs from resources, modal (DoModal) or modeless (Create).

class CDialog : public CWnd
{
  public:
    explicit CDialog(UINT idd, CWnd* parent = nullptr);
    ~CDialog() override;

    INT_PTR DoModal();
    BOOL Create(UINT idd, CWnd* parent = nullptr);
    // Modal: ends the modal loop with the result. Modeless: hides and destroys.
    void EndDialog(int result);
    bool IsModal() const { return m_bModal; }

    BOOL UpdateData(bool saveAndValidate = true);
    virtual void DoDataExchange(CDataExchange* pDX);

    // Handlers. The defaults: OnInitDialog fills the controls (UpdateData(false))
    // and answers TRUE; OnOK takes the controls (UpdateData(true)) and ends with
    // IDOK; OnCancel ends with IDCANCEL. OnCommand answers whether it handled it.
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual BOOL OnCommand(UINT id, UINT code, HWND hwndCtl);
    virtual void OnTimer(UINT_PTR id);
    virtual void OnDestroy();

    // Routes WM_INITDIALOG, WM_COMMAND, WM_TIMER, WM_DESTROY and reflects
    // WM_DRAWITEM/WM_MEASUREITEM to subclassed controls. Derived dialogs override
    // it for anything else and call this one for the rest.
    virtual INT_PTR DialogProc(UINT message, WPARAM wParam, LPARAM lParam);

    // Result of a handled message whose answer is not the dialog-procedure
    // return value (WM_SETCURSOR, WM_ERASEBKGND...): call, then return TRUE.
    void SetMsgResult(LRESULT result);

  protected:
    UINT m_nIDD;
    CWnd* m_pParentWnd;
    bool m_bModal;
    INT_PTR m_nModalResult;

  private:
    static INT_PTR CALLBACK StaticDialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
};

// ---------------------------------------------------------------------------
// Thin control wrappers.

class CListBox : public CWnd
{
  public:
    int AddString(const std::string& text);
    int DeleteString(int index);
    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int index);
    DWORD_PTR GetItemData(int index) const;
    int SetItemData(int index, DWORD_PTR data);
    int GetText(int index, std::string& text) const;
    std::string GetText(int index) const;
    int GetTopIndex() const;
    int SetTopIndex(int index);
    int GetItemRect(int index, RECT* rect) const;
    int FindStringExact(int startAfter, const std::string& text) const;
    void ResetContent();
};

class CIPAddressCtrl : public CWnd
{
  public:
    // The value's most significant byte is the leftmost field.
    void SetAddress(DWORD address);
    // Answers the number of non-blank fields; blank fields read as 0.
    int GetAddress(DWORD& address) const;
    void ClearAddress();
};
