#!/usr/bin/env python3
"""Import of a 50-megapixel 16-bit RGB TIFF by `qxtool image import` (libvips decoding, our tiled
record and its tile-record file) against `vips copy` of the same file to a .v file, both as whole
processes, in the same run.

  import_anchor.py                    time both, print Google-Benchmark JSON
  import_anchor.py --generate PATH    write the TIFF (the bundled photograph enlarged to 7071 x 7071,
                                      16 bits, uncompressed) to PATH

The TIFF is $QX_IMPORT_BENCH_FILE, or qx_import_bench.tif in $TMPDIR, generated when missing;
qxtool is $QX_QXTOOL or the release build's.
"""
import json
import os
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
    # One untimed run warms the page cache; the mean of the rest is reported.
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    start = time.perf_counter()
    for _ in range(iterations):
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return (time.perf_counter() - start) / iterations * 1e9


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
        for name, command in (
                ("BM_QxtoolImportTiff", [qxtool, "image", "import", path, os.path.join(folder, "out.qxtiles")]),
                ("BM_VipsCopyToV", ["vips", "copy", path, os.path.join(folder, "out.v")])):
            ns = time_ns(command, iterations)
            results.append({"name": name, "iterations": iterations, "real_time": ns, "cpu_time": ns,
                            "time_unit": "ns", "bytes": SIDE * SIDE * 6})
    finally:
        shutil.rmtree(folder)
    json.dump({"benchmarks": results}, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
