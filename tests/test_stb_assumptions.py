"""What the decoder's hardening assumes of stb_image's internals, each shown
by a file whose outcome depends on it. On an stb_image that behaves otherwise
the failure names the assumption, and the hardening beside it needs a look."""
import io
import re
import struct
from pathlib import Path

import numpy
import pytest
from PIL import Image

import quarn
from images import jpeg_scans, jpeg_segment, random_rgb

REGRESSIONS = Path(__file__).resolve().parent / "fuzz" / "regressions"


def jpeg(**options):
    data = io.BytesIO()
    Image.fromarray(random_rgb(8, 32)).convert("L").save(data, "JPEG", quality=95, **options)
    return data.getvalue()


def unused_table_slots():
    """A progressive JPEG whose scans name undefined slots for the tables stb
    leaves unused in them, and the original, which must decode alike."""
    original = jpeg(progressive=True)
    data = bytearray(original)
    for at in jpeg_scans(original):
        count = data[at + 4]
        dc, refinement = data[at + 5 + 2 * count] == 0, data[at + 7 + 2 * count] >> 4
        for table in range(at + 6, at + 6 + 2 * count, 2):
            data[table] = 0x33 if dc and refinement else data[table] | (0x03 if dc else 0x30)
    return bytes(data), original


def restart_marker_missing():
    """A restart interval of one block over several blocks with one restart
    marker, late: stb ends the scan after the first block, then meets the
    rest of the data where a segment should be."""
    data = jpeg()
    scan = jpeg_scans(data)[0]
    at = scan + (len(data) - scan) * 2 // 3
    while data[at - 1] == 0xFF:  # not inside a stuffed 0xFF 0x00
        at += 1
    return (data[:scan] + jpeg_segment(0xDD, b"\x00\x01") + data[scan:at] + b"\xff\xd0" + data[at:],
            ("unknown marker", "expected marker"))


# Assumption: (file, expected) or a function returning that pair. Expected:
# the reasons ValueError may give, the first row's (blue, green, red), or a
# file that must decode alike.
ASSUMPTIONS = {
    "stb's read-ahead buffer holds 128 bytes: its JPEG test rewinds wrongly past it": (
        (REGRESSIONS / "ff-run-then-16-bit-pnm.bin").read_bytes(),
        ("unknown image type (starts with a long run of 0xFF)",)),
    "stb stops calling back only after a refill of 0 bytes, so refills past the end are counted": (
        (REGRESSIONS / "png-no-iend.png").read_bytes(), ("file ends too early",)),
    "stb reads bulk data straight into the decoder's buffers, not through the read-ahead": (
        b"P6\n4 4\n255\n" + bytes(10), ("file ends too early",)),
    "stb counts an OS/2 BMP palette four entries short": (
        (REGRESSIONS / "bmp-os2-1-bit-palette.bmp").read_bytes(),
        [(1, 2, 3), (4, 5, 6), (1, 2, 3), (4, 5, 6)]),
    "stb returns 16-bit PNM samples in file order, high byte first": (
        b"P6\n2 1\n65535\n" + bytes([0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC]) * 2, [(0x9A, 0x56, 0x12)] * 2),
    "progressive stb decodes a first DC scan without AC tables, a DC refinement without tables, "
    "an AC scan without DC tables": unused_table_slots,
    "stb records why a JPEG segment after the frame fails, returning nothing (2.27) "
    "or the image decoded so far (2.28 and later)": restart_marker_missing,
}


def outcome(path):
    try:
        return quarn.readimg(str(path))
    except ValueError as error:
        return re.sub(r"^.*': ", "", str(error))


@pytest.mark.parametrize("assumption", list(ASSUMPTIONS))
def test_stb_behaves_as_the_hardening_assumes(tmp_path, assumption):
    data, expected = ASSUMPTIONS[assumption]() if callable(ASSUMPTIONS[assumption]) \
        else ASSUMPTIONS[assumption]
    path, reference = tmp_path / "file", tmp_path / "reference"
    path.write_bytes(data)
    result = outcome(path)
    if isinstance(expected, bytes):
        reference.write_bytes(expected)
        holds = isinstance(result, numpy.ndarray) and numpy.array_equal(result, outcome(reference))
    elif isinstance(expected, tuple):
        holds = isinstance(result, str) and result in expected
    else:
        holds = isinstance(result, numpy.ndarray) and \
            [tuple(result[:, 0, x]) for x in range(len(expected))] == expected
    assert holds, f"stb_image no longer behaves as assumed: {assumption} (readimg gave {result!r:.200})"
