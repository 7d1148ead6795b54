import os
import warnings

import numpy

import quarn

# Which build this run imports; the Makefile sets it, the module never reads it.
BACKEND = os.environ.get("QUARN_TEST_BACKEND", "cpu")


def _fallback():
    """The warning by which the CUDA build says that it computes on the CPU for
    want of a usable device; None where sobel runs as built."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        quarn.sobel(numpy.zeros((1, 1, 1), numpy.uint8))
    return next((str(w.message) for w in caught if w.category is RuntimeWarning), None)


# The warning comes once per process, so taken here it reaches no test of this
# process; the CUDA build's tests check it in processes of their own.
FALLBACK = _fallback()
# The GPU check sets this: there sobel must run on the device.
if FALLBACK is not None and os.environ.get("QUARN_REQUIRE_DEVICE") == "1":
    raise RuntimeError(f"QUARN_REQUIRE_DEVICE=1, but {FALLBACK}")


def sobel_reference(plane):
    """The edge rule on a 2-D plane, in NumPy: 255 where s > 20, else 0."""
    p = numpy.pad(numpy.asarray(plane, numpy.int64), 1)
    up, up_right, right = p[:-2, 1:-1], p[:-2, 2:], p[1:-1, 2:]
    left, down_left, down = p[1:-1, :-2], p[2:, :-2], p[2:, 1:-1]
    s = 2 * (up + up_right + right) - 2 * (left + down_left + down)
    return numpy.where(s > 20, 255, 0)
