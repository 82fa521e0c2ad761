#!/usr/bin/env python3
"""Writes the small seed files of the Daggerfall and BSI fuzz targets into
fuzz/seeds/{img,cif,dagtexture,dagsky,bsi}/. Run from anywhere."""
import os
import struct

ROOT = os.path.dirname(os.path.abspath(__file__))


def save(folder, name, data):
    os.makedirs(os.path.join(ROOT, folder), exist_ok=True)
    with open(os.path.join(ROOT, folder, name), "wb") as f:
        f.write(bytes(data))


def picture(w, h, compression, data, size=None):
    return struct.pack("<IHHHH", 0, w, h, compression, len(data) if size is None else size) + bytes(data)


def group(w, h, frames, total=True):
    head = bytearray(76)
    struct.pack_into("<HH", head, 0, w, h)
    offset = 76
    for i, f in enumerate(frames):
        struct.pack_into("<H", head, 12 + 2 * i, offset)
        offset += len(f)
    struct.pack_into("<H", head, 74, offset if total else 0)
    return bytes(head) + b"".join(bytes(f) for f in frames)


# IMG: raw, run-length coded, headerless, with a trailing palette, refused.
save("img", "raw.img", picture(4, 3, 0, range(12)))
save("img", "coded.img", picture(6, 4, 2, [0x02, 1, 2, 3, 0x85, 9, 0x80, 4, 0x7F] + list(range(8))))
save("img", "headerless.img", [i * 7 & 255 for i in range(64)])
save("img", "palette.img", bytes(i & 255 for i in range(64000)) + bytes(255 - i % 256 for i in range(768)))
save("img", "refused.img", picture(2, 1, 0x0104, [1, 2]))

# CIF: plain records, groups with and without a leading picture, headerless.
frames = [[0x83, 1], [0x01, 2, 3], [0x81, 4, 0x00, 5]]
save("cif", "plain.cif", picture(3, 1, 2, [0x82, 8]) + picture(2, 2, 0, range(6)) + picture(2, 2, 0, [9, 9]))
save("cif", "leader.cif", picture(2, 1, 0, [6, 7]) + group(2, 2, frames) + group(2, 2, frames))
grouped = bytearray(group(2, 2, frames) + group(3, 1, [[0x82, 5]]))
struct.pack_into("<HHHH", grouped, 4, 10, 10, 21, 20)
save("cif", "grouped.cif", grouped)
save("cif", "headerless.cif", [i & 255 for i in range(2601)])


# Texture archives: plain, frame and row table records; solid colours.
def record(w, h, compression, nframes, data):
    r = bytearray(28)
    struct.pack_into("<HHH", r, 4, w, h, compression)
    struct.pack_into("<I", r, 14, 28)
    struct.pack_into("<H", r, 20, nframes)
    return bytes(r) + bytes(data)


def archive(name, records):
    head = struct.pack("<H", len(records)) + name.ljust(24, b"\0")
    at = 26 + 20 * len(records)
    directory = b""
    for r in records:
        directory += b"\0\0" + struct.pack("<I", at) + bytes(14)
        at += len(r)
    return head + directory + b"".join(records)


rows = bytearray(256 + 3)
rows[0:3] = b"\1\2\3"
rows[256:259] = b"\4\5\6"
f0 = bytes([3, 0, 2, 0, 1, 2, 7, 8, 0, 1, 9, 2, 0])
f1 = bytes([3, 0, 2, 0, 0, 1, 5, 0, 3, 4, 5, 6])
frametable = struct.pack("<II", 8, 8 + len(f0)) + f0 + f1
coded0 = bytes([4, 0, 2, 0, 11, 12, 0xFE, 0xFF, 13])
raw1 = bytes([21, 22, 23, 24])
coded2 = bytes([4, 0, 1, 0, 31, 0xFD, 0xFF, 77])
rowtable = struct.pack("<HHHHHH", 40, 0x8000, 40 + len(coded0), 0, 40 + len(coded0) + len(raw1), 0x8000)
rowtable += coded0 + raw1 + coded2
save("dagtexture", "records.dagtexture",
     archive(b"Walls (test)", [record(3, 2, 0, 1, rows), record(3, 2, 0, 2, frametable),
                               record(4, 3, 0x0108, 1, rowtable)]))
solid = bytearray(2586)
struct.pack_into("<H", solid, 0, 5)
solid[2:8] = b"Bright"
save("dagtexture", "solid.dagtexture", solid)

# Sky archives are 7.7 MB; the seed holds the signature and the start of the
# palettes only.
sky = bytearray(4 * 776)
for p in range(4):
    sky[p * 776:p * 776 + 6] = bytes([8, 3, 0, 0, 0x23, 0xB1])
    sky[p * 776 + 8:p * 776 + 776] = bytes((p + i) & 255 for i in range(768))
save("dagsky", "start.dagsky", sky)


# BSI: indexed and colour-table sets, single and multi-frame, an archive.
def chunk(cid, data, length=None):
    return cid + struct.pack(">I", len(data) if length is None else length) + bytes(data)


def bhdr(w, h, n):
    b = bytearray(26)
    struct.pack_into("<hhxxxxxxH", b, 4, w, h, n)
    return chunk(b"BHDR", b)


head = chunk(b"IFHD", [1, 2, 3, 4])
end = chunk(b"END ", [])
save("bsi", "cmap.bsi", head + bhdr(3, 2, 1) + chunk(b"CMAP", range(12)) + chunk(b"DATA", [0, 1, 2, 3, 0, 1]) + end)
multi = struct.pack("<IIII", 16, 18, 18, 20) + bytes([1, 2, 3, 4, 5])
save("bsi", "frames.bsi", head + bhdr(2, 2, 2) + chunk(b"DATA", multi) + end)
save("bsi", "hicl.bsi", head + bhdr(3, 1, 1) + chunk(b"HICL", range(256)) + chunk(b"DATA", [0, 63, 65]) + end)
htbl = bytearray(8192)
struct.pack_into("<HH", htbl, (3840 + 1) * 2, (31 << 10) | 16, (1 << 10) | (31 << 5))
colour = struct.pack("<II", 0x00AB0008, 10) + bytes([1, 0, 2, 2])
save("bsi", "htbl.bsi", head + bhdr(2, 1, 2) + chunk(b"HICL", [0]) + chunk(b"HTBL", htbl) + chunk(b"DATA", colour) + end)
one = head + bhdr(1, 1, 1) + chunk(b"CMAP", [9, 8, 7]) + chunk(b"DATA", [1]) + end
prefix = lambda n: b"TEST.BSI\0" + struct.pack("<i", n)
save("bsi", "archive.bsi", prefix(60) + one + prefix(40) + one.replace(b"IFHD", b"BSIF") + prefix(0))
