"""A short sobel workload for compute-sanitizer (tools/gpu-check.sh): the shapes
at the launcher's edges, each map checked against the NumPy reference.

Exits 1 on the first wrong map, or at once where sobel computes on the CPU."""
import sys

import numpy

import quarn
from conftest import FALLBACK, sobel_reference

if FALLBACK:
    sys.exit(f"FAILED: {FALLBACK}")

rng = numpy.random.default_rng(3)
wide = rng.integers(0, 256, (3, 40, 3000), numpy.uint8)
CASES = {
    "1x1": numpy.full((1, 1, 1), 200, numpy.uint8),
    "no rows": numpy.zeros((1, 0, 5), numpy.uint8),
    "no columns": numpy.zeros((1, 5, 0), numpy.uint8),
    **{f"width {w}": rng.integers(0, 256, (1, 5, w), numpy.uint8) for w in (1022, 1023, 1024, 1025, 4000)},
    "4K": rng.integers(0, 256, (3, 2160, 3840), numpy.uint8),
    "strided view": wide[:, 1::3, ::-2],
}

for name, image in CASES.items():
    edges = quarn.sobel(image)
    expected = sobel_reference(image[0])
    if edges.size == 0 and expected.size == 0:
        continue
    if not numpy.array_equal(edges, expected):
        sys.exit(f"FAILED: wrong edge map for {name}")
print(f"ok: {len(CASES)} shapes")
