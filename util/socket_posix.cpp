// Socket seam over BSD sockets.
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "socket_sys.h"

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
    shutdown(Sys(s), SHUT_RD);
    close(Sys(s));
}

QVSOCKET SocketInterrupt(QVSOCKET s)
{
    // Closing would not end a call in progress here, and the number could be
    // handed to a new socket while that call still uses it.
    if (s != QV_INVALID_SOCKET) shutdown(Sys(s), SHUT_RDWR);
    return s;
}

bool SetNonBlocking(QVSOCKET s)
{
    if (s == QV_INVALID_SOCKET) return false;
    int flags = fcntl(Sys(s), F_GETFL, 0);
    return flags >= 0 && fcntl(Sys(s), F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SetBlocking(QVSOCKET s)
{
    if (s == QV_INVALID_SOCKET) return false;
    int flags = fcntl(Sys(s), F_GETFL, 0);
    return flags >= 0 && fcntl(Sys(s), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool SysWait(QVSOCKET s, bool write, uint32_t ms)
{
    if (s == QV_INVALID_SOCKET) return false;
    const short events = write ? POLLOUT : POLLIN;
    pollfd p;
    p.fd = Sys(s);
    p.events = events;
    p.revents = 0;
    int timeout = ms > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)ms;
    int r;
    do {
        r = poll(&p, 1, timeout);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return false;
    if (write) {
        // A failed connect reports POLLERR/POLLHUP; like select's write set on
        // Windows it does not count as writable.
        return (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP));
    }
    return (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

bool SocketConnect(QVSOCKET s, const QVSockAddr& to)
{
    sockaddr_in sa;
    ToSys(to, &sa);
    int r;
    do {
        r = connect(Sys(s), (sockaddr*)&sa, sizeof(sa));
    } while (r < 0 && errno == EINTR);
    return r == 0 || errno == EINPROGRESS;
}

QVSOCKET SocketAccept(QVSOCKET s, QVSockAddr* from)
{
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    int fd = accept4(Sys(s), (sockaddr*)&sa, &len, SOCK_CLOEXEC);
    if (fd < 0) return QV_INVALID_SOCKET;
    if (from) FromSys(sa, from);
    return (QVSOCKET)(intptr_t)fd;
}

int SocketSend(QVSOCKET s, const void* data, int len)
{
    if (s == QV_INVALID_SOCKET || len < 0) return -1;
    // A blocking send on a stream delivers everything unless the peer is gone;
    // loop over partial writes as Windows' send does internally.
    const char* p = (const char*)data;
    int done = 0;
    while (done < len) {
        ssize_t r = send(Sys(s), p + done, (size_t)(len - done), MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && done > 0) {
                if (!SysWait(s, true, 5000)) return done;
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
        r = recv(Sys(s), buf, (size_t)len, 0);
    } while (r < 0 && errno == EINTR);
    return (int)r;
}

int SocketSendTo(QVSOCKET s, const void* data, int len, const QVSockAddr& to)
{
    if (s == QV_INVALID_SOCKET) return -1;
    sockaddr_in sa;
    ToSys(to, &sa);
    return (int)sendto(Sys(s), data, (size_t)len, MSG_NOSIGNAL, (sockaddr*)&sa, sizeof(sa));
}

int SocketRecvFrom(QVSOCKET s, void* buf, int len, QVSockAddr* from)
{
    if (s == QV_INVALID_SOCKET) return -1;
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    socklen_t slen = sizeof(sa);
    ssize_t r;
    do {
        r = recvfrom(Sys(s), buf, (size_t)len, MSG_DONTWAIT, (sockaddr*)&sa, &slen);
    } while (r < 0 && errno == EINTR);
    if (r >= 0 && from) FromSys(sa, from);
    return (int)r;
}

int SocketLastError()
{
    return errno;
}
bool SocketErrorWouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS;
}
