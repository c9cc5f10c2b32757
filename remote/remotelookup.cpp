// The lookup of a controller at the relay responsible for its name, and the roads
// its answer opens: hole punching with the reliable stream, the relayed TCP
// session, and the direct TCP connection to an address the relay names.
#include <memory>

#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "../util/trace.h"
#include "netaddr.h"
#include "relaypacket.h"
#include "remoteattempt.h"
#include "rudpclient.h"

ConnectResult CRemoteAttempt::LookupController(NetworkState state, const std::string& systemName)
{
    m_Pool.ClearResolved();
    ServerEntry* entry = m_Pool.SelectFor(systemName.c_str(), &m_Resolver);
    if (Cancelled()) return ConnectResult::Cancelled;
    if (!entry) {
        Trace("ERROR: No Server for %s", systemName.c_str());
        Status("Error: Cannot find STUN server for system");
        return ConnectResult::CantResolve;
    }
    const ServerEntry relay = *entry; // the recursive lookup below selects again
    CSocketHolder lookup(OpenRemoteUdpSocket());
    if (!lookup.IsOpen()) {
        Status("Internal Network Error");
        return ConnectResult::InternalError;
    }

    uint8_t request[STUN_FIND_LENGTH];
    const int length =
        BuildLookup(request, state == NetworkState::AsymmNat ? STUN_FIND : STUN_FIND_RELAY, systemName);
    Status(StrPrintf("Using STUN Server: %s", relay.szName));
    Trace("Connecting through %s (%s)...", relay.szName, FormatAddressRecord(relay.address).c_str());

    // When this relay answered no probe, our own timing asks on the quick schedule:
    // the path to it is closed or it is down, and the discovery server should not
    // wait for it. It may still answer the lookup alone, so the lookup goes out.
    bool heard = false;
    for (const QVSockAddr& a : m_Answered)
        heard = heard || SameEndpoint(a, relay.address);
    const bool quick = m_Settings.policy == REMOTE_POLICY_OWN && !heard;
    for (int sending = 0; sending < REMOTE_LOOKUP_SENDS; sending++) {
        uint32_t window = REMOTE_LOOKUP_WAIT_MS;
        if (quick) {
            const uint32_t until = sending + 1 < REMOTE_LOOKUP_SENDS
                                       ? REMOTE_QUICK_LOOKUP_SEND_AT_MS[sending + 1]
                                       : REMOTE_QUICK_LOOKUP_END_MS;
            window = until - REMOTE_QUICK_LOOKUP_SEND_AT_MS[sending];
        }
        const int sent = SocketSendTo(lookup.Get(), request, length, relay.address);
        if (sent != length) {
            Status(StrPrintf("ERROR: Trying to send %d bytes to server (result %d)", length, sent));
            return ConnectResult::NoServerResponse;
        }
        // As in the probe, the whole window belongs to this sending: early hellos
        // from a controller behind a NAT that lets them through, or anything else
        // that is not the relay's answer, are dropped and the wait goes on.
        const uint32_t start = GetTick();
        for (;;) {
            uint8_t buffer[STUN_LARGE_RECEIVE];
            int n = 0;
            QVSockAddr from;
            const Received got =
                WaitDatagram(lookup.Get(), start, window, buffer, (int)sizeof(buffer), &n, &from);
            if (Cancelled()) return ConnectResult::Cancelled;
            if (got == RECEIVED_NOTHING) break;
            if (got == RECEIVED_ERROR) {
                // An error report (an unreachable port, on some systems) is no
                // answer; a short pause keeps a repeated one from spinning.
                AttemptSleep(&m_Latch, 10);
                continue;
            }
            StunLookupAnswer answer;
            if (!SameEndpoint(from, relay.address) || !ParseLookupAnswer(buffer, n, &answer)) continue;
            switch (answer.type) {
            case STUN_TCP_ACK:
                lookup.Close();
                return m_Transport.ConnectDirect(answer.address, 0, &m_Latch);
            case STUN_TURN_ACK:
                lookup.Close();
                // Printed unsigned: ids above 2^31 are as valid as any.
                Status(StrPrintf("TURN: (sid:%u)", answer.dwSessionId));
                return ConnectTurn(relay, answer.wPort, answer.dwSessionId);
            case STUN_FIND_ACK: {
                Trace("Found Target at %s", FormatAddressRecord(answer.address).c_str());
                Status("Found Target System");
                const ConnectResult punched = PunchHole(answer.address, lookup);
                if (punched == ConnectResult::Ok || punched == ConnectResult::Cancelled) return punched;
                Status("FAILED: Trying TURN");
                if (state == NetworkState::AsymmNat)
                    return LookupController(NetworkState::SymmNat, systemName);
                return punched;
            }
            case STUN_FIND_NACK:
                Trace("Server reports that is can't find '%s'", systemName.c_str());
                lookup.Close();
                if (!AttemptSleep(&m_Latch, REMOTE_NACK_PAUSE_MS)) return ConnectResult::Cancelled;
                Status("Controller is not active with STUN server");
                return ConnectResult::NotLocated;
            default:
                break; // nothing else parses as an answer
            }
        }
    }
    Status("No response from STUN server");
    return ConnectResult::NoServerResponse;
}

ConnectResult CRemoteAttempt::PunchHole(const QVSockAddr& peer, CSocketHolder& socket)
{
    int dots = 0;
    std::string last;
    for (int attempt = 0; attempt < REMOTE_PUNCH_ATTEMPTS; attempt++) {
        uint8_t hello[1];
        const int length = BuildStunSingle(hello, STUN_HELLO);
        if (SocketSendTo(socket.Get(), hello, length, peer) != length) {
            socket.Close();
            return ConnectResult::NoControllerResponse;
        }
        // One attempt waits 250 ms in all, however many other datagrams come.
        const uint32_t start = GetTick();
        for (;;) {
            if (dots < REMOTE_PUNCH_MAX_DOTS) dots++;
            // Once the dots are at their longest the line no longer changes; a peer
            // that floods the path must not flood the log with it.
            const std::string line = "Creating Connection" + std::string((size_t)dots, '.');
            if (line != last) Status(line);
            last = line;

            uint8_t buffer[STUN_SMALL_RECEIVE];
            int n = 0;
            QVSockAddr from;
            const Received got = WaitDatagram(socket.Get(), start, REMOTE_PUNCH_WAIT_MS, buffer,
                                              (int)sizeof(buffer), &n, &from);
            if (Cancelled()) return ConnectResult::Cancelled;
            if (got == RECEIVED_NOTHING) break;
            if (got == RECEIVED_ERROR) {
                Status("Waiting for Response...");
                break;
            }
            if (!SameEndpoint(from, peer)) continue; // not the controller being punched to
            if (!IsStunPacket(buffer, n, STUN_HELLO_ACK)) {
                Trace("Ignoring: %s", StunTypeName(n > 0 ? buffer[0] : -1));
                continue;
            }
            Trace("Got STUN_HELLO_ACK from peer (%s). good to go.", FormatAddressRecord(from).c_str());
            std::shared_ptr<CRUDPClient> client(new CRUDPClient(socket.Release(), peer));
            client->Negotiate(STUN_PARAMS_PROPOSED, &m_Latch);
            if (Cancelled()) {
                client->Close();
                return ConnectResult::Cancelled;
            }
            client->Start();
            m_Transport.InstallClient(client);
            Status("UDP Connect OK");
            return ConnectResult::Ok;
        }
    }
    Status("STUN connection timeout, no response from controller");
    socket.Close();
    return ConnectResult::NoControllerResponse;
}

ConnectResult CRemoteAttempt::ConnectTcp(const QVSockAddr& to, uint32_t timeoutMs, CSocketHolder& out)
{
    CSocketHolder s(SocketTcp());
    if (!s.IsOpen() || !SetNonBlocking(s.Get()) || !SocketConnect(s.Get(), to))
        return ConnectResult::CantConnect;
    const AttemptWait waited = AttemptWaitWritable(&m_Latch, s.Get(), timeoutMs);
    if (waited == ATTEMPT_WAIT_CANCELLED) return ConnectResult::Cancelled;
    // Blocking again: a program handed this socket expects an ordinary one.
    if (waited != ATTEMPT_WAIT_READY || !SocketConnectSucceeded(s.Get()) || !SetBlocking(s.Get()))
        return ConnectResult::CantConnect;
    out.Reset(s.Release());
    return ConnectResult::Ok;
}

ConnectResult CRemoteAttempt::ConnectTurn(const ServerEntry& relay, uint16_t port, uint32_t sessionId)
{
    if (relay.nAddressLength < 1 || relay.nAddressLength > 128) return ConnectResult::InternalError;
    // The session port is on the same relay server that gave the answer.
    QVSockAddr session = relay.address;
    session.port = HostToNet16(port);
    CSocketHolder s;
    const ConnectResult connected = ConnectTcp(session, DIRECT_CONNECT_MS, s);
    if (connected == ConnectResult::Cancelled) return connected;
    if (connected != ConnectResult::Ok) {
        Status("Cannot connect to STUN server for TURN session");
        return ConnectResult::NoServerResponse;
    }
    uint8_t preamble[4];
    PutLE32(preamble, sessionId);
    if (SocketSend(s.Get(), preamble, (int)sizeof(preamble)) != (int)sizeof(preamble)) {
        Status("Cannot send init packet to STUN server for TURN session");
        return ConnectResult::NoServerResponse;
    }
    m_Transport.AdoptSocket(s.Release());
    return ConnectResult::Ok;
}
