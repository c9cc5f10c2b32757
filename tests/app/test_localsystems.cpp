// The list of local systems as the main window shows it: lines made from discovery
// answers and the gateway probe, the per-tick limit, expiry and renamed controllers.
#include "test_voltarodlg_fixture.h"

#include <cstring>
#include <thread>

#include "app/localsystems.h"
#include "protocol/discovery.h"
#include "ui/resource.h"
#include "util/qvsocket.h"
#include "util/qvtick.h"

namespace
{

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

// Puts the per-tick limit back whatever a test does.
struct DrainLimit {
    explicit DrainLimit(int limit) : m_nOld(CLocalSystems::s_nMaxDatagramsPerTick)
    {
        CLocalSystems::s_nMaxDatagramsPerTick = limit;
    }
    ~DrainLimit() { CLocalSystems::s_nMaxDatagramsPerTick = m_nOld; }
    int m_nOld;
};

using LocalSystemsTest = MainWndTest;

TEST_F(LocalSystemsTest, GatewayOnThisPcAppearsAsLocalMachineAndExpires)
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

TEST_F(LocalSystemsTest, DiscoveryAnswersFillTheListByTheRules)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    const uint32_t cellar = MakeIPv4(192, 168, 1, 20);
    const uint32_t other = MakeIPv4(192, 168, 1, 21);

    // A controller that is not ready is listed but not selected.
    EXPECT_TRUE(dlg->m_Systems.HandleAnswer(Answer("Cellar", 2), cellar));
    ASSERT_EQ(Lines(dlg), std::vector<std::string>({"Cellar"}));
    EXPECT_EQ(dlg->m_SystemList.GetCurSel(), LB_ERR);
    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "");

    // The same controller renamed replaces its line; ready, it selects itself.
    EXPECT_TRUE(dlg->m_Systems.HandleAnswer(Answer("Pool House", 1, 0, 8080), cellar));
    ASSERT_EQ(Lines(dlg), std::vector<std::string>({"Pool House"}));
    EXPECT_EQ(dlg->m_SystemList.GetCurSel(), 0);
    EXPECT_EQ(FieldText(dlg, IDC_SYSTEM_NAME), "Pool House");
    EXPECT_EQ(dlg->m_SystemList.GetEntry(0)->m_wPort, 8080);
    EXPECT_EQ(dlg->m_SystemList.GetEntry(0)->m_dwAddress, cellar);

    // Status 5 is ignored and ends the drain; flag bits 0x70 count as known.
    EXPECT_FALSE(dlg->m_Systems.HandleAnswer(Answer("Ghost", 5), other));
    EXPECT_TRUE(dlg->m_Systems.HandleAnswer(Answer("Flagged", 1, 0x20), other));
    EXPECT_EQ(Lines(dlg), std::vector<std::string>({"Pool House"}));

    // With a name in the field, only that name (any letter case) selects.
    EXPECT_TRUE(dlg->m_Systems.HandleAnswer(Answer("Attic", 1), other));
    EXPECT_EQ(Lines(dlg), std::vector<std::string>({"Attic", "Pool House"}));
    EXPECT_EQ(dlg->m_SystemList.GetText(dlg->m_SystemList.GetCurSel()), "Pool House");

    // Typing a listed name in any letter case selects it; another name clears the
    // selection.
    Type(dlg, "xyz");
    EXPECT_EQ(dlg->m_SystemList.GetCurSel(), LB_ERR);
    Type(dlg, "pOOL hOUSE");
    EXPECT_EQ(dlg->m_SystemList.GetText(dlg->m_SystemList.GetCurSel()), "Pool House");
}

TEST_F(LocalSystemsTest, AnswersFromThisPcAndWrongSizedDatagramsAreNotListed)
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

    EXPECT_TRUE(dlg->m_Systems.ProcessReply(&socket)) << "wrong size: skipped, ask again";
    EXPECT_FALSE(dlg->m_Systems.ProcessReply(&socket)) << "our own answer ends the drain";
    EXPECT_FALSE(dlg->m_Systems.ProcessReply(&socket)) << "nothing waiting";
    EXPECT_EQ(dlg->m_SystemList.GetCount(), 0);
    CloseSocket(peer);
}

TEST_F(LocalSystemsTest, EachTickTakesABoundedNumberOfDatagramsAndEmptyOnesDoNotStall)
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
    std::vector<PingReceive> left;
    for (int i = 0; i < 5; ++i) {
        SYSTEM_ANSWER answer;
        QVSockAddr from;
        left.push_back(socket->ReceiveDiscovery(answer, from));
    }
    EXPECT_EQ(left, std::vector<PingReceive>({PingReceive::Ignored, PingReceive::Ignored, PingReceive::Taken,
                                              PingReceive::Nothing, PingReceive::Nothing}));
    EXPECT_EQ(dlg->m_SystemList.GetCount(), 0);
}

TEST_F(LocalSystemsTest, ExpiryTakesTheFirstStaleLineInListOrderOnePerTick)
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
        ASSERT_TRUE(dlg->m_Systems.HandleAnswer(Answer(c.name, 2), c.address));
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

TEST_F(LocalSystemsTest, RenamedControllerAmongManyReplacesOnlyItsOwnLine)
{
    CVOLTARODlg* dlg = OpenWindow("", "");
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 50; ++i) {
            char name[16];
            wsprintfA(name, "Node %02d", 49 - i);
            EXPECT_TRUE(dlg->m_Systems.HandleAnswer(Answer(name, 2), MakeIPv4(10, 0, 1, (uint8_t)(i + 1))));
        }
    }
    ASSERT_EQ(dlg->m_SystemList.GetCount(), 50);

    // Node 24 (address 10.0.1.26) becomes "Node 24b"; the other 49 keep their lines.
    EXPECT_TRUE(dlg->m_Systems.HandleAnswer(Answer("Node 24b", 2), MakeIPv4(10, 0, 1, 26)));
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

} // namespace
