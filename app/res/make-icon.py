#!/usr/bin/env python3
"""Writes a Windows icon file (.ico) from a text pixel map.

Usage: make-icon.py PIXELS ICO [PNG]

PIXELS holds one block per image: "image WIDTHxHEIGHT" and then one line per
pixel row, top row first; "." is transparent, a hex digit a palette index of
the 16 VGA colours. Lines starting with "#" and blank lines are ignored.
Every image is stored as a 4-bit bitmap with its AND mask. With PNG, a
preview of the images side by side, eight times enlarged, is also written.
"""

import struct
import sys
import zlib

# The standard VGA colours, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]


def read_images(path):
    """The images of the map: a list of (width, height, rows)."""
    images = []
    with open(path, encoding="ascii") as source:
        for number, line in enumerate(source, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("image "):
                width, height = (int(n) for n in line[6:].split("x"))
                images.append((width, height, []))
                continue
            if not images:
                sys.exit(f"{path}:{number}: pixels before any image line")
            width, height, rows = images[-1]
            if len(line) != width or any(c not in ".0123456789ABCDEF" for c in line):
                sys.exit(f"{path}:{number}: a row of {width} pixels of . and 0-F expected")
            rows.append(line)
    for width, height, rows in images:
        if len(rows) != height:
            sys.exit(f"{path}: image {width}x{height} has {len(rows)} rows")
    return images


def padded(data):
    """Pads a bitmap row to a multiple of four bytes."""
    return data + b"\0" * (-len(data) % 4)


def icon_image(width, height, rows):
    """One image: header, palette, colour bitmap and mask, bottom row first."""
    colours = b""
    mask = b""
    for row in reversed(rows):
        indices = [0 if c == "." else int(c, 16) for c in row]
        colours += padded(bytes((indices[i] << 4) | indices[i + 1] for i in range(0, width, 2)))
        bits = 0
        mask_row = bytearray()
        for i, c in enumerate(row):
            bits = (bits << 1) | (c == ".")
            if i % 8 == 7:
                mask_row.append(bits)
                bits = 0
        mask += padded(bytes(mask_row))
    header = struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, 4, 0, len(colours) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + colours + mask


def write_ico(path, images):
    bodies = [icon_image(*image) for image in images]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for (width, height, _), body in zip(images, bodies):
        directory += struct.pack("<BBBBHHII", width % 256, height % 256, 16, 0, 1, 4, len(body), offset)
        offset += len(body)
    with open(path, "wb") as out:
        out.write(directory + b"".join(bodies))


def write_preview(path, images, scale=8):
    """A PNG of the images side by side on light grey, for looking at."""
    width = sum(w for w, _, _ in images) * scale + 8 * (len(images) + 1)
    height = max(h for _, h, _ in images) * scale + 16
    canvas = [[(0xE0, 0xE0, 0xE0)] * width for _ in range(height)]
    left = 8
    for w, h, rows in images:
        for y, row in enumerate(rows):
            for x, c in enumerate(row):
                if c == ".":
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        canvas[8 + y * scale + dy][left + x * scale + dx] = PALETTE[int(c, 16)]
        left += w * scale + 8
    raw = b"".join(b"\0" + bytes(v for pixel in line for v in pixel) for line in canvas)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    images = read_images(sys.argv[1])
    if not images:
        sys.exit(f"{sys.argv[1]}: no image")
    write_ico(sys.argv[2], images)
    if len(sys.argv) == 4:
        write_preview(sys.argv[3], images)


if __name__ == "__main__":
    main()
