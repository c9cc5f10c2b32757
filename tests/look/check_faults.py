#!/usr/bin/env python3
"""Proves that check_look.py sees the faults it is there for.

usage: check_faults.py SHOTS_JSON

Takes a set of shots that passed, paints one fault at a time into a copy of a
picture (ImageMagick), and expects the matching rule to fail, and only rules about
that part of the window. Exit code 0 when every fault was caught.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing cached next to the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_look  # noqa: E402
import qvharness  # noqa: E402 (found through check_look)
from headers import UI  # noqa: E402 (found through check_look)


def background_spot(shot, row):
    """A client pixel of the given client row that no visible control covers."""
    c = shot.client
    y = c[1] + row
    covered = [v["rect"] for v in shot.controls.values() if v["visible"]]
    for x in range(c[0] + 1, c[2] - 1):
        if not any(r[0] - 2 <= x < r[2] + 2 and r[1] - 2 <= y < r[3] + 2 for r in covered):
            return x, y
    raise RuntimeError("no free background in row %d of %s" % (row, shot.name))


def rect_arg(x0, y0, x1, y1):
    return "rectangle %d,%d %d,%d" % (x0, y0, x1, y1)


def faults(shots):
    """(name, shot, ImageMagick arguments, words that the failing rules' names hold)."""
    out = []
    sel = shots.get("selected") or shots.get("tall")
    tall = shots.get("tall")
    compact = shots["compact"]

    x, y = background_spot(compact, 250)
    out.append(("one dark grey pixel in the black background", compact,
                ["-fill", "rgb(1,1,1)", "-draw", "point %d,%d" % (x, y)], "background"))
    if tall:
        h = tall.client[3] - tall.client[1]
        row = 700
        level = check_look.grey_level(row, h) + 1
        x, y = background_spot(tall, row)
        out.append(("one gradient pixel a level too light", tall,
                    ["-fill", "rgb(%d,%d,%d)" % (level, level, level), "-draw", "point %d,%d" % (x, y)],
                    "background"))
        x, y = tall.client[0] + 1, tall.client[3] - 1
        out.append(("a last row that stays black", tall,
                    ["-fill", "black", "-draw", rect_arg(tall.client[0], y, tall.client[2] - 1, y)],
                    ("last row", "background")))

    b = compact.controls[UI.IDC_START]["rect"]
    out.append(("a start button face of 127 grey", compact,
                ["-fill", "rgb(127,127,127)", "-draw", rect_arg(b[0] + 5, b[1] + 5, b[0] + 12, b[1] + 12)],
                "button %d" % UI.IDC_START))
    out.append(("a start button without its left outline", compact,
                ["-fill", "rgb(128,128,128)", "-draw", rect_arg(b[0], b[1] + 10, b[0], b[3] - 10)],
                "button %d" % UI.IDC_START))
    out.append(("a start button whose text is not drawn", compact,
                ["-fill", "rgb(128,128,128)", "-draw", rect_arg(b[0] + 4, b[1] + 4, b[2] - 4, b[3] - 4)],
                "button %d" % UI.IDC_START))

    expanded = shots.get("expanded")
    if expanded:
        o = expanded.controls[UI.IDC_OPTIONS]["rect"]
        out.append(("a disabled button drawn with the grey face", expanded,
                    ["-region", "%dx%d+%d+%d" % (o[2] - o[0] - 6, o[3] - o[1] - 6, o[0] + 3, o[1] + 3),
                     "-fill", "rgb(128,128,128)", "-opaque", "black"],
                    "button %d" % UI.IDC_OPTIONS))
        v = expanded.controls[UI.IDC_VERSION]["rect"]
        out.append(("a version label in light grey", expanded,
                    ["-region", "%dx%d+%d+%d" % (v[2] - v[0], v[3] - v[1], v[0], v[1]),
                     "-fill", "rgb(225,225,225)", "-opaque", "rgb(200,150,0)"],
                    "label %d" % UI.IDC_VERSION))

    p = compact.controls[UI.IDC_PRIVACY_POLICY]["rect"]
    out.append(("a privacy link in plain blue", compact,
                ["-region", "%dx%d+%d+%d" % (p[2] - p[0], p[3] - p[1], p[0], p[1]),
                 "-fill", "rgb(0,0,255)", "-opaque", "rgb(75,75,255)"],
                "label %d" % UI.IDC_PRIVACY_POLICY))
    e = compact.controls[UI.IDC_PASSWORD]["client"]
    out.append(("a white password field", compact,
                ["-fill", "white", "-draw", rect_arg(e[0] + 20, e[1], e[2] - 1, e[3] - 1)],
                "edit %d" % UI.IDC_PASSWORD))

    if sel and sel.layout["list"]["selected"] >= 0:
        line = sel.layout["list"]["lines"][sel.layout["list"]["selected"]]["rect"]
        out.append(("a selected line a shade off amber", sel,
                    ["-region", "%dx%d+%d+%d" % (line[2] - line[0], line[3] - line[1], line[0], line[1]),
                     "-fill", "rgb(200,150,1)", "-opaque", "rgb(200,150,0)"],
                    "(selected)"))
        out.append(("black boxes behind the selected line's text", sel,
                    ["-fill", "black", "-draw", rect_arg(line[0] + 2, line[1] + 1, line[0] + 8, line[3] - 2)],
                    "(selected)"))
        other = sel.layout["list"]["lines"][0]["rect"]
        out.append(("an unselected line without its address", sel,
                    ["-fill", "black", "-draw", rect_arg((other[0] + other[2]) // 2, other[1],
                                                         other[2] - 1, other[3] - 1)],
                    "line 0"))
    return out


def main(path):
    with open(path) as f:
        manifest = json.load(f)
    entries = {e["name"]: e for e in manifest["shots"]}
    shots = {n: check_look.Shot(e) for n, e in entries.items()}
    tmp = tempfile.mkdtemp(prefix="rerudi-look-faults-")
    missed = 0
    try:
        for i, (what, shot, im_args, rule_words) in enumerate(faults(shots)):
            png = os.path.join(tmp, "%02d.png" % i)
            subprocess.run(["convert", entries[shot.name]["png"]] + im_args + [png], check=True, timeout=60)
            entry = dict(entries[shot.name], png=png)
            broken = check_look.Shot(entry)
            for step in ("check_state", "check_background", "check_buttons", "check_texts", "check_edits",
                         "check_list"):
                getattr(broken, step)()
            if broken.client[3] - broken.client[1] > check_look.BLACK_ROWS + 1:
                broken.check_last_row()
            failed = [r for r, ok, _ in broken.results if not ok]
            if isinstance(rule_words, str):
                rule_words = (rule_words,)
            caught = [r for r in failed if any(w in r for w in rule_words)]
            others = [r for r in failed if not any(w in r for w in rule_words)]
            if caught and not others:
                print("caught  %s (%s): %s" % (what, shot.name, caught[0]))
            else:
                missed += 1
                print("MISSED  %s (%s): failed rules %r" % (what, shot.name, failed))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("%d fault(s) not caught" % missed if missed else "every fault was caught")
    return 1 if missed else 0


if __name__ == "__main__":
    qvharness.main_on_one_path(__doc__, main)
