#!/usr/bin/env python3
"""Idle CPU of the launcher on a busy local network.

The launcher sits idle under Wine (namespace A) while 50 simulated controllers
(namespace B) answer its discovery pings; for 30 seconds the CPU time of the
launcher's process and of its Wine server is read from /proc/<pid>/stat. The
target is under 1% of one core for the launcher. Prints the figures; the exit code
is 0 when the measurement ran (whatever the figure), 77 when it could not run
(not root, no namespaces, no Wine), 1 on a failure of the set-up.

usage: idle_cpu.py --launcher OSKARerudi.exe --probe lanprobe.exe [--seconds 30] [--controllers 50]
(tools/bench --idle calls it after building the targets of the width this machine runs.)
"""

import argparse
import os
import sys
import time

sys.dont_write_bytecode = True  # nothing of ours is left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lanenv import SKIP, Failure, Lan, Skip, check, install_signal_handlers, say, wait_until, wine_setup  # noqa: E402
from qvharness import cpu_ticks, first_missing  # noqa: E402 (found through lanenv)

TARGET_PERCENT = 1.0


def measure(lan, args):
    peer = lan.start_peer()
    for i in range(args.controllers):
        peer.add(2 + i, "Idle%02d" % i, status=2)
    probe = lan.start_launcher(["/USER:Nobody"], lan.appdata())
    probe.wait_window()
    full = wait_until(lambda: len(probe.names()) >= args.controllers, 15, 0.2)
    check(full, "only %d of %d controllers listed" % (len(probe.names()), args.controllers))
    launcher, server = lan.wine_pids()
    check(launcher, "cannot find the launcher's process")
    hz = os.sysconf("SC_CLK_TCK")
    time.sleep(1.0)
    l0, s0 = cpu_ticks(launcher), cpu_ticks(server) if server else None
    t0 = time.monotonic()
    queries0 = len(peer.taken_events("query"))
    time.sleep(args.seconds)
    l1, s1 = cpu_ticks(launcher), cpu_ticks(server) if server else None
    elapsed = time.monotonic() - t0
    queries = len(peer.taken_events("query")) - queries0
    check(l1 is not None, "the launcher ended during the measurement")
    lines = len(probe.names())
    probe.ask("close")
    probe.wait_exit(10)
    launcher_pct = 100.0 * (l1 - l0) / hz / elapsed
    say("idle launcher with %d answering controllers (%d lines), %.1f s, %d pings:"
        % (args.controllers, lines, elapsed, queries))
    say("  launcher:    %.2f%% of one core (%d ticks of 1/%d s)" % (launcher_pct, l1 - l0, hz))
    if s0 is not None and s1 is not None:
        say("  wine server: %.2f%% of one core (%d ticks)" % (100.0 * (s1 - s0) / hz / elapsed, s1 - s0))
    say("  target under %.0f%% for the launcher: %s" % (TARGET_PERCENT, "met" if launcher_pct < TARGET_PERCENT
                                                         else "NOT met"))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--launcher", required=True)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--controllers", type=int, default=50)
    ap.add_argument("--source", default=os.path.abspath(os.path.join(here, "..", "..")))
    ap.add_argument("--wineprefix", default=os.environ.get("QV_LAN_WINEPREFIX"),
                    help="Wine prefix (default: the local-network scenarios' one of the probe's architecture)")
    args = ap.parse_args()
    args.viewer = args.sim = ""
    args.keep = False
    if not 1 <= args.controllers <= 59:
        ap.error("--controllers: 1 to 59")
    missing = first_missing(args, ("launcher", "probe"))
    if missing:
        say("cannot measure: %s not built (%r)" % missing)
        return SKIP
    failed = wine_setup(args)
    if failed:
        return failed
    install_signal_handlers()
    lan = Lan(args)
    try:
        lan.start()
        measure(lan, args)
        return 0
    except Skip as s:
        say("cannot measure: %s" % s)
        return SKIP
    except Failure as f:
        say("measurement failed: %s" % f)
        return 1
    finally:
        lan.stop()


if __name__ == "__main__":
    sys.exit(main())
