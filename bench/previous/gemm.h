// The CPU device's FP64 GEMM as it was before this branch, kept only so that a benchmark can time it
// beside the current one: column by column, each element of C one sum over k in index order,
// without packing or register tiles (k == 0 and alpha == 0 are not handled). Column-major,
// C = alpha * op(A) * op(B) + beta * C.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace Halcyne::Core::Vestra::Previous {

inline void dgemm(bool transposeA, bool transposeB, int m, int n, int k, double alpha, const double* a, int lda,
                  const double* b, int ldb, double beta, double* c, int ldc) {
    const auto element = [](const double* matrix, int row, int column, int ld) {
        return matrix[static_cast<std::size_t>(row) + static_cast<std::size_t>(column) * static_cast<std::size_t>(ld)];
    };
    const auto opB = [&](int p, int column) {
        return transposeB ? element(b, column, p, ldb) : element(b, p, column, ldb);
    };
    std::vector<double> sums(static_cast<std::size_t>(m));
    for (int column = 0; column < n; ++column) {
        std::fill(sums.begin(), sums.end(), 0.0);
        if (!transposeA) {
            // Columns of A are contiguous: sweep them, adding term p to every row's sum.
            for (int p = 0; p < k; ++p) {
                const double factor = opB(p, column);
                for (int row = 0; row < m; ++row) {
                    sums[static_cast<std::size_t>(row)] += element(a, row, p, lda) * factor;
                }
            }
        } else {
            for (int row = 0; row < m; ++row) {
                for (int p = 0; p < k; ++p) {
                    sums[static_cast<std::size_t>(row)] += element(a, p, row, lda) * opB(p, column);
                }
            }
        }
        double* out = c + static_cast<std::size_t>(column) * static_cast<std::size_t>(ldc);
        for (int row = 0; row < m; ++row) {
            const double product = alpha * sums[static_cast<std::size_t>(row)];
            out[row] = beta == 0.0 ? product : product + beta * out[row];
        }
    }
}

}  // namespace Halcyne::Core::Vestra::Previous
