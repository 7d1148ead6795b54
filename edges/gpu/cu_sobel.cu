// The CUDA backend: the kernel cu_sobel and its host launcher gpu_sobel.
#include "edges/gpu/gpu_sobel.h"
#include "edges/gpu/cpu_edges.h"
#include "edges/gpu/sobel_rule.h"
#include "common/memory_error.h"

#include <cuda_runtime.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

// One thread per padded element, border included; border threads and the
// tail of the last block return at once. For the one-block-per-row launch the
// index equals block * C + thread.
__global__ void cu_sobel(int *in, int *out, int R, int C) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= static_cast<unsigned>(R * C)) return;
    const int row = static_cast<int>(i) / C;
    const int col = static_cast<int>(i) % C;
    if (row == 0 || row == R - 1 || col == 0 || col == C - 1) return;
    out[static_cast<long long>(row - 1) * (C - 2) + (col - 1)] =
        quarn::sobel_edge(in + static_cast<long long>(row) * C + col, C);
}

namespace quarn {
namespace {

std::string describe(cudaError_t status) {
    return std::string("CUDA error: ") + cudaGetErrorName(status) + ": " + cudaGetErrorString(status);
}

// The runtime's answers when this process has no device to run on: no driver
// (the static runtime reports a missing libcuda as too old a driver) or only
// the toolkit's stub of it, a driver too old for this runtime or not matching
// its kernel module, or no device visible. None of these changes while the
// process runs. Every other error is a failure: a forked child of a process
// that used the GPU (cudaErrorInitializationError), a device busy in another
// process (cudaErrorDevicesUnavailable), no kernel for this GPU, out of memory.
constexpr cudaError_t no_usable_device[] = {
    cudaErrorInsufficientDriver, cudaErrorStubLibrary, cudaErrorSystemDriverMismatch,
    cudaErrorCompatNotSupportedOnDevice, cudaErrorNoDevice,
};

// describe(status), in static storage, where status is one of
// no_usable_device; else null.
const char *no_device_reason(cudaError_t status) {
    static const auto reasons = [] {
        std::vector<std::string> texts;
        for (cudaError_t error : no_usable_device) texts.push_back(describe(error));
        return texts;
    }();
    for (std::size_t i = 0; i < reasons.size(); ++i)
        if (no_usable_device[i] == status) return reasons[i].c_str();
    return nullptr;
}

// Thrown by check for the errors in no_usable_device; gpu_sobel catches it.
class no_device : public std::runtime_error {
public:
    explicit no_device(cudaError_t status) : std::runtime_error(describe(status)), status(status) {}
    const cudaError_t status;
};

void check(cudaError_t status) {
    if (status == cudaSuccess) return;
    // Reported here, so not left behind as the runtime's last error for other
    // CUDA code in the process (a sticky error stays all the same).
    cudaGetLastError();
    if (status == cudaErrorMemoryAllocation) throw memory_error(describe(status));
    if (no_device_reason(status)) throw no_device(status);
    throw std::runtime_error(describe(status));
}

// Owns one device allocation, so every exit path frees it.
class device_buffer {
public:
    // At least one byte: an empty edge map still gets a valid device pointer.
    explicit device_buffer(std::size_t bytes) { check(cudaMalloc(&ptr_, bytes ? bytes : 1)); }
    ~device_buffer() { cudaFree(ptr_); }
    device_buffer(const device_buffer &) = delete;
    device_buffer &operator=(const device_buffer &) = delete;
    int *get() const { return static_cast<int *>(ptr_); }

private:
    void *ptr_ = nullptr;
};

// A block can hold at most 1024 threads; wider rows use fixed-size blocks.
constexpr int max_row_block = 1024;
constexpr int wide_block = 256;

// Queues cu_sobel over the padded R x C plane on the default stream: one
// block per padded row, or fixed-size blocks over all elements for rows wider
// than a block. Returns the launch's own status. cudaGetLastError would also
// return an error that an earlier failed call (a cudaMalloc, say) left
// behind; faults inside a kernel are sticky and reach every later call anyway.
cudaError_t launch_cu_sobel(int *in, int *out, int R, int C) {
    dim3 grid(static_cast<unsigned>(R)), block(static_cast<unsigned>(C));
    if (C > max_row_block) {
        const long long elements = static_cast<long long>(R) * C;
        grid = dim3(static_cast<unsigned>((elements + wide_block - 1) / wide_block));
        block = dim3(wide_block);
    }
    void *args[] = {&in, &out, &R, &C};
    return cudaLaunchKernel(reinterpret_cast<const void *>(cu_sobel), grid, block, args, 0, nullptr);
}

// gpu_sobel on the device.
void device_sobel(const int *padded, int *edges, int R, int C) {
    const std::size_t in_bytes = static_cast<std::size_t>(R) * C * sizeof(int);
    const std::size_t out_bytes = static_cast<std::size_t>(R - 2) * (C - 2) * sizeof(int);
    device_buffer in(in_bytes);
    check(cudaMemcpy(in.get(), padded, in_bytes, cudaMemcpyHostToDevice));
    device_buffer out(out_bytes);
    check(launch_cu_sobel(in.get(), out.get(), R, C));
    // Waits for the kernel on the default stream and reports its faults.
    check(cudaMemcpy(edges, out.get(), out_bytes, cudaMemcpyDeviceToHost));
}

}  // namespace

// Each call asks the runtime afresh (the first allocation tells); where it has
// no device to offer, the CPU computes the map.
const char *gpu_sobel(const int *padded, int *edges, int R, int C) {
    try {
        device_sobel(padded, edges, R, C);
        return nullptr;
    } catch (const no_device &error) {
        cpu_edges(padded, edges, R, C);
        return no_device_reason(error.status);
    }
}

}  // namespace quarn
