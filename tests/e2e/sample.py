#!/usr/bin/env python3
"""Package archives for the end-to-end scenarios and the demo, written and
read (by the demo) byte by byte. The command line is UTF-8; entry names and
contents inside archives are CP932.

  sample.py archive OUT [ENTRY=CONTENT ...]   write a package archive
"""
import struct
import sys


def build_archive(entries):
    """entries: list of (cp932 name bytes, content bytes)."""
    out = bytearray(b"QRV001sample\0\0\0\0" + b"\0" * 8)
    index = bytearray()
    for name, content in entries:
        name_offset = len(out)
        out += name + b"\0" + content
        index += struct.pack("<IIIII", name_offset, len(name) + 1, name_offset + len(name) + 1, len(content), 0)
    struct.pack_into("<II", out, 16, len(out), len(index))
    return bytes(out + index)


def read_archive(data):
    """Yields (name bytes, content bytes) in index order."""
    index_offset, index_size = struct.unpack_from("<II", data, 16) if len(data) >= 24 else (0, 0)
    for i in range(index_size // 20):
        name_offset, name_length, data_offset, data_size, _ = struct.unpack_from("<IIIII", data, index_offset + 20 * i)
        yield data[name_offset:name_offset + name_length].split(b"\0", 1)[0], data[data_offset:data_offset + data_size]


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "archive":
        sys.exit(__doc__)
    with open(sys.argv[2], "wb") as out:
        out.write(build_archive([tuple(s.encode("cp932") for s in spec.split("=", 1)) for spec in sys.argv[3:]]))
