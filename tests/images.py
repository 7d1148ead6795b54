"""Small image files for the tests, written with Pillow or by hand."""
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
    """An uncompressed 8-bit RGB Photoshop file of the (H, W, 3) array."""
    height, width, _ = rgb.shape
    header = b"8BPS" + struct.pack(">H6xHIIHH", 1, 3, height, width, 8, 3)
    sections = struct.pack(">III", 0, 0, 0)  # colour mode, resources, layers
    planes = b"".join(rgb[:, :, c].tobytes() for c in range(3))
    return header + sections + struct.pack(">H", 0) + planes


def top_down_bmp(data):
    """The bottom-up BMP `data` with its rows stored top row first, flagged by a
    negative height."""
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    stride = (width * bits // 8 + 3) & ~3
    rows = [data[offset + y * stride:offset + (y + 1) * stride] for y in range(height)]
    return data[:22] + struct.pack("<i", -height) + data[26:offset] + b"".join(reversed(rows))


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
