#include "cpu_device/packed_gemm.h"

#include <cstddef>
#include <cstring>

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

// A tile holds kTileVectors vectors of rows by kTileColumns columns of sums: each k reads the
// tile's rows of A as whole vectors and one element of B per column. The lanes of a vector are
// independent sums, and each is a multiply then an add (no fused multiply-add, whatever the
// instruction set), so the vector width chosen at run time never shows in the results.
constexpr int kTileVectors = 2;
constexpr int kTileColumns = 4;

template <class T, std::size_t Bytes>
using Vector [[gnu::vector_size(Bytes)]] = T;

[[gnu::always_inline]] inline std::size_t offset(int index, int stride) {
    return static_cast<std::size_t>(index) * static_cast<std::size_t>(stride);
}

template <class T, int Columns>
[[gnu::always_inline]] inline void store(const T (&sums)[Columns], T alpha, T beta, T* c, int ldc) {
    for (int j = 0; j < Columns; ++j) {
        T& out = c[offset(j, ldc)];
        const T product = alpha * sums[j];
        out = beta == T{0} ? product : product + beta * out;
    }
}

template <class T, std::size_t Bytes, int Columns>
[[gnu::always_inline]] inline void vectorTile(int m, int k, T alpha, const T* a, const T* b, T beta, T* c, int ldc) {
    constexpr int kLanes = static_cast<int>(Bytes / sizeof(T));
    Vector<T, Bytes> sums[Columns][kTileVectors] = {};
    for (int p = 0; p < k; ++p) {
        Vector<T, Bytes> run[kTileVectors];
        std::memcpy(run, a + offset(p, m), sizeof run);
        for (int j = 0; j < Columns; ++j) {
            const Vector<T, Bytes> factor = Vector<T, Bytes>{} + b[offset(j, k) + static_cast<std::size_t>(p)];
            for (int v = 0; v < kTileVectors; ++v) {
                sums[j][v] += run[v] * factor;
            }
        }
    }
    for (int row = 0; row < kTileVectors * kLanes; ++row) {
        T rowSums[Columns];
        for (int j = 0; j < Columns; ++j) {
            rowSums[j] = sums[j][row / kLanes][row % kLanes];
        }
        store(rowSums, alpha, beta, c + row, ldc);
    }
}

// One row of the tile's columns.
template <class T, int Columns>
[[gnu::always_inline]] inline void rowTile(int m, int k, T alpha, const T* a, const T* b, T beta, T* c, int ldc) {
    T sums[Columns] = {};
    for (int p = 0; p < k; ++p) {
        const T value = a[offset(p, m)];
        for (int j = 0; j < Columns; ++j) {
            sums[j] += value * b[offset(j, k) + static_cast<std::size_t>(p)];
        }
    }
    store(sums, alpha, beta, c, ldc);
}

template <class T, std::size_t Bytes, int Columns>
[[gnu::always_inline]] inline void strip(int m, int k, T alpha, const T* a, const T* b, T beta, T* c, int ldc) {
    constexpr int kTileRows = kTileVectors * static_cast<int>(Bytes / sizeof(T));
    int row = 0;
    for (; row + kTileRows <= m; row += kTileRows) {
        vectorTile<T, Bytes, Columns>(m, k, alpha, a + row, b, beta, c + row, ldc);
    }
    for (; row < m; ++row) {
        rowTile<T, Columns>(m, k, alpha, a + row, b, beta, c + row, ldc);
    }
}

template <class T, std::size_t Bytes>
[[gnu::always_inline]] inline void product(int m, int n, int k, T alpha, const T* a, const T* b, T beta, T* c,
                                           int ldc) {
    int column = 0;
    for (; column + kTileColumns <= n; column += kTileColumns) {
        strip<T, Bytes, kTileColumns>(m, k, alpha, a, b + offset(column, k), beta, c + offset(column, ldc), ldc);
    }
    for (; column < n; ++column) {
        strip<T, Bytes, 1>(m, k, alpha, a, b + offset(column, k), beta, c + offset(column, ldc), ldc);
    }
}

// The same loops compiled for 16-, 32- and 64-byte vectors; the widest the processor runs is taken.
template <class T>
void product16(int m, int n, int k, T alpha, const T* a, const T* b, T beta, T* c, int ldc) {
    product<T, 16>(m, n, k, alpha, a, b, beta, c, ldc);
}

template <class T>
[[gnu::target("avx2")]] void product32(int m, int n, int k, T alpha, const T* a, const T* b, T beta, T* c, int ldc) {
    product<T, 32>(m, n, k, alpha, a, b, beta, c, ldc);
}

template <class T>
[[gnu::target("avx512f")]] void product64(int m, int n, int k, T alpha, const T* a, const T* b, T beta, T* c, int ldc) {
    product<T, 64>(m, n, k, alpha, a, b, beta, c, ldc);
}

}  // namespace

template <class T>
void packedGemm(int m, int n, int k, T alpha, const T* a, const T* b, T beta, T* c, int ldc) {
    static const auto chosen = [] {
        if (__builtin_cpu_supports("avx512f")) {
            return &product64<T>;
        }
        return __builtin_cpu_supports("avx2") ? &product32<T> : &product16<T>;
    }();
    chosen(m, n, k, alpha, a, b, beta, c, ldc);
}

template void packedGemm<double>(int, int, int, double, const double*, const double*, double, double*, int);
template void packedGemm<float>(int, int, int, float, const float*, const float*, float, float*, int);

}  // namespace Halcyne::Core::Vestra::CpuDevice
