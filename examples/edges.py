"""Edge demo: a picture and its quarn.sobel edge map, side by side in one PNG."""
import argparse
import ctypes
import sys
import time
import warnings
from pathlib import Path

import numpy
from PIL import Image

ROOT = Path(__file__).resolve().parent.parent

try:
    import quarn
except ImportError as error:
    sys.exit(f"cannot import quarn ({error}): run `make demo` "
             "(or `make build`, then PYTHONPATH=build/cpu python3 examples/edges.py)")


def timed(call, *args):
    start = time.perf_counter()
    result = call(*args)
    return result, (time.perf_counter() - start) * 1000


def gpu_used():
    """Name of CUDA device 0, the one sobel uses, where this process has used
    it (its primary context is active: the CUDA build ran there); else None."""
    try:
        driver = ctypes.CDLL("libcuda.so.1")
    except OSError:
        return None
    device, flags, active = ctypes.c_int(), ctypes.c_uint(), ctypes.c_int()
    name = ctypes.create_string_buffer(256)
    if (driver.cuInit(0) or driver.cuDeviceGet(ctypes.byref(device), 0)
            or driver.cuDevicePrimaryCtxGetState(device, ctypes.byref(flags), ctypes.byref(active))
            or not active.value or driver.cuDeviceGetName(name, len(name), device)):
        return None
    return name.value.decode(errors="replace")


def sobel_and_backend(planes):
    """(edges, milliseconds, backend): the CUDA build without a usable GPU
    says so with a RuntimeWarning, the first time in a process."""
    with warnings.catch_warnings(record=True) as caught:
        edges, sobel_ms = timed(quarn.sobel, planes)
    fallback = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    if fallback:
        backend = f"cpu (the CUDA build warned: {fallback[0].message})"
    else:
        name = gpu_used()
        backend = f"cuda ({name})" if name else "cpu"
    return edges, sobel_ms, backend


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
        edges, sobel_ms, backend = sobel_and_backend(planes)
    except (RuntimeError, MemoryError, RuntimeWarning) as error:
        sys.exit(f"sobel failed: {error}")

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
    print(f"backend: {backend}")
    print(f"readimg: {read_ms:.1f} ms, sobel: {sobel_ms:.1f} ms")


if __name__ == "__main__":
    main()
