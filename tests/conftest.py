import os

import numpy
import pytest

import quarn

# Which build this run imports; the Makefile sets it, the module never reads it.
BACKEND = os.environ.get("QUARN_TEST_BACKEND", "cpu")


def _gpu_error():
    try:
        quarn.sobel(numpy.zeros((1, 1, 1), numpy.uint8))
    except RuntimeError as error:
        if str(error).startswith("CUDA error: "):
            return str(error)
        raise
    return None


GPU_ERROR = _gpu_error()
# The GPU check sets this: there a missing device fails the run instead of skipping tests.
if GPU_ERROR is not None and os.environ.get("QUARN_REQUIRE_DEVICE") == "1":
    raise RuntimeError(f"QUARN_REQUIRE_DEVICE=1, but there is no usable CUDA device: {GPU_ERROR}")

needs_backend = pytest.mark.skipif(
    GPU_ERROR is not None, reason=f"no usable CUDA device: {GPU_ERROR}")


def sobel_reference(plane):
    """The edge rule on a 2-D plane, in NumPy: 255 where s > 20, else 0."""
    p = numpy.pad(numpy.asarray(plane, numpy.int64), 1)
    up, up_right, right = p[:-2, 1:-1], p[:-2, 2:], p[1:-1, 2:]
    left, down_left, down = p[1:-1, :-2], p[2:, :-2], p[2:, 1:-1]
    s = 2 * (up + up_right + right) - 2 * (left + down_left + down)
    return numpy.where(s > 20, 255, 0)
