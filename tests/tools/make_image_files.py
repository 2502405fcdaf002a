#!/usr/bin/env python3
"""Writes the image files that check_qxtool_image.cmake imports, with the standard library only.

usage: make_image_files.py DIR [PROFILE]

For each case NAME (see CASES) writes DIR/NAME.png or .tif and DIR/NAME.expected, the pixels as
qxtool writes raw dumps (interleaved, 16-bit samples little-endian). Samples use every bit, so a
dropped low byte or a swapped pair shows. With PROFILE (an RGB ICC profile) also writes icc.png
(RGB with the profile embedded) and icc-gray.tif (grey, carrying that RGB profile). Also writes
clear.png (RGBA, alpha 0 everywhere) with clear.expected (its JPEG export: white RGB), and
the hostile files: truncated.png, truncated.tif, huge.tif and huge.png (10^12 pixels declared).
"""
import os
import struct
import sys
import zlib

# name, format, bits, channels (1 grey, 2 grey + alpha, 3 RGB, 4 RGBA), width, height
CASES = [
    ("g8", "png", 8, 1, 37, 19),
    ("ga16", "png", 16, 2, 20, 300),
    ("rgb8", "png", 8, 3, 300, 17),
    ("rgba16", "png", 16, 4, 33, 260),
    ("g16", "tif", 16, 1, 260, 5),
    ("rgb16", "tif", 16, 3, 41, 290),
    ("rgba8", "tif", 8, 4, 19, 23),
    ("ga8", "tif", 8, 2, 7, 3),
]


def samples(bits, channels, width, height):
    top = (1 << bits) - 1
    for y in range(height):
        for x in range(width):
            for c in range(channels):
                yield (x * 7919 + y * 104729 + c * 15485863 + (x * y) % 251) % (top + 1)


def pack(values, bits, order):
    return struct.pack(f"{order}{len(values)}{'B' if bits == 8 else 'H'}", *values)


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def write_png(path, bits, channels, width, height, values, profile=None, declared=None):
    colour = {1: 0, 2: 4, 3: 2, 4: 6}[channels]
    row = width * channels * bits // 8
    raw = pack(values, bits, ">")
    rows = b"".join(b"\0" + raw[y * row:(y + 1) * row] for y in range(height))
    w, h = declared or (width, height)
    out = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, bits, colour, 0, 0, 0))
    if profile:
        out += png_chunk(b"iCCP", b"icc\0\0" + zlib.compress(profile))
    out += png_chunk(b"IDAT", zlib.compress(rows)) + png_chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(out)


def write_tiff(path, bits, channels, width, height, values, profile=None, declared=None):
    # Header, directory, out-of-line values, then the pixels: a cut file keeps its directory.
    data = pack(values, bits, "<")
    w, h = declared or (width, height)
    count = 10 + (channels in (2, 4)) + (profile is not None)
    extra = b""

    def place(blob):
        nonlocal extra
        offset = 8 + 6 + 12 * count + len(extra)
        extra += blob + (b"\0" if len(blob) % 2 else b"")
        return offset

    bits_value = place(struct.pack(f"<{channels}H", *([bits] * channels))) if channels > 2 else \
        struct.unpack("<I", struct.pack("<2H", bits, bits if channels == 2 else 0))[0]
    tags = [(256, 4, 1, w), (257, 4, 1, h), (258, 3, channels, bits_value), (259, 3, 1, 1),
            (262, 3, 1, 2 if channels >= 3 else 1), (277, 3, 1, channels),
            (278, 4, 1, h), (279, 4, 1, len(data)), (284, 3, 1, 1)]
    if channels in (2, 4):
        tags.append((338, 3, 1, 2))  # unassociated alpha
    if profile:
        tags.append((34675, 7, len(profile), place(profile)))
    tags.append((273, 4, 1, 8 + 6 + 12 * count + len(extra)))
    tags.sort()
    ifd = struct.pack("<H", len(tags))
    for tag, kind, n, value in tags:
        if kind == 3 and n == 1:
            ifd += struct.pack("<HHIHH", tag, kind, n, value, 0)
        else:
            ifd += struct.pack("<HHII", tag, kind, n, value)
    ifd += struct.pack("<I", 0)
    with open(path, "wb") as f:
        f.write(b"II*\0" + struct.pack("<I", 8) + ifd + extra + data)


def main():
    folder = sys.argv[1]
    profile = open(sys.argv[2], "rb").read() if len(sys.argv) > 2 else None
    writers = {"png": write_png, "tif": write_tiff}
    for name, kind, bits, channels, width, height in CASES:
        values = list(samples(bits, channels, width, height))
        writers[kind](os.path.join(folder, f"{name}.{kind}"), bits, channels, width, height, values)
        with open(os.path.join(folder, f"{name}.expected"), "wb") as f:
            f.write(pack(values, bits, "<"))
    if profile:
        write_png(os.path.join(folder, "icc.png"), 8, 3, 9, 9, list(samples(8, 3, 9, 9)), profile)
        write_tiff(os.path.join(folder, "icc-gray.tif"), 8, 1, 9, 9, list(samples(8, 1, 9, 9)), profile)
    # Colour under alpha 0 everywhere: white once flattened (JPEG keeps no alpha).
    clear = [v if i % 4 != 3 else 0 for i, v in enumerate(samples(8, 4, 16, 16))]
    write_png(os.path.join(folder, "clear.png"), 8, 4, 16, 16, clear)
    with open(os.path.join(folder, "clear.expected"), "wb") as f:
        f.write(b"\xff" * (16 * 16 * 3))
    # Damaged and hostile files.
    for kind in ("png", "tif"):
        whole = os.path.join(folder, f"rgb16.{kind}" if kind == "tif" else f"rgba16.{kind}")
        with open(whole, "rb") as f:
            body = f.read()
        with open(os.path.join(folder, f"truncated.{kind}"), "wb") as f:
            f.write(body[:len(body) * 3 // 5])
        writers[kind](os.path.join(folder, f"huge.{kind}"), 8, 1, 4, 4, [0] * 16, declared=(1000000, 1000000))


if __name__ == "__main__":
    main()
