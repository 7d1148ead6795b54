"""Benchmark of quarn.readimg and quarn.sobel against stb_image, OpenCV and Pillow.

`make bench` runs it with the CPU build on PYTHONPATH. It writes photo-like
images to build/bench/, checks that quarn.sobel and OpenCV agree, then prints
medians, same-run ratios and the extra memory of each call, and which targets
quarn meets. With --sobel-only it prints just the sobel timings (the GPU
section runs it that way on the CUDA build).
"""
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import contenders
import photos

ROOT = Path(__file__).resolve().parent.parent
FOLDER = ROOT / "build" / "bench"
SIZES = [(1920, 1080), (3840, 2160)]
DECODE_REPEATS = {(1920, 1080): 20, (3840, 2160): 12}
SOBEL_REPEATS = {(1920, 1080): 60, (3840, 2160): 24}
BURSTS = 4
MIB = 1 << 20


def medians(calls, repeats):
    """Median seconds per call, over `repeats` calls of each.

    Each call is timed in its own steady state: in bursts that start with one
    untimed call. glibc then hands a call the memory its previous call freed,
    as in a program that calls it in a loop, instead of whatever another
    contender left behind (page faults cost more than most of this work, so
    that would decide the ratios). The bursts take turns, each round starting
    with the next contender, so drift in the machine hits all alike."""
    names = list(calls)
    seconds = {name: [] for name in names}
    for burst in range(BURSTS):
        for name in names[burst % len(names):] + names[:burst % len(names)]:
            calls[name]()
            for _ in range(-(-repeats // BURSTS)):
                start = time.perf_counter()
                result = calls[name]()
                seconds[name].append(time.perf_counter() - start)
                del result  # freeing the result is not part of the call
    return {name: statistics.median(seconds[name]) for name in names}


def extra_memory(*args):
    """Bytes a call needs beyond its result, from peak_memory.py in a fresh process."""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")
    out = subprocess.run([sys.executable, str(Path(__file__).parent / "peak_memory.py"),
                          *map(str, args)], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)["extra"]


def row(name, median, reference, extra=None):
    memory = "" if extra is None else f"{extra / MIB:9.1f} MiB"
    print(f"  {name:<32}{median * 1e3:9.2f} ms{median / reference:8.2f}x{memory}", flush=True)


def header(title, reference):
    print(f"\n{title:<34}{'median':>10}{'vs ' + reference:>13}{'extra memory':>13}")


def decode_section(targets):
    for fmt in photos.FORMATS:
        for size in SIZES:
            path = photos.photo_path(FOLDER, fmt, size)
            tiny = photos.photo_path(FOLDER, fmt, photos.TINY)
            times = medians(contenders.decoders(path), DECODE_REPEATS[size])
            reference = times["stb_image decode alone"]
            header(f"readimg, {fmt} {size[0]}x{size[1]}", "stb")
            for name, median in times.items():
                row(name, median, reference, extra_memory("decode", name, path, tiny))
            targets[("readimg", fmt, size)] = times["quarn.readimg"] / reference


def check_sobel_agrees_with_opencv(image, label):
    quarn_map = contenders.quarn.sobel(image)
    opencv_map = contenders.opencv_edges(image)
    if not (quarn_map.shape == opencv_map.shape and (quarn_map == opencv_map).all()):
        sys.exit(f"FAILED: quarn.sobel and OpenCV disagree on {label}")


def sobel_section(targets, build, with_memory=True):
    png_tiny = photos.photo_path(FOLDER, "PNG", photos.TINY)
    for size in SIZES:
        png = photos.photo_path(FOLDER, "PNG", size)
        for dtype in ["uint8", "int64"]:
            image = contenders.sobel_input(png, dtype)
            label = f"{dtype} (3, {size[1]}, {size[0]})"
            check_sobel_agrees_with_opencv(image, label)
            times = medians(contenders.edge_mappers(image), SOBEL_REPEATS[size])
            reference = times["OpenCV filter2D, 1 thread"]
            header(f"sobel, {label}", "OpenCV")
            for name, median in times.items():
                extra = extra_memory("sobel", name, png, png_tiny, dtype) if with_memory else None
                row(f"{name} ({build} build)" if name.startswith("quarn") else name,
                    median, reference, extra)
                if name == "quarn.sobel" and dtype == "uint8":
                    targets[("sobel", size)] = median / reference
                    targets[("sobel memory", size)] = extra


def int64_section(targets):
    """sobel on readimg's own int64 output against the same planes as uint8:
    the cost of the cast to uint8, timed in one alternating run."""
    size = SIZES[0]
    png = photos.photo_path(FOLDER, "PNG", size)
    images = {dtype: contenders.sobel_input(png, dtype) for dtype in ["uint8", "int64"]}
    times = medians({dtype: (lambda image=image: contenders.quarn.sobel(image))
                     for dtype, image in images.items()}, SOBEL_REPEATS[size])
    header(f"sobel, readimg's int64 (3, {size[1]}, {size[0]})", "uint8")
    for dtype, median in times.items():
        row(f"quarn.sobel, {dtype} (CPU build)", median, times["uint8"])
    targets[("sobel int64", size)] = times["int64"] / times["uint8"]


def report(met, text):
    print(f"  {'met   ' if met else 'MISSED'}  {text}")


def print_targets(targets):
    print("\nTargets")
    for fmt, size, limit in [("PNG", SIZES[0], 1.15), ("PNG", SIZES[1], 1.15),
                             ("JPEG", SIZES[0], 1.6)]:
        ratio = targets[("readimg", fmt, size)]
        report(ratio <= limit, f"readimg {fmt} {size[0]}x{size[1]}: {ratio:.2f}x stb decode "
                               f"(at most {limit}x)")
    ratio = targets[("sobel", SIZES[0])]
    report(ratio <= 1.0, f"sobel (CPU build) uint8 {SIZES[0][0]}x{SIZES[0][1]}: {ratio:.2f}x "
                         "OpenCV 1 thread (at most 1.0x)")
    ratio = targets[("sobel int64", SIZES[0])]
    report(ratio <= 1.3, f"sobel (CPU build) on readimg's int64 {SIZES[0][0]}x{SIZES[0][1]}: "
                         f"{ratio:.2f}x the uint8 call (at most 1.3x)")
    for width, height in SIZES:
        # Its peak may be the padded int32 plane plus the result, no more: the
        # int32 edge map has to fit in the result's own memory.
        padded = (height + 2) * (width + 2) * 4
        extra = targets[("sobel memory", (width, height))]
        report(extra <= padded, f"sobel memory beyond its result, {width}x{height}: "
                                f"{extra / MIB:.1f} MiB (at most the padded plane, "
                                f"{padded / MIB:.1f} MiB)")


def gpu_section():
    cuda = ROOT / "build" / "cuda"
    if not list(cuda.glob("quarn*.so")):
        print("\nGPU section skipped (no CUDA build)")
        return
    env = dict(os.environ, PYTHONPATH=str(cuda))
    probe = subprocess.run(
        [sys.executable, "-c", "import numpy, quarn; quarn.sobel(numpy.zeros((1, 1, 1), numpy.uint8))"],
        env=env, capture_output=True, text=True)
    if probe.returncode != 0:
        reason = (probe.stderr.strip().splitlines() or ["unknown error"])[-1]
        print(f"\nGPU section skipped (no device: {reason})")
        return
    subprocess.run([sys.executable, __file__, "--sobel-only"], env=env, check=True)


def main():
    if sys.argv[1:] == ["--sobel-only"]:
        sobel_section({}, "CUDA", with_memory=False)
        return
    print(f"Writing test images to {FOLDER.relative_to(ROOT)}/ ...", flush=True)
    photos.write_photos(FOLDER, SIZES)
    print("Median time per call, each contender in its own steady state; ratios to the\n"
          "reference in this run. Extra memory: peak RSS during the call beyond its\n"
          "result, in a fresh process (see peak_memory.py).")
    targets = {}
    sobel_section(targets, "CPU")
    int64_section(targets)
    decode_section(targets)
    print_targets(targets)
    gpu_section()


if __name__ == "__main__":
    main()
