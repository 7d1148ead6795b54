"""Checks of the CUDA build that need no device, and of its work without one."""
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy
import pytest

import quarn
from conftest import BACKEND, FALLBACK, sobel_reference

pytestmark = pytest.mark.skipif(BACKEND != "cuda", reason="CUDA build only")
ROOT = Path(__file__).resolve().parent.parent


def test_module_embeds_the_kernel():
    assert b"_Z8cu_sobelPiS_ii" in Path(quarn.__file__).read_bytes()


# In a process of its own, where sobel has not warned yet: an image, an empty
# one, the image again, each call's map or the warning it raised.
CALLS = """
import json, numpy, quarn
image = numpy.arange(2 * 30 * 40).reshape(2, 30, 40) * 37 % 256
outcomes = []
for argument in [image, numpy.zeros((1, 0, 3)), image]:
    try:
        outcomes.append(quarn.sobel(argument).tolist())
    except RuntimeWarning as warning:
        outcomes.append("raised: " + str(warning))
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(FALLBACK is None, reason="sobel runs on a CUDA device here")
@pytest.mark.parametrize("action", ["always", "error"])
def test_without_a_device_sobel_computes_on_the_cpu_and_warns_once(action):
    run = subprocess.run([sys.executable, "-W", f"{action}::RuntimeWarning", "-c", CALLS],
                         env=dict(os.environ, PYTHONPATH=str(Path(quarn.__file__).parent)),
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    outcomes = json.loads(run.stdout)

    assert re.fullmatch(r"no usable CUDA device, so sobel computes on the CPU: "
                        r"CUDA error: cuda\w+: .+", FALLBACK)
    if action == "always":
        # Python would show each one: the module warns once, at the caller's line.
        expected = sobel_reference(numpy.arange(30 * 40).reshape(30, 40) * 37 % 256).tolist()
        assert outcomes == [expected, [], expected]
        assert run.stderr.splitlines() == [f"<string>:7: RuntimeWarning: {FALLBACK}"]
    else:
        # As an error, every call that falls back raises, and returns nothing.
        assert outcomes == [f"raised: {FALLBACK}"] * 3


@pytest.mark.skipif(not shutil.which("nvcc") and not Path("/usr/local/cuda/bin/nvcc").exists(),
                    reason="nvcc not found")
def test_kernel_fits_a_block_of_1024_threads(tmp_path):
    nvcc = shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc"
    out = subprocess.run(
        [nvcc, "--resource-usage", "-arch=sm_75", "-I", str(ROOT), "-c",
         str(ROOT / "edges/gpu/cu_sobel.cu"), "-o", str(tmp_path / "k.o")],
        capture_output=True, text=True, check=True, timeout=300)
    registers = [int(n) for n in re.findall(r"Used (\d+) registers", out.stdout + out.stderr)]
    assert registers and max(registers) <= 64
