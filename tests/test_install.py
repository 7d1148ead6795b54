"""pip install of the tree and of an sdist into fresh venvs: the module imports from there and mypy finds its types."""
import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import BACKEND

ROOT = Path(__file__).resolve().parent.parent

# The build takes a while, so one run of `make test` does it: the CPU one.
pytestmark = pytest.mark.skipif(BACKEND != "cpu", reason="runs once, in the CPU test run")


def without_pythonpath(**extra):
    """This process's environment minus PYTHONPATH, which points at the Makefile's build."""
    env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    env.update(extra)
    return env


def source_copy(home):
    """A copy of the checkout: pip and setup.py write into the source tree."""
    source = home / "source"
    shutil.copytree(ROOT, source, ignore=shutil.ignore_patterns(
        ".git", "build", ".venv", "*.egg-info", "__pycache__", ".pytest_cache"))
    return source


def venv_with(home, target, **env):
    """A fresh venv in `home` with `target` (a folder or an sdist) pip-installed offline."""
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(home / "venv")],
                          capture_output=True, text=True, timeout=120)
    if made.returncode != 0:
        pytest.skip(f"python3 -m venv is unavailable: {made.stdout}{made.stderr}")
    python = home / "venv" / "bin" / "python"
    pip = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index",
                          str(target)], env=without_pythonpath(**env),
                         capture_output=True, text=True, timeout=600)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    return python


@pytest.fixture(scope="module")
def venv_python(tmp_path_factory):
    home = tmp_path_factory.mktemp("install")
    return venv_with(home, source_copy(home), QUARN_BACKEND="cpu")


EDGES_CODE = "import json, numpy, quarn; print(json.dumps(quarn.sobel(numpy.full((1, 4, 5), 10)).tolist()))"
EDGES = [[0, 0, 0, 0, 0], [255, 0, 0, 0, 0], [255, 0, 0, 0, 0], [255, 255, 255, 255, 0]]


def test_installed_module_imports_and_finds_edges(venv_python, tmp_path):
    code = ("import json, numpy, quarn\n"
            "print(quarn.__doc__)\n"
            "print(json.dumps([quarn.__file__, quarn.sobel(numpy.full((1, 4, 5), 10)).tolist()]))")
    run = subprocess.run([str(venv_python), "-c", code], cwd=tmp_path, env=without_pythonpath(),
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    doc, report = run.stdout.splitlines()
    module_file, edges = json.loads(report)

    assert doc == "just a simple cv lib on cuda"
    site_packages = Path(module_file).parent
    assert site_packages.is_relative_to(venv_python.parent.parent)
    assert edges == EDGES
    assert (site_packages / "quarn-stubs" / "__init__.pyi").is_file()


def test_sdist_carries_the_sources_and_cmake_args_reach_cmake(tmp_path):
    source = source_copy(tmp_path)
    sdist = subprocess.run([sys.executable, "setup.py", "-q", "sdist", "-d", str(tmp_path / "dist")],
                           cwd=source, capture_output=True, text=True, timeout=120)
    assert sdist.returncode == 0, sdist.stderr
    # The backend comes through CMAKE_ARGS alone: where nvcc is found, the
    # default would be the CUDA build, whose sobel fails without a device.
    python = venv_with(tmp_path, next((tmp_path / "dist").glob("quarn-*.tar.gz")),
                       CMAKE_ARGS="-DQUARN_BACKEND=cpu -DCMAKE_BUILD_TYPE=Release")
    run = subprocess.run([str(python), "-c", EDGES_CODE], cwd=tmp_path, env=without_pythonpath(),
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == EDGES


USE = """\
import numpy
import quarn

planes: numpy.ndarray = quarn.readimg("picture.png")
raw = quarn.readimg(b"picture.png")
edges = quarn.sobel(planes) + quarn.sobel([[[1, 2], [3, 4]]])
print(edges.shape, raw.dtype)
"""

MISUSE = """\
import pathlib
import quarn

quarn.readimg(3)
quarn.readimg(pathlib.Path("picture.png"))
quarn.sobel(arg0=[[[0]]])
quarn.sobel([[[0]]], [[[0]]])
quarn.blur([[[0]]])
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_accepts_use_and_rejects_misuse(venv_python, tmp_path):
    (tmp_path / "use.py").write_text(USE)
    (tmp_path / "misuse.py").write_text(MISUSE)
    run = subprocess.run([str(venv_python), "-m", "mypy", "--cache-dir", str(tmp_path / "cache"),
                          "use.py", "misuse.py"], cwd=tmp_path, env=without_pythonpath(),
                         capture_output=True, text=True, timeout=300)
    errors = [line for line in run.stdout.splitlines() if ": error: " in line]

    assert [line.split(": error: ")[0] for line in errors] == [
        f"misuse.py:{n}" for n in range(4, 9)], run.stdout
    assert "Unexpected keyword argument" in errors[2]
