#include "relay_server.h"

#include "relay_state.h"

CSimRelay::CSimRelay(const RelayConfig& config)
    : m_Config(config), m_nListChecksum(ListChecksum(config.servers)), m_bRunning(false),
      m_hUdp(QV_INVALID_SOCKET), m_hListen(QV_INVALID_SOCKET), m_nAddress(0), m_nPort(0), m_nTurnPort(0),
      m_nSeen(), m_nNextSid(config.firstSessionId), m_nNextNotice(1)
{
}

CSimRelay::~CSimRelay()
{
    Stop();
}

bool CSimRelay::Start()
{
    if (m_bRunning) return true;
    m_nAddress = m_Config.listenAddress ? m_Config.listenAddress : LoopbackAddress();
    m_hUdp = SocketUdp();
    m_hListen = SocketTcp();
    if (m_hUdp == QV_INVALID_SOCKET || m_hListen == QV_INVALID_SOCKET) {
        Stop();
        return false;
    }
    SocketSetReuseAddr(m_hListen);
    QVSockAddr local, bound;
    if (!SocketBind(m_hUdp, MakeSockAddr(m_nAddress, m_Config.port)) ||
        !SocketBind(m_hListen, MakeSockAddr(m_nAddress, m_Config.turnPort)) || !SocketListen(m_hListen, 16)) {
        CloseSocket(m_hUdp);
        CloseSocket(m_hListen);
        m_hUdp = m_hListen = QV_INVALID_SOCKET;
        return false;
    }
    SocketLocalAddr(m_hUdp, &local);
    SocketLocalAddr(m_hListen, &bound);
    m_nPort = SockAddrPort(local);
    m_nTurnPort = SockAddrPort(bound);
    m_bRunning = true;
    m_UdpThread = std::thread(&CSimRelay::UdpLoop, this);
    m_AcceptThread = std::thread(&CSimRelay::AcceptLoop, this);
    return true;
}

void CSimRelay::Stop()
{
    m_bRunning = false;
    if (m_UdpThread.joinable()) m_UdpThread.join();
    if (m_AcceptThread.joinable()) m_AcceptThread.join();
    m_Workers.Reap(true);
    std::lock_guard<std::mutex> g(m_Lock);
    for (auto& kv : m_Sessions) {
        CloseSocket(kv.second->launcher);
        CloseSocket(kv.second->controller);
    }
    m_Sessions.clear();
    CloseSocket(m_hUdp);
    CloseSocket(m_hListen);
    m_hUdp = m_hListen = QV_INVALID_SOCKET;
}

void CSimRelay::SendDatagram(const std::vector<uint8_t>& bytes, const QVSockAddr& to)
{
    SocketSendTo(m_hUdp, bytes.data(), (int)bytes.size(), to);
}
