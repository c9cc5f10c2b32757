"""The remote procedure's status lines, road by road, as the progress window shows
them and the connection log holds them (the remote part; the login's lines follow).

Used by the NAT lab's self-tests against natlauncher's JSON lines, and meant for
the scenarios that read the connection log of the launcher under Wine:

    import roads
    want = roads.punched("HomeLab", "Relay2") + roads.LOGIN
    problem = roads.compare(lines, want)      # None when they agree

Expected items are plain texts (equal) or compiled patterns (full match). A run of
"Creating Connection" lines (one more dot each, up to 32) is folded into the single
item roads.CREATING before comparing, since stray datagrams during the hole punch
add lines to it.
"""

import re

CREATING = "Creating Connection*"
LOGIN = ["Get Challenge", "Challenge OK", "Login OK"]
STATE_TEXT = {0: "Initialize", 4: "Asymm NAT Detected", 5: "Symm NAT Detected", 6: "Server Error"}
_CREATING_LINE = re.compile(r"^Creating Connection(\.+)$")


def opening(system, state, relay):
    """From the start up to the lookup at the relay that serves the name."""
    return ["Starting Connection to '%s'" % system, "Discovering Network...",
            "Client Network State = %d" % state, STATE_TEXT[state], "Using STUN Server: %s" % relay]


def punched(system, relay):
    """Endpoint-independent NATs: a direct lookup, hole punching, the reliable stream."""
    return opening(system, 4, relay) + ["Found Target System", CREATING, "UDP Connect OK"]


def turn(system, relay, state, sid=None):
    """A relayed lookup answered with a relayed session (state 5 or 6)."""
    return opening(system, state, relay) + [_sid(sid)]


def punch_failed_turn(system, relay, sid=None):
    """State 4, but no hello crosses: a relayed lookup from a fresh socket follows."""
    return opening(system, 4, relay) + [
        "Found Target System", CREATING, "STUN connection timeout, no response from controller",
        "FAILED: Trying TURN", "Using STUN Server: %s" % relay, _sid(sid)]


def tcp_ack(system, relay, state):
    """The relay names a TCP endpoint: the direct road, no line of its own."""
    return opening(system, state, relay)


def dserver(system, relay, state, dserver_at, address, port, flags=(1, 1, 1, 0), relay_failure="nack"):
    """The relay does not lead to the controller (FIND NACK, or no answer at all when
    UDP is blocked); the discovery server names its address."""
    if relay_failure == "nack":
        failed = ["Controller is not active with STUN server", "Could not locate Controller"]
    else:
        failed = ["No response from STUN server", "No Response from server"]
    found, licensed, open_, relayed = flags
    return opening(system, state, relay) + failed + [
        "Connecting through discover server", "Connecting to D.SERVER", "D.SERVER address = %s" % dserver_at,
        "Querying D.SERVER",
        "Fnd:%d Lic:%d Addr:%s Port:%d Open:%d Relay:%d" % (found, licensed, address, port, open_, relayed),
        "TCP direct -> %s:%d" % (address, port)]


def _sid(sid):
    return "TURN: (sid:%d)" % sid if sid is not None else re.compile(r"TURN: \(sid:\d+\)")


def fold(lines):
    """The lines with each run of "Creating Connection" lines folded into CREATING;
    raises ValueError when a run's dots do not grow by one from 1 (at most 32: the
    line is not repeated once it is that long)."""
    out, dots = [], 0
    for line in lines:
        m = _CREATING_LINE.match(line)
        if not m:
            out.append(line)
            dots = 0
            continue
        n = len(m.group(1))
        if n != dots + 1:
            raise ValueError("dots of %r follow %d dots" % (line, dots))
        dots = n
        if not out or out[-1] != CREATING:
            out.append(CREATING)
    return out


def compare(lines, expected):
    """None when the lines agree with the expected items, else what differs."""
    try:
        got = fold(lines)
    except ValueError as e:
        return str(e)
    for i, want in enumerate(expected):
        if i >= len(got):
            return "line %d missing: expected %r; got %r" % (i + 1, _show(want), got)
        ok = want.fullmatch(got[i]) if hasattr(want, "fullmatch") else got[i] == want
        if not ok:
            return "line %d is %r, expected %r; all: %r" % (i + 1, got[i], _show(want), got)
    if len(got) > len(expected):
        return "extra lines after %d: %r" % (len(expected), got[len(expected):])
    return None


def _show(want):
    return want.pattern if hasattr(want, "pattern") else want


def sid_of(lines):
    """The session id of the relayed session's line, or None."""
    for line in lines:
        m = re.fullmatch(r"TURN: \(sid:(\d+)\)", line)
        if m:
            return int(m.group(1))
    return None
