#include "edges/sobel_argument.h"

#include "common/memory_error.h"

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace py = pybind11;

namespace quarn {
namespace {

// The backend indexes the padded plane with 32-bit ints.
void check_size(py::ssize_t rows, py::ssize_t cols) {
    const py::ssize_t limit = INT_MAX;
    if (rows <= limit - 2 && cols <= limit - 2 && (rows + 2) * (cols + 2) <= limit) return;
    throw memory_error("sobel: a " + std::to_string(rows) + " x " + std::to_string(cols) +
                       " image is too large (at most " + std::to_string(limit) +
                       " elements with a one-pixel border)");
}

}  // namespace

void check_sobel_shape(py::ssize_t ndim, const py::ssize_t *shape) {
    if (ndim < 2) throw py::index_error("invalid axis: 1 (ndim = " + std::to_string(ndim) + ")");
    if (ndim == 2) throw py::index_error("invalid axis: 2 (ndim = 2)");
    const py::ssize_t rows = shape[1], cols = shape[2];
    if (rows >= 1 && cols >= 1) {
        if (ndim != 3) {
            throw py::index_error("index dimension mismatch: 3 (ndim = " + std::to_string(ndim) +
                                  ")");
        }
        if (shape[0] == 0) throw py::index_error("index 0 is out of bounds for axis 0 with size 0");
    }
    check_size(rows, cols);
}

}  // namespace quarn

namespace pybind11 {
namespace detail {
namespace {

// Any ndarray of one dimension or more, whatever its dtype: its shape is
// known without converting a single element.
bool has_own_shape(handle source) {
    return array::check_(source) && reinterpret_borrow<array>(source).ndim() >= 1;
}

// Whether the first byte of each element is its value cast to uint8: the
// value modulo 256, for integers of one byte or stored little-endian.
bool first_byte_is_the_cast(const dtype &type) {
    const char kind = type.kind();
    if (kind != 'i' && kind != 'u') return false;
    constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    return type.itemsize() == 1 || (little_endian && type.byteorder() != '>');
}

// A base-class ndarray view of planes [0:1] of `given`, made without calling
// a subclass's __getitem__.
array plane_zero(const array &given) {
    std::vector<ssize_t> shape(given.shape(), given.shape() + given.ndim());
    std::vector<ssize_t> strides(given.strides(), given.strides() + given.ndim());
    shape[0] = std::min<ssize_t>(shape[0], 1);
    return array(given.dtype(), shape, strides, given.data(), given);
}

}  // namespace

bool type_caster<quarn::sobel_argument>::load(handle source, bool convert) {
    if (!convert && !uint8_array::check_(source)) return false;
    object to_convert = reinterpret_borrow<object>(source);
    const bool shaped = has_own_shape(source);
    if (shaped) {
        const auto given = reinterpret_borrow<array>(source);
        quarn::check_sobel_shape(given.ndim(), given.shape());
        if (first_byte_is_the_cast(given.dtype())) {
            value.array = given;
            return true;
        }
        to_convert = plane_zero(given);
    }
    // What array_t<unsigned char, forcecast> does, keeping the error.
    PyObject *converted = npy_api::get().PyArray_FromAny_(
        to_convert.ptr(), dtype::of<unsigned char>().release().ptr(), 0, 0,
        npy_api::NPY_ARRAY_ENSUREARRAY_ | npy_api::NPY_ARRAY_FORCECAST_, nullptr);
    if (!converted) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)) {
            throw error_already_set();
        }
        PyErr_Clear();
        return false;
    }
    value.array = reinterpret_steal<uint8_array>(converted);
    // Anything else has a shape only once NumPy has made it an array.
    if (!shaped) quarn::check_sobel_shape(value.array.ndim(), value.array.shape());
    return true;
}

}  // namespace detail
}  // namespace pybind11
