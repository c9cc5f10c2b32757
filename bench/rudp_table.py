#!/usr/bin/env python3
"""Prints the reliable stream's benchmark results (google benchmark JSON) as
tables: goodput as a share of the window bound, the controller's policy beside
ours for each path and direction; the path changing under a transfer (a
round-trip step, a reader that stops) for both policies; then CPU per MB on the
loopback."""
import json
import sys

POLICIES = {0: "controller", 1: "ours"}
DIRECTIONS = {0: "launcher -> controller", 1: "controller -> launcher"}


def args_of(name):
    return dict(part.split(":") for part in name.split("/")[1:] if ":" in part and not part.startswith("iter"))


def print_steady(table):
    print("Goodput as a share of the window bound (24 x 1390 bytes per round trip), %s" %
          "each run a fixed time on the impairment proxy's path")
    print("%-6s %-5s %-24s %18s %18s" % ("rtt", "loss", "direction", POLICIES[0], POLICIES[1]))
    for (rtt, loss, direction) in sorted(table):
        row = table[(rtt, loss, direction)]
        cells = []
        for policy in (0, 1):
            cell, mbps = row.get(policy, ("-", 0))
            cells.append("%s %6.3f MB/s" % (cell, mbps) if cell.endswith("%") else cell)
        print("%-6s %-5s %-24s %18s %18s" % ("%d ms" % rtt, "%g%%" % (loss / 10.0), DIRECTIONS[direction],
                                             cells[0], cells[1]))


def print_step(runs):
    print("Round trip 20 -> 200 ms in the middle of a transfer, back to 20 ms later; launcher -> controller, "
          "no loss, the path in order")
    print("%-11s %26s %30s %26s" % ("policy", "sendings per packet after", "goodput, share of the bound",
                                    "sendings per packet after"))
    print("%-11s %26s %30s %26s" % ("", "the rise (target <= 1.1)", "at 200 ms after the rise", "the fall"))
    for policy in sorted(runs):
        run = runs[policy]
        if run.get("error_occurred"):
            print("%-11s %s" % (POLICIES[policy], run.get("error_message", "failed")))
            continue
        print("%-11s %26.3f %29.1f%% %26.3f" % (POLICIES[policy], run["rise_sendings_per_packet"],
                                                  run["of_bound_pct"], run["fall_sendings_per_packet"]))


def print_paused(runs):
    print("A reader that stops for 2 s, controller -> launcher, 20 ms round trip, no loss")
    print("%-11s %18s %20s %34s %20s" % ("policy", "a megabyte, never", "restart to the next",
                                         "target: round trip + the megabyte", "longest wait for"))
    print("%-11s %18s %20s %34s %20s" % ("", "stopped", "megabyte", "", "data after it"))
    for policy in sorted(runs):
        run = runs[policy]
        if run.get("error_occurred"):
            print("%-11s %s" % (POLICIES[policy], run.get("error_message", "failed")))
            continue
        target = run["rtt_ms"] + run["steady_MB_ms"]
        verdict = "within" if run["restart_MB_ms"] <= target else "%.0f ms over" % (run["restart_MB_ms"] - target)
        print("%-11s %15.0f ms %17.0f ms %34s %17.0f ms" % (POLICIES[policy], run["steady_MB_ms"],
                                                            run["restart_MB_ms"], "%.0f ms, %s" % (target, verdict),
                                                            run.get("longest_wait_ms", 0)))


def main(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    table, step, paused = {}, {}, {}
    other = []
    for run in runs:
        name = run["name"]
        if name.startswith("BM_RudpTable/"):
            args = args_of(name)
            key = (int(args["rtt"]), int(args["loss"]), int(args["dir"]))
            cell = "failed" if run.get("error_occurred") else "%5.1f%%" % run["of_bound_pct"]
            table.setdefault(key, {})[int(args["policy"])] = (cell, run.get("goodput_MBps", 0))
        elif name.startswith("BM_RudpRttStep/"):
            step[int(args_of(name)["policy"])] = run
        elif name.startswith("BM_RudpPausedReader/"):
            paused[int(args_of(name)["policy"])] = run
        else:
            other.append(run)
    if table:
        print_steady(table)
    if step:
        print()
        print_step(step)
    if paused:
        print()
        print_paused(paused)
    if other:
        print()
    for run in other:
        if run.get("error_occurred"):
            print("%s: %s" % (run["name"], run.get("error_message", "failed")))
            continue
        extras = ", ".join("%s %.3g" % (k, run[k]) for k in ("goodput_MBps", "cpu_ms_per_MB", "of_bound_pct",
                                                             "lost_pct") if k in run)
        print("%s: %s" % (run["name"].split("/")[0] + "/" + "/".join(
            p for p in run["name"].split("/")[1:] if not p.startswith(("iterations", "manual"))), extras))


if __name__ == "__main__":
    main(sys.argv[1])
