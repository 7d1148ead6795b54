"""readimg and sobel from several threads: others run during a call, and
every thread gets exactly what a lone call gives."""
import functools
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy
import pytest

import quarn

FUZZ = Path(__file__).resolve().parent / "fuzz"


def steps_of_another_thread(call):
    """How many loop steps a Python thread makes while `call` runs, up to 20
    times until it makes any; holding the interpreter lock throughout makes 0.
    Each step gives up the lock, and the switch interval is longer than the
    test, so the lock changes hands only where a thread lets it go."""
    steps, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            time.sleep(0)
            steps[0] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(30)
    counter = threading.Thread(target=count)
    counter.start()
    try:
        for _ in range(20):
            before = steps[0]
            call()
            if steps[0] > before:
                return steps[0] - before
        return 0
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(interval)


def outcome(path):
    try:
        planes = quarn.readimg(path)
    except (ValueError, OSError, MemoryError) as error:
        return type(error), str(error)
    return planes, quarn.sobel(planes)


def same(a, b):
    return all(x.dtype == y.dtype and numpy.array_equal(x, y) if isinstance(x, numpy.ndarray)
               else x == y for x, y in zip(a, b))


@pytest.mark.parametrize("work", ["readimg", "sobel"])
def test_other_threads_run_during_a_call(tmp_path, work):
    image = numpy.random.default_rng(3).integers(0, 256, (1, 2500, 2500), numpy.uint8)
    if work == "readimg":
        path = tmp_path / "large.pgm"
        path.write_bytes(b"P5 2500 2500 255\n" + image.tobytes())
        call = functools.partial(quarn.readimg, str(path))
    else:
        call = functools.partial(quarn.sobel, image)
    assert steps_of_another_thread(call) > 0


def test_threads_give_the_serial_outcomes():
    # A small stack for the pool's threads: the GIFs then decode on a thread
    # of their own, started from each.
    paths = [str(p) for p in sorted(FUZZ.glob("corpus/*")) + sorted(FUZZ.glob("regressions/*"))]
    serial = [outcome(path) for path in paths]
    threading.stack_size(64 * 1024)
    try:
        with ThreadPoolExecutor(4) as pool:
            threaded = list(pool.map(outcome, paths * 4))
    finally:
        threading.stack_size(0)
    for index, result in enumerate(threaded):
        assert same(result, serial[index % len(paths)]), paths[index % len(paths)]
