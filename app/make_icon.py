#!/usr/bin/env python3
"""Draws Corvane's application icon: one 128 x 128, 32-bit image in an .ico file.

A rounded tile with the face of a nine-pin serial connector, drawn with 4 x 4 supersampling.
Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

SIZE = 128
SAMPLES = 4


def inside_rounded_rect(x, y, left, top, right, bottom, radius):
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_connector(x, y):
    # A trapezoid, wider at the top, with rounded corners approximated by an inset test.
    top, bottom = 40.0, 88.0
    if y < top or y > bottom:
        return False
    t = (y - top) / (bottom - top)
    half = 40.0 - 8.0 * t
    return abs(x - 64.0) <= half


PINS = [(40 + 12 * i, 55) for i in range(5)] + [(46 + 12 * i, 73) for i in range(4)]


def inside_pin(x, y):
    return any((x - px) ** 2 + (y - py) ** 2 <= 4.2 ** 2 for px, py in PINS)


def colour_at(x, y):
    """RGBA of one sample point, or None outside the tile."""
    if not inside_rounded_rect(x, y, 4, 4, 124, 124, 22):
        return None
    if inside_pin(x, y):
        return (20, 60, 90, 255)
    if inside_connector(x, y):
        return (245, 248, 250, 255)
    if inside_connector(x + 3.0, y - 3.0) or inside_connector(x - 3.0, y - 3.0):
        return (12, 48, 72, 255)  # the connector's shadow and rim
    g = y / SIZE
    return (int(30 + 10 * g), int(130 - 60 * g), int(160 - 50 * g), 255)


def render():
    pixels = []
    for row in range(SIZE):
        line = []
        for col in range(SIZE):
            acc = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at(col + (sx + 0.5) / SAMPLES, row + (sy + 0.5) / SAMPLES)
                    if c:
                        a = c[3]
                        acc[0] += c[0] * a
                        acc[1] += c[1] * a
                        acc[2] += c[2] * a
                        acc[3] += a
            n = SAMPLES * SAMPLES
            alpha = acc[3] // n
            if acc[3]:
                rgb = [acc[i] // acc[3] for i in range(3)]
            else:
                rgb = [0, 0, 0]
            line.append((rgb[0], rgb[1], rgb[2], alpha))
        pixels.append(line)
    return pixels


def write_ico(path, pixels):
    xor = bytearray()
    for row in reversed(pixels):  # DIBs are stored bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((SIZE + 31) // 32) * 4
    mask = bytes(mask_stride * SIZE)  # transparency comes from the alpha channel
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 128, 128, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(directory + entry + image)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    write_ico(sys.argv[1], render())
