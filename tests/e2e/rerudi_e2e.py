#!/usr/bin/env python3
"""End-to-end scenarios: the launcher under Wine against the controller simulator.

Every scenario runs in a network namespace of its own with only the loopback
interface up, so nothing the launcher sends (its silent-start search, its
discovery pings) can leave the machine. Wine creates its sockets in the wine
server, so the wine server of the scenario's prefix is started inside the
namespace too (by the first Wine program run there) and stopped at the end.

The native simulator, the demo viewer, the launcher and the test driver are
given on the command line (tests/e2e/CMakeLists.txt passes the built ones).

The scenarios run under the Wine architecture of the build tree (the driver's),
in a prefix of that architecture. mixed_pair also needs the other architecture's
launcher and viewer (--other-launcher, --other-viewer) and runs in a 64-bit prefix.

Exit codes: 0 passed, 1 failed, 77 skipped (not root, no namespaces, no Wine,
the launcher has not been built, or this machine cannot run the architecture).

The same harness runs the demonstration of tools/demo (--demo).
"""

import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing of ours is left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import qvharness as qh  # noqa: E402
from qvharness import DATA_SUBPATH, Failure, Skip, check, say, win_path  # noqa: E402
from headers import MSG, Header  # noqa: E402

PREAMBLE = b"CONNECTSERVERHOST\r\n\r\n"
SIM = Header("sim/core/sim_controller.h")
LAUNCHER_TIMEOUT_S = 60


# ---------------------------------------------------------------------------
# Environment: namespace, Wine prefix, temporary folder, simulators, launcher runs


class Run(qh.LineProcess):
    """One driver run: its output lines, the boxes it saw, how the launcher ended."""

    def __init__(self, argv, env):
        super().__init__(argv, env=env, stderr="drop")

    @property
    def out(self):
        return self.lines()

    @property
    def boxes(self):
        return [l[len("box: "):] for l in self.out if l.startswith("box: ")]

    @property
    def exited(self):
        return any(l.startswith("exit: ") for l in self.out)

    def describe(self):
        return "driver output:\n  " + "\n  ".join(self.out or ["(none)"])

    def stop(self, term_wait_s=0, kill_wait_s=5, join_s=None):
        super().stop(term_wait_s, kill_wait_s, join_s)


class Env(qh.Session):
    def __init__(self, args, wine=True, ns_prefix="rerudi-e2e-"):
        super().__init__("rerudi-e2e-", (ns_prefix,), args.wineprefix, args.arch, keep=args.keep)
        self.args = args
        self.uses_wine = wine
        self.ns_name = "%s%d" % (ns_prefix, os.getpid())
        self.sims = []
        self.runs = []

    # -- set-up -----------------------------------------------------------------

    def start(self):
        if not self.uses_wine:
            return
        # One scenario at a time per prefix, also across ctest runs of the same tree.
        self.wine.lock(".scenario-lock", 150)
        qh.require_root("needs root to create a network namespace")
        qh.require_netns()
        self.netns.remove_stale()
        self.wine.ns = self.netns.add(self.ns_name)
        self.ensure_prefix()

    def ensure_prefix(self):
        qh.require_wine(self.wine.arch)
        if self.wine.display:
            self.wine.end_server()
            self.wine.make_drawing(".rerudi-ready")
        else:
            self.wine.make_headless(self.args.source, 300)
        # A wine server of this prefix still running outside the namespace would
        # create every socket there; end it so that ours starts inside.
        self.wine.end_server()

    def in_ns(self, argv):
        return self.wine.in_ns(argv)

    def check_sims(self):
        """Stops the simulators; a sanitizer report from one of them fails the scenario."""
        for sim in self.sims:
            sim.stop()
            if sim.sanitizer_report():
                raise Failure("the simulator reported a fault:\n" + sim.text())

    def evidence(self):
        parts = []
        for sim in self.sims:
            parts.append("simulator log:\n  " + sim.text("  "))
        for run, report in self.runs:
            parts.append(run.describe())
            r = read_report(report)
            parts.append("viewer report:\n  " + ("\n  ".join(r["_lines"]) if r else "(none)"))
        return "\n".join(parts)

    # -- programs -------------------------------------------------------------

    def add_sim(self, argv):
        sim = self.track(qh.SimProcess(self.in_ns(argv)))
        self.sims.append(sim)
        return sim

    def start_sim(self, *extra, version="7.1.1.0", password="secret", viewer=None):
        return self.add_sim([self.args.sim, "--listen", "127.0.0.1", "--port", "0", "--password", password,
                             "--version", version, "--viewer-file", viewer or self.args.viewer,
                             "--config-file", self.args.configurator, "--max-run", "600000"] + list(extra))

    def appdata(self, name="appdata"):
        path = os.path.join(self.tmp, name)
        os.makedirs(path, exist_ok=True)
        return path

    def data_folder(self, appdata):
        return os.path.join(appdata, *DATA_SUBPATH)

    def stored(self, appdata, version_folder, program):
        return os.path.join(self.data_folder(appdata), version_folder, program)

    def run_launcher(self, options, appdata, report, extra_env=None, timeout_s=LAUNCHER_TIMEOUT_S,
                     background=False, launcher=None):
        """Runs the launcher through the driver; returns a Run (finished unless background)."""
        envs = {"APPDATA": win_path(appdata), "QV_DEMO_REPORT": win_path(report)}
        envs.update(extra_env or {})
        argv = self.wine.program(self.args.driver, "--timeout", timeout_s * 1000)
        for k, v in envs.items():
            argv += ["--env", "%s=%s" % (k, v)]
        argv += ["--", win_path(launcher or self.args.launcher)] + options
        run = self.track(Run(self.in_ns(argv), self.wine.env()))
        self.runs.append((run, report))
        if not background:
            run.wait(timeout_s + 30)
        return run

    def start_silent(self, sim, password="secret", extra=(), report="report.txt", appdata=None, **kw):
        """The launcher started silently against sim with a fresh APPDATA (unless given);
        (run, APPDATA folder, path of the viewer's report)."""
        appdata = appdata or self.appdata()
        report = os.path.join(self.tmp, report)
        run = self.run_launcher(silent_options(sim, password, extra), appdata, report, **kw)
        return run, appdata, report


def read_report(path):
    try:
        with open(path, encoding="latin-1") as f:
            lines = [l.rstrip("\r\n") for l in f]
    except FileNotFoundError:
        return None
    report = {}
    for l in lines:
        k, _, v = l.partition("=")
        report.setdefault(k, v)
    report["_lines"] = lines
    return report


def wait_report(path, key, timeout_s):
    def ready():
        r = read_report(path)
        return r if r and key in r else None
    return qh.wait_until(ready, timeout_s) or read_report(path)


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


# ---------------------------------------------------------------------------
# Scenarios: each takes an Env and raises Failure; the evidence (simulator logs,
# driver output, viewer reports) is added by the caller.

def silent_options(sim, password="secret", extra=()):
    return ["/SILENT", "/USER:127.0.0.1:%d" % sim.port, "/PASS:%s" % password] + list(extra)


def expect_viewer_echo(report, program="BRIGHTLEAF.EXE"):
    check(report is not None, "the viewer never wrote a report (not started?)")
    check(report.get("program", "").upper() == program, "started program is %r" % report.get("program"))
    role = "configurator" if program == "MOSSDESK.EXE" else "viewer"
    check(report.get("role") == role, "the %s file holds the %r program" % (program, report.get("role")))
    check(report.get("echo") == "ok", "echo over the handed-over connection failed: %s"
          % report.get("echo_problem", "?"))
    check(report.get("echo_messages") == "3", "not every echo came back")
    check(report.get("exit") == "0", "the viewer did not end normally")


def expect_launcher_ended(run, texts=()):
    """The launcher ended by itself after showing exactly these message box texts
    (the caption is the framework's business and is not compared)."""
    check(run.exited, "the silent launcher did not end by itself")
    shown = [b.partition(" | ")[2] for b in run.boxes]
    check(shown == list(texts), "message boxes %r, expected %r" % (run.boxes, list(texts)))


def expect_viewer_run(run, report, program="BRIGHTLEAF.EXE"):
    """The launcher ended quietly and the program it started echoed; the report."""
    expect_launcher_ended(run)
    r = read_report(report)
    expect_viewer_echo(r, program)
    return r


def expect_stored(path, served=None, missing="downloaded program not in the version folder",
                  differs="stored program differs from the served one"):
    check(os.path.isfile(path), missing)
    if served:
        check(file_bytes(path) == file_bytes(served), differs)


def scenario_loopback(env, args):
    """Controller at 7.1.1.0: download, bridged port, echo through the bridge."""
    sim = env.start_sim(version="7.1.1.0")
    run, appdata, report = env.start_silent(sim)
    r = expect_viewer_run(run, report)
    check(r.get("form") == "loopback", "hand-over form is %r" % r.get("form"))
    check(r.get("connect") == "connected", "the viewer could not connect to the bridge")
    port = int(r.get("port", "0"))
    check(22050 <= port < 23050, "bridge port %d outside 22050-23049" % port)
    check("/USER:" not in r["args"] and "secret" not in r["args"],
          "the bridged command line carries the login: %r" % r["args"])
    check(re.search(r"/WNDDX:\d+ /WNDDY:\d+ /LOOPBACK:%d$" % port, r["args"]),
          "unexpected command line %r" % r["args"])
    check(sim.wait_for(r"^conn 0: login ok .*Win Rerudi 8\.6 Build 522\.0 Rel, type 0$", 1),
          "login not accepted as the viewer")
    size = len(file_bytes(args.viewer))
    check(sim.matching(r"^conn 0: download 8130 \(id \d+\): %d bytes whole$" % size),
          "no whole-file download of the viewer")
    check(len(sim.matching(r"^conn 0: echo \(id 77, ")) == 3,
          "echo did not travel on the launcher's own connection")
    check(sim.wait_for(r"^conn 0: closed", 5), "the controller connection was not closed")
    expect_stored(env.stored(appdata, "7_1_1_0", "BRIGHTLEAF.EXE"), args.viewer)
    check(not os.path.exists(os.path.join(env.data_folder(appdata), "LOGIN.DAT")), "silent mode wrote LOGIN.DAT")


def scenario_pipe(env, args):
    """Controller at 5.0.0.0: the socket itself through the named pipe."""
    sim = env.start_sim(version="5.0.0.0")
    run, appdata, report = env.start_silent(sim)
    r = expect_viewer_run(run, report)
    check(r.get("form") == "pipe", "hand-over form is %r" % r.get("form"))
    check(r.get("record_bytes") == "372", "socket record of %s bytes" % r.get("record_bytes"))
    check(r.get("socket_from_record", "").startswith("ok"), "no socket from the record")
    check(re.search(r"^/R /USER:127\.0\.0\.1:%d /PASS:secret /SOCKFILE:\\\\\.\\pipe\\[0-9A-F]{8}$"
                    % sim.port, r["args"].strip()), "unexpected command line %r" % r["args"])
    check("/WNDDX" not in r["args"], "the pipe form carries a window size")
    # One connection only, and the echo on it: the viewer used the passed socket.
    check(len(sim.matching(r"connected from")) == 1, "more than one connection to the controller")
    check(len(sim.matching(r"^conn 0: echo \(id 77, ")) == 3, "echo not on the launcher's connection")
    expect_stored(env.stored(appdata, "5_0_0_0", "BRIGHTLEAF.EXE"))


def scenario_present(env, args):
    """A second start finds the program in its folder and downloads nothing."""
    sim = env.start_sim(version="7.1.1.0")
    appdata = env.appdata()
    for i in (1, 2):
        run, _, report = env.start_silent(sim, appdata=appdata, report="report%d.txt" % i)
        expect_viewer_run(run, report)
    check(sim.wait_for(r"^conn 1: login ok", 5), "second login missing")
    check(len(sim.matching(r": download ")) == 1, "the second start downloaded again")
    check(sim.matching(r"^conn 0: download 8130"), "the first start did not download")
    check(len(sim.matching(r"^conn 1: echo \(id 77, ")) == 3, "second viewer did not echo")


def scenario_pieces(env, args):
    """A download in pieces is assembled into the same file."""
    piece = 65536
    sim = env.start_sim("--piece-size", str(piece), version="7.1.1.0")
    run, appdata, report = env.start_silent(sim)
    expect_viewer_run(run, report)
    size = len(file_bytes(args.viewer))
    pieces = (size + piece - 1) // piece
    check(pieces > 1, "viewer too small to need pieces")
    check(sim.matching(r"^conn 0: download 8130 \(id \d+\): %d bytes in %d pieces$" % (size, pieces)),
          "no download in %d pieces" % pieces)
    expect_stored(env.stored(appdata, "7_1_1_0", "BRIGHTLEAF.EXE"), args.viewer,
                  differs="assembled file differs from the served one")


def scenario_configurator(env, args):
    """/TYPE:1 logs in as the configurator and fetches MOSSDESK.EXE with 8148."""
    sim = env.start_sim(version="7.1.1.0")
    run, appdata, report = env.start_silent(sim, extra=["/TYPE:1"])
    expect_viewer_run(run, report, program="MOSSDESK.EXE")
    check(sim.matching(r"^conn 0: login ok .*Config 8\.6 Build 522\.0 Rel, type 3$"),
          "login not made as the configurator")
    size = len(file_bytes(args.configurator))
    check(sim.matching(r"^conn 0: download 8148 \(id \d+\): %d bytes" % size), "no request 8148")
    check(not sim.matching(r": download 8130"), "the viewer was requested too")
    expect_stored(env.stored(appdata, "7_1_1_0", "MOSSDESK.EXE"), args.configurator,
                  missing="MOSSDESK.EXE not stored", differs="stored configurator differs")
    check(not os.path.exists(env.stored(appdata, "7_1_1_0", "BRIGHTLEAF.EXE")), "BRIGHTLEAF.EXE stored too")


def scenario_old_version(env, args):
    """A controller at 4.0.487.9 is refused with the upgrade box; nothing downloaded."""
    sim = env.start_sim(version="4.0.487.9")
    run, appdata, report = env.start_silent(sim)
    expect_launcher_ended(run, [
        "ERROR: Cannot continue, the host system is running version 4.0.487.9\\n"
        "Please upgrade to 4.0.488.0 or higher and try again."])
    check(sim.matching(r"^conn 0: version asked"), "the version was never asked")
    check(not sim.matching(r": download "), "a download was requested")
    check(sim.wait_for(r"^conn 0: closed", 5), "the connection was not closed")
    check(not os.path.exists(os.path.join(env.data_folder(appdata), "4_0_487_9")), "a version folder was made")
    check(read_report(report) is None, "a program was started")


def scenario_wrong_password(env, args):
    """A refused login shows "Connection Failed" and goes no further."""
    sim = env.start_sim(version="7.1.1.0", password="secret")
    run, _, report = env.start_silent(sim, password="guess")
    expect_launcher_ended(run, ["Connection Failed\\nPassword Rejected"])
    check(sim.matching(r"^conn 0: login refused"), "the login was not refused")
    check(not sim.matching(r": version asked"), "the launcher went on after the refusal")
    check(not sim.matching(r": download "), "a download was requested")
    check(read_report(report) is None, "a program was started")


def scenario_lost_download(env, args):
    """The connection drops during a download in pieces: no file is left behind."""
    sim = env.start_sim("--piece-size", "65536", "--close-after-pieces", "2", version="7.1.1.0")
    run, appdata, report = env.start_silent(sim)
    check(run.exited, "the silent launcher did not end by itself")
    check(sim.matching(r"^conn 0: closing the connection after 2 pieces"), "the fault did not happen")
    folder = os.path.join(env.data_folder(appdata), "7_1_1_0")
    left = os.listdir(folder) if os.path.isdir(folder) else []
    check(left == [], "files left after the lost download: %r" % left)
    check(read_report(report) is None, "a program was started")


def scenario_mixed_pair(env, args):
    """The socket record crosses widths (pipe form, controller at 5.0.0.0): a 64-bit
    launcher hands its connection to a 32-bit viewer, and a 32-bit launcher to a
    64-bit viewer, in one 64-bit prefix as on 64-bit Windows."""
    builds = {qh.program_arch(args.launcher): (args.launcher, args.viewer),
              qh.program_arch(args.other_launcher): (args.other_launcher, args.other_viewer)}
    check(sorted(builds) == ["win32", "win64"], "--launcher and --other-launcher are of the same width")
    for launcher_arch, viewer_arch in (("win64", "win32"), ("win32", "win64")):
        launcher, viewer = builds[launcher_arch][0], builds[viewer_arch][1]
        pair = "%s-bit launcher -> %s-bit viewer" % (launcher_arch[3:], viewer_arch[3:])
        try:
            check(qh.program_arch(viewer) == viewer_arch, "%s is not a %s program" % (viewer, viewer_arch))
            sim = env.start_sim(version="5.0.0.0", viewer=viewer)
            run, appdata, report = env.start_silent(sim, report="report-%s.txt" % launcher_arch, launcher=launcher,
                                                    appdata=env.appdata("appdata-" + launcher_arch))
            r = expect_viewer_run(run, report)
            check(r.get("bits") == viewer_arch[3:], "the viewer that ran is %s-bit" % r.get("bits"))
            check(r.get("form") == "pipe", "hand-over form is %r" % r.get("form"))
            check(r.get("record_bytes") == "372", "socket record of %s bytes" % r.get("record_bytes"))
            check(r.get("socket_from_record", "").startswith("ok family=2 type=1"),
                  "no TCP socket from the record: %r" % r.get("socket_from_record"))
            check(len(sim.matching(r"connected from")) == 1, "more than one connection to the controller")
            check(len(sim.matching(r"^conn 0: echo \(id 77, ")) == 3, "echo not on the launcher's connection")
            expect_stored(env.stored(appdata, "5_0_0_0", "BRIGHTLEAF.EXE"), viewer)
            env.check_sims()
        except Failure as f:
            raise Failure("%s: %s" % (pair, f))
        say("  %s: the viewer echoed over the handed-over socket" % pair)
        env.sims = []


def scenario_bridge_close(env, args):
    """The viewer closes its connection but keeps running: the controller sees the
    connection end at once, not when the viewer exits."""
    linger_ms = 6000
    sim = env.start_sim(version="7.1.1.0")
    run, _, report = env.start_silent(sim, extra_env={"QV_DEMO_LINGER_MS": str(linger_ms)}, background=True)
    r = wait_report(report, "connection_closed", 45)
    check(r and "connection_closed" in r, "the viewer never closed its connection")
    closed_at = time.monotonic()
    check(sim.wait_for(r"^conn 0: closed", 3), "the controller connection stayed open")
    seen_at = sim.first_time(r"^conn 0: closed")
    r = read_report(report)
    check("exit" not in r, "the viewer had already ended")
    check(run.running(), "the launcher had already ended")
    check(seen_at - closed_at < 3.0, "the close reached the controller late")
    run.wait(LAUNCHER_TIMEOUT_S)
    expect_viewer_run(run, report)


def scenario_second_connection(env, args):
    """While the viewer is connected, a second connection to the bridge is refused."""
    sim = env.start_sim(version="7.1.1.0")
    run, _, report = env.start_silent(sim, extra_env={"QV_DEMO_PROBE_SECOND": "1"})
    r = expect_viewer_run(run, report)
    check(r.get("second_connection") == "refused", "second connection: %r" % r.get("second_connection"))
    check(len(sim.matching(r"connected from")) == 1, "the controller saw a second connection")


# -- the simulator program alone, over raw sockets (no Wine needed) -----------------


def aes_response(password, challenge):
    """The login response: AES of the zero-padded challenge under the zero-padded password.
    Uses the openssl program, or the cryptography module when that is missing."""
    def pad(b):
        n = max(16, (len(b) + 15) // 16 * 16)
        return b + b"\0" * (n - len(b))
    key, block = pad(password.encode()), pad(challenge.encode())[:16]
    if shutil.which("openssl"):
        r = subprocess.run(["openssl", "enc", "-aes-%d-ecb" % (len(key) * 8), "-nopad", "-nosalt",
                            "-K", key.hex()], input=block, capture_output=True)
        if r.returncode == 0 and len(r.stdout) == 16:
            return r.stdout
    try:
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        enc = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
        return enc.update(block) + enc.finalize()
    except ImportError:
        return None


def msg(mid, code, body=b""):
    return struct.pack("<HHI", mid, code, len(body)) + body


def sstr(text):
    b = text.encode()
    return struct.pack("<I", len(b)) + b + b"\0" * ((-len(b)) % 4)


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise Failure("connection closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def recv_msg(s):
    mid, code, length = struct.unpack("<HHI", recv_exact(s, 8))
    return mid, code, recv_exact(s, length)


def login_body(response, type_number=0, name="Win Rerudi"):
    return (struct.pack("<II", MSG.CLIENT_REVISION, type_number) + sstr(name + " 8.6 Build 522.0 Rel") +
            struct.pack("<I", 16) + response + struct.pack("<I", 2) + sstr("00-11-22-33-44-55") +
            sstr("WINDOWS") + sstr("WINDOWS") + sstr("PC"))


def scenario_sim_protocol(env, args):
    """The simulator program as a launcher meets it: bytes on the wire, options, exit."""
    tmp = env.tmp
    viewer = os.path.join(tmp, "viewer.bin")
    with open(viewer, "wb") as f:
        f.write(bytes(range(256)) * 40 + b"tail")  # 10244 bytes
    argv = [args.sim, "--port", "0", "--password", "pw", "--challenge", "Hello", "--version",
            "6.2 Build 17.0 Rel", "--viewer-file", viewer, "--piece-size", "4096", "--exit-after", "2",
            "--max-run", "60000"]
    sim = env.add_sim(argv)
    check(sim.matching(r"^serving version 6\.2 Build 17\.0 Rel, viewer 10244 bytes, "
                       r"configurator 100000 bytes, pieces of 4096$"), "no serving line")
    # A stranger's greeting is not accepted.
    with socket.create_connection(("127.0.0.1", sim.port), timeout=10) as s:
        s.sendall(b"GET / HTTP/1.0\r\n\r\n!!!" + msg(1, MSG.MSG_GET_CHALLENGE))
        s.settimeout(10)
        check(s.recv(100) == b"", "a bad greeting was answered")
    check(sim.wait_for(r"^conn 0: bad greeting", 5), "bad greeting not logged")

    with socket.create_connection(("127.0.0.1", sim.port), timeout=10) as s:
        s.settimeout(10)
        s.sendall(PREAMBLE + msg(3, MSG.MSG_GET_CHALLENGE))
        # Reply 15 to id 3: the challenge as a length-prefixed string, no padding at 5+3.
        check(recv_exact(s, 8 + 4 + 8) == bytes.fromhex("03000f000c000000") + b"\x05\0\0\0Hello\0\0\0",
              "challenge reply bytes")
        # Before a login the version is not given.
        resp = aes_response("pw", "Hello")
        if resp is not None:
            s.sendall(msg(4, MSG.MSG_LOGIN, login_body(b"\0" * 16)))
            mid, code, _ = recv_msg(s)
            check((mid, code) != (4, MSG.MSG_LOGIN_REPLY), "a wrong response was accepted")
            s.sendall(msg(5, MSG.MSG_LOGIN, login_body(resp)))
            check(recv_msg(s)[:2] == (5, MSG.MSG_LOGIN_REPLY), "the right response was refused")
            s.sendall(msg(6, MSG.MSG_GET_VERSION))
            mid, code, body = recv_msg(s)
            check((mid, code) == (6, MSG.MSG_GET_VERSION_REPLY) and body[:4] == struct.pack("<I", 18) and
                  body[4:22] == b"6.2 Build 17.0 Rel" and len(body) == 4 + 20 + 4, "version reply")
            s.sendall(msg(7, MSG.MSG_GET_VIEWER_EXE, struct.pack("<III", 0, 2, MSG.CLIENT_REVISION)))
            got, total = b"", None
            while total is None or len(got) < total:
                mid, code, body = recv_msg(s)
                check((mid, code) == (7, MSG.MSG_FILE_PIECE), "piece reply %r" % ((mid, code),))
                total, n = struct.unpack("<II", body[:8])
                check(n <= 4096 and len(body) >= 8 + n, "piece of %d bytes" % n)
                got += body[8:8 + n]
            check(got == file_bytes(viewer), "pieces do not make up the file")
        else:
            # A pass that checked no login would say nothing of what this scenario is for.
            raise Failure("cannot compute the login response (neither the openssl program nor the Python "
                          "cryptography module is here; tools/setup installs openssl)")
        echo = bytes(range(7)) * 3
        s.sendall(msg(9, SIM.SIM_MSG_ECHO, echo))
        check(recv_msg(s) == (9, SIM.SIM_MSG_ECHO_REPLY, echo), "echo reply")
    # --exit-after 2: both connections are closed, so the program ends on its own.
    try:
        sim.proc.wait(10)
    except subprocess.TimeoutExpired:
        raise Failure("the simulator did not end after two connections")
    sim.reader.join(5)
    check(sim.proc.returncode == 0, "simulator exit code %s" % sim.proc.returncode)
    if resp is not None:
        check(sim.matching(r"^summary: 2 connections, 1 logins ok, 1 refused, 1 version requests, "
                           r"1 downloads \(1 viewer, 0 configurator\), 3 pieces, 1 echoes$"), "summary")
    check(sim.matching(r"^exiting: served the requested connections$"), "exit reason")
    # Bad options are refused before anything listens.
    for bad in (["--port", "70000"], ["--nonsense", "1"], ["--piece-size"], ["--viewer-file", "/nonexistent"]):
        r = subprocess.run([args.sim] + bad, capture_output=True, text=True, timeout=10)
        check(r.returncode == 2 and "listening" not in r.stdout, "options %r accepted" % bad)


# name (the function's, without "scenario_"): (function, whether it runs the launcher
# under Wine). Only sim_protocol talks to the simulator alone.
WITHOUT_WINE = (scenario_sim_protocol,)
SCENARIOS = {f.__name__[len("scenario_"):]: (f, f not in WITHOUT_WINE) for f in WITHOUT_WINE + (
    scenario_loopback, scenario_pipe, scenario_present, scenario_pieces, scenario_configurator,
    scenario_old_version, scenario_wrong_password, scenario_lost_download, scenario_bridge_close,
    scenario_second_connection, scenario_mixed_pair)}


def run_scenario(name, env, args):
    """One scenario with its evidence on failure; the evidence of a pass with --verbose."""
    try:
        try:
            SCENARIOS[name][0](env, args)
        except OSError as e:  # a socket or file the scenario used directly
            raise Failure(str(e))
    except Failure as f:
        raise Failure("%s\n%s" % (f, env.evidence()))
    env.check_sims()
    return env.evidence() if args.verbose else None


# ---------------------------------------------------------------------------
# Demonstration (tools/demo)


def run_demo(args):
    use_netns = os.geteuid() == 0 and qh.netns_available()
    say("== OSKA Rerudi demonstration")
    say("network: %s" % ("a private network namespace with only 127.0.0.1 (nothing leaves the machine)"
                         if use_netns else "no namespace available; the controller address is given with "
                         "/IPADDR: so that no search is broadcast"))
    env = Env(args, ns_prefix="rerudi-demo-")

    def show():
        nonlocal use_netns
        xvfb_display = None
        if use_netns:
            try:
                env.netns.remove_stale()
                env.wine.ns = env.netns.add(env.ns_name)
            except (Skip, Failure):
                use_netns = False
        if not args.no_screenshot and not os.environ.get("DISPLAY"):
            xvfb = qh.Xvfb(range(91, 120), (1024, 768), env.in_ns)
            if xvfb.display:
                env.helpers.append(xvfb)
                xvfb_display = xvfb.display
                env.wine.display = xvfb_display
                env.wine.path = args.demo_wineprefix
        env.wine.lock(".scenario-lock", 150)
        env.ensure_prefix()

        password = "demo"
        sim = env.start_sim(version="7.1.1.0", password=password)
        say("simulator: controller at version 7.1.1.0 on 127.0.0.1:%d (password \"%s\"), serving the "
            "demo viewer as BRIGHTLEAF.EXE" % (sim.port, password))
        appdata = env.appdata()
        report = os.path.join(env.tmp, "viewer-report.txt")
        options = ["/SILENT", "/USER:127.0.0.1:%d" % sim.port, "/PASS:%s" % password]
        if not env.wine.ns:
            options.append("/IPADDR:0100007F")
        say("launcher: OSKARerudi.exe " + " ".join(options))
        linger = 5000 if xvfb_display else 1500
        run = env.run_launcher(options, appdata, report, background=True,
                               extra_env={"QV_DEMO_LINGER_MS": str(linger), "QV_DEMO_WINDOW": "1"})
        shot = None
        if xvfb_display:
            if wait_report(report, "linger_ms", 60):
                time.sleep(1.5)
                out = os.path.join(args.source, "build", "demo-screenshot.png")
                os.makedirs(os.path.dirname(out), exist_ok=True)
                if qh.screenshot(xvfb_display, out, env.in_ns, timeout_s=30):
                    shot = out
        run.wait(LAUNCHER_TIMEOUT_S)
        time.sleep(0.5)
        say("")
        say("-- simulator log")
        for line in sim.lines():
            say("   " + line)
        say("-- launcher")
        for line in run.out:
            say("   " + line)
        say("-- demo viewer report")
        r = read_report(report)
        for line in (r["_lines"] if r else ["(the viewer did not run)"]):
            say("   " + line)
        stored = env.stored(appdata, "7_1_1_0", "BRIGHTLEAF.EXE")
        say("")
        if os.path.isfile(stored):
            say("downloaded: %s (%d bytes)" % (os.path.join("<APPDATA>", *DATA_SUBPATH, "7_1_1_0",
                                                            "BRIGHTLEAF.EXE"), os.path.getsize(stored)))
        if shot:
            say("screenshot of the viewer window: " + shot)
        ok = bool(r) and r.get("echo") == "ok" and run.exited
        if ok:
            say("RESULT: viewer started on the handed-over connection: echo ok")
        else:
            say("RESULT: FAILED - " + (r.get("summary", "no summary") if r else "the viewer was not started"))
        return ok

    return qh.run_demonstration(show, env.stop)


# ---------------------------------------------------------------------------


def main():
    ap = qh.scenario_parser(__doc__, "--scenario", SCENARIOS, demo="run the demonstration instead of a scenario")
    ap.add_argument("--configurator", required=True)
    ap.add_argument("--driver", required=True)
    ap.add_argument("--other-launcher", default="", help="mixed_pair: the launcher of the other width")
    ap.add_argument("--other-viewer", default="", help="mixed_pair: the demo viewer of the other width")
    qh.add_wine_options(ap, "QV_E2E_WINEPREFIX", "Wine prefix of the scenarios (default: one per build tree "
                        "under /tmp), of the driver's architecture")
    ap.add_argument("--demo-wineprefix", default=os.environ.get("QV_DEMO_WINEPREFIX"),
                    help="drawing Wine prefix of the demonstration (default: one per architecture under /tmp)")
    ap.add_argument("--no-screenshot", action="store_true")
    ap.add_argument("--verbose", action="store_true", help="show the evidence of passed scenarios too")
    args = qh.parse_scenario_args(ap)

    missing = qh.first_missing(args, ("viewer", "configurator", "driver", "sim"))
    if missing:
        return qh.skip_exit("%s not built (%s)" % missing)
    if qh.set_width(args, args.driver, "e2e", tree_of=args.driver):
        return 1
    if not args.demo_wineprefix:
        args.demo_wineprefix = qh.default_prefix("demo", args.arch)
    if args.demo:
        if not os.path.isfile(args.launcher):
            say("the launcher has not been built (%s)" % args.launcher)
            return 1
        return run_demo(args)
    if not args.scenario:
        ap.error("--scenario or --demo is needed")

    def make(name):
        needs_wine = SCENARIOS[name][1]
        if needs_wine and not os.path.isfile(args.launcher):
            raise Skip("the launcher has not been built")
        if name == "mixed_pair":
            if args.arch != "win64":
                raise Skip("mixed_pair runs from the 64-bit build (a 64-bit prefix runs both widths)")
            other = qh.first_missing(args, ("other_launcher", "other_viewer"))
            if other:
                raise Skip("the other width's %s is not built (%r)" % other)
            qh.require_arch("win64")
            qh.require_arch("win32")
        return Env(args, wine=needs_wine)

    names = sorted(SCENARIOS) if args.scenario == "all" else [args.scenario]
    return qh.run_each(names, make, lambda name, env: run_scenario(name, env, args))


if __name__ == "__main__":
    sys.exit(main())
