// Cancel at every wait of the remote procedure: the attempt ends within 300 ms of
// the observer's "no", says so in its last status line, leaves the transport
// closed and every socket it opened closed; and once a hanging name server gives
// up, no thread of the attempt is left.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "fake_relay.h"
#include "protocol/test_qvserver_fixture.h"
#include "remoteconnect_support.h"
#include "rudp_test_support.h"
#include "sim/dserver/dserver.h"

using namespace remotetest;

namespace
{

typedef FakeRelay::Datagram Datagram;

// One relay (so the lookup is a relayed one), and whatever a wait needs to last.
struct Rig {
    std::string dir;
    FakeRelay relay;
    std::unique_ptr<CServerPool> pool;
    rudptest::RawPeer peer;
    FullListener full;
    std::unique_ptr<CSimDServer> dserver;
    FakeResolver names;
    RemoteSettings settings;
    std::atomic<bool> stop{false};
    std::thread helper;

    Rig()
    {
        dir = sessiontest::MakeTempDir("cancel");
        WriteFile(dir + "/servers.txt", ServersText({{"R1", relay.Address()}}));
        pool.reset(new CServerPool(dir + "/servers.txt"));
        PrepareServerPool(*pool);
        relay.SetChecksum(pool->GetChecksum());
        relay.SetLookupAnswer({STUN_FIND_NACK});
        settings.discoveryHost = "127.0.0.1";
        settings.discoveryPort = FreePort(false);
        settings.resolve = FakeResolver::Resolve;
    }
    ~Rig()
    {
        stop = true;
        if (helper.joinable()) helper.join();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // Swallows requests of this type.
    void Silence(uint8_t type)
    {
        relay.SetResponder([type](const Datagram& req, std::vector<Datagram>*) { return req[0] == type; });
    }
    void Answer(const Datagram& d) { relay.SetLookupAnswer(d); }
    // The relay's entry given by a name the name server never answers for.
    void NamedRelay()
    {
        names.Hang("relay.test");
        WriteFile(dir + "/servers.txt",
                  "R1,relay.test," + std::to_string(SockAddrPort(relay.Address())) + "\n");
        pool.reset(new CServerPool(dir + "/servers.txt"));
        PrepareServerPool(*pool);
    }
    void DServer(const char* address, bool silent)
    {
        DServerConfig c;
        c.port = 0;
        DServerSystem home;
        home.address = address;
        home.port = SockAddrPort(full.Address());
        c.systems["Home"] = home;
        c.faults.silent = silent;
        dserver.reset(new CSimDServer(c));
        ASSERT_TRUE(dserver->Start());
        settings.discoveryPort = dserver->GetPort();
    }
};

Datagram Record(uint8_t type, const QVSockAddr& a)
{
    Datagram d(STUN_FIND_ACK_LENGTH);
    d[0] = type;
    PutAddressRecord(&d[1], a);
    return d;
}

struct Wait {
    const char* what;
    const char* trigger; // status or trace line that the wait follows
    int asks;            // questions let through after it
    bool connect;        // a TCP connect: some stacks complete it anyway, leaving no wait
    bool discovery;      // a wait of the discovery server's road
    std::function<void(Rig&)> setup;
};

const Wait kWaits[] = {
    {"resolving a relay's name", "Discovering Network...", 3, false, false, [](Rig& r) { r.NamedRelay(); }},
    {"probe", "Discovering Network...", 3, false, false, [](Rig& r) { r.Silence(STUN_PROBE); }},
    {"list fetch", "Loading Server List", 3, false, false,
     [](Rig& r) {
         r.relay.SetChecksum(r.pool->GetChecksum() + 1);
         r.Silence(STUN_LIST);
     }},
    {"lookup", "Using STUN Server:", 3, false, false, [](Rig& r) { r.Silence(STUN_FIND_RELAY); }},
    {"pause after FIND NACK", "Server reports that is can't find", 0, false, false, [](Rig&) {}},
    {"hole punch", "Found Target System", 3, false, false,
     [](Rig& r) { r.Answer(Record(STUN_FIND_ACK, r.peer.Address())); }},
    {"parameter agreement", "Got STUN_HELLO_ACK", 3, false, false,
     [](Rig& r) {
         r.Answer(Record(STUN_FIND_ACK, r.peer.Address()));
         // Answers hellos, never the parameters.
         r.helper = std::thread([&r] {
             rudptest::Bytes d;
             while (!r.stop)
                 if (r.peer.Recv(&d, 20) && d == rudptest::Single(STUN_HELLO))
                     r.peer.SendTo(r.relay.Senders().back(), rudptest::Single(STUN_HELLO_ACK));
         });
     }},
    {"relayed session connect", "TURN: (sid:", 3, true, false,
     [](Rig& r) {
         Datagram d(STUN_TURN_ACK_LENGTH);
         BuildTurnAck(d.data(), 7, SockAddrPort(r.full.Address()));
         r.Answer(d);
     }},
    {"TCP ACK connect", "Using STUN Server:", 5, true, false,
     [](Rig& r) { r.Answer(Record(STUN_TCP_ACK, r.full.Address())); }},
    {"resolving the discovery server's name", "Connecting through discover server", 3, false, true,
     [](Rig& r) {
         r.names.Hang("dserver.test");
         r.settings.discoveryHost = "dserver.test";
     }},
    {"discovery server connect", "Connecting to D.SERVER", 3, true, true,
     [](Rig& r) { r.settings.discoveryPort = SockAddrPort(r.full.Address()); }},
    {"discovery server answer", "Querying D.SERVER", 3, false, true,
     [](Rig& r) { r.DServer("127.0.0.1", true); }},
    {"connect to the discovery server's address", "TCP direct ->", 3, true, true,
     [](Rig& r) { r.DServer("127.0.0.1", false); }},
};

TEST(RemoteCancel, CancelEndsTheAttemptWithin300MsAtEveryWaitAndClosesWhatItOpened)
{
    rudptest::StartSockets();
    for (const Wait& w : kWaits) {
        SCOPED_TRACE(w.what);
        const int baseline = OpenDescriptors();
        const int threads = ThreadCount();
        {
            Rig rig;
            w.setup(rig);
            TraceCapture traces;
            AttemptLog log;
            log.trigger = w.trigger;
            log.asks = w.asks;
            log.traces = &traces;
            CXConnection transport("servers.txt");
            const ConnectResult result = ConnectRemote(transport, *rig.pool, rig.settings, &log, "Home");
            if (w.connect && !log.cancelledAt) {
                // This stack completed the connect to the full listener: no wait to end.
                transport.Close();
                continue;
            }
            ASSERT_NE(log.cancelledAt, 0u) << "the wait was never reached";
            EXPECT_EQ(result, ConnectResult::Cancelled);
            EXPECT_LT(TickSince(log.cancelledAt), 300u);
            ASSERT_FALSE(log.lines.empty());
            EXPECT_EQ(log.lines.back(), "Cancelled");
            EXPECT_EQ(log.Count("Cancelled"), 1);
            EXPECT_FALSE(transport.IsConnected());
            EXPECT_EQ(log.Has("Connecting through discover server"), w.discovery)
                << "a cancelled relay step does not go on to the discovery server";
        }
        if (baseline >= 0) {
            EXPECT_EQ(OpenDescriptors(), baseline) << "every socket of the attempt is closed";
        }
        EXPECT_TRUE(ThreadsBackTo(threads, 2000)) << "every thread of the attempt has ended";
    }
}

} // namespace
