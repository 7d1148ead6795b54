// Huge-page advice for large scratch buffers.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace quarn {

// Lets the kernel back the buffer `data` of `bytes` with 2 MiB pages: first
// touching fresh memory a 4 KiB page fault at a time can cost more than the
// work done on it. Like NumPy for its arrays, only from 4 MiB on and only the
// whole pages inside the buffer (the rest of its first page may hold other
// data). Failure (no transparent huge pages) just loses the speed-up.
inline void advise_huge_pages(void *data, std::size_t bytes) {
    constexpr std::size_t min_bytes = std::size_t(4) << 20;
    constexpr std::uintptr_t page = 4096;
    if (bytes < min_bytes) return;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t inner = (start + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void *>(inner), start + bytes - inner, MADV_HUGEPAGE);
}

}  // namespace quarn
