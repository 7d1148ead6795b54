"""The whole edge job for one image file, shaped to run in any worker process.

A worker reads the file, finds its edges and writes the PNG itself, so only
two paths go in and a few numbers come back. Shipping the arrays instead would
cost more than the work: readimg gives 8 bytes a sample, 29 MB for 1280x960.
"""
import os
import sys
import time
from pathlib import Path
from typing import NamedTuple, Optional

import numpy

try:
    import quarn
except ImportError:
    # Run from a checkout with no PYTHONPATH: its CPU build, where there is one.
    sys.path.append(str(Path(__file__).resolve().parent.parent / "build" / "cpu"))
    import quarn

from edge_png import png_bytes, read_record

# Names a folder walk picks up. A file named on its own is always tried, since
# readimg tells formats apart by content, not by name.
IMAGE_SUFFIXES = {".jpg", ".jpeg", ".png", ".bmp", ".gif", ".psd", ".pic",
                  ".pnm", ".ppm", ".pgm", ".hdr", ".tga"}


class EdgeResult(NamedTuple):
    """What comes back for one file: its size, or the error that stopped it."""
    source: str
    width: int = 0
    height: int = 0
    edge_share: float = 0.0   # edge pixels / all pixels, 0 to 1
    calls_s: float = 0.0      # readimg + sobel
    total_s: float = 0.0      # the whole job, PNG included
    error: Optional[str] = None


def failure(source, error):
    """The EdgeResult of a file that failed with `error`."""
    return EdgeResult(source, error=f"{type(error).__name__}: {error}")


def edge_job(source, target):
    """Finds the edges of image file `source` and writes them to `target`.

    The PNG is the size of the image, white on edges and black elsewhere, and
    records the source's path, size and modification time as they were before
    reading (see edge_png); missing folders are made, and the file appears
    whole or not at all. Returns the EdgeResult; ValueError, OSError and
    MemoryError come back as its error rather than raised.
    """
    start = time.perf_counter()
    try:
        status = os.stat(source)   # before reading: a change while it is read shows next time
        planes = quarn.readimg(os.fsencode(source))  # bytes: any file name
        if planes.size == 0:
            raise ValueError(f"{source}: the image has no pixels")
        edges = quarn.sobel(planes)
        calls_s = time.perf_counter() - start
        on_edge = edges.astype(numpy.uint8)   # 1 byte a pixel: the cheapest to pack
        share = numpy.count_nonzero(on_edge) / on_edge.size
        record = {"path": os.fsdecode(source), "size": status.st_size,
                  "mtime_ns": status.st_mtime_ns, "edge_share": share,
                  "seconds": time.perf_counter() - start}
        write_file(Path(target), png_bytes(on_edge, record))
    except (ValueError, OSError, MemoryError) as error:
        return failure(source, error)
    height, width = edges.shape
    return EdgeResult(source, width, height, share, calls_s, time.perf_counter() - start)


def edge_jobs(pairs):
    """[edge_job(source, target) for each pair]: one task for many small files."""
    return [edge_job(*pair) for pair in pairs]


def kept_result(source, target):
    """The EdgeResult recorded in `target` when edge_job made it from `source`
    as that file is now (same path, size and modification time); None when
    `target` is missing, made otherwise, or `source` has changed or gone."""
    written = read_record(target)
    if written is None or not isinstance(written[2], dict):
        return None
    width, height, record = written
    try:
        status = os.stat(source)
    except OSError:
        return None
    if (record.get("path"), record.get("size"), record.get("mtime_ns")) != (
            os.fsdecode(source), status.st_size, status.st_mtime_ns):
        return None
    return EdgeResult(source, width, height, float(record.get("edge_share", 0)),
                      total_s=float(record.get("seconds", 0)))


def partial_path(target, pid):
    """The hidden file that process `pid` writes `target` through."""
    return target.with_name(f".{target.name}.{pid}.part")


def remove_partials(targets):
    """Removes the partial files left beside `targets` by workers killed
    outright mid-write (a run stopped by SIGKILL, a lost machine): no worker
    writes these targets before the run that calls this hands them out."""
    targets = {Path(target) for target in targets}
    for folder in {target.parent for target in targets}:
        try:
            leftovers = [entry.path for entry in os.scandir(folder)
                         if entry.name.startswith(".") and entry.name.endswith(".part")]
        except OSError:   # no folder yet, or one this run will report on
            continue
        for leftover in map(Path, leftovers):
            name, pid, _ = leftover.name[1:].rsplit(".", 2)
            if pid.isdigit() and folder / name in targets:
                leftover.unlink(missing_ok=True)


def write_file(target, data):
    """Writes `data` to `target` through a hidden partial file, so a run stopped
    midway leaves no truncated file for a resumed run to keep."""
    target.parent.mkdir(parents=True, exist_ok=True)
    partial = partial_path(target, os.getpid())
    try:
        partial.write_bytes(data)
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)


def find_images(sources, output, failures=None):
    """(source, target) pairs, absolute paths, for every file to process.

    Each of `sources` is a folder, walked recursively for image names
    (sorted), or a file, taken as it is. A target is its source's path below
    the folder argument it was found in, inside `output`, plus ".png": the
    folder photos gives photos/2024/a.jpg the target output/2024/a.jpg.png,
    and a file given itself, output/a.jpg.png. So a source's target depends
    on its own argument alone, whatever else the run is given. A file that
    two arguments reach (a folder and one inside it) counts once, under the
    first. Where sources of two arguments would share a target (photos/a.jpg
    and scans/a.jpg), the first in argument order has it and each later one
    fails, unwritten.

    No edge map that edge_job wrote (a PNG carrying its record, see
    edge_png) is ever taken for an image, wherever it lies, so a source
    folder that holds the output folder, or is it or lies inside it (symlinks
    resolved), gives no edge maps of edge maps; the walk skips `output` where
    it lies inside a source. A folder that cannot be listed, and a source
    refused for its target, are appended to `failures` as EdgeResults, or
    raised (OSError, ValueError) when `failures` is None.
    """
    output = os.path.abspath(output)
    output_real = os.path.realpath(output)
    found = {}   # source: target, in the order found
    for source in map(os.path.abspath, sources):
        if not os.path.isdir(source):
            found.setdefault(source, os.path.basename(source))
            continue
        walk = os.walk(source, onerror=lambda error: refuse(failures, error.filename, error))
        for folder, subfolders, names in walk:
            subfolders[:] = sorted(d for d in subfolders
                                   if os.path.realpath(os.path.join(folder, d)) != output_real)
            for name in sorted(names):
                if os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES:
                    path = os.path.join(folder, name)
                    found.setdefault(path, os.path.relpath(path, source))
    pairs, owners = [], {}
    for path, relative in found.items():
        if is_edge_map(path):
            continue
        target = os.path.join(output, relative + ".png")
        owner = owners.setdefault(target, path)
        if owner == path:
            pairs.append((path, target))
        else:
            refuse(failures, path, ValueError(f"its edge map {target} is that of {owner} "
                                              "in this run; give it a run with another -o"))
    return pairs


def is_edge_map(path):
    """Whether `path` is a PNG that edge_job wrote: one that carries its record."""
    return path.lower().endswith(".png") and read_record(path) is not None


def refuse(failures, source, error):
    """`source` fails before any work with `error`: appended to `failures`,
    or raised when that is None."""
    if failures is None:
        raise error
    failures.append(failure(source, error))
