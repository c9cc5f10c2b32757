// Local controller discovery over UDP broadcasts.
#include "discovery.h"

#include <cstring>

#include "../util/qvtick.h"
#include "../util/qvtypes.h"

static const uint32_t LIMITED_BROADCAST = 0xFFFFFFFFu;
static const uint32_t LOCATOR_WAIT_MS = 50;
static const int LOCATOR_AREA = 4096;
static const int DISCOVERY_AREA = 256;
// A configuration reply must be told apart from longer datagrams (another
// launcher's 104-byte set datagram, for one), so the area is larger than the record.
static const int CONFIG_AREA = 256;

bool DecodeSystemAnswer(const uint8_t* wire, int length, SYSTEM_ANSWER* out)
{
    if (!wire || !out || length != SYSTEM_ANSWER_SIZE) return false;
    memset(out, 0, sizeof(*out));
    out->dwType = GetLE32(wire);
    memcpy(&out->dwAddress, wire + 4, 4); // stays in network order
    out->wPort = GetLE16(wire + 8);
    out->bStatus = wire[10];
    out->bFlags = wire[11];
    memcpy(out->szName, wire + 12, SYSTEM_ANSWER_NAME_FIELD);
    out->szName[SYSTEM_ANSWER_NAME_FIELD - 1] = 0;
    return true;
}

void EncodeSystemAnswer(const SYSTEM_ANSWER& in, uint8_t wire[SYSTEM_ANSWER_SIZE])
{
    memset(wire, 0, SYSTEM_ANSWER_SIZE);
    PutLE32(wire, in.dwType);
    memcpy(wire + 4, &in.dwAddress, 4);
    PutLE16(wire + 8, in.wPort);
    wire[10] = in.bStatus;
    wire[11] = in.bFlags;
    size_t n = 0;
    while (n < SYSTEM_ANSWER_NAME_FIELD - 1 && in.szName[n])
        n++;
    memcpy(wire + 12, in.szName, n);
}

uint32_t SubnetBroadcastAddress(uint32_t address, uint32_t mask)
{
    if (address == 0 || mask == 0 || mask == 0xFFFFFFFFu) return 0;
    return (address & mask) | ~mask;
}

// Non-blocking, so that Next reads a queued datagram without asking first whether
// one is there: on some systems every readiness test is a round trip to another
// process, and a search that pays three of them per datagram falls behind a busy
// network (the answer sought sits behind the others until the search time is up).
static QVSOCKET OpenBroadcastSocket()
{
    QVSOCKET s = SocketUdp();
    if (s != QV_INVALID_SOCKET && (!SocketSetBroadcast(s) || !SetNonBlocking(s))) {
        CloseSocket(s);
        s = QV_INVALID_SOCKET;
    }
    return s;
}

static void BuildQuery(uint8_t query[8], uint32_t type)
{
    PutLE32(query, type);
    PutLE32(query + 4, 0);
}

CSysLocator::CSysLocator(uint32_t intervalMs)
    : m_hSocket(OpenBroadcastSocket()), m_dwLastQuery(GetTick()), m_bRenewSocket(false), m_bQueryNow(true),
      m_dwInterval(intervalMs)
{
}

CSysLocator::~CSysLocator()
{
    CloseSocket(m_hSocket);
}

bool CSysLocator::Next(SYSTEM_ANSWER& answer)
{
    memset(&answer, 0, sizeof(answer));
    if (m_bQueryNow || TickSince(m_dwLastQuery) > m_dwInterval) {
        m_bQueryNow = false;
        if (m_bRenewSocket || m_hSocket == QV_INVALID_SOCKET) {
            CloseSocket(m_hSocket);
            m_hSocket = OpenBroadcastSocket();
        }
        m_bRenewSocket = false;
        uint8_t query[8];
        BuildQuery(query, DISCOVERY_QUERY);
        int sent = SocketSendTo(m_hSocket, query, 8, MakeSockAddr(LIMITED_BROADCAST, DISCOVERY_PORT));
        m_dwLastQuery = GetTick();
        if (sent != 8) m_bRenewSocket = true;
    }
    if (m_hSocket == QV_INVALID_SOCKET) {
        // Keep the caller's search loop paced as if the wait had happened.
        SleepMs(LOCATOR_WAIT_MS);
        return false;
    }
    uint8_t area[LOCATOR_AREA];
    QVSockAddr from;
    int n = SocketRecvFromNonBlocking(m_hSocket, area, LOCATOR_AREA, &from);
    if (n < 0) {
        if (!SocketReadable(m_hSocket, LOCATOR_WAIT_MS)) return false;
        n = SocketRecvFromNonBlocking(m_hSocket, area, LOCATOR_AREA, &from);
    }
    SYSTEM_ANSWER got;
    if (!DecodeSystemAnswer(area, n, &got) || got.dwType != ANSWER_TYPE) return false;
    answer = got;
    return true;
}

CPingSocket::CPingSocket(uint32_t localAddress)
    : m_hSocket(QV_INVALID_SOCKET), m_dwLocalAddress(localAddress), m_dwLocalMask(MakeIPv4(255, 255, 255, 0)),
      m_bNonBlocking(false)
{
    Open(localAddress, PING_PORT);
}

CPingSocket::CPingSocket(uint32_t localAddress, uint16_t localPort)
    : m_hSocket(QV_INVALID_SOCKET), m_dwLocalAddress(localAddress), m_dwLocalMask(MakeIPv4(255, 255, 255, 0)),
      m_bNonBlocking(false)
{
    Open(localAddress, localPort);
}

void CPingSocket::Open(uint32_t localAddress, uint16_t localPort)
{
    m_hSocket = SocketUdp();
    if (m_hSocket == QV_INVALID_SOCKET) return;
    // A failed bind leaves an unbound socket that still sends and hears replies.
    SocketBind(m_hSocket, MakeSockAddr(localAddress, localPort));
    if (!SocketSetBroadcast(m_hSocket)) {
        CloseSocket(m_hSocket);
        m_hSocket = QV_INVALID_SOCKET;
        return;
    }
    // The main window drains these sockets on every tick; a non-blocking socket
    // is read straight away, without asking first whether anything is waiting.
    m_bNonBlocking = SetNonBlocking(m_hSocket);
}

CPingSocket::~CPingSocket()
{
    CloseSocket(m_hSocket);
}

uint16_t CPingSocket::GetBoundPort() const
{
    QVSockAddr local;
    if (m_hSocket == QV_INVALID_SOCKET || !SocketLocalAddr(m_hSocket, &local)) return 0;
    return SockAddrPort(local);
}

bool CPingSocket::SendDiscovery()
{
    if (m_hSocket == QV_INVALID_SOCKET) return false;
    uint8_t query[8];
    BuildQuery(query, DISCOVERY_QUERY);
    return SocketSendTo(m_hSocket, query, 8, MakeSockAddr(LIMITED_BROADCAST, PING_PORT)) == 8;
}

// Reads one waiting datagram without blocking; -1 when none is waiting. The
// receive itself decides, not the pending byte count: some systems report an
// empty datagram (and any after the first) as 0 bytes pending, which would leave
// it stuck at the head of the queue forever.
int CPingSocket::ReceiveOne(uint8_t* area, int size, QVSockAddr& from)
{
    if (m_hSocket == QV_INVALID_SOCKET) return -1;
    QVSockAddr sender;
    memset(&sender, 0, sizeof(sender));
    // A failed receive counts as nothing waiting; the next tick tries again.
    int n = m_bNonBlocking ? SocketRecvFromNonBlocking(m_hSocket, area, size, &sender)
                           : SocketRecvFrom(m_hSocket, area, size, &sender);
    if (n >= 0) from = sender;
    return n;
}

PingReceive CPingSocket::ReceiveDiscovery(SYSTEM_ANSWER& answer, QVSockAddr& from)
{
    uint8_t area[DISCOVERY_AREA];
    int n = ReceiveOne(area, DISCOVERY_AREA, from);
    if (n < 0) return PingReceive::Nothing;
    return DecodeSystemAnswer(area, n, &answer) ? PingReceive::Taken : PingReceive::Ignored;
}

bool CPingSocket::SendConfigQuery()
{
    if (m_hSocket == QV_INVALID_SOCKET) return false;
    uint8_t query[8];
    BuildQuery(query, CONFIG_QUERY);
    bool any = SocketSendTo(m_hSocket, query, 8, MakeSockAddr(LIMITED_BROADCAST, PING_PORT)) == 8;
    // The second copy goes to this adapter's subnet broadcast: on a machine with
    // several adapters the limited broadcast leaves through one of them only.
    uint32_t subnet = SubnetBroadcastAddress(m_dwLocalAddress, m_dwLocalMask);
    if (subnet != 0 && subnet != LIMITED_BROADCAST)
        any = (SocketSendTo(m_hSocket, query, 8, MakeSockAddr(subnet, PING_PORT)) == 8) || any;
    return any;
}

PingReceive CPingSocket::ReceiveConfig(uint8_t record[CONFIG_RECORD_SIZE], QVSockAddr& from)
{
    uint8_t area[CONFIG_AREA];
    int n = ReceiveOne(area, CONFIG_AREA, from);
    if (n < 0) return PingReceive::Nothing;
    if (n != CONFIG_RECORD_SIZE) return PingReceive::Ignored;
    memcpy(record, area, CONFIG_RECORD_SIZE);
    return PingReceive::Taken;
}

bool CPingSocket::SendConfig(const QVSockAddr& to, const uint8_t datagram[CONFIG_SET_SIZE])
{
    if (m_hSocket == QV_INVALID_SOCKET) return false;
    return SocketSendTo(m_hSocket, datagram, CONFIG_SET_SIZE, to) == CONFIG_SET_SIZE;
}
