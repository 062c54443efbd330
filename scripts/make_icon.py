#!/usr/bin/env python3
"""Draw the window icon Resources/Log.png (281 x 281, 8-bit RGBA).

Only the standard library is used: the picture is described as a stack of
shapes given by signed distance functions, rasterised with 4 x 4
supersampling along the edges, and written as a PNG with zlib + struct.

    python3 scripts/make_icon.py [output.png [size]]
    python3 scripts/make_icon.py --hicolor [directory]

The drawing is laid out on a 281 x 281 grid; a size other than 281 draws the
same shapes scaled, so that a small icon is drawn at its own size rather than
shrunk from the large one. --hicolor writes the sizes of the icon theme that
the packages install (packaging/icons/hicolor/NxN/apps/tallyview.png).
"""

import math
import os
import struct
import sys
import zlib

SIZE = 281
SS = 4  # samples per axis near shape edges


# ---------------------------------------------------------------- geometry


def sd_round_rect(px, py, x0, y0, x1, y1, r):
    """Signed distance to a rectangle with corner radius r (negative inside)."""
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - r


def sd_capsule(px, py, ax, ay, bx, by, r):
    """Signed distance to a segment a-b thickened to radius r."""
    pax, pay = px - ax, py - ay
    bax, bay = bx - ax, by - ay
    h = (pax * bax + pay * bay) / (bax * bax + bay * bay)
    h = max(0.0, min(1.0, h))
    return math.hypot(pax - bax * h, pay - bay * h) - r


def sd_circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


def sd_ring(px, py, cx, cy, r, width):
    return abs(math.hypot(px - cx, py - cy) - r) - width / 2.0


def sd_corner_cut(px, py, x1, y0, size):
    """The triangle cut off the page's top-right corner by the fold."""
    u = (px - (x1 - size)) - (py - y0)
    return max(-u / math.sqrt(2.0), px - x1, y0 - py)


def sd_corner_flap(px, py, x1, y0, size):
    """The folded-down flap: the cut triangle mirrored across the fold line."""
    u = (px - (x1 - size)) - (py - y0)
    return max(u / math.sqrt(2.0), (x1 - size) - px, py - (y0 + size))


# ------------------------------------------------------------------ layers
#
# Each layer: (distance function, colour function(x, y) -> (r, g, b, a)).
# Colours are straight (not premultiplied) 0..1 floats.

PAGE = (40.0, 18.0, 232.0, 262.0)
PAGE_R = 26.0
FOLD = 46.0


def page_colour(_x, y):
    t = (y - PAGE[1]) / (PAGE[3] - PAGE[1])
    top = (0.24, 0.52, 0.92)
    bottom = (0.11, 0.33, 0.72)
    return tuple(top[i] + (bottom[i] - top[i]) * t for i in range(3)) + (1.0,)


def solid(r, g, b, a=1.0):
    return lambda _x, _y: (r / 255.0, g / 255.0, b / 255.0, a)


def page_shape(x, y):
    body = sd_round_rect(x, y, *PAGE, PAGE_R)
    return max(body, -sd_corner_cut(x, y, PAGE[2], PAGE[1], FOLD))


def fold_flap(x, y):
    return sd_corner_flap(x, y, PAGE[2], PAGE[1], FOLD)


LINE_R = 7.0
LINES = [
    # (bullet x, y, line end x)
    (74.0, 74.0, 168.0),
    (74.0, 108.0, 198.0),
    (74.0, 142.0, 182.0),
    (74.0, 176.0, 134.0),
    (74.0, 210.0, 118.0),
]

LENS_C = (182.0, 190.0)
LENS_R = 40.0
LENS_W = 15.0
HANDLE_A = (212.0, 221.0)
HANDLE_B = (250.0, 259.0)


def shadow_alpha(x, y):
    d = sd_round_rect(x, y, PAGE[0] + 4, PAGE[1] + 7, PAGE[2] + 4, PAGE[3] + 7, PAGE_R)
    d = max(d, -sd_corner_cut(x, y, PAGE[2] + 4, PAGE[1] + 7, FOLD))
    return 0.28 * max(0.0, min(1.0, 0.5 - d / 10.0))


def layers():
    out = [
        (page_shape, page_colour),
        (fold_flap, solid(165, 200, 246)),
    ]
    for bx, y, ex in LINES:
        out.append((lambda x, yy, bx=bx, y=y: sd_circle(x, yy, bx, y, LINE_R), solid(255, 210, 110)))
        out.append(
            (
                lambda x, yy, bx=bx, y=y, ex=ex: sd_capsule(x, yy, bx + 22.0, y, ex, y, LINE_R - 1.0),
                solid(255, 255, 255, 0.95),
            )
        )
    # Magnifier: a pale glass disc, its amber rim and the handle.
    out.append((lambda x, y: sd_circle(x, y, *LENS_C, LENS_R), solid(230, 242, 255, 0.80)))
    out.append((lambda x, y: sd_capsule(x, y, *HANDLE_A, *HANDLE_B, 11.0), solid(150, 80, 20)))
    out.append((lambda x, y: sd_capsule(x, y, *HANDLE_A, *HANDLE_B, 8.0), solid(232, 140, 40)))
    out.append((lambda x, y: sd_ring(x, y, *LENS_C, LENS_R, LENS_W + 4.0), solid(150, 80, 20)))
    out.append((lambda x, y: sd_ring(x, y, *LENS_C, LENS_R, LENS_W), solid(245, 166, 55)))
    # A highlight on the glass.
    out.append(
        (
            lambda x, y: sd_ring(x, y, *LENS_C, LENS_R - 16.0, 5.0)
            if (x - LENS_C[0]) + (y - LENS_C[1]) < -14.0
            else 99.0,
            solid(255, 255, 255, 0.85),
        )
    )
    return out


def coverage(sdf, x, y, scale):
    """Fraction of pixel (x, y) covered by the shape; supersample near edges.

    scale is output pixels per grid unit: distances are in grid units, so a
    pixel spans 1 / scale of them."""
    d = sdf((x + 0.5) / scale, (y + 0.5) / scale)
    if d <= -1.0 / scale:
        return 1.0
    if d >= 1.0 / scale:
        return 0.0
    hits = 0
    for sy in range(SS):
        for sx in range(SS):
            if sdf((x + (sx + 0.5) / SS) / scale, (y + (sy + 0.5) / SS) / scale) < 0.0:
                hits += 1
    return hits / float(SS * SS)


def render(size=SIZE):
    stack = layers()
    scale = size / float(SIZE)
    rows = []
    for y in range(size):
        row = bytearray([0])  # filter type None
        for x in range(size):
            cx, cy = (x + 0.5) / scale, (y + 0.5) / scale
            # Premultiplied accumulation, starting with the soft shadow.
            a = shadow_alpha(cx, cy)
            r = g = b = 0.0
            for sdf, colour in stack:
                c = coverage(sdf, x, y, scale)
                if c <= 0.0:
                    continue
                cr, cg, cb, ca = colour(cx, cy)
                la = c * ca
                r = cr * la + r * (1.0 - la)
                g = cg * la + g * (1.0 - la)
                b = cb * la + b * (1.0 - la)
                a = la + a * (1.0 - la)
            if a > 0.0:
                out = (r / a, g / a, b / a, a)
            else:
                out = (0.0, 0.0, 0.0, 0.0)
            row.extend(max(0, min(255, int(round(v * 255.0)))) for v in out)
        rows.append(bytes(row))
    return b"".join(rows)


# --------------------------------------------------------------------- PNG


def chunk(tag, data):
    body = tag + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, width, height, raw):
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA, no interlace
    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", ihdr)
    data += chunk(b"IDAT", zlib.compress(raw, 9))
    data += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


# The fixed sizes of the hicolor icon theme that the packages install.
HICOLOR_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def write_icon(path, size):
    write_png(path, size, size, render(size))
    print("wrote %s (%d x %d RGBA)" % (os.path.normpath(path), size, size))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    args = sys.argv[1:]
    if args and args[0] == "--hicolor":
        top = args[1] if len(args) > 1 else os.path.join(here, "..", "packaging", "icons", "hicolor")
        for size in HICOLOR_SIZES:
            folder = os.path.join(top, "%dx%d" % (size, size), "apps")
            os.makedirs(folder, exist_ok=True)
            write_icon(os.path.join(folder, "tallyview.png"), size)
        return
    path = args[0] if args else os.path.join(here, "..", "Resources", "Log.png")
    write_icon(path, int(args[1]) if len(args) > 1 else SIZE)


if __name__ == "__main__":
    main()
