"""The NAT lab: a launcher and a controller behind real NATs, relay servers and the
discovery server on a public segment, all in network namespaces of one run.

    launcher ns           NAT A ns                      public ns                      NAT B ns                     controller ns
    10.10.1.2 -eth0/lan- 10.10.1.1 | 192.0.2.2 -wan/to-a- 192.0.2.1
                                                          198.51.100.1 -to-b/wan- 198.51.100.2 | 10.10.2.1 -lan/eth0- 10.10.2.2
                                                 relays 203.0.113.10 and .11 (UDP 8500),
                                                 discovery server 203.0.113.20 (TCP 500)

NAT A and NAT B masquerade everything that leaves by their public side (iptables,
MASQUERADE) and, like home routers, let in only what answers a mapping or is
forwarded: anything else addressed to the router itself is dropped before the
connection tracker records it, so that a hello arriving before the peer's first
hello does not take the mapping's public port. Nothing leaves the namespaces: the
public namespace has no link to the machine.

Modes (MODES): "ei" endpoint-independent mapping (hole punching works); "random"
NAT A maps every new flow to a random port (--random-fully: two relays see different
ports); "udp-blocked" NAT A drops all UDP from the launcher (no relay answers: the
discovery server's road); "no-punch" UDP between the two NATs is dropped on the
public segment (hellos never arrive: TURN); "nack" the NATs of "ei" (the scenario
tells the relays to answer FIND NACK: the discovery server's road); "relay-down" the
NATs of "ei", but nothing from NAT A reaches the second relay (it is down for the
launcher; the controller still enrolls with it); "silent-dns" the NATs of "ei" and
the launcher namespace's name server (SILENT_NAME_SERVER) never answers: only the
names of the lab's hosts file resolve. Given the controller's TCP port, NAT B
forwards its public TCP port FORWARD_PORT to it in every mode (the road of the
discovery server's answer and of a TCP ACK).

Used by the lab's self-tests (tests/natlab) and by the remote scenarios, which put
the launcher's Wine server in the launcher namespace (session.wine.ns). Namespaces
carry the run's tag; a run killed before its clean-up leaves them, and the next run
removes them with everything still running inside (qvharness.Namespaces).

A scenario with the launcher under Wine builds the lab inside its own session:

    class Remote(qvharness.Session):
        def start(self):
            self.lab = NatLab(self, "ei", controller_tcp_port=sim_port).build()
            self.wine.ns = self.lab.ns["launcher"]   # the wine server lives there
            self.lab.start_relays(relay_bin); self.lab.start_dserver(dserver_bin, [...])
            # the controller simulator: self.lab.argv_in("controller", [...])
            # servers.txt for the launcher's data folder: servers_txt()

Run alone, it builds a lab and holds it until interrupted:
    python3 natlab.py --mode ei --relay <rerudi-relay> --dserver <rerudi-dserver> hold
"""

import argparse
import os
import shutil
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import headers  # noqa: E402
import qvharness as qh  # noqa: E402
from headers import RELAY  # noqa: E402

# The server list's fields and the built-in relay's port, as the launcher has them.
POOL = headers.Header("remote/serverpool.h")

NS_ROLES = ("launcher", "nata", "public", "natb", "controller")
NS_PREFIXES = tuple("qvn-%s-" % r[:4] for r in NS_ROLES)

LAUNCHER_ADDRESS = "10.10.1.2"
NAT_A_LAN = "10.10.1.1"
NAT_A_PUBLIC = "192.0.2.2"
PUBLIC_TO_A = "192.0.2.1"
NAT_B_PUBLIC = "198.51.100.2"
PUBLIC_TO_B = "198.51.100.1"
NAT_B_LAN = "10.10.2.1"
CONTROLLER_ADDRESS = "10.10.2.2"
RELAY_ADDRESSES = ("203.0.113.10", "203.0.113.11")
RELAY_NAMES = ("Relay1", "Relay2")
# The relays listen where the launcher's built-in entry would look for one.
RELAY_PORT = POOL.SERVER_DEFAULT_PORT
DSERVER_ADDRESS = "203.0.113.20"
DSERVER_PORT = RELAY.DSERVER_PORT
# The launcher namespace's name server in "silent-dns": an address on the public
# segment where every query is dropped unanswered.
SILENT_NAME_SERVER = "203.0.113.53"
# NAT B forwards this public TCP port to the controller (the discovery server's road).
FORWARD_PORT = 7000

# Host names the launcher namespace resolves (through /etc/netns/<ns>/hosts, which
# `ip netns exec` puts over /etc/hosts): the deployment's default relay and discovery
# hosts, so that a launcher built with the defaults finds the lab's servers.
LAB_HOSTS = {"relay.example.invalid": RELAY_ADDRESSES[0], "dserver.example.invalid": DSERVER_ADDRESS}
ETC_NETNS = "/etc/netns"

MODES = {
    "ei": {},
    "random": {"random_fully": True},
    "udp-blocked": {"block_udp": True},
    "no-punch": {"drop_between": True},
    "nack": {},
    "relay-down": {"down_relay": 1},
    "silent-dns": {"silent_dns": True},
}


def relay_list():
    """The relays' server list as (name, host, port), the same at both relays."""
    return [(RELAY_NAMES[i], RELAY_ADDRESSES[i], RELAY_PORT) for i in range(len(RELAY_ADDRESSES))]


def servers_txt():
    """The launcher's servers.txt that matches the relays' list (no reload needed)."""
    return "".join("%s,%s,%d\n" % e for e in relay_list())


def list_checksum(entries):
    """The server-list checksum: every byte of the host field, the port as the
    entry's 32-bit little-endian integer and every byte of the name field, summed
    (the padding is NUL, and a text keeps room for its terminator)."""
    total = 0
    for name, host, port in entries:
        total += sum(host.encode("latin-1")[:POOL.SERVER_HOST_FIELD - 1])
        total += sum((port & 0xFFFFFFFF).to_bytes(4, "little"))
        total += sum(name.encode("latin-1")[:POOL.SERVER_NAME_FIELD - 1])
    return total & 0xFFFFFFFF


def relay_index_for(name, count=len(RELAY_ADDRESSES)):
    """The list entry the launcher asks for a system name (byte sum, signed bytes)."""
    total = 0
    for b in name.encode("latin-1"):
        total += b - 256 if b > 127 else b
    return (total & 0xFFFFFFFF) % count


class ServiceProcess(qh.LineProcess):
    """A simulator program in a namespace, started once it prints its ready line."""

    def __init__(self, argv, what, ready=r"^listening on ", timeout_s=10):
        super().__init__([str(a) for a in argv], stderr="merge")
        self.what = what
        if not self.wait_for(ready, timeout_s):
            self.stop()
            raise qh.Failure("%s did not start:\n  %s" % (what, self.text("  ")))

    def stop(self, term_wait_s=3, kill_wait_s=5, join_s=5):
        super().stop(term_wait_s, kill_wait_s, join_s)


class NatLab:
    """The five namespaces of one run and the lab's programs. session: the run's
    qvharness.Session (namespaces, children, temporary folder)."""

    def __init__(self, session, mode, tag=None, controller_tcp_port=None, hosts=None):
        if mode not in MODES:
            raise ValueError("unknown lab mode %r" % mode)
        self.session = session
        self.mode = mode
        self.options = dict(MODES[mode])
        self.tag = tag or "%d" % (os.getpid() % qh.TAG_MODULUS)
        self.ns = {role: NS_PREFIXES[i] + self.tag for i, role in enumerate(NS_ROLES)}
        self.controller_tcp_port = controller_tcp_port
        self.hosts = dict(LAB_HOSTS, **(hosts or {}))
        self.relays = []
        self.dserver = None

    # -- set-up -------------------------------------------------------------

    @staticmethod
    def require():
        """Skip unless this machine can build the lab (root, ip netns, iptables)."""
        qh.require_root("the NAT lab needs root for network namespaces")
        qh.require_netns()
        for tool in ("iptables", "iptables-restore", "sysctl"):
            if not shutil.which(tool):
                raise qh.Skip("%s is not installed (tools/setup installs it)" % tool)

    def build(self):
        self.require()
        netns = self.session.netns
        # Whatever prefixes the session has, a killed lab's namespaces are found by these.
        qh.Namespaces(NS_PREFIXES).remove_stale()
        self._remove_stale_hosts()
        for role in NS_ROLES:
            netns.add(self.ns[role])
        self._write_hosts(self.ns["launcher"])
        ns = self.ns
        # Interface names are per namespace: each veth end is made in its own one. (No
        # one-letter names: `ip` takes those for abbreviated keywords.)
        self._veth(ns["launcher"], "eth0", ns["nata"], "lan")
        self._veth(ns["nata"], "wan", ns["public"], "to-a")
        self._veth(ns["public"], "to-b", ns["natb"], "wan")
        self._veth(ns["natb"], "lan", ns["controller"], "eth0")
        netns.ip_batch(ns["launcher"], ["addr add %s/24 dev eth0" % LAUNCHER_ADDRESS, "link set eth0 up",
                                        "route add default via %s" % NAT_A_LAN])
        netns.ip_batch(ns["nata"], ["addr add %s/24 dev lan" % NAT_A_LAN, "link set lan up",
                                    "addr add %s/24 dev wan" % NAT_A_PUBLIC, "link set wan up",
                                    "route add default via %s" % PUBLIC_TO_A])
        public = ["addr add %s/24 dev to-a" % PUBLIC_TO_A, "link set to-a up",
                  "addr add %s/24 dev to-b" % PUBLIC_TO_B, "link set to-b up"]
        public += ["addr add %s/32 dev lo" % a for a in RELAY_ADDRESSES + (DSERVER_ADDRESS,)]
        if self.options.get("silent_dns"):
            public.append("addr add %s/32 dev lo" % SILENT_NAME_SERVER)
        netns.ip_batch(ns["public"], public)
        netns.ip_batch(ns["natb"], ["addr add %s/24 dev wan" % NAT_B_PUBLIC, "link set wan up",
                                    "addr add %s/24 dev lan" % NAT_B_LAN, "link set lan up",
                                    "route add default via %s" % PUBLIC_TO_B])
        netns.ip_batch(ns["controller"], ["addr add %s/24 dev eth0" % CONTROLLER_ADDRESS, "link set eth0 up",
                                          "route add default via %s" % NAT_B_LAN])
        for role in ("nata", "public", "natb"):
            self._sysctl(ns[role], "net.ipv4.ip_forward=1")
        self._rules(ns["nata"], self._nat_rules(random_fully=self.options.get("random_fully"),
                                                block_udp=self.options.get("block_udp")))
        forward = None
        if self.controller_tcp_port:
            forward = (FORWARD_PORT, CONTROLLER_ADDRESS, self.controller_tcp_port)
        self._rules(ns["natb"], self._nat_rules(forward=forward))
        public_rules = ["*filter"]
        if self.options.get("silent_dns"):
            public_rules.append("-A INPUT -d %s -j DROP" % SILENT_NAME_SERVER)  # every query swallowed
        down = self.options.get("down_relay")
        if down is not None:
            public_rules.append("-A INPUT -s %s -d %s -j DROP" % (NAT_A_PUBLIC, RELAY_ADDRESSES[down]))
        if self.options.get("drop_between"):
            public_rules += ["-A FORWARD -p udp -s %s -d %s -j DROP" % (NAT_A_PUBLIC, NAT_B_PUBLIC),
                             "-A FORWARD -p udp -s %s -d %s -j DROP" % (NAT_B_PUBLIC, NAT_A_PUBLIC)]
        self._rules(ns["public"], public_rules + ["COMMIT"])
        return self

    def _write_hosts(self, ns):
        folder = os.path.join(ETC_NETNS, ns)
        os.makedirs(folder, exist_ok=True)
        self.session.helpers.append(_Folder(folder))
        with open(os.path.join(folder, "hosts"), "w") as f:
            f.write("127.0.0.1\tlocalhost\n")
            for name, address in sorted(self.hosts.items()):
                f.write("%s\t%s\n" % (address, name))
        if self.options.get("silent_dns"):
            with open(os.path.join(folder, "resolv.conf"), "w") as f:
                f.write("nameserver %s\n" % SILENT_NAME_SERVER)

    @staticmethod
    def _remove_stale_hosts():
        """/etc/netns folders of lab namespaces that no longer exist (a killed run's)."""
        if not os.path.isdir(ETC_NETNS):
            return
        listed = set(line.split()[0] for line in qh.run(["ip", "netns", "list"]).stdout.splitlines() if line.split())
        for name in os.listdir(ETC_NETNS):
            if name.startswith(NS_PREFIXES) and name not in listed:
                shutil.rmtree(os.path.join(ETC_NETNS, name), ignore_errors=True)

    def _veth(self, ns1, name1, ns2, name2):
        self.session.netns.ip(ns1, "link", "add", name1, "type", "veth", "peer", "name", name2, "netns", ns2)

    def set_udp_timeout(self, seconds):
        """How long both NATs keep a UDP mapping that carries nothing (conntrack's time-outs
        for a flow seen one way and both ways): home routers keep one 30 to 180 s."""
        for role in ("nata", "natb"):
            for name in ("nf_conntrack_udp_timeout", "nf_conntrack_udp_timeout_stream"):
                self._sysctl(self.ns[role], "net.netfilter.%s=%d" % (name, seconds))

    def _sysctl(self, ns, setting):
        r = qh.run(qh.in_netns(ns, ["sysctl", "-qw", setting]))
        qh.check(r.returncode == 0, "sysctl %s in %s: %s" % (setting, ns, r.stderr.strip()))

    @staticmethod
    def _nat_rules(random_fully=False, block_udp=False, forward=None):
        nat = ["*nat"]
        if forward:
            public_port, address, port = forward
            nat.append("-A PREROUTING -i wan -p tcp --dport %d -j DNAT --to-destination %s:%d"
                       % (public_port, address, port))
        nat.append("-A POSTROUTING -o wan -j MASQUERADE" + (" --random-fully" if random_fully else ""))
        nat.append("COMMIT")
        flt = ["*filter",
               # What is addressed to the router itself from outside is dropped before
               # the tracker confirms it: an early hello then leaves no entry behind
               # that would push the peer's mapping to another port.
               "-A INPUT -i wan -j DROP",
               "-A FORWARD -i wan -m conntrack --ctstate ESTABLISHED,RELATED,DNAT -j ACCEPT",
               "-A FORWARD -i wan -j DROP"]
        if block_udp:
            flt.append("-A FORWARD -i lan -p udp -j DROP")
        flt.append("COMMIT")
        return nat + flt

    def _rules(self, ns, lines):
        r = qh.run(qh.in_netns(ns, ["iptables-restore"]), input="\n".join(lines) + "\n")
        if r.returncode != 0:
            if "nat" in r.stderr.lower() or "table does not exist" in r.stderr.lower():
                raise qh.Skip("this kernel offers no NAT in network namespaces: " + r.stderr.strip())
            raise qh.Failure("iptables-restore in %s: %s" % (ns, r.stderr.strip()))

    # -- programs -----------------------------------------------------------

    def argv_in(self, role, argv):
        return qh.in_netns(self.ns[role], argv)

    def start_relay(self, relay_bin, index, extra=(), name=None):
        """Relay number index (0 or 1) on its public address, handing out the lab's list."""
        argv = [relay_bin, "--listen", RELAY_ADDRESSES[index], "--port", str(RELAY_PORT), "--max-run", "900000"]
        for e in relay_list():
            argv += ["--server", "%s,%s,%d" % e]
        argv += list(extra)
        p = self.session.track(ServiceProcess(self.argv_in("public", argv), name or RELAY_NAMES[index]))
        m = p.wait_for(r"sessions on tcp port (\d+)", 1)
        p.turn_port = int(m.group(1)) if m else None
        self.relays.append(p)
        return p

    def start_relays(self, relay_bin, extra=()):
        return [self.start_relay(relay_bin, i, extra) for i in range(len(RELAY_ADDRESSES))]

    def start_dserver(self, dserver_bin, systems=(), extra=()):
        """The discovery server; systems: "NAME=ADDR:PORT[,flags]" texts."""
        argv = [dserver_bin, "--listen", DSERVER_ADDRESS, "--port", str(DSERVER_PORT), "--max-run", "900000"]
        for s in systems:
            argv += ["--system", s]
        argv += list(extra)
        self.dserver = self.session.track(ServiceProcess(self.argv_in("public", argv), "discovery server"))
        return self.dserver

    def add_public_address(self, address):
        """One more address on the public segment (for a program that stands between
        the launcher and the controller there)."""
        self.session.netns.ip(self.ns["public"], "addr", "add", "%s/32" % address, "dev", "lo")

    def forward_udp(self, public_port, controller_port):
        """NAT B forwards UDP to its public_port on to the controller's controller_port."""
        rule = ["iptables", "-t", "nat", "-A", "PREROUTING", "-i", "wan", "-p", "udp", "--dport", str(public_port),
                "-j", "DNAT", "--to-destination", "%s:%d" % (CONTROLLER_ADDRESS, controller_port)]
        r = qh.run(self.argv_in("natb", rule))
        qh.check(r.returncode == 0, "UDP forward in NAT B: %s" % r.stderr.strip())

    def forwarded_endpoint(self):
        """Where the launcher reaches the controller's forwarded TCP port (NAT B's side)."""
        return "%s:%d" % (NAT_B_PUBLIC, FORWARD_PORT)

    def relay_endpoints(self):
        return ["%s:%d" % (a, RELAY_PORT) for a in RELAY_ADDRESSES]


class _Folder:
    """A folder removed when the run stops (a session helper)."""

    def __init__(self, path):
        self.path = path

    def stop(self):
        shutil.rmtree(self.path, ignore_errors=True)
        try:
            os.rmdir(os.path.dirname(self.path))  # /etc/netns itself, once empty
        except OSError:
            pass


class LabSession(qh.Session):
    """A run that holds nothing but the lab (the self-tests and the hold command)."""

    def __init__(self, mode, keep=False, controller_tcp_port=None):
        super().__init__("rerudi-natlab-", NS_PREFIXES, "/nonexistent-natlab-wine", "win64", keep=keep)
        self.lab = NatLab(self, mode, controller_tcp_port=controller_tcp_port)

    def start(self):
        self.lab.build()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mode", choices=sorted(MODES), default="ei")
    ap.add_argument("--relay", help="rerudi-relay to start on both relay addresses")
    ap.add_argument("--dserver", help="rerudi-dserver to start on the discovery address")
    ap.add_argument("command", choices=["hold"])
    args = ap.parse_args()
    qh.install_signal_handlers()
    session = LabSession(args.mode)
    try:
        session.start()
        if args.relay:
            session.lab.start_relays(args.relay)
        if args.dserver:
            session.lab.start_dserver(args.dserver)
        qh.say("lab ready (%s): %s" % (args.mode, " ".join("%s=%s" % kv for kv in session.lab.ns.items())))
        while True:
            for c in session.children:
                if not c.running():
                    raise qh.Failure("%s ended:\n  %s" % (c.what, c.text("  ")))
            time.sleep(0.2)
    except qh.Skip as s:
        qh.say("SKIP: %s" % s)
        return qh.SKIP
    except qh.Failure as f:
        qh.say("FAIL: %s" % f)
        return 1
    finally:
        session.stop()


if __name__ == "__main__":
    sys.exit(main())
