// Socket seam. One Win32 file (Windows Sockets) and one POSIX file (BSD sockets)
// implement it; protocol code uses nothing else.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

typedef uintptr_t QVSOCKET;
const QVSOCKET QV_INVALID_SOCKET = (QVSOCKET) ~(uintptr_t)0; // -1: no socket

// The 16-byte IPv4 address record, laid out exactly like a socket address:
// family 2, port in network byte order, the four address bytes in network order
// (first byte of the dotted form lowest in the integer on a little-endian machine),
// eight zero bytes. Used unchanged on the wire and by every socket call.
struct QVSockAddr {
    uint16_t family;
    uint16_t port; // network byte order
    uint32_t addr; // network byte order
    uint8_t zero[8];
};
static_assert(sizeof(QVSockAddr) == 16, "address record is 16 bytes");

// An address record from an address value (network order) and a port in host order.
QVSockAddr MakeSockAddr(uint32_t addr, uint16_t hostPort);
// The record's port in host order.
uint16_t SockAddrPort(const QVSockAddr& a);
// 127.0.0.1 as an address value.
uint32_t LoopbackAddress();
// The record as status and trace lines show it: "%d.%d.%d.%d:%d", the four
// address bytes in order, then the port in host order.
std::string FormatAddressRecord(const QVSockAddr& record);
// Whether two records name the same address and port (a datagram's sender, say).
bool SameEndpoint(const QVSockAddr& a, const QVSockAddr& b);
// Dotted text of exactly four decimal fields of 0 to 255 and nothing else, as an
// address value; false for anything else (a host name, say).
bool ParseDottedIPv4(const char* text, uint32_t* address);
// Host-order <-> network-order 16-bit conversion (byte swap on little-endian machines).
uint16_t HostToNet16(uint16_t v);
inline uint16_t NetToHost16(uint16_t v)
{
    return HostToNet16(v);
}
// An address value from four dotted-form bytes a.b.c.d.
inline uint32_t MakeIPv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return (uint32_t)a | ((uint32_t)b << 8) | ((uint32_t)c << 16) | ((uint32_t)d << 24);
}

bool SocketStartup(); // Windows Sockets start-up; nothing to do elsewhere
void SocketCleanup();

// New sockets are never inherited by programs the launcher starts: a viewer must
// not keep the bridge's listener or the controller connection alive.
QVSOCKET SocketTcp();
// A UDP socket whose receives never fail because an earlier datagram met a
// closed port (an ICMP "port unreachable"): such a datagram is simply lost, as
// on systems where an unconnected UDP socket never hears of it.
QVSOCKET SocketUdp();

// Shuts down the receiving direction first, then closes. Every socket the program
// closes goes through here. Ignores QV_INVALID_SOCKET.
void CloseSocket(QVSOCKET s);
// Ends every call another thread sits in on this socket (a receive or a send
// that waits); nothing more goes through it. Returns what is still to be closed
// with CloseSocket once no other thread uses the handle: the socket itself where
// it survives this (POSIX: both directions shut down), QV_INVALID_SOCKET where
// only closing it ends such a call (Windows).
QVSOCKET SocketInterrupt(QVSOCKET s);

bool SetNonBlocking(QVSOCKET s);
// Back to blocking mode: a socket handed to another program must behave as an
// ordinary blocking socket there.
bool SetBlocking(QVSOCKET s);
// select() on this socket alone; false at once for QV_INVALID_SOCKET.
bool SocketReadable(QVSOCKET s, uint32_t ms);
bool SocketWritable(QVSOCKET s, uint32_t ms);

// Blocking connect (or started, for a non-blocking socket: true when it is in progress).
bool SocketConnect(QVSOCKET s, const QVSockAddr& to);
// After a non-blocking connect became writable: whether it really connected.
bool SocketConnectSucceeded(QVSOCKET s);
bool SocketBind(QVSOCKET s, const QVSockAddr& local);
bool SocketListen(QVSOCKET s, int backlog);
QVSOCKET SocketAccept(QVSOCKET s, QVSockAddr* from); // QV_INVALID_SOCKET on failure
bool SocketLocalAddr(QVSOCKET s, QVSockAddr* out);

// Results as the system gives them: byte count, 0 for an orderly close on recv, -1 on error.
int SocketSend(QVSOCKET s, const void* data, int len);
int SocketRecv(QVSOCKET s, void* buf, int len);
int SocketSendTo(QVSOCKET s, const void* data, int len, const QVSockAddr& to);
// Never blocks: -1 (would block) when no datagram is waiting. An empty datagram
// gives 0 and is consumed, so drain loops make progress past it.
int SocketRecvFrom(QVSOCKET s, void* buf, int len, QVSockAddr* from);
// For a socket made non-blocking with SetNonBlocking: one receive and no readiness
// test first (on some systems every such test is a round trip to another process,
// which a busy drain loop pays per datagram). -1 when nothing is waiting
// (SocketErrorWouldBlock(SocketLastError()) then holds) or on another error; an
// empty datagram gives 0 and is consumed; a longer one than len is cut to len and
// consumed. On a blocking socket it would wait: use SocketRecvFrom there.
int SocketRecvFromNonBlocking(QVSOCKET s, void* buf, int len, QVSockAddr* from);

bool SocketSetBroadcast(QVSOCKET s);
bool SocketSetReuseAddr(QVSOCKET s);
bool SocketSetNoDelay(QVSOCKET s);
// The IP type-of-service byte of what this socket sends.
bool SocketSetTos(QVSOCKET s, int tos);

// What the system's resolver said of a host name, asked for IPv4 addresses only.
enum class HostLookup {
    Found = 0,
    NotFound = 1, // the name has no IPv4 address, or the resolver refused it
    NoAnswer = 2, // no name server answered within the resolver's own time
};
// Host name or dotted address to an IPv4 address value, the first the resolver
// gives; blocks for as long as the system's resolver takes.
HostLookup LookupHostIPv4(const std::string& host, uint32_t* address);
inline bool ResolveHostIPv4(const std::string& host, uint32_t* address)
{
    return LookupHostIPv4(host, address) == HostLookup::Found;
}

int SocketLastError();
bool SocketErrorWouldBlock(int err);
