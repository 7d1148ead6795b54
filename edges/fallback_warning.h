// The warning the CUDA build gives where it computes without a GPU.
#pragma once

namespace quarn {

// Where `reason` (gpu_sobel's result) is not null, a RuntimeWarning naming it,
// once per process. Needs the interpreter lock. Throws
// pybind11::error_already_set where the warning raises (warnings as errors);
// it is then issued again by the next call that falls back.
void warn_of_fallback(const char *reason);

}  // namespace quarn
