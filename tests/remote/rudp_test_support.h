// Shared pieces of the reliable-stream tests: a raw UDP socket standing in for
// the peer (so tests see the datagrams exactly as they are on the wire),
// clients whose clock the test drives or speeds up, and datagram builders.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "remote/relaypacket.h"
#include "remote/rudpclient.h"
#include "util/qvsocket.h"
#include "util/qvtick.h"
#include "util/qvtypes.h"

namespace rudptest
{

typedef std::vector<uint8_t> Bytes;

// Sockets must be started before any test runs (Windows Sockets needs it).
inline bool StartSockets()
{
    static const bool started = SocketStartup();
    return started;
}

// A bound UDP socket on 127.0.0.1: the peer as the client sees it.
class RawPeer
{
  public:
    RawPeer() : m_hSocket(SocketUdp()), m_Address()
    {
        StartSockets();
        if (m_hSocket != QV_INVALID_SOCKET) {
            SocketBind(m_hSocket, MakeSockAddr(LoopbackAddress(), 0));
            SocketLocalAddr(m_hSocket, &m_Address);
        }
    }
    ~RawPeer() { CloseSocket(m_hSocket); }
    const QVSockAddr& Address() const { return m_Address; }
    QVSOCKET Socket() const { return m_hSocket; }

    // The next datagram within ms; false when none came.
    bool Recv(Bytes* datagram, uint32_t ms = 2000)
    {
        if (!SocketReadable(m_hSocket, ms)) return false;
        uint8_t buf[65536];
        int n = SocketRecvFrom(m_hSocket, buf, sizeof(buf), nullptr);
        if (n < 0) return false;
        datagram->assign(buf, buf + n);
        return true;
    }
    // The next datagram of this type within ms, skipping others.
    bool RecvType(uint8_t type, Bytes* datagram, uint32_t ms = 2000)
    {
        const uint32_t start = GetTick();
        while (TickSince(start) < ms) {
            if (!Recv(datagram, ms - TickSince(start))) return false;
            if (!datagram->empty() && (*datagram)[0] == type) return true;
        }
        return false;
    }
    // Every datagram that arrives within ms.
    std::vector<Bytes> Drain(uint32_t ms)
    {
        std::vector<Bytes> all;
        Bytes d;
        const uint32_t start = GetTick();
        while (TickSince(start) < ms && Recv(&d, ms - TickSince(start)))
            all.push_back(d);
        return all;
    }
    bool SendTo(const QVSockAddr& to, const Bytes& datagram)
    {
        return SocketSendTo(m_hSocket, datagram.data(), (int)datagram.size(), to) == (int)datagram.size();
    }

  private:
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;
    QVSOCKET m_hSocket;
    QVSockAddr m_Address;
};

// A client whose clock the test sets (Now() returns what the test gave), for
// resends and round trips without waiting for them.
class ManualClockClient : public CRUDPClient
{
  public:
    ManualClockClient(QVSOCKET s, const QVSockAddr& peer, uint32_t start = 100000)
        : CRUDPClient(s, peer), m_dwNow(start)
    {
    }
    ~ManualClockClient() override { Close(); }
    void SetNow(uint32_t now) { m_dwNow = now; }
    void Advance(uint32_t ms) { m_dwNow += ms; }
    uint32_t Clock() const { return m_dwNow; }

  protected:
    uint32_t Now() override { return m_dwNow; }

  private:
    std::atomic<uint32_t> m_dwNow;
};

// A client whose clock runs factor times faster than the real one, so that
// resend time-outs of seconds pass in tens of milliseconds.
class FastClockClient : public CRUDPClient
{
  public:
    FastClockClient(QVSOCKET s, const QVSockAddr& peer, uint32_t factor)
        : CRUDPClient(s, peer), m_dwStart(GetTick()), m_nFactor(factor)
    {
    }
    ~FastClockClient() override { Close(); }

  protected:
    uint32_t Now() override { return m_dwStart + TickSince(m_dwStart) * m_nFactor; }

  private:
    const uint32_t m_dwStart;
    const uint32_t m_nFactor;
};

// A fresh UDP socket on 127.0.0.1 for a client, and its address.
inline QVSOCKET ClientSocket(QVSockAddr* address)
{
    StartSockets();
    QVSOCKET s = SocketUdp();
    if (s != QV_INVALID_SOCKET) {
        SocketBind(s, MakeSockAddr(LoopbackAddress(), 0));
        SocketLocalAddr(s, address);
    }
    return s;
}

inline Bytes DataPacket(uint16_t seq, const Bytes& payload, uint16_t ack = STUN_NO_ACK)
{
    Bytes d(payload.size() + 5);
    int n = BuildDataPacket(d.data(), (int)d.size(), seq, payload.data(), (int)payload.size(), ack);
    d.resize(n < 0 ? 0 : (size_t)n);
    return d;
}

inline Bytes RxAck(const std::vector<uint16_t>& seqs)
{
    Bytes d(1 + 2 * seqs.size());
    d[0] = STUN_RX_ACK;
    for (size_t i = 0; i < seqs.size(); i++)
        PutLE16(&d[1 + 2 * i], seqs[i]);
    return d;
}

inline Bytes Params(const TransferParams& p)
{
    Bytes d(STUN_PARAMS_LENGTH);
    BuildParams(d.data(), p);
    return d;
}

inline Bytes Single(uint8_t type)
{
    return Bytes(1, type);
}

inline uint16_t SeqOf(const Bytes& datagram)
{
    return datagram.size() >= 3 ? GetLE16(&datagram[1]) : 0xFFFF;
}

inline void Feed(CRUDPClient& client, const Bytes& datagram)
{
    // An exact-size copy on the heap: a read past its end is an error the address
    // sanitizer reports.
    std::vector<uint8_t> copy(datagram);
    client.HandleDatagram(copy.empty() ? nullptr : copy.data(), (int)copy.size());
}

inline std::string ReadAll(CRUDPClient& client)
{
    std::string out;
    char buf[4096];
    int n;
    while ((n = client.Receive(buf, sizeof(buf))) > 0)
        out.append(buf, (size_t)n);
    return out;
}

} // namespace rudptest
