"""pip's entry to the CMake build: builds the quarn extension where setuptools expects it."""
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE_DIR = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        # Under setuptools' own temp folder, apart from the Makefile's build/cpu
        # and build/cuda; fresh each time so no cached backend or Python sticks.
        build_dir = Path(self.build_temp).resolve() / "cmake"
        shutil.rmtree(build_dir, ignore_errors=True)
        if target.exists():
            target.unlink()  # so the check below sees this build's file, not an old one
        configure = ["cmake", "-S", str(SOURCE_DIR), "-B", str(build_dir),
                     f"-DPYTHON_EXECUTABLE={sys.executable}",
                     f"-DCMAKE_LIBRARY_OUTPUT_DIRECTORY={target.parent}"]
        if os.environ.get("QUARN_BACKEND"):
            configure.append(f"-DQUARN_BACKEND={os.environ['QUARN_BACKEND']}")
        # Extra options, split like a shell, as other CMake-driven packages take them.
        extra = shlex.split(os.environ.get("CMAKE_ARGS", ""))
        # Ninja wherever there is one (pip fetches it for isolated builds) and
        # no generator is named: a machine without make builds all the same.
        if (shutil.which("ninja") and "CMAKE_GENERATOR" not in os.environ
                and not any(arg.startswith("-G") for arg in extra)):
            configure += ["-G", "Ninja"]
        configure += extra
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir),
                        "--parallel", str(os.cpu_count() or 1)], check=True)
        if not target.is_file():
            raise RuntimeError(f"the CMake build did not produce {target}")


setup(
    ext_modules=[Extension("quarn", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # A single top-level module cannot carry py.typed, so its types travel as a
    # stub-only package, where type checkers look for them.
    packages=["quarn-stubs"],
    package_data={"quarn-stubs": ["__init__.pyi"]},
)
