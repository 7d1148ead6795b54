// The CPU backend's launcher: the same rule over the same buffers, so machines
// without CUDA build and test the whole module.
#include "edges/gpu/gpu_sobel.h"
#include "edges/gpu/cpu_edges.h"

namespace quarn {

const char *gpu_sobel(const int *padded, int *edges, int R, int C) {
    cpu_edges(padded, edges, R, C);
    return nullptr;
}

}  // namespace quarn
