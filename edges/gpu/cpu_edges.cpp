#include "edges/gpu/cpu_edges.h"
#include "edges/gpu/sobel_rule.h"
#include "common/avx2_clones.h"

namespace quarn {

QUARN_AVX2_CLONES
void cpu_edges(const int *padded, int *edges, int R, int C) {
    const int cols = C - 2;
    for (int j = 1; j < R - 1; ++j) {
        const int *in = padded + static_cast<long>(j) * C + 1;
        int *out = edges + static_cast<long>(j - 1) * cols;
        for (int k = 0; k < cols; ++k) out[k] = sobel_edge(in + k, C);
    }
}

}  // namespace quarn
