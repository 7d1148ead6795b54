// sobel's argument: its shape checks, and its conversion to uint8.
#pragma once

#include <pybind11/numpy.h>

namespace quarn {

// What sobel receives: a (planes, rows, cols) array whose elements each start
// with the byte that NumPy's unsafe cast to uint8 gives for the caller's
// element: a uint8 array, or the caller's own integer array where its first
// byte is that cast (see the caster). Its shape has passed check_sobel_shape;
// planes after 0 may be missing.
struct sobel_argument {
    pybind11::array array;
};

// Raises sobel's errors for an array of `ndim` dimensions of extents `shape`,
// in this order (IndexError):
//  ndim < 2:  "invalid axis: 1 (ndim = N)";  ndim == 2: "invalid axis: 2 (ndim = 2)";
//  then, when rows >= 1 and cols >= 1:
//  ndim != 3: "index dimension mismatch: 3 (ndim = N)";
//  planes == 0: "index 0 is out of bounds for axis 0 with size 0";
// then MemoryError when (rows + 2) * (cols + 2) exceeds INT_MAX.
void check_sobel_shape(pybind11::ssize_t ndim, const pybind11::ssize_t *shape);

}  // namespace quarn

namespace pybind11 {
namespace detail {

// Converts as array_t<unsigned char, forcecast> does, under the same signature
// and with its TypeError for what NumPy cannot convert, except that:
//  - an ndarray of any dtype (numeric, object, string, bytes, datetime...) with
//    ndim >= 1 has its own shape checked by check_sobel_shape first, so neither
//    time nor memory goes to planes that sobel never reads: an integer array
//    whose first byte per element is the cast (int8, uint8; any native integer
//    on little-endian machines) is passed on as it is, any other has only its
//    plane 0 cast;
//  - anything else is checked by check_sobel_shape once NumPy has converted it;
//  - MemoryError, and exceptions not derived from Exception (KeyboardInterrupt),
//    raised while converting propagate instead of becoming a TypeError.
template <>
struct type_caster<quarn::sobel_argument> {
    using uint8_array = array_t<unsigned char, 16>;
    // array_t's name in pybind11 2.x, spelt out so that later releases, which
    // name array_t otherwise, keep sobel's signature.
    PYBIND11_TYPE_CASTER(quarn::sobel_argument, const_name("numpy.ndarray[numpy.uint8]"));
    bool load(handle source, bool convert);
};

}  // namespace detail
}  // namespace pybind11
