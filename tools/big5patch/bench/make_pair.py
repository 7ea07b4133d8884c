#!/usr/bin/env python3
"""Writes a reproducible pair of modules of equal length for the patch benchmark.

make_pair.py SIZE RUNS SEED OLD NEW

OLD is SIZE pseudo-random bytes; NEW is OLD with RUNS runs of changed bytes at pseudo-random
places (runs that meet merge into one); every changed byte differs from OLD's. All of it comes
from SHAKE-128 of the seed, so every Python 3 gives the same files.
"""
import hashlib
import sys


def stream(seed, label, count):
    return hashlib.shake_128(f"{seed}/{label}".encode()).digest(count)


def write_pair(size, runs, seed, old_path, new_path):
    # Few runs may be long (up to 4 KiB), many runs are short (up to 32 bytes).
    max_length = 4096 if runs <= 64 else 32
    old = stream(seed, "module", size)
    new = bytearray(old)
    places = stream(seed, "runs", 12 * runs)
    noise = stream(seed, "noise", max_length)
    for r in range(runs):
        length = min(size, 1 + int.from_bytes(places[12 * r : 12 * r + 4], "little") % max_length)
        start = int.from_bytes(places[12 * r + 4 : 12 * r + 12], "little") % (size - length + 1)
        for i in range(length):
            new[start + i] = old[start + i] ^ (noise[i] | 1)
    with open(old_path, "wb") as f:
        f.write(old)
    with open(new_path, "wb") as f:
        f.write(new)


def main():
    size, runs, seed = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    write_pair(size, runs, seed, sys.argv[4], sys.argv[5])


if __name__ == "__main__":
    main()
