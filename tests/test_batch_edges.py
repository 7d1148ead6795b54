"""The many-images examples: every edge map written, every failure listed, runs resumed.

Whatever forks runs in a fresh interpreter, never in this one: conftest's sobel
call makes a CUDA context here on a GPU, and a child forked from it could
make no CUDA call at all."""
import csv
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy
import pytest
from PIL import Image

import quarn
from images import random_rgb, save

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
# The batch script's progress bar; `make test` installs it, a bare GPU machine may lack it.
pytest.importorskip("tqdm", reason="apt-get install python3-tqdm")

GOOD = ["a.png", "sub/b.jpg", os.fsdecode(b"caf\xe9.png")]   # a name that is not UTF-8
FAILING = {"broken.png": "ValueError", "gone.png": "FileNotFoundError",
           "pipe.png": "Not a regular file"}
ENV = dict(os.environ, PYTHONPATH=str(Path(quarn.__file__).parent))


def run(script, *args, prefix=()):
    return subprocess.run([*prefix, sys.executable, str(EXAMPLES / script), *map(str, args)],
                          env=ENV, capture_output=True, text=True, errors="surrogateescape",
                          timeout=120)


def summary(out):
    with open(out / "summary.csv", newline="", errors="surrogateescape") as rows:
        return {Path(row["source"]).name: row for row in csv.DictReader(rows)}


def outputs(out):
    return {path: (path.stat().st_ino, path.stat().st_mtime_ns) for path in out.rglob("*.png")}


def assert_edges_of(source, edge_map):
    edges = quarn.sobel(quarn.readimg(os.fsencode(source)))
    numpy.testing.assert_array_equal(numpy.asarray(Image.open(edge_map).convert("L")), edges)
    return edges


@pytest.fixture(scope="module")
def dask_cluster():
    """(scheduler address, worker process ids) of a Dask cluster of two
    worker processes on 127.0.0.1 for this module's tests. Without Dask the
    tests that use it skip, but fail under `make test`, which installs it."""
    if os.environ.get("QUARN_REQUIRE_DASK") != "1":
        pytest.importorskip("distributed", reason="apt-get install python3-distributed")
    from distributed import Client, LocalCluster
    with warnings.catch_warnings():   # Debian 12's Tornado on Dask's start: not ours
        warnings.simplefilter("ignore", DeprecationWarning)
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address="127.0.0.1:0")
    with cluster, Client(cluster) as client:
        yield cluster.scheduler_address, list(client.run(os.getpid).values())


def engine_args(engine, request):
    """batch_edges.py's arguments for two workers of `engine`."""
    if engine == "dask":
        return ["--scheduler", request.getfixturevalue("dask_cluster")[0]]
    return ["--dask-local", "--workers", 2] if engine == "dask-local" else ["--workers", 2]


# On Dask, the first run goes to a running scheduler, its rerun to a cluster of its own.
@pytest.fixture(scope="module", params=[("pool", "pool"), ("dask", "dask-local")],
                ids=["pool", "dask"])
def first_run(tmp_path_factory, request):
    """(source folder, output folder, the run, the rerun's engine arguments)."""
    source, out = tmp_path_factory.mktemp("photos"), tmp_path_factory.mktemp("edges")
    (source / "sub").mkdir()
    for name in GOOD:
        save(source / name, random_rgb(30, 40))
    (source / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(40))
    (source / "gone.png").symlink_to(source / "missing.png")
    os.mkfifo(source / "pipe.png")   # read naively, it would hang the worker
    first, again = (engine_args(engine, request) for engine in request.param)
    return source, out, run("batch_edges.py", source, "-o", out, *first), again


def test_batch_writes_every_edge_map_and_lists_every_failure(first_run):
    source, out, completed, _ = first_run
    assert completed.returncode == 1, completed.stderr
    assert f"{len(FAILING)} failed:" in completed.stdout
    for name, reason in FAILING.items():
        assert any(line.startswith(f"  {source / name}: ") and reason in line
                   for line in completed.stdout.splitlines()), name
    rows = summary(out)
    assert {name: row["status"] for name, row in rows.items()} == {
        **{Path(name).name: "done" for name in GOOD}, **{name: "failed" for name in FAILING}}
    for name in GOOD:
        edges = assert_edges_of(source / name, out / f"{name}.png")
        assert float(rows[Path(name).name]["edge_share"]) == pytest.approx(
            numpy.count_nonzero(edges) / edges.size, abs=1e-6)


def test_rerun_keeps_what_is_written(first_run, tmp_path):
    source, first_out, _, engine = first_run
    out = tmp_path / "edges"
    shutil.copytree(first_out, out)   # this test's own, whatever ran before
    rows, written = summary(out), outputs(out)
    again = run("batch_edges.py", source, "-o", out, *engine)
    assert again.returncode == 1 and f"keeping {len(GOOD)} edge maps" in again.stdout, again.stderr
    assert outputs(out) == written   # same files, same inodes, same times
    # Kept rows as they were, in their new place, the job's seconds aside (the
    # write's own time).
    assert {name: {**row, "seconds": ""} for name, row in summary(out).items()} == {
        name: {**row, "seconds": "", "status": row["status"].replace("done", "kept"),
               "output": row["output"].replace(str(first_out), str(out))}
        for name, row in rows.items()}


def test_edge_maps_are_kept_only_for_their_own_source_as_it_is(tmp_path):
    for year, shape in [("2023", (30, 40)), ("2024", (20, 50))]:
        (tmp_path / year).mkdir()
        save(tmp_path / year / "a.png", random_rgb(*shape))
    out = tmp_path / "out"
    # Camera names collide: each run redoes what another source made, and
    # the last, the same source since changed.
    for year, change in [("2023", False), ("2024", False), ("2023", False), ("2023", True)]:
        if change:
            save(tmp_path / year / "a.png", random_rgb(30, 40))
            os.utime(tmp_path / year / "a.png", ns=(0, 0))
        completed = run("batch_edges.py", tmp_path / year, "-o", out)
        assert completed.returncode == 0, completed.stderr
        assert summary(out)["a.png"]["status"] == "done"
        assert_edges_of(tmp_path / year / "a.png", out / "a.png.png")
    # A map stays its source's whatever else a run is given; a later source
    # of the same map fails, and leaves it as it is.
    completed = run("batch_edges.py", tmp_path / "2023", tmp_path / "2024", "-o", out)
    assert completed.returncode == 1 and "keeping 1 edge map" in completed.stdout
    assert (f"  {tmp_path / '2024' / 'a.png'}: ValueError: its edge map {out / 'a.png.png'} "
            f"is that of {tmp_path / '2023' / 'a.png'} in this run") in completed.stdout
    with open(out / "summary.csv", newline="") as rows:
        assert [(row["source"], row["status"]) for row in csv.DictReader(rows)] == [
            (str(tmp_path / "2024" / "a.png"), "failed"), (str(tmp_path / "2023" / "a.png"), "kept")]
    assert_edges_of(tmp_path / "2023" / "a.png", out / "a.png.png")
    # No edge map is read back as an image, whatever the relation of the two
    # paths: each run over a folder that holds its own output adds nothing.
    (tmp_path / "link").symlink_to(tmp_path / "2024")
    for source, output in [("2024", "2024"), ("2024", "2024"), ("link", "2024"), ("2024", ".")]:
        assert run("batch_edges.py", tmp_path / source, "-o", tmp_path / output).returncode == 0
    assert sorted(path.name for path in (tmp_path / "2024").iterdir()) == [
        "a.png", "a.png.png", "summary.csv"]
    assert_edges_of(tmp_path / "2024" / "a.png", tmp_path / "2024" / "a.png.png")
    assert run("batch_edges.py", tmp_path, "-o", out).returncode == 0
    with open(out / "summary.csv", newline="") as rows:
        assert sorted(row["source"] for row in csv.DictReader(rows)) == [
            str(tmp_path / "2023" / "a.png"), str(tmp_path / "2024" / "a.png")]


def worker_pids(parent):
    """The processes whose parent is `parent`, from /proc."""
    children = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == parent:
            children.append(int(stat.parent.name))
    return children


def alive(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="needs Linux /proc")
@pytest.mark.parametrize("signum, engine", [(signal.SIGTERM, "pool"), (signal.SIGKILL, "pool"),
                                            (signal.SIGTERM, "dask")])
def test_a_stopped_run_leaves_no_worker_and_a_true_summary(tmp_path, signum, engine, request):
    source, out = tmp_path / "photos", tmp_path / "out"
    source.mkdir()
    y, x = numpy.indices((600, 800))
    save(source / "0.png", numpy.dstack([x % 256, y % 256, (x + y) % 256]).astype(numpy.uint8))
    for n in range(1, 60):
        shutil.copy(source / "0.png", source / f"{n}.png")
    args = engine_args(engine, request)
    command = [sys.executable, EXAMPLES / "batch_edges.py", source, "-o", out, *map(str, args)]
    main = subprocess.Popen(command, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while len(list(out.glob("*.png.png"))) < 3 and time.monotonic() < deadline:
        time.sleep(0.01)
    # The pool's workers are the script's own; a running cluster's outlive it.
    own = engine == "pool"
    workers = worker_pids(main.pid) if own else request.getfixturevalue("dask_cluster")[1]
    try:
        for pid in workers:   # frozen mid-file, so the run cannot end by itself
            os.kill(pid, signal.SIGSTOP)
        main.send_signal(signum)
        main.communicate(timeout=10)
        deadline = time.monotonic() + 2
        while own and any(map(alive, workers)) and time.monotonic() < deadline:
            time.sleep(0.05)
    finally:   # nothing left behind, whatever failed
        for pid in [main.pid, *workers] if own else [main.pid]:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
        for pid in [] if own else workers:
            os.kill(pid, signal.SIGCONT)
    assert len(workers) == 2 and not (own and any(map(alive, workers)))
    assert main.returncode == (128 + signum if signum != signal.SIGKILL else -signum)
    if signum != signal.SIGKILL:
        rows = summary(out)
        assert len(rows) < 60 and {row["status"] for row in rows.values()} <= {"done"}
        assert all(Path(row["output"]).is_file() for row in rows.values())
    (out / ".59.png.png.4194304.part").write_bytes(b"")   # as a worker killed mid-write leaves
    again = run("batch_edges.py", source, "-o", out, *args)
    assert again.returncode == 0, again.stderr
    rows = summary(out)
    assert len(rows) == 60 and {row["status"] for row in rows.values()} == {"done", "kept"}
    assert_edges_of(source / "59.png", out / "59.png.png")
    assert not list(out.rglob("*.part"))   # none left by the stop, nor by the rerun


def test_unreadable_folders_fail_and_an_unwritable_output_stops_at_once(tmp_path):
    (tmp_path / "photos" / "locked").mkdir(parents=True)
    save(tmp_path / "photos" / "a.png", random_rgb(8, 8))
    save(tmp_path / "photos" / "locked" / "b.png", random_rgb(8, 8))
    (tmp_path / "read-only").mkdir()
    for folder, mode in [("photos/locked", 0), ("read-only", 0o555)]:
        (tmp_path / folder).chmod(mode)
    # Root reads and writes whatever the modes say, unless it gives up that power.
    prefix = []
    if os.access(tmp_path / "read-only", os.W_OK):
        prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
        locked = str(tmp_path / "photos" / "locked")
        probe = subprocess.run([*prefix, sys.executable, "-c", f"print('ready'); open({locked!r})"],
                               capture_output=True, text=True) if shutil.which("setpriv") else None
        if not probe or probe.stdout != "ready\n" or "PermissionError" not in probe.stderr:
            (tmp_path / "photos" / "locked").chmod(0o755)
            pytest.skip("this user reads and writes whatever the modes say")
    try:
        completed = run("batch_edges.py", tmp_path / "photos", "-o", tmp_path / "out",
                        prefix=prefix)
        unwritable = run("batch_edges.py", tmp_path / "photos", "-o", tmp_path / "read-only" / "out",
                         prefix=prefix)
    finally:
        (tmp_path / "photos" / "locked").chmod(0o755)
    assert completed.returncode == 1
    assert f"  {tmp_path / 'photos' / 'locked'}: PermissionError" in completed.stdout
    assert {name: row["status"] for name, row in summary(tmp_path / "out").items()} == {
        "locked": "failed", "a.png": "done"}
    assert unwritable.returncode == 1 and "Traceback" not in unwritable.stderr
    assert unwritable.stderr.splitlines() == [
        f"cannot write into the output folder {tmp_path / 'read-only' / 'out'}: Permission denied"]


# Forks in a fresh interpreter: see the module's docstring.
DYING_WORKER = """
import json, os, signal, sys, time
from pathlib import Path
sys.path.insert(0, sys.argv[1])
import batch_edges
from edge_job import edge_job, find_images

def dies_on_bomb(source, target):
    if source.endswith("bomb.png"):
        time.sleep(0.5)   # the other worker idle by then, for the pool to end with SIGTERM
        os.kill(os.getpid(), signal.SIGKILL)
    return edge_job(source, target)

for each in batch_edges.STOP_SIGNALS:   # as main() does: workers must not inherit them
    signal.signal(each, batch_edges.stop)
pairs = find_images([sys.argv[2]], os.path.join(sys.argv[2], "out"))
print(json.dumps({Path(r.source).name: r.error for r in batch_edges.results(pairs, 2, dies_on_bomb)}))
"""


def test_a_dying_worker_fails_only_its_own_file(tmp_path):
    for n in range(6):
        save(tmp_path / f"{n}.png", random_rgb(8, 8))
    save(tmp_path / "bomb.png", random_rgb(8, 8))
    completed = subprocess.run([sys.executable, "-c", DYING_WORKER, EXAMPLES, tmp_path], env=ENV,
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0 and not completed.stderr, completed.stderr
    assert json.loads(completed.stdout) == {
        **{f"{n}.png": None for n in range(6)},
        "bomb.png": "the worker process died on this file (crashed, or killed, e.g. for memory)"}
