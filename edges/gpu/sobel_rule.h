// The per-pixel edge rule, shared by the CUDA kernel and the CPU stand-in.
#pragma once

#ifdef __CUDACC__
#define QUARN_HOST_DEVICE __host__ __device__
#else
#define QUARN_HOST_DEVICE
#endif

namespace quarn {

// Edge value (255 or 0) of the padded-plane element at `p`, whose rows are
// `stride` elements apart. s = Gx + Gy with Sobel weights, signed, never
// made absolute: only brightness rising to the right or upwards marks an edge.
// Weights:  0 +2 +2 / -2 0 +2 / -2 -2 0. Reads the six non-zero neighbours.
QUARN_HOST_DEVICE inline int sobel_edge(const int *p, int stride) {
    const int s = 2 * (p[-stride] + p[-stride + 1] + p[1]) -
                  2 * (p[-1] + p[stride - 1] + p[stride]);
    return s > 20 ? 255 : 0;
}

}  // namespace quarn
