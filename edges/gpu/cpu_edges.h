// The edge rule over a whole padded plane on the CPU: the CPU backend, and the
// CUDA backend's path where no GPU is usable.
#pragma once

namespace quarn {

// Writes the edge map of `padded` into `edges`, as gpu_sobel does (same
// shapes, same values). Never fails.
void cpu_edges(const int *padded, int *edges, int R, int C);

}  // namespace quarn
