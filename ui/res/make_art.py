#!/usr/bin/env python3
"""Draws the launcher's icon (rerudi.ico) and banner (banner.bmp).

Run from this folder; the outputs are committed, so the build never needs Python.
Plain standard library: the pictures are simple shapes computed per pixel.
"""
import math
import struct

AMBER = (200, 150, 0)
WHITE = (255, 255, 255)


def clamp(v):
    return max(0, min(255, int(round(v))))


def mix(a, b, t):
    return tuple(clamp(a[i] + (b[i] - a[i]) * t) for i in range(3))


def emblem_coverage(x, y, cx, cy, r):
    """Coverage 0..1 of the emblem at (x, y): a ring with a roof-shaped chevron
    inside, centred on (cx, cy) with outer radius r."""
    d = math.hypot(x - cx, y - cy)
    ring = 1.0 - min(1.0, abs(d - r * 0.85) / (r * 0.12))
    # Chevron: two strokes meeting at the top, like a roof.
    dx = abs(x - cx)
    peak = cy - r * 0.42
    line_y = peak + dx * 0.9
    stroke = 1.0 - min(1.0, abs(y - line_y) / (r * 0.11))
    if dx > r * 0.5 or y > cy + r * 0.35:
        stroke = 0.0
    # A short base bar under the chevron.
    bar = 0.0
    if abs(y - (cy + r * 0.28)) < r * 0.09 and dx < r * 0.32:
        bar = 1.0
    return max(0.0, ring, stroke, bar)


def banner(width=425, height=240):
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            # Dark blue-grey gradient, lighter towards the upper left.
            t = (x / width) * 0.4 + (y / height) * 0.6
            base = mix((44, 52, 68), (6, 6, 10), t)
            c = emblem_coverage(x, y, width / 2, height * 0.44, 62)
            px = mix(base, AMBER, c)
            # A thin amber rule near the bottom edge.
            if height - 14 <= y <= height - 13 and 40 <= x < width - 40:
                px = mix(px, AMBER, 0.8)
            row.append(px)
        rows.append(row)
    return rows


def write_bmp24(path, rows):
    height = len(rows)
    width = len(rows[0])
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        for (r, g, b) in row:
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        pixels += line
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def icon_image(size):
    """A 32-bit icon image (BMP without file header, height doubled, with mask)."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            cx = cy = (size - 1) / 2
            d = math.hypot(x - cx, y - cy)
            inside = d <= size / 2 - 0.5
            if not inside:
                row.append((0, 0, 0, 0))
                continue
            base = mix((40, 46, 60), (8, 8, 12), y / size)
            c = emblem_coverage(x, y, cx, cy, size * 0.40)
            r, g, b = mix(base, AMBER, c)
            edge = min(1.0, (size / 2 - 0.5 - d) + 0.5)
            row.append((r, g, b, clamp(255 * edge)))
        rows.append(row)
    xor = bytearray()
    for row in reversed(rows):
        for (r, g, b, a) in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + xor + mask


def write_ico(path, sizes):
    images = [icon_image(s) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        out += img
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    write_bmp24("banner.bmp", banner())
    write_ico("rerudi.ico", [16, 32, 48])
