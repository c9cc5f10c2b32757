// The datagrams exchanged with relay servers and with the controller on the
// remote roads, and the discovery server's TCP messages. Every multi-byte field
// is little-endian unless it sits inside an address record (network order).
#pragma once
#include <cstdint>

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

const int STUN_PARAMS_LENGTH = 25;   // type + six u32
const int STUN_DATA_HEADER = 3;      // type + u16 sequence number
const int STUN_RX_ACK_MAX = 8;       // sequence numbers in one STUN_RX_ACK
