#!/usr/bin/env python3
"""The plistlib side of the property-list peer test.

canon FILE        print the canonical form of plistlib.load(FILE)
same-bytes FILE   print SAME when plistlib.dumps(plistlib.load(FILE)) reproduces FILE byte for byte
samples DIR       write plistlib-made documents DIR/<n>.plist and their canonical forms DIR/<n>.canon

The canonical form is the one the C++ side builds from a CF value: dictionary keys in UTF-16 order,
strings as UTF-16 code units, reals with 17 significant digits, dates as seconds since 1970.
"""
import datetime
import plistlib
import sys


def canon_str(s):
    units = s.encode("utf-16-be", "surrogatepass")
    codes = (units[i] << 8 | units[i + 1] for i in range(0, len(units), 2))
    return '"' + "".join(chr(u) if 0x20 <= u < 0x7F and chr(u) not in '"\\' else "\\u%04x" % u for u in codes) + '"'


def canon(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return "i%d" % v
    if isinstance(v, float):
        return "r%.17g" % v
    if isinstance(v, str):
        return canon_str(v)
    if isinstance(v, (bytes, bytearray)):
        return "x" + bytes(v).hex()
    if isinstance(v, datetime.datetime):
        return "d%d" % int((v - datetime.datetime(1970, 1, 1)).total_seconds())
    if isinstance(v, list):
        return "[" + ",".join(canon(x) for x in v) + "]"
    if isinstance(v, dict):
        keys = sorted(v, key=lambda k: k.encode("utf-16-be", "surrogatepass"))
        return "{" + ",".join(canon_str(k) + ":" + canon(v[k]) for k in keys) + "}"
    raise TypeError(type(v))


def samples():
    preset = {
        "Name": "Paysage d’été — 夕焼け 🌅",
        # No key between U+E000 and U+FFFF: plistlib orders those after astral keys, Apple before.
        "Emoji keys": {"😀": 1, "\u2603": 2, "e\u0301": 3, "é": 4, "": 5},
        "Big": [2**63 - 1, -(2**63), 2**32, -(2**31) - 1, 0, 2**64 - 1, 2**63],
        "Reals": [0.1, -2.5e-300, 1.7976931348623157e308, 5e-324, 1e21, 123456.789, -0.0],
        "Dates": [datetime.datetime(2001, 1, 1), datetime.datetime(1969, 7, 20, 20, 17, 40),
                  datetime.datetime(2038, 1, 19, 3, 14, 8), datetime.datetime(9999, 12, 31, 23, 59, 59),
                  datetime.datetime(1, 1, 1)],
        "Data": [b"", b"\x00", bytes(range(256)), b"x" * 1000],
        "Flags": [True, False],
        "Escapes": "<tag attr=\"v\"> & 'q' ]]> \t tab",
        "Nested": {"a": [{"b": [[[{"c": b"deep data that wraps across lines " * 3}]]]}]},
        "Empty": {"d": {}, "a": [], "s": ""},
    }
    deep = "leaf"
    for i in range(100):
        deep = [deep] if i % 2 else {"k": deep}
    return [preset, deep, "top-level string", 42, [1.5, "two", b"3"], {}]


def main():
    mode, arg = sys.argv[1], sys.argv[2]
    if mode in ("canon", "same-bytes"):
        with open(arg, "rb") as f:
            raw = f.read()
        if mode == "canon":
            print(canon(plistlib.loads(raw)))
        else:
            again = plistlib.dumps(plistlib.loads(raw))
            print("SAME" if again == raw else "DIFF\n" + again.decode("utf-8", "replace"))
    elif mode == "samples":
        for n, value in enumerate(samples()):
            with open("%s/%d.plist" % (arg, n), "wb") as f:
                f.write(plistlib.dumps(value, sort_keys=(n % 2 == 0)))
            with open("%s/%d.canon" % (arg, n), "w", encoding="ascii") as f:
                f.write(canon(value))
        print(len(samples()))
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
