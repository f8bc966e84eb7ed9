#!/usr/bin/env python3
"""Draws icon 128 of the download tool (a unit with a slot, a download arrow and a progress bar) as a
32 x 32, 16-colour .ico file: python3 make_icon.py qbv_download.ico"""
import struct
import sys

SIZE = 32                  # pixels, square
BITS_PER_PIXEL = 4         # 16 colours
PALETTE = [                # the standard 16-colour palette, as (red, green, blue)
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, SILVER, GRAY, GREEN, YELLOW, BLUE, WHITE, DARK_GREEN = 0, 4, 7, 8, 10, 11, 12, 15, 2
CLEAR = None               # transparent


def draw():
    px = [[CLEAR] * SIZE for _ in range(SIZE)]

    def fill(x0, y0, x1, y1, colour):       # inclusive corners
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    # The unit: a rounded blue body with a grey rim and a lighter top face.
    fill(3, 11, 28, 30, GRAY)
    for x, y in ((3, 11), (28, 11), (3, 30), (28, 30)):
        px[y][x] = CLEAR
    fill(4, 12, 27, 29, NAVY)
    fill(5, 12, 26, 13, BLUE)
    # The note slot, with the white edge of a note going in.
    fill(7, 15, 24, 17, BLACK)
    fill(10, 15, 21, 15, WHITE)
    # The progress bar.
    fill(6, 22, 25, 26, SILVER)
    fill(7, 23, 24, 25, BLACK)
    fill(7, 23, 17, 25, GREEN)
    fill(7, 25, 17, 25, DARK_GREEN)
    # The download arrow pointing into the slot.
    fill(14, 0, 17, 6, YELLOW)
    for row, half in enumerate(range(6, 0, -1)):
        fill(16 - half, 7 + row, 15 + half, 7 + row, YELLOW)
    for y in range(0, 7):
        px[y][13] = BLACK
        px[y][18] = BLACK
    return px


def encode(px):
    row_bytes = SIZE * BITS_PER_PIXEL // 8
    mask_row_bytes = (SIZE // 8 + 3) // 4 * 4
    colours = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):          # bottom-up rows
        row = bytearray(row_bytes)
        bits = bytearray(mask_row_bytes)
        for x in range(SIZE):
            colour = px[y][x]
            index = 0 if colour is CLEAR else colour
            row[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if colour is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        colours += row
        mask += bits
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, BITS_PER_PIXEL, 0,
                         len(colours) + len(mask), 0, 0, len(PALETTE), 0)
    image = header + palette + bytes(colours) + bytes(mask)
    icon_dir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, len(PALETTE), 0, 1, BITS_PER_PIXEL, len(image), 6 + 16)
    return icon_dir + entry + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        out.write(encode(draw()))
