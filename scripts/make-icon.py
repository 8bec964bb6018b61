#!/usr/bin/env python3
"""Draws the component's icon (a blue shield with a white check mark) and writes it
as a Windows .ico file with 16, 32 and 48 pixel images of 32 bits per pixel.

    scripts/make-icon.py [output.ico]    (default: NAP/qvnnapcfg/qvnnapcfg.ico)

Needs nothing beyond Python's standard library; the output is committed, so the build
does not run this script.
"""
import math
import os
import struct
import sys

SUPERSAMPLE = 4  # samples per pixel edge, for smooth edges


def inside_shield(x, y):
    """Shield outline in a unit square: straight top, flanks that curve to a point."""
    if y < 0.08 or y > 0.95:
        return False
    half_width = 0.40
    if y > 0.50:
        # The lower half narrows along a circle-like curve to the point at the bottom.
        t = (y - 0.50) / 0.45
        half_width = 0.40 * math.sqrt(max(0.0, 1.0 - t * t))
    # A shallow notch in the top edge gives the classic heater shape.
    top = 0.08 + 0.05 * (1.0 - abs(x - 0.5) / 0.40) if abs(x - 0.5) <= 0.40 else 1.0
    return abs(x - 0.5) <= half_width and y >= top


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def on_check_mark(x, y, thickness):
    return (distance_to_segment(x, y, 0.30, 0.50, 0.45, 0.66) <= thickness
            or distance_to_segment(x, y, 0.45, 0.66, 0.72, 0.32) <= thickness)


def render(size):
    """Returns rows (top first) of (b, g, r, a) pixels."""
    thickness = max(0.07, 1.2 / size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px + (sx + 0.5) / SUPERSAMPLE) / size
                    y = (py + (sy + 0.5) / SUPERSAMPLE) / size
                    if not inside_shield(x, y):
                        continue
                    if on_check_mark(x, y, thickness):
                        cr, cg, cb = 255, 255, 255
                    else:
                        # Darker towards the bottom, like light falling from above.
                        shade = 1.0 - 0.35 * y
                        cr, cg, cb = 30 * shade, 100 * shade, 200 * shade
                    r, g, b, a = r + cr, g + cg, b + cb, a + 1
            n = SUPERSAMPLE * SUPERSAMPLE
            if a:
                row.append((round(b / a), round(g / a), round(r / a), round(255 * a / n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def icon_image(size):
    """One image in the .ico's BMP form: header, bottom-up BGRA rows, AND mask."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes(p) for row in reversed(rows) for p in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "NAP", "qvnnapcfg", "qvnnapcfg.ico")
    sizes = [16, 32, 48]
    images = [icon_image(s) for s in sizes]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    data += b"".join(images)
    with open(output, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
