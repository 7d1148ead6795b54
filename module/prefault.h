// Prefaulting large fresh results.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace quarn {

// From 32 MiB on, glibc's malloc (and so NumPy) maps new memory for every
// allocation and unmaps it when freed, so such a result starts as untouched
// pages each call. Faulting them in with one system call is cheaper than a
// trap per 4 KiB page when the result is then written. Smaller buffers are
// mostly reused memory, already present, where the walk would only cost time.
// Without MADV_POPULATE_WRITE (Linux before 5.14) pages fault in as usual.
inline void prefault_large(void *data, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::size_t min_bytes = std::size_t(32) << 20;
    constexpr std::uintptr_t page = 4096;
    if (bytes < min_bytes) return;
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data) + bytes;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace quarn
