// VESTRA_VECTOR_LOOPS marks a function whose inner loops run several independent sums side by side,
// for GCC on x86-64: it is compiled twice, for AVX2 and for the baseline, and the processor picks at
// load time; and its loops are kept as written, since GCC's loop vectorizer would turn a loop over k
// of such sums into in-order reductions across iterations of k, all shuffles. AVX2 brings no fused
// multiply-add, and no sum changes its order, so every clone gives the same bits. Nothing may be
// thrown through such a function: GCC's clones do not pass an exception on (it terminates).
//
// VESTRA_ELEMENT_LOOPS marks a function of element-wise loops (each element on its own, as in an
// activation or a row of exponentials), which GCC's loop vectorizer serves well: it is compiled for
// AVX-512, AVX2 and the baseline, the processor picking at load time. The device sources are
// compiled without contraction (cmake/VestraDevice.cmake), so the AVX-512 clone fuses nothing and
// every clone gives the same bits. The same rule on exceptions holds.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && !defined(__CUDACC__)
#if defined(__x86_64__) && !defined(_WIN32)
#define VESTRA_VECTOR_LOOPS __attribute__((target_clones("avx2", "default"), optimize("no-tree-loop-vectorize")))
#define VESTRA_ELEMENT_LOOPS __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define VESTRA_VECTOR_LOOPS __attribute__((optimize("no-tree-loop-vectorize")))
#define VESTRA_ELEMENT_LOOPS
#endif
#else
#define VESTRA_VECTOR_LOOPS
#define VESTRA_ELEMENT_LOOPS
#endif
