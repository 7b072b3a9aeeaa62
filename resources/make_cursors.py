#!/usr/bin/env python3
"""Draws Corvanel's two pointer files as Windows cursor (.cur) files.

    python3 resources/make_cursors.py [OUTPUT_FOLDER]   (default: this folder)

HAND-M.CUR     a pointing hand, shown over the command buttons and the browse
               pictures; its hotspot is the tip of the finger.
dragfolder.cur an arrow carrying a folder, shown over the result lists while
               nothing has been compared; its hotspot is the arrow's tip.

Both are 32 x 32, 32 bits a pixel with alpha, one image per file. The build
copies the checked-in files beside the executables; run this script again
after changing a drawing and commit its output.
"""
import os
import struct
import sys

SIZE = 32

# One character a pixel; "." is transparent.
PALETTE = {
    "X": (0x10, 0x10, 0x10, 0xFF),  # outline
    "o": (0xFF, 0xFF, 0xFF, 0xFF),  # fill
    "y": (0xF0, 0xC0, 0x48, 0xFF),  # folder
    "Y": (0xC8, 0x90, 0x20, 0xFF),  # folder, shaded edge
    "g": (0x2E, 0x9D, 0x3C, 0xFF),  # plus sign
}

HAND = [
    ".....XX..........",
    "....XooX.........",
    "....XooX.........",
    "....XooX.........",
    "....XooX.........",
    "....XooXXX.......",
    "....XooXooXXX....",
    "....XooXooXooXX..",
    "....XooXooXooXoX.",
    ".XX.XooXooXooXooX",
    "XooXXoooooooooooX",
    "XoooXoooooooooooX",
    ".XooXoooooooooooX",
    "..XoXoooooooooooX",
    "..XooooooooooooX.",
    "...XoooooooooooX.",
    "...XooooooooooX..",
    "....XoooooooooX..",
    "....XoooooooooX..",
    ".....XoooooooX...",
    ".....XXXXXXXXX...",
]
HAND_HOTSPOT = (5, 0)

ARROW = [
    "X...........",
    "XX..........",
    "XoX.........",
    "XooX........",
    "XoooX.......",
    "XooooX......",
    "XoooooX.....",
    "XooooooX....",
    "XoooooooX...",
    "XooooooooX..",
    "XoooooXXXXX.",
    "XooXooX.....",
    "XoX.XooX....",
    "XX..XooX....",
    "X....XooX...",
    ".....XooX...",
    "......XX....",
]
FOLDER = [
    ".XXXXXX...........",
    "XyyyyyyX..........",
    "XyyyyyyyXXXXXXXXX.",
    "XYYYYYYYYYYYYYYYYX",
    "XyyyyyyyyyyyyyyyyX",
    "XyyyyyyyyyyyyyyyyX",
    "XyyyyyyyyyyyyyyyyX",
    "XyyyyyyyyyyyyyyyyX",
    "XyyyyyyyyyyyyyyyyX",
    "XyyyyyyyyyyyyyyyyX",
    "XyyyyyyyyyyyyyyyyX",
    "XYYYYYYYYYYYYYYYYX",
    ".XXXXXXXXXXXXXXXX.",
]
PLUS = [
    "..XXX..",
    "..XgX..",
    "XXXgXXX",
    "XgggggX",
    "XXXgXXX",
    "..XgX..",
    "..XXX..",
]
DRAG_HOTSPOT = (0, 0)


def canvas():
    return [["."] * SIZE for _ in range(SIZE)]


def stamp(picture, art, left, top):
    for y, row in enumerate(art):
        for x, ch in enumerate(row):
            if ch != ".":
                picture[top + y][left + x] = ch


def cur_file(picture, hotspot):
    """The bytes of a one-image .cur file: header, directory entry, then a
    bottom-up 32-bit bitmap followed by its 1-bit AND mask."""
    xor = bytearray()
    mask = bytearray()
    for row in reversed(picture):
        bits = 0
        for x, ch in enumerate(row):
            r, g, b, a = PALETTE.get(ch, (0, 0, 0, 0))
            xor += bytes((b, g, r, a))
            if a == 0:
                bits |= 1 << (SIZE - 1 - x)
        mask += struct.pack(">I", bits)  # 32 pixels: exactly one padded row
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, hotspot[0], hotspot[1], len(image), 6 + 16)
    return directory + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    hand = canvas()
    stamp(hand, HAND, 7, 4)
    drag = canvas()
    stamp(drag, FOLDER, 9, 15)
    stamp(drag, ARROW, 0, 0)
    stamp(drag, PLUS, 22, 10)
    files = {
        "HAND-M.CUR": cur_file(hand, (HAND_HOTSPOT[0] + 7, HAND_HOTSPOT[1] + 4)),
        "dragfolder.cur": cur_file(drag, DRAG_HOTSPOT),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
