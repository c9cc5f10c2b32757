// A stand-in discovery server (D.SERVER) for the lab and the remote scenarios: on
// TCP, one query per connection (command 0x4653, the system name twice), answered
// with command 0x4654 and the controller's address as configured per system name,
// or with another command when the name is unknown. Encoded here byte by byte,
// independently of the launcher's code. Misbehaves on demand.
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

namespace dserverwire
{
const uint16_t QUERY = 0x4653;  // "SF" on the wire
const uint16_t ANSWER = 0x4654; // "TF" on the wire
const size_t HEADER = 8;
const size_t ANSWER_LIMIT = 1024; // what the launcher can take, header included
} // namespace dserverwire

struct DServerSystem {
    uint8_t found = 1;
    uint8_t licensed = 1;
    std::string address; // sent as it stands: dotted text, or anything a test wants
    uint16_t port = 0;
    uint8_t open = 1;
    uint8_t relay = 0;
};

// Where a string item's zero bytes end: at a multiple of 4 counted from the item's
// start (its count field), or from the start of the payload. The two differ for the
// address item of the answer, which begins at payload offset 2.
enum DServerPadding { PAD_ITEM, PAD_PAYLOAD };

struct DServerFaults {
    bool silent = false;           // read the query, never answer (the connection stays open)
    bool oversize = false;         // the answer is padded to 1025 bytes in all
    bool exact1024 = false;        // the answer is padded to exactly 1024 bytes in all
    uint32_t dribbleMs = 0;        // the answer goes out one byte every dribbleMs
    uint32_t lateMs = 0;           // the answer goes out this much later
    bool closeAfterHeader = false; // the header (announcing the payload), then close
};

struct DServerConfig {
    uint32_t listenAddress = 0; // network order; 0 means 127.0.0.1
    uint16_t port = 500;        // 0: any free port
    std::map<std::string, DServerSystem> systems;
    uint16_t notFoundCommand = 0x464E; // "NF": any command but the answer's means not found
    DServerPadding padding = PAD_ITEM;
    DServerFaults faults;
    uint32_t maxPayload = 4096; // a query announcing more is refused (connection closed)
    uint32_t readWaitMs = 5000; // the whole query must arrive within this
};

struct DServerStats {
    uint32_t connections = 0;
    uint32_t queries = 0;
    uint32_t answered = 0;
    uint32_t notFound = 0;
    uint32_t badQueries = 0;
};

typedef SimLineCallback DServerLogCallback;

class CSimDServer : public CSimStatsLog<DServerStats>
{
  public:
    explicit CSimDServer(const DServerConfig& config);
    ~CSimDServer();

    bool Start();
    void Stop();
    uint16_t GetPort() const { return m_nPort; }
    uint32_t GetAddress() const { return m_nAddress; }

    // The wire bytes of an answer for this system (header included), before faults.
    static std::vector<uint8_t> EncodeAnswer(const DServerSystem& system, DServerPadding padding);
    // The wire bytes of a query for this name (the launcher's request).
    static std::vector<uint8_t> EncodeQuery(const std::string& name);

  private:
    CSimDServer(const CSimDServer&) = delete;
    CSimDServer& operator=(const CSimDServer&) = delete;
    void AcceptLoop();
    void Serve(QVSOCKET s, QVSockAddr from);
    bool Send(QVSOCKET s, const std::vector<uint8_t>& bytes, const DServerFaults& f);

    DServerConfig m_Config;
    std::atomic<bool> m_bRunning;
    QVSOCKET m_hListen;
    uint32_t m_nAddress;
    uint16_t m_nPort;
    std::thread m_AcceptThread;
    CSimWorkers m_Workers; // one per connection
};
