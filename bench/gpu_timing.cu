// Device-side timings of the launcher, for the GPU check; not part of the module.
// It compiles the launcher's own source, so the kernel, its launch and the
// buffers are the module's, and the module keeps no timing hooks.
//
//   gpu_timing WIDTH HEIGHT REPEATS
//     One JSON line of milliseconds: medians over REPEATS calls of the whole
//     gpu_sobel and of its steps (allocation, copy in, kernel, copy out,
//     release), the copies and the kernel timed with CUDA events. Exits 1
//     unless the stepwise run, gpu_sobel and the CPU rule give the same map.
//   gpu_timing --oom-recovery
//     Fills device memory, expects a call to fail with memory_error, frees it
//     and expects the next call to succeed. Exits 1 otherwise.
//   gpu_timing --shapes
//     gpu_sobel on the launcher's edge shapes, each map checked against the CPU
//     rule: the workload compute-sanitizer runs where Python cannot. Exits 1
//     on the first wrong map.
#include "edges/gpu/cu_sobel.cu"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using quarn::check;
using quarn::device_buffer;

double now_ms() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double, std::milli>(clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A padded plane of width x height pseudo-random values with a zero border.
std::vector<int> padded_plane(int width, int height) {
    const int C = width + 2;
    std::vector<int> padded(static_cast<std::size_t>(height + 2) * C, 0);
    unsigned state = 12345;
    for (int y = 1; y <= height; ++y)
        for (int x = 1; x <= width; ++x) {
            state = state * 1664525u + 1013904223u;
            padded[static_cast<std::size_t>(y) * C + x] = static_cast<int>(state >> 24);
        }
    return padded;
}

std::vector<int> cpu_edges(const std::vector<int> &padded, int R, int C) {
    std::vector<int> edges(static_cast<std::size_t>(R - 2) * (C - 2));
    quarn::cpu_edges(padded.data(), edges.data(), R, C);
    return edges;
}

// gpu_sobel, which must run on the device: its CPU path for want of one is a failure here.
void gpu_sobel(const int *padded, int *edges, int R, int C) {
    if (const char *reason = quarn::gpu_sobel(padded, edges, R, C))
        throw std::runtime_error(std::string("gpu_sobel ran on the CPU: ") + reason);
}

int timings(int width, int height, int repeats) {
    const int R = height + 2, C = width + 2;
    const std::vector<int> padded = padded_plane(width, height);
    const std::size_t in_bytes = padded.size() * sizeof(int);
    const std::size_t out_bytes = static_cast<std::size_t>(width) * height * sizeof(int);
    std::vector<int> whole(out_bytes / sizeof(int)), stepwise(whole.size(), -1);

    cudaEvent_t marks[4];
    for (cudaEvent_t &mark : marks) check(cudaEventCreate(&mark));
    std::vector<double> call, alloc, copy_in, kernel, copy_out, release;
    for (int i = 0; i < repeats + 3; ++i) {  // the first three warm up
        double start = now_ms();
        gpu_sobel(padded.data(), whole.data(), R, C);
        const double call_ms = now_ms() - start;

        // The launcher's steps, one by one.
        start = now_ms();
        auto in = std::make_unique<device_buffer>(in_bytes);
        auto out = std::make_unique<device_buffer>(out_bytes);
        const double alloc_ms = now_ms() - start;
        check(cudaEventRecord(marks[0]));
        check(cudaMemcpy(in->get(), padded.data(), in_bytes, cudaMemcpyHostToDevice));
        check(cudaEventRecord(marks[1]));
        check(quarn::launch_cu_sobel(in->get(), out->get(), R, C));
        check(cudaEventRecord(marks[2]));
        check(cudaMemcpy(stepwise.data(), out->get(), out_bytes, cudaMemcpyDeviceToHost));
        check(cudaEventRecord(marks[3]));
        check(cudaEventSynchronize(marks[3]));
        start = now_ms();
        in.reset();
        out.reset();
        const double release_ms = now_ms() - start;
        if (i < 3) continue;

        float span[3];
        for (int s = 0; s < 3; ++s) check(cudaEventElapsedTime(&span[s], marks[s], marks[s + 1]));
        call.push_back(call_ms);
        alloc.push_back(alloc_ms);
        copy_in.push_back(span[0]);
        kernel.push_back(span[1]);
        copy_out.push_back(span[2]);
        release.push_back(release_ms);
    }
    for (cudaEvent_t mark : marks) cudaEventDestroy(mark);

    const bool same = whole == stepwise && whole == cpu_edges(padded, R, C);
    std::printf("{\"width\": %d, \"height\": %d, \"maps_agree\": %s, "
                "\"gpu_sobel\": %.3f, \"alloc\": %.3f, \"copy_in\": %.3f, \"kernel\": %.3f, "
                "\"copy_out\": %.3f, \"release\": %.3f}\n",
                width, height, same ? "true" : "false", median(call), median(alloc),
                median(copy_in), median(kernel), median(copy_out), median(release));
    return same ? 0 : 1;
}

int oom_recovery() {
    const std::vector<int> small = padded_plane(64, 64);
    std::vector<int> edges(64 * 64);
    gpu_sobel(small.data(), edges.data(), 66, 66);  // creates the context first

    // Leave less than 64 MiB free, then ask for an 8192 x 8192 image's 256 MiB.
    std::vector<void *> hog;
    for (std::size_t piece : {std::size_t(1) << 30, std::size_t(64) << 20}) {
        void *p;
        while (cudaMalloc(&p, piece) == cudaSuccess) hog.push_back(p);
    }
    cudaGetLastError();  // the hog's own failure is not the launcher's
    bool refused = false;
    try {
        std::vector<int> large(std::size_t(8194) * 8194), large_edges(std::size_t(8192) * 8192);
        gpu_sobel(large.data(), large_edges.data(), 8194, 8194);
    } catch (const quarn::memory_error &error) {
        refused = true;
        std::printf("full device: %s\n", error.what());
    }
    for (void *p : hog) cudaFree(p);
    if (!refused) {
        std::printf("FAILED: gpu_sobel did not report the full device\n");
        return 1;
    }
    try {
        gpu_sobel(small.data(), edges.data(), 66, 66);
    } catch (const std::exception &error) {
        std::printf("FAILED: the call after the failure raised: %s\n", error.what());
        return 1;
    }
    if (edges != cpu_edges(small, 66, 66)) {
        std::printf("FAILED: wrong map after the failure\n");
        return 1;
    }
    std::printf("ok: the call after an out-of-memory failure succeeds\n");
    return 0;
}

int shapes() {
    // The empty image's 2 x 2 plane, one pixel, rows around one block of 1024
    // threads, a wide row and a 4K frame.
    const int sizes[][2] = {{0, 0}, {1, 1}, {1022, 5}, {1023, 5}, {1024, 5}, {1025, 5}, {4000, 5}, {3840, 2160}};
    for (const auto &size : sizes) {
        const int width = size[0], height = size[1], R = height + 2, C = width + 2;
        const std::vector<int> padded = padded_plane(width, height);
        std::vector<int> edges(std::max(width * height, 1));  // sobel never passes an empty buffer
        gpu_sobel(padded.data(), edges.data(), R, C);
        edges.resize(static_cast<std::size_t>(width) * height);
        if (edges != cpu_edges(padded, R, C)) {
            std::printf("FAILED: wrong edge map for %dx%d\n", width, height);
            return 1;
        }
    }
    std::printf("ok: %zu shapes\n", sizeof sizes / sizeof sizes[0]);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        if (argc == 2 && std::strcmp(argv[1], "--oom-recovery") == 0) return oom_recovery();
        if (argc == 2 && std::strcmp(argv[1], "--shapes") == 0) return shapes();
        if (argc == 4) return timings(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]));
    } catch (const std::exception &error) {
        std::printf("FAILED: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: gpu_timing WIDTH HEIGHT REPEATS | --oom-recovery | --shapes\n");
    return 2;
}
