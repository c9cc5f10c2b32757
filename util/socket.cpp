// The part of the socket seam that reads the same over Windows Sockets and BSD
// sockets. What differs (creating, closing, waiting, sending and receiving, error
// codes) stays in socket_win32.cpp and socket_posix.cpp.
#include "socket_sys.h"

void ToSys(const QVSockAddr& a, sockaddr_in* out)
{
    memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    out->sin_port = a.port;
    out->sin_addr.s_addr = a.addr;
}

void FromSys(const sockaddr_in& in, QVSockAddr* out)
{
    memset(out, 0, sizeof(*out));
    out->family = 2;
    out->port = in.sin_port;
    out->addr = in.sin_addr.s_addr;
}

bool SocketReadable(QVSOCKET s, uint32_t ms)
{
    return SysWait(s, false, ms);
}
bool SocketWritable(QVSOCKET s, uint32_t ms)
{
    return SysWait(s, true, ms);
}

bool SocketConnectSucceeded(QVSOCKET s)
{
    int err = 0;
    socklen_t len = sizeof(err);
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

bool SocketLocalAddr(QVSOCKET s, QVSockAddr* out)
{
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    if (getsockname(Sys(s), (sockaddr*)&sa, &len) != 0) return false;
    FromSys(sa, out);
    return true;
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

HostLookup LookupHostIPv4(const std::string& host, uint32_t* address)
{
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM; // one result per address, not one per socket type
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        if (found) freeaddrinfo(found);
        return rc == EAI_AGAIN ? HostLookup::NoAnswer : HostLookup::NotFound;
    }
    HostLookup result = HostLookup::NotFound;
    if (found->ai_family == AF_INET && found->ai_addr && found->ai_addrlen >= sizeof(sockaddr_in)) {
        *address = ((const sockaddr_in*)found->ai_addr)->sin_addr.s_addr;
        result = HostLookup::Found;
    }
    freeaddrinfo(found);
    return result;
}
