#!/usr/bin/env python3
"""xwd-to-png.py OUT.png SCREEN.xwd [X,Y,WINDOW.xwd ...] [--blank]: screen dumps of xwd (32 bits a pixel) as
one PNG, without an image library. Windows dumped one by one are laid over the screen in the order
given, each with its top left corner at X,Y: a dump of the root alone shows windows with a visual
of their own (message boxes) black. With --blank the windows go on a black screen of the same size."""
import struct
import sys
import zlib


def read(path):
    d = open(path, 'rb').read()
    h = struct.unpack('>25I', d[:100])
    size, width, height, order, bpl = h[0], h[4], h[5], h[7], h[12]
    masks, x, y = h[14:17], h[22], h[23]
    # Window positions are signed.
    x, y = (x - (1 << 32) if x >= 1 << 31 else x), (y - (1 << 32) if y >= 1 << 31 else y)
    pixels = d[size + h[19] * 12:]
    rows = []
    for row in range(height):
        line = bytearray()
        for col in range(width):
            v = int.from_bytes(pixels[row * bpl + col * 4:row * bpl + col * 4 + 4], 'little' if order == 0 else 'big')
            line += bytes(((v & masks[0]) >> 16, (v & masks[1]) >> 8, v & masks[2]))
        rows.append(line)
    return x, y, width, height, rows


_, _, width, height, screen = read(sys.argv[2])
windows = [a for a in sys.argv[3:] if a != "--blank"]
if '--blank' in sys.argv[3:]:  # only the windows, on a black screen
    screen = [bytearray(width * 3) for _ in range(height)]
for window in windows:
    at_x, at_y, path = window.split(',', 2)
    _, _, w, h, rows = read(path)
    x, y = int(at_x), int(at_y)
    for row in range(h):
        if 0 <= y + row < height:
            left, right = max(x, 0), min(x + w, width)
            if left < right:
                screen[y + row][left * 3:right * 3] = rows[row][(left - x) * 3:(right - x) * 3]


def chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))


raw = b''.join(b'\0' + bytes(r) for r in screen)
open(sys.argv[1], 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
                              + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))
