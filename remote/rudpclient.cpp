// The reliable UDP stream: parameter agreement, the worker, sending with the
// window, acknowledgements, reading, and the orderly close.
#include "rudpclient.h"

#include <cstring>

#include "../util/qvtick.h"
#include "../util/trace.h"

CRUDPClient::CRUDPClient(QVSOCKET socket, const QVSockAddr& peer)
    : m_Params(STUN_PARAMS_INITIAL), m_pTxRing(new CRingBuffer(STUN_PARAMS_INITIAL)),
      m_pRxRing(new CRingBuffer(STUN_PARAMS_INITIAL)), m_hSocket(socket),
      m_bSocketOpen(socket != QV_INVALID_SOCKET), m_Peer(peer), m_nState(CLIENT_UP), m_bClosing(false),
      m_bCloseDone(false), m_bTxFull(false), m_bRxPaused(false), m_bAckSeen(false), m_bStarted(false),
      m_nPendingAcks(0)
{
    m_WindowOpen.Set();
    m_Space.Set();
    SocketSetTos(m_hSocket, RUDP_TOS);
}

CRUDPClient::~CRUDPClient()
{
    m_bClosing = true;
    SetState(CLIENT_CLOSED);
    Wake();
    // The worker looks at its state at least every slice of its longest wait;
    // it is never left running inside a freed object.
    if (m_bStarted) {
        while (!m_Thread.WaitForExit(RUDP_WORKER_STOP_MS)) {
        }
    }
    Close();
    delete m_pTxRing;
    delete m_pRxRing;
}

uint32_t CRUDPClient::Now()
{
    return GetTick();
}

bool CRUDPClient::SendDatagram(const uint8_t* data, int length)
{
    return SocketSendTo(m_hSocket, data, length, m_Peer) == length;
}

void CRUDPClient::Wake()
{
    m_DataReady.Set();
    m_WindowOpen.Set();
    m_Space.Set();
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
    CRingBuffer* rx = new CRingBuffer(block);
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

void CRUDPClient::OnParams(const TransferParams& block)
{
    const char* why = nullptr;
    if (!IsUsableTransferParams(block, &why)) {
        // Refused unanswered: clamping would leave the proposer believing its own
        // block was taken.
        Trace("RUDP: refusing parameters: %s", why);
        return;
    }
    uint8_t answer[1];
    if (SameTransferParams(block, GetParams())) {
        // A repeated proposal (our answer was lost): nothing to rebuild.
        SendDatagram(answer, BuildStunSingle(answer, STUN_PARAMS_ACK));
        return;
    }
    bool busy = false;
    if (RebuildRings(block, true, &busy)) {
        SendDatagram(answer, BuildStunSingle(answer, STUN_PARAMS_ACK));
    } else if (busy) {
        // New rings would silently drop bytes already sent or not yet read; end
        // the stream instead of carrying on with a hole in it.
        Trace("RUDP: new parameters while data is in flight; ending the stream");
        SetState(CLIENT_RECEIVE_FAILED);
    }
}

// ---------------------------------------------------------------------------
// Worker

void CRUDPClient::Start()
{
    if (m_bStarted || m_bClosing || m_nState != CLIENT_UP) return;
    m_bStarted = true;
    m_Thread.Start(ThreadProc, this, RUDP_WORKER_STACK);
}

uint32_t CRUDPClient::ThreadProc(void* self)
{
    return static_cast<CRUDPClient*>(self)->Run();
}

uint32_t CRUDPClient::Run()
{
    while (m_nState == CLIENT_UP) {
        if (SocketReadable(m_hSocket, RUDP_WORKER_WAIT_MS)) {
            if (!m_bSocketOpen) break;
            QVSockAddr from;
            int n = SocketRecvFrom(m_hSocket, m_abReceive, sizeof(m_abReceive), &from);
            if (n > 0 && !IsFromPeer(from)) {
                // Only the peer speaks on this path: anyone else could otherwise
                // slip data into the stream or end it with a BYE.
            } else if (n < 0) {
                if (!SocketErrorWouldBlock(SocketLastError())) {
                    SetState(CLIENT_RECEIVE_FAILED);
                    break;
                }
            } else if (n > 0) {
                const int type = m_abReceive[0];
                if ((type == STUN_TX_PACKET || type == STUN_TX_PACKET_ACK) && !HoldWhilePaused()) continue;
                HandleDatagram(m_abReceive, n);
            }
            // An empty datagram carries nothing; anyone could send one, so it
            // does not end the stream.
            ServiceTimers(false);
        } else {
            ServiceTimers(true);
        }
    }
    return 0;
}

// While the reader lets the receive ring fill up, arriving data waits here for
// room. False when the stream ended meanwhile (the datagram is dropped).
bool CRUDPClient::HoldWhilePaused()
{
    while (m_bRxPaused && m_nState == CLIENT_UP && !m_bClosing) {
        if (m_Space.Wait(RUDP_HOLD_SLICE_MS)) break;
        if (m_nState != CLIENT_UP || m_bClosing) return false;
        m_RxLock.Lock();
        const bool hasData = m_pRxRing->HasData();
        if (m_pRxRing->FreeSlots() > (uint32_t)RUDP_RESUME_ABOVE_FREE) {
            m_bRxPaused = false;
            m_Space.Set();
        }
        m_RxLock.Unlock();
        // A reader that missed its wake-up gets another one.
        if (hasData) m_DataReady.Set();
    }
    return m_nState == CLIENT_UP;
}

void CRUDPClient::ServiceTimers(bool idle)
{
    if (m_nState != CLIENT_UP) return;
    m_AckLock.Lock();
    if (idle) FlushAcks();
    ReopenWindowIfLow();
    bool ok = m_pTxRing->RetransmitDue(Now(), *this);
    m_AckLock.Unlock();
    if (!ok) SetState(CLIENT_SEND_FAILED);
}

void CRUDPClient::HandleDatagram(const uint8_t* data, int length)
{
    if (m_nState != CLIENT_UP) return;
    uint8_t answer[1];
    switch (StunType(data, length)) {
    case STUN_HELLO:
        SendDatagram(answer, BuildStunSingle(answer, STUN_HELLO_ACK));
        break;
    case STUN_BYE:
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
    if (packet.type == STUN_TX_PACKET_ACK) OnAcks(&packet.wAck, 1);
    m_RxLock.Lock();
    StoreResult result = m_pRxRing->Store(packet.wSequence, packet.pPayload, packet.nPayload);
    const bool hasData = m_pRxRing->HasData();
    if (m_pRxRing->FreeSlots() < (uint32_t)RUDP_PAUSE_BELOW_FREE) {
        m_bRxPaused = true;
        m_Space.Reset();
    }
    m_RxLock.Unlock();
    if (result != STORE_DROPPED) QueueAck(packet.wSequence);
    if (hasData) m_DataReady.Set();
}

// ---------------------------------------------------------------------------
// Acknowledgements (all under the ack lock)

void CRUDPClient::QueueAck(uint16_t sequence)
{
    m_AckLock.Lock();
    if (m_nPendingAcks < STUN_RX_ACK_MAX) m_awPendingAcks[m_nPendingAcks++] = sequence;
    if (m_nPendingAcks == STUN_RX_ACK_MAX) FlushAcks();
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
    }
    m_AckLock.Unlock();
    return ack;
}

void CRUDPClient::FlushAcks()
{
    m_AckLock.Lock();
    if (m_nPendingAcks > 0) {
        uint8_t datagram[STUN_RX_ACK_LENGTH_MAX];
        int n = BuildRxAck(datagram, m_awPendingAcks, m_nPendingAcks);
        m_nPendingAcks = 0;
        // A lost acknowledgement costs a resend, nothing more.
        if (m_bSocketOpen) SendDatagram(datagram, n);
    }
    m_AckLock.Unlock();
}

void CRUDPClient::ReopenWindowIfLow()
{
    m_AckLock.Lock();
    if (m_bTxFull && !m_pTxRing->IsAboveLowWater()) {
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
        if (!IsUp()) return false;
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
    bool ok = IsUp();
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
    if (!ok && !m_bClosing) SetState(CLIENT_SEND_FAILED);
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
    const bool hasData = m_pRxRing->HasData();
    if (m_pRxRing->FreeSlots() > (uint32_t)RUDP_RESUME_ABOVE_FREE) {
        m_bRxPaused = false;
        m_Space.Set();
    }
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
            SleepMs(10);
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
                if (i) SleepMs(RUDP_BYE_SPACING_MS);
                SendDatagram(bye, length);
            }
        }
    }
    m_bSocketOpen = false;
    SetState(CLIENT_CLOSED);
    Wake();

    bool workerGone = true;
    if (m_bStarted) {
        const uint32_t spent = TickSince(start);
        const uint32_t budget = DATAGRAM_STREAM_CLOSE_MS - 100;
        workerGone = m_Thread.WaitForExit(spent < budget ? budget - spent : 0);
        if (!workerGone) workerGone = !m_Thread.IsRunning();
    }
    // With the worker gone and no send in progress (a send wakes at the state
    // change and leaves), nobody else can be inside a call on the socket.
    if (workerGone) {
        m_SendLock.Lock();
        CloseSocket(m_hSocket);
        m_hSocket = QV_INVALID_SOCKET;
        m_SendLock.Unlock();
    } else {
        m_bCloseDone = false; // the destructor waits the worker out and closes then
    }
}

// ---------------------------------------------------------------------------
// Invariants

const char* CRUDPClient::CheckInvariants()
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
    if (!why) why = m_pTxRing->CheckSendRing();
    if (!why) why = m_pRxRing->CheckReceiveRing();
    m_RxLock.Unlock();
    m_AckLock.Unlock();
    return why;
}
