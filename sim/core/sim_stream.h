// The byte streams a simulated controller serves a session on: a TCP socket (one it
// accepted, or one handed over by a relayed session), or the reliable stream over a
// hole-punched UDP path. The session logic sees nothing else of the road.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "../../remote/relaypacket.h"
#include "../../util/qvsocket.h"

class CRUDPClient;

class CSimStream
{
  public:
    virtual ~CSimStream() {}
    // Waits up to ms for bytes and reads up to size of them: the count read, 0 when
    // none came, -1 when the stream has ended (*why then says how).
    virtual int Read(uint8_t* buffer, int size, uint32_t ms, const char** why) = 0;
    // Takes up to size bytes, waiting up to ms for room: the count taken (0: no
    // room yet), -1 when the stream has failed.
    virtual int Write(const uint8_t* data, int size, uint32_t ms) = 0;
    // Ends a Read or Write in progress on another thread (bounded); the stream is
    // down afterwards. Any thread; the serving thread's last call is Close.
    virtual void Abort() = 0;
    virtual void Close() = 0;
};

// Owns the socket and closes it; makes it non-blocking.
CSimStream* NewSimTcpStream(QVSOCKET s);
// Owns the started client and deletes it.
CSimStream* NewSimDatagramStream(CRUDPClient* client);

// How the launcher's side of a punched path began its stream.
struct PunchedStart {
    bool proposed = false;    // a parameter proposal came (else data came first)
    TransferParams offered{}; // the proposal as it came
    TransferParams params{};  // the block in force once the stream started
    uint32_t hellosAnswered = 0;
    uint32_t strangersIgnored = 0; // datagrams from other senders
};

// The controller's side of a punched path until its stream runs: answers the
// launcher's further hellos and waits up to waitMs for its parameter proposal (or,
// from a launcher that proposes none, its first stream datagram), then starts a
// reliable stream that takes the socket over with that datagram already handled.
// Null, with the socket closed and *why set, when nothing came in time or
// stopped() said so (asked every 20 ms).
CRUDPClient* StartPunchedStream(QVSOCKET udp, const QVSockAddr& launcher, uint32_t waitMs,
                                const std::function<bool()>& stopped, PunchedStart* out, std::string* why);
