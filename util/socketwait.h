// Waiting on two sockets at once, and sends that never wait. Used by code that
// relays between two streams and must serve whichever side is ready first.
#pragma once
#include <cstdint>

#include "qvsocket.h"

enum {
    QV_WAIT_READ = 1,  // interest / readiness: readable, or failed / closed
    QV_WAIT_WRITE = 2, // interest / readiness: room to send, or failed
};

// Waits up to ms until one of the requested conditions holds. The result packs
// the readiness of a in bits 0-1 and of b in bits 2-3 (QV_WAIT_* shifted by 2);
// only requested conditions are reported. A socket that is QV_INVALID_SOCKET or
// has no interest takes no part. Nothing to wait on: 0 at once.
int SocketWaitPair(QVSOCKET a, int aInterest, QVSOCKET b, int bInterest, uint32_t ms);

// One send that never waits for room: the byte count taken (possibly fewer than
// len), or -1 with SocketLastError() telling whether it would have blocked. On
// Windows the socket must be in non-blocking mode (SetNonBlocking).
int SocketSendNow(QVSOCKET s, const void* data, int len);
