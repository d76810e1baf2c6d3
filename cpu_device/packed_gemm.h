// The arithmetic of the CPU device's GEMMs: C = alpha * A * B + beta * C, C column-major with leading
// dimension ldc, A read with its rows side by side (A(i, p) = a[i + p * lda]) and B through any two
// strides (B(p, j) = b[p * depthStride + j * columnStride]). Every element of C is one sum over p in
// increasing order from zero, each term a multiply then an add, then alpha * sum (+ beta * C, which
// is not read when beta is zero): tiles only interleave independent sums and threads only split the
// columns, so results are those of the plain triple loop, bit for bit, on any number of threads.
#pragma once

#include <cstddef>

namespace Halcyne::Core::Vestra::CpuDevice {

template <class T>
struct GemmOperands {
    const T* a;
    std::size_t lda;
    const T* b;
    std::size_t depthStride;   // from B(p, j) to B(p + 1, j)
    std::size_t columnStride;  // from B(p, j) to B(p, j + 1)
    T* c;
    std::size_t ldc;
};

// Spreads the columns of a product large enough to repay it over the CPU device's execution threads.
template <class T>
void tiledGemm(int m, int n, int k, T alpha, T beta, const GemmOperands<T>& operands);

extern template void tiledGemm<double>(int, int, int, double, double, const GemmOperands<double>&);
extern template void tiledGemm<float>(int, int, int, float, float, const GemmOperands<float>&);

}  // namespace Halcyne::Core::Vestra::CpuDevice
