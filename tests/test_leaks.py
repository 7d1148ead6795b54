import os
import subprocess
import sys
from pathlib import Path

import quarn

WORKLOAD = Path(__file__).resolve().parent / "leak_workload.py"


def test_ten_thousand_mixed_calls_keep_memory_flat():
    # A fresh process, so pytest's own allocations do not blur the figure.
    env = dict(os.environ, PYTHONPATH=str(Path(quarn.__file__).parent))
    out = subprocess.run([sys.executable, str(WORKLOAD), "10000"], env=env, check=True,
                         capture_output=True, text=True, timeout=300).stdout
    assert int(out) < 1 << 20
