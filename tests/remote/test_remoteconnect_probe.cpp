// The probe and the lookup under both timings, seen from the scripted relays and
// in the status lines: one probe socket for every relay, answers told apart by
// their sender, a relay that hears only the fourth probe, relays that are down, a
// path on which no relay answers the probe, a third party answering in a relay's
// stead; and host names resolved where Cancel reaches them, each costing at most
// its bound once per attempt.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "remoteconnect_support.h"

using namespace remotetest;

namespace
{

const RemotePolicy kPolicies[] = {REMOTE_POLICY_SEQUENTIAL, REMOTE_POLICY_OWN};

const char* PolicyName(RemotePolicy policy)
{
    return policy == REMOTE_POLICY_OWN ? "our timing" : "sequential timing";
}

// How a scripted relay treats the launcher.
enum Behaviour {
    ANSWERS,    // every probe, with the sender's address as seen
    OTHER_PORT, // every probe, with another public port than the sender's
    FOURTH,     // not the first three probes (a lossy path), every one after
    DOWN,       // no probe (its address unreachable)
    DEAF,       // neither probe nor lookup
};

class RemoteProbeTest : public RemoteScriptTest
{
  protected:
    // The relays afresh for one attempt under the given timing.
    void Setup(RemotePolicy policy, const std::vector<Behaviour>& behaviours, const Datagram& lookup = kNack)
    {
        relays.clear();
        listed.clear();
        log.lines.clear();
        settings.policy = policy;
        StartRelays((int)behaviours.size(), lookup);
        const uint32_t checksum = pool->GetChecksum();
        for (size_t i = 0; i < behaviours.size(); ++i) {
            const Behaviour b = behaviours[i];
            std::shared_ptr<std::atomic<int>> probes(new std::atomic<int>(0));
            relays[i]->SetResponder([=](const Datagram& req, std::vector<Datagram>* out) {
                if (req[0] != STUN_PROBE) return b == DEAF; // swallowed, or the default answer
                switch (b) {
                case OTHER_PORT:
                    out->push_back(Probe(checksum, MakeSockAddr(LoopbackAddress(), 1)));
                    return true;
                case FOURTH:
                    return ++*probes < 4;
                case DOWN:
                case DEAF:
                    return true;
                default:
                    return false;
                }
            });
        }
    }
    // Every request of every relay came from one socket (the probe's, then the
    // lookup's): the senders of one type.
    std::vector<QVSockAddr> SendersOf(uint8_t type)
    {
        std::vector<QVSockAddr> out;
        for (auto& r : relays) {
            const auto requests = r->Requests();
            const auto senders = r->Senders();
            for (size_t i = 0; i < requests.size(); ++i)
                if (requests[i][0] == type) out.push_back(senders[i]);
        }
        return out;
    }
};

// Each case under both timings: the same state, the same status lines, the same
// relays told what is needed; ours probes every relay at once from one socket and
// stops asking once two answers decide.
TEST_F(RemoteProbeTest, BothTimingsReachTheSameStateAndLinesWhateverTheRelaysDo)
{
    struct Case {
        const char* what;
        std::vector<Behaviour> relays;
        int state;
        std::vector<int> probes; // per relay under the sequential timing; ours sends no more
        std::vector<const char*> silent;
    } cases[] = {
        {"one relay of two down", {ANSWERS, DOWN}, 6, {1, 5}, {"Timeout: R2"}},
        {"the relay chosen for the name hears only the fourth probe", {ANSWERS, FOURTH}, 4, {1, 4}, {}},
        {"a lossy path and another public port", {FOURTH, OTHER_PORT}, 5, {4, 1}, {}},
        {"the first of three down", {DOWN, ANSWERS, ANSWERS}, 4, {5, 1, 1}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines[2];
        for (RemotePolicy policy : kPolicies) {
            SCOPED_TRACE(std::string(c.what) + ", " + PolicyName(policy));
            Setup(policy, c.relays);
            TraceCapture traces;
            EXPECT_EQ(Attempt(), ConnectResult::NoServerResponse); // FIND NACK, nobody at the discovery port
            lines[policy] = log.lines;
            EXPECT_TRUE(log.Has("Client Network State = " + std::to_string(c.state)));
            EXPECT_TRUE(log.Has("Controller is not active with STUN server"));
            for (const char* line : c.silent)
                EXPECT_TRUE(traces.Has(line)) << line;
            const std::vector<QVSockAddr> probes = SendersOf(STUN_PROBE);
            ASSERT_FALSE(probes.empty());
            for (const QVSockAddr& from : probes)
                EXPECT_TRUE(from.addr == probes[0].addr && from.port == probes[0].port) << "one probe socket";
            for (size_t i = 0; i < c.relays.size(); ++i) {
                const int got = relays[i]->CountRequests(STUN_PROBE);
                if (policy == REMOTE_POLICY_SEQUENTIAL || c.relays[i] != DOWN || c.state != 4)
                    EXPECT_EQ(got, c.probes[i]) << "relay " << i + 1;
                else
                    EXPECT_LE(got, 2) << "a relay that is down costs nothing once two answered";
            }
            EXPECT_EQ(Lookups(Chosen()).size(), 1u);
        }
        EXPECT_EQ(lines[REMOTE_POLICY_OWN], lines[REMOTE_POLICY_SEQUENTIAL]) << c.what;
    }
}

// No relay answers the probe (UDP looks blocked) but the relay chosen for the
// name answers the lookup: the road is kept under both timings. A chosen relay
// that answers neither (down, while the other answers) is asked five times under
// both, then the discovery server.
TEST_F(RemoteProbeTest, WithoutProbeAnswersTheLookupStillGoesOut)
{
    QVSOCKET listener = SocketTcp();
    QVSockAddr session;
    ASSERT_TRUE(SocketBind(listener, MakeSockAddr(LoopbackAddress(), 0)) && SocketListen(listener, 2) &&
                SocketLocalAddr(listener, &session));
    for (RemotePolicy policy : kPolicies) {
        SCOPED_TRACE(PolicyName(policy));
        Setup(policy, {DOWN, DOWN}, TurnAck(77, SockAddrPort(session)));
        TraceCapture traces;
        EXPECT_EQ(Attempt(), ConnectResult::Ok);
        EXPECT_TRUE(log.Has("Client Network State = 6"));
        EXPECT_EQ(log.lines.back(), "TURN: (sid:77)");
        EXPECT_TRUE(traces.Has("Timeout: R1") && traces.Has("Timeout: R2"));
        EXPECT_EQ(Lookups(Chosen()).size(), 1u);
        transport.Close();
        CloseSocket(SocketAccept(listener, nullptr));

        Setup(policy, {ANSWERS, DEAF});
        EXPECT_EQ(Attempt(), ConnectResult::NoServerResponse);
        const std::vector<std::string> tail(log.lines.end() - 7, log.lines.end() - 3);
        EXPECT_EQ(tail,
                  std::vector<std::string>({"No response from STUN server", "No Response from server",
                                            "Connecting through discover server", "Connecting to D.SERVER"}));
        EXPECT_EQ(Lookups(Chosen()).size(), (size_t)REMOTE_LOOKUP_SENDS);
    }
    CloseSocket(listener);
}

// A third address answers every probe in the relays' stead, first and with
// another public port: nothing of it counts under either timing.
TEST_F(RemoteProbeTest, ProbeAnswersFromAThirdAddressChangeNothing)
{
    rudptest::RawPeer stranger;
    for (RemotePolicy policy : kPolicies) {
        SCOPED_TRACE(PolicyName(policy));
        Setup(policy, {ANSWERS, ANSWERS});
        const uint32_t checksum = pool->GetChecksum();
        for (auto& r : relays) {
            FakeRelay* relay = r.get();
            relay->SetResponder([=, &stranger](const Datagram& req, std::vector<Datagram>*) {
                if (req[0] != STUN_PROBE) return false;
                const QVSockAddr launcher = relay->Senders().back();
                for (int i = 0; i < 20; ++i)
                    stranger.SendTo(launcher,
                                    Probe(checksum, MakeSockAddr(LoopbackAddress(), (uint16_t)(i + 1))));
                SleepMs(20);
                return false; // then the relay's own answer
            });
        }
        TraceCapture traces;
        EXPECT_EQ(Attempt(), ConnectResult::NoServerResponse);
        EXPECT_TRUE(log.Has("Client Network State = 4"));
        const QVSockAddr launcher = SendersOf(STUN_PROBE)[0];
        EXPECT_TRUE(traces.Has("Server1->" + FormatAddressRecord(launcher)));
        EXPECT_TRUE(traces.Has("Server2->" + FormatAddressRecord(launcher)));
        EXPECT_EQ(relays[0]->CountRequests(STUN_PROBE), 1);
        EXPECT_EQ(relays[1]->CountRequests(STUN_PROBE), 1);
    }
}

// ---------------------------------------------------------------------------
// Host names

// Relays and the discovery server given by name, with a name server that never
// answers: each host costs the bound once, under both timings, and the attempt
// ends with the usual failure of each step.
TEST_F(RemoteProbeTest, ASilentNameServerCostsEachHostItsBoundOnce)
{
    const uint32_t bound = 200;
    for (RemotePolicy policy : kPolicies) {
        SCOPED_TRACE(PolicyName(policy));
        FakeResolver names;
        names.Hang("relay-a.test");
        names.Hang("relay-b.test");
        names.Hang("dserver.test");
        WriteFile(dir + "/servers.txt", "A,relay-a.test,8500\nB,relay-b.test,8500\n");
        CServerPool named(dir + "/servers.txt");
        PrepareServerPool(named);
        settings.policy = policy;
        settings.resolve = FakeResolver::Resolve;
        settings.resolveBoundMs = bound;
        settings.discoveryHost = "dserver.test";
        log.lines.clear();
        TraceCapture traces;
        const uint32_t start = GetTick();
        EXPECT_EQ(ConnectRemote(transport, named, settings, &log, kScriptSystem), ConnectResult::CantResolve);
        const uint32_t took = TickSince(start);
        EXPECT_EQ(log.lines,
                  std::vector<std::string>(
                      {"Starting Connection to 'Home'", "Discovering Network...", "Client Network State = 6",
                       "Server Error", "Error: Cannot find STUN server for system",
                       "Can't resolve server address", "Connecting through discover server",
                       "Cannot resolve D.SERVER address", "Can't resolve server address"}));
        for (const char* host : {"relay-a.test", "relay-b.test", "dserver.test"})
            EXPECT_EQ(names.Calls(host), 1) << host;
        EXPECT_GE(took, 3 * bound);
        EXPECT_LT(took, 3 * bound + 2000) << "three hosts, one bound each";
        EXPECT_TRUE(traces.Has("Resolve Failed relay-b.test"));
    }
}

// Names that resolve are used as addresses are; a name that is not found skips its
// relay as before. The worker of each resolution has ended when the attempt
// returns.
TEST_F(RemoteProbeTest, NamesThatResolveAreUsedAndLeaveNoThreadBehind)
{
    for (RemotePolicy policy : kPolicies) {
        SCOPED_TRACE(PolicyName(policy));
        Setup(policy, {ANSWERS, ANSWERS});
        FakeResolver names;
        names.Know("r2.test", LoopbackAddress());
        names.Know("dserver.test", LoopbackAddress());
        WriteFile(dir + "/servers.txt", "R1,nowhere.test,1\nR2,r2.test," +
                                            std::to_string(SockAddrPort(relays[1]->Address())) + "\n");
        CServerPool named(dir + "/servers.txt");
        PrepareServerPool(named);
        relays[1]->SetChecksum(named.GetChecksum());
        settings.resolve = FakeResolver::Resolve;
        settings.discoveryHost = "dserver.test";
        const int threads = ThreadCount();
        TraceCapture traces;
        EXPECT_EQ(ConnectRemote(transport, named, settings, &log, kScriptSystem),
                  ConnectResult::NoServerResponse);
        EXPECT_TRUE(ThreadsBackTo(threads, 200)) << "no resolution worker is left";
        EXPECT_TRUE(log.Has("Client Network State = 6"));
        EXPECT_TRUE(log.Has("Using STUN Server: R2"));
        EXPECT_TRUE(log.Has("D.SERVER address = 127.0.0.1:" + std::to_string(settings.discoveryPort)));
        EXPECT_TRUE(traces.Has("Resolve Failed nowhere.test"));
        EXPECT_EQ(relays[0]->CountRequests(STUN_PROBE), 0);
        EXPECT_EQ(relays[1]->CountRequests(STUN_PROBE), 1);
    }
}

} // namespace
