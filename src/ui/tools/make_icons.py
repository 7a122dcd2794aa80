#!/usr/bin/env python3
"""Draws the Quillgate icon (a stone gate with a quill across it) in the classic 16-colour
palette and writes it as 4-bit palette PNGs: 16 x 16, and the same pixels scaled to 32, 48 and 256 (the last for the icon theme only).
Run from this directory: python3 tools/make_icons.py"""
import struct
import zlib

# The Windows 16-colour palette; magenta (13) stands for transparent.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
K, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, CLEAR, AQUA, WHITE = range(8, 16)

# Hand-drawn 16 x 16 picture, one character per pixel.
ART = [
    "................",
    ".............WK.",
    "....KKKKK..KWWK.",
    "..KKSSSSSKKWWAK.",
    ".KSSGSSSGKWWAKK.",
    ".KSGKKKKKWWAKSK.",
    "KSSKNNNNWWAKNSSK",
    "KSGKNNNWWAKNKGSK",
    "KSSKNNWWAKNNKSSK",
    "KSGKNNWAKNNNKGSK",
    "KSSKNYKKNNNNKSSK",
    "KSGKYKNNNNNNKGSK",
    "KSSKYTTTTTTTKSSK",
    "KSGYTTTTTTTTKGSK",
    "KSSKTTTTTTTTKSSK",
    "GGGGGGGGGGGGGGGG",
]
CODES = {'.': CLEAR, 'K': K, 'S': SILVER, 'G': GRAY, 'N': NAVY, 'W': WHITE, 'A': AQUA,
         'Y': YELLOW, 'T': TEAL}


def chunk(kind, data):
    body = kind + data
    return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)


def write_png(path, pixels):
    size = len(pixels)
    raw = bytearray()
    for row in pixels:
        raw.append(0)  # no filter
        for x in range(0, size, 2):
            raw.append((row[x] << 4) | row[x + 1])
    png = b'\x89PNG\r\n\x1a\n'
    png += chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 4, 3, 0, 0, 0))
    png += chunk(b'PLTE', b''.join(bytes(c) for c in PALETTE))
    png += chunk(b'tRNS', bytes(0 if i == CLEAR else 255 for i in range(16)))
    png += chunk(b'IDAT', zlib.compress(bytes(raw), 9))
    png += chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(png)


def main():
    base = [[CODES[c] for c in row] for row in ART]
    assert len(base) == 16 and all(len(r) == 16 for r in base)
    for scale in (1, 2, 3, 16):
        pixels = [[base[y // scale][x // scale] for x in range(16 * scale)]
                  for y in range(16 * scale)]
        write_png(f'icons/quillgate{16 * scale}.png', pixels)


main()
