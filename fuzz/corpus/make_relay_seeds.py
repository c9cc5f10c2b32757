#!/usr/bin/env python3
"""Writes the starting inputs of the relay, server-list and discovery-server fuzz
targets next to this script (see make_seeds.py for the other targets; minimised
inputs that once found a fault are named crash-*/hang-* and never rewritten here).
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing of ours is left in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "harness"))
from headers import RELAY, Header  # noqa: E402

POOL = Header("remote/serverpool.h")


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def record(a, b, c, d, port):
    head = struct.pack("<H", 2) + struct.pack(">H", port) + bytes([a, b, c, d])
    return head + b"\0" * (RELAY.STUN_ADDRESS_RECORD - len(head))


def field(text, size, fill=b"\0"):
    return (text + fill * size)[:size]


# ---------------------------------------------------------------------------
# Relay datagrams: u16 maximum payload, then one datagram.
def relay(name, datagram, max_payload=1390):
    write("fuzz_relay", name, struct.pack("<H", max_payload) + datagram)


def stun(type_name, *rest):
    """A datagram of the named type (remote/relaypacket.h), its type byte first."""
    return bytes([getattr(RELAY, type_name)]) + b"".join(rest)


NAME, HOST = RELAY.STUN_NAME_FIELD, RELAY.STUN_HOST_FIELD

relay("seed-probe", stun("STUN_PROBE", struct.pack("<I", 0)))
relay("seed-probe-ack", stun("STUN_PROBE_ACK", record(198, 51, 100, 4, 40000), struct.pack("<I", 134)))
relay("seed-list-count", stun("STUN_LIST", bytes([0]), struct.pack("<I", 0)))
relay("seed-list-entry", stun("STUN_LIST", bytes([3, 0, 0])))
relay("seed-list-count-ack", stun("STUN_LIST_ACK", bytes([0, 0, 0, 0]), struct.pack("<I", 40)))
relay("seed-list-entry-ack-padded",
      stun("STUN_LIST_ACK", field(b"Relay\0leftover", NAME, b"Z"), field(b"10.0.0.5\0xyz", HOST, b"Q"),
           struct.pack("<H", POOL.SERVER_DEFAULT_PORT)))
relay("seed-find", stun("STUN_FIND", field(b"Zizu", NAME)))
relay("seed-find-relay-64", stun("STUN_FIND_RELAY", b"N" * NAME))
relay("seed-find-ack", stun("STUN_FIND_ACK", record(203, 0, 113, 7, 6000)))
relay("seed-find-nack", stun("STUN_FIND_NACK"))
relay("seed-turn-ack", stun("STUN_TURN_ACK", struct.pack("<I", 0x0A0B0C0D), bytes([0x70, 0x17])))
relay("seed-tcp-ack", stun("STUN_TCP_ACK", record(203, 0, 113, 8, 22000)))
relay("seed-hello", stun("STUN_HELLO"))
relay("seed-params", stun("STUN_PARAMS", struct.pack("<6I", 1390, 24, 8, 128, 127, 512)))
relay("seed-params-zero-slots", stun("STUN_PARAMS", struct.pack("<6I", 0, 0, 0, 0, 0, 0)))
relay("seed-data", stun("STUN_TX_PACKET", struct.pack("<H", 32255), b"payload"))
relay("seed-data-ack", stun("STUN_TX_PACKET_ACK", struct.pack("<H", 7), b"payload", struct.pack("<H", 6)), 9)
relay("seed-data-too-long", stun("STUN_TX_PACKET", struct.pack("<H", 1), b"x" * 11), 10)
relay("seed-rx-ack-odd",
      stun("STUN_RX_ACK", struct.pack("<%dH" % RELAY.STUN_RX_ACK_MAX, *range(1, RELAY.STUN_RX_ACK_MAX + 1)), b"\xAB"))
relay("seed-bye", stun("STUN_BYE"))

# ---------------------------------------------------------------------------
# Discovery server: length pick, name length, name, then the message.
def dserver(name, message, system=b"Zizu", pick=0):
    write("fuzz_dserver", name, bytes([pick, len(system)]) + system + message)


def answer(payload, command=RELAY.DSERVER_ANSWER):
    return struct.pack("<HHI", 0, command, len(payload)) + payload


def item(text):
    return struct.pack("<I", len(text)) + text + b"\0" * (-len(text) % 4)


good = bytes([1, 1]) + item(b"10.0.0.50") + struct.pack("<H", 4660) + bytes([1, 0])
dserver("seed-answer", answer(good))
dserver("seed-not-found", answer(good, RELAY.DSERVER_QUERY), b"House")
dserver("seed-address-64", answer(bytes([1, 0]) + item(b"8" * 64) + struct.pack("<H", 80) + bytes([1, 1])))
dserver("seed-truncated", answer(good), b"", 128 + 14)
limit = bytes([1, 1]) + item(b"10.1.2.3") + struct.pack("<H", 0x1122) + bytes([1, 1])
room = RELAY.DSERVER_MAX_MESSAGE - len(answer(b""))  # the payload of the largest whole answer
dserver("seed-exactly-1024", answer(limit + b"\x55" * (room - len(limit))))
dserver("seed-past-1024", answer(limit + b"\x55" * (room + 1 - len(limit))))

# ---------------------------------------------------------------------------
# Server list files.
write("fuzz_serverlist", "seed-crlf", b"Alpha,10.0.0.5,8500\r\nBeta,10.0.0.6,8600")
write("fuzz_serverlist", "seed-skipped-lines",
      b"\n\r\nnocomma\none,comma\nA,B,65536\nC,D,-1\nE,F,99999999999999999999\nG,H, +77x\n,,0\n")
write("fuzz_serverlist", "seed-forty-lines",
      b"".join(b"S%d,10.0.0.%d,%d\n" % (i, i, 9000 + i) for i in range(40)))
write("fuzz_serverlist", "seed-long-fields", b"n" * 100 + b"," + b"h" * 200 + b",1\nA\0Z,B\0Y,2\r\r\n")
