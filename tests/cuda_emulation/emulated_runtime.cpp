// The CUDA runtime calls cu_sobel.cu makes, emulated on the host; see
// cuda_runtime.h for what this sees and what it cannot.
#include <cuda_runtime.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

uint3 threadIdx, blockIdx;
dim3 blockDim, gridDim;

namespace {

std::map<const char *, std::size_t> live;  // device allocation -> its size
std::map<const void *, void (*)(void **)> kernels;
std::set<std::string> faults;
cudaError_t last_error = cudaSuccess;
bool reverse = false;
int calls_to_failure = -1;
cudaError_t injected = cudaSuccess;
cudaError_t start_error = cudaSuccess;

// Each failing call sets the last error, which cudaGetLastError returns once.
cudaError_t fail(cudaError_t error) { return last_error = error; }

// Whether this call is the one fail_call chose; it then fails with `error`.
bool strikes(cudaError_t error) {
    if (calls_to_failure < 0 || calls_to_failure-- > 0) return false;
    injected = error;
    return true;
}

cudaError_t misuse(const std::string &what) {
    emulated_cuda::fault(what);
    return fail(cudaErrorInvalidValue);
}

// Linear index `i` within `extent` as (x, y, z), x varying fastest.
uint3 unflatten(std::uint64_t i, dim3 extent) {
    return {unsigned(i % extent.x), unsigned(i / extent.x % extent.y), unsigned(i / extent.x / extent.y)};
}

const struct {
    cudaError_t error;
    const char *name, *text;
} messages[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration", "invalid configuration argument"},
    {cudaErrorStubLibrary, "cudaErrorStubLibrary", "CUDA driver is a stub library"},
    {cudaErrorInsufficientDriver, "cudaErrorInsufficientDriver",
     "CUDA driver version is insufficient for CUDA runtime version"},
    {cudaErrorDevicesUnavailable, "cudaErrorDevicesUnavailable", "CUDA-capable device(s) is/are busy or unavailable"},
    {cudaErrorInvalidDeviceFunction, "cudaErrorInvalidDeviceFunction", "invalid device function"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorIllegalAddress, "cudaErrorIllegalAddress", "an illegal memory access was encountered"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources", "too many resources requested for launch"},
    {cudaErrorSystemDriverMismatch, "cudaErrorSystemDriverMismatch",
     "system has unsupported display driver / cuda driver combination"},
    {cudaErrorCompatNotSupportedOnDevice, "cudaErrorCompatNotSupportedOnDevice",
     "forward compatibility was attempted on non supported HW"},
};

}  // namespace

cudaError_t cudaMalloc(void **pointer, std::size_t bytes) {
    if (start_error != cudaSuccess) return fail(start_error);
    if (strikes(cudaErrorMemoryAllocation)) return fail(cudaErrorMemoryAllocation);
    *pointer = nullptr;
    if (bytes == 0) return cudaSuccess;
    // Exactly `bytes`, so ASan reports an access past the end; filled, so an
    // element the kernel never writes shows in the copy back.
    char *memory = static_cast<char *>(std::malloc(bytes));
    if (!memory) return fail(cudaErrorMemoryAllocation);
    std::memset(memory, 0xA5, bytes);
    live[memory] = bytes;
    *pointer = memory;
    return cudaSuccess;
}

cudaError_t cudaFree(void *pointer) {
    if (!pointer) return cudaSuccess;
    if (!live.erase(static_cast<const char *>(pointer)))
        return misuse("cudaFree of a pointer cudaMalloc did not return");
    std::free(pointer);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void *dst, const void *src, std::size_t bytes, cudaMemcpyKind kind) {
    if (start_error != cudaSuccess) return fail(start_error);
    if (strikes(cudaErrorIllegalAddress)) return fail(cudaErrorIllegalAddress);
    const bool in = kind == cudaMemcpyHostToDevice;
    if (!in && kind != cudaMemcpyDeviceToHost) return misuse("cudaMemcpy of an unused kind");
    if (!emulated_cuda::on_device(in ? dst : src, bytes))
        return misuse("cudaMemcpy outside a device allocation");
    if (emulated_cuda::on_device(in ? src : dst, 1)) return misuse("cudaMemcpy of device memory as host memory");
    if (bytes) std::memcpy(dst, src, bytes);
    return cudaSuccess;
}

cudaError_t cudaLaunchKernel(const void *kernel, dim3 grid, dim3 block, void **args,
                             std::size_t, cudaStream_t stream) {
    if (start_error != cudaSuccess) return fail(start_error);
    if (strikes(cudaErrorLaunchOutOfResources)) return fail(cudaErrorLaunchOutOfResources);
    const auto found = kernels.find(kernel);
    if (found == kernels.end()) {
        emulated_cuda::fault("launch of a kernel the driver did not register");
        return fail(cudaErrorInvalidDeviceFunction);
    }
    if (stream) return misuse("launch on a stream other than the default");
    // CUDA's limits, the same on every GPU it supports.
    const std::uint64_t threads = std::uint64_t(block.x) * block.y * block.z;
    const std::uint64_t blocks = std::uint64_t(grid.x) * grid.y * grid.z;
    if (threads == 0 || threads > 1024 || block.x > 1024 || block.y > 1024 || block.z > 64 ||
        blocks == 0 || grid.x > 2147483647u || grid.y > 65535 || grid.z > 65535)
        return fail(cudaErrorInvalidConfiguration);
    gridDim = grid;
    blockDim = block;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        blockIdx = unflatten(reverse ? blocks - 1 - b : b, grid);
        for (std::uint64_t t = 0; t < threads; ++t) {
            threadIdx = unflatten(reverse ? threads - 1 - t : t, block);
            found->second(args);
        }
    }
    return cudaSuccess;
}

cudaError_t cudaGetLastError() {
    const cudaError_t error = last_error;
    last_error = cudaSuccess;
    return error;
}

const char *cudaGetErrorName(cudaError_t error) {
    for (const auto &m : messages)
        if (m.error == error) return m.name;
    return "cudaErrorUnknown";
}

const char *cudaGetErrorString(cudaError_t error) {
    for (const auto &m : messages)
        if (m.error == error) return m.text;
    return "unknown error";
}

namespace emulated_cuda {

void register_kernel(const void *kernel, void (*thread)(void **)) { kernels[kernel] = thread; }
void run_in_reverse(bool on) { reverse = on; }
void fail_call(int nth) { calls_to_failure = nth, injected = cudaSuccess; }
cudaError_t injected_error() { return injected; }
void fail_start(cudaError_t error) { start_error = error; }
std::size_t live_allocations() { return live.size(); }
void fault(const std::string &what) { faults.insert(what); }

bool on_device(const void *pointer, std::size_t bytes) {
    auto after = live.upper_bound(static_cast<const char *>(pointer));
    if (after == live.begin()) return false;
    const auto &[base, size] = *--after;
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(pointer) - reinterpret_cast<std::uintptr_t>(base);
    return offset <= size && bytes <= size - offset;
}

std::vector<std::string> take_faults() {
    std::vector<std::string> seen(faults.begin(), faults.end());
    faults.clear();
    return seen;
}

}  // namespace emulated_cuda
