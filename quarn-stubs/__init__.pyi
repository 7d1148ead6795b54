# Types of the compiled quarn module, as bound in module/quarn.cpp.
from typing import Any

from numpy.typing import ArrayLike, NDArray

# Each takes one positional argument. Results are int64 except an empty edge
# map, which comes back float64, so the dtype is left open rather than promised.
def readimg(arg0: str | bytes, /) -> NDArray[Any]: ...
def sobel(arg0: ArrayLike, /) -> NDArray[Any]: ...
