#!/usr/bin/env python3
"""Remote scenarios: the launcher under Wine reaches a controller behind a real NAT
through the relays or the discovery server, and starts the viewer on that road.

Each scenario builds a fresh NAT lab (tests/harness/natlab.py: the launcher behind
NAT A with its wine server, the controller simulator behind NAT B, two relays and
the discovery server on a public segment) and goes from "Start Rerudi" (the probe
types the name and password and clicks) or from `/SILENT /USER: /PASS:` to the demo
viewer echoing through the loopback bridge. Every scenario checks the three sides
that show the road: the viewer's report (echo ok over the handed-over connection),
the simulator's log (punched, relayed session, or a TCP connection through NAT B's
forwarded port), and the connection log (the status lines in order, tests/natlab/
roads.py), besides the 1 MB viewer stored intact in its version folder.

Scenarios: punched (hole punching and the reliable stream, clicked), punched_silent,
turn (the punch cannot cross: relayed session, clicked), turn_random (NAT A maps at
random: relayed lookup and session, silent), tcp_ack (the relay names NAT B's
forwarded port), dserver (the relay says FIND NACK: the discovery server),
failed_silent (no road at all: "Connection Failed" and the log of the way), loss (5%
loss both ways on the punched path through the impairment proxy), cancel (Cancel in
the progress window while the relays are silent), cancel_waits (Cancel at the
lookup, the hole punch, a TCP connect to the relay's endpoint and to the relayed
session, and the discovery query), cancel_resolve (Cancel while a name server that
never answers is asked for a relay's address), interrupted (a run stopped or killed
half-way leaves nothing behind). The cancels check that the attempt ends within a second,
that the log says so, and that the launcher's sockets are those of before it.

--demo: the demonstration of `tools/demo --remote` instead (hole punching, silent).
Exit codes: 0 passed, 1 failed, 77 skipped (not root, no `ip netns` or iptables, no
Wine, or a program is not built).
"""

import os
import re
import signal
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "harness"))
import natlab as nl  # noqa: E402
import qvharness as qh  # noqa: E402
import remotelab as rl  # noqa: E402
import roads  # noqa: E402 (found through remotelab)
from headers import UI  # noqa: E402
from qvharness import Failure, Skip, check, say, wait_until  # noqa: E402
from remotelab import PASSWORD, SYSTEM  # noqa: E402

SILENT = ["/SILENT", "/USER:%s" % SYSTEM, "/PASS:%s" % PASSWORD]
# A viewer started on the remote road runs about a second; the whole remote start
# with a 1 MB download takes a few (the loss scenario longer).
START_TIMEOUT_S = 90
IMPAIR_ADDRESS = "203.0.113.30"
IMPAIR_PORT = 9000
LOSS_PCT = 5


# ---------------------------------------------------------------------------
# What every started viewer must show


def expect_started(run, probe, road_lines, silent):
    """The viewer ran on the handed-over connection, the 1 MB viewer is stored intact,
    the connection log holds road_lines and the rest of a start; then the launcher
    ends (silent) or shows its window again (clicked) and is closed."""
    r = run.viewer_report(START_TIMEOUT_S)
    check(r is not None, "the viewer did not run to its end")
    check(r.get("program", "").upper() == rl.VIEWER and r.get("form") == "loopback",
          "started %r with the %r hand-over" % (r.get("program"), r.get("form")))
    check(r.get("echo") == "ok" and r.get("echo_messages") == "3",
          "echo through the loopback bridge: %r" % r)
    stored = run.stored_viewer()
    check(os.path.isfile(stored), "the viewer is not in its version folder")
    with open(stored, "rb") as a, open(run.served, "rb") as b:
        check(a.read() == b.read(), "the stored viewer differs from the served one")
    if silent:
        state = probe.wait_exit(20)
        check(state.startswith("exit"), "the silent launcher did not end with its viewer (%s)" % state)
    else:
        check(wait_until(lambda: probe.controls()["window"][0] == "V", 15),
              "the main window did not come back after the viewer ended")
        check(probe.controls()[UI.IDC_START][1] == "E", "Start Rerudi is not enabled again")
    sim = run.sim
    served = sim.wait_for(r"^conn 0: download 8130 \(id \d+\): %d bytes in (\d+) pieces$" % rl.VIEWER_SIZE, 5)
    check(served, "the simulator served the 1 MB viewer")
    log = run.connect_log()
    check(log is not None, "no connection log")
    check(log[0] == SYSTEM, "the log's title is %r" % log[0])
    rl.check_connect_log(log[1], road_lines, rl.win_data_path(run, rl.VERSION_FOLDER, rl.VIEWER),
                         int(served.group(1)))
    check(len(sim.matching(r"^conn 0: echo \(id 77, ")) == 3, "the echoes did not reach the controller")
    check(sim.wait_for(r"^conn 0: closed", 15), "the controller's connection was not closed after the viewer")
    if not silent:
        probe.ask("close")
        check(probe.wait_exit(15).startswith("exit"), "the launcher did not close")
    return log[1]


def stream_to_echo(sim):
    """Seconds from the controller's first sight of the launcher's stream to the
    viewer's first echo: the login, version, 1 MB download and the viewer's start."""
    up = sim.first_time(r"^conn 0: (params|turn session|connected from)")
    echo = sim.first_time(r"^conn 0: echo ")
    return (echo - up) if up and echo else float("nan")


def launch(run, silent):
    if silent:
        return run.start_launcher(SILENT)
    probe = run.start_launcher([])
    run.click_start(probe)
    return probe


# ---------------------------------------------------------------------------
# Roads


def punched(run, silent):
    run.start_relays()
    sim = run.start_sim()
    probe = launch(run, silent)
    expect_started(run, probe, roads.punched(SYSTEM, rl.relay_name()), silent)
    check(sim.matching(r"^conn 0: punched from %s:\d+$" % re.escape(nl.NAT_A_PUBLIC)),
          "the simulator was not reached through NAT A by hole punching:\n  " + sim.text("  "))
    check(sim.matching(r"^conn 0: params %s$" % rl.RUDP_PARAMS), "the reliable stream's parameters")
    check(not sim.matching(r"turn session|connected from"), "another road was taken as well")
    return "  stream up to the viewer's first echo (login, version, 1 MB download, viewer start): %.1f s" % (
        stream_to_echo(sim))


def scenario_punched(run):
    return punched(run, silent=False)


def scenario_punched_silent(run):
    return punched(run, silent=True)


def relayed(run, silent, expected):
    run.start_relays()
    sim = run.start_sim()
    probe = launch(run, silent)
    texts = expect_started(run, probe, expected, silent)
    sid = roads.sid_of(texts)
    check(sim.matching(r"^conn 0: turn session %d$" % sid), "the simulator did not serve relayed session %s:\n  %s"
          % (sid, sim.text("  ")))
    check(not sim.matching(r"punched from|connected from"), "another road was taken as well")
    relay = run.lab.relays[nl.relay_index_for(SYSTEM)]
    check(relay.matching(r"^session %d: paired, relaying$" % sid), "the relay did not relay the session")
    return texts


def scenario_turn(run):
    """NAT A and NAT B are endpoint independent, but no UDP crosses between them."""
    texts = relayed(run, False, roads.punch_failed_turn(SYSTEM, rl.relay_name()))
    check(sum(1 for t in texts if t.startswith("Creating Connection")) == 10, "ten hellos, none answered")


def scenario_turn_random(run):
    """NAT A maps each flow to a random port: the relays see two ports (state 5)."""
    relayed(run, True, roads.turn(SYSTEM, rl.relay_name(), 5))


def scenario_tcp_ack(run):
    run.start_relays("--answer", "%s=tcp=%s" % (SYSTEM, run.lab.forwarded_endpoint()))
    sim = run.start_sim()
    probe = launch(run, False)
    expect_started(run, probe, roads.tcp_ack(SYSTEM, rl.relay_name(), 4), False)
    check(sim.matching(r"^conn 0: connected from %s:\d+$" % re.escape(nl.NAT_A_PUBLIC))
          and sim.matching(r"^conn 0: greeting ok$"),
          "the simulator was not reached on NAT B's forwarded port:\n  " + sim.text("  "))
    check(not sim.matching(r"turn session|punched from"), "another road was taken as well")


def scenario_dserver(run):
    run.start_relays("--answer", "%s=nack" % SYSTEM)
    run.start_dserver()
    sim = run.start_sim()
    probe = launch(run, False)
    expect_started(run, probe, roads.dserver(SYSTEM, rl.relay_name(), 4, rl.DSERVER_AT, nl.NAT_B_PUBLIC,
                                             nl.FORWARD_PORT), False)
    check(sim.matching(r"^conn 0: connected from %s:\d+$" % re.escape(nl.NAT_A_PUBLIC))
          and sim.matching(r"^conn 0: greeting ok$"),
          "the simulator was not reached on NAT B's forwarded port:\n  " + sim.text("  "))
    check(run.lab.dserver.matching(SYSTEM), "the discovery server was not asked")


def scenario_failed_silent(run):
    """No road leads to the controller (FIND NACK, and the discovery server is not
    there): the silent start shows "Connection Failed" with the reason, ends once
    it is answered, and the log holds the whole way down."""
    run.start_relays("--answer", "%s=nack" % SYSTEM)
    run.start_sim()
    probe = run.start_launcher(SILENT)
    box = wait_until(lambda: probe.fields("boxes")[1:], 60, 0.1)
    check(box == ["OSKA Rerudi|Connection Failed\\x0ANo Response from server"], "message boxes: %r" % box)
    check(probe.ask("press 1 Connection Failed") == "pressed", "could not answer the box")
    check(probe.wait_exit(15).startswith("exit"), "the silent launcher did not end after the failure")
    log = run.connect_log()
    want = roads.dserver(SYSTEM, rl.relay_name(), 4, rl.DSERVER_AT, "", 0)[:-2] + [
        "Cannot connect to D.SERVER", "No Response from server", "Connection Failed: No Response from server"]
    want.remove("Querying D.SERVER")
    problem = roads.compare(log[1] if log else [], want)
    check(problem is None, "connection log of the failed start: %s" % problem)
    check(not run.sim.matching(r"^conn "), "the controller was reached")
    check(not os.path.exists(os.path.join(run.data_folder(), rl.VERSION_FOLDER)), "a version folder was made")


def scenario_loss(run):
    """The punched path crosses the impairment proxy, which drops 5% of the datagrams
    each way: the 1 MB viewer still arrives intact over the reliable stream."""
    run.start_relays("--answer", "%s=find-ack=%s:%d" % (SYSTEM, IMPAIR_ADDRESS, IMPAIR_PORT))
    sim = run.start_sim()
    proxy = run.start_lossy_path(IMPAIR_ADDRESS, IMPAIR_PORT, LOSS_PCT)
    started = time.monotonic()
    probe = launch(run, True)
    expect_started(run, probe, roads.punched(SYSTEM, rl.relay_name()), True)
    took = time.monotonic() - started
    check(sim.matching(r"^conn 0: punched from %s:\d+$" % re.escape(IMPAIR_ADDRESS)),
          "the simulator was not reached through the proxy:\n  " + sim.text("  "))
    proxy.stop()
    counts = {}
    for m in proxy.matching(r"^to (upstream|client): received (\d+) delivered (\d+) dropped (\d+)"):
        counts[m.group(1)] = (int(m.group(2)), int(m.group(4)))
    check(set(counts) == {"upstream", "client"}, "proxy counts:\n  " + proxy.text("  "))
    for way, (received, dropped) in counts.items():
        # The fates come from a fixed seed; the counts vary only with the number of
        # datagrams the stream needed.
        check(received >= 100 and 0.01 < dropped / received < 0.12,
              "%s: %d of %d datagrams dropped, not about %d%%" % (way, dropped, received, LOSS_PCT))
    dropped = ", ".join("%s %d of %d" % (w, d, r) for w, (r, d) in sorted(counts.items()))
    return ("  1 MB over 5%% loss: stream up to the viewer's first echo %.1f s, launcher start to its end %.1f s;"
            " datagrams dropped: %s" % (stream_to_echo(sim), took, dropped))


def scenario_cancel(run):
    """The relays stay silent; Cancel in the progress window ends the attempt at once."""
    run.start_relays("--fault", "probe=silent")
    run.start_sim()
    probe = run.start_launcher([])
    probe.wait_window()
    idle = run.idle_sockets()
    run.click_start(probe)
    check(wait_until(lambda: probe.ask("dialog %s" % rl.PROGRESS_TITLE).startswith("dialog"), 20),
          "the progress window did not open")
    relays = run.lab.relays
    check(wait_until(lambda: any(r.matching(r"^PROBE .*not answered") for r in relays), 10),
          "the relays were not probed")
    time.sleep(1.2)  # well inside a probe's wait
    check(run.launcher_sockets() != idle, "no socket of the attempt seen")
    check(probe.ask("dlgclick %d %s" % (UI.IDC_CONNECT_CANCEL, rl.PROGRESS_TITLE)) == "clicked",
          "Cancel could not be pressed")
    pressed = time.monotonic()
    closed = wait_until(lambda: probe.ask("dialog %s" % rl.PROGRESS_TITLE) == "none", 5, 0.01)
    took = time.monotonic() - pressed
    check(closed, "the progress window stayed open after Cancel")
    check(took < 1.0, "the attempt took %.2f s to end after Cancel" % took)
    probes_then = sum(len(r.matching(r"^PROBE ")) for r in relays)
    check(wait_until(lambda: probe.controls()[UI.IDC_START][1] == "E", 5), "Start Rerudi is not enabled again")
    check(probe.fields("boxes") == ["boxes"], "a message box after Cancel: %r" % probe.fields("boxes"))
    log = run.connect_log()
    check(log is not None, "no connection log after Cancel")
    want = ["Starting Connection to '%s'" % SYSTEM, "Discovering Network...", "Cancelled", "Attempt cancelled"]
    problem = roads.compare(log[1], want)
    check(problem is None, "connection log after Cancel: %s" % problem)
    check(wait_until(lambda: run.launcher_sockets() == idle, 3),
          "sockets after Cancel %r, before the attempt %r" % (run.launcher_sockets(), idle))
    time.sleep(1.5)
    check(sum(len(r.matching(r"^PROBE ")) for r in relays) == probes_then,
          "the relays were probed again after Cancel")
    check(not run.sim.matching(r"^conn "), "the controller was reached")
    probe.ask("close")
    check(probe.wait_exit(15).startswith("exit"), "the launcher did not close")
    return "  the progress window closed %.0f ms after Cancel was pressed (probe round trips included)" % (
        took * 1000)


# Relays given by names that no name server answers for (the lab's "silent-dns").
SILENT_NAMES = [(nl.RELAY_NAMES[i], "relay%d.lab.invalid" % (i + 1), nl.RELAY_PORT) for i in range(2)]
# How long the system's resolver may go on after Cancel before the worker that asked
# it ends: Wine asks the lab's glibc, which tries twice for five seconds each.
RESOLVER_GIVES_UP_S = 30


def scenario_cancel_resolve(run):
    """The relays are given by name and the name server never answers: Cancel a second
    after Start, while the first name is being resolved, ends the attempt at once and
    the log says so; the thread that asked the resolver ends once the system's
    resolver gives up, and with it the last socket of the attempt."""
    run.start_relays()
    run.start_sim()
    run.write_servers(SILENT_NAMES)
    probe = run.start_launcher([])
    probe.wait_window()
    idle = run.idle_sockets()
    threads = run.launcher_threads()
    check(threads, "the launcher's threads cannot be counted")
    run.click_start(probe)
    started = time.monotonic()
    check(wait_until(lambda: probe.ask("dialog %s" % rl.PROGRESS_TITLE).startswith("dialog"), 20),
          "the progress window did not open")
    time.sleep(max(0.0, 1.0 - (time.monotonic() - started)))
    check(probe.ask("dlgclick %d %s" % (UI.IDC_CONNECT_CANCEL, rl.PROGRESS_TITLE)) == "clicked",
          "Cancel could not be pressed")
    pressed = time.monotonic()
    closed = wait_until(lambda: probe.ask("dialog %s" % rl.PROGRESS_TITLE) == "none", 5, 0.01)
    took = time.monotonic() - pressed
    check(closed and took < 1.0, "the attempt took %.2f s to end after Cancel" % took)
    log = run.connect_log()
    want = ["Starting Connection to '%s'" % SYSTEM, "Discovering Network...", "Cancelled", "Attempt cancelled"]
    problem = roads.compare(log[1] if log else [], want)
    check(problem is None, "connection log after Cancel: %s" % problem)
    check(not any(r.matching(r"^PROBE") for r in run.lab.relays), "a relay was probed without an address")
    back = wait_until(lambda: (run.launcher_threads() or 0) <= threads, RESOLVER_GIVES_UP_S, 0.1)
    check(back, "the launcher has %r threads %d s after Cancel, %d before the attempt"
          % (run.launcher_threads(), RESOLVER_GIVES_UP_S, threads))
    gone = time.monotonic() - pressed
    # The system's resolver holds its socket to the name server until it gives up.
    check(wait_until(lambda: run.launcher_sockets() == idle, 3),
          "sockets after Cancel %r, before the attempt %r" % (run.launcher_sockets(), idle))
    check(wait_until(lambda: probe.controls()[UI.IDC_START][1] == "E", 5), "Start Rerudi is not enabled again")
    probe.ask("close")
    check(probe.wait_exit(15).startswith("exit"), "the launcher did not close")
    return ("  the progress window closed %.0f ms after Cancel (probe round trips included); the resolving"
            " thread ended %.1f s after it" % (took * 1000, gone))


# Cancel at the procedure's other waits, one attempt each in one launcher: (system
# name, the relays' answer for it, the server and line that show the launcher is in
# the wait, the status lines of the road up to it).
BLACK_HOLE = nl.NAT_B_PUBLIC  # NAT B drops what is addressed to it unasked


def _waits():
    def opening(name):
        return roads.opening(name, 4, rl.relay_name(name))
    return [
        ("Lookup1", "silent", "relay", r"^FIND 'Lookup1' .*not answered", opening("Lookup1")),
        ("Punch1", "find-ack=%s:7998" % BLACK_HOLE, "relay", r"^FIND ACK 'Punch1' ",
         opening("Punch1") + ["Found Target System", roads.CREATING]),
        ("Direct1", "tcp=%s:7997" % BLACK_HOLE, "relay", r"^TCP ACK 'Direct1' ", opening("Direct1")),
        ("Turn1", "turn", "relay", r"^TURN ACK 'Turn1' ", opening("Turn1") + [re.compile(r"TURN: \(sid:\d+\)")]),
        ("Disco1", "nack", "dserver", r"^query 'Disco1': not answered",
         roads.dserver("Disco1", rl.relay_name("Disco1"), 4, rl.DSERVER_AT, "", 0)[:-2]),
    ]


def scenario_cancel_waits(run):
    """Cancel while the launcher waits for the lookup's answer, a hello's answer, a
    TCP connect (the relay's TCP ACK and the relayed session, both into a black
    hole) and the discovery server's answer: each attempt ends at once, its log
    says so, and the launcher's sockets are those of before the attempt again."""
    waits = _waits()
    relays = run.start_relays(*sum((["--answer", "%s=%s" % (w[0], w[1])] for w in waits), []))
    dserver = run.lab.start_dserver(run.p.dserver, [], ["--fault", "silent"])
    # The relayed session's TCP connect goes nowhere: the public side drops it.
    for r in relays:
        rule = ["iptables", "-I", "INPUT", "-s", nl.NAT_A_PUBLIC, "-p", "tcp", "--dport", str(r.turn_port), "-j",
                "DROP"]
        check(qh.run(run.lab.argv_in("public", rule)).returncode == 0, "blocking the relayed sessions")
    run.start_sim()
    probe = run.start_launcher([])
    probe.wait_window()

    sockets = run.launcher_sockets
    idle = run.idle_sockets()
    times = []
    for name, _, where, marker, before in waits:
        run.click_start(probe, name)
        server = run.lab.relays[nl.relay_index_for(name)] if where == "relay" else dserver
        check(server.wait_for(marker, 20), "%s: the launcher did not reach the wait:\n  %s" % (name, server.text("  ")))
        time.sleep(0.3)
        during = sockets()
        check(during != idle, "%s: no socket of the attempt seen: %r" % (name, during))
        check(probe.ask("dlgclick %d %s" % (UI.IDC_CONNECT_CANCEL, rl.PROGRESS_TITLE)) == "clicked",
              "%s: Cancel could not be pressed" % name)
        pressed = time.monotonic()
        closed = wait_until(lambda: probe.ask("dialog %s" % rl.PROGRESS_TITLE) == "none", 5, 0.01)
        took = time.monotonic() - pressed
        check(closed and took < 1.0, "%s: the attempt took %.2f s to end after Cancel" % (name, took))
        times.append("%s %.0f ms" % (name, took * 1000))
        check(wait_until(lambda: probe.controls()[UI.IDC_START][1] == "E", 5), "%s: Start is not enabled again" % name)
        check(probe.fields("boxes") == ["boxes"], "%s: a message box after Cancel" % name)
        log = run.connect_log()
        problem = roads.compare(log[1] if log else [], before + ["Cancelled", "Attempt cancelled"])
        check(problem is None, "%s: connection log after Cancel: %s" % (name, problem))
        left = wait_until(lambda: sockets() == idle, 3)
        check(left, "%s: sockets after Cancel %r, before the attempt %r" % (name, sockets(), idle))
    check(not run.sim.matching(r"^conn "), "the controller was reached")
    probe.ask("close")
    check(probe.wait_exit(15).startswith("exit"), "the launcher did not close")
    return "  the progress window closed after Cancel (probe round trips included): " + ", ".join(times)


# ---------------------------------------------------------------------------
# A run that is interrupted leaves nothing behind


class Watcher(qh.Session):
    """A run that holds no lab itself (the prefix and the labs are its children's)."""

    def __init__(self):
        super().__init__("%s%d-" % (rl.TMP_PREFIX, os.getpid()), (), "/nonexistent-remote-wine", "win32")

    def start(self):
        pass


def scenario_interrupted(session, args):
    """A run told to stop (SIGTERM) while the launcher is under way removes its lab,
    its wine server, the launcher, the simulators and its folder; a run killed
    outright (SIGKILL) leaves them, and the next run removes them."""
    argv = [sys.executable, os.path.abspath(__file__), "--launcher", args.launcher, "--probe", args.probe,
            "--viewer", args.viewer, "--sim", args.sim, "--relay", args.relay, "--dserver", args.dserver,
            "--impair", args.impair, "--source", args.source, "--wineprefix", args.wineprefix]

    def under_way(child):
        """Once the child's launcher runs in its lab: the pids of its lab and its names."""
        tag = child.proc.pid % qh.TAG_MODULUS
        names = [prefix + str(tag) for prefix in nl.NS_PREFIXES]

        def running():
            launcher, _ = qh.wine_pids(args.wineprefix, os.path.basename(args.launcher), exclude=("lanprobe",))
            return launcher is not None and child.running()
        check(wait_until(running, 60), "the launcher did not start in the interrupted run:\n  " + child.text("  "))
        pids = set()
        for n in names:
            pids |= set(int(x) for x in qh.run(["ip", "netns", "pids", n]).stdout.split())
        return names, pids

    def gone(child, names, pids):
        listed = qh.run(["ip", "netns", "list"]).stdout
        alive = [p for p in pids if qh.proc_read(p, "stat") is not None and b") Z" not in qh.proc_read(p, "stat")]
        mine = "%s%d-" % (rl.TMP_PREFIX, child.proc.pid)
        folders = [f for f in os.listdir(tempfile.gettempdir()) if f.startswith(mine)]
        hosts = [n for n in names if os.path.exists(os.path.join(nl.ETC_NETNS, n))]
        return not (any(n in listed for n in names) or hosts or alive or folders)

    child = session.track(qh.LineProcess(argv + ["--scenario", "punched"], stderr="merge"))
    names, pids = under_way(child)
    check(len(pids) >= 5, "relays, simulator, wine server and launcher in the lab: %r" % pids)
    child.proc.send_signal(signal.SIGTERM)
    child.wait(40)
    check(wait_until(lambda: gone(child, names, pids), 15), "after SIGTERM: lab, programs and folder removed")
    child = session.track(qh.LineProcess(argv + ["--scenario", "punched"], stderr="merge"))
    names, pids = under_way(child)
    child.proc.kill()
    child.wait(10)
    check(not gone(child, names, pids), "a killed run leaves its lab behind (until the next run)")
    nxt = session.track(qh.LineProcess(argv + ["--scenario", "tcp_ack"], stderr="merge")).wait(120)
    check(nxt.proc.returncode == 0, "the next run:\n  " + nxt.text("  "))
    check(wait_until(lambda: gone(child, names, pids), 10), "the next run removed the killed run's lab and folder")


# name: (lab mode, function); a mode of None runs without a lab of its own.
SCENARIOS = {
    "punched": ("ei", scenario_punched),
    "punched_silent": ("ei", scenario_punched_silent),
    "turn": ("no-punch", scenario_turn),
    "turn_random": ("random", scenario_turn_random),
    "tcp_ack": ("ei", scenario_tcp_ack),
    "dserver": ("nack", scenario_dserver),
    "failed_silent": ("nack", scenario_failed_silent),
    "loss": ("ei", scenario_loss),
    "cancel": ("ei", scenario_cancel),
    "cancel_waits": ("ei", scenario_cancel_waits),
    "cancel_resolve": ("silent-dns", scenario_cancel_resolve),
    "interrupted": (None, scenario_interrupted),
}


def run_scenario(name, run):
    try:
        try:
            shown = SCENARIOS[name][1](run)
        except OSError as e:
            raise Failure(str(e))
    except Failure as f:
        raise Failure("%s\n%s" % (f, run.evidence()))
    # A sanitizer build of the simulators reports on the way out: stop them and look.
    for child in list(run.children):
        if isinstance(child, rl.Probe):
            continue
        child.stop()
        check(not re.search(r"Sanitizer|runtime error:", child.text()),
              "%s reported:\n  %s" % (getattr(child, "what", "a program"), child.text("  ")))
    return shown


# ---------------------------------------------------------------------------
# The demonstration (tools/demo --remote)


def run_demo(args):
    say("== OSKA Rerudi demonstration: the remote road through two NATs")
    run = rl.RemoteRun(args, "ei", keep=args.keep)

    def show():
        run.start()
        say("lab: the launcher behind NAT A (%s, public %s), the controller behind NAT B (%s, public %s),"
            % (nl.LAUNCHER_ADDRESS, nl.NAT_A_PUBLIC, nl.CONTROLLER_ADDRESS, nl.NAT_B_PUBLIC))
        say("     relays %s and the discovery server %s on the public segment; endpoint-independent NATs"
            % (" and ".join(run.lab.relay_endpoints()), rl.DSERVER_AT))
        run.start_relays()
        run.start_dserver()
        sim = run.start_sim()
        say("controller: rerudi-sim enrolled with both relays as '%s' (password \"%s\"), version %s, serving"
            " the demo viewer (%d bytes)" % (SYSTEM, PASSWORD, rl.VERSION, rl.VIEWER_SIZE))
        say("launcher: OSKARerudi.exe %s" % " ".join(SILENT))
        started = time.monotonic()
        probe = run.start_launcher(SILENT)
        report = run.viewer_report(START_TIMEOUT_S)
        state = probe.wait_exit(20)
        took = time.monotonic() - started
        log = run.connect_log()
        say("")
        say("-- status lines as the progress window showed them (from the connection log %s)" % rl.CONNECT_LOG)
        for text in (rl.as_shown(log[1]) if log else ["(no connection log)"]):
            say("   " + text)
        say("-- the lookup at the relay")
        relay = run.lab.relays[nl.relay_index_for(SYSTEM)]
        for line in relay.lines():
            if re.match(r"^(PROBE ACK|FIND)", line):
                say("   %s: %s" % (relay.what, line))
        say("-- the controller simulator's road")
        road = sim.matching(r"^(conn 0: (punched from|turn session|connected from).*)$")
        for m in road + sim.matching(r"^(conn 0: (params|login ok|download|closed).*)$"):
            say("   " + m.group(1))
        if not road:
            say("   (no session)")
        say("-- demo viewer report")
        for k, v in (report or {"(the viewer did not run to its end)": ""}).items():
            say("   %s%s" % (k, ("=" + v) if v else ""))
        stored = run.stored_viewer()
        intact = False
        if os.path.isfile(stored):
            with open(stored, "rb") as a, open(run.served, "rb") as b:
                intact = a.read() == b.read()
        say("")
        say("downloaded: <APPDATA>\\OSKA Zizu Systems\\OSKA Rerudi\\%s\\%s (%s)" % (
            rl.VERSION_FOLDER, rl.VIEWER, "%d bytes, equal to the served file" % rl.VIEWER_SIZE if intact
            else "missing or different"))
        say("the launcher ended with its viewer %.1f s after it was started (%s)" % (took, state))
        problem = None
        try:
            rl.check_connect_log(log[1] if log else [], roads.punched(SYSTEM, rl.relay_name()), rl.win_data_path(
                run, rl.VERSION_FOLDER, rl.VIEWER))
        except Failure as f:
            problem = str(f)
        ok = (bool(report) and report.get("echo") == "ok" and bool(road) and "punched" in road[0].group(1)
              and intact and state.startswith("exit") and problem is None)
        if ok:
            say("RESULT: reached '%s' behind NAT B by hole punching; viewer started on the reliable stream "
                "through the loopback bridge: echo ok" % SYSTEM)
        else:
            say("RESULT: FAILED - %s" % (problem or (report.get("echo_problem", "echo %s" % report.get("echo"))
                                                     if report else "the viewer did not run")))
        return ok

    return qh.run_demonstration(show, run.stop)


# ---------------------------------------------------------------------------


def main():
    ap = qh.scenario_parser(__doc__, "--scenario", SCENARIOS, demo="run the demonstration instead")
    ap.add_argument("--probe", required=True)
    ap.add_argument("--relay", help="rerudi-relay (default: next to rerudi-sim)")
    ap.add_argument("--dserver", help="rerudi-dserver (default: next to rerudi-sim)")
    ap.add_argument("--impair", help="rerudi-udp-impair (default: next to rerudi-sim)")
    qh.add_wine_options(ap, "QV_REMOTE_WINEPREFIX", "Wine prefix of the remote runs (default: one per build "
                        "tree under /tmp), of the launcher's architecture")
    args = qh.parse_scenario_args(ap)
    beside = os.path.dirname(os.path.abspath(args.sim))
    for opt, name in (("relay", "rerudi-relay"), ("dserver", "rerudi-dserver"), ("impair", "rerudi-udp-impair")):
        if not getattr(args, opt):
            setattr(args, opt, os.path.join(beside, name))
    missing = qh.first_missing(args, ("launcher", "probe", "viewer", "sim", "relay", "dserver", "impair"))
    if missing:
        if args.demo:
            say("RESULT: FAILED - %s not built (%r)" % missing)
            return 1
        return qh.skip_exit("%s not built (%r)" % missing)
    if qh.set_width(args, args.launcher, "remote", tree_of=args.probe):
        return 1
    if args.demo:
        return run_demo(args)
    if not args.scenario:
        ap.error("--scenario or --demo is needed")
    names = sorted(SCENARIOS) if args.scenario == "all" else [args.scenario]

    def make(name):
        mode = SCENARIOS[name][0]
        if mode is None:
            nl.NatLab.require()
            return Watcher()
        return rl.RemoteRun(args, mode, keep=args.keep)

    def body(name, session):
        if SCENARIOS[name][0] is None:
            return SCENARIOS[name][1](session, args)
        return run_scenario(name, session)
    return qh.run_each(names, make, body)


if __name__ == "__main__":
    sys.exit(main())
