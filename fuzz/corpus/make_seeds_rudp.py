#!/usr/bin/env python3
"""Writes the starting inputs of the reliable-stream fuzz target (fuzz_rudp).

Layout (see fuzz/fuzz_rudp.cpp): byte 0 picks the block the client starts from
in its low bits (0 initial, 1 the launcher's, 2 a 32-slot ring, 3 stop-and-wait,
4 the largest); with 0x80 the clock, with 0x40 both rings' sequence numbers
start just short of their wraps, byte 1 then saying how far. Then steps, each an
operation byte (its value modulo 10 picks the operation, its high bits are
flags) and the operation's arguments. Run it again after changing the layout;
inputs named crash-*/hang-* are never rewritten.
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_rudp")

RAW, DATA, ACKS, READ, WRITE, TIME, FAIL, PARAMS, WAKE, CLOSE = range(10)
CLOCK_NEAR_WRAP, SEQUENCE_NEAR_WRAP = 0x80, 0x40


def op(kind, flags=0):
    """The first byte value that selects this operation and carries these flag bits."""
    for b in range(256):
        if b % 10 == kind and b & 0xC0 == flags:
            return bytes([b])
    raise ValueError((kind, flags))


def data(delta, how=0, ack=0):
    out = op(DATA) + bytes([how, delta & 0xFF])
    if how & 0x10:
        out += bytes([ack])
    return out


def acks(*offsets, odd=False):
    return op(ACKS, 0x80 if odd else 0) + bytes([len(offsets)]) + bytes(o & 0xFF for o in offsets)


def read(n):
    return op(READ) + bytes([n])


def write(n):
    return op(WRITE) + bytes([n])


def time(units, slow=False, idle=True):
    return op(TIME, (0x80 if slow else 0) | (0x40 if idle else 0)) + bytes([units])


def raw(datagram):
    return op(RAW) + bytes([len(datagram)]) + datagram


def params(pick, custom=None):
    if custom is None:
        return op(PARAMS) + bytes([pick])
    payload, slots, high_queued = custom
    return op(PARAMS, 0x80) + bytes([pick]) + struct.pack("<III", payload, slots, high_queued)


def close():
    return op(CLOSE, 0x80)


def start(block, near_wrap=0, short_of_wrap=0):
    out = bytes([block | near_wrap])
    return out + bytes([short_of_wrap]) if near_wrap else out


def write_seed(name, content):
    os.makedirs(HERE, exist_ok=True)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(content)


# In order, read in pieces, then again after a gap filled late.
s = bytes([1])
for i in range(12):
    s += data(i)
s += read(40) + read(255) + read(255) + op(WAKE)
for i in (3, 1, 2):
    s += data(i)  # relative to the packet the reader expects next
s += data(0) + read(255) + read(255) + time(10)
write_seed("seed-in-order-and-gaps", s)

# Our own packets: sent, acknowledged in part, resent by time-out and early, given up.
s = bytes([1])
for n in (200, 10, 255, 3):
    s += write(n)
s += acks(8, 10) + time(200, slow=False) + time(20, slow=True) + acks(9)
s += data(0, how=0x10, ack=9) + write(50) + time(255, slow=True) * 12
write_seed("seed-send-resend-give-up", s)

# A 32-slot ring: the window shuts, the receive ring fills, the reader frees it.
s = bytes([2])
for i in range(40):
    s += data(i)
for _ in range(10):
    s += write(40) + acks(8, 9)
s += read(255) * 4 + data(0) + time(5)
write_seed("seed-tiny-ring-full", s)

# Duplicates, packets behind the window, oversized and truncated data, stray acks.
s = bytes([0])
s += data(0) + data(0) + data(1, how=0x20) + data(1, how=0x08) + data(200) + data(0, how=0x80) + b"\x10\x00"
s += read(10) + data(0) + acks(0, 1, 2, 3, 4, 5, 6, 7, 8, odd=True) + op(FAIL) + write(5) + op(FAIL)
write_seed("seed-duplicates-and-damage", s)

# Parameter proposals: the same and a new one while idle, the same with data unread, an unusable one.
s = bytes([1]) + params(1) + params(2) + data(0) + read(255) + time(10) + params(2) + data(0) + read(255)
s += data(1) + params(2)
write_seed("seed-parameter-changes", s)
write_seed("seed-parameter-unusable", bytes([1]) + data(0) + read(255) + params(0, (0xFFFFFFFF, 4999, 100)))

# Clock and sequence numbers a few steps short of their wraps: data both ways across them.
s = start(2, CLOCK_NEAR_WRAP | SEQUENCE_NEAR_WRAP, 3)
for i in range(8):
    s += data(0) + write(20) + acks(8) + time(255, slow=True, idle=False) + read(255)
write_seed("seed-both-wraps", s)

# The peer's BYE with a packet missing before the last: filled late, or never.
write_seed("seed-bye-hole-filled", bytes([2]) + data(0) + data(2) + raw(bytes([8])) + time(30, slow=True)
           + data(1) + read(255) + time(255, slow=True))
write_seed("seed-bye-hole-never", bytes([2]) + data(0) + data(2) + raw(bytes([8])) + read(255)
           + time(255, slow=True) * 3 + read(255))

# A reader that stays away while the ring fills and packets wait aside, then reads.
s = bytes([2])
for i in range(31 + 12):
    s += data(i)  # relative to the packet the reader expects next, which stays 0 here
s += time(10) + read(255) * 12 + time(10)
write_seed("seed-reader-behind", s)

# An idle stream says something every fifteen seconds; then our close mid-input.
s = bytes([1]) + time(1) + time(145, slow=True) + time(10, slow=True) + time(160, slow=True) * 2 + write(5)
s += close() + data(0) + read(10) + write(5)
write_seed("seed-keepalive-then-close", s)

# Every single-byte type and short forms of the longer ones.
s = bytes([3])
for t in (6, 7, 9, 22, 23, 31, 130, 200):
    s += raw(bytes([t]))
s += raw(bytes([22]) + b"\x01" * 24) + raw(bytes([130, 1])) + raw(b"") + write(1) + data(0) + read(1)
s += raw(bytes([8])) + data(1) + read(10) + op(WAKE)
write_seed("seed-single-bytes-and-bye", s)
