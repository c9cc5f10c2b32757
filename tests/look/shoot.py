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
import json
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing cached next to the sources
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "harness"))
import qvharness as qh  # noqa: E402
from headers import UI  # noqa: E402
from qvharness import DATA_SUBPATH, Failure, Skip, win_path  # noqa: E402

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


def say(text):
    qh.say("look: " + text)


class Look(qh.Session):
    """The launcher's namespace with its X server and Wine prefix, the controllers'
    namespace with their answerer, and lookctl to operate the window."""

    def __init__(self, args):
        super().__init__("rerudi-look-", ("rerudi-look-l-", "rerudi-look-c-"), args.prefix, args.arch,
                         keep=args.keep)
        self.args = args
        self.peer_ns = None  # the controllers' namespace (the launcher's is self.wine.ns)
        self.display = None

    # -- set-up ------------------------------------------------------------------

    def start(self):
        # The prefix is shared by build trees: one run at a time.
        self.wine.lock(".lock", 200)
        self.make_namespaces()
        self.start_xvfb()
        self.ensure_prefix()
        self.start_answerer()

    def in_ns(self, argv, ns="launcher"):
        return qh.in_netns(self.wine.ns if ns == "launcher" else self.peer_ns, argv)

    def make_namespaces(self):
        why = "needs root and `ip` to keep the launcher's broadcasts in a network namespace"
        qh.require_root(why)
        if not shutil.which("ip"):
            raise Skip(why)
        self.netns.remove_stale()
        pid = os.getpid()
        self.wine.ns = self.netns.add("rerudi-look-l-%d" % pid)
        self.peer_ns = self.netns.add("rerudi-look-c-%d" % pid)
        ip = self.netns.ip
        ip(self.wine.ns, "link", "add", "look0", "type", "veth", "peer", "name", "look1", "netns", self.peer_ns)
        ip(self.wine.ns, "addr", "add", "%s/%d" % (LAUNCHER_ADDR, NET_PREFIX), "dev", "look0")
        ip(self.wine.ns, "link", "set", "look0", "up")
        ip(self.peer_ns, "addr", "add", "10.77.0.2/%d" % NET_PREFIX, "dev", "look1")
        ip(self.peer_ns, "link", "set", "look1", "up")
        # The limited broadcast of the discovery pings needs a route to leave by.
        ip(self.wine.ns, "route", "add", "default", "dev", "look0")
        for addr, _, _, _ in CONTROLLERS:
            ip(self.peer_ns, "addr", "add", "%s/%d" % (addr, NET_PREFIX), "dev", "look1")

    def start_xvfb(self):
        if not shutil.which("Xvfb"):
            raise Skip("Xvfb is not installed")
        xvfb = qh.Xvfb(range(97, 140), SCREEN, self.in_ns)
        if not xvfb.display:
            raise Skip("no X server display could be started")
        self.helpers.append(xvfb)
        self.display = self.wine.display = xvfb.display

    def ensure_prefix(self):
        qh.require_wine(self.wine.arch)
        # A server of this prefix left running elsewhere would hold the sockets (and
        # windows) of every program we start: end it so that ours starts here.
        self.wine.end_server()
        self.wine.make_drawing(".rerudi-look-ready",
                               note=lambda: say("making the drawing Wine prefix %s (once)" % self.wine.path))

    def start_answerer(self):
        p = self.track(qh.LineProcess(self.in_ns([sys.executable, "-c", ANSWERER, json.dumps(CONTROLLERS)],
                                                 ns="peer")))
        if not p.wait_for(r"^ready$", 15):
            raise Failure("the simulated controllers did not start: " + "\n".join(p.stderr)[-400:])

    # -- running -------------------------------------------------------------------

    def ctl(self, *steps, timeout_s=60):
        """Runs lookctl with the given steps (each a list of words); returns its output."""
        argv = self.wine.program(self.args.ctl)
        for i, step in enumerate(steps):
            if i:
                argv.append(",")
            argv += [str(w) for w in step]
        # Files, not pipes: the launcher that lookctl starts inherits the output and
        # would hold a pipe open for as long as it runs.
        out_path = os.path.join(self.tmp, "lookctl.out")
        with open(out_path, "w") as out_file:
            r = subprocess.run(self.in_ns(argv), env=self.wine.env(), stdout=out_file, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, timeout=timeout_s, cwd=self.tmp)
        with open(out_path, errors="replace") as f:
            out = f.read()
        if r.returncode != 0 or "\nok" not in "\n" + out:
            raise Failure("lookctl %s: %s" % (" ".join(str(s[0]) for s in steps), out[-600:]))
        return out

    def screenshot(self, path):
        taken = qh.screenshot(self.display, path, self.in_ns, timeout_s=60)
        if taken is None:
            raise Skip("neither ImageMagick's import nor xwd with convert is installed")
        if not taken:
            raise Failure("no screenshot could be taken of display " + self.display)

    def shoot(self, name, out_dir, expect):
        layout = os.path.join(out_dir, name + ".json")
        png = os.path.join(out_dir, name + ".png")
        self.ctl(["describe", win_path(layout)])
        self.screenshot(png)
        say("shot %s: %s" % (name, png))
        return {"name": name, "png": png, "layout": layout, "expect": expect}


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
    s = Look(args)
    shots = []
    try:
        s.start()

        appdata = os.path.join(s.tmp, "appdata")
        data = os.path.join(appdata, *DATA_SUBPATH)
        os.makedirs(data)
        # A remembered system that is not on the list: nothing gets selected on its own.
        with open(os.path.join(data, "LOGIN.DAT"), "wb") as f:
            f.write(qh.login_file("Kitchen", "secret"))

        s.ctl(["launch", "--env", "APPDATA=" + win_path(appdata), "--", win_path(args.launcher)],
              ["wait", 30000], ["moveto", WINDOW_POS[0], WINDOW_POS[1]], ["redraw"], ["settle", 1200])
        # The list keeps working while hidden; wait for every controller now.
        s.ctl(["lines", len(CONTROLLERS), 20000])
        shots.append(s.shoot("compact", args.out, {
            "visible": [UI.IDC_BANNER, UI.IDC_SYSTEM_NAME_LABEL, UI.IDC_SYSTEM_NAME, UI.IDC_PASSWORD_LABEL,
                        UI.IDC_PASSWORD, UI.IDC_START, UI.IDC_PRIVACY_POLICY],
            "hidden": [UI.IDC_LOCAL_SYSTEMS_LABEL, UI.IDC_SYSTEM_LIST, UI.IDC_OPTIONS, UI.IDC_CONFIGURE_IP,
                       UI.IDC_START_CONFIGURATOR, UI.IDC_VERSION],
            "enabled": [UI.IDC_START], "disabled": [],
            "name": "Kitchen", "password_length": len("secret")}))

        # The Options command as the button would send it; the Options and Start
        # Configurator buttons and the version label stay hidden in this window, so
        # they are shown here only to see them drawn.
        s.ctl(["click", UI.IDC_OPTIONS], ["show", UI.IDC_OPTIONS], ["show", UI.IDC_START_CONFIGURATOR],
              ["show", UI.IDC_VERSION], ["redraw"], ["settle", 1200])
        shots.append(s.shoot("expanded", args.out, {
            "visible": [UI.IDC_BANNER, UI.IDC_SYSTEM_NAME_LABEL, UI.IDC_SYSTEM_NAME, UI.IDC_PASSWORD_LABEL,
                        UI.IDC_PASSWORD, UI.IDC_START, UI.IDC_PRIVACY_POLICY, UI.IDC_LOCAL_SYSTEMS_LABEL,
                        UI.IDC_SYSTEM_LIST, UI.IDC_CONFIGURE_IP, UI.IDC_OPTIONS, UI.IDC_START_CONFIGURATOR,
                        UI.IDC_VERSION],
            "hidden": [],
            "enabled": [UI.IDC_START], "disabled": [UI.IDC_OPTIONS, UI.IDC_CONFIGURE_IP, UI.IDC_START_CONFIGURATOR],
            "lines": [c[1] for c in CONTROLLERS],
            "selected": -1}))

        s.ctl(["select", SELECT_INDEX], ["settle", 1000])
        shots.append(s.shoot("selected", args.out, {
            "visible": [UI.IDC_SYSTEM_LIST, UI.IDC_CONFIGURE_IP, UI.IDC_START_CONFIGURATOR, UI.IDC_OPTIONS],
            "hidden": [],
            "enabled": [UI.IDC_START, UI.IDC_CONFIGURE_IP, UI.IDC_START_CONFIGURATOR], "disabled": [UI.IDC_OPTIONS],
            "lines": [c[1] for c in CONTROLLERS],
            "selected": SELECT_INDEX,
            "name": CONTROLLERS[SELECT_INDEX][1],
            # Another name than the remembered one: the password field is cleared.
            "password_length": 0}))

        with open(shots[-1]["layout"]) as f:
            client = json.load(f)["client"]
        s.ctl(["client", client[2] - client[0], TALL_CLIENT_HEIGHT], ["redraw"], ["settle", 1500])
        shots.append(s.shoot("tall", args.out, {
            "visible": [UI.IDC_SYSTEM_LIST, UI.IDC_START], "hidden": [],
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
    ap.add_argument("--prefix", default=None,
                    help="Wine prefix that draws (made once, kept; shared by build trees of one architecture, "
                         "one run at a time; default /tmp/rerudi-look-wine-<arch>-<uid>)")
    ap.add_argument("--check", action="store_true",
                    help="judge the shots with check_look.py, then prove with check_faults.py that it can fail")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = ap.parse_args()
    qh.install_signal_handlers()
    if qh.set_width(args, args.ctl, "look", prefix_attr="prefix"):
        return 1
    for name in ("launcher", "ctl", "out", "prefix"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    try:
        manifest_path = run(args)
    except Skip as e:
        return qh.skip_exit(str(e), isinstance(e, qh.MachineLimit), "look")
    except (Failure, subprocess.TimeoutExpired) as e:
        say("FAILED: %s" % e)
        return 1
    if not args.check:
        return 0
    sys.path.insert(0, HERE)
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
