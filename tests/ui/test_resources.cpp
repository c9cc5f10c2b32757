#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ui/resource.h"
#include "ui_support.h"

namespace
{

// Styles as the resource asks for them: controls may drop bits once created
// (a list box hides its scroll bar while nothing needs scrolling).
std::map<int, DWORD> g_CreationStyles;
LRESULT CALLBACK RecordCreation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        CREATESTRUCTA* cs = reinterpret_cast<CBT_CREATEWNDA*>(lParam)->lpcs;
        if (cs->style & WS_CHILD)
            // The dialog manager turns a bordered control's WS_BORDER into a
            // sunken edge; either way the resource asked for a border.
            g_CreationStyles[(int)(INT_PTR)cs->hMenu] =
                (DWORD)cs->style | ((cs->dwExStyle & WS_EX_CLIENTEDGE) ? WS_BORDER : 0);
    }
    (void)wParam;
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
std::map<int, DWORD> StylesOf(UINT idd)
{
    g_CreationStyles.clear();
    HHOOK hook = ::SetWindowsHookExA(WH_CBT, &RecordCreation, nullptr, ::GetCurrentThreadId());
    CHostDialog host(idd);
    host.Create(idd, nullptr);
    ::UnhookWindowsHookEx(hook);
    host.DestroyWindow();
    return g_CreationStyles;
}

struct Expected {
    int id;
    const char* className; // null: any
    const char* text;      // null: not checked
    DWORD styleBits;       // must all be set
};

class MainResourceTest : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(m_Host.Create(IDD_RERUDI_DIALOG, nullptr)); }
    void TearDown() override { m_Host.DestroyWindow(); }
    DWORD Style(int id) { return (DWORD)::GetWindowLongA(m_Host.GetDlgItem(id), GWL_STYLE); }
    CHostDialog m_Host{IDD_RERUDI_DIALOG};
};

TEST_F(MainResourceTest, EveryControlWithItsIdTextAndKind)
{
    EXPECT_EQ("OSKA Rerudi", m_Host.GetWindowText());
    const Expected controls[] = {
        {IDC_BANNER, "Static", nullptr, SS_BITMAP},
        {IDC_SYSTEM_NAME_LABEL, "Static", "System Name", 0},
        {IDC_SYSTEM_NAME, "Edit", "", 0},
        {IDC_PASSWORD_LABEL, "Static", "Password ", 0},
        {IDC_PASSWORD, "Edit", "", ES_PASSWORD},
        {IDC_LOCAL_SYSTEMS_LABEL, "Static", "Local Systems", 0},
        {IDC_SYSTEM_LIST, "ListBox", nullptr, 0},
        {IDC_START, "Button", "Start Rerudi", BS_OWNERDRAW},
        {IDC_OPTIONS, "Button", "Options <<", BS_OWNERDRAW},
        {IDC_CONFIGURE_IP, "Button", "Configure IP Info...", BS_OWNERDRAW},
        {IDC_START_CONFIGURATOR, "Button", "Start Configurator", BS_OWNERDRAW},
        {IDC_VERSION, "Static", "Version", 0},
        {IDC_PRIVACY_POLICY, "Static", "Privacy Policy", SS_NOTIFY | SS_CENTER},
    };
    for (const Expected& c : controls) {
        HWND control = m_Host.GetDlgItem(c.id);
        ASSERT_NE(nullptr, control) << c.id;
        char cls[64] = {};
        ::GetClassNameA(control, cls, sizeof(cls));
        EXPECT_STRCASEEQ(c.className, cls) << c.id;
        if (c.text) {
            EXPECT_EQ(c.text, m_Host.GetDlgItemText(c.id)) << c.id;
        }
        EXPECT_EQ(c.styleBits, Style(c.id) & c.styleBits) << c.id;
    }
}

TEST_F(MainResourceTest, SystemsListIsTheHiddenOwnerDrawnSortedList)
{
    const DWORD wanted = LBS_OWNERDRAWVARIABLE | LBS_HASSTRINGS | LBS_SORT | LBS_NOTIFY |
                         LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP;
    DWORD style = StylesOf(IDD_RERUDI_DIALOG)[IDC_SYSTEM_LIST];
    EXPECT_EQ(wanted, style & wanted);
    EXPECT_EQ(0u, style & (WS_VISIBLE | LBS_OWNERDRAWFIXED));
    RECT expected = ControlRectInPixels(m_Host.m_hWnd, 5, 201, 183, 48);
    RECT actual = ControlRectInClient(m_Host.m_hWnd, IDC_SYSTEM_LIST);
    EXPECT_TRUE(::EqualRect(&expected, &actual));
}

TEST_F(MainResourceTest, CompactPartVisibleOptionsPartHidden)
{
    for (int id : {IDC_SYSTEM_NAME, IDC_PASSWORD, IDC_START, IDC_PRIVACY_POLICY, IDC_BANNER})
        EXPECT_TRUE(Style(id) & WS_VISIBLE) << id;
    for (int id : {IDC_SYSTEM_LIST, IDC_LOCAL_SYSTEMS_LABEL, IDC_OPTIONS, IDC_CONFIGURE_IP,
                   IDC_START_CONFIGURATOR, IDC_VERSION})
        EXPECT_FALSE(Style(id) & WS_VISIBLE) << id;
    // "Start Rerudi" stands beside the two fields, and every compact control
    // ends above the options area.
    RECT start, name, password, list;
    ::GetWindowRect(m_Host.GetDlgItem(IDC_START), &start);
    ::GetWindowRect(m_Host.GetDlgItem(IDC_SYSTEM_NAME), &name);
    ::GetWindowRect(m_Host.GetDlgItem(IDC_PASSWORD), &password);
    ::GetWindowRect(m_Host.GetDlgItem(IDC_SYSTEM_LIST), &list);
    EXPECT_GE(start.left, name.right);
    EXPECT_LE(start.top, name.top);
    EXPECT_LT(password.bottom, list.top);
}

TEST(ProgressResource, LayoutInDialogUnits)
{
    CHostDialog host(IDD_CONNECT);
    ASSERT_TRUE(host.Create(IDD_CONNECT, nullptr));
    DWORD style = (DWORD)::GetWindowLongA(host.m_hWnd, GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_FALSE(style & WS_SYSMENU);
    EXPECT_FALSE(style & WS_VISIBLE);
    struct {
        int id;
        int x, y, cx, cy; // dialog units, as in the template
        const char* cls;
    } controls[] = {
        {IDC_STATUS_LIST, 7, 4, 461, 80, "ListBox"},
        {IDC_CONNECT_CANCEL, 7, 88, 461, 14, "Button"},
        {IDC_PROGRESS, 7, 105, 461, 8, "msctls_progress32"},
    };
    for (auto& c : controls) {
        RECT expected = ControlRectInPixels(host.m_hWnd, c.x, c.y, c.cx, c.cy);
        RECT actual = ControlRectInClient(host.m_hWnd, c.id);
        EXPECT_TRUE(::EqualRect(&expected, &actual)) << c.id;
        char cls[64] = {};
        ::GetClassNameA(host.GetDlgItem(c.id), cls, sizeof(cls));
        EXPECT_STRCASEEQ(c.cls, cls);
    }
    DWORD listStyle = StylesOf(IDD_CONNECT)[IDC_STATUS_LIST];
    const DWORD wanted = WS_VSCROLL | WS_BORDER | WS_TABSTOP | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY;
    EXPECT_EQ(wanted, listStyle & wanted);
    EXPECT_EQ(0u, listStyle & LBS_SORT);
    host.DestroyWindow();
}

TEST(HelpResource, TitleAndOkButton)
{
    CHostDialog host(IDD_HELP);
    ASSERT_TRUE(host.Create(IDD_HELP, nullptr));
    EXPECT_EQ("System Name and Password", host.GetWindowText());
    EXPECT_EQ("OK", host.GetDlgItemText(IDOK));
    EXPECT_FALSE(host.GetDlgItemText(IDC_HELP_TEXT).empty());
    host.DestroyWindow();
}

TEST(ProgramResources, ManifestAsksForCommonControlsOfThisWidth)
{
    // Windows refuses to start a program whose manifest binds it to the common
    // controls of the other width ("side-by-side configuration is incorrect").
    HINSTANCE self = ::GetModuleHandleA(nullptr);
    HRSRC found = ::FindResourceA(self, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(nullptr, found);
    const char* bytes = static_cast<const char*>(::LockResource(::LoadResource(self, found)));
    ASSERT_NE(nullptr, bytes);
    const std::string manifest(bytes, ::SizeofResource(self, found));
    EXPECT_NE(std::string::npos, manifest.find("Microsoft.Windows.Common-Controls"));
    const std::string key = "processorArchitecture=\"";
    const std::string mine = sizeof(void*) == 8 ? "amd64" : "x86";
    int seen = 0;
    for (size_t at = manifest.find(key); at != std::string::npos; at = manifest.find(key, at)) {
        at += key.size();
        const std::string value = manifest.substr(at, manifest.find('"', at) - at);
        EXPECT_TRUE(value == "*" || value == mine) << value;
        ++seen;
    }
    EXPECT_EQ(2, seen);
}

TEST(ProgramResources, IconManifestAndVersion)
{
    HINSTANCE self = ::GetModuleHandleA(nullptr);
    EXPECT_NE(nullptr, ::LoadIconA(self, MAKEINTRESOURCEA(IDR_MAINFRAME)));
    EXPECT_NE(nullptr, ::FindResourceA(self, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)));

    char path[MAX_PATH];
    ::GetModuleFileNameA(self, path, MAX_PATH);
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(::GetFileVersionInfoA(path, 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\", (void**)&fixed, &length));
    EXPECT_EQ(MAKELONG(6, 8), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(0, 522), fixed->dwFileVersionLS);
    auto value = [&](const char* name) {
        char* text = nullptr;
        UINT len = 0;
        std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
        if (!::VerQueryValueA(block.data(), key.c_str(), (void**)&text, &len) || !text) return std::string();
        return std::string(text);
    };
    EXPECT_EQ("OSKA Rerudi", value("ProductName"));
    EXPECT_EQ("OSKA Zizu Systems", value("CompanyName"));
    EXPECT_EQ("8.6.522.0", value("FileVersion"));
}

} // namespace
