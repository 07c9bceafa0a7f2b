#!/usr/bin/env python3
"""The entries of a package archive, as the demo shows what a run changed.
Entry names and contents are CP932 bytes. (Archives are made by updtool.)
"""
import struct


def read_archive(data):
    """Yields (name bytes, content bytes) in index order."""
    index_offset, index_size = struct.unpack_from("<II", data, 16) if len(data) >= 24 else (0, 0)
    for i in range(index_size // 20):
        name_offset, name_length, data_offset, data_size, _ = struct.unpack_from("<IIIII", data, index_offset + 20 * i)
        yield data[name_offset:name_offset + name_length].split(b"\0", 1)[0], data[data_offset:data_offset + data_size]
