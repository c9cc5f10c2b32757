#!/usr/bin/env python3
"""Local-network scenarios: the launcher under Wine watches simulated controllers.

The launcher runs in namespace A with its own Wine server; peer.py simulates the
controllers in namespace B (see lanenv.py). The probe program (lanprobe.exe) starts
the launcher and reads its windows as a user would see them.

Groups: GROUPS at the end, one CTest entry each (--list prints them for the build).
Exit codes: 0 passed, 1 failed, 77 skipped (not root, no `ip netns`, no Wine, or the
launcher has not been built).
"""

import os
import struct
import sys
import time

sys.dont_write_bytecode = True  # nothing of ours is left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lanenv import (  # noqa: E402
    DATA_SUBPATH, LAUNCHER_ADDRESS, Lan, check, peer_address, say, wait_until, win_path,
    wine_setup)
import qvharness as qh  # noqa: E402 (found through lanenv)
from headers import DISCOVERY, UI  # noqa: E402 (found through lanenv)

TICK_MS = 300
EXPIRY_MS = 2000
AUTO_STATUSES = (1, 6, 7, 8, 9, 10, 11, 12, 100)
IP_DIALOG = "Configure IP Information"


_step_started = [time.monotonic()]


def step(text):
    """A progress line, so that a failure's log shows how far the group got."""
    say("  [%5.1f s] %s" % (time.monotonic() - _step_started[0], text))


def listed(probe, name, present=True, timeout_s=3.0):
    """Waits for a line to appear (or go); the seconds it took, or None."""
    start = time.monotonic()
    ok = wait_until(lambda: (name in probe.names()) == present, timeout_s, 0.03)
    return (time.monotonic() - start) if ok else None


def launcher_ping_endpoint():
    """Where the launcher's pings and configuration datagrams come from."""
    return "%s:%d" % (LAUNCHER_ADDRESS, DISCOVERY.PING_PORT)


def selected(probe):
    return probe.list()[0]


# ---------------------------------------------------------------------------
# list: what enters the list of local systems and how it leaves


def group_list(lan):
    peer = lan.start_peer()
    probe = lan.start_launcher(["/USER:Nobody"], lan.appdata())
    probe.wait_window()
    peer.add(2, "Alpha", status=2)
    check(listed(probe, "Alpha", timeout_s=10) is not None, "a first controller never appeared")

    # Pings: the launcher asks on port 1444 from its adapter address, on its timer.
    time.sleep(3)
    pings = [e for e in peer.taken_events("query") if e["kind"] == "discovery" and e["port"] == DISCOVERY.PING_PORT]
    check(pings and all(e["src"] == launcher_ping_endpoint() for e in pings),
          "discovery queries not from %s: %r" % (launcher_ping_endpoint(), [e["src"] for e in pings][:5]))
    gaps = [(b["t"] - a["t"]) * 1000 for a, b in zip(pings, pings[1:])][-4:]
    check(gaps and all(450 <= g <= 1000 for g in gaps), "ping gaps %r ms, expected about 600" % gaps)

    # A new controller shows within a ping and a tick or two.
    peer.add(3, "Bravo", status=1)
    took = listed(probe, "Bravo", timeout_s=5)
    check(took is not None, "a new controller did not appear")
    check(took < 1.5, "a new controller took %.2f s to appear" % took)
    say("  new controller listed after %.0f ms" % (took * 1000))

    # Status 5, and any flag of 0x70, keep a controller out; other flags do not.
    peer.add(4, "Hidden5", status=5)
    peer.add(5, "Flag10", flags=0x10)
    peer.add(6, "Flag20", flags=0x20)
    peer.add(7, "Flag40", flags=0x40)
    peer.add(8, "Flag81", flags=0x81, status=100)
    check(listed(probe, "Flag81", timeout_s=5) is not None, "a controller with flags 0x81 was not added")
    time.sleep(1.5)
    names = probe.names()
    for n in ("Hidden5", "Flag10", "Flag20", "Flag40"):
        check(n not in names, "%s was listed: %r" % (n, names))

    # A new name at the same address replaces the line.
    peer.add(9, "Charlie")
    check(listed(probe, "Charlie", timeout_s=5) is not None, "Charlie did not appear")
    count = len(probe.names())
    peer.cmd("set", addr=peer_address(9), name="Charlie2")
    check(listed(probe, "Charlie2", timeout_s=5) is not None, "the renamed controller did not appear")
    names = probe.names()
    check("Charlie" not in names and len(names) == count, "the old name stayed: %r" % names)

    # Lines are sorted by name, letter case aside.
    check(names == sorted(names, key=str.lower), "lines not in order: %r" % names)

    # Silent controllers go 2000 ms after their last answer, one line per tick.
    before = probe.names()
    silenced = ("Alpha", "Bravo", "Charlie2")
    for n in (2, 3, 9):
        peer.cmd("silence", addr=peer_address(n), on=True)
    changes = probe.watch(4500)
    check(all(c is not None for _, c, _ in changes), "the launcher stopped answering: %r" % changes)
    drops = [(t, prev[1] - c) for prev, (t, c, _) in zip(changes, changes[1:]) if c < prev[1]]
    check(len(drops) == 3 and all(d == 1 for _, d in drops),
          "expected three single removals, saw %r" % changes)
    first, last = drops[0][0], drops[-1][0]
    # The last answer came at most a ping round (600 ms) plus a tick before the silence.
    check(first >= EXPIRY_MS - 600 - TICK_MS - 150, "a line went after only %d ms" % first)
    check(last <= EXPIRY_MS + 2 * 600 + 3 * TICK_MS, "the last line went only after %d ms" % last)
    spacing = [b[0] - a[0] for a, b in zip(drops, drops[1:])]
    check(all(s >= TICK_MS - 120 for s in spacing), "two lines went within one tick: %r" % drops)
    after = probe.names()
    check(sorted(after) == sorted(n for n in before if n not in silenced),
          "wrong lines removed: %r -> %r" % (before, after))
    say("  silent controllers removed at %s ms" % [t for t, _ in drops])

    # A silenced controller that answers again comes back.
    peer.cmd("silence", addr=peer_address(3), on=False)
    check(listed(probe, "Bravo", timeout_s=3) is not None, "a controller answering again was not listed")

    probe.ask("close")
    check(probe.wait_exit(10).startswith("exit"), "the launcher did not close")


# ---------------------------------------------------------------------------
# selection: automatic selection, typed names and the remembered login


def group_selection(lan):
    peer = lan.start_peer()
    probe = lan.start_launcher([], lan.appdata())
    probe.wait_window()
    check(probe.text(UI.IDC_SYSTEM_NAME) == "", "the name field is not empty at the start")

    peer.add(2, "Papa", status=2)
    check(listed(probe, "Papa", timeout_s=10) is not None, "Papa never appeared")
    time.sleep(0.7)
    check(selected(probe) is None and probe.text(UI.IDC_SYSTEM_NAME) == "",
          "a status-2 controller was selected")

    peer.add(3, "Quebec", status=7)
    check(wait_until(lambda: selected(probe) == "Quebec", 3), "the status-7 controller was not selected")
    name = probe.text(UI.IDC_SYSTEM_NAME)
    check(name == "Quebec", "its name did not fill the field: %r" % name)
    check(probe.controls()[UI.IDC_START][1] == "E", "Start Rerudi stayed disabled with a selection")

    # Once the field holds a name, a later auto-selectable controller is only listed.
    peer.add(4, "Romeo", status=1)
    check(listed(probe, "Romeo", timeout_s=3) is not None, "Romeo never appeared")
    time.sleep(0.7)
    check(selected(probe) == "Quebec", "a later controller took the selection: %r" % selected(probe))

    # Typing picks a line whatever its letter case; a name nobody has drops the selection.
    probe.type(UI.IDC_SYSTEM_NAME, "romeo")
    check(wait_until(lambda: selected(probe) == "Romeo", 2), "typing another letter case did not select")
    probe.type(UI.IDC_SYSTEM_NAME, "Nobody")
    check(wait_until(lambda: selected(probe) is None, 2), "an unknown name kept the selection")
    probe.ask("close")
    probe.wait_exit(10)

    # The edges of the auto-selectable statuses, each on a fresh launcher.
    for status, auto in ((100, True), (12, True), (13, False), (0, False)):
        peer.cmd("clear")
        probe = lan.start_launcher([], lan.appdata())
        probe.wait_window()
        peer.add(10, "Status%d" % status, status=status)
        check(listed(probe, "Status%d" % status, timeout_s=10) is not None, "status %d never listed" % status)
        time.sleep(0.5)
        got = selected(probe)
        check((got == "Status%d" % status) == auto, "status %d: selection %r" % (status, got))
        probe.ask("close")
        probe.wait_exit(10)

    # The remembered login: its name selects, its password comes back with it.
    peer.cmd("clear")
    peer.add(2, "Sierra", status=2)
    peer.add(3, "Tango", status=2)
    probe = lan.start_launcher([], lan.appdata(login=("Sierra", "pw-sierra")))
    probe.wait_window()
    check(probe.text(UI.IDC_SYSTEM_NAME) == "Sierra" and probe.text(UI.IDC_PASSWORD) == "pw-sierra",
          "LOGIN.DAT not read")
    check(wait_until(lambda: selected(probe) == "Sierra", 10), "the remembered name was not selected")
    check(probe.text(UI.IDC_PASSWORD) == "pw-sierra", "selecting the remembered name lost its password")
    probe.type(UI.IDC_SYSTEM_NAME, "Tango")
    check(wait_until(lambda: selected(probe) == "Tango", 2), "typing Tango did not select it")
    check(probe.text(UI.IDC_PASSWORD) == "", "another name kept the remembered password")
    probe.type(UI.IDC_SYSTEM_NAME, "Sierra")
    check(probe.text(UI.IDC_PASSWORD) == "pw-sierra", "the remembered password did not come back")
    probe.ask("select %d" % probe.names().index("Tango"))
    check(probe.text(UI.IDC_SYSTEM_NAME) == "Tango" and probe.text(UI.IDC_PASSWORD) == "",
          "clicking a line did not fill the fields")
    probe.ask("close")
    probe.wait_exit(10)


# ---------------------------------------------------------------------------
# start: a selected line connects straight to its address and port


def connection_log(appdata):
    """The launcher's connection log, as a failure's message shows it."""
    try:
        with open(os.path.join(appdata, *DATA_SUBPATH, "OSKA_Connect_Log.txt"), encoding="latin-1") as f:
            return f.read()
    except OSError as e:
        return "(none: %s)" % e


def expect_viewer_report(path, timeout_s=30):
    def read():
        try:
            with open(path, encoding="latin-1") as f:
                r = dict(l.rstrip("\r\n").partition("=")[::2] for l in f)
        except FileNotFoundError:
            return None
        return r if "exit" in r else None
    r = wait_until(read, timeout_s, 0.1)
    check(r is not None, "the viewer did not run to its end")
    check(r.get("echo") == "ok", "echo over the handed-over connection failed: %r" % r)
    return r


def group_start(lan):
    peer = lan.start_peer()
    sim = lan.start_sim(peer_address(20))
    # The line's address is where the answer came from, its port the answer's.
    peer.add(20, "Delta", port=sim.port, status=2, advertise="10.99.99.99")
    peer.add(21, "Echo", port=sim.port + 1, status=2)
    report = os.path.join(lan.tmp, "viewer-report.txt")
    appdata = lan.appdata()
    probe = lan.start_launcher(["/USER:Delta", "/PASS:secret"], appdata,
                               env={"QV_DEMO_REPORT": win_path(report),
                                    "QV_DEMO_LINGER_MS": "2500"})
    probe.wait_window()
    check(wait_until(lambda: selected(probe) == "Delta", 10), "Delta was not selected")
    # Selecting a line that is not the remembered login empties the password, even
    # one given on the command line; the user types it again.
    check(probe.text(UI.IDC_PASSWORD) == "", "selection kept a password not remembered for Delta")
    probe.type(UI.IDC_PASSWORD, "secret")
    probe.ask("click %d" % UI.IDC_START)
    m = sim.wait_for(r"^conn 0: connected from ([0-9.]+):", 20)
    check(m, "the controller simulator saw no connection:\n  " + sim.text("  "))
    check(m.group(1) == LAUNCHER_ADDRESS, "connection came from %s" % m.group(1))
    check(sim.wait_for(r"^conn 0: login ok", 20), "no login:\n  " + sim.text("  "))

    # While the viewer runs: window hidden, start buttons disabled, no pings.
    check(wait_until(lambda: probe.controls()["window"][0] == "h", 10), "the main window stayed visible")
    c = probe.controls()
    check(c[UI.IDC_START][1] == "d" and c[UI.IDC_START_CONFIGURATOR][1] == "d",
          "start buttons enabled while the viewer runs: %r" % c)
    quiet_from = peer.now()
    time.sleep(1.3)
    pings = [e for e in peer.taken_events("query", since=quiet_from) if e["port"] == DISCOVERY.PING_PORT]
    check(not pings, "discovery went on while the viewer ran")

    expect_viewer_report(report)
    check(wait_until(lambda: probe.controls()["window"][0] == "V", 10),
          "the main window did not come back after the viewer ended")
    check(probe.controls()[UI.IDC_START][1] == "E", "Start Rerudi not enabled again")
    since = peer.now()
    check(wait_until(lambda: [e for e in peer.taken_events("query", since=since)
                              if e["port"] == DISCOVERY.PING_PORT], 3),
          "discovery did not restart")
    check(probe.status() == "running", "the launcher ended with its viewer outside silent mode")
    check(sim.wait_for(r"^conn 0: closed", 10), "the controller connection was not closed")
    check(len(sim.matching(r"connected from")) == 1, "more than one connection:\n  " + sim.text("  "))

    # The login was saved with the selected line's address.
    with open(os.path.join(appdata, *DATA_SUBPATH, "LOGIN.DAT"), "rb") as f:
        saved = f.read()
    check(saved.startswith(struct.pack("<I", 5) + b"Delta" + struct.pack("<I", 6) + b"secret"),
          "LOGIN.DAT holds %r" % saved[:24])
    words = struct.unpack("<7I", saved[19:47])
    check(words[1] == struct.unpack("<I", bytes([10, 77, 0, 20]))[0], "last address %08X" % words[1])

    # A listed controller that refuses the connection: the box, then back to idle.
    step("a controller that refuses the connection")
    probe.type(UI.IDC_SYSTEM_NAME, "echo")
    check(wait_until(lambda: selected(probe) == "Echo", 3), "typing echo did not select Echo")
    probe.type(UI.IDC_PASSWORD, "secret")
    probe.ask("click %d" % UI.IDC_START)
    box = wait_until(lambda: [b for b in probe.fields("boxes")[1:] if "Connection Failed" in b], 20, 0.1)
    check(box, "no \"Connection Failed\" box: %r" % probe.fields("boxes"))
    check(probe.ask("press 1 Connection Failed") == "pressed", "could not press OK")
    check(wait_until(lambda: probe.controls()[UI.IDC_START][1] == "E", 5),
          "Start Rerudi not enabled after the failure")
    since = peer.now()
    check(wait_until(lambda: [e for e in peer.taken_events("query", since=since)
                              if e["port"] == DISCOVERY.PING_PORT], 3),
          "discovery did not restart after the failure")
    check(len(sim.matching(r"connected from")) == 1, "the failed attempt reached the simulator")
    probe.ask("close")
    check(probe.wait_exit(10).startswith("exit"), "the launcher did not close")


# ---------------------------------------------------------------------------
# demo: "/DEMO" connects to this PC whatever is typed, with the fields disabled


def group_demo(lan):
    # The demonstration's controller is this PC: a simulator on 127.0.0.1:80 in the
    # launcher's own namespace.
    sim = lan.track(qh.SimProcess(lan.in_a([
        lan.args.sim, "--listen", "127.0.0.1", "--port", "80", "--password", "",
        "--version", "7.1.1.0", "--viewer-file", lan.args.viewer, "--max-run", "600000"])))
    report = os.path.join(lan.tmp, "demo-report.txt")
    probe = lan.start_launcher(["/DEMO", "/USER:Somewhere"], lan.appdata(),
                               env={"QV_DEMO_REPORT": win_path(report), "QV_DEMO_LINGER_MS": "1500"})
    probe.wait_window()
    c = probe.controls()
    # What stays disabled: the name, the password and the list; Start is enabled.
    check(all(c[i][1] == "d" for i in (UI.IDC_SYSTEM_NAME, UI.IDC_PASSWORD, UI.IDC_SYSTEM_LIST)),
          "demo fields enabled: %r" % c)
    check(c[UI.IDC_START][1] == "E", "Start Rerudi disabled in the demonstration: %r" % c)
    probe.ask("click %d" % UI.IDC_START)
    m = sim.wait_for(r"^conn 0: connected from ([0-9.]+):", 20)
    check(m, "the demonstration did not connect to this PC:\n  " + sim.text("  "))
    check(m.group(1) == "127.0.0.1", "connection came from %s" % m.group(1))
    check(sim.wait_for(r"^conn 0: login ok", 20), "no login:\n  " + sim.text("  "))
    expect_viewer_report(report)
    probe.ask("close")
    check(probe.wait_exit(10).startswith("exit"), "the launcher did not close")


# ---------------------------------------------------------------------------
# silent: the broadcast search by name, and the silent ends


def group_silent(lan):
    peer = lan.start_peer()
    sim = lan.start_sim(peer_address(30), port=80)
    # The answer's own address field is what the search connects to; junk from
    # another controller and a near-miss name must not get in the way. The answer
    # comes after them and a little later, yet well inside the 250 ms search: a
    # later one raced the simulated network's own timers on a loaded machine.
    peer.add(31, "Noisy", junk=True)
    peer.add(32, "echo")
    peer.add(33, "Echo", advertise=peer_address(30), delay_ms=40)
    report = os.path.join(lan.tmp, "viewer-report.txt")
    appdata = lan.appdata()
    probe = lan.start_launcher(["/SILENT", "/USER:Echo", "/PASS:secret"], appdata,
                               env={"QV_DEMO_REPORT": win_path(report),
                                    "QV_DEMO_LINGER_MS": "1500"})
    m = sim.wait_for(r"^conn 0: connected from ([0-9.]+):", 30)
    check(m, "the silent launcher did not connect to the found controller:\n  " + sim.text("  ") +
          "\n  the peer heard: %r\n  connection log:\n  %s" %
          (peer.taken_events()[:20], connection_log(appdata).replace("\n", "\n  ")))
    searches = [e for e in peer.taken_events("query") if e["port"] == DISCOVERY.DISCOVERY_PORT]
    check(searches, "no search broadcast on port 444")
    check(all(e["dst"] == "255.255.255.255" for e in searches), "search not broadcast: %r" % searches[:3])
    # The 50 ms interval: within the 250 ms search only a handful of queries.
    check(len(searches) <= 8, "%d search queries" % len(searches))
    r = expect_viewer_report(report)
    viewer_end = time.monotonic()
    check(r.get("program", "").upper() == "BRIGHTLEAF.EXE", "started %r" % r.get("program"))
    state = probe.wait_exit(10)
    check(state.startswith("exit"), "the silent launcher did not end with its viewer")
    say("  silent launcher ended %.1f s after the viewer's report" % (time.monotonic() - viewer_end))

    # /TYPE:2 starts nothing and ends on the first tick.
    sims_before = len(sim.matching(r"connected from"))
    probe = lan.start_launcher(["/TYPE:2", "/SILENT", "/USER:Echo", "/PASS:secret"], lan.appdata())
    started = time.monotonic()
    state = probe.wait_exit(15)
    took = time.monotonic() - started
    check(state.startswith("exit"), "/TYPE:2 /SILENT did not end")
    check(len(sim.matching(r"connected from")) == sims_before, "/TYPE:2 connected to the controller")
    say("  /TYPE:2 /SILENT ended %.1f s after it was started" % took)


# ---------------------------------------------------------------------------
# ipconfig: reading and setting a controller's configuration record


def make_record(ip, mask, gateway, dns, salt):
    def le(a):
        b = [int(x) for x in a.split(".")]
        return struct.pack("<I", (b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3])
    rest = bytes((i * 7 + salt) & 0xFF for i in range(84))
    return le(ip) + le(mask) + le(gateway) + le(dns) + rest


def run_config_command(lan, peer, probe, target, button, quiet=None):
    """Opens the IP dialog on the selected controller, presses button; the set datagrams.
    quiet: a controller that stops answering once the dialog is open."""
    check(wait_until(lambda: selected(probe) == target, 10), "%s not selected" % target)
    since = peer.now()
    probe.ask("click %d" % UI.IDC_CONFIGURE_IP)
    d = wait_until(lambda: probe.ask("dialog %s" % IP_DIALOG).startswith("dialog"), 20, 0.1)
    check(d, "the IP configuration dialog did not open")
    if quiet is not None:
        peer.cmd("silence", addr=peer_address(quiet))
    shown = probe.fields("dlgip %d %s" % (UI.IDC_IP_ADDRESS, IP_DIALOG))
    check(probe.ask("dlgclick %d %s" % (button, IP_DIALOG)) == "clicked", "could not press %d" % button)
    # Four sends 250 ms apart, then the window closes.
    time.sleep(2.0)
    check(wait_until(lambda: probe.ask("dialog %s" % IP_DIALOG) == "none", 10), "the dialog stayed open")
    queries = [e for e in peer.taken_events("query", since=since) if e["kind"] == "config"]
    return shown, queries, peer.taken_events("config_set", since=since)


def group_ipconfig(lan):
    peer = lan.start_peer()
    record = make_record("192.168.5.77", "255.255.255.0", "192.168.5.1", "8.8.4.4", 3)
    other = make_record("10.1.2.3", "255.0.0.0", "10.0.0.1", "10.0.0.2", 99)
    # Another controller answers first: its record must not be what is edited.
    peer.add(40, "Foxtrot", status=2, config_hex=record.hex(), delay_ms=150)
    peer.add(41, "Golf", status=2, config_hex=other.hex())
    probe = lan.start_launcher(["/USER:Foxtrot"], lan.appdata())
    probe.wait_window()

    # Foxtrot goes quiet during the command, so that the buttons are seen as the command
    # left them: the discovery it restarts would find Foxtrot again, and a line of the
    # typed name, new once the old one has aged out, is selected and enables them.
    shown, queries, sets = run_config_command(lan, peer, probe, "Foxtrot", UI.IDC_SET_DHCP, quiet=40)
    check(queries and queries[0]["src"] == launcher_ping_endpoint(), "config query from %r" % queries[:1])
    check(shown == ["ip", "192.168.5.77"], "the dialog shows %r" % shown)
    check(len(sets) == 4, "%d set datagrams after Set DHCP" % len(sets))
    check([s["dst"] for s in sets[:2]] == [peer_address(40)] * 2, "first two not to the controller: %r" % sets)
    check(all(s["broadcast"] for s in sets[2:]) and [s["dst"] for s in sets[2:]] == ["255.255.255.255"] * 2,
          "last two not broadcast: %r" % [s["dst"] for s in sets])
    check(all(s["src"] == launcher_ping_endpoint() for s in sets), "sets not from the adapter's 1444")
    dhcp = bytes(16) + record[16:]
    check(all(bytes.fromhex(s["record"]) == dhcp for s in sets), "Set DHCP record wrong: %s" % sets[0]["record"])
    times = [s["t"] for s in sets]
    check(all(0.15 <= b - a <= 0.6 for a, b in zip(times, times[1:])), "sends not 250 ms apart: %r" % times)
    c = probe.controls()
    check(all(c[i][1] == "d" for i in (UI.IDC_START, UI.IDC_START_CONFIGURATOR, UI.IDC_CONFIGURE_IP)),
          "buttons after the command: %r" % c)
    peer.cmd("silence", addr=peer_address(40), on=False)

    # OK without changes: the record goes back as it came.
    probe.type(UI.IDC_SYSTEM_NAME, "Foxtrot")
    _, _, sets = run_config_command(lan, peer, probe, "Foxtrot", 1)
    check(len(sets) == 4 and all(bytes.fromhex(s["record"]) == record for s in sets),
          "OK without changes sent %r" % [s["record"][:40] for s in sets])

    # Cancel: nothing is sent, discovery restarts.
    probe.type(UI.IDC_SYSTEM_NAME, "Foxtrot")
    _, _, sets = run_config_command(lan, peer, probe, "Foxtrot", 2)
    check(not sets, "Cancel sent %d datagrams" % len(sets))
    since = peer.now()
    check(wait_until(lambda: [e for e in peer.taken_events("query", since=since)
                              if e["kind"] == "discovery" and e["port"] == DISCOVERY.PING_PORT], 3),
          "discovery did not restart")
    probe.ask("close")
    probe.wait_exit(10)


# ---------------------------------------------------------------------------
# robustness: damaged datagrams and floods


def group_robustness(lan):
    peer = lan.start_peer()
    # An unterminated 28-byte name, a controller that sends junk of every size with
    # each answer, and configuration replies of every size before the real one.
    long_name = "N" * 28
    peer.add(50, "x", name_hex=long_name.encode().hex(), status=2)
    peer.add(51, "Junky", junk=True, status=2)
    record = make_record("172.16.0.9", "255.255.0.0", "172.16.0.1", "1.1.1.1", 17)
    peer.add(52, "Kilo", status=2, config_hex=record.hex(), config_junk=True)
    probe = lan.start_launcher(["/USER:Kilo"], lan.appdata())
    probe.wait_window()
    check(listed(probe, "Junky", timeout_s=10) is not None, "the junk-sending controller was not listed")
    names = wait_until(lambda: [n for n in probe.names() if n.startswith("NNN")], 5)
    check(names and len(names[0]) <= 27 and set(names[0]) == {"N"}, "unterminated name shown as %r" % names)

    # Every size 0..300 but an answer's own straight at the discovery socket, from several senders.
    step("malformed datagrams of every size")
    for n in (53, 54, 55):
        peer.cmd("malformed", to=launcher_ping_endpoint(), src=peer_address(n), first=0, last=300)
    done = wait_until(lambda: len(peer.taken_events("malformed_done")) == 3, 20, 0.1)
    check(done and all(e["sent"] == 300 for e in peer.taken_events("malformed_done")),
          "malformed bursts: %r" % peer.taken_events("malformed_done"))
    time.sleep(1.0)
    check(probe.status() == "running", "the launcher ended after malformed datagrams")
    names = probe.names()
    check(sorted(names) == sorted(["Junky", "Kilo", "N" * 27]), "junk became a line: %r" % names)

    step("configuration replies of every size")
    shown, _, sets = run_config_command(lan, peer, probe, "Kilo", 1)
    check(shown == ["ip", "172.16.0.9"], "the dialog shows %r" % shown)
    check(len(sets) == 4 and all(bytes.fromhex(s["record"]) == record for s in sets),
          "record sent back changed: %r" % [s["record"][:40] for s in sets])

    # Bursts of answers from every address with ever new names, as fast as the peer
    # can send them: each address keeps at most one line, the launcher stays alive,
    # does not grow, and its timer gets back to work between bursts. The first burst
    # brings the list to its full size before the memory is measured.
    step("bursts of answers")
    pid = lan.wine_pids()[0]
    check(pid, "cannot find the launcher's process")
    sources = [peer_address(n) for n in range(2, 50)]
    peer.add(57, "Latecomer", status=2)
    memory = None
    for burst in range(6):
        peer.cmd("flood", to=launcher_ping_endpoint(), count=1500, rate=0, sources=sources, names="rotate")
        if memory is None:
            check(wait_until(lambda: peer.taken_events("flood_done"), 30, 0.1), "the first burst did not finish")
            memory = AnswerMemory(pid, peer)
        else:
            time.sleep(1.0)
    done = wait_until(lambda: len(peer.taken_events("flood_done")) == 6, 30, 0.2)
    check(done, "the bursts did not finish")
    memory.expect_bounded()
    took = listed(probe, "Latecomer", timeout_s=5)
    check(took is not None, "a controller was not listed after the bursts: %r" % probe.names())
    count = len(probe.names())
    check(count <= 59 + 1, "%d lines for at most 59 senders" % count)
    peer.cmd("silence", addr=peer_address(57), on=True)
    check(listed(probe, "Latecomer", present=False, timeout_s=40) is not None,
          "a silent controller did not go after the bursts")
    check(probe.status() == "running", "the launcher ended after the bursts")
    probe.ask("close")
    check(probe.wait_exit(10).startswith("exit"), "the launcher did not close after the bursts")


# The leak the flood checks must catch: bytes kept for each answer the launcher reads.
# The bound is a quarter of that for each answer read. The steady launcher grows by
# nothing at all (the heap it needs is there after the first flood); a leak shows at
# most of its size even where it first fills heap that earlier work left free (73 to
# 112 bytes for each answer, measured for a leak of 100).
LEAK_PER_ANSWER = 100
# Fewer answers than this give a bound of under two memory pages.
MEASURED_ANSWERS = 300


class AnswerMemory:
    """The launcher's memory against the answers it has read since it was made.

    Under Wine the resident set of the process also holds the pages of the Windows
    DLLs, mapped from files and paged in as new code first runs; a leak lives in the
    heap, which is anonymous memory, so RssAnon is what is compared. The answers are
    those the launcher's network namespace delivered (InDatagrams), not those sent:
    a flood overruns the socket's queue, and an answer dropped there (RcvbufErrors)
    never reaches the launcher. Each reading waits until the launcher has taken every
    queued datagram and a tick has passed."""

    def __init__(self, pid, peer):
        self.pid = pid
        self.peer = peer
        self.start = self.reading()

    def reading(self):
        drained = wait_until(lambda: qh.udp_queued(self.pid, DISCOVERY.PING_PORT) == 0, 10, 0.05)
        check(drained, "the launcher left datagrams unread for 10 s")
        time.sleep(2 * TICK_MS / 1000.0)
        counters = qh.udp_counters(self.pid)
        anon = qh.status_kb(self.pid, "RssAnon")
        check(counters and anon is not None, "the launcher's process has gone")
        return anon, counters["InDatagrams"], counters["RcvbufErrors"], self.sent()

    def sent(self):
        return sum(e["sent"] for e in self.peer.taken_events("flood_done"))

    def expect_bounded(self):
        anon, delivered, dropped, sent = self.reading()
        grown_kb = anon - self.start[0]
        answers = delivered - self.start[1]
        bound_kb = answers * LEAK_PER_ANSWER / 4 / 1024.0
        say("  anonymous memory %d kB -> %d kB (%+d kB) over %d answers read (%d dropped by the full socket"
            " queue, of %d sent); bound %.0f kB" %
            (self.start[0], anon, grown_kb, answers, dropped - self.start[2], sent - self.start[3], bound_kb))
        check(answers >= MEASURED_ANSWERS, "only %d answers reached the launcher: too few to see a leak of %d"
              " bytes each" % (answers, LEAK_PER_ANSWER))
        check(grown_kb <= bound_kb, "memory grew by %d kB over %d answers read (%.0f bytes each; a leak of %d"
              " bytes each fails)" % (grown_kb, answers, grown_kb * 1024.0 / answers, LEAK_PER_ANSWER))


# ---------------------------------------------------------------------------
# flood: a host that never stops answering must not take the window's thread


def group_flood(lan):
    peer = lan.start_peer()
    peer.add(2, "Mike", status=2)
    probe = lan.start_launcher(["/USER:Nobody"], lan.appdata())
    probe.wait_window()
    check(listed(probe, "Mike", timeout_s=10) is not None, "Mike never appeared")
    pid = lan.wine_pids()[0]
    check(pid, "cannot find the launcher's process")
    sources = [peer_address(n) for n in range(3, 50)]
    # A first, short flood brings the list to its full size before the memory is measured.
    peer.cmd("flood", to=launcher_ping_endpoint(), count=3000, rate=3000, sources=sources, names="rotate")
    check(wait_until(lambda: peer.taken_events("flood_done"), 30, 0.1), "the first flood did not finish")
    memory = AnswerMemory(pid, peer)
    first = len(peer.taken_events("flood_done"))
    flood_from = peer.now()
    peer.cmd("flood", to=launcher_ping_endpoint(), count=18000, rate=3000, sources=sources, names="rotate")
    worst = 0.0
    while len(peer.taken_events("flood_done")) == first:
        asked = time.monotonic()
        reply = probe.ask("list", 30)
        worst = max(worst, time.monotonic() - asked)
        check(reply.startswith("list") or reply == "hung", "list: %s" % reply)
        time.sleep(0.2)
    flood_end = peer.now()
    say("  slowest answer of the window during the flood: %.2f s" % worst)
    check(worst < 1.0, "the window did not answer for %.1f s during a flood of 3000 answers/s" % worst)
    # The timer kept its pace: its pings went out about every 600 ms throughout.
    pings = [e["t"] for e in peer.taken_events("query", since=flood_from)
             if e["kind"] == "discovery" and e["port"] == DISCOVERY.PING_PORT and e["t"] <= flood_end]
    gaps = [(b - a) * 1000 for a, b in zip([flood_from] + pings, pings + [flood_end])]
    say("  longest time without a ping during the flood: %.0f ms" % max(gaps))
    check(max(gaps) <= 1000, "the timer fell behind during the flood: %d pings, gaps up to %.0f ms"
          % (len(pings), max(gaps)))
    peer.add(57, "Latecomer", status=2)
    check(listed(probe, "Latecomer", timeout_s=5) is not None, "the list did not recover after the flood")
    check(len(probe.names()) <= 59 + 1, "more lines than senders")
    memory.expect_bounded()
    probe.ask("close")
    check(probe.wait_exit(10).startswith("exit"), "the launcher did not close after the flood")


GROUPS = {
    "list": group_list,
    "selection": group_selection,
    "start": group_start,
    "demo": group_demo,
    "silent": group_silent,
    "ipconfig": group_ipconfig,
    "robustness": group_robustness,
    "flood": group_flood,
}


def main():
    ap = qh.scenario_parser(__doc__, "--group", GROUPS, required=True)
    ap.add_argument("--probe", required=True)
    qh.add_wine_options(ap, "QV_LAN_WINEPREFIX", "Wine prefix of the groups (default: one per architecture under /tmp)")
    args = qh.parse_scenario_args(ap)

    missing = qh.first_missing(args, ("launcher", "probe", "viewer", "sim"))
    if missing:
        return qh.skip_exit("%s not built (%r)" % missing)
    failed = wine_setup(args)
    if failed:
        return failed
    names = sorted(GROUPS) if args.group == "all" else [args.group]
    return qh.run_each(names, lambda name: Lan(args), lambda name, lan: GROUPS[name](lan))


if __name__ == "__main__":
    sys.exit(main())
