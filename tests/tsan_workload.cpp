// The decoder and the CPU edge rule from several threads at once, for
// ThreadSanitizer (`make tsan`):
//
//     build/tsan/tsan_workload THREADS ROUNDS FILE...
//
// Each file is first decoded, and its plane 0 edge-mapped, on the main thread;
// then THREADS threads repeat that ROUNDS times over all files, each from its
// own starting file, and every outcome (pixels, edge map, or failure reason)
// must equal the serial one. Odd threads take the GIFs only, with 64 KiB of
// stack left, so that their decodes run on a thread of their own. Exits 1 on
// a mismatch; ThreadSanitizer's own exit status (66) marks a report.
#include "edges/gpu/gpu_sobel.h"
#include "image/decode.h"
#include "image/read_once.h"
#include "image/stack_room.h"

#include <alloca.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct input {
    const char *path;
    bool gif;
    std::string outcome;  // the serial run's
};

std::vector<input> inputs;
int rounds;
std::atomic<long> calls{0}, mismatches{0};

// FNV-1a, enough to tell outcomes apart.
unsigned long long hash(const void *data, std::size_t size, unsigned long long h = 1469598103934665603ULL) {
    for (std::size_t i = 0; i < size; ++i) h = (h ^ static_cast<const unsigned char *>(data)[i]) * 1099511628211ULL;
    return h;
}

// The decode and, where it succeeds, the edge map of plane 0 (blue), as readimg
// then sobel compute them, summed up as text.
std::string outcome(const char *path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) return "cannot open";
    FILE *file = quarn_open_read_once(fd, status.st_size);
    if (!file) return "out of memory";
    quarn_image image;
    quarn_decode_error error;
    const int decoded = quarn_decode(file, &image, &error);
    fclose(file);
    if (!decoded) return std::string("failed: ") + error.reason;
    const int rows = image.height, cols = image.width, R = rows + 2, C = cols + 2;
    std::vector<int> padded(static_cast<std::size_t>(R) * C), edges(static_cast<std::size_t>(rows) * cols);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x)
            padded[(y + 1) * C + x + 1] = image.pixels[4 * (static_cast<std::size_t>(y) * cols + x) + 2];
    quarn::gpu_sobel(padded.data(), edges.data(), R, C);
    const unsigned long long pixels = hash(image.pixels, 4 * static_cast<std::size_t>(rows) * cols);
    quarn_image_free(&image);
    return std::to_string(rows) + "x" + std::to_string(cols) + " " + std::to_string(pixels) + " " +
           std::to_string(hash(edges.data(), edges.size() * sizeof(int)));
}

// outcome() with 64 KiB of this thread's stack left, too little for a GIF's
// decode. (ThreadSanitizer gives each thread 128 KiB at least.)
std::string outcome_on_small_stack(const char *path) {
    constexpr std::size_t kept = 64 << 10;
    const std::size_t left = quarn_stack_left();
    volatile char *taken = static_cast<char *>(alloca(left > kept ? left - kept : 1));
    taken[0] = 0;
    return outcome(path);
}

void *work(void *given) {
    const long index = reinterpret_cast<long>(given);
    const std::size_t n = inputs.size();
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < n; ++i) {
            const input &in = inputs[(i + index) % n];
            if (index % 2 && !in.gif) continue;
            if ((index % 2 ? outcome_on_small_stack(in.path) : outcome(in.path)) != in.outcome) {
                std::fprintf(stderr, "mismatch on %s\n", in.path);
                ++mismatches;
            }
            ++calls;
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s THREADS ROUNDS FILE...\n", argv[0]);
        return 2;
    }
    const int threads = std::atoi(argv[1]);
    rounds = std::atoi(argv[2]);
    for (int i = 3; i < argc; ++i) {
        char head[4] = {};
        if (FILE *file = std::fopen(argv[i], "rb")) {
            std::fread(head, 1, sizeof head, file);
            std::fclose(file);
        }
        inputs.push_back({argv[i], std::memcmp(head, "GIF8", 4) == 0, outcome(argv[i])});
    }
    std::vector<pthread_t> running(threads);
    for (long t = 0; t < threads; ++t)
        if (pthread_create(&running[t], nullptr, work, reinterpret_cast<void *>(t)) != 0) return 2;
    for (pthread_t thread : running) pthread_join(thread, nullptr);
    long gifs = 0;
    for (const input &in : inputs) gifs += in.gif;
    std::printf("%d threads, %ld concurrent calls over %zu files (%ld GIFs), %ld mismatches\n", threads,
                calls.load(), inputs.size(), gifs, mismatches.load());
    return mismatches ? 1 : 0;
}
