"""tools/install-deps.sh with stand-ins for the system's commands: what it
names without dpkg, and one apt-get at a time when make runs it twice at once."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "tools" / "install-deps.sh"
pytestmark = pytest.mark.skipif(not shutil.which("flock"), reason="needs flock (util-linux)")


def commands(folder, real, stubs):
    """`folder`, holding links to the `real` commands and the shell scripts
    `stubs` ({name: body})."""
    folder.mkdir()
    for name in real:
        (folder / name).symlink_to(shutil.which(name))
    for name, body in stubs.items():
        (folder / name).write_text(f"#!/bin/sh\n{body}\n")
        (folder / name).chmod(0o755)
    return str(folder)


def install_deps(path, *packages, **env):
    return subprocess.Popen(["/bin/sh", str(SCRIPT), *packages], text=True,
                            env=dict(env, PATH=path, PYTHON=sys.executable),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def test_without_dpkg_it_names_what_is_missing_in_this_systems_terms(tmp_path):
    path = commands(tmp_path / "bin", ["touch", "flock"], {"cmake": "", "g++": ""})
    packages = ["g++", "cmake", "ninja-build", "python3-numpy", "libstb-dev", "python3-mystery"]
    _, missing = install_deps(path, *packages, TMPDIR=str(tmp_path),
                              QUARN_STB_INCLUDE_DIR=str(tmp_path)).communicate(timeout=60)
    assert missing.splitlines() == [
        "(not checked without dpkg: python3-mystery)",
        "Missing (no dpkg here to install Debian packages with):",
        "    the command ninja", f"    stb/stb_image.h under {tmp_path} (or set QUARN_STB_INCLUDE_DIR)"]
    (tmp_path / "bin" / "ninja").symlink_to(tmp_path / "bin" / "cmake")
    (tmp_path / "stb").mkdir()
    (tmp_path / "stb" / "stb_image.h").touch()
    every = install_deps(path, *packages[:-1], TMPDIR=str(tmp_path), QUARN_STB_INCLUDE_DIR=str(tmp_path))
    assert every.communicate(timeout=60) == ("", "") and every.returncode == 0


def test_two_calls_at_once_run_one_apt_get_at_a_time(tmp_path):
    log = tmp_path / "apt.log"
    path = commands(tmp_path / "bin", ["touch", "flock", "grep", "env", "sleep"], {
        "dpkg-query": "", "id": "echo 0",
        "apt-get": f"echo start >>{log}; sleep 0.3; echo end >>{log}"})
    calls = [install_deps(path, package, TMPDIR=str(tmp_path)) for package in ["clang", "g++"]]
    for call in calls:
        call.communicate(timeout=60)
        assert call.returncode == 0
    assert log.read_text().split() == ["start", "end"] * 4   # update and install, twice
