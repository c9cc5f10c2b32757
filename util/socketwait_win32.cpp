// Two-socket waits and non-waiting sends over Windows Sockets.
#include <winsock2.h>
#include <windows.h>

#include "socketwait.h"

static SOCKET Sys(QVSOCKET s)
{
    return (SOCKET)s;
}

SocketPairReady SocketWaitPair(QVSOCKET a, int aInterest, QVSOCKET b, int bInterest, uint32_t ms)
{
    SocketPairReady ready = {0, 0};
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    QVSOCKET socks[2] = {a, b};
    int interest[2] = {aInterest, bInterest};
    int count = 0;
    for (int i = 0; i < 2; i++) {
        if (socks[i] == QV_INVALID_SOCKET || !interest[i]) continue;
        if (interest[i] & QV_WAIT_READ) FD_SET(Sys(socks[i]), &rd);
        if (interest[i] & QV_WAIT_WRITE) FD_SET(Sys(socks[i]), &wr);
        FD_SET(Sys(socks[i]), &ex);
        count++;
    }
    if (count == 0) return ready;
    timeval tv;
    tv.tv_sec = (long)(ms / 1000);
    tv.tv_usec = (long)((ms % 1000) * 1000);
    if (select(0, &rd, &wr, &ex, &tv) <= 0) return ready;
    int* found[2] = {&ready.a, &ready.b};
    for (int i = 0; i < 2; i++) {
        if (socks[i] == QV_INVALID_SOCKET || !interest[i]) continue;
        int r = 0;
        // A failure is reported under whatever was asked for, so the caller's
        // next recv or send meets the error instead of sleeping on it.
        if (FD_ISSET(Sys(socks[i]), &ex)) r = interest[i];
        if ((interest[i] & QV_WAIT_READ) && FD_ISSET(Sys(socks[i]), &rd)) r |= QV_WAIT_READ;
        if ((interest[i] & QV_WAIT_WRITE) && FD_ISSET(Sys(socks[i]), &wr)) r |= QV_WAIT_WRITE;
        *found[i] = r;
    }
    return ready;
}

int SocketSendNow(QVSOCKET s, const void* data, int len)
{
    if (s == QV_INVALID_SOCKET || len < 0) return -1;
    int r = send(Sys(s), (const char*)data, len, 0);
    return r == SOCKET_ERROR ? -1 : r;
}
