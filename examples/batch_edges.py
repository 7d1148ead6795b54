#!/usr/bin/python3
"""Edge maps of many image files on every core of this machine.

Each worker process reads, finds edges and writes the PNG for its own files
(a quarn call holds the interpreter lock throughout, so threads would not
help); only paths go out and small results come back. Outputs already there
are kept, so a stopped run resumes where it was. Exit status 1 if any file
failed, after listing every failure with its reason.
"""
import argparse
import csv
import itertools
import multiprocessing
import os
import sys
import time
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path

import numpy

from tqdm import tqdm

try:
    from edge_job import EdgeResult, edge_job, failure, find_images, quarn
except ImportError as error:
    sys.exit(f"cannot import quarn ({error}): run `make build`, or put its folder on PYTHONPATH")
from sample_images import write_sample

# Forked workers start in milliseconds, where fresh interpreters take a tenth
# of a second each to import NumPy and quarn. The price: this process must
# never make a CUDA context (see check_sobel), as a fork inherits it unusable.
WORKERS = multiprocessing.get_context("fork")
DIED = "the worker process died on this file (crashed, or killed, e.g. for memory)"
CSV_NAME = "summary.csv"
CSV_FIELDS = ["source", "output", "status", "width", "height", "edge_share", "seconds", "error"]


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, fromfile_prefix_chars="@",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sources", nargs="*", metavar="SRC",
                        help="folder (walked recursively for image names) or file; "
                             "@LIST reads these arguments from LIST, one a line")
    parser.add_argument("-o", "--output", required=True, type=Path, metavar="DST",
                        help="folder for the edge maps, mirroring the source tree, "
                             f"and {CSV_NAME}")
    parser.add_argument("--workers", type=int, default=os.cpu_count(), metavar="N",
                        help="worker processes (default: one a core, %(default)s here)")
    parser.add_argument("--overwrite", action="store_true",
                        help="redo files whose edge map exists (default: keep them)")
    parser.add_argument("--make-sample", type=int, metavar="N",
                        help="write N photo-like pictures into SRC (default: DST-sample), "
                             "then time a run with 1 worker and one with --workers, "
                             "rewriting the outputs each time")
    args = parser.parse_args()
    if args.workers < 1 or (args.make_sample is not None and args.make_sample < 1):
        parser.error("--workers and --make-sample take a number from 1")
    if not args.sources and args.make_sample is None:
        parser.error("give SRC, or --make-sample N")
    return args


def sobel_problem():
    """None where sobel runs, else why not (a CUDA build without a usable GPU)."""
    try:
        quarn.sobel(numpy.zeros((1, 1, 1), numpy.uint8))
    except RuntimeError as error:
        return str(error)
    return None


def check_sobel():
    """Exits when sobel cannot run, rather than failing every file alike. A
    worker tries it, so that no CUDA context is made in this process."""
    with ProcessPoolExecutor(1, mp_context=WORKERS) as pool:
        problem = pool.submit(sobel_problem).result()
    if problem:
        sys.exit(f"sobel cannot run here ({problem}); use the CPU build: "
                 "PYTHONPATH=build/cpu /usr/bin/python3 examples/batch_edges.py ...")


def results(pairs, workers, job=edge_job):
    """Yields the EdgeResult of job(source, target) for every pair, in the
    order they finish. A worker that dies takes the files in flight with it:
    each is then retried alone in a fresh process, and a file that kills that
    one too comes back failed."""
    todo = iter(pairs)
    while True:
        suspects = []
        with ProcessPoolExecutor(workers, mp_context=WORKERS) as pool:
            # Two files a worker in flight: none waits idle, and a dying worker
            # leaves only a few files in doubt.
            in_flight = {pool.submit(job, *pair): pair
                         for pair in itertools.islice(todo, 2 * workers)}
            while in_flight and not suspects:
                done, _ = wait(in_flight, return_when=FIRST_COMPLETED)
                for future in done:
                    pair = in_flight.pop(future)
                    try:
                        result = future.result()
                    except BrokenProcessPool:
                        suspects.append(pair)
                        continue
                    except Exception as error:  # a fault in the job; the run goes on
                        result = failure(pair[0], error)
                    yield result
                if suspects:
                    suspects += in_flight.values()
                else:
                    for pair in itertools.islice(todo, len(done)):
                        in_flight[pool.submit(job, *pair)] = pair
        if not suspects:
            return
        for pair in suspects:
            yield alone(job, pair)


def alone(job, pair):
    """job(*pair) in a process of its own; its death fails only this file."""
    with ProcessPoolExecutor(1, mp_context=WORKERS) as pool:
        try:
            return pool.submit(job, *pair).result()
        except BrokenProcessPool:
            return EdgeResult(pair[0], error=DIED)
        except Exception as error:
            return failure(pair[0], error)


def run(pairs, output, workers, overwrite):
    """Processes the pairs, writes the summary CSV and prints the totals.
    Returns the failed EdgeResults and the files per second."""
    todo = pairs if overwrite else [pair for pair in pairs if not os.path.exists(pair[1])]
    kept = len(pairs) - len(todo)
    if kept:
        print(f"keeping {kept} edge maps already in {output} (--overwrite redoes them)")
    done, failed = {}, []
    start = time.perf_counter()
    try:
        with tqdm(total=len(todo), unit=" files", dynamic_ncols=True) as bar:
            for result in results(todo, workers):
                done[result.source] = result
                if result.error:
                    failed.append(result)
                    bar.set_postfix(failed=len(failed), refresh=False)
                bar.update()
    finally:
        wall = time.perf_counter() - start
        write_summary(output / CSV_NAME, pairs, done)
    return failed, print_totals(done.values(), wall, workers)


def write_summary(path, pairs, done):
    """One row a source; a kept output keeps its row from the last summary."""
    try:
        with open(path, newline="", encoding="utf-8", errors="surrogateescape") as old:
            earlier = {row["source"]: row for row in csv.DictReader(old)}
    except FileNotFoundError:
        earlier = {}
    rows = []
    for source, target in pairs:
        result = done.get(source)
        if result is None:
            row = earlier.get(source, {})
            row = dict(row, source=source, output=target, status=row.get("status", "kept"))
        else:
            row = {"source": source, "output": "" if result.error else target,
                   "status": "failed" if result.error else "done", "width": result.width,
                   "height": result.height, "edge_share": f"{result.edge_share:.6f}",
                   "seconds": f"{result.total_s:.4f}", "error": result.error or ""}
        rows.append(row)
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(f".{path.name}.part")
    with open(partial, "w", newline="", encoding="utf-8", errors="surrogateescape") as out:
        writer = csv.DictWriter(out, CSV_FIELDS, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows)
    partial.replace(path)


def print_totals(finished, wall, workers):
    finished = list(finished)
    calls = sum(result.calls_s for result in finished)
    rate = len(finished) / wall if wall else 0.0
    print(f"{len(finished)} files in {wall:.2f} s with {workers} worker{'s'[:workers > 1]}: "
          f"{rate:.2f} files/s")
    if finished and wall:
        # Worker time not spent inside readimg and sobel: file system, PNG
        # writing, starting the pool, passing work around, idle workers.
        print(f"time outside readimg + sobel: {100 * (1 - calls / (wall * workers)):.1f}%")
    return rate


def report(failed, output):
    if failed:
        print(f"{len(failed)} failed:")
        for result in failed:
            print(f"  {result.source}: {result.error}")
    print(f"summary: {output / CSV_NAME}")


def measure(args):
    """Writes the sample and times the whole run with 1 worker, then with more."""
    sample = Path(args.sources[0]) if args.sources else args.output.with_name(args.output.name + "-sample")
    print(f"writing {args.make_sample} pictures into {sample} (those there are kept)")
    write_sample(sample, args.make_sample, args.workers)
    pairs = find_images([sample], args.output)
    rates = {}
    for workers in sorted({1, args.workers}):
        failed, rates[workers] = run(pairs, args.output, workers, overwrite=True)
    report(failed, args.output)
    line = ", ".join(f"{w} worker{'s'[:w > 1]}: {rate:.2f} files/s" for w, rate in rates.items())
    if len(rates) > 1:
        line += f" ({rates[args.workers] / rates[1]:.2f}x)"
    print(line)
    return failed


def main():
    args = parse_arguments()
    # File names need not be UTF-8: they are printed as the bytes they are.
    sys.stdout.reconfigure(errors="surrogateescape")
    check_sobel()
    try:
        if args.make_sample is not None:
            failed = measure(args)
        else:
            pairs = find_images(args.sources, args.output)
            failed, _ = run(pairs, args.output, args.workers, args.overwrite)
            report(failed, args.output)
    except KeyboardInterrupt:
        sys.exit("stopped; the same command again resumes the run")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
