#!/usr/bin/env python3
"""Draws the updater's icon and writes it as updater.ico (standard library only).

The symbol: a blue rounded tile with a white arrow pointing down onto a white bar
("install the update"). The output is deterministic; run it again after changing the
drawing and commit both files:

    python3 app/resources/make_icon.py [output.ico]

The file holds 32x32 and 16x16 images, each in 32-bit colour with alpha (shown by
systems that support it) and in 16 colours (shown by older systems).
"""

import os
import struct
import sys

BLUE_TOP = (52, 120, 214)
BLUE_BOTTOM = (22, 70, 160)
BORDER = (12, 40, 100)
WHITE = (255, 255, 255)

# 16-colour palette for the older image format; unused entries are black.
PALETTE = [(0, 0, 0), BORDER, BLUE_BOTTOM, (37, 95, 187), BLUE_TOP, WHITE] + [(0, 0, 0)] * 10

SUPERSAMPLE = 4


def inside_rounded_square(x, y, size, radius):
    """True when the point lies inside a square of the given size with rounded corners."""
    cx = min(max(x, radius), size - radius)
    cy = min(max(y, radius), size - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_arrow(x, y, size):
    """Down arrow: a shaft from the top, a triangular head, and a bar below it."""
    u, v = x / size, y / size
    shaft = 0.42 <= u <= 0.58 and 0.16 <= v <= 0.50
    head = 0.48 <= v <= 0.70 and abs(u - 0.5) <= (0.70 - v) * 1.15
    bar = 0.20 <= u <= 0.80 and 0.76 <= v <= 0.84
    return shaft or head or bar


def sample(x, y, size):
    """Colour (r, g, b) and coverage of one sub-pixel sample; None outside the tile."""
    margin = size / 32.0
    inner = size - 2 * margin
    px, py = x - margin, y - margin
    radius = inner * 0.2
    if not inside_rounded_square(px, py, inner, radius):
        return None
    border = size / 16.0
    if not inside_rounded_square(px - border, py - border, inner - 2 * border,
                                 max(radius - border, 0.0)):
        return BORDER
    if inside_arrow(x, y, size):
        return WHITE
    t = py / inner
    return tuple(round(a + (b - a) * t) for a, b in zip(BLUE_TOP, BLUE_BOTTOM))


def render(size):
    """Rows of (r, g, b, a), top row first."""
    rows = []
    n = SUPERSAMPLE
    for j in range(size):
        row = []
        for i in range(size):
            total = [0, 0, 0]
            hits = 0
            for sj in range(n):
                for si in range(n):
                    colour = sample(i + (si + 0.5) / n, j + (sj + 0.5) / n, size)
                    if colour is not None:
                        hits += 1
                        for k in range(3):
                            total[k] += colour[k]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(c / hits) for c in total) + (round(255 * hits / (n * n)),))
        rows.append(row)
    return rows


def nearest_palette_index(rgb):
    best, best_distance = 0, None
    for index, entry in enumerate(PALETTE[:6]):
        distance = sum((a - b) ** 2 for a, b in zip(rgb, entry))
        if best_distance is None or distance < best_distance:
            best, best_distance = index, distance
    return best


def and_mask(rows, size):
    """1 bit per pixel, set where the pixel is transparent; rows bottom-up, 32-bit aligned."""
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for i, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[i // 8] |= 0x80 >> (i % 8)
        out += line
    return bytes(out)


def bitmap_header(size, bits, image_bytes, colours):
    # The height counts the colour image and the mask together.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0,
                       colours, 0)


def image_32bit(rows, size):
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = and_mask(rows, size)
    return bitmap_header(size, 32, len(pixels) + len(mask), 0) + bytes(pixels) + mask


def image_4bit(rows, size):
    stride = ((size * 4 + 31) // 32) * 4
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for i, (r, g, b, a) in enumerate(row):
            index = nearest_palette_index((r, g, b)) if a >= 128 else 0
            line[i // 2] |= index << (4 if i % 2 == 0 else 0)
        pixels += line
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    mask = and_mask(rows, size)
    return (bitmap_header(size, 4, len(pixels) + len(mask), 16) + palette + bytes(pixels) +
            mask)


def build_icon():
    images = []  # (size, colour count, bits, data)
    for size in (32, 16):
        rows = render(size)
        images.append((size, 0, 32, image_32bit(rows, size)))
        images.append((size, 16, 4, image_4bit(rows, size)))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    directory = bytearray()
    data = bytearray()
    for size, colours, bits, image in images:
        directory += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bits, len(image),
                                 offset + len(data))
        data += image
    return header + bytes(directory) + bytes(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "updater.ico")
    with open(target, "wb") as out:
        out.write(build_icon())


if __name__ == "__main__":
    main()
