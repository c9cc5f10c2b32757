// What the two socket seams share below qvsocket.h: the system's socket headers,
// its handle type, and the conversion between our address record and the
// system's. Only util's socket files include this; everything above them sees
// qvsocket.h alone.
#pragma once
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
typedef SOCKET SysSocket;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
typedef int SysSocket;
#endif

#include "qvsocket.h"

inline SysSocket Sys(QVSOCKET s)
{
    return (SysSocket)(intptr_t)s;
}

void ToSys(const QVSockAddr& a, sockaddr_in* out);
void FromSys(const sockaddr_in& in, QVSockAddr* out);

// Whether the socket became readable (or writable) within ms; false at once for
// QV_INVALID_SOCKET. A connect that failed does not count as writable.
bool SysWait(QVSOCKET s, bool write, uint32_t ms);
