#!/usr/bin/env python3
"""Sample data for the end-to-end scenarios and the demo, written byte by
byte: package archives, update lists in code page 932, and archive reads
for the checks afterwards. File names on the command line are UTF-8 (as
Wine stores them on disk); names inside archives and lists are CP932.

  sample.py archive OUT [ENTRY=FILE ...]   write a package archive
  sample.py list OUT                       stdin lines (UTF-8, fields split by
                                           tabs) to a CP932 list with CR LF
  sample.py entry ARCHIVE NAME             print an entry's bytes
  sample.py names ARCHIVE                  print the entry names, one a line
"""
import struct
import sys

MAGIC = b"QRV001"


def build_archive(entries):
    """entries: list of (cp932 name bytes, content bytes)."""
    out = bytearray(MAGIC + b"sample\0\0\0\0" + b"\0" * 8)
    index = bytearray()
    for name, content in entries:
        name_offset = len(out)
        out += name + b"\0"
        data_offset = len(out)
        out += content
        index += struct.pack("<IIIII", name_offset, len(name) + 1, data_offset, len(content), 0)
    struct.pack_into("<II", out, 16, len(out), len(index))
    return bytes(out + index)


def read_archive(data):
    """Yields (name bytes, content bytes) in index order."""
    if len(data) < 24:
        return
    index_offset, index_size = struct.unpack_from("<II", data, 16)
    for i in range(index_size // 20):
        name_offset, name_length, data_offset, data_size, _ = struct.unpack_from("<IIIII", data, index_offset + 20 * i)
        name = data[name_offset:name_offset + name_length].split(b"\0", 1)[0]
        yield name, data[data_offset:data_offset + data_size]


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    command, target = argv[1], argv[2]
    if command == "archive":
        entries = []
        for spec in argv[3:]:
            name, path = spec.split("=", 1)
            with open(path, "rb") as source:
                entries.append((name.encode("cp932"), source.read()))
        with open(target, "wb") as out:
            out.write(build_archive(entries))
    elif command == "list":
        with open(target, "wb") as out:
            for line in sys.stdin.read().splitlines():
                out.write(line.encode("cp932") + b"\r\n")
    elif command in ("entry", "names"):
        with open(target, "rb") as archive:
            data = archive.read()
        wanted = argv[3].encode("cp932").lower() if command == "entry" else None
        for name, content in read_archive(data):
            if command == "names":
                sys.stdout.write(name.decode("cp932") + "\n")
            elif name.lower() == wanted:
                sys.stdout.buffer.write(content)
                return
        if command == "entry":
            sys.exit("no entry " + argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
