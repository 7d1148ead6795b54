// The CUDA launcher gpu_sobel on the emulated runtime, against the CPU rule
// cpu_edges.
//
//   check_launcher shapes      each shape below, blocks run forward and in reverse
//   check_launcher failures    each runtime call of a call failing in turn
//   check_launcher no-device   a runtime that cannot start, for each reason
//
// Prints a line for each check that fails and exits 1, else prints "ok: ...".
#include <cuda_runtime.h>

#include "common/memory_error.h"
#include "edges/gpu/cpu_edges.h"
#include "edges/gpu/gpu_sobel.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// The kernel, from the launcher's object.
void cu_sobel(int *in, int *out, int R, int C);

namespace {

int failures = 0;

void expect(bool ok, const std::string &what) {
    if (ok) return;
    ++failures;
    std::printf("FAILED: %s\n", what.c_str());
}

// The last cu_sobel launch: its threads, and the padded plane's elements.
long long launched_threads = 0, padded_elements = 0;

// One thread of cu_sobel; its pointers must be device memory.
void cu_sobel_thread(void **args) {
    int *in = *static_cast<int **>(args[0]), *out = *static_cast<int **>(args[1]);
    const int R = *static_cast<int *>(args[2]), C = *static_cast<int *>(args[3]);
    if (!emulated_cuda::on_device(in, 1) || !emulated_cuda::on_device(out, 1))
        emulated_cuda::fault("cu_sobel given a pointer outside device memory");
    launched_threads = 1LL * gridDim.x * gridDim.y * gridDim.z * blockDim.x * blockDim.y * blockDim.z;
    padded_elements = 1LL * R * C;
    cu_sobel(in, out, R, C);
}

std::mt19937 random_bits(17);

// Faults, leaked device memory and a leftover error, as failed checks.
void expect_clean(const std::string &label) {
    for (const std::string &fault : emulated_cuda::take_faults()) expect(false, label + ": " + fault);
    expect(emulated_cuda::live_allocations() == 0, label + ": device memory left allocated");
    const cudaError_t left = cudaGetLastError();
    expect(left == cudaSuccess, label + ": left " + cudaGetErrorName(left) + " behind");
}

// A random rows x cols image padded with a zero border, and its edge map by
// the CPU rule.
struct image {
    int R, C;
    std::vector<int> padded, expected;
    image(int rows, int cols) : R(rows + 2), C(cols + 2), padded(std::size_t(R) * C), expected(std::size_t(rows) * cols) {
        for (int y = 1; y <= rows; ++y)
            for (int x = 1; x <= cols; ++x) padded[std::size_t(y) * C + x] = random_bits() % 256;
        quarn::cpu_edges(padded.data(), expected.data(), R, C);
    }
};

// gpu_sobel's map of a random rows x cols image, made on the device, equals
// the CPU rule's; 0 x 0 is the 2 x 2 zero plane sobel passes for an empty image.
void check_shape(int rows, int cols, bool reverse) {
    const std::string label = std::to_string(rows) + "x" + std::to_string(cols) + (reverse ? ", reverse" : "");
    const image in(rows, cols);
    std::vector<int> edges(in.expected.size() + 1, -1);
    emulated_cuda::run_in_reverse(reverse);
    launched_threads = 0;
    try {
        const char *fallback = quarn::gpu_sobel(in.padded.data(), edges.data(), in.R, in.C);
        expect(!fallback, label + ": ran on the CPU: " + (fallback ? fallback : ""));
        expect(std::equal(in.expected.begin(), in.expected.end(), edges.begin()), label + ": maps differ");
        expect(edges.back() == -1, label + ": wrote past the edge map");
        // The kernel's contract: a thread for each padded element, border included.
        expect(launched_threads >= padded_elements, label + ": fewer threads than padded elements");
    } catch (const std::exception &error) {
        expect(false, label + ": " + error.what());
    }
    expect_clean(label);
}

void shapes() {
    std::vector<std::pair<int, int>> shapes = {{0, 0}, {1, 1}, {1, 3000}, {3000, 1}, {4, 4000}, {1080, 1920}};
    // Rows around one block of 1024 threads and two: a launch past CUDA's
    // limits fails here as on a GPU.
    for (int cols : {1021, 1022, 1023, 1024, 1025, 1026, 2045, 2046, 2047, 2048, 2049, 2050})
        shapes.emplace_back(3, cols);
    for (int i = 0; i < 20; ++i) shapes.emplace_back(1 + random_bits() % 60, 1 + random_bits() % 3000);
    for (const auto &[rows, cols] : shapes)
        for (bool reverse : {false, true}) check_shape(rows, cols, reverse);
    std::printf("ok: %zu shapes, forward and in reverse\n", shapes.size());
}

// The n-th runtime call of gpu_sobel fails: the documented exception, nothing
// leaked, no error left behind, and the next call is right.
void failures_in_turn() {
    int calls = 0;
    for (;; ++calls) {
        const std::string label = "runtime call " + std::to_string(calls) + " failing";
        std::vector<int> padded(7 * 1102, 1), edges(5 * 1100);
        std::string message;
        bool bad_alloc = false;
        emulated_cuda::fail_call(calls);
        try {
            quarn::gpu_sobel(padded.data(), edges.data(), 7, 1102);
        } catch (const quarn::memory_error &error) {
            message = error.what(), bad_alloc = true;
        } catch (const std::runtime_error &error) {
            message = error.what();
        }
        const cudaError_t error = emulated_cuda::injected_error();
        emulated_cuda::fail_call(-1);
        if (error == cudaSuccess) {  // past gpu_sobel's last runtime call
            expect(message.empty(), label + ": threw " + message);
            break;
        }
        expect(message == std::string("CUDA error: ") + cudaGetErrorName(error) + ": " + cudaGetErrorString(error),
               label + ": threw \"" + message + "\"");
        expect(bad_alloc == (error == cudaErrorMemoryAllocation), label + ": wrong exception type");
        expect_clean(label);
        check_shape(5, 1100, false);
    }
    expect(calls >= 5, "fewer runtime calls than two allocations, two copies and a launch");
    std::printf("ok: each of %d runtime calls failing\n", calls);
}

// A runtime that cannot start: where its error means no usable device,
// gpu_sobel writes the CPU rule's map and returns the error's text; any other
// error (a forked child, a busy device) it throws. Nothing allocated, no error
// left behind, and a runtime that starts again runs on the device.
void no_device() {
    const std::pair<cudaError_t, bool> errors[] = {  // the error, whether it falls back
        {cudaErrorInsufficientDriver, true}, {cudaErrorStubLibrary, true}, {cudaErrorNoDevice, true},
        {cudaErrorSystemDriverMismatch, true}, {cudaErrorCompatNotSupportedOnDevice, true},
        {cudaErrorInitializationError, false}, {cudaErrorDevicesUnavailable, false},
    };
    for (const auto &[error, falls_back] : errors) {
        const std::string text = std::string("CUDA error: ") + cudaGetErrorName(error) + ": " + cudaGetErrorString(error);
        for (const auto &[rows, cols] : {std::pair(0, 0), std::pair(5, 1100)}) {
            const std::string label = std::string(cudaGetErrorName(error)) + ", " + std::to_string(rows) + "x" +
                                      std::to_string(cols);
            const image in(rows, cols);
            std::vector<int> edges(in.expected.size() + 1, -1);
            std::string outcome;
            emulated_cuda::fail_start(error);
            try {
                const char *fallback = quarn::gpu_sobel(in.padded.data(), edges.data(), in.R, in.C);
                outcome = fallback ? std::string("returned ") + fallback : "returned null";
            } catch (const std::runtime_error &thrown) {
                outcome = std::string("threw ") + thrown.what();
            }
            emulated_cuda::fail_start(cudaSuccess);
            expect(outcome == (falls_back ? "returned " : "threw ") + text, label + ": " + outcome);
            if (falls_back) {
                expect(std::equal(in.expected.begin(), in.expected.end(), edges.begin()), label + ": maps differ");
                expect(edges.back() == -1, label + ": wrote past the edge map");
            }
            expect_clean(label);
        }
    }
    check_shape(5, 1100, false);
    std::printf("ok: %zu reasons a runtime cannot start\n", std::size(errors));
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // in order with the sanitizers' reports
    emulated_cuda::register_kernel(reinterpret_cast<const void *>(cu_sobel), cu_sobel_thread);
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode == "shapes") shapes();
    else if (mode == "failures") failures_in_turn();
    else if (mode == "no-device") no_device();
    else return std::fprintf(stderr, "usage: check_launcher shapes|failures|no-device\n"), 2;
    return failures ? 1 : 0;
}
