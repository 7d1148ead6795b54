"""Mixed readimg and sobel calls, good and rejected, for leak checks.

    PYTHONPATH=build/cpu /usr/bin/python3 tests/leak_workload.py CALLS

makes CALLS readimg and CALLS sobel calls, six times over, after a warm-up,
and prints as JSON how much the resident set grew in bytes (stb's buffers come
from malloc, which tracemalloc does not see), how many more references the
arguments hold (a leaked reference to the caller's path or array), and the
least growth of a round in the memory blocks Python holds (a leaked object of
its own, such as an exception or a name, is one block at least)."""
import gc
import json
import os
import sys
import tempfile
from pathlib import Path

import numpy

import quarn
from declared_size import declare_size

WINDOWS = 6
SEEDS = Path(__file__).resolve().parent / "fuzz" / "corpus"
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def counts(arguments):
    gc.collect()  # garbage in cycles is not a leak
    return {"resident": resident_bytes(), "blocks": sys.getallocatedblocks(),
            "references": sum(map(sys.getrefcount, arguments))}


def bad_files(folder):
    """Files readimg refuses, each on a different path through the decoder."""
    png = (SEEDS / "rgb.png").read_bytes()
    contents = {
        "truncated.png": png[:len(png) // 2],
        "bomb.jpg": declare_size((SEEDS / "baseline.jpg").read_bytes(), 16000, 15000),
        "over-the-limit.bmp": declare_size((SEEDS / "rgb.bmp").read_bytes(), 16384, 16384),
        "ends-early.pic": (SEEDS / "rle.pic").read_bytes()[:300],
        "text.png": b"not an image at all",
    }
    for name, data in contents.items():
        (folder / name).write_bytes(data)
    names = [str(folder / name) for name in contents] + [str(folder / "missing.png"), str(folder)]
    return names + [os.fsencode(name) for name in names] + [names[0] + "\0.png", b"a\0b"]


def sobel_arguments():
    image = numpy.random.default_rng(5).integers(0, 256, (3, 24, 31), dtype=numpy.uint8)
    return [
        image, image[:, ::2, ::-1], image.astype(numpy.float64), image.tolist(),
        image[0],                                                   # wrong ndim
        numpy.zeros((1, 4, 5, 1), numpy.uint8),                    # wrong ndim
        numpy.broadcast_to(numpy.uint8(0), (1, 100000, 100000)),  # too large
        numpy.array([[[None]]], dtype=object),                     # uncastable
    ]


def call_all(paths, arrays, calls):
    for i in range(calls):
        try:
            quarn.readimg(paths[i % len(paths)])
        except (ValueError, OSError):  # ValueError: a path with a NUL
            pass
        try:
            quarn.sobel(arrays[i % len(arrays)])
        except (IndexError, MemoryError, TypeError, RuntimeError):
            pass  # RuntimeError: the CUDA build without a device


def main(calls):
    with tempfile.TemporaryDirectory() as folder:
        paths = sorted(str(p) for p in SEEDS.iterdir()) + bad_files(Path(folder))
        arrays = sobel_arguments()
        call_all(paths, arrays, max(calls // 10, 200))  # warm-up: caches, allocator pools
        marks = [counts(paths + arrays)]
        for _ in range(WINDOWS):
            call_all(paths, arrays, calls)
            marks.append(counts(paths + arrays))
        growth = {key: marks[-1][key] - marks[0][key] for key in marks[0]}
        # Caches still settling add a few hundred blocks to the first windows,
        # for 30,000 calls or more on Python 3.13; a leak adds to every window.
        growth["blocks"] = min(after["blocks"] - before["blocks"]
                               for before, after in zip(marks, marks[1:]))
        print(json.dumps(growth))


if __name__ == "__main__":
    main(int(sys.argv[1]))
