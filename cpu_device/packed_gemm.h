// The arithmetic of the CPU device's GEMMs: C = alpha * A * B + beta * C on operands packed by the
// caller, A as m x k with rows fastest, B as k x n with k fastest in each column, C column-major with
// leading dimension ldc. Every element of C is one sum over k in increasing order from zero, then
// alpha * sum (+ beta * C, which is not read when beta is zero): the tiles only interleave
// independent sums, so results are those of the plain triple loop, bit for bit.
#pragma once

namespace Halcyne::Core::Vestra::CpuDevice {

template <class T>
void packedGemm(int m, int n, int k, T alpha, const T* a, const T* b, T beta, T* c, int ldc);

extern template void packedGemm<double>(int, int, int, double, const double*, const double*, double, double*, int);
extern template void packedGemm<float>(int, int, int, float, const float*, const float*, float, float*, int);

}  // namespace Halcyne::Core::Vestra::CpuDevice
