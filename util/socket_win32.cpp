// Socket seam over Windows Sockets.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "qvsocket.h"

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

static SOCKET Sys(QVSOCKET s)
{
    return (SOCKET)s;
}

static void ToSys(const QVSockAddr& a, sockaddr_in* out)
{
    memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    out->sin_port = a.port;
    out->sin_addr.s_addr = a.addr;
}

static void FromSys(const sockaddr_in& in, QVSockAddr* out)
{
    memset(out, 0, sizeof(*out));
    out->family = 2;
    out->port = in.sin_port;
    out->addr = in.sin_addr.s_addr;
}

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
    return NewSocket(SOCK_DGRAM, IPPROTO_UDP);
}

void CloseSocket(QVSOCKET s)
{
    if (s == QV_INVALID_SOCKET) return;
    shutdown(Sys(s), SD_RECEIVE);
    closesocket(Sys(s));
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

static bool WaitFor(QVSOCKET s, bool write, uint32_t ms)
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

bool SocketReadable(QVSOCKET s, uint32_t ms)
{
    return WaitFor(s, false, ms);
}
bool SocketWritable(QVSOCKET s, uint32_t ms)
{
    return WaitFor(s, true, ms);
}

bool SocketConnect(QVSOCKET s, const QVSockAddr& to)
{
    sockaddr_in sa;
    ToSys(to, &sa);
    if (connect(Sys(s), (sockaddr*)&sa, sizeof(sa)) == 0) return true;
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

bool SocketConnectSucceeded(QVSOCKET s)
{
    int err = 0;
    int len = sizeof(err);
    return getsockopt(Sys(s), SOL_SOCKET, SO_ERROR, (char*)&err, &len) == 0 && err == 0;
}

bool SocketBind(QVSOCKET s, const QVSockAddr& local)
{
    sockaddr_in sa;
    ToSys(local, &sa);
    return bind(Sys(s), (sockaddr*)&sa, sizeof(sa)) == 0;
}

bool SocketListen(QVSOCKET s, int backlog)
{
    return listen(Sys(s), backlog) == 0;
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

bool SocketLocalAddr(QVSOCKET s, QVSockAddr* out)
{
    sockaddr_in sa;
    int len = sizeof(sa);
    if (getsockname(Sys(s), (sockaddr*)&sa, &len) != 0) return false;
    FromSys(sa, out);
    return true;
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
            if (WSAGetLastError() == WSAEWOULDBLOCK && WaitFor(s, true, 5000)) continue;
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
    if (!WaitFor(s, false, 0)) {
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

static bool SetOpt(QVSOCKET s, int level, int name, int value)
{
    if (s == QV_INVALID_SOCKET) return false;
    return setsockopt(Sys(s), level, name, (const char*)&value, sizeof(value)) == 0;
}

bool SocketSetBroadcast(QVSOCKET s)
{
    return SetOpt(s, SOL_SOCKET, SO_BROADCAST, 1);
}
bool SocketSetReuseAddr(QVSOCKET s)
{
    return SetOpt(s, SOL_SOCKET, SO_REUSEADDR, 1);
}
bool SocketSetNoDelay(QVSOCKET s)
{
    return SetOpt(s, IPPROTO_TCP, TCP_NODELAY, 1);
}
bool SocketSetTos(QVSOCKET s, int tos)
{
    return SetOpt(s, IPPROTO_IP, IP_TOS, tos);
}

int SocketLastError()
{
    return WSAGetLastError();
}
bool SocketErrorWouldBlock(int err)
{
    return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS;
}

bool ResolveHostIPv4(const std::string& host, uint32_t* address)
{
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    *address = ((sockaddr_in*)res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
}
