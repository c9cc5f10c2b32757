// The slot ring of the reliable datagram stream. One class serves both
// directions: the send ring keeps each packet, as it went on the wire, until the
// peer acknowledges it and resends it when it is due; the receive ring holds
// arriving packets in the slot of their sequence number until they can be read in
// order.
//
// The ring takes no lock of its own: its owner guards it (the reliable client
// keeps its send ring under the acknowledgement lock and its receive ring under
// the receive lock) and passes in the time, so the ring never reads a clock.
#pragma once
#include <cstddef>
#include <cstdint>

#include "relaypacket.h"

// What a parameter block may ask for. A block outside these bounds is refused as
// a whole: a slot count of 0 has no ring, a huge one would allocate without
// bound, a payload that does not fit the 2048-byte receive buffer with room to
// spare could not be told from a datagram the receive cut short, and a window
// that closes only after the ring is full would let the writer overrun it.
const uint32_t RING_MIN_SLOTS = 32;   // room for the controller's window of 24 with some to spare
const uint32_t RING_MAX_SLOTS = 2048; // two rings of at most 4 MB each
const uint32_t RING_MIN_PAYLOAD = 3;  // a packet carrying an acknowledgement still has a payload byte
const uint32_t RING_MAX_PAYLOAD = STUN_LARGE_RECEIVE - STUN_DATA_HEADER - 1;

// Whether a block is usable, and if not, why (a short text for traces and tests).
bool IsUsableTransferParams(const TransferParams& params, const char** why = nullptr);
bool SameTransferParams(const TransferParams& a, const TransferParams& b);
// The block with its water marks brought within what a ring of its slots can
// work with (a low mark at most its high one, the queued high mark leaving
// room in the ring); payload and slots unchanged.
TransferParams ClampWaterMarks(const TransferParams& params);

// The rule checkers run after every step of a fuzz input and walk every slot;
// their own branches are no coverage worth a fuzzer's chase, and instrumented
// they took a quarter of its time.
#if defined(__clang__)
#define RING_CHECKER __attribute__((no_sanitize("coverage")))
#else
#define RING_CHECKER
#endif

// Where rings get their packet areas: zeroed memory of a size, given back with
// that size. The C heap unless a harness that builds rings by the thousand a
// second keeps areas for reuse. Set it before any ring exists and change it only
// while none does (nullptr: the C heap again); no lock guards it.
struct RingAreaSource {
    void* (*Take)(size_t bytes);
    void (*Give)(void* area, size_t bytes);
};
void SetRingAreaSource(const RingAreaSource* source);

// How an end recovers from loss and acknowledges what it receives. The
// controller's own policy is kept so that the controller-side simulator behaves
// like a controller, and so that the benchmark measures both on the same path.
enum RudpPolicy {
    RUDP_POLICY_CONTROLLER = 0, // the controller's: fixed time-outs, acknowledgements sent once
    RUDP_POLICY_OWN = 1, // ours: selective acknowledgement, measured time-outs, repeated acknowledgements
};

enum SlotState : uint8_t {
    SLOT_FREE = 0,
    SLOT_SENT = 1,        // sent once, not acknowledged
    SLOT_RESENT = 2,      // sent again because its time-out passed (or its early deadline)
    SLOT_FAST_RESENT = 3, // sent again early, because packets sent after it came back first
    SLOT_ACKED = 4,
    SLOT_RECEIVED = 5, // receive ring: holds a packet
};

struct RingSlot {
    uint8_t* pBuffer; // MaxPayload + 4 bytes: type, u16 sequence, payload (as on the wire)
    uint16_t nReadOffset;
    uint16_t nLength; // payload bytes
    uint16_t nTransmissions;
    uint16_t wSeqMark;        // the ring's next sequence number when this slot was last resent
    uint32_t dwStamp;         // our policy: the ring's transmission count at its last sending
    uint32_t dwFirstStamp;    // ...and at its first: any sending of it went out no earlier
    uint32_t dwSendTime;      // tick of the last sending
    uint32_t dwEarlyDeadline; // resend after this tick even before the time-out; 0: none
    SlotState state;
};

// Where the send ring's packets go. True only when the whole datagram went out.
class CDatagramOut
{
  public:
    virtual ~CDatagramOut() {}
    virtual bool SendDatagram(const uint8_t* data, int length) = 0;
};

// What the receive ring made of an arriving packet.
enum StoreResult {
    STORE_KEPT,    // stored in its slot; acknowledge it
    STORE_AGAIN,   // already here or already read: acknowledge it again, the first one was lost
    STORE_DROPPED, // outside the window, or its slot is taken: not acknowledged, the peer resends
    STORE_HELD,    // fits only once the reader has made room: held aside, acknowledged when stored
};

// Packets held aside while the reader is behind: the peer's whole window of
// unacknowledged packets and some to spare, so that none of them has to wait for
// the peer's resend time-out (which grows with every sending) once the reader
// goes on.
uint32_t RingHeldCapacity(const TransferParams& params);

// Round-trip samples kept for the resend time-out.
const int RING_RTT_SAMPLES = 16;
const uint32_t RING_RTT_INITIAL = 1000;
// A packet is given up after this many transmissions.
const uint16_t RING_MAX_TRANSMISSIONS = 11;

// Our own recovery. The resend time-out follows the measured round trip:
// smoothed round trip, four times its variation, and the peer's acknowledgement
// hold, never below the floor. Each further transmission doubles a packet's
// time-out up to the ceiling, so a dead path still takes its 11 transmissions
// (some 25 s) to be given up.
const uint32_t RING_MIN_RTO = 100;
const uint32_t RING_MAX_RTO = 5000;
// The controller's receiver holds an acknowledgement until eight share a list
// or its worker has waited 25 ms for a datagram. Few are held, so the
// variation soon forgets them, and a time-out without the hold resent a held
// packet every few round trips (on a lossless 100 ms path that cost 7% of the
// window). 15 ms of it are for the peer's worker to be scheduled.
const uint32_t RING_PEER_ACK_HOLD = 40;
// A packet is taken as lost when one sent this many transmissions after it has
// been acknowledged (datagrams that pass each other on the path are not losses)...
const uint32_t RING_REORDER_PACKETS = 3;
// ...or when any one sent after it has, and it has been out for a round trip
// and a quarter (a loss near the end of a burst has few packets after it). The
// same rule runs on the timer, a round trip and a quarter after the last
// acknowledgement, for the loss after which no acknowledgement comes at all.
// A tail with nothing acknowledged after it is probed once that long plus the
// peer's hold has passed without an acknowledgement: its newest packet is sent
// again, and the acknowledgement it draws shows the holes before it.

class CRingBuffer
{
  public:
    // The block must be usable (IsUsableTransferParams). IsValid() is false when
    // the slots could not be allocated. A receive ring may hold up to held
    // packets aside while its reader is behind (RingHeldCapacity).
    explicit CRingBuffer(const TransferParams& params, uint32_t held = 0);
    virtual ~CRingBuffer();
    bool IsValid() const { return m_pData != nullptr; }

    const TransferParams& Params() const { return m_Params; }
    void SetPolicy(RudpPolicy policy) { m_ePolicy = policy; }
    RudpPolicy Policy() const { return m_ePolicy; }
    uint32_t Head() const { return m_nHead; }
    uint32_t Tail() const { return m_nTail; }
    uint16_t NextSequence() const { return m_wNextSeq; }
    uint16_t Modulus() const { return m_wModulus; }
    const RingSlot& Slot(uint32_t index) const { return m_pSlots[index]; }

    uint32_t Queued() const { return (m_nTail + m_Params.Slots - m_nHead) % m_Params.Slots; }
    uint32_t Unacked() const { return m_nUnacked; }
    uint32_t FreeSlots() const { return m_Params.Slots - Queued(); }
    bool IsFull() const;
    bool IsAboveLowWater() const;
    bool HasData() const { return m_nHead != m_nTail; }
    // Whether any slot holds a packet (the receive ring's early arrivals and held
    // packets included).
    bool HoldsAnything() const;
    // Receive ring: whether a packet is missing before one that arrived (stored
    // early, or held aside with a number missing between it and the readable part).
    bool HasGap() const;
    uint32_t Held() const { return m_nHeld; }
    // Receive ring: whether this number was stored (it is in the ring, or the
    // expected number has moved past it since the ring was built, up to half
    // the modulus). For the checkers.
    RING_CHECKER bool WasStored(uint16_t sequence) const;
    uint32_t PendingBytes() const;
    uint32_t AverageRtt() const;
    // Our policy's round trip and resend time-out (ms); the time-out before any
    // sample is the initial sample's.
    uint32_t SmoothedRtt() const { return m_nSrtt; }
    uint32_t Rto() const;
    // The time-out a packet sent now is given: Rto() doubled for every time-out
    // since the last round-trip sample (a round trip that has risen gives no
    // sample until a time-out waits for it).
    uint32_t BackedOffRto() const;
    // Whether the writer's window, once shut, may open again: ours as soon as a
    // slot is free, the controller's below the low-water marks.
    bool MayReopen() const;

    // Send ring. Takes up to MaxPayload bytes (MaxPayload - 2 with an
    // acknowledgement to carry, STUN_NO_ACK for none) into the tail slot, makes
    // the slot part of the ring and only then sends it, so that an acknowledgement
    // can never find its packet outside the ring. The stored copy carries no
    // acknowledgement: a resending repeats only the data. Returns the payload
    // bytes taken, 0 when the ring IsFull, -1 when the send failed (the packet
    // stays in the ring).
    int WritePacket(const uint8_t* data, int length, uint16_t ack, uint32_t now, CDatagramOut& out);
    // Resends what is due (the controller's policy looks at the first four
    // slots, ours at all); false when a packet has used up its transmissions or
    // a send failed.
    bool RetransmitDue(uint32_t now, CDatagramOut& out);
    // Acknowledgements in arrival order. A number counts only while its slot is
    // in the ring and holds that sequence number. False when a resend failed.
    bool ProcessAcks(const uint16_t* sequences, int count, uint32_t now, CDatagramOut& out);

    // Receive ring. The payload must be 1 to MaxPayload bytes.
    StoreResult Store(uint16_t sequence, const uint8_t* payload, int length);
    // In-order payload bytes, at most size; 0 when none is readable.
    int Read(uint8_t* buffer, int size);
    // Stores the held packets that fit now; their sequence numbers (at most max)
    // go to stored, to be acknowledged. Returns how many.
    int TakeHeld(uint16_t* stored, int max);
    // An empty ring continues from this number instead of 0 (the fuzz target
    // and tests cross the sequence wrap without a modulus's worth of packets).
    bool StartAt(uint16_t sequence);

    // The ring's own rules, for tests and the fuzz target: null when they hold,
    // else the first broken one.
    RING_CHECKER const char* CheckSendRing() const;
    RING_CHECKER const char* CheckReceiveRing() const;

  private:
    CRingBuffer(const CRingBuffer&) = delete;
    CRingBuffer& operator=(const CRingBuffer&) = delete;

    uint32_t Next(uint32_t index) const { return index + 1 == m_Params.Slots ? 0 : index + 1; }
    uint16_t NextSeq(uint16_t seq) const { return (uint16_t)(seq + 1 == m_wModulus ? 0 : seq + 1); }
    uint16_t SlotSequence(const RingSlot& slot) const;
    void FreeArea();
    bool InRing(uint32_t index) const;
    // The slot in the window that holds this sequence number, or null.
    RingSlot* SlotInWindow(uint16_t sequence);
    bool Resend(RingSlot& slot, SlotState state, uint32_t now, CDatagramOut& out);
    bool ResendEarlier(uint16_t mark, uint16_t limit, uint32_t now, CDatagramOut& out);
    void MarkAcked(RingSlot& slot);
    void AddSample(uint32_t ms);
    void AddOwnSample(uint32_t ms);
    bool OwnRetransmitDue(uint32_t now, CDatagramOut& out);
    uint32_t Patience() const;
    void BackOff();
    size_t AreaBytes() const;
    // Where an arriving packet belongs now (KEPT: its free slot in the window).
    StoreResult Place(uint16_t sequence) const;
    void Keep(uint16_t sequence, const uint8_t* payload, int length);
    bool IsHeld(uint16_t sequence) const;
    bool OwnProcessAcks(const uint16_t* sequences, int count, uint32_t now, CDatagramOut& out);
    uint32_t SlotTimeout(const RingSlot& slot) const;

    TransferParams m_Params;
    RudpPolicy m_ePolicy;
    uint8_t* m_pData;
    RingSlot* m_pSlots;
    uint32_t m_nHead;
    uint32_t m_nTail;
    uint32_t m_nUnacked; // send ring: slots from head to tail that are not Acked
    uint16_t m_wNextSeq; // send ring: the next packet's; receive ring: the one expected at tail
    uint16_t m_wModulus;
    uint32_t m_nPassed; // receive ring: numbers the expected one has moved past, up to half the modulus
    uint32_t m_adwRtt[RING_RTT_SAMPLES];
    int m_nNextSample;
    // Our policy: round-trip estimate, and transmissions counted in sending order.
    bool m_bHaveRtt;
    uint32_t m_nSrtt;
    uint32_t m_nRttVar;
    uint32_t m_nStamp;          // transmissions so far
    uint32_t m_nHighAckedStamp; // latest sending known to have arrived
    uint32_t m_nBackoff;        // time-outs since the last round-trip sample
    uint32_t m_dwLastAck;       // when an acknowledgement last took a packet off
    // Receive ring: packets held aside while the reader is behind.
    struct HeldPacket {
        uint8_t* pBuffer; // as in a slot
        uint16_t nLength; // payload bytes; 0: the place is free
    };
    HeldPacket* m_pHeld;
    uint32_t m_nHeldMax;
    uint32_t m_nHeld;
};
