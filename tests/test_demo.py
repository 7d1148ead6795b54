import subprocess
import sys
from pathlib import Path

import numpy
from PIL import Image

from conftest import BACKEND, FALLBACK, sobel_reference

ROOT = Path(__file__).resolve().parent.parent
DEMO = ROOT / "examples" / "edges.py"


def test_demo_writes_picture_beside_its_edge_map(tmp_path):
    rgb = numpy.zeros((6, 9, 3), numpy.uint8)
    rgb[2:5, 3:7] = (10, 120, 240)  # a box bright in blue, dull in red
    Image.fromarray(rgb).save(tmp_path / "box.png")
    output = tmp_path / "out.png"

    run = subprocess.run([sys.executable, str(DEMO), str(tmp_path / "box.png"), "-o", str(output)],
                         capture_output=True, text=True, timeout=120)

    assert run.returncode == 0, run.stderr
    assert "image: 9 x 6" in run.stdout
    # The backend named from what the module said: the CUDA build warns where it computes on the CPU.
    if BACKEND == "cpu":
        assert "\nbackend: cpu\n" in run.stdout
    elif FALLBACK:
        assert f"\nbackend: cpu (the CUDA build warned: {FALLBACK})\n" in run.stdout
    else:
        assert "\nbackend: cuda (" in run.stdout
    written = numpy.asarray(Image.open(output).convert("RGB"))
    assert written.shape == (6, 18, 3)
    numpy.testing.assert_array_equal(written[:, :9], rgb)
    for channel in range(3):
        numpy.testing.assert_array_equal(written[:, 9:, channel], sobel_reference(rgb[..., 2]))
