#!/usr/bin/env python3
"""Prints one line per comparison from Google Benchmark JSON results.

usage: compare.py RESULTS_DIR FILE.cmp...
A .cmp line is `label | our benchmark | anchor benchmark | goal`; the ratio printed is
anchor time / our time, so above 1 means we are faster than the anchor. A goal of `-` marks a
comparison kept for information.
"""
import json
import pathlib
import sys

UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(results_dir):
    times = {}
    for path in sorted(pathlib.Path(results_dir).glob("*.json")):
        try:
            data = json.loads(path.read_text())
        except (OSError, ValueError) as e:
            print(f"warning: {path.name}: {e}", file=sys.stderr)
            continue
        for b in data.get("benchmarks", []):
            if b.get("run_type") == "aggregate":
                continue
            times[b["name"]] = float(b["real_time"]) * UNITS.get(b.get("time_unit", "ns"), 1.0)
    return times


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    times = load(sys.argv[1])
    missing = 0
    for cmp in sys.argv[2:]:
        for line in pathlib.Path(cmp).read_text().splitlines():
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            label, ours, anchor, goal = (f.strip() for f in line.split("|"))
            if ours not in times or anchor not in times:
                print(f"{label}: missing result ({ours if ours not in times else anchor})")
                missing += 1
                continue
            ratio = times[anchor] / times[ours]
            target = "for information" if goal == "-" else f"goal {float(goal):g}x"
            print(f"{label}: {ratio:.2f}x {anchor} ({target})")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
