#!/usr/bin/env python3
"""Draws the program icon (an egret standing in water, on teal) as a 16/32/48-pixel .ico."""
import struct
import sys


def pixel(x, y, size):
    # Coordinates scaled to a 0..1 square.
    u, v = (x + 0.5) / size, (y + 0.5) / size
    teal, white, orange, water = (0x2E, 0x8B, 0x8B), (0xFA, 0xFA, 0xF5), (0xF0, 0xA0, 0x30), (0x9E, 0xD8, 0xE8)
    r = 0.18
    cu = min(max(u, r), 1 - r)
    cv = min(max(v, r), 1 - r)
    if (u - cu) ** 2 + (v - cv) ** 2 > r * r:
        return None  # transparent rounded corner
    if ((u - 0.5) / 0.22) ** 2 + ((v - 0.58) / 0.14) ** 2 <= 1:
        return white  # body
    if abs(u - 0.40 - (0.42 - v) * 0.2) < 0.045 and 0.24 <= v <= 0.52:
        return white  # neck
    if (u - 0.40) ** 2 + (v - 0.22) ** 2 <= 0.075 ** 2:
        return white  # head
    if 0.12 <= u <= 0.37 and abs(v - 0.21 - (0.37 - u) * 0.1) < 0.022:
        return orange  # beak
    if v > 0.72 and abs(u - 0.5) < 0.02:
        return orange  # leg
    if v > 0.80:
        return water
    return teal


def image(size):
    rows = []
    mask_rows = []
    for y in reversed(range(size)):  # bottom-up, as a DIB
        row = b""
        bits = 0
        mask = bytearray()
        for x in range(size):
            p = pixel(x, y, size)
            if p is None:
                row += b"\0\0\0\0"
                bits |= 1 << (7 - x % 8)
            else:
                row += bytes((p[2], p[1], p[0], 255))
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        while len(mask) % 4:
            mask.append(0)
        rows.append(row)
        mask_rows.append(bytes(mask))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + b"".join(mask_rows)


def main(path):
    sizes = (16, 32, 48)
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
