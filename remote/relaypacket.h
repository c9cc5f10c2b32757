// The datagrams exchanged with relay servers and with the controller on the
// remote roads, and the discovery server's TCP messages. Every multi-byte field
// is little-endian unless it sits inside an address record (network order).
//
// Each format has its builder and its parser side by side. Builders write into a
// caller's buffer of at least the format's size and return the byte count.
// Parsers take the bytes and the length a receive reported (any value, negative
// included), never read past that length, and return false for a datagram that
// is too short for its fields or of another type. A parser reads the fields it
// needs and ignores bytes after them, except where the length itself carries
// meaning (data packets, acknowledgement lists).
//
// The address text of a record ("%d.%d.%d.%d:%d") is FormatAddressRecord in
// util/qvsocket.h.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "../util/qvsocket.h"

// The first byte of every relay datagram.
enum StunPacketType : uint8_t {
    STUN_ENROLL = 0,
    STUN_ENROLL_ACK = 1,
    STUN_FIND = 2,
    STUN_FIND_ACK = 3,
    STUN_FIND_NACK = 4,
    STUN_SENDTO = 5,
    STUN_HELLO = 6,
    STUN_HELLO_ACK = 7,
    STUN_BYE = 8,
    STUN_BYE_ACK = 9,
    STUN_PROBE = 10,
    STUN_PROBE_ACK = 11,
    STUN_FIND_RELAY = 12,
    STUN_TURN_ACK = 13,
    STUN_TCP_ACK = 14,
    STUN_LIST = 17,
    STUN_LIST_ACK = 18,
    STUN_PARAMS = 22,
    STUN_PARAMS_ACK = 23,
    STUN_NO_OP = 31,
    STUN_TX_PACKET = 128,
    STUN_TX_PACKET_ACK = 129,
    STUN_RX_ACK = 130,
};

// Receive sizes: most answers are read into 512 bytes; lookup answers and the
// datagrams of an established connection into 2048.
const int STUN_SMALL_RECEIVE = 512;
const int STUN_LARGE_RECEIVE = 2048;

const int STUN_ADDRESS_RECORD = 16;
const int STUN_PROBE_LENGTH = 5;            // type + u32 client tag
const int STUN_PROBE_ACK_LENGTH = 21;       // type + address record + u32 checksum (minimum)
const int STUN_LIST_COUNT_LENGTH = 6;       // type + entry 0 + u32 client tag
const int STUN_LIST_ENTRY_LENGTH = 4;       // type + entry number + low 16 bits of the tag
const int STUN_LIST_COUNT_ACK_LENGTH = 9;   // type + 4 bytes not examined + u32 count (minimum)
const int STUN_LIST_ENTRY_ACK_LENGTH = 195; // type + name 64 + host 128 + u16 port
const int STUN_FIND_LENGTH = 65;            // type + system name field
const int STUN_FIND_ACK_LENGTH = 17;        // type + address record
const int STUN_TURN_ACK_LENGTH = 7;         // type + u32 session id + u16 port
const int STUN_TCP_ACK_LENGTH = 17;         // type + address record
const int STUN_PARAMS_LENGTH = 25;          // type + six u32
const int STUN_DATA_HEADER = 3;             // type + u16 sequence number
const int STUN_RX_ACK_MAX = 8;              // sequence numbers in one STUN_RX_ACK
const int STUN_RX_ACK_LENGTH_MAX = 1 + 2 * STUN_RX_ACK_MAX;

const int STUN_NAME_FIELD = 64;  // system name in a lookup; server name in a list entry
const int STUN_HOST_FIELD = 128; // host in a list entry
const int STUN_LIST_MAX = 32;    // servers taken from a list count answer

// "No acknowledgement" for a data packet builder (and an empty pending list).
const uint16_t STUN_NO_ACK = 0xFFFF;

// The 13-character log name of a type taken modulo 256, or "Unknown".
const char* StunTypeName(int type);

// The type byte of a datagram, or -1 for an empty one (or a negative length).
int StunType(const uint8_t* data, int length);

// Address records, field by field: family (u16 little-endian), port and address
// as they stand (network order), the last 8 bytes as they stand. A received record
// is used unchanged as a destination.
void PutAddressRecord(uint8_t* out, const QVSockAddr& address);
QVSockAddr GetAddressRecord(const uint8_t* in);

// Single-byte datagrams: STUN_HELLO, STUN_HELLO_ACK, STUN_BYE, STUN_PARAMS_ACK.
int BuildStunSingle(uint8_t* out, StunPacketType type);
// Whether a datagram is of that type (its length at least 1; more bytes are ignored).
bool IsStunPacket(const uint8_t* data, int length, StunPacketType type);

// Probe, launcher to relay server.
int BuildProbe(uint8_t* out, uint32_t clientTag);
bool ParseProbe(const uint8_t* data, int length, uint32_t* clientTag);

// Probe answer: where the server saw the launcher, and its list checksum.
struct StunProbeAck {
    QVSockAddr mapped;
    uint32_t dwChecksum;
};
int BuildProbeAck(uint8_t* out, const StunProbeAck& ack);
bool ParseProbeAck(const uint8_t* data, int length, StunProbeAck* ack);

// List requests. Entry 0 asks for the count (6 bytes, whole tag); entries from 1
// ask for one server (4 bytes, low 16 bits of the tag).
int BuildListCountRequest(uint8_t* out, uint32_t clientTag);
int BuildListEntryRequest(uint8_t* out, uint8_t entry, uint32_t clientTag);
bool ParseListRequest(const uint8_t* data, int length, uint8_t* entry, uint32_t* clientTag);

// List answers. Both carry type 18; nothing but the length tells them apart, and
// nothing ties an entry answer to the number that was asked for. The count is
// given as it came; the caller takes at most STUN_LIST_MAX.
int BuildListCountAck(uint8_t* out, uint32_t count);
bool ParseListCountAck(const uint8_t* data, int length, uint32_t* count);

// One server of a list answer. After parsing, both texts are terminated inside
// their fields (the name after at most 63 characters, the host after at most 127)
// and every byte after the terminator is NUL, whatever padding the server sent:
// the list checksum is taken over these fields and must not depend on it.
struct StunListEntry {
    char szName[STUN_NAME_FIELD];
    char szHost[STUN_HOST_FIELD];
    uint16_t wPort;
};
int BuildListEntryAck(uint8_t* out, const StunListEntry& entry);
// An answer shorter than 195 bytes is refused.
bool ParseListEntryAck(const uint8_t* data, int length, StunListEntry* entry);

// Lookup request (STUN_FIND or STUN_FIND_RELAY): the name in a 64-byte field
// padded with NUL bytes; a name of 64 characters has no terminator, a longer one
// is cut at 64.
int BuildLookup(uint8_t* out, StunPacketType type, const std::string& systemName);
bool ParseLookup(const uint8_t* data, int length, StunPacketType* type, std::string* systemName);

// Lookup answers. Only the four decisive types parse; any other type (or one too
// short for its fields) is not an answer and the lookup goes on waiting.
struct StunLookupAnswer {
    StunPacketType type;  // STUN_FIND_ACK, STUN_FIND_NACK, STUN_TURN_ACK or STUN_TCP_ACK
    QVSockAddr address;   // FIND_ACK: the controller's UDP endpoint; TCP_ACK: its TCP endpoint
    uint32_t dwSessionId; // TURN_ACK
    uint16_t wPort;       // TURN_ACK: the relay session's TCP port, host order
};
int BuildFindAck(uint8_t* out, const QVSockAddr& address);
int BuildFindNack(uint8_t* out);
// The port goes out little-endian (host order), not in network order.
int BuildTurnAck(uint8_t* out, uint32_t sessionId, uint16_t port);
int BuildTcpAck(uint8_t* out, const QVSockAddr& address);
bool ParseLookupAnswer(const uint8_t* data, int length, StunLookupAnswer* answer);

// The transfer parameters of the reliable stream, in their wire order.
struct TransferParams {
    uint32_t MaxPayload;  // payload bytes per data packet
    uint32_t HighUnacked; // send window closes above this many unacknowledged packets
    uint32_t LowUnacked;  // and reopens at or below this many
    uint32_t HighQueued;  // send window closes above this many slots in use
    uint32_t LowQueued;   // and reopens at or below this many
    uint32_t Slots;       // slots in each ring
};
// In force before any agreement, and what the launcher proposes.
extern const TransferParams STUN_PARAMS_INITIAL;  // 509, 24, 8, 24, 4, 384
extern const TransferParams STUN_PARAMS_PROPOSED; // 1390, 24, 8, 128, 127, 512

int BuildParams(uint8_t* out, const TransferParams& params);
// The block is given as it came: whether it is usable is the receiver's decision.
bool ParseParams(const uint8_t* data, int length, TransferParams* params);

// Sequence numbers wrap at the largest multiple of the slot count not above
// 32767 (at least the slot count itself). 0 for 0 slots, which has none.
uint32_t StunSequenceModulus(uint32_t slots);

// Data packets. Type 128 carries 1 to maxPayload bytes; type 129 carries 1 to
// maxPayload - 2 bytes and, in its last two bytes, one acknowledgement.
struct StunDataPacket {
    StunPacketType type; // STUN_TX_PACKET or STUN_TX_PACKET_ACK
    uint16_t wSequence;
    const uint8_t* pPayload; // inside the parsed datagram
    int nPayload;
    uint16_t wAck; // STUN_NO_ACK for type 128
};
void PutDataHeader(uint8_t* out, StunPacketType type, uint16_t sequence);
// Writes a whole data packet: type 128 when ack is STUN_NO_ACK, else type 129 with
// the acknowledgement after the payload. The payload may already lie at out + 3.
// -1 when it does not fit outSize or the payload is empty.
int BuildDataPacket(uint8_t* out, int outSize, uint16_t sequence, const uint8_t* payload, int payloadLength,
                    uint16_t ack);
// Refuses an empty payload and one above what the type may carry with maxPayload.
bool ParseDataPacket(const uint8_t* data, int length, uint32_t maxPayload, StunDataPacket* packet);

// Acknowledgement lists: 1 to 8 sequence numbers in arrival order. The count is
// the whole number of u16 after the type byte (an odd trailing byte is ignored);
// a list of none or of more than 8 is refused.
struct StunRxAck {
    int nCount;
    uint16_t awSequence[STUN_RX_ACK_MAX];
};
int BuildRxAck(uint8_t* out, const uint16_t* sequences, int count); // -1 for a count outside 1..8
bool ParseRxAck(const uint8_t* data, int length, StunRxAck* ack);

// The discovery server (D.SERVER) over TCP: an 8-byte header (u16 reserved 0,
// u16 command, u32 payload length) and a payload.
const uint16_t DSERVER_PORT = 500;
const int DSERVER_HEADER = 8;
const uint16_t DSERVER_QUERY = 0x4653;  // "SF" on the wire
const uint16_t DSERVER_ANSWER = 0x4654; // "TF" on the wire
const int DSERVER_MAX_MESSAGE = 1024;   // a whole answer, header included
const int DSERVER_MAX_ADDRESS = 63;     // address text in an answer

// The query: the system name as a string item, twice.
std::vector<uint8_t> BuildDServerQuery(const std::string& systemName);

// A header's command and payload length; false when fewer than 8 bytes are given.
bool ParseDServerHeader(const uint8_t* data, int length, uint16_t* command, uint32_t* payloadLength);
// Whether a message with this header fits in DSERVER_MAX_MESSAGE bytes.
bool DServerMessageFits(uint32_t payloadLength);

// The answer's items. String items (the address) are a u32 byte count, the bytes
// and zero bytes up to the next multiple of 4 counted from the start of the item
// (the count's first byte), so an item takes 4 + count rounded up to 4 bytes
// wherever it stands; the other items follow with no alignment. An item that
// would run past the payload, padding included, reads as empty or zero, and so
// does everything after it. An address count above 63 leaves the address empty
// but the item is still skipped whole, so the port and flags after it are read.
struct DServerAnswer {
    uint8_t bFound;
    uint8_t bLicensed;
    char szAddress[DSERVER_MAX_ADDRESS + 1]; // dotted IPv4 text, terminated
    uint16_t wPort;                          // host order
    uint8_t bOpen;
    uint8_t bRelay;
};
// The whole message, header included. False (the system was not found) unless
// the command is DSERVER_ANSWER and the message fits in 1024 bytes; the payload is
// what the header announces, cut at the bytes given.
bool DecodeDServerAnswer(const uint8_t* data, int length, DServerAnswer* answer);
// The answer with its header; the address is written with at most 63 bytes.
std::vector<uint8_t> EncodeDServerAnswer(const DServerAnswer& answer);
