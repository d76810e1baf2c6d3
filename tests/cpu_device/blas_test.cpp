// cuBLAS semantics of the CPU device against a plain loop: column-major storage, both transposes,
// leading dimensions beyond the matrix, beta = 0 that never reads C (C holds NaN there), the BF16-in,
// FP32-out product, and BLAS argument checks. Both sides sum over k in index order, so results match
// exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <type_traits>
#include <vector>

#include "cpu_device/bfloat16_rounding.h"
#include "cuda/device_platform.h"
#include "support/cpu_device_test.h"

namespace Halcyne::Core::Vestra {
namespace {

// Device memory holding a copy of host values, freed by the destructor.
template <class T>
struct DeviceCopy {
    explicit DeviceCopy(const std::vector<T>& host) : size(host.size()) {
        EXPECT_EQ(cudaMallocAsync(reinterpret_cast<void**>(&data), size * sizeof(T), nullptr), cudaSuccess);
        EXPECT_EQ(cudaMemcpyAsync(data, host.data(), size * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    }
    ~DeviceCopy() { (void)cudaFreeAsync(data, nullptr); }
    std::vector<T> read() const {
        std::vector<T> host(size);
        EXPECT_EQ(cudaMemcpyAsync(host.data(), data, size * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        return host;
    }
    std::size_t size;
    T* data = nullptr;
};

template <class T>
T input(double value) {
    if constexpr (std::is_same_v<T, __nv_bfloat16>) {
        return __double2bfloat16(value);
    } else {
        return value;
    }
}

class CpuDeviceBlas : public Testing::CpuDeviceTest {
  protected:
    void SetUp() override {
        CpuDeviceTest::SetUp();
        ASSERT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    }
    void TearDown() override {
        EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
        CpuDeviceTest::TearDown();
    }

    // Runs every shape through `gemm` (the device call) and compares with the plain loop.
    template <class Input, class Output, class Gemm, class Load>
    void compareWithPlainProduct(Gemm gemm, Load load) {
        for (const bool ta : {false, true}) {
            for (const bool tb : {false, true}) {
                for (const auto& [m, n, k, padding] :
                     {std::tuple{1, 1, 1, 0}, std::tuple{3, 5, 7, 3}, std::tuple{17, 4, 1, 0}, std::tuple{2, 3, 0, 2},
                      std::tuple{0, 3, 2, 0}}) {
                    for (const Output beta : {Output{0}, Output{-0.5}}) {
                        SCOPED_TRACE(::testing::Message()
                                     << ta << tb << " m " << m << " n " << n << " k " << k << " beta " << beta);
                        const int lda = std::max(1, ta ? k : m) + padding;
                        const int ldb = std::max(1, tb ? n : k) + padding;
                        const int ldc = std::max(1, m) + padding;
                        std::vector<Input> a(static_cast<std::size_t>(lda * (ta ? m : k)));
                        std::vector<Input> b(static_cast<std::size_t>(ldb * (tb ? k : n)));
                        std::vector<Output> c(static_cast<std::size_t>(ldc * n),
                                              std::numeric_limits<Output>::quiet_NaN());
                        for (std::size_t i = 0; i < a.size(); ++i) {
                            a[i] = input<Input>(static_cast<double>(i % 23) / 8.0 - 1.3);
                        }
                        for (std::size_t i = 0; i < b.size(); ++i) {
                            b[i] = input<Input>(static_cast<double>(i % 19) / 4.0 - 2.1);
                        }
                        if (beta != Output{0}) {
                            std::fill(c.begin(), c.end(), Output{0.25});
                        }
                        const DeviceCopy<Input> deviceA(a);
                        const DeviceCopy<Input> deviceB(b);
                        const DeviceCopy<Output> deviceC(c);
                        const Output alpha{1.5};
                        ASSERT_EQ(gemm(ta ? CUBLAS_OP_T : CUBLAS_OP_N, tb ? CUBLAS_OP_T : CUBLAS_OP_N, m, n, k, &alpha,
                                       deviceA.data, lda, deviceB.data, ldb, &beta, deviceC.data, ldc),
                                  CUBLAS_STATUS_SUCCESS);
                        const std::vector<Output> result = deviceC.read();
                        for (int j = 0; j < n; ++j) {
                            for (int i = 0; i < m; ++i) {
                                Output sum{0};
                                for (int q = 0; q < k; ++q) {
                                    sum += load(ta ? a[q + i * lda] : a[i + q * lda]) *
                                           load(tb ? b[j + q * ldb] : b[q + j * ldb]);
                                }
                                const Output old = c[i + j * ldc];
                                const Output expected = beta == Output{0} ? alpha * sum : alpha * sum + beta * old;
                                EXPECT_EQ(result[i + j * ldc], expected) << "row " << i << ", column " << j;
                            }
                        }
                    }
                }
            }
        }
    }

    cublasHandle_t handle = nullptr;
};

TEST_F(CpuDeviceBlas, DgemmMatchesThePlainProduct) {
    compareWithPlainProduct<double, double>([&](auto... arguments) { return cublasDgemm_v2(handle, arguments...); },
                                            [](double value) { return value; });
}

TEST_F(CpuDeviceBlas, GemmExTakesBfloat16AndGivesFloat) {
    compareWithPlainProduct<__nv_bfloat16, float>(
        [&](cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k, const float* alpha, const void* a, int lda,
            const void* b, int ldb, const float* beta, float* c, int ldc) {
            return cublasGemmEx(handle, ta, tb, m, n, k, alpha, a, CUDA_R_16BF, lda, b, CUDA_R_16BF, ldb, beta, c,
                                CUDA_R_32F, ldc, CUBLAS_COMPUTE_32F_FAST_16BF, CUBLAS_GEMM_DEFAULT);
        },
        [](__nv_bfloat16 value) { return CpuDevice::bfloat16BitsToFloat(value.__x); });
}

TEST_F(CpuDeviceBlas, RefusedCallsGiveTheirStatusAndLeaveCAlone) {
    const DeviceCopy<double> a(std::vector<double>(12, 1.0));
    const DeviceCopy<double> c(std::vector<double>(12, 5.0));
    const std::vector<double> host(12, 1.0);
    const double one = 1.0;
    struct Case {
        cublasHandle_t handle;
        cublasOperation_t transa;
        int m, k, lda, ldc;
        const double* alpha;
        const double* b;
        cublasStatus_t status;
    };
    for (const Case& call : {
             Case{nullptr, CUBLAS_OP_N, 3, 3, 3, 3, &one, a.data, CUBLAS_STATUS_NOT_INITIALIZED},
             Case{handle, static_cast<cublasOperation_t>(5), 3, 3, 3, 3, &one, a.data, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, -1, 3, 3, 3, &one, a.data, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 2, 3, &one, a.data, CUBLAS_STATUS_INVALID_VALUE},  // lda < m
             Case{handle, CUBLAS_OP_T, 3, 4, 3, 3, &one, a.data, CUBLAS_STATUS_INVALID_VALUE},  // lda < k
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 2, &one, a.data, CUBLAS_STATUS_INVALID_VALUE},  // ldc < m
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, nullptr, a.data, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, &one, host.data(), CUBLAS_STATUS_EXECUTION_FAILED},
         }) {
        const double zero = 0.0;
        EXPECT_EQ(cublasDgemm_v2(call.handle, call.transa, CUBLAS_OP_N, call.m, 3, call.k, call.alpha, a.data, call.lda,
                                 call.b, 3, &zero, c.data, call.ldc),
                  call.status);
        EXPECT_EQ(c.read()[0], 5.0);
    }
    const float alpha = 1.0f;
    EXPECT_EQ(cublasGemmEx(handle, CUBLAS_OP_N, CUBLAS_OP_N, 1, 1, 1, &alpha, a.data, CUDA_R_64F, 1, a.data, CUDA_R_64F,
                           1, &alpha, c.data, CUDA_R_64F, 1, CUBLAS_COMPUTE_64F, CUBLAS_GEMM_DEFAULT),
              CUBLAS_STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
