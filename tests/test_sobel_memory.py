"""sobel's peak memory: the int32 edge map shares the result's memory."""
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
