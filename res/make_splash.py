#!/usr/bin/env python3
"""Draws the loader's splash picture, res/splash.bmp.

The picture is 363 x 93 pixels, stored as an uncompressed 8-bit BMP with a
256-colour palette, because that is what the splash window's picture element
holds. Everything is drawn here from simple shapes: a light background, a
three-feather wing as the mark and the word "Kestro" built from strokes and
elliptic arcs. The bands y 3..15 (loading text) and y 66..91 (status lines)
stay calm and light, because the window paints grey and black labels over
them; the top right corner stays empty for the small close button.

Only the Python standard library is used, so the picture can be redrawn on
any build machine:  python3 res/make_splash.py [output.bmp]
"""

import math
import os
import struct
import sys

W, H = 363, 93

# Colours (r, g, b) in 0..255.
BG_TOP = (252, 253, 255)
BG_BOTTOM = (226, 233, 241)
INK = (27, 48, 79)          # the word mark: a deep navy
WING = (196, 104, 44)       # the mark: the rufous of a kestrel's back
WING_TIP = (224, 150, 72)
RULE = (171, 186, 204)      # the thin line between mark and status band


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    return tuple(lerp(x, y, t) for x, y in zip(c1, c2))


class Canvas:
    """A floating-point RGB image with coverage-based painting."""

    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[(0.0, 0.0, 0.0)] * w for _ in range(h)]

    def fill_vertical_gradient(self, top, bottom):
        for y in range(self.h):
            c = mix(top, bottom, y / (self.h - 1))
            self.px[y] = [c] * self.w

    def blend(self, x, y, colour, alpha):
        if 0 <= x < self.w and 0 <= y < self.h and alpha > 0.0:
            self.px[y][x] = mix(self.px[y][x], colour, min(alpha, 1.0))

    def paint(self, shape, colour_at):
        """Paints a shape given as a signed-distance function over its box.

        The coverage of a pixel is taken from the distance of its centre to
        the shape's edge, which gives smooth edges without supersampling.
        """
        x0, y0, x1, y1 = shape.bbox()
        for y in range(max(0, int(y0) - 1), min(self.h, int(math.ceil(y1)) + 2)):
            for x in range(max(0, int(x0) - 1), min(self.w, int(math.ceil(x1)) + 2)):
                d = shape.distance(x + 0.5, y + 0.5)
                cover = 0.5 - d
                if cover > 0.0:
                    self.blend(x, y, colour_at(x + 0.5, y + 0.5), cover)


def seg_distance(px, py, ax, ay, bx, by):
    """Distance from P to segment AB and the position t (0..1) along it."""
    dx, dy = bx - ax, by - ay
    ll = dx * dx + dy * dy
    t = 0.0 if ll == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / ll))
    qx, qy = ax + t * dx, ay + t * dy
    return math.hypot(px - qx, py - qy), t


class Stroke:
    """A polyline with round ends and a radius that may vary per point."""

    def __init__(self, points, radii):
        self.points = points
        self.radii = radii if isinstance(radii, list) else [radii] * len(points)

    def bbox(self):
        r = max(self.radii)
        xs = [p[0] for p in self.points]
        ys = [p[1] for p in self.points]
        return min(xs) - r, min(ys) - r, max(xs) + r, max(ys) + r

    def distance(self, px, py):
        best = float("inf")
        pts, rad = self.points, self.radii
        for i in range(len(pts) - 1):
            d, t = seg_distance(px, py, pts[i][0], pts[i][1], pts[i + 1][0], pts[i + 1][1])
            best = min(best, d - lerp(rad[i], rad[i + 1], t))
        return best


class Union:
    def __init__(self, shapes):
        self.shapes = shapes

    def bbox(self):
        boxes = [s.bbox() for s in self.shapes]
        return (min(b[0] for b in boxes), min(b[1] for b in boxes),
                max(b[2] for b in boxes), max(b[3] for b in boxes))

    def distance(self, px, py):
        return min(s.distance(px, py) for s in self.shapes)


# --- The word mark -----------------------------------------------------------
#
# Letters are drawn in design units: cap height 100, x-height 68, baseline at
# 0 with y pointing up, stroke 14 units wide. Each letter is a list of paths
# (lists of points); arcs are flattened into short segments.

STROKE = 14.0


def arc(cx, cy, rx, ry, a0, a1, steps=48):
    """Points on an elliptic arc from angle a0 to a1 (degrees, y up)."""
    n = max(2, int(abs(a1 - a0) / 360.0 * steps * 2))
    return [(cx + rx * math.cos(math.radians(lerp(a0, a1, i / n))),
             cy + ry * math.sin(math.radians(lerp(a0, a1, i / n)))) for i in range(n + 1)]


def glyphs():
    h = STROKE / 2
    return {
        "K": (70, [
            [(h, h), (h, 100 - h)],
            [(h + 4, 38), (60, 100 - h)],
            [(27, 55), (62, h)],
        ]),
        "e": (72, [
            [(h + 2, 34), (67 - 2, 34)],
            arc(37, 34, 30, 34 - h, 0, 318),
        ]),
        "s": (54, [
            arc(27, 47.5, 20, 13.5, 28, 270),
            arc(27, 20.5, 21, 13.5, 90, -152),
        ]),
        "t": (52, [
            [(18, 90), (18, 24)] + arc(38, 24, 20, 24 - h, 180, 300)[1:],
            [(h, 68 - h), (44, 68 - h)],
        ]),
        "r": (50, [
            [(h, h), (h, 68 - h)],
            arc(35, 30, 28, 38 - h, 180, 62),
        ]),
        "o": (74, [
            arc(37, 34, 30, 34 - h, 0, 360),
        ]),
    }


def word_shapes(text, left, baseline, scale, tracking=9.0):
    shapes = []
    table = glyphs()
    x = left
    for ch in text:
        advance, paths = table[ch]
        for path in paths:
            pts = [(x + px * scale, baseline - py * scale) for px, py in path]
            shapes.append(Stroke(pts, STROKE / 2 * scale))
        x += (advance + tracking) * scale
    return Union(shapes), x - tracking * scale


def word_width(text, scale, tracking=9.0):
    table = glyphs()
    return sum((table[c][0] + tracking) * scale for c in text) - tracking * scale


# --- The mark: a raised wing of three feathers --------------------------------

def quad_bezier(p0, p1, p2, n=40):
    pts = []
    for i in range(n + 1):
        t = i / n
        a, b, c = (1 - t) ** 2, 2 * (1 - t) * t, t * t
        pts.append((a * p0[0] + b * p1[0] + c * p2[0], a * p0[1] + b * p1[1] + c * p2[1]))
    return pts


def feather(root, bend, tip, width):
    pts = quad_bezier(root, bend, tip)
    n = len(pts) - 1
    # Swelling quickly from a narrow quill to full width, then drawn out to a
    # fine point at the tip.
    radii = []
    for i in range(n + 1):
        t = i / n
        radii.append(max(0.35, width * (1.0 - t) ** 0.8 * min(1.0, (t + 0.1) / 0.3)))
    return Stroke(pts, radii)


def wing_shapes(left, bottom):
    x, y = left, bottom
    # Three feathers fanned out from staggered roots, like a wing raised for
    # the climb; the gaps between them keep the fan readable at this size.
    return [
        feather((x + 14, y - 9), (x + 42, y - 12), (x + 72, y - 35), 3.4),
        feather((x + 7, y - 4.5), (x + 36, y - 4), (x + 64, y - 21), 3.2),
        feather((x, y), (x + 28, y + 3), (x + 54, y - 7), 3.0),
    ]


def draw():
    c = Canvas(W, H)
    c.fill_vertical_gradient(BG_TOP, BG_BOTTOM)

    scale = 0.34
    wing_w, gap = 74, 14
    total = wing_w + gap + word_width("Kestro", scale)
    left = round((W - total) / 2)
    baseline = 55

    # The wing fades from rufous at its root to a lighter tip colour.
    wing_left = left
    def wing_colour(px, py):
        return mix(WING, WING_TIP, max(0.0, min(1.0, (px - wing_left) / wing_w)))

    for f in wing_shapes(wing_left, baseline + 1):
        c.paint(f, wing_colour)

    word, right = word_shapes("Kestro", left + wing_w + gap, baseline, scale)
    c.paint(word, lambda px, py: INK)

    # A hairline under the composition separates it from the status lines.
    rule = Stroke([(left, 62.5), (right, 62.5)], 0.5)
    c.paint(rule, lambda px, py: RULE)
    return c


# --- Palette and BMP ---------------------------------------------------------

def quantise(canvas):
    """Median cut to at most 256 colours; returns (palette, indices)."""
    pixels = [tuple(int(round(v)) for v in p) for row in canvas.px for p in row]
    counts = {}
    for p in pixels:
        counts[p] = counts.get(p, 0) + 1
    boxes = [list(counts.items())]
    while len(boxes) < 256:
        # Split the box with the widest channel range (weighted by pixel count).
        best, best_score, best_ch = None, 0, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                vals = [col[ch] for col, _ in box]
                score = (max(vals) - min(vals)) * sum(n for _, n in box) ** 0.5
                if score > best_score:
                    best, best_score, best_ch = i, score, ch
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda e: e[0][best_ch])
        total = sum(n for _, n in box)
        acc, cut = 0, 1
        for j, (_, n) in enumerate(box):
            acc += n
            if acc >= total / 2:
                cut = max(1, min(len(box) - 1, j + 1))
                break
        boxes += [box[:cut], box[cut:]]
    palette, lookup = [], {}
    for box in boxes:
        total = sum(n for _, n in box)
        avg = tuple(int(round(sum(col[ch] * n for col, n in box) / total)) for ch in range(3))
        for col, _ in box:
            lookup[col] = len(palette)
        palette.append(avg)
    while len(palette) < 256:
        palette.append((0, 0, 0))
    return palette, [lookup[p] for p in pixels]


def write_bmp(path, w, h, palette, indices):
    stride = (w + 3) & ~3
    image_size = stride * h
    offset = 14 + 40 + 256 * 4
    out = bytearray()
    out += struct.pack("<2sIHHI", b"BM", offset + image_size, 0, 0, offset)
    out += struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, image_size, 3780, 3780, 256, 0)
    for r, g, b in palette:
        out += bytes((b, g, r, 0))
    for y in range(h - 1, -1, -1):  # BMP rows run bottom-up
        row = bytes(indices[y * w:(y + 1) * w])
        out += row + b"\0" * (stride - w)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(out)
    os.replace(tmp, path)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "splash.bmp")
    canvas = draw()
    palette, indices = quantise(canvas)
    write_bmp(path, W, H, palette, indices)
    print("wrote %s (%dx%d, 8-bit, %d colours used)" % (path, W, H, len(set(indices))))


if __name__ == "__main__":
    main()
