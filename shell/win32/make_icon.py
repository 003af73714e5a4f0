#!/usr/bin/env python3
"""Draws the program's icon, pkxupdate.ico: a blue box with a white arrow
pointing up over a yellow base, in the 16 standard Windows colours, at the
sizes Windows asks for from 100 % to 200 %: the small icon of 16, 20, 24 and
32 pixels, the large one of 32, 40, 48 and 64. Run it again after changing
the drawing:

    python3 shell/win32/make_icon.py shell/win32/pkxupdate.ico
"""

import struct
import sys

# The 16 standard Windows colours as (red, green, blue), in palette order.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
DARK_BLUE, YELLOW, BLUE, WHITE = 4, 11, 12, 15
TRANSPARENT = None


def colour_at(x, y):
    """The colour of the point (x, y) of the drawing, both from 0 to 1."""
    inside = 0.06 <= x <= 0.94 and 0.06 <= y <= 0.94
    corner = min(x - 0.06, 0.94 - x) < 0.1 and min(y - 0.06, 0.94 - y) < 0.1
    if not inside or (corner and ((min(x - 0.06, 0.94 - x) - 0.1) ** 2 +
                                  (min(y - 0.06, 0.94 - y) - 0.1) ** 2) > 0.01):
        return TRANSPARENT
    edge = min(x - 0.06, 0.94 - x, y - 0.06, 0.94 - y) < 0.06
    if edge:
        return DARK_BLUE
    if 0.2 <= x <= 0.8 and 0.72 <= y <= 0.82:
        return YELLOW
    # The arrow: a triangle head over a shaft.
    if 0.16 <= y <= 0.44 and abs(x - 0.5) <= (y - 0.16) * 1.15:
        return WHITE
    if 0.44 <= y <= 0.66 and abs(x - 0.5) <= 0.1:
        return WHITE
    return BLUE


def image(size):
    """BITMAPINFOHEADER, palette, 4-bit colour rows and the 1-bit mask, bottom-up."""
    pixels = []
    for row in range(size):
        y = (row + 0.5) / size
        pixels.append([colour_at((col + 0.5) / size, y) for col in range(size)])
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    colour_rows = b""
    mask_rows = b""
    for row in reversed(pixels):
        nibbles = [c if c is not None else 0 for c in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        colour_rows += line + b"\0" * (-len(line) % 4)
        bits = 0
        mask = b""
        for i, c in enumerate(row):
            bits = (bits << 1) | (1 if c is None else 0)
            if i % 8 == 7:
                mask += bytes([bits])
                bits = 0
        if size % 8:
            mask += bytes([bits << (8 - size % 8)])
        mask_rows += mask + b"\0" * (-len(mask) % 4)
    return header + palette + colour_rows + mask_rows


def main():
    sizes = [16, 20, 24, 32, 40, 48, 64]
    images = [image(size) for size in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as icon:
        icon.write(out)


if __name__ == "__main__":
    main()
