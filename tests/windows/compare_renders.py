#!/usr/bin/env python3
"""Compares two raw float32 renders: identical, or within a tolerance.

compare_renders.py REFERENCE OTHER [--tolerance T] [--not-older-than FILE]
Exits 77 (skipped) when OTHER does not exist or is older than FILE: the other
build has not run since this one changed.
"""
import argparse
import array
import math
import os
import sys


def load(path):
    samples = array.array("f")
    with open(path, "rb") as f:
        samples.frombytes(f.read())
    return samples


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("reference")
    parser.add_argument("other")
    parser.add_argument("--tolerance", type=float, default=0.0)
    parser.add_argument("--not-older-than")
    args = parser.parse_args()
    if not os.path.exists(args.other):
        print(f"{args.other} missing: run scripts/windows.sh first")
        return 77
    if args.not_older_than and os.path.getmtime(args.other) < os.path.getmtime(args.not_older_than):
        print(f"{args.other} is older than {args.not_older_than}: run scripts/windows.sh again")
        return 77
    a, b = load(args.reference), load(args.other)
    if len(a) != len(b):
        print(f"FAIL: {len(a)} samples against {len(b)}")
        return 1
    differing = 0
    most = 0.0
    peak = 0.0
    for x, y in zip(a, b):
        peak = max(peak, abs(x))
        if x != y:
            differing += 1
            most = max(most, abs(x - y))
    level = 20 * math.log10(most) if most > 0 else -math.inf
    print(f"{len(a)} samples, peak {peak:.4f}: {differing} differ, largest difference {most:.3g} ({level:.1f} dBFS)")
    if differing == 0:
        print("identical bit for bit")
        return 0
    return 0 if most <= args.tolerance else 1


if __name__ == "__main__":
    sys.exit(main())
