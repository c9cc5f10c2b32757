// The registration between a controller and its relay server: our own small format,
// which the launcher never sees. README.md in sim/relay describes it with sequence
// diagrams. One definition here, used by both sides (the relay simulator and the
// controller's enrollment library).
//
// Datagrams travel on the controller's UDP socket, the one whose public endpoint the
// relay hands to launchers, so that every enrollment also refreshes the controller's
// NAT mapping towards the relay. Types are taken from the relay numbering where it
// has an unused name for the job (ENROLL, ENROLL ACK, SENDTO) and otherwise from
// numbers the launcher neither sends nor reads.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../../util/qvsocket.h"
#include "../../util/qvtypes.h"

namespace enrollwire
{

// Controller -> relay, every enrollment period: "system NAME is here".
const uint8_t ENROLL = 0;
// Relay -> controller: the enrollment is recorded; the public endpoint seen.
const uint8_t ENROLL_ACK = 1;
// Relay -> controller: a launcher looked the system up and was told to punch;
// send hellos to the launcher's public endpoint.
const uint8_t SENDTO = 5;
// Relay -> controller: open the controller side of a relayed TCP session.
const uint8_t TURN_OPEN = 19;
// Controller -> relay: a SENDTO or TURN_OPEN notice arrived (stops its resending).
const uint8_t NOTICE_ACK = 20;
// Hole punching (the launcher's own types).
const uint8_t HELLO = 6;
const uint8_t HELLO_ACK = 7;

const size_t NAME_FIELD = 64;
const size_t ENROLL_SIZE = 1 + 4 + NAME_FIELD; // type, controller tag, system name
const size_t ENROLL_ACK_SIZE = 1 + 16 + 4;     // type, public endpoint, lifetime ms
const size_t SENDTO_SIZE = 1 + 4 + 16;         // type, notice id, launcher endpoint
const size_t TURN_OPEN_SIZE = 1 + 4 + 4 + 2;   // type, notice id, session id, TCP port
const size_t NOTICE_ACK_SIZE = 1 + 4;          // type, notice id

// First bytes of the controller's side of a relayed TCP session: "RCTL", then the
// session id (u32). The launcher's side opens with the session id alone, so a relay
// never hands out this value as a session id.
const uint32_t TURN_CONTROLLER_MAGIC = 0x4C544352u; // 'R' 'C' 'T' 'L' on the wire
const size_t TURN_CONTROLLER_PREAMBLE = 8;

// Address records as they travel: family u16 LE, port and address in network order.
inline void PutRecord(uint8_t* p, const QVSockAddr& a)
{
    PutLE16(p, 2);
    memcpy(p + 2, &a.port, 2);
    memcpy(p + 4, &a.addr, 4);
    memset(p + 8, 0, 8);
}

inline QVSockAddr GetRecord(const uint8_t* p)
{
    QVSockAddr a;
    memset(&a, 0, sizeof(a));
    a.family = GetLE16(p);
    memcpy(&a.port, p + 2, 2);
    memcpy(&a.addr, p + 4, 4);
    return a;
}

// A NUL-padded name field; a longer name is cut, a name of exactly the field's size
// has no terminator (as in the launcher's lookup).
inline void PutName(uint8_t* p, const std::string& name)
{
    memset(p, 0, NAME_FIELD);
    memcpy(p, name.data(), name.size() < NAME_FIELD ? name.size() : NAME_FIELD);
}

inline std::string GetName(const uint8_t* p, size_t available)
{
    size_t n = available < NAME_FIELD ? available : NAME_FIELD;
    size_t len = 0;
    while (len < n && p[len] != 0)
        ++len;
    return std::string((const char*)p, len);
}

inline std::vector<uint8_t> Enroll(uint32_t tag, const std::string& name)
{
    std::vector<uint8_t> d(ENROLL_SIZE);
    d[0] = ENROLL;
    PutLE32(&d[1], tag);
    PutName(&d[5], name);
    return d;
}

inline std::vector<uint8_t> EnrollAck(const QVSockAddr& seen, uint32_t lifetimeMs)
{
    std::vector<uint8_t> d(ENROLL_ACK_SIZE);
    d[0] = ENROLL_ACK;
    PutRecord(&d[1], seen);
    PutLE32(&d[17], lifetimeMs);
    return d;
}

inline std::vector<uint8_t> SendTo(uint32_t noticeId, const QVSockAddr& launcher)
{
    std::vector<uint8_t> d(SENDTO_SIZE);
    d[0] = SENDTO;
    PutLE32(&d[1], noticeId);
    PutRecord(&d[5], launcher);
    return d;
}

inline std::vector<uint8_t> TurnOpen(uint32_t noticeId, uint32_t sessionId, uint16_t port)
{
    std::vector<uint8_t> d(TURN_OPEN_SIZE);
    d[0] = TURN_OPEN;
    PutLE32(&d[1], noticeId);
    PutLE32(&d[5], sessionId);
    PutLE16(&d[9], port);
    return d;
}

inline std::vector<uint8_t> NoticeAck(uint32_t noticeId)
{
    std::vector<uint8_t> d(NOTICE_ACK_SIZE);
    d[0] = NOTICE_ACK;
    PutLE32(&d[1], noticeId);
    return d;
}

inline void TurnControllerPreamble(uint32_t sessionId, uint8_t out[TURN_CONTROLLER_PREAMBLE])
{
    PutLE32(out, TURN_CONTROLLER_MAGIC);
    PutLE32(out + 4, sessionId);
}

} // namespace enrollwire
