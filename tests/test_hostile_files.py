"""Every seed of the fuzzer's corpus, every input it ever crashed on, and
decompression bombs made from the seeds go through readimg in a child
process: each must give an array or a Python error within a second."""
import os
import re
import struct
from pathlib import Path

import numpy
import pytest
from PIL import Image

import quarn
from child_reader import ALLOWED, ChildReader
from declared_size import declare_size
from images import (FLAT_GIF_PIXELS, flat_gif_codes, gif_bytes, jpeg_of_empty_scans, jpeg_scans,
                    jpeg_segment, random_rgb, save)

FUZZ = Path(__file__).resolve().parent / "fuzz"
SEEDS = sorted(p.name for p in (FUZZ / "corpus").iterdir())
REGRESSIONS = sorted(p.name for p in (FUZZ / "regressions").iterdir())
BLACK = (0, 0, 0)
# Regressions on which stb 2.27 read memory it never wrote, spun for a
# minute, crashed in a small thread stack, or failed without a reason (made by
# fuzz/make_stale_memory_regressions.py): the reason each is refused for, or
# (blue, green, red) of its first pixels, those no palette entry or written
# output gives now black. Those that show an assumption about stb's internals
# are in test_stb_assumptions.
STALE_MEMORY_REFUSALS = {
    "jpeg-frame-without-scans.jpg": "JPEG frame uses an undefined quantisation table",
    "jpeg-undefined-quantisation-table.jpg": "JPEG frame uses an undefined quantisation table",
    "jpeg-undefined-dc-huffman-table.jpg": "JPEG scan uses an undefined Huffman table",
    "jpeg-progressive-undefined-ac-huffman-table.jpg": "JPEG scan uses an undefined Huffman table",
    "jpeg-1300-scans.jpg": "JPEG frame has more blocks than its file can hold (truncated or corrupt)",
    "bmp-offset-inside-header.bmp": "BMP pixel offset leaves no room for its palette",
    "bmp-height-int-min.bmp": "image of 4 x 2147483648 pixels is larger than the limit of 250000000 pixels",
    "png-chunk-skipped-backwards.png": "PNG chunk longer than 2^31 - 1 bytes",
    "png-cgbi-skipped-backwards.png": "PNG chunk longer than 2^31 - 1 bytes",
    "gif-prefix-chains-4091-links.gif": "GIF codes expand to far more pixels than the frame holds",
    "gif-no-image.gif": "corrupt GIF file",
    "gif-zero-width.gif": "corrupt GIF file",
    "gif-zero-height.gif": "corrupt GIF file",
}
STALE_MEMORY_PIXELS = {
    "png-palette-index-past-plte.png": [(0x30, 0x20, 0x10), (0x60, 0x50, 0x40), BLACK, BLACK],
    "bmp-8-bit-index-past-palette.bmp": [(1, 2, 3), (4, 5, 6), BLACK, BLACK],
    "bmp-1-bit-index-past-palette.bmp": [BLACK, (7, 8, 9), BLACK, (7, 8, 9)],
    # Found by the MemorySanitizer fuzzer: stb takes a negative compression
    # field as none, and reads zeros for a header cut short.
    "bmp-negative-compression-index-past-palette.bmp": [(0, 1, 2), (0, 1, 2), (0, 4, 5), BLACK],
    "bmp-os2-header-cut-short.bmp": [BLACK] * 4,
    "png-fixed-huffman-distance-code-30.png": [BLACK] * 4,
}
# stb 2.28 and later refuse these themselves: DEFLATE forbids distance codes
# 30 and 31, which 2.27 reads as distance 0.
NEWER_STB_REFUSALS = {"png-fixed-huffman-distance-code-30.png": "bad huffman code"}
HDR_HEADER = b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n"

# No pixels (stb accepts that for some formats, giving an empty array); under
# the pixel limit and over it, both far beyond what the data holds.
IMPOSSIBLE_SIZES = [(0, 12), (16, 0), (16000, 15000), (16384, 16384)]
HDR_BOMBS = {
    # Flat HDR rows, 32768 wide: the float buffer alone would be 2 GB.
    "wide.hdr": HDR_HEADER + b"-Y 4000 +X 32768\n" + bytes(64),
    # An RLE row header with no runs after it: stb read zeros forever.
    "endless-rle.hdr": HDR_HEADER + b"-Y 1 +X 8\n" + b"\x02\x02\x00\x08",
}

TOO_MANY_BLOCKS = "JPEG frame has more blocks than its file can hold (truncated or corrupt)"
BASELINE_JPEG = (FUZZ / "corpus" / "baseline.jpg").read_bytes()
# JPEGs whose scans hold no data: stb decodes every block they name anyway.
JPEG_BOMBS = {
    # 100 scans of four full-size planes each: once 41 and 80 s.
    "11585-square-4-planes-100-scans.jpg": (
        jpeg_of_empty_scans(11585, 11585, 100, 4, 0x44, size=65536), TOO_MANY_BLOCKS),
    "250-megapixels-4-planes-100-scans.jpg": (
        jpeg_of_empty_scans(15811, 15811, 100, 4, 0x44, size=122100), TOO_MANY_BLOCKS),
    "second-sequential-scan.jpg": (
        jpeg_of_empty_scans(64, 64, 2), "corrupt JPEG: a component in two sequential scans"),
    "progressive-9-passes.jpg": (jpeg_of_empty_scans(64, 64, 9, progressive=True),
                                 "JPEG scans decode the frame's blocks more than 8 times over"),
    # Cut inside its scan, then a sparse hole to 1 TiB (made below): stb reads
    # on to the next 0xFF, through every zero (3 s and 1 GB a GiB, then OOM).
    "cut-scan-then-1-tib-hole.jpg": (BASELINE_JPEG[:jpeg_scans(BASELINE_JPEG)[-1] + 64],
                                     "JPEG scan data longer than its blocks can take (corrupt)"),
}
TRUNCATED = "JPEG file ends before its end-of-image marker (truncated)"
# Edits of a whole JPEG, given its bytes and the offsets of its scans: None
# where the result keeps the whole file's pixels, else the reason it is refused.
JPEG_EDITS = {
    "segments before the last scan": (lambda d, s: d[:s[-1]] + jpeg_segment(0xE5, b"app")
                                      + jpeg_segment(0xFE, b"note") + d[s[-1]:], None),
    "height line before the last scan": (
        lambda d, s: d[:s[-1]] + jpeg_segment(0xDC, struct.pack(">H", 48)) + d[s[-1]:], None),
    "fill bytes before the last scan": (lambda d, s: d[:s[-1]] + b"\xff\xff" + d[s[-1]:], None),
    "data after the end": (lambda d, s: d + b"\xff\xd8\xff\xc4 and more", None),
    "first half": (lambda d, s: d[:len(d) // 2], TRUNCATED),
    "first 90 %": (lambda d, s: d[:len(d) * 9 // 10], TRUNCATED),
    "headers only": (lambda d, s: d[:s[0]], TRUNCATED),
    "no end marker": (lambda d, s: d[:-2], TRUNCATED),
    "byte where a marker should be": (lambda d, s: d[:s[-1]] + b"\x00" + d[s[-1]:],
                                      "corrupt JPEG: data where a marker should be"),
    "second frame": (lambda d, s: d[:s[-1]] + jpeg_segment(0xC1, b"") + d[s[-1]:],
                     "corrupt JPEG: unexpected marker after the frame"),
}


# readimg in a thread of a small stack, as some servers run their workers;
# NumPy imported before, as by any program that uses arrays (its import
# alone needs more than 32 KiB).
IN_SMALL_THREAD = """
import concurrent.futures, threading, numpy
threading.stack_size(%d * 1024)
pool, readimg = concurrent.futures.ThreadPoolExecutor(1), quarn.readimg
quarn.readimg = lambda path: pool.submit(readimg, path).result()
"""
# One colour, 2893 x 2894: codes naming prefix chains up to 4091 links long.
FLAT_GIF = gif_bytes((2893, 2894), (2893, 2894),
                     flat_gif_codes(ones=2893 * 2894 - FLAT_GIF_PIXELS), palette=((10, 20, 30), (0, 0, 0)))


@pytest.fixture(scope="module")
def reader():
    child = ChildReader()
    yield child
    child.close()


def check(reader, path, expected, timeout=10.0):
    outcome, seconds = reader.read(path, timeout)
    assert outcome in expected
    assert seconds < 1.0  # of CPU time: 20 times the slowest file's here, however busy the machine


@pytest.mark.parametrize("name", SEEDS)
def test_seeds_decode(reader, name):
    check(reader, FUZZ / "corpus" / name, {"array"})


@pytest.mark.parametrize("name", REGRESSIONS)
def test_inputs_that_once_crashed_the_fuzzer(reader, name):
    check(reader, FUZZ / "regressions" / name, ALLOWED)


@pytest.mark.parametrize("name, reason", sorted(STALE_MEMORY_REFUSALS.items()))
def test_files_stb_would_misread_are_refused_for_their_own_reason(name, reason):
    with pytest.raises(ValueError, match=f"{re.escape(name)}': {re.escape(reason)}$"):
        quarn.readimg(str(FUZZ / "regressions" / name))


@pytest.mark.parametrize("name, pixels", sorted(STALE_MEMORY_PIXELS.items()))
def test_pixels_the_file_does_not_give_are_black(name, pixels):
    try:
        image = quarn.readimg(str(FUZZ / "regressions" / name))
    except ValueError as error:
        assert str(error).endswith(f"': {NEWER_STB_REFUSALS.get(name)}")
    else:
        assert [tuple(image[:, 0, x]) for x in range(4)] == pixels


@pytest.mark.parametrize("width, height", IMPOSSIBLE_SIZES)
@pytest.mark.parametrize("name", SEEDS)
def test_seeds_declaring_impossible_sizes_are_refused(reader, tmp_path, name, width, height):
    path = tmp_path / name
    path.write_bytes(declare_size((FUZZ / "corpus" / name).read_bytes(), width, height))
    check(reader, path, {"ValueError"} if width * height else {"array", "ValueError"})


@pytest.mark.parametrize("name", list(HDR_BOMBS))
def test_hdr_bombs_are_refused(reader, tmp_path, name):
    path = tmp_path / name
    path.write_bytes(HDR_BOMBS[name])
    check(reader, path, {"ValueError"})


def test_reasons_quoting_bytes_of_the_file_stay_text(tmp_path):
    # stb names an unknown critical PNG chunk by its raw type bytes.
    png = (FUZZ / "corpus" / "rgb.png").read_bytes()
    chunk = struct.pack(">I", 0) + b"\xc1\xfe\x7fQ" + struct.pack(">I", 0)
    path = tmp_path / "odd-chunk.png"
    path.write_bytes(png[:33] + chunk + png[33:])
    with pytest.raises(ValueError) as raised:
        quarn.readimg(str(path))
    assert type(raised.value) is ValueError
    assert str(raised.value).endswith("odd-chunk.png': \\xc1\\xfe\\x7fQ PNG chunk not known")


@pytest.mark.parametrize("seed, edit, reason", [
    ("palette.bmp", lambda data: data[:30] + b"\x01" + data[31:], "BMP RLE"),
    ("rgb.png", lambda data: data[:8] + data[33:], "first not IHDR"),
], ids=["run-length BMP", "PNG without header chunk"])
def test_refusals_give_the_loaders_specific_reason(tmp_path, seed, edit, reason):
    # stbi_info only says "unknown image type" for these.
    path = tmp_path / seed
    path.write_bytes(edit((FUZZ / "corpus" / seed).read_bytes()))
    with pytest.raises(ValueError, match=f"': {reason}$"):
        quarn.readimg(str(path))


@pytest.mark.parametrize("seed, which", [("baseline.jpg", 0), ("progressive.jpg", -1)],
                         ids=["before the frame", "between scans"])
def test_jpeg_huffman_tables_of_more_than_256_codes_are_refused(tmp_path, seed, which):
    # stb 2.27 would write the surplus codes past the end of its table.
    data = bytearray((FUZZ / "corpus" / seed).read_bytes())
    table = [m.start() for m in re.finditer(rb"\xff\xc4", data)][which]
    data[table + 5:table + 21] = bytes([17] * 16)  # 16 lengths of 17 codes each
    path = tmp_path / seed
    path.write_bytes(data)
    with pytest.raises(ValueError, match="corrupt JPEG Huffman table$"):
        quarn.readimg(str(path))


@pytest.mark.parametrize("name", list(JPEG_BOMBS))
def test_jpeg_bombs_are_refused_for_their_reason(reader, tmp_path, name):
    data, reason = JPEG_BOMBS[name]
    path = tmp_path / name
    path.write_bytes(data)
    if "hole" in name:
        os.truncate(path, 1 << 40)
    # Stopped sooner where a regression would read the hole: 1 GB in 3 s.
    check(reader, path, {"ValueError"}, timeout=2.5 if "hole" in name else 10.0)
    with pytest.raises(ValueError, match=f"': {re.escape(reason)}$"):
        quarn.readimg(str(path))


@pytest.mark.parametrize("edit", list(JPEG_EDITS))
@pytest.mark.parametrize("progressive", [False, True], ids=["baseline", "progressive"])
def test_jpeg_edits_keep_the_pixels_or_are_refused_for_their_reason(tmp_path, progressive, edit):
    # stb 2.28 and later return what they decoded up to the fault as the image.
    whole = save(tmp_path / "whole.jpg", random_rgb(48, 64), progressive=progressive)
    make, reason = JPEG_EDITS[edit]
    path = tmp_path / "edited.jpg"
    path.write_bytes(make(whole.read_bytes(), jpeg_scans(whole.read_bytes())))
    if reason is None:
        numpy.testing.assert_array_equal(quarn.readimg(str(path)), quarn.readimg(str(whole)))
    else:
        with pytest.raises(ValueError, match=f"': {re.escape(reason)}$"):
            quarn.readimg(str(path))


def test_gif_chains_far_longer_than_the_frame_are_refused_at_once(reader, tmp_path):
    # 1 MB naming chains of 4091 links again and again for a 1 x 1 frame: stb
    # walked every chain of every code, 6 s of CPU.
    path = tmp_path / "chains.gif"
    path.write_bytes(gif_bytes((1, 1), (1, 1), flat_gif_codes(cycles=85, repeats=4000)))
    check(reader, path, {"ValueError"})


@pytest.mark.parametrize("kib", [32, 64, 144])
def test_gifs_decode_in_threads_of_small_stacks(tmp_path, kib):
    # stb recurses once a chain link: the flat GIF needs some 170 KB of stack.
    # Its GIF loader holds 35 KB there even for a file whose first frame it
    # never reads (no frame, one outside the screen): Python allows 32 KiB.
    (tmp_path / "flat.gif").write_bytes(FLAT_GIF)
    outside = gif_bytes((4, 4), (2, 2), [4, 1, 1, 1, 1, 5])
    (tmp_path / "outside.gif").write_bytes(outside.replace(b",\0\0\0\0", b",\3\0\3\0", 1))
    child = ChildReader(setup=IN_SMALL_THREAD % kib)
    try:
        outcomes = [child.read(path)[0] for path in [tmp_path / "flat.gif",
                    FUZZ / "regressions" / "gif-prefix-chains-4091-links.gif",
                    FUZZ / "regressions" / "gif-no-image.gif", tmp_path / "outside.gif",
                    *(FUZZ / "corpus" / name for name in SEEDS)]]
    finally:
        child.close()
    assert outcomes == ["array"] + ["ValueError"] * 3 + ["array"] * len(SEEDS)


GIF_TRUNCATED = "GIF file ends before its first frame is whole (truncated)"
SMALL_GIF = gif_bytes((3000, 2000), (2, 2), [4, 1, 1, 1, 1, 5])
# (file, the whole file whose pixels it gives, or the reason it is refused).
# stb reads zeros past the end: a frame cut short gave a blank screen, of
# 5 GB for the 22 bytes cut in the image descriptor.
GIFS = {
    "2x2 frame on a 3000x2000 screen": (SMALL_GIF, SMALL_GIF),
    "flat, chains of 4091 links": (FLAT_GIF, FLAT_GIF),
    "no block terminator or trailer": (SMALL_GIF[:-2], SMALL_GIF),
    "every pixel coded, no end code, no terminator":
        (gif_bytes((3000, 2000), (2, 2), [4, 1, 1, 1, 1])[:-2], SMALL_GIF),
    "cut in the image descriptor": (gif_bytes((3000, 65488), (2, 2), [4, 5])[:22], GIF_TRUNCATED),
    "cut in the local palette": (b"GIF89a" + struct.pack("<HHBBB", 2, 2, 0, 0, 0) + b","
                                 + struct.pack("<HHHHB", 0, 0, 2, 2, 0x80) + bytes(3), GIF_TRUNCATED),
    "cut in the image data": (FLAT_GIF[:len(FLAT_GIF) // 2], GIF_TRUNCATED),
    "cut after a sub-block of image data": (FLAT_GIF[:13 + 6 + 10 + 1 + 256], GIF_TRUNCATED),
}


@pytest.mark.parametrize("name", list(GIFS))
def test_gifs_decode_as_pillow_decodes_them_whole_or_are_refused_as_truncated(tmp_path, name):
    data, whole = GIFS[name]
    path = tmp_path / "cut.gif"
    path.write_bytes(data)
    if isinstance(whole, str):
        with pytest.raises(ValueError, match=f"': {re.escape(whole)}$"):
            quarn.readimg(str(path))
        return
    (tmp_path / "whole.gif").write_bytes(whole)
    expected = numpy.asarray(Image.open(tmp_path / "whole.gif").convert("RGB"))
    assert (quarn.readimg(str(path))[::-1].transpose(1, 2, 0) == expected).all()
