// CPU stand-in for the CUDA launcher: the same rule over the same buffers, so
// machines without CUDA build and test the whole module.
#include "edges/gpu/gpu_sobel.h"
#include "edges/gpu/sobel_rule.h"
#include "common/avx2_clones.h"

namespace quarn {

QUARN_AVX2_CLONES
void gpu_sobel(const int *padded, int *edges, int R, int C) {
    const int cols = C - 2;
    for (int j = 1; j < R - 1; ++j) {
        const int *in = padded + static_cast<long>(j) * C + 1;
        int *out = edges + static_cast<long>(j - 1) * cols;
        for (int k = 0; k < cols; ++k) out[k] = sobel_edge(in + k, C);
    }
}

}  // namespace quarn
