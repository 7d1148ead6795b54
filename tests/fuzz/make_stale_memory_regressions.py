"""Writes into regressions/ the small files that made stb_image 2.27 read memory
it never wrote (or spin for a minute, or crash for want of stack), each built
by hand or from a seed.
Run once; the files are committed. Usage: python3 make_stale_memory_regressions.py"""
import struct
import sys
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from images import flat_gif_codes, gif_bytes  # noqa: E402
SEEDS, OUT = HERE / "corpus", HERE / "regressions"


def segment(marker, body):
    return bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body


def jpeg_grey_frame(width, height, marker=0xC0):
    return segment(marker, struct.pack(">BHHB", 8, height, width, 1) + b"\x01\x11\x00")


def jpeg_one_code_tables():
    """Quantisation table 0, and DC and AC tables 0 of one 1-bit code each."""
    one_code = bytes([1] + [0] * 15) + b"\x00"
    return (segment(0xDB, b"\x00" + bytes([1] * 64)) + segment(0xC4, b"\x00" + one_code)
            + segment(0xC4, b"\x10" + one_code))


def many_scans(count):
    """A 4096 x 4096 grey frame with `count` scans of one data byte each: stb
    decodes every block of the frame again for every scan."""
    scan = segment(0xDA, b"\x01\x01\x00\x00\x3f\x00") + b"\x00"
    return (b"\xff\xd8" + jpeg_one_code_tables() + jpeg_grey_frame(4096, 4096)
            + scan * count + b"\xff\xd9")


def patched(seed, changes):
    data = bytearray((SEEDS / seed).read_bytes())
    for offset, value in changes.items():
        data[offset] = value
    return bytes(data)


def png(width, height, colour_type, idat, extra_chunks=b"", iend=True):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    header = chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))
    return (b"\x89PNG\r\n\x1a\n" + header + extra_chunks + chunk(b"IDAT", idat)
            + (chunk(b"IEND", b"") if iend else b""))


def raw_deflate(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def fixed_huffman_distance_30(rows, width):
    """DEFLATE data for rows of a grey PNG: one literal zero (the first row's
    filter type), then copies at distance code 30, which stb reads as
    distance 0, that is from output it has not written yet."""
    bits = []

    def code(value, length):  # Huffman codes go most significant bit first
        bits.extend((value >> i) & 1 for i in reversed(range(length)))

    bits += [1, 1, 0]  # last block, fixed codes
    code(0x30, 8)  # literal 0
    copies, left = divmod(rows * (width + 1) - 1, 3)
    for _ in range(copies):
        code(1, 7)  # length code 257: 3 bytes
        code(30, 5)
    for _ in range(left):
        code(0x30, 8)
    code(0, 7)  # end of block
    bits += [0] * (-len(bits) % 8)
    data = bytes(sum(bit << i for i, bit in enumerate(bits[n:n + 8])) for n in range(0, len(bits), 8))
    return b"\x78\x01" + data + b"\x00\x00\x00\x01"


def bmp(bits, palette, rows, width, height=None, offset=None):
    """An uncompressed BMP with a palette of (b, g, r) entries, rows given
    bottom row first, each already packed and padded."""
    pixels = b"".join(rows)
    table = b"".join(bytes(entry) + b"\x00" for entry in palette)
    offset = 54 + len(table) if offset is None else offset
    info = struct.pack("<IiiHHIIiiII", 40, width, len(rows) if height is None else height, 1,
                       bits, 0, len(pixels), 2835, 2835, len(palette), 0)
    return b"BM" + struct.pack("<IHHI", 54 + len(table) + len(pixels), 0, 0, offset) + info + table + pixels


def os2_bmp(bits, palette, rows, width):
    """As bmp(), with the 12-byte OS/2 header and 3-byte palette entries."""
    table, pixels = b"".join(bytes(entry) for entry in palette), b"".join(rows)
    info = struct.pack("<IHHHH", 12, width, len(rows), 1, bits)
    offset = 26 + len(table)
    return b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + info + table + pixels


def gif(width, height, image=True):
    screen = b"GIF89a" + struct.pack("<HHBBB", width, height, 0x80, 0, 0) + bytes(6)
    body = b",\x00\x00\x00\x00" + struct.pack("<HH", width, height) + b"\x00\x02\x02\x44\x01\x00"
    return screen + (body if image else b"") + b";"


def files():
    sos = 609  # the baseline seed's one scan, with all three components
    yield "jpeg-frame-without-scans.jpg", b"\xff\xd8" + jpeg_grey_frame(16, 16) + b"\xff\xd9"
    yield "jpeg-scan-for-one-of-three-components.jpg", (lambda d: d[:sos] + segment(
        0xDA, b"\x01\x01\x00\x00\x3f\x00") + d[sos + 14:])((SEEDS / "baseline.jpg").read_bytes())
    yield "jpeg-progressive-without-dc-first-scan.jpg", (lambda d: d[:222] + d[240:])(
        (SEEDS / "progressive.jpg").read_bytes())
    yield "jpeg-undefined-quantisation-table.jpg", patched("baseline.jpg", {170: 3})
    yield "jpeg-undefined-dc-huffman-table.jpg", patched("baseline.jpg", {sos + 6: 0x30})
    yield "jpeg-progressive-undefined-ac-huffman-table.jpg", patched("progressive.jpg", {273: 0x03})
    yield "jpeg-1300-scans.jpg", many_scans(1300)
    yield "png-fixed-huffman-distance-code-30.png", png(16, 16, 0, fixed_huffman_distance_30(16, 16))
    yield "png-palette-index-past-plte.png", png(
        4, 1, 3, zlib.compress(b"\x00\x00\x01\x02\xff"),
        struct.pack(">I", 6) + b"PLTE" + b"\x10\x20\x30\x40\x50\x60" + b"\x00\x00\x00\x00")
    # A chunk of 2^31 bytes or more: stb skips it backwards, to the end of its
    # 128-byte read-ahead, and finds a one-entry palette there.
    yield "png-chunk-skipped-backwards.png", png(
        4, 1, 3, zlib.compress(b"\x00\x00\xff\x80\x07"),
        struct.pack(">I", 2**31) + b"tEXt" + bytes(128 - 33 - 8 + 4)
        + struct.pack(">I", 3) + b"PLTE" + b"\x01\x02\x03" + bytes(4))
    # Led by a CgBI chunk (the one stb takes before the header) of 2^31 bytes:
    # stb skips it backwards and finds the header, a one-entry palette and the
    # raw deflate data of a CgBI file past its read-ahead.
    rows = b"".join(b"\x00" + bytes(range(r, r + 16)) for r in range(0, 256, 16))
    palette = struct.pack(">I", 3) + b"PLTE" + b"\x01\x02\x03" + bytes(4)
    cgbi = png(16, 16, 3, raw_deflate(rows), palette)
    yield "png-cgbi-skipped-backwards.png", (cgbi[:8] + struct.pack(">I", 2**31) + b"CgBI"
                                             + bytes(128 - 16 + 4) + cgbi[8:])
    yield "png-no-iend.png", (SEEDS / "rgb.png").read_bytes()[:-12]
    yield "bmp-8-bit-index-past-palette.bmp", bmp(8, [(1, 2, 3), (4, 5, 6)], [b"\x00\x01\x02\xff"], 4)
    yield "bmp-1-bit-index-past-palette.bmp", bmp(1, [(7, 8, 9)], [b"\xa0\x00\x00\x00"], 4)
    # stb counts an OS/2 palette four entries short: none of these two.
    yield "bmp-os2-1-bit-palette.bmp", os2_bmp(1, [(1, 2, 3), (4, 5, 6)], [b"\x50\x00\x00\x00"], 4)
    yield "bmp-offset-inside-header.bmp", bmp(8, [(1, 2, 3)], [b"\x00\x00\x00\x00"], 4, offset=50)
    yield "bmp-height-int-min.bmp", bmp(8, [(1, 2, 3)], [b"\x00\x00\x00\x00"], 4, height=-2**31)
    # A 1 x 1 frame whose codes name prefix chains up to 4091 links long: stb
    # recursed through each, needing 170 KB of stack, and expanded them all.
    yield "gif-prefix-chains-4091-links.gif", gif_bytes((1, 1), (1, 1), flat_gif_codes())
    # stb fails on these without a reason.
    yield "gif-zero-width.gif", gif(0, 4, image=False)
    yield "gif-zero-height.gif", gif(4, 0, image=False)
    yield "gif-no-image.gif", gif(4, 4, image=False)


if __name__ == "__main__":
    for name, data in files():
        (OUT / name).write_bytes(data)
        print(f"{name}: {len(data)} bytes")
