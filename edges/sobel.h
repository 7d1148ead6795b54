// sobel: the host side of the edge map.
#pragma once

#include <pybind11/numpy.h>

namespace quarn {

// Binary edge map of plane 0 of a (planes, rows, cols) array.
//  Returns (rows, cols) int64, each 255 (edge) or 0; an empty map follows the
//  result conversion's empty rule (rows == 0 gives (0,) float64).
//  Errors, in this order (IndexError):
//   ndim < 2:  "invalid axis: 1 (ndim = N)";  ndim == 2: "invalid axis: 2 (ndim = 2)";
//   then, when rows >= 1 and cols >= 1:
//   ndim != 3: "index dimension mismatch: 3 (ndim = N)";
//   planes == 0: "index 0 is out of bounds for axis 0 with size 0".
//  MemoryError when (rows + 2) * (cols + 2) exceeds INT_MAX or memory runs out;
//  RuntimeError naming the CUDA error when the GPU step fails.
//  Reads any strides in place; never writes to `image`.
pybind11::array sobel(pybind11::array_t<unsigned char, 16> image);

}  // namespace quarn
