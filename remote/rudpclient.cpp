// The reliable UDP stream: parameter agreement, the worker, sending with the
// window, acknowledgements, reading, and the orderly close.
#include "rudpclient.h"

#include <cstring>

#include "../util/qvtick.h"
#include "../util/trace.h"

// What the worker needs beyond the object: the gate lives as long as either
// of them, so that a destructor that stops waiting can still keep the worker
// out of the freed object.
struct CRUDPClient::WorkerGate {
    CQVCritical lock; // held by the worker for each pass
    bool open = true; // false once the object may go
};

struct CRUDPClient::WorkerStart {
    CRUDPClient* client;
    std::shared_ptr<WorkerGate> gate;
};

CRUDPClient::CRUDPClient(QVSOCKET socket, const QVSockAddr& peer, const TransferParams& initial)
    : m_ePolicy(RUDP_POLICY_OWN), m_Params(initial), m_pTxRing(new CRingBuffer(initial)),
      m_pRxRing(new CRingBuffer(initial, RingHeldCapacity(initial))), m_hSocket(socket),
      m_bSocketOpen(socket != QV_INVALID_SOCKET), m_Peer(peer), m_nState(CLIENT_UP), m_bClosing(false),
      m_bCloseDone(false), m_bTxFull(false), m_bAckSeen(false), m_bStarted(false), m_bWorkerReleased(false),
      m_bSocketGone(false), m_bPeerLeft(false), m_dwByeAt(0), m_dwLastArrival(0), m_pGate(new WorkerGate),
      m_nPendingAcks(0), m_nRepeatAcks(0), m_dwAckSince(0), m_dwLastSent(0), m_bKeepAliveArmed(false),
      m_bInBatch(false), m_bWakeReader(false)
{
    m_pTxRing->SetPolicy(m_ePolicy);
    m_pRxRing->SetPolicy(m_ePolicy);
    m_WindowOpen.Set();
    SocketSetTos(m_hSocket, RUDP_TOS);
}

CRUDPClient::~CRUDPClient()
{
    m_bClosing = true;
    SetState(CLIENT_CLOSED);
    Wake();
    // The worker looks at its state after every pass (one wait of 25 ms and
    // what follows it), so it has normally ended long before the bound.
    if (m_bStarted && !m_bWorkerReleased && !m_Thread.WaitForExit(RUDP_WORKER_STOP_MS - RUDP_WORKER_WAKE_MS))
        ReleaseWorker();
    Close();
    delete m_pTxRing;
    delete m_pRxRing;
}

// The worker did not end in time: it may sit in a call on the socket (a send
// that waits for room in a full buffer, for instance). Interrupting the socket
// (on Windows: closing it) ends such a call, and nothing starts another
// (SendDatagram looks first); the gate is shut once the pass is over, so the
// worker leaves without touching the object again. What is left of the handle
// is kept for Close, which closes it between sends.
void CRUDPClient::ReleaseWorker()
{
    m_bSocketOpen = false;
    m_bSocketGone = true;
    const QVSOCKET left = SocketInterrupt(m_hSocket);
    m_pGate->lock.Lock();
    m_pGate->open = false;
    m_pGate->lock.Unlock();
    m_bWorkerReleased = true;
    m_SendLock.Lock();
    m_hSocket = left;
    m_SendLock.Unlock();
}

uint32_t CRUDPClient::Now()
{
    return GetTick();
}

void CRUDPClient::Pause(uint32_t ms)
{
    SleepMs(ms);
}

bool CRUDPClient::SendDatagram(const uint8_t* data, int length)
{
    if (m_bSocketGone) return false;
    m_dwLastSent = Now();
    return SendOnWire(data, length);
}

bool CRUDPClient::SendOnWire(const uint8_t* data, int length)
{
    return SocketSendTo(m_hSocket, data, length, m_Peer) == length;
}

void CRUDPClient::Wake()
{
    m_DataReady.Set();
    m_WindowOpen.Set();
}

void CRUDPClient::SetState(ClientState state)
{
    int up = CLIENT_UP;
    // Any state but Up is final; every change wakes whoever waits on the stream.
    if (m_nState.compare_exchange_strong(up, state)) Wake();
}

bool CRUDPClient::IsUp()
{
    return m_bSocketOpen && m_nState == CLIENT_UP && !m_bClosing;
}

TransferParams CRUDPClient::GetParams()
{
    m_AckLock.Lock();
    TransferParams p = m_Params;
    m_AckLock.Unlock();
    return p;
}

// ---------------------------------------------------------------------------
// Parameters

// Swaps in rings built from block. With mustBeIdle it refuses (false, *busy
// set) while either ring holds a packet or acknowledgements are pending; the look
// and the swap happen under the same locks, so no send slips in between.
bool CRUDPClient::RebuildRings(const TransferParams& block, bool mustBeIdle, bool* busy)
{
    if (busy) *busy = false;
    CRingBuffer* tx = new CRingBuffer(block);
    CRingBuffer* rx = new CRingBuffer(block, RingHeldCapacity(block));
    tx->SetPolicy(m_ePolicy);
    rx->SetPolicy(m_ePolicy);
    bool swapped = false;
    if (tx->IsValid() && rx->IsValid()) {
        m_AckLock.Lock();
        m_RxLock.Lock();
        const bool inUse = m_pTxRing->HoldsAnything() || m_pRxRing->HoldsAnything() || m_nPendingAcks != 0;
        if (mustBeIdle && inUse) {
            if (busy) *busy = true;
        } else {
            std::swap(tx, m_pTxRing);
            std::swap(rx, m_pRxRing);
            m_Params = block;
            m_bTxFull = false;
            // The old numbers mean other packets now: a list said again would
            // acknowledge new packets that may never have arrived.
            m_nPendingAcks = 0;
            m_nRepeatAcks = 0;
            m_WindowOpen.Set();
            swapped = true;
        }
        m_RxLock.Unlock();
        m_AckLock.Unlock();
    }
    delete tx;
    delete rx;
    return swapped;
}

bool CRUDPClient::IsFromPeer(const QVSockAddr& from) const
{
    return from.addr == m_Peer.addr && from.port == m_Peer.port;
}

bool CRUDPClient::Negotiate(const TransferParams& block, CAttemptObserver* observer)
{
    const char* why = nullptr;
    if (m_bStarted || !IsUsableTransferParams(block, &why)) {
        if (why) Trace("RUDP: not proposing parameters: %s", why);
        return false;
    }
    uint8_t proposal[STUN_PARAMS_LENGTH];
    const int length = BuildParams(proposal, block);
    bool agreed = false, cancelled = false;
    for (int attempt = 0; attempt < RUDP_NEGOTIATE_TRIES && !agreed && !cancelled && IsUp(); attempt++) {
        SendDatagram(proposal, length);
        // The whole round is bounded by time: a peer that keeps sending other
        // datagrams (hellos, stray data) cannot hold it open.
        const uint32_t start = GetTick();
        for (;;) {
            const uint32_t spent = TickSince(start);
            if (spent >= RUDP_NEGOTIATE_WAIT_MS) break;
            const AttemptWait ready =
                AttemptWaitReadable(observer, m_hSocket, RUDP_NEGOTIATE_WAIT_MS - spent);
            if (ready == ATTEMPT_WAIT_CANCELLED) cancelled = true;
            if (ready != ATTEMPT_WAIT_READY) break;
            uint8_t answer[STUN_SMALL_RECEIVE];
            QVSockAddr from;
            int n = SocketRecvFrom(m_hSocket, answer, sizeof(answer), &from);
            if (n < 0 && !SocketErrorWouldBlock(SocketLastError()))
                SleepMs(10); // an error report: do not spin
            if (n > 0 && IsFromPeer(from) && IsStunPacket(answer, n, STUN_PARAMS_ACK)) {
                agreed = true;
                break;
            }
        }
    }
    // Adopted whether or not an answer came: the peer adopts a proposal as it
    // arrives, and its answer may be what was lost.
    RebuildRings(block, false, nullptr);
    return agreed;
}

void CRUDPClient::OnParams(const TransferParams& proposed)
{
    // The water marks govern only our own sending, so marks our rings cannot
    // work with are clamped here and the block is taken and answered: the two
    // ends agree on what they share (payload size and slots).
    const TransferParams block = ClampWaterMarks(proposed);
    const char* why = nullptr;
    if (!IsUsableTransferParams(block, &why)) {
        // A payload or a slot count the rings cannot hold (it would cost memory
        // without bound or could not be read whole). The proposer has taken the
        // block already, answered or not: the two ends would no longer agree on
        // any packet, so the stream ends.
        Trace("RUDP: parameters we cannot take (%s); ending the stream", why);
        EndWithBye(CLIENT_RECEIVE_FAILED);
        return;
    }
    // Taken afresh even when it is the block in force: the proposer starts its
    // numbers from 0 again either way.
    bool busy = false;
    if (RebuildRings(block, true, &busy)) {
        uint8_t answer[1];
        SendDatagram(answer, BuildStunSingle(answer, STUN_PARAMS_ACK));
        return;
    }
    // New rings would silently drop bytes already sent or not yet read (or the
    // rings could not be had): the stream ends instead of carrying on with a
    // hole in it.
    Trace(busy ? "RUDP: new parameters while data is in flight; ending the stream"
               : "RUDP: no rings for new parameters; ending the stream");
    EndWithBye(CLIENT_RECEIVE_FAILED);
}

// The peer hears that the stream is over at once; Close says BYE again later.
void CRUDPClient::EndWithBye(ClientState state)
{
    if (m_bSocketOpen) {
        uint8_t bye[1];
        SendDatagram(bye, BuildStunSingle(bye, STUN_BYE));
    }
    SetState(state);
}

// ---------------------------------------------------------------------------
// Worker

void CRUDPClient::Start()
{
    if (m_bStarted || m_bClosing || m_nState != CLIENT_UP) return;
    m_bStarted = true;
    m_Thread.Start(ThreadProc, new WorkerStart{this, m_pGate}, RUDP_WORKER_STACK);
}

void CRUDPClient::StartSequencesAt(uint16_t sequence)
{
    if (m_bStarted) return;
    m_AckLock.Lock();
    m_RxLock.Lock();
    m_pTxRing->StartAt(sequence);
    m_pRxRing->StartAt(sequence);
    m_RxLock.Unlock();
    m_AckLock.Unlock();
}

void CRUDPClient::SetPolicy(RudpPolicy policy)
{
    if (m_bStarted) return;
    m_AckLock.Lock();
    m_ePolicy = policy;
    m_pTxRing->SetPolicy(policy);
    m_pRxRing->SetPolicy(policy);
    m_AckLock.Unlock();
}

uint32_t CRUDPClient::ThreadProc(void* parameter)
{
    WorkerStart* start = static_cast<WorkerStart*>(parameter);
    CRUDPClient* self = start->client;
    std::shared_ptr<WorkerGate> gate = start->gate;
    delete start;
    for (;;) {
        gate->lock.Lock();
        const bool more = gate->open && self->Pass();
        gate->lock.Unlock();
        if (!more) break;
    }
    return 0;
}

// One wait for a datagram and what follows it; false when the worker ends.
bool CRUDPClient::Pass()
{
    if (m_nState != CLIENT_UP) return false;
    if (!SocketReadable(m_hSocket, RUDP_WORKER_WAIT_MS)) {
        ServiceTimers(true);
        return true;
    }
    // Whatever is waiting is taken in one go: one readiness wait and one look
    // at the timers per batch rather than per datagram.
    for (int i = 0; i < RUDP_RECEIVE_BATCH && m_nState == CLIENT_UP; i++) {
        if (!m_bSocketOpen) return false;
        QVSockAddr from;
        int n = SocketRecvFrom(m_hSocket, m_abReceive, sizeof(m_abReceive), &from);
        if (n < 0) {
            if (SocketErrorWouldBlock(SocketLastError())) break;
            SetState(CLIENT_RECEIVE_FAILED);
            return false;
        }
        // Only the peer speaks on this path: anyone else could otherwise slip
        // data into the stream or end it with a BYE. An empty datagram carries
        // nothing; anyone could send one, so it does not end the stream.
        if (n == 0 || !IsFromPeer(from)) continue;
        // Never held back, not even while the reader lets the receive ring
        // fill: a writer waiting for its window may be that same reader, and
        // only the acknowledgements handled here let it go on. Data that does
        // not fit yet waits aside, unacknowledged, until the reader makes room.
        m_bInBatch = true;
        HandleDatagram(m_abReceive, n);
        m_bInBatch = false;
    }
    // The reader is woken once per batch, not once per packet: each wake-up
    // costs it and us several system calls.
    if (m_bWakeReader) {
        m_bWakeReader = false;
        m_DataReady.Set();
    }
    ServiceTimers(false);
    return true;
}

void CRUDPClient::ServiceTimers(bool idle)
{
    if (m_nState != CLIENT_UP) return;
    m_AckLock.Lock();
    const uint32_t now = Now();
    if (idle || (m_ePolicy == RUDP_POLICY_OWN && m_nPendingAcks + m_nRepeatAcks > 0 &&
                 (uint32_t)(now - m_dwAckSince) >= AckDelay()))
        FlushAcks();
    if (m_bPeerLeft) {
        m_AckLock.Unlock();
        ServiceDrain(now);
        return;
    }
    ReopenWindowIfLow();
    bool ok = m_pTxRing->RetransmitDue(now, *this);
    KeepAlive(now);
    m_AckLock.Unlock();
    if (!ok) SetState(CLIENT_SEND_FAILED);
}

// The path lives in the mappings of two NATs, which drop a mapping that has
// carried nothing for a while; a still viewer sends nothing. A STUN_NO_OP is
// ignored by either end, so it costs the peer nothing.
void CRUDPClient::KeepAlive(uint32_t now)
{
    if (m_ePolicy != RUDP_POLICY_OWN || !m_bSocketOpen) return;
    if (!m_bKeepAliveArmed) {
        m_bKeepAliveArmed = true;
        m_dwLastSent = now;
        return;
    }
    // Signed: a datagram sent after now was taken (by the writer, or later in
    // this pass) is recent, not four billion milliseconds old.
    if ((int32_t)(now - m_dwLastSent) < (int32_t)RUDP_KEEPALIVE_MS) return;
    uint8_t noop[1];
    SendDatagram(noop, BuildStunSingle(noop, STUN_NO_OP));
}

void CRUDPClient::HandleDatagram(const uint8_t* data, int length)
{
    if (m_nState != CLIENT_UP) return;
    const int type = StunType(data, length);
    // Once the peer has said BYE only its data is taken in.
    if (m_bPeerLeft && type != STUN_TX_PACKET && type != STUN_TX_PACKET_ACK) return;
    uint8_t answer[1];
    switch (type) {
    case STUN_HELLO:
        SendDatagram(answer, BuildStunSingle(answer, STUN_HELLO_ACK));
        break;
    case STUN_BYE:
        if (m_ePolicy == RUDP_POLICY_OWN) {
            BeginDrain();
            break;
        }
        // The peer has closed: nothing more is sent to it, nothing resent.
        m_bSocketOpen = false;
        SetState(CLIENT_CLOSED);
        break;
    case STUN_PARAMS: {
        TransferParams block;
        if (ParseParams(data, length, &block)) OnParams(block);
        break;
    }
    case STUN_RX_ACK: {
        StunRxAck acks;
        if (ParseRxAck(data, length, &acks)) OnAcks(acks.awSequence, acks.nCount);
        break;
    }
    case STUN_TX_PACKET:
    case STUN_TX_PACKET_ACK: {
        m_RxLock.Lock();
        const uint32_t maxPayload = m_Params.MaxPayload;
        m_RxLock.Unlock();
        StunDataPacket packet;
        // Too short, empty, or longer than a slot: dropped unanswered.
        if (ParseDataPacket(data, length, maxPayload, &packet)) OnData(packet);
        break;
    }
    default:
        break; // STUN_NO_OP, STUN_BYE_ACK and anything else
    }
}

void CRUDPClient::OnAcks(const uint16_t* sequences, int count)
{
    m_bAckSeen = true;
    m_AckLock.Lock();
    bool ok = m_pTxRing->ProcessAcks(sequences, count, Now(), *this);
    ReopenWindowIfLow();
    m_AckLock.Unlock();
    if (!ok) SetState(CLIENT_SEND_FAILED);
}

void CRUDPClient::OnData(const StunDataPacket& packet)
{
    if (m_bPeerLeft)
        m_dwLastArrival = Now();
    else if (packet.type == STUN_TX_PACKET_ACK)
        OnAcks(&packet.wAck, 1);
    m_RxLock.Lock();
    const uint32_t before = m_pRxRing->Queued();
    StoreResult result = m_pRxRing->Store(packet.wSequence, packet.pPayload, packet.nPayload);
    // More than this packet became readable: it filled a hole, so it was most
    // likely a resending.
    const bool filledHole = m_pRxRing->Queued() > before + 1;
    const bool hasData = m_pRxRing->HasData();
    m_RxLock.Unlock();
    if (result == STORE_KEPT || result == STORE_AGAIN) {
        QueueAck(packet.wSequence);
        // A resending answered at once and last in its list: the controller's
        // sender then resends at once what it sent before it, instead of
        // waiting for its time-out. A repeated packet means our acknowledgement
        // was lost: the sender is waiting for it.
        if (m_ePolicy == RUDP_POLICY_OWN && (filledHole || result == STORE_AGAIN)) FlushAcks();
    }
    if (hasData) {
        if (m_bInBatch)
            m_bWakeReader = true;
        else
            m_DataReady.Set();
    }
}

// ---------------------------------------------------------------------------
// Acknowledgements (all under the ack lock)

// How long an acknowledgement may wait for others to share its list: a small
// part of the round trip our own sending measured (none measured yet: the
// controller's 25 ms idle flush).
uint32_t CRUDPClient::AckDelay()
{
    const uint32_t srtt = m_pTxRing->SmoothedRtt();
    if (srtt == 0) return RUDP_WORKER_WAIT_MS;
    const uint32_t delay = srtt / 4;
    return delay < RUDP_ACK_DELAY_MIN_MS ? RUDP_ACK_DELAY_MIN_MS
           : delay > RUDP_WORKER_WAIT_MS ? RUDP_WORKER_WAIT_MS
                                         : delay;
}

void CRUDPClient::QueueAck(uint16_t sequence)
{
    m_AckLock.Lock();
    if (m_nPendingAcks == 0 && m_nRepeatAcks == 0) m_dwAckSince = Now();
    if (m_nPendingAcks < STUN_RX_ACK_MAX) m_awPendingAcks[m_nPendingAcks++] = sequence;
    if (m_nPendingAcks >= STUN_RX_ACK_MAX) FlushAcks();
    m_AckLock.Unlock();
}

uint16_t CRUDPClient::TakeAck()
{
    m_AckLock.Lock();
    uint16_t ack = STUN_NO_ACK;
    if (m_nPendingAcks > 0) {
        ack = m_awPendingAcks[0];
        m_nPendingAcks--;
        memmove(m_awPendingAcks, m_awPendingAcks + 1, sizeof(uint16_t) * (size_t)m_nPendingAcks);
        if (m_ePolicy == RUDP_POLICY_OWN) {
            // Said once in a data packet, which is resent without it: it goes
            // again in the next list, as every list does.
            if (m_nRepeatAcks == STUN_RX_ACK_MAX) SendRepeatedAcks();
            if (m_nRepeatAcks == 0 && m_nPendingAcks == 0) m_dwAckSince = Now();
            m_awRepeatAcks[m_nRepeatAcks++] = ack;
        }
    }
    m_AckLock.Unlock();
    return ack;
}

// The previous list once more: the last number of the newest list is the one
// the controller's sender may act on, so the repeat goes before it.
void CRUDPClient::SendRepeatedAcks()
{
    if (m_nRepeatAcks == 0) return;
    uint8_t datagram[STUN_RX_ACK_LENGTH_MAX];
    const int n = BuildRxAck(datagram, m_awRepeatAcks, m_nRepeatAcks);
    m_nRepeatAcks = 0;
    if (m_bSocketOpen) SendDatagram(datagram, n);
}

void CRUDPClient::FlushAcks()
{
    m_AckLock.Lock();
    uint8_t datagram[STUN_RX_ACK_LENGTH_MAX];
    SendRepeatedAcks();
    if (m_nPendingAcks > 0) {
        const int n = BuildRxAck(datagram, m_awPendingAcks, m_nPendingAcks);
        if (m_ePolicy == RUDP_POLICY_OWN) {
            // A lost list costs the controller's sender a time-out for every
            // packet in it, as it never asks again: say it twice.
            memcpy(m_awRepeatAcks, m_awPendingAcks, sizeof(uint16_t) * (size_t)m_nPendingAcks);
            m_nRepeatAcks = m_nPendingAcks;
        }
        m_nPendingAcks = 0;
        if (m_bSocketOpen) SendDatagram(datagram, n);
    }
    m_dwAckSince = Now();
    m_AckLock.Unlock();
}

void CRUDPClient::ReopenWindowIfLow()
{
    m_AckLock.Lock();
    if (m_bTxFull && m_pTxRing->MayReopen()) {
        m_bTxFull = false;
        m_WindowOpen.Set();
    }
    m_AckLock.Unlock();
}

// ---------------------------------------------------------------------------
// Sending

int CRUDPClient::Write(const uint8_t* data, int length)
{
    int total = 0;
    while (total < length) {
        m_AckLock.Lock();
        int r = 0;
        if (!m_pTxRing->IsFull())
            r = m_pTxRing->WritePacket(data + total, length - total, TakeAck(), Now(), *this);
        m_AckLock.Unlock();
        if (r < 0) return -1;
        if (r == 0) break;
        total += r;
    }
    return total;
}

bool CRUDPClient::IsWindowShut()
{
    m_AckLock.Lock();
    const bool shut = m_bTxFull || m_pTxRing->IsFull();
    m_AckLock.Unlock();
    return shut;
}

// Waits while the window is shut. Any acknowledgement counts as progress and
// starts the stall time again. False when the stream went down or stalled.
bool CRUDPClient::WaitForWindow()
{
    uint32_t since = GetTick();
    for (;;) {
        m_AckLock.Lock();
        const bool full = m_bTxFull;
        m_AckLock.Unlock();
        if (!full) return true;
        if (!IsUp() || m_bPeerLeft) return false;
        if (m_bAckSeen.exchange(false)) since = GetTick();
        if (TickSince(since) >= DATAGRAM_STREAM_STALL_MS) return false;
        m_WindowOpen.Wait(100);
    }
}

bool CRUDPClient::Send(const void* data, int length)
{
    if (length < 0 || (length > 0 && !data)) return false;
    m_SendLock.Lock();
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bool ok = IsUp() && !m_bPeerLeft;
    int left = length;
    while (ok && left > 0) {
        m_bAckSeen = false;
        if (!WaitForWindow() || !IsUp()) {
            ok = false;
            break;
        }
        int r = Write(p, left);
        if (r < 0) {
            ok = false;
            break;
        }
        p += r;
        left -= r;
        m_AckLock.Lock();
        if (m_pTxRing->IsFull()) {
            m_bTxFull = true;
            m_WindowOpen.Reset();
        }
        m_AckLock.Unlock();
    }
    // After the peer's BYE the stream still takes in what is missing: how that
    // ends decides its state.
    if (!ok && !m_bClosing && !m_bPeerLeft) SetState(CLIENT_SEND_FAILED);
    m_SendLock.Unlock();
    return ok;
}

// ---------------------------------------------------------------------------
// Reading

int CRUDPClient::Receive(void* buffer, int size)
{
    // Bytes that arrived in order before the stream went down are still the
    // peer's: a peer that says BYE right after its last data must not lose it.
    // Only our own Close ends reading at once.
    if (!buffer || size <= 0 || m_bClosing) return 0;
    m_RxLock.Lock();
    int n = m_pRxRing->Read(static_cast<uint8_t*>(buffer), size);
    const bool held = m_pRxRing->Held() != 0;
    m_RxLock.Unlock();
    if (held) TakeHeldPackets();
    m_RxLock.Lock();
    const bool hasData = m_pRxRing->HasData();
    m_RxLock.Unlock();
    if (!hasData) {
        m_DataReady.Reset();
        // The worker may have stored a packet, or the stream ended, between the
        // look and the reset: the readiness socket must not miss either.
        m_RxLock.Lock();
        const bool arrived = m_pRxRing->HasData();
        m_RxLock.Unlock();
        if (arrived || !IsUp()) m_DataReady.Set();
    }
    return n;
}

// Packets that waited aside for the room the reader has just made: stored now,
// and acknowledged only now.
void CRUDPClient::TakeHeldPackets()
{
    uint16_t stored[32];
    int n;
    do {
        m_RxLock.Lock();
        n = m_pRxRing->TakeHeld(stored, (int)(sizeof(stored) / sizeof(stored[0])));
        m_RxLock.Unlock();
        for (int i = 0; i < n; i++)
            QueueAck(stored[i]);
    } while (n == (int)(sizeof(stored) / sizeof(stored[0])));
}

bool CRUDPClient::WaitReadable(uint32_t ms)
{
    if (!IsUp()) return true;
    m_RxLock.Lock();
    const bool hasData = m_pRxRing->HasData();
    m_RxLock.Unlock();
    if (hasData) return true;
    return m_DataReady.Wait(ms) || !IsUp();
}

// ---------------------------------------------------------------------------
// Closing

void CRUDPClient::Close()
{
    if (m_bCloseDone.exchange(true)) return;
    const uint32_t start = GetTick();
    m_bClosing = true;
    Wake(); // a Send or WaitReadable in progress returns now

    if (m_bSocketOpen && m_bPeerLeft) {
        // The peer has said BYE: no BYE back, and nothing of ours is waited for.
        FlushAcks();
        m_bSocketOpen = false;
    }
    if (m_bSocketOpen) {
        FlushAcks();
        // Give the worker time to see the last data acknowledged before saying
        // goodbye: the peer stops listening at the BYE.
        while (TickSince(start) < RUDP_CLOSE_DRAIN_MS && m_bSocketOpen && m_nState == CLIENT_UP &&
               m_bStarted && m_Thread.IsRunning()) {
            m_AckLock.Lock();
            const uint32_t pending = m_pTxRing->PendingBytes();
            m_AckLock.Unlock();
            if (pending == 0) break;
            Pause(10);
        }
        if (m_bSocketOpen) {
            // Ended before the BYE goes: a copy that meets the peer's closed port can
            // come back as a receive error on Windows, after the stream has closed.
            // Several copies, because nothing confirms a BYE and a peer that misses
            // it keeps its end open (it has no idle time-out).
            m_bSocketOpen = false;
            SetState(CLIENT_CLOSED);
            uint8_t bye[1];
            const int length = BuildStunSingle(bye, STUN_BYE);
            for (int i = 0; i < RUDP_BYE_COPIES; i++) {
                if (i) Pause(RUDP_BYE_SPACING_MS);
                SendDatagram(bye, length);
            }
        }
    }
    m_bSocketOpen = false;
    SetState(CLIENT_CLOSED);
    Wake();

    if (m_bStarted && !m_bWorkerReleased) {
        const uint32_t spent = TickSince(start);
        const uint32_t budget = DATAGRAM_STREAM_CLOSE_MS - RUDP_WORKER_WAKE_MS;
        uint32_t wait = spent < budget ? budget - spent : 0;
        if (wait > RUDP_WORKER_STOP_MS - RUDP_WORKER_WAKE_MS)
            wait = RUDP_WORKER_STOP_MS - RUDP_WORKER_WAKE_MS;
        if (!m_Thread.WaitForExit(wait)) ReleaseWorker();
    }
    // With the worker gone and no send in progress (a send wakes at the state
    // change and leaves), nobody else can be inside a call on the socket.
    m_SendLock.Lock();
    CloseSocket(m_hSocket);
    m_hSocket = QV_INVALID_SOCKET;
    m_SendLock.Unlock();
}

// ---------------------------------------------------------------------------
// The peer's BYE

// What the peer sent last may still be on its way, or lost and about to be
// resent (the controller resends after its BYE): the stream stays up for its
// reader, sends nothing but acknowledgements, and ends once nothing is missing
// and nothing more comes, or after the peer's own drain time.
void CRUDPClient::BeginDrain()
{
    m_dwByeAt = Now();
    m_dwLastArrival = m_dwByeAt;
    m_bPeerLeft = true;
    m_WindowOpen.Set(); // a writer waiting for the window gives up now
}

void CRUDPClient::ServiceDrain(uint32_t now)
{
    m_RxLock.Lock();
    const bool gap = m_pRxRing->HasGap();
    m_RxLock.Unlock();
    const bool overdue = (uint32_t)(now - m_dwByeAt) >= RUDP_CLOSE_DRAIN_MS;
    if (!overdue && (gap || (uint32_t)(now - m_dwLastArrival) < RUDP_BYE_LINGER_MS)) return;
    m_bSocketOpen = false;
    // Data the reader has not been given, that it never will be: a failure, not an end.
    SetState(gap ? CLIENT_RECEIVE_FAILED : CLIENT_CLOSED);
}

// ---------------------------------------------------------------------------
// Invariants

RING_CHECKER const char* CRUDPClient::CheckInvariants()
{
    const char* why = nullptr;
    m_AckLock.Lock();
    m_RxLock.Lock();
    if (!IsUsableTransferParams(m_Params))
        why = "parameters in force are not usable";
    else if (!SameTransferParams(m_pTxRing->Params(), m_Params) ||
             !SameTransferParams(m_pRxRing->Params(), m_Params))
        why = "a ring was built from other parameters";
    else if (m_nPendingAcks < 0 || m_nPendingAcks >= STUN_RX_ACK_MAX)
        why = "pending acknowledgement list out of range";
    else if (m_nRepeatAcks < 0 || m_nRepeatAcks > STUN_RX_ACK_MAX)
        why = "repeated acknowledgement list out of range";
    for (int i = 0; !why && i < m_nPendingAcks; i++)
        if (!m_pRxRing->WasStored(m_awPendingAcks[i]))
            why = "acknowledgement pending for a packet not stored";
    for (int i = 0; !why && i < m_nRepeatAcks; i++)
        if (!m_pRxRing->WasStored(m_awRepeatAcks[i]))
            why = "acknowledgement to repeat for a packet not stored";
    if (!why && m_bPeerLeft && !m_bClosing && m_nState == CLIENT_CLOSED && m_pRxRing->HasGap())
        why = "a normal end after the peer's BYE with a packet missing";
    if (!why) why = m_pTxRing->CheckSendRing();
    if (!why) why = m_pRxRing->CheckReceiveRing();
    m_RxLock.Unlock();
    m_AckLock.Unlock();
    return why;
}

RING_CHECKER bool CRUDPClient::WasStored(uint16_t sequence)
{
    m_RxLock.Lock();
    const bool stored = m_pRxRing->WasStored(sequence);
    m_RxLock.Unlock();
    return stored;
}
