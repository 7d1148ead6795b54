// A function attribute for hot loops that gain from AVX2.
#pragma once

// The module is built for baseline x86-64 (SSE2). A function marked
// QUARN_AVX2_CLONES is also compiled for AVX2, twice the vector width, and the
// dynamic loader picks that build on CPUs that have it.
#if defined(__x86_64__) && defined(__GNUC__)
#define QUARN_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUARN_AVX2_CLONES
#endif
