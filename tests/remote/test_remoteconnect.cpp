// The remote procedure from the outside: every road to the controller simulator
// through the relay simulator, its enrollment and the discovery server, with the
// status lines the connection log will hold; then the procedure's decisions and
// its defences against relays, controllers and third parties that misbehave,
// against a scripted relay.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "fake_relay.h"
#include "protocol/test_qvserver_fixture.h"
#include "remote/rudpclient.h"
#include "remoteconnect_support.h"
#include "rudp_test_support.h"
#include "sim/dserver/dserver.h"
#include "sim/enroll/relay_enrollment.h"
#include "sim/relay/relay_server.h"

using namespace remotetest;
using namespace sessiontest;

namespace
{

const char kSystem[] = "Home";
const std::vector<std::string> kLogin = {"Get Challenge", "Challenge OK", "Login OK"};

std::vector<std::string> Lines(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The controller simulator enrolled with relay simulators on 127.0.0.1, and a
// discovery server, as the launcher's outside world.
class RemoteRoadTest : public SessionTest
{
  protected:
    std::vector<std::unique_ptr<CSimRelay>> relays;
    std::vector<RelayLine> listed;
    std::unique_ptr<CSimDServer> dserver;
    std::unique_ptr<CRelayEnrollment> enroll;
    RemoteSettings settings;
    AttemptLog log;

    void SetUp() override
    {
        SessionTest::SetUp();
        settings.discoveryHost = "127.0.0.1";
        settings.discoveryPort = FreePort(false); // nobody there unless a test starts one
    }
    void TearDown() override
    {
        enroll.reset();
        relays.clear();
        dserver.reset();
        SessionTest::TearDown();
    }

    // n relays that hand out the launcher's own list (no reload needed).
    void StartRelays(int n, const std::function<void(RelayConfig&)>& tweak = nullptr)
    {
        std::vector<RelayServerEntry> list;
        for (int i = 0; i < n; ++i) {
            listed.push_back(
                {"Relay" + std::to_string(i + 1), MakeSockAddr(LoopbackAddress(), FreePort(true))});
            list.push_back({listed.back().name, "127.0.0.1", SockAddrPort(listed.back().address)});
        }
        for (int i = 0; i < n; ++i) {
            RelayConfig c;
            c.port = SockAddrPort(listed[i].address);
            c.servers = list;
            c.firstSessionId = 2147483649u; // printed unsigned
            if (tweak) tweak(c);
            relays.emplace_back(new CSimRelay(c));
            ASSERT_TRUE(relays.back()->Start());
        }
        WriteFile(dir + "/servers.txt", ServersText(listed));
    }
    // The controller simulator, enrolled with every relay.
    void StartController()
    {
        StartSim();
        EnrollConfig e;
        e.systemName = kSystem;
        for (const RelayLine& r : listed)
            e.relays.push_back(r.address);
        e.localAddress = LoopbackAddress();
        e.enrollPeriodMs = 200;
        enroll.reset(new CRelayEnrollment(e));
        CSimController* s = sim.get();
        enroll->SetPunchedCallback([s](QVSOCKET udp, const QVSockAddr& from) { s->ServePunched(udp, from); });
        enroll->SetTurnCallback([s](QVSOCKET tcp, uint32_t sid) { s->ServeRelayed(tcp, sid); });
        ASSERT_TRUE(enroll->Start());
        const size_t n = listed.size();
        ASSERT_TRUE(enroll->WaitUntil([n](const EnrollStats& st) { return st.enrollAcks >= n; }, 5000));
    }
    void StartDServer(const DServerSystem& system, const DServerFaults& faults = DServerFaults())
    {
        DServerConfig c;
        c.port = 0;
        c.systems[kSystem] = system;
        c.faults = faults;
        dserver.reset(new CSimDServer(c));
        ASSERT_TRUE(dserver->Start());
        settings.discoveryPort = dserver->GetPort();
    }
    // One attempt as the start attempt makes it: the remote road, then the login.
    ConnectResult Attempt(bool login = true)
    {
        MakeServer();
        CServerPool pool(dir + "/servers.txt");
        PrepareServerPool(pool);
        ConnectResult r = ConnectRemote(*server->GetConnection(), pool, settings, &log, kSystem);
        if (r == ConnectResult::Ok && login) {
            EXPECT_EQ(server->Login(&log), LoginResult::Ok);
        }
        return r;
    }
    std::string Chosen() const { return listed[(size_t)RelayIndexFor(kSystem, (int)listed.size())].name; }
    std::vector<std::string> Opening(int state, const char* text) const
    {
        return {"Starting Connection to 'Home'", "Discovering Network...",
                "Client Network State = " + std::to_string(state), text, "Using STUN Server: " + Chosen()};
    }
};

TEST_F(RemoteRoadTest, HolePunchingWhenTwoRelaysSeeTheSamePortCarriesTheSessionOverTheReliableStream)
{
    StartRelays(2);
    StartController();
    TraceCapture traces;
    ASSERT_EQ(Attempt(), ConnectResult::Ok);
    EXPECT_EQ(Folded(log.lines),
              Lines(Opening(4, "Asymm NAT Detected"),
                    Lines({"Found Target System", "Creating Connection*", "UDP Connect OK"}, kLogin)));
    EXPECT_TRUE(server->GetConnection()->HasDatagramStream());
    EXPECT_TRUE(traces.Has("Server1->127.0.0.1:") && traces.Has("Server2->127.0.0.1:"));
    EXPECT_TRUE(traces.Has("Got STUN_HELLO_ACK from peer (127.0.0.1:"));
    EXPECT_TRUE(SimSees([](const SimStats& s) { return s.punchedSessions == 1 && s.streamsStarted == 1; }));
    EXPECT_EQ(relays[0]->GetStats().probes + relays[1]->GetStats().probes, 2u);
    EXPECT_EQ(relays[0]->GetStats().finds + relays[1]->GetStats().finds, 1u);
}

TEST_F(RemoteRoadTest, ASingleRelayMeansServerErrorAndARelayedSessionWithTheIdPrintedUnsigned)
{
    StartRelays(1);
    StartController();
    ASSERT_EQ(Attempt(), ConnectResult::Ok);
    EXPECT_EQ(log.lines, Lines(Opening(6, "Server Error"), Lines({"TURN: (sid:2147483649)"}, kLogin)));
    EXPECT_NE(server->GetConnection()->GetSocket(), QV_INVALID_SOCKET);
    EXPECT_EQ(relays[0]->GetStats().findRelays, 1u);
    EXPECT_TRUE(SimSees([](const SimStats& s) { return s.relayedSessions == 1 && s.loginsOk == 1; }));
}

TEST_F(RemoteRoadTest, ATcpAckLeadsToTheDirectRoadWithItsGreeting)
{
    StartSim();
    const QVSockAddr controller = sim->GetAddress();
    StartRelays(2, [&](RelayConfig& c) {
        c.defaultRule.mode = LOOKUP_TCP;
        c.defaultRule.hasAddress = true;
        c.defaultRule.address = controller;
    });
    ASSERT_EQ(Attempt(), ConnectResult::Ok);
    EXPECT_EQ(log.lines, Lines(Opening(4, "Asymm NAT Detected"), kLogin));
    EXPECT_TRUE(SimSees([](const SimStats& s) { return s.preamblesOk == 1 && s.loginsOk == 1; }));
}

TEST_F(RemoteRoadTest, AFindNackTurnsToTheDiscoveryServerWhoseAddressIsReachedDirectly)
{
    StartSim();
    StartRelays(2, [](RelayConfig& c) { c.defaultRule.mode = LOOKUP_NACK; });
    DServerSystem home;
    home.address = "127.0.0.1";
    home.port = sim->GetPort();
    home.licensed = 0;
    home.relay = 1;
    StartDServer(home);
    TraceCapture traces;
    const uint32_t start = GetTick();
    ASSERT_EQ(Attempt(), ConnectResult::Ok);
    const std::string port = std::to_string(sim->GetPort());
    EXPECT_EQ(log.lines,
              Lines(Opening(4, "Asymm NAT Detected"),
                    Lines({"Controller is not active with STUN server", "Could not locate Controller",
                           "Connecting through discover server", "Connecting to D.SERVER",
                           "D.SERVER address = 127.0.0.1:" + std::to_string(settings.discoveryPort),
                           "Querying D.SERVER", "Fnd:1 Lic:0 Addr:127.0.0.1 Port:" + port + " Open:1 Relay:1",
                           "TCP direct -> 127.0.0.1:" + port},
                          kLogin)));
    EXPECT_GE(TickSince(start), REMOTE_NACK_PAUSE_MS);
    EXPECT_TRUE(traces.Has("Server reports that is can't find 'Home'"));
    EXPECT_TRUE(traces.Has("Address:  127.0.0.1"));
    EXPECT_EQ(dserver->GetStats().queries, 1u);
    EXPECT_TRUE(SimSees([](const SimStats& s) { return s.preamblesOk == 1 && s.loginsOk == 1; }));
}

// What the discovery server's answer leads to, answer by answer.
TEST_F(RemoteRoadTest, TheDiscoveryServersAnswerDecidesTheLastStep)
{
    StartSim();
    StartRelays(1, [](RelayConfig& c) { c.defaultRule.mode = LOOKUP_NACK; });
    const std::string port = std::to_string(sim->GetPort());
    struct Case {
        const char* what;
        const char* address;
        bool known;
        DServerFaults faults;
        ConnectResult result;
        const char* lastLine; // the last status line before the result's text
    };
    DServerFaults none, silent, oversize, exact, headerOnly, dribble, slow;
    silent.silent = true;
    oversize.oversize = true;
    exact.exact1024 = true;
    headerOnly.closeAfterHeader = true;
    dribble.dribbleMs = 3;
    slow.dribbleMs = 75;
    const Case cases[] = {
        {"empty address", "", true, none, ConnectResult::NotLocated,
         "Error: Controller too new for disco server"},
        {"host name", "controller.example", true, none, ConnectResult::NotLocated,
         "Error: Controller too new for disco server"},
        {"zero address", "0.0.0.0", true, none, ConnectResult::NotLocated,
         "Error: Controller too new for disco server"},
        {"short form", "127.1", true, none, ConnectResult::NotLocated,
         "Error: Controller too new for disco server"},
        {"trailing text", "127.0.0.1 x", true, none, ConnectResult::NotLocated,
         "Error: Controller too new for disco server"},
        {"unknown system", "127.0.0.1", false, none, ConnectResult::NotLocated,
         "System Not Found at D.SERVER"},
        {"silent server", "127.0.0.1", true, silent, ConnectResult::NoServerResponse,
         "Timeout waiting for D.SERVER response"},
        {"1025 bytes", "127.0.0.1", true, oversize, ConnectResult::NoServerResponse, "Querying D.SERVER"},
        {"the header alone", "127.0.0.1", true, headerOnly, ConnectResult::NoServerResponse,
         "Timeout waiting for D.SERVER response"},
        // Quiet slices count in all: a byte now and then does not restart the count.
        {"a byte every three slices", "127.0.0.1", true, slow, ConnectResult::NoServerResponse,
         "Timeout waiting for D.SERVER response"},
        {"exactly 1024 bytes", "127.0.0.1", true, exact, ConnectResult::Ok, nullptr},
        {"one byte at a time", "127.0.0.1", true, dribble, ConnectResult::Ok, nullptr},
    };
    // 50 quiet slices in 1.25 s: short enough for a table of silent servers, long
    // enough that a loaded machine starting the server's thread is not silence
    // (10 ms slices failed the exact answer once under load).
    settings.discoverySliceMs = 25;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DServerSystem home;
        home.address = c.address;
        home.port = sim->GetPort();
        DServerConfig config;
        config.port = 0; // not the real port 500, which another test on this machine may hold
        if (c.known) config.systems[kSystem] = home;
        config.faults = c.faults;
        dserver.reset(new CSimDServer(config));
        ASSERT_TRUE(dserver->Start());
        settings.discoveryPort = dserver->GetPort();
        log.lines.clear();
        EXPECT_EQ(Attempt(false), c.result);
        ASSERT_GE(log.lines.size(), 2u);
        if (c.result == ConnectResult::Ok) {
            EXPECT_EQ(log.lines.back(), "TCP direct -> 127.0.0.1:" + port);
            EXPECT_TRUE(server->IsConnected());
        } else {
            EXPECT_EQ(log.lines[log.lines.size() - 2], c.lastLine);
            EXPECT_EQ(log.lines.back(), ConnectResultText(c.result));
            EXPECT_FALSE(server->IsConnected());
        }
        if (std::string(c.address) == "0.0.0.0") {
            EXPECT_TRUE(log.Has("Fnd:1 Lic:1 Addr:0.0.0.0 Port:" + port + " Open:1 Relay:0"));
        }
    }
}

// ---------------------------------------------------------------------------
// Against a scripted relay

// The probe's outcome decides the lookup: a direct path only when the NAT keeps
// one public port for every destination.
TEST_F(RemoteScriptTest, TheNetworkStateChoosesTheLookup)
{
    struct Case {
        int relays;
        bool differentPorts;
        bool secondSilent;
        int state;
        const char* text;
        uint8_t lookup;
    } cases[] = {
        {2, false, false, 4, "Asymm NAT Detected", STUN_FIND},
        {2, true, false, 5, "Symm NAT Detected", STUN_FIND_RELAY},
        {1, false, false, 6, "Server Error", STUN_FIND_RELAY},
        {2, false, true, 6, "Server Error", STUN_FIND_RELAY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + std::string(c.secondSilent ? " (second silent)" : ""));
        relays.clear();
        listed.clear();
        log.lines.clear();
        StartRelays(c.relays);
        if (c.differentPorts || c.secondSilent) {
            const uint32_t checksum = pool->GetChecksum();
            relays[1]->SetResponder([=](const Datagram& req, std::vector<Datagram>* out) {
                if (req[0] != STUN_PROBE) return false;
                if (!c.secondSilent) out->push_back(Probe(checksum, MakeSockAddr(LoopbackAddress(), 1)));
                return true;
            });
        }
        TraceCapture traces;
        EXPECT_EQ(Attempt(), ConnectResult::NoServerResponse); // nobody at the discovery server's port
        EXPECT_TRUE(log.Has("Client Network State = " + std::to_string(c.state)));
        EXPECT_TRUE(log.Has(c.text));
        const auto lookups = Lookups(Chosen());
        ASSERT_EQ(lookups.size(), 1u);
        EXPECT_EQ(lookups[0].first, c.lookup);
        EXPECT_EQ(relays[0]->CountRequests(STUN_PROBE), 1); // answered at once: probed once
        EXPECT_EQ(traces.Has("Server1->"), c.state != 6);
        if (c.differentPorts) {
            // Answers count in the order they come (both at once: in list order).
            const auto t = traces.Get();
            EXPECT_EQ(std::count(t.begin(), t.end(), "Server1->127.0.0.1:1") +
                          std::count(t.begin(), t.end(), "Server2->127.0.0.1:1"),
                      1);
        }
        if (c.secondSilent) {
            EXPECT_TRUE(traces.Has("Timeout: R2"));
        }
    }
}

// Hellos that nobody answers: in state 4 a relayed lookup follows from a fresh
// socket and the relayed session opens; in state 5 that was the relayed lookup
// already, and the attempt goes on to the discovery server.
TEST_F(RemoteScriptTest, AFailedHolePunchFallsBackToARelayedSessionOnlyAfterADirectLookup)
{
    for (bool symmetric : {false, true}) {
        SCOPED_TRACE(symmetric ? "state 5" : "state 4");
        relays.clear();
        listed.clear();
        log.lines.clear();
        rudptest::RawPeer controller; // never answers
        QVSOCKET listener = SocketTcp();
        QVSockAddr session;
        ASSERT_TRUE(SocketBind(listener, MakeSockAddr(LoopbackAddress(), 0)) && SocketListen(listener, 1) &&
                    SocketLocalAddr(listener, &session));
        StartRelays(2);
        const Datagram findAck = FindAck(controller.Address());
        const Datagram turnAck = TurnAck(0xC0FFEE01u, SockAddrPort(session));
        for (auto& r : relays)
            r->SetResponder([=](const Datagram& req, std::vector<Datagram>* out) {
                if (req[0] == STUN_FIND)
                    out->push_back(findAck);
                else if (req[0] == STUN_FIND_RELAY)
                    out->push_back(symmetric ? findAck : turnAck);
                else
                    return false;
                return true;
            });
        if (symmetric) {
            const uint32_t checksum = pool->GetChecksum();
            relays[1]->SetResponder([=](const Datagram& req, std::vector<Datagram>* out) {
                if (req[0] == STUN_PROBE)
                    out->push_back(Probe(checksum, MakeSockAddr(LoopbackAddress(), 1)));
                else if (req[0] == STUN_FIND_RELAY)
                    out->push_back(findAck);
                else
                    return false;
                return true;
            });
        }
        const ConnectResult r = Attempt();
        std::vector<std::string> punch = {"Found Target System", "Creating Connection*",
                                          "STUN connection timeout, no response from controller",
                                          "FAILED: Trying TURN"};
        const auto hellos = controller.Drain(100);
        EXPECT_EQ(hellos, std::vector<rudptest::Bytes>(10, rudptest::Single(STUN_HELLO)));
        EXPECT_EQ(log.Count("Creating Connection.........."), 1); // ten attempts, ten dots
        const auto lookups = Lookups(Chosen());
        if (!symmetric) {
            EXPECT_EQ(r, ConnectResult::Ok);
            std::vector<std::string> want = {
                "Starting Connection to 'Home'", "Discovering Network...", "Client Network State = 4",
                "Asymm NAT Detected", "Using STUN Server: " + listed[(size_t)RelayIndexFor(kSystem, 2)].name};
            want.insert(want.end(), punch.begin(), punch.end());
            want.push_back(want[4]);
            want.push_back("TURN: (sid:3237998081)");
            EXPECT_EQ(Folded(log.lines), want);
            ASSERT_EQ(lookups.size(), 2u);
            EXPECT_EQ(lookups[0].first, STUN_FIND);
            EXPECT_EQ(lookups[1].first, STUN_FIND_RELAY);
            EXPECT_NE(lookups[0].second.port, lookups[1].second.port); // a fresh socket
            QVSOCKET relayed = SocketAccept(listener, nullptr);
            uint8_t sid[8] = {};
            ASSERT_TRUE(SocketReadable(relayed, 2000));
            EXPECT_EQ(SocketRecv(relayed, sid, sizeof sid), 4); // the session id alone, no greeting
            EXPECT_EQ(GetLE32(sid), 0xC0FFEE01u);
            EXPECT_NE(transport.GetSocket(), QV_INVALID_SOCKET);
            CloseSocket(relayed);
        } else {
            EXPECT_EQ(r, ConnectResult::NoServerResponse);
            EXPECT_EQ(lookups.size(), 1u);
            const std::vector<std::string> folded = Folded(log.lines);
            auto at = std::find(folded.begin(), folded.end(), "FAILED: Trying TURN");
            ASSERT_NE(at, folded.end());
            EXPECT_EQ(*(at + 1), "No Response from Controller");
            EXPECT_EQ(*(at + 2), "Connecting through discover server");
        }
        transport.Close();
        CloseSocket(listener);
    }
}

// A relay whose checksum never matches the list it hands out, or that answers
// probes but never hands out its list: the probe reloads a bounded number of
// times and then takes the answer as it stands.
TEST_F(RemoteScriptTest, ListReloadsAreBoundedAndTheProbeGoesOnWithTheListItHas)
{
    for (bool listSilent : {false, true}) {
        SCOPED_TRACE(listSilent ? "list never handed out" : "checksum never matches");
        relays.clear();
        listed.clear();
        log.lines.clear();
        StartRelays(1);
        FakeRelay& relay = *relays[0];
        relay.SetChecksum(pool->GetChecksum() + 1);
        relay.SetList({FakeRelay::Entry("Fetched", "127.0.0.1", SockAddrPort(relay.Address()))});
        if (listSilent)
            relay.SetResponder(
                [](const Datagram& req, std::vector<Datagram>*) { return req[0] == STUN_LIST; });
        EXPECT_EQ(Attempt(), ConnectResult::NoServerResponse);
        EXPECT_EQ(log.Count("Loading Server List"), REMOTE_MAX_LIST_RELOADS);
        EXPECT_EQ(log.Count("Server list still differs, keeping this one"), 1);
        EXPECT_TRUE(log.Has("Client Network State = 6"));
        EXPECT_EQ(log.Has("Found Fetched"), !listSilent);
        EXPECT_EQ(log.Has("Using STUN Server: Fetched"), !listSilent);
        EXPECT_EQ(relay.CountRequests(STUN_PROBE), REMOTE_MAX_LIST_RELOADS + 1);
        const std::string file = ReadFile(dir + "/servers.txt");
        if (listSilent)
            EXPECT_EQ(file, ServersText(listed));
        else
            EXPECT_EQ(file, "Fetched,127.0.0.1," + std::to_string(SockAddrPort(relay.Address())) + "\n");
    }
}

// Datagrams that are not the answer (another type, or from anyone but the relay
// asked) neither use up a sending nor stretch its wait: under the sequential timing
// the one probe and the one lookup are answered within their second; under ours
// the probe's second sending (at 250 ms) is the last before the answer.
TEST_F(RemoteScriptTest, StrayDatagramsNeitherUseUpSendingsNorCountAsAnswers)
{
    for (RemotePolicy policy : {REMOTE_POLICY_SEQUENTIAL, REMOTE_POLICY_OWN}) {
        SCOPED_TRACE(policy == REMOTE_POLICY_OWN ? "our timing" : "sequential timing");
        relays.clear();
        listed.clear();
        log.lines.clear();
        settings.policy = policy;
        StartRelays(1);
        FakeRelay& relay = *relays[0];
        rudptest::RawPeer stranger;
        // Each request is met at once by five hellos from the relay itself and five
        // from a controller behind a NAT that lets them through (one of which looks
        // like a decisive answer); the real answer comes 300 ms later.
        relay.SetResponder([](const Datagram& req, std::vector<Datagram>* out) {
            if (req[0] != STUN_PROBE && req[0] != STUN_FIND_RELAY) return false;
            out->assign(5, kHello);
            return true;
        });
        std::atomic<bool> done{false};
        std::thread late([&] {
            size_t answered = 0;
            while (!done) {
                const auto requests = relay.Requests();
                const auto senders = relay.Senders();
                for (; answered < requests.size() && !done; ++answered) {
                    const QVSockAddr to = senders[answered];
                    for (int i = 0; i < 4; ++i)
                        stranger.SendTo(to, kHello);
                    stranger.SendTo(to, requests[answered][0] == STUN_PROBE ? Probe(pool->GetChecksum(), to)
                                                                            : kNack);
                    SleepMs(300);
                    relay.SendTo(to, requests[answered][0] == STUN_PROBE ? Probe(pool->GetChecksum(), to)
                                                                         : Datagram{STUN_FIND_NACK});
                }
                SleepMs(5);
            }
        });
        EXPECT_EQ(Attempt(), ConnectResult::NoServerResponse);
        done = true;
        late.join();
        EXPECT_EQ(relay.CountRequests(STUN_PROBE), policy == REMOTE_POLICY_OWN ? 2 : 1);
        EXPECT_EQ(relay.CountRequests(STUN_FIND_RELAY), 1);
        EXPECT_TRUE(log.Has("Controller is not active with STUN server"));
    }
}

// A controller that keeps sending other datagrams during the punch, and a third
// party that acknowledges hellos it never got: each attempt still ends after its
// 250 ms, the hellos all go out, nothing but the controller's acknowledgement
// counts, and the log does not fill up with the flood.
TEST_F(RemoteScriptTest, AFloodDuringTheHolePunchNeitherHoldsItNorCountsForIt)
{
    rudptest::RawPeer controller, stranger;
    StartRelays(1, FindAck(controller.Address()));
    std::atomic<bool> done{false};
    std::atomic<int> hellos{0};
    std::thread flood([&] {
        QVSockAddr launcher = {};
        rudptest::Bytes d;
        const uint32_t start = GetTick();
        while (!done && TickSince(start) < 20000) {
            if (controller.Recv(&d, 2) && d == rudptest::Single(STUN_HELLO)) {
                hellos++;
                launcher = relays[0]->Senders().back();
            }
            if (launcher.port) {
                controller.SendTo(launcher, {STUN_NO_OP});
                stranger.SendTo(launcher, {STUN_HELLO_ACK});
            }
        }
    });
    TraceCapture traces;
    EXPECT_EQ(Attempt(), ConnectResult::NoServerResponse);
    const bool floodStillRunning = !done;
    done = true;
    flood.join();
    EXPECT_TRUE(floodStillRunning);
    EXPECT_EQ(hellos, REMOTE_PUNCH_ATTEMPTS);
    EXPECT_TRUE(log.Has("STUN connection timeout, no response from controller"));
    EXPECT_FALSE(log.Has("UDP Connect OK"));
    EXPECT_FALSE(transport.IsConnected());
    EXPECT_TRUE(traces.Has("Ignoring: NO-OP"));
    int creating = 0;
    for (const std::string& l : log.lines)
        creating += l.compare(0, 19, "Creating Connection") == 0;
    EXPECT_EQ(creating, REMOTE_PUNCH_MAX_DOTS);
}

// The reliable stream takes datagrams from its peer only: a third party can
// neither slip data in, nor end the stream, nor answer its parameters.
TEST(RemoteStream, TheReliableStreamIgnoresEveryoneButItsPeer)
{
    rudptest::RawPeer peer, intruder;
    QVSockAddr me;
    QVSOCKET s = rudptest::ClientSocket(&me);
    std::unique_ptr<CRUDPClient> client(new CRUDPClient(s, peer.Address()));
    std::thread answer([&] {
        rudptest::Bytes d;
        ASSERT_TRUE(peer.RecvType(STUN_PARAMS, &d));
        intruder.SendTo(me, rudptest::Single(STUN_PARAMS_ACK));
        ASSERT_TRUE(peer.RecvType(STUN_PARAMS, &d)); // proposed again: the intruder's answer did not count
        peer.SendTo(me, rudptest::Single(STUN_PARAMS_ACK));
    });
    EXPECT_TRUE(client->Negotiate(STUN_PARAMS_PROPOSED));
    answer.join();
    client->Start();
    intruder.SendTo(me, rudptest::DataPacket(0, {'b', 'a', 'd'}));
    intruder.SendTo(me, rudptest::Single(STUN_BYE));
    intruder.SendTo(me, rudptest::Single(STUN_HELLO));
    EXPECT_FALSE(client->WaitReadable(300));
    EXPECT_TRUE(client->IsUp());
    rudptest::Bytes d;
    EXPECT_FALSE(intruder.Recv(&d, 100)); // not even a hello is answered
    peer.SendTo(me, rudptest::DataPacket(0, {'o', 'k'}));
    ASSERT_TRUE(client->WaitReadable(2000));
    EXPECT_EQ(rudptest::ReadAll(*client), "ok");
    peer.SendTo(me, rudptest::Single(STUN_BYE));
    const uint32_t start = GetTick();
    while (client->IsUp() && TickSince(start) < 2000)
        SleepMs(5);
    EXPECT_FALSE(client->IsUp());
}

} // namespace
