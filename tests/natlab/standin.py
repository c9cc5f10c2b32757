#!/usr/bin/env python3
"""The launcher's side in the NAT lab's self-tests: a small client that speaks the
relay datagrams, the relay session preamble and the discovery query the way the
launcher does (its own encoders, written from the formats, not from the simulators).

Each command does one road and prints one JSON line with what it saw:
  probe RELAY [RELAY...] [--tries N]      one UDP socket probes every relay in turn
  list RELAY                              fetches the server list
  find RELAY NAME [--relayed] [--punch] [--turn] [--echo N] [--silence S]
                                          looks NAME up; --punch sends hellos to a FIND ACK
                                          address from the same socket (10 attempts of
                                          250 ms) and, once acknowledged, N echo datagrams,
                                          then after S seconds of silence one more;
                                          --turn opens a TURN ACK's session and echoes N bytes
  dserver ADDR:PORT NAME                  asks the discovery server
  tcp-echo ADDR:PORT [--echo N]           N bytes through a TCP echo
  raw ADDR:PORT HEX [--wait MS] [--count N]
                                          one datagram, every answer within MS (or the first N)
Endpoints are a.b.c.d:port.
"""

import json
import os
import socket
import struct
import sys
import time

sys.dont_write_bytecode = True  # nothing of ours is left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from headers import RELAY  # noqa: E402

# The datagram types as the launcher defines them (remote/relaypacket.h).
FIND, FIND_ACK, FIND_NACK = RELAY.STUN_FIND, RELAY.STUN_FIND_ACK, RELAY.STUN_FIND_NACK
HELLO, HELLO_ACK = RELAY.STUN_HELLO, RELAY.STUN_HELLO_ACK
PROBE, PROBE_ACK, FIND_RELAY = RELAY.STUN_PROBE, RELAY.STUN_PROBE_ACK, RELAY.STUN_FIND_RELAY
TURN_ACK, TCP_ACK, LIST, LIST_ACK = RELAY.STUN_TURN_ACK, RELAY.STUN_TCP_ACK, RELAY.STUN_LIST, RELAY.STUN_LIST_ACK


def endpoint(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def record_text(rec):
    """An address record (family LE, port and address in network order) as a.b.c.d:port."""
    port = struct.unpack(">H", rec[2:4])[0]
    return "%d.%d.%d.%d:%d" % (rec[4], rec[5], rec[6], rec[7], port)


def udp():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", 0))
    return s


def receive(s, wait_s, accept=lambda d: True, bufsize=2048):
    """The first datagram that accept() takes within wait_s (others are counted as
    skipped), or (None, None, skipped)."""
    deadline = time.monotonic() + wait_s
    skipped = []
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return None, None, skipped
        s.settimeout(left)
        try:
            data, sender = s.recvfrom(bufsize)
        except socket.timeout:
            return None, None, skipped
        except ConnectionRefusedError:
            continue
        if data and accept(data):
            return data, sender, skipped
        skipped.append(data[0] if data else -1)


def probe(relays, tries):
    s = udp()
    out = {"local_port": s.getsockname()[1], "relays": {}}
    for r in relays:
        answer = None
        for _ in range(tries):
            s.sendto(struct.pack("<BI", PROBE, 0), endpoint(r))
            data, _, _ = receive(s, 1.0, lambda d: d[0] == PROBE_ACK, 512)
            if data is not None:
                answer = data
                break
        if answer is None or len(answer) < 21:
            out["relays"][r] = None if answer is None else {"short": len(answer)}
        else:
            out["relays"][r] = {"mapped": record_text(answer[1:17]),
                                "checksum": struct.unpack("<I", answer[17:21])[0], "size": len(answer)}
    return out


def exchange_list(s, relay, request, first):
    s.sendto(request, endpoint(relay))
    data, _, _ = receive(s, 2.0 if first else 1.0, lambda d: d[0] == LIST_ACK, 512)
    return data


def fetch_list(relay):
    s = udp()
    head = exchange_list(s, relay, struct.pack("<BBI", LIST, 0, 0), True)
    if head is None or len(head) < 9:
        return {"count": None}
    count = struct.unpack("<I", head[5:9])[0]
    entries = []
    for n in range(1, min(count, 32) + 1):
        d = exchange_list(s, relay, struct.pack("<BBH", LIST, n, 0), False)
        if d is None or len(d) < 195:
            entries.append(None)
            break
        entries.append([d[1:65].split(b"\0")[0].decode("latin-1"), d[65:193].split(b"\0")[0].decode("latin-1"),
                        struct.unpack("<H", d[193:195])[0]])
    return {"count": count, "entries": entries}


def find_request(name, relayed=False):
    """A lookup of name (cut to the name field, as the launcher does), relayed or not."""
    field = RELAY.STUN_NAME_FIELD
    raw = name.encode("latin-1")[:field]
    return bytes([FIND_RELAY if relayed else FIND]) + raw + b"\0" * (field - len(raw))


def lookup(s, relay, name, relayed):
    """Five sendings of one second each, as the launcher: the decisive answer or None."""
    skipped = []
    for _ in range(5):
        s.sendto(find_request(name, relayed), endpoint(relay))
        data, _, sk = receive(s, 1.0, lambda d: d[0] in (FIND_ACK, FIND_NACK, TURN_ACK, TCP_ACK))
        skipped += sk
        if data is not None:
            return data, skipped
    return None, skipped


def echo_stream(sock, size):
    payload = os.urandom(size)
    sock.sendall(payload)
    got = b""
    sock.settimeout(5)
    while len(got) < size:
        chunk = sock.recv(65536)
        if not chunk:
            break
        got += chunk
    return got == payload


def echo_once(s, addr, i):
    msg = b"\x80" + struct.pack("<H", i) + os.urandom(32)
    s.sendto(msg, addr)
    back, _, _ = receive(s, 1.0, lambda d, m=msg: d == m)
    return back is not None


def punch(s, target, echo_count, silence_s=0):
    addr = endpoint(target)
    for attempt in range(10):
        s.sendto(bytes([HELLO]), addr)
        data, sender, _ = receive(s, 0.25, lambda d: d[0] == HELLO_ACK)
        if data is not None:
            result = {"punched": True, "attempts": attempt + 1, "ack_from": "%s:%d" % sender}
            ok = 0
            for i in range(echo_count):
                ok += echo_once(s, addr, i)
            result["echoed"] = ok
            if silence_s:
                time.sleep(silence_s)
                result["echoed_after_silence"] = echo_once(s, addr, echo_count)
            return result
    return {"punched": False}


def find(relay, name, relayed, do_punch, do_turn, echo, silence_s=0):
    s = udp()
    data, skipped = lookup(s, relay, name, relayed)
    out = {"skipped": skipped}
    if data is None:
        out["answer"] = None
        return out
    out["size"] = len(data)
    t = data[0]
    if t == FIND_ACK:
        out.update(answer="find-ack", address=record_text(data[1:17]))
        if do_punch:
            out.update(punch(s, out["address"], echo, silence_s))
    elif t == FIND_NACK:
        out["answer"] = "nack"
    elif t == TURN_ACK:
        sid, port = struct.unpack("<IH", data[1:7])
        out.update(answer="turn", sid=sid, port=port)
        if do_turn:
            t0 = socket.create_connection((endpoint(relay)[0], port), timeout=5)
            t0.sendall(struct.pack("<I", sid))
            out["echo_ok"] = echo_stream(t0, echo) if echo else None
            t0.close()
    elif t == TCP_ACK:
        out.update(answer="tcp", address=record_text(data[1:17]))
    return out


def string_item(raw):
    pad = (-len(raw)) % 4
    return struct.pack("<I", len(raw)) + raw + b"\0" * pad


def dserver(where, name):
    raw = name.encode("latin-1")
    payload = string_item(raw) * 2
    s = socket.create_connection(endpoint(where), timeout=5)
    s.sendall(struct.pack("<HHI", 0, 0x4653, len(payload)) + payload)
    got = b""
    total = None
    s.settimeout(13)
    while total is None or len(got) < total:
        try:
            chunk = s.recv(4096)
        except socket.timeout:
            break
        if not chunk:
            break
        got += chunk
        if total is None and len(got) >= 8:
            total = 8 + struct.unpack("<I", got[4:8])[0]
    s.close()
    out = {"received": len(got), "total": total}
    if len(got) < 8:
        return out
    out["command"] = struct.unpack("<H", got[2:4])[0]
    p = got[8:total]
    if out["command"] == 0x4654 and len(p) >= 6:
        count = struct.unpack("<I", p[2:6])[0]
        text = p[6:6 + count]
        at = 6 + count + ((-count) % 4)
        out.update(found=p[0], licensed=p[1], address=text.decode("latin-1"))
        if at + 4 <= len(p):
            out.update(port=struct.unpack("<H", p[at:at + 2])[0], open=p[at + 2], relay=p[at + 3])
    out["hex"] = got[:64].hex()
    return out


def tcp_echo(where, size):
    s = socket.create_connection(endpoint(where), timeout=5)
    ok = echo_stream(s, size)
    s.close()
    return {"echo_ok": ok}


def raw(where, hexdata, wait_ms, count):
    s = udp()
    s.sendto(bytes.fromhex(hexdata), endpoint(where))
    answers = []
    deadline = time.monotonic() + wait_ms / 1000.0
    start = time.monotonic()
    while True:
        data, sender, _ = receive(s, max(0.0, deadline - time.monotonic()))
        if data is None:
            break
        answers.append({"hex": data.hex(), "ms": int((time.monotonic() - start) * 1000)})
        if count and len(answers) >= count:
            break
    return {"answers": answers, "local_port": s.getsockname()[1]}


def option(args, name, default=None, cast=str):
    if name in args:
        i = args.index(name)
        value = cast(args[i + 1])
        del args[i:i + 2]
        return value
    return default


def flag(args, name):
    if name in args:
        args.remove(name)
        return True
    return False


def main(argv):
    if not argv:
        print(__doc__)
        return 2
    cmd, args = argv[0], list(argv[1:])
    if cmd == "probe":
        tries = option(args, "--tries", 5, int)
        out = probe(args, tries)
    elif cmd == "list":
        out = fetch_list(args[0])
    elif cmd == "find":
        relayed, do_punch, do_turn = flag(args, "--relayed"), flag(args, "--punch"), flag(args, "--turn")
        echo = option(args, "--echo", 0, int)
        out = find(args[0], args[1], relayed, do_punch, do_turn, echo, option(args, "--silence", 0, int))
    elif cmd == "dserver":
        out = dserver(args[0], args[1])
    elif cmd == "tcp-echo":
        out = tcp_echo(args[0], option(args, "--echo", 65536, int))
    elif cmd == "raw":
        wait = option(args, "--wait", 1000, int)
        count = option(args, "--count", 0, int)
        out = raw(args[0], args[1], wait, count)
    else:
        print(__doc__)
        return 2
    print(json.dumps(out), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
