// Socket seam over Windows Sockets.
#include "socket_sys.h"

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif
#ifndef SIO_UDP_NETRESET
#define SIO_UDP_NETRESET _WSAIOW(IOC_VENDOR, 15)
#endif

bool SocketStartup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void SocketCleanup()
{
    WSACleanup();
}

static QVSOCKET NewSocket(int type, int proto)
{
    SOCKET s = WSASocketA(AF_INET, type, proto, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return QV_INVALID_SOCKET;
    // Older systems ignore the flag; clear inheritance on the handle as well.
    SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
    return (QVSOCKET)s;
}

QVSOCKET SocketTcp()
{
    return NewSocket(SOCK_STREAM, IPPROTO_TCP);
}
QVSOCKET SocketUdp()
{
    QVSOCKET s = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    if (s == QV_INVALID_SOCKET) return s;
    // Windows turns an ICMP "port unreachable" for an earlier send into a failure
    // of the next receive, as if this socket were broken. A datagram to a peer
    // that has just left, or through a NAT that rebinds, would end a stream or a
    // probe that is otherwise fine; nothing here relies on that report.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(Sys(s), SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &returned, nullptr, nullptr);
    // The same for an ICMP "time exceeded" (a routing loop, or a hop count run
    // out on the way), which comes back as a network reset.
    WSAIoctl(Sys(s), SIO_UDP_NETRESET, &report, sizeof(report), nullptr, 0, &returned, nullptr, nullptr);
    return s;
}

void CloseSocket(QVSOCKET s)
{
    if (s == QV_INVALID_SOCKET) return;
    shutdown(Sys(s), SD_RECEIVE);
    closesocket(Sys(s));
}

QVSOCKET SocketInterrupt(QVSOCKET s)
{
    // closesocket is what cancels the blocking calls of other threads.
    CloseSocket(s);
    return QV_INVALID_SOCKET;
}

bool SetNonBlocking(QVSOCKET s)
{
    u_long on = 1;
    return s != QV_INVALID_SOCKET && ioctlsocket(Sys(s), FIONBIO, &on) == 0;
}

bool SetBlocking(QVSOCKET s)
{
    u_long off = 0;
    return s != QV_INVALID_SOCKET && ioctlsocket(Sys(s), FIONBIO, &off) == 0;
}

bool SysWait(QVSOCKET s, bool write, uint32_t ms)
{
    if (s == QV_INVALID_SOCKET) return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Sys(s), &set);
    timeval tv;
    tv.tv_sec = (long)(ms / 1000);
    tv.tv_usec = (long)((ms % 1000) * 1000);
    int r = select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &tv);
    return r > 0;
}

bool SocketConnect(QVSOCKET s, const QVSockAddr& to)
{
    sockaddr_in sa;
    ToSys(to, &sa);
    if (connect(Sys(s), (sockaddr*)&sa, sizeof(sa)) == 0) return true;
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

QVSOCKET SocketAccept(QVSOCKET s, QVSockAddr* from)
{
    sockaddr_in sa;
    int len = sizeof(sa);
    SOCKET c = accept(Sys(s), (sockaddr*)&sa, &len);
    if (c == INVALID_SOCKET) return QV_INVALID_SOCKET;
    SetHandleInformation((HANDLE)c, HANDLE_FLAG_INHERIT, 0);
    if (from) FromSys(sa, from);
    return (QVSOCKET)c;
}

int SocketSend(QVSOCKET s, const void* data, int len)
{
    if (s == QV_INVALID_SOCKET || len < 0) return -1;
    const char* p = (const char*)data;
    int done = 0;
    while (done < len) {
        int r = send(Sys(s), p + done, len - done, 0);
        if (r == SOCKET_ERROR) {
            // A non-blocking stream (a connect with a time-out leaves it so) may
            // take only part; wait a bounded time for room, as a blocking send would.
            if (WSAGetLastError() == WSAEWOULDBLOCK && SysWait(s, true, 5000)) continue;
            return done > 0 ? done : -1;
        }
        done += r;
    }
    return done;
}

int SocketRecv(QVSOCKET s, void* buf, int len)
{
    if (s == QV_INVALID_SOCKET || len < 0) return -1;
    int r = recv(Sys(s), (char*)buf, len, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int SocketSendTo(QVSOCKET s, const void* data, int len, const QVSockAddr& to)
{
    if (s == QV_INVALID_SOCKET) return -1;
    sockaddr_in sa;
    ToSys(to, &sa);
    int r = sendto(Sys(s), (const char*)data, len, 0, (sockaddr*)&sa, sizeof(sa));
    return r == SOCKET_ERROR ? -1 : r;
}

// One recvfrom; the caller has made sure it cannot wait.
static int ReceiveDatagram(QVSOCKET s, void* buf, int len, QVSockAddr* from)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    int slen = sizeof(sa);
    int r = recvfrom(Sys(s), (char*)buf, len, 0, (sockaddr*)&sa, &slen);
    if (r == SOCKET_ERROR) {
        // A datagram larger than the buffer still arrived; report what was kept.
        if (WSAGetLastError() == WSAEMSGSIZE)
            r = len;
        else
            return -1;
    }
    if (from) FromSys(sa, from);
    return r;
}

int SocketRecvFrom(QVSOCKET s, void* buf, int len, QVSockAddr* from)
{
    if (s == QV_INVALID_SOCKET || len < 0) return -1;
    // The socket may be blocking: only a readable one is read.
    if (!SysWait(s, false, 0)) {
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    return ReceiveDatagram(s, buf, len, from);
}

int SocketRecvFromNonBlocking(QVSOCKET s, void* buf, int len, QVSockAddr* from)
{
    if (s == QV_INVALID_SOCKET || len < 0) return -1;
    // recvfrom itself answers WSAEWOULDBLOCK when nothing is waiting.
    return ReceiveDatagram(s, buf, len, from);
}

int SocketLastError()
{
    return WSAGetLastError();
}
bool SocketErrorWouldBlock(int err)
{
    return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS;
}
