#!/usr/bin/python3
"""Prints flow-report record files as JSON, one line per file, oldest name first:

    scripts/flow_records.py /var/lib/quoxel/reports/flowreport_*

A record file is a 4-byte little-endian length n and n bytes of one binary-JSON object
{"list": {token: [up, down]}, "t": seconds, "ti": interval seconds, "r": ros_id}. A file whose
size does not match its length (never written by quoxel, which renames complete files into
place) is reported on stderr and skipped."""
import json
import struct
import sys


def decode(buf, pos=0, top=True):
    """One binary-JSON value at buf[pos:]; with top set it must fill the buffer."""
    tag = buf[pos]
    pos += 1
    fixed = {3: "<b", 4: "<h", 5: "<i", 6: "<q", 7: "<f", 8: "<d", 9: "<Q"}
    if tag <= 2:
        value = [None, True, False][tag]
    elif tag in fixed:
        (value,) = struct.unpack_from(fixed[tag], buf, pos)
        pos += struct.calcsize(fixed[tag])
    elif 0x10 <= tag <= 0x3F:
        value = tag & 0x1F if tag >= 0x20 else -(tag & 0x0F)
    elif tag >= 0x40:
        n, shift, more = tag & 0x1F, 5, tag & 0x20
        while more:  # the rest of the count, LEB128
            n |= (buf[pos] & 0x7F) << shift
            shift, more, pos = shift + 7, buf[pos] & 0x80, pos + 1
        if tag < 0x80:  # string
            if pos + n > len(buf):
                raise ValueError("string past the end")
            value, pos = bytes(buf[pos:pos + n]).decode(), pos + n
        elif tag >= 0xC0:  # array
            value = []
            for _ in range(n):
                item, pos = decode(buf, pos, False)
                value.append(item)
        else:  # object: key lengths as octal-digit nibbles, then keys and values
            lengths, cur, digit = [], 0, 0
            while len(lengths) < n:
                byte, pos = buf[pos], pos + 1
                for nib in (byte >> 4, byte & 0x0F):
                    if len(lengths) < n:
                        cur, digit = cur | (nib & 7) << (3 * digit), digit + 1
                        if not nib & 8:
                            lengths.append(cur)
                            cur, digit = 0, 0
            value = {}
            for length in lengths:
                key = bytes(buf[pos:pos + length]).decode()
                if not key or key in value:
                    raise ValueError("empty or repeated key")
                value[key], pos = decode(buf, pos + length, False)
    else:
        raise ValueError(f"tag {tag:#x}")
    if top and pos != len(buf):
        raise ValueError("bytes after the value")
    return value if top else (value, pos)


def read_file(path):
    data = open(path, "rb").read()
    if len(data) < 4 or len(data) != 4 + struct.unpack_from("<I", data)[0]:
        raise ValueError(f"{path}: size does not match the stored length")
    return decode(data[4:])


if __name__ == "__main__":
    for path in sorted(sys.argv[1:], key=lambda p: (len(p), p)):
        try:
            print(json.dumps({"file": path, **read_file(path)}))
        except (ValueError, IndexError, struct.error, OSError) as e:
            print(f"{path}: {e}", file=sys.stderr)
