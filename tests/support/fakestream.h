// The one fake datagram stream of the tests, fuzz targets and benchmarks: a
// controller's side held in memory, keeping the whole stream contract (threads,
// readiness socket, Close ending a Send in progress) and able to misbehave on
// purpose (sends that block, a stream that stays readable when drained, chunked
// delivery).
#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/datagramstream.h"
#include "util/qvsignal.h"

class CFakeStream : public CDatagramStream
{
  public:
    CFakeStream();
    ~CFakeStream() override;

    // --- the controller's side (any thread)
    void Push(const void* data, size_t size);
    void Push(const std::string& bytes) { Push(bytes.data(), bytes.size()); }
    // The peer goes away: IsUp turns false, readers wake.
    void Drop();
    // Waits until the launcher has sent at least n bytes; returns all it sent.
    std::string Sent(size_t n = 0, uint32_t ms = 0);
    bool WaitClosed(uint32_t ms);
    bool WasClosed();

    // --- misbehaviour, set before use
    // Receive hands out at most these many bytes per call, in turn (empty: all).
    void SetChunks(std::vector<size_t> chunks);
    // Once drained: stays up for this many more IsUp questions (-1: for ever).
    void SetUpAfterDrain(int questions);
    // Once drained, WaitReadable still says readable (Receive then gives 0).
    void SetReadableWhenDrained(bool readable);
    // Send blocks until Close (and then fails), as a stream whose peer keeps its
    // window shut would until its stall bound.
    void SetSendBlocks(bool blocks);
    // No readiness socket: readers must fall back to WaitReadable.
    void SetOffersReadySocket(bool offers);
    // WaitReadable answers at once: for a single-threaded user, where nobody could
    // push while it waits and waiting would only burn time.
    void SetWaitsAtOnce(bool atOnce);

    struct Stats {
        size_t waits = 0, receives = 0, sends = 0;
    };
    Stats GetStats();

    // --- the stream contract
    bool Send(const void* data, int length) override;
    int Receive(void* buffer, int size) override;
    bool WaitReadable(uint32_t ms) override;
    bool IsUp() override;
    void Close() override;
    QVSOCKET GetReadySocket() override;

  private:
    bool DrainedLocked() const { return m_nPos >= m_In.size(); }
    bool UpLocked();
    void UpdateSignalLocked();

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<uint8_t> m_In;
    size_t m_nPos = 0;
    std::string m_Out;
    std::vector<size_t> m_Chunks;
    size_t m_nNextChunk = 0;
    int m_nUpAfterDrain = -1;
    bool m_bReadableWhenDrained = false;
    bool m_bSendBlocks = false;
    bool m_bOffersReady = true;
    bool m_bWaitsAtOnce = false;
    bool m_bDropped = false;
    bool m_bClosed = false;
    Stats m_Stats;
    // Made on first use: the session never asks for it, and a fuzz input should
    // not pay for two sockets.
    std::unique_ptr<CQVSignal> m_pReady;
};
