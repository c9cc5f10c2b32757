#!/usr/bin/env python3
"""Screenshots of the launcher's main window, for a person to look at and for check_look.py.

The launcher runs under Wine with the X11 driver (a prefix of its own, made once and
kept) on a private X server. The launcher and the X server live in one network
namespace and a few simulated controllers answer discovery from a second namespace
joined by a veth pair, so that the list of local systems has lines. The launcher
broadcasts discovery pings as soon as it starts, so it never runs outside the
namespace: without root and `ip netns` nothing is shot.

Shots, in one run of the launcher:
  compact   the window as it starts (saved login of a system that is not on the list)
  expanded  after the Options command; the buttons and the version label that the
            window keeps hidden are shown so that their drawing can be judged
  selected  a line of the list selected as a click would
  tall      the client area resized to 800 pixels high

Each shot is a PNG of the whole screen plus a JSON layout of where the window and
its controls are (written by lookctl, run in the same prefix). shots.json ties them
together with what each shot should show.

Exit codes: 0 all done (and, with --check, all rules hold), 1 a failure, 77 nothing
could be shot (no X server, ImageMagick, Wine, root or network namespaces).
"""

import argparse
import fcntl
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
DATA_SUBPATH = ("OSKA Zizu Systems", "OSKA Rerudi")
SCREEN = (1280, 1024)
WINDOW_POS = (40, 40)
TALL_CLIENT_HEIGHT = 800

# Simulated controllers: address in the controllers' namespace, name, port, status.
# Status 2 is never selected on its own, so the first shots show the list unselected.
CONTROLLERS = [
    ("10.77.0.5", "Alpha", 80, 2),
    ("10.77.0.6", "Beta", 4000, 2),
    ("10.77.0.7", "Gamma", 80, 2),
]
SELECT_INDEX = 1  # Beta
LAUNCHER_ADDR = "10.77.0.1"
NET_PREFIX = 24

# Answers discovery queries (8 bytes, type word 1) heard on the wildcard address,
# one 40-byte answer per controller, each sent from that controller's own address.
ANSWERER = r"""
import json, select, socket, struct, sys
ctrls = json.loads(sys.argv[1])
listen = []
for port in (444, 1444):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("0.0.0.0", port))
    listen.append(s)
senders = []
for addr, name, port, status in ctrls:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, 0))
    answer = (struct.pack("<I", 2) + socket.inet_aton(addr) + struct.pack("<HBB", port, status, 0) +
              name.encode()[:28].ljust(28, b"\0"))
    senders.append((s, answer))
print("ready", flush=True)
while True:
    ready, _, _ = select.select(listen, [], [], 1.0)
    for s in ready:
        data, src = s.recvfrom(2048)
        if len(data) == 8 and struct.unpack("<I", data[:4])[0] == 1:
            for sender, answer in senders:
                sender.sendto(answer, src)
"""


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def say(text):
    print("look: " + text, flush=True)


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def login_file(name, password, options_expanded=0):
    """LOGIN.DAT: two length-prefixed strings and seven little-endian words."""
    def string(text):
        raw = text.encode("latin-1")
        return struct.pack("<I", len(raw)) + raw
    return (string(name) + string(password) +
            struct.pack("<7I", 0, 0, options_expanded, 1, 0, 2, 1))


class Session:
    def __init__(self, args):
        self.args = args
        self.ns = None       # the launcher's namespace
        self.peer_ns = None  # the controllers' namespace
        self.procs = []
        self.display = None
        self.xvfb = None
        self.lock = None
        self.tmp = tempfile.mkdtemp(prefix="rerudi-look-")
        os.chmod(self.tmp, 0o755)

    # -- set-up ------------------------------------------------------------------

    def in_ns(self, argv, ns="launcher"):
        name = self.ns if ns == "launcher" else self.peer_ns
        return (["ip", "netns", "exec", name] + argv) if name else argv

    def take_lock(self, timeout_s=200):
        os.makedirs(os.path.dirname(os.path.abspath(self.args.prefix)), exist_ok=True)
        self.lock = open(os.path.abspath(self.args.prefix) + ".lock", "w")
        deadline = time.monotonic() + timeout_s
        while True:
            try:
                fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise Skip("the Wine prefix %s stayed busy" % self.args.prefix)
                time.sleep(0.2)

    def make_namespaces(self):
        if os.geteuid() != 0 or not shutil.which("ip"):
            raise Skip("needs root and `ip` to keep the launcher's broadcasts in a network namespace")
        pid = os.getpid()
        names = ("rerudi-look-l-%d" % pid, "rerudi-look-c-%d" % pid)
        for n in names:
            r = subprocess.run(["ip", "netns", "add", n], capture_output=True, text=True)
            if r.returncode != 0:
                for made in names:
                    subprocess.run(["ip", "netns", "del", made], capture_output=True)
                raise Skip("cannot create a network namespace: " + r.stderr.strip())
        self.ns, self.peer_ns = names
        steps = [
            ["ip", "-n", self.ns, "link", "set", "lo", "up"],
            ["ip", "-n", self.peer_ns, "link", "set", "lo", "up"],
            ["ip", "-n", self.ns, "link", "add", "look0", "type", "veth", "peer", "name", "look1",
             "netns", self.peer_ns],
            ["ip", "-n", self.ns, "addr", "add", "%s/%d" % (LAUNCHER_ADDR, NET_PREFIX), "dev", "look0"],
            ["ip", "-n", self.ns, "link", "set", "look0", "up"],
            ["ip", "-n", self.peer_ns, "addr", "add", "10.77.0.2/%d" % NET_PREFIX, "dev", "look1"],
            ["ip", "-n", self.peer_ns, "link", "set", "look1", "up"],
            # The limited broadcast of the discovery pings needs a route to leave by.
            ["ip", "-n", self.ns, "route", "add", "default", "dev", "look0"],
        ]
        for addr, _, _, _ in CONTROLLERS:
            steps.append(["ip", "-n", self.peer_ns, "addr", "add", "%s/%d" % (addr, NET_PREFIX), "dev", "look1"])
        for s in steps:
            r = subprocess.run(s, capture_output=True, text=True)
            if r.returncode != 0:
                raise Failure("namespace set-up failed: %s: %s" % (" ".join(s), r.stderr.strip()))

    def start_xvfb(self):
        if not shutil.which("Xvfb"):
            raise Skip("Xvfb is not installed")
        for n in range(97, 140):
            if os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
                continue
            p = subprocess.Popen(self.in_ns(["Xvfb", ":%d" % n, "-screen", "0", "%dx%dx24" % SCREEN,
                                             "-nolisten", "tcp"]),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            self.procs.append(p)
            for _ in range(100):
                if os.path.exists("/tmp/.X11-unix/X%d" % n):
                    self.display = ":%d" % n
                    self.xvfb = p
                    return
                if p.poll() is not None:
                    break
                time.sleep(0.05)
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGTERM)
                p.wait(5)
        raise Skip("no X server display could be started")

    def wine_env(self):
        env = dict(os.environ, WINEPREFIX=os.path.abspath(self.args.prefix), WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=self.display)
        return env

    def wineserver(self, flag):
        subprocess.run(self.in_ns(["wineserver", flag]), env=self.wine_env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def ensure_prefix(self):
        if not shutil.which("wine") or not shutil.which("wineserver"):
            raise Skip("wine is not installed")
        prefix = os.path.abspath(self.args.prefix)
        marker = os.path.join(prefix, ".rerudi-look-ready")
        # A server of this prefix left running elsewhere would hold the sockets (and
        # windows) of every program we start: end it so that ours starts here.
        self.wineserver("-k")
        self.wineserver("-w")
        if os.path.exists(marker):
            return
        say("making the drawing Wine prefix %s (once)" % prefix)
        shutil.rmtree(prefix, ignore_errors=True)
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(self.in_ns(["wineboot", "-i"]), env=self.wine_env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run(self.in_ns(["wineserver", "-w"]), env=self.wine_env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        if not os.path.isdir(os.path.join(prefix, "drive_c")):
            raise Skip("cannot make a Wine prefix")
        open(marker, "w").close()

    def start_answerer(self):
        ctrls = json.dumps(CONTROLLERS)
        p = subprocess.Popen(self.in_ns([sys.executable, "-c", ANSWERER, ctrls], ns="peer"),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
        self.procs.append(p)
        line = p.stdout.readline()
        if line.strip() != "ready":
            raise Failure("the simulated controllers did not start: " + p.stderr.read()[-400:])

    # -- running -------------------------------------------------------------------

    def ctl(self, *steps, timeout_s=60):
        """Runs lookctl with the given steps (each a list of words); returns its output."""
        argv = ["wine", self.args.ctl]
        for i, step in enumerate(steps):
            if i:
                argv.append(",")
            argv += [str(w) for w in step]
        # Files, not pipes: the launcher that lookctl starts inherits the output and
        # would hold a pipe open for as long as it runs.
        out_path = os.path.join(self.tmp, "lookctl.out")
        with open(out_path, "w") as out_file:
            r = subprocess.run(self.in_ns(argv), env=self.wine_env(), stdout=out_file, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, timeout=timeout_s, cwd=self.tmp)
        with open(out_path, errors="replace") as f:
            out = f.read()
        if r.returncode != 0 or "\nok" not in "\n" + out:
            raise Failure("lookctl %s: %s" % (" ".join(str(s[0]) for s in steps), out[-600:]))
        return out

    def screenshot(self, path):
        cmds = []
        if shutil.which("import"):
            cmds.append(["import", "-display", self.display, "-window", "root", path])
        if shutil.which("xwd") and shutil.which("convert"):
            cmds.append(["sh", "-c", 'xwd -display "$0" -root -silent | convert xwd:- "$1"', self.display, path])
        if not cmds:
            raise Skip("neither ImageMagick's import nor xwd with convert is installed")
        for c in cmds:
            if os.path.exists(path):
                os.remove(path)
            r = subprocess.run(self.in_ns(c), capture_output=True, timeout=60)
            if r.returncode == 0 and os.path.isfile(path) and os.path.getsize(path) > 0:
                return
        raise Failure("no screenshot could be taken of display " + self.display)

    def shoot(self, name, out_dir, expect):
        layout = os.path.join(out_dir, name + ".json")
        png = os.path.join(out_dir, name + ".png")
        self.ctl(["describe", win_path(layout)])
        self.screenshot(png)
        say("shot %s: %s" % (name, png))
        return {"name": name, "png": png, "layout": layout, "expect": expect}

    def stop(self):
        try:
            if self.display and shutil.which("wineserver"):
                self.wineserver("-k")
                self.wineserver("-w")
        except subprocess.TimeoutExpired:
            pass
        for p in self.procs:
            # Asked first, so that the X server removes its lock and socket.
            for sig, wait_s in ((signal.SIGTERM, 3), (signal.SIGKILL, 5)):
                if p.poll() is not None:
                    break
                try:
                    os.killpg(p.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    p.wait(wait_s)
                except subprocess.TimeoutExpired:
                    pass
        if self.display and self.xvfb and self.xvfb.poll() is not None:
            # A server that had to be killed leaves them behind, and the next run
            # would take the display for busy.
            n = self.display[1:]
            for leftover in ("/tmp/.X%s-lock" % n, "/tmp/.X11-unix/X%s" % n):
                try:
                    os.remove(leftover)
                except OSError:
                    pass
            self.display = None
        for n in (self.ns, self.peer_ns):
            if n:
                subprocess.run(["ip", "netns", "del", n], capture_output=True)
        self.ns = self.peer_ns = None
        if self.lock:
            self.lock.close()
            self.lock = None
        if not self.args.keep:
            shutil.rmtree(self.tmp, ignore_errors=True)


def run(args):
    if not args.launcher or not os.path.isfile(args.launcher):
        raise Skip("the launcher is not built")
    if not shutil.which("Xvfb"):
        raise Skip("Xvfb is not installed")
    if not shutil.which("convert"):
        raise Skip("ImageMagick's convert is not installed")
    os.makedirs(args.out, exist_ok=True)
    for old in os.listdir(args.out):
        if old.endswith(".png") or old.endswith(".json"):
            os.remove(os.path.join(args.out, old))
    s = Session(args)
    shots = []
    try:
        s.take_lock()
        s.make_namespaces()
        s.start_xvfb()
        s.ensure_prefix()
        s.start_answerer()

        appdata = os.path.join(s.tmp, "appdata")
        data = os.path.join(appdata, *DATA_SUBPATH)
        os.makedirs(data)
        # A remembered system that is not on the list: nothing gets selected on its own.
        with open(os.path.join(data, "LOGIN.DAT"), "wb") as f:
            f.write(login_file("Kitchen", "secret"))

        s.ctl(["launch", "--env", "APPDATA=" + win_path(appdata), "--", win_path(args.launcher)],
              ["wait", 30000], ["moveto", WINDOW_POS[0], WINDOW_POS[1]], ["redraw"], ["settle", 1200])
        # The list keeps working while hidden; wait for every controller now.
        s.ctl(["lines", len(CONTROLLERS), 20000])
        shots.append(s.shoot("compact", args.out, {
            "visible": [1001, 1011, 1002, 1012, 1003, 1014, 1036],
            "hidden": [1033, 1010, 1017, 1020, 1015, 1022],
            "enabled": [1014], "disabled": [],
            "name": "Kitchen", "password_length": len("secret")}))

        # The Options command as the button would send it; the Options and Start
        # Configurator buttons and the version label stay hidden in this window, so
        # they are shown here only to see them drawn.
        s.ctl(["click", 1017], ["show", 1017], ["show", 1015], ["show", 1022], ["redraw"], ["settle", 1200])
        shots.append(s.shoot("expanded", args.out, {
            "visible": [1001, 1011, 1002, 1012, 1003, 1014, 1036, 1033, 1010, 1020, 1017, 1015, 1022],
            "hidden": [],
            "enabled": [1014], "disabled": [1017, 1020, 1015],
            "lines": [c[1] for c in CONTROLLERS],
            "selected": -1}))

        s.ctl(["select", SELECT_INDEX], ["settle", 1000])
        shots.append(s.shoot("selected", args.out, {
            "visible": [1010, 1020, 1015, 1017],
            "hidden": [],
            "enabled": [1014, 1020, 1015], "disabled": [1017],
            "lines": [c[1] for c in CONTROLLERS],
            "selected": SELECT_INDEX,
            "name": CONTROLLERS[SELECT_INDEX][1],
            # Another name than the remembered one: the password field is cleared.
            "password_length": 0}))

        with open(shots[-1]["layout"]) as f:
            client = json.load(f)["client"]
        s.ctl(["client", client[2] - client[0], TALL_CLIENT_HEIGHT], ["redraw"], ["settle", 1500])
        shots.append(s.shoot("tall", args.out, {
            "visible": [1010, 1014], "hidden": [],
            "enabled": [], "disabled": [],
            "client_height": TALL_CLIENT_HEIGHT}))

        s.ctl(["close"], ["waitexit", 10000])
    finally:
        s.stop()

    manifest = {"shots": shots}
    manifest_path = os.path.join(args.out, "shots.json")
    with open(manifest_path, "w") as f:
        json.dump(manifest, f, indent=2)
    say("screenshots and layouts are in %s" % args.out)
    return manifest_path


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--launcher", required=True, help="OSKARerudi.exe of the Windows build")
    ap.add_argument("--ctl", required=True, help="lookctl.exe of the Windows build")
    ap.add_argument("--out", required=True, help="folder for the screenshots (kept)")
    ap.add_argument("--prefix", default="/tmp/rerudi-look-wine-%d" % os.getuid(),
                    help="Wine prefix that draws (made once, kept; shared by build trees, one run at a time)")
    ap.add_argument("--check", action="store_true",
                    help="judge the shots with check_look.py, then prove with check_faults.py that it can fail")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = ap.parse_args()
    for name in ("launcher", "ctl", "out", "prefix"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    try:
        manifest_path = run(args)
    except Skip as e:
        say("skipped: %s" % e)
        return SKIP
    except (Failure, subprocess.TimeoutExpired) as e:
        say("FAILED: %s" % e)
        return 1
    if not args.check:
        return 0
    sys.dont_write_bytecode = True  # nothing cached next to the sources
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import check_look
    if check_look.check_manifest(manifest_path) != 0:
        return 1
    # The rules must also fail where they should: faults painted into copies.
    import check_faults
    if check_faults.main(manifest_path) != 0:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
