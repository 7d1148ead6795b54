"""With no backend named, the CMake build picks cuda where it finds nvcc on PATH."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import BACKEND

ROOT = Path(__file__).resolve().parent.parent
NVCC = shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc"


# The CUDA test run exists only where nvcc does, so this configures once there.
@pytest.mark.skipif(BACKEND != "cuda" or not Path(NVCC).exists(), reason="needs nvcc; runs in the CUDA test run")
def test_cuda_is_the_default_where_nvcc_is_on_path_and_cudaarchs_is_honoured(tmp_path):
    env = dict(os.environ, PATH=f"{Path(NVCC).parent}{os.pathsep}{os.environ['PATH']}",
               CUDAARCHS="75")
    env.pop("CUDACXX", None)
    # The default generator: check_language once failed with it, finding no build tool.
    run = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tmp_path),
                          f"-DPYTHON_EXECUTABLE={sys.executable}"],
                         env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "-- quarn backend: cuda\n" in run.stdout
    # CMake's convention: CUDAARCHS replaces the default list of architectures.
    assert "CMAKE_CUDA_ARCHITECTURES:STRING=75\n" in (tmp_path / "CMakeCache.txt").read_text()
