#!/usr/bin/env python3
"""Makes the placeholder images of the setup window with nothing but the standard library.

    logo.png     505 x 125, RGBA: a rounded banner with an emblem and the product name
    icon.png     256 x 256, RGBA: the emblem on a rounded square (the window's and the
                 menu's icon when the application brings none of its own)
    network.gif  20 x 20, 20 frames of 100 ms, looping: the network-activity spinner

Run from any folder: python3 resources/make_images.py
The output is deterministic, so running it again changes nothing.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


# ---- PNG -------------------------------------------------------------------------

def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, width, height, pixel):
    """pixel(x, y) -> (r, g, b, a), each 0..255."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)  # filter: none
        for x in range(width):
            rows.extend(pixel(x, y))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(png_chunk(b"IHDR", header))
        out.write(png_chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
        out.write(png_chunk(b"IEND", b""))


def coverage(distance):
    """Antialiased inside-ness of a point `distance` pixels inside an edge."""
    return max(0.0, min(1.0, distance + 0.5))


def rounded_rect_distance(x, y, left, top, right, bottom, radius):
    """Positive inside the rounded rectangle: distance to its edge."""
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return radius - math.hypot(x - cx, y - cy)


def mix(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def emblem(px, py, cx, cy, outer):
    """Coverage of the emblem: a ring with a wedge cut out round a dot, `outer` its radius."""
    d = math.hypot(px - cx, py - cy)
    ring = coverage(min(d - outer * 26 / 44, outer - d))
    angle = math.degrees(math.atan2(py - cy, px - cx)) % 360
    if 300 < angle < 360:
        ring = 0
    dot = coverage(outer * 12 / 44 - d)
    return max(ring, dot)


def logo_pixel(x, y):
    px, py = x + 0.5, y + 0.5
    banner = coverage(rounded_rect_distance(px, py, 2, 2, 503, 123, 24))
    if banner == 0:
        return (0, 0, 0, 0)
    colour = mix((32, 84, 160), (18, 44, 96), py / 125)  # top to bottom gradient
    colour = mix(colour, (250, 186, 48), emblem(px, py, 90, 62.5, 44))  # left of centre
    # the product name, drawn with round-ended strokes
    if NAME_BOX[0] <= px <= NAME_BOX[2] and NAME_BOX[1] <= py <= NAME_BOX[3]:
        ink = coverage(STROKE / 2 - min(stroke.distance(px, py) for stroke in NAME_STROKES))
        colour = mix(colour, (240, 244, 252), ink)
    return colour + (round(255 * banner),)


def icon_pixel(x, y):
    px, py = x + 0.5, y + 0.5
    square = coverage(rounded_rect_distance(px, py, 8, 8, 248, 248, 48))
    if square == 0:
        return (0, 0, 0, 0)
    colour = mix((32, 84, 160), (18, 44, 96), py / 256)
    colour = mix(colour, (250, 186, 48), emblem(px, py, 128, 128, 92))
    return colour + (round(255 * square),)


# ---- the name "Vorlen" ----------------------------------------------------------------

class Segment:
    def __init__(self, x0, y0, x1, y1):
        self.x0, self.y0, self.x1, self.y1 = x0, y0, x1, y1

    def distance(self, x, y):
        dx, dy = self.x1 - self.x0, self.y1 - self.y0
        t = max(0.0, min(1.0, ((x - self.x0) * dx + (y - self.y0) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - self.x0 - t * dx, y - self.y0 - t * dy)


class Arc:
    """Part of a circle from angle `start` to `end` (degrees, clockwise on screen)."""

    def __init__(self, cx, cy, r, start=0, end=360):
        self.cx, self.cy, self.r, self.start, self.end = cx, cy, r, start, end

    def point(self, degrees):
        a = math.radians(degrees)
        return self.cx + self.r * math.cos(a), self.cy + self.r * math.sin(a)

    def distance(self, x, y):
        angle = math.degrees(math.atan2(y - self.cy, x - self.cx)) % 360
        if (angle - self.start) % 360 <= (self.end - self.start) % 360 or self.end - self.start >= 360:
            return abs(math.hypot(x - self.cx, y - self.cy) - self.r)
        return min(math.hypot(x - px, y - py) for px, py in (self.point(self.start), self.point(self.end)))


STROKE = 10
CAP_TOP, X_TOP, BASE = 32, 52, 92  # cap height 60, x-height 40


def name_strokes(left):
    """V o r l e n, left to right, starting at x = left."""
    strokes = []
    x = left
    strokes += [Segment(x, CAP_TOP, x + 22, BASE), Segment(x + 22, BASE, x + 44, CAP_TOP)]  # V
    x += 44 + 14
    strokes += [Arc(x + 20, X_TOP + 20, 20)]  # o
    x += 40 + 14
    strokes += [Segment(x, X_TOP, x, BASE), Arc(x + 20, X_TOP + 20, 20, 200, 290)]  # r
    x += 28 + 12
    strokes += [Segment(x, CAP_TOP - 2, x, BASE)]  # l
    x += 14
    strokes += [Arc(x + 20, X_TOP + 20, 20, 40, 360), Segment(x, X_TOP + 20, x + 40, X_TOP + 20)]  # e
    x += 40 + 14
    strokes += [Segment(x, X_TOP, x, BASE), Arc(x + 17, X_TOP + 17, 17, 180, 360),
                Segment(x + 34, X_TOP + 17, x + 34, BASE)]  # n
    x += 34
    return strokes, x


NAME_STROKES, _name_right = name_strokes(176)
NAME_BOX = (176 - STROKE, CAP_TOP - 2 - STROKE, _name_right + STROKE, BASE + STROKE)


# ---- GIF -------------------------------------------------------------------------

def lzw_encode(indices, min_code_size):
    """The GIF flavour of LZW: variable-width codes packed LSB first."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    out = bytearray()
    bit_buffer, bit_count = 0, 0

    def emit(code, width):
        nonlocal bit_buffer, bit_count
        bit_buffer |= code << bit_count
        bit_count += width
        while bit_count >= 8:
            out.append(bit_buffer & 0xFF)
            bit_buffer >>= 8
            bit_count -= 8

    def fresh_table():
        return {(i,): i for i in range(clear)}, end + 1, min_code_size + 1

    table, next_code, width = fresh_table()
    emit(clear, width)
    current = ()
    for index in indices:
        extended = current + (index,)
        if extended in table:
            current = extended
            continue
        emit(table[current], width)
        if next_code == 4096:
            emit(clear, width)
            table, next_code, width = fresh_table()
        else:
            table[extended] = next_code
            if next_code == (1 << width) and width < 12:
                width += 1
            next_code += 1
        current = (index,)
    if current:
        emit(table[current], width)
    emit(end, width)
    if bit_count:
        out.append(bit_buffer & 0xFF)
    return bytes(out)


def sub_blocks(data):
    blocks = bytearray()
    for start in range(0, len(data), 255):
        piece = data[start:start + 255]
        blocks.append(len(piece))
        blocks.extend(piece)
    blocks.append(0)
    return bytes(blocks)


def write_gif(path, size, palette, frames, delay_cs):
    """palette: 16 (r, g, b); index 0 is transparent. frames: lists of size*size indices."""
    with open(path, "wb") as out:
        out.write(b"GIF89a")
        out.write(struct.pack("<HHBBB", size, size, 0xF3, 0, 0))  # global table of 16 colours
        for colour in palette:
            out.write(bytes(colour))
        out.write(b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00")  # loop for ever
        for frame in frames:
            # disposal 2 (restore to background), transparent index 0
            out.write(b"\x21\xF9\x04" + struct.pack("<BHB", 0x09, delay_cs, 0) + b"\x00")
            out.write(b"\x2C" + struct.pack("<HHHHB", 0, 0, size, size, 0))
            out.write(b"\x04" + sub_blocks(lzw_encode(frame, 4)))
        out.write(b"\x3B")


def spinner_frames(size=20, count=20, dots=10):
    """`dots` dots on a circle; a bright head runs round with a fading tail."""
    palette = [(255, 255, 255)] + [mix((200, 210, 225), (32, 84, 160), i / 14) for i in range(15)]
    frames = []
    for frame in range(count):
        head = frame * dots / count
        pixels = []
        for y in range(size):
            for x in range(size):
                value = 0
                for dot in range(dots):
                    angle = 2 * math.pi * dot / dots
                    dx = x + 0.5 - (size / 2 + 7 * math.cos(angle))
                    dy = y + 0.5 - (size / 2 + 7 * math.sin(angle))
                    inside = coverage(1.6 - math.hypot(dx, dy))
                    if inside > 0.5:
                        age = (head - dot) % dots  # 0 at the head
                        value = max(value, 15 - round(age * 14 / dots))
                pixels.append(value)
        frames.append(pixels)
    return palette, frames


def main():
    write_png(os.path.join(HERE, "logo.png"), 505, 125, logo_pixel)
    write_png(os.path.join(HERE, "icon.png"), 256, 256, icon_pixel)
    palette, frames = spinner_frames()
    write_gif(os.path.join(HERE, "network.gif"), 20, palette, frames, 10)


if __name__ == "__main__":
    main()
