#!/usr/bin/env python3
"""Stamps (or, with --verify, checks) the checksum field of a PE file's
optional header, computed as the platform's image checksum: the 16-bit
one's-complement sum of the file's words, with the field itself counted as
zero, plus the file's length."""
import struct
import sys


def checksum_offset(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE file")
    return pe + 4 + 20 + 64  # signature, file header, then 64 bytes into the optional header


def image_checksum(data, field):
    body = bytearray(data)
    body[field:field + 4] = b"\0\0\0\0"
    if len(body) % 2:
        body.append(0)
    total = sum(struct.unpack("<%dH" % (len(body) // 2), body))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main():
    verify = "--verify" in sys.argv[1:]
    path = [a for a in sys.argv[1:] if a != "--verify"][0]
    with open(path, "rb") as f:
        data = f.read()
    field = checksum_offset(data)
    value = image_checksum(data, field)
    if verify:
        stored = struct.unpack_from("<I", data, field)[0]
        print("stored %08x computed %08x" % (stored, value))
        sys.exit(0 if stored == value else 1)
    with open(path, "r+b") as f:
        f.seek(field)
        f.write(struct.pack("<I", value))


if __name__ == "__main__":
    main()
