// A stand-in controller for tests and the standalone simulator program: listens on
// TCP, checks the stream greeting, answers the challenge and the login, the version
// request, the two executable downloads and an echo request, and records what it saw.
// It can misbehave on demand so that the launcher's failure paths can be exercised.
//
// Besides the connections it accepts itself (the direct road, which opens with the
// greeting), it serves sessions on connections that reach it through a relay: a TCP
// socket of a relayed session, on which controller messages follow at once, and a
// hole-punched UDP path, on which it runs the controller's side of the reliable
// stream. All roads share one numbering of connections and one session logic.
//
// Its replies are encoded here byte by byte, independently of the launcher's own
// message class, so that tests cross-check the launcher's parser.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../util/qvsocket.h"

// Echo: the simulator answers SIM_MSG_ECHO with SIM_MSG_ECHO_REPLY and the same body.
const uint16_t SIM_MSG_ECHO = 9200;
const uint16_t SIM_MSG_ECHO_REPLY = 9201;
// Code of the stray messages sent by the "extra message" faults (body: one word).
const uint16_t SIM_MSG_STRAY = 9300;
// Default code of a refused login (anything but 28 is a refusal).
const uint16_t SIM_MSG_LOGIN_REFUSED = 29;

// Misbehaviour on demand. Each fault applies to the answers to requests whose code
// is onCode (0: to every request); closeAfterPieces applies to downloads only.
struct SimFaults {
    uint16_t onCode = 0;
    bool wrongReplyCode = false; // the answer carries wrongCode instead of request code + 1
    uint16_t wrongCode = 9000;
    bool extraForOtherId = false; // a message for otherId goes out before the answer
    uint16_t otherId = 4242;
    bool unsolicitedFirst = false; // a message to id 32767 goes out before the answer
    bool oversizedHeader = false;  // instead of the answer: a header announcing 2,000,001 bytes
    bool silent = false;           // no answer at all (the request is still recorded)
    bool closeMidMessage = false;  // the first half of the answer, then the connection closes
    bool dribble = false;          // the answer goes out one byte at a time
    uint32_t closeAfterPieces = 0; // downloads in pieces: close the connection after N pieces
};

struct SimConfig {
    uint32_t listenAddress = 0; // network order; 0 means 127.0.0.1
    uint16_t port = 0;          // 0: an ephemeral port (see GetPort)
    std::string password;
    std::string challenge = "SimChallenge0123";
    std::string version = "7.1.1.0";
    uint32_t versionWord = 0;        // the word after the version text
    std::vector<uint8_t> viewerFile; // served for 8130 unless viewerPath is set
    std::vector<uint8_t> configFile; // served for 8148 unless configPath is set
    std::string viewerPath;          // read at request time when not empty
    std::string configPath;
    uint32_t pieceSize = 0; // 0: whole file in one message; else pieces of this size
    uint16_t viewerWholeCode = 8131;
    uint16_t configWholeCode = 8149;
    uint16_t pieceCode = 8301;
    uint16_t loginRefusedCode = SIM_MSG_LOGIN_REFUSED;
    bool requireLogin = true;      // version and download requests before a login are ignored
    uint32_t captureLimit = 65536; // received bytes kept per connection for inspection
    // How long a punched path may stay without the launcher's parameter proposal or
    // stream data before it is given up.
    uint32_t punchedStartMs = 10000;
    SimFaults faults;
};

// What the last login carried (whether or not it was accepted).
struct SimLoginInfo {
    uint32_t revision = 0;
    uint32_t typeNumber = 0;
    std::string description;
    uint32_t word16 = 0;
    uint8_t response[16] = {};
    uint32_t word2 = 0;
    std::string hardwareAddress, platformA, platformB, computerName;
    bool complete = false; // every field was present
};

struct SimStats {
    uint32_t connections = 0;
    uint32_t closes = 0;
    uint32_t preamblesOk = 0;
    uint32_t preamblesBad = 0;
    uint32_t challenges = 0;
    uint32_t loginsOk = 0;
    uint32_t loginsRefused = 0;
    uint32_t versionRequests = 0;
    uint32_t downloadRequests = 0; // 8130 and 8148 together
    uint32_t viewerRequests = 0;
    uint32_t configRequests = 0;
    uint32_t piecesSent = 0;
    uint32_t echoes = 0;
    uint32_t badRequests = 0; // wrong request fields, unknown codes, oversized headers
    uint32_t openConnections = 0;
    uint32_t pushesSent = 0;      // queued pushes written to a connection
    uint32_t relayedSessions = 0; // connections handed over by a relay (no greeting)
    uint32_t punchedSessions = 0; // punched paths handed over
    uint32_t streamsStarted = 0;  // punched paths whose reliable stream began
    std::map<uint16_t, uint32_t> messagesByCode;
    SimLoginInfo lastLogin;
};

typedef std::function<void(const std::string& line)> SimLogCallback;

class CSimController
{
  public:
    explicit CSimController(const SimConfig& config);
    ~CSimController(); // stops

    // Binds, listens and starts serving; false when the address cannot be bound.
    bool Start();
    // Stops accepting, ends every connection and waits for the threads.
    void Stop();
    bool IsRunning() const { return m_bRunning.load(); }

    // A connected TCP socket of a relayed session, whose preamble the relay has
    // already taken: controller messages follow without the direct greeting. The
    // simulator owns the socket from here on (also when it returns false: not
    // started, or stopping).
    bool ServeRelayed(QVSOCKET tcp, uint32_t sessionId);
    // A hole-punched UDP socket whose first hello from the launcher was answered:
    // the simulator answers further hellos, waits for the launcher's parameter
    // proposal and serves the session over the reliable stream. It owns the socket
    // from here on.
    bool ServePunched(QVSOCKET udp, const QVSockAddr& launcher);

    uint16_t GetPort() const { return m_nPort; }
    // The address the launcher should connect to (the listen address and port).
    QVSockAddr GetAddress() const;

    // Changes take effect for the next request on every connection.
    void SetFaults(const SimFaults& faults);
    void SetVersion(const std::string& version);
    void SetPassword(const std::string& password);
    void SetViewerFile(const std::vector<uint8_t>& bytes);
    void SetConfigFile(const std::vector<uint8_t>& bytes);
    void SetPieceSize(uint32_t pieceSize);

    // Queues a message to every open connection (sent within about 20 ms; the
    // pushesSent counter tells when).
    void Push(uint16_t id, uint16_t code, const std::vector<uint8_t>& body);
    // The same for bytes exactly as given (malformed headers, partial messages).
    void PushRaw(const std::vector<uint8_t>& bytes);
    // Drops every open connection at once.
    void CloseConnections();

    SimStats GetStats() const;
    std::vector<std::string> GetLog() const;
    // Called from the simulator's threads for each log line, in order.
    void SetLogCallback(SimLogCallback callback);
    // The first captureLimit bytes received on connection number index (0-based, in
    // order of acceptance); empty when there is no such connection.
    std::vector<uint8_t> GetReceived(size_t index) const;
    // Waits until the condition on the statistics holds or the time runs out.
    bool WaitUntil(const std::function<bool(const SimStats&)>& condition, uint32_t timeoutMs) const;

    // The response a launcher with this password must give to this challenge; false
    // when the password cannot be a key (longer than 32 bytes).
    static bool ExpectedResponse(const std::string& password, const std::string& challenge, uint8_t out[16]);
    // A message's wire bytes: header (id, code, length) and the body as given.
    static std::vector<uint8_t> Encode(uint16_t id, uint16_t code, const std::vector<uint8_t>& body);

  private:
    struct Connection;
    CSimController(const CSimController&) = delete;
    CSimController& operator=(const CSimController&) = delete;

    void AcceptLoop();
    // Marks every connection for dropping and aborts its stream; the list is what
    // Stop then joins.
    std::vector<std::shared_ptr<Connection>> DropConnections();
    // Numbers the connection and starts its thread; false when not running.
    bool AddConnection(std::shared_ptr<Connection> conn, const std::string& what);
    void Serve(std::shared_ptr<Connection> conn);
    bool StartPunched(Connection& conn, const char** why);
    void AbortStream(Connection& conn);
    bool HandleMessage(Connection& conn, uint16_t id, uint16_t code, const uint8_t* body, uint32_t length);
    bool HandleLogin(Connection& conn, uint16_t id, const uint8_t* body, uint32_t length,
                     const SimFaults& faults);
    bool HandleDownload(Connection& conn, uint16_t id, uint16_t code, const uint8_t* body, uint32_t length,
                        const SimFaults& faults);
    // Sends one answer with the faults that apply; false when the connection must end.
    bool Answer(Connection& conn, uint16_t id, uint16_t code, const std::vector<uint8_t>& body,
                const SimFaults& faults, uint16_t requestCode);
    bool SendRaw(Connection& conn, const std::vector<uint8_t>& bytes, bool dribble);
    bool SendAll(Connection& conn, const uint8_t* data, size_t size);
    void Log(const std::string& line);
    template <class F> void Count(F f);

    SimConfig m_Config; // guarded by m_Lock once started
    std::atomic<bool> m_bRunning;
    QVSOCKET m_hListen;
    uint16_t m_nPort;
    uint32_t m_nAddress;
    std::thread m_AcceptThread;

    mutable std::mutex m_Lock;
    mutable std::condition_variable m_Changed;
    SimStats m_Stats;
    std::vector<std::string> m_Log;
    SimLogCallback m_pfnLog;
    std::vector<std::shared_ptr<Connection>> m_Connections; // every connection ever accepted
    std::vector<std::thread> m_Threads;
};
