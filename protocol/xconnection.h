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

// What a reliable stream over datagrams offers the transport. The remote roads
// install one (it then owns its socket); tests install fakes.
class CDatagramStream
{
public:
    virtual ~CDatagramStream() {}
    virtual bool Send(const void* data, int length) = 0;
    virtual int Receive(void* buffer, int size) = 0;
    virtual bool WaitReadable(uint32_t ms) = 0;
    virtual bool IsUp() = 0;
    virtual void Close() = 0;
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
