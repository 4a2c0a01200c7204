#!/usr/bin/env python3
"""Writes caddis.ico, the programs' icon on Windows, from the shapes of caddis-updater.svg.

The drawing is the same card as the desktop icon (rectangles and the connector's pins), drawn
at 16, 32 and 48 pixels as 32-bit images with an alpha channel.

    make-icon.py OUTPUT.ico
"""
import struct
import sys

# (x, y, width, height, colour) on the 64-unit canvas, drawn in order.
SHAPES = [
    (2, 2, 60, 60, 0x000060),
    (9, 15, 46, 30, 0x80C0FF),   # the card's outline
    (11, 17, 42, 26, 0x001DBF),
    (16, 22, 10, 16, 0x80C0FF),
    (30, 22, 6, 6, 0xFFFFFF),
    (40, 22, 6, 6, 0xFFFFFF),
    (30, 32, 16, 6, 0x00A000),
] + [(x - 1, 44, 2, 8, 0x80C0FF) for x in (14, 22, 30, 38, 46)]


def pixels(size):
    """Rows top to bottom of (b, g, r, a), each pixel the shape covering its centre last."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            x = (px + 0.5) * 64 / size
            y = (py + 0.5) * 64 / size
            colour = None
            for sx, sy, w, h, c in SHAPES:
                if sx <= x < sx + w and sy <= y < sy + h:
                    colour = c
            if colour is None:
                row.append((0, 0, 0, 0))
            else:
                row.append((colour & 0xFF, (colour >> 8) & 0xFF, colour >> 16, 0xFF))
        rows.append(row)
    return rows


def image(size):
    """One icon image: a BITMAPINFOHEADER (double height: colour and mask), bottom-up rows."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = pixels(size)
    colour = b"".join(bytes(p) for row in reversed(rows) for p in row)
    mask_row = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_row)
        for i, p in enumerate(row):
            if p[3] == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bytes(bits)
    return header + colour + mask


def main():
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(sys.argv[1], "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main()
