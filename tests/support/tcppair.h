// Small socket helpers shared by the tests and benchmarks.
#pragma once
#include <cstdint>
#include <string>

#include "util/qvsocket.h"

// Two ends of one TCP connection on 127.0.0.1.
bool MakeTcpPair(QVSOCKET* a, QVSOCKET* b);
// A TCP connection to addr:port, or QV_INVALID_SOCKET.
QVSOCKET ConnectTcp(uint32_t addr, uint16_t port);
// Exactly n bytes within the time, or what arrived before the stream ended.
std::string RecvExact(QVSOCKET s, size_t n, uint32_t ms = 5000);
// True when the peer ends the stream (orderly or by reset) within the time.
bool SeesEnd(QVSOCKET s, uint32_t ms = 3000);
