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


def jpeg_segment(marker, body):
    return bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body


def jpeg_scans(data):
    """Offsets of the start-of-scan markers in the JPEG file `data`."""
    return [m.start() for m in re.finditer(rb"\xff\xda", data)]
