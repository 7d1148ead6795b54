// sobel: the host side of the edge map.
#pragma once

#include "edges/sobel_argument.h"

#include <pybind11/numpy.h>

namespace quarn {

// Binary edge map of plane 0 of a (planes, rows, cols) array.
//  Returns (rows, cols) int64, each 255 (edge) or 0; an empty map follows the
//  result conversion's empty rule (rows == 0 gives (0,) float64).
//  Errors: those of check_sobel_shape, on the caller's own shape (raised while
//  the argument converts); MemoryError
//  when memory runs out; RuntimeError naming the CUDA error when the GPU step
//  fails (an empty image runs it too, on a 2 x 2 zero plane). Where the CUDA
//  build finds no usable device it computes on the CPU and warns (see
//  warn_of_fallback); a warning raised as an error propagates.
//  Reads any strides in place, with the interpreter lock held; never writes to
//  the caller's array. The backend and the result's widening run without the
//  lock.
pybind11::array sobel(sobel_argument argument);

}  // namespace quarn
