"""The many-images examples: every edge map written, every failure listed, runs resumed."""
import csv
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy
import pytest
from PIL import Image

import quarn
from conftest import needs_backend
from images import random_rgb, save

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
from edge_job import edge_job, find_images  # noqa: E402

pytestmark = needs_backend
# The batch script's progress bar; `make test` installs it, a bare GPU machine may lack it.
pytest.importorskip("tqdm", reason="apt-get install python3-tqdm")

GOOD = ["a.png", "sub/b.jpg", os.fsdecode(b"caf\xe9.png")]   # a name that is not UTF-8
FAILING = {"broken.png": "ValueError", "gone.png": "FileNotFoundError",
           "pipe.png": "Not a regular file"}


def run(script, *args):
    return subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          capture_output=True, text=True, errors="surrogateescape", timeout=120)


def summary(out):
    with open(out / "summary.csv", newline="", errors="surrogateescape") as rows:
        return {Path(row["source"]).name: row for row in csv.DictReader(rows)}


def outputs(out):
    return {path: (path.stat().st_ino, path.stat().st_mtime_ns) for path in out.rglob("*.png")}


@pytest.fixture(scope="module")
def first_run(tmp_path_factory):
    source, out = tmp_path_factory.mktemp("photos"), tmp_path_factory.mktemp("edges")
    (source / "sub").mkdir()
    for name in GOOD:
        save(source / name, random_rgb(30, 40))
    (source / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(40))
    (source / "gone.png").symlink_to(source / "missing.png")
    os.mkfifo(source / "pipe.png")   # read naively, it would hang the worker
    return source, out, run("batch_edges.py", source, "-o", out, "--workers", 2), outputs(out)


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
        edges = quarn.sobel(quarn.readimg(os.fsencode(source / name)))
        written = numpy.asarray(Image.open(out / f"{name}.png").convert("L"))
        numpy.testing.assert_array_equal(written, edges)
        assert float(rows[Path(name).name]["edge_share"]) == pytest.approx(
            numpy.count_nonzero(edges) / edges.size, abs=1e-6)


def test_rerun_keeps_what_is_written(first_run):
    source, out, _, written = first_run
    rows = summary(out)
    again = run("batch_edges.py", source, "-o", out, "--workers", 2)
    assert again.returncode == 1 and f"keeping {len(GOOD)} edge maps" in again.stdout
    assert outputs(out) == written   # same files, same inodes, same times
    assert summary(out) == rows


def dies_on_bomb(source, target):
    """edge_job, but the worker process is killed on a file named bomb.png."""
    if source.endswith("bomb.png"):
        os.kill(os.getpid(), signal.SIGKILL)
    return edge_job(source, target)


def test_a_dying_worker_fails_only_its_own_file(tmp_path):
    import batch_edges
    for n in range(6):
        save(tmp_path / f"{n}.png", random_rgb(8, 8))
    save(tmp_path / "bomb.png", random_rgb(8, 8))
    pairs = find_images([tmp_path], tmp_path / "out")
    results = {Path(r.source).name: r.error for r in batch_edges.results(pairs, 2, dies_on_bomb)}
    assert results == {**{f"{n}.png": None for n in range(6)}, "bomb.png": batch_edges.DIED}


def test_dask_example_gives_the_same_edge_shares(first_run, tmp_path):
    pytest.importorskip("distributed", reason="Dask is optional: apt-get install python3-distributed")
    source, out, _, _ = first_run
    completed = run("dask_edges.py", source, "-o", tmp_path, "--workers", 2)
    assert completed.returncode == 1, completed.stderr
    shares = dict(reversed(line.split(" ", 1)) for line in completed.stdout.splitlines())
    assert {Path(path).name: share for path, share in shares.items()} == {
        name: row["edge_share"] for name, row in summary(out).items() if row["status"] == "done"}
    assert all(f"failed: {source / name}: " in completed.stderr for name in FAILING)
