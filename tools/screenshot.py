#!/usr/bin/env python3
"""Saves one X window as a PNG file, with nothing but xwd and the standard library.

    tools/screenshot.py WINDOW_NAME OUT.png [--timeout SECONDS]

The window is looked up by its title with `xdotool search --name` (the first
visible match); `xwd` captures it and the XWD image is converted here, so no
image library is needed. Used by scripts/demo to show what users see.
"""

import argparse
import struct
import subprocess
import sys
import time
import zlib


def find_window(name, timeout):
    deadline = time.monotonic() + timeout
    while True:
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name],
                             capture_output=True, text=True).stdout.split()
        if out:
            return out[0]
        if time.monotonic() > deadline:
            return None
        time.sleep(0.1)


def xwd_to_rgb(data):
    """Returns (width, height, rows of RGB bytes) of a TrueColor XWD image."""
    fields = struct.unpack(">25I", data[:100])
    (header_size, _version, _format, _depth, width, height, _xoffset, byte_order,
     _bitmap_unit, _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual_class,
     red_mask, green_mask, blue_mask, _bits_per_rgb, _entries, ncolors) = fields[:20]
    if bits_per_pixel not in (24, 32):
        raise ValueError("only 24- and 32-bit images are handled, not %d" % bits_per_pixel)
    pixels = data[header_size + 12 * ncolors:]
    step = bits_per_pixel // 8
    order = "little" if byte_order == 0 else "big"

    def channel(value, mask):
        shift = (mask & -mask).bit_length() - 1
        top = mask >> shift
        return ((value & mask) >> shift) * 255 // top

    rows = []
    for y in range(height):
        line = pixels[y * bytes_per_line: y * bytes_per_line + width * step]
        row = bytearray()
        for x in range(width):
            v = int.from_bytes(line[x * step:(x + 1) * step], order)
            row += bytes((channel(v, red_mask), channel(v, green_mask), channel(v, blue_mask)))
        rows.append(bytes(row))
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    raw = b"".join(b"\x00" + r for r in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("name")
    parser.add_argument("out")
    parser.add_argument("--timeout", type=float, default=10.0)
    args = parser.parse_args()
    window = find_window(args.name, args.timeout)
    if window is None:
        print("screenshot: no visible window named %r" % args.name, file=sys.stderr)
        return 1
    data = subprocess.run(["xwd", "-silent", "-id", window], capture_output=True,
                          check=True).stdout
    write_png(args.out, *xwd_to_rgb(data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
