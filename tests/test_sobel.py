import numpy
import pytest

import quarn
from conftest import sobel_reference

DEFAULT_INT = numpy.array([0]).dtype
rng = numpy.random.default_rng(1234)


def random_image(planes, rows, cols):
    return rng.integers(0, 256, (planes, rows, cols), dtype=numpy.uint8)


def structured_image(rows, cols):
    # Ramps, a bright box and a dark stripe: edges of both signs.
    y, x = numpy.mgrid[0:rows, 0:cols]
    plane = (x * 7 + y * 3) % 256
    plane[rows // 4: rows // 2, cols // 4: cols // 2] = 250
    plane[:, cols // 3: cols // 3 + 2] = 0
    return plane.astype(numpy.uint8)[None]


def check_against_reference(image):
    result = quarn.sobel(image)
    assert result.dtype == DEFAULT_INT
    assert result.flags.c_contiguous and result.flags.owndata
    numpy.testing.assert_array_equal(result, sobel_reference(numpy.asarray(image)[0]))


@pytest.mark.parametrize("shape", [
    (1, 1, 1), (1, 1, 9), (1, 9, 1), (3, 17, 23),
    (1, 5, 1022), (1, 5, 1023), (2, 3, 2000), (1, 1030, 3),
])
def test_random_images_match_reference(shape):
    check_against_reference(random_image(*shape))


# The int32 map is widened to int64 in place, a block of 1024 values at a time:
# sizes around whole blocks, and a plane of several MiB.
@pytest.mark.parametrize("shape", [
    (1, 1, 1023), (1, 1, 1024), (1, 1, 1025), (1, 32, 64), (1, 3, 1366), (1, 1100, 1000),
])
def test_sizes_around_widening_blocks_match_reference(shape):
    check_against_reference(random_image(*shape))


@pytest.mark.parametrize("rows, cols", [(1, 1), (2, 2), (40, 60), (7, 1500)])
def test_structured_images_match_reference(rows, cols):
    check_against_reference(structured_image(rows, cols))


def uniform_expectation(value, rows, cols):
    expected = numpy.zeros((rows, cols), numpy.int64)
    if value >= 6:
        expected[1:, 0] = 255
        expected[-1, :-1] = 255
    elif value >= 4:
        expected[-1, 0] = 255
    return expected


@pytest.mark.parametrize("value", [3, 4, 5, 10])
def test_uniform_images_mark_only_the_zero_border(value):
    result = quarn.sobel(numpy.full((1, 4, 5), value))
    numpy.testing.assert_array_equal(result, uniform_expectation(value, 4, 5))


@pytest.mark.parametrize("value, edge", [(10, 0), (11, 255)])
def test_threshold_is_strict(value, edge):
    image = numpy.zeros((1, 3, 3), numpy.uint8)
    image[0, 1, 2] = value
    assert quarn.sobel(image)[1, 1] == edge


@pytest.mark.parametrize("value", [0, 200])
def test_single_pixel_is_never_an_edge(value):
    numpy.testing.assert_array_equal(quarn.sobel(numpy.full((4, 1, 1), value)), [[0]])


def test_high_bytes_are_not_negative():
    image = numpy.zeros((1, 3, 3), numpy.uint8)
    image[0, 1, 2] = 200
    assert quarn.sobel(image)[1, 1] == 255


def test_only_plane_zero_counts_and_input_is_unchanged():
    image = random_image(3, 20, 30)
    before = image.copy()
    result = quarn.sobel(image)
    numpy.testing.assert_array_equal(image, before)
    other = image.copy()
    other[1:] = 255 - other[1:]
    numpy.testing.assert_array_equal(quarn.sobel(other), result)
    numpy.testing.assert_array_equal(quarn.sobel(image[:1]), result)


def strided_views():
    base = random_image(3, 40, 50)
    readonly = base.copy()
    readonly.flags.writeable = False
    return {
        "column step": base[:, :, ::3],
        "row step": base[:, ::2, :],
        "reversed": base[::-1, ::-1, ::-1],
        "transposed": base.transpose(0, 2, 1),
        "fortran": numpy.asfortranarray(base),
        "read-only": readonly,
        "plane 0 not first": base[1:],
        "int64 reversed": base.astype(numpy.int64)[::-1, ::-1, ::-1],
    }


@pytest.mark.parametrize("name", list(strided_views()))
def test_strided_views_equal_their_contiguous_copy(name):
    view = strided_views()[name]
    numpy.testing.assert_array_equal(quarn.sobel(view),
                                      quarn.sobel(numpy.ascontiguousarray(view)))


# Integers wider than a byte are read whole, each masked to its low byte.
@pytest.mark.parametrize("dtype", ["<i2", "<u4", "<i8", ">i8"])
@pytest.mark.parametrize("layout", ["contiguous", "unaligned", "column step"])
def test_integer_widths_give_their_cast_to_uint8(dtype, layout):
    values = numpy.random.default_rng(7).integers(-2**62, 2**62, (1, 9, 3 * 33)).astype(dtype)
    if layout == "unaligned":
        image = numpy.ndarray(values.shape, dtype, numpy.zeros(values.nbytes + 1, numpy.uint8), 1)
        image[...] = values
        assert not image.flags.aligned
    else:
        image = values if layout == "contiguous" else values[:, :, ::3]
    numpy.testing.assert_array_equal(quarn.sobel(image),
                                     sobel_reference(image[0].astype(numpy.uint8)))


@pytest.mark.parametrize("convert", [
    lambda a: a.astype(numpy.float64),
    lambda a: a.astype(numpy.int64),
    lambda a: a.tolist(),
], ids=["float64", "int64", "nested list"])
def test_other_types_are_cast_to_uint8(convert):
    image = random_image(1, 6, 7)
    numpy.testing.assert_array_equal(quarn.sobel(convert(image)), quarn.sobel(image))


@pytest.mark.parametrize("shape, message", [
    ((), "invalid axis: 1 (ndim = 0)"),
    ((4,), "invalid axis: 1 (ndim = 1)"),
    ((4, 5), "invalid axis: 2 (ndim = 2)"),
    ((1, 4, 5, 1), "index dimension mismatch: 3 (ndim = 4)"),
    ((1, 4, 5, 1, 1), "index dimension mismatch: 3 (ndim = 5)"),
    ((0, 4, 5), "index 0 is out of bounds for axis 0 with size 0"),
])
def test_shape_errors(shape, message):
    with pytest.raises(IndexError) as error:
        quarn.sobel(numpy.zeros(shape, numpy.uint8))
    assert str(error.value) == message


@pytest.mark.parametrize("shape, result_shape", [
    ((1, 0, 5), (0,)), ((0, 0, 5), (0,)), ((1, 3, 0), (3, 0)),
    ((1, 3, 0, 2), (3, 0)), ((0, 3, 0), (3, 0)),
])
def test_empty_images_give_float64_shapes(shape, result_shape):
    result = quarn.sobel(numpy.zeros(shape, numpy.uint8))
    assert result.shape == result_shape
    assert result.dtype == numpy.float64


@pytest.mark.parametrize("argument", [None, "abc", object()])
def test_unconvertible_arguments_raise_type_error(argument):
    with pytest.raises(TypeError, match=r"^sobel\(\): incompatible "):
        quarn.sobel(argument)


def test_too_large_image_is_refused_before_allocating():
    huge = numpy.broadcast_to(numpy.uint8(0), (1, 100000, 100000))
    with pytest.raises(MemoryError, match="too large"):
        quarn.sobel(huge)
