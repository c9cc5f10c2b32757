// The relay server list: what a list file gives, what is written back, the
// checksum, the choice of server for a system name, and the fetch from a relay
// server (a fake one on loopback that misbehaves on demand).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "remote/fake_relay.h"
#include "remote/netaddr.h"
#include "remote/serverpool.h"
#include "util/qvsocket.h"
#include "util/qvtick.h"
#include "util/tempdir.h"
#include "util/trace.h"

namespace
{

const bool kSocketsStarted = SocketStartup();

// The pool's entries as "name|host|port" lines.
std::vector<std::string> Entries(CServerPool& pool)
{
    std::vector<std::string> out;
    for (int i = 0; i < pool.GetCount(); i++) {
        const ServerEntry* e = pool.GetEntry(i);
        out.push_back(std::string(e->szName) + "|" + e->szHost + "|" + std::to_string(e->nPort));
    }
    return out;
}

// Every byte after each text's terminator is NUL.
bool NulPadded(const ServerEntry& e)
{
    for (size_t i = strlen(e.szName); i < sizeof(e.szName); i++)
        if (e.szName[i]) return false;
    for (size_t i = strlen(e.szHost); i < sizeof(e.szHost); i++)
        if (e.szHost[i]) return false;
    return true;
}

std::string Repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; i++)
        out += s;
    return out;
}

class ServerPoolFile : public ::testing::Test
{
  protected:
    std::string Path() const { return m_Dir.Q("servers.txt"); }
    fs::path NativePath() const { return m_Dir.N("servers.txt"); }
    void Write(const std::string& bytes) { WriteAll(NativePath(), bytes); }
    std::string Read() const { return ReadAll(NativePath()); }
    TempDir m_Dir;
};

TEST_F(ServerPoolFile, FreshPoolHoldsTheBuiltInEntry)
{
    CServerPool pool(Path());
    ASSERT_EQ(pool.GetCount(), 1);
    EXPECT_STREQ(pool.GetEntry(0)->szName, "x!Relay");
    EXPECT_STREQ(pool.GetEntry(0)->szHost, DefaultRelayHost());
    EXPECT_GT(strlen(DefaultRelayHost()), 0u);
    EXPECT_EQ(pool.GetEntry(0)->nPort, 8500);
    EXPECT_EQ(pool.GetEntry(1), nullptr);
    EXPECT_EQ(pool.GetEntry(-1), nullptr);

    // No file: nothing changes.
    EXPECT_FALSE(pool.Load());
    EXPECT_EQ(pool.GetCount(), 1);
    EXPECT_STREQ(pool.GetEntry(0)->szName, "x!Relay");
}

TEST_F(ServerPoolFile, LinesBecomeEntries)
{
    const struct {
        const char* what;
        std::string file;
        std::vector<std::string> entries;
    } cases[] = {
        {"CRLF, then no final line end",
         "Alpha,10.0.0.5,8500\r\nBeta,10.0.0.6,8600",
         {"Alpha|10.0.0.5|8500", "Beta|10.0.0.6|8600"}},
        {"blank lines and lines without two commas", "\n\r\n\nnocomma\none,comma\n\n", {}},
        {"port read as a C conversion",
         "A,B, \t+77abc\nC,D,-0\nE,F,\nG,H,x9\n",
         {"A|B|77", "C|D|0", "E|F|0", "G|H|0"}},
        {"ports beyond 0..65535 skip the line",
         "A,B,65536\nC,D,-1\nE,F,99999999999999999999999\nG,H,65535\n",
         {"G|H|65535"}},
        {"blanks kept in name and host", " x , y ,1\n", {" x | y |1"}},
        {"more fields after the port", "A,B,80,C,D\n", {"A|B|80"}},
        {"only the carriage return before a line feed goes",
         "A,B,5\r\r\nC,D,6\rE\nF,G,7\r",
         {"A|B|5", "C|D|6", "F|G|7"}},
        {"empty name and host", ",,9\n", {"||9"}},
        {"a NUL ends a text", std::string("A\0Z,B\0Y,1\n", 10), {"A|B|1"}},
        {"long name and host cut to fit",
         std::string(100, 'n') + "," + std::string(200, 'h') + ",1\n",
         {std::string(63, 'n') + "|" + std::string(127, 'h') + "|1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Write(c.file);
        CServerPool pool(Path());
        EXPECT_EQ(pool.Load(), !c.entries.empty());
        EXPECT_EQ(Entries(pool), c.entries);
        for (int i = 0; i < pool.GetCount(); i++)
            EXPECT_TRUE(NulPadded(*pool.GetEntry(i))) << i;
    }
}

TEST_F(ServerPoolFile, AbsurdFilesStayBounded)
{
    // 10,000 lines: the first 32 entries are taken.
    std::string many;
    for (int i = 0; i < 10000; i++)
        many += "S" + std::to_string(i) + ",10.0.0.1," + std::to_string(i) + "\n";
    Write(many);
    CServerPool pool(Path());
    ASSERT_TRUE(pool.Load());
    ASSERT_EQ(pool.GetCount(), SERVER_POOL_MAX);
    EXPECT_EQ(Entries(pool).back(), "S31|10.0.0.1|31");

    // A 1 MB line, with or without commas, gives nothing and reads nothing past the bound.
    Write(std::string(1 << 20, 'x') + "\nA,B,1\n");
    EXPECT_FALSE(pool.Load());
    EXPECT_EQ(pool.GetCount(), 0);
    Write("A," + std::string(1 << 20, 'h') + ",1\n");
    EXPECT_FALSE(pool.Load());

    // A line cut by the bound is not taken as a shorter entry.
    std::string cut = "A,B,1\n";
    while (cut.size() < SERVER_FILE_MAX - 4)
        cut += "filler without commas\n";
    cut.resize(SERVER_FILE_MAX - 6, 'f');
    cut += "\nC,D,8500\n";
    ASSERT_GT(cut.size(), (size_t)SERVER_FILE_MAX);
    Write(cut);
    ASSERT_TRUE(pool.Load());
    EXPECT_EQ(Entries(pool), std::vector<std::string>{"A|B|1"});
}

TEST_F(ServerPoolFile, SaveWritesOneLinePerEntryAndReadsBack)
{
    Write("Alpha,10.0.0.5,8500\r\n\r\nBeta,relay.example,8600\r\n");
    CServerPool pool(Path());
    ASSERT_TRUE(pool.Load());
    ASSERT_TRUE(pool.Save());
    EXPECT_EQ(Read(), "Alpha,10.0.0.5,8500\nBeta,relay.example,8600\n");
    EXPECT_FALSE(fs::exists(m_Dir.N("servers.txt.new")));

    CServerPool again(Path());
    ASSERT_TRUE(again.Load());
    EXPECT_EQ(Entries(again), Entries(pool));
    pool.UpdateChecksum();
    again.UpdateChecksum();
    EXPECT_EQ(again.GetChecksum(), pool.GetChecksum());
}

TEST_F(ServerPoolFile, NothingIsSavedInsteadOfAnEmptyList)
{
    const std::string garbage = "no entries here\n";
    Write(garbage);
    CServerPool pool(Path());
    EXPECT_FALSE(pool.Load());
    EXPECT_EQ(pool.GetCount(), 0);
    EXPECT_FALSE(pool.Save());
    EXPECT_EQ(Read(), garbage);
}

TEST_F(ServerPoolFile, FailedSaveLeavesTheOldFileWhole)
{
    const std::string old = "Old,10.0.0.1,1\n";
    Write(old);
    // The new file cannot be made beside it (a folder holds its name).
    fs::create_directory(m_Dir.N("servers.txt.new"));
    CServerPool pool(Path());
    EXPECT_FALSE(pool.Save());
    EXPECT_EQ(Read(), old);
    fs::remove(m_Dir.N("servers.txt.new"));

    // A folder where the list should be: nothing is left behind either.
    fs::remove(NativePath());
    fs::create_directory(NativePath());
    EXPECT_FALSE(pool.Save());
    EXPECT_TRUE(fs::is_directory(NativePath()));
    EXPECT_FALSE(fs::exists(m_Dir.N("servers.txt.new")));

    // No such folder.
    CServerPool lost(m_Dir.Q("missing/servers.txt"));
    EXPECT_FALSE(lost.Save());
    EXPECT_FALSE(fs::exists(m_Dir.N("missing")));

    // And a successful save replaces a longer file whole.
    fs::remove(NativePath());
    Write(Repeat("Long,10.9.9.9,9999\n", 30));
    ASSERT_TRUE(pool.Save());
    EXPECT_EQ(Read(), std::string("x!Relay,") + DefaultRelayHost() + ",8500\n");
}

std::vector<std::string> g_Traced;
void KeepTrace(const char* line)
{
    g_Traced.push_back(line);
}

TEST_F(ServerPoolFile, DiagnosticsNameTheFileAndTheEntries)
{
    g_Traced.clear();
    SetTraceSink(KeepTrace);
    CServerPool pool(Path());
    EXPECT_FALSE(pool.Load());
    Write("A,B,258\n");
    ASSERT_TRUE(pool.Load());
    pool.UpdateChecksum();
    testing::internal::CaptureStdout();
    pool.Dump();
    const std::string out = testing::internal::GetCapturedStdout();
    SetTraceSink(nullptr);
    EXPECT_EQ(out, "Server Pool CS:0x00000086\r\n");
    EXPECT_EQ(g_Traced,
              (std::vector<std::string>{"Error Can't open " + Path() + " for reading...", "A\tB:\t258\r\n"}));
}

TEST_F(ServerPoolFile, APathTooLongIsNeverCut)
{
    // Cut at 255 characters this path would name a file in the test folder itself.
    const std::string longPath = m_Dir.Q(std::string(300, 'd') + "\\servers.txt");
    Write("A,B,1\n");
    CServerPool pool(longPath);
    EXPECT_FALSE(pool.Load());
    EXPECT_EQ(pool.GetCount(), 1);
    EXPECT_FALSE(pool.Save());
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_Dir.N("")))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"servers.txt"});
}

TEST(ServerPool, ChecksumAddsFieldsWithTheirPadding)
{
    ServerEntry e;
    e.Set("A", "B", 258);
    EXPECT_EQ(CServerPool::Checksum(&e, 1), 134u); // 65 + 66 + 2 + 1
    ServerEntry two[2];
    two[0].Set("A", "B", 258);
    two[1].Set("\xFF", "", 0x01000000);
    EXPECT_EQ(CServerPool::Checksum(two, 2), 134u + 255u + 1u);
    EXPECT_EQ(CServerPool::Checksum(two, 0), 0u);
}

TEST(ServerPool, SelectForAddsSignedBytes)
{
    CServerPool pool("");
    // Eleven entries tell signed from unsigned byte sums apart: 2^32 - 256 is not a
    // multiple of 11.
    const struct {
        int entries;
        const char* name;
        int index;
    } cases[] = {
        {2, "AB", 1},
        {3, "AB", 2},
        {1, "anything", 0},
        {11, "\xC8", 3},
        {11, "A", 10},
        {11, "\x80\x80", 1},
        {32, "Zizu", (90 + 105 + 122 + 117) % 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file;
        for (int i = 0; i < c.entries; i++)
            file += "S" + std::to_string(i) + ",10.0.0." + std::to_string(i) + ",1\n";
        TempDir dir;
        WriteAll(dir.N("servers.txt"), file);
        CServerPool listed(dir.Q("servers.txt"));
        ASSERT_TRUE(listed.Load());
        ServerEntry* e = listed.SelectFor(c.name);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e - listed.GetEntry(0), c.index);
        EXPECT_EQ(e->nAddressLength, 16);
    }
    EXPECT_EQ(pool.SelectFor(""), nullptr);
    EXPECT_EQ(pool.SelectFor(nullptr), nullptr);
}

TEST(ServerPool, ResolveDottedAndNamedHosts)
{
    ServerEntry e;
    e.Set("R", "192.0.2.10", 6000);
    ASSERT_TRUE(e.Resolve());
    EXPECT_EQ(e.nAddressLength, 16);
    EXPECT_EQ(e.nFamily, 2);
    EXPECT_EQ(e.address.addr, MakeIPv4(192, 0, 2, 10));
    EXPECT_EQ(SockAddrPort(e.address), 6000);

    e.Set("L", "localhost", 7000);
    ASSERT_TRUE(e.Resolve());
    EXPECT_EQ(e.address.addr, LoopbackAddress());
    EXPECT_EQ(SockAddrPort(e.address), 7000);

    // Once resolved, the address stays until cleared.
    strcpy(e.szHost, "");
    EXPECT_TRUE(e.Resolve());
    e.nAddressLength = 0;
    EXPECT_FALSE(e.Resolve());

    // A pool whose chosen entry has no address selects nothing.
    TempDir dir;
    WriteAll(dir.N("servers.txt"), "Empty,,1\n");
    CServerPool pool(dir.Q("servers.txt"));
    ASSERT_TRUE(pool.Load());
    EXPECT_EQ(pool.SelectFor("Zizu"), nullptr);

    WriteAll(dir.N("servers.txt"), "R,192.0.2.1,1\n");
    ASSERT_TRUE(pool.Load());
    ASSERT_NE(pool.SelectFor("Zizu"), nullptr);
    pool.ClearResolved();
    EXPECT_EQ(pool.GetEntry(0)->nAddressLength, 0);
}

// Records what an attempt reports, and cancels when told to.
class Recorder : public CAttemptObserver
{
  public:
    void OnStatus(const char* text) override { m_Lines.push_back(text); }
    bool KeepWaiting() override
    {
        m_nAsked++;
        return m_nCancelAfter < 0 || m_nAsked <= m_nCancelAfter;
    }
    std::vector<std::string> m_Lines;
    int m_nAsked = 0;
    int m_nCancelAfter = -1;
};

class ServerPoolFetch : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Relay.IsUp());
        m_hSocket = SocketUdp();
        ASSERT_NE(m_hSocket, QV_INVALID_SOCKET);
        ASSERT_TRUE(SocketBind(m_hSocket, MakeSockAddr(LoopbackAddress(), 0)));
        WriteAll(m_Dir.N("servers.txt"), kOldFile);
        ASSERT_TRUE(m_Pool.Load());
        m_Pool.UpdateChecksum();
    }
    void TearDown() override { CloseSocket(m_hSocket); }
    bool Fetch(CAttemptObserver* observer)
    {
        return m_Pool.LoadFromServer(m_hSocket, m_Relay.Address(), 16, 0, observer);
    }
    std::string File() const { return ReadAll(m_Dir.N("servers.txt")); }

    static constexpr const char* kOldFile = "Old1,10.0.0.1,1\nOld2,10.0.0.2,2\n";
    FakeRelay m_Relay;
    TempDir m_Dir;
    CServerPool m_Pool{m_Dir.Q("servers.txt")};
    QVSOCKET m_hSocket = QV_INVALID_SOCKET;
    Recorder m_Seen;
};

TEST_F(ServerPoolFetch, TakesTheServersListAndSavesIt)
{
    m_Relay.SetList(
        {FakeRelay::Entry("North", "10.1.0.1", 8500), FakeRelay::Entry("South", "relay.example", 8600)});
    ASSERT_TRUE(Fetch(&m_Seen));
    EXPECT_EQ(Entries(m_Pool), (std::vector<std::string>{"North|10.1.0.1|8500", "South|relay.example|8600"}));
    EXPECT_EQ(m_Seen.m_Lines, (std::vector<std::string>{"Found 2 Servers", "Found North", "Found South"}));
    EXPECT_EQ(File(), "North,10.1.0.1,8500\nSouth,relay.example,8600\n");
    EXPECT_EQ(m_Pool.GetChecksum(), CServerPool::Checksum(m_Pool.GetEntry(0), 2));

    // The requests on the wire: the count (6 bytes), then entries 1 and 2 (4 bytes).
    const std::vector<FakeRelay::Datagram> requests = m_Relay.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], (FakeRelay::Datagram{17, 0, 0, 0, 0, 0}));
    EXPECT_EQ(requests[1], (FakeRelay::Datagram{17, 1, 0, 0}));
    EXPECT_EQ(requests[2], (FakeRelay::Datagram{17, 2, 0, 0}));

    // No observer works the same.
    EXPECT_TRUE(Fetch(nullptr));
}

TEST_F(ServerPoolFetch, FortyAnnouncedGiveThirtyTwo)
{
    std::vector<StunListEntry> list;
    for (int i = 0; i < 40; i++)
        list.push_back(FakeRelay::Entry(("R" + std::to_string(i)).c_str(), "10.2.0.1", (uint16_t)(9000 + i)));
    m_Relay.SetList(list);
    ASSERT_TRUE(Fetch(&m_Seen));
    EXPECT_EQ(m_Pool.GetCount(), 32);
    EXPECT_EQ(m_Seen.m_Lines.front(), "Found 32 Servers");
    EXPECT_EQ(m_Relay.CountRequests(STUN_LIST), 33);
    EXPECT_EQ(Entries(m_Pool).back(), "R31|10.2.0.1|9031");
}

TEST_F(ServerPoolFetch, PaddingAfterTheTerminatorDoesNotChangeTheChecksum)
{
    // The server's fields carry leftovers after each terminator; the list read
    // back from the saved file must have the checksum of the list just fetched,
    // or every start would fetch it again.
    m_Relay.SetResponder([](const FakeRelay::Datagram& request, std::vector<FakeRelay::Datagram>* answers) {
        if (request.size() != 4 || request[0] != STUN_LIST) return false;
        FakeRelay::Datagram a(STUN_LIST_ENTRY_ACK_LENGTH, 0x5A);
        a[0] = STUN_LIST_ACK;
        memcpy(&a[1], "Padded\0", 7);
        memcpy(&a[65], "10.3.0.1\0", 9);
        a[193] = 0x10;
        a[194] = 0x27;
        answers->push_back(a);
        return true;
    });
    m_Relay.SetList({FakeRelay::Entry("unused", "", 0)});
    ASSERT_TRUE(Fetch(&m_Seen));
    EXPECT_EQ(Entries(m_Pool), std::vector<std::string>{"Padded|10.3.0.1|10000"});
    EXPECT_TRUE(NulPadded(*m_Pool.GetEntry(0)));

    CServerPool reread(m_Dir.Q("servers.txt"));
    ASSERT_TRUE(reread.Load());
    reread.UpdateChecksum();
    EXPECT_EQ(reread.GetChecksum(), m_Pool.GetChecksum());
}

TEST_F(ServerPoolFetch, AnEmptyListFromTheServerChangesNothing)
{
    m_Relay.SetList({});
    const uint32_t before = m_Pool.GetChecksum();
    EXPECT_FALSE(Fetch(&m_Seen));
    EXPECT_EQ(m_Seen.m_Lines, std::vector<std::string>{"Found 0 Servers"});
    EXPECT_EQ(Entries(m_Pool), (std::vector<std::string>{"Old1|10.0.0.1|1", "Old2|10.0.0.2|2"}));
    EXPECT_EQ(m_Pool.GetChecksum(), before);
    EXPECT_EQ(File(), kOldFile);
}

TEST_F(ServerPoolFetch, ShortAndStrayAnswersArePassedOver)
{
    // Before each real answer: a probe answer, a 5-byte list answer and, for the
    // entries, a 194-byte one.
    m_Relay.SetResponder([](const FakeRelay::Datagram& request, std::vector<FakeRelay::Datagram>* answers) {
        answers->push_back(FakeRelay::Datagram(21, STUN_PROBE_ACK));
        answers->push_back(FakeRelay::Datagram{STUN_LIST_ACK, 0, 0, 0, 9});
        if (request.size() == 4) {
            FakeRelay::Datagram shortEntry(194, 0);
            shortEntry[0] = STUN_LIST_ACK;
            answers->push_back(shortEntry);
        }
        return false; // the real answer follows
    });
    m_Relay.SetList({FakeRelay::Entry("Only", "10.4.0.1", 1)});
    ASSERT_TRUE(Fetch(&m_Seen));
    EXPECT_EQ(Entries(m_Pool), std::vector<std::string>{"Only|10.4.0.1|1"});
}

TEST_F(ServerPoolFetch, AFetchThatBreaksOffLeavesTheBuiltInEntryAndTheFile)
{
    // The count comes, the second entry never does.
    m_Relay.SetList({FakeRelay::Entry("One", "10.5.0.1", 1), FakeRelay::Entry("Two", "10.5.0.2", 2)});
    m_Relay.SetResponder([](const FakeRelay::Datagram& request, std::vector<FakeRelay::Datagram>*) {
        return request.size() == 4 && request[1] == 2;
    });
    const uint32_t before = m_Pool.GetChecksum();
    const uint32_t start = GetTick();
    EXPECT_FALSE(Fetch(&m_Seen));
    const uint32_t took = TickSince(start);
    EXPECT_GE(took, 1900u);
    EXPECT_LT(took, 5000u);
    // The waits asked the observer all along.
    EXPECT_GE(m_Seen.m_nAsked, 15);
    EXPECT_EQ(Entries(m_Pool),
              std::vector<std::string>{std::string("x!Relay|") + DefaultRelayHost() + "|8500"});
    EXPECT_EQ(m_Pool.GetChecksum(), before);
    EXPECT_EQ(File(), kOldFile);
}

TEST_F(ServerPoolFetch, StrayDatagramsCannotHoldAnExchangeOpen)
{
    // The relay never answers the count; a stray datagram reaches the client every
    // 100 ms for longer than the exchange may last.
    m_Relay.SetResponder([](const FakeRelay::Datagram&, std::vector<FakeRelay::Datagram>*) { return true; });
    QVSockAddr client;
    ASSERT_TRUE(SocketLocalAddr(m_hSocket, &client));
    std::atomic<bool> stop(false);
    std::thread flood([&] {
        for (int i = 0; i < 60 && !stop; i++) {
            m_Relay.SendTo(client, FakeRelay::Datagram{STUN_HELLO});
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const uint32_t start = GetTick();
    EXPECT_FALSE(Fetch(&m_Seen));
    const uint32_t took = TickSince(start);
    stop = true;
    flood.join();
    EXPECT_LT(took, 3000u);
    EXPECT_EQ(Entries(m_Pool), (std::vector<std::string>{"Old1|10.0.0.1|1", "Old2|10.0.0.2|2"}));
}

// A socket to forge answers from: another port of 127.0.0.1, or the relay's port
// at another local address (127.0.0.2 where the system allows it, else an
// adapter's address).
bool BindForger(QVSOCKET forger, bool otherAddress, uint16_t relayPort)
{
    if (!otherAddress) return SocketBind(forger, MakeSockAddr(LoopbackAddress(), 0));
    if (SocketBind(forger, MakeSockAddr(MakeIPv4(127, 0, 0, 2), relayPort))) return true;
    uint32_t mask = 0, address = 0;
    return FindAdapterAddress(0, &mask, &address) && SocketBind(forger, MakeSockAddr(address, relayPort));
}

// Someone who sees the request answers it before the relay does, from another
// port of the relay's address or from the relay's port at another address. What
// such a sender says is never taken: with the relay answering after it, the
// relay's list is what the file holds; with the relay silent, the file keeps its
// old bytes.
TEST_F(ServerPoolFetch, AnswersFromAnyoneButTheRelayAreNotTaken)
{
    struct Case {
        const char* name;
        bool otherAddress; // else another port of the relay's address
        bool relayAnswers;
    };
    const Case cases[] = {
        {"another port, relay answers after", false, true},
        {"another address, relay answers after", true, true},
        {"another port, relay silent", false, false},
        {"another address, relay silent", true, false},
    };
    QVSockAddr client;
    ASSERT_TRUE(SocketLocalAddr(m_hSocket, &client));
    const std::string relayList = "North,10.1.0.1,8500\nSouth,10.1.0.2,8600\n";
    m_Relay.SetList(
        {FakeRelay::Entry("North", "10.1.0.1", 8500), FakeRelay::Entry("South", "10.1.0.2", 8600)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t leftover[STUN_LARGE_RECEIVE];
        QVSockAddr from;
        while (SocketRecvFrom(m_hSocket, leftover, (int)sizeof(leftover), &from) >= 0) {
        }
        WriteAll(m_Dir.N("servers.txt"), kOldFile);
        ASSERT_TRUE(m_Pool.Load());
        m_Pool.UpdateChecksum();
        const uint32_t before = m_Pool.GetChecksum();

        // The relay's thread may still hold the responder after the fetch: whoever
        // lets go of it last closes the forger's socket.
        std::shared_ptr<QVSOCKET> forger(new QVSOCKET(SocketUdp()), [](QVSOCKET* s) {
            CloseSocket(*s);
            delete s;
        });
        if (!BindForger(*forger, c.otherAddress, SockAddrPort(m_Relay.Address()))) {
            // A machine with no second local address, or a system that counts a
            // port as taken on every address once one address has it.
            std::cout << "[ SKIPPED  ] " << c.name
                      << ": cannot send from the relay's port at another address\n";
            continue;
        }
        auto forged = std::make_shared<std::atomic<int>>(0);
        const bool relayAnswers = c.relayAnswers;
        m_Relay.SetResponder([=](const FakeRelay::Datagram& request, std::vector<FakeRelay::Datagram>*) {
            uint8_t out[STUN_LARGE_RECEIVE];
            int n = 0;
            if (request.size() == STUN_LIST_COUNT_LENGTH)
                n = BuildListCountAck(out, 1);
            else
                n = BuildListEntryAck(out, FakeRelay::Entry("Forged", "6.6.6.6", 666));
            if (SocketSendTo(*forger, out, n, client) == n) (*forged)++;
            return !relayAnswers; // true: the relay itself says nothing
        });

        const bool fetched = Fetch(&m_Seen);
        m_Relay.SetResponder(nullptr);
        EXPECT_GE(forged->load(), 1);
        if (c.relayAnswers) {
            EXPECT_TRUE(fetched);
            EXPECT_EQ(File(), relayList);
            EXPECT_EQ(Entries(m_Pool),
                      (std::vector<std::string>{"North|10.1.0.1|8500", "South|10.1.0.2|8600"}));
        } else {
            EXPECT_FALSE(fetched);
            EXPECT_EQ(File(), kOldFile);
            EXPECT_EQ(Entries(m_Pool), (std::vector<std::string>{"Old1|10.0.0.1|1", "Old2|10.0.0.2|2"}));
            EXPECT_EQ(m_Pool.GetChecksum(), before);
        }
    }
}

TEST_F(ServerPoolFetch, CancelEndsTheFetchAtOnce)
{
    m_Relay.SetResponder([](const FakeRelay::Datagram&, std::vector<FakeRelay::Datagram>*) { return true; });
    m_Seen.m_nCancelAfter = 3;
    const uint32_t start = GetTick();
    EXPECT_FALSE(Fetch(&m_Seen));
    EXPECT_LT(TickSince(start), 1000u);
    EXPECT_EQ(Entries(m_Pool), (std::vector<std::string>{"Old1|10.0.0.1|1", "Old2|10.0.0.2|2"}));
    EXPECT_EQ(File(), kOldFile);
}

TEST_F(ServerPoolFetch, NoSocketOrNoAddressFailsAtOnce)
{
    EXPECT_FALSE(m_Pool.LoadFromServer(QV_INVALID_SOCKET, m_Relay.Address(), 16, 0, &m_Seen));
    EXPECT_FALSE(m_Pool.LoadFromServer(m_hSocket, m_Relay.Address(), 0, 0, &m_Seen));
    EXPECT_TRUE(m_Relay.Requests().empty());
    EXPECT_EQ(m_Pool.GetCount(), 2);
}

} // namespace
