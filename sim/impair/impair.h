// An impaired datagram path of our own, for tests and benchmarks: loss,
// duplication, reordering, delay and jitter, decided by a seeded generator (the
// same seed gives the same fates in the same order) and counted.
//
// CImpairLine is one direction: it takes datagrams, decides what happens to each
// and hands them back when their time has come. CUdpImpairProxy puts two lines
// between a client and an upstream UDP endpoint: the client sends to the
// proxy's address, the proxy forwards to the upstream endpoint from a socket of
// its own and sends the answers back to the client's address (the sender of
// the latest datagram from the client side).
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "../../util/qvsocket.h"

struct ImpairSettings {
    double loss = 0;            // probability that a datagram is dropped
    double duplicate = 0;       // probability that it goes out twice
    double reorder = 0;         // probability that it is held back so that later ones pass it
    uint32_t delayMs = 0;       // fixed delay of every datagram
    uint32_t jitterMs = 0;      // plus a uniform random delay of 0 to jitterMs
    uint32_t reorderHoldMs = 5; // extra delay of a reordered datagram
    // Never due before the datagram taken in before it: a path whose delay grows
    // or shrinks (a queue filling or draining) keeps its order.
    bool inOrder = false;
};

// Sees every datagram a line takes in, before its fate is decided (on the
// proxy's thread, under its lock).
class CImpairObserver
{
  public:
    virtual ~CImpairObserver() {}
    virtual void OnDatagram(bool toUpstream, const uint8_t* data, int length) = 0;
};

struct ImpairCounts {
    uint64_t received = 0;  // datagrams taken in
    uint64_t delivered = 0; // datagrams handed on (duplicates included)
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
    uint64_t bytesDelivered = 0;
};

class CImpairLine
{
  public:
    CImpairLine(const ImpairSettings& settings, uint32_t seed);
    void SetSettings(const ImpairSettings& settings) { m_Settings = settings; }
    // Null for none; toUpstream is handed on as given.
    void SetObserver(CImpairObserver* observer, bool toUpstream)
    {
        m_pObserver = observer;
        m_bToUpstream = toUpstream;
    }
    const ImpairSettings& GetSettings() const { return m_Settings; }

    // Takes a datagram at time nowUs (microseconds on any steady clock).
    void Push(const uint8_t* data, int length, uint64_t nowUs);
    // The next datagram due at nowUs, oldest due time first (datagrams due at the
    // same time keep their order); false when none is due.
    bool PopDue(uint64_t nowUs, std::vector<uint8_t>* datagram);
    // Microseconds until the next is due: 0 when one is due, UINT64_MAX when empty.
    uint64_t UsUntilNext(uint64_t nowUs) const;
    size_t Held() const { return m_Queue.size(); }
    const ImpairCounts& Counts() const { return m_Counts; }

  private:
    bool Chance(double p);
    void Schedule(const uint8_t* data, int length, uint64_t dueUs);

    ImpairSettings m_Settings;
    std::mt19937 m_Random;
    std::multimap<uint64_t, std::vector<uint8_t>> m_Queue;
    ImpairCounts m_Counts;
    uint64_t m_nLastDueUs = 0;
    CImpairObserver* m_pObserver = nullptr;
    bool m_bToUpstream = false;
};

class CUdpImpairProxy
{
  public:
    CUdpImpairProxy();
    ~CUdpImpairProxy(); // stops

    // Binds the client-side socket to local (port 0: any free port) and starts
    // forwarding to upstream. False when a socket cannot be made or bound.
    bool Start(const QVSockAddr& upstream, const ImpairSettings& toUpstream, const ImpairSettings& toClient,
               uint32_t seed, const QVSockAddr* local = nullptr);
    void Stop();
    // Where clients send.
    QVSockAddr GetAddress() const { return m_Address; }

    // Both take effect for the next datagram; held datagrams keep their fate.
    void SetSettings(const ImpairSettings& toUpstream, const ImpairSettings& toClient);
    // Sees both directions from the next datagram on; null for none. The
    // observer must outlive the proxy's use of it (until this is called with
    // null, or Stop).
    void SetObserver(CImpairObserver* observer);
    ImpairCounts CountsToUpstream();
    ImpairCounts CountsToClient();

  private:
    CUdpImpairProxy(const CUdpImpairProxy&) = delete;
    CUdpImpairProxy& operator=(const CUdpImpairProxy&) = delete;
    void Run();

    QVSOCKET m_hClientSide;
    QVSOCKET m_hUpstreamSide;
    QVSockAddr m_Address;
    QVSockAddr m_Upstream;
    QVSockAddr m_Client; // the proxy thread's
    bool m_bHaveClient;
    std::atomic<bool> m_bRunning;
    std::thread m_Thread;
    std::mutex m_Lock; // the lines
    CImpairLine* m_pUp;
    CImpairLine* m_pDown;
};

// Microseconds on a steady clock, for the lines' time.
uint64_t ImpairNowUs();
