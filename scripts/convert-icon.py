#!/usr/bin/env python3
"""Turns the clock-face XPM (32 x 32, at most 16 colours) into a Windows .ico, its 32-pixel design
as a 4-bit image beside the PNG images given (other sizes, rendered from the SVG drawing, kept
PNG-compressed), or into a PNG (which loads far faster than XPM):
  convert-icon.py ICON.xpm OUT.ico [SIZE.png ...] | convert-icon.py ICON.xpm OUT.png"""
import re
import struct
import sys
import zlib


def read_xpm(path):
    strings = re.findall(r'"((?:[^"\\]|\\.)*)"', open(path, encoding="ascii").read())
    width, height, colours, per_pixel = map(int, strings[0].split()[:4])
    palette = {}
    for line in strings[1:1 + colours]:
        key, value = line[:per_pixel], line[per_pixel:].split()[-1]
        palette[key] = None if value.lower() == "none" else int(value[1:], 16)
    rows = [[palette[row[i:i + per_pixel]] for i in range(0, width * per_pixel, per_pixel)]
            for row in strings[1 + colours:1 + colours + height]]
    return width, height, rows


def write_ico(path, width, height, rows, pngs=()):
    colours = sorted({c for row in rows for c in row if c is not None})
    if len(colours) > 16:
        sys.exit("more than 16 colours")
    colours += [0] * (16 - len(colours))
    index = {c: i for i, c in enumerate(colours)}
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up
        nibbles = [index.get(c, 0) if c is not None else 0 for c in row]
        xor += bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, width, 2))
        bits = 0
        for x, c in enumerate(row):
            if c is None:
                bits |= 1 << (width - 1 - x)
        mask += bits.to_bytes(width // 8, "big").ljust(4 * ((width + 31) // 32), b"\0")
    palette = b"".join(struct.pack("<BBBB", c & 0xFF, (c >> 8) & 0xFF, c >> 16, 0) for c in colours)
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    images = [(width, 16, 4, header + palette + xor + mask)]
    for png in pngs:
        with open(png, "rb") as f:
            data = f.read()
        images.append((struct.unpack(">I", data[16:20])[0], 0, 32, data))  # IHDR's width
    images.sort()
    offset = 6 + 16 * len(images)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)))
        for size, colours, bits, data in images:  # 256 is written as 0
            f.write(struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bits, len(data), offset))
            offset += len(data)
        for image in images:
            f.write(image[3])


def write_png(path, width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    pixels = b"".join(
        b"\0" + b"".join(struct.pack("BBBB", c >> 16, (c >> 8) & 0xFF, c & 0xFF, 255)
                         if c is not None else b"\0\0\0\0" for c in row)
        for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(pixels, 9)))
        f.write(chunk(b"IEND", b""))


if __name__ == "__main__":
    if sys.argv[2].endswith(".png"):
        write_png(sys.argv[2], *read_xpm(sys.argv[1]))
    else:
        write_ico(sys.argv[2], *read_xpm(sys.argv[1]), sys.argv[3:])
