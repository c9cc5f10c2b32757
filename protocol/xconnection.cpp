#include "xconnection.h"

#include "../util/qvtypes.h"
#include "../util/trace.h"

const char DIRECT_PREAMBLE[] = "CONNECTSERVERHOST\r\n\r\n";
static_assert(sizeof(DIRECT_PREAMBLE) == DIRECT_PREAMBLE_LENGTH + 1, "greeting is 21 bytes");

const char* ConnectResultText(int result)
{
    switch (result) {
    case CONNECT_CANT_RESOLVE: return "Can't resolve server address";
    case CONNECT_NO_SERVER_RESPONSE: return "No Response from server";
    case CONNECT_NO_CONTROLLER_RESPONSE: return "No Response from Controller";
    case CONNECT_NOT_LOCATED: return "Could not locate Controller";
    case CONNECT_INTERNAL_ERROR: return "Internal network error";
    case CONNECT_CANT_CONNECT: return "Can't connect to Controller";
    default: return "OK";
    }
}

// The TCP socket is shared with the bridge's worker thread, which may be inside
// Receive while the window thread closes the stream. The socket handle is therefore
// taken and released with atomic exchanges: whoever takes it closes it, exactly once,
// and a reader that loses the race finds -1 and reports a closed stream.
static QVSOCKET LoadSocket(const QVSOCKET* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
static QVSOCKET TakeSocket(QVSOCKET* p) { return __atomic_exchange_n(p, QV_INVALID_SOCKET, __ATOMIC_ACQ_REL); }
static bool TakeSocketIf(QVSOCKET* p, QVSOCKET expected)
{
    return __atomic_compare_exchange_n(p, &expected, QV_INVALID_SOCKET, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

// The installed client pointer is read the same way; Close detaches it before
// tearing it down.
static CDatagramStream* LoadClient(CDatagramStream* const* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }

CXConnection::CXConnection(const std::string& serverListPath)
    : m_hSocket(QV_INVALID_SOCKET), m_pClient(nullptr), m_strServerList(serverListPath), m_dwClientTag(0)
{
}

CXConnection::~CXConnection() { Close(); }

static std::string AddressText(const QVSockAddr& a)
{
    const uint8_t* b = (const uint8_t*)&a.addr;
    return StrPrintf("%d.%d.%d.%d:%d", b[0], b[1], b[2], b[3], SockAddrPort(a));
}

int CXConnection::ConnectDirect(const QVSockAddr& address, uint32_t timeoutMs)
{
    Close();
    QVSOCKET s = SocketTcp();
    if (s == QV_INVALID_SOCKET) return CONNECT_CANT_CONNECT;

    if (timeoutMs) {
        // The socket stays non-blocking afterwards; Send waits for room itself.
        if (!SetNonBlocking(s) || !SocketConnect(s, address) || !SocketWritable(s, timeoutMs) ||
            !SocketConnectSucceeded(s)) {
            CloseSocket(s);
            return CONNECT_CANT_CONNECT;
        }
    } else if (!SocketConnect(s, address)) {
        Trace("Error Can't do connect (%s)", AddressText(address).c_str());
        CloseSocket(s);
        return CONNECT_CANT_CONNECT;
    }

    if (SocketSend(s, DIRECT_PREAMBLE, DIRECT_PREAMBLE_LENGTH) != DIRECT_PREAMBLE_LENGTH) {
        CloseSocket(s);
        return CONNECT_CANT_CONNECT;
    }
    __atomic_store_n(&m_hSocket, s, __ATOMIC_RELEASE);
    return CONNECT_OK;
}

bool CXConnection::ConnectRemote(CConnectionListener* listener, const std::string& systemName)
{
    // The roads through the relay servers are not part of this build: report the
    // attempt and fail, so that the caller shows its own failure text.
    if (listener) listener->OnStatus(StrPrintf("Starting Connection to '%s'", systemName.c_str()).c_str());
    return false;
}

bool CXConnection::Send(const void* data, int length)
{
    if (length < 0) return false;
    if (CDatagramStream* client = LoadClient(&m_pClient)) return client->Send(data, length);
    QVSOCKET s = LoadSocket(&m_hSocket);
    if (s == QV_INVALID_SOCKET) return false;
    // A stream connected with a time-out stays non-blocking; a full send buffer
    // there is a pause, not a failure, so wait a bounded time for room.
    const uint8_t* p = (const uint8_t*)data;
    int sent = 0;
    while (length > 0 && sent < length) {
        int r = SocketSend(s, p + sent, length - sent);
        if (r > 0) {
            sent += r;
            continue;
        }
        if (r < 0 && SocketErrorWouldBlock(SocketLastError()) && SocketWritable(s, 5000)) continue;
        break;
    }
    if (sent != length) {
        int err = SocketLastError();
        Trace("Error sending data GLE=%d %s, bytes to send %d", err,
              SocketErrorWouldBlock(err) ? "no room to send" : "send failed", length);
        if (TakeSocketIf(&m_hSocket, s)) CloseSocket(s);
        return false;
    }
    return true;
}

int CXConnection::Receive(void* buffer, int size)
{
    if (CDatagramStream* client = LoadClient(&m_pClient)) return client->Receive(buffer, size);
    QVSOCKET s = LoadSocket(&m_hSocket);
    if (s == QV_INVALID_SOCKET) return 0;
    int r = SocketRecv(s, buffer, size);
    if (r == 0 && size > 0 && TakeSocketIf(&m_hSocket, s)) CloseSocket(s);
    return r;
}

bool CXConnection::WaitReadable(uint32_t ms)
{
    if (CDatagramStream* client = LoadClient(&m_pClient)) return client->WaitReadable(ms);
    QVSOCKET s = LoadSocket(&m_hSocket);
    if (s == QV_INVALID_SOCKET) return true;
    return SocketReadable(s, ms);
}

bool CXConnection::IsConnected()
{
    if (CDatagramStream* client = LoadClient(&m_pClient)) return client->IsUp();
    return LoadSocket(&m_hSocket) != QV_INVALID_SOCKET;
}

void CXConnection::Close()
{
    CDatagramStream* client = __atomic_exchange_n(&m_pClient, (CDatagramStream*)nullptr, __ATOMIC_ACQ_REL);
    if (client) {
        client->Close();
        delete client;
    }
    QVSOCKET s = TakeSocket(&m_hSocket);
    if (s != QV_INVALID_SOCKET) CloseSocket(s);
}

void CXConnection::InstallClient(CDatagramStream* client)
{
    Close();
    __atomic_store_n(&m_pClient, client, __ATOMIC_RELEASE);
}

void CXConnection::AdoptSocket(QVSOCKET s)
{
    Close();
    __atomic_store_n(&m_hSocket, s, __ATOMIC_RELEASE);
}
