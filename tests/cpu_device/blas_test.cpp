// cuBLAS semantics of the CPU device against a plain loop: column-major storage, both transposes,
// leading dimensions beyond the matrix, beta = 0 that never reads C (C holds NaN there), the BF16-in,
// FP32-out product, and BLAS argument checks. The inputs are multiples of 1/8 and 1/4 that bfloat16
// holds exactly, so every product and sum is exact and results match bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <tuple>
#include <vector>

#include "cuda/device_transfers.h"
#include "cuda/transformer_cuda_session.h"
#include "support/cpu_device_test.h"

namespace Halcyne::Core::Vestra {
namespace {

class CpuDeviceBlas : public Testing::CpuDeviceTest {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();

    // Runs every shape through `gemm` (the device call) and compares with the plain loop.
    template <class Input, class Output, class Gemm>
    void compareWithPlainProduct(Gemm gemm, Input (*convert)(double)) {
        for (const bool ta : {false, true}) {
            for (const bool tb : {false, true}) {
                for (const auto& [m, n, k, padding] :
                     {std::tuple{1, 1, 1, 0}, {3, 5, 7, 3}, {17, 4, 1, 0}, {2, 3, 0, 2}, {0, 3, 2, 0}}) {
                    for (const Output beta : {Output{0}, Output{-0.5}}) {
                        SCOPED_TRACE(::testing::Message()
                                     << ta << tb << " m " << m << " n " << n << " k " << k << " beta " << beta);
                        const int lda = std::max(1, ta ? k : m) + padding;
                        const int ldb = std::max(1, tb ? n : k) + padding;
                        const int ldc = std::max(1, m) + padding;
                        std::vector<double> a(static_cast<std::size_t>(lda * (ta ? m : k)));
                        std::vector<double> b(static_cast<std::size_t>(ldb * (tb ? k : n)));
                        std::vector<Input> deviceA;
                        std::vector<Input> deviceB;
                        for (std::size_t i = 0; i < a.size(); ++i) {
                            a[i] = static_cast<double>(i % 23) / 8.0 - 1.375;
                            deviceA.push_back(convert(a[i]));
                        }
                        for (std::size_t i = 0; i < b.size(); ++i) {
                            b[i] = static_cast<double>(i % 19) / 4.0 - 2.25;
                            deviceB.push_back(convert(b[i]));
                        }
                        const Output old = beta == Output{0} ? std::numeric_limits<Output>::quiet_NaN() : Output{0.25};
                        std::vector<Output> c(static_cast<std::size_t>(ldc * n), old);
                        const auto bufferA = uploadBuffer(context, deviceA, "upload A");
                        const auto bufferB = uploadBuffer(context, deviceB, "upload B");
                        const auto bufferC = uploadBuffer(context, c, "upload C");
                        const Output alpha{1.5};
                        ASSERT_EQ(gemm(ta ? CUBLAS_OP_T : CUBLAS_OP_N, tb ? CUBLAS_OP_T : CUBLAS_OP_N, m, n, k, &alpha,
                                       bufferA.get(), lda, bufferB.get(), ldb, &beta, bufferC.get(), ldc),
                                  CUBLAS_STATUS_SUCCESS);
                        download(context, c, bufferC, "download C");
                        synchronize(context, "synchronize C");
                        for (int j = 0; j < n; ++j) {
                            for (int i = 0; i < m; ++i) {
                                double sum = 0.0;
                                for (int q = 0; q < k; ++q) {
                                    sum +=
                                        (ta ? a[q + i * lda] : a[i + q * lda]) * (tb ? b[j + q * ldb] : b[q + j * ldb]);
                                }
                                const double expected = alpha * sum + (beta == Output{0} ? 0.0 : beta * old);
                                EXPECT_EQ(c[i + j * ldc], static_cast<Output>(expected))
                                    << "row " << i << ", column " << j;
                            }
                        }
                    }
                }
            }
        }
    }
};

TEST_F(CpuDeviceBlas, DgemmMatchesThePlainProduct) {
    compareWithPlainProduct<double, double>(
        [&](auto... arguments) { return cublasDgemm_v2(context.cublas, arguments...); },
        [](double value) { return value; });
}

TEST_F(CpuDeviceBlas, GemmExTakesBfloat16AndGivesFloat) {
    compareWithPlainProduct<__nv_bfloat16, float>(
        [&](cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k, const float* alpha, const void* a, int lda,
            const void* b, int ldb, const float* beta, float* c, int ldc) {
            return cublasGemmEx(context.cublas, ta, tb, m, n, k, alpha, a, CUDA_R_16BF, lda, b, CUDA_R_16BF, ldb, beta,
                                c, CUDA_R_32F, ldc, CUBLAS_COMPUTE_32F, CUBLAS_GEMM_DEFAULT);
        },
        [](double value) { return __double2bfloat16(value); });
}

TEST_F(CpuDeviceBlas, RefusedCallsGiveTheirStatusAndLeaveCAlone) {
    const auto a = uploadBuffer(context, std::vector<double>(12, 1.0), "upload A");
    const auto c = uploadBuffer(context, std::vector<double>(12, 5.0), "upload C");
    const std::vector<double> host(12, 1.0);
    const double one = 1.0;
    const double zero = 0.0;
    struct Case {
        cublasHandle_t handle;
        cublasOperation_t transa;
        int m, k, lda, ldc;
        const double* alpha;
        const double* b;
        cublasStatus_t status;
    };
    const cublasHandle_t handle = context.cublas;
    for (const Case& call : {
             Case{nullptr, CUBLAS_OP_N, 3, 3, 3, 3, &one, a.get(), CUBLAS_STATUS_NOT_INITIALIZED},
             Case{handle, static_cast<cublasOperation_t>(5), 3, 3, 3, 3, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, -1, 3, 3, 3, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 2, 3, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},  // lda < m
             Case{handle, CUBLAS_OP_T, 3, 4, 3, 3, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},  // lda < k
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 2, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},  // ldc < m
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, nullptr, a.get(), CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, &one, host.data(), CUBLAS_STATUS_EXECUTION_FAILED},
         }) {
        EXPECT_EQ(cublasDgemm_v2(call.handle, call.transa, CUBLAS_OP_N, call.m, 3, call.k, call.alpha, a.get(),
                                 call.lda, call.b, 3, &zero, c.get(), call.ldc),
                  call.status);
    }
    const float alpha = 1.0f;
    EXPECT_EQ(cublasGemmEx(handle, CUBLAS_OP_N, CUBLAS_OP_N, 1, 1, 1, &alpha, a.get(), CUDA_R_64F, 1, a.get(),
                           CUDA_R_64F, 1, &alpha, c.get(), CUDA_R_64F, 1, CUBLAS_COMPUTE_64F, CUBLAS_GEMM_DEFAULT),
              CUBLAS_STATUS_NOT_SUPPORTED);
    std::vector<double> result(12);
    download(context, result, c, "download C");
    synchronize(context, "synchronize C");
    EXPECT_EQ(result, std::vector<double>(12, 5.0));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
