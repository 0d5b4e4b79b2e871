#!/usr/bin/env python3
"""Draws Torvane's 32x32, 16-colour icon (a memory module under a load
gauge) and writes it as a .ico file. Run once; the .ico is kept in shell/."""
import struct
import sys

# The standard 16-colour palette, as RGB.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DGREEN, GREY, LGREY, RED, GREEN, YELLOW, WHITE = 0, 2, 8, 7, 9, 10, 11, 15


def draw():
    px = [[None] * 32 for _ in range(32)]  # None is transparent

    def rect(x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = c

    # Memory module: green board with black chips and gold contacts.
    rect(2, 14, 29, 27, DGREEN)
    for x0 in (4, 11, 18, 24):
        rect(x0, 16, x0 + 4, 22, BLACK)
    for x in range(3, 29, 2):
        rect(x, 25, x, 27, YELLOW)
    # Load gauge above it: grey frame, bars rising from green to red.
    rect(4, 2, 27, 11, GREY)
    rect(5, 3, 26, 10, WHITE)
    for i, c in enumerate((GREEN, GREEN, YELLOW, YELLOW, RED, RED, RED)):
        h = 1 + i
        rect(6 + i * 3, 10 - h, 7 + i * 3, 9, c)
    return px


def ico(px):
    w = h = 32
    xor = bytearray()
    for y in reversed(range(h)):  # bottom-up rows
        row = [px[y][x] if px[y][x] is not None else 0 for x in range(w)]
        for x in range(0, w, 2):
            xor.append((row[x] << 4) | row[x + 1])
    andmask = bytearray()
    for y in reversed(range(h)):
        bits = 0
        for x in range(w):
            bits = (bits << 1) | (1 if px[y][x] is None else 0)
        andmask += struct.pack(">I", bits)  # rows are 32 bits, already 4-aligned
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 4, 0, len(xor) + len(andmask), 0, 0, 16, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    image = header + pal + bytes(xor) + bytes(andmask)
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", w, h, 16, 0, 1, 4, len(image), 22) + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "shell/torvane.ico"
    with open(out, "wb") as f:
        f.write(ico(draw()))
