import json
import os
import subprocess
import sys
from pathlib import Path

import quarn

WORKLOAD = Path(__file__).resolve().parent / "leak_workload.py"


def test_mixed_calls_keep_memory_and_references_flat():
    # A fresh process, so pytest's own allocations do not blur the figures.
    env = dict(os.environ, PYTHONPATH=str(Path(quarn.__file__).parent))
    out = subprocess.run([sys.executable, str(WORKLOAD), "10000"], env=env, check=True,
                         capture_output=True, text=True, timeout=300).stdout
    growth = json.loads(out)
    assert growth["resident"] < 1 << 20
    # An object leaked by only one of the workload's 48 paths would add about
    # 200 blocks a round.
    assert growth["blocks"] < 100
    assert growth["references"] == 0
