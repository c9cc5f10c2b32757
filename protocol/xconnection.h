// The session's byte-stream transport: a TCP stream (direct road, relayed TCP) or
// an installed reliable-datagram stream (hole-punched road). At most one is open.
// How it got connected is not its business: the direct road is here, the remote
// roads live above and end by handing over what they opened (AdoptSocket,
// InstallClient).
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "../util/qvsocket.h"
#include "../util/qvthread.h"
#include "attempt.h"
#include "datagramstream.h"

// Outcome of a connection step, shared by the direct and remote roads. The
// numbers are those the connection log has always shown.
enum class ConnectResult {
    Ok = 0,
    CantResolve = 1,
    NoServerResponse = 2,
    NoControllerResponse = 3,
    NotLocated = 4,
    InternalError = 5,
    CantConnect = 6,
    Cancelled = 7,
    Count
};
// The status text of each result; "OK" for a number outside them, as the log has
// always read.
const char* ConnectResultText(ConnectResult result);

// The 21 bytes that open a direct stream to a controller, without a terminator.
extern const char DIRECT_PREAMBLE[];
const int DIRECT_PREAMBLE_LENGTH = 21;
// The direct road's connect wait when the caller gives none.
const uint32_t DIRECT_CONNECT_MS = 30000;

class CXConnection
{
  public:
    explicit CXConnection(const std::string& serverListPath);
    virtual ~CXConnection();

    // Connects within timeoutMs (0: DIRECT_CONNECT_MS), asking the observer while
    // it waits, and sends the direct preamble. The stream's socket is left in
    // blocking mode, as a program handed the socket expects it.
    ConnectResult ConnectDirect(const QVSockAddr& address, uint32_t timeoutMs,
                                CAttemptObserver* observer = nullptr);

    bool Send(const void* data, int length);
    int Receive(void* buffer, int size);
    bool WaitReadable(uint32_t ms);
    bool IsConnected();
    // Shuts the stream down and lets go of it. A datagram stream is closed at once
    // but freed only when no thread is inside it any more.
    void Close();
    // Ends every wait and send in progress on a datagram stream (from another
    // thread) without releasing anything; Close follows once those threads have
    // left.
    void Interrupt();
    QVSOCKET GetSocket() const { return m_hSocket.load(); }
    // Readable while Receive has bytes or the stream is down: the TCP socket
    // itself, or the datagram stream's readiness socket (QV_INVALID_SOCKET when
    // it offers none).
    QVSOCKET GetReadySocket();
    bool HasDatagramStream() const { return m_bHasClient.load(); }

    // Installs a reliable-datagram stream (closing any TCP stream); the connection
    // shares its ownership from then on.
    void InstallClient(CDatagramStream* client);
    void InstallClient(std::shared_ptr<CDatagramStream> client);
    // Adopts a connected TCP socket as the stream (relayed TCP and tests).
    void AdoptSocket(QVSOCKET s);
    const std::string& GetServerListPath() const { return m_strServerList; }
    uint32_t GetClientTag() const { return m_dwClientTag; }

  private:
    CXConnection(const CXConnection&) = delete;
    CXConnection& operator=(const CXConnection&) = delete;
    // The installed stream, held for the duration of one call.
    std::shared_ptr<CDatagramStream> Client() const;

    // Whoever exchanges the socket out closes it, exactly once; a reader that
    // loses the race finds -1 and reports a closed stream.
    std::atomic<QVSOCKET> m_hSocket;
    std::atomic<bool> m_bHasClient; // lets the TCP road skip the lock
    mutable CQVCritical m_ClientLock;
    std::shared_ptr<CDatagramStream> m_pClient;
    std::string m_strServerList;
    uint32_t m_dwClientTag; // always 0; sent by the remote roads
};
