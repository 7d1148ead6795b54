// Prefaulting fresh buffers that are about to be written.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace quarn {

// From this size on glibc's malloc (and so NumPy) maps new memory for every
// allocation and unmaps it when freed, so such a buffer starts as untouched
// pages each call. Smaller ones are mostly reused memory, already present.
constexpr std::size_t always_fresh_bytes = std::size_t(32) << 20;

// Faults in the pages of [data, data + bytes) for writing with one system
// call, cheaper than a trap per 4 KiB page at the buffer's unaligned ends.
// Without MADV_POPULATE_WRITE (Linux before 5.14) pages fault in as usual.
inline void prefault(void *data, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t page = 4096;
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data) + bytes;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace quarn
