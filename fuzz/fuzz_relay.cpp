// Arbitrary datagrams through every relay datagram parser, as the launcher meets
// them on the probe socket, during a lookup and on an established connection (and
// the requests, as the test relay server reads them). A parser that accepts a
// datagram must have read only fields inside it, and building the parsed fields
// again must give back the datagram's bytes (texts up to their end, NUL after).
//
// Input layout: bytes 0..1 the maximum payload for the data packet parser
// (little-endian), then the datagram. The datagram is copied to a buffer of
// exactly its size so that any read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "remote/relaypacket.h"
#include "util/qvtypes.h"

namespace
{

bool SamePrefix(const uint8_t* a, const uint8_t* b, int n)
{
    return memcmp(a, b, (size_t)n) == 0;
}

// A text field: the bytes up to the first NUL (or the field's end, cut to keep a
// terminator) come back, everything after them is NUL.
void CheckTextField(const uint8_t* wire, int wireSize, const char* field, int fieldSize,
                    const uint8_t* rebuilt)
{
    int n = 0;
    while (n < wireSize && n < fieldSize - 1 && wire[n])
        n++;
    FUZZ_CHECK((int)strlen(field) == n);
    FUZZ_CHECK(memcmp(field, wire, (size_t)n) == 0);
    for (int i = n; i < fieldSize; i++)
        FUZZ_CHECK(field[i] == 0);
    FUZZ_CHECK(memcmp(rebuilt, wire, (size_t)n) == 0);
    for (int i = n; i < wireSize; i++)
        FUZZ_CHECK(rebuilt[i] == 0);
}

void CheckServerAnswers(const uint8_t* d, int n)
{
    uint8_t again[STUN_LARGE_RECEIVE];
    const int type = n > 0 ? d[0] : -1;
    FUZZ_CHECK(StunType(d, n) == type);
    FUZZ_CHECK(StunTypeName(type) != nullptr);

    StunProbeAck probeAck;
    bool ok = ParseProbeAck(d, n, &probeAck);
    FUZZ_CHECK(ok == (type == STUN_PROBE_ACK && n >= STUN_PROBE_ACK_LENGTH));
    if (ok) FUZZ_CHECK(SamePrefix(again, d, BuildProbeAck(again, probeAck)));

    uint32_t count = 0;
    ok = ParseListCountAck(d, n, &count);
    FUZZ_CHECK(ok == (type == STUN_LIST_ACK && n >= STUN_LIST_COUNT_ACK_LENGTH));
    if (ok) FUZZ_CHECK(count == GetLE32(d + 5));

    StunListEntry entry;
    ok = ParseListEntryAck(d, n, &entry);
    FUZZ_CHECK(ok == (type == STUN_LIST_ACK && n >= STUN_LIST_ENTRY_ACK_LENGTH));
    if (ok) {
        FUZZ_CHECK(BuildListEntryAck(again, entry) == STUN_LIST_ENTRY_ACK_LENGTH);
        CheckTextField(d + 1, STUN_NAME_FIELD, entry.szName, sizeof(entry.szName), again + 1);
        CheckTextField(d + 65, STUN_HOST_FIELD, entry.szHost, sizeof(entry.szHost), again + 65);
        FUZZ_CHECK(entry.wPort == GetLE16(d + 193));
    }

    StunLookupAnswer answer;
    ok = ParseLookupAnswer(d, n, &answer);
    const bool decisive = (type == STUN_FIND_ACK && n >= STUN_FIND_ACK_LENGTH) || (type == STUN_FIND_NACK) ||
                          (type == STUN_TURN_ACK && n >= STUN_TURN_ACK_LENGTH) ||
                          (type == STUN_TCP_ACK && n >= STUN_TCP_ACK_LENGTH);
    FUZZ_CHECK(ok == decisive);
    if (ok) {
        FUZZ_CHECK(answer.type == type);
        int built = answer.type == STUN_FIND_ACK   ? BuildFindAck(again, answer.address)
                    : answer.type == STUN_TCP_ACK  ? BuildTcpAck(again, answer.address)
                    : answer.type == STUN_TURN_ACK ? BuildTurnAck(again, answer.dwSessionId, answer.wPort)
                                                   : BuildFindNack(again);
        FUZZ_CHECK(built <= n && SamePrefix(again, d, built));
    }
}

void CheckConnectionDatagrams(const uint8_t* d, int n, uint32_t maxPayload)
{
    uint8_t again[STUN_LARGE_RECEIVE + 8];
    const int type = n > 0 ? d[0] : -1;

    const StunPacketType singles[] = {STUN_HELLO,      STUN_HELLO_ACK, STUN_BYE,
                                      STUN_PARAMS_ACK, STUN_NO_OP,     STUN_BYE_ACK};
    for (StunPacketType t : singles)
        FUZZ_CHECK(IsStunPacket(d, n, t) == (type == t));

    TransferParams params;
    bool ok = ParseParams(d, n, &params);
    FUZZ_CHECK(ok == (type == STUN_PARAMS && n >= STUN_PARAMS_LENGTH));
    if (ok) FUZZ_CHECK(SamePrefix(again, d, BuildParams(again, params)));

    StunDataPacket data;
    ok = ParseDataPacket(d, n, maxPayload, &data);
    if (ok) {
        FUZZ_CHECK(type == STUN_TX_PACKET || type == STUN_TX_PACKET_ACK);
        FUZZ_CHECK(data.type == type);
        FUZZ_CHECK(data.nPayload >= 1 && data.pPayload == d + STUN_DATA_HEADER);
        FUZZ_CHECK(data.pPayload + data.nPayload + (type == STUN_TX_PACKET_ACK ? 2 : 0) == d + n);
        FUZZ_CHECK((uint32_t)data.nPayload <= (type == STUN_TX_PACKET_ACK ? maxPayload - 2 : maxPayload));
        FUZZ_CHECK(data.wSequence == GetLE16(d + 1));
        FUZZ_CHECK(data.wAck == (type == STUN_TX_PACKET ? STUN_NO_ACK : GetLE16(d + n - 2)));
        // An acknowledgement of 0xFFFF cannot be built: it means "none" to the builder.
        if (type == STUN_TX_PACKET || data.wAck != STUN_NO_ACK) {
            int built = BuildDataPacket(again, (int)sizeof(again), data.wSequence, data.pPayload,
                                        data.nPayload, type == STUN_TX_PACKET ? STUN_NO_ACK : data.wAck);
            FUZZ_CHECK(built == n && SamePrefix(again, d, n));
        }
    } else if (n >= STUN_DATA_HEADER + 1 && (type == STUN_TX_PACKET || type == STUN_TX_PACKET_ACK)) {
        // Refused only for its size.
        int payload = n - STUN_DATA_HEADER - (type == STUN_TX_PACKET_ACK ? 2 : 0);
        uint32_t room = type == STUN_TX_PACKET_ACK ? (maxPayload < 2 ? 0 : maxPayload - 2) : maxPayload;
        FUZZ_CHECK(payload < 1 || (uint32_t)payload > room);
    }

    StunRxAck acks;
    ok = ParseRxAck(d, n, &acks);
    FUZZ_CHECK(ok == (type == STUN_RX_ACK && n >= 3 && n <= STUN_RX_ACK_LENGTH_MAX + 1));
    if (ok) {
        FUZZ_CHECK(acks.nCount == (n - 1) / 2 && acks.nCount >= 1 && acks.nCount <= STUN_RX_ACK_MAX);
        int built = BuildRxAck(again, acks.awSequence, acks.nCount);
        FUZZ_CHECK(built == 1 + 2 * acks.nCount && SamePrefix(again, d, built));
    }
}

void CheckRequests(const uint8_t* d, int n)
{
    uint8_t again[STUN_LARGE_RECEIVE];
    const int type = n > 0 ? d[0] : -1;
    uint32_t tag = 0;
    bool ok = ParseProbe(d, n, &tag);
    FUZZ_CHECK(ok == (type == STUN_PROBE && n >= STUN_PROBE_LENGTH));
    if (ok) FUZZ_CHECK(SamePrefix(again, d, BuildProbe(again, tag)));

    uint8_t entry = 0;
    ok = ParseListRequest(d, n, &entry, &tag);
    if (ok) {
        int built = entry == 0 ? BuildListCountRequest(again, tag) : BuildListEntryRequest(again, entry, tag);
        FUZZ_CHECK(built <= n && SamePrefix(again, d, built));
    }

    StunPacketType lookup;
    std::string name;
    ok = ParseLookup(d, n, &lookup, &name);
    FUZZ_CHECK(ok == ((type == STUN_FIND || type == STUN_FIND_RELAY) && n >= STUN_FIND_LENGTH));
    if (ok) {
        FUZZ_CHECK(name.size() <= (size_t)STUN_NAME_FIELD);
        FUZZ_CHECK(BuildLookup(again, lookup, name) == STUN_FIND_LENGTH);
        CheckTextField(d + 1, STUN_NAME_FIELD, name.c_str(), (int)name.size() + 1, again + 1);
    }
}

} // namespace

extern "C" int QV_FUZZ_ENTRY(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 2 + STUN_LARGE_RECEIVE) return 0;
    const uint32_t maxPayload = GetLE16(data);
    const int n = (int)(size - 2);
    uint8_t* datagram = static_cast<uint8_t*>(malloc(n ? (size_t)n : 1));
    if (!datagram) return 0;
    if (n) memcpy(datagram, data + 2, (size_t)n);

    CheckServerAnswers(datagram, n);
    CheckConnectionDatagrams(datagram, n, maxPayload);
    CheckConnectionDatagrams(datagram, n, STUN_PARAMS_PROPOSED.MaxPayload);
    CheckRequests(datagram, n);

    // What a failed receive reports: nothing parses.
    StunRxAck acks;
    StunDataPacket packet;
    StunLookupAnswer answer;
    FUZZ_CHECK(!ParseRxAck(datagram, -1, &acks));
    FUZZ_CHECK(!ParseDataPacket(datagram, -1, maxPayload, &packet));
    FUZZ_CHECK(!ParseLookupAnswer(datagram, -1, &answer));
    FUZZ_CHECK(StunType(datagram, -1) == -1);
    free(datagram);
    return 0;
}
