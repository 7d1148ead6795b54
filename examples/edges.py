"""Edge demo: a picture and its quarn.sobel edge map, side by side in one PNG."""
import argparse
import os
import sys
import time
from pathlib import Path

import numpy
from PIL import Image

ROOT = Path(__file__).resolve().parent.parent
CPU_BUILD = ROOT / "build" / "cpu"

try:
    import quarn
except ImportError as error:
    sys.exit(f"cannot import quarn ({error}): run `make demo` "
             "(or `make build`, then PYTHONPATH=build/cpu python3 examples/edges.py)")


def timed(call, *args):
    start = time.perf_counter()
    result = call(*args)
    return result, (time.perf_counter() - start) * 1000


def rerun_on_cpu_build(reason):
    # Without this check a broken build/cpu would re-run the script forever.
    if Path(quarn.__file__).parent == CPU_BUILD:
        sys.exit(f"sobel failed on the CPU build: {reason}")
    print(f"No usable GPU ({reason}); using the CPU build in {CPU_BUILD}.", file=sys.stderr)
    sys.stderr.flush()
    paths = [str(CPU_BUILD)] + [p for p in [os.environ.get("PYTHONPATH")] if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    os.execve(sys.executable, [sys.executable, *sys.argv], env)


def shown(path):
    return path.relative_to(Path.cwd()) if path.is_relative_to(Path.cwd()) else path


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("image", nargs="?", default=Path(__file__).parent / "sample.png")
    parser.add_argument("-o", "--output", default=ROOT / "build" / "edges.png",
                        help="PNG to write (default: build/edges.png)")
    args = parser.parse_args()

    try:
        planes, read_ms = timed(quarn.readimg, str(args.image))
    except (OSError, ValueError, MemoryError) as error:
        sys.exit(f"cannot read {args.image}: {error}")
    try:
        edges, sobel_ms = timed(quarn.sobel, planes)
    except RuntimeError as error:
        if not str(error).startswith("CUDA error: "):
            sys.exit(f"sobel failed: {error}")
        rerun_on_cpu_build(error)

    # readimg gives blue, green, red planes; Pillow wants rows of red, green, blue.
    picture = planes[::-1].transpose(1, 2, 0)
    edge_rgb = numpy.repeat(edges[:, :, None], 3, axis=2)
    both = numpy.concatenate([picture, edge_rgb], axis=1).astype(numpy.uint8)
    output = Path(args.output).resolve()
    try:
        output.parent.mkdir(parents=True, exist_ok=True)
        Image.fromarray(both, "RGB").save(output, format="PNG")
    except OSError as error:
        sys.exit(f"cannot write {output}: {error}")

    height, width = edges.shape
    print(f"wrote {shown(output)}")
    print(f"image: {width} x {height}")
    print(f"edge pixels: {100 * numpy.count_nonzero(edges) / edges.size:.1f}%")
    print(f"readimg: {read_ms:.1f} ms, sobel: {sobel_ms:.1f} ms")


if __name__ == "__main__":
    main()
