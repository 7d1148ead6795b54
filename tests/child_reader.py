"""quarn.readimg in a child process, so a crash or a hang fails one test
instead of killing pytest. The child serves one path at a time over a pipe and
is restarted after it dies."""
import os
import select
import signal
import subprocess
import sys

import quarn

# Every outcome a hostile file may have; anything else is a fault.
ALLOWED = {"array", "ValueError", "OSError", "MemoryError"}

_SERVE = r"""
import sys, time, quarn
for line in sys.stdin:
    start = time.perf_counter()
    try:
        image = quarn.readimg(line[:-1])
        # (3, H, W), or (3, 0) for an image with no rows.
        shaped = image.ndim == 3 or image.shape == (3, 0)
        outcome = "array" if shaped and image.shape[0] == 3 else "malformed-array"
    except (ValueError, MemoryError) as error:
        outcome = type(error).__name__
    except OSError:
        outcome = "OSError"
    print(outcome, time.perf_counter() - start, flush=True)
"""


def _describe_exit(code):
    if code < 0:
        return f"killed by {signal.Signals(-code).name}"
    return f"exited with status {code}"


class ChildReader:
    def __init__(self):
        self.process = None

    def _start(self):
        env = dict(os.environ, PYTHONPATH=os.path.dirname(quarn.__file__))
        self.process = subprocess.Popen(
            [sys.executable, "-c", _SERVE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True, env=env)

    def read(self, path, timeout=10.0):
        """(outcome, seconds readimg took): outcome is "array", the exception's
        type name, or how the child died or that it hung (seconds None)."""
        if self.process is None:
            self._start()
        try:
            self.process.stdin.write(f"{path}\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            pass
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline() if ready else ""
        if line:
            outcome, seconds = line.split()
            return outcome, float(seconds)
        if not ready:
            self.process.kill()
        code = self.process.wait()
        error = self.process.stderr.read().strip().splitlines()[-3:]
        self.close()
        if not ready:
            return f"hung for {timeout} s", None
        return f"{_describe_exit(code)}: {' | '.join(error)}", None

    def close(self):
        if self.process is not None:
            self.process.stdin.close()
            self.process.stdout.close()
            self.process.stderr.close()
            self.process.wait()
            self.process = None
