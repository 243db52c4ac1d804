#!/usr/bin/env python3
"""Draws the program icon (a satellite dish over a receiver box) as res/vesker.ico.

The icon is committed; run this only to change it. Shapes are rendered with 4x4
supersampling so the 16- and 32-pixel images stay legible. Each size Windows asks for at
100 %, 125 %, 150 % and 200 % is drawn as it is (16 to 64 pixels), so that no scaling
blurs the icon on a high-DPI screen, and 256 pixels (as PNG) for Explorer's large views.
"""
import math
import struct
import sys
import zlib

SS = 4


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def shade(u, v):
    """Colour (r, g, b, a) at point (u, v) of a unit square, or None for clear."""
    # Receiver box: dark body, a green display and a red standby lamp.
    if inside_round_rect(u, v, 0.06, 0.70, 0.94, 0.94, 0.05):
        if 0.14 <= u <= 0.46 and 0.77 <= v <= 0.87:
            return (60, 220, 120, 255)
        if (u - 0.82) ** 2 + (v - 0.82) ** 2 <= 0.045 ** 2:
            return (235, 60, 50, 255)
        return (45, 55, 75, 255)
    # Stand from dish to box.
    if 0.44 <= u <= 0.54 and 0.52 <= v <= 0.70:
        return (110, 120, 135, 255)
    # Dish: a thick arc of a circle opening to the upper right.
    cx, cy = 0.40, 0.34
    d = math.hypot(u - cx, v - cy)
    ang = math.degrees(math.atan2(v - cy, u - cx))
    if 0.24 <= d <= 0.34 and (ang >= 70 or ang <= -160):
        return (235, 238, 245, 255) if d < 0.31 else (150, 160, 180, 255)
    # Feed arm and the feed horn at the dish's focus.
    fx, fy = 0.62, 0.14
    ax, ay = 0.25, 0.55
    t = ((u - ax) * (fx - ax) + (v - ay) * (fy - ay)) / ((fx - ax) ** 2 + (fy - ay) ** 2)
    if 0.0 <= t <= 1.0:
        px, py = ax + t * (fx - ax), ay + t * (fy - ay)
        if math.hypot(u - px, v - py) <= 0.03:
            return (150, 160, 180, 255)
    if math.hypot(u - fx, v - fy) <= 0.07:
        return (240, 180, 40, 255)
    # Signal waves from the upper right corner.
    d2 = math.hypot(u - 0.98, v - 0.02)
    for r in (0.16, 0.27):
        if abs(d2 - r) <= 0.025 and u < 0.98 and v > 0.02:
            return (80, 170, 255, 255)
    return None


def render(size):
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    c = shade((x + (sx + 0.5) / SS) / size, (y + (sy + 0.5) / SS) / size)
                    if c:
                        for i in range(3):
                            acc[i] += c[i] * c[3]
                        acc[3] += c[3]
            n = SS * SS
            a = acc[3] / n
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(acc[i] / acc[3]) for i in range(3)) + (int(a),))
        pixels.append(row)
    return pixels


def bitmap(size):
    pixels = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(
        bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)


def png(size):
    pixels = render(size)
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main(path):
    sizes = (16, 20, 24, 32, 40, 48, 64, 256)
    images = [png(s) if s >= 256 else bitmap(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "res/vesker.ico")
