"""The CUDA backend's launcher and kernel, compiled unchanged as C++ against the
host emulation in tests/cuda_emulation/ with ASan and UBSan, against the CPU
rule. Needs a C++ compiler, no GPU and no nvcc."""
import os
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from conftest import BACKEND

ROOT = Path(__file__).resolve().parent.parent
EMULATION = ROOT / "tests" / "cuda_emulation"
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]

# It builds from the sources, whatever the build under test: once per `make test`.
pytestmark = pytest.mark.skipif(BACKEND != "cpu", reason="runs once, with the CPU build's tests")


@pytest.fixture(scope="module")
def check_launcher(tmp_path_factory):
    cxx = os.environ.get("CXX") or shutil.which("g++") or "c++"
    folder = tmp_path_factory.mktemp("cuda_emulation")
    flags = [cxx, "-std=c++17", "-O1", "-g", "-fno-omit-frame-pointer", *SANITIZE,
             "-I", str(EMULATION), "-I", str(ROOT), "-c"]
    units = {  # object: its compile options and source
        "cu_sobel.o": ["-x", "c++", ROOT / "edges/gpu/cu_sobel.cu"],
        "cpu_edges.o": [ROOT / "edges/gpu/cpu_edges.cpp"],
        "emulated_runtime.o": [EMULATION / "emulated_runtime.cpp"],
        "check_launcher.o": [EMULATION / "check_launcher.cpp"],
    }

    def compile_unit(item):
        name, args = item
        return subprocess.run([*flags, *map(str, args), "-o", str(folder / name)],
                              capture_output=True, text=True, timeout=300)

    with ThreadPoolExecutor(2) as pool:
        for done in pool.map(compile_unit, units.items()):
            assert done.returncode == 0, done.stderr
    program = folder / "check_launcher"
    subprocess.run([cxx, *SANITIZE, *(str(folder / name) for name in units), "-o", str(program)],
                   check=True, timeout=300)
    return program


# Each mode prints a line for every check that fails; a sanitizer report ends it.
@pytest.mark.parametrize("mode", ["shapes", "failures", "no-device"])
def test_cuda_launcher_on_the_host_emulation(check_launcher, mode):
    run = subprocess.run([str(check_launcher), mode], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("ok: ")
