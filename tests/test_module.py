import glob
import json
import os
import shutil
import subprocess
import sys

import pytest

import quarn

BUILT_FOR = "%d.%d" % sys.version_info[:2]


def test_module_surface():
    assert quarn.__doc__ == "just a simple cv lib on cuda"
    public = {name for name in dir(quarn) if not name.startswith("__")}
    assert public == {"readimg", "sobel"}
    assert quarn.sobel.__doc__ == "sobel(arg0: numpy.ndarray[numpy.uint8]) -> numpy.ndarray\n"


def test_keyword_and_extra_arguments_are_refused():
    with pytest.raises(TypeError, match=r"^sobel\(\): incompatible "):
        quarn.sobel(arg0=[[[0]]])
    with pytest.raises(TypeError, match=r"^sobel\(\): incompatible "):
        quarn.sobel([[[0]]], [[[0]]])


def other_interpreters():
    found = glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"))
    return sorted(p for p in found if f"/{BUILT_FOR}." not in p)


@pytest.mark.skipif(not other_interpreters(), reason="no other Python 3 installed")
@pytest.mark.parametrize("python", other_interpreters())
def test_version_gate_refuses_other_interpreters(python, tmp_path):
    shutil.copy(quarn.__file__, tmp_path / "quarn.so")
    # Lazy binding lets the gate run on interpreters that lack some symbols.
    code = ("import json, os, sys; sys.setdlopenflags(os.RTLD_LAZY)\n"
            "try:\n    import quarn\nexcept ImportError as e:\n"
            "    print(json.dumps([str(e), sys.version]))")
    out = subprocess.run([python, "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60).stdout
    message, version = json.loads(out)
    assert message == ("Python version mismatch: module was compiled for Python "
                       f"{BUILT_FOR}, but the interpreter version is incompatible: {version}.")
