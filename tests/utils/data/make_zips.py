#!/usr/bin/env python3
"""Writes the zip reader's test archives with Python's zipfile, then damages some of them.

  make_zips.py OUTDIR ABSOLUTE_NAME [--small]

good.zip holds the entries listed in GOOD, and OUTDIR/expect/<index> the data of each. The other
archives hold one case each, named after what was done to them; ABSOLUTE_NAME is the absolute entry
name of hostile.zip. --small writes the same archives with a hundredth of the data, as fuzzing
seeds.
"""
import os
import random
import struct
import sys
import zipfile

STORED, DEFLATED = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED


SCALE = 100 if "--small" in sys.argv else 1


def text(seed, size):
    # Compressible but not trivial: words drawn from a small pseudo-random vocabulary.
    size //= SCALE
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"abcdefghij") for _ in range(rng.randint(2, 8))) for _ in range(300)]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" "
    return bytes(out[:size])


LONG = "/".join(["x" * 250] * 5) + "/long.txt"  # 1263 bytes, each component within NAME_MAX
CP437 = b"caf\x82 \xe1.txt"  # "café ß.txt", written without the UTF-8 flag
GOOD = [
    ("stored.txt", STORED, b"stored bytes\n"),
    ("deflated.bin", DEFLATED, text(1, 200000)),
    ("sub/dir/nested.txt", DEFLATED, b"nested\n" * 100),
    ("folder/", STORED, b""),
    ("Été/ünï.txt", DEFLATED, "UTF-8 name\n".encode()),
    (CP437, DEFLATED, b"code page 437\n"),
    (LONG, DEFLATED, b"long name\n"),
    ("empty.txt", STORED, b""),
    ("zip64.txt", DEFLATED, b"sizes in the zip64 extra field\n"),
]


class CP437Name(zipfile.ZipInfo):
    # zipfile writes every non-ASCII name as UTF-8 with the flag; this one keeps code page 437.
    __slots__ = ()

    def _encodeFilenameFlags(self):
        return self.filename.encode("cp437"), self.flag_bits


def write(path, entries):
    with zipfile.ZipFile(path, "w") as z:
        for name, method, data in entries:
            info = CP437Name(name.decode("cp437")) if isinstance(name, bytes) else zipfile.ZipInfo(name)
            info.compress_type = method
            with z.open(info, "w", force_zip64=name == "zip64.txt") as entry:
                entry.write(data)


def patch(path, index, local_at, central_at, change, size=4):
    """Applies change(old) -> new to a field of entry `index` in its local and central headers."""
    with zipfile.ZipFile(path) as z:
        info = z.infolist()[index]
        start_dir = z.start_dir
    blob = bytearray(open(path, "rb").read())
    central = start_dir
    for _ in range(index):
        n, x, c = struct.unpack_from("<HHH", blob, central + 28)
        central += 46 + n + x + c
    fmt = "<I" if size == 4 else "<H"
    for at in (info.header_offset + local_at, central + central_at):
        struct.pack_into(fmt, blob, at, change(struct.unpack_from(fmt, blob, at)[0]))
    open(path, "wb").write(blob)


def flip_data_byte(path, index):
    with zipfile.ZipFile(path) as z:
        offset = z.infolist()[index].header_offset
    blob = bytearray(open(path, "rb").read())
    n, x = struct.unpack_from("<HH", blob, offset + 26)
    blob[offset + 30 + n + x] ^= 0x01
    open(path, "wb").write(blob)


def main():
    out, absolute = sys.argv[1], sys.argv[2]
    os.makedirs(os.path.join(out, "expect"), exist_ok=True)
    write(os.path.join(out, "good.zip"), GOOD)
    for i, (_, _, data) in enumerate(GOOD):
        open(os.path.join(out, "expect", str(i)), "wb").write(data)
    with zipfile.ZipFile(os.path.join(out, "good.zip")) as z:  # the peer reads what was meant
        assert [i.filename for i in z.infolist()][5] == "café ß.txt"
        assert all(z.read(i) == d for i, (_, _, d) in zip(z.infolist(), GOOD))

    victim = [("stored.txt", STORED, b"stored bytes\n"), ("deflated.bin", DEFLATED, text(2, 100000)),
              ("nest/deep/stored.txt", STORED, b"nested\n")]
    for case in ("crc", "short", "encrypted"):
        write(os.path.join(out, case + ".zip"), victim)
    path = os.path.join(out, "crc.zip")
    flip_data_byte(path, 0)
    flip_data_byte(path, 2)
    patch(path, 1, 14, 16, lambda v: v ^ 1)
    for i in (0, 1):  # each entry declares one byte more than it holds
        patch(os.path.join(out, "short.zip"), i, 22, 24, lambda v: v + 1)
        patch(os.path.join(out, "encrypted.zip"), i, 6, 8, lambda v: v | 1, size=2)

    hostile = ["../evil", absolute, "a\\..\\..\\evil", "a/../../evil", "nul_name.txt", "a//b", "./x", "..",
               "sub/.."]
    write(os.path.join(out, "hostile.zip"), [(n, STORED, b"evil\n") for n in hostile])
    blob = open(os.path.join(out, "hostile.zip"), "rb").read().replace(b"nul_name", b"nul\0name")
    open(os.path.join(out, "hostile.zip"), "wb").write(blob)

    write(os.path.join(out, "empty.zip"), [])


if __name__ == "__main__":
    main()
