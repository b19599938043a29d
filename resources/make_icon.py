#!/usr/bin/env python3
"""Draws the program icon (a dock with a firmware arrow) as a 16/32/48 px .ico."""
import struct
import sys


def pixel(x, y, n):
    """RGBA of the design at (x, y) on an n x n grid; y grows downwards."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    # Rounded dark-blue body of the dock.
    if 0.08 <= u <= 0.92 and 0.40 <= v <= 0.86:
        corner = min(u - 0.08, 0.92 - u, v - 0.40, 0.86 - v)
        if corner < 0.03 and ((u - 0.5) ** 2 > 0.17 and (v - 0.63) ** 2 > 0.04):
            return (0, 0, 0, 0)
        # Three port slots.
        for px in (0.22, 0.44, 0.66):
            if px <= u <= px + 0.12 and 0.58 <= v <= 0.70:
                return (235, 240, 250, 255)
        if 0.80 <= u <= 0.86 and 0.50 <= v <= 0.56:
            return (90, 220, 120, 255)  # power light
        return (10, 10, 160, 255)
    # Orange upward arrow: firmware going into the dock.
    if 0.42 <= u <= 0.58 and 0.16 <= v <= 0.36:
        return (245, 140, 20, 255)
    if 0.04 <= v <= 0.18 and abs(u - 0.5) <= (v - 0.04) * 1.3:
        return (245, 140, 20, 255)
    return (0, 0, 0, 0)


def image(n):
    rows = []
    for y in range(n - 1, -1, -1):  # bottom-up DIB
        for x in range(n):
            r, g, b, a = pixel(x, y, n)
            rows.append(struct.pack("BBBB", b, g, r, a))
    xor = b"".join(rows)
    mask_row = ((n + 31) // 32) * 4
    and_mask = b"\x00" * (mask_row * n)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main(path):
    sizes = (16, 32, 48)
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
