#pragma once

// Marks a hot per-sample loop to be compiled for AVX-512, AVX2 and the baseline, with the choice made
// once at load time, so one binary runs everywhere yet uses the wide lanes where they exist. Sanitizer
// builds keep one version.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VELOSTAR_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
// For loops in 16-bit lanes: their wide form needs AVX-512's byte-and-word instructions, which the
// plain AVX-512 clone lacks (it would fall back to 256-bit lanes).
#define VELOSTAR_VECTOR_CLONES_16 __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define VELOSTAR_VECTOR_CLONES
#define VELOSTAR_VECTOR_CLONES_16
#endif
