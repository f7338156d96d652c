#!/usr/bin/env python3
"""xwd-to-png.py IN.xwd OUT.png: a screen dump of xwd (32 bits a pixel) as PNG, without an image
library."""
import struct
import sys
import zlib

d = open(sys.argv[1], 'rb').read()
h = struct.unpack('>25I', d[:100])
size, width, height, order, bpl = h[0], h[4], h[5], h[7], h[12]
masks = h[14:17]
pixels = d[size + h[19] * 12:]
rows = bytearray()
for y in range(height):
    rows += b'\0'
    for x in range(width):
        v = int.from_bytes(pixels[y * bpl + x * 4:y * bpl + x * 4 + 4], 'little' if order == 0 else 'big')
        rows += bytes(((v & masks[0]) >> 16, (v & masks[1]) >> 8, v & masks[2]))


def chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))


open(sys.argv[2], 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
                              + chunk(b'IDAT', zlib.compress(bytes(rows), 9)) + chunk(b'IEND', b''))
