# Types of the compiled quarn module, as bound in module/quarn.cpp.
from typing import Any

from numpy.typing import ArrayLike, NDArray

# The leading "__" marks arguments positional-only in a way mypy accepts for
# Python 3.7 too ("/" needs 3.8). Results are int64 except an empty edge map,
# which comes back float64, so the dtype is left open rather than promised.
def readimg(__arg0: str | bytes) -> NDArray[Any]: ...
def sobel(__arg0: ArrayLike) -> NDArray[Any]: ...
