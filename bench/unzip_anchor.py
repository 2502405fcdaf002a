#!/usr/bin/env python3
"""Anchor for the zip extraction benchmark: Python's zipfile extracting the same entry.

  unzip_anchor.py                    time ZipFile.extract of the entry, print Google-Benchmark JSON
  unzip_anchor.py --generate PATH    write the archive (one 64 MiB deflated entry, always the same
                                     bytes) to PATH

The archive is $QX_UNZIP_BENCH_FILE, or qx_unzip_bench.zip in $TMPDIR, generated when missing; the
entry is text-like pseudo-random words, which deflate to about 45 %.
"""
import json
import os
import random
import shutil
import sys
import tempfile
import zipfile

from anchortime import time_ns

ENTRY = "big.bin"
SIZE = 64 << 20


def archive_path():
    path = os.environ.get("QX_UNZIP_BENCH_FILE")
    return path if path else os.path.join(os.environ.get("TMPDIR") or "/tmp", "qx_unzip_bench.zip")


def generate(path):
    rng = random.Random(20240301)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(4000)]
    out = bytearray()
    while len(out) < SIZE:
        out += b" ".join(rng.choices(words, k=1000)) + b"\n"
    tmp = path + ".tmp%d" % os.getpid()
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        z.writestr(ENTRY, bytes(out[:SIZE]))
    os.replace(tmp, path)



def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--generate":
        generate(sys.argv[2])
        return
    path = archive_path()
    if not os.path.exists(path):
        generate(path)
    folder = tempfile.mkdtemp(prefix="qx_unzip_anchor")
    try:
        with zipfile.ZipFile(path) as z:
            ns, iterations = time_ns(lambda: z.extract(ENTRY, folder),
                                     float(os.environ.get("QX_BENCH_MIN_TIME", "0.5")) * 2)
    finally:
        shutil.rmtree(folder)
    result = {"name": "BM_ZipfileExtract", "iterations": iterations, "real_time": ns, "cpu_time": ns,
              "time_unit": "ns", "bytes": SIZE}
    json.dump({"benchmarks": [result]}, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
