import os
import pathlib

import numpy
import pytest
from PIL import Image

import quarn
from conftest import sobel_reference
from images import flat_progressive_jpeg, hdr_bytes, psd_bytes, random_rgb, rng, save, top_down_bmp

DEFAULT_INT = numpy.array([0]).dtype
SEEDS = pathlib.Path(__file__).resolve().parent / "fuzz" / "corpus"


def bgr_planes(rgb):
    return numpy.stack([rgb[:, :, 2], rgb[:, :, 1], rgb[:, :, 0]])


@pytest.mark.parametrize("name", ["a.png", "a.bmp", "a.tga", "a.ppm", "a.psd",
                                  "1-tib-sparse.png"])
def test_colour_files_give_blue_green_red_planes(tmp_path, name):
    rgb = random_rgb(5, 7)
    path = tmp_path / name
    if name.endswith(".psd"):
        path.write_bytes(psd_bytes(rgb))
    else:
        save(path, rgb)
    if "sparse" in name:  # a hole after the image: the decoder reads only the image's bytes
        os.truncate(path, 1 << 40)
    result = quarn.readimg(str(path))
    assert result.dtype == DEFAULT_INT and result.flags.c_contiguous
    numpy.testing.assert_array_equal(result, bgr_planes(rgb))


@pytest.mark.parametrize("mode", ["RGB", "L"])
def test_top_down_bmp_decodes_like_its_png_twin(tmp_path, mode):
    image = Image.fromarray(random_rgb(12, 16)).convert(mode)
    image.save(tmp_path / "twin.png")
    image.save(tmp_path / "bottom-up.bmp")
    path = tmp_path / "top-down.bmp"
    path.write_bytes(top_down_bmp((tmp_path / "bottom-up.bmp").read_bytes()))
    numpy.testing.assert_array_equal(quarn.readimg(str(path)),
                                     quarn.readimg(str(tmp_path / "twin.png")))


def test_alpha_is_dropped_without_blending(tmp_path):
    rgb = random_rgb(4, 6)
    alpha = rng.integers(0, 256, (4, 6, 1), dtype=numpy.uint8)
    rgba = save(tmp_path / "a.png", numpy.concatenate([rgb, alpha], axis=2))
    numpy.testing.assert_array_equal(quarn.readimg(str(rgba)), bgr_planes(rgb))


def test_psd_alpha_takes_out_the_white_matte(tmp_path):
    # Photoshop stores partly transparent colours composited over white; stb
    # undoes that in float32 and truncates. Colours darker than that allows
    # fall below 0, where stb's conversion is undefined: every compiler we
    # build with keeps the low byte of a 32-bit truncation.
    colour, alpha = numpy.meshgrid(numpy.arange(256), numpy.arange(1, 255))
    path = tmp_path / "a.psd"
    path.write_bytes(psd_bytes(numpy.stack([colour] * 3 + [alpha], axis=2).astype(numpy.uint8)))
    f = numpy.float32
    ra = f(1) / (alpha.astype(f) / f(255))
    unmatted = colour.astype(f) * ra + f(255) * (f(1) - ra)
    expected = numpy.trunc(unmatted).astype(numpy.int64) & 255
    numpy.testing.assert_array_equal(
        quarn.readimg(str(path)), numpy.stack([expected] * 3),
        err_msg="stb's PSD white matte: float32 as written, then the low byte of the truncation")


@pytest.mark.parametrize("name, mode", [("g.png", "L"), ("g.pgm", "L"), ("ga.png", "LA")])
def test_grey_files_give_three_equal_planes(tmp_path, name, mode):
    grey = rng.integers(0, 256, (6, 4), dtype=numpy.uint8)
    array = numpy.stack([grey, 255 - grey], axis=2) if mode == "LA" else grey
    result = quarn.readimg(str(save(tmp_path / name, array, mode)))
    numpy.testing.assert_array_equal(result, numpy.stack([grey] * 3))


def test_16_bit_png_keeps_the_high_byte(tmp_path):
    samples = numpy.array([[0x1234, 0xFF01, 0x00FF]], numpy.uint16)
    path = tmp_path / "deep.png"
    Image.fromarray(samples).save(path)
    numpy.testing.assert_array_equal(quarn.readimg(str(path))[0], [[0x12, 0xFF, 0x00]])


@pytest.mark.parametrize("name", ["p.png", "p.gif"])
def test_palette_files_decode(tmp_path, name):
    path = tmp_path / name
    Image.fromarray(random_rgb(8, 5)).quantize(16).save(path)
    expected = numpy.asarray(Image.open(path).convert("RGB"))
    numpy.testing.assert_array_equal(quarn.readimg(str(path)), bgr_planes(expected))


@pytest.mark.parametrize("seed", [None, "restarts.jpg", "progressive-restarts.jpg"],
                         ids=["gradient", "restart markers", "progressive, restart markers"])
def test_jpeg_decodes_close_to_pillow(tmp_path, seed):
    path = SEEDS / seed if seed else tmp_path / "a.jpg"
    if not seed:
        y, x = numpy.mgrid[0:32, 0:48]
        save(path, numpy.stack([x * 5, y * 7, (x + y) * 3], axis=2).astype(numpy.uint8), quality=95)
    expected = bgr_planes(numpy.asarray(Image.open(path).convert("RGB"))).astype(int)
    assert numpy.abs(quarn.readimg(str(path)) - expected).max() <= 3


def test_thin_jpeg_of_large_mcus_decodes_as_pillow_does(tmp_path):
    # stb pads each plane to whole MCUs of 32 x 32 pixels: 32 times the pixels.
    path = tmp_path / "thin.jpg"
    path.write_bytes(flat_progressive_jpeg(1, 65500, (120, 100, 160), sampling=0x44))
    expected = numpy.asarray(Image.open(path).convert("RGB"))
    numpy.testing.assert_array_equal(quarn.readimg(str(path)), bgr_planes(expected))


def test_hdr_values_are_gamma_mapped(tmp_path):
    path = tmp_path / "a.hdr"
    path.write_bytes(hdr_bytes([0, 0.25, 0.5, 1.0, 4.0]))
    numpy.testing.assert_array_equal(quarn.readimg(str(path))[:, 0], [[0, 136, 186, 255, 255]] * 3)


def test_format_is_recognised_by_content(tmp_path):
    rgb = random_rgb(3, 4)
    path = save(tmp_path / "really-a-png.jpg", rgb, format="PNG")
    numpy.testing.assert_array_equal(quarn.readimg(str(path)), bgr_planes(rgb))


def test_str_bytes_and_non_ascii_paths_agree(tmp_path):
    rgb = random_rgb(3, 4)
    path = save(tmp_path / "bild-ÄÖ-画像.png", rgb)
    as_str = quarn.readimg(str(path))
    numpy.testing.assert_array_equal(as_str, quarn.readimg(os.fsencode(path)))
    numpy.testing.assert_array_equal(as_str, bgr_planes(rgb))


def test_signature():
    assert quarn.readimg.__doc__ == "readimg(arg0: str) -> numpy.ndarray\n"


@pytest.mark.parametrize("argument", [pathlib.Path("a.png"), 3, "lone-\udc80",
                                      bytearray(b"a.png")])
def test_non_path_arguments_raise_type_error(argument):
    with pytest.raises(TypeError, match=r"^readimg\(\): incompatible "):
        quarn.readimg(argument)


def test_none_raises_type_error():
    with pytest.raises(TypeError, match="not None"):
        quarn.readimg(None)


@pytest.mark.parametrize("make, error", [
    (lambda d: d / "missing.png", FileNotFoundError),
    (lambda d: d, IsADirectoryError),
    (lambda d: os.mkfifo(d / "fifo") or d / "fifo", OSError),
])
@pytest.mark.parametrize("kind", [str, os.fsencode])
def test_unopenable_paths_raise_os_errors_with_the_filename_given(tmp_path, make, error, kind):
    path = kind(make(tmp_path))
    with pytest.raises(error) as raised:
        quarn.readimg(path)
    assert raised.value.filename == path and type(raised.value.filename) is type(path)


@pytest.mark.parametrize("suffix", ["\0.txt", b"\0/../x"], ids=["str", "bytes"])
def test_paths_with_a_nul_byte_are_refused(tmp_path, suffix):
    image = save(tmp_path / "a.png", random_rgb())
    path = (str(image) if isinstance(suffix, str) else os.fsencode(image)) + suffix
    with pytest.raises(ValueError, match="^embedded null byte$"):
        quarn.readimg(path)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file_raises_permission_error(tmp_path):
    path = save(tmp_path / "a.png", random_rgb())
    path.chmod(0)
    with pytest.raises(PermissionError):
        quarn.readimg(str(path))


def truncated_png(tmp_path):
    data = (save(tmp_path / "full.png", random_rgb(40, 40))).read_bytes()
    return data[: len(data) // 2]


@pytest.mark.parametrize("content, size", [
    (b"", None), (b"not an image at all", None), (b"\x89PNG\r\n\x1a\n" + b"\0" * 20, None),
    (truncated_png, None), (truncated_png, 1 << 40),
], ids=["empty", "text", "broken png", "truncated png", "truncated png, then a 1 TiB hole"])
def test_undecodable_files_raise_value_error_naming_the_file(tmp_path, content, size):
    path = tmp_path / "bad.png"
    path.write_bytes(content(tmp_path) if callable(content) else content)
    if size:  # a sparse hole, which no pass may read (or keep) through
        os.truncate(path, size)
    with pytest.raises(ValueError, match=r"bad\.png"):
        quarn.readimg(str(path))


def test_edges_of_a_file_are_those_of_its_blue_plane(tmp_path):
    rgb = random_rgb(30, 41)
    rgb[5:20, 10:30] = (0, 0, 255)
    result = quarn.sobel(quarn.readimg(str(save(tmp_path / "a.png", rgb))))
    numpy.testing.assert_array_equal(result, sobel_reference(rgb[:, :, 2]))


def test_16_bit_pgm_keeps_the_high_byte(tmp_path):
    # Colour: test_stb_assumptions.
    path = tmp_path / "deep.pgm"
    path.write_bytes(b"P5\n3 1\n65535\n" + bytes([0x12, 0x34, 0xFF, 0x01, 0x00, 0xFF]))
    numpy.testing.assert_array_equal(quarn.readimg(str(path))[:, 0], [[0x12, 0xFF, 0x00]] * 3)


def test_pixel_limit_is_checked_before_decoding(tmp_path):
    path = tmp_path / "huge.ppm"
    path.write_bytes(b"P6\n16384 16384\n255\n")
    with pytest.raises(ValueError, match="larger than the limit of 250000000 pixels"):
        quarn.readimg(str(path))


# HDR keeps empty images on every stb; stb 2.28 and later refuse a PNM with a
# zero side ("invalid width").
@pytest.mark.parametrize("content, shape", [
    (b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 0 +X 5\n", (3, 0)),
    (b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 5 +X 0\n", (3, 5, 0)),
], ids=["no rows", "no columns"])
def test_empty_images_follow_the_empty_rule(tmp_path, content, shape):
    path = tmp_path / "empty.img"
    path.write_bytes(content)
    result = quarn.readimg(str(path))
    assert result.shape == shape and result.dtype == numpy.float64
