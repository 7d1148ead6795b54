"""pip install into fresh venvs: offline from an sdist's sources with Debian's
packages, and isolated from the package index; the module imports from there
and mypy finds its types, as it does in the build folder."""
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tomllib
from pathlib import Path

import pytest

import quarn
from conftest import BACKEND, sobel_reference

ROOT = Path(__file__).resolve().parent.parent

# The build takes a while, so one run of `make test` does it: the CPU one.
pytestmark = pytest.mark.skipif(BACKEND != "cpu", reason="runs once, in the CPU test run")


def without_pythonpath(**extra):
    """This process's environment minus PYTHONPATH, which points at the Makefile's build."""
    env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    env.update(extra)
    return env


def clean_clone(folder):
    """A copy of the checkout as a fresh clone holds it: without .git and what
    .gitignore names (its patterns are plain names and globs), nothing built."""
    ignored = [line.strip().rstrip("/") for line in (ROOT / ".gitignore").read_text().splitlines()
               if line.strip() and not line.startswith("#")]
    shutil.copytree(ROOT, folder, ignore=shutil.ignore_patterns(".git", *ignored))
    return folder


def make_sdist(home):
    """An sdist of a clean clone (setup.py writes into the tree it runs in,
    hence the clone), in home/dist."""
    source = clean_clone(home / "checkout")
    sdist = subprocess.run([sys.executable, "setup.py", "-q", "sdist", "-d", str(home / "dist")],
                           cwd=source, capture_output=True, text=True, timeout=120)
    assert sdist.returncode == 0, sdist.stderr
    return next((home / "dist").glob("quarn-*.tar.gz"))


def sdist_sources(home):
    """The folder an sdist of the checkout unpacks to: what pip builds from an
    sdist, and a source tree like the checkout."""
    with tarfile.open(make_sdist(home)) as archive:
        # Our own archive; the filter, where this Python has it, only keeps newer ones quiet.
        archive.extractall(home / "unpacked",
                           **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    return next((home / "unpacked").iterdir())


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """(python, sources): a fresh venv's python with the sdist's sources
    pip-installed offline, one build serving every test here, and the folder
    it built in. The backend comes through QUARN_BACKEND (where nvcc is found,
    the default would be the CUDA build, whose sobel fails without a device);
    CMAKE_ARGS carries a variable to find in CMake's cache, split as a shell
    would."""
    home = tmp_path_factory.mktemp("install")
    sources = sdist_sources(home)
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(home / "venv")],
                          capture_output=True, text=True, timeout=120)
    if made.returncode != 0:
        pytest.skip(f"python3 -m venv is unavailable: {made.stdout}{made.stderr}")
    python = home / "venv" / "bin" / "python"
    env = without_pythonpath(QUARN_BACKEND="cpu",
                             CMAKE_ARGS='-DCMAKE_BUILD_TYPE=Release "-DQUARN_MARK=two words"')
    pip = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index",
                          str(sources)], env=env, capture_output=True, text=True, timeout=600)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    return python, sources


EDGES = [[0, 0, 0, 0, 0], [255, 0, 0, 0, 0], [255, 0, 0, 0, 0], [255, 255, 255, 255, 0]]


def test_installed_module_imports_and_finds_edges(installed, tmp_path):
    venv_python, _ = installed
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


def test_the_environment_reaches_cmake(installed):
    _, sources = installed
    cache = next(sources.glob("build/*/cmake/CMakeCache.txt")).read_text()
    assert re.search(r"^QUARN_BACKEND:\w+=cpu$", cache, re.MULTILINE)
    assert re.search(r"^QUARN_MARK:\w+=two words$", cache, re.MULTILINE)


def test_isolated_builds_get_the_cmake_that_the_build_needs():
    required = tomllib.loads((ROOT / "pyproject.toml").read_text())["build-system"]["requires"]
    cmake = next(line for line in (ROOT / "CMakeLists.txt").read_text().splitlines()
                 if line.startswith("cmake_minimum_required"))
    assert f"cmake>={cmake.split()[1].rstrip(')')}" in required


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


# Installed, mypy finds quarn-stubs; beside the module in its build folder,
# quarn.pyi, where MYPYPATH names the folder (mypy never reads PYTHONPATH).
@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.parametrize("route", ["pip install", "build folder"])
def test_mypy_accepts_use_and_rejects_misuse(route, request, tmp_path):
    if route == "pip install":
        python, env = request.getfixturevalue("installed")[0], without_pythonpath()
    else:
        python, env = sys.executable, without_pythonpath(MYPYPATH=str(Path(quarn.__file__).parent))
    (tmp_path / "use.py").write_text(USE)
    (tmp_path / "misuse.py").write_text(MISUSE)
    run = subprocess.run([str(python), "-m", "mypy", "--cache-dir", str(tmp_path / "cache"),
                          "use.py", "misuse.py"], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=300)
    errors = [line for line in run.stdout.splitlines() if ": error: " in line]

    assert [line.split(": error: ")[0] for line in errors] == [
        f"misuse.py:{n}" for n in range(4, 9)], run.stdout
    assert "Unexpected keyword argument" in errors[2]


def index_unreachable(pip):
    """Why pip's configured package index cannot be used here, or None."""
    probe = subprocess.run([str(pip), "index", "versions", "pybind11", "--retries", "0", "--timeout", "15"],
                           env=without_pythonpath(), capture_output=True, text=True, timeout=120)
    if probe.returncode == 0:
        return None
    return (probe.stderr.strip().splitlines() or [f"pip exited with {probe.returncode}"])[-1]


# Each call's outcome in the venv, and the warnings it gave.
VENV_CHECK = """
import json, warnings, numpy, quarn
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    edges = [quarn.sobel(numpy.full((1, 4, 5), 10)).tolist() for _ in range(2)]
    planes = quarn.readimg(%r)
    sample = quarn.sobel(planes)
print(json.dumps([numpy.__file__, quarn.__file__, edges, planes.shape, sample.tolist(),
                  [f"{w.category.__name__}: {w.message}" for w in caught]]))
"""


def test_isolated_install_from_the_index_of_a_clone_and_its_sdist(tmp_path):
    """The README's default route: a plain venv, pip install from a clean clone
    and then from its sdist, build tools and NumPy from the package index. The
    backend is the default one (CUDA where nvcc is found, for one architecture
    to save time); the build names it."""
    made = subprocess.run([sys.executable, "-m", "venv", str(tmp_path / "venv")],
                          capture_output=True, text=True, timeout=120)
    if made.returncode != 0:
        pytest.skip(f"python3 -m venv is unavailable: {made.stdout}{made.stderr}")
    venv = tmp_path / "venv"
    reason = index_unreachable(venv / "bin" / "pip")
    if reason:
        pytest.skip(f"pip's package index is unreachable: {reason}")
    sample = ROOT / "examples" / "sample.png"
    env = without_pythonpath(CUDAARCHS="75")
    for env_name in ["QUARN_BACKEND", "CMAKE_ARGS", "QUARN_STB_INCLUDE_DIR"]:
        env.pop(env_name, None)

    for source in [clean_clone(tmp_path / "clone"), make_sdist(tmp_path)]:
        pip = subprocess.run([str(venv / "bin" / "pip"), "install", "-v", str(source)],
                             env=env, capture_output=True, text=True, timeout=900)
        assert pip.returncode == 0, pip.stdout[-3000:] + pip.stderr[-3000:]
        # pip passes the build's output on (to stdout or stderr, by version) with -v.
        built = re.findall(r"^ *-- quarn backend: (\w+)$", pip.stdout + pip.stderr, re.MULTILINE)
        assert built in (["cpu"], ["cuda"]), pip.stdout[-3000:]

        run = subprocess.run([str(venv / "bin" / "python"), "-c", VENV_CHECK % str(sample)],
                             cwd=tmp_path, env=without_pythonpath(), capture_output=True, text=True,
                             timeout=60)
        assert run.returncode == 0, run.stderr
        numpy_file, module_file, edges, shape, sample_edges, warned = json.loads(run.stdout)
        assert Path(numpy_file).is_relative_to(venv) and Path(module_file).is_relative_to(venv)
        assert edges == [EDGES, EDGES]
        assert shape == [3, 500, 800]
        assert sample_edges == sobel_reference(quarn.readimg(str(sample))[0]).tolist()
        # The CUDA build without a usable GPU computes on the CPU and warns once.
        assert warned == [] or (built == ["cuda"] and len(warned) == 1 and warned[0].startswith(
            "RuntimeWarning: no usable CUDA device, so sobel computes on the CPU: CUDA error: "))
