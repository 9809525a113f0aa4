#!/usr/bin/env python3
"""Writes the bad inputs of this folder; expected.tsv says what tarvo makes of each."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def header(dim, size=None, fields=(0,) * 10):
    if size is None:
        size = dim * dim * dim // 8 + 1 if 0 <= dim <= 1290 else 0
    return struct.pack("<13i", size, dim, *fields, 0)


FILES = {
    "empty.3d": b"",
    "four-bytes.3d": header(2)[:4],
    "seven-bytes.3d": header(2)[:7],
    "dim-minus-one.3d": header(-1) + b"\xff\x01\x01",
    "dim-1291.3d": header(1291),
    "dim-int-max.3d": header(2**31 - 1),
    "dim-int-min.3d": header(-2**31),
    "text-file.3d": b"This is a text file, not a particle.\n",
    "png-signature.3d": b"\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR\x00\x00\x00\x10\x00\x00\x00\x10\x08\x02\x00\x00\x00",
    "dim-only.3d": header(3)[:8],
    "half-header.3d": header(2)[:30],
    "header-only.3d": header(4),
    "dim-zero.3d": header(0),
    "dim-zero-with-stream.3d": header(0) + b"\xff\x01\x01",
    "wrong-fields.3d": header(3, size=-5, fields=(-1, 99, 3, -3, 7, 7, 1 << 30, -7, 5, 12345)) + b"\xff\x01\x01",
    "foreign-values.3d": header(2) + bytes([0x02, 0x7F, 0x80, 0xBF, 0x00, 0x01, 0x40, 0x90]),
    "c0-markers.3d": header(2) + bytes([0xC0, 0x05, 0xC2, 0x09, 0xFF, 0x00]),
    "marker-last-byte.3d": header(2) + bytes([0xC3, 0x01, 0xC5]),
    "marker-value-bytes.3d": header(2) + bytes([0xC4, 0xC1, 0xC4, 0x41]),
    "short-stream.3d": header(4) + bytes([0x01, 0x01]),
    "surplus.3d": header(2) + bytes([0xFF, 0x01]) + bytes([0x01] * 100),
    "all-ff.3d": header(3) + bytes([0xFF] * 40),
}

if __name__ == "__main__":
    for name, data in FILES.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
