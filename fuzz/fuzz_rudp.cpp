// The reliable stream fed arbitrary datagrams in arbitrary order, interleaved
// with sends, reads, the passing of time and its close, through the worker's own
// handling (no worker thread: the target drives it). After every step the
// rings' rules hold, every datagram the client sent is well formed for the
// parameters in force, every number it acknowledged belongs to a packet the
// peer sent and it stored, every data packet it sent carries the writer's
// bytes at their place in the stream (a resending the same bytes), a keep-alive
// goes out exactly when the stream has been quiet for its time, and every byte
// read is the next byte of the peer's stream. At the end, a stream still up is
// given the peer's next packets as a lossless path would carry them, with the
// reader pausing first, and must hand out every byte of them.
//
// The peer's data packets carry payloads that follow from their sequence
// number alone (length and bytes), so whatever the client chose to keep, the
// bytes it hands out must run on from packet 0 without a gap or a repeat. Raw
// datagrams that happen to be data packets are not delivered, for the same
// reason; everything else about them is arbitrary.
//
// Input layout: byte 0 picks the parameter block the client starts from (low
// bits), and whether its clock (0x80) and both rings' sequence numbers (0x40)
// start just short of their wraps (byte 1 says how far); then steps, each an
// operation byte followed by its arguments (see the switch).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "remote/relaypacket.h"
#include "remote/ringbuffer.h"
#include "remote/rudpclient.h"
#include "util/qvsocket.h"
#include "util/qvtypes.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define FUZZ_RUDP_ASAN 1
#endif
#endif
#ifndef FUZZ_RUDP_ASAN
#define ASAN_POISON_MEMORY_REGION(a, n) ((void)(a), (void)(n))
#define ASAN_UNPOISON_MEMORY_REGION(a, n) ((void)(a), (void)(n))
#endif

namespace
{

// The peer's payload for a sequence number: its length (1 to max) and bytes.
int PeerLength(uint16_t seq, uint32_t maxPayload)
{
    return 1 + (int)((seq * 2654435761u >> 7) % maxPayload);
}
uint8_t PeerByte(uint16_t seq, int index)
{
    return (uint8_t)(seq * 31 + index * 7 + (seq >> 8));
}

// Our own writer's bytes: a pattern of the stream position, unlike the peer's.
uint8_t OurByte(uint32_t offset)
{
    return (uint8_t)(offset * 131 + (offset >> 9) + 7);
}

class FuzzClient : public CRUDPClient
{
  public:
    FuzzClient(QVSOCKET s, const QVSockAddr& peer, const TransferParams& initial, uint32_t now)
        : CRUDPClient(s, peer, initial), m_dwNow(now), m_bFail(false)
    {
    }
    ~FuzzClient() override { Close(); }
    uint32_t m_dwNow;
    bool m_bFail;
    struct Sent {
        std::vector<uint8_t> bytes;
        uint32_t at; // the clock when it went
    };
    std::vector<Sent> m_Sent;
    using CRUDPClient::IsWindowShut;

  protected:
    uint32_t Now() override { return m_dwNow; }
    void Pause(uint32_t ms) override { m_dwNow += ms; }
    bool SendOnWire(const uint8_t* data, int length) override
    {
        if (m_Sent.size() < 4096) m_Sent.push_back(Sent{std::vector<uint8_t>(data, data + length), m_dwNow});
        return !m_bFail;
    }
};

// Ring areas kept from one input for the next. Under the address sanitizer an
// area above 128 KB (the initial block's already is) is mapped and unmapped
// for every ring, its pages faulted in one by one: that cost more than the rest
// of an input together. A kept area stays poisoned while it waits, so a use of a
// ring that is gone is still caught, its redzones stay as the heap made them,
// and it comes back zeroed as calloc would give it. Smaller areas come from the
// sanitizer's size classes, which cost little, and are not kept.
const size_t kKeepFrom = 64 * 1024;
struct KeptArea {
    void* area;
    size_t bytes;
};
KeptArea g_aKept[16]; // oldest first
size_t g_nKept = 0;

void* TakeArea(size_t bytes)
{
    for (size_t i = g_nKept; i-- > 0;) {
        if (g_aKept[i].bytes != bytes) continue;
        void* area = g_aKept[i].area;
        memmove(&g_aKept[i], &g_aKept[i + 1], (g_nKept - i - 1) * sizeof(KeptArea));
        g_nKept--;
        ASAN_UNPOISON_MEMORY_REGION(area, bytes);
        memset(area, 0, bytes);
        return area;
    }
    return calloc(bytes, 1);
}

void GiveArea(void* area, size_t bytes)
{
    if (bytes < kKeepFrom) {
        free(area);
        return;
    }
    if (g_nKept == sizeof(g_aKept) / sizeof(g_aKept[0])) {
        ASAN_UNPOISON_MEMORY_REGION(g_aKept[0].area, g_aKept[0].bytes);
        free(g_aKept[0].area);
        memmove(&g_aKept[0], &g_aKept[1], (g_nKept - 1) * sizeof(KeptArea));
        g_nKept--;
    }
    ASAN_POISON_MEMORY_REGION(area, bytes);
    g_aKept[g_nKept++] = KeptArea{area, bytes};
}

const RingAreaSource kKeptAreas = {TakeArea, GiveArea};

} // namespace

#if defined(QV_FUZZ_UNDER_LIBFUZZER) && defined(FUZZ_RUDP_ASAN)
// A quarantine of 32 MB still holds everything an input frees (a few MB at
// most), so a use after free within the input is caught as before; the default
// of 256 MB kept every allocation on pages long gone cold, faulted in afresh.
extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=32";
}
#endif

namespace
{

// Every block's code runs on rings of a few hundred slots as on rings of 2048
// (the bounds themselves are the ring's unit tests'); larger ones would only
// make each input slower to set up.
const TransferParams kBlocks[] = {
    STUN_PARAMS_INITIAL,          // the block both ends start from
    {1390, 24, 8, 128, 127, 130}, // the proposed block's marks and payload
    {64, 4, 1, 30, 8, 32},        // tiny ring: wraps and a full window within a few steps
    {3, 0, 0, 0, 0, 32},          // stop and wait, one payload byte beside an acknowledgement
    {2044, 24, 8, 40, 30, 48},    // the largest payload
};
const size_t kBlockCount = sizeof(kBlocks) / sizeof(kBlocks[0]);

// What the target knows of one epoch of the stream (from the start, or from the
// last parameter block taken).
struct Model {
    explicit Model(uint16_t first = 0) : readSeq(first), txNext(first), txBase(first) {}
    uint16_t readSeq; // the peer's packet whose bytes come next
    int readOffset = 0;
    std::vector<bool> delivered =
        std::vector<bool>(65536, false); // the peer's whole packets given to the client
    // Our own packets: the next new number, the stream position of its first
    // byte, and where each packet still in the send ring began.
    uint16_t txNext;
    uint16_t txBase; // what the peer's acknowledgements aim near
    uint32_t txOffset = 0;
    uint32_t written = 0; // bytes the writer has handed over
    struct OurPacket {
        int32_t seq = -1;
        uint32_t offset = 0;
        int length = 0;
    };
    std::vector<OurPacket> ours = std::vector<OurPacket>(RING_MAX_SLOTS);
    std::vector<uint16_t> ourUnacked; // first sendings, for the lossless end to acknowledge
};

// Across epochs: the keep-alive's clock and what the end of the input expects.
struct Watch {
    bool armed = false; // the keep-alive has begun to count
    uint32_t lastSent = 0;
    bool closed = false; // Close has run: nothing after its BYEs
    bool byesDone = false;
    int params = 0; // PARAMS_ACK answers seen in the step
    int byes = 0;   // BYEs seen in the step
};

void CheckAck(FuzzClient& c, const Model& m, uint16_t seq)
{
    FUZZ_CHECK(m.delivered[seq]);
    FUZZ_CHECK(c.WasStored(seq));
}

void CheckOurData(Model& m, const TransferParams& p, const StunDataPacket& packet, uint8_t type)
{
    Model::OurPacket& slot = m.ours[packet.wSequence % p.Slots];
    uint32_t offset;
    if (packet.wSequence == m.txNext) { // a first sending: the next bytes of the stream
        offset = m.txOffset;
        slot.seq = packet.wSequence;
        slot.offset = offset;
        slot.length = packet.nPayload;
        m.txOffset += (uint32_t)packet.nPayload;
        m.txNext = (uint16_t)((m.txNext + 1) % StunSequenceModulus(p.Slots));
        m.txBase = packet.wSequence;
        if (m.ourUnacked.size() < 4096) m.ourUnacked.push_back(packet.wSequence);
        FUZZ_CHECK(m.txOffset <= m.written);
    } else { // a resending: what went the first time, and never the acknowledgement it carried
        FUZZ_CHECK(type == STUN_TX_PACKET);
        FUZZ_CHECK(slot.seq == packet.wSequence && slot.length == packet.nPayload);
        offset = slot.offset;
    }
    for (int i = 0; i < packet.nPayload; i++)
        FUZZ_CHECK(packet.pPayload[i] == OurByte(offset + (uint32_t)i));
}

void CheckSent(FuzzClient& c, Model& m, Watch& w, const TransferParams& p)
{
    w.params = w.byes = 0;
    for (const FuzzClient::Sent& sent : c.m_Sent) {
        const std::vector<uint8_t>& d = sent.bytes;
        FUZZ_CHECK(!d.empty());
        FUZZ_CHECK(!w.byesDone);
        const int n = (int)d.size();
        switch (d[0]) {
        case STUN_TX_PACKET:
        case STUN_TX_PACKET_ACK: {
            StunDataPacket packet;
            FUZZ_CHECK(ParseDataPacket(d.data(), n, p.MaxPayload, &packet));
            CheckOurData(m, p, packet, d[0]);
            if (d[0] == STUN_TX_PACKET_ACK) CheckAck(c, m, packet.wAck);
            break;
        }
        case STUN_RX_ACK:
            FUZZ_CHECK(n >= 3 && n <= STUN_RX_ACK_LENGTH_MAX && (n & 1) == 1);
            for (int i = 1; i + 1 < n; i += 2)
                CheckAck(c, m, GetLE16(&d[(size_t)i]));
            break;
        case STUN_NO_OP: // the keep-alive: only after the stream has been quiet for its time
            FUZZ_CHECK(n == 1);
            FUZZ_CHECK(w.armed && (int32_t)(sent.at - w.lastSent) >= (int32_t)RUDP_KEEPALIVE_MS);
            break;
        case STUN_BYE:
            FUZZ_CHECK(n == 1);
            w.byes++;
            break;
        case STUN_PARAMS_ACK:
            FUZZ_CHECK(n == 1);
            w.params++;
            break;
        case STUN_HELLO_ACK:
            FUZZ_CHECK(n == 1);
            break;
        default:
            FUZZ_CHECK(!"a datagram of a type the client never sends");
        }
        w.lastSent = sent.at;
    }
    c.m_Sent.clear();
    if (w.closed) w.byesDone = true;
}

// The worker's pass. The keep-alive counts from the first pass of an open
// stream; once the stream has been quiet for its time, the pass says something.
void Pass(FuzzClient& c, Watch& w, bool idle)
{
    const bool counting = c.IsUp() && !c.PeerHasLeft() && c.GetPolicy() == RUDP_POLICY_OWN;
    const bool due = counting && w.armed && (int32_t)(c.m_dwNow - w.lastSent) >= (int32_t)RUDP_KEEPALIVE_MS;
    if (counting && !w.armed) {
        w.armed = true;
        w.lastSent = c.m_dwNow;
    }
    const size_t before = c.m_Sent.size();
    c.ServiceTimers(idle);
    FUZZ_CHECK(!due || c.m_Sent.size() > before);
}

void Deliver(FuzzClient& c, const std::vector<uint8_t>& d)
{
    // A buffer of exactly the datagram's size: a read past it is caught.
    std::vector<uint8_t> copy(d);
    c.HandleDatagram(copy.empty() ? nullptr : copy.data(), (int)copy.size());
}

std::vector<uint8_t> PeerPacket(uint16_t seq, int length, uint16_t ack)
{
    std::vector<uint8_t> payload((size_t)length), out((size_t)length + 5);
    for (int i = 0; i < length; i++)
        payload[(size_t)i] = PeerByte(seq, i);
    int n = BuildDataPacket(out.data(), (int)out.size(), seq, payload.data(), length, ack);
    out.resize(n > 0 ? (size_t)n : 0);
    return out;
}

void CheckRead(Model& m, const uint8_t* data, int n, uint32_t maxPayload, uint16_t modulus)
{
    for (int i = 0; i < n; i++) {
        FUZZ_CHECK(data[i] == PeerByte(m.readSeq, m.readOffset));
        if (++m.readOffset == PeerLength(m.readSeq, maxPayload)) {
            m.readOffset = 0;
            m.readSeq = (uint16_t)((m.readSeq + 1) % modulus);
        }
    }
}

void ReadAll(FuzzClient& c, Model& m, const TransferParams& p)
{
    uint8_t out[4096];
    int n;
    while ((n = c.Receive(out, (int)sizeof(out))) > 0)
        CheckRead(m, out, n, p.MaxPayload, (uint16_t)StunSequenceModulus(p.Slots));
}

// A lossless path from here on: the peer sends the next two rings' worth of its
// stream, a window at a time, again and again until each is acknowledged, and
// acknowledges ours; the reader stays away long enough for the ring to fill,
// then reads. Every one of those bytes must come out.
void LosslessEnd(FuzzClient& c, Model& m, Watch& w, const TransferParams& p)
{
    c.m_bFail = false;
    const uint32_t modulus = StunSequenceModulus(p.Slots);
    const uint32_t window = p.HighUnacked + 1 < p.Slots ? p.HighUnacked + 1 : p.Slots;
    const uint32_t total = 2 * p.Slots;
    const uint16_t first = m.readSeq;
    std::vector<bool> acked(total, false);
    const uint32_t pause = p.Slots / window + 2;
    std::vector<uint16_t> ack;
    for (uint32_t round = 0; round < 4 * total + 64; round++) {
        const uint32_t done = (m.readSeq + modulus - first) % modulus;
        if (done >= total) break;
        // Ours, acknowledged (eight to a list).
        for (size_t i = 0; i < m.ourUnacked.size(); i += STUN_RX_ACK_MAX) {
            std::vector<uint8_t> list(1, STUN_RX_ACK);
            for (size_t k = i; k < m.ourUnacked.size() && k < i + STUN_RX_ACK_MAX; k++) {
                list.resize(list.size() + 2);
                PutLE16(&list[list.size() - 2], m.ourUnacked[k]);
            }
            Deliver(c, list);
        }
        m.ourUnacked.clear();
        // The peer's window: from the first it has no acknowledgement for.
        uint32_t base = 0;
        while (base < total && acked[base])
            base++;
        for (uint32_t i = base; i < total && i < base + window; i++) {
            if (acked[i]) continue;
            const uint16_t seq = (uint16_t)((first + i) % modulus);
            m.delivered[seq] = true;
            Deliver(c, PeerPacket(seq, PeerLength(seq, p.MaxPayload), STUN_NO_ACK));
        }
        if (round >= pause) ReadAll(c, m, p);
        c.m_dwNow += 30;
        Pass(c, w, true);
        for (const FuzzClient::Sent& sent : c.m_Sent) {
            const std::vector<uint8_t>& d = sent.bytes;
            if (d.empty() || d[0] != STUN_RX_ACK) continue;
            for (size_t i = 1; i + 1 < d.size(); i += 2) {
                const uint32_t at = (GetLE16(&d[i]) + modulus - first) % modulus;
                if (at < total) acked[at] = true;
            }
        }
        CheckSent(c, m, w, p);
        const char* why = c.CheckInvariants();
        if (why) fprintf(stderr, "lossless end, round %u: %s\n", round, why);
        FUZZ_CHECK(why == nullptr);
        FUZZ_CHECK(c.IsUp());
    }
    FUZZ_CHECK((m.readSeq + modulus - first) % modulus >= total);
}

} // namespace

extern "C" int QV_FUZZ_ENTRY(const uint8_t* data, size_t size)
{
    static const bool started = SocketStartup();
    (void)started;
#ifdef QV_FUZZ_UNDER_LIBFUZZER
    // Only here: the replay test shares its process with other tests' rings.
    static const bool kept = (SetRingAreaSource(&kKeptAreas), true);
    (void)kept;
#endif
    if (size < 1) return 0;
    qvfuzz::Reader in(data, size);

    // A socket only so that the client counts as open; it never carries a datagram.
    QVSOCKET s = SocketUdp();
    if (s == QV_INVALID_SOCKET) return 0;
    // The client starts from a block as if its peer had proposed it (a proposal
    // rebuilds the rings, and rings built twice cost more than the rest of most
    // inputs); op 7 proposes blocks.
    const uint8_t start = in.Byte();
    const TransferParams block = ClampWaterMarks(kBlocks[(start & 0x3F) % kBlockCount]);
    const uint8_t shortOfWrap = (start & 0xC0) ? in.Byte() : 0;
    const uint32_t clock = start & 0x80 ? 0u - 1000u - shortOfWrap * 97u : 1000u;
    FuzzClient c(s, MakeSockAddr(LoopbackAddress(), 9), block, clock);
    TransferParams p = c.GetParams();
    FUZZ_CHECK(SameTransferParams(p, block) && IsUsableTransferParams(p));
    uint16_t first = 0;
    if (start & 0x40) {
        first = (uint16_t)(StunSequenceModulus(p.Slots) - 1 - shortOfWrap % 64);
        c.StartSequencesAt(first);
    }
    Model m(first);
    Watch w;

    std::vector<uint8_t> proposal(STUN_PARAMS_LENGTH);
    std::vector<uint8_t> buf;
    for (int step = 0; step < 4000 && in.Left() > 0; step++) {
        const uint16_t modulus = (uint16_t)StunSequenceModulus(p.Slots);
        const uint8_t op = in.Byte();
        switch (op % 10) {
        case 0: { // arbitrary datagram, but not data
            std::vector<uint8_t> d = in.Bytes(op & 0x80 ? in.Word() % 2100 : in.Byte());
            if (!d.empty() && (d[0] == STUN_TX_PACKET || d[0] == STUN_TX_PACKET_ACK)) break;
            // A block proposed this way rebuilds the rings as op 7 does; the model
            // follows op 7's, so this one carries no block.
            if (!d.empty() && d[0] == STUN_PARAMS) break;
            Deliver(c, d);
            break;
        }
        case 1: { // the peer's data near the sequence expected, or far off
            const uint8_t how = in.Byte();
            uint16_t seq = (uint16_t)((m.readSeq + in.Byte() + (how & 0x40 ? in.Word() : 0)) % 65536);
            if (how & 0x80) seq = (uint16_t)in.Word();
            int length = PeerLength(seq, p.MaxPayload);
            const bool whole = !(how & 0x20);
            if (!whole) length = (int)p.MaxPayload + 1 + (in.Byte() % 8); // never fits a slot
            const bool withAck = how & 0x10;
            buf = PeerPacket(seq, length, withAck ? (uint16_t)(m.txBase + in.Byte()) : STUN_NO_ACK);
            if (buf.empty()) break;
            // Cut short: too short to carry a payload (a longer cut would be another
            // valid packet, with bytes the peer never meant for this number).
            if (how & 0x08)
                buf.resize(in.Byte() % (withAck ? 6u : 4u));
            else if (whole)
                m.delivered[seq] = true;
            Deliver(c, buf);
            break;
        }
        case 2: { // acknowledgements of our own packets, some stray
            const int count = in.Byte() % 10;
            buf.assign(1 + 2 * (size_t)count + (op & 0x80 ? 1 : 0), 0);
            buf[0] = STUN_RX_ACK;
            for (int i = 0; i < count; i++)
                PutLE16(&buf[1 + 2 * (size_t)i], (uint16_t)(m.txBase + in.Byte() - 8));
            Deliver(c, buf);
            break;
        }
        case 3: { // the reader
            std::vector<uint8_t> out((size_t)(in.Byte() * 13 + 1));
            int n = c.Receive(out.data(), (int)out.size());
            FUZZ_CHECK(n >= 0 && n <= (int)out.size());
            FUZZ_CHECK(!w.closed || n == 0);
            CheckRead(m, out.data(), n, p.MaxPayload, modulus);
            break;
        }
        case 4: { // the writer, one packet's worth so that it never waits for the window
            if (c.IsWindowShut() || !c.IsUp()) break;
            std::vector<uint8_t> bytes(1 + in.Byte() % (p.MaxPayload - 2));
            for (size_t i = 0; i < bytes.size(); i++)
                bytes[i] = OurByte(m.written + (uint32_t)i);
            const bool ok = c.Send(bytes.data(), (int)bytes.size());
            FUZZ_CHECK(ok || c.m_bFail || c.PeerHasLeft());
            // A send that failed may have taken some of them, and nothing is sent after it.
            if (ok || c.GetState() != CLIENT_UP) m.written += (uint32_t)bytes.size();
            break;
        }
        case 5: // time passes; the worker's pass with or without a datagram
            c.m_dwNow += in.Byte() * (op & 0x80 ? 97u : 3u);
            Pass(c, w, (op & 0x40) != 0);
            break;
        case 6:
            c.m_bFail = !c.m_bFail;
            break;
        case 7: { // a parameter proposal from the peer
            TransferParams q = kBlocks[in.Byte() % kBlockCount];
            if (op & 0x80) {
                q.MaxPayload = in.Word();
                // Below the least, within the bounds at sizes that cost little, or above the most.
                const uint32_t w32 = in.Word();
                q.Slots = w32 & 0x8000 ? RING_MAX_SLOTS + 1 + (w32 >> 16) % 3000 : w32 % 300;
                q.HighQueued = in.Word() % 3000;
            }
            CheckSent(c, m, w, p);
            const bool wasUp = c.IsUp() && !c.PeerHasLeft();
            BuildParams(proposal.data(), q);
            Deliver(c, proposal);
            const TransferParams now = c.GetParams();
            CheckSent(c, m, w, p);
            if (!wasUp) {
                FUZZ_CHECK(w.params == 0 && SameTransferParams(now, p));
            } else if (w.params) {
                // Taken, with its water marks clamped to what the rings can use; both
                // directions start again from 0.
                FUZZ_CHECK(w.params == 1 && w.byes == 0);
                FUZZ_CHECK(SameTransferParams(now, ClampWaterMarks(q)) && IsUsableTransferParams(now));
                m = Model();
                p = now;
            } else {
                // Not taken: the stream ends, and says so.
                FUZZ_CHECK(w.byes == 1 && c.GetState() == CLIENT_RECEIVE_FAILED &&
                           SameTransferParams(now, p));
            }
            break;
        }
        case 8: // a wake-up of the reader always has something behind it
            if (c.WaitReadable(0) && c.IsUp()) {
                uint8_t one;
                FUZZ_CHECK(c.Receive(&one, 1) == 1);
                CheckRead(m, &one, 1, p.MaxPayload, modulus);
            }
            break;
        case 9: // our own orderly close: BYE, then nothing more
            if (op & 0x80) {
                c.Close();
                w.closed = true;
                FUZZ_CHECK(!c.IsUp() && !c.Send("x", 1) && c.WaitReadable(0));
            }
            break;
        }
        const char* why = c.CheckInvariants();
        if (why) fprintf(stderr, "after step %d (op %d): %s\n", step, op % 10, why);
        FUZZ_CHECK(why == nullptr);
        CheckSent(c, m, w, p);
    }
    if (c.IsUp() && !c.PeerHasLeft()) LosslessEnd(c, m, w, p);
    c.m_bFail = true; // the closing BYE goes nowhere
    return 0;
}
