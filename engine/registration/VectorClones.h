#pragma once

// Marks a hot loop to be compiled twice, for AVX2 and for the baseline, with the choice made once at
// load time: the detector's per-pixel passes are most of a registration. Sanitizer builds keep one
// version.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VELOSTAR_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VELOSTAR_VECTOR_CLONES
#endif
