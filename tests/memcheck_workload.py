"""Readimg over every fuzz seed, every regression and the mutants of
test_mutations, then the mixed calls of leak_workload, for memcheck.

    PYTHONPATH=build/cpu valgrind ... /usr/bin/python3 tests/memcheck_workload.py CALLS

makes CALLS mixed calls after the decodes. Each returned array is written to
/dev/null, so memcheck checks every byte of it: a pixel the decoder never
wrote shows up as a write(buf) error."""
import os
import sys
import tempfile
import threading
from pathlib import Path

import quarn
from leak_workload import SEEDS, bad_files, call_all, sobel_arguments
from test_mutations import mutants

REGRESSIONS = SEEDS.parent / "regressions"


def read_and_write(path, sink):
    try:
        os.write(sink, quarn.readimg(str(path)))
    except (ValueError, OSError, MemoryError):
        pass


def main(calls):
    sink = os.open(os.devnull, os.O_WRONLY)
    with tempfile.TemporaryDirectory() as folder:
        for path in sorted(SEEDS.iterdir()) + sorted(REGRESSIONS.iterdir()):
            read_and_write(path, sink)
        # The GIFs again from a thread of a small stack: their decodes run on
        # a thread of their own.
        threading.stack_size(64 * 1024)
        gifs = sorted(SEEDS.glob("*.gif")) + sorted(REGRESSIONS.glob("*.gif"))
        thread = threading.Thread(target=lambda: [read_and_write(path, sink) for path in gifs])
        thread.start()
        thread.join()
        threading.stack_size(0)
        mutant = Path(folder) / "mutant"
        for _, data in mutants():
            mutant.write_bytes(data)
            read_and_write(mutant, sink)
        paths = sorted(str(p) for p in SEEDS.iterdir()) + bad_files(Path(folder))
        call_all(paths, sobel_arguments(), calls)
    os.close(sink)


if __name__ == "__main__":
    main(int(sys.argv[1]))
