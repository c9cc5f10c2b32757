// The reliable stream fed arbitrary datagrams in arbitrary order, interleaved
// with sends, reads and the passing of time, through the worker's own handling
// (no worker thread: the target drives it). After every step the rings' rules
// hold, every datagram the client sent is well formed for the parameters in
// force, and every byte read is the next byte of the peer's stream.
//
// The peer's data packets carry payloads that follow from their sequence
// number alone (length and bytes), so whatever the client chose to keep, the
// bytes it hands out must run on from packet 0 without a gap or a repeat. Raw
// datagrams that happen to be data packets are not delivered, for the same
// reason; everything else about them is arbitrary.
//
// Input layout: byte 0 picks the parameter block the peer proposes first; then
// steps, each an operation byte followed by its arguments (see Step).
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

class FuzzClient : public CRUDPClient
{
  public:
    FuzzClient(QVSOCKET s, const QVSockAddr& peer, const TransferParams& initial)
        : CRUDPClient(s, peer, initial), m_dwNow(1000), m_bFail(false)
    {
    }
    ~FuzzClient() override { Close(); }
    uint32_t m_dwNow;
    bool m_bFail;
    std::vector<std::vector<uint8_t>> m_Sent;
    using CRUDPClient::IsWindowShut;

  protected:
    uint32_t Now() override { return m_dwNow; }
    void Pause(uint32_t ms) override { m_dwNow += ms; }
    bool SendOnWire(const uint8_t* data, int length) override
    {
        if (m_Sent.size() < 64) m_Sent.push_back(std::vector<uint8_t>(data, data + length));
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
    STUN_PARAMS_INITIAL,          // also the block the client starts from
    {1390, 24, 8, 128, 127, 130}, // the proposed block's marks and payload
    {64, 4, 1, 30, 8, 32},        // tiny ring: wraps and a full window within a few steps
    {3, 0, 0, 0, 0, 32},          // stop and wait, one payload byte beside an acknowledgement
    {2044, 24, 8, 40, 30, 48},    // the largest payload
};

struct Model {
    uint16_t readSeq = 0; // the packet whose bytes come next
    int readOffset = 0;
    uint16_t txBase = 0; // what our own acknowledgements aim near
};

void CheckSent(FuzzClient& c, const TransferParams& p)
{
    for (const std::vector<uint8_t>& d : c.m_Sent) {
        FUZZ_CHECK(!d.empty());
        const int n = (int)d.size();
        switch (d[0]) {
        case STUN_TX_PACKET:
        case STUN_TX_PACKET_ACK: {
            StunDataPacket packet;
            FUZZ_CHECK(ParseDataPacket(d.data(), n, p.MaxPayload, &packet));
            break;
        }
        case STUN_RX_ACK:
            FUZZ_CHECK(n >= 3 && n <= STUN_RX_ACK_LENGTH_MAX && (n & 1) == 1);
            break;
        case STUN_HELLO_ACK:
        case STUN_PARAMS_ACK:
        case STUN_BYE:
        case STUN_NO_OP: // the keep-alive of an idle stream
            FUZZ_CHECK(n == 1);
            break;
        default:
            FUZZ_CHECK(!"a datagram of a type the client never sends");
        }
    }
    c.m_Sent.clear();
}

void Deliver(FuzzClient& c, const std::vector<uint8_t>& d)
{
    // A buffer of exactly the datagram's size: a read past it is caught.
    std::vector<uint8_t> copy(d);
    c.HandleDatagram(copy.empty() ? nullptr : copy.data(), (int)copy.size());
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
    // The client starts from the block its peer proposes first (the proposal
    // then finds it in force, as a repeated one does): rings of the initial
    // block, built and dropped at once, cost more than the rest of most inputs.
    // A change of block is still every input's op 7.
    TransferParams block = kBlocks[in.Byte() % (sizeof(kBlocks) / sizeof(kBlocks[0]))];
    FuzzClient c(s, MakeSockAddr(LoopbackAddress(), 9), ClampWaterMarks(block));
    Model m;

    std::vector<uint8_t> proposal(STUN_PARAMS_LENGTH);
    BuildParams(proposal.data(), block);
    Deliver(c, proposal);
    TransferParams p = c.GetParams();
    FUZZ_CHECK(IsUsableTransferParams(p));

    std::vector<uint8_t> buf;
    for (int step = 0; step < 4000 && in.Left() > 0; step++) {
        const uint16_t modulus = (uint16_t)StunSequenceModulus(p.Slots);
        const uint8_t op = in.Byte();
        switch (op % 9) {
        case 0: { // arbitrary datagram, but not data
            std::vector<uint8_t> d = in.Bytes(op & 0x80 ? in.Word() % 2100 : in.Byte());
            if (!d.empty() && (d[0] == STUN_TX_PACKET || d[0] == STUN_TX_PACKET_ACK)) break;
            Deliver(c, d);
            break;
        }
        case 1: { // the peer's data near the sequence expected, or far off
            const uint8_t how = in.Byte();
            uint16_t seq = (uint16_t)((m.readSeq + in.Byte() + (how & 0x40 ? in.Word() : 0)) % 65536);
            if (how & 0x80) seq = (uint16_t)in.Word();
            int length = PeerLength(seq, p.MaxPayload);
            if (how & 0x20) length = (int)p.MaxPayload + 1 + (in.Byte() % 8); // never fits a slot
            const bool withAck = how & 0x10;
            std::vector<uint8_t> payload((size_t)length);
            for (int i = 0; i < length; i++)
                payload[(size_t)i] = PeerByte(seq, i);
            buf.assign((size_t)length + 5, 0);
            int n = BuildDataPacket(buf.data(), (int)buf.size(), seq, payload.data(), length,
                                    withAck ? (uint16_t)(m.txBase + in.Byte()) : STUN_NO_ACK);
            if (n > 0) {
                buf.resize((size_t)n);
                // Cut short: too short to carry a payload (a longer cut would be another
                // valid packet, with bytes the peer never meant for this number).
                if (how & 0x08) buf.resize(in.Byte() % (withAck ? 6u : 4u));
                Deliver(c, buf);
            }
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
            CheckRead(m, out.data(), n, p.MaxPayload, modulus);
            break;
        }
        case 4: { // the writer, one packet's worth so that it never waits for the window
            if (c.IsWindowShut() || !c.IsUp()) break;
            std::vector<uint8_t> bytes(1 + in.Byte() % (p.MaxPayload - 2));
            const uint32_t before = (uint32_t)c.m_Sent.size();
            bool ok = c.Send(bytes.data(), (int)bytes.size());
            FUZZ_CHECK(ok || c.m_bFail);
            for (size_t i = before; i < c.m_Sent.size(); i++) {
                const std::vector<uint8_t>& d = c.m_Sent[i];
                if (d[0] == STUN_TX_PACKET || d[0] == STUN_TX_PACKET_ACK) m.txBase = GetLE16(&d[1]);
            }
            break;
        }
        case 5: // time passes; the worker's pass with or without a datagram
            c.m_dwNow += in.Byte() * (op & 0x80 ? 97u : 3u);
            c.ServiceTimers((op & 0x40) != 0);
            break;
        case 6:
            c.m_bFail = !c.m_bFail;
            break;
        case 7: { // a parameter proposal from the peer
            TransferParams q = kBlocks[in.Byte() % (sizeof(kBlocks) / sizeof(kBlocks[0]))];
            if (op & 0x80) {
                q.MaxPayload = in.Word();
                // Below the least, within the bounds at sizes that cost little, or above the most.
                const uint32_t w = in.Word();
                q.Slots = w & 0x8000 ? RING_MAX_SLOTS + 1 + (w >> 16) % 3000 : w % 300;
                q.HighQueued = in.Word() % 3000;
            }
            BuildParams(proposal.data(), q);
            Deliver(c, proposal);
            TransferParams now = c.GetParams();
            if (!SameTransferParams(now, p)) {
                // Taken with its water marks clamped to what the rings can use.
                FUZZ_CHECK(SameTransferParams(now, ClampWaterMarks(q)) && IsUsableTransferParams(now));
                m = Model(); // new rings: both directions start again from 0
                p = now;
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
        }
        const char* why = c.CheckInvariants();
        if (why) fprintf(stderr, "after step %d (op %d): %s\n", step, op % 9, why);
        FUZZ_CHECK(why == nullptr);
        CheckSent(c, p);
    }
    c.m_bFail = true; // the closing BYE goes nowhere
    return 0;
}
