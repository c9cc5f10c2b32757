#include "qvsignal.h"

#include "qvtick.h"

CQVSignal::CQVSignal() : m_hRx(QV_INVALID_SOCKET), m_hTx(QV_INVALID_SOCKET), m_bSet(false)
{
    QVSOCKET rx = SocketUdp();
    QVSOCKET tx = SocketUdp();
    QVSockAddr rxAddr, txAddr;
    // Each end is connected to the other, so no datagram from anyone else on the
    // machine can make the signal look set.
    bool ok = rx != QV_INVALID_SOCKET && tx != QV_INVALID_SOCKET &&
              SocketBind(rx, MakeSockAddr(LoopbackAddress(), 0)) &&
              SocketBind(tx, MakeSockAddr(LoopbackAddress(), 0)) && SocketLocalAddr(rx, &rxAddr) &&
              SocketLocalAddr(tx, &txAddr) && SocketConnect(tx, rxAddr) && SocketConnect(rx, txAddr) &&
              SetNonBlocking(rx) && SetNonBlocking(tx);
    if (!ok) {
        CloseSocket(rx);
        CloseSocket(tx);
        return;
    }
    m_hRx = rx;
    m_hTx = tx;
}

CQVSignal::~CQVSignal()
{
    CloseSocket(m_hRx);
    CloseSocket(m_hTx);
}

void CQVSignal::Drain()
{
    uint8_t b[16];
    // Bounded: the pair never holds more than a few datagrams.
    for (int i = 0; i < 64; i++)
        if (SocketRecvFromNonBlocking(m_hRx, b, sizeof(b), nullptr) < 0) break;
}

void CQVSignal::Set()
{
    m_Lock.Lock();
    if (!m_bSet && IsValid()) {
        uint8_t one = 1;
        SocketSend(m_hTx, &one, 1);
    }
    m_bSet = true;
    m_Lock.Unlock();
}

void CQVSignal::Reset()
{
    m_Lock.Lock();
    m_bSet = false;
    if (IsValid()) Drain();
    m_Lock.Unlock();
}

bool CQVSignal::IsSet() const
{
    m_Lock.Lock();
    bool set = m_bSet;
    m_Lock.Unlock();
    return set;
}

bool CQVSignal::Wait(uint32_t ms)
{
    uint32_t start = GetTick();
    for (;;) {
        if (IsSet()) return true;
        uint32_t spent = TickSince(start);
        if (spent >= ms) return false;
        if (!IsValid()) {
            // Nothing to wait on: look again in short steps until the time is up.
            SleepMs(ms - spent < 10 ? ms - spent : 10);
            continue;
        }
        if (!SocketReadable(m_hRx, ms - spent)) return IsSet();
        // Readable but not set: a datagram that outlived a Reset. Drop it and
        // wait out the rest of the time.
        m_Lock.Lock();
        if (!m_bSet) Drain();
        m_Lock.Unlock();
    }
}
