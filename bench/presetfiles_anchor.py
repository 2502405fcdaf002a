#!/usr/bin/env python3
"""Anchors for the preset benchmarks: Python's plistlib reading the same preset files.

  presetfiles_anchor.py                 time plistlib.load of the 1,000 files, and of a category of
                                        2,000 files sorted by their "sortOrder"; print
                                        Google-Benchmark JSON
  presetfiles_anchor.py --generate DIR [COUNT]
                                        write COUNT preset files (default 1,000; always the same
                                        bytes) to DIR

The folders are $QX_PRESET_BENCH_DIR, or qx_preset_bench in $TMPDIR, and the category
qx_preset_bench_category/Big beside it, generated when missing. Each file is a tone-curve preset of about 4 KB: the common data,
a curve of 16 slots (10 active) and 40 settings of every property-list kind.
"""
import json
import os
import plistlib
import random
import sys

from anchortime import time_ns

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
        "isFactoryPreset": i % 3 == 0, "free": False, "sortOrder": rng.randint(0, 50), "properties": 0,
        "curveVersion": 2, "id": i, "selectedControlPoint": 0, "controlPointCount": 16, "controlPoints": slots,
    }
    for s in range(40):
        kind = s % 4
        key = "setting%02d" % s
        d[key] = (rng.randint(-1000, 1000), rng.random() * 100, "value %d" % rng.randint(0, 99999),
                  rng.random() < 0.5)[kind]
    return d


def generate(path, count=COUNT):
    rng = random.Random(20261207)
    tmp = path + ".tmp%d" % os.getpid()
    os.makedirs(tmp)
    for i in range(count):
        with open(os.path.join(tmp, "Look %04d.qxp" % i), "wb") as f:
            plistlib.dump(preset(rng, i), f, fmt=plistlib.FMT_XML)
    os.rename(tmp, path)



def load_all(path, names):
    return [plistlib.load(open(os.path.join(path, name), "rb")) for name in names]


def main():
    if len(sys.argv) in (3, 4) and sys.argv[1] == "--generate":
        generate(sys.argv[2], int(sys.argv[3]) if len(sys.argv) == 4 else COUNT)
        return
    min_time = float(os.environ.get("QX_BENCH_MIN_TIME", "0.5")) * 2
    path = folder()
    category = os.path.join(path.rstrip("/") + "_category", "Big")
    if not os.path.isdir(path):
        generate(path)
    if not os.path.isdir(category):
        os.makedirs(os.path.dirname(category), exist_ok=True)
        generate(category, 2000)
    names = sorted(os.listdir(path))
    ns, iterations = time_ns(lambda: load_all(path, names), min_time)
    results = [{"name": "BM_PlistlibLoadPresets", "iterations": iterations, "real_time": ns, "cpu_time": ns,
                "time_unit": "ns", "items": len(names)}]

    def sorted_category():
        entries = [n for n in os.listdir(category) if n.endswith(".qxp")]
        loaded = load_all(category, entries)
        order = sorted(range(len(loaded)), key=lambda i: loaded[i].get("sortOrder", 0))
        return [loaded[i] for i in order]

    ns, iterations = time_ns(sorted_category, min_time)
    results.append({"name": "BM_PlistlibSortCategory", "iterations": iterations, "real_time": ns, "cpu_time": ns,
                    "time_unit": "ns", "items": 2000})
    json.dump({"benchmarks": results}, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
