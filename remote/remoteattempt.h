// The remote connection procedure as one object per attempt (remoteconnect.h is
// its public face). Internal to remote/: the steps share the transport, the pool,
// the observer and one cancel latch.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "../protocol/attempt.h"
#include "../protocol/xconnection.h"
#include "relaypacket.h"
#include "remoteconnect.h"
#include "resolve.h"
#include "serverpool.h"

// Stands between the procedure and the caller's observer: passes status lines on,
// and remembers a "no" from KeepWaiting so that every step after it ends at once.
class CCancelLatch : public CAttemptObserver
{
  public:
    explicit CCancelLatch(CAttemptObserver* inner) : m_pInner(inner), m_bCancelled(false) {}
    void OnStatus(const char* text) override { AttemptStatus(m_pInner, text); }
    void OnProgress(uint32_t done, uint32_t total) override
    {
        if (m_pInner) m_pInner->OnProgress(done, total);
    }
    bool KeepWaiting() override
    {
        if (!m_bCancelled && !AttemptKeepWaiting(m_pInner)) m_bCancelled = true;
        return !m_bCancelled;
    }
    bool IsCancelled() const { return m_bCancelled; }

  private:
    CAttemptObserver* m_pInner;
    bool m_bCancelled;
};

// A socket with one closer: whatever way a step leaves, what it still holds is
// closed; Release hands the socket on (to the transport or the reliable stream).
class CSocketHolder
{
  public:
    explicit CSocketHolder(QVSOCKET s = QV_INVALID_SOCKET) : m_hSocket(s) {}
    ~CSocketHolder() { Close(); }
    QVSOCKET Get() const { return m_hSocket; }
    bool IsOpen() const { return m_hSocket != QV_INVALID_SOCKET; }
    void Close()
    {
        CloseSocket(m_hSocket);
        m_hSocket = QV_INVALID_SOCKET;
    }
    void Reset(QVSOCKET s)
    {
        Close();
        m_hSocket = s;
    }
    QVSOCKET Release()
    {
        QVSOCKET s = m_hSocket;
        m_hSocket = QV_INVALID_SOCKET;
        return s;
    }

  private:
    CSocketHolder(const CSocketHolder&) = delete;
    CSocketHolder& operator=(const CSocketHolder&) = delete;
    QVSOCKET m_hSocket;
};

// A UDP socket bound to any local address and port; QV_INVALID_SOCKET on failure.
QVSOCKET OpenRemoteUdpSocket();
// The discovery server's address text as an address value: four dotted decimal
// fields of 0 to 255 and nothing else. 0 for anything else, and for 0.0.0.0 and
// 255.255.255.255, which name no controller.
uint32_t ParseControllerAddress(const char* text);

class CRemoteAttempt
{
  public:
    CRemoteAttempt(CXConnection& transport, CServerPool& pool, const RemoteSettings& settings,
                   CAttemptObserver* observer);
    ConnectResult Run(const std::string& systemName);

  private:
    enum ProbeResult { PROBE_ANSWERED, PROBE_RELOADED, PROBE_NO_ANSWER, PROBE_FAILED };
    enum SideBySide { SIDE_BY_SIDE_DONE, SIDE_BY_SIDE_RELOADED, SIDE_BY_SIDE_CANCELLED };
    // One list entry in the side-by-side probe.
    struct ProbedRelay {
        QVSockAddr address;
        const char* name;
        bool usable;   // resolved, and every sending went out
        bool answered; // its answer counted
        int sent;
    };
    enum Received { RECEIVED_DATAGRAM, RECEIVED_NOTHING, RECEIVED_ERROR };

    NetworkState DiscoverNetwork();
    // The sequential probe, relay after relay, and ours, every relay at once.
    ProbeResult ProbeServer(QVSOCKET s, int index, QVSockAddr* mapped);
    NetworkState ProbeSideBySide();
    // Probes the relays until two answers count or every relay had its time; the
    // public addresses they gave in seen.
    SideBySide ProbeRelays(QVSOCKET s, std::vector<ProbedRelay>& relays, QVSockAddr* seen, int* answers);
    // The probe answers waiting on the socket, matched to the relays by sender, in
    // list order; false when cancelled.
    bool AnswersAtHand(QVSOCKET s, const std::vector<ProbedRelay>& relays,
                       std::vector<std::pair<size_t, StunProbeAck>>* heard);
    // Whether a probe answer counts as it stands; false when its checksum made the
    // pool fetch the server's list (the probe then starts again, or was cancelled).
    bool TakeProbeAnswer(QVSOCKET s, const QVSockAddr& server, const StunProbeAck& ack);
    // The network state from the public addresses the first answers gave.
    NetworkState Decide(const QVSockAddr* seen, int answers);
    ConnectResult LookupController(NetworkState state, const std::string& systemName);
    ConnectResult PunchHole(const QVSockAddr& peer, CSocketHolder& socket);
    ConnectResult ConnectTurn(const ServerEntry& relay, uint16_t port, uint32_t sessionId);
    ConnectResult QueryDiscoveryServer(const std::string& systemName);
    // Collects the discovery server's whole answer; Ok, Cancelled or NoServerResponse.
    ConnectResult ReceiveDServerAnswer(QVSOCKET s, uint8_t* buffer, int* length);
    // A TCP connection within timeoutMs that asks the observer while it waits.
    ConnectResult ConnectTcp(const QVSockAddr& to, uint32_t timeoutMs, CSocketHolder& out);

    // Waits until the deadline for a datagram from `from` (others are dropped
    // unread by the caller's rules: see the steps) and reads it into buffer.
    Received WaitDatagram(QVSOCKET s, uint32_t start, uint32_t waitMs, uint8_t* buffer, int size, int* length,
                          QVSockAddr* sender);
    void Status(const std::string& text) { m_Latch.OnStatus(text.c_str()); }
    bool Cancelled() const { return m_Latch.IsCancelled(); }

    CXConnection& m_Transport;
    CServerPool& m_Pool;
    const RemoteSettings& m_Settings;
    CCancelLatch m_Latch;
    CHostResolver m_Resolver;
    int m_nReloads;
    bool m_bReloadBoundReported;
    std::vector<QVSockAddr> m_Answered; // relays whose probe answer counted: UDP reaches them
};
