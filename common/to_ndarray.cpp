#include "common/to_ndarray.h"

#include <vector>

namespace py = pybind11;

namespace quarn {

py::array to_ndarray(std::initializer_list<py::ssize_t> extents,
                     const std::function<void(int64_t *out)> &fill) {
    std::vector<py::ssize_t> shape;
    for (py::ssize_t extent : extents) {
        shape.push_back(extent);
        if (extent == 0) {
            // Nested lists with no integer in them: NumPy infers float64.
            return py::array(py::dtype::of<double>(), shape);
        }
    }
    // Throws error_already_set(MemoryError) when NumPy cannot allocate.
    py::array_t<int64_t> result(shape);
    fill(result.mutable_data());
    return std::move(result);
}

}  // namespace quarn
