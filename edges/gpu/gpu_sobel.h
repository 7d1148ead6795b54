// The launcher between the host side of sobel and its backend (CUDA or CPU).
#pragma once

namespace quarn {

// Writes the edge map of `padded` into `edges`.
//  padded: R x C int32, row-major, a zero border around the image (R, C >= 2);
//  edges:  (R - 2) x (C - 2) int32, row-major, each set to 0 or 255;
//  R * C must not exceed INT_MAX (the caller checks).
// Throws std::runtime_error naming the CUDA error, or std::bad_alloc when
// device memory runs out; `edges` is then undefined. Keeps no reference.
void gpu_sobel(const int *padded, int *edges, int R, int C);

}  // namespace quarn
