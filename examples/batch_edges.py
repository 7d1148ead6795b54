#!/usr/bin/python3
"""Edge maps of many image files on every core of this machine, or on the
workers of a Dask cluster.

Each worker reads, finds edges and writes the PNG for its own files; only
paths go out and small results come back. An edge map already there is kept
when it records the same source as now (path, size and modification time), so
a stopped run resumes where it was. SIGINT, SIGTERM or SIGHUP stops the work
at once and writes the summary of what was done. Exit status 1 if any file
failed, after listing every failure with its reason.
"""
import argparse
import contextlib
import csv
import ctypes
import itertools
import logging
import multiprocessing
import os
import signal
import sys
import tempfile
import time
import warnings
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path

import numpy

from tqdm import tqdm

try:
    from edge_job import (EdgeResult, edge_job, edge_jobs, failure, find_images, kept_result,
                          partial_path, quarn, remove_partials)
except ImportError as error:
    sys.exit(f"cannot import quarn ({error}): run `make build`, or put its folder on PYTHONPATH")

# Forked workers start in milliseconds, where fresh interpreters take a tenth
# of a second each to import NumPy and quarn. The price, and this script's
# rule: this process never calls sobel, before its pools fork or after (see
# ProcessPool), as a fork inherits a CUDA context unusable.
WORKERS = multiprocessing.get_context("fork")
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
PR_SET_PDEATHSIG = 1   # Linux prctl: a signal for this process when its parent dies
DIED = "the worker process died on this file (crashed, or killed, e.g. for memory)"
CONNECT_S = 5   # a Dask scheduler, or a worker for it, that takes longer is not there
# Dask: the work a task is given, in seconds, and the most files it takes; the
# tasks in flight a worker thread, so that none waits idle for the next.
TASK_S = 0.1
MAX_TASK_FILES = 1000
TASKS_IN_FLIGHT = 4
# How the CUDA build's warning begins where it finds no usable GPU.
FALLBACK = "no usable CUDA device"
CSV_NAME = "summary.csv"
CSV_FIELDS = ["source", "output", "status", "width", "height", "edge_share", "seconds", "error"]


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, fromfile_prefix_chars="@",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sources", nargs="*", metavar="SRC",
                        help="folder (walked recursively for image names) or file; "
                             "@LIST reads these arguments from LIST, one a line")
    parser.add_argument("-o", "--output", required=True, type=Path, metavar="DST",
                        help="folder for the edge maps, mirroring each SRC folder, "
                             f"and {CSV_NAME}")
    parser.add_argument("--workers", type=int, default=usable_cores(), metavar="N",
                        help="worker processes on this machine (default: one a core, "
                             "%(default)s here)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the workers of this Dask scheduler instead, e.g. "
                             "tcp://10.0.0.5:8786; they must see the files under the same "
                             "paths")
    parser.add_argument("--dask-local", action="store_true",
                        help="run on a Dask cluster of --workers processes, one thread "
                             "each, started on this machine for the run")
    parser.add_argument("--overwrite", action="store_true",
                        help="redo every edge map (default: keep those made from their "
                             "source as it is now)")
    parser.add_argument("--make-sample", type=int, metavar="N",
                        help="write N photo-like pictures into SRC (default: DST-sample), "
                             "then time a run with 1 worker and one with --workers "
                             "(with --scheduler, one run), rewriting the outputs each time")
    args = parser.parse_args()
    if args.workers < 1 or (args.make_sample is not None and args.make_sample < 1):
        parser.error("--workers and --make-sample take a number from 1")
    if not args.sources and args.make_sample is None:
        parser.error("give SRC, or --make-sample N")
    if args.scheduler and args.dask_local:
        parser.error("--scheduler and --dask-local exclude each other")
    return args


def usable_cores():
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:   # not Linux
        return os.cpu_count() or 1


class Stopped(BaseException):
    """A stop signal reached this process. Not an Exception, like
    KeyboardInterrupt, so that nothing that catches a job's faults catches it."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def stop(signum, _frame):
    """The stop signals' handler: raises Stopped once; the stop then runs to
    its end whatever else arrives."""
    for each in STOP_SIGNALS:
        signal.signal(each, signal.SIG_IGN)
    raise Stopped(signum)


def start_worker(parent):
    """Runs first in each worker: it dies with `parent`, however that ends
    (SIGKILL included), and leaves the terminal's signals to it. A Ctrl-C or
    a closed terminal signals the whole process group: workers dying of it
    could be taken for crashes and their files retried, so the parent kills
    them. SIGTERM kills, not the parent's handler that a fork inherits: the
    pool itself ends workers with it. The CUDA build's warning that it runs
    on the CPU is left to the parent (see sobel_check)."""
    for each in (signal.SIGINT, signal.SIGHUP):
        signal.signal(each, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    warnings.filterwarnings("ignore", FALLBACK, RuntimeWarning)   # said once, by the parent
    if sys.platform.startswith("linux"):
        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:   # it died before prctl
        os._exit(1)


def worker_pool(workers):
    """A pool of `workers` forked processes, each started by start_worker."""
    return ProcessPoolExecutor(workers, mp_context=WORKERS, initializer=start_worker,
                               initargs=(os.getpid(),))


def stop_workers(in_flight=(), close=None):
    """Kills every worker process this one has started, or has close() end
    them, and waits for them to end; then removes the partial files they
    leave of the (source, target) pairs `in_flight`."""
    workers = multiprocessing.active_children()
    if close:
        close()
    else:
        for worker in workers:
            worker.kill()
    for worker in workers:
        worker.join(1)
        for _, target in in_flight:
            partial_path(Path(target), worker.pid).unlink(missing_ok=True)


def sobel_check():
    """Runs sobel once, in a worker. Returns why quarn cannot run there, else
    None, and the warning it gave, else None: the CUDA build's, once a
    process, where it finds no usable GPU and computes on the CPU. The worker
    then ignores that one; this process prints it once instead. It imports
    what it needs itself: a Dask worker gets it pickled whole, without this
    script."""
    import warnings
    try:
        import numpy
        import quarn
    except Exception as error:
        return f"{type(error).__name__}: {error}", None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            quarn.sobel(numpy.zeros((1, 1, 1), numpy.uint8))
        except Exception as error:
            return f"{type(error).__name__}: {error}", None
    warnings.filterwarnings("ignore", FALLBACK, RuntimeWarning)
    return None, next((str(warning.message) for warning in caught), None)


class ProcessPool:
    """The engine of forked worker processes on this machine. Entering exits,
    saying why, when sobel cannot run, rather than failing every file alike:
    a worker tries it, so that no CUDA context is made in this process."""

    def __init__(self, workers):
        self.workers = workers

    def __str__(self):
        return f"{self.workers} worker{'s'[:self.workers > 1]}"

    def __enter__(self):
        with worker_pool(1) as pool:
            problem, warning = pool.submit(sobel_check).result()
        if problem:
            sys.exit(f"sobel cannot run here ({problem}); use the CPU build: "
                     "PYTHONPATH=build/cpu /usr/bin/python3 examples/batch_edges.py ...")
        if warning:
            print(f"note: {warning}")
        return self

    def __exit__(self, *exception):
        return False

    def results(self, pairs):
        return results(pairs, self.workers)


def results(pairs, workers, job=edge_job):
    """Yields the EdgeResult of job(source, target) for every pair, in the
    order they finish. A worker that dies takes the files in flight with it:
    each is then retried alone in a fresh process, and a file that kills that
    one too comes back failed. Leaving early (a stop signal, or closing this
    generator) kills the workers at once."""
    todo = iter(pairs)
    while True:
        suspects, in_flight = [], {}
        with worker_pool(workers) as pool:
            try:
                # Two files a worker in flight: none waits idle, and a dying
                # worker leaves only a few files in doubt.
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
            except BaseException:
                stop_workers(in_flight.values())
                raise
        if not suspects:
            return
        for pair in suspects:
            yield alone(job, pair)


def alone(job, pair):
    """job(*pair) in a process of its own; its death fails only this file."""
    with worker_pool(1) as pool:
        try:
            return pool.submit(job, *pair).result()
        except BrokenProcessPool:
            return EdgeResult(pair[0], error=DIED)
        except Exception as error:
            return failure(pair[0], error)
        except BaseException:
            stop_workers([pair])
            raise


class DaskCluster:
    """The engine of the workers of the Dask scheduler at `address` or, where
    that is None, of a cluster of `workers` processes on this machine, one
    thread each, started on entering and closed on leaving. Entering exits,
    in a line, where the scheduler cannot be reached in CONNECT_S or has no
    worker, and names each worker that cannot run quarn; then it ships
    edge_job.py and edge_png.py to the workers."""

    def __init__(self, address, workers):
        self.address, self.local_workers = address, workers
        self.workers = 0   # threads, once entered
        self.cluster = self.client = self.close = None

    def __str__(self):
        threads = f"{self.workers} Dask worker thread{'s'[:self.workers > 1]}"
        return threads if self.address else f"{threads} on this machine"

    def __enter__(self):
        try:
            from distributed import Client
        except ImportError:
            sys.exit("Dask is missing: install it first (Debian: apt-get install python3-dask "
                     "python3-distributed)")
        with contextlib.ExitStack() as opened:
            if self.address is None:
                self.cluster = opened.enter_context(local_cluster(self.local_workers))
                self.client = opened.enter_context(Client(self.cluster))
            else:
                try:
                    self.client = opened.enter_context(Client(self.address, timeout=CONNECT_S))
                except (OSError, ValueError) as error:   # not there, or not an address
                    sys.exit(f"cannot reach the Dask scheduler {self.address}: {error}")
            self.workers = check_workers(self.client, self.address)
            for module in ("edge_png", "edge_job"):   # edge_png first: edge_job imports it
                try:
                    self.client.upload_file(sys.modules[module].__file__)
                except Exception as error:
                    hint = ""
                    if isinstance(error, ImportError):   # the workers' import was checked
                        hint = " (Dask 2023 and later import it on the scheduler too)"
                    sys.exit(f"cannot ship {module}.py to the Dask cluster: "
                             f"{type(error).__name__}: {error}{hint}")
            self.close = opened.pop_all().close
        return self

    def __exit__(self, *exception):
        self.close()
        return False

    def results(self, pairs):
        """Yields the EdgeResult of edge_job for every pair, a task's files
        at a time, in the order the tasks finish. A task takes as many files
        as make about TASK_S of work, from the job times so far (one, to
        begin with): Dask spends about a millisecond on each task, which
        would outweigh a small file's work. TASKS_IN_FLIGHT tasks a worker
        thread are in flight, and results come back in batches, all those
        finished, in one gather each. Dask redoes on other workers the tasks
        of a worker lost midway; the files of a task that several workers
        die on are retried one a task, and a file that does that alone comes
        back failed. Leaving early cancels the tasks in flight, and ends the
        workers of a cluster on this machine, leaving no partial file."""
        from distributed import KilledWorker, as_completed
        todo, in_flight, finishing = iter(pairs), {}, as_completed()   # in_flight: future: pairs
        files, work_s = 0, 0.0

        def submit(tasks):
            if tasks:
                futures = self.client.map(edge_jobs, tasks, pure=False)
                in_flight.update(zip(futures, tasks))
                finishing.update(futures)

        def top_up():
            per_task = max(1, min(round(TASK_S * files / work_s), MAX_TASK_FILES)) if work_s else 1
            tasks = []
            while len(in_flight) + len(tasks) < TASKS_IN_FLIGHT * self.workers:
                task = list(itertools.islice(todo, per_task))
                if not task:
                    break
                tasks.append(task)
            submit(tasks)

        try:
            top_up()
            for batch in finishing.batches():
                finished = [future for future in batch if future.status == "finished"]
                try:
                    values = dict(zip(finished, self.client.gather(finished)))
                except Exception:   # a result lost with its worker, and redoing it failed
                    values = {}
                for future in batch:
                    task = in_flight.pop(future)
                    if (len(task) > 1 and future.status == "error"
                            and isinstance(future.exception(), KilledWorker)):
                        submit([[pair] for pair in task])
                        continue
                    done = values[future] if future in values else task_results(future, task)
                    files += len(done)
                    work_s += sum(result.total_s for result in done)
                    yield from done
                top_up()
        except BaseException:
            self.client.cancel(list(in_flight))
            if self.cluster is not None:   # closed, not killed: else its workers restart
                # What its scheduler logs of the work it loses is no news here.
                logging.getLogger("distributed").setLevel(logging.CRITICAL)
                stop_workers(list(itertools.chain.from_iterable(in_flight.values())), self.close)
            raise


def task_results(future, task):
    """The EdgeResults of the settled Dask future of edge_jobs(task)."""
    from distributed import CancelledError, KilledWorker
    try:
        return future.result()
    except KilledWorker:   # in Dask's words: several workers died on it
        error = DIED
    except CancelledError:   # not an Exception
        error = "the Dask scheduler dropped this file"
    except Exception as exception:   # a fault the job does not catch
        error = f"{type(exception).__name__}: {exception}"
    return [EdgeResult(source, error=error) for source, _ in task]


def local_cluster(workers):
    """A Dask cluster of `workers` processes on this machine, one thread each,
    reached on 127.0.0.1 alone. Its workers start with SIGINT and SIGHUP
    ignored, for the reason start_worker gives; a fresh interpreter keeps that."""
    from distributed import LocalCluster
    terminal = {each: signal.signal(each, signal.SIG_IGN) for each in (signal.SIGINT, signal.SIGHUP)}
    try:
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                            host="127.0.0.1", dashboard_address="127.0.0.1:0")
    finally:
        for each, handler in terminal.items():
            signal.signal(each, handler)


def check_workers(client, address):
    """The worker threads of the cluster; exits, in a line a worker, where
    there is none or any cannot run quarn."""
    try:
        client.wait_for_workers(1, timeout=CONNECT_S)
    except TimeoutError:
        sys.exit(f"the Dask scheduler {address} has no worker")
    checks = client.run(sobel_check)
    problems = [f"Dask worker {worker} cannot run quarn: {problem}"
                for worker, (problem, _) in checks.items() if problem]
    if problems:
        sys.exit("\n".join(problems))
    for warning in sorted({warning for _, warning in checks.values() if warning}):
        workers = sum(warning == each for _, each in checks.values())
        print(f"note: {workers} Dask worker{'s'[:workers > 1]}: {warning}")
    return sum(client.nthreads().values())


def engine_for(args, workers):
    """The engine that `args` ask for, with `workers` local processes."""
    if args.scheduler or args.dask_local:
        return DaskCluster(args.scheduler, workers)
    return ProcessPool(workers)


def check_output(output):
    """Exits, saying why, when no edge map could be written into `output`."""
    try:
        output.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=output):
            pass
    except OSError as error:
        sys.exit(f"cannot write into the output folder {output}: {error.strerror or error}")


def run(pairs, refused, output, engine, overwrite):
    """Processes the pairs on the entered `engine`; writes the summary CSV of what was done, however
    the run ends, and prints the totals. `refused`: the EdgeResults of the
    sources that find_images refused. Returns the failed EdgeResults and the
    files per second."""
    remove_partials(target for _, target in pairs)
    kept = {}
    if not overwrite:
        kept = {source: result for source, target in pairs
                if (result := kept_result(source, target)) is not None}
    if kept:
        print(f"keeping {len(kept)} edge maps already in {output}, made from their sources "
              "as these are now (--overwrite redoes them)")
    todo = [pair for pair in pairs if pair[0] not in kept]
    done, failed = {}, list(refused)
    start = time.perf_counter()
    try:
        with tqdm(total=len(todo), unit=" files", dynamic_ncols=True) as bar, \
                contextlib.closing(engine.results(todo)) as finishing:
            for result in finishing:
                done[result.source] = result
                if result.error:
                    failed.append(result)
                    bar.set_postfix(failed=len(failed), refresh=False)
                bar.update()
    finally:
        wall = time.perf_counter() - start
        try:
            write_summary(output / CSV_NAME, pairs, refused, kept, done)
        except OSError as error:   # the run's failures are listed all the same
            failed.append(failure(str(output / CSV_NAME), error))
            print(f"cannot write the summary: {error}", file=sys.stderr)
    return failed, print_totals(done.values(), wall, engine)


def write_summary(path, pairs, refused, kept, done):
    """A row for each source in `refused`, then one for each source of
    `pairs` that was `kept` or `done` (dicts by source of EdgeResults), in
    their order; none for the sources a stopped run never reached."""
    rows = [summary_row(result, "", "failed") for result in refused]
    for source, target in pairs:
        if source in kept:
            rows.append(summary_row(kept[source], target, "kept"))
        elif source in done:
            result = done[source]
            rows.append(summary_row(result, "", "failed") if result.error else
                        summary_row(result, target, "done"))
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(f".{path.name}.part")
    with open(partial, "w", newline="", encoding="utf-8", errors="surrogateescape") as out:
        writer = csv.DictWriter(out, CSV_FIELDS)
        writer.writeheader()
        writer.writerows(rows)
    partial.replace(path)


def summary_row(result, output, status):
    return {"source": result.source, "output": output, "status": status,
            "width": result.width, "height": result.height,
            "edge_share": f"{result.edge_share:.6f}", "seconds": f"{result.total_s:.4f}",
            "error": result.error or ""}


def print_totals(finished, wall, engine):
    finished = list(finished)
    calls = sum(result.calls_s for result in finished)
    rate = len(finished) / wall if wall else 0.0
    print(f"{len(finished)} files in {wall:.2f} s with {engine}: {rate:.2f} files/s")
    if finished and wall:
        # Worker time not spent inside readimg and sobel: file system, PNG
        # writing, starting the pool, passing work around, idle workers.
        share = 1 - calls / (wall * engine.workers)
        print(f"time outside readimg + sobel: {100 * share:.1f}%")
    return rate


def report(failed, output):
    if failed:
        print(f"{len(failed)} failed:")
        for result in failed:
            print(f"  {result.source}: {result.error}")
    print(f"summary: {output / CSV_NAME}")


def measure(args):
    """Writes the sample and times the whole run with 1 worker, then with
    more; on a Dask scheduler's workers, once."""
    from sample_images import write_sample   # Pillow: needed here alone

    sample = Path(args.sources[0]) if args.sources else args.output.with_name(args.output.name + "-sample")
    print(f"writing {args.make_sample} pictures into {sample} (those there are kept)")
    write_sample(sample, args.make_sample, args.workers)
    pairs = find_images([sample], args.output)
    rates = {}
    for workers in [args.workers] if args.scheduler else sorted({1, args.workers}):
        with engine_for(args, workers) as running:
            failed, rates[str(running)] = run(pairs, [], args.output, running, overwrite=True)
    report(failed, args.output)
    line = ", ".join(f"{name}: {rate:.2f} files/s" for name, rate in rates.items())
    if len(rates) > 1:
        one, *_, more = rates.values()
        line += f" ({more / one:.2f}x)"
    print(line)
    return failed


def main():
    args = parse_arguments()
    # File names need not be UTF-8: they are printed as the bytes they are.
    sys.stdout.reconfigure(errors="surrogateescape")
    for each in STOP_SIGNALS:
        signal.signal(each, stop)
    try:
        check_output(args.output)
        if args.workers > usable_cores():
            print(f"note: {args.workers} workers on {usable_cores()} cores; "
                  "workers beyond one a core only slow the run")
        if args.make_sample is not None:
            failed = measure(args)
        else:
            with engine_for(args, args.workers) as running:
                refused = []
                pairs = find_images(args.sources, args.output, refused)
                failed, _ = run(pairs, refused, args.output, running, args.overwrite)
            report(failed, args.output)
    except Stopped as stopped:
        print(f"stopped by {stopped}: {args.output / CSV_NAME} lists what was done; "
              "the same command again resumes the run", file=sys.stderr)
        sys.exit(128 + stopped.signum)   # as a shell reports a command a signal ended
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
