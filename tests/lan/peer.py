#!/usr/bin/env python3
"""Simulated controllers on a local network segment, for the launcher's LAN scenarios.

Runs inside the controllers' network namespace. Every simulated controller owns one
of the addresses configured on that namespace's interface; the peer listens on the
wildcard address for UDP 444 (the locator's broadcast) and 1444 (the launcher's
per-adapter discovery and the configuration datagrams) and answers each query FROM
the controller's own address (IP_PKTINFO), so that the launcher sees one sender per
controller without one socket per controller.

Control channel: one JSON object per line on standard input; every command gets one
JSON line back on standard output ({"reply": ...}). Events (queries heard,
configuration set datagrams, floods finished) are JSON lines with an "event" key on
standard output and, with --log, appended to that file.

Commands (fields other than "cmd" and "addr" are optional):
  {"cmd": "add", "addr": "10.77.0.5", "name": "Alpha", "port": 80, "status": 1, "flags": 0}
      also "name_hex" (raw name bytes, up to 28: 28 bytes leave the name unterminated),
      "advertise" (address written into the answer, default the controller's own),
      "type" (answer type word, default 2), "delay_ms" (answer that much later),
      "junk" (before each answer send datagrams of the next 60 sizes of 0..300 but 40),
      "config_hex" (100-byte configuration record: the controller answers
      configuration queries), "config_junk" (before the record send every size
      0..300 but 100, paced so that a reading receiver keeps up).
  {"cmd": "set", "addr": ..., <any field of add>}     change a controller
  {"cmd": "silence", "addr": ..., "on": true}         stop (or resume) answering
  {"cmd": "remove", "addr": ...}
  {"cmd": "clear"}                                    remove every controller
  {"cmd": "flood", "to": "10.77.0.1:1444", "count": N, "rate": per_s, "names": "rotate"|"fixed",
   "sources": ["10.77.0.2", ...]}                     answers nobody asked for, in a thread
  {"cmd": "malformed", "to": "10.77.0.1:1444", "src": "10.77.0.2", "first": 0, "last": 300,
   "chunk": 40, "pause_ms": 350}                      every size but an answer's, paced, in a thread
  {"cmd": "raw", "to": "ADDR:PORT", "src": "ADDR", "hex": "..."}
  {"cmd": "stats"}                                    counts of what was heard
  {"cmd": "ping"}                                     {"reply": "pong"}
  {"cmd": "quit"}

Exit codes: 0 after "quit" or end of input, 2 when the sockets cannot be opened.
"""

import argparse
import json
import os
import select
import socket
import struct
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing of ours is left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from headers import DISCOVERY  # noqa: E402

IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
# The datagrams as the launcher's discovery code defines them (protocol/discovery.h).
DISCOVERY_QUERY = DISCOVERY.DISCOVERY_QUERY
CONFIG_QUERY = DISCOVERY.CONFIG_QUERY
CONFIG_SET = DISCOVERY.CONFIG_SET
ANSWER_TYPE = DISCOVERY.ANSWER_TYPE
ANSWER_SIZE = DISCOVERY.SYSTEM_ANSWER_SIZE
RECORD_SIZE = DISCOVERY.CONFIG_RECORD_SIZE
SET_SIZE = DISCOVERY.CONFIG_SET_SIZE
NAME_FIELD = DISCOVERY.SYSTEM_ANSWER_NAME_FIELD
SELECTABLE = DISCOVERY.DISCOVERY_STATUS_SELECTABLE
JUNK_LAST = 300
JUNK_SLICE = 60
PACED_CHUNK = 40


def ip_bytes(text):
    return socket.inet_aton(text)


def parse_endpoint(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def build_answer(ctrl):
    """The 40-byte answer: type, address (network order), port (LE), status, flags, name."""
    name = ctrl["name_bytes"][:NAME_FIELD]
    return (struct.pack("<I", ctrl["type"]) + ip_bytes(ctrl["advertise"]) +
            struct.pack("<HBB", ctrl["port"] & 0xFFFF, ctrl["status"] & 0xFF, ctrl["flags"] & 0xFF) +
            name + b"\0" * (NAME_FIELD - len(name)))


def junk_datagram(size, address):
    """A datagram of the given size that starts like an answer and never ends its name."""
    head = struct.pack("<I", ANSWER_TYPE) + ip_bytes(address) + struct.pack("<HBB", 80, SELECTABLE, 0)
    body = head + b"J" * max(0, size - len(head))
    return body[:size]


class Peer:
    def __init__(self, subnet_broadcast, log_path):
        self.lock = threading.Lock()
        self.out_lock = threading.Lock()
        self.controllers = {}
        self.subnet_broadcast = subnet_broadcast
        self.log = open(log_path, "a", buffering=1) if log_path else None
        self.stats = {"discovery_444": 0, "discovery_1444": 0, "config_query": 0, "config_set": 0,
                      "other": 0, "answers_sent": 0, "send_errors": 0}
        self.sockets = {}
        for port in (DISCOVERY.DISCOVERY_PORT, DISCOVERY.PING_PORT):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            s.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
            s.bind(("0.0.0.0", port))
            self.sockets[port] = s
        # Floods and malformed bursts use their own socket so that the listening
        # ones keep their order of events.
        self.burst = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.burst.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.burst.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
        self.timers = []

    # -- output -------------------------------------------------------------

    def emit(self, obj):
        line = json.dumps(obj)
        with self.out_lock:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()
            if self.log and "event" in obj:
                self.log.write(line + "\n")

    def event(self, name, **fields):
        fields["event"] = name
        fields["t"] = time.monotonic()
        self.emit(fields)

    # -- sending ------------------------------------------------------------

    def send_from(self, sock, src, data, dest):
        try:
            cmsg = [(socket.IPPROTO_IP, IP_PKTINFO, struct.pack("=I4s4s", 0, ip_bytes(src), b"\0" * 4))]
            sock.sendmsg([data], cmsg, 0, dest)
            return True
        except OSError:
            with self.lock:
                self.stats["send_errors"] += 1
            return False

    def later(self, delay_ms, fn):
        if delay_ms <= 0:
            fn()
            return
        t = threading.Timer(delay_ms / 1000.0, fn)
        t.daemon = True
        self.timers.append(t)
        t.start()

    def junk_slice(self, addr):
        """The next JUNK_SLICE sizes of 0..300 for this controller, round and round.
        All 301 at once would overflow the receiver's socket buffer and take the
        real answer behind them with it."""
        with self.lock:
            ctrl = self.controllers.get(addr)
            start = ctrl["junk_next"] if ctrl else 0
            if ctrl:
                ctrl["junk_next"] = (start + JUNK_SLICE) % (JUNK_LAST + 1)
        return [(start + i) % (JUNK_LAST + 1) for i in range(JUNK_SLICE)]

    def answer_discovery(self, sock, dest):
        with self.lock:
            ctrls = [dict(c) for c in self.controllers.values() if not c["silent"]]
        for c in ctrls:
            def go(c=c):
                if c["junk"]:
                    for size in self.junk_slice(c["addr"]):
                        if size != ANSWER_SIZE:
                            self.send_from(sock, c["addr"], junk_datagram(size, c["addr"]), dest)
                if self.send_from(sock, c["addr"], build_answer(c), dest):
                    with self.lock:
                        self.stats["answers_sent"] += 1
            self.later(c["delay_ms"], go)

    def answer_config(self, sock, dest):
        with self.lock:
            ctrls = [dict(c) for c in self.controllers.values() if not c["silent"] and c["config"]]
        for c in ctrls:
            def go(c=c):
                if c["config_junk"]:
                    # Paced: the launcher reads while it waits for the record.
                    for size in range(0, JUNK_LAST + 1):
                        if size != RECORD_SIZE:
                            self.send_from(sock, c["addr"], bytes([0xC5]) * size, dest)
                        if size % PACED_CHUNK == PACED_CHUNK - 1:
                            time.sleep(0.03)
                self.send_from(sock, c["addr"], c["config"], dest)
            if c["config_junk"]:
                threading.Thread(target=lambda c=c, go=go: self.later(c["delay_ms"], go), daemon=True).start()
            else:
                self.later(c["delay_ms"], go)

    # -- receiving ----------------------------------------------------------

    def on_datagram(self, port, sock):
        try:
            data, anc, _flags, src = sock.recvmsg(4096, socket.CMSG_SPACE(12))
        except OSError:
            return
        dst = None
        for level, kind, cdata in anc:
            if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(cdata) >= 12:
                dst = socket.inet_ntoa(cdata[8:12])
        with self.lock:
            own = dst in self.controllers
        word = struct.unpack("<I", data[:4])[0] if len(data) >= 4 else None
        if len(data) == 8 and word == DISCOVERY_QUERY:
            with self.lock:
                self.stats["discovery_%d" % port] += 1
            self.event("query", kind="discovery", port=port, src="%s:%d" % src, dst=dst)
            self.answer_discovery(sock, src)
        elif len(data) == 8 and word == CONFIG_QUERY and port == DISCOVERY.PING_PORT:
            with self.lock:
                self.stats["config_query"] += 1
            self.event("query", kind="config", port=port, src="%s:%d" % src, dst=dst)
            self.answer_config(sock, src)
        elif len(data) == SET_SIZE and word == CONFIG_SET and port == DISCOVERY.PING_PORT:
            with self.lock:
                self.stats["config_set"] += 1
            broadcast = dst in ("255.255.255.255", self.subnet_broadcast)
            self.event("config_set", src="%s:%d" % src, dst=dst, broadcast=broadcast, unicast_to_controller=own,
                       record=data[4:].hex())
        else:
            with self.lock:
                self.stats["other"] += 1
            self.event("other", port=port, src="%s:%d" % src, dst=dst, size=len(data), head=data[:16].hex())

    # -- commands -----------------------------------------------------------

    @staticmethod
    def fill(ctrl, cmd):
        if "name" in cmd:
            ctrl["name_bytes"] = cmd["name"].encode("latin-1")[:NAME_FIELD]
        if "name_hex" in cmd:
            ctrl["name_bytes"] = bytes.fromhex(cmd["name_hex"])[:NAME_FIELD]
        for key in ("port", "status", "flags", "type", "delay_ms"):
            if key in cmd:
                ctrl[key] = int(cmd[key])
        for key in ("junk", "config_junk"):
            if key in cmd:
                ctrl[key] = bool(cmd[key])
        if "advertise" in cmd:
            ctrl["advertise"] = cmd["advertise"]
        if "config_hex" in cmd:
            rec = bytes.fromhex(cmd["config_hex"]) if cmd["config_hex"] else b""
            if rec and len(rec) != RECORD_SIZE:
                raise ValueError("a configuration record has %d bytes" % RECORD_SIZE)
            ctrl["config"] = rec

    def command(self, cmd):
        op = cmd.get("cmd")
        if op == "ping":
            return "pong"
        if op == "add":
            addr = cmd["addr"]
            socket.inet_aton(addr)
            ctrl = {"addr": addr, "advertise": addr, "name_bytes": b"", "port": 80, "status": SELECTABLE, "flags": 0,
                    "type": ANSWER_TYPE, "delay_ms": 0, "junk": False, "config": b"", "config_junk": False,
                    "silent": False, "junk_next": 0}
            self.fill(ctrl, cmd)
            with self.lock:
                self.controllers[addr] = ctrl
            return "added"
        if op == "set":
            with self.lock:
                ctrl = self.controllers.get(cmd["addr"])
                if ctrl is None:
                    raise KeyError("no controller at %s" % cmd["addr"])
                self.fill(ctrl, cmd)
            return "set"
        if op == "silence":
            with self.lock:
                self.controllers[cmd["addr"]]["silent"] = bool(cmd.get("on", True))
            return "silenced" if cmd.get("on", True) else "answering"
        if op == "remove":
            with self.lock:
                self.controllers.pop(cmd["addr"], None)
            return "removed"
        if op == "clear":
            with self.lock:
                self.controllers.clear()
            return "cleared"
        if op == "stats":
            with self.lock:
                return dict(self.stats)
        if op == "flood":
            threading.Thread(target=self.flood, args=(cmd,), daemon=True).start()
            return "flooding"
        if op == "malformed":
            parse_endpoint(cmd["to"])
            socket.inet_aton(cmd["src"])
            threading.Thread(target=self.malformed, args=(cmd,), daemon=True).start()
            return "sending"
        if op == "raw":
            ok = self.send_from(self.burst, cmd["src"], bytes.fromhex(cmd["hex"]), parse_endpoint(cmd["to"]))
            return "sent" if ok else "failed"
        raise ValueError("unknown command %r" % op)

    def malformed(self, cmd):
        dest = parse_endpoint(cmd["to"])
        src = cmd["src"]
        chunk = int(cmd.get("chunk", PACED_CHUNK))
        pause = int(cmd.get("pause_ms", 350)) / 1000.0
        sent = 0
        # An answer's own size would be a well-formed answer (named "JJJ..."), not junk.
        sizes = [n for n in range(int(cmd.get("first", 0)), int(cmd.get("last", JUNK_LAST)) + 1) if n != ANSWER_SIZE]
        for i, size in enumerate(sizes):
            if self.send_from(self.burst, src, junk_datagram(size, src), dest):
                sent += 1
            if chunk > 0 and i % chunk == chunk - 1 and i + 1 < len(sizes):
                time.sleep(pause)
        self.event("malformed_done", src=src, sent=sent)

    def flood(self, cmd):
        dest = parse_endpoint(cmd["to"])
        sources = cmd.get("sources") or ["10.77.0.2"]
        count = int(cmd.get("count", 10000))
        rate = float(cmd.get("rate", 0))
        rotate = cmd.get("names", "rotate") == "rotate"
        started = time.monotonic()
        sent = 0
        for i in range(count):
            src = sources[i % len(sources)]
            name = ("Flood%06d" % i) if rotate else ("Flood-" + src)
            ctrl = {"type": ANSWER_TYPE, "advertise": src, "port": 80, "status": 2, "flags": 0,
                    "name_bytes": name.encode()}
            if self.send_from(self.burst, src, build_answer(ctrl), dest):
                sent += 1
            if rate > 0:
                due = started + (i + 1) / rate
                pause = due - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
        self.event("flood_done", sent=sent, seconds=time.monotonic() - started)

    def run(self):
        stdin = sys.stdin.fileno()
        buffer = b""
        socks = {s.fileno(): (port, s) for port, s in self.sockets.items()}
        self.emit({"event": "ready", "t": time.monotonic()})
        while True:
            ready, _, _ = select.select([stdin] + list(socks), [], [], 1.0)
            for fd in ready:
                if fd != stdin:
                    port, s = socks[fd]
                    try:
                        self.on_datagram(port, s)
                    except Exception as e:  # one bad datagram must not end the segment
                        self.event("error", what=repr(e))
                    continue
                chunk = os.read(stdin, 65536)
                if not chunk:
                    return 0
                buffer += chunk
                while b"\n" in buffer:
                    line, buffer = buffer.split(b"\n", 1)
                    if not line.strip():
                        continue
                    try:
                        cmd = json.loads(line)
                        if cmd.get("cmd") == "quit":
                            self.emit({"reply": "bye"})
                            return 0
                        self.emit({"reply": self.command(cmd)})
                    except (ValueError, KeyError, OSError) as e:
                        self.emit({"reply": None, "error": str(e)})


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--subnet-broadcast", default="10.77.0.255",
                    help="directed broadcast address of the segment (counts as broadcast in the log)")
    ap.add_argument("--log", help="also append events to this file")
    args = ap.parse_args()
    try:
        peer = Peer(args.subnet_broadcast, args.log)
    except OSError as e:
        sys.stderr.write("peer: cannot open the sockets: %s\n" % e)
        return 2
    try:
        return peer.run()
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
