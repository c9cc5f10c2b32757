// A stand-in relay server for tests, the lab and the demo: answers the launcher's
// probe, server-list and lookup datagrams, keeps the enrollments of controllers,
// tells an enrolled controller where a launcher is (so that both sides punch), and
// relays TCP sessions between a launcher and a controller.
//
// Every datagram is encoded and decoded here byte by byte, independently of the
// launcher's relay packet code, so that the two cross-check each other. It can
// misbehave on demand (silence, stray datagrams, late or cut answers).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../util/qvsocket.h"
#include "../tools/simserver.h"

// The launcher's relay datagram types that the relay reads or writes.
namespace relaywire
{
const uint8_t FIND = 2;
const uint8_t FIND_ACK = 3;
const uint8_t FIND_NACK = 4;
const uint8_t PROBE = 10;
const uint8_t PROBE_ACK = 11;
const uint8_t FIND_RELAY = 12;
const uint8_t TURN_ACK = 13;
const uint8_t TCP_ACK = 14;
const uint8_t LIST = 17;
const uint8_t LIST_ACK = 18;
const uint8_t NO_OP = 31;

const size_t PROBE_ACK_SIZE = 21;
const size_t LIST_COUNT_SIZE = 9;
const size_t LIST_ENTRY_SIZE = 195;
const size_t FIND_ACK_SIZE = 17;
const size_t TURN_ACK_SIZE = 7;
const size_t TCP_ACK_SIZE = 17;
const size_t NAME_FIELD = 64;  // server name in a list entry, system name in a lookup
const size_t HOST_FIELD = 128; // host in a list entry
} // namespace relaywire

struct RelayServerEntry {
    std::string name; // at most 63 characters are sent
    std::string host; // at most 127 characters are sent
    uint32_t port = 8500;
};

// The three kinds of request a fault can apply to.
enum RelayRequestKind { RELAY_PROBE = 0, RELAY_LIST = 1, RELAY_FIND = 2, RELAY_KINDS = 3 };

struct RelayFault {
    bool silent = false;    // never answer
    uint32_t dropFirst = 0; // ignore the first N requests, answer the later ones
    uint32_t strays = 0;    // datagrams of strayType sent just before each answer
    uint8_t strayType = relaywire::NO_OP;
    uint32_t lateMs = 0;   // each answer goes out this much later
    bool truncate = false; // each answer is one byte short
};

// How a lookup (FIND or FIND RELAY) for a system name is answered.
enum RelayLookupMode {
    LOOKUP_AUTO,     // enrolled: FIND -> FIND ACK, FIND RELAY -> TURN ACK; else FIND NACK
    LOOKUP_FIND_ACK, // enrolled (or fixed address given): FIND ACK for both kinds; else NACK
    LOOKUP_TURN,     // TURN ACK for both kinds (a session that no controller may join)
    LOOKUP_TCP,      // TCP ACK with the given address
    LOOKUP_NACK,     // FIND NACK
    LOOKUP_SILENT    // nothing
};

struct RelayLookupRule {
    RelayLookupMode mode = LOOKUP_AUTO;
    bool hasAddress = false;
    QVSockAddr address = {}; // FIND ACK's fixed endpoint or TCP ACK's endpoint
};

struct RelayConfig {
    uint32_t listenAddress = 0; // network order; 0 means 127.0.0.1
    uint16_t port = 8500;       // UDP (0: any free port)
    uint16_t turnPort = 0;      // TCP sessions (0: any free port; see GetTurnPort)
    std::vector<RelayServerEntry> servers;
    // The checksum sent in probe answers: the list's own, plus checksumOffset (a
    // relay whose checksum never matches the list it hands out).
    uint32_t checksumOffset = 0;
    // Count announced in list answers instead of the list's size; entries past the
    // list are made up ("Extra N", 192.0.2.N, 8500).
    bool announceSet = false;
    uint32_t announceCount = 0;
    std::map<std::string, RelayLookupRule> rules; // by system name
    RelayLookupRule defaultRule;
    RelayFault faults[RELAY_KINDS];
    uint32_t enrollLifetimeMs = 5000; // an enrollment not refreshed within this expires
    uint32_t noticeResendMs = 200;    // notices to a controller go again until acknowledged
    uint32_t noticeTries = 15;
    uint32_t turnWaitMs = 10000; // a session side waits this long for its partner
    uint32_t firstSessionId = 1; // session ids count up from here
};

struct RelayStats {
    uint32_t probes = 0;
    uint32_t listRequests = 0;
    uint32_t finds = 0;
    uint32_t findRelays = 0;
    uint32_t findAcks = 0;
    uint32_t findNacks = 0;
    uint32_t turnAcks = 0;
    uint32_t tcpAcks = 0;
    uint32_t enrolls = 0;
    uint32_t noticesSent = 0;
    uint32_t noticesAcked = 0;
    uint32_t sessionsPaired = 0;
    uint32_t sessionsEnded = 0;
    uint64_t bytesToController = 0;
    uint64_t bytesToLauncher = 0;
    uint32_t ignored = 0; // datagrams of other types, or too short to read
};

typedef SimLineCallback RelayLogCallback;

class CSimRelay : public CSimStatsLog<RelayStats>
{
  public:
    explicit CSimRelay(const RelayConfig& config);
    ~CSimRelay(); // stops

    // Binds the UDP socket and the TCP session listener and starts serving; false when
    // either cannot be bound.
    bool Start();
    // Ends every session and waits for the threads.
    void Stop();

    uint16_t GetPort() const { return m_nPort; }
    uint16_t GetTurnPort() const { return m_nTurnPort; }
    uint32_t GetAddress() const { return m_nAddress; }
    // The checksum of the configured list (the checksum rule shared with the launcher)
    // and the one the probe answers carry.
    uint32_t GetListChecksum() const { return m_nListChecksum; }
    uint32_t GetAdvertisedChecksum() const { return m_nListChecksum + m_Config.checksumOffset; }

    static uint32_t ListChecksum(const std::vector<RelayServerEntry>& servers);

  private:
    struct Enrollment;
    struct Notice;
    struct Delayed;
    struct Session;
    struct Recent;
    CSimRelay(const CSimRelay&) = delete;
    CSimRelay& operator=(const CSimRelay&) = delete;

    void UdpLoop();
    void HandleDatagram(const uint8_t* data, int len, const QVSockAddr& from);
    void HandleProbe(const uint8_t* data, int len, const QVSockAddr& from);
    void HandleList(const uint8_t* data, int len, const QVSockAddr& from);
    void HandleFind(const uint8_t* data, int len, const QVSockAddr& from);
    // The steps of a lookup: a repeat gets the earlier answer again; otherwise the
    // answer of the road its rule chooses, remembered for repeats.
    bool AnswerAgain(uint8_t type, const std::string& name, const QVSockAddr& from, const std::string& what);
    std::shared_ptr<Enrollment> FindEnrolled(const std::string& name);
    std::vector<uint8_t> NackAnswer(const std::string& name, bool enrolled, std::string* text);
    std::vector<uint8_t> PunchAnswer(const std::string& name, const RelayLookupRule& rule,
                                     const std::shared_ptr<Enrollment>& enrolled, const QVSockAddr& from,
                                     std::string* text);
    std::vector<uint8_t> TurnAnswer(const std::string& name, const std::shared_ptr<Enrollment>& enrolled,
                                    std::string* text);
    std::vector<uint8_t> TcpAnswer(const std::string& name, const RelayLookupRule& rule, std::string* text);
    void Remember(uint8_t type, const std::string& name, const QVSockAddr& from,
                  const std::vector<uint8_t>& answer, const std::string& text);
    void HandleEnroll(const uint8_t* data, int len, const QVSockAddr& from);
    void HandleNoticeAck(const uint8_t* data, int len, const QVSockAddr& from);
    // Sends an answer with the faults of its kind (strays, lateness, truncation).
    void Answer(RelayRequestKind kind, std::vector<uint8_t> bytes, const QVSockAddr& to,
                const std::string& what);
    // Whether the faults of this kind leave this request unanswered (counts it).
    bool Suppressed(RelayRequestKind kind, const std::string& what);
    void QueueNotice(const std::vector<uint8_t>& bytes, uint32_t id, const QVSockAddr& to,
                     const std::string& what);
    void RunTimers();
    uint32_t NewSessionId();

    void AcceptLoop();
    void ServeTcp(QVSOCKET s, QVSockAddr from);
    void Pump(uint32_t sid, QVSOCKET launcher, QVSOCKET controller);

    void SendDatagram(const std::vector<uint8_t>& bytes, const QVSockAddr& to);

    RelayConfig m_Config;
    uint32_t m_nListChecksum;
    std::atomic<bool> m_bRunning;
    QVSOCKET m_hUdp, m_hListen;
    uint32_t m_nAddress;
    uint16_t m_nPort, m_nTurnPort;
    std::thread m_UdpThread, m_AcceptThread;

    // Under m_Lock, with the statistics:
    uint32_t m_nSeen[RELAY_KINDS];
    std::map<std::string, std::shared_ptr<Enrollment>> m_Enrolled;
    std::vector<std::shared_ptr<Notice>> m_Notices;
    std::vector<std::shared_ptr<Delayed>> m_Delayed;
    std::map<uint32_t, std::shared_ptr<Session>> m_Sessions;
    std::vector<Recent> m_Recent;
    uint32_t m_nNextSid, m_nNextNotice;
    CSimWorkers m_Workers; // one per session connection
};
