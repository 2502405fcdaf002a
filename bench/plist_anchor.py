#!/usr/bin/env python3
"""Anchor for the XML property-list benchmarks: Python's plistlib on the same preset-like document.

  plist_anchor.py                    time plistlib.loads / plistlib.dumps, print Google-Benchmark JSON
  plist_anchor.py --generate PATH    write the document (about 500 KB, always the same bytes) to PATH

The document is a dictionary of preset entries: names and notes with non-ASCII text, integers,
reals, booleans, dates, small data blobs and nested arrays of numbers, as preset files hold.
"""
import datetime
import json
import os
import plistlib
import random
import sys

from anchortime import time_ns

WORDS = ["Portrait", "Paysage", "Nuit", "Été", "Hiver", "Vintage", "Kontrast", "Schärfe", "Körnung",
         "夕焼け", "桜", "Ciel", "Mer", "Forêt", "Ville", "Noir", "Blanc", "Chaud", "Froid", "🌅", "📷", "✨"]


def document():
    rng = random.Random(20240229)
    presets = {}
    for i in range(220):
        name = "%s %s %03d" % (rng.choice(WORDS), rng.choice(WORDS), i)
        curve = [[round(rng.uniform(0, 1), 6), round(rng.uniform(0, 1), 6)] for _ in range(rng.randint(4, 9))]
        presets[name] = {
            "Name": name,
            "Notes": " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12))) + " — ünïcödé & <markup>",
            "Version": rng.randint(1, 9),
            "Identifier": rng.randint(-2**62, 2**62),
            "Exposure": rng.uniform(-5, 5),
            "Contrast": rng.uniform(-100, 100),
            "Saturation": rng.uniform(-1, 1) * 0.875,
            "Enabled": rng.random() < 0.7,
            "Favourite": rng.random() < 0.2,
            "Created": datetime.datetime(2001, 1, 1) + datetime.timedelta(seconds=rng.randint(0, 800_000_000)),
            "Thumbnail": bytes(rng.getrandbits(8) for _ in range(rng.randint(16, 120))),
            "Curve": curve,
            "Histogram": [rng.randint(0, 65535) for _ in range(16)],
            "Tags": [rng.choice(WORDS) for _ in range(rng.randint(0, 4))],
            "Layers": [{"Opacity": rng.uniform(0, 1), "Blend": rng.choice(WORDS), "Visible": rng.random() < 0.5}
                       for _ in range(rng.randint(0, 3))],
        }
    return {"Presets": presets, "FormatVersion": 3, "Generator": "QXCore benchmark"}



def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--generate":
        data = plistlib.dumps(document())
        tmp = sys.argv[2] + ".tmp%d" % os.getpid()
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, sys.argv[2])
        return
    value = document()
    data = plistlib.dumps(value)
    min_seconds = float(os.environ.get("QX_BENCH_MIN_TIME", "0.5")) * 2
    results = []
    for name, fn in (("BM_PlistlibParse", lambda: plistlib.loads(data)), ("BM_PlistlibWrite", lambda: plistlib.dumps(value))):
        ns, iterations = time_ns(fn, min_seconds)
        results.append({"name": name, "iterations": iterations, "real_time": ns, "cpu_time": ns, "time_unit": "ns",
                        "bytes": len(data)})
    json.dump({"benchmarks": results}, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
