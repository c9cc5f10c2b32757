// The last road: the discovery server (D.SERVER) names a direct address for the
// controller, if it knows one.
//
// Settled here:
// - The answer's address item is padded to a multiple of 4 counted from the item's
//   own start (DecodeDServerAnswer), as the discovery server pads it: the item
//   starts at payload offset 2, so "10.0.2.2" is followed by the port at once.
// - "50 slices without data" counts quiet slices in all, not in a row: a server
//   that sends a byte now and then cannot restart the count, so the quiet time of
//   one query is at most 50 slices, and the data itself at most 1024 bytes.
// - The address text is accepted only as four dotted decimal fields of 0 to 255;
//   an empty text, a host name, a short or decorated form, 0.0.0.0 and
//   255.255.255.255 all mean that the server has no address for this controller,
//   which the launcher reports as a controller too new for the server.
#include <cstring>
#include <vector>

#include "../util/qvtypes.h"
#include "../util/trace.h"
#include "netaddr.h"
#include "relaypacket.h"
#include "remoteattempt.h"

uint32_t ParseControllerAddress(const char* text)
{
    uint32_t address = 0;
    if (!ParseDottedIPv4(text, &address)) return 0;
    return address == 0xFFFFFFFFu ? 0 : address;
}

ConnectResult CRemoteAttempt::ReceiveDServerAnswer(QVSOCKET s, uint8_t* buffer, int* length)
{
    int have = 0;
    int need = DSERVER_HEADER;
    bool sized = false;
    int quiet = 0;
    while (have < need) {
        const AttemptWait ready = AttemptWaitReadable(&m_Latch, s, m_Settings.discoverySliceMs);
        if (ready == ATTEMPT_WAIT_CANCELLED) return ConnectResult::Cancelled;
        if (ready != ATTEMPT_WAIT_READY) {
            if (++quiet >= REMOTE_DSERVER_QUIET_SLICES) {
                Status("Timeout waiting for D.SERVER response");
                return ConnectResult::NoServerResponse;
            }
            continue;
        }
        const int r = SocketRecv(s, buffer + have, need - have);
        if (r <= 0) return ConnectResult::NoServerResponse;
        have += r;
        if (!sized && have >= DSERVER_HEADER) {
            sized = true;
            uint16_t command = 0;
            uint32_t payload = 0;
            ParseDServerHeader(buffer, have, &command, &payload);
            // An answer that cannot be received whole fails; any other command
            // means "not found" whatever follows it, so its payload is not awaited.
            if (command != DSERVER_ANSWER) break;
            if (!DServerMessageFits(payload)) {
                Trace("D.SERVER answer of %u bytes does not fit", (unsigned)payload + DSERVER_HEADER);
                return ConnectResult::NoServerResponse;
            }
            need = DSERVER_HEADER + (int)payload;
        }
    }
    *length = have;
    return ConnectResult::Ok;
}

ConnectResult CRemoteAttempt::QueryDiscoveryServer(const std::string& systemName)
{
    // Resolved like a pool entry: a dotted address, or a host name (IPv4).
    ServerEntry dserver;
    dserver.Set("D.SERVER", m_Settings.discoveryHost.c_str(), m_Settings.discoveryPort);
    if (!dserver.Resolve(&m_Resolver)) {
        if (Cancelled()) return ConnectResult::Cancelled;
        Status("Cannot resolve D.SERVER address");
        return ConnectResult::CantResolve;
    }
    Status("Connecting to D.SERVER");
    Status(StrPrintf("D.SERVER address = %s", FormatAddressRecord(dserver.address).c_str()));

    CSocketHolder s;
    const ConnectResult connected = ConnectTcp(dserver.address, DIRECT_CONNECT_MS, s);
    if (connected == ConnectResult::Cancelled) return connected;
    if (connected != ConnectResult::Ok) {
        Status("Cannot connect to D.SERVER");
        return ConnectResult::NoServerResponse;
    }

    Status("Querying D.SERVER");
    const std::vector<uint8_t> query = BuildDServerQuery(systemName);
    if (SocketSend(s.Get(), query.data(), (int)query.size()) != (int)query.size()) {
        Status("Cannot send to D.SERVER");
        return ConnectResult::NoServerResponse;
    }

    uint8_t buffer[DSERVER_MAX_MESSAGE];
    int length = 0;
    const ConnectResult received = ReceiveDServerAnswer(s.Get(), buffer, &length);
    s.Close();
    if (received != ConnectResult::Ok) return received;

    DServerAnswer answer;
    if (!DecodeDServerAnswer(buffer, length, &answer)) {
        Status("System Not Found at D.SERVER");
        return ConnectResult::NotLocated;
    }
    Trace("Address:  %s", answer.szAddress);
    Status(StrPrintf("Fnd:%d Lic:%d Addr:%s Port:%d Open:%d Relay:%d", answer.bFound, answer.bLicensed,
                     answer.szAddress, answer.wPort, answer.bOpen, answer.bRelay));

    const uint32_t address = ParseControllerAddress(answer.szAddress);
    if (address == 0) {
        Status("Error: Controller too new for disco server");
        return ConnectResult::NotLocated;
    }
    const QVSockAddr controller = MakeSockAddr(address, answer.wPort);
    Status(StrPrintf("TCP direct -> %s", FormatAddressRecord(controller).c_str()));
    return m_Transport.ConnectDirect(controller, REMOTE_DSERVER_CONNECT_MS, &m_Latch);
}
