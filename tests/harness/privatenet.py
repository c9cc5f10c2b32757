#!/usr/bin/env python3
"""Runs one native test program in a network namespace of its own, for tests that
send broadcasts and bind the discovery ports: there they reach only the namespace's
loopback, which also carries its default route (a broadcast from an unbound socket
needs a route to leave by), so nothing they send can leave the machine.

    privatenet.py -- <program> <arguments...>

The program finds QV_IN_NETNS=1 in its environment. Exit code: the program's; 77
when it cannot run here (not root, no `ip netns`), which QV_STRICT_SKIPS turns into
a failure, since both can be mended.
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
    def __init__(self):
        super().__init__("rerudi-privatenet-", (NS_PREFIX,), None, "native")
        self.ns = NS_PREFIX + str(os.getpid())

    def start(self):
        qh.require_root("needs root for a network namespace")
        qh.require_netns()
        self.netns.remove_stale()
        self.netns.add(self.ns)
        self.netns.ip(self.ns, "route", "add", "default", "dev", "lo", "src", "127.0.0.1")

    def run(self, argv):
        try:
            return subprocess.run(qh.in_netns(self.ns, argv), env=dict(os.environ, QV_IN_NETNS="1"),
                                  timeout=RUN_LIMIT_S).returncode
        except subprocess.TimeoutExpired:
            raise qh.Failure("%s ran for over %d s" % (argv[0], RUN_LIMIT_S))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("program")
    ap.add_argument("rest", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    qh.install_signal_handlers()
    net = PrivateNet()
    try:
        net.start()
        return net.run([args.program] + args.rest)
    except qh.Skip as s:
        return qh.SKIP if qh.report_skip(None, s) else 1
    except qh.Failure as f:
        qh.say("FAIL: %s" % f)
        return 1
    finally:
        net.stop()


if __name__ == "__main__":
    sys.exit(main())
