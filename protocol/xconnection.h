// The session's byte-stream transport: a TCP stream (direct road, relayed TCP) or
// an installed reliable-datagram client (hole-punched road). At most one is open.
#pragma once
#include <cstdint>
#include <string>

#include "../util/qvsocket.h"

// Progress texts of a connection attempt; a null listener means no reporting.
class CConnectionListener
{
public:
    virtual ~CConnectionListener() {}
    virtual void OnStatus(const char* text) = 0;
};

// A reliable byte stream carried over datagrams: what the hole-punched road
// installs as the transport's stream (tests, fuzz targets and benchmarks install
// the shared fake through the same door). The session and the bridge use it
// exactly as they use a TCP socket.
//
// Threads: one thread at a time sends and one thread at a time reads (Receive,
// WaitReadable); they may be different threads. IsUp, GetReadySocket and Close
// may be called from any thread. The stream drives its own resends and
// acknowledgements on a worker of its own: nobody has to pump it.
//
// Bounds: Send returns false once the peer has kept the window shut for
// DATAGRAM_STREAM_STALL_MS (any progress starts the time again); WaitReadable
// returns within its time; Close returns within DATAGRAM_STREAM_CLOSE_MS and ends
// any Send or WaitReadable in progress at once.
//
// Readiness: GetReadySocket() is a socket a socket wait (SocketWaitPair) can
// include with QV_WAIT_READ: it is readable while Receive has bytes to give or
// the stream is no longer up, so a reader waits on it and its other sockets at
// once instead of polling. After Receive has taken the last byte the socket is
// quiet again. QV_INVALID_SOCKET means the stream offers none; the reader then
// falls back to WaitReadable.
//
// Lifetime: Close shuts the stream down but does not free it. Its owner deletes
// it only after every thread that may be inside it has left.
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

// Outcome of each connection step, shared by the direct and remote roads.
enum ConnectResult {
    CONNECT_OK = 0,
    CONNECT_CANT_RESOLVE = 1,
    CONNECT_NO_SERVER_RESPONSE = 2,
    CONNECT_NO_CONTROLLER_RESPONSE = 3,
    CONNECT_NOT_LOCATED = 4,
    CONNECT_INTERNAL_ERROR = 5,
    CONNECT_CANT_CONNECT = 6,
};
const char* ConnectResultText(int result);

// The 21 bytes that open a direct stream to a controller, without a terminator.
extern const char DIRECT_PREAMBLE[];
const int DIRECT_PREAMBLE_LENGTH = 21;

class CXConnection
{
public:
    explicit CXConnection(const std::string& serverListPath);
    virtual ~CXConnection();

    int ConnectDirect(const QVSockAddr& address, uint32_t timeoutMs); // 0 or 6
    bool ConnectRemote(CConnectionListener* listener, const std::string& systemName);

    bool Send(const void* data, int length);
    int Receive(void* buffer, int size);
    bool WaitReadable(uint32_t ms);
    bool IsConnected();
    void Close();
    QVSOCKET GetSocket() const { return m_hSocket; }

    // Installs a reliable-datagram client as the stream (closing any TCP stream);
    // the connection owns it from then on.
    void InstallClient(CDatagramStream* client);
    // Adopts a connected TCP socket as the stream (relayed TCP and tests).
    void AdoptSocket(QVSOCKET s);
    const std::string& GetServerListPath() const { return m_strServerList; }
    uint32_t GetClientTag() const { return m_dwClientTag; }

private:
    CXConnection(const CXConnection&) = delete;
    CXConnection& operator=(const CXConnection&) = delete;

    QVSOCKET m_hSocket;
    CDatagramStream* m_pClient;
    std::string m_strServerList;
    uint32_t m_dwClientTag; // always 0; sent by the remote roads
};
