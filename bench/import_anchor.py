#!/usr/bin/env python3
"""Import of a 50-megapixel 16-bit RGB TIFF by `qxtool image import` (libvips decoding, our tiled
record and its tile-record file) against `vips copy` of the same file to a .v file, both as whole
processes, in the same run. BM_QxtoolImportTiffToRecord is the part up to a filled tiled record,
as the command reports it (without starting the process and without saving the record).

  import_anchor.py                    time both, print Google-Benchmark JSON
  import_anchor.py --generate PATH    write the TIFF (the bundled photograph enlarged to 7071 x 7071,
                                      16 bits, uncompressed) to PATH

The TIFF is $QX_IMPORT_BENCH_FILE, or qx_import_bench.tif in $TMPDIR, generated when missing;
qxtool is $QX_QXTOOL or the release build's.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SIDE = 7071


def tiff_path():
    path = os.environ.get("QX_IMPORT_BENCH_FILE")
    return path if path else os.path.join(os.environ.get("TMPDIR") or "/tmp", "qx_import_bench.tif")


def generate(path):
    photo = os.path.join(ROOT, "tools", "qxtool", "samples", "astronaut.png")
    folder = tempfile.mkdtemp(prefix="qx_import_gen")
    try:
        big = os.path.join(folder, "big.v")
        subprocess.run(["vips", "resize", photo, big, str(SIDE / 512)], check=True)
        tmp = path + ".tmp%d.tif" % os.getpid()
        subprocess.run(["vips", "colourspace", big, tmp, "rgb16"], check=True)
        os.replace(tmp, path)
    finally:
        shutil.rmtree(folder)


def time_ns(command, iterations):
    """Mean wall time of `command` after one untimed run that warms the page cache, and the mean
    of the time the command itself reports on its "import ..." line (0 when it prints none)."""
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    total, reported = 0.0, 0.0
    for _ in range(iterations):
        start = time.perf_counter()
        out = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout
        total += time.perf_counter() - start
        found = re.search(r"^import .* in ([0-9.]+) (ms|s)$", out, re.M)
        if found:
            reported += float(found.group(1)) / (1000 if found.group(2) == "ms" else 1)
    return total / iterations * 1e9, reported / iterations * 1e9


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--generate":
        generate(sys.argv[2])
        return
    path = tiff_path()
    if not os.path.exists(path):
        generate(path)
    qxtool = os.environ.get("QX_QXTOOL") or os.path.join(ROOT, "build", "release", "tools", "qxtool", "qxtool")
    iterations = int(os.environ.get("QX_IMPORT_BENCH_ITERATIONS", "3"))
    folder = tempfile.mkdtemp(prefix="qx_import_anchor")
    os.environ["TMPDIR"] = folder  # where qxtool's tile cache spills
    try:
        results = []

        def add(name, ns):
            results.append({"name": name, "iterations": iterations, "real_time": ns, "cpu_time": ns,
                            "time_unit": "ns", "bytes": SIDE * SIDE * 6})

        whole, record = time_ns([qxtool, "image", "import", path, os.path.join(folder, "out.qxtiles")], iterations)
        add("BM_QxtoolImportTiff", whole)
        add("BM_QxtoolImportTiffToRecord", record)
        add("BM_VipsCopyToV", time_ns(["vips", "copy", path, os.path.join(folder, "out.v")], iterations)[0])
    finally:
        shutil.rmtree(folder)
    json.dump({"benchmarks": results}, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
