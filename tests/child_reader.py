"""quarn.readimg in a child process, so a crash or a hang fails one test
instead of killing pytest. The child serves one path at a time over a pipe and
is restarted after it dies. Each answer carries a digest of what readimg gave
(the array's shape and bytes, or the error's type and message), so that
outcomes can be compared across processes."""
import os
import select
import signal
import subprocess
import sys

import quarn

# Every outcome a hostile file may have; anything else is a fault.
ALLOWED = {"array", "ValueError", "OSError", "MemoryError"}

# argv[1] is Python source run first; a `prepare()` it defines runs before
# each call.
_SERVE = r"""
import hashlib, sys, time, quarn
prepare = lambda: None
exec(sys.argv[1])
for line in sys.stdin:
    prepare()
    start = time.process_time()
    try:
        image = quarn.readimg(line[:-1])
        # (3, H, W), or (3, 0) for an image with no rows.
        shaped = image.ndim == 3 or image.shape == (3, 0)
        outcome = "array" if shaped and image.shape[0] == 3 else "malformed-array"
        result = repr(image.shape).encode() + image.tobytes()
    except (ValueError, MemoryError) as error:
        outcome = type(error).__name__
        result = f"{outcome}: {error}".encode()
    except OSError as error:
        outcome = "OSError"
        result = f"{outcome}: {error}".encode()
    seconds = time.process_time() - start
    print(outcome, seconds, hashlib.sha256(result).hexdigest(), flush=True)
"""


def _describe_exit(code):
    if code < 0:
        return f"killed by {signal.Signals(-code).name}"
    return f"exited with status {code}"


class ChildReader:
    def __init__(self, env=None, setup=""):
        """`env`: variables added to the child's environment; `setup`: Python
        source the child runs first, which may define `prepare()`."""
        self.process = None
        self.env = env or {}
        self.setup = setup

    def _start(self):
        env = dict(os.environ, PYTHONPATH=os.path.dirname(quarn.__file__), **self.env)
        self.process = subprocess.Popen(
            [sys.executable, "-c", _SERVE, self.setup], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)

    def read(self, path, timeout=10.0):
        """(outcome, CPU seconds readimg took, all threads, which other work on
        the machine barely changes): outcome is "array", the exception's type
        name, or how the child died or that it hung (seconds None)."""
        outcome, seconds, _ = self.read_digest(path, timeout)
        return outcome, seconds

    def read_digest(self, path, timeout=10.0):
        """(outcome, seconds, digest) as read() gives them, with the SHA-256 of
        what readimg returned or raised (None where the child died or hung)."""
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
            outcome, seconds, digest = line.split()
            return outcome, float(seconds), digest
        if not ready:
            self.process.kill()
        code = self.process.wait()
        error = self.process.stderr.read().strip().splitlines()[-3:]
        self.close()
        if not ready:
            return f"hung for {timeout} s", None, None
        return f"{_describe_exit(code)}: {' | '.join(error)}", None, None

    def close(self):
        if self.process is not None:
            self.process.stdin.close()
            self.process.stdout.close()
            self.process.stderr.close()
            self.process.wait()
            self.process = None
