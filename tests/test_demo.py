import shutil
import subprocess
import sys
from pathlib import Path

import numpy
import pytest
from PIL import Image

from conftest import BACKEND, GPU_ERROR, needs_backend, sobel_reference

ROOT = Path(__file__).resolve().parent.parent
DEMO = ROOT / "examples" / "edges.py"


@needs_backend
def test_demo_writes_picture_beside_its_edge_map(tmp_path):
    rgb = numpy.zeros((6, 9, 3), numpy.uint8)
    rgb[2:5, 3:7] = (10, 120, 240)  # a box bright in blue, dull in red
    Image.fromarray(rgb).save(tmp_path / "box.png")
    output = tmp_path / "out.png"

    run = subprocess.run([sys.executable, str(DEMO), str(tmp_path / "box.png"), "-o", str(output)],
                         capture_output=True, text=True, timeout=120)

    assert run.returncode == 0, run.stderr
    assert "image: 9 x 6" in run.stdout
    assert f"\nbackend: {BACKEND}" in run.stdout
    written = numpy.asarray(Image.open(output).convert("RGB"))
    assert written.shape == (6, 18, 3)
    numpy.testing.assert_array_equal(written[:, :9], rgb)
    for channel in range(3):
        numpy.testing.assert_array_equal(written[:, 9:, channel], sobel_reference(rgb[..., 2]))


@pytest.mark.skipif(GPU_ERROR is None, reason="the CUDA build without a device only")
@pytest.mark.parametrize("with_cpu_build", [True, False])
def test_demo_without_a_device_switches_only_to_a_cpu_build_that_exists(tmp_path, with_cpu_build):
    # A checkout of its own, so that the demo sees build/cpu only where the case puts one.
    (tmp_path / "examples").mkdir()
    demo = shutil.copy(DEMO, tmp_path / "examples")
    if with_cpu_build:
        if not (ROOT / "build" / "cpu").is_dir():
            pytest.skip("no build/cpu to switch to")
        (tmp_path / "build").mkdir()
        (tmp_path / "build" / "cpu").symlink_to(ROOT / "build" / "cpu")

    run = subprocess.run([sys.executable, demo, str(ROOT / "examples" / "sample.png"),
                          "-o", str(tmp_path / "out.png")], capture_output=True, text=True, timeout=60)

    if with_cpu_build:
        assert run.returncode == 0, run.stderr
        assert f"backend: cpu, {tmp_path}/build/cpu (switched: no usable GPU, {GPU_ERROR})" in run.stdout
    else:
        assert run.returncode == 1
        assert f"no CPU build in {tmp_path}/build/cpu: run `make build/cpu`" in run.stderr
        assert not (tmp_path / "out.png").exists()
