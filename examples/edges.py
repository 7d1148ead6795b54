"""Edge demo: a picture and its quarn.sobel edge map, side by side in one PNG."""
import argparse
import ctypes
import importlib.machinery
import importlib.util
import mmap
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


def cpu_build_module():
    """quarn from build/cpu, loaded beside the module already imported; None where there is none."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = CPU_BUILD / f"quarn{suffix}"
        if path.is_file():
            module_spec = importlib.util.spec_from_file_location("quarn", path)
            module = importlib.util.module_from_spec(module_spec)
            module_spec.loader.exec_module(module)
            return module
    return None


def built_for_cuda(module):
    """Whether the module's file carries CUDA device code (the CUDA build) or not (the CPU one)."""
    with open(module.__file__, "rb") as file, \
            mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
        return data.find(b".nv_fatbin") >= 0


def gpu_name():
    """Name of CUDA device 0, the one sobel uses, from the driver; None where it cannot tell."""
    try:
        driver = ctypes.CDLL("libcuda.so.1")
    except OSError:
        return None
    device, name = ctypes.c_int(), ctypes.create_string_buffer(256)
    if (driver.cuInit(0) or driver.cuDeviceGet(ctypes.byref(device), 0)
            or driver.cuDeviceGetName(name, len(name), device)):
        return None
    return name.value.decode(errors="replace")


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
        backend = f"cuda ({gpu_name() or 'device 0'})" if built_for_cuda(quarn) else "cpu"
    except RuntimeError as error:
        if not str(error).startswith("CUDA error: "):
            sys.exit(f"sobel failed: {error}")
        # The CUDA build without a usable GPU: the CPU build, where one was made.
        try:
            cpu_quarn = cpu_build_module()
        except ImportError as import_error:
            sys.exit(f"no usable GPU ({error}), and the CPU build does not load: {import_error}")
        if cpu_quarn is None:
            sys.exit(f"no usable GPU ({error}), and no CPU build in {CPU_BUILD}: "
                     f"run `make build/cpu` in {ROOT}, then this again")
        edges, sobel_ms = timed(cpu_quarn.sobel, planes)
        backend = f"cpu, {shown(CPU_BUILD)} (switched: no usable GPU, {error})"

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
