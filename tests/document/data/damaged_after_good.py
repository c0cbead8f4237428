#!/usr/bin/env python3
"""A project zip as another program might leave it: a good code/new.bin first, then a design
whose stored bytes are damaged near their end (its CRC no longer matches), then a README.

Usage: damaged_after_good.py <zip> <page name>
"""
import json
import os
import sys
import zipfile

path, page = sys.argv[1], sys.argv[2]
design = json.dumps({"version": 1, "pages": [{"id": "page-1", "name": page, "layers": []}],
                     "padding": "x" * (4 << 20)}, indent=2).encode()
with zipfile.ZipFile(path, "w") as out:
    out.writestr("code/new.bin", os.urandom(64 << 10), zipfile.ZIP_STORED)
    out.writestr("design/document.json", design, zipfile.ZIP_STORED)
    out.writestr("README.md", "# %s\n" % page, zipfile.ZIP_DEFLATED)
with zipfile.ZipFile(path) as z:
    entry = z.getinfo("design/document.json")
with open(path, "r+b") as f:
    f.seek(entry.header_offset + 26)
    name_length, extra_length = (int.from_bytes(f.read(2), "little") for _ in range(2))
    damaged = entry.header_offset + 30 + name_length + extra_length + entry.file_size - 100
    f.seek(damaged)
    byte = f.read(1)
    f.seek(damaged)
    f.write(bytes([byte[0] ^ 0x55]))
