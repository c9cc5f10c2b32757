"""Shared set-up for the local-network scenarios and the idle-CPU measurement.

Two network namespaces joined by a veth pair: "A" holds the launcher (10.77.0.1/24)
and its Wine server, "B" the simulated controllers (10.77.0.2 to 10.77.0.60) and any
controller simulator. Nothing else is attached, so no datagram leaves the pair.

Wine creates sockets in the wine server, so the server must run in namespace A: the
scenarios use a Wine prefix of their own, end any server of it first, and start the
first Wine program of the run inside A. Everything is torn down on exit, and
namespaces left by an earlier run that was killed are removed on the next start
(tests/harness/qvharness.py does the parts every scenario group shares).
"""

import json
import os
import re
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing of ours is left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import qvharness as qh  # noqa: E402
from qvharness import (  # noqa: E402,F401 (the scripts take these from here)
    DATA_SUBPATH, SKIP, Failure, Skip, check, install_signal_handlers, say, wait_until, win_path)

HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCHER_ADDRESS = "10.77.0.1"
FIRST_PEER = 2
LAST_PEER = 60
SUBNET_BROADCAST = "10.77.0.255"
NS_PREFIX = ("qvl-a-", "qvl-b-")


def wine_setup(args):
    """args.arch (the probe's architecture, the build tree's) and, unless one was
    given, args.wineprefix: the group's prefix of that architecture. A message and
    an exit code when the probe is not a Windows program, else None."""
    return qh.set_width(args, args.probe, "lan")


def peer_address(n):
    return "10.77.0.%d" % n


def unescape(text):
    """The probe's escaping (\\xNN for bytes outside printable ASCII) undone, as latin-1."""
    return re.sub(r"\\x([0-9A-Fa-f]{2})", lambda m: chr(int(m.group(1), 16)), text)


# ---------------------------------------------------------------------------


class Peer(qh.Conversation):
    """peer.py in namespace B: commands in, replies and events out."""

    def __init__(self, argv):
        self.events = []
        self.events_lock = threading.Lock()
        super().__init__(argv)
        wait_until(lambda: self.taken_events("ready") or self.proc.poll() is not None, 15)
        if not self.taken_events("ready"):
            self.stop()
            raise Failure("peer did not start:\n  " + "\n  ".join(self.stderr))

    def on_line(self, line):
        try:
            obj = json.loads(line)
        except ValueError:
            return
        if "event" in obj:
            with self.events_lock:
                self.events.append(obj)
        else:
            self.replies.put(line)

    def cmd(self, op, **fields):
        fields["cmd"] = op
        self.send(json.dumps(fields))
        reply = json.loads(self.next_line(15))
        if reply.get("error"):
            raise Failure("peer refused %r: %s" % (fields, reply["error"]))
        return reply.get("reply")

    def add(self, n, name, **fields):
        return self.cmd("add", addr=peer_address(n), name=name, **fields)

    def taken_events(self, kind=None, since=0.0):
        with self.events_lock:
            return [e for e in self.events if (kind is None or e["event"] == kind) and e.get("t", 0) >= since]

    def now(self):
        """The peer's clock (CLOCK_MONOTONIC is shared by every network namespace)."""
        return time.monotonic()


class Probe(qh.Conversation):
    """lanprobe.exe under Wine in namespace A, which starts the launcher."""

    def __init__(self, argv, env):
        super().__init__(argv, env=env)
        try:
            first = self.next_line(60)
            check(first.startswith("started\t"), "the probe could not start the launcher: %r" % first)
        except Failure:
            self.stop()
            raise
        self.launcher_pid = int(first.split("\t")[1])

    def fields(self, request, timeout_s=15):
        return self.ask(request, timeout_s).split("\t")

    def wait_window(self, timeout_s=30):
        r = self.ask("window %d" % int(timeout_s * 1000), timeout_s + 10)
        check(r.startswith("window\t"), "the launcher's main window did not appear (%s)" % r)

    def list(self):
        """(selected line text or None, [line texts]) of the list of local systems."""
        parts = self.fields("list")
        check(parts[0] == "list", "list: %s" % "\t".join(parts))
        sel, count = int(parts[1]), int(parts[2])
        names = [unescape(p) for p in parts[3:3 + count]]
        return (names[sel] if 0 <= sel < len(names) else None), names

    def names(self):
        return self.list()[1]

    def text(self, control_id):
        parts = self.fields("text %d" % control_id)
        check(parts[0] == "text", "text: %s" % "\t".join(parts))
        return unescape(parts[1]) if len(parts) > 1 else ""

    def controls(self):
        """{control id (a number) or "window": state letters}."""
        parts = self.fields("controls")
        check(parts[0] == "controls", "controls: %s" % "\t".join(parts))
        pairs = (p.split(":", 1) for p in parts[1:])
        return {(int(k) if k.isdigit() else k): v for k, v in pairs}

    def type(self, control_id, text):
        esc = "".join(c if 0x20 < ord(c) < 0x7F and c != "\\" else "\\x%02X" % ord(c) for c in text)
        check(self.ask("type %d %s" % (control_id, esc)) == "typed", "typing failed")

    def watch(self, ms):
        """[(ms, count, selected text)] at every change during ms milliseconds."""
        parts = self.fields("watch %d" % ms, timeout_s=ms / 1000.0 + 15)
        check(parts[0] == "watch", "watch: %s" % "\t".join(parts))
        out = []
        for p in parts[1:]:
            t, _, rest = p.partition(":")
            if rest == "hung":
                out.append((int(t), None, None))
                continue
            count, _, sel = rest.partition(":")
            out.append((int(t), int(count), unescape(sel)))
        return out

    def status(self):
        return self.ask("status")

    def wait_exit(self, timeout_s):
        return self.ask("waitexit %d" % int(timeout_s * 1000), timeout_s + 10)

    def stop(self, term_wait_s=3, kill_wait_s=5, join_s=None):
        # The probe ends the launcher it started, which a signal to the probe would not.
        if self.running():
            try:
                self.send("kill")
                self.next_line(10)
            except Failure:
                pass
        super().stop(term_wait_s, kill_wait_s, join_s)


# ---------------------------------------------------------------------------


class Lan(qh.Session):
    """The two namespaces, the Wine prefix and the programs of one scenario group."""

    def __init__(self, args):
        super().__init__("rerudi-lan-", NS_PREFIX, args.wineprefix, args.arch, keep=getattr(args, "keep", False))
        self.args = args
        self.tag = "%d" % (os.getpid() % qh.TAG_MODULUS)
        self.ns_a = NS_PREFIX[0] + self.tag
        self.ns_b = NS_PREFIX[1] + self.tag
        self.veth_a = "qva" + self.tag
        self.veth_b = "qvb" + self.tag
        self.runs = 0

    # -- set-up -------------------------------------------------------------

    def start(self):
        qh.require_root("needs root for network namespaces")
        qh.require_netns()
        qh.require_wine(self.wine.arch)
        self.wine.lock(".run.lock", 600, 0.5)
        self.wine.make_headless(self.args.source, 600)
        self.netns.remove_stale()
        self.wine.ns = self.netns.add(self.ns_a)
        self.netns.add(self.ns_b)
        self.ip(self.ns_a, "link add %s type veth peer name %s netns %s" % (self.veth_a, self.veth_b, self.ns_b))
        # A fixed hardware address: the adapter choice skips addresses in the subnet
        # derived from it, which this one can never produce for 10.77.0.0/24.
        self.ip(self.ns_a, "link set %s address 02:51:0a:4d:00:01" % self.veth_a)
        self.ip(self.ns_a, "addr add %s/24 brd + dev %s" % (LAUNCHER_ADDRESS, self.veth_a))
        self.ip(self.ns_a, "link set %s up" % self.veth_a)
        # The limited broadcast needs a route to leave by; the only way out is the pair.
        self.ip(self.ns_a, "route add default dev %s" % self.veth_a)
        self.netns.ip_batch(self.ns_b, ["addr add %s/24 brd + dev %s" % (peer_address(n), self.veth_b)
                                        for n in range(FIRST_PEER, LAST_PEER + 1)])
        self.ip(self.ns_b, "link set %s up" % self.veth_b)
        # No server of this prefix may survive outside namespace A.
        self.wine.end_server()

    def ip(self, ns, command):
        self.netns.ip(ns, *command.split())

    # -- programs -----------------------------------------------------------

    def in_a(self, argv):
        return qh.in_netns(self.ns_a, argv)

    def in_b(self, argv):
        return qh.in_netns(self.ns_b, argv)

    def start_peer(self):
        log = os.path.join(self.tmp, "peer-events.log")
        return self.track(Peer(self.in_b([sys.executable, os.path.join(HERE, "peer.py"), "--subnet-broadcast",
                                          SUBNET_BROADCAST, "--log", log])))

    def start_sim(self, address, port=0, version="7.1.1.0", password="secret"):
        return self.track(qh.SimProcess(self.in_b([
            self.args.sim, "--listen", address, "--port", str(port), "--password", password,
            "--version", version, "--viewer-file", self.args.viewer, "--max-run", "600000"])))

    def appdata(self, login=None):
        """A fresh APPDATA folder; login = (name, password) writes a LOGIN.DAT into it."""
        self.runs += 1
        path = os.path.join(self.tmp, "appdata%d" % self.runs)
        data = os.path.join(path, *DATA_SUBPATH)
        os.makedirs(data, exist_ok=True)
        if login is not None:
            with open(os.path.join(data, "LOGIN.DAT"), "wb") as f:
                f.write(qh.login_file(*login))
        return path

    def start_launcher(self, options, appdata, env=None, launcher=None):
        envs = {"APPDATA": win_path(appdata)}
        envs.update(env or {})
        argv = self.wine.program(self.args.probe)
        for k, v in envs.items():
            argv += ["--env", "%s=%s" % (k, v)]
        argv += ["--", win_path(launcher or self.args.launcher)] + list(options)
        return self.track(Probe(self.in_a(argv), self.wine.env()))

    def wine_pids(self):
        """(launcher, wine server): the Linux processes of this run's prefix, None where missing."""
        return qh.wine_pids(self.wine.path, os.path.basename(self.args.launcher), exclude=("lanprobe",))
