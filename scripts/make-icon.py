#!/usr/bin/env python3
"""Draws the updater's icon: a 32 x 32, 256-colour Windows icon of a golden
crescent moon over a night-blue disc, with a green arrow pointing down (an
update arriving). Writes ui/sorelune.ico, or the path given.

The palette is a 6 x 6 x 6 colour cube followed by 40 greys; every pixel is
drawn in full colour and then mapped to its nearest palette entry. Pixels
outside the disc are transparent through the icon's AND mask."""
import math
import os
import struct
import sys

SIZE = 32


def palette():
    colours = []
    for r in range(6):
        for g in range(6):
            for b in range(6):
                colours.append((r * 51, g * 51, b * 51))
    for i in range(40):
        v = round(i * 255 / 39)
        colours.append((v, v, v))
    return colours


def draw_pixel(x, y):
    """Returns the colour at pixel centre (x, y), or None for transparent."""
    cx, cy = x + 0.5, y + 0.5
    disc = math.hypot(cx - 16, cy - 16)
    if disc > 15.5:
        return None
    # Night sky: lighter towards the top.
    shade = cy / SIZE
    colour = (int(20 + 30 * (1 - shade)), int(40 + 50 * (1 - shade)), int(110 + 80 * (1 - shade)))
    if disc > 14.5:
        colour = (230, 230, 240)  # rim
    # Crescent: a gold disc with a second disc cut out of it.
    moon = math.hypot(cx - 13, cy - 14) < 9.5
    bite = math.hypot(cx - 17.5, cy - 11) < 8
    if moon and not bite:
        colour = (255, 205, 60)
    # Two small stars.
    for sx, sy in ((23, 7), (26, 13)):
        if abs(cx - sx) + abs(cy - sy) < 1.6:
            colour = (255, 255, 255)
    # Arrow: a shaft and a head pointing down, bottom right.
    if 21.5 <= cx <= 25.5 and 15 <= cy <= 22:
        colour = (60, 205, 80)
    if 22 <= cy <= 28 and abs(cx - 23.5) <= (28 - cy) * 0.9:
        colour = (60, 205, 80)
    return colour


def nearest(colours, colour):
    best, best_distance = 0, None
    for index, (r, g, b) in enumerate(colours):
        distance = (r - colour[0]) ** 2 + (g - colour[1]) ** 2 + (b - colour[2]) ** 2
        if best_distance is None or distance < best_distance:
            best, best_distance = index, distance
    return best


def icon_bytes():
    colours = palette()
    pixels = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):  # bitmaps are stored bottom-up
        row_mask = 0
        for x in range(SIZE):
            colour = draw_pixel(x, y)
            if colour is None:
                pixels.append(0)
                row_mask |= 1 << (SIZE - 1 - x)
            else:
                pixels.append(nearest(colours, colour))
        mask += struct.pack(">I", row_mask)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 8, 0, len(pixels) + len(mask), 0, 0, 256, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in colours)
    image = header + table + bytes(pixels) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 8, len(image), 22)
    return directory + image


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "ui", "sorelune.ico")
    with open(target, "wb") as out:
        out.write(icon_bytes())
    print(target)


if __name__ == "__main__":
    main()
