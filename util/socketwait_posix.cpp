// Two-socket waits and non-waiting sends over BSD sockets.
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include "socketwait.h"

static int Fd(QVSOCKET s)
{
    return (int)(intptr_t)s;
}

static short ToPoll(int interest)
{
    short ev = 0;
    if (interest & QV_WAIT_READ) ev |= POLLIN;
    if (interest & QV_WAIT_WRITE) ev |= POLLOUT;
    return ev;
}

// A failed or hung-up socket wakes the waiter under whatever it asked for, so
// the following recv or send meets the error instead of the caller sleeping on it.
static int FromPoll(short revents, int interest)
{
    int r = 0;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) return interest;
    if ((revents & POLLIN) && (interest & QV_WAIT_READ)) r |= QV_WAIT_READ;
    if ((revents & POLLOUT) && (interest & QV_WAIT_WRITE)) r |= QV_WAIT_WRITE;
    return r;
}

SocketPairReady SocketWaitPair(QVSOCKET a, int aInterest, QVSOCKET b, int bInterest, uint32_t ms)
{
    SocketPairReady ready = {0, 0};
    pollfd p[2];
    int* found[2];
    int interest[2];
    int n = 0;
    if (a != QV_INVALID_SOCKET && aInterest) {
        p[n].fd = Fd(a);
        p[n].events = ToPoll(aInterest);
        p[n].revents = 0;
        interest[n] = aInterest;
        found[n++] = &ready.a;
    }
    if (b != QV_INVALID_SOCKET && bInterest) {
        p[n].fd = Fd(b);
        p[n].events = ToPoll(bInterest);
        p[n].revents = 0;
        interest[n] = bInterest;
        found[n++] = &ready.b;
    }
    if (n == 0) return ready;
    int timeout = ms > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)ms;
    int r;
    do {
        r = poll(p, (nfds_t)n, timeout);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return ready;
    for (int i = 0; i < n; i++)
        *found[i] = FromPoll(p[i].revents, interest[i]);
    return ready;
}

int SocketSendNow(QVSOCKET s, const void* data, int len)
{
    if (s == QV_INVALID_SOCKET || len < 0) return -1;
    ssize_t r;
    do {
        r = send(Fd(s), data, (size_t)len, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return (int)r;
}
