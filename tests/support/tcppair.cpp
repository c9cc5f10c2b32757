#include "tcppair.h"

#include <vector>

#include "util/qvtick.h"

bool MakeTcpPair(QVSOCKET* a, QVSOCKET* b)
{
    *a = *b = QV_INVALID_SOCKET;
    QVSOCKET l = SocketTcp();
    QVSockAddr addr;
    bool ok = l != QV_INVALID_SOCKET && SocketBind(l, MakeSockAddr(LoopbackAddress(), 0)) &&
              SocketListen(l, 1) && SocketLocalAddr(l, &addr);
    if (ok) {
        *a = SocketTcp();
        ok = SocketConnect(*a, addr);
        if (ok) *b = SocketAccept(l, nullptr);
        ok = ok && *b != QV_INVALID_SOCKET;
    }
    CloseSocket(l);
    if (!ok) {
        CloseSocket(*a);
        CloseSocket(*b);
        *a = *b = QV_INVALID_SOCKET;
    }
    return ok;
}

QVSOCKET ConnectTcp(uint32_t addr, uint16_t port)
{
    QVSOCKET s = SocketTcp();
    if (s != QV_INVALID_SOCKET && SocketConnect(s, MakeSockAddr(addr, port))) return s;
    CloseSocket(s);
    return QV_INVALID_SOCKET;
}

std::string RecvExact(QVSOCKET s, size_t n, uint32_t ms)
{
    std::string out;
    std::vector<char> buf(65536);
    uint32_t start = GetTick();
    while (out.size() < n && TickSince(start) < ms) {
        if (!SocketReadable(s, 50)) continue;
        size_t want = n - out.size() < buf.size() ? n - out.size() : buf.size();
        int r = SocketRecv(s, buf.data(), (int)want);
        if (r <= 0) break;
        out.append(buf.data(), (size_t)r);
    }
    return out;
}

bool SeesEnd(QVSOCKET s, uint32_t ms)
{
    char buf[4096];
    uint32_t start = GetTick();
    while (TickSince(start) < ms) {
        if (!SocketReadable(s, 50)) continue;
        if (SocketRecv(s, buf, sizeof(buf)) <= 0) return true;
    }
    return false;
}
