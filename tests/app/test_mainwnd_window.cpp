// The main window seen from outside: the saved login and the fields, the list of
// local systems fed by discovery answers and the gateway probe, the timer's
// expiry, the compact layout and the keys that must not close the launcher.
#include "test_mainwnd_fixture.h"

#include <cstring>

#include "app/loginfile.h"
#include "protocol/discovery.h"
#include "ui/resource.h"
#include "util/qvsocket.h"
#include "util/qvtick.h"

namespace
{

std::string FieldText(CVOLTARODlg* dlg, int id)
{
    return dlg->GetDlgItemText(id);
}

// Shown as far as the control itself goes (the test window is never shown).
bool Shown(CVOLTARODlg* dlg, int id)
{
    return (::GetWindowLongA(dlg->GetDlgItem(id), GWL_STYLE) & WS_VISIBLE) != 0;
}

void Type(CVOLTARODlg* dlg, const std::string& name)
{
    // Setting the text reports the change to the window as typing does.
    ::SetWindowTextA(dlg->GetDlgItem(IDC_SYSTEM_NAME), name.c_str());
}

// Holds "GatewayMutex" on a thread of its own until released, as a gateway
// program on this PC would.
class GatewayHolder
{
  public:
    GatewayHolder()
    {
        m_hRelease = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_hTaken = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_Thread = std::thread([this] {
            HANDLE mutex = ::CreateMutexA(nullptr, TRUE, "GatewayMutex");
            ::SetEvent(m_hTaken);
            ::WaitForSingleObject(m_hRelease, 30000);
            ::ReleaseMutex(mutex);
            ::CloseHandle(mutex);
        });
        ::WaitForSingleObject(m_hTaken, 5000);
    }
    void Release()
    {
        if (m_Thread.joinable()) {
            ::SetEvent(m_hRelease);
            m_Thread.join();
        }
    }
    ~GatewayHolder()
    {
        Release();
        ::CloseHandle(m_hRelease);
        ::CloseHandle(m_hTaken);
    }

  private:
    HANDLE m_hRelease, m_hTaken;
    std::thread m_Thread;
};

SYSTEM_ANSWER Answer(const char* name, uint8_t status, uint8_t flags = 0, uint16_t port = 80)
{
    SYSTEM_ANSWER a;
    memset(&a, 0, sizeof(a));
    a.dwType = ANSWER_TYPE;
    a.wPort = port;
    a.bStatus = status;
    a.bFlags = flags;
    strncpy(a.szName, name, sizeof(a.szName) - 1);
    return a;
}

std::vector<std::string> Lines(CVOLTARODlg* dlg)
{
    std::vector<std::string> lines;
    for (int i = 0; i < dlg->m_SystemList.GetCount(); ++i)
        lines.push_back(dlg->m_SystemList.GetText(i));
    return lines;
}

// Puts the per-tick limit back whatever a test does.
struct DrainLimit {
    explicit DrainLimit(int limit) : m_nOld(CLocalSystems::s_nMaxDatagramsPerTick)
    {
        CLocalSystems::s_nMaxDatagramsPerTick = limit;
    }
    ~DrainLimit() { CLocalSystems::s_nMaxDatagramsPerTick = m_nOld; }
    int m_nOld;
};

} // namespace

TEST_F(MainWndTest, SavedLoginFillsTheFieldsAndTypingTheSavedNameBringsThePasswordBack)
{
    LoginData saved;
    saved.systemName = "Pool";
    saved.password = "secret";
    saved.sizeClass = 1;
    ASSERT_TRUE(WriteLoginFile(m_strDataFolder + "\\LOGIN.DAT", saved));
    CVOLTARODlg* dlg = OpenWindow("", "");

    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "Pool");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "secret");
    EXPECT_EQ(dlg->m_nSizeClass, 1);

    Type(dlg, "Garden");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");
    Type(dlg, "pool"); // letter case matters for the saved login
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");
    Type(dlg, "Pool");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "secret");
    EXPECT_EQ(dlg->m_strPassword, "secret");
}

TEST_F(MainWndTest, StartRerudiIsEnabledOnlyWithASystemName)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    EXPECT_FALSE(::IsWindowEnabled(dlg->GetDlgItem(IDC_START)));
    Type(dlg, "Pool");
    EXPECT_TRUE(::IsWindowEnabled(dlg->GetDlgItem(IDC_START)));
    Type(dlg, "");
    EXPECT_FALSE(::IsWindowEnabled(dlg->GetDlgItem(IDC_START)));
}

TEST_F(MainWndTest, NameOnTheCommandLineLeavesTheSavedLoginUnread)
{
    LoginData saved;
    saved.systemName = "Pool";
    saved.password = "secret";
    ASSERT_TRUE(WriteLoginFile(m_strDataFolder + "\\LOGIN.DAT", saved));
    CVOLTARODlg* dlg = OpenWindow("Given", "");

    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "Given");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");
    EXPECT_EQ(dlg->m_strSavedSystemName, "");
}

TEST_F(MainWndTest, SaveLoginWritesTheTypedLoginAndSilentModeNeverWrites)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    dlg->m_strSystemName = "Typed";
    dlg->m_strPassword = "pw";
    dlg->m_dwLastAddress = MakeIPv4(192, 168, 1, 10);
    dlg->SaveLogin();
    LoginData back;
    ASSERT_TRUE(ReadLoginFile(m_strDataFolder + "\\LOGIN.DAT", back));
    EXPECT_EQ(back.systemName, "Typed");
    EXPECT_EQ(back.password, "pw");
    EXPECT_EQ(back.lastAddress, MakeIPv4(192, 168, 1, 10));
    EXPECT_EQ(dlg->m_strSavedSystemName, "Typed");

    // Not remembering clears what is kept.
    dlg->m_bRememberLogin = 0;
    dlg->SaveLogin();
    LoginData cleared;
    ASSERT_TRUE(ReadLoginFile(m_strDataFolder + "\\LOGIN.DAT", cleared));
    EXPECT_EQ(cleared.systemName, "");
    EXPECT_EQ(cleared.password, "");
    EXPECT_EQ(cleared.rememberLogin, 0u);

    const std::string bytes = ReadFileBytes(m_strDataFolder + "\\LOGIN.DAT");
    dlg->m_bSilent = true;
    dlg->m_bRememberLogin = 1;
    dlg->SaveLogin();
    EXPECT_EQ(ReadFileBytes(m_strDataFolder + "\\LOGIN.DAT"), bytes);
}

TEST_F(MainWndTest, GatewayOnThisPcAppearsAsLocalMachineAndExpires)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    {
        GatewayHolder gateway;
        dlg->OnTick(1);
        ASSERT_EQ(dlg->m_SystemList.GetCount(), 1);
        SystemEntry* entry = dlg->m_SystemList.GetEntry(0);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->m_strName, "Local Machine");
        EXPECT_EQ(entry->m_dwAddress, LoopbackAddress());
        EXPECT_EQ(entry->m_wPort, 80);
        // An empty name lets a ready controller select itself.
        EXPECT_EQ(dlg->m_SystemList.GetCurSel(), 0);
        EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "Local Machine");

        // Answers keep the line; no second line for the same system.
        dlg->OnTick(1);
        EXPECT_EQ(dlg->m_SystemList.GetCount(), 1);
        gateway.Release();
    }
    dlg->OnTick(1);
    EXPECT_EQ(dlg->m_SystemList.GetCount(), 1) << "still fresh";
    SetTickOffsetForTest(2100);
    dlg->OnTick(1);
    EXPECT_EQ(dlg->m_SystemList.GetCount(), 0) << "older than 2000 ms";
}

TEST_F(MainWndTest, DiscoveryAnswersFillTheListByTheRules)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    const uint32_t cellar = MakeIPv4(192, 168, 1, 20);
    const uint32_t other = MakeIPv4(192, 168, 1, 21);

    // A controller that is not ready is listed but not selected.
    EXPECT_EQ(dlg->m_Systems.HandleAnswer(Answer("Cellar", 2), cellar), 1);
    ASSERT_EQ(Lines(dlg), std::vector<std::string>({"Cellar"}));
    EXPECT_EQ(dlg->m_SystemList.GetCurSel(), LB_ERR);
    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "");

    // The same controller renamed replaces its line; ready, it selects itself.
    EXPECT_EQ(dlg->m_Systems.HandleAnswer(Answer("Pool House", 1, 0, 8080), cellar), 1);
    ASSERT_EQ(Lines(dlg), std::vector<std::string>({"Pool House"}));
    EXPECT_EQ(dlg->m_SystemList.GetCurSel(), 0);
    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "Pool House");
    EXPECT_EQ(dlg->m_SystemList.GetEntry(0)->m_wPort, 8080);
    EXPECT_EQ(dlg->m_SystemList.GetEntry(0)->m_dwAddress, cellar);

    // Status 5 is ignored and ends the drain; flag bits 0x70 count as known.
    EXPECT_EQ(dlg->m_Systems.HandleAnswer(Answer("Ghost", 5), other), 0);
    EXPECT_EQ(dlg->m_Systems.HandleAnswer(Answer("Flagged", 1, 0x20), other), 1);
    EXPECT_EQ(Lines(dlg), std::vector<std::string>({"Pool House"}));

    // With a name in the field, only that name (any letter case) selects.
    EXPECT_EQ(dlg->m_Systems.HandleAnswer(Answer("Attic", 1), other), 1);
    EXPECT_EQ(Lines(dlg), std::vector<std::string>({"Attic", "Pool House"}));
    EXPECT_EQ(dlg->m_SystemList.GetText(dlg->m_SystemList.GetCurSel()), "Pool House");

    // Typing a listed name in any letter case selects it; another name clears the
    // selection.
    Type(dlg, "xyz");
    EXPECT_EQ(dlg->m_SystemList.GetCurSel(), LB_ERR);
    Type(dlg, "pOOL hOUSE");
    EXPECT_EQ(dlg->m_SystemList.GetText(dlg->m_SystemList.GetCurSel()), "Pool House");
}

TEST_F(MainWndTest, AnswersFromThisPcAndWrongSizedDatagramsAreNotListed)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    CPingSocket socket(LoopbackAddress(), 0);
    ASSERT_NE(socket.GetBoundPort(), 0);
    QVSOCKET peer = SocketUdp();
    const QVSockAddr to = MakeSockAddr(LoopbackAddress(), socket.GetBoundPort());
    const uint8_t junk[12] = {1, 2, 3};
    SocketSendTo(peer, junk, sizeof(junk), to);
    SYSTEM_ANSWER a = Answer("Myself", 1);
    uint8_t wire[SYSTEM_ANSWER_SIZE];
    EncodeSystemAnswer(a, wire);
    SocketSendTo(peer, wire, sizeof(wire), to);
    ::Sleep(50);

    EXPECT_EQ(dlg->m_Systems.ProcessReply(&socket), 1) << "wrong size: skipped, ask again";
    EXPECT_EQ(dlg->m_Systems.ProcessReply(&socket), 0) << "our own answer ends the drain";
    EXPECT_EQ(dlg->m_Systems.ProcessReply(&socket), 0) << "nothing waiting";
    EXPECT_EQ(dlg->m_SystemList.GetCount(), 0);
    CloseSocket(peer);
}

TEST_F(MainWndTest, SelectedEntryWinsOverTypedAddressAndSelectionRestoresSavedPassword)
{
    StartSim("7.1.1.0", "");
    PutProgram("7_1_1_0", "BRIGHTLEAF.EXE", "viewer");
    LoginData saved;
    saved.systemName = "Sim";
    saved.password = "pw";
    ASSERT_TRUE(WriteLoginFile(m_strDataFolder + "\\LOGIN.DAT", saved));
    CVOLTARODlg* dlg = OpenWindow("", "");
    Type(dlg, "Other");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");

    SystemEntry* entry = new SystemEntry();
    entry->m_strName = "Sim";
    entry->m_dwAddress = LoopbackAddress();
    entry->m_wPort = m_pSim->GetPort();
    entry->m_dwLastSeen = GetTick();
    const int index = dlg->m_SystemList.AddEntry(entry);
    ASSERT_GE(index, 0);
    dlg->m_SystemList.SetCurSel(index);
    dlg->OnSelChange();
    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "Sim");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "pw");
    EXPECT_EQ(dlg->m_SystemList.GetCurSel(), index);

    // A typed dotted address that leads nowhere loses against a selected line.
    Type(dlg, "127.0.0.9:1");
    EXPECT_EQ(FieldText(dlg, IDC_PASSWORD), "");
    dlg->m_SystemList.SetCurSel(index);
    ASSERT_EQ(dlg->StartViewer(0), 1);
    EXPECT_EQ(m_pSim->GetStats().loginsOk, 1u);
    EXPECT_EQ(dlg->m_dwLastAddress, LoopbackAddress());
}

TEST_F(MainWndTest, CompactLayoutAndKeysThatMustNotClose)
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

TEST_F(MainWndTest, OptionsToggleShowsTheListAndGrowsTheWindow)
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

TEST_F(MainWndTest, BuildFilesMoveIntoTheBuildFolderWithoutOverwriting)
{
    WriteFileBytes(m_strDataFolder + "\\BRIGHTLEAF.EXE", "old viewer");
    WriteFileBytes(m_strDataFolder + "\\AREA.CSV", "area");
    ::CreateDirectoryA((m_strDataFolder + "\\8_6_522_0").c_str(), nullptr);
    WriteFileBytes(m_strDataFolder + "\\8_6_522_0\\AREA.CSV", "kept");
    OpenWindow("Name", "");

    EXPECT_EQ(ReadFileBytes(m_strDataFolder + "\\8_6_522_0\\BRIGHTLEAF.EXE"), "old viewer");
    EXPECT_FALSE(FileExistsA(m_strDataFolder + "\\BRIGHTLEAF.EXE"));
    EXPECT_EQ(ReadFileBytes(m_strDataFolder + "\\8_6_522_0\\AREA.CSV"), "kept");
    EXPECT_EQ(ReadFileBytes(m_strDataFolder + "\\AREA.CSV"), "area");
}

TEST_F(MainWndTest, ConfigureIpWithoutSelectionDoesNothingAndWithoutAnswerGivesUp)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    dlg->OnConfigureIP();
    EXPECT_EQ(dlg->m_pProgressDlg, nullptr);

    // With the adapters out of reach no controller can answer: the command shows
    // its last line for two seconds, closes the progress window and leaves the
    // window usable.
    EXPECT_EQ(dlg->m_Systems.HandleAnswer(Answer("Cellar", 1), MakeIPv4(192, 168, 1, 20)), 1);
    ASSERT_EQ(dlg->m_SystemList.GetCurSel(), 0);
    const uint32_t start = GetTick();
    dlg->OnConfigureIP();
    EXPECT_GE(TickSince(start), 2000u);
    EXPECT_EQ(dlg->m_pProgressDlg, nullptr);
    EXPECT_EQ(dlg->m_bBusy, 0u);
    EXPECT_FALSE(FileExistsA(m_strDataFolder + "\\OSKA_Connect_Log.txt")) << "no log for this command";
}

TEST_F(MainWndTest, EachTickTakesABoundedNumberOfDatagramsAndEmptyOnesDoNotStall)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    CPingSocket* socket = new CPingSocket(LoopbackAddress(), 0); // the window deletes it
    ASSERT_TRUE(socket->IsValid());
    dlg->m_Systems.m_PingSockets.AddTail(socket);
    const QVSockAddr to = MakeSockAddr(LoopbackAddress(), socket->GetBoundPort());
    DrainLimit limit(4);

    // Ten datagrams that are no answers (empty ones among them), then an answer
    // from this PC, which ends a drain: eleven datagrams, four taken per tick.
    QVSOCKET peer = SocketUdp();
    const uint8_t junk[12] = {2, 0, 0, 0};
    for (int i = 0; i < 10; ++i) {
        const int length = (i % 3 == 0) ? 0 : (int)sizeof(junk);
        EXPECT_EQ(SocketSendTo(peer, junk, length, to), length);
    }
    uint8_t wire[SYSTEM_ANSWER_SIZE];
    EncodeSystemAnswer(Answer("Myself", 1), wire);
    EXPECT_EQ(SocketSendTo(peer, wire, sizeof(wire), to), (int)sizeof(wire));
    CloseSocket(peer);
    ::Sleep(50);

    dlg->OnTick(1);
    dlg->OnTick(1);
    // What the two ticks left: the last two of the ten, then the answer.
    std::vector<int> left;
    for (int i = 0; i < 5; ++i) {
        SYSTEM_ANSWER answer;
        QVSockAddr from;
        left.push_back(socket->ReceiveDiscovery(answer, from));
    }
    EXPECT_EQ(left, std::vector<int>({1, 1, 2, 0, 0}));
    EXPECT_EQ(dlg->m_SystemList.GetCount(), 0);
}

TEST_F(MainWndTest, ExpiryTakesTheFirstStaleLineInListOrderOnePerTick)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    // Arrival order differs from list order.
    const struct {
        const char* name;
        uint32_t address;
    } controllers[] = {{"Delta", MakeIPv4(10, 0, 0, 1)},
                       {"Alpha", MakeIPv4(10, 0, 0, 2)},
                       {"Echo", MakeIPv4(10, 0, 0, 3)},
                       {"Charlie", MakeIPv4(10, 0, 0, 4)},
                       {"Bravo", MakeIPv4(10, 0, 0, 5)}};
    for (const auto& c : controllers)
        ASSERT_EQ(dlg->m_Systems.HandleAnswer(Answer(c.name, 2), c.address), 1);
    ASSERT_EQ(Lines(dlg), std::vector<std::string>({"Alpha", "Bravo", "Charlie", "Delta", "Echo"}));
    for (int i = 0; i < 5; ++i) {
        SystemEntry* entry = dlg->m_SystemList.GetEntry(i);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->m_strName, dlg->m_SystemList.GetText(i)) << "the line's own entry";
    }

    // Delta arrived first, but Bravo comes first in the list.
    SetTickOffsetForTest(2100);
    for (const auto& c : controllers) {
        if (strcmp(c.name, "Delta") != 0 && strcmp(c.name, "Bravo") != 0)
            dlg->m_Systems.HandleAnswer(Answer(c.name, 2), c.address);
    }
    dlg->OnTick(1);
    EXPECT_EQ(Lines(dlg), std::vector<std::string>({"Alpha", "Charlie", "Delta", "Echo"}));
    dlg->OnTick(1);
    EXPECT_EQ(Lines(dlg), std::vector<std::string>({"Alpha", "Charlie", "Echo"}));
    dlg->OnTick(1);
    EXPECT_EQ(Lines(dlg), std::vector<std::string>({"Alpha", "Charlie", "Echo"}));
}

TEST_F(MainWndTest, RenamedControllerAmongManyReplacesOnlyItsOwnLine)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 50; ++i) {
            char name[16];
            wsprintfA(name, "Node %02d", 49 - i);
            EXPECT_EQ(dlg->m_Systems.HandleAnswer(Answer(name, 2), MakeIPv4(10, 0, 1, (uint8_t)(i + 1))), 1);
        }
    }
    ASSERT_EQ(dlg->m_SystemList.GetCount(), 50);

    // Node 24 (address 10.0.1.26) becomes "Node 24b"; the other 49 keep their lines.
    EXPECT_EQ(dlg->m_Systems.HandleAnswer(Answer("Node 24b", 2), MakeIPv4(10, 0, 1, 26)), 1);
    const std::vector<std::string> lines = Lines(dlg);
    ASSERT_EQ(lines.size(), 50u);
    EXPECT_EQ(lines[24], "Node 24b");
    EXPECT_EQ(lines[23], "Node 23");
    EXPECT_EQ(lines[25], "Node 25");
    for (int i = 0; i < 50; ++i) {
        SystemEntry* entry = dlg->m_SystemList.GetEntry(i);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->m_strName, lines[(size_t)i]);
    }
    EXPECT_EQ(dlg->m_SystemList.GetEntry(24)->m_dwAddress, MakeIPv4(10, 0, 1, 26));

    // Typing a name finds its line among them.
    Type(dlg, "node 07");
    EXPECT_EQ(dlg->m_SystemList.GetCurSel(), 7);
}
