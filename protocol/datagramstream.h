// A reliable byte stream carried over datagrams: what the hole-punched road
// installs as the transport's stream (tests, fuzz targets and benchmarks install
// the shared fake through the same door). The session and the bridge use it
// exactly as they use a TCP socket.
#pragma once
#include <cstdint>

#include "../util/qvsocket.h"

// Threads: one thread at a time sends and one thread at a time reads (Receive,
// WaitReadable); they may be different threads. IsUp, GetReadySocket and Close
// may be called from any thread. The stream drives its own resends and
// acknowledgements on a worker of its own: nobody has to pump it.
//
// Bounds: Send returns false once the peer has kept the window shut for
// DATAGRAM_STREAM_STALL_MS (any progress starts the time again); WaitReadable
// returns within its time; Close returns within DATAGRAM_STREAM_CLOSE_MS and ends
// any Send or WaitReadable in progress at once. Nobody above the stream keeps a
// send bound of its own: a reader that must stop sooner closes the stream.
//
// Readiness: GetReadySocket() is a socket a socket wait (SocketWaitPair) can
// include with QV_WAIT_READ: it is readable while Receive has bytes to give or
// the stream is no longer up, so a reader waits on it and its other sockets at
// once instead of polling. After Receive has taken the last byte the socket is
// quiet again. QV_INVALID_SOCKET means the stream offers none; the reader then
// falls back to WaitReadable.
//
// Lifetime: Close shuts the stream down but does not free it. The transport
// holds the stream through shared ownership and so does every thread while it is
// inside the stream: the last one to let go deletes it, never a thread that
// another is still inside.
const uint32_t DATAGRAM_STREAM_STALL_MS = 30000;
const uint32_t DATAGRAM_STREAM_CLOSE_MS = 6000;

class CDatagramStream
{
  public:
    virtual ~CDatagramStream() {}
    virtual bool Send(const void* data, int length) = 0; // true: every byte taken
    virtual int Receive(void* buffer, int size) = 0;     // bytes copied; 0 none or down
    virtual bool WaitReadable(uint32_t ms) = 0;          // true: data, or no longer up
    virtual bool IsUp() = 0;
    virtual void Close() = 0;
    virtual QVSOCKET GetReadySocket() = 0;
};
