"""Rewrites a little-endian tile-record stream with Python's zlib: IN RAW ZLIB.

RAW gets every compressed record inflated into a raw record, ZLIB gets it recompressed by
zlib.compress at level 6; other records are copied. Fails unless every compressed record
inflates to exactly one tile.
"""
import struct
import sys
import zlib

data = open(sys.argv[1], "rb").read()
_, width, height, depth, _, _, planes = struct.unpack_from("<7i", data)
tile_bytes = depth // 8 * planes * 256 * 256
raw, packed = bytearray(data[:28]), bytearray(data[:28])
pos, count = 28, 0
while pos < len(data):
    row, col, method, length = struct.unpack_from("<4i", data, pos)
    payload = data[pos + 16 : pos + 16 + length]
    pos += 16 + length
    if method == 2:
        pixels = zlib.decompress(payload)
        assert len(pixels) == tile_bytes, (row, col, len(pixels))
        count += 1
        raw += struct.pack("<4i", row, col, 0, len(pixels)) + pixels
        again = zlib.compress(pixels, 6)
        packed += struct.pack("<4i", row, col, 2, len(again)) + again
    else:
        raw += data[pos - 16 - length : pos]
        packed += data[pos - 16 - length : pos]
open(sys.argv[2], "wb").write(raw)
open(sys.argv[3], "wb").write(packed)
print(count)
