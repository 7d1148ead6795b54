// Stand-in for the CUDA runtime header, so that edges/gpu/cu_sobel.cu compiles
// unchanged as C++ and runs on the host (emulated_runtime.cpp) under ASan and
// UBSan, in every test run, with no GPU and no nvcc.
//
// It checks CUDA's launch limits (a launch past them fails as on a GPU);
// device buffers, as exact-size host allocations, so that a kernel access past
// one is an ASan report; copies outside an allocation, frees of unknown
// pointers, device memory left allocated; the error each failing allocation,
// copy or launch gives, and those of a runtime that cannot start; and that no
// result depends on the order blocks and threads run in (one at a time,
// forward or in reverse).
//
// It cannot see, and tools/gpu-check.sh covers on a GPU: timing; asynchronous
// execution and sticky errors (a kernel runs to its end inside the launch, so a
// fault in it is a sanitizer report, not an error a later call returns);
// threads racing each other; the architectures built and nvcc's machine code;
// the driver, and which error a real runtime gives for each state it is in
// (the CUDA build's tests see the one of a machine without a GPU).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#define __global__
#define __host__
#define __device__

// The runtime's own numbers; names and messages in emulated_runtime.cpp.
enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorStubLibrary = 34,
    cudaErrorInsufficientDriver = 35,
    cudaErrorDevicesUnavailable = 46,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorSystemDriverMismatch = 803,
    cudaErrorCompatNotSupportedOnDevice = 804,
};
typedef cudaError cudaError_t;
enum cudaMemcpyKind { cudaMemcpyHostToDevice = 1, cudaMemcpyDeviceToHost = 2 };
typedef struct CUstream_st *cudaStream_t;

struct uint3 {
    unsigned x, y, z;
};
struct dim3 {
    unsigned x, y, z;
    constexpr dim3(unsigned x_ = 1, unsigned y_ = 1, unsigned z_ = 1) : x(x_), y(y_), z(z_) {}
};
// The built-ins a kernel reads, set for each thread the emulation runs.
extern uint3 threadIdx, blockIdx;
extern dim3 blockDim, gridDim;

cudaError_t cudaMalloc(void **pointer, std::size_t bytes);
cudaError_t cudaFree(void *pointer);
cudaError_t cudaMemcpy(void *dst, const void *src, std::size_t bytes, cudaMemcpyKind kind);
cudaError_t cudaLaunchKernel(const void *kernel, dim3 grid, dim3 block, void **args,
                             std::size_t shared_bytes, cudaStream_t stream);
cudaError_t cudaGetLastError();
const char *cudaGetErrorName(cudaError_t error);
const char *cudaGetErrorString(cudaError_t error);

// What a test driver tells the emulation, and asks it.
namespace emulated_cuda {

// cudaLaunchKernel(kernel, ...) runs `thread(args)` once per thread; a kernel
// not registered fails to launch.
void register_kernel(const void *kernel, void (*thread)(void **args));
// Runs blocks, and the threads of each block, last to first when true.
void run_in_reverse(bool reverse);
// The `nth` fallible call from now on (0: the next cudaMalloc, cudaMemcpy or
// cudaLaunchKernel) fails as a device would make it: cudaErrorMemoryAllocation,
// cudaErrorIllegalAddress or cudaErrorLaunchOutOfResources; -1: none does.
void fail_call(int nth);
// The error fail_call's failure gave; cudaSuccess until it struck.
cudaError_t injected_error();
// Every fallible call from now on fails with `error`, as where the runtime
// cannot start (no driver, no device, a forked child); cudaSuccess: none does.
void fail_start(cudaError_t error);
// Whether [pointer, pointer + bytes) lies inside one live device allocation.
bool on_device(const void *pointer, std::size_t bytes);
std::size_t live_allocations();
// Records a misuse; take_faults returns each one seen since its last call.
void fault(const std::string &what);
std::vector<std::string> take_faults();

}  // namespace emulated_cuda
