#!/usr/bin/env python3
"""Writes hostile preset files with plistlib, as a user's downloaded presets could be.

Usage: hostile_presets.py OUTDIR. Each file is named after its case; the test that runs this
knows what each must read as.
"""
import os
import plistlib
import sys

NAN, INF = float("nan"), float("inf")


def points(*xy):
    return [{"controlPointX": x, "controlPointY": y} for x, y in xy]


def curve(count, pts, **extra):
    d = {"curveVersion": 2, "id": 7, "selectedControlPoint": 1, "controlPointCount": count}
    if pts is not None:
        d["controlPoints"] = pts
    d.update(extra)
    return d


CASES = {
    # Coordinates outside 0..1, infinite and NaN: x NaN -> 0, x > 1 -> 1, x < 0 -> empty slot.
    "coordinates": curve(6, points((NAN, 0.5), (-INF, 0.2), (INF, NAN), (1.5, 2.0), (-0.25, 0.5), (0.5, -INF))),
    # Two points at one x (a zero-width segment) and points out of x order.
    "equal_x": curve(4, points((0.5, 0.1), (0.5, 0.9), (0.2, 0.3), (0.9, 0.8))),
    # Counts far beyond any curve, or below zero.
    "huge_count": curve(2**31 - 1, points((0.0, 0.0), (1.0, 1.0))),
    "negative_count": curve(-5, points((0.0, 0.0), (1.0, 1.0))),
    # No control points at all, fewer than the count, or slots without their y.
    "missing_points": curve(8, None),
    "short_array": curve(8, points((0.1, 0.1), (0.9, 0.9))),
    "missing_y": curve(3, [{"controlPointX": 0.25}, {"controlPointY": 0.5}, {}]),
    # Wrong kinds everywhere.
    "wrong_kinds": {
        "presetName": 12, "author": ["x"], "description": {"a": 1}, "isFactoryPreset": "yes",
        "free": 1, "sortOrder": "3", "properties": 2**63 - 1, "id": "seven",
        "controlPointCount": 3.75, "controlPoints": {"controlPointX": 0.5}, "red": "255", "alpha": [1],
    },
    "slot_kinds": curve(4, ["slot", 3, [0.5, 0.5], {"controlPointX": "0.5", "controlPointY": b"\x01"}]),
    "common_not_dict": {"presetCommonData": "x", "presetName": "Root name", "sortOrder": 4},
    "root_array": [1, 2, 3],
    "deep": {"presetName": "Deep", "x": [[[[[[[[[[[[[[[[[[[[{"a": [1]}]]]]]]]]]]]]]]]]]]]]},
}


def main():
    out = sys.argv[1]
    for name, value in CASES.items():
        with open(os.path.join(out, name + ".plist"), "wb") as f:
            plistlib.dump(value, f, fmt=plistlib.FMT_XML)
    open(os.path.join(out, "empty.plist"), "wb").close()
    with open(os.path.join(out, "truncated.plist"), "wb") as f:
        f.write(plistlib.dumps(CASES["equal_x"])[:200])


if __name__ == "__main__":
    main()
