#!/usr/bin/env python3
"""Prints the reliable stream's benchmark results (google benchmark JSON) as a
table: goodput as a share of the window bound, the controller's policy beside
ours for each path and direction, then CPU per MB on the loopback."""
import json
import sys

POLICIES = {0: "controller", 1: "ours"}
DIRECTIONS = {0: "launcher -> controller", 1: "controller -> launcher"}


def main(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    table = {}
    other = []
    for run in runs:
        name = run["name"]
        if name.startswith("BM_RudpTable/"):
            args = dict(part.split(":") for part in name.split("/")[1:] if ":" in part and not part.startswith("iter"))
            key = (int(args["rtt"]), int(args["loss"]), int(args["dir"]))
            cell = "failed" if run.get("error_occurred") else "%5.1f%%" % run["of_bound_pct"]
            table.setdefault(key, {})[int(args["policy"])] = (cell, run.get("goodput_MBps", 0))
        else:
            other.append(run)
    if table:
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
