"""Small image files for the tests, written with Pillow or by hand."""
import re
import struct

import numpy
from PIL import Image

rng = numpy.random.default_rng(99)


def random_rgb(height=5, width=7):
    return rng.integers(0, 256, (height, width, 3), dtype=numpy.uint8)


def save(path, array, mode=None, **options):
    Image.fromarray(array, mode).save(path, **options)
    return path


def hdr_bytes(values):
    """A Radiance file of one row; each value v as the grey colour (v, v, v)."""
    pixels = bytearray()
    for v in values:
        # RGBE: v = mantissa * 2**(exponent - 136); zero has exponent 0.
        if v == 0:
            pixels += bytes(4)
        else:
            exponent = 136 + int(numpy.floor(numpy.log2(v))) - 7
            mantissa = round(v * 2.0 ** (136 - exponent))
            pixels += bytes([mantissa] * 3 + [exponent])
    header = b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X %d\n" % len(values)
    return header + bytes(pixels)


def psd_bytes(rgb):
    """An uncompressed 8-bit RGB or RGBA Photoshop file of the (H, W, 3 or 4)
    array."""
    height, width, channels = rgb.shape
    header = b"8BPS" + struct.pack(">H6xHIIHH", 1, channels, height, width, 8, 3)
    sections = struct.pack(">III", 0, 0, 0)  # colour mode, resources, layers
    planes = b"".join(rgb[:, :, c].tobytes() for c in range(channels))
    return header + sections + struct.pack(">H", 0) + planes


def top_down_bmp(data):
    """The bottom-up BMP `data` with its rows stored top row first, flagged by a
    negative height."""
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    stride = (width * bits // 8 + 3) & ~3
    rows = [data[offset + y * stride:offset + (y + 1) * stride] for y in range(height)]
    return data[:22] + struct.pack("<i", -height) + data[26:offset] + b"".join(reversed(rows))


def jpeg_segment(marker, body):
    return bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body


def jpeg_scans(data):
    """Offsets of the start-of-scan markers in the JPEG file `data`."""
    return [m.start() for m in re.finditer(rb"\xff\xda", data)]


def _entropy_coded(bits):
    """The bits, padded with ones to whole bytes, 0xFF bytes stuffed."""
    bits += "1" * (-len(bits) % 8)
    return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8)).replace(b"\xff", b"\xff\x00")


def _ceil(a, b):
    return -(-a // b)


def flat_progressive_jpeg(width, height, ycbcr, sampling=0x44):
    """A progressive JPEG of one YCbCr colour, its three components all sampled
    `sampling` (h << 4 | v), each in a DC scan and an AC scan of its own (an
    interleaved scan would exceed libjpeg's 10 blocks an MCU). Quantisation 1:
    a block's DC is 8 (value - 128)."""
    # DC: size 0 in the 1-bit code 0, sizes 1 to 11 in 5 bits from 10000;
    # AC: the end-of-band run symbols n << 4 in the 4-bit codes n.
    tables = (jpeg_segment(0xDB, b"\x00" + bytes([1] * 64))
              + jpeg_segment(0xC4, b"\x00" + bytes([1, 0, 0, 0, 11] + [0] * 11) + bytes(range(12)))
              + jpeg_segment(0xC4, b"\x10" + bytes([0, 0, 0, 15] + [0] * 12)
                             + bytes(n << 4 for n in range(15))))
    frame = jpeg_segment(0xC2, struct.pack(">BHHB", 8, height, width, 3)
                         + b"".join(bytes([c, sampling, 0]) for c in (1, 2, 3)))
    blocks = _ceil(width, 8) * _ceil(height, 8)  # equal sampling: every plane at full size
    scans = b""
    for component, value in enumerate(ycbcr, 1):
        dc = 8 * (value - 128)
        size = abs(dc).bit_length()
        first = "0" if size == 0 else f"{15 + size:05b}{dc % (1 << size) - (dc < 0):0{size}b}"
        ac, left = "", blocks
        while left:
            run = min(left, 32767)
            n = run.bit_length() - 1
            ac += f"{n:04b}" + (f"{run - (1 << n):0{n}b}" if n else "")
            left -= run
        scans += (jpeg_segment(0xDA, bytes([1, component, 0, 0, 0, 0])) + _entropy_coded(first + "0" * (blocks - 1))
                  + jpeg_segment(0xDA, bytes([1, component, 0, 1, 63, 0])) + _entropy_coded(ac))
    return b"\xff\xd8" + tables + frame + scans + b"\xff\xd9"


def jpeg_of_empty_scans(width, height, scans, components=1, sampling=0x11, progressive=False,
                        size=0):
    """A JPEG whose scans hold no entropy-coded data, padded with comments to
    `size` bytes: sequential scans of all components, or a progressive DC scan
    of all then AC scans of one component after another."""
    one_code = bytes([1] + [0] * 15) + b"\x00"
    ids = range(1, components + 1)
    head = (jpeg_segment(0xDB, b"\x00" + bytes([1] * 64)) + jpeg_segment(0xC4, b"\x00" + one_code)
            + jpeg_segment(0xC4, b"\x10" + one_code)
            + jpeg_segment(0xC2 if progressive else 0xC0, struct.pack(">BHHB", 8, height, width, components)
                           + b"".join(bytes([c, sampling, 0]) for c in ids)))

    def scan(named, start, end):
        return jpeg_segment(0xDA, bytes([len(named)]) + b"".join(bytes([c, 0]) for c in named)
                            + bytes([start, end, 0]))
    if progressive:
        body = scan(ids, 0, 0) + b"".join(scan([ids[n % components]], 1, 63) for n in range(scans - 1))
    else:
        body = scan(ids, 0, 63) * scans
    padding = b""
    while len(head) + len(body) + len(padding) + 4 < size:
        left = size - len(head) - len(body) - len(padding) - 8
        padding += jpeg_segment(0xFE, bytes(min(65000, max(left, 0))))
    return b"\xff\xd8" + padding + head + body + b"\xff\xd9"


def gif_bytes(screen, frame, codes, palette=((0, 0, 0), (200, 100, 50))):
    """A GIF of one frame, (width, height) at the screen's top left, with a
    palette of 2, 4, ... entries; its image data is `codes` packed at minimum
    code size 2, each in as many bits as a decoder reads it with."""
    data, value, bits, size, available, previous = bytearray(), 0, 0, 3, 6, None
    for code in codes:
        value, bits = value | code << bits, bits + size
        while bits >= 8:
            data.append(value & 0xFF)
            value, bits = value >> 8, bits - 8
        if code == 4:  # clear
            size, available, previous = 3, 6, None
            continue
        available += previous is not None
        if available == 1 << size and size < 12:
            size += 1
        previous = code
    data += bytes([value] if bits else [])
    blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255]
                      for i in range(0, len(data), 255))
    flags = 0x80 | (len(palette).bit_length() - 2)
    return (b"GIF89a" + struct.pack("<HHBBB", *screen, flags, 0, 0) + bytes(sum(palette, ()))
            + b"," + struct.pack("<HHHHB", 0, 0, *frame, 0) + b"\x02" + blocks + b"\x00;")


def flat_gif_codes(cycles=1, repeats=0, ones=0):
    """Codes of one colour: from a clear code, each names the longest run so
    far plus one pixel, up to stb's deepest prefix chain (4091 links,
    FLAT_GIF_PIXELS in all); then that run `repeats` times more; all that
    `cycles` times; then `ones` single pixels and the end code."""
    return [4, 0, *range(6, 4096), *[4095] * repeats] * cycles + [0] * ones + [5]


FLAT_GIF_PIXELS = 4091 * 4092 // 2
