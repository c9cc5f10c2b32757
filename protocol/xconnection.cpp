#include "xconnection.h"

#include "../util/enumtext.h"
#include "../util/qvtypes.h"
#include "../util/trace.h"

const char DIRECT_PREAMBLE[] = "CONNECTSERVERHOST\r\n\r\n";
static_assert(sizeof(DIRECT_PREAMBLE) == DIRECT_PREAMBLE_LENGTH + 1, "greeting is 21 bytes");

static constexpr EnumText<ConnectResult> kConnectTexts[] = {
    {ConnectResult::Ok, "OK"},
    {ConnectResult::CantResolve, "Can't resolve server address"},
    {ConnectResult::NoServerResponse, "No Response from server"},
    {ConnectResult::NoControllerResponse, "No Response from Controller"},
    {ConnectResult::NotLocated, "Could not locate Controller"},
    {ConnectResult::InternalError, "Internal network error"},
    {ConnectResult::CantConnect, "Can't connect to Controller"},
    {ConnectResult::Cancelled, "Cancelled"},
};
static_assert(EveryValueOnce(kConnectTexts, ConnectResult::Count), "every connect result has its text");

const char* ConnectResultText(ConnectResult result)
{
    return TextOf(kConnectTexts, result, "OK");
}

CXConnection::CXConnection(const std::string& serverListPath)
    : m_hSocket(QV_INVALID_SOCKET), m_bHasClient(false), m_strServerList(serverListPath), m_dwClientTag(0)
{
}

CXConnection::~CXConnection()
{
    Close();
}

std::shared_ptr<CDatagramStream> CXConnection::Client() const
{
    if (!m_bHasClient.load()) return nullptr;
    m_ClientLock.Lock();
    std::shared_ptr<CDatagramStream> client = m_pClient;
    m_ClientLock.Unlock();
    return client;
}

ConnectResult CXConnection::ConnectDirect(const QVSockAddr& address, uint32_t timeoutMs,
                                          CAttemptObserver* observer)
{
    Close();
    QVSOCKET s = SocketTcp();
    if (s == QV_INVALID_SOCKET) return ConnectResult::CantConnect;

    // Always a connect that can be waited on: a blocking one could neither be
    // cancelled nor let the window breathe.
    AttemptWait waited = ATTEMPT_WAIT_TIMEOUT;
    if (SetNonBlocking(s) && SocketConnect(s, address))
        waited = AttemptWaitWritable(observer, s, timeoutMs ? timeoutMs : DIRECT_CONNECT_MS);
    if (waited != ATTEMPT_WAIT_READY || !SocketConnectSucceeded(s) || !SetBlocking(s)) {
        if (waited != ATTEMPT_WAIT_CANCELLED)
            Trace("Error Can't do connect (%s)", FormatAddressRecord(address).c_str());
        CloseSocket(s);
        return waited == ATTEMPT_WAIT_CANCELLED ? ConnectResult::Cancelled : ConnectResult::CantConnect;
    }

    if (SocketSend(s, DIRECT_PREAMBLE, DIRECT_PREAMBLE_LENGTH) != DIRECT_PREAMBLE_LENGTH) {
        CloseSocket(s);
        return ConnectResult::CantConnect;
    }
    m_hSocket.store(s);
    return ConnectResult::Ok;
}

bool CXConnection::Send(const void* data, int length)
{
    if (length < 0) return false;
    if (std::shared_ptr<CDatagramStream> client = Client()) return client->Send(data, length);
    QVSOCKET s = m_hSocket.load();
    if (s == QV_INVALID_SOCKET) return false;
    // Another user of the stream (the bridge) may have made it non-blocking; a
    // full send buffer there is a pause, not a failure, so wait a bounded time.
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
        QVSOCKET expected = s;
        if (m_hSocket.compare_exchange_strong(expected, QV_INVALID_SOCKET)) CloseSocket(s);
        return false;
    }
    return true;
}

int CXConnection::Receive(void* buffer, int size)
{
    if (std::shared_ptr<CDatagramStream> client = Client()) return client->Receive(buffer, size);
    QVSOCKET s = m_hSocket.load();
    if (s == QV_INVALID_SOCKET) return 0;
    int r = SocketRecv(s, buffer, size);
    QVSOCKET expected = s;
    if (r == 0 && size > 0 && m_hSocket.compare_exchange_strong(expected, QV_INVALID_SOCKET)) CloseSocket(s);
    return r;
}

bool CXConnection::WaitReadable(uint32_t ms)
{
    if (std::shared_ptr<CDatagramStream> client = Client()) return client->WaitReadable(ms);
    QVSOCKET s = m_hSocket.load();
    if (s == QV_INVALID_SOCKET) return true;
    return SocketReadable(s, ms);
}

bool CXConnection::IsConnected()
{
    if (std::shared_ptr<CDatagramStream> client = Client()) return client->IsUp();
    return m_hSocket.load() != QV_INVALID_SOCKET;
}

QVSOCKET CXConnection::GetReadySocket()
{
    if (std::shared_ptr<CDatagramStream> client = Client()) return client->GetReadySocket();
    return m_hSocket.load();
}

void CXConnection::Close()
{
    std::shared_ptr<CDatagramStream> client;
    m_ClientLock.Lock();
    client.swap(m_pClient);
    m_bHasClient.store(false);
    m_ClientLock.Unlock();
    if (client) client->Close(); // freed here, or by the last thread still inside it
    QVSOCKET s = m_hSocket.exchange(QV_INVALID_SOCKET);
    if (s != QV_INVALID_SOCKET) CloseSocket(s);
}

void CXConnection::Interrupt()
{
    // A TCP stream is left alone: its users wait on it in short slices and send
    // without waiting, and a handle that another thread may close at any moment
    // is not one to shut down from here.
    if (std::shared_ptr<CDatagramStream> client = Client()) client->Close();
}

void CXConnection::InstallClient(CDatagramStream* client)
{
    InstallClient(std::shared_ptr<CDatagramStream>(client));
}

void CXConnection::InstallClient(std::shared_ptr<CDatagramStream> client)
{
    Close();
    if (!client) return;
    m_ClientLock.Lock();
    m_pClient = std::move(client);
    m_bHasClient.store(true);
    m_ClientLock.Unlock();
}

void CXConnection::AdoptSocket(QVSOCKET s)
{
    Close();
    m_hSocket.store(s);
}
