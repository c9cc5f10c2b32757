// The controller's side of the registration with relay servers (our own format,
// enroll_wire.h; described in sim/relay/README.md). Keeps the controller enrolled
// under its system name, punches a hole towards a launcher when a relay says where
// one is, and opens the controller side of relayed TCP sessions.
//
// What it hands to a session server plugged on top:
// - OnPunched(udp socket, launcher address): the first hello from a launcher was
//   answered with a hello acknowledgement. The socket (with anything already queued
//   on it) and the launcher's address pass to the callee, which now owns the socket
//   and serves the reliable stream on it (answering further hellos itself). The
//   enrollment goes on from a fresh socket, so that other launchers can still come.
// - OnTurn(tcp socket, session id): the controller side of a relayed session is
//   connected (a blocking socket) and its preamble sent; the launcher's bytes
//   (controller messages, no direct preamble) follow on it. The callee owns the
//   socket.
// OnPunched runs on the enrollment's thread, OnTurn on a short-lived thread of the
// session's connect; both must return promptly (serve the session on a thread of
// their own).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../util/qvsocket.h"
#include "../tools/simserver.h"

struct EnrollConfig {
    std::string systemName;
    std::vector<QVSockAddr> relays; // UDP endpoints of the relay servers to enroll with
    uint32_t localAddress = 0;      // network order; 0: any
    uint16_t localPort = 0;         // 0: any free port
    uint32_t enrollPeriodMs = 1000;
    uint32_t helloPeriodMs = 100; // hellos towards a launcher while punching
    uint32_t punchMs = 5000;      // how long hellos go out after a SENDTO notice
    uint32_t turnConnectMs = 3000;
    uint32_t tag = 0; // sent in every enrollment (tells restarts apart); 0: made up
};

struct EnrollStats {
    uint32_t enrollsSent = 0;
    uint32_t enrollAcks = 0;
    uint32_t sendtoNotices = 0;
    uint32_t turnNotices = 0;
    uint32_t hellosSent = 0;
    uint32_t hellosReceived = 0;
    uint32_t punched = 0;
    uint32_t turnsOpened = 0;
    uint32_t turnsFailed = 0;
};

typedef std::function<void(QVSOCKET udp, const QVSockAddr& launcher)> PunchedCallback;
typedef std::function<void(QVSOCKET tcp, uint32_t sessionId)> TurnCallback;
typedef SimLineCallback EnrollLogCallback;

class CRelayEnrollment : public CSimStatsLog<EnrollStats>
{
  public:
    explicit CRelayEnrollment(const EnrollConfig& config);
    ~CRelayEnrollment(); // stops

    // Set before Start. Without OnPunched a punched socket is kept and hellos go on
    // being answered; without OnTurn a relayed session is closed after its preamble.
    void SetPunchedCallback(PunchedCallback cb) { m_pfnPunched = cb; }
    void SetTurnCallback(TurnCallback cb) { m_pfnTurn = cb; }

    // Opens the socket and starts enrolling; false when the socket cannot be bound.
    bool Start();
    void Stop();

    // Whether a relay acknowledged an enrollment of the current socket, and the
    // public endpoint that it saw.
    bool IsEnrolled() const;
    QVSockAddr GetPublicAddress() const;
    // The local endpoint of the current socket.
    QVSockAddr GetLocalAddress() const;
    // Waits until the condition on the statistics holds or the time runs out.
    bool WaitUntil(const std::function<bool(const EnrollStats&)>& condition, uint32_t timeoutMs) const;

  private:
    struct Punch {
        QVSockAddr target;
        uint32_t until = 0;
        uint32_t nextHello = 0;
    };
    struct Seen {
        QVSockAddr relay;
        uint32_t id;
    };
    CRelayEnrollment(const CRelayEnrollment&) = delete;
    CRelayEnrollment& operator=(const CRelayEnrollment&) = delete;

    bool OpenSocket();
    void Loop();
    void Handle(const uint8_t* data, int len, const QVSockAddr& from);
    bool IsRelay(const QVSockAddr& a) const;
    // Whether the notice (relay, id) was acted on already; records it otherwise.
    bool AlreadySeen(const QVSockAddr& relay, uint32_t id);
    void OpenTurn(const QVSockAddr& relay, uint16_t port, uint32_t sessionId);
    void HandOver(const QVSockAddr& launcher);

    EnrollConfig m_Config;
    PunchedCallback m_pfnPunched;
    TurnCallback m_pfnTurn;
    std::atomic<bool> m_bRunning;
    std::thread m_Thread;
    QVSOCKET m_hUdp; // owned by the thread once started

    // Under m_Lock, with the statistics:
    bool m_bEnrolled;
    QVSockAddr m_Public, m_Local;
    std::vector<Punch> m_Punches;
    std::vector<Seen> m_Seen;
    std::vector<QVSockAddr> m_SeenBy; // per relay: the endpoint it last acknowledged
    CSimWorkers m_Connects;           // one per relayed session being opened
};

// Platform seam of this library (enroll_socket_posix.cpp, enroll_socket_win32.cpp): a
// socket connected without blocking is made blocking again before it is handed over.
bool EnrollSetBlocking(QVSOCKET s);
