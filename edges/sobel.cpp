#include "edges/sobel.h"

#include "edges/fallback_warning.h"
#include "edges/gpu/gpu_sobel.h"
#include "common/avx2_clones.h"
#include "common/huge_pages.h"
#include "common/prefault.h"
#include "common/to_ndarray.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace py = pybind11;

namespace quarn {
namespace {

// The low byte of the `Element` (an unsigned integer type) stored at `p`,
// which need not be aligned. One whole load then a mask vectorises, where a
// load of one byte every sizeof(Element) bytes does not.
template <typename Element>
__attribute__((always_inline)) inline int low_byte(const unsigned char *p) {
    Element value;
    std::memcpy(&value, p, sizeof value);
    return static_cast<int>(value & 0xFF);
}

// The low bytes of `cols` elements of type `Element`, `col_stride` bytes
// apart from `src`, into dst[0, cols).
template <typename Element>
__attribute__((always_inline)) inline void copy_row(const unsigned char *src,
                                                    py::ssize_t col_stride,
                                                    py::ssize_t cols, int *dst) {
    if (col_stride == sizeof(Element)) {
        // A constant stride: the common, contiguous row.
        for (py::ssize_t x = 0; x < cols; ++x) dst[x] = low_byte<Element>(src + x * sizeof(Element));
    } else {
        for (py::ssize_t x = 0; x < cols; ++x) dst[x] = low_byte<Element>(src + x * col_stride);
    }
}

// Plane 0 of `image`, rows x cols >= 1 x 1, each element read as `Element`,
// into `padded` (rows + 2) x (cols + 2) with a zero border.
template <typename Element>
__attribute__((always_inline)) inline void fill_rows(const py::array &image, py::ssize_t rows,
                                                     py::ssize_t cols, int *padded) {
    const py::ssize_t C = cols + 2;
    const auto *base = static_cast<const unsigned char *>(image.data());
    const py::ssize_t row_stride = image.strides(1);
    const py::ssize_t col_stride = image.strides(2);
    std::fill(padded, padded + C, 0);
    std::fill(padded + (rows + 1) * C, padded + (rows + 2) * C, 0);
    for (py::ssize_t y = 0; y < rows; ++y) {
        int *dst = padded + (y + 1) * C;
        dst[0] = 0;
        copy_row<Element>(base + y * row_stride, col_stride, cols, dst + 1);
        dst[cols + 1] = 0;
    }
}

// Plane 0 of `image` (see sobel_argument), rows x cols >= 1 x 1, into
// `padded` (rows + 2) x (cols + 2) with a zero border, each element as the
// cast to uint8 gives it: its first byte, which for the wider integers that
// arrive unconverted (little-endian machines only) is the whole element's low
// byte.
QUARN_AVX2_CLONES
void fill_padded(const py::array &image, py::ssize_t rows, py::ssize_t cols, int *padded) {
    constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    switch (little_endian ? image.itemsize() : 1) {
        case 2: return fill_rows<uint16_t>(image, rows, cols, padded);
        case 4: return fill_rows<uint32_t>(image, rows, cols, padded);
        case 8: return fill_rows<uint64_t>(image, rows, cols, padded);
        default: return fill_rows<uint8_t>(image, rows, cols, padded);
    }
}

// Widens the `count` int32 values stored from byte count * 4 of `out` to
// int64 over all of `out`, front to back. Writing out[i] overwrites only
// values up to index i; each chunk is copied out before its slots are written.
QUARN_AVX2_CLONES
void widen_in_place(int64_t *out, py::ssize_t count) {
    constexpr py::ssize_t chunk = 1024;
    const char *map = reinterpret_cast<const char *>(out) + count * sizeof(int);
    int values[chunk];
    for (py::ssize_t start = 0; start < count; start += chunk) {
        const py::ssize_t n = std::min(chunk, count - start);
        std::memcpy(values, map + start * sizeof(int), n * sizeof(int));
        int64_t *dst = out + start;
        for (py::ssize_t i = 0; i < n; ++i) dst[i] = values[i] & 0xFF;
    }
}

}  // namespace

py::array sobel(sobel_argument argument) {
    const py::array &image = argument.array;
    const py::ssize_t rows = image.shape(1);
    const py::ssize_t cols = image.shape(2);
    const py::ssize_t count = rows * cols;
    if (count == 0) {
        // Nothing to read, but the backend runs all the same, on the smallest
        // plane it takes: the CUDA build tells here too whether it has a device.
        int zero_plane[4] = {};
        int no_edges[1];
        const char *fallback;
        {
            py::gil_scoped_release unlocked;  // a first CUDA call sets up the device
            fallback = gpu_sobel(zero_plane, no_edges, 2, 2);
        }
        warn_of_fallback(fallback);
        return to_ndarray({rows, cols}, [](int64_t *) {});
    }

    const int R = static_cast<int>(rows + 2), C = static_cast<int>(cols + 2);
    const std::size_t padded_count = static_cast<std::size_t>(R) * C;
    std::unique_ptr<int[]> padded(new int[padded_count]);
    advise_huge_pages(padded.get(), padded_count * sizeof(int));
    // The caller's array is read here, with the interpreter lock held, so a
    // thread writing to it meanwhile cannot give a map of two states.
    fill_padded(image, rows, cols, padded.get());

    // The backend and the widening touch no Python object: other threads run
    // meanwhile. Its errors are C++ exceptions, raised once the lock is back.
    const char *fallback = nullptr;
    py::array edges = to_ndarray({rows, cols}, [&](int64_t *out) {
        py::gil_scoped_release unlocked;
        // The int32 map goes in the upper half of the result, so it takes no
        // memory of its own, and the padded plane is gone before the lower
        // half is touched: the peak stays near the size of the result.
        const std::size_t half = count * sizeof(int);
        const bool fresh = 2 * half >= always_fresh_bytes;
        int *map = reinterpret_cast<int *>(out) + count;
        if (fresh) prefault(map, half);
        fallback = gpu_sobel(padded.get(), map, R, C);
        padded.reset();
        if (fresh) prefault(out, half);
        widen_in_place(out, count);
    });
    warn_of_fallback(fallback);  // with the lock back
    return edges;
}

}  // namespace quarn
