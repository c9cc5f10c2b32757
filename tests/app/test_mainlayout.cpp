// The main window's layout: the compact part at start, the options part that the
// Options button shows and hides. They need the whole window, so they live with the
// window's tests rather than in tests/ui.
#include "test_voltarodlg_fixture.h"

#include "ui/resource.h"

namespace
{

using MainLayoutTest = MainWndTest;

TEST_F(MainLayoutTest, CompactLayoutAndKeysThatMustNotClose)
{
    CVOLTARODlg* dlg = OpenWindow("Name", "");
    EXPECT_FALSE(Shown(dlg, IDC_VERSION));
    for (int id :
         {IDC_SYSTEM_LIST, IDC_START_CONFIGURATOR, IDC_OPTIONS, IDC_CONFIGURE_IP, IDC_LOCAL_SYSTEMS_LABEL}) {
        EXPECT_FALSE(Shown(dlg, id)) << id;
        EXPECT_FALSE(::IsWindowEnabled(dlg->GetDlgItem(id))) << id;
    }
    EXPECT_EQ(FieldText(dlg, IDC_VERSION), "8.6 Build 522.0 Rel");
    RECT window, password, start;
    dlg->GetWindowRect(&window);
    ::GetWindowRect(dlg->GetDlgItem(IDC_PASSWORD), &password);
    ::GetWindowRect(dlg->GetDlgItem(IDC_START), &start);
    EXPECT_EQ(window.bottom, password.bottom + 16);
    EXPECT_EQ(start.bottom, password.bottom);
    EXPECT_EQ(FieldText(dlg, IDC_OPTIONS), "Options >>");

    // Enter does nothing; Escape ends the window.
    ::SendMessageA(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(::IsWindow(dlg->m_hWnd));
    HWND hwnd = dlg->m_hWnd;
    ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_FALSE(::IsWindow(hwnd));
}

TEST_F(MainLayoutTest, OptionsToggleShowsTheListAndGrowsTheWindow)
{
    CVOLTARODlg* dlg = OpenWindow("Name", "");
    RECT before, after, list;
    dlg->GetWindowRect(&before);
    ::SendMessageA(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_OPTIONS, BN_CLICKED), 0);
    EXPECT_EQ(dlg->m_bOptionsExpanded, 1u);
    EXPECT_EQ(FieldText(dlg, IDC_OPTIONS), "Options <<");
    EXPECT_TRUE(Shown(dlg, IDC_SYSTEM_LIST));
    EXPECT_TRUE(Shown(dlg, IDC_CONFIGURE_IP));
    dlg->GetWindowRect(&after);
    ::GetWindowRect(dlg->GetDlgItem(IDC_SYSTEM_LIST), &list);
    EXPECT_EQ(after.bottom, list.bottom + 15);
    EXPECT_EQ(after.right - after.left, before.right - before.left);

    ::SendMessageA(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_OPTIONS, BN_CLICKED), 0);
    EXPECT_EQ(dlg->m_bOptionsExpanded, 0u);
    EXPECT_FALSE(Shown(dlg, IDC_SYSTEM_LIST));
}

} // namespace
