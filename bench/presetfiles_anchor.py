#!/usr/bin/env python3
"""Anchor for the preset loading benchmark: Python's plistlib reading the same preset files.

  presetfiles_anchor.py                 time plistlib.load of every file, print Google-Benchmark JSON
  presetfiles_anchor.py --generate DIR  write the 1,000 preset files (always the same bytes) to DIR

The folder is $QX_PRESET_BENCH_DIR, or qx_preset_bench in $TMPDIR, generated when missing. Each
file is a tone-curve preset of about 4 KB: the common data, a curve of 16 slots (10 active) and 40
settings of every property-list kind.
"""
import json
import os
import plistlib
import random
import shutil
import sys
import time

COUNT = 1000


def folder():
    path = os.environ.get("QX_PRESET_BENCH_DIR")
    return path if path else os.path.join(os.environ.get("TMPDIR") or "/tmp", "qx_preset_bench")


def preset(rng, i):
    slots = [{"controlPointX": -1.0, "controlPointY": -1.0} for _ in range(16)]
    for k, slot in enumerate(sorted(rng.sample(range(16), 10))):
        slots[slot] = {"controlPointX": slot / 15.0, "controlPointY": rng.random()}
    d = {
        "presetName": "Look %04d" % i, "author": "Bench", "description": "A preset for the loading benchmark",
        "isFactoryPreset": i % 3 == 0, "free": False, "sortOrder": i, "properties": 0,
        "curveVersion": 2, "id": i, "selectedControlPoint": 0, "controlPointCount": 16, "controlPoints": slots,
    }
    for s in range(40):
        kind = s % 4
        key = "setting%02d" % s
        d[key] = (rng.randint(-1000, 1000), rng.random() * 100, "value %d" % rng.randint(0, 99999),
                  rng.random() < 0.5)[kind]
    return d


def generate(path):
    rng = random.Random(20261207)
    tmp = path + ".tmp%d" % os.getpid()
    os.makedirs(tmp)
    for i in range(COUNT):
        with open(os.path.join(tmp, "Look %04d.qxp" % i), "wb") as f:
            plistlib.dump(preset(rng, i), f, fmt=plistlib.FMT_XML)
    os.rename(tmp, path)


def time_ns(fn, min_seconds):
    fn()
    iterations, start = 0, time.perf_counter()
    while True:
        fn()
        iterations += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return elapsed / iterations * 1e9, iterations


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--generate":
        generate(sys.argv[2])
        return
    path = folder()
    if not os.path.isdir(path):
        generate(path)
    names = sorted(os.listdir(path))

    def load_all():
        for name in names:
            with open(os.path.join(path, name), "rb") as f:
                plistlib.load(f)

    ns, iterations = time_ns(load_all, float(os.environ.get("QX_BENCH_MIN_TIME", "0.5")) * 2)
    json.dump({"benchmarks": [{"name": "BM_PlistlibLoadPresets", "iterations": iterations, "real_time": ns,
                               "cpu_time": ns, "time_unit": "ns", "items": len(names)}]}, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
