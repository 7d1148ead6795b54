"""sobel's peak memory: the int32 edge map shares the result's memory, and
refused or empty images allocate nothing large."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quarn
from conftest import BACKEND

# A result over 32 MiB: glibc maps it afresh, and sobel prefaults its halves.
ROWS, COLS = 2100, 2000

# In a fresh process: a warm-up call, then VmHWM reset to the current RSS
# (clear_refs 5), so the high-water mark after the call is the call's own.
CHILD = f"""
import json, numpy, quarn
def status(field):
    with open("/proc/self/status") as lines:
        return next(int(l.split()[1]) * 1024 for l in lines if l.startswith(field + ":"))
image = numpy.random.default_rng(0).integers(0, 256, (1, {ROWS}, {COLS}), numpy.uint8)
quarn.sobel(image[:, :8, :8])
with open("/proc/self/clear_refs", "w") as clear_refs:
    clear_refs.write("5")
before = status("VmRSS")
result = quarn.sobel(image)
print(json.dumps(status("VmHWM") - before - result.nbytes))
"""


@pytest.mark.skipif(BACKEND != "cpu", reason="the CUDA runtime's host buffers would blur the figure")
@pytest.mark.skipif(not Path("/proc/self/clear_refs").exists(), reason="needs Linux /proc")
def test_peak_beyond_the_result_is_well_under_the_padded_plane():
    # A fixed mmap threshold returns freed blocks to the system, so the warm-up
    # leaves no freed pages behind for the measured call to reuse unseen.
    env = dict(os.environ, PYTHONPATH=str(Path(quarn.__file__).parent),
               MALLOC_MMAP_THRESHOLD_="65536")
    out = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                         text=True, check=True, timeout=120)
    # A separate map buffer would add a padded plane's worth, and so would
    # touching the result's lower half while the padded plane is alive.
    padded_plane = (ROWS + 2) * (COLS + 2) * 4
    assert json.loads(out.stdout) < padded_plane / 2


# In a fresh process: the CPU time and the peak memory of one call on `image`,
# after a first call (on the CUDA build it makes the CUDA context: seconds, and
# more than 64 MiB).
REFUSED_OR_EMPTY = """
import json, sys, time, numpy, quarn
def status(field):
    with open("/proc/self/status") as lines:
        return next(int(l.split()[1]) * 1024 for l in lines if l.startswith(field + ":"))
image = {image}
quarn.sobel(numpy.zeros((1, 1, 1), numpy.uint8))
with open("/proc/self/clear_refs", "w") as clear_refs:
    clear_refs.write("5")
before = status("VmRSS")
start = time.process_time()
try:
    result = quarn.sobel(image)
    outcome = [list(result.shape), result.dtype.name]
except (MemoryError, RuntimeError) as error:
    outcome = type(error).__name__ + ": " + str(error)
print(json.dumps([outcome, time.process_time() - start, status("VmHWM") - before]))
"""

TOO_LARGE = "MemoryError: sobel: a {0} x {0} image is too large"


@pytest.mark.skipif(not Path("/proc/self/clear_refs").exists(), reason="needs Linux /proc")
@pytest.mark.parametrize("image, expected", [
    # Refused on their own shape, before any cast to uint8.
    ("numpy.broadcast_to(numpy.float64(0), (1, 100000, 100000))", TOO_LARGE.format(100000)),
    ("numpy.broadcast_to(numpy.float64(0), (1, 10**6, 10**6))", TOO_LARGE.format(10**6)),
    ("numpy.broadcast_to(numpy.int64(0), (3, 100000, 100000))", TOO_LARGE.format(100000)),
    # Whatever the dtype: NumPy would convert these whole, element by element.
    *[(f"numpy.broadcast_to(numpy.array({value!r}, {dtype!r}), (1, 50000, 50000))",
       TOO_LARGE.format(50000)) for value, dtype in [
        (0, "O"), ("7", "U1"), (b"7", "S1"), (0, "M8[s]"), (0, "m8[s]")]],
    # Empty, however long the other side.
    ("numpy.zeros((1, 0, 10**9), numpy.uint8)", [[0], "float64"]),
    ("numpy.zeros((1, 5 * 10**8, 0), numpy.uint8)", [[5 * 10**8, 0], "float64"]),
    ("numpy.zeros((3, 0, 10**9))", [[0], "float64"]),
])
def test_refused_and_empty_images_take_no_time_or_memory(image, expected):
    env = dict(os.environ, PYTHONPATH=str(Path(quarn.__file__).parent))
    out = subprocess.run([sys.executable, "-c", REFUSED_OR_EMPTY.format(image=image)], env=env,
                         capture_output=True, text=True, check=True, timeout=120)
    outcome, seconds, peak = json.loads(out.stdout)
    if isinstance(expected, str):
        assert outcome.startswith(expected)
    else:
        assert outcome == expected
    assert seconds < 1  # converting the whole image would take minutes
    assert peak < 64 << 20
