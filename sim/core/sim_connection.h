// What the three parts of the controller simulator share about one connection:
// the road it came by, its stream, and the state its serving thread keeps.
// Internal to sim/core; the class and its configuration are in sim_controller.h.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim_controller.h"
#include "sim_stream.h"

// Larger bodies are refused on receipt, and the oversized-header fault announces one more.
const uint32_t kMaxBody = 2000000;

inline bool FaultApplies(const SimFaults& f, uint16_t requestCode)
{
    return f.onCode == 0 || f.onCode == requestCode;
}

enum SimRoad { ROAD_DIRECT, ROAD_RELAYED, ROAD_PUNCHED };

struct CSimController::Connection {
    SimRoad road = ROAD_DIRECT;
    QVSOCKET udp = QV_INVALID_SOCKET; // punched: the path until its stream starts
    QVSockAddr launcher{};            // punched: where the launcher's datagrams come from
    // The serving thread's stream, and the same under m_Lock for whoever must
    // abort it (Stop, CloseConnections); freed by the last of them to let go.
    CSimStream* io = nullptr;
    std::shared_ptr<CSimStream> stream;
    size_t index = 0;
    std::atomic<bool> kill{false};
    std::atomic<bool> finished{false};
    bool loggedIn = false;
    bool open = true;                         // guarded by m_Lock
    std::vector<uint8_t> received;            // guarded by m_Lock
    std::vector<std::vector<uint8_t>> outbox; // guarded by m_Lock
    std::thread thread;                       // touched only by the accept loop and Stop
};

template <class F> void CSimController::Count(F f)
{
    {
        std::lock_guard<std::mutex> g(m_Lock);
        f(m_Stats);
    }
    m_Changed.notify_all();
}
