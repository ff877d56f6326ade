#!/usr/bin/env python3
"""Draws the four 32 x 32 status icons of the renderer and writes them as XPM
files (src/icons/*.xpm) that C++ code can include as `static const char*`
arrays.

Each image is drawn from simple shapes with 8 x 8 samples per pixel, so inner
edges are smooth; the outer edge is cut at half coverage, since the images
carry only "transparent" and "opaque". The colours are then reduced by median
cut to the exact colour count each image declares, one of them "None".

Usage: python3 tools/make_icons.py [output directory]   (default: src/icons)
Standard library only.
"""

import math
import os
import sys

SIZE = 32
SUB = 8  # samples per pixel along each axis

# Characters for the two-character pixel keys: printable, without the quote,
# the backslash and the question mark (no trigraph surprises in C code).
KEY_CHARS = (".+@#$%&*=-;>,')!~{]^/(_:<[}|1234567890"
             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ`")
NONE_KEY = "  "


def lerp(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def hexrgb(s):
    return tuple(int(s[i:i + 2], 16) for i in (0, 2, 4))


def in_triangle(px, py, a, b, c):
    def side(p1, p2):
        return (px - p2[0]) * (p1[1] - p2[1]) - (p1[0] - p2[0]) * (py - p2[1])
    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def dist_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def in_arc(px, py, cx, cy, r_in, r_out, a0, a1):
    """Inside the ring between r_in and r_out, at an angle from a0 to a1
    (radians, y downwards, increasing clockwise on screen)."""
    r = math.hypot(px - cx, py - cy)
    if r < r_in or r > r_out:
        return False
    ang = math.atan2(py - cy, px - cx)
    span = (a1 - a0) % (2 * math.pi)
    return (ang - a0) % (2 * math.pi) <= span


def disc_shade(px, py, cx, cy, r, light, dark):
    """A ball lit from the upper left: light near the highlight, dark at the
    far rim."""
    hx, hy = cx - r * 0.45, cy - r * 0.5
    t = math.hypot(px - hx, py - hy) / (r * 1.6)
    return lerp(light, dark, t)


# Each painter returns (r, g, b) or None (nothing there) for a sample point.

def paint_connecting(px, py):
    cx = cy = 16.0
    r = 15.2
    d = math.hypot(px - cx, py - cy)
    if d > r:
        return None
    if d > r - 1.2:
        return hexrgb("ce5c00")
    # Two white arrows chasing each other round the centre.
    rm, w = 8.3, 1.9
    start = math.radians(-160)
    for k in range(2):
        a0 = start + k * math.pi
        a1 = a0 + math.radians(118)
        white = lerp(hexrgb("ffffff"), hexrgb("e8e8e4"), (py - 6) / 20)
        if in_arc(px, py, cx, cy, rm - w, rm + w, a0, a1):
            return white
        ex, ey = cx + rm * math.cos(a1), cy + rm * math.sin(a1)
        nx, ny = math.cos(a1), math.sin(a1)
        tx, ty = -math.sin(a1), math.cos(a1)
        hw, hl = 4.6, 5.6
        if in_triangle(px, py, (ex + nx * hw, ey + ny * hw), (ex - nx * hw, ey - ny * hw),
                       (ex + tx * hl, ey + ty * hl)):
            return white
    return disc_shade(px, py, cx, cy, r, hexrgb("fff3a0"), hexrgb("f57900"))


def paint_connected(px, py):
    gx, gy, gr = 16.0, 12.5, 11.0
    # Network connector: a plug at the lower right with its cable.
    if 23.5 <= px <= 30.5 and 23.0 <= py <= 30.0:
        if 24.5 <= px <= 29.5 and 23.6 <= py <= 25.2 and int((px - 24.5) * 1.6) % 2 == 0:
            return hexrgb("c4a000")  # contacts
        return lerp(hexrgb("babdb6"), hexrgb("555753"), (py - 23) / 7)
    if 20.0 <= px <= 23.6 and 27.6 <= py <= 29.0:
        return hexrgb("2e3436")  # cable from the stand to the plug
    # Stand: a neck under the globe and a flat foot.
    if 14.3 <= px <= 17.7 and 22.5 <= py <= 27.5:
        return lerp(hexrgb("d3d7cf"), hexrgb("888a85"), (px - 14.3) / 3.4)
    if dist_to_segment(px, py, 9.5, 28.5, 20.5, 28.5) <= 1.8:
        return lerp(hexrgb("eeeeec"), hexrgb("555753"), (py - 26.7) / 3.6)
    d = math.hypot(px - gx, py - gy)
    if d > gr:
        return None
    if d > gr - 1.0:
        return hexrgb("204a87")
    base = disc_shade(px, py, gx, gy, gr, hexrgb("b4d2f5"), hexrgb("204a87"))
    # Meridians and parallels, drawn a little lighter than the sea.
    u, v = (px - gx) / gr, (py - gy) / gr
    lines = False
    for lat in (-0.5, 0.0, 0.5):
        if abs(v - lat) < 0.06:
            lines = True
    z = math.sqrt(max(0.0, 1 - u * u - v * v))
    lon = math.degrees(math.atan2(u, z))
    for m in (-60, -20, 20, 60):
        if abs(lon - m) < 5:
            lines = True
    # Continents.
    land = ((u + 0.25) ** 2 / 0.12 + (v + 0.2) ** 2 / 0.2 < 1
            or (u - 0.35) ** 2 / 0.05 + (v - 0.35) ** 2 / 0.12 < 1)
    if land:
        base = lerp(base, hexrgb("73d216"), 0.55)
    if lines:
        base = lerp(base, hexrgb("ffffff"), 0.45)
    return base


def paint_error(px, py):
    cx = cy = 16.0
    r_out, r_in = 15.2, 10.4
    d = math.hypot(px - cx, py - cy)
    if d > r_out:
        return None
    red = disc_shade(px, py, cx, cy, r_out, hexrgb("ff8a8a"), hexrgb("a40000"))
    if d > r_out - 1.1:
        return hexrgb("820000")
    if d >= r_in:
        return red
    # The bar from upper left to lower right.
    if dist_to_segment(px, py, cx - 11, cy - 11, cx + 11, cy + 11) <= 2.9:
        return red
    return lerp(hexrgb("ffffff"), hexrgb("d3d7cf"), (px + py - 10) / 28)


def paint_delay(px, py):
    cx = cy = 16.0
    r = 14.6
    d = math.hypot(px - cx, py - cy)
    if d > r:
        return None
    if d > r - 1.1:
        return hexrgb("820000")
    # One white hand from the hub towards two o'clock, and the hub itself.
    ang = math.radians(-55)
    hx, hy = cx + 9.5 * math.cos(ang), cy + 9.5 * math.sin(ang)
    if d <= 2.6 or dist_to_segment(px, py, cx, cy, hx, hy) <= 1.5:
        return hexrgb("ffffff")
    return disc_shade(px, py, cx, cy, r, hexrgb("ff6b6b"), hexrgb("a40000"))


def render(painter):
    """Pixels as (r, g, b) integers, or None for the transparent ones."""
    img = []
    for y in range(SIZE):
        for x in range(SIZE):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(SUB):
                for sx in range(SUB):
                    c = painter(x + (sx + 0.5) / SUB, y + (sy + 0.5) / SUB)
                    if c is not None:
                        hits += 1
                        for k in range(3):
                            acc[k] += c[k]
            if hits * 2 < SUB * SUB:
                img.append(None)
            else:
                img.append(tuple(int(round(a / hits)) for a in acc))
    return img


def median_cut(colors, k):
    """Reduces a {colour: count} table to k colours; returns {old: new}."""
    assert len(colors) >= k, "the drawing has fewer colours than the image declares"
    boxes = [list(colors)]

    def spread(box):
        return max(max(c[i] for c in box) - min(c[i] for c in box) for i in range(3))

    while len(boxes) < k:
        box = max((b for b in boxes if len(b) > 1),
                  key=lambda b: spread(b) * sum(colors[c] for c in b))
        ch = max(range(3), key=lambda i: max(c[i] for c in box) - min(c[i] for c in box))
        box.sort(key=lambda c: c[ch])
        half = max(1, min(len(box) - 1, len(box) // 2))
        boxes.remove(box)
        boxes += [box[:half], box[half:]]
    mapping = {}
    for box in boxes:
        n = sum(colors[c] for c in box)
        mean = tuple(int(round(sum(c[i] * colors[c] for c in box) / n)) for i in range(3))
        for c in box:
            mapping[c] = mean
    return mapping


def key(n):
    key = KEY_CHARS[n // len(KEY_CHARS)] + KEY_CHARS[n % len(KEY_CHARS)]
    assert key != NONE_KEY
    return key


def write_xpm(path, name, painter, ncolors, header_tail=""):
    img = render(painter)
    counts = {}
    for c in img:
        if c is not None:
            counts[c] = counts.get(c, 0) + 1
    mapping = median_cut(counts, ncolors - 1)
    palette = sorted(set(mapping.values()), key=lambda c: (sum(c), c))
    # Two boxes may average to the same colour; the image still declares
    # every entry, so repeat the last one under keys of their own.
    while len(palette) < ncolors - 1:
        palette.append(palette[-1])
    keys = {}
    for n, c in enumerate(palette):
        keys.setdefault(c, key(n))
    lines = ["%d %d %d 2%s" % (SIZE, SIZE, ncolors, header_tail), NONE_KEY + " c None"]
    lines += ["%s c #%02x%02x%02x" % (key(n), *c) for n, c in enumerate(palette)]
    for y in range(SIZE):
        row = img[y * SIZE:(y + 1) * SIZE]
        lines.append("".join(NONE_KEY if c is None else keys[mapping[c]] for c in row))
    with open(path, "w") as f:
        f.write("/* XPM */\n")
        f.write("/* Drawn by tools/make_icons.py: change the script, not this file. */\n")
        f.write("static const char* %s[] = {\n" % name)
        f.write(",\n".join('"%s"' % s for s in lines))
        f.write("\n};\n")


ICONS = [
    ("document-quick_restart.xpm", "document_quick_restart", paint_connecting, 214, ""),
    ("knetattach.xpm", "knetattach", paint_connected, 176, " "),
    ("edit-delete.xpm", "edit_delete", paint_error, 235, ""),
    ("emblem-urgent.xpm", "emblem_urgent", paint_delay, 95, ""),
]


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src", "icons")
    os.makedirs(out, exist_ok=True)
    for fname, name, painter, ncolors, tail in ICONS:
        write_xpm(os.path.join(out, fname), name, painter, ncolors, tail)
        print("wrote", os.path.join(out, fname))


if __name__ == "__main__":
    main()
