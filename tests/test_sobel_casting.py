"""sobel's argument goes through NumPy's unsafe cast to uint8; values that
NumPy cannot cast are refused by the argument conversion, never a crash.

Python ints outside 0..255 (in a list or an object array) are where NumPy
versions differ: 1.x wraps them modulo 256 with a DeprecationWarning, 2.x
refuses them with OverflowError. The reference below is NumPy's own
conversion, so each version's outcome is the expected one."""
import warnings

import numpy
import pytest

import quarn
from conftest import sobel_reference

CASTABLE = {
    "bool": numpy.array([[[True, False, True], [False, True, True]]]),
    "nan": numpy.full((1, 3, 3), numpy.nan),
    "infinities": numpy.array([[[numpy.inf, -numpy.inf, 1.0], [0.0, numpy.inf, -1.0]]]),
    "huge floats": numpy.array([[[1e300, -1e300, 3e9], [255.9, -0.9, 256.0]]]),
    "negative ints": numpy.array([[[-1, -200, -256], [-257, 0, -12]]]),
    "huge ints": numpy.array([[[2**63 - 1, 2**40 + 7, -2**63]]]),
    "uint64 max": numpy.array([[[2**64 - 1, 0]]], numpy.uint64),
    "object ints": numpy.array([[[1, 300, -5], [70, 9, 0]]], dtype=object),
    "list of ints": [[[1, 300, -5], [70, 9, 0]]],
    "complex": numpy.array([[[1 + 2j, 40 - 1j]]]),
    "big-endian ints": numpy.array([[[-1, 300, 2**40 + 7]]], ">i8"),
    "int16": numpy.array([[[-1, 300, 32767], [-32768, 255, 256]]], numpy.int16),
}

UNCASTABLE = {
    "int beyond int64": numpy.array([[[10**30]]], dtype=object),
    "str object": numpy.array([[["a"]]], dtype=object),
    "None object": numpy.array([[[None]]], dtype=object),
    "nan object": numpy.array([[[float("nan")]]], dtype=object),
    "nested list of a huge int": [[[10**30]]],
}


NUMPY_REFUSES = (TypeError, ValueError, OverflowError)


def numpy_cast(value):
    """The conversion sobel asks of NumPy (an unsafe cast of arrays)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return numpy.array(value, dtype=numpy.uint8)


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", list(CASTABLE))
def test_values_are_cast_as_numpy_casts_them(name):
    try:
        expected = sobel_reference(numpy_cast(CASTABLE[name])[0])
    except NUMPY_REFUSES:  # NumPy 2 and Python ints outside 0..255
        with pytest.raises(TypeError, match=r"^sobel\(\): incompatible "):
            quarn.sobel(CASTABLE[name])
        return
    numpy.testing.assert_array_equal(quarn.sobel(CASTABLE[name]), expected)


@pytest.mark.parametrize("name", list(UNCASTABLE))
def test_values_numpy_cannot_cast_are_refused(name):
    with pytest.raises(NUMPY_REFUSES):
        numpy_cast(UNCASTABLE[name])
    with pytest.raises(TypeError, match=r"^sobel\(\): incompatible "):
        quarn.sobel(UNCASTABLE[name])


class ArrayRaising:
    def __init__(self, error):
        self.error = error

    def __array__(self, dtype=None):
        raise self.error


# An interrupt or a lack of memory is not a wrong argument.
@pytest.mark.parametrize("error, raised", [
    (KeyboardInterrupt, KeyboardInterrupt), (MemoryError, MemoryError), (ValueError, TypeError),
])
def test_errors_while_converting(error, raised):
    with pytest.raises(raised):
        quarn.sobel(ArrayRaising(error()))
