#!/usr/bin/env python3
"""Makes the placeholder images of the setup window with nothing but the standard library.

    logo.png     505 x 125, RGBA: a rounded banner with an emblem, no text
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


def logo_pixel(x, y):
    px, py = x + 0.5, y + 0.5
    banner = coverage(rounded_rect_distance(px, py, 2, 2, 503, 123, 24))
    if banner == 0:
        return (0, 0, 0, 0)
    colour = mix((32, 84, 160), (18, 44, 96), py / 125)  # top to bottom gradient
    # the emblem: a ring with a wedge cut out, left of centre
    d = math.hypot(px - 90, py - 62.5)
    ring = coverage(min(d - 26, 44 - d))
    angle = math.degrees(math.atan2(py - 62.5, px - 90)) % 360
    if 300 < angle < 360:
        ring = 0
    dot = coverage(12 - d)
    colour = mix(colour, (250, 186, 48), max(ring, dot))
    # three bars where a name would stand
    for i, length in enumerate((300, 240, 170)):
        top = 36 + i * 20
        bar = coverage(rounded_rect_distance(px, py, 160, top, 160 + length, top + 10, 5))
        colour = mix(colour, (224, 234, 248), bar * 0.85)
    return colour + (round(255 * banner),)


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
    palette, frames = spinner_frames()
    write_gif(os.path.join(HERE, "network.gif"), 20, palette, frames, 10)


if __name__ == "__main__":
    main()
