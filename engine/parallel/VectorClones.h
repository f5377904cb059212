#pragma once

// Marks a hot per-sample loop to be compiled for AVX-512, AVX2 and the baseline, with the choice made
// once at load time, so one binary runs everywhere yet uses the wide lanes where they exist. Sanitizer
// builds keep one version.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VELOSTAR_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VELOSTAR_VECTOR_CLONES
#endif
