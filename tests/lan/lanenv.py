"""Shared set-up for the local-network scenarios and the idle-CPU measurement.

Two network namespaces joined by a veth pair: "A" holds the launcher (10.77.0.1/24)
and its Wine server, "B" the simulated controllers (10.77.0.2 to 10.77.0.60) and any
controller simulator. Nothing else is attached, so no datagram leaves the pair.

Wine creates sockets in the wine server, so the server must run in namespace A: the
scenarios use a Wine prefix of their own, end any server of it first, and start the
first Wine program of the run inside A. Everything is torn down on exit, and
namespaces left by an earlier run that was killed are removed on the next start.
"""

import fcntl
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCHER_ADDRESS = "10.77.0.1"
FIRST_PEER = 2
LAST_PEER = 60
SUBNET_BROADCAST = "10.77.0.255"
NS_PREFIX = ("qvl-a-", "qvl-b-")
DATA_SUBPATH = ("OSKA Zizu Systems", "OSKA Rerudi")


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def say(text):
    print(text, flush=True)


def peer_address(n):
    return "10.77.0.%d" % n


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def unescape(text):
    """The probe's escaping (\\xNN for bytes outside printable ASCII) undone, as latin-1."""
    return re.sub(r"\\x([0-9A-Fa-f]{2})", lambda m: chr(int(m.group(1), 16)), text)


def wait_until(fn, timeout_s, interval_s=0.05):
    """fn() until it answers something true; that answer, or the last one at the deadline."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = fn()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval_s)


def run(argv, **kw):
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    kw.setdefault("timeout", 60)
    return subprocess.run(argv, **kw)


def kill_group(proc):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(3)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            pass


# ---------------------------------------------------------------------------


class LineProcess:
    """A child whose standard output is read line by line in a thread."""

    def __init__(self, argv, env=None, stdin=True):
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
                                     encoding="latin-1", start_new_session=True)
        self.lines = queue.Queue()
        self.stderr = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        threading.Thread(target=self._read_err, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.on_line(line.rstrip("\n").rstrip("\r"))
        self.lines.put(None)

    def _read_err(self):
        for line in self.proc.stderr:
            self.stderr.append(line.rstrip("\n"))

    def on_line(self, line):
        self.lines.put(line)

    def send(self, line):
        try:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError, OSError):
            raise Failure("%s is gone:\n  %s" % (self.__class__.__name__, "\n  ".join(self.stderr[-20:])))

    def next_line(self, timeout_s):
        try:
            line = self.lines.get(timeout=timeout_s)
        except queue.Empty:
            raise Failure("%s did not answer within %.0f s" % (self.__class__.__name__, timeout_s))
        if line is None:
            self.lines.put(None)
            raise Failure("%s ended:\n  %s" % (self.__class__.__name__, "\n  ".join(self.stderr[-20:])))
        return line

    def stop(self):
        kill_group(self.proc)


class Peer(LineProcess):
    """peer.py in namespace B: commands in, replies and events out."""

    def __init__(self, argv):
        self.events = []
        self.events_lock = threading.Lock()
        super().__init__(argv)
        wait_until(lambda: self.taken_events("ready") or self.proc.poll() is not None, 15)
        check(self.taken_events("ready"), "peer did not start:\n  " + "\n  ".join(self.stderr))

    def on_line(self, line):
        try:
            obj = json.loads(line)
        except ValueError:
            return
        if "event" in obj:
            with self.events_lock:
                self.events.append(obj)
        else:
            self.lines.put(line)

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


class Probe(LineProcess):
    """lanprobe.exe under Wine in namespace A, which starts the launcher."""

    def __init__(self, argv, env):
        super().__init__(argv, env=env)
        first = self.next_line(60)
        check(first.startswith("started\t"), "the probe could not start the launcher: %r" % first)
        self.launcher_pid = int(first.split("\t")[1])

    def ask(self, request, timeout_s=15):
        self.send(request)
        return self.next_line(timeout_s)

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
        parts = self.fields("controls")
        check(parts[0] == "controls", "controls: %s" % "\t".join(parts))
        return dict(p.split(":", 1) for p in parts[1:])

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


class Sim(LineProcess):
    """rerudi-sim in namespace B; its lines are kept with the time they arrived."""

    def __init__(self, argv):
        self.log = []
        self.log_lock = threading.Lock()
        super().__init__(argv, stdin=False)
        m = self.wait_for(r"^listening on ([0-9.]+):(\d+)$", 10)
        if not m:
            raise Failure("simulator did not start:\n  %s\n  %s" % (self.text(), "\n  ".join(self.stderr)))
        self.port = int(m.group(2))

    def on_line(self, line):
        with self.log_lock:
            self.log.append((time.monotonic(), line))

    def text(self):
        with self.log_lock:
            return "\n  ".join(l for _, l in self.log)

    def matching(self, pattern):
        rx = re.compile(pattern)
        with self.log_lock:
            return [(t, rx.search(l)) for t, l in self.log if rx.search(l)]

    def wait_for(self, pattern, timeout_s):
        found = wait_until(lambda: self.matching(pattern), timeout_s, 0.02)
        return found[0][1] if found else None


# ---------------------------------------------------------------------------


class Lan:
    """The two namespaces, the Wine prefix and the programs of one scenario group."""

    def __init__(self, args):
        self.args = args
        self.tag = "%d" % (os.getpid() % 1000000)
        self.ns_a = NS_PREFIX[0] + self.tag
        self.ns_b = NS_PREFIX[1] + self.tag
        self.veth_a = "qva" + self.tag
        self.veth_b = "qvb" + self.tag
        self.created = []
        self.children = []
        self.prefix = args.wineprefix
        self.lock_file = None
        self.tmp = tempfile.mkdtemp(prefix="rerudi-lan-")
        os.chmod(self.tmp, 0o755)
        self.runs = 0

    # -- set-up -------------------------------------------------------------

    def start(self):
        if os.geteuid() != 0:
            raise Skip("needs root for network namespaces")
        if not shutil.which("ip") or run(["ip", "netns", "list"]).returncode != 0:
            raise Skip("`ip netns` is not available")
        if not shutil.which("wine") or not shutil.which("wineserver"):
            raise Skip("wine is not installed")
        self.take_prefix()
        remove_stale_namespaces()
        for ns in (self.ns_a, self.ns_b):
            r = run(["ip", "netns", "add", ns])
            if r.returncode != 0:
                raise Skip("cannot create a network namespace: " + r.stderr.strip())
            self.created.append(ns)
            self.ip(ns, "link set lo up")
        self.ip(self.ns_a, "link add %s type veth peer name %s netns %s" % (self.veth_a, self.veth_b, self.ns_b))
        # A fixed hardware address: the adapter choice skips addresses in the subnet
        # derived from it, which this one can never produce for 10.77.0.0/24.
        self.ip(self.ns_a, "link set %s address 02:51:0a:4d:00:01" % self.veth_a)
        self.ip(self.ns_a, "addr add %s/24 brd + dev %s" % (LAUNCHER_ADDRESS, self.veth_a))
        self.ip(self.ns_a, "link set %s up" % self.veth_a)
        # The limited broadcast needs a route to leave by; the only way out is the pair.
        self.ip(self.ns_a, "route add default dev %s" % self.veth_a)
        batch = "".join("addr add %s/24 brd + dev %s\n" % (peer_address(n), self.veth_b)
                        for n in range(FIRST_PEER, LAST_PEER + 1))
        r = run(["ip", "-n", self.ns_b, "-batch", "-"], input=batch)
        check(r.returncode == 0, "cannot give the controllers their addresses: " + r.stderr)
        self.ip(self.ns_b, "link set %s up" % self.veth_b)
        # No server of this prefix may survive outside namespace A.
        self.wineserver("-k")
        self.wineserver("-w")

    def ip(self, ns, command):
        r = run(["ip", "-n", ns] + command.split())
        check(r.returncode == 0, "ip -n %s %s: %s" % (ns, command, r.stderr.strip()))

    def take_prefix(self):
        os.makedirs(os.path.dirname(self.prefix) or "/", exist_ok=True)
        self.lock_file = open(self.prefix + ".run.lock", "w")
        deadline = time.monotonic() + 600
        while True:
            try:
                fcntl.flock(self.lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise Skip("the LAN Wine prefix stays busy: " + self.prefix)
                time.sleep(0.5)
        env = dict(os.environ, WINEPREFIX=self.prefix)
        r = run([os.path.join(self.args.source, "tools", "wine-prefix")], env=env, timeout=600)
        if r.returncode != 0:
            raise Skip("cannot make a Wine prefix: " + r.stderr.strip())

    def wine_env(self):
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.pop("DISPLAY", None)
        return env

    def wineserver(self, flag):
        try:
            run(["ip", "netns", "exec", self.ns_a, "wineserver", flag] if self.ns_a in self.created
                else ["wineserver", flag], env=self.wine_env(), timeout=60)
        except subprocess.TimeoutExpired:
            pass

    # -- programs -----------------------------------------------------------

    def in_a(self, argv):
        return ["ip", "netns", "exec", self.ns_a] + argv

    def in_b(self, argv):
        return ["ip", "netns", "exec", self.ns_b] + argv

    def start_peer(self):
        log = os.path.join(self.tmp, "peer-events.log")
        p = Peer(self.in_b([sys.executable, os.path.join(HERE, "peer.py"), "--subnet-broadcast",
                            SUBNET_BROADCAST, "--log", log]))
        self.children.append(p)
        return p

    def start_sim(self, address, port=0, version="7.1.1.0", password="secret"):
        p = Sim(self.in_b([self.args.sim, "--listen", address, "--port", str(port), "--password", password,
                           "--version", version, "--viewer-file", self.args.viewer, "--max-run", "600000"]))
        self.children.append(p)
        return p

    def appdata(self, login=None):
        """A fresh APPDATA folder; login = (name, password) writes a LOGIN.DAT into it."""
        self.runs += 1
        path = os.path.join(self.tmp, "appdata%d" % self.runs)
        data = os.path.join(path, *DATA_SUBPATH)
        os.makedirs(data, exist_ok=True)
        if login is not None:
            with open(os.path.join(data, "LOGIN.DAT"), "wb") as f:
                f.write(login_file(*login))
        return path

    def start_launcher(self, options, appdata, env=None, launcher=None):
        envs = {"APPDATA": win_path(appdata)}
        envs.update(env or {})
        argv = ["wine", self.args.probe]
        for k, v in envs.items():
            argv += ["--env", "%s=%s" % (k, v)]
        argv += ["--", win_path(launcher or self.args.launcher)] + list(options)
        p = Probe(self.in_a(argv), self.wine_env())
        self.children.append(p)
        return p

    # -- tear-down ----------------------------------------------------------

    def stop(self):
        for c in reversed(self.children):
            if isinstance(c, Probe) and c.proc.poll() is None:
                try:
                    c.send("kill")
                    c.next_line(10)
                except Failure:
                    pass
            c.stop()
        self.children = []
        if shutil.which("wineserver"):
            self.wineserver("-k")
            self.wineserver("-w")
        for ns in self.created:
            run(["ip", "netns", "del", ns])
        self.created = []
        if self.lock_file:
            self.lock_file.close()
            self.lock_file = None
        if getattr(self.args, "keep", False):
            say("kept " + self.tmp)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)


def remove_stale_namespaces():
    """Namespaces of runs whose driver no longer exists (killed by a time-out)."""
    r = run(["ip", "netns", "list"])
    for line in r.stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        for prefix in NS_PREFIX:
            if name.startswith(prefix):
                tail = name[len(prefix):]
                alive = False
                if tail.isdigit():
                    for pid in os.listdir("/proc"):
                        if pid.isdigit() and int(pid) % 1000000 == int(tail):
                            try:
                                with open("/proc/%s/cmdline" % pid, "rb") as f:
                                    alive = b"python" in f.read()
                            except OSError:
                                pass
                            if alive:
                                break
                if not alive:
                    for pid in run(["ip", "netns", "pids", name]).stdout.split():
                        try:
                            os.kill(int(pid), signal.SIGKILL)
                        except (ProcessLookupError, ValueError):
                            pass
                    run(["ip", "netns", "del", name])


def login_file(name, password):
    """LOGIN.DAT as the launcher writes it: two counted strings and seven 32-bit words."""
    import struct
    def s(t):
        b = t.encode("latin-1")
        return struct.pack("<I", len(b)) + b
    return s(name) + s(password) + struct.pack("<7I", 0, 0, 0, 1, 0, 2, 1)


def on_terminate(signum, _frame):
    raise SystemExit(128 + signum)


def install_signal_handlers():
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, on_terminate)
