#!/usr/bin/env python3
"""Draws the program's art: the splash bitmap (resource 112, 300x234, 24 bits) and icons 101-103.

Only the standard library is used, so anyone can regenerate the committed files:
    python3 resources/make_art.py
The drawing is deterministic: the same script always writes the same bytes.
"""
import math
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

WIDTH, HEIGHT = 300, 234
BAND_TOP = 172  # the darker band at the bottom holds the status line and the two bars

# A blocky 5x7 font for the title: '#' is a filled cell.
GLYPHS = {
    "W": ["#...#", "#...#", "#...#", "#.#.#", "#.#.#", "##.##", "#...#"],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "N": ["#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"],
    "D": ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
}


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    t = max(0.0, min(1.0, t))
    return tuple(int(round(lerp(x, y, t))) for x, y in zip(c1, c2))


class Canvas:
    def __init__(self, width, height, fill=(0, 0, 0)):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def get(self, x, y):
        return self.pixels[y][x]

    def blend(self, x, y, colour, alpha):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = mix(self.pixels[y][x], colour, alpha)

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                self.pixels[y][x] = colour


def sky_colour(y, height):
    stops = [(0.0, (18, 16, 52)), (0.35, (58, 34, 96)), (0.62, (150, 58, 102)), (0.8, (236, 118, 62)),
             (1.0, (252, 184, 92))]
    t = y / height
    for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
        if t <= t1:
            return mix(c0, c1, (t - t0) / (t1 - t0))
    return stops[-1][1]


def ridge(x, base, parts):
    return base + sum(amp * math.sin(x * freq + phase) for amp, freq, phase in parts)


def draw_castle(c, left, ground, colour, window):
    """A keep with two towers, battlements and lit windows, standing on `ground`."""
    def crenellate(x0, x1, top):
        for x in range(x0, x1, 6):
            c.rect(x, top - 4, min(x + 3, x1), top, colour)

    keep = (left + 14, left + 50, ground - 34)
    c.rect(keep[0], keep[2], keep[1], ground, colour)
    crenellate(keep[0], keep[1], keep[2])
    for x0, x1, top in ((left, left + 14, ground - 50), (left + 50, left + 64, ground - 44)):
        c.rect(x0, top, x1, ground, colour)
        crenellate(x0, x1, top)
    # A pointed roof on the tall tower and a flag.
    for i in range(10):
        c.rect(left + i // 2, ground - 50 - i, left + 14 - i // 2, ground - 49 - i, colour)
    c.rect(left + 7, ground - 68, left + 8, ground - 58, colour)
    c.rect(left + 8, ground - 68, left + 14, ground - 64, (160, 30, 40))
    # Gate and windows.
    c.rect(left + 28, ground - 14, left + 36, ground, (10, 8, 14))
    for x, y in ((left + 5, ground - 40), (left + 22, ground - 26), (left + 40, ground - 26), (left + 55, ground - 34)):
        c.rect(x, y, x + 3, y + 5, window)


def draw_title(c, text, top, scale):
    width = len(text) * (5 * scale) + (len(text) - 1) * scale * 2
    left = (c.width - width) // 2
    cells = []
    for i, letter in enumerate(text):
        gx = left + i * (7 * scale)
        for row, line in enumerate(GLYPHS[letter]):
            for col, mark in enumerate(line):
                if mark == "#":
                    cells.append((gx + col * scale, top + row * scale))
    height = 7 * scale
    # Shadow first, then a dark outline, then the gold face with a vertical gradient and a bevel.
    for x, y in cells:
        c.rect(x + 3, y + 3, x + scale + 3, y + scale + 3, (20, 10, 24))
    for x, y in cells:
        c.rect(x - 1, y - 1, x + scale + 1, y + scale + 1, (58, 28, 12))
    for x, y in cells:
        for yy in range(y, y + scale):
            colour = mix((255, 236, 150), (196, 112, 28), (yy - top) / height)
            for xx in range(x, x + scale):
                c.put(xx, yy, colour)
        for xx in range(x, x + scale):
            c.blend(xx, y, (255, 255, 220), 0.5)


def splash():
    c = Canvas(WIDTH, HEIGHT)
    horizon = 150
    for y in range(HEIGHT):
        colour = sky_colour(y, horizon)
        for x in range(WIDTH):
            c.put(x, y, colour)
    rng = random.Random(1997)
    for _ in range(70):
        x, y = rng.randrange(WIDTH), rng.randrange(0, 80)
        c.blend(x, y, (255, 250, 230), 0.35 + 0.6 * (1 - y / 80) * rng.random())
    # The setting sun with a soft glow.
    sx, sy, radius = 78, 138, 16
    for y in range(sy - 50, sy + 50):
        for x in range(sx - 60, sx + 60):
            d = math.hypot(x - sx, y - sy)
            if d <= radius:
                c.put(x, y, mix((255, 240, 170), (255, 196, 96), d / radius))
            elif d < 60:
                c.blend(x, y, (255, 210, 120), 0.45 * (1 - (d - radius) / (60 - radius)) ** 2)
    far = (92, 44, 92)
    near = (40, 22, 52)
    for x in range(WIDTH):
        top = int(ridge(x, 128, [(10, 0.031, 0.4), (6, 0.083, 1.7), (2, 0.29, 0.3)]))
        for y in range(top, HEIGHT):
            c.put(x, y, mix(far, sky_colour(horizon, horizon), 0.15 * (1 - (y - top) / 40)))
    for x in range(WIDTH):
        top = int(ridge(x, 150, [(9, 0.022, 2.1), (5, 0.061, 0.2), (2, 0.21, 1.1)]))
        if 196 <= x <= 276:
            top = min(top, int(144 - 8 * math.sin((x - 196) / 80 * math.pi)))
        for y in range(top, HEIGHT):
            c.put(x, y, near)
    draw_castle(c, 206, 140, near, (255, 204, 96))
    draw_title(c, "WENDREL", 26, 5)
    # The band for the status line and the bars: darker, with a thin gold rule on top.
    for y in range(BAND_TOP, HEIGHT):
        shade = (y - BAND_TOP) / (HEIGHT - BAND_TOP)
        for x in range(WIDTH):
            c.put(x, y, mix(c.get(x, y), mix((24, 18, 34), (10, 8, 16), shade), 0.82))
    for x in range(WIDTH):
        edge = min(x, WIDTH - 1 - x) / 40
        c.blend(x, BAND_TOP, (214, 160, 70), min(1.0, edge) * 0.9)
    return c


def write_bmp(path, c):
    row = bytearray()
    rows = []
    for y in range(c.height - 1, -1, -1):
        row = bytearray()
        for r, g, b in c.pixels[y]:
            row += bytes((b, g, r))
        row += b"\0" * ((4 - len(row) % 4) % 4)
        rows.append(bytes(row))
    data = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, c.width, c.height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as out:
        out.write(header + info + data)


def icon_image(size, painter):
    """One 32-bit icon image: BITMAPINFOHEADER (double height), BGRA rows bottom-up, AND mask."""
    pixels = [[(0, 0, 0, 0)] * size for _ in range(size)]
    painter(pixels, size)
    xor = bytearray()
    for y in range(size - 1, -1, -1):
        for r, g, b, a in pixels[y]:
            xor += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        bits = bytearray(mask_row)
        for x in range(size):
            if pixels[y][x][3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def write_ico(path, painter, sizes=(32, 16)):
    images = [icon_image(s, painter) for s in sizes]
    offset = 6 + 16 * len(images)
    out = struct.pack("<HHH", 0, 1, len(images))
    for s, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def paint_rounded_sky(pixels, size):
    radius = size / 5
    for y in range(size):
        for x in range(size):
            dx = max(radius - x - 0.5, 0, x + 0.5 - (size - radius))
            dy = max(radius - y - 0.5, 0, y + 0.5 - (size - radius))
            if math.hypot(dx, dy) <= radius:
                r, g, b = sky_colour(y * 150 / size, 150)
                pixels[y][x] = (r, g, b, 255)


def paint_castle_icon(pixels, size):
    paint_rounded_sky(pixels, size)
    k = size / 32
    dark = (40, 22, 52, 255)

    def fill(x0, y0, x1, y1, colour):
        for y in range(int(y0 * k), int(y1 * k)):
            for x in range(int(x0 * k), int(x1 * k)):
                if pixels[y][x][3]:
                    pixels[y][x] = colour

    fill(0, 26, 32, 32, dark)
    fill(9, 14, 23, 27, dark)
    fill(5, 8, 11, 27, dark)
    fill(21, 11, 27, 27, dark)
    for x in (9, 13, 17, 21):
        fill(x, 12, x + 2, 14, dark)
    fill(14, 21, 18, 27, (10, 8, 14, 255))
    fill(7, 12, 9, 15, (255, 204, 96, 255))


def paint_letter_icon(pixels, size):
    paint_rounded_sky(pixels, size)
    cell = max(1, size // 8)
    left = (size - 5 * cell) // 2
    top = (size - 7 * cell) // 2
    for row, line in enumerate(GLYPHS["W"]):
        for col, mark in enumerate(line):
            if mark == "#":
                for y in range(top + row * cell, top + (row + 1) * cell):
                    for x in range(left + col * cell, left + (col + 1) * cell):
                        pixels[y][x] = mix((255, 236, 150), (196, 112, 28), y / size) + (255,)


def paint_update_icon(pixels, size):
    paint_rounded_sky(pixels, size)
    k = size / 32
    gold = (240, 190, 80, 255)
    for y in range(size):
        for x in range(size):
            u, v = x / k, y / k
            shaft = 12 <= u < 20 and 5 <= v < 17
            head = 17 <= v < 26 and abs(u - 16) < (26 - v)
            base = 27 <= v < 29 and 6 <= u < 26
            if shaft or head or base:
                pixels[y][x] = gold


def main():
    write_bmp(os.path.join(HERE, "splash.bmp"), splash())
    write_ico(os.path.join(HERE, "icon_101.ico"), paint_castle_icon)
    write_ico(os.path.join(HERE, "icon_102.ico"), paint_letter_icon)
    write_ico(os.path.join(HERE, "icon_103.ico"), paint_update_icon)


if __name__ == "__main__":
    main()
