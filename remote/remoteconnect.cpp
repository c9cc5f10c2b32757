// The remote connection procedure: the attempt as a whole and the network probe.
// The lookup and its roads are in remotelookup.cpp, the discovery server in
// dserverquery.cpp.
#include "remoteconnect.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "../util/enumtext.h"
#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "../util/trace.h"
#include "netaddr.h"
#include "relaypacket.h"
#include "remoteattempt.h"

// Datagrams read in one go before the probe looks at its clock again: a flood
// cannot hold it past its end.
static const int PROBE_DRAIN_MAX = 64;

// RERUDI_DISCOVERY_HOST comes from the build: where the launcher is shipped decides it.
const char* DefaultDiscoveryHost()
{
    return RERUDI_DISCOVERY_HOST;
}

RemoteSettings::RemoteSettings()
    : discoveryHost(DefaultDiscoveryHost()), discoveryPort(DSERVER_PORT), discoverySliceMs(250),
      policy(REMOTE_POLICY_OWN), resolve(SystemResolveIPv4), resolveBoundMs(RESOLVE_HOST_MS)
{
}

static constexpr EnumText<NetworkState> kNetworkStateTexts[] = {
    {NetworkState::Initialize, "Initialize"},
    {NetworkState::CantResolveUrl, "Can't Resolve URL"},
    {NetworkState::UdpRxOkNetworkUnknown, "UDP RX, OK Network Unknown"},
    {NetworkState::UdpRxFailed, "UDP RX FAILED"},
    {NetworkState::AsymmNat, "Asymm NAT Detected"},
    {NetworkState::SymmNat, "Symm NAT Detected"},
    {NetworkState::ServerError, "Server Error"},
    {NetworkState::ServerErrorUdpRxOk, "Server Error, UDP RX OK"},
    {NetworkState::PortForwarded, "Port Forwarded"},
};
static_assert(EveryValueOnce(kNetworkStateTexts, NetworkState::Count), "every network state has its text");

const char* NetworkStateText(NetworkState state)
{
    return TextOf(kNetworkStateTexts, state, "-");
}

void PrepareServerPool(CServerPool& pool)
{
    pool.Load();
    if (pool.GetCount() < 1) pool.SetDefaults();
    pool.UpdateChecksum();
    pool.Dump();
}

ConnectResult ConnectRemote(CXConnection& transport, CServerPool& pool, const RemoteSettings& settings,
                            CAttemptObserver* observer, const std::string& systemName)
{
    CRemoteAttempt attempt(transport, pool, settings, observer);
    return attempt.Run(systemName);
}

ConnectResult ConnectRemote(CXConnection& transport, CAttemptObserver* observer,
                            const std::string& systemName)
{
    CServerPool pool(transport.GetServerListPath());
    PrepareServerPool(pool);
    RemoteSettings settings;
    return ConnectRemote(transport, pool, settings, observer, systemName);
}

QVSOCKET OpenRemoteUdpSocket()
{
    QVSOCKET s = SocketUdp();
    // Bound before the first send, so that a wait on it is a wait on a real port
    // on every system.
    if (s != QV_INVALID_SOCKET && !SocketBind(s, MakeSockAddr(0, 0))) {
        CloseSocket(s);
        s = QV_INVALID_SOCKET;
    }
    return s;
}

CRemoteAttempt::CRemoteAttempt(CXConnection& transport, CServerPool& pool, const RemoteSettings& settings,
                               CAttemptObserver* observer)
    : m_Transport(transport), m_Pool(pool), m_Settings(settings), m_Latch(observer),
      m_Resolver(&m_Latch, settings.resolve, settings.resolveBoundMs), m_nReloads(0),
      m_bReloadBoundReported(false)
{
}

ConnectResult CRemoteAttempt::Run(const std::string& systemName)
{
    m_Transport.Close();
    Status(StrPrintf("Starting Connection to '%s'", systemName.c_str()));
    Status("Discovering Network...");
    ConnectResult result = ConnectResult::Cancelled;
    const NetworkState state = DiscoverNetwork();
    if (!Cancelled()) {
        Status(StrPrintf("Client Network State = %d", (int)state));
        Status(NetworkStateText(state));
        result = LookupController(state, systemName);
    }
    if (result == ConnectResult::Ok) return result;
    if (!Cancelled()) {
        Status(ConnectResultText(result));
        Status("Connecting through discover server");
        result = QueryDiscoveryServer(systemName);
        if (result == ConnectResult::Ok) return result;
    }
    // A step that saw the cancel may have ended with its own failure first.
    if (Cancelled()) result = ConnectResult::Cancelled;
    Status(ConnectResultText(result));
    m_Transport.Close();
    return result;
}

CRemoteAttempt::Received CRemoteAttempt::WaitDatagram(QVSOCKET s, uint32_t start, uint32_t waitMs,
                                                      uint8_t* buffer, int size, int* length,
                                                      QVSockAddr* sender)
{
    for (;;) {
        const uint32_t spent = TickSince(start);
        if (spent >= waitMs) return RECEIVED_NOTHING;
        if (AttemptWaitReadable(&m_Latch, s, waitMs - spent) != ATTEMPT_WAIT_READY) return RECEIVED_NOTHING;
        memset(sender, 0, sizeof(*sender));
        *length = SocketRecvFrom(s, buffer, size, sender);
        if (*length >= 0) return RECEIVED_DATAGRAM;
        if (!SocketErrorWouldBlock(SocketLastError())) return RECEIVED_ERROR;
    }
}

NetworkState CRemoteAttempt::DiscoverNetwork()
{
    if (m_Settings.policy == REMOTE_POLICY_OWN) return ProbeSideBySide();
    // Only IPv4 is spoken; the first entry is resolved here all the same, so that a
    // name that cannot be resolved shows in the trace before the probe starts.
    if (ServerEntry* first = m_Pool.GetEntry(0)) first->Resolve(&m_Resolver);
    if (Cancelled()) return NetworkState::Initialize;
    CSocketHolder probe(OpenRemoteUdpSocket());
    if (!probe.IsOpen()) return NetworkState::Initialize;

    QVSockAddr seen[2];
    int answers = 0;
    for (int i = 0; i < m_Pool.GetCount() && answers < 2; i++) {
        QVSockAddr mapped;
        switch (ProbeServer(probe.Get(), i, &mapped)) {
        case PROBE_ANSWERED:
            seen[answers++] = mapped;
            m_Answered.push_back(m_Pool.GetEntry(i)->address);
            break;
        case PROBE_RELOADED:
            // The pool holds the fetched list now: probe it from its start.
            answers = 0;
            m_Answered.clear();
            i = -1;
            break;
        default:
            break;
        }
        if (Cancelled()) return NetworkState::Initialize;
    }
    probe.Close();
    return Decide(seen, answers);
}

NetworkState CRemoteAttempt::Decide(const QVSockAddr* seen, int answers)
{
    if (answers < 2) return NetworkState::ServerError;
    Trace("Server1->%s", FormatAddressRecord(seen[0]).c_str());
    Trace("Server2->%s", FormatAddressRecord(seen[1]).c_str());
    return seen[0].port != seen[1].port ? NetworkState::SymmNat : NetworkState::AsymmNat;
}

bool CRemoteAttempt::TakeProbeAnswer(QVSOCKET s, const QVSockAddr& server, const StunProbeAck& ack)
{
    if (ack.dwChecksum == m_Pool.GetChecksum() || m_nReloads >= REMOTE_MAX_LIST_RELOADS) {
        if (ack.dwChecksum != m_Pool.GetChecksum() && !m_bReloadBoundReported) {
            m_bReloadBoundReported = true;
            Status("Server list still differs, keeping this one");
        }
        return true;
    }
    Status("Loading Server List");
    m_nReloads++;
    // Whatever the fetch gave, the pool may have changed under the walk.
    m_Pool.LoadFromServer(s, server, (int)sizeof(server), m_Transport.GetClientTag(), &m_Latch);
    return false;
}

NetworkState CRemoteAttempt::ProbeSideBySide()
{
    CSocketHolder probe(OpenRemoteUdpSocket());
    if (!probe.IsOpen()) return NetworkState::Initialize;
    for (;;) { // once per list: a reload starts the probe again with the fetched one
        std::vector<ProbedRelay> relays;
        for (int i = 0; i < m_Pool.GetCount(); i++) {
            ServerEntry* entry = m_Pool.GetEntry(i);
            Trace("Resolving server: %s", entry->szName);
            const bool usable = entry->Resolve(&m_Resolver);
            if (Cancelled()) return NetworkState::Initialize;
            relays.push_back({entry->address, entry->szName, usable, false, 0});
        }
        QVSockAddr seen[2];
        int answers = 0;
        const SideBySide outcome = ProbeRelays(probe.Get(), relays, seen, &answers);
        if (outcome == SIDE_BY_SIDE_CANCELLED) return NetworkState::Initialize;
        m_Answered.clear();
        if (outcome == SIDE_BY_SIDE_RELOADED) continue;
        for (const ProbedRelay& r : relays) {
            if (r.answered) m_Answered.push_back(r.address);
            if (answers < 2 && r.usable && !r.answered) Trace("Timeout: %s", r.name);
        }
        return Decide(seen, answers);
    }
}

CRemoteAttempt::SideBySide CRemoteAttempt::ProbeRelays(QVSOCKET s, std::vector<ProbedRelay>& relays,
                                                       QVSockAddr* seen, int* answers)
{
    uint8_t request[STUN_PROBE_LENGTH];
    const int length = BuildProbe(request, m_Transport.GetClientTag());
    const uint32_t start = GetTick();
    for (;;) {
        // What is due goes out; then the wait runs to the next sending or the end.
        const uint32_t now = TickSince(start);
        uint32_t next = REMOTE_PROBE_END_MS;
        bool pending = false;
        for (ProbedRelay& r : relays) {
            if (!r.usable || r.answered) continue;
            while (r.sent < REMOTE_PROBE_SENDS && REMOTE_PROBE_SEND_AT_MS[r.sent] <= now) {
                if (SocketSendTo(s, request, length, r.address) != length) {
                    r.usable = false; // as a failed send of the sequential probe: skipped
                    break;
                }
                r.sent++;
            }
            if (!r.usable) continue;
            pending = true;
            if (r.sent < REMOTE_PROBE_SENDS && REMOTE_PROBE_SEND_AT_MS[r.sent] < next)
                next = REMOTE_PROBE_SEND_AT_MS[r.sent];
        }
        if (!pending || now >= REMOTE_PROBE_END_MS) return SIDE_BY_SIDE_DONE;

        const AttemptWait ready = AttemptWaitReadable(&m_Latch, s, next - now);
        if (ready == ATTEMPT_WAIT_CANCELLED) return SIDE_BY_SIDE_CANCELLED;
        if (ready != ATTEMPT_WAIT_READY) continue;
        std::vector<std::pair<size_t, StunProbeAck>> heard;
        if (!AnswersAtHand(s, relays, &heard)) return SIDE_BY_SIDE_CANCELLED;
        for (const auto& h : heard) {
            if (!TakeProbeAnswer(s, relays[h.first].address, h.second))
                return Cancelled() ? SIDE_BY_SIDE_CANCELLED : SIDE_BY_SIDE_RELOADED;
            relays[h.first].answered = true;
            seen[(*answers)++] = h.second.mapped;
            if (*answers == 2) return SIDE_BY_SIDE_DONE;
        }
    }
}

bool CRemoteAttempt::AnswersAtHand(QVSOCKET s, const std::vector<ProbedRelay>& relays,
                                   std::vector<std::pair<size_t, StunProbeAck>>* heard)
{
    for (int taken = 0; taken < PROBE_DRAIN_MAX; taken++) {
        uint8_t answer[STUN_SMALL_RECEIVE];
        QVSockAddr from;
        memset(&from, 0, sizeof(from));
        const int n = SocketRecvFrom(s, answer, (int)sizeof(answer), &from);
        if (n < 0) {
            // An error report (an unreachable port, on some systems) is no answer;
            // a short pause keeps a repeated one from spinning.
            if (!SocketErrorWouldBlock(SocketLastError()) && !AttemptSleep(&m_Latch, 10)) return false;
            break;
        }
        // Anything but a probe answer from a relay still waiting is dropped, as the
        // sequential probe drops it: it neither ends nor stretches a wait.
        StunProbeAck ack;
        if (!ParseProbeAck(answer, n, &ack)) continue;
        for (size_t i = 0; i < relays.size(); i++) {
            const ProbedRelay& r = relays[i];
            if (!r.usable || r.answered || !SameEndpoint(from, r.address)) continue;
            bool already = false;
            for (const auto& h : *heard)
                already = already || h.first == i;
            if (already) continue; // a second answer at this address: the next entry there
            heard->push_back({i, ack});
            break;
        }
    }
    // Answers at hand count in list order, as the sequential walk would take them.
    std::sort(heard->begin(), heard->end(),
              [](const std::pair<size_t, StunProbeAck>& a, const std::pair<size_t, StunProbeAck>& b) {
                  return a.first < b.first;
              });
    return true;
}

CRemoteAttempt::ProbeResult CRemoteAttempt::ProbeServer(QVSOCKET s, int index, QVSockAddr* mapped)
{
    ServerEntry* entry = m_Pool.GetEntry(index);
    if (!entry) return PROBE_FAILED;
    Trace("Resolving server: %s", entry->szName);
    if (!entry->Resolve(&m_Resolver)) return PROBE_FAILED;
    const QVSockAddr server = entry->address;

    uint8_t request[STUN_PROBE_LENGTH];
    const int length = BuildProbe(request, m_Transport.GetClientTag());
    for (int sending = 0; sending < REMOTE_PROBE_SENDS; sending++) {
        if (SocketSendTo(s, request, length, server) != length) return PROBE_FAILED;
        // The whole second belongs to this sending: a datagram that is not the
        // answer (another type, or from anyone but this server) is dropped and the
        // wait goes on, so strays can neither use up the sendings nor stretch them.
        const uint32_t sent = GetTick();
        for (;;) {
            uint8_t answer[STUN_SMALL_RECEIVE];
            int n = 0;
            QVSockAddr from;
            const Received got =
                WaitDatagram(s, sent, REMOTE_PROBE_WAIT_MS, answer, (int)sizeof(answer), &n, &from);
            if (Cancelled()) return PROBE_FAILED;
            if (got == RECEIVED_ERROR) return PROBE_NO_ANSWER;
            if (got == RECEIVED_NOTHING) break;
            StunProbeAck ack;
            if (!SameEndpoint(from, server) || !ParseProbeAck(answer, n, &ack)) continue;
            if (TakeProbeAnswer(s, server, ack)) {
                *mapped = ack.mapped;
                return PROBE_ANSWERED;
            }
            return Cancelled() ? PROBE_FAILED : PROBE_RELOADED;
        }
    }
    Trace("Timeout: %s", entry->szName);
    return PROBE_NO_ANSWER;
}
