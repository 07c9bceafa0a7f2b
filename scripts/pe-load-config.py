#!/usr/bin/env python3
"""Points data directory 10 (the load configuration) of a PE32+ executable at
the record that the program defines as `_load_config_used`, with the size the
record gives itself. GNU ld keeps the record but leaves the directory empty,
so Windows would never read it. Runs after the link and before signing.

usage: pe-load-config.py EXE NM
"""
import struct
import subprocess
import sys


def main():
    exe, nm = sys.argv[1], sys.argv[2]
    symbols = subprocess.run([nm, exe], check=True, capture_output=True, text=True).stdout
    address = next((int(line.split()[0], 16) for line in symbols.splitlines()
                    if line.split()[-1:] == ["_load_config_used"]), None)
    if address is None:
        sys.exit(f"{exe}: no _load_config_used symbol")
    with open(exe, "r+b") as f:
        image = bytearray(f.read())
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        if image[pe:pe + 4] != b"PE\0\0":
            sys.exit(f"{exe}: not a PE file")
        optional = pe + 24
        if struct.unpack_from("<H", image, optional)[0] != 0x20B:
            sys.exit(f"{exe}: not PE32+")
        image_base = struct.unpack_from("<Q", image, optional + 24)[0]
        if struct.unpack_from("<I", image, optional + 108)[0] <= 10:
            sys.exit(f"{exe}: no room for data directory 10")
        rva = address - image_base
        # The record's own first field is its size; find it in its section.
        sections = struct.unpack_from("<H", image, pe + 6)[0]
        table = optional + struct.unpack_from("<H", image, pe + 20)[0]
        size = None
        for i in range(sections):
            virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", image, table + 40 * i + 8)
            if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
                size = struct.unpack_from("<I", image, raw_pointer + rva - virtual_address)[0]
        if not size:
            sys.exit(f"{exe}: _load_config_used lies in no section")
        struct.pack_into("<II", image, optional + 112 + 8 * 10, rva, size)
        f.seek(0)
        f.write(image)


if __name__ == "__main__":
    main()
