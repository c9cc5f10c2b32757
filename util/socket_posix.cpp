// Socket seam over BSD sockets.
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qvsocket.h"

static int Fd(QVSOCKET s)
{
    return (int)(intptr_t)s;
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
    return true;
}
void SocketCleanup() {}

static QVSOCKET NewSocket(int type)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return QV_INVALID_SOCKET;
    return (QVSOCKET)(intptr_t)fd;
}

QVSOCKET SocketTcp()
{
    return NewSocket(SOCK_STREAM);
}
QVSOCKET SocketUdp()
{
    return NewSocket(SOCK_DGRAM);
}

void CloseSocket(QVSOCKET s)
{
    if (s == QV_INVALID_SOCKET) return;
    shutdown(Fd(s), SHUT_RD);
    close(Fd(s));
}

bool SetNonBlocking(QVSOCKET s)
{
    if (s == QV_INVALID_SOCKET) return false;
    int flags = fcntl(Fd(s), F_GETFL, 0);
    return flags >= 0 && fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SetBlocking(QVSOCKET s)
{
    if (s == QV_INVALID_SOCKET) return false;
    int flags = fcntl(Fd(s), F_GETFL, 0);
    return flags >= 0 && fcntl(Fd(s), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

static bool WaitFor(QVSOCKET s, short events, uint32_t ms)
{
    if (s == QV_INVALID_SOCKET) return false;
    pollfd p;
    p.fd = Fd(s);
    p.events = events;
    p.revents = 0;
    int timeout = ms > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)ms;
    int r;
    do {
        r = poll(&p, 1, timeout);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return false;
    if (events == POLLOUT) {
        // A failed connect reports POLLERR/POLLHUP; like select's write set on
        // Windows it does not count as writable.
        return (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP));
    }
    return (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

bool SocketReadable(QVSOCKET s, uint32_t ms)
{
    return WaitFor(s, POLLIN, ms);
}
bool SocketWritable(QVSOCKET s, uint32_t ms)
{
    return WaitFor(s, POLLOUT, ms);
}

bool SocketConnect(QVSOCKET s, const QVSockAddr& to)
{
    sockaddr_in sa;
    ToSys(to, &sa);
    int r;
    do {
        r = connect(Fd(s), (sockaddr*)&sa, sizeof(sa));
    } while (r < 0 && errno == EINTR);
    return r == 0 || errno == EINPROGRESS;
}

bool SocketConnectSucceeded(QVSOCKET s)
{
    int err = 0;
    socklen_t len = sizeof(err);
    return getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

bool SocketBind(QVSOCKET s, const QVSockAddr& local)
{
    sockaddr_in sa;
    ToSys(local, &sa);
    return bind(Fd(s), (sockaddr*)&sa, sizeof(sa)) == 0;
}

bool SocketListen(QVSOCKET s, int backlog)
{
    return listen(Fd(s), backlog) == 0;
}

QVSOCKET SocketAccept(QVSOCKET s, QVSockAddr* from)
{
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    int fd = accept4(Fd(s), (sockaddr*)&sa, &len, SOCK_CLOEXEC);
    if (fd < 0) return QV_INVALID_SOCKET;
    if (from) FromSys(sa, from);
    return (QVSOCKET)(intptr_t)fd;
}

bool SocketLocalAddr(QVSOCKET s, QVSockAddr* out)
{
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    if (getsockname(Fd(s), (sockaddr*)&sa, &len) != 0) return false;
    FromSys(sa, out);
    return true;
}

int SocketSend(QVSOCKET s, const void* data, int len)
{
    if (s == QV_INVALID_SOCKET || len < 0) return -1;
    // A blocking send on a stream delivers everything unless the peer is gone;
    // loop over partial writes as Windows' send does internally.
    const char* p = (const char*)data;
    int done = 0;
    while (done < len) {
        ssize_t r = send(Fd(s), p + done, (size_t)(len - done), MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && done > 0) {
                if (!WaitFor(s, POLLOUT, 5000)) return done;
                continue;
            }
            return done > 0 ? done : -1;
        }
        done += (int)r;
    }
    return done;
}

int SocketRecv(QVSOCKET s, void* buf, int len)
{
    if (s == QV_INVALID_SOCKET || len < 0) return -1;
    ssize_t r;
    do {
        r = recv(Fd(s), buf, (size_t)len, 0);
    } while (r < 0 && errno == EINTR);
    return (int)r;
}

int SocketSendTo(QVSOCKET s, const void* data, int len, const QVSockAddr& to)
{
    if (s == QV_INVALID_SOCKET) return -1;
    sockaddr_in sa;
    ToSys(to, &sa);
    return (int)sendto(Fd(s), data, (size_t)len, MSG_NOSIGNAL, (sockaddr*)&sa, sizeof(sa));
}

int SocketRecvFrom(QVSOCKET s, void* buf, int len, QVSockAddr* from)
{
    if (s == QV_INVALID_SOCKET) return -1;
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    socklen_t slen = sizeof(sa);
    ssize_t r;
    do {
        r = recvfrom(Fd(s), buf, (size_t)len, MSG_DONTWAIT, (sockaddr*)&sa, &slen);
    } while (r < 0 && errno == EINTR);
    if (r >= 0 && from) FromSys(sa, from);
    return (int)r;
}

static bool SetOpt(QVSOCKET s, int level, int name, int value)
{
    if (s == QV_INVALID_SOCKET) return false;
    return setsockopt(Fd(s), level, name, &value, sizeof(value)) == 0;
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
    return errno;
}
bool SocketErrorWouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS;
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
