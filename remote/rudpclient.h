// The reliable byte stream over the UDP path that hole punching opened: ordered,
// acknowledged, resent when lost. The session and the loopback bridge use it as
// the transport's datagram stream (CDatagramStream), exactly as they use a TCP
// socket. The protocol is symmetric: the controller side runs the same class.
//
// Threads: the caller's threads (one sending, one reading) and the client's own
// worker, which receives every datagram, stores data, sends acknowledgements and
// resends what is due. The send lock serialises whole sends; the
// acknowledgement lock guards the send ring and the pending acknowledgements;
// the receive lock guards the receive ring. The socket is closed only by Close
// or the destructor, after the worker has ended and no send is in progress, or
// earlier to end a call on it that the worker sits in past its bound.
//
// A subclass that overrides Now, Pause or SendOnWire must Close in its own
// destructor, so that the worker has ended before its overrides go away.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "../protocol/xconnection.h"
#include "../util/qvsignal.h"
#include "../util/qvsocket.h"
#include "../util/qvthread.h"
#include "relaypacket.h"
#include "ringbuffer.h"

enum ClientState {
    CLIENT_UP = 0,
    CLIENT_SEND_FAILED = 2,
    CLIENT_RECEIVE_FAILED = 3,
    CLIENT_CLOSED = 4,
};

// Bounds of the stream's own waits (milliseconds).
const uint32_t RUDP_WORKER_WAIT_MS = 25; // worker's wait for a datagram; pending acks go out after it
// Home routers drop a UDP mapping that has carried nothing for 30 to 180 s; an
// idle stream says something every 15 s, so that even the shortest of them
// keeps it with one keep-alive lost.
const uint32_t RUDP_KEEPALIVE_MS = 15000;
const uint32_t RUDP_ACK_DELAY_MIN_MS = 2;    // our acknowledgements wait at least this for company
const int RUDP_RECEIVE_BATCH = 32;           // datagrams handled per wait before the timers are looked at
const uint32_t RUDP_NEGOTIATE_WAIT_MS = 500; // per parameter proposal
const int RUDP_NEGOTIATE_TRIES = 5;
const uint32_t RUDP_CLOSE_DRAIN_MS = 5000; // Close waits this long for sent data to be acknowledged
const int RUDP_BYE_COPIES = 3;             // Close says BYE this many times, a lost one being final
const uint32_t RUDP_BYE_SPACING_MS = 20;   // apart, so that one burst of loss does not take them all
const uint32_t RUDP_WORKER_STOP_MS = 1000; // and this long for the worker to end
// Part of that bound kept for a worker that sits in a call on the socket: the
// socket is interrupted (closed, where only that ends the call), and the worker
// leaves at the end of its pass.
const uint32_t RUDP_WORKER_WAKE_MS = 200;
// After the peer's BYE the stream goes on taking in and acknowledging (it sends
// nothing else) while a packet is missing, for up to RUDP_CLOSE_DRAIN_MS: the
// controller says BYE before it has resent what is unacknowledged. With nothing
// missing it ends once nothing has arrived for this long, more than the
// controller's shortest resend time-out, so that a lost last packet still comes.
const uint32_t RUDP_BYE_LINGER_MS = 1000;
const uint32_t RUDP_WORKER_STACK = 256000;
const int RUDP_TOS = 0xB8; // expedited forwarding: ask the network for low delay

class CRUDPClient : public CDatagramStream, protected CDatagramOut
{
  public:
    // Takes over the socket (the one the lookup and hole punching used) and the
    // peer's address. The worker is not started. Both ends start from
    // STUN_PARAMS_INITIAL; only the fuzz target starts from the block its peer
    // is about to propose, so that it does not build rings it throws away at once.
    CRUDPClient(QVSOCKET socket, const QVSockAddr& peer, const TransferParams& initial = STUN_PARAMS_INITIAL);
    virtual ~CRUDPClient();

    // Proposes a parameter block and adopts it, answered or not (the peer adopts
    // it when the proposal arrives). Before Start only. True when the peer
    // answered; false without an answer, after Start, or for a block that is not
    // usable (which is then neither sent nor adopted).
    // The waits ask the observer (may be null); a cancel ends the agreement at once,
    // unanswered.
    bool Negotiate(const TransferParams& block, CAttemptObserver* observer = nullptr);
    void Start();
    // Before Start only; the launcher's default is its own policy.
    void SetPolicy(RudpPolicy policy);
    RudpPolicy GetPolicy() const { return m_ePolicy; }

    // Before Start only: both rings continue from this sequence number instead
    // of 0 (tests and the fuzz target cross the wrap without sending a
    // modulus's worth of packets first). A later parameter block starts from 0.
    void StartSequencesAt(uint16_t sequence);

    // False also once the peer has said BYE.
    bool Send(const void* data, int length) override;
    // In-order bytes, also those that arrived before a BYE from the peer or a
    // failure; 0 when none are left, and always 0 once Close has begun.
    int Receive(void* buffer, int size) override;
    bool WaitReadable(uint32_t ms) override;
    bool IsUp() override;
    void Close() override;
    QVSOCKET GetReadySocket() override { return m_DataReady.GetSocket(); }

    // Closed after the peer's BYE only when nothing it sent is known to be
    // missing; ReceiveFailed when a packet before one that arrived never came.
    ClientState GetState() const { return (ClientState)m_nState.load(); }
    // The peer has said BYE; while still up, the stream takes in what is missing.
    bool PeerHasLeft() const { return m_bPeerLeft; }
    TransferParams GetParams();
    const QVSockAddr& GetPeer() const { return m_Peer; }

    // The worker's handling of one received datagram and of a pass without one,
    // usable without the worker (the fuzz target drives the client through them).
    // HandleDatagram never waits.
    void HandleDatagram(const uint8_t* data, int length);
    void ServiceTimers(bool idle);
    // Both rings' rules and the client's own; null when they hold.
    RING_CHECKER const char* CheckInvariants();
    // Whether this sequence number of the peer's was stored (and so may be
    // acknowledged). For the checkers.
    RING_CHECKER bool WasStored(uint16_t sequence);

  protected:
    // The clock of resends and round trips. Tests make it run faster.
    virtual uint32_t Now();
    // Close's own short waits (between its BYEs). The fuzz target passes them
    // on its own clock instead of sleeping.
    virtual void Pause(uint32_t ms);
    // One datagram to the peer. The fuzz target keeps them instead.
    virtual bool SendOnWire(const uint8_t* data, int length);
    // Every datagram goes through here: the keep-alive counts from the last one.
    bool SendDatagram(const uint8_t* data, int length) final;
    // Whether a Send would now wait for the window (the fuzz target never lets one wait).
    bool IsWindowShut();

  private:
    CRUDPClient(const CRUDPClient&) = delete;
    CRUDPClient& operator=(const CRUDPClient&) = delete;

    struct WorkerGate;
    struct WorkerStart;
    static uint32_t ThreadProc(void* parameter);
    bool Pass();
    void SetState(ClientState state);
    void Wake();
    void OnData(const StunDataPacket& packet);
    void OnAcks(const uint16_t* sequences, int count);
    void OnParams(const TransferParams& block);
    void EndWithBye(ClientState state);
    void BeginDrain();
    void ServiceDrain(uint32_t now);
    void TakeHeldPackets();
    void ReleaseWorker();
    void SendRepeatedAcks();
    bool RebuildRings(const TransferParams& block, bool mustBeIdle, bool* busy);
    int Write(const uint8_t* data, int length);
    void KeepAlive(uint32_t now);
    uint32_t AckDelay();
    void QueueAck(uint16_t sequence);
    uint16_t TakeAck();
    void FlushAcks();
    void ReopenWindowIfLow();
    bool WaitForWindow();
    // Datagrams from anyone but the peer are not this stream's.
    bool IsFromPeer(const QVSockAddr& from) const;

    RudpPolicy m_ePolicy;            // set before Start
    TransferParams m_Params;         // under both the ack and the receive lock
    CRingBuffer* m_pTxRing;          // under the ack lock
    CRingBuffer* m_pRxRing;          // under the receive lock
    QVSOCKET m_hSocket;              // closed only once the worker has ended, under the send lock
    std::atomic<bool> m_bSocketOpen; // false once closed by either side
    QVSockAddr m_Peer;
    std::atomic<int> m_nState;
    std::atomic<bool> m_bClosing; // Close has begun: the stream is no longer up for its users
    std::atomic<bool> m_bCloseDone;
    bool m_bTxFull; // under the ack lock
    std::atomic<bool> m_bAckSeen;
    std::atomic<bool> m_bStarted;
    std::atomic<bool> m_bWorkerReleased; // the destructor stopped waiting; the gate keeps the worker out
    std::atomic<bool> m_bSocketGone;     // interrupted under a worker that did not end: nothing more uses it
    std::atomic<bool> m_bPeerLeft;       // the peer said BYE; the stream takes in what is missing
    uint32_t m_dwByeAt;                  // the worker's: when the peer said BYE
    uint32_t m_dwLastArrival;            // the worker's: when data last came after it
    std::shared_ptr<WorkerGate> m_pGate;
    CQVThread m_Thread;
    CQVCritical m_AckLock;
    CQVCritical m_SendLock;
    CQVCritical m_RxLock;
    CQVSemaphore m_WindowOpen;
    CQVSignal m_DataReady;
    uint16_t m_awPendingAcks[STUN_RX_ACK_MAX]; // under the ack lock
    int m_nPendingAcks;
    uint16_t m_awRepeatAcks[STUN_RX_ACK_MAX]; // sent once, to go again in the next list
    int m_nRepeatAcks;
    uint32_t m_dwAckSince;                   // when the pending ones began to wait, or the last list went
    std::atomic<uint32_t> m_dwLastSent;      // Now() of the last datagram sent
    bool m_bKeepAliveArmed;                  // the worker's
    bool m_bInBatch;                         // the worker's: handling a batch of datagrams
    bool m_bWakeReader;                      // the worker's: data stored during the batch
    uint8_t m_abReceive[STUN_LARGE_RECEIVE]; // the worker's
};
