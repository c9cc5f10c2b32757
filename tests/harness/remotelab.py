"""The launcher under Wine in the NAT lab: one run of the remote road end to end.

The launcher (under Wine, its wine server in the lab's launcher namespace) sits
behind NAT A, the controller simulator behind NAT B, two relays and the discovery
server on the public segment (natlab.py). The launcher is started by the local-network
scenarios' probe (tests/lan/probe.cpp), which also clicks and types as a user would
and reads the windows; its data folder holds the lab's servers.txt, so that the
first probe needs no list reload.

Used by the remote scenarios (tests/remote_e2e) and by `tools/demo --remote`:

    run = RemoteRun(programs, "ei")         # programs: launcher, probe, viewer, sim, relay, ...
    run.start()                             # lab, prefix, wine server in the launcher namespace
    run.start_relays(); run.start_sim()
    probe = run.start_launcher(["/SILENT", "/USER:" + SYSTEM, "/PASS:" + PASSWORD])
    ...  run.connect_log(), run.viewer_report(), run.stored_viewer()
    run.stop()                              # everything goes, also after a failure

What the remote procedure and the launcher show is compared with roads.py.
"""

import os
import random
import re
import shutil
import sys
import tempfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "lan"))
sys.path.insert(0, os.path.join(HERE, "..", "natlab"))
import natlab as nl  # noqa: E402
import qvharness as qh  # noqa: E402
import roads  # noqa: E402
from lanenv import Probe  # noqa: E402
from headers import UI  # noqa: E402
from qvharness import DATA_SUBPATH, Failure, check, wait_until, win_path  # noqa: E402

SYSTEM = "HomeLab"
# No space: the probe's command line reaches the launcher through Wine, which quotes
# an argument holding one, and the launcher's options run up to the next '/'.
PASSWORD = "lab-secret"
VERSION = "7.1.1.0"
VERSION_FOLDER = "7_1_1_0"
VIEWER = "BRIGHTLEAF.EXE"
# rerudi-sim's TCP port behind NAT B (forwarded from NAT B's public FORWARD_PORT).
SIM_PORT = 7200
# The reliable stream's parameter block the launcher offers.
RUDP_PARAMS = "1390/24/8/128/127/512"
# The served viewer: the demo viewer padded to this size (a program runs with bytes
# appended), so that every road carries a download of this size.
VIEWER_SIZE = 1 << 20
CONNECT_LOG = "OSKA_Connect_Log.txt"
# Temporary folders: this and the run's pid.
TMP_PREFIX = "rerudi-remote-"
DSERVER_AT = "%s:%d" % (nl.DSERVER_ADDRESS, nl.DSERVER_PORT)
# The progress window (its controls: ui/resource.h).
PROGRESS_TITLE = "Connecting To Remote System..."

_LOG_HEADER = re.compile(r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d OSKA Connect \((.*)\)$")
_LOG_LINE = re.compile(r"^\d\d:\d\d:\d\d (.*)$")
_PERCENT_LINE = re.compile(r"^Downloading File (\d+)% Complete$")


def remove_stale_folders():
    """The temporary folders of runs that were killed before their clean-up."""
    base = tempfile.gettempdir()
    for name in os.listdir(base):
        m = re.match(r"^%s(\d+)-" % TMP_PREFIX, name)
        if m and not qh.run_alive(int(m.group(1))):
            shutil.rmtree(os.path.join(base, name), ignore_errors=True)


def relay_name(system=SYSTEM):
    """The relay the launcher asks for system (by the name's byte sum)."""
    return nl.RELAY_NAMES[nl.relay_index_for(system)]


class RemoteRun(qh.Session):
    """One lab in one mode, the Wine prefix of the remote runs, and the programs.
    programs: an object with launcher, probe, viewer, sim, relay, dserver, impair
    (paths), source (the tree), arch (the launcher's architecture, win32 or win64)
    and wineprefix (of that architecture)."""

    def __init__(self, programs, mode, keep=False):
        super().__init__("%s%d-" % (TMP_PREFIX, os.getpid()), nl.NS_PREFIXES, programs.wineprefix, programs.arch,
                         keep=keep)
        self.p = programs
        self.lab = nl.NatLab(self, mode, controller_tcp_port=SIM_PORT)
        self.sim = None
        self.proxy = None
        self.appdata = os.path.join(self.tmp, "appdata")
        self.report = os.path.join(self.tmp, "viewer-report.txt")
        self.served = os.path.join(self.tmp, "served-viewer.exe")

    # -- set-up -------------------------------------------------------------

    def start(self):
        remove_stale_folders()
        nl.NatLab.require()
        qh.require_wine(self.wine.arch)
        # One run at a time per prefix: its wine server lives in one run's namespace.
        self.wine.lock(".run.lock", 600, 0.5)
        self.wine.make_headless(self.p.source, 600)
        self.lab.build()
        self.wine.ns = self.lab.ns["launcher"]
        # A server of this prefix still running elsewhere would make the launcher's
        # sockets there: the first Wine program of the run starts it in the lab.
        self.wine.end_server()
        data = os.path.join(self.appdata, *DATA_SUBPATH)
        os.makedirs(data)
        with open(os.path.join(data, "servers.txt"), "w") as f:
            f.write(nl.servers_txt())
        with open(self.p.viewer, "rb") as f:
            program = f.read()
        check(len(program) < VIEWER_SIZE, "the demo viewer is larger than the download meant to carry it")
        with open(self.served, "wb") as f:
            f.write(program + random.Random(VIEWER_SIZE).randbytes(VIEWER_SIZE - len(program)))

    def write_servers(self, entries):
        """The launcher's servers.txt with these (name, host, port) entries instead of
        the lab's list."""
        with open(os.path.join(self.data_folder(), "servers.txt"), "w") as f:
            f.write("".join("%s,%s,%d\n" % tuple(e) for e in entries))

    def start_relays(self, *extra):
        return self.lab.start_relays(self.p.relay, list(extra))

    def start_dserver(self):
        """The discovery server, knowing the controller at NAT B's forwarded TCP port."""
        return self.lab.start_dserver(self.p.dserver, ["%s=%s:%d" % (SYSTEM, nl.NAT_B_PUBLIC, nl.FORWARD_PORT)])

    def start_sim(self):
        """rerudi-sim behind NAT B, enrolled with both relays as SYSTEM."""
        argv = [self.p.sim, "--listen", nl.CONTROLLER_ADDRESS, "--port", SIM_PORT, "--password", PASSWORD,
                "--version", VERSION, "--viewer-file", self.served, "--piece-size", 64000,
                "--system-name", SYSTEM, "--enroll-period", 300, "--max-run", 900000]
        for r in self.lab.relay_endpoints():
            argv += ["--relay", r]
        sim = self.track(nl.ServiceProcess(self.lab.argv_in("controller", argv), "rerudi-sim",
                                           ready=r"^enrolling as "))
        m = sim.wait_for(r"^enrolling as '.*' from [0-9.]+:(\d+) with", 1)
        sim.udp_port = int(m.group(1)) if m else None
        check(wait_until(lambda: len(sim.matching(r"^enrolled with relay")) >= len(nl.RELAY_ADDRESSES), 10),
              "rerudi-sim enrolled with every relay:\n  " + sim.text("  "))
        self.sim = sim
        return sim

    def start_lossy_path(self, address, port, loss_pct, public_udp_port=nl.FORWARD_PORT + 1):
        """The impairment proxy on the public segment at address:port in front of the
        controller's UDP socket (NAT B forwards public_udp_port to it); returns the
        proxy. The relays must name address:port in their FIND ACK."""
        check(self.sim is not None and self.sim.udp_port, "the controller's UDP socket is known")
        self.lab.add_public_address(address)
        self.lab.forward_udp(public_udp_port, self.sim.udp_port)
        argv = [self.p.impair, "--listen", "%s:%d" % (address, port),
                "--upstream", "%s:%d" % (nl.NAT_B_PUBLIC, public_udp_port), "--loss", loss_pct,
                "--seed", 5, "--max-run", 900000]
        self.proxy = self.track(nl.ServiceProcess(self.lab.argv_in("public", argv), "impairment proxy"))
        return self.proxy

    # -- the launcher -------------------------------------------------------

    def start_launcher(self, options, extra_env=None):
        """The launcher under Wine, behind NAT A, through the probe."""
        envs = {"APPDATA": win_path(self.appdata), "QV_DEMO_REPORT": win_path(self.report)}
        envs.update(extra_env or {})
        argv = self.wine.program(self.p.probe)
        for k, v in envs.items():
            argv += ["--env", "%s=%s" % (k, v)]
        argv += ["--", win_path(self.p.launcher)] + list(options)
        argv = self.wine.in_ns([str(a) for a in argv])
        try:
            return self.track(Probe(argv, self.wine.env()))
        except Failure as f:
            # Seen once in many runs: Wine ended the probe, silently, before it started
            # the launcher, so none of our code had run. Once more on a fresh server;
            # a second such end is a failure.
            if not str(f).startswith("Probe ended"):
                raise
            qh.say("the probe ended before it started the launcher; once more on a fresh wine server")
            self.wine.end_server()
            return self.track(Probe(argv, self.wine.env()))

    def click_start(self, probe, system=SYSTEM, password=PASSWORD):
        """Types the name and password into the main window and presses Start Rerudi."""
        probe.wait_window()
        probe.type(UI.IDC_SYSTEM_NAME, system)
        probe.type(UI.IDC_PASSWORD, password)
        check(probe.text(UI.IDC_SYSTEM_NAME) == system, "the name field holds %r" % probe.text(UI.IDC_SYSTEM_NAME))
        check(probe.ask("click %d" % UI.IDC_START) == "clicked", "Start Rerudi could not be clicked")

    def launcher_sockets(self):
        """The launcher's open sockets (those of its wine server, in its namespace):
        kind, state and both ends. A TIME-WAIT is what a closed connection leaves."""
        out = qh.run(self.lab.argv_in("launcher", ["ss", "-Htuan"])).stdout
        fields = [line.split() for line in out.splitlines() if line.strip()]
        return sorted((f[0], f[1], f[4], f[5]) for f in fields if len(f) >= 6 and f[1] != "TIME-WAIT")

    def launcher_threads(self):
        """The number of threads of the launcher's process (Wine's own among them), or
        None when it is not running."""
        pid, _ = qh.wine_pids(self.wine.path, os.path.basename(self.p.launcher), exclude=("lanprobe",))
        if pid is None:
            return None
        try:
            return len(os.listdir("/proc/%d/task" % pid))
        except OSError:
            return None

    def idle_sockets(self):
        """The sockets of a launcher at rest in its main window: its local discovery's."""
        idle = wait_until(lambda: [s for s in self.launcher_sockets() if s[2].endswith(":1444")]
                          and self.launcher_sockets(), 10)
        check(idle, "the launcher's discovery socket is not there: %r" % self.launcher_sockets())
        return idle

    # -- what it left -------------------------------------------------------

    def data_folder(self):
        return os.path.join(self.appdata, *DATA_SUBPATH)

    def connect_log(self):
        """(title, [status texts]) of the connection log, or None when there is none."""
        try:
            with open(os.path.join(self.data_folder(), CONNECT_LOG), "rb") as f:
                raw = f.read().decode("latin-1")
        except FileNotFoundError:
            return None
        check(raw.endswith("\r\n") and "\n" not in raw.replace("\r\n", ""),
              "the connection log's lines end in CR LF: %r" % raw[:200])
        lines = raw[:-2].split("\r\n")
        m = _LOG_HEADER.match(lines[0])
        check(m and len(lines) > 1 and lines[1] == "", "connection log header: %r" % lines[:2])
        texts = []
        for line in lines[2:]:
            t = _LOG_LINE.match(line)
            check(t, "connection log line without its time: %r" % line)
            texts.append(t.group(1))
        return m.group(1), texts

    def viewer_report(self, timeout_s=60):
        """The viewer's report once it has ended, or None."""
        def read():
            try:
                with open(self.report, encoding="latin-1") as f:
                    r = dict(l.rstrip("\r\n").partition("=")[::2] for l in f)
            except FileNotFoundError:
                return None
            return r if "exit" in r else None
        return wait_until(read, timeout_s, 0.1)

    def stored_viewer(self):
        return os.path.join(self.data_folder(), VERSION_FOLDER, VIEWER)

    def evidence(self):
        """What the lab's programs said, for a failure's message."""
        parts = []
        for c in self.children:
            if isinstance(c, Probe):
                continue
            parts.append("%s:\n  %s" % (getattr(c, "what", "program"), c.text("  ")))
        log = None
        try:
            log = self.connect_log()
        except Failure as f:
            parts.append("connection log unreadable: %s" % f)
        if log:
            parts.append("connection log (%s):\n  %s" % (log[0], "\n  ".join(log[1])))
        return "\n".join(parts)


def after_login(stored_path, downloaded=True):
    """The status lines from the version question to the start of the viewer."""
    out = ["Getting Version Information", "Remote System Version is: %s" % VERSION]
    if downloaded:
        out.append("Downloading: %s" % stored_path)
    return out


def check_connect_log(texts, road_lines, stored_path, pieces=None):
    """The connection log of a started viewer: the road's lines, the login, the
    version, the download with its percentages (as the progress window kept them:
    a line of its own for each piece, telling what had come before it, from 0) and
    "Running"."""
    percents = [int(m.group(1)) for m in map(_PERCENT_LINE.match, texts) if m]
    rest = [t for t in texts if not _PERCENT_LINE.match(t)]
    want = road_lines + roads.LOGIN + after_login(stored_path) + ["Running"]
    problem = roads.compare(rest, want)
    check(problem is None, "connection log: %s" % problem)
    check(percents and percents[0] == 0 and percents == sorted(percents) and percents[-1] < 100
          and (pieces is None or len(percents) == pieces), "download progress in the log: %r" % percents)
    first = texts.index(next(t for t in texts if _PERCENT_LINE.match(t)))
    check(texts[first - 1].startswith("Downloading: ") and texts[first + len(percents)] == "Running",
          "the progress lines follow the download's line: %r" % texts)


def as_shown(texts):
    """The log's lines as the progress window shows them: each download percentage
    takes the place of the line shown last (the first one that of "Downloading:"),
    while the log keeps them all."""
    out = []
    for t in texts:
        if _PERCENT_LINE.match(t) and out:
            out[-1] = t
        else:
            out.append(t)
    return out


def win_data_path(run, *parts):
    """A path under the run's data folder as the launcher writes it."""
    return win_path(os.path.join(run.data_folder(), *parts))
