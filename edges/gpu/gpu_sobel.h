// The launcher between the host side of sobel and its backend (CUDA or CPU).
#pragma once

namespace quarn {

// Writes the edge map of `padded` into `edges`.
//  padded: R x C int32, row-major, a zero border around the image (R, C >= 2);
//  edges:  (R - 2) x (C - 2) int32, row-major, each set to 0 or 255;
//  R * C must not exceed INT_MAX (the caller checks).
// Returns null where the backend ran as built. Where the CUDA runtime reports
// no usable device (see cu_sobel.cu), the CUDA backend writes the same map with
// cpu_edges and returns the CUDA error, "CUDA error: NAME: TEXT", in static
// storage.
// Throws std::runtime_error naming any other CUDA error, or std::bad_alloc
// when device memory runs out; `edges` is then undefined. Keeps no reference.
const char *gpu_sobel(const int *padded, int *edges, int R, int C);

}  // namespace quarn
