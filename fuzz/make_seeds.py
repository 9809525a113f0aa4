#!/usr/bin/env python3
"""Writes the seed inputs of the shape form fuzz corpus (fuzz/corpus/seed-*).

Small valid files (as the program writes them), foreign streams (values 2..255, markers C0..C2,
surplus bytes, short streams) and damaged headers (short files, dims outside 0..1290). The
fuzzer adds its own finds next to them under their hash names.
"""
import os
import random
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def header(dim, size=None, fields=(0,) * 10, slot=0):
    if size is None:
        size = dim * dim * dim // 8 + 1 if 0 <= dim <= 1290 else 0
    return struct.pack("<13i", size, dim, *fields, slot)


def encode(values):
    out = bytearray()
    i = 0
    while i < len(values):
        v = values[i]
        run = 1
        while i + run < len(values) and run < 63 and values[i + run] == v:
            run += 1
        out += bytes([0xC0 + run, v]) if run >= 3 else bytes([v] * run)
        i += run
    return bytes(out)


def sphere(dim, r):
    c = (dim - 1) / 2
    return [1 if (x - c) ** 2 + (y - c) ** 2 + (z - c) ** 2 <= r * r else 0
            for z in range(dim) for y in range(dim) for x in range(dim)]


def main():
    rng = random.Random(5)
    seeds = {
        "empty": b"",
        "three-bytes": b"\x02\x00\x00",
        "seven-bytes": header(2)[:7],
        "dim-only": header(3)[:8],
        "half-header": header(2)[:30],
        "dim-zero": header(0),
        "dim-minus-one": header(-1),
        "dim-1291": header(1291),
        "dim-int-max": header(2**31 - 1),
        "dim-int-min": header(-2**31),
        "dim-1290-no-stream": header(1290),
        "worked-example": header(2, 2, (0, 1, 0, 1, 0, 1, 0, 0, 0, 4)) + bytes([0xC3, 1, 0xC4, 0, 1]),
        "dim4-empty": header(4) + bytes([0xFF, 0, 0]),
        "dim4-full": header(4) + bytes([0xFF, 1, 1]),
        "dim4-one-voxel": header(4) + bytes([1, 0xFF, 0]),
        "dim3-all-values": header(3, fields=(7,) * 10, slot=0x01020304) + bytes(range(0, 256, 9)),
        "dim3-c0-markers": header(3) + bytes([0xC0, 5, 0xC1, 7, 0xC2, 1, 0xC0, 0xC0]),
        "dim3-marker-last": header(3) + bytes([0xC5, 1, 0xC9]),
        "dim3-surplus": header(3) + encode([1] * 27) + bytes(range(200)),
        "dim5-short-stream": header(5) + bytes([1, 2, 3, 0xC4, 9]),
        "dim7-wrong-size": header(7, size=-5, fields=(-1, 99, 3, -3, 0, 0, 1 << 30, -7, 5, 12345)) + encode(sphere(7, 3)),
        "dim9-sphere-cut": header(9, slot=0x00020103) + encode(sphere(9, 4)),
        "dim10-noise": header(10, slot=0x000a0b04) + encode([rng.randrange(2) for _ in range(1000)]),
        "dim13-runs-64": header(13, slot=0x00000404) + encode(([1] * 64 + [0] * 64 + [1] * 63 + [0]) * 12)[:1900],
        "dim16-foreign": header(16, slot=0x0f0e0d0c) + bytes(rng.randrange(256) for _ in range(1500)),
    }
    os.makedirs(HERE, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(HERE, "seed-" + name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
