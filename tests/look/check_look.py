#!/usr/bin/env python3
"""Judges the main window's screenshots (made by shoot.py) by its colour and layout rules.

usage: check_look.py SHOTS_JSON

Every shot is a PNG of the whole screen and a JSON layout (screen rectangles of the
window's client area, its controls and the list's lines, with visibility, enabled
state and texts). Pixels are read through ImageMagick's `convert` (no Python imaging
library needed). Exit code 0 when every rule holds, 1 otherwise.

Text is antialiased, so a text pixel is accepted when it lies between the background
and the text colour (one coverage value for all three channels), and somewhere in the
text the colour itself must appear.
"""

import json
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing cached next to the sources
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import qvharness  # noqa: E402
from headers import UI  # noqa: E402

BLACK = (0, 0, 0)
WHITE = (255, 255, 255)
GREY = (128, 128, 128)
LIGHT_GREY = (225, 225, 225)
AMBER = (200, 150, 0)
LINK_BLUE = (75, 75, 255)

BUTTONS = (UI.IDC_START, UI.IDC_START_CONFIGURATOR, UI.IDC_OPTIONS, UI.IDC_CONFIGURE_IP)
BLACK_ROWS = 600  # rows 0..600 of the client area are black in every window
TEXT_TOLERANCE = 3


# --------------------------------------------------------------------------- pixels

class Image:
    def __init__(self, path):
        raw = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], capture_output=True, check=True,
                             timeout=60).stdout
        fields, pos = [], 0
        while len(fields) < 4:  # P6 width height maxval, with optional comments
            while raw[pos:pos + 1].isspace():
                pos += 1
            if raw[pos:pos + 1] == b"#":
                pos = raw.index(b"\n", pos) + 1
                continue
            end = pos
            while not raw[end:end + 1].isspace():
                end += 1
            fields.append(raw[pos:end])
            pos = end
        if fields[0] != b"P6" or fields[3] != b"255":
            raise ValueError("unexpected picture format from convert: %r" % fields)
        self.width, self.height = int(fields[1]), int(fields[2])
        self.data = raw[pos + 1:]
        if len(self.data) < self.width * self.height * 3:
            raise ValueError("short picture data in " + path)

    def px(self, x, y):
        i = (y * self.width + x) * 3
        d = self.data
        return (d[i], d[i + 1], d[i + 2])


def clip(rect, bounds):
    return [max(rect[0], bounds[0]), max(rect[1], bounds[1]), min(rect[2], bounds[2]), min(rect[3], bounds[3])]


def area(rect):
    return max(0, rect[2] - rect[0]) * max(0, rect[3] - rect[1])


def pixels(img, rect):
    for y in range(rect[1], rect[3]):
        for x in range(rect[0], rect[2]):
            yield x, y, img.px(x, y)


def near(p, colour, tol=TEXT_TOLERANCE):
    return all(abs(a - b) <= tol for a, b in zip(p, colour))


def is_blend(p, bg, fg, tol=6):
    """True when p = bg + a * (fg - bg) for one coverage a in [0, 1], give or take tol."""
    spans = [f - b for f, b in zip(fg, bg)]
    widest = max(range(3), key=lambda c: abs(spans[c]))
    if abs(spans[widest]) < 1:
        return near(p, bg, tol)
    # Along the widest channel the pixel must lie between the two colours exactly:
    # a shade beyond either end is another colour, not a partly covered pixel.
    if not min(bg[widest], fg[widest]) <= p[widest] <= max(bg[widest], fg[widest]):
        return False
    a = (p[widest] - bg[widest]) / spans[widest]
    return all(abs(p[c] - (bg[c] + a * spans[c])) <= tol for c in range(3))


def coverage(p, bg, fg):
    """How far p has gone from bg towards fg, along the channel where they differ most."""
    spans = [f - b for f, b in zip(fg, bg)]
    widest = max(range(3), key=lambda c: abs(spans[c]))
    if abs(spans[widest]) < 1:
        return 0.0
    return (p[widest] - bg[widest]) / spans[widest]


def survey(img, rect, background, fg, origin, tol=TEXT_TOLERANCE):
    """A rectangle's pixels against its background (background(y) for row y) and the
    colour fg drawn on it: (how many pixels, how many are the background, the first
    three that are neither background nor a blend towards fg (placed from origin), the
    column of each pixel within tol of fg)."""
    total = plain = 0
    strays, hits = [], []
    for x, y, p in pixels(img, rect):
        total += 1
        bg = background(y)
        if p == bg:
            plain += 1
            continue
        if not is_blend(p, bg, fg):
            if len(strays) < 3:
                strays.append("(%d,%d) %s" % (x - origin[0], y - origin[1], p))
            continue
        if near(p, fg, tol):
            hits.append(x)
    return total, plain, strays, hits


def grey_level(row, height):
    """Background level of a client row: black to row 600, then towards grey."""
    if row <= BLACK_ROWS:
        return 0
    return (200 * row - 120000) // height


# --------------------------------------------------------------------------- rules

class Shot:
    def __init__(self, entry):
        self.name = entry["name"]
        self.expect = entry["expect"]
        with open(entry["layout"]) as f:
            self.layout = json.load(f)
        self.img = Image(entry["png"])
        self.client = self.layout["client"]
        self.controls = {int(k): v for k, v in self.layout["controls"].items()}
        self.results = []

    def result(self, rule, ok, detail=""):
        self.results.append((rule, ok, detail))

    def visible(self, cid):
        c = self.controls.get(cid)
        return bool(c and c["visible"])

    def background_at(self, y):
        level = grey_level(y - self.client[1], self.client[3] - self.client[1])
        return (level, level, level)

    # -- the window's own state, as the layout reports it -----------------------

    def check_state(self):
        e = self.expect
        bad = []
        for cid in e.get("visible", []):
            if not self.visible(cid):
                bad.append("%d hidden" % cid)
        for cid in e.get("hidden", []):
            if self.visible(cid):
                bad.append("%d shown" % cid)
        for cid in e.get("enabled", []):
            if not self.controls[cid]["enabled"]:
                bad.append("%d disabled" % cid)
        for cid in e.get("disabled", []):
            if self.controls[cid]["enabled"]:
                bad.append("%d enabled" % cid)
        if "name" in e and self.controls[UI.IDC_SYSTEM_NAME]["text"] != e["name"]:
            bad.append("system name %r, not %r" % (self.controls[UI.IDC_SYSTEM_NAME]["text"], e["name"]))
        if "password_length" in e and len(self.controls[UI.IDC_PASSWORD]["text"]) != e["password_length"]:
            bad.append("password of %d characters, not %d" % (len(self.controls[UI.IDC_PASSWORD]["text"]),
                                                               e["password_length"]))
        lst = self.layout["list"]
        if "lines" in e and [l["text"] for l in lst["lines"]] != e["lines"]:
            bad.append("list lines %r, not %r" % ([l["text"] for l in lst["lines"]], e["lines"]))
        if "selected" in e and lst["selected"] != e["selected"]:
            bad.append("selected line %d, not %d" % (lst["selected"], e["selected"]))
        if "client_height" in e and self.client[3] - self.client[1] != e["client_height"]:
            bad.append("client height %d, not %d" % (self.client[3] - self.client[1], e["client_height"]))
        self.result("window state", not bad, "; ".join(bad))

    # -- background: black, and the grey rows of a tall window --------------------

    def check_background(self):
        covered = [c["rect"] for c in self.controls.values() if c["visible"]]
        c = self.client
        wrong, first = 0, []
        grey_rows = 0
        for y in range(c[1], c[3]):
            want = self.background_at(y)
            if want[0]:
                grey_rows += 1
            spans = sorted((r[0], r[2]) for r in covered if r[1] <= y < r[3])
            x = c[0]
            for left, right in spans + [(c[2], c[2])]:
                for xx in range(x, min(left, c[2])):
                    p = self.img.px(xx, y)
                    if p != want:
                        wrong += 1
                        if len(first) < 5:
                            first.append("(%d,%d) is %s, not %s" % (xx - c[0], y - c[1], p, want))
                x = max(x, right)
        detail = "%d pixels wrong: %s" % (wrong, "; ".join(first)) if wrong else ""
        self.result("background outside the controls (%d grey rows)" % grey_rows, wrong == 0, detail)

    def check_last_row(self):
        """The bottom row of a tall window reaches (200 * r - 120000) / h."""
        h = self.client[3] - self.client[1]
        r = h - 1
        want = grey_level(r, h)
        y = self.client[3] - 1
        x = self.client[0] + 1
        p = self.img.px(x, y)
        self.result("last row grey level %d" % want, p == (want, want, want),
                    "" if p == (want, want, want) else "pixel is %s" % (p,))

    # -- owner-drawn buttons ------------------------------------------------------

    def check_buttons(self):
        for cid in BUTTONS:
            if not self.visible(cid):
                continue
            c = self.controls[cid]
            r = clip(c["rect"], self.client)
            if area(r) == 0 or r != c["rect"]:
                self.result("button %d drawn" % cid, False, "outside the client area")
                continue
            face = GREY if c["enabled"] else BLACK
            state = "enabled" if c["enabled"] else "disabled"
            problems = []
            left, top, right, bottom = r[0], r[1], r[2] - 1, r[3] - 1
            cx, cy = (left + right) // 2, (top + bottom) // 2
            if self.img.px(left, top) != BLACK:
                problems.append("corner %s, not black" % (self.img.px(left, top),))
            for x, y, where in ((left, cy, "left"), (right, cy, "right"), (cx, top, "top"), (cx, bottom, "bottom")):
                if self.img.px(x, y) != WHITE:
                    problems.append("%s outline %s, not white" % (where, self.img.px(x, y)))
            inner = [left + 3, top + 3, right - 2, bottom - 2]
            total, face_count, strays, white = survey(self.img, inner, lambda y: face, WHITE, (left, top))
            if face_count < total * 0.6:
                problems.append("face is %s in only %d of %d pixels" % (face, face_count, total))
            if strays:
                problems.append("neither face nor white text: " + ", ".join(strays))
            if len(white) < 5:
                problems.append("no white text")
            self.result("button %d %r (%s): %s face, white outline and text" % (cid, c["text"], state, face),
                        not problems, "; ".join(problems))

    # -- texts ----------------------------------------------------------------------

    def check_text(self, cid, colour, colour_name):
        c = self.controls[cid]
        r = clip(c["rect"], self.client)
        _, _, strays, hits = survey(self.img, r, self.background_at, colour, r)
        problems = []
        if strays:
            problems.append("pixels not of the text colour: " + ", ".join(strays))
        if len(hits) < 5:
            problems.append("only %d pixels of the text colour" % len(hits))
        self.result("label %d %r in %s" % (cid, c["text"], colour_name), not problems, "; ".join(problems))

    def check_texts(self):
        for cid in (UI.IDC_SYSTEM_NAME_LABEL, UI.IDC_PASSWORD_LABEL):
            if self.visible(cid):
                self.check_text(cid, LIGHT_GREY, "light grey")
        if self.visible(UI.IDC_LOCAL_SYSTEMS_LABEL):
            if self.controls[UI.IDC_LOCAL_SYSTEMS_LABEL]["enabled"]:
                self.check_text(UI.IDC_LOCAL_SYSTEMS_LABEL, LIGHT_GREY, "light grey")
            else:
                # A disabled label is drawn by the system in its own grey text;
                # only its background can be ours.
                self.check_grey_text(UI.IDC_LOCAL_SYSTEMS_LABEL)
        if self.visible(UI.IDC_VERSION):
            self.check_text(UI.IDC_VERSION, AMBER, "amber")
        if self.visible(UI.IDC_PRIVACY_POLICY):
            self.check_text(UI.IDC_PRIVACY_POLICY, LINK_BLUE, "link blue")

    def check_grey_text(self, cid):
        c = self.controls[cid]
        r = clip(c["rect"], self.client)
        strays = []
        for x, y, p in pixels(self.img, r):
            bg = self.background_at(y)
            if p != bg and not (p[0] == p[1] == p[2]):
                if len(strays) < 3:
                    strays.append("(%d,%d) %s" % (x - r[0], y - r[1], p))
        self.result("disabled label %d %r: grey text on the background" % (cid, c["text"]), not strays,
                    "coloured pixels: " + ", ".join(strays) if strays else "")

    # -- edit fields ----------------------------------------------------------------

    def check_edits(self):
        for cid in (UI.IDC_SYSTEM_NAME, UI.IDC_PASSWORD):
            if not self.visible(cid):
                continue
            c = self.controls[cid]
            inner = clip(c["client"], self.client)
            cols = {}
            total = black = 0
            for x, y, p in pixels(self.img, inner):
                total += 1
                if p == BLACK:
                    black += 1
                else:
                    cols.setdefault(x, []).append(p)
            height = inner[3] - inner[1]
            highlighted = any(p[2] > p[0] + 60 for ps in cols.values() for p in ps)
            strays, hits = [], 0
            for x, ps in cols.items():
                # The caret: one column of inverted pixels, most of the field high.
                if len(ps) >= height * 0.6 and all(p == WHITE for p in ps):
                    continue
                for p in ps:
                    if highlighted:
                        continue
                    if not is_blend(p, BLACK, LIGHT_GREY):
                        if len(strays) < 3:
                            strays.append("%s at column %d" % (p, x - inner[0]))
                    elif coverage(p, BLACK, LIGHT_GREY) >= 0.85:
                        # Small glyphs such as the password's stars never reach the
                        # full colour; their strongest pixels come close.
                        hits += 1
            problems = []
            if black < total * 0.6:
                problems.append("black in only %d of %d pixels" % (black, total))
            if strays:
                problems.append("text not light grey: " + ", ".join(strays))
            if c["text"] and not highlighted and hits < 3:
                problems.append("no light grey text")
            note = " (text selected: its colours are the system's)" if highlighted else ""
            self.result("edit %d black with light grey text%s" % (cid, note), not problems, "; ".join(problems))

    # -- the list of local systems ------------------------------------------------------

    def check_list(self):
        if not self.visible(UI.IDC_SYSTEM_LIST):
            return
        lst = self.layout["list"]
        box = clip(self.controls[UI.IDC_SYSTEM_LIST]["client"], self.client)
        bottom_of_lines = box[1]
        for i, line in enumerate(lst["lines"]):
            r = clip(line["rect"], box)
            if area(r) == 0:
                continue
            bottom_of_lines = max(bottom_of_lines, r[3])
            bg = AMBER if i == lst["selected"] else BLACK
            total, bg_count, strays, white = survey(self.img, r, lambda y: bg, WHITE, r, tol=40)
            mid = (r[0] + r[2]) // 2
            white_left = sum(1 for x in white if x < mid)
            white_right = len(white) - white_left
            problems = []
            if bg_count < total * 0.5:
                problems.append("background %s in only %d of %d pixels" % (bg, bg_count, total))
            if strays:
                problems.append("pixels that are neither background nor white text: " + ", ".join(strays))
            if white_left < 5:
                problems.append("no name at the left")
            if white_right < 5:
                problems.append("no address at the right")
            kind = "selected" if i == lst["selected"] else "unselected"
            self.result("list line %d %r (%s): white text on %s" % (i, line["text"], kind,
                                                                  "amber" if bg == AMBER else "black"),
                        not problems, "; ".join(problems))
        below = [box[0], bottom_of_lines, box[2], box[3]]
        wrong = [p for _, _, p in pixels(self.img, below) if p != BLACK]
        self.result("list below its lines black", not wrong,
                    "%d pixels not black, e.g. %s" % (len(wrong), wrong[0]) if wrong else "")

    # -- banner and layout --------------------------------------------------------------

    def check_banner(self):
        if not self.visible(UI.IDC_BANNER):
            return
        banner = self.controls[UI.IDC_BANNER]["rect"]
        start = self.controls[UI.IDC_START]["rect"]
        problems = []
        if banner[2] - banner[0] != self.client[2] - self.client[0]:
            problems.append("%d wide in a client area of %d" % (banner[2] - banner[0],
                                                               self.client[2] - self.client[0]))
        if banner[3] != start[1] - 8:
            problems.append("ends at %d, the start button begins at %d" % (banner[3], start[1]))
        r = clip(banner, self.client)
        colours = set()
        for y in range(r[1], r[3], 3):
            for x in range(r[0], r[2], 3):
                colours.add(self.img.px(x, y))
        if len(colours) < 50:
            problems.append("only %d colours: no picture" % len(colours))
        self.result("banner picture across the top, 8 pixels above the start button", not problems,
                    "; ".join(problems))

    def check_layout(self, shots):
        c = self.controls
        win = self.layout["window"]
        if self.name == "compact":
            pw = c[UI.IDC_PASSWORD]["rect"]
            ok = win[3] == pw[3] + 16
            self.result("compact window ends 16 pixels below the password field", ok,
                        "" if ok else "window bottom %d, password bottom %d" % (win[3], pw[3]))
            ok = c[UI.IDC_START]["rect"][3] == pw[3]
            self.result("start button reaches the bottom of the password field", ok,
                        "" if ok else "button bottom %d, password bottom %d" % (c[UI.IDC_START]["rect"][3],
                                                                                  pw[3]))
        if self.name == "expanded":
            lb = c[UI.IDC_SYSTEM_LIST]["rect"]
            ok = win[3] == lb[3] + 15
            self.result("expanded window ends 15 pixels below the list", ok,
                        "" if ok else "window bottom %d, list bottom %d" % (win[3], lb[3]))
            compact = shots.get("compact")
            if compact:
                before = compact.controls[UI.IDC_VERSION]["rect"][0] - compact.client[0]
                after = c[UI.IDC_VERSION]["rect"][0] - self.client[0]
                w = c[UI.IDC_LOCAL_SYSTEMS_LABEL]["rect"][2] - c[UI.IDC_LOCAL_SYSTEMS_LABEL]["rect"][0]
                right_aligned = (c[UI.IDC_VERSION]["style"] & 0x3) == 0x2  # SS_RIGHT
                ok = after == before + w and right_aligned
                self.result("version label moved right by the label's width (%d) and right-aligned" % w, ok,
                            "" if ok else "moved by %d, style %#x" % (after - before, c[UI.IDC_VERSION]["style"]))


def check_manifest(path):
    with open(path) as f:
        manifest = json.load(f)
    shots = {}
    failed = 0
    for entry in manifest["shots"]:
        try:
            shot = Shot(entry)
        except (OSError, ValueError, subprocess.SubprocessError) as e:
            print("FAIL %s: cannot read the shot: %s" % (entry.get("name"), e))
            failed += 1
            continue
        shots[shot.name] = shot
        shot.check_state()
        shot.check_background()
        if shot.client[3] - shot.client[1] > BLACK_ROWS + 1:
            shot.check_last_row()
        shot.check_buttons()
        shot.check_texts()
        shot.check_edits()
        shot.check_list()
        shot.check_banner()
        shot.check_layout(shots)
        for rule, ok, detail in shot.results:
            print("%s %s: %s%s" % ("ok  " if ok else "FAIL", shot.name, rule, (" -- " + detail) if detail else ""))
            if not ok:
                failed += 1
        print("     %s: %s" % (shot.name, entry["png"]))
    print("%d rule(s) failed" % failed if failed else "every rule holds")
    return 1 if failed else 0


if __name__ == "__main__":
    qvharness.main_on_one_path(__doc__, check_manifest)
