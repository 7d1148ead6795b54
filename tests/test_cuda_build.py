"""Checks of the CUDA build that need no device."""
import re
import shutil
import subprocess
from pathlib import Path

import numpy
import pytest

import quarn
from conftest import BACKEND, GPU_ERROR

pytestmark = pytest.mark.skipif(BACKEND != "cuda", reason="CUDA build only")
ROOT = Path(__file__).resolve().parent.parent


def test_module_embeds_the_kernel():
    assert b"_Z8cu_sobelPiS_ii" in Path(quarn.__file__).read_bytes()


@pytest.mark.skipif(GPU_ERROR is None, reason="a CUDA device is present")
@pytest.mark.parametrize("shape", [(1, 4, 5), (1, 0, 5)])
def test_without_a_device_sobel_raises_the_cuda_error(shape):
    with pytest.raises(RuntimeError, match=r"^CUDA error: cuda\w+: .+"):
        quarn.sobel(numpy.ones(shape, numpy.uint8))


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
