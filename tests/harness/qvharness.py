"""What the scenario scripts share: the launcher under Wine, inside network namespaces.

Used by tests/e2e (end-to-end start of the viewer), tests/lan (the main window on a
simulated local network, and the idle-CPU measurement) and tests/look (screenshots).
Each group keeps its own Wine prefix, lock file and namespace names, so that groups
run back to back (or two build trees at once) never meet.

Wine creates its sockets in the wine server, so the server of a prefix lives in the
network namespace of the first Wine program that started it. A run therefore ends any
server of its prefix first (wherever it runs) and starts its first Wine program inside
the launcher's namespace; the server is ended again when the run stops. A run killed
by a time-out leaves its namespaces behind; the next run of the same group removes
them. SIGTERM, SIGINT and SIGHUP end a run through its clean-up.

Each Windows build tree is one architecture (win32 or win64). A run uses the Wine
loader of that architecture and a prefix of its own for it, never /usr/bin/wine by
luck (it takes the 32-bit loader whenever the file exists): tools/wine-arch decides
which architectures this machine runs and gives the loaders.

Exit codes of every script: 0 passed, 1 failed, 77 skipped (SKIP). A skip names its
reason. With QV_STRICT_SKIPS=1 (tools/test sets it) only a limit of the machine that
was checked and named (MachineLimit: "32-bit programs cannot run here") may skip; a
skip for a reason the machine can be fixed for (a missing tool, no display) fails.
"""

import argparse
import fcntl
import functools
import hashlib
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import headers  # noqa: E402

SKIP = 77
SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
WINE_ARCH = os.path.join(SOURCE, "tools", "wine-arch")
DATA_SUBPATH = ("OSKA Zizu Systems", "OSKA Rerudi")
WINE_QUIET = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
# Namespace names end in the number of the run that made them: its pid, or the pid
# modulo this (to keep interface names short).
TAG_MODULUS = 1000000


class Skip(Exception):
    """The scenario cannot run on this machine as it is set up (a missing tool, say)."""


class MachineLimit(Skip):
    """The scenario cannot run on this kind of machine at all, for a reason that was
    checked and is named (32-bit programs cannot run here): the one skip that
    QV_STRICT_SKIPS allows."""


def strict_skips():
    return os.environ.get("QV_STRICT_SKIPS", "") not in ("", "0")


def skip_allowed(skip):
    return isinstance(skip, MachineLimit) or not strict_skips()


class Failure(Exception):
    """A check did not hold, or the set-up broke."""


def check(cond, what):
    if not cond:
        raise Failure(what)


def say(text):
    print(text, flush=True)


def wait_until(fn, timeout_s, interval_s=0.05):
    """fn() until it answers something true; that answer, or the last one at the deadline."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = fn()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval_s)


def run(argv, **kw):
    """A short helper program; its output captured as text, never waited on for ever."""
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    kw.setdefault("timeout", 60)
    return subprocess.run(argv, **kw)


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def login_file(name, password, options_expanded=0):
    """LOGIN.DAT as the launcher writes it: two counted strings and seven 32-bit words."""
    import struct

    def counted(text):
        raw = text.encode("latin-1")
        return struct.pack("<I", len(raw)) + raw
    return counted(name) + counted(password) + struct.pack("<7I", 0, 0, options_expanded, 1, 0, 2, 1)


def default_prefix(group, arch, tree=None):
    """/tmp/rerudi-<group>-wine-<arch>-<uid>[-<tree>]: a prefix per scenario group and
    architecture (and build tree, where two trees may run at once)."""
    return "/tmp/rerudi-%s-wine-%s-%d%s" % (group, arch, os.getuid(), ("-" + tree) if tree else "")


def set_width(args, program, group, prefix_attr="wineprefix", tree_of=None):
    """Sets args.arch from program's header and, unless one was given, the
    prefix_attr argument to the group's prefix of that width; tree_of (a program's
    path) makes it one per build tree, so that two trees can run at once. None, or
    1 after saying why program is not a Windows program."""
    try:
        args.arch = program_arch(program)
    except Failure as f:
        say("FAIL: %s" % f)
        return 1
    if not getattr(args, prefix_attr):
        tree = hashlib.sha1(os.path.abspath(tree_of).encode()).hexdigest()[:8] if tree_of else None
        setattr(args, prefix_attr, default_prefix(group, args.arch, tree))
    return None


def first_missing(args, needs):
    """(name, path) of the first program of args that is not built, or None."""
    for need in needs:
        path = getattr(args, need)
        if not path or not os.path.isfile(path):
            return need, path
    return None


def exit_code(failed, skipped, total):
    if failed:
        return 1
    return SKIP if skipped == total else 0


def skip_exit(reason, machine_limit=False, name=None):
    """A whole script that cannot run: the SKIP line and exit code 77, or under
    QV_STRICT_SKIPS a FAIL line and 1 when the reason can be fixed."""
    s = MachineLimit(reason) if machine_limit else Skip(reason)
    return SKIP if report_skip(name, s) else 1


def report_skip(name, skip):
    """Says SKIP (and answers True) or, for a skip that is not allowed, FAIL (False)."""
    label = (" " + name) if name else ""
    if skip_allowed(skip):
        say("SKIP%s: %s" % (label, skip))
        return True
    say("FAIL%s: skipped for a reason this machine can be fixed for (QV_STRICT_SKIPS): %s" % (label, skip))
    return False


def run_each(names, make, body):
    """Runs body(name, session) for each name on a session from make(name) (which may
    raise Skip before it makes one); PASS, SKIP or FAIL a line. Every session is
    started and stopped here. body may return text to show after the PASS line."""
    failed = skipped = 0
    for name in names:
        started = time.monotonic()
        session = None
        try:
            session = make(name)
            session.start()
            shown = body(name, session)
            say("PASS %s (%.1f s)" % (name, time.monotonic() - started))
            if shown:
                say(shown)
        except Skip as s:
            if report_skip(name, s):
                skipped += 1
            else:
                failed += 1
        except Failure as f:
            say("FAIL %s: %s" % (name, f))
            failed += 1
        finally:
            if session is not None:
                session.stop()
    return exit_code(failed, skipped, len(names))


def add_list_option(parser, names):
    """--list: names (the groups or scenarios of the script, in order) one a line, and
    nothing else done. The build registers one test for each name it prints
    (qv_scenario_test in harness.cmake), so the script's own table is the one list."""
    class ListNames(argparse.Action):
        def __call__(self, parser, namespace, values, option_string=None):
            print("\n".join(names))
            parser.exit()
    parser.add_argument("--list", nargs=0, action=ListNames, help="print the names one a line and end")


def scenario_parser(doc, option, names, required=False, demo=None):
    """The command line of a Wine scenario script: option (--group or --scenario) picks
    one of names or "all", --list prints them; --launcher is the program under test
    (empty when this tree did not build it: the script skips), --viewer the demo viewer
    and --sim the native controller simulator. demo: the help of a --demo option, for
    a script that also runs a demonstration."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(option, choices=sorted(names) + ["all"], required=required)
    add_list_option(parser, names)
    if demo:
        parser.add_argument("--demo", action="store_true", help=demo)
    parser.add_argument("--launcher", default="")
    parser.add_argument("--viewer", required=True)
    parser.add_argument("--sim", required=True)
    return parser


def add_wine_options(parser, prefix_variable, prefix_help):
    """--source (the tree whose headers give the numbers the scripts share with the C++
    code), --wineprefix (default: the environment variable prefix_variable, else one
    chosen per architecture) and --keep."""
    parser.add_argument("--source", default=SOURCE)
    parser.add_argument("--wineprefix", default=os.environ.get(prefix_variable), help=prefix_help)
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")


def parse_scenario_args(parser):
    """The arguments, with the headers read from --source and the signal handlers in place."""
    args = parser.parse_args()
    headers.set_source(args.source)
    install_signal_handlers()
    return args


def run_demonstration(show, stop):
    """A demonstration's exit code: 0 when show() answers that it worked. Why it could
    not run or failed is said; stop() gives back what it held in any case."""
    ok = False
    try:
        ok = show()
    except Skip as s:
        say("cannot run the demonstration: %s" % s)
    except Failure as f:
        say("RESULT: FAILED - %s" % f)
    finally:
        stop()
    return 0 if ok else 1


def main_on_one_path(doc, fn):
    """Script entry for a checker that takes one file: fn(path) is the exit code."""
    if len(sys.argv) != 2:
        print(doc)
        sys.exit(2)
    sys.exit(fn(sys.argv[1]))


# ---------------------------------------------------------------------------
# What the machine must offer


def require_root(why):
    if os.geteuid() != 0:
        raise Skip(why)


def netns_available():
    return bool(shutil.which("ip")) and run(["ip", "netns", "list"]).returncode == 0


def require_netns():
    if not netns_available():
        raise Skip("`ip netns` is not available")


def wine_arch(*words):
    """tools/wine-arch with these words: (exit code, first line of its answer)."""
    r = run([WINE_ARCH] + list(words))
    lines = (r.stdout or r.stderr).strip().splitlines()
    return r.returncode, (lines[0] if lines else "")


_arch_of = {}


def program_arch(path):
    """win32 or win64 from a Windows program's header; Failure for anything else."""
    path = os.path.abspath(path)
    if path not in _arch_of:
        rc, answer = wine_arch("of", path)
        if rc != 0:
            raise Failure("not a Windows program: %s (%s)" % (path, answer))
        _arch_of[path] = answer
    return _arch_of[path]


def require_arch(arch):
    """Programs of arch run here under Wine; MachineLimit with the checked reason when
    this machine cannot run them, Skip when Wine is not (fully) installed."""
    rc, answer = wine_arch("check", arch)
    if rc == 0:
        return
    reason = answer.split(": ", 1)[1] if ": " in answer else answer
    if rc == 1:
        raise MachineLimit(reason)
    raise Skip(reason)


@functools.lru_cache(maxsize=None)
def wine_loader(arch):
    return wine_arch("loader", arch)[1]


@functools.lru_cache(maxsize=None)
def wine_server():
    return wine_arch("server")[1]


def require_wine(arch):
    require_arch(arch)
    if not os.access(wine_server(), os.X_OK):
        raise Skip("the wine server %s is not installed" % wine_server())


def _on_terminate(signum, _frame):
    raise SystemExit(128 + signum)


def install_signal_handlers():
    """A run that is told to end still removes its namespaces and ends its servers."""
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, _on_terminate)


# ---------------------------------------------------------------------------
# /proc


def proc_read(pid, name):
    """/proc/<pid>/<name> as bytes, or None once the process is gone."""
    try:
        with open("/proc/%s/%s" % (pid, name), "rb") as f:
            return f.read()
    except OSError:
        return None


def proc_pids():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def wine_pids(prefix, exe_name, exclude=()):
    """(pid of the Wine process running exe_name, pid of the wine server), both of the
    given prefix and None where there is none. Command lines that hold a word of
    exclude (the program that started the launcher) are not the launcher."""
    launcher = server = None
    marker = ("WINEPREFIX=%s" % prefix).encode()
    for pid in proc_pids():
        cmd, env, comm = proc_read(pid, "cmdline"), proc_read(pid, "environ"), proc_read(pid, "comm")
        if cmd is None or env is None or comm is None or marker not in env:
            continue
        if comm.strip().startswith(b"wineserver"):
            server = server or pid
        elif exe_name.encode() in cmd and not any(w.encode() in cmd for w in exclude):
            launcher = launcher or pid
    return launcher, server


def status_kb(pid, field):
    """A kB figure of /proc/<pid>/status (VmRSS, RssAnon, ...), or None once the process is gone."""
    status = proc_read(pid, "status")
    for line in (status or b"").decode("latin-1").splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return None


def udp_counters(pid):
    """The UDP counters of the network namespace pid runs in (InDatagrams, RcvbufErrors,
    ...), or None once the process is gone."""
    snmp = proc_read(pid, "net/snmp")
    rows = [l.split() for l in (snmp or b"").decode("latin-1").splitlines() if l.startswith("Udp:")]
    if len(rows) < 2:
        return None
    return dict(zip(rows[0][1:], (int(v) for v in rows[1][1:])))


def udp_queued(pid, port):
    """Bytes waiting to be read on the UDP sockets of a local port, in the network
    namespace pid runs in; None once the process is gone."""
    table = proc_read(pid, "net/udp")
    if table is None:
        return None
    queued = 0
    for line in table.decode("latin-1").splitlines()[1:]:
        fields = line.split()
        if len(fields) > 4 and int(fields[1].rsplit(":", 1)[1], 16) == port:
            queued += int(fields[4].split(":")[1], 16)
    return queued


def cpu_ticks(pid):
    """utime + stime of a process in clock ticks, or None once it is gone."""
    stat = proc_read(pid, "stat")
    if stat is None:
        return None
    text = stat.decode("latin-1")
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def run_alive(tag):
    """Whether the scenario run with this tag (pid, or pid modulo TAG_MODULUS) still exists."""
    for pid in proc_pids():
        if tag in (pid, pid % TAG_MODULUS):
            cmd = proc_read(pid, "cmdline")
            if cmd and b"python" in cmd:
                return True
    return False


# ---------------------------------------------------------------------------
# Children


def stop_group(proc, term_wait_s=3, kill_wait_s=5):
    """Ends a child started in a session of its own, with everything it started: asked
    first (an X server then removes its lock), killed when it does not go. With
    term_wait_s=0 it is killed straight away. Always reaped or given up on in time."""
    if proc is None or proc.poll() is not None:
        return
    steps = [(signal.SIGTERM, term_wait_s)] if term_wait_s else []
    steps.append((signal.SIGKILL, kill_wait_s))
    for sig, wait_s in steps:
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
        try:
            proc.wait(wait_s)
            return
        except subprocess.TimeoutExpired:
            continue


class LineProcess:
    """A child in a session of its own whose output is read line by line in a thread and
    kept with the time each line came. stderr: "keep" (lines of their own), "merge"
    (into the output) or "drop"."""

    def __init__(self, argv, env=None, stdin=False, stderr="keep"):
        self.log = []
        self.stderr = []
        self.log_lock = threading.Lock()
        err = {"keep": subprocess.PIPE, "merge": subprocess.STDOUT, "drop": subprocess.DEVNULL}[stderr]
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=err, text=True, bufsize=1,
                                     encoding="latin-1", start_new_session=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if stderr == "keep":
            threading.Thread(target=self._read_err, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.on_line(line.rstrip("\n").rstrip("\r"))
        self.on_end()

    def _read_err(self):
        for line in self.proc.stderr:
            self.stderr.append(line.rstrip("\n"))

    def on_line(self, line):
        with self.log_lock:
            self.log.append((time.monotonic(), line))

    def on_end(self):
        pass

    # -- what it said ---------------------------------------------------------

    def lines(self):
        with self.log_lock:
            return [l for _, l in self.log]

    def text(self, indent=""):
        return ("\n" + indent).join(self.lines())

    def timed_matching(self, pattern):
        rx = re.compile(pattern)
        with self.log_lock:
            found = [(t, rx.search(l)) for t, l in self.log]
        return [(t, m) for t, m in found if m]

    def matching(self, pattern):
        return [m for _, m in self.timed_matching(pattern)]

    def first_time(self, pattern):
        found = self.timed_matching(pattern)
        return found[0][0] if found else None

    def wait_for(self, pattern, timeout_s):
        """The first line matching pattern as a match, or None at the deadline or once
        the child has ended and all it wrote is read."""
        def seen():
            found = self.matching(pattern)
            if found:
                return found
            return None if self.running() or self.reader.is_alive() else "ended"
        found = wait_until(seen, timeout_s, 0.02)
        found = found if isinstance(found, list) else self.matching(pattern)
        return found[0] if found else None

    # -- talking to it and ending it ----------------------------------------

    def send(self, line):
        try:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
        except (AttributeError, BrokenPipeError, ValueError, OSError):
            raise Failure("%s is gone:\n  %s" % (self.__class__.__name__, "\n  ".join(self.stderr[-20:])))

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout_s):
        """Waits for the child to end (killed at the deadline) and for its last lines."""
        try:
            self.proc.wait(timeout_s)
        except subprocess.TimeoutExpired:
            stop_group(self.proc, term_wait_s=0)
        self.reader.join(5)
        return self

    def stop(self, term_wait_s=3, kill_wait_s=5, join_s=None):
        stop_group(self.proc, term_wait_s, kill_wait_s)
        if join_s:
            self.reader.join(join_s)


class Conversation(LineProcess):
    """A child that answers requests on its standard input one line each."""

    def __init__(self, argv, env=None, stderr="keep"):
        self.replies = queue.Queue()
        super().__init__(argv, env=env, stdin=True, stderr=stderr)

    def on_line(self, line):
        super().on_line(line)
        self.replies.put(line)

    def on_end(self):
        self.replies.put(None)

    def next_line(self, timeout_s):
        try:
            line = self.replies.get(timeout=timeout_s)
        except queue.Empty:
            raise Failure("%s did not answer within %.0f s" % (self.__class__.__name__, timeout_s))
        if line is None:
            self.replies.put(None)
            # The exit status tells a program of ours that gave up (its own code, with a
            # line on its error output) from one that Wine ended or that crashed.
            try:
                code = self.proc.wait(2)
            except subprocess.TimeoutExpired:
                code = "none yet"
            raise Failure("%s ended (exit status %s):\n  %s" % (self.__class__.__name__, code,
                                                                  "\n  ".join(self.stderr[-20:])))
        return line

    def ask(self, request, timeout_s=15):
        self.send(request)
        try:
            return self.next_line(timeout_s)
        except Failure as f:
            raise Failure("%s (asked %r)" % (f, request))


class SimProcess(LineProcess):
    """The native controller simulator; its error output goes with its lines, so that a
    sanitizer report is part of what it said."""

    def __init__(self, argv):
        super().__init__(argv, stderr="merge")
        m = self.wait_for(r"^listening on ([0-9.]+):(\d+)$", 10)
        if not m:
            self.stop()
            raise Failure("simulator did not start:\n  " + self.text("  "))
        self.port = int(m.group(2))

    def stop(self, term_wait_s=5, kill_wait_s=5, join_s=5):
        super().stop(term_wait_s, kill_wait_s, join_s)

    def sanitizer_report(self):
        return bool(re.search(r"Sanitizer|runtime error:", self.text()))


# ---------------------------------------------------------------------------
# Network namespaces


class Namespaces:
    """The network namespaces of one run, removed again by remove(). Namespaces whose
    names start with one of prefixes and whose run no longer exists are removed by
    remove_stale(), with anything still running in them."""

    def __init__(self, prefixes):
        self.prefixes = tuple(prefixes)
        self.made = []

    def remove_stale(self):
        for line in run(["ip", "netns", "list"]).stdout.splitlines():
            name = line.split()[0] if line.split() else ""
            prefix = next((p for p in self.prefixes if name.startswith(p)), None)
            if prefix is None:
                continue
            tail = name[len(prefix):]
            if tail.isdigit() and run_alive(int(tail)):
                continue
            for pid in run(["ip", "netns", "pids", name]).stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            run(["ip", "netns", "del", name])

    def add(self, name):
        """A new namespace with its loopback interface up; Skip when none can be made."""
        r = run(["ip", "netns", "add", name])
        if r.returncode != 0:
            raise Skip("cannot create a network namespace: " + r.stderr.strip())
        self.made.append(name)
        self.ip(name, "link", "set", "lo", "up")
        return name

    def ip(self, ns, *words):
        r = run(["ip", "-n", ns] + [str(w) for w in words])
        check(r.returncode == 0, "ip -n %s %s: %s" % (ns, " ".join(str(w) for w in words), r.stderr.strip()))

    def ip_batch(self, ns, commands):
        r = run(["ip", "-n", ns, "-batch", "-"], input="".join(c + "\n" for c in commands))
        check(r.returncode == 0, "ip -n %s -batch: %s" % (ns, r.stderr.strip()))

    def remove(self):
        for ns in self.made:
            run(["ip", "netns", "del", ns])
        self.made = []


def in_netns(ns, argv):
    return (["ip", "netns", "exec", ns] + list(argv)) if ns else list(argv)


# ---------------------------------------------------------------------------
# Wine prefix


class WinePrefix:
    """A Wine prefix of one architecture (win32 or win64) held by one run at a time (a
    lock file next to it), whose wine server runs in the namespace ns. A 64-bit prefix
    also runs 32-bit programs where this machine can, as 64-bit Windows does."""

    def __init__(self, path, arch, display=None):
        self.path = path
        self.arch = arch
        self.display = display
        self.ns = None
        self.lock_file = None

    def lock(self, suffix, timeout_s, poll_s=0.2):
        """Waits for the other runs of this prefix; Skip when it stays busy."""
        os.makedirs(os.path.dirname(os.path.abspath(self.path)) or "/", exist_ok=True)
        self.lock_file = open(self.path + suffix, "w")
        deadline = time.monotonic() + timeout_s
        while True:
            try:
                fcntl.flock(self.lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except OSError:
                if time.monotonic() > deadline:
                    self.unlock()
                    raise Skip("the Wine prefix %s stayed busy" % self.path)
                time.sleep(poll_s)

    @property
    def locked(self):
        return self.lock_file is not None

    def unlock(self):
        if self.lock_file:
            self.lock_file.close()
            self.lock_file = None

    def env(self, extra=None):
        env = dict(os.environ, WINEPREFIX=self.path, WINEARCH=self.arch, WINELOADER=wine_loader(self.arch),
                   **WINE_QUIET)
        if self.display:
            env["DISPLAY"] = self.display
        else:
            env.pop("DISPLAY", None)
        if extra:
            env.update(extra)
        return env

    def in_ns(self, argv):
        return in_netns(self.ns, argv)

    def program(self, exe, *args):
        """argv that runs a Windows program in this prefix with the loader of the
        program's own architecture."""
        return [wine_loader(program_arch(exe)), exe] + [str(a) for a in args]

    def server(self, flag):
        try:
            run(self.in_ns([wine_server(), flag]), env=self.env(), timeout=60)
        except subprocess.TimeoutExpired:
            pass

    def end_server(self):
        """Ends the server of this prefix wherever it runs and waits until it has gone.
        Only while this run holds the prefix: another run's server is not ours to end."""
        if self.locked and os.access(wine_server(), os.X_OK):
            self.server("-k")
            self.server("-w")

    def make_headless(self, source, timeout_s):
        """The prefix that draws nothing (tools/wine-prefix makes it once); Skip when it
        cannot be made."""
        try:
            r = run([os.path.join(source, "tools", "wine-prefix")],
                    env=dict(os.environ, WINEPREFIX=self.path, WINEARCH=self.arch), timeout=timeout_s)
        except subprocess.TimeoutExpired:
            raise Failure("making the Wine prefix %s took over %d s" % (self.path, timeout_s))
        if r.returncode != 0:
            raise Skip("cannot make a %s Wine prefix: %s" % (self.arch, r.stderr.strip()))

    def make_drawing(self, marker, note=None):
        """A prefix that draws (plain wineboot, made inside ns) once, kept and known by the
        marker file in it; note() is called before it is made. True when it was made
        now; Skip when it cannot be made."""
        ready = os.path.join(self.path, marker)
        try:
            with open(ready) as f:
                made = f.read().strip() or "win32"  # made before prefixes had an architecture
        except OSError:
            made = None
        if made == self.arch:
            return False
        if note:
            note()
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path, exist_ok=True)
        # wineboot through the loader of the prefix's own architecture.
        run(self.in_ns([wine_loader(self.arch), "wineboot", "-i"]), env=self.env(), timeout=300)
        run(self.in_ns([wine_server(), "-w"]), env=self.env(), timeout=120)
        if not os.path.isfile(os.path.join(self.path, "system.reg")):
            raise Skip("cannot make a %s Wine prefix in %s" % (self.arch, self.path))
        with open(ready, "w") as f:
            f.write(self.arch + "\n")
        return True


# ---------------------------------------------------------------------------
# A private X server and its screenshots


class Xvfb:
    """A private X server on the first free display of numbers."""

    def __init__(self, numbers, size, wrap=lambda argv: argv):
        self.display = None
        self.proc = None
        for n in numbers:
            if os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
                continue
            p = subprocess.Popen(wrap(["Xvfb", ":%d" % n, "-screen", "0", "%dx%dx24" % size, "-nolisten", "tcp"]),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            if wait_until(lambda: os.path.exists("/tmp/.X11-unix/X%d" % n) or p.poll() is not None, 5) \
                    and p.poll() is None:
                self.display, self.proc = ":%d" % n, p
                return
            stop_group(p)

    def stop(self):
        if not self.proc:
            return
        stop_group(self.proc)
        if self.proc.poll() is not None:
            # A server that had to be killed leaves them behind, and the next run
            # would take the display for busy.
            n = self.display[1:]
            for leftover in ("/tmp/.X%s-lock" % n, "/tmp/.X11-unix/X%s" % n):
                try:
                    os.remove(leftover)
                except OSError:
                    pass
        self.proc = None


def screenshot(display, path, wrap=lambda argv: argv, timeout_s=60):
    """The whole screen of display as a picture file: True when taken, False when no way
    worked, None when neither ImageMagick's import nor xwd with convert is installed."""
    cmds = []
    if shutil.which("import"):
        cmds.append(["import", "-display", display, "-window", "root", path])
    if shutil.which("xwd") and shutil.which("convert"):
        cmds.append(["sh", "-c", 'xwd -display "$0" -root -silent | convert xwd:- "$1"', display, path])
    if not cmds:
        return None
    for c in cmds:
        if os.path.exists(path):
            os.remove(path)
        r = subprocess.run(wrap(c), capture_output=True, timeout=timeout_s)
        if r.returncode == 0 and os.path.isfile(path) and os.path.getsize(path) > 0:
            return True
    return False


# ---------------------------------------------------------------------------
# One run


class Session:
    """What one scenario run holds: a temporary folder, namespaces, a Wine prefix, the
    children it started and helpers such as an X server. stop() gives everything
    back: children, then the wine server, then the helpers, the namespaces, the lock
    and the folder."""

    def __init__(self, tmp_prefix, ns_prefixes, wine_path, arch, keep=False, display=None):
        self.tmp = tempfile.mkdtemp(prefix=tmp_prefix)
        os.chmod(self.tmp, 0o755)
        self.keep = keep
        self.netns = Namespaces(ns_prefixes)
        self.wine = WinePrefix(wine_path, arch, display)
        self.children = []
        self.helpers = []

    def track(self, child):
        self.children.append(child)
        return child

    def stop(self):
        for c in reversed(self.children):
            c.stop()
        self.children = []
        self.wine.end_server()
        for h in self.helpers:
            h.stop()
        self.helpers = []
        self.netns.remove()
        self.wine.unlock()
        if self.keep:
            say("kept " + self.tmp)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)
