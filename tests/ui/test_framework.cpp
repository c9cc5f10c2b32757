#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "ui/connectdlg.h"
#include "ui/framework.h"
#include "ui/resource.h"
#include "ui_support.h"

namespace
{

// The main dialog resource run modally, with the two text fields exchanged.
class CLoginDlg : public CDialog
{
  public:
    explicit CLoginDlg(std::function<void(CLoginDlg&)> action) : CDialog(IDD_RERUDI_DIALOG), m_Action(action)
    {
    }
    void DoDataExchange(CDataExchange* pDX) override
    {
        DDX_Text(pDX, IDC_SYSTEM_NAME, m_strSystemName);
        DDX_Text(pDX, IDC_PASSWORD, m_strPassword);
    }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        ++m_nInits;
        m_strShownName = GetDlgItemText(IDC_SYSTEM_NAME);
        SetTimer(99, 5000); // a stuck dialog must not hang the run
        m_Action(*this);
        return TRUE;
    }
    void OnTimer(UINT_PTR id) override
    {
        if (id == 99)
            EndDialog(-7);
        else
            ++m_nTicks;
    }
    void OnDestroy() override { ++m_nDestroys; }
    BOOL OnCommand(UINT id, UINT code, HWND) override
    {
        if (id == 4321) {
            m_nLastCode = (int)code;
            return TRUE;
        }
        return FALSE;
    }

    std::string m_strSystemName, m_strPassword, m_strShownName;
    int m_nInits = 0, m_nTicks = 0, m_nDestroys = 0, m_nLastCode = -1;

  private:
    std::function<void(CLoginDlg&)> m_Action;
};

TEST(Dialog, ModalRunExchangesTextFieldsBothWays)
{
    CLoginDlg dlg([](CLoginDlg& d) {
        d.SetDlgItemText(IDC_SYSTEM_NAME, "Zizu Office");
        d.SetDlgItemText(IDC_PASSWORD, "s3cret");
        d.PostMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED));
    });
    dlg.m_strSystemName = "from the command line";
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ(1, dlg.m_nInits);
    EXPECT_EQ("from the command line", dlg.m_strShownName);
    EXPECT_EQ("Zizu Office", dlg.m_strSystemName);
    EXPECT_EQ("s3cret", dlg.m_strPassword);
    EXPECT_EQ(1, dlg.m_nDestroys);
    EXPECT_EQ(nullptr, dlg.m_hWnd);
}

TEST(Dialog, CancelAndCloseEndWithCancelAndKeepTheMembers)
{
    for (UINT message : {(UINT)WM_COMMAND, (UINT)WM_CLOSE}) {
        CLoginDlg dlg([message](CLoginDlg& d) {
            d.SetDlgItemText(IDC_SYSTEM_NAME, "typed");
            if (message == WM_COMMAND)
                d.PostMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED));
            else
                d.PostMessage(WM_CLOSE);
        });
        dlg.m_strSystemName = "kept";
        EXPECT_EQ(IDCANCEL, dlg.DoModal());
        EXPECT_EQ("kept", dlg.m_strSystemName);
    }
}

TEST(Dialog, ModelessTimersCommandsAndDestroyReachTheirHandlers)
{
    CLoginDlg dlg([](CLoginDlg&) {});
    ASSERT_TRUE(dlg.Create(IDD_RERUDI_DIALOG, nullptr));
    EXPECT_FALSE(dlg.IsModal());
    dlg.SetTimer(3, 10);
    EXPECT_TRUE(PumpUntil([&] { return dlg.m_nTicks >= 3; }));
    dlg.KillTimer(3);
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(4321, EN_CHANGE));
    EXPECT_EQ(EN_CHANGE, dlg.m_nLastCode);
    HWND hWnd = dlg.m_hWnd;
    EXPECT_EQ(&dlg, CWnd::FromHandlePermanent(hWnd));
    dlg.EndDialog(IDOK);
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_EQ(1, dlg.m_nDestroys);
    EXPECT_EQ(nullptr, dlg.m_hWnd);
}

TEST(Dialog, DeletingAModelessDialogDestroysItsWindow)
{
    HWND hWnd;
    {
        CConnectDlg dlg;
        ASSERT_TRUE(dlg.Create(IDD_CONNECT, nullptr));
        hWnd = dlg.m_hWnd;
    }
    EXPECT_FALSE(::IsWindow(hWnd));
}

// The silent start opens the progress window from inside the main window's
// initialisation: both objects must be bound to their own windows.
TEST(Dialog, ModelessDialogMadeDuringAModalInitialisation)
{
    CConnectDlg progress;
    HWND progressWnd = nullptr;
    HWND mainWnd = nullptr;
    CLoginDlg dlg([&](CLoginDlg& d) {
        mainWnd = d.m_hWnd;
        progress.Create(IDD_CONNECT, &d);
        progressWnd = progress.m_hWnd;
        progress.SetStatus("inside");
        d.PostMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED));
    });
    EXPECT_EQ(IDOK, dlg.DoModal());
    ASSERT_NE(nullptr, progressWnd);
    EXPECT_NE(mainWnd, progressWnd);
    EXPECT_EQ(1, dlg.m_nInits);
    EXPECT_EQ(1, progress.GetLogLines().GetCount());
    // The owner went first and took its owned pop-up with it.
    EXPECT_FALSE(::IsWindow(progressWnd));
    EXPECT_EQ(nullptr, progress.m_hWnd);
}

// A control wrapper that sees its messages before the control does.
class CCountingEdit : public CWnd
{
  public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_SETTEXT) ++m_nSetTexts;
        if (message == WM_CHAR && wParam == 'x') return 0; // swallowed: the control never sees it
        return CWnd::WindowProc(message, wParam, lParam);
    }
    void DrawItem(LPDRAWITEMSTRUCT) override { ++m_nDraws; }
    void MeasureItem(LPMEASUREITEMSTRUCT item) override
    {
        ++m_nMeasures;
        item->itemHeight = 31;
    }
    int m_nSetTexts = 0, m_nDraws = 0, m_nMeasures = 0;
};

TEST(Window, SubclassedControlSeesMessagesAndTheOriginalStillWorks)
{
    CHostDialog host(IDD_RERUDI_DIALOG);
    ASSERT_TRUE(host.Create(IDD_RERUDI_DIALOG, nullptr));
    CCountingEdit edit;
    ASSERT_TRUE(edit.SubclassDlgItem(IDC_SYSTEM_NAME, &host));
    EXPECT_FALSE(edit.SubclassDlgItem(IDC_SYSTEM_NAME, &host)) << "one object per window";
    edit.SetWindowText("Zizu");
    EXPECT_EQ(1, edit.m_nSetTexts);
    EXPECT_EQ("Zizu", edit.GetWindowText());
    edit.SendMessage(EM_SETSEL, 4, 4);
    edit.SendMessage(WM_CHAR, 'x', 1);
    edit.SendMessage(WM_CHAR, 'y', 1);
    EXPECT_EQ("Zizuy", host.GetDlgItemText(IDC_SYSTEM_NAME));

    // Owner-drawn messages of a wrapped control reach the wrapper.
    DRAWITEMSTRUCT draw = {};
    draw.CtlType = ODT_BUTTON;
    draw.CtlID = IDC_SYSTEM_NAME;
    draw.hwndItem = edit.m_hWnd;
    EXPECT_EQ(TRUE, host.SendMessage(WM_DRAWITEM, IDC_SYSTEM_NAME, (LPARAM)&draw));
    EXPECT_EQ(1, edit.m_nDraws);
    MEASUREITEMSTRUCT measure = {};
    measure.CtlType = ODT_LISTBOX;
    measure.CtlID = IDC_SYSTEM_NAME;
    host.SendMessage(WM_MEASUREITEM, IDC_SYSTEM_NAME, (LPARAM)&measure);
    EXPECT_EQ(1, edit.m_nMeasures);
    EXPECT_EQ(31u, measure.itemHeight);
    // ...and nothing happens for a control without a wrapper.
    draw.hwndItem = host.GetDlgItem(IDC_PASSWORD);
    host.SendMessage(WM_DRAWITEM, IDC_PASSWORD, (LPARAM)&draw);
    EXPECT_EQ(1, edit.m_nDraws);

    host.DestroyWindow();
    EXPECT_EQ(nullptr, edit.m_hWnd) << "the wrapper lets go when its window goes";
    EXPECT_EQ(nullptr, host.m_hWnd);
}

TEST(Window, WrapperGoingFirstGivesTheControlBack)
{
    CHostDialog host(IDD_RERUDI_DIALOG);
    ASSERT_TRUE(host.Create(IDD_RERUDI_DIALOG, nullptr));
    HWND control = host.GetDlgItem(IDC_SYSTEM_NAME);
    {
        CCountingEdit edit;
        ASSERT_TRUE(edit.SubclassDlgItem(IDC_SYSTEM_NAME, &host));
    }
    EXPECT_EQ(nullptr, CWnd::FromHandlePermanent(control));
    ::SetWindowTextA(control, "still alive");
    EXPECT_EQ("still alive", host.GetDlgItemText(IDC_SYSTEM_NAME));
    host.DestroyWindow();
}

TEST(Window, ListBoxWrapperAnswersMissingLinesSafely)
{
    CHostDialog host(IDD_CONNECT);
    ASSERT_TRUE(host.Create(IDD_CONNECT, nullptr));
    CListBox list;
    DDX_Control(std::unique_ptr<CDataExchange>(new CDataExchange(&host, false)).get(), IDC_STATUS_LIST, list);
    ASSERT_NE(nullptr, list.m_hWnd);
    EXPECT_EQ(0, list.AddString("b"));
    EXPECT_EQ(1, list.AddString("a")) << "this list is not sorted";
    std::string text = "junk";
    EXPECT_EQ(LB_ERR, list.GetText(5, text));
    EXPECT_EQ("", text);
    EXPECT_EQ("a", list.GetText(1));
    EXPECT_EQ(1, list.FindStringExact(-1, "a"));
    list.SetItemData(0, 77);
    EXPECT_EQ(77u, list.GetItemData(0));
    list.ResetContent();
    EXPECT_EQ(0, list.GetCount());
    host.DestroyWindow();
}

int g_nHookCalls = 0;
std::string g_strHookText;
int RecordingHook(HWND, const char* text, const char* caption, UINT flags)
{
    ++g_nHookCalls;
    g_strHookText = std::string(caption) + "|" + text + "|" + std::to_string(flags);
    return IDRETRY;
}

TEST(MessageBox, HookAnswersInsteadOfTheUser)
{
    QVSetMessageBoxHook(&RecordingHook);
    EXPECT_EQ(IDRETRY, QVMessageBox(nullptr, "Connection Failed", "OSKA Rerudi", MB_OK | MB_ICONSTOP));
    CWnd none;
    EXPECT_EQ(IDRETRY, none.MessageBox("second", "", MB_OK));
    QVSetMessageBoxHook(nullptr);
    EXPECT_EQ(2, g_nHookCalls);
    EXPECT_EQ("|second|0", g_strHookText);
}

class CRecordingApp : public CWinApp
{
  public:
    BOOL InitInstance() override
    {
        m_strSeenArgs = m_lpCmdLine ? m_lpCmdLine : "(null)";
        m_bSeenSelf = QVGetApp() == this;
        return FALSE;
    }
    int ExitInstance() override { return 42; }
    std::string m_strSeenArgs;
    bool m_bSeenSelf = false;
};

TEST(Application, RunCallsInitInstanceThenExitInstance)
{
    EXPECT_EQ(nullptr, QVGetApp());
    EXPECT_EQ(1, QVRunApp(nullptr, nullptr)) << "no application object";
    {
        CRecordingApp app;
        char args[] = "/SILENT /USER:Zizu";
        EXPECT_EQ(42, QVRunApp(::GetModuleHandleA(nullptr), args));
        EXPECT_EQ("/SILENT /USER:Zizu", app.m_strSeenArgs);
        EXPECT_TRUE(app.m_bSeenSelf);
        EXPECT_EQ(::GetModuleHandleA(nullptr), QVGetInstance());
    }
    EXPECT_EQ(nullptr, QVGetApp());
}

} // namespace
