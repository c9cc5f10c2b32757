// Waiting on two sockets at once, and sends that never wait. Used by code that
// relays between two streams and must serve whichever side is ready first.
#pragma once
#include <cstdint>

#include "qvsocket.h"

// What a wait asks of one socket, and what it finds: a set of these.
enum {
    QV_WAIT_READ = 1,  // readable, or failed / closed
    QV_WAIT_WRITE = 2, // room to send, or failed
};

// What each socket of a pair was found ready for (QV_WAIT_* conditions), among
// what was asked of it.
struct SocketPairReady {
    int a;
    int b;
    bool None() const { return a == 0 && b == 0; }
    bool operator==(const SocketPairReady& other) const { return a == other.a && b == other.b; }
};

// Waits up to ms until one of the requested conditions holds. A socket that is
// QV_INVALID_SOCKET or has no interest takes no part. Nothing to wait on: nothing
// ready, at once.
SocketPairReady SocketWaitPair(QVSOCKET a, int aInterest, QVSOCKET b, int bInterest, uint32_t ms);

// One send that never waits for room: the byte count taken (possibly fewer than
// len), or -1 with SocketLastError() telling whether it would have blocked. On
// Windows the socket must be in non-blocking mode (SetNonBlocking).
int SocketSendNow(QVSOCKET s, const void* data, int len);
