#!/usr/bin/env python3
"""Draws the watcher's icon (an eye over a folder tab, 16x16 and 32x32,
32-bit) and writes it as ui/res/watcher.ico. Run it only to change the icon."""
import struct, sys, math

def draw(size):
    px = []
    for y in range(size):
        row = []
        for x in range(size):
            u, v = (x + 0.5) / size, (y + 0.5) / size
            a = 0
            r = g = b = 0
            # folder body
            if 0.08 < u < 0.92 and 0.30 < v < 0.88:
                r, g, b, a = 0xE8, 0xB0, 0x3C, 255
            # folder tab
            if 0.08 < u < 0.45 and 0.20 < v <= 0.30:
                r, g, b, a = 0xD0, 0x98, 0x28, 255
            # eye: white almond with a blue iris
            du, dv = (u - 0.5) / 0.34, (v - 0.6) / 0.17
            if du * du + dv * dv < 1.0:
                r, g, b, a = 0xFF, 0xFF, 0xFF, 255
                if (u - 0.5) ** 2 + (v - 0.6) ** 2 < 0.13 ** 2:
                    r, g, b = 0x1E, 0x5A, 0xB4
                if (u - 0.5) ** 2 + (v - 0.6) ** 2 < 0.05 ** 2:
                    r, g, b = 0x10, 0x10, 0x10
            row.append((b, g, r, a))
        px.append(row)
    return px

def bmp_entry(size):
    px = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes(c) for row in reversed(px) for c in row)
    mask_row = ((size + 31) // 32) * 4
    andmask = bytearray()
    for row in reversed(px):
        bits = 0
        line = bytearray(mask_row)
        for x, c in enumerate(row):
            if c[3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        andmask += line
    return header + xor + bytes(andmask)

def main(out):
    sizes = [16, 32]
    images = [bmp_entry(s) for s in sizes]
    data = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        data += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    data += b''.join(images)
    open(out, 'wb').write(data)

main(sys.argv[1] if len(sys.argv) > 1 else 'ui/res/watcher.ico')
