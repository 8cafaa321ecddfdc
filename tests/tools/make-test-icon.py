#!/usr/bin/python3
# SPDX-License-Identifier: Zlib
# Writes an .ico for the packer's tests: "good" holds a 16- and a 32-pixel bitmap and a 256-pixel
# PNG image (the three kinds Windows icons hold); the other kinds are damaged in one way each.
# The bytes depend on the kind only.
#   make-test-icon.py OUT.ico [good|cursor|empty|truncated|beyond|not-an-image]
import struct
import sys
import zlib


def png(size):
    rows = b"".join(b"\0" + b"".join(bytes([x % 256, y % 256, 128, 255]) for x in range(size))
                    for y in range(size))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def bitmap(size):
    # A 32-bit DIB: the header's height counts the colour image and the mask.
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    colours = b"".join(bytes([x * 8 % 256, y * 8 % 256, 200, 255])
                       for y in range(size) for x in range(size))
    return header + colours + b"\0" * ((size + 31) // 32 * 4 * size)


def icon(images, kind=1, count=None):
    count = len(images) if count is None else count
    head = struct.pack("<HHH", 0, kind, count)
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        head += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data),
                            offset + len(body))
        body += data
    return head + body


good = [(16, bitmap(16)), (32, bitmap(32)), (256, png(256))]
kind = sys.argv[2] if len(sys.argv) > 2 else "good"
data = {
    "good": lambda: icon(good),
    "cursor": lambda: icon(good, kind=2),
    "empty": lambda: icon([]),
    "truncated": lambda: icon(good)[:6 + 16],
    "beyond": lambda: icon(good)[:-10],
    "not-an-image": lambda: icon([(16, b"\0" * 64)]),
}[kind]()
with open(sys.argv[1], "wb") as f:
    f.write(data)
