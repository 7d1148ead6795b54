#include "edges/fallback_warning.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <string>

namespace quarn {

void warn_of_fallback(const char *reason) {
    // Set only once a warning was issued, so that where warnings are errors
    // every call that falls back raises; two threads falling back for the
    // first time at once may both warn.
    static std::atomic<bool> warned{false};
    if (!reason || warned.load()) return;
    const std::string message = std::string("no usable CUDA device, so sobel computes on the CPU: ") + reason;
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw pybind11::error_already_set();
    warned.store(true);
}

}  // namespace quarn
