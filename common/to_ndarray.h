// The one conversion of results to NumPy.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <functional>
#include <initializer_list>

namespace quarn {

// Returns a fresh C-ordered array equal to numpy.array(nested_lists), where
// nested_lists holds the values in the given extents (outermost first):
//  - dtype int64 (NumPy's default integer on 64-bit Linux), one axis per extent;
//  - if an extent is 0, the shape stops at the first zero extent and the dtype
//    is float64: (0, W) -> (0,), (H, 0) -> (H, 0), (3, 0, W) -> (3, 0).
// `fill` receives the array's data and writes every element in C order; it is
// not called when the array is empty. Allocation failure raises MemoryError.
pybind11::array to_ndarray(std::initializer_list<pybind11::ssize_t> extents,
                           const std::function<void(int64_t *out)> &fill);

}  // namespace quarn
