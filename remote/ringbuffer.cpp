// The slot ring: window counts, sending and resending, acknowledgements, and
// in-order storing and reading.
#include "ringbuffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "../util/qvtypes.h"

bool IsUsableTransferParams(const TransferParams& p, const char** why)
{
    const char* bad = nullptr;
    if (p.Slots < RING_MIN_SLOTS || p.Slots > RING_MAX_SLOTS)
        bad = "slot count out of range";
    else if (p.MaxPayload < RING_MIN_PAYLOAD || p.MaxPayload > RING_MAX_PAYLOAD)
        bad = "payload size out of range";
    else if (p.LowUnacked > p.HighUnacked)
        bad = "unacknowledged low-water mark above the high-water mark";
    else if (p.LowQueued > p.HighQueued)
        bad = "queued low-water mark above the high-water mark";
    else if (p.HighQueued > p.Slots - 2)
        // The window shuts once queued exceeds HighQueued; one more packet must
        // still leave the slot the ring keeps empty between tail and head.
        bad = "queued high-water mark leaves no room in the ring";
    if (why) *why = bad;
    return bad == nullptr;
}

TransferParams ClampWaterMarks(const TransferParams& p)
{
    TransferParams c = p;
    if (c.Slots >= 2 && c.HighQueued > c.Slots - 2) c.HighQueued = c.Slots - 2;
    if (c.LowQueued > c.HighQueued) c.LowQueued = c.HighQueued;
    if (c.LowUnacked > c.HighUnacked) c.LowUnacked = c.HighUnacked;
    return c;
}

namespace
{
const RingAreaSource* g_pAreaSource = nullptr;
}

void SetRingAreaSource(const RingAreaSource* source)
{
    g_pAreaSource = source;
}

bool SameTransferParams(const TransferParams& a, const TransferParams& b)
{
    return a.MaxPayload == b.MaxPayload && a.HighUnacked == b.HighUnacked && a.LowUnacked == b.LowUnacked &&
           a.HighQueued == b.HighQueued && a.LowQueued == b.LowQueued && a.Slots == b.Slots;
}

uint32_t RingHeldCapacity(const TransferParams& params)
{
    // The peer sends while no more than HighUnacked are unacknowledged: one more
    // than that is its whole window. Bounded by half the ring, since a block's
    // water marks are not bounded themselves.
    const uint64_t window = (uint64_t)params.HighUnacked + 1 + 8;
    const uint32_t half = params.Slots / 2;
    return window < half ? (uint32_t)window : half;
}

CRingBuffer::CRingBuffer(const TransferParams& params, uint32_t held)
    : m_Params(params), m_ePolicy(RUDP_POLICY_CONTROLLER), m_pData(nullptr), m_pSlots(nullptr), m_nHead(0),
      m_nTail(0), m_nUnacked(0), m_wNextSeq(0), m_wModulus((uint16_t)StunSequenceModulus(params.Slots)),
      m_nPassed(0), m_nNextSample(0), m_bHaveRtt(false), m_nSrtt(0), m_nRttVar(0), m_nStamp(0),
      m_nHighAckedStamp(0), m_nBackoff(0), m_dwLastAck(0), m_pHeld(nullptr), m_nHeldMax(0), m_nHeld(0)
{
    for (int i = 0; i < RING_RTT_SAMPLES; i++)
        m_adwRtt[i] = RING_RTT_INITIAL;
    if (!IsUsableTransferParams(params)) return;
    const size_t stride = (size_t)params.MaxPayload + 4;
    m_nHeldMax = held < params.Slots ? held : params.Slots;
    m_pSlots = new (std::nothrow) RingSlot[params.Slots];
    if (m_nHeldMax) m_pHeld = new (std::nothrow) HeldPacket[m_nHeldMax];
    // Zeroed by the allocator: a large block comes as fresh pages that are
    // already zero and cost nothing until a packet is written into them (the
    // proposed block's rings are 0.7 MB each, of which a short session touches little).
    // The held packets' places follow the slots.
    m_pData =
        static_cast<uint8_t*>(g_pAreaSource ? g_pAreaSource->Take(AreaBytes()) : calloc(AreaBytes(), 1));
    if (!m_pSlots || !m_pData || (m_nHeldMax && !m_pHeld)) {
        delete[] m_pSlots;
        delete[] m_pHeld;
        FreeArea();
        m_pSlots = nullptr;
        m_pHeld = nullptr;
        m_pData = nullptr;
        m_nHeldMax = 0;
        return;
    }
    for (uint32_t i = 0; i < m_nHeldMax; i++) {
        m_pHeld[i].pBuffer = m_pData + stride * (params.Slots + i);
        m_pHeld[i].nLength = 0;
    }
    for (uint32_t i = 0; i < params.Slots; i++) {
        RingSlot& s = m_pSlots[i];
        s.pBuffer = m_pData + stride * i;
        s.nReadOffset = 0;
        s.nLength = 0;
        s.nTransmissions = 0;
        s.wSeqMark = 0;
        s.dwSendTime = 0;
        s.dwEarlyDeadline = 0;
        s.dwStamp = 0;
        s.dwFirstStamp = 0;
        s.state = SLOT_FREE;
    }
}

CRingBuffer::~CRingBuffer()
{
    delete[] m_pSlots;
    delete[] m_pHeld;
    FreeArea();
}

size_t CRingBuffer::AreaBytes() const
{
    return ((size_t)m_Params.MaxPayload + 4) * ((size_t)m_Params.Slots + m_nHeldMax);
}

void CRingBuffer::FreeArea()
{
    if (!m_pData) return;
    if (g_pAreaSource)
        g_pAreaSource->Give(m_pData, AreaBytes());
    else
        free(m_pData);
}

bool CRingBuffer::StartAt(uint16_t sequence)
{
    if (!IsValid() || m_nHead != m_nTail || HoldsAnything() || sequence >= m_wModulus) return false;
    m_wNextSeq = sequence;
    m_nHead = m_nTail = sequence % m_Params.Slots;
    m_nPassed = 0;
    return true;
}

uint16_t CRingBuffer::SlotSequence(const RingSlot& slot) const
{
    return GetLE16(slot.pBuffer + 1);
}

bool CRingBuffer::InRing(uint32_t index) const
{
    return (index + m_Params.Slots - m_nHead) % m_Params.Slots < Queued();
}

bool CRingBuffer::IsFull() const
{
    return m_nUnacked > m_Params.HighUnacked || Queued() > m_Params.HighQueued;
}

bool CRingBuffer::IsAboveLowWater() const
{
    return m_nUnacked > m_Params.LowUnacked || Queued() > m_Params.LowQueued;
}

bool CRingBuffer::MayReopen() const
{
    return m_ePolicy == RUDP_POLICY_OWN ? !IsFull() : !IsAboveLowWater();
}

uint32_t CRingBuffer::PendingBytes() const
{
    if (!IsValid()) return 0;
    uint32_t total = 0;
    for (uint32_t i = m_nHead; i != m_nTail; i = Next(i))
        total += (uint32_t)(m_pSlots[i].nLength - m_pSlots[i].nReadOffset);
    return total;
}

bool CRingBuffer::HoldsAnything() const
{
    if (!IsValid()) return false;
    if (m_nHeld) return true;
    for (uint32_t i = 0; i < m_Params.Slots; i++)
        if (m_pSlots[i].state != SLOT_FREE && (m_pSlots[i].state != SLOT_ACKED || InRing(i))) return true;
    return false;
}

uint32_t CRingBuffer::AverageRtt() const
{
    uint32_t sum = 0;
    for (int i = 0; i < RING_RTT_SAMPLES; i++)
        sum += m_adwRtt[i];
    return sum / RING_RTT_SAMPLES;
}

void CRingBuffer::AddSample(uint32_t ms)
{
    m_adwRtt[m_nNextSample] = ms < 5000 ? ms : 5000;
    m_nNextSample = (m_nNextSample + 1) % RING_RTT_SAMPLES;
}

// Round-trip estimate as TCP keeps it: a smoothed mean and a smoothed mean
// deviation, both moved by an eighth and a quarter of each new sample.
void CRingBuffer::AddOwnSample(uint32_t ms)
{
    if (ms > RING_MAX_RTO) ms = RING_MAX_RTO;
    if (!m_bHaveRtt) {
        m_bHaveRtt = true;
        m_nSrtt = ms;
        m_nRttVar = ms / 2;
        return;
    }
    const uint32_t deviation = ms > m_nSrtt ? ms - m_nSrtt : m_nSrtt - ms;
    m_nRttVar = (3 * m_nRttVar + deviation) / 4;
    m_nSrtt = (7 * m_nSrtt + ms) / 8;
}

uint32_t CRingBuffer::Rto() const
{
    if (!m_bHaveRtt) return RING_RTT_INITIAL;
    uint32_t rto = m_nSrtt + 4 * m_nRttVar + RING_PEER_ACK_HOLD;
    if (rto < RING_MIN_RTO) rto = RING_MIN_RTO;
    return rto > RING_MAX_RTO ? RING_MAX_RTO : rto;
}

namespace
{
uint32_t Doubled(uint32_t ms, uint32_t times)
{
    for (uint32_t n = 0; n < times && ms < RING_MAX_RTO; n++)
        ms *= 2;
    return ms > RING_MAX_RTO ? RING_MAX_RTO : ms;
}
} // namespace

uint32_t CRingBuffer::BackedOffRto() const
{
    return Doubled(Rto(), m_nBackoff);
}

// Doubled for every transmission after the first, so that a path that has gone
// quiet is not flooded, and never shorter than what a packet sent now is given.
uint32_t CRingBuffer::SlotTimeout(const RingSlot& slot) const
{
    const uint32_t own = slot.nTransmissions > 1 ? slot.nTransmissions - 1u : 0u;
    return Doubled(Rto(), own > m_nBackoff ? own : m_nBackoff);
}

// A time-out with no sample since: the round trip may have grown past the
// time-out, and a packet that times out before its acknowledgement comes gives
// no sample to show it. Every packet waits twice as long until one does.
void CRingBuffer::BackOff()
{
    if (BackedOffRto() < RING_MAX_RTO) m_nBackoff++;
}

uint32_t CRingBuffer::Patience() const
{
    return m_nSrtt + m_nSrtt / 4 + 2; // ticks are whole milliseconds
}

// ---------------------------------------------------------------------------
// Send ring

int CRingBuffer::WritePacket(const uint8_t* data, int length, uint16_t ack, uint32_t now, CDatagramOut& out)
{
    if (!IsValid() || length <= 0 || IsFull()) return 0;
    const bool withAck = ack != STUN_NO_ACK;
    const int room = (int)m_Params.MaxPayload - (withAck ? 2 : 0);
    const int chunk = length < room ? length : room;

    const uint32_t index = m_nTail;
    RingSlot& slot = m_pSlots[index];
    const uint16_t seq = m_wNextSeq;
    const int wire = BuildDataPacket(slot.pBuffer, (int)m_Params.MaxPayload + 4, seq, data, chunk,
                                     withAck ? ack : STUN_NO_ACK);
    if (wire < 0) return 0; // cannot happen with a usable block
    slot.nReadOffset = 0;
    slot.nLength = (uint16_t)chunk;
    slot.nTransmissions = 1;
    slot.dwSendTime = now;
    slot.dwEarlyDeadline = 0;
    slot.wSeqMark = 0;
    slot.dwStamp = ++m_nStamp;
    slot.dwFirstStamp = slot.dwStamp;
    slot.state = SLOT_SENT;
    m_wNextSeq = NextSeq(seq);
    m_nTail = Next(index);
    m_nUnacked++;

    bool sent = out.SendDatagram(slot.pBuffer, wire);
    slot.pBuffer[0] = STUN_TX_PACKET; // resendings never repeat the acknowledgement
    return sent ? chunk : -1;
}

bool CRingBuffer::Resend(RingSlot& slot, SlotState state, uint32_t now, CDatagramOut& out)
{
    bool sent = out.SendDatagram(slot.pBuffer, STUN_DATA_HEADER + slot.nLength);
    slot.nTransmissions++;
    slot.dwEarlyDeadline = 0;
    slot.state = state;
    slot.dwSendTime = now;
    slot.wSeqMark = m_wNextSeq;
    slot.dwStamp = ++m_nStamp;
    return sent;
}

bool CRingBuffer::RetransmitDue(uint32_t now, CDatagramOut& out)
{
    if (!IsValid() || m_nHead == m_nTail) return true;
    if (m_ePolicy == RUDP_POLICY_OWN) return OwnRetransmitDue(now, out);
    const uint32_t avg = AverageRtt();
    const uint32_t base = 2 * avg < avg + 500 ? 2 * avg : avg + 500;
    uint32_t index = m_nHead;
    for (int n = 0; n < 4 && index != m_nTail; n++, index = Next(index)) {
        RingSlot& slot = m_pSlots[index];
        if (slot.state == SLOT_ACKED) continue;
        uint32_t timeout = (uint32_t)slot.nTransmissions * 500 + base - 500;
        if (timeout < 500) timeout = 500;
        if (timeout > 5000) timeout = 5000;
        bool due = (uint32_t)(now - slot.dwSendTime) > timeout ||
                   (slot.dwEarlyDeadline != 0 && (int32_t)(now - slot.dwEarlyDeadline) > 0);
        if (!due) continue;
        if (slot.nTransmissions >= RING_MAX_TRANSMISSIONS) return false;
        if (!Resend(slot, SLOT_RESENT, now, out)) return false;
    }
    return true;
}

bool CRingBuffer::OwnRetransmitDue(uint32_t now, CDatagramOut& out)
{
    const uint32_t patience = Patience();
    // The loss rule of the acknowledgements, once no acknowledgement has come
    // for a round trip and a quarter: the last ones may have been all there was.
    const bool lossTimer = m_bHaveRtt && (uint32_t)(now - m_dwLastAck) >= patience;
    bool timedOut = false;
    RingSlot* newest = nullptr; // the newest packet with nothing acknowledged after it
    for (uint32_t index = m_nHead; index != m_nTail; index = Next(index)) {
        RingSlot& slot = m_pSlots[index];
        if (slot.state == SLOT_ACKED) continue;
        if ((uint32_t)(now - slot.dwSendTime) > SlotTimeout(slot)) {
            if (slot.nTransmissions >= RING_MAX_TRANSMISSIONS) return false;
            if (!Resend(slot, SLOT_RESENT, now, out)) return false;
            timedOut = true;
            continue;
        }
        if ((int32_t)(m_nHighAckedStamp - slot.dwStamp) <= 0) {
            newest = &slot;
            continue;
        }
        if (!lossTimer || (uint32_t)(now - slot.dwSendTime) < patience) continue;
        if (slot.nTransmissions >= RING_MAX_TRANSMISSIONS) continue; // its time-out gives up on it
        if (!Resend(slot, SLOT_FAST_RESENT, now, out)) return false;
    }
    if (timedOut) {
        BackOff();
        return true;
    }
    // A lost tail has nothing after it to show the loss: its newest packet goes
    // again, before its time-out, once nothing has been acknowledged for a
    // round trip and a quarter and the peer's hold. A probe that went for
    // nothing (the round trip rose) backs off like a time-out.
    if (!newest || !m_bHaveRtt || newest->nTransmissions >= RING_MAX_TRANSMISSIONS) return true;
    const uint32_t probe = Doubled(patience + RING_PEER_ACK_HOLD, m_nBackoff);
    if (probe >= SlotTimeout(*newest)) return true;
    const uint32_t since = (int32_t)(newest->dwSendTime - m_dwLastAck) > 0 ? newest->dwSendTime : m_dwLastAck;
    if ((uint32_t)(now - since) < probe) return true;
    if (!Resend(*newest, SLOT_FAST_RESENT, now, out)) return false;
    BackOff();
    return true;
}

bool CRingBuffer::ResendEarlier(uint16_t mark, uint16_t limit, uint32_t now, CDatagramOut& out)
{
    uint32_t index = m_nHead;
    for (int n = 0; n < 4 && index != m_nTail; n++, index = Next(index)) {
        RingSlot& slot = m_pSlots[index];
        if (SlotSequence(slot) == mark) break;
        if (slot.state == SLOT_ACKED || slot.nTransmissions >= limit) continue;
        if (!Resend(slot, SLOT_FAST_RESENT, now, out)) return false;
    }
    return true;
}

void CRingBuffer::MarkAcked(RingSlot& slot)
{
    if (slot.state != SLOT_ACKED) m_nUnacked--;
    slot.nTransmissions = 0;
    slot.dwEarlyDeadline = 0;
    slot.state = SLOT_ACKED;
}

RingSlot* CRingBuffer::SlotInWindow(uint16_t sequence)
{
    if (sequence >= m_wModulus) return nullptr;
    const uint32_t index = sequence % m_Params.Slots;
    if (!InRing(index)) return nullptr;
    RingSlot& slot = m_pSlots[index];
    return SlotSequence(slot) == sequence ? &slot : nullptr;
}

bool CRingBuffer::ProcessAcks(const uint16_t* sequences, int count, uint32_t now, CDatagramOut& out)
{
    if (!IsValid()) return true;
    if (m_ePolicy == RUDP_POLICY_OWN) return OwnProcessAcks(sequences, count, now, out);
    bool ok = true;
    bool headAcked = false;
    for (int i = 0; i < count; i++) {
        RingSlot* found = SlotInWindow(sequences[i]);
        if (!found) continue;
        RingSlot& slot = *found;
        const uint32_t index = (uint32_t)(found - m_pSlots);
        if (slot.state == SLOT_ACKED) continue; // a duplicate
        if (slot.state == SLOT_SENT) {
            // Whatever went out before this packet and is still unanswered was
            // probably lost: give it an early deadline, the later ones in step with
            // their own sending.
            const uint32_t sent = slot.dwSendTime;
            for (uint32_t j = m_nHead; j != m_nTail; j = Next(j)) {
                RingSlot& other = m_pSlots[j];
                if (j == index || other.state != SLOT_SENT) continue;
                int32_t after = (int32_t)(other.dwSendTime - sent);
                uint32_t deadline = now + 100 + (after > 0 ? (uint32_t)after : 0);
                other.dwEarlyDeadline = deadline != 0 ? deadline : 1;
            }
            AddSample(now - sent);
        } else if (slot.state == SLOT_RESENT && i == count - 1) {
            const uint16_t mark = slot.wSeqMark;
            const uint16_t limit = slot.nTransmissions;
            MarkAcked(slot);
            if (!ResendEarlier(mark, limit, now, out)) ok = false;
            AddSample(now - slot.dwSendTime);
        }
        MarkAcked(slot);
        if (index == m_nHead) headAcked = true;
    }
    if (headAcked) {
        while (m_nHead != m_nTail && m_pSlots[m_nHead].state == SLOT_ACKED)
            m_nHead = Next(m_nHead);
    }
    return ok;
}

// Every acknowledgement list is a selective acknowledgement: what went out
// before an acknowledged sending and is still unanswered after the reordering
// allowance is resent at once, wherever it is in the window and however often
// it was sent before. Only packets sent once give round-trip samples and tell
// which sending arrived (an acknowledgement of a resent packet may answer any
// of its sendings).
bool CRingBuffer::OwnProcessAcks(const uint16_t* sequences, int count, uint32_t now, CDatagramOut& out)
{
    bool any = false;
    for (int i = 0; i < count; i++) {
        RingSlot* found = SlotInWindow(sequences[i]);
        if (!found || found->state == SLOT_ACKED) continue;
        RingSlot& slot = *found;
        // A packet sent more than once may have arrived by any of its sendings,
        // so it shows only that its first one went out before what arrived.
        const uint32_t arrived = slot.state == SLOT_SENT ? slot.dwStamp : slot.dwFirstStamp;
        if (slot.state == SLOT_SENT) {
            AddOwnSample(now - slot.dwSendTime);
            m_nBackoff = 0;
        }
        if ((int32_t)(arrived - m_nHighAckedStamp) > 0) m_nHighAckedStamp = arrived;
        MarkAcked(slot);
        any = true;
    }
    if (!any) return true;
    m_dwLastAck = now;
    while (m_nHead != m_nTail && m_pSlots[m_nHead].state == SLOT_ACKED)
        m_nHead = Next(m_nHead);
    const uint32_t patience = Patience();
    for (uint32_t index = m_nHead; index != m_nTail; index = Next(index)) {
        RingSlot& slot = m_pSlots[index];
        if (slot.state == SLOT_ACKED) continue;
        const int32_t later = (int32_t)(m_nHighAckedStamp - slot.dwStamp);
        if (later <= 0) continue;
        if ((uint32_t)later < RING_REORDER_PACKETS && (uint32_t)(now - slot.dwSendTime) < patience) continue;
        if (slot.nTransmissions >= RING_MAX_TRANSMISSIONS) continue; // its time-out gives up on it
        if (!Resend(slot, SLOT_FAST_RESENT, now, out)) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Receive ring

StoreResult CRingBuffer::Place(uint16_t sequence) const
{
    const uint32_t ahead = (uint32_t)((sequence + m_wModulus - m_wNextSeq) % m_wModulus);
    // The window runs from tail up to the slot before the one before head; the
    // slot just before head stays empty so that a full ring differs from an empty one.
    const uint32_t window = m_Params.Slots - 1 - Queued();
    if (ahead >= window) {
        // A packet from the last ring's worth before the window was stored and
        // acknowledged once already; the peer sends it again because that
        // acknowledgement was lost, and would give up on it without another.
        // Only numbers this ring has really passed: a fresh ring has stored none.
        const uint32_t behind = m_wModulus - ahead;
        if (behind <= m_nPassed && behind <= m_Params.Slots) return STORE_AGAIN;
        // Beyond the window only because the reader has not taken what is before it.
        return ahead < m_Params.Slots - 1 ? STORE_HELD : STORE_DROPPED;
    }
    const RingSlot& slot = m_pSlots[sequence % m_Params.Slots];
    if (slot.state == SLOT_RECEIVED) return SlotSequence(slot) == sequence ? STORE_AGAIN : STORE_DROPPED;
    return STORE_KEPT;
}

void CRingBuffer::Keep(uint16_t sequence, const uint8_t* payload, int length)
{
    RingSlot& slot = m_pSlots[sequence % m_Params.Slots];
    PutDataHeader(slot.pBuffer, STUN_TX_PACKET, sequence);
    memmove(slot.pBuffer + STUN_DATA_HEADER, payload, (size_t)length);
    slot.nReadOffset = 0;
    slot.nLength = (uint16_t)length;
    slot.state = SLOT_RECEIVED;

    uint16_t expected = m_wNextSeq;
    while (m_pSlots[m_nTail].state == SLOT_RECEIVED && SlotSequence(m_pSlots[m_nTail]) == expected &&
           Next(m_nTail) != m_nHead) {
        m_nTail = Next(m_nTail);
        expected = NextSeq(expected);
        if (m_nPassed < m_wModulus / 2u) m_nPassed++;
    }
    m_wNextSeq = expected;
}

bool CRingBuffer::IsHeld(uint16_t sequence) const
{
    for (uint32_t i = 0; i < m_nHeldMax; i++)
        if (m_pHeld[i].nLength && GetLE16(m_pHeld[i].pBuffer + 1) == sequence) return true;
    return false;
}

StoreResult CRingBuffer::Store(uint16_t sequence, const uint8_t* payload, int length)
{
    if (!IsValid() || sequence >= m_wModulus || length < 1 || (uint32_t)length > m_Params.MaxPayload)
        return STORE_DROPPED;
    const StoreResult place = Place(sequence);
    if (place == STORE_KEPT) Keep(sequence, payload, length);
    if (place != STORE_HELD || IsHeld(sequence)) return place;
    // Held aside while there is room; beyond that dropped unacknowledged as before.
    for (uint32_t i = 0; i < m_nHeldMax; i++) {
        HeldPacket& held = m_pHeld[i];
        if (held.nLength) continue;
        PutDataHeader(held.pBuffer, STUN_TX_PACKET, sequence);
        memcpy(held.pBuffer + STUN_DATA_HEADER, payload, (size_t)length);
        held.nLength = (uint16_t)length;
        m_nHeld++;
        return STORE_HELD;
    }
    return STORE_DROPPED;
}

int CRingBuffer::TakeHeld(uint16_t* stored, int max)
{
    int n = 0;
    for (uint32_t i = 0; i < m_nHeldMax && m_nHeld && n < max; i++) {
        HeldPacket& held = m_pHeld[i];
        if (!held.nLength) continue;
        const uint16_t sequence = GetLE16(held.pBuffer + 1);
        const StoreResult place = Place(sequence);
        if (place == STORE_HELD) continue; // still no room for it
        if (place == STORE_KEPT) Keep(sequence, held.pBuffer + STUN_DATA_HEADER, held.nLength);
        if (place != STORE_DROPPED) stored[n++] = sequence;
        held.nLength = 0;
        m_nHeld--;
    }
    return n;
}

bool CRingBuffer::HasGap() const
{
    if (!IsValid()) return false;
    const uint32_t window = m_Params.Slots - 1 - Queued();
    for (uint32_t i = 0, index = m_nTail; i < window; i++, index = Next(index))
        if (m_pSlots[index].state == SLOT_RECEIVED) return true;
    if (!m_nHeld) return false;
    // Held packets continue the readable part only when the ring is full and
    // they are the next ones without a number missing between them.
    if (window > 0) return true;
    uint32_t furthest = 0;
    for (uint32_t i = 0; i < m_nHeldMax; i++) {
        if (!m_pHeld[i].nLength) continue;
        const uint16_t sequence = GetLE16(m_pHeld[i].pBuffer + 1);
        const uint32_t ahead = (uint32_t)((sequence + m_wModulus - m_wNextSeq) % m_wModulus);
        if (ahead > furthest) furthest = ahead;
    }
    return furthest + 1 != m_nHeld;
}

RING_CHECKER bool CRingBuffer::WasStored(uint16_t sequence) const
{
    if (!IsValid() || sequence >= m_wModulus) return false;
    const uint32_t ahead = (uint32_t)((sequence + m_wModulus - m_wNextSeq) % m_wModulus);
    if (ahead == 0) return false;
    // Behind the expected number: stored once, if the ring has passed it.
    if (m_wModulus - ahead <= m_nPassed) return true;
    const RingSlot& slot = m_pSlots[sequence % m_Params.Slots];
    return ahead < m_Params.Slots - 1 - Queued() && slot.state == SLOT_RECEIVED &&
           SlotSequence(slot) == sequence;
}

int CRingBuffer::Read(uint8_t* buffer, int size)
{
    if (!IsValid() || !buffer || size <= 0) return 0;
    int done = 0;
    while (done < size && m_nHead != m_nTail) {
        RingSlot& slot = m_pSlots[m_nHead];
        int left = slot.nLength - slot.nReadOffset;
        int n = size - done < left ? size - done : left;
        memcpy(buffer + done, slot.pBuffer + STUN_DATA_HEADER + slot.nReadOffset, (size_t)n);
        done += n;
        slot.nReadOffset = (uint16_t)(slot.nReadOffset + n);
        if (slot.nReadOffset == slot.nLength) {
            slot.state = SLOT_FREE;
            slot.nReadOffset = 0;
            slot.nLength = 0;
            m_nHead = Next(m_nHead);
        }
    }
    return done;
}

// ---------------------------------------------------------------------------
// Invariants

// The checkers step through the ring without Next: they run after every step of
// the fuzz target and are kept out of its coverage, which a call would bring back.
RING_CHECKER const char* CRingBuffer::CheckSendRing() const
{
    if (!IsValid()) return nullptr;
    const uint32_t slots = m_Params.Slots;
    if (m_nHead >= slots || m_nTail >= slots) return "head or tail outside the ring";
    if (m_wNextSeq >= m_wModulus) return "next sequence number at or above the modulus";
    if (Queued() > slots - 1) return "more slots in use than the ring holds";
    if (Queued() > m_Params.HighQueued + 1) return "writer went past the queued high-water mark";
    uint32_t unacked = 0;
    uint32_t distance = Queued();
    for (uint32_t i = m_nHead; i != m_nTail; i = (i + 1 == slots ? 0 : i + 1), distance--) {
        const RingSlot& s = m_pSlots[i];
        if (s.state != SLOT_SENT && s.state != SLOT_RESENT && s.state != SLOT_FAST_RESENT &&
            s.state != SLOT_ACKED)
            return "slot in use with a state that is not a sending state";
        uint16_t expected = (uint16_t)((m_wNextSeq + m_wModulus - distance) % m_wModulus);
        if (SlotSequence(s) != expected) return "slot does not hold the sequence number of its place";
        if (s.pBuffer[0] != STUN_TX_PACKET) return "stored packet is not type 128";
        if (s.nLength < 1 || s.nLength > m_Params.MaxPayload) return "stored payload length out of range";
        if (s.state != SLOT_ACKED) {
            unacked++;
            if (s.nTransmissions < 1 || s.nTransmissions > RING_MAX_TRANSMISSIONS)
                return "transmission count out of range";
        }
    }
    if (unacked != m_nUnacked) return "unacknowledged count differs from the slots";
    if (m_nHead != m_nTail && m_pSlots[m_nHead].state == SLOT_ACKED) return "acknowledged slot left at head";
    return nullptr;
}

RING_CHECKER const char* CRingBuffer::CheckReceiveRing() const
{
    if (!IsValid()) return nullptr;
    const uint32_t slots = m_Params.Slots;
    if (m_nHead >= slots || m_nTail >= slots) return "head or tail outside the ring";
    if (m_wNextSeq >= m_wModulus) return "expected sequence number at or above the modulus";
    if (m_wNextSeq % slots != m_nTail) return "expected sequence number does not belong to the tail slot";
    uint32_t distance = Queued();
    for (uint32_t i = m_nHead; i != m_nTail; i = (i + 1 == slots ? 0 : i + 1), distance--) {
        const RingSlot& s = m_pSlots[i];
        if (s.state != SLOT_RECEIVED) return "slot before tail is not holding a packet";
        uint16_t expected = (uint16_t)((m_wNextSeq + m_wModulus - distance) % m_wModulus);
        if (SlotSequence(s) != expected) return "readable slot holds the wrong sequence number";
        if (s.nLength < 1 || s.nLength > m_Params.MaxPayload) return "stored payload length out of range";
        if (s.nReadOffset >= s.nLength) return "read slot left in the ring";
    }
    // Past tail: empty slots, or packets that arrived early, each in its window place.
    const uint32_t window = slots - 1 - Queued();
    uint32_t ahead = 0;
    for (uint32_t i = m_nTail; i != m_nHead || ahead == 0; i = (i + 1 == slots ? 0 : i + 1), ahead++) {
        if (ahead >= slots) break;
        const RingSlot& s = m_pSlots[i];
        if (s.state == SLOT_FREE) continue;
        if (s.state != SLOT_RECEIVED) return "slot past tail in a sending state";
        if (ahead >= window) return "packet stored outside the window";
        uint16_t expected = (uint16_t)((m_wNextSeq + ahead) % m_wModulus);
        if (SlotSequence(s) != expected) return "early packet in the wrong slot";
        if (s.nLength < 1 || s.nLength > m_Params.MaxPayload) return "stored payload length out of range";
        if (s.nReadOffset != 0) return "early packet already read";
        if (ahead == 0) return "packet at tail not taken into the readable part";
    }
    uint32_t held = 0;
    for (uint32_t i = 0; i < m_nHeldMax; i++) {
        const HeldPacket& h = m_pHeld[i];
        if (!h.nLength) continue;
        held++;
        const uint16_t sequence = GetLE16(h.pBuffer + 1);
        if (sequence >= m_wModulus) return "held packet with a number at or above the modulus";
        if (h.nLength > m_Params.MaxPayload) return "held payload length out of range";
        if (Place(sequence) != STORE_HELD) return "held packet that fits the ring or was stored";
        for (uint32_t j = i + 1; j < m_nHeldMax; j++)
            if (m_pHeld[j].nLength && GetLE16(m_pHeld[j].pBuffer + 1) == sequence) return "packet held twice";
    }
    if (held != m_nHeld) return "held count differs from the held packets";
    if (m_nPassed > m_wModulus / 2u) return "more numbers passed than half the modulus";
    return nullptr;
}
