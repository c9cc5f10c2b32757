#!/usr/bin/env python3
"""Writes the starting inputs of the relay, server-list and discovery-server fuzz
targets next to this script (see make_seeds.py for the other targets; minimised
inputs that once found a fault are named crash-*/hang-* and never rewritten here).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def record(a, b, c, d, port):
    return struct.pack("<H", 2) + struct.pack(">H", port) + bytes([a, b, c, d]) + b"\0" * 8


def field(text, size, fill=b"\0"):
    return (text + fill * size)[:size]


# ---------------------------------------------------------------------------
# Relay datagrams: u16 maximum payload, then one datagram.
def relay(name, datagram, max_payload=1390):
    write("fuzz_relay", name, struct.pack("<H", max_payload) + datagram)


relay("seed-probe", bytes([10]) + struct.pack("<I", 0))
relay("seed-probe-ack", bytes([11]) + record(198, 51, 100, 4, 40000) + struct.pack("<I", 134))
relay("seed-list-count", bytes([17, 0]) + struct.pack("<I", 0))
relay("seed-list-entry", bytes([17, 3, 0, 0]))
relay("seed-list-count-ack", bytes([18, 0, 0, 0, 0]) + struct.pack("<I", 40))
relay("seed-list-entry-ack-padded",
      bytes([18]) + field(b"Relay\0leftover", 64, b"Z") + field(b"10.0.0.5\0xyz", 128, b"Q") +
      struct.pack("<H", 8500))
relay("seed-find", bytes([2]) + field(b"Zizu", 64))
relay("seed-find-relay-64", bytes([12]) + b"N" * 64)
relay("seed-find-ack", bytes([3]) + record(203, 0, 113, 7, 6000))
relay("seed-find-nack", bytes([4]))
relay("seed-turn-ack", bytes([13]) + struct.pack("<I", 0x0A0B0C0D) + bytes([0x70, 0x17]))
relay("seed-tcp-ack", bytes([14]) + record(203, 0, 113, 8, 22000))
relay("seed-hello", bytes([6]))
relay("seed-params", bytes([22]) + struct.pack("<6I", 1390, 24, 8, 128, 127, 512))
relay("seed-params-zero-slots", bytes([22]) + struct.pack("<6I", 0, 0, 0, 0, 0, 0))
relay("seed-data", bytes([128]) + struct.pack("<H", 32255) + b"payload")
relay("seed-data-ack", bytes([129]) + struct.pack("<H", 7) + b"payload" + struct.pack("<H", 6), 9)
relay("seed-data-too-long", bytes([128]) + struct.pack("<H", 1) + b"x" * 11, 10)
relay("seed-rx-ack-odd", bytes([130]) + struct.pack("<8H", 1, 2, 3, 4, 5, 6, 7, 8) + b"\xAB")
relay("seed-bye", bytes([8]))

# ---------------------------------------------------------------------------
# Discovery server: length pick, name length, name, then the message.
def dserver(name, message, system=b"Zizu", pick=0):
    write("fuzz_dserver", name, bytes([pick, len(system)]) + system + message)


def answer(payload, command=0x4654):
    return struct.pack("<HHI", 0, command, len(payload)) + payload


def item(text):
    return struct.pack("<I", len(text)) + text + b"\0" * (-len(text) % 4)


good = bytes([1, 1]) + item(b"10.0.0.50") + struct.pack("<H", 4660) + bytes([1, 0])
dserver("seed-answer", answer(good))
dserver("seed-not-found", answer(good, 0x4653), b"House")
dserver("seed-address-64", answer(bytes([1, 0]) + item(b"8" * 64) + struct.pack("<H", 80) + bytes([1, 1])))
dserver("seed-truncated", answer(good), b"", 128 + 14)
limit = bytes([1, 1]) + item(b"10.1.2.3") + struct.pack("<H", 0x1122) + bytes([1, 1])
dserver("seed-exactly-1024", answer(limit + b"\x55" * (1016 - len(limit))))
dserver("seed-past-1024", answer(limit + b"\x55" * (1017 - len(limit))))

# ---------------------------------------------------------------------------
# Server list files.
write("fuzz_serverlist", "seed-crlf", b"Alpha,10.0.0.5,8500\r\nBeta,10.0.0.6,8600")
write("fuzz_serverlist", "seed-skipped-lines",
      b"\n\r\nnocomma\none,comma\nA,B,65536\nC,D,-1\nE,F,99999999999999999999\nG,H, +77x\n,,0\n")
write("fuzz_serverlist", "seed-forty-lines",
      b"".join(b"S%d,10.0.0.%d,%d\n" % (i, i, 9000 + i) for i in range(40)))
write("fuzz_serverlist", "seed-long-fields", b"n" * 100 + b"," + b"h" * 200 + b",1\nA\0Z,B\0Y,2\r\r\n")
