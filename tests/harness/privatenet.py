#!/usr/bin/env python3
"""Runs one test program in a network namespace of its own, for tests that send
broadcasts and bind the discovery ports: there they reach only the namespace's
loopback, which also carries its default route (a broadcast from an unbound socket
needs a route to leave by), so nothing they send can leave the machine.

    privatenet.py [--source <tree>] [--wineprefix <prefix>] -- <program> <arguments...>

The program finds QV_IN_NETNS=1 in its environment. A Windows program runs under the
Wine of its own width, in a prefix of this script's own whose wine server is started
inside the namespace (Wine's sockets live in the server). Exit code: the program's;
77 when it cannot run here (not root, no `ip netns`, a width this machine does not
run), which QV_STRICT_SKIPS turns into a failure unless it is a limit of the machine.
"""

import argparse
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing of ours is left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qvharness as qh  # noqa: E402

NS_PREFIX = "qvp-"
RUN_LIMIT_S = 600


class PrivateNet(qh.Session):
    def __init__(self, args):
        super().__init__("rerudi-privatenet-", (NS_PREFIX,), args.wineprefix, args.arch)
        self.args = args
        self.ns = NS_PREFIX + str(os.getpid())

    @property
    def windows(self):
        return self.args.arch != "native"

    def start(self):
        qh.require_root("needs root for a network namespace")
        qh.require_netns()
        if self.windows:
            qh.require_wine(self.args.arch)
            self.wine.lock(".run.lock", RUN_LIMIT_S, 0.5)
            self.wine.make_headless(self.args.source, RUN_LIMIT_S)
        self.netns.remove_stale()
        self.netns.add(self.ns)
        self.netns.ip(self.ns, "route", "add", "default", "dev", "lo", "src", "127.0.0.1")
        if self.windows:
            self.wine.ns = self.ns
            self.wine.end_server()

    def run(self):
        extra = {"QV_IN_NETNS": "1"}
        if self.windows:
            argv, env = self.wine.in_ns(self.wine.program(self.args.program, *self.args.rest)), self.wine.env(extra)
        else:
            argv, env = qh.in_netns(self.ns, [self.args.program] + self.args.rest), dict(os.environ, **extra)
        try:
            return subprocess.run(argv, env=env, timeout=RUN_LIMIT_S).returncode
        except subprocess.TimeoutExpired:
            raise qh.Failure("%s ran for over %d s" % (self.args.program, RUN_LIMIT_S))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--source", default=qh.SOURCE)
    ap.add_argument("--wineprefix", default=None, help="Wine prefix (default: one per width under /tmp)")
    ap.add_argument("program")
    ap.add_argument("rest", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    if args.rest[:1] == ["--"]:
        args.rest = args.rest[1:]
    qh.install_signal_handlers()
    args.arch = "native"
    if args.program.lower().endswith(".exe"):
        failed = qh.set_width(args, args.program, "privatenet")
        if failed:
            return failed
    net = PrivateNet(args)
    try:
        net.start()
        return net.run()
    except qh.Skip as s:
        return qh.SKIP if qh.report_skip(None, s) else 1
    except qh.Failure as f:
        qh.say("FAIL: %s" % f)
        return 1
    finally:
        net.stop()


if __name__ == "__main__":
    sys.exit(main())
