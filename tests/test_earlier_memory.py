"""Every input the fuzzer ever crashed on, and seeds of the shapes that reach
stale memory, give the same outcome in processes whose heap and stack held
different things before the call: the same pixels, or the same error."""
from pathlib import Path

import pytest

from child_reader import ChildReader

FUZZ = Path(__file__).resolve().parent / "fuzz"
# The JPEGs also pin what the decoder assumes of stb in leaving a JPEG's output
# block unzeroed: that stb writes every byte of it before reading any.
SEEDS = ["progressive.jpg", "progressive-grey.jpg", "restarts.jpg", "cmyk.jpg", "palette.png",
         "palette-2-bit.png", "palette-short.bmp", "one-bit.bmp", "fixed-huffman.png"]
FILES = sorted((FUZZ / "regressions").iterdir()) + [FUZZ / "corpus" / name for name in SEEDS]

# Before each call: blocks of sizes from 16 bytes to 2 MB, two of each, filled
# with a pattern and freed, so the decoder's next allocations of those sizes
# come back holding it.
_FILL_HEAP = r"""
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
SIZES = [int(16 * 1.25 ** i) for i in range(53)] * 2
FILL = bytes.fromhex("{pattern}") * (max(SIZES) // {length} + 1)

def prepare():
    blocks = [libc.malloc(size) for size in SIZES]
    for block, size in zip(blocks, SIZES):
        ctypes.memmove(block, FILL, size)
    for block in blocks:
        libc.free(block)
"""

# Before each call: decodes that leave their palettes and tables behind on
# the stack and heap.
_DECODE_OTHERS = f"""
OTHERS = [{str(FUZZ / "corpus" / "palette.bmp")!r}, {str(FUZZ / "corpus" / "palette.png")!r},
          {str(FUZZ / "corpus" / "baseline.jpg")!r}]
prepare = lambda: [quarn.readimg(path) for path in OTHERS]
"""


def _fill_heap(pattern):
    return _FILL_HEAP.format(pattern=pattern.hex(), length=len(pattern))


# (environment, setup) of each child; glibc fills fresh blocks with the
# complement of MALLOC_PERTURB_ and freed ones with it.
CHILDREN = {
    "plain": ({}, ""),
    "perturb-0x5a": ({"MALLOC_PERTURB_": str(0x5A)}, ""),
    "perturb-0xc3": ({"MALLOC_PERTURB_": str(0xC3)}, ""),
    "heap-of-0xa5": ({}, _fill_heap(b"\xa5")),
    "heap-of-pointers": ({}, _fill_heap((0x55D4C3B2A190).to_bytes(8, "little"))),
    "after-other-decodes": ({}, _DECODE_OTHERS),
}


@pytest.fixture(scope="module")
def readers():
    children = {name: ChildReader(env, setup) for name, (env, setup) in CHILDREN.items()}
    yield children
    for child in children.values():
        child.close()


@pytest.mark.parametrize("path", FILES, ids=lambda path: path.name)
def test_outcome_does_not_depend_on_earlier_memory(readers, path):
    outcomes = {name: reader.read_digest(path) for name, reader in readers.items()}
    distinct = {(outcome, digest) for outcome, _, digest in outcomes.values()}
    assume = ("\nstb must write a JPEG's whole output block before reading it "
              "(stb_loaders.c leaves that block unzeroed)\n" if path.suffix == ".jpg" else "\n")
    assert len(distinct) == 1, assume + "\n".join(
        f"{name}: {outcome} {digest}" for name, (outcome, _, digest) in outcomes.items())
