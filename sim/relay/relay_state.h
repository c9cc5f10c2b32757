// What the relay's two sides share: the enrollments, the datagrams waiting for
// their time, the notices to controllers and the sessions between a lookup and the
// two TCP connections that pair in it. Internal to sim/relay.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "relay_server.h"

struct CSimRelay::Enrollment {
    std::string name;
    QVSockAddr endpoint;
    uint32_t tag = 0;
    uint32_t lastSeen = 0;
};

struct CSimRelay::Delayed {
    uint32_t due = 0;
    std::vector<uint8_t> bytes;
    QVSockAddr to;
};

// A notice to a controller goes again at its due time until acknowledged.
struct CSimRelay::Notice : Delayed {
    uint32_t id = 0;
    std::string what;
    uint32_t triesLeft = 0;
};

struct CSimRelay::Session {
    uint32_t id = 0;
    std::string name;
    uint32_t created = 0;
    QVSOCKET launcher = QV_INVALID_SOCKET;
    QVSOCKET controller = QV_INVALID_SOCKET;
};

struct CSimRelay::Recent {
    QVSockAddr from;
    uint8_t type = 0;
    std::string name;
    uint32_t when = 0;
    std::vector<uint8_t> answer;
    std::string what;
};
