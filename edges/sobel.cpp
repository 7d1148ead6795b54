#include "edges/sobel.h"

#include "edges/gpu/gpu_sobel.h"
#include "module/memory_error.h"
#include "module/to_ndarray.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>

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

// Plane 0 into `padded` (rows + 2) x (cols + 2) with a zero border.
void fill_padded(const py::array_t<unsigned char, 16> &image, py::ssize_t rows,
                 py::ssize_t cols, int *padded) {
    const py::ssize_t C = cols + 2;
    std::fill(padded, padded + C, 0);
    std::fill(padded + (rows + 1) * C, padded + (rows + 2) * C, 0);
    if (cols == 0) {
        for (py::ssize_t y = 1; y <= rows; ++y) padded[y * C] = padded[y * C + 1] = 0;
        return;
    }
    const auto *base = static_cast<const unsigned char *>(image.data());
    const py::ssize_t row_stride = image.strides(1);
    const py::ssize_t col_stride = image.strides(2);
    for (py::ssize_t y = 0; y < rows; ++y) {
        const unsigned char *src = base + y * row_stride;
        int *dst = padded + (y + 1) * C;
        dst[0] = 0;
        if (col_stride == 1) {
            for (py::ssize_t x = 0; x < cols; ++x) dst[x + 1] = src[x];
        } else {
            for (py::ssize_t x = 0; x < cols; ++x) dst[x + 1] = src[x * col_stride];
        }
        dst[cols + 1] = 0;
    }
}

}  // namespace

py::array sobel(py::array_t<unsigned char, 16> image) {
    const py::ssize_t rows = image.shape(1);
    const py::ssize_t cols = image.shape(2);
    if (rows >= 1 && cols >= 1) {
        if (image.ndim() != 3) {
            throw py::index_error("index dimension mismatch: 3 (ndim = " +
                                  std::to_string(image.ndim()) + ")");
        }
        if (image.shape(0) == 0) {
            throw py::index_error("index 0 is out of bounds for axis 0 with size 0");
        }
    }
    check_size(rows, cols);

    std::unique_ptr<int[]> padded(new int[(rows + 2) * (cols + 2)]);
    fill_padded(image, rows, cols, padded.get());
    std::unique_ptr<int[]> edges(new int[rows * cols]);
    gpu_sobel(padded.get(), edges.get(), static_cast<int>(rows + 2), static_cast<int>(cols + 2));

    return to_ndarray({rows, cols}, [&](int64_t *out) {
        const int *map = edges.get();
        for (py::ssize_t i = 0; i < rows * cols; ++i) out[i] = map[i] & 0xFF;
    });
}

}  // namespace quarn
