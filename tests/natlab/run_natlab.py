#!/usr/bin/env python3
"""Self-tests of the NAT lab and its simulators, and the remote road's benchmarks.

Wire groups (loopback, no root): the relay simulator's datagrams byte by byte (wire-relay),
the discovery server's answers (wire-dserver), the controller's enrollment library against
the relay with the stand-in launcher (wire-enroll), and the launcher's own remote procedure
(natlauncher) reaching the controller simulator (rerudi-sim) on every road through relays
and the discovery server on loopback (wire-sim).
Lab groups (network namespaces and real NATs; root, `ip netns` and iptables): one per
lab mode (ei, random, udp-blocked, no-punch, nack), proving what the mode is for with
the simulators, natpeer behind NAT B and the stand-in launcher behind NAT A; then the
launcher's remote procedure (natlauncher behind NAT A) reaching rerudi-sim behind NAT B
in each mode (sim-ei: hole punching and the reliable stream, and a TCP ACK through NAT B's
forwarded port; sim-random: state 5, relayed lookup, relayed session; sim-no-punch: the
punch fails, relayed session; sim-udp-blocked and sim-nack: the discovery server and a
direct TCP connection through the forwarded port), with the status lines of each road;
the probe under both timings (sim-relay-down: one relay of two unreachable; sim-probe-silent:
no probe answered, the lookup is; sim-lossy-probe: each relay hears only the fourth probe);
sim-silent-dns: a name server that never answers, with Cancel at 1 s and without;
keepalive: with both NATs' UDP time-out lowered, the launcher's stream on the punched road
still echoes after a longer silence, and a plain punched flow does not;
cleanup proves that an interrupted or killed run leaves nothing behind for long.
--bench: the times of the remote procedure in the lab instead, the sequential timing and
ours side by side (see BENCH).
Exit codes: 0 passed, 1 failed, 77 skipped.
"""

import argparse
import json
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "harness"))
sys.path.insert(0, HERE)
import natlab as nl  # noqa: E402
import qvharness as qh  # noqa: E402
import roads  # noqa: E402
from standin import find_request  # noqa: E402 (the stand-in launcher's own lookup)
from qvharness import Failure, check, say, wait_until  # noqa: E402

STANDIN = os.path.join(HERE, "standin.py")
SYSTEM = "HomeLab"
CONTROLLER_ECHO_PORT = 7100
# rerudi-sim's TCP port in the lab (NAT B forwards its public port to it) and the
# password it wants.
SIM_PORT = 7200
SIM_PASSWORD = "lab secret"
SIM_PARAMS = "1390/24/8/128/127/512"


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


def record(ip, port):
    return struct.pack("<H", 2) + struct.pack(">H", port) + socket.inet_aton(ip) + b"\0" * 8


# ---------------------------------------------------------------------------
# Sessions


class WireSession(qh.Session):
    """Loopback only: no namespaces, just the children and a folder."""

    def __init__(self):
        super().__init__("rerudi-natwire-", (), "/nonexistent-natlab-wine", "win64")
        self.lab = None

    def start(self):
        pass


class Context:
    def __init__(self, args, session):
        self.args = args
        self.session = session
        self.lab = session.lab

    # -- programs -----------------------------------------------------------

    def relay(self, *extra, index=0):
        """A relay: on loopback (any free port) without a lab, on its public address in one."""
        if self.lab:
            return self.lab.start_relay(self.args.relay, index, extra)
        p = self.session.track(nl.ServiceProcess([self.args.relay, "--listen", "127.0.0.1", "--port", "0"]
                                                 + list(extra), "relay"))
        m = p.wait_for(r"^listening on ([0-9.]+):(\d+) udp, sessions on tcp port (\d+)$", 1)
        p.endpoint = "127.0.0.1:%s" % m.group(2)
        p.port = int(m.group(2))
        p.turn_port = int(m.group(3))
        return p

    def dserver(self, *extra):
        p = self.session.track(nl.ServiceProcess([self.args.dserver, "--listen", "127.0.0.1", "--port", "0"]
                                                 + list(extra), "discovery server"))
        p.port = int(p.wait_for(r"^listening on [0-9.]+:(\d+)$", 1).group(1))
        return p

    def peer(self, relays, *extra, name=SYSTEM):
        argv = [self.args.peer, "--name", name]
        for r in relays:
            argv += ["--relay", r]
        argv += list(extra)
        if self.lab:
            argv = self.lab.argv_in("controller", argv)
        return self.session.track(nl.ServiceProcess(argv, "natpeer", ready=r"^started as "))

    def sim(self, relays, *extra):
        """rerudi-sim enrolled as SYSTEM (behind NAT B in a lab, on loopback without)."""
        listen = nl.CONTROLLER_ADDRESS if self.lab else "127.0.0.1"
        argv = [self.args.sim, "--listen", listen, "--port", SIM_PORT if self.lab else 0,
                "--password", SIM_PASSWORD, "--system-name", SYSTEM, "--enroll-period", 300, "--max-run", 900000]
        for r in relays:
            argv += ["--relay", r]
        argv += list(extra)
        if self.lab:
            argv = self.lab.argv_in("controller", argv)
        p = self.session.track(nl.ServiceProcess(argv, "rerudi-sim", ready=r"^enrolling as "))
        p.port = int(p.wait_for(r"^listening on [0-9.]+:(\d+)$", 1).group(1))
        check(wait_until(lambda: len(p.matching(r"^enrolled with relay")) >= len(relays), 5),
              "rerudi-sim enrolled with every relay:\n" + p.text())
        return p

    def viewer_file(self, size=1000000):
        path = os.path.join(self.session.tmp, "viewer.bin")
        with open(path, "wb") as f:
            f.write(random.Random(size).randbytes(size))
        return path

    def native(self, command, target, *args, servers=None, dserver=None, password=SIM_PASSWORD, timeout_s=90):
        """natlauncher (in the launcher namespace when there is a lab): its JSON outcome.
        servers: the relays of its list file, as (name, host, port)."""
        data = tempfile.mkdtemp(prefix="natlauncher-", dir=self.session.tmp)
        if servers is not None:
            with open(os.path.join(data, "servers.txt"), "w") as f:
                f.write("".join("%s,%s,%d\n" % tuple(e) for e in servers))
        argv = [self.args.launcher, command, target, "--data", data, "--password", password]
        if dserver:
            argv += ["--dserver", dserver]
        argv += [str(a) for a in args]
        if self.lab:
            argv = self.lab.argv_in("launcher", argv)
        r = qh.run(argv, timeout=timeout_s)
        check(r.returncode == 0 and r.stdout.strip(), "natlauncher %s %s failed:\n%s%s"
              % (command, target, r.stdout, r.stderr))
        out = json.loads(r.stdout.strip().splitlines()[-1])
        out["lines"] = [text for _, text in out["status"]]
        out["traces"] = [text for _, text in out["trace"]]
        return out

    def client(self, *args, timeout_s=60):
        """The stand-in launcher (in the launcher namespace when there is a lab)."""
        argv = [sys.executable, STANDIN] + [str(a) for a in args]
        if self.lab:
            argv = self.lab.argv_in("launcher", argv)
        r = qh.run(argv, timeout=timeout_s)
        check(r.returncode == 0 and r.stdout.strip(), "stand-in %s failed:\n%s%s" % (" ".join(map(str, args)),
                                                                                   r.stdout, r.stderr))
        return json.loads(r.stdout.strip().splitlines()[-1])

    def raw(self, endpoint, data, wait_ms=1000, count=1):
        """The answers to one datagram: the first count of them, or all within wait_ms
        (count 0: a wait for answers that should not come)."""
        out = self.client("raw", endpoint, data.hex(), "--wait", wait_ms, "--count", count)
        return [(bytes.fromhex(a["hex"]), a["ms"]) for a in out["answers"]], out["local_port"]


def udp_socket():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(1.0)
    return s


def recv_type(s, t, wait_s=1.0):
    """The next datagram of type t within wait_s (others skipped), or None."""
    deadline = time.monotonic() + wait_s
    while time.monotonic() < deadline:
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            d, _ = s.recvfrom(2048)
        except socket.timeout:
            return None
        if d and d[0] == t:
            return d
    return None


# ---------------------------------------------------------------------------
# Wire groups


def group_wire_relay(ctx):
    # Probe answer, byte for byte: the sender's address record and the list checksum
    # (one entry named A, host B, port 258: 65 + 66 + 2 + 1).
    ready = os.path.join(ctx.session.tmp, "relay.ready")
    r = ctx.relay("--server", "A,B,258", "--ready-file", ready)
    with open(ready) as f:
        check(f.read() == "udp %s\nturn %d\nchecksum 0x00000086\n" % (r.endpoint, r.turn_port), "ready file")
    answers, port = ctx.raw(r.endpoint, hexbytes("0a 00000000"))
    check([a for a, _ in answers] == [b"\x0b" + record("127.0.0.1", port) + struct.pack("<I", 134)],
          "probe answer: %r" % answers)
    r.stop()
    r = ctx.relay("--server", "A,B,258", "--checksum-offset", "5")
    answers, _ = ctx.raw(r.endpoint, hexbytes("0a 00000000"))
    check(answers and answers[0][0][17:21] == struct.pack("<I", 139), "offset checksum: %r" % answers)
    r.stop()

    # The list: count and entries as the launcher asks for them; names and hosts cut
    # to 63 and 127 characters; the checksum agrees with the rule computed here.
    long_name, long_host = "N" * 70, "h" * 130
    entries = nl.relay_list() + [(long_name, long_host, 65535)]
    args = []
    for e in entries:
        args += ["--server", "%s,%s,%d" % e]
    r = ctx.relay(*args)
    m = r.wait_for(r"checksum (0x[0-9A-F]{8}), probe answers carry", 1)
    check(int(m.group(1), 16) == nl.list_checksum(entries), "list checksum %s" % m.group(1))
    got = ctx.client("list", r.endpoint)
    want = [list(e) for e in nl.relay_list()] + [[long_name[:63], long_host[:127], 65535]]
    check(got == {"count": 3, "entries": want}, "list: %r" % got)
    answers, _ = ctx.raw(r.endpoint, hexbytes("11 00 00000000"))
    check(len(answers) == 1 and answers[0][0][:1] == b"\x12" and answers[0][0][5:9] == struct.pack("<I", 3)
          and len(answers[0][0]) == 9, "count answer: %r" % answers)
    answers, _ = ctx.raw(r.endpoint, hexbytes("11 04 0000"), 300, 0)
    check(answers == [], "an entry past the list is not answered: %r" % answers)
    r.stop()
    r = ctx.relay("--server", "A,B,258", "--announce", "40")
    answers, _ = ctx.raw(r.endpoint, hexbytes("11 28 0000"))
    check(len(answers) == 1 and len(answers[0][0]) == 195 and answers[0][0][1:9] == b"Extra 40",
          "made-up entry 40: %r" % answers)
    r.stop()

    # Lookup answers as configured, byte for byte.
    name64 = "L" * 64
    r = ctx.relay("--answer", "Tcp=tcp=192.0.2.7:7000", "--answer", "Turn=turn", "--first-sid", "2147483649",
                  "--answer", "Fixed=find-ack=198.51.100.9:4000", "--answer", "Quiet=silent",
                  "--answer", name64 + "=tcp=192.0.2.8:80")
    table = [
        ("Nobody", False, [b"\x04"]),
        ("Tcp", False, [b"\x0e" + record("192.0.2.7", 7000)]),
        ("Tcp", True, [b"\x0e" + record("192.0.2.7", 7000)]),
        ("Turn", True, [b"\x0d" + struct.pack("<IH", 2147483649, r.turn_port)]),
        ("Fixed", False, [b"\x03" + record("198.51.100.9", 4000)]),
        ("Quiet", False, []),
        (name64, False, [b"\x0e" + record("192.0.2.8", 80)]),
        (name64 + "XYZ", False, [b"\x0e" + record("192.0.2.8", 80)]),  # cut at 64 as the launcher does
    ]
    for name, relayed, want in table:
        answers, _ = ctx.raw(r.endpoint, find_request(name, relayed), 300, len(want))
        check([a for a, _ in answers] == want, "lookup %s (relayed %s): %r" % (name, relayed, answers))
    r.stop()

    # Faults: silence, the first requests dropped, strays before the answer, late and cut answers.
    r = ctx.relay("--fault", "probe=silent", "--fault", "find=stray:5,stray-type:6,late:300",
                  "--fault", "list=truncate", "--answer", "X=nack")
    answers, _ = ctx.raw(r.endpoint, hexbytes("0a 00000000"), 400, 0)
    check(answers == [], "silent probe: %r" % answers)
    answers, _ = ctx.raw(r.endpoint, find_request("X"), 1000, 6)
    check([a for a, _ in answers] == [b"\x06"] * 5 + [b"\x04"], "strays then the answer: %r" % answers)
    check(answers[-1][1] >= 250, "late answer after %d ms" % answers[-1][1])
    answers, _ = ctx.raw(r.endpoint, hexbytes("11 00 00000000"))
    check(len(answers) == 1 and len(answers[0][0]) == 8, "cut count answer: %r" % answers)
    r.stop()
    # Garbage of every type and length (empty datagrams included) is survived.
    r = ctx.relay("--server", "A,B,258")
    g = udp_socket()
    rng = random.Random(10)
    for i in range(600):
        tail = rng.randbytes(rng.choice((0, 1, 3, 4, 5, 20, 64, 68, 200, 1500)))
        g.sendto(bytes([i % 256]) + tail, ("127.0.0.1", r.port))
    g.sendto(b"", ("127.0.0.1", r.port))
    g.close()
    # The garbage can fill the relay's receive buffer while a slow (sanitizer, loaded)
    # relay is still reading it, and the kernel then drops the probe itself: ask a
    # few times, as the launcher would.
    answered = any(len(ctx.raw(r.endpoint, hexbytes("0a 00000000"))[0]) == 1 for _ in range(5))
    check(answered and r.running(), "the relay still answers after garbage")
    r.stop()

    r = ctx.relay("--fault", "probe=drop-first:2")
    got = [len(ctx.raw(r.endpoint, hexbytes("0a 00000000"), 150)[0]) for _ in range(3)]
    check(got == [0, 0, 1], "the first two probes dropped, the third answered: %r" % got)


def group_wire_dserver(ctx):
    zizu_query = hexbytes("0000 5346 10000000 04000000 5A697A75 04000000 5A697A75")

    def ask(server, query, wait_s=2.0, read_all=True):
        s = socket.create_connection(("127.0.0.1", server.port), timeout=wait_s)
        s.sendall(query)
        got = b""
        s.settimeout(wait_s)
        try:
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                got += chunk
                if not read_all and len(got) >= 8 and len(got) >= 8 + struct.unpack("<I", got[4:8])[0]:
                    break
        except socket.timeout:
            pass
        s.close()
        return got

    systems = ["--system", "Zizu=10.0.2.2:7000", "--system", "Flags=:0,found=0,licensed=0,open=0,relay=1"]
    d = ctx.dserver(*systems)
    answer = hexbytes("0000 5446 12000000 01 01 08000000") + b"10.0.2.2" + hexbytes("581B 01 00")
    check(ask(d, zizu_query, read_all=False) == answer, "answer for Zizu")
    flags = hexbytes("0000 5446 0A000000 00 00 00000000 0000 00 01")
    q = hexbytes("0000 5346 10000000 05000000") + b"Flags\0\0\0"
    q = q[:4] + struct.pack("<I", 24) + q[8:] + q[8:]
    check(ask(d, q, read_all=False) == flags, "empty address and flags")
    check(ask(d, hexbytes("0000 5346 10000000 04000000") + b"Nope" + hexbytes("04000000") + b"Nope",
              read_all=False) == hexbytes("0000 4E46 00000000"), "not found")
    check(ask(d, hexbytes("0000 5346 88130000")) == b"", "a query announcing 5000 bytes is refused")
    rng = random.Random(11)
    for n in (0, 3, 8, 9, 12, 40, 300):
        junk = rng.randbytes(n)
        if n >= 8:
            junk = junk[:4] + struct.pack("<I", n - 8) + junk[8:]
        ask(d, junk, wait_s=0.3)
    check(ask(d, zizu_query, read_all=False) == answer and d.running(), "still answering after garbage")
    check(ctx.client("dserver", "127.0.0.1:%d" % d.port, "Zizu")["address"] == "10.0.2.2", "stand-in reads it")
    d.stop()

    d = ctx.dserver("--padding", "payload", *systems)
    check(ask(d, zizu_query, read_all=False) ==
          hexbytes("0000 5446 14000000 01 01 08000000") + b"10.0.2.2" + hexbytes("0000 581B 01 00"),
          "payload-relative padding")
    d.stop()

    for fault, size in (("oversize", 1025), ("exact-1024", 1024)):
        d = ctx.dserver("--fault", fault, *systems)
        got = ask(d, zizu_query, read_all=False)
        check(len(got) == size and struct.unpack("<I", got[4:8])[0] == size - 8 and got[8:26] == answer[8:26],
              "%s answer: %d bytes" % (fault, len(got)))
        d.stop()
    d = ctx.dserver("--fault", "dribble:5", *systems)
    started = time.monotonic()
    check(ask(d, zizu_query, read_all=False) == answer, "dribbled answer arrives whole")
    check(time.monotonic() - started >= 0.1, "dribbled answer took its time")
    d.stop()
    d = ctx.dserver("--fault", "header-only", *systems)
    check(ask(d, zizu_query) == answer[:8], "header only, then closed")
    d.stop()
    d = ctx.dserver("--fault", "silent", *systems)
    check(ask(d, zizu_query, wait_s=0.8) == b"", "silent server")


def group_wire_enroll(ctx):
    # The registration format seen from a raw controller socket.
    # The lifetime leaves room for starting a program that sends the next FIND on
    # a loaded machine (700 ms did not, once); the expiry check waits past it.
    r = ctx.relay("--enroll-lifetime", "2000", "--turn-wait", "400")
    relay = ("127.0.0.1", r.port)
    c = udp_socket()

    def enroll():
        c.sendto(b"\x00" + struct.pack("<I", 77) + b"Ctl".ljust(64, b"\0"), relay)
        return recv_type(c, 1)
    ack = enroll()
    check(ack == b"\x01" + record("127.0.0.1", c.getsockname()[1]) + struct.pack("<I", 2000), "ENROLL ACK %r" % ack)
    answers, lport = ctx.raw(r.endpoint, find_request("Ctl"))
    check([a for a, _ in answers] == [b"\x03" + record("127.0.0.1", c.getsockname()[1])], "FIND ACK %r" % answers)
    notice = recv_type(c, 5)
    check(notice is not None and len(notice) == 21 and notice[5:] == record("127.0.0.1", lport),
          "SENDTO carries the launcher's endpoint: %r" % notice)
    again = recv_type(c, 5, 0.5)
    check(again == notice, "an unacknowledged notice is sent again")
    c.sendto(b"\x14" + notice[1:5], relay)
    check(wait_until(lambda: r.matching(r"notice \d+ acknowledged"), 1), "acknowledgement recorded")
    time.sleep(0.3)
    while recv_type(c, 5, 0.05):
        pass
    check(recv_type(c, 5, 0.5) is None, "no resends after the acknowledgement")

    # TURN: the launcher's session id alone, the controller's "RCTL" + id; bytes both ways.
    enroll()
    answers, _ = ctx.raw(r.endpoint, find_request("Ctl", relayed=True))
    check(len(answers) == 1 and answers[0][0][0] == 13, "TURN ACK %r" % answers)
    sid, port = struct.unpack("<IH", answers[0][0][1:7])
    check(port == r.turn_port, "TURN ACK port %d (little-endian) is the session port %d" % (port, r.turn_port))
    opened = recv_type(c, 19)
    check(opened is not None and struct.unpack("<IH", opened[5:11]) == (sid, port), "TURN OPEN %r" % opened)
    launcher = socket.create_connection(("127.0.0.1", port), timeout=2)
    launcher.sendall(struct.pack("<I", sid) + b"hello controller")
    controller = socket.create_connection(("127.0.0.1", port), timeout=2)
    controller.sendall(b"RCTL" + struct.pack("<I", sid) + b"hello launcher")
    check(controller.recv(100) == b"hello controller", "relayed to the controller")
    check(launcher.recv(100) == b"hello launcher", "relayed to the launcher")
    launcher.close()
    check(controller.recv(100) == b"", "the launcher's close ends the controller's side")
    controller.close()
    # A session nobody joins, and an id never handed out.
    answers, _ = ctx.raw(r.endpoint, find_request("Lonely", relayed=True))
    check([a for a, _ in answers] == [b"\x04"], "unknown name: FIND NACK %r" % answers)
    stranger = socket.create_connection(("127.0.0.1", port), timeout=2)
    stranger.sendall(struct.pack("<I", 999999))
    check(stranger.recv(10) == b"", "an unknown session id is refused")
    c.close()
    # The enrollment expires without refresh.
    time.sleep(2.2)
    answers, _ = ctx.raw(r.endpoint, find_request("Ctl"))
    check([a for a, _ in answers] == [b"\x04"], "expired enrollment: %r" % answers)
    r.stop()

    # The library through natpeer: punch, hand-over, enrolling again, TURN.
    r = ctx.relay("--enroll-lifetime", "1500")
    p = ctx.peer([r.endpoint], "--enroll-period", "200")
    check(p.wait_for(r"^enrolled with relay", 3), "natpeer enrolled:\n" + p.text())
    first = ctx.client("find", r.endpoint, SYSTEM, "--punch", "--echo", 3)
    check(first.get("punched") and first.get("echoed") == 3, "punched on loopback: %r" % first)
    check(wait_until(lambda: r.matching(r"enrollment of '%s' moved to" % SYSTEM), 3),
          "enrolled again from a new socket after the hand-over:\n" + r.text())
    second = ctx.client("find", r.endpoint, SYSTEM, "--punch", "--echo", 1)
    check(second.get("punched") and second["address"] != first["address"], "second punch: %r" % second)
    turn = ctx.client("find", r.endpoint, SYSTEM, "--relayed", "--turn", "--echo", 200000)
    check(turn.get("answer") == "turn" and turn.get("echo_ok"), "TURN echo: %r" % turn)
    p.stop()
    time.sleep(1.8)
    check(ctx.client("find", r.endpoint, SYSTEM)["answer"] == "nack", "stopped controller: FIND NACK")


def logged_in(got, road, echoes=0):
    """A natlauncher outcome that took road, logged in and echoed."""
    return (got.get("road") == road and got.get("login") and got.get("version") == "7.1.1.0"
            and got.get("echoed") == echoes)


def check_lines(got, expected, what):
    problem = roads.compare(got["lines"], expected + roads.LOGIN)
    check(problem is None, "%s: status lines: %s" % (what, problem))


def free_udp_port():
    s = udp_socket()
    port = s.getsockname()[1]
    s.close()
    return port


def loop_relay(ctx, name, *extra, port=None, servers=None):
    """A relay on 127.0.0.1 at a port chosen beforehand, handing out servers (its own
    entry alone when not given), so that a launcher's list can name it exactly."""
    port = port or free_udp_port()
    entry = (name, "127.0.0.1", port)
    argv = [ctx.args.relay, "--listen", "127.0.0.1", "--port", port]
    for e in servers or [entry]:
        argv += ["--server", "%s,%s,%d" % e]
    p = ctx.session.track(nl.ServiceProcess(argv + list(extra), "relay " + name))
    p.entry, p.endpoint = entry, "127.0.0.1:%d" % port
    return p


def group_wire_sim(ctx):
    # Enrollment options that cannot work are refused at start-up.
    for bad in (["--relay", "127.0.0.1:8500"], ["--system-name", SYSTEM], ["--relay", "127.0.0.1:0",
                "--system-name", SYSTEM], ["--relay", "relay.example:8500", "--system-name", SYSTEM],
                ["--relay", "127.0.0.1:8500", "--system-name", "N" * 65], ["--enroll-period", "0"]):
        r = qh.run([ctx.args.sim] + bad, timeout=10)
        check(r.returncode == 2, "rerudi-sim %s: exit code %d\n%s" % (" ".join(bad), r.returncode, r.stderr))

    # Two relays that list each other (the launcher's list as they hand it out), one
    # that lists itself alone; the controller simulator enrolled with all three.
    ports = [free_udp_port(), free_udp_port()]
    pair = [("Relay1", "127.0.0.1", ports[0]), ("Relay2", "127.0.0.1", ports[1])]
    a = loop_relay(ctx, "Relay1", port=ports[0], servers=pair)
    b = loop_relay(ctx, "Relay2", port=ports[1], servers=pair)
    lone = loop_relay(ctx, "Lone", "--first-sid", "2147483649")
    viewer = ctx.viewer_file()
    sim = ctx.sim([a.endpoint, b.endpoint, lone.endpoint], "--viewer-file", viewer, "--piece-size", 64000)
    mine = pair[nl.relay_index_for(SYSTEM)][0]

    # Two relays see the same port: hole punching and the reliable stream.
    got = ctx.native("remote", SYSTEM, "--echo", 3, "--download", viewer, servers=pair)
    check(logged_in(got, "punched", 3) and got.get("download_ok"),
          "punched road with a 1 MB download: %r\n%s" % (got, sim.text()))
    check_lines(got, roads.punched(SYSTEM, mine), "punched road")
    check(sim.wait_for(r"^conn 0: punched from 127\.0\.0\.1:\d+$", 5) and sim.wait_for("^conn 0: params %s$" % SIM_PARAMS, 5)
          and sim.wait_for(r"^conn 0: login ok ", 5), "the simulator logged the punched road:\n" + sim.text())
    check(sim.wait_for(r"^conn 0: closed \(peer closed\)$", 8), "the launcher's close ends the stream:\n" + sim.text())

    # One relay: Server Error, a relayed lookup, the relayed session (id printed unsigned).
    got = ctx.native("remote", SYSTEM, "--echo", 2, servers=[lone.entry])
    check(logged_in(got, "turn", 2), "relayed road: %r\n%s" % (got, sim.text()))
    check_lines(got, roads.turn(SYSTEM, "Lone", 6, 2147483649), "relayed road")
    # The simulator's lines may come after the launcher's own (under load they did).
    check(sim.wait_for(r"^conn 1: turn session 2147483649$", 5) and sim.wait_for(r"^conn 1: login ok ", 5)
          and not sim.matching(r"^conn 1: greeting"), "the simulator logged the relayed road:\n" + sim.text())

    # A relay that names a TCP endpoint: the direct road with its greeting.
    direct = loop_relay(ctx, "Direct", "--answer", "%s=tcp=127.0.0.1:%d" % (SYSTEM, sim.port))
    got = ctx.native("remote", SYSTEM, "--echo", 1, servers=[direct.entry])
    check(logged_in(got, "tcp-ack", 1), "TCP ACK road: %r" % got)
    check_lines(got, roads.tcp_ack(SYSTEM, "Direct", 6), "TCP ACK road")
    check(sim.matching(r"^conn 2: greeting ok$"), "the TCP ACK road opens with the greeting:\n" + sim.text())

    # FIND NACK: the discovery server names the controller's address.
    nack = loop_relay(ctx, "Nack", "--answer", "%s=nack" % SYSTEM)
    d = ctx.dserver("--system", "%s=127.0.0.1:%d,licensed=0,relay=1" % (SYSTEM, sim.port))
    at = "127.0.0.1:%d" % d.port
    got = ctx.native("remote", SYSTEM, "--echo", 1, servers=[nack.entry], dserver=at)
    check(logged_in(got, "dserver", 1), "discovery server's road: %r" % got)
    check_lines(got, roads.dserver(SYSTEM, "Nack", 6, at, "127.0.0.1", sim.port, (1, 0, 1, 1)),
              "discovery server's road")
    check(sim.matching(r"^conn 3: greeting ok$"), "the discovery road opens with the greeting:\n" + sim.text())

    got = ctx.native("remote", SYSTEM, servers=pair, password="wrong")
    check(got.get("road") == "punched" and got.get("login") is False, "a wrong password is refused: %r" % got)
    check(sim.wait_for(r"^conn 4: login refused \(id \d+\): wrong password$", 2), "refusal logged")

    sim.stop()
    check(sim.matching(r"^remote roads: 2 punched \(2 streams started\), 1 relayed$"), "summary:\n" + sim.text())


# ---------------------------------------------------------------------------
# Lab groups


def lab_start(ctx, relay_extra=(), dserver_systems=None):
    ctx.lab.start_relays(ctx.args.relay, relay_extra)
    if dserver_systems is not None:
        ctx.lab.start_dserver(ctx.args.dserver, dserver_systems)
    peer = ctx.peer(ctx.lab.relay_endpoints(), "--enroll-period", "300", "--tcp-echo", CONTROLLER_ECHO_PORT)
    check(wait_until(lambda: len(peer.matching(r"^enrolled with relay")) >= 2, 5),
          "natpeer enrolled with both relays through NAT B:\n" + peer.text())
    return peer


def probe_both(ctx, tries=5):
    got = ctx.client("probe", *ctx.lab.relay_endpoints(), "--tries", tries)
    return [got["relays"][e] for e in ctx.lab.relay_endpoints()]


def my_relay(ctx):
    return ctx.lab.relay_endpoints()[nl.relay_index_for(SYSTEM)]


def group_ei(ctx):
    peer = lab_start(ctx, relay_extra=["--answer", "Direct=tcp=" + ctx.lab.forwarded_endpoint()])
    a, b = probe_both(ctx)
    check(a and b, "both relays answer the probe: %r %r" % (a, b))
    check(a["mapped"] == b["mapped"] and a["mapped"].startswith(nl.NAT_A_PUBLIC + ":"),
          "same public endpoint at both relays (endpoint-independent mapping): %s %s" % (a["mapped"], b["mapped"]))
    check(a["checksum"] == nl.list_checksum(nl.relay_list()), "checksum of the lab's list")
    r = qh.run(ctx.lab.argv_in("launcher", ["getent", "hosts", "dserver.example.invalid"]))
    check(r.stdout.split()[:1] == [nl.DSERVER_ADDRESS], "the launcher namespace resolves the discovery host: %r"
          % r.stdout)
    listed = ctx.client("list", my_relay(ctx))
    check(listed["entries"] == [list(e) for e in nl.relay_list()], "list: %r" % listed)
    got = ctx.client("find", my_relay(ctx), SYSTEM, "--punch", "--echo", 5)
    check(got.get("answer") == "find-ack" and got["address"].startswith(nl.NAT_B_PUBLIC + ":"),
          "FIND ACK with NAT B's public endpoint: %r" % got)
    check(got.get("punched") and got.get("echoed") == 5, "hole punched through both NATs: %r\n%s"
          % (got, peer.text()))
    direct = ctx.client("find", my_relay(ctx), "Direct")
    check(direct.get("answer") == "tcp" and direct["address"] == ctx.lab.forwarded_endpoint(), "TCP ACK: %r" % direct)
    check(ctx.client("tcp-echo", direct["address"], "--echo", 10000)["echo_ok"],
          "the TCP ACK address reaches the controller through NAT B's forwarded port")
    return "  punched after %d hello(s)" % got["attempts"]


def group_random(ctx):
    lab_start(ctx)
    a, b = probe_both(ctx)
    check(a and b, "both relays answer the probe: %r %r" % (a, b))
    check(a["mapped"] != b["mapped"] and a["mapped"].split(":")[0] == b["mapped"].split(":")[0] == nl.NAT_A_PUBLIC,
          "random mapping: the two relays see different ports: %s %s" % (a["mapped"], b["mapped"]))
    got = ctx.client("find", my_relay(ctx), SYSTEM, "--punch")
    check(got.get("answer") == "find-ack" and got.get("punched") is False,
          "no hole through a NAT that maps each flow anew: %r" % got)
    got = ctx.client("find", my_relay(ctx), SYSTEM, "--relayed", "--turn", "--echo", 100000)
    check(got.get("answer") == "turn" and got.get("echo_ok"), "relayed session instead: %r" % got)


def group_udp_blocked(ctx):
    lab_start(ctx, dserver_systems=["%s=%s:%d" % (SYSTEM, nl.NAT_B_PUBLIC, nl.FORWARD_PORT)])
    a, b = probe_both(ctx, tries=1)
    check(a is None and b is None, "no relay answers when UDP is blocked: %r %r" % (a, b))
    got = ctx.client("dserver", "%s:%d" % (nl.DSERVER_ADDRESS, nl.DSERVER_PORT), SYSTEM)
    check(got.get("command") == 0x4654 and got.get("address") == nl.NAT_B_PUBLIC
          and got.get("port") == nl.FORWARD_PORT, "discovery answer: %r" % got)
    got = ctx.client("tcp-echo", ctx.lab.forwarded_endpoint(), "--echo", 100000)
    check(got["echo_ok"], "the forwarded port reaches the controller: %r" % got)


def group_no_punch(ctx):
    peer = lab_start(ctx)
    a, b = probe_both(ctx)
    check(a and b and a["mapped"] == b["mapped"], "relays reachable, same public port: %r %r" % (a, b))
    got = ctx.client("find", my_relay(ctx), SYSTEM, "--punch")
    check(got.get("answer") == "find-ack" and got.get("punched") is False,
          "hellos never arrive when UDP between the NATs is dropped: %r" % got)
    check(peer.wait_for(r"launcher at %s:" % nl.NAT_A_PUBLIC, 1), "the controller was told to punch")
    got = ctx.client("find", my_relay(ctx), SYSTEM, "--relayed", "--turn", "--echo", 100000)
    check(got.get("answer") == "turn" and got.get("echo_ok"), "TURN session relays the bytes: %r" % got)


def group_nack(ctx):
    lab_start(ctx, relay_extra=["--answer", "%s=nack" % SYSTEM],
              dserver_systems=["%s=%s:%d" % (SYSTEM, nl.NAT_B_PUBLIC, nl.FORWARD_PORT)])
    got = ctx.client("find", my_relay(ctx), SYSTEM)
    check(got.get("answer") == "nack", "FIND NACK: %r" % got)
    got = ctx.client("dserver", "%s:%d" % (nl.DSERVER_ADDRESS, nl.DSERVER_PORT), SYSTEM)
    check(got.get("address") == nl.NAT_B_PUBLIC and got.get("port") == nl.FORWARD_PORT, "discovery: %r" % got)
    got = ctx.client("tcp-echo", ctx.lab.forwarded_endpoint(), "--echo", 100000)
    check(got["echo_ok"], "direct TCP through the forwarded port: %r" % got)


def sim_lab(ctx, relay_extra=(), with_dserver=True):
    """rerudi-sim behind NAT B enrolled with both relays; the discovery server knows it
    at NAT B's forwarded port."""
    ctx.lab.start_relays(ctx.args.relay, relay_extra)
    if with_dserver:
        ctx.lab.start_dserver(ctx.args.dserver, ["%s=%s:%d" % (SYSTEM, nl.NAT_B_PUBLIC, nl.FORWARD_PORT)])
    viewer = ctx.viewer_file()
    sim = ctx.sim(ctx.lab.relay_endpoints(), "--viewer-file", viewer, "--piece-size", 64000)
    return sim, viewer


def lab_remote(ctx, name=SYSTEM, *args):
    """natlauncher's remote procedure behind NAT A, with the lab's list and the
    deployment's discovery host (which the launcher namespace resolves)."""
    return ctx.native("remote", name, *args, servers=nl.relay_list(), timeout_s=120)


def my_relay_name():
    return nl.RELAY_NAMES[nl.relay_index_for(SYSTEM)]


DSERVER_AT = "%s:%d" % (nl.DSERVER_ADDRESS, nl.DSERVER_PORT)


def group_sim_ei(ctx):
    sim, viewer = sim_lab(ctx, ["--answer", "Direct=tcp=" + ctx.lab.forwarded_endpoint()], with_dserver=False)
    got = lab_remote(ctx, SYSTEM, "--echo", 3, "--download", viewer)
    check(logged_in(got, "punched", 3) and got.get("download_ok"),
          "punched through both NATs, logged in, 1 MB downloaded: %r\n%s" % (got, sim.text()))
    check_lines(got, roads.punched(SYSTEM, my_relay_name()), "punched road")
    seen = [t for t in got["traces"] if t.startswith("Server")]
    check(len(seen) == 2 and seen[0][9:] == seen[1][9:] and seen[0][9:].startswith(nl.NAT_A_PUBLIC + ":"),
          "both relays saw NAT A's one public endpoint: %r" % seen)
    check([t for t in got["traces"] if t.startswith("Found Target at %s:" % nl.NAT_B_PUBLIC)],
          "the relay named NAT B's public endpoint: %r" % got["traces"])
    check(sim.wait_for(r"^conn 0: punched from %s:\d+$" % re.escape(nl.NAT_A_PUBLIC), 5)
          and sim.wait_for(r"^conn 0: params %s$" % SIM_PARAMS, 5)
          and wait_until(lambda: len(sim.matching(r"^conn 0: echo ")) == 3, 5),
          "the simulator saw the launcher through NAT A on the punched road:\n" + sim.text())
    direct = lab_remote(ctx, "Direct", "--echo", 1)
    check(logged_in(direct, "tcp-ack", 1), "TCP ACK through NAT B's forwarded port: %r" % direct)
    check_lines(direct, roads.tcp_ack("Direct", nl.RELAY_NAMES[nl.relay_index_for("Direct")], 4), "TCP ACK road")
    check(sim.matching(r"^conn 1: connected from %s:" % re.escape(nl.NAT_A_PUBLIC))
          and sim.matching(r"^conn 1: greeting ok$"), "direct road logged:\n" + sim.text())
    return "  UDP Connect OK after %d ms, logged in after %d ms" % (got["ms_to_udp_ok"], got["ms_to_login"])


def group_sim_random(ctx):
    sim, viewer = sim_lab(ctx, with_dserver=False)
    got = lab_remote(ctx, SYSTEM, "--echo", 3, "--download", viewer)
    check(logged_in(got, "turn", 3) and got.get("download_ok"),
          "random mapping: a relayed session, 1 MB downloaded: %r\n%s" % (got, sim.text()))
    check_lines(got, roads.turn(SYSTEM, my_relay_name(), 5), "relayed road")
    seen = [t for t in got["traces"] if t.startswith("Server")]
    check(len(seen) == 2 and seen[0][9:] != seen[1][9:], "the relays saw different ports: %r" % seen)
    check(sim.matching(r"^conn 0: turn session %d$" % roads.sid_of(got["lines"])) and not sim.matching("punched from"),
          "the simulator served the relayed road only:\n" + sim.text())
    return "  logged in over the relayed session after %d ms" % got["ms_to_login"]


def group_sim_no_punch(ctx):
    sim, viewer = sim_lab(ctx, with_dserver=False)
    got = lab_remote(ctx, SYSTEM, "--echo", 3, "--download", viewer)
    check(logged_in(got, "turn", 3) and got.get("download_ok"), "relayed session instead, 1 MB downloaded: %r\n%s"
          % (got, sim.text()))
    check_lines(got, roads.punch_failed_turn(SYSTEM, my_relay_name()), "punch failed, relayed road")
    check(sum(1 for line in got["lines"] if line.startswith("Creating Connection")) == 10, "ten hellos, none answered")
    check(sim.matching(r"^conn 0: turn session %d$" % roads.sid_of(got["lines"])) and not sim.matching(r"punched from"),
          "the simulator served the relayed road only:\n" + sim.text())
    check(sim.matching(r"launcher at %s:" % re.escape(nl.NAT_A_PUBLIC)), "the controller was told to punch")
    return "  logged in over the relayed session after %d ms" % got["ms_to_login"]


def group_sim_udp_blocked(ctx):
    sim, _ = sim_lab(ctx)
    got = lab_remote(ctx, SYSTEM, "--echo", 1)
    check(logged_in(got, "dserver", 1), "the discovery server's road: %r\n%s" % (got, sim.text()))
    check_lines(got, roads.dserver(SYSTEM, my_relay_name(), 6, DSERVER_AT, nl.NAT_B_PUBLIC, nl.FORWARD_PORT,
                                   relay_failure="silent"), "discovery road without UDP")
    check(sim.matching(r"^conn 0: connected from %s:" % re.escape(nl.NAT_A_PUBLIC))
          and sim.matching(r"^conn 0: greeting ok$"), "direct road through the forwarded port:\n" + sim.text())
    return "  logged in after %d ms (probe and lookup time-outs first)" % got["ms_to_login"]


def group_sim_nack(ctx):
    sim, _ = sim_lab(ctx, ["--answer", "%s=nack" % SYSTEM])
    got = lab_remote(ctx, SYSTEM, "--echo", 1)
    check(logged_in(got, "dserver", 1), "the discovery server's road: %r\n%s" % (got, sim.text()))
    check_lines(got, roads.dserver(SYSTEM, my_relay_name(), 4, DSERVER_AT, nl.NAT_B_PUBLIC, nl.FORWARD_PORT),
                "discovery road after FIND NACK")
    check(sim.matching(r"^conn 0: greeting ok$"), "direct road through the forwarded port:\n" + sim.text())
    return "  logged in after %d ms" % got["ms_to_login"]


def policies_agree(ctx, expected, what, *args):
    """natlauncher under the sequential timing and ours: the same road and status
    lines, which are expected. Returns {policy: outcome}."""
    out = {}
    for policy in ("sequential", "own"):
        got = lab_remote(ctx, SYSTEM, "--policy", policy, *args)
        check(got.get("login") and got.get("policy") == policy, "%s (%s): %r" % (what, policy, got))
        check_lines(got, expected, "%s (%s)" % (what, policy))
        out[policy] = got
        time.sleep(1.0)  # the controller enrolls again from a fresh socket after a punched session
    check(out["own"]["road"] == out["sequential"]["road"], "the same road: %r" % out)
    return out


def relay_log_count(ctx, index, pattern):
    return len(ctx.lab.relays[index].matching(pattern))


def group_sim_relay_down(ctx):
    """The second relay is down for the launcher: state 6 under both timings, and the
    relay that serves the name gives a relayed session."""
    sim, _ = sim_lab(ctx, with_dserver=False)
    check(my_relay_name() == nl.RELAY_NAMES[0], "the lab's system is served by the relay that is up")
    got = policies_agree(ctx, roads.turn(SYSTEM, my_relay_name(), 6), "one relay of two down", "--echo", 1)
    for policy, g in got.items():
        check("Timeout: %s" % nl.RELAY_NAMES[1] in g["traces"], "%s: the down relay timed out: %r"
              % (policy, g["traces"]))
    check(relay_log_count(ctx, 0, r"^PROBE ACK ") >= 2 and relay_log_count(ctx, 1, r"^PROBE") == 0,
          "the relay that is up answered probes, the one that is down heard none")
    check(len(sim.matching(r"^conn \d+: turn session ")) == 2, "two relayed sessions:\n" + sim.text())
    return "  probe ended after %d ms sequential, %d ms ours" % tuple(
        status_at(got[p], "Using STUN Server") for p in ("sequential", "own"))


def group_sim_lossy_probe(ctx):
    """Each relay drops the first three probes it gets (a lossy path): the launcher's
    fourth is answered at both, and the punched road follows as ever."""
    sim, _ = sim_lab(ctx, ["--fault", "probe=drop-first:3"], with_dserver=False)
    got = lab_remote(ctx, SYSTEM, "--echo", 1)
    check(logged_in(got, "punched", 1), "punched after a lossy probe: %r\n%s" % (got, sim.text()))
    check_lines(got, roads.punched(SYSTEM, my_relay_name()), "punched road after a lossy probe")
    for i in range(len(nl.RELAY_ADDRESSES)):
        dropped = relay_log_count(ctx, i, r"^PROBE .*not answered \(dropping the first 3\)")
        answered = relay_log_count(ctx, i, r"^PROBE ACK ")
        check(dropped == 3 and answered >= 1, "relay %d: %d probes dropped, %d answered" % (i + 1, dropped, answered))
    return "  probe ended after %d ms (the fourth probes answered)" % status_at(got, "Using STUN Server")


def group_sim_probe_silent(ctx):
    """The relays answer no probe but do answer the lookup: the relayed road is kept
    under both timings."""
    sim, _ = sim_lab(ctx, ["--fault", "probe=silent"], with_dserver=False)
    got = policies_agree(ctx, roads.turn(SYSTEM, my_relay_name(), 6), "probe unanswered, lookup answered")
    for policy, g in got.items():
        check(all("Timeout: %s" % n in g["traces"] for n in nl.RELAY_NAMES), "%s: %r" % (policy, g["traces"]))
    check(len(sim.matching(r"^conn \d+: turn session ")) == 2, "two relayed sessions:\n" + sim.text())
    return "  lookup answered after %d ms sequential, %d ms ours" % tuple(
        status_at(got[p], "TURN: (sid:") for p in ("sequential", "own"))


# Names the launcher namespace's silent name server is asked for (none is in the
# lab's hosts file).
SILENT_NAMES = [("Relay1", "relay1.lab.invalid", nl.RELAY_PORT), ("Relay2", "relay2.lab.invalid", nl.RELAY_PORT)]
SILENT_DSERVER = "dserver.lab.invalid"
# The most a host may cost (remote/resolve.h), three hosts, and room for a loaded machine.
RESOLVE_BOUND_MS = 3000


def group_sim_silent_dns(ctx):
    """A name server that never answers: Cancel at 1 s ends the attempt within 300 ms
    and the resolution's worker is gone soon after; without Cancel, each host costs
    at most its bound and the attempt ends with the usual failures."""
    ctx.lab.start_relays(ctx.args.relay)
    rows = []
    for policy in ("sequential", "own"):
        got = ctx.native("remote", SYSTEM, "--policy", policy, "--cancel-after", 1000, "--await-threads", 20000,
                         servers=SILENT_NAMES, timeout_s=60)
        check(got["result"] == "Cancelled" and got["lines"] == [
            "Starting Connection to '%s'" % SYSTEM, "Discovering Network...", "Cancelled"],
            "%s: cancelled while resolving: %r" % (policy, got))
        took = got["ms_to_stream"] - got["ms_cancelled"]
        check(0 <= got["ms_cancelled"] and took < 300, "%s: %d ms from Cancel to the end" % (policy, took))
        check(got["ms_threads_back"] >= 0, "%s: the resolution's worker did not end: %r" % (policy, got))
        rows.append("%s: Cancel to the end %d ms, worker gone %d ms later" % (policy, took, got["ms_threads_back"]))

        got = ctx.native("remote", SYSTEM, "--policy", policy, "--dserver-host", SILENT_DSERVER,
                         "--await-threads", 20000, servers=SILENT_NAMES, timeout_s=90)
        want = ["Starting Connection to '%s'" % SYSTEM, "Discovering Network...", "Client Network State = 6",
                "Server Error", "Error: Cannot find STUN server for system", "Can't resolve server address",
                "Connecting through discover server", "Cannot resolve D.SERVER address",
                "Can't resolve server address"]
        check(got["lines"] == want, "%s: status lines %r" % (policy, got["lines"]))
        check(got["ms_to_stream"] < 3 * RESOLVE_BOUND_MS + 3000, "%s: three silent hosts took %d ms"
              % (policy, got["ms_to_stream"]))
        check(got["ms_threads_back"] >= 0, "%s: a resolution's worker did not end: %r" % (policy, got))
        rows.append("%s: three silent hosts %d ms in all" % (policy, got["ms_to_stream"]))
    # The lab's own names still resolve through its hosts file: that relay is probed.
    ctx.native("remote", "Nobody", servers=[("Relay1", "relay.example.invalid", nl.RELAY_PORT)], timeout_s=60)
    check(ctx.lab.relays[0].wait_for(r"^PROBE ACK ", 2), "a relay named in the hosts file was not probed")
    return "  " + "\n  ".join(rows)


# The NATs forget an idle UDP mapping after this long in the keep-alive group, and
# the stream stays silent for longer: long enough past the time-out that an
# expired mapping is certain, short enough to keep the group near a minute. The
# stream's keep-alive (every 15 s) comes well within it.
KEEPALIVE_NAT_TIMEOUT_S = 20
KEEPALIVE_SILENCE_S = 35
PLAIN_PEER = "PlainPeer"


def group_keepalive(ctx):
    """After a silence longer than both NATs keep a mapping, the launcher's stream on the
    punched road still echoes (its keep-alive kept the mappings), while a plain punched UDP
    flow through the same NATs, silent as long, has lost its way."""
    ctx.lab.set_udp_timeout(KEEPALIVE_NAT_TIMEOUT_S)
    sim, _ = sim_lab(ctx, with_dserver=False)
    ctx.peer(ctx.lab.relay_endpoints(), "--enroll-period", "300", name=PLAIN_PEER)
    # Both silences at once, to keep the group short: the plain flow from the stand-in
    # (natpeer behind NAT B echoes it), the stream from natlauncher.
    plain_relay = ctx.lab.relay_endpoints()[nl.relay_index_for(PLAIN_PEER)]
    argv = ctx.lab.argv_in("launcher", [sys.executable, STANDIN, "find", plain_relay, PLAIN_PEER, "--punch",
                                        "--echo", "3", "--silence", str(KEEPALIVE_SILENCE_S)])
    plain = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        got = lab_remote(ctx, SYSTEM, "--echo", 3, "--silence", KEEPALIVE_SILENCE_S)
        out, err = plain.communicate(timeout=KEEPALIVE_SILENCE_S + 30)
    finally:
        if plain.poll() is None:
            plain.kill()
            plain.wait()
    check(plain.returncode == 0 and out.strip(), "stand-in failed:\n%s%s" % (out, err))
    flow = json.loads(out.strip().splitlines()[-1])
    check(flow.get("punched") and flow.get("echoed") == 3,
          "the plain flow was punched through both NATs and echoed: %r" % flow)
    check(flow.get("echoed_after_silence") is False,
          "the plain flow's mappings expired in %d s of silence: %r" % (KEEPALIVE_SILENCE_S, flow))
    check(logged_in(got, "punched", 3), "the stream punched through both NATs and logged in: %r\n%s"
          % (got, sim.text()))
    check(got.get("echoed_after_silence") is True,
          "the stream still echoes after %d s of silence with mappings of %d s: %r\n%s"
          % (KEEPALIVE_SILENCE_S, KEEPALIVE_NAT_TIMEOUT_S, got, sim.text()))
    return "  echo after %d s of silence (NAT time-out %d s): stream yes, plain flow no" % (
        KEEPALIVE_SILENCE_S, KEEPALIVE_NAT_TIMEOUT_S)


def group_cleanup(ctx):
    """A run told to stop removes its namespaces and processes; a killed run's are
    removed by the next run."""
    natlab_py = os.path.join(HERE, "..", "harness", "natlab.py")

    def hold():
        p = qh.LineProcess([sys.executable, natlab_py, "--mode", "ei", "--relay", ctx.args.relay,
                            "--dserver", ctx.args.dserver, "hold"], stderr="merge")
        m = p.wait_for(r"^lab ready \(ei\): (.*)$", 20)
        if not m:
            p.stop()
            raise Failure("the lab did not come up:\n  " + p.text("  "))
        names = [kv.split("=", 1)[1] for kv in m.group(1).split()]
        pids = set()
        for n in names:
            pids |= set(int(x) for x in qh.run(["ip", "netns", "pids", n]).stdout.split())
        check(len(pids) >= 3, "relays and discovery server running in the lab: %r" % pids)
        return p, names, pids

    def gone(names, pids):
        listed = qh.run(["ip", "netns", "list"]).stdout
        if any(os.path.exists(os.path.join(nl.ETC_NETNS, n)) for n in names):
            return False
        alive = [pid for pid in pids if qh.proc_read(pid, "stat") is not None
                 and b") Z" not in qh.proc_read(pid, "stat")]
        return not any(n in listed for n in names) and not alive

    for sig in (signal.SIGINT, signal.SIGTERM):
        p, names, pids = hold()
        p.proc.send_signal(sig)
        p.wait(20)
        check(wait_until(lambda: gone(names, pids), 10), "after %s: namespaces and processes removed" % sig.name)
    p, names, pids = hold()
    p.proc.kill()
    p.wait(10)
    check(not gone(names, pids), "a killed run leaves its lab behind (until the next run)")
    p2, names2, pids2 = hold()
    check(wait_until(lambda: gone(names, pids), 10), "the next run removed the killed run's lab")
    p2.proc.send_signal(signal.SIGTERM)
    p2.wait(20)
    check(wait_until(lambda: gone(names2, pids2), 10), "and its own")


# ---------------------------------------------------------------------------
# Benchmarks: the remote procedure's times in the lab (natlauncher behind NAT A,
# rerudi-sim behind NAT B), from the start of ConnectRemote; process start-up is not
# counted. Per mode, in one run: the sequential timing and ours taken in turns, the
# figures that matter for the road side by side (median over the runs, each timing
# against its target), and where the time went.

STREAM = None  # the figure is the time ConnectRemote returned with the stream
BENCH = [
    # (lab mode, relay extras, road, what it is, figures: (name, status line or STREAM, target of ours in ms;
    #  None: never slower than the sequential timing))
    ("ei", (), "punched", "cone NATs: hole punching",
     [("to UDP Connect OK", "UDP Connect OK", None)]),
    ("random", (), "turn", "symmetric NAT: relayed session (state 5)",
     [("to the relayed session", STREAM, None)]),
    ("no-punch", (), "turn", "punch blocked: relayed session after 10 hellos",
     [("to the relayed session", STREAM, None)]),
    ("udp-blocked", (), "dserver", "UDP blocked: discovery server",
     [("end of the probe", "Using STUN Server", 3000), ("to Connecting to D.SERVER", "Connecting to D.SERVER", 5000)]),
    ("nack", ("--answer", "%s=nack" % SYSTEM), "dserver", "FIND NACK: discovery server",
     [("to Connecting to D.SERVER", "Connecting to D.SERVER", None)]),
    ("relay-down", (), "turn", "one relay of two down: relayed session",
     [("end of the probe", "Using STUN Server", 3000), ("to the relayed session", STREAM, None)]),
]
BENCH_STEPS = [("probe", "Client Network State"), ("lookup answer", ("Found Target System", "TURN: (sid:",
               "Controller is not active", "No response from STUN server")), ("stream", None), ("login", "Login OK")]
BENCH_POLICIES = ("sequential", "own")
# Ours counts as no slower when the median of the paired differences (run i of ours
# minus run i of the sequential timing, taken in turns) is within this much: pairs
# cancel the drift of a loaded machine, and the median the odd run whose first hello
# met a NAT not yet open (the punch then waits for its second, 250 ms on).
BENCH_NOISE_MS = 30
# Rows of the side-by-side table, gathered over the modes of one run.
BENCH_TABLE = []


def median(values):
    v = sorted(values)
    return v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2


def status_at(got, prefixes):
    prefixes = (prefixes,) if isinstance(prefixes, str) else prefixes
    for ms, text in got["status"]:
        if text.startswith(prefixes):
            return ms
    return None


def figure_of(got, where):
    return got["ms_to_stream"] if where is STREAM else status_at(got, where)


def bench_mode(ctx, runs):
    mode = ctx.lab.mode
    _, extras, road, what, figures = next(b for b in BENCH if b[0] == mode)
    sim_lab(ctx, extras, with_dserver=road == "dserver")
    results = {p: [] for p in BENCH_POLICIES}
    for i in range(runs):
        for policy in BENCH_POLICIES:
            if i or policy != BENCH_POLICIES[0]:
                time.sleep(1.0)  # the controller enrolls again from a fresh socket after each punched session
            got = lab_remote(ctx, SYSTEM, "--policy", policy)
            check(got.get("road") == road and got.get("login"), "run %d (%s) took %r: %r"
                  % (i + 1, policy, got.get("road"), got))
            results[policy].append(got)
    lines = ["  %-12s %-8s %s, n=%d per timing" % (mode, road, what, runs)]
    for name, where, target in figures:
        values = {}
        for policy in BENCH_POLICIES:
            values[policy] = [figure_of(g, where) for g in results[policy]]
            check(all(v is not None for v in values[policy]), "%s: no %r in a run" % (mode, name))
            lines.append("  %-12s %-28s %-9s median %6.0f ms  min %6d  max %6d" % (
                "", name, policy, median(values[policy]), min(values[policy]), max(values[policy])))
        paired = median([o - d for d, o in zip(values["sequential"], values["own"])])
        if target is None:
            met = paired <= BENCH_NOISE_MS
            goal = "<= sequential"
        else:
            met = median(values["own"]) <= target
            goal = "<= %d ms" % target
        BENCH_TABLE.append((what, name, median(values["sequential"]), median(values["own"]), paired, goal, met))
    for policy in BENCH_POLICIES:
        steps = []
        for name, prefix in BENCH_STEPS:
            at = [g["ms_to_stream"] if prefix is None else status_at(g, prefix) for g in results[policy]]
            at = [a for a in at if a is not None]
            if at:
                steps.append("%s %.0f" % (name, median(at)))
        lines.append("  %-12s %-9s where the time went (median ms from the start): %s" % ("", policy,
                                                                                           ", ".join(steps)))
    return "\n".join(lines)


def bench_table():
    """The side-by-side table of every figure measured in this run."""
    if not BENCH_TABLE:
        return ""
    out = ["", "remote procedure, sequential timing and ours (ms from the start of ConnectRemote; medians, and the"
           " median of the paired differences):",
           "  %-48s %-26s %9s %9s %9s  %-13s %s" % ("road", "figure", "sequential", "ours", "ours-seq", "target",
                                                    "met")]
    for what, name, sequential, own, paired, goal, met in BENCH_TABLE:
        out.append("  %-48s %-26s %9.0f %9.0f %+9d  %-13s %s" % (what, name, sequential, own, int(round(paired)),
                                                                 goal, "yes" if met else "NO"))
    return "\n".join(out)


# The fetch a user waits for on the punched road: the viewer crosses the
# impairment proxy, which drops 5% of the datagrams each way. The proxy stands on
# the public segment, the relays name it in their FIND ACK and NAT B forwards what
# it sends on to the controller's UDP socket: the road is punched as ever, only
# lossy. The controller simulator is started anew for each run because a punched
# session takes its UDP socket (the forward must name the next one), and each run
# has a proxy of its own with its own seed, so that the runs meet different losses
# and a launcher measured against another meets the same ones.
FETCH_SIZE = 2000000  # bytes, the order of a controller's viewer
FETCH_LOSS_PCT = 5
FETCH_PROXY = ("203.0.113.30", 9000)
FETCH_RUNS = 5
FETCH_TIMEOUT_S = 300
FETCH_FILE = "natlauncher-download.bin"  # where natlauncher writes what it fetched


class FileWritten:
    """The time a file of a folder is closed after writing (inotify, seen by a thread of
    ours). natlauncher writes its download in one piece once the last byte has come,
    so this is the download's end as the launcher sees it, in any build of it."""

    IN_CLOSE_WRITE = 0x8

    def __init__(self, folder, name):
        import ctypes
        import threading
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        check(self.fd >= 0, "inotify: errno %d" % ctypes.get_errno())
        if libc.inotify_add_watch(self.fd, folder.encode(), self.IN_CLOSE_WRITE) < 0:
            os.close(self.fd)
            raise Failure("inotify on %s: errno %d" % (folder, ctypes.get_errno()))
        self.name = name.encode()
        self.at = None
        self.watching = True
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        import select
        poller = select.poll()
        poller.register(self.fd, select.POLLIN)
        while self.watching:
            if not poller.poll(100):
                continue
            now = time.monotonic()
            try:
                events = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            at = 0
            while at + 16 <= len(events):  # wd, mask, cookie, length, then the name
                length = struct.unpack_from("<iIII", events, at)[3]
                if events[at + 16:at + 16 + length].rstrip(b"\0") == self.name:
                    self.at = now
                at += 16 + length

    def stop(self):
        self.watching = False
        self.thread.join(2)
        os.close(self.fd)


def fetch_once(ctx, impair, viewer, run):
    """One run: (None or why it failed, its times in ms, the proxy's (received, dropped)
    per direction)."""
    sim = ctx.sim(ctx.lab.relay_endpoints(), "--viewer-file", viewer, "--piece-size", 64000)
    m = sim.wait_for(r"^enrolling as '.*' from [0-9.]+:(\d+) with", 1)
    check(m, "rerudi-sim named its UDP socket:\n" + sim.text())
    public_port = nl.FORWARD_PORT + 1 + run  # the forwards of earlier runs stay
    ctx.lab.forward_udp(public_port, int(m.group(1)))
    argv = [impair, "--listen", "%s:%d" % FETCH_PROXY, "--upstream", "%s:%d" % (nl.NAT_B_PUBLIC, public_port),
            "--loss", FETCH_LOSS_PCT, "--seed", run + 1, "--max-run", 900000]
    proxy = ctx.session.track(nl.ServiceProcess(ctx.lab.argv_in("public", argv), "impairment proxy"))
    data = tempfile.mkdtemp(prefix="natlauncher-", dir=ctx.session.tmp)
    with open(os.path.join(data, "servers.txt"), "w") as f:
        f.write(nl.servers_txt())
    written = FileWritten(data, FETCH_FILE)
    argv = [ctx.args.launcher, "remote", SYSTEM, "--data", data, "--password", SIM_PASSWORD, "--download", viewer]
    started = time.monotonic()
    launcher = ctx.session.track(qh.LineProcess(ctx.lab.argv_in("launcher", argv)))
    launcher.wait(FETCH_TIMEOUT_S)
    ended = time.monotonic()
    written.stop()
    proxy.stop()
    sim.stop()

    counts = {}
    for m in proxy.matching(r"^to (upstream|client): received (\d+) delivered \d+ dropped (\d+)"):
        counts[m.group(1)] = (int(m.group(2)), int(m.group(3)))
    lines = launcher.lines()
    got = {}
    if lines and lines[-1].startswith("{"):
        got = json.loads(lines[-1])
    asked = sim.first_time(r"^conn \d+: download \d+ \(id \d+\): %d bytes in \d+ pieces$" % FETCH_SIZE)
    times = {}
    if asked and written.at:
        times = {"fetch": (written.at - asked) * 1000, "whole": (written.at - started) * 1000}
    times["exit"] = (ended - started) * 1000
    why = None
    if launcher.proc.returncode != 0:
        why = "natlauncher ended with %s after %.0f s" % (launcher.proc.returncode, ended - started)
    elif got.get("road") != "punched" or not got.get("login"):
        why = "road %r, login %r (%s)" % (got.get("road"), got.get("login"), got.get("result"))
    elif not sim.matching(r"^conn \d+: punched from %s:\d+$" % re.escape(FETCH_PROXY[0])):
        why = "the punched road did not cross the proxy"
    elif not got.get("download_ok") or "fetch" not in times:
        why = "download %s bytes, intact: %r" % (got.get("downloaded"), got.get("download_ok"))
    if why:
        why += "\n      " + "\n      ".join((launcher.stderr + sim.lines())[-12:])
    return why, times, counts


def bench_fetch(ctx, runs):
    impair = ctx.args.impair or os.path.join(os.path.dirname(ctx.args.sim), "rerudi-udp-impair")
    check(os.path.exists(impair), "%s is not built" % impair)
    ctx.lab.start_relays(ctx.args.relay, ["--answer", "%s=find-ack=%s:%d" % ((SYSTEM,) + FETCH_PROXY)])
    ctx.lab.add_public_address(FETCH_PROXY[0])
    viewer = ctx.viewer_file(FETCH_SIZE)
    done, failed, shown = [], [], []
    sent = {"client": [0, 0], "upstream": [0, 0]}
    for run in range(runs):
        why, times, counts = fetch_once(ctx, impair, viewer, run)
        for way, (received, dropped) in counts.items():
            sent[way][0] += received
            sent[way][1] += dropped
        way_text = ", ".join("%s %d of %d dropped" % (w, d, r) for w, (r, d) in sorted(counts.items()))
        if why:
            failed.append(run + 1)
            shown.append("    run %d FAILED (%s): %s" % (run + 1, way_text, why))
            continue
        done.append(times)
        shown.append("    run %d: download %6.0f ms, launcher start to its end %6.0f ms, to its exit %6.0f ms (%s)"
                     % (run + 1, times["fetch"], times["whole"], times["exit"], way_text))
    lines = ["  %-12s %-8s %s bytes at %d%% loss each way: n=%d, %d failed%s" % (
        "fetch", "punched", "{:,}".format(FETCH_SIZE), FETCH_LOSS_PCT, runs, len(failed),
        " (run %s)" % ", ".join(map(str, failed)) if failed else "")]
    for key, what in (("fetch", "download: request at the controller to file written"),
                      ("whole", "launcher start to the file written"), ("exit", "launcher start to its exit")):
        values = [t[key] for t in done]
        if values:
            lines.append("  %-12s %-52s median %6.0f ms  min %6.0f  max %6.0f" % (
                "", what, median(values), min(values), max(values)))
    lines.append("  %-12s datagrams dropped by the proxy: %s" % ("", ", ".join(
        "%s %d of %d (%.1f%%)" % (w, d, r, 100.0 * d / r if r else 0) for w, (r, d) in sorted(sent.items()))))
    say("\n".join(shown))
    check(done, "no run fetched the file:\n" + "\n".join(shown))
    return "\n".join(lines)


# Benchmark modes beside the table above: the lab mode each runs in, its function
# (context, runs) and its runs when --runs is not given.
BENCH_OWN = {"fetch": ("ei", bench_fetch, FETCH_RUNS)}


WIRE = {"wire-relay": group_wire_relay, "wire-dserver": group_wire_dserver, "wire-enroll": group_wire_enroll,
        "wire-sim": group_wire_sim}
LAB = {"ei": group_ei, "random": group_random, "udp-blocked": group_udp_blocked, "no-punch": group_no_punch,
       "nack": group_nack, "sim-ei": group_sim_ei, "sim-random": group_sim_random, "sim-no-punch": group_sim_no_punch,
       "sim-udp-blocked": group_sim_udp_blocked, "sim-nack": group_sim_nack, "keepalive": group_keepalive,
       "sim-relay-down": group_sim_relay_down, "sim-lossy-probe": group_sim_lossy_probe,
       "sim-probe-silent": group_sim_probe_silent, "sim-silent-dns": group_sim_silent_dns}
# The lab mode of each group with the controller simulator, and its TCP port there.
SIM_LAB = {"sim-ei": "ei", "sim-random": "random", "sim-no-punch": "no-punch", "sim-udp-blocked": "udp-blocked",
           "sim-nack": "nack", "keepalive": "ei", "sim-relay-down": "relay-down", "sim-lossy-probe": "ei",
           "sim-probe-silent": "ei", "sim-silent-dns": "silent-dns"}
OTHER = {"cleanup": group_cleanup}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--group", choices=sorted(list(WIRE) + list(LAB) + list(OTHER)) + ["all"])
    qh.add_list_option(ap, list(WIRE) + list(LAB) + list(OTHER))
    ap.add_argument("--bench", action="store_true", help="measure the remote procedure in the lab (root)")
    ap.add_argument("--runs", type=int,
                    help="runs per lab mode and timing with --bench (default 10, fetch 5; udp-blocked: at most 3)")
    ap.add_argument("--modes", default=",".join(b[0] for b in BENCH),
                    help="lab modes to measure with --bench; fetch: a 2 MB download at 5%% loss each way")
    ap.add_argument("--relay", required=True)
    ap.add_argument("--dserver", required=True)
    ap.add_argument("--peer", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--launcher", required=True, help="natlauncher")
    ap.add_argument("--impair", help="rerudi-udp-impair, for --bench fetch (default: next to rerudi-sim)")
    args = ap.parse_args()
    qh.install_signal_handlers()
    missing = qh.first_missing(args, ("relay", "dserver", "peer", "sim", "launcher"))
    if missing:
        say("SKIP: %s not built (%r)" % missing)
        return qh.SKIP
    if args.bench:
        def bench_session(mode):
            nl.NatLab.require()
            return nl.LabSession(BENCH_OWN[mode][0] if mode in BENCH_OWN else mode, controller_tcp_port=SIM_PORT)

        def bench_body(mode, session):
            if mode in BENCH_OWN:
                return BENCH_OWN[mode][1](Context(args, session), max(1, args.runs or BENCH_OWN[mode][2]))
            runs = min(args.runs or 10, 3) if mode == "udp-blocked" else args.runs or 10
            return bench_mode(Context(args, session), max(1, runs))
        say("remote procedure in the NAT lab, times from the start of ConnectRemote:")
        code = qh.run_each([m for m in args.modes.split(",") if m], bench_session, bench_body)
        table = bench_table()
        if table:
            say(table)
        return code
    if not args.group:
        ap.error("--group or --bench is needed")
    names = sorted(list(WIRE) + list(LAB) + list(OTHER)) if args.group == "all" else [args.group]

    def make(name):
        if name in WIRE:
            return WireSession()
        if name in OTHER:
            nl.NatLab.require()
            return WireSession()
        nl.NatLab.require()
        if name in SIM_LAB:
            return nl.LabSession(SIM_LAB[name], controller_tcp_port=SIM_PORT)
        return nl.LabSession(name, controller_tcp_port=CONTROLLER_ECHO_PORT)

    def body(name, session):
        shown = {**WIRE, **LAB, **OTHER}[name](Context(args, session))
        # A sanitizer build of the simulators reports on the way out: stop them here
        # and look.
        for child in session.children:
            child.stop()
            check(not re.search(r"Sanitizer|runtime error:", child.text()),
                  "%s reported:\n  %s" % (child.what, child.text("  ")))
        return shown

    return qh.run_each(names, make, body)


if __name__ == "__main__":
    sys.exit(main())
