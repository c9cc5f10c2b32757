// The controller's side of the reliable UDP stream, for tests, benchmarks and
// the scenarios: wait for a hello, answer it, and serve a CRUDPClient on that
// socket (the protocol is symmetric; the worker itself answers later hellos and
// parameter proposals). Also the launcher's side of the same hand-shake, for
// tests and benchmarks that need a connected stream without the relay servers.
//
// Bytes are checked against a pattern that depends on their position in the
// stream, so that a lost, repeated or misplaced byte anywhere in a transfer of
// any size is found without keeping a copy.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "../../remote/rudpclient.h"
#include "../../util/qvsocket.h"

// The pattern byte at each stream position, written or checked in place.
void PatternFill(uint64_t offset, uint8_t* out, size_t length);
// Index of the first byte that differs from the pattern, or length when all match.
size_t PatternMismatch(uint64_t offset, const uint8_t* data, size_t length);

// Waits for hellos on a bound UDP socket.
class CRudpListener
{
  public:
    CRudpListener();
    ~CRudpListener();
    // Binds (port 0: any free port). False when the socket cannot be made or bound.
    bool Open(const QVSockAddr& local);
    QVSockAddr GetAddress() const { return m_Address; }
    // Waits up to ms for a STUN_HELLO (other datagrams are dropped), answers it with
    // STUN_HELLO_ACK and returns a started stream to its sender. The stream owns
    // the socket from then on; Open again for the next one. Null on time-out or
    // when stop becomes true.
    CRUDPClient* Accept(uint32_t ms, const std::atomic<bool>* stop = nullptr,
                        RudpPolicy policy = RUDP_POLICY_CONTROLLER);

  private:
    CRudpListener(const CRudpListener&) = delete;
    CRudpListener& operator=(const CRudpListener&) = delete;
    QVSOCKET m_hSocket;
    QVSockAddr m_Address;
};

// The launcher's side: hellos to peer (every 250 ms) until a STUN_HELLO_ACK
// comes, then Negotiate with block (unless null) and Start. Null when no answer
// came within ms. local: where to bind (null: 127.0.0.1, any port).
CRUDPClient* RudpConnect(const QVSockAddr& peer, const TransferParams* block, uint32_t ms,
                         const QVSockAddr* local = nullptr, RudpPolicy policy = RUDP_POLICY_OWN);

// What a serving peer does with one stream.
struct RudpServeOptions {
    bool echo = false;          // send back every byte read (instead of checking it)
    bool verify = true;         // when not echoing: check what arrives against the pattern
    uint64_t sendBytes = 0;     // pattern bytes to send beside reading, from the first byte read on
    bool closeWhenSent = false; // Close the stream once sendBytes have gone out
    // How the peer's streams recover: as the controller does, unless a test
    // wants two launchers' ends.
    RudpPolicy policy = RUDP_POLICY_CONTROLLER;
};

struct RudpServeResult {
    uint64_t received = 0;
    uint64_t sent = 0;
    bool patternOk = true;
    uint64_t firstBad = 0; // stream position of the first wrong byte
    bool sendOk = true;
    ClientState endState = CLIENT_UP;
};

// Serves one stream until it is no longer up (the peer said BYE, it failed, or
// stop became true, which closes it). Reads on the calling thread; sends on a
// second thread when sendBytes is set, so neither direction waits for the other.
// progress (when given) follows the bytes read as they come.
void RudpServe(CRUDPClient* stream, const RudpServeOptions& options, RudpServeResult* result,
               const std::atomic<bool>* stop, std::atomic<uint64_t>* progress = nullptr);

// A peer on its own thread: accepts streams one after another on one address
// and serves each. For tests in process and for the standalone program.
class CRudpPeer
{
  public:
    explicit CRudpPeer(const RudpServeOptions& options);
    ~CRudpPeer(); // stops
    // Binds local (null: 127.0.0.1, any port) and starts accepting.
    bool Start(const QVSockAddr* local = nullptr);
    void Stop();
    QVSockAddr GetAddress() const { return m_Address; }
    // Waits until served streams have ended; false on time-out.
    bool WaitServed(int streams, uint32_t ms);
    int Served();
    RudpServeResult LastResult();
    // Bytes read so far from the stream being served (or the last one).
    uint64_t ReceivedNow() const { return m_nReceivedNow; }
    // The stream being served, closed at once (a peer that leaves in an orderly way).
    void CloseCurrent();

  private:
    CRudpPeer(const CRudpPeer&) = delete;
    CRudpPeer& operator=(const CRudpPeer&) = delete;
    void Run();

    RudpServeOptions m_Options;
    CRudpListener m_Listener;
    QVSockAddr m_Address;
    std::atomic<bool> m_bStop;
    std::thread m_Thread;
    std::mutex m_Lock;
    CRUDPClient* m_pCurrent; // under m_Lock; deleted only by the peer's thread
    int m_nServed;
    RudpServeResult m_Last;
    std::atomic<uint64_t> m_nReceivedNow;
};
